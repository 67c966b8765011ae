"""Bad input through the constructor and every method: each call either raises a
clear exception and leaves the index exactly as it was, or (where the input is
legal, however odd) answers as the reference does."""

import json

import numpy as np
import pytest

from conftest import (ENGINES, UNDER_ASAN, assert_same_answer, assert_tables_equal, index_pair, is_panic,
                      random_params, run_python, snapshot)
from vibrel._native import RustLshIndex

D, N, N_STATIC = 3, 60, 40
CONTIGUITY = "The given array is not contiguous or is misaligned."
KIND = "'ndarray' object is not an instance of 'ndarray'"


@pytest.fixture
def pair():
    rng = np.random.default_rng(5)
    native, reference = index_pair(3, 3, 4, 2, *random_params(rng, 3, 3, 4, D), block=8)
    points = rng.random((N, D))
    native.build(points, N_STATIC)
    reference.build(points, N_STATIC)
    return native, reference


def misaligned(shape, dtype=np.float64):
    raw = np.zeros(int(np.prod(shape)) * np.dtype(dtype).itemsize + 1, dtype=np.uint8)
    return raw[1:].view(dtype).reshape(shape)


def float_matrix_cases(rows, cols):
    """(label, bad value, message) for a float64 matrix argument."""
    good = np.random.default_rng(1).random((rows, cols))
    return [
        ("list", good.tolist(), "'list' object is not an instance of 'ndarray'"),
        ("float32", good.astype(np.float32), KIND),
        ("int64", good.astype(np.int64), KIND),
        ("byteswapped", good.astype(">f8"), KIND),
        ("1-d", good.reshape(-1), KIND),
        ("3-d", good.reshape(1, rows, cols), KIND),
        ("0-d", np.array(0.5), KIND),
        ("none", None, "'None' is not an instance of 'ndarray'"),
        ("scalar", 0.5, "'float' object is not an instance of 'ndarray'"),
        ("column view", np.random.default_rng(1).random((rows, 2 * cols))[:, ::2], CONTIGUITY),
        ("reversed rows", np.vstack([good, good])[::-2], CONTIGUITY),
        ("misaligned", misaligned((rows, cols)), CONTIGUITY),
    ]


def method_calls(index):
    """Every method's float matrix argument: the call, the accepted shape, its name."""
    return {
        "build": (lambda x: index.build(x, 3), N, D, "points"),
        "update": (lambda x: index.update(x), index.n_candidates, D, "coords"),
        "promote": (lambda x: index.promote(x), 5, D, "new_candidates"),
        "query_knn": (lambda x: index.query_knn(x, 3), 4, D, "queries"),
        "query_radius": (lambda x: index.query_radius(x, 0.3), 4, D, "queries"),
    }


@pytest.mark.parametrize("method", ["build", "update", "promote", "query_knn", "query_radius"])
@pytest.mark.parametrize("case", range(12))
def test_bad_float_matrices_are_refused_and_change_nothing(pair, method, case):
    native, _ = pair
    before = snapshot(native, D)
    call, rows, cols, name = method_calls(native)[method]
    label, value, message = float_matrix_cases(rows, cols)[case]
    with pytest.raises(TypeError) as info:
        call(value)
    assert str(info.value) == message, label
    notes = getattr(info.value, "__notes__", [])
    assert notes == ([] if message == CONTIGUITY else [f"while processing '{name}'"]), label
    assert snapshot(native, D) == before


