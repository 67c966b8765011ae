"""`DaskToroidalNN`: the `ToroidalNN` interface over shards held on Dask workers.

Each shard is a `ToroidalNN` on one worker over some of the points, with their
global ids.  Every shard uses the same hash setting (b, k, l, probes, s and u),
chosen once for all the points, so the union of the shards' candidates is the
candidates of one index over all of them; a query goes to every shard and the
shards' answers are merged by (distance, id), the order of one index.  With
`recall=1.0` the answers are those of `ToroidalNN(recall=1.0)`, ids and
distances.

Layout.  A shard's global ids ascend with its local ids (rows arrive in id
order), so its ties come out in global id order.  The static tier is spread as
the rows were given; the candidates of a shard are always one run of
consecutive ids, which is all the client keeps of the layout: `update` sends
each shard its run of the new coordinates, and `promote` cuts the next batch
into one run per shard.

Failures.  A state change (`update`, `promote`) is applied on every shard or on
none: each shard records how to undo its step, and when any shard fails, the
others undo theirs before the error is raised.  Every shard carries the number
of state changes it has seen; a task finding another number than the model's
fails, so a shard that Dask rebuilt from its input after losing its worker is
never mistaken for the current one.
"""

from __future__ import annotations

import contextlib
import dataclasses
import math
from concurrent.futures import CancelledError
from typing import Any, overload

import numpy as np
from numpy.typing import ArrayLike

try:
    import dask
    import dask.array as da
    import distributed
    from dask.sizeof import sizeof
except ImportError as err:  # pragma: no cover - exercised only without Dask
    raise ImportError("vibrel.dask needs Dask and its distributed scheduler: install the Debian "
                      "packages python3-dask and python3-distributed (or the dask and distributed "
                      f"packages from PyPI); {err}") from None

from vibrel import _backend, _tune, _validation
from vibrel.neighbors import (NotFittedError, Setting, TierSizes, ToroidalNN, box_period, check_enough, check_ids,
                              check_n_static, check_no_ids_with, indexed_points, install, knn_checked,
                              radius_checked, setting_attributes, setting_for, split_rows, update_rows)

__all__ = ["DaskToroidalNN", "ShardLostError"]

# The parameters a DaskToroidalNN passes on to the front of every shard.
_FRONT_PARAMS = tuple(ToroidalNN().get_params())
# How often a wait for shard tasks looks whether a shard was lost.
_POLL_SECONDS = 1.0


class ShardLostError(RuntimeError):
    """A shard could not be reached or no longer holds the model's state."""


# ------------------------------------------------------------- on the workers


class _Shard:
    """One shard, living on a worker: its rows, their global ids and, once the
    setting is known, the `ToroidalNN` over them."""

    def __init__(self, points: np.ndarray, gid0: int) -> None:
        self.points = points
        self.gids = np.arange(gid0, gid0 + points.shape[0], dtype=np.int64)
        self.front: ToroidalNN | None = None
        self.tuning: _tune.Tuning | None = None
        self.setting: Setting | None = None
        self.epoch = 0
        self.undo: tuple[str, Any] | None = None

    def model(self) -> ToroidalNN:
        """The shard's fitted ToroidalNN."""
        if self.front is None:
            raise ShardLostError("a shard was asked before its index was installed")
        return self.front

    def __reduce__(self):
        raise TypeError("a shard is not copied between processes: it stays on its worker")

    def nbytes(self) -> int:
        tables = 0 if self.front is None else self.front.table_bytes_
        return int(self.points.nbytes * 1.5 + self.gids.nbytes + tables)

    def check(self, epoch: int) -> None:
        if self.epoch != epoch:
            raise ShardLostError(f"a shard holds state {self.epoch} where the task expects {epoch}: "
                                 f"the model changed since this lazy result was made, or the shard "
                                 f"was rebuilt from its input after its worker was lost")

    @overload
    def local(self, gids: np.ndarray) -> np.ndarray: ...

    @overload
    def local(self, gids: None) -> None: ...

    def local(self, gids: np.ndarray | None) -> np.ndarray | None:
        """Local ids of global ids, -1 for those held elsewhere."""
        if gids is None:
            return None
        pos = np.minimum(np.searchsorted(self.gids, gids), self.gids.size - 1)
        return np.where(self.gids[pos] == gids, pos, -1)


