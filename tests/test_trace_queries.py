"""Trace as a container: construction, add_event, the events property and the two filters."""
import collections
import sys

import pytest
from hypothesis import given, settings, strategies as st

from orrinth.trace import Trace, TraceEvent

NOTE = ("Instances of subclasses of built-in types are refused here. "
        "Convert the value to the exact built-in type first.")


def ev(kind="message", turn=1, agent=None, **kw):
    return TraceEvent(type=kind, turn=turn, agent=agent, **kw)


def type_named(name):
    return type(name, (), {})()


class Text(str):
    pass


class TestContainer:
    def test_new_trace(self):
        t = Trace()
        assert vars(t) == {"_events": [], "results": []}
        assert list(vars(t)) == ["_events", "results"]
        assert t._events is not t.results
        assert t.events == [] and t.get_messages() == [] and t.get_events_for_agent("a") == []

    def test_reinit_replaces_both_lists(self):
        t = Trace()
        old_events, old_results = t._events, t.results
        t.add_event(ev())
        t.results.append(1)
        assert t.__init__() is None
        assert t._events == [] and t.results == []
        assert t._events is not old_events and t.results is not old_results

    def test_add_event_keeps_the_objects(self):
        t, a, b = Trace(), ev(), object()
        assert t.add_event(a) is None
        t.add_event(event=b)
        t.add_event(a)
        assert t._events == [a, b, a] and all(x is y for x, y in zip(t._events, [a, b, a]))

    def test_events_is_a_fresh_shallow_copy(self):
        t, a = Trace(), ev()
        t.add_event(a)
        first, second = t.events, t.events
        assert first == second == [a] and first is not second and first is not t._events
        first.append(ev())
        assert t._events == [a]
        t.events[0].data["k"] = 1
        assert a.data == {"k": 1}

    @pytest.mark.parametrize("action, message", [
        (lambda t: setattr(t, "events", []), "property 'events' of 'Trace' object has no setter"),
        (lambda t: delattr(t, "events"), "property 'events' of 'Trace' object has no deleter"),
    ])
    def test_events_is_read_only(self, action, message):
        with pytest.raises(AttributeError) as err:
            action(Trace())
        assert str(err.value) == message

    def test_results_is_ordinary(self):
        t = Trace()
        t.results = ["x"]
        assert t.results == ["x"] and t.events == []

    def test_object_defaults(self):
        t = Trace()
        assert t != Trace() and t == t and hash(t) == object.__hash__(t)
        assert repr(t).startswith("<orrinth.trace.Trace object at 0x")
        with pytest.raises(TypeError, match="^object of type 'Trace' has no len"):
            len(t)

    def test_events_replaced_by_other_sequences(self):
        class Recording(list):
            calls = 0

            def append(self, item):
                Recording.calls += 1
                super().append(item)

        t = Trace()
        t._events = Recording()
        t.add_event(ev())
        assert Recording.calls == 1 and type(t.events) is list and len(t.events) == 1
        t._events = collections.deque([ev("state_change"), ev()])
        t.add_event(ev(agent="a"))
        assert [e.type for e in t.get_messages()] == ["message", "message"]
        assert len(t.get_events_for_agent("a")) == 1 and len(t.events) == 3


class TestGetMessages:
    def test_only_messages_in_order(self):
        t = Trace()
        events = [ev("message", 1), ev("state_change"), ev("message", 2), ev("fault_injected"),
                  ev("property_check", -1)]
        for e in events:
            t.add_event(e)
        got = t.get_messages()
        assert got == [events[0], events[2]] and got[0] is events[0] and got[1] is events[2]

    def test_object_without_type(self):
        t = Trace()
        t.add_event(ev())
        t.add_event(3)
        with pytest.raises(AttributeError, match="^'int' object has no attribute 'type'$"):
            t.get_messages()
        assert len(t._events) == 2

    def test_comparison_rules(self):
        class Loose:
            def __init__(self, type):
                self.type = type

        class Falsy:
            def __eq__(self, other):
                return []

        class Truthy:
            def __eq__(self, other):
                return [0]

        class Equal(str):
            def __eq__(self, other):
                return True
            __hash__ = str.__hash__

        t = Trace()
        items = [Loose(Falsy()), Loose(Truthy()), Loose(Equal("x")), Loose(1), Loose("message")]
        for item in items:
            t.add_event(item)
        assert t.get_messages() == items[1:3] + items[4:]


class TestGetEventsForAgent:
    def test_matches_by_equality(self):
        t = Trace()
        events = [ev(agent="a"), ev(agent=None), ev(agent=""), ev(agent="b"), ev(agent="a")]
        for e in events:
            t.add_event(e)
        assert t.get_events_for_agent("a") == [events[0], events[4]]
        assert t.get_events_for_agent(name="") == [events[2]]
        assert t.get_events_for_agent("z") == []

    @pytest.mark.parametrize("arg, message", [
        (None, "Argument 'name' has incorrect type (expected str, got NoneType)"),
        (1, "Argument 'name' has incorrect type (expected str, got int)"),
        (b"a", "Argument 'name' has incorrect type (expected str, got bytes)"),
        (Text("a"), f"Argument 'name' has incorrect type (expected str, got Text). {NOTE}"),
        (type_named("x" * 300), "Argument 'name' has incorrect type (expected str, got "
                                + "x" * 200 + ")"),
        (type_named("a" + "é" * 150), "Argument 'name' has incorrect type (expected str, got a"
                                      + "é" * 99 + ")"),
    ])
    def test_exact_str_required(self, arg, message):
        t = Trace()
        t.add_event(3)  # would fail the scan: the test comes first
        with pytest.raises(TypeError) as err:
            t.get_events_for_agent(arg)
        assert str(err.value) == message

    def test_object_without_agent(self):
        t = Trace()
        t.add_event(object())
        with pytest.raises(AttributeError, match="^'object' object has no attribute 'agent'$"):
            t.get_events_for_agent("a")

    def test_attribute_is_left_operand(self):
        seen = []

        class Agent(str):
            def __eq__(self, other):
                seen.append((str(self), other))
                return str.__eq__(self, other)
            __hash__ = str.__hash__

        t = Trace()
        e = ev()
        e.agent = Agent("a")
        t.add_event(e)
        assert t.get_events_for_agent("a") == [e] and seen == [("a", "a")]


# ---- appends: stored in place while the list has room, exactly as list.append

SHAPES = {"range": lambda n: list(range(n)), "appended": lambda n: [x for x in range(n)],
          "repeated": lambda n: [0] * n}  # lists whose allocations differ


@settings(max_examples=200, deadline=None)
@given(st.integers(0, 40), st.integers(0, 40), st.sampled_from(sorted(SHAPES)), st.integers(1, 20))
def test_add_event_and_filters_append_as_list_append(n, cut, shape, extra):
    event, trace = ev(), Trace()
    trace._events, model = SHAPES[shape](n), SHAPES[shape](n)
    del trace._events[max(0, n - cut):], model[max(0, n - cut):]  # shrinks some of them
    for _ in range(extra):
        trace.add_event(event)
        model.append(event)
        assert trace._events == model and sys.getsizeof(trace._events) == sys.getsizeof(model)
    trace._events = [event if i % 3 else ev(agent="a") for i in range(n + extra)]
    for got in (trace.get_messages(), trace.get_events_for_agent("a"), trace.snapshot(5)._events):
        want = []
        for e in got:
            want.append(e)
        assert got == want and sys.getsizeof(got) == sys.getsizeof(want)
