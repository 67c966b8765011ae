"""vibrel.ToroidalNN: answers against the exact search, the tuner against its
recall target, its own input checks, backend choice, reproducibility, copies
and the epoch cycle."""

import copy
import json
import math
import pickle
import sys
import types
import warnings

import numpy as np
import pytest

import vibrel
from conftest import assert_same_answer, run_python
from vibrel import NotFittedError, RecallTargetWarning, ReferenceBackendWarning, ToroidalNN, _exact
from vibrel._native import RustLshIndex
from vibrel._params import draw_hash

sparse = pytest.importorskip("scipy.sparse")

BACKENDS = ["reference", "native"]
EXHAUSTIVE = dict(b=1, k=1, l=1, probes=0)


def assert_exact(answer, want):
    """A front answer (dist, ind) against an exact one, through the engines' comparator."""
    (dist, ind), (want_dist, want_ind) = answer, want
    assert dist.dtype == np.float64 and ind.dtype == np.int64
    assert_same_answer((ind, dist), (want_ind, want_dist))


def blobs(rng, n, d, clusters=30, sigma=0.03):
    X = rng.random((clusters, d))[rng.integers(0, clusters, n)] + rng.normal(0, sigma, (n, d))
    return X - np.floor(X)


# ------------------------------------------------------------------ answers


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("d", [1, 3])
def test_exhaustive_answers_are_exact(backend, d, rng):
    X = rng.random((60, d))
    X[7] = X[3]  # a duplicate: each is the other's nearest, never its own
    Q = rng.random((7, d))
    model = ToroidalNN(n_neighbors=5, radius=0.3, backend=backend, random_state=1, **EXHAUSTIVE).fit(X)
    assert_exact(model.kneighbors(Q), _exact.knn(X, Q, 5))
    assert_exact(model.kneighbors(Q - 1.0), _exact.knn(X, Q, 5))  # the same points on the torus
    assert_exact(model.kneighbors(n_neighbors=4), _exact.knn(X, X, 4, exclude=np.arange(60)))
    np.testing.assert_array_equal(model.kneighbors(Q, return_distance=False), model.kneighbors(Q)[1])
    for queries, exclude in [(Q, None), (X, np.arange(60))]:
        indptr, ind, dist = _exact.within(X, queries, 0.3, exclude)
        got_dist, got_ind = model.radius_neighbors(None if exclude is not None else queries)
        assert got_dist.dtype == got_ind.dtype == object
        assert [r.tolist() for r in got_ind] == [r.tolist() for r in np.split(ind, indptr[1:-1])]
        assert [r.tolist() for r in got_dist] == [r.tolist() for r in np.split(dist, indptr[1:-1])]
    empty = model.kneighbors(np.empty((0, d)))
    assert empty[0].shape == empty[1].shape == (0, 5) and model.radius_neighbors(np.empty((0, d)))[1].shape == (0,)


class Recording:
    """Delegates to an engine and keeps the last result of each method."""

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
@pytest.mark.parametrize("mode", ["connectivity", "distance"])
def test_graphs_are_the_answers_in_the_engine_arrays(backend, mode, rng):
    X = rng.random((40, 3))
    model = ToroidalNN(n_neighbors=3, radius=0.4, backend=backend, **EXHAUSTIVE).fit(X)
    dist, ind = model.kneighbors()
    rdist, rind = model.radius_neighbors(X[:5])
    model.index_ = Recording(model.index_)
    model._cells = Recording(model._cells)  # the exact cell search answers radius queries in 3 dimensions
    graph, rgraph = model.kneighbors_graph(mode=mode), model.radius_neighbors_graph(X[:5], mode=mode)
    for g, rows_d, rows_i, shape in [(graph, dist, ind, (40, 40)), (rgraph, rdist, rind, (5, 40))]:
        assert sparse.isspmatrix_csr(g) and g.shape == shape and g.indices.dtype == g.indptr.dtype == np.int64
        g.check_format(full_check=True)
        for i, (row_d, row_i) in enumerate(zip(rows_d, rows_i)):
            row = g.getrow(i)
            assert row.indices.tolist() == list(row_i)
            np.testing.assert_array_equal(row.data, row_d if mode == "distance" else np.ones(len(row_i)))
    if mode == "distance":  # no copies of what the engine returned
        ids, dists = model.index_.last["query_knn"]
        assert np.shares_memory(graph.indices, ids) and np.shares_memory(graph.data, dists)
        assert all(np.shares_memory(a, b) for a, b in zip((rgraph.indptr, rgraph.indices, rgraph.data),
                                                            model._cells.last["query_radius"]))


