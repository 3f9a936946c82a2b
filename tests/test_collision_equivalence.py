"""The self-collision verdict is a function of the configuration alone.

Right at a contact coal's answer depends on where GJK starts, so an object whose
pairs start from the guess its previous call left behind can answer differently
from a fresh one. Near-contact configurations, found by bisection with the
reference of collision_reference.py, must get the reference's verdict both on a
fresh object and on one that has answered hundreds of other configurations.
bench/collision_equivalence.py runs the same check over every robot of
example-robot-data.
"""

import math

import numpy as np
import pytest

from conftest import DATA, ERD_SHARE, build, data_path

pin = pytest.importorskip("pinocchio")
coal = pytest.importorskip("coal")
from collision_reference import Reference, inside_samples  # noqa: E402  (needs pinocchio)

ROBOTS = ERD_SHARE / "example-robot-data" / "robots" if ERD_SHARE else None

# (urdf, srdf, margin, random samples, paths bisected, fresh objects checked)
CASES = {
    "anymal_b": ("anymal_b_simple_description/robots/anymal.urdf",
                 "anymal_b_simple_description/srdf/anymal.srdf", 0.0, 300, 40, 40),
    "panda": ("panda_description/urdf/panda.urdf", "panda_description/srdf/panda.srdf",
              0.005, 300, 12, 24),
    "talos_reduced": ("talos_data/robots/talos_reduced.urdf", "talos_data/srdf/talos.srdf",
                      0.005, 100, 4, 6),
}


@pytest.mark.skipif(ROBOTS is None, reason="example-robot-data is not installed")
@pytest.mark.parametrize("name", CASES)
def test_near_contact_verdict_has_no_history(name):
    urdf, srdf, margin, n_samples, n_paths, n_fresh = CASES[name]
    urdf, srdf = str(ROBOTS / urdf), str(ROBOTS / srdf)
    ref = Reference(urdf, ERD_SHARE, srdf, margin)
    rng = np.random.default_rng(16)
    samples = inside_samples(ref.model, rng, n_samples)
    verdicts = [ref.collides(q) for q in samples]
    near = ref.near_contact(samples, verdicts, rng, n_paths)
    assert len(near) == 2 * n_paths, "the samples hold no colliding or no clear configuration"
    expected = [k % 2 == 0 for k in range(len(near))]  # colliding side, then clear side

    for k in range(n_fresh):
        fresh = build(urdf, srdf, margin, str(ERD_SHARE))
        assert fresh.has_self_collision(near[k]) is expected[k], k

    used = build(urdf, srdf, margin, str(ERD_SHARE))
    assert [used.has_self_collision(q) for q in samples] == verdicts
    order = rng.permutation(len(near))
    wrong = [int(k) for k in order if used.has_self_collision(near[k]) is not expected[k]]
    assert not wrong, f"{len(wrong)} of {len(near)} near-contact verdicts differ after a history"


# diagonal_pair.urdf: spheres of radius R, one slid by q along (1, 1, 1)/sqrt(3).
R = 0.01


def surface_gap(q):
    return q - 2 * R


def bare_box_gap(q):
    """Distance between the spheres' axis-aligned world boxes (0 when they overlap)."""
    return math.sqrt(3) * max(q / math.sqrt(3) - 2 * R, 0.0)


@pytest.mark.parametrize("margin, gaps", [
    # Closer than the margin with bare boxes apart (0.046: even the sum of the per-axis
    # box gaps exceeds the margin), then either side of the margin, then overlap.
    (0.05, [0.046, 0.03, 0.049, 0.051, 0.08, -0.005]),
    (0.005, [0.004, 0.006, 0.03, -0.005]),
    (0.0, [0.001, 0.03, -0.001]),
])
def test_margin_reaches_past_bare_boxes(margin, gaps):
    model = build("diagonal_pair.urdf", margin=margin)
    pin_model = pin.buildModelFromUrdf(data_path("diagonal_pair.urdf"))
    pin_data = pin_model.createData()
    for gap in gaps:
        q = gap + 2 * R
        pin.forwardKinematics(pin_model, pin_data, np.array([q]))
        np.testing.assert_allclose(pin_data.oMi[1].translation, [q / math.sqrt(3)] * 3, atol=1e-15)
        assert surface_gap(q) == pytest.approx(gap)
        assert model.has_self_collision([q]) is (gap < margin), (margin, gap, bare_box_gap(q))
    if margin == 0.05:  # the case this robot is for is really in the list
        assert any(gap < margin and bare_box_gap(gap + 2 * R) > 0 for gap in gaps)


