"""Rules under parallel load: 32 kept-alive clients at once through a
daemon whose URL filter refuses one path, and through one whose MIME rule
refuses one profile its videos while the cache serves the others. Every
answer is checked at the client (the origin's page or the refusal page) and,
for the URL filter, at the origin (no refused path ever reaches it): the
verdict of a rule must not depend on what other requests are being judged
by the same rule at the same time. nginx is the origin."""

import http.client
import os
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxytest import NGINX, Nginx, Proxy, allow_rule  # noqa: E402
from quilltest import replace_section  # noqa: E402

PAGE = b"<html>the origin page</html>\n"
CLIENTS = 32
# Requests per client: the allowed ones first, then the refused ones, on
# one kept-alive connection. QUILL_PARALLEL_REQUESTS raises it for a longer
# run by hand.
REQUESTS = int(os.environ.get("QUILL_PARALLEL_REQUESTS", "120"))


def start_with_section(test, proxy, name, body):
    """Starts proxy with its configuration's section name given body,
    stopped with the test."""
    with open(proxy.inst.config) as f:
        text = f.read()
    with open(proxy.inst.config, "w") as f:
        f.write(replace_section(text, name, body))
    started = proxy.start()
    test.addCleanup(proxy.stop)
    return started


def run_clients(client):
    """Runs client(number, wrong, errors) for CLIENTS numbers at once and
    returns what they put in wrong and errors."""
    wrong, errors = [], []
    threads = [threading.Thread(target=client, args=(n, wrong, errors)) for n in range(CLIENTS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return wrong, errors


def deny_rule(path):
    return ("<deny><enabled>true</enabled><comment>blocked</comment><profiles></profiles>"
            "<host></host><path>%s</path><addresses></addresses><template></template></deny>"
            % path)


@unittest.skipUnless(NGINX, "needs nginx")
class ParallelVerdicts(unittest.TestCase):
    def setUp(self):
        self.nginx = Nginx({"index.html": PAGE}).start()
        self.addCleanup(self.nginx.stop)
        self.proxy = start_with_section(self, Proxy(cache=False), "url-filtering",
                                        "<enabled>true</enabled><allow-first>false</allow-first>"
                                        "<template></template>" + deny_rule("^/blocked/"))

    def client(self, number, wrong, errors):
        conn = http.client.HTTPConnection("127.0.0.1", self.proxy.port, timeout=60)
        allowed = REQUESTS * 3 // 5
        try:
            for i in range(REQUESTS):
                refused = i >= allowed
                path = ("/blocked/c%dx%d" % (number, i) if refused
                        else "/index.html?c=%d&i=%d" % (number, i))
                conn.request("GET", "http://127.0.0.1:%d%s" % (self.nginx.port, path))
                response = conn.getresponse()
                body = response.read()
                right = (b"Page Blocked" in body) if refused else (body == PAGE)
                if response.status != 200 or not right:
                    wrong.append((path, response.status, body[:80]))
        except (OSError, http.client.HTTPException) as e:
            errors.append("client %d: %r" % (number, e))
        finally:
            conn.close()

    def test_one_rule_gives_every_parallel_request_its_verdict(self):
        wrong, errors = run_clients(self.client)
        self.assertEqual([], errors, self.proxy.log()[-3000:])
        self.assertEqual([], wrong[:10], "%d wrong verdicts" % len(wrong))
        reached = [r for r in self.nginx.requests() if "/blocked/" in r[2]]
        self.assertEqual([], reached[:10], "%d refused requests reached the origin" % len(reached))
        served = [r for r in self.nginx.requests() if "/index.html" in r[2]]
        self.assertEqual(CLIENTS * (REQUESTS * 3 // 5), len(served))
        self.assertNotIn("Segmentation", self.proxy.log())


VIDEO = b"\x00\x00\x00\x18ftypmp42" + b"v" * 2000


def student_rule():
    """The access rule of 127.0.0.2: it adds the profile "students"."""
    return allow_rule("127.0.0.2", "proxy").replace(
        "<add-profiles></add-profiles>", "<add-profiles>students</add-profiles>")


@unittest.skipUnless(NGINX, "needs nginx")
class ParallelProfileVerdicts(unittest.TestCase):
    """A MIME rule for one profile, with the cache on: half the clients
    come from the students' address and must get the refusal page for every
    video, hit or miss, while the others get every video whole."""

    def setUp(self):
        self.nginx = Nginx({"v%d.mp4" % n: VIDEO for n in range(20)},
                           locations="types { video/mp4 mp4; }\n").start()
        self.addCleanup(self.nginx.stop)
        self.proxy = start_with_section(
            self, Proxy(allow_rules=[student_rule(), allow_rule("127.0.0.1", "proxy")]),
            "mime-filtering",
            "<enabled>true</enabled><allow-first>false</allow-first><template></template>"
            "<deny><enabled>true</enabled><comment>video</comment><profiles>students</profiles>"
            "<host></host><path></path><mime-type>^video/</mime-type><template></template></deny>")

    def client(self, number, wrong, errors):
        student = number % 2 == 1
        conn = http.client.HTTPConnection("127.0.0.1", self.proxy.port, timeout=60,
                                          source_address=("127.0.0.2" if student else "127.0.0.1", 0))
        try:
            for i in range(REQUESTS // 2):
                path = "/v%d.mp4" % ((number + i) % 20)
                headers = {"Cache-Control": "no-cache"} if i % 7 == 0 else {}
                conn.request("GET", "http://127.0.0.1:%d%s" % (self.nginx.port, path), headers=headers)
                response = conn.getresponse()
                body = response.read()
                right = (b"Page Blocked" in body) if student else (body == VIDEO)
                if response.status != 200 or not right:
                    wrong.append((number, path, response.status, response.getheader("X-Cache"),
                                  body[:60]))
        except (OSError, http.client.HTTPException) as e:
            errors.append("client %d: %r" % (number, e))
        finally:
            conn.close()

    def test_one_profile_refused_under_parallel_load(self):
        wrong, errors = run_clients(self.client)
        self.assertEqual([], errors, self.proxy.log()[-3000:])
        self.assertEqual([], wrong[:10], "%d wrong verdicts" % len(wrong))


if __name__ == "__main__":
    unittest.main()
