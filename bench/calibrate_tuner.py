"""Derives the fixed cost constants of the tuner (`vibrel._tune`) on this machine.

The tuner prices a setting without timing anything, so that a seed gives the
same choice in every process.  Its model, in thread-nanoseconds per query, has
two forms, for the engine with its byte codes (the default) and without them
(VIBREL_CODE_FILTER=off, every candidate measured in float32):

  codes on
    exhaustive  n * (CODE_SCAN_NS + CODE_SCAN_NS_PER_DIM * d) + survivors(n, 1) * EXHAUSTIVE_SURVIVOR_NS
    hashed      lookups * CODE_LOOKUP_NS + pairs * (CODE_PAIR_NS + CODE_PAIR_NS_PER_DIM * d)
                + survivors(pairs, hits) * (SURVIVOR_NS_PER_DIM * d + SURVIVOR_MISS_NS * spill)
  codes off
    exhaustive  n * scan(d) + survivors(n) * TOP_K_NS,   scan(d) = SCAN_NS + SCAN_NS_PER_DIM * d
    hashed      lookups * LOOKUP_NS + pairs * pair(n, d) + survivors(pairs, hits) * TOP_K_NS,
                pair(n, d) = PAIR_NS + scan(d) + spill * (MISS_NS + MISS_NS_PER_LINE * lines)

With the codes, every candidate first gets a bound from its d bytes (streamed
in key order on the hashed search, in row order on the exhaustive one); only
the survivors, whose bound beats the query's current n_neighbors-th distance,
fetch a float32 row and get a distance.  Their count grows with the candidates
scanned as the running k-th distance falls: about
survivors(m, hits) = n_neighbors * (hits + ln(1 + m / n_neighbors)) (the points
that enter a running top-k of m in random order, plus every meeting of a true
neighbour: `hits` a neighbour, the tables that find it, each measuring it
again; counted here on a sample of the timed queries).  A survivor
costs a float distance, its place in the running top n_neighbors and the fetch
of its row at random, a miss for the share `spill` of the float32 rows that do
not fit the cache (CACHE_BYTES / (4 n d) of them hit).  Without the
codes the same count of candidates enters the running top n_neighbors, at
TOP_K_NS each.

Per (n, d) this script times, with the median of --repeat runs, in fresh
processes that alternate the filter off and on (the switch is read at import):
  * the exhaustive mode (b = k = l = 1, probes = 0) on 500 queries;
  * hashed indexes of four tables at several cell sizes, from a twentieth of
    n_neighbors points probed on three digits (mostly lookups) to 128
    n_neighbors points (mostly bounds), so that the least-squares fit
    separates the terms;
each for 10 and 100 neighbours, so that it tells the survivors from the rest.
It prints the timings, the fitted constants to paste into `vibrel._tune`, and
each timing's relative residual against the fit (the machine is shared: look
for outliers before trusting the constants).  Each call is timed by two clocks:
the process's CPU time (all its threads), which the fit uses by default, since
a thread of a shared machine that waits for a core costs wall time and no work;
and the pool's wall time times its threads (--clock wall), which also counts a
serial stage's idle thread.  Neither lets the number of cores enter the constants.

    .venv/bin/python bench/calibrate_tuner.py [--sizes 50000 200000] [--dims 4 8 16 32] [--repeat 3] [--clock cpu]
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

# Neighbours asked for: two counts, so that the fit tells the survivors'
# cost (which grows with n_neighbors) from the candidates'.
NEIGHBOURS = (10, 100)
CACHE_BYTES = 4 << 20  # as vibrel._tune assumes
# Each timing is kept by both clocks: the wall clock times the pool's threads, and
# the process's CPU clock.
CLOCKS = ("wall_ns", "cpu_ns")
# The timed queries whose true neighbours' hits are counted.
HIT_ROWS = 200
# (mean points per cell per neighbour, probes on every digit): the hashed settings timed.
CELLS = ((0.05, True), (8.0, False), (32.0, True), (128.0, False))


def median_ns(index, queries, exclude, repeat, threads, nn):
    """Median thread-nanoseconds per query of `repeat` kNN calls, by the wall
    clock times the pool's threads and by the process's CPU clock (all its
    threads: on a shared machine a thread that waits for a core costs wall time
    but no CPU time), and the pairs per query the engine reports."""
    index.query_knn(queries[:50], nn)  # first touch of the tables and workspaces
    walls, cpus = [], []
    for _ in range(repeat):
        index.reset_stats()
        start, start_cpu = time.perf_counter(), time.process_time()
        index.query_knn(queries, nn, exclude)
        walls.append(time.perf_counter() - start)
        cpus.append(time.process_time() - start_cpu)
    stats = index.stats()
    m = len(queries)
    return float(np.median(walls)) * 1e9 * threads / m, float(np.median(cpus)) * 1e9 / m, stats["pairs"] / m


def hits_per_neighbour(points, rows, nn, params, s, u):
    """The tables of `params` that find each true neighbour of the points at
    `rows` (each excluding itself), on average."""
    from vibrel import _exact
    from vibrel._params import HashParams
    from vibrel._tune import found_by
    _, ind = _exact.knn(points, points[rows], nn, exclude=rows)
    owner = np.repeat(np.arange(rows.size), nn)
    neighbours = points[np.asarray(ind).reshape(-1)]
    one = HashParams(params.b, params.k, 1, params.probes)
    return float(np.mean([found_by(one, s[t:t + 1], u[t:t + 1], points[rows], neighbours, owner).mean()
                          for t in range(params.l)]) * params.l)


def child(n, d, repeat):
    """One process's timings of (n, d) with the filter as the environment says."""
    from vibrel._backend import exhaustive_index
    from vibrel._native import RustLshIndex
    from vibrel._params import HashParams, draw_hash

    threads = pool_threads()
    rng = np.random.default_rng(0)
    points = rng.random((n, d))
    rows = np.sort(rng.choice(n, 500, replace=False))
    out = []
    scan = exhaustive_index(RustLshIndex, points, n)
    for nn in NEIGHBOURS:
        ns, cpu_ns, pairs = median_ns(scan, points[rows], rows, repeat, threads, nn)
        out.append(dict(kind="exhaustive", n=n, d=d, nn=nn, wall_ns=ns, cpu_ns=cpu_ns, pairs=pairs, lookups=1))
    del scan
    # Blocks of a few hundred rows per thread, as many-row kNN calls give.
    rows = np.sort(rng.choice(n, min(n, 2000), replace=False))
    for nn in NEIGHBOURS:
        for occupancy, probe_all in CELLS:
            k = max(1, min(d, round(math.log2(n / (occupancy * nn)))))
            b = max(2, round((n / (occupancy * nn)) ** (1 / k)))
            probes = min(k, 3) if probe_all else 0
            s, u = draw_hash(rng, d, k, 4)
            index = RustLshIndex(b, k, 4, probes, s, u, 0)
            index.build(points, n)
            ns, cpu_ns, pairs = median_ns(index, points[rows], rows, repeat, threads, nn)
            hits = hits_per_neighbour(points, rows[:HIT_ROWS], nn, HashParams(b, k, 4, probes), s, u)
            out.append(dict(kind="hashed", n=n, d=d, nn=nn, wall_ns=ns, cpu_ns=cpu_ns, pairs=pairs, lookups=4 * (1 + probes),
                            hits=hits, setting=f"b={b} k={k} l=4 probes={probes}"))
    return out


