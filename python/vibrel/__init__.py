"""Exact nearest-neighbour search on the unit torus under the toroidal L1 distance.

Points live in [0, 1)^d with every coordinate periodic. The index hashes them
into sorted tables to decide which points are compared; every distance it
returns is computed exactly from the coordinates.

``vibrel._native.RustLshIndex`` is the compiled engine and
``vibrel.lsh.PythonLshIndex`` its plain-NumPy reference: given the same hash
parameters both build byte-identical tables.
"""

__version__ = "0.1.0"
