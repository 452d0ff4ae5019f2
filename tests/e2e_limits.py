"""The limits end to end: nginx as the origin (fixed-size files, a chunked
answer, /echo for uploads), curl and a keep-alive client through the
daemon. Request counts, deny windows, download caps (a file within the
remainder, one of exactly the remainder, one over it, a chunked answer
cut), upload caps on a first and a kept-alive request, exclude, cached
with a cache hit, the bypass option and the section switched off, and the
bandwidth of the client connection measured with lower bounds only."""

import http.client
import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxytest import CURL, ECHO_MODULE, NGINX, Curl, Nginx, Proxy, proxy_config  # noqa: E402
from quilltest import Install, replace_section, wait_for  # noqa: E402

FILES = {"f3000.bin": b"a" * 3000, "f2000.bin": b"b" * 2000, "f1000.bin": b"c" * 1000,
         "big.bin": b"d" * 100000, "fast.bin": b"e" * 100000}


# A chunked answer of 10000 bytes (the echo module sends no length).
CHUNKED = ('location = /chunked { default_type text/plain; '
           'echo_duplicate 1000 "0123456789"; }\n') if os.path.exists(ECHO_MODULE) else ""


def limit_rule(download="0", upload="0", maxrequests=0, rate="0", deny=False, hours=None,
               recurring=True, flags="", profiles="", template=""):
    hour = ('<hour active="true">%s</hour>' % hours) if hours else '<hour active="false">0,23</hour>'
    return ("<limit><enabled>true</enabled><comment>test</comment><profiles>%s</profiles>"
            "<deny>%s</deny><template>%s</template>"
            '<month active="false">january,december</month><day active="false">1,31</day>'
            '<weekday active="false">sunday,saturday</weekday>%s<minute active="false">0,59</minute>'
            "<downloadlimit>%s</downloadlimit><uploadlimit>%s</uploadlimit>"
            "<maxrequests>%d</maxrequests><rate>%s</rate><recurring>%s</recurring>"
            "<flags>%s</flags></limit>"
            % (profiles, "true" if deny else "false", template, hour, download, upload,
               maxrequests, rate, "true" if recurring else "false", flags))


def path_profile(path, name, host=""):
    """A profile rule adding name to requests whose path (and host) match."""
    return ("<profile><enabled>true</enabled><comment>test</comment><log>false</log>"
            "<profiles></profiles><scheme></scheme><host>%s</host><path>%s</path>"
            "<content-type></content-type><ports></ports><commands></commands>"
            "<proxy-host></proxy-host><request-header></request-header>"
            "<response-header></response-header>"
            '<month active="false">january,december</month><day active="false">1,31</day>'
            '<weekday active="false">sunday,saturday</weekday><hour active="false">0,23</hour>'
            '<minute active="false">0,59</minute><recurring>true</recurring>'
            "<add-profiles>%s</add-profiles><remove-profiles></remove-profiles></profile>"
            % (host, path, name))


def allow_with_bypass(bypass):
    return ("<allow><enabled>true</enabled><comment>test</comment><log>false</log>"
            "<profiles></profiles><interfaces></interfaces><addresses>127.0.0.1</addresses>"
            "<pam>false</pam><username></username><password></password>"
            "<permissions>proxy,connect,commands,bypass</permissions><bypass>%s</bypass>"
            "<interface-username></interface-username><interface-password></interface-password>"
            "<add-profiles></add-profiles></allow>" % bypass)


class LimitProxy(Proxy):
    """A daemon with the given limit rules (and profile rules)."""

    def __init__(self, rules, enabled=True, profiles="", cache=False, allow_rules=None):
        Proxy.__init__(self)
        text = proxy_config(self.port, cache=cache, allow_rules=allow_rules)
        text = replace_section(text, "limits", "<enabled>%s</enabled>%s"
                               % ("true" if enabled else "false", "".join(rules)))
        if profiles:
            text = replace_section(text, "profiles", profiles)
        self.inst.cleanup()
        self.inst = Install(config=text)


class KeepAlive:
    """One client connection to the daemon, used for request after request."""

    def __init__(self, proxy):
        self.conn = http.client.HTTPConnection("127.0.0.1", proxy.port, timeout=60)

    def request(self, url, method="GET", body=None, headers=None):
        """(status, headers, body, seconds) of one exchange."""
        start = time.monotonic()
        self.conn.request(method, url, body=body, headers=headers or {})
        r = self.conn.getresponse()
        data = r.read()
        return r.status, {k.lower(): v for k, v in r.getheaders()}, data, time.monotonic() - start

    def close(self):
        self.conn.close()


def needs_peers(test):
    return unittest.skipUnless(NGINX and CURL, "needs nginx and curl")(test)


