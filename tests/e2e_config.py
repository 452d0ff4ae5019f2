"""The configuration pages seen from outside, with curl as the browser:
"/config" forms filled the way a browser fills them (every control of the
drawn form posted back), entry actions and their refusals, long values
kept whole, "/log", "/save" and "/load" (a flawed second section changes
nothing), and configuration from a URL served by nginx on loopback, whose
log shows the requests, user agents, credentials and connections."""

import html.parser
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import socket
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_interface import (HOST, SKIP_REASON, DaemonCase, free_port,  # noqa: E402
                           interface_config, pipeline_ready)
from quilltest import Install  # noqa: E402
from proxytest import NGINX, Nginx  # noqa: E402

USER_AGENT = "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98; Win 9x 4.90)"


class Form(html.parser.HTMLParser):
    """The controls of the forms of a page, as a browser would post them:
    form index -> list of (name, value)."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.forms = []
        self.select = None
        self.area = None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "form":
            self.forms.append([])
        elif not self.forms:
            return
        elif tag == "input":
            kind = a.get("type", "text")
            if kind in ("text", "hidden"):
                self.forms[-1].append((a.get("name"), a.get("value", "")))
            elif kind in ("radio", "checkbox") and "checked" in a:
                self.forms[-1].append((a.get("name"), a.get("value", "on")))
        elif tag == "select":
            self.select = a.get("name")
        elif tag == "option" and self.select and "selected" in a:
            self.forms[-1].append((self.select, a.get("value", "")))
        elif tag == "textarea":
            self.area = [a.get("name"), ""]

    def handle_data(self, data):
        if self.area is not None:
            self.area[1] += data

    def handle_endtag(self, tag):
        if tag == "select":
            self.select = None
        elif tag == "textarea" and self.area is not None:
            self.forms[-1].append(tuple(self.area))
            self.area = None


class PagesCase(DaemonCase):
    """A logged-in curl with a scratch directory."""

    def setUp(self):
        super().setUp()
        self.cookie = self.login_cookie()
        self.tmp = tempfile.mkdtemp(prefix="quill-config-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)
        super().tearDown()

    def page(self, path, fields=None, seconds=20):
        """The page at path: GET, or POST of fields (a list of pairs)."""
        args = ["-H", "Referer: http://%s/" % HOST, "-b", self.cookie]
        if fields is not None:
            body = os.path.join(self.tmp, "body")
            with open(body, "w") as f:
                f.write(urllib.parse.urlencode(fields))
            args += ["--data-binary", "@" + body]
        r = self.curl("http://%s/%s" % (HOST, path), *args, seconds=seconds)
        self.assertEqual(200, r.status)
        return r.text

    def form_of(self, text, marker):
        """The posted pairs of the first form holding marker (a pair)."""
        for form in Form(text).forms:
            if marker in form:
                return form
        self.fail("no form with %r" % (marker,))

    @staticmethod
    def replace(form, name, value):
        return [(n, value if n == name else v) for n, v in form]

    def general_form(self):
        return self.form_of(self.page("config?section=general"), ("action", "global"))


@unittest.skipUnless(pipeline_ready(), SKIP_REASON)
class ConfigPages(PagesCase):
    def test_global_form_and_refusals(self):
        form = self.general_form()
        self.assertIn(("F0", "localhost"), form)
        text = self.page("config", self.replace(form, "F0", "editor.example"))
        self.assertIn('value="editor.example"', text)
        self.assertIn("web interface for editor.example", self.page("config"))

        # Letters in an integer field: refused, nothing changes.
        form = self.general_form()
        text = self.page("config", self.replace(self.replace(form, "F2", "abc"), "F0", "other"))
        self.assertIn("must be an integer", text)
        self.assertIn('value="editor.example"', self.page("config?section=general"))

        # A stray action without an id changes no global value.
        self.page("config?section=general&action=delete")
        self.assertIn('value="editor.example"', self.page("config?section=general"))
        # An oversized form says it was not applied.
        big = [("section", "general"), ("action", "global"), ("F0", "x" * (1 << 21))]
        self.assertIn("nothing was applied", self.page("config", big))
        self.assertIn('value="editor.example"', self.page("config?section=general"))

    def profiles(self):
        return re.findall(r'action=delete&amp;id=(\d+)', self.page("config?section=profiles"))

    def add_profile(self, comment):
        text = self.page("config?section=profiles&subsection=profile&dialog=show")
        form = self.form_of(text, ("action", "add"))
        return self.page("config", self.replace(form, "F1", comment))

    def test_entries_long_values_and_moves(self):
        before = self.profiles()
        for size in (8 * 1024, 64 * 1024):
            value = ("v%d-" % size) + "".join(chr(0x41 + i % 26) for i in range(size))
            self.add_profile(value)
            # Edit and Submit without changes keeps the value byte for byte.
            for _ in range(2):
                ids = self.profiles()
                text = self.page("config?section=profiles&subsection=profile&dialog=show&id="
                                 + ids[-1])
                form = self.form_of(text, ("action", "edit"))
                self.assertTrue(("F1", value) in form, "value cut or changed")
                self.page("config", form)
        ids = self.profiles()
        self.assertEqual(len(before) + 2, len(ids))

        # Up on the last entry: it changes place and id.
        self.page("config?section=profiles&subsection=profile&action=shift&direction=up&id="
                  + ids[-1])
        after = self.profiles()
        self.assertNotIn(ids[-1], after)
        self.assertEqual(ids[-2], after[-1])
        text = self.page("config?section=profiles&subsection=profile&action=delete&id=" + ids[-1])
        self.assertIn("Entry ID doesn&#39;t exist".replace("&#39;", "'"), text.replace("&#39;", "'"))

        # A broken expression is refused with its field's label.
        text = self.page("config?section=profiles&subsection=profile&dialog=show")
        form = self.replace(self.form_of(text, ("action", "add")), "F4", "([")
        text = self.page("config", form)
        self.assertIn("must be a valid regular expression", text)
        self.assertEqual(after, self.profiles())

    def test_log_page(self):
        text = self.page("log", [("size", "5")])
        self.assertIn('name="size" size="10" value="5"', text)
        self.assertLessEqual(text.count('class="listeven"') + text.count('class="listodd"'), 5)
        text = self.page("log", [("clear", "on"), ("size", "abc")])
        self.assertIn('value="5"', text)
        self.page("log", [("pattern", "(")])       # logs the failed compile
        text = self.page("log", [("pattern", "FAILED TO COMPILE")])
        self.assertIn("failed to compile regular expression", text)
        self.assertIn('value="FAILED TO COMPILE"', text)
        text = self.page("log", [("size", "0")])
        self.assertNotIn('class="listeven"', text)

    def test_save_and_load(self):
        target = os.path.join(self.tmp, "saved.xml")
        self.assertIn("File saved", self.page("save", [("filename", target)]))
        with open(target) as f:
            saved = f.read()
        self.assertIn("<hostname>localhost</hostname>", saved)
        self.assertIn("Saved failed",
                      self.page("save", [("filename", "/nonexistent-dir/x.xml")]))

        # A file whose later section holds a bad value changes no section.
        flawed = saved.replace("<hostname>localhost</hostname>",
                               "<hostname>changed.example</hostname>")
        flawed = re.sub(r"<poolsize>\d+</poolsize>", "<poolsize>lots</poolsize>", flawed)
        flawed = flawed.replace("<enabled>true</enabled>", "<enabled>maybe</enabled>", 1) \
            if "<templates>" not in flawed else flawed
        bad = os.path.join(self.tmp, "bad.xml")
        with open(bad, "w") as f:
            f.write(flawed)
        self.assertIn("Load failed",
                      self.page("load", [("filename", bad), ("overwrite", "yes")]))
        self.assertIn('value="localhost"', self.page("config?section=general"))

        good = os.path.join(self.tmp, "good.xml")
        with open(good, "w") as f:
            f.write(saved.replace("<hostname>localhost</hostname>",
                                  "<hostname>loaded.example</hostname>"))
        self.assertIn("File loaded",
                      self.page("load", [("filename", good), ("overwrite", "yes")]))
        self.assertIn('value="loaded.example"', self.page("config?section=general"))


class LoggingNginx(Nginx):
    """nginx whose log shows the request, user agent, credentials and
    connection of every request."""

    def config(self):
        return super().config().replace(
            "log_format conn '$connection $connection_requests \"$request\" $status';",
            "log_format conn '$connection $connection_requests \"$request\" $status "
            "\"$http_user_agent\" \"$http_authorization\"';")

    def lines(self):
        try:
            with open(self.access) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []


class ShortBody(threading.Thread):
    """A server that announces more body than it sends, then closes."""

    def __init__(self):
        super().__init__(daemon=True)
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]

    def run(self):
        while True:
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            with c:
                c.recv(65536)
                c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n<quillmere>")


@unittest.skipUnless(pipeline_ready() and NGINX, "needs nginx and the request pipeline")
class ConfigFromUrl(PagesCase):
    def test_url_loads(self):
        saved = os.path.join(self.tmp, "saved.xml")
        self.assertIn("File saved", self.page("save", [("filename", saved)]))
        with open(saved) as f:
            text = f.read()
        good = text.replace("<hostname>localhost</hostname>", "<hostname>url.example</hostname>")
        nginx = LoggingNginx({"good.xml": good.encode(),
                              "big.xml": (good + " " * (17 << 20)).encode()}).start()
        try:
            def load(url):
                # The oversized file is read up to the fetch limit before it
                # is refused, which takes a while in a sanitizer build.
                return self.page("load", [("filename", url), ("overwrite", "yes")], seconds=120)

            self.assertIn("File loaded", load(nginx.url("/good.xml")))
            self.assertIn('value="url.example"', self.page("config?section=general"))
            lines = nginx.lines()
            self.assertEqual(1, len(lines), lines)
            self.assertIn('"GET /good.xml HTTP/1.1" 200 "%s"' % USER_AGENT, lines[0])

            self.assertIn("File loaded", load(nginx.url("/good.xml")))
            lines = nginx.lines()
            self.assertEqual(lines[0].split()[0], lines[1].split()[0], lines)   # one connection

            self.assertIn("Load failed", load(nginx.url("/missing.xml")))
            self.assertIn('value="url.example"', self.page("config?section=general"))

            auth = "http://u:p@127.0.0.1:%d/good.xml" % nginx.port
            self.assertIn("File loaded", load(auth))
            lines = nginx.lines()
            self.assertIn('"Basic dTpw"', lines[-1])
            self.assertEqual(1, sum('"Basic dTpw"' in line for line in lines))

            self.assertIn("Load failed", load(nginx.url("/big.xml")))

            # A daemon started with a configuration URL fetches it at start-up
            # (no file of that name is looked for); a URL that fails stops it.
            port = free_port()
            with open(os.path.join(nginx.root, "start.xml"), "w") as f:
                f.write(interface_config(port))
            started = Install()
            try:
                started.start_foreground("-c", nginx.url("/start.xml"))
                self.assertTrue(started.wait_log("listening on 127.0.0.1:%d" % port),
                                started.log_text())
            finally:
                started.cleanup()
            failed = Install()
            try:
                proc = failed.start_foreground("-c", nginx.url("/absent.xml"))
                self.assertNotEqual(0, proc.wait(30))
            finally:
                failed.cleanup()
        finally:
            nginx.stop()

        short = ShortBody()
        short.start()
        try:
            self.assertIn("Load failed",
                          self.page("load", [("filename", "http://127.0.0.1:%d/c.xml" % short.port),
                                             ("overwrite", "yes")]))
        finally:
            short.sock.close()
        self.assertIn('value="url.example"', self.page("config?section=general"))


if __name__ == "__main__":
    unittest.main()
