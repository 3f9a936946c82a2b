import importlib.metadata
import os
import pathlib
import subprocess
import sys

import pytest

import talvex

DATA = pathlib.Path(__file__).parent / "data"

# example-robot-data's share folder: the package_dir of its robots (None when not installed).
try:
    ERD_SHARE = pathlib.Path(
        importlib.metadata.distribution("example-robot-data").locate_file("cmeel.prefix/share")
    )
except importlib.metadata.PackageNotFoundError:  # pragma: no cover - depends on the venv
    ERD_SHARE = None

READINESS = "RobotModel: call build_from_urdf() before using this object."

# Every guarded entry with arguments valid for the one-joint test robots.
GUARDED_CALLS = {
    "forward_kinematics": lambda m: m.forward_kinematics([0.0], "slider"),
    "all_frame_transforms": lambda m: m.all_frame_transforms([0.0]),
    "nq": lambda m: m.nq(),
    "ndof": lambda m: m.ndof(),
    "joint_names": lambda m: m.joint_names(),
    "frame_names": lambda m: m.frame_names(),
    "lower_position_limits": lambda m: m.lower_position_limits(),
    "upper_position_limits": lambda m: m.upper_position_limits(),
    "in_joint_limits": lambda m: m.in_joint_limits([0.0]),
    "has_self_collision": lambda m: m.has_self_collision([0.0]),
    "neutral_configuration": lambda m: m.neutral_configuration(),
    "repr": repr,
}


def data_path(name):
    return str(DATA / name)


def build(urdf, srdf="", margin=0.005, package_dir=None):
    """A RobotModel built from files under tests/data (or absolute paths)."""
    model = talvex.RobotModel()
    model.build_from_urdf(
        urdf if pathlib.Path(urdf).is_absolute() else data_path(urdf),
        str(DATA) if package_dir is None else package_dir,
        srdf if (not srdf or pathlib.Path(srdf).is_absolute()) else data_path(srdf),
        margin,
    )
    return model


def assert_unbuilt(model):
    for name, call in GUARDED_CALLS.items():
        with pytest.raises(RuntimeError) as info:
            call(model)
        assert str(info.value) == READINESS, name


# The talvex command as installed beside this interpreter (the console script of the
# wheel, not the source tree), with warnings as errors.
TALVEX = pathlib.Path(sys.executable).parent / "talvex"


def run_talvex(*args, env=None, timeout=300, **kwargs):
    """Run the installed talvex command; its CompletedProcess (text output)."""
    env = dict(os.environ if env is None else env, PYTHONWARNINGS="error")
    return subprocess.run([str(TALVEX), *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, env=env, **kwargs)
