"""The data tool talvex label (talvex cspace: test_cspace.py).

Their answers are checked against direct calls on a RobotModel of the test's own;
the tools run as users run them, in a child interpreter with warnings as errors.
"""

import importlib.metadata
import json
import math
import os
import pathlib
import uuid

import numpy as np
import pytest

from conftest import DATA, ERD_SHARE, build, run_talvex

pq = pytest.importorskip("pyarrow.parquet")
psutil = pytest.importorskip("psutil")
pytest.importorskip("distributed")
pytest.importorskip("matplotlib")
pytest.importorskip("tqdm")

needs_erd = pytest.mark.skipif(ERD_SHARE is None, reason="example-robot-data is not installed")
PANDA_DIR = (ERD_SHARE or pathlib.Path()) / "example-robot-data/robots/panda_description"
PANDA = [PANDA_DIR / "urdf/panda.urdf", "--srdf", PANDA_DIR / "srdf/panda.srdf",
         "--package-dir", ERD_SHARE]


def tool(name, *args, env=None):
    return run_talvex(name, *args, env=env)


def panda():
    return build(str(PANDA[0]), str(PANDA[2]), package_dir=str(ERD_SHARE))


def processes_marked(marker):
    found = []
    for proc in psutil.process_iter():
        try:
            if proc.environ().get("TALVEX_TEST_RUN") == marker:
                found.append(proc)
        except (psutil.NoSuchProcess, psutil.AccessDenied, psutil.ZombieProcess):
            pass
    return found


@needs_erd
def test_labels_are_the_same_on_any_engine_and_match_direct_calls(tmp_path):
    marker = uuid.uuid4().hex
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    env = dict(os.environ, TALVEX_TEST_RUN=marker, TMPDIR=str(scratch))
    frames = ["panda_hand", "panda_link4"]
    tables = []
    # 130 configurations in chunks of 50: two full chunks and a short one.
    for engine in (["--threads", 1], ["--threads", 2], ["--local-cluster", 2]):
        out = tmp_path / engine[0].strip("-") / str(engine[1])
        out.parent.mkdir(exist_ok=True)
        run = tool("label", *PANDA, "--count", 130, "--chunk-size", 50,
                   "--seed", 7, "--frame", *frames, "--out", out, *engine, env=env)
        assert run.returncode == 0, run.stderr
        assert "Warning" not in run.stderr and "Traceback" not in run.stderr, run.stderr
        assert sorted(p.name for p in out.iterdir()) == [f"part-00000{k}.parquet" for k in range(3)]
        tables.append(pq.read_table(out))
    # The cluster's scheduler and workers ended with the tool, their scratch space too.
    assert processes_marked(marker) == []
    assert list(scratch.iterdir()) == []
    for table in tables[1:]:
        assert table.equals(tables[0], check_metadata=True)

    table = tables[0]
    meta = {k.decode(): v.decode() for k, v in table.schema.metadata.items()}
    assert meta["urdf"] == str(PANDA[0]) and meta["srdf"] == str(PANDA[2])
    assert (meta["seed"], float(meta["collision_margin"]), json.loads(meta["frames"])) == (
        "7", 0.005, frames)
    assert meta["talvex_version"] == importlib.metadata.version("talvex")

    robot = panda()
    qs = np.array(table["q"].to_pylist())
    assert qs.shape == (130, 9) and len(np.unique(qs, axis=0)) == 130
    assert all(robot.in_joint_limits(q) for q in qs)
    hits = table["self_collision"].to_pylist()
    assert hits == [robot.has_self_collision(q) for q in qs]
    assert any(hits) and not all(hits)
    for frame in frames:
        poses = np.array(table[f"pose_{frame}"].to_pylist()).reshape(-1, 4, 4)
        np.testing.assert_array_equal(poses, [robot.forward_kinematics(q, frame) for q in qs])
    # A chunk's file holds its own rows: the middle one, rows 50 to 99.
    middle = pq.read_table(tmp_path / "threads/1/part-000001.parquet")
    assert middle.equals(table.slice(50, 50))


def test_samples_cover_every_joint_kind(tmp_path):
    # One joint of each kind: revolute, continuous, planar, floating, prismatic.
    out = tmp_path / "out"
    run = tool("label", DATA / "cspace.urdf", "--count", 400, "--out", out,
               "--threads", 1)
    assert run.returncode == 0, run.stderr
    qs = np.array(pq.read_table(out)["q"].to_pylist())
    robot = build("cspace.urdf")
    assert all(robot.in_joint_limits(q) for q in qs)
    rotations = {"cont": qs[:, 1:3], "plane": qs[:, 5:7], "float": qs[:, 10:14]}
    for name, part in rotations.items():
        np.testing.assert_allclose(np.linalg.norm(part, axis=1), 1.0, rtol=0, atol=1e-12)
    angles = np.arctan2(qs[:, 2], qs[:, 1])
    # Uniform draws fill their ranges: revolute [0, 1.5], prismatic [-0.5, 0.25], a turn.
    for values, lo, hi in [(qs[:, 0], 0, 1.5), (qs[:, 14], -0.5, 0.25), (angles, -math.pi, math.pi)]:
        width = hi - lo
        assert lo < values.min() < lo + 0.05 * width and hi - 0.05 * width < values.max() < hi
        assert abs(values.mean() - (lo + hi) / 2) < 0.1 * width


BROKEN = '<robot name="r"><link name="a"/><joint name="j" type="revolute"/></robot>'


@needs_erd
@pytest.mark.parametrize(
    "name, args, message",
    [
        ("label", ["MISSING", "--count", 5], "URDF file not found"),
        ("label", ["BROKEN", "--count", 5], "cannot load"),
        ("label", [*PANDA[1:], "--count", 0], "--count: must be at least 1"),
        ("label", [*PANDA[1:], "--count", 5, "--frame", "nope"], "--frame nope"),
        ("label", [*PANDA[1:], "--count", 5, "--cluster", "tcp://127.0.0.1:9",
                                     "--connect-timeout", 1], "cannot reach the cluster"),
        ("label", [*PANDA[1:], "--count", 5, "--out", "FULL"], "is not empty"),
    ],
    ids=["missing", "broken", "count", "frame", "cluster", "out-full"],
)
def test_bad_input_is_one_line_and_leaves_no_output(tmp_path, name, args, message):
    (tmp_path / "broken.urdf").write_text(BROKEN)
    (tmp_path / "full").mkdir()
    (tmp_path / "full" / "keep").write_text("")
    subs = {"MISSING": tmp_path / "missing.urdf", "BROKEN": tmp_path / "broken.urdf",
            "FULL": tmp_path / "full"}
    urdf = [] if args[0] in subs else [PANDA[0]]
    args = urdf + [subs.get(a, a) for a in args]
    if "--out" not in args:
        args += ["--out", tmp_path / "out"]
    run = tool(name, *args)
    assert run.returncode == 2
    assert len(run.stderr.splitlines()) == 1 and message in run.stderr, run.stderr
    assert run.stderr.startswith(f"talvex {name}: error: ")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["broken.urdf", "full"]
    assert [p.name for p in (tmp_path / "full").iterdir()] == ["keep"]
