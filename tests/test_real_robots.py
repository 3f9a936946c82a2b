"""Conformance on the robots of example-robot-data.

Every query of a RobotModel is compared with the same work done directly through
Pinocchio's own Python bindings (``pinocchio``), on the neutral configuration and
on seeded random configurations inside and outside the joint limits. These are
the robots users load: meshes behind package:// URIs, mimic joints (read as
independent joints), continuous joints (two coordinates each), hundreds of
collision pairs and SRDFs written by others.
"""

import pathlib
import types
import typing

import numpy as np
import pytest

import talvex
from conftest import ERD_SHARE

pin = pytest.importorskip("pinocchio")
from collision_reference import inside_samples, joint_layout  # noqa: E402  (needs pinocchio)

SHARE = ERD_SHARE
ROBOTS = SHARE / "example-robot-data" / "robots" if SHARE else None

MARGIN = 0.005  # the build's default; the reference writes it into every request
SEED = 20240611
POSE_ATOL = 1e-12


class Robot(typing.NamedTuple):
    name: str
    urdf: str  # under example-robot-data/robots
    srdf: str = ""
    inside: int = 60  # random configurations strictly inside the limits
    outside: int = 10  # configurations with one coordinate on or beyond a bound
    mixed: bool = False  # the samples must hold colliding and free configurations


ROBOT_TABLE = [
    Robot("panda", "panda_description/urdf/panda.urdf", "panda_description/srdf/panda.srdf",
          inside=200, outside=12, mixed=True),
    Robot("ur5", "ur_description/urdf/ur5_robot.urdf", "ur_description/srdf/ur5.srdf",
          inside=80, mixed=True),
    Robot("ur5_gripper", "ur_description/urdf/ur5_gripper.urdf",
          "ur_description/srdf/ur5_gripper.srdf", mixed=True),
    Robot("kinova", "kinova_description/robots/kinova.urdf",
          "kinova_description/srdf/kinova.srdf"),
    Robot("so101", "so_arm_description/urdf/so101.urdf"),
    Robot("solo12", "solo_description/robots/solo12.urdf", "solo_description/srdf/solo.srdf"),
    Robot("talos_reduced", "talos_data/robots/talos_reduced.urdf", "talos_data/srdf/talos.srdf",
          inside=50, mixed=True),
    Robot("xarm7", "xarm_description/urdf/xarm7.urdf", "xarm_description/srdf/xarm7.srdf",
          inside=80, mixed=True),
    Robot("z1", "z1_description/urdf/z1.urdf", "z1_description/srdf/z1.srdf"),
    Robot("baxter", "baxter_description/urdf/baxter.urdf",
          "baxter_description/srdf/baxter_manipulation.srdf", mixed=True),
    Robot("pr2", "pr2_description/urdf/pr2.urdf", "pr2_description/srdf/pr2.srdf",
          inside=50, mixed=True),
    Robot("romeo", "romeo_description/urdf/romeo.urdf", "romeo_description/srdf/romeo.srdf",
          inside=50, mixed=True),
    Robot("hyq", "hyq_description/robots/hyq_no_sensors.urdf", "hyq_description/srdf/hyq.srdf",
          mixed=True),
    Robot("anymal_c", "anymal_c_simple_description/urdf/anymal.urdf",
          "anymal_c_simple_description/srdf/anymal.srdf", mixed=True),
    Robot("a1", "a1_description/urdf/a1.urdf", "a1_description/srdf/a1.srdf", mixed=True),
    Robot("tiago", "tiago_description/robots/tiago.urdf", inside=50),
]


def _outside_samples(model, rng, base, count):
    """Configurations with one single-coordinate joint on or beyond a bound."""
    lo, hi = model.lowerPositionLimit, model.upperPositionLimit
    single = [idx_q for idx_q, nq, _ in joint_layout(model) if nq == 1]
    out = []
    for k in range(count):
        q = base[k % len(base)].copy()
        i = single[rng.integers(len(single))]
        below = k % 2 == 0
        if k % 4 < 2:  # exactly on the bound: outside under the strict test
            q[i] = lo[i] if below else hi[i]
        else:
            step = rng.uniform(0.01, 0.5)
            q[i] = lo[i] - step if below else hi[i] + step
        out.append(q)
    return out


