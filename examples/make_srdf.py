#!/usr/bin/env python3
"""Write an SRDF that disables the link pairs a self-collision test should skip.

    python examples/make_srdf.py URDF --out SRDF [--package-dir DIR] [--samples N]
                                 [--seed S] [--margin M] [--never] [--merge SRDF]
                                 [--compare SRDF]

Every pair of collision geometries on different joints is tested by talvex, so
links that touch where they are joined collide at every configuration. This
samples configurations inside the joint limits, asks Pinocchio's own Python
bindings (pip install pin) for the verdict of every link pair at each one, and
disables, with the reason written beside each pair:

  Adjacent  links joined by one joint, looking through links that carry no
            collision geometry, or by a chain of fixed joints;
  Default   links in collision at the neutral configuration moved inside the
            limits (each coordinate whose neutral value is not strictly inside
            its bounds is set to the middle of them);
  Always    links in collision in at least 95 % of the samples;
  Never     (only with --never) links in collision in none of the samples.

It then builds the robot in talvex with no SRDF and with the written one and
prints the share of the samples that self-collide with each.
"""

import math
import pathlib
import sys
import xml.etree.ElementTree as ET

import numpy as np

import talvex
from inspect_robot import (Parser, UsageError, captured_stderr, default_package_dir,
                           load_failure, one_line)

# A pair in collision in this share of the samples or more is "Always": it touches
# wherever the joints between the two links put it, as links at a joint do.
ALWAYS = 0.95
REASONS = ("Adjacent", "Default", "Always", "Never")
PROG = "make_srdf.py"


def parse_args(argv):
    parser = Parser(
        prog=PROG,
        description="Sample configurations inside the joint limits and write an SRDF "
        "whose disable_collisions entries name the link pairs that are adjacent, in "
        "collision at the neutral configuration, or in collision in nearly every sample.",
    )
    parser.add_argument("urdf", help="URDF file")
    parser.add_argument("--out", required=True, help="SRDF file to write")
    parser.add_argument(
        "--package-dir",
        help="directory that holds the packages named by package:// URIs (default: the "
        "nearest directory above the URDF that does)",
    )
    parser.add_argument(
        "--samples", type=int, default=1000, help="random configurations (default 1000)"
    )
    parser.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    parser.add_argument(
        "--margin",
        type=float,
        default=0.005,
        help="collision margin in metres, as talvex's collision_margin (default 0.005)",
    )
    parser.add_argument(
        "--never",
        action="store_true",
        help="also disable the pairs in collision in none of the samples: a heuristic "
        "that misses every collision the samples did not happen to reach (off by default)",
    )
    parser.add_argument(
        "--merge",
        help="existing SRDF whose elements and entries are kept; only pairs it does not "
        "already disable are added",
    )
    parser.add_argument(
        "--compare",
        help="another SRDF of the same robot: print the pairs disabled by both and by one "
        "only, and the share of the samples in collision with it",
    )
    args = parser.parse_args(argv)

    if not (math.isfinite(args.margin) and args.margin >= 0):
        raise UsageError(f"--margin must be a finite number of metres >= 0, not {args.margin}")
    if args.samples < 1:
        raise UsageError(f"--samples must be at least 1, not {args.samples}")
    if args.seed < 0:
        raise UsageError(f"--seed must be >= 0, not {args.seed}")
    args.urdf = pathlib.Path(args.urdf)
    if not args.urdf.is_file():
        raise UsageError(f"URDF file not found: {args.urdf}")
    for option in ("merge", "compare"):
        path = getattr(args, option)
        if path is not None:
            path = pathlib.Path(path)
            if not path.is_file():
                raise UsageError(f"--{option} file not found: {path}")
            setattr(args, option, path)
    if args.package_dir is None:
        args.package_dir = default_package_dir(args.urdf)[0]
    args.package_dir = pathlib.Path(args.package_dir)
    if not args.package_dir.is_dir():
        raise UsageError(f"package directory not found: {args.package_dir}")
    args.out = pathlib.Path(args.out)
    if not args.out.parent.is_dir():
        raise UsageError(f"directory of --out not found: {args.out.parent}")
    return args


def import_pinocchio():
    try:
        import pinocchio
    except ImportError:
        raise UsageError("needs Pinocchio's Python bindings (pip install pin==4.1.0)") from None
    return pinocchio


def load(pin, args):
    """Pinocchio's kinematic and collision models, read as talvex reads them."""
    try:
        with captured_stderr() as native_output:
            model = pin.buildModelFromUrdf(str(args.urdf), mimic=False)
            geom = pin.buildGeomFromUrdf(model, str(args.urdf), pin.GeometryType.COLLISION,
                                         package_dirs=[str(args.package_dir)])
    except (RuntimeError, ValueError) as exc:
        raise UsageError(f"cannot load {args.urdf}: {load_failure(exc, native_output)}") from None
    for line in native_output:  # warnings of a load that succeeded
        print(line, file=sys.stderr)
    return model, geom


