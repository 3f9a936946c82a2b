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
from talvex_tools import batch, motion  # noqa: E402
from talvex_tools import ompl as tompl  # noqa: E402

WIDE = ('<robot name="wide"><link name="a"/><link name="b"/><link name="c"/><link name="d"/>'
        + "".join(f'<joint name="{n}" type="{t}"><parent link="{p}"/><child link="{c}"/>'
                  f'<axis xyz="0 0 1"/><limit lower="{lo}" upper="{hi}" effort="1" '
                  'velocity="1"/></joint>'
                  for n, t, p, c, lo, hi in [("turn", "revolute", "a", "b", -1e16, 1e16),
                                             ("slide", "prismatic", "b", "c", -1e16, 1e16),
                                             ("lift", "prismatic", "c", "d", 0, 1e16)])
        + "</robot>")


def robot_of(name, tmp_path, margin=0.005):
    """(robot, urdf, joints planned): chain.urdf has every 1-dof kind, continuous
    ones among them; wide.urdf limits of 1e16, which stand for none."""
    if name == "panda arm":
        from test_batch import panda
        urdf = ERD_SHARE / "example-robot-data/robots/panda_description/urdf/panda.urdf"
        return panda(margin), str(urdf), [f"panda_joint{k}" for k in range(1, 8)]
    if name == "wide":
        (tmp_path / "wide.urdf").write_text(WIDE)
        return build(str(tmp_path / "wide.urdf"), margin=margin), str(tmp_path / "wide.urdf"), None
    joints = {"chain": ["j1", "j2", "j3", "j5", "k1", "k2"], "crank": ["lift", "crank"]}[name]
    return build(f"{name}.urdf", margin=margin), str(DATA / f"{name}.urdf"), joints


def random_configurations(setup, count, seed):
    """Planned coordinates uniform in the space (an angle anywhere on its circle),
    the others at hold."""
    rng = np.random.default_rng(seed)
    layout = tompl._layout_of(setup)
    qs = np.tile(layout.hold, (count, 1))
    qs[:, layout.real] = rng.uniform(layout.lower, layout.upper, (count, len(layout.real)))
    for i in layout.circle:
        angle = rng.uniform(-math.pi, math.pi, count)
        qs[:, i], qs[:, i + 1] = np.cos(angle), np.sin(angle)
    return qs


@pytest.mark.parametrize("name", ["chain", "crank", "panda arm", "wide"])
def test_space_holds_the_planned_joints_within_talvex_limits(tmp_path, name):
    robot, urdf, joints = robot_of(name, tmp_path)
    setup = tompl.setup(robot, joints, step=0.02)
    space = setup.getStateSpace()
    planned = [j for j in batch.joint_layout(robot) if joints is None or j["name"] in joints]
    real = [j for j in planned if j["type"] != "continuous"]
    circles = len(planned) - len(real)
    parts = space.getSubspaces() if circles else [space]
    assert [type(p).__name__ for p in parts] == (
        ["RealVectorStateSpace"] * bool(real) + ["SO2StateSpace"] * circles)
    wide = {"revolute": math.pi, "prismatic": 1.0}  # what a bound beyond 1e3 stands in as
    expected = [(j["lower"][0] if abs(j["lower"][0]) <= 1e3 else -wide[j["type"]],
                 j["upper"][0] if abs(j["upper"][0]) <= 1e3 else wide[j["type"]]) for j in real]
    bounds = parts[0].getBounds()
    assert list(zip(bounds.low, bounds.high)) == expected
    # OMPL's own discretisation at least as fine as edge_free's, in Pinocchio's distance.
    model = pin.buildModelFromUrdf(urdf)
    qs = random_configurations(setup, 60, 0)
    for q0, q1 in zip(qs[:30], qs[30:]):
        count = space.validSegmentCount(tompl.to_state(setup, q0), tompl.to_state(setup, q1))
        assert count >= math.ceil(pin.distance(model, q0, q1) / 0.02)


@pytest.mark.parametrize("name", ["chain", "crank", "panda arm", "wide"])
def test_states_convert_both_ways_and_interpolate_as_pinocchio(tmp_path, name):
    # The path OMPL returns must be the motion talvex checked: a real coordinate
    # linearly, an angle the short way round (the draws cross +-pi often).
    robot, urdf, joints = robot_of(name, tmp_path)
    model = pin.buildModelFromUrdf(urdf)
    setup = tompl.setup(robot, joints, hold=robot.neutral_configuration())
    between = setup.getSpaceInformation().allocState()
    qs = random_configurations(setup, 80, 1)
    for q0, q1, t in zip(qs[:40], qs[40:], np.linspace(0.05, 0.95, 40)):
        s1, s2 = tompl.to_state(setup, q0), tompl.to_state(setup, q1)
        np.testing.assert_allclose(tompl.to_configuration(setup, s1), q0, rtol=0, atol=1e-12)
        again = tompl.to_state(setup, tompl.to_configuration(setup, s1))
        assert setup.getStateSpace().distance(s1, again) < 1e-12
        setup.getStateSpace().interpolate(s1, s2, t, between)
        np.testing.assert_allclose(tompl.to_configuration(setup, between),
                                   pin.interpolate(model, q0, q1, t), rtol=0, atol=1e-9)


