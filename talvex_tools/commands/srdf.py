"""Write an SRDF that disables the link pairs a self-collision test should skip.

talvex tests every pair of collision geometries on different joints, so links that
touch where they are joined collide at every configuration. This samples
configurations inside the joint limits, takes talvex's own verdict for every link pair
at each one, and disables, with the reason written beside each pair:

  Adjacent  links joined by one joint, looking through links that carry no
            collision geometry, or by a chain of fixed joints;
  Default   links touching at the neutral configuration moved inside the limits (a
            coordinate on or beyond a bound is moved 1 % of its range in), unless
            they touch in none of the samples and do at a pose near their joints'
            bounds too: a contact the robot reaches, kept tested;
  Always    links touching in at least 95 % of the samples;
  Never     (only with --never) links in collision in none of the samples.

Default and Always judge touching, at margin 0, whatever --margin is: pairs only
nearer than the margin are listed, and disabled only with --within-margin. Every
Default pair is listed with its share of the samples.

It then builds the robot in talvex with no SRDF and with the written one, prints the
share of the samples that self-collide with each and, when the share left is high,
the link pairs responsible. --lock holds joints (a hand's fingers) at a value in
every sample; a mimic joint follows its leader unless --independent-mimic.

example:
  talvex srdf robot.urdf --out build/robot.srdf --lock 'hand_*=0.1'
"""

import dataclasses
import math
import pathlib
import sys

import numpy as np

from talvex_tools import batch, mimic, options, pairs, sampling, srdf
from talvex_tools.commands.pairs import add_mimic_argument
from talvex_tools.errors import ToolError, one_line
from talvex_tools.pairs import PairModel
from talvex_tools.robot import coverage_warning, links_with_collision

SUMMARY = "write an SRDF that disables the link pairs that always or never collide"
REQUIRES = ()
# A pair in collision in this share of the samples or more is "Always": it touches
# wherever the joints between the two links put it, as links at a joint do.
ALWAYS = pairs.ALWAYS
REASONS = ("Adjacent", "Default", "Always", "Never")
# Above this share still colliding with the written SRDF, the pairs responsible are named.
HIGH = 0.5
# Samples (besides the default pose) over which the robot's size is taken.
EXTENT_SAMPLES = 32
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
    parser.add_argument(
        "--within-margin", action="store_true",
        help="also disable, as Default or Always, the pairs that are only nearer than the "
        "margin there, not touching (off by default: they are listed)",
    )
    add_mimic_argument(parser)


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


def classify(link_pairs, touch, near, adjacent, args, touches_near_bounds):
    """{pair: reason for disabling it, or None to keep it tested} over the pairs
    tested, with touch and near the verdicts touching and within the margin (row 0 at
    the default pose, the samples after); also {pair: (reason, share)} of the pairs
    the margin alone would disable, and the Default pairs kept tested because
    touches_near_bounds(pair) found them touching near their joints' bounds."""
    touch_share, near_share = touch[1:].mean(axis=0), near[1:].mean(axis=0)
    reasons, within, at_bounds = {}, {}, []
    for k, pair in enumerate(link_pairs):
        reason = None
        if frozenset(pair) in adjacent:
            reason = "Adjacent"
        elif touch[0, k]:
            # Met at the default pose alone, yet touching near the joints' bounds
            # too: a contact the robot reaches that the samples missed.
            if touch_share[k] == 0 and touches_near_bounds(k):
                at_bounds.append(pair)
            else:
                reason = "Default"
        elif touch_share[k] >= ALWAYS:
            reason = "Always"
        if reason is None and not touch[0, k] and (near[0, k] or near_share[k] >= ALWAYS):
            within[pair] = ("Default" if near[0, k] else "Always", float(near_share[k]))
            if args.within_margin:
                reason = within[pair][0]
        # Never takes a pair nearer than the margin as met: a contact the margin saw
        # is never disabled as absent.
        if reason is None and args.never and near_share[k] == 0:
            reason = "Never"
        reasons[frozenset(pair)] = reason
    return reasons, within, at_bounds


