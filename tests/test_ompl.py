"""talvex_tools.ompl: the space is what talvex's limits and joint kinds say, states and
configurations convert both ways, OMPL interpolates as Pinocchio does, the motion
validator answers as talvex_tools.motion does, a planned path is free under a dense
check, and bad input is refused before any work."""
import math
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import talvex
from conftest import DATA, ERD_SHARE, READINESS, build

ob = pytest.importorskip("ompl.base")
og = pytest.importorskip("ompl.geometric")
pin = pytest.importorskip("pinocchio")
from talvex_tools import motion  # noqa: E402
from talvex_tools import ompl as tompl  # noqa: E402

PANDA_URDF = None if ERD_SHARE is None else (
    ERD_SHARE / "example-robot-data/robots/panda_description/urdf/panda.urdf")
PANDA_ARM = [f"panda_joint{k}" for k in range(1, 8)]
# Every joint of chain.urdf: revolute, continuous, prismatic, revolute, continuous, prismatic.
CHAIN = ["j1", "j2", "j3", "j5", "k1", "k2"]


def panda(margin=0.005):
    from test_batch import panda as built
    return built(margin)


def wide(tmp_path):
    """A turn and a slide whose limits of 1e16 stand for none, and a lift bounded on
    one side only."""
    urdf = tmp_path / "wide.urdf"
    joint = ('<joint name="{0}" type="{1}"><parent link="{2}"/><child link="{3}"/>'
             '<axis xyz="0 0 1"/><limit lower="{4}" upper="{5}" effort="1" velocity="1"/></joint>')
    urdf.write_text(
        '<robot name="wide"><link name="a"/><link name="b"/><link name="c"/><link name="d"/>'
        + joint.format("turn", "revolute", "a", "b", -1e16, 1e16)
        + joint.format("slide", "prismatic", "b", "c", -1e16, 1e16)
        + joint.format("lift", "prismatic", "c", "d", 0, 1e16) + "</robot>")
    return build(str(urdf), package_dir=str(tmp_path)), str(urdf)


ROBOTS = {
    "chain": lambda tmp: (build("chain.urdf"), str(DATA / "chain.urdf"), CHAIN),
    "crank": lambda tmp: (build("crank.urdf"), str(DATA / "crank.urdf"), ["lift", "crank"]),
    "panda arm": lambda tmp: (panda(), str(PANDA_URDF), PANDA_ARM),
    "wide": lambda tmp: (*wide(tmp), None),
}


def sampled(setup, count):
    """count uniform states of setup's space."""
    si = setup.getSpaceInformation()
    sampler = si.allocStateSampler()
    states = [si.allocState() for _ in range(count)]
    for state in states:
        sampler.sampleUniform(state)
    return states


@pytest.mark.parametrize("name", ROBOTS)
def test_space_holds_the_planned_joints_with_talvex_limits(tmp_path, name):
    robot, urdf, joints = ROBOTS[name](tmp_path)
    setup = tompl.setup(robot, joints, step=0.02)
    space = setup.getStateSpace()
    layout = talvex_layout(robot)
    planned = [layout[j] for j in (joints or layout)]
    real = [j for j in planned if j["type"] != "continuous"]
    circles = sum(j["type"] == "continuous" for j in planned)
    parts = space.getSubspaces() if circles else [space]
    assert [type(p).__name__ for p in parts] == (
        ["RealVectorStateSpace"] * bool(real) + ["SO2StateSpace"] * circles)
    if real:
        bounds = parts[0].getBounds()
        expected = [stand_in(j) for j in real]
        assert list(zip(bounds.low, bounds.high)) == expected
        assert [parts[0].getDimensionName(k) for k in range(len(real))] == [j["name"] for j in real]
    # Each part steps at most step / sqrt(parts), so OMPL's own discretisation is at
    # least as fine as step in Pinocchio's distance: never fewer segments than edge_free.
    for part in parts:
        assert part.getLongestValidSegmentLength() == pytest.approx(0.02 / math.sqrt(len(parts)))
    model = pin.buildModelFromUrdf(urdf)
    states = sampled(setup, 60)
    for s1, s2 in zip(states[:30], states[30:]):
        q0, q1 = tompl.to_configuration(setup, s1), tompl.to_configuration(setup, s2)
        assert space.validSegmentCount(s1, s2) >= math.ceil(pin.distance(model, q0, q1) / 0.02)


def talvex_layout(robot):
    from talvex_tools import batch
    return {j["name"]: j for j in batch.joint_layout(robot)}


