"""Ctrl-C: how fast each long call stops, and whether an interrupted call of a
model ever leaves it half-changed.

latency (--part latency): each long engine call is started on a workload that
takes seconds, SIGINT arrives after --after seconds, and the time from the
signal to the exception is reported (median and maximum of --repeat runs), with
a check that the index's tables are unchanged.

trials (--part trials): a ToroidalNN of 100,000 static and 200,000 moving
points at d = 8; SIGINT at a random moment within the usual time of `update`,
`promote` (50,000 points) and `fit` (300,000 points), --trials of each.  After
every trial the model's answers to 300 queries are compared with those of two
uninterrupted copies, one from before the call and one that made it, and a
pickle of the model (rebuilt from the model's own points) is compared with the
model.  Counted: interrupted (KeyboardInterrupt raised), installed anyway
(raised, but the model is the new one: the signal came during the install),
inconsistent (answers that match neither copy, a pickle that answers otherwise,
or a normal return without the change), and the latency of the interrupts.

memory (--part memory): in a process whose address space is limited to 6 GB, a
200,000-point model is asked for a self-join with n_neighbors = n - 1 (640 GB)
and a radius self-join at radius 10 (every pair); the time to MemoryError and
whether the model answers as before.

    PYTHONSAFEPATH=1 .venv/bin/python bench/bench_interrupt.py [--part trials] [--trials 45]
"""

import argparse
import json
import os
import pickle
import signal
import statistics
import subprocess
import sys
import threading
import time

import numpy as np

from vibrel import ToroidalNN
from vibrel._native import RustLshIndex

D = 8
SETTING = dict(b=4, k=8, l=16, probes=8, random_state=7)  # the tuner's choice here, given so fit skips tuning


def interrupted_after(call, after):
    """(raised, seconds from the signal to the exception or None, signal sent
    after the call returned) for `call` with SIGINT sent after `after` s."""
    sent = []

    def fire():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(after, fire)
    returned_at = None
    try:
        try:
            timer.start()
            call()
            returned_at = time.perf_counter()
        finally:
            timer.join()
            for _ in range(3):
                time.sleep(0.001)  # any pending signal is delivered here at the latest
    except KeyboardInterrupt:
        caught = time.perf_counter()
        late = returned_at is not None and sent[0] > returned_at
        return True, (None if late else caught - sent[0]), late
    return False, None, False


# ------------------------------------------------------------------ latency

def latency(args):
    rng = np.random.default_rng(1)

    def make(b, digits, l, d):
        return RustLshIndex(b, digits, l, 1, rng.integers(0, d, (l, digits)), rng.random((l, digits)))

    wide = make(2, 1, 1, 16)  # two buckets: each row meets half of the points
    wide.build(rng.random((200_000, 16)), 200_000)
    queries = rng.random((20_000, 16))
    deep = make(2, 60, 16, 4)  # sixty digits in sixteen tables: hashing dominates
    points = rng.random((600_000, 4))
    deep.build(points, 300_000)
    calls = {
        "query_knn": (wide, lambda: wide.query_knn(queries, 10)),
        "query_radius": (wide, lambda: wide.query_radius(queries, 1.5)),
        "build": (deep, lambda: deep.build(points, 100_000)),
        "update": (deep, lambda: deep.update(rng.random((300_000, 4)))),
        "promote": (deep, lambda: deep.promote(points)),
    }
    for name, (index, call) in calls.items():
        before = {t: v.copy() for t, v in index.tables().items()}
        outcomes = [interrupted_after(call, args.after) for _ in range(args.repeat)]
        after = index.tables()
        same = all(np.array_equal(before[t], after[t]) for t in before)
        done = [x for raised, x, _ in outcomes if raised and x is not None]
        line = f"{name:13s} interrupted {len(done)}/{args.repeat}"
        if done:
            line += f", latency median {statistics.median(done) * 1e3:.1f} ms, max {max(done) * 1e3:.1f} ms"
        print(f"{line}, tables unchanged: {same}")


# ------------------------------------------------------------------- trials

def answers(model, queries):
    dist, ind = model.kneighbors(queries, 10)
    return ind, dist


def same(a, b):
    return all(np.array_equal(x, y) for x, y in zip(a, b))


