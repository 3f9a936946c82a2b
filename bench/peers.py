"""Cost per query of talvex against the libraries a user would pick instead.

On the Panda of example-robot-data with its SRDF and margin 0.005, three queries
are timed for talvex and for every peer that installs and imports here:

- pose: one frame's pose (panda_hand) as a 4x4 array;
- all_poses: a dict link name -> 4x4 array for every link the peer knows;
- self_collision: yes/no, with the SRDF's pairs left out and the margin applied
  where the peer can.

Before timing, every peer is checked against talvex on the same seeded in-limit
configurations: the largest difference of the hand pose, of the link poses they
share, and the collision verdicts, with every disagreement traced to the pair of
links and the distances each side sees. Peers are interleaved round by round in
one process pinned to one core, on the same configurations; each figure is the
median of the rounds and each ratio the median of the per-round ratios to talvex.

The peers are optional (bench/requirements-peers.txt); a missing one is
reported, not fatal. Run from the repository root; see bench/README.md.
"""

import argparse
import json
import os
import pathlib
import re
import statistics
import sys
import time
import xml.etree.ElementTree as ET

import numpy as np
import pinocchio as pin

from bench import MARGIN, SHARE, Robot, ns_per_call, versions

FRAME = "panda_hand"
QUERIES = ("pose", "all_poses", "self_collision")
# Farther than any two links of the arm can be: distance queries up to it see every pair.
REACH = 3.0
PEER_DISTS = ("drake", "pybullet", "pytorch-kinematics", "torch", "yourdfpy", "trimesh",
              "tinyfk")


def srdf_disabled_pairs(srdf_path):
    root = ET.parse(srdf_path).getroot()
    return {frozenset((d.get("link1"), d.get("link2"))) for d in root.iter("disable_collisions")}


def kept_link_pairs(robot):
    """The link pairs talvex tests, from its geometry pairs (one entry per link pair)."""
    gm, model = robot.geom_model, robot.model

    def link(k):
        return model.frames[gm.geometryObjects[k].parentFrame].name

    return sorted({tuple(sorted((link(p.first), link(p.second)))) for p in gm.collisionPairs})


def pair_kinds(robot):
    """Link pair -> "mesh-box" when a box is among its geometries, else "mesh-mesh"."""
    gm, model, kinds = robot.geom_model, robot.model, {}
    for pair in gm.collisionPairs:
        objs = [gm.geometryObjects[k] for k in (pair.first, pair.second)]
        links = tuple(sorted(model.frames[o.parentFrame].name for o in objs))
        box = any(type(o.geometry).__name__ == "Box" for o in objs)
        kinds[links] = "mesh-box" if box or kinds.get(links) == "mesh-box" else "mesh-mesh"
    return kinds


def pose_from_quaternion(position, quaternion, pb):
    pose = np.eye(4)
    pose[:3, :3] = np.reshape(pb.getMatrixFromQuaternion(quaternion), (3, 3))
    pose[:3, 3] = position
    return pose


class Talvex:
    name = "talvex"
    notes = {}

    def __init__(self, robot):
        self.robot = robot
        self.configs = robot.configs

    def load(self):
        return self.robot.new_talvex()

    def setup(self):
        tv = self.robot.tv
        self.pose = lambda q: tv.forward_kinematics(q, FRAME)
        self.all_poses = tv.all_frame_transforms
        self.self_collision = tv.has_self_collision

    def pair_distances(self, q):
        """Least distance per link pair (over their geometry pairs), coal's figure."""
        r = self.robot
        pin.computeDistances(r.model, r.data, r.geom_model, r.geom_data, q)
        out = {}
        for k, pair in enumerate(r.geom_model.collisionPairs):
            links = tuple(sorted(
                r.model.frames[r.geom_model.geometryObjects[g].parentFrame].name
                for g in (pair.first, pair.second)))
            d = r.geom_data.distanceResults[k].min_distance
            out[links] = min(out.get(links, np.inf), d)
        return out


