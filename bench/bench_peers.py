"""vibrel.ToroidalNN against neighbour libraries from PyPI, in one run:

1. a periodic box (3-d, L2 under the minimum image): every point's k nearest
   and the pair list within a radius, against freud-analysis (AABBQuery, exact,
   periodic) and SciPy's periodic k-d tree;
2. the unit torus in d dimensions (L2): kNN of fresh queries against hnswlib
   and faiss-cpu (HNSW), which know no periodic metric, so the points go in as
   (cos 2 pi x, sin 2 pi x) per coordinate; their answers are scored, and also
   re-ranked from 2k candidates, with the true toroidal distance.

Recall: a neighbour counts when its toroidal distance is at most the true k-th
distance (from SciPy's periodic k-d tree) times 1 + 1e-5 (vibrel's distances
are single precision). Times are wall seconds, the best of `--repeat` runs for
queries; builds once. Every library uses every hardware thread.

Needs the optional benchmark peers: pip install ".[bench]" (into .venv-pypi:
.venv-pypi/bin/python -m pip install -c tools/pypi-stack.txt freud-analysis faiss-cpu hnswlib).

    python bench/bench_peers.py [--n 200000] [--queries 20000] [--d 8]
"""

import argparse
import os
import sys
import time

import numpy as np
from scipy.spatial import cKDTree

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_front import best_time  # noqa: E402
from machine import cpu_name, pool_threads  # noqa: E402
from vibrel import ToroidalNN  # noqa: E402

REL = 1e-5


def timed(call):
    start = time.perf_counter()
    out = call()
    return time.perf_counter() - start, out


def recall(found, true_kth):
    """Share of the found distances within the true k-th (per row)."""
    return float(np.mean(found <= true_kth[:, None] * (1 + REL)))


def periodic_distance(points, queries, ind, box):
    diff = np.abs(points[ind] - queries[:, None, :])
    diff = np.minimum(diff, box - diff)
    return np.sqrt((diff * diff).sum(axis=-1))


def row(name, build, query, quality, yard):
    print(f"| {name} | {build:.2f} | {query:.3f} | {quality} | {yard / query:.2f}x |")


def box_workload(rng, n, k, repeat):
    """Particles at liquid density (about one per unit volume) in a box (Lx, Ly, Lz)."""
    import freud

    box = np.array([1.0, 0.8, 1.25]) * np.cbrt(n)
    points = rng.random((n, 3)) * box
    radius = 1.5
    print(f"\n### periodic box {tuple(np.round(box, 2))}, n = {n:,}, L2: self-join k = {k}, pairs within r = {radius}\n")
    print("| library | build s | query s | recall / pairs | speed vs tree |")
    print("|---|---:|---:|---|---:|")

    t_tree_build, tree = timed(lambda: cKDTree(points, boxsize=box))
    t_tree, (want, _) = best_time(lambda: tree.query(points, k + 1, workers=-1), repeat)
    kth = want[:, -1]
    row("SciPy cKDTree(boxsize)", t_tree_build, t_tree, "exact", t_tree)

    t_fit, model = timed(lambda: ToroidalNN(k, metric="l2", period=box, random_state=0).fit(points))
    t_ours, (found, _) = best_time(lambda: model.kneighbors(), repeat)
    row(f"vibrel (recall=0.99, {model.params_['b']}/{model.params_['k']}/{model.params_['l']}/"
        f"{model.params_['probes']})", t_fit, t_ours, f"{recall(found, kth):.4f}", t_tree)

    fbox = freud.box.Box(*box)
    centred = (points - box / 2).astype(np.float32)  # freud's box is centred on the origin
    t_aabb, aabb = timed(lambda: freud.locality.AABBQuery(fbox, centred))
    query = dict(num_neighbors=k, exclude_ii=True)
    t_freud, nlist = best_time(lambda: aabb.query(centred, query).toNeighborList(), repeat)
    dist = np.full((n, k), np.inf)
    counts = np.bincount(nlist.query_point_indices, minlength=n)
    slots = np.arange(len(nlist.distances)) - np.repeat(np.cumsum(counts) - counts, counts)
    dist[nlist.query_point_indices, slots] = nlist.distances
    row("freud AABBQuery", t_aabb, t_freud, f"{recall(dist, kth):.4f}", t_tree)

    print("\npair list within r (each pair once per direction for vibrel and freud, once for the tree):\n")
    print("| library | query s | pairs | speed vs tree |")
    print("|---|---:|---:|---:|")
    t_tree_pairs, pairs = best_time(lambda: tree.query_pairs(radius, output_type="ndarray"), repeat)
    print(f"| SciPy query_pairs | {t_tree_pairs:.3f} | {2 * len(pairs):,} | 1.00x |")
    t_graph, graph = best_time(lambda: model.radius_neighbors_graph(radius=radius, mode="distance"), repeat)
    print(f"| vibrel radius_neighbors_graph | {t_graph:.3f} | {graph.nnz:,} | {t_tree_pairs / t_graph:.2f}x |")
    within = dict(r_max=radius, exclude_ii=True)
    t_fpairs, plist = best_time(lambda: aabb.query(centred, within).toNeighborList(), repeat)
    print(f"| freud AABBQuery r_max | {t_fpairs:.3f} | {len(plist.distances):,} | {t_tree_pairs / t_fpairs:.2f}x |")


