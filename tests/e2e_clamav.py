"""The ClamAV adapter against Debian's clamd, with nginx as the origin: an
infected download gets the virus page (name, scanner, log lines, extended
record), a clean one passes byte-identical, a marker split across two
stream chunks is found, clamd over TCP works as over its UNIX socket, a
body over clamd's stream limit or a stopped clamd lets the response pass
with the error line, a clean cached object is not scanned again, and an
object that was not scanned clean (failed or bypassed scan) is scanned on
the next request. A python stand-in covers what clamd never does: silence,
replies of the wrong shape, a line without end. After every case the
proxy's temporary directory is empty. Skipped without clamd or nginx."""

import os
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxytest import NGINX, Curl, Nginx, raw_exchange, split_response  # noqa: E402
from scantest import (CLAMD, MARKER, VIRUS_NAME, Clamd, ScannerProxy, StandIn,  # noqa: E402
                      answer, hold, read_line)

ERROR_LINE = "error: ClamAV: failed to check file for viruses"

FILES = {
    "clean.bin": bytes(range(256)) * 512,
    "clean2.bin": b"clean body " * 5000,
    "clean3.bin": b"another clean body " * 4000,
    "infected.bin": b"a" * 1000 + MARKER + b"b" * 1000,
    "infected2.bin": b"c" * 5000 + MARKER,
    # The marker straddles the first 64 KiB chunk of the stream.
    "split.bin": b"s" * (65536 - 10) + MARKER + b"t" * 100,
    # Above clamd's StreamMaxLength (1M) and below maxdbuffer (4M).
    "large.bin": b"L" * (2 * 1024 * 1024),
}


def get(proxy, url, *args):
    c = Curl(proxy.port, url, *args)
    try:
        return c.status, c.body(), c.headers()
    finally:
        c.cleanup()


@unittest.skipUnless(os.path.exists(CLAMD) and NGINX, "clamd or nginx not installed")
class ClamdTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.nginx = Nginx(FILES).start()
        cls.clamd = Clamd(stream_max="1M").start()

    @classmethod
    def tearDownClass(cls):
        cls.clamd.cleanup()
        cls.nginx.stop()

    def start_proxy(self, address=None, port=0, rules=None):
        proxy = ScannerProxy("clamav", {"enabled": "true",
                                        "address": address or self.clamd.socket,
                                        "port": str(port), "template": ""}, rules)
        proxy.start()
        self.addCleanup(proxy.stop)
        return proxy

    def test_downloads_through_clamd(self):
        """One table: what the client gets, what the log says."""
        cases = [
            # (name, address kind, file, infected)
            ("infected over the UNIX socket", "unix", "infected.bin", True),
            ("clean over the UNIX socket", "unix", "clean2.bin", False),
            ("marker split across two chunks", "unix", "split.bin", True),
            ("infected over TCP", "tcp", "infected2.bin", True),
            ("clean over TCP", "tcp", "clean3.bin", False),
        ]
        proxies = {"unix": self.start_proxy(),
                   "tcp": self.start_proxy("127.0.0.1", self.clamd.port)}
        for name, kind, path, infected in cases:
            with self.subTest(name):
                proxy = proxies[kind]
                status, body, headers = get(proxy, self.nginx.url("/" + path))
                self.assertEqual(200, status)
                if infected:
                    self.assertIn(b"ClamAV found the virus " + VIRUS_NAME.encode(), body)
                    self.assertNotIn(MARKER, body)
                    self.assertTrue(proxy.wait_log("ClamAV: detected %s virus" % VIRUS_NAME))
                    self.assertTrue(proxy.wait_access("TCP_DENIED"))
                    self.assertIn('"ClamAV %s"' % VIRUS_NAME, proxy.extended_log())
                else:
                    self.assertEqual(FILES[path], body)
                self.assertEqual([], proxy.temp_files())
        for proxy in proxies.values():
            self.assertNotIn(ERROR_LINE, proxy.log())

    def test_body_over_the_stream_limit_passes_and_is_not_marked_clean(self):
        proxy = self.start_proxy()
        before = proxy.log().count(ERROR_LINE)
        for round_ in range(2):
            status, body, headers = get(proxy, self.nginx.url("/large.bin"))
            self.assertEqual(200, status)
            self.assertEqual(FILES["large.bin"], body)
        # Both requests were sent to clamd: the first was not marked clean.
        self.assertTrue(proxy.wait_log(ERROR_LINE))
        self.assertEqual(before + 2, proxy.log().count(ERROR_LINE))
        self.assertEqual([], proxy.temp_files())

    def test_clean_cached_object_is_not_scanned_again(self):
        proxy = self.start_proxy()
        get(proxy, self.nginx.url("/clean.bin"))
        scans = self.clamd.scans()
        status, body, headers = get(proxy, self.nginx.url("/clean.bin"))
        self.assertEqual(FILES["clean.bin"], body)
        self.assertIn("HIT", headers.get("x-cache", ""))
        time.sleep(0.3)
        self.assertEqual(scans, self.clamd.scans())

    def test_bypassed_scan_leaves_the_object_unmarked(self):
        proxy = self.start_proxy()
        req = ("GET http://xx--bypass[a].127.0.0.1:%d/infected2.bin HTTP/1.1\r\nHost: x\r\n"
               "Connection: close\r\n\r\n" % self.nginx.port).encode()
        scans = self.clamd.scans()
        data, closed = raw_exchange(proxy.port, req)
        status, headers, body = split_response(data)
        self.assertEqual(FILES["infected2.bin"], body)   # the user chose to bypass
        self.assertEqual(scans, self.clamd.scans())
        # A new client connection without the bypass: scanned, even as a hit.
        status, body, headers = get(proxy, self.nginx.url("/infected2.bin"))
        self.assertIn(b"ClamAV found the virus", body)
        self.assertTrue(proxy.wait_log("ClamAV: detected %s virus" % VIRUS_NAME))


