"""The tuner of `vibrel.ToroidalNN`: the cheapest hash setting whose recall meets a target.

The rule, applied at `fit` to the parameters the user left as None:

1. Shortcuts.  A target of 1.0, fewer than `EXHAUSTIVE_BELOW` points, `b = 1`,
   or an exhaustive scan that the cost model of step 5 prices below the
   cheapest conceivable hashed query (one lookup and `target * n_neighbors`
   candidates, as with a large n_neighbors relative to n) give the
   exhaustive search (b = k = l = 1, probes = 0), exact by construction,
   before anything is hashed.
2. Sample.  `n_queries` fitted points (fewer for many neighbours), drawn with
   the model's generator, serve as queries, each excluding itself.  Their
   true `n_neighbors` nearest come from the exhaustive engine, fetched only
   once a setting needs its recall.
3. Candidates.  b runs over a geometric ladder (2, 3, 4, 6, 8, 12, 16, ...) and k
   over the digit counts of at least min(d, 3) whose mean cell holds between a
   quarter of a point and 64 n_neighbors points (`_OCCUPANCY`): with the byte
   codes, cells of hundreds of points can be cheaper than many small ones, and
   the model, not the bound, decides between them; probes
   over 0..k; l up to the table budget: a table stores 16 bytes a point, and the
   tables may take `memory` times the points' own float64 memory (8 d bytes a
   point), so l <= memory * d / 2 (and at most `_MAX_TABLES`).  One draw of s
   and u serves every setting: (b, k, l, probes) uses its first l tables and k
   digits, which are then exactly the index's parameters.
4. Recall from keys alone.  A true neighbour is found iff in some table its key
   is the query's base key or one of the query's first `probes` probe keys
   (`vibrel.lsh.probe_digits`): the census (`vibrel._census`, compiled in the
   engine) gives the nearest place any table gives it among the query's
   looked-up cells, for every k at once.  The estimate is the mean over the sample
   queries of the share found, its error the standard error of that mean.
   The engine widens the search of a query whose cells hold too few points and
   may find a tied point instead of the listed one; the estimate counts neither,
   so it errs low: the built index reaches at least this on the sample (the
   front reports it for a tuned setting, and measures given settings, whose
   cells may be too sparse to fill an answer, on an index without the sample).
5. Cost from bucket sizes.  A query's candidates (the engine's `pairs`)
   are the sizes of the cells it looks up, summed over its tables; the sizes are
   counted by the census in a random sample of `_OCCUPANCY_SAMPLE` points,
   in a b's first `_COUNTED_TABLES` tables, and scaled to n.  The unit costs
   are a fixed model of the compiled engine's blocked path (whole-thread blocks,
   as `kneighbors` runs many rows), not timed at fit, so that a seed gives the
   same choice in every process, on every engine.  The engine measures every
   candidate first by a lower bound from one byte a coordinate, and only the
   survivors of the bound by a float distance, so (`Costs`):
     hashed = lookups * CODE_LOOKUP_NS + pairs * (CODE_PAIR_NS + CODE_PAIR_NS_PER_DIM * d)
              + survivors(pairs, hits) * (SURVIVOR_NS_PER_DIM * d + SURVIVOR_MISS_NS * spill),
     exhaustive = n * (CODE_SCAN_NS + CODE_SCAN_NS_PER_DIM * d) + survivors(n, 1) * EXHAUSTIVE_SURVIVOR_NS,
   with lookups = l * (1 + probes) and survivors(m, hits) the candidates of m
   whose bound beats the running n_neighbors-th distance (`survivors`).  A true
   neighbour already kept beats it again in every further table that finds it,
   so a setting's survivors grow with hits = l * (the share of the sample's
   true neighbours that its first table finds): on clustered data a cell holds
   mostly near points and many tables find each neighbour.  A bound
   reads d bytes that the static tier keeps in key order beside the ids, so a
   cell's bounds stream and big cells are cheap; a survivor fetches its float32
   row from wherever its cell put it, a miss for the share
   spill = max(0, 1 - CACHE_BYTES / (4 n d)) of the float32 rows that do not
   fit the cache.  With the filter off (VIBREL_CODE_FILTER=off, read as the
   engine reads it: `CODE_FILTER`) every candidate is a float pair:
     hashed = pairs * pair(n, d) + lookups * LOOKUP_NS, exhaustive = n * scan(d),
     pair(n, d) = PAIR_NS + scan(d) + spill * (MISS_NS + MISS_NS_PER_LINE * lines),
     scan(d) = SCAN_NS + SCAN_NS_PER_DIM * d,
   a candidate's handling, its evaluation at kernel speed and the fetch of its
   row, at a latency plus a cost per 64-byte line of the row.  An index that
   answers row by row (block = 1: the per-query path, whose gather lists every
   candidate of a cell and dedups it before any bound spares a float row) is
   priced as with the filter off.
   With the codes, a setting is priced for the choice by its blocked cost plus
   PER_QUERY_SHARE times its cost on the per-query path, which calls of fewer
   than 64 rows take and which lists every gathered candidate, priced by the
   float model (`ChoiceCosts`; the exhaustive search likewise): of two settings
   near-tied on the blocked path, the one with fewer candidates answers small
   calls faster.  Without the codes the float model alone prices both paths.
   `bench/calibrate_tuner.py` derives the constants on a machine.
6. Choice.  The cheapest setting whose estimate reaches the target; the
   exhaustive search when its cost is lower or no setting reaches the target.
   When explicit parameters leave no setting that reaches the target, the one
   with the highest estimate.

Cost of tuning (about a build: bench/bench_front.py --goals).  The tables of
a b are searched in batches: the next batch reaches the fewest tables at which
any of its candidates may meet the target, by the optimistic extrapolation
below (no setting in between would), but at most doubles the tables.  A
(k, probes) leaves the search

* once its recall meets the target (more tables only cost more);
* once its modelled cost reaches that of the best choice so far (the
  exhaustive search's to begin with: a setting dearer than it is never chosen);
* once it cannot, by an optimistic extrapolation of its recall over the tables
  seen (`_tables_extrapolated`), meet the target before it reaches that cost
  or the table budget.

Every b gets one table first; then the b whose best candidate promises the
lowest cost gets the next batch; once a setting meets the target, only
promises below `_LEAST_GAIN` times its cost.  Until some setting meets the target, a
search with all parameters left to it goes on only with candidates promising
less than the exhaustive search's cost divided by `_RATE_MARGIN` (the promise
already assumes that much luck), so where hashing cannot pay the tuner stops
after the first tables.  With all parameters left to it, the tuner
counts at most `_TUNING_ROWS_PER_POINT` sample rows per point (at most
`_TUNING_ROWS_MOST`) plus `_TUNING_ROWS_FIXED`, each step's interpreted work
counted as `_STEP_ROWS`; what it has not shown to meet the target by then is
not chosen (the exhaustive search is, if nothing is).  So the work follows the
modelled costs: where the exhaustive search is cheap, most candidates leave
after their first table.  Given parameters are searched without that bound,
but every step adds a table, so no search takes more steps than its bucket
counts have tables: one that does has failed, and raises RuntimeError.

The shortcut of step 1 rarely fires for small k: its floor is what a perfect
hash would cost, and at d = 16 the settings that reach the target evaluate
hundreds of times n_neighbors points, so below about 50,000 uniform points the
exhaustive search is chosen only after the first tables have shown that no
setting can beat it.
"""

