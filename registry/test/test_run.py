"""Start-up of the registry process: the announced address, start-up failures,
and leases running out."""

import http.client
import json
import os
import resource
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

import pytest

from conftest import DRIVER, H2, HEALTH, Registry, beat, curl, pools


def start_failure(listen, ttl_ms=1000):
    """(exit code, stdout, stderr) of a driver that must fail to start."""
    out = subprocess.run([DRIVER, listen, str(ttl_ms)], capture_output=True, timeout=20)
    return out.returncode, out.stdout, out.stderr.decode()


def test_port_zero_announces_the_chosen_port(start_registry):
    r = start_registry("127.0.0.1:0")
    assert r.address.startswith("127.0.0.1:") and r.port != 0
    status, _, body = curl(r, "http://127.0.0.1:%d/health" % r.port)
    assert (status, body) == (200, HEALTH)


def test_ipv6_loopback_in_brackets(start_registry):
    try:
        socket.socket(socket.AF_INET6).bind(("::1", 0))
    except OSError:
        pytest.skip("no IPv6 loopback")
    r = start_registry("[::1]:0")
    assert r.address.startswith("[::1]:") and r.port != 0
    for version in ("--http1.1", "--http2-prior-knowledge"):
        status, _, body = curl(r, r.url + "/health", version=version)
        assert (status, body) == (200, HEALTH)


def test_a_name_is_resolved(start_registry):
    r = start_registry("localhost:0")
    assert r.port != 0
    assert r.address.startswith(("127.", "[::1]"))


def test_address_in_use_fails_with_the_os_error_and_announces_nothing(registry):
    code, stdout, stderr = start_failure(registry.address)
    assert code == 1
    assert stdout == b""
    assert stderr == "Address already in use (os error 98)\n"


@pytest.mark.parametrize("listen,text", [
    ("localhost", "invalid socket address"),
    ("127.0.0.1", "invalid socket address"),
    ("localhost:http", "invalid port value"),
    ("localhost:65536", "invalid port value"),
    ("127.0.0.1:", "invalid port value"),
    ("[::1]:-1", "invalid port value"),
])
def test_start_up_error_texts(listen, text):
    code, stdout, stderr = start_failure(listen)
    assert (code, stdout, stderr) == (1, b"", text + "\n")


def test_unresolvable_name():
    code, stdout, stderr = start_failure("no-such-host.invalid:0")
    assert code == 1 and stdout == b""
    assert stderr.startswith("failed to lookup address information: ") and len(stderr) > 40


def test_address_not_on_this_host():
    code, stdout, stderr = start_failure("192.0.2.1:0")
    assert (code, stdout, stderr) == (1, b"", "Cannot assign requested address (os error 99)\n")


def test_both_protocols_on_one_listener(registry):
    for version in ("--http1.1", "--http2-prior-knowledge"):
        status, _, body = curl(registry, registry.url + "/health", version=version)
        assert (status, body) == (200, HEALTH)


def test_member_that_stops_beating_expires(start_registry):
    ttl = 300  # sweep every 75 ms
    r = start_registry(ttl_ms=ttl)
    status, _, body = curl(r, r.url + "/v1/beat", data=beat(pool="lease", id=4))
    joined = time.monotonic()
    assert json.loads(body)["accepted"] is True
    assert pools(r)["lease"]["members"] == 1
    deadline = joined + 5
    while pools(r)["lease"]["members"] == 1:
        assert time.monotonic() < deadline, "the member never expired"
        time.sleep(0.01)
    gone = time.monotonic() - joined
    assert gone >= ttl / 1000 - 0.01, "expired before its lease ran out"
    assert gone < ttl / 1000 + 0.075 + 0.5
    assert pools(r)["lease"] == {"members": 0, "roster": 0, "version": 2}


def test_beating_member_stays(start_registry):
    r = start_registry(ttl_ms=300)
    end = time.monotonic() + 0.9
    while time.monotonic() < end:
        curl(r, r.url + "/v1/beat", data=beat(pool="kept", id=4))
        assert pools(r)["kept"]["members"] == 1
        time.sleep(0.05)
    assert pools(r)["kept"]["version"] == 1


