"""What one table of a hash setting would look up, counted on a sample in NumPy.

For some tables' draws of `k_max` digits (digit j of table t reads column
s[t, j] shifted by u[t, j], in base b) and every key length k = 1 .. k_max at
once, a query looks up its own cell and its k probes in every table
(`vibrel.lsh.probe_digits`).  The tuner scores a
setting by where the true neighbours of its sample queries lie among those
cells, and prices it by how many points the cells hold.

These are the reference of the compiled census of `vibrel._periodic` and stand
in for it when the engine is missing; `census` gives whichever serves, as an
object that holds the queries and rows for the calls of a whole tuning.  Keys
here are those of `vibrel.lsh` (digit j weighs b**j), so the key of the first
k digits is a prefix sum.  Rows must be finite.
"""

from __future__ import annotations

from typing import Any, Callable, Protocol

import numpy as np

from vibrel.lsh import digit_codes, probe_digits


class Rows(Protocol):
    """Sample queries and one set of rows, counted against tables' digits:
    `CensusRows` here, or the compiled one of `vibrel._periodic`."""

    def neighbour_places(self, s: np.ndarray, u: np.ndarray, b: int, start: np.ndarray | None = None,
                         settled: np.ndarray | None = None) -> np.ndarray: ...

    def probed_cell_counts(self, s: np.ndarray, u: np.ndarray, b: int) -> np.ndarray: ...


class CensusRows:
    """`queries` and `rows` held for many tables' counts: `neighbour_places`
    with the rows as the queries' neighbours, `probed_cell_counts` with them
    as the points counted (the module's functions of the same names)."""

    def __init__(self, queries: np.ndarray, rows: np.ndarray) -> None:
        self.queries, self.rows = queries, rows

    def neighbour_places(self, s: np.ndarray, u: np.ndarray, b: int, start: np.ndarray | None = None,
                         settled: np.ndarray | None = None) -> np.ndarray:
        return neighbour_places(self.queries, self.rows, s, u, b, start, settled)

    def probed_cell_counts(self, s: np.ndarray, u: np.ndarray, b: int) -> np.ndarray:
        return probed_cell_counts(self.queries, self.rows, s, u, b)


def census(threads: int = 0) -> Callable[[np.ndarray, np.ndarray], Rows]:
    """What makes a census's rows from (queries, rows): the compiled
    CensusRows when the engine imports, its loops on `threads` threads (0:
    all), else this module's."""
    try:
        from vibrel import _periodic
    except ImportError:
        return CensusRows
    if threads == 0:
        return _periodic.CensusRows
    return lambda queries, rows: _Counted(_periodic.CensusRows(queries, rows), threads)


class _Counted:
    """A compiled CensusRows whose loops keep to `threads` threads."""

    def __init__(self, rows: Any, threads: int) -> None:
        self._rows, self._threads = rows, threads

    def neighbour_places(self, s: np.ndarray, u: np.ndarray, b: int, start: np.ndarray | None = None,
                         settled: np.ndarray | None = None) -> np.ndarray:
        from vibrel._periodic import call_with_threads
        return call_with_threads(self._threads, self._rows.neighbour_places, s, u, b, start, settled)

    def probed_cell_counts(self, s: np.ndarray, u: np.ndarray, b: int) -> np.ndarray:
        from vibrel._periodic import call_with_threads
        return call_with_threads(self._threads, self._rows.probed_cell_counts, s, u, b)


def neighbour_places(queries: np.ndarray, neighbours: np.ndarray, s: np.ndarray, u: np.ndarray,
                     b: int, start: np.ndarray | None = None, settled: np.ndarray | None = None) -> np.ndarray:
    """(len(neighbours), k_max) int64: column k - 1 holds the nearest place
    any table gives neighbour i among the looked-up cells of query i //
    (len(neighbours) // len(queries)) with k digits: 0 its own cell, p its
    p-th probe, k_max + 1 neither; with `start` (the places of earlier
    tables) the nearest of those and these.  A row whose places in every
    column k - 1 are at most `settled[k - 1]` before a table keeps them
    through it: a caller that asks only whether places are at most some probe
    counts has its answers for it already."""
    places = np.full((neighbours.shape[0], s.shape[1]), s.shape[1] + 1, dtype=np.int64)
    if start is not None:
        places = np.minimum(places, start)
    for t in range(s.shape[0]):
        lowered = np.minimum(places, _table_places(queries, neighbours, s[t], u[t], b))
        if settled is not None:
            done = (places <= np.asarray(settled)[None, :]).all(axis=1)
            lowered[done] = places[done]
        places = lowered
    return places


