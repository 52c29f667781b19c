"""The fast JSONL routes against the plain ones: same events, same bytes, same errors."""
import contextlib
import enum
import json
import math
import pathlib
import subprocess
import sys
import textwrap
import types

import pydantic
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from jsonl_differential import natively_writable, read_both, write_both
from orrinth import _jsonl_routes as routes
from orrinth.trace import Trace, TraceEvent

SETTINGS = settings(max_examples=300, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture,
                                           HealthCheck.too_slow])


@pytest.fixture(autouse=True, scope="module")
def fast_routes_on():
    major_minor = tuple(int(p) for p in pydantic.VERSION.split(".")[:2])
    if major_minor not in routes.CHECKED_PYDANTIC:
        pytest.skip(f"pydantic {pydantic.VERSION} is not a checked release: plain routes only")
    assert routes.enabled, "the import-time probe turned the fast routes off"
    assert routes.builds_events, "the import-time probe turned the event builder off"
    assert routes.writes_events, "the import-time probe turned the native writer off"


# --------------------------------------------------------------------------- lines

SPACES = [" ", "\t", "\r", "\x0b", "\x0c", "\x1c", "\x85", "\xa0", "\u2028", "\u3000", "\ufeff"]
LAX = {
    "type": st.sampled_from(["message", "state_change", "fault_injected", "property_check",
                             "Message", "", 1, None]),
    "turn": st.one_of(st.integers(), st.sampled_from(["3", " 4 ", "1e2", "0x1", 2.0, 2.5, True,
                                                      None, "", 10**30])),
    "agent": st.one_of(st.none(), st.text(max_size=8), st.integers(0, 3)),
    "timestamp": st.one_of(st.floats(), st.integers(), st.sampled_from(["1.5", "inf", "nan", True])),
    "input_tokens": st.one_of(st.integers(-2, 2**70), st.sampled_from([1.0, 1.5, "7", False])),
    "cost_usd": st.one_of(st.floats(), st.sampled_from([0, "0.5", 10**40])),
}
VALID = {
    "type": st.sampled_from(["message", "state_change", "fault_injected", "property_check"]),
    "turn": st.integers(-(2**63), 2**63),
    "agent": st.one_of(st.none(), st.text(max_size=8)),
    "timestamp": st.floats(allow_nan=False, allow_infinity=False),
    "input_tokens": st.integers(0, 2**40),
    "output_tokens": st.integers(0, 2**40),
    "cost_usd": st.floats(allow_nan=False, allow_infinity=False),
}
JSON_VALUES = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(min_value=-(10**40), max_value=10**40),
              st.floats(), st.text()),
    lambda inner: st.one_of(st.lists(inner, max_size=4),
                            st.dictionaries(st.text(max_size=5), inner, max_size=4)),
    max_leaves=12)
NUMBER_TEXT = st.sampled_from(["-0", "-0.0", "1E400", "-1e400", "1e-400", "5e-324", "NaN",
                               "Infinity", "-Infinity", "-NaN", "01", "1.", ".5", "+1",
                               "123456789012345678901234567890", "1.7976931348623157e308",
                               "2.2250738585072011e-308", "9007199254740993", "1_0"])


@st.composite
def lines(draw):
    """One line: a record (valid, lax or broken) as JSON text, maybe damaged."""
    if draw(st.integers(0, 2)) == 0:
        record = {k: draw(v) for k, v in LAX.items() if draw(st.integers(0, 4))}
    else:
        record = {k: draw(v) for k, v in VALID.items() if k in ("type", "turn") or draw(st.booleans())}
    if draw(st.booleans()):
        record["data"] = draw(st.dictionaries(st.text(max_size=5), JSON_VALUES, max_size=4))
    if draw(st.booleans()):
        record[draw(st.text(max_size=6))] = draw(JSON_VALUES)
    text = json.dumps(record, ensure_ascii=draw(st.booleans()),
                      separators=draw(st.sampled_from([(",", ":"), (", ", ": "), (" ,\t", "\n:")])))
    edit = draw(st.integers(0, 16))
    if edit == 1 and len(text) > 2:  # a number literal of its own
        text = text[:-1] + ',"data":{"n":' + draw(NUMBER_TEXT) + "}}"
    elif edit == 2:  # a duplicate key
        text = text[:-1] + (", " if len(text) > 2 else "") + '"turn": ' + draw(NUMBER_TEXT) + "}"
    elif edit == 3:  # escapes, lone surrogates and raw control characters in a string
        esc = draw(st.sampled_from(["\\ud800", "\\udfff", "\\ud83d\\ude00", "\\u0000", "\x01",
                                    "\x7f", "\\/", "\\x41", "\\", "\u2028", "\\u12"]))
        text = '{"type":"message","turn":1,"agent":"' + esc + '"}'
    elif edit == 4:  # nesting
        depth = draw(st.integers(1, 260))
        text = '{"type":"message","turn":1,"data":{"d":' + "[" * depth + "]" * depth + "}}"
    elif edit == 5:  # a cut
        text = text[: draw(st.integers(0, len(text)))]
    elif edit == 6:  # a stray character
        i = draw(st.integers(0, len(text)))
        text = text[:i] + draw(st.sampled_from(list("{}[],:\"x0 ") + SPACES)) + text[i:]
    elif edit == 7:
        text = draw(st.text(max_size=30))
    pad = st.text(st.sampled_from(SPACES + ["\n"]), max_size=3)
    return draw(pad) + text + draw(pad)


