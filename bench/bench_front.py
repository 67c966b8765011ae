"""Recall and speed of vibrel.ToroidalNN with its default parameters.

For each data set: fit with the defaults, answer the self-join of a sample of
points, and compare with the exact answer of an exhaustive scan (b=1, every
point compared; its exactness is tested against a NumPy brute force in the test
suite). Prints a Markdown table: the parameters chosen, build time, time per
query, points compared per query, recall@10 (a neighbour counts when its
distance is at most the true 10th distance + 1e-3) and the speed-up over the
exhaustive scan. Then the same for a range of `effort` values.

    PYTHONPATH=build/dev/python /usr/bin/python3 bench/bench_front.py [--n 200000] [--queries 2000]
"""

import argparse
import os
import platform
import time

import numpy as np

from vibrel import ToroidalNN, _exact


def clustered(rng, n, d, sigma=0.02, per_cluster=2000):
    centres = rng.random((max(1, n // per_cluster), d))
    X = centres[rng.integers(0, len(centres), n)] + rng.normal(0.0, sigma, (n, d))
    return X - np.floor(X)


def measure(X, n_queries, effort=1.0, seed=0):
    n = X.shape[0]
    rows = np.sort(np.random.default_rng(seed + 1).choice(n, min(n_queries, n), replace=False))
    model = ToroidalNN(random_state=seed, effort=effort, backend="native")
    start = time.perf_counter()
    model.fit(X)
    t_build = time.perf_counter() - start
    model.index_.reset_stats()
    start = time.perf_counter()
    dist, _ = model._self_knn_rows(rows, 10)
    t_query = time.perf_counter() - start
    compared = model.index_.stats()["cands"] / len(rows)
    scan = ToroidalNN(b=1, k=1, l=1, probes=0, backend="native").fit(X)
    start = time.perf_counter()
    true_dist, _ = scan._self_knn_rows(rows, 10)
    t_scan = time.perf_counter() - start
    return dict(params=model.params_, build=t_build, us=1e6 * t_query / len(rows), compared=compared,
                share=compared / n, recall=_exact.recall(dist, true_dist),
                strict=_exact.recall(dist, true_dist, tolerance=1e-6), speedup=t_scan / t_query)


def row(name, n, d, r, effort=None):
    p = r["params"]
    eff = "" if effort is None else f" | {effort:g}"
    return (f"| {name} | {n:,} | {d}{eff} | b={p['b']} k={p['k']} l={p['l']} probes={p['probes']} | "
            f"{r['build']:.2f} | {r['us']:.1f} | {r['compared']:,.0f} ({100 * r['share']:.2f}%) | "
            f"{r['recall']:.3f} ({r['strict']:.3f}) | {r['speedup']:.0f}x |")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, nargs="+", default=[20_000, 200_000])
    parser.add_argument("--queries", type=int, default=2000)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    print(f"CPU: {platform.processor() or platform.machine()}, {os.cpu_count()} hardware threads, "
          f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(unset)')}; release build")
    head = ("| data | n | d | parameters | build s | us/query | compared per query | recall@10 (strict) "
            "| vs scan |\n|---|---|---|---|---|---|---|---|---|")
    print(head)
    for n in args.n:
        for d in (1, 2, 4, 6, 8, 16):
            print(row("uniform", n, d, measure(rng.random((n, d)), args.queries)), flush=True)
        for d in (8, 32, 128):
            print(row("clustered", n, d, measure(clustered(rng, n, d), args.queries)), flush=True)
    n = max(args.n)
    print("\n" + head.replace("| d |", "| d | effort |").replace("|---|---|---|", "|---|---|---|---|", 1))
    for d in (8, 16):
        X = rng.random((n, d))
        for effort in (0.5, 1.0, 2.0, 4.0):
            print(row("uniform", n, d, measure(X, args.queries, effort), effort), flush=True)


if __name__ == "__main__":
    main()