sizeof.register(_Shard)(_Shard.nbytes)


def _make_shard(rows: Any, gid0: int, period: np.ndarray | None) -> _Shard:
    return _Shard(_validation.as_points(rows, "X", period=period), gid0)


def _take(shard: _Shard, gids: np.ndarray):
    """(positions in `gids`, rows) of the ids this shard holds."""
    local = shard.local(gids)
    held = np.flatnonzero(local >= 0)
    return held, shard.points[local[held]]


def _exact_knn(shard: _Shard, queries: np.ndarray, n_neighbors: int, exclude: np.ndarray, backend: str,
               metric: str, period: np.ndarray | None):
    """The exhaustive answer of this shard, as (dist, gids)."""
    engine, _ = _backend.resolve(backend, metric, period)
    index = _backend.exhaustive_index(engine, shard.points, shard.points.shape[0])
    # Arrays arrive in the task's message frames, which newer schedulers do not
    # align; the engine reads only aligned ones.
    queries = np.require(queries, np.float64, ["C", "A"])
    ind, dist = index.query_knn(queries, n_neighbors, shard.local(exclude))
    return dist, _global(shard, ind)


def _install(shard: _Shard, params: dict, tuning: _tune.Tuning, setting: Setting, n_static: int) -> _Shard:
    """The shard's ToroidalNN over its rows, the first `n_static` global ids static."""
    local_static = int(np.searchsorted(shard.gids, n_static))
    sample = shard.local(tuning.sample_rows)
    shard.tuning = tuning = dataclasses.replace(tuning, sample_rows=sample[sample >= 0])
    engine, _ = _backend.resolve(setting.backend, setting.metric, setting.period, setting.threads != 0)
    shard.setting = setting = dataclasses.replace(setting, engine=engine)
    shard.front = ToroidalNN(**params)
    install(shard.front, shard.points, local_static, tuning, setting)
    return shard


def _knn(shard: _Shard, epoch: int, queries, n_neighbors: int, exclude, d: int):
    """This shard's nearest `n_neighbors` of each query, as (dist, gids)."""
    shard.check(epoch)
    front = shard.model()
    queries = _validation.as_points(queries, "X", d, box_period(front))
    k = min(n_neighbors, shard.gids.size)
    ind, dist = knn_checked(front, queries, shard.local(exclude), k)
    return dist, _global(shard, ind)


def _radius(shard: _Shard, epoch: int, queries, radius: float, exclude, d: int):
    """This shard's CSR answer (indptr, gids, dists) within `radius`."""
    shard.check(epoch)
    front = shard.model()
    queries = _validation.as_points(queries, "X", d, box_period(front))
    indptr, ids, dists = radius_checked(front, queries, shard.local(exclude), radius)
    return indptr, shard.gids[ids], dists


def _join_rows(shard: _Shard, ids):
    """(positions in `ids`, or None for all, gids, rows) of this shard's points among `ids`."""
    if ids is None:
        return None, shard.gids, shard.points
    held, rows = _take(shard, ids)
    return held, ids[held], rows


def _knn_join(shard, epoch, part, n_neighbors, d, own):
    return _knn(shard, epoch, part[2], n_neighbors, part[1] if own else None, d)


def _radius_join(shard, epoch, part, radius, d, own):
    return _radius(shard, epoch, part[2], radius, part[1] if own else None, d)


def _update(shard: _Shard, epoch: int, rows: np.ndarray) -> int:
    shard.check(epoch)
    front = shard.model()
    previous = indexed_points(front)[front.n_static:].copy()
    front.update(rows)
    shard.points = front._points  # an update gives the model a new array of points
    shard.undo, shard.epoch = ("update", previous), epoch + 1
    return shard.epoch


