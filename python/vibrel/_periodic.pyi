"""Type information for the compiled periodic engine `vibrel._periodic`."""

from typing import Any, Callable, Literal, TypeVar

import numpy as np
import numpy.typing as npt

from vibrel._native import RustLshIndex

__all__ = ["PeriodicLshIndex", "pool_threads", "call_with_threads"]

_T = TypeVar("_T")

class PeriodicLshIndex(RustLshIndex):  # the same methods; not a subclass at run time
    """LSH index of a periodic box, compiled."""

    def __new__(cls, b: int, k: int, l: int, probes: int, s: npt.NDArray[np.int64], u: npt.NDArray[np.float64],
                block: int = 1024, metric: Literal["l1", "l2"] = "l1",
                period: npt.NDArray[np.float64] | None = None) -> PeriodicLshIndex: ...

def pool_threads() -> int:
    """The number of worker threads of this module's pool."""

def call_with_threads(threads: int, func: Callable[..., _T], /, *args: Any, **kwargs: Any) -> _T:
    """func(*args, **kwargs) with the loops of this module's engine on at most `threads` threads."""
