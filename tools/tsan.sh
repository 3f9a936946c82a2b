#!/usr/bin/env bash
# Builds the core with ThreadSanitizer and runs its thread stress program
# (tests/tsan/stress.cpp); fails on a wrong answer or on any ThreadSanitizer
# report. No Python runs under the sanitizer: the program uses the core as the
# module's bindings do, with a mutex standing for the interpreter lock.
# Usage: tools/tsan.sh [PYTHON] [STRESS ARGUMENTS...]  (default .venv/bin/python,
# an environment made by the README's test command; the arguments default to
# "--seconds 20 --foreign-writer": three phases of 20 s, and a thread that
# writes to std::cerr and through console_bridge while models are built).
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-.venv/bin/python}
shift || true
[ $# -gt 0 ] || set -- --seconds 20 --foreign-writer
python="$(cd "$(dirname "$python")" && pwd)/$(basename "$python")"
out=build/tsan
rm -rf "$out/reports"
mkdir -p "$out/reports"

# The build-only packages (headers and CMake files), as tools/sanitize.sh.
"$python" -m pip install --quiet scikit-build-core 'pybind11>=3.1,<3.2' cmeel==0.62.0 cmeel-eigen==3.4.1 cmeel-urdfdom-headers==3.0.0
cmake -S . -B "$out/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVEX_TSAN=ON \
  -DPython_EXECUTABLE="$python" -Dpybind11_DIR="$("$python" -m pybind11 --cmakedir)" > "$out/cmake.log"
cmake --build "$out/build" --target talvex_stress -j "${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

# Reports go to files; any one fails the run. The program's own exit status
# says whether every answer was right. setarch -R: this gcc's ThreadSanitizer
# cannot map its shadow memory under the kernel's full address randomisation.
reports=$(realpath "$out/reports")
status=0
TSAN_OPTIONS="log_path=$reports/tsan suppressions=$(realpath tests/tsan/suppressions.txt) second_deadlock_stack=1" \
  setarch "$(uname -m)" -R "$out/build/talvex_stress" tests/data "$@" \
  > "$out/stdout.txt" 2> "$out/stderr.txt" || status=$?
cat "$out/stdout.txt"

# Every line of the foreign writer reached stderr, and nothing else did: the
# builds printed nothing and took nothing of another thread's output.
written=$(sed -n 's/^foreign writer: \([0-9]*\) lines.*/\1/p' "$out/stdout.txt")
if [ -n "$written" ]; then
  lines=$(grep -c '^foreign line ' "$out/stderr.txt" || true)
  messages=$(grep -c '^Warning: foreign message ' "$out/stderr.txt" || true)
  other=$(grep -v -c -e '^foreign line ' -e '^Warning: foreign message ' -e '^ *at line ' \
          "$out/stderr.txt" || true)
  echo "foreign writer: $lines of $written lines and $messages of $written messages reached stderr; other lines: $other"
  if [ "$lines" != "$written" ] || [ "$messages" != "$written" ] || [ "$other" != 0 ]; then
    grep -v -e '^foreign line ' -e '^Warning: foreign message ' -e '^ *at line ' "$out/stderr.txt" | head -20 >&2
    status=1
  fi
elif [ -s "$out/stderr.txt" ]; then
  echo "the program wrote to stderr:" >&2
  head -20 "$out/stderr.txt" >&2
  status=1
fi

if compgen -G "$reports/*" > /dev/null; then
  echo "ThreadSanitizer reports:" >&2
  cat "$reports"/* >&2
  exit 1
fi
echo "ThreadSanitizer reports: 0"
exit "$status"
