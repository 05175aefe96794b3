import functools
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import types
import typing
from pathlib import Path

import pytest

import velbrook

ROOT = Path(__file__).resolve().parent.parent
MODULE_DIR = Path(velbrook.__file__).resolve().parent
INSTALLED = MODULE_DIR in {Path(sysconfig.get_path(k)).resolve() for k in ("purelib", "platlib")}
# An installed module is checked against the stubs its wheel installed, found by
# mypy as a user's would be; a module straight from a build directory against
# the stubs of the source tree.
STUB = (MODULE_DIR if INSTALLED else ROOT) / "velbrook-stubs" / "__init__.pyi"

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


@functools.cache
def stubbed():
    """The stub file run as a module, for its annotations."""
    stub = types.ModuleType("velbrook_stub")
    exec(compile(STUB.read_text(encoding="utf-8"), str(STUB), "exec"), stub.__dict__)
    return stub


@pytest.fixture(scope="module")
def run_mypy(tmp_path_factory):
    """Runs `python -m <tool> *args` in a scratch directory; returns (exit code, output)."""
    work = tmp_path_factory.mktemp("mypy")
    env = dict(os.environ)
    if not INSTALLED:
        stubs = work / "stubs"
        stubs.mkdir()
        shutil.copy(STUB, stubs / "velbrook.pyi")
        env["MYPYPATH"] = str(stubs)

    def run(tool, *args):
        done = subprocess.run(
            [sys.executable, "-m", tool, *args], cwd=work, env=env, capture_output=True, text=True
        )
        return done.returncode, done.stdout + done.stderr

    run.work = work
    return run


@pytest.mark.skipif(not INSTALLED, reason="velbrook is not installed")
def test_wheel_installs_the_stub_package_beside_the_module():
    assert STUB.is_file()


@needs_mypy
def test_stubtest_finds_the_stubs_consistent_with_the_module(run_mypy):
    code, out = run_mypy("mypy.stubtest", "velbrook")
    assert code == 0, out


@needs_mypy
def test_stub_is_strictly_clean_for_python_3_10(run_mypy):
    checked = run_mypy.work / "stub" / "velbrook.pyi"
    checked.parent.mkdir(exist_ok=True)
    shutil.copy(STUB, checked)
    code, out = run_mypy("mypy", "--strict", "--python-version", "3.10", "--no-incremental", str(checked))
    assert code == 0, out


@needs_mypy
def test_readme_usage_type_checks(run_mypy):
    blocks = re.findall(r"^```python\n(.*?)^```", (ROOT / "README.md").read_text(encoding="utf-8"), re.M | re.S)
    assert blocks
    files = []
    for i, block in enumerate(blocks):
        files.append(run_mypy.work / f"readme_{i}.py")
        files[-1].write_text(block)
    code, out = run_mypy("mypy", "--strict", "--python-version", "3.10", "--no-incremental", *map(str, files))
    assert code == 0, out


# Lines of a user's module, each with whether mypy must report an error on it.
MISUSE = [
    ("import velbrook", False),
    ("class Sub(velbrook.CallEdge): ...", True),
    ("edge = velbrook.call_edges('c', '')[0]", False),
    ("edge.caller = 'x'", True),
    ("velbrook.import_sources('c', 'text')", True),
    ("velbrook.function_fingerprints('c', '', '5')", True),
    ("velbrook.function_cfg('c', '', 'f').entry", True),
] + [
    line
    for name in velbrook.__all__[:7]
    for line in ((f"def make_{name}() -> None:", False), (f"    velbrook.{name}()", False), ("    print()", True))
]


@needs_mypy
def test_mypy_refuses_misuse(run_mypy):
    misuse = run_mypy.work / "misuse.py"
    misuse.write_text("".join(line + "\n" for line, _ in MISUSE))
    code, out = run_mypy("mypy", "--warn-unreachable", "--no-incremental", str(misuse))
    reported = {int(n) for n in re.findall(r"misuse\.py:(\d+): error", out)}
    assert reported == {i for i, (_, error) in enumerate(MISUSE, 1) if error}, out


def properties(stub_class):
    return {name: typing.get_type_hints(prop.fget)["return"]
            for name, prop in vars(stub_class).items() if isinstance(prop, property)}


def violations(value, hint, where):
    """What in `value` does not match the stub annotation `hint`, as readable paths."""
    origin, args = typing.get_origin(hint), typing.get_args(hint)
    wrong = [f"{where} = {value!r} is not {hint}"]
    if origin in (typing.Union, types.UnionType):
        return [] if any(not violations(value, a, where) for a in args) else wrong
    if origin is list:
        if type(value) is not list:
            return wrong
        return [v for i, item in enumerate(value) for v in violations(item, args[0], f"{where}[{i}]")]
    if origin is tuple:
        if type(value) is not tuple or len(value) != len(args):
            return wrong
        return [v for i, (item, a) in enumerate(zip(value, args)) for v in violations(item, a, f"{where}[{i}]")]
    if isinstance(hint, type) and getattr(stubbed(), hint.__name__, None) is hint:
        if type(value) is not getattr(velbrook, hint.__name__):
            return wrong
        return [v for name, h in properties(hint).items() for v in violations(getattr(value, name), h, f"{where}.{name}")]
    return [] if type(value) is hint else wrong


@pytest.mark.parametrize("name", velbrook.__all__[:7])
def test_stub_properties_are_the_read_only_attributes(name):
    runtime = {n for n, v in vars(getattr(velbrook, name)).items() if isinstance(v, types.GetSetDescriptorType)}
    assert set(properties(getattr(stubbed(), name))) == runtime


# Calls whose results hold every attribute both ways where it can be None.
CALLS = [
    ("languages", ()),
    ("supported_languages_report", ()),
    ("call_edges", ("c", "int g(void);\nint f(void) { g(); return h(); }\n")),
    ("import_sources", ("python", b"import os\nfrom a.b import c\n")),
    ("function_cfg", ("c", "int f(int n) { while (n) n--; if (n) return 1; return 0; }", "f")),
    ("function_cfg", ("c", "int f(void) { return 0; }", "g")),
    ("function_fingerprints", ("javascript", "function f() { return () => 1; }", 0)),
    ("suppressions", ("c", "// tools:suppress lint:a\nint x;\n// tools:suppress lint:b\n")),
    ("ignored_regions", ("c", "// tools:off\nint x;\n// tools:on\n// tools:off lint other\nint y;\n")),
]


@pytest.mark.parametrize("function, args", CALLS)
def test_results_match_the_stub_annotations(function, args):
    hint = typing.get_type_hints(getattr(stubbed(), function))["return"]
    assert violations(getattr(velbrook, function)(*args), hint, function) == []


def test_every_function_and_class_is_stubbed():
    assert stubbed().__all__ == velbrook.__all__
    assert {f for f, _ in CALLS} == set(velbrook.__all__[7:])
