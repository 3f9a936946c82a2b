"""The robot files a worker receives: the meshes found are those Pinocchio's own
bindings (pin) open for the same package folder, and a private copy resolves every
one of them inside itself, byte for byte."""

import dataclasses
import hashlib
import os
import pathlib
import shutil

import pytest

from conftest import DATA, ERD_SHARE

pin = pytest.importorskip("pinocchio")

from talvex_tools.bundle import Bundle, PrivateCopy  # noqa: E402
from talvex_tools.errors import ToolError  # noqa: E402

ROBOTS = (ERD_SHARE or pathlib.Path()) / "example-robot-data/robots"
needs_erd = pytest.mark.skipif(ERD_SHARE is None, reason="example-robot-data is not installed")


def pin_mesh_paths(urdf, package_dir):
    """The mesh files Pinocchio opens for the collision model, as it resolved them."""
    model = pin.buildModelFromUrdf(str(urdf))
    geometry = pin.buildGeomFromUrdf(model, str(urdf), pin.GeometryType.COLLISION,
                                     package_dirs=[str(package_dir)])
    # A primitive's meshPath is its shape's name ("BOX").
    return {os.path.normpath(g.meshPath) for g in geometry.geometryObjects
            if g.meshPath.startswith("/")}


def three_uri_robot(tmp_path):
    """A robot whose meshes are named the three ways Pinocchio resolves: package://,
    a path relative to the package folder, and file:// with an absolute path."""
    package = tmp_path / "pkgs"
    meshes = package / "talvex_test/meshes"
    shutil.copytree(DATA / "talvex_test", package / "talvex_test")
    for name in ("relative.stl", "absolute.stl"):
        shutil.copy(meshes / "cube.stl", meshes / name)
    uris = ["package://talvex_test/meshes/cube.stl", "talvex_test/meshes/relative.stl",
            f"file://{meshes}/absolute.stl"]
    links = "".join(f'<link name="l{i}"><collision><geometry><mesh filename="{uri}"/>'
                    "</geometry></collision></link>" for i, uri in enumerate(uris))
    joints = "".join(f'<joint name="j{i}" type="prismatic"><parent link="l{i - 1}"/>'
                     f'<child link="l{i}"/><axis xyz="1 0 0"/>'
                     '<limit lower="-1" upper="1" effort="1" velocity="1"/></joint>'
                     for i in (1, 2))
    (tmp_path / "three.urdf").write_text(f'<robot name="three">{links}{joints}</robot>')
    return package


@pytest.mark.parametrize("robot", [
    pytest.param(("panda_description/urdf/panda.urdf", None), marks=needs_erd, id="panda"),
    pytest.param(("talos_data/robots/talos_reduced.urdf", None), marks=needs_erd, id="talos"),
    pytest.param(("tiago_description/robots/tiago.urdf", None), marks=needs_erd, id="tiago"),
    pytest.param(("ur_description/urdf/ur5_robot.urdf", None), marks=needs_erd, id="ur5"),
    pytest.param(("three.urdf", "pkgs"), id="three-uris"),
])
def test_meshes_are_those_pinocchio_opens_and_the_copy_holds_them(tmp_path, robot):
    name, package = robot
    if package is None:
        urdf, package_dir = ROBOTS / name, ERD_SHARE
    else:
        package_dir = three_uri_robot(tmp_path)
        urdf = tmp_path / name
    bundle = Bundle.collect(urdf, None, package_dir)
    meshes = {f.path: f for f in bundle.files if f.role == "mesh"}
    expected = pin_mesh_paths(urdf, package_dir)
    assert expected and set(meshes) == expected
    for path, f in meshes.items():
        assert f.sha256 == hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()

    copy = PrivateCopy(bundle, dir=tmp_path)
    try:
        inside = pin_mesh_paths(copy.urdf, copy.package_dir)
        # Every mesh comes from the copy, except one named by an absolute path.
        outside = {p for p in inside if not p.startswith(copy.folder)}
        assert outside == ({str(package_dir / "talvex_test/meshes/absolute.stl")}
                           if name == "three.urdf" else set())
        assert {p.removeprefix(copy.folder) for p in inside} == expected
    finally:
        copy.close()
    assert not os.path.exists(copy.folder)


@pytest.mark.parametrize("fault, message", [
    ("changed", "differs from the client's copy"),
    ("dropped", "is missing where the build reads it"),
])
def test_a_copy_that_differs_from_the_client_files_is_refused(tmp_path, fault, message):
    package_dir = three_uri_robot(tmp_path)
    bundle = Bundle.collect(tmp_path / "three.urdf", DATA / "pair.srdf", package_dir)
    files = list(bundle.files)
    at = next(i for i, f in enumerate(files) if f.role == "mesh")
    files[at] = dataclasses.replace(files[at], data=files[at].data + b"\0"
                                    if fault == "changed" else None)
    broken = dataclasses.replace(bundle, files=tuple(files))
    (tmp_path / "copies").mkdir()
    with pytest.raises(ToolError, match=message):
        PrivateCopy(broken, dir=tmp_path / "copies")
    # The half-made copy is removed with the failure.
    assert not any((tmp_path / "copies").iterdir())
