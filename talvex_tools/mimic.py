"""Mimic joints: a URDF joint that follows another (value = multiplier * leader +
offset). The model keeps each follower's coordinates free in q, so a configuration
drawn coordinate by coordinate moves the follower on its own, which the real robot
cannot do; these helpers put every follower where its leader puts it."""

import numpy as np

from talvex_tools.errors import ToolError

ONE_COORDINATE = ("revolute", "prismatic")


def followers(layout):
    """[(follower, leader, multiplier, offset)] of joint_layout entries, leaders
    first (a follower whose leader follows another comes after it)."""
    by_name = {joint["name"]: joint for joint in layout}
    found = []
    for joint in layout:
        mimic = joint["mimic"]
        if mimic is None:
            continue
        leader = by_name.get(mimic["joint"])
        if leader is None:
            raise ToolError(f"joint {joint['name']!r} mimics {mimic['joint']!r}, which the "
                            "model has no joint of")
        for one in (joint, leader):
            if one["type"] not in (*ONE_COORDINATE, "continuous"):
                raise ToolError(f"joint {joint['name']!r} mimics {mimic['joint']!r}; a "
                                f"{one['type']} joint cannot be drawn from one value")
        found.append((joint, leader, float(mimic["multiplier"]), float(mimic["offset"])))
    # A chain of followers settles when each is set after its leader.
    order, placed = [], set()
    pending = found
    while pending:
        ready = [f for f in pending if f[1]["mimic"] is None or f[1]["name"] in placed]
        if not ready:
            raise ToolError("the mimic joints follow each other in a loop: "
                            + ", ".join(f[0]["name"] for f in pending))
        order += ready
        placed |= {f[0]["name"] for f in ready}
        pending = [f for f in pending if f not in ready]
    return order


def _angle(qs, joint):
    start = joint["q_start"]
    if joint["type"] == "continuous":
        return np.arctan2(qs[:, start + 1], qs[:, start])
    return qs[:, start]


def apply(layout, qs, keep=()):
    """qs (N, nq) or (nq,) with every follower's coordinates set from its leader's, in
    a new array; the coordinates in keep (indices held by --lock) are left as given."""
    out = np.array(qs, dtype=float)
    rows = out.reshape(-1, out.shape[-1])
    for follower, leader, multiplier, offset in followers(layout):
        start = follower["q_start"]
        if start in keep:
            continue
        value = multiplier * _angle(rows, leader) + offset
        if follower["type"] == "continuous":
            rows[:, start], rows[:, start + 1] = np.cos(value), np.sin(value)
        else:
            rows[:, start] = value
    return out


def note(layout, independent, given=False):
    """One line saying how the followers are drawn (or, given: taken from the values
    typed), or None for a robot without any."""
    found = followers(layout)
    if not found:
        return None
    names = ", ".join(f"{f[0]['name']} ({f[1]['name']})" for f in found)
    if independent:
        return (f"mimic joints {'taken as given' if given else 'drawn independently'} "
                f"(--independent-mimic): {names}")
    return (f"mimic joints {'set from' if given else 'follow'} their leader (value = "
            f"multiplier * leader + offset): {names}; --independent-mimic "
            f"{'takes them as given' if given else 'draws them on their own'}")
