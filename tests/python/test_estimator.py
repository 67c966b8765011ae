"""vibrel.ToroidalNN as a scikit-learn estimator and its tuner at the edges:
scikit-learn's own checks, the setting it reports making the model again,
explicit settings that find too little, per-call thread counts, and the
tuner's choices for large n_neighbors, tiny data and partial settings."""

import math
import warnings

import numpy as np
import pytest
import sklearn.exceptions
from sklearn.base import clone
from sklearn.utils.estimator_checks import check_estimator

from vibrel import RecallTargetWarning, ToroidalNN, _census, _exact, _tune
from vibrel._periodic import PeriodicLshIndex


def test_scikit_learn_checks_pass_and_its_errors_are_ours():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", sklearn.exceptions.SkipTestWarning)
        check_estimator(ToroidalNN())
    with pytest.raises(sklearn.exceptions.NotFittedError, match="not fitted yet"):
        ToroidalNN().transform([[0.1]])
    model = ToroidalNN(n_neighbors=2).fit(np.random.default_rng(0).random((30, 3)))
    assert model.__sklearn_is_fitted__() and not ToroidalNN().__sklearn_is_fitted__()
    assert "ToroidalNN" in model._repr_html_()


def test_a_failed_fit_leaves_the_model_as_it_was(rng):
    model = ToroidalNN(n_neighbors=2, random_state=0).fit(rng.random((40, 3)))
    before = model.kneighbors(rng.random((3, 3)))
    with pytest.raises(ValueError, match="n_static"):
        model.fit(rng.random((40, 5)), n_static=41)
    assert model.n_features_in_ == 3
    assert model.kneighbors(rng.random((3, 3)))[0].shape == before[0].shape


# ------------------------------------------------- the setting it reports


def test_params_make_the_model_again(rng):
    X = rng.random((30_000, 3))
    model = ToroidalNN(random_state=0).fit(X)
    assert model.params_["b"] > 1 and model.params_["block"] is None
    twin = ToroidalNN(**model.params_, random_state=0).fit(X)
    assert twin.params_ == model.params_
    assert abs(twin.recall_estimate_ - model.recall_estimate_) <= 4 * math.hypot(
        twin.recall_error_, model.recall_error_) + 1e-12
    assert clone(model).get_params() == model.get_params()


@pytest.mark.parametrize("given", [dict(b=8, k=8, l=1, probes=0), dict(b=8, k=8)])
def test_explicit_settings_that_find_little_warn_with_the_recall_they_reach(given, rng):
    data = rng.random((21_000, 8))
    X, Q = data[1000:], data[:1000]
    with pytest.warns(RecallTargetWarning, match="estimated recall is"):
        model = ToroidalNN(10, random_state=0, **given).fit(X)
    true_dist, _ = _exact.knn(X, Q, 10)
    reached = _exact.recall(model.kneighbors(Q)[0], true_dist)
    # The estimate is measured on the sample, so it is the recall fresh queries reach.
    assert model.recall_estimate_ < 0.9 and reached < 0.9
    assert abs(reached - model.recall_estimate_) <= 4 * math.hypot(model.recall_error_, model.recall_error_) + 0.01


# ------------------------------------------------------------- n_jobs


@pytest.mark.parametrize("metric, period", [("l1", 1.0), ("l2", [1.0, 2.0, 3.0, 4.0])])
def test_thread_counts_change_no_answer(metric, period, rng):
    X, Q = rng.random((8000, 4)) * period, rng.random((500, 4)) * period
    answers = []
    for n_jobs in (None, 1, 2, -1):
        model = ToroidalNN(8, radius=0.2, metric=metric, period=period, n_jobs=n_jobs, random_state=3,
                           b=4, k=5, l=6, probes=2, recall=0.5).fit(X)
        answers.append((model.kneighbors(Q), model.radius_neighbors_graph(Q, mode="distance").toarray(),
                        model.update(X[:0]).kneighbors(ids=[5, 70]), model.recall_estimate_))
    # A free tuning, whose census searches its tables a batch at a time, too.
    tuned = [ToroidalNN(n_jobs=n_jobs, metric=metric, period=period, random_state=0).fit(X) for n_jobs in (None, 1)]
    assert isinstance(tuned[1].index_, PeriodicLshIndex) and tuned[0].params_["l"] > 1
    assert tuned[1].params_ == tuned[0].params_ and tuned[1].recall_estimate_ == tuned[0].recall_estimate_
    for other in answers[1:]:
        for got, want in zip(other, answers[0]):
            np.testing.assert_array_equal(got[0] if isinstance(got, tuple) else got,
                                          want[0] if isinstance(want, tuple) else want)
    with pytest.raises(ValueError, match="n_jobs must not be 0"):
        ToroidalNN(n_jobs=0).fit(X)


