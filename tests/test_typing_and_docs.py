"""The type stubs against the runtime modules, mypy on the examples, and the README's
Python examples run as they stand."""
import ast
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import corvane
import halvorn

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"


def readme_blocks():
    return re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


def mypy(*args):
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "--cache-dir=/dev/null", *args], capture_output=True, text=True,
                          cwd=ROOT)


def test_readme_examples_run():
    blocks = readme_blocks()
    assert len(blocks) >= 5
    namespace = {}
    for block in blocks:
        exec(compile(block, str(README), "exec"), namespace)


def test_stubtest_finds_no_error():
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "corvane", "halvorn",
         "--allowlist", str(ROOT / "stubs" / "stubtest-allowlist.txt")],
        capture_output=True, text=True, cwd="/")
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_accepts_the_examples(tmp_path):
    readme_code = tmp_path / "readme_examples.py"
    readme_code.write_text("\n".join(readme_blocks()))
    result = mypy(str(ROOT / "examples" / "demo.py"), str(ROOT / "examples" / "scenario_grid.py"),
                  str(ROOT / "examples" / "calibrate.py"), str(ROOT / "examples" / "calibrate_market.py"),
                  str(readme_code))
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_rejects_misuse(tmp_path):
    bad = tmp_path / "misuse.py"
    bad.write_text(textwrap.dedent("""
        import corvane, halvorn
        call = corvane.KouEuropeanCall(1.0, 100.0)
        call.priceByKouJumpDiffusion(100.0, 0.05, 0.2, 1.0, 0.4, 10.0, 5.0, "10")
        corvane.KouEuropeanCall(T=1.0, K=100.0)
        halvorn.MertonEuropeanCall(100.0, 1.0).JDAnalyticalPrice(S=100.0, sigma=0.2, r=0.05,
                                                                 lam=1.0, m=0.0, sd=0.1, n=5)
        corvane.Option.priceByKouJumpDiffusion
    """))
    result = mypy(str(bad))
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert [int(line.split(":")[1]) for line in errors] == [4, 5, 5, 6, 8], result.stdout


def stub_signatures(package):
    """{qualified name: [parameter names, '/' after positional-only ones]} from a stub."""
    tree = ast.parse((ROOT / "stubs" / f"{package}-stubs" / "__init__.pyi").read_text())
    found = {}

    def visit(node, prefix):
        for item in node.body:
            if isinstance(item, ast.ClassDef):
                visit(item, prefix + item.name + ".")
            elif isinstance(item, ast.FunctionDef):
                a = item.args
                names = [p.arg for p in a.posonlyargs] + (["/"] if a.posonlyargs else [])
                names += [p.arg for p in a.args]
                found[prefix + item.name] = names
    visit(tree, "")
    return found


def runtime_parameters(obj):
    """Parameter names from the binding layer's generated signature line."""
    line = obj.__doc__.splitlines()[0]
    inside = line[line.index("(") + 1:line.rindex(")")]
    return [part.split(":")[0].strip() for part in inside.split(", ")]


@pytest.mark.parametrize("module", [corvane, halvorn], ids=lambda m: m.__name__)
def test_stub_signatures_match_the_runtime(module):
    stubs = stub_signatures(module.__name__)
    for name, params in stubs.items():
        if name == "Option.__init__":
            continue   # no constructor: the runtime raises TypeError
        obj = module
        for part in name.split("."):
            obj = getattr(obj, part)
        runtime = runtime_parameters(obj)
        declared = [p for p in params if p != "/"]
        assert declared == runtime, name
        if name.endswith("__init__"):
            assert params[3] == "/", name   # self, arg0, arg1 positional only, as bound


def test_demonstration_prints_both_tables_and_writes_the_figure(tmp_path):
    figure = tmp_path / "figure.png"
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "demo.py"), str(figure)],
                            capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "Merton jump-diffusion calls" in out and "Kou double-exponential" in out
    assert out.count("(unchanged)") >= 10   # every row converges within the n shown
    assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and figure.stat().st_size > 20000


def test_exact_docstring_signatures():
    f = "typing.SupportsFloat | typing.SupportsIndex"
    params = ", ".join(f"{p}: {f}" for p in ["S", "r", "sigma", "lam", "p", "eta1", "eta2"])
    assert corvane.EuropeanOption.priceByKouJumpDiffusion.__doc__ == (
        f"priceByKouJumpDiffusion(self: corvane.EuropeanOption, {params}, "
        "n: typing.SupportsInt | typing.SupportsIndex) -> float\n")
    assert corvane.KouEuropeanPut.__init__.__doc__ == (
        f"__init__(self: corvane.KouEuropeanPut, arg0: {f}, arg1: {f}) -> None\n")
    assert corvane.create_european_call.__doc__ == (
        f"create_european_call(T: {f}, K: {f}) -> corvane.KouEuropeanCall\n")
    params = ", ".join(f"{p}: {f}" for p in ["S", "sigma", "r", "lam", "m", "s", "n"])
    assert halvorn.MertonEuropeanCall.JDAnalyticalPrice.__doc__ == (
        f"JDAnalyticalPrice(self: halvorn.MertonEuropeanCall, {params}) -> float\n")
    assert halvorn.MertonEuropeanCall.__init__.__doc__ == (
        f"__init__(self: halvorn.MertonEuropeanCall, arg0: {f}, arg1: {f}) -> None\n")
