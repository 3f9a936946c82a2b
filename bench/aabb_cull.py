"""What a bounding-box pre-test would save has_self_collision, measured from Python.

A pair whose world-frame AABBs are more than the margin apart cannot be closer
than the margin, so skipping it cannot change the verdict. This script finds,
per configuration, the pairs such a test keeps, checks that computeCollisions on
those pairs alone gives the full test's verdict, and times both through
Pinocchio's bindings. It measured the pre-test before it went into
has_self_collision (which now tests the margin against the Euclidean gap of the
boxes, as here); see docs/benchmarks.md. Run from the repository root:
    OPENBLAS_NUM_THREADS=1 python bench/aabb_cull.py [CONFIGS]
"""

import itertools
import os
import statistics
import sys
import time

import numpy as np
import pinocchio as pin

from bench import MARGIN, Robot


def world_boxes(robot, q):
    gm, gd = robot.geom_model, robot.geom_data
    pin.updateGeometryPlacements(robot.model, robot.data, gm, gd, q)
    boxes = []
    for k, obj in enumerate(gm.geometryObjects):
        box = obj.geometry.aabb_local
        corners = np.array(list(itertools.product(*zip(box.min_, box.max_))))
        placed = corners @ gd.oMg[k].rotation.T + gd.oMg[k].translation
        boxes.append((placed.min(0), placed.max(0)))
    return boxes


def kept_pairs(robot, q):
    boxes = world_boxes(robot, q)
    kept = []
    for pair in robot.geom_model.collisionPairs:
        (a0, a1), (b0, b1) = boxes[pair.first], boxes[pair.second]
        gap = np.linalg.norm(np.maximum(np.maximum(a0 - b1, b0 - a1), 0.0))
        if gap <= MARGIN:
            kept.append(pair)
    return kept


def main():
    os.sched_setaffinity(0, {os.cpu_count() - 1})
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    robot = Robot("panda", count, seed=0)
    for obj in robot.geom_model.geometryObjects:
        obj.geometry.computeLocalAABB()
    subsets = []
    for q in robot.configs:
        gm = robot.geom_model.copy()
        gm.removeAllCollisionPairs()
        for pair in kept_pairs(robot, q):
            gm.addCollisionPair(pair)
        gd = pin.GeometryData(gm)
        for request in gd.collisionRequests:
            request.security_margin = MARGIN
        subsets.append((gm, gd))
    model, data = robot.model, robot.data

    def full():
        return [pin.computeCollisions(model, data, robot.geom_model, robot.geom_data, q, True)
                for q in robot.configs]

    def culled():
        return [pin.computeCollisions(model, data, gm, gd, q, True)
                for q, (gm, gd) in zip(robot.configs, subsets)]

    assert full() == culled(), "the pre-test changed a verdict"
    a, b = [], []
    for _ in range(21):
        for sweep, out in ((full, a), (culled, b)):
            start = time.perf_counter_ns()
            sweep()
            out.append((time.perf_counter_ns() - start) / count)
    print(f"{count} configurations, {sum(full())} colliding, same verdicts; pairs kept per "
          f"configuration {np.mean([len(gm.collisionPairs) for gm, _ in subsets]):.2f} of "
          f"{len(robot.geom_model.collisionPairs)}")
    print(f"full test {statistics.median(a):.0f} ns, "
          f"kept pairs only {statistics.median(b):.0f} ns, "
          f"ratio {statistics.median(y / x for x, y in zip(a, b)):.3f}; "
          f"load average {os.getloadavg()}")


if __name__ == "__main__":
    main()
