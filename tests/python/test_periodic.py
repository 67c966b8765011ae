"""The periodic index: the reference's answers bit for bit, and a periodic k-d
tree's where the search reaches every point."""

import re

import numpy as np
import pytest
from scipy.spatial import cKDTree

from conftest import assert_same_answer, assert_tables_equal, random_params
from vibrel import ToroidalNN
from vibrel._periodic import PeriodicLshIndex
from vibrel.lsh import PythonLshIndex

BOXES = [(2.0, 1.0, 3.0), (0.7, 10.0, 1.3), (1.0, 1.0, 1.0)]
ONE_BUCKET = (1, 1, 1, 0, np.zeros((1, 1), np.int64), np.zeros((1, 1)))


def on_faces(points, box):
    """Some coordinates exactly 0 and some on the last double below their period."""
    points[:60:2, 1] = 0.0
    points[1:60:2, 2] = np.nextafter(box[2], 0)
    return points


@pytest.mark.parametrize("metric", ["l1", "l2"])
@pytest.mark.parametrize("box", BOXES)
@pytest.mark.parametrize("m", [20, 130])  # the per-query and the blocked path
@pytest.mark.parametrize("b, k", [(4, 6), (2, 3)])  # radius on tiles only with few cells (2^3 per table)
def test_matches_reference_through_epochs(rng, metric, box, m, b, k):
    box = np.array(box)
    params = (b, k, 3, 2, *random_params(rng, b, k, 3, 3))
    native = PeriodicLshIndex(*params, metric=metric, period=box)
    reference = PythonLshIndex(*params, metric=metric, period=box)
    points = on_faces(rng.random((800, 3)) * box, box)
    for index in (native, reference):
        index.build(points, 500)
    queries = rng.random((m, 3)) * box
    for epoch in range(3):
        assert_tables_equal(native, reference)
        assert_same_answer(native.query_knn(queries, 8), reference.query_knn(queries, 8))
        got, want = (index.query_radius(queries, 0.2 * box.min()) for index in (native, reference))
        assert all(np.array_equal(a, z) for a, z in zip(got, want)) and got[1].size > 0
        moved = (points[500:] + rng.normal(0, 0.05 * box, (300, 3))) % box
        for index in (native, reference):
            index.update(moved) if epoch == 0 else index.promote(moved[:40])


@pytest.mark.parametrize("metric, p", [("l1", 1), ("l2", 2)])
@pytest.mark.parametrize("box", BOXES)
def test_exhaustive_search_agrees_with_a_periodic_kd_tree(rng, metric, p, box):
    box = np.array(box)
    points = on_faces(rng.random((3000, 3)) * box, box)
    index = PeriodicLshIndex(*ONE_BUCKET, metric=metric, period=box)
    index.build(points, 2000)
    queries = np.vstack([points[:60], rng.random((100, 3)) * box])
    tree = cKDTree(points, boxsize=box)
    ids, dists = index.query_knn(queries, 10)
    want = tree.query(queries, 10, p=p)[0]
    np.testing.assert_allclose(dists, want, rtol=1e-5, atol=1e-6)
    assert (np.abs(points[ids] - queries[:, None]) <= box).all()
    radius = 0.1 * box.min()
    indptr, found, _ = index.query_radius(queries, radius)
    counts = [len(row) for row in tree.query_ball_point(queries, radius, p=p)]
    assert np.abs(np.diff(indptr) - counts).sum() <= 2  # only float32 rounding at the radius may differ
    assert index.query_radius(queries, -radius)[1].size == 0


@pytest.mark.parametrize("kwargs, build_cols, message", [
    ({"metric": "l3"}, 3, "metric must be 'l1' or 'l2', got 'l3'"),
    ({"period": np.array([1.0, -2.0, 1.0])}, 3, r"period\[1\] = -2.*|every period"),
    ({"period": np.array([1.0, np.nan, 1.0])}, 3, r"period\[1\] = nan.*|every period"),
    ({"period": np.array([np.inf, 1.0, 1.0])}, 3, r"period\[0\] = inf.*|every period"),
    ({"period": np.array([2.0, 1.0])}, 3, "coordinates have 3 columns but the index has 2 periods"),
])
@pytest.mark.parametrize("cls", [PeriodicLshIndex, PythonLshIndex])
def test_bad_metric_and_periods(cls, kwargs, build_cols, message):
    with pytest.raises(ValueError, match=message):
        index = cls(*ONE_BUCKET, **kwargs)
        index.build(np.full((4, build_cols), 0.5), 4)


