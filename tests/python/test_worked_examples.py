"""Hand-made cases with answers worked out by hand or by the exhaustive search,
each run on both engines: keys, tie-breaks of the sorted runs under build,
update and promote, probing, relaxation, radius edges and the profile."""

import numpy as np
import pytest

from conftest import COUNTERS, ENGINES, assert_same_answer, at, eight_buckets
from vibrel import _exact

F32 = np.float32
engines = pytest.mark.parametrize("engine", ENGINES)


def rows(index, name):
    return index.tables()[name].tolist()


@engines
@pytest.mark.parametrize("b, k, s, u, point, key", [
    (4, 2, [[0, 1]], [[0.0, 0.0]], [0.30, 0.80], 13),
    (4, 1, [[0]], [[0.5]], [0.75], 1),
    (4, 1, [[0]], [[0.5]], [0.25], 3),
    (4, 1, [[0]], [[0.3]], [0.8], 0),
    (4, 1, [[0]], [[0.0]], [-1e-20], 3),   # wraps to a fraction that rounds to 1.0: the top digit
    (5, 1, [[0]], [[0.0]], [1.0], 0),
    (1, 3, [[0, 0, 0]], [[0.2, 0.4, 0.9]], [0.7], 0),
])
def test_hash_keys(engine, b, k, s, u, point, key):
    index = ENGINES[engine](b, k, 1, 0, np.array(s), np.array(u, dtype=float))
    index.build(np.array([point]), 1)
    assert rows(index, "static_keys") == [[key]]


@engines
def test_build_sorts_equal_keys_by_id(engine):
    index = eight_buckets(engine)
    index.build(np.vstack([at(*range(8), 0, 1), at(5, 3, 5)]), 10)
    assert rows(index, "cand_keys") == [[5, 3, 5]] and rows(index, "cand_sorted_keys") == [[3, 5, 5]]
    assert rows(index, "cand_sorted_ids") == [[11, 10, 12]]
    assert rows(index, "static_ids") == [[0, 8, 1, 9, 2, 3, 4, 5, 6, 7]] and index.n_candidates == 3


# Two static points (ids 0, 1) in buckets 0 and 7, then candidates 2.. at
# `start`; every entry of `moves` is passed to update in turn.
TIE_BREAKS = {
    "changed by id before kept": ([2, 5, 5, 3], [[5, 5, 5, 5]], [5, 5, 5, 5], [2, 5, 3, 4]),
    "stored coordinates change nothing": ([2, 5, 5, 3], [[2, 5, 5, 3]], [2, 3, 5, 5], [2, 5, 3, 4]),
    "moves inside a bucket change nothing": ([2, 5, 5, 3], [[2.3, 5.4, 5.1, 3]], [2, 3, 5, 5], [2, 5, 3, 4]),
    "all changed: by key then id": ([1, 0, 4, 0], [[0, 1, 0, 4]], [0, 0, 1, 4], [2, 4, 3, 5]),
    "a changed larger id before a kept smaller one": ([5, 3], [[5, 5]], [5, 5], [3, 2]),
    "kept entries keep their order": ([2, 5, 5, 3], [[5, 5, 5, 5], [7, 5, 5, 5]], [5, 5, 5, 7], [5, 3, 4, 2]),
    "a moved entry that kept its key stays in place": ([5, 5, 5], [[5.2, 0, 5.4]], [0, 5, 5], [3, 2, 4]),
}


@engines
@pytest.mark.parametrize("case", TIE_BREAKS)
def test_update_tie_breaks(engine, case):
    start, moves, keys, ids = TIE_BREAKS[case]
    index = eight_buckets(engine)
    index.build(np.vstack([at(0, 7), at(*start)]), 2)
    for move in moves:
        index.update(at(*move))
    assert rows(index, "cand_sorted_keys") == [keys] and rows(index, "cand_sorted_ids") == [ids]
    assert rows(index, "cand_keys") == [[int(v) for v in moves[-1]]]
    assert rows(index, "static_ids") == [[0, 1]]


