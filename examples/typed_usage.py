"""Every RobotModel entry with its static types, as a planner would call them.

The test suite runs mypy --strict on this file against the installed stubs, and
runs it once on a test robot.

Usage: python typed_usage.py ROBOT.urdf PACKAGE_DIR [ROBOT.srdf]
"""
from __future__ import annotations

import sys

import numpy as np
import numpy.typing as npt

import talvex

Vector = npt.NDArray[np.float64]
Pose = npt.NDArray[np.float64]


def load(urdf_path: str, package_dir: str, srdf_path: str = "") -> talvex.RobotModel:
    robot = talvex.RobotModel()
    robot.build_from_urdf(urdf_path, package_dir, srdf_path, collision_margin=0.005)
    return robot


def mid_configuration(robot: talvex.RobotModel) -> Vector:
    """Halfway between the bounds where both are finite, neutral elsewhere."""
    lower: Vector = robot.lower_position_limits()
    upper: Vector = robot.upper_position_limits()
    neutral: Vector = robot.neutral_configuration()
    finite = np.isfinite(lower) & np.isfinite(upper)
    return np.where(finite, (lower + upper) / 2.0, neutral)


def report(robot: talvex.RobotModel) -> list[str]:
    nq: int = robot.nq()
    ndof: int = robot.ndof()
    joints: list[str] = robot.joint_names()
    frames: list[str] = robot.frame_names()
    q = mid_configuration(robot)
    inside: bool = robot.in_joint_limits(q)
    colliding: bool = robot.has_self_collision(q.tolist())
    poses: dict[str, Pose] = robot.all_frame_transforms(q)
    lines = [
        repr(robot),
        f"nq={nq} ndof={ndof} joints={joints}",
        f"q={q.tolist()} inside={inside} self_collision={colliding}",
    ]
    if frames:
        tip: Pose = robot.forward_kinematics(q, frames[-1])
        origin: Vector = tip[:3, 3]
        same = bool(np.array_equal(tip, poses[frames[-1]]))
        lines.append(f"{frames[-1]} at {origin.tolist()} (matches all_frame_transforms: {same})")
    return lines


def main(argv: list[str]) -> int:
    if len(argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 2
    robot = load(*argv[1:])
    print("\n".join(report(robot)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
