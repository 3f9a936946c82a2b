"""Bad-input corpus for talvex: case generation, a child-process runner and a summary.

Cases are plain dicts (JSON-safe) so a child interpreter can run them. Files the
cases need are written by materialise() into a scratch directory. run_corpus()
runs the cases in child processes, a chunk per child, so that a crash or a hang
is recorded against the case that caused it instead of ending the run.

    python tests/hardening_cases.py            # run the corpus, print a summary
    python tests/hardening_cases.py --child F  # (internal) run the cases in file F
"""
import collections
import concurrent.futures
import contextlib
import ctypes
import json
import os
import pathlib
import random
import re
import signal
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE / "data"

# Child time limits, in seconds; HARDENING_TIME_SCALE stretches them for slow
# builds (sanitizers, valgrind).
TIME_SCALE = float(os.environ.get("HARDENING_TIME_SCALE", "1"))
CHUNK_TIMEOUT = 120 * TIME_SCALE
CASE_TIMEOUT = 30 * TIME_SCALE
CHUNK_SIZE = 60

# ---------------------------------------------------------------------------
# Robot descriptions

ARM_URDF = """<?xml version="1.0"?>
<robot name="arm">
  <link name="base">
    <collision><origin xyz="0 0 0.05" rpy="0 0 0"/><geometry><box size="0.2 0.2 0.1"/></geometry></collision>
  </link>
  <link name="upper">
    <inertial><origin xyz="0 0 0.2"/><mass value="1.5"/><inertia ixx="0.01" ixy="0" ixz="0" iyy="0.01" iyz="0" izz="0.002"/></inertial>
    <collision><origin xyz="0 0 0.2"/><geometry><cylinder radius="0.05" length="0.4"/></geometry></collision>
  </link>
  <link name="fore">
    <collision><geometry><sphere radius="0.06"/></geometry></collision>
  </link>
  <link name="hand">
    <collision><geometry><mesh filename="package://talvex_test/meshes/cube.stl" scale="0.5 0.5 0.5"/></geometry></collision>
  </link>
  <link name="tool"/>
  <joint name="shoulder" type="revolute">
    <parent link="base"/><child link="upper"/>
    <origin xyz="0 0 0.1" rpy="0 0 0"/><axis xyz="0 0 1"/>
    <limit lower="-2" upper="2" effort="10" velocity="1"/>
  </joint>
  <joint name="elbow" type="continuous">
    <parent link="upper"/><child link="fore"/>
    <origin xyz="0 0 0.4" rpy="0 0 0"/><axis xyz="0 1 0"/>
  </joint>
  <joint name="wrist" type="prismatic">
    <parent link="fore"/><child link="hand"/>
    <origin xyz="0.1 0 0" rpy="0 0 0"/><axis xyz="1 0 0"/>
    <limit lower="-0.1" upper="0.1" effort="10" velocity="1"/>
  </joint>
  <joint name="tool_mount" type="fixed">
    <parent link="hand"/><child link="tool"/>
    <origin xyz="0.05 0 0"/>
  </joint>
</robot>
"""
ARM_NQ = 4  # revolute 1 + continuous 2 (cos, sin) + prismatic 1

ARM_SRDF = """<?xml version="1.0"?>
<robot name="arm">
  <disable_collisions link1="base" link2="upper" reason="Adjacent"/>
  <disable_collisions link1="upper" link2="fore" reason="Adjacent"/>
  <disable_collisions link1="fore" link2="hand" reason="Adjacent"/>
</robot>
"""

RIGID_URDF = """<?xml version="1.0"?>
<robot name="rigid"><link name="base">
  <collision><geometry><sphere radius="0.1"/></geometry></collision>
</link></robot>
"""

ATTRIBUTE = re.compile(r'(\s)([a-z_0-9]+)="([^"]*)"')
VALUE_MUTATIONS = {
    "missing": None, "empty": "", "word": "abc", "nan": "nan", "huge": "1e400",
    "negative": "-1", "zero": "0",
}


def attribute_mutants(text, prefix):
    """One text per (attribute occurrence, mutation): the value replaced or removed."""
    out = []
    for k, match in enumerate(ATTRIBUTE.finditer(text)):
        if match.group(2) == "version":  # the XML declaration, not the robot
            continue
        for tag, value in VALUE_MUTATIONS.items():
            repl = "" if value is None else f'{match.group(1)}{match.group(2)}="{value}"'
            mutant = text[:match.start()] + repl + text[match.end():]
            out.append((f"{prefix}-attr{k:02d}-{match.group(2)}-{tag}", mutant))
    return out


def truncations(text, prefix, count, seed):
    rng = random.Random(seed)
    points = sorted(rng.sample(range(1, len(text) - 1), count))
    return [(f"{prefix}-trunc{p:04d}", text[:p]) for p in points]


