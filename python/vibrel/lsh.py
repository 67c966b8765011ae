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

__all__ = ["PythonLshIndex", "digit_codes", "probe_digits", "reported", "toroidal_distance"]

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
    if v.size and v.min() >= -_TWO_63 and v.max() < _TWO_63:  # false for NaN: the cases below
        return v.astype(np.int64)
    out = np.zeros(v.shape, dtype=np.int64)
    inside = (v >= -_TWO_63) & (v < _TWO_63)  # false for NaN
    out[inside] = v[inside].astype(np.int64)
    out[v >= _TWO_63] = _I64_MAX
    out[v < -_TWO_63] = _I64_MIN
    return out


def digit_codes(coords: np.ndarray, shifts: np.ndarray, b: int) -> tuple[np.ndarray, np.ndarray]:
    """Bucket codes of shifted coordinates, and the scaled positions they came from.

    Every step is one separately rounded double operation: x = c + u,
    f = x - floor(x), v = f * b.  The code is v truncated with saturation and
    capped at b - 1, which catches f rounding up to 1.0 for a tiny negative x.

    Parameters
    ----------
    coords : ndarray of float64, any shape
        The coordinates each digit reads.
    shifts : ndarray of float64
        The matching shifts, broadcast against `coords`.
    b : int
        Buckets per digit.

    Returns
    -------
    codes : ndarray of int64, the broadcast shape
    v : ndarray of float64, the broadcast shape
        The scaled positions f * b.
    """
    x = coords + shifts
    f = x - np.floor(x)
    v = f * float(b)
    codes = np.minimum(_trunc_saturating(v), np.int64(b - 1))
    return codes, v


def probe_digits(codes: np.ndarray, v: np.ndarray, n_probe: int) -> tuple[np.ndarray, np.ndarray]:
    """The digits a query probes, in order, and the step (+1 or -1) of each.

    The p-th probe flips the digit whose cell boundary is nearest (smallest
    margin, the lower digit on ties, a NaN never while another digit is left)
    one bucket towards that boundary.

    Parameters
    ----------
    codes, v : ndarray of shape (m, k)
        As `digit_codes` gives them.
    n_probe : int
        Probes per query, at most k.

    Returns
    -------
    digits : ndarray of shape (m, n_probe), int64
    steps : ndarray of shape (m, n_probe), int64
    """
    m = codes.shape[0]
    frac: np.ndarray = np.clip(v - codes.astype(np.float64), 0.0, 1.0)
    margin = np.minimum(frac, 1.0 - frac)  # NaN exactly where frac is NaN
    margin[np.isnan(margin)] = 2.0  # never below the starting best of 2.0
    rows = np.arange(m)
    digits = np.empty((m, n_probe), dtype=np.int64)
    steps = np.empty((m, n_probe), dtype=np.int64)
    for p in range(n_probe):
        j = np.argmin(margin, axis=1)  # first minimum; 0 when all are 2.0
        margin[rows, j] = 2.0
        digits[:, p] = j
        steps[:, p] = np.where(frac[rows, j] >= 0.5, 1, -1)
    return digits, steps


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


def toroidal_distance(q32: np.ndarray, x32: np.ndarray, metric: str = "l1", scale=None) -> np.ndarray:
    """float32 toroidal distances between coordinates on the unit torus, in their
    summed form (the sum of squares for "l2"), over the last axis.

    Per coordinate a = |q - x| and the term min(a, 1 - a), times the axis period
    when `scale` is given, squared for "l2", all in float32, the terms summed in
    the engine's order.  Coordinates beyond the shorter last axis are left out.
    The one distance of the package: the reference and the oracle use it.

    Parameters
    ----------
    q32, x32 : ndarray of float32, last axis the coordinates
        Their leading axes broadcast: (m, d) against (m, d) gives the m
        row-wise distances, (m, 1, d) against (1, n, d) all m x n of them.
    metric : {"l1", "l2"}, default "l1"
    scale : ndarray of d float32 periods or None, default None

    Returns
    -------
    dist : ndarray of float32, the broadcast leading shape
    """
    def term(c):
        a = np.abs(q32[..., c] - x32[..., c])
        t = np.minimum(a, _ONE_F32 - a)
        if scale is not None:
            t = t * scale[c]
        return t * t if metric == "l2" else t
    shape = np.broadcast_shapes(q32.shape[:-1], x32.shape[:-1])
    return summed_in_engine_order(term, min(q32.shape[-1], x32.shape[-1]), shape)