class CoalHulls:
    """Not a peer: coal's distance between the convex hulls of talvex's own meshes.

    A third opinion where a peer and talvex disagree: it tells a difference made
    by taking hulls for meshes from any other.
    """
    name = "coal hulls"

    def __init__(self, robot):
        import coal
        self.robot, self.coal = robot, coal
        gm = robot.geom_model
        for obj in gm.geometryObjects:
            if hasattr(obj.geometry, "buildConvexRepresentation"):
                obj.geometry.buildConvexRepresentation(False)
        self.shapes = [getattr(o.geometry, "convex", None) or o.geometry
                       for o in gm.geometryObjects]

    def pair_distances(self, q):
        r, coal = self.robot, self.coal
        pin.updateGeometryPlacements(r.model, r.data, r.geom_model, r.geom_data, q)
        place = [coal.Transform3s(m.rotation, m.translation) for m in r.geom_data.oMg]
        out = {}
        for pair in r.geom_model.collisionPairs:
            a, b = pair.first, pair.second
            links = tuple(sorted(r.model.frames[r.geom_model.geometryObjects[g].parentFrame].name
                                 for g in (a, b)))
            d = coal.distance(self.shapes[a], place[a], self.shapes[b], place[b],
                              coal.DistanceRequest(), coal.DistanceResult())
            out[links] = min(out.get(links, np.inf), d)
        return out


class Drake:
    name = "drake"

    def __init__(self, robot, workdir):
        from pydrake.common import Parallelism  # noqa: F401 (fails early when absent)
        self.robot = robot
        self.urdf = self.obj_copy(robot.urdf, workdir)
        self.disabled = srdf_disabled_pairs(robot.srdf)
        self.configs = robot.configs  # same joint order (checked in setup)
        self.notes = {
            "self_collision": "meshes as convex hulls (Drake's distance queries); STL "
                              "converted to OBJ; SRDF pairs filtered; padding 0.005",
        }

    @staticmethod
    def obj_copy(urdf, workdir):
        """Drake 1.51 reads no STL: a copy of the URDF whose collision meshes are OBJ."""
        import trimesh
        workdir = workdir.resolve()  # the URDF names the meshes by absolute path
        workdir.mkdir(parents=True, exist_ok=True)

        def to_obj(match):
            src = SHARE / match.group(1)
            dst = workdir / (src.stem + ".obj")
            if not dst.exists():
                trimesh.load(src, force="mesh").export(dst)
            return f'filename="{dst}"'

        text = re.sub(r'filename="package://([^"]+\.stl)"', to_obj, pathlib.Path(urdf).read_text())
        out = workdir / "panda_obj.urdf"
        out.write_text(text)
        return str(out)

    def load(self):
        from pydrake.common import Parallelism
        from pydrake.planning import RobotDiagramBuilder, SceneGraphCollisionChecker
        builder = RobotDiagramBuilder(time_step=0.0)
        parser = builder.parser()
        parser.package_map().Add("example-robot-data", str(SHARE / "example-robot-data"))
        (instance,) = parser.AddModels(self.urdf)
        plant = builder.plant()
        plant.WeldFrames(plant.world_frame(), plant.GetFrameByName("panda_link0"))
        checker = SceneGraphCollisionChecker(
            model=builder.Build(), robot_model_instances=[instance], edge_step_size=0.05,
            self_collision_padding=MARGIN, env_collision_padding=MARGIN,
            implicit_context_parallelism=Parallelism(1))
        plant = checker.plant()
        for pair in self.disabled:
            a, b = sorted(pair)
            checker.SetCollisionFilteredBetween(plant.GetBodyByName(a), plant.GetBodyByName(b),
                                                True)
        return checker

    def setup(self):
        import logging
        logging.getLogger("drake").setLevel(logging.ERROR)  # URDF tags it ignores
        self.checker = checker = self.load()
        self.plant = plant = checker.plant()
        order = sorted((j.position_start(), j.name()) for j in
                       (plant.get_joint(i) for i in plant.GetJointIndices()) if j.num_positions())
        assert [n for _, n in order] == self.robot.tv.joint_names(), order
        self.context = context = plant.CreateDefaultContext()
        hand = plant.GetBodyByName(FRAME)
        bodies = [plant.get_body(i) for i in plant.GetBodyIndices(plant.GetModelInstanceByName(
            "panda"))]
        set_positions, body_pose = plant.SetPositions, plant.EvalBodyPoseInWorld

        def pose(q):
            set_positions(context, q)
            return body_pose(context, hand).GetAsMatrix4()

        def all_poses(q):
            set_positions(context, q)
            return {b.name(): body_pose(context, b).GetAsMatrix4() for b in bodies}

        free = checker.CheckConfigCollisionFree
        self.pose, self.all_poses = pose, all_poses
        self.self_collision = lambda q: not free(q)

    def pair_distances(self, q):
        """Signed distance per unfiltered body pair, as the checker sees it (convex hulls)."""
        clearance = self.checker.CalcRobotClearance(q, REACH)
        plant, out = self.plant, {}
        for a, b, d in zip(clearance.robot_indices(), clearance.other_indices(),
                           clearance.distances()):
            body_a, body_b = plant.get_body(a), plant.get_body(b)
            links = tuple(sorted((body_a.name(), body_b.name())))
            # Reported less the padding: added back, it is the distance itself.
            d += self.checker.GetPaddingBetween(body_a, body_b)
            out[links] = min(out.get(links, np.inf), d)
        return out


