"""talvex cspace: the self-collision map over two joints, run as installed.

Cells are read back from the .npz output and checked against coll_tree.urdf's
hand-computed geometry (test_collision.py) and against direct calls on talvex and
Pinocchio; the image, hints and refusals on the command itself (Ctrl-C: test_cli.py).
"""

import fcntl
import re
import time
import os
import pty
import struct
import subprocess
import termios

import numpy as np
import pytest

from conftest import DATA, ERD_SHARE, TALVEX, build, run_talvex
from test_collision import contacts, nearest_to_margin

pytest.importorskip("matplotlib")
pytest.importorskip("pinocchio")

from collision_reference import Reference  # noqa: E402  (needs pinocchio)

TREE = DATA / "coll_tree.urdf"
needs_erd = pytest.mark.skipif(ERD_SHARE is None, reason="example-robot-data is not installed")
PANDA_DIR = (ERD_SHARE or DATA) / "example-robot-data/robots/panda_description"
PANDA = [PANDA_DIR / "urdf/panda.urdf", "--srdf", PANDA_DIR / "srdf/panda.srdf",
         "--package-dir", ERD_SHARE]


def command(*args):
    return [str(TALVEX), "cspace", *map(str, args)]


def talvex_cspace(*args, env=None):
    return run_talvex("cspace", *args, env=env)


def cells(tmp_path, *args):
    out = tmp_path / "map.npz"
    run = talvex_cspace(*args, "--out", out)
    assert run.returncode == 0 and run.stderr == "", run.stderr
    assert run.stdout.startswith(f"{out}: ")
    return run.stdout, dict(np.load(out))


@pytest.mark.parametrize("margin, resolution", [(0.005, 23), (0.05, 17), (0.0, 30)])
def test_cells_and_their_pairs_follow_the_geometry(tmp_path, margin, resolution):
    _, found = cells(tmp_path, TREE, "--joints", "slide_x", "slide_z", "--margin", margin,
                     "--resolution", resolution, "--threads", 2)
    n = resolution
    np.testing.assert_allclose(found["x"], -0.5 + (np.arange(n) + 0.5) / n)
    np.testing.assert_allclose(found["y"], -1.0 + (np.arange(n) + 0.5) * 1.5 / n)
    names = [frozenset(p) for p in found["pairs"]]
    hit = {(i, j): contacts((x, y), margin) for i, y in enumerate(found["y"])
           for j, x in enumerate(found["x"]) if nearest_to_margin((x, y), margin) > 1e-9}
    blocked = {}
    for pairs in hit.values():
        for pair in pairs:
            blocked[pair] = blocked.get(pair, 0) + 1
    for (i, j), pairs in hit.items():
        assert found["collides"][i, j] is np.bool_(bool(pairs))
        if not pairs:
            assert found["pair"][i, j] == -1
            continue
        # The pair colliding in most cells of the map, of those colliding here.
        chosen = names[found["pair"][i, j]]
        assert chosen in pairs and blocked[chosen] == max(blocked[p] for p in pairs)
    assert 0.1 < found["collides"].mean() < 0.9 and len(blocked) >= 4


@needs_erd
def test_panda_map_matches_direct_calls(tmp_path):
    _, found = cells(tmp_path, *PANDA, "--joints", "panda_joint2", "panda_joint4",
                     "--resolution", 11, "--threads", 2)
    robot = build(str(PANDA[0]), str(PANDA[2]), package_dir=str(ERD_SHARE))
    lo, hi = robot.lower_position_limits(), robot.upper_position_limits()
    # Every joint at zero but panda_joint4, whose range [-3.07, -0.07] excludes it:
    # held 1 % of its range inside its upper bound. The fingers' 0 is a bound too.
    base = np.zeros(9)
    base[3] = hi[3] - 0.01 * (hi[3] - lo[3])
    base[7:] = lo[7:] + 0.01 * (hi[7:] - lo[7:])

    reference = Reference(PANDA[0], ERD_SHARE, PANDA[2], 0.005)
    for i in range(11):
        for j in range(11):
            q = base.copy()
            q[1] = lo[1] + (j + 0.5) * (hi[1] - lo[1]) / 11
            q[3] = lo[3] + (i + 0.5) * (hi[3] - lo[3]) / 11
            assert found["collides"][i, j] == robot.has_self_collision(q)
            pairs = reference.link_pairs_in_collision(q)
            k = found["pair"][i, j]
            assert (k == -1) == (not pairs) and (k == -1 or frozenset(found["pairs"][k]) in pairs)
    assert found["collides"].any() and not found["collides"].all()


@pytest.mark.parametrize("resolution", [7, 600])
def test_image_gives_every_cell_its_own_pixels(tmp_path, resolution):
    import matplotlib.image

    out = tmp_path / "map.png"
    run = talvex_cspace(TREE, "--joints", "slide_x", "slide_z", "--resolution", resolution,
                        "--out", out)
    assert run.returncode == 0, run.stderr
    height, width, _ = matplotlib.image.imread(out).shape
    assert f"image {width} x {height} px" in run.stdout
    # A few cells are drawn as large blocks; many get a pixel each at least.
    assert min(height, width) >= max(resolution, 480)
    assert [p.name for p in tmp_path.iterdir()] == ["map.png"]


