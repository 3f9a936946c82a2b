#!/usr/bin/env python3
"""Load a robot into talvex and show what it knows about it.

    python examples/inspect_robot.py [URDF] [--srdf PATH] [--package-dir DIR]
                                     [--margin M] [--samples N]

Without a URDF it loads the Franka Panda, with its SRDF, from the
example-robot-data package (pip install example-robot-data).
"""

import argparse
import contextlib
import importlib.metadata
import io
import math
import os
import pathlib
import statistics
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

import numpy as np

import talvex

SEED = 0
TIMED_CALLS = 1000

# Configuration coordinates Pinocchio gives each URDF joint type (fixed joints
# become frames, not joints). A continuous joint is stored as (cos, sin).
COORDINATES = {"revolute": 1, "prismatic": 1, "continuous": 2, "planar": 4, "floating": 7}
UNITS = {"revolute": "rad", "continuous": "cos,sin", "prismatic": "m"}


class UsageError(Exception):
    """A bad argument or an input the robot cannot be built from."""


class Parser(argparse.ArgumentParser):
    # argparse prints the whole usage block; one line is enough to see what is wrong.
    def error(self, message):
        raise UsageError(message)


def add_robot_arguments(parser, urdf_default=None):
    """The URDF, SRDF, package directory and margin, as every tool here takes them."""
    if urdf_default:
        parser.add_argument("urdf", nargs="?", help=f"URDF file (default: {urdf_default})")
    else:
        parser.add_argument("urdf", help="URDF file")
    parser.add_argument("--srdf", help="SRDF file whose disabled pairs are not tested")
    parser.add_argument(
        "--package-dir",
        help="directory that holds the packages named by package:// mesh URIs (default: the "
        "nearest directory above the URDF that holds them all, else the URDF's own)",
    )
    parser.add_argument(
        "--margin", type=float, default=0.005, help="collision margin in metres (default 0.005)"
    )


def parse_args(argv):
    parser = Parser(
        prog="inspect_robot.py",
        description="Load a robot into talvex and print its joints, limits, a frame pose, "
        "its self-collision rate over random configurations and the time of each query.",
    )
    add_robot_arguments(parser, urdf_default="the Panda of example-robot-data")
    parser.add_argument(
        "--samples", type=int, default=10000, help="random configurations tested (default 10000)"
    )
    args = parser.parse_args(argv)
    args.package_found = "given"

    if not math.isfinite(args.margin):
        raise UsageError(f"--margin must be a finite number of metres, not {args.margin}")
    if args.samples < 1:
        raise UsageError(f"--samples must be at least 1, not {args.samples}")

    if args.urdf is None:
        share = example_robot_data_share()
        args.urdf = share / "example-robot-data/robots/panda_description/urdf/panda.urdf"
        if args.srdf is None:
            args.srdf = share / "example-robot-data/robots/panda_description/srdf/panda.srdf"
        if args.package_dir is None:
            args.package_dir, args.package_found = share, "example-robot-data's share directory"
    args.urdf = pathlib.Path(args.urdf)
    if not args.urdf.is_file():
        raise UsageError(f"URDF file not found: {args.urdf}")
    # talvex silently skips an SRDF path that does not exist; here it is a typo.
    if args.srdf is not None:
        args.srdf = pathlib.Path(args.srdf)
        if not args.srdf.is_file():
            raise UsageError(f"SRDF file not found: {args.srdf}")
    if args.package_dir is None:
        args.package_dir, names = default_package_dir(args.urdf)
        args.package_found = (
            f"the nearest above the URDF holding {', '.join(names)}" if names
            else "the URDF's directory"
        )
    args.package_dir = pathlib.Path(args.package_dir)
    if not args.package_dir.is_dir():
        raise UsageError(f"package directory not found: {args.package_dir}")
    return args


def one_line(exc):
    """An exception's text on one line. Pinocchio's and coal's messages span several,
    naming the source file and function before "message:"; only what follows the last
    "message:" is kept."""
    text = str(exc).rsplit("message:", 1)[-1]
    return " ".join(text.split()) or type(exc).__name__


def default_package_dir(urdf):
    """The nearest directory, from the URDF's own upwards, that holds every package
    its package:// URIs name, and those names; the URDF's directory (and no names)
    when it names none or no directory holds them all."""
    try:
        uris = [e.get("filename", "") for e in ET.parse(urdf).getroot().iter()]
    except (ET.ParseError, OSError):
        uris = []
    names = sorted({u[len("package://"):].split("/", 1)[0] for u in uris
                    if u.startswith("package://")} - {""})
    folder = urdf.resolve().parent
    for candidate in [folder, *folder.parents] if names else []:
        if all((candidate / name).is_dir() for name in names):
            return candidate, names
    return urdf.parent, []


