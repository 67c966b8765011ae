"""vibrel.ToroidalNN against exact answers, its input handling, backend choice,
reproducibility and the epoch cycle."""

import sys
import types
import warnings

import numpy as np
import pytest

import vibrel
from vibrel import NotFittedError, ReferenceBackendWarning, ToroidalNN, _backend
from vibrel._native import RustLshIndex

NATIVE_READY = all(callable(getattr(RustLshIndex, m, None)) for m in _backend.REQUIRED_METHODS)
BACKENDS = [
    "reference",
    pytest.param("native", marks=pytest.mark.skipif(not NATIVE_READY, reason="engine lacks query methods")),
]
EXHAUSTIVE = dict(b=1, k=1, l=1, probes=0)


def torus_l1(a, b):
    """Float32 toroidal L1 distance of two points: column c into partial sum c mod 8,
    the sums combined pairwise as the engine does."""
    s = [np.float32(0)] * 8
    for c, (x, y) in enumerate(zip(np.float32(a), np.float32(b))):
        t = np.abs(x - y)
        s[c % 8] += min(t, np.float32(1) - t)
    return float(((s[0] + s[4]) + (s[2] + s[6])) + ((s[1] + s[5]) + (s[3] + s[7])))


def oracle(points, queries, n_neighbors, self_join=False):
    """Brute force by loops: per query the (distance, id)-sorted neighbour list."""
    rows = []
    for i, q in enumerate(queries):
        pairs = sorted((torus_l1(q, p), j) for j, p in enumerate(points) if not (self_join and i == j))
        rows.append(pairs[:n_neighbors])
    return rows


def assert_exact_knn(dist, ind, expected):
    assert dist.tolist() == [[w[0] for w in row] for row in expected]
    assert ind.tolist() == [[w[1] for w in row] for row in expected]


@pytest.fixture
def silence_backend():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ReferenceBackendWarning)
        yield


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("d", [1, 3])
def test_exhaustive_kneighbors_is_exact(backend, d, rng):
    X = rng.random((60, d))
    Q = rng.random((7, d))
    model = ToroidalNN(n_neighbors=5, backend=backend, random_state=1, **EXHAUSTIVE).fit(X)
    dist, ind = model.kneighbors(Q)
    assert dist.shape == ind.shape == (7, 5) and dist.dtype == np.float64 and ind.dtype == np.int64
    assert_exact_knn(dist, ind, oracle(X, Q, 5))
    dist, ind = model.kneighbors(n_neighbors=4)
    assert_exact_knn(dist, ind, oracle(X, X, 4, self_join=True))
    assert not (ind == np.arange(60)[:, None]).any()
    np.testing.assert_array_equal(model.kneighbors(Q, return_distance=False), model.kneighbors(Q)[1])


@pytest.mark.parametrize("backend", BACKENDS)
def test_self_join_keeps_duplicates_but_not_self(backend, rng):
    X = rng.random((30, 2))
    X[7] = X[3]
    dist, ind = ToroidalNN(n_neighbors=1, backend=backend, **EXHAUSTIVE).fit(X).kneighbors()
    assert ind[3, 0] == 7 and ind[7, 0] == 3 and dist[3, 0] == dist[7, 0] == 0.0