@pytest.mark.parametrize("metric, p", [("cityblock", 1), ("euclidean", 2), ("l2", 2)])
@pytest.mark.parametrize("period", [(2.0, 1.0, 3.0), 2 * np.pi])
def test_front_in_the_box_units(rng, metric, p, period):
    box = np.broadcast_to(np.asarray(period, dtype=np.float64), (3,))
    points = on_faces(rng.random((4000, 3)) * box, box)
    shifted = points + box * rng.integers(-3, 4, points.shape)  # the same points, other images
    exact = ToroidalNN(10, metric=metric, period=period, recall=1.0).fit(shifted)
    tuned = ToroidalNN(10, metric=metric, period=period, random_state=1).fit(points)
    assert exact.effective_metric_ == tuned.effective_metric_ == ("l1" if p == 1 else "l2")
    tree = cKDTree(points, boxsize=box)
    queries = rng.random((300, 3)) * box
    want = tree.query(queries, 10, p=p)[0]
    np.testing.assert_allclose(exact.kneighbors(queries - box)[0], want, rtol=1e-4, atol=1e-6)
    found = tuned.kneighbors(queries)[0]
    assert np.mean(found <= want[:, -1:] * (1 + 1e-5)) >= min(0.97, tuned.recall_estimate_ - 0.02)
    radius = 0.1 * box.min()
    graph = exact.radius_neighbors_graph(queries, radius, mode="distance")
    assert graph.data.max() <= radius * (1 + 1e-6)
    assert abs(graph.nnz - sum(len(r) for r in tree.query_ball_point(queries, radius, p=p))) <= 2


@pytest.mark.parametrize("kwargs, error", [
    ({"metric": "chebyshev"}, "metric must be one of"),
    ({"period": (1.0, 2.0)}, r"period must be one number or 3 of them"),
    ({"period": 0.0}, "every period must be positive and finite"),
    ({"period": (1.0, np.inf, 1.0)}, "every period must be positive and finite"),
])
def test_front_rejects_bad_metric_and_period(kwargs, error):
    with pytest.raises(ValueError, match=error):
        ToroidalNN(**kwargs).fit(np.full((10, 3), 0.5))


@pytest.mark.parametrize("metric, low, high", [("l1", "1e-30", "1e+30"), ("l2", "1e-15", "1e+15")])
@pytest.mark.parametrize("period", [1e39, 1e300, 1e-40, 1e-300])
def test_periods_single_precision_cannot_hold_are_refused(metric, low, high, period):
    # Unrefused, every distance was inf (even a point's to itself) or 0.
    with pytest.raises(ValueError, match=re.escape(f"between {low} and {high} for metric '{metric}'") + ".* got " +
                       re.escape(f"{period:g}")):
        ToroidalNN(metric=metric, period=(1.0, period, 1.0)).fit(np.full((10, 3), 0.5))
    with pytest.raises(ValueError, match=re.escape(f"period[1] = {period:g} is outside {low} to {high}")):
        PeriodicLshIndex(*ONE_BUCKET, metric=metric, period=np.array([1.0, period, 1.0]))


@pytest.mark.parametrize("metric, edges", [("l1", (1e-30, 1e30)), ("l2", (1e-15, 1e15))])
def test_periods_at_the_edges_of_the_range_answer_right(rng, metric, edges):
    points = rng.random((300, 2))
    exact = ToroidalNN(3, metric=metric, recall=1.0).fit(points)
    for side in edges:
        model = ToroidalNN(3, metric=metric, period=side, recall=1.0).fit(points * side)
        dist, ind = model.kneighbors(points[:20] * side)
        want_dist, want_ind = exact.kneighbors(points[:20])
        np.testing.assert_array_equal(ind, want_ind)
        np.testing.assert_allclose(dist, want_dist * side, rtol=1e-5)


# ------------------------------------------- the tuner's census of a table


def census_rows(rng, b, d):
    """Queries, 8 near neighbours each and others, some of them on bucket
    boundaries (equal margins), mid-bucket and on the wrap-around edge."""
    queries = rng.random((40, d))
    queries[::4] = np.round(queries[::4] * b) / b
    queries[1::4] = (np.floor(queries[1::4] * b) + 0.5) / b  # mid-bucket where unshifted
    neighbours = (np.repeat(queries, 8, axis=0) + (rng.random((320, d)) - 0.5) * 0.6 / b) % 1.0
    others = rng.random((400, d))
    others[::7] = np.round(others[::7] * b) / b
    others[1::7, 0] = np.nextafter(1.0, 0.0)
    return queries, neighbours, others


