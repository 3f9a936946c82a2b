"""Configuration space: sizes, joint names, limits, the strict in-limits test, neutral."""
import math
import re

import numpy as np
import pytest

from conftest import build

# cspace.urdf, in configuration order: rev [0, 1.5], cont (cos, sin), plane (x, y, cos, sin),
# float (x, y, z, qx, qy, qz, qw), pris [-0.5, 0.25].
NQ = 1 + 2 + 4 + 7 + 1
FREE_TRANSLATION = [7, 8, 9]  # the floating joint's x, y, z have no bounds
INSIDE = np.array([0.5, math.cos(0.3), math.sin(0.3), 1e3, -2.0, math.cos(-2), math.sin(-2),
                   1e300, -1e300, 0.0, 0.5, -0.5, 0.5, -0.5, 0.1])


@pytest.fixture(scope="module")
def cspace():
    return build("cspace.urdf")


def test_sizes_names_and_neutral(cspace):
    assert cspace.nq() == NQ and cspace.ndof() == 5
    assert type(cspace.nq()) is int and type(cspace.ndof()) is int
    assert cspace.joint_names() == ["rev", "cont", "plane", "float", "pris"]
    assert repr(cspace) == f"<talvex.RobotModel nq={NQ}>"
    # Each joint's identity element: angle 0 is (cos, sin) = (1, 0); the floating
    # joint's unit quaternion is (0, 0, 0, 1).
    expected = [0.0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0.0]
    np.testing.assert_array_equal(cspace.neutral_configuration(), expected)
    # The revolute joint's lower bound is exactly 0, so its neutral value is outside.
    assert cspace.in_joint_limits(cspace.neutral_configuration()) is False


def test_limits_are_the_urdf_numbers_and_copies(cspace):
    lo, hi = cspace.lower_position_limits(), cspace.upper_position_limits()
    assert lo.shape == hi.shape == (NQ,)
    assert (lo[0], hi[0], lo[-1], hi[-1]) == (0.0, 1.5, -0.5, 0.25)
    assert np.all(lo[FREE_TRANSLATION] == -np.inf) and np.all(hi[FREE_TRANSLATION] == np.inf)
    lo[:] = 7.0
    hi[:] = -7.0
    cspace.neutral_configuration()[:] = 9.0
    assert cspace.lower_position_limits()[0] == 0.0 and cspace.upper_position_limits()[0] == 1.5
    assert cspace.neutral_configuration()[0] == 0.0


def test_inside_and_every_coordinate_at_or_beyond_its_bounds(cspace):
    lo, hi = cspace.lower_position_limits(), cspace.upper_position_limits()
    assert cspace.in_joint_limits(INSIDE) is True
    for i in range(NQ):
        # Strict, with no tolerance: one ulp inside each bound is in, the bound is out.
        for value, inside in [(lo[i], False), (hi[i], False), (np.nextafter(lo[i], hi[i]), True),
                              (np.nextafter(hi[i], lo[i]), True), (math.nan, False)]:
            q = INSIDE.copy()
            q[i] = value
            assert cspace.in_joint_limits(q) is inside, (i, value)


@pytest.mark.parametrize("value", [math.inf, -math.inf])
def test_infinite_coordinate_is_outside_even_unbounded(cspace, value):
    q = INSIDE.copy()
    q[FREE_TRANSLATION[0]] = value
    assert cspace.in_joint_limits(q) is False


@pytest.mark.parametrize("length", [0, 1, NQ - 1, NQ + 1, 3 * NQ])
def test_wrong_length_is_refused_with_both_lengths(cspace, length):
    with pytest.raises(ValueError) as info:
        cspace.in_joint_limits(np.zeros(length))
    numbers = [int(n) for n in re.findall(r"\d+", str(info.value))]
    assert sorted(numbers) == sorted([length, NQ])


def test_equal_bounds_admit_nothing(tmp_path):
    urdf = tmp_path / "equal.urdf"
    urdf.write_text(
        '<robot name="equal"><link name="a"/><link name="b"/>'
        '<joint name="j" type="revolute"><parent link="a"/><child link="b"/><axis xyz="0 0 1"/>'
        '<limit lower="0.3" upper="0.3" effort="1" velocity="1"/></joint></robot>')
    model = build(str(urdf))
    assert model.lower_position_limits()[0] == model.upper_position_limits()[0] == 0.3
    for q in (0.3, np.nextafter(0.3, 1), np.nextafter(0.3, 0), 0.0):
        assert model.in_joint_limits([q]) is False


def test_robot_without_movable_joints():
    model = build("cspace_fixed.urdf")
    assert (model.nq(), model.ndof(), model.joint_names()) == (0, 0, [])
    assert repr(model) == "<talvex.RobotModel nq=0>"
    for vector in (model.lower_position_limits(), model.upper_position_limits(),
                   model.neutral_configuration()):
        assert vector.shape == (0,) and vector.dtype == np.float64
    assert model.in_joint_limits([]) is True
    assert model.in_joint_limits(np.empty((0, 1))) is True
    with pytest.raises(ValueError):
        model.in_joint_limits([0.0])
    assert model.frame_names() == ["base", "mount", "tool"]
    assert list(model.all_frame_transforms([])) == ["base", "mount", "tool"]
    c, s = math.cos(1), math.sin(1)
    expected = np.array([[c, -s, 0, 0.1], [s, c, 0, 0.2], [0, 0, 1, 0.3], [0, 0, 0, 1]])
    np.testing.assert_allclose(model.forward_kinematics([], "tool"), expected, rtol=0, atol=1e-15)
