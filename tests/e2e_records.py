"""One record per answered request, in both access logs: a table of
request kinds (hit and miss, HEAD, the error pages, refusals, a client
redirect, CONNECT refused and granted) through one daemon with nginx as the
origin, each leaving one access record and one extended record with the
status and size the client got and the cache code log analysers know; and
calamaris, a squid-log analyser, reads the access log without an invalid
line."""

import os
import re
import shutil
import socket
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from contenttest import ContentProxy, keyword_rule  # noqa: E402
from e2e_cache_rules import reply  # noqa: E402
from e2e_redirect import rule as redirect_rule  # noqa: E402
from e2e_requestchecks import rule as filter_rule  # noqa: E402
from origin_scripted import ScriptedOrigin  # noqa: E402
from proxytest import NGINX, Nginx, raw_exchange  # noqa: E402
from quilltest import free_port, wait_for  # noqa: E402

CALAMARIS = shutil.which("calamaris") or ("/usr/bin/calamaris"
                                           if os.path.exists("/usr/bin/calamaris") else None)
CACHED = b"c" * 1000
KEYWORD_PAGE = b"<html><body>a page with the word forbiddenword in it</body></html>\n"


def split(data):
    """(status, body) of one HTTP response in data."""
    head, _, body = data.partition(b"\r\n\r\n")
    return int(head.split(b" ", 2)[1]), body


def receive(sock, got=b"", until=None):
    """got and what sock sends after it, until until(bytes so far) holds or
    the peer closes."""
    while until is None or not until(got):
        chunk = sock.recv(65536)
        if not chunk:
            break
        got += chunk
    return got


def records(path):
    try:
        with open(path, errors="replace") as f:
            return [line for line in f.read().splitlines() if line and not line.startswith("#")]
    except FileNotFoundError:
        return []


EXTENDED = re.compile(r'^"[^"]*" \d+ \S+ "[^"]*" "\d+" \[[^\]]*\] "(\S+) (\S+)" (\d+) (\d+) '
                      r'"[^"]*" "[^"]*" \S+ "[^"]*" "[^"]*" "[^"]*" (\S+)$')


