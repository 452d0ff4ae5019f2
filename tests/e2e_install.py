"""The administrator's install path: cmake --install puts the program, the
configuration and a systemd unit in place, keeps configuration files that
are already there; scripts/install.sh adds the log and cache directories
and the logrotate file; and the installed unit's command, run as written
(its paths under a temporary root), starts a daemon that serves as the
run-as user, caches on disk, writes its performance log, stops on SIGTERM
and has its logs rotated by logrotate with the shipped file. The
dependency script installs only what building and running need for
scripts/run.sh."""

import gzip
import os
import pwd
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import unittest
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quilltest import BIN, SOURCE, free_port, process_alive, wait_for, wait_port  # noqa: E402
from proxytest import NGINX, Nginx  # noqa: E402

RUN_AS = "proxy"
LOGROTATE = shutil.which("logrotate") or (
    "/usr/sbin/logrotate" if os.path.exists("/usr/sbin/logrotate") else None)
# The unit's paths that an install makes, moved under the temporary root.
INSTALLED = ("/usr/local/", "/etc/quillmere/", "/var/log/quillmere", "/run/quillmere",
             "/var/cache/quillmere")


def unit_lines(text):
    """The unit's settings, name -> list of values."""
    out = {}
    for line in text.splitlines():
        name, eq, value = line.partition("=")
        if eq and not line.startswith("#"):
            out.setdefault(name.strip(), []).append(value.strip())
    return out


class InstallPath(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="quill-install-")
        self.addCleanup(shutil.rmtree, self.root, True)

    def install(self):
        env = dict(os.environ, DESTDIR=self.root)
        r = subprocess.run(["cmake", "--install", os.path.dirname(BIN)], env=env,
                           capture_output=True, text=True, timeout=120)
        self.assertEqual(0, r.returncode, r.stderr)

    def test_files_unit_and_kept_configuration(self):
        self.install()
        program = os.path.join(self.root, "usr/local/sbin/quillmere")
        self.assertTrue(os.access(program, os.X_OK))
        conf = os.path.join(self.root, "etc/quillmere")
        for name in ("quillmere.xml", "section.xml"):
            self.assertTrue(os.path.isfile(os.path.join(conf, name)), name)
        with open(os.path.join(self.root, "usr/local/lib/systemd/system/quillmere.service")) as f:
            unit = f.read()
        self.assertIn("Type=forking", unit)
        self.assertIn("PIDFile=/run/quillmere/quillmere.pid", unit)
        settings = unit_lines(unit)
        start = settings["ExecStart"][0].split()
        self.assertEqual("/usr/local/sbin/quillmere", start[0])
        self.assertEqual("/run/quillmere/quillmere.pid", start[start.index("-p") + 1])
        self.assertEqual("/etc/quillmere/quillmere.xml", start[start.index("-c") + 1])
        self.assertEqual("/var/log/quillmere/performance.log", start[start.index("-r") + 1])
        # SIGHUP would silence the proxy for good: no reload through it, so
        # systemd refuses "systemctl reload".
        self.assertNotIn("ExecReload", settings)
        self.assertEqual([], [v for k, values in settings.items() if k.startswith("Exec")
                              for v in values if "HUP" in v])

        # An administrator's edited configuration survives a reinstall.
        with open(os.path.join(conf, "quillmere.xml"), "w") as f:
            f.write("<quillmere/>\n")
        self.install()
        with open(os.path.join(conf, "quillmere.xml")) as f:
            self.assertEqual("<quillmere/>\n", f.read())

    def test_readme_daemon_example_is_the_units_command(self):
        """The README's "run it as a daemon yourself" command is the unit's, word for word."""
        with open(os.path.join(SOURCE, "README.md")) as f:
            readme = f.read()
        block = re.search(r"\n    install -d -o proxy /run/quillmere\n"
                          r"(    /usr/local/sbin/quillmere .*?)\n\n", readme, re.S)
        self.assertIsNotNone(block, "no daemon example in the README")
        example = shlex.split(block.group(1).replace("\\\n", " "))
        with open(os.path.join(SOURCE, "etc", "quillmere.service.in")) as f:
            unit = unit_lines(f.read())
        command = (unit["ExecStart"][0].replace("@CMAKE_INSTALL_FULL_SBINDIR@", "/usr/local/sbin")
                   .replace("@QUILL_CONFDIR@", "/etc/quillmere").replace("@QUILL_USER@", "proxy"))
        self.assertEqual(shlex.split(command), example)

    def test_run_installs_no_test_peers(self):
        """The "run" list has what building and running need, none of the test peers."""
        with open(os.path.join(SOURCE, "scripts", "install-deps.sh")) as f:
            text = f.read()
        run_list = text.split("packages=(", 1)[1].split(")", 1)[0].split()
        for peer in ("squid", "nginx", "chromium", "dnsmasq-base", "dante-server", "microsocks",
                     "tinyproxy", "clang", "libgtest-dev"):
            self.assertNotIn(peer, run_list)
            self.assertIn(peer, text)
        self.assertIn("logrotate", text)
        for need in ("cmake", "libssl-dev", "libpcre2-dev", "libtinyxml2-dev"):
            self.assertIn(need, run_list)
        with open(os.path.join(SOURCE, "scripts", "run.sh")) as f:
            self.assertIn("install-deps.sh run", f.read())
        with open(os.path.join(SOURCE, "scripts", "test.sh")) as f:
            self.assertIn("install-deps.sh test", f.read())


