"""Type information for the compiled periodic engine `vibrel._periodic`."""

from typing import Literal

import numpy as np
import numpy.typing as npt

from vibrel._native import RustLshIndex

__all__ = ["PeriodicLshIndex"]

class PeriodicLshIndex(RustLshIndex):  # the same methods; not a subclass at run time
    """LSH index of a periodic box, compiled."""

    def __new__(cls, b: int, k: int, l: int, probes: int, s: npt.NDArray[np.int64], u: npt.NDArray[np.float64],
                block: int = 1024, metric: Literal["l1", "l2"] = "l1",
                period: npt.NDArray[np.float64] | None = None) -> PeriodicLshIndex: ...
