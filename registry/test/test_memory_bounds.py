"""What one peer can make the registry hold stays bounded, whatever it sends or
leaves unread, and the registry keeps serving everyone else meanwhile.

Peers are python3-h2 connections and raw sockets against a real registry; the
registry's resident size is read from /proc. The bounds are generous: each is
a small fraction of what the same peers cost while nothing bounded them.
"""

import os
import select
import socket
import time

import h2.events
import h2.settings
import hpack
import pytest

from conftest import H2, HEALTH, beat, closed_by_peer, curl, pools, sanitizer
from raw_h2 import (ACK, CONTINUATION, END_HEADERS, END_STREAM, GOAWAY, HEADERS, PREFACE, RST_STREAM,
                    SETTINGS, frame, hpack_string, request_block, split_frames)

MIB = 1024 * 1024


def rss_mib(registry):
    with open("/proc/%d/status" % registry.proc.pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise AssertionError("no VmRSS for the registry")


def cpu_seconds(registry):
    with open("/proc/%d/stat" % registry.proc.pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def serves_others(registry):
    for version in ("--http1.1", "--http2-prior-knowledge"):
        status, _, body = curl(registry, registry.url + "/health", version=version)
        assert (status, body) == (200, HEALTH)


def within(mib):
    """A bound on growth in MiB; ThreadSanitizer keeps shadow state for every
    byte touched, which makes the same program several times as resident."""
    return mib * 5 if sanitizer() == "thread" else mib


@pytest.fixture
def warm_registry(start_registry, monkeypatch):
    """A registry with a long lease, warmed up on both protocols."""
    if sanitizer() == "address":
        # AddressSanitizer's quarantine keeps freed memory resident on purpose.
        options = os.environ.get("ASAN_OPTIONS", "")
        monkeypatch.setenv("ASAN_OPTIONS", (options + ":" if options else "") + "quarantine_size_mb=4")

    def start():
        r = start_registry(ttl_ms=600_000)
        serves_others(r)
        return r

    return start


def grown_by(registry, before):
    return rss_mib(registry) - before


def padded(size, **fields):
    body = beat(**fields)
    assert len(body) <= size
    return body + b" " * (size - len(body))


def h2_client(registry):
    c = H2(registry)
    # Window updates are small writes of their own: do not let them wait on acks.
    c.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return c


def round_trip(c, deadline):
    """Returns once the registry has read all sent so far, and all it sent before that is handled."""
    def acks():
        return sum(isinstance(e, h2.events.PingAckReceived) for e in c.events)
    before = acks()
    c.conn.ping(b"in-order")
    c.flush()
    assert c.pump(deadline, lambda: acks() > before), "no answer to a ping"


def wait_until(predicate, what, timeout=30):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "never happened: " + what
        time.sleep(0.01)


# --- held beats ------------------------------------------------------------


def test_held_beats_keep_only_their_decoded_beat(warm_registry):
    r = warm_registry()
    before = rss_mib(r)
    c = h2_client(r)
    try:
        held = [c.request("POST", "/v1/beat", padded(500 * 1024, pool="held", id=i + 1, watch=["quiet"],
                                                      seen={"quiet": 0}, hold_ms=60_000))
                for i in range(200)]
        wait_until(lambda: pools(r).get("held", {}).get("members") == 200, "all 200 beats applied")
        serves_others(r)
        grown = grown_by(r, before)
        # The bodies alone were 100 MB.
        assert grown < within(40), "200 held beats grew the registry by %.0f MiB" % grown
        round_trip(c, time.monotonic() + 10)
        assert not any(c.closed(sid) for sid in held), "the beats were not held"
    finally:
        c.close()


# --- unread request bodies -------------------------------------------------


def test_unread_http2_bodies_are_held_back_by_flow_control_and_dropped(warm_registry):
    r = warm_registry()
    before = rss_mib(r)
    c = h2_client(r)
    window = 65_535  # the registry's initial stream window
    try:
        # Each route answers without reading: every body is left over. The
        # first bytes go out with the request, before the route has run.
        streams = []
        for _ in range(200):
            sid = c.conn.get_next_available_stream_id()
            c.conn.send_headers(sid, [(":method", "GET"), (":scheme", "http"), (":authority", c.authority),
                                      (":path", "/health")])
            c.conn.send_data(sid, b"x" * 300)
            c.responses[sid] = {"status": None, "headers": {}, "body": b"", "done": False, "reset": None}
            c.flush()
            streams.append(sid)
        sent = dict.fromkeys(streams, 300)

        def can_send():
            return any(c.conn.local_flow_control_window(s) > 0 for s in streams)

        deadline = time.monotonic() + 60
        while can_send():
            for sid in streams:
                n = min(c.conn.local_flow_control_window(sid), c.conn.max_outbound_frame_size)
                if n > 0:
                    c.conn.send_data(sid, b"x" * n)
                    sent[sid] += n
            c.flush()
            assert max(sent.values()) <= window, "the registry asked for a body nobody reads"
            # The connection's window comes back as the bytes arrive.
            c.pump(deadline, lambda: all(c.responses[s]["done"] for s in streams) and
                   (can_send() or c.conn.outbound_flow_control_window > 0))
            assert time.monotonic() < deadline
        # Once everything sent has been read: no stream was given more than its
        # first window, and every one was answered.
        round_trip(c, deadline)
        assert not can_send()
        for sid in streams:
            assert sent[sid] == window
            assert (c.responses[sid]["status"], c.responses[sid]["body"]) == (200, HEALTH)
        serves_others(r)
        grown = grown_by(r, before)
        assert grown < within(20), "200 unread bodies grew the registry by %.0f MiB" % grown

        # 13 MB went through a connection window of 64 kB: the registry gave it
        # back. Ending the streams frees them, and a large body still gets through.
        for sid in streams:
            c.conn.end_stream(sid)
        c.flush()
        sid = c.request("POST", "/v1/beat", padded(300_000, pool="after-unread", id=1))
        assert c.wait(sid)["status"] == 200
    finally:
        c.close()


def test_unread_http1_bodies_are_not_buffered(warm_registry):
    r = warm_registry()
    before = rss_mib(r)
    socks = [socket.create_connection((r.host, r.port), timeout=10) for _ in range(8)]
    try:
        for s in socks:
            s.sendall(b"GET /health HTTP/1.1\r\nhost: x\r\ncontent-length: %d\r\n\r\n" % (64 * MIB))
        # Push body bytes until the registry answers and stops reading (it
        # closes the connection) or 16 MiB went out on every connection.
        chunk = b"x" * 65536
        answers = {s: b"" for s in socks}
        pushed = dict.fromkeys(socks, 0)
        open_ = set(socks)
        deadline = time.monotonic() + 60
        while open_:
            assert time.monotonic() < deadline, "connections neither answered nor closed"
            want_write = [s for s in open_ if pushed[s] < 16 * MIB]
            readable, writable, _ = select.select(list(open_), want_write, [], 1)
            for s in readable:
                try:
                    got = s.recv(65536)
                except ConnectionResetError:
                    got = b""
                answers[s] += got
                if not got:
                    open_.discard(s)
            for s in writable:
                if s not in open_:
                    continue
                try:
                    pushed[s] += s.send(chunk)
                except (BrokenPipeError, ConnectionResetError):
                    open_.discard(s)
            if not want_write and not readable:
                break
        for s in socks:
            assert answers[s].startswith(b"HTTP/1.1 200 OK\r\n"), answers[s][:100]
            assert answers[s].endswith(HEALTH)
        serves_others(r)
        grown = grown_by(r, before)
        assert grown < within(20), "unread HTTP/1.1 bodies grew the registry by %.0f MiB" % grown
    finally:
        for s in socks:
            s.close()


# --- answers nobody reads --------------------------------------------------


def make_big_listing(registry, pools_wanted=1000):
    """Pools with long names, so that one listing is over half a megabyte."""
    c = H2(registry)
    try:
        for start in range(0, pools_wanted, 100):
            sids = [c.request("POST", "/v1/beat", beat(pool="p%04d-" % i + "n" * 500, id=1))
                    for i in range(start, start + 100)]
            for sid in sids:
                assert c.wait(sid)["status"] == 200
    finally:
        c.close()
    status, _, listing = curl(registry, registry.url + "/v1/pools")
    assert status == 200 and len(listing) > 500_000
    return len(listing)


def test_http2_answers_nobody_reads_are_capped_per_connection(warm_registry):
    r = warm_registry()
    size = make_big_listing(r)
    serves_others(r)
    before = rss_mib(r)
    # Windows of zero that are never opened: no answer byte can leave.
    peers = [H2(r) for _ in range(4)]
    try:
        for p in peers:
            p.conn.update_settings({h2.settings.SettingCodes.INITIAL_WINDOW_SIZE: 0})
            p.sids = [p.request("GET", "/v1/pools") for _ in range(200)]
        for p in peers:
            # The registry has read all of it and answered some.
            assert p.pump(time.monotonic() + 10, lambda: any(p.responses[s]["status"] == 200 for s in p.sids))
            round_trip(p, time.monotonic() + 10)
        serves_others(r)
        grown = grown_by(r, before)
        # Unbounded, this is 800 listings of over 500 kB each.
        assert grown < within(64), "answers nobody reads grew the registry by %.0f MiB" % grown

        # Once a peer opens its windows every one of its requests is answered in full.
        p = peers[0]
        p.conn.update_settings({h2.settings.SettingCodes.INITIAL_WINDOW_SIZE: 4 * MIB})
        p.conn.increment_flow_control_window(64 * MIB)
        p.flush()
        assert p.pump(time.monotonic() + 60, lambda: all(p.closed(s) for s in p.sids))
        for sid in p.sids:
            assert p.responses[sid]["status"] == 200 and len(p.responses[sid]["body"]) == size
    finally:
        for p in peers:
            p.close()


def test_http1_pipelined_answers_nobody_reads_are_capped(warm_registry):
    r = warm_registry()
    make_big_listing(r)
    serves_others(r)
    before = rss_mib(r)
    socks = [socket.create_connection((r.host, r.port), timeout=10) for _ in range(4)]
    try:
        request = b"GET /v1/pools HTTP/1.1\r\nhost: x\r\n\r\n"
        for s in socks:
            s.sendall(request * (15_000 // len(request)))
        # Each registry connection has answered at least its first request.
        for s in socks:
            s.settimeout(10)
            assert s.recv(16).startswith(b"HTTP/1.1 200")
        serves_others(r)
        grown = grown_by(r, before)
        assert grown < within(64), "pipelined answers nobody reads grew the registry by %.0f MiB" % grown
    finally:
        for s in socks:
            s.close()


# --- header blocks that decode to far more than was sent -------------------

def bomb_block(size):
    """One 4 kB header put into the dynamic table, then referenced by one byte each until `size` bytes."""
    entry = b"\x40" + hpack_string(b"x-bomb") + hpack_string(b"v" * 4000)
    head = request_block(b"/health") + entry
    return head + b"\xbe" * (size - len(head))


def header_frames(stream, block, flags=END_STREAM):
    pieces = [block[i:i + 16_384] for i in range(0, len(block), 16_384)]
    out = b""
    for i, piece in enumerate(pieces):
        last = END_HEADERS if i == len(pieces) - 1 else 0
        out += frame(HEADERS if i == 0 else CONTINUATION, last | (flags if i == 0 else 0), stream, piece)
    return out


class RawH2:
    """Frames by hand on one connection, for header blocks no client library would send."""

    def __init__(self, registry):
        self.sock = socket.create_connection((registry.host, registry.port), timeout=10)
        self.sock.sendall(PREFACE + frame(SETTINGS, 0, 0))
        self.buf = b""
        self.decoder = hpack.Decoder()
        self.statuses, self.resets = {}, {}
        self.goaway = None  # its error code, once one came

    def read_until(self, done, deadline):
        while not done():
            self.sock.settimeout(max(0.001, deadline - time.monotonic()))
            try:
                data = self.sock.recv(65536)
            except (socket.timeout, ConnectionResetError):
                data = b""
            if not data:
                return done()
            self.buf += data
            frames, self.buf = split_frames(self.buf)
            for kind, flags, stream, payload in frames:
                if kind == SETTINGS and not flags & ACK:
                    try:
                        # Never blocks: behind a bomb the send buffer may be full for good.
                        self.sock.settimeout(0)
                        self.sock.send(frame(SETTINGS, ACK, 0))
                    except (BlockingIOError, BrokenPipeError, ConnectionResetError):
                        pass  # the server is closing; what it sent is still read
                elif kind == HEADERS:
                    self.statuses[stream] = dict(self.decoder.decode(payload))[":status"]
                elif kind == RST_STREAM:
                    self.resets[stream] = int.from_bytes(payload, "big")
                elif kind == GOAWAY:
                    self.goaway = int.from_bytes(payload[4:8], "big")
        return True


ENHANCE_YOUR_CALM = 0xB


def test_a_header_block_that_decodes_past_the_cap_ends_its_connection(warm_registry):
    if sanitizer() == "thread":
        # Under ThreadSanitizer about one connection in ten opened right after a
        # round of bombs is not read for seconds (established, its bytes unread in
        # the kernel), so its GOAWAY does not come within the bounds here.
        pytest.skip("header bombs under ThreadSanitizer: a new connection can go unread for seconds")
    r = warm_registry()
    before, cpu = rss_mib(r), cpu_seconds(r)
    # 20 peers, each sending two blocks of 130 kB on the wire and over 500 MB once
    # decoded: the first ends the connection, the second is never decoded. Each
    # peer sends less than the server drains after its GOAWAY, so no reset can
    # overtake the GOAWAY.
    for _ in range(5):
        peers = [RawH2(r) for _ in range(4)]
        try:
            for p in peers:
                try:
                    p.sock.sendall(b"".join(header_frames(sid, bomb_block(130_000)) for sid in (1, 3)))
                except (BrokenPipeError, ConnectionResetError):
                    pass  # closed on us mid-send: what we want
            for p in peers:
                assert p.read_until(lambda: p.goaway is not None, time.monotonic() + 30), "no GOAWAY"
                assert p.goaway == ENHANCE_YOUR_CALM, "connection not ended with ENHANCE_YOUR_CALM: %r" % p.goaway
                assert not p.statuses, "header blocks past the cap were served"
                assert closed_by_peer(p.sock, timeout=10), "the connection stayed open after its GOAWAY"
        finally:
            for p in peers:
                p.sock.close()
    # The next connection is served.
    serves_others(r)
    fresh = RawH2(r)
    try:
        fresh.sock.sendall(header_frames(1, request_block(b"/health")))
        assert fresh.read_until(lambda: 1 in fresh.statuses, time.monotonic() + 10)
        assert fresh.statuses[1] == "200" and fresh.goaway is None
    finally:
        fresh.sock.close()
    used = cpu_seconds(r) - cpu
    assert used < 3, "the header blocks took %.1f s of CPU" % used
    grown = grown_by(r, before)
    assert grown < within(20), "header bombs grew the registry by %.0f MiB" % grown
