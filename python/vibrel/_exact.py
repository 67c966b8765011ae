"""The oracle: exhaustive k-nearest-neighbour and radius search in NumPy, the
exact answer that the tests and the benchmarks measure recall against.

Distances are the reference's (`vibrel.lsh.toroidal_distance`): coordinates
divided by their period onto the unit torus, float32 terms scaled back by the
period, summed in the engine's order; L2 ranks by the sum of squares and reports
its float32 root.  So its answers agree with the engines' bit for bit.
"""

from __future__ import annotations

from typing import Callable

import numpy as np

from vibrel.lsh import reported, toroidal_distance


def _unit32(rows: np.ndarray, period: np.ndarray | None) -> np.ndarray:
    """float32 coordinates on the unit torus, as the engines store them."""
    rows = np.asarray(rows, dtype=np.float64)
    return (rows if period is None else rows / period).astype(np.float32)


def _scale(period: np.ndarray | None) -> np.ndarray | None:
    return None if period is None or np.all(period == 1.0) else np.asarray(period).astype(np.float32)


def distances(queries: np.ndarray, points: np.ndarray, metric: str = "l1",
              period: np.ndarray | None = None) -> np.ndarray:
    """(m, n) float32 distances in their summed form (squared for "l2") between
    the rows of both arrays, as the engines compute them."""
    q, x = _unit32(queries, period), _unit32(points, period)
    return toroidal_distance(q[:, None, :], x[None, :, :], metric, _scale(period))


def knn(points: np.ndarray, queries: np.ndarray, k: int, exclude: np.ndarray | None = None,
        chunk: int = 64, progress: Callable[[int], None] | None = None, *,
        metric: str = "l1", period: np.ndarray | None = None):
    """Exact k nearest neighbours of every query among `points`.

    Returns (dist float64 (m, k), ind int64 (m, k)), rows ascending by (distance,
    id), padded with inf / -1.  `exclude[i]`, when given, is an id that row i must
    not return (-1 or an id past the points excludes nothing).  Queries are
    answered `chunk` rows at a time; `progress(rows_done)` is called after each.
    `metric` ("l1" or "l2") and `period` (None or the d box sides) as the engines take them.
    """
    m, n = queries.shape[0], points.shape[0]
    chunk = max(1, min(chunk, (1 << 21) // max(n, 1)))  # eight (chunk, n) partial sums
    k_avail = min(k, n)
    dist_out = np.full((m, k), np.inf)
    ind_out = np.full((m, k), -1, dtype=np.int64)
    if k_avail <= 0:
        return dist_out, ind_out
    for lo in range(0, m, chunk):
        hi = min(m, lo + chunk)
        dist = distances(queries[lo:hi], points, metric, period)
        named = None
        if exclude is not None:  # ids that name no point exclude nothing
            ex = np.asarray(exclude[lo:hi], dtype=np.int64)
            named = np.flatnonzero((ex >= 0) & (ex < n))
            dist[named, ex[named]] = np.inf
        ind, near = _smallest(dist, k_avail)
        if named is not None:  # the excluded point, where it filled a slot, is padding
            gone = ind[named] == ex[named, None]
            ind[named] = np.where(gone, -1, ind[named])
            near[named] = np.where(gone, np.inf, near[named])
        ind_out[lo:hi, :k_avail] = ind
        dist_out[lo:hi, :k_avail] = reported(near, metric)
        if progress is not None:
            progress(hi)
    return dist_out, ind_out


def _smallest(dist: np.ndarray, k: int):
    """The k smallest entries of every row by (distance, id), in that order: all
    entries below the row's k-th distance and the lowest ids at it."""
    rows, n = dist.shape
    if k < n:
        kth = np.partition(dist, k - 1, axis=1)[:, k - 1:k]
        if not np.isnan(kth).any():
            tied = dist == kth
            below = (dist < kth).sum(axis=1, keepdims=True)
            keep = (dist < kth) | (tied & (np.cumsum(tied, axis=1) <= k - below))
            ind = np.nonzero(keep)[1].reshape(rows, k)  # ascending ids in each row
        else:
            ind = np.argsort(dist, axis=1, kind="stable")[:, :k]
    else:
        ind = np.broadcast_to(np.arange(n), (rows, n))
    near = np.take_along_axis(dist, ind, axis=1)
    order = np.lexsort((ind, near), axis=1)
    return np.take_along_axis(ind, order, axis=1), np.take_along_axis(near, order, axis=1)


def recall(found_dist: np.ndarray, true_dist: np.ndarray) -> float:
    """Share of the returned neighbours that are true k nearest ones: a neighbour
    counts when its distance is at most the row's true k-th distance (ties
    allowed).  The distances of the index and of this module agree bit for bit."""
    return float(np.mean(found_dist <= true_dist[:, -1:]))


def within(points: np.ndarray, queries: np.ndarray, radius: float, exclude: np.ndarray | None = None, *,
           metric: str = "l1", period: np.ndarray | None = None):
    """Every point within `radius` of each query, compared in single precision as
    the engines compare (for "l2" the float32 square of the radius).

    Returns CSR (indptr int64 (m + 1,), ind int64, dist float64), each row
    ascending by (distance, id).  `exclude[i]`, when given, is an id that row i
    must not return; -1 or any id past the points excludes nothing.
    """
    dist = distances(queries, points, metric, period)
    threshold = np.float32(radius * radius if metric == "l2" and radius >= 0 else radius)
    hit = dist <= threshold
    if exclude is not None:  # ids that name no point exclude nothing
        ex = np.asarray(exclude[: len(dist)], dtype=np.int64)
        named = (ex >= 0) & (ex < dist.shape[1])
        hit[np.flatnonzero(named), ex[named]] = False
    rows, ind = np.nonzero(hit)
    order = np.lexsort((ind, dist[rows, ind], rows))
    indptr = np.concatenate([[0], np.cumsum(hit.sum(axis=1))]).astype(np.int64)
    return indptr, ind[order].astype(np.int64), reported(dist[rows, ind][order], metric)
