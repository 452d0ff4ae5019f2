"""Helpers for the content tests (rewrite rules, keyword scoring, ICAP): a
proxy configuration with chosen sections in place of the shipped ones, and
an echo origin server (python3 http.server) that serves the pages a test
sets, echoes request bodies and records every request it got."""

import http.server
import os
import re
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxytest import Proxy, free_port, proxy_config  # noqa: E402
from quilltest import Install  # noqa: E402


def entry(tag, **fields):
    """One list entry as XML; field names with "_" are written with "-"."""
    body = "".join("<%s>%s</%s>" % (k.replace("_", "-"), v, k.replace("_", "-"))
                   for k, v in fields.items())
    return "<%s>%s</%s>" % (tag, body, tag)


def rewrite_rule(pattern, replacement, targets="body", mime_type="", enabled="true",
                 profiles=""):
    return entry("rule", enabled=enabled, comment="test", profiles=profiles, mime_type=mime_type,
                 pattern=pattern, replacement=replacement, targets=targets)


def keyword_rule(keyword, score, mime_type="", enabled="true", profiles=""):
    return entry("keyword", enabled=enabled, comment="test", profiles=profiles,
                 mime_type=mime_type, keyword=keyword, score=str(score))


def icap_service(host, port, path, modes, enabled="true", profiles=""):
    return entry("service", enabled=enabled, comment="test", profiles=profiles, host=host,
                 path=path, port=str(port), modes=modes)


def content_config(port, sections, general=None, permissions="proxy,connect,commands,bypass",
                   allow_rules=None, cache=False):
    """The shipped configuration on 127.0.0.1:port with each section of
    sections (name -> inner XML) in place of the shipped one; the cache is
    off unless asked for, so every request reaches the origin."""
    text = proxy_config(port, permissions=permissions, general=general, cache=cache,
                        allow_rules=allow_rules)
    for name, inner in sections.items():
        element = "<%s>%s</%s>" % (name, inner, name)
        text, count = re.subn(r"<%s>.*?</%s>" % (name, name), lambda m: element, text, flags=re.S)
        if count == 0:
            text = text.replace("</quillmere>", "    %s\n</quillmere>" % element)
    return text


class ContentProxy(Proxy):
    def __init__(self, sections, general=None, **kw):
        self.port = free_port()
        self.inst = Install(config=content_config(self.port, sections, general, **kw))
        self.proc = None


class EchoOrigin:
    """http.server on a free loopback port. pages maps a path to
    (content type, body, extra headers); POST and PUT answer with the
    request body as text/plain. Every request lands in self.requests as
    (method, path, headers as a list of pairs, body)."""

    def __init__(self, pages=None):
        self.pages = dict(pages or {})
        self.requests = []
        origin = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def _body(self):
                n = int(self.headers.get("Content-Length") or 0)
                return self.rfile.read(n) if n else b""

            def _record(self, body):
                origin.requests.append((self.command, self.path, list(self.headers.items()), body))

            def _send(self, status, ctype, body, extra=()):
                self.send_response(status)
                if ctype:
                    self.send_header("Content-Type", ctype)
                for k, v in extra:
                    self.send_header(k, v)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                if self.command != "HEAD":
                    self.wfile.write(body)

            def do_GET(self):
                body = self._body()
                self._record(body)
                path = self.path
                if "://" in path:
                    path = "/" + path.split("://", 1)[1].split("/", 1)[-1]
                page = origin.pages.get(path)
                if page is None:
                    self._send(404, "text/plain", b"not here")
                else:
                    self._send(200, page[0], page[1], page[2] if len(page) > 2 else ())

            do_HEAD = do_GET

            def do_POST(self):
                body = self._body()
                self._record(body)
                self._send(200, "text/plain", body)

            do_PUT = do_POST

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class KeptClient:
    """One client connection to the proxy for several requests in a row;
    each response is read by its Content-Length."""

    def __init__(self, port, timeout=30):
        import socket
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.pending = b""

    def _fill(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed")
        self.pending += chunk

    def request(self, method, url, headers=(), body=b""):
        """(status, headers with lower-case names, body)."""
        lines = ["%s %s HTTP/1.1" % (method, url), "Host: %s" % url.split("/")[2]]
        lines += ["%s: %s" % kv for kv in headers]
        if body or method in ("POST", "PUT"):
            lines.append("Content-Length: %d" % len(body))
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode() + body)
        while b"\r\n\r\n" not in self.pending:
            self._fill()
        head, _, self.pending = self.pending.partition(b"\r\n\r\n")
        text = head.decode(errors="replace").split("\r\n")
        status = int(text[0].split(" ")[1])
        hdrs = {}
        for line in text[1:]:
            k, _, v = line.partition(":")
            hdrs[k.strip().lower()] = v.strip()
        n = int(hdrs.get("content-length", "0"))
        if method == "HEAD":
            n = 0
        while len(self.pending) < n:
            self._fill()
        data, self.pending = self.pending[:n], self.pending[n:]
        return status, hdrs, data

    def close(self):
        self.sock.close()


CICAP = "/usr/bin/c-icap"
CICAP_MODULES = "/usr/lib/x86_64-linux-gnu/c_icap"


class CIcap:
    """Debian's c-icap in the foreground on a free loopback port with its
    own configuration (pid file, commands socket and logs in its
    directory) and the services of lines (configuration text)."""

    def __init__(self, lines, port=None):
        import tempfile
        self.dir = tempfile.mkdtemp(prefix="quill-cicap-")
        os.chmod(self.dir, 0o777)
        self.port = port or free_port()
        self.conf = os.path.join(self.dir, "c-icap.conf")
        user = "User root\nGroup root\n" if os.geteuid() == 0 else ""
        with open(self.conf, "w") as f:
            f.write("PidFile %(d)s/c-icap.pid\nCommandsSocket %(d)s/c-icap.ctl\n"
                    "Port 127.0.0.1:%(p)d\nStartServers 1\nMaxServers 1\n"
                    "ServerLog %(d)s/server.log\nAccessLog %(d)s/access.log\nTmpDir %(d)s\n"
                    "ModulesDir %(m)s\nServicesDir %(m)s\nTemplateDir /usr/share/c_icap/templates/\n"
                    "%(u)s%(l)s\n" % {"d": self.dir, "p": self.port, "m": CICAP_MODULES,
                                      "u": user, "l": lines.replace("@DIR@", self.dir)})
        self.proc = None

    def start(self):
        import subprocess
        self.out = open(os.path.join(self.dir, "stdout"), "wb")
        # Its own process group: c-icap serves from child processes, which
        # are stopped with it.
        self.proc = subprocess.Popen([CICAP, "-N", "-f", self.conf], stdin=subprocess.DEVNULL,
                                     stdout=self.out, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        from quilltest import wait_port
        if not wait_port(self.port, 15, self.proc):
            raise RuntimeError("c-icap did not start: " + open(os.path.join(self.dir, "stdout")).read())
        return self

    def requests(self):
        """The lines of its access log."""
        try:
            with open(os.path.join(self.dir, "access.log")) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def stop(self):
        """Stops c-icap and its children, by their process group."""
        import signal
        import socket
        from quilltest import wait_for
        if not self.proc:
            return
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(self.proc.pid, sig)
            except ProcessLookupError:
                break

            def gone():
                try:
                    os.killpg(self.proc.pid, 0)
                except ProcessLookupError:
                    return True
                self.proc.poll()
                return False
            if wait_for(gone, 10):
                break
        self.proc.poll()
        self.out.close()
        self.proc = None

    def cleanup(self):
        import shutil
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)