class PyBullet:
    name = "pybullet"

    def __init__(self, robot):
        import pybullet  # noqa: F401
        self.robot = robot
        self.configs = robot.configs
        self.notes = {
            "self_collision": "STL meshes as convex hulls (pybullet's default); talvex's "
                              "link pairs, one getClosestPoints(distance=0.005) each",
        }

    def connect(self):
        import pybullet as pb
        client = pb.connect(pb.DIRECT)
        pb.setAdditionalSearchPath(str(SHARE), physicsClientId=client)  # package:// is cut off
        return client

    def load(self):
        import pybullet as pb
        return pb.loadURDF(self.robot.urdf, useFixedBase=True, physicsClientId=self.client)

    def setup(self):
        import pybullet as pb
        self.client = client = self.connect()
        self.body = body = self.load()
        index = {pb.getJointInfo(body, j, physicsClientId=client)[12].decode(): j
                 for j in range(pb.getNumJoints(body, physicsClientId=client))}
        index[pb.getBodyInfo(body, physicsClientId=client)[0].decode()] = -1
        self.link_index = index
        joint_of = {pb.getJointInfo(body, j, physicsClientId=client)[1].decode(): j
                    for j in range(pb.getNumJoints(body, physicsClientId=client))}
        joints = [joint_of[n] for n in self.robot.tv.joint_names()]
        links = sorted((j, n) for n, j in index.items() if j >= 0)
        link_ids = [j for j, _ in links]
        base = pb.getBodyInfo(body, physicsClientId=client)[0].decode()
        hand = index[FRAME]
        self.pairs = [(index[a], index[b]) for a, b in kept_link_pairs(self.robot)]
        pairs = self.pairs
        reset, link_state, link_states = (pb.resetJointStatesMultiDof, pb.getLinkState,
                                          pb.getLinkStates)
        closest = pb.getClosestPoints
        # The base's reported pose is that of its centre of mass, not of its link frame.
        com = pb.getBasePositionAndOrientation(body, physicsClientId=client)
        inertial = pb.getDynamicsInfo(body, -1, physicsClientId=client)[3:5]
        base_pose = pose_from_quaternion(*pb.multiplyTransforms(
            *com, *pb.invertTransform(*inertial)), pb)
        names = [n for _, n in links]

        def set_q(q):
            reset(body, joints, [[v] for v in q.tolist()], physicsClientId=client)

        def pose(q):
            set_q(q)
            s = link_state(body, hand, computeForwardKinematics=True, physicsClientId=client)
            return pose_from_quaternion(s[4], s[5], pb)

        def all_poses(q):
            set_q(q)
            states = link_states(body, link_ids, computeForwardKinematics=True,
                                 physicsClientId=client)
            out = {base: base_pose.copy()}
            for n, s in zip(names, states):
                out[n] = pose_from_quaternion(s[4], s[5], pb)
            return out

        def self_collision(q):
            set_q(q)
            for a, b in pairs:
                if closest(body, body, MARGIN, a, b, physicsClientId=client):
                    return True
            return False

        self.set_q = set_q
        self.pose, self.all_poses, self.self_collision = pose, all_poses, self_collision

    def pair_distances(self, q):
        import pybullet as pb
        self.set_q(q)
        name = {j: n for n, j in self.link_index.items()}
        out = {}
        for a, b in self.pairs:
            points = pb.getClosestPoints(self.body, self.body, REACH, a, b,
                                         physicsClientId=self.client)
            out[tuple(sorted((name[a], name[b])))] = min((p[8] for p in points), default=np.inf)
        return out