from __future__ import annotations

import math
import os
import warnings
from dataclasses import dataclass
from typing import Any, Callable, Iterator

import numpy as np

from vibrel import _backend, _census, _params
from vibrel._params import EXHAUSTIVE, HashParams
from vibrel.lsh import PythonLshIndex

# Below this many points the exhaustive search is always the cheapest.
EXHAUSTIVE_BELOW = 2048
# Sample queries of the recall estimate, fewer when each has many neighbours:
# their true neighbours are hashed in every table searched, so the sample's
# neighbours are at most `_SAMPLE_NEIGHBOURS` (at least `_LEAST_QUERIES` queries).
N_QUERIES = 400
_SAMPLE_NEIGHBOURS = 20_000
_LEAST_QUERIES = 32
# Points whose keys stand for all when counting bucket sizes (an eighth of the
# points within these bounds), and the sample queries whose cells are counted.
_OCCUPANCY_SAMPLE = (2048, 8192)
_COST_QUERIES = 100
# The cells of a b are counted in its first this many tables, whose mean then
# stands for every table: one table's count varies little, and counting costs
# as much as the rest of a table's census.
_COUNTED_TABLES = 4
# Mean points per cell of the (b, k) tried: from a quarter to this many per neighbour.
_OCCUPANCY = (0.25, 64.0)
_MAX_TABLES = _params.DRAWN_TABLES
# How much faster than seen so far the tables to come may find neighbours: the
# tables' random shifts make one table's rate vary far more than its pairs'
# count would say.
_RATE_MARGIN = 2.0
# The tuner's census reads at most this many sample rows per point of the data
# and a fixed allowance (a row costs about 0.1 us of one thread, so the
# allowance is some milliseconds and the rows per point about a build of as
# many tables), searching the most promising bucket count first; what it has
# not reached by then is not chosen.
_TUNING_ROWS_PER_POINT = 8
_TUNING_ROWS_FIXED = 60_000
# A free search that has met the target goes on only for promises below this
# share of the best cost found.
_LEAST_GAIN = 0.95
# The interpreted work of one table's step, as the sample rows the census
# hashes in the same time.
_STEP_ROWS = 3_000
# The tables a search needs hardly grow with n (their sample is fixed), while a
# build does: beyond this many rows tuning costs more than it can save.
_TUNING_ROWS_MOST = 1_200_000
# A tuned key reads at least this many coordinates (all of them when d is smaller):
# keys of fewer coordinates cost much and find little once d exceeds them.
_MIN_DIGITS = 3
_BUCKET_LADDER = (2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024,
                  1536, 2048, 4096, 8192, 16384, 32768, 65536, 131072, 262144, 524288, 1048576)
TABLE_BYTES_PER_POINT = 16

# The cost model of step 5, in thread-nanoseconds of the compiled engine on a
# 2-core AMD EPYC VM, AVX2 (bench/calibrate_tuner.py: medians of alternating
# processes, non-negative least squares; within 20% at 200,000 points of d = 8
# and 16).  Only ratios matter: they decide between settings and against the
# exhaustive search.
# Byte codes first (the default): every candidate a bound from its d bytes,
# only the survivors (`survivors`) a float row, distance and top-k place.
# The hashed search's lookup, pair and miss costs are refitted, with the
# survivor cost per dimension held, to the process CPU time of the settings
# the tuner weighs at 200,000 points (bench/bench_settings.py: 17 settings of
# 3 to 16 tables on blobs and uniform d = 8, each with the tables that find
# its neighbours counted; within 11%), scaled to these units by the exhaustive
# search timed beside them: four tables of tiny or huge cells, as the
# calibration times them, meet a neighbour too seldom to tell a lookup from
# the survivors it brings.
CODE_SCAN_NS, CODE_SCAN_NS_PER_DIM, EXHAUSTIVE_SURVIVOR_NS = 0.27, 0.05, 250.0
CODE_PAIR_NS, CODE_PAIR_NS_PER_DIM, CODE_LOOKUP_NS = 5.0, 0.0, 470.0
SURVIVOR_NS_PER_DIM, SURVIVOR_MISS_NS = 5.9, 189.0
# The float32 path (VIBREL_CODE_FILTER=off): every candidate a float distance.
# These are the constants the tuner priced it with before the codes, kept so
# that the float path chooses as it did: a refit to this machine's loaded
# timings misses the hashed ones by up to half (the float scan turns memory-bound).
SCAN_NS, SCAN_NS_PER_DIM = 0.26, 0.16
PAIR_NS, MISS_NS, MISS_NS_PER_LINE = 6.8, 44.0, 16.0
LOOKUP_NS = 450.0
TOP_K_NS = 0.0  # the top-k place of a candidate, folded into PAIR_NS
# With the codes, the share of a setting's per-query cost (the float model: the
# per-query path lists every gathered candidate) added to its blocked cost when
# the tuner chooses: enough to turn a near-tie on the blocked path (the model
# errs by about a tenth) towards the setting that answers small calls faster,
# too little to outweigh a clear blocked gain (`ChoiceCosts`).
PER_QUERY_SHARE = 0.1
# Points (as float32 rows) that random fetches read without a miss: the cores' L2 together.
CACHE_BYTES = 4 << 20
# Whether the engine measures byte codes first: it reads this switch once, when
# it is imported, and so does the tuner, here and nowhere else.
CODE_FILTER = os.environ.get("VIBREL_CODE_FILTER", "") not in ("0", "off")

