"""Filters a client cannot step around, end to end: the tricks a pupil
tries against the administrator's rules, each refused, and the forms that
must still pass. nginx is the origin, pyftpdlib the FTP server, dnsmasq
answers every name under .test with loopback inside a private network and
mount namespace; curl sends the plain forms and a raw socket the forms curl
would rewrite (trailing dots, numeric addresses, dot segments, escapes).
Without root or the tools the tests are skipped."""

import os
import shutil
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from contenttest import keyword_rule  # noqa: E402
from e2e_ftp import PyFtpd, have_pyftpdlib  # noqa: E402
from e2e_limits import limit_rule, path_profile  # noqa: E402
from proxytest import CURL, NGINX, Curl, Nginx, Proxy, _set_element, raw_exchange, split_response  # noqa: E402
from quilltest import DNSMASQ, Dnsmasq, in_namespace, replace_section, run_in_namespace  # noqa: E402

NS_ENV = "QUILL_EVASION_NS"
MARK = b"ORIGIN-BODY"
PAGE = b"<html>" + MARK + b" the origin page</html>\n"
# The keyword straddles the two halves a download manager would ask for.
WORDS = b"<html>" + MARK + b" a page holding one forbiddenword in its middle</html>\n"
SPLIT = WORDS.index(b"forbiddenword") + 6
RUNS = 20          # maxrequests: runs of eight parallel requests
PARALLEL = 8
CAP = 3


def inside():
    return in_namespace(NS_ENV)


def filter_rule(comment, host="", path=""):
    return ("<deny><enabled>true</enabled><comment>%s</comment><profiles></profiles><host>%s</host>"
            "<path>%s</path><addresses></addresses><template></template></deny>"
            % (comment, host, path))


def mime_rule(comment, mime="", path=""):
    return ("<deny><enabled>true</enabled><comment>%s</comment><profiles></profiles>"
            "<host></host><path>%s</path><mime-type>%s</mime-type><template></template></deny>"
            % (comment, path, mime))


