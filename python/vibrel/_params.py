"""Default hash parameters of `vibrel.ToroidalNN` and the drawing of `s` and `u`.

The rule, for `n` points in `d` dimensions and `n_neighbors` neighbours per query:

* Tiny sets (`n` below `EXHAUSTIVE_BELOW`) get one bucket (`b = 1`, `k = 1`,
  `l = 1`, `probes = 0`): every query is compared with every point, which is exact
  and, at that size, as fast as hashing.
* Otherwise a key has `k` digits of `b = 4` buckets each, with
  `k = floor(log4(n / 3))`, so that a cell holds between 3 and 12 points on
  average.  Each table hashes `k` different coordinates (drawn at random per
  table), so together the tables look at every coordinate.
* When that `k` exceeds `d` (few dimensions, many points), every coordinate gets
  exactly one digit (`k = d`) and the buckets are made finer instead:
  `b = floor((n / m) ** (1 / d))` with `m = 4 * n_neighbors / (1 + d)` points per
  cell, so that a query's cell and the cells across its faces hold several times
  `n_neighbors` points and the search rarely has to widen.
* `probes = k`: every digit is probed once per table, nearest cell boundary first.
* `l = round(16 * effort)` tables (at least 1) with 4 buckets per digit; with the
  finer buckets of few dimensions neighbouring cells overlap more between tables
  and `round(max(4, 2 * d) * effort)` tables suffice.

Recall and speed: more tables (`effort` above 1) find more of the true neighbours
at a proportional cost in time and memory (each table stores 16 bytes per point);
fewer tables are faster and lose recall.  With `effort = 1` the rule aims at a
recall@10 of at least 0.95 on uniform data up to `d = 8` and on clustered data of
any dimension, while comparing each query with well under 1 % of the points once
`n` is in the hundreds of thousands.  Uniform data in many more dimensions has
neighbours that are hardly nearer than any other point; there the search stays
fast but its recall falls, and `effort` (or an explicit `l`) buys it back.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

# Below this many points the default is a single bucket, i.e. an exhaustive scan.
EXHAUSTIVE_BELOW = 2048
# Buckets per digit in the many-dimension regime, and the least cell occupancy.
_BASE_BUCKETS = 4
_MIN_OCCUPANCY = 3.0
# Tables at effort 1.
_BASE_TABLES = 16
_I64_MAX = np.iinfo(np.int64).max


@dataclass(frozen=True)
class HashParams:
    """The index parameters that ToroidalNN passes to the engine."""

    b: int
    k: int
    l: int
    probes: int


def key_fits(b: int, k: int) -> bool:
    """True when every k-digit key in base b fits a signed 64-bit integer."""
    return b <= 1 or (k < 64 and b ** k <= _I64_MAX)


def choose_params(n: int, d: int, n_neighbors: int = 10, effort: float = 1.0, *,
                  b: int | None = None, k: int | None = None, l: int | None = None,
                  probes: int | None = None) -> HashParams:
    """Fills in the parameters the user left as None by the rule of this module.

    Explicit values are kept as given; they are checked by the caller.
    """
    if b is None and k is None and n < EXHAUSTIVE_BELOW:
        return HashParams(1, 1, 1 if l is None else l, 0 if probes is None else probes)
    if k is None:
        k = _default_digits(n, d, b)
    if b is None:
        b = _default_buckets(n, k, n_neighbors)
    if l is None:
        l = max(1, round(_base_tables(b, k) * effort))
    if probes is None:
        probes = k
    return HashParams(int(b), int(k), int(l), int(probes))


def _default_digits(n: int, d: int, b: int | None) -> int:
    """floor(log_b(n / 3)) digits, at least 1 and at most what a 64-bit key holds;
    with the default b, at most d (few dimensions get finer buckets instead)."""
    base = _BASE_BUCKETS if b is None or b < 2 else b
    k = max(1, math.floor(math.log(max(n, 1) / _MIN_OCCUPANCY) / math.log(base)))
    if b is None:
        k = min(k, d)
    while not key_fits(base, k):
        k -= 1
    return k


def _default_buckets(n: int, k: int, n_neighbors: int) -> int:
    """4 when that leaves 3 to 12 points per cell; otherwise (every coordinate has
    a digit, or k was given) the finest b that keeps `per_cell` points per cell."""
    if _BASE_BUCKETS ** k * _MIN_OCCUPANCY <= n < _BASE_BUCKETS ** k * 4 * _MIN_OCCUPANCY:
        return _BASE_BUCKETS
    per_cell = max(_MIN_OCCUPANCY, 4.0 * n_neighbors / (1 + k))
    b = max(2, math.floor((n / per_cell) ** (1.0 / k)))
    while not key_fits(b, k):
        b -= 1
    return b


def _base_tables(b: int, k: int) -> int:
    if b == _BASE_BUCKETS:
        return _BASE_TABLES
    return min(_BASE_TABLES, max(4, 2 * k))


def draw_hash(rng: np.random.Generator, d: int, k: int, l: int) -> tuple[np.ndarray, np.ndarray]:
    """Draws `s` (which coordinate each digit hashes) and `u` (its shift).

    Each table's `k` digits hash `k` different coordinates when `k <= d`; with more
    digits than coordinates every coordinate is used once before any is reused.
    `s` is drawn first, then `u`, uniform in [0, 1), both of shape (l, k).
    """
    reps = -(-k // d)
    s = np.empty((l, k), dtype=np.int64)
    for t in range(l):
        s[t] = np.concatenate([rng.permutation(d) for _ in range(reps)])[:k]
    u = rng.random((l, k))
    return s, u
