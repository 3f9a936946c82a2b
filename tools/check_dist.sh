#!/usr/bin/env bash
# The distributions as a user meets them. tools/build_wheel.sh makes the sdist
# and builds the wheel from it in an isolated environment; pip then installs
# that sdist into a fresh environment (building it once more, as a user's pip
# does), and the repaired wheel must carry the manylinux tag auditwheel finds,
# hold no library of its own dependencies, and install into a fresh environment
# with no compiler reachable, import, report its version from the metadata,
# build the mesh robot of the tests and run the talvex command.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

tools/build_wheel.sh
wheels=(dist/talvex-*-manylinux_*.whl)
[ ${#wheels[@]} -eq 1 ] || { echo "expected one manylinux wheel in dist/, got: ${wheels[*]}" >&2; exit 1; }
wheel=${wheels[0]}

build/dist-tools/bin/auditwheel show "$wheel"
build/dist-tools/bin/auditwheel show --json "$wheel" > build/dist-raw/show.json
build/dist-tools/bin/python - "$wheel" build/dist-raw/show.json <<'PY'
import json, re, sys, zipfile
wheel, report = sys.argv[1], json.load(open(sys.argv[2]))
tag = re.search(r"-(manylinux_\d+_\d+_x86_64)\.whl$", wheel).group(1)
assert report["sym_tag"] == tag, (report["sym_tag"], tag)
# show knows no exclusions: the libraries left outside must be the pinned wheels' only.
pinned = re.compile(r"lib(pinocchio|coal|boost_|urdfdom|console_bridge|assimp|octoma|qhull|tinyxml2)")
outside = sorted(report["external_libs"])
assert outside and all(pinned.match(lib) for lib in outside), outside
libs = [n for n in zipfile.ZipFile(wheel).namelist() if ".so" in n]
assert sorted(libs) == ["_talvex_native.cpython-311-x86_64-linux-gnu.so",
                        "talvex.cpython-311-x86_64-linux-gnu.so"], libs
print(f"{tag}: libraries left to the pinned wheels: {', '.join(outside)}")
PY

venv=$(mktemp -d)
sdist_venv=$(mktemp -d)
trap 'rm -rf "$venv" "$sdist_venv"' EXIT

# The sdist as a user installs it: pip builds it in a fresh environment.
python3.11 -m venv "$sdist_venv"
"$sdist_venv/bin/python" -m pip install -q dist/talvex-*.tar.gz
(cd "$sdist_venv" && "$sdist_venv/bin/python" -c "import talvex; print('sdist install:', talvex.__file__, talvex.__doc__)")
# Read whole before grep: grep -q would close the pipe at its first match, and
# the command's last write would then fail (pipefail).
help=$("$sdist_venv/bin/talvex" --help)
grep -q "^  srdf " <<<"$help"

python3.11 -m venv "$venv"
# No compiler: only the venv on PATH, CC/CXX that fail, and wheels only.
env PATH="$venv/bin" CC=false CXX=false \
  "$venv/bin/python" -m pip install -q --only-binary :all: "$wheel"
cd "$venv"
env PATH="$venv/bin" CC=false CXX=false "$venv/bin/python" - "$root" <<'PY'
import importlib.metadata, pathlib, sys, sysconfig, tomllib
import talvex
root = pathlib.Path(sys.argv[1])
assert pathlib.Path(talvex.__file__).parent == pathlib.Path(sysconfig.get_paths()["platlib"])
version = tomllib.loads((root / "pyproject.toml").read_text())["project"]["version"]
assert importlib.metadata.version("talvex") == version
data = root / "tests" / "data"
robot = talvex.RobotModel()
robot.build_from_urdf(str(data / "mesh_pair.urdf"), str(data))
# The cube mesh (0.2 m) and the 0.1 m sphere: touching, 3 mm apart (inside the margin), far.
hits = [robot.has_self_collision([x]) for x in (0.0, 0.203, 0.5)]
assert hits == [True, True, False], hits
# The companion module finds the same libraries, one folder down.
from talvex_tools import batch
assert batch.self_collisions(robot, [[0.0], [0.203], [0.5]], threads=2).tolist() == hits
print(f"talvex {version} from {talvex.__file__}: {robot} collisions {hits}, batch the same")
PY
# The tools ship in the wheel beside the module: the talvex command runs, and a
# subcommand whose dependencies (the tools extra) are not installed says so in one line.
help=$(env PATH="$venv/bin" "$venv/bin/talvex" --help)
grep -q "^  inspect " <<<"$help"
env PATH="$venv/bin" "$venv/bin/talvex" inspect "$root/tests/data/pair.urdf" --samples 10 >/dev/null
set +e
said=$(env PATH="$venv/bin" "$venv/bin/talvex" cspace --joints a b --out x.png "$root/tests/data/pair.urdf" 2>&1)
status=$?
set -e
[ "$status" -eq 2 ] && [ "$said" = "talvex cspace: error: cspace needs matplotlib: pip install 'talvex[tools]'" ] \
  || { echo "talvex cspace without its extra: status $status, said: $said" >&2; exit 1; }
echo "talvex command: present, and one line for a missing extra"
echo "dist check passed"
