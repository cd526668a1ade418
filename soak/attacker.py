"""A bounded flood of bad connections against the registry's port: random
bytes, HTTP/2 prefaces cut short or followed by garbage, valid prefaces that
then fall silent, HTTP/1.1 heads that never end, resets. At most MAX_OPEN
connections at a time; every one is closed before the attacker exits.

    attacker.py HOST PORT SECONDS MAX_OPEN SEED

Prints {"opened": N, "refused": M} at the end and exits 0."""

import json
import random
import select
import socket
import struct
import sys
import time

import child

child.die_with_parent()

host, port, seconds, max_open, seed = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4]), int(
    sys.argv[5])
rng = random.Random(seed)
PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"


def frame(kind, flags, stream, payload):
    return struct.pack(">I", len(payload))[1:] + bytes([kind, flags]) + struct.pack(">I", stream) + payload


def opening():
    """The bytes a new connection sends, and whether it then stays silent."""
    pick = rng.randrange(8)
    if pick == 0:
        return rng.randbytes(rng.randint(1, 4096)), False
    if pick == 1:
        return PREFACE[:rng.randint(1, len(PREFACE) - 1)], True
    if pick == 2:
        return PREFACE + rng.randbytes(rng.randint(1, 2048)), False
    if pick == 3:
        # A valid start (preface and empty SETTINGS), then nothing.
        return PREFACE + frame(4, 0, 0, b""), True
    if pick == 4:
        # HEADERS on stream 1 whose block is garbage for the header decoder.
        return PREFACE + frame(4, 0, 0, b"") + frame(1, 4, 1, rng.randbytes(rng.randint(1, 64))), False
    if pick == 5:
        # A beat whose head never ends.
        return b"POST /v1/beat HTTP/1.1\r\nHost: soak\r\nContent-Length: 100000\r\n", True
    if pick == 6:
        # A beat that promises a body and sends half of nothing.
        return b"POST /v1/beat HTTP/1.1\r\nContent-Length: 100000\r\n\r\n{\"pool\":", True
    return b"", False  # connect, then reset


opened = refused = 0
live = []  # (socket, close at)
deadline = time.monotonic() + seconds
while time.monotonic() < deadline:
    now = time.monotonic()
    for s, until in [x for x in live if x[1] <= now]:
        s.close()
        live.remove((s, until))
    if len(live) >= max_open:
        time.sleep(0.01)
        continue
    data, silent = opening()
    s = socket.socket()
    s.setblocking(True)
    s.settimeout(1.0)
    try:
        s.connect((host, port))
        opened += 1
        if not data:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            s.close()
            continue
        s.sendall(data)
    except OSError:
        refused += 1
        s.close()
        continue
    # Read and drop whatever the registry answers, without waiting for it.
    s.setblocking(False)
    live.append((s, now + (rng.uniform(0.2, 2.0) if silent else rng.uniform(0.0, 0.3))))
    readable, _, _ = select.select([x[0] for x in live], [], [], 0)
    for r in readable:
        try:
            r.recv(65536)
        except OSError:
            pass
    time.sleep(rng.uniform(0.0, 0.01))
for s, _ in live:
    s.close()
print(json.dumps({"opened": opened, "refused": refused}), flush=True)
