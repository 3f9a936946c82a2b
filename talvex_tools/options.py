"""The options the commands share, defined once: the robot's files and margin, the
output path, joints held still, the seed. Everything that can be checked before work
is checked here, as a one-line ToolError."""

import argparse
import contextlib
import difflib
import fnmatch
import math
import os
import pathlib
import shutil
import tempfile
import uuid

from talvex_tools.errors import ToolError
from talvex_tools.robot import RobotFiles, default_package_dir


def cores():
    """The cores this process may run on."""
    return len(os.sched_getaffinity(0))


def _whole_number(text, least):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < least:
        raise argparse.ArgumentTypeError(f"must be at least {least}, not {value}")
    return value


def positive_int(text):
    return _whole_number(text, 1)


def non_negative_int(text):
    return _whole_number(text, 0)


def finite_float(text):
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"not a finite number: {text!r}")
    return value


def margin(text):
    """A collision margin in metres: finite and not negative."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(
            f"must be a finite number of metres >= 0, not {text!r}")
    return value


def add_robot_arguments(parser, urdf_default=None, srdf=True):
    """The URDF, SRDF (unless srdf is false: a command that writes one), package
    directory and margin, as every command takes them."""
    if urdf_default:
        parser.add_argument("urdf", nargs="?", help=f"URDF file (default: {urdf_default})")
    else:
        parser.add_argument("urdf", help="URDF file")
    if srdf:
        parser.add_argument("--srdf", help="SRDF file whose disabled pairs are not tested")
    parser.add_argument(
        "--package-dir",
        help="directory that holds the packages named by package:// mesh URIs (default: the "
        "nearest directory above the URDF that holds them all, else the URDF's own)",
    )
    parser.add_argument("--margin", type=margin, default=0.005,
                        help="collision margin in metres, >= 0 (default 0.005)")


def robot_files(args):
    """The robot of parsed arguments as absolute, checked paths (workers may run
    elsewhere); a ToolError for what cannot be there."""
    if args.urdf is None:
        raise ToolError("no URDF given")
    urdf = pathlib.Path(args.urdf).expanduser().resolve()
    if not urdf.is_file():
        raise ToolError(f"URDF file not found: {args.urdf}{_is_folder(urdf)}")
    srdf = None
    # talvex skips an SRDF path that does not exist; on a command line it is a typo.
    if getattr(args, "srdf", None) is not None:
        srdf = pathlib.Path(args.srdf).expanduser().resolve()
        if not srdf.is_file():
            raise ToolError(f"SRDF file not found: {args.srdf}{_is_folder(srdf)}")
    if args.package_dir is None:
        package_dir, _ = default_package_dir(urdf)
    else:
        package_dir = pathlib.Path(args.package_dir).expanduser().resolve()
        if not package_dir.is_dir():
            there = " is a file" if package_dir.exists() else ""
            raise ToolError(f"package directory not found: {args.package_dir}{there}")
    return RobotFiles(urdf=urdf, srdf=srdf, package_dir=package_dir, margin=args.margin,
                      command=getattr(args, "command", None))


def _is_folder(path):
    return " is a folder" if path.is_dir() else ""


def nearest(name, names, count=3):
    """The names nearest to name, best first: by spelling, and by the same words in
    another order ("link_grasp_center" finds "grasp_center_link")."""
    names = list(dict.fromkeys(names))
    scores = {}

    def words(text):
        return "_".join(sorted(text.lower().split("_")))

    for key, candidates in ((lambda t: t, names), (words, names)):
        keyed = {}
        for candidate in candidates:
            keyed.setdefault(key(candidate), []).append(candidate)
        for match in difflib.get_close_matches(key(name), keyed, n=count, cutoff=0.6):
            score = difflib.SequenceMatcher(None, key(name), match).ratio()
            for candidate in keyed[match]:
                scores[candidate] = max(scores.get(candidate, 0.0), score)
    return sorted(scores, key=lambda c: (-scores[c], names.index(c)))[:count]


def not_found(option, name, kind, names):
    """The one-line error for a name that no frame or joint bears, with the nearest
    names when some are near."""
    near = nearest(name, names)
    hint = f"; did you mean {' or '.join(near)}?" if near else ""
    return f"{option} {name}: no {kind} of that name{hint}"


def add_seed_argument(parser, default=0):
    parser.add_argument("--seed", type=non_negative_int, default=default,
                        help=f"seed of the random draws, >= 0 (default {default})")


# --out


def add_out_argument(parser, *, suffixes, kind, help, required=True):
    """--out (a file with one of suffixes, or a directory) and --force; check_out()
    checks them before any work."""
    if kind not in ("file", "dir"):
        raise ValueError(f"kind must be 'file' or 'dir', not {kind!r}")
    parser.add_argument("--out", required=required, metavar="DIR" if kind == "dir" else "FILE",
                        help=help)
    parser.add_argument("--force", action="store_true",
                        help="replace --out if it exists" + (" and holds files" if kind == "dir"
                                                              else ""))
    parser.set_defaults(out_suffixes=tuple(suffixes or ()), out_kind=kind)


def check_out(args):
    """The absolute --out path, once it is known that the result can be written there:
    its folder exists and takes files, its extension is one the command writes, and it
    does not exist (for a directory: holds nothing) unless --force."""
    if args.out is None:
        return None
    given = args.out
    path = pathlib.Path(given).expanduser().absolute()
    if args.out_kind == "file":
        if args.out_suffixes and path.suffix.lower() not in args.out_suffixes:
            *others, last = args.out_suffixes
            allowed = f"{', '.join(others)} or {last}" if others else last
            found = f"'{path.suffix}'" if path.suffix else "none"
            raise ToolError(f"--out {given}: the extension must be {allowed}, not {found}")
        if path.is_dir():
            raise ToolError(f"--out {given} is a directory")
        if path.exists() and not args.force:
            raise ToolError(f"--out {given} exists (--force replaces it)")
    else:
        if path.exists() and not path.is_dir():
            raise ToolError(f"--out {given} exists and is not a directory")
        if path.is_dir() and any(path.iterdir()) and not args.force:
            raise ToolError(f"--out {given} is not empty (--force replaces it)")
    parent = path.parent
    if not parent.is_dir():
        raise ToolError(f"--out {given}: folder not found: {parent}")
    # Trying is the only sure test: permissions, a read-only mount, /proc, root.
    try:
        with tempfile.NamedTemporaryFile(dir=parent, prefix=".talvex-probe-"):
            pass
    except OSError as exc:
        raise ToolError(f"--out {given}: cannot write in {parent}: {exc.strerror or exc}") from None
    args.out = path
    return path


def _remove(path):
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path, ignore_errors=True)
    else:
        with contextlib.suppress(FileNotFoundError):
            path.unlink()


@contextlib.contextmanager
def atomic_write(path):
    """A temporary path beside path (same folder, so the rename is atomic; same
    extension, for writers that read it) for the caller to write a file or fill a
    directory at. It replaces path when the block ends normally and is removed when
    it ends by an exception, Ctrl-C included: path is either the old or the whole
    new result, never a part."""
    path = pathlib.Path(path)
    temp = path.with_name(f".{path.stem}.tmp-{uuid.uuid4().hex[:12]}{path.suffix}")
    try:
        yield temp
        if temp.is_file():
            with open(temp, "rb+") as written:
                os.fsync(written.fileno())
        if temp.is_dir() and path.is_dir():
            # A directory cannot be renamed over a non-empty one: move the old aside.
            old = path.with_name(f".{path.name}.old-{uuid.uuid4().hex[:12]}")
            path.rename(old)
            temp.rename(path)
            shutil.rmtree(old, ignore_errors=True)
        else:
            os.replace(temp, path)
    except OSError as exc:
        _remove(temp)
        raise ToolError(f"cannot write {path}: {exc.strerror or exc}") from None
    except BaseException:
        _remove(temp)
        raise


# --lock


def lock_value(text):
    name, sep, value = text.partition("=")
    if not sep or not name:
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE, not {text!r}")
    try:
        number = float(value)
    except ValueError:
        number = math.nan
    if not math.isfinite(number):
        raise argparse.ArgumentTypeError(f"{text!r}: the value must be a finite number")
    return name, number


def add_lock_argument(parser):
    parser.add_argument(
        "--lock", type=lock_value, action="append", default=[], metavar="NAME=VALUE",
        help="hold the joints NAME matches (shell-style patterns: 'gripper_*') at VALUE "
        "(rad or m; a continuous joint by its angle) instead of sampling them; repeatable",
    )


def locks(args, layout):
    """{coordinate index: value} of the --lock options; a ToolError for a pattern that
    matches no joint, a joint that one value cannot hold, or a value outside limits."""
    held = {}
    for pattern, value in getattr(args, "lock", None) or []:
        matched = [j for j in layout if fnmatch.fnmatchcase(j.name, pattern)]
        if not matched:
            near = nearest(pattern, [j.name for j in layout])
            hint = f"; did you mean {' or '.join(near)}?" if near else ""
            raise ToolError(f"--lock {pattern}: no joint matches{hint}; joints: "
                            f"{', '.join(j.name for j in layout)}")
        for joint in matched:
            if joint.kind == "continuous":
                held[joint.start], held[joint.start + 1] = math.cos(value), math.sin(value)
            elif joint.kind in ("revolute", "prismatic"):
                lo, hi = joint.lower[0], joint.upper[0]
                if not lo <= value <= hi:
                    raise ToolError(f"--lock {pattern}={value:g}: outside the limits of "
                                    f"{joint.name}, [{lo:g}, {hi:g}]")
                held[joint.start] = value
            else:
                raise ToolError(f"--lock {pattern}: {joint.name} is a {joint.kind} joint, "
                                "which one value cannot hold")
    return held
