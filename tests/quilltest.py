"""Helpers for the end-to-end tests: a temporary installation of the daemon
(configuration, section description file, log files, PID file) that a test
starts, signals and stops as an administrator would."""

import os
import shutil
import signal
import socket
import subprocess
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
