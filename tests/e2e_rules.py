"""Header rules, cookie rules and MIME rules end to end: curl as the client,
the daemon as its proxy, nginx on loopback as the origin. nginx echoes the
request's User-Agent, Referer, Cookie and custom lines (and, with its echo
module, the request head as it arrived), sets several cookies with and
without Expires, Domain, Path and HttpOnly, serves PNG, HTML with and
without a charset and a file without Content-Type, and answers
If-Modified-Since with 304. Each group is one table of configurations."""

import http.client
import os
import re
import sys
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxytest import CURL, NGINX, Curl, Nginx, Proxy, raw_exchange, split_response  # noqa: E402
from quilltest import wait_for  # noqa: E402
from e2e_requestchecks import read, replace_section  # noqa: E402

INTERFACE = "quill.invalid"
USER = "admin"
PASSWORD = "pass"
PNG = b"\x89PNG\r\n\x1a\n" + b"\x00" * 32
ECHO = ("ua=[$http_user_agent] ref=[$http_referer] cookie=[$http_cookie] "
        "custom=[$http_x_custom] added=[$http_x_added] ims=[$http_if_modified_since]\\n")
COOKIES = (
    "sess=1; Path=/; HttpOnly",
    "exp=2; Expires=Tue, 15-Jan-2030 10:30:00 GMT; Path=/",
    "dom=3; Domain=127.0.0.1; Path=/shop",
    "far=4; Expires=Sun, 15-Jul-2040 22:00:00 GMT",
)
HOSTILE_COOKIE = '<script>x=1</script>=<img src=x onerror=y>; Path=/"<b>"'


class RulesOrigin(Nginx):
    """nginx with the locations these tests need."""

    def __init__(self):
        super().__init__({"a.png": PNG, "ok.png": PNG, "page.html": b"<p>page</p>\n",
                          "charset.html": b"<p>charset</p>\n", "noct": b"no type\n",
                          "stale.html": b"<p>stale</p>\n"})

    def config(self):
        d = self.dir
        load = "load_module %s;\n" % "/usr/lib/nginx/modules/ngx_http_echo_module.so" \
            if self.has_echo else ""
        raw = "location = /raw { default_type text/plain; echo $echo_client_request_headers; }\n" \
            if self.has_echo else ""
        cookies = "".join("add_header Set-Cookie '%s';\n" % c for c in COOKIES)
        user = "user root;\n" if os.geteuid() == 0 else ""
        return (load + user +
                "worker_processes 1;\ndaemon off;\npid %s/nginx.pid;\nerror_log %s/error.log;\n"
                "events { worker_connections 64; }\n"
                "http {\n"
                "  log_format conn '$connection $connection_requests \"$request\" $status';\n"
                "  access_log %s/access.log conn;\n"
                "  client_body_temp_path %s/body; proxy_temp_path %s/proxy;\n"
                "  fastcgi_temp_path %s/fastcgi; uwsgi_temp_path %s/uwsgi; scgi_temp_path %s/scgi;\n"
                "  types { text/html html; image/png png; }\n"
                "  if_modified_since before;\n"
                "  server {\n    listen 127.0.0.1:%d;\n    root %s;\n"
                "    location = /echo { default_type text/plain; add_header X-Server-Custom s1;\n"
                "      return 200 \"%s\"; }\n"
                "    location = /cookies { default_type text/plain;\n%s"
                "      return 200 \"cookie=[$http_cookie]\\n\"; }\n"
                "    location = /hostile { default_type text/plain;\n"
                "      add_header Set-Cookie '%s'; return 200 \"h\\n\"; }\n"
                "    location = /noct { default_type \"\"; }\n"
                "    location = /charset.html { charset utf-8; }\n"
                "    location = /stale.html { add_header Expires \"Thu, 01 Jan 1998 00:00:00 GMT\"; }\n"
                "    %s"
                "  }\n}\n" % (d, d, d, d, d, d, d, d, self.port, self.root, ECHO, cookies,
                              HOSTILE_COOKIE, raw))


ORIGIN = None


