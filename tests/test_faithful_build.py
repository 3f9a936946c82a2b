"""The model is what the files describe, or the build fails saying why; the build
prints nothing; no description can take more memory than the process can get."""
import re
import subprocess
import sys

import pytest

import hardening_cases
import talvex
from conftest import DATA, build, data_path

# Link "a" holds a 0.1 m sphere at the origin, link "b" (a revolute joint away) the
# element under test: every good element below overlaps that sphere at q = 0.
TWO_LINKS = """<robot name="two" {version}>
  <link name="a"><collision><geometry><sphere radius="0.1"/></geometry></collision></link>
  <link name="b">{collision}</link>
  <joint name="j" type="revolute"><parent link="a"/><child link="b"/><axis xyz="0 0 1"/>
    <limit lower="-1" upper="1" effort="1" velocity="1"/></joint>
</robot>"""
CUBE = "package://talvex_test/meshes/cube.stl"


def element(shape, origin=""):
    return f"<collision>{origin}<geometry>{shape}</geometry></collision>"


# (case, bad element of link b, the reader's or the check's reason, the element mended)
BAD_ELEMENTS = [
    ("box-size-word", element('<box size="1 x 1"/>'), r"Unable to parse component \[x\]",
     element('<box size="1 1 1"/>')),
    ("cylinder-radius-word", element('<cylinder radius="abc" length="1"/>'),
     r"radius \[abc\] is not a valid float", element('<cylinder radius="0.1" length="1"/>')),
    ("origin-two-numbers", element('<sphere radius="0.1"/>', '<origin xyz="1 2"/>'),
     r"found 2 elements but 3 expected", element('<sphere radius="0.1"/>', '<origin xyz="0 0 0"/>')),
    ("geometry-without-shape", element(""), "Geometry tag contains no child element",
     element('<sphere radius="0.1"/>')),
    ("unknown-shape", element('<cone radius="0.1"/>'), "Unknown geometry type 'cone'",
     element('<sphere radius="0.1"/>')),
    ("mesh-without-filename", element('<mesh scale="1 1 1"/>'),
     "Mesh must contain a filename attribute", element(f'<mesh filename="{CUBE}" scale="0.5 1 1"/>')),
    ("mesh-scale-nan", element(f'<mesh filename="{CUBE}" scale="nan 1 1"/>'),
     "Mesh scale was specified, but could not be parsed", element(f'<mesh filename="{CUBE}" scale="-0.5 1 1"/>')),
    ("collision-without-geometry", "<collision/>", r"Could not parse collision element for Link \[b\]",
     element('<sphere radius="0.1"/>')),
    ("capsule-before-version-1.1", element('<capsule radius="0.1" length="0.2"/>'),
     "Ignoring capsule .* version 1.1", element('<capsule radius="0.1" length="0.2"/>')),
    ("one-of-two-dropped", element('<sphere radius="0.1"/>') + element('<sphere radius="x"/>'),
     r"has 2 collision elements and the URDF reader kept 1; urdfdom: radius \[x\]",
     element('<sphere radius="0.1"/>') * 2),
    ("sphere-negative", element('<sphere radius="-1"/>'), "collision element 1 is a sphere of radius -1;",
     element('<sphere radius="0"/>')),
    ("box-negative", element('<box size="-1 1 1"/>'), "collision element 1 is a box of size -1 1 1;",
     element('<box size="1 1 1"/>')),
    ("cylinder-negative-length", element('<cylinder radius="0.1" length="-1"/>'),
     "collision element 1 is a cylinder of radius 0.1 and length -1;",
     element('<cylinder radius="0.1" length="1"/>')),
]


def two_links(tmp_path, collision, name="two.urdf"):
    # Only the mended capsule declares the version that knows capsules.
    version = 'version="1.1"' if "capsule" in collision and name == "mended.urdf" else ""
    path = tmp_path / name
    path.write_text(TWO_LINKS.format(version=version, collision=collision))
    return str(path)


