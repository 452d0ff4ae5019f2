"""The web interface kept to its administrators, seen from outside. One
daemon listens twice: on 127.0.0.1 (the proxy port) and on every address
(the interface port); a client from 127.0.0.1 may use the interface, one
from 127.0.0.2 only the proxy. A proxy request for one of the daemon's own
listeners, in any spelling, is served as a request for the daemon itself
and never sent out to come back with the daemon's own address; a request
that already passed the daemon (its Via entry, here through squid as an
upstream that sends everything back) is refused. The login token is bound
to the daemon's process and expires: a daemon of the same configuration,
a restart and an hour on the clock (libfaketime moves the daemon's clock)
void it, while every page renews it. Five wrong passwords within a minute
make the next attempts wait unchecked. Headless Chromium refuses to show
any interface page, the login form and the diagnostic pages inside a
frame of another site."""

import json
import os
import re
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxytest import allow_rule, proxy_config  # noqa: E402
from quilltest import Install, free_port, replace_section, wait_for  # noqa: E402
from e2e_interface import PASSWORD, USER, Reply  # noqa: E402
from e2e_connect import peer_rule  # noqa: E402
from squidtest import SQUID, Squid  # noqa: E402

HOST = "quill.invalid"
FAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"
ADMIN = "127.0.0.1"      # the interface client
OUTSIDER = "127.0.0.2"   # the proxy-only client


def guard_config(proxy_port, interface_port, pair=(USER, PASSWORD), forward=None):
    """The shipped configuration with the proxy port on 127.0.0.1 and the
    interface port on every address; the admin may use the interface (with
    the login pair given), the outsider only the proxy; forward is the XML
    of the forward section's peers."""
    text = proxy_config(proxy_port, general={"cportrange": "1-65535"}, cache=False, allow_rules=[
        allow_rule(addresses=ADMIN, permissions="interface,proxy,connect,commands",
                   interface_username=pair[0], interface_password=pair[1]),
        allow_rule(addresses=OUTSIDER, permissions="proxy,connect")])
    listeners = ("\n        <listen>\n            <enabled>true</enabled>\n"
                 "            <comment>proxy</comment>\n            <port>%d</port>\n"
                 "            <address>127.0.0.1</address>\n        </listen>\n"
                 "        <listen>\n            <enabled>true</enabled>\n"
                 "            <comment>interface</comment>\n            <port>%d</port>\n"
                 "            <address></address>\n        </listen>\n    "
                 % (proxy_port, interface_port))
    text = replace_section(text, "network", listeners)
    if forward:
        text = replace_section(text, "forward",
                               "\n        <enabled>true</enabled>\n        <carp>false</carp>\n"
                               "        <carp-buckets>0</carp-buckets>\n%s\n    " % forward)
    return text


class Daemon:
    """One daemon of guard_config in the foreground; env adds to its
    environment."""

    def __init__(self, env=None, **config):
        self.port = free_port()
        self.interface_port = free_port()
        self.inst = Install(config=guard_config(self.port, self.interface_port, **config))
        self.env = dict(os.environ, **(env or {}))
        self.proc = None

    def start(self):
        """Starts the daemon and waits until the log, past what it held
        before, shows the interface port open."""
        mark = len(self.log())
        self.out = open(os.path.join(self.inst.dir, "stdout"), "ab")
        self.proc = subprocess.Popen(self.inst.args("-f"), stdin=subprocess.DEVNULL,
                                     stdout=self.out, stderr=subprocess.STDOUT, env=self.env)
        self.inst.proc = self.proc
        needle = "listening on 0.0.0.0:%d" % self.interface_port
        if not wait_for(lambda: needle in self.log()[mark:], 20):
            raise RuntimeError("daemon did not start:\n" + self.log()[mark:])
        return self

    def restart(self):
        self.stop()
        self.start()

    def stop(self):
        self.inst.stop()
        if self.proc:
            self.proc = None
            self.out.close()

    def cleanup(self):
        self.stop()
        self.inst.cleanup()

    def log(self):
        return self.inst.log_text()


