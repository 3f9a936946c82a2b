"""Speed of talvex_tools.batch.self_collisions against the Python loop of
has_self_collision over the same rows, and its scaling from 1 to 2 threads.

Per robot (its SRDF, margin 0.005), one set of seeded configurations uniform inside the
limits; each measure is the best of --rounds interleaved rounds. Prints, per robot: the
loop's and the batch's cost per configuration, batch 1 thread / loop, and batch 2
threads' rate over its own 1-thread rate. Run from the repository root:

    OPENBLAS_NUM_THREADS=1 python bench/batch_speed.py [--robots panda talos_reduced]
"""

import argparse
import pathlib
import sys
import time

import numpy as np

import talvex
from talvex_tools import batch

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from bench import ROBOTS, ROBOTS_DIR, SHARE  # noqa: E402
from collision_reference import STAND_IN  # noqa: E402


def samples(robot, count, seed):
    rng = np.random.default_rng(seed)
    lo, hi = robot.lower_position_limits(), robot.upper_position_limits()
    bad = ~(np.isfinite(lo) & np.isfinite(hi)) | (np.abs(lo) > 1e3) | (np.abs(hi) > 1e3)
    lo, hi = np.where(bad, -STAND_IN, lo), np.where(bad, STAND_IN, hi)
    return lo + rng.random((count, robot.nq())) * (hi - lo)


def best(call, rounds):
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        call()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--robots", nargs="+", default=["panda", "talos_reduced"],
                        choices=list(ROBOTS))
    parser.add_argument("--count", type=int, default=20000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    print(f"{'robot':16s} {'loop us':>8s} {'batch1 us':>9s} {'batch2 us':>9s} "
          f"{'b1/loop':>8s} {'b2 rate/b1':>10s}")
    for name in args.robots:
        urdf, srdf, _ = ROBOTS[name]
        robot = talvex.RobotModel()
        robot.build_from_urdf(str(ROBOTS_DIR / urdf), str(SHARE), str(ROBOTS_DIR / srdf), 0.005)
        qs = samples(robot, args.count, 0)
        rows = list(qs)
        loop = [robot.has_self_collision(q) for q in rows]
        assert np.array_equal(batch.self_collisions(robot, qs, threads=2), loop)
        t = {"loop": [], "b1": [], "b2": []}
        for _ in range(args.rounds):  # interleaved, so that drift hits all three alike
            t["loop"].append(best(lambda: [robot.has_self_collision(q) for q in rows], 1))
            t["b1"].append(best(lambda: batch.self_collisions(robot, qs, threads=1), 1))
            t["b2"].append(best(lambda: batch.self_collisions(robot, qs, threads=2), 1))
        us = {k: min(v) / args.count * 1e6 for k, v in t.items()}
        print(f"{name:16s} {us['loop']:8.2f} {us['b1']:9.2f} {us['b2']:9.2f} "
              f"{us['b1'] / us['loop']:8.2f} {us['b1'] / us['b2']:10.2f}", flush=True)


if __name__ == "__main__":
    main()
