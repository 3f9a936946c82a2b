"""talvex_tools.batch against the single calls, over every robot of example-robot-data.

For every URDF that Pinocchio's Python bindings build (fixed base), with its SRDF where
it has one (and, with --without-srdf, without it too), at each margin: random
configurations inside the limits and configurations right at a contact (bisected with
the reference of tests/collision_reference.py, both sides kept), in shuffled order. Every
answer of the batch calls must equal the single call's over the same rows:

- self_collisions on 1 and 2 threads equals has_self_collision row by row;
- pair_collisions has a true entry in a row exactly when has_self_collision is true,
  and colliding_pairs is non-empty exactly then (on a subset of rows);
- frame_poses of three frames equals forward_kinematics bit for bit.

Run from the repository root:

    OPENBLAS_NUM_THREADS=1 python bench/batch_equivalence.py [--robots NAME ...]

Exit status 1 on any difference, or when talvex fails where Pinocchio builds.
"""

import argparse
import importlib.metadata
import pathlib
import sys
import time
import zlib

import numpy as np

import talvex
from talvex_tools import batch

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from collision_equivalence import ROBOTS, SHARE, name_of, srdf_for  # noqa: E402
from collision_reference import Reference, inside_samples  # noqa: E402


def compare(urdf, srdf, margin, configs, rng, pair_rows):
    robot = talvex.RobotModel()
    robot.build_from_urdf(str(urdf), str(SHARE), str(srdf) if srdf else "", margin)
    qs = np.array(configs)[rng.permutation(len(configs))]
    single = np.array([robot.has_self_collision(q) for q in qs], dtype=bool)
    diff = {}
    for threads in (1, 2):
        diff[f"self t{threads}"] = int((batch.self_collisions(robot, qs, threads=threads)
                                        != single).sum())
    per_pair = batch.pair_collisions(robot, qs, threads=2)
    diff["pairs any"] = int((per_pair.any(axis=1) != single).sum())
    some = rng.choice(len(qs), size=min(pair_rows, len(qs)), replace=False)
    diff["colliding_pairs"] = sum(bool(batch.colliding_pairs(robot, qs[k])) != single[k]
                                  for k in some)
    names = robot.frame_names()
    frames = sorted({names[0], names[len(names) // 2], names[-1]})
    frames = [f for f in frames if names.count(f) == 1]
    poses = batch.frame_poses(robot, qs, frames, threads=2)
    expected = np.array([[robot.forward_kinematics(q, f) for f in frames] for q in qs])
    diff["poses"] = int((~(poses == expected) & ~(np.isnan(poses) & np.isnan(expected)))
                        .any(axis=(1, 2, 3)).sum()) if frames else 0
    return diff, int(single.sum())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--robots", nargs="*", default=[],
                        help="only robots whose folder/stem name contains one of these")
    parser.add_argument("--configs", type=int, default=200, help="random samples per robot")
    parser.add_argument("--paths", type=int, default=30, help="bisected contacts per margin")
    parser.add_argument("--margins", type=float, nargs="*", default=[0.0, 0.005, 0.05])
    parser.add_argument("--pair-rows", type=int, default=40,
                        help="rows on which colliding_pairs is called one by one")
    parser.add_argument("--budget", type=float, default=20.0,
                        help="seconds of reference work (bisection) per robot and margin")
    parser.add_argument("--without-srdf", action="store_true",
                        help="also check each robot that has an SRDF without it")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    print(f"talvex {importlib.metadata.version('talvex')} from {talvex.__file__}")
    print(f"configs {args.configs}, paths {args.paths}, margins {args.margins}", flush=True)
    start = time.perf_counter()
    rows = differences = failures = configurations = near_total = 0
    robots = set()
    for urdf in sorted(ROBOTS.rglob("*.urdf")):
        name = name_of(urdf)
        if args.robots and not any(r in name for r in args.robots):
            continue
        srdfs = [srdf_for(urdf)]
        if args.without_srdf and srdfs[0] is not None:
            srdfs.append(None)
        for srdf in srdfs:
            try:
                ref = Reference(urdf, SHARE, srdf, 0.0)
            except Exception as error:
                print(f"{name:48s} SKIPPED ({type(error).__name__})", flush=True)
                break
            robots.add(name)
            rng = np.random.default_rng([args.seed, zlib.crc32(name.encode())])
            samples = inside_samples(ref.model, rng, args.configs)
            for margin in args.margins:
                t0 = time.perf_counter()
                ref.margin = margin
                verdicts = [ref.collides(q) for q in samples]
                near = ref.near_contact(samples, verdicts, rng, args.paths,
                                        time.perf_counter() + args.budget)
                try:
                    diff, colliding = compare(urdf, srdf, margin, samples + near, rng,
                                              args.pair_rows)
                except Exception as error:
                    failures += 1
                    print(f"{name:48s} TALVEX FAILED: {type(error).__name__}: "
                          f"{str(error).splitlines()[0][:100]}", flush=True)
                    continue
                rows += 1
                configurations += len(samples) + len(near)
                near_total += len(near)
                bad = sum(diff.values())
                differences += bad
                print(f"{name:48s} {srdf.name if srdf else '-':24s} {margin:6.3f} "
                      f"{len(samples) + len(near):5d} {len(near):4d} {colliding:5d} "
                      f"{bad:4d} {time.perf_counter() - t0:6.1f}"
                      + (f"  {diff}" if bad else ""), flush=True)
    print(f"SUMMARY: {len(robots)} robots, {rows} rows, {configurations} configurations "
          f"({near_total} at contact), {differences} differences, {failures} talvex failures, "
          f"{time.perf_counter() - start:.0f} s")
    return 1 if differences or failures else 0


if __name__ == "__main__":
    sys.exit(main())