def exchange(port, request, source=ADMIN, body=b""):
    """Sends one request (text; a body is added with its length) from the
    source address to the loopback port and returns the reply."""
    head = request
    if body:
        head += "Content-Length: %d\r\nContent-Type: application/x-www-form-urlencoded\r\n" % len(body)
    data = (head + "Connection: close\r\n\r\n").encode("latin-1") + body
    with socket.create_connection(("127.0.0.1", port), timeout=30,
                                  source_address=(source, 0)) as c:
        c.sendall(data)
        # The daemon closes after its answer.
        return Reply(c.makefile("rb").read())


def page(port, path="/stats", cookie=None, source=ADMIN):
    """An interface page through the proxy port, with a login cookie."""
    extra = "Cookie: login=%s\r\n" % cookie if cookie else ""
    return exchange(port, "GET http://%s%s HTTP/1.1\r\nHost: %s\r\n%s" % (HOST, path, HOST, extra),
                    source)


def login(port, password=PASSWORD):
    """Posts the login form through the proxy port from the interface's
    own page; returns the reply."""
    body = ("username=%s&password=%s" % (USER, password.replace(" ", "+"))).encode()
    return exchange(port, "POST http://%s/stats HTTP/1.1\r\nHost: %s\r\nReferer: http://%s/\r\n"
                    % (HOST, HOST, HOST), body=body)


def token_of(reply):
    """The login token a reply sets, or None."""
    for cookie in reply.cookies:
        match = re.match(r"login=([^;]+);", cookie)
        if match:
            return match.group(1)
    return None


def shows_pages(reply):
    return reply.status == 200 and "Top Menu" in reply.text


def shows_login(reply):
    return reply.status == 200 and "Web interface login" in reply.text and \
        "Top Menu" not in reply.text


class Loops(unittest.TestCase):
    def setUp(self):
        self.daemon = Daemon().start()
        self.addCleanup(self.daemon.cleanup)

    def test_own_listeners_in_any_spelling(self):
        """The outsider asks the proxy port for the interface port's pages
        under five names of this machine: each is refused as a request for
        the daemon itself and none reaches a listener; the admin gets the
        pages through the proxy, at the interface port and by the same
        looping URL."""
        d = self.daemon
        ip = d.interface_port
        for host in ("127.0.0.1", "2130706433", "127.1", "127.0.0.3", "localhost"):
            with self.subTest(host=host):
                url = "http://%s:%d/%s/stats" % (host, ip, HOST)
                r = exchange(d.port, "GET %s HTTP/1.1\r\nHost: %s:%d\r\nReferer: http://%s/\r\n"
                             % (url, host, ip, HOST), source=OUTSIDER)
                self.assertEqual(403, r.status, r.text[:300])
                self.assertNotIn("Top Menu", r.text)
                self.assertNotIn("Web interface login", r.text)
        self.assertEqual(5, d.log().count(
            "[IP:%s] web interface request refused: no interface permission" % OUTSIDER), d.log())

        # Outside the interface's paths, and through a tunnel: refused too.
        r = exchange(d.port, "GET http://127.1:%d/other HTTP/1.1\r\nHost: x\r\n" % ip,
                     source=OUTSIDER)
        self.assertEqual(404, r.status)
        self.assertIn("[IP:%s] Breach: denied: request for the proxy itself:%d" % (OUTSIDER, ip),
                      d.log())
        r = exchange(d.port, "CONNECT 2130706433:%d HTTP/1.1\r\nHost: x\r\n" % ip, source=OUTSIDER)
        self.assertEqual(403, r.status)
        self.assertIn("[IP:%s] Forwarding loop detected" % OUTSIDER, d.log())
        # Nothing ever connected to the interface port: no request came
        # from the daemon itself.
        self.assertNotIn("on port %d " % ip, d.log())

        cookie = token_of(login(d.port))
        self.assertTrue(cookie, d.log())
        self.assertTrue(shows_pages(page(d.port, cookie=cookie)))
        r = exchange(ip, "GET /%s/stats HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nCookie: login=%s\r\n"
                     % (HOST, ip, cookie))
        self.assertTrue(shows_pages(r), r.text[:300])
        r = exchange(d.port, "GET http://2130706433:%d/%s/stats HTTP/1.1\r\nHost: x\r\n"
                     "Cookie: login=%s\r\n" % (ip, HOST, cookie))
        self.assertTrue(shows_pages(r), r.text[:300])

    def test_request_carrying_own_via(self):
        """A request that carries the daemon's own Via entry is refused."""
        d = self.daemon
        for via in ("127.0.0.1:%d (Quillmere 0.1.0)" % d.port,
                    "1.1 squid, 1.1 127.0.0.5:%d (Quillmere 0.1.0)" % d.interface_port):
            with self.subTest(via=via):
                r = exchange(d.port, "GET http://127.0.0.1:%d/ HTTP/1.1\r\nHost: x\r\nVia: %s\r\n"
                             % (free_port(), via), source=OUTSIDER)
                self.assertEqual(403, r.status)
        self.assertEqual(2, d.log().count("[IP:%s] Forwarding loop detected" % OUTSIDER))


