#!/usr/bin/env bash
# Installs the package and the test dependencies, then runs every test suite: the
# native tests of the numerical cores (CTest + GoogleTest) and the Python tests.
# Works on a fresh Debian machine with CPython 3.11, pip and gcc; run from anywhere.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m pip install --quiet --disable-pip-version-check ".[test]" cmake ninja

# GoogleTest from Debian (needs root, as on CI; otherwise install libgtest-dev first).
if [ ! -f /usr/include/gtest/gtest.h ]; then
  if [ "$(id -u)" -eq 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >/dev/null
    apt-get install -y -q --no-install-recommends libgtest-dev >/dev/null
  else
    echo "libgtest-dev is missing: sudo apt-get install libgtest-dev" >&2
    exit 1
  fi
fi

build=build/native
cmake -S . -B "$build" -G Ninja -DBUILD_PYTHON_MODULES=OFF -DBUILD_NATIVE_TESTS=ON >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure

export STRAIGHTFORWARD_LIB="$PWD/$build/tests/native/libstraightforward.so"
# pytest exits 5 when it collected no test: that is a failure here, not a pass.
set +e
python3 -m pytest tests
rc=$?
set -e
if [ "$rc" -eq 5 ]; then
  echo "pytest collected no tests" >&2
  exit 1
fi
exit "$rc"
