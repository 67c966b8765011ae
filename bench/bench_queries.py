"""End-to-end benchmark of exact k-nearest-neighbour queries.

Builds the compiled index and reports, on the per-query path (block=1 by
default): queries per second, candidates per query and nanoseconds per distance
evaluation (refine time over pairs, from stats()); recall@k against the exact
answer of scipy's periodic cKDTree on a subset of the queries, with cKDTree's
own throughput; and the plain-NumPy reference on a subset, with the ratio of
the two throughputs.

Run against a build directory, e.g.
    PYTHONSAFEPATH=1 PYTHONPATH=build/dev/python /usr/bin/python3 bench/bench_queries.py
and, for a quick look, with --n 100000 --queries 5000 --recall-queries 50.
"""

import argparse
import os
import sys
import platform
import time

import numpy as np

from vibrel._native import RustLshIndex
from vibrel.lsh import PythonLshIndex
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # bench/, also under -P
from machine import cpu_name, pool_threads


def timed(fn, *args, **kwargs):
    t0 = time.perf_counter()
    out = fn(*args, **kwargs)
    return out, time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=1_000_000, help="indexed points")
    ap.add_argument("--n-static", type=int, default=None, help="static points (default: all)")
    ap.add_argument("--d", type=int, default=16)
    ap.add_argument("--l", type=int, default=8, help="hash tables")
    ap.add_argument("--b", type=int, default=4, help="buckets per digit")
    ap.add_argument("--digits", type=int, default=9, help="digits per key (the index's k)")
    ap.add_argument("--probes", type=int, default=2)
    ap.add_argument("--block", type=int, default=1, help="1 = per-query path")
    ap.add_argument("--queries", type=int, default=20_000)
    ap.add_argument("--k", type=int, default=10, help="neighbours per query")
    ap.add_argument("--repeat", type=int, default=3, help="timed runs of the native batch (best kept)")
    ap.add_argument("--recall-queries", type=int, default=500, help="0 skips cKDTree")
    ap.add_argument("--reference-queries", type=int, default=1000, help="0 skips the reference")
    ap.add_argument("--seed", type=int, default=12345)
    args = ap.parse_args()

    rng = np.random.default_rng(args.seed)
    n_static = args.n if args.n_static is None else args.n_static
    points = rng.random((args.n, args.d))
    queries = rng.random((args.queries, args.d))
    s = rng.integers(0, args.d, (args.l, args.digits), dtype=np.int64)
    u = rng.random((args.l, args.digits))

    print(f"cpu: {cpu_name()}; pool threads: {pool_threads()}; python {platform.python_version()}, "
          f"numpy {np.__version__}")
    print(f"workload: n={args.n} (static {n_static}), d={args.d}, l={args.l}, b={args.b}, k={args.digits} digits, "
          f"probes={args.probes}, block={args.block}, {args.queries} queries, k={args.k} neighbours")

    index = RustLshIndex(args.b, args.digits, args.l, args.probes, s, u, args.block)
    _, t_build = timed(index.build, points, n_static)
    print(f"native build: {t_build:.2f} s")

    index.query_knn(queries[: min(1000, args.queries)], args.k)  # warm the pool and the caches
    best = None
    for _ in range(args.repeat):
        index.reset_stats()
        (ids, dists), wall = timed(index.query_knn, queries, args.k)
        if best is None or wall < best[0]:
            best = (wall, index.stats(), ids, dists)
    wall, st, ids, dists = best
    qps = args.queries / wall
    threads = pool_threads()
    print(f"native: {qps:,.0f} queries/s ({wall * 1e3:.1f} ms for {args.queries}, best of {args.repeat})")
    print(f"  candidates per query: {st['cands'] / st['queries']:.1f}; relaxed: {st['relaxed']}")
    print(f"  per query (CPU time summed over workers): gather {st['gather_ns'] / st['queries']:.0f} ns, "
          f"refine {st['refine_ns'] / st['queries']:.0f} ns, relax {st['relax_ns'] / st['queries']:.0f} ns")
    print(f"  ns per distance evaluation (refine_ns / pairs, one core): {st['refine_ns'] / max(st['pairs'], 1):.2f}")
    print(f"  wall ns per evaluation x threads (whole query): {wall * 1e9 * threads / max(st['pairs'], 1):.2f}")

    if args.recall_queries > 0:
        from scipy.spatial import cKDTree

        m = min(args.recall_queries, args.queries)
        tree, t_tree = timed(cKDTree, points, boxsize=1.0)
        (_, exact), t_q = timed(tree.query, queries[:m], k=args.k, p=1, workers=-1)
        exact = exact.reshape(m, -1)
        hits = sum(len(set(ids[i].tolist()) & set(exact[i].tolist())) for i in range(m))
        print(f"recall@{args.k} vs cKDTree on {m} queries: {hits / (m * args.k):.4f}")
        print(f"cKDTree(boxsize=1.0, p=1, workers=-1): build {t_tree:.1f} s, {m / t_q:.2f} queries/s")

    if args.reference_queries > 0:
        m = min(args.reference_queries, args.queries)
        ref = PythonLshIndex(args.b, args.digits, args.l, args.probes, s, u, args.block)
        _, t_ref_build = timed(ref.build, points, n_static)
        (rids, rdists), t_ref = timed(ref.query_knn, queries[:m], args.k)
        ref_qps = m / t_ref
        same = np.mean(np.all(rids == ids[:m], axis=1))
        print(f"reference: build {t_ref_build:.1f} s, {ref_qps:,.0f} queries/s on {m} queries "
              f"(rows identical to native: {same:.4f}); native/reference: {qps / ref_qps:.0f}x")


if __name__ == "__main__":
    main()