@needs_peers
class Limits(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.nginx = Nginx(FILES, locations=CHUNKED).start()
        # Files modified a day ago stay fresh in the cache for hours, so a
        # second request is a plain hit, never a revalidation.
        day_ago = time.time() - 86400
        for name in FILES:
            os.utime(os.path.join(cls.nginx.root, name), (day_ago, day_ago))

    @classmethod
    def tearDownClass(cls):
        cls.nginx.stop()

    def daemon(self, rules, **kw):
        proxy = LimitProxy(rules, **kw).start()
        self.addCleanup(proxy.stop)
        return proxy

    def client(self, proxy):
        c = KeepAlive(proxy)
        self.addCleanup(c.close)
        return c

    def nginx_saw(self, path):
        return sum(1 for r in self.nginx.requests() if (" %s " % path) in r[2])

    def test_request_counts_and_windows(self):
        """Each case: the rules, then the statuses of four requests in a row
        (two connections, so the counters are shared across clients)."""
        cases = [
            ("two per window", [limit_rule(maxrequests=2)], [200, 200, 404, 404]),
            ("deny 0-23 recurring", [limit_rule(deny=True, hours="0,23")], [404] * 4),
            ("deny 22-6 recurring never applies", [limit_rule(deny=True, hours="22,6")], [200] * 4),
            ("exclude never counts", [limit_rule(maxrequests=1, flags="exclude")], [200] * 4),
            ("section off", [limit_rule(maxrequests=1)], [200] * 4),
            ("bypass option limits", [limit_rule(maxrequests=1)], [200] * 4),
        ]
        for name, rules, statuses in cases:
            with self.subTest(name):
                kw = {}
                if name == "section off":
                    kw["enabled"] = False
                if name.startswith("bypass"):
                    kw["allow_rules"] = [allow_with_bypass("limits")]
                proxy = self.daemon(rules, **kw)
                got = []
                bodies = []
                for conn_no in range(2):
                    c = self.client(proxy)
                    for _ in range(2):
                        status, _, body, _ = c.request(self.nginx.url("/f1000.bin"))
                        got.append(status)
                        bodies.append(body)
                    # A request is booked after its answer; the second client
                    # starts once the first one's requests are booked.
                    c.close()
                    self.assertTrue(wait_for(
                        lambda: proxy.log().count("disconnected after making") > conn_no, 10))
                self.assertEqual(statuses, got)
                if name == "two per window":
                    self.assertIn(b"Request limit exceeded", bodies[2])
                    # every request leaves a record; a refused one as denied,
                    # with the status and size of the page the client got
                    self.assertTrue(wait_for(lambda: proxy.access_log().count("f1000.bin") == 4),
                                    proxy.access_log())
                    denied = [line.split(" ") for line in proxy.access_log().splitlines()
                              if "f1000.bin" in line and " TCP_DENIED/" in line]
                    self.assertEqual(2, len(denied), proxy.access_log())
                    self.assertEqual(["TCP_DENIED/%d" % got[2], str(len(bodies[2]))], denied[0][3:5])
                if name.startswith("deny 0-23"):
                    self.assertIn(b"Page Blocked", bodies[0])
                    self.assertIn("limits: blocked: time limit restrictions", proxy.log())

    def test_client_closing_books_nothing(self):
        """A kept-alive client that closes makes no request: with two per
        window, the next client still gets one."""
        proxy = self.daemon([limit_rule(maxrequests=2)])
        first = KeepAlive(proxy)
        self.assertEqual(200, first.request(self.nginx.url("/f1000.bin"))[0])
        first.close()
        self.assertTrue(proxy.wait_log("disconnected after making"))
        c = self.client(proxy)
        statuses = [c.request(self.nginx.url("/f1000.bin"))[0] for _ in range(2)]
        self.assertEqual([200, 404], statuses)

    def test_download_cap(self):
        """6000 bytes: 3000 pass, 2000 within the remainder pass, then 1000 of
        exactly the remainder arrive whole; the next gets downloadlimit."""
        proxy = self.daemon([limit_rule(download="6000")])
        c = self.client(proxy)
        for name, size in (("f3000.bin", 3000), ("f2000.bin", 2000), ("f1000.bin", 1000)):
            status, _, body, _ = c.request(self.nginx.url("/" + name))
            self.assertEqual(200, status, name)
            self.assertEqual(FILES[name], body, name)
        status, _, body, _ = c.request(self.nginx.url("/f1000.bin"))
        self.assertEqual(200, status)
        self.assertIn(b"Download transfer limit exceeded", body)
        self.assertIn(b"6000 bytes", body)
        self.assertIn("limits: transfer download limit: 1000", proxy.log())
        self.assertNotIn("transfer prematurely terminated", proxy.log())
        # a new client is held to the same spent rule
        status, _, body, _ = self.client(proxy).request(self.nginx.url("/f1000.bin"))
        self.assertIn(b"Download transfer limit exceeded", body)

    def test_chunked_answer_is_cut(self):
        if not self.nginx.has_echo:
            self.skipTest("nginx echo module missing")
        proxy = self.daemon([limit_rule(download="4000")])
        r = Curl(proxy.port, self.nginx.url("/chunked"))
        self.addCleanup(r.cleanup)
        self.assertNotEqual(0, r.code)        # the client sees a broken transfer
        self.assertLess(r.size, 10000)
        self.assertTrue(proxy.wait_log("transfer prematurely terminated due to transfer limit restrictions"))

    def test_upload_cap(self):
        """1000 bytes per window: a first request over it is refused without
        reaching the server and books nothing; kept-alive requests count
        against what is left; a chunked body is measured whole."""
        if not self.nginx.has_echo:
            self.skipTest("nginx echo module missing")
        proxy = self.daemon([limit_rule(upload="1000")])
        c = self.client(proxy)
        status, _, body, _ = c.request(self.nginx.url("/echo"), "POST", b"x" * 1500)
        self.assertEqual(200, status)
        self.assertIn(b"Upload transfer limit exceeded", body)
        self.assertEqual(0, self.nginx_saw("/echo"))
        # nothing was booked: 600 of the 1000 go through on the same connection
        status, _, body, _ = c.request(self.nginx.url("/echo"), "POST", b"y" * 600)
        self.assertEqual((200, b"y" * 600), (status, body))
        # 400 are left: 600 more are refused
        status, _, body, _ = c.request(self.nginx.url("/echo"), "POST", b"z" * 600)
        self.assertIn(b"Upload transfer limit exceeded", body)
        # a chunked body over what is left, from curl on a new connection
        path = os.path.join(proxy.inst.dir, "up.bin")
        with open(path, "wb") as f:
            f.write(b"w" * 500)
        r = Curl(proxy.port, self.nginx.url("/echo"), "-H", "Transfer-Encoding: chunked",
                 "--data-binary", "@" + path)
        self.addCleanup(r.cleanup)
        self.assertEqual(200, r.status)
        self.assertIn(b"Upload transfer limit exceeded", r.body())
        # and 400 exactly still pass
        status, _, body, _ = c.request(self.nginx.url("/echo"), "POST", b"v" * 400)
        self.assertEqual((200, b"v" * 400), (status, body))
        # nginx logs a request once it has answered it
        self.assertTrue(wait_for(lambda: self.nginx_saw("/echo") == 2, 10))

    def test_cache_hits_count_only_with_cached(self):
        for flags, second in (("", 200), ("cached", None)):
            with self.subTest(flags=flags):
                proxy = self.daemon([limit_rule(download="4000", flags=flags)], cache=True)
                c = self.client(proxy)
                url = self.nginx.url("/f3000.bin?flags=%s" % flags)
                status, _, body, _ = c.request(url)
                self.assertEqual((200, FILES["f3000.bin"]), (status, body))
                self.assertTrue(wait_for(lambda: self.nginx_saw(url[url.index("/f3000"):]) == 1, 10))
                status, heads, body, _ = c.request(url)
                time.sleep(0.3)
                self.assertEqual(1, self.nginx_saw(url[url.index("/f3000"):]))
                if flags == "cached":
                    # the hit counts: 3000 > the 1000 left
                    self.assertIn(b"Download transfer limit exceeded", body)
                else:
                    self.assertIn("HIT", heads.get("x-cache", ""))
                    self.assertEqual((200, FILES["f3000.bin"]), (status, body))
                    # the hit was not booked: 1000 are still left
                    status, _, body, _ = c.request(self.nginx.url("/f1000.bin"))
                    self.assertEqual(FILES["f1000.bin"], body)

    def test_rates(self):
        """100 kB at 20 000 B/s take at least 4 s; of 50 000 and 20 000 the
        lower wins; a later request on the connection that no rate rule
        matches is not paced."""
        profiles = path_profile("^/big", "slow")
        proxy = self.daemon([limit_rule(rate="50000", profiles="slow"),
                             limit_rule(rate="20000", profiles="slow")], profiles=profiles)
        c = self.client(proxy)
        status, _, body, seconds = c.request(self.nginx.url("/big.bin"))
        self.assertEqual((200, 100000), (status, len(body)))
        self.assertGreaterEqual(seconds, 4.0)
        self.assertIn("limits: transfer download rate: 20000", proxy.log())
        status, _, body, seconds = c.request(self.nginx.url("/fast.bin"))
        self.assertEqual((200, 100000), (status, len(body)))
        self.assertLess(seconds, 3.0)

        r = Curl(proxy.port, self.nginx.url("/big.bin"))
        self.addCleanup(r.cleanup)
        self.assertEqual((0, 100000), (r.code, r.size))


if __name__ == "__main__":
    unittest.main()