def beat_until(r, pool, id, stop, pause, errors):
    """Beats as member `id` of `pool` over an HTTP/2 connection of its own every
    `pause` seconds until `stop` is set; a refused or failed beat goes into
    `errors`."""
    conn = H2(r)
    try:
        while not stop.is_set():
            sid = conn.request("POST", "/v1/beat", beat(pool=pool, id=id))
            answer = conn.wait(sid, timeout=30)
            if answer["status"] != 200 or not json.loads(answer["body"])["accepted"]:
                errors.append((id, answer))
            stop.wait(pause)
    except Exception as e:  # noqa: BLE001 - reported by the test that runs it
        errors.append((id, repr(e)))
    finally:
        conn.close()


def stop_with_signals(r, seconds):
    """Stops the registry for `seconds` wherever it happens to be."""
    os.kill(r.proc.pid, signal.SIGSTOP)
    try:
        time.sleep(seconds)
    finally:
        os.kill(r.proc.pid, signal.SIGCONT)


# Run inside gdb once it has attached: waits `settle` seconds (the members are
# heard again after the attach's own stop), then holds the registry at its
# next sweep, after the sweep has read the clock, for `seconds`.
GDB_STOP_IN_SWEEP = """
import time
import gdb

settle, seconds = %r, %r
armed = time.monotonic() + settle


class AtSweep(gdb.Breakpoint):
    def stop(self):
        return time.monotonic() >= armed


AtSweep("murlo::registry::Registry::sweep_from")
gdb.execute("continue")
print("held in the sweep")
time.sleep(seconds)
gdb.execute("delete")
gdb.execute("detach")
"""


def stop_inside_a_sweep(r, seconds):
    """Stops the registry for `seconds` at a breakpoint in its sweep."""
    if shutil.which("gdb") is None:
        pytest.skip("gdb is not installed")
    with tempfile.NamedTemporaryFile("w", suffix=".py") as script:
        script.write(GDB_STOP_IN_SWEEP % (2.0, seconds))
        script.flush()
        out = subprocess.run(["gdb", "-p", str(r.proc.pid), "-batch", "-nx", "-x", script.name],
                             capture_output=True, text=True, timeout=120)
    if "held in the sweep" not in out.stdout:
        # No ptrace permission, or a build without the sweep's symbol.
        pytest.skip("gdb could not stop the registry in its sweep: " + (out.stderr or out.stdout)[-300:])


@pytest.mark.parametrize("stop", [stop_with_signals, stop_inside_a_sweep], ids=["anywhere", "inside_a_sweep"])
def test_a_stall_of_the_registry_expires_no_live_member(start_registry, stop):
    # Lease 1 s (sweep every 250 ms), the registry stopped for 3 s. Members
    # beat every 200 ms on connections of their own; one of them stops when
    # the stall begins and must still expire after it.
    ttl_s, sweep_s = 1.0, 0.25
    r = start_registry(ttl_ms=int(ttl_s * 1000))
    live_ids, dead_id = range(1, 10), 10
    stop_all, stop_dead = threading.Event(), threading.Event()
    errors = []
    threads = [threading.Thread(target=beat_until, args=(r, "stall", id, stop_all, 0.2, errors)) for id in live_ids]
    threads.append(threading.Thread(target=beat_until, args=(r, "stall", dead_id, stop_dead, 0.2, errors)))
    for t in threads:
        t.start()
    try:
        deadline = time.monotonic() + 10
        while pools(r).get("stall", {}).get("members") != 10:
            assert time.monotonic() < deadline, "the members did not all join"
            time.sleep(0.02)
        before = pools(r)["stall"]
        assert before["version"] == 10

        stop_dead.set()
        stop(r, 3.0)
        resumed = time.monotonic()

        # The silent member goes within a lease and a sweep period of the resume.
        deadline = resumed + ttl_s + sweep_s + 2.0
        while True:
            now = pools(r)["stall"]
            assert now["members"] >= 9, "live members expired after the stall: %s" % now
            if now["members"] == 9:
                break
            assert time.monotonic() < deadline, "the silent member did not expire after the stall"
            time.sleep(0.02)
        # The others outlive a few more leases, and only that one expiry moved the version.
        end = time.monotonic() + 2 * ttl_s
        while time.monotonic() < end:
            assert pools(r)["stall"]["version"] == before["version"] + 1
            time.sleep(0.05)
        assert pools(r)["stall"]["members"] == 9
    finally:
        stop_all.set()
        stop_dead.set()
        for t in threads:
            t.join(timeout=40)
    assert errors == []
    assert r.alive()


