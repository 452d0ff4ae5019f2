"""The administrator's install path: cmake --install puts the program, the
configuration and a systemd unit in place, keeps configuration files that
are already there, and the installed unit starts the daemon as it is
written (forking, with its PID file). The dependency script installs only
what building and running need for scripts/run.sh."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quilltest import BIN, SOURCE  # noqa: E402


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
        start = re.search(r"^ExecStart=(.*)$", unit, re.M).group(1).split()
        self.assertEqual("/usr/local/sbin/quillmere", start[0])
        self.assertEqual("/run/quillmere/quillmere.pid", start[start.index("-p") + 1])
        self.assertEqual("/etc/quillmere/quillmere.xml", start[start.index("-c") + 1])

        # An administrator's edited configuration survives a reinstall.
        with open(os.path.join(conf, "quillmere.xml"), "w") as f:
            f.write("<quillmere/>\n")
        self.install()
        with open(os.path.join(conf, "quillmere.xml")) as f:
            self.assertEqual("<quillmere/>\n", f.read())

    def test_run_installs_no_test_peers(self):
        """The "run" list has what building and running need, none of the test peers."""
        with open(os.path.join(SOURCE, "scripts", "install-deps.sh")) as f:
            text = f.read()
        run_list = text.split("packages=(", 1)[1].split(")", 1)[0].split()
        for peer in ("squid", "nginx", "chromium", "dnsmasq-base", "dante-server", "microsocks",
                     "tinyproxy", "clang", "libgtest-dev"):
            self.assertNotIn(peer, run_list)
            self.assertIn(peer, text)
        for need in ("cmake", "libssl-dev", "libpcre2-dev", "libtinyxml2-dev"):
            self.assertIn(need, run_list)
        with open(os.path.join(SOURCE, "scripts", "run.sh")) as f:
            self.assertIn("install-deps.sh run", f.read())
        with open(os.path.join(SOURCE, "scripts", "test.sh")) as f:
            self.assertIn("install-deps.sh test", f.read())


if __name__ == "__main__":
    unittest.main()
