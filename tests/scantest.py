"""Helpers for the virus-scanner tests: a proxy configuration with one
scanner section switched on and the temporary directory of the test's
own, a real clamd with a signature database of the test's making, and
scripted stand-in daemons on a UNIX socket or loopback TCP that record
what they got and answer what the test says."""

import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

from proxytest import Proxy, free_port, proxy_config
from quilltest import wait_for

CLAMD = "/usr/sbin/clamd"

# The bytes the test signature matches. No real virus is involved: clamd
# finds this marker through the test's own database.
MARKER = b"QUILLMERE-SCANNER-TEST-MARKER-5d1e07b3"
VIRUS_NAME = "Quillmere.Test.UNOFFICIAL"


def scan_rule(template="", profiles="", enabled=True):
    return ("<rule><enabled>%s</enabled><comment>test</comment><profiles>%s</profiles>"
            "<template>%s</template></rule>" % ("true" if enabled else "false", profiles, template))


def scanner_config(port, section, options, rules, tempdir, timeout=60, permissions=None):
    """The shipped configuration listening on 127.0.0.1:port with the
    scanner section (its options as a name -> value map, its rules as XML
    texts) in place of the shipped one, the general rule's read time-out
    and the temporary directory tempdir."""
    general = {"timeout": str(timeout), "ctimeout": str(timeout)}
    text = proxy_config(port, permissions=permissions or "proxy,connect,commands,bypass",
                        general=general)
    text = re.sub(r"<tempdir>[^<]*</tempdir>", "<tempdir>%s</tempdir>" % tempdir, text)
    body = "".join("<%s>%s</%s>" % (k, v, k) for k, v in options.items()) + "".join(rules)
    element = "<%s>%s</%s>" % (section, body, section)
    text, count = re.subn(r"<%s>.*?</%s>" % (section, section), element, text, flags=re.S)
    if count == 0:
        text = text.replace("</quillmere>", "    %s\n</quillmere>" % element)
    return text


