"""Building from URDF/SRDF: the SRDF rules, failures, rebuilding, the margin."""
import math
import os
import pathlib
import re

import numpy as np
import pytest

import talvex
from conftest import DATA, READINESS, assert_unbuilt, build, data_path

# pair.urdf: two radius-0.1 spheres, surface gap = q - 0.2.
TOUCHING = [0.0]
GAP_3MM = [0.203]
FAR = [0.5]


def collisions(model):
    return [model.has_self_collision(q) for q in (TOUCHING, GAP_3MM, FAR)]


def write(path, text):
    path.write_text(text)
    return str(path)


SRDF_OK = '<robot name="pair"><disable_collisions link1="base" link2="slider"/></robot>'


def test_fresh_object_is_unbuilt():
    assert_unbuilt(talvex.RobotModel())


def test_unbuilt_guard_comes_before_argument_checks():
    model = talvex.RobotModel()
    for call in (lambda: model.forward_kinematics([0.0] * 9, "no such frame"),
                 lambda: model.in_joint_limits([1.0, 2.0, 3.0]),
                 lambda: model.has_self_collision([])):
        with pytest.raises(RuntimeError, match="^" + READINESS.replace("(", r"\(").replace(")", r"\)") + "$"):
            call()


def test_defaults_equal_explicit_empty_srdf_and_default_margin():
    short = talvex.RobotModel()
    short.build_from_urdf(data_path("pair.urdf"), str(DATA))
    explicit = build("pair.urdf", "", 0.005)
    keyword = talvex.RobotModel()
    keyword.build_from_urdf(urdf_path=data_path("pair.urdf"), package_dir=str(DATA),
                            collision_margin=0.005)
    assert collisions(short) == collisions(explicit) == collisions(keyword) == [True, True, False]
    with pytest.raises(TypeError):
        talvex.RobotModel().build_from_urdf(data_path("pair.urdf"))


@pytest.mark.parametrize("srdf", ["", "does/not/exist.srdf", "missing.xml"])
def test_absent_srdf_keeps_every_pair(srdf):
    assert collisions(build("pair.urdf", srdf)) == [True, True, False]


def test_srdf_removes_the_disabled_pair():
    assert collisions(build("pair.urdf", "pair.srdf")) == [False, False, False]


@pytest.mark.parametrize("entries", [
    '<disable_collisions link1="slider" link2="base"/>',
    # An unknown link or the same link twice is skipped; later entries still apply.
    '<disable_collisions link1="ghost" link2="base"/>'
    '<disable_collisions link1="base" link2="base"/>'
    '<disable_collisions link1="base" link2="slider"/>',
])
def test_srdf_entries_in_any_order_and_skipped_entries(tmp_path, entries):
    srdf = write(tmp_path / "r.srdf", f'<robot name="pair">{entries}</robot>')
    assert collisions(build("pair.urdf", srdf)) == [False, False, False]


def test_srdf_of_unknown_links_only_removes_nothing(tmp_path):
    srdf = write(tmp_path / "r.srdf",
                 '<robot name="pair"><disable_collisions link1="a" link2="b"/></robot>')
    assert collisions(build("pair.urdf", srdf)) == [True, True, False]


@pytest.mark.parametrize("name", ["robot.xml", "robot.SRDF", "robot.srdf.bak"])
def test_existing_srdf_with_wrong_extension_fails(tmp_path, name):
    srdf = write(tmp_path / name, SRDF_OK)
    model = talvex.RobotModel()
    with pytest.raises(ValueError) as info:
        model.build_from_urdf(data_path("pair.urdf"), str(DATA), srdf)
    assert str(info.value) == srdf + " does not have the right extension."
    assert_unbuilt(model)


def test_existing_directory_as_srdf_is_read_and_fails(tmp_path):
    folder = tmp_path / "robot.srdf"
    folder.mkdir()
    model = talvex.RobotModel()
    with pytest.raises((ValueError, RuntimeError)):
        model.build_from_urdf(data_path("pair.urdf"), str(DATA), str(folder))
    assert_unbuilt(model)


