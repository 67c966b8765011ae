"""Every method, on success and on each failure path, called thousands of times:
the reference counts of its arguments and the process's memory stay flat."""

import gc
import sys

import numpy as np
import pytest

from conftest import UNDER_ASAN, random_params, rss
from vibrel._native import RustLshIndex
from vibrel._periodic import PeriodicLshIndex

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")

D = 3
ROUNDS = 1500


def fresh_index(rng, n=2000, n_static=1500, cls=RustLshIndex):
    s, u = random_params(rng, 3, 4, 4, D)
    index = cls(3, 4, 4, 2, s, u, block=16)
    index.build(rng.random((n, D)), n_static)
    return index, s, u


rng0 = np.random.default_rng(12)
POINTS = rng0.random((2000, D))  # 48 kB copied per build: a leak shows as 70 MB
COORDS = rng0.random((500, D))
BATCH = rng0.random((3, D))
EMPTY = np.zeros((0, D))
QUERIES = rng0.random((70, D))  # 70 x 10 results: 11 kB per kNN call, 17 MB if leaked
EXCLUDE = np.arange(70, dtype=np.int64)
SHORT_EXCLUDE = EXCLUDE[:10].copy()
FAR_IDS = np.array([0, 2000], dtype=np.int64)  # one past the last point
S, U = random_params(rng0, 3, 4, 4, D)


def calls(index):
    """(label, call, exception expected or None, arguments whose counts must not move)."""
    strided = np.zeros((70, 2 * D))[:, ::2]
    return [
        ("new", lambda: RustLshIndex(3, 4, 4, 2, S, U, 16), None, (S, U)),
        ("new bad shape", lambda: RustLshIndex(3, 5, 4, 2, S, U), ValueError, (S, U)),
        ("new bad dtype", lambda: RustLshIndex(3, 4, 4, 2, U, U), TypeError, (U,)),
        ("new bad block", lambda: RustLshIndex(3, 4, 4, 2, S, U, "x"), TypeError, (S, U)),
        ("build", lambda: index.build(POINTS, 1500), None, (POINTS,)),
        ("build n_static too big", lambda: index.build(POINTS, 5000), ValueError, (POINTS,)),
        ("build strided", lambda: index.build(strided, 10), TypeError, (strided,)),
        ("build float32", lambda: index.build(POINTS.astype(np.float32), 10), TypeError, ()),
        ("update", lambda: index.update(COORDS), None, (COORDS,)),
        ("update wrong count", lambda: index.update(BATCH), BaseException, (BATCH,)),
        ("update list", lambda: index.update([[0.5] * D]), TypeError, ()),
        ("promote empty batch", lambda: index.promote(EMPTY), None, (EMPTY,)),
        ("promote columns", lambda: index.promote(QUERIES[:, :2].copy()), ValueError, ()),
        ("promote none", lambda: index.promote(None), TypeError, ()),
        ("query_knn", lambda: index.query_knn(QUERIES, 10, EXCLUDE), None, (QUERIES, EXCLUDE)),
        ("query_knn few rows", lambda: index.query_knn(QUERIES[:20], 3, exclude_ids=EXCLUDE), None,
         (QUERIES, EXCLUDE)),
        ("query_knn short exclude", lambda: index.query_knn(QUERIES, 10, SHORT_EXCLUDE), ValueError,
         (QUERIES, SHORT_EXCLUDE)),
        ("query_knn huge k", lambda: index.query_knn(QUERIES, 2**50), MemoryError, (QUERIES,)),
        ("query_knn negative k", lambda: index.query_knn(QUERIES, -1), OverflowError, (QUERIES,)),
        ("query_knn columns", lambda: index.query_knn(POINTS[:, :2].copy(), 1), ValueError, ()),
        ("query_radius", lambda: index.query_radius(QUERIES, 0.1, EXCLUDE), None, (QUERIES, EXCLUDE)),
        ("query_radius bad radius", lambda: index.query_radius(QUERIES, "x", EXCLUDE), TypeError,
         (QUERIES, EXCLUDE)),
        ("query_radius int32 ids", lambda: index.query_radius(QUERIES, 0.1, EXCLUDE.astype(np.int32)), TypeError,
         (QUERIES,)),
        ("ids: query_knn_ids", lambda: index.query_knn_ids(EXCLUDE, 10), None, (EXCLUDE,)),
        ("ids: query_knn_ids out of range", lambda: index.query_knn_ids(FAR_IDS, 10), ValueError, (FAR_IDS,)),
        ("ids: query_knn_ids huge k", lambda: index.query_knn_ids(EXCLUDE, 2**50), MemoryError, (EXCLUDE,)),
        ("ids: query_radius_ids", lambda: index.query_radius_ids(EXCLUDE, 0.1), None, (EXCLUDE,)),
        ("ids: query_radius_ids int32 ids", lambda: index.query_radius_ids(EXCLUDE.astype(np.int32), 0.1), TypeError,
         ()),
        ("tables", lambda: index.tables(), None, ()),
        ("tables argument", lambda: index.tables(QUERIES), TypeError, (QUERIES,)),
        ("stats", lambda: index.stats(), None, ()),
        ("reset_stats", lambda: index.reset_stats(), None, ()),
        ("reset_stats keyword", lambda: index.reset_stats(**{"x": QUERIES}), TypeError, (QUERIES,)),
        ("properties", lambda: (index.n_points, index.n_static, index.n_candidates), None, ()),
    ]


CASES = [label for label, *_ in calls(None)]


@pytest.mark.parametrize("label", CASES)
def test_repeated_calls_leak_neither_references_nor_memory(label):
    # The searches by ids are the periodic index's alone.
    cls = PeriodicLshIndex if label.startswith("ids") else RustLshIndex
    index, _, _ = fresh_index(np.random.default_rng(1), cls=cls)
    (_, call, error, watched), = [c for c in calls(index) if c[0] == label]

    def run(rounds):
        for _ in range(rounds):
            if error is None:
                call()
            else:
                try:
                    call()
                except error:
                    pass
                else:
                    raise AssertionError(f"{label}: no {error.__name__}")

    run(50)  # warm-up: pools of the allocator and the interpreter settle
    gc.collect()
    counts = [sys.getrefcount(a) for a in watched] + [sys.getrefcount(index)]
    before = rss()
    run(ROUNDS)
    gc.collect()
    assert [sys.getrefcount(a) for a in watched] + [sys.getrefcount(index)] == counts
    if not UNDER_ASAN:  # the sanitizer holds freed blocks back in a quarantine
        assert rss() - before < 8 << 20, f"{label}: memory grew by {(rss() - before) >> 20} MiB"
