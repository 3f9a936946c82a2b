"""Straight motions of a built ``talvex.RobotModel``, checked in one call.

A motion from ``q0`` to ``q1`` at resolution ``step`` is the n + 1 states
``pinocchio::interpolate(q0, q1, k / n)``, k = 0..n, with n = max(1, ceil(d / step))
and d Pinocchio's configuration distance between the ends (so a continuous joint
turns the short way round, along its circle). Each state's verdict is exactly
``robot.has_self_collision(state)``; a collision thinner than the step between two
states is not seen, as with every sampled check.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

import talvex
import _talvex_native as _native
from talvex_tools.batch import _rows, _threads

__all__ = ["edge_free", "edge_free_fraction", "edges_free"]


def _end(robot: talvex.RobotModel, q: npt.ArrayLike, name: str) -> np.ndarray:
    nq = robot.nq()  # the readiness error comes first
    row = np.ascontiguousarray(q, dtype=np.float64)
    if row.shape != (nq,):
        raise ValueError(f"{name} has shape {row.shape}, expected (nq,) = ({nq},)")
    return row


def edge_free(robot: talvex.RobotModel, q0: npt.ArrayLike, q1: npt.ArrayLike, *,
              step: float) -> bool:
    """True when no state of the motion collides. The ends are tested first, then the
    states halfway between those tested, so a collision is found early; the call stops
    at the first."""
    return bool(_native.edge_free(robot, _end(robot, q0, "q0"), _end(robot, q1, "q1"),
                                  float(step)))


def edge_free_fraction(robot: talvex.RobotModel, q0: npt.ArrayLike, q1: npt.ArrayLike, *,
                       step: float) -> float:
    """The largest k / n such that states 0..k are all free: 1.0 for a free motion,
    -1.0 when ``q0`` itself collides. For a planner that extends to the last valid
    state, which is ``interpolate(q0, q1, fraction)``."""
    return float(_native.edge_free_fraction(robot, _end(robot, q0, "q0"),
                                            _end(robot, q1, "q1"), float(step)))


def edges_free(robot: talvex.RobotModel, q0s: npt.ArrayLike, q1s: npt.ArrayLike, *,
               step: float, threads: int | None = None) -> npt.NDArray[np.bool_]:
    """``edge_free`` of each motion from row i of ``q0s`` to row i of ``q1s`` (both
    (N, nq)): a bool array of shape (N,), the motions spread over threads."""
    starts, ends = _rows(robot, q0s), _rows(robot, q1s)
    if starts.shape != ends.shape:
        raise ValueError(f"q0s has shape {starts.shape} and q1s {ends.shape}: one row of "
                         "each per motion")
    return _native.edges_free(robot, starts, ends, float(step), _threads(threads))
