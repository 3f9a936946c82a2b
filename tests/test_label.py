"""`talvex label`, run as installed (the console script) in a child process with
warnings as errors. Labels are checked against direct calls on a RobotModel
of the test's own, file hashes against hashlib, arrays against pyarrow's lists."""

import contextlib
import glob
import hashlib
import json
import math
import os
import pathlib
import shlex
import shutil
import signal
import subprocess
import sys
import time
import uuid

import numpy as np
import psutil
import pytest

from conftest import DATA, ERD_SHARE, TALVEX, build, run_talvex

pq = pytest.importorskip("pyarrow.parquet")
pytest.importorskip("distributed")

from talvex_tools import read_labels  # noqa: E402
from talvex_tools.labels import read_metadata  # noqa: E402

needs_erd = pytest.mark.skipif(ERD_SHARE is None, reason="example-robot-data is not installed")
ROBOTS = (ERD_SHARE or pathlib.Path()) / "example-robot-data/robots"
PANDA_DIR = ROBOTS / "panda_description"
PANDA = [PANDA_DIR / "urdf/panda.urdf", "--srdf", PANDA_DIR / "srdf/panda.srdf",
         "--package-dir", ERD_SHARE]
PREFIX = "talvex label: error: "


def talvex(*args, env=None):
    return run_talvex("label", *args, env=env)


def started(*args, env=None, **kwargs):
    """talvex label in the background, with warnings as errors."""
    env = dict(os.environ if env is None else env, PYTHONWARNINGS="error")
    # SIGINT at its default in the child even when this run ignores it (a background job).
    return subprocess.Popen([str(TALVEX), "label", *map(str, args)], env=env, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
                            **kwargs)


def panda():
    return build(str(PANDA[0]), str(PANDA[2]), package_dir=str(ERD_SHARE))


def marked_env(tmp_path):
    """An environment whose processes can be found again, with a scratch TMPDIR."""
    marker = uuid.uuid4().hex
    scratch = tmp_path / "tmp"
    scratch.mkdir(exist_ok=True)
    return dict(os.environ, TALVEX_TEST_RUN=marker, TMPDIR=str(scratch)), marker, scratch


def processes_marked(marker):
    found = []
    for proc in psutil.process_iter():
        try:
            if proc.environ().get("TALVEX_TEST_RUN") == marker:
                found.append(proc)
        except (psutil.NoSuchProcess, psutil.AccessDenied, psutil.ZombieProcess):
            pass
    return found


def wait_gone(marker, seconds=10):
    end = time.monotonic() + seconds
    while processes_marked(marker) and time.monotonic() < end:
        time.sleep(0.1)
    return processes_marked(marker)


