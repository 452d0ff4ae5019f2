"""The diagnostic pages of the URL commands, through curl against nginx:
each page's title and content, hostile values (markup in paths, headers,
bodies and attributes) escaped, credentials redacted, and "proxytest"
through tinyproxy as the upstream proxy."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxytest import CURL, NGINX, Curl, Nginx, Proxy, proxy_config  # noqa: E402
from quilltest import Install  # noqa: E402
from e2e_redirect import TINYPROXY, Tinyproxy, peer, replace_section  # noqa: E402

PAGE = b'<html><body><p>a</p><a href="x&quot;><script>alert(1)</script>" id=z>l</a></body></html>'
RAW = b"before <b>markup</b>\0after the nul"


@unittest.skipUnless(NGINX and CURL, "needs nginx and curl")
class DiagnosticPages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.origin = Nginx({"page.html": PAGE, "raw.txt": RAW, "cached.txt": b"cached body"})
        cls.origin.start()
        cls.proxy = Proxy().start()

    @classmethod
    def tearDownClass(cls):
        cls.proxy.stop()
        cls.origin.stop()

    def page(self, command, path, *args, proxy=None):
        url = "http://xx--%s.127.0.0.1:%d%s" % (command, self.origin.port, path)
        r = Curl((proxy or self.proxy).port, url, *args)
        self.addCleanup(r.cleanup)
        self.assertEqual(200, r.status, r.stderr)
        self.assertIn("text/html", r.headers().get("content-type", ""))
        return r.body().decode(errors="replace")

    def test_titles_and_contents(self):
        """Each page has its title and its content."""
        host = "127.0.0.1:%d" % self.origin.port
        body = self.page("limits", "/page.html")
        self.assertIn("Transfer limits for 127.0.0.1/page.html", body)
        self.assertEqual(2, body.count("4.0 GB"))
        body = self.page("profiles", "/page.html")
        self.assertIn("Active profiles for 127.0.0.1/page.html", body)
        body = self.page("cache", "/nothing.html")
        self.assertIn("Cache information for http://%s/nothing.html" % host, body)
        self.assertIn("Nothing found", body)
        body = self.page("proxytest", "/page.html")
        self.assertIn("Not forwarding through HTTP proxy", body)
        body = self.page("htmltree", "/page.html")
        self.assertIn("HTML tree for 127.0.0.1/page.html", body)
        self.assertRegex(body, r'padding-left: 0px">html')
        self.assertRegex(body, r'padding-left: 72px">p</td>')
        self.assertRegex(body, r'padding-left: 108px">&quot;a&quot;')

    def test_cache_page(self):
        """A cached object shows its size, GMT times and escaped header."""
        url = "http://127.0.0.1:%d/cached.txt" % self.origin.port
        for _ in range(2):
            r = Curl(self.proxy.port, url)
            r.cleanup()
        body = self.page("cache", "/cached.txt")
        self.assertIn("Size", body)
        self.assertRegex(body, r"Retrieved</td><td>\w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d GMT")
        self.assertIn("Flags", body)
        self.assertIn("HTTP/1.1 200 OK", body)

    def test_hostile_values_escaped(self):
        """Markup in a path, a header, a body and an attribute never reaches
        the page as markup; credentials show as "[redacted]"."""
        evil = "<script>alert(2)</script>"
        headers = ["-H", "X-Evil: " + evil, "-H", "Authorization: Basic c2VjcmV0OnB3",
                   "-H", "Cookie: login=topsecret; other=1"]
        for command in ("variables", "headers"):
            with self.subTest(command=command):
                body = self.page(command, "/page.html?q=<b>", *headers)
                self.assertNotIn(evil, body)
                self.assertNotIn("<b>", body)
                self.assertIn("&lt;script&gt;", body)
                self.assertNotIn("c2VjcmV0OnB3", body)
                self.assertNotIn("topsecret", body)
                self.assertIn("[redacted]", body)
        body = self.page("raw", "/raw.txt")
        self.assertIn("Raw contents of 127.0.0.1/raw.txt", body)
        self.assertIn("before &lt;b&gt;markup&lt;/b&gt;", body)
        self.assertNotIn("after the nul", body)
        body = self.page("htmltree", "/page.html")
        self.assertNotIn("<script>alert(1)", body)
        self.assertIn("a href=&quot;x&amp;quot;&gt;&quot;", body)

    def test_raw_passes_body_unchanged_without_command(self):
        """Without the command the body with its NUL passes unchanged."""
        r = Curl(self.proxy.port, "http://127.0.0.1:%d/raw.txt" % self.origin.port)
        self.addCleanup(r.cleanup)
        self.assertEqual(RAW, r.body())

    @unittest.skipUnless(TINYPROXY, "needs tinyproxy")
    def test_proxytest_through_tinyproxy(self):
        """Through tinyproxy the page shows the request as it came back."""
        tiny = Tinyproxy()
        proxy = Proxy()
        text = replace_section(proxy_config(proxy.port), "forward", peer(tiny.port))
        proxy.inst.cleanup()
        proxy.inst = Install(config=text)
        proxy.start()
        try:
            body = self.page("proxytest", "/page.html", proxy=proxy)
            self.assertIn("Proxy test for 127.0.0.1/page.html", body)
            self.assertIn("Headers received from 127.0.0.1:%d" % tiny.port, body)
            self.assertIn("(tinyproxy/", body)   # its Via line: the request passed it
        finally:
            proxy.stop()
            tiny.stop()


if __name__ == "__main__":
    unittest.main()