@pytest.mark.parametrize("target", [0.9, 0.99, 1.0])
@pytest.mark.parametrize("make, n_neighbors", [
    (lambda rng: rng.random((21_000, 3)), 10),
    (lambda rng: blobs(rng, 21_000, 16), 10),
], ids=["uniform-3", "blobs-16"])
def test_recall_on_fresh_queries_meets_the_target(make, n_neighbors, target, rng):
    data = make(rng)
    X, Q = data[1000:], data[:1000]
    model = ToroidalNN(n_neighbors, recall=target, random_state=0).fit(X)
    true_dist, _ = ToroidalNN(n_neighbors, recall=1.0).fit(X).kneighbors(Q)
    reached = _exact.recall(model.kneighbors(Q)[0], true_dist)
    estimate, error = model.recall_estimate_, model.recall_error_
    assert estimate >= target and 0 <= error < 0.02
    # Fresh queries have their own sampling error, about that of the estimate.
    assert reached >= target - 4 * error - 1e-12
    assert abs(reached - estimate) <= 4 * math.hypot(error, error) + 1e-12
    assert (model.params_["b"] == 1) == (target == 1.0) and (reached == 1.0 or target < 1.0)


@pytest.mark.parametrize("radius", [0.02, 0.4])
def test_radius_neighbors_meet_the_target_at_any_radius(radius, rng):
    X = rng.random((20_000, 3))
    model = ToroidalNN(random_state=0).fit(X)
    assert model.params_["b"] > 1
    indptr, want, _ = _exact.within(X, X[:200], radius)
    got = model.radius_neighbors(X[:200], radius, return_distance=False)
    found = sum(len(np.intersect1d(g, w)) for g, w in zip(got, np.split(want, indptr[1:-1])))
    assert len(want) > 200 and found >= 0.97 * len(want)


def test_dbscan_on_the_graph_finds_clusters_across_the_boundary(rng):
    cluster = pytest.importorskip("sklearn.cluster")
    pipeline = pytest.importorskip("sklearn.pipeline")
    centres = np.array([[0.0, 0.0, 0.5], [0.5, 0.5, 0.0], [0.25, 0.75, 0.75]])
    X = centres[rng.integers(0, 3, 6000)] + rng.normal(0, 0.02, (6000, 3))
    X -= np.floor(X)
    dbscan = dict(eps=0.03, min_samples=10, metric="precomputed")
    labels = pipeline.make_pipeline(ToroidalNN(n_neighbors=20, random_state=0),
                                    cluster.DBSCAN(**dbscan)).fit_predict(X)
    want = cluster.DBSCAN(**dbscan).fit_predict(ToroidalNN(n_neighbors=20, recall=1.0).fit(X).fit_transform(X))
    assert len(set(want) - {-1}) == 3  # a wrapped cluster stays one
    assert (labels == want).mean() > 0.99


# -------------------------------------------------------------- parameters


@pytest.mark.parametrize("given, expected", [
    (dict(b=1, k=5, l=12, probes=6), (1, 1, 1, 0)),   # one cell: more tables and probes repeat it
    (dict(b=3, k=4, l=2, probes=1), (3, 4, 2, 1)),
])
def test_explicit_settings_are_used(given, expected, rng):
    model = ToroidalNN(backend="reference", random_state=0, **given).fit(rng.random((3000, 4)))
    p = model.params_
    assert (p["b"], p["k"], p["l"], p["probes"]) == expected and model.s_.shape == expected[2:0:-1]
    assert 0.0 < model.recall_estimate_ <= 1.0 and model.table_bytes_ == (16 + 4) * 3000 * expected[2]


