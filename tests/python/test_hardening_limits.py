"""Calls under hostile conditions: Ctrl-C in the middle of every long call
(raised promptly, no result, the index as before), a process that cannot start
the threads asked for (a warning and fewer threads, not an abort), and k as
large as the index (the answers of the reference)."""

import json
import os
import sys

import numpy as np
import pytest

from conftest import UNDER_ASAN, assert_same_answer, index_pair, random_params, run_python
from vibrel import _sizes

linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="signals and address-space limits")

INTERRUPTED_CALL = """
    import json, os, signal, threading, time
    import numpy as np
    from vibrel._native import RustLshIndex

    rng = np.random.default_rng(1)
    def make(b, k, l, d):
        return RustLshIndex(b, k, l, 1, rng.integers(0, d, (l, k)), rng.random((l, k)))
    if "{call}".startswith("query"):
        d = 16  # two buckets: every row is measured against half of the points
        index, points = make(2, 1, 1, d), rng.random((200_000, d))
        index.build(points, len(points))
    else:
        # Many digits and tables, so hashing dominates, and enough points that
        # every call is still hashing when the signal comes, well before the
        # step that installs its results (a signal during that step is raised
        # once the call has completed).
        d = 4
        index, points = make(2, 60, 16, d), rng.random((1_500_000, d))
        index.build(points, 300_000)
    queries = rng.random((20_000, d))
    calls = dict(
        query_knn=lambda: index.query_knn(queries, 10),
        query_radius=lambda: index.query_radius(queries, 1.5),
        build=lambda: index.build(points, 100_000),
        update=lambda: index.update(rng.random((1_200_000, d))),
        promote=lambda: index.promote(points[:600_000]),
    )
    tables = {{name: table.copy() for name, table in index.tables().items()}}
    probe = queries[:3]
    answer = index.query_knn(probe, 4)
    sent = []
    def interrupt():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)
    threading.Timer(0.25, interrupt).start()
    try:
        calls["{call}"]()
        out = dict(interrupted=False)
    except KeyboardInterrupt:
        out = dict(interrupted=True, latency=time.perf_counter() - sent[0])
    after = index.tables()
    out["unchanged"] = list(after) == list(tables) and all(np.array_equal(after[t], tables[t]) for t in tables)
    again = index.query_knn(probe, 4)
    out["same_answer"] = all(np.array_equal(x, y) for x, y in zip(answer, again))
    index.build(points[:1000], 500)  # the borrow was given back
    print(json.dumps(out))
"""


@linux_only
@pytest.mark.parametrize("call", ["query_knn", "query_radius", "build", "update", "promote"])
def test_ctrl_c_stops_a_long_call_and_leaves_the_index_as_it_was(call):
    # The serial loops stop alike (pool tests); two threads run the pooled ones.
    out = json.loads(run_python(INTERRUPTED_CALL.format(call=call), threads=2, timeout=300))
    assert out["interrupted"], "the call finished before the interrupt: make it longer"
    # The goal is 0.1 s; the bound leaves room for a loaded machine.
    assert out["latency"] < 1.5
    assert out["unchanged"] and out["same_answer"]


@linux_only
@pytest.mark.skipif(UNDER_ASAN, reason="the address sanitizer reserves more address space than the limit")
@pytest.mark.parametrize("threads, room, note", [
    (8, 300 << 20, "could not start the 8 threads asked for"),  # the stacks do not fit the address space
    (4 * os.cpu_count() + 1, None, f"asks for {4 * os.cpu_count() + 1} worker threads"),  # beyond the cap
])
def test_a_pool_size_the_process_cannot_have_gives_one_warning_not_an_abort(threads, room, note):
    out = run_python(f"""
        import resource, warnings
        import numpy as np
        from vibrel._native import RustLshIndex
        if {room} is not None:
            vm = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize"))
            limit = (vm << 10) + ({room} or 0)
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        rng = np.random.default_rng(0)
        index = RustLshIndex(4, 6, 8, 2, rng.integers(0, 8, (8, 6)), rng.random((8, 6)))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            index.build(rng.random((200_000, 8)), 150_000)
            ids, _ = index.query_knn(rng.random((5_000, 8)), 5)
        print(len(caught), caught[0].category.__name__, ids.shape)
        print(caught[0].message)
    """, threads=threads, timeout=120)
    count, category, shape = out.splitlines()[0].split(" ", 2)
    assert (count, category, shape) == ("1", "RuntimeWarning", "(5000, 5)")
    assert note in out


