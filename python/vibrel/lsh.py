"""Plain-NumPy reference implementation of the Toroidal-L1 LSH index.

Points live on the unit torus [0, 1)^d and are compared under the toroidal L1
distance: per coordinate the shorter way round the circle, min(|a - b|, 1 - |a - b|),
summed over the coordinates.  Every point gets one key per hash table; a key is a
``k``-digit number in base ``b`` whose digit ``j`` is the bucket that coordinate
``s[t, j]``, shifted by ``u[t, j]`` and wrapped into [0, 1), falls into.

The index keeps two tiers of key-sorted tables: a static tier that only grows by
``promote`` and a candidate tier refreshed by ``update``.  Queries look up their own
bucket and a few neighbouring ones (multi-probe) in every table and measure the
points found there exactly, in single precision.

With ``metric`` and ``period`` the same index serves a box with one period per
axis and either L1 or the minimum-image Euclidean distance (L2): coordinates are
divided by their period (one float64 division) and stored on the unit torus, so
keys and tables are those of the divided points; each unit-torus term is then
multiplied by its axis period in float32 and, for L2, squared.  L2 distances are
ranked by their float32 sum of squares and the root (float32) is taken once per
reported value; a radius is squared (float64) and rounded to float32 once.

Everything here is written for clarity and bit-exactness rather than speed: the
hash uses separately rounded float64 operations, the distances float32 with the
terms added in the engine's order of eight partial sums, and the order of equal keys inside a table follows
the same tie-break rules as the compiled engine, so the two can be compared table
for table and row for row.
"""

from __future__ import annotations

import numpy as np

__all__ = ["PythonLshIndex"]

_I64_MAX = np.iinfo(np.int64).max
_I64_MIN = np.iinfo(np.int64).min
_TWO_63 = 9223372036854775808.0  # 2**63 as a double
_ONE_F32 = np.float32(1.0)
_EMPTY_I64 = np.empty(0, dtype=np.int64)

# Queries of the normal search are hashed, gathered and refined this many rows at
# a time, which bounds the size of the temporary (row, candidate) pair arrays.
_QUERY_CHUNK = 256


def _wrap_i64(value: int) -> int:
    """Reduce a Python int to the signed 64-bit value with the same low 64 bits."""
    return ((value + (1 << 63)) & ((1 << 64) - 1)) - (1 << 63)


def _trunc_saturating(v: np.ndarray) -> np.ndarray:
    """Truncate doubles toward zero into int64: NaN gives 0, out-of-range saturates."""
    out = np.zeros(v.shape, dtype=np.int64)
    inside = (v >= -_TWO_63) & (v < _TWO_63)  # false for NaN
    out[inside] = v[inside].astype(np.int64)
    out[v >= _TWO_63] = _I64_MAX
    out[v < -_TWO_63] = _I64_MIN
    return out


def _digit_codes(coords: np.ndarray, shifts: np.ndarray, b: int):
    """Bucket codes of shifted coordinates, and the scaled positions they came from.

    ``coords`` holds the coordinates each digit reads (any shape), ``shifts`` the
    matching shifts (broadcast against it).  Every step is one separately rounded
    double operation: x = c + u, f = x - floor(x), v = f * b.  The code is v
    truncated with saturation and capped at b - 1, which catches f rounding up to
    1.0 for a tiny negative x.
    """
    x = coords + shifts
    f = x - np.floor(x)
    v = f * float(b)
    codes = np.minimum(_trunc_saturating(v), np.int64(b - 1))
    return codes, v


def _keys_from_codes(codes: np.ndarray, b_pow: np.ndarray) -> np.ndarray:
    """Mixed-radix keys sum_j codes[..., j] * b**j, wrapping in 64 bits."""
    with np.errstate(over="ignore"):
        return (codes * b_pow).sum(axis=-1, dtype=np.int64)


def _expand_ranges(starts: np.ndarray, lengths: np.ndarray) -> np.ndarray:
    """Concatenate the position ranges [starts[i], starts[i] + lengths[i])."""
    total = int(lengths.sum())
    if total == 0:
        return _EMPTY_I64
    ends = np.cumsum(lengths)
    return np.arange(total, dtype=np.int64) - np.repeat(ends - lengths - starts, lengths)


