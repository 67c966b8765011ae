"""Choice of the engine behind `vibrel.ToroidalNN`: the compiled class when it
imports and has every method the front calls, else the NumPy reference."""

from __future__ import annotations

import warnings

from vibrel.lsh import PythonLshIndex

# Methods of the engine that ToroidalNN calls.
REQUIRED_METHODS = ("build", "update", "promote", "query_knn", "query_radius")
BACKENDS = ("auto", "native", "reference")


class ReferenceBackendWarning(UserWarning):
    """The compiled engine is unavailable and the (much slower) NumPy reference runs instead."""


def _load_native():
    """The compiled class, or None and the reason it cannot serve."""
    try:
        from vibrel._native import RustLshIndex
    except ImportError as err:
        return None, f"vibrel._native does not import ({err})"
    missing = [m for m in REQUIRED_METHODS if not callable(getattr(RustLshIndex, m, None))]
    if missing:
        return None, f"vibrel._native.RustLshIndex lacks {', '.join(missing)}"
    return RustLshIndex, None


def resolve(backend: str):
    """(engine class, name) for `backend`: "auto", "native" or "reference".

    "auto" falls back to the reference with a ReferenceBackendWarning; "native"
    raises ImportError when the compiled class cannot serve.
    """
    if backend not in BACKENDS:
        raise ValueError(f"backend must be one of {', '.join(map(repr, BACKENDS))}, got {backend!r}")
    if backend == "reference":
        return PythonLshIndex, "reference"
    native, reason = _load_native()
    if native is not None:
        return native, "native"
    if backend == "native":
        raise ImportError(f"backend='native' was asked for, but {reason}")
    warnings.warn(f"{reason}; using the NumPy reference implementation vibrel.lsh.PythonLshIndex, "
                  "which gives the same answers much more slowly", ReferenceBackendWarning, stacklevel=3)
    return PythonLshIndex, "reference"


def build_index(engine, params, s, u, block: int, points, n_static: int):
    """An engine index of `params` (a HashParams) over `points`, the first
    `n_static` rows static: the one place where the front makes an index."""
    index = engine(params.b, params.k, params.l, params.probes, s, u, block)
    index.build(points, n_static)
    return index
