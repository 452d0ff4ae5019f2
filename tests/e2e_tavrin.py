"""Tavrin category rating seen from outside, against a real DNS server.

The test runs itself again inside a network and mount namespace of its own:
loopback up, /etc/resolv.conf bind-mounted to name 127.0.0.1, and dnsmasq
there serving the MX records of the rating zone (tavrin.test) and the
addresses of the test's origin hosts (*.example -> 127.0.0.1, where nginx
listens). The machine's own resolver files are never touched. curl is the
client; dnsmasq's query log counts the rating queries the daemon sends."""

import os
import re
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quilltest import Dnsmasq, in_namespace, run_in_namespace, wait_for  # noqa: E402
from proxytest import CURL, NGINX, Curl, Nginx, Proxy  # noqa: E402

NS_ENV = "QUILL_TAVRIN_NS"
INSIDE = in_namespace(NS_ENV) is not None

# name -> MX records (exchange, preference) under the rating zone.
RATINGS = {
    "adult.example": [("adult", 80), ("news", 3)],
    "calm.example": [("adult", 20)],
    "kids.example": [("games", 30)],
    "plain.example": [("mail.other.test", 10)],   # names no category
}

RULES = [
    # (profiles, categories, scores, add, remove)
    ("", "adult,porn", "50-100", "rated", ""),
    ("", "games", "30", "kids", ""),
    ("kids", "games", "-1-100", "kids-late", ""),
]


def rule_xml(profiles, categories, scores, add, remove):
    return ("<rule><enabled>true</enabled><comment>test</comment><log>true</log>"
            "<profiles>%s</profiles><categories>%s</categories><scores>%s</scores>"
            "<add-profiles>%s</add-profiles><remove-profiles>%s</remove-profiles></rule>"
            % (profiles, categories, scores, add, remove))


class DnsServer(Dnsmasq):
    """dnsmasq answering the rating zone's MX records, logging every query."""

    def __init__(self):
        args = ["--local=/tavrin.test/", "--address=/example/127.0.0.1"]
        for host, records in RATINGS.items():
            for exchange, preference in records:
                args.append("--mx-host=%s.tavrin.test,%s,%d" % (host, exchange, preference))
        super().__init__(*args)

    def mx_queries(self, host):
        return len(re.findall(r"query\[MX\] %s\.tavrin\.test from" % re.escape(host), self.text()))


class ViaNginx(Nginx):
    """nginx whose access log also shows the request's host and Via header."""

    def config(self):
        return super().config().replace("\"$request\" $status'", "\"$request\" $status $host [$http_via]'")

    def via_of(self, host):
        """The Via values of the requests for host, in order."""
        try:
            with open(self.access) as f:
                text = f.read()
        except FileNotFoundError:
            return []
        return re.findall(r" %s \[([^\]]*)\]" % re.escape(host), text)


class TavrinDaemon:
    """A daemon with the rating enabled, its hints directory in its own
    installation, the rules above and a general rule that turns Via off for
    the profile "rated"."""

    def __init__(self, hints_files=None):
        self.proxy = Proxy(permissions="interface,proxy,connect,commands", cache=False)
        self.hints = os.path.join(self.proxy.inst.dir, "hints")
        os.mkdir(self.hints)
        for name, text in (hints_files or {}).items():
            with open(os.path.join(self.hints, name), "w") as f:
                f.write(text)
        with open(self.proxy.inst.config) as f:
            text = f.read()
        tavrin = ("<Tavrin><enabled>true</enabled><directory>%s</directory>%s</Tavrin>"
                  % (self.hints, "".join(rule_xml(*r) for r in RULES)))
        text, count = re.subn(r"<Tavrin>.*?</Tavrin>", tavrin, text, flags=re.S)
        assert count == 1
        general = re.search(r"<general>.*?</general>", text, re.S)
        rule = re.search(r"<rule>.*?</rule>", general.group(0), re.S).group(0)
        quiet = (rule.replace("<profiles></profiles>", "<profiles>rated</profiles>")
                 .replace("<via>true</via>", "<via>false</via>"))
        text = text.replace(rule, quiet + "\n" + rule, 1)
        with open(self.proxy.inst.config, "w") as f:
            f.write(text)

    def start(self):
        p = self.proxy
        marks = ("Tavrin: read from tavrinfeed", "failed to open tavrinfeed", "listening on 127.0.0.1:%d" % p.port)
        before = [p.log().count(m) for m in marks]
        p.out = open(os.path.join(p.inst.dir, "stdout"), "ab")
        p.err_path = os.path.join(p.inst.dir, "stderr")
        p.err = open(p.err_path, "ab")
        # The feed is named after the access log when -l follows -a: it then
        # lies in this installation, never in the test's working directory.
        p.proc = subprocess.Popen(p.inst.args("-f", "-l", p.inst.log), stdin=subprocess.DEVNULL,
                                  stdout=p.out, stderr=p.err)

        def counts():
            return [p.log().count(m) for m in marks]
        if not wait_for(lambda: counts()[2] > before[2], 10):
            raise RuntimeError("daemon did not start:\n" + p.log())
        # The dump thread loads the files and the feed once the section is on.
        if not wait_for(lambda: counts()[0] + counts()[1] > before[0] + before[1], 20):
            raise RuntimeError("the rating files were not loaded:\n" + p.log())
        return self

    @property
    def port(self):
        return self.proxy.port

    def terminate(self):
        """SIGTERM, and the wait for the exit; the installation stays."""
        proc = self.proxy.proc
        proc.send_signal(signal.SIGTERM)
        proc.wait(30)

    def restart(self):
        """A new daemon on the same installation (and so the same hints
        directory and access log)."""
        self.proxy.out.close()
        self.proxy.err.close()
        return self.start()

    def dump(self):
        with open(os.path.join(self.hints, "tavrin.cache")) as f:
            return f.read()

    def stop(self):
        self.proxy.stop()