def example_robot_data_share():
    try:
        dist = importlib.metadata.distribution("example-robot-data")
    except importlib.metadata.PackageNotFoundError:
        raise UsageError(
            "no URDF given and example-robot-data is not installed (pip install example-robot-data)"
        ) from None
    return pathlib.Path(dist.locate_file("cmeel.prefix/share"))


def read_urdf(path):
    """The robot's name and the type of each named joint, read from the URDF."""
    try:
        root = ET.parse(path).getroot()
    except (ET.ParseError, OSError):
        return path.stem, {}
    # Direct children only: <transmission> elements hold <joint> references too.
    types = {j.get("name"): j.get("type") for j in root.findall("joint")}
    return root.get("name") or path.stem, types


def joint_layout(robot, urdf_types):
    """(name, type, first coordinate, coordinate count) of each joint, or None when
    the URDF's joint types do not account for nq (then coordinates are listed alone)."""
    layout, start = [], 0
    for name in robot.joint_names():
        kind = urdf_types.get(name)
        count = COORDINATES.get(kind)
        if count is None:
            return None
        layout.append((name, kind, start, count))
        start += count
    return layout if start == robot.nq() else None


def sample_inside(robot, layout, rng, count):
    """Random configurations inside the limits (a continuous joint as an angle)."""
    lo, hi = robot.lower_position_limits(), robot.upper_position_limits()
    # An unbounded coordinate is drawn from one turn around zero.
    lo = np.where(np.isfinite(lo), lo, -math.pi)
    hi = np.where(np.isfinite(hi), hi, math.pi)
    samples = rng.uniform(lo, hi, size=(count, robot.nq()))
    for _, kind, start, _ in layout or []:
        if kind == "continuous":
            angle = rng.uniform(-math.pi, math.pi, size=count)
            samples[:, start] = np.cos(angle)
            samples[:, start + 1] = np.sin(angle)
    return samples


def median_us(call, arg_sets):
    times = []
    for args in arg_sets:
        start = time.perf_counter_ns()
        call(*args)
        times.append(time.perf_counter_ns() - start)
    return statistics.median(times) / 1000.0


@contextlib.contextmanager
def captured_stderr():
    """Collect what native code writes to file descriptor 2 (urdfdom reports parse
    errors there itself, over several lines)."""
    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile(mode="w+b") as sink:
        os.dup2(sink.fileno(), 2)
        lines = []
        try:
            yield lines
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            sink.seek(0)
            lines.extend(sink.read().decode(errors="replace").splitlines())


def load_failure(exc, native_output):
    """Why a URDF did not load, on one line, with the parser's first complaint
    (printed to stderr by urdfdom), which names the offending element."""
    reason = one_line(exc)
    complaints = [ln.split(":", 1)[1] for ln in native_output if ln.startswith("Error:")]
    if complaints:
        reason += f" ({complaints[0].strip()})"
    return reason


def build(args):
    robot = talvex.RobotModel()
    start = time.perf_counter()
    try:
        with captured_stderr() as native_output:
            robot.build_from_urdf(
                str(args.urdf), str(args.package_dir), str(args.srdf or ""), args.margin
            )
    except (RuntimeError, ValueError, MemoryError) as exc:
        raise UsageError(f"cannot load {args.urdf}: {load_failure(exc, native_output)}") from None
    return robot, time.perf_counter() - start, native_output