def shape_distances(package_dir, q):
    """(mesh distance, hull distance) of notch_pair's two geometries at q, through
    Pinocchio's and coal's own bindings."""
    urdf = data_path("notch_pair.urdf")
    model = pin.buildModelFromUrdf(urdf)
    geom = pin.buildGeomFromUrdf(model, urdf, pin.COLLISION, package_dirs=[str(package_dir)])
    data, geom_data = model.createData(), pin.GeometryData(geom)
    pin.updateGeometryPlacements(model, data, geom, geom_data, np.array([q]))
    mesh, ball = (g.geometry for g in geom.geometryObjects)
    mesh.buildConvexHull(False, "")
    place = [coal.Transform3s(p.rotation, p.translation) for p in geom_data.oMg]

    def dist(a, b):
        return coal.distance(a, place[0], b, place[1], coal.DistanceRequest(), coal.DistanceResult())

    return dist(mesh, ball), dist(mesh.convex, ball)


def finer_notch(package_dir, times):
    """notch.stl with every triangle cut into four, `times` over, under package_dir:
    the same solid as a mesh detailed enough to be split into pieces."""
    text = (DATA / "talvex_test" / "meshes" / "notch.stl").read_text()
    corners = [tuple(map(float, line.split()[1:])) for line in text.splitlines()
               if line.strip().startswith("vertex")]
    triangles = [corners[k:k + 3] for k in range(0, len(corners), 3)]
    for _ in range(times):
        finer = []
        for a, b, c in triangles:
            ab, bc, ca = (tuple((x + y) / 2 for x, y in zip(p, r)) for p, r in ((a, b), (b, c), (c, a)))
            finer += [(a, ab, ca), (ab, b, bc), (ca, bc, c), (ab, bc, ca)]
        triangles = finer
    out = ["solid notch"]
    for triangle in triangles:
        out += ["facet normal 0 0 0", "outer loop"]
        out += [f"vertex {x!r} {y!r} {z!r}" for x, y, z in triangle]
        out += ["endloop", "endfacet"]
    meshes = package_dir / "talvex_test" / "meshes"
    meshes.mkdir(parents=True)
    (meshes / "notch.stl").write_text("\n".join(out + ["endsolid notch"]) + "\n")
    return len(triangles)


# notch_pair.urdf: a ball of radius 0.02 at height q above the floor of a slot cut into
# a box mesh; the slot's walls are 0.03 from the ball, its convex hull the whole box.
@pytest.mark.parametrize("detailed", [False, True])
@pytest.mark.parametrize("margin, heights", [
    # Just either side of the margin above the floor, and 0.2 mm and 0.05 mm beyond it,
    # where the hull (touching the ball) is within margin + 0.1 mm and the mesh is not.
    (0.0, [0.0199, 0.0201, 0.0202, 0.02005, 0.05, 0.13]),
    (0.005, [0.0249, 0.0251, 0.0252, 0.02505, 0.05, 0.13]),
    # Above the box: the hull 0.04 and 0.0499 away, the mesh's slot edges 0.058 and farther.
    (0.05, [0.06, 0.13, 0.16, 0.1699, 0.25]),
])
def test_mesh_decides_where_its_hull_is_near(tmp_path, margin, heights, detailed):
    # Detailed: the same solid in 2304 triangles, which the test also splits into
    # pieces, each with a hull of its own.
    package_dir = tmp_path if detailed else DATA
    if detailed:
        assert finer_notch(tmp_path, 3) == 36 * 4 ** 3
    model = build("notch_pair.urdf", margin=margin, package_dir=str(package_dir))
    ref = Reference(data_path("notch_pair.urdf"), package_dir, "", margin)
    straddles = 0
    for q in heights:
        expected = ref.collides(np.array([q]))
        mesh_gap, hull_gap = shape_distances(package_dir, q)
        assert expected is (mesh_gap < margin), (q, mesh_gap)
        assert model.has_self_collision([q]) is expected, (margin, q, mesh_gap, hull_gap)
        straddles += hull_gap < margin + 1e-4 < mesh_gap
    assert straddles >= 2  # the cases this robot is for are really in the list


