"""Headless Chromium (Debian's package, installed by scripts/install-deps.sh)
driven by playwright-core, with the daemon as the browser's proxy: the web
interface (tests/browser/interface_login.js); the configuration editor,
save and load (tests/browser/config_editor.js); an https:// page through a
CONNECT tunnel the daemon opens itself, an http:// page through squid as
the upstream parent, and the https:// page through a tunnel at squid
(tests/browser/tunnel_upstream.js); the status pages and the cache
browser with a request in progress, cached objects from nginx and hostile
URLs (tests/browser/status_pages.js). The npm packages come from
tests/browser/package-lock.json and are installed once into a cache
directory outside the source tree."""

import hashlib
import http.server
import os
import re
import secrets
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quilltest import SOURCE, Install, wait_for  # noqa: E402
from proxytest import Proxy  # noqa: E402
from e2e_interface import (PASSWORD, SKIP_REASON, USER, free_port,  # noqa: E402
                           interface_config, pipeline_ready)
from e2e_connect import OPENSSL, peer_rule  # noqa: E402
from squidtest import SQUID, Squid  # noqa: E402
from e2e_cache import NGINX, fetch  # noqa: E402
from e2e_status_pages import (blacklist_tree, cached_objects, held_request,  # noqa: E402
                              interface_daemon)

BROWSER_DIR = os.path.join(SOURCE, "tests", "browser")
CHROMIUM = "/usr/bin/chromium"


