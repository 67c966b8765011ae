"""Self-tests of the plain-NumPy reference index, vibrel.lsh.PythonLshIndex."""

import numpy as np
import pytest

from vibrel._exact import toroidal_l1

from vibrel.lsh import PythonLshIndex as Index

F32 = np.float32


def at(*buckets):
    """1-D points mid-bucket for b = 8; with one unshifted digit their key is the bucket."""
    return ((np.array(buckets, dtype=np.float64) + 0.5) / 8).reshape(-1, 1)


def runs(idx, name):
    return idx.tables()[name].tolist()


def brute_force(points, queries, k, exclude=None):
    """All-pairs float32 toroidal L1; per row the k best (ids, dists) by (distance, id)."""
    dist, out = toroidal_l1(queries, points), []
    for i, row in enumerate(dist):
        ids = np.array([j for j in range(len(points)) if exclude is None or j != exclude[i]], dtype=int)
        order = np.lexsort((ids, row[ids]))[:k]
        out.append((ids[order], row[ids][order].astype(np.float64)))
    return out


@pytest.mark.parametrize("b, k, s, u, point, key", [
    (4, 2, [[0, 1]], [[0.0, 0.0]], [0.30, 0.80], 13),
    (4, 1, [[0]], [[0.5]], [0.75], 1),
    (4, 1, [[0]], [[0.5]], [0.25], 3),
    (4, 1, [[0]], [[0.3]], [0.8], 0),
    (4, 1, [[0]], [[0.0]], [-1e-20], 3),
    (5, 1, [[0]], [[0.0]], [1.0], 0),
    (1, 3, [[0, 0, 0]], [[0.2, 0.4, 0.9]], [0.7], 0),
])
def test_hash_keys(b, k, s, u, point, key):
    idx = Index(b, k, 1, 0, s, u)
    idx.build(np.array([point]), 1)
    assert runs(idx, "static_keys") == [[key]]


def test_sort_orders_equal_keys_by_id():
    idx = Index(8, 1, 1, 0, [[0]], [[0.0]])
    idx.build(np.vstack([at(*range(8), 0, 1), at(5, 3, 5)]), 10)
    assert runs(idx, "cand_keys") == [[5, 3, 5]] and runs(idx, "cand_sorted_keys") == [[3, 5, 5]]
    assert runs(idx, "cand_sorted_ids") == [[11, 10, 12]]
    assert runs(idx, "static_ids") == [[0, 8, 1, 9, 2, 3, 4, 5, 6, 7]] and idx.n_candidates == 3


def test_constructor_shape_check():
    for s_shape, u_shape in [((2, 3), (3, 2)), ((3, 2), (3, 2))]:
        with pytest.raises(ValueError, match=r"^S and U must have shape \(L, K\)$"):
            Index(4, 3, 2, 1, np.zeros(s_shape, np.int64), np.zeros(u_shape))


@pytest.mark.parametrize("b, k, l, s, n_static, message", [
    (4, 0, 1, np.zeros((1, 0)), 0, "k must be at least 1"),
    (4, 1, 0, np.zeros((0, 1)), 0, "l must be at least 1"),
    (-3, 1, 1, [[0]], 0, "b must be at least 1, got -3"),
    (2, 63, 1, np.zeros((1, 63)), 0, "b**k = 2**63 does not fit in a signed 64-bit key"),
    (4, 2, 1, [[0, 1]], 4, "n_static (4) is larger than the number of points (3)"),
    (4, 2, 2, [[0, 2], [-1, 0]], 0, "s[0, 1] = 2 is not a column of points with 2 columns"),
])
def test_build_validation(b, k, l, s, n_static, message):
    idx = Index(b, k, l, 0, np.asarray(s, dtype=np.int64), np.zeros((l, k)))
    with pytest.raises(ValueError) as err:
        idx.build(np.full((3, 2), 0.5), n_static)
    assert str(err.value) == message
    assert idx.n_points == 0 and all(a.shape == (l, 0) for a in idx.tables().values())


