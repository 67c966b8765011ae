"""vibrel demo: index a generated point set on the unit torus, find the nearest
neighbours of every point (a self-join), and check a sample of the answers
against the exhaustive search, which compares every point.

The report gives the fit (tuning included) and self-join times, the throughput,
the distance evaluations per query, the recall reached against the recall
target (a returned neighbour counts when its distance is at most the true k-th
distance), and the speed against the exhaustive search."""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

def make_points(kind: str, n: int, d: int, rng: np.random.Generator) -> np.ndarray:
    """Uniform points, or Gaussian clusters of about 2,000 points (sigma 0.02) wrapped onto the torus."""
    if kind == "uniform":
        return rng.random((n, d))
    centres = rng.random((max(1, n // 2000), d))
    points = centres[rng.integers(0, len(centres), n)] + rng.normal(0.0, 0.02, (n, d))
    return points - np.floor(points)


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="python -m vibrel", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="Hash parameters left out are tuned for the recall target (see vibrel.ToroidalNN). "
               "Worker threads: RAYON_NUM_THREADS, or --threads.")
    data = parser.add_argument_group("data")
    data.add_argument("-n", type=int, help="number of points (default 200000; 20000 on the slow NumPy reference)")
    data.add_argument("-d", type=int, default=8, help="dimension (default 8)")
    data.add_argument("-k", "--neighbors", type=int, default=10, metavar="K",
                      help="neighbours found for each point (default 10)")
    data.add_argument("--data", choices=("uniform", "clustered"), default="uniform",
                      help="uniform points, or Gaussian clusters of about 2000 points (default uniform)")
    data.add_argument("--seed", type=int, default=0, help="seed of the data and the hash (default 0)")
    index = parser.add_argument_group("index parameters")
    index.add_argument("--b", type=int, help="buckets per digit")
    index.add_argument("--digits", type=int, metavar="K", help="digits per key (the index's k)")
    index.add_argument("--tables", type=int, metavar="L", help="hash tables (the index's l)")
    index.add_argument("--probes", type=int, help="probed digits per table")
    index.add_argument("--recall", type=float, default=0.99,
                       help="share of the true neighbours to find; 1.0 is the exhaustive search (default 0.99)")
    index.add_argument("--block", type=int, help="query rows per block (default: one block per thread)")
    run = parser.add_argument_group("run")
    run.add_argument("--check", type=int, default=300, metavar="M",
                     help="points whose answers are checked against the exhaustive search (default 300)")
    run.add_argument("--backend", choices=("auto", "native", "reference"), default="auto",
                     help="engine (default auto: compiled when available)")
    run.add_argument("--threads", type=int, help="worker threads (sets RAYON_NUM_THREADS)")
    args = parser.parse_args(argv)
    if not 0.0 < args.recall <= 1.0:
        parser.error(f"--recall must be in (0, 1], got {args.recall:g}")
    for name in ("n", "d", "neighbors", "block"):
        if getattr(args, name) is not None and getattr(args, name) < 1:
            parser.error(f"{'-' if len(name) == 1 else '--'}{name} must be at least 1")
    if args.n is not None and args.neighbors >= args.n:
        parser.error(f"-k must be below -n: a point has only {args.n - 1} others")
    if args.check < 0:
        parser.error("--check must not be negative")
    return args


def threads_note() -> str:
    value = os.environ.get("RAYON_NUM_THREADS", "")
    if value.isdigit() and int(value) > 0:
        return f"{value} worker threads (RAYON_NUM_THREADS)"
    return f"one worker thread per hardware thread ({os.cpu_count()})"


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.threads is not None:
        os.environ["RAYON_NUM_THREADS"] = str(args.threads)  # read when the pool starts, below

    from vibrel import ToroidalNN, __version__, _backend, _exact

    _, backend = _backend.resolve(args.backend)
    rng = np.random.default_rng(args.seed)
    n = args.n if args.n is not None else (200_000 if backend == "native" else 20_000)
    d, kk = args.d, args.neighbors
    print(f"vibrel {__version__}: {n:,} {args.data} points in [0, 1)^{d}, "
          f"the {kk} nearest neighbours of every point under toroidal L1")
    points = make_points(args.data, n, d, rng)

    model = ToroidalNN(n_neighbors=kk, recall=args.recall, b=args.b, k=args.digits, l=args.tables,
                       probes=args.probes, block=args.block, random_state=args.seed, backend=backend,
                       verbose=True)
    start = time.perf_counter()
    try:
        model.fit(points)
    except (ValueError, TypeError) as err:
        print(f"python -m vibrel: error: {err}", file=sys.stderr)
        return 2
    t_fit = time.perf_counter() - start
    p = model.params_
    print(f"engine      {model.backend_}, {threads_note()}")
    print(f"parameters  b={p['b']} k={p['k']} l={p['l']} probes={p['probes']} block={p['block']}, "
          f"tables {model.table_bytes_ / 2 ** 20:,.1f} MiB")
    print(f"fit         {t_fit:8.2f} s  {n / t_fit:12,.0f} points/s, tuning included")

    model.index_.reset_stats()
    start = time.perf_counter()
    dist, _ = model.kneighbors()
    t_join = time.perf_counter() - start
    per_query = model.index_.stats()["pairs"] / n
    print(f"self-join   {t_join:8.2f} s  {n / t_join:12,.0f} queries/s, {per_query:,.0f} distance "
          f"evaluations per query ({100 * per_query / n:.2f}% of the points)")

    m = min(args.check, n)
    if m:
        rows = np.sort(rng.choice(n, m, replace=False))
        scan = ToroidalNN(n_neighbors=kk, recall=1.0, backend=model.backend_).fit(points)
        start = time.perf_counter()
        true_dist, _ = scan.kneighbors(ids=rows)
        t_scan = (time.perf_counter() - start) / m * n
        reached = _exact.recall(dist[rows], true_dist)
        print(f"recall@{kk:<3d} {reached:8.3f}   reached on {m:,} points (target {args.recall:g}, "
              f"estimated at fit {model.recall_estimate_:.3f} +- {model.recall_error_:.3f})")
        print(f"exhaustive  {t_scan:8.2f} s  estimated for the whole self-join (every point compared): "
              f"the hashed search is {ratio(t_scan / t_join)}")
        few = rows[:16]
        oracle_dist, _ = _exact.knn(points, points[few], kk, exclude=few)
        if not np.array_equal(oracle_dist, true_dist[:16]):
            print("warning: the exhaustive search disagrees with the NumPy brute force", file=sys.stderr)
            return 1
    if model.backend_ == "native":
        print(f"tables      {'byte-identical' if same_tables(model, points) else 'DIFFERENT'} to the NumPy "
              f"reference on the first {min(n, 20_000):,} points")
    return 0


def ratio(speedup: float) -> str:
    """A speed ratio that reads right on both sides of 1."""
    if speedup >= 1.0:
        return f"{speedup:.1f}x faster"
    return f"{speedup:.1f}x (slower)"


def same_tables(model, points: np.ndarray) -> bool:
    """Builds the compiled index and the reference from the model's parameters on a
    sample and compares their tables byte for byte."""
    from vibrel._backend import build_index
    from vibrel._native import RustLshIndex
    from vibrel._params import HashParams
    from vibrel.lsh import PythonLshIndex

    sample = points[:20_000]
    p = model.params_
    tables = []
    for engine in (RustLshIndex, PythonLshIndex):
        index = build_index(engine, HashParams(p["b"], p["k"], p["l"], p["probes"]), model.s_, model.u_,
                            p["block"] or 0, sample, sample.shape[0] * 9 // 10)
        tables.append(index.tables())
    return all(np.array_equal(tables[0][name], tables[1][name]) for name in tables[0])


if __name__ == "__main__":
    sys.exit(main())
