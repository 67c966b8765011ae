"""Shared helpers of the Python test suite: random hash parameters, both engines
built from the same parameters, one comparator of their answers, snapshots of
everything a caller can see of an index, and a fresh interpreter with a given
pool size."""

import os
import subprocess
import sys
import textwrap
import zlib

import numpy as np
import pytest

from vibrel._native import RustLshIndex
from vibrel.lsh import PythonLshIndex

# Set when the suite runs under AddressSanitizer (tools/sanitize.sh preloads its
# runtime), which reserves far more address space than any address-space limit.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

TABLE_NAMES = ["static_keys", "static_ids", "cand_keys", "cand_sorted_keys", "cand_sorted_ids"]
COUNTERS = ("queries", "cands", "pairs", "relaxed")
ENGINES = {"native": RustLshIndex, "reference": PythonLshIndex}

# Room between the engines' float32 distances, in units in the last place. Both
# add the terms in the same order, so their answers are identical.
ENGINE_ULPS = 0


def random_params(rng, b, k, l, d):
    """Hash parameters as the package draws them: s in [0, d), u in [0, 1)."""
    s = rng.integers(0, d, size=(l, k), dtype=np.int64)
    u = rng.random((l, k))
    return s, u


def index_pair(b, k, l, probes, s, u, block=1024):
    """The compiled index and the reference, constructed from the same parameters."""
    s, u = np.asarray(s, dtype=np.int64), np.asarray(u, dtype=np.float64)
    return RustLshIndex(b, k, l, probes, s, u, block), PythonLshIndex(b, k, l, probes, s, u, block)


def assert_tables_equal(native, reference):
    """Byte-identical tables and sizes: same keys, dtypes, shapes and values."""
    ours, theirs = native.tables(), reference.tables()
    assert list(ours) == TABLE_NAMES == list(theirs)
    for name in TABLE_NAMES:
        assert ours[name].dtype == np.int64 == theirs[name].dtype, name
        assert ours[name].shape == theirs[name].shape, name
        assert ours[name].tobytes() == theirs[name].tobytes(), name
    assert (native.n_points, native.n_static, native.n_candidates) == (
        reference.n_points, reference.n_static, reference.n_candidates)


def _room(values):
    return ENGINE_ULPS * np.spacing(np.abs(np.asarray(values)).astype(np.float32)).astype(np.float64)


def _near(a, b):
    return a == b or abs(a - b) <= _room(max(abs(a), abs(b))) or (np.isnan(a) and np.isnan(b))


def _assert_rows_agree(ids, dists, want_ids, want_dists, radius=None):
    """One row: ordered by (distance, id); distances equal within ENGINE_ULPS; ids
    equal except where the reference's distances tie within it (with each other,
    or with the radius, or for the last member with whatever was left out)."""
    if radius is not None and ids.size != want_ids.size:
        extra = set(ids.tolist()) ^ set(want_ids.tolist())
        dist_of = dict(zip(ids.tolist(), dists)) | dict(zip(want_ids.tolist(), want_dists))
        assert all(_near(dist_of[x], np.float32(radius)) for x in extra), extra
        return
    assert ids.shape == want_ids.shape
    with np.errstate(invalid="ignore"):  # inf - inf where both are padding
        close = (dists == want_dists) | (np.abs(dists - want_dists) <= _room(want_dists))
    assert (close | (np.isnan(dists) & np.isnan(want_dists))).all(), (dists, want_dists)
    real = dists[ids != -1]
    if np.isfinite(real).all() and (real >= 0).all():  # coordinates off the torus order nothing
        assert (np.lexsort((ids[ids != -1], real)) == np.arange(real.size)).all(), (ids, dists)
    for j in np.flatnonzero(ids != want_ids):
        last = j == len(want_ids) - 1 and ENGINE_ULPS > 0
        tied = last or any(_near(want_dists[j], o) for o in np.delete(want_dists, j))
        assert tied, f"column {j}: {ids[j]} at {dists[j]} vs {want_ids[j]} at {want_dists[j]}"


