"""The two routes of orrinth.trace's JSON Lines reading and writing (internal).

The plain route makes the calls the file format is defined by: per line
``TraceEvent.model_validate(json.loads(line))``, per event ``event.model_dump_json()``.
The fast route calls what those wrap directly: pydantic-core's JSON parser and the
class's validator and serializer. orrinth.trace takes the fast route only while it
cannot be told apart from the plain one; this module decides, once per process, whether
the installed pydantic is one whose wrappers were checked to make exactly those calls,
and runs both routes side by side on a few probe lines and events. Any difference, or
any error in the probe, keeps the fast route off.

For events whose values are plain JSON data, orrinth.trace also writes the serializer's
bytes itself; `probe_events` gives the events it must write exactly as the serializer
does (floats and strings of every form the format tells apart), or the fast routes stay
off altogether.

For files that a read opens itself as UTF-8 text, orrinth.trace also reads the bytes
itself and parses lines of the common exact shape straight into events; any line it
does not handle exactly goes the way it would have gone without it, and any failure
makes the whole file be read again through the text file, so errors stay the same.

Not part of the public API. Tests and benchmarks use `force_plain` and `native_reads`
(read on every call of to_jsonl and from_jsonl), `setattr_event_slots` (read once, at
import), `last_counts`, `last_native_writes` and `last_native_reads`; orrinth.recorder uses `read_lines`, from_jsonl's own reading of
lines, for text that is not a whole file.
"""

from __future__ import annotations

import json
import math
import struct
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any

import pydantic
import pydantic_core
from pydantic import BaseModel

if TYPE_CHECKING:
    from orrinth.trace import Trace

# pydantic releases (major, minor) whose model_validate and model_dump_json were checked
# to call the validator and serializer with their defaults, and on which the differential
# tests pass. Any other release takes the plain route.
CHECKED_PYDANTIC = frozenset({(2, 13), (2, 14)})

# True: to_jsonl and from_jsonl take the plain route for every line and event.
force_plain = False

# False: from_jsonl reads every file through its text file object (no native reader).
native_reads = True

# True before orrinth.trace is imported: the events the fast routes build are made by
# the class's __new__ and get their __dict__ and pydantic attributes through setattr, not
# stored into the object directly.
setattr_event_slots = False

# Whether they are stored directly (set by orrinth.trace at import).
direct_event_slots = False

# (fast, plain): how many lines or events the last successful to_jsonl or from_jsonl
# handled on each route. Set by orrinth.trace.
last_counts = (0, 0)

# How many of the fast route's events the last successful to_jsonl wrote itself (the
# others went through the serializer). Set by orrinth.trace.
last_native_writes = 0

# How many lines of the last successful from_jsonl the native reader parsed itself (they
# count as fast in last_counts too). Set by orrinth.trace.
last_native_reads = 0

# Whether the fast routes are on in this process (set by orrinth.trace after the probe),
# whether lines of the common exact shape are made into events by orrinth.trace itself
# rather than by the validator, and whether events of plain JSON data are written by it
# (set after probing those too).
enabled = False
builds_events = False
writes_events = False
reads_natively = False

# `read_lines(cls, lines, name)`, set by orrinth.trace: the trace `cls()` holding the events
# of `lines` (str, as iterating a text file gives them), read exactly as from_jsonl reads the
# lines of a file, with its notes naming `name` (for the file) and the line on a failure.
read_lines: Callable[[type[Trace], Iterable[str], object], Trace]

PROBE_LINES = [
    '{"type":"message","turn":12,"agent":"agent-03","data":{"seq":123,"tool":"search","ok":true},'
    '"timestamp":1700000030.75,"input_tokens":1234,"output_tokens":345,"cost_usd":0.0012345}',
    '{"type":"property_check","turn":-1}',
    '{"type":"state_change","turn":"3","agent":null,"timestamp":1,"input_tokens":2.0,'
    '"cost_usd":"0.5","extra":[1,{"b":null}],"turn":4}',
    '{ "type" : "fault_injected" , "turn" : 0 , "data" : {"k":1e400,"n":NaN,"m":-Infinity,'
    '"big":123456789012345678901234567890,"tiny":1e-400,"z":-0.0,"i":-0,"sub":5e-324,'
    '"u":"\u00e9\\u00e9\\n\\u0001\\ud83d\\ude00\\"\\/","e":[[],{}],"k":2} }',
]

# Lines of the exact shape that exercise the native parser: every escape, lone and paired
# surrogates, duplicate keys, the constants, integers past 64 bits, floats at the edges of
# rounding, nesting, raw non-ASCII text.
NATIVE_PROBE_LINES = [
    '{"type":"message","turn":0,"data":{"a":"\\ud800","b":"\\udc00x","c":"\\ud83d\\ude00",'
    '"d":"\\ud83d\\u0041","e":"\\b\\f\\n\\r\\t\\/\\\\\\"","f":"\u00e9\U0001f600\\u00E9"}}',
    '{"turn":-0,"type":"state_change","turn":98765432109876543210,"agent":"x","agent":null,'
    '"data":{"k":[1,-1,9223372036854775807,-9223372036854775808,18446744073709551616],"k":0}}',
    '{"type":"fault_injected","turn":1,"timestamp":NaN,"cost_usd":-Infinity,"data":{"i":Infinity,'
    '"f":[0.1,1e23,2.2250738585072011e-308,4.9406564584124654e-324,1e400,-1e-400,1.7976931348623158e308,'
    '0.30000000000000004,123456789012345678901234567890.5e-10,1E5,1e+5,1.5E-5,-0.0]}}',
    '{"type":"property_check","turn":7,"agent":"\u00e9t\u00e9","input_tokens":3,"output_tokens":4,'
    '"data":{"":{"":[[[],{}],{"x":[true,false,null]}]},"\u2028":"\\u2028"},"timestamp":1700000030.75,'
    '"cost_usd":0.0012345}',
]

