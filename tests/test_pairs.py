"""talvex pairs and talvex_tools.pairs: which link pairs collide.

Verdicts and distances are checked against the hand-computed geometry of
coll_tree.urdf (test_collision.py) and against Pinocchio's bindings used directly,
with fresh work data for every configuration (collision_reference.py); the command
runs as installed.
"""

import itertools
import json
import math

import numpy as np
import pytest

from conftest import DATA, ERD_SHARE, build, run_talvex
from test_collision import contacts, elements, surface_gap

pytest.importorskip("pinocchio")

from collision_reference import Reference  # noqa: E402  (needs pinocchio)

from talvex_tools import sampling  # noqa: E402
from talvex_tools.pairs import summarise  # noqa: E402
from talvex_tools.robot import RobotFiles  # noqa: E402

TREE = DATA / "coll_tree.urdf"
ROBOTS = ERD_SHARE / "example-robot-data" / "robots" if ERD_SHARE else None
needs_erd = pytest.mark.skipif(ERD_SHARE is None, reason="example-robot-data is not installed")


def tree_files(srdf=None, margin=0.005):
    return RobotFiles(urdf=TREE, srdf=srdf, package_dir=DATA, margin=margin)


def hand_shares(samples, margin=0.005, disabled=()):
    counts = {}
    for q in samples:
        for pair in contacts(q, margin, disabled):
            counts[pair] = counts.get(pair, 0) + 1
    return {pair: n / len(samples) for pair, n in counts.items()}


def hand_distances(q):
    """Smallest surface gap per link pair on different rigid bodies."""
    gaps = {}
    for a, b in itertools.combinations(elements(q), 2):
        if a[1] != b[1]:
            pair = frozenset((a[0], b[0]))
            gaps[pair] = min(gaps.get(pair, math.inf), surface_gap(a, b))
    return gaps


def srdf_file(tmp_path, pairs):
    entries = "".join(f'<disable_collisions link1="{a}" link2="{b}"/>' for a, b in pairs)
    path = tmp_path / "tree.srdf"
    path.write_text(f'<robot name="coll_tree">{entries}</robot>')
    return path


@pytest.mark.parametrize("margin, disabled", [
    (0.0, []),
    (0.005, [("arm", "carriage")]),
    (0.05, [("base", "arm"), ("hand", "carriage")]),
])
def test_summarise_gives_the_share_of_each_pair(tmp_path, margin, disabled):
    rng = np.random.default_rng(5)
    samples = np.column_stack([rng.uniform(-0.5, 0.5, 500), rng.uniform(-1.0, 0.5, 500)])
    srdf = srdf_file(tmp_path, disabled) if disabled else None
    found = summarise(tree_files(srdf, margin), samples)
    expected = hand_shares(samples, margin, disabled)
    assert {frozenset((a, b)): share for a, b, share in found} == expected
    assert [s for _, _, s in found] == sorted(expected.values(), reverse=True)
    assert len(expected) >= 5


@pytest.mark.parametrize("locks, held", [
    ([], {}),
    (["slide_z=-0.9"], {1: -0.9}),       # the arm down at the base's height
    (["slide_*=0.5"], {0: 0.5, 1: 0.5}),  # up and aside: nothing collides
])
def test_command_over_samples_matches_the_geometry_and_talvex(locks, held):
    lock_args = [a for lock in locks for a in ("--lock", lock)]
    run = run_talvex("pairs", TREE, "--samples", 400, "--seed", 11, "--json", *lock_args)
    assert run.returncode == 0 and run.stderr == "", run.stderr
    report = json.loads(run.stdout)

    robot = build("coll_tree.urdf")
    samples = sampling.sample(sampling.layout(robot, TREE), robot.lower_position_limits(),
                              robot.upper_position_limits(), np.random.default_rng(11), 400, held)
    for k, value in held.items():
        assert np.all(samples[:, k] == value)
    expected = hand_shares(samples)
    assert {frozenset(p["links"]): p["share"] for p in report["pairs"]} == expected
    share = np.mean([robot.has_self_collision(q) for q in samples])
    assert report["colliding"] == report["talvex_colliding"] == share
    assert (share == 0) == (len(held) == 2)