@pytest.mark.parametrize("b, k", [(2, 9), (3, 7), (7, 4), (1 << 20, 3)])
def test_census_counts_what_the_reference_index_looks_up(rng, b, k):
    from vibrel import _census, _periodic
    d, tables = 5, 2
    queries, neighbours, others = census_rows(rng, b, d)
    s, u = rng.integers(0, d, (tables, k)).astype(np.int64), rng.random((tables, k))
    u[:, ::2] = 0.0
    placed, counted = _periodic.CensusRows(queries, neighbours), _periodic.CensusRows(queries, others)
    places, counts = placed.neighbour_places(s, u, b), counted.probed_cell_counts(s, u, b)
    np.testing.assert_array_equal(places, _census.CensusRows(queries, neighbours).neighbour_places(s, u, b))
    np.testing.assert_array_equal(counts, _census.CensusRows(queries, others).probed_cell_counts(s, u, b))
    # Table by table from the places of the tables before: the same places,
    # whichever neighbours are skipped as found in their own cell already.
    by_table = placed.neighbour_places(s[:1], u[:1], b)
    for t in range(1, tables):
        by_table = placed.neighbour_places(s[t:t + 1], u[t:t + 1], b, by_table)
    np.testing.assert_array_equal(by_table, places)
    start = rng.integers(0, k + 2, places.shape)
    start[::3] = 0
    np.testing.assert_array_equal(placed.neighbour_places(s, u, b, start), np.minimum(start, places))
    np.testing.assert_array_equal(_census.neighbour_places(queries, neighbours, s, u, b, start),
                                  np.minimum(start, places))
    # Before each table, rows whose places are all within `settled` keep them
    # through it; the rest are lowered as without it, in the engine and its
    # twin alike.
    settled = rng.integers(0, k + 2, k)
    settled[::2] = k + 1
    want = start.copy()
    for t in range(tables):
        open_rows = ~(want <= settled).all(axis=1)
        want[open_rows] = np.minimum(want[open_rows], placed.neighbour_places(s[t:t + 1], u[t:t + 1], b)[open_rows])
    assert (want != np.minimum(start, places)).any() and (want != start).any()
    np.testing.assert_array_equal(placed.neighbour_places(s, u, b, start, settled), want)
    np.testing.assert_array_equal(_census.neighbour_places(queries, neighbours, s, u, b, start, settled), want)
    # The rows were copied: changing the caller's arrays changes no answer.
    neighbours += 0.5
    np.testing.assert_array_equal(placed.neighbour_places(s, u, b), places)
    neighbours -= 0.5
    owner = np.repeat(np.arange(len(queries)), 8)
    for digits in range(1, k + 1):  # the index of that many digits: its own keys and probes
        ref = PythonLshIndex(b, digits, tables, digits, s[:, :digits], u[:, :digits])
        nearest, inside = np.full(len(neighbours), k + 1), np.zeros(digits + 1, np.int64)
        for t in range(tables):
            _, looked = ref.query_keys(queries, t)
            same = looked[owner] == ref.hash_points(neighbours)[t][:, None]
            nearest = np.minimum(nearest, np.where(same.any(axis=1), np.argmax(same, axis=1), k + 1))
            inside += (looked[:, :, None] == ref.hash_points(others)[t][None, None, :]).sum(axis=(0, 2))
        np.testing.assert_array_equal(places[:, digits - 1], nearest)
        np.testing.assert_array_equal(counts[digits - 1, :digits + 1], inside)
    assert (places == 0).any() and ((places > 0) & (places <= k)).any()


