"""CONNECT tunnels end to end, with real peers: curl as the client, an
openssl s_server with a certificate made here as the TLS origin, nginx as a
plain origin, squid as the upstream HTTP proxy (asked with the client's
CONNECT, opening a tunnel for a plain request, refusing one, or asking for
Basic credentials), danted and microsocks as SOCKS 5 upstreams. A raw
client checks the confirmation line, half-closes and long payloads byte
for byte. Every test starts what it needs on loopback ports of its own and
stops it."""

import hashlib
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxytest import CURL, NGINX, Curl, Nginx, Proxy, raw_exchange, split_response  # noqa: E402
from quilltest import free_port, port_open, stop_process, wait_for  # noqa: E402

try:
    from squidtest import SQUID, BASIC_NCSA, Squid, password_hash  # noqa: E402
except ImportError:   # the launcher is not there: the squid tests skip
    SQUID, BASIC_NCSA, Squid, password_hash = None, "", None, None

OPENSSL = shutil.which("openssl")
DANTED = shutil.which("danted") or ("/usr/sbin/danted" if os.path.exists("/usr/sbin/danted") else None)
MICROSOCKS = shutil.which("microsocks")
CONFIRM = b"HTTP/1.1 200 Connection Established\r\n\r\n"
PAYLOAD = hashlib.sha256(b"tunnel").digest() * (6 * 1024 * 1024 // 32 + 3)   # a little over 6 MiB
PAGE = b"".join(b"plain line %05d through a tunnel\n" % i for i in range(2000))


def peer_rule(host, port, proxy_type, protocols, user="", password=""):
    """A forwarding rule (an entry of the forward section's peer list)."""
    return ("<peer><enabled>true</enabled><comment>test</comment><profiles></profiles>"
            "<host>%s</host><user>%s</user><password>%s</password><domain></domain>"
            "<port>%d</port><icp-type>none</icp-type><icp-port>0</icp-port>"
            "<proxy-type>%s</proxy-type><protocols>%s</protocols></peer>"
            % (host, user, password, port, proxy_type, protocols))


def tunnel_proxy(peers=(), **config):
    """A daemon on a free port whose general rule lets CONNECT reach every
    port (unless config says otherwise), with the forwarding rules given."""
    general = {"cportrange": "1-65535"}
    general.update(config.pop("general", {}))
    proxy = Proxy(general=general, cache=False, **config)
    with open(proxy.inst.config) as f:
        text = f.read()
    forward = ("<forward>\n        <enabled>true</enabled>\n        <carp>false</carp>\n"
               "        <carp-buckets>0</carp-buckets>\n%s\n    </forward>" % "\n".join(peers))
    text, count = re.subn(r"<forward>.*?</forward>", forward, text, flags=re.S)
    assert count == 1
    with open(proxy.inst.config, "w") as f:
        f.write(text)
    return proxy.start()


class TlsOrigin:
    """openssl s_server -www on a free port with a self-signed certificate
    for 127.0.0.1, made in a temporary directory."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="quill-tls-")
        self.cert = os.path.join(self.dir, "cert.pem")
        key = os.path.join(self.dir, "key.pem")
        subprocess.run([OPENSSL, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                        "-out", self.cert, "-days", "1", "-subj", "/CN=127.0.0.1",
                        "-addext", "subjectAltName=IP:127.0.0.1"],
                       check=True, capture_output=True, timeout=60)
        self.port = free_port()
        self.proc = subprocess.Popen([OPENSSL, "s_server", "-www", "-accept", "127.0.0.1:%d" % self.port,
                                      "-cert", self.cert, "-key", key, "-quiet"],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        if not wait_for(lambda: port_open(self.port), 15):
            self.stop()
            raise RuntimeError("openssl s_server did not start")

    def url(self):
        return "https://127.0.0.1:%d/" % self.port

    def stop(self):
        stop_process(self.proc)
        shutil.rmtree(self.dir, ignore_errors=True)


class EchoAfterEnd:
    """A TCP server that reads everything a connection sends until the
    client half-closes, then sends it all back and closes: both directions
    of a tunnel and the passing of a half-close in one exchange. With
    at_once, every block goes back as it comes (for relays that end a
    connection at the first close, as microsocks does)."""

    def __init__(self, at_once=False):
        self.at_once = at_once
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.received = []
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with conn:
                conn.settimeout(60)
                data = b""
                try:
                    while True:
                        chunk = conn.recv(1 << 16)
                        if not chunk:
                            break
                        data += chunk
                        if self.at_once:
                            conn.sendall(chunk)
                    self.received.append(data)
                    if not self.at_once:
                        conn.sendall(data)
                except OSError:
                    pass

    def stop(self):
        self.sock.close()


def tunnel_exchange(proxy_port, target_port, payload, timeout=60, half_close=True):
    """Opens a tunnel to 127.0.0.1:target_port, sends payload, half-closes
    and reads until the end (without half_close: reads as many bytes as it
    sent). Returns (bytes before the tunnel's data, data that came through
    it)."""
    s = socket.create_connection(("127.0.0.1", proxy_port), timeout=timeout)
    with s:
        s.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n"
                  % (target_port, target_port))
        head = b""
        while len(head) < len(CONFIRM) and (not head or CONFIRM.startswith(head)):
            chunk = s.recv(len(CONFIRM) - len(head))
            if not chunk:
                return head, b""
            head += chunk
        if head != CONFIRM:
            rest, _ = b"", None
            try:
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    rest += chunk
            except OSError:
                pass
            return head + rest, b""
        sender = threading.Thread(target=lambda: (s.sendall(payload),
                                                  half_close and s.shutdown(socket.SHUT_WR)))
        sender.start()
        got = b""
        while half_close or len(got) < len(payload):
            chunk = s.recv(1 << 16)
            if not chunk:
                break
            got += chunk
        sender.join()
        return head, got


def curl_tls(proxy_port, origin, *args):
    r = Curl(proxy_port, origin.url(), "--cacert", origin.cert, *args, timeout=60)
    return r


def connect_records(proxy, port):
    """The access-log records of CONNECTs to 127.0.0.1:port."""
    return [line for line in proxy.access_log().splitlines()
            if " CONNECT " in line and "127.0.0.1:%d" % port in line]


needs_openssl = unittest.skipUnless(OPENSSL and CURL, "needs openssl and curl")
needs_squid = unittest.skipUnless(SQUID and Squid, "needs squid and tests/squidtest.py")


@needs_openssl
class Direct(unittest.TestCase):
    """Tunnels the daemon opens itself, and the checks before them."""

    @classmethod
    def setUpClass(cls):
        cls.origin = TlsOrigin()
        cls.echo = EchoAfterEnd()
        cls.proxy = tunnel_proxy()

    @classmethod
    def tearDownClass(cls):
        cls.proxy.stop()
        cls.echo.stop()
        cls.origin.stop()

    def test_curl_through_a_direct_tunnel(self):
        """curl reaches the TLS origin through the tunnel and verifies its certificate."""
        r = curl_tls(self.proxy.port, self.origin)
        self.addCleanup(r.cleanup)
        self.assertEqual(0, r.code, r.stderr)
        self.assertEqual(200, r.status)
        self.assertIn(b"s_server", r.body())
        self.assertIn("HTTP/1.1 200 Connection Established", r.stderr)
        self.assertTrue(self.proxy.wait_log("CONNECT 127.0.0.1:%d" % self.origin.port))
        self.assertTrue(wait_for(lambda: len(connect_records(self.proxy, self.origin.port)) == 1),
                        self.proxy.access_log())
        record = connect_records(self.proxy, self.origin.port)[0]
        size = int(re.search(r"/200 (\d+) CONNECT", record).group(1))
        self.assertGreater(size, r.size)   # the handshake and the page, both ways

    def test_long_payload_and_half_close_arrive_intact(self):
        """6 MiB go up, the client half-closes, the same 6 MiB come back byte for byte."""
        head, got = tunnel_exchange(self.proxy.port, self.echo.port, PAYLOAD)
        self.assertEqual(CONFIRM, head)
        self.assertEqual(len(PAYLOAD), len(got))
        self.assertTrue(got == PAYLOAD)
        self.assertTrue(wait_for(lambda: connect_records(self.proxy, self.echo.port)))
        records = connect_records(self.proxy, self.echo.port)
        self.assertEqual(1, len(records), records)
        self.assertIn("/200 %d CONNECT" % (2 * len(PAYLOAD)), records[0])

    def test_unreachable_target(self):
        """A tunnel to a closed port: 503, no confirmation."""
        dead = free_port()
        got, _ = raw_exchange(self.proxy.port, b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n" % dead)
        status, headers, _ = split_response(got)
        self.assertEqual(503, status, got[:200])
        self.assertNotIn(b"Connection Established", got)
        self.assertEqual("close", headers.get("connection"))


@needs_openssl
class Checks(unittest.TestCase):
    """The permission and port checks refuse before any server is reached."""

    def setUp(self):
        self.echo = EchoAfterEnd()
        self.addCleanup(self.echo.stop)

    def refused(self, proxy, log):
        got, closed = raw_exchange(proxy.port, b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n" % self.echo.port)
        status, headers, _ = split_response(got)
        self.assertEqual(404, status, got[:200])
        self.assertTrue(closed)
        self.assertNotIn(b"Connection Established", got)
        self.assertTrue(proxy.wait_log(log), proxy.log()[-2000:])
        self.assertEqual([], self.echo.received)

    def test_without_connect_permission(self):
        proxy = tunnel_proxy(permissions="proxy,commands")
        self.addCleanup(proxy.stop)
        self.refused(proxy, "Blocked Security Breach: 127.0.0.1 attempted a CONNECT request")

    def test_port_outside_the_connect_ports(self):
        proxy = tunnel_proxy(general={"cportrange": "443"})
        self.addCleanup(proxy.stop)
        self.refused(proxy, "Breach: general section: denied: method: CONNECT:%d" % self.echo.port)


@needs_openssl
@needs_squid
class ThroughSquid(unittest.TestCase):
    """squid as the upstream: the client's CONNECT passed on, and tunnels
    opened at squid for plain requests."""

    def setUp(self):
        self.origin = TlsOrigin()
        self.addCleanup(self.origin.stop)

    def squid(self, **kw):
        s = Squid(**kw)
        self.addCleanup(s.stop)
        return s

    def proxy(self, *peers, **config):
        p = tunnel_proxy(peers, **config)
        self.addCleanup(p.stop)
        return p

    def test_client_connect_goes_to_squid(self):
        """A rule of type http with the connect bit: squid opens the tunnel, curl gets the page."""
        squid = self.squid()
        proxy = self.proxy(peer_rule("127.0.0.1", squid.port, "http", "http,connect"))
        r = curl_tls(proxy.port, self.origin)
        self.addCleanup(r.cleanup)
        self.assertEqual(0, r.code, r.stderr + proxy.log()[-2000:])
        self.assertIn(b"s_server", r.body())
        self.assertTrue(squid.wait_access("CONNECT 127.0.0.1:%d" % self.origin.port), squid.access_lines())
        self.assertTrue(proxy.wait_log("forwarding to 127.0.0.1:%d" % squid.port))

    def test_plain_request_through_a_tunnel_at_squid(self):
        """A rule of type connect: an http:// request travels through a tunnel opened at squid."""
        if not NGINX:
            self.skipTest("needs nginx")
        nginx = Nginx({"page.txt": PAGE}).start()
        self.addCleanup(nginx.stop)
        squid = self.squid()
        proxy = tunnel_proxy([peer_rule("127.0.0.1", squid.port, "connect", "http")])
        try:
            r = Curl(proxy.port, nginx.url("/page.txt"), timeout=60)
            self.addCleanup(r.cleanup)
            self.assertEqual(0, r.code, r.stderr)
            self.assertEqual(200, r.status, proxy.log()[-2000:])
            self.assertEqual(PAGE, r.body())
            self.assertTrue(proxy.wait_log("forwarding to 127.0.0.1:%d" % squid.port))
        finally:
            # The tunnel went to the server pool; squid logs it when it ends.
            proxy.stop()
        self.assertTrue(squid.wait_access("CONNECT 127.0.0.1:%d" % nginx.port), squid.access_lines())
        self.assertTrue(wait_for(lambda: nginx.requests()))
        self.assertEqual("GET /page.txt HTTP/1.1", nginx.requests()[0][2])

    def test_tunnel_refused_by_squid(self):
        """squid answers 403 to the CONNECT: 503 from the daemon, nothing reaches the origin."""
        if not NGINX:
            self.skipTest("needs nginx")
        nginx = Nginx({"page.txt": PAGE}).start()
        self.addCleanup(nginx.stop)
        squid = self.squid(access=["acl tunnel method CONNECT", "http_access deny tunnel",
                                   "http_access allow localnet", "http_access deny all"])
        proxy = self.proxy(peer_rule("127.0.0.1", squid.port, "connect", "http"))
        r = Curl(proxy.port, nginx.url("/page.txt"), timeout=60)
        self.addCleanup(r.cleanup)
        self.assertEqual(503, r.status)
        self.assertNotEqual(PAGE, r.body())
        self.assertTrue(proxy.wait_log("network: connection to proxy failed"))
        self.assertTrue(squid.wait_access("TCP_DENIED/403"), squid.access_lines())
        self.assertEqual([], nginx.requests())

    def basic_squid(self):
        return self.squid(
            auth=["auth_param basic program %s {dir}/passwd" % BASIC_NCSA,
                  "auth_param basic realm quilltest",
                  "acl authed proxy_auth REQUIRED"],
            access=["http_access allow authed", "http_access deny all"],
            files={"passwd": "tunnel:%s\n" % password_hash("secret")})

    @unittest.skipUnless(os.path.exists(BASIC_NCSA or "/nonexistent"), "needs basic_ncsa_auth")
    def test_squid_asks_for_credentials_the_rule_has(self):
        """squid's 407 to the CONNECT is answered with the rule's credentials; the tunnel opens."""
        squid = self.basic_squid()
        proxy = self.proxy(peer_rule("127.0.0.1", squid.port, "http", "http,connect",
                                     user="tunnel", password="secret"))
        r = curl_tls(proxy.port, self.origin)
        self.addCleanup(r.cleanup)
        self.assertEqual(0, r.code, r.stderr + proxy.log()[-2000:])
        self.assertIn(b"s_server", r.body())
        line = squid.wait_access("CONNECT 127.0.0.1:%d tunnel " % self.origin.port)
        self.assertTrue(line, squid.access_lines())
        self.assertIn("TCP_TUNNEL/200", line)

    @unittest.skipUnless(os.path.exists(BASIC_NCSA or "/nonexistent"), "needs basic_ncsa_auth")
    def test_squid_asks_for_credentials_the_rule_lacks(self):
        """Without credentials: noconnect with 503, never the upstream's challenge."""
        squid = self.basic_squid()
        proxy = self.proxy(peer_rule("127.0.0.1", squid.port, "http", "http,connect"))
        got, closed = raw_exchange(proxy.port, b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n" % self.origin.port)
        status, headers, _ = split_response(got)
        self.assertEqual(503, status, got[:300])
        self.assertTrue(closed)
        self.assertNotIn("proxy-authenticate", headers)
        self.assertNotIn(b"Connection Established", got)
        self.assertTrue(proxy.wait_log("request: failed CONNECT to 127.0.0.1:%d" % self.origin.port))
        self.assertTrue(proxy.wait_access(" CONNECT "))
        self.assertEqual(1, len(connect_records(proxy, self.origin.port)))


    @unittest.skipUnless(os.path.exists(BASIC_NCSA or "/nonexistent"), "needs basic_ncsa_auth")
    def test_tunnel_for_a_plain_request_with_credentials(self):
        """squid's 407 to a tunnel opened for a plain request: answered once with the
        rule's credentials, the request goes through; without them, 503 and the
        origin sees nothing."""
        if not NGINX:
            self.skipTest("needs nginx")
        nginx = Nginx({"page.txt": PAGE}).start()
        self.addCleanup(nginx.stop)
        squid = self.basic_squid()
        without = self.proxy(peer_rule("127.0.0.1", squid.port, "connect", "http"))
        r = Curl(without.port, nginx.url("/page.txt"), timeout=60)
        self.addCleanup(r.cleanup)
        self.assertEqual(503, r.status)
        self.assertNotIn("proxy-authenticate", r.headers())
        self.assertTrue(without.wait_log("network: connection to proxy failed"))
        self.assertEqual([], nginx.requests())

        proxy = tunnel_proxy([peer_rule("127.0.0.1", squid.port, "connect", "http",
                                        user="tunnel", password="secret")])
        try:
            r = Curl(proxy.port, nginx.url("/page.txt"), timeout=60)
            self.addCleanup(r.cleanup)
            self.assertEqual(200, r.status, proxy.log()[-2000:])
            self.assertEqual(PAGE, r.body())
        finally:
            proxy.stop()   # squid logs the tunnel when it ends
        line = squid.wait_access("CONNECT 127.0.0.1:%d tunnel " % nginx.port)
        self.assertTrue(line, squid.access_lines())
        self.assertIn("TCP_TUNNEL/200", line)
        self.assertEqual(1, len(nginx.requests()))

class Danted:
    """danted as a SOCKS 5 server without authentication on a free port."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="quill-danted-")
        os.chmod(self.dir, 0o755)
        self.port = free_port()
        conf = os.path.join(self.dir, "danted.conf")
        with open(conf, "w") as f:
            f.write("logoutput: %s/danted.log\n"
                    "internal: 127.0.0.1 port = %d\n"
                    "external: 127.0.0.1\n"
                    "clientmethod: none\n"
                    "socksmethod: none\n"
                    "user.privileged: root\n"
                    "user.unprivileged: nobody\n"
                    "client pass { from: 127.0.0.1/32 to: 0.0.0.0/0 }\n"
                    "socks pass { from: 127.0.0.1/32 to: 127.0.0.1/32 command: connect }\n"
                    % (self.dir, self.port))
        self.proc = subprocess.Popen([DANTED, "-f", conf, "-p", os.path.join(self.dir, "danted.pid"),
                                      "-N", "1"],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        if not wait_for(lambda: port_open(self.port) or self.proc.poll() is not None, 15) or \
                self.proc.poll() is not None:
            text = self.log()
            self.stop()
            raise RuntimeError("danted did not start: " + text)

    def log(self):
        try:
            with open(os.path.join(self.dir, "danted.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def stop(self):
        stop_process(self.proc)
        shutil.rmtree(self.dir, ignore_errors=True)


class Microsocks:
    """microsocks as a SOCKS 5 server that wants a user name and password."""

    def __init__(self, user, password):
        self.port = free_port()
        self.proc = subprocess.Popen([MICROSOCKS, "-i", "127.0.0.1", "-p", str(self.port),
                                      "-u", user, "-P", password],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        if not wait_for(lambda: port_open(self.port), 15):
            self.stop()
            raise RuntimeError("microsocks did not start")

    def stop(self):
        stop_process(self.proc)


@needs_openssl
class ThroughSocks(unittest.TestCase):
    """A CONNECT whose route is a SOCKS 5 upstream: the daemon negotiates,
    then confirms and relays."""

    def setUp(self):
        self.origin = TlsOrigin()
        self.addCleanup(self.origin.stop)
        self.echo = EchoAfterEnd(at_once=True)
        self.addCleanup(self.echo.stop)

    def check(self, socks_port, user="", password="", kind="socks5", peer_log=lambda: ""):
        proxy = tunnel_proxy([peer_rule("127.0.0.1", socks_port, kind, "http,connect", user, password)])
        self.addCleanup(proxy.stop)
        r = curl_tls(proxy.port, self.origin)
        self.addCleanup(r.cleanup)
        self.assertEqual(0, r.code, r.stderr + proxy.log()[-2000:] + peer_log()[-3000:])
        self.assertIn(b"s_server", r.body())
        head, got = tunnel_exchange(proxy.port, self.echo.port, PAYLOAD[:1 << 20], half_close=False)
        self.assertEqual(CONFIRM, head)
        self.assertTrue(got == PAYLOAD[:1 << 20])
        if NGINX and CURL:
            # A plain request takes the same route to its origin.
            page = b"through socks\n" * 100
            nginx = Nginx({"page.html": page}).start()
            self.addCleanup(nginx.stop)
            plain = Curl(proxy.port, nginx.url("/page.html"))
            self.addCleanup(plain.cleanup)
            self.assertEqual(200, plain.status, plain.stderr + proxy.log()[-2000:])
            self.assertEqual(page, plain.body())
            self.assertTrue(proxy.wait_log("forwarding to 127.0.0.1:%d" % socks_port))
            self.assertEqual(3, proxy.log().count("forwarding to 127.0.0.1:%d" % socks_port))
        return proxy

    @unittest.skipUnless(DANTED, "needs danted")
    def test_danted(self):
        socks = Danted()
        self.addCleanup(socks.stop)
        self.check(socks.port, peer_log=socks.log)

    @unittest.skipUnless(DANTED, "needs danted")
    def test_danted_socks4(self):
        socks = Danted()
        self.addCleanup(socks.stop)
        self.check(socks.port, kind="socks4", peer_log=socks.log)

    @unittest.skipUnless(MICROSOCKS, "needs microsocks")
    def test_microsocks_with_user_and_password(self):
        socks = Microsocks("tunnel", "secret")
        self.addCleanup(socks.stop)
        self.check(socks.port, "tunnel", "secret")

    @unittest.skipUnless(MICROSOCKS, "needs microsocks")
    def test_microsocks_with_a_wrong_password(self):
        """The SOCKS server refuses the login: 503, no confirmation."""
        socks = Microsocks("tunnel", "secret")
        self.addCleanup(socks.stop)
        proxy = tunnel_proxy([peer_rule("127.0.0.1", socks.port, "socks5", "connect", "tunnel", "wrong")])
        self.addCleanup(proxy.stop)
        got, _ = raw_exchange(proxy.port, b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n" % self.echo.port)
        status, _, _ = split_response(got)
        self.assertEqual(503, status, got[:200])
        self.assertNotIn(b"Connection Established", got)
        self.assertTrue(proxy.wait_log("network: connection to socks5 server failed"))
        self.assertEqual([], self.echo.received)


if __name__ == "__main__":
    unittest.main(verbosity=2)
