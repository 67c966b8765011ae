"""Where the time of `ToroidalNN.fit` goes on uniform data: the medians over
`--repeat` fits of the time of each stage, the stages timed by wrapping
the functions that run them.

    .venv/bin/python bench/fit_stages.py [--n 200000] [--d 16] [--repeat 9] [--clock cpu] [--cold]

`--clock cpu` times the process's CPU (every thread's, summed) instead of the
wall: on a machine that others load, the CPU a stage takes varies far less
than its wall time.

Stages: validation (the points checked, copied and wrapped), the tuner, within it the
sample's true neighbours (an exhaustive index built and queried), the
census's neighbour places and probed cell counts (every call, summed) and
the rest (the tuner's own bookkeeping), then the build of the chosen
setting.  After each fit the same setting is built again on its own, as
bench/bench_front.py --goals times it (the fit's index dropped first), so the
fit's build can be told from a standalone one; the minor page faults of each
stage are counted beside its time.  "before the truth" is the tuner's time
until it first asks for the sample's true neighbours: the only tuning work
that does not wait for them.  `--cold` times the process's first fits too
(otherwise one untimed fit goes first): there the heap still grows, and fresh
pages fault.  The machine is shared: compare medians of runs made together.
"""

import argparse
import collections
import os
import resource
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from machine import cpu_name, pool_threads  # noqa: E402
from vibrel import ToroidalNN, _backend, _census, _tune, _validation  # noqa: E402
from vibrel._params import HashParams  # noqa: E402

STAGES = ("fit", "validation", "tuner", "before the truth", "truth", "neighbour places", "cell counts",
          "tuner, the rest", "build", "standalone build")


CLOCKS = {"wall": time.perf_counter, "cpu": time.process_time}
clock = time.perf_counter


def minor_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def timed(spent, name, function, faults=None):
    """`function`, each call adding its time to spent[name] and, given
    `faults`, its minor page faults to faults[name]."""
    def call(*args, **kwargs):
        start, faulted = clock(), minor_faults()
        try:
            return function(*args, **kwargs)
        finally:
            spent[name] += clock() - start
            if faults is not None:
                faults[name] += minor_faults() - faulted
    return call


def instrument(spent, faults):
    """Wraps the stages' functions so that each call adds its time to `spent`
    and its minor page faults to `faults`."""
    census = _census.census

    class TimedRows:
        def __init__(self, rows):
            self.neighbour_places = timed(spent, "neighbour places", rows.neighbour_places)
            self.probed_cell_counts = timed(spent, "cell counts", rows.probed_cell_counts)

    def timed_census(threads=0):
        make = census(threads)
        return lambda queries, rows: TimedRows(make(queries, rows))
    _census.census = timed_census
    truth = _tune._engine_truth
    tune = _tune.tune
    tuner_started = []

    def first_asked(answer):
        def call(*args):
            if "before the truth" not in spent:
                spent["before the truth"] = clock() - tuner_started[-1]
            return answer(*args)
        return call

    def started_tune(*args, **kwargs):
        tuner_started.append(clock())
        return tune(*args, **kwargs)
    _tune._engine_truth = lambda *args: first_asked(timed(spent, "truth", truth(*args), faults))
    _tune.tune = timed(spent, "tuner", started_tune, faults)
    # The points checked and copied, then wrapped onto the box once the period is known.
    for name in ("checked_points", "wrap_onto"):
        setattr(_validation, name, timed(spent, "validation", getattr(_validation, name), faults))
    build = _backend.build_index
    # The truth's exhaustive index is built inside its stage; only the chosen setting's counts here.
    _backend.build_index = lambda engine, params, *rest: (
        timed(spent, "build", build, faults) if not params.exhaustive else build)(engine, params, *rest)
    return timed(spent, "standalone build", build, faults)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--d", type=int, default=16)
    parser.add_argument("--n-neighbors", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="wall")
    parser.add_argument("--cold", action="store_true", help="no untimed fit first; each fit's stages printed")
    args = parser.parse_args()
    global clock
    clock = CLOCKS[args.clock]
    points = np.random.default_rng(args.n + args.d).random((args.n, args.d))
    spent, faults = collections.defaultdict(float), collections.defaultdict(int)
    standalone_build = instrument(spent, faults)
    if not args.cold:
        ToroidalNN(args.n_neighbors, random_state=0).fit(points)  # first touch of the pages, untimed
    runs, faulted = [], []
    for _ in range(args.repeat):
        spent.clear()
        faults.clear()
        start, fit_faults = clock(), minor_faults()
        model = ToroidalNN(args.n_neighbors, random_state=0).fit(points)
        spent["fit"], faults["fit"] = clock() - start, minor_faults() - fit_faults
        spent["tuner, the rest"] = spent["tuner"] - spent["truth"] - spent["neighbour places"] - spent["cell counts"]
        p = model.params_
        # The fit's index dropped first, so that the standalone build recycles its memory as the fit's did the last one's.
        engine, model.index_ = type(model.index_), None
        if not p["b"] == p["k"] == p["l"] == 1:
            index = standalone_build(engine, HashParams(p["b"], p["k"], p["l"], p["probes"]), model.s_, model.u_, 0,
                                     points, len(points))
            del index
        runs.append(dict(spent))
        faulted.append(dict(faults))
    p = model.params_
    print(f"CPU: {cpu_name()}, {os.cpu_count()} hardware threads, engine pool {pool_threads()} threads")
    print(f"uniform n={args.n:,} d={args.d} n_neighbors={args.n_neighbors}: b={p['b']} k={p['k']} l={p['l']} "
          f"probes={p['probes']}, medians of {args.repeat} fits, {args.clock} time\n")
    if args.cold:
        print("Minor faults of each fit in turn:\n\n| stage | " + " | ".join(f"fit {i + 1}" for i in range(len(faulted)))
              + " |\n|---|" + "---:|" * len(faulted))
        for stage in (stage for stage in STAGES if stage in faulted[0]):
            print(f"| {stage} | " + " | ".join(str(run.get(stage, 0)) for run in faulted) + " |")
        print()
    print("| stage | ms | minor faults |\n|---|---:|---:|")
    for stage in STAGES:
        counted = f"{np.median([run.get(stage, 0) for run in faulted]):.0f}" if stage in faulted[0] else ""
        print(f"| {stage} | {1e3 * np.median([run.get(stage, 0.0) for run in runs]):.1f} | {counted} |")


if __name__ == "__main__":
    main()
