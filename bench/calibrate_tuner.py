"""Derives the fixed cost constants of the tuner (`vibrel._tune`) on this machine.

The tuner prices a setting without timing anything, so that a seed gives the
same choice in every process.  Its model, in thread-nanoseconds per query, has
two forms, for the engine with its byte codes (the default) and without them
(VIBREL_CODE_FILTER=off, every candidate measured in float32):

  codes on
    exhaustive  n * (CODE_SCAN_NS + CODE_SCAN_NS_PER_DIM * d) + survivors(n) * EXHAUSTIVE_SURVIVOR_NS
    hashed      lookups * CODE_LOOKUP_NS + pairs * (CODE_PAIR_NS + CODE_PAIR_NS_PER_DIM * d)
                + survivors(pairs) * SURVIVOR_WEIGHT * pair(n, d)
  codes off
    exhaustive  n * scan(d),   scan(d) = SCAN_NS + SCAN_NS_PER_DIM * d
    hashed      lookups * LOOKUP_NS + pairs * pair(n, d),
                pair(n, d) = PAIR_NS + scan(d) + spill * (MISS_NS + MISS_NS_PER_LINE * lines)

With the codes, every candidate first gets a bound from its d bytes (streamed
in key order on the hashed search, in row order on the exhaustive one); only
the survivors, whose bound beats the query's current n_neighbors-th distance,
fetch a float32 row and get a distance.  Their count grows with the candidates
scanned as the running k-th distance falls: about
survivors(m) = n_neighbors * (1 + ln(1 + m / n_neighbors)) (the points that
enter a running top-k of m in random order, plus the true ones).  A survivor
costs what a float pair costs (its row fetched at random, `spill` the share of
float32 rows that miss the cache, CACHE_BYTES / (4 n d) of them hit), weighted
by SURVIVOR_WEIGHT, which absorbs the looseness of the bound.

Per (n, d) this script times, with the median of --repeat runs, in fresh
processes that alternate the filter off and on (the switch is read at import):
  * the exhaustive mode (b = k = l = 1, probes = 0) on 500 queries;
  * hashed indexes of four tables at several cell sizes, from half a point
    probed on every digit (mostly lookups) to 128 n_neighbors points (mostly
    bounds), so that the least-squares fit separates the terms.
It prints the timings, the fitted constants to paste into `vibrel._tune`, and
each timing's relative residual against the fit (the machine is shared: look
for outliers before trusting the constants).  Times are pool wall time times
the pool's threads, so that the number of cores does not enter the constants.

    .venv/bin/python bench/calibrate_tuner.py [--sizes 50000 200000] [--dims 4 8 16 32] [--repeat 3]
"""

import argparse
import json
import math
import os
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from machine import cpu_name, pool_threads  # noqa: E402

NN = 10
CACHE_BYTES = 4 << 20  # as vibrel._tune assumes
# (mean points per cell, probes on every digit): the hashed settings timed.
CELLS = ((0.5, True), (8.0 * NN, False), (32.0 * NN, True), (128.0 * NN, False))


def median_ns(index, queries, exclude, repeat, threads):
    """Median thread-nanoseconds per query of `repeat` kNN calls, and the pairs
    per query the engine reports."""
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


def child(n, d, repeat):
    """One process's timings of (n, d) with the filter as the environment says."""
    from vibrel._backend import exhaustive_index
    from vibrel._native import RustLshIndex
    from vibrel._params import draw_hash

    threads = pool_threads()
    rng = np.random.default_rng(0)
    points = rng.random((n, d))
    rows = np.sort(rng.choice(n, 500, replace=False))
    out = []
    scan = exhaustive_index(RustLshIndex, points, n)
    ns, pairs = median_ns(scan, points[rows], rows, repeat, threads)
    out.append(dict(kind="exhaustive", n=n, d=d, ns=ns, pairs=pairs, lookups=1))
    del scan
    # Blocks of a few hundred rows per thread, as many-row kNN calls give.
    rows = np.sort(rng.choice(n, min(n, 2000), replace=False))
    for occupancy, probe_all in CELLS:
        k = max(1, min(d, round(math.log2(n / occupancy))))
        b = max(2, round((n / occupancy) ** (1 / k)))
        probes = min(k, 3) if probe_all else 0
        s, u = draw_hash(rng, d, k, 4)
        index = RustLshIndex(b, k, 4, probes, s, u, 0)
        index.build(points, n)
        ns, pairs = median_ns(index, points[rows], rows, repeat, threads)
        out.append(dict(kind="hashed", n=n, d=d, ns=ns, pairs=pairs, lookups=4 * (1 + probes),
                        setting=f"b={b} k={k} l=4 probes={probes}"))
    return out


