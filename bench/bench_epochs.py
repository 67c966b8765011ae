"""Epoch benchmark: the two-tier cycle of the compiled index.

Each epoch moves every candidate by a small random step (uniform in +-step per
coordinate, wrapped), calls `update`, and answers a self-join `query_knn` of
the candidates (k = 10, each candidate excluding itself) when the engine has
queries; every `--promote-every` epochs a new batch of candidates is promoted.

    PYTHONPATH=build/dev/python /usr/bin/python3 bench/bench_epochs.py --size small
    PYTHONPATH=build/dev/python /usr/bin/python3 bench/bench_epochs.py --size large --epochs 10

Reported per epoch: the time of `update`, the share of candidate keys that
changed, and (with queries) the query time and recall@10 against the exact
answer of a sample of candidates. Baselines: a full `build` of the same points,
hashing the candidates alone and one `update` in the core (the C++
micro-benchmark bench/maintenance_bench, when built), and rebuilding and
querying scipy's cKDTree with boxsize=1 (on a sample of queries, scaled up).
"""

import argparse
import glob
import json
import os
import subprocess
import sys
import time

import numpy as np

from vibrel._native import RustLshIndex
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # bench/, also under -P
from machine import cpu_name

SIZES = {"tiny": (18_000, 2_000), "small": (180_000, 20_000), "large": (900_000, 100_000)}


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def exact_knn(points32, queries32, query_ids, k):
    """Exact float32 toroidal-L1 neighbours of each query row, excluding its own id."""
    out = np.empty((len(queries32), k), dtype=np.int64)
    for i, (q, own) in enumerate(zip(queries32, query_ids)):
        a = np.abs(points32 - q)
        dist = np.minimum(a, np.float32(1) - a).sum(axis=1, dtype=np.float32)
        dist[own] = np.inf
        nearest = np.argpartition(dist, k)[:k]
        out[i] = nearest[np.lexsort((nearest, dist[nearest]))]
    return out


def core_microbenchmark(n_static, n_cand):
    """Hashing the candidates alone and one update, in the core (ms), if the
    micro-benchmark was built."""
    here = os.path.dirname(os.path.abspath(__file__))
    found = sorted(glob.glob(os.path.join(here, "..", "build", "*", "bench", "maintenance_bench")))
    if not found:
        return None
    out = subprocess.run([found[-1], "--benchmark_format=json", "--benchmark_min_time=2",
                          f"--benchmark_filter=(HashCandidates|Update)/n_static:{n_static}/n_cand:{n_cand}/"],
                         capture_output=True, text=True, check=False)
    if out.returncode != 0 or not out.stdout.strip():
        return None  # no micro-benchmark of this size
    return {b["name"].split("/")[0]: b["real_time"] for b in json.loads(out.stdout)["benchmarks"]}