def test_given_parameters_and_memory_bound_the_search(rng):
    X = rng.random((20_000, 8))
    with pytest.warns(RecallTargetWarning, match="no setting with the given parameters"):
        model = ToroidalNN(10, l=3, random_state=0).fit(X)
    assert model.params_["l"] == 3 and model.recall_estimate_ < 0.99
    model = ToroidalNN(10, l=3, recall=0.8, random_state=0).fit(X)
    assert model.params_["l"] == 3 and model.recall_estimate_ >= 0.8 - 3 * model.recall_error_
    model = ToroidalNN(10, memory=0.5, random_state=0).fit(X)
    assert model.params_["b"] == 1 or model.params_["l"] <= 1  # 16 + 8 bytes a table vs 8 * 8 a point


SEEDED_FIT = """
import json
import numpy as np
from vibrel import ToroidalNN
X = np.random.default_rng(5).random(({n}, {d}))
for seed in (7, np.random.RandomState(7), np.random.default_rng(7)):
    model = ToroidalNN(backend="{backend}", random_state=seed).fit(X)
    print(json.dumps([model.params_, model.s_.tolist(), model.u_.tolist(), model.recall_estimate_,
                      model.recall_error_, model.kneighbors(X[:20])[1].tolist()]))
"""


@pytest.mark.parametrize("backend, n, d", [("reference", 20_000, 3), ("native", 40_000, 8)])
def test_a_seed_fixes_the_tuning_and_the_hash_in_every_process(backend, n, d):
    code = SEEDED_FIT.format(backend=backend, n=n, d=d)
    first, again = run_python(code), run_python(code)
    assert first == again
    for line in first.splitlines():  # int, RandomState and Generator seeds alike
        assert json.loads(line)[0]["b"] > 1


@pytest.mark.parametrize("d, k", [(8, 8), (16, 5), (3, 7), (1, 4)])
def test_draw_hash_spreads_digits_over_coordinates(d, k):
    s, u = draw_hash(np.random.default_rng(0), d, k, 6)
    assert s.shape == u.shape == (6, k) and s.dtype == np.int64 and ((0 <= u) & (u < 1)).all()
    for row in s:
        counts = np.bincount(row, minlength=d)
        assert counts.max() - counts.min() <= 1 and counts.max() == math.ceil(k / d)


def test_exact_search_matches_loops(rng):
    def torus_l1(a, b):  # column c into partial sum c mod 8, combined pairwise as the engine does
        s = [np.float32(0)] * 8
        for c, (x, y) in enumerate(zip(np.float32(a), np.float32(b))):
            s[c % 8] += min(np.abs(x - y), np.float32(1) - np.abs(x - y))
        return float(((s[0] + s[4]) + (s[2] + s[6])) + ((s[1] + s[5]) + (s[3] + s[7])))
    X, Q = rng.random((40, 11)), rng.random((9, 11))
    dist, ind = _exact.knn(X, Q, 4, chunk=4)
    for q, row_d, row_i in zip(Q, dist, ind):
        assert [(w, j) for w, j in zip(row_d, row_i)] == sorted((torus_l1(q, p), j) for j, p in enumerate(X))[:4]
    pad_dist, pad_ind = _exact.knn(X[:3], X[:3], 5, exclude=np.arange(3))
    assert (pad_ind[:, 2:] == -1).all() and np.isinf(pad_dist[:, 2:]).all()
    assert _exact.recall(dist, dist) == 1.0 and _exact.recall(dist + np.array([0, 0, 0, 1e-6]), dist) == 0.75
    # Two points at the same distance from the query that columns added left to
    # right would put 1 ulp apart, so in the other order.
    two, q = [[0.212, 0.831, 0.063], [0.954, 0.661, 0.321]], [[0.66, 0.246, 0.769]]
    for backend in BACKENDS:
        dist, ind = ToroidalNN(1, backend=backend, recall=1.0).fit(two).kneighbors(q)
        assert ind[0, 0] == 0 and dist[0, 0] == torus_l1(q[0], two[1])