@unittest.skipUnless(SQUID, "needs squid")
class LoopThroughUpstream(unittest.TestCase):
    def test_upstream_sending_requests_back(self):
        """The daemon forwards to squid, which sends everything back to the
        daemon: the request returns with the daemon's Via and is refused."""
        # The daemon first: squid gives up on a parent it cannot reach at
        # its start.
        squid_port = free_port()
        daemon = Daemon(forward=peer_rule("127.0.0.1", squid_port, "http", "http")).start()
        self.addCleanup(daemon.cleanup)
        squid = Squid(port=squid_port,
                      extra=["cache_peer 127.0.0.1 parent %d 0 no-query default" % daemon.port,
                             "never_direct allow all"])
        self.addCleanup(squid.stop)
        url = "http://127.0.0.1:%d/loop" % free_port()
        r = exchange(daemon.port, "GET %s HTTP/1.1\r\nHost: x\r\n" % url, source=OUTSIDER)
        self.assertEqual(403, r.status, r.text[:300])
        self.assertTrue(daemon.inst.wait_log("[IP:127.0.0.1] Forwarding loop detected: " + url),
                        daemon.log()[-3000:])
        self.assertTrue(squid.wait_access("GET " + url), squid.access_lines())


class Tokens(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quill-clock-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.clock = os.path.join(self.dir, "faketime")
        self.set_clock(0)
        env = {}
        if os.path.exists(FAKETIME):
            env = {"LD_PRELOAD": FAKETIME, "FAKETIME_TIMESTAMP_FILE": self.clock,
                   "FAKETIME_NO_CACHE": "1", "FAKETIME_DONT_FAKE_MONOTONIC": "1",
                   # The sanitizer's allocator reads the clock when it
                   # gives memory back; at start-up that call can reach
                   # libfaketime before it is set up, whose set-up then
                   # allocates under the allocator's own lock and hangs.
                   "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") +
                   ":verify_asan_link_order=0:allocator_release_to_os_interval_ms=-1"}
        self.daemon = Daemon(env=env).start()
        self.addCleanup(self.daemon.cleanup)

    def set_clock(self, seconds):
        """Moves the daemon's clock seconds ahead of the real one."""
        with open(self.clock + ".new", "w") as f:
            f.write("%+d\n" % seconds)
        os.replace(self.clock + ".new", self.clock)

    def test_token_of_this_process_only_and_for_an_hour(self):
        d = self.daemon
        token = token_of(login(d.port))
        self.assertRegex(token or "", r"^\d+\.[0-9a-f]{64}$", d.log())

        # Every page renews it with a token issued then.
        r = page(d.port, cookie=token)
        self.assertTrue(shows_pages(r))
        self.assertTrue(token_of(r))
        self.assertGreaterEqual(int(token_of(r).split(".")[0]), int(token.split(".")[0]))

        # A daemon of the same configuration does not take it, nor does it
        # take that daemon's token.
        other = Daemon().start()
        try:
            self.assertTrue(shows_login(page(other.port, cookie=token)))
            foreign = token_of(login(other.port))
            self.assertTrue(foreign)
            self.assertTrue(shows_pages(page(other.port, cookie=foreign)))
            self.assertTrue(shows_login(page(d.port, cookie=foreign)))
        finally:
            other.cleanup()

        if not os.path.exists(FAKETIME):
            self.skipTest("the ageing needs libfaketime (scripts/install-deps.sh)")
        # Half an hour on: still taken, and renewed.
        self.set_clock(1800)
        r = page(d.port, cookie=token)
        self.assertTrue(shows_pages(r), d.log()[-2000:])
        renewed = token_of(r)
        self.assertGreaterEqual(int(renewed.split(".")[0]), int(token.split(".")[0]) + 1800)
        # An hour and more after it was issued the first token is refused;
        # the renewed one is taken.
        self.set_clock(3700)
        self.assertTrue(shows_login(page(d.port, cookie=token)))
        self.assertTrue(shows_pages(page(d.port, cookie=renewed)))

        # A restart voids every token.
        d.restart()
        self.assertTrue(shows_login(page(d.port, cookie=renewed)))
        self.assertTrue(token_of(login(d.port)))

    def test_guessing_waits(self):
        """After five wrong passwords within a minute a sixth is not
        checked, nor is the right one sent then; it works after the wait,
        found by polling. The wait is logged once, with the client's
        address."""
        d = self.daemon
        failed = "[IP:%s] web interface login failed" % ADMIN
        waiting = ("[IP:%s] web interface logins failed too often: further attempts are not "
                   "checked for 1 s" % ADMIN)
        # The wait is one second: the run counts when the right password
        # went out within it, else (a slow machine) it starts again.
        for attempt in range(5):
            before = d.log().count(failed)
            for _ in range(4):
                self.assertTrue(shows_login(login(d.port, "wrong")))
            start = time.monotonic()
            self.assertTrue(shows_login(login(d.port, "wrong")))
            sixth = login(d.port, "wrong")
            right = login(d.port)
            elapsed = time.monotonic() - start
            self.assertTrue(shows_login(sixth))
            if elapsed < 1.0:
                break
            self.assertTrue(wait_for(lambda: shows_pages(login(d.port)), 10))
        else:
            self.fail("no run of the attempts fitted into the one-second wait")
        self.assertTrue(shows_login(right), right.text[:300])
        self.assertEqual([], right.cookies)
        self.assertEqual(before + 5, d.log().count(failed), d.log()[-2000:])
        self.assertEqual(attempt + 1, d.log().count(waiting), d.log()[-2000:])

        reply = wait_for(lambda: (lambda r: r if shows_pages(r) else None)(login(d.port)), 10)
        self.assertTrue(reply, d.log()[-2000:])
        self.assertTrue(token_of(reply))
        # The success cleared the address: four new failures start no wait.
        for _ in range(4):
            self.assertTrue(shows_login(login(d.port, "wrong")))
        self.assertTrue(shows_pages(login(d.port)))
        self.assertEqual(attempt + 1, d.log().count(waiting))


