#!/usr/bin/env bash
# Runs every test of the project: the C++ core tests, once plainly and once
# under AddressSanitizer and UndefinedBehaviorSanitizer, then the Python
# tests against the installed module. Installs what the tests need first.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -f /usr/include/gtest/gtest.h ]; then
  echo "== installing GoogleTest (libgtest-dev)"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
fi
echo "== installing the Python test requirements"
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore -r requirements-test.txt

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
echo "== C++ core tests under ASan and UBSan"
core_build build/asan -DCMAKE_BUILD_TYPE=Debug -DSARVEK_SANITIZE=ON -DCMAKE_CXX_FLAGS=-O1

echo "== installing _sarvek"
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore .
echo "== Python tests"
# Run from outside the source tree so that the installed module is tested.
cd tests/python && python3 -m pytest -q -p no:cacheprovider .