# ------------------------------------------------------------------- input


@pytest.mark.parametrize("value, wrapped", [
    (1.0, 0.0), (-0.0, 0.0), (-1e-20, 0.0), (3.75, 0.75), (-0.25, 0.75), (0.5, 0.5),
    (np.nextafter(1.0, 0.0), np.nextafter(1.0, 0.0)), (2.0, 0.0),
])
def test_coordinates_are_wrapped_onto_the_torus(value, wrapped):
    given = np.array([[value, 0.25]])
    for X in ([[value, 0.25]], given, np.asfortranarray(given)):
        points = vibrel._validation.as_points(X)
        assert points[0, 0] == wrapped and not np.signbit(points[0, 0]) and not np.shares_memory(points, X)
        assert points.flags.c_contiguous and points.dtype == np.float64


@pytest.mark.parametrize("make", [np.array, np.asfortranarray, lambda a: np.array(a, dtype=np.float32),
                                  lambda a: np.array(a)[:, ::1]], ids=["C", "F", "float32", "view"])
def test_fit_keeps_its_own_points_and_leaves_the_caller_s_alone(make):
    X = make([[-0.0, 0.25], [0.5, -0.25], [0.5, 0.75], [0.125, 0.375]])
    before = np.array(X, dtype=np.float64)
    model = ToroidalNN(1, recall=1.0).fit(X)
    kept = vibrel.neighbors.indexed_points(model)
    np.testing.assert_array_equal(np.asarray(X, dtype=np.float64), before)
    assert np.signbit(np.asarray(X)[0, 0]) and not np.shares_memory(kept, X)
    np.testing.assert_array_equal(kept, before % 1.0)
    assert not np.signbit(kept).any()


def test_array_likes_are_converted_alike(rng):
    base = rng.random((50, 4))
    wide = np.asfortranarray(np.repeat(base, 2, axis=1))
    reference = ToroidalNN(backend="reference", random_state=3).fit(base).index_.tables()
    for X in [base.tolist(), np.asfortranarray(base), wide[:, ::2], base + 1.0]:
        tables = ToroidalNN(backend="reference", random_state=3).fit(X).index_.tables()
        for name in tables:
            np.testing.assert_array_equal(tables[name], reference[name])
    # float32 input is widened, not refused; its values are those of the float32 numbers.
    model = ToroidalNN(backend="reference").fit(base.astype(np.float32))
    np.testing.assert_array_equal(model._points, base.astype(np.float32).astype(np.float64))


def test_coordinates_of_any_finite_size_wrap_onto_the_torus():
    # Sums of such values overflow; each still lies on the torus once reduced.
    X = np.array([[1e308, -1e308, 0.25], [-0.25, 3.75, -1.7976931348623157e308], [0.5, 1.0, -0.0]])
    model = ToroidalNN(backend="reference").fit(X)
    wrapped = X - np.floor(X)
    wrapped[wrapped >= 1.0] = 0.0
    np.testing.assert_array_equal(model._points, wrapped + 0.0)
    assert not np.signbit(model._points).any()
    box = np.array([2.0, 3.0, 0.5])
    on_box = np.mod(X / 1e300, box) + 0.0
    on_box[on_box >= box] = 0.0
    np.testing.assert_array_equal(ToroidalNN(backend="reference", period=box).fit(X / 1e300)._points, on_box)


P = np.random.default_rng(0).random((20, 3))


def fit(X=P, n_static=None, **params):
    return ToroidalNN(**{"backend": "reference", **params}).fit(X, n_static=n_static)


