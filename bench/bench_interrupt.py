"""Ctrl-C latency: how long after SIGINT each long call raises KeyboardInterrupt.

Each call is started on a workload that takes seconds, SIGINT arrives after
--after seconds, and the time from the signal to the exception is reported
(median and maximum of --repeat runs), with a check that the index's tables
are unchanged.

    PYTHONSAFEPATH=1 .venv/bin/python bench/bench_interrupt.py [--repeat 5]
    RAYON_NUM_THREADS=1 ... for the calling thread alone
"""

import argparse
import os
import signal
import statistics
import threading
import time

import numpy as np

from vibrel._native import RustLshIndex


def interrupted_after(call, after):
    sent = []

    def fire():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(after, fire)
    timer.start()
    try:
        call()
    except KeyboardInterrupt:
        return time.perf_counter() - sent[0]
    timer.join()
    return None  # finished first


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--after", type=float, default=0.3)
    args = ap.parse_args()
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
        latencies = [interrupted_after(call, args.after) for _ in range(args.repeat)]
        after = index.tables()
        same = all(np.array_equal(before[t], after[t]) for t in before)
        done = [x for x in latencies if x is not None]
        line = f"{name:13s} interrupted {len(done)}/{args.repeat}"
        if done:
            line += f", latency median {statistics.median(done) * 1e3:.1f} ms, max {max(done) * 1e3:.1f} ms"
        print(f"{line}, tables unchanged: {same}")


if __name__ == "__main__":
    main()
