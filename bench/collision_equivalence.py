"""has_self_collision against the full pairwise test, over every robot of example-robot-data.

For every URDF that Pinocchio's own Python bindings build (fixed base), with its
SRDF where it has one (and, with --without-srdf, also without it), and for each margin: random configurations uniform inside
the joint limits, and configurations right at a contact (bisection, with the
reference, of the path from a colliding to a clear sample until the verdict
switches within 1e-9 of the path parameter; both sides are kept). One talvex
object per robot and margin answers all of them in sequence, so it carries a
history; the reference is pinocchio.computeCollisions on geometry work data made
afresh for every configuration (tests/collision_reference.py). Every verdict
must agree. Run from the repository root (about 15 minutes on one core):

    OPENBLAS_NUM_THREADS=1 python bench/collision_equivalence.py [--robots NAME ...] [--without-srdf]

Exit status 1 when a verdict differs or talvex fails where Pinocchio builds.
"""

import argparse
import importlib.metadata
import json
import pathlib
import shutil
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
import zlib

import numpy as np
import pinocchio as pin

import talvex

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from collision_reference import Reference, inside_samples  # noqa: E402

SHARE = pathlib.Path(
    importlib.metadata.distribution("example-robot-data").locate_file("cmeel.prefix/share")
)
ROBOTS = SHARE / "example-robot-data" / "robots"
UNMASK_PROBE = 30  # samples whose common collisions --unmask disables


def srdf_for(urdf):
    """The SRDF of a URDF, from its description folder: the one of the same name; else
    the longest one whose name begins the URDF's (ur5_robot: ur5, talos_reduced: talos,
    solo12: solo); else the shortest one whose name the URDF's begins (baxter:
    baxter_manipulation)."""
    folder = ROBOTS / urdf.relative_to(ROBOTS).parts[0]
    stems = {p.stem: p for p in sorted(folder.rglob("*.srdf"))}
    if urdf.stem in stems:
        return stems[urdf.stem]
    shorter = [s for s in stems if urdf.stem.startswith(s)]
    if shorter:
        return stems[max(shorter, key=len)]
    longer = [s for s in stems if s.startswith(urdf.stem)]
    return stems[min(longer, key=len)] if longer else None


def name_of(urdf):
    return f"{urdf.relative_to(ROBOTS).parts[0]}/{urdf.stem}"


def unmasked_srdf(ref, srdf, samples, folder, tag, deadline):
    """For a robot in collision at every sample: its SRDF plus the link pairs in collision
    at every one of the first samples (adjacent links that touch, an SRDF written for
    another variant), so that the rest of the robot gets configurations at contact.
    Returns (path, number of link pairs added); no pairs when the deadline passed first."""
    always = None
    for q in samples[:UNMASK_PROBE]:
        if time.perf_counter() > deadline:
            break
        geom_data = ref.fresh_data()
        pin.computeCollisions(ref.model, ref.data, ref.geom, geom_data, q, False)
        hits = {k for k, r in enumerate(geom_data.collisionResults) if r.isCollision()}
        always = hits if always is None else always & hits
    if always is None:
        return None, 0
    link = [ref.model.frames[g.parentFrame].name for g in ref.geom.geometryObjects]
    pairs = sorted({tuple(sorted((link[p.first], link[p.second])))
                    for k, p in enumerate(ref.geom.collisionPairs) if k in always})
    root = ET.parse(srdf).getroot() if srdf else ET.Element("robot", name="robot")
    for a, b in pairs:
        ET.SubElement(root, "disable_collisions", link1=a, link2=b, reason="Always")
    path = pathlib.Path(folder) / f"{tag}.srdf"
    ET.ElementTree(root).write(path)
    return path, len(pairs)


