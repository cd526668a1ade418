"""Helpers for servers started on loopback by the tests, the soak and the
benchmarks: a free port, a line read from a child's pipe with a deadline, a
read from a socket with a deadline, and a listener whose connections are each
served on a thread of their own."""

import os
import select
import socket
import threading
import time


def free_port():
    """A loopback port nothing listens on (it was free a moment ago)."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def read_line(fd, deadline):
    """One line from a pipe, or b"" when it ends or the deadline passes."""
    out = b""
    while not out.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0:
            return b""
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            return b""
        chunk = os.read(fd, 1)
        if not chunk:
            return b""
        out += chunk
    return out


def recv_before(sock, deadline):
    """The next bytes from `sock` (b"" once the peer has closed it); AssertionError once the deadline passes."""
    while True:
        left = deadline - time.monotonic()
        if left < 0:
            raise AssertionError("timed out waiting on the server")
        sock.settimeout(max(0.01, left))
        try:
            return sock.recv(65536)
        except socket.timeout:
            continue


def serve_in_threads(serve):
    """A listener on a free loopback port that hands each connection it accepts
    to `serve(sock)` on a thread of its own, until it is closed; returns the
    listener and its base URL."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)

    def accept():
        while True:
            try:
                sock, _ = listener.accept()
            except OSError:
                return
            threading.Thread(target=serve, args=(sock,), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    return listener, "http://127.0.0.1:%d" % listener.getsockname()[1]