def report(args):
    robot, build_s, warnings = build(args)
    name, urdf_types = read_urdf(args.urdf)
    nq, ndof = robot.nq(), robot.ndof()
    frames = robot.frame_names()
    lo, hi = robot.lower_position_limits(), robot.upper_position_limits()

    print(f"Robot        {name}")
    print(f"URDF         {args.urdf}")
    print(f"SRDF         {args.srdf or '(none)'}")
    print(f"Packages     {args.package_dir} ({args.package_found})")
    print(f"Built in     {build_s * 1000:.1f} ms, collision margin {args.margin:g} m")
    print(f"Sizes        nq={nq}  joints={ndof}  frames={len(frames)}")
    print()

    layout = joint_layout(robot, urdf_types)
    if layout is not None:
        width = max([len("joint")] + [len(n) for n, *_ in layout])
        print(f"  {'joint':<{width}}  {'type':<10}  {'lower':>9}  {'upper':>9}  unit")
        for jname, kind, start, count in layout:
            for k in range(start, start + count):
                label = jname if k == start else ""
                kind_shown = kind if k == start else ""
                unit = UNITS.get(kind, "") if k == start else ""
                row = f"  {label:<{width}}  {kind_shown:<10}  {lo[k]:>9.4f}  {hi[k]:>9.4f}  {unit}"
                print(row.rstrip())
    else:
        print("  joints: " + ", ".join(robot.joint_names()))
        print(f"  {'q[i]':>5}  {'lower':>9}  {'upper':>9}")
        for k in range(nq):
            print(f"  {k:>5}  {lo[k]:>9.4f}  {hi[k]:>9.4f}")
    print()

    neutral = robot.neutral_configuration()
    inside = robot.in_joint_limits(neutral)
    line = "inside the limits" if inside else "NOT strictly inside the limits"
    if not inside:
        owner = {k: j for j, _, start, count in layout or [] for k in range(start, start + count)}
        off = [owner.get(k, f"q[{k}]") for k in range(nq) if not (lo[k] < neutral[k] < hi[k])]
        line += f"; on or beyond a bound: {', '.join(dict.fromkeys(off))}"
    print(f"Neutral configuration is {line}.")

    if frames:
        last = frames[-1]
        # The map keeps the last frame of a repeated name, which the last frame is.
        pose = robot.all_frame_transforms(neutral)[last]
        print(f"Pose of the last frame, '{last}', at neutral:")
        for row in pose:
            print("   " + "  ".join(f"{v:>9.4f}" for v in row))
    print()

    rng = np.random.default_rng(SEED)
    samples = sample_inside(robot, layout, rng, args.samples)
    in_limits = sum(robot.in_joint_limits(q) for q in samples)
    colliding, collision_times = 0, []
    for q in samples:
        start = time.perf_counter_ns()
        hit = robot.has_self_collision(q)
        collision_times.append(time.perf_counter_ns() - start)
        colliding += hit
    line = (
        f"Self-collision: {colliding} of {args.samples} random configurations inside the limits "
        f"({100.0 * colliding / args.samples:.2f} %), seed {SEED}"
    )
    if in_limits < args.samples:
        line += f"; {args.samples - in_limits} of them not strictly inside the limits"
    print(line)
    if 2 * colliding > args.samples:
        print("Note: most random configurations are in self-collision: links that touch "
              "where they are joined are probably tested as a pair. examples/make_srdf.py "
              "writes an SRDF that disables such pairs.")
    if robot.has_self_collision(neutral):
        where = "" if inside else ", which is not strictly inside the limits,"
        print(f"Note: the neutral configuration{where} is in self-collision. If the robot "
              "does not touch itself there, a pair in contact there is tested: "
              "examples/make_srdf.py writes an SRDF that disables such pairs.")
    print()

    timed = samples[:TIMED_CALLS]
    per_q = [(q,) for q in timed]
    unique = [f for f in frames if frames.count(f) == 1]
    fk_frame = unique[-1] if unique else "universe"
    rows = [
        ("has_self_collision(q)", statistics.median(collision_times) / 1000.0),
        (
            f"forward_kinematics(q, '{fk_frame}')",
            median_us(robot.forward_kinematics, [(q, fk_frame) for q in timed]),
        ),
        ("all_frame_transforms(q)", median_us(robot.all_frame_transforms, per_q)),
        ("in_joint_limits(q)", median_us(robot.in_joint_limits, per_q)),
        ("neutral_configuration()", median_us(robot.neutral_configuration, [()] * len(timed))),
        ("lower_position_limits()", median_us(robot.lower_position_limits, [()] * len(timed))),
        ("upper_position_limits()", median_us(robot.upper_position_limits, [()] * len(timed))),
        ("joint_names()", median_us(robot.joint_names, [()] * len(timed))),
        ("frame_names()", median_us(robot.frame_names, [()] * len(timed))),
        ("nq()", median_us(robot.nq, [()] * len(timed))),
        ("ndof()", median_us(robot.ndof, [()] * len(timed))),
    ]
    width = max(len(r[0]) for r in rows)
    print(
        f"Median time per call ({len(timed)} calls each, "
        f"has_self_collision over all {args.samples}):"
    )
    for label, us in rows:
        print(f"  {label:<{width}}  {us:>10.2f} us")
    return warnings


def main(argv=None):
    # The report is held back until it is whole, so that a failure is one line.
    out = io.StringIO()
    try:
        args = parse_args(sys.argv[1:] if argv is None else argv)
        with contextlib.redirect_stdout(out):
            warnings = report(args)
    except UsageError as exc:
        print(f"inspect_robot.py: error: {exc}", file=sys.stderr)
        return 2
    except (RuntimeError, ValueError) as exc:
        # The module refuses some queries outright, e.g. a negative margin on meshes.
        print(f"inspect_robot.py: error: {one_line(exc)}", file=sys.stderr)
        return 2
    # Warnings of a build that succeeded are the user's to see.
    for line in warnings:
        print(line, file=sys.stderr)
    sys.stdout.write(out.getvalue())
    return 0


if __name__ == "__main__":
    sys.exit(main())