def read_tree(urdf):
    """{child link: (parent link, joint type)} from the URDF's joints."""
    try:
        root = ET.parse(urdf).getroot()
    except (ET.ParseError, OSError) as exc:
        raise UsageError(f"cannot read {urdf}: {one_line(exc)}") from None
    tree = {}
    for joint in root.findall("joint"):
        parent, child = joint.find("parent"), joint.find("child")
        if parent is not None and child is not None:
            tree[child.get("link")] = (parent.get("link"), joint.get("type"))
    return root.get("name") or urdf.stem, tree


def adjacent_pairs(tree, with_geometry):
    """Link pairs joined by one joint (links without geometry looked through) or by
    fixed joints only."""
    pairs = set()
    for link in with_geometry:
        child, fixed_only, found = link, True, False
        while child in tree and not (found and not fixed_only):
            parent, kind = tree[child]
            fixed_only = fixed_only and kind == "fixed"
            if parent in with_geometry:
                if not found or fixed_only:
                    pairs.add(frozenset((link, parent)))
                found = True
            child = parent
    return pairs


def neutral_inside(pin, model):
    """The neutral configuration with every coordinate that is not strictly inside its
    bounds moved to their middle (a continuous joint keeps its (1, 0))."""
    q = pin.neutral(model)
    lo, hi = model.lowerPositionLimit, model.upperPositionLimit
    outside = ~((q > lo) & (q < hi))
    q[outside] = ((lo + hi) / 2)[outside]
    return q


def sample(model, rng, count):
    """Configurations drawn uniformly inside the limits, joint by joint: an angle for
    a continuous joint, a unit quaternion for a floating one; an unbounded
    coordinate is drawn from [-pi, pi] (radians) or [-1, 1] m for a translation."""
    lo, hi = model.lowerPositionLimit, model.upperPositionLimit
    qs = np.empty((count, model.nq))
    for joint in list(model.joints)[1:]:
        i, nq, nv = joint.idx_q, joint.nq, joint.nv
        span = slice(i, i + nq)
        wide = math.pi if nq == nv else 1.0
        low = np.where(np.isfinite(lo[span]), lo[span], -wide)
        high = np.where(np.isfinite(hi[span]), hi[span], wide)
        qs[:, span] = rng.uniform(low, high, size=(count, nq))
        if nq == nv + 1:  # continuous or planar: the last two are (cos, sin)
            angle = rng.uniform(-math.pi, math.pi, size=count)
            qs[:, i + nq - 2], qs[:, i + nq - 1] = np.cos(angle), np.sin(angle)
        elif nq == 7 and nv == 6:  # floating: translation, then a unit quaternion
            quat = rng.normal(size=(count, 4))
            qs[:, i + 3:i + 7] = quat / np.linalg.norm(quat, axis=1, keepdims=True)
    return qs


def link_pair_verdicts(pin, model, geom, margin, configs):
    """The link pairs, and for each configuration which of them are in collision:
    every geometry pair between two different links is tested, as Pinocchio
    tests it, with the margin in its request."""
    links = [model.frames[g.parentFrame].name for g in geom.geometryObjects]
    pairs, index = [], {}
    for a in range(len(links)):
        for b in range(a + 1, len(links)):
            if links[a] != links[b]:
                geom.addCollisionPair(pin.CollisionPair(a, b))
                key = frozenset((links[a], links[b]))
                pairs.append(index.setdefault(key, len(index)))
    data, geom_data = model.createData(), pin.GeometryData(geom)
    for request in geom_data.collisionRequests:
        request.security_margin = margin
    hits = np.zeros((len(configs), len(index)), dtype=bool)
    for row, q in enumerate(configs):
        pin.computeCollisions(model, data, geom, geom_data, q, False)
        for k, result in enumerate(geom_data.collisionResults):
            hits[row, pairs[k]] |= result.isCollision()
    return list(index), hits, set(links)


def classify(link_pairs, neutral_hits, hits, adjacent, never):
    """Reason for disabling each pair, or None to keep it tested."""
    share = hits.mean(axis=0)
    reasons = {}
    for k, pair in enumerate(link_pairs):
        if pair in adjacent:
            reasons[pair] = "Adjacent"
        elif neutral_hits[k]:
            reasons[pair] = "Default"
        elif share[k] >= ALWAYS:
            reasons[pair] = "Always"
        elif never and share[k] == 0:
            reasons[pair] = "Never"
        else:
            reasons[pair] = None
    return reasons


def srdf_pairs(root):
    return {
        frozenset((e.get("link1"), e.get("link2")))
        for e in root.findall("disable_collisions")
        if e.get("link1") and e.get("link2")
    }


def read_srdf(path):
    """The root of an SRDF, comments kept, or a one-line error."""
    try:
        parser = ET.XMLParser(target=ET.TreeBuilder(insert_comments=True))
        root = ET.parse(path, parser).getroot()
    except (ET.ParseError, OSError) as exc:
        raise UsageError(f"cannot read {path}: {one_line(exc)}") from None
    if root.tag != "robot":
        raise UsageError(f"{path} is not an SRDF: its root element is <{root.tag}>, not <robot>")
    return root


