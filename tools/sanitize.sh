#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer and runs
# the test suite against it; fails on a failing test or on any sanitizer report.
# Usage: tools/sanitize.sh [PYTHON]  (default .venv/bin/python: an environment
# made by the README's test command, which has the runtime and test packages).
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-.venv/bin/python}
out=build/asan
rm -rf "$out/wheel" "$out/site" "$out/reports"
mkdir -p "$out/site" "$out/reports"

# The build-only packages (headers and CMake files) go into the test environment,
# and the build runs in it, against the same C++ wheels the suite loads.
"$python" -m pip install --quiet scikit-build-core 'pybind11>=3.1,<3.2' cmeel==0.62.0 cmeel-eigen==3.4.1 cmeel-urdfdom-headers==3.0.0
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} "$python" -m pip wheel --quiet \
  --no-build-isolation --no-deps -Ccmake.define.TALVEX_SANITIZE=ON \
  -Ccmake.build-type=RelWithDebInfo -Cinstall.strip=false -Cbuild-dir="$out/build" \
  -w "$out/wheel" .
"$python" -m zipfile -e "$out"/wheel/talvex-*.whl "$out/site"
# The instrumented module finds the C++ wheels through its RPATH, beside itself.
site_packages=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
ln -sfn "$site_packages/cmeel.prefix" "$out/site/cmeel.prefix"

# libasan must be the first library of the process; libstdc++ comes with it, or
# ASan's __cxa_throw interceptor finds no real one (the interpreter does not
# link libstdc++) and the first C++ exception aborts. Leaks are left to valgrind:
# the interpreter keeps its own allocations until exit. Reports go to files, so
# that one from a child process of the suite is not lost with its stderr. A
# request too large for memory fails as it does without ASan (malloc returns
# null, so NumPy raises MemoryError) instead of aborting: the suite checks that
# the labeller turns such a failure into one line.
reports=$(realpath "$out/reports")
site=$(realpath "$out/site")
run() {
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:log_path=$reports/asan" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
  HARDENING_TIME_SCALE=4 PYTHONPATH="$site" "$python" "$@"
}
# The suite must run the instrumented module, not the installed one.
run -c "import sys, talvex; sys.exit(not talvex.__file__.startswith('$site/'))"
status=0
run -m pytest -q -p no:cacheprovider tests || status=$?

# A refused allocation (allocator_may_return_null, above) leaves a one-line
# warning; any other line is a report.
refused='^==[0-9]+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes$'
if compgen -G "$reports/*" > /dev/null && grep -qvhE "$refused" "$reports"/*; then
  echo "sanitizer reports:" >&2
  cat "$reports"/* >&2
  exit 1
fi
exit "$status"
