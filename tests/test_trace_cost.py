"""Trace.cost_summary against the same aggregation written as a plain Python loop
(`ModelTrace.cost_summary`, run on the native trace)."""
from decimal import Decimal
from fractions import Fraction

import pydantic
import pytest
from hypothesis import given, settings, strategies as st

from orrinth.trace import CostSummary, Trace, TraceEvent

from models import ModelTrace


def shape(value):
    """Values with their exact types, so that 1 == 1.0 == True cannot pass for each other."""
    if isinstance(value, dict):
        return {k: shape(v) for k, v in value.items()}, list(value)
    return type(value), repr(value)


def assert_same_summary(trace):
    ours, theirs = trace.cost_summary(), ModelTrace.cost_summary(trace)
    assert type(ours) is CostSummary
    assert shape(dict(ours)) == shape(dict(theirs))
    return ours


def trace_of(*events):
    t = Trace()
    for e in events:
        t.add_event(e)
    return t


def msg(agent=None, i=0, o=0, c=0.0, kind="message"):
    return TraceEvent(type=kind, turn=1, agent=agent, input_tokens=i, output_tokens=o,
                      cost_usd=c)


def msg_with(**fields):
    """A message whose fields are set after validation, so they keep their exact objects."""
    e = msg()
    for k, v in fields.items():
        setattr(e, k, v)
    return e


class TestTotals:
    def test_no_messages(self):
        t = trace_of(*(msg("a", 5, 6, 1.5, kind) for kind in
                       ("state_change", "fault_injected", "property_check")))
        s = assert_same_summary(t)
        assert (s.total_input_tokens, s.total_output_tokens, s.total_cost_usd, s.per_agent) == (
            0, 0, 0.0, {})
        assert type(s.total_cost_usd) is float

    def test_per_agent_order_and_turns(self):
        s = assert_same_summary(trace_of(msg("b", 1, 2, 0.5), msg("a"), msg("b", 3, 4, 0.25)))
        assert list(s.per_agent) == ["b", "a"]
        assert s.per_agent["b"] == {"input_tokens": 4, "output_tokens": 6, "cost_usd": 0.75,
                                    "turns": 2}
        assert list(s.per_agent["a"]) == ["input_tokens", "output_tokens", "cost_usd", "turns"]
        assert s.per_agent["a"] == {"input_tokens": 0, "output_tokens": 0, "cost_usd": 0.0,
                                    "turns": 1}

    def test_unknown_agent(self):
        s = assert_same_summary(trace_of(msg(None, 1), msg("", 2), msg("__unknown__", 4),
                                         msg("x")))
        assert list(s.per_agent) == ["__unknown__", "x"]
        assert s.per_agent["__unknown__"]["input_tokens"] == 7
        assert s.per_agent["__unknown__"]["turns"] == 3

    @pytest.mark.parametrize("values", [
        [2**63 - 1, 1], [2**63 - 1, 1, -1], [-(2**63), -1], [2**200, -(2**200), 5],
        [1, 2**64, 3], [2**62, 2**62, 2**62, -(2**63)],
    ])
    def test_unbounded_integers(self, values):
        s = assert_same_summary(trace_of(*(msg("a", v, -v) for v in values)))
        assert s.total_input_tokens == sum(values) and s.total_output_tokens == -sum(values)

    def test_cost_summed_in_event_order(self):
        costs = [1e16, 1.0, -1e16, 1.0, 0.1, 0.2, 0.3]
        agents = ["a", "b", "a", "b", "b", "a", "b"]
        s = assert_same_summary(trace_of(*(msg(a, c=c) for a, c in zip(agents, costs))))
        expected = 0.0
        for c in costs:
            expected += c
        assert s.total_cost_usd == expected == 1.6
        assert s.total_cost_usd != sum(v["cost_usd"] for v in s.per_agent.values())

    def test_subclass_get_messages_decides(self):
        class OnlyA(Trace):
            def get_messages(self):
                return [e for e in super().get_messages() if e.agent == "a"]

        t = OnlyA()
        for e in (msg("a", 1), msg("b", 2), msg("a", 3, kind="state_change")):
            t.add_event(e)
        assert t.cost_summary().total_input_tokens == 1
        assert list(t.cost_summary().per_agent) == ["a"]

    def test_trace_unchanged(self):
        t = trace_of(msg("a", 1))
        events = t._events
        t.cost_summary()
        assert t._events is events and len(events) == 1


class Tokens(int):
    """An int subclass whose reflected addition wins over int's own."""
    def __radd__(self, other):
        return Tokens(int(other) + int(self) + 1000)


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["a", "b", "", None]),
                          st.integers(), st.integers(min_value=-2**70, max_value=2**70),
                          st.floats(min_value=-1e12, max_value=1e12)), max_size=25))
def test_matches_python_loop(rows):
    assert_same_summary(trace_of(*(msg(a, i, o, c) for a, i, o, c in rows)))


class TestNonNativeValues:
    @pytest.mark.parametrize("fields", [
        [{"input_tokens": 3}, {"input_tokens": True}, {"input_tokens": 2**70}],
        [{"input_tokens": 2**64}, {"input_tokens": False}, {"input_tokens": 1}],
        [{"input_tokens": Tokens(2)}, {"input_tokens": 5}],
        [{"output_tokens": 1}, {"output_tokens": Tokens(2)}, {"output_tokens": 2**65}],
        [{"cost_usd": 2}, {"cost_usd": 0.5}],
        [{"cost_usd": 0.5}, {"cost_usd": True}, {"cost_usd": Fraction(1, 3)}],
        [{"cost_usd": 0.25}, {"cost_usd": 2**80}],
    ])
    def test_same_result_as_python_arithmetic(self, fields):
        assert_same_summary(trace_of(*(msg_with(agent="a", **f) for f in fields)))

    @pytest.mark.parametrize("fields, error", [
        ({"cost_usd": Decimal("0.5")}, TypeError),
        ({"input_tokens": "3"}, TypeError),
        ({"input_tokens": 1.5}, pydantic.ValidationError),
        ({"agent": ["unhashable"]}, TypeError),
    ])
    def test_same_error_as_python_arithmetic(self, fields, error):
        t = trace_of(msg("a", 1, 1, 0.5), msg_with(**fields))
        with pytest.raises(error) as ours:
            t.cost_summary()
        with pytest.raises(error) as theirs:
            ModelTrace.cost_summary(t)
        assert str(ours.value) == str(theirs.value)