@pytest.mark.parametrize("change, error, message", [
    (dict(b=1), ValueError, "b must be at least 2"),
    (dict(s=np.array([[0, 9]])), ValueError, r"s must hold columns in \[0, d\)"),
    (dict(u=np.zeros((1, 3))), ValueError, "the same shape"),
    (dict(u=np.array([[0.0, np.inf]])), ValueError, "u must be finite"),
    (dict(b=1 << 40, s=np.array([[0, 1]])), ValueError, "must fit 64 bits"),
    (dict(rows=np.full((8, 3), np.nan)), ValueError, "must be finite"),
    (dict(queries=np.full((4, 3), -np.inf)), ValueError, "must be finite"),
    (dict(rows=np.zeros((7, 3))), ValueError, "the same number of neighbours for every query"),
    (dict(rows=np.zeros((8, 2))), ValueError, "as many columns as queries"),
    (dict(queries=np.zeros((4, 3), np.float32)), TypeError, "not an instance of 'ndarray'"),
    (dict(start=np.zeros((8, 3), np.int64)), ValueError, "one row per neighbour and one column per digit"),
    (dict(start=np.full((8, 2), 4)), ValueError, r"start must hold places in \[0, k_max \+ 1\]"),
    (dict(start=np.full((8, 2), -1)), ValueError, r"start must hold places in \[0, k_max \+ 1\]"),
    (dict(settled=np.zeros(3, np.int64)), ValueError, "settled must have one entry per digit"),
    (dict(settled=np.full(2, 4)), ValueError, r"settled must hold places in \[0, k_max \+ 1\]"),
    (dict(settled=np.zeros((1, 2), np.int64)), TypeError, "not an instance of 'ndarray'"),
])
def test_census_refuses_bad_arguments(change, error, message):
    from vibrel import _periodic
    args = dict(queries=np.zeros((4, 3)), rows=np.zeros((8, 3)), s=np.array([[0, 2]]), u=np.zeros((1, 2)), b=3,
                start=None, settled=None)
    args |= change
    with pytest.raises(error, match=message):
        census = _periodic.CensusRows(args["queries"], args["rows"])
        census.neighbour_places(args["s"], args["u"], args["b"], args["start"], args["settled"])
    if "start" not in change and "settled" not in change and "rows" not in change:  # the counts check the rest alike
        with pytest.raises(error, match=message):
            _periodic.CensusRows(args["queries"], args["rows"]).probed_cell_counts(args["s"], args["u"], args["b"])


@pytest.mark.parametrize("metric, box", [("l1", None), ("l2", None), ("l1", (2.0, 1.0, 3.0)), ("l2", (0.7, 10.0, 1.3))])
@pytest.mark.parametrize("m", [0, 20, 130])  # no rows, the per-query and the blocked path
def test_search_by_ids_is_the_search_of_their_rows(rng, metric, box, m):
    box = np.ones(3) if box is None else np.array(box)
    params = (3, 4, 3, 2, *random_params(rng, 3, 4, 3, 3))
    index = PeriodicLshIndex(*params, metric=metric, period=box)
    reference = PythonLshIndex(*params, metric=metric, period=box)
    points = on_faces(rng.random((900, 3)) * box, box)
    for each in (index, reference):
        each.build(points, 600)
    ids = rng.integers(0, 900, m).astype(np.int64)
    ids[1::7] = ids[:-1:7]  # repeats
    for epoch in range(2):
        got = index.query_knn_ids(ids, 7)
        assert [a.shape for a in got] == [(m, 7), (m, 7)]
        for want in (index.query_knn(points[ids], 7, ids), reference.query_knn(points[ids], 7, ids)):
            assert all(np.array_equal(a, z) for a, z in zip(got, want))
        assert not (got[0] == ids[:, None]).any()
        radius = 0.15 * box.min()
        got, want = index.query_radius_ids(ids, radius), index.query_radius(points[ids], radius, ids)
        assert all(np.array_equal(a, z) for a, z in zip(got, want)) and (m == 0 or got[1].size > 0)
        points[600:] = (points[600:] + rng.normal(0, 0.05 * box, (300, 3))) % box
        for each in (index, reference):
            each.update(points[600:])


@pytest.mark.parametrize("ids, error, message", [
    (np.array([0, 900]), ValueError, "ids[1] = 900 does not name an indexed point (0 to 899)"),
    (np.array([-1]), ValueError, "ids[0] = -1 does not name an indexed point (0 to 899)"),
    (np.array([0.0]), TypeError, "while processing 'ids'"),
    (np.array([[0]]), TypeError, "while processing 'ids'"),
])
def test_search_by_ids_refuses_ids_naming_no_point(rng, ids, error, message):
    index = PeriodicLshIndex(3, 4, 3, 2, *random_params(rng, 3, 4, 3, 3))
    index.build(rng.random((900, 3)), 600)
    tables, before = index.tables(), index.stats()
    for call in (lambda: index.query_knn_ids(ids, 3), lambda: index.query_radius_ids(ids, 0.1)):
        with pytest.raises(error) as raised:
            call()
        assert message in str(raised.value) + " ".join(getattr(raised.value, "__notes__", []))
    assert index.stats() == before
    assert all(np.array_equal(a, index.tables()[name]) for name, a in tables.items())
