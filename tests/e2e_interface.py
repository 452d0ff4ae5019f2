"""The web interface and the performance log seen from outside: curl as the
browser, through the daemon as its proxy and at the daemon's own address.
The interface answers under its own host name, redirects its bare path,
serves template files to everybody, reads form arguments only from its own
pages (the Referer guard, host and port), logs in with the access rule's
pair, escapes hostile request data, and marks its pages "no-store". The
performance log gets its header and a first row as soon as the daemon
runs."""

import os
import re
import socket
import subprocess
import sys
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxytest import allow_rule, proxy_config  # noqa: E402
from quilltest import SOURCE, Install, free_port, wait_for  # noqa: E402

USER = "admin"
PASSWORD = "s3cret pass"
HOST = "quill.invalid"


def pipeline_ready():
    """True once the request pipeline's code (comments aside) hands requests
    to the interface."""
    try:
        with open(os.path.join(SOURCE, "src", "request.cpp")) as f:
            code = f.read()
    except OSError:
        return False
    code = re.sub(r"/\*.*?\*/", "", code, flags=re.S)
    code = re.sub(r"//[^\n]*", "", code)
    return re.search(r"\binterface_handle_request\s*\(", code) is not None


SKIP_REASON = ("the request pipeline (src/request.cpp) does not yet hand requests to "
               "interface_request; these tests run once it does")


def interface_config(port, user=USER, password=PASSWORD):
    """The shipped configuration listening on port, with one access rule for
    127.0.0.1 that grants the interface with a login pair."""
    return proxy_config(port, allow_rules=[allow_rule(
        permissions="interface,proxy,connect,commands", interface_username=user,
        interface_password=password)])


class Reply:
    def __init__(self, raw):
        head, _, self.body = raw.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        self.status = int(lines[0].split()[1]) if lines and lines[0] else 0
        self.fields = {}
        self.cookies = []
        for line in lines[1:]:
            name, _, value = line.partition(": ")
            self.fields[name.lower()] = value
            if name.lower() == "set-cookie":
                self.cookies.append(value)
        self.text = self.body.decode("utf-8", "replace")

    def field(self, name):
        return self.fields.get(name.lower(), "")