def get(daemon, nginx, host, path="/index.html"):
    c = Curl(daemon.port, "http://%s:%d%s" % (host, nginx.port, path), timeout=30)
    c.cleanup()
    return c


def count(text, needle):
    return text.count(needle)


class RatingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not INSIDE:
            raise unittest.SkipTest("needs root, unshare, ip and dnsmasq for a namespace of its own")
        if not NGINX or not CURL:
            raise unittest.SkipTest("needs nginx and curl")
        cls.dns = DnsServer().start()
        cls.nginx = ViaNginx({"index.html": b"hello from the origin\n"}).start()

    @classmethod
    def tearDownClass(cls):
        cls.nginx.stop()
        cls.dns.cleanup()

    def setUp(self):
        self.daemon = None

    def tearDown(self):
        if self.daemon:
            self.daemon.stop()

    def test_one_query_per_host_and_profiles_from_the_scores(self):
        self.daemon = d = TavrinDaemon().start()
        start = self.dns.mx_queries("adult.example")
        for _ in range(3):
            self.assertEqual(200, get(d, self.nginx, "adult.example").status)
        self.assertEqual(start + 1, self.dns.mx_queries("adult.example"))
        log = d.proxy.log()
        self.assertEqual(1, count(log, "tavrin: cache[1]: Added :adult.example"))
        self.assertIn("profiles: Tavrin: host:adult.example Added:  Profile: rated", log)
        # The profile reached the general rules: no Via for the rated host.
        self.assertEqual(["-", "-", "-"], self.nginx.via_of("adult.example")[-3:])

        # adult 20: out of the range; Via stays.
        self.assertEqual(200, get(d, self.nginx, "calm.example").status)
        self.assertTrue(self.nginx.via_of("calm.example")[-1].endswith("(Quillmere 0.1.0)"))
        self.assertNotIn("host:calm.example Added", d.proxy.log())

        # games 30: pass 0 adds kids, pass 1 then sees kids (a rule with
        # a profile condition is applied by the second pass only).
        self.assertEqual(200, get(d, self.nginx, "kids.example").status)
        log = d.proxy.log()
        self.assertIn("Tavrin: host:kids.example Added:  Profile: kids", log)
        self.assertIn("Tavrin: host:kids.example Added:  Profile: kids-late", log)

    def test_host_without_categories_is_asked_once_per_request(self):
        self.daemon = d = TavrinDaemon().start()
        start = self.dns.mx_queries("plain.example")
        for _ in range(2):
            self.assertEqual(200, get(d, self.nginx, "plain.example").status)
        log = d.proxy.log()
        self.assertEqual(2, count(log, "error: Tavrin: failed to lookup site: plain.example"))
        self.assertEqual(start + 2, self.dns.mx_queries("plain.example"))
        self.assertNotIn("Added :plain.example", log)

    def test_files_dump_hints_and_feed(self):
        hints = {
            "hosts.tavrin": "\nhint.example\t" + ",".join(["7"] * 32),
            "hosts.tavrin.bak": "\nbak.example\t" + ",".join(["9"] * 32),
        }
        self.daemon = d = TavrinDaemon(hints).start()
        start = {h: self.dns.mx_queries(h) for h in RATINGS}
        self.assertIn("hosts.tavrin, records: 1", d.proxy.log())
        self.assertNotIn("bak", d.proxy.log())
        # The hint answers: no query.
        self.assertEqual(200, get(d, self.nginx, "hint.example").status)
        self.assertEqual(0, self.dns.mx_queries("hint.example"))
        self.assertEqual(200, get(d, self.nginx, "adult.example").status)
        self.assertEqual(200, get(d, self.nginx, "plain.example").status)
        d.terminate()

        dump = d.dump()
        self.assertTrue(dump.startswith("\n"))
        self.assertFalse(dump.endswith("\n"))
        lines = dump[1:].split("\n")
        self.assertEqual(2, len(lines), dump)
        records = dict(line.split("\t") for line in lines)
        self.assertEqual(",".join(["7"] * 32), records["hint.example"])
        scores = [int(v) for v in records["adult.example"].split(",")]
        self.assertEqual(32, len(scores))
        self.assertEqual([0, 80] + [0] * 19 + [3] + [0] * 10, scores)
        self.assertFalse(os.path.exists(os.path.join(d.hints, "tavrin.cache.new")))

        # The access log of the first run is the feed of the second: its
        # hosts are rated at start (plain.example, not cached, is asked
        # again), and the feed file is deleted.
        feed = d.proxy.inst.access + ".tavrinfeed"
        before = self.dns.mx_queries("plain.example")
        self.assertEqual(start["plain.example"] + 1, before)
        d.restart()
        self.assertTrue(wait_for(lambda: self.dns.mx_queries("plain.example") > before, 10))
        self.assertRegex(d.proxy.log(), r"Tavrin: read from tavrinfeed:.*, records: [1-9]")
        self.assertFalse(os.path.exists(feed))
        # A host rated between two dumps is in the second; the rest stays.
        self.assertEqual(200, get(d, self.nginx, "calm.example").status)
        d.terminate()
        lines = d.dump()[1:].split("\n")
        self.assertEqual(["adult.example", "calm.example", "hint.example"],
                         sorted(line.split("\t")[0] for line in lines))

        # Restarts load the dump and the hint without doubling anything.
        for _ in range(2):
            d.restart()
            d.terminate()
            self.assertEqual(3, len(d.dump()[1:].split("\n")))

    def test_interface_page(self):
        self.daemon = d = TavrinDaemon().start()

        def page(form):
            c = Curl(d.port, "http://quill.invalid/tavrin", "-e", "http://quill.invalid/tavrin",
                     "--data", form, timeout=30)
            body = c.body().decode(errors="replace")
            c.cleanup()
            self.assertEqual(200, c.status)
            return body

        form = page("domain=")
        for text in ("Hostname", "Enter the comma separated list of domains to identify Tavrin",
                     'name="refresh"', 'value="yes" selected'):
            self.assertIn(text, form)

        start = self.dns.mx_queries("adult.example")
        body = page("domain=adult.example,plain.example&refresh=no")
        self.assertEqual(start + 1, self.dns.mx_queries("adult.example"))
        self.assertIn("<h3>adult.example</h3>", body)
        self.assertIn('class="listodd"', body)
        self.assertIn('class="listeven"', body)
        self.assertIn("<th>Adult</th>", body)
        self.assertIn("<td>80</td>", body)
        self.assertIn("<td>3</td>", body)
        # From the cache: no new query.
        queries = self.dns.mx_queries("adult.example")
        page("domain=adult.example&refresh=no")
        self.assertEqual(queries, self.dns.mx_queries("adult.example"))
        # Refresh asks DNS again.
        page("domain=adult.example&refresh=yes")
        self.assertEqual(queries + 1, self.dns.mx_queries("adult.example"))

        body = page("domain=%3Cscript%3Ealert(1)%3C%2Fscript%3E.example&refresh=no")
        self.assertNotIn("<script>alert", body)
        self.assertIn("&lt;script&gt;", body)

        # The interface itself is never rated, and the refreshed host is
        # held once.
        self.assertEqual(0, self.dns.mx_queries("quill.invalid"))
        d.terminate()
        hosts = [line.split("\t")[0] for line in d.dump()[1:].split("\n")]
        self.assertEqual(1, hosts.count("adult.example"), hosts)


class RatingServerDownTest(unittest.TestCase):
    """With the rating server gone, requests still get their pages."""

    def test_request_without_dns_server(self):
        if not INSIDE:
            raise unittest.SkipTest("needs root, unshare, ip and dnsmasq for a namespace of its own")
        if not NGINX or not CURL:
            raise unittest.SkipTest("needs nginx and curl")
        nginx = Nginx({"index.html": b"still here\n"}).start()
        daemon = TavrinDaemon().start()
        try:
            c = Curl(daemon.port, nginx.url("/index.html"), timeout=30)
            body = c.body()
            c.cleanup()
            self.assertEqual(200, c.status)
            self.assertEqual(b"still here\n", body)
            self.assertIn("Tavrin: failed to lookup site: 127.0.0.1", daemon.proxy.log())
        finally:
            daemon.stop()
            nginx.stop()


if __name__ == "__main__":
    if not INSIDE:
        status = run_in_namespace(__file__, NS_ENV)
        if status is not None:
            sys.exit(status)
    unittest.main()