def setUpModule():
    global ORIGIN
    if NGINX and CURL:
        ORIGIN = RulesOrigin().start()


def tearDownModule():
    if ORIGIN:
        ORIGIN.stop()


def needs_peers(cls):
    return unittest.skipUnless(NGINX and CURL, "needs nginx and curl")(cls)


def access_rule():
    return ("<allow><enabled>true</enabled><comment>test</comment><log>false</log>"
            "<profiles></profiles><interfaces></interfaces><addresses>127.0.0.1</addresses>"
            "<pam>false</pam><username></username><password></password>"
            "<permissions>interface,proxy,connect,commands,bypass</permissions><bypass></bypass>"
            "<interface-username>%s</interface-username><interface-password>%s"
            "</interface-password><add-profiles>staff</add-profiles></allow>" % (USER, PASSWORD))


def section(enabled=True, allow_first=False, rules=(), template=None):
    body = "<enabled>%s</enabled><allow-first>%s</allow-first>" % (
        "true" if enabled else "false", "true" if allow_first else "false")
    if template is not None:
        body += "<template>%s</template>" % template
    return body + "".join(rules)


def header_rule(kind, name="", value="", direction="client", profiles=""):
    return ("<{k}><enabled>true</enabled><comment>{k} {n}</comment><profiles>{p}</profiles>"
            "<name>{n}</name><value>{v}</value><direction>{d}</direction></{k}>"
            .format(k=kind, n=name, v=value, d=direction, p=profiles))


WINDOW_PARTS = (("year", "1970,2100"), ("month", "january,december"), ("day", "1,31"),
                ("weekday", "sunday,saturday"), ("hour", "0,23"), ("minute", "0,59"))


def cookie_rule(kind, direction="incoming", domain="", path="", window=None, recurring=False,
                comment="rule"):
    window = window or {}
    parts = "".join('<{0} active="{1}">{2}</{0}>'.format(n, "true" if n in window else "false",
                                                       window.get(n, default))
                    for n, default in WINDOW_PARTS)
    return ("<{k}><enabled>true</enabled><comment>{c}</comment><profiles></profiles>{w}"
            "<domain>{dom}</domain><path>{p}</path><direction>{d}</direction>"
            "<recurring>{r}</recurring></{k}>"
            .format(k=kind, c=comment, w=parts, dom=domain, p=path, d=direction,
                    r="true" if recurring else "false"))


def mime_rule(kind, mime="", host="", path="", comment="rule", template=""):
    return ("<{k}><enabled>true</enabled><comment>{c}</comment><profiles></profiles>"
            "<host>{h}</host><path>{p}</path><mime-type>{m}</mime-type>"
            "<template>{t}</template></{k}>"
            .format(k=kind, c=comment, h=host, p=path, m=mime, t=template))


class RawClient:
    """The part of Curl these tests read, for one GET sent as raw bytes:
    args are curl's -A, -e, -H and -b options."""

    def __init__(self, port, url, *args):
        names = {"-A": "User-Agent", "-e": "Referer", "-b": "Cookie"}
        lines = ["GET %s HTTP/1.1" % url, "Host: %s" % url.split("/")[2],
                 "Connection: close"]
        for option, value in zip(args[::2], args[1::2]):
            lines.append("%s: %s" % (names[option], value) if option in names else value)
        data, _ = raw_exchange(port, ("\r\n".join(lines) + "\r\n\r\n").encode(), timeout=60)
        self.status, _, self.data = split_response(data)
        head = data.partition(b"\r\n\r\n")[0].decode(errors="replace")
        self.raw_headers = head + "\r\n\r\n"
        self.stderr = head

    def body(self):
        return self.data

    def headers(self):
        return split_response(self.raw_headers.encode())[1]