class DaemonCase(unittest.TestCase):
    proxyhost = None

    def setUp(self):
        self.port = free_port()
        self.inst = Install(config=interface_config(self.port))
        extra = ("-H", self.proxyhost) if self.proxyhost else ()
        self.inst.start_foreground(*extra)
        self.assertTrue(self.inst.wait_log("listening on 127.0.0.1:%d" % self.port),
                        self.inst.log_text())

    def tearDown(self):
        self.inst.cleanup()

    def curl(self, url, *args, proxy=True, seconds=20):
        """One request with curl; returns the reply (header and body)."""
        cmd = ["curl", "-s", "-i", "--max-time", str(seconds)]
        if proxy:
            cmd += ["--proxy", "http://127.0.0.1:%d" % self.port]
        else:
            cmd += ["--noproxy", "*"]
        cmd += list(args) + [url]
        out = subprocess.run(cmd, capture_output=True, timeout=seconds + 10,
                             env=dict(os.environ, http_proxy="", HTTP_PROXY=""))
        return Reply(out.stdout)

    def raw(self, data):
        """Sends raw request bytes to the daemon and returns the whole reply."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=20) as c:
            c.sendall(data)
            chunks = []
            while True:
                try:
                    b = c.recv(65536)
                except ConnectionResetError:
                    break
                if not b:
                    break
                chunks.append(b)
        return Reply(b"".join(chunks))

    def login_cookie(self):
        r = self.curl("http://%s/" % HOST, "--data-urlencode", "username=" + USER,
                      "--data-urlencode", "password=" + PASSWORD,
                      "-H", "Referer: http://%s/" % HOST)
        self.assertEqual(200, r.status)
        self.assertEqual(1, len(r.cookies), r.fields)
        return r.cookies[0].split(";")[0]


class PerformanceLog(unittest.TestCase):
    def test_header_and_first_row(self):
        """Within 3 seconds of start the log holds the header line and a row."""
        port = free_port()
        inst = Install(config=interface_config(port))
        try:
            inst.start_foreground()

            def text():
                try:
                    with open(inst.perf) as f:
                        return f.read()
                except OSError:
                    return ""
            self.assertTrue(wait_for(lambda: text().count("\n") >= 2, timeout=3.0), text())
            lines = text().split("\n")
            self.assertTrue(lines[0].startswith("Time Stamp (YYYYMMDDhhmmss),Elapsed Time,"))
            self.assertTrue(lines[0].endswith(",Quillmere Library Memory (KBytes)"))
            self.assertEqual(31, len(lines[0].split(",")))
            cells = lines[1].split(",")
            self.assertEqual(31, len(cells))
            self.assertRegex(cells[0], r"^\d{14}$")
            self.assertTrue(all(c.isdigit() for c in cells[1:]), lines[1])
            self.assertEqual(0o640, os.stat(inst.perf).st_mode & 0o777)
        finally:
            inst.cleanup()


@unittest.skipUnless(pipeline_ready(), SKIP_REASON)
class Interface(DaemonCase):
    def test_templates_for_everybody(self):
        """Template files load without login; a query is ignored; unknown is 404."""
        r = self.curl("http://%s/template/logo?v=2" % HOST)
        self.assertEqual(200, r.status)
        self.assertEqual("image/gif", r.field("Content-Type"))
        self.assertTrue(r.body.startswith(b"GIF"))
        r = self.curl("http://%s/template/no-such-template" % HOST)
        self.assertEqual(404, r.status)

    def test_redirect_and_own_site(self):
        """The proxy's own site: the bare interface path is redirected, the
        rest served; the same path inside another site's origin is not."""
        base = "http://127.0.0.1:%d/%s" % (self.port, HOST)
        r = self.curl(base, proxy=False)
        self.assertEqual(302, r.status)
        self.assertEqual(HOST + "/", r.field("Location"))
        r = self.curl(base + "/", proxy=False)
        self.assertEqual(200, r.status)
        self.assertIn("Web interface login", r.text)
        self.assertEqual("no-store", r.field("Cache-Control"))
        r = self.curl(base + "/", "-H", "Host: example.com", proxy=False)
        self.assertNotIn("Web interface login", r.text)
        self.assertNotEqual(200, r.status)

    def test_banner_logo_on_both_sites(self):
        """The banner's logo loads wherever the interface is used: under its
        own host name through the proxy, and at the proxy's own address."""
        for page, proxy in (("http://%s/" % HOST, True),
                            ("http://127.0.0.1:%d/%s/" % (self.port, HOST), False)):
            with self.subTest(page):
                r = self.curl(page, proxy=proxy)
                self.assertEqual(200, r.status)
                sources = re.findall(r'<img src="([^"]*logo[^"]*)"', r.text)
                self.assertTrue(sources, r.text[:2000])
                for source in sources:
                    logo = self.curl(urllib.parse.urljoin(page, source), proxy=proxy)
                    self.assertEqual(200, logo.status, source)
                    self.assertTrue(logo.body.startswith(b"GIF"), source)

    def test_link_without_referer_shows_the_page_unapplied(self):
        """A typed or bookmarked link shows its page as usual; an action in it
        is not applied, and one line says why. From the interface's own page
        the same link applies it."""
        cookie = ["-H", "Cookie: " + self.login_cookie()]
        notice = "The action was not applied"
        r = self.curl("http://%s/log?pattern=xyz" % HOST, *cookie)
        self.assertIn('name="pattern" size="80" value="xyz"', r.text)
        self.assertNotIn(notice, r.text)
        link = "http://%s/log?pattern=xyz&size=7" % HOST
        r = self.curl(link, *cookie)
        self.assertEqual(200, r.status)
        self.assertIn("Top Menu", r.text)
        self.assertIn('name="pattern" size="80" value="xyz"', r.text)
        self.assertEqual(1, r.text.count(notice), r.text[:3000])
        self.assertNotIn('name="size" size="10" value="7"', r.text)
        r = self.curl(link, *cookie, "-H", "Referer: http://%s/log" % HOST)
        self.assertNotIn(notice, r.text)
        self.assertIn('name="size" size="10" value="7"', r.text)

    def test_login_and_referer_guard(self):
        """A login form posted from a foreign page, or with the proxy name on
        another port, is not read; from the interface's own page it logs in."""
        form = ["--data-urlencode", "username=" + USER, "--data-urlencode",
                "password=" + PASSWORD]
        for referer in (None, "http://evil.test/", "http://%s:8080/" % HOST,
                        "http://localhost:1/%s/" % HOST, "http://%s" % HOST):
            args = form + (["-H", "Referer: " + referer] if referer else [])
            r = self.curl("http://%s/stats" % HOST, *args)
            self.assertEqual(200, r.status, referer)
            self.assertIn("Web interface login", r.text, referer)
            self.assertEqual([], r.cookies, referer)
        self.assertIn("web interface request from invalid referer (http://evil.test/)",
                      self.inst.log_text())

        r = self.curl("http://%s/stats" % HOST, *form, "-H", "Referer: http://%s/" % HOST)
        self.assertEqual(200, r.status)
        self.assertIn("Top Menu", r.text)
        self.assertEqual(1, len(r.cookies))
        self.assertRegex(r.cookies[0], r"^login=[^;]+; path=/; expires=[^;]+ GMT; "
                                       r"HttpOnly; SameSite=Strict$")
        self.assertEqual("no-store", r.field("Cache-Control"))

        cookie = r.cookies[0].split(";")[0]
        r = self.curl("http://%s/stats" % HOST, "-H", "Cookie: other=1; " + cookie)
        self.assertIn("Top Menu", r.text)
        self.assertIn("smalldialog", r.text)
        self.assertEqual(1, len(r.cookies))
        self.assertNotIn("other", r.cookies[0])

        r = self.curl("http://%s/stats" % HOST, *form[:2], "--data-urlencode",
                      "password=wrong", "-H", "Referer: http://%s/" % HOST)
        self.assertIn("Web interface login", r.text)
        self.assertEqual([], r.cookies)

    def test_hostile_request_data_is_escaped(self):
        """Markup in the path and the Referer never reaches a page or a log raw."""
        evil = '/x"><script>alert(1)</script>'
        r = self.raw(("GET http://%s%s HTTP/1.0\r\nReferer: http://e.test/\x1b[2J<b>\r\n\r\n"
                      % (HOST, evil)).encode("latin-1"))
        self.assertEqual(200, r.status)
        self.assertIn("Web interface login", r.text)
        self.assertNotIn("<script>", r.text)
        self.assertIn("&lt;script&gt;", r.text)
        self.assertIn('(http://e.test/\\x1b[2J<b>)', self.inst.log_text())
        self.assertNotIn("\x1b", self.inst.log_text())
        r = self.raw(("GET http://%s//evil.test/ HTTP/1.0\r\n\r\n" % HOST).encode())
        self.assertIn('<form action="/evil.test/"', r.text)

    def test_oversized_form_closes_the_connection(self):
        """A form body past the limit is not read and the connection closes."""
        body = b"username=x&pad=" + b"y" * (2 << 20)
        head = ("POST http://%s/stats HTTP/1.1\r\nHost: %s\r\nReferer: http://%s/\r\n"
                "Content-Length: %d\r\n\r\n" % (HOST, HOST, HOST, len(body))).encode()
        with socket.create_connection(("127.0.0.1", self.port), timeout=20) as c:
            c.sendall(head)
            try:
                c.sendall(body)
            except (BrokenPipeError, ConnectionResetError):
                pass
            data = b""
            while b"</html>" not in data:
                try:
                    b = c.recv(65536)
                except ConnectionResetError:
                    break
                if not b:
                    break
                data += b
        r = Reply(data)
        self.assertEqual(200, r.status)
        self.assertEqual("close", r.field("Connection"))
        self.assertIn("Web interface login", r.text)


@unittest.skipUnless(pipeline_ready(), SKIP_REASON)
class HostileProxyName(DaemonCase):
    proxyhost = '<b onclick="x">proxy&co'

    def test_title_is_escaped(self):
        """The proxy host name from the command line is escaped in the title."""
        r = self.curl("http://%s/" % HOST, "-H", "Cookie: " + self.login_cookie())
        self.assertIn("web interface for &lt;b onclick=&quot;x&quot;&gt;proxy&amp;co</title>",
                      r.text)
        self.assertIn("Top Menu", r.text)


if __name__ == "__main__":
    unittest.main()
