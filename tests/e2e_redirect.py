"""The redirect rules end to end: two nginx origins (one answering 302 at
/moved and /moved2), openssl s_server as a TLS origin, tinyproxy as an
upstream whose log shows the URL asked for, and curl and raw clients
through the daemon. Rewrites with a port and sub-matches, a ":port" in
the replacement, https fetched over TLS, client redirects with and
without URL commands, a path-only replacement, scopes against nginx's
302 (which the proxy never follows itself), first match only, the bypass
command, encode, match-decoded, hostile bytes, a 4 KiB URL, a rule that
matches its own result (proxy form and origin form), the cache key of a
rewritten request."""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_connect import OPENSSL, TlsOrigin  # noqa: E402
from proxytest import (CURL, NGINX, Curl, Nginx, Proxy, proxy_config, raw_exchange,  # noqa: E402
                       split_response)
from quilltest import (Install, free_port, replace_section, stop_process, wait_for,  # noqa: E402
                       wait_port)

TINYPROXY = shutil.which("tinyproxy") or ("/usr/bin/tinyproxy"
                                           if os.path.exists("/usr/bin/tinyproxy") else None)
PERMISSIONS = "proxy,connect,commands,bypass,transparent,host"


def rule(pattern, replacement, port=-1, client=False, options="", scope="request"):
    esc = lambda t: t.replace("&", "&amp;").replace("<", "&lt;")  # noqa: E731
    return ("<rule><enabled>true</enabled><comment>test</comment><profiles></profiles>"
            "<pattern>%s</pattern><replacement>%s</replacement><port>%d</port>"
            "<client-redirect>%s</client-redirect><options>%s</options><scope>%s</scope></rule>"
            % (esc(pattern), esc(replacement), port, "true" if client else "false", options, scope))


class RedirectProxy(Proxy):
    def __init__(self, rules, forward=None):
        Proxy.__init__(self)
        text = proxy_config(self.port, permissions=PERMISSIONS)
        text = replace_section(text, "redirect", "<enabled>true</enabled>" + "".join(rules))
        if forward:
            text = replace_section(text, "forward", forward)
        self.inst.cleanup()
        self.inst = Install(config=text)


