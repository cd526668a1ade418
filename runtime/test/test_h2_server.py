"""The server connection's HTTP/2 side against python3-h2, an independent peer.

Starts the runtime's test server from $MURLO_BUILD and speaks HTTP/2 with
prior knowledge over plain TCP to it.
"""

import json
import os
import socket
import subprocess
import time

import h2.config
import h2.connection
import h2.errors
import h2.events
import h2.settings
import pytest

from loopback import recv_before
from raw_h2 import (CONTINUATION, END_HEADERS, END_STREAM, HEADERS, PREFACE, PRIORITY, SETTINGS, RawConnection,
                    frame, hpack_string, request_block)


def _server_binary():
    build = os.environ.get("MURLO_BUILD") or os.path.join(os.path.dirname(__file__), "..", "..", "build")
    return os.path.join(build, "runtime", "murlo-runtime-test-server")


@pytest.fixture(scope="module")
def server():
    binary = _server_binary()
    if not os.path.exists(binary):
        pytest.fail(f"test server not built: {binary}")
    proc = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    addresses = [proc.stdout.readline().strip() for _ in range(2)]
    yield addresses
    proc.stdin.close()
    # A clean exit: no crash, and no leak report under the sanitizers.
    assert proc.wait(timeout=10) == 0


def _split(address):
    host, port = address.rsplit(":", 1)
    return host.strip("[]"), int(port)


class Client:
    """One HTTP/2 connection, driven by hand."""

    def __init__(self, address):
        host, port = _split(address)
        self.authority = address
        self.sock = socket.create_connection((host, port), timeout=5)
        self.conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
        self.conn.initiate_connection()
        self.flush()
        self.responses = {}  # stream id -> {"headers", "data", "ended", "reset"}
        self.remote_settings = {}
        self.goaway = None
        self.closed = False
        self.ping_acks = 0

    def flush(self):
        data = self.conn.data_to_send()
        if data:
            self.sock.sendall(data)

    def request(self, method, path, body=None, end=True, headers=()):
        sid = self.conn.get_next_available_stream_id()
        headers = [(":method", method), (":path", path), (":scheme", "http"), (":authority", self.authority)] + list(headers)
        self.conn.send_headers(sid, headers, end_stream=end and not body)
        if body:
            self.conn.send_data(sid, body, end_stream=end)
        self.flush()
        self.responses[sid] = {"headers": None, "data": b"", "ended": False, "reset": None}
        return sid

    def reset(self, sid):
        self.conn.reset_stream(sid)
        self.flush()

    def pump(self, until, timeout=5.0):
        """Reads and handles frames until until() holds."""
        deadline = time.monotonic() + timeout
        while not until():
            data = recv_before(self.sock, deadline)
            if not data:
                self.closed = True
                if until():
                    return
                raise AssertionError("connection closed")
            for event in self.conn.receive_data(data):
                self._handle(event)
            self.flush()

    def _handle(self, event):
        if isinstance(event, h2.events.ResponseReceived):
            self.responses[event.stream_id]["headers"] = dict(
                (k.decode(), v.decode()) for k, v in event.headers)
        elif isinstance(event, h2.events.DataReceived):
            self.responses[event.stream_id]["data"] += event.data
            self.conn.acknowledge_received_data(event.flow_controlled_length, event.stream_id)
        elif isinstance(event, h2.events.StreamEnded):
            self.responses[event.stream_id]["ended"] = True
        elif isinstance(event, h2.events.StreamReset):
            if event.stream_id in self.responses:
                self.responses[event.stream_id]["reset"] = event.error_code
        elif isinstance(event, h2.events.RemoteSettingsChanged):
            for key, changed in event.changed_settings.items():
                self.remote_settings[key] = changed.new_value
        elif isinstance(event, h2.events.ConnectionTerminated):
            self.goaway = event
        elif isinstance(event, h2.events.PingAckReceived):
            self.ping_acks += 1

    def round_trip(self):
        """Returns once the server has read everything sent so far (a ping comes back)."""
        acks = self.ping_acks
        self.conn.ping(b"in-order")
        self.flush()
        self.pump(lambda: self.ping_acks > acks)

    def get(self, path, method="GET", body=None):
        sid = self.request(method, path, body)
        self.pump(lambda: self.responses[sid]["ended"] or self.responses[sid]["reset"] is not None)
        return self.responses[sid]

    def close(self):
        self.sock.close()


def stats(address):
    c = Client(address)
    try:
        return json.loads(c.get("/stats")["data"])
    finally:
        c.close()


