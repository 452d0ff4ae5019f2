"""Peers that stall, trickle, stop reading or half-close, each a few lines
of Python on loopback against the real daemon: none of them may hold a
worker past the general rule's time-out, and a well-behaved but unusual
client (one that shuts its sending side after its request) still gets its
answer. Time limits are asserted as upper bounds with a wide margin, never
as measurements."""

import base64
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from origin_scripted import ScriptedOrigin  # noqa: E402
from proxytest import (CURL, NGINX, Curl, Nginx, Proxy, allow_rule, make_certificate,  # noqa: E402
                       raw_exchange, split_response)
from quilltest import BIN, Install, replace_section, wait_for  # noqa: E402

OPENSSL = shutil.which("openssl")


def sanitized():
    """Whether the daemon under test is an AddressSanitizer build."""
    try:
        with open(BIN, "rb") as f:
            return b"__asan_init" in f.read()
    except OSError:
        return False


SANITIZED = sanitized()
# The general rule's time-outs in these tests; the margins below are many
# times larger, so a loaded machine does not fail them.
TIMEOUT = 3
LIMITS = {"timeout": str(TIMEOUT), "ctimeout": str(TIMEOUT)}


def read_all(sock, limit):
    """Reads until the peer closes or limit seconds pass. Returns (bytes,
    closed)."""
    sock.settimeout(limit)
    got = b""
    try:
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                return got, True
            got += chunk
    except ConnectionResetError:
        return got, True
    except socket.timeout:
        return got, False


class TlsStaller:
    """A TLS server on loopback that misbehaves in one way:
    "record": completes the handshake, reads the request header, then sends
    the header of a 16 KiB application-data record and three bytes of it,
    and waits; "handshake": reads the client's hello and answers nothing;
    "noread": completes the handshake and then never reads again."""

    def __init__(self, mode, cert, key):
        self.mode = mode
        self.ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.ctx.load_cert_chain(cert, key)
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.held = []   # connections kept open, unanswered
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def url(self, path="/"):
        # The "https" command label makes the proxy speak TLS to the origin.
        return "http://xx--https.127.0.0.1:%d%s" % (self.port, path)

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        self.held.append(conn)
        try:
            if self.mode == "handshake":
                conn.recv(4096)
                return
            tls = self.ctx.wrap_socket(conn, server_side=True)
            self.held.append(tls)
            if self.mode == "noread":
                return
            pending = b""
            while b"\r\n\r\n" not in pending:
                chunk = tls.recv(4096)
                if not chunk:
                    return
                pending += chunk
            # Straight onto the TCP stream, past the TLS layer.
            os.write(tls.fileno(), b"\x17\x03\x03\x40\x00abc")
        except (OSError, ssl.SSLError):
            return

    def stop(self):
        self.sock.close()
        for c in self.held:
            try:
                c.close()
            except OSError:
                pass


