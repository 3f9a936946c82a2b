"""The talvex command as installed: the root, what every subcommand shares (one-line
failures with exit status 2 before any work, Ctrl-C, missing dependencies, --out),
and talvex inspect. The installed console script runs in a child process; the
subcommands' own answers are checked in their own test files."""

import contextlib
import math
import pathlib
import re
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

import numpy as np
import pytest

from conftest import DATA, ERD_SHARE, TALVEX, build, run_talvex
from talvex_tools import batch

pin = pytest.importorskip("pinocchio")

ROBOTS = ERD_SHARE / "example-robot-data" / "robots" if ERD_SHARE else None
needs_erd = pytest.mark.skipif(ROBOTS is None, reason="example-robot-data is not installed")


def test_root_lists_every_command_and_refuses_an_unknown_one():
    run = run_talvex("--help")
    assert run.returncode == 0, run.stderr
    for name in ("inspect", "srdf", "label", "cspace", "pairs"):
        assert f"\n  {name} " in run.stdout
    for args in ([], ["frob"]):
        run = run_talvex(*args)
        assert run.returncode == 2 and run.stdout == ""
    assert run.stderr == ("talvex: error: unknown command 'frob' "
                          "(choose from inspect, srdf, label, cspace, pairs)\n")


# The demo command.


@needs_erd
def test_inspect_on_the_panda():
    run = run_talvex("inspect", "--samples", 25)
    assert run.returncode == 0, run.stderr
    out = run.stdout
    assert "panda" in out and "nq=9" in out and "panda_finger_joint2" in out
    # panda_joint4's upper bound is below zero, so the neutral configuration is outside.
    assert "NOT strictly inside the limits" in out
    assert "of 25 random configurations inside the limits" in out
    assert "has_self_collision(q)" in out
    # Each query's mean, median and tail, on one line: the median alone hides the tail.
    assert "Time per call in us" in out and re.search(r"mean +median +99th pct", out)
    rows = [line.split() for line in out.splitlines() if line.startswith("  nq()")]
    assert len(rows) == 1 and len(rows[0]) == 4
    mean, median, tail = map(float, rows[0][1:])
    assert 0 < median <= tail
    # The printed pose of the frame shown is Pinocchio's, to the printed digits.
    assert_pose_is_pinocchios(ROBOTS / "panda_description/urdf/panda.urdf", out)


def assert_pose_is_pinocchios(urdf, out):
    model = pin.buildModelFromUrdf(str(urdf), mimic=False)
    data = model.createData()
    pin.framesForwardKinematics(model, data, pin.neutral(model))
    lines = out.splitlines()
    at = next(i for i, line in enumerate(lines) if line.startswith("Pose of '"))
    frame = lines[at].split("'")[1]
    printed = np.array([[float(v) for v in lines[at + 1 + r].split()] for r in range(4)])
    np.testing.assert_allclose(printed, data.oMf[model.getFrameId(frame)].homogeneous, atol=6e-5)
    return lines[at]


@pytest.mark.parametrize("extra, pose_line", [
    ([], "Pose of 'grasp_center_link' at neutral (the last frame of the longest chain, "
         "7 moving joints from the root; --frame picks another):"),
    (["--frame", "mast_link"], "Pose of 'mast_link' at neutral (given by --frame):"),
])
def test_inspect_labels_each_coordinate_and_names_its_frame(extra, pose_line):
    urdf = DATA / "telescope.urdf"
    run = run_talvex("inspect", urdf, "--samples", 20, *extra)
    assert run.returncode == 0, run.stderr
    rows = [line.split() for line in run.stdout.splitlines()]
    table = rows[rows.index(["joint", "type", "coord", "lower", "upper", "unit"]) + 1:]
    table = table[:table.index([])]
    # Each coordinate's role and unit, as the label metadata gives them.
    assert [(row[-4], row[-1]) for row in table if row[0] != "mimic:"] == [
        ("x", "m"), ("y", "m"), ("cos", "1"), ("sin", "1"), ("position", "m"), ("position", "m"),
        ("position", "m"), ("position", "m"), ("cos", "1"), ("sin", "1"), ("angle", "rad")]
    assert table[-1] == ["mimic:", "arm_l2_joint", "=", "1", "*", "arm_l1_joint", "+", "0,",
                         "arm_l3_joint", "=", "1", "*", "arm_l1_joint", "+", "0"]
    assert assert_pose_is_pinocchios(urdf, run.stdout) == pose_line


