"""vibrel.ToroidalNN at its defaults (recall=0.99): the recall reached and the speed
against the engine's exhaustive search (b=1, every point compared), measured in
one run on fresh queries from the same distribution as the fitted points.

Per workload: the tuned setting, fit time (tuning included) against a plain
build of that setting, the recall estimated at fit and reached on the queries
(a neighbour counts when its distance is at most the true k-th distance, ties
allowed), distance evaluations per query (the profile's pairs) and the speed-up
over the exhaustive search (the best of `--repeat` interleaved timings of each).
Then the epoch cycle, and a recall-vs-speed plot over recall targets with the
default marked.

    .venv/bin/python bench/bench_front.py [--n 200000] [--queries 2000] [--big] [--plot PATH]
    .venv/bin/python bench/bench_front.py --goals [--big] [--repeat 3]   # fit against build only
    .venv/bin/python bench/bench_front.py --codes [--repeat 3] [--only blobs]   # the byte-code filter off and on

With --codes, each workload is fitted in fresh processes, alternating:
"before", the code filter off (every candidate measured in float32,
VIBREL_CODE_FILTER=off) and the tuner as it priced that path (its float model,
which it reads from the same switch, and cells of at most 8 n_neighbors
points); "after", the filter on and the tuner pricing the codes. The ratio is
the gain of the codes and of the setting chosen for them together; beside it,
1,000 of the queries in calls of 32 rows (the per-query path). The epoch
cycle follows, against the float32 exhaustive search.
"""

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from machine import cpu_name, pool_threads  # noqa: E402
from vibrel import ToroidalNN, _exact  # noqa: E402
from vibrel._backend import build_index  # noqa: E402
from vibrel._params import HashParams  # noqa: E402
from workloads import blobs, subtorus, uniform  # noqa: E402


def best_time(call, repeat):
    """The least wall time of `repeat` runs of call(), and its last result."""
    best, out = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        out = call()
        best = min(best, time.perf_counter() - start)
    return best, out


def measure(points, queries, n_neighbors, repeat, recall=0.99):
    start = time.perf_counter()
    model = ToroidalNN(n_neighbors, recall=recall, random_state=0).fit(points)
    t_fit = time.perf_counter() - start
    p = model.params_
    t_build, _ = best_time(lambda: build_index(type(model.index_), HashParams(p["b"], p["k"], p["l"], p["probes"]),
                                               model.s_, model.u_, 0, points, len(points)), 1)
    exhaustive = ToroidalNN(n_neighbors, recall=1.0).fit(points)
    t_hash = t_scan = float("inf")
    for _ in range(repeat):  # interleaved, so that both see the same machine
        model.index_.reset_stats()
        t, (dist, _) = best_time(lambda: model.kneighbors(queries), 1)
        t_hash = min(t_hash, t)
        t, (true_dist, _) = best_time(lambda: exhaustive.kneighbors(queries), 1)
        t_scan = min(t_scan, t)
    return dict(model=model, fit=t_fit, build=t_build, reached=_exact.recall(dist, true_dist),
                evals=model.index_.stats()["pairs"] / len(queries), hashed=t_hash, scan=t_scan)


def fit_against_build(points, n_neighbors, repeat):
    """(model, median fit s, median build s of the setting it chose) over `repeat` fits.

    Both are timed with no other index alive, on memory the previous one freed:
    the first large allocations of a process pay for the system's first touch
    of their pages (on this VM 2 MiB huge pages cost ~2 ms each the first time,
    under 0.1 ms when recycled), which would otherwise fall on the fit alone.
    An untimed fit pays it first."""
    ToroidalNN(n_neighbors, random_state=0).fit(points)
    fits, builds = [], []
    for _ in range(repeat):
        start = time.perf_counter()
        model = ToroidalNN(n_neighbors, random_state=0).fit(points)
        fits.append(time.perf_counter() - start)
        p, engine, s, u = model.params_, type(model.index_), model.s_, model.u_
        model.index_ = None  # the build below recycles the fit's memory, as the fit did the last build's
        start = time.perf_counter()
        index = build_index(engine, HashParams(p["b"], p["k"], p["l"], p["probes"]), s, u, 0, points, len(points))
        builds.append(time.perf_counter() - start)
        del index
    return model, float(np.median(fits)), float(np.median(builds))