@unittest.skipUnless(OPENSSL, "needs openssl")
class StalledTlsServers(unittest.TestCase):
    """TLS toward origins is read and written within the time-out."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="quill-hostile-tls-")
        cls.cert, cls.key = make_certificate(cls.dir)
        os.environ["SSL_CERT_FILE"] = cls.cert
        cls.proxy = Proxy(general=LIMITS, cache=False).start()

    @classmethod
    def tearDownClass(cls):
        cls.proxy.stop()
        os.environ.pop("SSL_CERT_FILE", None)
        shutil.rmtree(cls.dir, ignore_errors=True)

    def request_through(self, server, request, limit):
        """Sends request to the proxy; returns (reply, closed, seconds)."""
        start = time.monotonic()
        with socket.create_connection(("127.0.0.1", self.proxy.port), timeout=10) as c:
            c.sendall(request)
            data, closed = read_all(c, limit)
        return data, closed, time.monotonic() - start

    def still_serves(self):
        """The daemon answers a normal request afterwards."""
        data, _ = raw_exchange(self.proxy.port, b"GET http://127.0.0.1:1/ HTTP/1.0\r\n\r\n")
        self.assertTrue(data.startswith(b"HTTP/1."), data[:200])

    def test_stalled_peers_are_cut_off(self):
        """A part record, a half handshake, an upload nobody reads: each ends within the time-out."""
        big = b"u" * (8 * 1024 * 1024)
        cases = [
            ("record", b"GET %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", b""),
            ("handshake", b"GET %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", b""),
            ("noread", b"POST %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                       b"Content-Length: " + str(len(big)).encode() + b"\r\n\r\n", big),
        ]
        for mode, head, body in cases:
            with self.subTest(mode=mode):
                server = TlsStaller(mode, self.cert, self.key)
                try:
                    start = time.monotonic()
                    with socket.create_connection(("127.0.0.1", self.proxy.port), timeout=10) as c:
                        c.sendall(head % server.url().encode())
                        if body:
                            # The proxy stops taking the body when the
                            # server does; that is the end we wait for.
                            c.settimeout(60)
                            try:
                                c.sendall(body)
                            except OSError:
                                pass
                        data, closed = read_all(c, 60)
                    seconds = time.monotonic() - start
                    self.assertTrue(closed or data, "no answer and no close")
                    self.assertLess(seconds, 10 * TIMEOUT, (mode, seconds))
                    if mode != "noread":
                        status, _, _ = split_response(data)
                        self.assertEqual(503, status, data[:300])
                finally:
                    server.stop()
                self.still_serves()


@unittest.skipUnless(NGINX and CURL, "needs nginx and curl")
class SlowClients(unittest.TestCase):
    """Clients that stop reading, or stop sending."""

    @classmethod
    def setUpClass(cls):
        cls.nginx = Nginx({"big.bin": os.urandom(4 * 1024 * 1024),
                           "page.bin": os.urandom(300 * 1024)}).start()
        cls.proxy = Proxy(general=LIMITS).start()

    @classmethod
    def tearDownClass(cls):
        cls.proxy.stop()
        cls.nginx.stop()

    def test_client_that_never_reads_a_hit_is_closed(self):
        """A 4 MiB hit to a client with its window shut: given up and closed after the time-out."""
        url = self.nginx.url("/big.bin")
        for _ in range(2):
            r = Curl(self.proxy.port, url, "-H", "X-Probe: fill")
            self.assertEqual(200, r.status, r.stderr)
        self.assertIn("HIT", r.headers().get("x-cache", ""), r.raw_headers)

        c = socket.socket()
        c.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        c.connect(("127.0.0.1", self.proxy.port))
        try:
            c.sendall(b"GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % url.encode())
            self.assertTrue(self.proxy.wait_log("client took no data", 10 * TIMEOUT),
                            self.proxy.log()[-3000:])
            self.assertTrue(self.proxy.wait_log("disconnected after making 1 requests", 5 * TIMEOUT))
        finally:
            c.close()
        # The worker is free and the daemon goes on answering.
        r = Curl(self.proxy.port, self.nginx.url("/page.bin"))
        self.assertEqual(200, r.status)
        self.assertEqual(300 * 1024, r.size)

    def test_half_closed_client_gets_its_answer(self):
        """A whole request, then shutdown(SHUT_WR): the answer comes, from a slow origin and a big one."""
        slow = ScriptedOrigin([b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nCache-Control: no-store\r\n\r\nhello"],
                              delay=1.0)
        try:
            for url, size in ((slow.url("/slow"), 5), (self.nginx.url("/page.bin"), 300 * 1024)):
                with self.subTest(url=url):
                    with socket.create_connection(("127.0.0.1", self.proxy.port), timeout=10) as c:
                        c.sendall(b"GET %s HTTP/1.1\r\nHost: x\r\nCache-Control: no-cache\r\n\r\n"
                                  % url.encode())
                        c.shutdown(socket.SHUT_WR)
                        data, closed = read_all(c, 30)
                    status, headers, body = split_response(data)
                    self.assertEqual(200, status, data[:300])
                    self.assertEqual(size, len(body))
                    self.assertTrue(closed)
        finally:
            slow.stop()


class SinkOrigin:
    """An origin that takes every byte sent to it and never answers."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(64)
        self.port = self.sock.getsockname()[1]
        self.received = 0
        self.heads = []   # the first bytes of each connection
        threading.Thread(target=self._accept, daemon=True).start()

    def url(self, path="/"):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._drain, args=(conn,), daemon=True).start()

    def _drain(self, conn):
        with conn:
            try:
                first = True
                while True:
                    chunk = conn.recv(65536)
                    if not chunk:
                        return
                    if first:
                        self.heads.append(chunk[:1024])
                        first = False
                    self.received += len(chunk)
            except OSError:
                return

    def stop(self):
        self.sock.close()