class Framing(unittest.TestCase):
    """Chromium with a daemon that asks for no login (every page shows) and
    one that asks for it (the login form shows)."""

    PAGES = ["/", "/connections", "/stats", "/dnscache", "/headers", "/config", "/save",
             "/load", "/log", "/cache", "/pool", "/prefetch", "/urlbl", "/tavrin"]
    COMMANDS = [("limits", "Transfer limits for"), ("profiles", "Active profiles for"),
                ("cache", "Cache information for"), ("variables", "Variables for"),
                ("headers", "HTTP headers to/from")]

    def setUp(self):
        from e2e_browser import (BROWSER_DIR, CHROMIUM, Origin, browser_env,  # noqa: E402
                                 node_modules, processes_with, run_browser_script)
        self.BROWSER_DIR, self.browser_env = BROWSER_DIR, browser_env
        self.processes_with, self.run_browser_script = processes_with, run_browser_script
        self.assertTrue(os.access(CHROMIUM, os.X_OK),
                        "%s is missing: run scripts/install-deps.sh" % CHROMIUM)
        self.assertTrue(shutil.which("node"), "node is missing: run scripts/install-deps.sh")
        self.modules = node_modules()
        self.dir = tempfile.mkdtemp(prefix="quill-framing-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.marker = "framed-" + secrets.token_hex(6)
        self.third = Origin({"/ok.html": ("text/html", ("<html><body><p>%s</p></body></html>"
                                                        % self.marker).encode())})
        self.addCleanup(self.third.stop)
        self.site = Origin({"/page.html": ("text/html", b"<html><body>page</body></html>")})
        self.addCleanup(self.site.stop)
        self.open = Daemon(pair=("", "")).start()
        self.addCleanup(self.open.cleanup)
        self.closed = Daemon().start()
        self.addCleanup(self.closed.cleanup)

    def framing_page(self, name, urls):
        """Puts a page into the framing site: every URL in a frame, and the
        third site's page in one more; each frame counts its load."""
        frames = ['<iframe id="control" src="%s" onload="window.framesLoaded++"></iframe>'
                  % self.third.url("/ok.html")]
        frames += ['<iframe id="f%d" src="%s" onload="window.framesLoaded++"></iframe>' % (i, u)
                   for i, u in enumerate(urls)]
        body = ("<html><head><script>window.framesLoaded = 0;</script></head><body>\n%s\n"
                "</body></html>" % "\n".join(frames))
        self.frames_files["/" + name] = ("text/html", body.encode())
        return self.frames_site.url("/" + name)

    def test_no_interface_page_in_a_frame(self):
        from e2e_browser import Origin  # noqa: E402
        self.frames_files = {}
        self.frames_site = Origin(self.frames_files)
        self.addCleanup(self.frames_site.stop)
        site = "localhost:%d" % self.site.port
        pages = [["http://%s%s" % (HOST, p), "Top Menu"] for p in self.PAGES]
        pages += [["http://xx--%s.%s/page.html" % (c, site), m] for c, m in self.COMMANDS]
        login_pages = [["http://%s%s" % (HOST, p), "Web interface login"]
                       for p in ("/", "/config")]
        cases = [
            {"proxy": "127.0.0.1:%d" % self.open.port, "control": self.marker, "pages": pages,
             "frames": self.framing_page("open.html", [u for u, _ in pages])},
            {"proxy": "127.0.0.1:%d" % self.closed.port, "control": self.marker,
             "pages": login_pages,
             "frames": self.framing_page("closed.html", [u for u, _ in login_pages])},
        ]
        env = self.browser_env(self.modules, self.dir)
        env.update(TMPDIR=self.dir, QUILL_CASES=json.dumps(cases))
        try:
            code, out, err = self.run_browser_script(
                os.path.join(self.BROWSER_DIR, "framing.js"), env, 180)
        finally:
            left = wait_for(lambda: not self.processes_with(self.dir), 15) or \
                self.processes_with(self.dir)
            for pid in ([] if left is True else left):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        sys.stdout.write(out)
        self.assertEqual(0, code, out + err + "\n--- daemon log ---\n" +
                         self.open.log()[-3000:] + self.closed.log()[-2000:])


if __name__ == "__main__":
    unittest.main()
