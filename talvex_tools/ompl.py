"""Motion planning with OMPL over a built ``talvex.RobotModel``.

``setup(robot, joints)`` gives an ``ompl.geometric.SimpleSetup`` whose space holds the
joints planned for, whose states are valid when ``robot.has_self_collision`` says no,
and whose motions are checked in one call each by ``talvex_tools.motion`` (or proven
free by ``edge_certified``). Every other coordinate stays at ``hold``. OMPL's Python
bindings come with the ``planning`` extra (``pip install 'talvex[planning]'``).

The space, in the order of q:

- revolute and prismatic joints: one real vector, bounded by talvex's limits. A bound
  that is infinite or beyond 1e3 in magnitude (URDFs write 1e16 for "none") stands as
  -pi or pi for an angle and -1 or 1 m for a length, the rule of
  ``talvex_tools.sampling``: OMPL can neither sample nor step through such a range.
- continuous joints: SO(2) each, an angle in [-pi, pi) stored in q as (cos, sin).
- planar and floating joints are refused (hold them): Pinocchio moves them along a
  screw motion, a constant twist, while OMPL's SE(2) and SE(3) interpolate position
  and rotation apart, so a path OMPL returns would not be the motion talvex checked.

Between two states both move the same way: a real coordinate linearly, an SO(2) angle
the short way round, which is ``pinocchio::interpolate`` on the full configurations.
Mimic joints are planned as the independent coordinates the model keeps them as.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

try:
    from ompl import base as ob
    from ompl import geometric as og
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError("talvex_tools.ompl needs OMPL's Python bindings: "
                      "pip install 'talvex[planning]'") from exc

import talvex
from talvex_tools import motion, sampling
from talvex_tools.options import nearest

__all__ = ["path_configurations", "set_start_and_goal", "setup", "to_configuration",
           "to_state"]

# How far a (cos, sin) pair or a quaternion may be off unit norm.
UNIT_TOLERANCE = 1e-6
# How far a held coordinate of a start or goal may be from hold.
HOLD_TOLERANCE = 1e-9
# Pinocchio moves these along a screw motion, which no OMPL space interpolates.
SCREW_JOINTS = ("planar", "floating")


class _Layout:
    """Where the planned coordinates sit in q and in a state, and the conversions
    between the two. Only ``configuration`` runs per state."""

    def __init__(self, robot: talvex.RobotModel, joints: list[sampling.Joint],
                 hold: np.ndarray, lower: np.ndarray, upper: np.ndarray):
        self.robot, self.joints, self.hold = robot, joints, hold
        self.real = [j.start for j in joints if j.kind != "continuous"]
        self.circle = [j.start for j in joints if j.kind == "continuous"]
        self.lower, self.upper = lower[self.real], upper[self.real]
        # A real vector alone when no joint is continuous: one subscript less per state.
        self.plain = not self.circle
        self.configuration = self._reader()

    def _reader(self) -> Callable[[ob.State], np.ndarray]:
        hold, real = self.hold, tuple(enumerate(self.real))
        if self.plain:
            def read_plain(state: Any) -> np.ndarray:
                q = hold.copy()  # a fresh array: a planner may call from several threads
                for k, i in real:
                    q[i] = state[k]
                return q
            return read_plain
        first = 1 if real else 0
        circle = tuple((first + k, i) for k, i in enumerate(self.circle))
        cos, sin = math.cos, math.sin

        def read(state: Any) -> np.ndarray:
            q = hold.copy()
            if real:
                values = state[0]
                for k, i in real:
                    q[i] = values[k]
            for k, i in circle:
                angle = state[k].value
                q[i], q[i + 1] = cos(angle), sin(angle)
            return q
        return read

    def write(self, q: np.ndarray, state: Any) -> None:
        values = q.tolist()
        if self.real:
            real = state if self.plain else state[0]
            for k, i in enumerate(self.real):
                real[k] = values[i]
        first = 1 if self.real else 0
        for k, i in enumerate(self.circle):
            state[first + k].value = math.atan2(values[i + 1], values[i])

    def checked(self, q: npt.ArrayLike, name: str) -> np.ndarray:
        """q as a float64 row, refused when it is not a full configuration, moves a
        held coordinate or puts a planned one outside the space."""
        row = _configuration(self.robot, q, name)
        planned = np.zeros(row.size, dtype=bool)
        for joint in self.joints:
            planned[joint.start:joint.start + joint.count] = True
        moved = np.flatnonzero(~planned & (np.abs(row - self.hold) > HOLD_TOLERANCE))
        if moved.size:
            k = int(moved[0])
            raise ValueError(f"{name} moves coordinate {k} of held joint "
                             f"{self._joint_at(k)!r} ({float(row[k])!r}, hold has "
                             f"{float(self.hold[k])!r}); plan for it or take it from hold")
        for joint in self.joints:
            if joint.kind == "continuous":
                _unit(row, joint, name)
        outside = np.flatnonzero((row[self.real] < self.lower) | (row[self.real] > self.upper))
        if outside.size:
            k = int(outside[0])
            i = self.real[k]
            lo, hi, value = float(self.lower[k]), float(self.upper[k]), float(row[i])
            raise ValueError(f"{name} puts joint {self._joint_at(i)!r} at {value!r}, outside "
                             f"its planning range [{lo!r}, {hi!r}]")
        return row

    def _joint_at(self, k: int) -> str:
        return next(j.name for j in sampling.layout(self.robot) if k in j.coordinates)


def _configuration(robot: talvex.RobotModel, q: npt.ArrayLike, name: str) -> np.ndarray:
    nq = robot.nq()  # the readiness error comes first
    row = np.array(q, dtype=np.float64)
    if row.shape != (nq,):
        raise ValueError(f"{name} has shape {row.shape}, expected (nq,) = ({nq},)")
    if not np.isfinite(row).all():
        raise ValueError(f"{name} is not finite at coordinate {int(np.argmin(np.isfinite(row)))}")
    return row


def _unit(q: np.ndarray, joint: sampling.Joint, name: str) -> None:
    """Refuses a (cos, sin) pair or a quaternion of q off unit norm."""
    at = {"continuous": 0, "planar": 2, "floating": 3}.get(joint.kind)
    if at is None:
        return
    part = q[joint.start + at:joint.start + joint.count]
    if abs(float(np.linalg.norm(part)) - 1.0) > UNIT_TOLERANCE:
        what = "quaternion" if joint.kind == "floating" else "(cos, sin)"
        raise ValueError(f"{name}: the {what} of joint {joint.name!r} is {part.tolist()}, "
                         "not of unit norm")


def _planned(layout: list[sampling.Joint], joints: Sequence[str] | None) -> list[sampling.Joint]:
    if joints is None:
        chosen = [j for j in layout if j.count]
    else:
        if isinstance(joints, (str, bytes)):
            raise TypeError("joints must be a sequence of joint names, not one name")
        names = list(joints)
        by_name = {j.name: j for j in layout}
        for name in names:
            if name not in by_name:
                near = nearest(str(name), by_name)
                hint = f"; did you mean {' or '.join(near)}?" if near else ""
                raise ValueError(f"joints: no joint named {name!r}{hint}")
        repeated = sorted({n for n in names if names.count(n) > 1})
        if repeated:
            raise ValueError(f"joints: {', '.join(map(repr, repeated))} named more than once")
        chosen = [j for j in layout if j.name in set(names)]  # in the order of q
    if not chosen:
        raise ValueError("no joints to plan for")
    for joint in chosen:
        if joint.kind in SCREW_JOINTS:
            raise ValueError(
                f"joint {joint.name!r} is {joint.kind}: Pinocchio moves it along a screw "
                "motion, which OMPL's spaces do not interpolate; leave it out of joints "
                "to hold it")
    return chosen


def _hold(robot: talvex.RobotModel, layout: list[sampling.Joint],
          hold: npt.ArrayLike | None) -> np.ndarray:
    if hold is None:
        return sampling.inside_neutral(robot)
    row = _configuration(robot, hold, "hold")
    for joint in layout:
        _unit(row, joint, "hold")
    return row


def _step(step: float) -> float:
    if isinstance(step, bool):
        raise TypeError("step must be a number, not bool")
    value = float(step)
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"step must be finite and > 0, not {step!r}")
    return value


def _space(layout: _Layout, step: float) -> ob.StateSpace:
    """The space, with each part's longest valid segment set so that OMPL's own
    discretisation (PathGeometric.interpolate, getMotionStates) is at least as fine
    as ``step`` in Pinocchio's distance: with m parts, each part stepping at most
    step / sqrt(m) in its own distance keeps the whole step within ``step``."""
    names = [j.name for j in layout.joints if j.kind != "continuous"]
    parts: list[ob.StateSpace] = []
    if layout.real:
        real = ob.RealVectorStateSpace(len(layout.real))
        bounds = ob.RealVectorBounds(len(layout.real))
        for k, (lo, hi) in enumerate(zip(layout.lower.tolist(), layout.upper.tolist())):
            bounds.setLow(k, lo)
            bounds.setHigh(k, hi)
            real.setDimensionName(k, names[k])
        real.setBounds(bounds)
        parts.append(real)
    parts += [ob.SO2StateSpace() for _ in layout.circle]
    share = step / math.sqrt(len(parts))
    if layout.plain:
        space = parts[0]
    else:
        space = ob.CompoundStateSpace()
        for part in parts:
            space.addSubspace(part, 1.0)
        # The compound's own length (which OMPL reports as the checking resolution)
        # first: setting it passes the same fraction down to every part.
        space.setLongestValidSegmentFraction(_fraction(step, space.getMaximumExtent()))
    for part in parts:
        part.setLongestValidSegmentFraction(_fraction(share, part.getMaximumExtent()))
    return space


def _fraction(length: float, extent: float) -> float:
    # OMPL takes a fraction strictly between 0 and 1 of the space's extent; a step
    # longer than the extent is one segment for every motion either way.
    fraction = min(length / extent, 1.0 - 1e-9)
    if fraction < 1e-12:
        raise ValueError(f"step {length!r} is too fine for OMPL in a space of extent {extent!r}")
    return fraction


class MotionValidator(ob.MotionValidator):
    """Checks a motion between two states in one call: both ends converted once,
    the far end tested alone, then ``motion.edge_free`` (``edge_free_fraction``
    when a last valid state is asked for), or ``motion.edge_certified`` with
    ``certified``.

    ``checkMotion(s1, s2, last_valid)`` takes ``last_valid`` as a list
    ``[state or None, time]`` standing for OMPL's ``std::pair<State*, double>``: on
    a motion that is not free, time becomes the last free fraction of it and the
    state (when given) the state there, as OMPL's own validator leaves them. The
    start is taken as valid, as OMPL does: a motion whose start collides gives time
    0 and the start. A certified check proves no prefix, so there it is always time
    0 and the start. OMPL 2.0.1's bindings never pass a last valid state from C++:
    its planners that ask for one (KPIECE1, LBKPIECE1, ...) get the plain answer.
    """

    def __init__(self, si: ob.SpaceInformation, layout: _Layout, step: float,
                 certified: bool):
        super().__init__(si)
        self._read, self._robot, self._step = layout.configuration, layout.robot, step
        self._collides = layout.robot.has_self_collision
        self._space = si.getStateSpace()
        self._certified = getattr(motion, "edge_certified") if certified else None
        self._valid = self._invalid = 0

    def checkMotion(self, s1: ob.State, s2: ob.State,
                    last_valid: list[Any] | None = None) -> bool:
        q0, q1 = self._read(s1), self._read(s2)
        if self._certified is not None:
            free = bool(self._certified(self._robot, q0, q1))
            time = 0.0
        elif last_valid is None:
            # A plain test of the far end first: a planner's s1 is a state it has
            # already found valid, the end it extends to is the one that most often
            # collides, and edge_free's first tests (which gather what it carries
            # along the motion) cost more than a yes or no. 1.6x on Talos's legs
            # under RRTConnect, 6 % more on motions that are free.
            free = not self._collides(q1) and motion.edge_free(self._robot, q0, q1,
                                                               step=self._step)
        else:
            time = motion.edge_free_fraction(self._robot, q0, q1, step=self._step)
            free = time == 1.0
            time = max(time, 0.0)
        if free:
            self._valid += 1
            return True
        self._invalid += 1
        if last_valid is not None:
            if last_valid[0] is not None:
                self._space.interpolate(s1, s2, time, last_valid[0])
            last_valid[1] = time
        return False

    # OMPL's counters are the C++ validator's, which this one does not update.
    def getValidMotionCount(self) -> int:
        return self._valid

    def getInvalidMotionCount(self) -> int:
        return self._invalid

    def getCheckedMotionCount(self) -> int:
        return self._valid + self._invalid

    def getValidMotionFraction(self) -> float:
        checked = self._valid + self._invalid
        return self._valid / checked if checked else 0.0

    def resetMotionCounter(self) -> None:
        self._valid = self._invalid = 0


def setup(robot: talvex.RobotModel, joints: Sequence[str] | None = None, *,
          hold: npt.ArrayLike | None = None, step: float = 0.01,
          certified: bool = False) -> og.SimpleSetup:
    """An OMPL SimpleSetup planning ``joints`` (names; default every joint) of
    ``robot``, the other coordinates at ``hold`` (a full configuration; default the
    neutral one moved inside the limits, ``sampling.inside_neutral``).

    A state is valid when ``robot.has_self_collision`` is false at ``hold`` with the
    state's coordinates written in; the space's bounds keep the planned coordinates
    within the limits, so limits are not tested again per state. A motion is free
    when every state of it at resolution ``step`` (in Pinocchio's configuration
    distance, as ``motion.edge_free``) is, or with ``certified`` when
    ``motion.edge_certified`` proves the whole segment free ("unproven" counts as
    not free). The space's longest valid segment is set from ``step`` too.

    Raises before any work: the readiness ``RuntimeError`` of an unbuilt robot;
    ``ValueError`` for an unknown joint (with the nearest names), one named twice, a
    planar or floating joint, a planned joint of empty range, a ``hold`` of the wrong
    length, not finite or with a rotation off unit norm, a ``step`` not finite and
    > 0; ``RuntimeError`` for ``certified`` when this build has no ``edge_certified``.
    """
    robot.nq()  # the readiness error first
    step = _step(step)
    layout = sampling.layout(robot)
    chosen = _planned(layout, joints)
    row = _hold(robot, layout, hold)
    lower, upper = sampling.sampling_bounds(layout, robot.lower_position_limits(),
                                            robot.upper_position_limits())
    for joint in chosen:
        k = joint.start
        if joint.kind != "continuous" and not lower[k] < upper[k]:
            raise ValueError(f"joint {joint.name!r} has the empty range [{float(lower[k])!r}, "
                             f"{float(upper[k])!r}]; leave it out of joints to hold it")
    if certified and not hasattr(motion, "edge_certified"):
        raise RuntimeError("certified planning needs talvex_tools.motion.edge_certified, "
                           "which this build of talvex does not have")
    planned = _Layout(robot, chosen, row, lower, upper)
    result = og.SimpleSetup(_space(planned, step))
    si = result.getSpaceInformation()
    read, collides = planned.configuration, robot.has_self_collision
    result.setStateValidityChecker(lambda state: not collides(read(state)))
    si.setMotionValidator(MotionValidator(si, planned, step, certified))
    si.setup()
    setattr(result, "_talvex", planned)  # what the calls below find the layout by
    return result


def _layout_of(setup: og.SimpleSetup) -> _Layout:
    layout = getattr(setup, "_talvex", None)
    if not isinstance(layout, _Layout):
        raise TypeError("setup must be a SimpleSetup made by talvex_tools.ompl.setup")
    return layout


def to_configuration(setup: og.SimpleSetup, state: ob.State) -> np.ndarray:
    """The full configuration (nq,) of a state of ``setup``: ``hold`` with the
    state's coordinates written in."""
    return _layout_of(setup).configuration(state)


