#!/usr/bin/env bash
# Runs every test of the project: the C++ core tests, once plainly and once
# under AddressSanitizer and UndefinedBehaviorSanitizer; the Python tests
# against the installed module; then the Python tests again against the
# extension built with both sanitizers, so that a memory error or undefined
# behaviour in the binding fails the run. Installs what the tests need first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ ! -f /usr/include/gtest/gtest.h ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "GoogleTest is not installed, and installing it needs root. Run:" >&2
    echo "    sudo apt-get install libgtest-dev" >&2
    echo "then run scripts/test.sh again." >&2
    exit 1
  fi
  echo "== installing GoogleTest (libgtest-dev)"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
fi

# Outside a virtual environment a user who is not root installs into their
# own site-packages.
pip_install() {
  local user=()
  if [ "$(id -u)" -ne 0 ] && python3 -c 'import sys; sys.exit(sys.prefix != sys.base_prefix)'; then
    user=(--user)
  fi
  python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore "${user[@]}" "$@"
}

echo "== installing the Python test requirements"
pip_install -r requirements-test.txt

jobs=$(nproc)
core_build() {  # build dir, extra cmake arguments...
  local dir=$1
  shift
  cmake -S . -B "$dir" -DSARVEK_BUILD_TESTS=ON -DSARVEK_BUILD_PYTHON=OFF -DSARVEK_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

echo "== C++ core tests and benchmarks build"
core_build build/test -DCMAKE_BUILD_TYPE=Release -DSARVEK_BUILD_BENCH=ON
echo "== C++ core tests under ASan and UBSan (and _sarvek built the same way, for later)"
core_build build/asan -DCMAKE_BUILD_TYPE=Debug -DSARVEK_SANITIZE=ON -DCMAKE_CXX_FLAGS=-O1 -DSARVEK_BUILD_PYTHON=ON

echo "== installing _sarvek"
pip_install .
echo "== Python tests"
# Run from outside the source tree so that the installed module is tested.
(cd tests/python && python3 -m pytest -q -p no:cacheprovider .)

echo "== Python tests against the sanitized _sarvek (tests marked slow, and the Dask cluster tests, skipped)"
# The interpreter is not instrumented: the sanitizer runtimes are preloaded,
# leak detection is off (the interpreter keeps memory until exit), a failed
# allocation returns null as it would without the sanitizer, and Python's
# own allocator steps aside so every object is checked.
(
  cd tests/python
  export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
  # Reports go to files as well: a report from inside a test is written to
  # the test's captured output, which is lost when the sanitizer ends the
  # process, so the files are printed when the run fails.
  reports="$root/build/asan/reports"
  rm -rf "$reports" && mkdir -p "$reports"
  export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:log_path=$reports/asan
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan
  export PYTHONMALLOC=malloc
  export PYTHONPATH="$root/build/asan"
  export SARVEK_SANITIZED=1
  python3 -c 'import _sarvek, sys; sys.exit(not _sarvek.__file__.startswith(sys.argv[1]))' "$root/build/asan/"
  if ! python3 -m pytest -q -p no:cacheprovider -m "not slow and not cluster" .; then
    for report in "$reports"/*; do
      [ -e "$report" ] && { echo "== $report"; cat "$report"; }
    done
    exit 1
  fi
)