# The sample's true neighbours: truth(rows, n_neighbors) -> (ids, distances), each (q, n_neighbors).
Truth = Callable[[np.ndarray, int], "tuple[np.ndarray, np.ndarray]"]


class RecallTargetWarning(UserWarning):
    """The explicit parameters leave no setting whose estimated recall reaches the target."""


@dataclass(frozen=True)
class Costs:
    """Modelled work in seconds: per candidate of a hashed query (its bound,
    or its float distance without the codes), per bucket lookup, per survivor
    of a hashed query (its random float row and distance, or without the
    codes its place in the running top n_neighbors), and per point and per
    survivor of an exhaustive query."""

    pair: float
    lookup: float
    scan_point: float
    survivor: float = 0.0
    exhaustive_survivor: float = 0.0
    n_neighbors: int = 1

    def hashed(self, pairs: Any, lookups: Any, hits: Any = 1.0) -> Any:
        """Seconds of a hashed query that evaluates `pairs` candidates over
        `lookups` looked-up cells, meeting each true neighbour `hits` times on
        average (scalars or arrays alike).  A setting extrapolated to need
        endless tables costs endlessly much, also where survivors are free
        (the float model), not 0 * inf."""
        cost = pairs * self.pair + lookups * self.lookup
        return cost + self.survivor * survivors(pairs, self.n_neighbors, hits) if self.survivor else cost

    def exhaustive(self, n: int) -> float:
        """Seconds of an exhaustive query over n points."""
        return n * self.scan_point + self.exhaustive_survivor * float(survivors(n, self.n_neighbors))


@dataclass(frozen=True)
class ChoiceCosts:
    """The price the tuner chooses by with the codes: a query's modelled work
    on the blocked path (`blocked`) plus `share` times its work on the
    per-query path (`per_query`, priced without the codes).  Calls of many
    rows decide; the small share makes the tuner prefer, of two settings
    near-tied on the blocked path, the one cheaper row by row."""

    blocked: Costs
    per_query: Costs
    share: float

    def hashed(self, pairs: Any, lookups: Any, hits: Any = 1.0) -> Any:
        """As `Costs.hashed`, blended."""
        return (self.blocked.hashed(pairs, lookups, hits)
                + self.share * self.per_query.hashed(pairs, lookups, hits))

    def exhaustive(self, n: int) -> float:
        """As `Costs.exhaustive`, blended."""
        return self.blocked.exhaustive(n) + self.share * self.per_query.exhaustive(n)


def choice_costs(n: int, d: int, n_neighbors: int, codes: bool) -> Costs | ChoiceCosts:
    """What the tuner prices settings with: without the codes (the filter off,
    or an index that answers row by row) the float model alone, as before the
    codes, so that those choices stay; with them, the blocked path's costs
    blended with `PER_QUERY_SHARE` of the per-query path's."""
    blocked = model_costs(n, d, n_neighbors, codes)
    if not codes:
        return blocked
    return ChoiceCosts(blocked, model_costs(n, d, n_neighbors, codes=False), PER_QUERY_SHARE)


def survivors(candidates: Any, n_neighbors: int, hits: Any = 1.0) -> Any:
    """The candidates, of `candidates` met in an order unrelated to their
    distance, whose bound beats the running n_neighbors-th distance: those
    that enter the running top n_neighbors (n_neighbors ln(m / n_neighbors) of
    m on average) and every meeting of a true neighbour, `hits` a neighbour
    (1 for a scan; the tables that find it for a hashed query, each of which
    measures it again)."""
    m = np.asarray(candidates, dtype=float)
    return np.minimum(m, n_neighbors * (np.asarray(hits, dtype=float) + np.log1p(m / n_neighbors)))


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
    # The sample's true n_neighbors-th distances, when they were computed.
    true_kth: np.ndarray | None = None


