"""Helpers shared by the test modules: the outcome of a call as a comparable value, and
fresh interpreters that import the same orrinth as the tests."""

import os
import pathlib
import subprocess
import sys
import textwrap

import orrinth

# Where the orrinth under test lives (the source tree or an installed copy), and this
# folder, so that children can import `models`.
PKG_ROOT = str(pathlib.Path(orrinth.__file__).resolve().parent.parent)
TESTS_DIR = str(pathlib.Path(__file__).resolve().parent)


def outcome(fn, *args, **kwargs):
    """("ok", result), or (exception type, message). A SystemError, the interpreter's word
    for a broken native contract, is never an outcome: it fails the test."""
    try:
        return "ok", fn(*args, **kwargs)
    except SystemError:
        raise
    except Exception as e:  # noqa: BLE001 - compared as (type, text)
        return type(e), str(e)


def child_env():
    """The environment of a child interpreter: this one's, with orrinth and `models`
    importable."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PKG_ROOT, TESTS_DIR,
                                                      env.get("PYTHONPATH")]))
    return env


def run_python(source, *args, timeout=120):
    """Run `source` (dedented) with `args` in a fresh interpreter, with faulthandler on,
    so that a crash shows its stack in the captured output."""
    return subprocess.run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(source),
                           *map(str, args)], capture_output=True, text=True, timeout=timeout,
                          env=child_env())
