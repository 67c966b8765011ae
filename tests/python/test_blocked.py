"""The blocked k-nearest-neighbour path (batches of 64 rows or more unless
block = 1) against the reference, and the profile it records. Its rows equal
the per-query path's bit for bit at every kernel level in the C++ tests."""

import numpy as np
import pytest

from conftest import assert_same_answer, index_pair, random_params, run_python


@pytest.mark.parametrize("m, block, blocked", [(63, 50, False), (64, 50, True), (200, 50, True), (200, 1, False)])
def test_both_paths_agree_with_the_reference(rng, m, block, blocked):
    d, b, k, l, probes = 16, 4, 5, 4, 2
    s, u = random_params(rng, b, k, l, d)
    native, reference = index_pair(b, k, l, probes, s, u, block=block)
    points = rng.random((3000, d))
    native.build(points, 2500)
    reference.build(points, 2500)
    queries = np.concatenate([points[: m // 2], rng.random((m - m // 2, d))])
    exclude = np.arange(m, dtype=np.int64)
    assert_same_answer(native.query_knn(queries, 9, exclude), reference.query_knn(queries, 9, exclude))
    stats = native.stats()
    assert (stats["cands"] == 0) == blocked and (stats["gather_ns"] == 0) == blocked
    assert stats["queries"] == m and stats["pairs"] > 0 and stats["refine_ns"] > 0


def test_blocked_profile_counts_pairs_queries_and_relaxations(rng):
    # One table and many digits: most cells hold one point, so a self-join row
    # that excludes its own point finds nothing and is relaxed.
    d = 3
    native, reference = index_pair(6, 6, 1, 0, *random_params(rng, 6, 6, 1, d), block=16)
    points = rng.random((400, d))
    for index in (native, reference):
        index.build(points, 400)
    exclude = np.arange(100, dtype=np.int64)
    assert_same_answer(native.query_knn(points[:100], 3, exclude), reference.query_knn(points[:100], 3, exclude))
    stats = native.stats()
    assert stats["gather_ns"] == 0 and stats["cands"] == 0 and stats["pairs"] >= 100
    assert stats["queries"] == 100 and 0 < stats["relaxed"] <= 100 and stats["relax_ns"] > 0
    native.query_knn(points[:100], 3, exclude)
    assert native.stats()["queries"] == 200


def test_rows_and_pairs_are_the_same_with_the_code_filter_off():
    # One cell (every block's rows share its bucket) and a hashed index of
    # large buckets over both tiers (the static codes read in key order, the
    # candidates' by id): the default run bounds candidates by their byte codes
    # first, VIBREL_CODE_FILTER=off measures every pair in floats. Blocked and
    # per-query batches, self-join rows excluding their point, radius searches,
    # on the unit torus and on periodic boxes; both runs print a digest of the
    # same bytes and the same pairs and gathered candidates.
    code = """
        import hashlib
        import numpy as np
        from vibrel._native import RustLshIndex
        rng = np.random.default_rng(8)
        digest, pairs = hashlib.sha256(), []
        for d in (3, 16, 17):
            points = rng.random((3000, d))
            queries = np.concatenate([points[:100], rng.random((100, d))])
            exclude = np.arange(200, dtype=np.int64)
            s, u = rng.integers(0, d, (2, 2)), rng.random((2, 2))
            for index in (RustLshIndex(1, 1, 1, 0, np.zeros((1, 1), dtype=np.int64), np.zeros((1, 1)), 0),
                          RustLshIndex(3, 2, 2, 1, s, u, 0)):
                index.build(points, 2000)
                for rows in (200, 40):
                    for answer in (index.query_knn(queries[:rows], 12, exclude[:rows]),
                                   index.query_radius(queries[:rows], 0.08 * d, exclude[:rows])):
                        for part in answer:
                            digest.update(part.tobytes())
                pairs += [index.stats()["pairs"], index.stats()["cands"]]
        # Boxes: a cube (the bound scaled) and sides 1, 2, 3 (weighted terms).
        from vibrel._periodic import PeriodicLshIndex
        for d, metric, sides in ((3, "l2", [2.0]), (16, "l1", [1.0, 2.0, 3.0]), (17, "l2", [1.0, 2.0, 3.0])):
            period = np.array([sides[c % len(sides)] for c in range(d)])
            points = rng.random((3000, d)) * period
            s, u = rng.integers(0, d, (2, 2)), rng.random((2, 2))
            for index in (PeriodicLshIndex(1, 1, 1, 0, np.zeros((1, 1), dtype=np.int64), np.zeros((1, 1)), 0,
                                           metric=metric, period=period),
                          PeriodicLshIndex(3, 2, 2, 1, s, u, 0, metric=metric, period=period)):
                index.build(points, 2000)
                for answer in (index.query_knn(points[:200], 12, exclude),
                               index.query_radius(points[:200], 0.3, exclude)):
                    for part in answer:
                        digest.update(part.tobytes())
        print(digest.hexdigest(), *pairs)
    """
    on = run_python(code)
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("VIBREL_CODE_FILTER", "off")
        off = run_python(code)
    assert on == off and int(on.split()[1]) >= 240 * 3000