def wait_for(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("condition never held")
        time.sleep(0.005)


@pytest.mark.parametrize("family", [0, 1], ids=["ipv4", "ipv6"])
def test_settings_and_plain_requests(server, family):
    c = Client(server[family])
    try:
        echo = c.get("/echo?a=1")
        assert c.remote_settings[h2.settings.SettingCodes.MAX_CONCURRENT_STREAMS] == 200
        assert echo["headers"][":status"] == "200"
        assert echo["headers"]["content-type"] == "text/plain"
        assert echo["headers"]["content-length"] == str(len(echo["data"]))
        assert "date" in echo["headers"]
        assert echo["data"] == b"GET /echo?a=1\n"

        posted = c.get("/echo", "POST", b"payload")
        assert posted["data"] == b"POST /echo\npayload"

        head = c.get("/echo", "HEAD")
        assert head["headers"]["content-length"] == str(len(b"HEAD /echo\n"))
        assert head["data"] == b""

        missing = c.get("/nope")
        assert missing["headers"][":status"] == "404"
        assert missing["data"] == b"{}"
    finally:
        c.close()


def test_two_streams_on_one_connection_run_side_by_side(server):
    before = stats(server[0])
    c = Client(server[0])
    try:
        waiting = c.request("GET", "/wait")
        wait_for(lambda: stats(server[0])["waiting"] == before["waiting"] + 1)
        # The held stream does not keep the next one from being answered.
        assert c.get("/echo?beside")["data"] == b"GET /echo?beside\n"
        assert not c.responses[waiting]["ended"]
    finally:
        c.close()
    # Closing the connection cancels the waiting stream's task.
    wait_for(lambda: stats(server[0])["cancelled"] == before["cancelled"] + 1)
    assert stats(server[0])["waiting"] == before["waiting"]


def test_rst_stream_cancels_a_waiting_stream_and_the_connection_goes_on(server):
    before = stats(server[1])
    c = Client(server[1])
    try:
        sid = c.request("GET", "/wait")
        wait_for(lambda: stats(server[1])["waiting"] == before["waiting"] + 1)
        c.reset(sid)
        wait_for(lambda: stats(server[1])["cancelled"] == before["cancelled"] + 1)
        after = stats(server[1])
        assert after["waiting"] == before["waiting"]
        # Nothing was answered on the reset stream; the connection still serves.
        assert c.get("/echo?after")["data"] == b"GET /echo?after\n"
        assert c.responses[sid]["headers"] is None
    finally:
        c.close()


def test_a_body_cut_off_by_a_reset_is_broken(server):
    before = stats(server[0])
    c = Client(server[0])
    try:
        sid = c.request("POST", "/small", b"abc", end=False)
        # Reset only once the service reads: a stream reset before its task
        # starts never reaches the service at all.
        wait_for(lambda: stats(server[0])["reading"] == before["reading"] + 1)
        c.reset(sid)
        wait_for(lambda: stats(server[0])["broken"] == before["broken"] + 1)
        assert c.get("/echo")["data"] == b"GET /echo\n"
    finally:
        c.close()


@pytest.mark.parametrize("size,status,body", [
    (16, "200", b"x" * 16),
    (17, "413", b"too_large"),
    (200_000, "413", b"too_large"),
])
def test_body_limit(server, size, status, body):
    c = Client(server[0])
    try:
        # Sent in pieces the flow-control windows allow.
        sid = c.request("POST", "/small", end=False)
        payload = b"x" * size
        while payload:
            window = min(c.conn.local_flow_control_window(sid), c.conn.max_outbound_frame_size)
            if window == 0:
                c.pump(lambda: c.conn.local_flow_control_window(sid) > 0 or c.responses[sid]["ended"])
                if c.responses[sid]["ended"]:
                    break
                continue
            c.conn.send_data(sid, payload[:window])
            payload = payload[window:]
            c.flush()
        if not c.responses[sid]["ended"] and c.responses[sid]["reset"] is None:
            c.conn.end_stream(sid)
            c.flush()
        c.pump(lambda: c.responses[sid]["ended"])
        assert c.responses[sid]["headers"][":status"] == status
        assert c.responses[sid]["data"] == body
    finally:
        c.close()


def test_a_failing_service_resets_only_its_stream(server):
    c = Client(server[0])
    try:
        failed = c.get("/throw")
        assert failed["reset"] is not None
        assert failed["headers"] is None
        assert c.get("/echo")["data"] == b"GET /echo\n"
    finally:
        c.close()


def test_a_malformed_frame_ends_that_connection_only(server):
    c = Client(server[0])
    try:
        c.get("/echo")
        # A WINDOW_UPDATE of length 3 on the connection: a frame size error.
        c.sock.sendall(b"\x00\x00\x03\x08\x00\x00\x00\x00\x00\x00\x00\x01")
        c.pump(lambda: c.goaway is not None or c.closed)
    finally:
        c.close()
    assert stats(server[0])["waiting"] >= 0
    d = Client(server[0])
    try:
        assert d.get("/echo")["data"] == b"GET /echo\n"
    finally:
        d.close()


def test_many_streams_in_flight_at_once(server):
    c = Client(server[1])
    try:
        ids = [c.request("GET", f"/echo?n={i}") for i in range(150)]
        c.pump(lambda: all(c.responses[i]["ended"] for i in ids))
        for n, sid in enumerate(ids):
            assert c.responses[sid]["data"] == f"GET /echo?n={n}\n".encode()
    finally:
        c.close()


# --- what one peer can make a connection hold


def test_decoded_header_bytes_up_to_the_cap_are_served(server):
    cap = 64 * 1024
    c = Client(server[0])
    try:
        c.pump(lambda: h2.settings.SettingCodes.MAX_HEADER_LIST_SIZE in c.remote_settings)
        assert c.remote_settings[h2.settings.SettingCodes.MAX_HEADER_LIST_SIZE] == cap
        # Counted as HTTP/2 counts a header list: name, value and 32 per field.
        base = [(":method", "GET"), (":path", "/echo"), (":scheme", "http"), (":authority", c.authority)]
        used = sum(len(n) + len(v) + 32 for n, v in base)
        fill = [("x-fill", "v" * (cap - used - len("x-fill") - 32))]
        assert c.get("/echo")["data"] == b"GET /echo\n"
        sid = c.request("GET", "/echo", headers=fill)
        c.pump(lambda: c.responses[sid]["ended"] or c.responses[sid]["reset"] is not None)
        assert c.responses[sid]["data"] == b"GET /echo\n"
        assert c.get("/echo?next")["data"] == b"GET /echo?next\n"
    finally:
        c.close()


def test_one_byte_past_the_cap_ends_the_connection(server):
    cap = 64 * 1024
    c = Client(server[0])
    try:
        base = [(":method", "GET"), (":path", "/echo"), (":scheme", "http"), (":authority", c.authority)]
        used = sum(len(n) + len(v) + 32 for n, v in base)
        fill = [("x-fill", "v" * (cap - used - len("x-fill") - 32 + 1))]
        sid = c.request("GET", "/echo", headers=fill)
        c.pump(lambda: c.closed)
        assert c.goaway is not None and c.goaway.error_code == h2.errors.ErrorCodes.ENHANCE_YOUR_CALM
        assert c.responses[sid]["headers"] is None
    finally:
        c.close()
    d = Client(server[0])
    try:
        assert d.get("/echo?next")["data"] == b"GET /echo?next\n"
    finally:
        d.close()


# --- raw frames, for what python3-h2 will not send

TRAILERS = b"\x00" + hpack_string(b"x-trailer") + hpack_string(b"1")


class Frames(RawConnection):
    """One HTTP/2 connection spoken in raw frames."""

    def __init__(self, address):
        host, port = _split(address)
        super().__init__(socket.create_connection((host, port), timeout=5))
        self.send(PREFACE + frame(SETTINGS, 0, 0))

    def request(self, stream, path, end=True):
        self.send(frame(HEADERS, END_HEADERS | (END_STREAM if end else 0), stream, request_block(path)))

    def answered(self, stream):
        return stream in self.ended


def test_a_header_bomb_ends_its_connection_before_the_rest_is_decoded(server):
    p = Frames(server[0])
    try:
        # One 4 kB header put into the header table, then named again by one
        # byte each: 20 of them pass the cap. An index of 0 right after would
        # be a compression error, had the block been decoded on.
        entry = b"\x40" + hpack_string(b"x-bomb") + hpack_string(b"v" * 4000)
        block = request_block(b"/echo") + entry + b"\xbe" * 20 + b"\x80"
        # The block goes on in CONTINUATION frames: the server drops them unread.
        more = b"".join(frame(CONTINUATION, 0, 1, b"\xbe" * 16_384) for _ in range(30))
        p.send(frame(HEADERS, END_STREAM, 1, block) + more)
        p.read_until(lambda: p.closed)
        assert p.goaway == h2.errors.ErrorCodes.ENHANCE_YOUR_CALM
        assert not p.status
    finally:
        p.close()
    c = Client(server[0])
    try:
        assert c.get("/echo?next")["data"] == b"GET /echo?next\n"
    finally:
        c.close()


def _lower_new_stream(p):
    p.request(5, b"/echo")
    p.read_until(lambda: p.answered(5))
    p.request(3, b"/echo")


def _trailers_on_an_open_lower_stream(p):
    p.request(1, b"/echo", end=False)
    p.request(3, b"/echo")
    p.read_until(lambda: p.answered(3))
    p.send(frame(HEADERS, END_HEADERS | END_STREAM, 1, TRAILERS))
    p.read_until(lambda: p.answered(1))


def _priority_on_a_lower_id(p):
    p.request(5, b"/echo")
    p.read_until(lambda: p.answered(5))
    p.send(frame(PRIORITY, 0, 3, b"\x00\x00\x00\x00\x10"))


def _trailers_on_a_stream_the_server_reset(p):
    # The peer may have sent its trailers before it saw the reset.
    p.request(1, b"/throw", end=False)
    p.read_until(lambda: 1 in p.resets)
    p.send(frame(HEADERS, END_HEADERS | END_STREAM, 1, TRAILERS))


@pytest.mark.parametrize("steps,error", [
    pytest.param(_lower_new_stream, h2.errors.ErrorCodes.PROTOCOL_ERROR, id="a new stream below: connection error"),
    pytest.param(_trailers_on_an_open_lower_stream, None, id="trailers of an open stream"),
    pytest.param(_priority_on_a_lower_id, None, id="PRIORITY"),
    pytest.param(_trailers_on_a_stream_the_server_reset, None, id="trailers after the server's reset"),
])
def test_headers_below_the_highest_stream_id(server, steps, error):
    p = Frames(server[0])
    try:
        steps(p)
        if error is not None:
            p.read_until(lambda: p.closed)
            assert p.goaway == error
            return
        # The connection goes on: a new stream is served.
        p.request(7, b"/echo?after")
        p.read_until(lambda: p.answered(7))
        assert p.body[7] == b"GET /echo?after\n" and p.goaway is None
    finally:
        p.close()


def test_a_body_nobody_reads_holds_back_only_its_own_stream(server):
    before = stats(server[0])
    c = Client(server[0])
    try:
        waiting = c.request("POST", "/wait", end=False)
        wait_for(lambda: stats(server[0])["waiting"] == before["waiting"] + 1)
        # The peer may fill that stream's window, and the connection's window
        # comes back, but the stream's does not while nobody reads.
        sent = 0
        while c.conn.local_flow_control_window(waiting) > 0:
            n = min(c.conn.local_flow_control_window(waiting), c.conn.max_outbound_frame_size)
            c.conn.send_data(waiting, b"w" * n)
            sent += n
            assert sent <= 65535, "the server asked for a body nobody reads"
            c.flush()
            c.pump(lambda: c.conn.outbound_flow_control_window > 0)
        assert sent == 65535
        # Other streams' bodies still get through, both ways.
        big = b"e" * 300_000
        echo = c.request("POST", "/echo", end=False)
        view = memoryview(big)
        while view:
            n = min(c.conn.local_flow_control_window(echo), c.conn.max_outbound_frame_size, len(view))
            if n == 0:
                c.pump(lambda: c.conn.local_flow_control_window(echo) > 0)
                continue
            c.conn.send_data(echo, bytes(view[:n]))
            view = view[n:]
            c.flush()
        c.conn.end_stream(echo)
        c.flush()
        c.pump(lambda: c.responses[echo]["ended"])
        assert c.responses[echo]["data"] == b"POST /echo\n" + big
        assert c.conn.local_flow_control_window(waiting) == 0
        c.reset(waiting)
        wait_for(lambda: stats(server[0])["cancelled"] == before["cancelled"] + 1)
    finally:
        c.close()


def test_answers_the_peer_does_not_take_hold_back_its_next_requests(server):
    c = Client(server[1])
    try:
        # Windows of zero: no answer byte can leave until they open.
        c.conn.update_settings({h2.settings.SettingCodes.INITIAL_WINDOW_SIZE: 0})
        ids = [c.request("GET", "/big") for _ in range(8)]
        c.pump(lambda: any(c.responses[i]["headers"] for i in ids))
        c.round_trip()
        c.round_trip()
        held = [i for i in ids if c.responses[i]["headers"] is None]
        assert held, "all 8 MiB of answers were made for a peer that takes none"
        # Other connections are served meanwhile.
        other = Client(server[1])
        try:
            assert other.get("/echo?other")["data"] == b"GET /echo?other\n"
        finally:
            other.close()
        # A held-back request the peer gives up on is dropped.
        c.reset(held[0])
        # Once the peer takes its answers, the rest are made and sent in full.
        c.conn.update_settings({h2.settings.SettingCodes.INITIAL_WINDOW_SIZE: 16 * 1024 * 1024})
        c.conn.increment_flow_control_window(64 * 1024 * 1024)
        c.flush()
        c.pump(lambda: all(c.responses[i]["ended"] for i in ids if i != held[0]), timeout=30)
        for i in ids:
            if i != held[0]:
                assert c.responses[i]["headers"][":status"] == "200"
                assert c.responses[i]["data"] == b"b" * (1024 * 1024)
        assert c.responses[held[0]]["headers"] is None
    finally:
        c.close()
