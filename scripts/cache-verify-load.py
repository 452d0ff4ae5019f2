#!/usr/bin/python3
"""A verifying load through the cache: N clients on kept-alive connections
ask for F files of an nginx origin for a given time, and every body is
checked against what the origin holds.

Each file is made from its path: a first line "QVL <path> <length>
<sha256>" followed by bytes drawn from that seed, so a client can check any
answer on its own. A share of the requests (--changing, half by default)
go to URLs that change every 0.25 s (a version token in the query, so a new
cache key four times a second, each asked for by several clients at once
while it is written); the files are an hour old and kept an hour. A share
of the requests (--reloads) carry Cache-Control: no-cache, so that the
copy is revalidated (If-Modified-Since, a 304), also while it is written.
Sizes run from 1 KB to 120 KB: 5,000 files are well over the shipped 64 MB
memory cache.

The proxy is the daemon on the shipped configuration (its memory size, a
disk store in a directory of its own), or squid with --squid (cache_mem 64
MB). With --refused, half the clients come from 127.0.0.2 and a MIME rule
refuses the profile of that address the video files (a quarter of all
files): those clients must get the refusal page for them, the others every
body whole.

Printed: requests, hits, "bad" answers (framed as complete, yet short,
long or not the bytes the origin holds), "failed" ones (cut: fewer bytes
than announced, a reset, no answer), refusals seen, and the first examples
of each. A benchmark script, not a test: it asserts nothing.

Usage: scripts/cache-verify-load.py [--clients 16] [--seconds 60]
       [--files 5000] [--changing 0.5] [--reloads 0.2] [--refused] [--squid]
       (QUILL_BIN: the daemon, by default build/quillmere)
"""

import argparse
import hashlib
import http.client
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
os.environ.setdefault("QUILL_SOURCE", ROOT)
os.environ.setdefault("QUILL_BIN", os.path.join(ROOT, "build", "quillmere"))
from quilltest import Install, free_port, wait_for  # noqa: E402
from proxytest import proxy_config  # noqa: E402

STEP = 0.25   # seconds between versions of a changing file


def body_of(path, length):
    """The bytes of path: the proof line, then bytes seeded by the path."""
    payload = random.Random(path).randbytes(length)
    head = b"QVL %s %d %s\n" % (path.encode(), length, hashlib.sha256(payload).hexdigest().encode())
    return head + payload


def check_body(body, path):
    """'' when body proves itself whole and path's, else what is wrong
    with it."""
    line, sep, payload = body.partition(b"\n")
    m = re.match(rb"QVL (\S+) (\d+) ([0-9a-f]{64})$", line)
    if not sep or not m:
        return "no proof line (%d bytes)" % len(body)
    if m.group(1) != path.encode():
        return "the body of %s" % m.group(1).decode(errors="replace")
    length = int(m.group(2))
    if len(payload) != length:
        return "%d of %d bytes" % (len(payload), length)
    if hashlib.sha256(payload).hexdigest().encode() != m.group(3):
        return "bytes differ"
    return ""


class Origin:
    """nginx serving F files made by body_of, an hour old; a query string
    is ignored, so that every version token names the same bytes."""

    def __init__(self, files):
        from proxytest import Nginx
        self.files = files
        self.nginx = Nginx({}, locations="types { video/mp4 mp4; application/octet-stream bin; }\n"
                                         "    if_modified_since before;\n"
                                         "    location /f/ { expires 1h; }\n", gzip=False)
        os.makedirs(os.path.join(self.nginx.root, "f"))
        old = time.time() - 86400
        for n in range(files):
            name = self.name(n)
            full = os.path.join(self.nginx.root, name.lstrip("/"))
            with open(full, "wb") as f:
                f.write(body_of(name, 1000 + random.Random(n).randrange(120000)))
            os.utime(full, (old, old))
        self.nginx.start()
        self.port = self.nginx.port

    @staticmethod
    def name(n):
        return "/f/%d.%s" % (n, "mp4" if n % 4 == 3 else "bin")

    def url(self, n, version=None):
        return "http://127.0.0.1:%d%s%s" % (self.port, self.name(n),
                                            "" if version is None else "?v=%d" % version)

    def stop(self):
        self.nginx.stop()


