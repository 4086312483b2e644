#!/usr/bin/env bash
# Installs the package and its test dependencies, then runs every test suite.
# Works on a fresh machine with CPython 3.11, pip and gcc; run from anywhere.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m pip install --quiet ".[test]"

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
