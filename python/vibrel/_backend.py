"""Choice of the engine behind `vibrel.ToroidalNN`: the compiled class when it
imports and has every method the front calls, else the NumPy reference.

L1 on the unit torus runs on `vibrel._native.RustLshIndex`; any other metric or
box on `vibrel._periodic.PeriodicLshIndex`, built from the same core (the two
measure alike on the unit torus: bench/bench_periodic.py).  The engine handed
out is a class, or that class bound to its metric and periods, called as
engine(b, k, l, probes, s, u, block)."""

from __future__ import annotations

import functools
import os
import warnings

import numpy as np

from vibrel import _exact
from vibrel._params import EXHAUSTIVE
from vibrel.lsh import PythonLshIndex

# Methods of the engine that ToroidalNN calls.
REQUIRED_METHODS = ("build", "update", "promote", "query_knn", "query_radius")
BACKENDS = ("auto", "native", "reference")


class ReferenceBackendWarning(UserWarning):
    """The compiled engine is unavailable and the (much slower) NumPy reference runs instead."""


def _load_native(periodic: bool):
    """The compiled class, or None and the reason it cannot serve."""
    module, name = ("_periodic", "PeriodicLshIndex") if periodic else ("_native", "RustLshIndex")
    try:
        cls = getattr(__import__(f"vibrel.{module}", fromlist=[name]), name)
    except (ImportError, AttributeError) as err:
        return None, f"vibrel.{module} does not import ({err})"
    missing = [m for m in REQUIRED_METHODS if not callable(getattr(cls, m, None))]
    if missing:
        return None, f"vibrel.{module}.{name} lacks {', '.join(missing)}"
    return cls, None


def _bound(cls, metric: str, period):
    """`cls` measuring with `metric` and `period` (None: the unit torus), named
    after the class and metric so that per-engine caches tell them apart."""
    if metric == "l1" and period is None:
        return cls
    engine = functools.partial(cls, metric=metric, period=period)
    engine.__name__ = f"{cls.__name__}[{metric}]"  # type: ignore[attr-defined]
    return engine


def resolve(backend: str, metric: str = "l1", period=None, counted_threads: bool = False):
    """(engine, name) for `backend`: "auto", "native" or "reference", measuring
    with `metric` ("l1" or "l2") and `period` (None or one period per axis).

    `counted_threads` asks for a compiled engine whose calls can keep to a
    thread count (`call`): the periodic one, which also serves L1 on the unit
    torus.  "auto" falls back to the reference with a ReferenceBackendWarning;
    "native" raises ImportError when the compiled class cannot serve.
    """
    if backend not in BACKENDS:
        raise ValueError(f"backend must be one of {', '.join(map(repr, BACKENDS))}, got {backend!r}")
    if backend == "reference":
        return _bound(PythonLshIndex, metric, period), "reference"
    native, reason = _load_native(metric != "l1" or period is not None or counted_threads)
    if native is not None:
        return _bound(native, metric, period), "native"
    if backend == "native":
        raise ImportError(f"backend='native' was asked for, but {reason}")
    warnings.warn(f"{reason}; using the NumPy reference implementation vibrel.lsh.PythonLshIndex, "
                  "which gives the same answers much more slowly", ReferenceBackendWarning, stacklevel=3)
    return _bound(PythonLshIndex, metric, period), "reference"


def build_index(engine, params, s, u, block: int, points, n_static: int, threads: int = 0):
    """An engine index of `params` (a HashParams) over `points`, the first
    `n_static` rows static, built on `threads` threads (0: all): the one place
    where the front makes an index.

    The engine reads only C-contiguous, aligned arrays. Arrays restored from
    out-of-band pickle buffers (protocol 5, as Dask and joblib send them) can sit
    at any byte offset, so such arrays are copied here; others pass unchanged."""
    s, u, points = (np.require(a, dtype, ["C", "A"]) for a, dtype in
                    ((s, np.int64), (u, np.float64), (points, np.float64)))
    index = engine(params.b, params.k, params.l, params.probes, s, u, block)
    call(threads, index.build, points, n_static)
    return index


def exhaustive_index(engine, points, n_static: int, block: int = 0, threads: int = 0):
    """An index of `engine` in exhaustive mode (one cell: every point compared
    with every query, exact answers) over `points`: the package's one
    exhaustive search, used by the tuner for its truth, by the front for radii
    the tables miss and by the benchmarks as their yardstick.  With one cell
    the coordinate a digit reads and its shift never change the key."""
    return build_index(engine, EXHAUSTIVE, np.zeros((1, 1), dtype=np.int64), np.zeros((1, 1)), block,
                       points, n_static, threads)


def pool_threads() -> int:
    """Worker threads of the compiled engine's pool (as it sized itself from the
    environment); the hardware threads when the engine is missing."""
    try:
        from vibrel._periodic import pool_threads as threads
    except ImportError:
        return os.cpu_count() or 1
    return int(threads())


def threads_for(n_jobs: int | None) -> int:
    """The thread count of a call for scikit-learn's `n_jobs`, 0 meaning all of
    the pool: None and -1 all, n > 0 that many (all when the pool has no more),
    -2 all but one and so on, never fewer than 1."""
    if n_jobs is None:
        return 0
    pool = pool_threads()
    count = n_jobs if n_jobs > 0 else pool + 1 + n_jobs
    return 0 if count >= pool else max(1, count)


def counted(threads: int, method):
    """`method` of an engine, its loops kept to `threads` threads (0: all), as
    a callable written in C like the method itself.  Only the periodic engine's
    methods keep to a count; the others are returned as they are."""
    if threads == 0 or not isinstance(getattr(method, "__self__", None), _counted_class()):
        return method
    from vibrel._periodic import call_with_threads
    return functools.partial(call_with_threads, threads, method)


def call(threads: int, method, *args):
    """`method(*args)` of an engine, its loops on `threads` threads (0: all)."""
    return counted(threads, method)(*args)


@functools.lru_cache(maxsize=None)
def _counted_class() -> type:
    """The class whose calls `call_with_threads` counts (none without the engine)."""
    try:
        from vibrel._periodic import PeriodicLshIndex
    except ImportError:
        return type(None)
    return PeriodicLshIndex


class OracleCells:
    """The exact radius search of the reference backend, with the interface of
    `vibrel._periodic.CellIndex`: the package's exhaustive oracle."""

    def __init__(self, points, metric: str = "l1", period=None):
        self._points = points
        self._metric = metric
        self._period = period

    @property
    def n_points(self) -> int:
        return self._points.shape[0]

    def plan(self, radius: float, rows: int) -> dict:
        d = self._points.shape[1]
        return {"cells": (1,) * d, "rings": (0,) * d, "candidates": float(self.n_points)}

    def pairs(self, radius: float):
        return _exact.pairs_within(self._points, radius, self._metric, self._period)

    def query_radius(self, queries, radius: float, exclude_ids=None):
        return _exact.within(self._points, queries, radius, exclude_ids, self._metric, self._period)


def cell_search(backend: str, points, metric: str = "l1", period=None):
    """The exact radius search over `points` (float64, wrapped into the box):
    the compiled `vibrel._periodic.CellIndex` for the native backend, the
    oracle for the reference (or when the compiled module does not import)."""
    if backend == "native":
        try:
            from vibrel._periodic import CellIndex
        except ImportError:
            pass
        else:
            return CellIndex(points, metric, period)
    return OracleCells(points, metric, period)