# (call, exception, message or None, note or None, the reference raises the same ValueError)
SCALARS_IDS_AND_BINDING = [
    (lambda i, q: i.query_knn(q, -1), OverflowError, None, "k", False),
    (lambda i, q: i.query_knn(q, 2**64), OverflowError, None, "k", False),
    (lambda i, q: i.query_knn(q, 1.5), TypeError, None, "k", False),
    (lambda i, q: i.query_knn(q, None), TypeError, None, "k", False),
    (lambda i, q: i.query_knn(q, 2**40), MemoryError, None, None, False),
    (lambda i, q: i.query_knn(q, 2**62), MemoryError, None, None, False),
    (lambda i, q: i.query_radius(q, "x"), TypeError, None, "radius", False),
    (lambda i, q: i.query_radius(q, 10**400), OverflowError, None, "radius", False),
    (lambda i, q: i.query_radius(q, 1j), TypeError, None, "radius", False),
    (lambda i, q: i.build(q, -1), OverflowError, None, "n_static", False),
    (lambda i, q: i.build(q, 2**64), OverflowError, None, "n_static", False),
    (lambda i, q: i.build(q, 5), ValueError, "n_static (5) is larger than the number of points (4)", None, True),
    (lambda i, q: i.query_knn(q[:, :2].copy(), 3), ValueError,
     "queries have 2 columns but the index holds 3-dimensional points", None, True),
    (lambda i, q: i.query_radius(np.zeros((4, 0)), 0.1), ValueError,
     "queries have 0 columns but the index holds 3-dimensional points", None, True),
    (lambda i, q: i.promote(np.zeros((2, 4))), ValueError,
     "new_candidates have 4 columns but the index holds 3-dimensional points", None, True),
    (lambda i, q: i.promote(np.zeros((0, 4))), ValueError,
     "new_candidates have 4 columns but the index holds 3-dimensional points", None, True),
    (lambda i, q: i.update(np.zeros((i.n_candidates + 1, 3))), "panic",
     "update: coords holds 63 values but the candidate tier needs 60 (n_candidates x d)", None, True),
    (lambda i, q: i.update(np.zeros((1, 59))), "panic",
     "update: coords holds 59 values but the candidate tier needs 60 (n_candidates x d)", None, True),
    (lambda i, q: i.update(np.zeros((0, 3))), "panic", None, None, False),
    (lambda i, q: i.query_knn(q, 3, exclude_ids=np.zeros(4, dtype=np.int32)), TypeError, KIND, "exclude_ids", False),
    (lambda i, q: i.query_knn(q, 3, exclude_ids=np.zeros((4, 1), dtype=np.int64)), TypeError, KIND,
     "exclude_ids", False),
    (lambda i, q: i.query_knn(q, 3, exclude_ids=[0, 1, 2, 3]), TypeError, None, "exclude_ids", False),
    (lambda i, q: i.query_radius(q, 0.2, exclude_ids=np.zeros(8, dtype=np.int64)[::2]), TypeError, CONTIGUITY,
     None, False),
    (lambda i, q: i.query_radius(q, 0.2, exclude_ids=misaligned((4,), np.int64)), TypeError, CONTIGUITY, None,
     False),
    (lambda i, q: i.query_knn(q, 3, exclude_ids=np.zeros(3, dtype=np.int64)), ValueError,
     "exclude_ids has 3 entries but there are 4 queries", None, True),
    (lambda i, q: i.query_radius(q, 0.2, exclude_ids=np.zeros(0, dtype=np.int64)), ValueError,
     "exclude_ids has 0 entries but there are 4 queries", None, True),
    # The length of exclude_ids is checked before the columns of the queries.
    (lambda i, q: i.query_knn(np.zeros((4, 5)), 2, exclude_ids=np.arange(2)), ValueError,
     "exclude_ids has 2 entries but there are 4 queries", None, True),
    (lambda i, q: i.build(), TypeError, "missing required argument 'points'", None, False),
    (lambda i, q: i.build(q), TypeError, "missing required argument 'n_static'", None, False),
    (lambda i, q: i.build(q, 1, n_static=1), TypeError, "multiple values for argument 'n_static'", None, False),
    (lambda i, q: i.build(q, n_stat=1), TypeError, "unexpected keyword argument 'n_stat'", None, False),
    (lambda i, q: i.update(), TypeError, None, None, False),
    (lambda i, q: i.promote(q, q), TypeError, None, None, False),
    (lambda i, q: i.promote(points=q), TypeError, None, None, False),
    (lambda i, q: i.query_knn(q), TypeError, None, None, False),
    (lambda i, q: i.query_knn(q, 3, 4, 5), TypeError, None, None, False),
    (lambda i, q: i.query_knn(q, k=3, queries=q), TypeError, None, None, False),
    (lambda i, q: i.query_radius(q, radius=0.1, bogus=1), TypeError, None, None, False),
    (lambda i, q: i.tables(1), TypeError, "takes no arguments", None, False),
    (lambda i, q: i.stats(None), TypeError, None, None, False),
    (lambda i, q: i.reset_stats(q), TypeError, None, None, False),
]


