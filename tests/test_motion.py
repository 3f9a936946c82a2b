"""talvex_tools.motion: a motion's verdict is that of its states, interpolated and
spaced as Pinocchio does, each tested by has_self_collision; bad input is refused
before any work."""
import math

import numpy as np
import pytest

import talvex
from conftest import DATA, ERD_SHARE, READINESS, build
from talvex_tools import motion
from test_batch import draws, panda

pin = pytest.importorskip("pinocchio")


def reference(robot, model, q0, q1, step):
    """(free, fraction) from the states Pinocchio's own bindings interpolate."""
    n = max(1, math.ceil(pin.distance(model, q0, q1) / step))
    hits = [robot.has_self_collision(pin.interpolate(model, q0, q1, k / n))
            for k in range(n + 1)]
    first = hits.index(True) if any(hits) else n + 1
    return not any(hits), (-1.0 if first == 0 else (first - 1) / n)


@pytest.mark.parametrize("name, step", [("panda", 0.05), ("telescope", 0.02)])
def test_edges_are_their_states(name, step):
    robot = panda() if name == "panda" else build("telescope.urdf")
    urdf = (DATA / "telescope.urdf" if name == "telescope" else
            ERD_SHARE / "example-robot-data/robots/panda_description/urdf/panda.urdf")
    model = pin.buildModelFromUrdf(str(urdf))
    qs = draws(robot, 82)[:80]
    if name == "telescope":  # onto the circle, as configurations are
        qs = np.array([pin.normalize(model, q) for q in qs])
    q0s, q1s = qs[:40], qs[40:]
    expected = [reference(robot, model, a, b, step) for a, b in zip(q0s, q1s)]
    if name == "panda":
        assert 0 < sum(free for free, _ in expected) < len(expected)
    for (a, b), (free, fraction) in zip(zip(q0s, q1s), expected):
        assert motion.edge_free(robot, a, b, step=step) == free
        assert motion.edge_free_fraction(robot, a, b, step=step) == fraction
    for threads in (1, 2):
        got = motion.edges_free(robot, q0s, q1s, step=step, threads=threads)
        assert list(got) == [free for free, _ in expected]


BAD = [
    ("length", lambda r, q: motion.edge_free(r, q[:-1], q, step=0.1), ValueError, "q0 has shape"),
    ("nan", lambda r, q: motion.edge_free(r, q, np.full_like(q, np.nan), step=0.1), ValueError,
     "not finite"),
    ("step 0", lambda r, q: motion.edge_free_fraction(r, q, q, step=0.0), ValueError, "step"),
    ("step inf", lambda r, q: motion.edge_free(r, q, q, step=math.inf), ValueError, "step"),
    ("step nan", lambda r, q: motion.edges_free(r, [q], [q], step=math.nan), ValueError, "step"),
    ("shapes", lambda r, q: motion.edges_free(r, [q, q], [q], step=0.1), ValueError,
     "one row of each"),
    ("motion row", lambda r, q: motion.edges_free(r, [q, q], [q, q * np.nan], step=0.1),
     ValueError, "motion 1"),
    ("too many states", lambda r, q: motion.edge_free(r, q, q + 1, step=1e-15), ValueError,
     "1e12"),
    ("unbuilt", lambda r, q: motion.edge_free(talvex.RobotModel(), q, q, step=0.1),
     RuntimeError, READINESS),
]


@pytest.mark.parametrize("case", BAD, ids=[c[0] for c in BAD])
def test_bad_motions_are_refused(case):
    _, call, kind, text = case
    robot = build("pair.urdf")
    with pytest.raises(kind) as info:
        call(robot, np.array([0.5]))
    assert text in str(info.value)


def test_a_colliding_start_gives_minus_one_and_a_free_edge_one():
    robot = build("pair.urdf")  # spheres touch below q = 0.205
    assert motion.edge_free_fraction(robot, [0.1], [0.9], step=0.01) == -1.0
    assert motion.edge_free_fraction(robot, [0.9], [0.3], step=0.01) == 1.0
    assert motion.edge_free_fraction(robot, [0.9], [0.1], step=0.1) == pytest.approx(6 / 8)
    assert not motion.edge_free(robot, [0.9], [0.1], step=0.1)
