"""Write an SRDF that disables the link pairs a self-collision test should skip.

talvex tests every pair of collision geometries on different joints, so links that
touch where they are joined collide at every configuration. This samples
configurations inside the joint limits, asks Pinocchio's own Python bindings for the
verdict of every link pair at each one, and disables, with the reason written beside
each pair:

  Adjacent  links joined by one joint, looking through links that carry no
            collision geometry, or by a chain of fixed joints;
  Default   links in collision at the neutral configuration moved inside the
            limits (a coordinate on or beyond a bound is moved 1 % of its range in);
  Always    links in collision in at least 95 % of the samples;
  Never     (only with --never) links in collision in none of the samples.

It then builds the robot in talvex with no SRDF and with the written one, prints the
share of the samples that self-collide with each and, when the share left is high,
the link pairs responsible. --lock holds joints (a hand's fingers) at a value in
every sample.

example:
  talvex srdf robot.urdf --out build/robot.srdf --lock 'hand_*=0.1'
"""

import dataclasses
import pathlib
import sys

import numpy as np

from talvex_tools import options, sampling, srdf
from talvex_tools.errors import ToolError, one_line
from talvex_tools.robot import coverage_warning

SUMMARY = "write an SRDF that disables the link pairs that always or never collide"
REQUIRES = ("pinocchio",)
# A pair in collision in this share of the samples or more is "Always": it touches
# wherever the joints between the two links put it, as links at a joint do.
ALWAYS = 0.95
REASONS = ("Adjacent", "Default", "Always", "Never")
# Above this share still colliding with the written SRDF, the pairs responsible are named.
HIGH = 0.5
SHOWN_PAIRS = 5


def add_arguments(parser):
    options.add_robot_arguments(parser, srdf=False)
    options.add_out_argument(parser, suffixes=(".srdf",), kind="file", help="SRDF file to write")
    parser.add_argument("--samples", type=options.positive_int, default=1000,
                        help="random configurations (default 1000)")
    options.add_seed_argument(parser)
    options.add_lock_argument(parser)
    parser.add_argument(
        "--never", action="store_true",
        help="also disable the pairs in collision in none of the samples: a heuristic "
        "that misses every collision the samples did not happen to reach (off by default)",
    )
    parser.add_argument(
        "--merge", metavar="SRDF",
        help="existing SRDF that is kept as it is, comments included; only the pairs it does "
        "not already disable are added",
    )
    parser.add_argument(
        "--compare", metavar="SRDF",
        help="another SRDF of the same robot: print the pairs disabled by both and by one "
        "only, and the share of the samples in collision with it",
    )


def existing(option, value):
    if value is None:
        return None
    path = pathlib.Path(value).expanduser().resolve()
    if not path.is_file():
        raise ToolError(f"--{option} file not found: {value}")
    # talvex reads an SRDF only under that extension: found out here, not after the work.
    if path.suffix != ".srdf":
        raise ToolError(f"--{option} {value}: an SRDF's name must end in .srdf")
    return path


def load_pinocchio(pin, files):
    """Pinocchio's kinematic and collision models, read as talvex reads them."""
    try:
        model = pin.buildModelFromUrdf(str(files.urdf), mimic=False)
        geom = pin.buildGeomFromUrdf(model, str(files.urdf), pin.GeometryType.COLLISION,
                                     package_dirs=[str(files.package_dir)])
    except (RuntimeError, ValueError) as exc:
        raise ToolError(f"Pinocchio cannot load {files.urdf}: {one_line(exc)}") from None
    return model, geom


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


def colliding(files, srdf_path, configs):
    """How many configurations talvex finds in self-collision with this SRDF."""
    robot = dataclasses.replace(files, srdf=srdf_path).build()
    return sum(robot.has_self_collision(q) for q in configs)


def responsible_pairs(files, configs):
    """The link pairs that collide most over configs, by talvex's pair finder."""
    from talvex_tools.pairs import summarise

    return [(a, b, share) for a, b, share in summarise(files, configs) if share > 0][:SHOWN_PAIRS]