class RulesCase(unittest.TestCase):
    template = None

    def proxy(self, header=None, cookies=None, mime=None, cache=False, start=True):
        """A daemon with the sections given (XML bodies), stopped with the
        test. A template file "rules" shows the FILTER and MIME variables."""
        p = Proxy(allow_rules=[access_rule()], cache=cache)
        self.addCleanup(p.stop)
        template = os.path.join(p.inst.dir, "rules.html")
        with open(template, "w") as f:
            f.write("<html>FILTER=@FILTER@ MIME=@MIME@</html>\n")
        with open(p.inst.config) as f:
            text = f.read()
        text = replace_section(
            text, "templates",
            "<directory></directory><page><enabled>true</enabled><comment>t</comment>"
            "<profiles></profiles><name>rules</name><file>%s</file>"
            "<mime-type>text/html</mime-type><status>0</status><suppress>false</suppress>"
            "<parse>true</parse></page>" % template)
        for name, body in (("header-filtering", header), ("cookies-filtering", cookies),
                           ("mime-filtering", mime)):
            if body is not None:
                text = replace_section(text, name, body)
        with open(p.inst.config, "w") as f:
            f.write(text)
        return p.start() if start else p

    def curl(self, proxy, path, *args, host=None):
        """curl through proxy; a host carrying a URL command with options
        (brackets, which curl refuses in a host) goes by RawClient."""
        url = "http://%s:%d%s" % (host or "127.0.0.1", ORIGIN.port, path)
        if "[" in url:
            return RawClient(proxy.port, url, *args)
        c = Curl(proxy.port, url, timeout=60, *args)
        self.addCleanup(c.cleanup)
        return c

    @staticmethod
    def echoed(curl):
        return dict(re.findall(r"(\w+)=\[(.*?)\]", curl.body().decode(errors="replace")))

    @staticmethod
    def set_cookies(curl):
        blocks = [b for b in curl.raw_headers.split("\r\n\r\n") if b.strip()]
        return [line.split(":", 1)[1].strip() for line in blocks[-1].split("\r\n")[1:]
                if line.lower().startswith("set-cookie:")]


