"""Exact queries of the compiled index: agreement with the NumPy reference,
exactness where the search reaches every point, radius search and the profile."""

import numpy as np
import pytest

from conftest import index_pair, random_params
from vibrel._exact import toroidal_l1

F32 = np.float32
PROFILE = ["gather_ns", "refine_ns", "relax_ns", "queries", "cands", "pairs", "relaxed"]


def assert_knn_equal(native, reference):
    """The same answer bit for bit: ids, distances and padding."""
    (ids, dists), (want_ids, want_d) = native, reference
    assert ids.dtype == np.int64 and dists.dtype == np.float64 and ids.shape == dists.shape == want_ids.shape
    assert np.array_equal(ids, want_ids) and np.array_equal(dists, want_d)
    assert np.array_equal(dists[ids != -1].astype(F32), dists[ids != -1])  # float32 values, widened exactly


def pair(b, k, l, probes, s, u, block=1024):
    return index_pair(b, k, l, probes, np.array(s, dtype=np.int64), np.array(u, dtype=np.float64), block)


def profile(index):
    return {key: index.stats()[key] for key in ("queries", "cands", "pairs", "relaxed")}


def assert_same_profile(native, reference):
    """The reference counts as the per-query path does. Batches of 64 rows or
    more take the blocked path, which gathers no candidate lists (cands stays
    0) and counts every bucket entry it measures, repeats across tables and
    probes included, so its pairs are at least the reference's."""
    ours, theirs = profile(native), profile(reference)
    if ours["cands"] == 0 and theirs["cands"] > 0:
        assert ours["pairs"] >= theirs["pairs"]
        ours, theirs = ({key: p[key] for key in ("queries", "relaxed")} for p in (ours, theirs))
    assert ours == theirs