def chain_urdf(n, every_geom=0, moving_every=1):
    """n joints in a line, each 0.01 m above the last; every k-th one revolute, the
    others fixed; a sphere on every k-th link. Pinocchio's work data grows with the
    cube of the number of moving joints, so the big cases keep most joints fixed."""
    parts = ['<robot name="chain">']
    for i in range(n + 1):
        geom = ""
        if every_geom and i % every_geom == 0:
            geom = '<collision><geometry><sphere radius="0.001"/></geometry></collision>'
        parts.append(f'<link name="l{i}">{geom}</link>')
    for i in range(n):
        parts.append(
            f'<joint name="j{i}" type="{"revolute" if i % moving_every == 0 else "fixed"}"><parent link="l{i}"/><child link="l{i + 1}"/>'
            '<origin xyz="0 0 0.01"/><axis xyz="0 0 1"/>'
            '<limit lower="-1" upper="1" effort="1" velocity="1"/></joint>')
    parts.append("</robot>")
    return "\n".join(parts)


def star_urdf(n, every_geom=0, moving_every=1):
    """n joints, all children of the base; every k-th one prismatic, the others fixed."""
    parts = ['<robot name="star"><link name="base"/>']
    for i in range(n):
        geom = ""
        if every_geom and i % every_geom == 0:
            geom = '<collision><geometry><box size="0.01 0.01 0.01"/></geometry></collision>'
        parts.append(
            f'<link name="c{i}">{geom}</link>'
            f'<joint name="p{i}" type="{"prismatic" if i % moving_every == 0 else "fixed"}"><parent link="base"/><child link="c{i}"/>'
            f'<origin xyz="{i * 0.1} 0 0"/><axis xyz="0 0 1"/>'
            '<limit lower="-1" upper="1" effort="1" velocity="1"/></joint>')
    parts.append("</robot>")
    return "\n".join(parts)


def arm_with(old, new):
    assert old in ARM_URDF, old
    return ARM_URDF.replace(old, new, 1)


def with_mesh(tag):
    """The arm with the hand's mesh reference replaced by `tag` (a <mesh .../> element)."""
    return re.sub(r"<mesh [^>]*/>", tag, ARM_URDF)


STRUCTURAL = {
    "zero-axis": arm_with('<axis xyz="0 0 1"/>', '<axis xyz="0 0 0"/>'),
    "tiny-axis": arm_with('<axis xyz="0 0 1"/>', '<axis xyz="0 0 1e-300"/>'),
    "nan-axis": arm_with('<axis xyz="0 0 1"/>', '<axis xyz="nan nan nan"/>'),
    "oblique-axis": arm_with('<axis xyz="0 0 1"/>', '<axis xyz="1 1 1"/>'),
    "unknown-joint-type": arm_with('type="revolute"', 'type="wobbly"'),
    "floating-joint": arm_with('type="revolute"', 'type="floating"'),
    "planar-joint": arm_with('type="revolute"', 'type="planar"'),
    "cycle": arm_with('<child link="tool"/>', '<child link="base"/>'),
    "self-parent": arm_with('<child link="tool"/>', '<child link="hand"/>'),
    # Without the orphan that makes it two roots, urdfdom accepts the loop.
    "self-parent-one-root": arm_with('<child link="tool"/>', '<child link="hand"/>')
        .replace('<link name="tool"/>', ''),
    "duplicate-link": arm_with('<link name="tool"/>', '<link name="tool"/><link name="tool"/>'),
    "duplicate-joint": arm_with('name="tool_mount"', 'name="wrist"'),
    "joint-link-same-name": arm_with('name="tool_mount"', 'name="tool"'),
    "orphan-link": arm_with('<link name="tool"/>', '<link name="tool"/><link name="orphan"/>'),
    "two-roots": arm_with(
        '<link name="tool"/>',
        '<link name="tool"/><link name="root2"/><link name="leaf2"/>'
        '<joint name="j2" type="revolute"><parent link="root2"/><child link="leaf2"/>'
        '<axis xyz="0 0 1"/><limit lower="-1" upper="1" effort="1" velocity="1"/></joint>'),
    "unknown-parent": arm_with('<parent link="hand"/>', '<parent link="nowhere"/>'),
    "unknown-child": arm_with('<child link="tool"/>', '<child link="nowhere"/>'),
    "two-parents": arm_with(
        '<link name="tool"/>',
        '<link name="tool"/><joint name="again" type="fixed"><parent link="base"/>'
        '<child link="tool"/></joint>'),
    "no-parent-element": arm_with('<parent link="hand"/>', ""),
    "no-links": '<robot name="empty"/>',
    "no-robot": '<?xml version="1.0"?><nobot name="x"><link name="a"/></nobot>',
    "two-robots": ARM_URDF + ARM_URDF.split("?>", 1)[1],
    "universe-link": arm_with('<link name="tool"/>', '<link name="universe"/>')
        .replace('<child link="tool"/>', '<child link="universe"/>'),
    "mimic-missing": arm_with('<axis xyz="1 0 0"/>', '<axis xyz="1 0 0"/><mimic joint="nowhere"/>'),
    "mimic-self": arm_with('<axis xyz="1 0 0"/>', '<axis xyz="1 0 0"/><mimic joint="wrist"/>'),
    "inverted-limits": arm_with('lower="-2" upper="2"', 'lower="2" upper="-2"'),
    "inf-limits": arm_with('lower="-2" upper="2"', 'lower="-inf" upper="inf"'),
    "entity-bomb": '<?xml version="1.0"?><!DOCTYPE r [<!ENTITY a "aaaaaaaaaa">'
                   '<!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">'
                   '<!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;">]>'
                   '<robot name="&c;"><link name="&c;"/></robot>',
    "deep-xml-nesting": "<robot name='n'>" + "<a>" * 20000 + "</a>" * 20000 + "</robot>",
    "bad-utf8-name": None,  # written as bytes by materialise()
    "many-collisions-one-link": arm_with(
        '<link name="tool"/>',
        '<link name="tool">' + '<collision><geometry><sphere radius="0.01"/></geometry></collision>' * 200
        + "</link>"),
    "negative-scale": with_mesh('<mesh filename="package://talvex_test/meshes/cube.stl" scale="-1 -1 -1"/>'),
    "zero-scale": with_mesh('<mesh filename="package://talvex_test/meshes/cube.stl" scale="0 0 0"/>'),
    "nan-origin-geometry": arm_with('<origin xyz="0 0 0.05" rpy="0 0 0"/>',
                                    '<origin xyz="nan 0 0" rpy="0 inf 0"/>'),
}

