"""Exact queries of the compiled index: agreement with the NumPy reference,
exactness where the search reaches every point, radius search and the profile."""

import numpy as np
import pytest

from conftest import index_pair, random_params

F32 = np.float32
PROFILE = ["gather_ns", "refine_ns", "relax_ns", "queries", "cands", "pairs", "relaxed"]


def ulps(values):
    """A few single-precision steps at each value: the room a different
    summation order of the float32 terms leaves."""
    return 4 * np.spacing(np.abs(values).astype(F32)).astype(np.float64)


def assert_knn_close(native, reference):
    """Same padding, distances within a few ulp, and the same ids wherever a
    row's distances are not within that room of a different distance. Returns
    the share of positions whose ids were compared."""
    (ids, dists), (want_ids, want_dists) = native, reference
    assert ids.dtype == np.int64 and dists.dtype == np.float64
    assert ids.shape == dists.shape == want_ids.shape
    pad = want_ids == -1
    assert np.array_equal(ids == -1, pad)
    assert np.isinf(dists[pad]).all() and np.isinf(want_dists[pad]).all()
    real = ~pad
    tol = ulps(want_dists[real])
    assert (np.abs(dists[real] - want_dists[real]) <= tol).all()
    assert np.array_equal(dists[real].astype(F32).astype(np.float64), dists[real])  # exact float32 values
    compared = total = 0
    for row_ids, row_d, want_row, want_d in zip(ids, dists, want_ids, want_dists):
        n = int((want_row != -1).sum())
        # Exactly equal distances (twins) are ordered by id on both sides; only
        # distances apart by less than the summation-order room may swap.
        gaps = np.diff(want_d[:n])
        near = (gaps > 0) & (gaps <= 2 * ulps(want_d[1:n]))
        sep = np.ones(n, dtype=bool)
        sep[1:] &= ~near
        sep[:-1] &= ~near
        if n == len(want_row) and n and row_ids[n - 1] != want_row[n - 1]:
            sep[-1] = False  # a tie of the last with the next neighbour, which is not returned
        assert np.array_equal(row_ids[:n][sep], want_row[:n][sep])
        assert len(set(row_ids[:n].tolist())) == n
        compared += int(sep.sum())
        total += n
    return compared / max(total, 1)


def pair(b, k, l, probes, s, u, block=1024):
    """index_pair with s and u given as nested lists or arrays."""
    return index_pair(b, k, l, probes, np.array(s, dtype=np.int64), np.array(u, dtype=np.float64), block)


def profile(index):
    st = index.stats()
    return {key: st[key] for key in ("queries", "cands", "pairs", "relaxed")}