def table_budget(d: int, memory: float) -> int:
    """The most tables that fit `memory` times the points' float64 memory: a
    table takes TABLE_BYTES_PER_POINT for its key and id and d bytes for the
    point's codes in key order (TABLE_BYTES_PER_POINT + d bytes a point)."""
    return max(1, int(memory * 8 * d // (TABLE_BYTES_PER_POINT + d)))


def model_costs(n: int, d: int, n_neighbors: int = 1, codes: bool | None = None) -> Costs:
    """The unit costs of step 5 for n points of d coordinates, with the byte
    codes (`codes`; None: as the engine runs, `CODE_FILTER`) or without."""
    codes = CODE_FILTER if codes is None else codes
    scan = SCAN_NS + SCAN_NS_PER_DIM * d
    spill = max(0.0, 1.0 - CACHE_BYTES / (4.0 * n * d))
    if not codes:
        pair = PAIR_NS + scan + spill * (MISS_NS + MISS_NS_PER_LINE * math.ceil(4 * d / 64))
        return Costs(pair * 1e-9, LOOKUP_NS * 1e-9, scan * 1e-9, TOP_K_NS * 1e-9, TOP_K_NS * 1e-9, n_neighbors)
    return Costs((CODE_PAIR_NS + CODE_PAIR_NS_PER_DIM * d) * 1e-9, CODE_LOOKUP_NS * 1e-9,
                 (CODE_SCAN_NS + CODE_SCAN_NS_PER_DIM * d) * 1e-9,
                 (SURVIVOR_NS_PER_DIM * d + SURVIVOR_MISS_NS * spill) * 1e-9, EXHAUSTIVE_SURVIVOR_NS * 1e-9,
                 n_neighbors)


def exhaustive_is_cheaper(n: int, d: int, n_neighbors: int, target: float, codes: bool | None = None) -> bool:
    """True when the exhaustive search's scan costs no more than the
    candidates and lookup of the cheapest hashed query could: one lookup and
    `target * n_neighbors` candidates.  The survivors are left out on both
    sides: each search pays for at least the neighbours it finds, and a hash
    as perfect as this floor assumes is never drawn, while the exhaustive
    search's extra survivors grow only with the log of n / n_neighbors.
    `codes` as for `model_costs`."""
    costs = model_costs(n, d, n_neighbors, codes)
    return n * costs.scan_point <= math.ceil(target * n_neighbors) * costs.pair + costs.lookup


def tune(points: Any, n_neighbors: int, target: float, rng: np.random.Generator, engine: Any,
         *, memory: float = 8.0, fixed: dict | None = None, n_queries: int | None = None,
         truth: Truth | None = None, period: np.ndarray | None = None, threads: int = 0,
         per_query: bool = False) -> Tuning:
    """Chooses the hash setting for `points` (n, d) by the rule of this module.

    `fixed` holds the user's b, k, l, probes (None where left to the tuner), as
    normalised by `vibrel._params.normalise`.  `engine` is the index class that
    will serve, measuring its own metric on the box of `period` (None: the unit
    torus), so the true neighbours are those of the metric in use; keys are
    those of the points divided by their period, as the engine hashes them.
    Needs n_neighbors < n.

    `points` may be any object with a `shape` whose integer-array indexing gives
    the rows as an ndarray, when `truth(rows, n_neighbors)` gives the sample's
    true neighbour ids and distances: points held elsewhere are then only read
    at the sampled rows.  The engine's searches run on `threads` threads (0: all).
    `per_query`: the index answers every call row by row (block = 1), where
    every gathered candidate is listed one by one, so the float path is priced.
    """
    fixed = fixed or {"b": None, "k": None, "l": None, "probes": None}
    n, d = points.shape
    free = all(v is None for v in fixed.values())
    codes = CODE_FILTER and not per_query
    if fixed["b"] == 1 or (free and (target >= 1.0 or n < EXHAUSTIVE_BELOW
                                     or exhaustive_is_cheaper(n, d, n_neighbors, target, codes))):
        return _exhaustive_tuning(rng, d, np.empty(0, np.int64))

    n_queries = min(N_QUERIES if n_queries is None else n_queries,
                    max(_LEAST_QUERIES, _SAMPLE_NEIGHBOURS // n_neighbors))
    rows = np.sort(rng.choice(n, min(n_queries, n), replace=False))
    grid = _grid(n, d, n_neighbors, fixed)
    l_max = fixed["l"] if fixed["l"] is not None else min(_MAX_TABLES, table_budget(d, memory))
    k_max = max(k for _, ks in grid for k in ks)
    s, u = _params.draw_hash(rng, d, k_max, l_max)
    sample = rng.choice(n, min(n, max(_OCCUPANCY_SAMPLE[0], min(n // 8, _OCCUPANCY_SAMPLE[1]))), replace=False)
    if truth is None:
        truth = _engine_truth(points, engine, threads)
    sampled = _Sample(points, rows, sample, n, n_neighbors, truth, period, threads)
    costs = choice_costs(n, d, n_neighbors, codes)
    exhaustive_cost = costs.exhaustive(n)
    choice = _Choice(bound=exhaustive_cost if free else math.inf)
    searches = [_BucketSearch(sampled, b, ks, s, u, fixed, costs, target, choice) for b, ks in grid]
    budget = min(_TUNING_ROWS_PER_POINT * n, _TUNING_ROWS_MOST) + _TUNING_ROWS_FIXED if free else math.inf
    # Until a setting meets the target, a free search pursues only candidates
    # whose optimistic promise beats the exhaustive search by the margin that
    # promise already assumes: the rest would, at their likely rate, cost about
    # as much as the exhaustive search, and tuning them costs more than they save.
    worth = exhaustive_cost / _RATE_MARGIN if free else math.inf
    # Every step adds a table to one b's search, so no search takes more steps
    # than all its bs' tables: more means one never finishes, which would
    # otherwise hang a search without a budget (given parameters).
    steps_left = len(searches) * l_max
    while budget > 0:
        # Once a setting meets the target, a free search pursues only promises
        # of a clear gain over it: a promise is optimistic already, so one
        # within a few percent of the best rarely repays its tables.
        bound = choice.bound * (_LEAST_GAIN if free and choice.met is not None else 1.0)
        open_searches = [search for search in searches if not search.done and search.promise < bound
                         and (choice.met is not None or search.promise < worth)]
        if not open_searches:
            break
        if steps_left == 0:
            raise RuntimeError(f"the tuner's search did not finish within {len(searches) * l_max} steps "
                               f"(a step adds a table; {len(searches)} bucket count(s), {l_max} tables each)")
        steps_left -= 1
        budget -= min(open_searches, key=lambda search: (search.tables > 0, search.promise)).step(budget)
    if choice.met is not None:
        cost, params, recall, error = choice.met
    elif choice.unmet is not None and not free:
        cost, params, recall, error = choice.unmet[1:]
    else:
        return _exhaustive_tuning(rng, d, rows, exhaustive_cost, sampled.true_kth)
    if free and exhaustive_cost <= cost:
        return _exhaustive_tuning(rng, d, rows, exhaustive_cost, sampled.true_kth)
    return Tuning(params, np.ascontiguousarray(s[:params.l, :params.k]),
                  np.ascontiguousarray(u[:params.l, :params.k]), float(recall), float(error),
                  float(cost), exhaustive_cost, rows, sampled.true_kth)


def warn_if_short(params: HashParams, recall: float, error: float, target: float, stacklevel: int) -> None:
    """A RecallTargetWarning when the given parameters' setting `params` is
    estimated to find clearly less than the target: by more than two standard
    errors of the estimate."""
    if recall + 2.0 * error < target:
        warnings.warn(f"no setting with the given parameters reaches the recall target {target}; "
                      f"using b={params.b} k={params.k} l={params.l} probes={params.probes}, whose "
                      f"estimated recall is {recall:.3f}", RecallTargetWarning, stacklevel=stacklevel + 1)


def measured_recall(index: Any, queries: np.ndarray, rows: np.ndarray, true_kth: np.ndarray,
                    n_neighbors: int, threads: int = 0) -> tuple[float, float]:
    """(recall, standard error) of a built index on the sample queries (the
    indexed points at `rows`, each excluding itself): the share of each row's
    answer within its true `n_neighbors`-th distance, averaged over the rows."""
    _, dist = _backend.call(threads, index.query_knn, queries, n_neighbors, rows)
    per_query = (dist <= true_kth[:, None]).mean(axis=1)
    return float(per_query.mean()), float(per_query.std() / math.sqrt(max(1, rows.size - 1)))


def held_out_recall(engine: Any, tuning: Tuning, points: np.ndarray, n_neighbors: int,
                    threads: int = 0) -> tuple[float, float]:
    """(recall, standard error) of the tuned setting for queries that are not
    indexed points: an index of the setting over all points but the sample's,
    asked about the sample.

    A query that is an indexed point counts itself, l times, towards the cells
    a short search widens to, and so widens less than a fresh query: for
    settings whose cells are too sparse to fill an answer the two differ.  The
    sample's true distances are those among all points, a bound the held-out
    index can only meet or miss, so the estimate errs low."""
    rows = tuning.sample_rows
    assert tuning.true_kth is not None, "a setting without its sample's truth"
    kept = np.ones(points.shape[0], dtype=bool)
    kept[rows] = False
    index = _backend.build_index(engine, tuning.params, tuning.s, tuning.u, 0, points[kept], int(kept.sum()),
                                 threads)
    return measured_recall(index, points[rows], np.full(rows.size, -1), tuning.true_kth, n_neighbors, threads)


def found_by(params: HashParams, s: np.ndarray, u: np.ndarray, queries: np.ndarray, neighbours: np.ndarray,
             owner: np.ndarray) -> np.ndarray:
    """For each (queries[owner[i]], neighbours[i]) pair: does some table find it?

    A pair is found when the neighbour's key is the query's base key or one of its
    probe keys in some table.
    """
    ref = PythonLshIndex(params.b, params.k, params.l, params.probes, s, u)
    keys = ref.hash_points(neighbours)
    found = np.zeros(owner.size, dtype=bool)
    for t in range(params.l):
        _, listed = ref.query_keys(queries, t)
        found |= (listed[owner] == keys[t][:, None]).any(axis=1)
    return found


# ------------------------------------------------------------------ steps


def _exhaustive_tuning(rng: np.random.Generator, d: int, rows: np.ndarray, cost: float = math.nan,
                       true_kth: np.ndarray | None = None) -> Tuning:
    s, u = _params.draw_hash(rng, d, 1, 1)
    return Tuning(EXHAUSTIVE, s, u, 1.0, 0.0, cost, cost, rows, true_kth)


def _engine_truth(points: np.ndarray, engine: Any, threads: int) -> Truth:
    """The truth of points held here: the engine's exhaustive search."""
    def truth(rows: np.ndarray, n_neighbors: int) -> tuple[np.ndarray, np.ndarray]:
        index = _backend.exhaustive_index(engine, points, points.shape[0], 0, threads)
        return _backend.call(threads, index.query_knn, points[rows], n_neighbors, rows)
    return truth


class _Sample:
    """The sampled rows on the unit torus: the queries, the occupancy sample and,
    fetched on first use, the queries' true neighbours."""

    def __init__(self, points: Any, rows: np.ndarray, sample: np.ndarray, n: int, n_neighbors: int,
                 truth: Truth, period: np.ndarray | None, threads: int) -> None:
        self.period = period
        self.rows, self.n_neighbors = rows, n_neighbors
        self.queries, self.others = self._unit(points[rows]), self._unit(points[sample])
        self.scale = n / sample.size
        self._points, self._truth = points, truth
        self._neighbours: np.ndarray | None = None
        self.true_kth: np.ndarray | None = None
        # Each census holds its rows, checked once, for every step's tables.
        self._census = _census.census(threads)
        self.cost_rows = min(self.queries.shape[0], _COST_QUERIES)
        self.occupancy = self._census(self.queries[:self.cost_rows], self.others)
        self._placed: _census.Rows | None = None

    def _unit(self, rows: np.ndarray) -> np.ndarray:
        return rows if self.period is None else rows / self.period

    def neighbours(self) -> np.ndarray:
        """(q * n_neighbors, d): the true neighbours of each query, row-major."""
        if self._neighbours is None:
            ind, dist = self._truth(self.rows, self.n_neighbors)
            self.true_kth = np.asarray(dist)[:, -1].copy()
            self._neighbours = self._unit(self._points[np.asarray(ind).reshape(-1)])
        return self._neighbours

    def placed(self) -> _census.Rows:
        """The census of the queries and their true neighbours."""
        if self._placed is None:
            self._placed = self._census(self.queries, self.neighbours())
        return self._placed


class _Choice:
    """The best setting found so far: the cheapest that meets the target, or
    (while none does) the one of the highest recall; `bound` is the cost a
    candidate must stay below to be worth pursuing."""

    def __init__(self, bound: float) -> None:
        self.bound = bound
        self.met: tuple[float, HashParams, float, float] | None = None
        # (recall, then cost, params, recall, error as `met` holds them)
        self.unmet: tuple[float, float, HashParams, float, float] | None = None

    def offer(self, params: HashParams, recall: float, error: float, cost: float, target: float) -> bool:
        """Records a candidate; True when it meets the target."""
        if recall >= target:
            if cost < self.bound:
                self.met, self.bound = (cost, params, recall, error), cost
            return True
        if self.unmet is None or recall > self.unmet[0]:
            self.unmet = (recall, cost, params, recall, error)
        return False


class _BucketSearch:
    """The candidates (b, k, l, probes) of one b, searched one table at a time.

    `step` hashes the next table, offers `choice` the settings that can be
    chosen at that many tables and drops those that cannot pay: dearer than the
    bound already, or unable, by `_tables_extrapolated`, to reach the target
    before they are.  `promise` is the least cost at which a setting still
    searched could meet the target, by the same estimate.

    The candidates still searched are flat arrays of their k and probes in
    (k, probes) order, priced and scored together: a step's interpreted work
    does not grow with the number of k.
    """

    def __init__(self, sampled: _Sample, b: int, ks: list[int], s: np.ndarray, u: np.ndarray, fixed: dict,
                 costs: Costs | ChoiceCosts, target: float, choice: _Choice) -> None:
        self.sampled, self.b, self.s, self.u, self.fixed = sampled, b, s, u, fixed
        self.costs, self.target, self.choice = costs, target, choice
        self.free = all(v is None for v in fixed.values())
        self.tables = 0
        settings = [(k, p) for k in ks for p in _probe_counts(k, fixed["probes"])]
        self.cand_k = np.array([k for k, _ in settings], dtype=np.int64)
        self.cand_p = np.array([p for _, p in settings], dtype=np.int64)
        k_max = max(ks)
        # Row k - 1: the points in the first 0, 1, ..., k probed cells of a
        # cost query, cumulative, summed over the counted tables.
        self.pairs = np.zeros((k_max, k_max + 1))
        self.first_miss = np.full((k_max, k_max + 1), np.nan)
        self.nearest: np.ndarray | None = None  # (q * nn, k): the least place over the tables, per k
        self.promise = 0.0
        self.batch = 1  # tables the next step adds
        self._done = False
        self._update_done()

    @property
    def done(self) -> bool:
        """No table left to search or no candidate left to search it for (set
        by `step`, as the tuner asks after every step of every b)."""
        return self._done

    def _update_done(self) -> None:
        self._done = self.tables == self.s.shape[0] or not self.cand_k.size

    def step(self, rows_left: float = math.inf) -> int:
        """Searches `batch` more tables, as many as `rows_left` allows (at
        least one); returns the sample rows it hashed."""
        sampled = self.sampled
        table_rows = sampled.queries.shape[0] * (1 + sampled.n_neighbors)
        batch = self.batch if rows_left == math.inf else int(max(1, min(self.batch, rows_left // table_rows)))
        first_table, self.tables = self.tables, self.tables + batch
        tables, choice, costs = self.tables, self.choice, self.costs
        k_top = int(self.cand_k.max(initial=1))
        counted = min(tables, _COUNTED_TABLES)
        table = _Tables(self.sampled, self.b, self.s[first_table:tables, :k_top],
                        self.u[first_table:tables, :k_top], counted=max(0, counted - first_table))
        self.pairs[:k_top, :k_top + 1] += table.cell_sizes()
        # Each setting's pairs and lookups per table, and its cost at the
        # tables searched and at those it is extrapolated to need.
        pairs, lookups = self.pairs[self.cand_k - 1, self.cand_p] / counted, 1.0 + self.cand_p
        # Before its first table's recall is known a setting meets no
        # neighbour again: the least its cost can be.
        now = costs.hashed(tables * pairs, tables * lookups, self._hits(tables, self.cand_k, self.cand_p))
        # The bound only falls during a step, so what is dearer now stays so.
        live = now < choice.bound
        ks, probes, pairs, lookups, now = (a[live] for a in (self.cand_k, self.cand_p, pairs, lookups, now))
        self.cand_k, self.cand_p, self.promise, soonest = ks, probes, math.inf, math.inf
        if ks.size:
            keep, promised, needed = self._score(table, ks, probes, pairs, lookups)
            self.cand_k, self.cand_p = ks[keep], probes[keep]
            if keep.any():
                self.promise = float(promised[keep].min())
                soonest = float(needed[keep].min())
        self.batch = self._next_batch(soonest)
        self._update_done()
        return table.rows_hashed + _STEP_ROWS

    def _hits(self, at: Any, ks: np.ndarray, probes: np.ndarray, share: np.ndarray | None = None) -> np.ndarray:
        """How often `at` tables of each setting (ks, probes) meet a true
        neighbour: each at the rate of the first table searched (none while
        that is unknown); `share` that rate when the caller has it
        (`_first_share`)."""
        share = self._first_share(ks, probes) if share is None else share
        return np.where(share > 0, at, 0.0) * share  # no inf * 0 for a setting that meets none

    def _first_share(self, ks: np.ndarray, probes: np.ndarray) -> np.ndarray:
        """The share of the true neighbours that the first table of each
        setting (ks, probes) finds: 0 while that is unknown."""
        share = 1.0 - self.first_miss[ks - 1, probes]
        share[np.isnan(share)] = 0.0
        return share

    def _score(self, table: _Tables, ks: np.ndarray, probes: np.ndarray, pairs: np.ndarray,
               lookups: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The recall and cost of the settings (ks, probes) within the bound at
        the tables searched, their offers, and (which stay searched, the cost
        they promise, the tables they are extrapolated to need)."""
        # A neighbour is found with p probes when some table places it at p or
        # before: the census lowers the places of the tables before these,
        # those past the k_top digits still searched read as none of them.
        # Only whether a place is at most a setting's probes is ever read, and
        # only for the settings still searched (they only ever leave), so a
        # neighbour already found by every one of them needs no hashing.
        k_top = table.s.shape[1]
        self.nearest = table.neighbour_places(
            None if self.nearest is None else np.minimum(self.nearest[:, :k_top], k_top + 1),
            _settled_places(ks, probes, k_top))
        recall = _found_totals(self.nearest, ks, probes) / self.nearest.shape[0]
        first = self.first_miss[ks - 1, probes]
        first = self.first_miss[ks - 1, probes] = np.where(np.isnan(first), 1.0 - recall, first)
        needed = _tables_extrapolated(first, 1.0 - recall, self.tables, self.target)
        share = self._first_share(ks, probes)
        promised = self.costs.hashed(needed * pairs, needed * lookups, self._hits(needed, ks, probes, share))
        now = self.costs.hashed(self.tables * pairs, self.tables * lookups, self._hits(self.tables, ks, probes, share))
        # While nothing meets the target (only when some values are given)
        # the highest recall is chosen, so a setting that cannot meet it
        # still counts.
        reachable = ~(self.free & (needed > self.s.shape[0]))
        return self._offer(ks, probes, now, promised, reachable, recall), promised, needed

    def _offer(self, ks: np.ndarray, probes: np.ndarray, now: np.ndarray, promised: np.ndarray,
               reachable: np.ndarray, recall: np.ndarray) -> np.ndarray:
        """Offers `choice` the settings that can be chosen at this many tables,
        in (k, probes) order, and returns which settings stay searched: those
        within the bound that, by their promise, may still pay and have not
        met the target (more tables would only cost more)."""
        choice, target, tables = self.choice, self.target, self.tables
        allowed = self.fixed["l"] is None or self.fixed["l"] == tables
        # A free search chooses only what meets the target: the rest need no offer.
        offered = allowed & (reachable & ((recall >= target) | (not self.free)))
        if not offered.any():
            return reachable & ((promised < choice.bound) | (choice.bound == math.inf))
        keep = np.zeros(ks.size, dtype=bool)
        q, nearest = self.sampled.queries.shape[0], self.nearest
        assert nearest is not None, "offers before any places"
        scale = 1.0 / math.sqrt(max(1, q - 1))
        # Each offer may lower the bound that the settings after it are held to.
        for start, stop in _runs(ks):
            span = slice(start, stop)
            keep[span] = (now[span] < choice.bound) & reachable[span] & (
                (promised[span] < choice.bound) | (choice.bound == math.inf))
            for i in np.flatnonzero(keep[span] & offered[span]) + start:
                error = float(_found_shares(nearest, int(ks[i]), int(probes[i]), q).std()) * scale
                if choice.offer(HashParams(self.b, int(ks[i]), tables, int(probes[i])), float(recall[i]), error,
                                float(now[i]), target):
                    keep[i] = False
        return keep

    def _next_batch(self, soonest: float) -> int:
        """The tables to add next: up to the soonest any candidate may meet the
        target by the optimistic extrapolation, since no setting between
        would, but at most doubling the tables, so that the budget is not
        spent on one b before its first tables show it is worth it; within
        the draw and a given l."""
        last = self.s.shape[0] if self.fixed["l"] is None else min(self.s.shape[0], self.fixed["l"])
        wanted = soonest - self.tables if math.isfinite(soonest) else 1
        return int(max(1, min(wanted, self.tables, last - self.tables)))


def _runs(values: np.ndarray) -> list[tuple[int, int]]:
    """(start, stop) of each run of equal values in `values`."""
    edges = np.flatnonzero(np.diff(values)) + 1
    return list(zip([0, *edges.tolist()], [*edges.tolist(), values.size]))


def _found_totals(nearest: np.ndarray, ks: np.ndarray, probes: np.ndarray) -> np.ndarray:
    """(settings,) int64: how many of the sample's true neighbours each setting
    (ks[i] digits, probes[i] probes) finds, from their nearest places ((q * nn,
    k), column k - 1 for k digits): those placed at most at its probes.
    Requires: ks ascending (the order the searches keep their settings in)."""
    first = np.empty(ks.size, dtype=bool)
    first[:1] = True
    np.not_equal(ks[1:], ks[:-1], out=first[1:])
    digits = ks[first]
    width = int(digits[-1]) + 2
    # A place past k (not looked up) goes to the last bin of its k, k + 1.
    # Counted a k at a time: each k's places gathered into a contiguous row.
    bins = nearest.T[digits - 1]
    np.minimum(bins, (digits + 1)[:, None], out=bins)
    bins += np.arange(0, digits.size * width, width)[:, None]
    found = np.cumsum(np.bincount(bins.ravel(), minlength=digits.size * width).reshape(digits.size, width), axis=1)
    return found[np.cumsum(first) - 1, probes]


def _settled_places(ks: np.ndarray, probes: np.ndarray, k_top: int) -> np.ndarray:
    """(k_top,) int64: entry k - 1 the fewest probes of the settings (ks,
    probes) of k digits, k_top + 1 (any place) for a k none of them has: a
    neighbour placed at most there for every k is found by each setting."""
    settled = np.full(k_top, k_top + 1, dtype=np.int64)
    np.minimum.at(settled, ks - 1, probes)
    return settled


def _found_shares(nearest: np.ndarray, k: int, probes: int, q: int) -> np.ndarray:
    """(q,): the share of each sample query's neighbours that the setting of k
    digits and `probes` probes finds (as `_found_totals`, rows by query)."""
    found = (nearest[:, k - 1] <= probes).reshape(q, -1)
    return found.sum(axis=1) / found.shape[1]


def _tables_extrapolated(first_miss: np.ndarray, miss: np.ndarray, tables: int, target: float) -> np.ndarray:
    """The tables that reach recall `target` when the share of true neighbours
    missed keeps falling at its mean rate per table so far, from `first_miss`
    after one table to `miss` after `tables` (one entry per setting).

    Neighbours that are easy to find are found first, so the rate slows as
    tables are added and this count errs low, which is what a bound for
    dropping a setting needs; the tables still to come are divided by
    `_RATE_MARGIN` besides, for the noise of a few tables.  After one table, with p_i the chance that a
    table finds pair i, l tables find on average the share mean(1 - (1 - p_i)^l)
    <= 1 - (1 - mean p_i)^l of the pairs (the map is concave); the one table's
    hit rate stands for mean p_i, taken `_RATE_MARGIN` times high.
    """
    goal = 1.0 - target
    out = np.full(miss.shape, math.inf)
    out[miss <= goal] = tables
    if tables == 1:
        high = np.minimum(1.0, _RATE_MARGIN * (1.0 - miss))
        with np.errstate(divide="ignore"):
            guess = np.ceil(math.log(goal) / np.log1p(-high)) if goal > 0 else np.inf
        return np.where(miss <= goal, out, np.where(high >= 1.0, 1.0, guess))
    falling = (miss > goal) & (miss < first_miss) & (first_miss > 0)
    rate = np.log(miss[falling] / first_miss[falling]) / (tables - 1)
    out[falling] = tables + np.ceil(np.log(goal / miss[falling]) / rate / _RATE_MARGIN)
    return out


class _Tables:
    """Some consecutive tables' digits of the sample for one b, counted by the
    census for every k at once: how full the cost queries' looked-up cells are
    in the first `counted` of them, and (on demand) the nearest place any of
    them gives each true neighbour among its query's looked-up cells."""

    def __init__(self, sampled: _Sample, b: int, s: np.ndarray, u: np.ndarray, counted: int) -> None:
        self.sampled, self.b = sampled, b
        self.s, self.u = np.ascontiguousarray(s, dtype=np.int64), np.ascontiguousarray(u, dtype=np.float64)
        cost_rows = sampled.cost_rows
        self.counts = np.zeros((s.shape[1], s.shape[1] + 1), dtype=np.int64)
        if counted:
            self.counts = sampled.occupancy.probed_cell_counts(self.s[:counted], self.u[:counted], b)
        self.scale = sampled.scale / cost_rows
        self.rows_hashed = counted * (cost_rows + sampled.others.shape[0])
        self._places: np.ndarray | None = None

    def cell_sizes(self) -> np.ndarray:
        """(k, k + 1): row k - 1 the points, scaled to n, in the first 0, 1,
        ..., k probed cells of a cost query with k digits, cumulative, summed
        over the counted tables."""
        return np.cumsum(self.counts, axis=1) * self.scale

    def neighbour_places(self, start: np.ndarray | None = None, settled: np.ndarray | None = None) -> np.ndarray:
        """(q * nn, k) int64: column k - 1 the nearest place of each true
        neighbour's cell among its query's looked-up cells of k digits in any
        of the tables, or in `start` (the places of earlier tables, as the
        census takes them; asked for on the first call): 0 the query's own, p
        its p-th probe; more than k when it is none of them.  A neighbour
        whose start places are all at most `settled` keeps them (the census's
        rule)."""
        if self._places is None:
            neighbours = self.sampled.neighbours()
            self._places = self.sampled.placed().neighbour_places(self.s, self.u, self.b, start, settled)
            self.rows_hashed += self.s.shape[0] * (self.sampled.queries.shape[0] + neighbours.shape[0])
        assert self._places is not None
        return self._places


def _grid(n: int, d: int, n_neighbors: int, fixed: dict) -> list[tuple[int, list[int]]]:
    """(b, the k to try with it) pairs of step 3, within the fixed values."""
    lo, hi = _OCCUPANCY[0], max(_OCCUPANCY[1] * n_neighbors, 16.0)
    bs = [fixed["b"]] if fixed["b"] is not None else [b for b in _BUCKET_LADDER if b <= 4 * n]
    grid = []
    for b in bs:
        if fixed["k"] is not None:
            ks = [fixed["k"]] if _params.key_fits(b, fixed["k"]) else []
        else:
            ks = []
            for k in range(min(d, _MIN_DIGITS), 4 * d + 1):
                cell = n / b ** k
                if cell < lo or not _params.key_fits(b, k):
                    break  # cells only shrink and keys only grow with k
                if cell <= hi:
                    ks.append(k)
            if not ks and fixed["b"] is not None:  # a given b: its nearest occupancy
                k = max(1, round(math.log(n / hi) / math.log(b)))
                while not _params.key_fits(b, k):  # b itself fits: its values are checked
                    k -= 1
                ks = [k]
        if fixed["probes"] is not None:
            ks = [k for k in ks if k >= fixed["probes"]]
        if ks:
            grid.append((b, ks))
    if not grid:
        given = ", ".join(f"{name}={value}" for name, value in fixed.items() if value is not None)
        raise ValueError(f"no hash setting fits the given parameters ({given}) for {n} points")
    return grid


def _probe_counts(k: int, fixed_probes: int | None) -> Iterator[int]:
    return iter([fixed_probes]) if fixed_probes is not None else iter(range(k + 1))