class Setup:
    """The peers and the daemon shared by the tests of one run."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="quill-evasion-")
        os.chmod(self.dir, 0o755)
        self.dns = Dnsmasq("--address=/test/127.0.0.1").start()
        self.nginx = Nginx({"index.html": PAGE, "secret": PAGE, "a b.html": PAGE, "words.html": WORDS},
                           locations='location = /always206 { default_type text/html; '
                                     'return 206 "forbiddenword"; }\n').start()
        os.mkdir(os.path.join(self.nginx.root, "private"))
        with open(os.path.join(self.nginx.root, "private", "x.html"), "wb") as f:
            f.write(PAGE)
        ftproot = os.path.join(self.dir, "ftp")
        os.makedirs(os.path.join(ftproot, "pub"))
        for name, data in (("tool.exe", b"MZ" + MARK), ("pic.png", b"\x89PNG" + MARK),
                           ("readme.txt", MARK + b" read me\n")):
            with open(os.path.join(ftproot, "pub", name), "wb") as f:
                f.write(data)
        os.chmod(ftproot, 0o755)
        self.ftp = PyFtpd(ftproot)
        self.tree = os.path.join(self.dir, "blacklist")
        os.makedirs(os.path.join(self.tree, "adult"))
        with open(os.path.join(self.tree, "adult", "domains"), "wb") as f:
            f.write(b"porn.test\n")
        with open(os.path.join(self.tree, "adult", "urls"), "wb") as f:
            f.write(b"good.test/private/\n")
        self.proxy = self.start_proxy()

    def start_proxy(self):
        p = Proxy(permissions="proxy,transparent,host,connect,commands", cache=False)
        with open(p.inst.config) as f:
            text = f.read()
        text = _set_element(text, "ftp", "passive", "true")
        text = replace_section(text, "url-filtering",
                               "<enabled>true</enabled><allow-first>false</allow-first><template></template>" +
                               filter_rule("bad", host="(^|[.])bad[.]test$") +
                               filter_rule("address", host="^127[.]0[.]0[.]2$") +
                               filter_rule("secret", path="^/secret"))
        text = replace_section(text, "urlblacklist",
                               "<enabled>true</enabled><allow-first>false</allow-first><directory>%s"
                               "</directory><template></template>"
                               "<deny><enabled>true</enabled><comment>adult</comment><profiles></profiles>"
                               "<categories>adult</categories><template></template></deny>" % self.tree)
        text = replace_section(text, "mime-filtering",
                               "<enabled>true</enabled><allow-first>false</allow-first><template></template>" +
                               mime_rule("exe", path="[.]exe$") + mime_rule("images", mime="^image/"))
        text = replace_section(text, "keywords-filtering",
                               "<enabled>true</enabled><threshold>50</threshold><template></template>" +
                               keyword_rule("forbiddenword", 100, profiles="words"))
        text = replace_section(text, "profiles",
                               path_profile("^/(words|always206)", "words") +
                               path_profile("", "limited", host="^limited[.]test$"))
        text = replace_section(text, "limits", "<enabled>true</enabled>" + limit_rule(profiles="limited", deny=True))
        with open(p.inst.config, "w") as f:
            f.write(text)
        return p.start()

    def stop(self):
        self.proxy.stop()
        self.ftp.stop()
        self.nginx.stop()
        self.dns.cleanup()
        shutil.rmtree(self.dir, ignore_errors=True)


SETUP = None


def setUpModule():
    global SETUP
    if inside() and NGINX and CURL and DNSMASQ and have_pyftpdlib():
        SETUP = Setup()


def tearDownModule():
    if SETUP:
        SETUP.stop()


def needs_namespace(cls):
    return unittest.skipUnless(inside() and NGINX and CURL and DNSMASQ and have_pyftpdlib(),
                               "needs root, unshare, ip, dnsmasq, nginx, curl and pyftpdlib")(cls)


def raw(port, request):
    """(status, headers, body) of one request sent as raw bytes; a CONNECT
    refusal is read up to the end of its page."""
    if request.startswith("CONNECT"):
        data = raw_exchange(port, request.encode(), until_close=False, want=b"</html>")[0]
    else:
        data = raw_exchange(port, request.encode())[0]
    return split_response(data)


@needs_namespace
class Tricks(unittest.TestCase):
    """One row per trick: each is refused, and the origin's bytes never reach
    the client."""

    def test_tricks_refused(self):
        n = SETUP.nginx.port
        f = SETUP.ftp.port

        def get(target, host=None, extra=""):
            return ("GET %s HTTP/1.1\r\nHost: %s\r\n%sConnection: close\r\n\r\n"
                    % (target, host or "x.test", extra))

        rows = [
            # trick, request, status, log line
            ("trailing dot in the URL", get("http://bad.test.:%d/index.html" % n, "bad.test.:%d" % n),
             200, "url filter: blocked: bad.test/index.html"),
            ("trailing dot in Host (transparent)", get("/index.html", "bad.test.:%d" % n), 200,
             "url filter: blocked: bad.test/index.html"),
            ("trailing dot in CONNECT", "CONNECT bad.test.:443 HTTP/1.1\r\nHost: bad.test.:443\r\n\r\n",
             404, "url filter: blocked: bad.test/"),
            ("trailing dot in an ftp URL", get("ftp://bad.test./pub/", "bad.test."), 200,
             "url filter: blocked: bad.test/pub/"),
            ("host of two dots", get("http://bad.test..:%d/" % n, "bad.test.."), 400,
             "request for a malformed host name refused"),
            ("Host of dots only", get("/index.html", "..:%d" % n), 400, None),
            ("range slice before the keyword", get("http://good.test:%d/words.html" % n, "good.test",
                                                   "Range: bytes=0-%d\r\n" % (SPLIT - 1)), 200, None),
            ("range slice after it", get("http://good.test:%d/words.html" % n, "good.test",
                                         "Range: bytes=%d-\r\n" % SPLIT), 200, None),
            ("a 206 sent anyway", get("http://good.test:%d/always206" % n, "good.test"), 400,
             "partial response while a check of the whole body applies"),
            ("ftp file by name on a miss", get("ftp://good.test:%d/pub/tool.exe" % f, "good.test"), 200,
             "mime filter: blocked: mime-type application/"),
            ("ftp file by type on a miss", get("ftp://good.test:%d/pub/pic.png" % f, "good.test"), 200,
             "mime filter: blocked: mime-type image/png"),
            ("escaped path", get("http://good.test:%d/%%73ecret" % n), 200, "url filter: blocked: good.test/%73ecret"),
            ("doubled slash", get("http://good.test:%d//secret" % n), 200, None),
            ("dot segment", get("http://good.test:%d/./secret" % n), 200, None),
            ("dot-dot segment", get("http://good.test:%d/x/../secret" % n), 200, None),
            ("escaped slash", get("http://good.test:%d/%%2fsecret" % n), 200, None),
            ("escaped urls prefix", get("http://good.test:%d/%%70rivate/x.html" % n), 200,
             "URL blacklist: match found in adult category"),
            ("doubled slash before a urls prefix", get("http://good.test:%d//private/x.html" % n), 200, None),
            ("trailing dot on a listed domain", get("http://porn.test.:%d/index.html" % n), 200, None),
            ("decimal address", get("http://2130706434:%d/index.html" % n), 200,
             "url filter: blocked: 127.0.0.2/index.html"),
            ("short address", get("http://127.2:%d/index.html" % n), 200, None),
            ("octal and hex address", get("http://0177.0.0x0.02:%d/index.html" % n), 200, None),
            ("host limit on a transparent request", get("/index.html", "limited.test:%d" % n), 404,
             "blocked: time limit restrictions"),
        ]
        for name, request, status, line in rows:
            with self.subTest(trick=name):
                got, headers, body = raw(SETUP.proxy.port, request)
                self.assertEqual(status, got, body[:300])
                self.assertNotIn(MARK, body)
                self.assertNotIn(b"forbiddenword", body)
                if line:
                    self.assertTrue(SETUP.proxy.wait_log(line), SETUP.proxy.log()[-3000:])
        # The refusals never reached the origin.
        for _, _, line, _ in SETUP.nginx.requests():
            self.assertNotIn("secret", line)
            self.assertNotIn("private", line)

    def test_forms_that_pass(self):
        """The plain allowed host, an allowed path holding %20, a numeric address of its
        own, a transparent request, a Range request where no body check applies (206),
        and an FTP file with its Content-Type from the system's table."""
        n = SETUP.nginx.port
        rows = [
            ("plain host", "http://good.test:%d/index.html" % n, (), 200, PAGE),
            ("escaped blank", "http://good.test:%d/a%%20b.html" % n, (), 200, PAGE),
            ("dotted address", "http://127.0.0.1:%d/index.html" % n, (), 200, PAGE),
            ("range without a body check", "http://good.test:%d/index.html" % n, ("-r", "0-9"), 206, PAGE[:10]),
        ]
        for name, url, args, status, body in rows:
            with self.subTest(form=name):
                c = Curl(SETUP.proxy.port, url, *args)
                self.addCleanup(c.cleanup)
                self.assertEqual(status, c.status, c.stderr)
                self.assertEqual(body, c.body())
        status, headers, body = raw(SETUP.proxy.port, "GET /index.html HTTP/1.1\r\nHost: good.test.:%d\r\n"
                                    "Connection: close\r\n\r\n" % n)
        self.assertEqual((200, PAGE), (status, body))
        c = Curl(SETUP.proxy.port, "ftp://good.test:%d/pub/readme.txt" % SETUP.ftp.port)
        self.addCleanup(c.cleanup)
        self.assertEqual((200, MARK + b" read me\n"), (c.status, c.body()))
        self.assertEqual("text/plain", c.headers().get("content-type"))