class Tinyproxy:
    """tinyproxy on a free loopback port, logging every request line."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="quill-tinyproxy-")
        os.chmod(self.dir, 0o777)
        self.port = free_port()
        self.logfile = os.path.join(self.dir, "tinyproxy.log")
        conf = os.path.join(self.dir, "tinyproxy.conf")
        lines = ["Port %d" % self.port, "Listen 127.0.0.1", "Timeout 30", "MaxClients 20",
                 "LogLevel Info", 'LogFile "%s"' % self.logfile]
        if os.geteuid() == 0:
            lines += ["User nobody", "Group nogroup"]
        with open(conf, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.proc = subprocess.Popen([TINYPROXY, "-d", "-c", conf], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_port(self.port, 15, self.proc):
            self.stop()
            raise RuntimeError("tinyproxy did not start")

    def log(self):
        try:
            with open(self.logfile, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def stop(self):
        stop_process(self.proc)
        shutil.rmtree(self.dir, ignore_errors=True)


TLS_PAGE = b"page over TLS\n"


class HttpTlsOrigin(TlsOrigin):
    """openssl s_server -HTTP with the self-signed certificate: it serves
    files of its directory that hold whole HTTP responses (here one with a
    Content-Length)."""

    def __init__(self):
        TlsOrigin.__init__(self)
        stop_process(self.proc)
        with open(os.path.join(self.dir, "tls.txt"), "wb") as f:
            f.write(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n%s"
                    % (len(TLS_PAGE), TLS_PAGE))
        self.port = free_port()
        self.proc = subprocess.Popen([OPENSSL, "s_server", "-HTTP", "-accept", "127.0.0.1:%d" % self.port,
                                      "-cert", self.cert, "-key", os.path.join(self.dir, "key.pem"),
                                      "-quiet"], cwd=self.dir, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_port(self.port, 15, self.proc):
            self.stop()
            raise RuntimeError("openssl s_server did not start")


def peer(port):
    return ("<enabled>true</enabled><carp>false</carp><carp-buckets>0</carp-buckets>"
            "<peer><enabled>true</enabled><comment>test</comment><profiles></profiles>"
            "<host>127.0.0.1</host><user></user><password></password><domain></domain>"
            "<port>%d</port><icp-type>none</icp-type><icp-port>0</icp-port>"
            "<proxy-type>http</proxy-type><protocols>http,ftp</protocols></peer>" % port)


@unittest.skipUnless(NGINX and CURL, "needs nginx and curl")
class Redirects(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.b = Nginx({"b-page.html": b"B page\n"}).start()
        os.mkdir(os.path.join(cls.b.root, "b"))
        with open(os.path.join(cls.b.root, "b", "page.html"), "wb") as f:
            f.write(b"B page\n")
        cls.a = Nginx({}, locations="location = /moved { return 302 http://old.invalid/a/page.html?moved; }\n"
                                    "location = /moved2 { return 302 http://old2.invalid/x; }\n").start()
        day_ago = time.time() - 86400
        for rel, data in (("a/page.html", b"A page\n"), ("a/hello world.html", b"hello page\n"),
                          ("a/x~y.html", b"tilde page\n"), ("self/self/f.txt", b"self page\n")):
            path = os.path.join(cls.a.root, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
            # A day old: the cache keeps it fresh, so a repeat is a plain hit.
            os.utime(path, (day_ago, day_ago))
        cls.tls = HttpTlsOrigin() if OPENSSL else None
        a, b = cls.a.port, cls.b.port
        rules = [
            rule(r"^http://127\.0\.0\.1/rw/(.*)$", "http://127.0.0.1/b/$1", port=b),
            rule(r"/cr/(.*)$", "http://127.0.0.1:%d/b/$1" % b, client=True),
            rule(r"/crs/(.*)$", "/b/$1", client=True),
            rule(r"/rel/(.*)$", "/a/$1"),
            rule(r"^http://old\.invalid/(.*)$", "http://127.0.0.1:%d/$1" % a, scope="location"),
            rule(r"^http://old2\.invalid/(.*)$", "http://127.0.0.1:%d/$1" % a, scope="request"),
            rule(r"/first/(.*)$", "/second/$1"),
            rule(r"/second/(.*)$", "/a/$1"),
            rule(r"/enc/(.*)$", "/a/$1", options="encode"),
            rule(r"/dec/(hello\ world)$", "/a/$1.html", options="match-decoded"),
            rule(r"/crlf/(.*)$", "http://127.0.0.1:%d/a/$1" % a, client=True, options="match-decoded"),
            rule(r"/long/(.*)$", "/a/$1"),
            rule(r"/hp/(.*)$", "http://127.0.0.1:%d/b/$1" % b),
            rule(r"/tls/(.*)$", "https://127.0.0.1:%d/$1" % (cls.tls.port if cls.tls else 1)),
            rule(r"^(.*)/self/(.*)$", "$1/self/self/$2"),
        ]
        # The daemon verifies servers' certificates: it trusts the TLS
        # origin's own.
        saved = os.environ.get("SSL_CERT_FILE")
        if cls.tls:
            os.environ["SSL_CERT_FILE"] = cls.tls.cert
        try:
            cls.proxy = RedirectProxy(rules).start()
        finally:
            if saved is None:
                os.environ.pop("SSL_CERT_FILE", None)
            else:
                os.environ["SSL_CERT_FILE"] = saved

    @classmethod
    def tearDownClass(cls):
        cls.proxy.stop()
        cls.a.stop()
        cls.b.stop()
        if cls.tls:
            cls.tls.stop()

    def curl(self, path, *args, host=None):
        r = Curl(self.proxy.port, "http://%s%s" % (host or "127.0.0.1:%d" % self.a.port, path), *args)
        self.addCleanup(r.cleanup)
        return r

    def a_saw(self, path):
        return [r for r in self.a.requests() if r[2].split(" ")[1:2] == [path]]

    def test_rewrites(self):
        """Each case: the path asked of origin A, the status and body the
        client gets."""
        cases = [
            ("sub-match and rule port", "/rw/page.html", 200, b"B page\n"),
            ("port in the replacement", "/hp/page.html", 200, b"B page\n"),
            ("path only keeps the host", "/rel/page.html", 200, b"A page\n"),
            ("encode", "/enc/x~y.html", 200, b"tilde page\n"),
            ("match-decoded with an escaped blank", "/dec/hello%20world", 200, b"hello page\n"),
        ]
        for name, path, status, body in cases:
            with self.subTest(name):
                r = self.curl(path)
                self.assertEqual((0, status, body), (r.code, r.status, r.body()), r.stderr)
        self.assertIn("redirect: request for http://127.0.0.1/rw/page.html to "
                      "http://127.0.0.1/b/page.html", self.proxy.log())
        self.assertTrue(wait_for(lambda: self.a_saw("/a/x%7ey.html"), 10))
        self.assertTrue(wait_for(lambda: self.a_saw("/a/hello%20world.html"), 10))

    def test_first_match_only_and_bypass(self):
        r = self.curl("/first/page.html")
        self.assertEqual(404, r.status)
        self.assertTrue(wait_for(lambda: self.a_saw("/second/page.html"), 10))
        # the bypass command with r: no rule applies
        got, _ = raw_exchange(self.proxy.port, (
            "GET http://xx--bypass[r].127.0.0.1:%d/rel/page.html HTTP/1.1\r\n"
            "Host: 127.0.0.1\r\nConnection: close\r\n\r\n" % self.a.port).encode())
        status, _, _ = split_response(got)
        self.assertEqual(404, status, got[:300])
        self.assertTrue(wait_for(lambda: self.a_saw("/rel/page.html"), 10))

    def test_client_redirects(self):
        b = self.b.port
        cases = [
            ("plain", "127.0.0.1:%d" % self.a.port, "/cr/page.html",
             "http://127.0.0.1:%d/b/page.html" % b),
            ("commands follow", "xx--fresh.127.0.0.1:%d" % self.a.port, "/cr/page.html",
             "http://xx--fresh.127.0.0.1:%d/b/page.html" % b),
            ("a path gets none", "xx--fresh.127.0.0.1:%d" % self.a.port, "/crs/page.html",
             "/b/page.html"),
        ]
        for name, host, path, location in cases:
            with self.subTest(name):
                r = self.curl(path, host=host)
                self.assertEqual(302, r.status)
                heads = r.headers()
                self.assertEqual(location, heads.get("location"))
                self.assertEqual("0", heads.get("content-length"))
        self.assertFalse(self.a_saw("/cr/page.html"))
        self.assertIn("redirect: sent 302 redirect for request for http://127.0.0.1/cr/page.html to ",
                      self.proxy.log())

    def test_hostile_bytes_stay_in_the_location(self):
        got, _ = raw_exchange(self.proxy.port, (
            "GET http://127.0.0.1:%d/crlf/x%%0d%%0aSet-Cookie:%%20evil=1 HTTP/1.1\r\n"
            "Host: 127.0.0.1\r\nConnection: close\r\n\r\n" % self.a.port).encode())
        status, heads, _ = split_response(got)
        self.assertEqual(302, status)
        self.assertNotIn("set-cookie", heads)
        self.assertEqual("http://127.0.0.1:%d/a/x%%0D%%0ASet-Cookie:%%20evil=1" % self.a.port,
                         heads.get("location"))

    def test_scopes_against_the_servers_302(self):
        r = self.curl("/moved")
        self.assertEqual(302, r.status)
        self.assertEqual("http://127.0.0.1:%d/a/page.html?moved" % self.a.port,
                         r.headers().get("location"))
        self.assertIn("redirect: 302 redirect for http://old.invalid/a/page.html?moved to ",
                      self.proxy.log())
        r = self.curl("/moved2")
        self.assertEqual("http://old2.invalid/x", r.headers().get("location"))
        # the proxy passed the 302 on and fetched nothing more itself
        self.assertTrue(wait_for(lambda: self.a_saw("/moved"), 10))
        time.sleep(0.3)
        self.assertEqual(1, len(self.a_saw("/moved")))
        self.assertFalse(self.a_saw("/a/page.html?moved"))

    def test_long_url_rewritten_whole(self):
        tail = "z" * 4096
        r = self.curl("/long/" + tail)
        self.assertEqual(404, r.status)
        self.assertTrue(wait_for(lambda: self.a_saw("/a/" + tail), 10))

    def test_self_matching_rule_applies_once(self):
        r = self.curl("/self/f.txt")
        self.assertEqual((200, b"self page\n"), (r.status, r.body()))
        # origin form: matched on the path, and not again once the host is known
        got, _ = raw_exchange(self.proxy.port, (
            "GET /self/f.txt HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n\r\n"
            % self.a.port).encode())
        status, _, body = split_response(got)
        self.assertEqual((200, b"self page\n"), (status, body))
        self.assertFalse(self.a_saw("/self/self/self/f.txt"))

    def test_rewritten_request_is_cached_under_its_new_url(self):
        r = self.curl("/rel/page.html?cachekey")
        self.assertEqual(b"A page\n", r.body())
        r = self.curl("/a/page.html?cachekey")
        self.assertEqual(b"A page\n", r.body())
        self.assertIn("HIT", r.headers().get("x-cache", ""))
        self.assertTrue(wait_for(lambda: self.a_saw("/a/page.html?cachekey"), 10))
        time.sleep(0.3)
        self.assertEqual(1, len(self.a_saw("/a/page.html?cachekey")))
        self.assertIn("http://127.0.0.1:%d/a/page.html?cachekey" % self.a.port, self.proxy.access_log())

    @unittest.skipUnless(OPENSSL, "needs openssl")
    def test_https_fetched_over_tls(self):
        r = self.curl("/tls/tls.txt")
        self.assertEqual((200, TLS_PAGE), (r.status, r.body()), self.proxy.log()[-3000:])
        self.assertIn("redirect: request for http://127.0.0.1/tls/tls.txt to https://127.0.0.1/tls.txt",
                      self.proxy.log())

    @unittest.skipUnless(TINYPROXY, "needs tinyproxy")
    def test_upstream_asked_for_the_new_url(self):
        tiny = Tinyproxy()
        self.addCleanup(tiny.stop)
        proxy = RedirectProxy([rule(r"/rel/(.*)$", "/a/$1")], forward=peer(tiny.port)).start()
        self.addCleanup(proxy.stop)
        r = Curl(proxy.port, "http://127.0.0.1:%d/rel/page.html?upstream" % self.a.port)
        self.addCleanup(r.cleanup)
        self.assertEqual((200, b"A page\n"), (r.status, r.body()))
        self.assertTrue(wait_for(lambda: "/a/page.html?upstream" in tiny.log(), 10), tiny.log())
        self.assertNotIn("/rel/page.html", tiny.log())


if __name__ == "__main__":
    unittest.main()
