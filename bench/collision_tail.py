"""The heaviest free configuration of each humanoid: has_self_collision against the full test there.

For each humanoid of example-robot-data, with its SRDF: 1,000 seeded configurations
uniform inside the joint limits; each free one (by the reference on fresh work data)
is timed through talvex (the best of three calls), and the slowest is kept. At that
configuration, talvex and the full pairwise test through Pinocchio's bindings
(`pinocchio.computeCollisions`, stopping at the first hit, on work data kept across
calls) are timed in alternation, the best of many rounds each. Run from the
repository root:

    OPENBLAS_NUM_THREADS=1 python bench/collision_tail.py [--robots NAME ...] [--json PATH]
"""

import argparse
import json
import pathlib
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

HUMANOIDS = ["talos_data/talos_reduced", "talos_data/talos_full_v2", "romeo_description/romeo",
             "romeo_description/romeo_small", "icub_description/icub",
             "icub_description/icub_reduced", "g1_description/g1_29dof_rev_1_0",
             "alex_description/alex_nub_hands"]


def best_of(call, q, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        call(q)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--robots", nargs="*", default=HUMANOIDS)
    parser.add_argument("--configs", type=int, default=1000)
    parser.add_argument("--margin", type=float, default=0.005)
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--json", type=pathlib.Path)
    args = parser.parse_args()
    urdfs = {name_of(u): u for u in ROBOTS.rglob("*.urdf")}
    print(f"{'robot':40s} {'free':>5s} {'talvex us':>10s} {'full us':>10s} {'ratio':>6s} "
          f"{'median free us':>15s}", flush=True)
    rows = []
    for name in args.robots:
        urdf = urdfs[name]
        srdf = srdf_for(urdf)
        ref = Reference(urdf, SHARE, srdf, args.margin)
        model = talvex.RobotModel()
        model.build_from_urdf(str(urdf), str(SHARE), str(srdf) if srdf else "", args.margin)
        rng = np.random.default_rng([args.seed, zlib.crc32(name.encode())])
        configs = inside_samples(ref.model, rng, args.configs)
        free = [q for q in configs if not ref.collides(q)]
        if not free:
            print(f"{name:40s} {0:5d}  no free configuration", flush=True)
            continue
        times = [best_of(model.has_self_collision, q, 3) for q in free]
        heaviest = free[int(np.argmax(times))]
        geom_data = ref.fresh_data()

        def full(q):
            return pin.computeCollisions(ref.model, ref.data, ref.geom, geom_data, q, True)

        ours = theirs = float("inf")
        for _ in range(args.rounds):
            ours = min(ours, best_of(model.has_self_collision, heaviest, 1))
            theirs = min(theirs, best_of(full, heaviest, 1))
        row = dict(robot=name, srdf=srdf.name if srdf else "", free=len(free),
                   talvex_us=ours * 1e6, full_us=theirs * 1e6, ratio=ours / theirs,
                   median_free_us=float(np.median(times)) * 1e6, q=heaviest.tolist())
        rows.append(row)
        print(f"{name:40s} {len(free):5d} {row['talvex_us']:10.1f} {row['full_us']:10.1f} "
              f"{row['ratio']:6.3f} {row['median_free_us']:15.1f}", flush=True)
    if rows:
        print(f"\nSUMMARY: {len(rows)} humanoids, worst ratio at the heaviest free "
              f"configuration {max(r['ratio'] for r in rows):.3f}")
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(dict(args={k: str(v) for k, v in vars(args).items()},
                                             rows=rows), indent=1))


if __name__ == "__main__":
    main()
