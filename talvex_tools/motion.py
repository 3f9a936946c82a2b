"""Straight motions of a built ``talvex.RobotModel``, checked in one call.

A motion from ``q0`` to ``q1`` at resolution ``step`` is the n + 1 states
``pinocchio::interpolate(q0, q1, k / n)``, k = 0..n, with n = max(1, ceil(d / step))
and d Pinocchio's configuration distance between the ends (so a continuous joint
turns the short way round, along its circle). Each state's verdict is exactly
``robot.has_self_collision(state)``; a collision thinner than the step between two
states is not seen, as with every sampled check. What a tested state proves about a
pair (how far apart it is) serves the states around it while the pair's links cannot
have moved that far, so most states of a free motion need no test of their own.

``edge_certified`` checks the motion itself, every configuration on it rather than
samples: it answers free only with a proof.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Literal

import numpy as np
import numpy.typing as npt

import talvex
import _talvex_native as _native
from talvex_tools.batch import _rows, _threads

__all__ = ["EdgeProof", "edge_certified", "edge_free", "edge_free_fraction", "edges_free"]


def _end(robot: talvex.RobotModel, q: npt.ArrayLike, name: str) -> np.ndarray:
    nq = robot.nq()  # the readiness error comes first
    row = np.ascontiguousarray(q, dtype=np.float64)
    if row.shape != (nq,):
        raise ValueError(f"{name} has shape {row.shape}, expected (nq,) = ({nq},)")
    return row


def edge_free(robot: talvex.RobotModel, q0: npt.ArrayLike, q1: npt.ArrayLike, *,
              step: float) -> bool:
    """True when no state of the motion collides. The ends are tested first (``q1``,
    then ``q0``), then the states halfway between those tested, so a collision is
    found early; the call stops at the first."""
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


@dataclass(frozen=True)
class EdgeProof:
    """The certified check's answer; true only for ``status == "free"``.

    - ``"free"``: proven that every configuration ``interpolate(q0, q1, u)``, u in
      [0, 1], keeps every tested pair farther apart than the collision margin (by
      more than 1e-4 m, so ``has_self_collision`` is false at each of them);
    - ``"collides"``: ``fraction`` is a u whose configuration collides (exactly as
      ``has_self_collision`` finds it);
    - ``"unproven"``: neither, as when a pair stays within 1e-6 m of that bound
      over a stretch on which it moves less than 1e-6 m, a joint between a pair's
      links is of a kind the motion bound does not cover (anything but revolute,
      prismatic, spherical and floating joints), an end's rotations are not
      normalised, or the proof would take more than 200,000 states.
    """

    status: Literal["free", "collides", "unproven"]
    fraction: float | None = None

    def __bool__(self) -> bool:
        return self.status == "free"


def edge_certified(robot: talvex.RobotModel, q0: npt.ArrayLike,
                   q1: npt.ArrayLike) -> EdgeProof:
    """Whether the whole motion from ``q0`` to ``q1`` is proven free (see EdgeProof).

    Each tested configuration gives, per pair, a lower bound of its distance (its
    boxes' gap, its hulls' or pieces' distance, or coal's distance); the bound on how
    fast the pair's links approach along the motion (each joint between them: its
    rate times the farthest the link's geometry reaches from its axis) then proves the
    stretch around it. Stretches no tested configuration covers are split. Needs a
    collision margin of 0 or more (ValueError otherwise).
    """
    status, fraction = _native.edge_certified(robot, _end(robot, q0, "q0"),
                                              _end(robot, q1, "q1"))
    if fraction is None:  # frozen, so one answer of each kind serves every call
        return _FREE if status == "free" else _UNPROVEN
    return EdgeProof(status, float(fraction))


_FREE = EdgeProof("free")
_UNPROVEN = EdgeProof("unproven")
