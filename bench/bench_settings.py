"""Fixed hash settings side by side on one workload, each timed in its own
fresh process, the processes alternating (the code filter is read at import,
and a shared machine drifts): the least of `--repeat` query times per process,
medians over `--runs` processes, with the recall reached and the candidates
(pairs) per query, the tables that find each true neighbour (hits), and
beside the measured CPU time per query the tuner's modelled cost of the same
pairs, lookups and hits (`vibrel._tune`); last, the CPU time per query of
1,000 of the queries in calls of 32 rows (the per-query path).

    .venv/bin/python bench/bench_settings.py --workload blobs --settings 3,10,3,2 3,9,6,0 [--float]

A setting is b,k,l,probes; "tuned" is the one the tuner chooses at the defaults.
--float adds every setting again with the code filter off (VIBREL_CODE_FILTER=off).
"""

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from vibrel import ToroidalNN, _exact, _tune  # noqa: E402
from vibrel._params import HashParams  # noqa: E402
from workloads import blobs, subtorus, uniform  # noqa: E402

# Fresh queries whose true neighbours' findings are counted.
HIT_QUERIES = 200
# The per-query path's timing: this many queries in calls of SMALL_ROWS rows (fewer than 64).
SMALL_QUERIES, SMALL_ROWS = 1000, 32
WORKLOADS = {"blobs": lambda r, n, m: blobs(r, n, m, 16, 0.03), "uniform16": lambda r, n, m: uniform(r, n, m, 16),
             "uniform8": lambda r, n, m: uniform(r, n, m, 8), "subtorus": lambda r, n, m: subtorus(r, n, m, 16)}


def child(workload, setting, n, m, repeat):
    points, queries = WORKLOADS[workload](np.random.default_rng(0), n, m)
    given = {} if setting == "tuned" else dict(zip(("b", "k", "l", "probes"), map(int, setting.split(","))))
    model = ToroidalNN(10, random_state=0, **given).fit(points)
    best = cpu = float("inf")
    for _ in range(repeat):
        model.index_.reset_stats()
        start, start_cpu = time.perf_counter(), time.process_time()
        dist, _ = model.kneighbors(queries)
        best, cpu = min(best, time.perf_counter() - start), min(cpu, time.process_time() - start_cpu)
    stats = model.index_.stats()
    # The per-query path: the first SMALL_QUERIES queries in calls of fewer than 64 rows.
    small = float("inf")
    for _ in range(repeat):
        start_cpu = time.process_time()
        for i in range(0, SMALL_QUERIES, SMALL_ROWS):
            model.kneighbors(queries[i:i + SMALL_ROWS])
        small = min(small, time.process_time() - start_cpu)
    true_dist, true_ind = _exact.knn(points, queries[:500], 10)
    p = model.params_
    pairs, lookups = stats["pairs"] / m, p["l"] * (1 + p["probes"])
    costs = _tune.model_costs(n, points.shape[1], 10)
    hits = 1.0
    if p["b"] > 1:
        # The tables that find each true neighbour of the first queries: each finding is a survivor.
        one = HashParams(p["b"], p["k"], 1, p["probes"])
        owner = np.repeat(np.arange(HIT_QUERIES), 10)
        neighbours = points[true_ind[:HIT_QUERIES].reshape(-1)]
        hits = sum(float(_tune.found_by(one, model.s_[t:t + 1], model.u_[t:t + 1], queries[:HIT_QUERIES],
                                        neighbours, owner).mean()) for t in range(p["l"]))
    modelled = costs.hashed(pairs, lookups, hits) if p["b"] > 1 else costs.exhaustive(n)
    return {"seconds": best, "cpu": cpu, "small_cpu": small / SMALL_QUERIES, "recall": _exact.recall(dist[:500], true_dist), "pairs": pairs,
            "hits": hits, "model_us": 1e6 * modelled, "setting": f"b={p['b']} k={p['k']} l={p['l']} probes={p['probes']}"}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--workload", default="blobs", choices=sorted(WORKLOADS))
    parser.add_argument("--settings", nargs="+", default=["tuned"])
    parser.add_argument("--float", action="store_true")
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--queries", type=int, default=5000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(args.workload, args.child, args.n, args.queries, args.repeat)))
        return
    variants = [(s, "on") for s in args.settings] + ([(s, "off") for s in args.settings] if args.float else [])
    results = {v: [] for v in variants}
    for _ in range(args.runs):
        for setting, codes in variants:
            env = dict(os.environ, VIBREL_CODE_FILTER=codes)
            command = [sys.executable, os.path.abspath(__file__), "--child", setting, "--workload", args.workload,
                       "--n", str(args.n), "--queries", str(args.queries), "--repeat", str(args.repeat)]
            out = subprocess.run(command, env=env, capture_output=True, text=True, check=True).stdout
            results[(setting, codes)].append(json.loads(out.strip().splitlines()[-1]))
    print(f"| {args.workload} ({args.n:,} points, {args.queries:,} queries, k = 10) | codes | ms (median of "
          f"{args.runs}) | all runs ms | CPU ms (median) | recall | pairs/query "
          f"| hits | CPU us/query | model us/query | per-query path CPU us/query |"
          f"\n|---|---|---:|---|---:|---:|---:|---:|---:|---:|---:|")
    for (setting, codes), runs in results.items():
        ms = [1e3 * r["seconds"] for r in runs]
        print(f"| {runs[0]['setting']} | {codes} | {np.median(ms):.0f} | {' '.join(f'{t:.0f}' for t in ms)} "
              f"| {np.median([1e3 * r['cpu'] for r in runs]):.0f} | {runs[0]['recall']:.4f} | {runs[0]['pairs']:.0f} "
              f"| {runs[0]['hits']:.2f} | {np.median([1e6 * r['cpu'] / args.queries for r in runs]):.1f} | {runs[0]['model_us']:.1f} "
              f"| {np.median([1e6 * r['small_cpu'] for r in runs]):.1f} |",
              flush=True)


if __name__ == "__main__":
    main()
