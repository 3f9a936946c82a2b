"""talvex_tools.motion.edge_certified against dense sampling, every robot of
example-robot-data.

The motions are those of bench/motion_equivalence.py (random ones between free
configurations, and grazing ones through a configuration bisected to a contact), on
every URDF that Pinocchio's Python bindings build, with its SRDF where it has one, at
margins 0, 0.005 and 0.05. Each motion is sampled densely: --dense states
(``interpolate(q0, q1, k / n)``, default 10,000), each tested with has_self_collision
(through batch.self_collisions). Counted per row:

- unsound: edge_certified says free where a dense state collides (must be 0);
- unproven: among the motions the dense sampling finds free, the share that
  edge_certified leaves unproven (goal: under 2 %), and of those, how many come
  within 1e-4 m of the margin ("near"): a proof needs every pair farther apart than
  that, so such a motion stays unproven whatever the search does (a pair resting at
  the margin, as where two links touch at margin 0, or a grazing motion's end at its
  contact). The goal is for the others;
- thin: motions that edge_free at step 0.01 finds free but the dense sampling does
  not (a collision between two states of that step), and how many of them
  edge_certified catches (must be all). Besides the motions above, each contact
  gives one that brushes it: from a little inside the collision out both ways,
  across the path the contact was bisected along, so that often only a short
  stretch in the middle collides.

Run from the repository root:

    OPENBLAS_NUM_THREADS=1 python bench/motion_certified.py [--robots NAME ...]

Exit status 1 when a motion is unsound or a thin collision is missed.
"""

import argparse
import pathlib
import sys
import time
import zlib

import numpy as np
import pinocchio as pin

import talvex
from talvex_tools import batch, motion

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from collision_equivalence import ROBOTS, SHARE, name_of, srdf_for  # noqa: E402
from collision_reference import Reference, inside_samples  # noqa: E402
from motion_equivalence import motions_of, towards_neutral  # noqa: E402


def thin_edges(model, contacts, rng, spread=0.05):
    """Motions between two free ends that brush a collision: from each contact (the
    colliding side of a bisected pair), a little deeper into the collision, then out
    both ways across the path it was bisected along."""
    edges = []
    for inside, outside in zip(contacts[::2], contacts[1::2]):
        w = pin.difference(model, inside, outside)
        if not np.linalg.norm(w) > 0:
            continue
        w /= np.linalg.norm(w)
        deeper = pin.integrate(model, inside, -10 ** rng.uniform(-6, -3) * w)
        v = rng.normal(size=model.nv)
        v -= v.dot(w) * w
        v *= spread / np.linalg.norm(v)
        a, b = rng.uniform(0.3, 1.0, size=2)
        edges.append((pin.integrate(model, deeper, -a * v), pin.integrate(model, deeper, b * v)))
    return edges


def dense_collides(robot, model, q0, q1, dense):
    """Whether any of `dense` + 1 evenly spaced states collides."""
    states = np.array([pin.interpolate(model, q0, q1, u) for u in np.linspace(0, 1, dense + 1)])
    return bool(batch.self_collisions(robot, states, threads=2).any())


def comes_near(robot, model, q0, q1, margin, states=201):
    """Whether a pair comes within the proof's slack (1e-4 m) of the margin at one of
    `states` evenly spaced states."""
    return any(batch.pair_distances(robot, pin.interpolate(model, q0, q1, u),
                                    below=margin + 1e-4)
               for u in np.linspace(0, 1, states))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--robots", nargs="*", default=[])
    parser.add_argument("--edges", type=int, default=20, help="random motions per row")
    parser.add_argument("--paths", type=int, default=10, help="grazing motions per row")
    parser.add_argument("--dense", type=int, default=10000)
    parser.add_argument("--margins", type=float, nargs="*", default=[0.0, 0.005, 0.05])
    parser.add_argument("--budget", type=float, default=5.0)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    start = time.perf_counter()
    totals = {"motions": 0, "dense free": 0, "certified free": 0, "unproven": 0,
              "near": 0, "unsound": 0, "thin": 0, "thin caught": 0}
    per_robot = {}
    for urdf in sorted(ROBOTS.rglob("*.urdf")):
        name = name_of(urdf)
        if args.robots and not any(r in name for r in args.robots):
            continue
        srdf = srdf_for(urdf)
        try:
            ref = Reference(urdf, SHARE, srdf, 0.0)
        except Exception as error:
            print(f"{name:48s} SKIPPED ({type(error).__name__})", flush=True)
            continue
        rng = np.random.default_rng([args.seed, zlib.crc32(name.encode())])
        samples = inside_samples(ref.model, rng, 40)
        samples += towards_neutral(ref.model, samples, rng)
        for margin in args.margins:
            t0 = time.perf_counter()
            ref.margin = margin
            edges, contacts = motions_of(ref, samples, rng, args.edges, args.paths, args.budget)
            edges += thin_edges(ref.model, contacts, rng)
            robot = talvex.RobotModel()
            robot.build_from_urdf(str(urdf), str(SHARE), str(srdf) if srdf else "", margin)
            row = dict.fromkeys(totals, 0)
            for q0, q1 in edges:
                q0 = pin.normalize(ref.model, q0)
                q1 = pin.normalize(ref.model, q1)
                collides = dense_collides(robot, ref.model, q0, q1, args.dense)
                proof = motion.edge_certified(robot, q0, q1)
                row["motions"] += 1
                row["dense free"] += not collides
                row["certified free"] += proof.status == "free"
                unproven = (not collides) and proof.status == "unproven"
                row["unproven"] += unproven
                row["near"] += unproven and comes_near(robot, ref.model, q0, q1, margin)
                row["unsound"] += collides and proof.status == "free"
                if collides and motion.edge_free(robot, q0, q1, step=0.01):
                    row["thin"] += 1
                    row["thin caught"] += proof.status != "free"
            for key in totals:
                totals[key] += row[key]
            mine = per_robot.setdefault(name, dict.fromkeys(totals, 0))
            for key in totals:
                mine[key] += row[key]
            print(f"{name:48s} {margin:6.3f} {row['motions']:4d} free {row['dense free']:3d} "
                  f"proven {row['certified free']:3d} unproven {row['unproven']:3d} "
                  f"(near {row['near']}) "
                  f"unsound {row['unsound']} thin {row['thin']}/{row['thin caught']} "
                  f"{time.perf_counter() - t0:6.1f} s", flush=True)
    worst = max((((r["unproven"] - r["near"]) / r["dense free"], n)
                 for n, r in per_robot.items() if r["dense free"]), default=(0.0, "-"))
    print(f"SUMMARY: {len(per_robot)} robots, {totals['motions']} motions, "
          f"{totals['dense free']} free by dense sampling, {totals['certified free']} proven "
          f"free, {totals['unproven']} unproven, of which {totals['near']} come within 1e-4 m of the "
          f"margin; the others {(totals['unproven'] - totals['near']) / max(1, totals['dense free']):.2%}"
          f" of the free (worst robot {worst[1]} {worst[0]:.2%}), {totals['unsound']} unsound, "
          f"{totals['thin']} thin collisions of which {totals['thin caught']} caught, "
          f"{time.perf_counter() - start:.0f} s")
    return 1 if totals["unsound"] or totals["thin caught"] < totals["thin"] else 0


if __name__ == "__main__":
    sys.exit(main())
