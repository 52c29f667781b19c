"""Trace.snapshot: the up_to_turn conversion, the inclusive bound and what a snapshot shares."""
from decimal import Decimal
from fractions import Fraction

import pytest

import orrinth.trace as mod
from orrinth.trace import Trace, TraceEvent

TURNS = [-2, -1, 0, 1, 2, 3]


@pytest.fixture
def trace():
    t = Trace()
    kinds = ["message", "state_change", "fault_injected"]
    for i, turn in enumerate(TURNS):
        t.add_event(TraceEvent(type=kinds[i % 3], turn=turn))
        if turn in (-1, 2):
            t.add_event(TraceEvent(type="property_check", turn=turn))
    t.add_event(TraceEvent(type="property_check", turn=-10**30))
    return t


def turns(t):
    return [(e.type, e.turn) for e in t._events]


class Indexed:
    def __index__(self):
        return 1


class Int(int):
    def __int__(self):
        return 0


class OnlyFloat:
    def __float__(self):
        return 1.0


class TestBound:
    @pytest.mark.parametrize("bound, upto", [
        (1, 1), (-1, -1), (-3, None), (10**40, 3), (True, 1), (False, 0), (2.9, 2), (-2.9, -2),
        (-0.5, 0), (Decimal("2.7"), 2), (Fraction(5, 2), 2), (Indexed(), 1), (Int(3), 0),
    ])
    def test_inclusive_after_conversion(self, trace, bound, upto):
        snap = trace.snapshot(bound)
        expected = [] if upto is None else [t for t in TURNS if t <= upto]
        assert [e.turn for e in snap._events] == expected
        assert all(e.type != "property_check" for e in snap._events)

    @pytest.mark.parametrize("arg, name", [
        ("3", "str"), (None, "NoneType"), ([1], "list"), (b"1", "bytes"), (object(), "object"),
    ])
    def test_non_numbers_refused(self, monkeypatch, trace, arg, name):
        monkeypatch.setattr(mod, "Trace", lambda: pytest.fail("snapshot created"))
        with pytest.raises(TypeError) as err:
            trace.snapshot(arg)
        assert str(err.value) == (
            f"Argument 'up_to_turn' has incorrect type (expected int, got {name})")

    @pytest.mark.parametrize("arg", [float("nan"), float("inf"), -float("inf"), 1j, OnlyFloat()])
    def test_conversion_errors_are_ints(self, monkeypatch, trace, arg):
        with pytest.raises(Exception) as expected:
            int(arg)
        monkeypatch.setattr(mod, "Trace", lambda: pytest.fail("snapshot created"))
        with pytest.raises(type(expected.value)) as err:
            trace.snapshot(up_to_turn=arg)
        assert str(err.value) == str(expected.value)

    def test_comparison_gets_an_exact_int_on_the_right(self):
        seen = []

        class Turn:
            def __le__(self, other):
                seen.append((type(other), other))
                return True

        t = Trace()
        e = TraceEvent(type="message", turn=0)
        e.turn = Turn()
        t.add_event(e)
        assert t.snapshot(Int(5))._events == [e] and seen == [(int, 0)]


class TestSnapshotContent:
    def test_empty(self):
        assert Trace().snapshot(5)._events == []

    def test_order_and_kinds_kept(self, trace):
        assert turns(trace.snapshot(3)) == [("message", -2), ("state_change", -1),
                                            ("fault_injected", 0), ("message", 1),
                                            ("state_change", 2), ("fault_injected", 3)]

    def test_property_check_turn_never_read(self):
        class Check:
            type = "property_check"

            @property
            def turn(self):
                raise AssertionError("turn read")

        t = Trace()
        t.add_event(Check())
        assert t.snapshot(0)._events == []

    def test_shares_events_not_lists(self, trace):
        trace.results.append("r")
        snap = trace.snapshot(3)
        kept = [e for e in trace._events if e.type != "property_check"]
        assert len(snap._events) == 6 and all(a is b for a, b in zip(snap._events, kept))
        assert snap.results == [] and list(vars(snap)) == ["_events", "results"]
        snap._events[0].data["seen"] = True
        assert trace._events[0].data == {"seen": True}
        trace.add_event(TraceEvent(type="message", turn=0))
        snap.add_event(TraceEvent(type="message", turn=0))
        assert len(snap._events) == 7 and len(trace._events) == 10

    def test_source_unchanged_on_error(self, trace):
        before = list(trace._events)
        trace.add_event(object())
        with pytest.raises(AttributeError, match="^'object' object has no attribute 'type'$"):
            trace.snapshot(3)
        assert trace._events[:-1] == before and len(trace._events) == len(before) + 1


class TestSnapshotClass:
    def test_subclass_instance_gives_plain_trace(self, trace):
        class Sub(Trace):
            pass

        sub = Sub()
        sub._events = list(trace._events)
        assert type(sub.snapshot(1)) is Trace

    def test_trace_looked_up_at_call_time(self, monkeypatch, trace):
        added = []

        class Recording(Trace):
            def add_event(self, event):
                added.append(event.turn)
                super().add_event(event)

        monkeypatch.setattr(mod, "Trace", Recording)
        snap = trace.snapshot(0)
        assert type(snap) is Recording and added == [-2, -1, 0]


class Turn(int):
    """An int whose own comparison says every turn is early enough."""

    def __le__(self, other):
        return True


@pytest.mark.parametrize("turn, bound, included", [
    (2**70, 2**70, True),           # beyond 64 bits: compared as Python ints
    (2**70, 2**70 - 1, False),
    (-2**70, -2**70 + 1, True),
    (2**63, 2**63 - 1, False),
    (True, 1, True),                # an int subclass value (bool) takes the generic comparison
    (Turn(100), 0, True),           # and so does one with its own __le__
])
def test_turn_comparison_outside_the_machine_word(turn, bound, included):
    event = TraceEvent(type="message", turn=0)
    event.turn = turn  # assignment is not validated
    trace = Trace()
    trace.add_event(event)
    assert (trace.snapshot(bound).events == [event]) is included