@linux_only
@pytest.mark.skipif(UNDER_ASAN, reason="the address sanitizer reserves more address space than the limit")
def test_an_answer_that_cannot_be_allocated_fails_before_any_work_and_changes_nothing():
    # 20,000 points: a full self-join, or a radius that reaches every point,
    # answers 400 million pairs (6.4 GB), beyond the address space left.
    out = run_python("""
        import json, resource
        import numpy as np
        from vibrel import ToroidalNN
        rng = np.random.default_rng(0)
        model = ToroidalNN(5, b=4, k=3, l=4, probes=1).fit(rng.random((20_000, 3)))
        probe = rng.random((5, 3))
        before = model.kneighbors(probe)
        used = int(next(l for l in open("/proc/self/status") if l.startswith("VmSize")).split()[1]) << 10
        resource.setrlimit(resource.RLIMIT_AS, (used + (1 << 30), used + (1 << 30)))
        calls = {"knn": lambda: model.kneighbors(n_neighbors=19_999),
                 "radius": lambda: model.radius_neighbors(radius=10.0)}
        out = {}
        for name, call in calls.items():
            try:
                call()
                out[name] = "answered"
            except MemoryError as err:
                out[name] = str(err)
        out["queries_run"] = model.index_.stats()["queries"]
        after = model.kneighbors(probe)
        out["same"] = all(np.array_equal(x, y) for x, y in zip(before, after))
        print(json.dumps(out))
    """, threads=2, timeout=300)
    out = json.loads(out)
    assert "n_neighbors = 19,999 needs 6.0 GiB, which cannot be allocated" in out["knn"]
    assert "radius of 10, which reaches every point (399,980,000 pairs)" in out["radius"]
    assert out["queries_run"] == 5  # the probe's five rows, nothing of the refused calls
    assert out["same"]


@pytest.mark.parametrize("request_answer, message", [
    (lambda: _sizes.knn_rows(2**40, 2**30), "n_neighbors = 1,073,741,824 needs"),
    (lambda: _sizes.check_radius_answer(2**33, 2**33, 5, 4.0, _sizes.box_reach("l1", None, 8)), "reaches every point"),
    (lambda: _sizes.check_radius_answer(2**33, 2**33, 0, 1.8, _sizes.box_reach("l2", np.full(3, 2.0), 3)),
     "reaches every point"),
])
def test_answers_past_any_address_space_are_refused_before_they_are_asked_for(request_answer, message):
    with pytest.raises(MemoryError, match=message):
        request_answer()


def test_a_radius_short_of_the_box_is_not_sized():
    # Only a radius that reaches every point bounds the answer; a shorter one may be small.
    _sizes.check_radius_answer(2**33, 2**33, 0, 3.99, _sizes.box_reach("l1", None, 8))
    _sizes.check_radius_answer(2**33, 2**33, 0, 1.7, _sizes.box_reach("l2", np.full(3, 2.0), 3))


@pytest.mark.parametrize("m, k_more, probes", [(3, 0, 2), (80, 0, 9), (3, 5, 9), (80, 5, 2)])
def test_k_as_large_as_the_index_agrees_with_the_reference(m, k_more, probes):
    rng = np.random.default_rng(m + probes)
    n, d = 3_000, 5
    s, u = random_params(rng, 3, 12, 4, d)
    native, reference = index_pair(3, 12, 4, probes, s, u, block=32)
    points = rng.random((n, d))
    native.build(points, 2_000)
    reference.build(points, 2_000)
    queries = rng.random((m, d))
    exclude = rng.integers(-1, n, m)
    got, want = (index.query_knn(queries, n + k_more, exclude) for index in (native, reference))
    assert_same_answer(got, want)  # every point but the excluded one, then padding
    assert ((got[0] >= 0).sum(axis=1) == n - (exclude >= 0)).all()