@pytest.mark.parametrize("name, step", [("panda arm", 0.05), ("crank", 0.01)])
def test_motion_validator_answers_as_edge_free(tmp_path, name, step):
    robot, urdf, joints = robot_of(name, tmp_path)
    model, setup = pin.buildModelFromUrdf(urdf), tompl.setup(robot, joints, step=step)
    validator = setup.getSpaceInformation().getMotionValidator()
    qs = random_configurations(setup, 120, 3)
    fractions = []
    for q0, q1 in zip(qs[:60], qs[60:]):
        s1, s2 = tompl.to_state(setup, q0), tompl.to_state(setup, q1)
        free, fraction = (motion.edge_free(robot, q0, q1, step=step),
                          motion.edge_free_fraction(robot, q0, q1, step=step))
        last = [setup.getSpaceInformation().allocState(), -5.0]
        assert validator.checkMotion(s1, s2) == validator.checkMotion(s1, s2, last) == free
        if free:
            assert last[1] == -5.0  # left as it was, as OMPL leaves it
        else:  # a start in collision is taken as valid, as OMPL takes it: time 0
            assert last[1] == max(fraction, 0.0)
            np.testing.assert_allclose(tompl.to_configuration(setup, last[0]),
                                       pin.interpolate(model, q0, q1, last[1]), atol=1e-9)
        fractions.append(fraction)
    assert {-1.0, 1.0} < set(fractions) and any(0 < f < 1 for f in fractions)
    assert validator.getCheckedMotionCount() == 120
    assert validator.getValidMotionCount() == 2 * fractions.count(1.0)


def dense_free(robot, model, path, step):
    """Every state at step / 10 along each segment free at margin 0: the planning
    margin is the room a collision between two checked states can take."""
    for q0, q1 in zip(path[:-1], path[1:]):
        n = max(1, math.ceil(pin.distance(model, q0, q1) / (step / 10)))
        if any(robot.has_self_collision(pin.interpolate(model, q0, q1, k / n))
               for k in range(n + 1)):
            return False
    return True


@pytest.mark.parametrize("planner", ["RRTConnect", "PRM"])
@pytest.mark.parametrize("name", ["crank", "panda arm"])
def test_planned_path_is_free_under_a_dense_check(tmp_path, name, planner):
    robot, urdf, joints = robot_of(name, tmp_path)
    step = 0.005
    setup = tompl.setup(robot, joints, step=step)
    if name == "crank":  # at lift 0, from angle 1 to -1 the short way is through the post
        q_start, q_goal = [0, math.cos(1), math.sin(1)], [0, math.cos(-1), math.sin(-1)]
    else:  # two free configurations whose straight motion collides
        free = [q for q in random_configurations(setup, 400, 5) if not robot.has_self_collision(q)]
        q_start, q_goal = next((a, b) for a, b in zip(free[::2], free[1::2])
                               if not motion.edge_free(robot, a, b, step=step))
    assert not motion.edge_free(robot, q_start, q_goal, step=step)
    tompl.set_start_and_goal(setup, q_start, q_goal)
    setup.setPlanner(getattr(og, planner)(setup.getSpaceInformation()))
    assert setup.solve(20.0) and setup.haveExactSolutionPath()
    setup.simplifySolution()
    path = tompl.path_configurations(setup)
    np.testing.assert_allclose(path[[0, -1]], [q_start, q_goal], atol=1e-12)
    unpadded = robot_of(name, tmp_path, margin=0.0)[0]
    assert len(path) >= 3 and dense_free(unpadded, pin.buildModelFromUrdf(urdf), path, step)
    del setup  # before OMPL's module goes, or nanobind reports a leak at exit


@pytest.mark.skipif(not hasattr(motion, "edge_certified"),
                    reason="talvex_tools.motion.edge_certified is not in this build")
def test_certified_validator_takes_the_proof(tmp_path):
    robot = robot_of("panda arm", tmp_path)[0]
    setup = tompl.setup(robot, robot_of("panda arm", tmp_path)[2], certified=True)
    validator = setup.getSpaceInformation().getMotionValidator()
    qs = random_configurations(setup, 40, 6)
    qs[20:] = qs[:20] + 0.5 * (qs[20:] - qs[:20])  # shorter motions: some prove free
    answers = []
    for q0, q1 in zip(qs[:20], qs[20:]):
        s1, s2 = tompl.to_state(setup, q0), tompl.to_state(setup, q1)
        proof = motion.edge_certified(robot, q0, q1)
        last = [setup.getSpaceInformation().allocState(), -5.0]
        assert validator.checkMotion(s1, s2) == validator.checkMotion(s1, s2, last) == bool(proof)
        assert last[1] == (-5.0 if proof else 0.0)  # no prefix is proven free
        answers.append(proof.status)
    assert "free" in answers and len(set(answers)) > 1
    free = [q for q in random_configurations(setup, 400, 7) if not robot.has_self_collision(q)]
    tompl.set_start_and_goal(setup, free[0], free[1])
    assert setup.solve(30.0) and setup.haveExactSolutionPath()
    path = tompl.path_configurations(setup)
    assert all(motion.edge_certified(robot, a, b) for a, b in zip(path[:-1], path[1:]))
    del setup


