#!/usr/bin/env python3
"""Coverage-guided fuzzing of RobotModel.build_from_urdf and every query, with atheris.

Each input is turned into a URDF text and an SRDF text (or a bad SRDF path),
written to a scratch directory and built; a model that builds is asked every
query at its neutral, random, NaN and infinite configurations, at wrong
lengths, with frame names from the model and made-up ones. A failure must be a
Python exception of an expected class (never pybind11's "Caught an unknown
exception!"), and the answers must agree with each other; anything else, and
any native crash, is a finding. See README.md beside this file.

The first byte of an input chooses how the rest is read:

    0, 1  mutate a seed robot (tests/data, the bad-input corpus, example-robot-data):
          bytes 1-2 pick the seed, the rest drives atheris.FuzzedDataProvider
          through attribute, number, element, splice, depth and mesh mutations
    2     grow a tree from scratch (depth, branching, joint and geometry kinds)
    3     raw: the rest is the URDF text itself, optionally followed by
          SEPARATOR and the SRDF text

    python fuzz_build.py --make-corpus DIR       # write the seed corpus
    python fuzz_build.py [libFuzzer flags] DIR   # fuzz, corpus in DIR
"""
import collections
import copy
import ctypes
import faulthandler
import math
import os
import pathlib
import re
import shutil
import sys
import tempfile
import xml.etree.ElementTree as ET

import atheris

HERE = pathlib.Path(__file__).resolve().parent
TESTS = HERE.parent
DATA = TESTS / "data"
sys.path.insert(0, str(TESTS))

with atheris.instrument_imports():
    import hardening_cases as hc

import numpy as np
import pinocchio

import talvex

SEPARATOR = b"\x00--SRDF--\x00"
MODE_RAW = 3
EXPECTED = (ValueError, RuntimeError, TypeError, UnicodeDecodeError)
UNKNOWN = "Caught an unknown exception"
READINESS = "RobotModel: call build_from_urdf() before using this object."
# Pinocchio's work data grows with the cube of the moving joints (docs/hardening.md):
# more than this many would only measure the allocator, or get the fuzzer OOM-killed.
MAX_MOVING_JOINTS = 120
MOVING = re.compile(rb"""type\s*=\s*["'](?:revolute|continuous|prismatic|floating|planar|spherical)""")
MAX_TEXT = 2_000_000
# ElementTree serialises recursively in Python; the buried elements are up to
# 6000 levels deep (Python-to-Python calls do not use the C stack in 3.11).
sys.setrecursionlimit(30_000)

# example-robot-data robots used as seeds: small and middle-sized ones whose build
# takes well under a second, so they do not starve the rest of the campaign.
ERD_ROBOTS = [
    ("panda_description/urdf/panda.urdf", "panda_description/srdf/panda.srdf"),
    ("ur_description/urdf/ur5_robot.urdf", "ur_description/srdf/ur5.srdf"),
    ("ur_description/urdf/ur5_gripper.urdf", "ur_description/srdf/ur5_gripper.srdf"),
    ("kinova_description/robots/kinova.urdf", "kinova_description/srdf/kinova.srdf"),
    ("iiwa_description/urdf/iiwa.urdf", ""),
    ("solo_description/robots/solo12.urdf", "solo_description/srdf/solo.srdf"),
    ("z1_description/urdf/z1.urdf", "z1_description/srdf/z1.srdf"),
    ("a1_description/urdf/a1.urdf", "a1_description/srdf/a1.srdf"),
    ("anymal_c_simple_description/urdf/anymal.urdf", "anymal_c_simple_description/srdf/anymal.srdf"),
    ("xarm_description/urdf/xarm7.urdf", "xarm_description/srdf/xarm7.srdf"),
    ("hyq_description/robots/hyq_no_sensors.urdf", "hyq_description/srdf/hyq.srdf"),
    ("talos_data/robots/talos_reduced.urdf", "talos_data/srdf/talos.srdf"),
]

NUMBERS = ["0", "-0", "1", "-1", "0.5", "nan", "-nan", "NaN", "inf", "-inf", "Infinity", "1e400",
           "-1e400", "1e308", "-1e308", "4.9e-324", "1e-300", "0x10", "1,5", "1 2", "1 2 3",
           "1 2 3 4", " ", "", "abc", "+1", "1e", ".", "1.5.5", "9" * 400, "1 nan 0",
           "0 0 0", "0 0 1e-300", "-1 -1 -1", "1e10 1e10 1e10", "3.14159265358979"]
