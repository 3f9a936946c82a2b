"""Name the link pairs in self-collision.

    talvex pairs URDF [--srdf SRDF] [--samples N] [--seed S] [--lock NAME=VALUE ...]
    talvex pairs URDF [--srdf SRDF] --q Q1 Q2 ... [--near D]
    talvex pairs URDF --srdf SRDF --q NAME [--near D]

Over random configurations inside the joint limits (the default, 1000 of them), it
lists the link pairs in collision and the share of the configurations in which each
is, and the share in which any is, which is what talvex's has_self_collision gives
(shown beside it). --lock holds joints still while sampling: a hand whose fingers are
drawn independently collides with itself in most draws.

At one configuration (--q, the nq coordinates of q as talvex takes them: a
continuous joint as cos, sin; or the name of a group state of the SRDF, its joints
set and the others at neutral), it lists the pairs in collision and every pair
nearer than --near, with its distance.

The pairs are those talvex tests: collision geometries on different joints, less the
pairs the SRDF disables, each with the margin, each answered by talvex itself from a
fresh solver start; a link pair is in collision when any of its geometry pairs is.

A mimic joint is put where its leader puts it (multiplier * leader + offset), in the
samples and in --q; --independent-mimic draws and takes it as given instead.
"""

import argparse
import json
import math
import sys

import numpy as np

from talvex_tools import batch, mimic, options, pairs, srdf
from talvex_tools.errors import ToolError
from talvex_tools.pairs import PairModel, progress, ranked
from talvex_tools.robot import coverage_warning

SUMMARY = "name the link pairs in collision, over random samples or at one configuration"
REQUIRES = ()

SAMPLES = 1000
NEAR = 0.02
TOP = 20
# A pair in collision in this share of the samples or more touches wherever its joints
# put it (as talvex srdf's "Always"); one above ADVISE is worth naming its joints.
ALWAYS = pairs.ALWAYS
ADVISE = 0.2
# A rotation typed by hand, (cos, sin) or a quaternion, is taken if its norm is this
# close to 1, and normalised.
UNIT_TOLERANCE = 1e-3


