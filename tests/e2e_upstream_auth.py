"""Authentication toward upstream proxies that ask for credentials: squid
checking Basic credentials against a password file, squid running the NTLM
handshake with its fake NTLM helper, and tinyproxy, which closes the
connection after its 407. curl is the client, nginx the origin, and the
daemon forwards through the upstream with the credentials of its peer
rule. Every test starts its own daemon and peers on loopback ports."""

import base64
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxytest import CURL, NGINX, Curl, Nginx, Proxy, free_port, proxy_config  # noqa: E402
from quilltest import Install, wait_for  # noqa: E402
from squidtest import BASIC_NCSA, NTLM_FAKE, SQUID, Squid, password_hash  # noqa: E402

TINYPROXY = shutil.which("tinyproxy") or ("/usr/bin/tinyproxy"
                                           if os.path.exists("/usr/bin/tinyproxy") else None)
PAGE = b"page behind an authenticating proxy\n" * 40
PASSWORD = "s3cret-Pw"
ALL_LEVELS = 0x1FFFFFFF


def peer(port, user, password, domain=""):
    """A peer rule for the upstream HTTP proxy on 127.0.0.1:port."""
    return ("<peer><enabled>true</enabled><comment>test</comment><profiles></profiles>"
            "<host>127.0.0.1</host><user>%s</user><password>%s</password><domain>%s</domain>"
            "<port>%d</port><icp-type>none</icp-type><icp-port>0</icp-port>"
            "<proxy-type>http</proxy-type><protocols>http,ftp</protocols></peer>"
            % (user, password, domain, port))


class AuthProxy(Proxy):
    """A daemon forwarding every request through one peer, with every log
    category on (the tests check that no password reaches a log line)."""

    def __init__(self, peer_xml, general=None):
        Proxy.__init__(self)
        text = proxy_config(self.port, cache=False, general=general)
        forward = ("<forward><enabled>true</enabled><carp>false</carp>"
                   "<carp-buckets>0</carp-buckets>%s</forward>" % peer_xml)
        text, count = re.subn(r"<forward>.*?</forward>", forward, text, flags=re.S)
        assert count == 1
        self.inst.cleanup()
        self.inst = Install(config=text)
        original = self.inst.args
        self.inst.args = lambda *extra, **kw: original("-d", str(ALL_LEVELS), *extra, **kw)


class Tinyproxy:
    """tinyproxy asking for Basic credentials; it answers its 407 over
    HTTP/1.0 without a length and closes the connection."""

    def __init__(self, user, password):
        self.dir = tempfile.mkdtemp(prefix="quill-tinyproxy-")
        os.chmod(self.dir, 0o777)
        self.port = free_port()
        conf = os.path.join(self.dir, "tinyproxy.conf")
        lines = ["Port %d" % self.port, "Listen 127.0.0.1", "Timeout 30", "MaxClients 20",
                 "BasicAuth %s %s" % (user, password), "LogLevel Info"]
        if os.geteuid() == 0:
            lines += ["User nobody", "Group nogroup"]
        with open(conf, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.out = open(os.path.join(self.dir, "out"), "w")
        self.proc = subprocess.Popen([TINYPROXY, "-d", "-c", conf], stdin=subprocess.DEVNULL,
                                     stdout=self.out, stderr=subprocess.STDOUT)

        def ready():
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.5).close()
                return True
            except OSError:
                return self.proc.poll() is not None
        if not wait_for(ready, 15) or self.proc.poll() is not None:
            self.stop()
            raise RuntimeError("tinyproxy did not start")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.out.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def basic_squid():
    return Squid(auth=["auth_param basic program %s {dir}/passwd" % BASIC_NCSA,
                       "auth_param basic realm upstream",
                       "acl authed proxy_auth REQUIRED"],
                 access=["http_access allow authed", "http_access deny all"],
                 files={"passwd": "alice:%s\n" % password_hash(PASSWORD)})


def ntlm_squid():
    return Squid(auth=["auth_param ntlm program %s" % NTLM_FAKE,
                       "auth_param ntlm children 2 startup=1",
                       "auth_param ntlm keep_alive on",
                       "acl authed proxy_auth REQUIRED"],
                 access=["http_access allow authed", "http_access deny all"])


def needs(*tools):
    return unittest.skipUnless(all(tools), "needs nginx, curl and the upstream proxy")


