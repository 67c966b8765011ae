"""A child forked after the worker pool has run builds and queries without
hanging and agrees with its parent, also while another thread of the parent is
inside a call on the very index the child then rebuilds (the child frees the
borrow that thread held). The child gets a full pool when the forking thread is
the only one of the parent that has used the pool; otherwise the pool's library
cannot shut its workers down before the fork and the child runs its loops on
its one thread."""

import sys

import pytest

from conftest import run_python

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="fork start method and /proc")

SNIPPET = """
    import multiprocessing as mp
    import os
    import threading
    import numpy as np
    from vibrel._native import RustLshIndex

    def fresh():
        rng = np.random.default_rng(11)
        return RustLshIndex(4, 6, 6, 2, rng.integers(0, 4, (6, 6)), rng.random((6, 6)), block=16)

    shared = fresh()

    def answer(index):
        rng = np.random.default_rng(11)
        index.build(rng.random((20_000, 4)), 15_000)
        queries = rng.random((300, 4))
        ids, dists = index.query_knn(queries, 7)
        indptr, rids, _ = index.query_radius(queries[:50], 0.2)
        threads = len(os.listdir("/proc/self/task"))
        return ids.tobytes() + dists.tobytes() + indptr.tobytes() + rids.tobytes(), threads

    def child(queue):
        queue.put(answer(shared))

    if __name__ == "__main__":
        want, _ = answer(shared)  # the pool has run in the parent
        # A thread of the parent is inside calls on `shared` while the forks happen.
        stop = threading.Event()
        many = np.random.default_rng(2).random((20_000, 4))
        def busy():
            while not stop.is_set():
                shared.query_knn(many, 50)
        worker = threading.Thread(target=busy)
        if {busy}:
            worker.start()
        ctx = mp.get_context("fork")
        results = []
        for _ in range({forks}):
            queue = ctx.Queue()
            process = ctx.Process(target=child, args=(queue,))
            process.start()
            process.join({timeout})
            if process.is_alive():
                process.kill()
                raise SystemExit("forked child hung")
            results.append((process.exitcode, queue.get(timeout=5)))
        stop.set()
        if {busy}:
            worker.join()
        got, _ = answer(fresh())
        assert got == want
        for exitcode, (child_result, child_threads) in results:
            assert exitcode == 0 and child_result == want
            print(child_threads)
"""


@pytest.mark.parametrize("threads, busy", [(3, False), (2, True)])
def test_forked_children_build_and_query_without_hanging(threads, busy):
    code = SNIPPET.replace("{forks}", "2").replace("{timeout}", "60").replace("{busy}", str(busy))
    children = [int(line) for line in run_python(code, threads=threads, timeout=180).split()]
    assert len(children) == 2
    if not busy:
        # The child starts with its one thread; a full pool adds its workers,
        # one per thread (a pool of one thread never starts one).
        assert children == [threads + (threads > 1)] * 2