@pytest.mark.parametrize("text,message", [
    ('<robot name="pair"><disable_collisions link1="base" link2="slider"></robot>',
     r"^<unspecified file>\(1\): unexpected end of data$"),
    ('<robot name="pair"><disable_collisions link1="base"/></robot>', r"^No such node"),
    ('<other><disable_collisions link1="base" link2="slider"/></other>', r"^No such node"),
])
def test_malformed_srdf_fails_with_runtime_error(tmp_path, text, message):
    srdf = write(tmp_path / "bad.srdf", text)
    model = talvex.RobotModel()
    with pytest.raises(RuntimeError, match=message):
        model.build_from_urdf(data_path("pair.urdf"), str(DATA), srdf)
    assert_unbuilt(model)


def test_missing_urdf_fails_and_object_stays_unbuilt(tmp_path):
    model = talvex.RobotModel()
    with pytest.raises(ValueError):
        model.build_from_urdf(str(tmp_path / "nothing.urdf"), str(DATA))
    assert_unbuilt(model)


def test_mesh_resolved_through_package_dir():
    assert collisions(build("mesh_pair.urdf")) == [True, True, False]


def test_mesh_not_under_package_dir_fails(tmp_path):
    model = talvex.RobotModel()
    with pytest.raises(ValueError, match="cube.stl"):
        model.build_from_urdf(data_path("mesh_pair.urdf"), str(tmp_path))
    assert_unbuilt(model)


def test_urdf_without_collision_elements_builds_with_no_pairs(tmp_path):
    urdf = (DATA / "pair.urdf").read_text()
    urdf = urdf.replace('<collision><geometry><sphere radius="0.1"/></geometry></collision>', "")
    model = build(write(tmp_path / "bare.urdf", urdf), "pair.srdf")
    assert collisions(model) == [False, False, False]
    assert model.nq() == 1


@pytest.mark.parametrize("margin,expected", [
    (0.005, [True, True, False]),
    (0.0, [True, False, False]),
    (0, [True, False, False]),
    (False, [True, False, False]),
    (np.float32(0.01), [True, True, False]),
    (0.35, [True, True, True]),       # wide margin: the 0.3 gap counts as a contact
    (-0.01, [True, False, False]),    # stored as given: only real overlap collides
    (math.inf, [True, True, True]),
])
def test_margin_is_written_into_every_request(margin, expected):
    assert collisions(build("pair.urdf", margin=margin)) == expected


def test_nan_margin_is_refused_before_reading(tmp_path):
    model = talvex.RobotModel()
    # The URDF does not exist: the margin is refused before anything is read.
    with pytest.raises(ValueError, match="collision_margin"):
        model.build_from_urdf(str(tmp_path / "nothing.urdf"), str(DATA), "", math.nan)
    assert_unbuilt(model)
    built = build("pair.urdf")
    with pytest.raises(ValueError, match="collision_margin"):
        built.build_from_urdf(data_path("pair.urdf"), str(DATA), "", float("nan"))
    assert collisions(built) == [True, True, False]


@pytest.mark.parametrize("bad", [
    dict(urdf_path=pathlib.Path(DATA / "pair.urdf"), package_dir=str(DATA)),
    dict(urdf_path=data_path("pair.urdf"), package_dir=str(DATA), srdf_path=None),
    dict(urdf_path=data_path("pair.urdf"), package_dir=str(DATA), collision_margin="0.01"),
    dict(urdf_path=data_path("pair.urdf"), package_dir=str(DATA), collision_margin=10**400),
])
def test_unconvertible_arguments_raise_type_error(bad):
    model = talvex.RobotModel()
    with pytest.raises(TypeError):
        model.build_from_urdf(**bad)
    assert_unbuilt(model)


def test_bytes_paths_are_accepted():
    model = talvex.RobotModel()
    model.build_from_urdf(os.fsencode(data_path("pair.urdf")), os.fsencode(str(DATA)),
                          os.fsencode(data_path("pair.srdf")))
    assert collisions(model) == [False, False, False]


def test_rebuild_replaces_the_robot():
    model = build("pair.urdf")
    model.build_from_urdf(data_path("pair.urdf"), str(DATA), data_path("pair.srdf"))
    # Not the two descriptions merged: one joint, and the SRDF of the second call holds.
    assert model.nq() == 1
    assert model.joint_names() == ["slide"]
    assert collisions(model) == [False, False, False]


