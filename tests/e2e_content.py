"""Rewrite rules and keyword scoring through the daemon, with curl and raw
clients against an echo origin (python3 http.server): bodies rewritten in
chains, by content type, with zero bytes in them, request and response
headers, request bodies (an empty one untouched), bodies over the download
buffer streamed unseen, a broken pattern that does nothing; keyword totals
against the threshold, counted once per rule, zero and negative totals,
zero bytes, the "score" page with and without a keyword rule; broken
expressions refused at load; the bypass letters w and k, which last for the
client connection."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from contenttest import (ContentProxy, EchoOrigin, KeptClient, content_config,  # noqa: E402
                         keyword_rule, rewrite_rule)
from proxytest import Curl, free_port  # noqa: E402
from quilltest import Install, wait_for  # noqa: E402

GENERAL = {"maxdbuffer": "64K", "maxubuffer": "64K"}
BIG = b"cat " * 40000   # 160 000 bytes: over the download buffer

PAGES = {
    "/chain": ("text/plain", b"a cat and a cat"),
    "/html": ("text/html; charset=utf-8", b"<p>htmlonly</p>"),
    "/plain": ("text/plain", b"htmlonly"),
    "/nul": ("application/octet-stream", b"x\0cat\0y"),
    "/big": ("text/plain", BIG),
    "/hdr": ("text/plain", b"hello", [("X-Origin", "origin-alpha")]),
    "/broken": ("text/plain", b"left (alone)"),
}


class RewriteTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.origin = EchoOrigin(PAGES)
        rules = "".join([
            rewrite_rule("cat", "dog"),
            rewrite_rule("dog", "wolf"),
            rewrite_rule("htmlonly", "HTMLDONE", mime_type="text/html"),
            # A content type keeps a rule off headers.
            rewrite_rule("mimeprobe", "changed", targets="client-header", mime_type="text/html"),
            rewrite_rule("probe-one", "probe-two", targets="client-header"),
            rewrite_rule("origin-alpha", "origin-beta", targets="server-header"),
            rewrite_rule("secret", "public", targets="post-body"),
            rewrite_rule(r"^\z", "FILLED", targets="post-body"),
            rewrite_rule("(", "never", targets="body"),
        ])
        cls.proxy = ContentProxy({"rewrite": "<enabled>true</enabled>" + rules},
                                 general=GENERAL).start()

    @classmethod
    def tearDownClass(cls):
        cls.proxy.stop()
        cls.origin.stop()

    def fetch(self, path, *args):
        c = Curl(self.proxy.port, self.origin.url(path), *args)
        try:
            return c.status, c.headers(), c.body()
        finally:
            c.cleanup()

    def test_bodies(self):
        cases = [
            # path, expected body
            ("/chain", b"a wolf and a wolf"),               # the second rule sees the first's output
            ("/html", b"<p>HTMLDONE</p>"),                  # "text/html" found in a longer type
            ("/plain", b"htmlonly"),                        # another type: untouched
            ("/nul", b"x\0wolf\0y"),                        # zero bytes hide nothing
            ("/big", BIG),                                  # over maxdbuffer: streamed unseen
            ("/broken", b"left (alone)"),                   # a pattern that does not compile
        ]
        for path, want in cases:
            with self.subTest(path=path):
                status, headers, body = self.fetch(path)
                self.assertEqual(200, status)
                self.assertEqual(want, body)
                if path != "/big":
                    self.assertEqual(str(len(want)), headers.get("content-length"))
        self.assertIn("failed to compile regular expression: (", self.proxy.log())
        self.assertTrue(self.proxy.wait_log("cat matched 2 times in body"))

    def test_headers(self):
        status, headers, _ = self.fetch("/hdr", "-H", "X-Probe: probe-one mimeprobe")
        self.assertEqual(200, status)
        self.assertEqual("origin-beta", headers.get("x-origin"))
        sent = dict((k.lower(), v) for k, v in self.origin.requests[-1][2])
        self.assertEqual("probe-two mimeprobe", sent["x-probe"])
        self.assertTrue(self.proxy.wait_log("probe-one matched 1 times in client header"))
        self.assertTrue(self.proxy.wait_log("origin-alpha matched 1 times in server header"))

    def test_post_bodies(self):
        client = KeptClient(self.proxy.port)
        try:
            for sent, want in [(b"my secret\0secret", b"my public\0public"), (b"", b"")]:
                with self.subTest(body=sent):
                    status, _, body = client.request("POST", self.origin.url("/echo"), body=sent)
                    self.assertEqual(200, status)
                    self.assertEqual(want, body)
                    got = self.origin.requests[-1]
                    self.assertEqual(want, got[3])
                    length = dict((k.lower(), v) for k, v in got[2])["content-length"]
                    self.assertEqual(str(len(want)), length)
        finally:
            client.close()

    def test_post_body_over_the_upload_buffer_passes_unseen(self):
        big = b"secret " * 20000   # 140 000 bytes, over maxubuffer
        client = KeptClient(self.proxy.port)
        try:
            status, _, body = client.request("POST", self.origin.url("/echo"), body=big)
        finally:
            client.close()
        self.assertEqual(200, status)
        self.assertEqual(big, self.origin.requests[-1][3])

    def test_bypass_lasts_for_the_connection(self):
        client = KeptClient(self.proxy.port)
        try:
            url = "http://xx--bypass[w].127.0.0.1:%d/chain" % self.origin.port
            self.assertEqual(b"a cat and a cat", client.request("GET", url)[2])
            self.assertEqual(b"a cat and a cat", client.request("GET", self.origin.url("/chain"))[2])
        finally:
            client.close()
        self.assertEqual(b"a wolf and a wolf", self.fetch("/chain")[2])


KEYWORD_PAGES = {
    "/both": ("text/plain", b"alpha and beta"),
    "/alpha": ("text/plain", b"only alpha"),
    "/gamma10": ("text/plain", b"gamma " * 10),
    "/nul": ("text/plain", b"zero\0byte then alpha\0 and beta"),
    "/mime-html": ("text/html; charset=utf-8", b"mimeprobe"),
    "/mime-bin": ("application/octet-stream", b"mimeprobe"),
    "/zero": ("text/plain", b"plus10 minus10"),
    "/minus": ("text/plain", b"minus5"),
    "/none": ("text/plain", b"nothing to see"),
}


class KeywordTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.origin = EchoOrigin(KEYWORD_PAGES)
        cls.proxies = {}

    @classmethod
    def tearDownClass(cls):
        for p in cls.proxies.values():
            p.stop()
        cls.origin.stop()

    def proxy(self, threshold, rules=None):
        if threshold not in self.proxies:
            if rules is None:
                rules = [keyword_rule("alpha", 30), keyword_rule("beta", 40),
                         keyword_rule("gamma", 50), keyword_rule("mimeprobe", 100, mime_type="text/"),
                         keyword_rule("plus10", 10), keyword_rule("minus10", -10),
                         keyword_rule("minus5", -5)]
            section = ("<enabled>true</enabled><threshold>%d</threshold><template></template>"
                       % threshold) + "".join(rules)
            self.proxies[threshold] = ContentProxy({"keywords-filtering": section},
                                                   general=GENERAL).start()
        return self.proxies[threshold]

    def fetch(self, proxy, url):
        c = Curl(proxy.port, url)
        try:
            return c.status, c.body()
        finally:
            c.cleanup()

    def test_threshold(self):
        cases = [
            # threshold, path, blocked
            (70, "/both", True),        # 30 + 40 reaches 70
            (70, "/alpha", False),
            (70, "/gamma10", False),    # ten occurrences count once: 50
            (70, "/nul", True),         # found past the zero bytes
            (70, "/mime-html", True),   # "text/" found in a longer type
            (70, "/mime-bin", False),
            (0, "/zero", False),        # a total of 0 never blocks
            (-10, "/minus", True),      # -5 is not below -10
            (-1, "/minus", False),
        ]
        for threshold, path, blocked in cases:
            with self.subTest(threshold=threshold, path=path):
                proxy = self.proxy(threshold)
                status, body = self.fetch(proxy, self.origin.url(path))
                self.assertEqual(200, status)
                if blocked:
                    self.assertIn(b"Page Blocked", body)
                else:
                    self.assertEqual(KEYWORD_PAGES[path][1], body)
        proxy = self.proxy(70)
        self.assertTrue(proxy.wait_log("blocked: score:70 threshold:70"))
        self.assertTrue(wait_for(lambda: "keyword-filter" in open(proxy.inst.extended).read()))

    def test_score_page(self):
        proxy = self.proxy(70)
        for path, score in [("/both", 70), ("/gamma10", 50), ("/none", 0)]:
            with self.subTest(path=path):
                url = "http://xx--score.127.0.0.1:%d%s" % (self.origin.port, path)
                status, body = self.fetch(proxy, url)
                self.assertEqual(200, status)
                text = body.decode(errors="replace")
                self.assertIn("Keyword score for 127.0.0.1%s" % path, text)
                self.assertIn(">%d<" % score, text)

    def test_score_page_without_a_keyword_rule(self):
        # No rule needs the body; the command alone has it buffered.
        proxy = self.proxy(1000, rules=[keyword_rule("", 7)])
        url = "http://xx--score.127.0.0.1:%d/none" % self.origin.port
        status, body = self.fetch(proxy, url)
        self.assertIn(b"Keyword score for", body)
        self.assertIn(b">7<", body)

    def test_bypass_lasts_for_the_connection(self):
        proxy = self.proxy(70)
        client = KeptClient(proxy.port)
        try:
            url = "http://xx--bypass[k].127.0.0.1:%d/both" % self.origin.port
            self.assertEqual(KEYWORD_PAGES["/both"][1], client.request("GET", url)[2])
            self.assertEqual(KEYWORD_PAGES["/both"][1],
                             client.request("GET", self.origin.url("/both"))[2])
        finally:
            client.close()
        self.assertIn(b"Page Blocked", self.fetch(proxy, self.origin.url("/both"))[1])


class BrokenExpressionTest(unittest.TestCase):
    def test_refused_at_load(self):
        cases = [
            ("keywords-filtering",
             "<enabled>true</enabled><threshold>10</threshold><template></template>"
             + keyword_rule("(", 5),
             "section keywords-filtering, element keyword: keyword must be a valid regular "
             "expression, but it is given value ("),
            ("keywords-filtering",
             "<enabled>true</enabled><threshold>10</threshold><template></template>"
             + keyword_rule("x", 5, mime_type="[text"),
             "section keywords-filtering, element keyword: mime-type must be a valid regular "
             "expression, but it is given value [text"),
            ("rewrite", "<enabled>true</enabled>" + rewrite_rule("a", "b", mime_type="(html"),
             "section rewrite, element rule: mime-type must be a valid regular expression, "
             "but it is given value (html"),
        ]
        for section, inner, line in cases:
            with self.subTest(section=section, line=line):
                inst = Install(config=content_config(free_port(), {section: inner}))
                try:
                    r = inst.run("-f", timeout=30)
                    self.assertNotEqual(0, r.returncode)
                    self.assertIn("flawed XML file, " + line, inst.log_text() + r.stdout + r.stderr)
                finally:
                    inst.cleanup()


if __name__ == "__main__":
    unittest.main(verbosity=2)