def run(args):
    import pinocchio as pin

    out = options.check_out(args)
    files = options.robot_files(args)
    merge, compare_path = existing("merge", args.merge), existing("compare", args.compare)
    base_text = None
    if merge is not None:
        srdf.read_srdf(merge)  # a one-line error for a file that is not an SRDF
        try:
            base_text = merge.read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError) as exc:
            raise ToolError(f"cannot read {merge}: {one_line(exc)}") from None
    other = srdf.read_srdf(compare_path) if compare_path else None
    # An SRDF written for another robot disables nothing here: say so.
    for path in (merge, compare_path):
        if path is not None and (warning := coverage_warning(dataclasses.replace(files, srdf=path))):
            print(f"talvex srdf: {warning}", file=sys.stderr)

    robot = files.build()
    layout = sampling.layout(robot, files.urdf)
    held = options.locks(args, layout)
    configs = sampling.sample(layout, robot.lower_position_limits(),
                              robot.upper_position_limits(), np.random.default_rng(args.seed),
                              args.samples, held)
    neutral = sampling.inside_neutral(robot, held)

    model, geom = load_pinocchio(pin, files)
    link_pairs, hits, with_geometry = link_pair_verdicts(
        pin, model, geom, files.margin, np.vstack([neutral, configs]))
    adjacent = srdf.adjacent_pairs(srdf.link_tree(files.urdf), with_geometry)
    reasons = classify(link_pairs, hits[0], hits[1:], adjacent, args.never)
    kept = srdf.disabled_pairs(srdf.read_srdf(merge)) if merge else set()
    added = [(p, r) for p, r in sorted(reasons.items(), key=lambda item: sorted(item[0]))
             if r and p not in kept]
    locked = f", held: {' '.join(f'{n}={v:g}' for n, v in args.lock)}" if args.lock else ""
    comment = (f"Written by talvex srdf from {files.urdf.name}: {args.samples} samples, seed "
               f"{args.seed}, margin {files.margin:g} m{', with Never' if args.never else ''}"
               f"{locked}.")
    text = (srdf.merged_srdf(base_text, comment, added) if merge is not None
            else srdf.new_srdf(files.name, comment, added))

    n = args.samples
    with options.atomic_write(out) as temp:
        temp.write_text(text, encoding="utf-8")
        rows = [("link pairs with collision geometry", len(link_pairs))]
        if merge is not None:
            rows.append((f"disabled by {merge.name} already", len(kept & set(reasons))))
        for reason in REASONS:
            count = sum(r == reason for _, r in added)
            rows.append((f"disabled, {reason}",
                         count if reason != "Never" or args.never else "(--never not given)"))
        left = sum(r is None and p not in kept for p, r in reasons.items())
        rows.append(("left to test", left))
        shares = [("no SRDF", colliding(files, None, configs))]
        if merge is not None:
            shares.append((merge.name, colliding(files, merge, configs)))
        written = colliding(files, temp, configs)
        shares.append((f"{out.name} (written)", written))
        if compare_path is not None:
            shares.append((compare_path.name, colliding(files, compare_path, configs)))
        culprits = (responsible_pairs(dataclasses.replace(files, srdf=temp), configs)
                    if written > HIGH * n else [])
    width = max(len(label) for label, _ in rows + shares)

    print(f"talvex srdf: {files.urdf} -> {out}")
    print(f"packages from {files.package_dir}; {n} samples inside the limits, seed {args.seed}, "
          f"margin {files.margin:g} m{locked}, Always at >= {ALWAYS:.0%} of the samples")
    for label, value in rows:
        print(f"  {label:<{width}}  {value:>6}")
    print("Self-collision over the samples (talvex):")
    for label, count in shares:
        print(f"  {label:<{width}}  {count:>6} of {n}  ({100.0 * count / n:6.2f} %)")
    share = dict(zip(link_pairs, hits[1:].mean(axis=0)))
    if other is not None:
        compare(compare_path, other, srdf.disabled_pairs(srdf.read_srdf(out)), share, width)
    # A "Default" pair that collides elsewhere too may be a real contact at that pose.
    doubtful = [(sorted(p), share[p]) for p, r in added if r == "Default" and share[p] > 0]
    if doubtful:
        print("Check the Default pairs also in collision in part of the samples; remove an "
              "entry if its contact is real: " + ", ".join(
                  f"{a} / {b} ({value:.1%})" for (a, b), value in doubtful))
    print(f"Still colliding with {out.name}: {written / n:.1%} of the samples.")
    if culprits:
        print("The pairs responsible (share of the samples in collision):")
        for link1, link2, pair_share in culprits:
            print(f"  {link1} / {link2}  {pair_share:6.1%}")
        print("Hold the joints between them still with --lock NAME=VALUE, or see "
              "talvex pairs.")
    return 0


def compare(path, other, ours, share, width):
    """Pairs disabled by both files and by one only; for the latter, the share of
    the samples in which the pair is in collision."""
    theirs = srdf.disabled_pairs(other)
    print(f"Disabled pairs against {path.name} (share of the samples in collision):")
    for label, pairs in (("by both", ours & theirs), ("by the written SRDF only", ours - theirs),
                         (f"by {path.name} only", theirs - ours)):
        print(f"  {label:<{width}}  {len(pairs):>6}")
        for pair in sorted(pairs, key=sorted) if label != "by both" else []:
            seen = f"{100 * share[pair]:6.2f} %" if pair in share else "no collision geometry"
            print(f"      {' / '.join(sorted(pair)):<{width}}  {seen}")