@needs_peers
class HeaderRules(RulesCase):
    REQUEST = ("-A", "curl-test", "-e", "http://from.example/", "-H", "X-Custom: c1")

    def test_header_rules_table(self):
        """Per configuration: what the origin received and what the client
        got back, and the log lines that claim a removal or an addition."""
        deny_both = [header_rule("deny", "^x-custom$"), header_rule("deny", "^user-agent$")]
        cases = [
            ("deny a pass-through line and a field-held one", section(rules=deny_both), "",
             {"ua": "", "custom": "", "ref": "http://from.example/"}, {},
             ["header: removed: from client: User-Agent: curl-test",
              "header: removed: from client: X-Custom: c1"]),
            ("bypass h", section(rules=deny_both), "xx--bypass[h].",
             {"ua": "curl-test", "custom": "c1"}, {}, []),
            ("section off", section(enabled=False, rules=deny_both), "",
             {"ua": "curl-test", "custom": "c1"}, {}, []),
            ("allow-first without an allow-all rule: only added lines",
             section(allow_first=True, rules=[header_rule("add", "X-Added", "1")]), "",
             {"ua": "", "custom": "", "ref": "", "added": "1"}, {"x-server-custom": None},
             ["header: added: to client: X-Added: 1"]),
            ("allow-first with an allow-all rule",
             section(allow_first=True, rules=[header_rule("allow", ".", direction="client,server")]),
             "", {"ua": "curl-test", "custom": "c1", "ref": "http://from.example/"},
             {"x-server-custom": "s1"}, []),
            ("added lines per direction, one replacing User-Agent",
             section(rules=[header_rule("add", "User-Agent", "Corporate/2"),
                            header_rule("add", "X-Added", "1"),
                            header_rule("add", "X-Resp", "r1", direction="server")]), "",
             {"ua": "Corporate/2", "added": "1", "custom": "c1"}, {"x-resp": "r1"}, []),
            ("response lines by direction",
             section(rules=[header_rule("deny", "^x-server-custom$", direction="server")]), "",
             {"custom": "c1"}, {"x-server-custom": None},
             ["header: removed: from server: X-Server-Custom: s1"]),
            ("profiles: the access rule adds staff",
             section(rules=[header_rule("deny", "^x-custom$", profiles="staff"),
                            header_rule("deny", "^referer$", profiles="other")]), "",
             {"custom": "", "ref": "http://from.example/"}, {}, []),
        ]
        for what, body, commands, origin_saw, client_got, logged in cases:
            with self.subTest(what):
                p = self.proxy(header=body)
                c = self.curl(p, "/echo", *self.REQUEST, host=commands + "127.0.0.1")
                self.assertEqual(200, c.status, c.stderr)
                echoed = self.echoed(c)
                for name, value in origin_saw.items():
                    self.assertEqual(value, echoed.get(name), echoed)
                headers = c.headers()
                for name, value in client_got.items():
                    self.assertEqual(value, headers.get(name), headers)
                for line in logged:
                    self.assertTrue(p.wait_log(line, 5), line)
                self.assertNotIn("removed: from client: Host", p.log())

    @unittest.skipUnless(os.path.exists("/usr/lib/nginx/modules/ngx_http_echo_module.so"),
                         "needs nginx's echo module")
    def test_add_rule_replaces_held_line(self):
        """An add rule naming User-Agent sends one line, not two; a denied
        Via is replaced by the proxy's own entry alone."""
        p = self.proxy(header=section(rules=[header_rule("add", "User-Agent", "Corporate/2"),
                                             header_rule("deny", "^via$")]))
        c = self.curl(p, "/raw", "-A", "curl-test", "-H", "Via: 1.1 inner")
        head = c.body().decode(errors="replace")
        self.assertEqual(["User-Agent: Corporate/2"],
                         [l for l in head.split("\r\n") if l.lower().startswith("user-agent:")])
        vias = [l for l in head.split("\r\n") if l.lower().startswith("via:")]
        self.assertEqual(1, len(vias), head)
        self.assertIn("Quillmere", vias[0])
        self.assertNotIn("inner", head)

    def test_add_rule_naming_framing_line_refused(self):
        """An add rule for Content-Length stops the start with the
        configuration's error line."""
        p = self.proxy(header=section(rules=[header_rule("add", "Content-Length", "5")]),
                       start=False)
        r = p.inst.run(timeout=30)
        self.assertNotEqual(0, r.returncode)
        line = ("flawed XML file, section header-filtering, element add: name must be a header "
                "name (a token) that the proxy does not write itself, but it is given value "
                "Content-Length")
        self.assertIn(line, r.stdout + r.stderr + p.log())

    def test_refused_if_modified_since_still_revalidates(self):
        """The client's If-Modified-Since is refused, yet a stale cached copy
        is revalidated with the proxy's own and served on the 304."""
        p = self.proxy(header=section(rules=[header_rule("deny", "^if-modified-since$")]),
                       cache=True)
        c = self.curl(p, "/echo", "-H", "If-Modified-Since: Mon, 01 Jan 2024 00:00:00 GMT")
        self.assertEqual("", self.echoed(c)["ims"])
        first = self.curl(p, "/stale.html")
        second = self.curl(p, "/stale.html")
        self.assertEqual(b"<p>stale</p>\n", first.body())
        self.assertEqual(b"<p>stale</p>\n", second.body())
        statuses = [s for _, _, line, s in ORIGIN.requests() if "/stale.html" in line]
        self.assertEqual(304, statuses[-1], statuses)
        self.assertTrue(p.wait_access("TCP_REFRESH_HIT", 5), p.access_log())