ATTRIBUTES = ["name", "type", "link", "xyz", "rpy", "size", "radius", "length", "filename", "scale",
              "lower", "upper", "effort", "velocity", "value", "joint", "multiplier", "offset",
              "link1", "link2", "reason", "ixx", "iyy", "izz", "ixy", "ixz", "iyz", "version"]
TAGS = ["link", "joint", "collision", "visual", "geometry", "box", "sphere", "cylinder", "mesh",
        "capsule", "origin", "axis", "limit", "parent", "child", "mimic", "inertial", "mass",
        "inertia", "dynamics", "safety_controller", "calibration", "material", "transmission",
        "gazebo", "disable_collisions", "group", "robot"]
JOINT_TYPES = ["revolute", "continuous", "prismatic", "fixed", "floating", "planar", "spherical",
               "wobbly", "", "REVOLUTE"]
MESH_EXTENSIONS = ["stl", "obj", "dae", "ply", "off", "STL", "xyz"]


def _find_erd_share():
    import importlib.metadata
    try:
        return pathlib.Path(importlib.metadata.distribution("example-robot-data")
                            .locate_file("cmeel.prefix/share"))
    except importlib.metadata.PackageNotFoundError:
        return None


class Seed:
    def __init__(self, name, urdf, srdf=""):
        self.name, self.urdf, self.srdf = name, urdf, srdf


def load_seeds(erd_share):
    """Every seed robot, in a fixed order (corpus entries refer to seeds by index)."""
    seeds = []
    pair_srdf = (DATA / "pair.srdf").read_text()
    for path in sorted(DATA.glob("*.urdf")):
        srdf = pair_srdf if path.stem in ("pair", "mesh_pair") else ""
        seeds.append(Seed(path.stem, path.read_text(), srdf))
    seeds.append(Seed("arm", hc.ARM_URDF, hc.ARM_SRDF))
    seeds.append(Seed("rigid", hc.RIGID_URDF))
    for cid, text in sorted(hc.STRUCTURAL.items()):
        if text is not None and len(text) < 100_000:
            seeds.append(Seed("hardening-" + cid, text, hc.ARM_SRDF))
    seeds.append(Seed("chain-300", hc.chain_urdf(300, every_geom=10, moving_every=10)))
    seeds.append(Seed("star-300", hc.star_urdf(300, every_geom=10, moving_every=10)))
    robots = erd_share / "example-robot-data" / "robots" if erd_share else None
    for urdf, srdf in ERD_ROBOTS:
        if robots is None or not (robots / urdf).is_file():
            continue
        srdf_text = (robots / srdf).read_text() if srdf and (robots / srdf).is_file() else ""
        seeds.append(Seed("erd-" + pathlib.Path(urdf).stem, (robots / urdf).read_text(), srdf_text))
    return seeds


def existing_meshes(erd_share):
    """package:// URIs of real meshes (ours and a few small ones of example-robot-data)."""
    uris = ["package://talvex_test/meshes/cube.stl"]
    if erd_share:
        robots = erd_share / "example-robot-data" / "robots"
        found = {}
        for path in sorted(robots.rglob("*")):
            ext = path.suffix.lower()
            if ext in (".stl", ".dae", ".obj") and path.is_file() and path.stat().st_size < 300_000:
                found.setdefault(ext, []).append(path)
        for ext in sorted(found):
            for path in sorted(found[ext], key=lambda p: (p.stat().st_size, str(p)))[:4]:
                uris.append("package://" + str(path.relative_to(erd_share)))
    return uris


class Scratch:
    """A package directory that resolves our meshes, example-robot-data's and fuzzed ones."""

    def __init__(self, erd_share):
        base = pathlib.Path("/dev/shm" if os.access("/dev/shm", os.W_OK) else tempfile.gettempdir())
        # libFuzzer ends a process with exit(), past Python's clean-up, and fork mode
        # starts a process per job: each one clears the directories of dead ones.
        for old in base.glob("talvex-fuzz-*"):
            pid = old.name.rpartition("-")[2]
            if pid.isdigit() and not os.path.exists(f"/proc/{pid}"):
                shutil.rmtree(old, ignore_errors=True)
        self.root = base / f"talvex-fuzz-{os.getpid()}"
        shutil.rmtree(self.root, ignore_errors=True)
        self.root.mkdir()
        self.pkg = self.root / "pkg"
        (self.pkg / "fuzz" / "meshes").mkdir(parents=True)
        (self.pkg / "talvex_test").symlink_to(DATA / "talvex_test")
        if erd_share:
            (self.pkg / "example-robot-data").symlink_to(erd_share / "example-robot-data")
        self.urdf = self.root / "robot.urdf"
        self.srdf = self.root / "robot.srdf"
        (self.root / "adir.srdf").mkdir()
        (self.root / "wrong.xml").write_text(hc.ARM_SRDF)


