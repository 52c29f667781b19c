"""Property-based fuzzing of the two entry points that take outside data: reading trace
files (arbitrary bytes, and lines mixing valid events with junk) and dispatching arbitrary
handler results. Only the documented exceptions may come out, never a SystemError or a
crash, and whatever comes out must be what the documented algorithm gives.
"""

import json
import math
import pathlib
import tempfile

import pydantic
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from orrinth.trace import Trace, TraceEvent

import models
from models import ModelTrace
from support import outcome

FUZZ = settings(max_examples=300, deadline=None, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

# What reading a trace file may raise: the decoding error, the JSON parser's error, the
# record's validation error. The JSON parser also enforces its own limits (nesting depth,
# digits of an integer), which raise RecursionError and ValueError from json itself.
READ_ERRORS = (UnicodeDecodeError, json.JSONDecodeError, pydantic.ValidationError)


@pytest.fixture(scope="module")
def workdir():
    with tempfile.TemporaryDirectory() as d:
        yield pathlib.Path(d)


json_scalars = st.one_of(st.none(), st.booleans(), st.integers(),
                         st.floats(allow_nan=False, allow_infinity=False), st.text(max_size=8))
json_values = st.recursive(json_scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.dictionaries(st.text(max_size=5), inner, max_size=3)),
    max_leaves=8)
kinds = st.sampled_from(["message", "state_change", "fault_injected", "property_check"])
event_dicts = st.fixed_dictionaries(
    {"type": kinds, "turn": st.integers(-3, 2 ** 70)},
    optional={"agent": st.one_of(st.none(), st.text(max_size=6)),
              "data": st.dictionaries(st.text(max_size=5), json_values, max_size=3),
              "timestamp": st.floats(allow_nan=False, allow_infinity=False),
              "input_tokens": st.integers(0, 10 ** 6), "output_tokens": st.integers(0, 10 ** 6),
              "cost_usd": st.floats(0, 100), "extra": json_values})
junk_lines = st.one_of(
    st.text(max_size=20),
    json_values.map(json.dumps),
    event_dicts.map(lambda d: json.dumps(d)[:-1]),              # cut short
    event_dicts.map(lambda d: json.dumps({**d, "type": "other"})),
    event_dicts.map(lambda d: json.dumps(d) + json.dumps(d)),    # two values on a line
    st.sampled_from(["NaN", "[", "{}", '{"type": "message"}', "\ufeff{}", "\x00", "\u2028"]),
)
lines = st.one_of(event_dicts.map(json.dumps), event_dicts.map(json.dumps), junk_lines)
padding = st.sampled_from(["", " ", "\t", "  \t", "\x0b", "\x0c", "\u3000", "\x1c"])
line_ends = st.sampled_from(["\n", "\r\n", "\r"])


class TestFromJsonl:
    @FUZZ
    @given(data=st.one_of(
        st.binary(max_size=600),
        st.text(max_size=300).map(lambda t: t.encode("utf-8", "surrogatepass")),
        st.tuples(st.lists(lines, max_size=6).map("\n".join).map(str.encode),
                  st.integers(0, 10 ** 6), st.binary(min_size=1, max_size=3)).map(
            lambda t: t[0][:t[1] % (len(t[0]) + 1)] + t[2] + t[0][t[1] % (len(t[0]) + 1):])))
    def test_arbitrary_bytes(self, workdir, data):
        path = workdir / "bytes.jsonl"
        path.write_bytes(data)
        try:
            trace = Trace.from_jsonl(path)
        except READ_ERRORS as e:
            event(type(e).__name__)
            return
        except RecursionError:
            return  # the JSON parser's nesting limit
        event("ok")
        assert all(type(e) is TraceEvent for e in trace.events)
        assert trace.results == []

    @FUZZ
    @given(rows=st.lists(st.tuples(padding, lines, padding, line_ends), max_size=8),
           last_end=st.booleans())
    def test_lines_match_the_documented_reader(self, workdir, rows, last_end):
        text = "".join(a + line + b + end for a, line, b, end in rows)
        if rows and not last_end:
            text = text.rstrip("\r\n")
        path = workdir / "lines.jsonl"
        path.write_text(text, newline="")
        got, expected = outcome(Trace.from_jsonl, path), outcome(ModelTrace.from_jsonl, path)
        event(got[0] if got[0] == "ok" else got[0].__name__)
        assert got[0] == expected[0]
        if got[0] == "ok":
            assert got[1].events == expected[1].events
        else:
            assert issubclass(got[0], READ_ERRORS)
            if got[0] is not pydantic.ValidationError:  # whose text holds reprs
                assert got[1] == expected[1]

    @FUZZ
    @given(events=st.lists(event_dicts, max_size=6))
    def test_round_trip(self, workdir, events):
        trace = Trace()
        for d in events:
            trace.add_event(TraceEvent(**d))
        path = workdir / "sub" / "round.jsonl"
        trace.to_jsonl(path)
        assert path.read_text() == "".join(e.model_dump_json() + "\n" for e in trace.events)
        back = Trace.from_jsonl(path)
        assert back.events == trace.events
        assert sorted(p.name for p in path.parent.iterdir()) == ["round.jsonl"]


