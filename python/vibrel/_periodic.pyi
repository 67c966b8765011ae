"""Type information for the compiled periodic engine `vibrel._periodic`."""

from typing import Any, Callable, Literal, TypeVar

import numpy as np
import numpy.typing as npt

from vibrel._native import RustLshIndex

__all__ = ["PeriodicLshIndex", "CellIndex", "CensusRows", "pool_threads", "call_with_threads"]

_T = TypeVar("_T")

class PeriodicLshIndex(RustLshIndex):  # the same methods; not a subclass at run time
    """LSH index of a periodic box, compiled."""

    def __new__(cls, b: int, k: int, l: int, probes: int, s: npt.NDArray[np.int64], u: npt.NDArray[np.float64],
                block: int = 1024, metric: Literal["l1", "l2"] = "l1",
                period: npt.NDArray[np.float64] | None = None) -> PeriodicLshIndex: ...
    def query_knn_ids(self, ids: npt.NDArray[np.int64], k: int
                      ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]: ...
    def query_radius_ids(self, ids: npt.NDArray[np.int64], radius: float
                         ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]: ...

class CellIndex:
    """Exact radius search in a periodic box by cell lists, compiled."""

    def __new__(cls, points: npt.NDArray[np.float64], metric: str = "l1",
                period: npt.NDArray[np.float64] | None = None) -> CellIndex: ...
    @property
    def n_points(self) -> int: ...
    def pairs(self, radius: float) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]: ...
    def query_radius(self, queries: npt.NDArray[np.float64], radius: float,
                     exclude_ids: npt.NDArray[np.int64] | None = None
                     ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]: ...
    def plan(self, radius: float, rows: int) -> dict[str, tuple[int, ...] | float]: ...

def split_rows(values: npt.NDArray[np.generic], indptr: npt.NDArray[np.int64]) -> npt.NDArray[np.object_]: ...

def pool_threads() -> int:
    """The number of worker threads of this module's pool."""

def call_with_threads(threads: int, func: Callable[..., _T], /, *args: Any, **kwargs: Any) -> _T:
    """func(*args, **kwargs) with the loops of this module's engine on at most `threads` threads."""

class CensusRows:
    """Sample queries and rows, checked and copied once, counted against tables' digits."""
    def __init__(self, queries: npt.NDArray[np.float64], rows: npt.NDArray[np.float64]) -> None: ...
    def neighbour_places(self, s: npt.NDArray[np.int64], u: npt.NDArray[np.float64], b: int,
                         start: npt.NDArray[np.int64] | None = None,
                         settled: npt.NDArray[np.int64] | None = None) -> npt.NDArray[np.int64]: ...
    def probed_cell_counts(self, s: npt.NDArray[np.int64], u: npt.NDArray[np.float64],
                           b: int) -> npt.NDArray[np.int64]: ...
