"""Helpers for the end-to-end tests of the proxy road: a daemon
configuration with a listener, access rules and general settings of the
test's choosing, nginx as a real origin server with its own temporary
configuration, curl as the client, and small raw-socket clients."""

import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from origin_scripted import ScriptedOrigin
from quilltest import SOURCE, Install, free_port, stop_process, wait_for, wait_port

NGINX = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx") else None)
CURL = shutil.which("curl")
ECHO_MODULE = "/usr/lib/nginx/modules/ngx_http_echo_module.so"


def make_certificate(directory, name="127.0.0.1"):
    """A self-signed certificate for 127.0.0.1 and its key, made with
    openssl req in directory. Returns (certificate path, key path); the
    daemon trusts it when SSL_CERT_FILE names the certificate."""
    cert = os.path.join(directory, "cert.pem")
    key = os.path.join(directory, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "1", "-subj", "/CN=" + name,
                    "-addext", "subjectAltName=IP:127.0.0.1"],
                   check=True, capture_output=True, timeout=60)
    return cert, key


def _set_element(text, section, name, value):
    """Sets every <name> inside the section element to value."""
    pattern = re.compile(r"(<%s>.*?</%s>)" % (section, section), re.S)
    match = pattern.search(text)
    assert match, section
    body = match.group(1)
    body, count = re.subn(r"<%s>[^<]*</%s>" % (name, name), "<%s>%s</%s>" % (name, value, name), body)
    assert count >= 1, (section, name)
    return text[:match.start()] + body + text[match.end():]


def proxy_config(port, permissions="proxy,connect,commands", general=None, allow_rules=None,
                 allow_first=True, cache=True, store=None):
    """The shipped configuration listening on 127.0.0.1:port. The local
    machine's allow rule gets permissions; general maps fields of the
    general rule to values; allow_rules (a list of XML texts of <allow>
    entries) replaces the access rules; cache False switches the object
    cache off, for tests that watch every request reach the origin; store
    moves the disk store into that directory."""
    with open(os.path.join(SOURCE, "etc", "quillmere.xml")) as f:
        text = f.read()
    network = ("<network>\n        <listen>\n            <enabled>true</enabled>\n"
               "            <comment>test</comment>\n            <port>%d</port>\n"
               "            <address>127.0.0.1</address>\n        </listen>\n    </network>" % port)
    text, count = re.subn(r"<network>.*?</network>", network, text, flags=re.S)
    assert count == 1
    text = text.replace("<permissions>proxy,connect,commands</permissions>",
                        "<permissions>%s</permissions>" % permissions)
    if allow_rules is not None:
        access = ("<access>\n        <allow-first>%s</allow-first>\n%s\n    </access>"
                  % ("true" if allow_first else "false", "\n".join(allow_rules)))
        text, count = re.subn(r"<access>.*?</access>", access, text, flags=re.S)
        assert count == 1
    for name, value in (general or {}).items():
        text = _set_element(text, "general", name, value)
    if not cache:
        text = _set_element(text, "cache", "enabled", "false")
    if store is not None:
        text, count = re.subn(r"<directory>/var/cache/quillmere</directory>",
                              "<directory>%s</directory>" % store, text)
        assert count == 1, "the shipped configuration has no disk store"
    return text


def allow_rule(addresses="127.0.0.1", permissions="proxy,connect,commands", username="",
               password="", interface_username="", interface_password=""):
    return ("<allow><enabled>true</enabled><comment>test</comment><log>false</log>"
            "<profiles></profiles><interfaces></interfaces><addresses>%s</addresses>"
            "<pam>false</pam><username>%s</username><password>%s</password>"
            "<permissions>%s</permissions><bypass></bypass>"
            "<interface-username>%s</interface-username>"
            "<interface-password>%s</interface-password><add-profiles></add-profiles></allow>"
            % (addresses, username, password, permissions, interface_username,
               interface_password))


