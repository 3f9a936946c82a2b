"""Self-collision on robots of known geometry: the margin, which pairs count, no carry-over."""
import itertools
import json
import math
import random
import subprocess
import sys

import numpy as np
import pytest

from conftest import ERD_SHARE, build

# --- coll_tree.urdf, redone by hand -------------------------------------------------
# Each collision element as (link, rigid body it moves with, shape, radius or box
# half-size, centre) at q = [x, z]; positions as in the URDF's header comment.
# The arm's inner box lies inside the arm's sphere, so it is never nearer to
# anything than the sphere and is left out.


def elements(q):
    x, z = q
    return [
        ("base", "ground", "sphere", 0.1, (0.0, 0.0, 0.0)),
        ("base", "ground", "sphere", 0.1, (0.1, 0.0, 0.0)),
        ("foot", "ground", "sphere", 0.1, (-0.1, 0.0, 0.0)),
        ("mount", "ground", "box", 0.1, (0.6, 0.0, 0.0)),
        ("carriage", "slide_x", "sphere", 0.1, (x, 0.0, 0.5)),
        ("arm", "slide_z", "sphere", 0.1, (x, 0.0, 0.9 + z)),
        ("hand", "slide_z", "sphere", 0.05, (x, 0.0, 1.0 + z)),
    ]


def surface_gap(a, b):
    """Distance between two surfaces; <= 0 when they touch or overlap."""
    if a[2] == "box":
        a, b = b, a
    if b[2] == "box":  # sphere against an axis-aligned box
        outside = [max(abs(p - c) - b[3], 0.0) for p, c in zip(a[4], b[4])]
        return math.hypot(*outside) - a[3]
    return math.dist(a[4], b[4]) - a[3] - b[3]


def contacts(q, margin=0.005, disabled=()):
    """Link pairs, on different rigid bodies and not disabled, closer than the margin."""
    disabled = {frozenset(p) for p in disabled}
    found = set()
    for a, b in itertools.combinations(elements(q), 2):
        link_pair = frozenset((a[0], b[0]))
        if a[1] != b[1] and link_pair not in disabled and surface_gap(a, b) < margin:
            found.add(link_pair)
    return found


def nearest_to_margin(q, margin):
    return min(abs(surface_gap(a, b) - margin)
               for a, b in itertools.combinations(elements(q), 2) if a[1] != b[1])


# Configurations that bring the arm to a surface gap g from one link, and from
# nothing else within 0.025 m (checked against the model above in each test).
TARGETS = {
    "base": lambda g: [0.3 + g, -0.9],      # beside the base's second sphere
    "foot": lambda g: [-0.3 - g, -0.9],     # beside the welded foot
    "mount": lambda g: [0.4 - g, -0.9],     # beside the mount box's face
    "carriage": lambda g: [0.0, -0.2 + g],  # on top of its own carriage
}

CLEAR = [[0.0, 0.3], [0.2, 0.0], [-0.45, -0.9], [0.5, 0.5]]

ALL_LINK_PAIRS = [(a, b) for a in ("base", "foot", "mount", "carriage")
                  for b in ("carriage", "arm", "hand") if a != b]


def write_srdf(tmp_path, pairs):
    entries = "".join(f'<disable_collisions link1="{a}" link2="{b}" reason="Test"/>'
                      for a, b in pairs)
    path = tmp_path / "coll_tree.srdf"
    path.write_text(f'<?xml version="1.0"?>\n<robot name="coll_tree">{entries}</robot>\n')
    return str(path)


@pytest.fixture(scope="module")
def tree():
    return build("coll_tree.urdf")


# --- margin ---------------------------------------------------------------------------

@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize("gap,margin", [
    (0.003, 0.005), (0.003, 0.0),            # a 3 mm gap: inside the default margin only
    (0.0049, 0.005), (0.0051, 0.005),        # either side of the margin
    (0.02, 0.005), (0.02, 0.025),            # a wide margin turns clear into contact
    (-0.02, 0.0), (-0.02, 0.005), (-0.02, 0.025),  # overlap collides at any margin >= 0
    (0.002, -0.001), (-0.002, -0.001),       # a negative margin still means gap < margin
])
def test_margin_counts_a_pair_closer_than_it(target, gap, margin):
    q = TARGETS[target](gap)
    expected = gap < margin
    assert contacts(q, margin) == ({frozenset(("arm", target))} if expected else set())
    assert build("coll_tree.urdf", margin=margin).has_self_collision(q) is expected


def test_random_configurations_agree_with_the_geometry():
    rng = random.Random(7)
    models = {m: build("coll_tree.urdf", margin=m) for m in (0.0, 0.005, 0.05)}
    hits = 0
    for _ in range(400):
        # Beyond the joint limits too: they play no part in the test.
        q = [rng.uniform(-0.8, 0.8), rng.uniform(-1.3, 0.8)]
        for margin, model in models.items():
            if nearest_to_margin(q, margin) < 1e-6:
                continue
            expected = bool(contacts(q, margin))
            hits += expected
            assert model.has_self_collision(q) is expected, (q, margin)
    assert 200 < hits < 1000  # both answers are well represented


# --- which pairs exist ----------------------------------------------------------------

def test_elements_on_one_rigid_body_never_collide(tree):
    # base's two spheres overlap each other and the welded foot by 0.1 m, the hand
    # sinks 0.05 m into the arm, the arm's box sits inside its sphere: none of it counts.
    for q in CLEAR:
        assert contacts(q) == set()
        assert tree.has_self_collision(q) is False