def goals(repeat, big):
    """Fit against the build of the setting it chose, on uniform data: the goal
    is fit <= 2 builds + 50 ms (2 builds at 1,000,000 points)."""
    cases = [(3_000, 16, 10), (20_000, 16, 10), (200_000, 16, 10), (4_000, 8, 1_500)]
    if big:
        cases.append((1_000_000, 16, 10))
    lines = ["| n | d | n_neighbors | setting | fit s | build s | fit / build | goal s | met |",
             "|---:|---:|---:|---|---:|---:|---:|---:|---|"]
    print("\n".join(lines), flush=True)
    for n, d, n_neighbors in cases:
        points = np.random.default_rng(n + d).random((n, d))
        model, fit, build = fit_against_build(points, n_neighbors, repeat)
        p = model.params_
        goal = 2 * build + (0.0 if n >= 1_000_000 else 0.05)
        lines.append(f"| {n:,} | {d} | {n_neighbors:,} | b={p['b']} k={p['k']} l={p['l']} probes={p['probes']} "
                     f"| {fit:.3f} | {build:.3f} | {fit / build:.1f}x | {goal:.3f} | {'yes' if fit <= goal else 'no'} |")
        print(lines[-1], flush=True)
    return "\n".join(lines)


def row(name, r):
    m, p = r["model"], r["model"].params_
    return (f"| {name} | b={p['b']} k={p['k']} l={p['l']} probes={p['probes']} | {m.table_bytes_ / 2**20:,.0f} "
            f"| {r['fit']:.2f} | {r['build']:.2f} | {r['fit'] / r['build']:.1f}x "
            f"| {m.recall_estimate_:.3f} +- {m.recall_error_:.3f} | {r['reached']:.4f} | {r['evals']:,.0f} "
            f"| {1e3 * r['hashed']:.0f} | {1e3 * r['scan']:.0f} | {r['scan'] / r['hashed']:.1f}x |")


# A hand-chosen setting for the epoch cycle, so that its numbers do not hang
# on the tuner's choice: cells of a few hundred points, where codes pay.
EPOCH_FIXED = dict(b=3, k=6, l=16, probes=4)


def epoch_times(model, points, n_cand, n_epochs, cpu=None):
    """Per epoch of `model` (fitted with the last n_cand rows of `points` as
    candidates): the seconds of `update` and of the candidates' self-join by
    ids, medians over n_epochs; and the last epoch's distances. When `cpu` is
    a list, the median CPU seconds of the process (all its threads) per epoch
    are appended to it: on a shared machine they swing less than wall time."""
    n = len(points)
    ids, moved, updates, joins, cpus = np.arange(n - n_cand, n), points[n - n_cand:].copy(), [], [], []
    for epoch in range(n_epochs):
        moved = (moved + np.random.default_rng(epoch).normal(0, 0.002, moved.shape)) % 1.0
        start, cpu_start = time.perf_counter(), time.process_time()
        model.update(moved)
        middle = time.perf_counter()
        dist, _ = model.kneighbors(ids=ids)
        joins.append(time.perf_counter() - middle)
        updates.append(middle - start)
        cpus.append(time.process_time() - cpu_start)
    if cpu is not None:
        cpu.append(float(np.median(cpus)))
    return float(np.median(updates)), float(np.median(joins)), dist


