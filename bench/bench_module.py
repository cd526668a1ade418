"""What the Client queries and publishing cost from Python, against a pool of
5,000 members cached from a real registry, all measured in one run.

The registry runs serve_registry in a child process with a 10-minute lease.
Several worker processes join the 5,000 members: each member is a Client that
publishes its state, starts (one answered beat) and is then dropped without
leaving, so its record stays until the lease runs out while no process has to
keep 5,000 runtimes alive. A watcher in another pool caches "bench".

Figures are microseconds per call, the median of several rounds. Beside each
query that does work over the roster stands its pure-Python baseline: the same
answer (a str, as the module gives) computed from the roster kept as parsed
Python objects, as a member written in Python alone would keep it.

    ./run bench        (or: MURLO_BUILD=build /usr/bin/python3 bench/bench_module.py [--json])
--json: one JSON object on standard output, the human report on standard error.
"""

import json
import os
import random
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
    as_json = "--json" in sys.argv[1:]
    out = sys.stderr if as_json else sys.stdout
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
                 populated), file=out)

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

        members = json.loads(text)
        ready = [m for m in members if m["ready"]]
        by_slot = {}
        for m in members:
            by_slot.setdefault(m.get("slot"), m)
        rng = random.Random(7)

        def zone(m, z="z3"):
            return isinstance(m["state"], dict) and m["state"].get("zone") == z

        def py_digest(names):
            return hash(tuple(tuple(m.get(f, m["state"].get(f) if isinstance(m["state"], dict) else None)
                                    for f in names) for m in members))

        # (module call, its pure-Python baseline over the same roster kept as parsed objects, or None)
        rows = {
            "lookup (cached JSON, no filter)": (lambda: watcher.lookup(POOL), lambda: json.dumps(members)),
            "lookup, filter {\"zone\":\"z3\"}": (lambda: watcher.lookup(POOL, '{"zone":"z3"}'),
                                                lambda: json.dumps([m for m in members if zone(m)])),
            "frozen (all members, as lookup)": (lambda: watcher.frozen(POOL, False), lambda: json.dumps(members)),
            "choose, no filter": (lambda: watcher.choose(POOL), lambda: json.dumps(rng.choice(ready))),
            "choose, filter {\"zone\":\"z3\"}": (lambda: watcher.choose(POOL, '{"zone":"z3"}'),
                                                lambda: json.dumps(rng.choice([m for m in ready if zone(m)]))),
            "lookup_slot": (lambda: watcher.lookup_slot(POOL, 17), lambda: json.dumps(by_slot.get(17))),
            "pool_info": (lambda: watcher.pool_info(POOL), None),
            "field_digest, same fields (kept answer)": (lambda: watcher.field_digest(POOL, fields[0]), None),
            "field_digest, fields alternating (computed)": (digest_uncached, lambda: py_digest(fields[0])),
            "json.loads(lookup(...))": (lambda: json.loads(watcher.lookup(POOL)), None),
            "set_state, unchanged": (lambda: publisher.set_state(states[0], True), None),
            "set_state, changed": (changed, None),
        }
        figures, baselines = {}, {}
        for name, (call, baseline) in rows.items():
            figures[name] = per_call_us(call)
            if baseline is not None:
                baselines[name] = per_call_us(baseline)
        width = max(len(k) for k in figures)
        print("\n%-*s  %12s  %14s  %8s" % (width, "call (5,000 members)", "us per call", "Python us/call",
                                          "speedup"), file=out)
        for name, us in figures.items():
            if name in baselines:
                print("%-*s  %12.2f  %14.2f  %7.1fx" % (width, name, us, baselines[name], baselines[name] / us),
                      file=out)
            else:
                print("%-*s  %12.2f" % (width, name, us), file=out)

        def ratio(a, b):
            return figures[a] / figures[b]

        print("\nratios", file=out)
        print("  json.loads(lookup(...)) / field_digest computed:  %8.1fx" % ratio(
            "json.loads(lookup(...))", "field_digest, fields alternating (computed)"), file=out)
        print("  json.loads(lookup(...)) / field_digest kept:      %8.1fx" % ratio(
            "json.loads(lookup(...))", "field_digest, same fields (kept answer)"), file=out)
        print("  json.loads(lookup(...)) / lookup:                 %8.1fx" % ratio(
            "json.loads(lookup(...))", "lookup (cached JSON, no filter)"), file=out)
        print("  frozen / lookup:                                  %8.2fx" % ratio(
            "frozen (all members, as lookup)", "lookup (cached JSON, no filter)"), file=out)
        print("  lookup with filter / lookup:                      %8.1fx" % ratio(
            "lookup, filter {\"zone\":\"z3\"}", "lookup (cached JSON, no filter)"), file=out)
        print("  choose with filter / choose:                      %8.1fx" % ratio(
            "choose, filter {\"zone\":\"z3\"}", "choose, no filter"), file=out)
        print("  set_state changed / unchanged:                    %8.2fx" % ratio(
            "set_state, changed", "set_state, unchanged"), file=out)
        if as_json:
            print(json.dumps({"members": MEMBERS, "rounds": ROUNDS, "us_per_call": figures,
                              "python_us_per_call": baselines}))
        watcher.leave()
    finally:
        registry.kill()
        registry.wait()


if __name__ == "__main__":
    main()