@unittest.skipUnless(os.geteuid() == 0, "installs as root and switches to the run-as user")
@unittest.skipUnless(NGINX, "nginx is not installed")
class InstalledService(unittest.TestCase):
    """scripts/install.sh into a temporary root, then the unit's commands as
    systemd runs them (as root: the daemon switches to the run-as user)."""

    def setUp(self):
        self.user = pwd.getpwnam(RUN_AS)
        self.root = tempfile.mkdtemp(prefix="quill-service-")
        os.chmod(self.root, 0o755)
        self.addCleanup(shutil.rmtree, self.root, True)
        self.cache = self.path("/var/cache/quillmere")
        self.logs = self.path("/var/log/quillmere")
        self.pid = 0
        self.origin = Nginx({"page.html": b"installed and serving\n", "load.html": b"x" * 512},
                            locations="add_header Cache-Control max-age=600;\n").start()
        self.addCleanup(self.origin.stop)

    def tearDown(self):
        if self.pid and process_alive(self.pid):
            os.kill(self.pid, signal.SIGKILL)
            wait_for(lambda: not process_alive(self.pid))

    def path(self, installed):
        return self.root + installed

    def native_log(self):
        try:
            with open(os.path.join(self.logs, "quillmere.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def install_and_start(self):
        """Installs as an administrator does after a first run as root (the
        store's tmp and object subdirectories root's), runs the unit's
        ExecStartPre and ExecStart and returns the proxy's port."""
        for sub in ("tmp", "00", "7f"):
            os.makedirs(os.path.join(self.cache, sub), 0o755)
        env = dict(os.environ, DESTDIR=self.root, QUILL_BUILD_DIR=os.path.dirname(BIN),
                   QUILL_USER=RUN_AS)
        r = subprocess.run(["bash", os.path.join(SOURCE, "scripts", "install.sh")], env=env,
                           capture_output=True, text=True, timeout=300, stdin=subprocess.DEVNULL)
        self.assertEqual(0, r.returncode, r.stdout + r.stderr)
        self.assertTrue(os.path.isfile(self.path("/etc/logrotate.d/quillmere")))

        # The administrator's one edit: the listener moves to a free port.
        # The store's directory stays the shipped one, under the root.
        port = free_port()
        conf = self.path("/etc/quillmere/quillmere.xml")
        with open(conf) as f:
            text = f.read()
        self.assertIn("<directory>/var/cache/quillmere</directory>", text)
        with open(conf, "w") as f:
            f.write(text.replace("<port>8080</port>", "<port>%d</port>" % port)
                    .replace("/var/cache/quillmere", self.cache))

        with open(self.path("/usr/local/lib/systemd/system/quillmere.service")) as f:
            unit = unit_lines(f.read())
        for key in ("ExecStartPre", "ExecStart"):
            command = [self.moved(word) for word in shlex.split(unit[key][0])]
            r = subprocess.run(command, capture_output=True, text=True, timeout=60,
                               stdin=subprocess.DEVNULL)
            self.assertEqual(0, r.returncode, "%s: %s\n%s" % (key, r.stderr, self.native_log()))
        pidfile = self.moved(unit["PIDFile"][0])
        with open(pidfile) as f:
            self.pid = int(f.read())
        self.assertTrue(wait_port(port, 10))
        return port, pidfile

    def moved(self, word):
        for prefix in INSTALLED:
            if word.startswith(prefix):
                return self.root + word
        return word

    def fetch(self, port, path):
        opener = urllib.request.build_opener(
            urllib.request.ProxyHandler({"http": "http://127.0.0.1:%d" % port}))
        with opener.open(self.origin.url(path), timeout=30) as reply:
            return reply.status, reply.read()

    def test_unit_command_serves_caches_on_disk_and_stops(self):
        port, pidfile = self.install_and_start()
        uid = None
        with open("/proc/%d/status" % self.pid) as f:
            for line in f:
                if line.startswith("Uid:"):
                    uid = [int(v) for v in line.split()[1:]]
        self.assertEqual([self.user.pw_uid] * 4, uid)

        for _ in range(2):
            self.assertEqual((200, b"installed and serving\n"), self.fetch(port, "/page.html"))
        # The object's file in the store, made by the run-as user.
        objects = wait_for(lambda: [os.path.join(d, n) for d, _, names in os.walk(self.cache)
                                    for n in names if re.fullmatch(r"[0-9a-f]{32}", n)])
        self.assertEqual(1, len(objects), self.native_log())
        self.assertEqual(self.user.pw_uid, os.stat(objects[0]).st_uid)
        with open(objects[0], "rb") as f:
            self.assertTrue(f.read().endswith(b"installed and serving\n"))
        self.assertNotIn("is not writable", self.native_log())

        perf = os.path.join(self.logs, "performance.log")

        def perf_rows():
            try:
                with open(perf) as f:
                    return f.read().splitlines()
            except OSError:
                return []
        rows = wait_for(lambda: len(perf_rows()) >= 2 and perf_rows())
        self.assertTrue(rows and rows[0].startswith("Time Stamp (YYYYMMDDhhmmss),Elapsed Time,"),
                        self.native_log())
        self.assertEqual(31, len(rows[1].split(",")))

        os.kill(self.pid, signal.SIGTERM)
        self.assertTrue(wait_for(lambda: not process_alive(self.pid), 20))
        self.assertFalse(os.path.exists(pidfile))
        self.assertIn("Recieved TERM Signal to EXIT", self.native_log())

    @unittest.skipUnless(LOGROTATE, "logrotate is not installed")
    def test_logrotate_twice_under_load(self):
        """The shipped logrotate file, run twice while clients keep the proxy
        busy: every answered request is in the access and extended logs once,
        and no empty file is left over."""
        port, _ = self.install_and_start()
        with open(self.path("/etc/logrotate.d/quillmere")) as f:
            conf = f.read().replace("/var/log/quillmere", self.logs).replace(
                "/run/quillmere", self.path("/run/quillmere"))
        rotate_conf = os.path.join(self.root, "logrotate.conf")
        with open(rotate_conf, "w") as f:
            f.write(conf)
        state = os.path.join(self.root, "logrotate.state")

        answered = [0]
        failures = []
        lock = threading.Lock()
        stop = threading.Event()

        def client(n):
            for i in range(5000):
                if stop.is_set():
                    return
                try:
                    status, _ = self.fetch(port, "/load.html?c=%d&i=%d" % (n, i))
                except OSError as e:
                    failures.append(repr(e))
                    return
                with lock:
                    answered[0] += status == 200

        threads = [threading.Thread(target=client, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        names = ("quillmere.log", "access.log", "extended.log")
        try:
            for run in range(2):
                # Some traffic before each rotation.
                base = answered[0]
                self.assertTrue(wait_for(lambda: answered[0] >= base + 50, 60), failures)
                r = subprocess.run([LOGROTATE, "-f", "-s", state, rotate_conf],
                                   capture_output=True, text=True, timeout=60)
                self.assertEqual(0, r.returncode, r.stderr)
                moved = [os.path.join(self.logs, n + ".1") for n in names]
                self.assertTrue(all(os.path.exists(m) for m in moved), os.listdir(self.logs))
                # The daemon starts each log anew at its next line.
                self.assertTrue(wait_for(lambda: all(
                    os.path.exists(os.path.join(self.logs, n)) for n in names), 30),
                    os.listdir(self.logs))
            base = answered[0]
            self.assertTrue(wait_for(lambda: answered[0] >= base + 50, 60), failures)
        finally:
            stop.set()
            for t in threads:
                t.join(60)
        self.assertEqual([], failures)

        def records(name):
            count = 0
            for entry in os.listdir(self.logs):
                if not entry.startswith(name):
                    continue
                opener = gzip.open if entry.endswith(".gz") else open
                with opener(os.path.join(self.logs, entry), "rt", errors="replace") as f:
                    count += sum(1 for line in f if "/load.html?c=" in line)
            return count
        total = answered[0]
        for name in ("access.log", "extended.log"):
            with self.subTest(log=name):
                # The last records may be written just after their answers.
                self.assertTrue(wait_for(lambda: records(name) >= total, 20),
                                (records(name), total))
                self.assertEqual(total, records(name))
        files = sorted(os.listdir(self.logs))
        for name in ("access.log.2.gz", "extended.log.2.gz", "quillmere.log.2.gz"):
            self.assertIn(name, files)

        def empty():
            return [n for n in os.listdir(self.logs)
                    if os.path.getsize(os.path.join(self.logs, n)) == 0]
        # The performance log, emptied in place, gets its header back with
        # its next row.
        wait_for(lambda: not empty(), 10)
        self.assertEqual([], empty(), files)
        with open(os.path.join(self.logs, "performance.log")) as f:
            self.assertTrue(f.readline().startswith("Time Stamp (YYYYMMDDhhmmss),"))
        # Nothing was moved aside by the daemon itself.
        self.assertEqual([], [n for n in files if re.match(r"\d{14}-", n)], files)


if __name__ == "__main__":
    unittest.main()