def endless_chunked(port, head, seconds, stop):
    """A client that sends head and then 64 KiB chunks for up to seconds,
    as fast as the proxy takes them."""
    piece = b"10000\r\n" + b"c" * 0x10000 + b"\r\n"
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as c:
            c.sendall(head)
            end = time.monotonic() + seconds
            while time.monotonic() < end and not stop.is_set():
                try:
                    c.sendall(piece)
                except socket.timeout:
                    continue
    except OSError:
        pass


def flood(proxy, head, clients=40, seconds=4):
    """Runs clients that each send head and an endless chunked body for
    seconds; returns the growth of the daemon's resident memory in KiB."""
    before = proxy.memory_kib()
    stop = threading.Event()
    threads = [threading.Thread(target=endless_chunked,
                                args=(proxy.port, head, seconds, stop), daemon=True)
               for _ in range(clients)]
    for t in threads:
        t.start()
    peak = before
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        peak = max(peak, proxy.memory_kib())
        time.sleep(0.1)
    stop.set()
    for t in threads:
        t.join(30)
    return peak - before


class Bodies(unittest.TestCase):
    """Request bodies: never buffered before the access rules allow them,
    bounded in memory, cut off when they crawl."""

    CREDENTIALS = "Proxy-Authorization: Basic dTpw\r\n"   # u:p

    @classmethod
    def setUpClass(cls):
        cls.sink = SinkOrigin()
        cls.proxy = Proxy(general=LIMITS, cache=False,
                          allow_rules=[allow_rule(username="u", password="p")]).start()

    @classmethod
    def tearDownClass(cls):
        cls.proxy.stop()
        cls.sink.stop()

    def flood(self, head, clients=40, seconds=4):
        return flood(self.proxy, head, clients, seconds)

    def test_endless_bodies_stay_in_bounded_memory(self):
        """40 endless chunked bodies refused (challenged), then 40 allowed: each group
        grows the daemon by less than 64 MiB, and it answers a normal request after each."""
        for name, credentials, status in (("refused", "", 407), ("allowed", self.CREDENTIALS, 503)):
            with self.subTest(group=name):
                head = ("POST %s HTTP/1.1\r\nHost: x\r\n%sTransfer-Encoding: chunked\r\n\r\n"
                        % (self.sink.url("/" + name), credentials)).encode()
                grown = self.flood(head)
                if not SANITIZED:   # the sanitizer's quarantine keeps freed memory
                    self.assertLess(grown, 64 * 1024, "resident memory grew by %d KiB" % grown)
                request = ("GET http://127.0.0.1:1/ HTTP/1.0\r\n%s\r\n" % credentials).encode()
                data, _ = raw_exchange(self.proxy.port, request)
                self.assertEqual(status, split_response(data)[0], data[:300])
        # The allowed bodies went on to the server, past the upload buffer.
        self.assertGreater(self.sink.received, 2 * 1024 * 1024)

    def test_trickled_body_is_cut_off(self):
        """One body byte every (time-out - 1) seconds: cut off within a few time-outs."""
        head = ("POST %s HTTP/1.1\r\nHost: x\r\n%sContent-Length: 100\r\n\r\n"
                % (self.sink.url("/trickle"), self.CREDENTIALS)).encode()
        start = time.monotonic()
        closed = False
        with socket.create_connection(("127.0.0.1", self.proxy.port), timeout=5) as c:
            c.sendall(head)
            for _ in range(100):
                try:
                    c.sendall(b"t")
                except OSError:
                    closed = True
                    break
                c.settimeout(TIMEOUT - 1)
                try:
                    if c.recv(65536) == b"":
                        closed = True
                        break
                except socket.timeout:
                    pass
                except OSError:
                    closed = True
                    break
                if time.monotonic() - start > 10 * TIMEOUT:
                    break
        seconds = time.monotonic() - start
        self.assertTrue(closed, "still open after %.1f s" % seconds)
        self.assertLess(seconds, 5 * TIMEOUT)
        # Buffered or streamed (when the body budget is taken), the cut is logged.
        self.assertTrue(self.proxy.wait_log("moved fewer than 1024 bytes"), self.proxy.log()[-2000:])


def url_deny_rule(path):
    return ("<deny><enabled>true</enabled><comment>test</comment><profiles></profiles><host></host>"
            "<path>%s</path><addresses></addresses><template></template></deny>" % path)


