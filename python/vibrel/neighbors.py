"""`ToroidalNN`: nearest neighbours on the unit torus under the toroidal L1 distance,
with the interface of scikit-learn's `NearestNeighbors`, a recall target and a
two-tier epoch cycle."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Literal, overload

import numpy as np

from vibrel import _atomic, _backend, _params, _progress, _sizes, _tune, _validation

__all__ = ["ToroidalNN", "NotFittedError"]

_GRAPH_MODES = ("connectivity", "distance")
# A query row's collector holds n_neighbors entries of 16 bytes; blocks are cut so
# that one thread's collectors stay within this.
COLLECTOR_BYTES_PER_THREAD = 64 << 20
# Radius neighbour pairs of the sample that the radius recall estimate looks at.
_RADIUS_PAIRS = 20_000
# Rows per slice when a call reports its progress.
_PROGRESS_SLICE = 16_384


class NotFittedError(ValueError, AttributeError):
    """A ToroidalNN method that needs an index was called before `fit`."""


class ToroidalNN:
    """Nearest neighbours on a periodic box (by default the unit torus [0, 1)^d)
    under the toroidal L1 or the minimum-image Euclidean distance.

    Per coordinate the distance takes the shorter way round the circle,
    min(|a - b|, P - |a - b|) for an axis of period P; L1 sums these, L2 takes
    the root of the sum of their squares.  Points are hashed into `l` tables
    of sorted keys; the hash only decides which points are compared, and every
    distance returned is computed exactly (in single precision) from the
    coordinates.  The neighbours found are as complete as the recall target: at
    `fit` the hash setting is tuned so that `kneighbors` finds the share `recall`
    of the true `n_neighbors` nearest, on data like the fitted data (see
    `vibrel._tune` for the rule and its cost).  `recall=1.0` is the exhaustive
    search, which compares every point and is exact.

    Points live in two tiers.  The first `n_static` rows given to `fit` form the
    static tier, which only grows; the others are candidates, whose coordinates
    `update` replaces once per epoch, and `promote` moves the candidates into the
    static tier and installs the next batch.  Ids are row numbers in the order the
    points arrived and never change.

    Parameters
    ----------
    n_neighbors : int, default 5
        Neighbours returned by `kneighbors` when it is not told otherwise; the
        tuner aims at this many.
    radius : float, default 1.0
        Radius used by `radius_neighbors` when it is not told otherwise, in the
        box's units.
    metric : {"l1", "l2"}, default "l1"
        "l1" (aliases "manhattan", "cityblock") or "l2" (alias "euclidean"),
        the minimum-image distance in either case.
    period : float or array of d floats, default 1.0
        The box side, one for every axis or one per axis, each positive and
        finite.  Coordinates are taken modulo their period; distances, radii
        and graphs are in the box's units.  Angles in radians: period 2 pi.
        Distances are computed in single precision, so periods outside
        1e-30 to 1e30 ("l1") or 1e-15 to 1e15 ("l2") are refused with a
        ValueError naming the range: their terms would overflow or underflow.
    recall : float in (0, 1], default 0.99
        Share of the true `n_neighbors` nearest that `kneighbors` must find; for
        `radius_neighbors`, share of the points within the radius.
    b, k, l, probes : int or None
        Buckets per digit, digits per key, hash tables and probed digits per
        table.  Given values are used (`vibrel._params` states how they are
        checked); the tuner chooses the others.  `b=1` is the exhaustive search.
    block : int or None, default None
        Query rows the compiled engine answers together.  None: one block per
        worker thread, at most so many rows that a thread's per-row collectors
        (n_neighbors entries of 16 bytes each) stay within 64 MiB.
    memory : float, default 8.0
        Budget of the tuned hash tables, in multiples of the points' own float64
        memory (8 d bytes a point); each table takes 16 bytes a point.
    random_state : None, int, numpy.random.Generator or RandomState
        Source of the tuning sample and of the hash parameters `s` and `u`.  A
        fixed seed gives the same index and answers on every fit of a session.
    backend : {"auto", "native", "reference"}, default "auto"
        "auto" uses the compiled engine `vibrel._native.RustLshIndex` and falls
        back, with a `ReferenceBackendWarning`, to the NumPy reference
        `vibrel.lsh.PythonLshIndex` when the engine is missing; "native" and
        "reference" force one of them.
    verbose : bool or callable, default False
        Progress of long calls: True shows a tqdm bar (or a line on stderr); a
        callable is called as verbose(step, done, total).

    Attributes (after `fit`)
    ------------------------
    n_features_in_ : int
    params_ : dict
        The setting in use: b, k, l, probes, block (0: one block per thread).
    recall_estimate_, recall_error_ : float
        The recall the setting is expected to reach, measured on a sample of the
        fitted points, and the standard error of that estimate.
    table_bytes_ : int
        Memory of the hash tables.
    s_, u_ : ndarray of shape (l, k)
        The drawn hash parameters.
    effective_metric_ : "l1" or "l2"
    effective_metric_params_ : {"period": the box sides, one float or d of them}
    backend_ : str
    index_ : the engine object.
    """

    def __init__(self, n_neighbors: int = 5, radius: float = 1.0, *, metric: str = "l1", period: Any = 1.0,
                 recall: float = 0.99,
                 b: int | None = None, k: int | None = None, l: int | None = None,
                 probes: int | None = None, block: int | None = None, memory: float = 8.0,
                 random_state: Any = None, backend: str = "auto", verbose: Any = False) -> None:
        self.n_neighbors = n_neighbors
        self.radius = radius
        self.metric = metric
        self.period = period
        self.recall = recall
        self.b = b
        self.k = k
        self.l = l
        self.probes = probes
        self.block = block
        self.memory = memory
        self.random_state = random_state
        self.backend = backend
        self.verbose = verbose

    # ------------------------------------------------------------ parameters

    _PARAM_NAMES = ("n_neighbors", "radius", "metric", "period", "recall", "b", "k", "l", "probes", "block", "memory",
                    "random_state", "backend", "verbose")

    def get_params(self, deep: bool = True) -> dict:
        """The constructor parameters, as a dict."""
        return {name: getattr(self, name) for name in self._PARAM_NAMES}

    def set_params(self, **params) -> ToroidalNN:
        """Sets constructor parameters; they take effect at the next `fit`."""
        for name, value in params.items():
            if name not in self._PARAM_NAMES:
                raise ValueError(f"invalid parameter {name!r} for ToroidalNN; "
                                 f"valid parameters are {', '.join(self._PARAM_NAMES)}")
            setattr(self, name, value)
        return self

    def __repr__(self) -> str:
        defaults = ToroidalNN()
        changed = [f"{name}={getattr(self, name)!r}" for name in self._PARAM_NAMES
                   if not _same(getattr(self, name), getattr(defaults, name))]
        return f"ToroidalNN({', '.join(changed)})"

    # ------------------------------------------------------------------- fit

    def fit(self, X, y=None, *, n_static: int | None = None) -> ToroidalNN:
        """Index the points X, shape (n, d); the first `n_static` rows (all by
        default) are the static tier, the rest the candidate tier.  `y` is ignored.

        Coordinates are taken modulo the period onto the torus.  The hash setting
        is tuned for `recall` unless b, k, l and probes are all given.  Returns self.
        """
        points = _validation.as_points(X, "X", wrap=False)
        n = points.shape[0]
        n_static = check_n_static(n, n_static)
        setting = self._setting(n, points.shape[1])
        _validation.wrap_onto(points, setting.period)
        # Progress is reported, and its bar closed, before the model changes:
        # a callback that raises leaves the model as it was.
        progress = _progress.reporter(self.verbose, "fit", 2)
        try:
            tuning = _tune.tune(points, min(setting.n_neighbors, n - 1), setting.target, setting.rng,
                                setting.engine, memory=setting.memory, fixed=setting.fixed, period=setting.period)
            progress(1)
            fitted = self._fitted_state(points, n_static, tuning, setting)
            progress(2)
        finally:
            progress.close()
        self.__dict__.update(fitted)
        return self

    def _setting(self, n: int, d: int | None = None) -> Setting:
        """The constructor values checked, for a fit of `n` points of `d`
        coordinates (the period is checked only when d is given)."""
        metric = _validation.check_metric(self.metric)
        period = None if d is None else _validation.check_period(self.period, d)
        _validation.check_period_range(period, metric)
        n_neighbors = _validation.check_int(self.n_neighbors, "n_neighbors", 1)
        _validation.check_radius(self.radius)
        target = _validation.check_fraction(self.recall, "recall")
        memory = _validation.check_positive_float(self.memory, "memory")
        block = 0 if self.block is None else _validation.check_int(self.block, "block", 1)
        fixed = _params.normalise(*(_validation.check_optional_int(getattr(self, name), name, low)
                                    for name, low in (("b", 1), ("k", 1), ("l", 1), ("probes", 0))))
        engine, backend = _backend.resolve(self.backend, metric, period)
        rng = _rng(self.random_state)
        if n == 1:
            fixed = _params.normalise(1, None, None, None)
        return Setting(n_neighbors, target, memory, block, fixed, engine, backend, rng, metric, period)

    def _install(self, points: np.ndarray, n_static: int, tuning: _tune.Tuning, setting: Setting) -> None:
        """Builds the index of the tuned setting over `points` and records the
        setting, the model changing in one step once the index is built."""
        self.__dict__.update(self._fitted_state(points, n_static, tuning, setting))

    def _fitted_state(self, points: np.ndarray, n_static: int, tuning: _tune.Tuning, setting: Setting) -> dict:
        """The attributes of a model fitted with this tuning: a new index over
        `points` and the setting it was built with."""
        p = tuning.params
        return {
            "index_": _backend.build_index(setting.engine, p, tuning.s, tuning.u, setting.block, points, n_static),
            "_points": points,
            "_sample_rows": tuning.sample_rows,
            "_radius_recall": {},
            "_target": setting.target,
            "n_features_in_": points.shape[1],
            "params_": {"b": p.b, "k": p.k, "l": p.l, "probes": p.probes, "block": setting.block},
            "recall_estimate_": tuning.recall,
            "recall_error_": tuning.recall_error,
            "s_": tuning.s,
            "u_": tuning.u,
            "backend_": setting.backend,
            "_period": setting.period,
            "effective_metric_": setting.metric,
            "effective_metric_params_": {"period": 1.0 if setting.period is None else setting.period.copy()},
            **self._no_caches(),
        }

    # Attributes built lazily from the indexed points; every change of the
    # points drops them.
    _CACHES = ("_exhaustive",)

    def _no_caches(self) -> dict:
        return dict.fromkeys(self._CACHES)

    # ----------------------------------------------------------------- sizes

    @property
    def n_points(self) -> int:
        """Points in the index, both tiers."""
        return self._fitted().n_points

    @property
    def n_static(self) -> int:
        """Points in the static tier."""
        return self._fitted().n_static

    @property
    def n_candidates(self) -> int:
        """Points in the candidate tier."""
        return self._fitted().n_candidates

    @property
    def n_samples_fit_(self) -> int:
        """Points in the index (the scikit-learn name of `n_points`)."""
        return self.n_points

    @property
    def table_bytes_(self) -> int:
        """Memory of the hash tables: 16 bytes per point and table."""
        return self.params_["l"] * _tune.TABLE_BYTES_PER_POINT * self.n_points

    # --------------------------------------------------------------- queries

    @overload
    def kneighbors(self, X=..., n_neighbors: int | None = ..., return_distance: Literal[True] = ...,
                   *, ids=...) -> tuple[np.ndarray, np.ndarray]: ...

    @overload
    def kneighbors(self, X, n_neighbors: int | None, return_distance: Literal[False],
                   *, ids=...) -> np.ndarray: ...

    @overload
    def kneighbors(self, X=..., n_neighbors: int | None = ..., *, return_distance: Literal[False],
                   ids=...) -> np.ndarray: ...

    def kneighbors(self, X=None, n_neighbors=None, return_distance=True, *, ids=None):
        """The `n_neighbors` nearest indexed points of each query.

        X : array-like of shape (m, d), or None for the self-join: the indexed
            points are the queries and none is its own neighbour (a duplicate of
            it is).
        ids : int array-like, only with X=None: the self-join of these indexed
            points alone, for example the candidates after an `update`.
        Returns (dist, ind), both of shape (m, n_neighbors), rows nearest first
        (equal distances by ascending id); only `ind` when `return_distance` is
        False.  Distances are exact single-precision values as float64.
        """
        self._fitted()
        n_neighbors = self._n_neighbors(n_neighbors)
        queries, exclude = self._queries(X, ids)
        check_enough(self.n_points, n_neighbors, exclude is not None)
        ind, dist = self._knn(queries, exclude, n_neighbors)
        return (dist, ind) if return_distance else ind

    def _knn(self, queries: np.ndarray, exclude, n_neighbors: int):
        """(ind, dist) of checked queries, each leaving out its `exclude` id (-1: none)."""
        index = self.index_
        cap = max(1, COLLECTOR_BYTES_PER_THREAD // (16 * n_neighbors)) * _progress.pool_threads()
        return self._sliced("kneighbors", queries, exclude, cap,
                            lambda q, e: index.query_knn(q, n_neighbors, e), lambda m: _RowsInto(m, n_neighbors))

    def radius_neighbors(self, X=None, radius: float | None = None, return_distance: bool = True,
                         sort_results: bool = False, *, ids=None):
        """The indexed points within `radius` of each query.

        X : array-like of shape (m, d), or None for the self-join (a point is not
            its own neighbour); `ids` as in `kneighbors`.
        Returns (dist, ind): object arrays of m rows, row i an array of the
        distances (float64) or ids (int64) of query i's neighbours, nearest first
        (rows are always sorted, so `sort_results` changes nothing); only `ind`
        when `return_distance` is False.

        The answer is as complete as `recall`: the share of the points within
        this radius that the tables find is estimated on the tuning sample (their
        keys show which are found, as in the tuner) and, when it falls short of
        `recall`, the search runs exhaustively instead (the first such call
        builds an exhaustive index beside the tables: 16 bytes a point and a
        copy of the points, 12 d bytes a point).
        """
        indptr, ids_, dists = self._radius_csr(X, radius, return_distance, sort_results, ids)
        rows_ind = _split_rows(ids_, indptr)
        if not return_distance:
            return rows_ind
        return _split_rows(dists, indptr), rows_ind

    def kneighbors_graph(self, X=None, n_neighbors: int | None = None, mode: str = "connectivity"):
        """The k-neighbours graph as a SciPy CSR matrix of shape (m, n_points).

        Row i has the `n_neighbors` nearest points of query i; `mode`
        "connectivity" stores ones, "distance" the distances.  X=None is the
        self-join.
        """
        csr_matrix = _scipy_csr()
        _check_mode(mode)
        dist, ind = self.kneighbors(X, n_neighbors, return_distance=True)
        m, n_neighbors = ind.shape
        indptr = np.arange(0, m * n_neighbors + 1, n_neighbors, dtype=np.int64)
        data = dist.reshape(-1) if mode == "distance" else np.ones(ind.size)
        return _csr(csr_matrix, data, ind.reshape(-1), indptr, (m, self.n_points))

    def radius_neighbors_graph(self, X=None, radius: float | None = None,
                               mode: str = "connectivity", sort_results: bool = False):
        """The radius-neighbours graph as a SciPy CSR matrix of shape (m, n_points),
        built on the engine's CSR arrays; `mode` as in `kneighbors_graph`."""
        csr_matrix = _scipy_csr()
        _check_mode(mode)
        indptr, ids, dists = self._radius_csr(X, radius, True, sort_results, None)
        data = dists if mode == "distance" else np.ones(ids.size)
        return _csr(csr_matrix, data, ids, indptr, (indptr.size - 1, self.n_points))

    def transform(self, X):
        """The sparse distance graph of X's `n_neighbors + 1` nearest indexed
        points (a point of the index finds itself first, at distance 0), for an
        estimator that takes a precomputed sparse graph, such as DBSCAN."""
        return self.kneighbors_graph(X, self._n_neighbors(None) + 1, mode="distance")

    def fit_transform(self, X, y=None, *, n_static: int | None = None):
        """`fit(X)`, then `transform(X)`."""
        return self.fit(X, n_static=n_static).transform(X)

    # ----------------------------------------------------------- epoch cycle

    def update(self, X) -> ToroidalNN:
        """Replaces the coordinates of the candidate tier, shape (n_candidates, d),
        row j being point n_static + j, and refreshes its hash tables.  Returns self.

        All or nothing: after an exception, KeyboardInterrupt included, the model
        is wholly as before or wholly updated; calling `update` again with the
        same X gives the updated model either way."""
        index = self._fitted()
        coords = update_rows(X, index.n_candidates, self.n_features_in_, self._period)
        points = self._points.copy()
        points[index.n_static:] = coords
        _atomic.call_then_commit(index, "update", coords, self.__dict__, {"_points": points, **self._no_caches()})
        return self

    def promote(self, X) -> ToroidalNN:
        """Moves the candidates into the static tier and installs the rows of X,
        shape (m, d), as the new candidates, numbered from the old `n_points` on.
        An X of shape (0, d) just promotes.  Returns self.

        All or nothing: after an exception, KeyboardInterrupt included, the model
        is wholly as before or wholly promoted.  Compare (`n_static`,
        `n_points`) with their values before the call to tell which: a promote
        that was installed set `n_static` to the old `n_points` and added m to
        `n_points` (when neither changed, it had nothing to move or add).
        Repeating a promote that was installed would add its batch twice."""
        index = self._fitted()
        batch = _validation.as_points(X, "X", self.n_features_in_, self._period)
        points = np.concatenate([self._points, batch])
        _atomic.call_then_commit(index, "promote", batch, self.__dict__, {"_points": points, **self._no_caches()})
        return self

    # ----------------------------------------------------------- persistence

    def __getstate__(self) -> dict:
        """The model without its engine objects; loading rebuilds the tables from
        the stored points and hash parameters (answers do not depend on the order
        of equal keys, so they are the same)."""
        state = dict(self.__dict__)
        index = state.pop("index_", None)
        if index is not None:
            state.update(self._no_caches())
            state["_n_static"] = index.n_static
        return state

    def __setstate__(self, state: dict) -> None:
        self.__dict__.setdefault("_period", None)  # models saved before boxes other than the unit torus
        self.__dict__.update(state)
        if "_points" in state:
            self._points = np.array(self._points, dtype=np.float64, order="C")
            self._radius_recall = dict(self._radius_recall)
            engine, _ = self._engine()
            p = self.params_
            self.index_ = _backend.build_index(
                engine, _params.HashParams(p["b"], p["k"], p["l"], p["probes"]), self.s_, self.u_,
                p["block"], self._points, self.__dict__.pop("_n_static"))

    # --------------------------------------------------------------- helpers

    def _engine(self):
        """(engine, name) of the fitted backend, metric and period."""
        return _backend.resolve(self.backend_, self.effective_metric_, self._period)

    def _fitted(self):
        index = getattr(self, "index_", None)
        if index is None:
            raise NotFittedError("This ToroidalNN instance is not fitted yet; call fit(X) first")
        return index

    def _n_neighbors(self, n_neighbors):
        value = self.n_neighbors if n_neighbors is None else n_neighbors
        return _validation.check_int(value, "n_neighbors", 1)

    def _queries(self, X, ids):
        """(queries, exclude_ids): the indexed points excluding themselves for X=None."""
        if X is not None:
            check_no_ids_with(X, ids)
            return _validation.as_points(X, "X", self.n_features_in_, self._period), None
        if ids is None:
            return self._points, np.arange(self._points.shape[0], dtype=np.int64)
        rows = check_ids(ids, self._points.shape[0])
        return self._points[rows], rows

    def _sliced(self, label, queries, exclude, cap, call, join):
        """`call(queries, exclude)` on slices of at most `cap` rows (fewer when
        progress is shown), the answers gathered by `join(m)` (made before the
        first slice, so that it can reserve the whole answer)."""
        m = queries.shape[0]
        step = cap if self.block is None else m
        if self.verbose:
            step = min(step, max(_PROGRESS_SLICE, -(-m // 50)))
        if m <= step:
            return call(queries, exclude)
        answer = join(m)
        progress = _progress.reporter(self.verbose, label, m)
        for lo in range(0, m, step):
            hi = min(m, lo + step)
            answer.add(lo, hi, call(queries[lo:hi], None if exclude is None else exclude[lo:hi]))
            progress(hi)
        progress.close()
        return answer.result()

    def _radius_csr(self, X, radius, return_distance, sort_results, ids):
        self._fitted()
        if sort_results and not return_distance:
            raise ValueError("return_distance must be True if sort_results is True")
        radius = _validation.check_radius(self.radius if radius is None else radius)
        queries, exclude = self._queries(X, ids)
        return self._radius(queries, exclude, radius)

    def _radius(self, queries: np.ndarray, exclude, radius: float):
        """CSR (indptr, ids, dists) of checked queries within a checked radius."""
        m = queries.shape[0]
        _sizes.check_radius_answer(m, self.n_points, 0 if exclude is None else int((exclude >= 0).sum()), radius,
                                   _sizes.box_reach(self.effective_metric_, self._period, self.n_features_in_))
        index = self._radius_index(radius)
        return self._sliced("radius_neighbors", queries, exclude, m,
                            lambda q, e: index.query_radius(q, radius, e), lambda _: _CsrParts())

    def _radius_index(self, radius: float):
        """The tables when they find `recall` of the points within `radius`, else
        an exhaustive index of the same points."""
        if self.params_["b"] == 1:
            return self.index_
        key = float(np.float32(radius))
        if key not in self._radius_recall:
            self._radius_recall[key] = self._estimate_radius_recall(radius)
        if self._radius_recall[key] >= self._target:
            return self.index_
        if self._exhaustive is None:
            self._exhaustive = self._exhaustive_index()
        return self._exhaustive

    def _exhaustive_index(self):
        """An exhaustive index (one cell) of the indexed points."""
        engine, _ = self._engine()
        s, u = _params.draw_hash(np.random.default_rng(0), self.n_features_in_, 1, 1)
        return _backend.build_index(engine, _params.EXHAUSTIVE, s, u, self.params_["block"],
                                    self._points, self.index_.n_static)

    def _estimate_radius_recall(self, radius: float) -> float:
        """Share of the sample's within-radius neighbours that the tables find."""
        rows = self._sample_rows
        if rows.size == 0:
            return 1.0
        exhaustive = self._exhaustive if self._exhaustive is not None else self._exhaustive_index()
        indptr, ids, _ = exhaustive.query_radius(self._points[rows], radius, rows)
        if ids.size == 0:
            return 1.0
        owner = np.repeat(np.arange(rows.size), np.diff(indptr))
        if ids.size > _RADIUS_PAIRS:
            pick = np.random.default_rng(0).choice(ids.size, _RADIUS_PAIRS, replace=False)
            owner, ids = owner[pick], ids[pick]
        p = self.params_
        params = _params.HashParams(p["b"], p["k"], p["l"], p["probes"])
        found = _tune.found_by(params, self.s_, self.u_, self._unit(self._points[rows]), self._unit(self._points[ids]),
                               owner)
        return float(found.mean())


    def _unit(self, points: np.ndarray) -> np.ndarray:
        """Points on the unit torus, as the engine hashes them."""
        return points if self._period is None else points / self._period


@dataclass(frozen=True)
class Setting:
    """The constructor values of a ToroidalNN, checked for one fit."""

    n_neighbors: int
    target: float
    memory: float
    block: int
    fixed: dict
    engine: Any
    backend: str
    rng: np.random.Generator
    metric: str = "l1"
    period: np.ndarray | None = None  # the box sides, None on the unit torus


def check_n_static(n: int, n_static) -> int:
    """`n_static` checked against the `n` points of a fit (None: all of them)."""
    if n == 0:
        raise ValueError("X holds no points; fit needs at least one")
    n_static = n if n_static is None else _validation.check_int(n_static, "n_static", 0)
    if n_static > n:
        raise ValueError(f"n_static ({n_static}) is larger than the number of points ({n})")
    return n_static


def check_enough(n: int, n_neighbors: int, self_join: bool) -> None:
    """ValueError when an index of `n` points cannot give a query `n_neighbors`."""
    available = n - 1 if self_join else n
    if n_neighbors > available:
        why = " (each point is left out of its own answer)" if self_join else ""
        raise ValueError(f"n_neighbors = {n_neighbors} is more than the {available} points a query "
                         f"can have: the index holds {n}{why}")


def check_no_ids_with(X, ids) -> None:
    """ValueError when both queries X and indexed `ids` are given."""
    if X is not None and ids is not None:
        raise ValueError("ids selects indexed points as queries; give either X or ids")


def check_ids(ids, n: int) -> np.ndarray:
    """`ids` as int64 ids of an index of n points, checked."""
    rows = np.asarray(ids)
    if rows.ndim != 1 or (rows.size and rows.dtype.kind not in "iu"):
        raise ValueError(f"ids must be a one-dimensional array of integer ids, got shape "
                         f"{rows.shape} and dtype {rows.dtype}")
    rows = rows.astype(np.int64)
    if rows.size and (rows.min() < 0 or rows.max() >= n):
        raise ValueError(f"ids must name indexed points, 0 to {n - 1}; got {rows.min()} to {rows.max()}")
    return rows


def update_rows(X, n_candidates: int, d: int, period: np.ndarray | None = None) -> np.ndarray:
    """The new candidate coordinates of an `update`, checked to be (n_candidates, d)
    and taken modulo `period`."""
    want = (n_candidates, d)
    shape = np.shape(X) if not type(X).__module__.startswith("scipy.sparse") else None
    if shape is not None and len(shape) == 2 and tuple(shape) != want:
        hint = " (transposed?)" if tuple(shape) == want[::-1] else ""
        raise ValueError(f"update needs an array of shape (n_candidates, d) = {want}, "
                         f"got {tuple(shape)}{hint}")
    return _validation.as_points(X, "X", d, period)


def _same(a, b) -> bool:
    """Equal constructor values, without comparing arrays or generators by value."""
    if a is b:
        return True
    simple = (int, float, str, bool, type(None))
    return type(a) is type(b) and isinstance(a, simple) and a == b


def _rng(random_state) -> np.random.Generator:
    """The generator of `random_state`: None, an int, a SeedSequence, a
    BitGenerator, a Generator (used as it is) or a RandomState (which seeds one)."""
    if isinstance(random_state, np.random.RandomState):
        return np.random.default_rng(random_state.randint(np.iinfo(np.int64).max, dtype=np.int64))
    if isinstance(random_state, bool):
        raise TypeError(f"random_state must be None, an int or a NumPy generator, got {random_state!r}")
    try:
        return np.random.default_rng(random_state)
    except (TypeError, ValueError) as err:
        raise TypeError(f"random_state must be None, an int or a NumPy generator, "
                        f"got {random_state!r} ({err})") from None


class _RowsInto:
    """A k-nearest-neighbour answer of m rows, reserved whole before the first
    slice (MemoryError at once when it cannot be) and filled slice by slice."""

    def __init__(self, m: int, k: int) -> None:
        self.ind, self.dist = _sizes.knn_rows(m, k)

    def add(self, lo: int, hi: int, part) -> None:
        self.ind[lo:hi], self.dist[lo:hi] = part

    def result(self):
        return self.ind, self.dist


class _CsrParts:
    """One CSR answer (indptr, ids, dists) from those of consecutive slices."""

    def __init__(self) -> None:
        self.parts = []

    def add(self, lo: int, hi: int, part) -> None:
        self.parts.append(part)

    def result(self):
        parts = self.parts
        offsets = np.cumsum([0] + [ids.size for _, ids, _ in parts])
        indptr = np.concatenate([[0]] + [ptr[1:] + off for (ptr, _, _), off in zip(parts, offsets)])
        return (indptr.astype(np.int64), np.concatenate([ids for _, ids, _ in parts]),
                np.concatenate([dists for _, _, dists in parts]))


def _split_rows(values: np.ndarray, indptr: np.ndarray) -> np.ndarray:
    """An object array whose row i is the view values[indptr[i]:indptr[i + 1]]."""
    rows = np.empty(indptr.size - 1, dtype=object)
    for i, (lo, hi) in enumerate(zip(indptr[:-1].tolist(), indptr[1:].tolist())):
        rows[i] = values[lo:hi]
    return rows


def _csr(csr_matrix, data, indices, indptr, shape):
    """A CSR matrix that takes over the engine's arrays as they are.

    Handing them to the constructor would narrow the int64 index arrays to int32
    copies whenever their values fit; setting them on an empty matrix keeps them.
    """
    graph = csr_matrix(shape, dtype=np.float64)
    graph.data, graph.indices, graph.indptr = data, indices, indptr
    graph.check_format(full_check=False)
    return graph


def _check_mode(mode: str) -> None:
    if mode not in _GRAPH_MODES:
        raise ValueError(f'mode must be "connectivity" or "distance", got {mode!r}')


def _scipy_csr():
    try:
        from scipy.sparse import csr_matrix
    except ImportError:
        raise ImportError("the neighbour graphs are SciPy sparse matrices; install SciPy "
                          "(kneighbors and radius_neighbors work without it)") from None
    return csr_matrix