def check(urdf, srdf, ref, margin, samples, rng, paths, budget):
    ref.margin = margin
    # A few mesh robots take seconds per configuration at a wide margin: the reference
    # stops taking new work once the budget is spent.
    deadline = time.perf_counter() + budget
    verdicts = []
    for q in samples:
        if time.perf_counter() > deadline:
            break
        verdicts.append(ref.collides(q))
    cut = len(verdicts) < len(samples)
    samples = samples[:len(verdicts)]
    near = ref.near_contact(samples, verdicts, rng, paths, deadline)
    cut = cut or (any(verdicts) and not all(verdicts) and len(near) < 2 * paths)
    configs = samples + near
    expected = verdicts + [k % 2 == 0 for k in range(len(near))]  # colliding side first
    row = dict(configs=len(configs), near=len(near), colliding=int(sum(expected)), cut=cut)
    try:
        model = talvex.RobotModel()
        model.build_from_urdf(str(urdf), str(SHARE), str(srdf) if srdf else "", margin)
        # Random samples first, then the near-contact ones in shuffled order.
        order = list(range(len(samples))) + list(len(samples) + rng.permutation(len(near)))
        answers = {k: model.has_self_collision(configs[k]) for k in order}
    except Exception as error:  # reported, and counted as a failure
        row["error"] = f"{type(error).__name__}: {str(error).splitlines()[0][:120]}"
        return row, []
    wrong = [k for k in order if answers[k] != expected[k]]
    row["diff_random"] = int(sum(k < len(samples) for k in wrong))
    row["diff_near"] = len(wrong) - row["diff_random"]
    return row, [dict(q=configs[k].tolist(), reference=expected[k], near=bool(k >= len(samples)))
                 for k in wrong]