@pytest.mark.parametrize("call, error, message", [
    (lambda m: fit([[0.1, np.nan]]), ValueError, r"1 non-finite value.*NaN, is at row 0, column 1"),
    (lambda m: fit([[0.1, 0.2], [np.inf, 0.3]]), ValueError, r"infinity, is at row 1, column 0"),
    (lambda m: fit([[0.1, 0.2], [0.3, -np.inf]]), ValueError, r"1 non-finite.*infinity, is at row 1, column 1"),
    (lambda m: fit([[0.1, -np.inf], [np.nan, 0.3]]), ValueError, r"2 non-finite.*infinity, is at row 0, column 1"),
    (lambda m: fit([0.1, 0.2]), ValueError, r"(?s)Expected 2D array, got 1D array.*Reshape your data"),
    (lambda m: fit(np.zeros((2, 2, 2))), ValueError, r"Found array with dim 3"),
    (lambda m: fit(np.zeros((3, 0))), ValueError, r"0 feature\(s\) \(shape=\(3, 0\)\)"),
    (lambda m: fit([[0.1, 0.2], [0.3]]), ValueError, r"inhomogeneous shape"),
    (lambda m: fit([["a", "b"]]), TypeError, r"real numbers"),
    (lambda m: fit(np.array([[1 + 2j]])), ValueError, r"Complex data not supported"),
    (lambda m: fit(None), TypeError, r"not None"),
    (lambda m: fit(np.zeros((0, 2))), ValueError, r"no points"),
    (lambda m: fit(sparse.csr_matrix(np.eye(3))), TypeError, r"sparse matrix.*toarray"),
    (lambda m: fit(n_neighbors=0), ValueError, "n_neighbors must be at least 1"),
    (lambda m: fit(radius=-0.5), ValueError, "radius must be a non-negative number"),
    (lambda m: fit(radius=float("nan")), ValueError, "radius must be a non-negative number"),
    (lambda m: fit(b=0), ValueError, "b must be at least 1"),
    (lambda m: fit(l=0), ValueError, "l must be at least 1"),
    (lambda m: fit(probes=-1), ValueError, "probes must be at least 0"),
    (lambda m: fit(block=0), ValueError, "block must be at least 1"),
    (lambda m: fit(backend="gpu"), ValueError, "backend must be one of"),
    (lambda m: fit(n_neighbors=2.5), TypeError, "must be an integer"),
    (lambda m: fit(n_neighbors=True), TypeError, "must be an integer"),
    (lambda m: fit(k="3"), TypeError, "must be an integer"),
    (lambda m: fit(k=3, probes=100), ValueError, "probes = 100 is more than the k = 3 digits"),
    (lambda m: fit(k=64), ValueError, "k = 64 digits fit a signed 64-bit key only with b = 1"),
    (lambda m: fit(b=4, k=40), ValueError, r"b\*\*k = 4\*\*40 does not fit"),
    (lambda m: fit(recall=0.0), ValueError, "recall must be a finite number above 0"),
    (lambda m: fit(recall=1.5), ValueError, r"recall must be in \(0, 1\]"),
    (lambda m: fit(memory=-1), ValueError, "memory must be a finite number above 0"),
    (lambda m: fit(recall="0.9"), TypeError, "recall must be a number, got '0.9'"),
    (lambda m: fit(radius="0.1"), TypeError, "radius must be a number"),
    (lambda m: fit(period="2"), TypeError, "period must be a number or a sequence of numbers"),
    (lambda m: fit(period=True), TypeError, "period must be a number"),
    (lambda m: fit(block=10**20), ValueError, "block must be at most 9223372036854775807"),
    (lambda m: fit(b=2**63), ValueError, "b must be at most"),
    (lambda m: m.kneighbors(ids=np.array([2**64 - 1], dtype=np.uint64)), ValueError,
     "got 18446744073709551615 to 18446744073709551615"),
    (lambda m: fit(n_static=21), ValueError, r"n_static \(21\) is larger than the number of points \(20\)"),
    (lambda m: fit(n_static=-1), ValueError, "n_static must be at least 0"),
    (lambda m: m.kneighbors(P[:4, :2]), ValueError, "X has 2 features, but ToroidalNN is expecting 3 features"),
    (lambda m: m.radius_neighbors([[0.1, np.nan, 0.2]]), ValueError, "non-finite"),
    (lambda m: m.radius_pairs(-0.1), ValueError, "radius must be a non-negative number"),
    (lambda m: m.radius_pairs("far"), TypeError, "radius must be a number"),
    (lambda m: m.kneighbors(n_neighbors=20), ValueError, "n_neighbors = 20 is more than the 19 points.*own answer"),
    (lambda m: m.kneighbors(P[:1], n_neighbors=21), ValueError, "n_neighbors = 21 is more than the 20 points"),
    (lambda m: m.kneighbors(P[:2], ids=[1]), ValueError, "give either X or ids"),
    (lambda m: m.kneighbors(ids=[20]), ValueError, "ids must name indexed points, 0 to 19"),
    (lambda m: m.radius_neighbors(sort_results=True, return_distance=False), ValueError,
     "return_distance must be True"),
    (lambda m: m.kneighbors_graph(mode="weights"), ValueError, '"connectivity" or "distance"'),
    (lambda m: m.update(P[:4]), ValueError, r"shape \(n_candidates, d\) = \(5, 3\), got \(4, 3\)$"),
    (lambda m: m.update(P[:5].T), ValueError, r"= \(5, 3\), got \(3, 5\) \(transposed\?\)"),
    (lambda m: m.promote(P[:4, :2]), ValueError, "X has 2 features"),
    (lambda m: m.set_params(p=2), ValueError, "Invalid parameter 'p'"),
    (lambda m: ToroidalNN().kneighbors([[0.1]]), NotFittedError, "not fitted yet"),
    (lambda m: ToroidalNN().update([[0.1]]), NotFittedError, "not fitted yet"),
    (lambda m: ToroidalNN().n_points, NotFittedError, "not fitted yet"),
])
def test_bad_input_is_refused_saying_why_and_changes_nothing(call, error, message):
    model = fit(n_neighbors=2, n_static=15)
    before = {name: table.copy() for name, table in model.index_.tables().items()}
    with pytest.raises(error, match=message):
        call(model)
    after = model.index_.tables()
    assert all(np.array_equal(after[name], before[name]) for name in before)
    assert (model.n_points, model.n_candidates, model.n_neighbors) == (20, 5, 2)


