"""`ToroidalNN`: nearest neighbours on the unit torus under the toroidal L1 distance,
with the interface of scikit-learn's `NearestNeighbors` and a two-tier epoch cycle."""

from __future__ import annotations

from typing import Any

import numpy as np

from vibrel import _backend, _params, _validation

__all__ = ["ToroidalNN", "NotFittedError"]

_GRAPH_MODES = ("connectivity", "distance")


class NotFittedError(ValueError, AttributeError):
    """A ToroidalNN method that needs an index was called before `fit`."""


class ToroidalNN:
    """Nearest neighbours on the unit torus [0, 1)^d under the toroidal L1 distance.

    The distance between two points sums, over the coordinates, the shorter way
    round the circle: min(|a - b|, 1 - |a - b|).  Points are hashed into `l` tables
    of sorted keys; the hash only decides which points are compared, and every
    distance returned is computed exactly (in single precision) from the
    coordinates.  A k-nearest-neighbour answer therefore holds real neighbours with
    exact distances, and its recall (how many of the true k nearest it finds) is
    set by the hash parameters; `kneighbors` never returns fewer than the points
    available, widening its search when the hashed cells hold too few.  A radius
    search returns the points within the radius among those it compares.

    Points live in two tiers.  The first `n_static` rows given to `fit` form the
    static tier, which only grows; the others are candidates, whose coordinates
    `update` replaces once per epoch, and `promote` moves the candidates into the
    static tier and installs the next batch.  Ids are row numbers in the order the
    points arrived and never change.

    Parameters
    ----------
    n_neighbors : int, default 10
        Neighbours returned by `kneighbors` when it is not told otherwise.
    radius : float, default 1.0
        Radius used by `radius_neighbors` when it is not told otherwise.
    b, k, l, probes : int or None
        Buckets per digit, digits per key, hash tables and probed digits per
        table.  None chooses them from the data size when `fit` runs, by the rule
        of `vibrel._params` (cells of a few points, every digit probed, 16 tables
        in many dimensions).  `b=1` puts every point in one cell: an exhaustive,
        exact search.
    block : int, default 1024
        Query rows the compiled engine answers together in its blocked search.
    random_state : int, numpy.random.Generator or None
        Seed of `numpy.random.default_rng`, from which the hash parameters `s`
        (the coordinate each digit hashes) and `u` (its shift) are drawn.  A fixed
        seed gives the same index and the same answers on every run.
    backend : {"auto", "native", "reference"}, default "auto"
        "auto" uses the compiled engine `vibrel._native.RustLshIndex` and falls
        back, with a `ReferenceBackendWarning`, to the NumPy reference
        `vibrel.lsh.PythonLshIndex` when the engine is missing; "native" and
        "reference" force one of them.
    effort : float, default 1.0
        Scales the default number of tables: above 1 finds more of the true
        neighbours at a proportional cost in time and memory, below 1 is faster
        and finds fewer.  Ignored when `l` is given.

    Attributes (after `fit`)
    ------------------------
    n_features_in_ : int
        Dimension d of the points.
    params_ : dict
        The parameters in use: b, k, l, probes, block.
    s_, u_ : ndarray of shape (l, k)
        The drawn hash parameters.
    backend_ : str
        "native" or "reference".
    index_ : the engine object.
    """

    def __init__(self, n_neighbors: int = 10, radius: float = 1.0, *, b: int | None = None,
                 k: int | None = None, l: int | None = None, probes: int | None = None,
                 block: int = 1024, random_state: Any = None, backend: str = "auto",
                 effort: float = 1.0) -> None:
        self.n_neighbors = n_neighbors
        self.radius = radius
        self.b = b
        self.k = k
        self.l = l
        self.probes = probes
        self.block = block
        self.random_state = random_state
        self.backend = backend
        self.effort = effort

    # ------------------------------------------------------------ parameters

    _PARAM_NAMES = ("n_neighbors", "radius", "b", "k", "l", "probes", "block", "random_state",
                    "backend", "effort")

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
                   if getattr(self, name) != getattr(defaults, name)]
        return f"ToroidalNN({', '.join(changed)})"

    # ------------------------------------------------------------------- fit

    def fit(self, X, n_static: int | None = None) -> ToroidalNN:
        """Index the points X, shape (n, d); the first `n_static` rows (all by
        default) are the static tier, the rest the candidate tier.

        Coordinates are taken modulo 1 onto the torus.  The hash parameters left
        as None are chosen from n and d, then `s` and `u` are drawn from
        `numpy.random.default_rng(random_state)`.  Returns self.
        """
        points = _validation.as_points(X, "X")
        n, d = points.shape
        if n == 0:
            raise ValueError("X holds no points; fit needs at least one")
        n_static = n if n_static is None else _validation.check_int(n_static, "n_static", 0)
        if n_static > n:
            raise ValueError(f"n_static ({n_static}) is larger than the number of points ({n})")
        _validation.check_int(self.n_neighbors, "n_neighbors", 1)
        _validation.check_radius(self.radius)
        effort = _validation.check_positive_float(self.effort, "effort")
        block = _validation.check_int(self.block, "block", 1)
        params = _params.choose_params(
            n, d, self.n_neighbors, effort,
            b=_validation.check_optional_int(self.b, "b", 1),
            k=_validation.check_optional_int(self.k, "k", 1),
            l=_validation.check_optional_int(self.l, "l", 1),
            probes=_validation.check_optional_int(self.probes, "probes", 0))
        if not _params.key_fits(params.b, params.k):
            raise ValueError(f"b**k = {params.b}**{params.k} does not fit a signed 64-bit key; "
                             "choose a smaller b or k")
        engine, backend = _backend.resolve(self.backend)
        s, u = _params.draw_hash(np.random.default_rng(self.random_state), d, params.k, params.l)

        index = engine(params.b, params.k, params.l, params.probes, s, u, block)
        index.build(points, n_static)
        self.index_ = index
        self._points = points
        self.n_features_in_ = d
        self.params_ = {"b": params.b, "k": params.k, "l": params.l, "probes": params.probes,
                        "block": block}
        self.s_, self.u_ = s, u
        self.backend_ = backend
        return self

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

    # --------------------------------------------------------------- queries

    def kneighbors(self, X=None, n_neighbors: int | None = None,
                   return_distance: bool = True) -> tuple[np.ndarray, np.ndarray] | np.ndarray:
        """The `n_neighbors` nearest indexed points of each query.

        X : array-like of shape (m, d), or None for the self-join: every indexed
            point is a query and is not its own neighbour (a duplicate of it is).
        Returns (dist, ind), both of shape (m, n_neighbors), rows nearest first
        (equal distances by ascending id); only `ind` when `return_distance` is
        False.  Distances are exact single-precision values as float64.
        """
        index = self._fitted()
        n_neighbors = self._n_neighbors(n_neighbors)
        queries, exclude = self._queries(X)
        self._check_enough(n_neighbors, exclude is not None)
        ind, dist = index.query_knn(queries, n_neighbors, exclude)
        return (dist, ind) if return_distance else ind

    def radius_neighbors(self, X=None, radius: float | None = None, return_distance: bool = True,
                         sort_results: bool = False) -> tuple[np.ndarray, np.ndarray] | np.ndarray:
        """The compared points within `radius` of each query.

        X : array-like of shape (m, d), or None for the self-join (a point is not
            its own neighbour).
        Returns (dist, ind): object arrays of m rows, row i an array of the
        distances (float64) or ids (int64) of query i's neighbours, nearest first
        (rows are always sorted, so `sort_results` changes nothing); only `ind`
        when `return_distance` is False.

        The radius does not widen the search: a point within the radius is found
        when it shares a hashed cell (or a probed neighbouring one) with the query
        in some table.  Radii of about a cell's width or less find nearly all; use
        `b=1` for a complete, exhaustive answer.
        """
        indptr, ids, dists = self._radius_csr(X, radius, return_distance, sort_results)
        rows_ind = _split_rows(ids, indptr)
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
        indptr, ids, dists = self._radius_csr(X, radius, True, sort_results)
        data = dists if mode == "distance" else np.ones(ids.size)
        return _csr(csr_matrix, data, ids, indptr, (indptr.size - 1, self.n_points))

    # ----------------------------------------------------------- epoch cycle

    def update(self, X) -> ToroidalNN:
        """Replaces the coordinates of the candidate tier, shape (n_candidates, d),
        row j being point n_static + j, and refreshes its hash tables.  Returns self."""
        index = self._fitted()
        coords = _validation.as_points(X, "X", self.n_features_in_)
        if coords.shape[0] != index.n_candidates:
            raise ValueError(f"update needs one row per candidate: X has {coords.shape[0]} rows, "
                             f"the candidate tier holds {index.n_candidates} points")
        index.update(coords)
        self._points[index.n_static:] = coords
        return self

    def promote(self, X) -> ToroidalNN:
        """Moves the candidates into the static tier and installs the rows of X,
        shape (m, d), as the new candidates, numbered from the old `n_points` on.
        An X of shape (0, d) just promotes.  Returns self."""
        index = self._fitted()
        batch = _validation.as_points(X, "X", self.n_features_in_)
        index.promote(batch)
        self._points = np.concatenate([self._points, batch])
        return self

    # --------------------------------------------------------------- helpers

    def _fitted(self):
        index = getattr(self, "index_", None)
        if index is None:
            raise NotFittedError("This ToroidalNN instance is not fitted yet; call fit(X) first")
        return index

    def _n_neighbors(self, n_neighbors):
        value = self.n_neighbors if n_neighbors is None else n_neighbors
        return _validation.check_int(value, "n_neighbors", 1)

    def _queries(self, X):
        """(queries, exclude_ids): the indexed points excluding themselves for X=None."""
        if X is None:
            return self._points, np.arange(self._points.shape[0], dtype=np.int64)
        return _validation.as_points(X, "X", self.n_features_in_), None

    def _check_enough(self, n_neighbors: int, self_join: bool) -> None:
        n = self.n_points
        available = n - 1 if self_join else n
        if n_neighbors > available:
            why = " (each point is left out of its own answer)" if self_join else ""
            raise ValueError(f"n_neighbors = {n_neighbors} is more than the {available} points a query "
                             f"can have: the index holds {n}{why}")

    def _self_knn_rows(self, rows, n_neighbors: int):
        """kneighbors of the indexed points `rows` (ids) in the self-join, as (dist, ind):
        the self-join answered a piece at a time."""
        index = self._fitted()
        self._check_enough(n_neighbors, True)
        rows = np.ascontiguousarray(rows, dtype=np.int64)
        ind, dist = index.query_knn(self._points[rows], n_neighbors, rows)
        return dist, ind

    def _radius_csr(self, X, radius, return_distance, sort_results):
        index = self._fitted()
        if sort_results and not return_distance:
            raise ValueError("return_distance must be True if sort_results is True")
        radius = _validation.check_radius(self.radius if radius is None else radius)
        queries, exclude = self._queries(X)
        return index.query_radius(queries, radius, exclude)


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
