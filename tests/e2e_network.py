"""The daemon's network edge seen from outside: it listens where the
configuration says, accepts a client and (with no request pipeline yet)
closes it after its request, and SIGHUP closes the listener while the
process keeps running."""

import os
import signal
import socket
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxytest import proxy_config  # noqa: E402
from quilltest import Install, free_port, wait_for  # noqa: E402


def refused(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=2).close()
        return False
    except ConnectionRefusedError:
        return True


class Listener(unittest.TestCase):
    def setUp(self):
        self.port = free_port()
        self.inst = Install(config=proxy_config(self.port))

    def tearDown(self):
        self.inst.cleanup()

    def test_accept_close_and_hup(self):
        """A client is accepted, answered and closed; SIGHUP closes the listener, the daemon runs on."""
        p = self.inst.start_foreground()
        self.assertTrue(self.inst.wait_log("listening on 127.0.0.1:%d" % self.port),
                        self.inst.log_text())
        self.assertIn("network: Memory allocation: per socket R/W: ", self.inst.log_text())

        # A request to a closed port is answered (the server cannot be
        # reached) and, being HTTP/1.0, the connection is then closed.
        with socket.create_connection(("127.0.0.1", self.port), timeout=10) as c:
            c.sendall(b"GET http://127.0.0.1:1/ HTTP/1.0\r\n\r\n")
            c.settimeout(10)
            data = b""
            while True:
                try:
                    block = c.recv(65536)
                except ConnectionResetError:
                    break
                if not block:
                    break
                data += block
            self.assertTrue(data.startswith(b"HTTP/1."), data[:200])
        self.assertTrue(self.inst.wait_log("127.0.0.1 disconnected after making 1 requests"),
                        self.inst.log_text())

        p.send_signal(signal.SIGHUP)
        self.assertTrue(self.inst.wait_log("Recieved HUP Signal for cleaning cache and closing all FDs"))
        self.assertTrue(wait_for(lambda: refused(self.port)), "listener still open after SIGHUP")
        self.assertIsNone(p.poll())

        p.send_signal(signal.SIGTERM)
        self.assertEqual(0, p.wait(10))

    def test_busy_port_fails_the_start(self):
        """A port already taken is logged and the start fails with the reason."""
        with socket.socket() as holder:
            holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            holder.bind(("127.0.0.1", self.port))
            holder.listen(1)
            p = self.inst.start_foreground()
            self.assertEqual(1, p.wait(20))
            self.assertIn("cannot listen on 127.0.0.1:%d: Address already in use" % self.port,
                          p.stderr.read())
            p.stdout.close()
            p.stderr.close()
            self.assertIn("error: failed to bind to 127.0.0.1:%d" % self.port, self.inst.log_text())


if __name__ == "__main__":
    unittest.main()
