"""has_self_collision against the full pairwise test, in time, over every robot of example-robot-data.

For every URDF that Pinocchio's own Python bindings build (fixed base), each with
its SRDF where it has one and without any: 100 seeded configurations uniform
inside the joint limits, tested by talvex (`has_self_collision`) and by the full
pairwise test through Pinocchio's bindings (`pinocchio.computeCollisions`,
stopping at the first hit, on one geometry work data kept across calls, as a
careful user would). The two sweeps over the configurations alternate, five
rounds to a block, two blocks; each side's figure is the lower of the two
blocks' medians, per configuration. The verdicts must agree with the reference
on fresh work data at every configuration. Run from the repository root:

    OPENBLAS_NUM_THREADS=1 python bench/collision_speed.py [--robots NAME ...] [--json PATH]

Exit status 1 when a verdict differs.
"""

import argparse
import importlib.metadata
import json
import pathlib
import statistics
import sys
import time
import zlib

import numpy as np
import pinocchio as pin

import talvex

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from collision_equivalence import ROBOTS, SHARE, name_of, srdf_for  # noqa: E402
from collision_reference import Reference, inside_samples  # noqa: E402


def sweep_seconds(call, configs):
    start = time.perf_counter()
    for q in configs:
        call(q)
    return time.perf_counter() - start


def measure(urdf, srdf, margin, configs, rounds, blocks):
    ref = Reference(urdf, SHARE, srdf, margin)
    expected = [ref.collides(q) for q in configs]
    model = talvex.RobotModel()
    model.build_from_urdf(str(urdf), str(SHARE), str(srdf) if srdf else "", margin)
    answers = [model.has_self_collision(q) for q in configs]
    geom_data = ref.fresh_data()

    def full(q):
        return pin.computeCollisions(ref.model, ref.data, ref.geom, geom_data, q, True)

    best_talvex = best_full = float("inf")
    for _ in range(blocks):
        ours, theirs = [], []
        for _ in range(rounds):
            ours.append(sweep_seconds(model.has_self_collision, configs))
            theirs.append(sweep_seconds(full, configs))
        best_talvex = min(best_talvex, statistics.median(ours))
        best_full = min(best_full, statistics.median(theirs))
    per = 1e6 / len(configs)
    return dict(pairs=len(ref.geom.collisionPairs), colliding=int(sum(expected)),
                differences=sum(a != e for a, e in zip(answers, expected)),
                talvex_us=best_talvex * per, full_us=best_full * per,
                ratio=best_talvex / best_full)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--robots", nargs="*", default=[],
                        help="only robots whose folder/stem name contains one of these")
    parser.add_argument("--configs", type=int, default=100)
    parser.add_argument("--margin", type=float, default=0.005)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--blocks", type=int, default=2)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--json", type=pathlib.Path)
    args = parser.parse_args()
    print(f"talvex {importlib.metadata.version('talvex')} from {talvex.__file__}")
    print(f"pin {importlib.metadata.version('pin')}, coal {importlib.metadata.version('coal')}, "
          f"example-robot-data {importlib.metadata.version('example-robot-data')}")
    print(f"configs {args.configs}, margin {args.margin}, {args.blocks} blocks of "
          f"{args.rounds} rounds, seed {args.seed}", flush=True)
    print(f"{'robot':44s} {'srdf':26s} {'pairs':>5s} {'coll':>4s} {'talvex us':>10s} "
          f"{'full us':>10s} {'ratio':>6s}", flush=True)
    rows, skipped = [], []
    for urdf in sorted(ROBOTS.rglob("*.urdf")):
        name = name_of(urdf)
        if args.robots and not any(r in name for r in args.robots):
            continue
        try:
            model = pin.buildModelFromUrdf(str(urdf), mimic=False)
        except Exception as error:
            skipped.append(dict(robot=name, reason=f"{type(error).__name__}"))
            continue
        rng = np.random.default_rng([args.seed, zlib.crc32(name.encode())])
        configs = inside_samples(model, rng, args.configs)
        srdf = srdf_for(urdf)
        for chosen in ([srdf, None] if srdf else [None]):
            try:
                row = measure(urdf, chosen, args.margin, configs, args.rounds, args.blocks)
            except Exception as error:
                skipped.append(dict(robot=name, srdf=chosen.name if chosen else "",
                                    reason=f"{type(error).__name__}: {str(error)[:100]}"))
                print(f"{name:44s} SKIPPED ({skipped[-1]['reason']})", flush=True)
                continue
            row.update(robot=name, srdf=chosen.name if chosen else "")
            rows.append(row)
            print(f"{name:44s} {row['srdf'] or '-':26s} {row['pairs']:5d} {row['colliding']:4d} "
                  f"{row['talvex_us']:10.2f} {row['full_us']:10.2f} {row['ratio']:6.3f}"
                  + (f"  DIFFERENCES {row['differences']}" if row["differences"] else ""),
                  flush=True)
    ratios = [r["ratio"] for r in rows]
    above = [f"{r['robot']}{' +srdf' if r['srdf'] else ''} {r['ratio']:.2f}"
             for r in rows if r["ratio"] > 1.0]
    differences = sum(r["differences"] for r in rows)
    print(f"\nSUMMARY: {len(rows)} cases, median ratio "
          f"{statistics.median(ratios):.3f}, {len(above)} above 1.0"
          + (f" ({', '.join(above)})" if above else "")
          + f", {differences} differences, {len(skipped)} skipped")
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(dict(args={k: str(v) for k, v in vars(args).items()},
                                             rows=rows, skipped=skipped), indent=1))
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main())
