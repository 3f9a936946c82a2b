"""Cost per motion of talvex_tools.motion against testing its states one by one.

Planner-like motions (as RRTConnect and PRM make them): from a collision-free
configuration towards another one, cut to a random length (0.05 to 2 in Pinocchio's
configuration distance, --lengths), on the Panda (its SRDF) and on Talos (reduced, its
SRDF) planning arms and torso (the other joints held at the neutral configuration).
Each motion is checked at each step (0.01 and 0.002) by:

- loop: Pinocchio's interpolate and has_self_collision per state, in Python, stopping
  at the first colliding state (the check a planner's Python validity checker makes);
- states: the same states in one batch.self_collisions call (C++, no Python per
  state, every state tested afresh);
- edge_free, and edge_certified (no step: the continuum).

Rounds interleave the ways, each figure is the median of the rounds' per-motion means,
and every answer is checked against the loop's. Run from the repository root:

    OPENBLAS_NUM_THREADS=1 python bench/motion_speed.py [--json FILE]
"""

import argparse
import json
import math
import pathlib
import statistics
import sys
import time

import numpy as np
import pinocchio as pin
import talvex
from talvex_tools import batch, motion

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from collision_equivalence import ROBOTS as ROBOT_DIR, SHARE  # noqa: E402

ROBOTS = {
    "panda": ("panda_description/urdf/panda.urdf", "panda_description/srdf/panda.srdf", None),
    "talos arms+torso": ("talos_data/robots/talos_reduced.urdf", "talos_data/srdf/talos.srdf",
                         ("arm_left", "arm_right", "torso")),
    "talos legs": ("talos_data/robots/talos_reduced.urdf", "talos_data/srdf/talos.srdf",
                   ("leg_left", "leg_right")),
}


def build(urdf, srdf):
    robot = talvex.RobotModel()
    robot.build_from_urdf(str(ROBOT_DIR / urdf), str(SHARE), str(ROBOT_DIR / srdf), 0.005)
    model = pin.buildModelFromUrdf(str(ROBOT_DIR / urdf), mimic=False)
    return robot, model


def planned_mask(robot, prefixes):
    """The coordinates that move: all, or those of joints whose name starts so."""
    mask = np.zeros(robot.nq(), dtype=bool)
    for joint in batch.joint_layout(robot):
        if prefixes is None or joint["name"].startswith(prefixes):
            mask[joint["q_start"]:joint["q_start"] + joint["q_count"]] = True
    return mask


def motions(robot, model, mask, rng, count, lengths):
    lo, hi = np.array(robot.lower_position_limits()), np.array(robot.upper_position_limits())
    hold = np.clip(np.array(robot.neutral_configuration()), lo, hi)

    def free_sample():
        while True:
            q = hold.copy()
            q[mask] = rng.uniform(lo[mask], hi[mask])
            if not robot.has_self_collision(q):
                return q

    out = []
    for _ in range(count):
        q0, target = free_sample(), free_sample()
        d = pin.distance(model, q0, target)
        length = rng.uniform(*lengths)
        out.append((q0, pin.interpolate(model, q0, target, min(1.0, length / d))))
    return out


def loop_free(robot, model, q0, q1, step):
    n = max(1, math.ceil(pin.distance(model, q0, q1) / step))
    for k in range(n + 1):
        if robot.has_self_collision(pin.interpolate(model, q0, q1, k / n)):
            return False
    return True


def states_free(robot, model, q0, q1, step):
    n = max(1, math.ceil(pin.distance(model, q0, q1) / step))
    states = np.array([pin.interpolate(model, q0, q1, k / n) for k in range(n + 1)])
    return states, n


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--robots", nargs="*", default=list(ROBOTS))
    parser.add_argument("--motions", type=int, default=300)
    parser.add_argument("--lengths", type=float, nargs=2, default=[0.05, 2.0])
    parser.add_argument("--steps", type=float, nargs="*", default=[0.01, 0.002])
    parser.add_argument("--rounds", type=int, default=4)
    parser.add_argument("--json", help="write the figures here")
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    results = []
    for name in args.robots:
        urdf, srdf, prefixes = ROBOTS[name]
        robot, model = build(urdf, srdf)
        mask = planned_mask(robot, prefixes)
        edges = motions(robot, model, mask, rng, args.motions, args.lengths)
        truth = {}
        for step in args.steps:
            truth[step] = [loop_free(robot, model, a, b, step) for a, b in edges]
            states = [states_free(robot, model, a, b, step) for a, b in edges]
            n_states = sum(s[1] + 1 for s in states)
            timings = {"loop": [], "states": [], "edge_free": [], "edge_certified": []}
            for r in range(args.rounds):
                t = time.perf_counter()
                got = [loop_free(robot, model, a, b, step) for a, b in edges]
                timings["loop"].append(time.perf_counter() - t)
                assert got == truth[step]
                t = time.perf_counter()
                got = [not batch.self_collisions(robot, s, threads=1).any() for s, _ in states]
                timings["states"].append(time.perf_counter() - t)
                assert got == truth[step]
                # The two checks in turn, first one then the other first.
                for check in (("free", "certified") if r % 2 == 0 else ("certified", "free")):
                    t = time.perf_counter()
                    if check == "free":
                        got = [motion.edge_free(robot, a, b, step=step) for a, b in edges]
                        timings["edge_free"].append(time.perf_counter() - t)
                        assert got == truth[step], "edge_free differs from the loop"
                    else:
                        proofs = [motion.edge_certified(robot, a, b) for a, b in edges]
                        timings["edge_certified"].append(time.perf_counter() - t)
            per = {k: statistics.median(v) / len(edges) * 1e6 for k, v in timings.items()}
            statuses = [p.status for p in proofs]
            sound = all(not (p.status == "free" and not f) for p, f in zip(proofs, truth[step]))
            row = {
                "robot": name, "step": step, "motions": len(edges),
                "free": sum(truth[step]), "states per motion": n_states / len(edges),
                **{f"{k} us": round(v, 2) for k, v in per.items()},
                "edge_free / loop": round(per["edge_free"] / per["loop"], 3),
                "edge_free / states": round(per["edge_free"] / per["states"], 3),
                "certified / edge_free": round(per["edge_certified"] / per["edge_free"], 3),
                "certified free": statuses.count("free"),
                "certified unproven": statuses.count("unproven"),
                "certified sound": sound,
            }
            results.append(row)
            print(json.dumps(row), flush=True)
    if args.json:
        with open(args.json, "w") as out:
            json.dump(results, out, indent=1)
    return 0 if all(r["certified sound"] for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