def crank():
    return tompl.setup(build("crank.urdf"), ["lift", "crank"])


def stuck(tmp_path):
    (tmp_path / "stuck.urdf").write_text(WIDE.replace('lower="0" upper="1e+16"',
                                                      'lower="0.5" upper="0.5"'))
    return build(str(tmp_path / "stuck.urdf"))


AT_0 = [0.0, 1.0, 0.0]
BAD = [
    ("unknown joint", lambda r, t: tompl.setup(r, ["lfit"]), ValueError,
     "no joint named 'lfit'; did you mean lift?"),
    ("one name", lambda r, t: tompl.setup(r, "lift"), TypeError, "not one name"),
    ("twice", lambda r, t: tompl.setup(r, ["lift", "lift"]), ValueError, "more than once"),
    ("planar", lambda r, t: tompl.setup(build("telescope.urdf")), ValueError,
     "joint 'base_joint' is planar"),
    ("empty range", lambda r, t: tompl.setup(stuck(t), ["lift"]), ValueError,
     "joint 'lift' has the empty range [0.5, 0.5]"),
    ("hold length", lambda r, t: tompl.setup(r, hold=[0.0, 1.0]), ValueError,
     "hold has shape (2,)"),
    ("hold nan", lambda r, t: tompl.setup(r, hold=[0.0, math.nan, 0.0]), ValueError,
     "not finite"),
    ("hold off circle", lambda r, t: tompl.setup(r, ["lift"], hold=[0.0, 0.0, 0.0]), ValueError,
     "joint 'crank' is [0.0, 0.0], not of unit norm"),
    ("step 0", lambda r, t: tompl.setup(r, step=0), ValueError, "step"),
    ("step nan", lambda r, t: tompl.setup(r, step=math.nan), ValueError, "step"),
    ("unbuilt", lambda r, t: tompl.setup(talvex.RobotModel()), RuntimeError, READINESS),
    ("start length", lambda r, t: tompl.set_start_and_goal(crank(), [0.0], AT_0), ValueError,
     "q_start has shape (1,)"),
    ("goal off circle", lambda r, t: tompl.set_start_and_goal(crank(), AT_0, [0, 2, 0]),
     ValueError, "q_goal: the (cos, sin) of joint 'crank'"),
    ("start outside", lambda r, t: tompl.set_start_and_goal(crank(), [0.5, 1, 0], AT_0),
     ValueError, "joint 'lift' at 0.5, outside its planning range [0.0, 0.3]"),
    ("held moved", lambda r, t: tompl.set_start_and_goal(
        tompl.setup(r, ["crank"], hold=AT_0), AT_0, [0.1, 1, 0]),
     ValueError, "q_goal moves coordinate 0 of held joint 'lift'"),
    ("no solution", lambda r, t: tompl.path_configurations(crank()), RuntimeError,
     "no solution path"),
    ("foreign setup", lambda r, t: tompl.path_configurations(og.SimpleSetup(
        ob.RealVectorStateSpace(1))), TypeError, "made by talvex_tools.ompl.setup"),
]


@pytest.mark.parametrize("case", BAD, ids=[c[0] for c in BAD])
def test_bad_input_is_refused(tmp_path, case):
    _, call, kind, text = case
    with pytest.raises(kind) as info:
        call(build("crank.urdf"), tmp_path)
    assert text in str(info.value)


def test_talvex_tools_does_not_import_ompl():
    code = ("import sys, talvex_tools, talvex_tools.batch, talvex_tools.motion; "
            "print(sorted(m for m in sys.modules if m.startswith('ompl')))")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout.strip()) == (0, "[]"), run.stderr


DOC = pathlib.Path(__file__).resolve().parent.parent / "docs" / "planning.md"


@pytest.mark.skipif(ERD_SHARE is None, reason="example-robot-data is not installed")
@pytest.mark.parametrize("robot", ["Panda", "Talos"])
def test_planning_doc_runs_as_written(tmp_path, robot):
    code = re.search(rf"^## .*{robot}.*?^```python\n(.*?)^```$", DOC.read_text(), re.S | re.M)[1]
    (tmp_path / "block.py").write_text(code)
    run = subprocess.run([sys.executable, str(tmp_path / "block.py")], capture_output=True,
                         text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert "path checked free" in run.stdout and "leaked" not in run.stderr, run.stderr
