"""Exact nearest-neighbour search on the unit torus under the toroidal L1 distance.

Points live in [0, 1)^d with every coordinate periodic. The index hashes them
into sorted tables to decide which points are compared; every distance it
returns is computed exactly from the coordinates.

``vibrel.ToroidalNN`` is the estimator to use: it validates the input, tunes the
hash parameters for a recall target (``vibrel._tune``) and runs the compiled
engine ``vibrel._native.RustLshIndex``, or its plain-NumPy reference
``vibrel.lsh.PythonLshIndex`` when the engine is not available. Given the same
hash parameters both build byte-identical tables and give the same answers.

``vibrel.dask.DaskToroidalNN`` holds the points in shards on the workers of a
Dask cluster (Dask is needed only there, and only when it is imported).
"""

__version__ = "0.1.0"

from vibrel._backend import ReferenceBackendWarning
from vibrel._tune import RecallTargetWarning
from vibrel.neighbors import NotFittedError, ToroidalNN

__all__ = ["ToroidalNN", "NotFittedError", "ReferenceBackendWarning", "RecallTargetWarning", "__version__"]
