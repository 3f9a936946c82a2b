"""Configurations of a robot: the layout of q joint by joint, uniform draws inside
the limits, and the neutral configuration moved inside them. Each rule is here once.

Unbounded coordinates: a coordinate whose bound is infinite or beyond UNBOUNDED in
magnitude (URDFs write 1e16 for "none") is drawn within one turn, [-pi, pi], when it
is an angle and within FREE_TRANSLATION metres of zero when it is a length.
A rotation is drawn uniformly: an angle in [-pi, pi) stored as (cos, sin) for a
continuous joint and a planar joint's heading, a uniform unit quaternion for a
floating joint.
"""

import dataclasses
import math

import numpy as np

from talvex_tools.errors import ToolError

# Configuration coordinates Pinocchio gives each URDF joint type (fixed joints
# become frames, not joints).
COORDINATES = {"revolute": 1, "prismatic": 1, "continuous": 2, "planar": 4, "floating": 7}
# Unit of each coordinate of a joint; "cos"/"sin" and "quat" are parts of a rotation.
COORDINATE_UNITS = {
    "revolute": ("rad",),
    "prismatic": ("m",),
    "continuous": ("cos", "sin"),
    "planar": ("m", "m", "cos", "sin"),
    "floating": ("m", "m", "m", "quat", "quat", "quat", "quat"),
}
UNBOUNDED = 1e3
FREE_TRANSLATION = 1.0
# A neutral coordinate on or beyond a bound is moved this share of its range inside.
INSET = 0.01


@dataclasses.dataclass(frozen=True)
class Joint:
    """A joint of the model: its coordinates are q[start:start + count]; lower and
    upper hold their bounds as the model reports them (a tuple, one per coordinate)."""

    name: str
    kind: str
    start: int
    count: int
    lower: tuple
    upper: tuple

    @property
    def units(self):
        return COORDINATE_UNITS[self.kind]

    @property
    def coordinates(self):
        return range(self.start, self.start + self.count)


def layout(robot, urdf=None):
    """The joints of a built model in the order of q, as the module lays them out
    (talvex_tools.batch.joint_layout); a ToolError for a kind the tools cannot
    sample. `urdf` is not read: the model says what each joint is."""
    from talvex_tools import batch

    joints = []
    for joint in batch.joint_layout(robot):
        kind = joint["type"]
        if kind not in COORDINATES:
            raise ToolError(f"joint {joint['name']!r} has type {kind!r}, which the tools "
                            "cannot sample")
        joints.append(Joint(joint["name"], kind, joint["q_start"], joint["q_count"],
                            tuple(map(float, joint["lower"])), tuple(map(float, joint["upper"]))))
    return joints


def sampling_bounds(layout, lower, upper):
    """The bounds draws are made within: the model's, with the unbounded rule applied."""
    lower, upper = np.array(lower, dtype=float), np.array(upper, dtype=float)
    for joint in layout:
        for k, unit in zip(joint.coordinates, joint.units):
            wide = math.pi if unit == "rad" else FREE_TRANSLATION
            if not (math.isfinite(lower[k]) and abs(lower[k]) <= UNBOUNDED):
                lower[k] = -wide
            if not (math.isfinite(upper[k]) and abs(upper[k]) <= UNBOUNDED):
                upper[k] = wide
    return lower, upper


def drawn_within(layout, lower, upper):
    """How each coordinate is drawn, for the metadata: [lower, upper] of a uniform
    draw, or the set a rotation's coordinates are drawn on together ("unit circle"
    for a (cos, sin) pair, "unit quaternion"), whatever bounds the model gives them."""
    lower, upper = sampling_bounds(layout, lower, upper)
    drawn = [[float(lo), float(hi)] for lo, hi in zip(lower, upper)]
    for joint in layout:
        for k, unit in zip(joint.coordinates, joint.units):
            if unit in ("cos", "sin"):
                drawn[k] = "unit circle"
            elif unit == "quat":
                drawn[k] = "unit quaternion"
    return drawn


def sample(layout, lower, upper, rng, count, locks=None):
    """count configurations drawn uniformly inside the limits (module docstring),
    with the coordinates of locks ({index: value}, from options.locks) held."""
    lower, upper = sampling_bounds(layout, lower, upper)
    q = lower + rng.random((count, lower.size)) * (upper - lower)
    for joint in layout:
        if joint.kind in ("continuous", "planar"):
            at = joint.start + (2 if joint.kind == "planar" else 0)
            angle = math.pi * (2.0 * rng.random(count) - 1.0)
            q[:, at], q[:, at + 1] = np.cos(angle), np.sin(angle)
        elif joint.kind == "floating":
            quat = rng.standard_normal((count, 4))
            q[:, joint.start + 3: joint.start + 7] = quat / np.linalg.norm(quat, axis=1,
                                                                           keepdims=True)
    for k, value in (locks or {}).items():
        q[:, k] = value
    return q


def inside_neutral(robot, locks=None):
    """The neutral configuration with every coordinate that is not strictly inside its
    finite bounds moved INSET of their range inside (the nearest pose to neutral that
    the limits allow), and the coordinates of locks held."""
    q = robot.neutral_configuration()
    lo, hi = robot.lower_position_limits(), robot.upper_position_limits()
    for k in range(q.size):
        if np.isfinite(lo[k]) and np.isfinite(hi[k]) and not lo[k] < q[k] < hi[k]:
            inset = INSET * (hi[k] - lo[k])
            q[k] = min(max(q[k], lo[k] + inset), hi[k] - inset)
    for k, value in (locks or {}).items():
        q[k] = value
    return q
