"""Planning through talvex_tools.ompl against OMPL's own motion checking over a
per-state Python validity checker, on the same problems, at the same resolution.

Two sides, each planning the same seeded problems with RRTConnect and PRM, then
simplifySolution():

- talvex: ``talvex_tools.ompl.setup``, whose motion validator checks a motion in one
  call (``motion.edge_free``: its states converted once, tested natively);
- ompl: the same space (same bounds and longest valid segment), a validity checker in
  Python (state to q, then ``has_self_collision``), and OMPL's default
  DiscreteMotionValidator, which calls that checker once per interpolated state.

Same resolution: the robots planned here have revolute joints only, so the space is
one real vector, its distance the Euclidean one, which is Pinocchio's configuration
distance for such joints. Its longest valid segment fraction is step / (its maximum
extent), so a motion of length d is ceil(d / step) segments for OMPL, the n that
``edge_free`` takes, through the same interpolated states.

Equal work: before each planner is made, OMPL's seed is set to the same value on both
sides, so the planners draw the same samples; with the same verdicts they grow the
same trees and return the same path (the table shows both sides' motion counts).
RRTConnect solves until its first solution. PRM grows its roadmap to a fixed number of
milestones (``growRoadmapPtc``, single-threaded, no time-based alternation), then
solves the query, stopping at the first solution. A time limit on either is only a
guard.

Every returned path is checked at ten times finer resolution, each state by
``has_self_collision``: with the planning margin (5 mm), and with margin 0, which
is what a planner at this step can promise (the margin covers what may hide
between two checked states). Run from the repository root:

    python bench/planning.py [--quick] [--out build/bench-out/planning.json]
"""

import argparse
import json
import math
import pathlib
import sys
import time

import numpy as np

import talvex
from ompl import base as ob
from ompl import geometric as og
from ompl import util as ou
from talvex_tools import motion
from talvex_tools import ompl as tompl

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench import ROBOTS, ROBOTS_DIR, SHARE  # noqa: E402

TALOS_ARMS = [f"arm_{side}_{k}_joint" for side in ("left", "right") for k in range(1, 8)]
PROBLEMS = {
    "panda": ("panda", [f"panda_joint{k}" for k in range(1, 8)]),
    "talos arms+torso": ("talos_reduced", ["torso_1_joint", "torso_2_joint", *TALOS_ARMS]),
    "talos legs": ("talos_reduced",
                   [f"leg_{side}_{k}_joint" for side in ("left", "right") for k in range(1, 7)]),
}
SIDES = ("talvex", "ompl")
PLANNERS = ("RRTConnect", "PRM")
GUARD = 60.0  # seconds: a run stopped by it counts as a failure, not as a time


def build(name, margin=0.005):
    urdf, srdf, _ = ROBOTS[name]
    robot = talvex.RobotModel()
    robot.build_from_urdf(str(ROBOTS_DIR / urdf), str(SHARE), str(ROBOTS_DIR / srdf), margin)
    return robot


def problems(robot, joints, count, step, seed):
    """count (start, goal) pairs: collision-free full configurations, uniform over the
    planned joints' bounds, the rest at hold, whose straight motion collides (so that
    there is planning to do)."""
    ss = tompl.setup(robot, joints, step=step)
    layout = tompl._layout_of(ss)
    rng = np.random.default_rng(seed)

    def draw():
        while True:
            q = layout.hold.copy()
            q[layout.real] = rng.uniform(layout.lower, layout.upper)
            if not robot.has_self_collision(q):
                return q

    pairs = []
    while len(pairs) < count:
        q0, q1 = draw(), draw()
        if not motion.edge_free(robot, q0, q1, step=step):
            pairs.append((q0, q1))
    return pairs


def side_setup(side, robot, joints, hold, step):
    """The SimpleSetup of one side and the call counter of its validity checker."""
    ss = tompl.setup(robot, joints, hold=hold, step=step)
    read, collides = tompl._layout_of(ss).configuration, robot.has_self_collision
    calls = [0]

    def valid(state):
        calls[0] += 1
        return not collides(read(state))

    if side == "ompl":
        # A fresh SpaceInformation over the same space: without a motion validator of
        # its own, setup() gives it OMPL's DiscreteMotionValidator.
        layout, ss = tompl._layout_of(ss), og.SimpleSetup(ss.getStateSpace())
        ss._talvex = layout  # for set_start_and_goal and path_configurations
    ss.setStateValidityChecker(valid)
    ss.getSpaceInformation().setup()
    return ss, calls


