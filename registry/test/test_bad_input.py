"""Broken clients: each bad connection ends alone and the registry keeps answering."""

import random
import socket

import pytest

from conftest import HEALTH, closed_by_peer, curl

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"


def healthy(registry):
    for version in ("--http1.1", "--http2-prior-knowledge"):
        status, _, body = curl(registry, registry.url + "/health", version=version)
        assert (status, body) == (200, HEALTH)


BAD = {
    "random bytes": random.Random(7).randbytes(4096),
    "random bytes after the preface": PREFACE + random.Random(8).randbytes(4096),
    # A SETTINGS frame whose length is not a multiple of 6: FRAME_SIZE_ERROR.
    "malformed settings frame": PREFACE + b"\x00\x00\x05\x04\x00\x00\x00\x00\x00" + b"\x00" * 5,
    # A HEADERS frame on stream 0: PROTOCOL_ERROR.
    "headers on stream 0": PREFACE + b"\x00\x00\x00\x04\x00\x00\x00\x00\x00" + b"\x00\x00\x01\x01\x05\x00\x00\x00\x00\x82",
    "request line garbage": b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + b"\x00" * 64 + b"\r\n\r\n",
}


@pytest.mark.parametrize("name", sorted(BAD))
def test_bad_bytes_end_only_their_connection(registry, name):
    bystander = socket.create_connection((registry.host, registry.port), timeout=10)
    s = socket.create_connection((registry.host, registry.port), timeout=10)
    try:
        try:
            s.sendall(BAD[name])
        except (BrokenPipeError, ConnectionResetError):
            pass
        assert closed_by_peer(s), "the registry kept a broken connection open"
        healthy(registry)
        # A connection opened before the bad one is untouched.
        bystander.sendall(b"GET /health HTTP/1.1\r\nhost: x\r\n\r\n")
        bystander.settimeout(5)
        assert bystander.recv(4096).startswith(b"HTTP/1.1 200")
    finally:
        s.close()
        bystander.close()
    assert registry.alive()


@pytest.mark.parametrize("partial", [PREFACE[:10], b"GET /health HTTP/1.1\r\nhost:"])
def test_half_sent_connections_do_not_block_others(registry, partial):
    stalled = [socket.create_connection((registry.host, registry.port), timeout=10) for _ in range(8)]
    try:
        for s in stalled:
            s.sendall(partial)
        healthy(registry)
        # The half-sent one completes later and is served.
        if partial.startswith(b"GET"):
            stalled[0].sendall(b" x\r\n\r\n")
            stalled[0].settimeout(5)
            assert stalled[0].recv(4096).startswith(b"HTTP/1.1 200")
    finally:
        for s in stalled:
            s.close()
    healthy(registry)


def test_truncated_preface_then_close(registry):
    for n in (1, 10, 23):
        s = socket.create_connection((registry.host, registry.port), timeout=10)
        s.sendall(PREFACE[:n])
        s.close()
    healthy(registry)


def test_many_connections_closed_abruptly(registry):
    for _ in range(50):
        s = socket.create_connection((registry.host, registry.port), timeout=10)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        s.sendall(b"POST /v1/beat HTTP/1.1\r\nhost: x\r\ncontent-length: 100\r\n\r\n{")
        s.close()  # RST
    healthy(registry)