class Trials:
    """One kind of call tried again and again from the same starting model."""

    def __init__(self, name, start, call, queries):
        self.name, self.call, self.queries = name, call, queries
        self.start = start
        self.start_pickle = pickle.dumps(start)
        times = []
        for _ in range(2):  # the first call of a kind pays for fresh memory
            done = pickle.loads(self.start_pickle)
            t = time.perf_counter()
            call(done)
            times.append(time.perf_counter() - t)
        self.usual = min(times)
        self.old, self.new = answers(start, queries), answers(done, queries)
        assert not same(self.old, self.new)
        self.counts = dict(trials=0, interrupted=0, installed_anyway=0, inconsistent=0, late_signal=0)
        self.latencies = []

    def run_one(self, rng):
        model = self.start
        raised, latency, late = interrupted_after(lambda: self.call(model), rng.uniform(0.0, self.usual))
        got = answers(model, self.queries)
        is_new, is_old = same(got, self.new), same(got, self.old)
        rebuilt = answers(pickle.loads(pickle.dumps(model)), self.queries)
        c = self.counts
        c["trials"] += 1
        c["late_signal"] += late
        if raised and not late:
            c["interrupted"] += 1
            c["installed_anyway"] += is_new
            if not is_new and latency is not None:
                self.latencies.append(latency)
        if not (is_new or is_old) or not same(rebuilt, got) or (not raised and not is_new):
            c["inconsistent"] += 1
        if is_new or not (is_new or is_old):
            self.start = pickle.loads(self.start_pickle)  # back to the starting model

    def line(self):
        c = self.counts
        lat = self.latencies
        text = (f"{self.name:8s} (usually {self.usual * 1e3:.0f} ms): trials {c['trials']}, interrupted "
                f"{c['interrupted']}, installed anyway {c['installed_anyway']}, inconsistent {c['inconsistent']}, "
                f"signal after the return {c['late_signal']}")
        if lat:
            text += f"; latency median {statistics.median(lat) * 1e3:.0f} ms, max {max(lat) * 1e3:.0f} ms"
        return text


def trials(args):
    rng = np.random.default_rng(args.seed)
    n_static, n_moving = 100_000, 200_000
    points = rng.random((n_static + n_moving, D))
    queries = rng.random((300, D))
    moved = points[n_static:] + rng.normal(0.0, 0.02, (n_moving, D))
    batch = rng.random((50_000, D))
    refit = rng.random((n_static + n_moving, D))

    def fitted():
        return ToroidalNN(10, **SETTING).fit(points, n_static=n_static)

    kinds = [
        Trials("update", fitted(), lambda m: m.update(moved), queries),
        Trials("promote", fitted(), lambda m: m.promote(batch), queries),
        Trials("fit", fitted(), lambda m: m.fit(refit, n_static=n_static), queries),
    ]
    for kind in kinds:
        for _ in range(args.trials):
            kind.run_one(rng)
        print(kind.line(), flush=True)
    total = {key: sum(k.counts[key] for k in kinds) for key in kinds[0].counts}
    lat = [x for k in kinds for x in k.latencies]
    print(f"all      trials {total['trials']}, interrupted {total['interrupted']} "
          f"({total['interrupted'] / total['trials']:.0%}), installed anyway {total['installed_anyway']}, "
          f"inconsistent {total['inconsistent']}; latency median {statistics.median(lat) * 1e3:.0f} ms, "
          f"max {max(lat) * 1e3:.0f} ms")


# ------------------------------------------------------------------- memory

MEMORY_CHILD = """
import json, resource, sys, time
import numpy as np
from vibrel import ToroidalNN
limit = 6 << 30
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
rng = np.random.default_rng(0)
n = 200_000
model = ToroidalNN(10, random_state=1).fit(rng.random((n, 8)))
probe = rng.random((300, 8))
before = model.kneighbors(probe)
out = {}
for name, call in [("self-join n_neighbors = n - 1", lambda: model.kneighbors(n_neighbors=n - 1)),
                   ("radius self-join at radius 10", lambda: model.radius_neighbors(radius=10.0))]:
    t = time.perf_counter()
    try:
        call()
        out[name] = "answered"
    except MemoryError:
        out[name] = f"MemoryError after {time.perf_counter() - t:.2f} s"
after = model.kneighbors(probe)
out["answers as before"] = all(np.array_equal(x, y) for x, y in zip(before, after))
print(json.dumps(out))
"""


def memory(args):
    result = subprocess.run([sys.executable, "-c", MEMORY_CHILD], capture_output=True, text=True, check=True)
    for key, value in json.loads(result.stdout).items():
        print(f"{key}: {value}")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--part", choices=["latency", "trials", "memory", "all"], default="all")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--after", type=float, default=0.3)
    ap.add_argument("--trials", type=int, default=45, help="trials of each call")
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    for part, run in (("latency", latency), ("trials", trials), ("memory", memory)):
        if args.part in (part, "all"):
            print(f"== {part}", flush=True)
            run(args)


if __name__ == "__main__":
    main()