def kdtree_epoch(points, n_static, sample, k):
    """Seconds to rebuild cKDTree(boxsize=1) over all points and answer the
    candidates' self-join, the query part scaled up from `sample` queries."""
    from scipy.spatial import cKDTree

    build_s, tree = timed(lambda: cKDTree(points, boxsize=1.0))
    queries = points[n_static:n_static + sample]
    query_s, _ = timed(lambda: tree.query(queries, k=k + 1, p=1))
    return build_s, query_s * (len(points) - n_static) / sample


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", choices=SIZES, default="small")
    parser.add_argument("--epochs", type=int, default=20)
    parser.add_argument("--promote-every", type=int, default=10)
    parser.add_argument("--step", type=float, default=0.002)
    parser.add_argument("-d", type=int, default=16)
    parser.add_argument("--l", type=int, default=8)
    parser.add_argument("--b", type=int, default=4)
    parser.add_argument("--k", type=int, default=9)
    parser.add_argument("--knn", type=int, default=10)
    parser.add_argument("--recall-sample", type=int, default=200, help="candidates whose exact answer is computed")
    parser.add_argument("--kdtree-sample", type=int, default=100, help="queries timed on cKDTree (0: skip)")
    args = parser.parse_args()

    n_static, n_cand = SIZES[args.size]
    d = args.d
    rng = np.random.default_rng(0)
    s = rng.integers(0, d, size=(args.l, args.k), dtype=np.int64)
    u = rng.random((args.l, args.k))
    points = rng.random((n_static + n_cand, d))
    index = RustLshIndex(args.b, args.k, args.l, 2, s, u)
    index.build(points, n_static)
    has_queries = hasattr(index, "query_knn")

    threads = os.environ.get("RAYON_NUM_THREADS", str(os.cpu_count()))
    print(f"machine: {cpu_name()}, {os.cpu_count()} cpus, pool threads {threads}, Python {sys.version.split()[0]}, "
          f"NumPy {np.__version__}; module {os.path.dirname(sys.modules['vibrel._native'].__file__)}")
    print(f"workload: n_static={n_static}, n_cand={n_cand}, d={d}, l={args.l}, b={args.b}, k={args.k}, "
          f"step=+-{args.step}, promote every {args.promote_every} epochs, self-join k={args.knn}")
    print("| epoch | update (ms) | keys changed | query (ms) | recall@10 | promote (ms) |")
    print("|---|---|---|---|---|---|")

    rows = []
    for epoch in range(1, args.epochs + 1):
        first = index.n_static
        cand = (points[first:] + rng.uniform(-args.step, args.step, (index.n_candidates, d))) % 1.0
        points[first:] = cand
        keys_before = index.tables()["cand_keys"]
        update_s, _ = timed(lambda: index.update(cand))
        changed = float((index.tables()["cand_keys"] != keys_before).mean())
        query_s = recall = None
        if has_queries:
            own = np.arange(first, first + len(cand), dtype=np.int64)
            query_s, (ids, _) = timed(lambda: index.query_knn(cand, args.knn, exclude_ids=own))
            pick = rng.choice(len(cand), size=min(args.recall_sample, len(cand)), replace=False)
            exact = exact_knn(points.astype(np.float32), cand[pick].astype(np.float32), own[pick], args.knn)
            recall = float(np.mean([len(set(a) & set(b)) / args.knn for a, b in zip(ids[pick], exact)]))
        promote_s = None
        if epoch % args.promote_every == 0:
            batch = rng.random((n_cand, d))
            promote_s, _ = timed(lambda: index.promote(batch))
            points = np.vstack([points, batch])
        rows.append((update_s, changed, query_s, recall, promote_s))
        fmt = lambda v, scale=1e3, spec=".1f": "-" if v is None else format(v * scale, spec)
        print(f"| {epoch} | {fmt(update_s)} | {fmt(changed, 100, '.2f')}% | {fmt(query_s)} | "
              f"{fmt(recall, 1, '.3f')} | {fmt(promote_s)} |")

    update_ms = 1e3 * float(np.median([r[0] for r in rows]))
    print(f"\nmedian update: {update_ms:.1f} ms; keys changed per epoch: "
          f"{100 * float(np.median([r[1] for r in rows])):.2f}%")
    promotes = [r[4] for r in rows if r[4] is not None]
    if promotes:
        print(f"promote: {', '.join(f'{1e3 * p:.1f}' for p in promotes)} ms")
    if has_queries:
        query_ms = 1e3 * float(np.median([r[2] for r in rows]))
        print(f"median self-join query: {query_ms:.1f} ms; median recall@10: "
              f"{float(np.median([r[3] for r in rows])):.3f}; epoch (update + query): {update_ms + query_ms:.1f} ms")
    else:
        print("query_knn is not in this build: epochs time update and promote only")

    fresh = RustLshIndex(args.b, args.k, args.l, 2, s, u)
    build_s = min(timed(lambda: fresh.build(points, index.n_static))[0] for _ in range(3))
    print(f"full build of the same {len(points)} points instead of update: {1e3 * build_s:.1f} ms "
          f"({1e3 * build_s / update_ms:.1f}x the median update)")
    core = core_microbenchmark(n_static, n_cand)
    if core:
        hashing, update = core["BM_HashCandidates"], core["BM_Update"]
        print(f"core micro-benchmark: hashing the {n_cand} candidates alone {hashing:.1f} ms, one update "
              f"{update:.1f} ms ({update / hashing:.2f}x the hashing); from Python the update took "
              f"{update_ms / hashing:.2f}x")
    if args.kdtree_sample:
        tree_build, tree_query = kdtree_epoch(points[: n_static + n_cand], n_static, args.kdtree_sample, args.knn)
        print(f"cKDTree(boxsize=1) per epoch: rebuild {1e3 * tree_build:.0f} ms + self-join "
              f"{tree_query:.1f} s (scaled up from {args.kdtree_sample} queries)")


if __name__ == "__main__":
    main()