@needs_erd
def test_same_table_on_every_engine_matching_direct_calls(tmp_path):
    env, marker, scratch = marked_env(tmp_path)
    frames = ["panda_hand", "panda_link4"]
    tables = []
    # 130 configurations in chunks of 50: two full chunks and a short one.
    for engine in (["--threads", 1], ["--threads", 2], ["--local-cluster", 2]):
        out = tmp_path / f"{engine[0].strip('-')}-{engine[1]}"
        run = talvex(*PANDA, "--count", 130, "--chunk-size", 50, "--seed", 7,
                     "--frame", *frames, "--out", out, *engine, env=env)
        assert run.returncode == 0, run.stderr
        assert "Warning" not in run.stderr and "Traceback" not in run.stderr, run.stderr
        assert sorted(p.name for p in out.iterdir()) == [f"part-00000{k}.parquet" for k in range(3)]
        tables.append(pq.read_table(out))
    # The cluster's scheduler and workers ended with the command, their scratch space too.
    assert wait_gone(marker) == []
    assert list(scratch.iterdir()) == []
    assert sorted(p.name for p in tmp_path.iterdir()) == ["local-cluster-2", "threads-1",
                                                          "threads-2", "tmp"]
    for table in tables[1:]:
        assert table.equals(tables[0], check_metadata=True)

    robot = panda()
    table = tables[0]
    qs = np.array(table["q"].to_pylist())
    assert qs.shape == (130, 9) and len(np.unique(qs, axis=0)) == 130
    assert all(robot.in_joint_limits(q) for q in qs)
    hits = table["self_collision"].to_pylist()
    assert hits == [robot.has_self_collision(q) for q in qs]
    assert any(hits) and not all(hits)
    poses = {f: np.array(table[f"pose_{f}"].to_pylist()).reshape(-1, 4, 4) for f in frames}
    for frame in frames:
        np.testing.assert_array_equal(poses[frame],
                                      [robot.forward_kinematics(q, frame) for q in qs])
    # A chunk's file holds its own rows: the middle one, rows 50 to 99.
    assert pq.read_table(tmp_path / "threads-1/part-000001.parquet").equals(table.slice(50, 50))
    # The summary line counts what the table holds.
    assert f"130 configurations, {100 * sum(hits) / 130:.2f} % colliding" in run.stdout

    # The reader gives the same values as pyarrow's lists, in NumPy shapes.
    arrays = read_labels(tmp_path / "threads-2")
    assert sorted(arrays) == ["pose_panda_hand", "pose_panda_link4", "q", "self_collision"]
    np.testing.assert_array_equal(arrays["q"], qs)
    np.testing.assert_array_equal(arrays["self_collision"], hits)
    for frame in frames:
        np.testing.assert_array_equal(arrays[f"pose_{frame}"], poses[frame])
    only = read_labels(tmp_path / "threads-2", columns=["self_collision"])
    assert list(only) == ["self_collision"] and only["self_collision"].dtype == bool

    meta = read_metadata(tmp_path / "threads-1")
    assert (meta["robot"], meta["nq"], meta["seed"], meta["count"], meta["chunk_size"],
            meta["collision_margin"], meta["frames"]) == ("panda", 9, 7, 130, 50, 0.005, frames)
    assert [j["name"] for j in meta["joints"]] == robot.joint_names()
    lower = [c["lower"] for c in meta["q_layout"]]
    upper = [c["upper"] for c in meta["q_layout"]]
    np.testing.assert_array_equal(lower, robot.lower_position_limits())
    np.testing.assert_array_equal(upper, robot.upper_position_limits())
    assert {c["unit"] for c in meta["q_layout"]} == {"rad", "m"} and meta["cos_sin_pairs"] == []
    # Every file the build read, hashed here independently: URDF, SRDF and each
    # collision mesh, none of the visual ones.
    files = {f["path"]: f["sha256"] for f in meta["files"]}
    assert files == {p: hashlib.sha256(pathlib.Path(p).read_bytes()).hexdigest() for p in files}
    roles = [f["role"] for f in meta["files"]]
    assert roles[:2] == ["urdf", "srdf"] and pathlib.Path(meta["files"][0]["path"]) == PANDA[0]
    meshes = [pathlib.Path(f["path"]) for f in meta["files"] if f["role"] == "mesh"]
    assert len(meshes) == 9 and all(p.parent.name == "collision" for p in meshes)


