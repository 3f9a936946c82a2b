"""The talvex command as installed: the root, what every subcommand shares (one-line
failures with exit status 2 before any work, Ctrl-C, missing dependencies, --out),
and talvex inspect. The installed console script runs in a child process; the
subcommands' own answers are checked in their own test files."""

import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from conftest import DATA, ERD_SHARE, TALVEX, run_talvex

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
    # The printed pose of the last frame is Pinocchio's, to the printed digits.
    urdf = ROBOTS / "panda_description/urdf/panda.urdf"
    model = pin.buildModelFromUrdf(str(urdf), mimic=False)
    data = model.createData()
    pin.framesForwardKinematics(model, data, pin.neutral(model))
    last = model.frames[len(model.frames) - 1].name
    lines = out.splitlines()
    at = next(i for i, line in enumerate(lines) if f"'{last}'" in line)
    printed = np.array([[float(v) for v in lines[at + 1 + r].split()] for r in range(4)])
    np.testing.assert_allclose(printed, data.oMf[len(model.frames) - 1].homogeneous, atol=6e-5)


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


def test_a_missing_dependency_is_one_line_before_any_work(tmp_path):
    # pyarrow blocked in the process: import fails as when it is not installed.
    code = ("import sys; sys.modules['pyarrow'] = None; from talvex_tools.cli import main; "
            "sys.exit(main(sys.argv[1:]))")
    out = tmp_path / "labels"
    run = subprocess.run([sys.executable, "-c", code, "label", "MISSING.urdf", "--count", "5",
                          "--out", out], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout) == (2, "")
    assert run.stderr == "talvex label: error: label needs pyarrow: pip install 'talvex[tools]'\n"
    # --help needs none of them.
    run = subprocess.run([sys.executable, "-c", code, "label", "--help"], capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 0 and "--count" in run.stdout, run.stderr


@needs_erd
@pytest.mark.parametrize("command", [
    ["inspect", "--samples", 3_000_000],
    ["srdf", "ROBOT", "--samples", 1_000_000, "--out", "OUT.srdf"],
    ["cspace", "ROBOT", "--joints", "shoulder_lift_joint", "elbow_joint", "--resolution", 2000,
     "--threads", 2, "--out", "OUT.png"],
    ["label", "ROBOT", "--count", 10_000_000, "--threads", 2, "--out", "OUT"],
], ids=lambda c: c[0])
def test_ctrl_c_is_one_line_exit_130_and_leaves_nothing(tmp_path, command):
    robot = ROBOTS / "ur_description/urdf/ur10_robot.urdf"
    args = [str(robot) if a == "ROBOT" else str(tmp_path / a) if str(a).startswith("OUT")
            else str(a) for a in command]
    # SIGINT at its default in the child even when this run ignores it (a background job).
    proc = subprocess.Popen([str(TALVEX), *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, cwd=tmp_path,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    # Interrupted while working, once the start-up is behind it.
    time.sleep(4)
    assert proc.poll() is None, proc.communicate()
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 130, err
    assert err.splitlines()[-1] == f"talvex {command[0]}: interrupted"
    assert "Traceback" not in err and len(err.splitlines()) <= 2, err
    assert list(tmp_path.iterdir()) == []
