"""Tier maintenance: update (selective refresh) and promote, the compiled index
against the NumPy reference table for table, the tie-break rules on hand-made
tables, failures that must leave the index as it was, and queries after
maintenance."""

import gc
import inspect
import json
import sys
import threading

import numpy as np
import pytest

from conftest import TABLE_NAMES, UNDER_ASAN, assert_tables_equal, index_pair, random_params, run_python
from vibrel._native import RustLshIndex
from vibrel.lsh import PythonLshIndex

HAS_QUERIES = hasattr(RustLshIndex, "query_knn")
IMPLEMENTATIONS = [
    "reference",
    pytest.param("native", marks=pytest.mark.skipif(not HAS_QUERIES, reason="the engine has no queries yet")),
]


def at(*buckets):
    """1-D points inside the given buckets of an 8-bucket digit: with one unshifted
    digit a point's key is its bucket. Bucket v + f (0 <= f < 0.5) stays in v."""
    return ((np.array(buckets, dtype=np.float64) + 0.5) / 8).reshape(-1, 1)


def eight_buckets(kind):
    cls = RustLshIndex if kind == "native" else PythonLshIndex
    return cls(8, 1, 1, 0, np.zeros((1, 1), dtype=np.int64), np.zeros((1, 1)))


def rows(index, name):
    return index.tables()[name].tolist()


def is_panic(error):
    return type(error).__name__ == "PanicException" and not isinstance(error, Exception)


# ---------------------------------------------------------------- tie-breaks

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


@pytest.mark.parametrize("kind", ["native", "reference"])
@pytest.mark.parametrize("case", TIE_BREAKS)
def test_update_tie_breaks(kind, case):
    start, moves, keys, ids = TIE_BREAKS[case]
    index = eight_buckets(kind)
    index.build(np.vstack([at(0, 7), at(*start)]), 2)
    for move in moves:
        index.update(at(*move))
    assert rows(index, "cand_sorted_keys") == [keys] and rows(index, "cand_sorted_ids") == [ids]
    assert rows(index, "cand_keys") == [[int(v) for v in moves[-1]]]
    assert rows(index, "static_ids") == [[0, 1]]


@pytest.mark.parametrize("kind", ["native", "reference"])
def test_promote_tie_breaks_and_ids(kind):
    index = eight_buckets(kind)
    index.build(at(5, 5, 2, 5, 5, 3), 3)        # static ids 0, 1 (key 5), 2 (key 2)
    index.update(at(5, 5, 5))                    # candidate 5 joins key 5 first: run ids [5, 3, 4]
    index.promote(at(6, 1))
    assert rows(index, "static_keys") == [[2, 5, 5, 5, 5, 5]]
    assert rows(index, "static_ids") == [[2, 5, 3, 4, 0, 1]]  # candidates in run order, then static
    assert rows(index, "cand_keys") == [[6, 1]] and rows(index, "cand_sorted_ids") == [[7, 6]]
    assert (index.n_points, index.n_static, index.n_candidates) == (8, 6, 2)

    index.promote(np.zeros((0, 1)))              # an empty batch: everything becomes static
    assert rows(index, "static_ids") == [[7, 2, 5, 3, 4, 0, 1, 6]] and index.n_candidates == 0
    assert all(index.tables()[name].shape == (1, 0) for name in TABLE_NAMES[2:])
    index.promote(at(5))                          # an empty candidate tier: static runs stay
    assert rows(index, "static_ids") == [[7, 2, 5, 3, 4, 0, 1, 6]]
    assert rows(index, "cand_sorted_ids") == [[8]] and index.n_static == 8


# ------------------------------------------------ random sequences vs reference

CONFIGS = {  # b, k, l, d, n, n_static, step
    "epoch shape": (4, 9, 8, 16, 3000, 2700, 0.002),
    "coarse buckets": (2, 3, 4, 2, 400, 250, 0.05),
    "one bucket": (1, 2, 3, 2, 200, 120, 0.1),
    "no offsets": (8, 9, 3, 5, 600, 300, 0.01),
    "no static tier": (3, 4, 2, 3, 300, 0, 0.05),
}