def test_q_layout_and_locks_for_every_joint_kind(tmp_path):
    # One joint of each kind: revolute, continuous, planar, floating, prismatic.
    out = tmp_path / "out"
    run = talvex(DATA / "cspace.urdf", "--count", 400, "--out", out, "--threads", 1,
                 "--lock", "pris=0.1")
    assert run.returncode == 0, run.stderr
    qs = read_labels(out)["q"]
    robot = build("cspace.urdf")
    assert qs.shape == (400, robot.nq()) and all(robot.in_joint_limits(q) for q in qs)
    rotations = {"cont": qs[:, 1:3], "plane": qs[:, 5:7], "float": qs[:, 10:14]}
    for name, part in rotations.items():
        np.testing.assert_allclose(np.linalg.norm(part, axis=1), 1.0, rtol=0, atol=1e-12)
    angles = np.arctan2(qs[:, 2], qs[:, 1])
    # Uniform draws fill their ranges: revolute [0, 1.5] and a turn.
    for values, lo, hi in [(qs[:, 0], 0, 1.5), (angles, -math.pi, math.pi)]:
        width = hi - lo
        assert lo < values.min() < lo + 0.05 * width and hi - 0.05 * width < values.max() < hi
        assert abs(values.mean() - (lo + hi) / 2) < 0.1 * width
    assert (qs[:, 14] == 0.1).all()

    meta = read_metadata(out)
    # Pinocchio's layout of the URDF's joints, written out by hand.
    assert [(c["joint"], c["coordinate"]) for c in meta["q_layout"]] == [
        ("rev", "angle"), ("cont", "cos"), ("cont", "sin"), ("plane", "x"), ("plane", "y"),
        ("plane", "cos"), ("plane", "sin"), ("float", "x"), ("float", "y"), ("float", "z"),
        ("float", "qx"), ("float", "qy"), ("float", "qz"), ("float", "qw"), ("pris", "position")]
    assert meta["cos_sin_pairs"] == [[1, 2], [5, 6]]
    # How each coordinate was drawn: a rotation's on its set, the rest in an interval.
    drawn = [c["drawn_within"] for c in meta["q_layout"]]
    assert drawn[1:3] == drawn[5:7] == ["unit circle"] * 2
    assert drawn[10:14] == ["unit quaternion"] * 4
    assert drawn[0] == [0.0, 1.5] and drawn[3] == [-1.0, 1.0]
    assert meta["locks"] == {"14": 0.1} and meta["q_layout"][14]["locked"] == 0.1
    # No JSON infinity: an unbounded coordinate has no bound.
    assert meta["q_layout"][3]["lower"] is None and meta["q_layout"][0]["lower"] == 0.0


def copy_panda(root):
    """The Panda's URDF, SRDF and meshes under root, laid out as in example-robot-data."""
    target = root / "share/example-robot-data/robots/panda_description"
    shutil.copytree(PANDA_DIR / "urdf", target / "urdf")
    shutil.copytree(PANDA_DIR / "srdf", target / "srdf")
    shutil.copytree(PANDA_DIR / "meshes/collision", target / "meshes/collision")
    return target / "urdf/panda.urdf", target / "srdf/panda.srdf", root / "share"


def can_hide_folders():
    try:
        return subprocess.run(["unshare", "-rm", "true"], capture_output=True).returncode == 0
    except OSError:
        return False


class Scheduler:
    """A Dask scheduler, and workers that may see the file system through a mount
    namespace with a folder hidden under an empty tmpfs."""

    def __init__(self, tmp_path, env):
        self.tmp_path, self.env = tmp_path, env
        self.file = tmp_path / "scheduler.json"
        self.procs = [subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_scheduler", "--scheduler-file",
             self.file, "--host", "127.0.0.1", "--port", "0", "--no-dashboard"],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
        end = time.monotonic() + 60
        while not self.file.exists() and time.monotonic() < end:
            time.sleep(0.1)
        self.address = json.loads(self.file.read_text())["address"]

    def worker(self, hidden=None):
        command = [sys.executable, "-m", "distributed.cli.dask_worker", "--scheduler-file",
                   str(self.file), "--nthreads", "1", "--no-dashboard"]
        if hidden is not None:
            command = ["unshare", "-rm", "sh", "-c",
                       f'mount -t tmpfs none "{hidden}" && exec "$@"', "sh", *command]
        self.procs.append(subprocess.Popen(command, env=self.env, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL))

    def run_on_workers(self, code):
        """code's value on every worker, through a client of its own."""
        return subprocess.run(
            [sys.executable, "-c", "import sys, distributed\n"
             f"c = distributed.Client('{self.address}', timeout=30)\n"
             "c.wait_for_workers(1, timeout=60)\n"
             f"print(list(c.run(lambda: {code}).values()))\nc.close()"],
            capture_output=True, text=True, timeout=120, env=self.env).stdout.strip()

    def close(self):
        for proc in reversed(self.procs):
            proc.terminate()
        for proc in self.procs:
            proc.wait(timeout=30)