class UpstreamAuth(unittest.TestCase):

    def setUp(self):
        self.nginx = Nginx({"page.html": PAGE}).start()
        self.addCleanup(self.nginx.stop)

    def daemon(self, port, user, password, domain="", general=None):
        proxy = AuthProxy(peer(port, user, password, domain), general=general).start()
        self.addCleanup(proxy.stop)
        return proxy

    def curl(self, proxy, *args, url=None):
        r = Curl(proxy.port, url or self.nginx.url("/page.html"), *args)
        self.addCleanup(r.cleanup)
        return r

    def assertNoPassword(self, proxy, password):
        """Neither the password nor a Basic value holding it is in a log."""
        text = proxy.log() + proxy.access_log()
        self.assertNotIn(password, text)
        self.assertNotIn(base64.b64encode(("alice:" + password).encode()).decode(), text)

    @needs(NGINX, CURL, SQUID, os.path.exists(BASIC_NCSA))
    def test_basic_right_and_wrong_credentials(self):
        """squid checking a password file: the rule's right credentials get
        the page (squid logs the user); wrong ones get squid's 407 passed
        to the client without its challenge, after one attempt."""
        squid = basic_squid()
        self.addCleanup(squid.stop)

        good = self.daemon(squid.port, "alice", PASSWORD)
        r = self.curl(good)
        self.assertEqual(200, r.status, r.stderr + good.log())
        self.assertEqual(PAGE, r.body())
        line = squid.wait_access("TCP_MISS/200")
        self.assertTrue(line, squid.access_lines())
        self.assertIn(" alice ", line)
        self.assertNoPassword(good, PASSWORD)

        bad = self.daemon(squid.port, "alice", "wrong-" + PASSWORD)
        r = self.curl(bad)
        self.assertEqual(407, r.status, r.stderr)
        self.assertNotIn("proxy-authenticate", r.headers())
        self.assertTrue(bad.wait_access("/page.html"), bad.access_log())
        self.assertNoPassword(bad, "wrong-" + PASSWORD)
        # The unauthenticated request and one attempt with credentials.
        self.assertTrue(wait_for(lambda: len([l for l in squid.access_lines()
                                              if "TCP_DENIED/407" in l]) >= 3))
        self.assertEqual(3, len([l for l in squid.access_lines() if "TCP_DENIED/407" in l]))

    @needs(NGINX, CURL, SQUID, os.path.exists(NTLM_FAKE))
    def test_ntlm_handshake(self):
        """squid with the fake NTLM helper and a rule with a domain: the
        page arrives through the negotiate / challenge / authenticate
        handshake, and squid logs the NTLM user."""
        squid = ntlm_squid()
        self.addCleanup(squid.stop)
        proxy = self.daemon(squid.port, "alice", PASSWORD, domain="CORP")
        r = self.curl(proxy)
        self.assertEqual(200, r.status, proxy.log() + "\n".join(squid.access_lines()))
        self.assertEqual(PAGE, r.body())
        line = squid.wait_access("TCP_MISS/200")
        self.assertTrue(line, squid.access_lines())
        # squid logs the user its helper names (never "-" once authenticated).
        self.assertNotEqual("-", line.split()[7], line)
        self.assertIn("request: NTLM credentials sent to proxy", proxy.log())
        self.assertNoPassword(proxy, PASSWORD)

    @needs(NGINX, CURL, TINYPROXY)
    def test_basic_to_upstream_that_closes(self):
        """tinyproxy closes the connection after its 407: the request goes
        again on a new connection with the credentials and the page
        arrives."""
        tiny = Tinyproxy("alice", PASSWORD)
        self.addCleanup(tiny.stop)
        proxy = self.daemon(tiny.port, "alice", PASSWORD)
        r = self.curl(proxy)
        self.assertEqual(200, r.status, r.stderr + proxy.log())
        self.assertEqual(PAGE, r.body())
        self.assertIn("closed after its challenge, connecting again", proxy.log())
        self.assertNoPassword(proxy, PASSWORD)

    @needs(NGINX, CURL, SQUID, os.path.exists(BASIC_NCSA))
    def test_large_post_buffered_for_authentication(self):
        """A POST larger than the upload buffer, to an authenticating
        upstream, on a kept-alive client connection whose first request
        went through that upstream: the daemon buffers the body, sends it
        again after the 407 on a new upstream connection, and nginx echoes
        it whole."""
        if not self.nginx.has_echo:
            self.skipTest("nginx echo module missing")
        squid = basic_squid()
        self.addCleanup(squid.stop)
        proxy = self.daemon(squid.port, "alice", PASSWORD, general={"maxubuffer": "64K"})
        body = os.urandom(300 * 1024)
        tmp = tempfile.mkdtemp(prefix="quill-post-")
        self.addCleanup(shutil.rmtree, tmp, True)
        data = os.path.join(tmp, "data")
        with open(data, "wb") as f:
            f.write(body)
        first = os.path.join(tmp, "first")
        echo = self.nginx.url("/echo")
        r = self.curl(proxy, self.nginx.url("/page.html"), "-o", first,
                      "--next", "-x", "127.0.0.1:%d" % proxy.port, "--data-binary", "@" + data,
                      "-H", "Expect:", "-w", "%{http_code}", url=echo)
        self.assertEqual(200, r.status, proxy.log() + "\n".join(squid.access_lines()))
        with open(first, "rb") as f:
            self.assertEqual(PAGE, f.read())
        self.assertEqual(body, r.body())
        self.assertIn("Re-using existing connection", r.stderr)
        self.assertIn("forced buffering of POST request for proxy that requries authentication",
                      proxy.log())
        self.assertNoPassword(proxy, PASSWORD)


if __name__ == "__main__":
    unittest.main()
