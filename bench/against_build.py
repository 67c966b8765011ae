"""vibrel.ToroidalNN at its defaults in two builds of the package, side by side in
one run: this checkout's and another one given by path (an older commit checked
out and built elsewhere), on the same points and queries.

    .venv/bin/python bench/against_build.py OLD [--repeat 3] [--calls 1] [--only d=8] [--new PATH] [--setting 4,9,3,4]

OLD (and --new, by default this checkout) is a directory holding the `vibrel`
package, or a checkout whose .venv has it installed (`bash tools/setup.sh`
there). Workloads are those of `bench_front.py --codes`: 200,000 points and
5,000 fresh queries, k = 10, `ToroidalNN(10, random_state=0)` (recall 0.99, the
tuner chooses). Per workload two rows: the 5,000 queries in one call (the
blocked path) and the first 1,000 in calls of 32 rows (the per-query path).
"old / new" is the old build's query time over the new one's: above 1 the new
build is faster.

Every measurement runs in a fresh process with this interpreter, whose import
path starts with that build (PYTHONPATH, and PYTHONSAFEPATH so that neither the
working directory nor the script's own is searched first); the child reports
which `vibrel` it imported and refuses to run from anywhere else. The builds
alternate, old first on even repeats and new first on odd ones; times are
medians over `--repeat` processes, each fitting once and timing each path's
queries `--calls` times: with more than one, a process reports the median of
its calls (the first call after a fit pays for its buffers and cold tables,
and one call of 10-15 ms swings with the machine). Only the queries are
timed; the fit (tuning included) is a side column, and so is the ratio of the
queries' CPU seconds (all the process's threads), which a shared machine
disturbs less than the wall clock.
--setting b,k,l,probes gives both builds that hash setting instead of the
tuner's choice (the fit then only builds), so that the engines are compared
on the same tables' work apart from the choice each tuner makes.
VIBREL_CODE_FILTER is dropped from the children's environment: both run their
defaults. Recall: a neighbour counts when its distance is at most the true k-th
distance, the truth from `vibrel._exact` (this checkout's), computed before any
timing and kept in --cache for the next run (minutes a workload).
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

# The child imports nothing from this checkout but numpy and the build on its
# path, so that an older build's API is all it sees.
N_NEIGHBORS = 10
SMALL_ROWS, SMALL_QUERIES = 32, 1_000  # calls of fewer than 64 rows take the per-query path


def child(data, out, setting=None, calls=1):
    """One fit and `calls` timings of each path with the `vibrel` on the import
    path (their medians); writes the last call's distances beside `out` and
    prints a JSON line."""
    import vibrel
    from vibrel import ToroidalNN

    expected = os.environ["VIBREL_EXPECTED_ROOT"]
    where = os.path.realpath(vibrel.__file__)
    if not where.startswith(os.path.join(expected, "")):
        raise SystemExit(f"against_build: imported vibrel from {where}, not from {expected}")
    points, queries = np.load(os.path.join(data, "points.npy")), np.load(os.path.join(data, "queries.npy"))
    start = time.perf_counter()
    given = dict(zip(("b", "k", "l", "probes"), setting)) if setting else {}
    model = ToroidalNN(N_NEIGHBORS, random_state=0, **given).fit(points)
    fit = time.perf_counter() - start

    def timed(call):
        """(result of the last call, median wall s, median CPU s) of `calls` calls."""
        wall, cpu = [], []
        for _ in range(calls):
            start, start_cpu = time.perf_counter(), time.process_time()
            result = call()
            wall.append(time.perf_counter() - start)
            cpu.append(time.process_time() - start_cpu)
        return result, float(np.median(wall)), float(np.median(cpu))

    (dist, _), blocked, blocked_cpu = timed(lambda: model.kneighbors(queries))
    small, per_query, per_query_cpu = timed(
        lambda: [model.kneighbors(queries[i:i + SMALL_ROWS])[0] for i in range(0, SMALL_QUERIES, SMALL_ROWS)])
    np.save(out + "-blocked.npy", dist)
    np.save(out + "-per-query.npy", np.concatenate(small))
    # The compiled modules too: a package directory without its own build would
    # fall through to another one's.
    compiled = sorted(os.path.realpath(module.__file__) for name, module in list(sys.modules.items())
                      if name.startswith("vibrel.") and (getattr(module, "__file__", None) or "").endswith(".so"))
    if not compiled or not all(path.startswith(os.path.join(expected, "")) for path in compiled):
        raise SystemExit(f"against_build: compiled modules {compiled}, not all from {expected}")
    p = model.params_
    print(json.dumps({"vibrel": where, "compiled": compiled, "fit": fit,
                      "seconds": {"blocked": blocked, "per-query": per_query},
                      "cpu": {"blocked": blocked_cpu, "per-query": per_query_cpu},
                      "setting": f"b={p['b']} k={p['k']} l={p['l']} probes={p['probes']}"}))


def import_root(path):
    """The directory to put on the import path for the build at `path`: the
    path itself when it holds the package, else its .venv's site-packages for
    this interpreter's version."""
    path = os.path.realpath(path)
    if os.path.isfile(os.path.join(path, "vibrel", "__init__.py")):
        return path
    version = f"python{sys.version_info[0]}.{sys.version_info[1]}"
    site = os.path.join(path, ".venv", "lib", version, "site-packages")
    if os.path.isfile(os.path.join(site, "vibrel", "__init__.py")):
        return os.path.realpath(site)
    raise SystemExit(f"against_build: no vibrel package for {version} in {path} or its .venv")


