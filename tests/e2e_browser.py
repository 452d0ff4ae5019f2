"""The web interface in headless Chromium (Debian's package, installed by
scripts/install-deps.sh) driven by playwright-core, with the daemon as the
browser's proxy. The npm packages come from tests/browser/package-lock.json
and are installed once into a cache directory outside the source tree; the
browser script itself is tests/browser/interface_login.js."""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quilltest import SOURCE, Install  # noqa: E402
from e2e_interface import (PASSWORD, SKIP_REASON, USER, free_port,  # noqa: E402
                           interface_config, pipeline_ready)

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


if __name__ == "__main__":
    unittest.main()
