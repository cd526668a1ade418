"""Stream resets on one HTTP/2 connection: a member that cuts its held beats
(and beats again) keeps its connection however often it cuts, while a client
that only opens streams and resets them is sent away after about a thousand.
Spoken in raw frames, so the resets go out exactly where the test puts them."""

import socket

import h2.errors
import pytest

from conftest import HEALTH, beat
from raw_h2 import (DATA, END_HEADERS, END_STREAM, HEADERS, PING, PREFACE, RST_STREAM, SETTINGS, RawConnection, frame,
                    hpack_string, request_block)

WINDOW_UPDATE = 8
CANCEL = (8).to_bytes(4, "big")
# :method POST, :scheme http (static table), :path and :authority as literals not indexed.
POST_BEAT = b"\x83\x86" + b"\x04" + hpack_string(b"/v1/beat") + b"\x01" + hpack_string(b"x")
# Parked: the watched pool stays at version 0, which the beat has seen.
HELD = beat(pool="p", id=7, watch=["quiet"], seen={"quiet": 0}, hold_ms=5_000)
UNHELD = beat(pool="p", id=7, watch=["quiet"], seen={"quiet": 0}, hold_ms=0)
# Past nghttp2's own guard (1,000 resets, then 33 a second) within any time a run takes here.
CUTS = 5_000


class Peer(RawConnection):
    """One HTTP/2 connection; the server's frames are read as they come."""

    def __init__(self, registry):
        super().__init__(socket.create_connection((registry.host, registry.port), timeout=10))
        # Small writes back to back go out at once, not after a delayed acknowledgement.
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # The whole connection window at once, for the answers of thousands of streams.
        grow = (2**31 - 1 - 65_535).to_bytes(4, "big")
        self.send(PREFACE + frame(SETTINGS, 0, 0) + frame(WINDOW_UPDATE, 0, 0, grow))
        self.next_id = 1

    def stream(self):
        sid, self.next_id = self.next_id, self.next_id + 2
        return sid

    @staticmethod
    def get(sid, path):
        return frame(HEADERS, END_HEADERS | END_STREAM, sid, request_block(path))

    @staticmethod
    def post(sid, body):
        return frame(HEADERS, END_HEADERS, sid, POST_BEAT) + frame(DATA, END_STREAM, sid, body)

    @staticmethod
    def cut(sid):
        return frame(RST_STREAM, 0, sid, CANCEL)

    def answered(self, sid):
        return self.read_until(lambda: sid in self.ended or self.goaway is not None) and sid in self.ended

    def expect_answer(self, sid):
        assert self.answered(sid), "the connection ended at stream %d: GOAWAY %r" % (sid, self.goaway)
        assert self.status[sid] == "200"

    def round_trip(self):
        """Returns once the registry has taken in everything sent so far (a PING comes back)."""
        acks = self.ping_acks
        self.sock.sendall(frame(PING, 0, 0, b"in-order"))
        assert self.read_until(lambda: self.ping_acks > acks or self.goaway is not None), "the connection closed"
        assert self.goaway is None, "the connection ended: GOAWAY %r" % (self.goaway,)



def _held_beat_parked_then_cut(p):
    # As a member beats: the held beat, then on a change the unheld one, and
    # the held beat before it cut (parked by now: the beat after it was answered).
    last = None
    for _ in range(CUTS):
        held, unheld = p.stream(), p.stream()
        p.sock.sendall((p.cut(last) if last else b"") + p.post(held, HELD) + p.post(unheld, UNHELD))
        p.expect_answer(unheld)
        last = held


def _held_beat_cut_before_it_starts(p):
    for _ in range(CUTS):
        held, unheld = p.stream(), p.stream()
        p.sock.sendall(p.post(held, HELD) + p.cut(held) + p.post(unheld, UNHELD))
        p.expect_answer(unheld)


def _cut_after_its_answer(p):
    # The cut crossed the answer on the wire: it reaches a stream already closed.
    last = None
    for _ in range(CUTS):
        unheld = p.stream()
        p.sock.sendall((p.cut(last) if last else b"") + p.post(unheld, UNHELD))
        p.expect_answer(unheld)
        last = unheld


def _parked_beats_cut_with_nothing_answered(p):
    # A client giving up its long polls: cutting a parked beat costs the
    # registry what answering it would have.
    batch = 100
    for _ in range(CUTS // batch):
        held = [p.stream() for _ in range(batch)]
        p.sock.sendall(b"".join(p.post(sid, HELD) for sid in held))
        p.round_trip()  # all of them parked
        p.sock.sendall(b"".join(p.cut(sid) for sid in held))


@pytest.mark.parametrize("member", [_held_beat_parked_then_cut, _held_beat_cut_before_it_starts, _cut_after_its_answer,
                                    _parked_beats_cut_with_nothing_answered],
                         ids=["parked", "before it starts", "after its answer", "parked, nothing answered"])
def test_a_member_cutting_its_beats_keeps_its_connection(registry, member):
    p = Peer(registry)
    try:
        member(p)
        sid = p.stream()
        p.sock.sendall(p.get(sid, b"/health"))
        p.expect_answer(sid)
        assert p.body[sid] == HEALTH
        assert p.goaway is None
    finally:
        p.close()


def test_a_flood_of_streams_opened_and_reset_is_sent_away(registry):
    flood = 3_000
    p = Peer(registry)
    try:
        ids = [p.stream() for _ in range(flood)]
        try:
            p.sock.sendall(b"".join(p.get(sid, b"/v1/pools") + p.cut(sid) for sid in ids))
        except (BrokenPipeError, ConnectionResetError):
            pass
        p.read_until(lambda: p.closed)
        assert p.goaway is not None, "the flood was let through"
        last, code = p.goaway_last, p.goaway
        assert code == h2.errors.ErrorCodes.ENHANCE_YOUR_CALM
        # The first thousand resets are let through, and the flood stops well before its end.
        assert ids[1_000] <= last < ids[-1]
    finally:
        p.close()
    again = Peer(registry)
    try:
        sid = again.stream()
        again.sock.sendall(again.get(sid, b"/health"))
        again.expect_answer(sid)
        assert again.body[sid] == HEALTH
    finally:
        again.close()
