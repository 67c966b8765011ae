"""The byte-code filter on periodic boxes: queries per second with the filter
off (every candidate measured in float32, VIBREL_CODE_FILTER=off) and on (the
default), side by side, on `vibrel._periodic.PeriodicLshIndex` with a period
per axis.

On a cube the bound of the codes is the unit torus's scaled by the side; on
other boxes each axis's term is weighed by a byte weight in proportion to its
period, floored. The boxes run from the unit torus and a cube (exact) through
sides close together to sides 1, 2, 3 and 10, 10, 30 (weighted), and sides
too far apart for the weights, where the engine keeps the float path
(code_bound.h, kMinCodeWeight). Per box, metric and dimension: the
exhaustive mode (b = 1, every point a candidate) and one hashed setting, whose
recall against the exhaustive answer is printed too (a neighbour counts when
its distance is at most the true k-th distance). Each setting runs in fresh
processes (the switch is read once at import), off and on alternating; the
answers of both are checked to be the same bytes.

    .venv/bin/python bench/period_codes.py [-n 200000] [-m 2000] [--dims 3 16] [--metrics l1 l2]
        [--boxes unit cube2 near 1-2-3 10-10-30 1-100] [--settings exhaustive hashed] [--repeat 3]
"""

import argparse
import hashlib
import json
import os
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from machine import cpu_name, pool_threads  # noqa: E402

from vibrel._periodic import PeriodicLshIndex  # noqa: E402

# Box sides, repeated over the axes; None is the unit torus.
BOXES = {"unit": None, "cube2": [2.0], "near": [1.0, 1.5, 1.9], "1-2-3": [1.0, 2.0, 3.0],
         "10-10-30": [10.0, 10.0, 30.0], "1-100": [1.0, 100.0]}

# (b, k, l, probes) per dimension: cells of a few hundred points at n = 200,000
# (d = 16: the tuner's choice for uniform points at recall 0.99).
HASHED = {3: (6, 4, 4, 2), 16: (3, 8, 32, 7)}


def periods(box, d):
    sides = BOXES[box]
    return None if sides is None else np.array([sides[c % len(sides)] for c in range(d)])


def make_index(setting, d, metric, period, rng):
    if setting == "exhaustive":
        b, k, l, probes = 1, 1, 1, 0
    else:
        b, k, l, probes = HASHED.get(d, (3, 8, 16, 4))
    s, u = rng.integers(0, d, (l, k)), rng.random((l, k))
    return PeriodicLshIndex(b, k, l, probes, s, u, 0, metric=metric, period=period)


def recall(ids, dists, true_dists):
    """Share of returned neighbours within the true k-th distance."""
    kth = true_dists[:, -1:]
    return float(np.mean((ids >= 0) & (dists <= kth)))


def child(args):
    d, metric, box, setting = args.child[0], args.child[1], args.child[2], args.child[3]
    d = int(d)
    rng = np.random.default_rng(d)
    period = periods(box, d)
    scale = 1.0 if period is None else period
    points, queries = rng.random((args.n, d)) * scale, rng.random((args.m, d)) * scale
    index = make_index(setting, d, metric, period, rng)
    index.build(points, args.n)
    index.query_knn(queries[:200], args.k)  # first touch of the pool and workspaces
    times = []
    for _ in range(args.repeat):
        index.reset_stats()
        start = time.perf_counter()
        ids, dists = index.query_knn(queries, args.k)
        times.append(time.perf_counter() - start)
    digest = hashlib.sha256(ids.tobytes() + dists.tobytes()).hexdigest()
    got = None
    if setting != "exhaustive" and args.recall:
        truth = make_index("exhaustive", d, metric, period, rng)
        truth.build(points, args.n)
        got = recall(ids, dists, truth.query_knn(queries, args.k)[1])
    print(json.dumps({"seconds": float(np.min(times)), "digest": digest, "recall": got,
                      "pairs": int(index.stats()["pairs"])}))


def timed_child(args, config, filter_on, with_recall):
    env = dict(os.environ, VIBREL_CODE_FILTER="on" if filter_on else "off")
    command = [sys.executable, os.path.abspath(__file__), "--child", *map(str, config), "-n", str(args.n),
               "-m", str(args.m), "-k", str(args.k), "--repeat", str(args.repeat)]
    if with_recall:
        command.append("--recall")
    out = subprocess.run(command, env=env, capture_output=True, text=True, check=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-n", type=int, default=200_000)
    ap.add_argument("-m", type=int, default=2_000)
    ap.add_argument("-k", type=int, default=10)
    ap.add_argument("--dims", type=int, nargs="+", default=[3, 16])
    ap.add_argument("--metrics", nargs="+", default=["l1", "l2"])
    ap.add_argument("--boxes", nargs="+", default=list(BOXES))
    ap.add_argument("--settings", nargs="+", default=["exhaustive", "hashed"])
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--recall", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--child", nargs=4, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child is not None:
        child(args)
        return
    print(f"Machine: {cpu_name()}, pool {pool_threads()} threads. n = {args.n:,} uniform points in the box, "
          f"m = {args.m:,} fresh queries, k = {args.k}; best of {args.repeat} runs in each of two alternating "
          "processes per setting (a shared machine: the best run is the one least disturbed).\n")
    print("| d | metric | box | setting | float32 qps | codes qps | ratio | recall |")
    print("|---:|---|---|---|---:|---:|---:|---:|")
    for d in args.dims:
        for metric in args.metrics:
            for box in args.boxes:
                for setting in args.settings:
                    config = (d, metric, box, setting)
                    off, on = [], []
                    for round_ in range(2):
                        off.append(timed_child(args, config, False, round_ == 0 and setting != "exhaustive"))
                        on.append(timed_child(args, config, True, False))
                    assert len({r["digest"] for r in off + on}) == 1, f"answers differ for {config}"
                    t_off = float(np.min([r["seconds"] for r in off]))
                    t_on = float(np.min([r["seconds"] for r in on]))
                    got = off[0]["recall"]
                    shown = "1 (exact)" if setting == "exhaustive" else f"{got:.4f}"
                    print(f"| {d} | {metric} | {box} | {setting} | {args.m / t_off:,.0f} | {args.m / t_on:,.0f} | "
                          f"{t_off / t_on:.2f}x | {shown} |", flush=True)


if __name__ == "__main__":
    main()
