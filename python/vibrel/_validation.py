"""Input handling of `vibrel.ToroidalNN`: array-likes become C-contiguous float64
matrices with every coordinate wrapped onto the box, and hyper-parameters are
checked with messages that name the parameter and say what is wrong."""

from __future__ import annotations

import inspect
import numbers
import operator
from typing import Any

import numpy as np
from sklearn.utils.validation import check_array

try:
    from sklearn.utils.validation import validate_data
except ImportError:  # scikit-learn before 1.6: a method of every estimator
    def validate_data(estimator: Any, X: Any, **kwargs: Any) -> Any:  # type: ignore[misc]
        return estimator._validate_data(X, **kwargs)

# check_array's own test for NaN and infinity is off: `_finite_bounds` says where
# they are.  The keyword was renamed in scikit-learn 1.6.
_NO_FINITE_CHECK = ({"ensure_all_finite": False} if "ensure_all_finite" in inspect.signature(check_array).parameters
                    else {"force_all_finite": False})


def as_points(X: Any, name: str = "X", n_features: int | None = None, period: np.ndarray | None = None,
              wrap: bool = True, *, estimator: Any = None, reset: bool = False) -> np.ndarray:
    """A fresh C-contiguous float64 copy of the (n, d) array-like `X`, wrapped
    onto the torus: `checked_points`, then `wrap_onto` unless `wrap` is False.

    With `period` (one box side per column) coordinates are reduced modulo their
    period instead, a result equal to the period again becoming 0.0.  `wrap=False`
    leaves them as they are, for a caller that learns the period from the shape.

    Lists, integer, float32 and object arrays of numbers, Fortran-ordered arrays
    and strided views are converted in one copy by scikit-learn's `check_array`
    (through `validate_data` when an `estimator` is given, which with `reset`
    records its `n_features_in_` and feature names, and otherwise checks X
    against them).  Coordinates are reduced modulo 1 (`x - floor(x)`); a result
    of exactly 1.0, which rounding gives for tiny negative inputs, becomes 0.0,
    and so does -0.0.  So 1.0, -0.25 and 3.75 are the points 0.0, 0.75, 0.75.

    Raises ValueError for a shape other than (n, d) with d >= 1, for a column count
    other than `n_features` (or the estimator's) and for NaN, infinite or complex
    values.  Raises TypeError for strings, sparse matrices and other data that are
    not real numbers.
    """
    out, bounds = checked_points(X, name, n_features, estimator=estimator, reset=reset)
    return wrap_onto(out, period, bounds) if wrap else out


def checked_points(X: Any, name: str = "X", n_features: int | None = None, *, estimator: Any = None,
                   reset: bool = False) -> tuple[np.ndarray, tuple[float, float]]:
    """(The copy of `as_points` before it is wrapped, its least and greatest
    value): for a caller that wraps it later with `wrap_onto`, which the
    bounds spare a pass over the points.  Raises as `as_points`."""
    if X is None:
        raise TypeError(f"{name} must be an array-like of shape (n, d), not None")
    if type(X).__module__.startswith("scipy.sparse"):
        raise TypeError(f"{name} is a sparse matrix; points on the torus need every coordinate, "
                        f"so pass a dense array ({name}.toarray())")
    kind = getattr(getattr(X, "dtype", None), "kind", None)
    if kind is None and isinstance(X, (list, tuple)):
        try:
            kind = np.asarray(X).dtype.kind
        except ValueError:
            kind = None  # ragged: check_array says so
    if kind in ("U", "S", "V"):
        raise TypeError(f"{name} must hold real numbers, got dtype {np.asarray(X).dtype}")
    # An array is copied here, unless it has to be converted anyway, in the
    # same pass that turns -0.0 into 0.0; other array-likes may be views of
    # their owner's memory, so check_array copies them.
    given = isinstance(X, np.ndarray)
    options = dict(dtype=np.float64, order="C", copy=not given, ensure_min_samples=0, **_NO_FINITE_CHECK)
    if estimator is not None:
        out = validate_data(estimator, X, reset=reset, **options)
    else:
        out = check_array(X, input_name=name, **options)
        if n_features is not None and out.shape[1] != n_features:
            raise ValueError(f"{name} has {out.shape[1]} features, but the index holds "
                             f"{n_features}-dimensional points")
    if given and np.may_share_memory(out, X):
        out = np.add(out, 0.0)
    else:
        out += 0.0
    return out, _finite_bounds(out, name)


def wrap_onto(out: np.ndarray, period: np.ndarray | None = None,
              bounds: tuple[float, float] | None = None) -> np.ndarray:
    """`out` reduced in place onto the torus of `period` (None: the unit torus)
    as `as_points` states, and returned.  Requires no -0.0 in `out` (as
    `as_points` gives it): the reduction makes none.  `bounds`, the least and
    greatest value of `out` when the caller has them (`checked_points`), spare
    finding them again."""
    if not out.size:
        return out
    # Whole-array minimum and maximum decide most calls at a fraction of the
    # cost of an element-wise test (or of a per-axis reduction, slow over few
    # columns); only a maximum past the shortest side needs one.
    low, high = (float(out.min()), float(out.max())) if bounds is None else bounds
    if period is not None:
        if low < 0.0 or (high >= period.min() and (out >= period).any()):
            np.mod(out, period, out=out)
            out[out >= period] = 0.0
    elif low < 0.0 or high >= 1.0:
        out -= np.floor(out)
        out[out >= 1.0] = 0.0
    return out


