"""Exhaustive toroidal-L1 k-nearest-neighbour search in NumPy: the exact answer
that the demo and the benchmarks measure recall against."""

from __future__ import annotations

from typing import Callable

import numpy as np

_ONE = np.float32(1.0)


def toroidal_l1(queries: np.ndarray, points: np.ndarray) -> np.ndarray:
    """(m, n) float32 toroidal L1 distances between the rows of both arrays,
    computed in single precision like the index does."""
    q = np.asarray(queries, dtype=np.float32)
    x = np.asarray(points, dtype=np.float32)
    acc = np.zeros((q.shape[0], x.shape[0]), dtype=np.float32)
    term = np.empty_like(acc)
    for c in range(q.shape[1]):
        np.subtract(q[:, c, None], x[None, :, c], out=term)
        np.abs(term, out=term)
        np.minimum(term, _ONE - term, out=term)
        acc += term
    return acc


def knn(points: np.ndarray, queries: np.ndarray, k: int, exclude: np.ndarray | None = None,
        chunk: int = 64, progress: Callable[[int], None] | None = None):
    """Exact k nearest neighbours of every query among `points`.

    Returns (dist float64 (m, k), ind int64 (m, k)), rows ascending by (distance,
    id).  `exclude[i]`, when given, is an id that row i must not return.  Queries
    are answered `chunk` rows at a time; `progress(rows_done)` is called after each.
    """
    m, n = queries.shape[0], points.shape[0]
    k_avail = min(k, n - (exclude is not None))
    dist_out = np.full((m, k), np.inf)
    ind_out = np.full((m, k), -1, dtype=np.int64)
    if k_avail <= 0:
        return dist_out, ind_out
    for lo in range(0, m, chunk):
        hi = min(m, lo + chunk)
        dist = toroidal_l1(queries[lo:hi], points)
        if exclude is not None:
            dist[np.arange(hi - lo), exclude[lo:hi]] = np.inf
        part = np.argpartition(dist, k_avail - 1, axis=1)[:, :k_avail] if k_avail < n else \
            np.broadcast_to(np.arange(n), (hi - lo, n))
        part_dist = np.take_along_axis(dist, part, axis=1)
        order = np.lexsort((part, part_dist), axis=1)
        ind_out[lo:hi, :k_avail] = np.take_along_axis(part, order, axis=1)[:, :k_avail]
        dist_out[lo:hi, :k_avail] = np.take_along_axis(part_dist, order, axis=1)[:, :k_avail]
        if progress is not None:
            progress(hi)
    return dist_out, ind_out


def recall(found_dist: np.ndarray, true_dist: np.ndarray, tolerance: float = 1e-3) -> float:
    """Share of the returned neighbours that are true k nearest ones: a neighbour
    counts when its distance is at most the row's true k-th distance plus
    `tolerance` (which absorbs ties and last-bit differences)."""
    kth = true_dist[:, -1:]
    return float(np.mean(found_dist <= kth + tolerance))


def within(points: np.ndarray, queries: np.ndarray, radius: float, exclude: np.ndarray | None = None):
    """Every point within `radius` of each query, compared in single precision as
    the index compares.

    Returns CSR (indptr int64 (m + 1,), ind int64, dist float64), each row
    ascending by (distance, id).  `exclude[i]`, when given, is an id that row i
    must not return; -1 or any id past the points excludes nothing.
    """
    dist = toroidal_l1(queries, points)
    hit = dist <= np.float32(radius)
    if exclude is not None:  # ids that name no point exclude nothing
        ex = np.asarray(exclude[: len(dist)], dtype=np.int64)
        named = (ex >= 0) & (ex < dist.shape[1])
        hit[np.flatnonzero(named), ex[named]] = False
    rows, ind = np.nonzero(hit)
    order = np.lexsort((ind, dist[rows, ind], rows))
    indptr = np.concatenate([[0], np.cumsum(hit.sum(axis=1))]).astype(np.int64)
    return indptr, ind[order].astype(np.int64), dist[rows, ind][order].astype(np.float64)
