"""vibrel.ToroidalNN on periodic boxes against SciPy's periodic k-d tree
(cKDTree with boxsize), in one run:

1. exactness: recall=1.0 on the box (2, 1, 3), both metrics: the largest
   relative and absolute difference from the tree's distances, the share within
   1e-5 relative, and the recall (a neighbour counts when its distance is at
   most the true k-th distance, ties allowed; then with that distance allowed
   1e-5 relative, and "+f32" the rounding of single-precision coordinates,
   4 d ulp(period), since the index's distances are single precision);
2. speed: the unit cube, l2 at the default recall target: recall and queries/s
   against tree.query(k, p=2, workers=-1);
3. radius: the box (2, 1, 3), l2, r = 0.08, default target: the share of
   query_ball_point's pairs found;
4. L1 on the unit torus through RustLshIndex and through PeriodicLshIndex
   (no period) with the same setting, whose speeds decide which the front uses.

Times are the best of `--repeat` runs; queries are answered by the index's
tables (kneighbors), the tree's by its query.

    .venv/bin/python bench/bench_periodic.py [--n 1000000] [--exact-n 100000] [--queries 20000]
"""

import argparse
import os
import sys

import numpy as np
from scipy.spatial import cKDTree

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_front import best_time  # noqa: E402
from machine import cpu_name, pool_threads  # noqa: E402
from vibrel import ToroidalNN  # noqa: E402
from vibrel._backend import build_index  # noqa: E402
from vibrel._params import HashParams  # noqa: E402
from vibrel._periodic import PeriodicLshIndex  # noqa: E402

BOX = np.array([2.0, 1.0, 3.0])
K = 10


def recall(found, true, slack=0.0, rel=0.0):
    return float(np.mean(found <= true[:, -1:] * (1 + rel) + slack))


def exactness(rng, n, m):
    points, queries = rng.random((n, 3)) * BOX, rng.random((m, 3)) * BOX
    tree = cKDTree(points, boxsize=BOX)
    slack = 4 * 3 * np.spacing(np.float32(BOX.max()))
    for metric, p in (("l1", 1), ("l2", 2)):
        model = ToroidalNN(K, metric=metric, period=BOX, recall=1.0).fit(points)
        found = model.kneighbors(queries)[0]
        want = tree.query(queries, K, p=p)[0]
        rel = np.abs(found - want) / want
        print(f"exact {metric}: n={n} m={m} max rel {rel.max():.2e}, max abs {np.abs(found - want).max():.2e}, "
              f"within 1e-5 rel {np.mean(rel <= 1e-5):.5f}, recall {recall(found, want):.5f}, "
              f"1e-5 rel {recall(found, want, rel=1e-5):.5f}, +f32 {recall(found, want, slack):.5f}")


def speed(rng, n, m, repeat):
    points, queries = rng.random((n, 3)), rng.random((m, 3))
    t_fit, model = best_time(lambda: ToroidalNN(K, metric="l2", random_state=0).fit(points), 1)
    tree = cKDTree(points, boxsize=1.0)
    t_tree, (want, _) = best_time(lambda: tree.query(queries, K, p=2, workers=-1), repeat)
    t_ours, (found, _) = best_time(lambda: model.kneighbors(queries), repeat)
    print(f"speed l2 unit cube: n={n} m={m} params {model.params_} fit {t_fit:.1f} s; recall "
          f"{recall(found, want, rel=1e-5):.4f}; vibrel {m / t_ours:,.0f} q/s, tree {m / t_tree:,.0f} q/s: "
          f"{t_tree / t_ours:.2f}x")
    return points, queries


def radius(rng, n, m, r=0.08):
    points, queries = rng.random((n, 3)) * BOX, rng.random((m, 3)) * BOX
    model = ToroidalNN(K, metric="l2", period=BOX, random_state=0).fit(points)
    graph = model.radius_neighbors_graph(queries, r)
    indptr, ids = graph.indptr, graph.indices
    want = cKDTree(points, boxsize=BOX).query_ball_point(queries, r, p=2)
    total = sum(len(w) for w in want)
    hit = sum(len(set(ids[indptr[i]:indptr[i + 1]].tolist()) & set(w)) for i, w in enumerate(want))
    print(f"radius l2 box {tuple(BOX)} r={r}: n={n} m={m} params {model.params_}; recall {hit / total:.4f} "
          f"({total} pairs)")


def unit_l1(points, queries, repeat):
    model = ToroidalNN(K, random_state=0).fit(points)
    p = model.params_
    params = HashParams(p["b"], p["k"], p["l"], p["probes"])
    engines = {"RustLshIndex": type(model.index_),
               "PeriodicLshIndex": lambda *a: PeriodicLshIndex(*a, metric="l1")}
    indexes = {name: build_index(e, params, model.s_, model.u_, p["block"] or 0, points, points.shape[0])
               for name, e in engines.items()}
    best = dict.fromkeys(indexes, float("inf"))
    for _ in range(repeat):  # interleaved
        for name, index in indexes.items():
            best[name] = min(best[name], best_time(lambda: index.query_knn(queries, K), 1)[0])
    print("L1 unit torus, same setting " + str(p) + ": " +
          ", ".join(f"{name} {queries.shape[0] / t:,.0f} q/s" for name, t in best.items()))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--exact-n", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=20_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    print(f"{cpu_name()}, {pool_threads()} threads")
    rng = np.random.default_rng(0)
    exactness(rng, args.exact_n, min(args.queries, 2000))
    points, queries = speed(rng, args.n, args.queries, args.repeat)
    radius(rng, args.exact_n, min(args.queries, 2000))
    unit_l1(points, queries, args.repeat)


if __name__ == "__main__":
    main()