class Quillmere:
    def __init__(self, refused):
        self.port = free_port()
        self.store = tempfile.mkdtemp(prefix="quill-verify-store-")
        text = proxy_config(self.port, store=self.store)
        # Two addresses: 127.0.0.2 gets the profile "students".
        rule = ("<allow><enabled>true</enabled><comment>%s</comment><log>false</log>"
                "<profiles></profiles><interfaces></interfaces><addresses>%s</addresses>"
                "<pam>false</pam><username></username><password></password>"
                "<permissions>proxy</permissions><bypass></bypass><interface-username>"
                "</interface-username><interface-password></interface-password>"
                "<add-profiles>%s</add-profiles></allow>")
        access = ("<access><allow-first>true</allow-first>%s%s</access>"
                  % (rule % ("students", "127.0.0.2", "students"), rule % ("staff", "127.0.0.1", "")))
        text = re.sub(r"<access>.*?</access>", lambda m: access, text, flags=re.S)
        if refused:
            mime = ("<mime-filtering><enabled>true</enabled><allow-first>false</allow-first>"
                    "<template></template><deny><enabled>true</enabled><comment>video</comment>"
                    "<profiles>students</profiles><host></host><path></path>"
                    "<mime-type>^video/</mime-type><template></template></deny></mime-filtering>")
            if "<mime-filtering>" in text:
                text = re.sub(r"<mime-filtering>.*?</mime-filtering>", lambda m: mime, text, flags=re.S)
            else:
                text = text.replace("</quillmere>", mime + "\n</quillmere>")
        self.inst = Install(config=text)
        # Its echo of the log goes nowhere: a pipe nobody reads would stop it.
        self.inst.proc = subprocess.Popen(self.inst.args("-f"), stdin=subprocess.DEVNULL,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not self.inst.wait_log("listening on 127.0.0.1:%d" % self.port, 20):
            raise RuntimeError("the daemon did not start:\n" + self.inst.log_text()[-3000:])

    def stop(self):
        self.inst.stop()
        self.inst.cleanup()
        shutil.rmtree(self.store, ignore_errors=True)


class SquidProxy:
    def __init__(self, refused):
        from squidtest import Squid
        extra = ["cache_mem 64 MB", "maximum_object_size_in_memory 8 MB",
                 "acl students src 127.0.0.2", "acl video rep_mime_type ^video/"]
        if refused:
            extra += ["http_reply_access deny students video", "http_reply_access allow all"]
        self.squid = Squid(access=["acl both src 127.0.0.1 127.0.0.2", "http_access allow both",
                                   "http_access deny all"], cache=True, extra=extra)
        self.port = self.squid.port

    def stop(self):
        self.squid.stop()


class Tally:
    def __init__(self):
        self.lock = threading.Lock()
        self.counts = {"requests": 0, "hits": 0, "bad": 0, "failed": 0, "refused": 0}
        self.examples = {"bad": [], "failed": []}

    def add(self, kind, example=None):
        with self.lock:
            self.counts[kind] += 1
            if example and kind in self.examples and len(self.examples[kind]) < 5:
                self.examples[kind].append(example)


def client(proxy_port, origin, args, student, deadline, tally, seed):
    rng = random.Random(seed)
    conn = None
    while time.time() < deadline:
        if conn is None:
            conn = http.client.HTTPConnection("127.0.0.1", proxy_port, timeout=60,
                                              source_address=("127.0.0.2" if student else "127.0.0.1", 0))
        n = rng.randrange(args.files)
        moving = rng.random() < args.changing
        url = origin.url(n, int(time.time() / STEP) if moving else None)
        headers = {"Cache-Control": "no-cache"} if rng.random() < args.reloads else {}
        tally.add("requests")
        what = "%s%s" % (url, " (reload)" if headers else "")
        try:
            conn.request("GET", url, headers=headers)
            r = conn.getresponse()
            data = r.read()
        except (OSError, http.client.HTTPException) as e:
            tally.add("failed", "%s: %s" % (what, type(e).__name__ + (" " + str(e)[:80] if str(e) else "")))
            conn.close()
            conn = None
            continue
        cache = r.getheader("X-Cache", "") or ""
        if "HIT" in cache:
            tally.add("hits")
        if student and ".mp4" in url and args.refused:
            if r.status != 200 or data[:4] == b"QVL ":
                tally.add("bad", "%s: not refused (status %d, %s, %s)" % (
                    what, r.status, cache, data.partition(b"\n")[0][:60].decode(errors="replace")))
            else:
                tally.add("refused")
        elif r.status != 200:
            tally.add("bad", "%s: status %d" % (what, r.status))
        else:
            problem = check_body(data, origin.name(n))
            if problem:
                tally.add("bad", "%s: %s, %s, Content-Length %s" % (what, problem, cache,
                                                                    r.getheader("Content-Length")))
        if r.will_close:
            conn.close()
            conn = None
    if conn:
        conn.close()


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--clients", type=int, default=16)
    p.add_argument("--seconds", type=float, default=60)
    p.add_argument("--files", type=int, default=5000)
    p.add_argument("--changing", type=float, default=0.5)
    p.add_argument("--reloads", type=float, default=0.2)
    p.add_argument("--refused", action="store_true")
    p.add_argument("--squid", action="store_true")
    args = p.parse_args()

    origin = Origin(args.files)
    proxy = SquidProxy(args.refused) if args.squid else Quillmere(args.refused)
    tally = Tally()
    deadline = time.time() + args.seconds
    threads = [threading.Thread(target=client, args=(proxy.port, origin, args,
                                                     args.refused and i % 2 == 1, deadline, tally, i))
               for i in range(args.clients)]
    started = time.time()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    took = time.time() - started
    proxy.stop()
    origin.stop()

    c = tally.counts
    print("%s: %d clients, %.0f s, %d files, %.0f%% of requests to URLs changing every %.2f s, "
          "%.0f%% reloads%s"
          % ("squid" if args.squid else "quillmere", args.clients, took, args.files,
             args.changing * 100, STEP, args.reloads * 100,
             ", half the clients refused the videos" if args.refused else ""))
    print("requests %d  hits %d  refused %d  bad %d  failed %d" % (
        c["requests"], c["hits"], c["refused"], c["bad"], c["failed"]))
    for kind in ("bad", "failed"):
        for example in tally.examples[kind]:
            print("  %s: %s" % (kind, example))


if __name__ == "__main__":
    main()