ERD_SHARE = _find_erd_share()
SEEDS = load_seeds(ERD_SHARE)
MESH_URIS = existing_meshes(ERD_SHARE)
MESH_BYTES = (DATA / "talvex_test" / "meshes" / "cube.stl").read_bytes()
SCRATCH = None  # made on first use, so --make-corpus leaves nothing behind


def scratch():
    global SCRATCH
    if SCRATCH is None:
        SCRATCH = Scratch(ERD_SHARE)
    return SCRATCH


# ---------------------------------------------------------------------------
# Inputs to texts


def pick(fdp, items):
    return items[fdp.ConsumeIntInRange(0, len(items) - 1)]


def fuzz_number_text(fdp):
    if fdp.ConsumeBool():
        return pick(fdp, NUMBERS)
    count = fdp.ConsumeIntInRange(1, 4)
    return " ".join(repr(fdp.ConsumeFloat()) for _ in range(count))


def fuzz_value(fdp, names):
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind <= 1:
        return fuzz_number_text(fdp)
    if kind == 2 and names:
        return pick(fdp, names)
    if kind == 3:
        return pick(fdp, MESH_URIS + ["package://fuzz/meshes/m." + e for e in MESH_EXTENSIONS]
                    + ["package://nowhere/x.stl", "file:///dev/null", "/", "", "package://"])
    if kind == 4:
        return pick(fdp, JOINT_TYPES + list(hc.FRAME_NAMES.values())[:6])
    return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 24))


def _elements(root):
    return list(root.iter())


def _parent_map(root):
    return {child: parent for parent in root.iter() for child in parent}


def _names(root):
    return [e.get("name") for e in root.iter() if e.tag in ("link", "joint") and e.get("name")]


def _links(root):
    return [e.get("name") for e in root.iter("link") if e.get("name")]


def _new_element(fdp, names):
    element = ET.Element(pick(fdp, TAGS))
    for _ in range(fdp.ConsumeIntInRange(0, 3)):
        element.set(pick(fdp, ATTRIBUTES), fuzz_value(fdp, names))
    return element


def _chain(fdp, root, depth):
    """Hang a chain of `depth` links below a random link: depth is what the
    recursive tree readers feel."""
    links = _links(root) or ["base"]
    parent = pick(fdp, links)
    kind = pick(fdp, ["fixed", "revolute", "fixed", "prismatic", "continuous"])
    every = fdp.ConsumeIntInRange(1, 1000)
    # Pinocchio's geometry reader takes time cubic in such a chain's geometries
    # (3400 spheres: about a minute); a few dozen keep the depth and the pace.
    every = max(every, depth // 40)
    prefix = "c%d_" % fdp.ConsumeIntInRange(0, 9)
    for i in range(depth):
        name = f"{prefix}{i}"
        link = ET.SubElement(root, "link", name=name)
        if i % every == 0:
            collision = ET.SubElement(link, "collision")
            ET.SubElement(ET.SubElement(collision, "geometry"), "sphere", radius="0.01")
        joint = ET.SubElement(root, "joint", name=f"{name}_j",
                              type=kind if i % every == 0 else "fixed")
        ET.SubElement(joint, "parent", link=parent)
        ET.SubElement(joint, "child", link=name)
        ET.SubElement(joint, "origin", xyz="0 0 0.01")
        ET.SubElement(joint, "axis", xyz="0 0 1")
        ET.SubElement(joint, "limit", lower="-1", upper="1", effort="1", velocity="1")
        parent = name


def _depth(fdp):
    # Mostly shallow; sometimes around and past the stack limit of the tree readers.
    return pick(fdp, [1, 2, 5, 20, 100]) if fdp.ConsumeProbability() < 0.9 else \
        fdp.ConsumeIntInRange(1000, 6000)


def write_mesh(fdp):
    """A fuzzed mesh file under package://fuzz/meshes/: our cube, cut and flipped, or noise."""
    ext = pick(fdp, MESH_EXTENSIONS)
    if fdp.ConsumeBool():
        content = bytearray(MESH_BYTES[:fdp.ConsumeIntInRange(0, len(MESH_BYTES))])
        for _ in range(fdp.ConsumeIntInRange(0, 8)):
            if content:
                content[fdp.ConsumeIntInRange(0, len(content) - 1)] = fdp.ConsumeIntInRange(0, 255)
        content = bytes(content)
    elif fdp.ConsumeBool():
        content = pick(fdp, [b"solid x\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\n",
                             b"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n", b"ply\nformat ascii 1.0\n",
                             b"<?xml version='1.0'?><COLLADA>", b"OFF\n3 1 0\n"]) + \
            fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 512))
    else:
        content = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 2048))
    (scratch().pkg / "fuzz" / "meshes" / ("m." + ext)).write_bytes(content)
    return "package://fuzz/meshes/m." + ext