@pytest.mark.parametrize("q, margin", [
    ([0.3 + 0.003, -0.9], 0.005),    # 3 mm from the base's second sphere
    ([0.3 + 0.003, -0.9], 0.0),
    ([-0.3 - 0.012, -0.9], 0.005),   # 12 mm from the foot: near, clear
    ([0.0, -0.25], 0.005),           # arm sunk into its carriage
    ([0.4 - 0.004, -0.9], 0.005),    # 4 mm from the mount box's face
])
def test_command_at_one_configuration_gives_distances(q, margin):
    near = 0.25
    run = run_talvex("pairs", TREE, "--margin", margin, "--near", near, "--json", "--q", *q)
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout)
    gaps = hand_distances(q)
    listed = {frozenset(p["links"]): p for p in report["pairs"]}
    assert set(listed) == {pair for pair, gap in gaps.items() if gap < near}
    for pair, entry in listed.items():
        assert entry["collides"] is (gaps[pair] < margin)
        assert entry["distance"] == pytest.approx(gaps[pair], abs=1e-9)
    assert report["collides"] is report["talvex_collides"] is bool(contacts(q, margin))
    distances = [p["distance"] for p in report["pairs"]]
    assert distances == sorted(distances)


@needs_erd
@pytest.mark.parametrize("urdf, srdf, count", [
    ("panda_description/urdf/panda.urdf", "panda_description/srdf/panda.srdf", 300),
    ("ur_description/urdf/ur10_robot.urdf", None, 100),
    ("tiago_description/robots/tiago.urdf", None, 15),
])
def test_summarise_agrees_with_pinocchio_on_fresh_data(urdf, srdf, count):
    urdf, srdf = ROBOTS / urdf, srdf and ROBOTS / srdf
    files = RobotFiles(urdf=urdf, srdf=srdf, package_dir=ERD_SHARE, margin=0.005)
    robot = files.build()
    layout = sampling.layout(robot, urdf)
    samples = sampling.sample(layout, robot.lower_position_limits(),
                              robot.upper_position_limits(), np.random.default_rng(2), count)
    found = summarise(files, samples)
    reference = Reference(urdf, ERD_SHARE, srdf, 0.005)
    counts = {}
    for q in samples:
        for pair in reference.link_pairs_in_collision(q):
            counts[pair] = counts.get(pair, 0) + 1
    assert {frozenset((a, b)): s for a, b, s in found} == {p: n / count for p, n in counts.items()}


@needs_erd
def test_locking_a_hand_fixes_its_pairs():
    # Tiago's fingers are sampled independently: hand pairs collide in some draws and
    # not others. Held at 0, a pair of two hand links is in collision always or never.
    urdf = ROBOTS / "tiago_description/robots/tiago.urdf"
    args = ["pairs", urdf, "--package-dir", ERD_SHARE, "--samples", 40, "--json"]
    free, held = (json.loads(run_talvex(*args, *extra).stdout)
                  for extra in ([], ["--lock", "hand_*=0"]))

    def hand_shares(report):
        return [p["share"] for p in report["pairs"]
                if all(link.startswith("hand_") for link in p["links"])]

    assert any(0 < s < 1 for s in hand_shares(free))
    assert hand_shares(held) and all(s == 1 for s in hand_shares(held))
    assert held["locks"] == {"hand_*": 0.0}


BAD = [
    (["--q", 0.1], "--q needs the 2 coordinates"),
    (["--q", 0.1, "nan"], "not a finite number"),
    (["--q", "home"], "--q home: a group state's name needs the SRDF that holds it"),
    (["URDF", "pair.urdf", "--srdf", DATA / "pair.srdf", "--q", "home"],
     "pair.srdf has no group state of that name"),
    (["--q", 0.1, 0.2, "--samples", 5], "--samples and --lock are for sampling"),
    (["--near", 0.1], "--near applies to one configuration"),
    (["--lock", "nope*=1"], "--lock nope*: no joint matches"),
    (["--lock", "slide_x=2"], "outside the limits"),
    (["--samples", 0], "must be at least 1"),
    (["--margin", -0.01], "--margin"),
    (["--srdf", "missing.srdf"], "SRDF file not found"),
    # cspace.urdf: revolute, continuous (cos, sin), planar, floating, prismatic.
    (["URDF", "cspace.urdf", "--q", 0.1, 2.0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0],
     "entries 2-3 are the (cos, sin) of cont; their norm must be 1, not 2"),
]


@pytest.mark.parametrize("args, message", BAD, ids=[b[1][:24] for b in BAD])
def test_bad_input_is_one_line(args, message):
    urdf, args = (DATA / args[1], args[2:]) if args[0] == "URDF" else (TREE, args)
    run = run_talvex("pairs", urdf, *args)
    assert run.returncode == 2 and run.stdout == ""
    assert run.stderr.count("\n") == 1 and run.stderr.startswith("talvex pairs: error: ")
    assert message in run.stderr, run.stderr



TELESCOPE = DATA / "telescope.urdf"