@pytest.mark.parametrize("failing", [
    lambda m, tmp: m.build_from_urdf(str(tmp / "nothing.urdf"), str(DATA)),
    lambda m, tmp: m.build_from_urdf(data_path("mesh_pair.urdf"), str(tmp)),
    lambda m, tmp: m.build_from_urdf(data_path("pair.urdf"), str(DATA),
                                     write(tmp / "bad.srdf", "<robot><disable_collisions/></robot>")),
])
def test_failed_rebuild_keeps_the_robot(tmp_path, failing):
    model = build("pair.urdf", margin=0.0)
    before = (model.frame_names(), collisions(model), model.forward_kinematics([0.3], "slider"))
    with pytest.raises((ValueError, RuntimeError)):
        failing(model, tmp_path)
    after = (model.frame_names(), collisions(model), model.forward_kinematics([0.3], "slider"))
    assert before[:2] == after[:2]
    np.testing.assert_array_equal(before[2], after[2])


def test_two_objects_are_independent():
    one = build("pair.urdf")
    two = build("pair.urdf", "pair.srdf")
    assert collisions(one) == [True, True, False]
    assert collisions(two) == [False, False, False]


def test_ros_package_path_is_a_fallback_behind_package_dir(tmp_path, monkeypatch):
    # A decoy package of the same name whose cube is 20 times larger: the slider
    # sits inside it, clear of its faces, so loading it would change the answers.
    cube = (DATA / "talvex_test/meshes/cube.stl").read_text()
    big = re.sub(r"vertex ([-\d.e ]+)", lambda m: "vertex " + " ".join(
        str(20 * float(v)) for v in m.group(1).split()), cube)
    decoy = tmp_path / "decoy/talvex_test/meshes"
    decoy.mkdir(parents=True)
    (decoy / "cube.stl").write_text(big)
    monkeypatch.setenv("ROS_PACKAGE_PATH", f"{tmp_path / 'decoy'}:{tmp_path / 'none'}")
    assert collisions(build("mesh_pair.urdf")) == [True, True, False]
    # With nothing under package_dir, the reader looks in those directories.
    monkeypatch.setenv("ROS_PACKAGE_PATH", str(DATA))
    assert collisions(build("mesh_pair.urdf", package_dir=str(tmp_path))) == [True, True, False]


@pytest.mark.parametrize("bad", ["nan", "inf", "-inf"])
def test_mesh_with_a_vertex_that_is_not_finite_is_refused(tmp_path, bad):
    # The cube of mesh_pair with one coordinate spoilt: the mesh loader keeps it,
    # and every test against that mesh would answer at random.
    meshes = tmp_path / "talvex_test" / "meshes"
    meshes.mkdir(parents=True)
    cube = (DATA / "talvex_test" / "meshes" / "cube.stl").read_text()
    (meshes / "cube.stl").write_text(cube.replace("vertex 0.1 0.1 0.1", f"vertex 0.1 {bad} 0.1", 1))
    model = talvex.RobotModel()
    with pytest.raises(ValueError, match=r"link 'base' of .*mesh_pair\.urdf.*cube\.stl.* not finite"):
        model.build_from_urdf(data_path("mesh_pair.urdf"), str(tmp_path))
    assert_unbuilt(model)


@pytest.mark.parametrize("text, line", [
    (None, 5),  # tests/data/xacro_source.urdf: <xacro:include> on its line 5
    ('<robot name="r" xmlns:x="http://ros.org/wiki/xacro"><link name="a"/>\n'
     '<x:macro name="m"/></robot>', 2),  # any prefix bound to xacro's namespace
    ('<robot name="r"><link name="a"/><xacro:property name="p" value="1"/></robot>', 1),
])
def test_xacro_source_is_refused_naming_the_element(tmp_path, text, line):
    path = DATA / "xacro_source.urdf"
    if text is not None:
        path = tmp_path / "r.urdf"
        path.write_text(text)
    model = talvex.RobotModel()
    with pytest.raises(ValueError) as info:
        model.build_from_urdf(str(path), str(DATA))
    assert f"on line {line}; run xacro on it first." in str(info.value)
    assert_unbuilt(model)


def test_declared_xacro_namespace_alone_still_builds():
    assert build("xacro_declared.urdf").nq() == 1
