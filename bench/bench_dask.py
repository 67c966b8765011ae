"""vibrel.dask.DaskToroidalNN on a LocalCluster of worker processes against one
ToroidalNN in this process, on the same machine.

1. recall=1.0: the sharded answers (ids and distances, fresh queries and the
   candidates' self-join) are compared with ToroidalNN(recall=1.0) before and
   after an update of the candidates.
2. The default target (recall=0.99, k=10): recall reached on fresh queries (a
   neighbour counts when its distance is at most the true k-th distance).
3. Throughput: queries per second and seconds per epoch (update of the
   candidates, then their self-join), sharded against one index; the best of
   `--repeat` interleaved timings.
4. Merge cost against the number of shards (1, 2, 4, 8): a kNN call's time, and
   the part of it spent merging the shards' answers on the client.

    .venv/bin/python bench/bench_dask.py [--n 200000] [--chunks 4] [--static 180000] [--d 8]
        [--queries 5000] [--workers 2] [--repeat 3]
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import dask.array as da  # noqa: E402
import distributed  # noqa: E402

from machine import cpu_name  # noqa: E402
from vibrel import ToroidalNN, _exact  # noqa: E402
from vibrel.dask import DaskToroidalNN, _knn, _merge_knn  # noqa: E402
from workloads import uniform  # noqa: E402


def best(repeat, *calls):
    """The least wall time of each call over `repeat` interleaved rounds."""
    times = [[] for _ in calls]
    for _ in range(repeat):
        for out, call in zip(times, calls):
            start = time.perf_counter()
            call()
            out.append(time.perf_counter() - start)
    return [min(t) for t in times]


def identical(one, many, queries, ids):
    return all(np.array_equal(a, b) for args in ({"X": queries}, {"X": None, "ids": ids})
               for a, b in zip(one.kneighbors(**args), many.kneighbors(**args)))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--n", type=int, default=200_000)
    ap.add_argument("--chunks", type=int, default=4)
    ap.add_argument("--static", type=int, default=180_000)
    ap.add_argument("--d", type=int, default=8)
    ap.add_argument("--queries", type=int, default=5000)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--repeat", type=int, default=3)
    a = ap.parse_args()
    rng = np.random.default_rng(0)
    X, Q = uniform(rng, a.n, a.queries, a.d)
    cand = np.arange(a.static, a.n)
    moved = rng.random((a.n - a.static, a.d))
    print(f"# {cpu_name()}, {os.cpu_count()} CPUs; LocalCluster of {a.workers} worker processes, one "
          f"thread each; uniform d={a.d}, n={a.n:,} in {a.chunks} chunks, n_static={a.static:,}, "
          f"{a.queries:,} queries")
    with distributed.LocalCluster(n_workers=a.workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        chunked = da.from_array(X, chunks=-(-a.n // a.chunks))

        one = ToroidalNN(10, recall=1.0).fit(X, n_static=a.static)
        many = DaskToroidalNN(10, recall=1.0).fit(chunked, n_static=a.static)
        before = identical(one, many, Q, cand)
        true_dist = one.kneighbors(Q)[0]
        one.update(moved), many.update(moved)
        after = identical(one, many, Q, cand)
        print(f"recall=1.0: identical to ToroidalNN(recall=1.0) before update {before}, after {after}")

        one = ToroidalNN(10).fit(X, n_static=a.static)
        many = DaskToroidalNN(10).fit(chunked, n_static=a.static)
        reached = _exact.recall(many.kneighbors(Q)[0], true_dist)
        print(f"default target: setting {many.params_}, recall@10 estimated "
              f"{many.recall_estimate_:.4f}, reached {reached:.4f} "
              f"(one index: {_exact.recall(one.kneighbors(Q)[0], true_dist):.4f}, its setting {one.params_})")

        t_one, t_many = best(a.repeat, lambda: one.kneighbors(Q), lambda: many.kneighbors(Q))
        e_one, e_many = best(a.repeat, lambda: one.update(moved).kneighbors(ids=cand),
                             lambda: many.update(moved).kneighbors(ids=cand))
        print(f"queries/s: one index {a.queries / t_one:,.0f}, sharded {a.queries / t_many:,.0f} "
              f"({t_many / t_one:.1f}x the time)")
        print(f"epoch (update + candidates' self-join): one index {e_one:.3f} s, sharded {e_many:.3f} s "
              f"({e_many / e_one:.1f}x)")

        print("shards  kNN call s  merge s  merge share")
        for shards in (1, 2, 4, 8):
            model = DaskToroidalNN(10, n_shards=shards, random_state=0).fit(X, n_static=a.static)
            queries = np.ascontiguousarray(Q)
            (t_call,) = best(a.repeat, lambda: model.kneighbors(queries))
            parts = model._eager(_knn, queries, 10)
            (t_merge,) = best(a.repeat, lambda: _merge_knn(parts, 10))
            print(f"{shards:6d}  {t_call:10.3f}  {t_merge:7.4f}  {t_merge / t_call:11.1%}")


if __name__ == "__main__":
    main()