class Proxy:
    """One daemon in the foreground on a free loopback port."""

    def __init__(self, **config):
        self.port = free_port()
        self.inst = Install(config=proxy_config(self.port, **config))
        self.proc = None

    def start(self, *options, preexec_fn=None):
        """Starts the daemon with the command-line options given; preexec_fn
        runs in the child before it starts (resource limits, say)."""
        # Standard output and error go to files: a pipe nobody reads would
        # stop the daemon once its log lines filled it.
        self.out = open(os.path.join(self.inst.dir, "stdout"), "wb")
        self.err_path = os.path.join(self.inst.dir, "stderr")
        self.err = open(self.err_path, "wb")
        self.proc = subprocess.Popen(self.inst.args("-f", *options), stdin=subprocess.DEVNULL,
                                     stdout=self.out, stderr=self.err, preexec_fn=preexec_fn)
        ok = self.inst.wait_log("listening on 127.0.0.1:%d" % self.port)
        if not ok:
            raise RuntimeError("daemon did not start:\n" + self.inst.log_text())
        return self

    def log(self):
        return self.inst.log_text()

    def access_log(self):
        try:
            with open(self.inst.access, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def wait_log(self, text, timeout=10.0):
        return self.inst.wait_log(text, timeout)

    def wait_access(self, text, timeout=10.0):
        return wait_for(lambda: text in self.access_log(), timeout)

    def memory_peak_kib(self):
        """The daemon's peak resident size (VmHWM) in KiB."""
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return 0

    def memory_kib(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def stop(self):
        """Stops the daemon; a sanitizer report on its standard error fails
        the test that owns it."""
        report = ""
        if self.proc:
            if self.proc.poll() is None:
                self.proc.send_signal(signal.SIGTERM)
                try:
                    self.proc.wait(30)
                except subprocess.TimeoutExpired:
                    self.proc.kill()
                    self.proc.wait()
            self.out.close()
            self.err.close()
            with open(self.err_path, errors="replace") as f:
                report = f.read()
        self.inst.cleanup()
        for marker in ("AddressSanitizer", "LeakSanitizer", "runtime error:"):
            if marker in report:
                raise AssertionError("sanitizer report from the daemon:\n" + report[-4000:])


class Nginx:
    """nginx as origin server on a free loopback port, serving the files
    given (name -> bytes, or a function that writes the path) and /echo,
    which answers with the request body; locations adds server-block lines
    of the test's own, gzip False serves nothing compressed.
    Its access log records the connection number of every request, so the
    test can count the connections the proxy opened."""

    def __init__(self, files, locations="", gzip=True):
        self.locations = locations
        self.gzip = gzip
        self.dir = tempfile.mkdtemp(prefix="quill-nginx-")
        os.chmod(self.dir, 0o755)
        self.root = os.path.join(self.dir, "www")
        os.mkdir(self.root)
        for name, data in files.items():
            path = os.path.join(self.root, name)
            if callable(data):
                data(path)
            else:
                with open(path, "wb") as f:
                    f.write(data)
        self.port = free_port()
        self.access = os.path.join(self.dir, "access.log")
        self.conf = os.path.join(self.dir, "nginx.conf")
        self.has_echo = os.path.exists(ECHO_MODULE)
        with open(self.conf, "w") as f:
            f.write(self.config())
        self.proc = None

    def config(self):
        d = self.dir
        load = "load_module %s;\n" % ECHO_MODULE if self.has_echo else ""
        echo = ("location = /echo { echo_read_request_body; echo_request_body; }\n"
                if self.has_echo else "")
        user = "user root;\n" if os.geteuid() == 0 else ""
        gzip = ("  gzip on; gzip_proxied any; gzip_http_version 1.0; gzip_min_length 10;\n"
                "  gzip_types text/plain;\n" if self.gzip else "")
        return (load + user +
                "worker_processes 1;\ndaemon off;\npid %s/nginx.pid;\nerror_log %s/error.log;\n"
                "events { worker_connections 1024; }\n"
                "http {\n"
                "  log_format conn '$connection $connection_requests \"$request\" $status';\n"
                "  access_log %s/access.log conn;\n"
                "  client_body_temp_path %s/body; proxy_temp_path %s/proxy;\n"
                "  fastcgi_temp_path %s/fastcgi; uwsgi_temp_path %s/uwsgi; scgi_temp_path %s/scgi;\n"
                "  client_max_body_size 256m; client_body_buffer_size 64m;\n"
                "  keepalive_requests 100000; keepalive_timeout 60;\n"
                "%s"
                "  types { text/html html; text/plain txt; application/octet-stream bin; }\n"
                "  server {\n    listen 127.0.0.1:%d;\n    root %s;\n    %s    %s  }\n"
                "}\n" % (d, d, d, d, d, d, d, d, gzip, self.port, self.root, echo,
                         self.locations))

    def start(self):
        self.proc = subprocess.Popen([NGINX, "-p", self.dir, "-c", self.conf],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        if not wait_port(self.port, 10, self.proc):
            raise RuntimeError("nginx did not start: %s" % self.error_log())
        return self

    def error_log(self):
        try:
            with open(os.path.join(self.dir, "error.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def requests(self):
        """(connection, request number on it, request line, status) per request."""
        try:
            with open(self.access) as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        out = []
        for line in lines:
            m = re.match(r'(\d+) (\d+) "(.*)" (\d+)$', line)
            if m:
                out.append((int(m.group(1)), int(m.group(2)), m.group(3), int(m.group(4))))
        return out

    def halt(self):
        """Stops nginx and keeps its files, as an origin that went down."""
        stop_process(self.proc)
        self.proc = None

    def stop(self):
        self.halt()
        shutil.rmtree(self.dir, ignore_errors=True)


class Curl:
    """The result of one curl run: status of the last response, its
    headers (lower-case names), the body, curl's exit code and stderr."""

    def __init__(self, proxy_port, url, *args, timeout=120, data_file=None):
        self.dir = tempfile.mkdtemp(prefix="quill-curl-")
        body = os.path.join(self.dir, "body")
        heads = os.path.join(self.dir, "heads")
        cmd = [CURL, "-sS", "-v", "--max-time", str(timeout - 5), "-D", heads,
               "-w", "%{http_code}"]
        if proxy_port:
            cmd += ["-x", "127.0.0.1:%d" % proxy_port]
        # Earlier URLs among args pair with their own "-o"; this last one,
        # the URL given, gets the body file.
        cmd += list(args) + ["-o", body, url]
        r = subprocess.run(cmd, capture_output=True, timeout=timeout)
        self.code = r.returncode
        self.stderr = r.stderr.decode(errors="replace")
        codes = r.stdout.decode(errors="replace")
        self.status = int(codes[-3:]) if codes[-3:].isdigit() else 0
        with open(heads, "rb") as f:
            self.raw_headers = f.read().decode(errors="replace")
        self.body_path = body
        self.size = os.path.getsize(body) if os.path.exists(body) else 0

    def body(self):
        if not os.path.exists(self.body_path):
            return b""
        with open(self.body_path, "rb") as f:
            return f.read()

    def headers(self):
        """The headers of the last response block."""
        blocks = [b for b in self.raw_headers.split("\r\n\r\n") if b.strip()]
        out = {}
        if not blocks:
            return out
        for line in blocks[-1].split("\r\n")[1:]:
            if ":" in line:
                k, v = line.split(":", 1)
                out[k.strip().lower()] = v.strip()
        return out

    def cleanup(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class ScriptedOriginCase(unittest.TestCase):
    """One daemon for the class's tests (cls.proxy) and a scripted origin
    of each test's own (self.origin), stopped after that test."""

    @classmethod
    def setUpClass(cls):
        cls.proxy = Proxy().start()

    @classmethod
    def tearDownClass(cls):
        cls.proxy.stop()

    def origin(self, replies):
        o = ScriptedOrigin(replies)
        self.addCleanup(o.stop)
        return o


def raw_exchange(port, data, timeout=15, until_close=True, want=None):
    """Sends data to 127.0.0.1:port and reads until the peer closes (or,
    without until_close, until want bytes appear or the time-out). Returns
    (received bytes, closed)."""
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    try:
        s.sendall(data)
        got = b""
        closed = False
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if want is not None and want in got and not until_close:
                break
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                break
            except ConnectionResetError:
                closed = True
                break
            if not chunk:
                closed = True
                break
            got += chunk
        return got, closed
    finally:
        s.close()


def split_response(data):
    """(status, headers dict with lower-case names, body) of the first
    response in data."""
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode(errors="replace").split("\r\n")
    parts = lines[0].split(" ")
    status = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0
    headers = {}
    for line in lines[1:]:
        if ":" in line:
            k, v = line.split(":", 1)
            headers[k.strip().lower()] = v.strip()
    return status, headers, body
