"""Forwarding through real upstream proxies: squid as the parent a request
goes through on its way to nginx, squid asking the daemon's ICP server
whether it holds a URL, and the daemon asking squid over ICP before it
sends a request through it. Every test starts its own daemon, squid and
nginx on loopback ports and stops them."""

import os
import re
import socket
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxytest import CURL, NGINX, Curl, Nginx, Proxy, proxy_config  # noqa: E402
from quilltest import Install, free_port, wait_for  # noqa: E402
from squidtest import SQUID, Squid  # noqa: E402

PAGE = b"forwarded page body\n" * 50


def peer(host, port=-1, icp_type="none", icp_port=3130, proxy_type="http",
         protocols="http,ftp", user="", password=""):
    """One <peer> entry of the forward section."""
    return ("<peer><enabled>true</enabled><comment>test</comment><profiles></profiles>"
            "<host>%s</host><user>%s</user><password>%s</password><domain></domain>"
            "<port>%d</port><icp-type>%s</icp-type><icp-port>%d</icp-port>"
            "<proxy-type>%s</proxy-type><protocols>%s</protocols></peer>"
            % (host, user, password, port, icp_type, icp_port, proxy_type, protocols))


class ForwardProxy(Proxy):
    """A daemon with the given peers, its ICP server on icpport (0: none)
    and the object cache on or off. The default log levels hold the ICP and
    forwarding lines the tests look for."""

    def __init__(self, peers, icpport=0, cache=True, carp=False):
        Proxy.__init__(self)
        text = proxy_config(self.port, cache=cache)
        forward = ("<forward><enabled>true</enabled><carp>%s</carp>"
                   "<carp-buckets>0</carp-buckets>%s</forward>"
                   % ("true" if carp else "false", "".join(peers)))
        text, count = re.subn(r"<forward>.*?</forward>", forward, text, flags=re.S)
        assert count == 1
        text, count = re.subn(r"<icpport>[^<]*</icpport>", "<icpport>%d</icpport>" % icpport, text)
        assert count == 1
        self.inst.cleanup()
        self.inst = Install(config=text)


def needs_peers(test):
    return unittest.skipUnless(NGINX and CURL and SQUID, "needs nginx, curl and squid")(test)


@needs_peers
class ForwardThroughSquid(unittest.TestCase):
    """squid as the upstream parent: nginx sees the request come through
    squid, and the daemon logs the peer and the route."""

    def setUp(self):
        self.nginx = Nginx({"page.html": PAGE}).start()
        self.addCleanup(self.nginx.stop)
        self.squid = Squid()
        self.addCleanup(self.squid.stop)

    def test_request_goes_through_parent(self):
        """A request through the daemon reaches nginx via squid: squid's
        access log has it, the daemon's access log names squid's host with
        DEFAULT_PARENT and its log the "forwarding to" line."""
        proxy = ForwardProxy([peer("127.0.0.1", self.squid.port)], cache=False).start()
        self.addCleanup(proxy.stop)
        url = self.nginx.url("/page.html")
        r = Curl(proxy.port, url)
        self.addCleanup(r.cleanup)
        self.assertEqual(200, r.status, r.stderr)
        self.assertEqual(PAGE, r.body())
        line = self.squid.wait_access("/page.html")
        self.assertTrue(line, self.squid.access_lines())
        self.assertIn("GET " + url, line)
        self.assertTrue(proxy.wait_access("DEFAULT_PARENT/127.0.0.1"), proxy.access_log())
        self.assertIn("forwarding to 127.0.0.1:%d" % self.squid.port, proxy.log())

    def test_stop_marker_sends_direct(self):
        """A peer without a host before squid's entry sends every request
        direct: squid never sees it and the daemon logs DIRECT."""
        proxy = ForwardProxy([peer(""), peer("127.0.0.1", self.squid.port)], cache=False).start()
        self.addCleanup(proxy.stop)
        r = Curl(proxy.port, self.nginx.url("/page.html"))
        self.addCleanup(r.cleanup)
        self.assertEqual(200, r.status, r.stderr)
        self.assertTrue(proxy.wait_access("DIRECT/127.0.0.1"), proxy.access_log())
        # squid's only line is the launcher's own port probe.
        self.assertEqual([], [l for l in self.squid.access_lines() if "/page.html" in l])


def _ror(value, bits):
    return ((value >> bits) | (value << (32 - bits))) & 0xFFFFFFFF