def summed_in_engine_order(term, d: int, shape) -> np.ndarray:
    """The float32 sum of term(c) over the coordinates c = 0 .. d - 1, added in the
    engine's order: coordinate c into partial sum c mod 8, the eight partial sums
    combined as ((s0 + s4) + (s2 + s6)) + ((s1 + s5) + (s3 + s7)).  Partial sums
    that no coordinate reaches stay 0, which leaves the others unchanged."""
    parts = [np.zeros(shape, dtype=np.float32) for _ in range(8)]
    for c in range(d):
        parts[c % 8] += term(c)
    s = parts
    return ((s[0] + s[4]) + (s[2] + s[6])) + ((s[1] + s[5]) + (s[3] + s[7]))


def _toroidal(q32: np.ndarray, x32: np.ndarray, metric: str = "l1", scale=None) -> np.ndarray:
    """Row-wise float32 toroidal distance over the columns both arrays have, in
    its summed form (squared for "l2").

    Per column a = |q - x| and the term min(a, 1 - a), times the column's period
    when ``scale`` (float32 periods) is given, squared for "l2", all in float32,
    the terms summed in the engine's order.
    """
    def term(c):
        a = np.abs(q32[:, c] - x32[:, c])
        t = np.minimum(a, _ONE_F32 - a)
        if scale is not None:
            t = t * scale[c]
        return t * t if metric == "l2" else t
    return summed_in_engine_order(term, min(q32.shape[1], x32.shape[1]), q32.shape[0])


def _reported(dist: np.ndarray, metric: str) -> np.ndarray:
    """float64 distances handed to the caller from summed float32 ones (given
    as float32 or widened): the float32 root for "l2"."""
    if metric != "l2":
        return dist.astype(np.float64)
    return np.sqrt(dist.astype(np.float32)).astype(np.float64)


def _merge_runs(first_keys, first_ids, second_keys, second_ids):
    """Merge two key-sorted runs; on equal keys the entries of the first run go first.

    Each first-run entry lands after every second-run entry with a strictly smaller
    key and after the first-run entries before it; the second-run entries fill the
    remaining slots in their own order.
    """
    n = first_keys.size + second_keys.size
    dest = np.searchsorted(second_keys, first_keys, side="left") + np.arange(first_keys.size)
    keys = np.empty(n, dtype=np.int64)
    ids = np.empty(n, dtype=np.int64)
    rest = np.ones(n, dtype=bool)
    rest[dest] = False
    keys[dest] = first_keys
    ids[dest] = first_ids
    keys[rest] = second_keys
    ids[rest] = second_ids
    return keys, ids


def _sort_tier(keys: np.ndarray, id_base: int):
    """Sort every table's (key, id) pairs ascending by key, then by id.

    ``keys`` is (l, n) in point order, point i having id ``id_base + i``; a stable
    sort on the keys of id-ordered input gives exactly the (key, id) order.
    """
    order = np.argsort(keys, axis=1, kind="stable")
    sorted_keys = np.take_along_axis(keys, order, axis=1)
    sorted_ids = order.astype(np.int64) + np.int64(id_base)
    return np.ascontiguousarray(sorted_keys), np.ascontiguousarray(sorted_ids)


