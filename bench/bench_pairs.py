"""Pair lists within a cutoff in a periodic box, per simulation frame, against
the tools simulation users have, in one run (minimum-image Euclidean):

* vibrel: ToroidalNN(metric="l2", period=box) fitted once with n_static=0,
  then per frame `update` of every point and `radius_pairs(cutoff)`;
* SciPy: cKDTree(x, boxsize=box) built and `query_pairs(cutoff,
  output_type="ndarray")`, plus the pairs' minimum-image distances;
* MDAnalysis: one `self_capped_distance(x32, cutoff, box=[Lx, Ly, Lz, 90, 90, 90])`.

Cases: rattled fcc copper crystals (ase.build.bulk, a = 3.615, cubic cell,
rattled by `--rattle`) of 4,000, 24,000 (non-cubic box) and 256,000 atoms at
cutoff 3.0, and a random dense liquid of 30,000 atoms in a 20 x 10 x 30 box at
cutoff 2.5.  Each frame moves every atom a little (the same moves for all
tools); times are medians over `--frames` frames.  The pair sets are compared
exactly: a pair only one tool lists counts as a mismatch unless its distance
is within 1e-5 relative of the cutoff.

MDAnalysis and ASE are benchmark-only (Debian: python3-mdanalysis,
python3-ase); the package imports neither.

    .venv/bin/python bench/bench_pairs.py [--frames 5] [--cases fcc4k,fcc24k,fcc256k,liquid30k]
"""

import argparse
import os
import statistics
import sys
import time
import warnings

import numpy as np
from scipy.spatial import cKDTree

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from machine import cpu_name, pool_threads  # noqa: E402
from vibrel import ToroidalNN  # noqa: E402

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    from MDAnalysis.lib.distances import self_capped_distance  # noqa: E402

EDGE = 1e-5  # pairs this close (relative) to the cutoff may differ between tools


def fcc(repeat, rattle, seed):
    """Positions and box of a rattled fcc copper crystal of 4 * prod(repeat) atoms."""
    from ase.build import bulk
    atoms = bulk("Cu", "fcc", a=3.615, cubic=True).repeat(repeat)
    atoms.rattle(stdev=rattle, seed=seed)
    return atoms.get_positions(), np.diag(atoms.get_cell()).copy()


def liquid(n, box, seed):
    return np.random.default_rng(seed).random((n, 3)) * box, np.asarray(box, dtype=np.float64)


def wrapped(x, box):
    """Coordinates in [0, box) on every axis (a value rounding to the side becomes 0)."""
    y = np.mod(x, box)
    y[y >= box] = 0.0
    return y


def min_image(x, box, pairs):
    delta = np.abs(x[pairs[:, 0]] - x[pairs[:, 1]])
    delta = np.minimum(delta, box - delta)
    return np.sqrt((delta * delta).sum(axis=1))


def as_set(pairs):
    lo, hi = np.minimum(pairs[:, 0], pairs[:, 1]), np.maximum(pairs[:, 0], pairs[:, 1])
    return set(zip(lo.tolist(), hi.tolist()))


def mismatches(ours, theirs, x, box, cutoff):
    """(pairs differing, of which not within EDGE of the cutoff)."""
    a, b = as_set(ours), as_set(theirs)
    diff = np.array(sorted(a ^ b), dtype=np.int64).reshape(-1, 2)
    if diff.size == 0:
        return 0, 0
    far = np.abs(min_image(x, box, diff) - cutoff) > EDGE * cutoff
    return len(diff), int(far.sum())


def vibrel_frames(frames, box, cutoff):
    model = ToroidalNN(metric="l2", period=box, random_state=0)
    model.fit(frames[0], n_static=0)
    times, out = [], None
    for x in frames[1:]:
        t0 = time.perf_counter()
        model.update(x)
        out = model.radius_pairs(cutoff)
        times.append(time.perf_counter() - t0)
    return times, out


def ckdtree_frames(frames, box, cutoff):
    times, out = [], None
    for x in frames[1:]:
        t0 = time.perf_counter()
        pairs = cKDTree(x, boxsize=box).query_pairs(cutoff, output_type="ndarray")
        dists = min_image(x, box, pairs)
        times.append(time.perf_counter() - t0)
        out = pairs, dists
    return times, out


def mdanalysis_frames(frames, box, cutoff):
    dims = np.array([*box, 90.0, 90.0, 90.0], dtype=np.float32)
    times, out = [], None
    for x in frames[1:]:
        x32 = x.astype(np.float32)
        t0 = time.perf_counter()
        out = self_capped_distance(x32, cutoff, box=dims)
        times.append(time.perf_counter() - t0)
    return times, out


CASES = {
    "fcc4k": ("fcc crystal, 4,000 atoms, cutoff 3.0", lambda a: fcc((10, 10, 10), a.rattle, 1), 3.0),
    "fcc24k": ("fcc crystal, 24,000 atoms, box 36 x 72 x 108", lambda a: fcc((10, 20, 30), a.rattle, 2), 3.0),
    "fcc256k": ("fcc crystal, 256,000 atoms, cutoff 3.0", lambda a: fcc((40, 40, 40), a.rattle, 3), 3.0),
    "liquid30k": ("random liquid, 30,000 atoms, box 20 x 10 x 30, cutoff 2.5",
                  lambda a: liquid(30_000, (20.0, 10.0, 30.0), 4), 2.5),
}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=5)
    parser.add_argument("--rattle", type=float, default=0.05, help="rattle of the crystals, in Angstrom")
    parser.add_argument("--step", type=float, default=0.02, help="per-frame move of every atom, in box units")
    parser.add_argument("--cases", default=",".join(CASES))
    args = parser.parse_args()
    print(f"# {cpu_name()}, {pool_threads()} pool threads; times are medians of {args.frames} frames")
    print("| case | pairs | vibrel update + radius_pairs | cKDTree build + query_pairs | MDAnalysis "
          "self_capped_distance | vs cKDTree | vs MDAnalysis | mismatches cKDTree / MDAnalysis (beyond 1e-5) |")
    print("|---|---|---|---|---|---|---|---|")
    for name in args.cases.split(","):
        label, make, cutoff = CASES[name]
        x0, box = make(args)
        rng = np.random.default_rng(7)
        frames = [wrapped(x0, box)]
        for _ in range(args.frames):
            frames.append(wrapped(frames[-1] + rng.normal(0.0, args.step, x0.shape), box))
        t_v, (pairs_v, _) = vibrel_frames(frames, box, cutoff)
        t_k, (pairs_k, _) = ckdtree_frames(frames, box, cutoff)
        t_m, (pairs_m, _) = mdanalysis_frames(frames, box, cutoff)
        mv, mk, mm = (statistics.median(t) for t in (t_v, t_k, t_m))
        dk, fk = mismatches(pairs_v, pairs_k, frames[-1], box, cutoff)
        dm, fm = mismatches(pairs_v, pairs_m, frames[-1], box, cutoff)
        print(f"| {label} | {len(pairs_v):,} | {mv:.4f} s | {mk:.4f} s | {mm:.4f} s | {mk / mv:.2f}x | "
              f"{mm / mv:.2f}x | {dk} ({fk}) / {dm} ({fm}) |", flush=True)


if __name__ == "__main__":
    main()
