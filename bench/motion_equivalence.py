"""talvex_tools.motion against has_self_collision over the same states, every robot of
example-robot-data.

For every URDF that Pinocchio's Python bindings build (fixed base), with its SRDF where
it has one (and, with --without-srdf, without it too), at each margin, two kinds of
straight motions:

- random: a random configuration inside the limits to another one a random distance
  away (planner-like lengths, 0.02 to 1.5 in Pinocchio's configuration distance), both
  collision free where the robot has such samples;
- grazing: through a configuration bisected to a contact (tests/collision_reference.py),
  crossing it along a random direction, so that a few states of the motion sit within
  the margin or just clear of it.

At each step the states are Pinocchio's own ``interpolate(q0, q1, k / n)``,
n = max(1, ceil(distance / step)), each tested with ``has_self_collision``. Must
equal: ``edge_free`` and ``any`` of the states; ``edge_free_fraction`` and the first
colliding state's index; ``edges_free`` on 2 threads and ``edge_free``. And
``edge_certified`` must never answer free where a state collides.

Run from the repository root:

    OPENBLAS_NUM_THREADS=1 python bench/motion_equivalence.py [--robots NAME ...]

Exit status 1 on any difference, or when talvex fails where Pinocchio builds.
"""

import argparse
import importlib.metadata
import math
import pathlib
import sys
import time
import zlib

import numpy as np
import pinocchio as pin

import talvex
from talvex_tools import batch, motion

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from collision_equivalence import ROBOTS, SHARE, name_of, srdf_for  # noqa: E402
from collision_reference import Reference, inside_samples  # noqa: E402


def random_edges(model, samples, rng, count):
    """Pairs (q0, q1): q1 moved from q0 towards another sample by a random distance."""
    if len(samples) < 2:
        return []
    edges = []
    for _ in range(count):
        a, b = rng.choice(len(samples), size=2, replace=False)
        q0, target = samples[a], samples[b]
        d = pin.distance(model, q0, target)
        length = rng.uniform(0.02, 1.5)
        u = 1.0 if d <= length else length / d
        edges.append((q0, pin.interpolate(model, q0, target, u)))
    return edges


def grazing_edges(model, contacts, rng, spread=0.05):
    """Motions crossing each contact configuration along a random direction."""
    edges = []
    for q in contacts:
        v = rng.normal(size=model.nv)
        v *= rng.uniform(0.2, 1.0) * spread / np.linalg.norm(v)
        edges.append((pin.integrate(model, q, -v), pin.integrate(model, q, v)))
    return edges


def towards_neutral(model, samples, rng):
    """Samples drawn towards the neutral configuration: robots that collide almost
    everywhere inside their limits (no SRDF, or hands and grippers) have some free
    ones there."""
    neutral = np.clip(pin.neutral(model), model.lowerPositionLimit, model.upperPositionLimit)
    return [pin.interpolate(model, neutral, q, rng.uniform(0.0, 0.5))
            for q in samples[: len(samples) // 2]]


def motions_of(ref, samples, rng, edges, paths, budget):
    """Random motions between free samples (where there are some, as a planner's
    are) and grazing ones, with the bisected contacts they were made from."""
    verdicts = [ref.collides(q) for q in samples]
    contacts = ref.near_contact(samples, verdicts, rng, paths, time.perf_counter() + budget)
    free = [q for q, v in zip(samples, verdicts) if not v]
    return (random_edges(ref.model, free if len(free) >= 2 else samples, rng, edges)
            + grazing_edges(ref.model, contacts[::2], rng)), contacts


def states_of(model, q0, q1, step):
    n = max(1, math.ceil(pin.distance(model, q0, q1) / step))
    return [pin.interpolate(model, q0, q1, k / n) for k in range(n + 1)], n


def compare(robot, model, edges, step):
    diff = {"free": 0, "fraction": 0, "edges_free": 0, "certified": 0}
    free_count = 0
    expected_free = []
    for q0, q1 in edges:
        states, n = states_of(model, q0, q1, step)
        verdicts = [robot.has_self_collision(q) for q in states]
        first = next((k for k, v in enumerate(verdicts) if v), None)
        free = first is None
        expected_free.append(free)
        free_count += free
        diff["free"] += motion.edge_free(robot, q0, q1, step=step) != free
        fraction = 1.0 if free else (-1.0 if first == 0 else (first - 1) / n)
        diff["fraction"] += motion.edge_free_fraction(robot, q0, q1, step=step) != fraction
        if not free and batch.margin(robot) >= 0:
            diff["certified"] += bool(motion.edge_certified(robot, q0, q1))
    q0s = np.array([e[0] for e in edges])
    q1s = np.array([e[1] for e in edges])
    diff["edges_free"] = int((motion.edges_free(robot, q0s, q1s, step=step, threads=2)
                              != np.array(expected_free)).sum())
    return diff, free_count


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--robots", nargs="*", default=[],
                        help="only robots whose folder/stem name contains one of these")
    parser.add_argument("--edges", type=int, default=40, help="random motions per robot")
    parser.add_argument("--paths", type=int, default=20, help="grazing motions per margin")
    parser.add_argument("--steps", type=float, nargs="*", default=[0.01, 0.05])
    parser.add_argument("--margins", type=float, nargs="*", default=[0.0, 0.005, 0.05])
    parser.add_argument("--budget", type=float, default=10.0,
                        help="seconds of reference work (bisection) per robot and margin")
    parser.add_argument("--without-srdf", action="store_true",
                        help="also check each robot that has an SRDF without it")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    print(f"talvex {importlib.metadata.version('talvex')} from {talvex.__file__}")
    print(f"edges {args.edges}, paths {args.paths}, steps {args.steps}, "
          f"margins {args.margins}", flush=True)
    start = time.perf_counter()
    rows = differences = failures = motions = grazing_total = free_total = 0
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
            samples = inside_samples(ref.model, rng, max(args.edges, 20))
            samples += towards_neutral(ref.model, samples, rng)
            for margin in args.margins:
                t0 = time.perf_counter()
                ref.margin = margin
                edges, contacts = motions_of(ref, samples, rng, args.edges, args.paths,
                                             args.budget)
                try:
                    robot = talvex.RobotModel()
                    robot.build_from_urdf(str(urdf), str(SHARE), str(srdf) if srdf else "",
                                          margin)
                    bad = 0
                    free = 0
                    for step in args.steps:
                        diff, free_here = compare(robot, ref.model, edges, step)
                        bad += sum(diff.values())
                        free += free_here
                        if sum(diff.values()):
                            print(f"    step {step}: {diff}", flush=True)
                except Exception as error:
                    failures += 1
                    print(f"{name:48s} TALVEX FAILED: {type(error).__name__}: "
                          f"{str(error).splitlines()[0][:100]}", flush=True)
                    continue
                rows += 1
                motions += len(edges) * len(args.steps)
                grazing_total += len(contacts[::2]) * len(args.steps)
                free_total += free
                differences += bad
                print(f"{name:48s} {srdf.name if srdf else '-':24s} {margin:6.3f} "
                      f"{len(edges):4d} {len(contacts[::2]):4d} {free:5d} {bad:4d} "
                      f"{time.perf_counter() - t0:6.1f}", flush=True)
    print(f"SUMMARY: {len(robots)} robots, {rows} rows, {motions} motions checked "
          f"({grazing_total} grazing, {free_total} free), {differences} differences, "
          f"{failures} talvex failures, {time.perf_counter() - start:.0f} s")
    return 1 if differences or failures else 0


if __name__ == "__main__":
    sys.exit(main())