# ------------------------------------------------------- tuner at the edges


@pytest.mark.parametrize("n, d, n_neighbors", [(4000, 8, 1500), (4000, 8, 3999), (2, 3, 1), (5, 2, 4)])
def test_large_n_neighbors_and_tiny_data_take_the_exhaustive_search(n, d, n_neighbors, rng):
    X = rng.random((n, d))
    model = ToroidalNN(n_neighbors, random_state=0).fit(X)
    assert (model.params_["b"], model.recall_estimate_) == (1, 1.0)
    assert_answers_exact(model, X, min(n_neighbors, n - 1))


def assert_answers_exact(model, X, n_neighbors):
    dist, ind = model.kneighbors(n_neighbors=n_neighbors)
    want_dist, want_ind = _exact.knn(X, X, n_neighbors, exclude=np.arange(len(X)))
    np.testing.assert_array_equal(dist, want_dist)
    np.testing.assert_array_equal(ind, want_ind)


@pytest.mark.parametrize("given", [dict(b=4), dict(k=6), dict(l=3, probes=1), dict(b=3, k=7)])
def test_partial_settings_are_kept_and_the_rest_tuned(given, rng):
    X = rng.random((20_000, 4))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RecallTargetWarning)
        model = ToroidalNN(random_state=0, **given).fit(X)
    assert {name: model.params_[name] for name in given} == given
    assert 0.0 < model.recall_estimate_ <= 1.0 and model.s_.shape == (model.params_["l"], model.params_["k"])


def test_a_search_that_cannot_beat_the_exhaustive_one_stops_after_the_first_tables(rng, monkeypatch):
    # At 20,000 uniform points of d=16 no hashed setting promises to beat the
    # exhaustive search: the first tables of each bucket count show it, and
    # more tables would only cost time.
    X = rng.random((20_000, 16))
    searched = []
    step = _tune._BucketSearch.step
    monkeypatch.setattr(_tune._BucketSearch, "step",
                        lambda search, *args: (searched.append(search.b), step(search, *args))[1])
    model = ToroidalNN(random_state=0).fit(X)
    assert model.params_["b"] == 1 and searched
    assert max(searched.count(b) for b in set(searched)) <= 2 and len(searched) <= len(set(searched)) + 2


def test_once_a_setting_meets_the_target_only_clear_gains_are_searched(rng, monkeypatch):
    X = np.random.default_rng(0).random((20_000, 3))  # a draw where a search is left within 5% of the best
    after_met = []
    step = _tune._BucketSearch.step

    def watched(search, *args):
        if search.choice.met is not None:
            after_met.append((search.promise, search.choice.bound))
        return step(search, *args)
    monkeypatch.setattr(_tune._BucketSearch, "step", watched)
    model = ToroidalNN(10, random_state=0).fit(X)
    assert model.params_["b"] > 1 and after_met
    assert all(promise < _tune._LEAST_GAIN * bound for promise, bound in after_met)


def test_a_search_that_never_finishes_fails_instead_of_hanging(rng, monkeypatch):
    # Given parameters lift the tuner's work budget, so only the step cap ends
    # a search whose bucket count never says it is done.
    X = rng.random((20_000, 8))
    steps = []
    step = _tune._BucketSearch.step

    def counted(search, *args):
        steps.append(search.b)
        assert len(steps) < 1000, "the search ran away"
        return step(search, *args)
    monkeypatch.setattr(_tune._BucketSearch, "step", counted)
    monkeypatch.setattr(_tune._BucketSearch, "_update_done", lambda search: None)
    with pytest.raises(RuntimeError, match="did not finish within 21 steps"):
        ToroidalNN(10, random_state=0, b=8, k=8).fit(X)
    assert len(steps) == 21