class PytorchKinematics:
    name = "pytorch_kinematics"

    def __init__(self, robot, batch):
        import pytorch_kinematics  # noqa: F401
        import pytorch_kinematics.urdf_parser_py.xml_reflection.core as xml_core
        import torch
        # Its parser prints a line per URDF attribute it does not know (Panda has 28).
        xml_core.on_error = lambda message: None
        torch.set_num_threads(1)  # pinned to one core: no pool to wake
        self.robot = robot
        self.batch = batch
        self.notes = {"self_collision": "no collision query (kinematics only)"}

    def load(self):
        import pytorch_kinematics as pk
        import torch
        with open(self.robot.urdf, "rb") as f:
            return pk.build_chain_from_urdf(f.read()).to(dtype=torch.float64)

    def setup(self):
        import torch
        self.chain = chain = self.load()
        assert chain.get_joint_parameter_names() == self.robot.tv.joint_names()
        self.configs = [torch.tensor(q, dtype=torch.float64).reshape(1, -1)
                        for q in self.robot.configs]
        hand = chain.get_frame_indices(FRAME)
        fk = chain.forward_kinematics

        def pose(q):
            return fk(q, frame_indices=hand)[FRAME].get_matrix()[0].numpy()

        def all_poses(q):
            return {n: t.get_matrix()[0].numpy() for n, t in fk(q).items()}

        self.pose, self.all_poses = pose, all_poses
        self.batch_configs = torch.tensor(np.array(self.robot.configs[:self.batch]),
                                          dtype=torch.float64)

        def pose_batch(qs):
            return fk(qs, frame_indices=hand)[FRAME].get_matrix().numpy()

        def all_poses_batch(qs):
            return {n: t.get_matrix().numpy() for n, t in fk(qs).items()}

        self.pose_batch, self.all_poses_batch = pose_batch, all_poses_batch


class Yourdfpy:
    name = "yourdfpy"

    def __init__(self, robot):
        import yourdfpy  # noqa: F401
        self.robot = robot
        self.notes = {
            "self_collision": "no collision query (its trimesh scene needs python-fcl and "
                              "makes no pair list)",
            "all_poses": "panda_finger_joint2 follows its <mimic> (8 coordinates)",
        }

    def load(self):
        import yourdfpy
        return yourdfpy.URDF.load(self.robot.urdf, build_scene_graph=True, load_meshes=False,
                                  build_collision_scene_graph=False,
                                  load_collision_meshes=False)

    def setup(self):
        self.urdf = urdf = self.load()
        names = self.robot.tv.joint_names()
        # It drives mimic joints itself, so it takes the coordinates of the others only.
        keep = [names.index(n) for n in urdf.actuated_joint_names]
        self.configs = [q[keep] for q in self.robot.configs]
        update, transform, links = urdf.update_cfg, urdf.get_transform, list(urdf.link_map)

        def pose(q):
            update(q)
            return transform(FRAME)

        def all_poses(q):
            update(q)
            return {n: transform(n) for n in links}

        self.pose, self.all_poses = pose, all_poses