def assert_same_answer(got, want, radius=None):
    """The compiled index's answer against the reference's: kNN (ids, dists) or,
    with `radius`, the radius search's (indptr, ids, dists)."""
    assert [a.dtype for a in got] == [np.asarray(a).dtype for a in want]
    if all(a.shape == np.shape(b) and np.array_equal(a, b, equal_nan=True) for a, b in zip(got, want)):
        return
    if radius is None:
        assert got[0].shape == np.shape(want[0])
        for row in zip(*got, *want):
            _assert_rows_agree(*row)
        return
    (indptr, ids, dists), (want_ptr, want_ids, want_dists) = got, want
    assert len(indptr) == len(want_ptr) and indptr[0] == 0 and indptr[-1] == ids.size == dists.size
    for i in range(len(indptr) - 1):
        row, want_row = slice(indptr[i], indptr[i + 1]), slice(want_ptr[i], want_ptr[i + 1])
        _assert_rows_agree(ids[row], dists[row], want_ids[want_row], want_dists[want_row], radius)


def assert_same_counters(native, reference):
    """Queries and relaxed rows as the reference counts them. The per-query path
    may gather fewer candidates; the blocked path (64 rows or more) gathers
    none and counts every bucket entry it measures as a pair."""
    ours, theirs = native.stats(), reference.stats()
    assert (ours["queries"], ours["relaxed"], ours["block"]) == (theirs["queries"], theirs["relaxed"], theirs["block"])
    if ours["cands"] == theirs["cands"]:
        assert ours["pairs"] == theirs["pairs"]
    else:
        assert ours["cands"] < theirs["cands"] and ours["pairs"] >= theirs["pairs"] - theirs["cands"] + ours["cands"]


def snapshot(index, d):
    """Everything a caller can see of an index: tables, sizes, counters, and the
    answers of both kNN paths and of the radius search (which show the stored
    coordinates). Zeroes the counters."""
    tables = {name: array.tobytes() for name, array in index.tables().items()}
    stats = {key: index.stats()[key] for key in COUNTERS}
    probe = np.random.default_rng(99).random((70, d))
    seen = [a.tobytes() for a in index.query_knn(probe[:5], 4) + index.query_knn(probe, 4)
            + index.query_radius(probe, 0.4)]
    index.reset_stats()
    return tables, stats, index.n_points, index.n_static, index.n_candidates, seen


def at(*buckets):
    """1-D points mid-bucket for b = 8: with one unshifted digit a point's key is
    its bucket, and bucket v + f (0 <= f < 0.5) stays in v."""
    return ((np.array(buckets, dtype=np.float64) + 0.5) / 8).reshape(-1, 1)


def eight_buckets(engine, probes=0):
    """One table of one unshifted digit over eight buckets."""
    return ENGINES[engine](8, 1, 1, probes, np.zeros((1, 1), dtype=np.int64), np.zeros((1, 1)))


def is_panic(error):
    return type(error).__name__ == "PanicException" and not isinstance(error, Exception)


def rss():
    """Resident memory of this process, in bytes."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_python(code, threads=None, timeout=120):
    """Runs `code` in a fresh interpreter (optionally with RAYON_NUM_THREADS set)
    and returns its standard output."""
    env = dict(os.environ, PYTHONSAFEPATH="1")
    env.pop("RAYON_RS_NUM_CPUS", None)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True,
                            text=True, timeout=timeout, check=False)
    assert result.returncode == 0, result.stderr
    return result.stdout


def pytest_collection_modifyitems(config, items):
    """Cases marked slow run only with VIBREL_SLOW=1."""
    if os.environ.get("VIBREL_SLOW") == "1":
        return
    skip = pytest.mark.skip(reason="slow: set VIBREL_SLOW=1 to run")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)


@pytest.fixture
def rng(request):
    """A generator seeded from the test's name, so every test is reproducible."""
    return np.random.default_rng(zlib.crc32(request.node.nodeid.encode()))