def epochs(repeat, n=200_000, n_cand=20_000, d=16):
    """update + the candidates' self-join per epoch, tuned and fixed against
    exhaustive; then the engine's self-join by ids against the same search
    sent its rows."""
    points = np.random.default_rng(5).random((n, d))
    settings = {"tuned 0.99": dict(recall=0.99), "fixed": dict(EPOCH_FIXED, recall=0.9),
                "exhaustive": dict(recall=1.0)}
    out = {name: epoch_times(ToroidalNN(10, random_state=0, **kw).fit(points, n_static=n - n_cand), points,
                             n_cand, repeat) for name, kw in settings.items()}
    lines = [f"Epoch cycle: {n - n_cand:,} static + {n_cand:,} moving points, d = {d}, k = 10: update, then the "
             f"candidates' self-join (medians of {repeat} epochs).\n",
             "| search | s update | s self-join | s per epoch | vs exhaustive | recall@10 |",
             "|---|---:|---:|---:|---:|---:|"]
    whole = {name: u + j for name, (u, j, _) in out.items()}
    for name, (u, j, dist) in out.items():
        reached = _exact.recall(dist, out["exhaustive"][2])
        lines.append(f"| {name} | {u:.4f} | {j:.3f} | {whole[name]:.3f} | {whole['exhaustive'] / whole[name]:.1f}x "
                     f"| {reached:.4f} |")
    lines.append("\n" + ids_against_rows(points, n_cand, repeat))
    return "\n".join(lines)


def ids_against_rows(points, n_cand, repeat):
    """The periodic engine's self-join by ids against query_knn sent the same
    rows with their ids excluded, at the fixed setting: same answers, seconds."""
    from vibrel._periodic import PeriodicLshIndex

    n = len(points)
    model = ToroidalNN(10, random_state=0, recall=0.9, **EPOCH_FIXED).fit(points, n_static=n - n_cand)
    p = model.params_
    index = build_index(PeriodicLshIndex, HashParams(p["b"], p["k"], p["l"], p["probes"]), model.s_, model.u_, 0,
                        points, n - n_cand)
    ids = np.arange(n - n_cand, n)
    by_rows, by_ids = [], []
    for _ in range(repeat):
        start = time.perf_counter()
        want = index.query_knn(points[ids], 10, ids)
        middle = time.perf_counter()
        got = index.query_knn_ids(ids, 10)
        by_ids.append(time.perf_counter() - middle)
        by_rows.append(middle - start)
    same = all(np.array_equal(a, z) for a, z in zip(got, want))
    return (f"Self-join of the {n_cand:,} candidates in the engine (fixed setting, medians of {repeat}): "
            f"query_knn(points[ids], exclude_ids=ids) {np.median(by_rows):.3f} s, query_knn_ids(ids) "
            f"{np.median(by_ids):.3f} s; same answers: {same}")


SMALL_ROWS = 32  # rows of a call on the per-query path, 1,000 rows in all
CODE_CASES = {"uniform d=8": lambda r, n, m: uniform(r, n, m, 8), "uniform d=16": lambda r, n, m: uniform(r, n, m, 16),
              "blobs sigma=0.03 d=16": lambda r, n, m: blobs(r, n, m, 16, 0.03),
              "sub-torus 3 in d=16": lambda r, n, m: subtorus(r, n, m, 16)}


def codes_child(name, n, m, repeat, before=False):
    """One process's share of --codes: the tuned search's least query time and
    recall for a workload, or the epoch cycle's least seconds for "epochs";
    `before`: tuned with cells of at most 8 n_neighbors points."""
    if before:
        from vibrel import _tune
        _tune._OCCUPANCY = (0.25, 8.0)
    if name == "epochs":
        n_cand, d = 20_000, 16
        points = np.random.default_rng(5).random((n, d))
        out = {}
        for label, kw in (("tuned", dict(recall=0.99)), ("fixed", dict(EPOCH_FIXED, recall=0.9)),
                          ("exhaustive", dict(recall=1.0))):
            model = ToroidalNN(10, random_state=0, **kw).fit(points, n_static=n - n_cand)
            cpu = []
            update, join, dist = epoch_times(model, points, n_cand, repeat, cpu)
            out[label] = (update + join, dist, cpu[0])
        return {"tuned": out["tuned"][0], "fixed": out["fixed"][0], "exhaustive": out["exhaustive"][0],
                "cpu": {label: cpu for label, (_, _, cpu) in out.items()},
                "recall": _exact.recall(out["tuned"][1], out["exhaustive"][1]),
                "recall_fixed": _exact.recall(out["fixed"][1], out["exhaustive"][1])}
    points, queries = CODE_CASES[name](np.random.default_rng(0), n, m)
    model = ToroidalNN(10, random_state=0).fit(points)
    t, (dist, _) = best_time(lambda: model.kneighbors(queries), repeat)
    # Calls of fewer than 64 rows take the per-query path.
    small, _ = best_time(lambda: [model.kneighbors(queries[i:i + SMALL_ROWS]) for i in range(0, 1000, SMALL_ROWS)],
                         repeat)
    true_dist, _ = _exact.knn(points, queries[:500], 10)
    p = model.params_
    return {"seconds": t, "small": small, "recall": _exact.recall(dist[:500], true_dist),
            "setting": f"b={p['b']} k={p['k']} l={p['l']} probes={p['probes']}"}