def _promote(shard: _Shard, epoch: int, rows: np.ndarray, gid0: int) -> int:
    shard.check(epoch)
    front = shard.model()
    before = (front.n_points, front.n_static)
    front.promote(rows)
    shard.points = indexed_points(front)
    shard.gids = np.concatenate([shard.gids, np.arange(gid0, gid0 + rows.shape[0], dtype=np.int64)])
    shard.undo, shard.epoch = ("promote", before), epoch + 1
    return shard.epoch


def _undo(shard: _Shard, epoch: int) -> int:
    """Takes back the step that brought this shard from `epoch` to the next."""
    if shard.epoch == epoch:
        return epoch
    shard.check(epoch + 1)
    assert shard.undo is not None and shard.tuning is not None and shard.setting is not None
    kind, before = shard.undo
    front = shard.model()
    if kind == "update":
        front.update(before)
        shard.points = front._points
    else:
        n_points, n_static = before
        shard.points, shard.gids = indexed_points(front)[:n_points], shard.gids[:n_points]
        install(front, shard.points, n_static, shard.tuning, shard.setting)
    shard.undo, shard.epoch = None, epoch
    return epoch


def _global(shard: _Shard, ind: np.ndarray) -> np.ndarray:
    return np.where(ind >= 0, shard.gids[np.maximum(ind, 0)], -1)


def _merge_knn(parts, n_neighbors: int):
    """The rows of the shards' (dist, gids) answers merged: (dist, gids), nearest first."""
    dist = np.concatenate([p[0] for p in parts], axis=1)
    ids = np.concatenate([p[1] for p in parts], axis=1)
    order = np.lexsort((ids, dist), axis=-1)[:, :n_neighbors]
    return np.take_along_axis(dist, order, 1), np.take_along_axis(ids, order, 1)


def _merge_radius(parts, m: int):
    """The shards' CSR answers merged into one, rows nearest first (ties by id)."""
    rows = np.concatenate([np.repeat(np.arange(m), np.diff(p[0])) for p in parts])
    ids = np.concatenate([p[1] for p in parts])
    dists = np.concatenate([p[2] for p in parts])
    order = np.lexsort((ids, dists, rows))
    indptr = np.zeros(m + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, minlength=m), out=indptr[1:])
    return indptr, ids[order], dists[order]


def _radius_rows(parts, return_distance: bool):
    m = parts[0][0].size - 1
    indptr, ids, dists = _merge_radius(parts, m)
    rows_ind = split_rows(ids, indptr)
    return (split_rows(dists, indptr), rows_ind) if return_distance else rows_ind


def _ask_shards(block, keys, homes, epoch: int, func, arg, d: int, merge, how):
    """A task of a lazy query: asks every shard about one block of queries and merges."""
    block = _validation.as_points(block, "X", d, wrap=False)  # each shard wraps it onto its box
    asking: Any
    try:
        distributed.get_worker()
        asking = distributed.worker_client()
    except ValueError:  # computed by another scheduler in the client's process
        asking = contextlib.nullcontext(distributed.get_client())
    with asking as client:
        shards = [distributed.Future(key, client) for key in keys]
        parts = _gather(client, [_on(client, h, func, s, epoch, block, arg, None, d)
                                 for s, h in zip(shards, homes)], shards)
    return merge(parts, how)


# ------------------------------------------------------------- on the client


class _Rows:
    """The points of the shards as the tuner reads them: a shape, and rows by id."""

    def __init__(self, client: Any, shards: list, homes: list, sizes: list, d: int, setting: Setting) -> None:
        self.client, self.shards, self.homes = client, shards, homes
        self.sizes, self.setting = sizes, setting
        self.shape = (int(sum(sizes)), d)

    def __getitem__(self, ids) -> np.ndarray:
        ids = np.asarray(ids, dtype=np.int64)
        out = np.empty((ids.size, self.shape[1]))
        for held, rows in _gather(self.client, [_on(self.client, h, _take, s, ids)
                                                for s, h in zip(self.shards, self.homes)], self.shards):
            out[held] = rows
        return out

    def truth(self, rows: np.ndarray, n_neighbors: int):
        """The tuner's truth: the sample's exhaustive answer merged over the shards, (ids, distances)."""
        queries = self[rows]
        setting = self.setting
        parts = _gather(self.client, [_on(self.client, h, _exact_knn, s, queries, n_neighbors, rows,
                                          setting.backend, setting.metric, setting.period)
                                      for s, h in zip(self.shards, self.homes)], self.shards)
        dist, true_ind = _merge_knn(parts, n_neighbors)
        return true_ind, dist


