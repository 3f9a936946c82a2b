"""Load a robot into talvex and show what it knows about it: its joints, their
coordinates and limits, its mimic joints, the pose of a frame (--frame; by default the
last frame of the longest chain of joints), its self-collision rate over random
configurations inside the limits (a mimic joint put where its leader puts it, unless
--independent-mimic), and the time of each query.

Without a URDF it loads the Franka Panda, with its SRDF, from the example-robot-data
package (pip install example-robot-data).

examples:
  talvex inspect
  talvex inspect robot.urdf --srdf robot.srdf --samples 1000
"""

import importlib.metadata
import io
import pathlib
import statistics
import sys
import time
import contextlib

import numpy as np

from talvex_tools import batch, mimic, options, pairs, sampling, srdf
from talvex_tools.commands.pairs import add_mimic_argument
from talvex_tools.errors import ToolError
from talvex_tools.robot import coverage_warning, default_package_dir

SUMMARY = "load a robot and show its joints, limits, self-collision rate and query times"
REQUIRES = ()
TIMED_CALLS = 1000
# Samples at most whose pairs are named when nearly all of them collide.
PAIR_SAMPLES = 1000
PANDA = "example-robot-data/robots/panda_description"
SHOWN_PAIRS = 5


def add_arguments(parser):
    options.add_robot_arguments(parser, urdf_default="the Panda of example-robot-data")
    parser.add_argument("--samples", type=options.positive_int, default=10000,
                        help="random configurations tested (default 10000)")
    options.add_seed_argument(parser)
    options.add_lock_argument(parser)
    parser.add_argument("--frame",
                        help="the frame whose pose is shown (default: the last frame of the "
                        "longest chain of joints)")
    add_mimic_argument(parser)


def example_robot_data_share():
    try:
        dist = importlib.metadata.distribution("example-robot-data")
    except importlib.metadata.PackageNotFoundError:
        raise ToolError(
            "no URDF given and example-robot-data is not installed (pip install example-robot-data)"
        ) from None
    return pathlib.Path(dist.locate_file("cmeel.prefix/share"))


def resolve(args):
    """The robot's files, and where its package folder came from."""
    found = "given"
    if args.urdf is None:
        share = example_robot_data_share()
        args.urdf = share / PANDA / "urdf/panda.urdf"
        if args.srdf is None:
            args.srdf = share / PANDA / "srdf/panda.srdf"
        if args.package_dir is None:
            args.package_dir, found = share, "example-robot-data's share directory"
    files = options.robot_files(args)
    if args.package_dir is None:
        _, names = default_package_dir(files.urdf)
        found = (f"the nearest above the URDF holding {', '.join(names)}" if names
                 else "the URDF's directory")
    return files, found


def times_ns(call, arg_sets):
    times = []
    for args in arg_sets:
        start = time.perf_counter_ns()
        call(*args)
        times.append(time.perf_counter_ns() - start)
    return times


def cost_us(times):
    """Mean, median and 99th percentile of call times in ns, in us: the median alone
    hides the few configurations where a query is costly (near contact, detailed
    meshes), which the mean and the tail show."""
    tail = float(np.percentile(times, 99)) if len(times) > 1 else float(times[0])
    return statistics.fmean(times) / 1000.0, statistics.median(times) / 1000.0, tail / 1000.0


def pairs_at(robot, q):
    """The link pairs in collision at q, by talvex's own per-pair verdicts."""
    return batch.colliding_pairs(robot, np.asarray(q, dtype=float))


def default_frame(robot, urdf):
    """The frame shown by default and why: the last frame of the longest chain of
    moving joints from the root (a wheel ends a chain of one), the URDF's links giving
    the chain; (None, why) for a robot without frames that are links."""
    tree = srdf.link_tree(urdf)
    frames = robot.frame_names()
    depth = {}

    def chain(link):
        if link not in depth:
            parent = tree.get(link)
            if parent is None:
                depth[link] = (0, 0)
            else:
                depth[link] = (0, 0)  # a loop in a broken file ends here
                moving, total = chain(parent[0])
                depth[link] = (moving + (parent[1] != "fixed"), total + 1)
        return depth[link]

    links = [(chain(f), k, f) for k, f in enumerate(frames) if f in tree]
    if not links:
        return (frames[-1] if frames else None), "the last frame"
    (moving, _), _, name = max(links)
    return name, (f"the last frame of the longest chain, {moving} moving "
                  f"joint{'' if moving == 1 else 's'} from the root")