@pytest.mark.parametrize("moves, keys, ids", [
    ([(5, 5, 5, 5)], [5, 5, 5, 5], [0, 3, 1, 2]),                # changed, by id, before kept
    ([(2, 5, 5, 3)], [2, 3, 5, 5], [0, 3, 1, 2]),                # nothing changed
    ([(1, 0, 4, 0)], [0, 0, 1, 4], [1, 3, 0, 2]),                # all changed: (key, id)
    ([(5, 5, 5, 5), (7, 5, 5, 5)], [5, 5, 5, 7], [3, 1, 2, 0]),  # kept ones keep their order
])
def test_update_tie_breaks(moves, keys, ids):
    idx = Index(8, 1, 1, 0, [[0]], [[0.0]])
    idx.build(at(2, 5, 5, 3), 0)
    for move in moves:
        idx.update(at(*move).reshape(1, -1))  # any shape holding n_cand * d values
    assert runs(idx, "cand_sorted_keys") == [keys] and runs(idx, "cand_sorted_ids") == [ids]
    assert runs(idx, "cand_keys") == [list(moves[-1])]


@pytest.mark.parametrize("seed", range(2))
def test_update_matches_fresh_hash(seed):
    rng = np.random.default_rng(seed)
    s, u, pts = rng.integers(0, 3, (3, 2)), rng.random((3, 2)), rng.random((40, 3))
    idx, fresh = Index(3, 2, 3, 1, s, u), Index(3, 2, 3, 1, s, u)
    idx.build(pts, 15)
    for _ in range(3):
        pts[15:] = (pts[15:] + rng.normal(0, 0.2, (25, 3))) % 1.0
        idx.update(pts[15:])
    fresh.build(pts, 15)
    got, want = idx.tables(), fresh.tables()
    for name in ("static_ids", "cand_keys", "cand_sorted_keys"):
        assert np.array_equal(got[name], want[name])
    for t, ids in enumerate(got["cand_sorted_ids"]):
        assert np.array_equal(got["cand_keys"][t, ids - 15], got["cand_sorted_keys"][t])
        assert sorted(ids) == list(range(15, 40))
    with pytest.raises(ValueError, match=r"^update: coords holds 76 values but the candidate "
                                         r"tier needs 75 \(n_candidates x d\)$"):
        idx.update(np.zeros(76))
    assert all(np.array_equal(got[name], a) for name, a in idx.tables().items())


def test_promote_candidate_before_static():
    idx = Index(8, 1, 1, 0, [[0]], [[0.0]])
    with pytest.raises(ValueError, match="^promote needs a built index; call build first$"):
        idx.promote(at(1))
    idx.build(at(5, 5, 5, 3), 1)
    idx.update(at(5, 5, 5))  # candidate 3 joins key 5: the run is now ids [3, 1, 2]
    with pytest.raises(ValueError, match="^new_candidates have 2 columns but the index holds "
                                         "1-dimensional points$"):
        idx.promote(np.zeros((1, 2)))
    idx.promote(at(6, 1))
    assert runs(idx, "static_keys") == [[5] * 4] and runs(idx, "static_ids") == [[3, 1, 2, 0]]
    assert runs(idx, "cand_sorted_keys") == [[1, 6]] and runs(idx, "cand_sorted_ids") == [[5, 4]]
    assert (idx.n_points, idx.n_static, idx.n_candidates) == (6, 4, 2)
    idx.promote(np.zeros((0, 1)))
    assert runs(idx, "static_ids") == [[5, 3, 1, 2, 0, 4]] and idx.n_candidates == 0
    idx.promote(at(2))  # empty candidate tier: the static runs stay as they are
    assert runs(idx, "static_ids") == [[5, 3, 1, 2, 0, 4]]
    assert idx.query_knn(at(2), 1)[0].tolist() == [[6]]


