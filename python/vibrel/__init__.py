"""Exact nearest-neighbour search on the unit torus under the toroidal L1 distance.

Points live in [0, 1)^d with every coordinate periodic. The index hashes them
into sorted tables to decide which points are compared; every distance it
returns is computed exactly from the coordinates.

``vibrel.ToroidalNN`` is the estimator to use: it validates the input, draws the
hash parameters and runs the compiled engine ``vibrel._native.RustLshIndex``, or
its plain-NumPy reference ``vibrel.lsh.PythonLshIndex`` when the engine is not
available. Given the same hash parameters both build byte-identical tables.
"""

__version__ = "0.1.0"

from vibrel._backend import ReferenceBackendWarning
from vibrel.neighbors import NotFittedError, ToroidalNN

__all__ = ["ToroidalNN", "NotFittedError", "ReferenceBackendWarning", "__version__"]