def node_modules():
    """The node_modules directory matching the lock file, installed with
    npm ci into the cache on first use. Returns its path."""
    with open(os.path.join(BROWSER_DIR, "package-lock.json"), "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()[:16]
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    target = os.path.join(base, "quillmere-browser-test", digest)
    modules = os.path.join(target, "node_modules")
    if os.path.isdir(os.path.join(modules, "playwright-core")):
        return modules
    # Installed into a fresh directory and moved into place whole, so an
    # interrupted install never leaves a half-filled cache behind.
    os.makedirs(os.path.dirname(target), exist_ok=True)
    work = tempfile.mkdtemp(prefix=digest + ".", dir=os.path.dirname(target))
    try:
        for name in ("package.json", "package-lock.json"):
            shutil.copy(os.path.join(BROWSER_DIR, name), work)
        run = subprocess.run(["npm", "ci", "--no-audit", "--no-fund", "--ignore-scripts"],
                             cwd=work, capture_output=True, text=True, timeout=600)
        if run.returncode != 0:
            raise RuntimeError("npm ci failed:\n" + run.stdout + run.stderr)
        shutil.rmtree(target, ignore_errors=True)
        os.rename(work, target)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return modules


CERT_SUBJECT = "quill tunnel origin"
SCRIPT_SIZE = 512 * 1024   # the string in each page's script, in characters


def make_certificate(directory):
    """A self-signed certificate for 127.0.0.1 and its key, made with
    openssl req in directory. Returns (certificate path, key path)."""
    cert = os.path.join(directory, "cert.pem")
    key = os.path.join(directory, "key.pem")
    subprocess.run([OPENSSL, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "1", "-subj", "/CN=" + CERT_SUBJECT,
                    "-addext", "subjectAltName=IP:127.0.0.1"],
                   check=True, capture_output=True, timeout=60)
    return cert, key


def text_hash(text):
    """The 32-bit hash the page script computes over its string."""
    h = 0
    for c in text:
        h = (h * 31 + ord(c)) & 0xFFFFFFFF
    return h


def page_files(marker):
    """path -> (content type, body) of the test page and its script. The
    script writes the marker and its string's length into the page when
    the string arrived unchanged, else "corrupt" and the hash it found."""
    pad = secrets.token_hex(SCRIPT_SIZE // 2)
    script = ('"use strict";\nvar pad = "%s";\n'
              'var h = 0;\n'
              'for (var i = 0; i < pad.length; i++) h = (Math.imul(h, 31) + pad.charCodeAt(i)) >>> 0;\n'
              'document.getElementById("dynamic").textContent = h === %d ?\n'
              '    "script %s " + pad.length : "corrupt " + h + " " + pad.length;\n'
              % (pad, text_hash(pad), marker))
    page = ('<!DOCTYPE html>\n<html><head><title>quill test page</title></head><body>\n'
            '<p id="static">page %s</p>\n<p id="dynamic"></p>\n'
            '<script src="/app.js"></script>\n</body></html>\n' % marker)
    return {"/page.html": ("text/html; charset=utf-8", page.encode()),
            "/app.js": ("application/javascript", script.encode())}


class _OriginServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    tls = None   # an ssl.SSLContext for a TLS origin

    def finish_request(self, request, client_address):
        # The TLS handshake runs in the connection's own thread, so a slow
        # client never holds up the accepting one.
        request.settimeout(30)
        if self.tls is None:
            self.RequestHandlerClass(request, client_address, self)
            return
        try:
            conn = self.tls.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        try:
            self.RequestHandlerClass(conn, client_address, self)
        finally:
            conn.close()


class Origin:
    """An origin server on a free loopback port, in threads of this
    process, plain or (with a certificate and key) TLS. It serves the files
    given (path -> (content type, body)) with keep-alive, 404 for the rest,
    and remembers (method, path, headers) of every request."""

    def __init__(self, files, cert=None, key=None):
        self.requests = []
        lock = threading.Lock()
        origin = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                with lock:
                    origin.requests.append((self.command, self.path, dict(self.headers)))
                kind, body = files.get(self.path.split("?")[0], ("text/plain", None))
                self.send_response(200 if body is not None else 404)
                body = body if body is not None else b"not here\n"
                self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Cache-Control", "no-store")
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = _OriginServer(("127.0.0.1", 0), Handler)
        if cert:
            self.server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.server.tls.load_cert_chain(cert, key)
        self.port = self.server.server_address[1]
        self.scheme = "https" if cert else "http"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return "%s://127.0.0.1:%d%s" % (self.scheme, self.port, path)

    def paths(self):
        return [path for _, path, _ in list(self.requests)]

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(10)


def processes_with(needle):
    """The ids of the processes whose command line contains needle."""
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit() or int(name) == os.getpid():
            continue
        try:
            with open("/proc/%s/cmdline" % name, "rb") as f:
                if needle.encode() in f.read():
                    found.append(int(name))
        except OSError:
            pass
    return found


def run_browser_script(script, env, timeout):
    """Runs a browser script with node; returns (exit code, stdout, stderr).
    Past the time-out node gets SIGTERM, on which playwright closes the
    browser, and then SIGKILL."""
    proc = subprocess.Popen(["node", script], env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.send_signal(signal.SIGTERM)
        try:
            out, err = proc.communicate(timeout=15)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
        err += "\n(node ran past %d s and was stopped)" % timeout
    return proc.returncode, out, err


def browser_env(modules, home):
    env = dict(os.environ, NODE_PATH=modules, HOME=home)
    for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy",
                 "ALL_PROXY", "no_proxy", "NO_PROXY"):
        env.pop(name, None)
    return env


@unittest.skipUnless(OPENSSL and SQUID, "needs openssl and squid")
class TunnelAndUpstream(unittest.TestCase):
    """The first things to try after switching on tunnels and an upstream,
    in one browser run: Chromium loads an https:// page through a CONNECT
    tunnel the daemon opens itself and an http:// page the daemon passes to
    squid by a peer rule for http alone; through a second daemon, whose
    rule sends tunnels to squid too, it loads the https:// page again."""

    def setUp(self):
        self.assertTrue(os.access(CHROMIUM, os.X_OK),
                        "%s is missing: run scripts/install-deps.sh" % CHROMIUM)
        self.assertTrue(shutil.which("node"), "node is missing: run scripts/install-deps.sh")
        self.modules = node_modules()
        self.dir = tempfile.mkdtemp(prefix="quill-browser-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.marker = "quill-" + secrets.token_hex(8)
        files = page_files(self.marker)
        cert, key = make_certificate(self.dir)
        self.tls_origin = Origin(files, cert, key)
        self.addCleanup(self.tls_origin.stop)
        self.origin = Origin(files)
        self.addCleanup(self.origin.stop)
        self.squid = Squid()
        self.addCleanup(self.squid.stop)
        self.proxy = self.forwarding_proxy("http")
        self.chained = self.forwarding_proxy("http,connect")

    def forwarding_proxy(self, protocols):
        """A daemon with every CONNECT port allowed, no object cache and one
        peer rule: squid, for the protocols given."""
        proxy = Proxy(general={"cportrange": "1-65535"}, cache=False)
        self.addCleanup(proxy.stop)
        with open(proxy.inst.config) as f:
            text = f.read()
        forward = ("<forward><enabled>true</enabled><carp>false</carp>"
                   "<carp-buckets>0</carp-buckets>%s</forward>"
                   % peer_rule("127.0.0.1", self.squid.port, "http", protocols))
        text, count = re.subn(r"<forward>.*?</forward>", forward, text, flags=re.S)
        self.assertEqual(1, count)
        with open(proxy.inst.config, "w") as f:
            f.write(text)
        return proxy.start()

    def state(self):
        parts = []
        for name, proxy in (("daemon", self.proxy), ("chained daemon", self.chained)):
            parts += ["--- %s log ---" % name, proxy.log()[-3000:],
                      "--- %s access log ---" % name, proxy.access_log()[-1500:]]
        parts += ["--- squid access log ---"] + self.squid.access_lines()[-20:]
        return "\n" + "\n".join(parts)

    def connect_records(self, proxy):
        target = "CONNECT connect://127.0.0.1:%d/" % self.tls_origin.port
        return [line for line in proxy.access_log().splitlines() if target in line]

    def check_tunnels(self, proxy, peer):
        """The daemon logged its CONNECTs to the TLS origin (when the browser
        closed them) as answered 200 through peer; one of them carried
        both files, more than their bytes."""
        self.assertTrue(wait_for(lambda: self.connect_records(proxy)), self.state())
        records = self.connect_records(proxy)
        self.assertTrue(all("TCP_MISS/200 " in line and " %s " % peer in line
                            for line in records), records)
        self.assertGreater(max(int(line.split()[4]) for line in records), SCRIPT_SIZE, records)

    def test_https_through_tunnels_and_http_through_squid(self):
        env = browser_env(self.modules, self.dir)
        env.update(TMPDIR=self.dir, QUILL_PROXY="127.0.0.1:%d" % self.proxy.port,
                   QUILL_PROXY_CHAINED="127.0.0.1:%d" % self.chained.port,
                   QUILL_HTTPS_URL=self.tls_origin.url("/page.html"),
                   QUILL_HTTP_URL=self.origin.url("/page.html"), QUILL_MARKER=self.marker,
                   QUILL_CERT_SUBJECT=CERT_SUBJECT, QUILL_SCRIPT_SIZE=str(SCRIPT_SIZE),
                   QUILL_DEADLINE_MS="150000")
        try:
            code, out, err = run_browser_script(os.path.join(BROWSER_DIR, "tunnel_upstream.js"),
                                                env, 180)
        finally:
            # Whatever of the browser outlived node is found by its profile,
            # which lies in this test's directory.
            left = wait_for(lambda: not processes_with(self.dir), 15) or processes_with(self.dir)
            for pid in ([] if left is True else left):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        sys.stdout.write(out)
        self.assertEqual(0, code, out + err + self.state())
        self.assertIs(True, left, "browser processes outlived node: %s" % left)

        # The tunnels: the origin served both files to each daemon's tunnel.
        self.assertEqual(["/page.html", "/app.js"] * 2,
                         [p for p in self.tls_origin.paths() if p != "/favicon.ico"])
        self.check_tunnels(self.proxy, "DIRECT/127.0.0.1")
        self.check_tunnels(self.chained, "DEFAULT_PARENT/127.0.0.1")
        line = self.squid.wait_access("CONNECT 127.0.0.1:%d" % self.tls_origin.port)
        self.assertTrue(line, self.state())
        self.assertIn("TCP_TUNNEL/200", line)
        self.assertIn("forwarding to 127.0.0.1:%d" % self.squid.port, self.chained.log())

        # The upstream: both files went through squid to the origin.
        for path in ("/page.html", "/app.js"):
            url = self.origin.url(path)
            line = self.squid.wait_access("GET " + url)
            self.assertTrue(line, self.state())
            self.assertIn("TCP_MISS/200 ", line)
            self.assertTrue(wait_for(lambda: [r for r in self.proxy.access_log().splitlines()
                                              if url in r and "DEFAULT_PARENT/127.0.0.1" in r]),
                            self.state())
        self.assertIn("forwarding to 127.0.0.1:%d" % self.squid.port, self.proxy.log())
        served = [(p, h) for _, p, h in self.origin.requests if p != "/favicon.ico"]
        self.assertEqual(["/page.html", "/app.js"], [p for p, _ in served])
        for path, headers in served:
            via = {k.lower(): v for k, v in headers.items()}.get("via", "")
            self.assertIn("squidtest", via, (path, headers))


@unittest.skipUnless(pipeline_ready(), SKIP_REASON)
class Browser(unittest.TestCase):
    def setUp(self):
        self.assertTrue(os.access(CHROMIUM, os.X_OK),
                        "%s is missing: run scripts/install-deps.sh" % CHROMIUM)
        self.assertTrue(shutil.which("node"), "node is missing: run scripts/install-deps.sh")
        self.modules = node_modules()
        self.port = free_port()
        self.inst = Install(config=interface_config(self.port))
        self.inst.start_foreground()
        self.assertTrue(self.inst.wait_log("listening on 127.0.0.1:%d" % self.port),
                        self.inst.log_text())

    def tearDown(self):
        self.inst.cleanup()

    def test_login_menu_and_link(self):
        """Chromium logs in through the daemon, sees the menu, follows a link,
        and is refused with a wrong password."""
        env = dict(os.environ, NODE_PATH=self.modules,
                   QUILL_PROXY="127.0.0.1:%d" % self.port, QUILL_USER=USER,
                   QUILL_PASSWORD=PASSWORD, HOME=self.inst.dir)
        for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy"):
            env.pop(name, None)
        run = subprocess.run(["node", os.path.join(BROWSER_DIR, "interface_login.js")],
                             env=env, capture_output=True, text=True, timeout=240)
        sys.stdout.write(run.stdout)
        self.assertEqual(0, run.returncode,
                         run.stdout + run.stderr + "\n--- daemon log ---\n" +
                         self.inst.log_text()[-4000:])
        self.assertIn("request for web interface from 127.0.0.1", self.inst.log_text())

    def test_config_editor(self):
        """Chromium edits, saves and loads the configuration; a daemon
        started on the saved file has the edited values."""
        saved = os.path.join(self.inst.dir, "saved.xml")
        env = dict(os.environ, NODE_PATH=self.modules, QUILL_PROXY="127.0.0.1:%d" % self.port,
                   QUILL_USER=USER, QUILL_PASSWORD=PASSWORD, HOME=self.inst.dir,
                   QUILL_SAVE=saved)
        for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy"):
            env.pop(name, None)
        run = subprocess.run(["node", os.path.join(BROWSER_DIR, "config_editor.js")],
                             env=env, capture_output=True, text=True, timeout=240)
        sys.stdout.write(run.stdout)
        self.assertEqual(0, run.returncode,
                         run.stdout + run.stderr + "\n--- daemon log ---\n" +
                         self.inst.log_text()[-4000:])
        with open(saved) as f:
            text = f.read()
        self.inst.cleanup()
        self.inst = Install(config=text)
        self.inst.start_foreground()
        self.assertTrue(self.inst.wait_log("listening on 127.0.0.1:%d" % self.port),
                        self.inst.log_text())
        reply = subprocess.run(
            ["curl", "-s", "--max-time", "20", "--proxy", "http://127.0.0.1:%d" % self.port,
             "-H", "Referer: http://quill.invalid/", "--data-urlencode", "username=" + USER,
             "--data-urlencode", "password=" + PASSWORD, "--data-urlencode", "section=profiles",
             "http://quill.invalid/config"],
            capture_output=True, text=True, timeout=30,
            env=dict(os.environ, http_proxy="", HTTP_PROXY=""))
        self.assertIn("web interface for browser.example", reply.stdout)
        self.assertIn("browser entry two", reply.stdout)



@unittest.skipUnless(pipeline_ready(), SKIP_REASON)
@unittest.skipUnless(NGINX, "nginx is not installed")
class StatusPagesBrowser(unittest.TestCase):
    """Chromium through the menu over the status pages and the cache
    browser, with what each page shows set up beforehand: a request held
    in progress by an origin that sends 4 of 100 bytes, a request for
    localhost, a kept-alive request to nginx, two objects nginx let the
    cache keep for an hour, one under a URL that carries markup, and a URL
    blacklist tree with markup in a category and its entries."""

    def setUp(self):
        self.assertTrue(os.access(CHROMIUM, os.X_OK),
                        "%s is missing: run scripts/install-deps.sh" % CHROMIUM)
        self.assertTrue(shutil.which("node"), "node is missing: run scripts/install-deps.sh")
        self.modules = node_modules()
        os.environ["TZ"] = "UTC"
        interface_daemon(self, blacklist_tree(self))
        self.origin, self.big, self.small = cached_objects(self)
        self.origin.put("/nostore/dns", b"dns")
        for url in (self.big, self.small,
                    self.origin.url("/nostore/dns").replace("127.0.0.1", "localhost")):
            self.assertEqual(200, fetch(self.port, url).status)
        # A method is a token: it cannot hold "<", but an entity can stand
        # for one; the page must show it as sent.
        self.held_method = "X&lt'M"
        self.held_url = held_request(self, self.port, method=self.held_method)

    def test_status_pages_and_cache_browser(self):
        env = browser_env(self.modules, self.inst.dir)
        env.update(QUILL_PROXY="127.0.0.1:%d" % self.port, QUILL_USER=USER,
                   QUILL_PASSWORD=PASSWORD, QUILL_BIG_URL=self.big, QUILL_SMALL_URL=self.small,
                   QUILL_HELD_URL=self.held_url, QUILL_HELD_METHOD=self.held_method,
                   QUILL_ORIGIN_PORT=str(self.origin.port))
        code, out, err = run_browser_script(os.path.join(BROWSER_DIR, "status_pages.js"), env,
                                            180)
        sys.stdout.write(out)
        self.assertEqual(0, code, out + err + "\n--- daemon log ---\n" +
                         self.inst.log_text()[-4000:])
        self.assertEqual(["GET 200"], self.origin.requests("/fresh/small"))


if __name__ == "__main__":
    unittest.main()