@pytest.mark.parametrize("call, error, message, note, on_reference", SCALARS_IDS_AND_BINDING)
def test_bad_scalars_ids_and_arguments_raise_clearly_and_change_nothing(pair, call, error, message, note,
                                                                       on_reference):
    native, reference = pair
    queries = np.random.default_rng(3).random((4, D))
    before = snapshot(native, D)
    with pytest.raises(BaseException) as info:
        call(native, queries)
    assert is_panic(info.value) if error == "panic" else type(info.value) is error
    if message is not None:
        assert message in str(info.value)
    assert getattr(info.value, "__notes__", None) == (None if note is None else [f"while processing '{note}'"])
    assert snapshot(native, D) == before
    if on_reference:
        tables = reference.tables()
        with pytest.raises(ValueError, match=None) as info:
            call(reference, queries)
        assert message is None or str(info.value) == message
        assert all(np.array_equal(a, tables[name]) for name, a in reference.tables().items())


GOOD = dict(b=4, k=3, l=2, probes=1, s=np.zeros((2, 3), np.int64), u=np.zeros((2, 3)))


@pytest.mark.parametrize("kwargs, error, message, note", [
    (dict(k=-1), OverflowError, "negative", "k"),
    (dict(l=2**64), OverflowError, "too big", "l"),
    (dict(probes=1.5), TypeError, "float", "probes"),
    (dict(block=None), TypeError, "NoneType", "block"),
    (dict(b="4"), TypeError, "", "b"),
    (dict(s=[[0, 1, 0], [1, 0, 1]]), TypeError, "'list' object is not an instance of 'ndarray'", "s"),
    (dict(s=np.zeros((2, 3), np.int32)), TypeError, KIND, "s"),
    (dict(s=np.zeros((2, 3, 1), np.int64)), TypeError, KIND, "s"),
    (dict(u=np.zeros(6)), TypeError, KIND, "u"),
    (dict(u=None), TypeError, "'None' is not an instance of 'ndarray'", "u"),
    (dict(s=np.zeros((2, 6), np.int64)[:, ::2]), TypeError, CONTIGUITY, None),
    (dict(s=np.zeros((5, 5), np.int64), u=np.zeros((5, 5)), block=-1), OverflowError, "", "block"),  # before shapes
    (dict(s=np.zeros((3, 2), np.int64), u=np.zeros((3, 2))), ValueError, "S and U must have shape (L, K)", None),
    (dict(u=np.zeros((2, 4))), ValueError, "S and U must have shape (L, K)", None),
    (dict(s=np.zeros((2, 2), np.int64)), ValueError, "S and U must have shape (L, K)", None),
    (dict(extra=1), TypeError, "", None),
])
def test_constructor_refusals(kwargs, error, message, note):
    args = dict(GOOD, **kwargs)
    with pytest.raises(error) as info:
        RustLshIndex(**args)
    assert message in str(info.value)
    assert getattr(info.value, "__notes__", None) == (None if note is None else [f"while processing '{note}'"])
    if error is ValueError:
        with pytest.raises(ValueError, match=r"^S and U must have shape \(L, K\)$"):
            ENGINES["reference"](**args)


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("b, k, l, s_value, message", [
    (0, 3, 2, 0, "b must be at least 1, got 0"),
    (-5, 3, 2, 0, "b must be at least 1, got -5"),
    (3, 0, 2, 0, "k must be at least 1"),
    (3, 3, 0, 0, "l must be at least 1"),
    (2, 63, 2, 0, "b**k = 2**63 does not fit in a signed 64-bit key"),
    (2**40, 2, 2, 0, "b**k = 1099511627776**2 does not fit in a signed 64-bit key"),
    (3, 3, 2, D, f"s[0, 0] = {D} is not a column of points with {D} columns"),
    (3, 3, 2, -1, f"s[0, 0] = -1 is not a column of points with {D} columns"),
])
def test_parameters_the_constructor_accepts_but_build_refuses(engine, b, k, l, s_value, message):
    index = ENGINES[engine](b, k, l, 2, np.full((l, k), s_value, dtype=np.int64), np.zeros((l, k)))
    points = np.random.default_rng(6).random((80, D))
    with pytest.raises(ValueError) as info:
        index.build(points, 50)
    assert str(info.value) == message
    with pytest.raises(ValueError, match="^promote needs a built index; call build first$"):
        index.promote(points)
    assert index.n_points == 0 and all(a.shape == (l, 0) for a in index.tables().values())
    # The never-built index answers with padding only, on both kNN paths.
    for rows in (points[:5], points[:70]):
        ids, dists = index.query_knn(rows, 3)
        assert (ids == -1).all() and np.isinf(dists).all()
    indptr, ids, _ = index.query_radius(points[:70], 0.5)
    assert not indptr.any() and ids.size == 0