def tinyfk_unavailable():
    """tinyfk did not build on CPython 3.11 (docs/benchmarks.md): it is reported, not timed."""
    import tinyfk  # noqa: F401  (the ImportError is the report where it is absent)
    raise RuntimeError("tinyfk imports here, but peers.py has no runner for it yet")


def make_peers(robot, args, failures):
    makers = {
        "drake": lambda: Drake(robot, pathlib.Path(args.out) / "drake-meshes"),
        "pybullet": lambda: PyBullet(robot),
        "pytorch_kinematics": lambda: PytorchKinematics(robot, args.batch),
        "yourdfpy": lambda: Yourdfpy(robot),
        "tinyfk": tinyfk_unavailable,
    }
    peers = []
    for name in args.peers:
        try:
            peer = makers[name]()
            peer.setup()
            peers.append(peer)
        except Exception as error:  # an absent or broken peer is reported, not fatal
            failures[name] = f"{type(error).__name__}: {error}"
            print(f"{name}: not benchmarked: {failures[name]}", file=sys.stderr)
    return peers


def agreement(tv, peer, robot, witnesses, hulls):
    """Largest pose differences and the collision verdicts of peer against talvex.

    Where the verdicts differ, the link pairs responsible are named with the
    distance each side sees, and with the distances of the other peers
    (witnesses) that measure them, so a disagreement can be put down to its cause.
    Where the hulls are as far apart as the meshes, what is left of a difference
    in distance is the peer's own (a margin it adds, say).
    """
    out = {}
    if hasattr(peer, "pose"):
        out["pose_max_abs_diff"] = max(
            float(np.max(np.abs(tv.pose(q) - np.asarray(peer.pose(p)))))
            for q, p in zip(robot.configs, peer.configs))
    if hasattr(peer, "all_poses"):
        worst = {}
        for q, p in zip(robot.configs, peer.configs):
            mine, theirs = tv.all_poses(q), peer.all_poses(p)
            for n in set(mine) & set(theirs):
                d = float(np.max(np.abs(mine[n] - np.asarray(theirs[n]))))
                worst[n] = max(worst.get(n, 0.0), d)
        out["all_poses_max_abs_diff"] = max(worst.values())
        out["all_poses_shared_links"] = len(worst)
        out["all_poses_count"] = len(peer.all_poses(peer.configs[0]))
        out["all_poses_worst_link"] = max(worst, key=worst.get)
    if hasattr(peer, "self_collision"):
        counts = {"both": 0, "neither": 0, "talvex_only": 0, "peer_only": 0}
        pairs, gaps, same_pairs, pair_verdicts, own = {}, [], True, {}, {}
        kinds = pair_kinds(robot)
        for i, (q, p) in enumerate(zip(robot.configs, peer.configs)):
            a, b = tv.self_collision(q), peer.self_collision(p)
            counts["both" if a and b else "neither" if not (a or b) else
                   "talvex_only" if a else "peer_only"] += 1
            mine, theirs, hull = tv.pair_distances(q), peer.pair_distances(p), hulls(q)
            same_pairs &= set(mine) == set(theirs)
            # Verdicts per pair: another pair that collides can hide a difference here.
            for k in mine:
                if (mine[k] < MARGIN) != (theirs.get(k, np.inf) < MARGIN):
                    side = "talvex" if mine[k] < MARGIN else "peer"
                    pair_verdicts.setdefault((" / ".join(k), side), []).append(i)
            # Separated pairs only: coal reports no depth for meshes that overlap.
            for k in mine:
                if k in theirs and 0 < mine[k] < 0.05:
                    gaps.append((theirs[k] - mine[k], k, i, mine[k], theirs[k], hull[k]))
                    if abs(hull[k] - mine[k]) < 1e-6:
                        own.setdefault(kinds[k], []).append(theirs[k] - mine[k])
            if a != b:
                others = {w.name: w.pair_distances(q) for w in witnesses if w is not peer}
                explain(i, mine, theirs, others, pairs)
        out["collision"] = counts
        out["collision_agree"] = counts["both"] + counts["neither"]
        out["same_pair_list"] = same_pairs
        out["pair_verdicts_differ"] = {  # configurations where each pair's verdict differs
            f"{k} (collides for {side} only)": configs for (k, side), configs in
            sorted(pair_verdicts.items(), key=lambda kv: -len(kv[1]))}
        # Peer's distance minus talvex's, over pairs that talvex sees 0 to 5 cm apart.
        values = [g[0] for g in gaps]

        def case(g):
            return {"pair": " / ".join(g[1]), "config": g[2], "talvex": g[3], "peer": g[4],
                    "coal_hulls": g[5]}

        off = [case(g) for g in gaps if abs(g[0]) > 1e-3]
        out["distance_gap_m"] = {"median": float(np.median(values)), "min": min(values),
                                 "max": max(values), "n": len(values),
                                 # The cases themselves when few, else how many.
                                 "off_by_over_1mm": off if len(off) <= 10 else len(off),
                                 "most_below": case(min(gaps)), "most_above": case(max(gaps))}
        # Same, where the hulls are as far apart as the meshes, by kind of pair.
        out["gap_where_hulls_are_meshes_m"] = {
            kind: {"median": float(np.median(v)), "min": min(v), "max": max(v), "n": len(v)}
            for kind, v in sorted(own.items())}
        out["disagreeing_pairs"] = {f"{a} / {b}": v for (a, b), v in
                                    sorted(pairs.items(), key=lambda kv: -len(kv[1]))}
    return out


