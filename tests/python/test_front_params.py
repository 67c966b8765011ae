"""The tuner and the explicit parameters: the recall reached against the target,
degenerate and contradictory settings, reproducibility, the drawing of s and u,
and the exact oracle."""

import json
import math
import warnings

import numpy as np
import pytest

from vibrel import ToroidalNN, _exact
from vibrel._params import draw_hash
from vibrel import RecallTargetWarning

from conftest import run_python
from test_front import NATIVE_READY, torus_l1

native_only = pytest.mark.skipif(not NATIVE_READY, reason="engine lacks query methods")


def blobs(rng, n, d, clusters=30, sigma=0.03):
    centres = rng.random((clusters, d))
    X = centres[rng.integers(0, clusters, n)] + rng.normal(0, sigma, (n, d))
    return X - np.floor(X)


@native_only
@pytest.mark.parametrize("target", [0.9, 0.99, 1.0])
@pytest.mark.parametrize("make, n_neighbors", [
    (lambda rng: rng.random((21_000, 3)), 10),
    (lambda rng: rng.random((21_000, 12)), 5),
    (lambda rng: blobs(rng, 21_000, 16), 10),
], ids=["uniform-3", "uniform-12", "blobs-16"])
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
    if target == 1.0:
        assert model.params_["b"] == 1 and reached == 1.0


@pytest.mark.parametrize("given, expected", [
    (dict(b=1), (1, 1, 1, 0)),
    (dict(b=1, k=5, l=12, probes=6), (1, 1, 1, 0)),   # one cell: more tables and probes repeat it
    (dict(b=3, k=4, l=2, probes=1), (3, 4, 2, 1)),
])
def test_explicit_settings_are_used(given, expected, rng):
    model = ToroidalNN(backend="reference", random_state=0, **given).fit(rng.random((3000, 4)))
    p = model.params_
    assert (p["b"], p["k"], p["l"], p["probes"]) == expected and model.s_.shape == expected[2:0:-1]
    assert 0.0 < model.recall_estimate_ <= 1.0 and model.table_bytes_ == 16 * 3000 * expected[2]


@pytest.mark.parametrize("given, message", [
    (dict(k=3, probes=100), "probes = 100 is more than the k = 3 digits"),
    (dict(k=64), "k = 64 digits fit a signed 64-bit key only with b = 1"),
    (dict(b=4, k=40), r"b\*\*k = 4\*\*40 does not fit"),
    (dict(recall=0.0), "recall must be a finite number above 0"),
    (dict(recall=1.5), r"recall must be in \(0, 1\]"),
    (dict(memory=-1), "memory must be a finite number above 0"),
])
def test_contradictions_are_refused(given, message, rng):
    with pytest.raises(ValueError, match=message):
        ToroidalNN(backend="reference", **given).fit(rng.random((50, 3)))


@native_only
def test_given_parameters_bound_the_search(rng):
    X = rng.random((20_000, 8))
    with pytest.warns(RecallTargetWarning, match="no setting with the given parameters"):
        model = ToroidalNN(10, l=3, random_state=0).fit(X)
    assert model.params_["l"] == 3 and model.recall_estimate_ < 0.99
    model = ToroidalNN(10, l=3, recall=0.8, random_state=0).fit(X)
    assert model.params_["l"] == 3 and model.recall_estimate_ >= 0.8


@native_only
def test_memory_budget_bounds_the_tables(rng):
    X = rng.random((20_000, 16))
    model = ToroidalNN(10, memory=1.0, random_state=0).fit(X)
    assert model.params_["b"] == 1 or model.params_["l"] <= 8  # 16 bytes a table vs 8 * 16 a point


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


@pytest.mark.parametrize("backend, n, d", [("reference", 5000, 3),
                                           pytest.param("native", 40_000, 8, marks=native_only)])
def test_a_seed_fixes_the_tuning_and_the_hash_in_every_process(backend, n, d):
    code = SEEDED_FIT.format(backend=backend, n=n, d=d)
    first, again = run_python(code), run_python(code)
    assert first == again
    for line in first.splitlines():  # int, RandomState and Generator seeds alike
        params = json.loads(line)[0]
        assert params["b"] > 1


@pytest.mark.parametrize("d, k", [(8, 8), (16, 5), (3, 7), (1, 4)])
def test_draw_hash_spreads_digits_over_coordinates(d, k):
    s, u = draw_hash(np.random.default_rng(0), d, k, 6)
    assert s.shape == u.shape == (6, k) and s.dtype == np.int64 and u.dtype == np.float64
    assert ((0 <= u) & (u < 1)).all()
    for row in s:
        counts = np.bincount(row, minlength=d)
        assert counts.max() - counts.min() <= 1 and counts.max() == math.ceil(k / d)


def test_exact_oracle_matches_loops(rng):
    X = rng.random((40, 11))
    Q = rng.random((9, 11))
    dist, ind = _exact.knn(X, Q, 4, chunk=4)
    for q, row_d, row_i in zip(Q, dist, ind):
        want = sorted((torus_l1(q, p), j) for j, p in enumerate(X))[:4]
        assert row_i.tolist() == [j for _, j in want]
        np.testing.assert_array_equal(row_d, [w for w, _ in want])
    pad_dist, pad_ind = _exact.knn(X[:3], X[:3], 5, exclude=np.arange(3))
    assert (pad_ind[:, 2:] == -1).all() and np.isinf(pad_dist[:, 2:]).all()
    assert _exact.recall(dist, dist) == 1.0
    assert _exact.recall(dist + np.array([0, 0, 0, 1e-6]), dist) == 0.75