class Sub(np.ndarray):
    pass


@pytest.mark.parametrize("method", ["build", "update", "promote", "query_knn", "query_radius"])
@pytest.mark.parametrize("layout", ["fortran", "subclass", "negative strides copied", "readonly", "native alias",
                                    "one row"])
def test_odd_but_valid_layouts_agree_with_the_reference(pair, method, layout):
    native, reference = pair
    _, rows, cols, _ = method_calls(native)[method]
    value = np.random.default_rng(2).random((rows, cols))
    given = {
        "fortran": lambda: np.asfortranarray(value),
        "subclass": lambda: value.view(Sub),
        "negative strides copied": lambda: np.ascontiguousarray(value[::-1, ::-1]),
        "readonly": lambda: np.require(value, requirements="C").copy(),
        "native alias": lambda: value.astype("<f8"),
        "one row": lambda: value.reshape(1, -1) if method == "update" else value.copy(),
    }[layout]()
    given.flags.writeable = layout != "readonly"
    value = np.array(given).reshape(value.shape) if method != "update" else np.array(given)
    got = method_calls(native)[method][0](given)
    want = method_calls(reference)[method][0](value)
    if got is None:
        assert want is None
        assert_tables_equal(native, reference)
    else:
        assert_same_answer(got, want, radius=0.3 if method == "query_radius" else None)


def test_empty_points_pass_whatever_their_flags():
    index = RustLshIndex(**GOOD)
    index.build(np.zeros((0, 4))[:, ::2], 0)
    assert index.n_points == 0 and index.tables()["static_keys"].shape == (2, 0)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # the reference's NumPy casts of inf and nan
@pytest.mark.parametrize("fill", [np.nan, np.inf, -np.inf, 1e300, -1e300, 5.0, -0.0, -1e-20])
def test_non_finite_and_far_coordinates_agree_with_the_reference(fill):
    rng = np.random.default_rng(8)
    native, reference = index_pair(3, 3, 4, 2, *random_params(rng, 3, 3, 4, D), block=4)
    points = rng.random((40, D))
    points[::7, 1] = fill
    for index in (native, reference):
        index.build(points, 25)
    assert_tables_equal(native, reference)
    coords, batch = rng.random((15, D)), rng.random((6, D))
    coords[::3], batch[1] = fill, fill
    for index in (native, reference):
        index.update(coords)
        index.promote(batch)
    assert_tables_equal(native, reference)
    queries = rng.random((70, D))
    queries[::5, 0] = fill
    excluded = np.arange(70, dtype=np.int64)
    for rows in (queries[:9], queries):
        assert_same_answer(native.query_knn(rows, 6, excluded), reference.query_knn(rows, 6, excluded))
    for radius in (0.5, np.inf, np.nan):
        assert_same_answer(native.query_radius(queries, radius), reference.query_radius(queries, radius), radius)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # the reference rounding 1e300 to float32
