"""The object cache seen from outside, with nginx as the origin server: a
cacheable object is a hit the second time (byte-identical, X-Cache HIT, the
origin sees one request), a no-store object always goes to the origin, a
stale object is revalidated with If-Modified-Since and a 304 (and replaced
when it changed), a stopped origin gets the stale copy served, and the
cache survives a restart of the daemon through its journal.

Clients that ask while an object is still arriving all get it whole from
one fetch. The tests skip themselves when nginx is not installed."""

import http.client
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quilltest import SOURCE, Install, wait_for  # noqa: E402

NGINX = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx") else None)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_open(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


class Origin:
    """nginx on a free loopback port, serving files from its own directory
    and logging each request as "METHOD URI STATUS"."""

    CONF = """
worker_processes 1;
daemon off;
master_process off;
pid {d}/nginx.pid;
error_log {d}/error.log;
events {{ worker_connections 64; }}
http {{
    log_format origin '$request_method $uri $status';
    access_log {d}/access.log origin;
    client_body_temp_path {d}/tmp-body;
    proxy_temp_path {d}/tmp-proxy;
    fastcgi_temp_path {d}/tmp-fastcgi;
    uwsgi_temp_path {d}/tmp-uwsgi;
    scgi_temp_path {d}/tmp-scgi;
    if_modified_since before;
    server {{
        listen 127.0.0.1:{port};
        root {d}/www;
        location /fresh/ {{ expires 1h; }}
        location /nostore/ {{ add_header Cache-Control no-store; }}
        location /stale/ {{ add_header Expires "Thu, 01 Jan 1998 00:00:00 GMT"; }}
        location /slow/ {{ expires 1h; limit_rate 1m; }}
        location /cookie/ {{ expires 1h; add_header Set-Cookie "session=$request_id"; }}
    }}
}}
"""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="quill-origin-")
        os.chmod(self.dir, 0o755)
        self.www = os.path.join(self.dir, "www")
        for sub in ("fresh", "nostore", "stale", "slow", "cookie"):
            os.makedirs(os.path.join(self.www, sub))
        self.port = free_port()
        with open(os.path.join(self.dir, "nginx.conf"), "w") as f:
            f.write(self.CONF.format(d=self.dir, port=self.port))
        self.proc = None

    def put(self, path, data):
        full = os.path.join(self.www, path.lstrip("/"))
        with open(full, "wb") as f:
            f.write(data)
        # An hour old, so that If-Modified-Since with the time the proxy
        # stored it confirms the copy.
        old = os.stat(full).st_mtime - 3600
        os.utime(full, (old, old))

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def start(self):
        self.proc = subprocess.Popen(
            [NGINX, "-p", self.dir, "-c", os.path.join(self.dir, "nginx.conf"),
             "-e", os.path.join(self.dir, "error.log")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: port_open(self.port) or self.proc.poll() is not None, 10):
            raise RuntimeError("nginx did not start")
        if self.proc.poll() is not None:
            raise RuntimeError("nginx exited: %s" % self.error_log())

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def error_log(self):
        try:
            with open(os.path.join(self.dir, "error.log")) as f:
                return f.read()
        except OSError:
            return ""

    def requests(self, path):
        """The "METHOD STATUS" of every request the origin served for path."""
        try:
            with open(os.path.join(self.dir, "access.log")) as f:
                lines = f.read().splitlines()
        except OSError:
            return []
        out = []
        for line in lines:
            parts = line.split()
            if len(parts) == 3 and parts[1] == path:
                out.append(parts[0] + " " + parts[2])
        return out

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


def proxy_config(port, store):
    """The shipped configuration, listening on port, with its disk store in
    store."""
    with open(os.path.join(SOURCE, "etc", "quillmere.xml")) as f:
        text = f.read()
    network = ("<network>\n        <listen>\n            <enabled>true</enabled>\n"
               "            <comment>test</comment>\n            <port>%d</port>\n"
               "            <address>127.0.0.1</address>\n        </listen>\n    </network>" % port)
    text, count = re.subn(r"<network>.*?</network>", network, text, flags=re.S)
    assert count == 1
    text, count = re.subn(r"<directory>/var/cache/quillmere</directory>",
                          "<directory>%s</directory>" % store, text)
    assert count == 1, "the shipped configuration has no disk store"
    return text


class Reply:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers
        self.body = body

    def header(self, name):
        return self.headers.get(name.lower(), "")


def fetch(proxy_port, url, extra_headers=None, timeout=20):
    """GET url through the proxy; a Reply, or None when no HTTP answer came."""
    conn = http.client.HTTPConnection("127.0.0.1", proxy_port, timeout=timeout)
    try:
        conn.request("GET", url, headers=extra_headers or {})
        r = conn.getresponse()
        body = r.read()
        headers = {k.lower(): v for k, v in r.getheaders()}
        return Reply(r.status, headers, body)
    except (OSError, http.client.HTTPException):
        return None
    finally:
        conn.close()


@unittest.skipUnless(NGINX, "nginx is not installed")
class CacheEndToEnd(unittest.TestCase):
    def setUp(self):
        # Cleanups, unlike tearDown, also run when setUp skips or fails.
        self.origin = Origin()
        self.addCleanup(self.origin.cleanup)
        self.origin.start()
        self.store = tempfile.mkdtemp(prefix="quill-store-")
        self.addCleanup(shutil.rmtree, self.store, True)
        self.port = free_port()
        self.inst = Install(config=proxy_config(self.port, self.store))
        self.addCleanup(self.inst.cleanup)
        self.start_proxy()

    def start_proxy(self):
        """Starts the daemon and waits until this start listens."""
        line = "listening on 127.0.0.1:%d" % self.port
        before = self.inst.log_text().count(line)
        self.inst.start_foreground()
        self.assertTrue(wait_for(lambda: self.inst.log_text().count(line) > before, 10),
                        self.inst.log_text())

    def stop_proxy(self):
        self.inst.stop()
        self.inst.proc = None

    def test_hit_second_time(self):
        """A fresh object is served from the cache the second time, byte-identical."""
        data = random.Random(1).randbytes(300000)
        self.origin.put("/fresh/a.bin", data)
        first = fetch(self.port, self.origin.url("/fresh/a.bin"))
        self.assertIsNotNone(first)
        self.assertEqual(200, first.status)
        self.assertEqual(data, first.body)
        self.assertIn("MISS", first.header("X-Cache"))
        second = fetch(self.port, self.origin.url("/fresh/a.bin"))
        self.assertIsNotNone(second)
        self.assertEqual(200, second.status)
        self.assertEqual(data, second.body)
        self.assertIn("HIT", second.header("X-Cache"))
        self.assertEqual(["GET 200"], self.origin.requests("/fresh/a.bin"))

    def test_no_store_not_served_from_cache(self):
        """A no-store response goes to the origin every time."""
        self.origin.put("/nostore/b.txt", b"private stuff")
        for _ in range(2):
            r = fetch(self.port, self.origin.url("/nostore/b.txt"))
            self.assertIsNotNone(r)
            self.assertEqual(b"private stuff", r.body)
            self.assertNotIn("HIT", r.header("X-Cache"))
        self.assertEqual(["GET 200", "GET 200"], self.origin.requests("/nostore/b.txt"))

    def test_set_cookie_never_shared(self):
        """A fresh response that sets a cookie is not stored: a second client
        gets its own cookie from the origin, never the first client's."""
        self.origin.put("/cookie/s.txt", b"welcome")
        first = fetch(self.port, self.origin.url("/cookie/s.txt"))
        second = fetch(self.port, self.origin.url("/cookie/s.txt"))
        for r in (first, second):
            self.assertIsNotNone(r)
            self.assertEqual(b"welcome", r.body)
            self.assertIn("session=", r.header("Set-Cookie"))
            self.assertNotIn("HIT", r.header("X-Cache"))
        self.assertNotEqual(first.header("Set-Cookie"), second.header("Set-Cookie"))
        # nginx logs a request just after answering it.
        self.assertTrue(wait_for(lambda: self.origin.requests("/cookie/s.txt") ==
                                 ["GET 200", "GET 200"], 5), self.origin.requests("/cookie/s.txt"))

    def test_stale_revalidated_with_304(self):
        """An expired object is revalidated with If-Modified-Since; a 304 serves the copy."""
        self.origin.put("/stale/c.txt", b"stale but good")
        first = fetch(self.port, self.origin.url("/stale/c.txt"))
        self.assertEqual(b"stale but good", first.body)
        second = fetch(self.port, self.origin.url("/stale/c.txt"))
        self.assertIsNotNone(second)
        self.assertEqual(200, second.status)
        self.assertEqual(b"stale but good", second.body)
        self.assertIn("HIT", second.header("X-Cache"))
        self.assertEqual(["GET 200", "GET 304"], self.origin.requests("/stale/c.txt"))
        self.assertTrue(self.inst.wait_log("validated: " + self.origin.url("/stale/c.txt")),
                        self.inst.log_text())

    def test_changed_object_replaces_the_copy(self):
        """A stale object changed at the origin fails validation: the new body is
        served as a miss and replaces the copy."""
        self.origin.put("/stale/g.txt", b"old body")
        self.assertEqual(b"old body", fetch(self.port, self.origin.url("/stale/g.txt")).body)
        self.origin.put("/stale/g.txt", b"the new body")
        later = time.time() + 120   # newer than the time the proxy stored it
        os.utime(os.path.join(self.origin.www, "stale", "g.txt"), (later, later))
        r = fetch(self.port, self.origin.url("/stale/g.txt"))
        self.assertIsNotNone(r)
        self.assertEqual(200, r.status)
        self.assertEqual(b"the new body", r.body)
        self.assertIn("MISS", r.header("X-Cache"))
        self.assertNotIn("HIT", r.header("X-Cache"))
        self.assertEqual(["GET 200", "GET 200"], self.origin.requests("/stale/g.txt"))
        self.assertTrue(self.inst.wait_log("failed validation: " + self.origin.url("/stale/g.txt")),
                        self.inst.log_text())

    def test_stopped_origin_gets_stale_copy(self):
        """With the origin down, the stale copy is served instead of an error."""
        self.origin.put("/stale/d.txt", b"keep serving me")
        self.assertEqual(b"keep serving me", fetch(self.port, self.origin.url("/stale/d.txt")).body)
        self.origin.stop()
        r = fetch(self.port, self.origin.url("/stale/d.txt"))
        self.assertIsNotNone(r)
        self.assertEqual(200, r.status)
        self.assertEqual(b"keep serving me", r.body)
        self.assertTrue(self.inst.wait_log("cache: using unvalidated cache for failed connection"),
                        self.inst.log_text())

    def test_readers_join_while_written(self):
        """Clients asking while the object is still arriving all get it whole, from one fetch."""
        data = random.Random(3).randbytes(1 << 20)
        self.origin.put("/slow/f.bin", data)
        url = self.origin.url("/slow/f.bin")
        results = {}

        def one(i):
            results[i] = fetch(self.port, url, timeout=60)

        first = threading.Thread(target=one, args=(0,))
        first.start()
        self.assertTrue(self.inst.wait_log("create: " + url), self.inst.log_text())
        others = [threading.Thread(target=one, args=(i,)) for i in range(1, 6)]
        for t in others:
            t.start()
        for t in [first] + others:
            t.join(90)
        for i in range(6):
            self.assertIsNotNone(results.get(i), i)
            self.assertEqual(200, results[i].status, i)
            self.assertTrue(results[i].body == data, "client %d got %d bytes" % (i, len(results[i].body)))
        self.assertEqual(["GET 200"], self.origin.requests("/slow/f.bin"))

    def test_survives_restart(self):
        """The journal carries the cache across a restart: a hit with the origin down."""
        data = random.Random(2).randbytes(150000)
        self.origin.put("/fresh/e.bin", data)
        self.assertEqual(data, fetch(self.port, self.origin.url("/fresh/e.bin")).body)
        # The writer finishes the object after the client has its bytes:
        # wait until it is served as a hit before stopping the daemon.
        def served_as_hit():
            r = fetch(self.port, self.origin.url("/fresh/e.bin"))
            return r is not None and "HIT" in (r.header("X-Cache") or "")
        self.assertTrue(wait_for(served_as_hit, 10), self.inst.log_text())
        self.origin.stop()
        self.stop_proxy()
        self.assertTrue(self.inst.wait_log("cache: starting graceful done"), self.inst.log_text())
        self.assertTrue(os.path.exists(os.path.join(self.store, "journal")))
        self.start_proxy()
        r = fetch(self.port, self.origin.url("/fresh/e.bin"))
        self.assertIsNotNone(r)
        self.assertEqual(200, r.status)
        self.assertEqual(data, r.body)
        self.assertIn("HIT", r.header("X-Cache"))


if __name__ == "__main__":
    unittest.main()
