"""Threads on one index: every call either succeeds with the right answer or
fails at once with the borrow RuntimeError, long calls release the interpreter
lock while holding their borrow, every borrow is given back (also by calls
that fail otherwise), and answers do not depend on the pool size."""

import threading
import time

import numpy as np
import pytest

from conftest import is_panic, random_params, run_python
from vibrel._native import RustLshIndex
from vibrel._periodic import PeriodicLshIndex

D = 4
READER_MESSAGE = "Already mutably borrowed"
WRITER_MESSAGE = "Already borrowed"


def run_threads(targets, timeout=60):
    errors = []

    def wrap(target):
        def run():
            try:
                target()
            except BaseException as error:  # reported below, on the test's thread
                errors.append(error)
        return run

    threads = [threading.Thread(target=wrap(t)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
    assert not any(t.is_alive() for t in threads), "a thread is stuck"
    if errors:
        raise errors[0]


@pytest.mark.parametrize("block", [1, 1024])
def test_readers_and_writers_on_one_index(block):
    rng = np.random.default_rng(21)
    # The periodic index on the unit torus: the same engine, and the searches by ids besides.
    index = PeriodicLshIndex(3, 4, 4, 2, *random_params(rng, 3, 4, 4, D), block=block)
    points = rng.random((6000, D))
    index.build(points, 5000)
    few, many = rng.random((20, D)), rng.random((150, D))

    def all_ids():
        tables = index.tables()
        return (np.sort(np.concatenate([tables["static_ids"], tables["cand_sorted_ids"]], axis=1), axis=1),)

    # Writers only ever rebuild the same point set or fail (a wrong size, an
    # n_static too large), so every read has one right answer whichever got through.
    reads = [lambda: index.query_knn(few, 5), lambda: index.query_knn(many, 7, np.arange(150)),
             lambda: index.query_radius(many, 0.2), all_ids, lambda: (index.stats()["block"], index.n_points),
             lambda: index.query_knn_ids(np.arange(4900, 5100), 6), lambda: index.query_radius_ids(np.arange(70), 0.2)]
    writes = [lambda: index.build(points, 5000), lambda: index.update(np.ascontiguousarray(points[index.n_static:])),
              lambda: (index.build(points, 6000), index.promote(np.empty((0, D)))),
              lambda: index.update(points[:3]), lambda: index.build(points, 10**6)]
    want = [read() for read in reads]
    done = []

    def run(calls, seed, rounds, reader):
        for which in np.random.default_rng(seed).integers(len(calls), size=rounds):
            try:
                got = calls[which]()
            except RuntimeError as error:
                assert str(error) == READER_MESSAGE if reader else str(error) in (READER_MESSAGE, WRITER_MESSAGE)
                continue
            except BaseException as error:  # the refused writes, once they hold the borrow
                assert not reader and ((which, type(error)) == (4, ValueError) or which == 3 and is_panic(error))
                continue
            assert not reader or all(np.array_equal(g, w) for g, w in zip(got, want[which]))
            done.append(which)

    run_threads([lambda s=s: run(reads, s, 60, True) for s in range(4)]
                + [lambda s=s: run(writes, s, 25, False) for s in (10, 11)])
    assert done
    # Every borrow was given back: a writer and a reader both get through now.
    index.build(points, 5000)
    assert all(np.array_equal(g, w) for g, w in zip(reads[1](), want[1]))


def test_long_calls_release_the_lock_and_hold_their_borrow():
    """While a long call runs on another thread, this thread keeps running and
    finds the index borrowed: shared by a query (writers refused, readers not),
    exclusively by build, update and promote (everyone refused)."""
    rng = np.random.default_rng(23)
    index = RustLshIndex(2, 3, 8, 4, *random_params(rng, 2, 3, 8, D), block=1)  # 8 huge buckets: slow queries
    points = np.tile(rng.random((30_000, D)), (4, 1))
    index.build(points, 60_000)
    queries = rng.random((300, D))
    moved = (points[60_000:] + 0.01) % 1.0
    probes = {
        "update": lambda: index.update(points[:0]),
        "stats": index.stats,
        "query": lambda: index.query_knn(queries[:1], 1),
        "n_points": lambda: index.n_points,
    }
    busy_calls = {
        "query": (lambda: index.query_knn(queries, 10), {("update", WRITER_MESSAGE), ("stats", "ok")}),
        "build": (lambda: index.build(points, 60_000), {("query", READER_MESSAGE)}),
        "update": (lambda: index.update(moved), {("n_points", READER_MESSAGE)}),
        "promote": (lambda: index.promote(points[:10]), {("n_points", READER_MESSAGE)}),
    }

    def until_through(call):
        """The probes may hold the borrow at the moment the busy call starts."""
        def run():
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline:
                try:
                    return call()
                except RuntimeError:
                    time.sleep(0.001)
            raise AssertionError("the busy call never got its borrow")
        return run

    for name, (busy, wanted) in busy_calls.items():
        seen = set()
        for _ in range(3):  # a busy call may slip through between two probes
            worker = threading.Thread(target=until_through(busy))
            worker.start()
            while worker.is_alive():
                for probe, call in probes.items():
                    try:
                        call()
                        seen.add((probe, "ok"))
                    except RuntimeError as error:
                        seen.add((probe, str(error)))
                    except BaseException as error:
                        # The empty update got the borrow (before the busy call
                        # took it, or after) and was refused for its size.
                        if not is_panic(error):
                            raise
                        seen.add((probe, "ok"))
                time.sleep(0.002)  # holding no borrow for a moment lets a refused busy call retry
            worker.join(30)
            assert not worker.is_alive()
            if wanted <= seen:
                break
        assert wanted <= seen, (name, seen)
        assert {message for _, message in seen} <= {"ok", READER_MESSAGE, WRITER_MESSAGE}


def test_answers_do_not_depend_on_the_pool_size():
    """Tables, both kNN paths (per-query below 64 rows, blocked from 64), the
    radius search and the counters after build, update and promote."""
    snippet = """
        import hashlib
        import numpy as np
        from vibrel._native import RustLshIndex
        rng = np.random.default_rng(7)
        digest = hashlib.sha256()
        for b, k, l, d, n in [(3, 5, 4, 5, 8_000), (8, 9, 3, 4, 4_000)]:  # with and without bucket offsets
            index = RustLshIndex(b, k, l, 2, rng.integers(0, d, (l, k)), rng.random((l, k)), block=7)
            points = rng.random((n, d))
            points[n // 2:] = points[: n - n // 2]
            index.build(points, n // 2)
            for epoch in range(4):
                cand = (points[index.n_static:] + rng.uniform(-0.02, 0.02, (index.n_candidates, d))) % 1.0
                points[index.n_static:] = cand
                index.update(cand)
                if epoch % 2:
                    batch = rng.random((n // 4, d))
                    index.promote(batch)
                    points = np.vstack([points, batch])
            queries = np.vstack([points[:600], rng.random((600, d))])
            results = list(index.tables().values())
            for rows in (queries[:63], queries):
                results += index.query_knn(rows, 12, exclude_ids=np.arange(len(rows)))
            results += index.query_radius(queries, 0.6)
            for array in results:
                digest.update(array.tobytes())
            st = index.stats()
            digest.update(str([st["queries"], st["cands"], st["pairs"], st["relaxed"]]).encode())
        print(digest.hexdigest())
    """
    outputs = {threads: run_python(snippet, threads=threads) for threads in (1, 2, 3)}
    assert len(set(outputs.values())) == 1, outputs