def test_parameters_set_after_fit_are_checked_at_the_next_fit_only():
    model = fit(n_neighbors=2)
    model.set_params(block="x")
    assert model.kneighbors(P[:3])[1].shape == (3, 2)  # the fitted setting serves
    with pytest.raises(TypeError, match="block must be an integer"):
        model.fit(P)


def test_graphs_need_scipy(monkeypatch):
    monkeypatch.setitem(sys.modules, "scipy.sparse", None)
    with pytest.raises(ImportError, match="install SciPy"):
        fit().radius_neighbors_graph()


# ----------------------------------------------------------------- backend


@pytest.mark.parametrize("fake_native", [
    None,  # the module does not import
    types.SimpleNamespace(RustLshIndex=type("RustLshIndex", (), {"build": lambda self: None})),
])
def test_auto_falls_back_to_the_reference_with_a_warning(monkeypatch, fake_native):
    monkeypatch.setitem(sys.modules, "vibrel._native", fake_native)
    with pytest.warns(ReferenceBackendWarning, match="NumPy reference"):
        model = ToroidalNN(n_neighbors=1).fit(P)
    assert model.backend_ == "reference" and model.kneighbors([[0.5, 0.5, 0.5]])[1].shape == (1, 1)
    with pytest.raises(ImportError, match="backend='native' was asked for"):
        ToroidalNN(backend="native").fit(P)


@pytest.mark.parametrize("backend, engine", [("reference", vibrel.lsh.PythonLshIndex), ("auto", RustLshIndex)])
def test_backend_is_chosen_silently_when_available(backend, engine):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        model = ToroidalNN(backend=backend).fit(P)
    assert isinstance(model.index_, engine) and model.backend_ == backend.replace("auto", "native")


