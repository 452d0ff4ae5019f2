"""The Kaspersky and Sophie adapters against scripted stand-ins of their
daemons, with nginx as the origin. Each stand-in records what it got (the
command and switches, the file's mode, size and bytes while the proxy
waits for the verdict, the QUIT line) and answers from a table: infected
with and without a name, clean, error, unknown code, short replies, a
reply ended by the close, closed, silent, endless. A block sends the
virus page with status 200; every failure lets the body through with its
log line and within the general time-out. After every case the proxy's
temporary directory is empty. Skipped without nginx.

F-Prot's stand-in is an HTTP service on 127.0.0.1 at the daemon's fixed
ports 10200-10204 (CTest keeps other tests off them); it records the
path and query of each GET with the file's facts and answers with an XML
document from the table, a malformed one, an error, or silence. A block
answers with status 202."""

import http.server
import os
import socket
import threading
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxytest import NGINX, Curl, Nginx  # noqa: E402
from quilltest import wait_for  # noqa: E402
from scantest import ScannerProxy, StandIn, answer, file_facts, read_line  # noqa: E402

BODY = b"body for the scanners " * 3000
TIMEOUT = 3


def get(proxy, url):
    c = Curl(proxy.port, url)
    try:
        return c.status, c.body()
    finally:
        c.cleanup()


class Script:
    """The reply the stand-in gives to the next connection."""
    reply = b""


def kaspersky_handler(script):
    def handler(conn, record):
        line = read_line(conn)
        record["request"] = line
        parts = line.decode(errors="replace").rstrip("\r\n").split(" ")
        if len(parts) == 3:
            record["file"] = file_facts(parts[2])
        answer(conn, script.reply, silence=3 * TIMEOUT)
        # A reply without a final line feed ends where the daemon closes.
        if isinstance(script.reply, bytes) and script.reply.endswith(b"\n"):
            conn.settimeout(2)
            try:
                record["quit"] = read_line(conn)
            except OSError:
                pass
    return handler


def sophie_unix_handler(script):
    def handler(conn, record):
        line = read_line(conn)
        record["request"] = line
        record["file"] = file_facts(line.decode(errors="replace").rstrip("\n"))
        answer(conn, script.reply, silence=3 * TIMEOUT)
    return handler


def sophie_tcp_handler(script):
    def handler(conn, record):
        line = read_line(conn)
        record["request"] = line
        first, final = script.reply
        answer(conn, first, silence=3 * TIMEOUT)
        if first != b"OK\n":
            return
        name, _, size = line.decode(errors="replace").rstrip("\n").partition("/")
        want = int(size) if size.isdigit() else 0
        data = b""
        while len(data) < want:
            chunk = conn.recv(65536)
            if not chunk:
                break
            data += chunk
        record["data"] = data
        answer(conn, final, silence=3 * TIMEOUT)
    return handler


class OriginCase(unittest.TestCase):
    """nginx serving BODY for the class's cases."""

    @classmethod
    def setUpClass(cls):
        cls.nginx = Nginx({"file.bin": BODY}).start()
        cls.counter = 0

    @classmethod
    def tearDownClass(cls):
        cls.nginx.stop()

    def url(self):
        # A new URL per case: a clean object would not be scanned again.
        type(self).counter += 1
        return self.nginx.url("/file.bin?case=%d" % self.counter)


