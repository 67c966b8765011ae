"""Derives the fixed cost constants of the tuner (`vibrel._tune`) on this machine.

The tuner prices a setting without timing anything, so that a seed gives the
same choice in every process.  Its model, in thread-nanoseconds per query:

    exhaustive   n * scan(d),   scan(d) = SCAN_NS + SCAN_NS_PER_DIM * d
    hashed       pairs * pair(n, d) + lookups * LOOKUP_NS,
                 pair(n, d) = PAIR_NS + scan(d) + spill * (MISS_NS + MISS_NS_PER_LINE * lines)

scan(d) is the tile kernel at in-cache speed (every point of a block compared,
rows streamed in order).  A hashed distance evaluation adds the handling of a
candidate (PAIR_NS) and the fetch of a row from wherever its cell put it: the
share `spill` = max(0, 1 - CACHE_BYTES / (4 n d)) of the rows (float32) that do
not fit the cache miss it, at a latency plus a cost per 64-byte line (`lines`).
Both searches run the blocked path with whole-thread blocks, as `kneighbors`
does on many rows; the per-query path (block = 1, few rows) is printed beside it.

Per (n, d) this script times, with the median of --repeat runs:
  * the exhaustive mode (b = k = l = 1, probes = 0) on 1,000 queries: scan(d);
  * two hashed indexes of two tables: cells of about 8 * n_neighbors points
    without probes (mostly distance work) and cells of about half a point probed
    on every digit (mostly lookups); the two equations give pair and lookup.
It prints a table, then least-squares fits of the constants over the settings,
to paste into `vibrel._tune`.  Times are pool wall time times the pool's threads
(thread-nanoseconds), so that the number of cores does not enter the constants.

    .venv/bin/python bench/calibrate_tuner.py [--sizes 25000 100000 400000] [--dims 4 16 64] [--repeat 5]
"""

import argparse
import math
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from machine import cpu_name, pool_threads  # noqa: E402

from vibrel._backend import exhaustive_index  # noqa: E402
from vibrel._native import RustLshIndex  # noqa: E402
from vibrel._params import draw_hash  # noqa: E402

NN = 10
CACHE_BYTES = 4 << 20  # as vibrel._tune assumes


def median_ns(index, queries, exclude, repeat, threads):
    """Median thread-nanoseconds per query of `repeat` kNN calls, and the pairs
    and lookups per query the engine reports."""
    index.query_knn(queries[:50], NN)  # first touch of the tables and workspaces
    times = []
    for _ in range(repeat):
        index.reset_stats()
        start = time.perf_counter()
        index.query_knn(queries, NN, exclude)
        times.append(time.perf_counter() - start)
    stats = index.stats()
    m = len(queries)
    return float(np.median(times)) * 1e9 * threads / m, stats["pairs"] / m


def hashed(points, b, k, probes, block, rng):
    s, u = draw_hash(rng, points.shape[1], k, 2)
    index = RustLshIndex(b, k, 2, probes, s, u, block)
    index.build(points, len(points))
    return index


def measure(n, d, repeat, threads):
    rng = np.random.default_rng(0)
    points = rng.random((n, d))
    # Blocks of a few hundred rows per thread, as many-row kNN calls give: with a
    # few dozen rows the blocked path pays its setup per point and runs far slower.
    rows = np.sort(rng.choice(n, 1000, replace=False))
    scan = exhaustive_index(RustLshIndex, points, n)
    scan_ns, _ = median_ns(scan, points[rows], rows, repeat, threads)
    out = {"n": n, "d": d, "scan": scan_ns / n}
    rows = np.sort(rng.choice(n, min(n, 4000), replace=False))
    for path, block in (("blocked", 0), ("per-query", 1)):
        samples = []
        for occupancy, probe_all in ((8.0 * NN, False), (0.5, True)):
            # Digits on distinct coordinates, so that cells are as the tuner's.
            k = max(1, min(d, round(math.log2(n / occupancy))))
            b = max(2, round((n / occupancy) ** (1 / k)))
            probes = k if probe_all else 0
            index = hashed(points, b, k, probes, block, rng)
            ns, pairs = median_ns(index, points[rows], rows, repeat, threads)
            samples.append((pairs, 2 * (1 + probes), ns))
        (p1, l1, w1), (p2, l2, w2) = samples
        det = p1 * l2 - p2 * l1
        out[path + " pair"] = (w1 * l2 - w2 * l1) / det
        out[path + " lookup"] = (w2 * p1 - w1 * p2) / det
    return out


def fit(columns, ys):
    """Least squares ys = sum of coefficient * column: the coefficients."""
    coef, *_ = np.linalg.lstsq(np.column_stack(columns).astype(float), np.asarray(ys, float), rcond=None)
    return [float(c) for c in coef]


def spill(n, d):
    return max(0.0, 1.0 - CACHE_BYTES / (4.0 * n * d))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=[25_000, 100_000, 400_000])
    ap.add_argument("--dims", type=int, nargs="+", default=[4, 16, 64])
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    threads = pool_threads()
    print(f"{cpu_name()}, {threads} pool threads; n_neighbors = {NN}; median of {args.repeat}; "
          "thread-ns per unit\n")
    cols = ("scan", "blocked pair", "blocked lookup", "per-query pair", "per-query lookup")
    print("| n | d | " + " | ".join(cols) + " |")
    print("|---|---|" + "---|" * len(cols))
    results = []
    for n in args.sizes:
        for d in args.dims:
            r = measure(n, d, args.repeat, threads)
            results.append(r)
            print(f"| {n:,} | {d} | " + " | ".join(f"{r[c]:.2f}" for c in cols) + " |", flush=True)

    ones = [1.0] * len(results)
    dims = [r["d"] for r in results]
    scan_ns, scan_per_dim = fit([ones, dims], [r["scan"] for r in results])
    print(f"\nSCAN_NS = {scan_ns:.3g}\nSCAN_NS_PER_DIM = {scan_per_dim:.3g}")
    spills = [spill(r["n"], r["d"]) for r in results]
    lines = [s * math.ceil(4 * r["d"] / 64) for s, r in zip(spills, results)]
    for path in ("blocked", "per-query"):
        extra = [r[path + " pair"] - scan_ns - scan_per_dim * r["d"] for r in results]
        pair, miss, miss_line = fit([ones, spills, lines], extra)
        lookup = float(np.median([r[path + " lookup"] for r in results]))
        tag = "" if path == "blocked" else "# per-query path, for comparison: "
        print(f"{tag}PAIR_NS = {pair:.3g}\n{tag}MISS_NS = {miss:.3g}\n{tag}MISS_NS_PER_LINE = {miss_line:.3g}\n"
              f"{tag}LOOKUP_NS = {lookup:.3g}")


if __name__ == "__main__":
    main()