@pytest.fixture
def scheduler(tmp_path):
    env, marker, _ = marked_env(tmp_path)
    cluster = Scheduler(tmp_path, env)
    yield cluster
    cluster.close()
    assert wait_gone(marker) == []


@needs_erd
@pytest.mark.skipif(not can_hide_folders(), reason="no mount namespace (unshare -rm) here")
@pytest.mark.parametrize("absolute_mesh", [False, True], ids=["package", "absolute-mesh"])
def test_worker_that_cannot_see_the_robot_folder(tmp_path, scheduler, absolute_mesh):
    urdf, srdf, share = copy_panda(tmp_path / "robot")
    if absolute_mesh:
        # A URI the package folder does not supply: the worker must find it itself.
        mesh = "example-robot-data/robots/panda_description/meshes/collision/link0.stl"
        urdf.write_text(urdf.read_text().replace(f"package://{mesh}", f"file://{share}/{mesh}"))
    scheduler.worker(hidden=tmp_path / "robot")
    # The worker sees an empty folder where the robot is.
    assert scheduler.run_on_workers(f"__import__('os').listdir('{tmp_path / 'robot'}')") == "[[]]"
    args = [urdf, "--srdf", srdf, "--package-dir", share, "--count", 130, "--chunk-size", 50,
            "--seed", 3, "--frame", "panda_hand"]
    there = talvex(*args, "--out", tmp_path / "cluster", "--cluster", scheduler.address)
    if absolute_mesh:
        # The chunk fails on the worker, after the estimate (the first progress line).
        estimate, error = there.stderr.splitlines()
        assert there.returncode == 2 and estimate.startswith("talvex label: about "), there.stderr
        assert error.startswith(PREFIX) and "is missing where the build reads it" in error, \
            there.stderr
        assert not (tmp_path / "cluster").exists()
        assert not list(tmp_path.glob(".cluster*"))
        return
    here = talvex(*args, "--out", tmp_path / "threads", "--threads", 1)
    assert there.returncode == 0 and here.returncode == 0, there.stderr + here.stderr
    table = pq.read_table(tmp_path / "cluster")
    assert table.equals(pq.read_table(tmp_path / "threads"), check_metadata=True)
    # Built with the SRDF: some configurations are free (without it, all collide).
    assert 0 < sum(table["self_collision"].to_pylist()) < 130


@needs_erd
def test_stalled_run_fails_and_is_kept_for_resume(tmp_path, scheduler):
    out = tmp_path / "out"
    args = [*PANDA, "--count", 100, "--chunk-size", 10, "--seed", 1]
    # No worker: nothing ever finishes.
    run = talvex(*args, "--out", out, "--cluster", scheduler.address, "--stall-timeout", 3)
    assert run.returncode == 2, run.stderr
    estimate, waiting, error = run.stderr.splitlines()
    assert estimate.startswith("talvex label: about ") and "0 worker threads at once" in estimate
    assert waiting.startswith("talvex label: no chunk finished for") and "(0 connected)" in waiting
    assert error.startswith(PREFIX) and "--resume continues the run" in error
    assert (tmp_path / ".out.partial").is_dir() and not out.exists()
    # Reported, never reused silently; then continued once a worker is there.
    again = talvex(*args, "--out", out, "--threads", 1)
    assert again.returncode == 2 and "continue it with --resume" in again.stderr
    scheduler.worker()
    resumed = talvex(*args, "--out", out, "--cluster", scheduler.address, "--resume")
    assert resumed.returncode == 0, resumed.stderr
    fresh = talvex(*args, "--out", tmp_path / "fresh", "--threads", 2)
    assert fresh.returncode == 0, fresh.stderr
    assert pq.read_table(out).equals(pq.read_table(tmp_path / "fresh"), check_metadata=True)
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".")) == []