def run_child(root, data, out, setting=None, calls=1):
    env = {k: v for k, v in os.environ.items() if k != "VIBREL_CODE_FILTER"}
    env.update(PYTHONPATH=root, PYTHONSAFEPATH="1", VIBREL_EXPECTED_ROOT=root)
    command = [sys.executable, os.path.abspath(__file__), "--child", data, "--out", out, "--calls", str(calls)]
    if setting:
        command += ["--setting", ",".join(map(str, setting))]
    done = subprocess.run(command, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"against_build: the child for {root} failed:\n{done.stderr}")
    result = json.loads(done.stdout.strip().splitlines()[-1])
    result["dist"] = {path: np.load(f"{out}-{path}.npy") for path in ("blocked", "per-query")}
    return result


def load():
    return "load average " + ", ".join(f"{x:.2f}" for x in os.getloadavg())


def truth(points, queries, cache):
    """The true distances of the k nearest points to every query, from the
    oracle, kept in `cache` under a digest of the data (the oracle takes
    minutes at 200,000 points)."""
    import hashlib

    from vibrel import _exact

    digest = hashlib.sha256(points.tobytes() + queries.tobytes() + str(N_NEIGHBORS).encode()).hexdigest()[:24]
    path = os.path.join(cache, f"knn-{digest}.npy")
    if os.path.exists(path):
        return np.load(path)
    start = time.perf_counter()
    true_dist, _ = _exact.knn(points, queries, N_NEIGHBORS)
    print(f"truth from vibrel._exact in {time.perf_counter() - start:.0f} s, kept in {path}", flush=True)
    os.makedirs(cache, exist_ok=True)
    np.save(path, true_dist)
    return true_dist


def alternate(roots, points, queries, repeat, setting=None, calls=1):
    """`repeat` children per build on these points, the builds alternating:
    {label: [result, ...]}."""
    runs = {label: [] for label in roots}
    with tempfile.TemporaryDirectory(prefix="against_build-") as data:
        np.save(os.path.join(data, "points.npy"), points)
        np.save(os.path.join(data, "queries.npy"), queries)
        for rep in range(repeat):
            for label in ("old", "new") if rep % 2 == 0 else ("new", "old"):
                runs[label].append(run_child(roots[label], data, os.path.join(data, f"{label}-{rep}"), setting, calls))
    return runs