@pytest.mark.parametrize("make, n_neighbors", [
    (lambda rng: rng.random((30_000, 8)), 10),
    (lambda rng: rng.random((30_000, 3)), 40),
], ids=["uniform-8", "uniform-3-k40"])
def test_a_tuned_index_finds_on_its_sample_at_least_the_estimate(make, n_neighbors, rng):
    # A tuned fit reports the tuner's estimate without asking the index: every
    # neighbour the keys place in a looked-up cell is among the candidates, so
    # the index reaches at least that on the sample, and fresh queries about as much.
    data = make(rng)
    X, Q = data[1000:], data[:1000]
    model = ToroidalNN(n_neighbors, random_state=0).fit(X)
    assert model.params_["b"] > 1
    rows = model._sample_rows
    true_dist, _ = _exact.knn(X, X[rows], n_neighbors, exclude=rows)
    dist, _ = model.kneighbors(ids=rows)
    on_sample = _exact.recall(dist, true_dist)
    estimate, error = model.recall_estimate_, model.recall_error_
    assert estimate >= 0.99 and 0 < error < 0.01
    assert estimate - 1e-12 <= on_sample <= estimate + 4 * error
    reached = _exact.recall(model.kneighbors(Q)[0], _exact.knn(X, Q, n_neighbors)[0])
    assert abs(reached - estimate) <= 4 * math.hypot(error, error)


@pytest.mark.parametrize("n, d, n_neighbors, given", [
    (200_000, 16, 10, {}),
    (40_000, 8, 10, {}),
    (30_000, 6, 10, dict(l=6)),
    (30_000, 8, 5, dict(b=4, probes=1)),
], ids=["uniform-16-200k", "uniform-8", "given-l", "given-b-probes"])
def test_skipping_found_neighbours_changes_no_choice(n, d, n_neighbors, given, monkeypatch):
    # The census leaves alone the neighbours that every setting still searched
    # finds already; re-hashing them (nothing settled but place 0, as a census
    # without the rule does) must give the same setting, draw and estimate.
    X = np.random.default_rng(n + d).random((n, d))

    def fitted():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RecallTargetWarning)
            model = ToroidalNN(n_neighbors, random_state=0, **given).fit(X)
        return model.params_, model.s_.tolist(), model.u_.tolist(), model.recall_estimate_, model.recall_error_

    skipped = []
    settled = _tune._settled_places
    monkeypatch.setattr(_tune, "_settled_places", lambda *args: (skipped.append(settled(*args)), skipped[-1])[1])
    pruned = fitted()
    assert pruned[0]["b"] > 1 and any((limits > 0).any() for limits in skipped)
    monkeypatch.setattr(_tune, "_settled_places", lambda ks, probes, k_top: np.zeros(k_top, np.int64))
    assert fitted() == pruned


def test_settled_places_are_the_fewest_probes_of_each_key_length():
    limits = _tune._settled_places(np.array([2, 2, 2, 4, 5, 5]), np.array([0, 1, 2, 3, 5, 1]), 6)
    np.testing.assert_array_equal(limits, [7, 0, 7, 3, 1, 7])


def test_found_neighbours_are_those_placed_within_the_probes(rng):
    # The tuner scores every (k, probes) of a bucket count at once from the
    # nearest places: a neighbour counts when its place with k digits is at
    # most the probes; places past k (not looked up) never count.
    q, nn, k_max = 7, 5, 6
    nearest = rng.integers(0, k_max + 2, (q * nn, k_max))
    ks = np.array([1, 1, 2, 4, 4, 4, 6, 6])
    probes = np.array([0, 1, 2, 0, 3, 4, 0, 6])
    by_query = nearest.reshape(q, nn, k_max)
    for k, p, total in zip(ks, probes, _tune._found_totals(nearest, ks, probes)):
        want = [np.sum((by_query[i, :, k - 1] <= p) & (by_query[i, :, k - 1] <= k)) / nn for i in range(q)]
        np.testing.assert_array_equal(_tune._found_shares(nearest, k, p, q), want)
        assert total == round(nn * sum(want))
    assert _tune._found_totals(nearest, ks, probes)[-1] < q * nn  # some places are past k = 6