@needs_erd
def test_inspect_finds_the_packages_above_the_urdf():
    run = run_talvex("inspect", ROBOTS / "ur_description/urdf/ur5_robot.urdf", "--samples", 20)
    assert run.returncode == 0, run.stderr
    assert f"Packages     {ERD_SHARE} (the nearest above the URDF holding example-robot-data)" in (
        run.stdout)
    # Without an SRDF every sample collides, and the demo says what to do about it.
    assert "20 of 20 random configurations" in run.stdout
    assert "most random configurations are in self-collision" in run.stdout
    assert "talvex srdf" in run.stdout


@pytest.mark.parametrize(
    "args, message",
    [
        (["--samples", "0"], "argument --samples: must be at least 1"),
        (["--margin", "-0.001", "--samples", "20"], "argument --margin: must be a finite"),
        (["--package-dir", "/nonexistent"], "package directory not found"),
        (["--margin", "abc"], "argument --margin: must be a finite"),
        ([DATA / "pair.urdf", "--srdf", DATA / "pair.urdf"], "does not have the right extension"),
        (["BROKEN"], "does not contain a valid URDF model"),
        (["HUGE"], "MiB"),
    ],
    ids=["samples", "negative-margin", "package-dir", "margin", "srdf-extension", "broken-urdf",
         "work-data-too-large"],
)
def test_inspect_bad_arguments(tmp_path, args, message):
    if ERD_SHARE is None and not any(str(a).endswith(".urdf") or a in ("BROKEN", "HUGE")
                                     for a in args):
        pytest.skip("the default robot needs example-robot-data")
    files = {"BROKEN": tmp_path / "broken.urdf", "HUGE": tmp_path / "huge.urdf"}
    files["BROKEN"].write_text('<robot name="r"><link name="a"/><joint name="j" type="revolute">'
                               '<parent link="a"/><child link="b"/></joint><link name="b"/></robot>')
    # A 1000-joint chain: its work data would take far more memory than there is.
    files["HUGE"].write_text('<robot name="r"><link name="l0"/>' + "".join(
        f'<link name="l{i}"/><joint name="j{i}" type="revolute"><parent link="l{i - 1}"/>'
        f'<child link="l{i}"/><axis xyz="0 0 1"/><limit lower="-1" upper="1" effort="1" '
        f'velocity="1"/></joint>' for i in range(1, 1001)) + "</robot>")
    run = run_talvex("inspect", *[files.get(a, a) if isinstance(a, str) else a for a in args])
    assert run.returncode == 2
    assert run.stdout == ""
    assert len(run.stderr.splitlines()) == 1, run.stderr
    assert run.stderr.startswith("talvex inspect: error: ") and message in run.stderr




