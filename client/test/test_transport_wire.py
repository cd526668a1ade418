"""The beat transport against real peers: a registry run by serve_registry,
servers that misbehave (python3-h2 and a plain HTTP/1.1 server), and
endpoints that cannot work. Each failure leaves its exact message in
last_error(); start() returns False for it."""

import http.server
import json
import socket
import threading
import time

import h2.config
import h2.connection
import h2.errors
import h2.events
import pytest

from murlo_fixtures import Registry, eventually, free_port, module_built, serve_in_threads

pytestmark = pytest.mark.skipif(not module_built(), reason="_murlo is not built")

H2C_ONLY = ("; the connection came up but the exchange did not -- this client speaks h2c only, "
            "so whatever answered has to too")


def client(endpoint, id=1, **kw):
    import _murlo
    return _murlo.Client(endpoint, "p", id, 1, "spread", **kw)


def big_ack(members):
    """A valid answer with one full pool of `members` members, about 160 bytes each."""
    pad = "x" * 120
    changed = ",".join('{"id":%d,"incarnation":1,"state":{"pad":"%s"},"ready":true}' % (i, pad)
                       for i in range(1, members + 1))
    return ('{"epoch":7,"protocol":2,"version":"0.17.0","ttl_ms":10000,"accepted":true,"pools":{"p":'
            '{"version":1,"roster":0,"policy":"spread","methods":[],"size":null,"changed":[%s],"removed":[],'
            '"full":true}}}' % changed).encode()


class H2Server:
    """A python3-h2 server on loopback; `behaviour(reply, stream_id)` answers each request."""

    def __init__(self, behaviour):
        self.behaviour = behaviour
        self.requests = []
        self.listener, self.url = serve_in_threads(self._serve)

    def close(self):
        self.listener.close()

    def _serve(self, sock):
        conn = h2.connection.H2Connection(config=h2.config.H2Configuration(client_side=False))
        conn.initiate_connection()
        pending = {}  # stream id -> body bytes still to send, waiting for window
        lock = threading.Lock()

        def flush():
            sock.sendall(conn.data_to_send())

        def send_body(stream_id, data, end=True):
            pending[stream_id] = [data, end]
            pump()

        def pump():
            for sid in list(pending):
                data, end = pending[sid]
                while data:
                    room = min(conn.local_flow_control_window(sid), conn.max_outbound_frame_size, len(data))
                    if room <= 0:
                        break
                    conn.send_data(sid, data[:room])
                    data = data[room:]
                if data:
                    pending[sid][0] = data
                else:
                    del pending[sid]
                    if end:
                        conn.end_stream(sid)
            flush()

        class Reply:
            def headers(self, sid, status, end=False):
                conn.send_headers(sid, [(":status", str(status)), ("content-type", "application/json")],
                                  end_stream=end)
                flush()

            def body(self, sid, data, end=True):
                send_body(sid, data, end)

            def reset(self, sid):
                conn.reset_stream(sid, error_code=h2.errors.ErrorCodes.INTERNAL_ERROR)
                flush()

            def go_away(self, code):
                # As a server that ends a connection does: GOAWAY, then no more of it.
                conn.close_connection(error_code=code)
                flush()
                sock.shutdown(socket.SHUT_WR)

        reply = Reply()
        try:
            flush()
            while True:
                data = sock.recv(65536)
                if not data:
                    return
                with lock:
                    for event in conn.receive_data(data):
                        if isinstance(event, h2.events.RequestReceived):
                            self.requests.append(dict(event.headers))
                        elif isinstance(event, h2.events.DataReceived):
                            conn.acknowledge_received_data(event.flow_controlled_length, event.stream_id)
                        elif isinstance(event, h2.events.StreamEnded):
                            self.behaviour(reply, event.stream_id)
                        elif isinstance(event, h2.events.WindowUpdated):
                            pump()
                    flush()
        except Exception:
            pass
        finally:
            sock.close()


def answer(status, body=b""):
    def behaviour(reply, sid):
        reply.headers(sid, status, end=not body)
        if body:
            reply.body(sid, body)
    return behaviour


def never(reply, sid):
    pass


def stalled_body(reply, sid):
    reply.headers(sid, 200)
    reply.body(sid, b'{"epoch":', end=False)


def reset_mid_body(reply, sid):
    reply.headers(sid, 200)
    reply.body(sid, b'{"epoch":', end=False)
    reply.reset(sid)


def go_away(code):
    def behaviour(reply, sid):
        reply.go_away(code)
    return behaviour


