"""What passes a hop and what a cache keeps, seen from outside with
scripted origins: fields named in Connection stay on their hop, a response
with a transfer coding other than chunked is never stored, unsafe methods
drop the cached copies they may change, repeated fields keep every value,
interim answers reach HTTP/1.1 clients, and a pool of connections the
origin already closed never stands between a client and a live origin."""

import http.client
import os
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_cache_rules import BODY, ask, reply  # noqa: E402
from origin_scripted import ScriptedOrigin  # noqa: E402
from proxytest import Proxy, ScriptedOriginCase, raw_exchange, split_response  # noqa: E402


def request_path(request):
    return request.split(b" ", 2)[1].decode()


def request_method(request):
    return request.split(b" ", 1)[0].decode()


class Hops(ScriptedOriginCase):
    def test_connection_fields_stay_on_their_hop(self):
        """Fields named in Connection or Proxy-Connection are neither
        forwarded nor stored, in requests and responses."""
        o = self.origin([reply(["Cache-Control: max-age=3600", "Connection: X-Hop, Cache-Tag",
                                "X-Hop: secret", "Cache-Tag: t1", "Keep-Alive: timeout=5",
                                "X-Kept: yes"])])
        url = o.url("/hop")
        headers = {"Connection": "X-Req-Hop", "X-Req-Hop": "1", "Proxy-Connection": "X-Req-Two",
                   "X-Req-Two": "2", "X-Req-Kept": "3"}
        for round in ("miss", "hit"):
            with self.subTest(round):
                a = ask(self.proxy, url, headers)
                self.assertEqual(200, a.status)
                self.assertEqual(["yes"], a.values("X-Kept"))
                for name in ("X-Hop", "Cache-Tag", "Keep-Alive"):
                    self.assertEqual([], a.values(name), name)
        self.assertEqual(1, len(o.requests))
        sent = o.requests[0][1].lower()
        self.assertIn(b"x-req-kept: 3", sent)
        self.assertNotIn(b"x-req-hop", sent)
        self.assertNotIn(b"x-req-two", sent)

    def test_other_transfer_coding_is_not_stored(self):
        """A transfer coding other than chunked is read to the close and
        never stored; no answer carries it beside a Content-Length."""
        o = self.origin([b"HTTP/1.1 200 OK\r\nCache-Control: max-age=3600\r\n"
                         b"Transfer-Encoding: x-custom\r\n\r\nraw coded bytes" + ScriptedOrigin.CLOSE])
        url = o.url("/coded")
        for _ in range(2):
            data, _ = raw_exchange(self.proxy.port, b"GET %s HTTP/1.1\r\nHost: x\r\n"
                                   b"Connection: close\r\n\r\n" % url.encode())
            status, headers, body = split_response(data)
            self.assertEqual(200, status)
            self.assertFalse("transfer-encoding" in headers and "content-length" in headers,
                             headers)
        self.assertEqual(2, len(o.requests))

    def test_unsafe_methods_invalidate(self):
        """A 2xx or 3xx to a method other than GET, HEAD, OPTIONS or TRACE
        drops the copies of its URL and of its Location and Content-Location
        on the same host; a 4xx or a safe method drops nothing."""
        answers = {
            "/same": reply([]),
            "/moved": reply(["Location: /target"], b"", "303 See Other"),
            "/content": reply(["Content-Location: http://127.0.0.1:%d/described"], b"", "201 Created"),
            "/other-host": reply(["Location: http://localhost.invalid/elsewhere"], b"", "303 See Other"),
            "/refused": reply([], b"no", "403 Forbidden"),
        }

        def answer(number, request):
            path = request_path(request)
            if request_method(request) == "GET":
                return reply(["Cache-Control: max-age=3600"])
            text = answers[path]
            return text.replace(b"%d", str(o.port).encode())

        o = self.origin(answer)
        cases = [
            # (method, path asked, path whose copy is checked, dropped)
            ("POST", "/same", "/same", True),
            ("DELETE", "/same2", "/same2", True),
            ("POST", "/moved", "/target", True),
            ("PUT", "/content", "/described", True),
            ("POST", "/refused", "/refused", False),
            ("OPTIONS", "/same3", "/same3", False),
            ("POST", "/other-host", "/other-host", True),
        ]
        answers["/same2"] = reply([], b"", "204 No Content")
        answers["/same3"] = reply([])
        for method, path, checked, dropped in cases:
            with self.subTest(method + " " + path):
                url = o.url(checked)
                ask(self.proxy, url)
                before = len(o.requests)
                ask(self.proxy, url)
                self.assertEqual(before, len(o.requests), "the copy is cached")
                ask(self.proxy, o.url(path), method=method, body=b"" if method != "OPTIONS" else None)
                after_change = len(o.requests)
                ask(self.proxy, url)
                self.assertEqual(after_change + (1 if dropped else 0), len(o.requests))

    def test_repeated_fields_keep_every_value(self):
        """Repeated list fields are joined; repeated challenges keep every line."""
        o = self.origin([reply(["Cache-Control: max-age=3600", "Cache-Control: public",
                                "Content-Language: en", "WWW-Authenticate: Basic realm=\"a, b\"",
                                "WWW-Authenticate: Negotiate"],
                               status="401 Unauthorized")])
        a = ask(self.proxy, o.url("/auth"))
        self.assertEqual(401, a.status)
        self.assertEqual(['Basic realm="a, b"', "Negotiate"], a.values("WWW-Authenticate"))
        self.assertIn("max-age=3600", ",".join(a.values("Cache-Control")))
        self.assertIn("public", ",".join(a.values("Cache-Control")))

    def test_interim_answers_reach_http11_clients(self):
        """1xx answers other than 101 go on to an HTTP/1.1 client as they
        come; a 100 only when the client's Expect reached the server."""
        final = reply(["Cache-Control: no-store"])
        o = self.origin([b"HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n"
                         b"HTTP/1.1 100 Continue\r\n\r\n" + final])
        data, _ = raw_exchange(self.proxy.port, b"GET %s HTTP/1.1\r\nHost: x\r\n"
                               b"Connection: close\r\n\r\n" % o.url("/hints").encode())
        self.assertTrue(data.startswith(b"HTTP/1.1 103 "), data[:200])
        self.assertIn(b"rel=preload", data.split(b"\r\n\r\n", 1)[0])
        self.assertNotIn(b"100 Continue", data)
        self.assertIn(b"\r\n\r\nHTTP/1.1 200 ", data)
        self.assertTrue(data.endswith(BODY))
        # An HTTP/1.0 client gets the final answer alone.
        data, _ = raw_exchange(self.proxy.port, b"GET %s HTTP/1.0\r\nHost: x\r\n\r\n"
                               % o.url("/hints10").encode())
        self.assertTrue(data.startswith(b"HTTP/1.1 200 "), data[:200])