@unittest.skipUnless(NGINX, "nginx not installed")
class ScannerStandInTest(OriginCase):

    def run_table(self, proxy, daemon, script, scanner, cases, check_record):
        for name, reply, outcome, lines in cases:
            with self.subTest(name):
                script.reply = reply
                count = len(daemon.records)
                started = time.monotonic()
                status, body = get(proxy, self.url())
                self.assertLess(time.monotonic() - started, 4 * TIMEOUT)
                self.assertEqual(200, status)
                if outcome == "block":
                    self.assertIn(("%s found the virus" % scanner).encode(), body)
                    self.assertNotEqual(BODY, body)
                else:
                    self.assertEqual(BODY, body)
                for line in lines:
                    self.assertTrue(proxy.wait_log(line, 5), (line, proxy.log()[-2000:]))
                self.assertEqual(count + 1, len(daemon.records))
                check_record(daemon.records[-1], reply)
                self.assertEqual([], proxy.temp_files())

    def test_kaspersky(self):
        script = Script()
        daemon = StandIn(kaspersky_handler(script))
        self.addCleanup(daemon.stop)
        proxy = ScannerProxy("kaspersky", {"enabled": "true", "template": "",
                                           "socket": daemon.path}, timeout=TIMEOUT)
        proxy.start()
        self.addCleanup(proxy.stop)
        error = "error checking file for viruses"
        cases = [
            ("named find", b"201 ready\r\n322 Test.Named more text\r\n230 infected\r\n",
             "block", ["detected Test.Named virus with Kaspersky"]),
            ("find without a name", b"230 infected\r\n", "block",
             ["detected  virus with Kaspersky"]),
            ("short 322", b"322\r\n230\r\n", "block", ["detected  virus with Kaspersky"]),
            ("progress then clean", b"201 a\r\n321 b\r\n325 c\r\n220 clean\r\n", "pass",
             ["no viruses detected by Kaspersky"]),
            ("clean ended by the close", b"220 clean", "pass",
             ["no viruses detected by Kaspersky"]),
            ("unknown code", b"501 what\r\n", "pass",
             ["unknown response from Kaspersky daemon: 501 what", error]),
            ("one digit", b"1\r\n", "pass", ["unknown response from Kaspersky daemon: 1"]),
            ("101 progress lines", b"201 a\r\n" * 101 + b"220 clean\r\n", "pass", [error]),
            ("closed", "close", "pass", [error]),
            ("silent", "silent", "pass", [error]),
            ("line without end", "endless", "pass", [error]),
        ]

        def check(record, reply):
            request = record["request"].decode(errors="replace")
            self.assertTrue(request.startswith("SCAN xmQPRSTUWabcdefghi " + proxy.tempdir + "/ss"),
                            request)
            self.assertTrue(request.endswith("\r\n"))
            self.assertEqual((0o600, len(BODY), BODY), record["file"])
            decided = (isinstance(reply, bytes) and reply.endswith(b"\r\n") and
                       reply.count(b"\r\n") <= 100 and (b"220" in reply or b"230" in reply))
            if decided:
                self.assertEqual(b"QUIT\r\n", record.get("quit"))

        self.run_table(proxy, daemon, script, "Kaspersky", cases, check)
        # Only the two clean verdicts: no failure ended as clean.
        self.assertEqual(2, proxy.log().count("no viruses detected by Kaspersky"))

    def test_kaspersky_paths_out_of_bounds(self):
        """A socket path over 107 bytes and a temporary path over 63 bytes
        are refused, never cut into another name."""
        long_socket = "/tmp/" + "k" * 110
        proxy = ScannerProxy("kaspersky", {"enabled": "true", "template": "",
                                           "socket": long_socket}, timeout=TIMEOUT)
        proxy.start()
        self.addCleanup(proxy.stop)
        status, body = get(proxy, self.url())
        self.assertEqual(BODY, body)
        self.assertTrue(proxy.wait_log("connection to Kaspersky daemon failed"))
        self.assertTrue(proxy.wait_log("error checking file for viruses"))

        script = Script()
        script.reply = b"220 clean\r\n"
        daemon = StandIn(kaspersky_handler(script))
        self.addCleanup(daemon.stop)
        deep = ScannerProxy("kaspersky", {"enabled": "true", "template": "",
                                          "socket": daemon.path}, timeout=TIMEOUT,
                            tempdir_depth=60)
        deep.start()
        self.addCleanup(deep.stop)
        status, body = get(deep, self.url())
        self.assertEqual(BODY, body)
        self.assertTrue(deep.wait_log("error checking file for viruses"))
        time.sleep(0.3)
        self.assertEqual([], [r for r in daemon.records if r.get("request")])
        self.assertEqual([], deep.temp_files())

    def test_sophie_unix(self):
        script = Script()
        daemon = StandIn(sophie_unix_handler(script))
        self.addCleanup(daemon.stop)
        proxy = ScannerProxy("sophie", {"enabled": "true", "socket": daemon.path, "host": "",
                                        "port": "0", "template": ""}, timeout=TIMEOUT)
        proxy.start()
        self.addCleanup(proxy.stop)
        error = "error checking file for viruses"
        cases = [
            ("named find", b"1:Test.Sophie\r\n", "block", ["detected Test.Sophie virus with Sophie"]),
            ("find ended by the close", b"1 Test.Closing", "block",
             ["detected Test.Closing virus with Sophie"]),
            ("find without a name", b"1", "block", ["detected  virus with Sophie"]),
            ("clean", b"0\n", "pass", ["no viruses detected by Sophie"]),
            ("error", b"-1\n", "pass", [error]),
            ("closed", "close", "pass", [error]),
            ("silent", "silent", "pass", [error]),
            ("reply without end", "endless", "pass", [error]),
        ]

        def check(record, reply):
            request = record["request"].decode(errors="replace")
            self.assertTrue(request.startswith(proxy.tempdir + "/ss"), request)
            self.assertTrue(request.endswith("\n"))
            self.assertEqual((0o644, len(BODY), BODY), record["file"])

        self.run_table(proxy, daemon, script, "Sophie", cases, check)

    def test_sophie_tcp(self):
        script = Script()
        daemon = StandIn(sophie_tcp_handler(script), unix=False)
        self.addCleanup(daemon.stop)
        proxy = ScannerProxy("sophie", {"enabled": "true", "socket": "", "host": "127.0.0.1",
                                        "port": str(daemon.port), "template": ""},
                             timeout=TIMEOUT)
        proxy.start()
        self.addCleanup(proxy.stop)
        error = "error checking file for viruses"
        no_ok = "'OK' not returned from Sophie"
        cases = [
            ("named find", (b"OK\n", b"1:Test.Tcp\r\n"), "block", ["detected Test.Tcp virus with Sophie"]),
            ("clean", (b"OK\n", b"0\n"), "pass", ["No virus Found"]),
            ("error", (b"OK\n", b"-1\n"), "pass", [error]),
            ("closed after the bytes", (b"OK\n", "close"), "pass", [error]),
            ("silent after the bytes", (b"OK\n", "silent"), "pass", [error]),
            ("no OK", (b"NO\n", b""), "pass", [no_ok]),
            ("closed before OK", ("close", b""), "pass", [no_ok]),
            ("silent before OK", ("silent", b""), "pass", [no_ok]),
        ]

        def check(record, reply):
            request = record["request"].decode(errors="replace")
            self.assertRegex(request, r"^ss\w{6}/%d\n$" % len(BODY))
            if reply[0] == b"OK\n":
                self.assertEqual(BODY, record.get("data"))

        self.run_table(proxy, daemon, script, "Sophie", cases, check)

    def test_sophie_unknown_host(self):
        proxy = ScannerProxy("sophie", {"enabled": "true", "socket": "",
                                        "host": "no-such-host.invalid", "port": "4010",
                                        "template": ""}, timeout=TIMEOUT)
        proxy.start()
        self.addCleanup(proxy.stop)
        status, body = get(proxy, self.url())
        self.assertEqual(BODY, body)
        self.assertTrue(proxy.wait_log("Unknown host no-such-host.invalid \n"))
        self.assertEqual([], proxy.temp_files())