@needs_erd
def test_killed_run_resumes_and_lost_worker_is_replaced(tmp_path):
    env, marker, scratch = marked_env(tmp_path)
    out = tmp_path / "out"
    args = [*PANDA, "--count", 60_000, "--chunk-size", 1_000, "--frame", "panda_hand"]
    partial = tmp_path / ".out.partial"

    def when_chunks_written(proc, count):
        end = time.monotonic() + 120
        while len(glob.glob(f"{partial}/part-*")) < count and time.monotonic() < end:
            assert proc.poll() is None
            time.sleep(0.02)

    # kill -9 after a few chunks: the partial folder stays, with whole files only.
    proc = started(*args, "--out", out, "--threads", 2, env=env)
    when_chunks_written(proc, 3)
    proc.kill()
    proc.wait()
    done = len(glob.glob(f"{partial}/part-*"))
    assert 3 <= done < 60 and not out.exists()
    other = talvex(*args, "--out", out, "--seed", 5, "--resume")
    assert other.returncode == 2 and "made with other seed" in other.stderr, other.stderr

    # Resumed on a local cluster, one of whose workers is killed in mid-run.
    proc = started(*args, "--out", out, "--local-cluster", 2, "--resume", env=env,
                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    when_chunks_written(proc, done + 2)
    workers = [p for p in psutil.Process(proc.pid).children(recursive=True)
               if "multiprocessing" in " ".join(p.cmdline())]
    assert workers
    workers[0].kill()
    stdout, stderr = proc.communicate(timeout=300)
    assert proc.returncode == 0, stderr
    assert "60,000 configurations" in stdout

    fresh = talvex(*args, "--out", tmp_path / "fresh", "--threads", 2)
    assert fresh.returncode == 0
    assert pq.read_table(out).equals(pq.read_table(tmp_path / "fresh"), check_metadata=True)
    # kill -9 gives the client no chance to remove its copy of the robot; nothing else stays.
    assert wait_gone(marker) == [] and not partial.exists()
    assert [p.name.startswith("talvex-robot-") for p in scratch.iterdir()] == [True]


@needs_erd
@pytest.mark.parametrize("engine, presses", [(["--threads", 2], "once"),
                                             (["--local-cluster", 2], "once"),
                                             (["--threads", 2], "repeatedly")],
                         ids=["threads", "local-cluster", "threads-pressed-repeatedly"])
def test_ctrl_c_is_one_line_and_leaves_nothing(tmp_path, engine, presses):
    import fcntl
    import pty
    import select
    import struct
    import termios

    env, marker, scratch = marked_env(tmp_path)
    talos = ROBOTS / "talos_data"
    # On a terminal, so that the progress bar is drawn, as a person sees it.
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 120, 0, 0))
    proc = started(talos / "robots/talos_reduced.urdf", "--srdf", talos / "srdf/talos.srdf",
                   "--package-dir", ERD_SHARE, "--count", 2_000_000, "--chunk-size", 1_000,
                   "--out", tmp_path / "out", *engine, env=env, stdin=slave, stdout=slave,
                   stderr=slave, start_new_session=True)
    os.close(slave)
    seen = b""  # the run lasts about a minute at 50 µs a configuration: long after the signal

    def read(until):
        nonlocal seen
        while time.monotonic() < until:
            if select.select([master], [], [], 0.1)[0]:
                try:
                    seen += os.read(master, 65536)
                except OSError:  # the child closed its end
                    return

    end = time.monotonic() + 120
    while b"configurations/s" not in seen and time.monotonic() < end:
        read(time.monotonic() + 0.2)
    assert proc.poll() is None
    os.killpg(proc.pid, signal.SIGINT)  # what Ctrl-C does: the whole foreground group
    # Pressed again and again while the run cleans up (`timeout -s INT` also signals twice).
    for _ in range(400 if presses == "repeatedly" else 0):
        time.sleep(0.005)
        if proc.poll() is not None:
            break
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGINT)
    try:
        proc.wait(timeout=60)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
    read(time.monotonic() + 1)
    os.close(master)
    assert proc.returncode == 130
    # After the bar (left as it was), one line and nothing redrawn after it.
    last = seen.replace(b"\r\n", b"\n").rstrip(b"\n").rsplit(b"\n", 1)[-1]
    assert last.startswith(b"talvex label: interrupted; ") and last.endswith(b" --resume"), \
        seen[-500:]
    assert b"Traceback" not in seen and seen.count(b"interrupted") == 1
    assert wait_gone(marker) == [] and list(scratch.iterdir()) == []
    # The chunks written stay for --resume, and nothing else.
    assert sorted(p.name for p in tmp_path.iterdir()) == [".out.partial", "tmp"]