@unittest.skipUnless(NGINX, "needs nginx")
class Records(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.nginx = Nginx({"cached.txt": CACHED, "head.txt": CACHED, "word.html": KEYWORD_PAGE,
                           "tunnel.txt": b"through the tunnel\n"},
                          locations='location = /cached.txt { add_header Cache-Control '
                                    '"max-age=3600"; }\n',
                          gzip=False).start()
        n = cls.nginx.port
        sections = {
            "url-filtering": "<enabled>true</enabled><allow-first>false</allow-first>"
                             "<template></template>" + filter_rule("deny", "denied", path="^/denied"),
            "keywords-filtering": "<enabled>true</enabled><threshold>50</threshold>"
                                  "<template></template>" + keyword_rule("forbiddenword", 100),
            "redirect": "<enabled>true</enabled>"
                        + redirect_rule(r"/moved/(.*)$", "http://127.0.0.1:%d/$1" % n, client=True),
        }
        cls.proxy = ContentProxy(sections, general={"cportrange": str(n)}, cache=True).start()

    @classmethod
    def tearDownClass(cls):
        cls.proxy.stop()
        cls.nginx.stop()

    def get(self, url, method="GET", extra=b""):
        data, _ = raw_exchange(self.proxy.port, b"%s %s HTTP/1.1\r\nHost: x\r\n%s"
                               b"Connection: close\r\n\r\n" % (method.encode(), url.encode(), extra))
        return data

    def connect(self, port):
        """A CONNECT to 127.0.0.1:port; when granted, a GET through the tunnel.
        Returns (status, bytes relayed both ways)."""
        s = socket.create_connection(("127.0.0.1", self.proxy.port), timeout=30)
        try:
            s.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (port, port))
            head, _, rest = receive(s, until=lambda got: b"\r\n\r\n" in got).partition(b"\r\n\r\n")
            status = int(head.split(b" ", 2)[1])
            if status != 200:
                return status, len(receive(s, rest))   # the refusal page, to the close
            request = b"GET /tunnel.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
            s.sendall(request)
            return status, len(request) + len(receive(s, rest))
        finally:
            s.close()

    def test_every_answered_request_is_recorded_once(self):
        nginx = self.nginx
        must_revalidate = ScriptedOrigin([reply(["Cache-Control: max-age=0, must-revalidate",
                                                 "Last-Modified: Mon, 01 Jan 2024 00:00:00 GMT"])
                                          + ScriptedOrigin.CLOSE])
        self.addCleanup(must_revalidate.stop)
        garbage = ScriptedOrigin([b"HTTP/1.1 2x0 OK\r\n\r\n" + ScriptedOrigin.CLOSE])
        self.addCleanup(garbage.stop)
        closed = free_port()

        def exchange(url, method="GET", extra=b""):
            return lambda: split(self.get(url, method, extra))

        def body_size(url, method="GET", extra=b""):
            def run():
                status, body = split(self.get(url, method, extra))
                return status, 0 if method == "HEAD" else len(body)
            return run

        def stale_then_504():
            must_revalidate.stop()
            return body_size(must_revalidate.url("/kept"))()

        cases = [
            # (what, request giving (status, size the client got), method, status, cache code)
            ("GET miss", body_size(nginx.url("/cached.txt")), "GET", 200, "TCP_MISS"),
            ("GET hit", body_size(nginx.url("/cached.txt")), "GET", 200, "TCP_HIT"),
            ("HEAD", body_size(nginx.url("/head.txt"), "HEAD"), "HEAD", 200, "TCP_MISS"),
            ("400 ambiguous framing",
             body_size(nginx.url("/post"), "POST",
                       b"Content-Length: 3\r\nTransfer-Encoding: chunked\r\n"), "POST", 400, "NONE"),
            ("400 bad response", body_size(garbage.url("/bad")), "GET", 400, "TCP_MISS"),
            ("503 unreachable", body_size("http://127.0.0.1:%d/x" % closed), "GET", 503, "NONE"),
            ("GET miss to revalidate", body_size(must_revalidate.url("/kept")), "GET", 200,
             "TCP_MISS"),
            ("504 revalidation failed", stale_then_504, "GET", 504, "NONE"),
            ("URL filter refusal", body_size(nginx.url("/denied/x")), "GET", None, "TCP_DENIED"),
            ("keyword refusal", body_size(nginx.url("/word.html")), "GET", 200, "TCP_DENIED"),
            ("client redirect", body_size(nginx.url("/moved/cached.txt")), "GET", 302, "NONE"),
            ("refused CONNECT", lambda: self.connect(closed), "CONNECT", 404, "TCP_DENIED"),
            ("granted CONNECT", lambda: self.connect(nginx.port), "CONNECT", 200, "TCP_MISS"),
        ]
        access, extended = self.proxy.inst.access, self.proxy.inst.extended
        for number, (what, run, method, status, code) in enumerate(cases, 1):
            with self.subTest(what):
                got_status, got_size = run()
                if status is not None:
                    self.assertEqual(status, got_status)
                self.assertTrue(wait_for(lambda: len(records(access)) >= number
                                         and len(records(extended)) >= number),
                                (records(access), records(extended)))
                plain = records(access)[number - 1].split(" ")
                self.assertEqual(10, len(plain), plain)
                self.assertEqual("%s/%d" % (code, got_status), plain[3], plain)
                self.assertEqual(str(got_size), plain[4], plain)
                self.assertEqual(method, plain[5], plain)
                m = EXTENDED.match(records(extended)[number - 1])
                self.assertTrue(m, records(extended)[number - 1])
                self.assertEqual((method, str(got_status), str(got_size), code),
                                 (m.group(1), m.group(3), m.group(4), m.group(5)))
        # one record each, none written twice or late
        self.assertEqual(len(cases), len(records(access)), records(access))
        self.assertEqual(len(cases), len(records(extended)), records(extended))

        if CALAMARIS:
            with open(access, "rb") as f:
                out = subprocess.run([CALAMARIS, "-a"], stdin=f, capture_output=True,
                                     timeout=120)
            report = out.stdout.decode(errors="replace")
            self.assertEqual(0, out.returncode, out.stderr)
            invalid = re.search(r"invalid lines[^0-9]*(\d+)", report, re.I)
            self.assertTrue(invalid, report[:3000])
            self.assertEqual("0", invalid.group(1), report[:3000])


if __name__ == "__main__":
    unittest.main()