FPROT_PORTS = range(10200, 10205)


def fprot_xml(summary, name=None, doctype=False):
    detected = "<detected><name>%s</name></detected>" % name if name else ""
    head = ('<!DOCTYPE fprot-results [ <!ENTITY boom "x"> ]>' if doctype else "")
    return ('<?xml version="1.0"?>%s<fprot-results><summary>%s</summary>%s</fprot-results>'
            % (head, summary, detected)).encode()


class FProtDaemon:
    """The F-Prot stand-in on the given ports: every GET is recorded
    (path, query, the file's facts) and answered with script.reply, a
    (status, body) pair, or "silent"."""

    def __init__(self, script, ports):
        self.records = []
        self.servers = []
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                path, _, query = self.path.partition("?")
                record = {"port": self.server.server_address[1], "path": path,
                          "query": query, "file": file_facts(path)}
                outer.records.append(record)
                reply = script.reply
                if reply == "silent":
                    time.sleep(3 * TIMEOUT)
                    return
                status, body = reply
                self.send_response(status)
                self.send_header("Content-Type", "text/xml")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        for port in ports:
            server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
            server.daemon_threads = True
            threading.Thread(target=server.serve_forever, daemon=True).start()
            self.servers.append(server)

    def stop(self):
        for server in self.servers:
            server.shutdown()
            server.server_close()