def explain(index, mine, theirs, others, pairs):
    """Record the link pairs whose verdicts differ at one configuration, with every distance."""
    for links in sorted(set(mine) | set(theirs)):
        d_tv, d_peer = mine.get(links, np.inf), theirs.get(links, np.inf)
        if (d_tv < MARGIN) != (d_peer < MARGIN):
            seen = {"config": index, "talvex": d_tv, "peer": d_peer}
            seen.update({name: d.get(links, np.inf) for name, d in others.items()})
            pairs.setdefault(links, []).append(
                {k: v if k == "config" else float(v) for k, v in seen.items()})


def load_times(peers, count):
    out = {}
    for peer in peers:
        times = []
        for _ in range(count):
            start = time.perf_counter()
            peer.load()
            times.append(time.perf_counter() - start)
        out[peer.name] = statistics.median(times)
    return out


def sweeps(peers, calls):
    """(row, query) -> (sweep, calls per sweep) for every peer that has the query."""
    rows = {}
    for peer in peers:
        configs = peer.configs[:calls]
        for query in QUERIES:
            f = getattr(peer, query, None)
            if f is not None:
                rows[(peer.name, query)] = (lambda f=f, c=configs: [f(q) for q in c], len(configs))
        for query in ("pose", "all_poses"):
            f = getattr(peer, query + "_batch", None)
            if f is not None:
                qs = peer.batch_configs
                rows[(f"{peer.name} (batch {len(qs)})", query)] = (lambda f=f, qs=qs: f(qs),
                                                                    len(qs))
    return rows


def time_interleaved(rows, rounds, target_ms):
    """Round by round, every row once (the order turning each round); medians over rounds."""
    repeat = {}
    for key, (sweep, calls) in rows.items():
        sweep()  # warm up
        once = ns_per_call(sweep, calls, 1) * calls
        repeat[key] = max(1, int(target_ms * 1e6 / once))
    keys = list(rows)
    samples = {key: [] for key in keys}
    for r in range(rounds):
        shift = r % len(keys)
        for key in keys[shift:] + keys[:shift]:
            sweep, calls = rows[key]
            samples[key].append(ns_per_call(sweep, calls, repeat[key]))
    results = {}
    for (name, query), values in samples.items():
        base = samples[("talvex", query)]
        results.setdefault(name, {})[query] = {
            "ns": statistics.median(values),
            "over_talvex": statistics.median(v / t for v, t in zip(values, base)),
        }
    return results


def fmt_ns(ns):
    return f"{ns:,.0f}" if ns >= 100 else f"{ns:.1f}"