@pytest.mark.parametrize("l, k", [(1, 8), (2, 40)])
@pytest.mark.parametrize("self_join", [False, True])
def test_knn_exact_when_relaxation_is_exhaustive(l, k, self_join):
    rng = np.random.default_rng(l + k)  # l * n < 4 * k: widening can only reach everything
    pts = rng.random((30, 3))
    pts[7] = pts[3]
    idx = Index(16, 2, l, 1, rng.integers(0, 3, (l, 2)), rng.random((l, 2)))
    idx.build(pts, 12)
    queries = pts if self_join else rng.random((10, 3))
    exclude = np.arange(len(queries)) if self_join else None
    ids, dists = idx.query_knn(queries, k, exclude_ids=exclude)
    for row, (want_ids, want_d) in enumerate(brute_force(pts, queries, k, exclude)):
        n = want_ids.size
        assert ids[row, :n].tolist() == want_ids.tolist() and np.array_equal(dists[row, :n], want_d)
        assert (ids[row, n:] == -1).all() and np.isinf(dists[row, n:]).all()
    assert not self_join or (ids[3, 0], ids[7, 0], dists[3, 0]) == (7, 3, 0.0)
    st = idx.stats()
    assert st["queries"] == len(queries) and st["cands"] == st["pairs"] > 0 and st["relaxed"] > 0


@pytest.mark.parametrize("n_far, want", [(1, [1]), (4, [3])])
def test_relaxation_level_needs_four_entries_per_neighbour(n_far, want):
    # The far points share the query's level-1 cell; the last one is nearer, in another.
    idx = Index(4, 2, 1, 0, [[0, 1]], [[0.0, 0.0]])
    far = [[0.4, 0.15], [0.6, 0.15], [0.8, 0.15], [0.3, 0.2]][-n_far:]
    idx.build(np.array(far + [[0.15, 0.3]]), 1)
    assert idx.query_knn(np.array([[0.1, 0.1]]), 1)[0].tolist() == [want]
    assert idx.stats()["relaxed"] == 1


def test_short_widened_row_climbs_to_the_next_level():
    # Point 0 alone fills its level-1 cells in four equal tables, but it is excluded.
    idx, pts = Index(4, 2, 4, 0, [[0, 1]] * 4, np.zeros((4, 2))), np.array([[0.1, 0.1], [0.9, 0.6]])
    idx.build(pts, 2)
    ids, dists = idx.query_knn(pts[:1], 1, exclude_ids=np.array([0]))
    [(want_ids, want_d)] = brute_force(pts, pts[:1], 1, [0])
    assert ids.tolist() == [[1]] == [want_ids.tolist()] and np.array_equal(dists[0], want_d)
    assert idx.stats()["relaxed"] == 1


@pytest.mark.parametrize("point, query, probes, found", [
    (0.24, 0.26, 0, False),
    (0.24, 0.26, 1, True),     # near the lower boundary: one bucket down
    (0.01, 0.99, 1, True),     # the top bucket probes bucket 0
    (0.24, 0.49, 1, False),    # nearer the upper boundary: goes up
    (0.60, 0.375, 1, True),    # position 0.5 goes up; the tie with digit 1 keeps digit 0
    (0.10, np.nan, 1, True),   # a NaN digit is never probed first: digit 1 goes down
])
def test_probe_direction(point, query, probes, found):
    idx = Index(4, 2, 1, probes, [[0, 1]], [[0.0, 0.0]])
    second = (0.2, 0.26) if np.isnan(query) else (0.625, 0.625)  # digit 1: position 0.04 or 0.5
    idx.build(np.array([[point, second[0]]]), 1)
    assert idx.query_knn(np.array([[query, second[1]]]), 1)[0].tolist() == [[0]]
    st = idx.stats()
    assert (st["cands"], st["relaxed"]) == ((1, 0) if found else (0, 1))
    if not np.isnan(query):  # the radius search never widens
        assert idx.query_radius(np.array([[query, second[1]]]), np.inf)[1].tolist() == [0] * found