# ---------------------------------------------------------------------------------------
# receive with arbitrary handler results.

class StrSub(str):
    pass


class DictSub(dict):
    pass


class Key:
    """A key with a comparison of its own: equal to "content", raising, or odd."""

    def __init__(self, mode):
        self.mode = mode

    def __hash__(self):
        return hash(self.mode)

    def __eq__(self, other):
        return isinstance(other, Key) and other.mode == self.mode

    def __ne__(self, other):
        if self.mode == "raise":
            raise ArithmeticError("key compared")
        if self.mode == "equal":
            return False
        if self.mode == "nan":
            return math.nan  # truthy
        return NotImplemented

    def __repr__(self):
        return f"Key({self.mode})"


keys = st.one_of(st.text(max_size=8), st.just("content"), st.just(StrSub("content")),
                 st.builds(StrSub, st.text(max_size=4)), st.none(), st.integers(), st.floats(),
                 st.binary(max_size=4), st.tuples(st.integers()),
                 st.sampled_from(["raise", "equal", "nan", "plain"]).map(Key))
values = st.one_of(json_scalars, st.lists(st.integers(), max_size=2), st.builds(object))
dict_results = st.dictionaries(keys, values, max_size=5)
results = st.one_of(
    st.text(max_size=10), st.builds(StrSub, st.text(max_size=5)),
    dict_results, dict_results, dict_results.map(DictSub), dict_results.map(DictSub),
    st.none(), st.integers(), st.floats(), st.binary(max_size=5), st.booleans(),
    st.lists(values, max_size=3), st.tuples(values), st.frozensets(st.integers(), max_size=3),
    st.builds(object), st.just(Trace()),
)
messages = st.builds(lambda s, c, t: type("M", (), {"sender": s, "content": c, "turn": t})(),
                     values, values, values)


@pytest.fixture(scope="module")
def raw():
    return pytest.importorskip("orrinth.adapters.raw")


class TestReceive:
    @FUZZ
    @given(result=results, message=messages, takes_state=st.booleans())
    def test_arbitrary_results(self, raw, result, message, takes_state):
        seen = []

        def one(m):
            seen.append(m)
            return result

        def two(m, s):
            seen.append(m)
            return result

        agent = raw.RawAgent("fuzz", two if takes_state else one, {"k": 1})
        got = outcome(agent.receive, message)
        event(got[0] if got[0] == "ok" else got[0].__name__)
        assert list(seen[0].values()) == [message.sender, message.content, message.turn]
        if isinstance(result, (str, dict)):
            want = outcome(models.response_arguments, result)
            if want[0] != "ok":
                assert got == want
                return
            assert got[0] == "ok", got
            assert got[1].content is want[1]["content"]
            if "metadata" not in want[1]:
                assert got[1].metadata == {}
            else:
                assert type(got[1].metadata) is dict
                assert list(got[1].metadata.items()) == list(want[1]["metadata"].items())
        else:
            assert got == (TypeError, (
                f"Handler for agent 'fuzz' returned {type(result).__name__}; "
                "expected str or dict with 'content' key."))
        assert agent.get_state() == {"k": 1}