@needs_peers
class CookieRules(RulesCase):
    def cookie_names(self, c):
        return [v.split("=", 1)[0] for v in self.set_cookies(c)]

    def test_cookie_rules_table(self):
        """Per configuration: the Set-Cookie lines that reach the client
        (byte for byte when they pass) and the Cookie the origin got."""
        deny_in = section(rules=[cookie_rule("deny", "incoming")])
        cases = [
            ("deny incoming", deny_in, "", [], "a=1"),
            ("bypass c", deny_in, "xx--bypass[c].", ["sess", "exp", "dom", "far"], "a=1"),
            ("deny outgoing", section(rules=[cookie_rule("deny", "outgoing")]), "",
             ["sess", "exp", "dom", "far"], ""),
            ("deny both", section(rules=[cookie_rule("deny", "both")]), "", [], ""),
            ("absolute window 2029-2035: session cookies never match",
             section(rules=[cookie_rule("deny", window={"year": "2029,2035"})]), "",
             ["sess", "dom", "far"], "a=1"),
            ("recurring window Monday to Friday, 9 to 17",
             section(rules=[cookie_rule("deny", window={"weekday": "monday,friday",
                                                        "hour": "9,17"}, recurring=True)]), "",
             ["sess", "dom", "far"], "a=1"),
            ("domain expression", section(rules=[cookie_rule("deny", domain=r"^127\.")]), "",
             ["sess", "exp", "far"], "a=1"),
            ("path expression, denied and allowed back",
             section(rules=[cookie_rule("deny", path="^/"),
                            cookie_rule("allow", path="^/shop")]), "", ["dom", "far"], "a=1"),
            ("allow-first: only path /; outgoing cookies have no path to test",
             section(allow_first=True, rules=[cookie_rule("allow", "both", path="^/$")]), "",
             ["sess", "exp"], "a=1"),
        ]
        for what, body, commands, kept, sent in cases:
            with self.subTest(what):
                p = self.proxy(cookies=body)
                c = self.curl(p, "/cookies", "-b", "a=1", host=commands + "127.0.0.1")
                self.assertEqual(200, c.status, c.stderr)
                self.assertEqual(kept, self.cookie_names(c))
                for line in self.set_cookies(c):
                    self.assertIn(line, COOKIES)
                self.assertEqual(sent, self.echoed(c)["cookie"])
                if len(kept) < 4:
                    self.assertTrue(p.wait_log("cookie filter: blocked: incoming from 127.0.0.1", 5))
                if sent == "":
                    self.assertTrue(p.wait_log("cookie filter: blocked: outgoing to 127.0.0.1", 5))

    def test_interface_login_under_deny_incoming(self):
        """The interface's own login cookie is not the rules' to judge."""
        p = self.proxy(cookies=section(rules=[cookie_rule("deny", "both")]))
        conn = http.client.HTTPConnection("127.0.0.1", p.port, timeout=30)
        self.addCleanup(conn.close)
        conn.request("POST", "http://%s/" % INTERFACE,
                     body=urllib.parse.urlencode({"username": USER, "password": PASSWORD}),
                     headers={"Content-Type": "application/x-www-form-urlencoded",
                              "Referer": "http://%s/" % INTERFACE})
        r = conn.getresponse()
        r.read()
        cookies = [v for k, v in r.getheaders() if k.lower() == "set-cookie"]
        self.assertEqual(1, len(cookies), r.getheaders())
        self.assertTrue(cookies[0].startswith("login="))
        conn.request("GET", "http://%s/" % INTERFACE,
                     headers={"Cookie": cookies[0].split(";")[0],
                              "Referer": "http://%s/" % INTERFACE})
        page = conn.getresponse().read().decode(errors="replace")
        self.assertIn("Top Menu", page)

    def test_cookies_page_escapes(self):
        """The "cookies" page lists what was sent and received, escaped."""
        p = self.proxy()
        c = self.curl(p, "/hostile", "-b", "s=<i>x</i>", host="xx--cookies.127.0.0.1")
        self.assertEqual(200, c.status)
        page = c.body().decode(errors="replace")
        self.assertIn("<title>Cookies for 127.0.0.1/hostile", page)
        self.assertIn("Sent cookie", page)
        self.assertIn("Received cookie", page)
        self.assertIn("<td>Path</td><td>/&quot;&lt;b&gt;&quot;</td>", page)
        self.assertIn("&lt;i&gt;x&lt;/i&gt;", page)
        for raw in ("<script>", "<img", "<b>", "<i>"):
            self.assertNotIn(raw, page)


