"""The request checks end to end: the URL filter, the DNS blacklist and the
URL blacklist through the daemon, with curl as the client and nginx as the
origin. Everything runs in a private network and mount namespace whose
resolv.conf names a dnsmasq of the test's own (answering for the zone
bl.test, NXDOMAIN for every other name under it) and whose hosts file maps
the test's host names to loopback; the machine's own files are never
touched. Without root or the tools the tests are skipped."""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxytest import CURL, NGINX, Curl, Nginx, Proxy, raw_exchange, split_response  # noqa: E402
from quilltest import DNSMASQ, Dnsmasq, in_namespace, replace_section, run_in_namespace, wait_for  # noqa: E402

NS_ENV = "QUILL_CHECKS_NS"
HOSTS = ("www.example.com", "shop.example.com", "example.com", "ads.test", "www.listed.test",
         "triple.test", "plain.test")
PAGE = b"<html>the origin page</html>\n"


def inside():
    return in_namespace(NS_ENV)


def read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def rule(list_name, comment, host="", path="", addresses="", template=""):
    return ("<%s><enabled>true</enabled><comment>%s</comment><profiles></profiles><host>%s</host>"
            "<path>%s</path><addresses>%s</addresses><template>%s</template></%s>"
            % (list_name, comment, host, path, addresses, template, list_name))


def bl_rule(list_name, categories, template=""):
    return ("<%s><enabled>true</enabled><comment>%s</comment><profiles></profiles>"
            "<categories>%s</categories><template>%s</template></%s>"
            % (list_name, categories, categories, template, list_name))