MESH_CASES = {
    # id: (mesh element, file name under the package's meshes dir or None, content or None)
    "mesh-missing": ("package://talvex_test/meshes/absent.stl", None, None),
    "mesh-unknown-package": ("package://nowhere/meshes/cube.stl", None, None),
    "mesh-empty": ("package://talvex_test/meshes/empty.stl", "empty.stl", b""),
    "mesh-corrupt-binary": ("package://talvex_test/meshes/noise.stl", "noise.stl", "noise"),
    "mesh-stl-count-lies": ("package://talvex_test/meshes/lies.stl", "lies.stl", "lies"),
    "mesh-stl-nan-vertices": ("package://talvex_test/meshes/nan.stl", "nan.stl", "nanstl"),
    "mesh-ascii-truncated": ("package://talvex_test/meshes/trunc.stl", "trunc.stl",
                             b"solid x\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0"),
    "mesh-unknown-format": ("package://talvex_test/meshes/cube.xyzzy", "cube.xyzzy", "copy"),
    "mesh-obj-bad-index": ("package://talvex_test/meshes/bad.obj", "bad.obj",
                           b"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 99\n"),
    "mesh-dae-corrupt": ("package://talvex_test/meshes/bad.dae", "bad.dae",
                         b"<?xml version='1.0'?><COLLADA><library_geometries><geometry>"),
    "mesh-is-directory": ("package://talvex_test/meshes/dir.stl", "dir.stl", "dir"),
    "mesh-plain-relative": ("meshes/cube.stl", None, None),
    "mesh-file-uri": ("file://{pkg}/talvex_test/meshes/cube.stl", None, None),
    "mesh-empty-filename": ("", None, None),
    "mesh-one-triangle": ("package://talvex_test/meshes/tri.obj", "tri.obj",
                          b"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"),
    "mesh-degenerate": ("package://talvex_test/meshes/flat.obj", "flat.obj",
                        b"v 0 0 0\nv 0 0 0\nv 0 0 0\nf 1 2 3\n"),
}

SRDF_MUTANTS = {
    "missing-link1": '<robot name="arm"><disable_collisions link2="upper"/></robot>',
    "empty-link1": '<robot name="arm"><disable_collisions link1="" link2="upper"/></robot>',
    "unknown-link": '<robot name="arm"><disable_collisions link1="base" link2="nowhere"/></robot>',
    "same-link-twice": '<robot name="arm"><disable_collisions link1="base" link2="base"/></robot>',
    "wrong-root": '<nobot><disable_collisions link1="base" link2="upper"/></nobot>',
    "not-xml": "this is not xml <<<",
    "no-root": "",
    "nested-wrongly": '<robot><group><disable_collisions link1="base" link2="upper"/></group></robot>',
    "joint-names-not-links": '<robot><disable_collisions link1="shoulder" link2="elbow"/></robot>',
    "duplicate-entries": '<robot>' + '<disable_collisions link1="base" link2="fore"/>' * 500 + "</robot>",
    "bad-utf8": None,  # bytes, by materialise()
    "entity-bomb": STRUCTURAL["entity-bomb"].replace('name="&c;"/>', 'name="x"/>')
                   .replace("<robot name=\"&c;\">", '<robot><disable_collisions link1="&c;" link2="x"/>'),
}