def spill(n, d):
    return max(0.0, 1.0 - CACHE_BYTES / (4.0 * n * d))


def survivors(m, nn, hits=1.0):
    """As vibrel._tune.survivors."""
    return min(m, nn * (hits + math.log1p(m / nn)))


def hits(r):
    """A timed row's meetings of each true neighbour (one for a scan, and for
    timings saved before they were counted)."""
    return r.get("hits", 1.0)


def relative_fit(columns, ys, scale=None):
    """Non-negative least squares of ys ~ sum of coefficient * column, each
    row's error relative to its `scale` (default ys: the whole timing, so that
    the small timings weigh as much as the large; a cost is never negative):
    (coefficients, residuals relative to scale)."""
    from scipy.optimize import nnls
    a = np.column_stack(columns).astype(float)
    y = np.asarray(ys, float)
    w = y if scale is None else np.asarray(scale, float)
    coef, _ = nnls(a / w[:, None], y / w)
    return [float(c) for c in coef], (a @ coef - y) / w


def fitted_hashed(rows):
    """The hashed timings the fits use: not those whose cells hold so few
    points that the engine widens the search (fewer than 2 n_neighbors pairs),
    which the tuner never chooses."""
    return [r for r in rows if r["kind"] == "hashed" and r["pairs"] >= 2 * r["nn"]]