def ball_over_meshes(meshes, axis):
    """A robot: `meshes` ((x, file, scale) each, on one fixed base) and a ball of
    radius 0.05 slid along x, then along `axis`."""
    collisions = "".join(
        f'<collision><origin xyz="{x} 0 0"/><geometry><mesh '
        f'filename="package://talvex_test/meshes/{name}" scale="{scale}"/></geometry></collision>'
        for x, name, scale in meshes)
    return f"""<?xml version="1.0"?>
<robot name="ball_over_meshes">
  <link name="base">{collisions}</link>
  <link name="carriage"/>
  <link name="ball"><collision><geometry><sphere radius="0.05"/></geometry></collision></link>
  <joint name="across" type="prismatic"><parent link="base"/><child link="carriage"/>
    <axis xyz="1 0 0"/><limit lower="-1" upper="1" effort="1" velocity="1"/></joint>
  <joint name="out" type="prismatic"><parent link="carriage"/><child link="ball"/>
    <axis xyz="{axis}"/><limit lower="-1" upper="1" effort="1" velocity="1"/></joint>
</robot>
"""


def assert_verdicts_either_side_of_margin(urdf, package_dir, q_at_gap):
    """The ball's surface `gap` from a mesh's nearest corner or face at q_at_gap(gap):
    in collision exactly when the gap is below the margin, for Pinocchio and talvex."""
    margin = 0.005
    model = build(str(urdf), margin=margin, package_dir=str(package_dir))
    ref = Reference(urdf, package_dir, "", margin)
    for gap in [-0.01, 0.001, 0.0049, 0.0051, 0.01, 0.1]:
        q = q_at_gap(gap)
        assert ref.collides(q) is (gap < margin), gap
        assert model.has_self_collision(q) is (gap < margin), (q, gap)


# The same cube file on three geometries, the middle one stretched to 0.6 m tall: as
# many vertices and triangles as the others, but a hull of its own. The two alike may
# share theirs; the stretched one tested with theirs would be cleared 0.2 m too low.
@pytest.mark.parametrize("x, top", [(-0.5, 0.1), (0.0, 0.3), (0.5, 0.1)])
def test_each_mesh_is_tested_with_its_own_hull(tmp_path, x, top):
    urdf = tmp_path / "three_cubes.urdf"
    urdf.write_text(ball_over_meshes(
        [(-0.5, "cube.stl", "1 1 1"), (0, "cube.stl", "1 1 3"), (0.5, "cube.stl", "1 1 1")],
        "0 0 1"))
    assert_verdicts_either_side_of_margin(urdf, DATA, lambda gap: np.array([x, top + 0.05 + gap]))


# A wedge with its corner (0, 0.1, 0) farthest along +y, as it is at x = -0.5 and
# mirrored across y at x = 0.5, where that corner is farthest along -y. The mirrored
# one's hull is the first one's mirrored; tested with the first one's, a ball at
# its corner would be cleared 0.1 m too far.
@pytest.mark.parametrize("x, side", [(-0.5, 1), (0.5, -1)])
def test_a_mirrored_mesh_is_tested_with_its_mirrored_hull(tmp_path, x, side):
    meshes = tmp_path / "talvex_test" / "meshes"
    meshes.mkdir(parents=True)
    corners = [(0, 0, 0), (0.2, 0, 0), (0, 0.1, 0), (0, 0, 0.3)]
    faces = [(0, 2, 1), (0, 1, 3), (0, 3, 2), (1, 2, 3)]
    lines = ["solid wedge"]
    for face in faces:
        lines += ["facet normal 0 0 0", "outer loop"]
        lines += [f"vertex {corners[k][0]} {corners[k][1]} {corners[k][2]}" for k in face]
        lines += ["endloop", "endfacet"]
    (meshes / "wedge.stl").write_text("\n".join(lines + ["endsolid wedge"]) + "\n")
    urdf = tmp_path / "wedges.urdf"
    urdf.write_text(ball_over_meshes(
        [(-0.5, "wedge.stl", "1 1 1"), (0.5, "wedge.stl", "1 -1 1")], "0 1 0"))
    assert_verdicts_either_side_of_margin(
        urdf, tmp_path, lambda gap: np.array([x, side * (0.1 + 0.05 + gap)]))