def build_case(cid, urdf, srdf=None, margin=0.005, expect=None, nq=None, pkg=None):
    """A build case; `urdf`/`srdf` name files relative to the scratch dir (or absolute)."""
    return {"id": cid, "op": "build", "urdf": urdf, "srdf": srdf or "", "margin": margin,
            "pkg": pkg, "expect": expect, "nq": nq}


# Configuration recipes: name -> expected outcome for every query on the arm
# (nq = 4), "ok" or the Python exception class. Values are made by make_q().
Q_RECIPES = {
    "ok": "ok", "len0": "ValueError", "short": "ValueError", "long": "ValueError",
    "len1000": "ValueError", "nan": "ok", "posinf": "ok", "neginf": "ok", "huge": "ok",
    "neghuge": "ok", "mixed-nonfinite": "ok", "denormal": "ok", "strided": "ok",
    "reversed": "ok", "readonly": "ok", "column": "ok", "fortran-column": "ok",
    "row": "TypeError", "3d": "TypeError", "scalar": "TypeError", "none": "TypeError",
    "str": "TypeError", "str-numbers": "ok", "str-words": "TypeError", "obj-floats": "ok",
    "obj-none": "ok", "obj-fractions": "ok", "complex": "ok", "bool": "ok",
    "int64-big": "ok", "py-bigint": "TypeError", "float16": "ok", "big-endian": "ok",
    "memoryview": "ok", "generator": "TypeError", "dict": "TypeError", "nested-ragged": "TypeError",
    "masked": "ok",
}
QUERIES = ["forward_kinematics", "all_frame_transforms", "in_joint_limits", "has_self_collision"]
# in_joint_limits is strict and IEEE: any non-finite or huge coordinate is outside.
OUTSIDE_LIMITS = {"nan", "obj-none", "posinf", "neginf", "huge", "neghuge", "mixed-nonfinite", "int64-big"}


def make_q(recipe, nq):
    import fractions
    import numpy as np
    base = np.linspace(0.01, 0.02, nq)
    if recipe == "ok":
        return base
    if recipe == "len0":
        return np.zeros(0)
    if recipe == "short":
        return base[:-1]
    if recipe == "long":
        return np.append(base, 0.0)
    if recipe == "len1000":
        return np.zeros(1000)
    if recipe in ("nan", "posinf", "neginf", "huge", "neghuge"):
        value = {"nan": np.nan, "posinf": np.inf, "neginf": -np.inf, "huge": 1e300, "neghuge": -1e300}
        return np.full(nq, value[recipe])
    if recipe == "mixed-nonfinite":
        return np.resize([np.nan, np.inf, -np.inf, 1e300], nq)
    if recipe == "denormal":
        return np.full(nq, 5e-324)
    if recipe == "strided":
        return np.repeat(base, 3)[::3]
    if recipe == "reversed":
        return base[::-1]
    if recipe == "readonly":
        base.flags.writeable = False
        return base
    if recipe == "column":
        return base.reshape(nq, 1)
    if recipe == "fortran-column":
        return np.asfortranarray(base.reshape(nq, 1))
    if recipe == "row":
        return base.reshape(1, nq)
    if recipe == "3d":
        return base.reshape(nq, 1, 1)
    if recipe == "scalar":
        return 0.0
    if recipe == "none":
        return None
    if recipe == "str":
        return "0" * nq
    if recipe == "str-numbers":
        return ["0.01"] * nq
    if recipe == "str-words":
        return ["zero"] * nq
    if recipe == "obj-floats":
        return np.array(list(base), dtype=object)
    if recipe == "obj-none":
        return np.array([None] * nq, dtype=object)
    if recipe == "obj-fractions":
        return np.array([fractions.Fraction(1, 100)] * nq, dtype=object)
    if recipe == "complex":
        return base + 0j  # imaginary part zero: the cast keeps the real part silently
    if recipe == "bool":
        return np.zeros(nq, dtype=bool)
    if recipe == "int64-big":
        return np.full(nq, 2 ** 62, dtype=np.int64)
    if recipe == "py-bigint":
        return [10 ** 400] * nq
    if recipe == "float16":
        return base.astype(np.float16)
    if recipe == "big-endian":
        return base.astype(">f8")
    if recipe == "memoryview":
        return memoryview(base.tobytes()).cast("d")
    if recipe == "generator":
        return (x for x in base)
    if recipe == "dict":
        return {i: 0.0 for i in range(nq)}
    if recipe == "nested-ragged":
        return [[0.0], [0.0, 1.0]] + [[0.0]] * (nq - 2)
    if recipe == "masked":
        return np.ma.masked_array(base, mask=[True] + [False] * (nq - 1))
    raise KeyError(recipe)


