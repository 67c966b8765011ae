"""Large k: a query that asks for (nearly) every point, against a NumPy argsort
of the same distances.

Builds the compiled index on n points and answers `--queries` single-row calls
with k = n, so every point is a neighbour: the collector keeps everything it
is offered. Reports milliseconds per row for the index, for NumPy (toroidal L1
distances to all points, then argsort) and for the argsort alone, the ratios, and recall (a returned
neighbour counts when its distance is at most the true k-th distance).

    PYTHONSAFEPATH=1 .venv/bin/python bench/bench_large_k.py [--n 20000] [--k 20000]
"""

import argparse
import time

import numpy as np

from vibrel import _exact
from vibrel._native import RustLshIndex


def distances(points, q):
    """The index's own distances of one query to every point, from the oracle."""
    return _exact.toroidal(q[None, :], points)[0]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=20_000)
    ap.add_argument("--k", type=int, default=None, help="default: n")
    ap.add_argument("--d", type=int, default=16)
    ap.add_argument("--queries", type=int, default=20)
    ap.add_argument("--seed", type=int, default=5)
    args = ap.parse_args()
    k = args.n if args.k is None else args.k
    rng = np.random.default_rng(args.seed)
    points = rng.random((args.n, args.d))
    queries = rng.random((args.queries, args.d))
    index = RustLshIndex(4, 6, 4, 2, rng.integers(0, args.d, (4, 6)), rng.random((4, 6)))
    index.build(points, args.n)

    dists = [distances(points, q) for q in queries]
    native = numpy = argsort_only = float("inf")
    for _ in range(3):
        t0 = time.perf_counter()
        answers = [index.query_knn(q[None, :], k) for q in queries]
        native = min(native, time.perf_counter() - t0)
        t0 = time.perf_counter()
        orders = [np.argsort(distances(points, q), kind="stable")[:k] for q in queries]
        numpy = min(numpy, time.perf_counter() - t0)
        t0 = time.perf_counter()
        for dist in dists:
            np.argsort(dist, kind="stable")
        argsort_only = min(argsort_only, time.perf_counter() - t0)
    found = np.vstack([dist for _, dist in answers])
    truth = np.vstack([dist[order] for dist, order in zip(dists, orders)])
    per_row = 1e3 / args.queries
    print(f"n={args.n} k={k} d={args.d} rows={args.queries}: index {native * per_row:.2f} ms/row, "
          f"numpy distances + argsort {numpy * per_row:.2f} ms/row (ratio {native / numpy:.2f}), "
          f"argsort alone {argsort_only * per_row:.2f} ms/row (ratio {native / argsort_only:.2f}), recall {_exact.recall(found, truth):.4f}")


if __name__ == "__main__":
    main()