def codes_side_by_side(n, m, repeat, only=None):
    """The hashed search and the epoch cycle with the code filter off and on,
    each in two alternating fresh processes (the switch is read at import);
    `only`: just the workloads whose name contains it ("epochs" for the cycle)."""
    def run(name, on):
        env = dict(os.environ, VIBREL_CODE_FILTER="on" if on else "off")
        command = [sys.executable, os.path.abspath(__file__), "--codes-child", name, "--n", str(n),
                   "--queries", str(m), "--repeat", str(repeat)] + ([] if on else ["--before"])
        out = subprocess.run(command, env=env, capture_output=True, text=True, check=True).stdout
        return json.loads(out.strip().splitlines()[-1])

    print(f"| workload ({n:,} points, {m:,} queries, k = 10) | before: setting | float32 ms | recall "
          "| after: setting | codes ms | recall | speed-up | per-query path before / after ms |"
          "\n|---|---|---:|---:|---|---:|---:|---:|---:|", flush=True)
    for name in CODE_CASES:
        if only and only not in name:
            continue
        off, on = [], []
        for _ in range(2):
            off.append(run(name, False))
            on.append(run(name, True))
        t_off = float(np.median([r["seconds"] for r in off]))
        t_on = float(np.median([r["seconds"] for r in on]))
        s_off, s_on = (float(np.median([r["small"] for r in runs])) for runs in (off, on))
        print(f"| {name} | {off[0]['setting']} | {1e3 * t_off:.0f} | {off[0]['recall']:.4f} | {on[0]['setting']} "
              f"| {1e3 * t_on:.0f} | {on[0]['recall']:.4f} | {t_off / t_on:.2f}x | {1e3 * s_off:.0f} / {1e3 * s_on:.0f} |",
              flush=True)
    if only and only not in "epochs":
        return
    off, on = run("epochs", False), run("epochs", True)
    print(f"\nEpoch cycle ({n - 20_000:,} static + 20,000 moving, d = 16; update, then the moving points' "
          f"self-join; medians of {repeat} epochs): tuned with codes {on['tuned']:.3f} s, float32 exhaustive "
          f"{off['exhaustive']:.3f} s ({off['exhaustive'] / on['tuned']:.1f}x), tuned float32 {off['tuned']:.3f} s, "
          f"exhaustive with codes {on['exhaustive']:.3f} s; recall {on['recall']:.4f}. Fixed "
          f"{' '.join(f'{k}={v}' for k, v in EPOCH_FIXED.items())}: with codes {on['fixed']:.3f} s "
          f"({off['exhaustive'] / on['fixed']:.1f}x), float32 {off['fixed']:.3f} s; recall {on['recall_fixed']:.4f}. "
          f"CPU s per epoch: float32 exhaustive {off['cpu']['exhaustive']:.2f}, tuned with codes "
          f"{on['cpu']['tuned']:.2f} ({off['cpu']['exhaustive'] / on['cpu']['tuned']:.1f}x), fixed with codes "
          f"{on['cpu']['fixed']:.2f} ({off['cpu']['exhaustive'] / on['cpu']['fixed']:.1f}x)", flush=True)