# ------------------------------------------------ reproducible, copies, epochs


@pytest.mark.parametrize("d", [3, 11])
def test_backends_agree_table_for_table_and_bit_for_bit(d, rng):
    X = rng.random((4000, d))
    params = dict(b=3, k=7, l=4, probes=2, random_state=5)
    nat = ToroidalNN(backend="native", **params).fit(X, n_static=3000)
    ref = ToroidalNN(backend="reference", **params).fit(X, n_static=3000)
    for name, table in nat.index_.tables().items():
        np.testing.assert_array_equal(table, ref.index_.tables()[name])
    for got, want in zip(nat.kneighbors(X[:100] + 0.01), ref.kneighbors(X[:100] + 0.01)):
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("backend", BACKENDS)
def test_epoch_cycle_stays_exact(backend, rng):
    X = rng.random((50, 2))
    model = ToroidalNN(n_neighbors=3, backend=backend, **EXHAUSTIVE).fit(X, n_static=40)
    assert (model.n_points, model.n_static, model.n_candidates) == (50, 40, 10)
    moved = X[40:] + rng.normal(0, 0.05, (10, 2))  # leaves [0, 1) now and then: wrapped
    assert model.update(moved) is model
    X[40:] = moved - np.floor(moved)
    assert_exact(model.kneighbors(), _exact.knn(X, X, 3, exclude=np.arange(50)))
    batch = rng.random((15, 2))
    model.promote(batch)
    X = np.concatenate([X, batch])
    assert (model.n_points, model.n_static, model.n_candidates) == (65, 50, 15)
    assert_exact(model.kneighbors(), _exact.knn(X, X, 3, exclude=np.arange(65)))
    model.promote(np.empty((0, 2)))
    assert (model.n_points, model.n_static, model.n_candidates) == (65, 65, 0)


def _unaligned_pickle_copy(obj):
    """`obj` through pickle protocol 5 with its out-of-band buffers handed back at
    an odd byte offset, as a network frame or shared memory may deliver them."""
    buffers = []
    data = pickle.dumps(obj, protocol=5, buffer_callback=buffers.append)
    shifted = []
    for buffer in buffers:
        raw = buffer.raw()
        store = bytearray(raw.nbytes + 1)
        store[1:] = raw
        shifted.append(memoryview(store)[1:])
    assert shifted, "nothing went out of band"
    return pickle.loads(data, buffers=shifted)


@pytest.mark.parametrize("dump", ["pickle", "pickle-unaligned", "joblib", "copy", "deepcopy"])
def test_copies_answer_as_before_and_share_nothing(dump, rng):
    X = rng.random((3000, 4))
    calls = []
    model = ToroidalNN(n_neighbors=4, random_state=2, verbose=lambda *a: calls.append(a)).fit(X, n_static=2500)
    assert calls[-1] == ("fit", 2, 2)
    model.verbose = 0  # a local function does not pickle
    model.update(rng.random((500, 4)))
    model.promote(rng.random((300, 4)))
    model.update(rng.random((300, 4)))
    ids = np.array([5, 3299, 17])
    np.testing.assert_array_equal(model.kneighbors(ids=ids)[1], model.kneighbors()[1][ids])
    if dump == "joblib":
        joblib = pytest.importorskip("joblib")
        buf = __import__("io").BytesIO()
        joblib.dump(model, buf)
        buf.seek(0)
        twin = joblib.load(buf)
    elif dump == "pickle-unaligned":
        twin = _unaligned_pickle_copy(model)
    else:
        twin = pickle.loads(pickle.dumps(model)) if dump == "pickle" else getattr(copy, dump)(model)
    assert twin.index_ is not model.index_ and twin.n_static == 3000 and twin.params_ == model.params_
    for got, want in zip(twin.kneighbors(), model.kneighbors()):
        np.testing.assert_array_equal(got, want)
    twin.update(rng.random((300, 4)))
    assert not np.array_equal(twin.kneighbors(ids=[3200])[1], model.kneighbors(ids=[3200])[1])


