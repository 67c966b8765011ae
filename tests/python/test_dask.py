"""The sharded index on a local cluster of worker processes, against one index."""

import os
import pickle

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

from vibrel import NotFittedError, ToroidalNN  # noqa: E402
from vibrel.dask import DaskToroidalNN, ShardLostError  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        yield c


def assert_same(one, many, queries, ids):
    """kNN, radius and both self-joins answered alike, ids and distances."""
    for args in ({"X": queries}, {"X": None}, {"X": None, "ids": ids}):
        for want, got in zip(one.kneighbors(**args), many.kneighbors(**args)):
            np.testing.assert_array_equal(want, got)
        for want, got in zip(one.radius_neighbors(**args), many.radius_neighbors(**args)):
            assert all(np.array_equal(w, g) for w, g in zip(want, got))


@pytest.mark.parametrize("chunked, metric, period", [(False, "l1", 1.0), (True, "l1", 1.0),
                                                      (True, "l2", [1.0, 2.0, 0.5])])
def test_exact_answers_match_one_index_through_an_epoch_cycle(client, rng, chunked, metric, period):
    box = dict(metric=metric, period=period)
    X, queries = rng.random((900, 3)) * period, rng.random((40, 3)) * period - 1.0  # queries off the box
    X[5] = X[6]  # a tie, which both order by id
    one = ToroidalNN(6, 0.12, recall=1.0, **box).fit(X, n_static=700)
    data = da.from_array(X, chunks=250) if chunked else X
    many = DaskToroidalNN(6, 0.12, recall=1.0, n_shards=None if chunked else 3, **box).fit(data, n_static=700)
    assert many.effective_metric_ == one.effective_metric_ == metric
    assert (many.n_shards_, many.n_points, many.n_candidates) == (4 if chunked else 3, 900, 200)
    ids = np.array([899, 0, 750, 5])
    assert_same(one, many, queries, ids)
    for graph in ("kneighbors_graph", "radius_neighbors_graph"):
        want, got = (getattr(model, graph)(mode="distance") for model in (one, many))
        assert (want != got).nnz == 0 and want.nnz == got.nnz

    lazy_dist, lazy_ind = many.kneighbors(da.from_array(queries, chunks=15))
    lazy_rows = many.radius_neighbors(da.from_array(queries, chunks=15), return_distance=False)
    assert isinstance(lazy_ind, da.Array)
    np.testing.assert_array_equal(lazy_ind.compute(), one.kneighbors(queries)[1])
    assert all(np.array_equal(w, g) for w, g in zip(lazy_rows.compute(), one.radius_neighbors(queries)[1]))

    moved = rng.random((200, 3)) * period
    one.update(moved), many.update(moved)
    assert_same(one, many, queries, ids)
    with pytest.raises(ShardLostError, match="changed since"):
        lazy_dist.compute()  # made before the update

    batch = rng.random((130, 3)) * period
    one.promote(batch), many.promote(batch)
    assert (many.n_static, many.n_points) == (900, 1030)
    assert_same(one, many, queries, np.array([1029, 900, 3]))


def test_tuned_setting_is_shared_and_meets_the_target(client, rng):
    X, queries = rng.random((6000, 4)), rng.random((200, 4))
    many = DaskToroidalNN(10, recall=0.95, random_state=3, n_shards=3).fit(X)
    assert many.params_["b"] > 1 and many.s_.shape == (many.params_["l"], many.params_["k"])
    truth = ToroidalNN(10, recall=1.0).fit(X).kneighbors(queries)
    dist, _ = many.kneighbors(queries)
    assert (dist <= truth[0][:, -1:]).mean() >= 0.95


@pytest.mark.parametrize("call, error", [
    (lambda m: m.kneighbors([[0.5, 0.5]]), NotFittedError),
    (lambda m: m.fit(np.zeros((0, 2))), ValueError),
    (lambda m: m.fit(np.random.rand(20, 2), n_static=21), ValueError),
    (lambda m: m.set_params(colour=1), ValueError),
    (lambda m: pickle.dumps(m.fit(np.random.rand(20, 2))), TypeError),
])
def test_bad_calls_raise(client, call, error):
    with pytest.raises(error):
        call(DaskToroidalNN())


def test_update_of_wrong_shape_changes_nothing(client, rng):
    X = rng.random((300, 2))
    many = DaskToroidalNN(3, recall=1.0).fit(X, n_static=250)
    before = many.kneighbors()
    with pytest.raises(ValueError, match="transposed"):
        many.update(rng.random((2, 50)))
    np.testing.assert_array_equal(before[1], many.kneighbors()[1])


class _ExitOnStep(distributed.WorkerPlugin):
    """Ends the worker process at `victim` when it starts a task of `prefix`, once."""

    def __init__(self, victim, prefix, marker):
        self.victim, self.prefix, self.marker = victim, prefix, marker

    def setup(self, worker):
        self.worker = worker

    def transition(self, key, start, finish, **kwargs):
        if (finish == "executing" and key.startswith(self.prefix) and self.worker.address == self.victim
                and not os.path.exists(self.marker)):
            open(self.marker, "w").close()
            os._exit(1)


def _state(shard):
    return shard.epoch, shard.front.n_points, shard.front.n_static, shard.gids.size


@pytest.mark.parametrize("step", ["update", "promote"])
def test_worker_lost_mid_step_raises_and_the_other_shards_undo_it(client, rng, tmp_path, step):
    # Last in the module: the cluster's nanny replaces the worker afterwards.
    client.wait_for_workers(2)
    X = rng.random((400, 2))
    many = DaskToroidalNN(3, recall=1.0, n_shards=4).fit(X, n_static=100)
    homes = [h[0] for h in many._homes]
    survivors = [s for s, h in zip(many._shards, homes) if h != homes[-1]]
    before = client.gather([client.submit(_state, s, workers=homes[0], pure=False) for s in survivors])
    # register_plugin replaced register_worker_plugin in 2023.
    register = getattr(client, "register_plugin", None) or client.register_worker_plugin
    register(_ExitOnStep(homes[-1], "_" + step, str(tmp_path / "done")), name="exit")
    with pytest.raises(ShardLostError):
        getattr(many, step)(rng.random((300, 2)))
    after = client.gather([client.submit(_state, s, workers=homes[0], pure=False) for s in survivors])
    assert survivors and after == before
    with pytest.raises(ShardLostError):
        many.kneighbors()