# ------------------------------------------------------- the cost model


def test_with_the_codes_big_cells_pay_and_without_them_they_do_not():
    # One query's work at n = 200,000, d = 16, 10 neighbours: 16 tables of
    # cells of ~250 points, probed twice (12,000 candidates, 48 lookups, each
    # neighbour met in half the tables), against 32 tables of ~12 points
    # probed 4 times (2,000 candidates, 160 lookups, met in a third of them).
    # A bound costs a fraction of a float pair, a lookup far more.
    n, d = 200_000, 16
    big, small = (12_000, 48, 8.0), (2_000, 160, 32 / 3)
    on, off = _tune.model_costs(n, d, 10, codes=True), _tune.model_costs(n, d, 10, codes=False)
    assert on.hashed(*big) < 1.1 * on.hashed(*small) and off.hashed(*big) > 2 * off.hashed(*small)
    assert on.pair < off.pair / 2 and on.survivor > off.survivor
    # The exhaustive search gains most from the codes: its rows stream.
    assert off.exhaustive(n) / on.exhaustive(n) > off.hashed(*small) / on.hashed(*small)


@pytest.mark.parametrize("n, d, fewer, more, tie", [
    # Measured at 200,000 points, 10 neighbours (bench/bench_settings.py, AVX2):
    # (pairs, lookups, hits) per query of two settings that met the target.
    # Blobs, b = 3: k = 10, l = 3, 2 probes against k = 8, l = 3, 1 probe, at
    # 6.3 against 6.5 us of CPU a query on the blocked path: a tie.
    (200_000, 16, (397, 9, 2.33), (548, 6, 2.29), True),
    # Uniform d = 8, b = 4: k = 7, l = 16, 3 probes against k = 6, l = 16, 1
    # probe, at 13.7 against 9.5 us: a clear gain for the bigger cells.
    (200_000, 8, (782, 64, 4.60), (1562, 32, 4.14), False),
], ids=["blobs-near-tie", "uniform-8-clear-gain"])
def test_the_choice_turns_a_near_tie_towards_the_cheaper_setting_per_query(n, d, fewer, more, tie):
    # The tuner prices with the codes by the blocked path plus a share of the
    # per-query path (every gathered candidate listed): fewer candidates win a
    # tie, never a clear blocked gain.  Without the codes it keeps the float model.
    costs = _tune.choice_costs(n, d, 10, codes=True)
    assert costs.per_query == _tune.model_costs(n, d, 10, codes=False)
    assert costs.per_query.hashed(*fewer) < costs.per_query.hashed(*more)
    blocked = costs.blocked.hashed(*fewer) / costs.blocked.hashed(*more)
    assert (abs(blocked - 1) < 0.05) == tie
    assert (costs.hashed(*fewer) < costs.hashed(*more)) == tie
    float_only = _tune.choice_costs(n, d, 10, codes=False)
    assert float_only == _tune.model_costs(n, d, 10, codes=False)
    assert costs.exhaustive(n) > costs.blocked.exhaustive(n) and float_only.exhaustive(n) > costs.exhaustive(n)


def test_survivors_grow_with_the_log_of_the_candidates_and_with_every_meeting_of_a_neighbour():
    m = np.array([0, 1, 5, 10, 100, 10_000, 10**6])
    kept = _tune.survivors(m, 10)
    assert np.all(kept <= m) and np.all(np.diff(kept) > 0)
    assert kept[-1] < 20 * 10 and kept[-2] > 5 * 10
    np.testing.assert_allclose(kept[-1] - kept[-2], 10 * math.log(100), rtol=1e-3)
    # Each table that finds a kept neighbour measures it again; never more than the candidates.
    hits = np.array([0.5, 1.0, 3.0, 6.0])
    again = _tune.survivors(np.full(hits.shape, 10_000.0), 10, hits)
    np.testing.assert_allclose(np.diff(again), 10 * np.diff(hits))
    assert _tune.survivors(30.0, 10, 6.0) == 30.0