def _finite_bounds(a: np.ndarray, name: str) -> tuple[float, float]:
    """(least, greatest) value of `a` (0.0, 0.0 when empty); ValueError naming
    the first NaN or infinity of `a`, if it has any.  The minimum and maximum
    are NaN when any value is, and infinite when any value is, so they are the
    whole test: the passes that `wrap_onto` needs find the bad values too."""
    if not a.size:
        return 0.0, 0.0
    low, high = float(a.min()), float(a.max())
    if np.isfinite(low) and np.isfinite(high):
        return low, high
    bad = ~np.isfinite(a)
    row, col = (int(i) for i in np.argwhere(bad)[0])
    value = a[row, col]
    what = "NaN" if np.isnan(value) else "infinity"
    raise ValueError(f"{name} contains {int(bad.sum())} non-finite value(s) (NaN or infinity); "
                     f"the first, {what}, is at row {row}, column {col}")


def check_int(value: Any, name: str, minimum: int, maximum: int | None = None) -> int:
    """`value` as a Python int in [minimum, maximum]; bools and floats are refused."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, got {value!r}")
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {value!r}") from None
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {value}")
    if maximum is not None and value > maximum:
        raise ValueError(f"{name} must be at most {maximum}, got {value}")
    return value


def check_optional_int(value: Any, name: str, minimum: int, maximum: int | None = None) -> int | None:
    """As `check_int`, None passing as None."""
    return None if value is None else check_int(value, name, minimum, maximum)


def _real(value: Any, name: str) -> float:
    """`value` as a float when it is a real number (not a bool, not a string)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {value!r}")
    return float(value)


def check_radius(value: Any, name: str = "radius") -> float:
    """A non-negative radius as a float; infinity is allowed, NaN is not."""
    r = _real(value, name)
    if np.isnan(r) or r < 0.0:
        raise ValueError(f"{name} must be a non-negative number, got {r}")
    return r


_METRICS = {"l1": "l1", "manhattan": "l1", "cityblock": "l1", "l2": "l2", "euclidean": "l2"}


def check_metric(value: Any) -> str:
    """"l1" or "l2" for a metric name or one of its aliases."""
    if not isinstance(value, str) or value not in _METRICS:
        raise ValueError(f"metric must be one of {', '.join(map(repr, _METRICS))}, got {value!r}")
    return _METRICS[value]


def check_period(value: Any, d: int) -> np.ndarray | None:
    """The d box sides of `value` (one number for every axis, or d of them),
    each positive and finite; None when every side is 1 (the unit torus)."""
    try:
        raw = np.asarray(value)
    except (TypeError, ValueError):
        raw = np.asarray(None)
    if raw.dtype.kind not in "iuf" or isinstance(value, bool):
        raise TypeError(f"period must be a number or a sequence of numbers, got {value!r}")
    period = raw.astype(np.float64)
    if period.ndim > 1 or (period.ndim == 1 and period.size != d):
        raise ValueError(f"period must be one number or {d} of them (one per axis), got shape {period.shape}")
    if not (np.isfinite(period).all() and (period > 0).all()):
        raise ValueError(f"every period must be positive and finite, got {value!r}")
    period = np.broadcast_to(period, (d,)).copy()
    return None if (period == 1.0).all() else period


# The box sides whose distances single precision holds, per metric: inside
# them a side's term (for l2 its square), and sums of such terms, neither
# overflow to infinity nor underflow to zero.  The compiled engine refuses the
# same periods.
PERIOD_RANGE = {"l1": (1e-30, 1e30), "l2": (1e-15, 1e15)}


def check_period_range(period: np.ndarray | None, metric: str) -> None:
    """ValueError naming the range when a period (None: the unit torus) lies
    outside PERIOD_RANGE[metric]."""
    low, high = PERIOD_RANGE[metric]
    if period is not None and ((period < low) | (period > high)).any():
        outside = period[(period < low) | (period > high)][0]
        raise ValueError(f"every period must lie between {low:g} and {high:g} for metric {metric!r}, "
                         f"whose distances are computed in single precision; got {outside:g}")


def check_fraction(value: Any, name: str) -> float:
    """A number in (0, 1] as a float."""
    f = check_positive_float(value, name)
    if f > 1.0:
        raise ValueError(f"{name} must be in (0, 1], got {value!r}")
    return f


def check_positive_float(value: Any, name: str) -> float:
    """A finite number above 0 as a float."""
    f = _real(value, name)
    if not np.isfinite(f) or f <= 0.0:
        raise ValueError(f"{name} must be a finite number above 0, got {value!r}")
    return f