@unittest.skipUnless(NGINX, "nginx not installed")
class FProtTest(OriginCase):

    def proxy(self, rules=None):
        proxy = ScannerProxy("fprot", {"enabled": "true", "template": ""}, rules=rules,
                             timeout=TIMEOUT)
        proxy.start()
        self.addCleanup(proxy.stop)
        return proxy

    def scan(self, proxy, daemon, outcome, lines, requests=1):
        count = len(daemon.records)
        started = time.monotonic()
        c = Curl(proxy.port, self.url())
        try:
            status, body = c.status, c.body()
        finally:
            c.cleanup()
        self.assertLess(time.monotonic() - started, 4 * TIMEOUT)
        if outcome == "block":
            self.assertEqual(202, status)
            self.assertIn(b"F-Prot found the virus", body)
            self.assertNotEqual(BODY, body)
        else:
            self.assertEqual(200, status)
            self.assertEqual(BODY, body)
        for line in lines:
            self.assertTrue(proxy.wait_log(line, 5), (line, proxy.log()[-2000:]))
        self.assertEqual(count + requests, len(daemon.records))
        self.assertEqual([], proxy.temp_files())
        return daemon.records[-1] if requests else None

    def test_table(self):
        script = Script()
        daemon = FProtDaemon(script, FPROT_PORTS)
        self.addCleanup(daemon.stop)
        proxy = self.proxy()
        parse_error = "error parsing F-Prot result XML"
        cases = [
            ("named find", (200, fprot_xml("infected", "Test.FProt")), "block",
             ["detected Test.FProt virus with F-Prot"], "Test.FProt"),
            ("named find behind an internal document type",
             (200, fprot_xml("INFECTED", "Test.Doctype", doctype=True)), "block",
             ["detected Test.Doctype virus with F-Prot"], "Test.Doctype"),
            ("find without a name", (200, fprot_xml("infected")), "block",
             ["detected unknown virus with F-Prot"], "unknown"),
            ("clean", (200, fprot_xml("clean")), "pass", ["no viruses detected by F-Prot"], None),
            ("error", (500, b"scanner error"), "pass", [parse_error], None),
            ("malformed XML", (200, b"<fprot-results><summary>infected</summary>"), "pass",
             [parse_error], None),
            ("no summary", (200, b"<fprot-results/>"), "pass", [parse_error], None),
            ("silent", "silent", "pass", ["connection to F-Prot daemon scanner failed"], None),
        ]
        for name, reply, outcome, lines, reason in cases:
            with self.subTest(name):
                script.reply = reply
                record = self.scan(proxy, daemon, outcome, lines)
                self.assertEqual(10200, record["port"])
                self.assertTrue(record["path"].startswith(proxy.tempdir + "/ss"), record)
                # A rule without options still sends the question mark.
                self.assertEqual("-remote-dtd%20", record["query"])
                self.assertEqual((0o600, len(BODY), BODY), record["file"])
                if reason:
                    entry = '"f-prot %s"' % reason
                    self.assertTrue(wait_for(lambda: entry in proxy.extended_log(), 5),
                                    proxy.extended_log()[-1000:])
        # Only the one clean verdict: no failure ended as clean.
        self.assertEqual(1, proxy.log().count("no viruses detected by F-Prot"))

    def test_switches_and_third_port(self):
        """The rule's switches in their order; only port 10202 answers, so
        the first two fetches fail and the third is used. With no daemon
        at all the body passes."""
        proxy = self.proxy([
            "<rule><enabled>true</enabled><comment>t</comment><profiles></profiles>"
            "<template></template><archive-depth>3</archive-depth>"
            "<options>onlymacro,archive,packed,ai,noheur,nomacro</options></rule>"])
        script = Script()
        script.reply = (200, fprot_xml("clean"))
        daemon = FProtDaemon(script, [10202])
        record = self.scan(proxy, daemon, "pass", ["no viruses detected by F-Prot"])
        daemon.stop()
        self.assertEqual(10202, record["port"])
        self.assertEqual("-archive=3%20-packed%20-ai%20-noheur%20-nomacro%20-onlymacro%20"
                         "-remote-dtd%20", record["query"])
        self.scan(proxy, daemon, "pass", ["connection to F-Prot daemon scanner failed"],
                  requests=0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
