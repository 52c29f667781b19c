"""Events written natively by the fast save route, byte for byte against pydantic's
model_dump_json(): floats of every layout, strings of every kind, nesting, and the values
that must go through the serializer instead."""
import math
import struct
import subprocess
import sys
import textwrap

import pydantic
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from jsonl_differential import NATIVE_DEPTH, natively_writable, write_both
from orrinth import _jsonl_routes as routes
from orrinth.trace import Trace, TraceEvent

SETTINGS = settings(max_examples=300, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture,
                                           HealthCheck.too_slow])


@pytest.fixture(autouse=True, scope="module")
def native_writer_on():
    if not routes._pydantic_checked():
        pytest.skip(f"pydantic {pydantic.VERSION} is not a checked release: plain routes only")
    assert routes.enabled and routes.writes_events, "the import-time probe turned the writer off"


def trace_of(events) -> Trace:
    trace = Trace()
    for e in events:
        trace.add_event(e)
    return trace


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
def events(draw):
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
@given(st.lists(events(), min_size=1, max_size=4))
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
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["False", "False", "False", "(0,", "1)"]
