"""Choice of the engine behind `vibrel.ToroidalNN`: the compiled class when it
imports and has every method the front calls, else the NumPy reference.

L1 on the unit torus runs on `vibrel._native.RustLshIndex`; any other metric or
box on `vibrel._periodic.PeriodicLshIndex`, built from the same core (the two
measure alike on the unit torus: bench/bench_periodic.py).  The engine handed
out is a class, or that class bound to its metric and periods, called as
engine(b, k, l, probes, s, u, block)."""

from __future__ import annotations

import functools
import warnings

import numpy as np

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
    engine.__name__ = f"{cls.__name__}[{metric}]"
    return engine


def resolve(backend: str, metric: str = "l1", period=None):
    """(engine, name) for `backend`: "auto", "native" or "reference", measuring
    with `metric` ("l1" or "l2") and `period` (None or one period per axis).

    "auto" falls back to the reference with a ReferenceBackendWarning; "native"
    raises ImportError when the compiled class cannot serve.
    """
    if backend not in BACKENDS:
        raise ValueError(f"backend must be one of {', '.join(map(repr, BACKENDS))}, got {backend!r}")
    if backend == "reference":
        return _bound(PythonLshIndex, metric, period), "reference"
    native, reason = _load_native(metric != "l1" or period is not None)
    if native is not None:
        return _bound(native, metric, period), "native"
    if backend == "native":
        raise ImportError(f"backend='native' was asked for, but {reason}")
    warnings.warn(f"{reason}; using the NumPy reference implementation vibrel.lsh.PythonLshIndex, "
                  "which gives the same answers much more slowly", ReferenceBackendWarning, stacklevel=3)
    return _bound(PythonLshIndex, metric, period), "reference"


def build_index(engine, params, s, u, block: int, points, n_static: int):
    """An engine index of `params` (a HashParams) over `points`, the first
    `n_static` rows static: the one place where the front makes an index.

    The engine reads only C-contiguous, aligned arrays. Arrays restored from
    out-of-band pickle buffers (protocol 5, as Dask and joblib send them) can sit
    at any byte offset, so such arrays are copied here; others pass unchanged."""
    s, u, points = (np.require(a, dtype, "CA") for a, dtype in
                    ((s, np.int64), (u, np.float64), (points, np.float64)))
    index = engine(params.b, params.k, params.l, params.probes, s, u, block)
    index.build(points, n_static)
    return index
