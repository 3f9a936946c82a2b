"""Many configurations per call, per-pair answers and the joint layout of a built
``talvex.RobotModel``.

Every answer equals the module's own: ``self_collisions(robot, qs)[i]`` is
``robot.has_self_collision(qs[i])`` and ``frame_poses(robot, qs, frames)[i, k]`` is
``robot.forward_kinematics(qs[i], frames[k])``, bit for bit. The work runs without the
interpreter lock, spread over ``threads`` threads (default: the cores this process may
use), each with a workspace of its own lent by the robot; the robot itself (its
models, hulls and pair order) is shared, never built again. A rebuild of the robot
while a call runs does not disturb it: the call finishes on the robot it started with.

Workspaces are kept by the robot for the next call: one per thread that ever ran at
once, each about the size of one RobotModel's work data (docs/generating_data.md
gives figures).
"""

from __future__ import annotations

import operator
import os
import sys
from collections.abc import Sequence
from typing import Any, TypedDict

import numpy as np
import numpy.typing as npt

import talvex
import _talvex_native as _native

__all__ = [
    "JointLayout",
    "Mimic",
    "colliding_pairs",
    "frame_poses",
    "joint_layout",
    "link_pairs",
    "pair_collisions",
    "pair_distances",
    "self_collisions",
]


class Mimic(TypedDict):
    joint: str
    multiplier: float
    offset: float


class JointLayout(TypedDict):
    name: str
    type: str
    q_start: int
    q_count: int
    v_count: int
    lower: list[float]
    upper: list[float]
    coordinates: list[str]
    parent: str | None
    mimic: Mimic | None


