"""The fast JSONL routes against the plain ones: same events, same bytes, same errors; and
the events the native writer writes itself, byte for byte against pydantic's
model_dump_json(): floats of every layout, strings of every kind, nesting, and the values
that must go through the serializer instead."""
import contextlib
import enum
import json
import math
import pathlib
import struct
import subprocess
import sys
import textwrap
import types

import pydantic
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from jsonl_differential import NATIVE_DEPTH, natively_writable, read_both, write_both
from orrinth import _jsonl_routes as routes
from orrinth.trace import Trace, TraceEvent

SETTINGS = settings(max_examples=300, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture,
                                           HealthCheck.too_slow])


@pytest.fixture(autouse=True, scope="module")
def fast_routes_on():
    if not routes._pydantic_checked():
        pytest.skip(f"pydantic {pydantic.VERSION} is not a checked release: plain routes only")
    assert routes.enabled, "the import-time probe turned the fast routes off"
    assert routes.builds_events, "the import-time probe turned the event builder off"
    assert routes.writes_events, "the import-time probe turned the native writer off"


def trace_of(events) -> Trace:
    trace = Trace()
    for e in events:
        trace.add_event(e)
    return trace


def run_script(script: str) -> str:
    """What `script` prints in a fresh interpreter (which must succeed)."""
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          check=True).stdout


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
    counts = write_both(trace_of(evs), OwnOpen(tmp_path) if in_place else tmp_path)
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


# --------------------------------------------------------------------------- the native writer

def save_and_compare(tmp_path, events):
    """Save `events` on both routes (assert same bytes or same failure) and check that the
    fast route wrote exactly the natively writable ones itself. The counts, or None."""
    counts = write_both(trace_of(events), tmp_path)
    if counts is not None:
        assert counts[2] == sum(map(natively_writable, events))
    return counts


def save_lines(tmp_path, events):
    """The lines the fast route writes, checked against model_dump_json() one by one."""
    path = tmp_path / "t.jsonl"
    trace_of(events).to_jsonl(path)
    assert routes.last_native_writes == len(events)
    lines = path.read_text(encoding="utf-8").split("\n")
    assert lines.pop() == ""
    for event, line in zip(events, lines, strict=True):
        assert line == event.model_dump_json()


# --------------------------------------------------------------------------- floats

def from_bits(bits: int) -> float:
    return struct.unpack("<d", bits.to_bytes(8, "little"))[0]


def neighbours(x: float) -> list:
    return [math.nextafter(x, -math.inf), x, math.nextafter(x, math.inf)]


FLOATS = st.one_of(
    st.floats(),
    st.integers(0, 2**64 - 1).map(from_bits),
    # short decimals of every scale: timestamps, amounts, tenths
    st.builds(lambda m, k: m / 10**k, st.integers(-(10**17), 10**17), st.integers(0, 24)),
    st.builds(lambda m, e: float(f"{m}e{e}"), st.integers(1, 99999), st.integers(-30, 30)),
    # near the switches between plain and exponent notation, and between subnormals
    st.builds(lambda e, i: neighbours(10.0**e)[i], st.integers(-8, 20), st.integers(0, 2)),
    st.floats(max_value=2.3e-308, min_value=-2.3e-308),
)


@SETTINGS
@given(st.lists(st.lists(FLOATS, min_size=2, max_size=12), min_size=1, max_size=8))
def test_floats_as_pydantic_writes_them(tmp_path, rows):
    save_lines(tmp_path, [TraceEvent(type="message", turn=i, data={"f": row, "g": {"x": row[0]}},
                                     timestamp=row[0], cost_usd=row[-1])
                          for i, row in enumerate(rows)])


def test_every_power_of_ten_and_two_with_neighbours(tmp_path):
    xs = [x for e in range(-325, 309) for x in neighbours(float(f"1e{e}"))]
    xs += [x for e in range(-1074, 1024) for x in neighbours(math.ldexp(1.0, e))]
    xs += [x for e in range(-20, 24) for m in (1.5, 9.5, 0.99999999999999999, 1.2345678901234567)
           for x in neighbours(m * 10.0**e)]
    xs = [x for x in xs if math.isfinite(x)]
    xs += [-x for x in xs] + [0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf]
    save_lines(tmp_path, [TraceEvent(type="state_change", turn=i, data={"f": xs[i:i + 64]},
                                     timestamp=xs[i], cost_usd=xs[-1 - i])
                          for i in range(0, len(xs), 64)])


# --------------------------------------------------------------------------- everything else

EVERY_CHAR = st.characters(min_codepoint=0, max_codepoint=0x10FFFF, blacklist_categories=())
TEXT = st.one_of(st.text(max_size=12),
                 st.text(st.characters(max_codepoint=0x9F), max_size=12),
                 st.text(EVERY_CHAR, max_size=6),  # lone surrogates included
                 st.sampled_from(["".join(map(chr, range(0x80))), "\u2028\u2029", "\ufeff",
                                  "\U0001f600", "\ud83d\ude00", "\udfff", "/\\\""]))