class ScannerProxy(Proxy):
    """The daemon with one scanner section on, and its own temporary
    directory, which must be empty after every scan."""

    def __init__(self, section, options, rules=None, timeout=60, tempdir_depth=0):
        self.port = free_port()
        self.top = tempfile.mkdtemp(prefix="quill-scan-tmp-")
        os.chmod(self.top, 0o755)
        # tempdir_depth: a subdirectory with a name that long, for paths
        # past a daemon's limit.
        self.tempdir = self.top
        if tempdir_depth:
            self.tempdir = os.path.join(self.top, "d" * tempdir_depth)
            os.mkdir(self.tempdir)
        from quilltest import Install
        self.inst = Install(config=scanner_config(
            self.port, section, options, [scan_rule()] if rules is None else rules,
            self.tempdir, timeout))
        self.proc = None

    def temp_files(self, timeout=10.0):
        """The scan files left in the temporary directory. The daemon removes
        a scan's file as the exchange ends, which may be just after the
        client has its answer: wait for the directory to empty first."""
        wait_for(lambda: not os.listdir(self.tempdir), timeout)
        return os.listdir(self.tempdir)

    def extended_log(self):
        try:
            with open(self.inst.extended, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def stop(self):
        try:
            super().stop()
        finally:
            shutil.rmtree(self.top, ignore_errors=True)


class Clamd:
    """Debian's clamd in the foreground with its own configuration: a
    UNIX socket and a loopback TCP port, a database holding only the test
    signature of MARKER, and a small stream limit. Every scan is logged
    (LogClean), so the test can count them."""

    def __init__(self, stream_max="1M"):
        self.dir = tempfile.mkdtemp(prefix="quill-clamd-")
        os.chmod(self.dir, 0o755)
        self.db = os.path.join(self.dir, "db")
        os.mkdir(self.db)
        with open(os.path.join(self.db, "test.ndb"), "w") as f:
            f.write("Quillmere.Test:0:*:%s\n" % MARKER.hex())
        self.socket = os.path.join(self.dir, "clamd.sock")
        self.port = free_port()
        self.log = os.path.join(self.dir, "clamd.log")
        self.pidfile = os.path.join(self.dir, "clamd.pid")
        self.conf = os.path.join(self.dir, "clamd.conf")
        user = "root" if os.geteuid() == 0 else None
        with open(self.conf, "w") as f:
            f.write("Foreground yes\nLocalSocket %s\nTCPSocket %d\nTCPAddr 127.0.0.1\n"
                    "DatabaseDirectory %s\nLogFile %s\nLogClean yes\nLogVerbose no\n"
                    "PidFile %s\nStreamMaxLength %s\nMaxThreads 4\nReadTimeout 30\n"
                    "CommandReadTimeout 30\nBytecode no\n"
                    % (self.socket, self.port, self.db, self.log, self.pidfile, stream_max))
            if user:
                f.write("User %s\n" % user)
        self.proc = None

    def start(self):
        self.out = open(os.path.join(self.dir, "stderr"), "wb")
        self.proc = subprocess.Popen([CLAMD, "-c", self.conf], stdin=subprocess.DEVNULL,
                                     stdout=self.out, stderr=self.out)
        if not wait_for(self._answers, 60, 0.2):
            self.stop()
            raise RuntimeError("clamd did not start")
        return self

    def _answers(self):
        try:
            with socket.socket(socket.AF_UNIX) as s:
                s.settimeout(2)
                s.connect(self.socket)
                s.sendall(b"nPING\n")
                return s.recv(100).startswith(b"PONG")
        except OSError:
            return False

    def scans(self):
        """The number of streams clamd has judged."""
        try:
            with open(self.log, errors="replace") as f:
                text = f.read()
        except FileNotFoundError:
            return 0
        return len(re.findall(r"stream\(\S*\): .*(?:OK|FOUND)", text))

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc:
            self.out.close()
        self.proc = None

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


class StandIn:
    """A scripted daemon on a UNIX socket (path) or loopback TCP (port),
    serving each connection on its own thread with handler(conn, record),
    where record is a dict the handler fills with what it got. Every
    connection's record lands in self.records."""

    def __init__(self, handler, unix=True, port=None):
        self.handler = handler
        self.dir = tempfile.mkdtemp(prefix="quill-standin-")
        os.chmod(self.dir, 0o755)
        if unix:
            self.path = os.path.join(self.dir, "daemon.sock")
            self.sock = socket.socket(socket.AF_UNIX)
            self.sock.bind(self.path)
            os.chmod(self.path, 0o777)
        else:
            self.path = None
            self.sock = socket.socket()
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.port = port or free_port()
            self.sock.bind(("127.0.0.1", self.port))
        self.sock.listen(16)
        self.records = []
        self.stopping = False
        self.conns = []
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while not self.stopping:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            record = {}
            self.records.append(record)
            self.conns.append(conn)
            threading.Thread(target=self._serve, args=(conn, record), daemon=True).start()

    def _serve(self, conn, record):
        try:
            conn.settimeout(30)
            self.handler(conn, record)
        except OSError as e:
            record["error"] = str(e)
        finally:
            record["done"] = True
            try:
                conn.close()
            except OSError:
                pass

    def stop(self):
        self.stopping = True
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        for c in self.conns:
            try:
                c.close()
            except OSError:
                pass
        shutil.rmtree(self.dir, ignore_errors=True)


def read_line(conn, limit=65536):
    """Reads up to and including a line feed (or the close)."""
    data = b""
    while not data.endswith(b"\n") and len(data) < limit:
        chunk = conn.recv(1)
        if not chunk:
            break
        data += chunk
    return data


def file_facts(path):
    """(mode, size, bytes) of the file the proxy handed over, read while
    the daemon holds the connection, or None when it is not there."""
    try:
        st = os.stat(path)
        with open(path, "rb") as f:
            return (st.st_mode & 0o777, st.st_size, f.read())
    except OSError:
        return None


def hold(conn, seconds):
    """Keeps a connection open without answering (a silent daemon)."""
    deadline = time.monotonic() + seconds
    conn.settimeout(0.2)
    while time.monotonic() < deadline:
        try:
            if conn.recv(65536) == b"":
                return
        except socket.timeout:
            pass
        except OSError:
            return


def answer(conn, reply, silence=30):
    """What a scripted daemon does in place of a reply: sends reply (bytes),
    keeps "silent" for silence seconds, sends a line without end
    ("endless") until the peer goes, or closes at once ("close")."""
    if reply == "silent":
        hold(conn, silence)
    elif reply == "endless":
        try:
            while True:
                conn.sendall(b"7" * 4096)
        except OSError:
            pass
    elif reply == "close":
        return
    else:
        conn.sendall(reply)