def torus_workload(rng, n, m, d, k, repeat):
    import faiss
    import hnswlib

    points, queries = rng.random((n, d)), rng.random((m, d))
    print(f"\n### unit torus d = {d}, n = {n:,}, {m:,} fresh queries, L2, k = {k}\n")
    print("| library | build s | query s | recall@k | speed vs tree |")
    print("|---|---:|---:|---:|---:|")
    t_tree_build, tree = timed(lambda: cKDTree(points, boxsize=1.0))
    t_tree, (want, _) = best_time(lambda: tree.query(queries, k, workers=-1), repeat)
    kth = want[:, -1]
    row("SciPy cKDTree(boxsize)", t_tree_build, t_tree, "1 (exact)", t_tree)

    for target in (0.9, 0.99):
        t_fit, model = timed(lambda: ToroidalNN(k, metric="l2", recall=target, random_state=0).fit(points))
        t_ours, (found, _) = best_time(lambda: model.kneighbors(queries), repeat)
        row(f"vibrel recall={target}", t_fit, t_ours, f"{recall(found, kth):.4f}", t_tree)

    def embed(x):
        angle = 2 * np.pi * x
        return np.concatenate([np.cos(angle), np.sin(angle)], axis=1).astype(np.float32)

    pe, qe = embed(points), embed(queries)

    def scored(ind, rerank):
        dist = periodic_distance(points, queries, ind, 1.0)
        if rerank:
            dist = np.sort(dist, axis=1)
        return f"{recall(dist[:, :k], kth):.4f}"

    t_h, hnsw = timed(lambda: _hnswlib_index(hnswlib, pe))
    for ef in (64, 256):
        hnsw.set_ef(max(ef, 2 * k))
        for rerank in (False, True):
            fetch = 2 * k if rerank else k
            t_q, (ind, _) = best_time(lambda: hnsw.knn_query(qe, fetch), repeat)
            row(f"hnswlib ef={ef}{' +rerank 2k' if rerank else ''}", t_h, t_q, scored(ind.astype(np.int64), rerank),
                t_tree)

    t_f, flat = timed(lambda: _faiss_hnsw(faiss, pe))
    for ef in (64, 256):
        flat.hnsw.efSearch = max(ef, 2 * k)
        for rerank in (False, True):
            fetch = 2 * k if rerank else k
            t_q, (_, ind) = best_time(lambda: flat.search(qe, fetch), repeat)
            row(f"faiss IndexHNSWFlat ef={ef}{' +rerank 2k' if rerank else ''}", t_f, t_q, scored(ind, rerank),
                t_tree)


def _hnswlib_index(hnswlib, data):
    index = hnswlib.Index(space="l2", dim=data.shape[1])
    index.init_index(max_elements=data.shape[0], M=16, ef_construction=200, random_seed=0)
    index.add_items(data, np.arange(data.shape[0]))
    return index


def _faiss_hnsw(faiss, data):
    index = faiss.IndexHNSWFlat(data.shape[1], 16)
    index.hnsw.efConstruction = 200
    index.add(data)
    return index


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--queries", type=int, default=20_000)
    parser.add_argument("--d", type=int, default=8)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only", choices=("box", "torus"))
    args = parser.parse_args()
    import numpy
    import scipy
    print(f"{cpu_name()}, {pool_threads()} threads; NumPy {numpy.__version__}, SciPy {scipy.__version__}")
    rng = np.random.default_rng(0)
    if args.only in (None, "box"):
        box_workload(rng, args.n, args.k, args.repeat)
    if args.only in (None, "torus"):
        torus_workload(rng, args.n, args.queries, args.d, args.k, args.repeat)


if __name__ == "__main__":
    main()
