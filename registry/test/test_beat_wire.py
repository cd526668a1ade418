"""The beat route and its hold over real connections: python3-h2 for HTTP/2,
raw sockets for HTTP/1.1."""

import json
import socket
import time

import pytest

from conftest import H2, HEALTH, beat, curl, pools

LIMIT = 524_288


def padded(size, **fields):
    """A valid beat padded with trailing white space to exactly `size` bytes."""
    body = beat(**fields)
    assert len(body) <= size
    return body + b" " * (size - len(body))


def join(registry, pool, id, **more):
    status, _, body = curl(registry, registry.url + "/v1/beat", data=beat(pool=pool, id=id, **more))
    assert status == 200
    return json.loads(body)


def version_of(registry, pool):
    return pools(registry).get(pool, {}).get("version")


# --- HTTP/2 -----------------------------------------------------------------


def test_bodies_at_and_over_the_limit(registry):
    c = H2(registry)
    try:
        at = c.request("POST", "/v1/beat", padded(LIMIT, pool="limit", id=1))
        r = c.wait(at)
        assert r["status"] == 200 and json.loads(r["body"])["accepted"] is True
        assert r["headers"]["content-type"] == ["application/json"]

        over = c.request("POST", "/v1/beat", padded(LIMIT + 1, pool="limit-over", id=2))
        r = c.wait(over)
        if r["status"] is not None:  # the server may also reset the rest of the upload
            assert (r["status"], r["body"]) == (413, b"{}")
            assert r["headers"]["content-type"] == ["application/json"]
        assert "limit-over" not in pools(registry)

        # The connection still serves.
        ok = c.wait(c.request("GET", "/health"))
        assert (ok["status"], ok["body"]) == (200, HEALTH)
    finally:
        c.close()


@pytest.mark.parametrize("declared", ["10", "600000", "0"])
def test_declared_length_that_lies(registry, declared):
    # The answer never trusts the header: a beat whose length header lies is
    # not applied as a well-formed one would be, and nothing else suffers.
    c = H2(registry)
    pool = "lie-" + declared
    try:
        sid = c.request("POST", "/v1/beat", beat(pool=pool, id=3), headers=[("content-length", declared)])
        r = c.wait(sid)
        if r["status"] is not None:
            assert r["status"] in (200, 413)
            assert r["headers"]["content-type"] == ["application/json"]
        ok = c.wait(c.request("GET", "/health"))
        assert ok["status"] == 200
    finally:
        c.close()
    # A body over the limit is refused whatever length it declared.
    c = H2(registry)
    try:
        sid = c.request("POST", "/v1/beat", padded(LIMIT + 1, pool=pool + "-big", id=4),
                        headers=[("content-length", declared)])
        r = c.wait(sid)
        assert r["status"] in (None, 413)
        assert pool + "-big" not in pools(registry)
    finally:
        c.close()


def test_body_cut_off_by_a_reset(registry):
    c = H2(registry)
    try:
        sid = c.request("POST", "/v1/beat", beat(pool="cut", id=1)[:20], end=False)
        time.sleep(0)  # no wait needed: the reset follows the partial body
        c.reset(sid)
        other = c.wait(c.request("POST", "/v1/beat", beat(pool="after-cut", id=2)))
        assert other["status"] == 200
        assert c.responses[sid]["status"] is None
    finally:
        c.close()
    assert "cut" not in pools(registry)
    assert pools(registry)["after-cut"]["members"] == 1


def test_two_held_beats_side_by_side_on_one_connection(registry):
    hold = 300  # ids below 8 keep the spread under 38 ms
    c = H2(registry)
    try:
        start = time.monotonic()
        a = c.request("POST", "/v1/beat", beat(pool="side", id=1, watch=["side-w"], seen={"side-w": 0}, hold_ms=hold))
        b = c.request("POST", "/v1/beat", beat(pool="side", id=2, watch=["side-w"], seen={"side-w": 0}, hold_ms=hold))
        ra, rb = c.wait(a), c.wait(b)
        took = time.monotonic() - start
    finally:
        c.close()
    for r in (ra, rb):
        ack = json.loads(r["body"])
        assert r["status"] == 200 and ack["accepted"] and ack["pools"] == {}
    assert hold / 1000 - 0.005 <= took < 2 * hold / 1000, "held one after the other"