class PythonLshIndex:
    """Toroidal-L1 LSH index in plain NumPy.

    This is the reference implementation that the compiled engine must match table
    for table: same parameters, same keys, same order of equal keys after ``build``,
    ``update`` and ``promote``, and the same per-query search semantics.
    """

    def __init__(self, b, k, l, probes, s, u, block=1024, metric="l1", period=None):
        """Store pre-drawn hash parameters; ``s`` and ``u`` must have shape (l, k).

        ``metric`` is "l1" or "l2"; ``period`` None (the unit torus) or one
        positive finite period per axis."""
        s = np.array(s, dtype=np.int64, order="C")
        u = np.array(u, dtype=np.float64, order="C")
        if s.shape != (l, k) or u.shape != s.shape:
            raise ValueError("S and U must have shape (L, K)")
        if metric not in ("l1", "l2"):
            raise ValueError(f"metric must be 'l1' or 'l2', got {metric!r}")
        self._metric = metric
        self._period = None if period is None else np.array(period, dtype=np.float64).reshape(-1)
        if self._period is not None and not (np.all(self._period > 0) and np.all(np.isfinite(self._period))):
            raise ValueError("every period must be positive and finite")
        # Periods of exactly 1 leave the terms unscaled, as the engine does.
        self._scale = None if self._period is None or np.all(self._period == 1.0) else \
            self._period.astype(np.float32)
        self._b = int(b)
        self._k = int(k)
        self._l = int(l)
        self._probes = int(probes)
        self._block = int(block)
        self._s = s
        self._u = u
        pows, p = [], 1
        for _ in range(self._k):
            pows.append(_wrap_i64(p))
            p = _wrap_i64(p * self._b)
        self._b_pow = np.array(pows, dtype=np.int64)

        self._built = False
        self.installs = 0  # builds, updates and promotes installed so far
        self._d = 0
        self._n_points = 0
        self._n_static = 0
        self._points = np.zeros((0, 0), dtype=np.float64)
        self._points_f32 = np.zeros((0, 0), dtype=np.float32)
        empty = np.zeros((self._l, 0), dtype=np.int64)
        self._static_keys = empty.copy()
        self._static_ids = empty.copy()
        self._cand_keys = empty.copy()
        self._cand_sorted_keys = empty.copy()
        self._cand_sorted_ids = empty.copy()
        self.reset_stats()

    # ------------------------------------------------------------------ sizes

    @property
    def n_points(self) -> int:
        """Points in the index, both tiers."""
        return self._n_points

    @property
    def n_static(self) -> int:
        """Points in the static tier."""
        return self._n_static

    @property
    def n_candidates(self) -> int:
        """Points in the candidate tier."""
        return self._n_points - self._n_static

    # ---------------------------------------------------------------- hashing

    def _hash_points(self, pts: np.ndarray) -> np.ndarray:
        """Keys of the rows of ``pts`` in every table, shape (l, n), point order."""
        keys = np.empty((self._l, pts.shape[0]), dtype=np.int64)
        if pts.shape[0] == 0:
            return keys
        for t in range(self._l):
            codes, _ = _digit_codes(pts[:, self._s[t]], self._u[t], self._b)
            keys[t] = _keys_from_codes(codes, self._b_pow)
        return keys

    def _query_keys(self, q: np.ndarray, t: int):
        """Base key and probe keys of every query row in table ``t``.

        Returns (base (m,), listed (m, 1 + n_probe)) with the base key first and
        the probe keys in selection order.  A probe flips the digit whose cell
        boundary is nearest (smallest margin, lower digit on ties, NaN never while
        another digit is left) one bucket towards that boundary, wrapping round.
        """
        m, kd = q.shape[0], self._k
        codes, v = _digit_codes(q[:, self._s[t]], self._u[t], self._b)
        base = _keys_from_codes(codes, self._b_pow)
        frac = np.clip(v - codes.astype(np.float64), 0.0, 1.0)
        n_probe = min(kd, self._probes)
        listed = np.empty((m, 1 + n_probe), dtype=np.int64)
        listed[:, 0] = base
        if n_probe == 0:
            return base, listed
        margin = np.minimum(frac, 1.0 - frac)  # NaN exactly where frac is NaN
        margin[np.isnan(margin)] = 2.0  # never below the starting best of 2.0
        rows = np.arange(m)
        with np.errstate(over="ignore"):
            for p in range(n_probe):
                j = np.argmin(margin, axis=1)  # first minimum; 0 when all are 2.0
                margin[rows, j] = 2.0
                c = codes[rows, j]
                step = np.where(frac[rows, j] >= 0.5, 1, -1)
                moved = np.mod(c + step, np.int64(self._b))
                listed[:, 1 + p] = base + (moved - c) * self._b_pow[j]
        return base, listed

    # ------------------------------------------------------------------ build

    def build(self, points, n_static):
        """Replace the whole index: hash the points and sort both tiers.

        The first ``n_static`` rows form the static tier (ids 0..), the rest the
        candidate tier (ids n_static..).  All checks run before anything changes.
        """
        pts = np.array(points, dtype=np.float64, order="C")
        if pts.ndim != 2:
            raise ValueError(f"points must be a two-dimensional array, got {pts.ndim} dimensions")
        pts = self._unit(pts)
        n_static = int(n_static)
        if n_static < 0:
            raise ValueError(f"n_static must be non-negative, got {n_static}")
        n, d = pts.shape
        b, k = self._b, self._k
        if k == 0:
            raise ValueError("k must be at least 1")
        if self._l == 0:
            raise ValueError("l must be at least 1")
        if b < 1:
            raise ValueError(f"b must be at least 1, got {b}")
        if b > 1 and (k >= 64 or b ** k > _I64_MAX):
            raise ValueError(f"b**k = {b}**{k} does not fit in a signed 64-bit key")
        if n_static > n:
            raise ValueError(f"n_static ({n_static}) is larger than the number of points ({n})")
        bad = np.argwhere((self._s < 0) | (self._s >= d))
        if bad.size:
            t, j = (int(i) for i in bad[0])  # argwhere lists row-major order
            raise ValueError(
                f"s[{t}, {j}] = {int(self._s[t, j])} is not a column of points with {d} columns"
            )

        static_keys, static_ids = _sort_tier(self._hash_points(pts[:n_static]), 0)
        self._install(_d=d, _n_points=n, _n_static=n_static, _points=pts, _points_f32=pts.astype(np.float32),
                      _static_keys=static_keys, _static_ids=static_ids, _built=True,
                      **self._candidate_tier(pts, n_static))

    def _candidate_tier(self, points, n_static):
        """The fields of a fresh candidate tier: the rows n_static.. hashed and sorted."""
        keys = self._hash_points(points[n_static:])
        sorted_keys, sorted_ids = _sort_tier(keys, n_static)
        return {"_cand_keys": keys, "_cand_sorted_keys": sorted_keys, "_cand_sorted_ids": sorted_ids}

    def _install(self, **fields):
        """Replaces these fields in one step, so that a mutation interrupted
        before its end (a KeyboardInterrupt) leaves the index as it was, and
        counts the install in `installs`: Python may deliver a signal right
        after that step, and a caller then tells by the count that it happened."""
        fields["installs"] = self.installs + 1
        self.__dict__.update(fields)

    def tables(self):
        """Fresh int64 copies of the raw tables of both tiers, one row per table."""
        return {
            "static_keys": self._static_keys.copy(),
            "static_ids": self._static_ids.copy(),
            "cand_keys": self._cand_keys.copy(),
            "cand_sorted_keys": self._cand_sorted_keys.copy(),
            "cand_sorted_ids": self._cand_sorted_ids.copy(),
        }

    # ----------------------------------------------------------- maintenance

    def update(self, coords):
        """Selective refresh: re-place only entries whose key changed, by
        delete + merge (new-before-kept on equal keys)."""
        coords = np.asarray(coords, dtype=np.float64)
        if coords.ndim == 2:
            coords = self._unit(coords)
        n_cand, d = self.n_candidates, self._d
        if coords.size != n_cand * d:
            raise ValueError(
                f"update: coords holds {coords.size} values but the candidate tier needs "
                f"{n_cand * d} (n_candidates x d)"
            )
        rows = coords.reshape(-1).reshape(n_cand, d)
        points, points_f32 = self._points.copy(), self._points_f32.copy()
        points[self._n_static:] = rows
        points_f32[self._n_static:] = rows.astype(np.float32)
        new_keys = self._hash_points(points[self._n_static:])
        sorted_keys, sorted_ids = self._cand_sorted_keys.copy(), self._cand_sorted_ids.copy()
        for t in range(self._l):
            changed = new_keys[t] != self._cand_keys[t]
            if not changed.any():
                continue
            # Changed entries with their new key, ordered by (key, id).
            ch_ids = np.flatnonzero(changed)
            ch_keys = new_keys[t, ch_ids]
            order = np.argsort(ch_keys, kind="stable")  # ids already ascend
            ch_keys = ch_keys[order]
            ch_ids = ch_ids[order].astype(np.int64) + np.int64(self._n_static)
            # The rest of the run keeps its stored keys and its order.
            run_keys, run_ids = sorted_keys[t], sorted_ids[t]
            kept = ~changed[run_ids - self._n_static]
            sorted_keys[t], sorted_ids[t] = _merge_runs(ch_keys, ch_ids, run_keys[kept], run_ids[kept])
        self._install(_points=points, _points_f32=points_f32, _cand_keys=new_keys,
                      _cand_sorted_keys=sorted_keys, _cand_sorted_ids=sorted_ids)

    def promote(self, new_candidates):
        """Merge candidates into the static tier (candidate-before-static on
        equal keys), then install the new batch."""
        if not self._built:
            raise ValueError("promote needs a built index; call build first")
        batch = np.array(new_candidates, dtype=np.float64, order="C")
        if batch.ndim != 2:
            raise ValueError(
                f"new_candidates must be a two-dimensional array, got {batch.ndim} dimensions"
            )
        if batch.shape[1] != self._d:
            raise ValueError(
                f"new_candidates have {batch.shape[1]} columns but the index holds "
                f"{self._d}-dimensional points"
            )
        batch = self._unit(batch)
        n = self._n_points
        static_keys, static_ids = self._static_keys, self._static_ids
        if self.n_candidates > 0:
            static_keys = np.empty((self._l, n), dtype=np.int64)
            static_ids = np.empty((self._l, n), dtype=np.int64)
            for t in range(self._l):
                static_keys[t], static_ids[t] = _merge_runs(
                    self._cand_sorted_keys[t], self._cand_sorted_ids[t],
                    self._static_keys[t], self._static_ids[t],
                )
        points = np.concatenate([self._points, batch])
        self._install(_static_keys=static_keys, _static_ids=static_ids, _n_static=n, _points=points,
                      _points_f32=np.concatenate([self._points_f32, batch.astype(np.float32)]),
                      _n_points=n + batch.shape[0], **self._candidate_tier(points, n))

    # ---------------------------------------------------------------- queries

    def _tiers(self, t: int):
        """The non-empty (sorted keys, ids) runs of table ``t``, static tier first."""
        runs = []
        if self._n_static:
            runs.append((self._static_keys[t], self._static_ids[t]))
        if self.n_candidates:
            runs.append((self._cand_sorted_keys[t], self._cand_sorted_ids[t]))
        return runs

    def _gather(self, q: np.ndarray):
        """Normal search of a block of query rows.

        Returns the base keys (m, l) and the gathered (row, id) pairs: every point
        of either tier that shares a base or probe key with the row in some table,
        each point once per row, pairs ordered by row then id.
        """
        m = q.shape[0]
        base = np.empty((m, self._l), dtype=np.int64)
        row_parts, id_parts = [], []
        for t in range(self._l):
            base[:, t], listed = self._query_keys(q, t)
            wanted = listed.ravel()
            owner = np.repeat(np.arange(m, dtype=np.int64), listed.shape[1])
            for run_keys, run_ids in self._tiers(t):
                lo = np.searchsorted(run_keys, wanted, side="left")
                count = np.searchsorted(run_keys, wanted, side="right") - lo
                id_parts.append(run_ids[_expand_ranges(lo, count)])
                row_parts.append(np.repeat(owner, count))
        if not id_parts:
            return base, _EMPTY_I64, _EMPTY_I64
        n = np.int64(self._n_points)
        pairs = np.unique(np.concatenate(row_parts) * n + np.concatenate(id_parts))
        return base, pairs // n, pairs % n

    def _ranked(self, q32, rows, ids, excluded):
        """Measure (row, id) pairs, dropping each row's excluded id.

        Returns rows, ids and float32 distances sorted by row, then by the
        distance's bit pattern read as unsigned 32-bit, then by id.
        """
        keep = ids != excluded[rows]
        rows, ids = rows[keep], ids[keep]
        dist = _toroidal(q32[rows], self._points_f32[ids], self._metric, self._scale)
        order = np.lexsort((ids, dist.view(np.uint32), rows))
        return rows[order], ids[order], dist[order]

    def _range_ids(self, tables, lo, width):
        """Distinct ids of every entry of the given tables with key in [lo_t, lo_t + width)."""
        parts = []
        for t in tables:
            for run_keys, run_ids in self._tiers(t):
                a = np.searchsorted(run_keys, lo[t], side="left")
                z = np.searchsorted(run_keys, lo[t] + width, side="left")
                parts.append(run_ids[a:z])
        return np.unique(np.concatenate(parts)) if parts else _EMPTY_I64

    def _relax(self, q32_row, base_keys, need, keep_at_least, excluded):
        """Widen one short query's cells by dropping low digits and refine again.

        The level is the first L (1 <= L < k) whose cells, summed over the tables and
        both tiers, hold at least 4 * need entries; failing that the whole index.
        Should the refined row still hold fewer than ``keep_at_least`` entries, the
        next level up is gathered afresh, up to the whole index.
        """
        kd, b_pow = self._k, self._b_pow
        all_tables = range(self._l)
        level = kd
        for lev in range(1, kd):
            w = b_pow[lev]
            lo = base_keys - np.fmod(base_keys, w)
            total = 0
            for t in all_tables:
                for run_keys, _ in self._tiers(t):
                    total += int(np.searchsorted(run_keys, lo[t] + w, side="left")
                                 - np.searchsorted(run_keys, lo[t], side="left"))
            if total >= 4 * need:
                level = lev
                break
        excl = np.array([excluded], dtype=np.int64)
        while True:
            if level < kd:
                w = b_pow[level]
                ids = self._range_ids(all_tables, base_keys - np.fmod(base_keys, w), w)
            else:
                w = np.int64(self._b ** kd)  # the whole key space of table 0
                ids = self._range_ids([0], base_keys - np.fmod(base_keys, w), w)
            _, ids, dist = self._ranked(q32_row, np.zeros(ids.size, np.int64), ids, excl)
            if ids.size >= keep_at_least or level == kd:
                return ids[:need], dist[:need]
            level += 1

    def _check_queries(self, queries, exclude_ids):
        """Shared argument checks of the two query methods."""
        q = np.array(queries, dtype=np.float64, order="C")
        if q.ndim != 2:
            raise ValueError(f"queries must be a two-dimensional array, got {q.ndim} dimensions")
        m = q.shape[0]
        excluded = np.full(m, -1, dtype=np.int64)
        if exclude_ids is not None:
            ex = np.asarray(exclude_ids, dtype=np.int64).reshape(-1)
            if ex.size < m:
                raise ValueError(f"exclude_ids has {ex.size} entries but there are {m} queries")
            excluded = ex[:m].copy()
        if self._n_points > 0 and q.shape[1] != self._d:
            raise ValueError(
                f"queries have {q.shape[1]} columns but the index holds {self._d}-dimensional points"
            )
        return self._unit(q), excluded

    def _unit(self, rows: np.ndarray) -> np.ndarray:
        """Rows on the unit torus: each coordinate divided by its axis period."""
        if self._period is None:
            return rows
        if rows.shape[1] != self._period.size:
            raise ValueError(
                f"coordinates have {rows.shape[1]} columns but the index has {self._period.size} periods"
            )
        return rows / self._period
    def query_knn(self, queries, k, exclude_ids=None):
        """Exact k nearest neighbours under toroidal L1 among each query's candidates.

        Returns (ids int64 (m, k), dists float64 (m, k)), rows ascending by
        (distance, id) and padded with -1 / inf.  ``exclude_ids[i]`` names a point
        that row i must not return.  A row that finds fewer neighbours than the
        index can give it is relaxed: its cells are widened, up to the whole index.
        """
        q, excluded = self._check_queries(queries, exclude_ids)
        k = int(k)
        if k < 0:
            raise ValueError(f"k must be non-negative, got {k}")
        m, n = q.shape[0], self._n_points
        out_ids = np.full((m, k), -1, dtype=np.int64)
        out_dist = np.full((m, k), np.inf, dtype=np.float64)
        if k == 0 or m == 0:
            return out_ids, out_dist
        if n == 0:
            # Nothing to gather: every row is padding, but the rows were answered.
            self._stats["queries"] += m
            return out_ids, out_dist
        # Most neighbours a row can have: one fewer when its excluded id is a point.
        names_point = (excluded >= 0) & (excluded < n)
        k_eff = np.where(names_point, min(k, n - 1), min(k, n))
        q32_all = q.astype(np.float32)
        for c0 in range(0, m, _QUERY_CHUNK):
            qc = q[c0:c0 + _QUERY_CHUNK]
            mc = qc.shape[0]
            q32 = q32_all[c0:c0 + mc]
            base, rows, ids = self._gather(qc)
            self._stats["cands"] += int(ids.size)
            self._stats["pairs"] += int(ids.size)
            rows, ids, dist = self._ranked(q32, rows, ids, excluded[c0:c0 + mc])
            first = np.searchsorted(rows, np.arange(mc), side="left")
            rank = np.arange(rows.size) - first[rows]
            top = rank < k
            out_ids[c0 + rows[top], rank[top]] = ids[top]
            out_dist[c0 + rows[top], rank[top]] = dist[top]
            found = np.minimum(np.bincount(rows, minlength=mc), k)
            for r in np.flatnonzero(found < k_eff[c0:c0 + mc]):
                i = c0 + int(r)
                rid, rdist = self._relax(q32[r:r + 1], base[r], k, int(k_eff[i]), int(excluded[i]))
                out_ids[i] = -1
                out_dist[i] = np.inf
                out_ids[i, :rid.size] = rid
                out_dist[i, :rid.size] = rdist
                self._stats["relaxed"] += 1
            self._stats["queries"] += mc
        return out_ids, _reported(out_dist, self._metric)

    def query_radius(self, queries, radius, exclude_ids=None):
        """Gathered candidates within ``radius`` (rounded to float32) of each query.

        Returns CSR arrays (indptr int64 (m + 1,), ids int64, dists float64); each
        row sorted by (distance, id).  The radius never widens the search.
        """
        q, excluded = self._check_queries(queries, exclude_ids)
        m = q.shape[0]
        radius = float(radius)
        # A negative radius stays negative: squared it would admit points.
        threshold = np.float32(radius * radius if self._metric == "l2" and radius >= 0 else radius)
        counts = np.zeros(m, dtype=np.int64)
        id_parts, dist_parts = [], []
        if self._n_points > 0:
            q32_all = q.astype(np.float32)
            for c0 in range(0, m, _QUERY_CHUNK):
                qc = q[c0:c0 + _QUERY_CHUNK]
                mc = qc.shape[0]
                _, rows, ids = self._gather(qc)
                rows, ids, dist = self._ranked(q32_all[c0:c0 + mc], rows, ids, excluded[c0:c0 + mc])
                within = dist <= threshold  # a NaN on either side keeps nothing
                counts[c0:c0 + mc] = np.bincount(rows[within], minlength=mc)
                id_parts.append(ids[within])
                dist_parts.append(_reported(dist[within], self._metric))
        indptr = np.zeros(m + 1, dtype=np.int64)
        np.cumsum(counts, out=indptr[1:])
        ids = np.concatenate(id_parts) if id_parts else np.empty(0, dtype=np.int64)
        dists = np.concatenate(dist_parts) if dist_parts else np.empty(0, dtype=np.float64)
        return indptr, ids, dists

    # -------------------------------------------------------------- profile

    def stats(self):
        """Cumulative query profile (times stay 0 here) and the block size."""
        out = {key: int(value) for key, value in self._stats.items()}
        out["block"] = self._block
        return out

    def reset_stats(self):
        """Zero the seven query counters."""
        self._stats = dict.fromkeys(
            ("gather_ns", "refine_ns", "relax_ns", "queries", "cands", "pairs", "relaxed"), 0
        )
