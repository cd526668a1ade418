"""Real registry processes (the test driver) and small real clients for them."""

import json
import os
import socket
import subprocess
import sys
import time

import h2.config
import h2.connection
import h2.events
import h2.settings
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("MURLO_BUILD", os.path.join(ROOT, "build"))
DRIVER = os.path.join(BUILD, "registry", "test", "registry-driver")
# The loopback helpers and the hand-written HTTP/2 frames (loopback, raw_h2)
# live beside the runtime's wire tests.
sys.path.insert(0, os.path.join(ROOT, "runtime", "test"))
from loopback import read_line  # noqa: E402
HEALTH = b'{"status":"ok","version":"0.17.0","protocol":2}'


def sanitizer():
    """Which sanitizer the driver was built with: "thread", "address" or None."""
    with open(DRIVER, "rb") as f:
        binary = f.read()
    return "thread" if b"__tsan_init" in binary else "address" if b"__asan_init" in binary else None


class Registry:
    """One registry-driver process; `address` is the line it announced."""

    def __init__(self, listen="127.0.0.1:0", ttl_ms=10_000, preexec_fn=None):
        self.ttl_ms = ttl_ms
        self.proc = subprocess.Popen(
            [DRIVER, listen, str(ttl_ms)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=preexec_fn
        )
        line = read_line(self.proc.stdout.fileno(), deadline=time.monotonic() + 10)
        if not line:
            err = self.proc.stderr.read().decode() if self.proc.poll() is not None else ""
            self.stop()
            raise RuntimeError("registry did not announce an address: " + err)
        self.address = line.decode().rstrip("\n")
        host, _, port = self.address.rpartition(":")
        self.host = host.strip("[]").split("%")[0]
        self.port = int(port)
        self.url = "http://" + host + ":" + port

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=10)
        for f in (self.proc.stdout, self.proc.stderr):
            f.close()


@pytest.fixture(scope="module")
def registry():
    if not os.path.exists(DRIVER):
        pytest.skip("registry-driver is not built in " + BUILD)
    r = Registry()
    yield r
    assert r.alive(), "the registry died during the tests"
    r.stop()


@pytest.fixture
def start_registry():
    """Factory for registries of a test's own (other addresses, short leases)."""
    if not os.path.exists(DRIVER):
        pytest.skip("registry-driver is not built in " + BUILD)
    started = []

    def start(listen="127.0.0.1:0", ttl_ms=10_000, preexec_fn=None):
        r = Registry(listen, ttl_ms, preexec_fn)
        started.append(r)
        return r

    yield start
    for r in started:
        r.stop()


def beat(pool="p", id=1, incarnation=1, policy="rr", watch=(), seen=None, hold_ms=0, **more):
    b = {
        "pool": pool,
        "slot": None,
        "id": id,
        "incarnation": incarnation,
        "policy": policy,
        "size": None,
        "url": None,
        "state": {},
        "ready": False,
        "leaving": False,
        "exclusive": False,
        "methods": [],
        "watch": list(watch),
        "seen": seen or {},
        "hold_ms": hold_ms,
    }
    b.update(more)
    return json.dumps(b, separators=(",", ":")).encode()


def curl(registry, *args, data=None, version="--http1.1"):
    """(status, headers as a lower-cased dict, body) of one curl request."""
    cmd = ["curl", "-sS", version, "--max-time", "10"]
    # -I prints the head itself; otherwise the head goes first, then the body.
    cmd += [] if "-I" in args else ["-D", "-", "-o", "-"]
    if data is not None:
        cmd += ["--data-binary", "@-"]
    cmd += list(args)
    out = subprocess.run(cmd, input=data, capture_output=True, timeout=20)
    assert out.returncode == 0, out.stderr.decode()
    head, _, body = out.stdout.partition(b"\r\n\r\n")
    lines = head.decode().split("\r\n")
    status = int(lines[0].split()[1])
    headers = {}
    for line in lines[1:]:
        k, _, v = line.partition(":")
        headers.setdefault(k.strip().lower(), []).append(v.strip())
    return status, headers, body


def closed_by_peer(sock, timeout=5.0):
    """True once the server closes (EOF or reset), reading and dropping what it sends first."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        sock.settimeout(max(0.001, deadline - time.monotonic()))
        try:
            if not sock.recv(65536):
                return True
        except ConnectionResetError:
            return True
        except socket.timeout:
            return False
    return False


def pools(registry):
    status, _, body = curl(registry, registry.url + "/v1/pools")
    assert status == 200
    return json.loads(body)


class H2:
    """A plain HTTP/2 prior-knowledge client on one connection (python3-h2)."""

    def __init__(self, registry, **settings):
        self.sock = socket.create_connection((registry.host, registry.port), timeout=10)
        self.conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True, header_encoding="utf-8"))
        self.conn.initiate_connection()
        if settings:
            self.conn.update_settings(settings)
        self.flush()
        self.authority = registry.address
        self.responses = {}  # stream id -> {"status", "headers", "body", "done", "reset"}
        self.events = []

    def flush(self):
        data = self.conn.data_to_send()
        if data:
            self.sock.sendall(data)

    def request(self, method, path, body=None, end=True, headers=()):
        sid = self.conn.get_next_available_stream_id()
        hdrs = [(":method", method), (":scheme", "http"), (":authority", self.authority), (":path", path)]
        hdrs += list(headers)
        self.conn.send_headers(sid, hdrs, end_stream=body is None and end)
        self.responses[sid] = {"status": None, "headers": {}, "body": b"", "done": False, "reset": None}
        if body is not None:
            self.send_body(sid, body, end=end)
        self.flush()
        return sid

    def send_body(self, sid, body, end=True):
        """Sends as flow control allows, reading the peer's window updates meanwhile."""
        view = memoryview(body)
        while view:
            window = min(self.conn.local_flow_control_window(sid), self.conn.max_outbound_frame_size)
            if window <= 0:
                self.pump(time.monotonic() + 10, lambda: self.conn.local_flow_control_window(sid) > 0 or self.closed(sid))
                if self.closed(sid):
                    return
                continue
            self.conn.send_data(sid, bytes(view[:window]))
            view = view[window:]
            self.flush()
        if end:
            self.conn.end_stream(sid)
            self.flush()

    def closed(self, sid):
        r = self.responses[sid]
        return r["done"] or r["reset"] is not None

    def pump(self, deadline, until):
        """Reads frames until `until()` holds; False when the deadline passes or the peer closes."""
        while not until():
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                return False
            except ConnectionResetError:
                data = b""
            if not data:
                return until()
            for ev in self.conn.receive_data(data):
                self.events.append(ev)
                r = self.responses.get(getattr(ev, "stream_id", None))
                if isinstance(ev, h2.events.ResponseReceived):
                    for k, v in ev.headers:
                        if k == ":status":
                            r["status"] = int(v)
                        else:
                            r["headers"].setdefault(k, []).append(v)
                elif isinstance(ev, h2.events.DataReceived):
                    r["body"] += ev.data
                    self.conn.acknowledge_received_data(ev.flow_controlled_length, ev.stream_id)
                elif isinstance(ev, h2.events.StreamEnded):
                    r["done"] = True
                elif isinstance(ev, h2.events.StreamReset) and r is not None:
                    r["reset"] = ev.error_code
            self.flush()
        return True

    def wait(self, sid, timeout=10):
        assert self.pump(time.monotonic() + timeout, lambda: self.closed(sid)), "no answer on stream %d" % sid
        return self.responses[sid]

    def reset(self, sid):
        self.conn.reset_stream(sid)
        self.flush()

    def close(self):
        self.sock.close()