def client_redirect_rule(pattern, replacement):
    return ("<rule><enabled>true</enabled><comment>test</comment><profiles></profiles>"
            "<pattern>%s</pattern><replacement>%s</replacement><port>-1</port>"
            "<client-redirect>true</client-redirect><options></options><scope>request</scope></rule>"
            % (pattern, replacement))


class RefusedAfterAccess(unittest.TestCase):
    """Requests the access rules let through but a later rule refuses on the
    header alone (URL filter, client redirect, a request for the proxy
    itself): the refusal comes before the body, which is dropped up to a
    small bound and never buffered; the connection closes. The upload buffer
    is large here, so a body read before the refusal would show."""

    @classmethod
    def setUpClass(cls):
        cls.sink = SinkOrigin()
        cls.proxy = Proxy(general=dict(LIMITS, maxubuffer="8M"), cache=False)
        with open(cls.proxy.inst.config) as f:
            text = f.read()
        text = replace_section(text, "url-filtering", "<enabled>true</enabled><allow-first>false</allow-first>"
                               "<template></template>" + url_deny_rule("^/filtered"))
        text = replace_section(text, "redirect", "<enabled>true</enabled>" +
                               client_redirect_rule("/moved$", "http://127.0.0.1:1/elsewhere"))
        with open(cls.proxy.inst.config, "w") as f:
            f.write(text)
        cls.proxy.start()

    @classmethod
    def tearDownClass(cls):
        cls.proxy.stop()
        cls.sink.stop()

    def cases(self):
        return (("url filter", self.sink.url("/filtered"), 200, None),
                ("client redirect", self.sink.url("/moved"), 302, "http://127.0.0.1:1/elsewhere"),
                ("the proxy itself", "http://127.0.0.1:%d/" % self.proxy.port, 404, None))

    def reached_origin(self):
        """The refused requests that reached the origin."""
        return [h[:80] for h in self.sink.heads if b"/filtered" in h or b"/moved" in h]

    def test_refused_before_the_body(self):
        """The header and the first 64 KiB of an 8 MiB body, then nothing: the refusal
        comes at once (the body is never waited for), and the connection closes."""
        piece = b"x" * 65536
        for name, url, status, location in self.cases():
            for framing in ("length", "chunked"):
                with self.subTest(rule=name, framing=framing):
                    head = "POST %s HTTP/1.1\r\nHost: x\r\n" % url
                    if framing == "length":
                        data = (head + "Content-Length: %d\r\n\r\n" % (8 << 20)).encode() + piece
                    else:
                        data = (head + "Transfer-Encoding: chunked\r\n\r\n10000\r\n").encode() + piece
                    got, closed = raw_exchange(self.proxy.port, data, timeout=20)
                    answer, headers, _ = split_response(got)
                    self.assertEqual(status, answer, got[:300])
                    self.assertEqual("close", headers.get("connection"))
                    if location:
                        self.assertEqual(location, headers.get("location"))
                    self.assertTrue(closed)
        self.assertEqual([], self.reached_origin())
        self.assertNotIn("moved fewer than", self.proxy.log())

    def test_endless_refused_bodies_stay_in_bounded_memory(self):
        """40 clients send endless chunked bodies to each refused URL: resident memory
        grows by less than 64 MiB (40 upload buffers would be 320 MiB), and a normal
        request is answered after each group."""
        for name, url, _, _ in self.cases():
            with self.subTest(rule=name):
                head = ("POST %s HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" % url).encode()
                grown = flood(self.proxy, head)
                if not SANITIZED:   # the sanitizer's quarantine keeps freed memory
                    self.assertLess(grown, 64 * 1024, "resident memory grew by %d KiB" % grown)
                self.assertTrue(answered(self.proxy.port))
        self.assertEqual([], self.reached_origin())


class SlowBodyOrigin:
    """An origin that serves each path's body with its Content-Length, all
    but the last 4 KiB at once and the rest after delay seconds, so that many
    clients hold a response at the same time."""

    def __init__(self, pages, delay=1.0):
        self.pages = pages   # path -> (extra header lines, body)
        self.delay = delay
        self.served = 0
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(128)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        with conn:
            try:
                conn.settimeout(30)
                got = b""
                while b"\r\n\r\n" not in got:
                    chunk = conn.recv(65536)
                    if not chunk:
                        return
                    got += chunk
                path = got.split(b" ", 2)[1].decode()
                path = "/" + path.split("://", 1)[-1].split("/", 1)[-1]
                extra, body = self.pages[path]
                conn.sendall(("HTTP/1.1 200 OK\r\n%sContent-Length: %d\r\nConnection: close\r\n\r\n"
                              % (extra, len(body))).encode() + body[:-4096])
                time.sleep(self.delay)
                conn.sendall(body[-4096:])
                self.served += 1
            except OSError:
                return

    def stop(self):
        self.sock.close()