def table(results):
    peers = results["peers"]
    lines = ["| library | pose ns | ×talvex | all_poses ns | ×talvex | self_collision ns | "
             "×talvex | load ms |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for name, row in results["timings"].items():
        base = name.split(" (")[0]
        cells = []
        for query in QUERIES:
            r = row.get(query)
            if r is None:
                why = peers.get(base, {}).get("notes", {}).get(query, "not asked in batch")
                cells += [f"— ({why})", ""]
            else:
                cells += [fmt_ns(r["ns"]), f"{r['over_talvex']:.2f}"]
        load = results["load_s"].get(name)
        cells.append(f"{load * 1e3:.1f}" if load is not None else "")
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    for name, error in results["failures"].items():
        lines.append(f"| {name} | — (not installed: see below) |  | — |  | — |  | — |")
    return "\n".join(lines)


def agreement_table(results):
    lines = ["| library | hand pose, max abs diff | link poses shared / returned, max abs diff | "
             "collision: both / neither / talvex only / peer only (agree) |",
             "|---|---:|---|---|"]
    for name, a in results["agreement"].items():
        c = a.get("collision")
        lines.append(
            f"| {name} | {a.get('pose_max_abs_diff', float('nan')):.1e} | "
            f"{a.get('all_poses_shared_links', 0)} / {a.get('all_poses_count', 0)}, "
            f"{a.get('all_poses_max_abs_diff', float('nan')):.1e} | "
            + (f"{c['both']} / {c['neither']} / {c['talvex_only']} / {c['peer_only']} "
               f"({a['collision_agree']}/{sum(c.values())})" if c else "—") + " |")
    return "\n".join(lines)


def plot(results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(results["timings"])
    fig, axes = plt.subplots(1, len(QUERIES), figsize=(4.5 * len(QUERIES), 4.5))
    for ax, query in zip(axes, QUERIES):
        timed = results["timings"]
        shown = [(n, timed[n][query]["ns"]) for n in names if query in timed[n]]
        colors = ["tab:red" if n == "talvex" else "tab:blue" for n, _ in shown]
        bars = ax.bar(range(len(shown)), [v for _, v in shown], color=colors)
        ax.bar_label(bars, labels=[f"{fmt_ns(v)}\n×{timed[n][query]['over_talvex']:.2f}"
                                   for n, v in shown], fontsize=7, padding=2)
        ax.set_xticks(range(len(shown)), [n.replace(" (", "\n(") for n, _ in shown],
                      rotation=30, ha="right", fontsize=8)
        ax.set_yscale("log")
        ax.set_ylim(bottom=min(v for _, v in shown) / 3, top=max(v for _, v in shown) * 4)
        ax.set_title(query)
        ax.set_ylabel("ns per call (per configuration for a batch), log")
        ax.grid(axis="y", which="both", alpha=0.3)
    load = ", ".join(f"{v:.2f}" for v in results["load_average_before_timing"])
    fig.suptitle("Panda with SRDF, margin 0.005: cost per call (×talvex below), lower is "
                 f"better; one core, load average {load}")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def peer_versions():
    from importlib import metadata
    out = {}
    for dist in PEER_DISTS:
        try:
            out[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            out[dist] = "absent"
    return out


def loop(args):
    """Call one query of one library over the configurations until time is up."""
    name, query = args.loop.split(":")
    robot = Robot("panda", args.calls, seed=0)
    robot.frame = FRAME
    if name == "talvex":
        peer = Talvex(robot)
        peer.setup()
    else:
        args.peers = [name]
        (peer,) = make_peers(robot, args, {})
    f, configs = getattr(peer, query), peer.configs
    calls, end = 0, time.perf_counter() + args.loop_s
    while time.perf_counter() < end:
        for q in configs:
            f(q)
        calls += len(configs)
    print(f"{name} {query}: {calls} calls", file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--peers", nargs="+",
                        default=["drake", "pybullet", "pytorch_kinematics", "yourdfpy", "tinyfk"])
    parser.add_argument("--configs", type=int, default=1000,
                        help="seeded in-limit configurations for the agreement checks")
    parser.add_argument("--calls", type=int, default=100, help="configurations per timed sweep")
    parser.add_argument("--batch", type=int, default=1000, help="batch size for batched peers")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--sample-ms", type=float, default=20.0)
    parser.add_argument("--loads", type=int, default=5, help="loads per library for the load time")
    parser.add_argument("--cpu", type=int, default=os.cpu_count() - 1, help="core to pin to")
    parser.add_argument("--out", default="build/bench-out")
    parser.add_argument("--plot", help="PNG for the plot (default: OUT/peers.png)")
    parser.add_argument("--loop", metavar="LIBRARY:QUERY",
                        help="only call this query for --loop-s seconds, for a profiler")
    parser.add_argument("--loop-s", type=float, default=10.0)
    args = parser.parse_args()

    os.sched_setaffinity(0, {args.cpu})
    if args.loop:
        return loop(args)
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    results = {"machine": versions(), "peer_versions": peer_versions(), "cpu_pinned": args.cpu,
               "configs": args.configs, "calls": args.calls, "rounds": args.rounds}

    robot = Robot("panda", args.configs, seed=0)
    robot.frame = FRAME
    assert all(robot.tv.in_joint_limits(q) for q in robot.configs)
    tv = Talvex(robot)
    tv.setup()
    failures = {}
    peers = make_peers(robot, args, failures)
    results["failures"] = failures
    results["peers"] = {p.name: {"notes": p.notes} for p in peers}
    results["kept_link_pairs"] = [" / ".join(p) for p in kept_link_pairs(robot)]
    results["colliding_configs"] = sum(tv.self_collision(q) for q in robot.configs)

    hulls = CoalHulls(robot)
    witnesses = [p for p in peers if hasattr(p, "pair_distances")] + [hulls]
    results["agreement"] = {p.name: agreement(tv, p, robot, witnesses, hulls.pair_distances)
                            for p in peers}
    if any(isinstance(p, PytorchKinematics) for p in peers):
        pk = next(p for p in peers if isinstance(p, PytorchKinematics))
        batch = pk.pose_batch(pk.batch_configs)
        results["agreement"][pk.name]["batch_pose_max_abs_diff"] = max(
            float(np.max(np.abs(tv.pose(q) - m))) for q, m in zip(robot.configs, batch))

    results["load_s"] = load_times([tv] + peers, args.loads)
    rows = sweeps([tv] + peers, args.calls)
    results["load_average_before_timing"] = os.getloadavg()
    results["timings"] = time_interleaved(rows, args.rounds, args.sample_ms)
    results["machine"]["load_average_after"] = os.getloadavg()

    (out / "peers.json").write_text(json.dumps(results, indent=2, default=str))
    plot(results, args.plot or out / "peers.png")
    print(table(results))
    print()
    print(agreement_table(results))
    for name, a in results["agreement"].items():
        for pair, seen in a.get("disagreeing_pairs", {}).items():
            for distances in seen:
                print(f"{name} disagrees on {pair} at configuration {distances['config']}: "
                      "distances (m) " + ", ".join(f"{k} {v:.5f}" for k, v in distances.items()
                                                   if k != "config"))
        if "distance_gap_m" in a:
            print(f"{name}: pair distance minus talvex's (pairs 0 to 5 cm apart): "
                  f"{a['distance_gap_m']}; same pair list: {a['same_pair_list']}")
            print(f"{name}: same, where hulls and meshes are as far apart: "
                  f"{a['gap_where_hulls_are_meshes_m']}")
            print(f"{name}: pair verdicts that differ: {a['pair_verdicts_differ']}")
        if "all_poses_worst_link" in a:
            print(f"{name}: worst link pose: {a['all_poses_worst_link']}")
    for name, error in failures.items():
        print(f"{name}: {error}")
    print(f"load average before {results['machine']['load_average_before']}, before timing "
          f"{results['load_average_before_timing']}, "
          f"after {results['machine']['load_average_after']}")


if __name__ == "__main__":
    main()
