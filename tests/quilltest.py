"""Helpers for the end-to-end tests: a temporary installation of the daemon
(configuration, section description file, log files, PID file) that a test
starts, signals and stops as an administrator would; free ports and waits
for them; stopping a peer process; dnsmasq, and running a test file again in
a network and mount namespace of its own."""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

BIN = os.environ.get("QUILL_BIN", "")
SOURCE = os.environ.get("QUILL_SOURCE", os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def wait_for(predicate, timeout=10.0, interval=0.05):
    """Polls predicate until it returns a true value or the time runs out."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            return value
        time.sleep(interval)


def free_port(kind=socket.SOCK_STREAM):
    """A loopback port nobody listens on (TCP, or UDP with SOCK_DGRAM)."""
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_open(port, timeout=1.0):
    """True when something accepts connections on the loopback port."""
    try:
        socket.create_connection(("127.0.0.1", port), timeout=timeout).close()
        return True
    except OSError:
        return False


def wait_port(port, timeout=10.0, proc=None):
    """Waits until the loopback port accepts connections; False on the
    time-out, or as soon as proc (the peer that should listen) has exited."""
    wait_for(lambda: port_open(port) or (proc is not None and proc.poll() is not None), timeout)
    return port_open(port)


def stop_process(proc, timeout=10):
    """Terminates a peer process and waits for it; killed when it lingers."""
    if proc and proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def replace_section(text, name, body):
    """The configuration text with the content of its section <name> (an
    element at the document's first level) replaced by body."""
    text, count = re.subn(r"\n    <%s>.*?</%s>" % (name, name),
                          "\n    <%s>%s</%s>" % (name, body, name), text, flags=re.S)
    assert count == 1, name
    return text


def process_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    # A zombie still answers signal 0; it is not running.
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


class Install:
    """A directory with everything one daemon needs."""

    def __init__(self, config=None, sections=None):
        self.dir = tempfile.mkdtemp(prefix="quill-e2e-")
        os.chmod(self.dir, 0o755)
        self.config = os.path.join(self.dir, "quillmere.xml")
        self.sections = os.path.join(self.dir, "section.xml")
        self.log = os.path.join(self.dir, "native.log")
        self.access = os.path.join(self.dir, "access.log")
        self.extended = os.path.join(self.dir, "extended.log")
        self.perf = os.path.join(self.dir, "performance.log")
        self.pidfile = os.path.join(self.dir, "quillmere.pid")
        self.port = None
        if config is None:
            with open(os.path.join(SOURCE, "etc", "quillmere.xml")) as f:
                config = f.read()
            # The shipped listener moves to a free port: a start whose
            # listener cannot be opened fails, and 8080 may be taken.
            with socket.socket() as s:
                s.bind(("127.0.0.1", 0))
                self.port = s.getsockname()[1]
            config = config.replace("<port>8080</port>", "<port>%d</port>" % self.port)
        # The shipped cache store is moved into this directory so daemons of
        # different tests never share objects or a journal, nor write into
        # the system's own store.
        with open(self.config, "w") as f:
            f.write(config.replace("/var/cache/quillmere", os.path.join(self.dir, "cache")))
        if sections is None:
            shutil.copy(os.path.join(SOURCE, "etc", "section.xml"), self.sections)
        else:
            with open(self.sections, "w") as f:
                f.write(sections)
        self.proc = None

    def args(self, *extra, pidfile=True):
        a = [BIN, "-c", self.config, "-s", self.sections, "-l", self.log,
             "-a", self.access, "-e", self.extended, "-r", self.perf]
        if pidfile:
            a += ["-p", self.pidfile]
        return a + list(extra)

    def run(self, *extra, timeout=20):
        """Runs the launcher to completion (daemon mode) and returns it."""
        return subprocess.run(self.args(*extra), capture_output=True, text=True,
                              timeout=timeout, stdin=subprocess.DEVNULL)

    def start_foreground(self, *extra):
        self.proc = subprocess.Popen(self.args("-f", *extra), stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True,
                                     stdin=subprocess.DEVNULL)
        return self.proc

    def log_text(self):
        try:
            with open(self.log, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def wait_log(self, text, timeout=10.0):
        return wait_for(lambda: text in self.log_text(), timeout)

    def daemon_pid(self):
        try:
            with open(self.pidfile) as f:
                return int(f.read().strip() or 0)
        except (OSError, ValueError):
            return 0

    def stop(self):
        """Stops whatever this install started, waiting for it to end."""
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc:
            for stream in (self.proc.stdout, self.proc.stderr):
                if stream:
                    stream.close()
        pid = self.daemon_pid()
        if pid and process_alive(pid):
            os.kill(pid, signal.SIGTERM)
            if not wait_for(lambda: not process_alive(pid), 10):
                os.kill(pid, signal.SIGKILL)

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


DNSMASQ = shutil.which("dnsmasq") or ("/usr/sbin/dnsmasq" if os.path.exists("/usr/sbin/dnsmasq") else None)
UNSHARE = shutil.which("unshare")
IP = shutil.which("ip") or ("/usr/sbin/ip" if os.path.exists("/usr/sbin/ip") else None)


class Dnsmasq:
    """dnsmasq on 127.0.0.1:53 (inside a test's own namespace), with the
    given extra arguments, logging every query to .log."""

    def __init__(self, *args):
        self.dir = tempfile.mkdtemp(prefix="quill-dnsmasq-")
        self.log = os.path.join(self.dir, "queries.log")
        self.args = list(args)
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen(
            [DNSMASQ, "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv",
             "--no-hosts", "--user=root", "--listen-address=127.0.0.1", "--bind-interfaces",
             "--port=53", "--log-queries", "--log-facility=" + self.log,
             "--pid-file=" + os.path.join(self.dir, "dnsmasq.pid")] + self.args,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_for(lambda: "started" in self.text(), 10):
            raise RuntimeError("dnsmasq did not start")
        return self

    def text(self):
        try:
            with open(self.log, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def stop(self):
        stop_process(self.proc)
        self.proc = None

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


def in_namespace(marker):
    """The directory of the namespace's files when this process runs inside
    the namespace that run_in_namespace made for marker, else None."""
    return os.environ.get(marker) or None


def run_in_namespace(script, marker, hosts=()):
    """Runs the test file script again inside a new network and mount
    namespace: loopback up, /etc/resolv.conf naming 127.0.0.1 (a Dnsmasq of
    the test's own), and, with hosts, /etc/hosts mapping those names to
    loopback; the machine's own files are never touched. The environment
    variable marker names the namespace's directory inside. Returns the
    exit status, or None when such namespaces cannot be made here."""
    if os.geteuid() != 0 or not (DNSMASQ and UNSHARE and IP):
        return None
    if subprocess.run([UNSHARE, "--net", "--mount", "/bin/true"]).returncode != 0:
        return None
    d = tempfile.mkdtemp(prefix="quill-ns-")
    try:
        with open(os.path.join(d, "resolv.conf"), "w") as f:
            f.write("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
        mounts = 'mount --bind "$2/resolv.conf" /etc/resolv.conf; '
        if hosts:
            with open(os.path.join(d, "hosts"), "w") as f:
                f.write("127.0.0.1 localhost %s\n" % " ".join(hosts))
            mounts += 'mount --bind "$2/hosts" /etc/hosts; '
        shell = 'set -e; "$1" link set lo up; ' + mounts + 'shift 2; exec /usr/bin/python3 "$@"'
        env = dict(os.environ, **{marker: d})
        return subprocess.run([UNSHARE, "--net", "--mount", "/bin/sh", "-c", shell, "sh", IP, d,
                               os.path.abspath(script)] + sys.argv[1:], env=env).returncode
    finally:
        shutil.rmtree(d, ignore_errors=True)
