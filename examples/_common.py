"""Helpers shared by the data tools (label_configurations.py, cspace_slice.py):
command-line handling of a robot, the joint layout of a configuration, uniform
draws inside the limits, and one model per thread. The demo's own helpers
(parser, one-line errors, package folder, build) are reused from it."""

import argparse
import math
import os
import pathlib
import sys
import threading
import xml.etree.ElementTree as ET

import numpy as np

import talvex
# Parser and UsageError are the tools' too.
from inspect_robot import (COORDINATES, Parser, UsageError, add_robot_arguments,  # noqa: F401
                           build, default_package_dir)

# Axis units of the joints a map can sweep (a continuous joint by its angle).
UNITS = {"revolute": "rad", "prismatic": "m", "continuous": "rad"}
# An unbounded translation (planar, floating) is drawn within this many metres of zero.
FREE_TRANSLATION = 1.0


def cores():
    """The cores this process may run on."""
    return len(os.sched_getaffinity(0))


def positive_int(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def check_robot_arguments(args):
    """Resolve the robot's paths to absolute ones (workers may run elsewhere);
    refuse what cannot be there."""
    if not math.isfinite(args.margin):
        raise UsageError(f"--margin must be a finite number of metres, not {args.margin}")
    args.urdf = pathlib.Path(args.urdf).resolve()
    if not args.urdf.is_file():
        raise UsageError(f"URDF file not found: {args.urdf}")
    # talvex skips an SRDF path that does not exist; on a command line it is a typo.
    if args.srdf is not None:
        args.srdf = pathlib.Path(args.srdf).resolve()
        if not args.srdf.is_file():
            raise UsageError(f"SRDF file not found: {args.srdf}")
    if args.package_dir is None:
        args.package_dir, _ = default_package_dir(args.urdf)
    args.package_dir = pathlib.Path(args.package_dir).resolve()
    if not args.package_dir.is_dir():
        raise UsageError(f"package directory not found: {args.package_dir}")


def build_robot(urdf, package_dir, srdf, margin):
    """A built RobotModel, for a worker thread; raises as talvex does."""
    robot = talvex.RobotModel()
    robot.build_from_urdf(str(urdf), str(package_dir), str(srdf or ""), margin)
    return robot


def load_robot(args):
    """The robot of checked arguments, built in this thread; a failure is a
    UsageError of one line, and the warnings of a build that succeeded are shown."""
    robot, _, said = build(args)
    for line in said:
        print(line, file=sys.stderr)
    return robot


def joint_kinds(urdf):
    """The URDF type of each named joint (direct children of <robot> only: a
    <transmission> names joints too)."""
    root = ET.parse(urdf).getroot()
    return {j.get("name"): j.get("type") for j in root.findall("joint")}


def joint_layout(robot, urdf):
    """(name, kind, first coordinate, coordinate count) of each joint of the model."""
    kinds = joint_kinds(urdf)
    layout, start = [], 0
    for name in robot.joint_names():
        kind = kinds.get(name)
        if kind not in COORDINATES:
            raise UsageError(f"joint {name!r} has type {kind!r}, which this tool cannot sample")
        layout.append((name, kind, start, COORDINATES[kind]))
        start += COORDINATES[kind]
    if start != robot.nq():
        raise UsageError(f"the URDF's joints account for {start} coordinates, the model has {robot.nq()}")
    return layout


def sample(layout, lower, upper, rng, count):
    """count configurations drawn uniformly inside the limits: a rotation as a
    uniform angle (continuous, planar) or a uniform unit quaternion (floating)."""
    lower = np.where(np.isfinite(lower), lower, -FREE_TRANSLATION)
    upper = np.where(np.isfinite(upper), upper, FREE_TRANSLATION)
    q = lower + rng.random((count, lower.size)) * (upper - lower)
    for _, kind, start, _ in layout:
        if kind in ("continuous", "planar"):
            at = start + (2 if kind == "planar" else 0)
            angle = math.pi * (2.0 * rng.random(count) - 1.0)
            q[:, at], q[:, at + 1] = np.cos(angle), np.sin(angle)
        elif kind == "floating":
            quat = rng.standard_normal((count, 4))
            q[:, start + 3 : start + 7] = quat / np.linalg.norm(quat, axis=1, keepdims=True)
    return q


class PerThread:
    """One object per thread, made by factory() on the thread's first get() and kept
    for the thread's life: a RobotModel serves one thread at a time."""

    def __init__(self, factory):
        self.factory = factory
        self.local = threading.local()

    def get(self):
        made = getattr(self.local, "made", None)
        if made is None:
            made = self.local.made = self.factory()
        return made


def run_tool(prog, body, argv):
    """Run body(argv) as a command: a UsageError is one line on stderr and exit 2."""
    try:
        body(sys.argv[1:] if argv is None else argv)
    except UsageError as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return 2
    return 0
