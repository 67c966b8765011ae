"""`ToroidalNN`: nearest neighbours on the unit torus under the toroidal L1 distance,
with the interface of scikit-learn's `NearestNeighbors`, a recall target and a
two-tier epoch cycle."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Literal, overload

import numpy as np
from numpy.typing import ArrayLike
from sklearn.base import BaseEstimator, TransformerMixin
from sklearn.exceptions import NotFittedError

from vibrel import _atomic, _backend, _params, _progress, _radius_plan, _sizes, _tune, _validation

if TYPE_CHECKING:
    from scipy.sparse import csr_matrix

__all__ = ["ToroidalNN", "NotFittedError"]

_I64_MAX = int(np.iinfo(np.int64).max)
# What scikit-learn's input check records of the fitted X.
_SEEN_INPUT = ("n_features_in_", "feature_names_in_")

_GRAPH_MODES = ("connectivity", "distance")
# A query row's collector holds n_neighbors entries of 16 bytes; blocks are cut so
# that one thread's collectors stay within this.
COLLECTOR_BYTES_PER_THREAD = 64 << 20
# Radius neighbour pairs of the sample that the radius recall estimate looks at.
_RADIUS_PAIRS = 20_000
# Rows per slice when a call reports its progress.
_PROGRESS_SLICE = 16_384


class TierSizes:
    """The sizes of the two tiers, for a class whose `_tier_sizes()` gives
    (n_points, n_static) once fitted (NotFittedError before).  Internal: shared
    by ToroidalNN and vibrel.dask.DaskToroidalNN."""

    def _tier_sizes(self) -> tuple[int, int]:
        raise NotImplementedError

    @property
    def n_points(self) -> int:
        """Points in the index, both tiers."""
        return self._tier_sizes()[0]

    @property
    def n_static(self) -> int:
        """Points in the static tier."""
        return self._tier_sizes()[1]

    @property
    def n_candidates(self) -> int:
        """Points in the candidate tier."""
        n_points, n_static = self._tier_sizes()
        return n_points - n_static

    @property
    def n_samples_fit_(self) -> int:
        """Points in the index (the scikit-learn name of `n_points`)."""
        return self.n_points


class ToroidalNN(TierSizes, TransformerMixin, BaseEstimator):
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
    search, which compares every point and is exact.  Radius searches up to 4
    coordinates (`radius_neighbors`, its graph and `radius_pairs`) run on an
    exact cell search instead (see `vibrel._radius_plan`).

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
        memory (8 d bytes a point); each table takes 16 + d bytes a point (its
        keys and ids, and the points' byte codes in key order).
    random_state : None, int, numpy.random.Generator or RandomState
        Source of the tuning sample and of the hash parameters `s` and `u`.  A
        fixed seed gives the same index and answers on every fit of a session.
    backend : {"auto", "native", "reference"}, default "auto"
        "auto" uses the compiled engine `vibrel._native.RustLshIndex` and falls
        back, with a `ReferenceBackendWarning`, to the NumPy reference
        `vibrel.lsh.PythonLshIndex` when the engine is missing; "native" and
        "reference" force one of them.
    n_jobs : int or None, default None
        Threads of each call (fit, the queries, update, promote): None or -1
        all of the engine's pool (sized from the environment), n > 0 at most n,
        -2 all but one.  When it is not None at `fit`, the engine that can keep
        to a count per call (`vibrel._periodic`, alike on the unit torus) is
        built.  Answers do not depend on it.
    verbose : bool or callable, default False
        Progress of long calls: True shows a tqdm bar (or a line on stderr); a
        callable is called as verbose(step, done, total).

    Attributes
    ----------
    n_features_in_ : int
        Coordinates of a point (set by `fit`, like every attribute below).
    params_ : dict
        The setting in use: b, k, l, probes, block (None: one block per
        thread), as the constructor takes them: ToroidalNN(**params_) makes it.
    recall_estimate_, recall_error_ : float
        The recall the setting is expected to reach and the standard error of
        that estimate: the built index asked about a sample of the fitted
        points (each leaving itself out), or, for given settings, an index of
        the other points asked about the sample, as fresh queries would be.
    table_bytes_ : int
        Memory of the hash tables: l (16 n + d n_static) bytes.
    s_, u_ : ndarray of shape (l, k)
        The drawn hash parameters.
    effective_metric_ : "l1" or "l2"
    effective_metric_params_ : {"period": the box sides, one float or d of them}
    backend_ : str
    index_ : the engine object.
    """

    # Set by `fit` (in one step, so declared here).
    index_: Any
    _points: np.ndarray
    _radius_recall: dict[float, float]
    _exhaustive: Any
    _cells: Any

    def __init__(self, n_neighbors: int = 5, radius: float = 1.0, *, metric: str = "l1", period: Any = 1.0,
                 recall: float = 0.99,
                 b: int | None = None, k: int | None = None, l: int | None = None,
                 probes: int | None = None, block: int | None = None, memory: float = 8.0,
                 random_state: Any = None, backend: str = "auto", n_jobs: int | None = None,
                 verbose: Any = False) -> None:
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
        self.n_jobs = n_jobs
        self.verbose = verbose

    # ------------------------------------------------------- scikit-learn

    def _more_tags(self) -> dict:
        """Tags of scikit-learn before 1.6: dense real input without NaN, no y,
        a float64 sparse graph out."""
        return {"X_types": ["2darray"], "allow_nan": False, "requires_y": False,
                "preserves_dtype": [np.float64]}

    def __sklearn_tags__(self) -> Any:
        """Tags of scikit-learn 1.6 and later, saying what `_more_tags` says."""
        tags = super().__sklearn_tags__()  # type: ignore[misc]
        tags.input_tags.allow_nan = False
        tags.input_tags.sparse = False
        tags.target_tags.required = False
        tags.transformer_tags.preserves_dtype = ["float64"]
        return tags

    def __sklearn_is_fitted__(self) -> bool:
        return getattr(self, "index_", None) is not None

    # ------------------------------------------------------------------- fit

    def fit(self, X: ArrayLike, y: Any = None, *, n_static: int | None = None) -> ToroidalNN:
        """Index the points X.

        Coordinates are taken modulo the period onto the box.  The hash setting
        is tuned for `recall` unless b, k, l and probes are all given; given
        settings whose recall is clearly below the target warn
        (`RecallTargetWarning`).  A fit that fails leaves the model as it was.

        Parameters
        ----------
        X : array-like of shape (n, d)
            The points, n >= 1 and d >= 1, real and finite.
        y : None
            Ignored.
        n_static : int or None, default None
            Rows of X that form the static tier (all when None); the others are
            the candidate tier, which `update` refreshes.

        Returns
        -------
        self : ToroidalNN
            The fitted model.
        """
        seen = {name: self.__dict__[name] for name in _SEEN_INPUT if name in self.__dict__}
        try:
            return self._fit(X, n_static)
        except BaseException:  # a failed fit leaves the model as it was, fitted or not
            for name in _SEEN_INPUT:
                self.__dict__.pop(name, None)
            self.__dict__.update(seen)
            raise

    def _fit(self, X: Any, n_static: int | None) -> ToroidalNN:
        points, bounds = _validation.checked_points(X, "X", estimator=self, reset=True)
        n = points.shape[0]
        n_static = check_n_static(n, n_static)
        setting = self._setting(n, points.shape[1])
        _validation.wrap_onto(points, setting.period, bounds)
        # Progress is reported, and its bar closed, before the model changes:
        # a callback that raises leaves the model as it was.
        progress = _progress.reporter(self.verbose, "fit", 2)
        n_neighbors = min(setting.n_neighbors, n - 1)
        try:
            tuning = _tune.tune(points, n_neighbors, setting.target, setting.rng, setting.engine,
                                memory=setting.memory, fixed=setting.fixed, period=setting.period,
                                threads=setting.threads, per_query=setting.block == 1)
            progress(1)
            fitted = self._fitted_state(points, n_static, tuning, setting)
            fitted.update(self._measured_recall(points, tuning, setting, n_neighbors))
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
        block = 0 if self.block is None else _validation.check_int(self.block, "block", 1, _I64_MAX)
        fixed = _params.normalise(*(_validation.check_optional_int(getattr(self, name), name, low, _I64_MAX)
                                    for name, low in (("b", 1), ("k", 1), ("l", 1), ("probes", 0))))
        threads = self._threads()
        engine, backend = _backend.resolve(self.backend, metric, period, counted_threads=threads != 0)
        rng = _rng(self.random_state)
        if n == 1:
            fixed = _params.normalise(1, None, None, None)
        return Setting(n_neighbors, target, memory, block, fixed, engine, backend, rng, metric, period, threads)

    def _install(self, points: np.ndarray, n_static: int, tuning: _tune.Tuning, setting: Setting) -> None:
        """Builds the index of the tuned setting over `points` and records the
        setting, the model changing in one step once the index is built."""
        self.__dict__.update(self._fitted_state(points, n_static, tuning, setting))

    def _fitted_state(self, points: np.ndarray, n_static: int, tuning: _tune.Tuning, setting: Setting) -> dict:
        """The attributes of a model fitted with this tuning: a new index over
        `points` and the setting it was built with."""
        return {
            "index_": _backend.build_index(setting.engine, tuning.params, tuning.s, tuning.u, setting.block, points,
                                           n_static, setting.threads),
            "_counted_threads": setting.threads != 0,
            "_points": points,
            "_sample_rows": tuning.sample_rows,
            "_radius_recall": {},
            "_target": setting.target,
            "n_features_in_": points.shape[1],
            **setting_attributes(tuning, setting),
            **self._no_caches(),
        }

    def _measured_recall(self, points: np.ndarray, tuning: _tune.Tuning, setting: Setting,
                         n_neighbors: int) -> dict:
        """The recall estimate of a given setting, measured with the engine, and
        a RecallTargetWarning when it falls clearly short of the target.

        A tuned setting keeps the tuner's estimate: the built index finds every
        neighbour whose key the tuner saw in a looked-up cell, so on the sample
        it reaches at least that, and asking it again would cost a fifth of a
        build.  Given settings may have cells too sparse to fill an answer,
        where the keys see little of what the engine's widened searches find
        and only an index without the sample tells what fresh queries reach."""
        if (tuning.true_kth is None or tuning.params.exhaustive
                or all(value is None for value in setting.fixed.values())):
            return {}
        recall, error = _tune.held_out_recall(setting.engine, tuning, points, n_neighbors, setting.threads)
        _tune.warn_if_short(tuning.params, recall, error, setting.target, stacklevel=4)
        return {"recall_estimate_": recall, "recall_error_": error}

    # Attributes built lazily from the indexed points; every change of the
    # points drops them.
    _CACHES = ("_exhaustive", "_cells")

    def _no_caches(self) -> dict:
        return dict.fromkeys(self._CACHES)

    # ----------------------------------------------------------------- sizes

    def _tier_sizes(self) -> tuple[int, int]:
        index = self._fitted()
        return index.n_points, index.n_static

    @property
    def table_bytes_(self) -> int:
        """Memory of the hash tables: per table 16 bytes a point (key and id)
        and d bytes a static point (its codes in key order)."""
        n_points, n_static = self._tier_sizes()
        return self.params_["l"] * (_tune.TABLE_BYTES_PER_POINT * n_points + self.n_features_in_ * n_static)

    # --------------------------------------------------------------- queries

    @overload
    def kneighbors(self, X: ArrayLike | None = ..., n_neighbors: int | None = ...,
                   return_distance: Literal[True] = ..., *,
                   ids: ArrayLike | None = ...) -> tuple[np.ndarray, np.ndarray]: ...

    @overload
    def kneighbors(self, X: ArrayLike | None, n_neighbors: int | None, return_distance: Literal[False],
                   *, ids: ArrayLike | None = ...) -> np.ndarray: ...

    @overload
    def kneighbors(self, X: ArrayLike | None = ..., n_neighbors: int | None = ..., *,
                   return_distance: Literal[False], ids: ArrayLike | None = ...) -> np.ndarray: ...

    def kneighbors(self, X: ArrayLike | None = None, n_neighbors: int | None = None, return_distance: bool = True,
                   *, ids: ArrayLike | None = None) -> tuple[np.ndarray, np.ndarray] | np.ndarray:
        """The `n_neighbors` nearest indexed points of each query.

        Parameters
        ----------
        X : array-like of shape (m, d) or None, default None
            The queries; None for the self-join, in which the indexed points are
            the queries and none is its own neighbour (a duplicate of it is).
        n_neighbors : int or None, default None
            Neighbours of each query; None: the model's `n_neighbors`.
        return_distance : bool, default True
            Whether the distances are returned beside the ids.
        ids : array-like of int or None, default None
            Only with X=None: the self-join of these indexed points alone, for
            example the candidates after an `update`.

        Returns
        -------
        dist : ndarray of shape (m, n_neighbors), float64
            Exact single-precision distances, rows nearest first; only when
            `return_distance` is True.
        ind : ndarray of shape (m, n_neighbors), int64
            Ids of the neighbours, equal distances by ascending id.
        """
        index = self._fitted()
        count = self._n_neighbors(n_neighbors)
        if X is None and hasattr(index, "query_knn_ids"):
            # The engine searches from the rows it holds: only the ids cross.
            rows = self._self_join_ids(ids)
            check_enough(self.n_points, count, True)
            ind, dist = self._sliced("kneighbors", rows, None, self._knn_cap(count),
                                     lambda r, _: self._call(index.query_knn_ids, r, count),
                                     lambda m: _RowsInto(m, count))
            return (dist, ind) if return_distance else ind
        queries, exclude = self._queries(X, ids)
        check_enough(self.n_points, count, exclude is not None)
        ind, dist = self._knn(queries, exclude, count)
        return (dist, ind) if return_distance else ind

    def _knn_cap(self, n_neighbors: int) -> int:
        """Rows of one engine call whose collectors fit the memory they may take."""
        return max(1, COLLECTOR_BYTES_PER_THREAD // (16 * n_neighbors)) * _backend.pool_threads()

    def _knn(self, queries: np.ndarray, exclude, n_neighbors: int):
        """(ind, dist) of checked queries, each leaving out its `exclude` id (-1: none)."""
        index = self.index_
        return self._sliced("kneighbors", queries, exclude, self._knn_cap(n_neighbors),
                            lambda q, e: self._call(index.query_knn, q, n_neighbors, e),
                            lambda m: _RowsInto(m, n_neighbors))

    @overload
    def radius_neighbors(self, X: ArrayLike | None = ..., radius: float | None = ...,
                         return_distance: Literal[True] = ..., sort_results: bool = ...,
                         *, ids: ArrayLike | None = ...) -> tuple[np.ndarray, np.ndarray]: ...

    @overload
    def radius_neighbors(self, X: ArrayLike | None, radius: float | None, return_distance: Literal[False],
                         sort_results: bool = ..., *, ids: ArrayLike | None = ...) -> np.ndarray: ...

    @overload
    def radius_neighbors(self, X: ArrayLike | None = ..., radius: float | None = ..., *,
                         return_distance: Literal[False], sort_results: bool = ...,
                         ids: ArrayLike | None = ...) -> np.ndarray: ...

    def radius_neighbors(self, X: ArrayLike | None = None, radius: float | None = None, return_distance: bool = True,
                         sort_results: bool = False, *,
                         ids: ArrayLike | None = None) -> tuple[np.ndarray, np.ndarray] | np.ndarray:
        """The indexed points within `radius` of each query.

        The answer is exact wherever the cell search (`vibrel._radius_plan`)
        costs less than the alternatives, which is always up to 4 coordinates.
        Elsewhere it is as complete as `recall`: the share of the points within
        this radius that the tables find is estimated on the tuning sample (their
        keys show which are found, as in the tuner) and, when it falls short of
        `recall`, the search runs exhaustively instead (the first such call
        builds an exhaustive index beside the tables: 16 + d bytes a point and
        a copy of the points, 13 d bytes a point).

        Parameters
        ----------
        X : array-like of shape (m, d) or None, default None
            The queries; None for the self-join (a point is not its own neighbour).
        radius : float or None, default None
            In the box's units; None: the model's `radius`.
        return_distance : bool, default True
            Whether the distances are returned beside the ids.
        sort_results : bool, default False
            Rows are always sorted, nearest first; accepted for scikit-learn's
            interface (True needs `return_distance`).
        ids : array-like of int or None, default None
            As in `kneighbors`.

        Returns
        -------
        dist : ndarray of shape (m,), object
            Row i the float64 distances of query i's neighbours, nearest first;
            only when `return_distance` is True.
        ind : ndarray of shape (m,), object
            Row i the int64 ids of query i's neighbours, in the same order.
        """
        indptr, ids_, dists = self._radius_csr(X, radius, return_distance, sort_results, ids)
        rows_ind = split_rows(ids_, indptr)
        if not return_distance:
            return rows_ind
        return split_rows(dists, indptr), rows_ind

    def kneighbors_graph(self, X: ArrayLike | None = None, n_neighbors: int | None = None,
                         mode: str = "connectivity") -> csr_matrix:
        """The k-neighbours graph.

        Parameters
        ----------
        X : array-like of shape (m, d) or None, default None
            The queries; None for the self-join.
        n_neighbors : int or None, default None
            Neighbours of each query; None: the model's `n_neighbors`.
        mode : {"connectivity", "distance"}, default "connectivity"
            What the graph stores: ones, or the distances.

        Returns
        -------
        graph : scipy.sparse.csr_matrix of shape (m, n_points)
            Row i holds the `n_neighbors` nearest points of query i, with int64
            index arrays (the engine's, not copied).
        """
        csr_matrix = _scipy_csr()
        _check_mode(mode)
        dist, ind = self.kneighbors(X, n_neighbors, return_distance=True)
        m, n_neighbors = ind.shape
        indptr = np.arange(0, m * n_neighbors + 1, n_neighbors, dtype=np.int64)
        data = dist.reshape(-1) if mode == "distance" else np.ones(ind.size)
        return _csr(csr_matrix, data, ind.reshape(-1), indptr, (m, self.n_points))

    def radius_neighbors_graph(self, X: ArrayLike | None = None, radius: float | None = None,
                               mode: str = "connectivity", sort_results: bool = False) -> csr_matrix:
        """The radius-neighbours graph, built on the engine's CSR arrays.

        Parameters
        ----------
        X : array-like of shape (m, d) or None, default None
            The queries; None for the self-join.
        radius : float or None, default None
            In the box's units; None: the model's `radius`.
        mode : {"connectivity", "distance"}, default "connectivity"
            What the graph stores: ones, or the distances.
        sort_results : bool, default False
            Rows are always sorted; accepted for scikit-learn's interface.

        Returns
        -------
        graph : scipy.sparse.csr_matrix of shape (m, n_points)
            Row i holds the points within `radius` of query i.
        """
        csr_matrix = _scipy_csr()
        _check_mode(mode)
        indptr, ids, dists = self._radius_csr(X, radius, True, sort_results, None)
        data = dists if mode == "distance" else np.ones(ids.size)
        return _csr(csr_matrix, data, ids, indptr, (indptr.size - 1, self.n_points))

    def radius_pairs(self, radius: float | None = None, *, return_distance: bool = True) -> Any:
        """Every pair of indexed points within `radius` of each other.

        Parameters
        ----------
        radius : float, optional
            The cutoff in the box's units; the model's `radius` when None.
        return_distance : bool, default True
            Whether to return the distances as well.

        Returns
        -------
        pairs : ndarray of shape (m, 2), int64
            The ids (i, j) of each pair, i < j, in lexicographic order.
        distances : ndarray of shape (m,), float64
            The distance of each pair (exact single-precision values); only
            returned when `return_distance` is True.

        Notes
        -----
        Exact wherever `radius_neighbors` is (always up to 4 coordinates): the
        cell search builds the list in the engine, in parallel, straight into
        the result arrays.  Elsewhere the pairs are those of the radius
        self-join, each found pair listed once, as complete as `recall`.  A
        simulation frame is `update` followed by this call: the cell grid is
        rebuilt from the new coordinates on the first call after a change.
        """
        self._fitted()
        radius = _validation.check_radius(self.radius if radius is None else radius)
        n = self.n_points
        if radius >= _sizes.box_reach(self.effective_metric_, self._period, self.n_features_in_):
            # Every pair: two int64 ids and a float64 distance each, refused at once when too many.
            _sizes.check_allocatable(12 * n * (n - 1), f"the {n * (n - 1) // 2:,} pairs of {n:,} points within a "
                                     f"radius of {radius:g}, which reaches every point")
        search = self._exact_search(n, radius)
        if search is not None:
            pairs, dists = search.pairs(radius)
        else:
            pairs, dists = _pairs_of_rows(*self._radius(self._points, np.arange(self.n_points), radius, True))
        return (pairs, dists) if return_distance else pairs

    def transform(self, X: ArrayLike) -> csr_matrix:
        """The sparse distance graph of X's `n_neighbors + 1` nearest indexed
        points, for an estimator that takes a precomputed sparse graph, such as
        DBSCAN.

        Parameters
        ----------
        X : array-like of shape (m, d)
            The queries.  A point of the index finds itself first, at distance 0.

        Returns
        -------
        graph : scipy.sparse.csr_matrix of shape (m, n_points)
            The distances of each row's `n_neighbors + 1` nearest points.
        """
        return self.kneighbors_graph(X, self._n_neighbors(None) + 1, mode="distance")

    def fit_transform(self, X: ArrayLike, y: Any = None, *, n_static: int | None = None) -> csr_matrix:
        """`fit(X)`, then `transform(X)`.

        Parameters
        ----------
        X : array-like of shape (n, d)
            The points.
        y : None
            Ignored.
        n_static : int or None, default None
            As in `fit`.

        Returns
        -------
        graph : scipy.sparse.csr_matrix of shape (n, n)
            The distances of each point's `n_neighbors + 1` nearest, itself first.
        """
        return self.fit(X, n_static=n_static).transform(X)

    # ----------------------------------------------------------- epoch cycle

    def update(self, X: ArrayLike) -> ToroidalNN:
        """Replaces the coordinates of the candidate tier and refreshes its hash tables.

        All or nothing: after an exception, KeyboardInterrupt included, the model
        is wholly as before or wholly updated; calling `update` again with the
        same X gives the updated model either way.

        Parameters
        ----------
        X : array-like of shape (n_candidates, d)
            Row j the new coordinates of point n_static + j.

        Returns
        -------
        self : ToroidalNN
        """
        index = self._fitted()
        coords = update_rows(X, index.n_candidates, self.n_features_in_, self._period)
        # A fresh array for the model (the old one stays until the engine has
        # installed): with no static tier the checked copy of X is that array.
        n_static = index.n_static
        points = coords if n_static == 0 else np.concatenate([self._points[:n_static], coords])
        _atomic.call_then_commit(index, "update", coords, self.__dict__, {"_points": points, **self._no_caches()},
                                 self._threads())
        return self

    def promote(self, X: ArrayLike) -> ToroidalNN:
        """Moves the candidates into the static tier and installs the rows of X
        as the new candidates.

        All or nothing: after an exception, KeyboardInterrupt included, the model
        is wholly as before or wholly promoted.  Compare (`n_static`,
        `n_points`) with their values before the call to tell which: a promote
        that was installed set `n_static` to the old `n_points` and added m to
        `n_points` (when neither changed, it had nothing to move or add).
        Repeating a promote that was installed would add its batch twice.

        Parameters
        ----------
        X : array-like of shape (m, d)
            The new candidates, numbered from the old `n_points` on; shape (0, d)
            just promotes.

        Returns
        -------
        self : ToroidalNN
        """
        index = self._fitted()
        batch = _validation.as_points(X, "X", period=self._period, estimator=self)
        points = np.concatenate([self._points, batch])
        _atomic.call_then_commit(index, "promote", batch, self.__dict__, {"_points": points, **self._no_caches()},
                                 self._threads())
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
        self.__dict__.setdefault("_counted_threads", False)  # and before n_jobs
        self.__dict__.update(state)
        self.__dict__.setdefault("_cells", None)  # models saved before the cell search
        if "_points" in state:
            self._points = np.array(self._points, dtype=np.float64, order="C")
            self._radius_recall = dict(self._radius_recall)
            engine, _ = self._engine()
            p = self.params_
            self.index_ = _backend.build_index(
                engine, _params.HashParams(p["b"], p["k"], p["l"], p["probes"]), self.s_, self.u_,
                p["block"] or 0, self._points, self.__dict__.pop("_n_static"), self._threads())

    # --------------------------------------------------------------- helpers

    def _engine(self):
        """(engine, name) of the fitted backend, metric and period."""
        return _backend.resolve(self.backend_, self.effective_metric_, self._period, self._counted_threads)

    def _threads(self) -> int:
        """The thread count of a call for the current `n_jobs` (0: all)."""
        n_jobs = self.n_jobs
        if n_jobs is not None:
            n_jobs = _validation.check_int(n_jobs, "n_jobs", -_I64_MAX, _I64_MAX)
            if n_jobs == 0:
                raise ValueError("n_jobs must not be 0: None or -1 for all threads, n for n of them")
        return _backend.threads_for(n_jobs)

    def _call(self, method: Any, *args: Any) -> Any:
        """An engine method called with the current `n_jobs`."""
        return _backend.call(self._threads(), method, *args)

    def _fitted(self):
        index = getattr(self, "index_", None)
        if index is None:
            raise NotFittedError("This ToroidalNN instance is not fitted yet; call fit(X) first")
        return index

    def _n_neighbors(self, n_neighbors: Any) -> int:
        value = self.n_neighbors if n_neighbors is None else n_neighbors
        return _validation.check_int(value, "n_neighbors", 1)

    def _queries(self, X, ids):
        """(queries, exclude_ids): the indexed points excluding themselves for X=None."""
        if X is not None:
            check_no_ids_with(X, ids)
            return _validation.as_points(X, "X", period=self._period, estimator=self), None
        rows = self._self_join_ids(ids)
        return (self._points if ids is None else self._points[rows]), rows

    def _self_join_ids(self, ids) -> np.ndarray:
        """The checked int64 ids of a self-join's queries: `ids`, or every point for None."""
        n = self._points.shape[0]
        return np.arange(n, dtype=np.int64) if ids is None else check_ids(ids, n)

    def _sliced(self, label, queries, exclude, cap, call, join):
        """`call(queries, exclude)` on slices of at most `cap` rows (fewer when
        progress is shown), the answers gathered by `join(m)` (made before the
        first slice, so that it can reserve the whole answer)."""
        m = queries.shape[0]
        step = cap if not self.params_["block"] else m
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
        return self._radius(queries, exclude, radius, self_join=X is None)

    def _radius(self, queries: np.ndarray, exclude, radius: float, self_join: bool = False):
        """CSR (indptr, ids, dists) of checked queries within a checked radius;
        `self_join`: the queries are the indexed points `exclude`."""
        m = queries.shape[0]
        _sizes.check_radius_answer(m, self.n_points, 0 if exclude is None else int((exclude >= 0).sum()), radius,
                                   _sizes.box_reach(self.effective_metric_, self._period, self.n_features_in_))
        search = self._exact_search(m, radius)
        index = search if search is not None else self._radius_index(radius)
        if self_join and hasattr(index, "query_radius_ids"):
            return self._sliced("radius_neighbors", exclude, None, m,
                                lambda r, _: self._call(index.query_radius_ids, r, radius), lambda _: _CsrParts())
        return self._sliced("radius_neighbors", queries, exclude, m,
                            lambda q, e: self._call(index.query_radius, q, radius, e), lambda _: _CsrParts())

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

    def _exact_search(self, rows: int, radius: float):
        """The cell search over the indexed points when `vibrel._radius_plan`
        picks it for `rows` query rows within `radius`, else None.  Its grid
        is built on first use after every change of the points."""
        d = self.n_features_in_
        if self._cells is None:
            self._cells = _backend.cell_search(self.backend_, self._points, self.effective_metric_, self._period)
        if d <= _radius_plan.CELL_DIMS:
            return self._cells
        p = self.params_
        other = _radius_plan.exhaustive_cost(self.n_points)
        if p["b"] > 1 and self._radius_index(radius) is self.index_:
            other = _radius_plan.table_cost(p["b"], p["k"], p["l"], p["probes"], self.n_points)
        cells = self._cells.plan(radius, rows)["candidates"]
        return self._cells if _radius_plan.use_cells(d, cells, other) else None

    def _exhaustive_index(self):
        """An exhaustive index (one cell) of the indexed points."""
        engine, _ = self._engine()
        return _backend.exhaustive_index(engine, self._points, self.index_.n_static, self.params_["block"] or 0,
                                         self._threads())

    def _estimate_radius_recall(self, radius: float) -> float:
        """Share of the sample's within-radius neighbours that the tables find."""
        rows = self._sample_rows
        if rows.size == 0:
            return 1.0
        exhaustive = self._exhaustive if self._exhaustive is not None else self._exhaustive_index()
        indptr, ids, _ = self._call(exhaustive.query_radius, self._points[rows], radius, rows)
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
    threads: int = 0  # of each engine call, 0: all of the pool


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
    if rows.size and (rows.min() < 0 or rows.max() >= n):  # compared before the cast, which could wrap
        raise ValueError(f"ids must name indexed points, 0 to {n - 1}; got {rows.min()} to {rows.max()}")
    return rows.astype(np.int64)


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
        self.parts: list[tuple[np.ndarray, np.ndarray, np.ndarray]] = []

    def add(self, lo: int, hi: int, part) -> None:
        self.parts.append(part)

    def result(self):
        parts = self.parts
        offsets = np.cumsum([0] + [ids.size for _, ids, _ in parts])
        indptr = np.concatenate([[0]] + [ptr[1:] + off for (ptr, _, _), off in zip(parts, offsets)])
        return (indptr.astype(np.int64), np.concatenate([ids for _, ids, _ in parts]),
                np.concatenate([dists for _, _, dists in parts]))


def _pairs_of_rows(indptr: np.ndarray, ids: np.ndarray, dists: np.ndarray):
    """(pairs, dists) of a radius self-join's CSR rows: each pair (i, j), i < j,
    found from either end, listed once, in lexicographic order."""
    owner = np.repeat(np.arange(indptr.size - 1, dtype=np.int64), np.diff(indptr))
    lo, hi = np.minimum(owner, ids), np.maximum(owner, ids)
    _, first = np.unique(lo * max(1, indptr.size - 1) + hi, return_index=True)
    return np.stack([lo[first], hi[first]], axis=1), dists[first]


def split_rows(values: np.ndarray, indptr: np.ndarray) -> np.ndarray:
    """An object array whose row i is the view values[indptr[i]:indptr[i + 1]],
    made by the compiled module in one C loop when it imports."""
    if _split_rows_compiled is not None:
        return _split_rows_compiled(values, np.ascontiguousarray(indptr, dtype=np.int64))
    rows = np.empty(indptr.size - 1, dtype=object)
    for i, (lo, hi) in enumerate(zip(indptr[:-1].tolist(), indptr[1:].tolist())):
        rows[i] = values[lo:hi]
    return rows


_split_rows_compiled: Callable[[np.ndarray, np.ndarray], np.ndarray] | None
try:
    from vibrel._periodic import split_rows as _split_rows_compiled
except ImportError:
    _split_rows_compiled = None


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


# ------------------------------------------------------------------ internal
# The interface of the front for vibrel.dask, whose shards are ToroidalNN
# models fitted with a setting chosen for all the points.  Internal: not for
# users, and free to change with vibrel.dask.


def setting_for(model: ToroidalNN, n: int, d: int) -> Setting:
    """The checked constructor values of `model` for a fit of n points of d coordinates."""
    return model._setting(n, d)


def setting_attributes(tuning: _tune.Tuning, setting: Setting) -> dict:
    """The fitted attributes that describe the setting, for a ToroidalNN or a
    DaskToroidalNN."""
    p = tuning.params
    return {
        # block None (one block per thread) as the constructor takes it, so that
        # ToroidalNN(**params_) makes this setting again.
        "params_": {"b": p.b, "k": p.k, "l": p.l, "probes": p.probes, "block": setting.block or None},
        "recall_estimate_": tuning.recall,
        "recall_error_": tuning.recall_error,
        "s_": tuning.s,
        "u_": tuning.u,
        "backend_": setting.backend,
        "_period": setting.period,
        "effective_metric_": setting.metric,
        "effective_metric_params_": {"period": 1.0 if setting.period is None else setting.period.copy()},
    }


def install(model: ToroidalNN, points: np.ndarray, n_static: int, tuning: _tune.Tuning, setting: Setting) -> None:
    """Fits `model` on `points` (wrapped onto the box) with a setting already tuned."""
    model._install(points, n_static, tuning, setting)


def knn_checked(model: ToroidalNN, queries: np.ndarray, exclude: np.ndarray | None,
                n_neighbors: int) -> tuple[np.ndarray, np.ndarray]:
    """(ind, dist) of checked queries, each leaving out its `exclude` id (-1: none)."""
    return model._knn(queries, exclude, n_neighbors)


def radius_checked(model: ToroidalNN, queries: np.ndarray, exclude: np.ndarray | None,
                   radius: float) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """CSR (indptr, ids, dists) of checked queries within a checked radius."""
    return model._radius(queries, exclude, radius)


def indexed_points(model: ToroidalNN) -> np.ndarray:
    """The indexed points, both tiers, in id order (the model's own array)."""
    return model._points


def box_period(model: ToroidalNN) -> np.ndarray | None:
    """The fitted box sides, one per axis; None on the unit torus."""
    return model._period