@pytest.mark.parametrize("backend", BACKENDS)
def test_exhaustive_radius_neighbors_is_complete(backend, rng):
    X = rng.random((80, 2))
    Q = rng.random((6, 2))
    model = ToroidalNN(radius=0.3, backend=backend, **EXHAUSTIVE).fit(X)
    dist, ind = model.radius_neighbors(Q)
    assert dist.dtype == ind.dtype == object and len(ind) == 6
    for q, row_d, row_i in zip(Q, dist, ind):
        want = sorted((torus_l1(q, p), j) for j, p in enumerate(X) if torus_l1(q, p) <= 0.3)
        assert row_i.tolist() == [j for _, j in want] and row_d.tolist() == [w for w, _ in want]
    self_ind = model.radius_neighbors(radius=0.1, return_distance=False)
    assert all(i not in row for i, row in enumerate(self_ind))


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("mode", ["connectivity", "distance"])
def test_graphs_are_csr_matrices_of_the_answers(backend, mode, rng):
    sparse = pytest.importorskip("scipy.sparse")
    X = rng.random((40, 3))
    model = ToroidalNN(n_neighbors=3, radius=0.4, backend=backend, **EXHAUSTIVE).fit(X)
    graph = model.kneighbors_graph(mode=mode)
    assert sparse.isspmatrix_csr(graph) and graph.shape == (40, 40) and graph.nnz == 120
    dist, ind = model.kneighbors()
    dense = graph.toarray()
    expected = dist if mode == "distance" else np.ones_like(dist)
    np.testing.assert_array_equal(dense[np.arange(40)[:, None], ind], expected)
    rgraph = model.radius_neighbors_graph(X[:5], mode=mode)
    rdist, rind = model.radius_neighbors(X[:5])
    indptr, ids, dists = model.index_.query_radius(model._points[:5], 0.4)
    np.testing.assert_array_equal(rgraph.indptr, indptr)
    assert rgraph.shape == (5, 40) and rgraph.nnz == sum(len(r) for r in rind)
    for i in range(5):
        row = rgraph.getrow(i)
        assert sorted(row.indices.tolist()) == sorted(rind[i].tolist())
        if mode == "distance":
            np.testing.assert_array_equal(row.toarray()[0, rind[i]], rdist[i])


class Recording:
    """Delegates to an engine and keeps the last result of each query method."""

    def __init__(self, engine):
        self.engine, self.last = engine, {}

    def __getattr__(self, name):
        method = getattr(self.engine, name)
        if not callable(method):
            return method

        def record(*args, **kwargs):
            self.last[name] = method(*args, **kwargs)
            return self.last[name]
        return record


@pytest.mark.parametrize("backend", BACKENDS)
def test_graphs_take_over_the_engine_arrays(backend, rng):
    pytest.importorskip("scipy.sparse")
    model = ToroidalNN(n_neighbors=3, radius=0.3, backend=backend, **EXHAUSTIVE).fit(rng.random((30, 2)))
    model.index_ = Recording(model.index_)
    graph = model.radius_neighbors_graph(mode="distance")
    indptr, ids, dists = model.index_.last["query_radius"]
    assert graph.indices.dtype == graph.indptr.dtype == np.int64
    assert all(np.shares_memory(a, b) for a, b in [(graph.indptr, indptr), (graph.indices, ids), (graph.data, dists)])
    knn = model.kneighbors_graph(mode="distance")
    ind, dist = model.index_.last["query_knn"]
    assert np.shares_memory(knn.indices, ind) and np.shares_memory(knn.data, dist)
    graph.check_format(full_check=True)
    knn.check_format(full_check=True)


def test_graphs_refuse_unknown_mode_and_need_scipy(monkeypatch, rng):
    model = ToroidalNN(n_neighbors=2, backend="reference").fit(rng.random((10, 2)))
    with pytest.raises(ValueError, match='"connectivity" or "distance"'):
        model.kneighbors_graph(mode="weights")
    monkeypatch.setitem(sys.modules, "scipy.sparse", None)
    with pytest.raises(ImportError, match="install SciPy"):
        model.radius_neighbors_graph()


# ------------------------------------------------------------------- input


def test_array_likes_are_converted_alike(rng):
    base = rng.random((50, 4))
    wide = np.asfortranarray(np.repeat(base, 2, axis=1))
    variants = [base.tolist(), np.asfortranarray(base), wide[:, ::2], base.astype(np.float32).astype(np.float64)]
    reference = ToroidalNN(backend="reference", random_state=3).fit(base).index_.tables()
    for X in variants:
        tables = ToroidalNN(backend="reference", random_state=3).fit(X).index_.tables()
        for name in tables:
            np.testing.assert_array_equal(tables[name], reference[name])
    # float32 input is widened, not refused; its values are those of the float32 numbers.
    model = ToroidalNN(backend="reference").fit(base.astype(np.float32))
    np.testing.assert_array_equal(model._points, base.astype(np.float32).astype(np.float64))


