"""Both JSONL routes of orrinth.trace side by side: the same file read, or the same trace
written, once by the fast route and once by the plain one, must give the same outcome.
Shared by the tests and the fuzz target."""
from __future__ import annotations

import contextlib
import warnings
from pathlib import Path

import pydantic

from orrinth import _jsonl_routes as routes
from orrinth.trace import Trace, TraceEvent


def _outcome(call, plain: bool, within=contextlib.nullcontext):
    """(result, exception, warnings, route counts) of `call()` on one route; the counts of
    a save end with how many events were written natively."""
    routes.force_plain = plain
    routes.last_counts = routes.last_native_writes = None
    try:
        with warnings.catch_warnings(record=True) as caught, within():
            warnings.simplefilter("always")
            try:
                result, exc = call(), None
            except Exception as e:  # noqa: BLE001 - the exception is the outcome
                result, exc = None, e
        counts = routes.last_counts
        if counts is not None and routes.last_native_writes is not None:
            counts += (routes.last_native_writes,)
        return result, exc, [(w.category, str(w.message)) for w in caught], counts
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
    bytes or that both saves failed alike. Returns the fast route's counts (fast, plain,
    written natively), None when the saves failed."""
    paths = directory / "fast.jsonl", directory / "plain.jsonl"
    fast = _outcome(lambda: trace.to_jsonl(paths[0]), plain=False)
    plain = _outcome(lambda: trace.to_jsonl(paths[1]), plain=True)
    if plain[1] is not None or fast[1] is not None:
        assert plain[1] is not None and fast[1] is not None, (plain[1], fast[1])
        assert _same_exception(fast[1], plain[1], (paths[0].name, paths[1].name)), (fast[1], plain[1])
    else:
        assert paths[0].read_bytes() == paths[1].read_bytes()
        assert plain[3] == (0, len(trace.events), 0)
    assert fast[2] == plain[2]
    return fast[3]


FIELDS = ["type", "turn", "agent", "data", "timestamp", "input_tokens", "output_tokens", "cost_usd"]
KINDS = {"message", "state_change", "fault_injected", "property_check"}
NATIVE_DEPTH = 32  # containers nested deeper inside `data` go through the serializer


def _encodable(s: str) -> bool:
    try:
        s.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _plain_json(v, depth: int) -> bool:
    """Whether `v`, inside `depth` containers of `data`, is plain JSON data to the writer."""
    t = type(v)
    if t is str:
        return _encodable(v)
    if t is int:
        return -(2**63) <= v < 2**63
    if v is None or t is bool or t is float:
        return True
    if t is dict:
        return depth < NATIVE_DEPTH and all(type(k) is str and _encodable(k) and _plain_json(x, depth + 1)
                                            for k, x in v.items())
    if t is list:
        return depth < NATIVE_DEPTH and all(_plain_json(x, depth + 1) for x in v)
    return False


def natively_writable(event) -> bool:
    """Whether the fast route writes `event` itself instead of calling the serializer: an
    exact TraceEvent with exactly its fields, each of its exact type, and plain JSON data
    within 64-bit ints and the depth bound everywhere in `data`."""
    d = getattr(event, "__dict__", None)
    if type(event) is not TraceEvent or type(d) is not dict or list(d) != FIELDS:
        return False
    return (type(d["type"]) is str and d["type"] in KINDS
            and all(type(d[k]) is int and -(2**63) <= d[k] < 2**63
                    for k in ("turn", "input_tokens", "output_tokens"))
            and (d["agent"] is None or (type(d["agent"]) is str and _encodable(d["agent"])))
            and type(d["data"]) is dict and _plain_json(d["data"], -1)
            and type(d["timestamp"]) is float and type(d["cost_usd"]) is float)
