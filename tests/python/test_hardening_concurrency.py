"""Several threads query one index while others try build, update and promote
on it. Every call either succeeds with the right answer or fails at once with
the borrow RuntimeError; nothing deadlocks; the borrow is always given back,
also by calls that fail with another exception."""

import threading
import time

import numpy as np
import pytest

from conftest import random_params
from vibrel._native import RustLshIndex

D = 4
READER_MESSAGE = "Already mutably borrowed"
WRITER_MESSAGE = "Already borrowed"


def make_index(block):
    rng = np.random.default_rng(21)
    s, u = random_params(rng, 3, 4, 4, D)
    index = RustLshIndex(3, 4, 4, 2, s, u, block=block)
    points = rng.random((6000, D))
    index.build(points, 5000)
    return index, points


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
    index, points = make_index(block)
    rng = np.random.default_rng(22)
    few, many = rng.random((20, D)), rng.random((150, D))
    exclude = np.arange(150, dtype=np.int64)
    # Writers only ever rebuild the same point set (build, update with the same
    # coordinates, promote of an empty batch, then a rebuild), so the answer to
    # every query is the same whichever writes got through.
    want = {
        "knn few": index.query_knn(few, 5),
        "knn many": index.query_knn(many, 7, exclude),
        "radius": index.query_radius(many, 0.2),
    }
    outcomes = {"ok": 0, "refused": 0}
    lock = threading.Lock()

    def count(key):
        with lock:
            outcomes[key] += 1

    def reader(seed):
        local = np.random.default_rng(seed)
        for _ in range(60):
            which = local.integers(5)
            try:
                if which == 0:
                    got, key = index.query_knn(few, 5), "knn few"
                elif which == 1:
                    got, key = index.query_knn(many, 7, exclude), "knn many"
                elif which == 2:
                    got, key = index.query_radius(many, 0.2), "radius"
                elif which == 3:
                    tables = index.tables()
                    n = index.n_points
                    ids = np.concatenate([tables["static_ids"], tables["cand_sorted_ids"]], axis=1)
                    assert (np.sort(ids, axis=1) == np.arange(n)).all()
                    got = None
                else:
                    assert index.stats()["block"] == block
                    got = None
            except RuntimeError as error:
                assert str(error) == READER_MESSAGE
                count("refused")
                continue
            if got is not None:
                assert all(np.array_equal(g, w) for g, w in zip(got, want[key])), key
            count("ok")

    def writer(seed):
        local = np.random.default_rng(seed)
        for _ in range(25):
            which = local.integers(5)
            try:
                if which == 0:
                    index.build(points, 5000)
                elif which == 1:
                    index.update(np.ascontiguousarray(points[index.n_static:]))
                elif which == 2:
                    index.build(points, 6000)
                    index.promote(np.empty((0, D)))
                elif which == 3:
                    index.update(points[:3])  # wrong size: the engine refuses, after taking the borrow
                else:
                    index.build(points, 10**6)  # n_static too large: refused, nothing changes
            except RuntimeError as error:
                assert str(error) in (WRITER_MESSAGE, READER_MESSAGE)
                count("refused")
                continue
            except ValueError:
                assert which == 4
            except BaseException as error:
                assert which == 3 and type(error).__name__ == "PanicException"
            count("ok")

    run_threads([lambda s=s: reader(s) for s in range(4)] + [lambda s=s: writer(s) for s in (10, 11)])
    assert outcomes["ok"] > 0
    # Every borrow was given back: a writer and a reader both get through now.
    index.build(points, 5000)
    assert all(np.array_equal(g, w) for g, w in zip(index.query_knn(many, 7, exclude), want["knn many"]))


def test_borrow_errors_both_ways_while_a_call_runs():
    """A long query holds a shared borrow: writers are refused, readers are not;
    a long build holds the exclusive one: everyone is refused."""
    rng = np.random.default_rng(23)
    s, u = random_params(rng, 2, 3, 8, D)
    index = RustLshIndex(2, 3, 8, 4, s, u, block=1)  # 8 huge buckets: slow queries
    points = rng.random((30_000, D))
    index.build(points, 30_000)
    queries = rng.random((300, D))
    seen = set()

    def poll(worker, calls):
        while worker.is_alive():
            for name, call in calls:
                try:
                    call()
                    seen.add((name, "ok"))
                except RuntimeError as error:
                    seen.add((name, str(error)))
            # Holding no borrow for a moment lets a refused busy call retry.
            time.sleep(0.002)

    # The probes change nothing when they do get through.
    def until_through(call):
        def run():
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline:  # the probes may hold the borrow at that moment
                try:
                    return call()
                except RuntimeError:
                    time.sleep(0.001)
            raise AssertionError("the busy call never got its borrow")
        return run

    for busy, calls in (
        (lambda: index.query_knn(queries, 10), [("update", lambda: index.update(points[:0])),
                                                ("stats", index.stats)]),
        (lambda: index.build(np.tile(points, (8, 1)), 240_000), [("query", lambda: index.query_knn(queries[:1], 1)),
                                                                ("promote", lambda: index.promote(points[:0]))]),
    ):
        worker = threading.Thread(target=until_through(busy))
        worker.start()
        poll(worker, calls)
        worker.join(30)
        assert not worker.is_alive()
    assert ("update", WRITER_MESSAGE) in seen and ("stats", "ok") in seen
    assert ("query", READER_MESSAGE) in seen and ("promote", WRITER_MESSAGE) in seen
    assert index.n_points == index.n_static == 240_000