def test_reset_during_a_hold_keeps_the_beat(registry):
    c = H2(registry)
    try:
        sid = c.request("POST", "/v1/beat", beat(pool="reset", id=9, watch=["reset-w"], seen={"reset-w": 0},
                                                 hold_ms=4000, state={"v": 1}))
        # Wait until the beat is applied (the hold then parks on reset-w).
        deadline = time.monotonic() + 5
        while "reset-w" not in pools(registry):
            assert time.monotonic() < deadline
            time.sleep(0.005)
        c.reset(sid)
        ok = c.wait(c.request("GET", "/health"))
        assert ok["status"] == 200
        assert c.responses[sid]["status"] is None
    finally:
        c.close()
    assert pools(registry)["reset"]["members"] == 1
    # A change to the pool it watched wakes nobody and breaks nothing.
    join(registry, "reset-w", 1)
    assert version_of(registry, "reset-w") == 1


def test_unchanged_hold_lasts_hold_plus_spread(start_registry):
    r = start_registry(ttl_ms=1000)
    # hold = min(1000 / 2, 900) = 500; spread = 1000 mod 63 = 55
    c = H2(r)
    try:
        start = time.monotonic()
        sid = c.request("POST", "/v1/beat", beat(pool="home", id=1000, watch=["q"], seen={"q": 0}, hold_ms=900))
        resp = c.wait(sid)
        took = time.monotonic() - start
    finally:
        c.close()
    ack = json.loads(resp["body"])
    assert ack["accepted"] is True and ack["pools"] == {}
    assert 0.555 - 0.005 <= took < 0.555 + 0.3


def test_change_to_a_watched_pool_answers_at_once(registry):
    join(registry, "watched", 1)
    c = H2(registry)
    try:
        start = time.monotonic()
        sid = c.request("POST", "/v1/beat", beat(pool="watcher", id=2, watch=["watched"], seen={"watched": 1},
                                                 hold_ms=4000))
        assert not c.pump(time.monotonic() + 0.1, lambda: c.closed(sid)), "answered without a change"
        changed = time.monotonic()
        join(registry, "watched", 3, state={"n": 1})
        resp = c.wait(sid, timeout=3)
        woke = time.monotonic() - changed
    finally:
        c.close()
    ack = json.loads(resp["body"])
    assert ack["pools"]["watched"]["version"] == 2
    assert [m["id"] for m in ack["pools"]["watched"]["changed"]] == [3]
    assert ack["pools"]["watched"]["full"] is False
    assert woke < 0.2, "took %.3f s after the change" % woke


def test_watching_a_missing_pool_answers_a_full_empty_delta_at_once(registry):
    start = time.monotonic()
    status, _, body = curl(registry, registry.url + "/v1/beat",
                           data=beat(pool="m", id=1, watch=["nobody-here"], hold_ms=4000))
    assert time.monotonic() - start < 1.0
    delta = json.loads(body)["pools"]["nobody-here"]
    assert delta["full"] is True and delta["version"] == 0 and delta["changed"] == [] and delta["removed"] == []


def test_hold_is_capped_at_half_the_lease(start_registry):
    r = start_registry(ttl_ms=200)
    start = time.monotonic()
    status, _, body = curl(r, r.url + "/v1/beat",
                           data=beat(pool="cap", id=1, watch=["cap-w"], seen={"cap-w": 0}, hold_ms=60_000))
    took = time.monotonic() - start
    assert status == 200 and json.loads(body)["pools"] == {}
    # hold 100, spread 1 mod 13 = 1
    assert 0.1 <= took < 0.1 + 0.4


# --- HTTP/1.1 ---------------------------------------------------------------


def http1(registry):
    return socket.create_connection((registry.host, registry.port), timeout=10)


def read_responses(sock, count, deadline):
    """Reads `count` HTTP/1.1 responses with content-length; returns (status, headers, body, time) each."""
    buf = b""
    out = []
    while len(out) < count:
        head_end = buf.find(b"\r\n\r\n")
        if head_end >= 0:
            lines = buf[:head_end].decode().split("\r\n")
            headers = {k.strip().lower(): v.strip() for k, _, v in (l.partition(":") for l in lines[1:])}
            length = int(headers.get("content-length", "0"))
            if len(buf) >= head_end + 4 + length:
                body = buf[head_end + 4: head_end + 4 + length]
                out.append((lines[0], headers, body, time.monotonic()))
                buf = buf[head_end + 4 + length:]
                continue
        sock.settimeout(max(0.001, deadline - time.monotonic()))
        chunk = sock.recv(65536)
        if not chunk:
            break
        buf += chunk
    return out


def post(path, body, extra=b""):
    return (b"POST " + path + b" HTTP/1.1\r\nhost: x\r\ncontent-length: " + str(len(body)).encode() + b"\r\n"
            + extra + b"\r\n" + body)


