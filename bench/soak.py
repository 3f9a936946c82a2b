"""Soak: build and destroy many models, make many queries, watch resident memory.

Not part of the test run. Each phase reports the resident set size (RSS) at
intervals; its growth is measured from the end of a warm-up (the first tenth of
the phase, when allocator pools and the mesh cache fill) to the end, and the
script exits 1 when any phase grows by more than --limit-mb.

    python bench/soak.py                       # Panda, 1000 builds, 10^6 queries of each kind
    python bench/soak.py --robot pair --queries 100000
    valgrind --leak-check=full python bench/soak.py --robot pair --builds 20 --queries 200
"""
import argparse
import importlib.metadata
import os
import pathlib
import sys
import time

import numpy as np

import talvex

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE.parent / "tests" / "data"
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE / 2 ** 20


def robot_files(name):
    """(urdf, package_dir, srdf, a frame name) of the robot to soak."""
    if name == "pair":
        return str(DATA / "pair.urdf"), str(DATA), str(DATA / "pair.srdf"), "slider"
    share = pathlib.Path(importlib.metadata.distribution("example-robot-data")
                         .locate_file("cmeel.prefix/share"))
    robots = share / "example-robot-data" / "robots" / "panda_description"
    return (str(robots / "urdf" / "panda.urdf"), str(share), str(robots / "srdf" / "panda.srdf"),
            "panda_hand")


def phase(name, count, step, limit_mb):
    """Run step(i) count times; report RSS at tenths; return the growth after warm-up."""
    marks = max(count // 10, 1)
    start = time.perf_counter()
    warm = None
    line = [f"{name:28s}"]
    for i in range(count):
        step(i)
        if (i + 1) % marks == 0:
            now = rss_mb()
            line.append(f"{now:7.1f}")
            if warm is None:
                warm = now
    growth = rss_mb() - warm
    verdict = "ok" if growth < limit_mb else "GROWS"
    line.append(f" | +{growth:5.2f} MB after warm-up, {time.perf_counter() - start:6.1f} s  {verdict}")
    print(" ".join(line), flush=True)
    return growth


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--robot", choices=["panda", "pair"], default="panda")
    parser.add_argument("--builds", type=int, default=1000)
    parser.add_argument("--queries", type=int, default=1_000_000)
    parser.add_argument("--limit-mb", type=float, default=5.0)
    args = parser.parse_args()

    urdf, package_dir, srdf, frame = robot_files(args.robot)
    model = talvex.RobotModel()
    model.build_from_urdf(urdf, package_dir, srdf)
    rng = np.random.default_rng(0)
    lo, hi = model.lower_position_limits(), model.upper_position_limits()
    configs = [rng.uniform(lo, hi) for _ in range(1000)]
    wrong = np.zeros(model.nq() + 1)
    bad_srdf = str(DATA / "pair.urdf")  # exists, wrong extension: fails after both readers ran

    def build(i):
        fresh = talvex.RobotModel()
        fresh.build_from_urdf(urdf, package_dir, srdf)
        if i % 2:
            try:  # a failed rebuild of a built object: the fresh set is thrown away
                fresh.build_from_urdf(urdf, package_dir, bad_srdf)
            except ValueError:
                pass
        del fresh

    def failing(call):
        def step(i):
            try:
                call(i)
            except (ValueError, RuntimeError):
                return
            raise AssertionError("expected a failure")
        return step

    print(f"talvex soak: robot={args.robot} nq={model.nq()} builds={args.builds} "
          f"queries={args.queries}; RSS in MB at each tenth of a phase", flush=True)
    print(f"start RSS {rss_mb():.1f} MB", flush=True)
    n = args.queries
    phases = [
        ("build/destroy", args.builds, build),
        ("forward_kinematics", n, lambda i: model.forward_kinematics(configs[i % 1000], frame)),
        ("all_frame_transforms", n, lambda i: model.all_frame_transforms(configs[i % 1000])),
        ("has_self_collision", n, lambda i: model.has_self_collision(configs[i % 1000])),
        ("in_joint_limits", n, lambda i: model.in_joint_limits(configs[i % 1000])),
        ("nq", n, lambda i: model.nq()),
        ("ndof", n, lambda i: model.ndof()),
        ("joint_names", n, lambda i: model.joint_names()),
        ("frame_names", n, lambda i: model.frame_names()),
        ("lower_position_limits", n, lambda i: model.lower_position_limits()),
        ("upper_position_limits", n, lambda i: model.upper_position_limits()),
        ("neutral_configuration", n, lambda i: model.neutral_configuration()),
        ("repr", n, lambda i: repr(model)),
        # Error paths allocate messages and exception objects of their own.
        ("fk frame not found", n, failing(lambda i: model.forward_kinematics(configs[0], "nope"))),
        ("fk wrong length", n, failing(lambda i: model.forward_kinematics(wrong, frame))),
        ("collision wrong length", n, failing(lambda i: model.has_self_collision(wrong))),
        ("in_joint_limits wrong length", n, failing(lambda i: model.in_joint_limits(wrong))),
        ("unbuilt query", n, failing(lambda i: talvex.RobotModel().nq())),
    ]
    worst = max(phase(name, count, step, args.limit_mb) for name, count, step in phases)
    print(f"end RSS {rss_mb():.1f} MB; largest growth after warm-up {worst:.2f} MB "
          f"(limit {args.limit_mb} MB)", flush=True)
    return 0 if worst < args.limit_mb else 1


if __name__ == "__main__":
    sys.exit(main())
