"""Which search answers a radius query of `vibrel.ToroidalNN`: the exact cell
search, the hash tables, or the exhaustive search.

The rule, applied to every `radius_neighbors`, `radius_neighbors_graph` and
`radius_pairs` call:

1. Up to `CELL_DIMS` coordinates the cell search always runs.  It visits every
   cell within the radius on each axis, so it is exact; at worst (a radius of
   half the box) it visits every cell once, which is the exhaustive search on
   the same tiles.  Hashing has nothing to win there: its cells hold the same
   points and it may miss some.
2. Beyond, the search with the least modelled cost runs.  The cell search
   measures `candidates` points a row (the cells within its rings, from the
   plan of `vibrel._periodic.CellIndex`), at `TILE_NS` each.  The hash tables
   gather l (1 + probes) cells a row, of n / b**k points each at most n, at
   `GATHER_NS` each: their radius search gathers ids and measures them one by
   one.  When the tables miss more than the recall target allows (the front
   estimates that on its tuning sample), the alternative is the exhaustive
   search, n points a row at `GATHER_NS`.
3. The costs per point were measured with `bench/bench_pairs.py` on a 2-core
   AVX2 machine; they decide only which exact-or-target-meeting search runs,
   never what it returns.
"""

from __future__ import annotations

CELL_DIMS = 4
# Nanoseconds per point measured for one query row.
TILE_NS = 1.0
GATHER_NS = 6.0


def table_candidates(b: int, k: int, l: int, probes: int, n: int) -> float:
    """Points the hash tables measure for one row: l (1 + probes) cells of
    n / b**k points, at most every point."""
    return min(float(n), l * (1 + probes) * n / float(b) ** k)


def use_cells(d: int, cell_candidates: float, other_candidates: float) -> bool:
    """True when the cell search runs: up to CELL_DIMS coordinates always,
    beyond when it costs less than measuring `other_candidates` points a row
    the way the tables and the exhaustive search measure them."""
    return d <= CELL_DIMS or cell_candidates * TILE_NS <= other_candidates * GATHER_NS
