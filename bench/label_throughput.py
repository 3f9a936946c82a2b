#!/usr/bin/env python3
"""Throughput of `talvex label`: configurations labelled per second.

    python bench/label_throughput.py [--rounds R] [--json PATH]

On the Panda and Talos reduced (with their SRDFs, from example-robot-data), each
labelled with self-collision and the pose of one frame, it times the labelling
on 1 thread, 2 threads and a 2-worker local Dask cluster (median of R rounds,
the engines interleaved; the cluster's start is timed apart), splits the cost
of one configuration into collision test, pose and the rest (drawing, Parquet,
the loop; from the 1-thread runs), and measures what one chunk costs whatever
its size: the scheduler's round trip of an empty task, and the labelling rate
against the chunk size.
"""

import argparse
import importlib.metadata
import json
import os
import pathlib
import shutil
import statistics
import tempfile
import time

from talvex_tools.commands import label as lc

ROOT = pathlib.Path(__file__).resolve().parent.parent

SHARE = pathlib.Path(importlib.metadata.distribution("example-robot-data").locate_file("cmeel.prefix/share"))
ROBOTS_DIR = SHARE / "example-robot-data/robots"
# name: (URDF, SRDF, frame, configurations, chunk size): ten chunks, a few seconds each run.
ROBOTS = {
    "panda": ("panda_description/urdf/panda.urdf", "panda_description/srdf/panda.srdf",
              "panda_hand", 20_000, 2_000),
    "talos": ("talos_data/robots/talos_reduced.urdf", "talos_data/srdf/talos.srdf",
              "gripper_left_base_link", 4_000, 400),
}
ENGINES = {"1 thread": ["--threads", "1"], "2 threads": ["--threads", "2"],
           "local cluster, 2 workers": ["--local-cluster", "2"]}
CHUNK_SWEEP = [10, 100, 1_000, 10_000]  # Panda, 20 000 configurations, on the cluster
EMPTY_TASKS = 2_000


def label(scratch, robot, engine, count=None, chunk=None):
    urdf, srdf, frame, default_count, default_chunk = ROBOTS[robot]
    out = scratch / "out"
    parser = argparse.ArgumentParser()
    lc.add_arguments(parser)
    args = parser.parse_args([
        str(ROBOTS_DIR / urdf), "--srdf", str(ROBOTS_DIR / srdf), "--package-dir", str(SHARE),
        "--frame", frame, "--count", str(count or default_count),
        "--chunk-size", str(chunk or default_chunk), "--out", str(out), *ENGINES[engine],
    ])
    try:
        return lc.label(args, stream=None)
    finally:
        shutil.rmtree(out, ignore_errors=True)


def empty_task_cost():
    """Seconds per empty task through a 2-worker local cluster (submit to result)."""
    import dask
    from distributed import Client, LocalCluster

    with tempfile.TemporaryDirectory() as scratch, dask.config.set(
        {"temporary-directory": scratch}
    ), LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None,
                    silence_logs=50) as cluster, Client(cluster) as client:
        client.gather(client.map(abs, range(100), pure=False))  # warm up
        start = time.perf_counter()
        client.gather(client.map(abs, range(EMPTY_TASKS), pure=False))
        return (time.perf_counter() - start) / EMPTY_TASKS


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--json", default=str(ROOT / "build/bench-out/label_throughput.json"))
    options = parser.parse_args()
    load_before = os.getloadavg()
    results = {"load_before": load_before, "rounds": options.rounds, "robots": {}}
    with tempfile.TemporaryDirectory() as scratch:
        scratch = pathlib.Path(scratch)
        for robot, (*_, count, chunk) in ROBOTS.items():
            # Rounds interleave the engines (A B C A B C ...), so that a change of the
            # machine's load falls on all of them.
            runs = {e: [] for e in ENGINES}
            for _ in range(options.rounds):
                for engine in ENGINES:
                    runs[engine].append(label(scratch, robot, engine))
            rates = {e: statistics.median(count / s.labelling for s in r) for e, r in runs.items()}
            one = runs["1 thread"]
            split = {part: statistics.median(getattr(s.stats, part) / count * 1e6 for s in one)
                     for part in ("collision", "poses")}
            # The model's build, once per thread, is counted apart from the rest.
            split["rest"] = statistics.median(
                (s.labelling - s.stats.build) / count * 1e6 for s in one) - sum(split.values())
            build_ms = statistics.median(s.stats.build * 1e3 for s in one)
            startup = statistics.median(s.startup for s in runs["local cluster, 2 workers"])
            results["robots"][robot] = {"count": count, "chunk_size": chunk, "rate": rates,
                                        "us_per_configuration": split, "build_ms": build_ms,
                                        "cluster_startup_s": startup}
            print(f"{robot}: {count} configurations in chunks of {chunk}, one frame")
            for engine, rate in rates.items():
                print(f"  {engine:<26} {rate:>9,.0f} configurations/s")
            print(f"  cluster start              {startup:>9.2f} s")
            print("  one configuration, 1 thread: " + ", ".join(
                f"{part} {us:.1f} us" for part, us in split.items()) + f"; build {build_ms:.0f} ms")
        sweep = {}
        for chunk in CHUNK_SWEEP:
            s = label(scratch, "panda", "local cluster, 2 workers", 20_000, chunk)
            # Building a chunk's table and writing its file is the other cost per chunk.
            sweep[chunk] = {"rate": 20_000 / s.labelling,
                            "write_ms_per_chunk": s.stats.write / (20_000 / chunk) * 1e3}
        results["panda_chunk_sweep"] = sweep
    per_task = empty_task_cost()
    results["empty_task_s"] = per_task
    print("panda on the cluster, by chunk size:")
    for chunk, r in sweep.items():
        print(f"  {chunk:>6}  {r['rate']:>9,.0f} configurations/s, "
              f"table and file {r['write_ms_per_chunk']:.1f} ms per chunk")
    print(f"empty task through the cluster: {per_task * 1e6:.0f} us")
    results["load_after"] = os.getloadavg()
    print("load average before {:.2f} {:.2f} {:.2f}, after {:.2f} {:.2f} {:.2f}".format(
        *load_before, *results["load_after"]))
    path = pathlib.Path(options.json)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    main()