def stand_in(joint):
    lo, hi = joint["lower"][0], joint["upper"][0]
    wide = math.pi if joint["type"] == "revolute" else 1.0
    return (lo if abs(lo) <= 1e3 else -wide, hi if abs(hi) <= 1e3 else wide)




def random_configurations(robot, setup, count, seed):
    """Full configurations with the planned coordinates uniform in the space (an
    angle anywhere on its circle) and the others at hold."""
    rng = np.random.default_rng(seed)
    layout = tompl._layout_of(setup)
    qs = np.tile(layout.hold, (count, 1))
    qs[:, layout.real] = rng.uniform(layout.lower, layout.upper, (count, len(layout.real)))
    for i in layout.circle:
        angle = rng.uniform(-math.pi, math.pi, count)
        qs[:, i], qs[:, i + 1] = np.cos(angle), np.sin(angle)
    return qs


@pytest.mark.parametrize("name", ROBOTS)
def test_configurations_and_states_convert_both_ways(tmp_path, name):
    robot, _, joints = ROBOTS[name](tmp_path)
    hold = robot.neutral_configuration() + 0.0
    setup = tompl.setup(robot, joints, hold=hold)
    for q in random_configurations(robot, setup, 50, 1):
        back = tompl.to_configuration(setup, tompl.to_state(setup, q))
        np.testing.assert_allclose(back, q, rtol=0, atol=1e-12)
    space = setup.getStateSpace()
    for state in sampled(setup, 50):
        again = tompl.to_state(setup, tompl.to_configuration(setup, state))
        assert space.distance(state, again) < 1e-12


@pytest.mark.parametrize("name", ["chain", "crank", "panda arm"])
def test_ompl_interpolates_as_pinocchio(tmp_path, name):
    # The path OMPL returns must be the motion talvex checked: a real coordinate
    # linearly, an angle the short way round (the draws cross +-pi often).
    robot, urdf, joints = ROBOTS[name](tmp_path)
    model = pin.buildModelFromUrdf(urdf)
    setup = tompl.setup(robot, joints)
    space, between = setup.getStateSpace(), setup.getSpaceInformation().allocState()
    qs = random_configurations(robot, setup, 80, 2)
    for q0, q1, t in zip(qs[:40], qs[40:], np.linspace(0.05, 0.95, 40)):
        space.interpolate(tompl.to_state(setup, q0), tompl.to_state(setup, q1), t, between)
        np.testing.assert_allclose(tompl.to_configuration(setup, between),
                                   pin.interpolate(model, q0, q1, t), rtol=0, atol=1e-9)


@pytest.mark.parametrize("name, step", [("panda arm", 0.05), ("crank", 0.01)])
def test_motion_validator_answers_as_edge_free(tmp_path, name, step):
    robot, urdf, joints = ROBOTS[name](tmp_path)
    model = pin.buildModelFromUrdf(urdf)
    setup = tompl.setup(robot, joints, step=step)
    validator = setup.getSpaceInformation().getMotionValidator()
    space = setup.getStateSpace()
    qs = random_configurations(robot, setup, 120, 3)
    verdicts = []
    for q0, q1 in zip(qs[:60], qs[60:]):
        s1, s2 = tompl.to_state(setup, q0), tompl.to_state(setup, q1)
        free = motion.edge_free(robot, q0, q1, step=step)
        fraction = motion.edge_free_fraction(robot, q0, q1, step=step)
        assert validator.checkMotion(s1, s2) == free
        last = [setup.getSpaceInformation().allocState(), -5.0]
        assert validator.checkMotion(s1, s2, last) == free
        if free:
            assert last[1] == -5.0  # OMPL leaves it as it was
        else:
            # A start in collision is taken as valid, as OMPL takes it: time 0.
            assert last[1] == max(fraction, 0.0)
            np.testing.assert_allclose(tompl.to_configuration(setup, last[0]),
                                       pin.interpolate(model, q0, q1, last[1]), atol=1e-9)
            nothing = [None, -5.0]
            assert not validator.checkMotion(s1, s2, nothing) and nothing[1] == last[1]
        verdicts.append((free, fraction))
    assert any(free for free, _ in verdicts) and not all(free for free, _ in verdicts)
    assert any(0 < f < 1 for _, f in verdicts) and any(f == -1 for _, f in verdicts)
    assert validator.getCheckedMotionCount() == 60 * 2 + sum(not f for f, _ in verdicts)
    assert validator.getValidMotionCount() == 2 * sum(f for f, _ in verdicts)


