"""The proxy road end to end, with real peers: curl as the client and nginx
as the origin (keep-alive, gzip, chunked), plus scripted origins for the
replies no real server sends. Every test starts what it needs on loopback
ports of its own and stops it."""

import gzip
import hashlib
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from origin_scripted import ScriptedOrigin  # noqa: E402
from proxytest import (CURL, NGINX, Curl, Nginx, Proxy, ScriptedOriginCase, allow_rule,  # noqa: E402
                       free_port, raw_exchange, split_response)
from quilltest import wait_for  # noqa: E402

SMALL = os.urandom(1024)
TEXT = b"".join(b"line %06d of a page that compresses well\n" % i for i in range(4000))
BIG_SIZE = 100 * 1024 * 1024


def make_big(path):
    """100 MiB of a repeating pattern, written in pieces."""
    block = hashlib.sha256(b"quill").digest() * 32768   # 1 MiB
    with open(path, "wb") as f:
        for _ in range(BIG_SIZE // len(block)):
            f.write(block)


def big_digest():
    block = hashlib.sha256(b"quill").digest() * 32768
    h = hashlib.md5()
    for _ in range(BIG_SIZE // len(block)):
        h.update(block)
    return h.hexdigest()


def needs_tools(test):
    return unittest.skipUnless(NGINX and CURL, "needs nginx and curl")(test)


@needs_tools
class ThroughNginx(unittest.TestCase):
    """One daemon with the shipped general rule (1 MiB upload buffer, 4 MiB
    download buffer), the content coding asked of servers switched on, the
    object cache off (every request here must reach nginx), and nginx
    behind it."""

    @classmethod
    def setUpClass(cls):
        cls.nginx = Nginx({"small.bin": SMALL, "page.txt": TEXT, "big.bin": make_big}).start()
        cls.proxy = Proxy(general={"compressin": "true"}, cache=False).start()

    @classmethod
    def tearDownClass(cls):
        cls.proxy.stop()
        cls.nginx.stop()

    def curl(self, path, *args, **kw):
        r = Curl(self.proxy.port, self.nginx.url(path), *args, **kw)
        self.addCleanup(r.cleanup)
        return r

    def test_get_and_keepalive_on_both_sides(self):
        """Three GETs on one client connection reuse it and one origin connection."""
        before = len(self.nginx.requests())
        c = Curl(self.proxy.port, self.nginx.url("/small.bin"), self.nginx.url("/small.bin"),
                 "-o", os.devnull, self.nginx.url("/small.bin"), "-o", os.devnull)
        self.addCleanup(c.cleanup)
        self.assertEqual(0, c.code, c.stderr)
        self.assertEqual(200, c.status)
        self.assertEqual(SMALL, c.body())
        self.assertEqual(2, c.stderr.count("Re-using existing connection"), c.stderr)
        self.assertTrue(wait_for(lambda: len(self.nginx.requests()) >= before + 3))
        seen = self.nginx.requests()[before:]
        self.assertEqual(1, len({conn for conn, _, _, _ in seen}), seen)
        self.assertEqual("MISS from Quillmere 0.1.0", c.headers().get("x-cache"))
        self.assertTrue(self.proxy.wait_access("TCP_MISS/200 1024 GET " + self.nginx.url("/small.bin")),
                        self.proxy.access_log())

    def test_head_has_no_body_and_keeps_the_connection(self):
        """HEAD answers carry the length but no body, and the connection stays."""
        c = self.curl("/small.bin", "-I", self.nginx.url("/small.bin"), "-o", os.devnull)
        self.assertEqual(0, c.code, c.stderr)
        self.assertEqual(200, c.status)
        self.assertEqual("1024", c.headers().get("content-length"))
        self.assertTrue(c.body().endswith(b"\r\n\r\n"))   # curl -I writes the head only
        self.assertNotIn(SMALL[:64], c.body())
        self.assertIn("Re-using existing connection", c.stderr)

    def test_post_with_length_buffered_and_streamed(self):
        """POST bodies under and over the upload buffer reach the server whole."""
        if not self.nginx.has_echo:
            self.skipTest("nginx echo module missing")
        for size in (100, 1024 * 1024, 3 * 1024 * 1024):
            with self.subTest(size=size):
                data = os.urandom(size)
                path = os.path.join(self.proxy.inst.dir, "post.bin")
                with open(path, "wb") as f:
                    f.write(data)
                c = self.curl("/echo", "--data-binary", "@" + path,
                              "-H", "Content-Type: application/octet-stream")
                self.assertEqual(0, c.code, c.stderr)
                self.assertEqual(200, c.status)
                self.assertEqual(hashlib.md5(data).hexdigest(), hashlib.md5(c.body()).hexdigest())

    def test_post_chunked_is_forwarded_whole(self):
        """A chunked upload reaches the server byte for byte: with its length under the
        upload buffer, streamed in chunks over it."""
        if not self.nginx.has_echo:
            self.skipTest("nginx echo module missing")
        for size in (300000, 3 * 1024 * 1024 + 12345):
            with self.subTest(size=size):
                data = os.urandom(size)
                path = os.path.join(self.proxy.inst.dir, "chunked.bin")
                with open(path, "wb") as f:
                    f.write(data)
                c = self.curl("/echo", "-H", "Transfer-Encoding: chunked", "--data-binary", "@" + path)
                self.assertEqual(0, c.code, c.stderr)
                self.assertEqual(200, c.status)
                self.assertEqual(data, c.body())

    def test_content_coding(self):
        """gzip from nginx: passed on chunked to a client that takes it, decoded
        (with its length) for one that does not, for HTTP/1.1 and 1.0."""
        plain = self.curl("/page.txt")
        self.assertEqual(200, plain.status, plain.stderr)
        self.assertEqual(TEXT, plain.body())
        self.assertNotIn("content-encoding", plain.headers())
        self.assertEqual(str(len(TEXT)), plain.headers().get("content-length"))

        coded = self.curl("/page.txt", "-H", "Accept-Encoding: gzip")
        self.assertEqual(200, coded.status, coded.stderr)
        self.assertEqual("gzip", coded.headers().get("content-encoding"))
        self.assertEqual("chunked", coded.headers().get("transfer-encoding"))
        self.assertEqual(TEXT, gzip.decompress(coded.body()))

        old = self.curl("/page.txt", "-0")
        self.assertEqual(200, old.status, old.stderr)
        self.assertEqual(TEXT, old.body())
        self.assertEqual(str(len(TEXT)), old.headers().get("content-length"))

    def test_big_download_is_streamed_in_bounded_memory(self):
        """100 MiB pass whole while the daemon's memory grows by far less."""
        warm = self.curl("/small.bin")
        self.assertEqual(200, warm.status)
        before = self.proxy.memory_peak_kib()
        c = Curl(self.proxy.port, self.nginx.url("/big.bin"), timeout=300)
        self.addCleanup(c.cleanup)
        self.assertEqual(0, c.code, c.stderr)
        self.assertEqual(BIG_SIZE, c.size)
        with open(c.body_path, "rb") as f:
            digest = hashlib.md5()
            for block in iter(lambda: f.read(1 << 20), b""):
                digest.update(block)
        self.assertEqual(big_digest(), digest.hexdigest())
        grown = self.proxy.memory_peak_kib() - before
        self.assertLess(grown, 32 * 1024, "peak resident size grew by %d KiB" % grown)

    def test_no_server_gives_503(self):
        """A server that refuses the connection: the "noconnect" page with 503."""
        port = free_port()
        c = Curl(self.proxy.port, "http://127.0.0.1:%d/x" % port)
        self.addCleanup(c.cleanup)
        self.assertEqual(503, c.status)
        self.assertIn(b"html", c.body().lower())
        self.assertTrue(self.proxy.wait_log("network: connection failed host: 127.0.0.1"))

    def test_ambiguous_framing_is_refused_and_closed(self):
        """Content-Length with chunked coding: 400 and the connection closed."""
        req = ("POST %s HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n"
               "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n" % self.nginx.url("/echo")).encode()
        data, closed = raw_exchange(self.proxy.port, req)
        status, headers, _ = split_response(data)
        self.assertEqual(400, status)
        self.assertEqual("close", headers.get("connection"))
        self.assertTrue(closed)

    def test_unread_body_closes_the_connection(self):
        """An answer the proxy gives while a streamed body is unread says close."""
        body = b"x" * (2 * 1024 * 1024)
        req = ("POST http://xx--template[nofile].127.0.0.1:%d/echo HTTP/1.1\r\nHost: x\r\n"
               "Content-Length: %d\r\n\r\n" % (self.nginx.port, len(body))).encode()
        data, closed = raw_exchange(self.proxy.port, req + body[:1000])
        status, headers, page = split_response(data)
        self.assertEqual(200, status, data[:300])
        self.assertEqual("close", headers.get("connection"))
        self.assertTrue(closed)

    def test_command_labels_in_the_host(self):
        """Command labels with brackets and signs pass the parser and act."""
        req = ("GET http://xx--template[nofile].xx--bypass[+k-a].127.0.0.1:%d/small.bin HTTP/1.1\r\n"
               "Host: x\r\nConnection: close\r\n\r\n" % self.nginx.port).encode()
        data, closed = raw_exchange(self.proxy.port, req)
        status, headers, page = split_response(data)
        self.assertEqual(200, status, data[:300])
        self.assertIn("text/html", headers.get("content-type", ""))
        self.assertTrue(self.proxy.wait_log("command: bypass, options: +k-a"))

    def test_proxy_request_for_itself_is_refused(self):
        """An absolute URL naming the proxy's own address and port: nofile, 404."""
        for host in ("127.0.0.1", "localhost"):
            with self.subTest(host=host):
                c = Curl(self.proxy.port, "http://%s:%d/" % (host, self.proxy.port))
                self.addCleanup(c.cleanup)
                self.assertEqual(404, c.status)
        self.assertIn("Breach: denied: request for the proxy itself:%d" % self.proxy.port,
                      self.proxy.log())


@needs_tools
class Transparent(unittest.TestCase):
    """Origin-form requests under a rule with and without the permissions."""

    @classmethod
    def setUpClass(cls):
        cls.nginx = Nginx({"small.bin": SMALL}).start()

    @classmethod
    def tearDownClass(cls):
        cls.nginx.stop()

    def run_proxy(self, permissions):
        p = Proxy(permissions=permissions).start()
        self.addCleanup(p.stop)
        return p

    def test_transparent_request_takes_the_host_header(self):
        """With transparent and host, GET / with a Host is served; its own port is not."""
        p = self.run_proxy("proxy,transparent,host")
        req = b"GET /small.bin HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n\r\n" % self.nginx.port
        status, headers, body = split_response(raw_exchange(p.port, req)[0])
        self.assertEqual(200, status)
        self.assertEqual(SMALL, body)
        self.assertTrue(p.wait_access("GET http://127.0.0.1:%d/small.bin" % self.nginx.port))

        loop = b"GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % p.port
        data, closed = raw_exchange(p.port, loop)
        self.assertEqual(404, split_response(data)[0])
        self.assertTrue(closed)
        self.assertIn("Breach: denied: transparent:%d" % p.port, p.log())

        for bad in (b"127.0.0.1:0", b"127.0.0.1:65536", b"127.0.0.1:8x", b"127.0.0.1:-80"):
            with self.subTest(host=bad):
                data, closed = raw_exchange(p.port, b"GET / HTTP/1.1\r\nHost: " + bad + b"\r\n\r\n")
                self.assertEqual(404, split_response(data)[0])
                self.assertTrue(closed)

    def test_without_permissions(self):
        """No transparent permission: noaccess; transparent without host: nofile."""
        p = self.run_proxy("proxy")
        req = b"GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % self.nginx.port
        data, closed = raw_exchange(p.port, req)
        self.assertEqual(404, split_response(data)[0])
        self.assertIn("attempted an unacceptable protocol", p.log())

        q = self.run_proxy("proxy,transparent")
        data, closed = raw_exchange(q.port, req)
        self.assertEqual(404, split_response(data)[0])
        self.assertIn("Breach: malformatted request header", q.log())


@needs_tools
class Access(unittest.TestCase):
    """The access rules' answers as the pipeline sends them."""

    def test_challenge_then_login(self):
        """A rule with a login: 407 with the challenge, then 200 with credentials."""
        nginx = Nginx({"small.bin": SMALL}).start()
        self.addCleanup(nginx.stop)
        p = Proxy(allow_rules=[allow_rule(username="ann", password="secret")]).start()
        self.addCleanup(p.stop)
        c = Curl(p.port, nginx.url("/small.bin"))
        self.addCleanup(c.cleanup)
        self.assertEqual(407, c.status)
        self.assertIn("Basic realm=", c.headers().get("proxy-authenticate", ""))
        self.assertEqual("keep-alive", c.headers().get("connection"))

        ok = Curl(p.port, nginx.url("/small.bin"), "--proxy-user", "ann:secret")
        self.addCleanup(ok.cleanup)
        self.assertEqual(200, ok.status, ok.stderr)
        self.assertEqual(SMALL, ok.body())
        self.assertTrue(p.wait_access("ann@127.0.0.1"), p.access_log())

    def test_refusal_is_logged(self):
        """No rule accepts the client: the noaccess page and a TCP_DENIED record."""
        p = Proxy(allow_rules=[allow_rule(addresses="10.9.9.9")]).start()
        self.addCleanup(p.stop)
        c = Curl(p.port, "http://127.0.0.1:%d/" % free_port())
        self.addCleanup(c.cleanup)
        self.assertEqual(200, c.status)
        self.assertIn(b"html", c.body().lower())
        self.assertTrue(p.wait_access("TCP_DENIED"), p.access_log())
        self.assertIn("Access Denied by Access Restrictions", p.log())


@needs_tools
class HostileOrigins(ScriptedOriginCase):
    """Replies that break the rules, from scripted origins."""

    def get(self, url, *args):
        c = Curl(self.proxy.port, url, *args)
        self.addCleanup(c.cleanup)
        return c

    def test_garbage_status_line_gives_badresponse(self):
        """A status line that does not parse: "badresponse" with 400."""
        o = self.origin([b"HTTP/1.1 abc\r\nContent-Length: 2\r\n\r\nok" + ScriptedOrigin.CLOSE])
        c = self.get(o.url())
        self.assertEqual(400, c.status)
        self.assertTrue(self.proxy.wait_log("Bad response from server"))

    def test_error_with_same_last_modified_does_not_validate(self):
        """Revalidating a stale copy, a 500 carrying the same Last-Modified is no
        confirmation: the client gets the server's answer, not the old copy."""
        lm = b"Last-Modified: Thu, 01 Jan 2015 00:00:00 GMT\r\n"
        o = self.origin([b"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n" + lm +
                         b"Expires: Thu, 01 Jan 1998 00:00:00 GMT\r\n\r\nold copy!" +
                         ScriptedOrigin.CLOSE,
                         b"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 6\r\n" + lm +
                         b"\r\nbroken" + ScriptedOrigin.CLOSE])
        url = o.url("/revalidate.txt")
        first = self.get(url)
        self.assertEqual((200, b"old copy!"), (first.status, first.body()))
        self.assertTrue(self.proxy.wait_log("create: " + url), self.proxy.inst.log_text())
        time.sleep(0.5)   # the writer closes the object after the client has it
        second = self.get(url)
        self.assertEqual((500, b"broken"), (second.status, second.body()))
        self.assertEqual(2, len(o.requests))
        self.assertTrue(self.proxy.wait_log("failed validation: " + url),
                        self.proxy.inst.log_text())

    def test_conflicting_lengths_give_badresponse(self):
        """Two different lengths from a server never reach the client."""
        o = self.origin([b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd"])
        c = self.get(o.url())
        self.assertEqual(400, c.status)

    def test_truncated_body_is_not_passed_on_as_whole(self):
        """Fewer bytes than the length: the client sees a cut, the server is not pooled."""
        o = self.origin([b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + b"a" * 40 + ScriptedOrigin.CLOSE])
        c = self.get(o.url())
        self.assertNotEqual(0, c.code)   # curl: transfer closed with bytes remaining
        self.assertTrue(self.proxy.wait_log("process: transfer failed"))

    def test_broken_chunking_fails_the_transfer(self):
        """Bad size lines, short chunks and missing chunk ends fail the transfer."""
        cases = [
            b"zz\r\nabc\r\n0\r\n\r\n",                     # not hexadecimal
            b"-5\r\nabcde\r\n0\r\n\r\n",                   # negative
            b"10000000000000000\r\nab\r\n0\r\n\r\n",       # over 2^63
            b"a\r\nabc" + ScriptedOrigin.CLOSE,            # shorter than announced
            b"3\r\nabcdef\r\n0\r\n\r\n",                   # longer than announced
        ]
        for body in cases:
            with self.subTest(body=body):
                o = self.origin([b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + body,
                                 b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"])
                c = self.get(o.url())
                self.assertNotEqual(0, c.code, "curl took a broken body as complete")
                # the server connection, stuck in a broken body, was not pooled
                again = self.get(o.url())
                self.assertEqual(b"ok", again.body())
                self.assertEqual(2, o.connections)

    def test_chunked_reframed_and_trailers_dropped(self):
        """Chunks with extensions and trailers arrive whole; the pooled connection
        serves the next request cleanly."""
        reply = (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                 b"a;ext=1\r\n0123456789\r\n5\r\nabcde\r\n0\r\nX-Trailer: t\r\n\r\n")
        o = self.origin([reply, b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"])
        c = self.get(o.url("/2"), o.url("/1"), "-o", os.devnull)
        self.assertEqual(0, c.code, c.stderr)
        self.assertEqual(b"ok", c.body())
        self.assertEqual(1, o.connections)

    def test_interim_answers_are_skipped(self):
        """100 and 103 before the answer: an unasked 100 is dropped, the 103
        reaches the HTTP/1.1 client before its 200."""
        o = self.origin([b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </s>\r\n\r\n"
                         b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"])
        c = self.get(o.url())
        self.assertEqual(200, c.status)
        self.assertEqual(b"ok", c.body())
        self.assertNotIn(" 100 ", c.raw_headers)
        self.assertTrue(c.raw_headers.startswith("HTTP/1.1 103 "), c.raw_headers)

    def test_bodiless_answers_keep_the_client(self):
        """204 and 304 without framing do not close the client connection."""
        o = self.origin([b"HTTP/1.1 204 No Content\r\n\r\n",
                         b"HTTP/1.1 304 Not Modified\r\n\r\n",
                         b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"])
        c = self.get(o.url("/c"), o.url("/a"), "-o", os.devnull, o.url("/b"), "-o", os.devnull)
        self.assertEqual(0, c.code, c.stderr)
        self.assertEqual(b"ok", c.body())
        self.assertEqual(2, c.stderr.count("Re-using existing connection"), c.stderr)

    def test_dead_pooled_connection_is_replaced(self):
        """A pooled connection the server closed: the request goes out again."""
        o = self.origin([b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok" + ScriptedOrigin.CLOSE])
        first = self.get(o.url("/1"))
        self.assertEqual(200, first.status)
        second = self.get(o.url("/2"))
        self.assertEqual(200, second.status)
        self.assertEqual(b"ok", second.body())
        self.assertEqual(2, o.connections)


if __name__ == "__main__":
    unittest.main(verbosity=2)
