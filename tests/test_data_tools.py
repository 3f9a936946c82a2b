"""The data tools: talvex cspace (talvex label: test_label.py).

Their answers are checked against direct calls on a RobotModel of the test's own;
the tools run as users run them, in a child interpreter with warnings as errors.
"""

import pathlib

import numpy as np
import pytest

from conftest import ERD_SHARE, build, run_talvex

pq = pytest.importorskip("pyarrow.parquet")
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


BROKEN = '<robot name="r"><link name="a"/><joint name="j" type="revolute"/></robot>'


@needs_erd
@pytest.mark.parametrize(
    "name, args, message",
    [
        ("cspace", [*PANDA[1:], "--joints", "panda_joint2", "nope"], "no joint named"),
    ],
    ids=["joint"],
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
        args += ["--out", tmp_path / "out.png" if name == "cspace" else tmp_path / "out"]
    run = tool(name, *args)
    assert run.returncode == 2
    assert len(run.stderr.splitlines()) == 1 and message in run.stderr, run.stderr
    assert run.stderr.startswith(f"talvex {name}: error: ")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["broken.urdf", "full"]
    assert [p.name for p in (tmp_path / "full").iterdir()] == ["keep"]


@needs_erd
def test_cspace_slice_map_matches_direct_calls(tmp_path):
    from talvex_tools import cli
    from talvex_tools.commands import cspace

    out = tmp_path / "map.png"
    args = cli.command_parser("cspace", cspace).parse_args(
        [*map(str, PANDA), "--joints", "panda_joint2", "panda_joint4", "--resolution", "11",
         "--threads", "2", "--out", str(out)])
    grid = cspace.compute(cspace.check_args(args))
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    robot = panda()
    lo, hi = robot.lower_position_limits(), robot.upper_position_limits()
    # Every joint at zero but panda_joint4, whose range [-3.07, -0.07] excludes it:
    # held 1 % of its range inside its upper bound. The fingers' 0 is a bound too.
    base = np.zeros(9)
    base[3] = hi[3] - 0.01 * (hi[3] - lo[3])
    base[7:] = lo[7:] + 0.01 * (hi[7:] - lo[7:])
    expected = np.empty((11, 11), dtype=bool)
    for i in range(11):
        for j in range(11):
            q = base.copy()
            q[1] = lo[1] + (j + 0.5) * (hi[1] - lo[1]) / 11
            q[3] = lo[3] + (i + 0.5) * (hi[3] - lo[3]) / 11
            expected[i, j] = robot.has_self_collision(q)
    np.testing.assert_array_equal(grid, expected)
    assert expected.any() and not expected.all()
