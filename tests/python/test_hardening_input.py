"""Bad input through every method: each call either raises a clear exception and
leaves the index exactly as it was, or (where the input is legal, however odd)
agrees with the reference. Never a crash, a hang or a silent wrong answer."""

import numpy as np
import pytest

from conftest import assert_tables_equal, index_pair, random_params
from vibrel._native import RustLshIndex

D, N, N_STATIC = 3, 60, 40
CONTIGUITY = "The given array is not contiguous or is misaligned."
COUNTERS = ("queries", "cands", "pairs", "relaxed")


def is_panic(error):
    return type(error).__name__ == "PanicException" and not isinstance(error, Exception)


@pytest.fixture
def pair():
    rng = np.random.default_rng(5)
    s, u = random_params(rng, 3, 3, 4, D)
    native, reference = index_pair(3, 3, 4, 2, s, u, block=8)
    points = rng.random((N, D))
    native.build(points, N_STATIC)
    reference.build(points, N_STATIC)
    return native, reference


def snapshot(index):
    """Everything a caller can see of an index, counters included."""
    tables = {name: array.tobytes() for name, array in index.tables().items()}
    stats = {key: index.stats()[key] for key in COUNTERS}
    probe = np.random.default_rng(99).random((70, D))
    seen = [a.tobytes() for a in index.query_knn(probe, 4) + index.query_radius(probe, 0.4)]
    index.reset_stats()
    return tables, stats, index.n_points, index.n_static, index.n_candidates, seen


def same_answer(got, want):
    """Same ids and CSR layout; distances equal up to the last float32 bit, since
    the engine's distance kernels may group the additions differently."""
    *exact, dists = got
    *exact_want, dists_want = want
    assert [a.tobytes() for a in exact] == [np.asarray(a).tobytes() for a in exact_want]
    assert np.allclose(dists, dists_want, rtol=2.5e-7, atol=0, equal_nan=True)
    assert np.array_equal(np.isnan(dists), np.isnan(dists_want))


def misaligned(shape, dtype=np.float64):
    raw = np.zeros(int(np.prod(shape)) * np.dtype(dtype).itemsize + 1, dtype=np.uint8)
    array = raw[1:].view(dtype).reshape(shape)
    assert not array.flags.aligned
    return array


class Sub(np.ndarray):
    pass


def float_matrix_cases(rows, cols):
    """(label, bad value, exception type, message or None) for a float64 matrix argument."""
    good = np.random.default_rng(1).random((rows, cols))
    return [
        ("list", good.tolist(), TypeError, "'list' object is not an instance of 'ndarray'"),
        ("float32", good.astype(np.float32), TypeError, "'ndarray' object is not an instance of 'ndarray'"),
        ("int64", good.astype(np.int64), TypeError, "'ndarray' object is not an instance of 'ndarray'"),
        ("byteswapped", good.astype(">f8"), TypeError, "'ndarray' object is not an instance of 'ndarray'"),
        ("1-d", good.reshape(-1), TypeError, "'ndarray' object is not an instance of 'ndarray'"),
        ("3-d", good.reshape(1, rows, cols), TypeError, "'ndarray' object is not an instance of 'ndarray'"),
        ("0-d", np.array(0.5), TypeError, "'ndarray' object is not an instance of 'ndarray'"),
        ("none", None, TypeError, "'None' is not an instance of 'ndarray'"),
        ("scalar", 0.5, TypeError, "'float' object is not an instance of 'ndarray'"),
        ("column view", np.random.default_rng(1).random((rows, 2 * cols))[:, ::2], TypeError, CONTIGUITY),
        ("reversed rows", good[::-1] if rows > 1 else np.vstack([good, good])[::-2], TypeError, CONTIGUITY),
        ("misaligned", misaligned((rows, cols)), TypeError, CONTIGUITY),
    ]


def method_calls(index):
    """Every method's float matrix argument with the shape it would accept."""
    n_cand = index.n_candidates
    return {
        "build": (lambda x: index.build(x, 3), N, D, "points"),
        "update": (lambda x: index.update(x), n_cand, D, "coords"),
        "promote": (lambda x: index.promote(x), 5, D, "new_candidates"),
        "query_knn": (lambda x: index.query_knn(x, 3), 4, D, "queries"),
        "query_radius": (lambda x: index.query_radius(x, 0.3), 4, D, "queries"),
    }


@pytest.mark.parametrize("method", ["build", "update", "promote", "query_knn", "query_radius"])
@pytest.mark.parametrize("case", range(12))
def test_bad_float_matrices_are_refused_and_change_nothing(pair, method, case):
    native, _ = pair
    before = snapshot(native)
    call, rows, cols, name = method_calls(native)[method]
    label, value, error, message = float_matrix_cases(rows, cols)[case]
    with pytest.raises(error) as info:
        call(value)
    assert str(info.value) == message, label
    notes = getattr(info.value, "__notes__", [])
    assert notes == ([] if message == CONTIGUITY else [f"while processing '{name}'"]), label
    assert snapshot(native) == before


