"""The process frame seen from outside: the command line, daemon mode with
its PID file and start report, the signals, and log rotation."""

import http.client
import os
import pwd
import signal
import socket
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quilltest import (BIN, Install, free_port, port_open, process_alive, wait_for,  # noqa: E402
                       wait_port)


class CommandLine(unittest.TestCase):
    def run_bin(self, *args):
        return subprocess.run([BIN] + list(args), capture_output=True, text=True, timeout=20,
                              stdin=subprocess.DEVNULL)

    def test_help_version_and_refusals(self):
        """Help and version exit 0; malformed values refuse the start with status 1."""
        r = self.run_bin()
        self.assertEqual(0, r.returncode)
        self.assertIn(" -c <file>            : location of config file (required)\n", r.stderr)
        self.assertEqual(0, self.run_bin("-h").returncode)
        r = self.run_bin("-v")
        self.assertEqual(0, r.returncode)
        self.assertEqual("Quillmere - VERSION - 0.1.0 - BUILD - 1\n", r.stdout)
        for bad in (["-P", "100"], ["-t", "abc"], ["-z", "40"], ["-c", "x" * 300]):
            r = self.run_bin(*bad)
            self.assertEqual(1, r.returncode, bad)
            self.assertIn("Usage:", r.stderr)

    def test_required_files(self):
        inst = Install()
        try:
            r = self.run_bin("-s", inst.sections)
            self.assertEqual((1, "config file option missing\n"), (r.returncode, r.stderr))
            r = self.run_bin("-c", inst.config)
            self.assertEqual((1, "section file option missing\n"), (r.returncode, r.stderr))
            missing = os.path.join(inst.dir, "nope.xml")
            r = self.run_bin("-c", missing, "-s", inst.sections)
            self.assertEqual((1, "couldn't stat %s\n" % missing), (r.returncode, r.stderr))
        finally:
            inst.cleanup()


class Foreground(unittest.TestCase):
    def setUp(self):
        self.inst = Install()

    def tearDown(self):
        self.inst.cleanup()

    def test_signals_and_rotation(self):
        """USR1 rotates, USR2 and HUP are logged and the daemon runs on, TERM exits 0."""
        p = self.inst.start_foreground()
        # Without -H the name is the general section's (the shipped "localhost").
        self.assertTrue(self.inst.wait_log("network: proxy hostname: localhost\n"),
                        self.inst.log_text())
        self.assertFalse(os.path.exists(self.inst.pidfile))  # never in the foreground

        p.send_signal(signal.SIGUSR1)
        self.assertTrue(self.inst.wait_log("advice: Recieved Signal for Log Rotation"))
        p.send_signal(signal.SIGUSR2)
        # The next line after the request rotates the file: the new file holds it.
        self.assertTrue(self.inst.wait_log("advice: Recieved Test Signal for USR2"))
        rotated = [n for n in os.listdir(self.inst.dir) if n.endswith("-native.log")]
        self.assertEqual(1, len(rotated), os.listdir(self.inst.dir))
        with open(os.path.join(self.inst.dir, rotated[0])) as f:
            self.assertIn("proxy hostname", f.read())
        self.assertNotIn("proxy hostname", self.inst.log_text())

        p.send_signal(signal.SIGHUP)
        self.assertTrue(self.inst.wait_log("advice: Recieved HUP Signal for cleaning cache and closing all FDs"))
        self.assertIsNone(p.poll())

        p.send_signal(signal.SIGTERM)
        self.assertEqual(0, p.wait(10))
        self.assertIn("advice: Recieved TERM Signal to EXIT", self.inst.log_text())
        # In the foreground, lines are echoed on standard output.
        self.assertIn("Recieved TERM Signal to EXIT", p.stdout.read())

    def test_crashes_exit_with_status_one(self):
        for sig, line in ((signal.SIGSEGV, "advice: Recieved Signal for Segmentation violation"),
                          (signal.SIGABRT, "error: Recieved Signal for IOT trap \n")):
            with self.subTest(sig=sig):
                os.path.exists(self.inst.log) and os.unlink(self.inst.log)
                # With debug lines on, the last line of the start-up tells
                # that every service thread runs.
                p = self.inst.start_foreground("-d", "268435455")
                self.assertTrue(self.inst.wait_log("debug: GMT offset is"))
                p.send_signal(sig)
                self.assertEqual(1, p.wait(20))
                self.assertIn(line, self.inst.log_text())
                p.stdout.close()
                p.stderr.close()