@pytest.mark.parametrize("scale", ["1 1 0", "1 1 1e-9", "0 0 0", "1 0 0"])
def test_mesh_without_a_solid_hull_is_tested_exactly(tmp_path, scale):
    # A cube flattened, squashed to a line or a point: qhull cannot make a hull of
    # it, so its pairs go to the exact test alone; the build must neither fail nor
    # crash, and the verdicts are Pinocchio's.
    urdf = tmp_path / "flat.urdf"
    urdf.write_text((DATA / "mesh_pair.urdf").read_text().replace(
        'cube.stl"/>', f'cube.stl" scale="{scale}"/>'))
    margin = 0.005
    model = build(str(urdf), margin=margin)
    ref = Reference(urdf, DATA, "", margin)
    verdicts = [(q, ref.collides(np.array([q]))) for q in (0.0, 0.0951, 0.1049, 0.1051, 0.2, 0.5)]
    assert [model.has_self_collision([q]) for q, _ in verdicts] == [v for _, v in verdicts]
    assert any(v for _, v in verdicts)


# Two detailed notch meshes (2304 triangles each), one lowered onto the other,
# tilted and slid a little: near-parallel faces, many triangle pairs around the
# margin. At each pose the lift is bisected to the contact with the reference, and
# the verdicts either side of it (1e-9 to 2e-4 m) must be the reference's.
@pytest.mark.parametrize("margin", [0.0, 0.005])
def test_mesh_pairs_at_their_contact(tmp_path, margin):
    finer_notch(tmp_path, 3)
    mesh = '<collision><geometry><mesh filename="package://talvex_test/meshes/notch.stl"/>' \
           '</geometry></collision>'
    urdf = tmp_path / "stack.urdf"
    urdf.write_text(f"""<?xml version="1.0"?>
<robot name="stack">
  <link name="base">{mesh}</link><link name="a"/><link name="b"/><link name="lid">{mesh}</link>
  <joint name="lift" type="prismatic"><parent link="base"/><child link="a"/>
    <axis xyz="0 0 1"/><limit lower="-1" upper="1" effort="1" velocity="1"/></joint>
  <joint name="slide" type="prismatic"><parent link="a"/><child link="b"/>
    <axis xyz="1 0.3 0"/><limit lower="-1" upper="1" effort="1" velocity="1"/></joint>
  <joint name="tilt" type="revolute"><parent link="b"/><child link="lid"/>
    <axis xyz="0.2 1 0.1"/><limit lower="-1" upper="1" effort="1" velocity="1"/></joint>
</robot>
""")
    model = build(str(urdf), margin=margin, package_dir=str(tmp_path))
    ref = Reference(urdf, tmp_path, "", margin)
    rng = np.random.default_rng(3)
    checked = 0
    for _ in range(6):
        slide, tilt = rng.uniform(-0.08, 0.08), rng.uniform(-0.05, 0.05)
        low, high = 0.1, 0.5  # in collision at the first, clear at the second
        assert ref.collides(np.array([low, slide, tilt]))
        assert not ref.collides(np.array([high, slide, tilt]))
        while high - low > 1e-10:
            mid = (low + high) / 2
            low, high = (mid, high) if ref.collides(np.array([mid, slide, tilt])) else (low, mid)
        for lift in [low - 2e-4, low - 1e-6, low, high, high + 1e-6, high + 5e-5, high + 2e-4]:
            q = np.array([lift, slide, tilt])
            assert model.has_self_collision(q) is ref.collides(q), (margin, q)
            checked += 1
    assert checked == 42