@pytest.fixture(scope="module", params=ROBOT_TABLE, ids=[r.name for r in ROBOT_TABLE])
def robot(request):
    name, urdf, srdf, n_in, n_out, mixed = request.param
    if ROBOTS is None:
        pytest.skip("example-robot-data is not installed")
    urdf_path = ROBOTS / urdf
    srdf_path = ROBOTS / srdf if srdf else None
    for path in (urdf_path, srdf_path):
        if path is not None and not path.is_file():
            pytest.skip(f"{path} is not in this example-robot-data")

    built = talvex.RobotModel()
    built.build_from_urdf(str(urdf_path), str(SHARE), str(srdf_path) if srdf_path else "")

    # The reference: the same steps, taken through Pinocchio's bindings.
    model = pin.buildModelFromUrdf(str(urdf_path), mimic=False)
    geom = pin.buildGeomFromUrdf(
        model, str(urdf_path), pin.GeometryType.COLLISION, package_dirs=[str(SHARE)]
    )
    geom.addAllCollisionPairs()
    if srdf_path is not None:
        pin.removeCollisionPairs(model, geom, str(srdf_path), False)
    geom_data = pin.GeometryData(geom)
    for req in geom_data.collisionRequests:
        req.security_margin = MARGIN
    assert [r.security_margin for r in geom_data.collisionRequests] == [MARGIN] * len(
        geom.collisionPairs
    )

    rng = np.random.default_rng(SEED)
    inside = inside_samples(model, rng, n_in)
    outside = _outside_samples(model, rng, inside, n_out)
    return types.SimpleNamespace(
        name=name,
        built=built,
        model=model,
        data=model.createData(),
        geom=geom,
        geom_data=geom_data,
        neutral=pin.neutral(model),
        inside=inside,
        samples=[pin.neutral(model)] + inside + outside,
        mixed=mixed,
    )


def _reference_poses(ref, q):
    pin.framesForwardKinematics(ref.model, ref.data, q)
    return [ref.data.oMf[i].homogeneous for i in range(len(ref.model.frames))]


def test_sizes_names_limits_neutral(robot):
    m, built = robot.model, robot.built
    assert built.nq() == m.nq
    assert built.ndof() == m.njoints - 1
    assert built.joint_names() == [n for n in m.names if n != "universe"]
    assert built.frame_names() == [f.name for f in m.frames if f.name != "universe"]
    np.testing.assert_array_equal(built.lower_position_limits(), m.lowerPositionLimit)
    np.testing.assert_array_equal(built.upper_position_limits(), m.upperPositionLimit)
    np.testing.assert_array_equal(built.neutral_configuration(), robot.neutral)


def test_frame_poses(robot):
    m, built = robot.model, robot.built
    names = [f.name for f in m.frames]
    counts = {n: names.count(n) for n in names}
    unique = [(i, n) for i, n in enumerate(names) if counts[n] == 1]
    for q in robot.samples:
        expected = _reference_poses(robot, q)
        # A repeated name holds the pose of its last frame.
        last = {n: expected[i] for i, n in enumerate(names) if n != "universe"}
        poses = built.all_frame_transforms(q)
        assert sorted(poses) == sorted(last)
        keys = sorted(last)
        np.testing.assert_allclose(
            np.array([poses[k] for k in keys]),
            np.array([last[k] for k in keys]),
            rtol=0,
            atol=POSE_ATOL,
        )
        # One frame placed after the joints is the full frame pass's product, bit for bit.
        np.testing.assert_array_equal(
            np.array([built.forward_kinematics(q, n) for _, n in unique]),
            np.array([expected[i] for i, _ in unique]),
        )
    # A name borne by several frames cannot be resolved by name alone.
    for name in sorted(n for n, c in counts.items() if c > 1):
        with pytest.raises(ValueError, match="Several frames match"):
            built.forward_kinematics(robot.neutral, name)


def test_in_joint_limits(robot):
    lo, hi = robot.model.lowerPositionLimit, robot.model.upperPositionLimit
    answers = [robot.built.in_joint_limits(q) for q in robot.samples]
    assert answers == [bool(np.all(q > lo) and np.all(q < hi)) for q in robot.samples]
    # The random inside samples really are inside, so both answers are exercised.
    assert all(robot.built.in_joint_limits(q) for q in robot.inside)
    assert not all(answers)


def test_self_collision(robot):
    answers = [robot.built.has_self_collision(q) for q in robot.samples]
    # The reference tests every pair (no early stop) and answers whether any collides.
    expected = [
        pin.computeCollisions(robot.model, robot.data, robot.geom, robot.geom_data, q, False)
        for q in robot.samples
    ]
    assert answers == expected
    if robot.mixed:
        assert any(answers), "no sample collides"
        assert not all(answers), "every sample collides"
