"""A cached object refused to one client stays whole for the others.

Clients from 127.0.0.2 get the profile "students", clients from 127.0.0.1
none. For each way of refusing a response on a hit (a MIME rule, a keyword
rule and a virus-scanner rule for the students alone, the "mime" URL
command, an ICAP service for the students alone), nginx serves the object
once and it is stored; a download of it from 127.0.0.1 is then started and
left half read, a student is refused the same object, and afterwards the
half-read download arrives whole and the next request from 127.0.0.1 is a
hit the origin never sees. The scanner is Debian's clamd, the ICAP server
Debian's c-icap, both started by the test; their cases skip themselves
when the server is not installed."""

import http.client
import os
import socket
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from contenttest import CICAP, CICAP_MODULES, CIcap, content_config, icap_service, keyword_rule  # noqa: E402
from proxytest import NGINX, Nginx, Proxy  # noqa: E402
from quilltest import Install, free_port, wait_for  # noqa: E402
from scantest import CLAMD, MARKER, Clamd, scan_rule  # noqa: E402

STAFF = "127.0.0.1"
STUDENT = "127.0.0.2"
SIZE = 400000


def page(fill, marker=b""):
    """An HTML page of SIZE bytes with marker near its start."""
    head = b"<html><body><p>" + marker + b"</p>"
    return head + fill * ((SIZE - len(head)) // len(fill)) + b" " * ((SIZE - len(head)) % len(fill))


VIDEO = bytes(range(256)) * (SIZE // 256)
PAGES = {
    "/v/clip.mp4": VIDEO,
    "/k/page.html": page(b"plain words ", b"forbiddenword"),
    "/s/data.bin": MARKER + VIDEO[len(MARKER):],
    "/i/page.html": page(b"filtered text ", b"forbiddenword"),
}


def access(addresses, profiles):
    return ("<allow><enabled>true</enabled><comment>test</comment><log>false</log>"
            "<profiles></profiles><interfaces></interfaces><addresses>%s</addresses>"
            "<pam>false</pam><username></username><password></password>"
            "<permissions>proxy,commands</permissions><bypass></bypass>"
            "<interface-username></interface-username><interface-password></interface-password>"
            "<add-profiles>%s</add-profiles></allow>" % (addresses, profiles))


def mime_section(profiles):
    return ("<enabled>true</enabled><allow-first>false</allow-first><template></template>"
            "<deny><enabled>true</enabled><comment>video</comment><profiles>%s</profiles>"
            "<host></host><path></path><mime-type>^video/</mime-type><template></template>"
            "</deny>" % profiles)


def get(port, source, url, headers=None):
    """One GET through the proxy from the source address: (status, headers
    as a lower-case dict, body)."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60, source_address=(source, 0))
    try:
        conn.request("GET", url, headers=headers or {})
        r = conn.getresponse()
        return r.status, {k.lower(): v for k, v in r.getheaders()}, r.read()
    finally:
        conn.close()


class SlowDownload:
    """A GET from 127.0.0.1 with a small receive buffer, read as far as the
    first body bytes and then left alone, so that the proxy is still
    sending when the test goes on; finish() reads the rest."""

    def __init__(self, port, url):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.sock.settimeout(60)
        self.sock.bind((STAFF, 0))
        self.sock.connect(("127.0.0.1", port))
        self.sock.sendall(b"GET %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n" % url.encode())
        self.data = b""
        while b"\r\n\r\n" not in self.data or len(self.data.partition(b"\r\n\r\n")[2]) == 0:
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            self.data += chunk

    def finish(self):
        """(head text, body) once the proxy closed the connection."""
        while True:
            chunk = self.sock.recv(65536)
            if not chunk:
                break
            self.data += chunk
        self.sock.close()
        head, _, body = self.data.partition(b"\r\n\r\n")
        return head.decode(errors="replace"), body


@unittest.skipUnless(NGINX, "nginx is not installed")
class RefusedHit(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        locations = ("location /v/ { types { video/mp4 mp4; } expires 1h; }\n"
                     "    location / { expires 1h; }\n")
        cls.origin = Nginx({}, locations=locations, gzip=False)
        for path, data in PAGES.items():
            full = os.path.join(cls.origin.root, path.lstrip("/"))
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(data)
        cls.origin.start()

    @classmethod
    def tearDownClass(cls):
        cls.origin.stop()

    def origin_count(self, path):
        return sum(1 for _, _, line, _ in self.origin.requests() if line.split()[1] == path)

    def proxy(self, sections):
        port = free_port()
        text = content_config(port, sections, general={"timeout": "30", "ctimeout": "30"},
                              allow_rules=[access(STUDENT, "students"), access(STAFF, "")],
                              cache=True)
        p = Proxy.__new__(Proxy)
        p.port = port
        p.inst = Install(config=text)
        p.proc = None
        self.addCleanup(p.stop)
        return p.start()

    def stored(self, p, url):
        """Asks from 127.0.0.1 until the object is served as a hit."""
        def hit():
            status, headers, _ = get(p.port, STAFF, url)
            return status == 200 and "HIT" in headers.get("x-cache", "")
        self.assertTrue(wait_for(hit, 20), p.log())

    def run_case(self, p, path, refused, student_url=None, student=STUDENT):
        """The object of path stored, a staff download left half read, the
        refusal (refused(status, body) says the answer was one), then the
        download and the next staff request checked."""
        url = self.origin.url(path)
        self.stored(p, url)
        before = self.origin_count(path)
        slow = SlowDownload(p.port, url)
        status, _, body = get(p.port, student, student_url or url)
        self.assertTrue(refused(status, body), (status, body[:300], p.log()[-3000:]))
        head, got = slow.finish()
        self.assertIn("200", head.splitlines()[0])
        self.assertIn("HIT", head)
        self.assertEqual(len(PAGES[path]), len(got))
        self.assertTrue(got == PAGES[path], "the download under way was damaged")
        status, headers, body = get(p.port, STAFF, url)
        self.assertEqual(200, status)
        self.assertIn("HIT", headers.get("x-cache", ""), p.log()[-3000:])
        self.assertTrue(body == PAGES[path])
        self.assertEqual(before, self.origin_count(path), "the refused copy was fetched again")
        self.assertNotIn("failed to delete file", p.log())

    def test_refusals_on_a_hit(self):
        """Each refusal on a hit leaves the object and its readers alone."""
        def blocked(status, body):
            return status in (200, 403) and b"blocked" in body.lower()

        cases = [
            ("MIME rule for one profile", {"mime-filtering": mime_section("students")},
             "/v/clip.mp4", blocked, None),
            ("keyword rule for one profile",
             {"keywords-filtering": "<enabled>true</enabled><threshold>50</threshold>"
                                    "<template></template>" +
                                    keyword_rule("forbiddenword", 100, profiles="students")},
             "/k/page.html", lambda s, b: s != 400 and b != PAGES["/k/page.html"], None),
            ("mime command", {"mime-filtering": mime_section("students")},
             "/v/clip.mp4", lambda s, b: b"<title>MIME filter match" in b, "xx--mime."),
        ]
        for what, sections, path, refused, command in cases:
            with self.subTest(what):
                p = self.proxy(sections)
                student_url = None
                if command:
                    student_url = self.origin.url(path).replace("//", "//" + command, 1)
                self.run_case(p, path, refused, student_url, STAFF if command else STUDENT)

    @unittest.skipUnless(os.path.exists(CLAMD), "clamd is not installed")
    def test_scanner_refusal_on_a_hit(self):
        """clamd finds the test signature for a student: the copy stays."""
        clamd = Clamd(stream_max="2M")
        self.addCleanup(clamd.cleanup)
        clamd.start()
        section = ("<enabled>true</enabled><address>%s</address><port>0</port>"
                   "<template></template>" % clamd.socket + scan_rule(profiles="students"))
        p = self.proxy({"clamav": section})
        self.run_case(p, "/s/data.bin", lambda s, b: MARKER not in b and s != 400)
        self.assertGreater(clamd.scans(), 0)

    @unittest.skipUnless(os.path.exists(CICAP) and
                         os.path.exists(CICAP_MODULES + "/srv_content_filtering.so"),
                         "c-icap is not installed")
    def test_icap_refusal_on_a_hit(self):
        """c-icap blocks the page for a student: the copy stays."""
        cicap = CIcap("Service srv_cfg_filter srv_content_filtering.so\n"
                      "srv_content_filtering.MaxBodyData 2M\n"
                      "srv_content_filtering.Match BadWord body /forbiddenword/i score=10\n"
                      "srv_content_filtering.Profile default block score{BadWord>5}\n")
        self.addCleanup(cicap.cleanup)
        cicap.start()
        p = self.proxy({"icap": "<enabled>true</enabled>" +
                        icap_service("127.0.0.1", cicap.port, "/srv_content_filtering", "respmod",
                                     profiles="students")})
        self.run_case(p, "/i/page.html",
                      lambda s, b: b != PAGES["/i/page.html"] and s != 400)



def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            break
        data += chunk
    return data


class CopyDiesUnsent(unittest.TestCase):
    def test_reader_goes_to_the_server(self):
        """A client joins an object whose server then fails before any of
        its body arrived: the client's request goes to the server as a miss
        and gets the whole body; the failed object is not kept."""
        body = bytes(range(256)) * 20
        head = (b"HTTP/1.1 200 OK\r\nCache-Control: max-age=3600\r\nContent-Length: %d\r\n\r\n"
                % len(body))
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        self.addCleanup(listener.close)
        port = listener.getsockname()[1]
        joined = threading.Event()
        requests = []

        def serve():
            first, _ = listener.accept()
            requests.append(read_request(first))
            first.sendall(head)           # the header, then nothing
            joined.wait(30)
            first.close()                 # the server fails
            second, _ = listener.accept()
            requests.append(read_request(second))
            second.sendall(head + body)
            read_request(second)
            second.close()

        origin = threading.Thread(target=serve, daemon=True)
        origin.start()
        p = Proxy()
        p.start()
        self.addCleanup(p.stop)
        url = "http://127.0.0.1:%d/dies" % port
        results = {}

        def ask(name):
            try:
                results[name] = get(p.port, STAFF, url)
            except (OSError, http.client.HTTPException) as e:
                results[name] = e

        writer = threading.Thread(target=ask, args=("writer",))
        writer.start()
        self.assertTrue(p.wait_log("create: " + url), p.log())
        reader = threading.Thread(target=ask, args=("reader",))
        reader.start()
        self.assertTrue(p.wait_log("hit: " + url), p.log())
        joined.set()
        reader.join(60)
        writer.join(60)
        self.assertIsInstance(results["reader"], tuple, "the reader got no whole answer")
        status, headers, got = results["reader"]
        self.assertEqual(200, status)
        self.assertTrue(got == body, "the reader got %d bytes" % len(got))
        self.assertIn("MISS", headers.get("x-cache", ""))
        self.assertTrue(p.wait_log("copy lost before it was sent, fetching: " + url), p.log())
        self.assertEqual(2, len(requests))
        self.assertNotIn(b"If-Modified-Since", requests[1])
        self.assertFalse(isinstance(results["writer"], tuple) and results["writer"][2] == body)

if __name__ == "__main__":
    unittest.main()