def available_cores() -> int:
    """The cores this process may run on (its affinity set)."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):  # not Linux
        return os.cpu_count() or 1


def _threads(threads: int | None) -> int:
    if threads is None:
        return available_cores()
    if isinstance(threads, bool) or not isinstance(threads, int):
        try:
            threads = operator.index(threads)
        except TypeError:
            raise TypeError(f"threads must be an integer or None, not "
                            f"{type(threads).__name__}") from None
    if threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    return threads


def _rows(robot: talvex.RobotModel, qs: npt.ArrayLike) -> np.ndarray:
    nq = robot.nq()  # the readiness error comes first
    rows = np.ascontiguousarray(qs, dtype=np.float64)
    if rows.ndim != 2 or rows.shape[1] != nq:
        raise ValueError(f"qs has shape {rows.shape}, expected (N, nq) = (N, {nq})")
    return rows


def self_collisions(robot: talvex.RobotModel, qs: npt.ArrayLike, *,
                    threads: int | None = None) -> npt.NDArray[np.bool_]:
    """Whether the robot self-collides at each row of ``qs`` (N, nq): a bool array of
    shape (N,). A row that has_self_collision refuses raises its error (the lowest
    such row's)."""
    rows = _rows(robot, qs)
    return _native.self_collisions(robot, rows, _threads(threads))


def frame_poses(robot: talvex.RobotModel, qs: npt.ArrayLike, frames: Sequence[str], *,
                threads: int | None = None) -> npt.NDArray[np.float64]:
    """The world pose of each frame at each row of ``qs``: float64 of shape
    (N, len(frames), 4, 4). An unknown frame raises forward_kinematics's error."""
    rows = _rows(robot, qs)
    if isinstance(frames, (str, bytes)):
        raise TypeError("frames must be a sequence of frame names, not one name")
    names = list(frames)
    count = _threads(threads)
    if len(rows) * len(names) * 128 > sys.maxsize:
        raise MemoryError(f"{len(rows)} x {len(names)} poses do not fit in memory")
    return _native.frame_poses(robot, rows, names, count)


def _pair_table(robot: talvex.RobotModel) -> list[tuple[str, str, str, str, str, str]]:
    return _native.pair_table(robot)


def link_pairs(robot: talvex.RobotModel) -> list[tuple[str, str]]:
    """The link pairs the robot tests (each once, as (link, link) in the order of the
    first geometry pair between them); the columns of ``pair_collisions``."""
    seen: dict[tuple[str, str], None] = {}
    for link_a, link_b, *_ in _pair_table(robot):
        seen.setdefault((link_a, link_b), None)
    return list(seen)


def _link_index(robot: talvex.RobotModel) -> tuple[list[tuple[str, str]], np.ndarray]:
    index: dict[tuple[str, str], int] = {}
    of_pair = [index.setdefault((a, b), len(index)) for a, b, *_ in _pair_table(robot)]
    return list(index), np.asarray(of_pair, dtype=np.intp)


def pair_collisions(robot: talvex.RobotModel, qs: npt.ArrayLike, *,
                    threads: int | None = None) -> npt.NDArray[np.bool_]:
    """Per row of ``qs`` and link pair of ``link_pairs(robot)``: in collision there
    (any geometry pair between the two links closer than the margin), each pair tested
    from its fresh solver start, so a row has a true entry exactly when
    ``has_self_collision`` is true for it. Shape (N, len(link_pairs(robot)))."""
    rows = _rows(robot, qs)
    count = _threads(threads)
    links, of_pair = _link_index(robot)
    per_pair = _native.pair_collisions(robot, rows, count)
    if not len(of_pair) or not len(rows):
        return np.zeros((len(rows), len(links)), dtype=bool)
    # The geometry pairs of each link pair side by side, then one OR per group
    # (ufunc.at would take an element at a time).
    order = np.argsort(of_pair, kind="stable")
    starts = np.flatnonzero(np.r_[True, np.diff(of_pair[order]) != 0])
    return np.logical_or.reduceat(per_pair[:, order], starts, axis=1)


def colliding_pairs(robot: talvex.RobotModel, q: npt.ArrayLike) -> list[tuple[str, str]]:
    """The link pairs in collision at ``q``, in pair-list order: non-empty exactly when
    ``robot.has_self_collision(q)`` is true."""
    nq = robot.nq()
    row = np.ascontiguousarray(q, dtype=np.float64)
    if row.shape != (nq,):
        raise ValueError(f"q has shape {row.shape}, expected (nq,) = ({nq},)")
    hits = _native.pair_collisions(robot, row[None, :], 1)[0]
    found: dict[tuple[str, str], None] = {}
    for hit, (link_a, link_b, *_) in zip(hits, _pair_table(robot)):
        if hit:
            found.setdefault((link_a, link_b), None)
    return list(found)


def pair_distances(robot: talvex.RobotModel, q: npt.ArrayLike, *,
                   below: float) -> list[tuple[str, str, float]]:
    """The link pairs closer than ``below`` metres at ``q``, as (link, link, distance),
    the nearest geometry pair's distance by coal (0 or below when they overlap), in
    pair-list order."""
    nq = robot.nq()
    below = float(below)
    if below != below:
        raise ValueError("below must be a distance in metres, not NaN")
    row = np.ascontiguousarray(q, dtype=np.float64)
    if row.shape != (nq,):
        raise ValueError(f"q has shape {row.shape}, expected (nq,) = ({nq},)")
    table = _pair_table(robot)
    nearest: dict[tuple[str, str], float] = {}
    for pair, distance in _native.pair_distances(robot, row, below):
        key = (table[pair][0], table[pair][1])
        nearest[key] = min(distance, nearest.get(key, distance))
    return [(a, b, d) for (a, b), d in nearest.items()]


def joint_layout(robot: talvex.RobotModel) -> list[JointLayout]:
    """Per joint, in q's order: its name, type (revolute, prismatic, continuous,
    planar, floating, ...), where its coordinates start in q and how many there are,
    its velocity count, the bounds of each coordinate, each coordinate's role (angle,
    position, cos, sin, x, y, z, qx, qy, qz, qw), its parent joint (None at the root)
    and, for a joint the URDF declares as mimicking another, the leader's name,
    multiplier and offset (the model keeps such coordinates independent in q)."""
    layout: list[Any] = _native.joint_layout(robot)
    return layout


def margin(robot: talvex.RobotModel) -> float:
    """The collision margin the robot was built with, in metres."""
    return float(_native.margin(robot))