def _gather(client, futures, shards=()):
    """The results of `futures`; ShardLostError when a worker was lost under them."""
    _wait(futures, shards)
    try:
        return client.gather(futures)
    except (CancelledError, distributed.scheduler.KilledWorker) as err:
        raise ShardLostError(f"a shard was lost with its worker ({type(err).__name__}: {err}); "
                             f"fit the model again") from err


def _settle(client, shards) -> list:
    """Waits for the shards to be built, raising the first failure, and returns
    the worker of each (a shard stays there; it is never gathered)."""
    _wait(shards)
    _gather(client, [s for s in shards if s.status != "finished"])
    where = client.who_has(shards)
    return [list(where[s.key]) for s in shards]


def _wait(futures, shards=()) -> None:
    """Waits until every future has finished, failed or been cancelled.  A task
    is bound to its shard's worker, so once a shard is lost (or being computed
    again, which would wait for that worker) ShardLostError is raised instead."""
    futures = distributed.futures_of(futures)
    while True:
        try:
            distributed.wait(futures, timeout=_POLL_SECONDS)
            return
        except CancelledError:
            return
        except TimeoutError:
            if any(s.status != "finished" for s in shards):
                raise ShardLostError("a shard was lost with its worker; fit the model again") from None


def _on(client, home, func, shard, *args):
    """`func(shard, *args)` run where the shard lives, and only there: moving a
    shard would copy the whole index (Dask's work stealing moves a task with its
    inputs to an idle worker unless the task is bound)."""
    return client.submit(func, shard, *args, workers=home, allow_other_workers=False, pure=False)