def dechunk(body):
    """The data of a chunked body, or None when its framing is broken or it
    is cut short."""
    out = []
    while True:
        line, sep, rest = body.partition(b"\r\n")
        try:
            size = int(line.split(b";")[0], 16)
        except ValueError:
            return None
        if not sep or len(rest) < size + 2:
            return None
        if size == 0:
            return b"".join(out)
        out.append(rest[:size])
        body = rest[size + 2:]


def fetch(port, url, results):
    """GET url through the proxy, as a client that takes no content coding;
    appends (status, body, closed cleanly)."""
    try:
        data, closed = raw_exchange(port, ("GET %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
                                           % url).encode(), timeout=60)
        status, headers, body = split_response(data)
        if headers.get("transfer-encoding") == "chunked":
            body = dechunk(body)
        results.append((status, body, closed))
    except OSError as e:
        results.append((None, repr(e).encode(), False))


class ResponseBudget(unittest.TestCase):
    """Response bodies held whole in memory (for a rewrite rule, or to decode
    them for a client that takes no coding) share one budget: with a 2 MiB
    download buffer it is 32 MiB, whatever the number of clients. A
    response that does not fit streams when nothing needs it whole, and
    otherwise waits for room and is refused cleanly after its time-out."""

    SIZE = 1900 * 1024
    CLIENTS = 60

    @classmethod
    def setUpClass(cls):
        import gzip
        import random
        rng = random.Random(19)
        cls.page = rng.randbytes(cls.SIZE)
        cls.plain = rng.randbytes(cls.SIZE - 64 * 1024)
        coded = gzip.compress(cls.plain, compresslevel=0)   # stored: as large as the plain bytes
        cls.origin = SlowBodyOrigin({
            "/page.html": ("Content-Type: text/html\r\n", cls.page),
            "/coded.bin": ("Content-Type: application/octet-stream\r\nContent-Encoding: gzip\r\n", coded),
        })

    @classmethod
    def tearDownClass(cls):
        cls.origin.stop()

    def start_proxy(self):
        """A daemon of its own for each case, so that no case measures memory
        another one left behind."""
        # A rule that matches nothing: the HTML bodies are read whole for it.
        rules = ("<rule><enabled>true</enabled><comment>test</comment><profiles></profiles>"
                 "<mime-type>^text/html</mime-type><pattern>never-in-a-random-page-q7</pattern>"
                 "<replacement>x</replacement><targets>body</targets></rule>")
        proxy = Proxy(general={"timeout": "10", "ctimeout": "10", "maxdbuffer": "2M",
                               "compressin": "false", "compressout": "false"}, cache=False)
        with open(proxy.inst.config) as f:
            text = f.read()
        text = replace_section(text, "rewrite", "<enabled>true</enabled>" + rules)
        with open(proxy.inst.config, "w") as f:
            f.write(text)
        self.addCleanup(proxy.stop)
        return proxy.start()

    def test_many_held_responses_stay_in_the_budget(self):
        """60 clients at once fetch a 1.9 MiB body that is read whole: each gets the whole
        body (or, for the rule that needs it whole, the bad-response page), resident
        memory grows by less than 64 MiB (60 held bodies would be 110 MiB), and a normal
        request is answered after."""
        cases = (("rewrite rule, needs it whole", "/page.html", self.page, True),
                 ("decoded for the client, may stream", "/coded.bin", self.plain, False))
        for name, path, expected, may_refuse in cases:
            with self.subTest(case=name):
                proxy = self.start_proxy()
                self.assertTrue(answered(proxy.port))
                before = proxy.memory_kib()
                results = []
                threads = [threading.Thread(target=fetch, args=(proxy.port, self.origin.url(path), results),
                                            daemon=True) for _ in range(self.CLIENTS)]
                for t in threads:
                    t.start()
                peak = before
                while any(t.is_alive() for t in threads):
                    peak = max(peak, proxy.memory_kib())
                    time.sleep(0.05)
                self.assertEqual(self.CLIENTS, len(results))
                whole = 0
                for status, body, closed in results:
                    if status == 200:
                        self.assertIsNotNone(body, "a chunked body arrived broken")
                        self.assertEqual(len(expected), len(body))
                        self.assertTrue(body == expected, "a body arrived changed")
                        whole += 1
                    else:
                        self.assertTrue(may_refuse, (status, body[:200]))
                        self.assertEqual(400, status, body[:200])
                        self.assertIn(b"</html>", body.lower())
                    self.assertTrue(closed)
                self.assertGreater(whole, 0)
                if not SANITIZED:
                    self.assertLess(peak - before, 64 * 1024, "resident memory grew by %d KiB" % (peak - before))
                self.assertTrue(answered(proxy.port))


