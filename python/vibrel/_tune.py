"""The tuner of `vibrel.ToroidalNN`: the cheapest hash setting whose recall meets a target.

The rule, applied at `fit` to the parameters the user left as None:

1. Shortcuts.  A target of 1.0, fewer than `EXHAUSTIVE_BELOW` points, or `b = 1`
   give the exhaustive search (b = k = l = 1, probes = 0), exact by construction.
2. Sample.  `n_queries` fitted points, drawn with the model's generator, serve
   as queries, each excluding itself.  Their true `n_neighbors` nearest come from
   the exhaustive engine; its time is the exhaustive search's cost.
3. Candidates.  b runs over a geometric ladder (2, 3, 4, 6, 8, 12, 16, ...) and k
   over the digit counts of at least min(d, 3) whose mean cell holds between a
   quarter of a point and 8 n_neighbors points (`_OCCUPANCY`); probes
   over 0..k; l up to the table budget: a table stores 16 bytes a point, and the
   tables may take `memory` times the points' own float64 memory (8 d bytes a
   point), so l <= memory * d / 2 (and at most `_MAX_TABLES`).  One draw of s
   and u serves every setting: (b, k, l, probes) uses its first l tables and k
   digits, which are then exactly the index's parameters.
4. Recall from keys alone.  A true neighbour is found iff in some table its key
   is the query's base key or one of the query's first `probes` probe keys.
   Hashing the sample's neighbours and listing the queries' probe keys per table
   gives, for every (b, k, probes), the first table that finds each neighbour,
   hence the recall of every l at once.  The estimate is the mean over the
   sample queries of the share found, its error the standard error of that mean.
   The engine widens the search of a query whose cells hold too few points and
   may find a tied point instead of the listed one; the estimate counts neither,
   so it errs low.
5. Cost from bucket sizes.  A query's distance evaluations (the engine's `pairs`)
   are the sizes of the cells it looks up, summed over its tables; the sizes are
   counted in a random sample of `_OCCUPANCY_SAMPLE` points and scaled to n.  The
   cost of a query is pairs * pair(n, d) + lookups * LOOKUP_NS, with lookups =
   l * (1 + probes), and the exhaustive search's is n * scan(d).  The unit costs
   are a fixed model of the compiled engine's blocked path (whole-thread blocks,
   as `kneighbors` runs many rows), not timed at fit, so that a seed gives the
   same choice in every process, on every engine:
     scan(d) = SCAN_NS + SCAN_NS_PER_DIM * d, the tile kernel at in-cache speed;
     pair(n, d) = PAIR_NS + scan(d) + spill * (MISS_NS + MISS_NS_PER_LINE * lines):
       a candidate's handling, its evaluation at kernel speed, and the fetch of
       its row from wherever its cell put it, which misses the cache for the
       share spill = max(0, 1 - CACHE_BYTES / (4 n d)) of the float32 rows that
       do not fit, at a latency plus a cost per 64-byte line of the row.
   `bench/calibrate_tuner.py` derives the constants on a machine.
6. Choice.  The cheapest setting whose estimate reaches the target; the
   exhaustive search when its cost is lower or no setting reaches the target.  When explicit parameters leave no
   setting that reaches the target, the one with the highest estimate, with a
   warning (none when all four are given: the user chose).

Cost of tuning: one exhaustive query of the sample (n_queries * n distance
evaluations) and hashing about n_queries * (n_neighbors + 1) +
`_OCCUPANCY_SAMPLE` points into l_max tables per bucket count.
At n = 1,000,000 that is about one build of the chosen setting.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass

import numpy as np

from vibrel import _params
from vibrel._params import EXHAUSTIVE, HashParams
from vibrel.lsh import PythonLshIndex

# Below this many points the exhaustive search is always the cheapest.
EXHAUSTIVE_BELOW = 2048
# Sample queries of the recall estimate.
N_QUERIES = 400
# Points whose keys stand for all when counting bucket sizes, and the sample
# queries whose cells are counted.
_OCCUPANCY_SAMPLE = 8192
_COST_QUERIES = 100
# Mean points per cell of the (b, k) tried: from a quarter to this many per neighbour.
_OCCUPANCY = (0.25, 8.0)
_MAX_TABLES = 64
# A tuned key reads at least this many coordinates (all of them when d is smaller):
# keys of fewer coordinates cost much and find little once d exceeds them.
_MIN_DIGITS = 3
_BUCKET_LADDER = (2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024,
                  1536, 2048, 4096, 8192, 16384, 32768, 65536, 131072, 262144, 524288, 1048576)
TABLE_BYTES_PER_POINT = 16

# The cost model of step 5, in thread-nanoseconds of the compiled engine on a
# 2-core Xeon VM (bench/calibrate_tuner.py, medians of 5).  Only ratios matter:
# they decide between settings and against the exhaustive search.
SCAN_NS, SCAN_NS_PER_DIM = 0.26, 0.16
PAIR_NS, MISS_NS, MISS_NS_PER_LINE = 6.8, 44.0, 16.0
LOOKUP_NS = 450.0
# Points (as float32 rows) that random fetches read without a miss: the cores' L2 together.
CACHE_BYTES = 4 << 20


class RecallTargetWarning(UserWarning):
    """The explicit parameters leave no setting whose estimated recall reaches the target."""


@dataclass(frozen=True)
class Costs:
    """Modelled work in seconds: per distance evaluation of a hashed query, per
    bucket lookup, and per point of an exhaustive query."""

    pair: float
    lookup: float
    scan_point: float


@dataclass(frozen=True)
class Tuning:
    """What the tuner chose and what it expects of it."""

    params: HashParams
    s: np.ndarray
    u: np.ndarray
    recall: float
    recall_error: float
    cost: float  # seconds of work per query, estimated
    exhaustive_cost: float
    sample_rows: np.ndarray


def table_budget(d: int, memory: float) -> int:
    """The most tables that fit `memory` times the points' float64 memory."""
    return max(1, int(memory * 8 * d // TABLE_BYTES_PER_POINT))


def tune(points: np.ndarray, n_neighbors: int, target: float, rng: np.random.Generator, engine,
         *, memory: float = 8.0, fixed: dict | None = None, n_queries: int = N_QUERIES,
         truth=None) -> Tuning:
    """Chooses the hash setting for `points` (n, d) by the rule of this module.

    `fixed` holds the user's b, k, l, probes (None where left to the tuner), as
    normalised by `vibrel._params.normalise`.  `engine` is the index class that
    will serve.  Needs n_neighbors < n.

    `points` may be any object with a `shape` whose integer-array indexing gives
    the rows as an ndarray, when `truth(rows, n_neighbors, measure)` gives the
    sample's true neighbour ids and the costs as `_truth_and_costs` does: points
    held elsewhere are then only read at the sampled rows.
    """
    fixed = fixed or {"b": None, "k": None, "l": None, "probes": None}
    n, d = points.shape
    free = all(v is None for v in fixed.values())
    if fixed["b"] == 1 or (free and (target >= 1.0 or n < EXHAUSTIVE_BELOW)):
        s, u = _params.draw_hash(rng, d, 1, 1)
        return Tuning(EXHAUSTIVE, s, u, 1.0, 0.0, math.nan, math.nan, np.empty(0, np.int64))

    rows = np.sort(rng.choice(n, min(n_queries, n), replace=False))
    grid = _grid(n, d, n_neighbors, fixed)
    single = all(v is not None for v in fixed.values())
    if truth is None:
        true_ind, costs = _truth_and_costs(points, rows, n_neighbors, engine, measure=not single)
    else:
        true_ind, costs = truth(rows, n_neighbors, not single)
    l_max = fixed["l"] if fixed["l"] is not None else min(_MAX_TABLES, table_budget(d, memory))
    k_max = max(k for _, ks in grid for k in ks)
    s, u = _params.draw_hash(rng, d, k_max, l_max)
    sample = rng.choice(n, min(n, _OCCUPANCY_SAMPLE), replace=False)
    scale = n / sample.size
    ls = np.arange(1, l_max + 1)
    allowed = np.zeros(l_max, dtype=bool)
    allowed[fixed["l"] - 1 if fixed["l"] is not None else slice(None)] = True

    best = None  # (rank, params, recall, error, cost); the rank orders met targets by cost
    for b, ks in grid:
        for k, pos, occ in _keys_found(points, rows, true_ind, sample, b, ks, s[:, :max(ks)],
                                       u[:, :max(ks)]):
            for probes in _probe_counts(k, fixed["probes"]):
                hit = pos <= probes  # (l, q, nn)
                first = np.where(hit.any(axis=0), hit.argmax(axis=0), l_max)  # first table finding it
                per_query = _found_by_tables(first, l_max) / pos.shape[2]  # (q, l)
                recall = per_query.mean(axis=0)
                error = per_query.std(axis=0) / math.sqrt(max(1, rows.size - 1))
                pairs = np.cumsum(occ[:, :, :probes + 1].sum(axis=2).mean(axis=1)) * scale
                cost = pairs * costs.pair + ls * (1 + probes) * costs.lookup
                meets = allowed & (recall >= target)
                if meets.any():
                    i = int(np.argmin(np.where(meets, cost, np.inf)))
                    rank = (1, -cost[i])
                else:
                    i = int(np.argmax(np.where(allowed, recall, -1.0)))
                    rank = (0, recall[i])
                if best is None or rank > best[0]:
                    best = (rank, HashParams(b, k, i + 1, probes), recall[i], error[i], cost[i])
    _, params, recall, error, cost = best
    exhaustive_cost = n * costs.scan_point
    if free and (exhaustive_cost <= cost or recall < target):
        s1, u1 = _params.draw_hash(rng, d, 1, 1)
        return Tuning(EXHAUSTIVE, s1, u1, 1.0, 0.0, exhaustive_cost, exhaustive_cost, rows)
    if recall < target and not single:
        warnings.warn(f"no setting with the given parameters reaches the recall target {target}; "
                      f"using b={params.b} k={params.k} l={params.l} probes={params.probes}, whose "
                      f"estimated recall is {recall:.3f}", RecallTargetWarning, stacklevel=3)
    return Tuning(params, np.ascontiguousarray(s[:params.l, :params.k]),
                  np.ascontiguousarray(u[:params.l, :params.k]), float(recall), float(error),
                  float(cost), exhaustive_cost, rows)


def _found_by_tables(first: np.ndarray, l_max: int) -> np.ndarray:
    """(q, l_max): per query, the neighbours found by its first 1, 2, ... tables,
    from the first table (l_max: none) that finds each of its neighbours."""
    q = first.shape[0]
    counts = np.bincount((np.arange(q)[:, None] * (l_max + 1) + first).ravel(),
                         minlength=q * (l_max + 1)).reshape(q, l_max + 1)
    return np.cumsum(counts[:, :l_max], axis=1)


def found_by(params: HashParams, s, u, queries: np.ndarray, neighbours: np.ndarray,
             owner: np.ndarray) -> np.ndarray:
    """For each (queries[owner[i]], neighbours[i]) pair: does some table find it?

    A pair is found when the neighbour's key is the query's base key or one of its
    probe keys in some table.
    """
    ref = PythonLshIndex(params.b, params.k, params.l, params.probes, s, u)
    keys = ref._hash_points(neighbours)
    found = np.zeros(owner.size, dtype=bool)
    for t in range(params.l):
        _, listed = ref._query_keys(queries, t)
        found |= (listed[owner] == keys[t][:, None]).any(axis=1)
    return found


# ------------------------------------------------------------------ steps


def _exhaustive(points: np.ndarray, engine):
    from vibrel._backend import build_index
    return build_index(engine, EXHAUSTIVE, *_params.draw_hash(np.random.default_rng(0), points.shape[1], 1, 1),
                       0, points, points.shape[0])


def _truth_and_costs(points, rows, n_neighbors, engine, measure=True):
    """The sample's true neighbour ids, and the per-unit costs of the model
    (none for a single setting, which has nothing to be compared with)."""
    n, d = points.shape
    true_ind, _ = _exhaustive(points, engine).query_knn(points[rows], n_neighbors, rows)
    return true_ind, model_costs(n, d, measure)


def model_costs(n: int, d: int, measure: bool = True) -> Costs:
    """The unit costs of step 5 for n points of d coordinates; with `measure`
    false only the exhaustive search's (a single setting is compared with nothing)."""
    scan = SCAN_NS + SCAN_NS_PER_DIM * d
    if not measure:
        return Costs(math.nan, math.nan, scan * 1e-9)
    spill = max(0.0, 1.0 - CACHE_BYTES / (4.0 * n * d))
    pair = PAIR_NS + scan + spill * (MISS_NS + MISS_NS_PER_LINE * math.ceil(4 * d / 64))
    return Costs(pair * 1e-9, LOOKUP_NS * 1e-9, scan * 1e-9)


def _grid(n: int, d: int, n_neighbors: int, fixed: dict) -> list[tuple[int, list[int]]]:
    """(b, the k to try with it) pairs of step 3, within the fixed values."""
    lo, hi = _OCCUPANCY[0], max(_OCCUPANCY[1] * n_neighbors, 16.0)
    bs = [fixed["b"]] if fixed["b"] is not None else [b for b in _BUCKET_LADDER if b <= 4 * n]
    grid = []
    for b in bs:
        if fixed["k"] is not None:
            ks = [fixed["k"]] if _params.key_fits(b, fixed["k"]) else []
        else:
            ks = [k for k in range(min(d, _MIN_DIGITS), 4 * d + 1)
                  if _params.key_fits(b, k) and lo <= n / b ** k <= hi]
            if not ks and fixed["b"] is not None:  # a given b: its nearest occupancy
                k = max(1, round(math.log(n / hi) / math.log(b)))
                while not _params.key_fits(b, k):
                    k -= 1
                ks = [k]
        if fixed["probes"] is not None:
            ks = [k for k in ks if k >= fixed["probes"]]
        if ks:
            grid.append((b, ks))
    if not grid:
        raise ValueError(f"no hash setting fits the given parameters {fixed} for {n} points")
    return grid


def _probe_counts(k: int, fixed_probes: int | None):
    return [fixed_probes] if fixed_probes is not None else range(k + 1)


def _keys_found(points, rows, true_ind, sample, b, ks, s, u):
    """For each k of `ks`: (k, pos, occ).

    pos (l, q, nn): per table the place of each true neighbour's key in its
    query's list (0 the base key, p the p-th probe key; k + 1 when absent).
    occ (l, q', k + 1): sizes of the listed cells in the occupancy sample, for
    the first q' = `_COST_QUERIES` queries.

    Cells are counted on a second encoding of the digits, most significant
    first, in which the cells of k digits are ranges of the sorted codes of
    k_max digits: one sort per table serves every k.
    """
    l, k_max = s.shape
    q, nn = true_ind.shape
    qc_rows = min(q, _COST_QUERIES)
    low = np.array([b ** j for j in range(k_max)], dtype=np.int64)
    high = low[::-1].copy()
    pos = {k: np.empty((l, q, nn), dtype=np.int16) for k in ks}
    occ = {k: np.empty((l, qc_rows, k + 1)) for k in ks}
    queries, neighbours, others = points[rows], points[true_ind.reshape(-1)], points[sample]
    for t in range(l):
        qc, qv = _codes(queries[:, s[t]], u[t], b)
        step = np.mod(qc + np.where(np.clip(qv - qc, 0.0, 1.0) >= 0.5, 1, -1), b) - qc
        frac = np.clip(qv - qc, 0.0, 1.0)
        margin = np.minimum(frac, 1.0 - frac)
        margin[np.isnan(margin)] = 2.0
        q_low, q_high = np.cumsum(qc * low, axis=1), np.cumsum(qc[:qc_rows] * high, axis=1)
        n_low = np.cumsum(_codes(neighbours[:, s[t]], u[t], b)[0] * low, axis=1)
        o_high = np.sort((_codes(others[:, s[t]], u[t], b)[0] * high).sum(axis=1))
        for k in ks:
            order = np.argsort(margin[:, :k], axis=1, kind="stable")
            moves = np.take_along_axis(step[:, :k], order, axis=1)
            listed = np.empty((q, k + 1), dtype=np.int64)
            listed[:, 0] = q_low[:, k - 1]
            listed[:, 1:] = listed[:, :1] + moves * low[order]
            hit = n_low[:, k - 1].reshape(q, nn, 1) == listed[:, None, :]
            pos[k][t] = np.where(hit.any(axis=2), hit.argmax(axis=2), k + 1)
            cells = np.empty((qc_rows, k + 1), dtype=np.int64)
            cells[:, 0] = q_high[:, k - 1]
            cells[:, 1:] = cells[:, :1] + moves[:qc_rows] * high[order[:qc_rows]]
            occ[k][t] = (np.searchsorted(o_high, cells + high[k - 1], side="left")
                         - np.searchsorted(o_high, cells, side="left"))
    for k in ks:
        yield k, pos[k], occ[k]


def _codes(coords: np.ndarray, shifts: np.ndarray, b: int):
    """Bucket codes and scaled positions, as the reference's `_digit_codes` gives
    them for coordinates in [0, 1): the same rounded steps, without the guards
    for values that the front never passes (NaN, beyond the int64 range)."""
    x = coords + shifts
    v = (x - np.floor(x)) * float(b)
    return np.minimum(v.astype(np.int64), b - 1), v