@SETTINGS
@given(st.lists(lines(), min_size=1, max_size=4), st.sampled_from(["\n", "\r\n", "\r"]),
       st.booleans())
def test_reading_matches_plain_route(tmp_path, rows, newline, bom):
    path = tmp_path / "t.jsonl"
    text = ("\ufeff" if bom else "") + newline.join(rows)
    path.write_bytes(text.encode("utf-8", "surrogatepass"))
    read_both(path)


@pytest.mark.parametrize("line", [
    '{"type":"message","turn":1,"agent":"a","data":{"k":[1,"é",null]},"timestamp":1.5}',
    '{"type":"property_check","turn":-1,"turn":"2","extra":1,"data":{"a":1,"a":{}}}',
    '{"type":"state_change","turn":1,"data":{"n":NaN,"i":-Infinity,"z":-0.0,"b":' + "9" * 600 + "}}",
])
def test_typical_lines_take_the_fast_route(tmp_path, line):
    path = tmp_path / "t.jsonl"
    path.write_text(line + "\n\n  " + line + "\r\n")
    counts, trace = read_both(path)
    assert counts == (2, 0) and len(trace.events) == 2


class Collecting(Trace):
    def add_event(self, event):
        self._events.append(("seen", event))


def test_subclass_reads_through_its_add_event(tmp_path):
    path = tmp_path / "t.jsonl"
    path.write_text('{"type":"message","turn":1}\n')
    counts, trace = read_both(path, Collecting)
    assert counts == (1, 0) and trace.events[0][0] == "seen"


def nested(depth):
    return '{"type":"message","turn":1,"data":{"d":' + "[" * depth + "]" * depth + "}}"


@pytest.mark.parametrize("depth", [1, 60, 150, 199, 200, 260, 2000])
@pytest.mark.parametrize("headroom", [None, 70, 160, 240, 400])
def test_recursion_limit_decides_alike(tmp_path, depth, headroom):
    """A line nested close to the recursion limit fails (or not) on both routes alike."""
    path = tmp_path / "t.jsonl"
    path.write_text(nested(depth) + "\n")

    @contextlib.contextmanager
    def limited():
        old = sys.getrecursionlimit()
        frame, used = sys._getframe(), 0
        while frame:
            frame, used = frame.f_back, used + 1
        if headroom:
            sys.setrecursionlimit(used + headroom)
        try:
            yield
        finally:
            sys.setrecursionlimit(old)

    read_both(path, within=limited)


@pytest.mark.parametrize("digits, limit", [(640, 640), (641, 640), (700, 699), (5000, 0),
                                           (4300, None), (4301, None)])
def test_integer_digit_limit_decides_alike(tmp_path, digits, limit):
    path = tmp_path / "t.jsonl"
    path.write_text('{"type":"message","turn":' + "7" * digits + "}\n")
    old = sys.get_int_max_str_digits()
    if limit is not None:
        sys.set_int_max_str_digits(limit)
    try:
        read_both(path)
    finally:
        sys.set_int_max_str_digits(old)


# --------------------------------------------------------------------------- events

class Colour(enum.Enum):
    RED = "red"


class Sub(str):
    pass


class Unserialisable:
    pass


ODD_VALUES = st.sampled_from([(1, 2), {3}, b"\xff", Colour.RED, Sub("s"), Unserialisable(),
                              "\ud800", 10**30, math.nan, -0.0, 1e16, 1.5e-07, float("inf"),
                              {1: "int key", 2.5: "float key", None: 0, True: 1}])
