"""The ICAP client through the daemon, with curl and raw clients and an
echo origin (python3 http.server).

Against Debian's c-icap started by the test: srv_echo (bodies identical
both ways, "response modified", "request modified", a POST whole at the
origin, one pooled ICAP connection for several exchanges, the next request
still modified after a c-icap restart), srv_url_check blocking a host (the
client gets c-icap's page at its status, the origin sees nothing, also for
a transparent request) and srv_content_filtering (a replacement with the
right Content-Length, the block page).

Against a scripted stand-in for the replies c-icap does not give: 204,
4xx, 5xx, no Encapsulated, both bodies, header-only replies in both modes,
null-body, undeclared trailing bytes, a broken chunk, an endless body,
silence, a pooled connection the server closed. Every failure passes the
message unchanged and keeps the client's connection. The stand-in records
what it got: offsets equal to the header lengths, X-Client-IP,
X-Authenticated-User, no Proxy-Authorization and no credentials in the
URL, chunked bodies or null-body, and no request for the web interface."""

import base64
import os
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from contenttest import (CICAP, CICAP_MODULES, CIcap, ContentProxy, EchoOrigin,  # noqa: E402
                         KeptClient, icap_service)
from proxytest import Curl, allow_rule, raw_exchange, split_response  # noqa: E402
from quilltest import wait_for  # noqa: E402
from scantest import StandIn  # noqa: E402

TIMEOUT = 3
BINARY = bytes(range(256)) * 200                      # 51 200 bytes, zero bytes included
PAGES = {
    "/bin": ("application/octet-stream", BINARY),
    "/text": ("text/plain", b"plain text body"),
    "/darn": ("text/html", b"<html><body>we say darn here</body></html>"),
    "/bad": ("text/html", b"<html><body>a forbiddenword page</body></html>"),
    "/empty": ("text/plain", b""),
    "/cached": ("text/plain", b"kept for an hour", [("Cache-Control", "max-age=3600")]),
}
PERMS = "proxy,transparent,host,connect,commands,bypass,interface"


def icap_proxy(services, general=None, **kw):
    g = {"timeout": str(TIMEOUT), "ctimeout": str(TIMEOUT), "maxdbuffer": "1M",
         "maxubuffer": "1M"}
    g.update(general or {})
    return ContentProxy({"icap": "<enabled>true</enabled>" + "".join(services)}, general=g,
                        permissions=PERMS, **kw).start()


def established_to(port):
    """TCP connections in state ESTABLISHED whose remote port is port."""
    count = 0
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            parts = line.split()
            if int(parts[2].split(":")[1], 16) == port and parts[3] == "01":
                count += 1
    return count


@unittest.skipUnless(os.path.exists(CICAP) and os.path.exists(CICAP_MODULES + "/srv_echo.so"),
                     "c-icap not installed")
class CIcapEchoTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.origin = EchoOrigin(PAGES)
        cls.cicap = CIcap("Service echo srv_echo.so\n").start()
        cls.proxy = icap_proxy([icap_service("127.0.0.1", cls.cicap.port, "/echo",
                                             "reqmod,respmod")])

    @classmethod
    def tearDownClass(cls):
        cls.proxy.stop()
        cls.cicap.cleanup()
        cls.origin.stop()

    def test_bodies_pass_unchanged_both_ways(self):
        before = self.proxy.log().count("ICAP: response modified")
        c = Curl(self.proxy.port, self.origin.url("/bin"))
        self.assertEqual(200, c.status)
        self.assertEqual(BINARY, c.body())
        self.assertEqual(str(len(BINARY)), c.headers().get("content-length"))
        c.cleanup()
        self.assertTrue(wait_for(lambda: self.proxy.log().count("ICAP: response modified") > before))
        self.assertIn("ICAP: request modified", self.proxy.log())

        client = KeptClient(self.proxy.port)
        try:
            status, _, body = client.request("POST", self.origin.url("/echo"), body=BINARY)
            self.assertEqual(200, status)
            self.assertEqual(BINARY, body)
            self.assertEqual(BINARY, self.origin.requests[-1][3])
            # The same client connection goes on.
            status, _, body = client.request("GET", self.origin.url("/text"))
            self.assertEqual(b"plain text body", body)
        finally:
            client.close()

    def test_transparent_request_modified(self):
        # Origin form: encapsulated with the host of its Host header; the
        # request that comes back takes its host from Host again.
        req = (b"GET /text HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n\r\n"
               % self.origin.port)
        data, _ = raw_exchange(self.proxy.port, req)
        status, _, body = split_response(data)
        self.assertEqual(200, status)
        self.assertEqual(b"plain text body", body)
        # Still refused when it addresses the proxy itself.
        req = (b"GET /text HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n\r\n"
               % self.proxy.port)
        data, _ = raw_exchange(self.proxy.port, req)
        self.assertEqual(404, split_response(data)[0])

    def test_exchanges_share_one_pooled_connection_and_survive_a_restart(self):
        for _ in range(3):
            c = Curl(self.proxy.port, self.origin.url("/text"))
            self.assertEqual(b"plain text body", c.body())
            c.cleanup()
        self.assertTrue(wait_for(lambda: established_to(self.cicap.port) >= 1))
        self.assertEqual(1, established_to(self.cicap.port))

        self.cicap.stop()
        self.cicap.start()
        before = self.proxy.log().count("ICAP: response modified")
        c = Curl(self.proxy.port, self.origin.url("/text"))
        self.assertEqual(b"plain text body", c.body())
        c.cleanup()
        self.assertTrue(wait_for(lambda: self.proxy.log().count("ICAP: response modified") > before))


@unittest.skipUnless(os.path.exists(CICAP_MODULES + "/srv_url_check.so") and
                     os.path.exists(CICAP_MODULES + "/srv_content_filtering.so"),
                     "c-icap modules not installed")
class CIcapFilterTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.origin = EchoOrigin(PAGES)
        cls.cicap = CIcap(
            "Service url_check_module srv_url_check.so\n"
            "url_check.LookupTableDB denyhosts host file:@DIR@/deny.txt \"Denied Hosts\"\n"
            "url_check.Profile default block denyhosts\n"
            "url_check.Profile default pass ALL\n"
            "Service srv_cfg_filter srv_content_filtering.so\n"
            "srv_content_filtering.Match BadWord body /forbiddenword/i score=10\n"
            "srv_content_filtering.Match Swap body /darn/ig score=10 info{XXX}=heck\n"
            "srv_content_filtering.Profile default block score{BadWord>5}\n"
            "srv_content_filtering.Profile default replace score{Swap>5} replaceInfo=XXX\n")
        with open(os.path.join(cls.cicap.dir, "deny.txt"), "w") as f:
            f.write("blocked.test\n")
        cls.cicap.start()
        cls.proxy = icap_proxy([
            icap_service("127.0.0.1", cls.cicap.port, "/url_check", "reqmod"),
            icap_service("127.0.0.1", cls.cicap.port, "/srv_content_filtering", "respmod")])

    @classmethod
    def tearDownClass(cls):
        cls.proxy.stop()
        cls.cicap.cleanup()
        cls.origin.stop()

    def test_blocked_host(self):
        seen = len(self.origin.requests)
        requests = [
            # absolute form, through the proxy
            b"GET http://blocked.test:%d/text HTTP/1.1\r\nHost: blocked.test\r\n"
            b"Connection: close\r\n\r\n" % self.origin.port,
            # origin form, as a transparent request
            b"GET /text HTTP/1.1\r\nHost: blocked.test:%d\r\nConnection: close\r\n\r\n"
            % self.origin.port,
        ]
        for req in requests:
            with self.subTest(req=req[:20]):
                data, _ = raw_exchange(self.proxy.port, req)
                status, headers, body = split_response(data)
                self.assertEqual(403, status)
                self.assertEqual(str(len(body)), headers.get("content-length"))
                self.assertIn(b"blocked.test", body)
        self.assertEqual(seen, len(self.origin.requests))
        self.assertIn("ICAP: request satisfied", self.proxy.log())

    def test_other_hosts_pass(self):
        c = Curl(self.proxy.port, self.origin.url("/text"))
        self.assertEqual(b"plain text body", c.body())
        c.cleanup()

    def test_content_replaced_and_blocked(self):
        c = Curl(self.proxy.port, self.origin.url("/darn"))
        body = c.body()
        self.assertEqual(b"<html><body>we say heck here</body></html>", body)
        self.assertEqual(str(len(body)), c.headers().get("content-length"))
        c.cleanup()
        c = Curl(self.proxy.port, self.origin.url("/bad"))
        self.assertNotIn(b"forbiddenword page", c.body())
        self.assertEqual(str(c.size), c.headers().get("content-length"))
        c.cleanup()