def with_coinciding_points(rng, points, n_static):
    """Copies some rows over others: candidates that coincide with each other
    and with static points, so that equal-key groups mix both tiers."""
    n = len(points)
    if n - n_static < 4:
        return points
    targets = rng.integers(n_static, n, size=(n - n_static) // 4)
    points[targets] = points[rng.integers(0, n, size=targets.size)]
    return points


def moved(rng, coords, step):
    return (coords + rng.uniform(-step, step, coords.shape)) % 1.0


@pytest.mark.parametrize("config", CONFIGS)
def test_random_sequences_match_reference(config, rng):
    b, k, l, d, n, n_static, step = CONFIGS[config]
    native, reference = index_pair(b, k, l, 1, *random_params(rng, b, k, l, d))
    for index in (native, reference):
        index.update(np.zeros((0, d)))  # before any build: an empty candidate tier
    assert_tables_equal(native, reference)

    points = with_coinciding_points(rng, rng.random((n, d)), n_static)
    native.build(points, n_static)
    reference.build(points, n_static)
    # After each promote the batch sizes of the schedule come in turn; 0 makes an
    # empty batch, and a promote right after it finds an empty candidate tier.
    schedule = iter([n // 10, 0, 0, n // 20])
    changed_rows = 0
    for epoch in range(12):
        cand = points[native.n_static:]
        if epoch % 4 != 3:
            cand = moved(rng, cand, step)
            cand[1::7] = cand[::7][: len(cand[1::7])]  # pairs that coincide and move together
        before = native.tables()["cand_keys"]
        for index in (native, reference):
            index.update(cand.copy())
        after = native.tables()["cand_keys"]
        changed_rows += int((before != after).any(axis=1).sum())
        points[native.n_static:] = cand
        assert_tables_equal(native, reference)
        if epoch % 3 == 2:
            batch = with_coinciding_points(rng, rng.random((next(schedule), d)), 0)
            for index in (native, reference):
                index.promote(batch)
            points = np.vstack([points, batch])
            assert_tables_equal(native, reference)
        assert (native.n_points, native.n_static) == (reference.n_points, reference.n_static)
    if b > 1:
        assert changed_rows > 0  # the moves did re-place entries, not only replay them


def test_coords_of_another_shape_or_order_are_read_row_by_row(rng):
    s, u = random_params(rng, 4, 5, 3, 3)
    native, reference = index_pair(4, 5, 3, 1, s, u)
    points = rng.random((50, 3))
    native.build(points, 20)
    reference.build(points, 20)
    cand = moved(rng, points[20:], 0.05)
    native.update(np.asfortranarray(cand))
    reference.update(cand)
    assert_tables_equal(native, reference)
    cand = moved(rng, cand, 0.05)
    native.update(cand.reshape(1, -1))
    reference.update(cand)
    assert_tables_equal(native, reference)
    batch = rng.random((7, 3))
    native.promote(np.asfortranarray(batch))
    reference.promote(batch)
    assert_tables_equal(native, reference)


def test_tables_do_not_depend_on_the_pool_size():
    code = """
        import hashlib, numpy as np
        from vibrel._native import RustLshIndex
        rng = np.random.default_rng(5)
        index = RustLshIndex(3, 6, 8, 1, rng.integers(0, 4, (8, 6)), rng.random((8, 6)))
        points = rng.random((6000, 4))
        index.build(points, 4000)
        digest = hashlib.sha256()
        for epoch in range(6):
            cand = (points[index.n_static:] + rng.uniform(-0.02, 0.02, (index.n_candidates, 4))) % 1.0
            points[index.n_static:] = cand
            index.update(cand)
            if epoch % 2:
                batch = rng.random((1500, 4))
                index.promote(batch)
                points = np.vstack([points, batch])
            for array in index.tables().values():
                digest.update(array.tobytes())
        print(digest.hexdigest())
    """
    assert run_python(code, threads=1) == run_python(code, threads=2)


# ------------------------------------------------------------------ failures

@pytest.mark.parametrize("extra", [-1, 1, -75])
def test_update_with_the_wrong_element_count_changes_nothing(extra, rng):
    native, reference = index_pair(4, 3, 2, 1, *random_params(rng, 4, 3, 2, 3))
    points = rng.random((40, 3))
    cand = moved(rng, points[15:], 0.1)
    for index in (native, reference):
        index.build(points, 15)
        index.update(cand)
    before = native.tables()
    message = (f"update: coords holds {75 + extra} values but the candidate tier needs 75 "
               f"(n_candidates x d)")
    with pytest.raises(BaseException) as error:
        native.update(np.zeros((1, 75 + extra)))
    assert is_panic(error.value) and str(error.value) == message
    with pytest.raises(ValueError) as ref_error:
        reference.update(np.zeros((1, 75 + extra)))
    assert str(ref_error.value) == message
    assert_tables_equal(native, reference)
    assert all(np.array_equal(before[name], native.tables()[name]) for name in TABLE_NAMES)
    assert native.n_candidates == 25


@pytest.mark.parametrize("built, batch, message", [
    (False, np.zeros((2, 3)), "promote needs a built index; call build first"),
    (False, np.zeros((0, 3)), "promote needs a built index; call build first"),
    (True, np.zeros((2, 2)), "new_candidates have 2 columns but the index holds 3-dimensional points"),
    (True, np.zeros((0, 4)), "new_candidates have 4 columns but the index holds 3-dimensional points"),
])
def test_promote_refusals_change_nothing(built, batch, message, rng):
    native, reference = index_pair(4, 3, 2, 1, *random_params(rng, 4, 3, 2, 3))
    if built:
        points = rng.random((30, 3))
        native.build(points, 10)
        reference.build(points, 10)
    before = native.tables()
    for index in (native, reference):
        with pytest.raises(ValueError) as error:
            index.promote(batch)
        assert str(error.value) == message
    assert all(np.array_equal(before[name], native.tables()[name]) for name in TABLE_NAMES)
    assert_tables_equal(native, reference)
    assert native.n_points == (30 if built else 0)


@pytest.mark.parametrize("method, name", [("update", "coords"), ("promote", "new_candidates")])
@pytest.mark.parametrize("argument, message", [
    ([[0.5]], "'list' object is not an instance of 'ndarray'"),
    (np.zeros((2, 1), dtype=np.float32), "'ndarray' object is not an instance of 'ndarray'"),
    (np.zeros(2), "'ndarray' object is not an instance of 'ndarray'"),
    (None, "'None' is not an instance of 'ndarray'"),
])
def test_conversion_errors_name_the_parameter(method, name, argument, message):
    index = eight_buckets("native")
    index.build(at(1, 2, 3), 1)
    with pytest.raises(TypeError) as error:
        getattr(index, method)(argument)
    assert str(error.value) == message and error.value.__notes__ == [f"while processing '{name}'"]
    assert rows(index, "cand_sorted_ids") == [[1, 2]]


@pytest.mark.parametrize("method", ["update", "promote"])
def test_strided_arrays_are_refused_and_keywords_bind(method):
    index = eight_buckets("native")
    index.build(at(1, 2, 3), 1)
    wide = np.zeros((2, 2))
    with pytest.raises(TypeError) as error:
        getattr(index, method)(wide[:, ::2])
    assert str(error.value) == "The given array is not contiguous or is misaligned."
    assert not getattr(error.value, "__notes__", None)
    with pytest.raises(TypeError):
        getattr(index, method)()
    with pytest.raises(TypeError):
        getattr(index, method)(at(1, 2), at(1, 2))
    with pytest.raises(TypeError):
        getattr(index, method)(points=at(1, 2))
    keyword = {"update": "coords", "promote": "new_candidates"}[method]
    getattr(index, method)(**{keyword: at(4, 6)})
    assert index.n_candidates == 2 and index.n_points == (3 if method == "update" else 5)


def test_signatures_and_docstrings():
    assert RustLshIndex.update.__text_signature__ == "($self, coords)"
    assert RustLshIndex.promote.__text_signature__ == "($self, new_candidates)"
    assert list(inspect.signature(RustLshIndex.promote).parameters) == ["self", "new_candidates"]
    assert RustLshIndex.update.__doc__ == ("Selective refresh: re-place only entries whose key changed, by\n"
                                           "delete + merge (new-before-kept on equal keys).")
    assert RustLshIndex.promote.__doc__ == ("Merge candidates into the static tier (candidate-before-static on\n"
                                            "equal keys), then install the new batch.")


def test_arguments_are_not_leaked():
    index = eight_buckets("native")
    index.build(at(1, 2, 3, 4), 2)
    coords, wrong, batch = at(3, 4), at(1, 2, 3), np.zeros((0, 1))
    counts = [sys.getrefcount(a) for a in (coords, wrong, batch)]
    for _ in range(200):
        index.update(coords)
        with pytest.raises(BaseException):
            index.update(wrong)
    for _ in range(200):
        index.promote(batch)
    gc.collect()
    assert [sys.getrefcount(a) for a in (coords, wrong, batch)] == counts


@pytest.mark.parametrize("method", ["update", "promote"])
def test_the_lock_is_released_and_the_index_borrowed_meanwhile(method, rng):
    """While a large update or promote runs, another Python thread keeps running
    and finds the index mutably borrowed."""
    index = RustLshIndex(4, 9, 8, 1, rng.integers(0, 16, (8, 9)), rng.random((8, 9)))
    points = rng.random((300_000, 16))
    index.build(points, 150_000)
    argument = moved(rng, points[150_000:], 0.01) if method == "update" else rng.random((10, 16))
    seen = set()
    for _ in range(3):
        started = threading.Event()

        def work():
            started.set()
            getattr(index, method)(argument)

        worker = threading.Thread(target=work)
        worker.start()
        started.wait()
        while worker.is_alive():
            try:
                index.n_points
            except RuntimeError as error:
                seen.add(str(error))
        worker.join()
        if seen:
            break
    assert seen == {"Already mutably borrowed"}


@pytest.mark.skipif(UNDER_ASAN, reason="an address-space limit leaves no room for the sanitizer's shadow memory")
def test_memory_failures_leave_the_index_as_it_was():
    """Under an address-space limit that grows step by step until the call goes
    through, update and promote fail with MemoryError at the successive stages
    of their work. Every failure leaves the tables and sizes as they were; the
    operations that follow (and queries, once they exist) show that the
    coordinates, which tables() does not export, stayed intact too. The twin
    index makes the same calls without a limit."""
    code = """
        import ctypes, json, resource
        import numpy as np
        from vibrel._native import RustLshIndex
        # A fixed threshold: every large block is mapped on its own and returned
        # on release, so the limit bites where the engine allocates.
        ctypes.CDLL(None).mallopt(-3, 1 << 17)
        rng = np.random.default_rng(3)
        params = (4, 7, 8, 1, rng.integers(0, 4, (8, 7)), rng.random((8, 7)))
        native, twin = RustLshIndex(*params), RustLshIndex(*params)
        points = rng.random((60_000, 4))
        for index in (native, twin):
            index.build(points, 30_000)
        page = resource.getpagesize()
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)

        def mapped():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[0]) * page

        def same():
            a, b = native.tables(), twin.tables()
            return all(np.array_equal(a[n], b[n]) for n in a) and native.n_points == twin.n_points

        report = {}
        coords = (points[30_000:] + rng.uniform(-0.01, 0.01, (30_000, 4))) % 1.0
        for method, argument in (("update", coords), ("promote", rng.random((10, 4)))):
            failures, kept, headroom = 0, True, 0
            while headroom < 100 << 20:
                resource.setrlimit(resource.RLIMIT_AS, (mapped() + headroom, hard))
                try:
                    getattr(native, method)(argument)
                    break
                except MemoryError:
                    failures += 1
                finally:
                    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
                kept = kept and same()
                headroom += 1 << 20
            getattr(twin, method)(argument)
            report[method] = [failures, kept, same()]
        extra, queries, new_coords = rng.random((500, 4)), rng.random((50, 4)), rng.random((10, 4))
        for index in (native, twin):
            index.update(new_coords)
            index.promote(extra)
        agree = same()
        if hasattr(native, "query_knn"):
            got, want = native.query_knn(queries, 5), twin.query_knn(queries, 5)
            agree = agree and all(np.array_equal(a, b) for a, b in zip(got, want))
        report["afterwards"] = agree
        print(json.dumps(report))
    """
    report = json.loads(run_python(code))
    for method in ("update", "promote"):
        failures, unchanged_after_failures, equal_after_success = report[method]
        assert failures >= 3 and unchanged_after_failures and equal_after_success, report
    assert report["afterwards"], report


# --------------------------------------------------- queries after maintenance

@pytest.mark.parametrize("kind", IMPLEMENTATIONS)
def test_queries_after_maintenance_match_a_fresh_build(kind, rng):
    """The order of entries inside a key group never changes an answer: after
    updates and promotes, both queries answer as an index built afresh over the
    same points with the same tier split."""
    cls = RustLshIndex if kind == "native" else PythonLshIndex
    b, k, l, d = 3, 4, 4, 3
    s, u = random_params(rng, b, k, l, d)
    index = cls(b, k, l, 1, s, u)
    points = with_coinciding_points(rng, rng.random((600, d)), 400)
    index.build(points, 400)
    for epoch in range(6):
        cand = moved(rng, points[index.n_static:], 0.03)
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
        (index.query_knn(queries, 7, exclude_ids=exclude), fresh.query_knn(queries, 7, exclude_ids=exclude)),
        (index.query_radius(queries, 0.3), fresh.query_radius(queries, 0.3)),
    ]:
        for a, b_ in zip(got, want):
            assert np.array_equal(a, b_)
