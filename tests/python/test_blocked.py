"""The blocked k-nearest-neighbour path (batches of 64 rows or more unless
block = 1): the same rows as the per-query path on many configurations and
thread counts, agreement with the reference, and the profile it records."""

import numpy as np
import pytest

from conftest import assert_same_answer, index_pair, random_params, run_python

from vibrel._native import RustLshIndex

# Configurations (d, b, k digits, l, probes, n, n_static, m, k, block): d over
# the general and the fixed-dimension kernels; blocks of 0 (one per thread),
# small and large; m around 64 and well above; tight parameters (few tables,
# many digits) so that many rows come up short and are relaxed.
CONFIGS = [
    (1, 7, 2, 2, 1, 400, 300, 64, 5, 1024),
    (3, 4, 4, 3, 2, 1500, 1000, 200, 8, 0),
    (8, 3, 6, 2, 1, 2000, 2000, 64, 10, 7),
    (16, 4, 6, 4, 2, 3000, 2000, 300, 10, 1024),
    (24, 3, 7, 3, 3, 2000, 500, 129, 6, 32),
    (31, 2, 9, 2, 2, 1500, 1500, 256, 12, 0),
    (16, 2, 12, 1, 0, 1000, 600, 100, 20, 64),
]

# Runs every configuration with and without exclude_ids on a block = 1 index
# (per-query path) and a blocked one, and prints how many rows differ.
COMPARE = """
import numpy as np
from vibrel._native import RustLshIndex
configs = {configs!r}
bad = relaxed = 0
for seed, (d, b, k, l, probes, n, n_static, m, kk, block) in enumerate(configs):
    rng = np.random.default_rng(seed)
    s, u = rng.integers(0, d, (l, k)), rng.random((l, k))
    points = rng.random((n, d))
    queries = np.concatenate([points[: m // 2], rng.random((m - m // 2, d))])
    for exclude in (None, np.arange(m, dtype=np.int64)):
        got = []
        for blk in (1, block):
            index = RustLshIndex(b, k, l, probes, s, u, blk)
            index.build(points, n_static)
            got.append(index.query_knn(queries, kk, exclude))
            if blk != 1:
                stats = index.stats()
                assert stats["cands"] == 0 and stats["gather_ns"] == 0 and stats["queries"] == m, stats
                relaxed += stats["relaxed"]
        (a_ids, a_d), (b_ids, b_d) = got
        bad += int((a_ids != b_ids).any(axis=1).sum() + (a_d != b_d).any(axis=1).sum())
print(bad, relaxed)
"""


@pytest.mark.parametrize("threads", [1, 2, 3])
def test_blocked_rows_equal_per_query_rows(threads):
    # The blocked kernels sum in the per-query path's order, so the rows are
    # equal bit for bit, not only up to the last bit.
    bad, relaxed = map(int, run_python(COMPARE.format(configs=CONFIGS), threads=threads).split())
    assert bad == 0
    assert relaxed > 0  # the configurations do exercise relaxation of short rows


def test_blocked_path_agrees_with_the_reference(rng):
    d, b, k, l, probes = 16, 4, 5, 4, 2
    s, u = random_params(rng, b, k, l, d)
    native, reference = index_pair(b, k, l, probes, s, u, block=50)
    points = rng.random((3000, d))
    native.build(points, 2500)
    reference.build(points, 2500)
    queries = np.concatenate([points[:100], rng.random((100, d))])
    exclude = np.arange(200, dtype=np.int64)
    got = native.query_knn(queries, 9, exclude)
    assert native.stats()["cands"] == 0  # answered by the blocked path
    assert_same_answer(got, reference.query_knn(queries, 9, exclude))


@pytest.mark.parametrize("m, blocked", [(63, False), (64, True)])
def test_sixty_four_rows_take_the_blocked_path(rng, m, blocked):
    index = RustLshIndex(3, 4, 3, 1, rng.integers(0, 4, (3, 4)), rng.random((3, 4)))
    index.build(rng.random((500, 4)), 400)
    queries = rng.random((m, 4))
    ids, dists = index.query_knn(queries, 5)
    stats = index.stats()
    assert (stats["cands"] == 0) == blocked and (stats["gather_ns"] == 0) == blocked
    assert stats["queries"] == m and stats["pairs"] > 0 and stats["refine_ns"] > 0
    assert ids.shape == dists.shape == (m, 5) and (ids >= 0).all()


def test_blocked_profile_counts_pairs_queries_and_relaxations(rng):
    # One table and many digits: most cells hold one point, so a self-join row
    # that excludes its own point finds nothing and is relaxed.
    d = 3
    index = RustLshIndex(6, 6, 1, 0, rng.integers(0, d, (1, 6)), rng.random((1, 6)), block=16)
    points = rng.random((400, d))
    index.build(points, 400)
    ids, dists = index.query_knn(points[:100], 3, np.arange(100, dtype=np.int64))
    stats = index.stats()
    assert stats["gather_ns"] == 0 and stats["cands"] == 0
    assert stats["queries"] == 100 and 0 < stats["relaxed"] <= 100 and stats["relax_ns"] > 0
    assert stats["pairs"] >= 100  # every row meets at least its own point
    assert (ids >= 0).all() and (ids != np.arange(100)[:, None]).all()
    assert np.isfinite(dists).all()
    index.query_knn(points[:100], 3, np.arange(100, dtype=np.int64))
    assert index.stats()["queries"] == 200
