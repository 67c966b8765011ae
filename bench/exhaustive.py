"""The engine's exhaustive mode, the yardstick of the benchmarks: one cell
(b = 1, k = 1, l = 1, probes = 0) puts every point in the one bucket, so every
row of a block is measured against every point by the blocked path's tile
kernel. Its answers are exact (float32 toroidal L1, rows by (distance, id)).

    from exhaustive import exhaustive_knn        # with bench/ on sys.path
    ids, dists, seconds, pairs = exhaustive_knn(points, queries, k=10)

Run as a script it measures the mode on uniform points and prints a Markdown
table: queries per second with the byte-code filter off (every pair measured
in float32, VIBREL_CODE_FILTER=off) and on (the default), their ratio, the
pairs per second of the float path, and the peaks the float tile kernel and
the code-bound kernel reach in cache (the query_bench micro-benchmarks, one
core, times the pool's threads), so a slower yardstick cannot hide a
regression. Each setting runs in its own process (the switch is read once),
the two alternating:

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


def kernel_peak(d, kernel="TileKernel"):
    """A kernel's in-cache items per second on one core at the widest level
    (TileKernel: distance evaluations; CodeBound: candidate bounds, from the
    kernel that reads rows of codes in place where the search uses it, at
    d = 8), from the newest built query_bench; None without one."""
    found = [p for p in glob.glob(os.path.join(ROOT, "build", "*", "bench", "query_bench")) if os.access(p, os.X_OK)]
    if not found:
        return None, None
    program = max(found, key=os.path.getmtime)
    # BM_CodeBoundRows/d/level/rows: a full tile of 512 rows, levels in order.
    pattern = "BM_CodeBoundRows/8/[0-9]/512$" if kernel == "CodeBound" and d == 8 else f"BM_{kernel}/{d}/"
    out = subprocess.run([program, f"--benchmark_filter={pattern}", "--benchmark_format=json",
                          "--benchmark_min_time=0.2"], capture_output=True, text=True, check=True).stdout
    runs = [b for b in json.loads(out)["benchmarks"] if "error_occurred" not in b]
    if not runs:
        return None, None
    best = runs[-1]  # the widest level the CPU has comes last
    return best["items_per_second"], best.get("label", "")


def timed_child(args, d, filter_on):
    """(median seconds, pairs) of the exhaustive search at dimension d in a
    fresh process with the code filter on or off."""
    env = dict(os.environ, VIBREL_CODE_FILTER="on" if filter_on else "off")
    command = [sys.executable, os.path.abspath(__file__), "--child", str(d), "-n", str(args.n), "-m", str(args.m),
               "-k", str(args.k), "--repeat", str(args.repeat)]
    out = subprocess.run(command, env=env, capture_output=True, text=True, check=True).stdout
    result = json.loads(out.strip().splitlines()[-1])
    return result["seconds"], result["pairs"]


def child(args):
    d = args.child
    rng = np.random.default_rng(d)
    points, queries = rng.random((args.n, d)), rng.random((args.m, d))
    index = exhaustive_index(points)
    exhaustive_knn(points, queries[:200], args.k, index=index)  # first touch of the pool and workspaces
    runs = [exhaustive_knn(points, queries, args.k, index=index) for _ in range(args.repeat)]
    print(json.dumps({"seconds": float(np.median([r[2] for r in runs])), "pairs": int(runs[0][3])}))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-n", type=int, default=200_000)
    ap.add_argument("-m", type=int, default=2_000)
    ap.add_argument("-k", type=int, default=10)
    ap.add_argument("--dims", type=int, nargs="+", default=[3, 8, 16, 24])
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child is not None:
        child(args)
        return
    threads = pool_threads()
    print(f"Machine: {cpu_name()}, pool {threads} threads. n = {args.n:,}, m = {args.m:,}, k = {args.k}; "
          f"median of {args.repeat} runs in each of two alternating processes per setting.\n")
    print("| d | float32 qps | codes first qps | ratio | float32 pairs/s | tile kernel peak pairs/s "
          "| code-bound kernel peak bounds/s |")
    print("|---:|---:|---:|---:|---:|---:|---:|")
    for d in args.dims:
        off, on = [], []
        for _ in range(2):
            off.append(timed_child(args, d, False))
            on.append(timed_child(args, d, True))
        assert off[0][1] == on[0][1], "the filter must not change the pairs counted"
        t_off, t_on = float(np.median([t for t, _ in off])), float(np.median([t for t, _ in on]))
        peaks = []
        for kernel in ("TileKernel", "CodeBound"):
            peak, level = kernel_peak(d, kernel)
            peaks.append(f"{peak * threads:.3g} ({level})" if peak else "(query_bench not built)")
        print(f"| {d} | {args.m / t_off:,.0f} | {args.m / t_on:,.0f} | {t_off / t_on:.2f}x | "
              f"{off[0][1] / t_off:.3g} | {peaks[0]} | {peaks[1]} |", flush=True)


if __name__ == "__main__":
    main()
