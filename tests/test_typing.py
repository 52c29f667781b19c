"""The shipped stubs: mypy --strict accepts ordinary use and the example, refuses wrong
calls with the expected error codes, and stubtest finds the stubs true to the modules."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import orrinth

pytest.importorskip("mypy", reason="mypy is part of the test extra")

ROOT = Path(__file__).resolve().parent.parent
TYPING = ROOT / "tests" / "typing"
PACKAGE = Path(orrinth.__file__).resolve().parent
STUBS = [PACKAGE / "trace.pyi", PACKAGE / "adapters" / "raw.pyi"]
ERROR_LINE = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: .*\[(?P<code>[a-z-]+)\]$")


@pytest.fixture(scope="module")
def mypy_env(tmp_path_factory: pytest.TempPathFactory) -> tuple[dict[str, str], Path]:
    """Environment and config for mypy runs that see the orrinth under test.

    An installed orrinth is found through the interpreter's site-packages (as a user's
    mypy finds it, through py.typed); a source checkout on PYTHONPATH through MYPYPATH.
    """
    work = tmp_path_factory.mktemp("mypy")
    config = work / "mypy.ini"
    config.write_text(f"[mypy]\ncache_dir = {work / 'cache'}\n")
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    if PACKAGE.parent.name not in ("site-packages", "dist-packages"):
        env["MYPYPATH"] = str(PACKAGE.parent)
    return env, config


def run_mypy(mypy_env: tuple[dict[str, str], Path], *files: Path) -> subprocess.CompletedProcess[str]:
    env, config = mypy_env
    # Imported modules are checked for their types but not reported on, as for any
    # installed dependency; the files named here are reported on in full.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", str(config), "--strict",
         "--follow-imports=silent", "--no-pretty", *map(str, files)],
        cwd=ROOT, env=env, capture_output=True, text=True, timeout=300,
    )


def test_py_typed_marker_sits_next_to_the_stubs() -> None:
    assert (PACKAGE / "py.typed").is_file()
    assert all(stub.is_file() for stub in STUBS)


def test_strict_mypy_accepts_the_example_and_ordinary_usage(mypy_env: tuple[dict[str, str], Path]) -> None:
    proc = run_mypy(mypy_env, ROOT / "examples" / "simulated_run.py", TYPING / "usage_ok.py")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.startswith("Success: no issues found in 2 source files")


def test_the_stubs_themselves_pass_strict_mypy(mypy_env: tuple[dict[str, str], Path]) -> None:
    # Checked from the source tree: an installed copy cannot be named as a file to check.
    env, config = mypy_env
    env = {k: v for k, v in env.items() if k != "MYPYPATH"}
    stubs = [ROOT / "src" / "orrinth" / stub.relative_to(PACKAGE) for stub in STUBS]
    proc = run_mypy((env, config), *stubs)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.startswith("Success: no issues found in 2 source files")


def test_the_command_line_and_recorder_pass_strict_mypy(mypy_env: tuple[dict[str, str], Path]) -> None:
    env, config = mypy_env
    env = {k: v for k, v in env.items() if k != "MYPYPATH"}
    source = ROOT / "src" / "orrinth"
    proc = run_mypy((env, config), source / "cli", source / "recorder.py", source / "__main__.py",
                    source / "runmeta.py", source / "checks.py", source / "frames.py",
                    source / "otel.py")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.startswith("Success: no issues found")


def test_strict_mypy_refuses_each_marked_misuse(mypy_env: tuple[dict[str, str], Path]) -> None:
    bad = TYPING / "usage_bad.py"
    expected = set()
    for number, line in enumerate(bad.read_text().splitlines(), start=1):
        mark = re.search(r"# E: ([a-z-]+)$", line)
        if mark:
            expected.add((number, mark.group(1)))
    assert len(expected) >= 20

    proc = run_mypy(mypy_env, bad)
    assert proc.returncode == 1, proc.stdout + proc.stderr
    found = set()
    for line in proc.stdout.splitlines():
        m = ERROR_LINE.match(line)
        if m:
            assert Path(m["file"]).name == "usage_bad.py", line
            found.add((int(m["line"]), m["code"]))
    assert found == expected, proc.stdout


@pytest.mark.parametrize("module", ["orrinth.trace", "orrinth.adapters.raw"])
def test_stubtest_finds_the_stubs_true_to_the_module(
    mypy_env: tuple[dict[str, str], Path], module: str
) -> None:
    env, config = mypy_env
    # stubtest imports the module; it must be the one under test.
    env = dict(env, PYTHONPATH=os.pathsep.join(p for p in (str(PACKAGE.parent), env.get("PYTHONPATH")) if p))
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config), module],
        cwd=ROOT, env=env, capture_output=True, text=True, timeout=300,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Success: no issues found in 1 module" in proc.stdout


def test_strict_pyright_accepts_the_example_and_ordinary_usage(tmp_path: Path) -> None:
    # The PyPI package bundles pyright itself; its nodejs extra brings node, so no
    # download happens at run time. Without either it cannot start: then say why.
    try:
        import pyright  # noqa: F401
    except ImportError:
        pytest.skip("pyright is not installed (the test extra installs pyright[nodejs])")
    config = {"typeCheckingMode": "strict", "pythonVersion": "3.11"}
    if PACKAGE.parent.name not in ("site-packages", "dist-packages"):
        config["extraPaths"] = [str(PACKAGE.parent)]  # type: ignore[assignment]
    (tmp_path / "pyrightconfig.json").write_text(json.dumps(config))
    # pyright loads none of the native modules: node runs without the sanitizer runtime.
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYRIGHT_PYTHON") and k != "LD_PRELOAD"}
    files = [ROOT / "examples" / "simulated_run.py", TYPING / "usage_ok.py", *sorted((PACKAGE / "cli").glob("*.py")),
             PACKAGE / "recorder.py", PACKAGE / "runmeta.py", PACKAGE / "checks.py", PACKAGE / "frames.py",
             PACKAGE / "otel.py"]
    proc = subprocess.run(
        [sys.executable, "-m", "pyright", "--pythonpath", sys.executable, "-p", str(tmp_path / "pyrightconfig.json"),
         *map(str, files)],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600,
    )
    summary = re.search(r"^(\d+) errors?, \d+ warnings?, \d+ informations? ?$", proc.stdout, re.M)
    if summary is None and proc.returncode not in (0, 1):
        pytest.skip(f"pyright could not run here: {(proc.stderr or proc.stdout).strip()[-300:]}")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert summary is not None and summary.group(1) == "0", proc.stdout