def report(row, wrong, rows, differences):
    rows.append(row)
    differences += [dict(robot=row["robot"], margin=row["margin"], **w) for w in wrong]
    diff = row.get("diff_random", 0) + row.get("diff_near", 0)
    print(f"{row['robot']:52s} {row['srdf'] or '-':28s} {row['margin']:6.3f} "
          f"{row['configs']:7d} {row['near']:5d} {row['colliding']:5d} {diff:5d} "
          f"{row.get('diff_near', 0):6d} {row['seconds']:6.1f}{'*' if row['cut'] else ' '}"
          + (f"  TALVEX FAILED: {row['error']}" if "error" in row else ""), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--robots", nargs="*", default=[],
                        help="only robots whose folder/stem name contains one of these")
    parser.add_argument("--configs", type=int, default=300, help="random samples per robot")
    parser.add_argument("--paths", type=int, default=40,
                        help="colliding-to-clear paths bisected per robot and margin")
    parser.add_argument("--margins", type=float, nargs="*", default=[0.0, 0.005, 0.05])
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--budget", type=float, default=60.0,
                        help="seconds of reference work per robot and margin (rows marked *"
                             " were cut short by it)")
    parser.add_argument("--unmask", action="store_true",
                        help="for a robot in collision at every sample, also check it with "
                             "the link pairs in collision at all of them disabled (slow)")
    parser.add_argument("--without-srdf", action="store_true",
                        help="also check every robot that has an SRDF without it")
    parser.add_argument("--json", type=pathlib.Path, help="write rows and differences here")
    args = parser.parse_args()

    print(f"talvex {importlib.metadata.version('talvex')} from {talvex.__file__}")
    print(f"pin {importlib.metadata.version('pin')}, coal {importlib.metadata.version('coal')}, "
          f"example-robot-data {importlib.metadata.version('example-robot-data')}")
    print(f"configs {args.configs}, paths {args.paths}, margins {args.margins}, "
          f"seed {args.seed}, budget {args.budget} s", flush=True)
    urdfs = [u for u in sorted(ROBOTS.rglob("*.urdf"))
             if not args.robots or any(r in name_of(u) for r in args.robots)]
    rows, skipped, differences = [], [], []
    start = time.perf_counter()
    scratch = tempfile.mkdtemp(prefix="talvex-equivalence-")
    header = f"{'robot':52s} {'srdf':28s} {'margin':>6s} {'configs':>7s} {'near':>5s} " \
             f"{'coll':>5s} {'diff':>5s} {'(near)':>6s} {'s':>6s}"
    print(header, flush=True)
    cases = [(u, srdf_for(u)) for u in urdfs]
    if args.without_srdf:
        cases = [c for u, s in cases for c in ([(u, s), (u, None)] if s else [(u, s)])]
    for urdf, srdf in cases:
        name = name_of(urdf)
        try:
            ref = Reference(urdf, SHARE, srdf, 0.0)
        except Exception as error:
            text = str(error).replace(str(ROBOTS) + "/", "")
            reason = f"{type(error).__name__}: {text.splitlines()[0][:160]}"
            skipped.append(dict(robot=name, reason=reason))
            print(f"{name:52s} SKIPPED ({reason})", flush=True)
            continue
        rng = np.random.default_rng([args.seed, zlib.crc32(name.encode())])
        samples = inside_samples(ref.model, rng, args.configs)
        for margin in args.margins:
            t0 = time.perf_counter()
            row, wrong = check(urdf, srdf, ref, margin, samples, rng, args.paths,
                               args.budget)
            row.update(robot=name, srdf=srdf.name if srdf else "", margin=margin,
                       pairs=len(ref.geom.collisionPairs), seconds=time.perf_counter() - t0)
            report(row, wrong, rows, differences)
            if args.unmask and row["near"] == 0 and row["colliding"] == row["configs"] > 0 \
                    and not row["cut"] and "error" not in row:
                t0 = time.perf_counter()
                ref.margin = margin
                tag = f"{name.replace('/', '.')}-{margin}"
                path, added = unmasked_srdf(ref, srdf, samples, scratch, tag,
                                            t0 + args.budget)
                if not added:
                    continue
                more = Reference(urdf, SHARE, path, margin)
                row, wrong = check(urdf, path, more, margin, samples, rng, args.paths,
                                   args.budget)
                row.update(robot=name, srdf=f"{srdf.name if srdf else '-'} +{added}",
                           margin=margin, pairs=len(more.geom.collisionPairs), unmasked=added,
                           seconds=time.perf_counter() - t0)
                report(row, wrong, rows, differences)
    shutil.rmtree(scratch)
    failed = [r for r in rows if "error" in r]
    total_diff = sum(r.get("diff_random", 0) + r.get("diff_near", 0) for r in rows)
    print(f"\nskipped ({len(skipped)}):")
    for s in skipped:
        print(f"  {s['robot']}: {s['reason']}")
    no_near = sorted({r["robot"] for r in rows if r["near"] == 0 and "unmasked" not in r})
    print(f"no configuration at contact at some margin (samples all colliding or all clear),"
          f" {len(no_near)} robots: {', '.join(no_near)}")
    cut = [f"{r['robot']}@{r['margin']}" for r in rows if r["cut"]]
    print(f"cut short by the budget ({len(cut)}): {', '.join(cut)}")
    print(f"SUMMARY: {len({r['robot'] for r in rows})} robots built ({len(skipped)} skipped), "
          f"{len(rows)} rows ({sum('unmasked' in r for r in rows)} with pairs always in "
          f"collision disabled), {sum(r['configs'] for r in rows)} configurations "
          f"({sum(r['near'] for r in rows)} at contact), "
          f"{sum(r['colliding'] for r in rows)} colliding, {total_diff} differences "
          f"({sum(r.get('diff_near', 0) for r in rows)} at contact) in "
          f"{len({r['robot'] for r in rows if r.get('diff_random', 0) + r.get('diff_near', 0)})}"
          f" robots, {len(failed)} talvex failures, {time.perf_counter() - start:.0f} s")
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(dict(talvex=talvex.__file__, args=vars(args) | dict(
            json=str(args.json)), rows=rows, skipped=skipped, differences=differences), indent=1))
    return 1 if total_diff or failed else 0


if __name__ == "__main__":
    sys.exit(main())
