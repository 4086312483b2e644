#!/usr/bin/env bash
# Installs the package and the test dependencies, then runs every test suite:
#  1. the native tests of the numerical cores (CTest + GoogleTest), 64-bit;
#  2. the same built with -fsanitize=address,undefined;
#  3. the same built for 32-bit x86 (-m32 -msse2 -mfpmath=sse) with the Kou lane loops'
#     baseline (SSE2) builds, which a processor without AVX2 runs, and its reference
#     prices compared with the 64-bit build's (the AVX2 builds, where the processor has it);
#  4. the Python tests (pytest).
# Works on a fresh Debian machine with CPython 3.11, pip and gcc; run from anywhere.
set -euo pipefail
cd "$(dirname "$0")/.."

stage() { printf '\n=== %s\n' "$*"; }

stage "installing the package and the test dependencies"
python3 -m pip install --quiet --disable-pip-version-check ".[test,market]" cmake ninja

# GoogleTest (with its sources, for the 32-bit build) and the 32-bit toolchain from
# Debian: needs root, as on CI; otherwise install these two packages first.
missing=()
[ -f /usr/include/gtest/gtest.h ] && [ -d /usr/src/googletest/googletest ] || missing+=(libgtest-dev)
echo 'int main(){}' | g++ -m32 -x c++ -o /dev/null - 2>/dev/null || missing+=(g++-multilib)
if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages: ${missing[*]} (sudo apt-get install ${missing[*]})" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi

native() {  # build directory, extra CMake arguments...
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DBUILD_PYTHON_MODULES=OFF -DBUILD_NATIVE_TESTS=ON "$@" >/dev/null
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure
}

stage "native tests, 64-bit"
native build/native
stage "native tests, address and undefined-behaviour sanitizers"
native build/sanitize -DSANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
stage "native tests, 32-bit x86, baseline lane loops"
native build/m32 -DCMAKE_CXX_FLAGS=-m32 -DGTEST_SOURCE_DIR=/usr/src/googletest/googletest \
  -DKOU_BASELINE_KERNELS=ON
stage "reference prices, 32-bit against 64-bit"
build/native/tests/native/reference_prices > build/prices-64.txt
build/m32/tests/native/reference_prices > build/prices-32.txt
python3 tests/native/compare_builds.py build/prices-64.txt build/prices-32.txt

stage "Python tests"
export STRAIGHTFORWARD_LIB="$PWD/build/native/tests/native/libstraightforward.so"
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