def plot(points, queries, repeat, path):
    """Recall reached against queries per second over recall targets."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    targets = (0.5, 0.8, 0.9, 0.95, 0.99, 0.995, 0.999)
    results = {t: measure(points, queries, 10, repeat, t) for t in targets}
    fig, ax = plt.subplots(figsize=(5, 3.4), dpi=120)
    qps = [len(queries) / r["hashed"] for r in results.values()]
    ax.plot(qps, [r["reached"] for r in results.values()], "o-", label="tuned for a recall target")
    for t, r in results.items():
        ax.annotate(f"{t:g}", (len(queries) / r["hashed"], r["reached"]), fontsize=6,
                    xytext=(3, -8), textcoords="offset points")
    d = results[0.99]
    ax.plot([len(queries) / d["hashed"]], [d["reached"]], "*", ms=12, label="default (recall=0.99)")
    ax.plot([len(queries) / d["scan"]], [1.0], "s", label="exhaustive (recall=1.0)")
    ax.set_xscale("log")
    ax.set_xlabel("queries per second")
    ax.set_ylabel("recall@10 reached")
    ax.set_title(f"uniform d={points.shape[1]}, n={len(points):,}, {pool_threads()} threads", fontsize=8)
    ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path)
    return "\n".join(f"target {t:g}: reached {r['reached']:.4f}, {len(queries) / r['hashed']:,.0f} queries/s"
                     for t, r in results.items())


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--queries", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--big", action="store_true", help="also uniform d=16 with 1,000,000 points")
    parser.add_argument("--epochs", action="store_true", help="also the epoch cycle")
    parser.add_argument("--plot", metavar="PATH", help="write the recall-vs-speed plot (uniform d=16) to PATH")
    parser.add_argument("--only", help="run only the workloads whose name contains this")
    parser.add_argument("--goals", action="store_true",
                        help="only fit against build on uniform data (n = 3,000 to 200,000; 1,000,000 with --big)")
    parser.add_argument("--codes", action="store_true", help="the code filter off and on, side by side")
    parser.add_argument("--codes-child", help=argparse.SUPPRESS)
    parser.add_argument("--before", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    n, m = args.n, args.queries
    if args.codes_child:
        print(json.dumps(codes_child(args.codes_child, n, m, args.repeat, args.before)))
        return
    print(f"CPU: {cpu_name()}, {os.cpu_count()} hardware threads, engine pool {pool_threads()} threads\n")
    if args.codes:
        codes_side_by_side(n, m, args.repeat, args.only)
        return
    if args.goals:
        print(f"Fit against build, medians of {args.repeat}:\n")
        goals(args.repeat, args.big)
        return
    print("| workload | tuned setting | tables MiB | fit s | build s | fit/build | estimate | reached | evals/q "
          "| hashed ms | exhaustive ms | speed-up |\n|---|---|---:|---:|---:|---:|---|---:|---:|---:|---:|---:|")
    cases = [(f"uniform d={d} n={n:,}", lambda r, d=d: uniform(r, n, m, d), 10) for d in (3, 8, 16)]
    cases += [(f"blobs sigma=0.03 d=16 n={n:,}", lambda r: blobs(r, n, m, 16, 0.03), 10),
              (f"sub-torus 3 in d=16 n={n:,}", lambda r: subtorus(r, n, m, 16), 10),
              (f"uniform d=8 n={n:,}, k=50", lambda r: uniform(r, n, m, 8), 50)]
    if args.big:
        cases.append(("uniform d=16 n=1,000,000", lambda r: uniform(r, 1_000_000, m, 16), 10))
    for name, make, n_neighbors in cases:
        if args.only and args.only not in name:
            continue
        points, queries = make(np.random.default_rng(0))
        print(row(name, measure(points, queries, n_neighbors, args.repeat)), flush=True)
    if args.epochs:
        print("\n" + epochs(args.repeat))
    if args.plot:
        points, queries = uniform(np.random.default_rng(0), n, m, 16)
        print("\n" + plot(points, queries, args.repeat, args.plot))


if __name__ == "__main__":
    main()
