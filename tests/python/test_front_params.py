"""The default hash-parameter rule, the drawing of s and u, the exact oracle, and
the recall that the defaults reach."""

import math
import warnings

import numpy as np
import pytest

from vibrel import ReferenceBackendWarning, ToroidalNN, _exact
from vibrel._params import EXHAUSTIVE_BELOW, HashParams, choose_params, draw_hash, key_fits

from test_front import NATIVE_READY, torus_l1


@pytest.mark.parametrize("n, d, expected", [
    (EXHAUSTIVE_BELOW - 1, 8, HashParams(1, 1, 1, 0)),          # tiny: one cell, exhaustive
    (200_000, 8, HashParams(4, 8, 16, 8)),                       # floor(log4(n / 3)) = 8 digits
    (50_000, 16, HashParams(4, 7, 16, 7)),                       # more coordinates than digits
    (200_000, 64, HashParams(4, 8, 16, 8)),
    (200_000, 2, HashParams(122, 2, 4, 2)),                      # few dimensions: one digit each, finer
    (200_000, 1, HashParams(10_000, 1, 4, 1)),
    (200_000, 6, HashParams(5, 6, 12, 6)),
])
def test_default_rule(n, d, expected):
    assert choose_params(n, d) == expected


@pytest.mark.parametrize("n", [3_000, 12_288, 49_151, 49_152, 1_000_000])
def test_cells_hold_a_few_points_in_many_dimensions(n):
    p = choose_params(n, 32)
    assert p.b == 4 and 3 <= n / p.b ** p.k < 12


@pytest.mark.parametrize("d", [1, 2, 3, 4, 5, 6, 7])
def test_few_dimensions_get_one_digit_per_coordinate(d):
    n, n_neighbors = 500_000, 10
    p = choose_params(n, d, n_neighbors)
    assert p.k == d and p.probes == d
    # Cells hold at least the occupancy the rule aims at, and not many times more.
    per_cell = max(3.0, 4.0 * n_neighbors / (1 + d))
    assert per_cell <= n / p.b ** d < per_cell * 2 ** d


def test_explicit_values_and_effort():
    assert choose_params(100, 3, b=4, k=2) == HashParams(4, 2, 16, 2)  # no exhaustive default then
    assert choose_params(200_000, 8, l=3, probes=1) == HashParams(4, 8, 3, 1)
    assert choose_params(200_000, 8, effort=2.0).l == 32
    assert choose_params(200_000, 8, effort=0.01).l == 1
    assert choose_params(200_000, 8, b=2).k == 16  # digits follow a given b
    assert choose_params(200_000, 8, k=2) == HashParams(122, 2, 4, 2)  # buckets follow a given k
    assert key_fits(2, 62) and key_fits(1, 500) and not key_fits(2, 63) and not key_fits(10, 19)
    assert choose_params(10 ** 30, 100, b=1000).k == 6  # capped so that keys fit 64 bits


@pytest.mark.parametrize("d, k", [(8, 8), (16, 5), (3, 7), (1, 4)])
def test_draw_hash_spreads_digits_over_coordinates(d, k):
    s, u = draw_hash(np.random.default_rng(0), d, k, 6)
    assert s.shape == u.shape == (6, k) and s.dtype == np.int64 and u.dtype == np.float64
    assert ((0 <= u) & (u < 1)).all()
    for row in s:
        counts = np.bincount(row, minlength=d)
        assert counts.max() - counts.min() <= 1 and counts.max() == math.ceil(k / d)
    s2, u2 = draw_hash(np.random.default_rng(0), d, k, 6)
    assert np.array_equal(s, s2) and np.array_equal(u, u2)


def test_exact_oracle_matches_loops(rng):
    X = rng.random((40, 3))
    Q = rng.random((9, 3))
    dist, ind = _exact.knn(X, Q, 4, chunk=4)
    for q, row_d, row_i in zip(Q, dist, ind):
        want = sorted((torus_l1(q, p), j) for j, p in enumerate(X))[:4]
        assert row_i.tolist() == [j for _, j in want]
        np.testing.assert_allclose(row_d, [w for w, _ in want], atol=1e-6)
    self_dist, self_ind = _exact.knn(X, X, 39, exclude=np.arange(40))
    assert not (self_ind == np.arange(40)[:, None]).any() and np.isfinite(self_dist).all()
    pad_dist, pad_ind = _exact.knn(X[:3], X[:3], 5, exclude=np.arange(3))
    assert (pad_ind[:, 2:] == -1).all() and np.isinf(pad_dist[:, 2:]).all()
    assert _exact.recall(dist, dist) == 1.0
    assert _exact.recall(dist + np.array([0, 0, 0, 1.0]), dist) == 0.75


def clustered(rng, n, d, clusters, sigma):
    centres = rng.random((clusters, d))
    X = centres[rng.integers(0, clusters, n)] + rng.normal(0, sigma, (n, d))
    return X - np.floor(X)


def default_recall(X, n_queries, backend, seed=0):
    model = ToroidalNN(random_state=seed, backend=backend).fit(X)
    rows = np.random.default_rng(seed).choice(X.shape[0], n_queries, replace=False)
    dist, _ = model._self_knn_rows(rows, 10)
    true_dist, _ = _exact.knn(X, X[rows], 10, exclude=rows)
    return _exact.recall(dist, true_dist)


@pytest.mark.parametrize("make", [
    lambda rng: rng.random((3_000, 8)),
    lambda rng: clustered(rng, 3_000, 24, 10, 0.02),
])
def test_defaults_reach_the_recall_goal_on_the_reference(make, rng):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ReferenceBackendWarning)
        assert default_recall(make(rng), 150, "reference") >= 0.95


@pytest.mark.skipif(not NATIVE_READY, reason="engine lacks query methods")
@pytest.mark.parametrize("make", [
    lambda rng: rng.random((30_000, 8)),
    lambda rng: rng.random((30_000, 3)),
    lambda rng: clustered(rng, 30_000, 64, 30, 0.02),
])
def test_defaults_reach_the_recall_goal(make, rng):
    assert default_recall(make(rng), 200, "native") >= 0.95


@pytest.mark.slow
@pytest.mark.skipif(not NATIVE_READY, reason="engine lacks query methods")
@pytest.mark.parametrize("n, d", [(200_000, 8), (200_000, 6), (200_000, 4), (200_000, 1), (100_000, 8)])
def test_defaults_reach_the_recall_goal_at_scale(n, d, rng):
    assert default_recall(rng.random((n, d)), 1000, "native") >= 0.95
