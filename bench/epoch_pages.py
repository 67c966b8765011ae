"""The epoch cycle process by process: its speed beside what the process got
from the kernel's memory, to tell a fast process from a slow one.

Each of `--processes` fresh processes fits ToroidalNN(10, recall=`--recall`) on
180,000 static + 20,000 moving points (d = 16) and runs `--epochs` epochs
(`update` of the moving points, then their self-join by ids). Per process it
prints the median wall and CPU seconds per epoch, the minor page faults of the
fit and of the epochs, the transparent huge pages the process holds
(AnonHugePages summed over smaps), the anonymous mappings of 8 MiB or more
with how much of each is resident and huge, the guest-physical frames of the
largest huge block (from pagemap, as root), the system's THP fault counters
(thp_fault_alloc / thp_fault_fallback from /proc/vmstat, across the process;
other processes on the machine add to them) and the nanoseconds per random
read over a fresh array, apart from the engine.

    PYTHONSAFEPATH=1 .venv/bin/python bench/epoch_pages.py [--processes 10] [--epochs 5] [--exhaustive 2]
        [--threads | --layouts | --blocks --block 1250]

`--threads`, `--layouts` and `--blocks` alternate the processes between one
pool thread and the machine's, address-space randomisation off and on, and
`--block` rows per block and one block a pool thread.

`--exhaustive N` adds N processes (interleaved) timing the float32 exhaustive
epoch (recall=1.0 with VIBREL_CODE_FILTER=off), for the ratio; the first one's
last-epoch distances are the truth for the recall of the tuned processes that
follow it (a neighbour counts when its distance is at most the true k-th).
`--recall` is the target the tuned processes fit with (default 0.99).
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

BIG_MAPPING = 8 << 20


def vmstat(*names):
    out = {}
    with open("/proc/vmstat") as f:
        for line in f:
            key, value = line.split()
            if key in names:
                out[key] = int(value)
    return out


def huge_pages():
    """AnonHugePages of the whole process and the anonymous mappings of at
    least BIG_MAPPING bytes as (MiB, MiB resident, MiB huge)."""
    total, mappings, current, spans = 0, [], None, []
    with open("/proc/self/smaps") as f:
        for line in f:
            fields = line.split()
            if "-" in fields[0] and len(fields) >= 5 and not fields[0].endswith(":"):
                start, end = (int(x, 16) for x in fields[0].split("-"))
                anonymous = len(fields) < 6
                current = [end - start, 0, 0] if anonymous and end - start >= BIG_MAPPING else None
                if current is not None:
                    mappings.append(current)
                    spans.append((start, end - start))
            elif fields[0] == "Rss:" and current is not None:
                current[1] = int(fields[1]) << 10
            elif fields[0] == "AnonHugePages:":
                total += int(fields[1]) << 10
                if current is not None:
                    current[2] = int(fields[1]) << 10
    mib = 1 << 20
    # The largest block the kernel backed with huge pages: the tables' key-ordered codes.
    largest = [spans[max(range(len(spans)), key=lambda i: mappings[i][2])]] if spans else []
    return (total / mib, [(round(s / mib), round(r / mib), round(h / mib)) for s, r, h in mappings], frames(spans),
            frames(largest))


def frames(mappings):
    """Guest-physical addresses (GiB) of the resident 2 MiB steps of the given
    (start, bytes) mappings, read from /proc/self/pagemap (needs root; empty
    otherwise)."""
    out = []
    try:
        with open("/proc/self/pagemap", "rb") as f:
            for start, size in mappings:
                for address in range(start, start + size, 2 << 20):
                    f.seek(address // 4096 * 8)
                    entry = int.from_bytes(f.read(8), "little")
                    if entry >> 63 and entry & ((1 << 55) - 1):
                        out.append((entry & ((1 << 55) - 1)) * 4096 / (1 << 30))
    except OSError:
        pass
    return out


def random_reads():
    """Nanoseconds per random 8-byte read over a fresh 512 MiB array (advised
    as huge pages by NumPy), the least of three passes: the process's memory
    latency apart from the engine, to tell a slow process from a slow engine."""
    table = np.ones(64 << 20)
    where = np.random.default_rng(0).integers(0, len(table), 1 << 22)
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        table[where].sum()
        best = min(best, time.perf_counter() - start)
    return 1e9 * best / len(where)


def child(label, n_epochs, block=None, target=0.99, truth=None, n=200_000, n_cand=20_000, d=16):
    from vibrel import ToroidalNN

    counters = ("thp_fault_alloc", "thp_fault_fallback")
    thp_start = vmstat(*counters)
    reads = random_reads()
    points = np.random.default_rng(5).random((n, d))
    flt_start = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    start = time.perf_counter()
    model = ToroidalNN(10, random_state=0, recall=1.0 if label == "exhaustive" else target,
                       block=block).fit(
        points, n_static=n - n_cand)
    fit = time.perf_counter() - start
    flt_fit = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    ids, moved, walls, cpus = np.arange(n - n_cand, n), points[n - n_cand:].copy(), [], []
    for epoch in range(n_epochs):
        moved = (moved + np.random.default_rng(epoch).normal(0, 0.002, moved.shape)) % 1.0
        start, cpu_start = time.perf_counter(), time.process_time()
        model.update(moved)
        dist, _ = model.kneighbors(ids=ids)
        walls.append(time.perf_counter() - start)
        cpus.append(time.process_time() - cpu_start)
    flt_end = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    thp_end = vmstat(*counters)
    huge, mappings, phys, largest = huge_pages()
    gib, counts = np.unique(np.floor(largest).astype(int), return_counts=True)
    p = model.params_
    return {"label": label, "setting": f"b={p['b']} k={p['k']} l={p['l']} probes={p['probes']}",
            "wall": float(np.median(walls)), "cpu": float(np.median(cpus)), "walls": walls, "fit": fit,
            "faults_fit": flt_fit - flt_start, "faults_epochs": (flt_end - flt_fit) / n_epochs,
            "huge_mib": huge, "reads_ns": reads,
            "largest_gib": {int(g): int(c) for g, c in zip(gib, counts)}, "mappings": mappings,
            "phys": [float(np.min(phys)), float(np.median(phys)), float(np.max(phys))] if phys else [],
            "thp": {k: thp_end[k] - thp_start[k] for k in counters},
            "answer": float(np.sum(dist, dtype=np.float64)), "recall": recall_against(dist, label, truth)}


def recall_against(dist, label, truth):
    """The exhaustive process leaves its last epoch's distances in `truth`
    (when none is there yet); a tuned one reads them for its recall."""
    from vibrel import _exact

    if truth is None:
        return None
    if label == "exhaustive":
        if not os.path.exists(truth):
            np.save(truth, dist)
        return None
    return float(_exact.recall(dist, np.load(truth))) if os.path.exists(truth) else None


def run(label, n_epochs, fixed_layout=False, threads=0, block=None, target=0.99, truth=None):
    env = dict(os.environ, VIBREL_CODE_FILTER="off" if label == "exhaustive" else "on")
    if threads:
        env["RAYON_NUM_THREADS"] = str(threads)
    command = (["setarch", "-R"] if fixed_layout else []) + [
        sys.executable, os.path.abspath(__file__), "--child", label, "--epochs", str(n_epochs)] + (
        ["--block", str(block)] if block else []) + ["--recall", str(target)] + (
        ["--truth", truth] if truth else [])
    out = subprocess.run(command, env=env, capture_output=True, text=True, check=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--processes", type=int, default=10)
    parser.add_argument("--epochs", type=int, default=5)
    parser.add_argument("--exhaustive", type=int, default=0)
    parser.add_argument("--layouts", action="store_true",
                        help="alternate processes with address-space randomisation off (setarch -R) and on")
    parser.add_argument("--threads", action="store_true",
                        help="alternate processes with one pool thread and with the machine's")
    parser.add_argument("--block", type=int, help="query rows per block (default: one block per pool thread); "
                        "with --blocks, the alternative to the default in every other process")
    parser.add_argument("--blocks", action="store_true", help="alternate the default block with --block")
    parser.add_argument("--recall", type=float, default=0.99, help="the tuned processes' recall target")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--truth", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(args.child, args.epochs, args.block, args.recall, args.truth)))
        return
    print("| process | setting | ns/read | s/epoch | CPU s/epoch | epochs' s | faults fit | faults/epoch | huge MiB "
          "| thp alloc / fallback | guest-physical GiB min/median/max | largest block: 2 MiB frames per GiB "
          "| big mappings (MiB, resident, huge) |"
          "\n|---|---|---:|---:|---:|---|---:|---:|---:|---|---|---|---|",
          flush=True)
    tuned, exhaustive, answers = [], [], set()
    truth = os.path.join(tempfile.mkdtemp(prefix="vibrel-epoch-"), "truth.npy") if args.exhaustive else None
    every = max(1, args.processes // max(1, args.exhaustive)) if args.exhaustive else 0
    for i in range(args.processes):
        if every and i % every == 0 and len(exhaustive) < args.exhaustive:
            exhaustive.append(run("exhaustive", args.epochs, truth=truth))
            r = exhaustive[-1]
            print(f"| exhaustive | float32 | {r['reads_ns']:.1f} | {r['wall']:.3f} | {r['cpu']:.2f} | | | | | | |",
                  flush=True)
        fixed = args.layouts and i % 2 == 0
        one = args.threads and i % 2 == 0
        block = args.block if not args.blocks or i % 2 == 0 else None
        r = run("tuned", args.epochs, fixed, 1 if one else 0, block, args.recall, truth)
        r["block"] = block
        r["layout"] = "fixed" if fixed else "random"
        r["threads"] = 1 if one else 0
        tuned.append(r)
        answers.add(r["answer"])
        tag = f" block {r['block']}" if r["block"] else ""
        tag = (" " + r["layout"] if args.layouts else "") + (" 1 thread" if r["threads"] else "") + tag
        reached = f", recall {r['recall']:.4f}" if r["recall"] is not None else ""
        print(f"| {i + 1}{tag} | {r['setting']}{reached} | {r['reads_ns']:.1f} | {r['wall']:.3f} | {r['cpu']:.3f} | "
              f"{' '.join(f'{w:.2f}' for w in r['walls'])} | {r['faults_fit']:,} | {r['faults_epochs']:,.0f} "
              f"| {r['huge_mib']:.0f} | {r['thp']['thp_fault_alloc']} / {r['thp']['thp_fault_fallback']} "
              f"| {'/'.join(f'{g:.1f}' for g in r['phys'])} "
              f"| {' '.join(f'{g}:{c}' for g, c in r['largest_gib'].items())} "
              f"| {' '.join(f'{s}/{res}/{h}' for s, res, h in r['mappings'])} |", flush=True)
    walls, cpu = [r["wall"] for r in tuned], [r["cpu"] for r in tuned]
    line = (f"\nTuned epoch over {len(tuned)} processes: median {np.median(walls):.3f} s "
            f"(min {min(walls):.3f}, max {max(walls):.3f}), CPU {np.median(cpu):.3f} s; "
            f"same answers in every process: {len(answers) == 1}; target {args.recall}")
    reached = [r["recall"] for r in tuned if r["recall"] is not None]
    if reached:
        line += f", recall {min(reached):.4f} (the least of {len(reached)})"
    if exhaustive:
        ew, ec = np.median([r["wall"] for r in exhaustive]), np.median([r["cpu"] for r in exhaustive])
        line += (f". Float32 exhaustive over {len(exhaustive)}: {ew:.3f} s (CPU {ec:.2f}); ratio "
                 f"{ew / np.median(walls):.1f}x wall, {ec / np.median(cpu):.1f}x CPU")
    print(line)
    if args.blocks:
        for block in (args.block, None):
            runs = [r for r in tuned if r["block"] == block]
            print(f"block {block or 'default'}: wall s {sorted(round(r['wall'], 3) for r in runs)}, "
                  f"CPU s {sorted(round(r['cpu'], 3) for r in runs)}")
    if args.threads:
        for threads in (1, 0):
            cpu = sorted(round(r["cpu"], 3) for r in tuned if r["threads"] == threads)
            print(f"CPU s per epoch, {threads or 'all'} pool thread(s): {cpu}")
    if args.layouts:
        for layout in ("fixed", "random"):
            cpu = sorted(round(r["cpu"], 3) for r in tuned if r["layout"] == layout)
            print(f"CPU s per epoch, layout {layout}: {cpu}")


if __name__ == "__main__":
    main()