def to_state(setup: og.SimpleSetup, q: npt.ArrayLike) -> ob.State:
    """A new state of ``setup`` holding the planned coordinates of ``q``, a full
    configuration whose held coordinates are those of ``hold`` (``ValueError``
    otherwise, or when q is not nq finite numbers, a planned coordinate is outside
    the space's bounds or a continuous joint's (cos, sin) is off the unit circle)."""
    layout = _layout_of(setup)
    row = layout.checked(q, "q")
    state = setup.getSpaceInformation().allocState()
    layout.write(row, state)
    return state


def set_start_and_goal(setup: og.SimpleSetup, q_start: npt.ArrayLike,
                       q_goal: npt.ArrayLike) -> None:
    """Sets the start and goal of ``setup`` from two full configurations, checked as
    ``to_state`` checks q: their held coordinates must be those of ``hold``, so that
    the path runs from ``q_start`` to ``q_goal`` themselves. A start or goal in
    collision is OMPL's to report (``solve`` says INVALID_START or INVALID_GOAL)."""
    layout = _layout_of(setup)
    rows = layout.checked(q_start, "q_start"), layout.checked(q_goal, "q_goal")
    si = setup.getSpaceInformation()
    states = si.allocState(), si.allocState()
    for row, state in zip(rows, states):
        layout.write(row, state)
    setup.setStartAndGoalStates(*states)


def path_configurations(setup: og.SimpleSetup, *,
                        approximate: bool = False) -> npt.NDArray[np.float64]:
    """The solution path of ``setup`` as full configurations, shape (N, nq), from the
    start to the end. ``RuntimeError`` when there is no solution, or when it is only
    approximate (it does not reach the goal) unless ``approximate`` is true."""
    layout = _layout_of(setup)
    if not setup.haveSolutionPath():
        raise RuntimeError("setup has no solution path: solve() first, and check that it "
                           "found one")
    if not approximate and not setup.haveExactSolutionPath():
        raise RuntimeError("the solution is approximate: it does not reach the goal "
                           "(approximate=True returns it all the same)")
    read = layout.configuration
    return np.array([read(state) for state in setup.getSolutionPath().getStates()])