def write_srdf(args, robot_name, reasons, base):
    root = base if base is not None else ET.Element("robot", name=robot_name)
    if base is None:
        root.append(ET.Comment(
            f" Written by make_srdf.py from {args.urdf.name}: {args.samples} samples, seed "
            f"{args.seed}, margin {args.margin:g} m{', with Never' if args.never else ''}. "))
    kept = srdf_pairs(root)
    for pair in sorted(reasons, key=sorted):
        if reasons[pair] and pair not in kept:
            link1, link2 = sorted(pair)
            ET.SubElement(root, "disable_collisions", link1=link1, link2=link2,
                          reason=reasons[pair])
    ET.indent(root, space="  ")
    text = '<?xml version="1.0" encoding="UTF-8"?>\n' + ET.tostring(root, encoding="unicode")
    try:
        args.out.write_text(text + "\n")
    except OSError as exc:
        raise UsageError(f"cannot write {args.out}: {one_line(exc)}") from None
    return kept


def colliding(args, srdf, configs):
    """How many configurations talvex finds in self-collision with this SRDF."""
    robot = talvex.RobotModel()
    try:
        robot.build_from_urdf(str(args.urdf), str(args.package_dir), str(srdf or ""), args.margin)
    except (RuntimeError, ValueError) as exc:
        raise UsageError(f"talvex cannot build with {srdf}: {one_line(exc)}") from None
    return sum(robot.has_self_collision(q) for q in configs)


def run(args):
    pin = import_pinocchio()
    model, geom = load(pin, args)
    robot_name, tree = read_tree(args.urdf)
    base = read_srdf(args.merge) if args.merge else None
    other = read_srdf(args.compare) if args.compare else None
    configs = sample(model, np.random.default_rng(args.seed), args.samples)
    neutral = neutral_inside(pin, model)
    link_pairs, hits, with_geometry = link_pair_verdicts(
        pin, model, geom, args.margin, np.vstack([neutral, configs])
    )
    reasons = classify(link_pairs, hits[0], hits[1:], adjacent_pairs(tree, with_geometry),
                       args.never)
    kept = write_srdf(args, robot_name, reasons, base)

    n = args.samples
    rows = [("link pairs with collision geometry", len(link_pairs))]
    if base is not None:
        rows.append((f"disabled by {args.merge.name} already", len(kept & set(reasons))))
    for reason in REASONS:
        count = sum(r == reason and p not in kept for p, r in reasons.items())
        rows.append((f"disabled, {reason}", count if reason != "Never" or args.never else
                     "(--never not given)"))
    left = sum(r is None and p not in kept for p, r in reasons.items())
    rows.append(("left to test", left))
    shares = [("no SRDF", colliding(args, None, configs))]
    if base is not None:
        shares.append((args.merge.name, colliding(args, args.merge, configs)))
    shares.append((f"{args.out.name} (written)", colliding(args, args.out, configs)))
    if args.compare:
        shares.append((args.compare.name, colliding(args, args.compare, configs)))
    width = max(len(label) for label, _ in rows + shares)

    print(f"{PROG}: {args.urdf} -> {args.out}")
    print(f"packages from {args.package_dir}; {n} samples inside the limits, seed {args.seed}, "
          f"margin {args.margin:g} m, Always at >= {ALWAYS:.0%} of the samples")
    for label, value in rows:
        print(f"  {label:<{width}}  {value:>6}")
    print("Self-collision over the samples (talvex):")
    for label, count in shares:
        print(f"  {label:<{width}}  {count:>6} of {n}  ({100.0 * count / n:6.2f} %)")
    if other is not None:
        share = dict(zip(link_pairs, hits[1:].mean(axis=0)))
        compare(args.compare, other, read_srdf(args.out), share, width)


def compare(path, other, written, share, width):
    """Pairs disabled by both files and by one only; for the latter, the share of
    the samples in which the pair is in collision."""
    theirs, ours = srdf_pairs(other), srdf_pairs(written)
    print(f"Disabled pairs against {path.name} (share of the samples in collision):")
    for label, pairs in (("by both", ours & theirs), ("by the written SRDF only", ours - theirs),
                         (f"by {path.name} only", theirs - ours)):
        print(f"  {label:<{width}}  {len(pairs):>6}")
        for pair in sorted(pairs, key=sorted) if label != "by both" else []:
            seen = f"{100 * share[pair]:6.2f} %" if pair in share else "no collision geometry"
            print(f"      {' / '.join(sorted(pair)):<{width}}  {seen}")


def main(argv=None):
    try:
        run(parse_args(sys.argv[1:] if argv is None else argv))
    except UsageError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    except (RuntimeError, ValueError) as exc:  # from the libraries, on a robot that loaded
        print(f"{PROG}: error: {one_line(exc)}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