PROBE_DATA = [
    {},
    {"f": [1e16, 1.5e-07, -0.0, 0.1, 1e-300, 123456789.0, 2.0**70]},
    {"s": "caf\u00e9 \u2028 \x00\x1f\x7f \U0001f600 \"'\\/", 1: (True, None), 2.5: {"n": [{}]}},
    {"inf": math.inf, "nan": math.nan, "ninf": -math.inf, "big": 10**40},
]


def _probe_floats() -> list[float]:
    """Doubles of every layout the serializer gives, on both sides of each switch from
    plain to exponent notation, and the extremes."""
    floats = [0.0, -0.0, 1.0, -2.5, 0.1, 0.25, 1700000030.75, 0.0012345, 123456789.0,
              1e-5, 1.5e-5, 9.99e-6, 1e-6, 1.5e-7, 1e15, 9999999999999998.0, 1e16, 1.2345e16,
              2.0**53, 2.0**53 + 2, 2.0**70, 1e22, 1e23, 1e300, 1.7976931348623157e308,
              2.2250738585072014e-308, 5e-324, 1e-310, 0.30000000000000004, 1 / 3,
              math.nan, math.inf, -math.inf]
    return floats + [-x for x in floats if x > 0]


PROBE_STRINGS = ["", "plain", "".join(map(chr, range(0x20))) + "\x7f \"\\/'",
                 "caf\u00e9 \u00ff \u0100 \u2028 \ufffd \uffff \U00010000 \U0001f600 \U0010ffff"]


def probe_events(cls: type[BaseModel]) -> list[BaseModel]:
    """Events of plain JSON data that orrinth.trace must write byte for byte as the
    serializer does, for its own writer to be used."""
    floats = _probe_floats()
    data = {"floats": floats, "strings": PROBE_STRINGS, "ints": [0, -1, 2**63 - 1, -(2**63)],
            "consts": [True, False, None], "nested": {"a": [{"b": [[]]}, {}], "": {}},
            **{s: i for i, s in enumerate(PROBE_STRINGS)}}
    events = [cls(type="message", turn=1, agent="a", data=data, timestamp=1700000030.75,
                  input_tokens=640, output_tokens=5, cost_usd=0.001995),
              cls(type="property_check", turn=-1)]
    events += [cls(type="state_change", turn=2**63 - 1, agent=s, data={s: s}, timestamp=f,
                   input_tokens=-(2**63), cost_usd=-f)
               for s, f in zip(PROBE_STRINGS * len(floats), floats)]
    return events


def same(a: Any, b: Any) -> bool:
    """Whether two results are the same object for object: equal values of the very same
    types, dict keys in the same order, floats equal to the bit (so -0.0 and NaN count),
    and for pydantic models also the fields set, extra and private attributes. Walks
    without recursion, so any nesting that was read can be compared."""
    pending = [(a, b)]
    while pending:
        a, b = pending.pop()
        if type(a) is not type(b):
            return False
        if isinstance(a, float):
            if struct.pack("<d", a) != struct.pack("<d", b):
                return False
        elif isinstance(a, dict):
            if len(a) != len(b):
                return False
            for (ka, va), (kb, vb) in zip(a.items(), b.items()):
                pending += [(ka, kb), (va, vb)]
        elif isinstance(a, (list, tuple)):
            if len(a) != len(b):
                return False
            pending += zip(a, b)
        elif isinstance(a, BaseModel):
            if a.model_fields_set != b.model_fields_set:
                return False
            pending += [(a.__dict__, b.__dict__), (a.__pydantic_extra__, b.__pydantic_extra__),
                        (a.__pydantic_private__, b.__pydantic_private__)]
        elif a is None or isinstance(a, (bool, int, str, bytes)):
            if a != b:
                return False
        else:
            return False
    return True


def _pydantic_checked() -> bool:
    try:
        major, minor = (int(p) for p in pydantic.VERSION.split(".")[:2])
    except ValueError:
        return False
    return (major, minor) in CHECKED_PYDANTIC


def _probe(cls: type[BaseModel], from_json, validate, to_json) -> bool:
    events = []
    for line in PROBE_LINES:
        plain = cls.model_validate(json.loads(line))
        fast = validate(from_json(line))
        if not same(plain, fast):
            return False
        events.append(plain)
    events += [cls(type="message", turn=i, agent="a\u00e9", data=d, timestamp=t, cost_usd=c)
               for i, (d, t, c) in enumerate(zip(PROBE_DATA, [0.0, 1e16, -0.0, 1.5e-07],
                                                 [1e-7, 0.1, 2.0, 1e22]))]
    return all(to_json(e) == e.model_dump_json().encode() for e in events)


def fast_calls(cls: type[BaseModel]):
    """The calls of the fast route for `cls`: (parser, validator, serializer), or None
    when the fast route must stay off in this process."""
    try:
        if not _pydantic_checked():
            return None
        if (getattr(cls.model_validate, "__func__", None) is not BaseModel.model_validate.__func__
                or cls.model_dump_json is not BaseModel.model_dump_json):
            return None
        calls = (pydantic_core.from_json, cls.__pydantic_validator__.validate_python,
                 cls.__pydantic_serializer__.to_json)
        return calls if _probe(cls, *calls) else None
    except Exception:
        return None
