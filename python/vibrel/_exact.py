"""The oracle: exhaustive search in NumPy, the exact answers (k nearest, within
a radius, pairs within a cutoff) that the tests and benchmarks measure the
index against, for either metric and any box.

Distances are the reference's (`vibrel.lsh.toroidal_distance`): coordinates
divided by their period onto the unit torus, float32 terms scaled back by the
period, summed in the engine's order; L2 ranks by the sum of squares and reports
its float32 root.  So its answers agree with the engines' bit for bit.
"""

from __future__ import annotations

from typing import Callable

import numpy as np

from vibrel.lsh import reported, toroidal_distance


def toroidal(queries: np.ndarray, points: np.ndarray, metric: str = "l1", period=None) -> np.ndarray:
    """(m, n) float32 distances between the rows of both arrays in their summed
    form (squared for "l2"), computed as the engines compute them: coordinates
    divided by their period (None: the unit torus) and rounded to float32, then
    `vibrel.lsh.toroidal_distance`, scaled by the float32 period unless every
    period is 1."""
    period = None if period is None else np.broadcast_to(np.asarray(period, dtype=np.float64),
                                                          (np.shape(queries)[1],))
    q = np.asarray(queries if period is None else queries / period, dtype=np.float32)
    x = np.asarray(points if period is None else points / period, dtype=np.float32)
    scale = None if period is None or np.all(period == 1.0) else period.astype(np.float32)
    return toroidal_distance(q[:, None, :], x[None, :, :], metric, scale)


def summed_bound(radius: float, metric: str = "l1") -> np.float32:
    """The float32 bound a radius puts on the summed distance: the radius,
    squared for "l2" unless negative, rounded once."""
    radius = float(radius)
    return np.float32(radius * radius if metric == "l2" and radius >= 0 else radius)


def knn(points: np.ndarray, queries: np.ndarray, k: int, exclude: np.ndarray | None = None,
        chunk: int = 64, progress: Callable[[int], None] | None = None, *,
        metric: str = "l1", period=None):
    """Exact k nearest neighbours of every query among `points`.

    Returns (dist float64 (m, k), ind int64 (m, k)), rows ascending by (distance,
    id).  `exclude[i]`, when given, is an id that row i must not return (-1 or an
    id past the points excludes nothing).  Queries
    are answered `chunk` rows at a time; `progress(rows_done)` is called after each.
    `metric` ("l1" or "l2") and `period` (None or the box sides) as the engines take them.
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
        dist = toroidal(queries[lo:hi], points, metric, period)
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
    return np.take_along_axis(ind, order, axis=1), np.take_along_axis(near, order, axis=1).astype(np.float64)


def recall(found_dist: np.ndarray, true_dist: np.ndarray) -> float:
    """Share of the returned neighbours that are true k nearest ones: a neighbour
    counts when its distance is at most the row's true k-th distance (ties
    allowed).  The distances of the index and of this module agree bit for bit."""
    return float(np.mean(found_dist <= true_dist[:, -1:]))


def within(points: np.ndarray, queries: np.ndarray, radius: float, exclude: np.ndarray | None = None,
           metric: str = "l1", period=None):
    """Every point within `radius` of each query, compared in single precision as
    the index compares.

    Returns CSR (indptr int64 (m + 1,), ind int64, dist float64), each row
    ascending by (distance, id).  `exclude[i]`, when given, is an id that row i
    must not return; -1 or any id past the points excludes nothing.  Queries are
    measured a few thousand distances at a time.
    """
    n = points.shape[0]
    chunk = max(1, (1 << 22) // max(n, 1))
    counts, ind_parts, dist_parts = [], [np.empty(0, dtype=np.int64)], [np.empty(0)]
    for lo in range(0, queries.shape[0], chunk):
        hi = min(queries.shape[0], lo + chunk)
        dist = toroidal(queries[lo:hi], points, metric, period)
        hit = dist <= summed_bound(radius, metric)
        if exclude is not None:  # ids that name no point exclude nothing
            ex = np.asarray(exclude[lo:hi], dtype=np.int64)
            named = (ex >= 0) & (ex < n)
            hit[np.flatnonzero(named), ex[named]] = False
        rows, ind = np.nonzero(hit)
        order = np.lexsort((ind, dist[rows, ind], rows))
        counts.append(hit.sum(axis=1))
        ind_parts.append(ind[order].astype(np.int64))
        dist_parts.append(reported(dist[rows, ind][order], metric))
    indptr = np.concatenate([[0], np.cumsum(np.concatenate(counts) if counts else [])]).astype(np.int64)
    return indptr, np.concatenate(ind_parts), np.concatenate(dist_parts)


def pairs_within(points: np.ndarray, radius: float, metric: str = "l1", period=None):
    """Every pair (i, j), i < j, of points within `radius`, by brute force.

    Returns (pairs int64 (m, 2), dist float64 (m,)) in lexicographic order of
    the pairs; a few rows are measured against all points at a time.
    """
    n = points.shape[0]
    chunk = max(1, (1 << 22) // max(n, 1))
    bound = summed_bound(radius, metric)
    pair_parts, dist_parts = [np.empty((0, 2), dtype=np.int64)], [np.empty(0)]
    for lo in range(0, n, chunk):
        hi = min(n, lo + chunk)
        dist = toroidal(points[lo:hi], points, metric, period)
        hit = dist <= bound
        hit &= np.arange(n)[None, :] > np.arange(lo, hi)[:, None]
        rows, cols = np.nonzero(hit)  # row-major: already lexicographic
        pair_parts.append(np.stack([rows + lo, cols], axis=1).astype(np.int64))
        dist_parts.append(reported(dist[rows, cols], metric))
    return np.concatenate(pair_parts), np.concatenate(dist_parts)