@needs_namespace
class MaxRequests(unittest.TestCase):
    """A request count of 3 with eight parallel requests gives exactly three
    answers, run after run: one rule (and one profile) per run, so every run
    starts from an empty count."""

    def test_cap_under_parallel_requests(self):
        p = Proxy(cache=False)
        with open(p.inst.config) as f:
            text = f.read()
        text = replace_section(text, "profiles", "".join(
            path_profile("", "run%d" % i, host="^run%d[.]test$" % i) for i in range(RUNS)))
        text = replace_section(text, "limits", "<enabled>true</enabled>" + "".join(
            limit_rule(profiles="run%d" % i, maxrequests=CAP) for i in range(RUNS)))
        with open(p.inst.config, "w") as f:
            f.write(text)
        p.start()
        self.addCleanup(p.stop)
        n = SETUP.nginx.port
        for run in range(RUNS):
            statuses = []
            barrier = threading.Barrier(PARALLEL)

            def one():
                barrier.wait()
                got, _, _ = raw(p.port, "GET http://run%d.test:%d/index.html HTTP/1.1\r\nHost: run%d.test\r\n"
                                "Connection: close\r\n\r\n" % (run, n, run))
                statuses.append(got)

            threads = [threading.Thread(target=one) for _ in range(PARALLEL)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            with self.subTest(run=run):
                self.assertEqual([200] * CAP + [404] * (PARALLEL - CAP), sorted(statuses))


if __name__ == "__main__":
    if not inside():
        rc = run_in_namespace(__file__, NS_ENV)
        if rc is not None:
            sys.exit(rc)
    unittest.main()
