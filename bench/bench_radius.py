"""The engine's radius search against its exhaustive kNN, and its two paths on a
tuned index.

Exhaustive part: with one cell (b = 1) every query meets every point, so
`query_radius` evaluates n × m distances. Its rate (n × m / wall time) is
compared with the exhaustive kNN's (k = 10, pairs / wall time) in the same
run, at a radius holding about k points (the median k-th neighbour distance of
the kNN run). The query-by-query path (an index with block = 1) is timed on a
slice of the queries for reference.

Hashed part: the index the front tunes for k = 10, and a coarse one (4^4
cells per table), at the same radius: the engine's choice of path against the
query-by-query path (the same tables with block = 1) for several batch
sizes, rows checked equal.

    .venv/bin/python bench/bench_radius.py [-n 200000] [-m 2000] [--dims 3 8 16] [--repeat 5]
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from exhaustive import exhaustive_index, exhaustive_knn  # noqa: E402
from machine import cpu_name, pool_threads  # noqa: E402

from vibrel import ToroidalNN  # noqa: E402
from vibrel._native import RustLshIndex  # noqa: E402


def timed(call, repeat):
    """(median wall seconds, the last result) of `repeat` calls."""
    seconds, result = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = call()
        seconds.append(time.perf_counter() - start)
    return float(np.median(seconds)), result


def same_rows(a, b):
    return all(np.array_equal(x, y) for x, y in zip(a, b))


def exhaustive_rows(args, d):
    rng = np.random.default_rng(d)
    points, queries = rng.random((args.n, d)), rng.random((args.m, d))
    index = exhaustive_index(points)
    exhaustive_knn(points, queries[:200], args.k, index=index)  # first touch of the pool and workspaces
    runs = [exhaustive_knn(points, queries, args.k, index=index) for _ in range(args.repeat)]
    knn_seconds = float(np.median([r[2] for r in runs]))
    knn_rate = runs[0][3] / knn_seconds
    radius = float(np.median(runs[0][1][:, -1]))
    index.query_radius(queries[:200], radius)
    seconds, found = timed(lambda: index.query_radius(queries, radius), args.repeat)
    rate = args.n * args.m / seconds
    gathered = RustLshIndex(1, 1, 1, 0, np.zeros((1, 1), dtype=np.int64), np.zeros((1, 1)), 1)
    gathered.build(points, args.n)
    few = queries[:args.gathered_rows]
    g_seconds, g_found = timed(lambda: gathered.query_radius(few, radius), 1)
    g_rate = args.n * len(few) / g_seconds
    assert same_rows(g_found, index.query_radius(few, radius)), "paths disagree"
    per_row = found[0][-1] / args.m
    print(f"| {d} | {radius:.4g} | {per_row:.1f} | {knn_rate:.3g} | {rate:.3g} | **{rate / knn_rate:.2f}** "
          f"| {g_rate:.3g} ({g_rate / knn_rate:.2f}) |", flush=True)


def engine_path(b, k, block, m, threads):
    """The radius path the engine takes: tiles when a block has at least as
    many rows as a table has cells (b^k), from 64 rows up, block not 1."""
    share = max(1, -(-m // max(threads, 1)))
    rows = min(block, share) if block > 0 else share
    return "tiles" if m >= 64 and block != 1 and b ** k <= rows else "gathered"


def hashed_rows(args, d):
    rng = np.random.default_rng(100 + d)
    points, queries = rng.random((args.n, d)), rng.random((args.m, d))
    est = ToroidalNN(n_neighbors=args.k, random_state=0).fit(points)
    radius = float(np.median(est.kneighbors(queries[:500])[0][:, -1]))
    p = est.params_
    coarse_s = rng.integers(0, d, (4, 4)).astype(np.int64)
    settings = [("tuned", p["b"], p["k"], p["l"], p["probes"], est.s_, est.u_),
                ("coarse", 4, 4, 4, 0, coarse_s, rng.random((4, 4)))]
    for name, b, k, l, probes, s, u in settings:
        engine = RustLshIndex(b, k, l, probes, s, u, p["block"])
        gathered = RustLshIndex(b, k, l, probes, s, u, 1)
        for index in (engine, gathered):
            index.build(est._points, est.n_static)
        for m in args.batches:
            rows = queries[:m]
            engine.query_radius(rows, radius)
            gathered.query_radius(rows, radius)
            e_seconds, e_found = timed(lambda: engine.query_radius(rows, radius), args.repeat)
            g_seconds, g_found = timed(lambda: gathered.query_radius(rows, radius), args.repeat)
            assert same_rows(e_found, g_found), "paths disagree"
            path = engine_path(b, k, p["block"], m, pool_threads())
            print(f"| {d} | {name}: b={b} k={k} l={l} probes={probes} | {m} | {path} "
                  f"| {g_seconds * 1e3:.2f} | {e_seconds * 1e3:.2f} | **{g_seconds / e_seconds:.2f}** |", flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-n", type=int, default=200_000)
    ap.add_argument("-m", type=int, default=2_000)
    ap.add_argument("-k", type=int, default=10)
    ap.add_argument("--dims", type=int, nargs="+", default=[3, 8, 16])
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--gathered-rows", type=int, default=100)
    ap.add_argument("--batches", type=int, nargs="+", default=[64, 256, 2000])
    ap.add_argument("--skip-hashed", action="store_true")
    args = ap.parse_args()
    print(f"Machine: {cpu_name()}, pool {pool_threads()} threads. n = {args.n:,}, m = {args.m:,}, k = {args.k}; "
          f"median of {args.repeat} runs.\n")
    print("Exhaustive index (b = 1): evaluations per second.\n")
    print("| d | radius | points per row | kNN evals/s | radius evals/s | radius / kNN "
          f"| query-by-query evals/s ({args.gathered_rows} rows; / kNN) |")
    print("|---:|---:|---:|---:|---:|---:|---:|")
    for d in args.dims:
        exhaustive_rows(args, d)
    if args.skip_hashed:
        return
    print("\nHashed indexes, milliseconds: the engine's choice against the query-by-query path (block = 1).\n")
    print("| d | index | rows | engine's path | query by query | engine | speed-up |")
    print("|---:|---|---:|---|---:|---:|---:|")
    for d in args.dims:
        hashed_rows(args, d)


if __name__ == "__main__":
    main()
