"""Where the time of `ToroidalNN.fit` goes on uniform data: the medians over
`--repeat` fits of the time of each stage, the stages timed by wrapping
the functions that run them.

    .venv/bin/python bench/fit_stages.py [--n 200000] [--d 16] [--repeat 9] [--clock cpu]

`--clock cpu` times the process's CPU (every thread's, summed) instead of the
wall: on a machine that others load, the CPU a stage takes varies far less
than its wall time.

Stages: validation (the points checked, copied and wrapped), the tuner, within it the
sample's true neighbours (an exhaustive index built and queried), the
census's neighbour places and probed cell counts (every call, summed) and
the rest (the tuner's own bookkeeping), then the build of the chosen
setting.  The machine is shared: compare medians of runs made together.
"""

import argparse
import collections
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from machine import cpu_name, pool_threads  # noqa: E402
from vibrel import ToroidalNN, _backend, _census, _tune, _validation  # noqa: E402

STAGES = ("fit", "validation", "tuner", "truth", "neighbour places", "cell counts", "tuner, the rest", "build")


CLOCKS = {"wall": time.perf_counter, "cpu": time.process_time}
clock = time.perf_counter


def timed(spent, name, function):
    def call(*args, **kwargs):
        start = clock()
        try:
            return function(*args, **kwargs)
        finally:
            spent[name] += clock() - start
    return call


def instrument(spent):
    """Wraps the stages' functions so that each call adds its time to `spent`."""
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
    _tune._engine_truth = lambda *args: timed(spent, "truth", truth(*args))
    _tune.tune = timed(spent, "tuner", _tune.tune)
    # The points checked and copied, then wrapped onto the box once the period is known.
    for name in ("checked_points", "wrap_onto"):
        setattr(_validation, name, timed(spent, "validation", getattr(_validation, name)))
    build = _backend.build_index
    # The truth's exhaustive index is built inside its stage; only the chosen setting's counts here.
    _backend.build_index = lambda engine, params, *rest: (
        timed(spent, "build", build) if not params.exhaustive else build)(engine, params, *rest)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--d", type=int, default=16)
    parser.add_argument("--n-neighbors", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--clock", choices=sorted(CLOCKS), default="wall")
    args = parser.parse_args()
    global clock
    clock = CLOCKS[args.clock]
    points = np.random.default_rng(args.n + args.d).random((args.n, args.d))
    spent = collections.defaultdict(float)
    instrument(spent)
    ToroidalNN(args.n_neighbors, random_state=0).fit(points)  # first touch of the pages, untimed
    runs = []
    for _ in range(args.repeat):
        spent.clear()
        start = clock()
        model = ToroidalNN(args.n_neighbors, random_state=0).fit(points)
        spent["fit"] = clock() - start
        spent["tuner, the rest"] = spent["tuner"] - spent["truth"] - spent["neighbour places"] - spent["cell counts"]
        model.index_ = None
        runs.append(dict(spent))
    p = model.params_
    print(f"CPU: {cpu_name()}, {os.cpu_count()} hardware threads, engine pool {pool_threads()} threads")
    print(f"uniform n={args.n:,} d={args.d} n_neighbors={args.n_neighbors}: b={p['b']} k={p['k']} l={p['l']} "
          f"probes={p['probes']}, medians of {args.repeat} fits, {args.clock} time\n")
    print("| stage | ms |\n|---|---:|")
    for stage in STAGES:
        print(f"| {stage} | {1e3 * np.median([run.get(stage, 0.0) for run in runs]):.1f} |")


if __name__ == "__main__":
    main()
