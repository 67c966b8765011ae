"""The exact brute-force scan of the benchmarks (bench/exact_scan, a C++
program driven through bench/exact_scan.py) against a NumPy brute force with
the same single-precision toroidal L1 distance."""

import os
import subprocess
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "bench"))
import exact_scan  # noqa: E402  (a bench helper, found through the path above)

PROGRAM = exact_scan.find_program()
pytestmark = pytest.mark.skipif(PROGRAM is None, reason="the exact_scan program is not built")

LEVELS = ["scalar", "avx2", "avx512"]


def torus_distances(points, queries):
    """m x n float32 distances: per coordinate a = |q - x|, min(a, 1 - a), summed
    in coordinate order, every step in float32."""
    p, q = points.astype(np.float32), queries.astype(np.float32)
    dist = np.zeros((len(q), len(p)), dtype=np.float32)
    for c in range(p.shape[1]):
        a = np.abs(q[:, None, c] - p[None, :, c])
        dist += np.minimum(a, np.float32(1) - a)
    return dist


def brute_force(points, queries, k, exclude_self=False):
    """Rows ascending by (float32 bit pattern, id), padded with -1 / inf, and the
    full distance matrix."""
    dist = torus_distances(points, queries)
    m, n = dist.shape
    ids = np.full((m, k), -1, dtype=np.int64)
    dists = np.full((m, k), np.inf)
    for r in range(m):
        cand = np.arange(n)
        if exclude_self:
            cand = cand[cand != r]
        keep = cand[np.lexsort((cand, dist[r, cand].view(np.uint32)))][:k]
        ids[r, :len(keep)] = keep
        dists[r, :len(keep)] = dist[r, keep]
    return ids, dists, dist


def assert_rows_match(ids, dists, points, queries, k, exclude_self=False):
    """The scan's rows are exact k nearest neighbours, allowing the last bit of a
    distance to differ (the order of the float32 additions is free)."""
    ref_ids, ref_dists, dist = brute_force(points, queries, k, exclude_self)
    assert ids.shape == dists.shape == (len(queries), k)
    assert ids.dtype == np.int64 and dists.dtype == np.float64
    np.testing.assert_array_equal(ids == -1, ref_ids == -1)
    np.testing.assert_array_equal(np.isinf(dists), ids == -1)
    found = ids >= 0
    ulp = np.spacing(ref_dists.astype(np.float32)).astype(np.float64)
    assert np.all(np.abs(dists[found] - ref_dists[found]) <= ulp[found])
    rows = np.broadcast_to(np.arange(len(queries))[:, None], ids.shape)
    # Every returned id is at its reported distance, no farther than the
    # reference's k-th neighbour (give or take the last bit).
    own = dist[rows[found], ids[found]].astype(np.float64)
    assert np.all(np.abs(own - dists[found]) <= ulp[found])
    for r in range(len(queries)):
        row = ids[r][ids[r] >= 0]
        assert len(set(row.tolist())) == len(row)
        if exclude_self:
            assert r not in row
        bits = dists[r, :len(row)].astype(np.float32).view(np.uint32).astype(np.int64)
        assert np.all(np.lexsort((row, bits)) == np.arange(len(row))), "row not ascending by (distance, id)"


def edge_points(rng, n, d):
    """Uniform points, a third of the coordinates replaced by torus edges."""
    points = rng.random((n, d))
    edges = np.array([0.0, np.nextafter(np.float32(1), np.float32(0)), 0.5, 0.25, 0.75, 0.05, 0.95])
    mask = rng.random((n, d)) < 1 / 3
    points[mask] = rng.choice(edges, size=mask.sum())
    return points


def supported(level):
    try:
        exact_scan.run_scan(np.zeros((1, 1)), np.zeros((1, 1)), 1, level=level)
    except RuntimeError as error:
        if "not supported" in str(error):
            return False
        raise
    return True


@pytest.mark.parametrize("n, m, d, k", [(300, 40, 16, 10), (257, 33, 8, 5), (129, 17, 24, 3), (90, 12, 7, 100),
                                        (64, 5, 1, 8), (50, 9, 0, 4), (0, 3, 4, 2)])
@pytest.mark.parametrize("level", [None, "scalar"])
def test_matches_numpy_brute_force(rng, n, m, d, k, level):
    points, queries = edge_points(rng, n, d), edge_points(rng, m, d)
    ids, dists, report = exact_scan.run_scan(points, queries, k, level=level)
    assert_rows_match(ids, dists, points, queries, k)
    assert report["level"] == (level or report["level"])


