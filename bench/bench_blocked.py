"""The blocked k-nearest-neighbour path against the per-query path.

One batch of m = 20,000 out-of-sample queries at d = 16, answered by the same
index built with block = 1 (per-query path), block = 1024 and block = 0 (one
block per thread), on uniform, clustered and sub-torus data. Prints a Markdown
table: queries per second (best of --repeat), the ratio to the per-query path,
distance evaluations and distinct candidates per query, and whether the rows
are identical to the per-query rows.

--goal instead runs the high-recall setting (n = 1,000,000 uniform, d = 16,
b=4 k=6 l=32 probes=3, m = 20,000) against the exhaustive mode: queries and
distance evaluations per second of each path and of the yardstick, recall@10,
and the collector memory of a block (cap slots × 16 bytes × rows per block,
per thread), which decides how large a block may be: k × 16 bytes per row,
so whole-thread blocks of m / threads rows stay under 64 MiB of collectors per
thread up to 4,194,304 / k rows (419,430 rows at k = 10).

    .venv/bin/python bench/bench_blocked.py [--repeat 3] [--quick] [--goal]
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from machine import cpu_name, pool_threads  # noqa: E402
from exhaustive import exhaustive_knn  # noqa: E402
from suite import blobs, subtorus, uniform  # noqa: E402

from vibrel._native import RustLshIndex  # noqa: E402
from vibrel._params import draw_hash  # noqa: E402

M, D, K = 20_000, 16, 10


def workloads(quick):
    n_small, n_big = (50_000, 200_000) if quick else (200_000, 1_000_000)
    # (label, data, b, digits, l, probes): the suite's middle setting for the size.
    return [
        (f"uniform n={n_small:,}", lambda r: uniform(r, n_small, M, D), 4, 8, 16, 8),
        (f"uniform n={n_big:,}", lambda r: uniform(r, n_big, M, D), 4, 9, 16, 9),
        (f"blobs sigma=0.01 n={n_small:,}", lambda r: blobs(r, n_small, M, D, 0.01), 4, 8, 16, 8),
        (f"blobs sigma=0.03 n={n_small:,}", lambda r: blobs(r, n_small, M, D, 0.03), 4, 8, 16, 8),
        (f"sub-torus 3 in d=16 n={n_small:,}", lambda r: subtorus(r, n_small, M, D), 4, 8, 16, 8),
    ]


def timed(index, queries, repeat):
    index.query_knn(queries[:2000], K)  # first touch of the tables and workspaces
    index.reset_stats()
    best, out = float("inf"), None
    m = len(queries)
    for _ in range(repeat):
        t = time.perf_counter()
        out = index.query_knn(queries, K)
        best = min(best, time.perf_counter() - t)
    stats = index.stats()
    return out, m / best, stats["pairs"] / stats["queries"], stats["cands"] / stats["queries"]


def strict_recall(out, true_d):
    """Share of returned neighbours at most the true k-th distance away (ties
    count): the exhaustive mode sums in the engine's order, so no tolerance."""
    ids, dists = out
    return float(((dists <= true_d[:, -1:]) & (ids >= 0)).mean())


def goal(repeat):
    """The high-recall setting against the exhaustive mode, one row per path."""
    n, m, b, digits, l, probes = 1_000_000, 20_000, 4, 6, 32, 3
    threads = pool_threads()
    rng = np.random.default_rng(0)
    points, queries = uniform(rng, n, m, D)
    s, u = draw_hash(rng, D, digits, l)
    _, true_d, scan_s, scan_pairs = exhaustive_knn(points, queries, K)
    scan_qps, scan_evals = m / scan_s, scan_pairs / scan_s
    print(f"n = {n:,} uniform, d = {D}, m = {m:,}, k = {K}; b={b} k={digits} l={l} probes={probes}; "
          f"pool {threads} threads; best of {repeat}.\n")
    print("| path | qps | x exhaustive qps | evals/s | x exhaustive evals/s | recall@10 | collectors per thread "
          "| rows as per-query |")
    print("|---|---:|---:|---:|---:|---:|---:|---|")
    print(f"| exhaustive (b=1) | {scan_qps:,.0f} | 1.00 | {scan_evals:.3g} | 1.00 | 1.000 | | |")
    base = None
    for block in (1, 1024, 0):
        index = RustLshIndex(b, digits, l, probes, s, u, block)
        index.build(points, n)
        out, qps, evals, _ = timed(index, queries, repeat)
        base = out if base is None else base
        same = np.array_equal(out[0], base[0]) and np.array_equal(out[1], base[1])
        rows = 1 if block == 1 else min(-(-m // threads), block or m)
        path = "per-query" if block == 1 else f"blocked, block={block}"
        print(f"| {path} | {qps:,.0f} | {qps / scan_qps:.1f} | {qps * evals:.3g} | {qps * evals / scan_evals:.2f} "
              f"| {strict_recall(out, true_d):.3f} | {K * 16 * rows / 2**20:.2f} MiB | {'yes' if same else 'NO'} |", flush=True)
        del index


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--goal", action="store_true")
    args = parser.parse_args()
    if args.goal:
        return goal(args.repeat)
    print(f"Machine: {cpu_name()}, pool {pool_threads()} threads. m = {M:,}, d = {D}, k = {K}; "
          f"qps best of {args.repeat}.\n")
    print("| workload | setting | path | qps | vs per-query | evals/q | cands/q | rows identical |")
    print("|---|---|---|---:|---:|---:|---:|---|")
    for label, data, b, digits, l, probes in workloads(args.quick):
        rng = np.random.default_rng(0)
        points, queries = data(rng)
        s, u = draw_hash(rng, D, digits, l)
        setting = f"b={b} k={digits} l={l} probes={probes}"
        base = None
        for block in (1, 1024, 0):
            index = RustLshIndex(b, digits, l, probes, s, u, block)
            index.build(points, len(points))
            out, qps, evals, cands = timed(index, queries, args.repeat)
            if base is None:
                base = (out, qps)
            same = np.array_equal(out[0], base[0][0]) and np.array_equal(out[1], base[0][1])
            path = "per-query" if block == 1 else f"blocked, block={block}"
            print(f"| {label} | {setting} | {path} | {qps:,.0f} | {qps / base[1]:.2f}x | {evals:,.0f} "
                  f"| {cands:,.0f} | {'yes' if same else 'NO'} |", flush=True)


if __name__ == "__main__":
    main()