class DeadPool(unittest.TestCase):
    """An origin that closes each kept-alive connection right after its
    answer leaves the pool full of dead connections."""

    def setUp(self):
        self.proxy = Proxy(cache=False).start()
        self.addCleanup(self.proxy.stop)

    def test_dead_pooled_connections_are_passed_over(self):
        """With twenty dead pooled connections and the origin up, a request
        is answered by a fresh connection, never by "noconnect"."""
        gate = threading.Event()

        def answer(number, request):
            if request_path(request) == "/fill":
                gate.wait(10)   # hold every filler so each gets a connection of its own
            return reply(["Cache-Control: no-store"]) + ScriptedOrigin.CLOSE

        o = ScriptedOrigin(answer)
        self.addCleanup(o.stop)
        threads = [threading.Thread(target=ask, args=(self.proxy, o.url("/fill")))
                   for _ in range(20)]
        for t in threads:
            t.start()
        deadline = time.monotonic() + 20
        while o.connections < 20 and time.monotonic() < deadline:
            time.sleep(0.05)
        gate.set()
        for t in threads:
            t.join(30)
        self.assertEqual(20, o.connections)
        for i in range(3):
            a = ask(self.proxy, o.url("/after/%d" % i))
            self.assertEqual((200, BODY), (a.status, a.body))

    def test_unsafe_request_not_sent_twice(self):
        """A POST whose pooled connection dies after it was sent is not sent
        again; a GET is, once, on a fresh connection."""
        def answer(number, request):
            if number == 1 and request_path(request) != "/first":
                return ScriptedOrigin.CLOSE   # read, then the connection dies unanswered
            return reply(["Cache-Control: no-store"])

        for method, sent in (("POST", 1), ("GET", 2)):
            with self.subTest(method):
                o = ScriptedOrigin(answer)
                self.addCleanup(o.stop)
                # Both requests on one client connection: the proxy ends the
                # first, pooling its server connection, before it reads the
                # second, so the second surely meets the pooled one.
                client = http.client.HTTPConnection("127.0.0.1", self.proxy.port, timeout=30)
                self.addCleanup(client.close)
                client.request("GET", o.url("/first"))
                first = client.getresponse()
                first.read()
                self.assertEqual(200, first.status)
                self.assertFalse(first.will_close)
                self.assertEqual(1, o.connections)
                client.request(method, o.url("/again"), body=b"" if method == "POST" else None)
                a = client.getresponse()
                a.read()
                posted = [r for n, r in o.requests if request_path(r) == "/again"]
                self.assertEqual(sent, len(posted))
                self.assertEqual(1, [n for n, r in o.requests if request_path(r) == "/again"][0])
                self.assertEqual(200 if method == "GET" else 503, a.status)


if __name__ == "__main__":
    unittest.main()