SCALARS = st.one_of(st.none(), st.booleans(), FLOATS, TEXT,
                    st.integers(-(2**63) - 2, 2**63 + 2), st.integers(), st.sampled_from(
                        [2**64, -(2**64), 10**40]))


class Str(str):
    pass


class Int(int):
    pass


class Float(float):
    pass


# Values the writer leaves to the serializer (which writes them, or fails on them).
OTHERS = st.one_of(st.tuples(SCALARS), st.frozensets(st.integers(), max_size=2),
                   st.builds(Str, TEXT), st.builds(Int, st.integers()), st.builds(Float, FLOATS),
                   st.dictionaries(st.one_of(st.integers(), st.booleans(), st.none(), FLOATS,
                                             st.builds(Str, TEXT)), SCALARS, min_size=1, max_size=2),
                   st.binary(max_size=4))
VALUES = st.recursive(st.one_of(SCALARS, SCALARS, SCALARS, OTHERS),
                      lambda inner: st.one_of(st.lists(inner, max_size=4),
                                              st.dictionaries(TEXT, inner, max_size=4)),
                      max_leaves=16)


@st.composite
def written_events(draw):
    e = TraceEvent(type=draw(st.sampled_from(["message", "state_change", "fault_injected",
                                              "property_check"])),
                   turn=draw(st.integers(-(2**63) - 1, 2**63)), agent=draw(st.one_of(st.none(), TEXT)),
                   data=draw(st.dictionaries(TEXT, VALUES, max_size=5)),
                   timestamp=draw(FLOATS), cost_usd=draw(FLOATS),
                   input_tokens=draw(st.integers(-(2**63) - 1, 2**63)), output_tokens=draw(st.integers()))
    if draw(st.integers(0, 9)) == 0:  # a field's value replaced, unvalidated
        object.__setattr__(e, draw(st.sampled_from(["agent", "turn", "timestamp", "type"])),
                           draw(st.one_of(VALUES, st.builds(Str, st.sampled_from(["message", "a"])))))
    return e


@SETTINGS
@given(st.lists(written_events(), min_size=1, max_size=4))
def test_events_as_pydantic_writes_them(tmp_path, evs):
    save_and_compare(tmp_path, evs)


def nest(kind: str, depth: int):
    v = 1.5
    for i in range(depth):
        v = {"k": v} if kind == "dict" or (kind == "mixed" and i % 2) else [v]
    return v


@pytest.mark.parametrize("kind", ["dict", "list", "mixed"])
@pytest.mark.parametrize("depth", [NATIVE_DEPTH - 1, NATIVE_DEPTH, NATIVE_DEPTH + 1, 254, 256])
def test_nesting_beyond_the_bound_goes_through_the_serializer(tmp_path, kind, depth):
    events = [TraceEvent(type="message", turn=1, data={"v": nest(kind, depth)}),
              TraceEvent(type="message", turn=2, data={"plain": True})]
    counts = save_and_compare(tmp_path, events)
    assert (counts is None) == (depth == 256)  # the serializer refuses the deepest
    if counts:
        assert counts[2] == (2 if depth <= NATIVE_DEPTH else 1)


@pytest.mark.parametrize("make_cycle", [
    lambda d: d.__setitem__("self", d),
    lambda d: d.__setitem__("l", [1, [d]]),
])
def test_cycles_fail_as_on_the_plain_route(tmp_path, make_cycle):
    data = {"a": 1}
    make_cycle(data)
    assert save_and_compare(tmp_path, [TraceEvent(type="message", turn=1, data=data)]) is None


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
    assert run_script(script).strip() == routes_taken


# --------------------------------------------------------------------------- the probe

@pytest.mark.parametrize("change", [
    # an event of the probe that the writer leaves to the serializer
    "routes.probe_events = lambda cls: [cls(type='message', turn=1, data={'t': (1,)})]",
    # a serializer that writes exponents otherwise than the writer does
    "fast_calls = routes.fast_calls\n"
    "routes.fast_calls = lambda cls: (lambda c: c and c[:2] + (lambda e: c[2](e).replace("
    "b'e+', b'E+'),))(fast_calls(cls))",
    # no probe events at all
    "routes.probe_events = lambda cls: []",
])
def test_a_writer_that_differs_from_the_serializer_turns_the_fast_routes_off(change):
    script = textwrap.dedent("""
        import pathlib, tempfile
        from orrinth import _jsonl_routes as routes
        {change}
        import orrinth.trace as m
        path = pathlib.Path(tempfile.mkdtemp()) / "t.jsonl"
        t = m.Trace()
        t.add_event(m.TraceEvent(type="message", turn=1, data={{"f": 1e16}}))
        t.to_jsonl(path)
        print(routes.enabled, routes.builds_events, routes.writes_events, routes.last_counts)
    """).format(change=change)
    assert run_script(script).split() == ["False", "False", "False", "(0,", "1)"]