def test_a_throttled_registry_still_expires_the_silent(start_registry):
    # Lease 1 s, the registry stopped 700 ms and running 150 ms in turn, as a
    # CPU-throttled container runs it. Members beating over their own HTTP/2
    # connections (answered in the running windows) stay listed; one that beat
    # once and went silent goes within a few leases.
    ttl_s = 1.0
    r = start_registry(ttl_ms=int(ttl_s * 1000))
    live_ids, silent_id = range(1, 6), 9
    stop = threading.Event()
    errors = []
    threads = [threading.Thread(target=beat_until, args=(r, "throttled", id, stop, 0.1, errors)) for id in live_ids]
    for t in threads:
        t.start()
    listing = http.client.HTTPConnection(r.host, r.port, timeout=30)

    def pool():
        listing.request("GET", "/v1/pools")
        answer = listing.getresponse()
        assert answer.status == 200
        return json.loads(answer.read()).get("throttled", {})

    try:
        deadline = time.monotonic() + 10
        while pool().get("members") != len(live_ids):
            assert time.monotonic() < deadline, "the members did not all join"
            time.sleep(0.02)
        status, _, body = curl(r, r.url + "/v1/beat", data=beat(pool="throttled", id=silent_id))
        last_beat = time.monotonic()
        assert json.loads(body)["accepted"] is True
        joined = pool()
        assert joined["members"] == len(live_ids) + 1

        gone_after = None
        end = last_beat + 10
        # On a fixed schedule from the last beat, so that a loaded machine's
        # late wake-ups do not stretch the cycles one after the other.
        cycle = 0
        while time.monotonic() < end:
            os.kill(r.proc.pid, signal.SIGSTOP)
            try:
                time.sleep(max(0.0, last_beat + cycle * 0.85 + 0.7 - time.monotonic()))
            finally:
                os.kill(r.proc.pid, signal.SIGCONT)
            cycle += 1
            running = time.monotonic()
            while True:
                now = pool()
                # Only the silent member's expiry may move the version: a live
                # member that expired would move it again by rejoining.
                if now["members"] == len(live_ids) and gone_after is None:
                    gone_after = time.monotonic() - last_beat
                expected = len(live_ids) if gone_after is not None else len(live_ids) + 1
                assert now["members"] == expected, "a live member expired: %s" % now
                assert now["version"] == joined["version"] + (gone_after is not None), now
                if time.monotonic() >= max(running, last_beat + cycle * 0.85 - 0.02):
                    break
                time.sleep(0.02)
        assert gone_after is not None, "the silent member was still listed after 10 s"
        assert gone_after < 4 * ttl_s, "the silent member went only after %.2f s" % gone_after
    finally:
        os.kill(r.proc.pid, signal.SIGCONT)
        stop.set()
        for t in threads:
            t.join(timeout=40)
        listing.close()
    assert errors == []
    assert r.alive()


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def test_out_of_descriptors_pauses_instead_of_spinning(start_registry):
    with open(DRIVER, "rb") as f:
        if b"__ubsan_handle" in f.read():
            # UBSan's vptr check needs a pipe of its own and reports every
            # virtual call as invalid once descriptors run out.
            pytest.skip("not meaningful under UBSan")
    r = start_registry(preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (48, 48)))
    held = []
    try:
        # More connections than the registry has descriptors: the rest wait in
        # the backlog and every accept fails with EMFILE.
        for _ in range(80):
            held.append(socket.create_connection((r.host, r.port), timeout=10))
        time.sleep(0.05)
        before, start = cpu_seconds(r.proc.pid), time.monotonic()
        time.sleep(1.0)
        busy = (cpu_seconds(r.proc.pid) - before) / (time.monotonic() - start)
        assert busy < 0.3, "the accept loop used %.0f%% of a core while out of descriptors" % (busy * 100)
    finally:
        for s in held:
            s.close()
    # Descriptors come back: the registry serves again.
    deadline = time.monotonic() + 5
    while True:
        try:
            status, _, body = curl(r, r.url + "/health")
            break
        except AssertionError:
            assert time.monotonic() < deadline
    assert (status, body) == (200, HEALTH)
    assert r.alive()