def dense_free(robot, model, path, step):
    """Every state at step / 10 along each segment, by Pinocchio's interpolate, free
    at margin 0 (robot's own margin is the room a collision between two checked
    states can take: half a step's sweep, a few millimetres here)."""
    for q0, q1 in zip(path[:-1], path[1:]):
        n = max(1, math.ceil(pin.distance(model, q0, q1) / (step / 10)))
        if any(robot.has_self_collision(pin.interpolate(model, q0, q1, k / n))
               for k in range(n + 1)):
            return False
    return True


PLANS = {
    # At lift 0, from angle 1 to -1 the short way is through the post.
    "crank": ("crank", [0.0, math.cos(1.0), math.sin(1.0)],
              [0.0, math.cos(-1.0), math.sin(-1.0)], lambda: build("crank.urdf", margin=0.0)),
    "panda arm": ("panda arm", None, None, lambda: panda(0.0)),
}


@pytest.mark.parametrize("planner", ["RRTConnect", "PRM"])
@pytest.mark.parametrize("case", PLANS)
def test_planned_path_is_free_under_a_dense_check(tmp_path, case, planner):
    name, q_start, q_goal, unpadded = PLANS[case]
    robot, urdf, joints = ROBOTS[name](tmp_path)
    model = pin.buildModelFromUrdf(urdf)
    step = 0.005
    setup = tompl.setup(robot, joints, step=step)
    if q_start is None:  # two free configurations whose straight motion collides
        qs = random_configurations(robot, setup, 400, 5)
        free = [q for q in qs if not robot.has_self_collision(q)]
        q_start, q_goal = next((a, b) for a, b in zip(free[::2], free[1::2])
                               if not motion.edge_free(robot, a, b, step=step))
    assert not motion.edge_free(robot, q_start, q_goal, step=step)
    tompl.set_start_and_goal(setup, q_start, q_goal)
    setup.setPlanner(getattr(og, planner)(setup.getSpaceInformation()))
    assert setup.solve(20.0) and setup.haveExactSolutionPath()
    setup.simplifySolution()
    path = tompl.path_configurations(setup)
    assert path.shape[1] == robot.nq() and len(path) >= 3
    np.testing.assert_allclose(path[[0, -1]], [q_start, q_goal], atol=1e-12)
    assert dense_free(unpadded(), model, path, step)
    del setup  # before OMPL's module goes, or nanobind reports a leak at exit


@pytest.mark.skipif(not hasattr(motion, "edge_certified"),
                    reason="talvex_tools.motion.edge_certified is not in this build")
def test_certified_validator_takes_the_proof():
    robot = panda()
    setup = tompl.setup(robot, PANDA_ARM, certified=True)
    validator = setup.getSpaceInformation().getMotionValidator()
    qs = random_configurations(robot, setup, 40, 6)
    qs[20:] = qs[:20] + 0.5 * (qs[20:] - qs[:20])  # shorter motions: some prove free
    answers = []
    for q0, q1 in zip(qs[:20], qs[20:]):
        s1, s2 = tompl.to_state(setup, q0), tompl.to_state(setup, q1)
        proof = motion.edge_certified(robot, q0, q1)
        answers.append(proof.status)
        assert validator.checkMotion(s1, s2) == bool(proof)
        last = [setup.getSpaceInformation().allocState(), -5.0]
        assert validator.checkMotion(s1, s2, last) == bool(proof)
        assert last[1] == (-5.0 if proof else 0.0)  # no prefix is proven free
    assert "free" in answers and len(set(answers)) > 1
    free = [q for q in random_configurations(robot, setup, 400, 7)
            if not robot.has_self_collision(q)]
    tompl.set_start_and_goal(setup, free[0], free[1])
    assert setup.solve(30.0) and setup.haveExactSolutionPath()
    path = tompl.path_configurations(setup)
    assert all(motion.edge_certified(robot, a, b) for a, b in zip(path[:-1], path[1:]))
    del setup


def crank_setup():
    return tompl.setup(build("crank.urdf"), ["lift", "crank"])


