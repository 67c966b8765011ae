"""Random sequences of operations (build, update, promote, both kNN paths,
radius, tables, stats) on the compiled index and the reference side by side,
compared after every step: small indexes with bucket offsets, indexes with too
many buckets for offsets, and larger indexes of wider points.

The default profile keeps the run short; VIBREL_SLOW=1 (or
VIBREL_HYPOTHESIS_PROFILE=long) selects a longer one. Runs are derandomized, so
every run tries the same sequences."""

import os

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from conftest import assert_same_answer, assert_same_counters, assert_tables_equal, index_pair, random_params

settings.register_profile("vibrel-default", max_examples=100, stateful_step_count=20, deadline=None,
                          derandomize=True, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("vibrel-long", max_examples=2000, stateful_step_count=40, deadline=None,
                          derandomize=True, suppress_health_check=[HealthCheck.too_slow])
LONG = os.environ.get("VIBREL_SLOW") == "1" or os.environ.get("VIBREL_HYPOTHESIS_PROFILE") == "long"
PROFILE = settings.get_profile("vibrel-long" if LONG else "vibrel-default")

seeds = st.integers(0, 2**32 - 1)


class NativeAgainstReference(RuleBasedStateMachine):

    @initialize(b=st.integers(1, 4), k=st.integers(1, 4), l=st.integers(1, 4), probes=st.integers(0, 3),
                d=st.integers(1, 4), block=st.sampled_from([1, 7, 64, 1024]), seed=seeds,
                shape=st.sampled_from(["small", "small", "no offsets", "large"]))
    def construct(self, b, k, l, probes, d, block, seed, shape):
        self.rng = np.random.default_rng(seed)
        if shape == "no offsets":
            b, k = 4, 12 + k  # at least 4^13 buckets: binary searches instead of bucket offsets
        if shape == "large":
            d = (d, 11, 16)[d % 3]  # the distance kernels for wider points
        self.scale = 20 if shape == "large" else 1
        s, u = random_params(self.rng, b, k, l, d)
        self.d = d
        self.native, self.reference = index_pair(b, k, l, probes, s, u, block)
        self.all_points = np.empty((0, d))  # every point, row = id, as both indexes hold them

    def points(self, n, duplicates):
        out = self.rng.random((n, self.d))
        if duplicates and n > 1:
            out[n // 2:] = out[: n - n // 2]  # exact twins: ties broken by id
        return out

    @rule(n=st.integers(0, 90), static_share=st.floats(0, 1), duplicates=st.booleans())
    def build(self, n, static_share, duplicates):
        n *= self.scale
        points = self.points(n, duplicates)
        n_static = int(round(static_share * n))
        self.native.build(points, n_static)
        self.reference.build(points, n_static)
        self.all_points = points

    @precondition(lambda self: self.native.n_points > 0)
    @rule(moved_share=st.floats(0, 1), step=st.sampled_from([1e-3, 0.05, 0.5]), coincide=st.booleans())
    def update(self, moved_share, step, coincide):
        n_static = self.native.n_static
        coords = self.all_points[n_static:].copy()
        moved = self.rng.random(len(coords)) < moved_share
        coords[moved] = (coords[moved] + step * self.rng.standard_normal((int(moved.sum()), self.d))) % 1.0
        if coincide and len(coords):  # onto other points of either tier: equal keys across tiers
            targets = self.rng.integers(0, len(coords), len(coords) // 4 + 1)
            coords[targets] = self.all_points[self.rng.integers(0, len(self.all_points), targets.size)]
        self.native.update(coords)
        self.reference.update(coords)
        self.all_points[n_static:] = coords

    @precondition(lambda self: self.native.n_points > 0)
    @rule(m=st.integers(0, 25), duplicates=st.booleans())
    def promote(self, m, duplicates):
        batch = self.points(m * self.scale, duplicates)
        self.native.promote(batch)
        self.reference.promote(batch)
        self.all_points = np.vstack([self.all_points, batch])

    @rule(m=st.sampled_from([0, 1, 2, 5, 63, 64, 70]), k=st.integers(0, 12), exclude=st.booleans(),
          near_points=st.booleans())
    def query_knn(self, m, k, exclude, near_points):
        queries = self.queries(m, near_points)
        excluded = self.rng.integers(-1, max(self.native.n_points, 1) + 1, m) if exclude else None
        got = self.native.query_knn(queries, k, excluded)
        assert all(a.shape == (m, k) and type(a.base.base).__name__ == "PySliceContainer" for a in got)
        assert_same_answer(got, self.reference.query_knn(queries, k, excluded))

    @rule(m=st.sampled_from([0, 1, 3, 65]), radius=st.sampled_from([0.0, 0.05, 0.3, 1.0, 5.0]),
          exclude=st.booleans(), near_points=st.booleans())
    def query_radius(self, m, radius, exclude, near_points):
        queries = self.queries(m, near_points)
        excluded = self.rng.integers(-1, max(self.native.n_points, 1) + 1, m) if exclude else None
        assert_same_answer(self.native.query_radius(queries, radius, excluded),
                           self.reference.query_radius(queries, radius, excluded), radius)

    def queries(self, m, near_points):
        n = self.native.n_points
        if near_points and n > 0:
            rows = self.all_points[self.rng.integers(0, n, m)]
            return (rows + 1e-3 * self.rng.standard_normal(rows.shape)) % 1.0
        return self.rng.random((m, self.d))

    @rule()
    def reset_stats(self):
        self.native.reset_stats()
        self.reference.reset_stats()

    @invariant()
    def same_tables_sizes_and_counters(self):
        assert_tables_equal(self.native, self.reference)
        assert_same_counters(self.native, self.reference)


NativeAgainstReference.TestCase.settings = PROFILE
TestNativeAgainstReference = NativeAgainstReference.TestCase
