"""A robot as the tools pass it around: its files and margin, checked once, in a
frozen, picklable record that a worker thread or process rebuilds the model from."""

import concurrent.futures
import contextlib
import dataclasses
import functools
import pathlib
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

    def build(self):
        """A built talvex.RobotModel; a failure is a one-line ToolError."""
        import talvex

        robot = talvex.RobotModel()
        try:
            robot.build_from_urdf(str(self.urdf), str(self.package_dir), str(self.srdf or ""),
                                  self.margin)
        except (RuntimeError, ValueError, MemoryError) as exc:
            raise ToolError(f"cannot load {self.urdf}: {one_line(exc)}") from None
        return robot

    @property
    def name(self):
        """The robot's name from the URDF (its file name's stem when it has none)."""
        return urdf_root(self.urdf).get("name") or self.urdf.stem


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