def cells(results, path, true_dist):
    """(median query s, lowest recall, settings chosen, median fit s, median
    query CPU s) of one build's runs on one path."""
    from vibrel import _exact

    return (float(np.median([r["seconds"][path] for r in results])),
            min(_exact.recall(r["dist"][path], true_dist[:len(r["dist"][path])]) for r in results),
            " / ".join(sorted({r["setting"] for r in results})),
            float(np.median([r["fit"] for r in results])),
            float(np.median([r["cpu"][path] for r in results])))


def compare(roots, repeat, only, cache, setting=None, calls=1):
    from bench_front import CODE_CASES

    n, m = 200_000, 5_000
    cases = {name: make for name, make in CODE_CASES.items() if not only or only in name}
    truths = {name: truth(*make(np.random.default_rng(0), n, m), cache) for name, make in cases.items()}
    print(f"\n{load()}\n", flush=True)
    print(f"| workload ({n:,} points, k = {N_NEIGHBORS}) | queries | old: setting | new: setting | old ms | new ms "
          "| old / new | old q/s | new q/s | old recall | new recall | old fit s | new fit s | CPU old / new |"
          "\n|---|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|", flush=True)
    imported = {label: set() for label in roots}
    for name, make in cases.items():
        runs = alternate(roots, *make(np.random.default_rng(0), n, m), repeat, setting, calls)
        for label, results in runs.items():
            imported[label].update(path for r in results for path in [r["vibrel"], *r["compiled"]])
        paths = (("blocked", f"{m:,} in one call"), ("per-query", f"{SMALL_QUERIES:,} in calls of {SMALL_ROWS}"))
        for path, what in paths:
            (t_old, r_old, s_old, f_old, c_old), (t_new, r_new, s_new, f_new, c_new) = (
                cells(runs[label], path, truths[name]) for label in ("old", "new"))
            count = len(runs["old"][0]["dist"][path])
            print(f"| {name} | {what} | {s_old} | {s_new} | {1e3 * t_old:.1f} | {1e3 * t_new:.1f} "
                  f"| {t_old / t_new:.2f}x | {count / t_old / 1e3:.1f}k | {count / t_new / 1e3:.1f}k "
                  f"| {r_old:.4f} | {r_new:.4f} | {f_old:.2f} | {f_new:.2f} | {c_old / c_new:.2f}x |", flush=True)
    print(f"\n{load()}")
    for label, where in imported.items():
        print(f"{label}: every child imported {', '.join(sorted(where))}")


def hash_setting(text):
    """b,k,l,probes as four integers."""
    values = tuple(int(v) for v in text.split(","))
    if len(values) != 4:
        raise argparse.ArgumentTypeError(f"expected b,k,l,probes, got {text!r}")
    return values


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("old", nargs="?", help="the other build: a package directory or a checkout with .venv")
    parser.add_argument("--new", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."),
                        help="this build (default: this checkout's .venv)")
    parser.add_argument("--repeat", type=int, default=3, help="fresh processes per build and workload")
    parser.add_argument("--calls", type=int, default=1,
                        help="timed calls of each path per process, their median reported (default 1)")
    parser.add_argument("--only", help="run only the workloads whose name contains this")
    parser.add_argument("--cache", default=os.path.join(tempfile.gettempdir(), "vibrel-truth"),
                        help="where the oracle's answers are kept between runs")
    parser.add_argument("--setting", type=hash_setting, help="b,k,l,probes for both builds instead of their tuners'")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--out", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.out, args.setting, args.calls)
        return
    if not args.old:
        parser.error("the other build's path is required")
    if args.calls < 1:
        parser.error("--calls must be at least 1")
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from machine import cpu_name, pool_threads

    print(f"CPU: {cpu_name()}, {os.cpu_count()} hardware threads, engine pool {pool_threads()} threads; "
          f"medians of {args.repeat} fresh processes per build, each the median of {args.calls} calls")
    roots = {"old": import_root(args.old), "new": import_root(args.new)}
    print("\n".join(f"{label}: {root}" for label, root in roots.items()))
    compare(roots, args.repeat, args.only, args.cache, args.setting, args.calls)


if __name__ == "__main__":
    main()