def _tune_clustered_pricing(rng, monkeypatch, tables):
    """Tunes b=4 k=4 l=`tables` probes=1 on clustered points (a neighbour is
    found by most tables, and each finding costs a float row) while recording
    every (pairs, lookups, hits) the tuner prices: (points, tuning, records,
    the share of the sample's true neighbours the first table finds, as the
    reference hashes them)."""
    centres = rng.random((300, 6))
    X = (centres[rng.integers(0, 300, 12_000)] + rng.normal(0, 0.02, (12_000, 6))) % 1.0
    priced = []
    hashed = _tune.Costs.hashed
    monkeypatch.setattr(_tune.Costs, "hashed",
                        lambda self, pairs, lookups, hits=1.0: (priced.append((np.copy(pairs), np.copy(lookups),
                                                                               np.copy(hits))),
                                                                hashed(self, pairs, lookups, hits))[1])
    fixed = {"b": 4, "k": 4, "l": tables, "probes": 1}
    tuning = _tune.tune(X, 10, 0.99, np.random.default_rng(0), PeriodicLshIndex, fixed=fixed)
    monkeypatch.setattr(_tune.Costs, "hashed", hashed)
    rows = tuning.sample_rows
    _, ind = _exact.knn(X, X[rows], 10, exclude=rows)
    first = _tune.found_by(_tune.HashParams(4, 4, 1, 1), tuning.s[:1], tuning.u[:1], X[rows], X[ind.reshape(-1)],
                           np.repeat(np.arange(rows.size), 10)).mean()
    return X, tuning, priced, first


def test_a_setting_is_priced_with_its_tables_meeting_each_neighbour_at_the_first_tables_rate(rng, monkeypatch):
    # The hits priced are l times the first table's share found.
    _, _, priced, first = _tune_clustered_pricing(rng, monkeypatch, tables=5)
    assert 0.3 < first < 1.0
    np.testing.assert_allclose(priced[-1][2], [5 * first])


def test_a_setting_offered_at_its_first_table_is_priced_with_what_that_table_finds(rng, monkeypatch):
    # Before its first table is searched a setting is priced as meeting no
    # neighbour again; once searched, the cost it is offered at counts the
    # neighbours that table finds, each a survivor.
    X, tuning, priced, first = _tune_clustered_pricing(rng, monkeypatch, tables=1)
    assert tuning.params == _tune.HashParams(4, 4, 1, 1) and 0.3 < first < 1.0
    pairs, lookups, _ = priced[0]  # the one setting's candidates and lookups at one table
    costs = _tune.choice_costs(X.shape[0], X.shape[1], 10, _tune.CODE_FILTER)
    assert tuning.cost == pytest.approx(float(costs.hashed(pairs, lookups, first)[0]), rel=1e-12)
    assert tuning.cost > float(costs.hashed(pairs, lookups, 0.0)[0])


def test_the_tuner_reads_the_filter_switch_as_the_engine_does(monkeypatch):
    import importlib
    import os
    import subprocess
    import sys
    code = ("from vibrel import _tune; "
            "print(_tune.CODE_FILTER, _tune.model_costs(10**5, 8) == _tune.model_costs(10**5, 8, codes=True))")
    for value, want in (("off", "False False"), ("0", "False False"), ("on", "True True"), ("", "True True")):
        env = dict(os.environ, VIBREL_CODE_FILTER=value)
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
        assert out.stdout.split() == want.split(), value
    assert importlib.import_module("vibrel._tune").CODE_FILTER == (
        os.environ.get("VIBREL_CODE_FILTER", "") not in ("0", "off"))


def test_the_numpy_census_tunes_as_the_compiled_one(rng, monkeypatch):
    X = rng.random((12_000, 3))
    compiled = ToroidalNN(random_state=0).fit(X)
    monkeypatch.setattr(_census, "census", lambda threads=0: _census.CensusRows)
    numpy_census = ToroidalNN(random_state=0).fit(X)
    assert compiled.params_["b"] > 1 and numpy_census.params_ == compiled.params_
    assert numpy_census.recall_estimate_ == compiled.recall_estimate_
    np.testing.assert_array_equal(numpy_census.s_, compiled.s_)


