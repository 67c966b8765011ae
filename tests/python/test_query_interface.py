"""The Python face of the query methods: signatures, argument errors and their
notes, result arrays, leaks, borrows, the released interpreter lock, threads."""

import inspect
import sys
import threading
import time

import numpy as np
import pytest

from conftest import UNDER_ASAN, run_python
from vibrel._native import RustLshIndex

Q = np.full((3, 3), 0.5)


def built(n=500, d=3, seed=0, b=4, block=1024):
    rng = np.random.default_rng(seed)
    index = RustLshIndex(b, 3, 2, 1, rng.integers(0, d, (2, 3)), rng.random((2, 3)), block)
    index.build(rng.random((n, d)), n // 2)
    return index


@pytest.mark.parametrize("name, signature, first_line", [
    ("query_knn", "(queries, k, exclude_ids=None)", "Exact k nearest neighbours of each query under toroidal L1."),
    ("query_radius", "(queries, radius, exclude_ids=None)", "Every point within `radius` of each query, exactly."),
    ("stats", "()", "Cumulative query-phase profile: CPU-ns summed across workers, plus"),
    ("reset_stats", "()", "Zero the counters read by `stats`."),
])
def test_signatures_and_docstrings(name, signature, first_line):
    method = getattr(RustLshIndex, name)
    assert method.__text_signature__ == signature.replace("(", "($self, ").replace(", )", ")")
    assert str(inspect.signature(getattr(built(), name))) == signature
    assert method.__doc__.splitlines()[0] == first_line


KIND = "'ndarray' object is not an instance of 'ndarray'"
STRIDES = "The given array is not contiguous or is misaligned."


@pytest.mark.parametrize("call, error, message, note", [
    (lambda ix: ix.query_radius(np.zeros((3, 2), dtype=np.float32), 0.1), TypeError, KIND, "queries"),
    (lambda ix: ix.query_knn(Q.tolist(), 1), TypeError, "'list' object is not an instance of 'ndarray'", "queries"),
    (lambda ix: ix.query_knn(None, 1), TypeError, "'None' is not an instance of 'ndarray'", "queries"),
    (lambda ix: ix.query_knn(Q[0], 1), TypeError, KIND, "queries"),
    (lambda ix: ix.query_knn(Q, -1), OverflowError, None, "k"),
    (lambda ix: ix.query_radius(Q, "x"), TypeError, None, "radius"),
    (lambda ix: ix.query_knn(Q, 1, exclude_ids=np.arange(3, dtype=np.int32)), TypeError, KIND, "exclude_ids"),
    (lambda ix: ix.query_knn(np.full((3, 6), 0.5)[:, ::2], 1), TypeError, STRIDES, None),
    (lambda ix: ix.query_radius(Q, 1.0, np.arange(6)[::2]), TypeError, STRIDES, None),
    (lambda ix: ix.query_knn(Q), TypeError, None, None),
    (lambda ix: ix.query_knn(Q, 1, exclude=None), TypeError, None, None),
])
def test_argument_errors(call, error, message, note):
    with pytest.raises(error) as info:
        call(built())
    assert message is None or str(info.value) == message
    assert getattr(info.value, "__notes__", None) == (None if note is None else [f"while processing '{note}'"])


@pytest.mark.parametrize("method, arg", [("query_knn", 2), ("query_knn", 0), ("query_radius", 0.3)])
def test_query_value_errors(method, arg):
    index = built()
    empty = RustLshIndex(4, 3, 2, 1, np.zeros((2, 3), np.int64), np.zeros((2, 3)))
    for target, q, ex, message in [
        (index, np.zeros((3, 5)), np.arange(2), "exclude_ids has 2 entries but there are 3 queries"),  # first
        (index, np.zeros((3, 4)), None, "queries have 4 columns but the index holds 3-dimensional points"),
        (index, np.zeros((1, 3)), np.arange(0), "exclude_ids has 0 entries but there are 1 queries"),
        (empty, np.zeros((2, 9)), np.arange(1), "exclude_ids has 1 entries but there are 2 queries"),
    ]:
        with pytest.raises(ValueError) as info:
            getattr(target, method)(q, arg, exclude_ids=ex)
        assert str(info.value) == message
    assert index.stats()["queries"] == 0


def test_equivalent_inputs_give_the_same_rows():
    index = built()
    queries = np.random.default_rng(1).random((40, 3))
    ids, dists = index.query_knn(queries, 4, np.arange(40))
    for q, ex in [(np.asfortranarray(queries), np.arange(40)),  # Fortran order is read as rows
                  (queries, np.arange(45)),                      # extra entries are ignored
                  (queries, np.arange(40, dtype=np.longlong).view(np.ndarray))]:
        got = index.query_knn(q, k=4, exclude_ids=ex)
        assert np.array_equal(got[0], ids) and np.array_equal(got[1], dists)
    assert np.array_equal(index.query_knn(queries, 4, None)[0], index.query_knn(queries, 4)[0])
    assert all(np.array_equal(a, b) for a, b in zip(index.query_radius(queries, 1), index.query_radius(queries, 1.0)))


def test_result_arrays():
    index = built()
    ids, dists = index.query_knn(np.random.default_rng(2).random((7, 3)), 5)
    for a, dtype in [(ids, np.int64), (dists, np.float64)]:
        assert a.dtype == dtype and a.shape == (7, 5) and a.flags.c_contiguous and a.flags.writeable
        assert not a.flags.owndata and a.base.ndim == 1 and type(a.base.base).__name__ == "PySliceContainer"
    for m, k in [(0, 3), (4, 0), (0, 0)]:
        assert [a.shape for a in index.query_knn(np.zeros((m, 3)), k)] == [(m, k)] * 2
    result = index.query_radius(np.random.default_rng(2).random((7, 3)), 0.4)
    assert isinstance(result, tuple) and [type(a.base).__name__ for a in result] == ["PySliceContainer"] * 3
    assert [a.tolist() for a in index.query_radius(np.zeros((0, 3)), 0.4)] == [[0], [], []]
    assert index.reset_stats() is None


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_no_reference_or_memory_leaks():
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096

    index = built(n=200, b=1)  # one bucket: every query sees every point, nothing is relaxed
    queries, exclude = np.random.default_rng(3).random((1000, 3)), np.arange(1000)
    refs = sys.getrefcount(queries), sys.getrefcount(exclude), sys.getrefcount(index)
    for rounds in (5, 100):  # about 1 MB of results per call: a leak shows as 200 MB
        start = rss()
        for _ in range(rounds):
            index.query_knn(queries, 64, exclude)
            index.query_radius(queries, 0.3, exclude)
            index.stats()
            with pytest.raises(ValueError):
                index.query_knn(queries, 1, exclude[:3])
    assert (sys.getrefcount(queries), sys.getrefcount(exclude), sys.getrefcount(index)) == refs
    if not UNDER_ASAN:  # the sanitizer holds freed blocks back in a quarantine
        assert rss() - start < 32 << 20


def test_the_interpreter_lock_is_released_and_borrows_are_held():
    rng = np.random.default_rng(4)
    index = RustLshIndex(2, 4, 8, 4, rng.integers(0, 4, (8, 4)), rng.random((8, 4)), block=1)
    index.build(rng.random((40_000, 4)), 40_000)
    queries = rng.random((400, 4))  # a call of a good fraction of a second: huge buckets
    ticks, stop = [0], threading.Event()

    def count():
        while not stop.is_set():
            ticks[0] += 1

    counter = threading.Thread(target=count)
    counter.start()
    before = ticks[0]
    index.query_knn(queries, 10)
    during = ticks[0] - before  # 0 if the lock was held for the whole call
    stop.set()
    counter.join()
    assert during > 0

    started, seen, rows = threading.Event(), [], []
    worker = threading.Thread(target=lambda: (started.set(), rows.append(index.query_knn(queries, 10)[0])))
    worker.start()
    started.wait()
    time.sleep(0.01)
    while worker.is_alive():
        try:
            index.build(np.zeros((1, 4)), 1)
            seen.append("built")
        except RuntimeError as err:
            seen.append(str(err))
        index.stats()  # a shared borrow: fine while the query runs
        time.sleep(0.005)
    worker.join()
    assert "Already borrowed" in seen and set(seen) <= {"Already borrowed", "built"} and rows[0].shape == (400, 10)


def test_results_do_not_depend_on_the_number_of_threads():
    snippet = """
        import hashlib
        import numpy as np
        from vibrel._native import RustLshIndex
        rng = np.random.default_rng(7)
        index = RustLshIndex(3, 5, 4, 2, rng.integers(0, 5, (4, 5)), rng.random((4, 5)), block=1)
        points = rng.random((20_000, 5))
        points[10_000:] = points[:10_000]
        index.build(points, 12_000)
        queries = np.vstack([points[:1500], rng.random((1500, 5))])
        digest = hashlib.sha256()
        for result in (index.query_knn(queries, 12, exclude_ids=np.arange(3000)),
                       index.query_knn(queries[:1], 5), index.query_radius(queries, 0.6)):
            for array in result:
                digest.update(array.tobytes())
        st = index.stats()
        print(digest.hexdigest(), st["queries"], st["cands"], st["relaxed"])
    """
    outputs = {threads: run_python(snippet, threads=threads) for threads in (1, 2, 3)}
    assert len(set(outputs.values())) == 1, outputs