@needs_peers
class MimeRules(RulesCase):
    def test_mime_rules_table(self):
        """Per configuration and path: passed, or refused with the page."""
        images = mime_rule("deny", "^image/", comment="images")
        cases = [
            ("^image/ denied", section(rules=[images], template=""), [
                ("/a.png", "", None, True), ("/page.html", "", None, False)]),
            ("denied, then allowed back", section(
                rules=[images, mime_rule("allow", "^image/png$", path="^/ok")], template=""), [
                ("/a.png", "", None, True), ("/ok.png", "", None, False)]),
            ("parameters are part of the value", section(
                rules=[mime_rule("deny", "^text/html$")], template=""), [
                ("/page.html", "", None, True), ("/charset.html", "", None, False)]),
            ("allow-first", section(allow_first=True, rules=[mime_rule("allow", "^text/")],
                                    template=""), [
                ("/a.png", "", None, True), ("/page.html", "", None, False),
                ("/noct", "", None, True)]),
            ("bypass m", section(rules=[images], template=""), [
                ("/a.png", "xx--bypass[m].", None, False)]),
            ("HEAD and 304 never reach the rules", section(rules=[images], template=""), [
                ("/a.png", "", ("-I",), False),
                ("/a.png", "", ("-H", "If-Modified-Since: Fri, 01 Jan 2100 00:00:00 GMT"),
                 False)]),
        ]
        for what, body, requests in cases:
            with self.subTest(what):
                p = self.proxy(mime=body)
                for path, commands, args, refused in requests:
                    c = self.curl(p, path, *(args or ()), host=commands + "127.0.0.1")
                    if refused:
                        self.assertEqual(200, c.status)
                        self.assertIn(b"blocked", c.body().lower(), path)
                        self.assertTrue(p.wait_log("mime filter: blocked: mime-type", 5))
                    elif args and args[0] == "-I":
                        self.assertEqual(200, c.status)
                        self.assertEqual("image/png", c.headers().get("content-type"))
                    elif args:
                        self.assertEqual(304, c.status)
                    else:
                        self.assertEqual(200, c.status, path)
                        self.assertNotIn(b"blocked", c.body().lower(), path)

    def test_refusal_logs_and_page(self):
        """No Content-Type: "(UNKNOWN)" on the page, "(none)" in the logs;
        the refusal is written to both access logs (TCP_DENIED, and the
        filter with its reason), with status 200."""
        p = self.proxy(mime=section(rules=[mime_rule("deny", path="^/noct$")], template="rules"))
        c = self.curl(p, "/noct")
        self.assertEqual(200, c.status)
        self.assertIn(b"FILTER=MiMe Filter MIME=(UNKNOWN)", c.body())
        self.assertTrue(p.wait_log("mime filter: blocked: mime-type (none) from 127.0.0.1/noct"))
        self.assertTrue(p.wait_access("TCP_DENIED", 5), p.access_log())
        # The extended log names the filter and its reason, not the cache code.
        self.assertTrue(wait_for(lambda: '"mime-filter (none)"' in read(p.inst.extended), 5),
                        read(p.inst.extended))

    def test_mime_page(self):
        """The "mime" page shows the deciding entry, "None", or the default
        rule's refusal, with the host and path escaped."""
        p = self.proxy(mime=section(rules=[mime_rule("deny", "^image/", comment="no-images")],
                                    template=""))
        c = self.curl(p, "/a.png", host="xx--mime.127.0.0.1")
        page = c.body().decode(errors="replace")
        self.assertIn("<title>MIME filter match for 127.0.0.1/a.png", page)
        self.assertIn("no-images", page)
        c = self.curl(p, "/page.html", host="xx--mime.127.0.0.1")
        self.assertIn(">None<", c.body().decode(errors="replace"))
        q = self.proxy(mime=section(allow_first=True, rules=[], template=""))
        c = self.curl(q, "/page.html", host="xx--mime.127.0.0.1")
        self.assertIn("Refused: no allow rule matched", c.body().decode(errors="replace"))

    def test_broken_expression_refused(self):
        p = self.proxy(mime=section(rules=[mime_rule("deny", "image/(")], template=""),
                       start=False)
        r = p.inst.run(timeout=30)
        self.assertNotEqual(0, r.returncode)
        self.assertIn("flawed XML file, section mime-filtering, element deny: mime-type must be "
                      "a valid regular expression, but it is given value image/(",
                      r.stdout + r.stderr + p.log())


if __name__ == "__main__":
    unittest.main()