@pytest.mark.parametrize("n, d, k", [(200, 16, 10), (45, 3, 50), (130, 24, 1)])
@pytest.mark.parametrize("threads", [1, 2])
def test_self_join_excludes_each_query_itself(rng, n, d, k, threads):
    points = edge_points(rng, n, d)
    ids, dists, _ = exact_scan.run_scan(points, points, k, threads=threads, exclude_self=True)
    assert_rows_match(ids, dists, points, points, k, exclude_self=True)


@pytest.mark.parametrize("exclude_self", [False, True])
@pytest.mark.parametrize("level", LEVELS)
def test_ties_go_to_the_smaller_id(rng, exclude_self, level):
    """Duplicated points on a grid of 1/64: every float32 step is exact, so the
    rows must equal the reference exactly, ties broken by id at every place
    (the k-th included) and twins found at distance 0."""
    if not supported(level):
        pytest.skip(f"this CPU has no {level}")
    grid = rng.integers(0, 64, size=(12, 5)) / 64
    points = grid[rng.integers(0, len(grid), size=150)]
    ids, dists, _ = exact_scan.run_scan(points, points, 20, threads=2, exclude_self=exclude_self, level=level)
    ref_ids, ref_dists, _ = brute_force(points, points, 20, exclude_self)
    np.testing.assert_array_equal(ids, ref_ids)
    np.testing.assert_array_equal(dists, ref_dists)
    assert np.all(dists[:, 0] == 0)


@pytest.mark.parametrize("level", LEVELS)
def test_thread_counts_and_levels_agree_bit_for_bit(rng, level):
    if not supported(level):
        pytest.skip(f"this CPU has no {level}")
    points, queries = edge_points(rng, 700, 16), edge_points(rng, 150, 16)
    one = exact_scan.run_scan(points, queries, 7, threads=1, level="scalar")
    two = exact_scan.run_scan(points, queries, 7, threads=2, level=level)
    np.testing.assert_array_equal(one[0], two[0])
    assert one[1].tobytes() == two[1].tobytes()
    assert two[2]["threads"] == 2


def test_exact_knn_returns_rows_and_the_scan_time(rng):
    points, queries = rng.random((500, 8)), rng.random((70, 8))
    ids, dists, seconds = exact_scan.exact_knn(points, queries, 6, threads=2)
    assert_rows_match(ids, dists, points, queries, 6)
    assert isinstance(seconds, float) and seconds > 0


def test_report_counts_every_pair(rng):
    _, _, report = exact_scan.run_scan(rng.random((300, 4)), rng.random((90, 4)), 3, threads=2, repeat=2)
    assert report["evals"] == 300 * 90
    assert report["evals_per_s"] == pytest.approx(report["evals"] / report["seconds"], rel=1e-4)
    assert report["queries_per_s"] == pytest.approx(90 / report["seconds"], rel=1e-4)
    assert report["evals_per_s_per_thread"] == pytest.approx(report["evals_per_s"] / report["threads"], rel=1e-4)
    assert (report["n"], report["m"], report["d"], report["k"], report["repeat"]) == (300, 90, 4, 3, 2)


def run_program(*args):
    return subprocess.run([PROGRAM, *args], capture_output=True, text=True, check=False)


def test_refuses_a_file_of_the_wrong_size(tmp_path):
    np.zeros((10, 3), dtype=np.float32).tofile(tmp_path / "p")
    result = run_program("--points", str(tmp_path / "p"), "--queries", str(tmp_path / "p"), "-n", "11", "-m", "10",
                         "-d", "3", "-k", "2", "--ids", str(tmp_path / "i"), "--dists", str(tmp_path / "d"))
    assert result.returncode == 1
    assert "holds 120 bytes, expected 33 float32 values" in result.stderr
    assert not (tmp_path / "i").exists()


@pytest.mark.parametrize("args, message", [
    ([], "are required"),
    (["-n", "x"], "-n wants a non-negative integer, got 'x'"),
    (["--level", "sse9"], "unknown level 'sse9'"),
    (["--frobnicate", "1"], "unknown argument --frobnicate"),
])
def test_usage_errors(args, message):
    result = run_program(*args)
    assert result.returncode == 2
    assert message in result.stderr and "usage: exact_scan" in result.stderr