FRAME_NAMES = {
    "empty": "", "nul-inside": "tool\x00", "case": "TOOL", "trailing-blank": "tool ",
    "universe": "universe", "long": "x" * 1_000_000, "bad-utf8-bytes": b"\xff\xfe",
    "non-ascii": "\u00e9l\u00e8ve",
}


def generate():
    """Every case of the corpus, in a fixed order (the seeds are fixed)."""
    cases = [build_case("arm-valid", "arm.urdf", expect="ok", nq=ARM_NQ),
             build_case("arm-valid-srdf", "arm.urdf", "arm.srdf", expect="ok", nq=ARM_NQ)]
    for cid, _ in truncations(ARM_URDF, "urdf", 40, seed=7) + attribute_mutants(ARM_URDF, "urdf"):
        cases.append(build_case(cid, cid + ".urdf"))
    for cid in STRUCTURAL:
        cases.append(build_case("urdf-" + cid, "urdf-" + cid + ".urdf"))
    for cid in MESH_CASES:
        cases.append(build_case(cid, cid + ".urdf"))
    for cid, _ in truncations(ARM_SRDF, "srdf", 20, seed=11) + attribute_mutants(ARM_SRDF, "srdf"):
        cases.append(build_case(cid, "arm.urdf", cid + ".srdf"))
    for cid in SRDF_MUTANTS:
        cases.append(build_case("srdf-" + cid, "arm.urdf", "srdf-" + cid + ".srdf"))
    cases += [
        # Files that are not URDF files at all.
        build_case("file-empty", "empty.urdf", expect="error"),
        build_case("file-binary", "binary.urdf", expect="error"),
        build_case("file-directory", "adir.urdf", expect="error"),
        build_case("file-symlink-loop", "loop.urdf", expect="error"),
        build_case("file-missing", "absent.urdf", expect="error"),
        build_case("file-unreadable", "unreadable.urdf", expect="unreadable"),
        build_case("file-path-with-nul", "arm.urdf\x00junk", expect="ValueError"),
        build_case("pkg-path-with-nul", "arm.urdf", pkg="{pkg}\x00junk", expect="ValueError"),
        build_case("srdf-path-with-nul", "arm.urdf", "arm.xml\x00.srdf", expect="ValueError"),
        build_case("file-path-too-long", "x" * 5000 + ".urdf", expect="error"),
        build_case("file-path-empty", "", expect="error"),
        build_case("file-path-bad-utf8", "\udcff.urdf", expect="error"),
        build_case("pkg-missing", "arm.urdf", pkg="/nonexistent", expect="error"),
        build_case("pkg-empty", "arm.urdf", pkg="", expect="error"),
        # SRDF files that are not SRDF files.
        build_case("srdf-file-empty", "arm.urdf", "empty.srdf", expect="error"),
        build_case("srdf-file-binary", "arm.urdf", "binary.srdf", expect="error"),
        build_case("srdf-file-directory", "arm.urdf", "adir.srdf", expect="error"),
        build_case("srdf-file-directory-xml", "arm.urdf", "adir.urdf", expect="ValueError"),
        build_case("srdf-file-symlink-loop", "arm.urdf", "loop.srdf", expect="RuntimeError"),
        build_case("srdf-file-missing", "arm.urdf", "absent.srdf", expect="ok", nq=ARM_NQ),
        build_case("srdf-file-unreadable", "arm.urdf", "unreadable.srdf", expect="unreadable"),
        build_case("srdf-wrong-extension", "arm.urdf", "arm.xml", expect="ValueError"),
        build_case("srdf-upper-extension", "arm.urdf", "arm.SRDF", expect="ValueError"),
        build_case("srdf-not-a-dir", "arm.urdf", "arm.urdf/x.srdf", expect="ok", nq=ARM_NQ),
        # Margins: NaN is refused, everything else is stored and used.
        *[build_case(f"margin-{tag}", "arm.urdf", margin=value,
                     expect="ValueError" if tag == "nan" else "ok", nq=ARM_NQ)
          for tag, value in [("nan", "nan"), ("inf", "inf"), ("-inf", "-inf"), ("huge", 1e300),
                             ("-huge", -1e300), ("negative", -1.0), ("zero", 0.0),
                             ("denormal", 5e-324)]],
        # Sizes.
        build_case("deep-chain", "deep.urdf", expect="ok", nq=100),
        # Deeper than the reader's recursion fits in the stack: refused up front.
        build_case("deep-chain-5000", "deeper.urdf", expect="ValueError"),
        build_case("srdf-deep-nesting", "arm.urdf", "deep.srdf", expect="ValueError"),
        build_case("wide-star", "wide.urdf", expect="ok", nq=30),
    ]
    for recipe, expect in Q_RECIPES.items():
        for query in QUERIES:
            if query == "in_joint_limits" and recipe in OUTSIDE_LIMITS:
                expect_here = "False"
            else:
                expect_here = expect
            cases.append({"id": f"q-{recipe}-{query}", "op": "query", "robot": "arm.urdf",
                          "query": query, "q": recipe, "expect": expect_here})
    for tag in FRAME_NAMES:
        expect = "ok" if tag == "universe" else ("UnicodeDecodeError|RuntimeError"
                                                 if tag == "bad-utf8-bytes" else "RuntimeError")
        cases.append({"id": f"frame-{tag}", "op": "frame", "robot": "arm.urdf", "name": tag,
                      "expect": expect})
    # A robot without joints: only the empty vector fits.
    for recipe, expect in [("len0", "ok"), ("ok1", "ValueError")]:
        for query in QUERIES:
            cases.append({"id": f"rigid-{recipe}-{query}", "op": "query", "robot": "rigid.urdf",
                          "query": query, "q": recipe, "expect": expect})
    return cases