DATA = st.dictionaries(st.text(max_size=5), st.one_of(JSON_VALUES, ODD_VALUES), max_size=4)
# Assignments after construction: pydantic does not validate them.
REASSIGN = st.sampled_from([("turn", "3"), ("turn", True), ("cost_usd", 1), ("agent", 5),
                            ("type", "bogus"), ("data", [1]), ("timestamp", math.inf),
                            ("agent", Sub("a")), ("input_tokens", 2.0)])


class SubEvent(TraceEvent):
    pass


@st.composite
def events(draw):
    cls = draw(st.sampled_from([TraceEvent, TraceEvent, TraceEvent, SubEvent]))
    event = cls(type=draw(st.sampled_from(["message", "state_change", "fault_injected",
                                           "property_check"])),
                turn=draw(st.integers(-3, 2**64)), agent=draw(st.one_of(st.none(), st.text())),
                data=draw(DATA), timestamp=draw(st.floats()), cost_usd=draw(st.floats()),
                input_tokens=draw(st.integers(0, 10**6)))
    if draw(st.integers(0, 5)) == 0:
        name, value = draw(REASSIGN)
        object.__setattr__(event, name, value)
    return event


class OwnOpen(type(pathlib.Path())):
    """A Path whose own open() is called: the save writes text in place."""

    def open(self, *args, **kwargs):
        return super().open(*args, **kwargs)


@SETTINGS
@given(st.lists(events(), max_size=5), st.booleans())
def test_writing_matches_plain_route(tmp_path, evs, in_place):
    trace = Trace()
    for e in evs:
        trace.add_event(e)
    counts = write_both(trace, OwnOpen(tmp_path) if in_place else tmp_path)
    if counts is not None:
        assert counts[2] == sum(map(natively_writable, evs))


@pytest.mark.parametrize("in_place", [False, True])
def test_plain_events_take_the_fast_route(tmp_path, in_place):
    trace = Trace()
    for i in range(3):
        trace.add_event(TraceEvent(type="message", turn=i, agent="é", data={"x": [1e16, None]}))
    trace.add_event(SubEvent(type="message", turn=9))
    assert write_both(trace, OwnOpen(tmp_path) if in_place else tmp_path) == (3, 1, 3)


def test_shadowing_attributes_take_the_plain_route(tmp_path):
    trace = Trace()
    shadows = {"model_dump_json": lambda: '{"shadowed":1}',
               "__pydantic_serializer__": types.SimpleNamespace(
                   to_json=lambda *a, **k: b'{"shadowed":2}')}
    for name, value in shadows.items():
        e = TraceEvent(type="message", turn=1)
        object.__setattr__(e, name, value)
        trace.add_event(e)
    trace.add_event(TraceEvent(type="message", turn=2))
    assert write_both(trace, tmp_path) == (1, 2, 1)


# --------------------------------------------------------------------------- guards

@pytest.mark.parametrize("change, routes_taken", [
    ("pass", "fast fast"),
    ("m.json = types.SimpleNamespace(loads=json.loads)", "fast plain"),
    ("json.loads = lambda s, _l=json.loads: _l(s)", "fast plain"),
    ("m.TraceEvent = type('TraceEvent', (m.TraceEvent,), {})", "fast plain"),
    ("m.TraceEvent.model_validate = classmethod(lambda c, v: c.__pydantic_validator__"
     ".validate_python(v))", "plain plain"),
    ("pydantic.BaseModel.model_dump_json = pydantic.BaseModel.model_dump_json", "plain plain"),
    ("type(m.TraceEvent).extra_attribute = 1", "plain plain"),
    ("routes.force_plain = 1", "plain plain"),
])
def test_guards_fail_closed(change, routes_taken):
    """Anything that may change what the plain route does turns the fast route off."""
    script = textwrap.dedent(f"""
        import json, pathlib, sys, tempfile, types
        import pydantic
        import orrinth.trace as m
        from orrinth import _jsonl_routes as routes
        path = pathlib.Path(tempfile.mkdtemp()) / "t.jsonl"
        t = m.Trace()
        t.add_event(m.TraceEvent(type="message", turn=1))
        {change}
        t.to_jsonl(path)
        written = routes.last_counts
        m.Trace.from_jsonl(path)
        print(*["fast" if c == (1, 0) else "plain" if c == (0, 1) else c
                for c in (written, routes.last_counts)])
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == routes_taken