def spill(n, d):
    return max(0.0, 1.0 - CACHE_BYTES / (4.0 * n * d))


def survivors(m):
    return NN * (1.0 + math.log1p(m / NN))


def relative_fit(columns, ys):
    """Non-negative least squares of the relative error of ys ~ sum of
    coefficient * column (a cost is never negative; relative, so that the
    small timings weigh as much as the large): (coefficients, relative residuals)."""
    from scipy.optimize import nnls
    a = np.column_stack(columns).astype(float)
    y = np.asarray(ys, float)
    coef, _ = nnls(a / y[:, None], np.ones_like(y))
    return [float(c) for c in coef], a @ coef / y - 1.0


def fit_off(rows):
    """The float32 model's constants from the filter-off timings."""
    exh = [r for r in rows if r["kind"] == "exhaustive"]
    (scan_ns, scan_dim), res_e = relative_fit([[r["n"] for r in exh], [r["n"] * r["d"] for r in exh]],
                                              [r["ns"] for r in exh])
    hashed = [r for r in rows if r["kind"] == "hashed"]
    # pair(n, d) - scan(d) = PAIR_NS + spill * (MISS_NS + MISS_NS_PER_LINE * lines); the scan is known.
    cols = [[r["lookups"] for r in hashed], [r["pairs"] for r in hashed],
            [r["pairs"] * spill(r["n"], r["d"]) for r in hashed],
            [r["pairs"] * spill(r["n"], r["d"]) * math.ceil(4 * r["d"] / 64) for r in hashed]]
    ys = [r["ns"] - r["pairs"] * (scan_ns + scan_dim * r["d"]) for r in hashed]
    (lookup, pair, miss, miss_line), _ = relative_fit(cols, [max(y, 1.0) for y in ys])
    consts = dict(SCAN_NS=scan_ns, SCAN_NS_PER_DIM=scan_dim, PAIR_NS=pair, MISS_NS=miss,
                  MISS_NS_PER_LINE=miss_line, LOOKUP_NS=lookup)
    return consts, residuals(rows, consts, None)


def float_pair(consts, n, d):
    scan = consts["SCAN_NS"] + consts["SCAN_NS_PER_DIM"] * d
    return (consts["PAIR_NS"] + scan
            + spill(n, d) * (consts["MISS_NS"] + consts["MISS_NS_PER_LINE"] * math.ceil(4 * d / 64)))


def fit_on(rows, off):
    """The code model's constants from the filter-on timings, given the float ones."""
    exh = [r for r in rows if r["kind"] == "exhaustive"]
    (scan_ns, scan_dim, surv_ns), _ = relative_fit(
        [[r["n"] for r in exh], [r["n"] * r["d"] for r in exh], [survivors(r["n"]) for r in exh]],
        [r["ns"] for r in exh])
    hashed = [r for r in rows if r["kind"] == "hashed"]
    (lookup, pair, pair_dim, weight), _ = relative_fit(
        [[r["lookups"] for r in hashed], [r["pairs"] for r in hashed], [r["pairs"] * r["d"] for r in hashed],
         [survivors(r["pairs"]) * float_pair(off, r["n"], r["d"]) for r in hashed]],
        [r["ns"] for r in hashed])
    consts = dict(CODE_SCAN_NS=scan_ns, CODE_SCAN_NS_PER_DIM=scan_dim, EXHAUSTIVE_SURVIVOR_NS=surv_ns,
                  CODE_LOOKUP_NS=lookup, CODE_PAIR_NS=pair, CODE_PAIR_NS_PER_DIM=pair_dim, SURVIVOR_WEIGHT=weight)
    return consts, residuals(rows, consts, off)


