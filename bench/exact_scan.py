"""The exact brute-force scan (bench/exact_scan/, a C++ program) from Python:
the yardstick the index is measured against.

    from exact_scan import exact_knn            # with bench/ on sys.path
    ids, dists, seconds = exact_knn(points, queries, k=10, threads=2)

Run as a script it measures the scan on uniform points and prints a Markdown table:

    /usr/bin/python3 bench/exact_scan.py [-n 200000] [-m 2000] [-k 10] [--dims 8 16 24] [--threads 1 2]

The program is looked up as $VIBREL_EXACT_SCAN, else the newest build/*/bench/exact_scan.
"""

import argparse
import glob
import json
import os
import sys
import subprocess
import tempfile

import numpy as np
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # bench/, also under -P
from machine import cpu_name

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def find_program():
    """Path of the built exact_scan program, or None when there is none."""
    explicit = os.environ.get("VIBREL_EXACT_SCAN")
    if explicit:
        return explicit if os.access(explicit, os.X_OK) else None
    found = [p for p in glob.glob(os.path.join(ROOT, "build", "*", "bench", "exact_scan")) if os.access(p, os.X_OK)]
    return max(found, key=os.path.getmtime) if found else None


def _as_f32(name, array):
    array = np.asarray(array)
    if array.ndim != 2:
        raise ValueError(f"{name} must be 2-D, got shape {array.shape}")
    # float64 input is rounded to nearest float32, as the index rounds it.
    return np.ascontiguousarray(array, dtype="<f4")


def run_scan(points, queries, k, threads=1, exclude_self=False, level=None, repeat=1, program=None):
    """Runs the scan and returns (ids, dists, report): ids int64 (m, k), dists the
    float32 distances widened to float64 (m, k), rows ascending by (distance, id)
    and padded with -1 / inf; report is the program's JSON line as a dict."""
    program = program or find_program()
    if program is None:
        raise FileNotFoundError("exact_scan is not built (build/*/bench/exact_scan); run ninja or tools/setup.sh")
    points, queries = _as_f32("points", points), _as_f32("queries", queries)
    (n, d), m = points.shape, queries.shape[0]
    if queries.shape[1] != d:
        raise ValueError(f"queries have {queries.shape[1]} columns, points {d}")
    with tempfile.TemporaryDirectory(prefix="exact_scan") as tmp:
        paths = {name: os.path.join(tmp, name) for name in ("points", "queries", "ids", "dists")}
        points.tofile(paths["points"])
        queries.tofile(paths["queries"])
        command = [program, "--points", paths["points"], "--queries", paths["queries"], "-n", str(n), "-m", str(m),
                   "-d", str(d), "-k", str(k), "--ids", paths["ids"], "--dists", paths["dists"],
                   "--threads", str(threads), "--repeat", str(repeat)]
        if exclude_self:
            command.append("--exclude-self")
        if level is not None:
            command += ["--level", level]
        result = subprocess.run(command, capture_output=True, text=True, check=False)
        if result.returncode != 0:
            raise RuntimeError(f"exact_scan failed ({result.returncode}): {result.stderr.strip()}")
        ids = np.fromfile(paths["ids"], dtype="<i8").reshape(m, k)
        dists = np.fromfile(paths["dists"], dtype="<f4").reshape(m, k).astype(np.float64)
    return ids, dists, json.loads(result.stdout)


def exact_knn(points, queries, k, threads=1, exclude_self=False):
    """Exact k nearest neighbours under float32 toroidal L1: (ids, dists, seconds),
    seconds being the scan's own wall time (no file input or output)."""
    ids, dists, report = run_scan(points, queries, k, threads=threads, exclude_self=exclude_self)
    return ids, dists, report["seconds"]


def _build_type(program):
    """Meson build type of the build directory holding `program`, if it says."""
    info = os.path.join(os.path.dirname(os.path.dirname(program)), "meson-info", "intro-buildoptions.json")
    try:
        with open(info) as f:
            return next(o["value"] for o in json.load(f) if o["name"] == "buildtype")
    except (OSError, ValueError, StopIteration):
        return "unknown"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-n", type=int, default=200_000)
    parser.add_argument("-m", type=int, default=2_000)
    parser.add_argument("-k", type=int, default=10)
    parser.add_argument("--dims", type=int, nargs="+", default=[8, 16, 24])
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--level", choices=["scalar", "avx2", "avx512"], default=None)
    parser.add_argument("--repeat", type=int, default=3, help="runs per case; the fastest is reported")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()

    program = find_program()
    if program is None:
        raise SystemExit("exact_scan is not built: meson setup build/dev && ninja -C build/dev")
    print(f"exact_scan: {os.path.relpath(program, ROOT)} ({_build_type(program)} build); CPU: {cpu_name()}, "
          f"{os.cpu_count()} hardware threads; n = {args.n:,} uniform points, {args.m:,} queries, k = {args.k}, "
          f"fastest of {args.repeat} runs (wall time; CPU time beside it, which a busy machine inflates less)\n")
    print("| d | threads | kernel | seconds | queries/s | evaluations/s | evaluations/s per thread "
          "| evaluations per CPU-second |")
    print("|---|---|---|---|---|---|---|---|")
    rng = np.random.default_rng(args.seed)
    for d in args.dims:
        points = rng.random((args.n, d), dtype=np.float32)
        queries = rng.random((args.m, d), dtype=np.float32)
        for threads in args.threads:
            _, _, r = run_scan(points, queries, args.k, threads=threads, level=args.level, repeat=args.repeat,
                               program=program)
            print(f"| {d} | {r['threads']} | {r['level']} | {r['seconds']:.4f} | {r['queries_per_s']:,.0f} | "
                  f"{r['evals_per_s']:.3g} | {r['evals_per_s_per_thread']:.3g} | {r['evals_per_cpu_s']:.3g} |")


if __name__ == "__main__":
    main()