@engines
def test_promote_tie_breaks_and_ids(engine):
    index = eight_buckets(engine)
    index.build(at(5, 5, 2, 5, 5, 3), 3)        # static ids 0, 1 (key 5), 2 (key 2)
    index.update(at(5, 5, 5))                    # candidate 5 joins key 5 first: run ids [5, 3, 4]
    index.promote(at(6, 1))
    assert rows(index, "static_keys") == [[2, 5, 5, 5, 5, 5]]
    assert rows(index, "static_ids") == [[2, 5, 3, 4, 0, 1]]  # candidates in run order, then static
    assert rows(index, "cand_keys") == [[6, 1]] and rows(index, "cand_sorted_ids") == [[7, 6]]
    assert (index.n_points, index.n_static, index.n_candidates) == (8, 6, 2)
    index.promote(np.zeros((0, 1)))              # an empty batch: everything becomes static
    assert rows(index, "static_ids") == [[7, 2, 5, 3, 4, 0, 1, 6]] and index.n_candidates == 0
    assert all(a.shape == (1, 0) for name, a in index.tables().items() if name.startswith("cand"))
    index.promote(at(5))                          # an empty candidate tier: static runs stay
    assert rows(index, "static_ids") == [[7, 2, 5, 3, 4, 0, 1, 6]]
    assert rows(index, "cand_sorted_ids") == [[8]] and index.n_static == 8
    assert index.query_knn(at(6), 2)[0].tolist() == [[6, 0]]


@engines
@pytest.mark.parametrize("point, query, probes, found", [
    (0.24, 0.26, 0, False),
    (0.24, 0.26, 1, True),     # near the lower boundary: one bucket down
    (0.01, 0.99, 1, True),     # the top bucket probes bucket 0
    (0.24, 0.49, 1, False),    # nearer the upper boundary: goes up
    (0.60, 0.375, 1, True),    # position 0.5 goes up; the tie with digit 1 keeps digit 0
    (0.10, np.nan, 1, True),   # a NaN digit is never probed first: digit 1 goes down
])
def test_probe_direction(engine, point, query, probes, found):
    index = ENGINES[engine](4, 2, 1, probes, np.array([[0, 1]]), np.zeros((1, 2)))
    second = (0.2, 0.26) if np.isnan(query) else (0.625, 0.625)  # digit 1: position 0.04 or 0.5
    index.build(np.array([[point, second[0]]]), 1)
    assert index.query_knn(np.array([[query, second[1]]]), 1)[0].tolist() == [[0]]
    assert (index.stats()["cands"], index.stats()["relaxed"]) == ((1, 0) if found else (0, 1))
    if not np.isnan(query):  # the radius search never widens
        assert index.query_radius(np.array([[query, second[1]]]), np.inf)[1].tolist() == [0] * found


@engines
@pytest.mark.parametrize("points, query, exclude, want", [
    # Four equal tables count point 0 four times in the query's level-1 cell:
    # enough for one neighbour by count, but it is excluded. The next level is gathered.
    ([[0.1, 0.1], [0.9, 0.6]], [0.1, 0.1], 0, [1]),
    # One point in a cell the query misses: only excluding the point itself leaves nothing.
    ([[0.1, 0.1]], [0.9, 0.6], -1, [0]),
    ([[0.1, 0.1]], [0.9, 0.6], 1, [0]),
    ([[0.1, 0.1]], [0.9, 0.6], 0, [-1]),
])
def test_relaxation_mends_a_short_row(engine, points, query, exclude, want):
    index = ENGINES[engine](4, 2, 4, 0, np.array([[0, 1]] * 4), np.zeros((4, 2)))
    index.build(np.array(points), len(points))
    ids, _ = index.query_knn(np.array([query]), 1, exclude_ids=np.array([exclude]))
    assert ids.tolist() == [want] and index.stats()["relaxed"] == (want != [-1])