def make_points(rng, n, d, duplicates):
    points = rng.random((n, d))
    if duplicates:
        points[n // 2:] = points[: n - n // 2]  # every point of the second half has a twin
    return points


# (b, digits, l, probes, d, n, n_static, k, duplicates)
AGREEMENT = [
    (4, 3, 3, 1, 3, 400, 150, 5, False),
    (3, 4, 4, 2, 5, 600, 0, 10, False),     # candidate tier only
    (2, 6, 2, 3, 2, 300, 300, 7, True),     # static tier only, duplicate points
    (5, 2, 2, 0, 4, 50, 20, 80, False),     # k beyond the points, base keys only
    (4, 12, 2, 2, 6, 500, 200, 6, False),   # 4^12 keys: no bucket offsets, binary searches
    (16, 2, 6, 1, 8, 800, 400, 3, True),
    (4, 9, 4, 2, 16, 1000, 700, 10, False),
    (3, 5, 3, 5, 24, 700, 350, 4, False),   # every digit probed
    (6, 3, 2, 1, 11, 300, 100, 9, True),
]


@pytest.mark.parametrize("b, digits, l, probes, d, n, n_static, k, duplicates", AGREEMENT)
@pytest.mark.parametrize("join", ["queries", "self", "mixed"])
def test_knn_matches_reference(rng, b, digits, l, probes, d, n, n_static, k, duplicates, join):
    s, u = random_params(rng, b, digits, l, d)
    native, reference = index_pair(b, digits, l, probes, s, u)
    points = make_points(rng, n, d, duplicates)
    native.build(points, n_static)
    reference.build(points, n_static)
    exclude = None
    if join == "queries":
        queries = rng.random((120, d))
    elif join == "self":
        queries, exclude = points, np.arange(n, dtype=np.int64)
    else:  # excluded ids that name points, -1, ids past the end; a longer vector
        queries = np.vstack([points[:60], rng.random((60, d))])
        exclude = rng.choice(np.array([-1, 0, 5, n - 1, n, 10**12], dtype=np.int64), size=130)
    got = native.query_knn(queries, k, exclude_ids=exclude)
    want = reference.query_knn(queries, k, exclude_ids=exclude)
    assert assert_knn_close(got, want) > 0.8
    if exclude is not None:
        named = exclude[: len(queries), None]
        assert not ((got[0] == named) & (named >= 0)).any()
    assert profile(native) == profile(reference)
    assert profile(native)["queries"] == len(queries)


@pytest.mark.parametrize("l, k", [(1, 8), (2, 40), (3, 12)])
@pytest.mark.parametrize("self_join", [False, True])
def test_knn_is_exact_when_relaxation_reaches_the_whole_index(l, k, self_join):
    rng = np.random.default_rng(10 * l + k)
    n = 4 * k // l - 1  # l * n < 4 * k: no widening qualifies, the whole index is gathered
    points = rng.random((n, 3))
    points[7] = points[3]
    native, _ = pair(16, 2, l, 1, rng.integers(0, 3, (l, 2)), rng.random((l, 2)))
    native.build(points, n // 3)
    queries = points if self_join else rng.random((25, 3))
    exclude = np.arange(len(queries)) if self_join else None
    ids, dists = native.query_knn(queries, k, exclude_ids=exclude)
    # Brute force over all pairs in float32 (terms added left to right).
    a = np.abs(queries.astype(F32)[:, None, :] - points.astype(F32)[None, :, :])
    exact = np.minimum(a, F32(1) - a).sum(axis=2, dtype=F32).astype(np.float64)
    if self_join:
        exact[np.arange(n), np.arange(n)] = np.inf
    order = np.lexsort((np.broadcast_to(np.arange(n), exact.shape), exact), axis=1)[:, :k]
    want_ids = np.where(np.isinf(np.take_along_axis(exact, order, 1)), -1, order)
    want_d = np.take_along_axis(exact, order, 1)
    pad = np.full((len(queries), max(0, k - n)), -1)
    want = (np.hstack([want_ids, pad]), np.hstack([want_d, np.full(pad.shape, np.inf)]))
    assert assert_knn_close((ids, dists), want) > 0.5
    assert native.stats()["relaxed"] > 0
    if self_join:
        assert (ids[3, 0], ids[7, 0], dists[3, 0]) == (7, 3, 0.0)


def test_relaxation_climbs_when_widened_cells_hold_too_few_distinct_points():
    # Four identical tables count point 0 four times in the query's level-1
    # cell, which is enough for one neighbour by count; but point 0 is excluded.
    native, reference = pair(4, 2, 4, 0, [[0, 1]] * 4, np.zeros((4, 2)))
    points = np.array([[0.1, 0.1], [0.9, 0.6]])
    for index in (native, reference):
        index.build(points, 2)
        ids, dists = index.query_knn(points[:1], 1, exclude_ids=np.array([0]))
        assert ids.tolist() == [[1]] and index.stats()["relaxed"] == 1


@pytest.mark.parametrize("exclude, want", [(-1, [[0]]), (1, [[0]]), (0, [[-1]])])
def test_single_point_index_and_the_excluded_id(exclude, want):
    # The query misses the point's cell; only an exclusion of the point itself
    # leaves nothing to return.
    native, reference = pair(4, 1, 1, 0, [[0]], [[0.0]])
    for index in (native, reference):
        index.build(np.array([[0.1]]), 1)
        ids, dists = index.query_knn(np.array([[0.9]]), 1, exclude_ids=np.array([exclude]))
        assert ids.tolist() == want
        assert index.stats()["relaxed"] == (want != [[-1]])
        if want == [[0]]:
            assert dists[0, 0] == F32(1) - (F32(0.9) - F32(0.1))  # the short way round, in float32


def radius_rows(result):
    indptr, ids, dists = result
    assert indptr.dtype == ids.dtype == np.int64 and dists.dtype == np.float64
    assert indptr[0] == 0 and (np.diff(indptr) >= 0).all() and indptr[-1] == ids.size == dists.size
    return [(ids[a:z], dists[a:z]) for a, z in zip(indptr[:-1], indptr[1:])]


@pytest.mark.parametrize("b, digits, l, probes, d, n, n_static", [
    (4, 3, 3, 1, 3, 400, 150),
    (2, 6, 2, 3, 2, 300, 300),
    (4, 12, 2, 2, 6, 500, 0),
    (4, 9, 4, 2, 16, 1000, 700),
])
@pytest.mark.parametrize("radius", [0.05, 0.3, 1.5, np.inf])
def test_radius_matches_reference(rng, b, digits, l, probes, d, n, n_static, radius):
    s, u = random_params(rng, b, digits, l, d)
    native, reference = index_pair(b, digits, l, probes, s, u)
    points = make_points(rng, n, d, True)
    native.build(points, n_static)
    reference.build(points, n_static)
    queries = np.vstack([points[:50], rng.random((50, d))])
    exclude = np.arange(100, dtype=np.int64)
    got = radius_rows(native.query_radius(queries, radius, exclude_ids=exclude))
    want = radius_rows(reference.query_radius(queries, radius, exclude_ids=exclude))
    threshold = np.float64(F32(radius))
    for (ids, dists), (want_ids, want_d) in zip(got, want):
        # Membership may differ only for a point whose distance is within the
        # summation-order room of the threshold.
        extra = set(ids.tolist()) ^ set(want_ids.tolist())
        for i in extra:
            at = np.flatnonzero(ids == i) if i in ids else None
            d_i = dists[at[0]] if at is not None and at.size else want_d[want_ids == i][0]
            assert abs(d_i - threshold) <= ulps(np.array([threshold]))[0]
        common = np.isin(want_ids, ids)
        assert_knn_close((ids[np.isin(ids, want_ids)][None], dists[np.isin(ids, want_ids)][None]),
                         (want_ids[common][None], want_d[common][None]))
        assert (dists <= threshold).all() and (np.diff(dists) >= 0).all()
    assert native.stats() == dict.fromkeys(PROFILE, 0) | {"block": 1024}


def test_radius_edge_values_ties_and_exclusion():
    native, reference = pair(1, 2, 2, 1, [[0, 1], [1, 0]], [[0.1, 0.2], [0.3, 0.4]])  # one bucket
    rng = np.random.default_rng(3)
    points = rng.random((25, 2))
    points[[4, 9, 17]] = points[12]  # a point with three twins
    for index in (native, reference):
        index.build(points, 10)
    queries = points
    for radius, count in [(0.0, 25 + 4 * 3), (-1.0, 0), (np.nan, 0), (np.inf, 25 * 25), (1, 25 * 25)]:
        got = native.query_radius(queries, radius)
        want = reference.query_radius(queries, radius)
        assert got[0].tolist() == want[0].tolist() and got[1].size == count
        if radius == 0.0:
            assert got[1].tolist() == want[1].tolist() and (got[2] == 0).all()
    rows = radius_rows(native.query_radius(queries, 0.0, exclude_ids=np.arange(25)))
    assert [r[0].tolist() for r in rows][12] == [4, 9, 17]  # equal distances in ascending id
    assert all(i not in r[0] for i, r in enumerate(rows))
    assert rows[4][0].tolist() == [9, 12, 17] and rows[0][0].size == 0


def test_radius_threshold_is_the_radius_rounded_to_single_precision():
    native, _ = pair(4, 1, 1, 0, [[0]], [[0.0]])
    native.build(np.array([[0.0], [0.1]]), 2)
    query = np.array([[0.0]])
    point = float(F32(0.1))  # the point's float32 distance, above the double 0.1
    assert point > 0.1
    below = float(np.nextafter(F32(0.1), F32(0)))
    for radius, found in [(0.1, [0, 1]), (point, [0, 1]), (np.nextafter(point, 0), [0, 1]),
                          (below, [0]), (np.nextafter(below, 0), [0])]:
        indptr, ids, dists = native.query_radius(query, radius)
        assert ids.tolist() == found, radius
    assert dists.tolist() == [0.0]


def test_radius_never_widens_the_search():
    # A point just across a cell boundary the query does not probe is not returned.
    native, reference = pair(4, 2, 1, 0, [[0, 1]], [[0.0, 0.0]])
    points = np.array([[0.24, 0.6], [0.26, 0.6]])
    for index in (native, reference):
        index.build(points, 2)
        assert index.query_radius(np.array([[0.26, 0.6]]), np.inf)[1].tolist() == [1]
    native_probe, _ = pair(4, 2, 1, 1, [[0, 1]], [[0.0, 0.0]])
    native_probe.build(points, 2)
    assert native_probe.query_radius(np.array([[0.26, 0.6]]), np.inf)[1].tolist() == [1, 0]


def test_profile_counts_knn_queries_only():
    native, reference = pair(3, 4, 3, 1, [[0, 1, 2, 0]] * 3, np.random.default_rng(1).random((3, 4)),
                                   block=77)
    assert native.stats() == dict.fromkeys(PROFILE, 0) | {"block": 77}
    assert list(native.stats()) == PROFILE + ["block"]
    points = np.random.default_rng(2).random((300, 3))
    native.build(points, 100)
    reference.build(points, 100)
    queries = np.random.default_rng(3).random((150, 3))
    for index in (native, reference):
        index.query_knn(queries, 15)
        index.query_knn(queries[:40], 15, exclude_ids=np.arange(40))
    st = native.stats()
    assert profile(native) == profile(reference)
    assert st["queries"] == 190 and st["cands"] == st["pairs"] > 0 and 0 < st["relaxed"] < 190
    assert st["gather_ns"] > 0 and st["refine_ns"] > 0 and st["relax_ns"] > 0
    assert all(type(v) is int for v in st.values())
    native.query_radius(queries, 0.5)
    native.query_knn(queries, 0)      # k = 0: nothing is searched, nothing counted
    native.query_knn(queries[:0], 3)  # no rows
    assert native.stats() == st
    native.reset_stats()
    assert native.stats() == dict.fromkeys(PROFILE, 0) | {"block": 77}
    native.query_knn(queries[:5], 1)
    assert native.stats()["queries"] == 5


@pytest.mark.parametrize("rows", [None, 0])
@pytest.mark.parametrize("cols", [2, 7])
def test_index_without_points(rows, cols):
    native, reference = pair(4, 2, 3, 1, [[0, 1]] * 3, np.zeros((3, 2)))
    if rows is not None:
        for index in (native, reference):
            index.build(np.zeros((rows, 2)), 0)
    queries = np.full((4, cols), 0.5)
    for index in (native, reference):
        ids, dists = index.query_knn(queries, 3, exclude_ids=np.arange(4))
        assert ids.shape == (4, 3) and (ids == -1).all() and np.isinf(dists).all()
        indptr, rids, rdists = index.query_radius(queries, np.inf)
        assert indptr.tolist() == [0] * 5 and rids.size == rdists.size == 0
    assert profile(native) == profile(reference) == {"queries": 4, "cands": 0, "pairs": 0, "relaxed": 0}


@pytest.mark.slow
def test_knn_and_radius_match_reference_at_scale():
    rng = np.random.default_rng(99)
    b, digits, l, probes, d, n = 4, 8, 6, 2, 16, 60_000
    s, u = random_params(rng, b, digits, l, d)
    native, reference = index_pair(b, digits, l, probes, s, u)
    points = make_points(rng, n, d, True)
    native.build(points, 40_000)
    reference.build(points, 40_000)
    queries = np.vstack([points[:1000], rng.random((2000, d))])
    exclude = np.arange(3000)
    assert assert_knn_close(native.query_knn(queries, 10, exclude_ids=exclude),
                            reference.query_knn(queries, 10, exclude_ids=exclude)) > 0.9
    assert profile(native) == profile(reference)
    got, want = native.query_radius(queries, 1.2), reference.query_radius(queries, 1.2)
    assert abs(got[1].size - want[1].size) <= 3
