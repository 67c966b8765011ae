"""Result sizes known before a query runs.  A request whose result cannot be
allocated fails at once with MemoryError, before any work, rather than after
its slices have filled memory one by one; the model is untouched either way.

A k-nearest-neighbour answer has exactly m × k entries.  A radius answer is
bounded cheaply only when the radius reaches every point of the box: then every
pair is in it."""

from __future__ import annotations

import sys

import numpy as np

# An int64 id and a float64 distance.
BYTES_PER_NEIGHBOUR = 16


def knn_rows(m: int, k: int) -> tuple[np.ndarray, np.ndarray]:
    """Empty (m, k) id and distance arrays for a k-nearest-neighbour answer;
    MemoryError at once when they cannot be allocated."""
    what = f"the answer to {m:,} queries with n_neighbors = {k:,}"
    check_allocatable(m * k * BYTES_PER_NEIGHBOUR, what)
    try:
        return np.empty((m, k), dtype=np.int64), np.empty((m, k), dtype=np.float64)
    except MemoryError:
        raise MemoryError(_message(what, m * k * BYTES_PER_NEIGHBOUR)) from None


def check_radius_answer(m: int, n: int, excluded: int, radius: float, reach: float) -> None:
    """MemoryError when `radius` reaches every point of the box (`reach` is the
    largest distance in it) and the m × n pairs less the `excluded` ones cannot
    be allocated; otherwise nothing."""
    if radius < reach:
        return
    pairs = m * n - excluded
    check_allocatable(pairs * BYTES_PER_NEIGHBOUR + (m + 1) * 8,
                      f"the answer to {m:,} queries with a radius of {radius:g}, which reaches every point "
                      f"({pairs:,} pairs)")


def check_allocatable(nbytes: int, what: str) -> None:
    """MemoryError when `nbytes` cannot be allocated.  The trial reserves the
    memory without touching it and gives it back at once."""
    if nbytes >= sys.maxsize:
        raise MemoryError(_message(what, nbytes))
    try:
        np.empty(nbytes, dtype=np.uint8)
    except MemoryError:
        raise MemoryError(_message(what, nbytes)) from None


def box_reach(metric: str, period: np.ndarray | None, d: int) -> float:
    """The largest distance between two points of the box: half of every side,
    summed (l1) or as the root of the sum of squares (l2)."""
    half = np.full(d, 0.5) if period is None else np.asarray(period, dtype=np.float64) / 2
    return float(half.sum() if metric == "l1" else np.sqrt((half * half).sum()))


def _message(what: str, nbytes: int) -> str:
    return f"{what} needs {nbytes / 2**30:,.1f} GiB, which cannot be allocated"
