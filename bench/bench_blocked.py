"""The blocked k-nearest-neighbour path against the per-query path.

One batch of m = 20,000 out-of-sample queries at d = 16, answered by the same
index built with block = 1 (per-query path), block = 1024 and block = 0 (one
block per thread), on uniform, clustered and sub-torus data. Prints a Markdown
table: queries per second (best of --repeat), the ratio to the per-query path,
distance evaluations and distinct candidates per query, and whether the rows
are identical to the per-query rows.

    .venv/bin/python bench/bench_blocked.py [--repeat 3] [--quick]
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from machine import cpu_name, pool_threads  # noqa: E402
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
    for _ in range(repeat):
        t = time.perf_counter()
        out = index.query_knn(queries, K)
        best = min(best, time.perf_counter() - t)
    stats = index.stats()
    return out, M / best, stats["pairs"] / stats["queries"], stats["cands"] / stats["queries"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
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