def plan(side, planner_name, robot, joints, hold, step, pair, seed, milestones):
    ss, calls = side_setup(side, robot, joints, hold, step)
    si = ss.getSpaceInformation()
    tompl.set_start_and_goal(ss, *pair)  # bounds and hold checked; the same states either side
    ou.RNG.setSeed(seed)
    planner = og.RRTConnect(si) if planner_name == "RRTConnect" else og.PRM(si)
    ss.setPlanner(planner)
    ss.setup()
    guard = ob.timedPlannerTerminationCondition(GUARD)
    start = time.perf_counter()
    if planner_name == "PRM":
        planner.growRoadmapPtc(ob.plannerOrTerminationCondition(
            guard, ob.PlannerTerminationCondition(lambda: planner.milestoneCount() >= milestones)))
        status = ss.solve(ob.plannerOrTerminationCondition(
            ob.timedPlannerTerminationCondition(GUARD),
            ob.exactSolnPlannerTerminationCondition(ss.getProblemDefinition())))
    else:
        status = ss.solve(guard)
    solved = ss.haveExactSolutionPath()
    if solved:
        ss.simplifySolution()
    seconds = time.perf_counter() - start
    path = tompl.path_configurations(ss) if solved else None
    return {"status": str(status), "solved": solved, "seconds": seconds,
            "validity_calls": calls[0],
            "motion_calls": si.getMotionValidator().getCheckedMotionCount(),
            "path": None if path is None else path.tolist()}


def dense_free(robot, path, step):
    """True when every state of the path at step / 10 is free; the planned joints
    are revolute, so a segment is the straight line between its ends."""
    for q0, q1 in zip(path[:-1], path[1:]):
        n = max(1, math.ceil(np.linalg.norm(q1 - q0) / (step / 10)))
        for k in range(n + 1):
            if robot.has_self_collision(q0 + (q1 - q0) * (k / n)):
                return False
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--problems", nargs="+", default=list(PROBLEMS), choices=list(PROBLEMS))
    parser.add_argument("--pairs", type=int, default=10, help="start/goal pairs per problem")
    parser.add_argument("--milestones", type=int, default=300, help="PRM's roadmap size")
    parser.add_argument("--step", type=float, default=0.01)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--quick", action="store_true",
                        help="2 pairs per problem, a 100-milestone roadmap")
    parser.add_argument("--out", default="build/bench-out/planning.json")
    args = parser.parse_args()
    if args.quick:
        args.pairs, args.milestones = 2, 100
    ou.setLogLevel(ou.LogLevel.LOG_NONE)  # resetting the seed is an error line each time
    results = {"step": args.step, "milestones": args.milestones, "pairs": args.pairs,
               "seed": args.seed, "talvex": talvex.__file__,
               "load_before": list(pathlib.Path("/proc/loadavg").read_text().split()[:3]),
               "problems": {}}
    header = (f"{'problem':18s} {'planner':10s} {'solved':>7s} {'talvex s':>9s} {'ompl s':>9s} "
              f"{'ratio':>6s} {'validity t/o':>15s} {'motions t/o':>15s} {'dense free':>11s}")
    print(header)
    for name in args.problems:
        robot_name, joints = PROBLEMS[name]
        robot, bare = build(robot_name), build(robot_name, 0.0)
        ss = tompl.setup(robot, joints, step=args.step)
        layout = tompl._layout_of(ss)
        space = ss.getStateSpace()
        assert isinstance(space, ob.RealVectorStateSpace), "a revolute-only problem"
        assert math.isclose(space.getLongestValidSegmentLength(), args.step, rel_tol=1e-9)
        pairs = problems(robot, joints, args.pairs, args.step, args.seed)
        rows = results["problems"][name] = {}
        for planner_name in PLANNERS:
            runs = {side: [] for side in SIDES}
            for index, pair in enumerate(pairs):
                # Alternate which side goes first, so that a drift in the machine's
                # load falls on both.
                order = SIDES if index % 2 == 0 else SIDES[::-1]
                for side in order:
                    runs[side].append(plan(side, planner_name, robot, joints, layout.hold,
                                           args.step, pair, args.seed + index,
                                           args.milestones))
            paths = [np.array(run["path"]) for side in SIDES for run in runs[side]
                     if run["solved"]]
            dense = {"paths": len(paths),
                     "free at the margin": sum(dense_free(robot, p, args.step) for p in paths),
                     "free at margin 0": sum(dense_free(bare, p, args.step) for p in paths)}
            total = {side: {key: sum(run[key] for run in runs[side])
                            for key in ("seconds", "validity_calls", "motion_calls", "solved")}
                     for side in SIDES}
            rows[planner_name] = {"runs": {side: [{k: v for k, v in run.items() if k != "path"}
                                                  for run in runs[side]] for side in SIDES},
                                  "total": total, "dense_free": dense,
                                  "ratio": total["ompl"]["seconds"] / total["talvex"]["seconds"]}
            t, o = total["talvex"], total["ompl"]
            print(f"{name:18s} {planner_name:10s} {t['solved']:>3d}/{o['solved']:<3d} "
                  f"{t['seconds']:9.3f} {o['seconds']:9.3f} {rows[planner_name]['ratio']:6.2f} "
                  f"{t['validity_calls']:>7d}/{o['validity_calls']:<7d} "
                  f"{t['motion_calls']:>7d}/{o['motion_calls']:<7d} "
                  f"{dense['free at the margin']:>3d},{dense['free at margin 0']:>3d}/"
                  f"{dense['paths']:<3d}",
                  flush=True)
    results["load_after"] = list(pathlib.Path("/proc/loadavg").read_text().split()[:3])
    out = pathlib.Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(results, indent=1))
    print(f"load average {' '.join(results['load_before'])} before, "
          f"{' '.join(results['load_after'])} after; wrote {out}")


if __name__ == "__main__":
    main()