def slow_clients(port, count, data=b"GET http://"):
    """count connections that each send data (part of a request line) and
    then nothing more; connections the daemon refused are left out."""
    out = []
    for _ in range(count):
        try:
            c = socket.create_connection(("127.0.0.1", port), timeout=5)
            c.sendall(data)
            out.append(c)
        except OSError:
            pass
    return out


def answered(port, timeout=10):
    """Whether a normal request gets an answer (the 503 of an unreachable
    server) within timeout seconds."""
    try:
        data, _ = raw_exchange(port, b"GET http://127.0.0.1:1/ HTTP/1.0\r\n\r\n", timeout=timeout)
    except OSError:
        return False
    return split_response(data)[0] == 503


def read_page(c):
    """Reads an answer up to the end of its page (or of the stream)."""
    got = b""
    while b"</html>" not in got.lower():
        chunk = c.recv(65536)
        if not chunk:
            break
        got += chunk
    return got


def idle_clients(test, port, count, timeout):
    """count kept-alive clients, each after one answered request (the 503 of
    an unreachable server), left idle."""
    out = []
    for _ in range(count):
        c = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        out.append(c)
        c.sendall(b"GET http://127.0.0.1:1/ HTTP/1.1\r\nHost: x\r\n\r\n")
        test.assertEqual(503, split_response(read_page(c))[0])
    return out


def assert_served_and_held(test, port, held):
    """Normal requests are answered promptly, and every held client is still
    open (a closed one would read the end of the stream)."""
    for _ in range(5):
        start = time.monotonic()
        test.assertTrue(answered(port, timeout=20))
        test.assertLess(time.monotonic() - start, 10)
    for c in held:
        c.setblocking(False)
        try:
            test.assertNotEqual(b"", c.recv(1))
        except BlockingIOError:
            pass


class ManyConnections(unittest.TestCase):
    """Slow and idle clients neither hold workers nor starve a normal one."""

    def test_slow_clients_hold_no_worker(self):
        """With 16 worker slots, 40 clients stuck in their request line and 40 idle
        kept-alive ones: a normal request is answered at once, and none is closed."""
        proxy = Proxy(general={"timeout": "60", "keeptimeout": "60"}, cache=False).start("-t", "16")
        held = []
        try:
            held = slow_clients(proxy.port, 40)
            held += idle_clients(self, proxy.port, 40, 10)
            time.sleep(1)
            assert_served_and_held(self, proxy.port, held)
        finally:
            for c in held:
                c.close()
            proxy.stop()

    def test_thousands_of_idle_clients(self):
        """With the shipped options, a thousand clients stuck in their request line
        and a thousand idle kept-alive ones: normal requests are answered at once,
        and none of the two thousand is closed before its time."""
        import resource
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        want = 2300 if hard == resource.RLIM_INFINITY else min(hard, 2300)
        if soft != resource.RLIM_INFINITY and soft < want:
            resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))
        each = (want - 300) // 2
        proxy = Proxy(general={"timeout": "120", "keeptimeout": "120"}, cache=False).start()
        held = []
        try:
            held = slow_clients(proxy.port, each)
            held += idle_clients(self, proxy.port, each, 30)
            self.assertEqual(2 * each, len(held))
            assert_served_and_held(self, proxy.port, held)
        finally:
            for c in held:
                c.close()
            proxy.stop()

    def test_partial_next_header_holds_no_worker(self):
        """Twenty kept-alive clients each get an answer and then send part of
        their next request: their workers are let go (the daemon's thread count
        falls back), and each request, finished later, is answered on its
        connection."""
        proxy = Proxy(general={"timeout": "60", "keeptimeout": "60"}, cache=False).start()
        clients = []
        request = b"GET http://127.0.0.1:1/ HTTP/1.1\r\nHost: x\r\n\r\n"

        def exchange(c, data):
            c.sendall(data)
            return split_response(read_page(c))[0]

        try:
            self.assertTrue(answered(proxy.port))
            # Workers of the first request park and leave within a few seconds.
            time.sleep(4)
            base = proxy_threads(proxy)
            for _ in range(20):
                c = socket.create_connection(("127.0.0.1", proxy.port), timeout=30)
                self.assertEqual(503, exchange(c, request))
                c.sendall(request[:20])
                clients.append(c)
            self.assertTrue(wait_for(lambda: proxy_threads(proxy) <= base + 4, 30),
                            (base, proxy_threads(proxy)))
            for c in clients:
                self.assertEqual(503, exchange(c, request[20:]))
        finally:
            for c in clients:
                c.close()
            proxy.stop()