def _noise(n, seed):
    return random.Random(seed).randbytes(n)


def _stl(triangles, claimed=None):
    import struct
    out = b"\0" * 80 + struct.pack("<I", len(triangles) if claimed is None else claimed)
    for tri in triangles:
        out += struct.pack("<12fH", 0, 0, 1, *[c for v in tri for c in v], 0)
    return out


def materialise(root):
    """Write every file the cases of generate() name into `root` (a fresh directory)."""
    root = pathlib.Path(root)
    pkg = root / "pkg"
    meshes = pkg / "talvex_test" / "meshes"
    meshes.mkdir(parents=True)
    cube = (DATA / "talvex_test" / "meshes" / "cube.stl").read_bytes()
    (meshes / "cube.stl").write_bytes(cube)

    def put(name, content):
        path = root / name
        path.write_bytes(content if isinstance(content, bytes) else content.encode())

    put("arm.urdf", ARM_URDF)
    put("arm.srdf", ARM_SRDF)
    put("arm.xml", ARM_SRDF)
    put("arm.SRDF", ARM_SRDF)
    put("rigid.urdf", RIGID_URDF)
    for cid, text in (truncations(ARM_URDF, "urdf", 40, seed=7) + attribute_mutants(ARM_URDF, "urdf")):
        put(cid + ".urdf", text)
    for cid, text in STRUCTURAL.items():
        if text is not None:
            put("urdf-" + cid + ".urdf", text)
    put("urdf-bad-utf8-name.urdf", ARM_URDF.encode().replace(b'"tool"', b'"t\xffol"'))
    for cid, (filename, file_name, content) in MESH_CASES.items():
        put(cid + ".urdf", with_mesh(f'<mesh filename="{filename.format(pkg=pkg)}"/>'))
        if file_name is None:
            continue
        target = meshes / file_name
        if content == "noise":
            target.write_bytes(_noise(4096, 3))
        elif content == "lies":
            target.write_bytes(_stl([((0, 0, 0), (1, 0, 0), (0, 1, 0))], claimed=0xFFFFFFFF))
        elif content == "nanstl":
            nan = float("nan")
            target.write_bytes(_stl([((nan, 0, 0), (1, nan, 0), (0, 1, nan))] * 4))
        elif content == "copy":
            target.write_bytes(cube)
        elif content == "dir":
            target.mkdir()
        else:
            target.write_bytes(content)
    for cid, text in (truncations(ARM_SRDF, "srdf", 20, seed=11) + attribute_mutants(ARM_SRDF, "srdf")):
        put(cid + ".srdf", text)
    for cid, text in SRDF_MUTANTS.items():
        if text is not None:
            put("srdf-" + cid + ".srdf", text)
    put("srdf-bad-utf8.srdf", b'<robot><disable_collisions link1="\xff" link2="base"/></robot>')
    for ext in ("urdf", "srdf"):
        put(f"empty.{ext}", b"")
        put(f"binary.{ext}", _noise(2048, 5))
        (root / f"adir.{ext}").mkdir()
        os.symlink(root / f"loop.{ext}", root / f"loop.{ext}")
        put(f"unreadable.{ext}", ARM_URDF if ext == "urdf" else ARM_SRDF)
        os.chmod(root / f"unreadable.{ext}", 0)
    put("deep.urdf", chain_urdf(3000, every_geom=100, moving_every=30))
    put("deeper.urdf", chain_urdf(5000, every_geom=500, moving_every=500))
    put("deep.srdf", "<robot name='arm'>" + "<a>" * 100000 + "</a>" * 100000 + "</robot>")
    put("wide.urdf", star_urdf(3000, every_geom=50, moving_every=100))
    return root


