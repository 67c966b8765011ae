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
   `GATHER_NS` each (counted as if gathered query by query, their slower
   path).  When the tables miss more than the recall target allows (the front
   estimates that on its tuning sample), the alternative is the exhaustive
   search, n points a row on the same tiles at `TILE_NS`.
3. The costs per point are rough: a candidate on the tiles costs about a
   nanosecond (bench/bench_pairs.py, bench/bench_radius.py on a 2-core AVX2
   machine), a gathered one several.  They decide only which search runs
   beyond 4 coordinates, never what it returns.
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


def table_cost(b: int, k: int, l: int, probes: int, n: int) -> float:
    """Modelled nanoseconds a row costs the hash tables."""
    return table_candidates(b, k, l, probes, n) * GATHER_NS


def exhaustive_cost(n: int) -> float:
    """Modelled nanoseconds a row costs the exhaustive search."""
    return n * TILE_NS


def use_cells(d: int, cell_candidates: float, other_cost: float) -> bool:
    """True when the cell search runs: up to CELL_DIMS coordinates always,
    beyond when its `cell_candidates` a row cost no more than the other
    search's `other_cost` (nanoseconds a row)."""
    return d <= CELL_DIMS or cell_candidates * TILE_NS <= other_cost