@pytest.mark.parametrize("value, wrapped", [
    (1.0, 0.0), (-0.0, 0.0), (-1e-20, 0.0), (3.75, 0.75), (-0.25, 0.75), (0.5, 0.5),
    (np.nextafter(1.0, 0.0), np.nextafter(1.0, 0.0)), (2.0, 0.0),
])
def test_coordinates_are_wrapped_onto_the_torus(value, wrapped):
    points = vibrel._validation.as_points([[value, 0.25]])
    assert points[0, 0] == wrapped and not np.signbit(points[0, 0])
    assert 0.0 <= points.min() and points.max() < 1.0
    assert points.flags.c_contiguous and points.dtype == np.float64


def test_boundary_points_are_the_same_points(rng):
    X = rng.random((40, 2))
    shifted = X.copy()
    shifted[:10] += 1.0
    shifted[10:20] -= 3.0
    a = ToroidalNN(n_neighbors=3, backend="reference", random_state=0).fit(X)
    b = ToroidalNN(n_neighbors=3, backend="reference", random_state=0).fit(shifted)
    np.testing.assert_array_equal(a.kneighbors()[1], b.kneighbors()[1])
    np.testing.assert_array_equal(a.kneighbors(X[:5] - 1.0)[1], a.kneighbors(X[:5])[1])


@pytest.mark.parametrize("X, error, message", [
    ([[0.1, np.nan]], ValueError, r"1 non-finite value.*NaN, is at row 0, column 1"),
    ([[0.1, 0.2], [np.inf, 0.3]], ValueError, r"infinity, is at row 1, column 0"),
    ([0.1, 0.2], ValueError, r"two-dimensional.*got 1 dimension.*reshape"),
    (np.zeros((2, 2, 2)), ValueError, r"two-dimensional.*got 3 dimension"),
    (np.zeros((3, 0)), ValueError, r"0 columns"),
    ([[0.1, 0.2], [0.3]], ValueError, r"not a rectangular array"),
    ([["a", "b"]], TypeError, r"real numbers"),
    (None, TypeError, r"not None"),
    (np.zeros((0, 2)), ValueError, r"no points"),
    (pytest.importorskip("scipy.sparse").csr_matrix(np.eye(3)), TypeError, r"sparse matrix.*toarray"),
])
def test_fit_rejects_bad_points_saying_why(X, error, message):
    with pytest.raises(error, match=message):
        ToroidalNN(backend="reference").fit(X)


@pytest.mark.parametrize("backend", BACKENDS)
def test_no_queries_give_empty_answers(backend, rng):
    model = ToroidalNN(n_neighbors=2, backend=backend, **EXHAUSTIVE).fit(rng.random((10, 3)))
    dist, ind = model.kneighbors(np.empty((0, 3)))
    assert dist.shape == ind.shape == (0, 2)
    rdist, rind = model.radius_neighbors(np.empty((0, 3)))
    assert rdist.shape == rind.shape == (0,)


def test_queries_must_match_the_dimension(rng):
    model = ToroidalNN(n_neighbors=2, backend="reference").fit(rng.random((10, 3)))
    with pytest.raises(ValueError, match="X has 2 columns, but the index holds 3-dimensional points"):
        model.kneighbors(rng.random((4, 2)))
    with pytest.raises(ValueError, match="non-finite"):
        model.radius_neighbors([[0.1, np.nan, 0.2]])


@pytest.mark.parametrize("params, message", [
    (dict(n_neighbors=0), "n_neighbors must be at least 1"),
    (dict(radius=-0.5), "radius must be a non-negative number"),
    (dict(radius=float("nan")), "radius must be a non-negative number"),
    (dict(b=0), "b must be at least 1"),
    (dict(k=0), "k must be at least 1"),
    (dict(l=0), "l must be at least 1"),
    (dict(probes=-1), "probes must be at least 0"),
    (dict(block=0), "block must be at least 1"),
    (dict(backend="gpu"), "backend must be one of"),
])
def test_bad_parameters_are_reported_at_fit(params, message, rng):
    with pytest.raises(ValueError, match=message):
        ToroidalNN(**{"backend": "reference", **params}).fit(rng.random((5, 2)))