def fake_joint(name, kind, start, mimic=None):
    count = {"revolute": 1, "prismatic": 1, "continuous": 2}[kind]
    return {"name": name, "type": kind, "q_start": start, "q_count": count, "mimic": mimic}


@pytest.mark.parametrize("leader, follower, q, expected", [
    # value = multiplier * leader + offset, for an angle or a (cos, sin) pair either side
    ("revolute", "revolute", [0.3, 9.0], [0.3, 2 * 0.3 - 0.1]),
    ("continuous", "revolute", [math.cos(0.5), math.sin(0.5), 9.0],
     [math.cos(0.5), math.sin(0.5), 2 * 0.5 - 0.1]),
    ("revolute", "continuous", [0.3, 1.0, 0.0], [0.3, math.cos(0.5), math.sin(0.5)]),
])
def test_a_follower_takes_its_leaders_value(leader, follower, q, expected):
    from talvex_tools import mimic

    layout = [fake_joint("lead", leader, 0),
              fake_joint("follow", follower, 2 if leader == "continuous" else 1,
                         {"joint": "lead", "multiplier": 2.0, "offset": -0.1})]
    np.testing.assert_allclose(mimic.apply(layout, np.array(q)), expected, atol=1e-12)
    # A follower held by --lock keeps its value.
    held = {layout[1]["q_start"]}
    np.testing.assert_array_equal(mimic.apply(layout, np.array([q, q]), keep=held), [q, q])


def test_followers_of_followers_settle_in_one_pass():
    from talvex_tools import mimic

    layout = [fake_joint("c", "prismatic", 0, {"joint": "b", "multiplier": 3.0, "offset": 0.0}),
              fake_joint("b", "prismatic", 1, {"joint": "a", "multiplier": 2.0, "offset": 0.0}),
              fake_joint("a", "prismatic", 2)]
    np.testing.assert_allclose(mimic.apply(layout, np.array([0.0, 0.0, 0.1])), [0.6, 0.2, 0.1])


@pytest.mark.parametrize("independent", [False, True])
def test_samples_and_q_fill_the_mimic_joints_from_their_leader(independent):
    from talvex_tools import pairs

    robot = build("telescope.urdf")
    samples = pairs.draw(robot, pairs.layout(robot), np.random.default_rng(3), 200, {},
                         independent)
    # arm_l2 and arm_l3 (q[6], q[7]) mimic arm_l1 (q[5]) with multiplier 1, offset 0.
    assert np.array_equal(samples[:, 6], samples[:, 5]) is not independent
    assert np.array_equal(samples[:, 7], samples[:, 5]) is not independent

    q = [0.1, 0.2, 1, 0, 0.3, 0.05, 0.11, 0.02, 1, 0, 0.4]
    extra = ["--independent-mimic"] if independent else []
    run = run_talvex("pairs", TELESCOPE, "--json", "--q", *q, *extra)
    assert run.returncode == 0, run.stderr
    given = json.loads(run.stdout)["q"]
    assert given[6:8] == (q[6:8] if independent else [0.05, 0.05])


@needs_erd
def test_pairs_only_within_the_margin_are_checked_at_margin_zero():
    # Tiago's wheels sit nearer than 5 mm to its base without touching it: in every
    # sample at the margin, in none at margin 0.
    urdf = ROBOTS / "tiago_description/robots/tiago.urdf"
    run = run_talvex("pairs", urdf, "--package-dir", ERD_SHARE, "--samples", 20)
    assert run.returncode == 0, run.stderr
    line = next(line for line in run.stdout.splitlines() if line.startswith("At margin 0"))
    assert "base_link / wheel_left_link 0.0%" in line and "want a smaller --margin" in line
    reference = Reference(urdf, ERD_SHARE, None, 0.0)
    robot = build(str(urdf), package_dir=str(ERD_SHARE), margin=0.0)
    assert frozenset(("base_link", "wheel_left_link")) not in reference.link_pairs_in_collision(
        sampling.inside_neutral(robot))


@needs_erd
@pytest.mark.parametrize("extra, fingers", [([], [0.001, 0.001]),
                                            (["--independent-mimic"], [0.001, 0.0])])
def test_a_group_state_fills_its_joints_and_their_followers(extra, fingers):
    # The Panda's "default" state names panda_finger_joint1 alone; finger 2 mimics it.
    panda = ROBOTS / "panda_description"
    run = run_talvex("pairs", panda / "urdf/panda.urdf", "--srdf", panda / "srdf/panda.srdf",
                     "--package-dir", ERD_SHARE, "--q", "default", "--json", *extra)
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout)["q"] == [0.0, -0.785398, 0.0, -2.35619, 0.0, 1.5707,
                                           0.785398, *fingers]
