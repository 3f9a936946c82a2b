"""The robot's files as bytes, so that a worker builds from exactly what the client read.

A build reads the URDF, the SRDF and every collision mesh the URDF names. The
client resolves each mesh URI as Pinocchio does for the given package folder,
reads every file once and keeps its bytes and SHA-256. A worker writes them into
a private folder that mirrors the client's absolute paths (so package:// and
relative URIs resolve inside the copy exactly as they did on the client), then
resolves the URIs again there and checks every hash before it builds: a file
that is missing or differs fails the run, instead of a build that quietly
leaves it out (a missing SRDF, for one, means "no pairs disabled").
"""

from __future__ import annotations

import dataclasses
import hashlib
import os
import pathlib
import shutil
import tempfile
import xml.etree.ElementTree as ET

from talvex_tools.errors import ToolError


def sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def ros_paths() -> list[str]:
    """The folders Pinocchio searches after the package folder, from the environment."""
    paths = [p for p in os.environ.get("ROS_PACKAGE_PATH", "").split(":") if p]
    paths += [p + "/share" for p in os.environ.get("AMENT_PREFIX_PATH", "").split(":") if p]
    return paths


def mesh_uris(urdf: str | os.PathLike) -> list[str]:
    """The mesh URIs of the URDF's collision elements, in order, each once (the
    geometry of a collision model: visual meshes are never read)."""
    try:
        root = ET.parse(urdf).getroot()
    except (ET.ParseError, OSError):
        return []  # the build itself says why the file does not load
    uris = []
    for link in root.findall("link"):
        for collision in link.findall("collision"):
            for mesh in collision.iter("mesh"):
                uri = mesh.get("filename")
                if uri:
                    uris.append(uri)
    return list(dict.fromkeys(uris))


def resolve(uri: str, package_dirs: list[str]) -> str | None:
    """The path Pinocchio opens for a mesh URI, or None where it finds none. The
    same rule: package:// (and model://) under the first folder that has it, file://
    as written, a relative path under the first folder that has it, else as given."""
    scheme, sep, rest = uri.partition("://")
    if sep:
        if scheme in ("package", "model"):
            return next((d + "/" + rest for d in package_dirs
                         if os.path.exists(d + "/" + rest)), None)
        if scheme == "file":
            return rest
        return None  # the build refuses the scheme itself, with its own message
    if not os.path.isabs(uri):
        return next((d + "/" + uri for d in package_dirs if os.path.exists(d + "/" + uri)), None)
    return uri


@dataclasses.dataclass(frozen=True)
class File:
    role: str  # "urdf", "srdf" or "mesh"
    path: str  # absolute, on the client
    sha256: str
    uri: str = ""  # a mesh's URI as the URDF writes it
    # None for a mesh the worker must find at its own copy of the path: one that an
    # absolute or file:// URI names, or that a ROS search path supplied.
    data: bytes | None = dataclasses.field(default=None, repr=False, compare=False)

    def describe(self) -> dict:
        entry = {"role": self.role, "path": self.path, "sha256": self.sha256}
        if self.uri:
            entry["uri"] = self.uri
        return entry


@dataclasses.dataclass(frozen=True)
class Bundle:
    """Every file of one robot's build, with bytes: plain data, so it travels."""

    urdf: str
    srdf: str | None
    package_dir: str
    files: tuple[File, ...]

    @classmethod
    def collect(cls, urdf, srdf, package_dir) -> "Bundle":
        urdf = os.path.abspath(urdf)
        srdf = os.path.abspath(srdf) if srdf else None
        package_dir = os.path.abspath(package_dir)
        files = [_read("urdf", urdf)]
        if srdf:
            files.append(_read("srdf", srdf))
        dirs = [package_dir, *ros_paths()]
        for uri in mesh_uris(urdf):
            path = resolve(uri, dirs)
            if path is None:
                raise ToolError(f"mesh {uri} of {urdf} not found under the package folder "
                                f"{package_dir} (--package-dir)")
            # Only what the package folder supplies can be relocated with it.
            inside = resolve(uri, [package_dir]) == path
            found = _read("mesh", os.path.abspath(path), uri)
            files.append(found if inside else dataclasses.replace(found, data=None))
        return cls(urdf, srdf, package_dir, tuple(files))

    def describe(self) -> list[dict]:
        """Role, path, URI and SHA-256 of each file: what the output's metadata records."""
        return [f.describe() for f in self.files]

    @property
    def size(self) -> int:
        return sum(len(f.data) for f in self.files if f.data is not None)

    def unpack(self, root: str | os.PathLike) -> tuple[str, str | None, str]:
        """Write the files under root at their client paths and check them as the
        build will read them; return the (urdf, srdf, package_dir) to build from.
        ToolError names the first file that is missing or differs."""
        root = os.fspath(root)
        for f in self.files:
            if f.data is not None:
                target = mirror(root, f.path)
                pathlib.Path(target).parent.mkdir(parents=True, exist_ok=True)
                with open(target, "wb") as out:
                    out.write(f.data)
        package_dir = mirror(root, self.package_dir)
        os.makedirs(package_dir, exist_ok=True)
        dirs = [package_dir, *ros_paths()]
        for f in self.files:
            if f.role == "mesh":
                path = resolve(f.uri, dirs)
                shown = f.uri
            else:
                path, shown = mirror(root, f.path), f.path
            try:
                with open(path or "", "rb") as source:
                    digest = sha256(source.read())
            except OSError:
                raise ToolError(f"{shown} is missing where the build reads it") from None
            if digest != f.sha256:
                raise ToolError(f"{shown} differs from the client's copy "
                                f"(SHA-256 {digest[:12]}..., not {f.sha256[:12]}...)")
        return (mirror(root, self.urdf), self.srdf and mirror(root, self.srdf), package_dir)


def mirror(root: str, path: str) -> str:
    return root + path if path.startswith("/") else os.path.join(root, path)


def _read(role: str, path: str, uri: str = "") -> File:
    try:
        data = pathlib.Path(path).read_bytes()
    except OSError as exc:
        raise ToolError(f"cannot read {path}: {exc.strerror or exc}") from None
    return File(role, path, sha256(data), uri, data)


class PrivateCopy:
    """A bundle unpacked into a temporary folder of its own, removed by close()."""

    def __init__(self, bundle: Bundle, prefix: str = "talvex-robot-", dir: str | None = None):
        self.folder = tempfile.mkdtemp(prefix=prefix, dir=dir)
        try:
            self.urdf, self.srdf, self.package_dir = bundle.unpack(self.folder)
        except BaseException:
            self.close()
            raise

    def shown(self, text: str) -> str:
        """text with the copy's paths back to the client's (for messages)."""
        return text.replace(self.folder, "")

    def close(self) -> None:
        shutil.rmtree(self.folder, ignore_errors=True)