@pytest.mark.parametrize("radius", [0.0, -1.0, np.nan, 0.3, np.inf])
@pytest.mark.parametrize("self_join", [False, True])
def test_radius_matches_brute_force_when_everything_is_gathered(radius, self_join):
    rng = np.random.default_rng(3)
    pts = rng.random((25, 2))
    pts[4] = pts[9]
    idx = Index(1, 2, 2, 1, [[0, 1], [1, 0]], rng.random((2, 2)))  # b = 1: a single bucket
    idx.build(pts, 10)
    exclude = np.arange(25) if self_join else None
    indptr, ids, dists = idx.query_radius(pts, radius, exclude_ids=exclude)
    for row, (want_ids, want_d) in enumerate(brute_force(pts, pts, 25, exclude)):
        keep, part = want_d <= F32(radius), slice(indptr[row], indptr[row + 1])
        assert ids[part].tolist() == want_ids[keep].tolist() and np.array_equal(dists[part], want_d[keep])
    assert ids.size == {0.0: 2 if self_join else 27, -1.0: 0}.get(radius, ids.size)
    assert idx.stats()["queries"] == 0


@pytest.mark.parametrize("rows, m, k, cols", [(None, 3, 2, 5), (0, 3, 2, 5), (10, 0, 3, 2), (10, 4, 0, 2)])
def test_empty_index_and_empty_requests(rows, m, k, cols):
    idx = Index(4, 2, 3, 1, [[0, 1]] * 3, np.zeros((3, 2)))
    if rows is not None:
        idx.build(np.random.default_rng(0).random((rows, 2)), rows // 2)
    idx.update(np.zeros((idx.n_candidates, 2)))  # also fine before any build
    ids, dists = idx.query_knn(np.full((m, cols), 0.5), k, exclude_ids=np.arange(m))
    assert ids.shape == dists.shape == (m, k) and ids.dtype == np.int64 and dists.dtype == np.float64
    assert (ids == -1).all() and np.isinf(dists).all() and idx.stats()["relaxed"] == 0
    indptr, rids, _ = idx.query_radius(np.full((m, cols), 0.5), -1.0 if rows else 1.0)
    assert indptr.tolist() == [0] * (m + 1) and rids.size == 0


@pytest.mark.parametrize("call", ["query_knn", "query_radius"])
@pytest.mark.parametrize("cols, exclude, message", [
    (2, [0, 1], "exclude_ids has 2 entries but there are 3 queries"),
    (4, None, "queries have 4 columns but the index holds 2-dimensional points"),
])
def test_query_validation(call, cols, exclude, message):
    idx = Index(4, 2, 1, 1, [[0, 1]], [[0.0, 0.0]])
    idx.build(np.random.default_rng(0).random((10, 2)), 5)
    with pytest.raises(ValueError) as err:
        getattr(idx, call)(np.zeros((3, cols)), 1, exclude_ids=exclude)
    assert str(err.value) == message


def test_stats_count_and_reset():
    idx = Index(1, 1, 2, 0, [[0], [0]], [[0.0], [0.3]], block=77)
    names = ["gather_ns", "refine_ns", "relax_ns", "queries", "cands", "pairs", "relaxed"]
    assert idx.stats() == dict.fromkeys(names, 0) | {"block": 77}
    assert list(idx.tables()) == ["static_keys", "static_ids", "cand_keys", "cand_sorted_keys",
                                  "cand_sorted_ids"]
    idx.build(np.random.default_rng(2).random((9, 1)), 4)
    idx.query_knn(np.zeros((3, 1)), 2, exclude_ids=np.array([0, -1, 50]))
    assert [idx.stats()[n] for n in names[3:]] == [3, 27, 27, 0]
    idx.reset_stats()
    assert list(idx.stats().values()) == [0] * 7 + [77]