def test_robot_on_a_single_joint_has_nothing_to_collide():
    model = build("coll_rigid.urdf")
    for angle in np.linspace(-4.0, 4.0, 33):
        assert model.has_self_collision([angle]) is False


OVERLAP = -0.03


@pytest.mark.parametrize("disabled,expected", [
    ([], dict(base=True, foot=True, mount=True, carriage=True)),
    # Only the named links' geometries go; the foot and mount welded to the base stay.
    ([("base", "arm")], dict(base=False, foot=True, mount=True, carriage=True)),
    ([("arm", "base")], dict(base=False, foot=True, mount=True, carriage=True)),
    # Links joined by a moving joint are a pair until the SRDF says otherwise.
    ([("carriage", "arm")], dict(base=True, foot=True, mount=True, carriage=False)),
    ([("arm", "carriage"), ("mount", "arm")],
     dict(base=True, foot=True, mount=False, carriage=False)),
    # Unknown links and a link paired with itself are skipped; the entry after them holds.
    ([("ghost", "arm"), ("arm", "ghost"), ("arm", "arm"), ("base", "base"), ("foot", "arm")],
     dict(base=True, foot=False, mount=True, carriage=True)),
])
def test_srdf_removes_exactly_the_named_link_pairs(tmp_path, disabled, expected):
    model = build("coll_tree.urdf", write_srdf(tmp_path, disabled))
    for target, answer in expected.items():
        q = TARGETS[target](OVERLAP)
        assert bool(contacts(q, disabled=disabled)) is answer
        assert model.has_self_collision(q) is answer, target


def test_srdf_disabling_every_pair_leaves_nothing(tmp_path):
    model = build("coll_tree.urdf", write_srdf(tmp_path, ALL_LINK_PAIRS), margin=0.5)
    for q in [TARGETS[t](g) for t in TARGETS for g in (-0.1, 0.0)] + CLEAR:
        assert model.has_self_collision(q) is False


# --- one answer per configuration -----------------------------------------------------

def test_answers_are_not_carried_over(tree):
    # Hits on early and late pairs of the list, each followed by a clear pose; pose
    # queries at the opposite configuration in between must not leak into the answer.
    colliding = [TARGETS[t](OVERLAP) for t in ("carriage", "base", "mount", "foot")]
    sequence = [q for pair in zip(colliding, CLEAR) for q in pair] * 2
    answers = []
    for i, q in enumerate(sequence):
        other = sequence[i - 1]
        tree.forward_kinematics(other, "hand")
        tree.all_frame_transforms(other)
        answers.append(tree.has_self_collision(q))
    assert answers == [True, False] * len(colliding) * 2


def test_limits_play_no_part(tree):
    # The mount is out of the carriage's reach (x <= 0.5): resting on top of it,
    # or dropped below the base, is outside the limits and still a collision.
    outside = {(0.6, -0.75): True, (0.6, 0.0): False,
               (0.1, -1.05): True, (0.0, 0.8): False, (-0.6, -0.9): False}
    for q, answer in outside.items():
        assert tree.in_joint_limits(q) is False
        assert bool(contacts(q)) is answer
        assert tree.has_self_collision(q) is answer, q


@pytest.mark.parametrize("q", [[], [0.0], [0.0, 0.0, 0.0], [[0.0], [0.0], [0.0]]])
def test_wrong_length_configuration_is_a_value_error(tree, q):
    with pytest.raises(ValueError):
        tree.has_self_collision(q)
    # The failed call leaves nothing behind.
    assert tree.has_self_collision(TARGETS["mount"](OVERLAP)) is True
    assert tree.has_self_collision(CLEAR[0]) is False



NON_RIGID_POSE = """
import json, sys, talvex
share, urdf, margin, cases = sys.argv[1], sys.argv[2], float(sys.argv[3]), json.loads(sys.argv[4])
robot = talvex.RobotModel()
robot.build_from_urdf(share + "/example-robot-data/robots/" + urdf, share, "", margin)
for index, value in cases:
    q = robot.neutral_configuration()
    q[index] = value
    try:
        print(robot.has_self_collision(q))
    except ValueError as error:
        print(error)
"""


@pytest.mark.skipif(ERD_SHARE is None, reason="example-robot-data is not installed")
@pytest.mark.parametrize("urdf,cases", [
    # A revolute first joint at NaN and at infinity, then at a plain angle.
    ("xarm_description/urdf/xarm7.urdf", [[0, math.nan], [0, math.inf], [0, 0.5]]),
    # A continuous first joint: (cos, sin) = (1e200, 0) and (2, 0), then (-1, 0).
    ("kinova_description/robots/kinova.urdf", [[0, 1e200], [0, 2.0], [0, -1.0]]),
])
@pytest.mark.parametrize("margin", [-1e-6, 0.005])
def test_non_rigid_pose_with_a_negative_margin_is_refused(urdf, cases, margin):
    # coal's test of two of these meshes with a negative margin spins forever at
    # such poses; in a child, so that a regression fails instead of hanging.
    args = [str(ERD_SHARE), urdf, str(margin), json.dumps(cases)]
    out = subprocess.run([sys.executable, "-c", NON_RIGID_POSE, *args], capture_output=True,
                         text=True, timeout=120, check=True).stdout.split("\n")[:3]
    refused = ("RobotModel::has_self_collision: q_rad places a geometry at a pose that is not a "
               "rigid motion (a NaN, infinite or huge coordinate, or a continuous joint's "
               "(cos, sin) pair off the unit circle), which cannot be tested with a negative "
               "collision_margin.")
    if margin < 0:
        assert out[:2] == [refused, refused] and out[2] in ("True", "False"), out
    else:
        assert all(answer in ("True", "False") for answer in out), out
