"""What the Client queries and publishing cost from Python, against a pool of
5,000 members cached from a real registry, all measured in one run.

The registry runs serve_registry in a child process with a 10-minute lease.
Several worker processes join the 5,000 members: each member is a Client that
publishes its state, starts (one answered beat) and is then dropped without
leaving, so its record stays until the lease runs out while no process has to
keep 5,000 runtimes alive. A watcher in another pool caches "bench".

Figures are microseconds per call, the median of several rounds.

    ./run bench        (or: MURLO_BUILD=build /usr/bin/python3 bench/bench_module.py)
"""

import json
import os
import select
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("MURLO_BUILD", os.path.join(ROOT, "build"))
MODULE_DIR = os.path.join(BUILD, "client")
sys.path.insert(0, MODULE_DIR)

import _murlo  # noqa: E402

MEMBERS = 5000
WORKERS = min(8, os.cpu_count() or 4)
POOL = "bench"
ROUNDS = 7

SERVE = "import sys; sys.path.insert(0, sys.argv[1]); import _murlo; _murlo.serve_registry('127.0.0.1:0', 600000)"

JOIN = """
import json, sys
sys.path.insert(0, sys.argv[1])
import _murlo
url, lo, hi = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
joined = 0
for i in range(lo, hi):
    c = _murlo.Client(url, "bench", i, 1, "rr", slot=i % 64, url="http://10.0.%d.%d:8000" % (i // 250, i % 250))
    state = {"name": "member-%d" % i, "zone": "z%d" % (i % 8), "load": i % 100, "tags": ["a", "b"]}
    c.set_state(json.dumps(state), i % 5 != 0)
    joined += c.start(10000) and c.accepted
    del c  # stops beating without leaving: the record lives until its lease ends
print(joined)
"""


def start_registry():
    proc = subprocess.Popen([sys.executable, "-c", SERVE, MODULE_DIR], stdout=subprocess.PIPE)
    deadline = time.monotonic() + 20
    line = b""
    while not line.endswith(b"\n"):
        if time.monotonic() > deadline or not select.select([proc.stdout], [], [], 1)[0]:
            if time.monotonic() > deadline:
                raise RuntimeError("the registry announced no address")
            continue
        chunk = os.read(proc.stdout.fileno(), 1)
        if not chunk:
            raise RuntimeError("the registry exited")
        line += chunk
    return proc, "http://" + line.decode().strip()


def populate(url):
    step = -(-MEMBERS // WORKERS)
    procs = [subprocess.Popen([sys.executable, "-c", JOIN, MODULE_DIR, url, str(lo), str(min(lo + step, MEMBERS))],
                              stdout=subprocess.PIPE) for lo in range(0, MEMBERS, step)]
    joined = sum(int(p.communicate(timeout=600)[0]) for p in procs)
    if joined != MEMBERS:
        raise RuntimeError("only %d of %d members joined" % (joined, MEMBERS))


def per_call_us(call, min_seconds=0.2):
    """Median over ROUNDS rounds of the mean time per call, in microseconds."""
    n = 1
    while True:
        started = time.perf_counter()
        for _ in range(n):
            call()
        if time.perf_counter() - started >= min_seconds / 4:
            break
        n *= 2
    results = []
    for _ in range(ROUNDS):
        started = time.perf_counter_ns()
        for _ in range(n):
            call()
        results.append((time.perf_counter_ns() - started) / n / 1000)
    return statistics.median(results)


def main():
    registry, url = start_registry()
    try:
        started = time.monotonic()
        populate(url)
        populated = time.monotonic() - started
        watcher = _murlo.Client(url, "bench-watchers", 1, 1, "rr")
        watcher.watch([POOL])
        assert watcher.start()
        deadline = time.monotonic() + 60
        while len(json.loads(watcher.lookup(POOL))) != MEMBERS:
            if time.monotonic() > deadline:
                raise RuntimeError("the watcher did not cache all members")
            watcher.wait_revision(watcher.cache_revision(), 500)
        text = watcher.lookup(POOL)
        print("pool %r: %d members cached (%d ready), members JSON %d bytes; joined by %d processes in %.1f s"
              % (POOL, MEMBERS, len(json.loads(watcher.lookup(POOL, require_ready=True))), len(text), WORKERS,
                 populated))

        publisher = _murlo.Client(url, "bench-publisher", 1, 1, "rr")  # never started: local cost only
        states = ['{"name":"member-1","zone":"z1","load":%d,"tags":["a","b"]}' % n for n in (1, 2)]
        flip = [0]

        def changed():
            flip[0] ^= 1
            publisher.set_state(states[flip[0]], True)

        fields = [["zone", "ready"], ["load", "url"]]

        def digest_uncached():
            flip[0] ^= 1
            watcher.field_digest(POOL, fields[flip[0]])

        figures = {
            "lookup (cached JSON, no filter)": per_call_us(lambda: watcher.lookup(POOL)),
            "lookup, filter {\"zone\":\"z3\"}": per_call_us(lambda: watcher.lookup(POOL, '{"zone":"z3"}')),
            "frozen (all members, as lookup)": per_call_us(lambda: watcher.frozen(POOL, False)),
            "choose, no filter": per_call_us(lambda: watcher.choose(POOL)),
            "choose, filter {\"zone\":\"z3\"}": per_call_us(lambda: watcher.choose(POOL, '{"zone":"z3"}')),
            "lookup_slot": per_call_us(lambda: watcher.lookup_slot(POOL, 17)),
            "pool_info": per_call_us(lambda: watcher.pool_info(POOL)),
            "field_digest, same fields (kept answer)": per_call_us(lambda: watcher.field_digest(POOL, fields[0])),
            "field_digest, fields alternating (computed)": per_call_us(digest_uncached),
            "json.loads(lookup(...))": per_call_us(lambda: json.loads(watcher.lookup(POOL))),
            "set_state, unchanged": per_call_us(lambda: publisher.set_state(states[0], True)),
            "set_state, changed": per_call_us(changed),
        }
        width = max(len(k) for k in figures)
        print("\n%-*s  %12s" % (width, "call (5,000 members)", "us per call"))
        for name, us in figures.items():
            print("%-*s  %12.2f" % (width, name, us))

        def ratio(a, b):
            return figures[a] / figures[b]

        print("\nratios")
        print("  json.loads(lookup(...)) / field_digest computed:  %8.1fx" % ratio(
            "json.loads(lookup(...))", "field_digest, fields alternating (computed)"))
        print("  json.loads(lookup(...)) / field_digest kept:      %8.1fx" % ratio(
            "json.loads(lookup(...))", "field_digest, same fields (kept answer)"))
        print("  json.loads(lookup(...)) / lookup:                 %8.1fx" % ratio(
            "json.loads(lookup(...))", "lookup (cached JSON, no filter)"))
        print("  frozen / lookup:                                  %8.2fx" % ratio(
            "frozen (all members, as lookup)", "lookup (cached JSON, no filter)"))
        print("  lookup with filter / lookup:                      %8.1fx" % ratio(
            "lookup, filter {\"zone\":\"z3\"}", "lookup (cached JSON, no filter)"))
        print("  choose with filter / choose:                      %8.1fx" % ratio(
            "choose, filter {\"zone\":\"z3\"}", "choose, no filter"))
        print("  set_state changed / unchanged:                    %8.2fx" % ratio(
            "set_state, changed", "set_state, unchanged"))
        watcher.leave()
    finally:
        registry.kill()
        registry.wait()


if __name__ == "__main__":
    main()