@pytest.mark.parametrize("params", [dict(n_neighbors=2.5), dict(n_neighbors=True), dict(k="3")])
def test_non_integer_parameters_are_type_errors(params, rng):
    with pytest.raises(TypeError, match="must be an integer"):
        ToroidalNN(backend="reference", **params).fit(rng.random((5, 2)))


def test_call_arguments_are_checked(rng):
    model = ToroidalNN(n_neighbors=2, backend="reference").fit(rng.random((10, 2)), n_static=4)
    with pytest.raises(ValueError, match="n_neighbors = 10 is more than the 9 points.*holds 10 .*own answer"):
        model.kneighbors(n_neighbors=10)
    with pytest.raises(ValueError, match="n_neighbors = 11 is more than the 10 points"):
        model.kneighbors([[0.5, 0.5]], n_neighbors=11)
    with pytest.raises(ValueError, match="return_distance must be True"):
        model.radius_neighbors(sort_results=True, return_distance=False)
    with pytest.raises(ValueError, match=r"n_static \(11\) is larger than the number of points \(10\)"):
        ToroidalNN(backend="reference").fit(rng.random((10, 2)), n_static=11)
    with pytest.raises(ValueError, match="n_static must be at least 0"):
        ToroidalNN(backend="reference").fit(rng.random((10, 2)), n_static=-1)


def test_unfitted_model_says_so():
    model = ToroidalNN()
    for call in (lambda: model.kneighbors([[0.1]]), lambda: model.update([[0.1]]), lambda: model.n_points):
        with pytest.raises(NotFittedError, match="not fitted yet"):
            call()
    assert not hasattr(model, "n_points")


# ----------------------------------------------------------------- backend


def test_reference_backend_is_used_when_asked(rng):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        model = ToroidalNN(backend="reference").fit(rng.random((5, 2)))
    assert model.backend_ == "reference" and isinstance(model.index_, vibrel.lsh.PythonLshIndex)


@pytest.mark.parametrize("fake_native", [
    None,  # the module does not import
    types.SimpleNamespace(RustLshIndex=type("RustLshIndex", (), {"build": lambda self: None})),
])
def test_auto_falls_back_to_the_reference_with_a_warning(monkeypatch, fake_native, rng):
    monkeypatch.setitem(sys.modules, "vibrel._native", fake_native)
    with pytest.warns(ReferenceBackendWarning, match="NumPy reference"):
        model = ToroidalNN(n_neighbors=1).fit(rng.random((5, 2)))
    assert model.backend_ == "reference"
    assert model.kneighbors([[0.5, 0.5]])[1].shape == (1, 1)
    with pytest.raises(ImportError, match="backend='native' was asked for"):
        ToroidalNN(backend="native").fit(rng.random((5, 2)))


@pytest.mark.skipif(not NATIVE_READY, reason="engine lacks query methods")
def test_auto_picks_the_compiled_engine(rng):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        model = ToroidalNN().fit(rng.random((5, 2)))
    assert model.backend_ == "native" and isinstance(model.index_, RustLshIndex)


# ------------------------------------------------------------ reproducible