def mutate_tree(fdp, root, donors):
    """Apply a few structure-aware mutations to the element tree `root` in place."""
    for _ in range(fdp.ConsumeIntInRange(0, 8)):
        elements = _elements(root)
        names = _names(root)
        op = fdp.ConsumeIntInRange(0, 14)
        target = pick(fdp, elements)
        if op == 0:  # set an attribute, existing or not, to an odd value
            keys = list(target.attrib) + ATTRIBUTES
            target.set(pick(fdp, keys), fuzz_value(fdp, names))
        elif op == 1 and target.attrib:  # drop an attribute
            del target.attrib[pick(fdp, list(target.attrib))]
        elif op == 2 and target is not root:  # drop an element
            _parent_map(root)[target].remove(target)
        elif op == 3 and target is not root:  # duplicate an element beside itself
            parent = _parent_map(root)[target]
            parent.insert(list(parent).index(target), copy.deepcopy(target))
        elif op == 4 and target is not root:  # move an element under another one
            new_parent = pick(fdp, elements)
            if new_parent not in set(target.iter()):
                _parent_map(root)[target].remove(target)
                new_parent.append(target)
        elif op == 5 and donors:  # splice in an element of another robot
            donor = pick(fdp, donors)
            piece = pick(fdp, _elements(donor))
            target.append(copy.deepcopy(piece))
        elif op == 6:  # a new element with a few attributes
            target.append(_new_element(fdp, names))
        elif op == 7:  # change a joint's kind
            joints = list(root.iter("joint"))
            if joints:
                pick(fdp, joints).set("type", pick(fdp, JOINT_TYPES))
        elif op == 8 and names:  # rename to another name (duplicates, joint == link)
            named = [e for e in elements if e.get("name") is not None]
            pick(fdp, named).set("name", pick(fdp, names + ["universe", "", "root_joint"]))
        elif op == 9:  # rewire a joint: cycles, two parents, unknown links
            joints = list(root.iter("joint"))
            links = _links(root) + ["nowhere"]
            if joints:
                joint = pick(fdp, joints)
                end = joint.find(pick(fdp, ["parent", "child"]))
                if end is not None:
                    end.set("link", pick(fdp, links))
        elif op == 10:  # every number of one attribute replaced
            keys = [k for k, v in target.attrib.items() if re.fullmatch(r"[-+0-9.eE ]+", v)]
            if keys:
                key = pick(fdp, keys)
                count = len(target.get(key).split()) or 1
                target.set(key, " ".join(repr(fdp.ConsumeFloat()) for _ in range(count)))
        elif op == 11:  # deepen the tree
            _chain(fdp, root, _depth(fdp))
        elif op == 12:  # a mesh geometry, real or fuzzed, on a random link
            links = list(root.iter("link"))
            if links:
                uri = write_mesh(fdp) if fdp.ConsumeBool() else pick(fdp, MESH_URIS)
                collision = ET.SubElement(pick(fdp, links), "collision")
                mesh = ET.SubElement(ET.SubElement(collision, "geometry"), "mesh", filename=uri)
                if fdp.ConsumeBool():
                    mesh.set("scale", fuzz_number_text(fdp))
        elif op == 13:  # point an existing mesh elsewhere
            meshes = list(root.iter("mesh"))
            if meshes:
                pick(fdp, meshes).set("filename", pick(fdp, MESH_URIS) if fdp.ConsumeBool()
                                      else write_mesh(fdp))
        elif op == 14 and target is not root:  # bury an element under many levels
            # Element nesting is what the recursive XML readers feel.
            parent = _parent_map(root)[target]
            at = list(parent).index(target)
            parent.remove(target)
            outer = inner = ET.Element(pick(fdp, TAGS))
            for _ in range(_depth(fdp) - 1):
                inner = ET.SubElement(inner, pick(fdp, TAGS[:3]))
            inner.append(target)
            parent.insert(at, outer)