@pytest.mark.parametrize("method", ["build", "update", "promote", "query_knn", "query_radius"])
@pytest.mark.parametrize("layout", ["fortran", "subclass", "negative strides copied", "readonly"])
def test_odd_but_valid_layouts_agree_with_the_reference(pair, method, layout):
    native, reference = pair
    _, rows, cols, _ = method_calls(native)[method]
    value = np.random.default_rng(2).random((rows, cols))
    if layout == "fortran":
        given = np.asfortranarray(value)
    elif layout == "subclass":
        given = value.view(Sub)
    elif layout == "negative strides copied":
        given = np.ascontiguousarray(value[::-1])
        value = given.copy()
    else:
        given = value.copy()
        given.flags.writeable = False
    got = method_calls(native)[method][0](given)
    want = method_calls(reference)[method][0](value)
    if got is None:
        assert want is None
        assert_tables_equal(native, reference)
    else:
        same_answer(got, want)


@pytest.mark.parametrize("call, error, message", [
    (lambda i, q: i.query_knn(q, -1), OverflowError, None),
    (lambda i, q: i.query_knn(q, 2**64), OverflowError, None),
    (lambda i, q: i.query_knn(q, 1.5), TypeError, None),
    (lambda i, q: i.query_knn(q, "3"), TypeError, None),
    (lambda i, q: i.query_knn(q, None), TypeError, None),
    (lambda i, q: i.query_knn(q, 2**40), MemoryError, None),
    (lambda i, q: i.query_knn(q, 2**62), MemoryError, None),
    (lambda i, q: i.query_radius(q, "x"), TypeError, None),
    (lambda i, q: i.query_radius(q, None), TypeError, None),
    (lambda i, q: i.query_radius(q, 10**400), OverflowError, None),
    (lambda i, q: i.query_radius(q, 1j), TypeError, None),
    (lambda i, q: i.build(q, -1), OverflowError, None),
    (lambda i, q: i.build(q, 2**64), OverflowError, None),
    (lambda i, q: i.build(q, 5), ValueError, "n_static (5) is larger than the number of points (4)"),
    (lambda i, q: i.query_knn(q[:, :2].copy(), 3), ValueError,
     "queries have 2 columns but the index holds 3-dimensional points"),
    (lambda i, q: i.query_radius(np.zeros((4, 0)), 0.1), ValueError,
     "queries have 0 columns but the index holds 3-dimensional points"),
    (lambda i, q: i.promote(np.zeros((2, 4))), ValueError,
     "new_candidates have 4 columns but the index holds 3-dimensional points"),
    (lambda i, q: i.update(np.zeros((i.n_candidates + 1, 3))), "panic",
     "update: coords holds 63 values but the candidate tier needs 60 (n_candidates x d)"),
    (lambda i, q: i.update(np.zeros((0, 3))), "panic", None),
    (lambda i, q: i.query_knn(q, 3, exclude_ids=np.zeros(3, dtype=np.int32)), TypeError, None),
    (lambda i, q: i.query_knn(q, 3, exclude_ids=np.zeros((4, 1), dtype=np.int64)), TypeError, None),
    (lambda i, q: i.query_knn(q, 3, exclude_ids=[0, 1, 2, 3]), TypeError, None),
    (lambda i, q: i.query_radius(q, 0.2, exclude_ids=np.zeros(8, dtype=np.int64)[::2]), TypeError, CONTIGUITY),
    (lambda i, q: i.query_radius(q, 0.2, exclude_ids=misaligned((4,), np.int64)), TypeError, CONTIGUITY),
    (lambda i, q: i.query_knn(q, 3, exclude_ids=np.zeros(3, dtype=np.int64)), ValueError,
     "exclude_ids has 3 entries but there are 4 queries"),
    (lambda i, q: i.query_radius(q, 0.2, exclude_ids=np.zeros(0, dtype=np.int64)), ValueError,
     "exclude_ids has 0 entries but there are 4 queries"),
    (lambda i, q: i.query_knn(q, 3, 4, 5), TypeError, None),
    (lambda i, q: i.query_knn(q, k=3, queries=q), TypeError, None),
    (lambda i, q: i.query_radius(q, radius=0.1, bogus=1), TypeError, None),
    (lambda i, q: i.tables(1), TypeError, None),
    (lambda i, q: i.stats(None), TypeError, None),
    (lambda i, q: i.reset_stats(q), TypeError, None),
])
def test_bad_scalars_and_ids_raise_clearly_and_change_nothing(pair, call, error, message):
    native, _ = pair
    queries = np.random.default_rng(3).random((4, D))
    before = snapshot(native)
    with pytest.raises(BaseException) as info:
        call(native, queries)
    if error == "panic":
        assert is_panic(info.value)
    else:
        assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    assert snapshot(native) == before


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # the reference's NumPy casts of inf and nan
@pytest.mark.parametrize("fill", [np.nan, np.inf, -np.inf, 1e300, -1e300, 5.0, -0.0])
def test_non_finite_and_far_coordinates_hash_and_query_like_the_reference(fill):
    rng = np.random.default_rng(8)
    s, u = random_params(rng, 3, 3, 4, D)
    native, reference = index_pair(3, 3, 4, 2, s, u, block=4)
    points = rng.random((40, D))
    points[::7, 1] = fill
    for index in (native, reference):
        index.build(points, 25)
    assert_tables_equal(native, reference)
    coords = rng.random((15, D))
    coords[::3] = fill
    batch = rng.random((6, D))
    batch[1] = fill
    for index in (native, reference):
        index.update(coords)
        index.promote(batch)
    assert_tables_equal(native, reference)
    queries = rng.random((70, D))
    queries[::5, 0] = fill
    excluded = np.arange(70, dtype=np.int64)
    for k in (1, 6):
        same_answer(native.query_knn(queries, k, excluded), reference.query_knn(queries, k, excluded))
    for radius in (0.5, np.inf, np.nan):
        same_answer(native.query_radius(queries, radius), reference.query_radius(queries, radius))


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # the reference rounding 1e300 to float32
@pytest.mark.parametrize("radius", [0, -1, -np.inf, np.inf, np.nan, 1e300, 1e-45, True, np.float32(0.25),
                                    np.float64(0.25), np.int64(1)])