@pytest.mark.parametrize("behaviour,budget,message", [
    (never, 1500, "no reply within 1500ms"),
    # A registry that ends the connection says so, with its code: no protocol mismatch.
    (go_away(h2.errors.ErrorCodes.ENHANCE_YOUR_CALM), 5000,
     "the registry closed the connection (GOAWAY ENHANCE_YOUR_CALM)"),
    (go_away(h2.errors.ErrorCodes.NO_ERROR), 5000, "the registry closed the connection (GOAWAY NO_ERROR)"),
    (stalled_body, 1500, "reply body stalled past 1500ms"),
    (reset_mid_body, 5000, "reply body broke off: the stream was reset with INTERNAL_ERROR"),
    (answer(400, b'{"error":"x"}'), 5000, "the registry answered HTTP 400"),
    # The client refuses a beat the registry would find too large; a 413 still reads as an answer.
    (answer(413, b"{}"), 5000, "the registry answered HTTP 413"),
    (answer(503), 5000, "the registry answered HTTP 503"),
    (answer(304), 5000, "the registry answered HTTP 304"),
    (answer(204), 5000, "the reply is not a BeatAck: EOF while parsing a value at line 1 column 0"),
    (answer(200), 5000, "the reply is not a BeatAck: EOF while parsing a value at line 1 column 0"),
    (answer(200, b"[]"), 5000, "the reply is not a BeatAck: invalid length 3, expected struct BeatAck with 7 elements at line 1 column 2"),
])
def test_a_misbehaving_server_gives_its_exact_message(behaviour, budget, message):
    server = H2Server(behaviour)
    try:
        c = client(server.url)
        started = time.monotonic()
        assert c.start(budget) is False
        took = time.monotonic() - started
        assert c.last_error() == message
        # The deadline covers head and body alike, and nothing waits past it.
        assert took < budget / 1000 + 2
        if "within" in message or "stalled" in message:
            assert took >= budget / 1000 - 0.05
        # The request as it went out.
        headers = server.requests[0]
        assert headers[b":method"] == b"POST"
        assert headers[b":scheme"] == b"http"
        assert headers[b":authority"] == server.url[len("http://"):].encode()
        assert headers[b":path"] == b"/v1/beat"
        assert headers[b"content-type"] == b"application/json"
        assert set(headers) == {b":method", b":scheme", b":authority", b":path", b"content-type", b"content-length"}
        c.leave()
    finally:
        server.close()


def test_a_reply_of_several_mib_is_read_whole():
    body = big_ack(20_000)
    assert len(body) > 3 * 1024 * 1024
    server = H2Server(answer(200, body))
    try:
        c = client(server.url)
        assert c.start(10_000) is True
        assert c.last_error() == ""
        assert len(json.loads(c.lookup("p"))) == 20_000
        c.leave()
    finally:
        server.close()


class Http11Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        self.send_response(200)
        self.end_headers()

    def log_message(self, *args):
        pass


def test_a_server_speaking_only_http11():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Http11Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        c = client("http://127.0.0.1:%d" % server.server_address[1])
        assert c.start(5000) is False
        assert c.last_error() == "client error (SendRequest)" + H2C_ONLY
    finally:
        server.shutdown()
        server.server_close()


def test_an_endpoint_where_nothing_listens():
    # Endpoints that could never work are refused when the client is built.
    c = client("http://127.0.0.1:%d" % free_port())
    assert c.start(5000) is False
    assert c.last_error() == "cannot reach it: client error (Connect)"
    c.leave()


def test_a_name_that_does_not_resolve_is_a_connect_failure_with_the_resolvers_word():
    # Not a timeout: the resolver's answer comes back at once.
    c = client("http://nosuchhost.invalid:7000")
    started = time.monotonic()
    assert c.start(3000) is False
    assert time.monotonic() - started < 2.5
    assert c.last_error().startswith("cannot reach it: client error (Connect): failed to lookup address information: ")
    assert len(c.last_error()) > len("cannot reach it: client error (Connect): failed to lookup address information: ")
    c.leave()


@pytest.fixture(scope="module")
def registry():
    r = Registry(ttl_ms=2000)
    yield r
    r.stop()


def test_through_a_real_registry(registry):
    c = client(registry.url, id=11)
    assert c.start(5000) is True
    assert c.last_error() == ""
    assert c.registry() == (2, "0.17.0")
    c.leave()


def test_localhost_reaches_a_registry_bound_to_one_family_only():
    r = Registry(listen="127.0.0.1:0", ttl_ms=2000)
    try:
        port = r.address.rsplit(":", 1)[1]
        c = client("http://localhost:" + port, id=14)
        assert c.start(5000) is True
        c.leave()
    finally:
        r.stop()


def test_an_abandoned_request_leaves_the_connection_usable(registry):
    """A held beat cut by a nudge resets its stream; the next beats go out on the same client."""
    watcher = client(registry.url, id=21)
    watcher.watch(["p"])
    assert watcher.start(5000)
    member = client(registry.url, id=22)
    member.watch(["quiet"])
    assert member.start(5000)
    eventually(lambda: member.stats()["interval_ms"] == 500)
    for v in range(5):
        time.sleep(0.1)
        assert member.set_state(json.dumps({"v": v}), True)
        eventually(lambda: any(m["id"] == 22 and m["state"] == {"v": v} for m in json.loads(watcher.lookup("p"))),
                   timeout=3)
    assert member.last_error() == ""
    assert member.stats()["beats_failed"] == 0
    member.leave()
    watcher.leave()


CHILD = """
import sys
sys.path.insert(0, sys.argv[1])
import _murlo
c = _murlo.Client(sys.argv[2], "p", 31, 1, "spread")
assert c.start(5000)
c.abandon()
"""


def test_an_abandoned_client_whose_process_exits_expires_after_its_lease():
    import subprocess
    from murlo_fixtures import MODULE_DIR, PYTHON
    r = Registry(ttl_ms=1000)
    try:
        watcher = client(r.url, id=30)
        watcher.watch(["p"])
        assert watcher.start(5000)
        ids = lambda: {m["id"] for m in json.loads(watcher.lookup("p"))}
        done = subprocess.run([PYTHON, "-c", CHILD, MODULE_DIR, r.url], timeout=20)
        assert done.returncode == 0
        exited = time.monotonic()
        eventually(lambda: 31 in ids(), timeout=5)
        # Nothing told the registry it left: it goes when its lease runs out.
        eventually(lambda: 31 not in ids(), timeout=5)
        gone_after = time.monotonic() - exited
        assert 0.5 < gone_after < 3.0
        watcher.leave()
    finally:
        r.stop()