def _carp_text(text):
    h = 0
    for b in text.encode():
        h = (h + _ror(h, 13) + (b - 256 if b >= 128 else b)) & 0xFFFFFFFF
    return h


def carp_score(url, member):
    """The CARP 1.0 score of url for an array member, computed here on its
    own so the daemon's choice is checked against the protocol."""
    member_hash = 0
    if member:
        member_hash = _ror((_carp_text(member) * 0x62531966) & 0xFFFFFFFF, 11)
    return _ror(((_carp_text(url) ^ member_hash) * 0x62531966) & 0xFFFFFFFF, 11)


@needs_peers
class CarpWithSquids(unittest.TestCase):
    def test_each_url_goes_to_its_owner(self):
        """Two squid parents and the daemon itself ("localhost", the
        general host name) form a CARP array: every URL goes to the member
        with the highest score, the daemon's own share directly, and the
        URLs spread over all three."""
        nginx = Nginx({"page.html": PAGE}).start()
        self.addCleanup(nginx.stop)
        first = Squid(extra=["strip_query_terms off"])
        self.addCleanup(first.stop)
        second_port = free_port()
        second = Squid(extra=["strip_query_terms off", "http_port 127.0.0.2:%d" % second_port])
        self.addCleanup(second.stop)
        proxy = ForwardProxy([peer("127.0.0.1", first.port), peer("127.0.0.2", second_port)],
                             cache=False, carp=True).start()
        self.addCleanup(proxy.stop)

        count = 24
        for n in range(count):
            r = Curl(proxy.port, nginx.url("/page.html?n=%d" % n))
            self.addCleanup(r.cleanup)
            self.assertEqual(200, r.status, r.stderr)
            self.assertEqual(PAGE, r.body())
        self.assertTrue(proxy.wait_access("page.html?n=%d " % (count - 1)), proxy.access_log())

        routes = {}
        for line in proxy.access_log().splitlines():
            fields = line.split()
            if len(fields) < 10 or "/page.html?n=" not in fields[6]:
                continue
            url, route = fields[6], fields[8]
            members = {"127.0.0.1": carp_score(url, "127.0.0.1"),
                       "127.0.0.2": carp_score(url, "127.0.0.2")}
            owner = max(members, key=members.get)
            want = "DIRECT/" if carp_score(url, "localhost") >= members[owner] else "NONE/" + owner
            self.assertTrue(route.startswith(want), "%s went %s, expected %s" % (url, route, want))
            routes[url] = want
        self.assertEqual(count, len(routes), proxy.access_log())
        self.assertEqual({"DIRECT/", "NONE/127.0.0.1", "NONE/127.0.0.2"}, set(routes.values()))
        # Each squid saw exactly the URLs it owns.
        for squid, host in ((first, "127.0.0.1"), (second, "127.0.0.2")):
            owned = sorted(u for u, r in routes.items() if r == "NONE/" + host)
            self.assertTrue(squid.wait_access(owned[-1].rsplit("/", 1)[-1]), squid.access_lines())
            seen = sorted(l.split()[6] for l in squid.access_lines() if "/page.html?n=" in l)
            self.assertEqual(owned, seen)


def icp_ask(port, url, reqnum=4242, opcode=1, timeout=2.0, host="127.0.0.1"):
    """Sends one ICP message (a query by default) to host:port and returns
    (opcode, request number, URL) of the answer, or None."""
    payload = b"\x7f\x00\x00\x01" + url.encode() + b"\x00"
    message = struct.pack("!BBHIIII", opcode, 2, 20 + len(payload), reqnum, 0, 0, 0) + payload
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(timeout)
        s.sendto(message, (host, port))
        try:
            data, _ = s.recvfrom(70000)
        except socket.timeout:
            return None
    op, _, length, number = struct.unpack("!BBHI", data[:8])
    return op, number, data[20:length].rstrip(b"\x00").decode(errors="replace")


# squid ignores ICP datagrams that come from the address its own ICP socket
# is bound to, whatever their port; on loopback every peer would be that
# address. squid's ICP socket therefore moves to 127.0.0.2.
SQUID_ICP_ELSEWHERE = ["udp_incoming_address 127.0.0.2"]


