"""talvex_tools.batch: every batch answer is the single call's, whatever the thread
count; per-pair answers agree with the verdict; the joint layout says what q holds;
bad input is refused before any work; a rebuild or Ctrl-C does not corrupt a call."""
import math
import os
import signal
import threading
import time

import numpy as np
import pytest

import talvex
from conftest import ERD_SHARE, READINESS, build, data_path
from talvex_tools import batch


def panda(margin=0.005):
    if ERD_SHARE is None:
        pytest.skip("example-robot-data is not installed")
    base = ERD_SHARE / "example-robot-data/robots/panda_description"
    robot = talvex.RobotModel()
    robot.build_from_urdf(str(base / "urdf/panda.urdf"), str(ERD_SHARE),
                          str(base / "srdf/panda.srdf"), margin)
    return robot


def draws(robot, count, seed=0):
    """In-limit draws, some pushed to contact by scaling towards neutral, and a few
    rows of non-finite or off-circle values."""
    rng = np.random.default_rng(seed)
    lo, hi = robot.lower_position_limits(), robot.upper_position_limits()
    lo, hi = np.where(np.isfinite(lo), lo, -3.0), np.where(np.isfinite(hi), hi, 3.0)
    qs = lo + rng.random((count, robot.nq())) * (hi - lo)
    qs[: count // 4] *= rng.random((count // 4, 1))
    qs[-1] = np.nan
    qs[-2, 0] = np.inf
    return qs


ROBOTS = {
    "panda": lambda: panda(),
    "panda margin 0.05": lambda: panda(0.05),
    "panda margin 0": lambda: panda(0.0),
    "telescope": lambda: build("telescope.urdf"),
    "mesh pair": lambda: build("mesh_pair.urdf"),
}


@pytest.mark.parametrize("name", ROBOTS)
def test_answers_equal_single_calls_for_any_thread_count(name):
    robot = ROBOTS[name]()
    qs = draws(robot, 400)
    expected = np.array([robot.has_self_collision(q) for q in qs])
    if name.startswith("panda"):
        assert 0 < expected.sum() < len(qs)
    frames = robot.frame_names()[-2:]
    poses = np.array([[robot.forward_kinematics(q, f) for f in frames] for q in qs])
    per_link = batch.pair_collisions(robot, qs, threads=2)
    assert np.array_equal(per_link.any(axis=1), expected)
    for threads in (1, 2, 3):
        assert np.array_equal(batch.self_collisions(robot, qs, threads=threads), expected)
        got = batch.frame_poses(robot, qs, frames, threads=threads)
        assert got.shape == (len(qs), 2, 4, 4)
        assert np.array_equal(got, poses, equal_nan=True)  # bit for bit
    for q, hit in zip(qs[:50], expected):
        assert bool(batch.colliding_pairs(robot, q)) == hit


def test_pair_distances_are_the_gap_between_spheres():
    # Two spheres of radius 0.1 on a slider: their gap is q - 0.2.
    robot = build("pair.urdf")
    assert batch.link_pairs(robot) == [("base", "slider")]
    for q in (0.35, 0.21, 0.5):
        [(a, b, distance)] = batch.pair_distances(robot, [q], below=1.0)
        assert (a, b) == ("base", "slider")
        assert distance == pytest.approx(q - 0.2, abs=1e-9)
        assert batch.pair_distances(robot, [q], below=q - 0.2 - 1e-6) == []
    assert batch.colliding_pairs(robot, [0.204]) == [("base", "slider")]
    assert batch.colliding_pairs(robot, [0.206]) == []


def test_joint_layout_says_what_q_holds():
    robot = build("telescope.urdf")
    layout = batch.joint_layout(robot)
    by_name = {j["name"]: j for j in layout}
    assert [j["q_start"] for j in layout] == sorted(j["q_start"] for j in layout)
    assert sum(j["q_count"] for j in layout) == robot.nq()
    assert by_name["base_joint"]["type"] == "planar"
    assert by_name["base_joint"]["coordinates"] == ["x", "y", "cos", "sin"]
    assert by_name["wrist_joint"]["type"] == "continuous"
    assert by_name["wrist_joint"]["coordinates"] == ["cos", "sin"]
    assert (by_name["wrist_joint"]["q_count"], by_name["wrist_joint"]["v_count"]) == (2, 1)
    assert by_name["finger_joint"]["type"] == "revolute"
    assert by_name["finger_joint"]["lower"] == [-0.8]
    assert by_name["lift_joint"]["coordinates"] == ["position"]
    assert by_name["arm_l2_joint"]["mimic"] == {"joint": "arm_l1_joint", "multiplier": 1.0,
                                                "offset": 0.0}
    assert by_name["arm_l1_joint"]["mimic"] is None
    assert by_name["arm_l1_joint"]["parent"] == "lift_joint"
    assert by_name["base_joint"]["parent"] is None
    lo = robot.lower_position_limits()
    for joint in layout:
        start, count = joint["q_start"], joint["q_count"]
        assert joint["lower"] == list(lo[start:start + count])


BAD = [
    ("unbuilt", lambda r: batch.self_collisions(talvex.RobotModel(), np.zeros((1, 1))),
     RuntimeError, READINESS),
    ("1-D", lambda r: batch.self_collisions(r, np.zeros(r.nq())), ValueError, "expected (N, nq)"),
    ("width", lambda r: batch.frame_poses(r, np.zeros((3, r.nq() + 1)), ["base_link"]),
     ValueError, "shape (3, 12)"),
    ("threads 0", lambda r: batch.self_collisions(r, np.zeros((1, r.nq())), threads=0),
     ValueError, "at least 1"),
    ("threads float", lambda r: batch.self_collisions(r, np.zeros((1, r.nq())), threads=1.5),
     TypeError, "integer"),
    ("frame", lambda r: batch.frame_poses(r, np.zeros((2, r.nq())), ["link_grasp_center"]),
     RuntimeError, "frame 'link_grasp_center' not found"),
]


@pytest.mark.parametrize("case", BAD, ids=[c[0] for c in BAD])
def test_bad_input_is_refused_before_work(case):
    _, call, kind, text = case
    robot = build("telescope.urdf")
    assert robot.nq() == 11
    with pytest.raises(kind) as info:
        call(robot)
    assert text in str(info.value)


def test_empty_input_gives_empty_arrays():
    robot = build("telescope.urdf")
    empty = np.zeros((0, robot.nq()))
    assert batch.self_collisions(robot, empty).shape == (0,)
    assert batch.frame_poses(robot, empty, ["base_link"]).shape == (0, 1, 4, 4)
    assert batch.pair_collisions(robot, empty).shape == (0, len(batch.link_pairs(robot)))


def test_negative_margin_refusal_is_the_lowest_failing_rows():
    robot = build("pair.urdf", margin=-0.001)
    qs = np.full((300, 1), 0.5)
    qs[250] = np.nan
    qs[100] = np.inf
    with pytest.raises(ValueError) as single:
        robot.has_self_collision(qs[100])
    for threads in (1, 2):
        with pytest.raises(ValueError) as info:
            batch.self_collisions(robot, qs, threads=threads)
        assert str(info.value) == str(single.value)


def test_rebuild_while_a_call_runs_leaves_both_answers_whole():
    robot = panda()
    qs = draws(robot, 20000)
    expected = batch.self_collisions(robot, qs, threads=1)
    results = []
    worker = threading.Thread(target=lambda: results.append(
        batch.self_collisions(robot, qs, threads=2)))
    worker.start()
    base = ERD_SHARE / "example-robot-data/robots/panda_description"
    for _ in range(3):  # the same robot again: answers must not move
        robot.build_from_urdf(str(base / "urdf/panda.urdf"), str(ERD_SHARE),
                              str(base / "srdf/panda.srdf"), 0.005)
    worker.join()
    assert np.array_equal(results[0], expected)
    assert np.array_equal(batch.self_collisions(robot, qs[:500]), expected[:500])


def test_ctrl_c_interrupts_a_long_call_within_a_second():
    robot = panda()
    qs = np.tile(robot.neutral_configuration(), (2_000_000, 1))
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        batch.self_collisions(robot, qs, threads=2)
    assert time.monotonic() - start < 1.5
    # The robot still answers, and its workspaces went back to its pool.
    assert batch.self_collisions(robot, qs[:10]).all() == robot.has_self_collision(qs[0])
    assert math.isfinite(batch.margin(robot))