def joint_table(robot, joints, lo, hi):
    """The lines of the joint table: a row per coordinate, labelled and in the unit
    the label metadata gives it."""
    width = max([len("joint")] + [len(j["name"]) for j in joints])
    kinds = max([len("type")] + [len(j["type"]) for j in joints])
    lines = [f"  {'joint':<{width}}  {'type':<{kinds}}  {'coord':<8}  {'lower':>9}  "
             f"{'upper':>9}  unit"]
    for joint in joints:
        for offset, role in enumerate(joint["coordinates"]):
            k = joint["q_start"] + offset
            name, kind = (joint["name"], joint["type"]) if offset == 0 else ("", "")
            lines.append(f"  {name:<{width}}  {kind:<{kinds}}  {role:<8}  {lo[k]:>9.4f}  "
                         f"{hi[k]:>9.4f}  {pairs.unit(role)}")
    followers = [j for j in joints if j["mimic"]]
    if followers:
        lines.append("  mimic: " + ", ".join(
            f"{j['name']} = {j['mimic']['multiplier']:g} * {j['mimic']['joint']} "
            f"{'-' if j['mimic']['offset'] < 0 else '+'} {abs(j['mimic']['offset']):g}"
            for j in followers))
    return lines


def report(args, files, found):
    start = time.perf_counter()
    robot = files.build()
    build_s = time.perf_counter() - start
    name = files.name
    nq, ndof = robot.nq(), robot.ndof()
    frames = robot.frame_names()
    lo, hi = robot.lower_position_limits(), robot.upper_position_limits()

    print(f"Robot        {name}")
    print(f"URDF         {files.urdf}")
    print(f"SRDF         {files.srdf or '(none)'}")
    print(f"Packages     {files.package_dir} ({found})")
    print(f"Built in     {build_s * 1000:.1f} ms, collision margin {files.margin:g} m")
    tested = len(batch.link_pairs(robot))
    print(f"Sizes        nq={nq}  joints={ndof}  frames={len(frames)}  "
          f"link pairs tested={tested}")
    print()

    joints = batch.joint_layout(robot)
    for line in joint_table(robot, joints, lo, hi):
        print(line)
    try:
        layout = pairs.layout(robot)
    except ToolError:
        layout = None  # a joint the tools cannot sample: coordinates alone below
        if args.lock:
            raise
    print()
    held = options.locks(args, layout) if layout is not None else {}
    line = pairs.no_pairs_line(files.name, robot)
    if line:
        print(line)

    neutral = robot.neutral_configuration()
    inside = robot.in_joint_limits(neutral)
    line = "inside the limits" if inside else "NOT strictly inside the limits"
    if not inside:
        owner = {j["q_start"] + k: j["name"] for j in joints for k in range(j["q_count"])}
        off = [owner.get(k, f"q[{k}]") for k in range(nq) if not (lo[k] < neutral[k] < hi[k])]
        line += f"; on or beyond a bound: {', '.join(dict.fromkeys(off))}"
    print(f"Neutral configuration is {line}.")

    if args.frame is not None:
        if args.frame not in frames:
            raise ToolError(f"--frame {args.frame}: no such frame; frames: "
                            f"{', '.join(frames[:8])}{', ...' if len(frames) > 8 else ''}")
        shown, why = args.frame, "given by --frame"
    else:
        shown, why = default_frame(robot, files.urdf)
        why += "; --frame picks another"
    if shown is not None:
        pose = robot.forward_kinematics(neutral, shown)
        print(f"Pose of '{shown}' at neutral ({why}):")
        for row in pose:
            print("   " + "  ".join(f"{v:>9.4f}" for v in row))
    print()

    rng = np.random.default_rng(args.seed)
    if layout is not None:
        samples = pairs.draw(robot, layout, rng, args.samples, held, args.independent_mimic)
        line = mimic.note(joints, args.independent_mimic)
        if line:
            print(line)
    else:  # coordinates alone: the unbounded rule for angles, on every coordinate
        bounded_lo = np.where(np.isfinite(lo) & (np.abs(lo) <= sampling.UNBOUNDED), lo, -np.pi)
        bounded_hi = np.where(np.isfinite(hi) & (np.abs(hi) <= sampling.UNBOUNDED), hi, np.pi)
        samples = rng.uniform(bounded_lo, bounded_hi, size=(args.samples, nq))
    in_limits = sum(robot.in_joint_limits(q) for q in samples)
    colliding, collision_times = 0, []
    for q in samples:
        start = time.perf_counter_ns()
        hit = robot.has_self_collision(q)
        collision_times.append(time.perf_counter_ns() - start)
        colliding += hit
    held_text = f", held: {' '.join(f'{n}={v:g}' for n, v in args.lock)}" if args.lock else ""
    line = (
        f"Self-collision: {colliding} of {args.samples} random configurations inside the limits "
        f"({100.0 * colliding / args.samples:.2f} %), seed {args.seed}{held_text}"
    )
    if in_limits < args.samples:
        line += f"; {args.samples - in_limits} of them not strictly inside the limits"
    print(line)
    if colliding >= pairs.ALWAYS * args.samples and files.margin > 0:
        # Nearly all collide: a pair may be in contact only because of the margin.
        some = samples[:PAIR_SAMPLES]
        model = pairs.PairModel(robot)
        line = pairs.margin_zero_line(files, pairs.ranked(model.pairs, model.verdicts(some)),
                                      some)
        if line:
            print(line)
    if 2 * colliding > args.samples and files.srdf is None:
        print("Note: most random configurations are in self-collision: links that touch "
              "where they are joined are probably tested as a pair. talvex srdf "
              "writes an SRDF that disables such pairs; talvex pairs names the pairs.")
    elif 2 * colliding > args.samples:
        print(f"Note: most random configurations are in self-collision with "
              f"{files.srdf.name}: talvex pairs names the link pairs responsible, and "
              "--lock holds joints still (a hand's fingers) while sampling.")
    if robot.has_self_collision(neutral):
        # Outside the limits the robot cannot be there: what matters is the nearest pose
        # inside them (the one talvex srdf's "Default" reason looks at).
        moved = sampling.inside_neutral(robot, held)
        if not args.independent_mimic:
            moved = mimic.apply(joints, moved, keep=held)
        if inside or robot.has_self_collision(moved):
            at, where = (neutral, "") if inside else (
                moved, ", moved inside the limits (1 % of a range in from a bound),")
            found = pairs_at(robot, at)
            if found:
                shown = ", ".join(f"{a} / {b}" for a, b in found[:SHOWN_PAIRS])
                more = (f" and {len(found) - SHOWN_PAIRS} more" if len(found) > SHOWN_PAIRS
                        else "")
                print(f"Note: the neutral configuration{where} is in self-collision: "
                      f"{shown}{more}. If the robot does not touch itself there, disable "
                      "these pairs in the SRDF.")
            else:
                print(f"Note: the neutral configuration{where} is in self-collision. If the "
                      "robot does not touch itself there, a pair in contact there is tested: "
                      "talvex srdf writes an SRDF that disables such pairs.")
        else:
            print("Note: the neutral configuration is in self-collision, but it is outside the "
                  "limits; moved inside them it is free.")
    print()

    timed = samples[:TIMED_CALLS]
    per_q = [(q,) for q in timed]
    unique = [f for f in frames if frames.count(f) == 1]
    fk_frame = unique[-1] if unique else "universe"
    none = [()] * len(timed)
    rows = [
        ("has_self_collision(q)", collision_times),
        (f"forward_kinematics(q, '{fk_frame}')",
         times_ns(robot.forward_kinematics, [(q, fk_frame) for q in timed])),
        ("all_frame_transforms(q)", times_ns(robot.all_frame_transforms, per_q)),
        ("in_joint_limits(q)", times_ns(robot.in_joint_limits, per_q)),
        ("neutral_configuration()", times_ns(robot.neutral_configuration, none)),
        ("lower_position_limits()", times_ns(robot.lower_position_limits, none)),
        ("upper_position_limits()", times_ns(robot.upper_position_limits, none)),
        ("joint_names()", times_ns(robot.joint_names, none)),
        ("frame_names()", times_ns(robot.frame_names, none)),
        ("nq()", times_ns(robot.nq, none)),
        ("ndof()", times_ns(robot.ndof, none)),
    ]
    width = max(len(r[0]) for r in rows)
    print(f"Time per call in us ({len(timed)} calls each, has_self_collision over all "
          f"{args.samples}):")
    print(f"  {'':<{width}}  {'mean':>10}  {'median':>10}  {'99th pct':>10}")
    for label, times in rows:
        mean, median, tail = cost_us(times)
        print(f"  {label:<{width}}  {mean:>10.2f}  {median:>10.2f}  {tail:>10.2f}")


def run(args):
    files, found = resolve(args)
    warning = coverage_warning(files)
    # The report is held back until it is whole, so that a failure is one line.
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        report(args, files, found)
    if warning:
        print(f"talvex inspect: {warning}", file=sys.stderr)
    sys.stdout.write(out.getvalue())
    return 0