@pytest.mark.skipif(not NATIVE_READY, reason="engine lacks query methods")
@pytest.mark.parametrize("d", [3, 5, 11])
def test_backends_agree_table_for_table_and_bit_for_bit(d, rng):
    X = rng.random((4000, d))
    params = dict(b=3, k=7, l=4, probes=2, random_state=5)
    nat = ToroidalNN(backend="native", **params).fit(X, n_static=3000)
    ref = ToroidalNN(backend="reference", **params).fit(X, n_static=3000)
    for name, table in nat.index_.tables().items():
        np.testing.assert_array_equal(table, ref.index_.tables()[name])
    q = X[:100] + 0.01
    for got, want in zip(nat.kneighbors(q), ref.kneighbors(q)):
        np.testing.assert_array_equal(got, want)
    # Two points at the same distance from the query, which columns added left to
    # right would put 1 ulp apart and so in the other order.
    two, q = [[0.212, 0.831, 0.063], [0.954, 0.661, 0.321]], [[0.66, 0.246, 0.769]]
    for backend in ("native", "reference"):
        dist, ind = ToroidalNN(1, backend=backend, recall=1.0).fit(two).kneighbors(q)
        assert ind[0, 0] == 0 and dist[0, 0] == torus_l1(q[0], two[1])


# ------------------------------------------------------------- epoch cycle


@pytest.mark.parametrize("backend", BACKENDS)
def test_epoch_cycle_stays_exact(backend, rng):
    X = rng.random((50, 2))
    model = ToroidalNN(n_neighbors=3, backend=backend, **EXHAUSTIVE).fit(X, n_static=40)
    assert (model.n_points, model.n_static, model.n_candidates) == (50, 40, 10)
    moved = X[40:] + rng.normal(0, 0.05, (10, 2))  # leaves [0, 1) now and then: wrapped
    assert model.update(moved) is model
    X[40:] = moved - np.floor(moved)
    assert_exact_knn(*model.kneighbors(), oracle(X, X, 3, self_join=True))
    batch = rng.random((15, 2))
    model.promote(batch)
    X = np.concatenate([X, batch])
    assert (model.n_points, model.n_static, model.n_candidates) == (65, 50, 15)
    assert_exact_knn(*model.kneighbors(), oracle(X, X, 3, self_join=True))
    model.promote(np.empty((0, 2)))
    assert (model.n_points, model.n_static, model.n_candidates) == (65, 65, 0)


def test_epoch_cycle_checks_shapes(rng):
    model = ToroidalNN(n_neighbors=2, backend="reference").fit(rng.random((20, 3)), n_static=15)
    with pytest.raises(ValueError, match=r"shape \(n_candidates, d\) = \(5, 3\), got \(4, 3\)$"):
        model.update(rng.random((4, 3)))
    with pytest.raises(ValueError, match=r"= \(5, 3\), got \(3, 5\) \(transposed\?\)"):
        model.update(rng.random((3, 5)))
    with pytest.raises(ValueError, match="X has 2 columns"):
        model.promote(rng.random((4, 2)))
    assert (model.n_points, model.n_candidates) == (20, 5)


# -------------------------------------------------------- parameters, API


def test_get_set_params_repr_and_clone():
    model = ToroidalNN(n_neighbors=4, b=2, random_state=0)
    assert model.get_params()["n_neighbors"] == 4 and model.get_params()["backend"] == "auto"
    assert model.set_params(radius=0.2, l=3) is model and (model.radius, model.l) == (0.2, 3)
    assert repr(model) == "ToroidalNN(n_neighbors=4, radius=0.2, b=2, l=3, random_state=0)"
    with pytest.raises(ValueError, match="invalid parameter 'p'"):
        model.set_params(p=2)
    gen = np.random.default_rng(3)
    assert repr(ToroidalNN(random_state=gen)) == f"ToroidalNN(random_state={gen!r})"
    base = pytest.importorskip("sklearn.base")
    twin = base.clone(ToroidalNN(recall=0.9, random_state=np.random.RandomState(1)))
    assert twin.recall == 0.9 and isinstance(twin.random_state, np.random.RandomState)


def test_package_exports_and_typing_files():
    from importlib import resources
    assert {"ToroidalNN", "NotFittedError", "ReferenceBackendWarning"} <= set(vibrel.__all__)
    files = resources.files("vibrel")
    assert files.joinpath("py.typed").is_file()
    stub = files.joinpath("_native.pyi").read_text()
    public = {name for name in dir(RustLshIndex) if not name.startswith("_")}
    assert public >= {"build", "tables", "n_points"}
    for name in public:  # the stub covers everything the engine offers
        assert f"def {name}(" in stub, name


