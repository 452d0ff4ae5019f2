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
import pwd
import random
import shutil
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxytest import NGINX, Nginx, proxy_config  # noqa: E402
from quilltest import Install, free_port, wait_for  # noqa: E402

class Origin(Nginx):
    """nginx on a free loopback port with a directory per caching rule
    (fresh, nostore, stale, slow, cookie)."""

    LOCATIONS = ("if_modified_since before;\n"
                 "    location /fresh/ { expires 1h; }\n"
                 "    location /nostore/ { add_header Cache-Control no-store; }\n"
                 "    location /stale/ { add_header Expires \"Thu, 01 Jan 1998 00:00:00 GMT\"; }\n"
                 "    location /slow/ { expires 1h; limit_rate 1m; }\n"
                 "    location /cookie/ { expires 1h; add_header Set-Cookie \"session=$request_id\"; }\n")

    def __init__(self):
        super().__init__({}, locations=self.LOCATIONS, gzip=False)
        self.www = self.root
        for sub in ("fresh", "nostore", "stale", "slow", "cookie"):
            os.makedirs(os.path.join(self.www, sub))

    def put(self, path, data):
        full = os.path.join(self.www, path.lstrip("/"))
        with open(full, "wb") as f:
            f.write(data)
        # An hour old, so that If-Modified-Since with the time the proxy
        # stored it confirms the copy.
        old = os.stat(full).st_mtime - 3600
        os.utime(full, (old, old))

    def settle(self):
        """Waits until the log holds every request answered so far: nginx
        (one worker) writes a request's line right after its last byte, so
        once a request of our own, sent now, is in the log, so are they."""
        self.settles = getattr(self, "settles", 0) + 1
        marker = "/settle-%d" % self.settles
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            conn.request("GET", marker)
            conn.getresponse().read()
        finally:
            conn.close()
        wait_for(lambda: any(marker in line for _, _, line, _ in super(Origin, self).requests()))

    def requests(self, path):
        """The "METHOD STATUS" of every request the origin served for path
        (whatever its query)."""
        self.settle()
        out = []
        for _, _, line, status in super().requests():
            words = line.split()
            if len(words) == 3 and words[1].split("?")[0] == path:
                out.append("%s %d" % (words[0], status))
        return out


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
        self.addCleanup(self.origin.stop)
        self.origin.start()
        self.store = tempfile.mkdtemp(prefix="quill-store-")
        self.addCleanup(shutil.rmtree, self.store, True)
        self.port = free_port()
        self.inst = Install(config=proxy_config(self.port, store=self.store))
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
        self.origin.halt()
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
        self.origin.halt()
        self.stop_proxy()
        self.assertTrue(self.inst.wait_log("cache: starting graceful done"), self.inst.log_text())
        self.assertTrue(os.path.exists(os.path.join(self.store, "journal")))
        self.start_proxy()
        r = fetch(self.port, self.origin.url("/fresh/e.bin"))
        self.assertIsNotNone(r)
        self.assertEqual(200, r.status)
        self.assertEqual(data, r.body)
        self.assertIn("HIT", r.header("X-Cache"))


@unittest.skipUnless(NGINX, "nginx is not installed")
@unittest.skipUnless(os.geteuid() == 0, "needs root to run the daemon as another user")
class StoreWriteCheck(unittest.TestCase):
    """A daemon run as "proxy" on a store whose parts a run as root left
    behind: a store it cannot write is named in one line at start and its
    objects stay in memory; a store it can write gets the object's file."""

    CASES = (
        # name, what root left in the store, expected to be written
        ("all the run-as user's", (), True),
        ("tmp root's", ("tmp",), False),
        ("object subdirectory root's", ("00",), False),
        ("tmp a plain file", ("tmp-file",), False),
    )

    def test_store_write_check(self):
        user = pwd.getpwnam("proxy")
        origin = Origin()
        self.addCleanup(origin.stop)
        origin.start()
        data = random.Random(3).randbytes(20000)
        origin.put("/fresh/w.bin", data)
        for name, rooted, writable in self.CASES:
            with self.subTest(case=name):
                store = tempfile.mkdtemp(prefix="quill-store-")
                self.addCleanup(shutil.rmtree, store, True)
                for sub in ("tmp", "00"):
                    if sub in rooted:
                        os.mkdir(os.path.join(store, sub), 0o755)
                    elif sub + "-file" in rooted:
                        open(os.path.join(store, sub), "w").close()
                for d, dirs, files in os.walk(store):
                    for entry in [d] + [os.path.join(d, f) for f in files]:
                        if os.path.basename(entry) not in rooted:
                            os.chown(entry, user.pw_uid, user.pw_gid)
                port = free_port()
                inst = Install(config=proxy_config(port, store=store))
                self.addCleanup(inst.cleanup)
                os.chmod(inst.dir, 0o777)
                inst.start_foreground("-u", "proxy")
                self.assertTrue(inst.wait_log("listening on 127.0.0.1:%d" % port),
                                inst.log_text())
                line = ("warning: cache: store %s is not writable by proxy: objects are kept "
                        "in memory only\n" % store)
                self.assertEqual(0 if writable else 1, inst.log_text().count(line),
                                 inst.log_text())

                def served_as_hit():
                    r = fetch(port, origin.url("/fresh/w.bin"))
                    return r is not None and r.body == data and "HIT" in r.header("X-Cache")
                self.assertTrue(wait_for(served_as_hit, 10), inst.log_text())
                objects = [f for _, _, files in os.walk(store) for f in files
                           if len(f) == 32]
                self.assertEqual(1 if writable else 0, len(objects), inst.log_text())
                inst.cleanup()


if __name__ == "__main__":
    unittest.main()