@unittest.skipUnless(os.path.exists(CLAMD) and NGINX, "clamd or nginx not installed")
class ClamdStoppedTest(unittest.TestCase):
    def test_stopped_clamd_fails_open_and_the_next_request_is_scanned(self):
        nginx = Nginx(FILES).start()
        self.addCleanup(nginx.stop)
        clamd = Clamd()
        self.addCleanup(clamd.cleanup)
        proxy = ScannerProxy("clamav", {"enabled": "true", "address": clamd.socket,
                                        "port": "0", "template": ""})
        proxy.start()
        self.addCleanup(proxy.stop)

        status, body, headers = get(proxy, nginx.url("/clean.bin"))
        self.assertEqual(FILES["clean.bin"], body)
        self.assertTrue(proxy.wait_log("ClamAV: Please Verify that ClamAV is listening on %s"
                                       % clamd.socket))
        self.assertTrue(proxy.wait_log(ERROR_LINE))
        self.assertEqual([], proxy.temp_files())

        clamd.start()
        status, body, headers = get(proxy, nginx.url("/clean.bin"))
        self.assertEqual(FILES["clean.bin"], body)
        self.assertEqual(1, clamd.scans())


def clamd_standin(reply):
    """A clamd stand-in that reads the INSTREAM request whole and then does
    what reply says: bytes to send, "silent", or "endless"."""
    def handler(conn, record):
        record["command"] = read_line(conn)
        total = 0
        while True:
            head = b""
            while len(head) < 4:
                chunk = conn.recv(4 - len(head))
                if not chunk:
                    return
                head += chunk
            n = int.from_bytes(head, "big")
            if n == 0:
                break
            left = n
            while left:
                chunk = conn.recv(min(left, 65536))
                if not chunk:
                    return
                left -= len(chunk)
            total += n
            record.setdefault("chunks", []).append(n)
        record["size"] = total
        answer(conn, reply, silence=30)
        if isinstance(reply, bytes):
            hold(conn, 1)
    return handler


@unittest.skipUnless(NGINX, "nginx not installed")
class ClamdStandInTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.nginx = Nginx(FILES).start()

    @classmethod
    def tearDownClass(cls):
        cls.nginx.stop()

    def test_replies_clamd_never_gives_fail_open(self):
        cases = [
            ("one word", b"OK\n"),
            ("four words", b"stream: a b FOUND\n"),
            ("error naming a word", b"stream: x ERROR\n"),
            ("two words not OK", b"stream: FOUND\n"),
            ("line without end", "endless"),
            ("silent", "silent"),
        ]
        for name, reply in cases:
            with self.subTest(name):
                daemon = StandIn(clamd_standin(reply))
                proxy = ScannerProxy("clamav", {"enabled": "true", "address": daemon.path,
                                                "port": "0", "template": ""}, timeout=3)
                proxy.start()
                try:
                    started = time.monotonic()
                    status, body, headers = get(proxy, self.nginx.url("/clean3.bin"))
                    self.assertLess(time.monotonic() - started, 15)
                    self.assertEqual(FILES["clean3.bin"], body)
                    self.assertTrue(proxy.wait_log(ERROR_LINE))
                    self.assertNotIn("detected", proxy.log())
                    self.assertEqual(b"nINSTREAM\n", daemon.records[0]["command"])
                    self.assertEqual(len(FILES["clean3.bin"]), daemon.records[0]["size"])
                    self.assertEqual([], proxy.temp_files())
                finally:
                    proxy.stop()
                    daemon.stop()

    def test_chunks_are_at_most_64_kib(self):
        daemon = StandIn(clamd_standin(b"stream: OK\n"))
        self.addCleanup(daemon.stop)
        proxy = ScannerProxy("clamav", {"enabled": "true", "address": daemon.path,
                                        "port": "0", "template": ""})
        proxy.start()
        self.addCleanup(proxy.stop)
        status, body, headers = get(proxy, self.nginx.url("/split.bin"))
        self.assertEqual(FILES["split.bin"], body)
        self.assertEqual([65536, len(FILES["split.bin"]) - 65536], daemon.records[0]["chunks"])

    def test_socket_path_too_long_is_refused(self):
        path = "/tmp/" + "d" * 120 + "/clamd.sock"
        proxy = ScannerProxy("clamav", {"enabled": "true", "address": path, "port": "0",
                                        "template": ""})
        proxy.start()
        self.addCleanup(proxy.stop)
        status, body, headers = get(proxy, self.nginx.url("/clean3.bin"))
        self.assertEqual(FILES["clean3.bin"], body)
        self.assertTrue(proxy.wait_log("ClamAV: Please Verify that ClamAV is listening on " + path))
        self.assertTrue(proxy.wait_log(ERROR_LINE))


if __name__ == "__main__":
    unittest.main(verbosity=2)