def probed_cell_counts(queries: np.ndarray, others: np.ndarray, s: np.ndarray, u: np.ndarray,
                       b: int) -> np.ndarray:
    """(k_max, k_max + 1) int64: entry (k - 1, p) is the number of `others`
    rows in the p-th looked-up cell of k digits (0 the own cell), summed over
    the queries and the tables."""
    return sum((_table_counts(queries, others, s[t], u[t], b) for t in range(s.shape[0])),
               np.zeros((s.shape[1], s.shape[1] + 1), dtype=np.int64))


def _table_places(queries: np.ndarray, neighbours: np.ndarray, s: np.ndarray, u: np.ndarray,
                  b: int) -> np.ndarray:
    k_max = s.size
    per_query = neighbours.shape[0] // max(1, queries.shape[0])
    looked = looked_up_keys(queries, s, u, b)[np.repeat(np.arange(queries.shape[0]), per_query)]
    keys = _prefix_keys(digit_codes(neighbours[:, s], u, b)[0], b)
    places = np.full(keys.shape, k_max + 1, dtype=np.int64)
    for k in range(1, k_max + 1):
        match = looked[:, k - 1, :k + 1] == keys[:, k - 1, None]
        hit = match.any(axis=1)
        places[hit, k - 1] = np.argmax(match[hit], axis=1)
    return places


def _table_counts(queries: np.ndarray, others: np.ndarray, s: np.ndarray, u: np.ndarray, b: int) -> np.ndarray:
    k_max = s.size
    looked = looked_up_keys(queries, s, u, b)
    keys = _prefix_keys(digit_codes(others[:, s], u, b)[0], b)
    counts = np.zeros((k_max, k_max + 1), dtype=np.int64)
    for k in range(1, k_max + 1):
        cells = np.sort(keys[:, k - 1])
        wanted = looked[:, k - 1, :k + 1]
        inside = np.searchsorted(cells, wanted, side="right") - np.searchsorted(cells, wanted, side="left")
        counts[k - 1, :k + 1] = inside.sum(axis=0)
    return counts


def looked_up_keys(queries: np.ndarray, s: np.ndarray, u: np.ndarray, b: int) -> np.ndarray:
    """(q, k_max, k_max + 1) int64: entry (i, k - 1) lists the keys query i
    looks up in one table (s, u of k_max digits) with the first k digits, its
    own first and then its k probes (the rest -1)."""
    k_max = s.size
    codes, v = digit_codes(queries[:, s], u, b)
    digits, steps = probe_digits(codes, v, k_max)
    own = _prefix_keys(codes, b)
    weights = _weights(k_max, b)
    looked = np.full((queries.shape[0], k_max, k_max + 1), -1, dtype=np.int64)
    looked[:, :, 0] = own
    for k in range(1, k_max + 1):
        # The probe order of the first k digits is that of all k_max, restricted.
        inside = digits < k
        order = digits[inside].reshape(-1, k)
        code = np.take_along_axis(codes, order, axis=1)
        moved = np.mod(code + steps[inside].reshape(-1, k), b)
        looked[:, k - 1, 1:k + 1] = own[:, k - 1, None] + (moved - code) * weights[order]
    return looked


def _weights(k_max: int, b: int) -> np.ndarray:
    return np.array([b ** j for j in range(k_max)], dtype=np.int64)


def _prefix_keys(codes: np.ndarray, b: int) -> np.ndarray:
    """(m, k_max): the keys of the first 1, 2, ..., k_max digits."""
    return np.cumsum(codes * _weights(codes.shape[1], b), axis=1)