# ---- The scripted stand-in ----

def read_until(conn, pending, marker, limit=1 << 20):
    while marker not in pending:
        chunk = conn.recv(65536)
        if not chunk:
            raise ConnectionError("closed")
        pending += chunk
        if len(pending) > limit:
            raise ValueError("too long")
    i = pending.index(marker) + len(marker)
    return pending[:i], pending[i:]


def read_exact(conn, pending, n):
    while len(pending) < n:
        chunk = conn.recv(65536)
        if not chunk:
            raise ConnectionError("closed")
        pending += chunk
    return pending[:n], pending[n:]


def read_chunked(conn, pending):
    body = b""
    while True:
        line, pending = read_until(conn, pending, b"\r\n")
        size = int(line.split(b";")[0].strip(), 16)
        if size == 0:
            _, pending = read_until(conn, pending, b"\r\n")
            return body, pending
        data, pending = read_exact(conn, pending, size + 2)
        body += data[:-2]


def chunk(data):
    return b"%x\r\n%s\r\n0\r\n\r\n" % (len(data), data) if data else b"0\r\n\r\n"


class IcapStandIn:
    """A scripted ICAP server on loopback (scantest.StandIn), several
    requests per connection. Each request takes the next reply of
    self.script (a function (record) -> (bytes, "silent" or "endless";
    keep)); each request lands in self.records as a dict: start, headers
    (lower-case names), offsets, req_hdr, res_hdr, body (None for
    null-body), conn (the connection's number, from 1)."""

    def __init__(self):
        self.script = []
        self.records = []
        self.server = StandIn(self._serve, unix=False)
        self.port = self.server.port

    @property
    def connections(self):
        return len(self.server.records)

    def closed_by_peer(self, number):
        """Whether the proxy closed connection number."""
        return self.server.records[number - 1].get("closed", False)

    def _serve(self, conn, record):
        number = len(self.server.records)
        pending = b""
        while True:
            try:
                head, pending = read_until(conn, pending, b"\r\n\r\n")
            except ConnectionError:
                record["closed"] = True
                return
            lines = head.decode(errors="replace").split("\r\n")
            rec = {"start": lines[0], "conn": number, "headers": {}}
            for line in lines[1:]:
                if ":" in line:
                    k, v = line.split(":", 1)
                    rec["headers"][k.strip().lower()] = v.strip()
            enc = dict((k.strip(), int(v)) for k, v in
                       (p.split("=") for p in rec["headers"].get("encapsulated", "").split(",")))
            rec["offsets"] = enc
            body_key = [k for k in enc if k.endswith("body")][0]
            hdrs, pending = read_exact(conn, pending, enc[body_key])
            if "res-hdr" in enc:
                rec["req_hdr"] = hdrs[:enc["res-hdr"]].decode(errors="replace")
                rec["res_hdr"] = hdrs[enc["res-hdr"]:].decode(errors="replace")
            else:
                rec["req_hdr"] = hdrs.decode(errors="replace")
            rec["body"] = None
            if body_key != "null-body":
                rec["body"], pending = read_chunked(conn, pending)
            self.records.append(rec)
            action = self.script.pop(0) if self.script else echo_reply
            reply, keep = action(rec)
            if reply == "silent":
                time.sleep(3 * TIMEOUT)
                return
            if reply == "endless":
                head = b"ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=%d\r\n\r\n"
                res = rec.get("res_hdr", "HTTP/1.1 200 OK\r\n\r\n").encode()
                conn.sendall(head % len(res) + res)
                while True:
                    conn.sendall(b"10000\r\n" + b"e" * 0x10000 + b"\r\n")
            conn.sendall(reply)
            if not keep:
                return

    def stop(self):
        self.server.stop()


