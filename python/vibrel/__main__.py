"""vibrel demo: index a generated point set on the unit torus, find the nearest
neighbours of every point (a self-join), and check a sample of the answers
against an exact brute-force scan.

The report gives the build and self-join times, the throughput, the share of
points each query was compared with, and the recall: the share of returned
neighbours that are among the true k nearest (a neighbour counts when its
distance is at most the true k-th distance + 1e-3)."""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

_PROGRESS_AFTER = 2.0  # seconds before a step starts showing its progress


class Progress:
    """A progress line on stderr for a step that runs longer than a couple of seconds."""

    def __init__(self, label: str, total: int) -> None:
        self.label, self.total = label, total
        self.start = self.last = time.perf_counter()
        self.shown = False
        self.tty = sys.stderr.isatty()

    def __call__(self, done: int) -> None:
        now = time.perf_counter()
        if now - self.start < _PROGRESS_AFTER or (not self.tty and now - self.last < 5.0):
            return
        self.last, self.shown = now, True
        rate = done / (now - self.start)
        eta = (self.total - done) / rate if rate > 0 else 0.0
        line = f"  {self.label}: {done:,}/{self.total:,} ({100 * done / self.total:.0f}%), about {eta:.0f} s left"
        print(("\r" + line.ljust(72)) if self.tty else line, end="" if self.tty else "\n",
              file=sys.stderr, flush=True)

    def close(self) -> None:
        if self.shown and self.tty:
            print("\r" + " " * 72 + "\r", end="", file=sys.stderr, flush=True)


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
        epilog="Hash parameters left out are chosen from n and d (see vibrel.ToroidalNN). "
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
    index.add_argument("--effort", type=float, default=1.0,
                       help="scales the default number of tables: more recall, more time (default 1.0)")
    index.add_argument("--block", type=int, default=1024, help="query rows per block (default 1024)")
    run = parser.add_argument_group("run")
    run.add_argument("--check", type=int, default=300, metavar="M",
                     help="points whose answers are checked against a brute-force scan (default 300)")
    run.add_argument("--backend", choices=("auto", "native", "reference"), default="auto",
                     help="engine (default auto: compiled when available)")
    run.add_argument("--threads", type=int, help="worker threads (sets RAYON_NUM_THREADS)")
    args = parser.parse_args(argv)
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

    model = ToroidalNN(n_neighbors=kk, b=args.b, k=args.digits, l=args.tables, probes=args.probes,
                       block=args.block, random_state=args.seed, backend=backend, effort=args.effort)
    start = time.perf_counter()
    model.fit(points)
    t_build = time.perf_counter() - start
    p = model.params_
    print(f"engine      {model.backend_}, {threads_note()}")
    print(f"parameters  b={p['b']} k={p['k']} l={p['l']} probes={p['probes']} block={p['block']}")
    print(f"build       {t_build:8.2f} s  {n / t_build:12,.0f} points/s")

    if hasattr(model.index_, "reset_stats"):
        model.index_.reset_stats()
    progress = Progress("self-join", n)
    chunk = max(4096, n // 50)
    dist = np.empty((n, kk))
    start = time.perf_counter()
    for lo in range(0, n, chunk):
        hi = min(n, lo + chunk)
        dist[lo:hi], _ = model._self_knn_rows(np.arange(lo, hi), kk)
        progress(hi)
    t_join = time.perf_counter() - start
    progress.close()
    compared = ""
    if hasattr(model.index_, "stats"):
        per_query = model.index_.stats()["cands"] / n
        compared = f", {per_query:,.0f} points compared per query ({100 * per_query / n:.2f}%)"
    print(f"self-join   {t_join:8.2f} s  {n / t_join:12,.0f} queries/s{compared}")

    m = min(args.check, n)
    if m:
        rows = np.sort(rng.choice(n, m, replace=False))
        progress = Progress("exact check", m)
        start = time.perf_counter()
        true_dist, _ = _exact.knn(points, points[rows], kk, exclude=rows, chunk=16, progress=progress)
        t_exact = time.perf_counter() - start
        progress.close()
        scan = ToroidalNN(n_neighbors=kk, b=1, k=1, l=1, probes=0, backend=model.backend_).fit(points)
        start = time.perf_counter()
        scan_dist, _ = scan._self_knn_rows(rows, kk)
        t_scan = (time.perf_counter() - start) / m * n
        print(f"recall@{kk:<3d} {_exact.recall(dist[rows], true_dist):8.3f}   on {m:,} points checked against a "
              f"brute-force scan ({t_exact:.1f} s)")
        print(f"exact scan  {t_scan:8.2f} s  estimated for the whole self-join with b=1 "
              f"(every point compared): {t_scan / t_join:.0f}x the hashed search's time")
        if _exact.recall(scan_dist, true_dist, tolerance=1e-6) < 1.0:
            print("warning: the exhaustive scan disagrees with the brute-force answer", file=sys.stderr)
            return 1
    if model.backend_ == "native":
        print(f"tables      {'byte-identical' if same_tables(model, points) else 'DIFFERENT'} to the NumPy "
              f"reference on the first {min(n, 20_000):,} points")
    return 0


def same_tables(model, points: np.ndarray) -> bool:
    """Builds the compiled index and the reference from the model's parameters on a
    sample and compares their tables byte for byte."""
    from vibrel._native import RustLshIndex
    from vibrel.lsh import PythonLshIndex

    sample = points[:20_000]
    p = model.params_
    tables = []
    for engine in (RustLshIndex, PythonLshIndex):
        index = engine(p["b"], p["k"], p["l"], p["probes"], model.s_, model.u_, p["block"])
        index.build(sample, sample.shape[0] * 9 // 10)
        tables.append(index.tables())
    return all(np.array_equal(tables[0][name], tables[1][name]) for name in tables[0])


if __name__ == "__main__":
    sys.exit(main())