@pytest.mark.parametrize("extra, collide, expected", [
    ([], True, ["note: 100.0% of the cells collide", "base / lifted collide in nearly every "
                "cell; the other joints between them: turn, lift",
                "try --base mid, --lock NAME=VALUE"]),
    (["--joints", "turn", "ax"], True, ["base / lifted collide in nearly every cell; the other "
                                        "joints between them: lift"]),
    (["--base", "mid"], False, ["note: no cell collides", "try other --joints, or --lock"]),
    (["--lock", "lift=0.6"], False, ["note: no cell collides",
                                     "try other --joints, --base mid, "]),
])
def test_a_map_of_one_colour_says_what_to_change(tmp_path, extra, collide, expected):
    # cspace_lift.urdf: "turn" and "lift" carry a sphere resting inside the base's.
    stdout, found = cells(tmp_path, DATA / "cspace_lift.urdf", "--joints", "ax", "by",
                          "--resolution", 9, *extra)
    for text in expected:
        assert text in stdout
    assert found["collides"].all() == collide and found["collides"].any() == collide


def test_progress_shows_on_a_terminal_only(tmp_path):
    args = [TREE, "--joints", "slide_x", "slide_z", "--resolution", 60]
    leader, follower = pty.openpty()
    # A terminal of 100 columns (a fresh pseudo-terminal has none, and tqdm draws nothing).
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 100, 0, 0))
    with subprocess.Popen(command(*args, "--out", tmp_path / "a.png"), stdout=subprocess.PIPE,
                          stderr=follower) as proc:
        os.close(follower)
        drawn = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:  # the child closed the terminal
                break
            if not chunk:
                break
            drawn += chunk
        assert proc.wait(timeout=120) == 0
    os.close(leader)
    assert b"rows:" in drawn and b"/60 [" in drawn
    plain = talvex_cspace(*args, "--out", tmp_path / "b.png")
    assert plain.returncode == 0 and plain.stderr == ""


BAD = [
    (["--out", "OUT/map"], "the extension must be .png or .npz, not none"),
    (["--out", "OUT/map.txt"], "the extension must be .png or .npz, not '.txt'"),
    (["--out", "OUT/full.png"], "exists (--force replaces it)"),
    (["--out", "OUT/missing/map.png"], "folder not found"),
    (["--joints", "slide_x", "slide_x"], "two different joints"),
    (["--joints", "slide_x", "z_slide"], "no joint of that name; did you mean slide_z or"),
    (["--lock", "slide_x=0.1"], "which the map sweeps"),
    (["--resolution", 2001], "at most 2000 cells per axis"),
    (["--margin", -0.01], "--margin"),
    (["--margin", "nan"], "--margin"),
    (["URDF", DATA / "cspace.urdf", "--joints", "rev", "plane"], "the map sweeps joints of one"),
    (["ENV", "hide-matplotlib"], "cspace needs matplotlib: pip install 'talvex[tools]'"),
]


@pytest.mark.parametrize("args, message", BAD, ids=[b[1][:28] for b in BAD])
def test_bad_input_is_one_line_before_work(tmp_path, args, message):
    (tmp_path / "full.png").write_text("keep")
    env, urdf = None, TREE
    if args[0] == "ENV":
        hidden = tmp_path / "hidden" / "matplotlib"
        hidden.mkdir(parents=True)
        (hidden / "__init__.py").write_text("raise ImportError('hidden by the test')\n")
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(
            [str(hidden.parent), *filter(None, [os.environ.get("PYTHONPATH")])]))
        args = []
    elif args[0] == "URDF":
        urdf, args = args[1], args[2:]
    args = [str(a).replace("OUT", str(tmp_path)) for a in args]
    if "--joints" not in args:
        args += ["--joints", "slide_x", "slide_z"]
    if "--out" not in args:
        args += ["--out", tmp_path / "map.png"]
    run = talvex_cspace(urdf, *args, env=env)
    assert run.returncode == 2 and run.stdout == ""
    assert run.stderr.count("\n") == 1 and run.stderr.startswith("talvex cspace: error: ")
    assert message in run.stderr, run.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["full.png"] + (["hidden"] if env else []))
    assert (tmp_path / "full.png").read_text() == "keep"


def test_the_time_given_is_the_whole_run(tmp_path, monkeypatch, capsys):
    # The pair pass made slow on purpose: the time printed and drawn must include it.
    from talvex_tools import batch, cli
    from talvex_tools.commands import cspace

    slow, titles = batch.pair_collisions, []

    def pair_collisions(*args, **kwargs):
        time.sleep(0.4)
        return slow(*args, **kwargs)

    def draw(path, title, *rest):
        titles.append(title)
        return 1, 1

    monkeypatch.setattr(batch, "pair_collisions", pair_collisions)
    monkeypatch.setattr(cspace, "draw", draw)
    assert cli.main(["cspace", str(TREE), "--joints", "slide_x", "slide_z", "--resolution", "9",
                     "--out", str(tmp_path / "map.png")]) == 0
    printed = float(re.search(r"collide, ([0-9.]+) s", capsys.readouterr().out)[1])
    drawn = float(re.search(r"collide; ([0-9.]+) s on", titles[0])[1])
    assert printed >= 0.4 and drawn >= 0.4