class Setup:
    """dnsmasq, nginx, a blacklist tree and a template file, shared by the
    tests of one run."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="quill-checks-")
        self.dns = Dnsmasq("--local=/bl.test/", "--host-record=listed.test.bl.test,127.0.0.2",
                           "--host-record=triple.test.bl.test,127.0.0.3").start()
        self.nginx = Nginx({"index.html": PAGE, "open.html": PAGE}).start()
        os.mkdir(os.path.join(self.nginx.root, "banners"))
        with open(os.path.join(self.nginx.root, "banners", "b.html"), "wb") as f:
            f.write(PAGE)
        self.tree = os.path.join(self.dir, "blacklist")
        for category, domains, urls in (
                ("ads", b"ads.test\ntriple.test\n", b"www.example.com/banners/\n"),
                ("crlf", b"plain.test\r\n", None),
                ("empty", None, None)):
            os.makedirs(os.path.join(self.tree, category))
            for name, data in (("domains", domains), ("urls", urls)):
                if data is not None:
                    with open(os.path.join(self.tree, category, name), "wb") as f:
                        f.write(data)
        with open(os.path.join(self.tree, "README"), "w") as f:
            f.write("a plain file beside the categories\n")
        self.template = os.path.join(self.dir, "checks.html")
        with open(self.template, "w") as f:
            f.write("<html>FILTER=@FILTER@ CATEGORY=@CATEGORY@ DNSBL=@DNSBL_IP@</html>\n")

    def url(self, host, path):
        return "http://%s:%d%s" % (host, self.nginx.port, path)

    def queries(self, name):
        return self.dns.text().count("query[A] %s from" % name)

    def proxy(self, filter_body, dnsbl_body, urlbl_body,
              permissions="proxy,transparent,host,connect,commands,bypass"):
        p = Proxy(permissions=permissions, cache=False)
        with open(p.inst.config) as f:
            text = f.read()
        templates = ("<directory></directory><page><enabled>true</enabled><comment>t</comment>"
                     "<profiles></profiles><name>checks</name><file>%s</file>"
                     "<mime-type>text/html</mime-type><status>0</status><suppress>false</suppress>"
                     "<parse>true</parse></page>" % self.template)
        text = replace_section(text, "templates", templates)
        text = replace_section(text, "url-filtering", filter_body)
        text = replace_section(text, "dnsbl", dnsbl_body)
        text = replace_section(text, "urlblacklist", urlbl_body)
        with open(p.inst.config, "w") as f:
            f.write(text)
        return p.start()

    def stop(self):
        self.nginx.stop()
        self.dns.cleanup()
        shutil.rmtree(self.dir, ignore_errors=True)


SETUP = None


def setUpModule():
    global SETUP
    if inside() and NGINX and CURL and DNSMASQ:
        SETUP = Setup()


def tearDownModule():
    if SETUP:
        SETUP.stop()


def needs_namespace(cls):
    return unittest.skipUnless(inside() and NGINX and CURL and DNSMASQ,
                               "needs root, unshare, ip, dnsmasq, nginx and curl")(cls)


OFF_DNSBL = "<enabled>false</enabled><template></template><zone></zone><addresses></addresses>"
OFF_URLBL = ("<enabled>false</enabled><allow-first>false</allow-first><directory></directory>"
             "<template></template>")


@needs_namespace
class UrlFilter(unittest.TestCase):
    """Host, path and address rules with allow-first off and on."""

    def curl(self, proxy, url, *args):
        c = Curl(proxy.port, url, *args)
        self.addCleanup(c.cleanup)
        return c

    def test_deny_first(self):
        """Deny rules refuse with their template, the section's or "blocked"; an allow rule
        lets a denied path through; an unresolvable host lies in a deny rule's addresses;
        bypass f passes; CONNECT gets 404."""
        body = ("<enabled>true</enabled><allow-first>false</allow-first><template></template>" +
                rule("allow", "open", path="^/private/open") +
                rule("deny", "ads-host", host=r"^ads\.", template="checks") +
                rule("deny", "private", path="^/private") +
                rule("deny", "lan", host=r"\.invalid$", addresses="10.0.0.0-10.255.255.255"))
        p = SETUP.proxy(body, OFF_DNSBL, OFF_URLBL)
        self.addCleanup(p.stop)
        cases = [
            # url, status, body part, log line
            (SETUP.url("www.example.com", "/index.html"), 200, b"the origin page", None),
            (SETUP.url("ads.test", "/x.gif"), 200, b"FILTER=URL Filter",
             "url filter: blocked: ads.test/x.gif"),
            (SETUP.url("www.example.com", "/PRIVATE/x"), 200, b"Page Blocked",
             "url filter: blocked: www.example.com/PRIVATE/x"),
            (SETUP.url("www.example.com", "/private/open.html"), 404, b"", None),
            (SETUP.url("gone.invalid", "/"), 200, b"Page Blocked", "url filter: blocked: gone.invalid/"),
        ]
        for url, status, part, line in cases:
            with self.subTest(url=url):
                c = self.curl(p, url)
                self.assertEqual(status, c.status, c.stderr)
                self.assertIn(part, c.body())
                if line:
                    self.assertTrue(p.wait_log(line), p.log())
                    self.assertTrue(p.wait_access("TCP_DENIED/200"), p.access_log())
        self.assertTrue(wait_for(lambda: "url-filter" in read(p.inst.extended)))

        req = (b"GET http://xx--bypass[f].ads.test:%d/index.html HTTP/1.1\r\nHost: ads.test\r\n"
               b"Connection: close\r\n\r\n" % SETUP.nginx.port)
        status, _, page = split_response(raw_exchange(p.port, req)[0])
        self.assertEqual((200, PAGE), (status, page))

        data, _ = raw_exchange(p.port, b"CONNECT ads.test:443 HTTP/1.1\r\nHost: ads.test:443\r\n\r\n",
                               until_close=False, want=b"</html>")
        status, _, page = split_response(data)
        self.assertEqual(404, status)
        self.assertIn(b"FILTER=URL Filter", page)

    def test_allow_first_and_the_filter_page(self):
        """No allow match refuses with the section's template; an allowed host passes
        unless a deny rule matches; the filter page names the deciding entry or the
        built-in rule, with host and path escaped."""
        body = ("<enabled>true</enabled><allow-first>true</allow-first><template>checks</template>" +
                rule("allow", "site", host=r"example\.com$") +
                rule("deny", "secret", path="^/secret"))
        p = SETUP.proxy(body, OFF_DNSBL, OFF_URLBL)
        self.addCleanup(p.stop)
        c = self.curl(p, SETUP.url("www.example.com", "/index.html"))
        self.assertEqual((200, PAGE), (c.status, c.body()))
        c = self.curl(p, SETUP.url("plain.test", "/"))
        self.assertEqual(200, c.status)
        self.assertIn(b"FILTER=URL Filter", c.body())
        c = self.curl(p, SETUP.url("www.example.com", "/secret/x"))
        self.assertIn(b"FILTER=URL Filter", c.body())

        pages = [
            ("www.example.com", "/index.html", b">None<"),
            ("www.example.com", "/secret/%3Cb%3E%22'", b"secret"),
            ("plain.test", "/<script>x", b">Refused: no allow rule matched<"),
        ]
        for host, path, part in pages:
            with self.subTest(path=path):
                req = ("GET http://xx--filter.%s:%d%s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n"
                       % (host, SETUP.nginx.port, path, host)).encode()
                status, headers, page = split_response(raw_exchange(p.port, req)[0])
                self.assertEqual(200, status)
                self.assertEqual("text/html", headers.get("content-type"))
                self.assertIn(b"URL filter match for " + host.encode(), page)
                self.assertIn(part, page)
                self.assertNotIn(b"<script", page)
                self.assertNotIn(b"<b>", page)


@needs_namespace
class Blacklists(unittest.TestCase):
    """The DNS and URL blacklists, and the order of the three checks."""

    @classmethod
    def setUpClass(cls):
        cls.p = SETUP.proxy(
            "<enabled>true</enabled><allow-first>false</allow-first><template></template>" +
            rule("deny", "triple", host=r"^triple\.", template="checks"),
            "<enabled>true</enabled><template>checks</template><zone>bl.test</zone>"
            "<addresses>127.0.0.2-127.0.0.255</addresses>",
            "<enabled>true</enabled><allow-first>false</allow-first><directory>%s</directory>"
            "<template>checks</template>%s" % (SETUP.tree, bl_rule("deny", "ads,crlf")))

    @classmethod
    def tearDownClass(cls):
        cls.p.stop()

    def curl(self, url, *args):
        c = Curl(self.p.port, url, *args)
        self.addCleanup(c.cleanup)
        return c

    def test_url_blacklist_loaded_with_counts(self):
        """The start reads three categories and reports the CRLF line."""
        log = self.p.log()
        self.assertIn("URL blacklist: loaded 3 categories", log)
        self.assertIn("URL blacklist: %s/crlf/domains: 0 lines skipped (over 1023 characters), "
                      "1 lines that can never match (CR or upper case)" % SETUP.tree, log)

    def test_url_blacklist(self):
        """Listed domains and their subdomains, a urls prefix without case, a transparent
        request with a capital, dotted Host, CONNECT 404; the CRLF entry never matches."""
        cases = [
            (SETUP.url("ads.test", "/"), 200, b"CATEGORY=ads"),
            (SETUP.url("shop.example.com", "/index.html"), 200, PAGE),
            (SETUP.url("www.example.com", "/BANNERS/b.html"), 200, b"CATEGORY=ads"),
            (SETUP.url("www.example.com", "/index.html"), 200, PAGE),
            (SETUP.url("plain.test", "/index.html"), 200, PAGE),
        ]
        for url, status, part in cases:
            with self.subTest(url=url):
                c = self.curl(url)
                self.assertEqual(status, c.status, c.stderr)
                self.assertIn(part, c.body())
        self.assertTrue(self.p.wait_log("URL blacklist: match found in ads category"))
        self.assertTrue(self.p.wait_log("URL blacklist: blocked www.example.com/BANNERS/b.html"))
        self.assertTrue(wait_for(lambda: "urlbl" in read(self.p.inst.extended)))

        req = b"GET / HTTP/1.1\r\nHost: ADS.TEST.:%d\r\nConnection: close\r\n\r\n" % SETUP.nginx.port
        status, _, page = split_response(raw_exchange(self.p.port, req)[0])
        self.assertEqual(200, status)
        self.assertIn(b"CATEGORY=ads", page)

        data, _ = raw_exchange(self.p.port, b"CONNECT ads.test:443 HTTP/1.1\r\nHost: ads.test:443\r\n\r\n",
                               until_close=False, want=b"</html>")
        status, _, page = split_response(data)
        self.assertEqual(404, status)
        self.assertIn(b"CATEGORY=ads", page)

    def test_dns_blacklist(self):
        """A listed domain gets 404 with the answer; the answer is cached; an unlisted one
        is asked for every request."""
        for _ in range(2):
            c = self.curl(SETUP.url("www.listed.test", "/index.html"))
            self.assertEqual(404, c.status)
            self.assertIn(b"FILTER=URL BlackList", c.body())
            self.assertIn(b"DNSBL=127.0.0.2", c.body())
        self.assertTrue(self.p.wait_log("dnsbl: domain www.listed.test is blacklisted"))
        self.assertTrue(self.p.wait_access("TCP_DENIED/404"))
        self.assertEqual(1, SETUP.queries("listed.test.bl.test"))

        before = SETUP.queries("example.com.bl.test")
        for host in ("shop.example.com", "example.com"):
            c = self.curl(SETUP.url(host, "/index.html"))
            self.assertEqual((200, PAGE), (c.status, c.body()))
        self.assertTrue(wait_for(lambda: SETUP.queries("example.com.bl.test") == before + 2),
                        SETUP.dns.text())

    def test_order(self):
        """A URL that all three checks refuse gets the URL filter's page, and the
        blacklists are not asked."""
        c = self.curl(SETUP.url("triple.test", "/"))
        self.assertEqual(200, c.status)
        self.assertIn(b"FILTER=URL Filter", c.body())
        self.assertTrue(self.p.wait_log("url filter: blocked: triple.test/"))
        self.assertEqual(0, SETUP.queries("triple.test.bl.test"))
        self.assertNotIn("dnsbl: domain triple.test", self.p.log())


if __name__ == "__main__":
    if not inside():
        rc = run_in_namespace(__file__, NS_ENV, HOSTS)
        if rc is not None:
            sys.exit(rc)
    unittest.main()
