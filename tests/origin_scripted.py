"""A scripted origin server for replies no real server sends: it accepts
connections on a free loopback port, reads each request (its head and a
body announced by Content-Length), records it, and answers with the exact
bytes of its script. Used by the end-to-end tests for truncated bodies,
broken chunking, garbage status lines and interim answers."""

import socket
import threading
import time


class ScriptedOrigin:
    """replies: a list of byte strings, one per request in arrival order
    (the last one repeats), or a function of (connection number, request
    bytes) that returns the reply. A reply ending with CLOSE closes the
    connection after it is sent; otherwise the connection waits for another
    request."""

    CLOSE = b"\x00CLOSE"

    def __init__(self, replies, delay=0.0):
        self.replies = replies if callable(replies) else list(replies)
        self.delay = delay          # seconds to wait before each reply
        self.requests = []          # (connection number, request bytes)
        self.connections = 0
        self.lock = threading.Lock()
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.running = True
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def url(self, path="/"):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def _accept(self):
        while self.running:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with self.lock:
                self.connections += 1
                number = self.connections
            threading.Thread(target=self._serve, args=(conn, number), daemon=True).start()

    def _read_request(self, conn, pending):
        while b"\r\n\r\n" not in pending:
            chunk = conn.recv(65536)
            if not chunk:
                return None, b""
            pending += chunk
        head, _, rest = pending.partition(b"\r\n\r\n")
        length = 0
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value.strip())
        while len(rest) < length:
            chunk = conn.recv(65536)
            if not chunk:
                break
            rest += chunk
        return head + b"\r\n\r\n" + rest[:length], rest[length:]

    def _serve(self, conn, number):
        conn.settimeout(30)
        pending = b""
        try:
            while True:
                request, pending = self._read_request(conn, pending)
                if request is None:
                    return
                with self.lock:
                    self.requests.append((number, request))
                    if not callable(self.replies):
                        index = min(len(self.requests), len(self.replies)) - 1
                        reply = self.replies[index]
                if callable(self.replies):
                    reply = self.replies(number, request)
                if self.delay:
                    time.sleep(self.delay)
                close = reply.endswith(self.CLOSE)
                if close:
                    reply = reply[:-len(self.CLOSE)]
                conn.sendall(reply)
                if close:
                    return
        except OSError:
            return
        finally:
            conn.close()

    def stop(self):
        """Stops listening at once: a blocked accept does not keep the port
        open, so a later connection is refused."""
        self.running = False
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
