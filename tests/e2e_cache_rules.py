"""What the cache may serve, seen from outside with scripted origins: a
received Age counts, Expires counts from the response's Date, dates are
read strictly, s-maxage is the shared cache's lifetime, a copy marked
must-revalidate, proxy-revalidate or s-maxage is never served stale when
its server fails, and a hit carries exactly one Age line.

Each case asks twice for one URL and tells a hit from a miss by the number
of requests the origin saw. Every URL has a path of its own: a new origin
may get the port of one stopped before."""

import email.utils
import http.client
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from origin_scripted import ScriptedOrigin  # noqa: E402
from proxytest import ScriptedOriginCase  # noqa: E402

BODY = b"cached body"


def http_date(offset=0):
    """An IMF-fixdate offset seconds from now."""
    return email.utils.formatdate(time.time() + offset, usegmt=True)


def reply(lines, body=BODY, status="200 OK"):
    """A response with the given header lines (a list of texts) and a
    Content-Length."""
    head = "HTTP/1.1 %s\r\n%sContent-Length: %d\r\n\r\n" % (
        status, "".join(line + "\r\n" for line in lines), len(body))
    return head.encode() + body


class Answer:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers        # (lower-case name, value) pairs, every line
        self.body = body

    def values(self, name):
        return [v for k, v in self.headers if k == name.lower()]


def ask(proxy, url, headers=None, method="GET", body=None):
    """One request through the proxy on a connection of its own."""
    conn = http.client.HTTPConnection("127.0.0.1", proxy.port, timeout=30)
    try:
        conn.request(method, url, body=body, headers=headers or {})
        r = conn.getresponse()
        data = r.read()
        return Answer(r.status, [(k.lower(), v) for k, v in r.getheaders()], data)
    finally:
        conn.close()


class CacheRules(ScriptedOriginCase):
    paths = 0

    def path(self):
        CacheRules.paths += 1
        return "/%s/%d" % (self.id().rsplit(".", 1)[-1], CacheRules.paths)

    def twice(self, lines):
        """Asks twice for one URL whose origin always answers with lines;
        returns (origin, second answer)."""
        o = self.origin([reply(lines)])
        url = o.url(self.path())
        first = ask(self.proxy, url)
        self.assertEqual(200, first.status)
        second = ask(self.proxy, url)
        self.assertEqual(200, second.status)
        self.assertEqual(BODY, second.body)
        return o, second

    def test_freshness_table(self):
        """Served from the cache or fetched again, by Age, Expires against
        Date, strict dates and s-maxage."""
        cases = [
            # (what, header lines, served from the cache)
            ("max-age", ["Cache-Control: max-age=3600"], True),
            ("received Age beyond max-age", ["Cache-Control: max-age=3600", "Age: 7200"], False),
            ("received Age within max-age", ["Cache-Control: max-age=3600", "Age: 100"], True),
            ("max-age=0", ["Cache-Control: max-age=0"], False),
            ("Expires equal to Date", ["Date: " + http_date(3600), "Expires: " + http_date(3600)],
             False),
            ("Expires before a Date ahead of us",
             ["Date: " + http_date(7200), "Expires: " + http_date(3600)], False),
            ("Expires an hour after Date", ["Date: " + http_date(), "Expires: " + http_date(3600)],
             True),
            ("Expires with two blanks", ["Expires: Sun, 06  Nov 2050 08:49:37 GMT"], False),
            ("Expires with a one-digit hour", ["Expires: Sun, 06 Nov 2050 8:49:37 GMT"], False),
            ("Expires lines that differ",
             ["Expires: " + http_date(3600), "Expires: " + http_date(7200)], False),
            ("Expires in lower case", ["Expires: " + http_date(3600).lower()], True),
            ("s-maxage beats a past Expires",
             ["Cache-Control: s-maxage=3600", "Expires: " + http_date(-3600)], True),
            ("s-maxage=0 beats max-age", ["Cache-Control: max-age=3600, s-maxage=0"], False),
        ]
        for what, lines, hit in cases:
            with self.subTest(what):
                o, second = self.twice(lines)
                self.assertEqual(1 if hit else 2, len(o.requests), what)

    def test_hit_carries_one_age(self):
        """A hit has exactly one Age line: the received Age plus the time held."""
        o, second = self.twice(["Cache-Control: max-age=3600", "Age: 100"])
        self.assertEqual(1, len(o.requests))
        ages = second.values("Age")
        self.assertEqual(1, len(ages), second.headers)
        self.assertGreaterEqual(int(ages[0]), 100)

    def test_stale_copy_against_revalidate_marks(self):
        """A failed revalidation: 504 for must-revalidate, proxy-revalidate
        and s-maxage; the stale copy with Warning 110 for others."""
        first_lines = ["Last-Modified: " + http_date(-86400)]
        cases = [
            # (what, Cache-Control, how the server fails, status)
            ("must-revalidate, server gone", "max-age=0, must-revalidate", "gone", 504),
            ("proxy-revalidate, server gone", "max-age=0, proxy-revalidate", "gone", 504),
            ("s-maxage, server gone", "s-maxage=0", "gone", 504),
            ("must-revalidate, server silent", "max-age=0, must-revalidate", "silent", 504),
            ("s-maxage, server silent", "s-maxage=0", "silent", 504),
            ("proxy-revalidate, server error", "max-age=0, proxy-revalidate", "5xx", 504),
            ("plain, server gone", "max-age=0", "gone", 200),
            ("plain, server silent", "max-age=0", "silent", 200),
        ]
        for what, cc, failure, status in cases:
            with self.subTest(what):
                stored = reply(first_lines + ["Cache-Control: " + cc])
                if failure == "gone":
                    o = self.origin([stored + ScriptedOrigin.CLOSE])
                elif failure == "silent":
                    o = self.origin([stored + ScriptedOrigin.CLOSE, ScriptedOrigin.CLOSE])
                else:
                    o = self.origin([stored + ScriptedOrigin.CLOSE,
                                     reply([], b"down", "503 Service Unavailable")])
                url = o.url(self.path())
                first = ask(self.proxy, url)
                self.assertEqual(200, first.status)
                if failure == "gone":
                    o.stop()
                second = ask(self.proxy, url)
                self.assertEqual(status, second.status, what)
                if status == 200:
                    self.assertEqual(BODY, second.body)
                    self.assertIn("110", " ".join(second.values("Warning")))
                else:
                    self.assertNotEqual(BODY, second.body)
                    self.assertEqual([], second.values("Warning"))
        self.assertTrue("stale copy must not be served" in self.proxy.log())


if __name__ == "__main__":
    unittest.main()