@pytest.mark.parametrize("command, blocked, shown", [
    ("label", "pyarrow", "pyarrow"),
    ("label", "distributed", "distributed"),
    ("cspace", "matplotlib", "matplotlib"),
])
def test_a_missing_dependency_is_one_line_before_any_work(tmp_path, command, blocked, shown):
    # The module blocked in the process: its import fails as when it is not installed.
    code = (f"import sys; sys.modules[{blocked!r}] = None; from talvex_tools.cli import main; "
            "sys.exit(main(sys.argv[1:]))")
    # Arguments that would fail if they were looked at: the dependency comes first.
    run = subprocess.run([sys.executable, "-c", code, command, "MISSING.urdf", "--margin", "-1",
                          "--out", tmp_path / "out"], capture_output=True, text=True, timeout=60,
                         cwd=tmp_path)
    assert (run.returncode, run.stdout) == (2, "")
    assert run.stderr == (f"talvex {command}: error: {command} needs {shown}: "
                          "pip install 'talvex[tools]'\n")
    # --help needs none of them.
    run = subprocess.run([sys.executable, "-c", code, command, "--help"], capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 0 and f"usage: talvex {command} " in run.stdout, run.stderr
    assert list(tmp_path.iterdir()) == []


NO_PIN_ROBOTS = {"ur5": ("ur_description/urdf/ur5_robot.urdf", "shoulder_lift_joint elbow_joint"),
                 "tiago": ("tiago_description/robots/tiago.urdf", "arm_1_joint arm_2_joint")}


@needs_erd
@pytest.mark.parametrize("robot", NO_PIN_ROBOTS)
@pytest.mark.parametrize("command, args", [
    ("pairs", "--samples 20"),
    ("pairs", "--q NEUTRAL"),
    ("srdf", "--samples 20 --out OUT/r.srdf"),
    ("inspect", "--samples 20"),
    ("cspace", "--joints JOINTS --resolution 8 --out OUT/map.png"),
])
def test_the_commands_run_without_pinocchios_bindings(tmp_path, robot, command, args):
    urdf, joints = NO_PIN_ROBOTS[robot]
    urdf = ROBOTS / urdf
    neutral = " ".join(map(str, build(str(urdf), package_dir=str(ERD_SHARE))
                           .neutral_configuration()))
    argv = [command, str(urdf), *args.replace("NEUTRAL", neutral).replace("JOINTS", joints)
            .replace("OUT", str(tmp_path)).split()]
    code = ("import sys; sys.modules['pinocchio'] = None; from talvex_tools.cli import main; "
            "sys.exit(main(sys.argv[1:]))")
    run = subprocess.run([sys.executable, "-c", code, *argv], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0 and run.stderr == "", run.stderr
    # One count of the pairs tested, the module's, whichever command gives it.
    tested = len(batch.link_pairs(build(str(urdf), package_dir=str(ERD_SHARE))))
    if command != "cspace":
        assert re.search(rf"\b{tested} link pairs tested|link pairs tested[ =]+{tested}\b",
                         run.stdout), run.stdout


# The options each script had before it became a subcommand, and --lock on every
# subcommand that samples.
OPTIONS = {
    "inspect": "--srdf --package-dir --margin --samples --seed --lock",
    "srdf": "--out --package-dir --samples --seed --margin --never --merge --compare --lock "
            "--force",
    "label": "--srdf --package-dir --margin --count --seed --chunk-size --frame --out --threads "
             "--local-cluster --cluster --connect-timeout --lock --force",
    "cspace": "--srdf --package-dir --margin --joints --base --resolution --threads --out "
              "--lock --force",
    "pairs": "--srdf --package-dir --margin --samples --seed --lock",
}


@pytest.mark.parametrize("command", OPTIONS)
def test_help_of_each_command(command):
    run = run_talvex(command, "--help")
    assert run.returncode == 0 and run.stderr == ""
    assert run.stdout.startswith(f"usage: talvex {command} ")
    shown = {word.strip("[],") for word in run.stdout.split() if word.startswith(("--", "[--"))}
    assert set(OPTIONS[command].split()) <= shown


# Bad input over the installed command: one line, exit 2, nothing written, and no
# work done first (each of these used to start work, fail late or write something).
ROBOT = DATA / "cspace.urdf"
JOINTS = ["--joints", "rev", "pris"]
BAD = [
    ("inspect", [ROBOT, "--margin", "-0.01"], "argument --margin: must be a finite number of"),
    ("srdf", [ROBOT, "--margin", "nan", "--out", "o.srdf"], "argument --margin: must be a finite"),
    ("label", [ROBOT, "--margin", "inf", "--count", 5, "--out", "o"], "argument --margin:"),
    ("cspace", [ROBOT, "--margin", "-1e-9", *JOINTS, "--out", "o.png"], "argument --margin:"),
    ("pairs", [ROBOT, "--margin", "-0.01"], "argument --margin:"),
    ("inspect", ["MISSING.urdf"], "URDF file not found: MISSING.urdf"),
    ("label", [ROBOT, "--srdf", "MISSING.srdf", "--count", 5, "--out", "o"], "SRDF file not found"),
    ("srdf", [ROBOT, "--out", "/nonexistent/deeper/o.srdf"], "folder not found: /nonexistent/deeper"),
    ("label", [ROBOT, "--count", 5, "--out", "missing/o"], "folder not found"),
    ("cspace", [ROBOT, *JOINTS, "--out", "/proc/o.png"], "cannot write in /proc"),
    ("srdf", [ROBOT, "--out", "o.txt"], "the extension must be .srdf, not '.txt'"),
    ("cspace", [ROBOT, *JOINTS, "--out", "noext"], "the extension must be .png"),
    ("srdf", [ROBOT, "--out", "KEEP.srdf"], "exists (--force replaces it)"),
    ("cspace", [ROBOT, *JOINTS, "--out", "KEEP.png"], "exists (--force replaces it)"),
    ("label", [ROBOT, "--count", 5, "--out", "FULL"], "is not empty (--force replaces it)"),
    ("inspect", [ROBOT, "--lock", "nope*=0"], "--lock nope*: no joint matches"),
    ("inspect", [ROBOT, "--lock", "rev"], "expected NAME=VALUE"),
    ("srdf", [ROBOT, "--lock", "rev=2", "--out", "o.srdf"], "outside the limits of rev, [0, 1.5]"),
    ("cspace", [ROBOT, *JOINTS, "--lock", "plane=1", "--out", "o.png"], "which one value cannot"),
    ("inspect", [ROBOT, "--seed", "-1"], "argument --seed: must be at least 0"),
    ("label", [ROBOT, "--count", 5, "--out", "o", "--cluster", "tcp://127.0.0.1:9",
               "--connect-timeout", "-1"], "argument --connect-timeout: must be a"),
    ("srdf", [ROBOT, "--merge", "ROBOT", "--out", "o.srdf"], "name must end in .srdf"),
    ("srdf", [ROBOT, "--compare", "NOT.srdf", "--out", "o.srdf"], "is not an SRDF"),
    ("frob", [], "unknown command 'frob'"),
    ("inspect", [ROBOT, "--lock", "rve=0"], "no joint matches; did you mean rev?"),
    ("inspect", ["."], "URDF file not found: . is a folder"),
    ("inspect", [ROBOT, "--package-dir", ROBOT], "is a file"),
    ("cspace", ["STATUE", "--joints", "a", "b", "--out", "o.png"], "has no joints (nq = 0)"),
    ("pairs", ["STATUE"], "has no joints (nq = 0)"),
    ("label", ["STATUE", "--count", 5, "--out", "o"], "has no joints (nq = 0)"),
]
STATUE = ('<robot name="statue"><link name="base"><collision><geometry><box size="1 1 1"/>'
          '</geometry></collision></link></robot>')


@pytest.mark.parametrize(
    "command, args, message",
    BAD,
    ids=[f"{case[0]}-{case[2][:32]}" for case in BAD])
def test_bad_input_is_one_line_exit_2_and_writes_nothing(tmp_path, command, args, message):
    (tmp_path / "KEEP.srdf").write_text("<robot name='keep'/>")
    (tmp_path / "NOT.srdf").write_text("<srdf/>")
    (tmp_path / "KEEP.png").write_bytes(b"keep")
    (tmp_path / "FULL").mkdir()
    (tmp_path / "FULL" / "keep").write_text("")
    (tmp_path / "statue.urdf").write_text(STATUE)
    before = sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*"))
    args = [ROBOT if a == "ROBOT" else "statue.urdf" if a == "STATUE" else a for a in args]
    run = run_talvex(command, *args, cwd=tmp_path, timeout=60)
    assert (run.returncode, run.stdout) == (2, ""), run.stderr
    assert len(run.stderr.splitlines()) == 1, run.stderr
    prog = "talvex" if command == "frob" else f"talvex {command}"
    assert run.stderr.startswith(f"{prog}: error: ") and message in run.stderr, run.stderr
    assert sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*")) == before
    assert (tmp_path / "KEEP.srdf").read_text() == "<robot name='keep'/>"


def test_srdf_for_another_robot_is_named_with_its_share(tmp_path):
    # Panda's SRDF on the cspace robot: it names none of its links.
    other = tmp_path / "other.srdf"
    other.write_text("<robot name='panda'><disable_collisions link1='panda_link0' "
                     "link2='panda_link1' reason='Adjacent'/></robot>")
    run = run_talvex("inspect", DATA / "coll_tree.urdf", "--srdf", other, "--samples", 10)
    assert run.returncode == 0, run.stderr
    links = [l for l in ET.parse(DATA / "coll_tree.urdf").getroot().findall("link")
             if l.find("collision") is not None]
    assert run.stderr == (f"talvex inspect: warning: other.srdf names 0% of the {len(links)} "
                          "links with collision geometry of coll_tree; is it this robot's "
                          "SRDF?\n")


# The shared pieces, in process.


def test_locks_hold_coordinates_and_a_continuous_joint_by_its_angle():
    from talvex_tools import options, sampling

    robot = build("cspace.urdf")
    layout = sampling.layout(robot, DATA / "cspace.urdf")
    args = type("Args", (), {"lock": [("rev", 0.5), ("c*", 2.0), ("pr?s", -0.1)]})()
    held = options.locks(args, layout)
    assert held == {0: 0.5, 1: math.cos(2.0), 2: math.sin(2.0), 14: -0.1}
    q = sampling.sample(layout, robot.lower_position_limits(), robot.upper_position_limits(),
                        np.random.default_rng(1), 50, held)
    for k, value in held.items():
        assert (q[:, k] == value).all()
    free = [k for k in range(15) if k not in held]
    assert len({tuple(row) for row in q[:, free]}) == 50
    assert all(robot.in_joint_limits(row) for row in q)


def test_unbounded_coordinates_are_drawn_within_a_turn_or_a_metre(tmp_path):
    # Limits of 1e16 stand for none, as some URDFs write them (iris.urdf).
    urdf = tmp_path / "wide.urdf"
    urdf.write_text(
        '<robot name="wide"><link name="a"/><link name="b"/><link name="c"/>'
        '<joint name="turn" type="revolute"><parent link="a"/><child link="b"/>'
        '<axis xyz="0 0 1"/><limit lower="-1e16" upper="1e16" effort="1" velocity="1"/></joint>'
        '<joint name="slide" type="prismatic"><parent link="b"/><child link="c"/>'
        '<axis xyz="1 0 0"/><limit lower="-1e16" upper="1e16" effort="1" velocity="1"/></joint>'
        '</robot>')
    from talvex_tools import sampling

    robot = build(str(urdf), package_dir=str(tmp_path))
    layout = sampling.layout(robot, urdf)
    q = sampling.sample(layout, robot.lower_position_limits(), robot.upper_position_limits(),
                        np.random.default_rng(0), 2000)
    assert -math.pi <= q[:, 0].min() < -3.0 and 3.0 < q[:, 0].max() <= math.pi
    assert -1.0 <= q[:, 1].min() < -0.95 and 0.95 < q[:, 1].max() <= 1.0


@needs_erd
def test_neutral_inside_the_limits_moves_only_what_is_on_or_beyond_a_bound():
    from talvex_tools import sampling

    urdf = ROBOTS / "panda_description/urdf/panda.urdf"
    robot = build(str(urdf), package_dir=str(ERD_SHARE))
    model = pin.buildModelFromUrdf(str(urdf), mimic=False)
    lo, hi, q = model.lowerPositionLimit, model.upperPositionLimit, pin.neutral(model)
    # panda_joint4 (its range is below 0) to 1 % under its upper bound, the fingers
    # (0 is their lower bound) 1 % above it; every other joint stays at 0.
    expected = q.copy()
    expected[3] = hi[3] - 0.01 * (hi[3] - lo[3])
    expected[7:] = lo[7:] + 0.01 * (hi[7:] - lo[7:])
    np.testing.assert_array_equal(sampling.inside_neutral(robot), expected)
    assert robot.in_joint_limits(expected)


@pytest.mark.parametrize("kind", ["file", "dir"])
@pytest.mark.parametrize("fails", [False, True])
def test_atomic_write_leaves_the_old_result_or_the_whole_new_one(tmp_path, kind, fails):
    from talvex_tools import options

    target = tmp_path / ("out.txt" if kind == "file" else "out")
    if kind == "file":
        target.write_text("old")
    else:
        target.mkdir()
        (target / "old").write_text("old")
    with pytest.raises(KeyboardInterrupt) if fails else contextlib.nullcontext():
        with options.atomic_write(target) as temp:
            assert temp.parent == tmp_path and not temp.exists()
            assert kind == "dir" or temp.suffix == target.suffix  # for writers that infer a format
            if kind == "file":
                temp.write_text("new")
            else:
                temp.mkdir()
                (temp / "new").write_text("new")
            if fails:
                raise KeyboardInterrupt
    assert [p.name for p in tmp_path.iterdir()] == [target.name]
    found = target.read_text() if kind == "file" else [p.name for p in target.iterdir()]
    expected = "old" if fails else "new"
    assert found == (expected if kind == "file" else [expected])


INSPECT = ["inspect", "--samples", 3_000_000]
LABEL = ["label", "ROBOT", "--count", 10_000_000, "--threads", 2, "--out", "OUT"]


@needs_erd
@pytest.mark.parametrize("command, signum", [
    (INSPECT, signal.SIGINT),
    (["srdf", "ROBOT", "--samples", 1_000_000, "--out", "OUT.srdf"], signal.SIGINT),
    (["cspace", "ROBOT", "--joints", "shoulder_lift_joint", "elbow_joint", "--resolution", 2000,
      "--threads", 2, "--out", "OUT.png"], signal.SIGINT),
    (LABEL, signal.SIGINT),
    (INSPECT, signal.SIGTERM),
    (LABEL, signal.SIGTERM),
], ids=lambda c: c[0] if isinstance(c, list) else signal.Signals(c).name)
def test_ctrl_c_is_one_line_exit_130_and_leaves_nothing(tmp_path, command, signum):
    """SIGTERM (SLURM, containers) the same, with its own status, 143."""
    robot = ROBOTS / "ur_description/urdf/ur10_robot.urdf"
    args = [str(robot) if a == "ROBOT" else str(tmp_path / a) if str(a).startswith("OUT")
            else str(a) for a in command]
    # SIGINT at its default in the child even when this run ignores it (a background job).
    proc = subprocess.Popen([str(TALVEX), *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, cwd=tmp_path,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    # Interrupted while working: once talvex's extension is loaded (the commands load it
    # to build the robot, after their checks), and a moment later.
    maps = pathlib.Path(f"/proc/{proc.pid}/maps")
    deadline = time.monotonic() + 60
    while proc.poll() is None and time.monotonic() < deadline:
        if "/talvex.cpython" in maps.read_text():
            break
        time.sleep(0.1)
    time.sleep(1.5)
    assert proc.poll() is None, proc.communicate()
    proc.send_signal(signum)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 128 + signum, err
    by = " by SIGTERM" if signum == signal.SIGTERM else ""
    line = err.splitlines()[-1]
    assert "Traceback" not in err and len(err.splitlines()) <= 3, err
    if command[0] == "label":
        # Its finished chunks stay, for the command the line gives.
        assert line.startswith(f"talvex label: interrupted{by}; ") and "--resume" in line
        assert [p.name for p in tmp_path.iterdir()] == [".OUT.partial"]
    else:
        assert line == f"talvex {command[0]}: interrupted{by}"
        assert list(tmp_path.iterdir()) == []


# What inspect and srdf say about the pairs that collide (through talvex pairs' finder).


def colliding_link_pairs(urdf, srdf, q, margin=0.005):
    """The link pairs talvex tests that are in collision at q, by Pinocchio's own
    bindings: geometries on different joints, less the SRDF's disabled pairs."""
    model = pin.buildModelFromUrdf(str(urdf), mimic=False)
    geom = pin.buildGeomFromUrdf(model, str(urdf), pin.GeometryType.COLLISION,
                                 package_dirs=[str(ERD_SHARE)])
    objects = geom.geometryObjects
    disabled = {frozenset((e.get("link1"), e.get("link2")))
                for e in ET.parse(srdf).getroot().iter("disable_collisions")} if srdf else set()
    links = [model.frames[g.parentFrame].name for g in objects]
    for a in range(len(objects)):
        for b in range(a + 1, len(objects)):
            if (objects[a].parentJoint != objects[b].parentJoint
                    and frozenset((links[a], links[b])) not in disabled):
                geom.addCollisionPair(pin.CollisionPair(a, b))
    data, geom_data = model.createData(), pin.GeometryData(geom)
    for request in geom_data.collisionRequests:
        request.security_margin = margin
    pin.computeCollisions(model, data, geom, geom_data, q, False)
    return {frozenset((links[p.first], links[p.second]))
            for p, r in zip(geom.collisionPairs, geom_data.collisionResults) if r.isCollision()}


@needs_erd
def test_inspect_names_the_pairs_in_collision_at_neutral():
    # The Kinova arm's shipped SRDF disables nothing: links at their joints touch.
    urdf = ROBOTS / "kinova_description/robots/kinova.urdf"
    srdf = ROBOTS / "kinova_description/srdf/kinova.srdf"
    run = run_talvex("inspect", urdf, "--srdf", srdf, "--samples", 10)
    assert run.returncode == 0, run.stderr
    note = next(line for line in run.stdout.splitlines()
                if line.startswith("Note: the neutral configuration"))
    named = note.split(" is in self-collision: ", 1)[1].split(". If the robot", 1)[0]
    shown, _, more = named.partition(" and ")
    pairs = {frozenset(p.split(" / ")) for p in shown.split(", ")}
    # Three of its joints' ranges exclude 0: the neutral configuration is outside the
    # limits, and the pairs named are those at the nearest pose inside them, 1 % of a
    # range in from the bound.
    assert "moved inside the limits" in note
    model = pin.buildModelFromUrdf(str(urdf), mimic=False)
    lo, hi, q = model.lowerPositionLimit, model.upperPositionLimit, pin.neutral(model)
    q = np.where((lo < q) & (q < hi), q, np.clip(q, lo + 0.01 * (hi - lo), hi - 0.01 * (hi - lo)))
    expected = colliding_link_pairs(urdf, srdf, q)
    assert pairs <= expected
    assert len(pairs) + (int(more.split()[0]) if more else 0) == len(expected)
    # And the SRDF that names none of the arm's links is called out.
    assert "kinova.srdf names 0% of the" in run.stderr


@needs_erd
def test_srdf_ends_with_the_share_left_and_the_pairs_responsible(tmp_path):
    # Tiago's hand: fingers drawn independently collide in most samples, whatever the
    # SRDF; held still, the share falls. Its finger links sit nearer than the margin
    # without touching: --within-margin disables them too.
    urdf = ROBOTS / "tiago_description/robots/tiago.urdf"
    shares = {}
    for name, lock in (("free", []), ("held", ["--lock", "hand_*=0.1"])):
        out = tmp_path / f"{name}.srdf"
        run = run_talvex("srdf", urdf, "--samples", 60, "--within-margin", *lock, "--out", out)
        assert run.returncode == 0, run.stderr
        lines = run.stdout.splitlines()
        last = next(i for i, line in enumerate(lines) if line.startswith("Still colliding"))
        shares[name] = float(lines[last].split(": ")[1].split("%")[0])
        written = next(line for line in lines if "(written)" in line)
        count = int(re.search(r"(\d+) of 60 ", written)[1])
        assert shares[name] == pytest.approx(100 * count / 60, abs=0.05)
        responsible = [line.split("  ")[1].split(" / ") for line in lines[last + 2:]
                       if line.startswith("  ")]
        if name == "free":
            assert shares[name] > 50 and responsible
            assert all(a.startswith("hand_") or b.startswith("hand_") for a, b in responsible[:4])
        else:
            assert "held: hand_*=0.1" in out.read_text()
    assert shares["held"] < shares["free"] - 20


@pytest.mark.parametrize("command, extra", [
    ("inspect", ["--samples", 10]),
    ("label", ["--count", 10, "--threads", 1, "--out", "OUT"]),
])
def test_a_margin_larger_than_the_robot_is_a_warning(tmp_path, command, extra):
    extra = [tmp_path / "out" if a == "OUT" else a for a in extra]
    run = run_talvex(command, DATA / "coll_tree.urdf", "--margin", 100, *extra)
    assert run.returncode == 0, run.stderr
    warnings = [line for line in run.stderr.splitlines() if "warning" in line]
    assert len(warnings) == 1 and warnings[0].startswith(
        f"talvex {command}: warning: --margin 100 m is larger than coll_tree itself"), run.stderr
