"""A robot as the tools pass it around: its files and margin, checked once, in a
frozen, picklable record that a worker thread or process rebuilds the model from."""

import concurrent.futures
import contextlib
import dataclasses
import functools
import math
import pathlib
import sys
import threading
import xml.etree.ElementTree as ET

from talvex_tools.errors import ToolError, one_line


@dataclasses.dataclass(frozen=True)
class RobotFiles:
    """The files a RobotModel is built from, as absolute paths, and its margin."""

    urdf: pathlib.Path
    srdf: pathlib.Path | None
    package_dir: pathlib.Path
    margin: float
    command: str | None = None  # the talvex command it is built for, which says what fits

    def build(self):
        """A built talvex.RobotModel, checked for what the command can work with
        (check_built); a failure is a one-line ToolError."""
        import talvex

        robot = talvex.RobotModel()
        try:
            robot.build_from_urdf(str(self.urdf), str(self.package_dir), str(self.srdf or ""),
                                  self.margin)
        except (RuntimeError, ValueError, MemoryError) as exc:
            raise ToolError(f"cannot load {self.urdf}: {one_line(exc)}") from None
        check_built(self, robot)
        return robot

    @property
    def name(self):
        """The robot's name from the URDF (its file name's stem when it has none)."""
        return urdf_root(self.urdf).get("name") or self.urdf.stem


# The commands that still have something to show for a robot without joints (its
# frames and their poses); the others have nothing to vary, nor a pair to test
# (every geometry is then on one body).
WITHOUT_JOINTS = {"inspect"}
EXTENT_SAMPLES = 8
_warned = set()  # a command that builds twice warns once


def check_built(files, robot, stream=None):
    """What every command says right after the build, before its work: a robot
    without joints (an error where the command can do nothing with it), a margin
    larger than the robot itself. Only for a command (files.command)."""
    if files.command is None:
        return
    if robot.nq() == 0:
        text = (f"{files.name} has no joints (nq = 0): every configuration is the same, "
                "empty one")
        if files.command not in WITHOUT_JOINTS:
            raise ToolError(f"{text}, and there is no pair of bodies to test; nothing to do")
        _warn(files, f"{text}; its self-collision test has no pair to test", stream)
        return
    if files.command == "srdf":
        return  # it refuses such a margin itself, from a wider measure of the robot
    extent = frame_extent(robot, files.urdf)
    if 0 < extent < files.margin:
        _warn(files, f"--margin {files.margin:g} m is larger than {files.name} itself (the "
              f"box around its frames is {extent:.3g} m across): nearly every pair it "
              "tests will count as colliding", stream)


def _warn(files, text, stream):
    if (files.command, text) not in _warned:
        _warned.add((files.command, text))
        print(f"talvex {files.command}: warning: {text}", file=stream or sys.stderr)


def frame_extent(robot, urdf):
    """The diagonal of the box around every frame of the robot at neutral and at a
    few random configurations inside the limits: the robot's own size."""
    import numpy as np

    from talvex_tools import sampling

    configurations = [robot.neutral_configuration()]
    try:
        layout = sampling.layout(robot, urdf)
    except ToolError:
        layout = None  # the command says so; neutral alone
    if layout is not None and robot.nq():
        configurations += list(sampling.sample(
            layout, robot.lower_position_limits(), robot.upper_position_limits(),
            np.random.default_rng(0), EXTENT_SAMPLES))
    points = np.array([pose[:3, 3] for q in configurations
                       for pose in robot.all_frame_transforms(q).values()]).reshape(-1, 3)
    points = points[np.isfinite(points).all(axis=1)]
    if not len(points):
        return 0.0
    extent = float(np.linalg.norm(points.max(axis=0) - points.min(axis=0)))
    return extent if math.isfinite(extent) else 0.0


@functools.lru_cache(maxsize=8)
def _parsed(path, mtime):
    return ET.parse(path).getroot()


def urdf_root(path):
    """The root element of a URDF; a one-line ToolError when it cannot be read."""
    path = pathlib.Path(path)
    try:
        return _parsed(path, path.stat().st_mtime_ns)
    except (ET.ParseError, OSError) as exc:
        raise ToolError(f"cannot read {path}: {one_line(exc)}") from None


def default_package_dir(urdf):
    """The nearest directory, from the URDF's own upwards, that holds every package
    its package:// URIs name, and those names; the URDF's directory (and no names)
    when it names none or no directory holds them all."""
    urdf = pathlib.Path(urdf)
    try:
        uris = [e.get("filename", "") for e in urdf_root(urdf).iter()]
    except ToolError:
        uris = []  # the build says what is wrong with the file
    names = sorted({u[len("package://"):].split("/", 1)[0] for u in uris
                    if u.startswith("package://")} - {""})
    folder = urdf.resolve().parent
    for candidate in [folder, *folder.parents] if names else []:
        if all((candidate / name).is_dir() for name in names):
            return candidate, names
    return folder, []


def links_with_collision(urdf):
    """The names of the URDF's links that carry collision geometry."""
    return {link.get("name") for link in urdf_root(urdf).findall("link")
            if link.find("collision") is not None}


def srdf_coverage(files):
    """(share, count) of the links with collision geometry that the SRDF's
    disable_collisions entries name; None without an SRDF or links. An SRDF written
    for another robot names none of them, and disables nothing."""
    if files.srdf is None:
        return None
    links = links_with_collision(files.urdf)
    try:
        root = ET.parse(files.srdf).getroot()
    except (ET.ParseError, OSError):
        return None  # the build reports it
    named = {e.get(k) for e in root.iter("disable_collisions") for k in ("link1", "link2")}
    if not links:
        return None
    return len(links & named) / len(links), len(links)


def coverage_warning(files, threshold=0.5):
    """A warning line when the SRDF names few of the robot's links, else None."""
    found = srdf_coverage(files)
    if found is None or found[0] >= threshold:
        return None
    share, count = found
    return (f"warning: {files.srdf.name} names {share:.0%} of the {count} links with collision "
            f"geometry of {files.name}; is it this robot's SRDF?")


class PerThread:
    """One object per thread, made by factory() on the thread's first get() and kept
    for the thread's life: a RobotModel serves one thread at a time."""

    def __init__(self, factory):
        self.factory = factory
        self.local = threading.local()

    def get(self):
        made = getattr(self.local, "made", None)
        if made is None:
            made = self.local.made = self.factory()
        return made


@contextlib.contextmanager
def thread_pool(threads):
    """A ThreadPoolExecutor whose queued work is dropped when the block ends by an
    exception (Ctrl-C above all): the with-statement of the pool itself would run
    every queued task to the end first."""
    pool = concurrent.futures.ThreadPoolExecutor(threads)
    try:
        yield pool
    except BaseException:
        pool.shutdown(wait=False, cancel_futures=True)
        raise
    pool.shutdown(wait=True)