@engines
@pytest.mark.parametrize("n_far, want", [(1, [1]), (4, [3])])
def test_relaxation_level_needs_four_entries_per_neighbour(engine, n_far, want):
    # The far points share the query's level-1 cell; the last one is nearer, in another.
    index = ENGINES[engine](4, 2, 1, 0, np.array([[0, 1]]), np.zeros((1, 2)))
    far = [[0.4, 0.15], [0.6, 0.15], [0.8, 0.15], [0.3, 0.2]][-n_far:]
    index.build(np.array(far + [[0.15, 0.3]]), 1)
    assert index.query_knn(np.array([[0.1, 0.1]]), 1)[0].tolist() == [want]
    assert index.stats()["relaxed"] == 1


@engines
@pytest.mark.parametrize("l, k", [(1, 8), (2, 40), (3, 12)])
@pytest.mark.parametrize("self_join", [False, True])
def test_knn_is_exact_when_relaxation_reaches_the_whole_index(engine, l, k, self_join):
    rng = np.random.default_rng(10 * l + k)
    n = 4 * k // l - 1  # l * n < 4 * k: no widening qualifies, every point is gathered
    points = rng.random((n, 3))
    points[7] = points[3]
    index = ENGINES[engine](16, 2, l, 1, rng.integers(0, 3, (l, 2)), rng.random((l, 2)))
    index.build(points, n // 3)
    queries = points if self_join else rng.random((70, 3))
    exclude = np.where(np.arange(n) % 5, np.arange(n), -1) if self_join else None  # -1: nothing excluded
    for rows_ in (slice(0, 9), slice(None)):  # both kNN paths
        ids, dists = index.query_knn(queries[rows_], k, exclude_ids=None if exclude is None else exclude[rows_])
        want_d, want_ids = _exact.knn(points, queries[rows_], k, None if exclude is None else exclude[rows_])
        assert_same_answer((ids, dists), (want_ids, want_d))
    assert index.stats()["relaxed"] > 0
    assert not self_join or (ids[3, 0], ids[7, 0], dists[3, 0], ids[0, 0]) == (7, 3, 0.0, 0)


@engines
@pytest.mark.parametrize("radius", [0.0, -1.0, np.nan, 0.3, np.inf])
@pytest.mark.parametrize("self_join", [False, True])
def test_radius_is_exact_when_everything_is_gathered(engine, radius, self_join):
    rng = np.random.default_rng(3)
    points = rng.random((70, 2))
    points[[4, 9, 17]] = points[12]  # a point with three twins
    index = ENGINES[engine](1, 2, 2, 1, np.array([[0, 1], [1, 0]]), rng.random((2, 2)))  # one bucket
    index.build(points, 10)
    exclude = np.where(np.arange(70) % 7, np.arange(70), [-1, 70] * 35) if self_join else None
    got = index.query_radius(points, radius, exclude_ids=exclude)
    assert_same_answer(got, _exact.within(points, points, radius, exclude), radius)
    if radius == 0.0:
        assert got[1].size == (12 + 10 if self_join else 70 + 12)
    assert index.stats()["queries"] == 0  # the profile counts kNN queries only


@engines
def test_radius_threshold_is_the_radius_rounded_to_single_precision(engine):
    index = ENGINES[engine](4, 1, 1, 0, np.array([[0]]), np.zeros((1, 1)))
    index.build(np.array([[0.0], [0.1]]), 2)
    point = float(F32(0.1))  # the point's float32 distance, above the double 0.1
    below = float(np.nextafter(F32(0.1), F32(0)))
    for radius, found in [(0.1, [0, 1]), (np.nextafter(point, 0), [0, 1]), (below, [0])]:
        assert index.query_radius(np.array([[0.0]]), radius)[1].tolist() == found, radius


@engines
@pytest.mark.parametrize("rows_, m, k, cols", [(None, 3, 2, 5), (0, 3, 2, 5), (0, 70, 2, 7), (10, 0, 3, 2),
                                               (10, 4, 0, 2)])
def test_empty_index_and_empty_requests(engine, rows_, m, k, cols):
    index = ENGINES[engine](4, 2, 3, 1, np.array([[0, 1]] * 3), np.zeros((3, 2)))
    if rows_ is not None:
        index.build(np.random.default_rng(0).random((rows_, 2)), rows_ // 2)
    index.update(np.zeros((index.n_candidates, 2)))  # also fine before any build
    ids, dists = index.query_knn(np.full((m, cols), 0.5), k, exclude_ids=np.arange(m))
    assert ids.shape == dists.shape == (m, k) and (ids == -1).all() and np.isinf(dists).all()
    indptr, found, _ = index.query_radius(np.full((m, cols), 0.5), -1.0 if rows_ else np.inf)
    assert indptr.tolist() == [0] * (m + 1) and found.size == 0
    assert index.stats()["relaxed"] == 0 and index.stats()["queries"] == (m if k else 0)


def test_profile_counts_knn_queries_and_resets():
    """The per-query path (below 64 rows) counts as the reference does."""
    s, u = np.array([[0, 1, 2, 0]] * 3), np.random.default_rng(1).random((3, 4))
    indexes = [cls(3, 4, 3, 1, s, u, block=77) for cls in ENGINES.values()]
    rng = np.random.default_rng(2)
    points, queries = rng.random((300, 3)), rng.random((150, 3))
    for index in indexes:
        index.build(points, 100)
        index.query_knn(queries[:60], 25)
        index.query_knn(queries[:40], 25, exclude_ids=np.arange(40))
    st = indexes[0].stats()
    assert {key: st[key] for key in COUNTERS} == {key: indexes[1].stats()[key] for key in COUNTERS}
    assert st["queries"] == 100 and st["cands"] == st["pairs"] > 0 and 0 < st["relaxed"] < 100
    assert min(st["gather_ns"], st["refine_ns"], st["relax_ns"]) > 0 and all(type(v) is int for v in st.values())
    for index in indexes:
        index.query_radius(queries, 0.5)
        index.query_knn(queries, 0)      # k = 0: nothing searched, nothing counted
        index.query_knn(queries[:0], 3)
        assert {key: index.stats()[key] for key in COUNTERS} == {key: st[key] for key in COUNTERS}
        index.reset_stats()
        assert list(index.stats().values()) == [0] * 7 + [77]


@engines
def test_queries_after_maintenance_match_a_fresh_build(engine, rng):
    """The order of entries inside a key group never changes an answer: after
    updates and promotes, both queries answer as an index built afresh over the
    same points with the same tier split."""
    cls, (b, k, l, d) = ENGINES[engine], (3, 4, 4, 3)
    s, u = rng.integers(0, d, (l, k)), rng.random((l, k))
    index = cls(b, k, l, 1, s, u)
    points = rng.random((600, d))
    points[450::3] = points[:50]  # candidates that coincide with static points
    index.build(points, 400)
    for epoch in range(6):
        cand = (points[index.n_static:] + rng.uniform(-0.03, 0.03, (index.n_candidates, d))) % 1.0
        points[index.n_static:] = cand
        index.update(cand)
        if epoch in (1, 4):
            batch = rng.random((150, d))
            index.promote(batch)
            points = np.vstack([points, batch])
    fresh = cls(b, k, l, 1, s, u)
    fresh.build(points, index.n_static)
    queries = np.vstack([rng.random((40, d)), points[::37]])
    exclude = np.concatenate([np.full(40, -1), np.arange(0, len(points), 37)])
    for got, want in [
        (index.query_knn(queries[:20], 7, exclude_ids=exclude), fresh.query_knn(queries[:20], 7, exclude_ids=exclude)),
        (index.query_knn(queries, 7, exclude_ids=exclude), fresh.query_knn(queries, 7, exclude_ids=exclude)),
        (index.query_radius(queries, 0.3), fresh.query_radius(queries, 0.3)),
    ]:
        assert all(np.array_equal(a, b_) for a, b_ in zip(got, want))
