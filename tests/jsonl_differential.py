"""Both JSONL routes of orrinth.trace side by side: the same file read, or the same trace
written, once by the fast route and once by the plain one, must give the same outcome.
Shared by the tests and the fuzz target."""
from __future__ import annotations

import contextlib
import warnings
from pathlib import Path

import pydantic

from orrinth import _jsonl_routes as routes
from orrinth.trace import Trace


def _outcome(call, plain: bool, within=contextlib.nullcontext):
    """(result, exception, warnings, route counts) of `call()` on one route."""
    routes.force_plain = plain
    routes.last_counts = None
    try:
        with warnings.catch_warnings(record=True) as caught, within():
            warnings.simplefilter("always")
            try:
                return call(), None, [(w.category, str(w.message)) for w in caught], routes.last_counts
            except Exception as exc:  # noqa: BLE001 - the exception is the outcome
                return None, exc, [(w.category, str(w.message)) for w in caught], routes.last_counts
    finally:
        routes.force_plain = False


def _same_exception(a: BaseException, b: BaseException, names=("", "")) -> bool:
    """Same type, message and notes (with the file name `names[0]` of `a`'s notes read
    as `names[1]`)."""
    if type(a) is not type(b) or str(a) != str(b):
        return False
    notes = [n.replace(*names) for n in getattr(a, "__notes__", [])]
    if notes != getattr(b, "__notes__", []):
        return False
    if isinstance(a, pydantic.ValidationError):
        return a.errors(include_url=False) == b.errors(include_url=False)
    return True


def read_both(path: Path, cls=Trace, within=contextlib.nullcontext):
    """Read `path` on both routes, each inside `within()`; assert the outcomes are the
    same. Returns the fast route's counts and trace (None when it failed)."""
    fast = _outcome(lambda: cls.from_jsonl(path), False, within)
    plain = _outcome(lambda: cls.from_jsonl(path), True, within)
    if plain[1] is not None or fast[1] is not None:
        assert plain[1] is not None and fast[1] is not None, (plain[1], fast[1])
        assert _same_exception(fast[1], plain[1]), (fast[1], plain[1])
    else:
        assert type(fast[0]) is type(plain[0])
        assert routes.same(fast[0]._events, plain[0]._events)
        assert plain[3] == (0, len(plain[0]._events))
    assert fast[2] == plain[2]
    return fast[3], fast[0]


def write_both(trace, directory: Path):
    """Save `trace` into `directory` on both routes; assert that the files hold the same
    bytes or that both saves failed alike. Returns the fast route's counts."""
    paths = directory / "fast.jsonl", directory / "plain.jsonl"
    fast = _outcome(lambda: trace.to_jsonl(paths[0]), plain=False)
    plain = _outcome(lambda: trace.to_jsonl(paths[1]), plain=True)
    if plain[1] is not None or fast[1] is not None:
        assert plain[1] is not None and fast[1] is not None, (plain[1], fast[1])
        assert _same_exception(fast[1], plain[1], (paths[0].name, paths[1].name)), (fast[1], plain[1])
    else:
        assert paths[0].read_bytes() == paths[1].read_bytes()
    assert fast[2] == plain[2]
    return fast[3]
