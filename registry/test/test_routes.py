"""Every route, status and body over curl, HTTP/1.1 and HTTP/2 prior knowledge."""

import json

import pytest

from conftest import HEALTH, beat, curl

VERSIONS = ["--http1.1", "--http2-prior-knowledge"]

# (curl arguments after the URL's path, body sent, status, body expected; None: checked separately)
CASES = [
    ("GET", "/health", None, 200, HEALTH),
    ("GET", "/health?verbose=1&x", None, 200, HEALTH),
    ("GET", "/health/", None, 404, b"{}"),
    ("GET", "/Health", None, 404, b"{}"),
    ("GET", "/HEALTH", None, 404, b"{}"),
    ("GET", "//health", None, 404, b"{}"),
    ("GET", "/health%2F", None, 404, b"{}"),
    ("POST", "/health", b"x", 404, b"{}"),
    ("DELETE", "/health", None, 404, b"{}"),
    ("get", "/health", None, 404, b"{}"),
    ("GET", "/v1/beat", None, 404, b"{}"),
    ("PUT", "/v1/beat", beat(), 404, b"{}"),
    ("POST", "/v1/beat/", beat(), 404, b"{}"),
    ("POST", "/V1/beat", beat(), 404, b"{}"),
    ("GET", "/v1/pools/", None, 404, b"{}"),
    ("GET", "/", None, 404, b"{}"),
    ("GET", "/nothing/here", None, 404, b"{}"),
    ("POST", "/v1/beat", b"", 400, b'{"error":"EOF while parsing a value at line 1 column 0"}'),
    ("POST", "/v1/beat", b"{}", 400, b'{"error":"missing field `pool` at line 1 column 2"}'),
    ("POST", "/v1/beat", b'{"pool":"p","id":1}', 400, b'{"error":"missing field `incarnation` at line 1 column 19"}'),
    ("POST", "/v1/beat", b"not json", 400, None),
    ("POST", "/v1/beat", beat() + b"x", 400, None),
    ("POST", "/v1/beat?ignored=1", beat(pool="routes", id=5), 200, None),
]


@pytest.mark.parametrize("version", VERSIONS)
@pytest.mark.parametrize("method,path,data,status,expect", CASES)
def test_route(registry, version, method, path, data, status, expect):
    args = ["-X", method, registry.url + path, "--path-as-is"]
    got_status, headers, body = curl(registry, *args, data=data, version=version)
    assert got_status == status, body
    assert headers["content-type"] == ["application/json"]
    assert headers["content-length"] == [str(len(body))]
    if expect is not None:
        assert body == expect
    elif status == 400:
        doc = json.loads(body)
        assert list(doc) == ["error"] and " at line 1 column " in doc["error"]
    else:
        ack = json.loads(body)
        assert ack["accepted"] is True and ack["protocol"] == 2 and ack["version"] == "0.17.0"
        assert ack["ttl_ms"] == registry.ttl_ms and ack["epoch"] % 2 == 1


@pytest.mark.parametrize("version", VERSIONS)
def test_head_is_not_a_route(registry, version):
    status, headers, body = curl(registry, "-I", registry.url + "/health", version=version)
    assert status == 404
    assert headers["content-type"] == ["application/json"]
    assert body == b""


@pytest.mark.parametrize("version", VERSIONS)
def test_content_type_and_length_are_not_read(registry, version):
    # Any content type, or none, decodes the same way.
    for extra in (["-H", "content-type: text/plain"], ["-H", "content-type:"], ["-H", "content-type: image/png"]):
        status, _, body = curl(registry, registry.url + "/v1/beat", *extra, data=beat(pool="ct", id=2), version=version)
        assert status == 200, body
        assert json.loads(body)["accepted"] is True


@pytest.mark.parametrize("version", VERSIONS)
def test_pool_listing(registry, version):
    members = [(11, 1), (12, 3)]
    for id, inc in members:
        status, _, _ = curl(registry, registry.url + "/v1/beat", data=beat(pool="listed", id=id, incarnation=inc))
        assert status == 200
    # A pool only watched, with a hold so that the hold parks (and creates) it.
    curl(registry, registry.url + "/v1/beat", data=beat(pool="listed", id=11, watch=["watched-only"], seen={"watched-only": 0}, hold_ms=1))
    status, headers, body = curl(registry, registry.url + "/v1/pools", version=version)
    assert status == 200 and headers["content-type"] == ["application/json"]
    listing = json.loads(body)
    roster = 0
    for id, inc in members:
        roster ^= roster_hash(id, inc)
    assert listing["listed"] == {"members": 2, "roster": roster, "version": 2}
    assert listing["watched-only"] == {"members": 0, "roster": 0, "version": 0}
    # Compact, keys in order inside each entry.
    assert b'"listed":{"members":2,"roster":%d,"version":2}' % roster in body
    assert b" " not in body


def roster_hash(id, incarnation):
    h = 0x14650FB0739D0383
    for n in (id, incarnation):
        for byte in n.to_bytes(8, "little"):
            h = ((h ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def test_empty_listing(start_registry):
    r = start_registry()
    status, _, body = curl(r, r.url + "/v1/pools")
    assert (status, body) == (200, b"{}")


def test_refused_member_is_200(registry):
    curl(registry, registry.url + "/v1/beat", data=beat(pool="shaped", id=1, policy="rr"))
    status, _, body = curl(registry, registry.url + "/v1/beat", data=beat(pool="shaped", id=2, policy="hash"))
    assert status == 200
    ack = json.loads(body)
    assert ack["accepted"] is False
    assert ack["refused"] == 'pool "shaped" is running as "rr", this member says "hash"'


def test_absolute_form_target(registry):
    status, _, body = curl(registry, "--request-target", "http://%s/health?x=1" % registry.address, registry.url)
    assert (status, body) == (200, HEALTH)
    status, _, body = curl(registry, "--request-target", "http://%s/health/" % registry.address, registry.url)
    assert (status, body) == (404, b"{}")
