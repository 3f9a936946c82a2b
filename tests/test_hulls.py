"""The hulls the build makes for the pre-tests. A detailed mesh's hull is made from
its pieces' hull vertices, and a mirrored copy's hulls by mirroring, not from all
its vertices; either way it must be the hull qhull makes of all the mesh's vertices
(a hull too small gives wrong verdicts), and the pieces must cover the mesh."""

import numpy as np
import pytest

import _talvex_native as native
from conftest import DATA, ERD_SHARE, build
from test_collision_equivalence import finer_notch

coal = pytest.importorskip("coal")

ROBOTS = ERD_SHARE / "example-robot-data" / "robots" if ERD_SHARE else None
INSIDE = 1e-12  # metres a vertex may lie outside a hull's facet (qhull's rounding)


def rows(points):
    return {tuple(p) for p in np.asarray(points).tolist()}


def qhull(points):
    """coal's hull of the points: qhull on all of them."""
    listed = coal.StdVec_Vec3s()
    listed.extend(list(np.asarray(points, dtype=float)))
    return coal.ConvexBase.convexHull(listed, True, "Qt")


def facets(points):
    """(normals, offsets) of qhull's hull of the points: n . x + offset <= 0 inside."""
    hull = qhull(points)
    return (np.array([hull.normal(k) for k in range(hull.num_normals_and_offsets)]),
            np.array([hull.offset(k) for k in range(hull.num_normals_and_offsets)]))


def outside(points, hull_points):
    """How far the farthest of the points lies outside the hull of hull_points."""
    normals, offsets = facets(hull_points)
    return float(np.max(np.asarray(points) @ normals.T + offsets))


def check_mesh(made, rng):
    vertices, hull, pieces = made["vertices"], made["hull"], made["pieces"]
    mine = rows(vertices)
    # Input vertices only, to the bit: a mirrored hull with a wrong sign, or one
    # rounded, would not be.
    assert rows(hull) <= mine
    assert all(rows(piece) <= mine for piece in pieces)
    reference = qhull(vertices)
    expected = rows(np.array([reference.point(k) for k in range(reference.num_points)]))
    if rows(hull) != expected:  # the same solid, qhull having kept other coplanar points
        assert outside(vertices, hull) <= INSIDE
    if pieces:
        # Every vertex of the hull is one of some piece: what making it from them rests on.
        assert expected <= set().union(*(rows(piece) for piece in pieces))
        # Every vertex lies in some piece's hull (a sample of them: every piece a hull).
        sample = vertices[rng.choice(len(vertices), min(len(vertices), 400), replace=False)]
        worst = np.min([np.max(sample @ n.T + o, axis=1)
                        for n, o in (facets(piece) for piece in pieces)], axis=0)
        assert np.max(worst) <= INSIDE
    return bool(pieces)


NOTCHES = """<?xml version="1.0"?>
<robot name="notches">
  <link name="base">
    <collision><geometry><mesh filename="package://talvex_test/meshes/notch.stl"/></geometry>
    </collision>
    <collision><origin xyz="0.5 0 0"/>
      <geometry><mesh filename="package://talvex_test/meshes/notch.stl" scale="1 -1 1"/></geometry>
    </collision>
  </link>
  <link name="ball"><collision><geometry><sphere radius="0.02"/></geometry></collision></link>
  <joint name="drop" type="prismatic"><parent link="base"/><child link="ball"/>
    <axis xyz="0 0 1"/><limit lower="-1" upper="1" effort="1" velocity="1"/></joint>
</robot>
"""


def geometries(model):
    """mesh_hulls of every geometry, in order."""
    made = []
    while True:
        try:
            made.append(native.mesh_hulls(model, len(made)))
        except IndexError:
            return made


def test_detailed_mesh_and_its_mirror(tmp_path):
    # The notch (not convex) in 2304 triangles, so split into pieces, and its copy
    # mirrored across y, which takes its hull and pieces from the first one.
    finer_notch(tmp_path, 3)
    urdf = tmp_path / "notches.urdf"
    urdf.write_text(NOTCHES)
    model = build(str(urdf), package_dir=str(tmp_path))
    rng = np.random.default_rng(0)
    meshes = [m for m in geometries(model) if m["vertices"] is not None]
    assert len(meshes) == 2
    assert all(check_mesh(m, rng) for m in meshes)
    # The mirrored copy's pieces are the first one's mirrored, one for one.
    first, second = (m["pieces"] for m in meshes)
    assert [rows(p * [1, -1, 1]) for p in first] == [rows(p) for p in second]


@pytest.mark.skipif(ROBOTS is None, reason="example-robot-data is not installed")
@pytest.mark.parametrize("urdf, detailed", [
    # Convex meshes, the right side mirrored from the left by a negative scale.
    ("talos_data/robots/talos_reduced.urdf", 4),
    # Detailed meshes that are not convex, mirrored ones among them.
    ("g1_description/urdf/g1_29dof_rev_1_0.urdf", 20),
    ("romeo_description/urdf/romeo.urdf", 30),
])
def test_hulls_of_real_meshes(urdf, detailed):
    model = build(str(ROBOTS / urdf), package_dir=str(ERD_SHARE))
    rng = np.random.default_rng(1)
    with_pieces = 0
    for g, made in enumerate(geometries(model)):
        if made["vertices"] is not None:
            assert made["hull"] is not None, g
            with_pieces += check_mesh(made, rng)
    assert with_pieces >= detailed  # the case this test is for is really there


def test_geometry_out_of_range():
    model = build("mesh_pair.urdf")
    with pytest.raises(IndexError):
        native.mesh_hulls(model, 2)
