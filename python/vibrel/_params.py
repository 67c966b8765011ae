"""Hash parameters of `vibrel.ToroidalNN` given by the user: how they are checked,
normalised and completed, and how `s` and `u` are drawn.

The rule for explicit values:

* They are used as given.  The tuner (`vibrel._tune`) chooses only the ones left
  as None, and none at all when b, k, l and probes are all given.
* `b = 1` puts every point in one cell, whatever the other values: a key has a
  single value, more tables repeat the same cell and a probe finds no other
  cell.  So `b = 1` always means k = 1, l = 1, probes = 0, the exhaustive search.
* A contradiction is an error rather than a silent change:
  - more probes than digits (a table has only k digits to probe);
  - `b**k` beyond a signed 64-bit key, whether both are given or the given k
    leaves no b >= 2 whose keys fit.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

_I64_MAX = np.iinfo(np.int64).max


@dataclass(frozen=True)
class HashParams:
    """The index parameters that ToroidalNN passes to the engine."""

    b: int
    k: int
    l: int
    probes: int

    @property
    def exhaustive(self) -> bool:
        return self.b == 1


EXHAUSTIVE = HashParams(1, 1, 1, 0)
# Hash parameters are drawn for at least this many tables (the tuner's most).
DRAWN_TABLES = 64


def key_fits(b: int, k: int) -> bool:
    """True when every k-digit key in base b fits a signed 64-bit integer."""
    return b <= 1 or (k < 64 and b ** k <= _I64_MAX)


def normalise(b: int | None, k: int | None, l: int | None, probes: int | None) -> dict:
    """The explicit values (None where not given) after the rule above, as a dict.

    Raises ValueError for a contradiction.  The values are already checked to be
    integers of at least 1 (0 for probes).
    """
    if b == 1:
        return {"b": 1, "k": 1, "l": 1, "probes": 0}
    if k is not None and probes is not None and probes > k:
        raise ValueError(f"probes = {probes} is more than the k = {k} digits a table can probe; "
                         f"choose probes <= k")
    if b is not None and k is not None and not key_fits(b, k):
        raise ValueError(f"b**k = {b}**{k} does not fit a signed 64-bit key; choose a smaller b or k")
    if k is not None and b is None and not key_fits(2, k):
        raise ValueError(f"k = {k} digits fit a signed 64-bit key only with b = 1 (one cell); "
                         f"choose k <= 62, or b = 1 for the exhaustive search")
    return {"b": b, "k": k, "l": l, "probes": probes}


def draw_hash(rng: np.random.Generator, d: int, k: int, l: int) -> tuple[np.ndarray, np.ndarray]:
    """Draws `s` (which coordinate each digit hashes) and `u` (its shift).

    Each table's `k` digits hash `k` different coordinates when `k <= d`; with more
    digits than coordinates every coordinate is used once before any is reused.
    `s` is drawn first, then `u`, uniform in [0, 1), both of shape (l, k).

    Every draw is the first l rows and k columns of one draw of at least
    `DRAWN_TABLES` tables of 4 d digits.  So the tuner tries many (k, l) on one
    draw, and a setting given in full (ToroidalNN(**model.params_)) gets from the
    same seed the very hash its tuning chose.
    """
    tables, digits = max(l, DRAWN_TABLES), max(k, 4 * d)
    reps = -(-digits // d)
    s = rng.random((tables, reps, d)).argsort(axis=2).reshape(tables, reps * d)[:, :digits]
    u = rng.random((tables, digits))
    return np.ascontiguousarray(s[:l, :k]), np.ascontiguousarray(u[:l, :k])