def test_every_kind_of_radius_agrees_with_the_reference(pair, radius):
    native, reference = pair
    queries = np.random.default_rng(4).random((9, D))
    same_answer(native.query_radius(queries, radius), reference.query_radius(queries, radius))


@pytest.mark.parametrize("length", [9, 10, 75])
@pytest.mark.parametrize("values", ["in range", "out of range"])
def test_exclude_ids_of_any_sufficient_length_and_any_value(pair, length, values):
    native, reference = pair
    rng = np.random.default_rng(length)
    queries = rng.random((9, D))
    if values == "in range":
        excluded = rng.integers(0, N, length)
    else:
        excluded = rng.choice(np.array([-1, -2**63, N, 2**63 - 1, 10**12]), length)
    for k in (0, 1, 5, N + 3):
        same_answer(native.query_knn(queries, k, excluded), reference.query_knn(queries, k, excluded))
    same_answer(native.query_radius(queries, 0.3, excluded), reference.query_radius(queries, 0.3, excluded))


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
def test_parameters_that_break_the_constructor_assumptions(b, k, l, s_value, message):
    s = np.full((l, k), s_value, dtype=np.int64)
    index = RustLshIndex(b, k, l, 2, s, np.zeros((l, k)))
    points = np.random.default_rng(6).random((80, D))
    queries = points[:70]
    before = snapshot(index)
    with pytest.raises(ValueError, match=None) as info:
        index.build(points, 50)
    assert str(info.value) == message
    with pytest.raises(ValueError, match="promote needs a built index"):
        index.promote(points)
    with pytest.raises(BaseException) as info:
        index.update(points)
    assert is_panic(info.value)
    assert snapshot(index) == before
    # The never-built index answers with padding only, on both kNN paths.
    for block in (queries[:5], queries):
        ids, dists = index.query_knn(block, 3)
        assert (ids == -1).all() and np.isinf(dists).all()
    indptr, ids, _ = index.query_radius(queries, 0.5)
    assert not indptr.any() and ids.size == 0


@pytest.mark.parametrize("probes, block", [(0, 0), (2**63, 2**64 - 1), (1, 1), (5, 63), (5, 64)])
def test_extreme_probes_and_block_sizes_agree_with_the_reference(probes, block):
    rng = np.random.default_rng(7)
    s, u = random_params(rng, 3, 3, 3, D)
    native, reference = index_pair(3, 3, 3, probes, s, u, block=block)
    points = rng.random((50, D))
    for index in (native, reference):
        index.build(points, 30)
    queries = rng.random((70, D))
    for rows in (queries[:3], queries):
        same_answer(native.query_knn(rows, 4), reference.query_knn(rows, 4))
    same_answer(native.query_radius(queries, 0.4), reference.query_radius(queries, 0.4))
    assert native.stats()["block"] == block


@pytest.mark.parametrize("shape", [(2, 3), (2, 2), (3, 3), (3, 2, 1), (6,)])
def test_constructor_refuses_mismatched_parameter_arrays(shape):
    good_s, good_u = np.zeros((3, 2), dtype=np.int64), np.zeros((3, 2))
    bad_s, bad_u = np.zeros(shape, dtype=np.int64), np.zeros(shape)
    expected = ValueError if len(shape) == 2 else TypeError
    with pytest.raises(expected):
        RustLshIndex(3, 2, 3, 1, bad_s, good_u)
    with pytest.raises(expected):
        RustLshIndex(3, 2, 3, 1, good_s, bad_u)
    with pytest.raises(TypeError, match="not contiguous"):
        RustLshIndex(3, 2, 3, 1, np.zeros((3, 4), dtype=np.int64)[:, ::2], good_u)
    with pytest.raises(OverflowError):
        RustLshIndex(3, -2, 3, 1, good_s, good_u)
    with pytest.raises(TypeError):
        RustLshIndex(3, 2, 3, 1, good_s, good_u, block=None)