def mutate_text(fdp, text):
    """Byte-level damage after serialisation: what no element tree can hold."""
    for _ in range(fdp.ConsumeIntInRange(0, 2) if fdp.ConsumeProbability() < 0.3 else 0):
        at = fdp.ConsumeIntInRange(0, len(text))
        op = fdp.ConsumeIntInRange(0, 2)
        if op == 0:
            text = text[:at]
        elif op == 1:
            text = text[:at] + fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 16)) + text[at:]
        else:
            text = text[:at] + text[at + fdp.ConsumeIntInRange(0, 64):]
    return text


def parse(text):
    try:
        return ET.fromstring(text)
    except ET.ParseError:
        return None


def to_bytes(root):
    return ET.tostring(root, encoding="unicode").encode("utf-8", "surrogatepass")


def fuzz_srdf(fdp, seed, link_names):
    """SRDF text (bytes) or None for no SRDF; may be damaged like the URDF."""
    choice = fdp.ConsumeIntInRange(0, 4)
    if choice == 0:
        return None
    if choice == 1 and seed.srdf:
        root = parse(seed.srdf)
    elif choice == 2:
        root = ET.Element("robot", name="fuzz")
        for _ in range(fdp.ConsumeIntInRange(0, 12)):
            pair = ET.SubElement(root, "disable_collisions")
            for key in ("link1", "link2"):
                if fdp.ConsumeProbability() < 0.95:
                    pair.set(key, pick(fdp, link_names) if link_names and fdp.ConsumeBool()
                             else fuzz_value(fdp, link_names))
    elif choice == 3:
        root = parse(hc.ARM_SRDF)
    else:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 256))
    if root is None:
        return None
    mutate_tree(fdp, root, [])
    return mutate_text(fdp, to_bytes(root))


