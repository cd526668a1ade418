"""HPACK bombs in parallel: what header blocks that decode to far more than was
sent cost a server, the registry beside nghttpd in the same run.

16 connections each send request streams whose header block is one 4,000-byte
header put into the dynamic table once per connection and then referenced by
one byte each, so that every block decodes to 512 MiB (about 131 kB on the
wire, in CONTINUATION frames). A connection the server closes is opened again
at once. Reported per server: its CPU seconds over the run (utime + stime from
/proc), the streams begun and the connections opened. For scale, the same clients then open ordinary
connections (one GET /health each, then closed) against the registry: what
connections alone cost it.

    MURLO_BUILD=build-release /usr/bin/python3 bench/header_flood.py [--json]

Env: DURATION (seconds per server, 10), CONNECTIONS (16), ROUNDS (1).
"""

import json
import os
import select
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("MURLO_BUILD", os.path.join(ROOT, "build-release"))
DRIVER = os.path.join(BUILD, "registry", "test", "registry-driver")
sys.path.insert(0, os.path.join(ROOT, "runtime", "test"))
from loopback import free_port  # noqa: E402
from raw_h2 import ACK, CONTINUATION, END_HEADERS, END_STREAM, HEADERS, PREFACE, SETTINGS, frame, hpack_string, request_block  # noqa: E402
DURATION = float(os.environ.get("DURATION", "10"))
CONNECTIONS = int(os.environ.get("CONNECTIONS", "16"))
ROUNDS = int(os.environ.get("ROUNDS", "1"))
DECODED = 512 * 1024 * 1024

FRAME = 16_384


def say(text):
    print(text, file=sys.stderr, flush=True)


NAME, VALUE = b"x-bomb", b"v" * 4000
REQUEST = request_block(b"/health")
ENTRY = b"\x40" + hpack_string(NAME) + hpack_string(VALUE)  # literal, added to the dynamic table
REFS = DECODED // (len(NAME) + len(VALUE))  # each b"\xbe" (index 62) decodes to the entry again


def block(first):
    return REQUEST + (ENTRY if first else b"") + b"\xbe" * (REFS - (1 if first else 0))


BLOCKS = {True: block(True), False: block(False)}


def stream_bytes(stream, first):
    data = BLOCKS[first]
    out = []
    for i in range(0, len(data), FRAME):
        piece = data[i:i + FRAME]
        last = END_HEADERS if i + FRAME >= len(data) else 0
        out.append(frame(HEADERS if i == 0 else CONTINUATION, last | (END_STREAM if i == 0 else 0), stream, piece))
    return b"".join(out)


def cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def flood(port, until, counts, lock):
    """One client: bombs on a connection until the server closes it, then the next connection."""
    while time.monotonic() < until:
        try:
            sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        except OSError:
            continue
        with lock:
            counts["connections"] += 1
        try:
            sock.sendall(PREFACE + frame(SETTINGS, 0, 0) + frame(SETTINGS, ACK, 0))
            stream, first = 1, True
            while time.monotonic() < until:
                # Take what the server said (resets, GOAWAY): an end of file means it closed.
                closed = False
                while select.select([sock], [], [], 0)[0]:
                    if not sock.recv(65536):
                        closed = True
                        break
                if closed:
                    break
                with lock:
                    counts["streams"] += 1
                sock.sendall(stream_bytes(stream, first))
                stream, first = stream + 2, False
        except OSError:
            pass  # reset or stuck: a new connection
        finally:
            sock.close()


def churn(port, until, counts, lock):
    """The floor: ordinary connections, one GET /health each, then closed."""
    hello = PREFACE + frame(SETTINGS, 0, 0) + frame(SETTINGS, ACK, 0) + frame(HEADERS, END_HEADERS | END_STREAM, 1,
                                                                             REQUEST)
    while time.monotonic() < until:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
                with lock:
                    counts["connections"] += 1
                    counts["streams"] += 1
                sock.sendall(hello)
                got = b""
                # The answer's DATA frame ends its stream: flags END_STREAM on a frame of type 0.
                while not any(got[i + 3] == 0 and got[i + 4] & END_STREAM for i in frame_starts(got)):
                    data = sock.recv(65536)
                    if not data:
                        break
                    got += data
        except OSError:
            pass


def frame_starts(data):
    i = 0
    while i + 9 <= len(data):
        yield i
        i += 9 + int.from_bytes(data[i:i + 3], "big")


def measure(name, pid, port, client=flood):
    counts = {"connections": 0, "streams": 0}
    lock = threading.Lock()
    before = cpu_seconds(pid)
    until = time.monotonic() + DURATION
    threads = [threading.Thread(target=client, args=(port, until, counts, lock)) for _ in range(CONNECTIONS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    time.sleep(0.2)  # what was sent last is still being handled
    used = cpu_seconds(pid) - before
    say("  %s: %.2f CPU s, %d streams on %d connections (%.3f ms a stream, %.3f ms a connection)" % (
        name, used, counts["streams"], counts["connections"], 1000 * used / max(1, counts["streams"]),
        1000 * used / max(1, counts["connections"])))
    return {"cpu_s": used, "streams": counts["streams"], "connections": counts["connections"]}


def wait_up(port):
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    sys.exit("header_flood: nothing listens on port %d" % port)


def main():
    as_json = "--json" in sys.argv[1:]
    if not os.path.exists(DRIVER):
        sys.exit("header_flood: %s is not built" % DRIVER)
    if not shutil.which("nghttpd"):
        sys.exit("header_flood: nghttpd is missing (nghttp2-server)")
    work = tempfile.mkdtemp()
    procs = []
    try:
        registry = subprocess.Popen([DRIVER, "127.0.0.1:0", "60000"], stdout=subprocess.PIPE)
        procs.append(registry)
        address = registry.stdout.readline().decode().strip()
        if not address:
            sys.exit("header_flood: the registry announced no address")
        registry_port = int(address.rsplit(":", 1)[1])
        with open(os.path.join(work, "health"), "w") as f:
            f.write('{"status":"ok"}')
        nghttpd_port = free_port()
        nghttpd = subprocess.Popen(["nghttpd", "--no-tls", "-n", str(os.cpu_count()), "-a", "127.0.0.1", "-d", work,
                                    str(nghttpd_port)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(nghttpd)
        wait_up(nghttpd_port)
        say("header_flood: %d connections, %.0f s per server, each stream's block %d bytes on the wire, %d MiB "
            "decoded; %d rounds" % (CONNECTIONS, DURATION, len(stream_bytes(3, False)), DECODED >> 20, ROUNDS))
        runs = {"registry": [], "nghttpd": [], "registry_plain": []}
        for n in range(1, ROUNDS + 1):
            say("round %d" % n)
            runs["registry"].append(measure("registry", registry.pid, registry_port))
            runs["nghttpd"].append(measure("nghttpd", nghttpd.pid, nghttpd_port))
            runs["registry_plain"].append(measure("registry, ordinary connections", registry.pid, registry_port,
                                                  churn))
        if registry.poll() is not None:
            sys.exit("header_flood: the registry died")
        med = {k: statistics.median(r["cpu_s"] for r in v) for k, v in runs.items()}
        say("median server CPU: registry %.2f s, nghttpd %.2f s; registry with ordinary connections %.2f s" % (
            med["registry"], med["nghttpd"], med["registry_plain"]))
        if as_json:
            print(json.dumps({"connections": CONNECTIONS, "duration_s": DURATION, "decoded_mib": DECODED >> 20,
                              "runs": runs}))
    finally:
        for p in procs:
            p.kill()
            p.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