def reported(dist: np.ndarray, metric: str) -> np.ndarray:
    """float64 distances handed to the caller from summed float32 ones.

    Parameters
    ----------
    dist : ndarray of float32 (or float32 values widened)
        Summed distances, as `toroidal_distance` gives them.
    metric : {"l1", "l2"}

    Returns
    -------
    dist : ndarray of float64
        The float32 root for "l2", the sums themselves for "l1".
    """
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

    Parameters
    ----------
    b, k, l, probes : int
        Buckets per digit, digits per key, tables, probed digits per table.
    s : array-like of shape (l, k), int
        The coordinate each digit reads.
    u : array-like of shape (l, k), float
        The shift of each digit.
    block : int, default 1024
        Rows answered together (reported by `stats`; the reference's own chunks
        do not depend on it).
    metric : {"l1", "l2"}, default "l1"
    period : None or array-like of d positive finite floats, default None
        The box sides; None for the unit torus.
    """

    def __init__(self, b, k, l, probes, s, u, block=1024, metric="l1", period=None):
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

    def hash_points(self, pts: np.ndarray) -> np.ndarray:
        """Keys of points in every table.

        Parameters
        ----------
        pts : ndarray of shape (n, d), float64
            Points on the unit torus.

        Returns
        -------
        keys : ndarray of shape (l, n), int64
            Row t the keys of table t, in point order.
        """
        keys = np.empty((self._l, pts.shape[0]), dtype=np.int64)
        if pts.shape[0] == 0:
            return keys
        for t in range(self._l):
            codes, _ = digit_codes(pts[:, self._s[t]], self._u[t], self._b)
            keys[t] = _keys_from_codes(codes, self._b_pow)
        return keys

    def query_keys(self, q: np.ndarray, t: int):
        """Base key and probe keys of every query row in table ``t``.

        A probe flips the digit whose cell boundary is nearest one bucket towards
        that boundary (`probe_digits`), wrapping round.

        Parameters
        ----------
        q : ndarray of shape (m, d), float64
            Queries on the unit torus.
        t : int
            The table.

        Returns
        -------
        base : ndarray of shape (m,), int64
            The queries' own keys.
        listed : ndarray of shape (m, 1 + min(k, probes)), int64
            The base key first, then the probe keys in selection order.
        """
        m, kd = q.shape[0], self._k
        codes, v = digit_codes(q[:, self._s[t]], self._u[t], self._b)
        base = _keys_from_codes(codes, self._b_pow)
        n_probe = min(kd, self._probes)
        listed = np.empty((m, 1 + n_probe), dtype=np.int64)
        listed[:, 0] = base
        if n_probe == 0:
            return base, listed
        digits, steps = probe_digits(codes, v, n_probe)
        rows = np.arange(m)
        with np.errstate(over="ignore"):
            for p in range(n_probe):
                j = digits[:, p]
                c = codes[rows, j]
                moved = np.mod(c + steps[:, p], np.int64(self._b))
                listed[:, 1 + p] = base + (moved - c) * self._b_pow[j]
        return base, listed

    # ------------------------------------------------------------------ build

    def build(self, points, n_static):
        """Replace the whole index: hash the points and sort both tiers.

        All checks run before anything changes.

        Parameters
        ----------
        points : array-like of shape (n, d)
            The points, in the box's units.
        n_static : int
            The first ``n_static`` rows form the static tier (ids 0..), the rest
            the candidate tier (ids n_static..).

        Returns
        -------
        None
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

        static_keys, static_ids = _sort_tier(self.hash_points(pts[:n_static]), 0)
        self._install(_d=d, _n_points=n, _n_static=n_static, _points=pts, _points_f32=pts.astype(np.float32),
                      _static_keys=static_keys, _static_ids=static_ids, _built=True,
                      **self._candidate_tier(pts, n_static))

    def _candidate_tier(self, points, n_static):
        """The fields of a fresh candidate tier: the rows n_static.. hashed and sorted."""
        keys = self.hash_points(points[n_static:])
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
        """The raw tables of both tiers.

        Returns
        -------
        tables : dict of str to ndarray of shape (l, ·), int64
            Fresh copies of static_keys, static_ids, cand_keys,
            cand_sorted_keys and cand_sorted_ids, one row per table.
        """
        return {
            "static_keys": self._static_keys.copy(),
            "static_ids": self._static_ids.copy(),
            "cand_keys": self._cand_keys.copy(),
            "cand_sorted_keys": self._cand_sorted_keys.copy(),
            "cand_sorted_ids": self._cand_sorted_ids.copy(),
        }

    # ----------------------------------------------------------- maintenance

    def update(self, coords):
        """Selective refresh of the candidate tier: re-place only the entries whose
        key changed, by delete + merge (new before kept on equal keys).

        Parameters
        ----------
        coords : array-like of n_candidates x d values
            The candidates' new coordinates, row-major.

        Returns
        -------
        None
        """
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
        new_keys = self.hash_points(points[self._n_static:])
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
        """Merge the candidates into the static tier (candidate before static on
        equal keys), then install the new batch as the candidate tier.

        Parameters
        ----------
        new_candidates : array-like of shape (m, d)
            The next candidates, ids from the old n_points on.

        Returns
        -------
        None
        """
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
            base[:, t], listed = self.query_keys(q, t)
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
        dist = toroidal_distance(q32[rows], self._points_f32[ids], self._metric, self._scale)
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
        """Exact k nearest neighbours among each query's candidates.

        A row that finds fewer neighbours than the index can give it is relaxed:
        its cells are widened, up to the whole index.

        Parameters
        ----------
        queries : array-like of shape (m, d)
            In the box's units.
        k : int
            Neighbours per row.
        exclude_ids : array-like of int of at least m entries, or None
            ``exclude_ids[i]`` names a point that row i must not return.

        Returns
        -------
        ids : ndarray of shape (m, k), int64
            Rows ascending by (distance, id), padded with -1.
        dists : ndarray of shape (m, k), float64
            Their distances, padded with inf.
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
        return out_ids, reported(out_dist, self._metric)

    def query_radius(self, queries, radius, exclude_ids=None):
        """Gathered candidates within ``radius`` (rounded to float32) of each query.
        The radius never widens the search.

        Parameters
        ----------
        queries : array-like of shape (m, d)
            In the box's units.
        radius : float
            In the box's units.
        exclude_ids : array-like of int of at least m entries, or None
            As in `query_knn`.

        Returns
        -------
        indptr : ndarray of shape (m + 1,), int64
        ids : ndarray of shape (indptr[-1],), int64
        dists : ndarray of shape (indptr[-1],), float64
            CSR rows, each sorted by (distance, id).
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
                dist_parts.append(reported(dist[within], self._metric))
        indptr = np.zeros(m + 1, dtype=np.int64)
        np.cumsum(counts, out=indptr[1:])
        ids = np.concatenate(id_parts) if id_parts else np.empty(0, dtype=np.int64)
        dists = np.concatenate(dist_parts) if dist_parts else np.empty(0, dtype=np.float64)
        return indptr, ids, dists

    # -------------------------------------------------------------- profile

    def stats(self):
        """The cumulative query profile (times stay 0 here) and the block size.

        Returns
        -------
        stats : dict of str to int
            gather_ns, refine_ns, relax_ns, queries, cands, pairs, relaxed, block.
        """
        out = {key: int(value) for key, value in self._stats.items()}
        out["block"] = self._block
        return out

    def reset_stats(self):
        """Zero the seven query counters.

        Returns
        -------
        None
        """
        self._stats = dict.fromkeys(
            ("gather_ns", "refine_ns", "relax_ns", "queries", "cands", "pairs", "relaxed"), 0
        )