# ---------------------------------------------------------------------------
# Child side


def _outcome(exc):
    return type(exc).__name__


def _resolve(root, name):
    if name == "" or name.startswith("/"):
        return name
    return str(pathlib.Path(root) / name)


def _exercise(model, nq):
    """Every query at the neutral configuration: a model that built must also answer."""
    import numpy as np
    q = model.neutral_configuration()
    assert q.shape == (nq,)
    names = model.frame_names()
    model.joint_names()
    model.lower_position_limits()
    model.upper_position_limits()
    model.in_joint_limits(q)
    poses = model.all_frame_transforms(q)
    for name in names[:50]:
        try:
            model.forward_kinematics(q, name)
        except ValueError:  # a name borne by two frames
            pass
    for pose in list(poses.values())[:50]:
        assert pose.shape == (4, 4)
        assert np.array_equal(pose[3], [0, 0, 0, 1]) or not np.isfinite(pose).all()
    model.has_self_collision(q)
    model.has_self_collision(np.full(nq, np.nan))
    return repr(model)


@contextlib.contextmanager
def _printed_to(path, record):
    """File descriptors 1 and 2 go to `path` meanwhile; record["printed"] gets what came."""
    sys.stdout.flush()
    saved = os.dup(1), os.dup(2)
    with open(path, "w+b") as sink:
        os.dup2(sink.fileno(), 1)
        os.dup2(sink.fileno(), 2)
        try:
            yield
        finally:
            ctypes.CDLL(None).fflush(None)
            os.dup2(saved[0], 1)
            os.dup2(saved[1], 2)
            os.close(saved[0])
            os.close(saved[1])
            sink.seek(0)
            record["printed"] = sink.read().decode(errors="replace")[:300]


def run_case(case, root, robots):
    record = {"id": case["id"]}
    start = time.perf_counter()
    try:
        return _run_case(case, root, robots, record)
    finally:
        record["seconds"] = round(time.perf_counter() - start, 4)


def _run_case(case, root, robots, record):
    import talvex
    if case["op"] == "build":
        model = talvex.RobotModel()
        pkg = str(pathlib.Path(root) / "pkg") if case["pkg"] is None else case["pkg"]
        pkg = pkg.format(pkg=pathlib.Path(root) / "pkg")
        urdf = _resolve(root, case["urdf"])
        srdf = _resolve(root, case["srdf"]) if case["srdf"] else ""
        try:
            with _printed_to(pathlib.Path(root) / "printed", record):
                model.build_from_urdf(urdf, pkg, srdf, float(case["margin"]))
        except Exception as exc:  # noqa: BLE001 - every failure is recorded by class
            record.update(outcome=_outcome(exc), message=str(exc)[:300])
            try:
                model.nq()
                record["unbuilt_after_failure"] = False
            except RuntimeError:
                record["unbuilt_after_failure"] = True
            return record
        record.update(outcome="ok", nq=model.nq())
        try:
            record["queries"] = _exercise(model, model.nq()) and "ok"
        except Exception as exc:  # noqa: BLE001
            record["queries"] = _outcome(exc)
            record["queries_message"] = str(exc)[:300]
        return record
    model = robots.get(case["robot"])
    if model is None:
        model = robots[case["robot"]] = talvex.RobotModel()
        model.build_from_urdf(_resolve(root, case["robot"]), str(pathlib.Path(root) / "pkg"))
    nq = model.nq()
    try:
        if case["op"] == "frame":
            name = FRAME_NAMES[case["name"]]
            result = model.forward_kinematics(model.neutral_configuration(), name)
        else:
            q = make_q("ok" if case["q"] == "ok1" else case["q"], 1 if case["q"] == "ok1" else nq)
            query = case["query"]
            if query == "forward_kinematics":
                result = model.forward_kinematics(q, "tool" if nq else "base")
            else:
                result = getattr(model, query)(q)
    except Exception as exc:  # noqa: BLE001
        record.update(outcome=_outcome(exc), message=str(exc)[:300])
        return record
    record["outcome"] = str(result) if isinstance(result, bool) else "ok"
    return record


def child_main(case_file):
    import warnings
    warnings.simplefilter("ignore")  # casts of exotic dtypes may warn; outcomes are what count
    payload = json.loads(pathlib.Path(case_file).read_text())
    robots = {}
    for case in payload["cases"]:
        print(json.dumps({"start": case["id"]}), flush=True)
        record = run_case(case, payload["root"], robots)
        print(json.dumps(record), flush=True)