def test_two_held_beats_on_one_http1_connection_answer_in_order(registry):
    hold = 200
    s = http1(registry)
    try:
        start = time.monotonic()
        s.sendall(post(b"/v1/beat", beat(pool="h1", id=1, watch=["h1-w"], seen={"h1-w": 0}, hold_ms=hold))
                  + post(b"/v1/beat", beat(pool="h1", id=2, watch=["h1-w"], seen={"h1-w": 0}, hold_ms=hold)))
        got = read_responses(s, 2, time.monotonic() + 5)
    finally:
        s.close()
    assert len(got) == 2
    for line, headers, body, _ in got:
        assert line.startswith("HTTP/1.1 200")
        assert headers["content-type"] == "application/json"
    assert got[0][3] - start >= hold / 1000 - 0.005
    assert got[1][3] - start >= 2 * hold / 1000 - 0.010, "the second beat was held beside the first"


def test_upgrade_request_is_served_as_http1(registry):
    s = http1(registry)
    try:
        s.sendall(b"GET /health HTTP/1.1\r\nhost: x\r\nconnection: Upgrade, HTTP2-Settings\r\nupgrade: h2c\r\n"
                  b"http2-settings: AAMAAABkAARAAAAAAAIAAAAA\r\n\r\n"
                  b"GET /v1/pools HTTP/1.1\r\nhost: x\r\n\r\n")
        got = read_responses(s, 2, time.monotonic() + 5)
    finally:
        s.close()
    assert [g[0].split()[:2] for g in got] == [["HTTP/1.1", "200"], ["HTTP/1.1", "200"]]
    assert got[0][2] == HEALTH


def test_chunked_body_over_the_limit(registry):
    s = http1(registry)
    try:
        body = padded(LIMIT + 1, pool="chunked-over", id=1)
        chunks = b"".join(b"%x\r\n" % len(body[i:i + 65536]) + body[i:i + 65536] + b"\r\n"
                          for i in range(0, len(body), 65536))
        try:
            s.sendall(b"POST /v1/beat HTTP/1.1\r\nhost: x\r\ntransfer-encoding: chunked\r\n\r\n" + chunks + b"0\r\n\r\n")
        except (BrokenPipeError, ConnectionResetError):
            pass  # the server may stop reading once it has answered
        got = read_responses(s, 1, time.monotonic() + 5)
    finally:
        s.close()
    assert got and got[0][0].startswith("HTTP/1.1 413")
    assert got[0][2] == b"{}" and got[0][1]["content-type"] == "application/json"
    assert "chunked-over" not in pools(registry)


def test_chunked_body_at_the_limit(registry):
    s = http1(registry)
    try:
        body = padded(LIMIT, pool="chunked-at", id=1)
        chunks = b"".join(b"%x\r\n" % len(body[i:i + 1000]) + body[i:i + 1000] + b"\r\n"
                          for i in range(0, len(body), 1000))
        s.sendall(b"POST /v1/beat HTTP/1.1\r\nhost: x\r\ntransfer-encoding: chunked\r\n\r\n" + chunks + b"0\r\n\r\n")
        got = read_responses(s, 1, time.monotonic() + 5)
    finally:
        s.close()
    assert got[0][0].startswith("HTTP/1.1 200")
    assert pools(registry)["chunked-at"]["members"] == 1


def test_http1_body_over_the_limit_by_length(registry):
    s = http1(registry)
    try:
        body = padded(LIMIT + 1, pool="h1-over", id=1)
        try:
            s.sendall(post(b"/v1/beat", body))
        except (BrokenPipeError, ConnectionResetError):
            pass
        got = read_responses(s, 1, time.monotonic() + 5)
    finally:
        s.close()
    assert got[0][0].startswith("HTTP/1.1 413") and got[0][2] == b"{}"


def test_http1_body_that_breaks_off(registry):
    # The client closes its sending side halfway through a declared body.
    s = http1(registry)
    try:
        body = beat(pool="h1-broken", id=1)
        s.sendall(b"POST /v1/beat HTTP/1.1\r\nhost: x\r\ncontent-length: %d\r\n\r\n" % (len(body) + 50) + body)
        s.shutdown(socket.SHUT_WR)
        got = read_responses(s, 1, time.monotonic() + 5)
    finally:
        s.close()
    if got:
        assert got[0][0].startswith("HTTP/1.1 413") and got[0][2] == b"{}"
    assert "h1-broken" not in pools(registry)