class DaskToroidalNN(TierSizes):
    """Nearest neighbours on a periodic box with the points sharded over Dask workers.

    The interface is `vibrel.ToroidalNN`'s (see there for the parameters, the
    recall target and the epoch cycle); the points live on the workers of a Dask
    cluster, one `ToroidalNN` per shard, so that the index can outgrow one
    machine.

    Parameters
    ----------
    n_neighbors, radius : as for ToroidalNN.
    client : distributed.Client or None
        The cluster to use; None uses the default client.
    n_shards : int or None
        Shards of a NumPy X (default: one per worker); a dask.array X is cut into
        this many row chunks, or, when None, sharded by its own row chunks.
    **params : the other ToroidalNN parameters (recall, b, k, l, probes, block,
        memory, random_state, backend).  One setting is tuned for all the points
        and used by every shard.

    What is retried.  Nothing, by vibrel.  Dask runs a task again on another
    worker when its worker dies before the task ends; the task then finds its
    shard lost.  A state change (`update`, `promote`) is applied on every shard
    or on none: when one shard fails, the others undo theirs, and the error is
    raised (ShardLostError for a lost worker).  Each task names the number of
    state changes it expects its shard to have seen, so a step is never applied
    twice and a shard rebuilt from its input is never taken for the current one.
    Once a shard is lost, every call raises ShardLostError until the next `fit`.
    """

    # The front's parameters, set by `set_params`.
    n_neighbors: int
    radius: float
    metric: str
    period: Any
    recall: float
    b: int | None
    k: int | None
    l: int | None
    probes: int | None
    block: int | None
    memory: float
    random_state: Any
    backend: str
    n_jobs: int | None
    verbose: Any
    _period: np.ndarray | None  # the fitted box sides, None on the unit torus

    def __init__(self, n_neighbors: int = 5, radius: float = 1.0, *, client=None,
                 n_shards: int | None = None, **params) -> None:
        self.client = client
        self.n_shards = n_shards
        self.set_params(**ToroidalNN(n_neighbors, radius, **params).get_params())

    def get_params(self, deep: bool = True) -> dict:
        """The constructor parameters.

        Parameters
        ----------
        deep : bool, default True
            Accepted for scikit-learn's interface; no parameter is an estimator.

        Returns
        -------
        params : dict
            Parameter names mapped to their values.
        """
        return {"client": self.client, "n_shards": self.n_shards,
                **{name: getattr(self, name) for name in _FRONT_PARAMS}}

    def set_params(self, **params: Any) -> DaskToroidalNN:
        """Sets constructor parameters; they take effect at the next `fit`.

        Parameters
        ----------
        **params : dict
            `client`, `n_shards` and the parameters of ToroidalNN.

        Returns
        -------
        self : DaskToroidalNN
        """
        for name in ("client", "n_shards"):
            if name in params:
                setattr(self, name, params.pop(name))
        ToroidalNN().set_params(**params)
        for name, value in params.items():
            setattr(self, name, value)
        return self

    def __getstate__(self):
        if hasattr(self, "_shards"):
            raise TypeError("a fitted DaskToroidalNN does not pickle: its shards live on the cluster's "
                            "workers; fit a ToroidalNN on the points to keep the index in a file")
        return dict(self.__dict__)

    def _front(self) -> ToroidalNN:
        return ToroidalNN(**{name: getattr(self, name) for name in _FRONT_PARAMS})

    def _client(self):
        return self.client if self.client is not None else distributed.get_client()

    # ------------------------------------------------------------------- fit

    def fit(self, X: Any, y: Any = None, *, n_static: int | None = None) -> DaskToroidalNN:
        """Index the points X, each shard built on the worker that holds its rows.

        Parameters
        ----------
        X : array-like or dask.array of shape (n, d)
            The points; a dask.array keeps its row chunks as shards (or is cut
            into `n_shards`), a NumPy array is cut into `n_shards` row ranges.
        y : None
            Ignored.
        n_static : int or None, default None
            Rows that form the static tier (all when None).

        Returns
        -------
        self : DaskToroidalNN
        """
        client = self._client()
        front = self._front()
        front.verbose = False
        shards, homes, sizes, setting = self._place(client, X, front)
        n, d = int(sum(sizes)), self.n_features_in_
        n_static = check_n_static(n, n_static)
        rows = _Rows(client, shards, homes, sizes, d, setting)
        tuning = _tune.tune(rows, min(setting.n_neighbors, n - 1), setting.target, setting.rng,
                            setting.engine, memory=setting.memory, fixed=setting.fixed, truth=rows.truth,
                            period=setting.period)
        if any(value is not None for value in setting.fixed.values()):
            _tune.warn_if_short(tuning.params, tuning.recall, tuning.recall_error, setting.target, stacklevel=2)
        params = front.get_params()
        sent = dataclasses.replace(setting, engine=None)  # each worker resolves its own engine
        shards = [_on(client, h, _install, s, params, tuning, sent, n_static)
                  for s, h in zip(shards, homes)]
        self._homes = _settle(client, shards)
        self._shards, self._epoch, self._lost = shards, 0, False
        self._n_static, self._n_points = n_static, n
        starts = np.concatenate([[0], np.cumsum(sizes)])
        self._cand = [(max(lo, n_static), max(hi, n_static)) for lo, hi in zip(starts[:-1], starts[1:])]
        self.__dict__.update(setting_attributes(tuning, setting))
        return self

    def _place(self, client: Any, X: Any, front: ToroidalNN) -> tuple[list, list, list, Setting]:
        """(futures of the shards, their workers, their sizes, the checked
        setting): the rows sent to or found on the workers, wrapped onto the box.
        The parameters are checked before any data moves."""
        n_shards = None if self.n_shards is None else _validation.check_int(self.n_shards, "n_shards", 1)
        if isinstance(X, da.Array):
            if X.ndim != 2 or any(math.isnan(c) for c in X.chunks[0]):
                raise ValueError(f"X must be a two-dimensional dask array of known chunk sizes, "
                                 f"got shape {X.shape}")
            if n_shards is not None:
                X = X.rechunk({0: -(-X.shape[0] // n_shards)})
            X = X.rechunk({1: -1})
            blocks = [b for b, size in zip(X.to_delayed()[:, 0], X.chunks[0]) if size]
            sizes = [size for size in X.chunks[0] if size]
            starts = np.concatenate([[0], np.cumsum(sizes)])
            d = X.shape[1]
            setting = setting_for(front, check_n_static(int(sum(sizes)), None), d)
            chunks = client.compute(blocks)
            shards = [client.submit(_make_shard, c, int(s), setting.period, pure=False)
                      for c, s in zip(chunks, starts)]
            del chunks
        else:
            points, bounds = _validation.checked_points(X, "X")
            d = points.shape[1]
            setting = setting_for(front, check_n_static(points.shape[0], None), d)
            _validation.wrap_onto(points, setting.period, bounds)
            workers = len(client.scheduler_info()["workers"])
            pieces = [p for p in np.array_split(points, n_shards or max(1, workers)) if p.shape[0]]
            sizes = [p.shape[0] for p in pieces]
            starts = np.concatenate([[0], np.cumsum(sizes)])
            shards = [client.submit(_make_shard, f, int(s), None, pure=False)
                      for f, s in zip(client.scatter(pieces, hash=False), starts)]
        self.n_features_in_ = d
        return shards, _settle(client, shards), sizes, setting

    # ----------------------------------------------------------------- sizes

    def _tier_sizes(self) -> tuple[int, int]:
        self._fitted()
        return self._n_points, self._n_static

    @property
    def n_shards_(self) -> int:
        """Shards the points are held in."""
        return len(self._fitted()._shards)

    # --------------------------------------------------------------- queries

    def kneighbors(self, X: Any = None, n_neighbors: int | None = None, return_distance: bool = True, *,
                   ids: ArrayLike | None = None) -> Any:
        """The `n_neighbors` nearest points of each query, over every shard.

        Parameters
        ----------
        X : array-like or dask.array of shape (m, d), or None, default None
            The queries; a dask.array gives dask arrays, computed when asked for
            (before the model next changes).  None: the self-join, each point
            left out of its own answer by its id.
        n_neighbors : int or None, default None
            Neighbours of each query; None: the model's `n_neighbors`.
        return_distance : bool, default True
            Whether the distances are returned beside the ids.
        ids : array-like of int or None, default None
            Only with X=None: the self-join of these points alone.

        Returns
        -------
        dist : ndarray or dask.array of shape (m, n_neighbors), float64
            Only when `return_distance` is True; rows nearest first.
        ind : ndarray or dask.array of shape (m, n_neighbors), int64
            Global ids, equal distances by ascending id.
        """
        self._fitted()
        k = self._n_neighbors(n_neighbors)
        check_no_ids_with(X, ids)
        check_enough(self._n_points, k, X is None)
        d = self.n_features_in_
        if X is None:
            m, parts, place = self._join(_knn_join, ids, k)
            dist, ind = np.empty((m, k)), np.empty((m, k), dtype=np.int64)
            for where, answers in zip(place, parts):
                dist[where], ind[where] = _merge_knn(answers, k)
        elif isinstance(X, da.Array):
            merged = self._lazy(_knn, X, k, _merge_knn, k)
            dist = da.concatenate([da.from_delayed(md[0], (size, k), np.float64)
                                   for md, size in zip(merged, X.chunks[0])])
            ind = da.concatenate([da.from_delayed(md[1], (size, k), np.int64)
                                  for md, size in zip(merged, X.chunks[0])])
        else:
            dist, ind = _merge_knn(self._eager(_knn, _validation.as_points(X, "X", d, self._period), k), k)
        return (dist, ind) if return_distance else ind

    def radius_neighbors(self, X: Any = None, radius: float | None = None, return_distance: bool = True,
                         sort_results: bool = False, *, ids: ArrayLike | None = None) -> Any:
        """The points within `radius` of each query, over every shard.

        Parameters
        ----------
        X : array-like or dask.array of shape (m, d), or None, default None
            The queries, as in `kneighbors`.
        radius : float or None, default None
            In the box's units; None: the model's `radius`.
        return_distance : bool, default True
            Whether the distances are returned beside the ids.
        sort_results : bool, default False
            Rows are always sorted; accepted for scikit-learn's interface.
        ids : array-like of int or None, default None
            As in `kneighbors`.

        Returns
        -------
        dist : ndarray or dask.array of shape (m,), object
            Row i the distances of query i's neighbours, nearest first; only
            when `return_distance` is True.
        ind : ndarray or dask.array of shape (m,), object
            Row i their global ids.
        """
        if isinstance(X, da.Array):
            radius = self._check_radius(radius, return_distance, sort_results, X, ids)
            rows = self._lazy(_radius, X, radius, _radius_rows, True)
            out = [da.concatenate([da.from_delayed(r[i], (size,), object)
                                   for r, size in zip(rows, X.chunks[0])]) for i in range(2)]
            return tuple(out) if return_distance else out[1]
        indptr, ids_, dists = self._radius_csr(X, radius, return_distance, sort_results, ids)
        rows_ind = split_rows(ids_, indptr)
        return (split_rows(dists, indptr), rows_ind) if return_distance else rows_ind

    def _check_radius(self, radius, return_distance, sort_results, X, ids) -> float:
        self._fitted()
        if sort_results and not return_distance:
            raise ValueError("return_distance must be True if sort_results is True")
        check_no_ids_with(X, ids)
        return _validation.check_radius(self.radius if radius is None else radius)

    def _radius_csr(self, X, radius, return_distance, sort_results, ids):
        """The merged CSR answer (indptr, ids, dists) of a NumPy X or the self-join."""
        radius = self._check_radius(radius, return_distance, sort_results, X, ids)
        if X is not None:
            queries = _validation.as_points(X, "X", self.n_features_in_, self._period)
            return _merge_radius(self._eager(_radius, queries, radius), queries.shape[0])
        m, parts, place = self._join(_radius_join, ids, radius)
        merged = [_merge_radius(answers, len(where)) for where, answers in zip(place, parts)]
        # The rows come per shard; put them in the order of the queries.
        source = np.empty(m, dtype=np.int64)
        source[np.concatenate(place)] = np.arange(m)
        starts = np.concatenate([ptr[:-1] + offset for (ptr, _, _), offset in
                                 zip(merged, np.cumsum([0] + [p[1].size for p in merged[:-1]]))])
        lengths = np.concatenate([np.diff(ptr) for ptr, _, _ in merged])[source]
        indptr = np.zeros(m + 1, dtype=np.int64)
        np.cumsum(lengths, out=indptr[1:])
        take = np.repeat(starts[source] - indptr[:-1], lengths) + np.arange(indptr[-1])
        return (indptr, np.concatenate([p[1] for p in merged])[take],
                np.concatenate([p[2] for p in merged])[take])

    kneighbors_graph = ToroidalNN.kneighbors_graph
    radius_neighbors_graph = ToroidalNN.radius_neighbors_graph
    transform = ToroidalNN.transform
    fit_transform = ToroidalNN.fit_transform

    def _n_neighbors(self, n_neighbors):
        return _validation.check_int(self.n_neighbors if n_neighbors is None else n_neighbors,
                                     "n_neighbors", 1)

    def _eager(self, func, queries: np.ndarray, arg):
        """The shards' answers to `queries`, which are sent to each worker once."""
        client = self._client()
        sent = client.scatter(queries, broadcast=True, hash=False)
        return _gather(client, [_on(client, h, func, s, self._epoch, sent, arg, None, self.n_features_in_)
                                for s, h in zip(self._shards, self._homes)], self._shards)

    def _lazy(self, func, X, arg, merge, how):
        """Per row block of the dask.array X, the delayed pair merged from the
        shards' answers.  The shards are named by key, not passed, so that Dask
        never moves one to where a block is."""
        keys = [s.key for s in self._shards]
        call = dask.delayed(_ask_shards, pure=True, nout=2)
        return [call(block, keys, self._homes, self._epoch, func, arg, self.n_features_in_, merge, how)
                for block in X.rechunk({1: -1}).to_delayed()[:, 0]]

    def _join(self, func, ids, arg):
        """The self-join: each shard's points (or those among `ids`) asked of every
        shard, leaving a point out by its id where it lives.  Returns (rows,
        per shard the answers, per shard where its rows go in the result)."""
        client = self._client()
        ids = None if ids is None else check_ids(ids, self._n_points)
        m = self._n_points if ids is None else ids.size
        homes = self._homes
        parts = [_on(client, h, _join_rows, s, ids) for s, h in zip(self._shards, homes)]
        calls = [[_on(client, h, func, s, self._epoch, part, arg, self.n_features_in_, a == b)
                  for b, (s, h) in enumerate(zip(self._shards, homes))] for a, part in enumerate(parts)]
        answers = _gather(client, calls, self._shards)
        place = [p[1] if p[0] is None else p[0] for p in _gather(client, parts, self._shards)]
        return m, answers, place

    # ----------------------------------------------------------- epoch cycle

    def update(self, X: ArrayLike) -> DaskToroidalNN:
        """Replaces the coordinates of the candidate tier on the shards that hold
        them: on all shards or, when one fails, on none.

        Parameters
        ----------
        X : array-like of shape (n_candidates, d)
            The candidates' new coordinates in id order; each shard is sent the
            rows of the candidates it holds.

        Returns
        -------
        self : DaskToroidalNN
            This model.
        """
        self._fitted()
        coords = update_rows(X, self.n_candidates, self.n_features_in_, self._period)
        base = self._n_static
        self._step(_update, [(coords[lo - base:hi - base],) for lo, hi in self._cand])
        return self

    def promote(self, X: ArrayLike) -> DaskToroidalNN:
        """Moves the candidates into the static tier and installs the rows of X as
        the new candidates, cut into one run of consecutive ids per shard.

        Parameters
        ----------
        X : array-like of shape (m, d)
            The new candidates, numbered from the old `n_points` on.

        Returns
        -------
        self : DaskToroidalNN
        """
        self._fitted()
        batch = _validation.as_points(X, "X", self.n_features_in_, self._period)
        pieces = np.array_split(batch, len(self._shards))
        starts = self._n_points + np.concatenate([[0], np.cumsum([p.shape[0] for p in pieces])])
        self._step(_promote, [(p, int(s)) for p, s in zip(pieces, starts)])
        self._n_static, self._n_points = self._n_points, self._n_points + batch.shape[0]
        self._cand = list(zip(starts[:-1].tolist(), starts[1:].tolist()))
        return self

    def _step(self, func, args) -> None:
        """`func(shard, epoch, rows, *rest)` on every shard, or, when one fails, on
        none.  The rows go straight to the shard's worker rather than into the task."""
        client = self._client()
        self._fitted()
        try:
            rows = [client.scatter(a[0], workers=h, hash=False) for h, a in zip(self._homes, args)]
        except (KeyError, OSError) as err:  # the scheduler no longer knows a shard's worker
            self._lost = True
            raise ShardLostError(f"a shard's worker is gone ({err!r}); fit the model again") from err
        calls = [_on(client, h, func, s, self._epoch, r, *a[1:])
                 for s, h, r, a in zip(self._shards, self._homes, rows, args)]
        try:
            _wait(calls, self._shards)
        except ShardLostError:  # let the calls on the live shards end, to undo them
            live = [s.status == "finished" for s in self._shards]
            client.cancel([c for c, ok in zip(calls, live) if not ok])
            _wait([c for c, ok in zip(calls, live) if ok])
        failed = [c for c in calls if c.status != "finished"]
        if failed:
            # A failed step changed nothing on its shard; a cancelled shard is gone
            # and must not be named in a new task.
            done = [i for i, c in enumerate(calls) if c.status == "finished"]
            undo = [_on(client, self._homes[i], _undo, self._shards[i], self._epoch) for i in done]
            _wait(undo, [self._shards[i] for i in done])
            self._lost = (any(u.status != "finished" for u in undo)
                          or any(s.status != "finished" for s in self._shards))
            _gather(client, failed)
        self._epoch += 1

    def _fitted(self) -> DaskToroidalNN:
        if not hasattr(self, "_shards"):
            raise NotFittedError(
                "This DaskToroidalNN instance is not fitted yet; call fit(X) first")
        if getattr(self, "_lost", False) or any(s.status != "finished" for s in self._shards):
            self._lost = True
            raise ShardLostError("a shard was lost with its worker; fit the model again")
        return self
