#!/usr/bin/env bash
# Installs the package with the benchmark extras, builds the straightforward
# evaluations with the same compiler flags, and prints the benchmark table.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m pip install --quiet --disable-pip-version-check ".[bench]" cmake ninja
build=build/bench
cmake -S . -B "$build" -G Ninja -DBUILD_PYTHON_MODULES=OFF -DBUILD_NATIVE_TESTS=ON \
  -DBUILD_GTEST_SUITE=OFF >/dev/null
cmake --build "$build" --target straightforward core_probe >/dev/null
STRAIGHTFORWARD_LIB="$PWD/$build/tests/native/libstraightforward.so" python3 bench/benchmark.py
python3 bench/calibration.py
python3 bench/domain.py
STRAIGHTFORWARD_LIB="$PWD/$build/tests/native/libstraightforward.so" python3 bench/kou_certification.py
python3 bench/layouts.py --accuracy
python3 bench/passage.py
python3 bench/american.py