class Daemon(unittest.TestCase):
    def setUp(self):
        self.inst = Install()

    def tearDown(self):
        self.inst.cleanup()

    def test_start_pidfile_descriptors_and_stop(self):
        """The launcher returns 0 once started; TERM removes the PID file."""
        r = self.inst.run()
        self.assertEqual(0, r.returncode, r.stderr)
        pid = self.inst.daemon_pid()
        self.assertTrue(pid > 0 and process_alive(pid))
        self.assertTrue(self.inst.wait_log("proxy hostname"))

        # Arguments are blanked; 0-2 lead to /dev/null; the daemon left the
        # launcher's session and directory.
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            self.assertNotIn(self.inst.config.encode(), f.read())
        for fd in (0, 1, 2):
            self.assertEqual("/dev/null", os.readlink("/proc/%d/fd/%d" % (pid, fd)))
        self.assertEqual("/", os.readlink("/proc/%d/cwd" % pid))
        self.assertNotEqual(os.getsid(0), os.getsid(pid))

        os.kill(pid, signal.SIGTERM)
        self.assertTrue(wait_for(lambda: not process_alive(pid)))
        self.assertFalse(os.path.exists(self.inst.pidfile))
        self.assertIn("Recieved TERM Signal to EXIT", self.inst.log_text())

    def test_detached_logs_lose_no_record_to_rotation_or_stop(self):
        """Detached, the logs have their own writer: 32 kept-alive clients'
        requests while USR1 rotates the logs, then TERM the moment the last
        answer is in. Every request has exactly one access and one extended
        record, in the rotated file or the new one, and each client's
        records come in its order within a file."""
        r = self.inst.run()
        self.assertEqual(0, r.returncode, r.stderr)
        pid = self.inst.daemon_pid()
        self.assertTrue(self.inst.wait_log("proxy hostname"))
        closed = free_port()   # nothing listens: the daemon answers itself
        clients, each = 32, 12
        done = []
        lock = threading.Lock()
        rotated = threading.Event()
        failures = []

        def client(t):
            # http.client keeps the connection while the daemon does, and
            # opens a new one after an answer that closed it.
            conn = http.client.HTTPConnection("127.0.0.1", self.inst.port, timeout=30)
            for i in range(each):
                try:
                    conn.request("GET", "http://127.0.0.1:%d/c%d-%d" % (closed, t, i))
                    conn.getresponse().read()
                except (OSError, http.client.HTTPException) as e:
                    failures.append("client %d request %d: %r" % (t, i, e))
                    conn.close()
                with lock:
                    done.append(1)
                    if len(done) == clients * each // 2 and not rotated.is_set():
                        rotated.set()
                        os.kill(pid, signal.SIGUSR1)
            conn.close()

        threads = [threading.Thread(target=client, args=(t,)) for t in range(clients)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        os.kill(pid, signal.SIGTERM)
        self.assertTrue(wait_for(lambda: not process_alive(pid)))
        self.assertEqual([], failures)
        # The stop's own last lines, made just before the process ends, are
        # in the file too.
        self.assertIn("advice: cache: starting graceful done", self.inst.log_text())

        for kind, url_field in (("access.log", lambda f: f.split()[6]),
                                ("extended.log", lambda f: f.split('"')[7].split()[1])):
            names = sorted(n for n in os.listdir(self.inst.dir) if n.endswith(kind))
            self.assertGreaterEqual(len(names), 2, "the logs were not rotated: %s" % names)
            seen = {}
            for name in names:
                last = {}
                with open(os.path.join(self.inst.dir, name), errors="replace") as f:
                    for line in f.read().splitlines():
                        if not line or line.startswith("#"):
                            continue
                        path = url_field(line).rsplit("/", 1)[1]
                        t, i = (int(x) for x in path[1:].split("-"))
                        self.assertLess(last.get(t, -1), i, "%s: client %d out of order" % (name, t))
                        last[t] = i
                        seen[(t, i)] = seen.get((t, i), 0) + 1
            missing = [k for k in ((t, i) for t in range(clients) for i in range(each)) if k not in seen]
            self.assertEqual([], missing, kind)
            self.assertEqual({1}, set(seen.values()), kind)

    def test_failed_start_is_reported_to_the_launcher(self):
        with open(self.inst.sections, "w") as f:
            f.write("<sections><unclosed></sections>")
        r = self.inst.run()
        self.assertEqual(1, r.returncode)
        self.assertIn("Please correct errors in section.xml", r.stderr)
        self.assertIn("error: Error when parsing section.xml", self.inst.log_text())

    def failed_start(self, *extra):
        """Runs the start in daemon mode and in the foreground; both must fail
        with status 1. Returns the two standard errors."""
        errors = []
        r = self.inst.run(*extra)
        self.assertEqual(1, r.returncode, r.stderr)
        errors.append(r.stderr)
        p = self.inst.start_foreground(*extra)
        try:
            self.assertEqual(1, p.wait(20))
            errors.append(p.stderr.read())
        finally:
            p.stdout.close()
            p.stderr.close()
        self.assertEqual(0, self.inst.daemon_pid() and process_alive(self.inst.daemon_pid()))
        return errors

    def test_listener_that_cannot_be_bound_fails_the_start(self):
        """A port in use or an address not ours: status 1 and the reason, never a deaf daemon."""
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", self.inst.port))
            taken.listen(1)
            for err in self.failed_start():
                self.assertIn("cannot listen on 127.0.0.1:%d: Address already in use" % self.inst.port,
                              err)
        with open(self.inst.config) as f:
            text = f.read()
        with open(self.inst.config, "w") as f:
            f.write(text.replace("<address>127.0.0.1</address>", "<address>192.0.2.1</address>"))
        for err in self.failed_start():
            self.assertIn("cannot listen on 192.0.2.1:%d: Cannot assign requested address"
                          % self.inst.port, err)

    def test_log_file_that_cannot_be_opened_fails_the_start(self):
        missing = os.path.join(self.inst.dir, "no-such-dir")
        for option in ("-a", "-e", "-l"):
            with self.subTest(option=option):
                path = os.path.join(missing, "x.log")
                for err in self.failed_start(option, path):
                    self.assertIn("cannot open log file %s: No such file or directory" % path, err)

    def test_performance_log_that_cannot_be_opened_is_tried_again(self):
        """The default performance log (no -r) or one given with -r that cannot be
        opened: logged once, the daemon runs on and writes it once it can."""
        later = os.path.join(self.inst.dir, "later")
        for extra, path in (((), "/opt/quillmere/quillmere/logs/performance/performance.log"),
                            (("-r", os.path.join(later, "perf.log")),
                             os.path.join(later, "perf.log"))):
            with self.subTest(path=path):
                args = self.inst.args(*extra)
                if not extra:
                    self.assertFalse(os.path.exists(path))
                    i = args.index("-r")   # the Install's own -r left out
                    del args[i:i + 2]
                r = subprocess.run(args, capture_output=True, text=True, timeout=20,
                                   stdin=subprocess.DEVNULL)
                self.assertEqual(0, r.returncode, r.stderr)
                pid = self.inst.daemon_pid()
                line = "unable to open performance log %s" % path
                self.assertTrue(self.inst.wait_log(line), self.inst.log_text())
                if extra:
                    # A later row finds the directory and writes the header first.
                    os.mkdir(later)
                    self.assertTrue(wait_for(lambda: os.path.exists(path)
                                             and os.path.getsize(path) > 0))
                    with open(path) as f:
                        self.assertTrue(f.readline().startswith("Time Stamp"))
                self.assertEqual(1, self.inst.log_text().count(line))
                os.kill(pid, signal.SIGTERM)
                self.assertTrue(wait_for(lambda: not process_alive(pid)))
                os.unlink(self.inst.log)

    def test_listen_option_replaces_the_listen_entries(self):
        """-L ip:port is the one listener of the run; a malformed value or a port out of
        range stops the start with a line naming the option."""
        other = free_port()
        r = self.inst.run("-L", "127.0.0.1:%d" % other)
        self.assertEqual(0, r.returncode, r.stderr)
        pid = self.inst.daemon_pid()
        self.assertTrue(wait_port(other))
        self.assertFalse(port_open(self.inst.port))
        self.assertIn("listening on 127.0.0.1:%d as given with -L" % other, self.inst.log_text())
        os.kill(pid, signal.SIGTERM)
        self.assertTrue(wait_for(lambda: not process_alive(pid)))
        for value in ("127.0.0.1:65536", "127.0.0.1:0", "127.0.0.1", "localhost:%d" % other,
                      "127.0.0.1:%dx" % other, "300.0.0.1:%d" % other):
            with self.subTest(value=value):
                for err in self.failed_start("-L", value):
                    self.assertIn("invalid value for -L: %s\n" % value, err)
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", other))
            taken.listen(1)
            for err in self.failed_start("-L", "127.0.0.1:%d" % other):
                self.assertIn("cannot listen on 127.0.0.1:%d: Address already in use" % other, err)

    def test_flawed_configuration_line_reaches_the_launcher(self):
        """The launcher shows the whole flawed-XML line, element and value included,
        and a misspelt element of an access rule is refused, not ignored."""
        with open(self.inst.config) as f:
            good = f.read()
        bad_port = good.replace("<port>%d</port>" % self.inst.port, "<port>eighty</port>")
        misspelt = good.replace("<addresses>127.0.0.1</addresses>",
                                "<adresses>127.0.0.1</adresses>", 1)
        self.assertNotEqual(good, misspelt)
        for text, line in ((bad_port, "flawed XML file, section network, element listen: port "
                                      "must be"),
                           (misspelt, "flawed XML file, section access, entry allow, element "
                                      "adresses: the section's description has no such element")):
            with self.subTest(line=line):
                with open(self.inst.config, "w") as f:
                    f.write(text)
                for err in self.failed_start():
                    self.assertIn(line, err)
        with open(self.inst.config, "w") as f:
            f.write(bad_port)
        r = self.inst.run()
        self.assertIn("but it is given value eighty", r.stderr)

    def test_pidfile_of_a_live_process_refuses_the_start(self):
        sleeper = subprocess.Popen(["sleep", "30"])
        try:
            with open(self.inst.pidfile, "w") as f:
                f.write("%d\n" % sleeper.pid)
            r = self.inst.run()
            self.assertEqual(1, r.returncode)
            with open(self.inst.pidfile) as f:
                self.assertEqual("%d\n" % sleeper.pid, f.read())
        finally:
            sleeper.kill()
            sleeper.wait()

    def test_stale_pidfile_is_replaced(self):
        for content in ("999999999\n", "not a number", ""):
            with self.subTest(content=content):
                with open(self.inst.pidfile, "w") as f:
                    f.write(content)
                r = self.inst.run()
                self.assertEqual(0, r.returncode, r.stderr)
                pid = self.inst.daemon_pid()
                self.assertTrue(process_alive(pid))
                os.kill(pid, signal.SIGTERM)
                self.assertTrue(wait_for(lambda: not process_alive(pid)))

    @unittest.skipUnless(os.geteuid() == 0, "needs root to switch users")
    def test_user_switch_drops_root_groups(self):
        """-u without -g takes the user's primary group and no supplementary groups."""
        user = pwd.getpwnam("nobody")
        os.chmod(self.inst.dir, 0o777)
        r = self.inst.run("-u", "nobody")
        self.assertEqual(0, r.returncode, r.stderr)
        pid = self.inst.daemon_pid()
        status = {}
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                key, _, value = line.partition(":")
                status[key] = value.split()
        self.assertEqual(str(user.pw_uid), status["Uid"][0])
        self.assertEqual(str(user.pw_gid), status["Gid"][0])
        self.assertNotIn("0", status.get("Groups", []))
        r = self.inst.run("-u", "no-such-user-here")
        self.assertEqual(1, r.returncode)
        self.assertIn("getpwnam: unknown user", r.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
