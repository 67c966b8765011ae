"""Build benchmark: the compiled index against the NumPy reference on the
build workload, plus the core's own hashing time (from the C++ micro-benchmark).

    .venv/bin/python bench/bench_build.py [-n 1000000] [-d 16] [--repeat 5]
"""

import argparse
import glob
import json
import os
import platform
import subprocess
import sys
import time

import numpy as np

from vibrel._native import RustLshIndex
from vibrel.lsh import PythonLshIndex


def best_of(repeat, fn):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times), float(np.median(times))


def core_hashing_ms(n):
    """Hashing and sorting times of the core, measured by the C++ micro-benchmark."""
    here = os.path.dirname(os.path.abspath(__file__))
    candidates = sorted(glob.glob(os.path.join(here, "..", "build", "*", "bench", "core_bench")))
    if not candidates:
        return None
    out = subprocess.run([candidates[-1], "--benchmark_format=json", "--benchmark_min_time=2",
                          f"--benchmark_filter=ComputeKeys/{n}/|SortTier/{n * 9 // 10}/"],
                         capture_output=True, text=True, check=True)
    return {b["name"]: b["real_time"] for b in json.loads(out.stdout)["benchmarks"]}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-n", type=int, default=1_000_000)
    parser.add_argument("-d", type=int, default=16)
    parser.add_argument("--l", type=int, default=8)
    parser.add_argument("--b", type=int, default=4)
    parser.add_argument("--k", type=int, default=9)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--reference-repeat", type=int, default=2)
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    points = rng.random((args.n, args.d))
    s = rng.integers(0, args.d, size=(args.l, args.k), dtype=np.int64)
    u = rng.random((args.l, args.k))
    n_static = args.n * 9 // 10

    native = RustLshIndex(args.b, args.k, args.l, 2, s, u)
    reference = PythonLshIndex(args.b, args.k, args.l, 2, s, u)
    native.build(points, n_static)  # warm the pool and the allocator
    native_best, native_median = best_of(args.repeat, lambda: native.build(points, n_static))
    reference_best, _ = best_of(args.reference_repeat, lambda: reference.build(points, n_static))
    identical = all(np.array_equal(a, b) for a, b in zip(native.tables().values(), reference.tables().values()))

    threads = os.environ.get("RAYON_NUM_THREADS", str(os.cpu_count()))
    print(f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cpus, pool threads {threads}, "
          f"Python {sys.version.split()[0]}, NumPy {np.__version__}")
    print(f"workload: n={args.n}, d={args.d}, l={args.l}, b={args.b}, k={args.k}, n_static={n_static}")
    print("| what | time (ms) |")
    print("|---|---|")
    print(f"| native build (best of {args.repeat}; median {native_median * 1e3:.1f}) | {native_best * 1e3:.1f} |")
    print(f"| reference build (best of {args.reference_repeat}) | {reference_best * 1e3:.1f} |")
    core = core_hashing_ms(args.n) if args.d == 16 and args.l == 8 and args.k == 9 and args.b == 4 else None
    if core:
        for name, ms in core.items():
            print(f"| core {name} (C++ micro-benchmark) | {ms:.1f} |")
    print(f"\nreference / native: {reference_best / native_best:.1f}x; tables byte-identical: {identical}")
    if core:
        hashing = core[f"BM_ComputeKeys/{args.n}/real_time"]
        print(f"native build / hashing alone: {native_best * 1e3 / hashing:.2f}x")


if __name__ == "__main__":
    main()
