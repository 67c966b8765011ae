"""Shared helpers of the Python test suite: random hash parameters, a pair of
indexes (compiled and reference) built from the same parameters, table
comparison, and running a snippet in a fresh interpreter with a given pool size."""

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


def random_params(rng, b, k, l, d):
    """Hash parameters as the package draws them: s in [0, d), u in [0, 1)."""
    s = rng.integers(0, d, size=(l, k), dtype=np.int64)
    u = rng.random((l, k))
    return s, u


def index_pair(b, k, l, probes, s, u, block=1024):
    """The compiled index and the reference, constructed from the same parameters."""
    return RustLshIndex(b, k, l, probes, s, u, block), PythonLshIndex(b, k, l, probes, s, u, block)


def assert_tables_equal(native, reference):
    """Byte-identical tables: same keys, dtypes, shapes and values."""
    ours, theirs = native.tables(), reference.tables()
    assert list(ours) == TABLE_NAMES == list(theirs)
    for name in TABLE_NAMES:
        assert ours[name].dtype == np.int64 == theirs[name].dtype, name
        assert ours[name].shape == theirs[name].shape, name
        assert ours[name].tobytes() == theirs[name].tobytes(), name


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