# ------------------------------------------- persistence, pipelines, radius


@pytest.mark.parametrize("dump", ["pickle", "joblib", "copy", "deepcopy"])
def test_copies_answer_as_before_and_share_nothing(dump, rng):
    import copy
    import pickle
    X = rng.random((3000, 4))
    model = ToroidalNN(n_neighbors=4, random_state=2).fit(X, n_static=2500)
    model.update(rng.random((500, 4)))
    model.promote(rng.random((300, 4)))
    model.update(rng.random((300, 4)))
    if dump == "joblib":
        joblib = pytest.importorskip("joblib")
        buf = __import__("io").BytesIO()
        joblib.dump(model, buf)
        buf.seek(0)
        twin = joblib.load(buf)
    else:
        twin = pickle.loads(pickle.dumps(model)) if dump == "pickle" else getattr(copy, dump)(model)
    assert twin.index_ is not model.index_ and twin.n_static == 3000 and twin.params_ == model.params_
    for got, want in zip(twin.kneighbors(), model.kneighbors()):
        np.testing.assert_array_equal(got, want)
    twin.update(rng.random((300, 4)))
    assert not np.array_equal(twin.kneighbors(ids=[3200])[1], model.kneighbors(ids=[3200])[1])


def test_self_join_of_chosen_ids_and_progress(rng):
    X = rng.random((3000, 3))
    calls = []
    model = ToroidalNN(n_neighbors=3, random_state=0, verbose=lambda *a: calls.append(a)).fit(X)
    ids = np.array([5, 2999, 17])
    np.testing.assert_array_equal(model.kneighbors(ids=ids)[1], model.kneighbors()[1][ids])
    assert calls[-1] == ("fit", 2, 2)
    with pytest.raises(ValueError, match="give either X or ids"):
        model.kneighbors(X[:2], ids=ids)
    with pytest.raises(ValueError, match="ids must name indexed points, 0 to 2999"):
        model.kneighbors(ids=[3000])


@pytest.mark.skipif(not NATIVE_READY, reason="engine lacks query methods")
@pytest.mark.parametrize("radius", [0.02, 0.15, 0.4])
def test_radius_neighbors_meet_the_target_at_any_radius(radius, rng):
    X = rng.random((20_000, 3))
    model = ToroidalNN(random_state=0).fit(X)
    assert model.params_["b"] > 1
    exact = ToroidalNN(recall=1.0).fit(X)
    got = model.radius_neighbors(X[:200], radius, return_distance=False)
    want = exact.radius_neighbors(X[:200], radius, return_distance=False)
    total = sum(len(w) for w in want)
    found = sum(len(np.intersect1d(g, w)) for g, w in zip(got, want))
    assert total > 200 and found >= 0.97 * total


@pytest.mark.skipif(not NATIVE_READY, reason="engine lacks query methods")
def test_dbscan_on_the_graph_finds_clusters_across_the_boundary(rng):
    cluster = pytest.importorskip("sklearn.cluster")
    pipeline = pytest.importorskip("sklearn.pipeline")
    centres = np.array([[0.0, 0.0, 0.5], [0.5, 0.5, 0.0], [0.25, 0.75, 0.75]])
    X = centres[rng.integers(0, 3, 6000)] + rng.normal(0, 0.02, (6000, 3))
    X -= np.floor(X)
    dbscan = dict(eps=0.03, min_samples=10, metric="precomputed")
    labels = pipeline.make_pipeline(ToroidalNN(n_neighbors=20, random_state=0),
                                    cluster.DBSCAN(**dbscan)).fit_predict(X)
    graph = ToroidalNN(n_neighbors=20, recall=1.0).fit(X).fit_transform(X)
    want = cluster.DBSCAN(**dbscan).fit_predict(graph)
    assert len(set(want) - {-1}) == 3  # a wrapped cluster stays one
    assert (labels == want).mean() > 0.99
