import os
import subprocess
import sys
import textwrap

import pytest

# Helper modules (references, bit comparisons, the native straightforward library) live
# apart from the test files, in tests/support.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "support"))


def run_python(code):
    """Run code in a fresh interpreter; a crash shows as a negative return code."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=os.path.expanduser("~"),
    )


@pytest.fixture
def subprocess_python():
    return run_python


@pytest.fixture(scope="session")
def straightforward():
    import native_lib
    return native_lib.load()