def distance(text):
    value = options.finite_float(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be >= 0, not {text!r}")
    return value


def add_arguments(parser):
    options.add_robot_arguments(parser)
    parser.add_argument("--samples", type=options.positive_int, default=None,
                        help=f"random configurations inside the limits (default {SAMPLES})")
    options.add_seed_argument(parser)
    options.add_lock_argument(parser)
    parser.add_argument("--q", nargs="+", metavar="Q",
                        help="one configuration instead of samples: its nq coordinates, or "
                        "the name of a group state of the SRDF")
    parser.add_argument("--near", type=distance, default=None,
                        help=f"with --q: list the pairs nearer than this, in metres "
                        f"(default {NEAR})")
    parser.add_argument("--top", type=options.non_negative_int, default=TOP,
                        help=f"pairs listed, most frequent first (default {TOP}; 0: all)")
    parser.add_argument("--json", action="store_true",
                        help="print one JSON object instead of the table")
    add_mimic_argument(parser)


def add_mimic_argument(parser):
    parser.add_argument("--independent-mimic", action="store_true",
                        help="draw (and take from --q) each mimic joint on its own instead "
                        "of from its leader")


def run(args):
    if args.q is not None and (args.samples is not None or args.lock):
        raise ToolError("--q names one configuration; --samples and --lock are for sampling")
    if args.q is None and args.near is not None:
        raise ToolError("--near applies to one configuration (--q)")
    files = options.robot_files(args)
    robot = files.build()
    warning = coverage_warning(files)
    if warning:
        print(warning, file=sys.stderr)
    layout = pairs.layout(robot)
    joints = batch.joint_layout(robot)
    mimic_line = mimic.note(joints, args.independent_mimic, given=args.q is not None)
    if args.q is not None:
        named = len(args.q) == 1 and not number(args.q[0])
        q = (group_state(files, robot, joints, args.q[0]) if named
             else configuration(args.q, joints, robot.nq()))
        args.where = f"group state {args.q[0]!r}" if named else "the given configuration"
        if not args.independent_mimic:
            q = mimic.apply(joints, q)
        return at_configuration(args, files, robot, q, mimic_line)
    held = options.locks(args, layout)
    count = args.samples or SAMPLES
    samples = pairs.draw(robot, layout, np.random.default_rng(args.seed), count, held,
                         args.independent_mimic)
    return over_samples(args, files, robot, layout, held, samples, mimic_line)


def number(text):
    try:
        float(text)
    except ValueError:
        return False
    return True


def group_state(files, robot, joints, name):
    """q of the SRDF's group states of this name (every group's), the joints they do
    not name at neutral."""
    if files.srdf is None:
        raise ToolError(f"--q {name}: a group state's name needs the SRDF that holds it "
                        "(--srdf)")
    root = srdf.read_srdf(files.srdf)
    states = [s for s in root.iter("group_state") if s.get("name") == name]
    if not states:
        known = sorted({s.get("name") for s in root.iter("group_state")} - {None})
        raise ToolError(f"--q {name}: {files.srdf.name} has no group state of that name"
                        f" (it has: {', '.join(known) or 'none'})")
    by_name = {joint["name"]: joint for joint in joints}
    q = robot.neutral_configuration()
    for state in states:
        for element in state.iter("joint"):
            joint, text = by_name.get(element.get("name")), element.get("value", "")
            if joint is None:
                raise ToolError(f"--q {name}: the group state names {element.get('name')!r}, "
                                "which the model has no joint of")
            try:
                value = float(text)
            except ValueError:
                value = math.nan
            if not math.isfinite(value) or joint["q_count"] > 2:
                raise ToolError(f"--q {name}: cannot take {text!r} for {joint['name']} "
                                f"({joint['type']})")
            start = joint["q_start"]
            if joint["coordinates"] == ["cos", "sin"]:
                q[start], q[start + 1] = math.cos(value), math.sin(value)
            else:
                q[start] = value
    return q


def configuration(values, joints, nq):
    """q from the --q values, each rotation's coordinates normalised (joint_layout's
    entries say which they are)."""
    try:
        q = np.array([options.finite_float(v) for v in values], dtype=float)
    except argparse.ArgumentTypeError as exc:
        raise ToolError(f"argument --q: {exc}") from None
    if q.size != nq:
        raise ToolError(f"--q needs the {nq} coordinates of q, got {q.size}")
    for joint in joints:
        for start, stop, what in pairs.rotation_spans(joint):
            norm = np.linalg.norm(q[start:stop])
            if abs(norm - 1) > UNIT_TOLERANCE:
                raise ToolError(f"--q entries {start + 1}-{stop} are the {what} of "
                                f"{joint['name']}; their norm must be 1, not {norm:.6g}")
            q[start:stop] /= norm
    return q


def held_text(args, layout, held):
    if not held:
        return ""
    joints = [j.name for j in layout if j.start in held]
    given = " ".join(f"{name}={value:g}" for name, value in args.lock)
    return f"; held: {given} ({len(joints)} joint{'' if len(joints) == 1 else 's'})"


def over_samples(args, files, robot, layout, held, samples, mimic_line):
    n = len(samples)
    talvex_hits = batch.self_collisions(robot, samples)
    model = PairModel(robot)
    with progress(n, "pairs", " q") as bar:
        hits = model.verdicts(samples, bar)
    found = ranked(model.pairs, hits)
    share, talvex_share = hits.any(axis=1).mean(), talvex_hits.mean()
    differ = int((hits.any(axis=1) != talvex_hits).sum())
    srdf = files.srdf.name if files.srdf else None
    if args.json:
        print(json.dumps({
            "robot": files.name, "urdf": str(files.urdf),
            "srdf": str(files.srdf) if files.srdf else None, "margin": files.margin,
            "samples": n, "seed": args.seed,
            "locks": {name: value for name, value in args.lock},
            "colliding": float(share), "talvex_colliding": float(talvex_share),
            "link_pairs_tested": len(model.pairs),
            "independent_mimic": args.independent_mimic,
            "pairs": [{"links": [a, b], "share": s} for a, b, s in found],
        }))
        return 0
    print(f"{files.name}: {n} configurations inside the limits (seed {args.seed}), margin "
          f"{files.margin:g} m, {'SRDF ' + srdf if srdf else 'no SRDF'}"
          f"{held_text(args, layout, held)}")
    for line in (mimic_line, pairs.no_pairs_line(files.name, robot)):
        if line:
            print(line)
    print(f"In self-collision: {share:.1%} of them (talvex: {talvex_share:.1%}), through "
          f"{len(found)} of the {len(model.pairs)} link pairs tested"
          f"{':' if found else '.'}")
    shown = found if args.top == 0 else found[:args.top]
    for a, b, s in shown:
        print(f"  {100 * s:5.1f} %  {a} / {b}")
    if len(shown) < len(found):
        print(f"  ... {len(found) - len(shown)} more, from {100 * found[len(shown)][2]:.1f} % "
              "down (--top 0 lists all)")
    if differ:
        print(f"note: the pair verdicts and has_self_collision differ on {differ} of the "
              f"{n} configurations")
    for line in advice(model, found, {j.name for j in layout if j.start in held}):
        print(line)
    line = pairs.margin_zero_line(files, found, samples)
    if line:
        print(line)
    return 0


def advice(model, found, held):
    """What to do about the pairs that collide most: the ones in (nearly) every sample
    belong in an SRDF; for the first of the others, the joints that bring it together."""
    lines = []
    always = [pair for pair in found if pair[2] >= ALWAYS]
    if always:
        lines.append(f"{len(always)} pair{'s collide' if len(always) > 1 else ' collides'} in "
                     f"{ALWAYS:.0%} of the samples or more: links that touch wherever their "
                     "joints put them, as joined links often do. An SRDF that disables them "
                     "(talvex srdf) shows what else collides.")
    rest = [pair for pair in found if pair[2] < ALWAYS]
    if rest and rest[0][2] >= ADVISE:
        a, b, share = rest[0]
        joints = [j for j in model.joints_between(a, b) if j not in held]
        if joints:
            lines.append(f"{a} / {b} ({share:.1%}) is moved by {', '.join(joints)}; "
                         "--lock NAME=VALUE (patterns allowed) holds joints while sampling.")
    return lines


def at_configuration(args, files, robot, q, mimic_line):
    near = NEAR if args.near is None else args.near
    collides = robot.has_self_collision(q)
    model = PairModel(robot)
    hit = model.collisions(q)
    gap = model.distances(q)
    listed = sorted((k for k in range(len(model.pairs)) if hit[k] or gap[k] < near),
                    key=lambda k: (gap[k], model.pairs[k]))
    inside = bool(robot.in_joint_limits(q))
    if args.json:
        print(json.dumps({
            "robot": files.name, "urdf": str(files.urdf),
            "srdf": str(files.srdf) if files.srdf else None, "margin": files.margin,
            "q": q.tolist(), "in_limits": inside, "collides": bool(hit.any()),
            "talvex_collides": bool(collides), "near": near,
            "link_pairs_tested": len(model.pairs),
            "pairs": [{"links": list(model.pairs[k]), "distance": float(gap[k]),
                       "collides": bool(hit[k])} for k in listed],
        }))
        return 0
    verdict = "in self-collision" if hit.any() else "clear"
    colliding = int(hit.sum())
    print(f"{files.name} at {args.where}{'' if inside else ' (outside the limits)'}, "
          f"margin {files.margin:g} m: {verdict} (talvex: "
          f"{'in self-collision' if collides else 'clear'}); "
          f"{colliding} link pair{'' if colliding == 1 else 's'} in collision, "
          f"{len(listed) - colliding} more nearer than {near:g} m, of the "
          f"{len(model.pairs)} link pairs tested")
    if mimic_line:
        print(mimic_line)
    shown = listed if args.top == 0 else listed[:args.top]
    for k in shown:
        a, b = model.pairs[k]
        print(f"  {gap[k]:9.4f} m  {a} / {b}{'  in collision' if hit[k] else ''}")
    if len(shown) < len(listed):
        print(f"  ... {len(listed) - len(shown)} more (--top 0 lists all)")
    return 0