# ---------------------------------------------------------------------------
# Parent side


def _signal_name(code):
    try:
        return "crash:" + signal.Signals(-code).name
    except ValueError:
        return f"crash:exit{code}"


def _run_child(cases, root, workdir, tag, timeout):
    case_file = pathlib.Path(workdir) / f"cases-{tag}.json"
    case_file.write_text(json.dumps({"root": str(root), "cases": cases}))
    cmd = [sys.executable, str(pathlib.Path(__file__).resolve()), "--child", str(case_file)]
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout,
                              errors="replace")
        out, err, code = proc.stdout, proc.stderr, proc.returncode
    except subprocess.TimeoutExpired as exc:
        out = exc.stdout.decode(errors="replace") if isinstance(exc.stdout, bytes) else (exc.stdout or "")
        err = exc.stderr.decode(errors="replace") if isinstance(exc.stderr, bytes) else (exc.stderr or "")
        code = "timeout"
    records, started = {}, None
    for line in out.splitlines():
        try:
            item = json.loads(line)
        except ValueError:
            continue
        if "start" in item:
            started = item["start"]
        else:
            records[item["id"]] = item
            started = None
    return records, started, code, err


def _run_chunk(cases, root, workdir, tag):
    """Run `cases` in children; a case that kills or stalls its child is re-run alone."""
    results = {}
    pending = list(cases)
    round_ = 0
    while pending:
        round_ += 1
        records, started, code, err = _run_child(pending, root, workdir, f"{tag}-{round_}",
                                                 CHUNK_TIMEOUT)
        results.update(records)
        if code == 0 or started is None:
            if code != 0 and len(records) < len(pending):
                # The child died outside any case (e.g. at import): every case is lost.
                for case in pending:
                    results.setdefault(case["id"], {"id": case["id"], "outcome": f"child-failed:{code}",
                                                    "stderr": err[-2000:]})
            break
        culprit = next(c for c in pending if c["id"] == started)
        alone, _, alone_code, alone_err = _run_child([culprit], root, workdir,
                                                     f"{tag}-{round_}-alone", CASE_TIMEOUT)
        if culprit["id"] in alone:
            results[culprit["id"]] = alone[culprit["id"]]
            results[culprit["id"]]["only_in_chunk"] = str(code)
        else:
            results[culprit["id"]] = {
                "id": culprit["id"],
                "outcome": "hang" if alone_code == "timeout" else _signal_name(alone_code),
                "stderr": alone_err[-2000:]}
        index = pending.index(culprit)
        pending = pending[index + 1:]
    return results


def run_corpus(workdir=None, workers=2):
    """Generate, materialise and run the whole corpus; returns (cases, {id: record})."""
    workdir = pathlib.Path(workdir or tempfile.mkdtemp(prefix="talvex-corpus-"))
    root = materialise(workdir / "files")
    cases = generate()
    # The big descriptions get a child each so they cannot push a chunk over its limit.
    big = [c for c in cases if c["id"].startswith(("deep-", "wide-"))]
    rest = [c for c in cases if c not in big]
    chunks = [rest[i:i + CHUNK_SIZE] for i in range(0, len(rest), CHUNK_SIZE)] + [[c] for c in big]
    results = {}
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        futures = [pool.submit(_run_chunk, chunk, root, workdir, f"c{i}")
                   for i, chunk in enumerate(chunks)]
        for future in futures:
            results.update(future.result())
    return cases, results


def summary(cases, results):
    by_outcome = collections.Counter(results[c["id"]]["outcome"] for c in cases if c["id"] in results)
    by_op = collections.Counter((c["op"], results[c["id"]]["outcome"]) for c in cases
                                if c["id"] in results)
    by_query = collections.Counter(results[c["id"]].get("queries") for c in cases
                                   if results.get(c["id"], {}).get("outcome") == "ok"
                                   and c["op"] == "build")
    lines = [f"{len(cases)} cases"]
    lines += [f"  {count:4d}  {outcome}" for outcome, count in by_outcome.most_common()]
    lines.append("by kind of case (build / query with a configuration / frame name):")
    lines += [f"  {count:4d}  {op:6s} {outcome}" for (op, outcome), count in sorted(by_op.items())]
    lines.append("queries after successful builds:")
    lines += [f"  {count:4d}  {outcome}" for outcome, count in by_query.most_common()]
    return "\n".join(lines)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        child_main(sys.argv[2])
    else:
        all_cases, all_results = run_corpus()
        print(summary(all_cases, all_results))
        for c in all_cases:
            r = all_results.get(c["id"], {})
            if not r or r["outcome"].startswith(("crash", "hang", "child")):
                print("FAULT", c["id"], r)
