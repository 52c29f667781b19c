"""Helpers shared by the test modules: the outcome of a call as a comparable value, fresh
interpreters that import the same orrinth as the tests, and a small trace with the exact
lines it is saved as."""

import os
import pathlib
import subprocess
import sys
import textwrap

import orrinth
from orrinth.trace import Trace, TraceEvent

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


# A trace of two events and the lines to_jsonl writes for it.
LINE1 = ('{"type":"message","turn":1,"agent":"a","data":{"k":[1,"é"]},"timestamp":1.5,'
         '"input_tokens":3,"output_tokens":4,"cost_usd":0.25}\n')
LINE2 = ('{"type":"property_check","turn":-1,"agent":null,"data":{},"timestamp":0.0,'
         '"input_tokens":0,"output_tokens":0,"cost_usd":0.0}\n')


def sample():
    t = Trace()
    t.add_event(TraceEvent(type="message", turn=1, agent="a", data={"k": [1, "é"]},
                           timestamp=1.5, input_tokens=3, output_tokens=4, cost_usd=0.25))
    t.add_event(TraceEvent(type="property_check", turn=-1))
    return t


def unserialisable():
    t = sample()
    bad = TraceEvent(type="message", turn=2)
    bad.data["x"] = object()
    t.add_event(bad)
    t.add_event(TraceEvent(type="message", turn=3))
    return t
