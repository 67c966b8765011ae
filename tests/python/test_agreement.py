"""The compiled index against the NumPy reference over chosen and random
configurations: byte-identical tables after build, probing on exact bucket
boundaries, and (slow) kNN and radius answers at scale. Random operation
sequences are the stateful test's."""

import numpy as np
import pytest

from conftest import assert_same_answer, assert_same_counters, assert_tables_equal, index_pair, random_params


def awkward_points(rng, n, d, u):
    """Uniform points with a share of coordinates on the edges of the torus and
    of the buckets: 0, -0.0, just below 1, exactly 1, tiny negatives (whose
    shifted value can round to a whole turn), exact duplicates, and values that
    land exactly on a bucket boundary once shifted."""
    points = rng.random((n, d))
    if n == 0:
        return points
    edges = np.array([0.0, -0.0, np.nextafter(1.0, 0.0), 1.0, -1e-20, -1e-300, 1e-300, 0.5, 0.25])
    mask = rng.random((n, d)) < 0.1
    points[mask] = rng.choice(edges, size=mask.sum())
    boundary = rng.random((n, d)) < 0.05
    shifts = u.ravel()[rng.integers(0, u.size, size=boundary.sum())]
    points[boundary] = (rng.integers(0, 8, size=boundary.sum()) / 8.0 - shifts) % 1.0
    points[rng.integers(0, n, size=n // 5)] = points[rng.integers(0, n, size=n // 5)]
    return points


def random_config(seed):
    rng = np.random.default_rng(1000 + seed)
    b, k, l, d = (int(rng.integers(lo, hi)) for lo, hi in ((2, 9), (1, 10), (1, 9), (1, 33)))
    n = int(rng.integers(0, 4000))
    return b, k, l, d, n, float(rng.random())


@pytest.mark.parametrize("b, k, l, d, n, share", [
    (2, 1, 1, 1, 1, 1.0),
    (4, 9, 8, 16, 20_000, 0.9),   # bucket offsets (4^9 buckets)
    (8, 9, 3, 32, 5_000, 0.5),    # no bucket offsets (8^9 buckets)
    (3, 5, 2, 2, 3_000, 0.0),
    (7, 2, 5, 3, 4_000, 1.0),
    (2, 9, 1, 1, 500, 0.7),
    (6, 7, 4, 31, 0, 0.0),
] + [random_config(seed) for seed in range(12)])
def test_tables_equal_the_reference(rng, b, k, l, d, n, share):
    s, u = random_params(rng, b, k, l, d)
    u[:, ::3] = 0.0  # unshifted digits: tiny negatives wrap to a fraction that rounds to a whole turn
    native, reference = index_pair(b, k, l, 2, s, u)
    points = awkward_points(rng, n, d, u)
    n_static = int(round(share * n))
    native.build(points, n_static)
    reference.build(points, n_static)
    assert (native.n_points, native.n_static, native.n_candidates) == (n, n_static, n - n_static)
    assert_tables_equal(native, reference)
    assert native.tables()["static_keys"].max(initial=0) <= b**k - 1
    native.build(points.copy(), n_static)  # a rebuild replaces everything, the same way
    assert_tables_equal(native, reference)


def built_pair(rng, b, digits, l, probes, d, n, n_static, duplicates=True):
    native, reference = index_pair(b, digits, l, probes, *random_params(rng, b, digits, l, d))
    points = rng.random((n, d))
    if duplicates:
        points[n // 2:] = points[: n - n // 2]  # twins
    native.build(points, n_static)
    reference.build(points, n_static)
    return native, reference, points


@pytest.mark.parametrize("probes", [1, 3, 6])
def test_probe_ties_and_boundaries_agree_with_the_reference(probes):
    # Queries on a grid of eighths with b = 4 and no shifts sit exactly on a
    # bucket boundary (margin 0) or mid-bucket (position 0.5) in every digit:
    # every probe choice is a tie and every direction a boundary case.
    native, reference = index_pair(4, 6, 2, probes, [[0, 1, 2, 2, 1, 0], [2, 0, 1, 0, 2, 1]], np.zeros((2, 6)))
    points = np.random.default_rng(5).random((400, 3))
    grid = np.stack(np.meshgrid(*[np.arange(1, 7) / 8] * 3), axis=-1).reshape(-1, 3)
    for index in (native, reference):
        index.build(points, 150)
    for rows in (grid[:50], grid):
        assert_same_answer(native.query_knn(rows, 3), reference.query_knn(rows, 3))
        assert_same_counters(native, reference)


@pytest.mark.slow
def test_knn_and_radius_agree_with_the_reference_at_scale():
    rng = np.random.default_rng(99)
    native, reference, points = built_pair(rng, 4, 8, 6, 2, 16, 60_000, 40_000)
    queries, exclude = np.vstack([points[:1000], rng.random((2000, 16))]), np.arange(3000)
    assert_same_answer(native.query_knn(queries, 10, exclude_ids=exclude),
                       reference.query_knn(queries, 10, exclude_ids=exclude))
    assert_same_counters(native, reference)
    assert_same_answer(native.query_radius(queries, 1.2), reference.query_radius(queries, 1.2), 1.2)