def proxy_threads(proxy):
    """The daemon's thread count."""
    with open("/proc/%d/status" % proxy.proc.pid) as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    return 0


class DescriptorShortage(unittest.TestCase):
    """Running out of descriptors is logged quietly and passes."""

    def test_shortage_is_quiet_and_recovers(self):
        """ulimit -n 40 and 60 stuck clients: a few rate-limited lines, then service again."""
        import resource
        proxy = Proxy(general={"timeout": "30"}, cache=False)
        proxy.start(preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (40, 40)))
        held = []
        try:
            self.assertTrue(answered(proxy.port))
            held = slow_clients(proxy.port, 60)
            time.sleep(3)
            text = proxy.log()
            for line in ("failed to accept", "failure opening file descriptor"):
                self.assertLessEqual(text.count(line), 6, (line, text[-3000:]))
            for c in held:
                c.close()
            held = []
            self.assertTrue(wait_for(lambda: answered(proxy.port, timeout=5), 30), proxy.log()[-3000:])
        finally:
            for c in held:
                c.close()
            proxy.stop()


class NtlmOrigin:
    """The connection-bound handshake of NTLM, as a scripted origin: a
    request without credentials gets 401 NTLM, the type-1 message a type-2
    challenge, and the type-3 message is granted only on the TCP
    connection that carried the type 1."""

    CHALLENGE = base64.b64encode(b"NTLMSSP\x00\x02\x00\x00\x00" + b"\x00" * 40).decode()

    def __init__(self):
        self.negotiated = set()   # connection numbers that sent a type 1
        self.origin = ScriptedOrigin(self.reply)

    @staticmethod
    def message_type(request):
        for line in request.split(b"\r\n"):
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"authorization" and value.strip().startswith(b"NTLM "):
                blob = base64.b64decode(value.strip()[5:])
                return blob[8] if blob.startswith(b"NTLMSSP\x00") and len(blob) > 8 else 0
        return 0

    def reply(self, number, request):
        kind = self.message_type(request)
        if kind == 3 and number in self.negotiated:
            return b"HTTP/1.1 200 OK\r\nContent-Length: 7\r\nCache-Control: private\r\n\r\ngranted"
        challenge = "NTLM"
        if kind == 1:
            self.negotiated.add(number)
            challenge = "NTLM " + self.CHALLENGE
        return ("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: %s\r\nContent-Length: 0\r\n\r\n"
                % challenge).encode()


class ConnectionBoundAuth(unittest.TestCase):
    """NTLM toward an origin needs the same server connection throughout."""

    def test_ntlm_handshake_stays_on_one_server_connection(self):
        """401, type 1 -> type 2, type 3 -> 200 on the connection of the type 1; a
        second client's handshake gets a connection of its own."""
        ntlm = NtlmOrigin()
        proxy = Proxy(cache=False).start()
        type1 = base64.b64encode(b"NTLMSSP\x00\x01\x00\x00\x00" + b"\x00" * 24).decode()
        type3 = base64.b64encode(b"NTLMSSP\x00\x03\x00\x00\x00" + b"\x00" * 56).decode()
        try:
            for client in range(2):
                with socket.create_connection(("127.0.0.1", proxy.port), timeout=15) as c:
                    statuses = []
                    for auth in ("", "Authorization: NTLM %s\r\n" % type1,
                                 "Authorization: NTLM %s\r\n" % type3):
                        c.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n%s\r\n"
                                   % (ntlm.origin.url("/ntlm"), auth)).encode())
                        got = b""
                        while b"\r\n\r\n" not in got:
                            chunk = c.recv(65536)
                            if not chunk:
                                break
                            got += chunk
                        status, headers, body = split_response(got)
                        length = int(headers.get("content-length", "0"))
                        while len(body) < length:
                            chunk = c.recv(65536)
                            if not chunk:
                                break
                            body += chunk
                        statuses.append(status)
                    self.assertEqual([401, 401, 200], statuses, "client %d" % client)
                    self.assertEqual(b"granted", body)
            self.assertEqual(2, len(ntlm.negotiated))
        finally:
            ntlm.origin.stop()
            proxy.stop()


