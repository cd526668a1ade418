"""Helpers for servers started on loopback by the tests, the soak and the
benchmarks: a free port, and a line read from a child's pipe with a deadline."""

import os
import select
import socket
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