@pytest.mark.parametrize("probes, block", [(2, 8), (0, 0), (2**63, 2**64 - 1), (5, 63), (5, 64)])
@pytest.mark.parametrize("call", [
    *(lambda i, q, e, radius=radius: (i.query_radius(q[:9], radius), radius)
      for radius in (0, -1, -np.inf, np.inf, np.nan, 1e300, 1e-45, True, np.float32(0.25), np.int64(1))),
    *(lambda i, q, e, k=k: (i.query_knn(q[:9], k, e), None) for k in (0, 1, 5, N + 3)),
    lambda i, q, e: (i.query_knn(q, 4, e), None),
    lambda i, q, e: (i.query_radius(q, 0.3, e), 0.3),
], ids=[f"radius {r}" for r in "0 -1 -inf inf nan 1e300 1e-45 True float32 int64".split()]
    + [f"k {k}" for k in (0, 1, 5, N + 3)] + ["blocked knn", "radius excluding"])
def test_odd_values_agree_with_the_reference(probes, block, call):
    """Radii of every kind, k beyond the points, excluded ids out of range or
    past the queries, extreme probes and blocks: answered as the reference does."""
    rng = np.random.default_rng(7)
    native, reference = index_pair(3, 3, 3, probes, *random_params(rng, 3, 3, 3, D), block=block)
    points = rng.random((N, D))
    for index in (native, reference):
        index.build(points, N_STATIC)
    queries = rng.random((70, D))  # excluded ids: a longer vector, in range and out of it
    excluded = rng.choice(np.array([-1, -2**63, N, 2**63 - 1, 10**12, 0, 5, N - 1]), 75)
    got, radius = call(native, queries, excluded)
    assert_same_answer(got, call(reference, queries, excluded)[0], radius)
    assert native.stats()["block"] == block


@pytest.mark.skipif(UNDER_ASAN, reason="an address-space limit leaves no room for the sanitizer's shadow memory")
def test_memory_failures_leave_the_index_as_it_was():
    """Under an address-space limit that grows step by step until the call goes
    through, build, update and promote fail with MemoryError at the successive
    stages of their work. Every failure leaves the index as it was: a twin that
    made the same calls without a limit answers the same, queries included
    (which show the stored coordinates that tables() does not export)."""
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
        queries = rng.random((80, 4))

        def mapped():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[0]) * page

        def same():
            a, b = native.tables(), twin.tables()
            return (all(np.array_equal(a[n], b[n]) for n in a) and native.n_points == twin.n_points
                    and all(np.array_equal(x, y) for x, y in zip(native.query_knn(queries, 5),
                                                                 twin.query_knn(queries, 5))))

        report = {}
        coords = (points[30_000:] + rng.uniform(-0.01, 0.01, (30_000, 4))) % 1.0
        for method, args in (("update", (coords,)), ("promote", (rng.random((10, 4)),)),
                             ("build", (rng.random((90_000, 4)), 50_000))):
            failures, kept, headroom = 0, True, 0
            while headroom < 200 << 20:
                resource.setrlimit(resource.RLIMIT_AS, (mapped() + headroom, hard))
                try:
                    getattr(native, method)(*args)
                    break
                except MemoryError:
                    failures += 1
                finally:
                    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
                kept = kept and same()
                headroom += 1 << 20
            getattr(twin, method)(*args)
            report[method] = [failures, kept, same()]
        print(json.dumps(report))
    """
    report = json.loads(run_python(code))
    for method in ("update", "promote", "build"):
        failures, unchanged_after_failures, equal_after_success = report[method]
        assert failures >= 3 and unchanged_after_failures and equal_after_success, report