def padded_head(first, size):
    """first, then "X-Pad: aaa..." lines: exactly size bytes in all."""
    head = first
    while len(head) < size:
        left = size - len(head)
        line = left if left <= 1000 else (1000 if left - 1000 >= 10 else left - 10)
        head += b"X-Pad: " + b"a" * (line - 9) + b"\r\n"
    return head


class MalformedHeads(unittest.TestCase):
    """Heads at the edges of the header reader, from clients and origins."""

    @classmethod
    def setUpClass(cls):
        cls.proxy = Proxy(general=LIMITS, cache=False).start()

    @classmethod
    def tearDownClass(cls):
        cls.proxy.stop()

    def test_full_block_closed_by_a_bare_newline(self):
        """Lines filling the header block to two bytes short, then a bare LF: answered, both ways."""
        for block in (1024, 2048, 4096):
            with self.subTest(block=block):
                reply = padded_head(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", block - 2) + b"\nhello"
                origin = ScriptedOrigin([reply + ScriptedOrigin.CLOSE])
                try:
                    request = padded_head(b"GET %s HTTP/1.1\r\nConnection: close\r\n" % origin.url("/pad").encode(),
                                          block - 2)
                    data, _ = raw_exchange(self.proxy.port, request + b"\n")
                    status, headers, body = split_response(data)
                    self.assertEqual(200, status, data[:300])
                    self.assertEqual(b"hello", body)
                    self.assertEqual(1, len(origin.requests))
                    self.assertIn(b"X-Pad: aaa", origin.requests[0][1])
                finally:
                    origin.stop()

    def test_del_never_reaches_the_origin(self):
        """DEL in the path is stripped with the other control characters."""
        origin = ScriptedOrigin([b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"])
        try:
            data, _ = raw_exchange(self.proxy.port,
                                   b"GET %s HTTP/1.1\r\nConnection: close\r\n\r\n"
                                   % origin.url("/a\x7fb\x7f").encode())
            self.assertEqual(200, split_response(data)[0], data[:300])
            self.assertEqual(1, len(origin.requests))
            self.assertTrue(origin.requests[0][1].startswith(b"GET /ab HTTP/1.1\r\n"),
                            origin.requests[0][1][:200])
        finally:
            origin.stop()

    def test_nul_in_the_head_is_a_bad_request(self):
        """A NUL byte in a request head: 400, the connection closed, one true log line."""
        data, closed = raw_exchange(self.proxy.port,
                                    b"GET http://127.0.0.1:1/ HTTP/1.1\r\nX-A: a\x00b\r\n\r\n")
        self.assertEqual(400, split_response(data)[0], data[:300])
        self.assertTrue(closed)
        self.assertTrue(self.proxy.wait_log("request header holds a NUL byte, refused"), self.proxy.log()[-2000:])
        self.assertNotIn("timeout waiting for header", self.proxy.log())


class BrokenConsole(unittest.TestCase):
    """Standard output on a pipe whose reader is gone."""

    def setUp(self):
        self.inst = Install()

    def tearDown(self):
        self.inst.cleanup()

    def test_closed_pipe_does_not_loop(self):
        """After EPIPE the echo stops, the SIGPIPE is logged once, the log file goes on."""
        p = self.inst.start_foreground()
        self.assertTrue(self.inst.wait_log("listening on"), self.inst.log_text())
        p.stdout.close()
        for _ in range(3):
            p.send_signal(signal.SIGUSR2)
            time.sleep(0.3)
        time.sleep(2)
        text = self.inst.log_text()
        self.assertIsNone(p.poll())
        self.assertLessEqual(text.count("Broken pipe"), 1)
        self.assertEqual(3, text.count("Recieved Test Signal for USR2"), text[-2000:])
        self.assertLess(os.path.getsize(self.inst.log), 1024 * 1024)


if __name__ == "__main__":
    unittest.main()