def test_params_repr_clone_and_typing_files():
    from importlib import resources
    model = ToroidalNN(n_neighbors=4, b=2, random_state=0)
    assert model.get_params()["n_neighbors"] == 4 and model.get_params()["backend"] == "auto"
    assert model.set_params(radius=0.2, l=3) is model and (model.radius, model.l) == (0.2, 3)
    assert repr(model) == "ToroidalNN(b=2, l=3, n_neighbors=4, radius=0.2, random_state=0)"
    base = pytest.importorskip("sklearn.base")
    twin = base.clone(ToroidalNN(recall=0.9, random_state=np.random.RandomState(1)))
    assert twin.recall == 0.9 and isinstance(twin.random_state, np.random.RandomState)
    assert {"ToroidalNN", "NotFittedError", "ReferenceBackendWarning"} <= set(vibrel.__all__)
    files = resources.files("vibrel")
    stub = files.joinpath("_native.pyi").read_text()
    assert files.joinpath("py.typed").is_file()
    for name in {name for name in dir(RustLshIndex) if not name.startswith("_")}:  # the stub covers them all
        assert f"def {name}(" in stub, name


@pytest.mark.parametrize("options", [dict(n_jobs=1), dict(metric="l2", period=(1.0, 2.0, 3.0, 1.0, 1.0, 1.5))])
def test_self_join_by_ids_answers_as_the_reference_through_epochs(options, rng):
    X = rng.random((3000, 6)) * np.asarray(options.get("period", 1.0))
    params = dict(b=3, k=5, l=4, probes=2, recall=0.5, random_state=3, **options)
    nat = ToroidalNN(backend="native", **params).fit(X, n_static=2000)
    ref = ToroidalNN(backend="reference", **params).fit(X, n_static=2000)
    assert hasattr(nat.index_, "query_knn_ids") and not hasattr(ref.index_, "query_knn_ids")
    ids = np.r_[rng.integers(0, 3000, 150), 2999, 2999]
    for _ in range(2):
        for call in (lambda m: m.kneighbors(ids=ids), lambda m: m.kneighbors(ids=ids[:20], n_neighbors=4),
                     lambda m: m.radius_neighbors(ids=ids, radius=0.4, sort_results=True)):
            got, want = call(nat), call(ref)
            for a, z in zip(got, want):
                assert all(np.array_equal(x, y) for x, y in zip(a, z)) if a.dtype == object else np.array_equal(a, z)
        got, want = nat.kneighbors(), ref.kneighbors()
        assert all(np.array_equal(a, z) for a, z in zip(got, want))
        assert nat._exact_search(ids.size, 0.4) is None  # the radius search by ids ran on the tables
        moved = X[2000:] + rng.normal(0, 0.02, (1000, 6))
        for model in (nat, ref):
            model.update(moved)


def test_update_wraps_each_axis_by_its_own_period_and_keeps_no_alias(rng):
    period = np.array([1.0, 4.0])
    X = rng.random((30, 2)) * period
    model = ToroidalNN(2, period=period, **EXHAUSTIVE).fit(X, n_static=0)
    moved = rng.random((30, 2)) * period
    moved[0] = (2.5, 3.5)  # past the shorter side only: the first coordinate wraps, the second stays
    moved[1] = (1.0, 3.0)
    before = moved.copy()
    model.update(moved)
    want = before.copy()
    want[0], want[1] = (0.5, 3.5), (0.0, 3.0)
    np.testing.assert_array_equal(model._points, want)
    np.testing.assert_array_equal(moved, before)  # the caller's array is not the model's
    assert_exact(model.kneighbors(), _exact.knn(want, want, 2, exclude=np.arange(30), period=period))
    with pytest.raises(ValueError, match="non-finite"):
        model.update(np.full((30, 2), np.nan))
    np.testing.assert_array_equal(model._points, want)