@needs_peers
class IcpWithSquid(unittest.TestCase):
    """ICP both ways between the daemon and squid."""

    def setUp(self):
        self.nginx = Nginx({"cached.html": PAGE, "fresh.html": PAGE}).start()
        self.addCleanup(self.nginx.stop)

    def test_squid_asks_the_daemon(self):
        """squid, with the daemon as its ICP sibling, asks the daemon's ICP
        port: a URL the daemon has cached is a hit, another a miss; a reply
        sent to the daemon's ICP port is never answered."""
        icp_port = free_port(socket.SOCK_DGRAM)
        proxy = ForwardProxy([], icpport=icp_port).start()
        self.addCleanup(proxy.stop)
        # The ICP server answers on the listening address, not on every one.
        self.assertTrue(proxy.wait_log("network: listening on port 127.0.0.1:%d" % icp_port),
                        proxy.log())
        self.assertNotIn("listening on port *:%d" % icp_port, proxy.log())
        cached = self.nginx.url("/cached.html")
        r = Curl(proxy.port, cached)
        self.addCleanup(r.cleanup)
        self.assertEqual(200, r.status, r.stderr)
        # The object is finished once the daemon's own ICP server says so.
        self.assertTrue(wait_for(lambda: (icp_ask(icp_port, cached) or (0,))[0] == 2),
                        proxy.log())
        self.assertIsNone(icp_ask(icp_port, cached, opcode=3, timeout=0.5))
        self.assertTrue(proxy.wait_log("error: unhandled ICP opcode: ICP_OP_MISS"))
        hits_before = proxy.log().count("hit: %s" % cached)

        squid = Squid(icp=True, cache=True, extra=[
            "cache_peer 127.0.0.1 sibling %d %d no-digest" % (proxy.port, icp_port)] +
            SQUID_ICP_ELSEWHERE + ["pinger_enable off", "minimum_direct_rtt 0",
                                   # squid's own guess of the reply time can be a few
                                   # milliseconds: on a loaded machine it would go
                                   # direct before the answer arrives.
                                   "icp_query_timeout 5000"])
        self.addCleanup(squid.stop)
        r = Curl(squid.port, cached)
        self.addCleanup(r.cleanup)
        self.assertEqual(200, r.status, r.stderr)
        self.assertTrue(wait_for(lambda: proxy.log().count("hit: %s" % cached) > hits_before),
                        proxy.log())
        # squid took the page from the daemon, which served it from its cache.
        self.assertTrue(squid.wait_access("SIBLING_HIT/127.0.0.1"), squid.access_lines())
        fresh = self.nginx.url("/fresh.html")
        r = Curl(squid.port, fresh)
        self.addCleanup(r.cleanup)
        self.assertEqual(200, r.status, r.stderr)
        self.assertTrue(proxy.wait_log("miss: %s" % fresh), proxy.log())
        self.assertTrue(squid.wait_access("/fresh.html"), squid.access_lines())

    def test_daemon_asks_squid(self):
        """The daemon asks squid, its ICP parent, before it forwards: squid
        answers MISS from its ICP port and the request goes through squid
        as the first parent that missed."""
        # The peer's host is both its ICP and its proxy address, so squid
        # also takes proxy requests on 127.0.0.2.
        http_port = free_port()
        squid = Squid(icp=True, extra=SQUID_ICP_ELSEWHERE + ["http_port 127.0.0.2:%d" % http_port])
        self.addCleanup(squid.stop)
        self.assertTrue(wait_for(lambda: icp_ask(squid.icp_port, "http://a.test/", timeout=0.5,
                                                 host="127.0.0.2")), squid.log_text())
        proxy = ForwardProxy([peer("127.0.0.2", http_port, icp_type="parent",
                                   icp_port=squid.icp_port)],
                             cache=False).start()
        self.addCleanup(proxy.stop)
        url = self.nginx.url("/fresh.html")
        r = Curl(proxy.port, url)
        self.addCleanup(r.cleanup)
        self.assertEqual(200, r.status, r.stderr)
        self.assertEqual(PAGE, r.body())
        self.assertIn("response opcode from 127.0.0.2:%d: ICP_OP_MISS" % squid.icp_port,
                      proxy.log())
        self.assertTrue(squid.wait_access("/fresh.html"), squid.access_lines())
        self.assertTrue(proxy.wait_access("FIRST_PARENT_MISS/127.0.0.2"), proxy.access_log())


if __name__ == "__main__":
    unittest.main()