def echo_reply(rec):
    """The message back as it came, as a modification."""
    if "res_hdr" in rec:
        res = rec["res_hdr"].encode()
        if rec["body"] is None:
            return (b"ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, null-body=%d\r\n\r\n%s"
                    % (len(res), res), True)
        return (b"ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=%d\r\n\r\n%s%s"
                % (len(res), res, chunk(rec["body"])), True)
    req = rec["req_hdr"].encode()
    if rec["body"] is None:
        return (b"ICAP/1.0 200 OK\r\nEncapsulated: req-hdr=0, null-body=%d\r\n\r\n%s"
                % (len(req), req), True)
    return (b"ICAP/1.0 200 OK\r\nEncapsulated: req-hdr=0, req-body=%d\r\n\r\n%s%s"
            % (len(req), req, chunk(rec["body"])), True)


def fixed(data, keep=True):
    return lambda rec: (data, keep)


def response_reply(http_head, body=None, keep=True):
    """A reply carrying a response: http_head with body (None: null-body)."""
    def action(rec):
        if body is None:
            return (b"ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, null-body=%d\r\n\r\n%s"
                    % (len(http_head), http_head), keep)
        return (b"ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=%d\r\n\r\n%s%s"
                % (len(http_head), http_head, chunk(body)), keep)
    return action


class StandInTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.origin = EchoOrigin(PAGES)
        cls.icap = IcapStandIn()
        users = [allow_rule(permissions=PERMS),
                 allow_rule(addresses="127.0.0.2", permissions=PERMS, username="alice",
                            password="wonderland")]
        cls.proxy = icap_proxy([icap_service("127.0.0.1", cls.icap.port, "respmod",
                                             "respmod"),
                                icap_service("127.0.0.1", cls.icap.port, "/reqmod", "reqmod")],
                               allow_rules=users)

    @classmethod
    def tearDownClass(cls):
        cls.proxy.stop()
        cls.icap.stop()
        cls.origin.stop()

    def setUp(self):
        self.icap.script = []

    def test_failures_pass_the_message_unchanged(self):
        respmod_failures = [
            (b"ICAP/1.0 204 No Content\r\n\r\n", "no modification needed"),
            (b"ICAP/1.0 400 Bad Request\r\nEncapsulated: null-body=0\r\n\r\n",
             "ICAP response indicates client error"),
            (b"ICAP/1.0 503 Service Unavailable\r\nEncapsulated: null-body=0\r\n\r\n",
             "ICAP response indicates server error"),
            (b"ICAP/1.0 200 OK\r\n\r\n", "ICAP response without encapsulatd header"),
            (b"ICAP/1.0 200 OK\r\nEncapsulated: req-body=0, res-body=0\r\n\r\n0\r\n\r\n",
             "unable to handle response with both bodies"),
            (b"NOT ICAP AT ALL\r\n\r\n", "error parsing header from ICAP server"),
            (b"ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=19\r\n\r\n"
             b"HTTP/1.1 200 OK\r\n\r\nzz\r\nbroken\r\n0\r\n\r\n",
             "error reading response from ICAP server"),
            ("endless", "error reading response from ICAP server"),
            ("silent", "error reading response from ICAP server"),
        ]
        client = KeptClient(self.proxy.port, timeout=60)
        try:
            for reply, line in respmod_failures:
                with self.subTest(line=line, reply=str(reply)[:30]):
                    # REQMOD echoes; RESPMOD gets the failure.
                    self.icap.script = [echo_reply, fixed(reply, keep=False)]
                    before = self.proxy.log().count(line)
                    status, headers, body = client.request("GET", self.origin.url("/text"))
                    self.assertEqual(200, status)
                    self.assertEqual(b"plain text body", body)
                    self.assertTrue(wait_for(lambda: self.proxy.log().count(line) > before))
        finally:
            client.close()   # it carried every request: the client kept its connection

    def test_header_only_replies(self):
        cases = [
            # script, expected status, body
            ([echo_reply, response_reply(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")],
             200, b""),
            ([echo_reply, response_reply(b"HTTP/1.1 200 OK\r\nX-Mark: m\r\n\r\n")], 200, b""),
            ([response_reply(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 99\r\n\r\n")], 403, b""),
            ([response_reply(b"HTTP/1.1 451 Unavailable\r\n\r\n", b"refused here")], 451,
             b"refused here"),
        ]
        client = KeptClient(self.proxy.port)
        try:
            for script, want_status, want_body in cases:
                with self.subTest(status=want_status, body=want_body):
                    self.icap.script = list(script)
                    status, headers, body = client.request("GET", self.origin.url("/text"))
                    self.assertEqual(want_status, status)
                    self.assertEqual(want_body, body)
                    self.assertEqual(str(len(want_body)), headers.get("content-length"))
        finally:
            client.close()

    def test_modified_request_with_null_body(self):
        def strip_body(rec):
            req = rec["req_hdr"].replace("/echo", "/echo2").encode()
            return (b"ICAP/1.0 200 OK\r\nEncapsulated: req-hdr=0, null-body=%d\r\n\r\n%s"
                    % (len(req), req), True)
        self.icap.script = [strip_body]
        client = KeptClient(self.proxy.port)
        try:
            status, _, body = client.request("POST", self.origin.url("/echo"), body=b"payload")
            self.assertEqual(200, status)
            self.assertEqual(b"", body)
            method, path, headers, got = self.origin.requests[-1]
            self.assertTrue(path.endswith("/echo2"))
            self.assertEqual(b"", got)
            self.assertEqual("0", dict((k.lower(), v) for k, v in headers)["content-length"])
        finally:
            client.close()

    def test_streamed_post_keeps_flowing(self):
        # Over maxubuffer: the ICAP server sees the header with null-body,
        # and the body goes on from the client whole, with its length.
        big = bytes(range(256)) * 5000   # 1 280 000 bytes
        records = len(self.icap.records)
        client = KeptClient(self.proxy.port)
        try:
            status, _, body = client.request("POST", self.origin.url("/echo"), body=big)
        finally:
            client.close()
        self.assertEqual(200, status)
        self.assertEqual(big, self.origin.requests[-1][3])
        reqmod = self.icap.records[records]
        self.assertIn("null-body", reqmod["offsets"])
        self.assertIn("Content-Length: %d" % len(big), reqmod["req_hdr"])

    def test_failed_exchange_keeps_the_cache_object(self):
        proxy = icap_proxy([icap_service("127.0.0.1", self.icap.port, "/respmod", "respmod")],
                           cache=True)
        try:
            self.icap.script = [fixed("silent")]
            url = self.origin.url("/cached")
            client = KeptClient(proxy.port, timeout=60)
            try:
                status, headers, body = client.request("GET", url)
                self.assertEqual((200, b"kept for an hour"), (status, body))
                # The same client connection: the hit is the object as stored.
                status, headers, body = client.request("GET", url)
                self.assertEqual((200, b"kept for an hour"), (status, body))
                self.assertIn("HIT", headers.get("x-cache", ""))
            finally:
                client.close()
            self.assertIn("ICAP: error reading response from ICAP server", proxy.log())
        finally:
            proxy.stop()

    def test_what_the_server_gets(self):
        self.icap.script = []
        records = len(self.icap.records)
        auth = base64.b64encode(b"alice:wonderland").decode()
        # From 127.0.0.2, whose rule wants a login.
        s = socket.socket()
        s.bind(("127.0.0.2", 0))
        s.connect(("127.0.0.1", self.proxy.port))
        req = ("POST http://u:pw@127.0.0.1:%d/echo HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
               "Proxy-Authorization: Basic %s\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello"
               % (self.origin.port, self.origin.port, auth)).encode()
        s.sendall(req)
        data = b""
        s.settimeout(30)
        while True:
            chunk_ = s.recv(65536)
            if not chunk_:
                break
            data += chunk_
        s.close()
        status, _, body = split_response(data)
        self.assertEqual(200, status)
        self.assertEqual(b"hello", body)
        got = self.icap.records[records:]
        self.assertEqual(2, len(got))
        reqmod, respmod = got
        self.assertTrue(reqmod["start"].startswith("REQMOD icap://127.0.0.1:%d/reqmod ICAP/1.0"
                                                   % self.icap.port))
        self.assertTrue(respmod["start"].startswith("RESPMOD icap://127.0.0.1:%d/respmod ICAP/1.0"
                                                    % self.icap.port))
        user = base64.b64encode(b"Local://alice@127.0.0.2").decode()
        for rec in got:
            self.assertEqual("127.0.0.2", rec["headers"]["x-client-ip"])
            self.assertEqual(user, rec["headers"]["x-authenticated-user"])
            self.assertNotIn("proxy-authorization", rec["req_hdr"].lower())
            self.assertNotIn("u:pw@", rec["req_hdr"])
            self.assertEqual(0, rec["offsets"]["req-hdr"])
        self.assertEqual(len(reqmod["req_hdr"]), reqmod["offsets"]["req-body"])
        self.assertEqual(b"hello", reqmod["body"])
        self.assertEqual(len(respmod["req_hdr"]), respmod["offsets"]["res-hdr"])
        self.assertEqual(len(respmod["req_hdr"]) + len(respmod["res_hdr"]),
                         respmod["offsets"]["res-body"])
        self.assertEqual(b"hello", respmod["body"])

        # An empty body: null-body, nothing chunked.
        records = len(self.icap.records)
        c = Curl(self.proxy.port, self.origin.url("/text"))
        c.cleanup()
        rec = self.icap.records[records]
        self.assertIn("null-body", rec["offsets"])
        self.assertIsNone(rec["body"])

        # The web interface never goes to the ICAP server.
        records = len(self.icap.records)
        c = Curl(self.proxy.port, "http://quill.invalid/")
        c.cleanup()
        self.assertFalse(any("quill.invalid" in r["req_hdr"] for r in self.icap.records))

    def test_trailing_bytes_and_stale_connections(self):
        # Bytes after the reply: applied, and the connection is not pooled.
        def trailing(rec):
            reply, _ = echo_reply(rec)
            return reply + b"GARBAGE", True
        self.icap.script = [echo_reply, trailing]
        c = Curl(self.proxy.port, self.origin.url("/text"))
        self.assertEqual(b"plain text body", c.body())
        c.cleanup()
        conn = self.icap.records[-1]["conn"]
        self.assertTrue(wait_for(lambda: self.icap.closed_by_peer(conn)))

        # A pooled connection the server closed: replaced, and the request
        # is still modified.
        self.icap.script = [echo_reply, lambda rec: (echo_reply(rec)[0], False)]
        c = Curl(self.proxy.port, self.origin.url("/text"))
        c.cleanup()
        before = self.proxy.log().count("ICAP: response modified")
        connections = self.icap.connections
        time.sleep(0.3)
        self.icap.script = []
        c = Curl(self.proxy.port, self.origin.url("/text"))
        self.assertEqual(b"plain text body", c.body())
        c.cleanup()
        self.assertTrue(wait_for(lambda: self.proxy.log().count("ICAP: response modified") > before))
        self.assertGreater(self.icap.connections, connections)

    def test_bypass(self):
        records = len(self.icap.records)
        url = "http://xx--bypass[i].127.0.0.1:%d/text" % self.origin.port
        client = KeptClient(self.proxy.port)
        try:
            self.assertEqual(b"plain text body", client.request("GET", url)[2])
            self.assertEqual(b"plain text body",
                             client.request("GET", self.origin.url("/text"))[2])
        finally:
            client.close()
        # Only the REQMOD of the first request, which runs before the bypass
        # is read; the bits then last for the client connection.
        self.assertEqual(1, len(self.icap.records) - records)


if __name__ == "__main__":
    unittest.main(verbosity=2)
