"""A short demonstration: build the compiled index and its NumPy reference from
the same hash parameters and check that their tables are byte-identical."""

import argparse
import sys
import time

import numpy as np


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m vibrel", description=__doc__)
    parser.add_argument("-n", type=int, default=200_000, help="number of points (default 200000)")
    parser.add_argument("-d", type=int, default=16, help="dimension (default 16)")
    parser.add_argument("--b", type=int, default=4, help="buckets per digit (default 4)")
    parser.add_argument("--k", type=int, default=9, help="digits per key (default 9)")
    parser.add_argument("--l", type=int, default=8, help="hash tables (default 8)")
    parser.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    args = parser.parse_args(argv)

    from vibrel._native import RustLshIndex
    from vibrel.lsh import PythonLshIndex

    rng = np.random.default_rng(args.seed)
    points = rng.random((args.n, args.d))
    s = rng.integers(0, args.d, size=(args.l, args.k), dtype=np.int64)
    u = rng.random((args.l, args.k))
    n_static = args.n * 9 // 10

    native = RustLshIndex(args.b, args.k, args.l, 2, s, u)
    start = time.perf_counter()
    native.build(points, n_static)
    t_native = time.perf_counter() - start

    reference = PythonLshIndex(args.b, args.k, args.l, 2, s, u)
    start = time.perf_counter()
    reference.build(points, n_static)
    t_reference = time.perf_counter() - start

    ours, theirs = native.tables(), reference.tables()
    identical = all(np.array_equal(ours[name], theirs[name]) for name in ours)
    print(f"{args.n} points, d={args.d}, l={args.l}, b={args.b}, k={args.k}, n_static={n_static}")
    print(f"compiled build : {t_native * 1e3:9.1f} ms")
    print(f"reference build: {t_reference * 1e3:9.1f} ms  ({t_reference / t_native:.0f}x slower)")
    print(f"tables byte-identical: {identical}")
    return 0 if identical else 1


if __name__ == "__main__":
    sys.exit(main())
