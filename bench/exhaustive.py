"""The engine's exhaustive mode, the yardstick of the benchmarks: one cell
(b = 1, k = 1, l = 1, probes = 0) puts every point in the one bucket, so every
row of a block is measured against every point by the blocked path's tile
kernel. Its answers are exact (float32 toroidal L1, rows by (distance, id)).

    from exhaustive import exhaustive_knn        # with bench/ on sys.path
    ids, dists, seconds, pairs = exhaustive_knn(points, queries, k=10)

Run as a script it measures the mode on uniform points and prints a Markdown
table: queries and distance evaluations per second, next to the peak the tile
kernel reaches on in-cache tiles (the query_bench micro-benchmark, one core,
times the pool's threads), so a slower yardstick cannot hide a regression:

    .venv/bin/python bench/exhaustive.py [-n 200000] [-m 2000] [--dims 3 8 16 24] [--repeat 5]
"""

import argparse
import glob
import json
import os
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from machine import cpu_name, pool_threads  # noqa: E402

from vibrel import _backend  # noqa: E402
from vibrel._native import RustLshIndex  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def exhaustive_index(points):
    """An index of `points` in exhaustive mode, built, with whole-thread blocks."""
    return _backend.exhaustive_index(RustLshIndex, np.ascontiguousarray(points, dtype=np.float64), len(points))


def exhaustive_knn(points, queries, k, exclude_self=False, index=None):
    """Exact k nearest neighbours: (ids, dists, seconds, pairs), seconds being the
    query's wall time and pairs the distances it evaluated. exclude_self leaves
    point i out of query i's answer (queries are the first points)."""
    index = index if index is not None else exhaustive_index(points)
    queries = np.ascontiguousarray(queries, dtype=np.float64)
    exclude = np.arange(len(queries), dtype=np.int64) if exclude_self else None
    index.reset_stats()
    start = time.perf_counter()
    ids, dists = index.query_knn(queries, k, exclude)
    seconds = time.perf_counter() - start
    return ids, dists, seconds, index.stats()["pairs"]


def kernel_peak(d):
    """The tile kernel's in-cache distance evaluations per second on one core at
    the widest level, from the newest built query_bench; None without one."""
    found = [p for p in glob.glob(os.path.join(ROOT, "build", "*", "bench", "query_bench")) if os.access(p, os.X_OK)]
    if not found:
        return None, None
    program = max(found, key=os.path.getmtime)
    out = subprocess.run([program, f"--benchmark_filter=BM_TileKernel/{d}/", "--benchmark_format=json",
                          "--benchmark_min_time=0.2"], capture_output=True, text=True, check=True).stdout
    runs = [b for b in json.loads(out)["benchmarks"] if "error_occurred" not in b]
    if not runs:
        return None, None
    best = runs[-1]  # the widest level the CPU has comes last
    return best["items_per_second"], best.get("label", "")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-n", type=int, default=200_000)
    ap.add_argument("-m", type=int, default=2_000)
    ap.add_argument("-k", type=int, default=10)
    ap.add_argument("--dims", type=int, nargs="+", default=[3, 8, 16, 24])
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    threads = pool_threads()
    print(f"Machine: {cpu_name()}, pool {threads} threads. n = {args.n:,}, m = {args.m:,}, k = {args.k}; "
          f"median of {args.repeat} runs.\n")
    print("| d | qps | evals/s | kernel peak evals/s (1 core × threads) | share of peak |")
    print("|---:|---:|---:|---:|---:|")
    for d in args.dims:
        rng = np.random.default_rng(d)
        points, queries = rng.random((args.n, d)), rng.random((args.m, d))
        index = exhaustive_index(points)
        exhaustive_knn(points, queries[:200], args.k, index=index)  # first touch of the pool and workspaces
        runs = [exhaustive_knn(points, queries, args.k, index=index) for _ in range(args.repeat)]
        seconds = float(np.median([r[2] for r in runs]))
        evals = runs[0][3] / seconds
        peak, level = kernel_peak(d)
        peak_text = f"{peak * threads:.3g} ({level})" if peak else "(query_bench not built)"
        share = f"{evals / (peak * threads):.2f}" if peak else ""
        print(f"| {d} | {args.m / seconds:,.0f} | {evals:.3g} | {peak_text} | {share} |", flush=True)


if __name__ == "__main__":
    main()