@pytest.mark.parametrize("case, bad, reason, mended", BAD_ELEMENTS, ids=[c[0] for c in BAD_ELEMENTS])
def test_collision_element_the_model_would_lose_fails_the_build(tmp_path, case, bad, reason, mended):
    model = build("pair.urdf")
    frames = model.frame_names()
    with pytest.raises(ValueError, match=r"^RobotModel::build_from_urdf: link 'b' of .*two\.urdf.*" + reason):
        model.build_from_urdf(two_links(tmp_path, bad), str(DATA))
    assert model.frame_names() == frames and model.has_self_collision([0.0]) is True
    # Mended, it builds, and the element is there: it overlaps link a's sphere.
    model.build_from_urdf(two_links(tmp_path, mended, "mended.urdf"), str(DATA))
    assert model.has_self_collision([0.0]) is True


QUIET = """
import sys, pinocchio, talvex
model = talvex.RobotModel()
try:
    model.build_from_urdf(sys.argv[1], sys.argv[2])
    print("built")
except ValueError as error:
    print(error)
sys.stdout.flush()
# What the process had before the build is back: the library prints again.
print("--- talvex done", file=sys.stderr, flush=True)
try:
    pinocchio.buildModelFromUrdf(sys.argv[1])
except ValueError:
    pass
"""


@pytest.mark.parametrize("link_b, outcome", [
    (element('<box size="1 x 1"/>'), r"link 'b' of .*urdfdom: Unable to parse component \[x\]"),
    # A visual element is not read by talvex; urdfdom's report about it is swallowed.
    ('<visual><geometry><box size="1 x 1"/></geometry></visual>', "^built$"),
])
def test_build_prints_nothing_and_the_reason_is_in_the_error(tmp_path, link_b, outcome):
    urdf = two_links(tmp_path, link_b)
    run = subprocess.run([sys.executable, "-c", QUIET, urdf, str(DATA)], capture_output=True,
                         text=True, check=True)
    assert run.stdout.strip() != "" and re.search(outcome, run.stdout.strip())
    printed, after = run.stderr.split("--- talvex done\n")
    assert printed == ""
    assert "Unable to parse component [x]" in after


TRIANGLE = [(0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0)]
BUILD_BOTH = """
import sys, pinocchio, talvex
urdf, package = sys.argv[1], sys.argv[2]
model = pinocchio.buildModelFromUrdf(urdf)
pinocchio.buildGeomFromUrdf(model, urdf, pinocchio.COLLISION, [package])
sys.stderr.flush()
print("--- talvex", file=sys.stderr, flush=True)
try:
    talvex.RobotModel().build_from_urdf(urdf, package)
    print("built")
except ValueError as error:
    print(error)
"""


@pytest.mark.parametrize("triangle, scale, outcome", [
    ([(float("nan"), 0.0, 0.0)] + TRIANGLE[1:], "1 1 1",
     r"the mesh \S*bad\.stl has a vertex that is not finite \(vertex \d+ at nan[^)]* once scaled by 1 1 1\)"),
    ([(3e38, 0.0, 0.0)] + TRIANGLE[1:], "1e300 1 1",
     r"the mesh \S*bad\.stl has a vertex that is not finite \(vertex \d+ at inf 0 0 once scaled by 1e\+300 1 1\)"),
    # Finite, but coal's fit overflows all the same: the build drops what it writes.
    (TRIANGLE, "1e200 1e200 1e200", "^built$"),
], ids=["nan-in-the-file", "infinite-once-scaled", "finite-but-huge"])
def test_mesh_whose_fit_writes_to_cerr_is_refused_or_silent(tmp_path, triangle, scale, outcome):
    meshes = tmp_path / "talvex_test" / "meshes"
    meshes.mkdir(parents=True)
    (meshes / "bad.stl").write_bytes(hardening_cases._stl([triangle] * 4))
    urdf = two_links(tmp_path, element(
        f'<mesh filename="package://talvex_test/meshes/bad.stl" scale="{scale}"/>'))
    run = subprocess.run([sys.executable, "-c", BUILD_BOTH, urdf, str(tmp_path)],
                         capture_output=True, text=True, check=True)
    pinocchio_printed, talvex_printed = run.stderr.split("--- talvex\n")
    # Pinocchio's own reader of the same file: coal's fit fails and says so.
    assert "eigen: too many iterations in Jacobi transform." in pinocchio_printed
    assert talvex_printed == ""
    assert re.search(outcome, run.stdout.strip()), run.stdout