def extent(robot, qs):
    """The robot's size over the configurations qs, in metres: the largest distance
    between two of its frames or between the geometry of a link pair."""
    size = 0.0
    for q in qs:
        origins = np.array([pose[:3, 3] for pose in robot.all_frame_transforms(q).values()])
        if len(origins) > 1:
            size = max(size, float(np.max(np.linalg.norm(origins[:, None] - origins[None],
                                                         axis=-1))))
        size = max([size, *(gap for _, _, gap in batch.pair_distances(robot, q,
                                                                        below=math.inf))])
    return size


def near_bound_poses(model, joints, base, pair, independent):
    """Poses near the bounds of the joints between the pair's links: base with each
    such joint (of one bounded coordinate) moved to 1 % of its range inside either
    bound, and with all of them there at once."""
    between = set(model.joints_between(*pair))
    spans = [(j["q_start"], j["lower"][0], j["upper"][0]) for j in joints
             if j["name"] in between and j["q_count"] == 1
             and np.isfinite(j["lower"][0]) and np.isfinite(j["upper"][0])]
    poses = []
    for side in (0, 1):
        together = base.copy()
        for start, lo, hi in spans:
            inset = sampling.INSET * (hi - lo)
            value = lo + inset if side == 0 else hi - inset
            one = base.copy()
            one[start] = together[start] = value
            poses.append(one)
        poses.append(together)
    if not poses:
        return np.empty((0, base.size))
    poses = np.array(poses)
    return poses if independent else mimic.apply(joints, poses)


def colliding(files, srdf_path, configs):
    """How many configurations talvex finds in self-collision with this SRDF."""
    robot = dataclasses.replace(files, srdf=srdf_path).build()
    return sum(robot.has_self_collision(q) for q in configs)


def responsible_pairs(files, configs):
    """The link pairs that collide most over configs, by talvex's pair finder."""
    from talvex_tools.pairs import summarise

    return [(a, b, share) for a, b, share in summarise(files, configs) if share > 0][:SHOWN_PAIRS]