def modelled(r, on, off):
    """The model's thread-ns per query for a timed row (`on` None: the float model)."""
    n, d, m = r["n"], r["d"], r["pairs"]
    if on is None:
        if r["kind"] == "exhaustive":
            return n * (off["SCAN_NS"] + off["SCAN_NS_PER_DIM"] * d)
        return r["lookups"] * off["LOOKUP_NS"] + m * float_pair(off, n, d)
    if r["kind"] == "exhaustive":
        return n * (on["CODE_SCAN_NS"] + on["CODE_SCAN_NS_PER_DIM"] * d) + survivors(n) * on["EXHAUSTIVE_SURVIVOR_NS"]
    return (r["lookups"] * on["CODE_LOOKUP_NS"] + m * (on["CODE_PAIR_NS"] + on["CODE_PAIR_NS_PER_DIM"] * d)
            + survivors(m) * on["SURVIVOR_WEIGHT"] * float_pair(off, n, d))


def residuals(rows, consts, off):
    return [modelled(r, consts, off) / r["ns"] - 1.0 if off is not None else modelled(r, None, consts) / r["ns"] - 1.0
            for r in rows]


def run_child(n, d, repeat, on):
    env = dict(os.environ, VIBREL_CODE_FILTER="on" if on else "off")
    command = [sys.executable, os.path.abspath(__file__), "--child", str(n), str(d), "--repeat", str(repeat)]
    out = subprocess.run(command, env=env, capture_output=True, text=True, check=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=[50_000, 200_000])
    ap.add_argument("--dims", type=int, nargs="+", default=[4, 8, 16, 32])
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--rounds", type=int, default=2, help="alternating off/on processes per (n, d)")
    ap.add_argument("--child", type=int, nargs=2, help=argparse.SUPPRESS)
    ap.add_argument("--json", help="also write the timings to this file")
    args = ap.parse_args()
    if args.child:
        print(json.dumps(child(*args.child, args.repeat)))
        return
    print(f"{cpu_name()}, {pool_threads()} pool threads; n_neighbors = {NN}; median of {args.repeat} calls, "
          f"median over {args.rounds} alternating processes; thread-ns per query\n")
    timed = {False: [], True: []}
    for n in args.sizes:
        for d in args.dims:
            runs = {False: [], True: []}
            for _ in range(args.rounds):
                for on in (False, True):
                    runs[on].append(run_child(n, d, args.repeat, on))
            for on in (False, True):
                merged = runs[on][0]
                for i, r in enumerate(merged):
                    r["ns"] = float(np.median([run[i]["ns"] for run in runs[on]]))
                timed[on].extend(merged)
            print(f"n={n:,} d={d}: " + ", ".join(
                f"{r.get('setting', 'exhaustive')} {r['pairs']:.0f} pairs {r_off['ns'] / 1e3:.1f}/{r['ns'] / 1e3:.1f} us"
                for r_off, r in zip(runs[False][0], runs[True][0])), flush=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({str(k): v for k, v in timed.items()}, f)
    report(timed)


def report(timed):
    off, res_off = fit_off(timed[False])
    on, res_on = fit_on(timed[True], off)
    print("\n# float32 path (VIBREL_CODE_FILTER=off)")
    for name, value in off.items():
        print(f"{name} = {value:.3g}")
    print("# byte codes first (the default)")
    for name, value in on.items():
        print(f"{name} = {value:.3g}")
    print("\n| n | d | search | pairs/query | off us | off fit | on us | on fit |\n|---:|---:|---|---:|---:|---:|---:|---:|")
    for r_off, r_on, e_off, e_on in zip(timed[False], timed[True], res_off, res_on):
        print(f"| {r_on['n']:,} | {r_on['d']} | {r_on.get('setting', 'exhaustive')} | {r_on['pairs']:,.0f} "
              f"| {r_off['ns'] / 1e3:.1f} | {e_off:+.0%} | {r_on['ns'] / 1e3:.1f} | {e_on:+.0%} |")


if __name__ == "__main__":
    main()