BROKEN = '<robot name="r"><link name="a"/><joint name="j" type="revolute"/></robot>'


@needs_erd
@pytest.mark.parametrize(
    "args, message",
    [
        (["MISSING", "--count", 5], "not found"),
        (["BROKEN", "--count", 5], "cannot load"),
        ([*PANDA, "--count", 0], "--count"),
        ([*PANDA, "--count", 5, "--margin", -0.01], "--margin"),
        ([*PANDA, "--count", 5, "--frame", "nope"], "--frame nope"),
        ([*PANDA, "--count", 5, "--frame", "hand_panda"], "did you mean panda_hand"),
        ([*PANDA, "--count", 5, "--lock", "panda_joint_finger1=0"],
         "did you mean panda_finger_joint1"),
        ([*PANDA, "--count", 5, "--lock", "nope=1"], "nope"),
        ([*PANDA, "--count", 5, "--cluster", "tcp://127.0.0.1:9"], "connection refused"),
        ([*PANDA, "--count", 5, "--connect-timeout", -1], "--connect-timeout"),
        ([*PANDA, "--count", 5, "--stall-timeout", "nan"], "--stall-timeout"),
        ([*PANDA, "--count", 5, "--out", "FULL"], "FULL"),
        ([*PANDA, "--count", 5, "--out", "NOPARENT"], "PARENT"),
        ([*PANDA, "--count", 5, "--resume"], "no partial run"),
        ([*PANDA, "--count", 10**11, "--chunk-size", 10**11, "--threads", 1, "--ignore-space"],
         "out of memory"),
        ([*PANDA, "--count", 10**11, "--chunk-size", 10**11, "--local-cluster", 1,
          "--ignore-space"], "out of memory"),
    ],
    ids=["missing", "broken", "count", "margin", "frame", "frame-near", "lock-near", "lock",
         "refused", "connect-timeout",
         "stall-timeout", "out-full", "out-parent", "resume", "memory-threads", "memory-cluster"],
)
def test_bad_input_is_one_line_and_leaves_no_output(tmp_path, args, message):
    (tmp_path / "broken.urdf").write_text(BROKEN)
    (tmp_path / "full").mkdir()
    (tmp_path / "full" / "keep").write_text("")
    subs = {"MISSING": tmp_path / "missing.urdf", "BROKEN": tmp_path / "broken.urdf",
            "FULL": tmp_path / "full", "NOPARENT": tmp_path / "no" / "out",
            "PARENT": tmp_path / "no"}
    message = str(subs.get(message, message))
    args = [subs.get(a, a) for a in args]
    if "--out" not in args:
        args += ["--out", tmp_path / "out"]
    start = time.monotonic()
    run = talvex(*args)
    assert run.returncode == 2
    # A chunk that fails does so after the estimate, the first progress line.
    lines = [line for line in run.stderr.splitlines()
             if not ("memory" in message and line.startswith("talvex label: about "))]
    assert len(lines) == 1 and message in lines[0], run.stderr
    assert lines[0].startswith(PREFIX) and run.stdout == ""
    assert sorted(p.name for p in tmp_path.iterdir()) == ["broken.urdf", "full"]
    assert [p.name for p in (tmp_path / "full").iterdir()] == ["keep"]
    # A refused connection is told at once, not after --connect-timeout's 10 s.
    assert "refused" not in message or time.monotonic() - start < 8


TALOS = ROBOTS / "talos_data"
TALOS_ARGS = [TALOS / "robots/talos_reduced.urdf", "--srdf", TALOS / "srdf/talos.srdf",
              "--package-dir", ERD_SHARE]


@needs_erd
@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)],
                         ids=["ctrl-c", "sigterm"])