def test_calibration_recovers_the_constants_the_tuner_prices_with(monkeypatch):
    # Timings made by the calibration's model from known constants are fitted
    # back to them, and the tuner prices every timed case as that model does.
    import importlib.util
    import pathlib
    path = pathlib.Path(__file__).resolve().parents[2] / "bench" / "calibrate_tuner.py"
    spec = importlib.util.spec_from_file_location("calibrate_tuner", path)
    calibrate = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(calibrate)
    off = dict(QUERY_NS=0.0, SCAN_NS=0.3, SCAN_NS_PER_DIM=0.2, TOP_K_NS=150.0, PAIR_NS=5.0, MISS_NS=40.0,
               MISS_NS_PER_LINE=12.0, LOOKUP_NS=500.0)
    on = dict(CODE_SCAN_NS=0.25, CODE_SCAN_NS_PER_DIM=0.05, EXHAUSTIVE_SURVIVOR_NS=200.0, CODE_LOOKUP_NS=600.0,
              CODE_PAIR_NS=3.0, CODE_PAIR_NS_PER_DIM=0.1, SURVIVOR_NS_PER_DIM=6.0, SURVIVOR_MISS_NS=250.0)
    rows = []
    for n in (50_000, 200_000, 1_000_000):
        for d in (4, 8, 16, 32):
            for nn in (10, 100):
                rows.append(dict(kind="exhaustive", n=n, d=d, nn=nn, pairs=n, lookups=1))
                for pairs, lookups, hits in ((30 * nn, 16, 2.5), (8 * nn, 4, 0.5), (60 * nn, 12, 4.0),
                                             (500 * nn, 4, 3.0), (3 * nn, 32, 6.0)):
                    rows.append(dict(kind="hashed", n=n, d=d, nn=nn, pairs=pairs, lookups=lookups, hits=hits))
    # Timed on a shared machine: the wall clock (times the threads) counts waits for a core, the CPU clock not.
    timed = {False: [dict(r, cpu_ns=calibrate.modelled(r, None, off), wall_ns=3 * calibrate.modelled(r, None, off))
                     for r in rows],
             True: [dict(r, cpu_ns=calibrate.modelled(r, on, off), wall_ns=3 * calibrate.modelled(r, on, off))
                    for r in rows]}
    for timings in timed.values():
        calibrate.use_clock(timings, "cpu")
    fitted_off, residuals_off = calibrate.fit_off(timed[False])
    fitted_on, residuals_on = calibrate.fit_on(timed[True], fitted_off)
    for want, got in ((off, fitted_off), (on, fitted_on)):
        for name, value in want.items():
            assert got[name] == pytest.approx(value, rel=1e-3, abs=1e-6), name
    assert max(map(abs, residuals_off + residuals_on)) < 1e-6
    for name, value in {**off, **on}.items():
        if hasattr(_tune, name):
            monkeypatch.setattr(_tune, name, value)
    monkeypatch.setattr(_tune, "CACHE_BYTES", calibrate.CACHE_BYTES)
    for codes in (False, True):
        for r in timed[codes]:
            costs = _tune.model_costs(r["n"], r["d"], r["nn"], codes=codes)
            priced = (costs.exhaustive(r["n"]) if r["kind"] == "exhaustive"
                      else costs.hashed(r["pairs"], r["lookups"], r["hits"]))
            assert float(priced) * 1e9 == pytest.approx(r["ns"], rel=1e-9), (codes, r)


def test_an_index_answering_row_by_row_is_priced_without_the_codes(rng, monkeypatch):
    # block=1 sends every call down the per-query path, whose candidates all
    # get float distances: the tuner then chooses as with the codes off.
    X = rng.random((30_000, 8))
    per_query = ToroidalNN(random_state=0, block=1).fit(X).params_
    monkeypatch.setattr(_tune, "CODE_FILTER", False)
    float_priced = ToroidalNN(random_state=0).fit(X).params_
    monkeypatch.setattr(_tune, "CODE_FILTER", True)
    code_priced = ToroidalNN(random_state=0).fit(X).params_
    assert {**per_query, "block": None} == float_priced != code_priced
