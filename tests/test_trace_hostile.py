"""Queries whose callbacks (comparisons, attribute reads, dumps) mutate the trace or raise.

Each native query is run against a trace built afresh and compared with the same query
written as a plain Python loop over `_events`: the results must be what Python's own list
iteration gives, and nothing may crash.
"""
import gc
import io
import types

import pytest

import orrinth.trace as mod
from orrinth.trace import CostSummary, Trace

from models import ModelTrace
from support import outcome


class Hostile(Exception):
    pass


ACTIONS = {
    "clear": lambda t: t._events.clear(),
    "append": lambda t: t._events.append(Event(t, "late", "message", "a", 0)),
    "delete_before": lambda t: t._events.__delitem__(0),
    "delete_self": lambda t: t._events.__delitem__(1),
    "rebind": lambda t: setattr(t, "_events", [Event(t, "other", "message", "a", 0)]),
    "reinit": lambda t: t.__init__(),
    "raise": lambda t: (_ for _ in ()).throw(Hostile("callback")),
}


class Fire:
    """Runs the action on the trace once, at the first trigger."""

    def __init__(self, trace, action):
        self.trace, self.action = trace, action

    def __call__(self):
        action, self.action = self.action, None
        if action:
            action(self.trace)
            gc.collect()


class Text(str):
    fire = None

    def __eq__(self, other):
        self.fire()
        return str.__eq__(self, other)

    def __bool__(self):
        self.fire()
        return len(self) > 0

    __hash__ = str.__hash__


class Num(int):
    fire = None

    def __le__(self, other):
        self.fire()
        return int(self) <= other

    def __radd__(self, other):
        self.fire()
        return other + int(self)


class Event:
    """A message-like event; `via` names the field whose read or value runs `fire`."""

    def __init__(self, trace, label, kind, agent, turn, fire=None, via=None):
        self.label, self._fire, self._via = label, fire, via
        self._fields = {"type": kind, "agent": agent, "turn": turn, "input_tokens": 2,
                        "output_tokens": 3, "cost_usd": 0.5}
        if via and via.endswith("_value"):
            name = via[:-len("_value")]
            value = self._fields[name]
            value = Text(value) if isinstance(value, str) else Num(value)
            value.fire = fire
            self._fields[name] = value

    def __getattr__(self, name):
        fields = self.__dict__["_fields"]
        if name not in fields:
            raise AttributeError(name)
        if self._via == name:
            self._fire()
        return fields[name]

    def model_dump_json(self):
        if self._via == "dump":
            self._fire()
        return '{"label":"%s"}' % self.label


def build(action, via):
    t = Trace()
    fire = Fire(t, ACTIONS[action])
    for ev in (Event(t, "first", "message", "a", 0),
               Event(t, "hostile", "message", "a", 1, fire, via),
               Event(t, "state", "state_change", "a", 2),
               Event(t, "check", "property_check", "a", -1),
               Event(t, "last", "message", "b", 3)):
        t._events.append(ev)
    return t


class Sink:
    """Not a Path: written in place, collecting the text."""

    def __init__(self):
        self.parent = types.SimpleNamespace(mkdir=lambda **kw: None)
        self.buffer = io.StringIO()

    def open(self, mode):
        self.buffer.close = lambda: None
        return self.buffer


def written_through_sink(save):
    """A run that saves the trace with `save(trace, sink)` and gives the text written."""
    def run(t):
        sink = Sink()
        save(t, sink)
        return sink.buffer.getvalue()
    return run


def labels(result):
    if isinstance(result, (Trace, ModelTrace)):
        result = result._events
    if isinstance(result, list):
        return [e.label for e in result]
    if isinstance(result, CostSummary):
        return result.model_dump()
    return result


def run_hostile(run, action, via):
    """The outcome of `run` on a trace built afresh, and the labels left in the trace.
    The only exception a run may end with is the one the callback raised."""
    t = build(action, via)
    result = outcome(lambda: labels(run(t)))
    assert result[0] in ("ok", Hostile), result
    return result, [e.label for e in t._events]


QUERIES = {
    "get_messages": (lambda t: t.get_messages(), ModelTrace.get_messages,
                     ["type", "type_value"]),
    "get_events_for_agent": (lambda t: t.get_events_for_agent("a"),
                             lambda t: ModelTrace.get_events_for_agent(t, "a"),
                             ["agent", "agent_value"]),
    "snapshot": (lambda t: t.snapshot(2), lambda t: ModelTrace.snapshot(t, 2),
                 ["type", "type_value", "turn", "turn_value"]),
    "cost_summary": (lambda t: t.cost_summary(), ModelTrace.cost_summary,
                     ["agent", "agent_value", "input_tokens", "input_tokens_value", "cost_usd"]),
}


def query_cases():
    for name, (native, python, vias) in QUERIES.items():
        for via in vias:
            for action in ACTIONS:
                yield pytest.param(native, python, action, via, id=f"{name}-{via}-{action}")


@pytest.mark.parametrize("native, python, action, via", list(query_cases()))
def test_query_as_python_iterates(native, python, action, via):
    ours = run_hostile(native, action, via)
    assert ours == run_hostile(python, action, via)
    if action == "raise":
        assert ours[0] == (Hostile, "callback")


@pytest.mark.parametrize("action", list(ACTIONS))
def test_to_jsonl_in_place(action):
    native = written_through_sink(lambda t, sink: t.to_jsonl(sink))
    python = written_through_sink(ModelTrace.to_jsonl)
    assert run_hostile(native, action, "dump") == run_hostile(python, action, "dump")


@pytest.mark.parametrize("action", list(ACTIONS))
def test_to_jsonl_through_temp_file(tmp_path, action):
    path = tmp_path / "t.jsonl"
    path.write_text("old\n")

    def native(t):
        t.to_jsonl(path)
        return path.read_text()

    python = written_through_sink(ModelTrace.to_jsonl)
    ours = run_hostile(native, action, "dump")
    if action == "raise":
        assert path.read_text() == "old\n"
    assert ours == run_hostile(python, action, "dump")
    assert [p.name for p in tmp_path.iterdir()] == ["t.jsonl"]


def test_event_list_mutated_by_add_event_subclass(monkeypatch):
    """snapshot and from_jsonl call add_event, which user code may override."""
    class Greedy(Trace):
        def add_event(self, event):
            super().add_event(event)
            source._events.clear()

    source = build("clear", None)
    monkeypatch.setattr(mod, "Trace", Greedy)
    snap = source.snapshot(5)
    assert labels(snap) == ["first"] and source._events == []