def test_stopped_run_keeps_its_chunks_and_resumes_to_the_fresh_table(tmp_path, signum, status):
    env, marker, scratch = marked_env(tmp_path)
    out, partial = tmp_path / "out", tmp_path / ".out.partial"
    args = [*TALOS_ARGS, "--count", 60_000, "--chunk-size", 1_000, "--frame", "gripper_left_base_link"]
    proc = started(*args, "--out", out, "--threads", 2, env=env, stdout=subprocess.PIPE,
                   stderr=subprocess.PIPE)
    end = time.monotonic() + 120
    while len(glob.glob(f"{partial}/part-*")) < 3 and time.monotonic() < end:
        assert proc.poll() is None
        time.sleep(0.02)
    proc.send_signal(signum)
    stdout, stderr = proc.communicate(timeout=60)
    assert proc.returncode == status, stderr
    line = stderr.splitlines()[-1]
    assert line.startswith("talvex label: interrupted") and "Traceback" not in stderr, stderr
    kept = len(glob.glob(f"{partial}/part-*"))
    assert 3 <= kept < 60 and f"{kept} of 60 chunks kept in {partial}" in line, line
    # The line's own command continues the run.
    command = shlex.split(line.split("continue with: ", 1)[1])
    assert command[:2] == ["talvex", "label"] and command[-1] == "--resume"
    resumed = run_talvex(*command[1:], env=env)
    assert resumed.returncode == 0, resumed.stderr
    assert (f"60,000 configurations ({60_000 - 1000 * kept:,} labelled now, {1000 * kept:,} kept "
            "from before)") in resumed.stdout
    assert f"resuming: {kept} of 60 chunks kept from before" in resumed.stderr
    assert f"chunk {60 - kept}/{60 - kept}, {60_000 - 1000 * kept:,} configurations" in \
        resumed.stderr
    fresh = talvex(*args, "--out", tmp_path / "fresh", "--threads", 1)
    assert fresh.returncode == 0, fresh.stderr
    assert pq.read_table(out).equals(pq.read_table(tmp_path / "fresh"), check_metadata=True)
    assert not partial.exists() and wait_gone(marker) == []


@needs_erd
def test_a_huge_count_starts_at_once_in_little_memory(tmp_path):
    out, partial = tmp_path / "out", tmp_path / ".out.partial"
    proc = started(*PANDA, "--count", 10**12, "--threads", 1, "--ignore-space", "--out", out,
                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        end = time.monotonic() + 20
        while not glob.glob(f"{partial}/part-*") and time.monotonic() < end:
            assert proc.poll() is None
            time.sleep(0.05)
        assert glob.glob(f"{partial}/part-*"), "no chunk in 20 s"
        assert psutil.Process(proc.pid).memory_info().rss < 500e6
    finally:
        proc.send_signal(signal.SIGTERM)
        _, stderr = proc.communicate(timeout=60)
    assert proc.returncode == 143, stderr
    assert stderr.splitlines()[0].startswith("talvex label: about 73.")  # TB: the estimate


@needs_erd
@pytest.mark.parametrize("free, refused", [(10**6, True), (10**12, False)], ids=["full", "room"])
def test_a_table_the_disk_cannot_hold_is_refused_before_work(tmp_path, monkeypatch, capsys,
                                                             free, refused):
    from talvex_tools import cli

    # What the file system of --out has free.
    monkeypatch.setattr(shutil, "disk_usage", lambda path: shutil._ntuple_diskusage(
        2 * free, free, free))
    status = cli.main(["label", *map(str, PANDA), "--count", "20000", "--frame", "panda_hand",
                       "--threads", "1", "--out", str(tmp_path / "out")])
    err = capsys.readouterr().err
    if refused:
        assert status == 2 and len(err.splitlines()) == 1, err
        assert err.startswith(PREFIX) and "needs about 3.5 MB" in err and "--ignore-space" in err
        assert list(tmp_path.iterdir()) == []
    else:
        assert status == 0, err
        assert err.startswith("talvex label: about 3.5 MB and ")