def fit_off(rows):
    """The float32 model's constants from the filter-off timings."""
    exh = [r for r in rows if r["kind"] == "exhaustive"]
    (query, scan_ns, scan_dim, top_k), _ = relative_fit(
        [[1.0] * len(exh), [r["n"] for r in exh], [r["n"] * r["d"] for r in exh],
         [survivors(r["n"], r["nn"]) for r in exh]], [r["ns"] for r in exh])
    hashed = fitted_hashed(rows)
    # pair(n, d) - scan(d) = PAIR_NS + spill * (MISS_NS + MISS_NS_PER_LINE * lines); the scan is known.
    cols = [[r["lookups"] for r in hashed], [r["pairs"] for r in hashed],
            [r["pairs"] * spill(r["n"], r["d"]) for r in hashed],
            [r["pairs"] * spill(r["n"], r["d"]) * math.ceil(4 * r["d"] / 64) for r in hashed]]
    ys = [r["ns"] - query - r["pairs"] * (scan_ns + scan_dim * r["d"]) - top_k * survivors(r["pairs"], r["nn"], hits(r))
          for r in hashed]
    (lookup, pair, miss, miss_line), _ = relative_fit(cols, ys, [r["ns"] for r in hashed])
    consts = dict(QUERY_NS=query, SCAN_NS=scan_ns, SCAN_NS_PER_DIM=scan_dim, TOP_K_NS=top_k, PAIR_NS=pair,
                  MISS_NS=miss, MISS_NS_PER_LINE=miss_line, LOOKUP_NS=lookup)
    return consts, residuals(rows, consts, None)


def float_pair(consts, n, d):
    scan = consts["SCAN_NS"] + consts["SCAN_NS_PER_DIM"] * d
    return (consts["PAIR_NS"] + scan
            + spill(n, d) * (consts["MISS_NS"] + consts["MISS_NS_PER_LINE"] * math.ceil(4 * d / 64)))


def fit_on(rows, off):
    """The code model's constants from the filter-on timings, given the float
    ones (the per-query work is the float path's: the codes do not change it)."""
    query = off["QUERY_NS"]
    exh = [r for r in rows if r["kind"] == "exhaustive"]
    (scan_ns, scan_dim, surv_ns), _ = relative_fit(
        [[r["n"] for r in exh], [r["n"] * r["d"] for r in exh], [survivors(r["n"], r["nn"]) for r in exh]],
        [r["ns"] - query for r in exh], [r["ns"] for r in exh])
    hashed = fitted_hashed(rows)
    (lookup, pair, pair_dim, surv_dim, surv_miss), _ = relative_fit(
        [[r["lookups"] for r in hashed], [r["pairs"] for r in hashed], [r["pairs"] * r["d"] for r in hashed],
         [survivors(r["pairs"], r["nn"], hits(r)) * r["d"] for r in hashed],
         [survivors(r["pairs"], r["nn"], hits(r)) * spill(r["n"], r["d"]) for r in hashed]],
        [r["ns"] - query for r in hashed], [r["ns"] for r in hashed])
    consts = dict(CODE_SCAN_NS=scan_ns, CODE_SCAN_NS_PER_DIM=scan_dim, EXHAUSTIVE_SURVIVOR_NS=surv_ns,
                  CODE_LOOKUP_NS=lookup, CODE_PAIR_NS=pair, CODE_PAIR_NS_PER_DIM=pair_dim,
                  SURVIVOR_NS_PER_DIM=surv_dim, SURVIVOR_MISS_NS=surv_miss)
    return consts, residuals(rows, consts, off)