def run(args):
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
    joints = batch.joint_layout(robot)
    layout = pairs.layout(robot)
    held = options.locks(args, layout)
    neutral = sampling.inside_neutral(robot, held)
    if not args.independent_mimic:
        neutral = mimic.apply(joints, neutral, keep=held)
    configs = pairs.draw(robot, layout, np.random.default_rng(args.seed), args.samples, held,
                         args.independent_mimic)
    line = pairs.no_pairs_line(files.name, robot)
    if line:
        print(line)
    elif files.margin > (size := extent(robot, [neutral, *configs[:EXTENT_SAMPLES]])):
        raise ToolError(f"--margin {files.margin:g} m is larger than {files.name} itself "
                        f"({size:.3g} m across, frames and link pairs, at most): every pair "
                        "would be in collision everywhere, leaving nothing to test")
    rows_in = np.vstack([neutral, configs])
    model = PairModel(robot)
    touching = PairModel.of(dataclasses.replace(files, margin=0.0))
    link_pairs = model.pairs
    with pairs.progress(2 * len(rows_in), "pairs", " q") as bar:
        hits = model.verdicts(rows_in, bar)
        touch_hits = touching.verdicts(rows_in, bar)

    def touches_near_bounds(k):
        poses = near_bound_poses(model, joints, neutral, link_pairs[k], args.independent_mimic)
        return bool(touching.verdicts(poses)[:, k].any())

    adjacent = srdf.adjacent_pairs(srdf.link_tree(files.urdf), links_with_collision(files.urdf))
    reasons, within, at_bounds = classify(link_pairs, touch_hits, hits, adjacent, args,
                                          touches_near_bounds)
    # Adjacent links on one joint (a chain of fixed joints) are not tested by talvex,
    # but belong in the SRDF for the other tools that read it.
    for pair in adjacent:
        reasons.setdefault(pair, "Adjacent")
    tested = set(map(frozenset, link_pairs))
    touch_share = dict(zip(map(frozenset, link_pairs), touch_hits[1:].mean(axis=0)))
    kept = srdf.disabled_pairs(srdf.read_srdf(merge)) if merge else set()
    added = [(p, r) for p, r in sorted(reasons.items(), key=lambda item: sorted(item[0]))
             if r and p not in kept]
    locked = f", held: {' '.join(f'{n}={v:g}' for n, v in args.lock)}" if args.lock else ""
    comment = (f"Written by talvex srdf from {files.urdf.name}: {args.samples} samples, seed "
               f"{args.seed}, margin {files.margin:g} m, Default and Always at margin 0"
               f"{' and within the margin' if args.within_margin else ''}"
               f"{', with Never' if args.never else ''}{locked}"
               f"{', mimic joints independent' if args.independent_mimic else ''}.")
    text = (srdf.merged_srdf(base_text, comment, added) if merge is not None
            else srdf.new_srdf(files.name, comment, added))

    n = args.samples
    with options.atomic_write(out) as temp:
        temp.write_text(text, encoding="utf-8")
        rows = [("link pairs tested", len(link_pairs))]
        if merge is not None:
            rows.append((f"disabled by {merge.name} already", len(kept & set(reasons))))
        for reason in REASONS:
            count = sum(r == reason for _, r in added)
            rows.append((f"disabled, {reason}",
                         count if reason != "Never" or args.never else "(--never not given)"))
        left = sum(r is None and p not in kept for p, r in reasons.items() if p in tested)
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
          f"margin {files.margin:g} m{locked}; Default and Always judged touching (margin 0), "
          f"Always at >= {ALWAYS:.0%} of the samples")
    line = mimic.note(joints, args.independent_mimic)
    if line:
        print(line)
    for label, value in rows:
        print(f"  {label:<{width}}  {value:>6}")
    print("Self-collision over the samples (talvex):")
    for label, count in shares:
        print(f"  {label:<{width}}  {count:>6} of {n}  ({100.0 * count / n:6.2f} %)")
    share = dict(zip(map(frozenset, link_pairs), hits[1:].mean(axis=0)))
    if other is not None:
        compare(compare_path, other, srdf.disabled_pairs(srdf.read_srdf(out)), share, width)
    for line in review(added, touch_share, within, at_bounds, args.within_margin):
        print(line)
    line = pairs.margin_zero_line(files, pairs.ranked(link_pairs, hits[1:]), configs)
    if line:
        print(line)
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


def review(added, touch_share, within, at_bounds, within_margin):
    """The lines that list what the written SRDF deserves a look at: every Default
    pair with its share of the samples touching, the pairs kept tested for a contact
    near their joints' bounds, and the pairs only nearer than the margin."""
    lines = []
    defaults = [(sorted(p), touch_share.get(p, 0.0)) for p, r in added if r == "Default"]
    if defaults:
        lines.append(f"Default pairs disabled ({len(defaults)}), with the share of the samples "
                     "in which they touch; remove an entry if its contact is real:")
        for (a, b), value in defaults:
            alone = ("  (never in a sample: disabled on the default pose alone)" if value == 0
                     else "")
            lines.append(f"  {a} / {b}  {value:6.1%}{alone}")
    if at_bounds:
        lines.append("Kept tested, though touching at the default pose: they touch near their "
                     "joints' bounds too, where no sample went: "
                     + ", ".join(f"{a} / {b}" for a, b in at_bounds))
    if within:
        what = ("disabled (--within-margin)" if within_margin
                else "kept tested (--within-margin disables them; or a smaller --margin)")
        lines.append(f"Nearer than the margin but not touching, {what}:")
        for (a, b), (reason, value) in sorted(within.items()):
            where = "at the default pose" if reason == "Default" else "in most samples"
            lines.append(f"  {a} / {b}  {where}; within the margin in {value:.1%} of the samples")
    return lines