def test_mesh_is_a_surface_not_a_volume(tmp_path):
    # A 0.04 m ball slides along x through a 0.2 m cube centred on the origin.
    urdf = (DATA / "mesh_pair.urdf").read_text().replace('<sphere radius="0.1"/>', '<sphere radius="0.02"/>')
    models = {}
    for kind, cube in [("mesh", f'<mesh filename="{CUBE}"/>'), ("box", '<box size="0.2 0.2 0.2"/>')]:
        path = tmp_path / f"{kind}.urdf"
        path.write_text(urdf.replace(f'<mesh filename="{CUBE}"/>', cube))
        models[kind] = build(str(path), margin=0.0)
    inside, across_face, outside = [0.0], [0.1], [0.5]
    assert [models["box"].has_self_collision(q) for q in (inside, across_face, outside)] == [True, True, False]
    # coal tests a mesh's triangles: a shape wholly inside does not touch them.
    assert [models["mesh"].has_self_collision(q) for q in (inside, across_face, outside)] == [False, True, False]


MEMORY = """
import os, resource, sys, talvex

def address_space():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")

# GiB above what the process holds now, however large that is (the sanitizers
# reserve terabytes): the same headroom on every machine.
headroom = int(sys.argv[4]) << 30
resource.setrlimit(resource.RLIMIT_AS, (address_space() + headroom, resource.RLIM_INFINITY))
model = talvex.RobotModel()
model.build_from_urdf(sys.argv[1], sys.argv[2])
before = model.frame_names()
try:
    model.build_from_urdf(sys.argv[3], "")
    print("built", model.nq())
except MemoryError as error:
    assert model.frame_names() == before
    print("MemoryError", error)
"""


def two_clusters(n):
    """n spheres on each of two links that a revolute joint joins: n * n pairs, nv = 1."""
    spheres = element('<sphere radius="0.01"/>') * n
    return TWO_LINKS.format(version="", collision=spheres).replace(
        '<collision><geometry><sphere radius="0.1"/></geometry></collision></link>', spheres + "</link>", 1)


@pytest.mark.parametrize("robot, gib, outcome", [
    # Pinocchio's work data alone for nv = 1000: 32 GB; refused before the geometry is read.
    ("chain-1000", 4, r"^MemoryError .*about \d+ MiB \(nv = 1000, the collision pairs not counted "
                       r"yet\), more than the \d+ MiB this process can get \((RLIMIT_AS|MemAvailable|the cgroup)"),
    # 250 000 pairs of about 6 KB of geometry work data each.
    ("clusters-500", 1, r"^MemoryError .*\(nv = 1, 250000 collision pairs\), more than"),
    ("chain-300", 4, "^built 300$"),
])
def test_work_data_larger_than_the_memory_left_is_refused(tmp_path, robot, gib, outcome):
    urdf = tmp_path / "robot.urdf"
    count = int(robot.rpartition("-")[2])
    urdf.write_text(hardening_cases.chain_urdf(count, every_geom=30) if robot.startswith("chain")
                    else two_clusters(count))
    run = subprocess.run([sys.executable, "-c", MEMORY, data_path("pair.urdf"), str(DATA), str(urdf), str(gib)],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr[-2000:]
    assert re.search(outcome, run.stdout.strip()), run.stdout