def modelled(r, on, off):
    """The model's thread-ns per query for a timed row (`on` None: the float model)."""
    n, d, m = r["n"], r["d"], r["pairs"]
    if on is None:
        if r["kind"] == "exhaustive":
            return (off["QUERY_NS"] + n * (off["SCAN_NS"] + off["SCAN_NS_PER_DIM"] * d)
                    + off["TOP_K_NS"] * survivors(n, r["nn"]))
        return (off["QUERY_NS"] + r["lookups"] * off["LOOKUP_NS"] + m * float_pair(off, n, d)
                + off["TOP_K_NS"] * survivors(m, r["nn"], hits(r)))
    if r["kind"] == "exhaustive":
        return (off["QUERY_NS"] + n * (on["CODE_SCAN_NS"] + on["CODE_SCAN_NS_PER_DIM"] * d)
                + survivors(n, r["nn"]) * on["EXHAUSTIVE_SURVIVOR_NS"])
    return (off["QUERY_NS"] + r["lookups"] * on["CODE_LOOKUP_NS"] + m * (on["CODE_PAIR_NS"] + on["CODE_PAIR_NS_PER_DIM"] * d)
            + survivors(m, r["nn"], hits(r)) * (on["SURVIVOR_NS_PER_DIM"] * d + on["SURVIVOR_MISS_NS"] * spill(n, d)))


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
    ap.add_argument("--clock", choices=("cpu", "wall"), default="cpu",
                    help="the timings the constants are fitted to: the process's CPU time (default; a shared "
                         "machine's waits for a core left out) or the wall time times the pool's threads")
    ap.add_argument("--json", help="also write the timings to this file")
    ap.add_argument("--refit", metavar="JSON", help="fit the timings of an earlier --json run, timing nothing")
    args = ap.parse_args()
    if args.refit:
        with open(args.refit) as f:
            report({on == "True": rows for on, rows in json.load(f).items()}, args.clock)
        return
    if args.child:
        print(json.dumps(child(*args.child, args.repeat)))
        return
    print(f"{cpu_name()}, {pool_threads()} pool threads; n_neighbors = {NEIGHBOURS}; median of {args.repeat} calls, "
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
                    for clock in CLOCKS:
                        r[clock] = float(np.median([run[i][clock] for run in runs[on]]))
                timed[on].extend(merged)
            print(f"n={n:,} d={d}: " + ", ".join(
                f"nn={r['nn']} {r.get('setting', 'exhaustive')} {r['pairs']:.0f} pairs off/on "
                f"{r_off['wall_ns'] / 1e3:.1f}/{r['wall_ns'] / 1e3:.1f} us wall, "
                f"{r_off['cpu_ns'] / 1e3:.1f}/{r['cpu_ns'] / 1e3:.1f} us CPU"
                for r_off, r in zip(runs[False][0], runs[True][0])), flush=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({str(k): v for k, v in timed.items()}, f)
    report(timed, args.clock)


def use_clock(rows, clock):
    """Sets each timed row's `ns`, which the fits read, to its `clock` time
    (timings saved before the CPU clock was kept have the wall clock only)."""
    for r in rows:
        r["ns"] = r.get(f"{clock}_ns", r.get("wall_ns", r.get("ns")))


def report(timed, clock):
    for rows in timed.values():
        use_clock(rows, clock)
    print(f"Fitted to the {clock} clock.")
    off, res_off = fit_off(timed[False])
    on, res_on = fit_on(timed[True], off)
    print("\n# float32 path (VIBREL_CODE_FILTER=off)")
    for name, value in off.items():
        print(f"{name} = {value:.3g}")
    print("# byte codes first (the default)")
    for name, value in on.items():
        print(f"{name} = {value:.3g}")
    print(f"\n| n | d | n_neighbors | search | pairs/query | hits | off us ({clock}) | off fit | on us ({clock}) "
          "| on fit | off / on us (wall) |\n|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|")
    for r_off, r_on, e_off, e_on in zip(timed[False], timed[True], res_off, res_on):
        wall = (f"{r_off['wall_ns'] / 1e3:.1f} / {r_on['wall_ns'] / 1e3:.1f}" if "wall_ns" in r_on else "")
        print(f"| {r_on['n']:,} | {r_on['d']} | {r_on['nn']} | {r_on.get('setting', 'exhaustive')} | {r_on['pairs']:,.0f} "
              f"| {hits(r_on):.2f} "
              f"| {r_off['ns'] / 1e3:.1f} | {e_off:+.0%} | {r_on['ns'] / 1e3:.1f} | {e_on:+.0%} | {wall} |")


if __name__ == "__main__":
    main()