CIRCLE = [0.0, 1.0, 0.0]
BAD = [
    ("unknown joint", lambda r: tompl.setup(r, ["lfit"]), ValueError,
     "no joint named 'lfit'; did you mean lift?"),
    ("one name", lambda r: tompl.setup(r, "lift"), TypeError, "not one name"),
    ("twice", lambda r: tompl.setup(r, ["lift", "lift"]), ValueError, "more than once"),
    ("no joints", lambda r: tompl.setup(r, []), ValueError, "no joints"),
    ("hold length", lambda r: tompl.setup(r, ["lift"], hold=[0.0, 1.0]), ValueError,
     "hold has shape (2,)"),
    ("hold nan", lambda r: tompl.setup(r, ["lift"], hold=[0.0, math.nan, 0.0]), ValueError,
     "not finite"),
    ("hold off circle", lambda r: tompl.setup(r, ["lift"], hold=[0.0, 0.0, 0.0]), ValueError,
     "joint 'crank' is [0.0, 0.0], not of unit norm"),
    ("step 0", lambda r: tompl.setup(r, step=0), ValueError, "step"),
    ("step inf", lambda r: tompl.setup(r, step=math.inf), ValueError, "step"),
    ("step nan", lambda r: tompl.setup(r, step=math.nan), ValueError, "step"),
    ("step negative", lambda r: tompl.setup(r, step=-0.1), ValueError, "step"),
    ("unbuilt", lambda r: tompl.setup(talvex.RobotModel()), RuntimeError, READINESS),
    ("start length", lambda r: tompl.set_start_and_goal(crank_setup(), [0.0], CIRCLE),
     ValueError, "q_start has shape (1,)"),
    ("goal nan", lambda r: tompl.set_start_and_goal(crank_setup(), CIRCLE, [math.nan, 1, 0]),
     ValueError, "q_goal is not finite"),
    ("goal off circle", lambda r: tompl.set_start_and_goal(crank_setup(), CIRCLE, [0, 2, 0]),
     ValueError, "q_goal: the (cos, sin) of joint 'crank'"),
    ("start outside", lambda r: tompl.set_start_and_goal(crank_setup(), [0.5, 1, 0], CIRCLE),
     ValueError, "joint 'lift' at 0.5, outside its planning range [0.0, 0.3]"),
    ("held moved", lambda r: tompl.set_start_and_goal(tompl.setup(r, ["crank"], hold=CIRCLE), CIRCLE,
                                                      [0.1, 1, 0]),
     ValueError, "q_goal moves coordinate 0 of held joint 'lift'"),
    ("no solution", lambda r: tompl.path_configurations(crank_setup()), RuntimeError,
     "no solution path"),
    ("foreign setup", lambda r: tompl.path_configurations(og.SimpleSetup(
        ob.RealVectorStateSpace(1))), TypeError, "made by talvex_tools.ompl.setup"),
]


@pytest.mark.parametrize("case", BAD, ids=[c[0] for c in BAD])
def test_bad_input_is_refused(case):
    _, call, kind, text = case
    with pytest.raises(kind) as info:
        call(build("crank.urdf"))
    assert text in str(info.value)


@pytest.mark.parametrize("joints", [None, ["base_joint", "lift_joint"]])
def test_screw_joints_are_refused_by_name(joints):
    robot = build("telescope.urdf")
    with pytest.raises(ValueError, match="joint 'base_joint' is planar"):
        tompl.setup(robot, joints)
    setup = tompl.setup(robot, ["lift_joint", "wrist_joint"])  # held, it is fine
    assert setup.getStateSpace().getDimension() == 2


def test_empty_range_is_refused(tmp_path):
    urdf = tmp_path / "stuck.urdf"
    urdf.write_text(
        '<robot name="stuck"><link name="a"/><link name="b"/><joint name="stuck" '
        'type="prismatic"><parent link="a"/><child link="b"/><axis xyz="1 0 0"/>'
        '<limit lower="0.5" upper="0.5" effort="1" velocity="1"/></joint></robot>')
    robot = build(str(urdf), package_dir=str(tmp_path))
    with pytest.raises(ValueError, match="joint 'stuck' has the empty range"):
        tompl.setup(robot)


def test_talvex_tools_does_not_import_ompl():
    code = ("import sys, talvex_tools, talvex_tools.batch, talvex_tools.motion, "
            "talvex_tools.sampling; print(sorted(m for m in sys.modules if m.startswith('ompl')))")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "[]"


PLANNING_DOC = pathlib.Path(__file__).resolve().parent.parent / "docs" / "planning.md"


@pytest.mark.skipif(ERD_SHARE is None, reason="example-robot-data is not installed")
@pytest.mark.parametrize("index", range(2))
def test_planning_doc_runs_as_written(tmp_path, index):
    blocks = re.findall(r"^```python\n(.*?)^```$", PLANNING_DOC.read_text(), flags=re.S | re.M)
    assert len(blocks) == 2
    script = tmp_path / "block.py"
    script.write_text(blocks[index])
    run = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr
    assert "path checked free" in run.stdout, run.stdout
    assert "leaked" not in run.stderr, run.stderr
