"""Configurations in every memory layout a float64 vector can have reach the model
with their values intact, checked against Pinocchio's own bindings."""
import pathlib

import numpy as np
import pytest

from conftest import ERD_SHARE

pin = pytest.importorskip("pinocchio")

SHARE = ERD_SHARE
UR5 = (SHARE / "example-robot-data" / "robots" / "ur_description" / "urdf" / "ur5_robot.urdf"
       if SHARE else pathlib.Path("/nonexistent"))
Q = np.array([0.3, -1.1, 1.7, -0.4, 0.9, -2.2])


class Sub(np.ndarray):
    pass


def readonly(q):
    frozen = q.copy()
    frozen.flags.writeable = False
    return frozen


def unaligned(q):
    raw = np.zeros(q.nbytes + 1, dtype=np.uint8)
    view = raw[1:].view(np.float64)
    view[:] = q
    return view


LAYOUTS = {
    "contiguous": lambda q: q.copy(),
    "strided": lambda q: np.repeat(q, 3)[::3],
    "reversed": lambda q: q[::-1].copy()[::-1],
    "unaligned": unaligned,
    "big-endian": lambda q: q.astype(">f8"),
    "subclass": lambda q: q.copy().view(Sub),
    "readonly": readonly,
    "fortran-column": lambda q: np.asfortranarray(q.reshape(-1, 1)),
}


@pytest.fixture(scope="module")
def ur5():
    if not UR5.exists():
        pytest.skip("example-robot-data has no UR5")
    import talvex

    robot = talvex.RobotModel()
    robot.build_from_urdf(str(UR5), str(SHARE), "", 0.005)
    model = pin.buildModelFromUrdf(str(UR5))
    return robot, model, model.createData()


def pin_pose(model, data, q, frame):
    pin.framesForwardKinematics(model, data, np.ascontiguousarray(q, dtype=np.float64))
    return data.oMf[model.getFrameId(frame)].homogeneous


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_every_layout_gives_pinocchios_pose(ur5, layout):
    robot, model, data = ur5
    q = layout(Q)
    assert np.array_equal(np.asarray(q, dtype=np.float64).ravel(), Q)
    expected = pin_pose(model, data, Q, "tool0")
    assert np.allclose(robot.forward_kinematics(q, "tool0"), expected, atol=1e-12)
    assert np.allclose(robot.all_frame_transforms(q)["tool0"], expected, atol=1e-12)


def test_zero_stride_broadcast_reads_one_value_for_all(ur5):
    robot, model, data = ur5
    q = np.broadcast_to(np.float64(0.7), (6,))
    assert q.strides == (0,)
    expected = pin_pose(model, data, np.full(6, 0.7), "tool0")
    assert np.allclose(robot.forward_kinematics(q, "tool0"), expected, atol=1e-12)


def test_results_own_their_memory_and_stay_put(ur5):
    robot = ur5[0]
    first = robot.forward_kinematics(Q, "tool0")
    poses = robot.all_frame_transforms(Q)
    kept = first.copy()
    robot.forward_kinematics(-Q, "tool0")
    robot.all_frame_transforms(-Q)
    assert np.array_equal(first, kept)
    assert np.array_equal(poses["tool0"], kept)
    for a in [first, *poses.values()]:
        assert a.flags.writeable and a.strides == (8, 32)
