"""The module surface: docstrings, signatures, entry order, import behaviour."""
import importlib
import os
import pathlib
import pickle
import shutil
import subprocess
import sys

import pytest

import talvex

ARRAY = 'typing.Annotated[numpy.typing.ArrayLike, numpy.float64, "[m, 1]"]'
MAT4 = 'typing.Annotated[numpy.typing.NDArray[numpy.float64], "[4, 4]"]'
VEC = 'typing.Annotated[numpy.typing.NDArray[numpy.float64], "[m, 1]"]'
SELF = "self: talvex.RobotModel"

# Index order, each with its whole expected __doc__.
ENTRIES = [
    ("__init__", f"__init__({SELF}) -> None\n"),
    ("build_from_urdf",
     f"build_from_urdf({SELF}, urdf_path: str, package_dir: str, srdf_path: str = '', "
     "collision_margin: typing.SupportsFloat | typing.SupportsIndex = 0.005) -> None\n\n"
     "Build kinematic and collision model from URDF/SRDF.\n"),
    ("forward_kinematics",
     f"forward_kinematics({SELF}, q_rad: {ARRAY}, frame_name: str) -> {MAT4}\n\n"
     "Compute FK at q_rad (radians). Returns 4x4 homogeneous matrix.\n"),
    ("all_frame_transforms",
     f"all_frame_transforms({SELF}, q_rad: {ARRAY}) -> dict[str, {MAT4}]\n\n"
     "Compute FK at q_rad (radians) and return {frame_name: 4x4 matrix} for every frame "
     "in the model. One Pinocchio update; many cached lookups.\n"),
    ("nq", f"nq({SELF}) -> int\n\nNumber of generalized coordinates (joints).\n"),
    ("ndof", f"ndof({SELF}) -> int\n\nDegrees of freedom (njoints - 1, excludes universe).\n"),
    ("joint_names",
     f"joint_names({SELF}) -> list[str]\n\nOrdered list of joint names (excludes 'universe').\n"),
    ("frame_names",
     f"frame_names({SELF}) -> list[str]\n\n"
     "List of all frame names in the model (excludes 'universe').\n"),
    ("lower_position_limits",
     f"lower_position_limits({SELF}) -> {VEC}\n\nLower joint position limits (radians).\n"),
    ("upper_position_limits",
     f"upper_position_limits({SELF}) -> {VEC}\n\nUpper joint position limits (radians).\n"),
    ("in_joint_limits",
     f"in_joint_limits({SELF}, q_rad: {ARRAY}) -> bool\n\n"
     "Return True when q_rad is strictly within joint limits.\n"),
    ("has_self_collision",
     f"has_self_collision({SELF}, q_rad: {ARRAY}) -> bool\n\n"
     "Return True when the robot is in self-collision at q_rad.\n"),
    ("neutral_configuration",
     f"neutral_configuration({SELF}) -> {VEC}\n\n"
     "Neutral joint configuration (zeros for revolute/prismatic joints).\n"),
    ("__repr__", f"__repr__({SELF}) -> str\n"),
]


def test_module_attributes():
    assert talvex.__doc__ == "C++ Pinocchio-backed robot model (FK, joint limits, collision)"
    own = {k for k in vars(talvex) if k not in
           {"__name__", "__loader__", "__package__", "__spec__", "__file__"}}
    assert own == {"__doc__", "RobotModel"}
    assert talvex.RobotModel.__doc__ is None
    assert talvex.RobotModel.__module__ == "talvex"
    assert repr(talvex.RobotModel) == "<class 'talvex.RobotModel'>"


def test_entries_in_index_order():
    names = [k for k in vars(talvex.RobotModel)
             if k not in {"__doc__", "__module__", "_pybind11_conduit_v1_"}]
    assert names == [name for name, _ in ENTRIES]


@pytest.mark.parametrize("name,doc", ENTRIES, ids=[n for n, _ in ENTRIES])
def test_entry_docstring(name, doc):
    assert getattr(talvex.RobotModel, name).__doc__ == doc


def test_entries_are_plain_methods():
    model = talvex.RobotModel()
    assert callable(model.lower_position_limits)
    assert type(model.lower_position_limits).__name__ == "method"
    for name, _ in ENTRIES:
        assert not isinstance(vars(talvex.RobotModel)[name], (property, staticmethod, classmethod))


def test_class_options():
    with pytest.raises(TypeError):
        talvex.RobotModel(1)
    model = talvex.RobotModel()
    with pytest.raises(AttributeError):
        model.anything = 1
    with pytest.raises(TypeError):
        pickle.dumps(model)
    assert model != talvex.RobotModel() and model == model

    class Sub(talvex.RobotModel):
        pass

    assert Sub().__class__.__mro__[1] is talvex.RobotModel


def test_reimport_returns_same_class():
    cls = talvex.RobotModel
    del sys.modules["talvex"]
    try:
        again = importlib.import_module("talvex")
        assert again.RobotModel is cls
    finally:
        sys.modules["talvex"] = talvex


def _other_python():
    candidates = [shutil.which(n) for n in ("python3.10", "python3.12", "python3.13")]
    # pyenv keeps other interpreters out of PATH until selected.
    candidates += sorted(str(p) for p in pathlib.Path.home().glob(".pyenv/versions/3.1[02]*/bin/python3.1?"))
    for path in filter(None, candidates):
        run = subprocess.run([path, "-c", "import sys; print(sys.version_info[:2])"],
                             capture_output=True, text=True)
        if run.returncode == 0 and run.stdout.strip() != "(3, 11)":
            return path
    return None


def test_import_under_another_interpreter_fails_with_version_mismatch(tmp_path):
    other = _other_python()
    if other is None:
        pytest.skip("no other Python interpreter on this machine")
    built = pathlib.Path(talvex.__file__)
    (tmp_path / "talvex.so").write_bytes(built.read_bytes())
    # Keep the wheels' libraries reachable through the module's $ORIGIN RPATH.
    os.symlink(built.parent / "cmeel.prefix", tmp_path / "cmeel.prefix")
    script = (
        "import os, sys\n"
        # Lazy binding: let the initialisation function run and report the mismatch
        # rather than the loader failing on a symbol of another ABI.
        "sys.setdlopenflags(os.RTLD_LAZY | os.RTLD_GLOBAL)\n"
        "try:\n"
        "    import talvex\n"
        "except ImportError as e:\n"
        "    print(e)\n"
        "    print(sys.version)\n"
    )
    out = subprocess.run([other, "-c", script], cwd=tmp_path, capture_output=True, text=True,
                         env={**os.environ, "PYTHONPATH": str(tmp_path)}, timeout=60)
    message, version = out.stdout.split("\n", 1)
    assert message == (
        "Python version mismatch: module was compiled for Python 3.11, but the interpreter "
        f"version is incompatible: {version.rstrip(chr(10))}."
    ), out.stderr