def make_points(rng, n, d, duplicates):
    points = rng.random((n, d))
    if duplicates:
        points[n // 2:] = points[: n - n // 2]  # twins
    return points


@pytest.mark.parametrize("b, digits, l, probes, d, n, n_static, k, duplicates", [
    (3, 4, 4, 2, 5, 600, 0, 10, False),     # candidate tier only
    (2, 6, 2, 3, 2, 300, 300, 7, True),     # static tier only
    (5, 2, 2, 0, 4, 50, 20, 80, False),     # k beyond the points, base keys only
    (4, 12, 2, 2, 6, 500, 200, 6, False),   # 4^12 keys: no bucket offsets, binary searches
    (4, 9, 4, 2, 16, 1000, 700, 10, True),
    (3, 5, 3, 5, 11, 700, 350, 4, False),   # every digit probed
])
@pytest.mark.parametrize("join", ["queries", "self", "mixed"])
def test_knn_matches_reference(rng, b, digits, l, probes, d, n, n_static, k, duplicates, join):
    native, reference = index_pair(b, digits, l, probes, *random_params(rng, b, digits, l, d))
    points = make_points(rng, n, d, duplicates)
    native.build(points, n_static)
    reference.build(points, n_static)
    queries, exclude = {
        "queries": (rng.random((120, d)), None),
        "self": (points, np.arange(n)),
        # ids that name points, -1, ids past the end; a vector longer than the queries
        "mixed": (np.vstack([points[:60], rng.random((60, d))]),
                  rng.choice(np.array([-1, 0, 5, n - 1, n, 10**12]), size=130)),
    }[join]
    got = native.query_knn(queries, k, exclude_ids=exclude)
    assert_knn_equal(got, reference.query_knn(queries, k, exclude_ids=exclude))
    if exclude is not None:
        named = exclude[: len(queries), None]
        assert not ((got[0] == named) & (named >= 0)).any()
    assert_same_profile(native, reference)
    assert profile(native)["queries"] == len(queries)


@pytest.mark.parametrize("probes", [1, 3, 6])
def test_probe_ties_and_boundaries_match_reference(probes):
    # Queries on a grid of eighths with b = 4 and no shifts sit exactly on a
    # bucket boundary (margin 0) or mid-bucket (position 0.5) in every digit:
    # every probe choice is a tie and every direction a boundary case.
    native, reference = pair(4, 6, 2, probes, [[0, 1, 2, 2, 1, 0], [2, 0, 1, 0, 2, 1]], np.zeros((2, 6)))
    points = np.random.default_rng(5).random((400, 3))
    grid = np.stack(np.meshgrid(*[np.arange(1, 7) / 8] * 3), axis=-1).reshape(-1, 3)
    for index in (native, reference):
        index.build(points, 150)
    assert_knn_equal(native.query_knn(grid, 3), reference.query_knn(grid, 3))
    assert_same_profile(native, reference)


@pytest.mark.parametrize("l, k", [(1, 8), (2, 40), (3, 12)])
@pytest.mark.parametrize("self_join", [False, True])
def test_knn_is_exact_when_relaxation_reaches_the_whole_index(l, k, self_join):
    rng = np.random.default_rng(10 * l + k)
    n = 4 * k // l - 1  # l * n < 4 * k: no widening qualifies, every point is gathered
    points = rng.random((n, 3))
    points[7] = points[3]
    native, _ = pair(16, 2, l, 1, rng.integers(0, 3, (l, 2)), rng.random((l, 2)))
    native.build(points, n // 3)
    queries = points if self_join else rng.random((25, 3))
    ids, dists = native.query_knn(queries, k, exclude_ids=np.arange(n) if self_join else None)
    exact = toroidal_l1(queries, points).astype(np.float64)
    if self_join:
        exact[np.arange(n), np.arange(n)] = np.inf
    order = np.lexsort((np.broadcast_to(np.arange(n), exact.shape), exact), axis=1)[:, :k]
    want_d = np.take_along_axis(exact, order, 1)
    want_ids = np.where(np.isinf(want_d), -1, order)
    pad = np.full((len(queries), max(0, k - n)), -1)
    assert_knn_equal((ids, dists), (np.hstack([want_ids, pad]), np.hstack([want_d, pad * -np.inf])))
    assert native.stats()["relaxed"] > 0
    assert not self_join or (ids[3, 0], ids[7, 0], dists[3, 0]) == (7, 3, 0.0)


@pytest.mark.parametrize("points, query, exclude, want", [
    # Four equal tables count point 0 four times in the query's level-1 cell:
    # enough for one neighbour by count, but it is excluded. The next level is gathered.
    ([[0.1, 0.1], [0.9, 0.6]], [0.1, 0.1], 0, [1]),
    # One point in a cell the query misses: only excluding the point itself leaves nothing.
    ([[0.1, 0.1]], [0.9, 0.6], -1, [0]),
    ([[0.1, 0.1]], [0.9, 0.6], 1, [0]),
    ([[0.1, 0.1]], [0.9, 0.6], 0, [-1]),
])
def test_relaxation_mends(points, query, exclude, want):
    for index in pair(4, 2, 4, 0, [[0, 1]] * 4, np.zeros((4, 2))):
        index.build(np.array(points), len(points))
        ids, _ = index.query_knn(np.array([query]), 1, exclude_ids=np.array([exclude]))
        assert ids.tolist() == [want] and index.stats()["relaxed"] == (want != [-1])


@pytest.mark.parametrize("b, digits, l, probes, d, n_static", [(4, 3, 3, 1, 3, 150), (4, 12, 2, 2, 6, 0),
                                                            (4, 9, 4, 2, 16, 700)])
@pytest.mark.parametrize("radius", [0.3, 1.5, np.inf])
def test_radius_matches_reference(rng, b, digits, l, probes, d, n_static, radius):
    native, reference = index_pair(b, digits, l, probes, *random_params(rng, b, digits, l, d))
    points = make_points(rng, 1000, d, True)
    native.build(points, n_static)
    reference.build(points, n_static)
    queries, exclude = np.vstack([points[:50], rng.random((50, d))]), np.arange(100)
    (indptr, ids, dists) = native.query_radius(queries, radius, exclude_ids=exclude)
    (want_ptr, want_ids, want_d) = reference.query_radius(queries, radius, exclude_ids=exclude)
    assert [a.dtype for a in (indptr, ids, dists)] == [np.int64, np.int64, np.float64]
    assert indptr[0] == 0 and (np.diff(indptr) >= 0).all() and indptr[-1] == ids.size == dists.size
    assert (dists <= F32(radius)).all() and native.stats() == dict.fromkeys(PROFILE, 0) | {"block": 1024}
    if np.array_equal(indptr, want_ptr):
        for a, z in zip(indptr[:-1], indptr[1:]):
            assert_knn_equal((ids[None, a:z], dists[None, a:z]), (want_ids[None, a:z], want_d[None, a:z]))
    else:  # only a point within float32 rounding of the threshold may be in or out
        assert np.isfinite(radius) and abs(ids.size - want_ids.size) <= 2


def test_radius_edge_values_ties_and_exclusion():
    native, reference = pair(1, 2, 2, 1, [[0, 1], [1, 0]], [[0.1, 0.2], [0.3, 0.4]])  # one bucket
    points = np.random.default_rng(3).random((25, 2))
    points[[4, 9, 17]] = points[12]  # a point with three twins
    for index in (native, reference):
        index.build(points, 10)
    for radius, count in [(0.0, 25 + 4 * 3), (-1.0, 0), (np.nan, 0), (np.inf, 625), (1, 625)]:
        got, want = native.query_radius(points, radius), reference.query_radius(points, radius)
        assert got[0].tolist() == want[0].tolist() and got[1].size == count
    indptr, ids, dists = native.query_radius(points, 0.0, exclude_ids=np.arange(25))
    assert np.flatnonzero(np.diff(indptr)).tolist() == [4, 9, 12, 17] and (dists == 0).all()
    assert ids.tolist() == [9, 12, 17] + [4, 12, 17] + [4, 9, 17] + [4, 9, 12]  # ties in ascending id


def test_radius_threshold_is_the_radius_rounded_to_single_precision():
    native, _ = pair(4, 1, 1, 0, [[0]], [[0.0]])
    native.build(np.array([[0.0], [0.1]]), 2)
    point = float(F32(0.1))  # the point's float32 distance, above the double 0.1
    below = float(np.nextafter(F32(0.1), F32(0)))
    for radius, found in [(0.1, [0, 1]), (np.nextafter(point, 0), [0, 1]), (below, [0])]:
        assert native.query_radius(np.array([[0.0]]), radius)[1].tolist() == found, radius


def test_profile_counts_knn_queries_only():
    native, reference = pair(3, 4, 3, 1, [[0, 1, 2, 0]] * 3, np.random.default_rng(1).random((3, 4)), block=77)
    assert native.stats() == dict.fromkeys(PROFILE, 0) | {"block": 77} and list(native.stats())[-1] == "block"
    rng = np.random.default_rng(2)
    points, queries = rng.random((300, 3)), rng.random((150, 3))
    for index in (native, reference):
        index.build(points, 100)
        index.query_knn(queries[:60], 25)  # below 64 rows: the per-query path
        index.query_knn(queries[:40], 25, exclude_ids=np.arange(40))
    st = native.stats()
    assert profile(native) == profile(reference)
    assert st["queries"] == 100 and st["cands"] == st["pairs"] > 0 and 0 < st["relaxed"] < 100
    assert min(st["gather_ns"], st["refine_ns"], st["relax_ns"]) > 0 and all(type(v) is int for v in st.values())
    native.query_radius(queries, 0.5)
    native.query_knn(queries, 0)      # k = 0: nothing searched, nothing counted
    native.query_knn(queries[:0], 3)
    assert native.stats() == st
    native.reset_stats()
    assert native.stats() == dict.fromkeys(PROFILE, 0) | {"block": 77}


@pytest.mark.parametrize("rows, cols", [(None, 2), (None, 7), (0, 2), (0, 7)])
def test_index_without_points(rows, cols):
    indexes = pair(4, 2, 3, 1, [[0, 1]] * 3, np.zeros((3, 2)))
    queries = np.full((4, cols), 0.5)
    for index in indexes:
        if rows is not None:
            index.build(np.zeros((rows, 2)), 0)
        ids, dists = index.query_knn(queries, 3, exclude_ids=np.arange(4))
        assert ids.shape == (4, 3) and (ids == -1).all() and np.isinf(dists).all()
        indptr, rids, _ = index.query_radius(queries, np.inf)
        assert indptr.tolist() == [0] * 5 and rids.size == 0
        assert profile(index) == {"queries": 4, "cands": 0, "pairs": 0, "relaxed": 0}


@pytest.mark.slow
def test_knn_and_radius_match_reference_at_scale():
    rng = np.random.default_rng(99)
    native, reference = index_pair(4, 8, 6, 2, *random_params(rng, 4, 8, 6, 16))
    points = make_points(rng, 60_000, 16, True)
    native.build(points, 40_000)
    reference.build(points, 40_000)
    queries, exclude = np.vstack([points[:1000], rng.random((2000, 16))]), np.arange(3000)
    assert assert_knn_equal(native.query_knn(queries, 10, exclude_ids=exclude),
                            reference.query_knn(queries, 10, exclude_ids=exclude)) > 0.9
    assert profile(native) == profile(reference)
    assert abs(native.query_radius(queries, 1.2)[1].size - reference.query_radius(queries, 1.2)[1].size) <= 3