def grow_tree(fdp):
    """A robot grown from nothing: every joint kind, every geometry kind, names from
    a small alphabet so that they collide now and then."""
    root = ET.Element("robot", name="grown")
    count = fdp.ConsumeIntInRange(1, 40)
    links = []
    for i in range(count):
        name = pick(fdp, ["l%d" % i, "l%d" % i, "l%d" % (i // 2), "universe", "x"])
        link = ET.SubElement(root, "link", name=name)
        for _ in range(fdp.ConsumeIntInRange(0, 2)):
            geometry = ET.SubElement(ET.SubElement(link, "collision"), "geometry")
            kind = fdp.ConsumeIntInRange(0, 4)
            if kind == 0:
                ET.SubElement(geometry, "box", size=fuzz_number_text(fdp))
            elif kind == 1:
                ET.SubElement(geometry, "sphere", radius=fuzz_number_text(fdp))
            elif kind == 2:
                ET.SubElement(geometry, "cylinder", radius=fuzz_number_text(fdp),
                              length=fuzz_number_text(fdp))
            elif kind == 3:
                ET.SubElement(geometry, "mesh", filename=pick(fdp, MESH_URIS))
            else:
                ET.SubElement(geometry, "capsule", radius="0.1", length="0.2")
        if links:
            parent = links[fdp.ConsumeIntInRange(max(0, len(links) - 3), len(links) - 1)] \
                if fdp.ConsumeBool() else pick(fdp, links)
            joint = ET.SubElement(root, "joint", name="j%d" % i, type=pick(fdp, JOINT_TYPES))
            ET.SubElement(joint, "parent", link=parent)
            ET.SubElement(joint, "child", link=name)
            if fdp.ConsumeBool():
                ET.SubElement(joint, "origin", xyz=fuzz_number_text(fdp), rpy=fuzz_number_text(fdp))
            if fdp.ConsumeBool():
                ET.SubElement(joint, "axis", xyz=fuzz_number_text(fdp))
            if fdp.ConsumeBool():
                ET.SubElement(joint, "limit", lower=fuzz_number_text(fdp),
                              upper=fuzz_number_text(fdp), effort="1", velocity="1")
            if fdp.ConsumeProbability() < 0.1:
                ET.SubElement(joint, "mimic", joint="j%d" % fdp.ConsumeIntInRange(0, count))
        links.append(name)
    if fdp.ConsumeProbability() < 0.2:
        _chain(fdp, root, _depth(fdp))
    return root


def texts(data):
    """(seed, URDF bytes, SRDF bytes or None, FuzzedDataProvider for the rest)."""
    if not data:
        return None
    mode = data[0] % 4
    if mode == MODE_RAW:
        urdf, _, srdf = data[1:].partition(SEPARATOR)
        return SEEDS[0], urdf, (srdf or None), atheris.FuzzedDataProvider(b"")
    if mode in (0, 1):
        index = int.from_bytes(data[1:3], "big") % len(SEEDS)
        fdp = atheris.FuzzedDataProvider(data[3:])
        seed = SEEDS[index]
        root = parse(seed.urdf)
        if root is None:  # the seeds that are broken XML on purpose: bytes only
            return seed, mutate_text(fdp, seed.urdf.encode()), fuzz_srdf(fdp, seed, []), fdp
        donors = [r for r in (parse(pick(fdp, SEEDS).urdf) for _ in range(fdp.ConsumeIntInRange(0, 1)))
                  if r is not None]
        mutate_tree(fdp, root, donors)
        urdf = mutate_text(fdp, to_bytes(root))
        return seed, urdf, fuzz_srdf(fdp, seed, _links(root)), fdp
    fdp = atheris.FuzzedDataProvider(data[1:])
    root = grow_tree(fdp)
    return SEEDS[0], mutate_text(fdp, to_bytes(root)), fuzz_srdf(fdp, SEEDS[0], _links(root)), fdp


# ---------------------------------------------------------------------------
# Calling the model


class Failed:
    """The expected Python exception a call raised."""

    def __init__(self, exc):
        self.exc = exc


def call(fn, *args):
    """fn(*args), or Failed(exc) for an exception of an expected class; anything
    else propagates and is a finding."""
    try:
        return fn(*args)
    except EXPECTED as exc:
        assert UNKNOWN not in str(exc), f"{fn.__name__}: untranslated C++ exception: {exc!r}"
        return Failed(exc)


def same_pose(a, b):
    return a.shape == b.shape and np.array_equal(a, b, equal_nan=True)


def check_pose(pose):
    assert isinstance(pose, np.ndarray) and pose.shape == (4, 4) and pose.dtype == np.float64
    if np.isfinite(pose).all():
        assert np.array_equal(pose[3], [0, 0, 0, 1]), pose


def configurations(fdp, model, nq):
    """(label, q, right length?) for the queries; q may be any Python object."""
    lower, upper = model.lower_position_limits(), model.upper_position_limits()
    lo = np.clip(np.nan_to_num(lower, nan=-1.0), -10, 10)
    hi = np.clip(np.nan_to_num(upper, nan=1.0), -10, 10)
    rng = np.random.default_rng(fdp.ConsumeIntInRange(0, 2**32 - 1))
    out = [("neutral", model.neutral_configuration(), True),
           ("random", rng.uniform(np.minimum(lo, hi), np.maximum(lo, hi)), True),
           ("nan", np.full(nq, np.nan), True),
           ("inf", np.full(nq, np.inf), True),
           ("-inf", np.full(nq, -np.inf), True),
           ("fuzzed", np.array([fdp.ConsumeFloat() for _ in range(nq)], dtype=np.float64), True),
           ("short", np.zeros(nq - 1) if nq else None, False),
           ("long", np.zeros(nq + 1), False),
           ("empty", np.zeros(0), nq == 0)]
    out = [item for item in out if item[1] is not None]
    # A few of the odd argument types of the bad-input corpus, sized for this robot.
    for _ in range(fdp.ConsumeIntInRange(0, 2)):
        recipe = pick(fdp, sorted(hc.Q_RECIPES))
        try:
            q = hc.make_q(recipe, max(nq, 2) if recipe == "nested-ragged" else nq)
        except Exception:  # noqa: BLE001 - a recipe that needs more coordinates than nq
            continue
        out.append(("recipe-" + recipe, q, None))
    return out


def exercise(fdp, model):
    """Every query; raises AssertionError on an answer that contradicts another."""
    nq = model.nq()
    ndof = model.ndof()
    joints = call(model.joint_names)
    frames = call(model.frame_names)
    lower, upper = model.lower_position_limits(), model.upper_position_limits()
    neutral = model.neutral_configuration()
    assert nq >= 0 and 0 <= ndof <= nq, (nq, ndof)
    if isinstance(joints, Failed):  # a name that is not UTF-8
        assert isinstance(joints.exc, UnicodeDecodeError), joints.exc
    else:
        assert len(joints) <= ndof and "universe" not in joints
    assert lower.shape == upper.shape == neutral.shape == (nq,)
    assert lower.dtype == upper.dtype == neutral.dtype == np.float64
    assert repr(model) == f"<talvex.RobotModel nq={nq}>"
    decoded = not isinstance(frames, Failed)
    if not decoded:  # a name that is not UTF-8
        assert isinstance(frames.exc, UnicodeDecodeError), frames.exc
        frames = []
    assert "universe" not in frames
    counts = collections.Counter(frames)
    unique = [n for n, k in counts.items() if k == 1]
    odd_names = ["universe", fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 12)),
                 pick(fdp, list(hc.FRAME_NAMES.values()))]
    for label, q, right_length in configurations(fdp, model, nq):
        poses = call(model.all_frame_transforms, q)
        inside = call(model.in_joint_limits, q)
        # With a negative margin at a pose that is not a rigid motion this used to
        # hang in coal (crashes/hang_negative_margin_nonfinite_q.py); it has to end
        # in ValueError now, and a regression shows as a timeout.
        collides = call(model.has_self_collision, q)
        if right_length is False:
            for result in (poses, inside, collides):
                assert isinstance(result, Failed) and isinstance(result.exc, ValueError), (label, result)
            if unique:
                result = call(model.forward_kinematics, q, unique[0])
                assert isinstance(result, Failed) and isinstance(result.exc, ValueError), (label, result)
            continue
        if right_length is None:  # an odd type: any expected class, or an answer
            for name in unique[:1] + odd_names[:1]:
                call(model.forward_kinematics, q, name)
            continue
        assert isinstance(inside, bool), (label, inside)
        if label in ("nan", "inf", "-inf") and nq:
            assert inside is False, label
        if isinstance(poses, Failed):
            # Only a name that is not UTF-8 may stop the map.
            assert isinstance(poses.exc, UnicodeDecodeError), (label, poses.exc)
        elif decoded:
            assert set(poses) == set(frames), label
            for pose in list(poses.values())[:20]:
                check_pose(pose)
        if isinstance(collides, Failed):
            # coal refuses some geometry/margin combinations, and a negative margin
            # is refused at a pose that is not a rigid motion, with ValueError.
            assert isinstance(collides.exc, ValueError), (label, collides.exc)
        else:
            assert isinstance(collides, bool), (label, collides)
        for _ in range(min(len(unique), 4)):
            name = pick(fdp, unique)
            pose = call(model.forward_kinematics, q, name)
            assert not isinstance(pose, Failed), (label, name, pose.exc)
            check_pose(pose)
            if not isinstance(poses, Failed):
                assert same_pose(pose, poses[name]), (label, name)
        for name in odd_names:
            pose = call(model.forward_kinematics, q, name)
            if name == "universe" and not isinstance(pose, Failed):
                assert np.array_equal(pose, np.eye(4)), pose
            elif decoded and name not in counts and name != "universe":
                assert isinstance(pose, Failed), (label, name)


LIBC = ctypes.CDLL(None)


def build_silently(model, *args):
    """model.build_from_urdf(*args) as call() makes it, with file descriptors 1 and 2
    sent to a file; returns (result, the bytes the build printed)."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = os.dup(1), os.dup(2)
    with open(scratch().root / "printed", "w+b") as sink:
        os.dup2(sink.fileno(), 1)
        os.dup2(sink.fileno(), 2)
        try:
            result = call(model.build_from_urdf, *args)
        finally:
            LIBC.fflush(None)  # C stdio (and std::cout, synced with it) buffers
            os.dup2(saved[0], 1)
            os.dup2(saved[1], 2)
            os.close(saved[0])
            os.close(saved[1])
        sink.seek(0)
        return result, sink.read()


def collision_elements(urdf):
    """Collision elements of the text as the URDF reader walks it (the "link" children of
    the root "robot"), or None when ElementTree may read the text otherwise than the
    reader's tinyxml2 would: not XML to it, a DTD (entities), or namespaced names."""
    if b"<!DOCTYPE" in urdf or b"xmlns" in urdf:
        return None
    root = parse(urdf)
    if root is None or root.tag != "robot":
        return None
    return sum(len(link.findall("collision")) for link in root.findall("link"))


def geometries_kept(urdf_path, package_dir):
    """Geometries Pinocchio's own reader makes of the file: the same reader talvex calls."""
    model = pinocchio.buildModelFromUrdf(urdf_path)
    return pinocchio.buildGeomFromUrdf(model, urdf_path, pinocchio.COLLISION,
                                       package_dirs=[package_dir]).ngeoms


def fuzz_margin(fdp):
    if fdp.ConsumeProbability() < 0.8:
        return 0.005
    return pick(fdp, [0.0, -1.0, math.nan, math.inf, -math.inf, 1e300, 5e-324, fdp.ConsumeFloat()])


def TestOneInput(data):
    if not faulthandler.is_enabled():
        # libFuzzer's SIGSEGV handler runs on the faulting stack, so a stack overflow
        # would kill the process before it writes the crash file. faulthandler runs on
        # a stack of its own, prints the Python stack, then hands the signal on to
        # libFuzzer's handler (installed by now), which writes the input.
        faulthandler.enable()
    made = texts(data)
    if made is None:
        return
    seed, urdf, srdf, fdp = made
    SCRATCH = scratch()
    if len(urdf) > MAX_TEXT or len(MOVING.findall(urdf)) > MAX_MOVING_JOINTS:
        return
    SCRATCH.urdf.write_bytes(urdf)
    srdf_path = ""
    if srdf is not None:
        SCRATCH.srdf.write_bytes(srdf[:MAX_TEXT])
        srdf_path = str(SCRATCH.srdf)
    elif fdp.ConsumeProbability() < 0.1:
        srdf_path = str(SCRATCH.root / pick(fdp, ["adir.srdf", "wrong.xml", "absent.srdf"]))
    package_dir = str(SCRATCH.pkg) if fdp.ConsumeProbability() < 0.95 else \
        pick(fdp, ["", "/nonexistent", str(SCRATCH.urdf)])
    margin = fuzz_margin(fdp)

    model = talvex.RobotModel()
    before = None
    if fdp.ConsumeProbability() < 0.1:  # a failed rebuild must leave the old robot
        model.build_from_urdf(str(DATA / "pair.urdf"), str(DATA))
        before = model.frame_names()
    built, printed = build_silently(model, str(SCRATCH.urdf), package_dir, srdf_path, margin)
    # urdfdom's reports go into the error, never to the terminal.
    assert printed == b"", f"the build printed {printed[:500]!r}"
    if isinstance(built, Failed):
        if before is None:
            try:
                model.nq()
            except RuntimeError as exc:
                assert str(exc) == READINESS
            else:
                raise AssertionError("a failed build left the model built")
        else:
            assert model.frame_names() == before
        return
    assert not (isinstance(margin, float) and math.isnan(margin)), "a NaN margin was accepted"
    # The model is what the file describes: no collision element dropped on the way.
    elements = collision_elements(urdf)
    if elements is not None:
        kept = geometries_kept(str(SCRATCH.urdf), package_dir)
        assert kept == elements, f"built with {kept} geometries from {elements} collision elements"
    exercise(fdp, model)


def make_corpus(directory):
    """Seed corpus: each seed robot unmutated (mode 0), and raw copies of the small ones."""
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    count = 0
    for index, seed in enumerate(SEEDS):
        (directory / f"seed-{index:03d}-{seed.name}").write_bytes(bytes([0]) + index.to_bytes(2, "big"))
        count += 1
        raw = seed.urdf.encode()
        if len(raw) < 60_000:
            if seed.srdf:
                raw += SEPARATOR + seed.srdf.encode()
            (directory / f"raw-{index:03d}-{seed.name}").write_bytes(bytes([MODE_RAW]) + raw)
            count += 1
    for k in range(8):  # a few grown trees
        (directory / f"grown-{k}").write_bytes(bytes([2]) + bytes(range(k * 16, k * 16 + 64)))
        count += 1
    print(f"wrote {count} seed inputs from {len(SEEDS)} robots to {directory}")


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--make-corpus":
        make_corpus(sys.argv[2])
        return
    # Python-side coverage of the harness itself: which mutations and which
    # outcomes an input reached. The module is native and needs a clang build.
    for value in list(globals().values()):
        if callable(value) and getattr(value, "__module__", None) == __name__ and \
                hasattr(value, "__code__"):
            atheris.instrument_func(value)
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
