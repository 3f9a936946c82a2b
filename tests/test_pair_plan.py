"""The order and shortcuts of the collision pass against the full pairwise test.

A pair of links joined by a joint may touch at every configuration (no SRDF),
which lets the pass answer early; these robots are built so that a shortcut
taken wrongly (a point that moves with the joint, a placement left out, a
(cos, sin) pair off the circle) would change a verdict.
"""

import numpy as np
import pytest

import talvex
from collision_reference import Reference

ROBOT = """<?xml version="1.0"?>
<robot name="plan">
  <link name="base">
    <collision><origin xyz="{base_xyz}"/><geometry>{base}</geometry></collision>
  </link>
  <link name="arm">
    <collision><origin xyz="{arm_xyz}"/><geometry>{arm}</geometry></collision>
  </link>
  <link name="tip">
    <collision><origin xyz="0.15 0 0"/><geometry><sphere radius="0.02"/></geometry></collision>
  </link>
  <joint name="turn" type="{kind}">
    <parent link="base"/><child link="arm"/>
    <origin xyz="0 0 {joint_z}"/>
    <axis xyz="{axis}"/>
    <limit lower="-1" upper="1" effort="1" velocity="1"/>
  </joint>
  <joint name="wrist" type="revolute">
    <parent link="arm"/><child link="tip"/>
    <origin xyz="0.3 0 0"/>
    <axis xyz="0 1 0"/>
    <limit lower="-3" upper="3" effort="1" velocity="1"/>
  </joint>
</robot>
"""

BOX = '<box size="0.2 0.2 0.2"/>'
CASES = {
    # The joint's origin lies inside both boxes: in collision at every angle.
    "touching at the axis": dict(base=BOX, arm='<box size="0.4 0.05 0.05"/>', arm_xyz="0.15 0 0",
                                 joint_z="-0.02", kind="revolute", axis="0 0 1"),
    # The same, about an axis of its own and with no limits.
    "continuous": dict(base=BOX, arm='<cylinder radius="0.03" length="0.4"/>',
                       arm_xyz="0 0 0.1", joint_z="-0.02", kind="continuous",
                       axis="0.6 0 0.8"),
    # The arm's box begins 8 cm past the joint's origin, 6 cm above the base:
    # the arm clears the base as it turns up.
    "origin outside the arm": dict(base=BOX, arm='<box size="0.3 0.05 0.05"/>',
                                   arm_xyz="0.23 0 0", joint_z="0.06", kind="revolute",
                                   axis="0 1 0"),
    # A prismatic joint carries the shared point away.
    "sliding": dict(base=BOX, arm='<box size="0.05 0.05 0.05"/>', arm_xyz="0 0 0",
                    joint_z="0", kind="prismatic", axis="0 0 1"),
}


def build(tmp_path, case, margin=0.005):
    path = tmp_path / "plan.urdf"
    path.write_text(ROBOT.format(**({"base_xyz": "0 0 -0.1"} | CASES[case])))
    model = talvex.RobotModel()
    model.build_from_urdf(str(path), str(tmp_path), "", margin)
    return model, Reference(path, tmp_path, None, margin)


def configurations(ref, rng, count=200):
    """Inside and far outside the limits, with continuous joints on and off their circle."""
    out = []
    for k in range(count):
        q = rng.uniform(-1, 1, ref.model.nq) * (4 if k % 3 == 0 else 1)
        for joint in list(ref.model.joints)[1:]:
            if joint.nq == 2:
                angle = rng.uniform(-np.pi, np.pi)
                scale = [1.0, 1.0 + 1e-9, 0.5, 2.0][k % 4]
                q[joint.idx_q:joint.idx_q + 2] = scale * np.array([np.cos(angle), np.sin(angle)])
        out.append(q)
    return out


@pytest.mark.parametrize("case", sorted(CASES))
@pytest.mark.parametrize("margin", [0.0, 0.005, 0.05])
def test_verdicts_equal_the_full_test(tmp_path, case, margin):
    model, ref = build(tmp_path, case, margin)
    rng = np.random.default_rng(7)
    verdicts = [(model.has_self_collision(q), ref.collides(q)) for q in configurations(ref, rng)]
    assert [ours for ours, _ in verdicts] == [theirs for _, theirs in verdicts]
    # The robots are meant to show both answers, but for the one always in collision.
    answers = {theirs for _, theirs in verdicts}
    assert answers == ({True} if case in ("touching at the axis", "continuous") else {True, False})


# A speck on the joint's axis and a box whose edge runs 2 mm off the axis in y
# and in z: 2.73 mm apart at every angle, closer than a 5 mm margin, not a
# 2.5 mm one (the edge's distance is the diagonal, not either offset).
SPECK = dict(base='<sphere radius="0.0001"/>', base_xyz="0 0 0", arm='<box size="0.05 0.05 0.05"/>',
             arm_xyz="0 0.027 0.027", joint_z="0", kind="continuous", axis="1 0 0")


@pytest.mark.parametrize("margin, expected", [(0.0025, False), (0.005, True)])
def test_a_pair_near_at_every_angle(tmp_path, margin, expected):
    CASES["speck"] = SPECK
    try:
        model, ref = build(tmp_path, "speck", margin)
    finally:
        del CASES["speck"]
    rng = np.random.default_rng(3)
    for q in configurations(ref, rng, 60):
        assert model.has_self_collision(q) == ref.collides(q)
    q = configurations(ref, rng, 1)[0]
    assert ref.collides(q) == expected


def test_wrong_length_still_raises_the_placement_error(tmp_path):
    model, ref = build(tmp_path, "touching at the axis")
    with pytest.raises(ValueError):
        model.has_self_collision(np.zeros(ref.model.nq + 1))


def test_non_finite_configuration_is_answered_as_the_full_test_answers(tmp_path):
    model, ref = build(tmp_path, "origin outside the arm")
    q = np.array([np.nan, 0.0])
    try:
        expected = ref.collides(q)
    except Exception as error:  # the full test's own failure, if any, must be ours too
        with pytest.raises(type(error)):
            model.has_self_collision(q)
    else:
        assert model.has_self_collision(q) == expected
