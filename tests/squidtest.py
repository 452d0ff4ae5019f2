"""squid as a real peer of the end-to-end tests: an upstream parent, an ICP
peer, an upstream that asks for Basic or NTLM credentials. Each Squid runs
in the foreground on free loopback ports with everything it writes in a
temporary directory of its own, and is stopped by the test."""

import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time

from quilltest import free_port, port_open, wait_for

SQUID = shutil.which("squid") or ("/usr/sbin/squid" if os.path.exists("/usr/sbin/squid") else None)
HELPERS = "/usr/lib/squid"
BASIC_NCSA = os.path.join(HELPERS, "basic_ncsa_auth")
NTLM_FAKE = os.path.join(HELPERS, "ntlm_fake_auth")


def password_hash(password):
    """An htpasswd-style (apr1) hash that basic_ncsa_auth accepts."""
    return subprocess.run(["openssl", "passwd", "-apr1", password], check=True,
                          capture_output=True, text=True).stdout.strip()


class Squid:
    """One squid. auth: configuration lines for auth_param and acls, placed
    before the access rules; access: the http_access lines (default: the
    loopback clients may use it); icp: listen for ICP queries on .icp_port;
    cache: keep objects in memory (default: cache nothing); extra: more
    lines at the end (cache_peer, never_direct, ...); files: name -> text of
    files written into squid's directory before it starts (a password
    file); port: the port to listen on (default: a free one). "{dir}" in
    any configuration line is that directory."""

    def __init__(self, auth=(), access=None, icp=False, cache=False, extra=(), files=None,
                 port=None):
        if SQUID is None:
            raise RuntimeError("squid is not installed")
        self.dir = tempfile.mkdtemp(prefix="quill-squid-")
        os.chmod(self.dir, 0o755)
        self.port = port or free_port()
        self.icp_port = free_port(socket.SOCK_DGRAM) if icp else 0
        self.access_log = os.path.join(self.dir, "access.log")
        self.cache_log = os.path.join(self.dir, "cache.log")
        self.conf = os.path.join(self.dir, "squid.conf")
        lines = [
            "http_port 127.0.0.1:%d" % self.port,
            "visible_hostname squidtest",
            "acl localnet src 127.0.0.1",
        ]
        lines += list(auth)
        lines += list(access) if access is not None else ["http_access allow localnet",
                                                           "http_access deny all"]
        if icp:
            lines += ["icp_port %d" % self.icp_port, "udp_incoming_address 127.0.0.1",
                      "icp_access allow localnet", "icp_access deny all"]
        else:
            lines += ["icp_port 0"]
        lines += ["cache_mem 16 MB", "maximum_object_size_in_memory 1 MB"] if cache else \
                 ["cache deny all"]
        lines += [
            "workers 1",
            "dns_nameservers 127.0.0.1",
            "access_log stdio:%s" % self.access_log,
            "cache_log %s" % self.cache_log,
            "pid_filename %s" % os.path.join(self.dir, "squid.pid"),
            "coredump_dir %s" % self.dir,
            "shutdown_lifetime 0 seconds",
        ]
        if os.getuid() == 0:
            lines.append("cache_effective_user proxy")
        lines += list(extra)
        for name, text in (files or {}).items():
            path = os.path.join(self.dir, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, 0o640)
        with open(self.conf, "w") as f:
            f.write("\n".join(line.replace("{dir}", self.dir) for line in lines) + "\n")
        self._give_to_proxy_user(self.dir)
        self.stdout = open(os.path.join(self.dir, "stdout"), "w")
        self.process = subprocess.Popen(
            [SQUID, "-n", "quilltest%d" % self.port, "-N", "-f", self.conf],
            stdout=self.stdout, stderr=subprocess.STDOUT)
        if not wait_for(lambda: port_open(self.port) or self.process.poll() is not None, 30):
            self.stop()
            raise RuntimeError("squid did not start: %s" % self.log_text())
        if self.process.poll() is not None:
            text = self.log_text()
            self.stop()
            raise RuntimeError("squid exited: %s" % text)

    def _give_to_proxy_user(self, path):
        if os.getuid() != 0:
            return
        entry = pwd.getpwnam("proxy")
        for root, dirs, files in os.walk(path):
            os.chown(root, entry.pw_uid, entry.pw_gid)
            for name in files:
                os.chown(os.path.join(root, name), entry.pw_uid, entry.pw_gid)

    def access_lines(self):
        try:
            with open(self.access_log) as f:
                return [line for line in f.read().splitlines() if line.strip()]
        except OSError:
            return []

    def wait_access(self, needle, timeout=10):
        """Waits until a line of squid's access log contains needle (squid
        writes its log lines with a short delay); returns that line."""
        def find():
            for line in self.access_lines():
                if needle in line:
                    return line
            return None
        return wait_for(find, timeout)

    def log_text(self):
        parts = []
        for path in (self.cache_log, os.path.join(self.dir, "stdout")):
            try:
                with open(path) as f:
                    parts.append(f.read()[-4000:])
            except OSError:
                pass
        return "\n".join(parts)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.stdout.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
