"""Type stubs: the committed talvex.pyi is what the generator makes of the built
module, it is installed where editors and mypy look, and mypy reads real
signatures from it. Packaging: the module runs on the C++ wheels it was built
against, its version and license live in the metadata, and the READMEs install
the build-only wheels at the versions it is built with."""
import importlib.metadata
import pathlib
import re
import subprocess
import sys
import tomllib

import pytest

import talvex
from conftest import data_path

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUB = ROOT / "talvex.pyi"
EXAMPLE = ROOT / "examples" / "typed_usage.py"
SITE = pathlib.Path(talvex.__file__).resolve().parent

# Each line marked "# E" must be refused by mypy; every other line accepted.
MISUSE = """\
import pathlib
import numpy as np
import talvex

robot = talvex.RobotModel()
robot.build_from_urdf(pathlib.Path("r.urdf"), "pkg")  # E
robot.build_from_urdf("r.urdf")  # E
robot.build_from_urdf("r.urdf", "pkg", None)  # E
robot.build_from_urdf("r.urdf", "pkg", collision_margin="0.01")  # E
robot.build_from_urdf("r.urdf", "pkg", collision_margin=np.float32(0.01))
robot.build_from_urdf("r.urdf", "pkg", srdf="r.srdf")  # E
robot.forward_kinematics(np.zeros(3))  # E
robot.has_self_collision(np.zeros(3), True)  # E
n: str = robot.nq()  # E
names: list[bytes] = robot.frame_names()  # E
poses: dict[str, str] = robot.all_frame_transforms([0.0])  # E
inside: str = robot.in_joint_limits((0.0,))  # E
shape: tuple[int, ...] = robot.forward_kinematics([0.0], "tip").shape
lower: float = robot.lower_position_limits()  # E
robot.not_an_entry()  # E
talvex.RobotModel(1)  # E
from talvex_tools import batch, motion
hits = batch.self_collisions(robot, np.zeros((2, 1)), threads=2)
batch.self_collisions(robot, np.zeros((2, 1)), 2)  # E
pairs: list[tuple[str, str]] = batch.link_pairs(robot)
kinds: list[int] = batch.link_pairs(robot)  # E
layout_type: str = batch.joint_layout(robot)[0]["type"]
layout_start: str = batch.joint_layout(robot)[0]["q_start"]  # E
free: bool = motion.edge_free(robot, [0.0], [1.0], step=0.1)
motion.edge_free(robot, [0.0], [1.0])  # E
"""


def run(args, cwd):
    return subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True,
                          timeout=300)


def test_committed_stub_is_what_the_generator_makes(tmp_path):
    pytest.importorskip("pybind11_stubgen")
    result = run(["-m", "pybind11_stubgen", "--exit-code", "-o", str(tmp_path), "talvex"],
                 cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    generated = (tmp_path / "talvex.pyi").read_text()
    assert generated == STUB.read_text(), (
        "talvex.pyi is stale: after installing the module, regenerate it from the "
        "repository root with `python -m pybind11_stubgen talvex -o .`")


@pytest.mark.parametrize("installed", ["talvex.pyi", "talvex-stubs/__init__.pyi"])
def test_stub_installed_beside_module(installed):
    path = SITE / installed
    assert path.is_file(), f"{path} was not installed"
    assert path.read_text() == STUB.read_text()


def test_mypy_checks_calls_against_installed_stubs(tmp_path):
    pytest.importorskip("mypy")
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    # Run outside the repository so that only the installed stubs can be found.
    result = run(["-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
                  "--python-executable", sys.executable,
                  "--cache-dir", str(tmp_path / "cache"), str(EXAMPLE), str(misuse)],
                 cwd=tmp_path)
    report = result.stdout + result.stderr
    assert "import-not-found" not in report and "import-untyped" not in report, report

    errors = re.findall(r"^(.*?):(\d+): error:", result.stdout, re.MULTILINE)
    assert not [e for e in errors if e[0].endswith("typed_usage.py")], report
    flagged = {int(line) for name, line in errors if name.endswith("misuse.py")}
    expected = {i for i, text in enumerate(MISUSE.splitlines(), 1) if text.endswith("# E")}
    assert flagged == expected, report


def test_typed_example_runs():
    result = run([str(EXAMPLE), data_path("pair.urdf"), data_path(".")], cwd=ROOT)
    assert result.returncode == 0, result.stderr
    # At q = 0, inside the bounds (-1, 1), the two spheres share their centre.
    assert "inside=True self_collision=True" in result.stdout
    assert "matches all_frame_transforms: True" in result.stdout


def test_runtime_pins_are_the_build_pins():
    config = tomllib.loads((ROOT / "pyproject.toml").read_text())

    def pins(requirements):
        return dict(r.replace(" ", "").split("==") for r in requirements if "==" in r)

    build = pins(config["build-system"]["requires"])
    native = [r for r in config["project"]["dependencies"] if r.startswith(("lib", "cmeel-"))]
    assert native and all("==" in r for r in native), native
    for name, version in pins(native).items():
        assert build.get(name) == version, f"{name}: built against {build.get(name)}"
        assert importlib.metadata.version(name) == version, name


def test_version_and_license_live_in_the_metadata():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    assert importlib.metadata.version("talvex") == project["version"]
    metadata = importlib.metadata.metadata("talvex")
    assert metadata["License-Expression"] == project["license"]
    shipped = importlib.metadata.distribution("talvex").read_text("licenses/LICENSE")
    assert shipped == (ROOT / "LICENSE").read_text()


@pytest.mark.parametrize("readme", ["README.md", "bench/README.md", "tools/sanitize.sh"])
def test_install_lines_pin_the_build_versions(readme):
    """The build-only wheels that the READMEs and the sanitizer pass install by hand, at the
    versions the module builds with."""
    requires = tomllib.loads((ROOT / "pyproject.toml").read_text())["build-system"]["requires"]
    pinned = dict(r.split("==") for r in requires if "==" in r)
    lines = [line for line in (ROOT / readme).read_text().splitlines() if "pip install" in line]
    named = re.findall(r"\b([a-z0-9-]+)==([\w.]+)", "\n".join(lines))
    checked = [(name, version) for name, version in named if name in pinned]
    assert checked, readme
    for name, version in checked:
        assert version == pinned[name], f"{readme}: {name}=={version}, pyproject.toml pins {pinned[name]}"
