"""The Python surface of the compiled module: what it exports, how arguments
bind, what the result arrays are, and the index's read-only attributes."""

import inspect

import numpy as np
import pytest

import vibrel._native as native
from vibrel._native import RustLshIndex

PROFILE = ["gather_ns", "refine_ns", "relax_ns", "queries", "cands", "pairs", "relaxed", "block"]


def small_index(**kw):
    return RustLshIndex(4, 3, 2, 1, np.array([[0, 1, 0], [1, 0, 1]]), np.full((2, 3), 0.25), **kw)


def test_module_exports_one_final_class_with_read_only_state():
    assert native.__all__ == ["RustLshIndex"]
    assert {name for name in vars(native) if not name.startswith("__")} == {"RustLshIndex"}
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (RustLshIndex,), {})
    index = small_index()
    assert not hasattr(index, "__dict__")
    with pytest.raises(AttributeError):
        index.anything = 1
    for name in ("n_points", "n_static", "n_candidates"):
        with pytest.raises(AttributeError):
            setattr(index, name, 3)
        with pytest.raises(AttributeError):
            delattr(index, name)


@pytest.mark.parametrize("name, signature", [
    ("__init__", "(b, k, l, probes, s, u, block=1024)"),
    ("build", "(points, n_static)"),
    ("update", "(coords)"),
    ("promote", "(new_candidates)"),
    ("query_knn", "(queries, k, exclude_ids=None)"),
    ("query_radius", "(queries, radius, exclude_ids=None)"),
    ("tables", "()"),
    ("stats", "()"),
    ("reset_stats", "()"),
])
def test_signatures_bind_by_name(name, signature):
    """Callers bind by keyword, so the parameter names are part of the surface."""
    target = RustLshIndex if name == "__init__" else getattr(small_index(), name)
    assert str(inspect.signature(target)) == signature


def test_keywords_and_integer_like_values_bind():
    class Three:
        def __index__(self):
            return 3
    index = RustLshIndex(b=np.int64(4), k=Three(), l=np.uint8(2), probes=True, s=np.zeros((2, 3), np.int64),
                         u=np.zeros((2, 3)), block=2**64 - 1)
    index.build(n_static=np.int32(4), points=np.random.default_rng(0).random((10, 2)))
    index.update(coords=np.random.default_rng(1).random((6, 2)))
    index.promote(new_candidates=np.random.default_rng(2).random((3, 2)))
    assert (index.n_points, index.n_static, index.n_candidates) == (13, 10, 3)
    ids, _ = index.query_knn(queries=np.full((2, 2), 0.5), k=np.int8(2), exclude_ids=None)
    assert ids.shape == (2, 2)
    RustLshIndex(-5, 0, 0, 0, np.zeros((0, 0), np.int64), np.zeros((0, 0)))  # checked by build, not here


def test_a_new_index_is_empty():
    index = small_index(block=77)
    assert (index.n_points, index.n_static, index.n_candidates) == (0, 0, 0)
    assert list(index.tables()) == ["static_keys", "static_ids", "cand_keys", "cand_sorted_keys", "cand_sorted_ids"]
    assert all(a.dtype == np.int64 and a.shape == (2, 0) for a in index.tables().values())
    assert list(index.stats()) == PROFILE and index.stats() == dict.fromkeys(PROFILE, 0) | {"block": 77}


def test_result_arrays_are_fresh_containers_of_the_engine_buffers():
    index = small_index()
    points = np.random.default_rng(7).random((30, 2))
    index.build(points, 10)
    keys = index.tables()["static_keys"]
    ids, dists = index.query_knn(np.random.default_rng(2).random((7, 2)), 5)
    radius = index.query_radius(np.random.default_rng(2).random((7, 2)), 0.4)
    assert type(radius) is tuple and [a.dtype for a in radius] == [np.int64, np.int64, np.float64]
    for a, dtype, shape in [(keys, np.int64, (2, 10)), (ids, np.int64, (7, 5)), (dists, np.float64, (7, 5))]:
        assert a.dtype == dtype and a.shape == shape and a.flags.c_contiguous and a.flags.writeable
        assert not a.flags.owndata and a.base.ndim == 1 and type(a.base.base).__name__ == "PySliceContainer"
    assert all(type(a.base).__name__ == "PySliceContainer" for a in radius)
    keys[:] = -7
    points[:] = 0.0  # neither the result nor the argument is shared with the index
    assert (index.tables()["static_keys"] != -7).all()
    assert np.array_equal(index.query_knn(np.random.default_rng(2).random((7, 2)), 5)[0], ids)
    for m, k in [(0, 3), (4, 0), (0, 0)]:
        assert [a.shape for a in index.query_knn(np.zeros((m, 2)), k)] == [(m, k)] * 2
    assert [a.tolist() for a in index.query_radius(np.zeros((0, 2)), 0.4)] == [[0], [], []]
    assert index.reset_stats() is None
