"""Hostile callers: callbacks that mutate, replace or free what the native code is walking,
re-entrant calls, odd objects where records are expected, garbage collection at every
allocation, and threads. Most cases run in a child interpreter, so a crash is a failed
test that shows the child's output, not a lost test run; the queries whose callbacks
mutate the trace run here, each compared with the same query as a Python loop.

Each child prints one line per operation: "returned <what>" or "raised <type>: <message>",
and "done" at the end. A SystemError (the interpreter's word for a broken native contract)
is never caught and fails the child.
"""

import gc
import io
import textwrap
import types

import pytest

import orrinth.trace as mod
from orrinth.trace import CostSummary, Trace

from models import ModelTrace
from support import outcome, run_python

PRELUDE = '''
import gc, json, sys, threading
from orrinth.trace import CostSummary, Trace, TraceEvent
from models import ModelTrace

def describe(r):
    if isinstance(r, list):
        return "list of %d" % len(r)
    if isinstance(r, (Trace, ModelTrace)):
        return "%s of %d" % (type(r).__name__.replace("Model", ""), len(r._events))
    if isinstance(r, CostSummary):
        return "CostSummary(%r, %r, %r, %r)" % (r.total_input_tokens, r.total_output_tokens,
                                                r.total_cost_usd, r.per_agent)
    return type(r).__name__

def attempt(fn, *args, **kwargs):
    try:
        r = fn(*args, **kwargs)
    except SystemError:
        raise
    except RecursionError:
        print("raised RecursionError")  # its wording depends on where the limit hit
        return None
    except Exception as e:
        # First line only: a validation error goes on with object reprs.
        print("raised %s: %s" % (type(e).__name__, str(e).split("\\n")[0]))
        return None
    print("returned", describe(r))
    return r

class Ev:
    # A stand-in event with plain fields.
    def __init__(self, type="message", turn=0, agent="a", input_tokens=1, output_tokens=1,
                 cost_usd=0.5):
        self.type, self.turn, self.agent = type, turn, agent
        self.input_tokens, self.output_tokens, self.cost_usd = input_tokens, output_tokens, cost_usd
    def model_dump_json(self):
        return '{"type":"message","turn":0}'

Impl = Trace
tr = Trace()
def fill(*events):
    tr.__init__()
    for e in events:
        tr.add_event(e)
'''

RAW_PRELUDE = PRELUDE + '''
import orrinth.adapters.raw as raw
from orrinth.agent import Message
import models
msg = Message(sender="user", content="hi", turn=1)
'''


def run_child(body, prelude=PRELUDE, timeout=300):
    proc = run_python(prelude + textwrap.dedent(body) + '\nprint("done")\n', timeout=timeout)
    output = proc.stdout + proc.stderr
    assert proc.returncode == 0, f"child exited with {proc.returncode}:\n{output}"
    lines = proc.stdout.splitlines()
    assert lines and lines[-1] == "done", output
    return lines[:-1]


def run_against_reference(body):
    """Run `body` once with the native Trace and once with ModelTrace, the documented
    algorithms in Python; the native run must print exactly what the reference prints."""
    looped = ("for Impl in (Trace, ModelTrace):\n    tr = Impl()\n    print('--')\n" +
              textwrap.indent(textwrap.dedent(body), "    "))
    out = run_child(looped)
    cut = out.index("--", 1)
    native, reference = out[1:cut], out[cut + 1:]
    assert native == reference
    return native


# ---------------------------------------------------------------------------------------
# Trace: events whose attributes or comparisons mutate the trace being walked.
# The native walks must behave exactly as the same algorithms written in Python: a
# cleared list ends the walk, an extended one is walked to its new end, a replaced one is
# walked to the end of the old list (the walk keeps it alive).

MUTATING_EVENT = '''
class Hostile(Ev):
    def __init__(self, action, **kw):
        super().__init__(**kw)
        self.action = action
    def hit(self):
        if self.action:
            {action}
    @property
    def type(self):
        self.hit(); return "message"
    @type.setter
    def type(self, v): pass
    @property
    def agent(self):
        self.hit(); return "a"
    @agent.setter
    def agent(self, v): pass
    @property
    def turn(self):
        self.hit(); return 0
    @turn.setter
    def turn(self, v): pass
    def model_dump_json(self):
        self.hit(); return '{{"type":"message","turn":0}}'
'''

ACTIONS = {
    "clear": "tr._events.clear(); gc.collect()",
    "extend": "tr._events.extend([Ev()] * 2) if len(tr._events) < 40 else None",
    "replace": "tr._events = [object()]; gc.collect()",
    "reinit": "tr.__init__(); gc.collect()",
    "delete": "tr.__dict__.pop('_events', None); gc.collect()",
    "shrink": "del tr._events[1:]; gc.collect()",
}


class TestEventsMutateTheWalk:
    @pytest.mark.parametrize("action", sorted(ACTIONS))
    def test_attribute_reads_mutate_events(self, action, tmp_path):
        body = MUTATING_EVENT.format(action=ACTIONS[action]) + textwrap.dedent(f"""
        import pathlib
        target = pathlib.Path({str(tmp_path)!r}) / "t.jsonl"
        for op in (lambda: tr.get_messages(), lambda: tr.get_events_for_agent("a"),
                   lambda: tr.snapshot(5), lambda: tr.cost_summary(),
                   lambda: tr.to_jsonl(target), lambda: tr.events):
            # Five hostile events, held by the trace alone.
            fill(*[Hostile(None) for _ in range(5)])
            for e in tr._events:
                e.action = True
            attempt(op)
        """)
        out = run_against_reference(body)
        assert len(out) == 6 and all(line.startswith("returned") for line in out), out

    @pytest.mark.parametrize("op", ["get_messages()", "get_events_for_agent('a')",
                                    "snapshot(3)", "cost_summary()"])
    @pytest.mark.parametrize("action", ["tr._events.clear()", "tr._events = []",
                                        "tr._events.append(Ev())", "tr.__init__()",
                                        "tr._events[:] = [Ev(type=Cmp(), agent=Cmp())] * 3"])
    def test_comparison_mutates_events(self, op, action):
        body = f"""
        depth = [0]
        class Cmp:
            def __eq__(self, other):
                depth[0] += 1
                if depth[0] < 30:
                    {action}
                gc.collect()
                return NotImplemented if depth[0] % 2 else True
            __hash__ = object.__hash__
            def __le__(self, other):
                return self.__eq__(other)
            def __bool__(self):
                return self.__eq__(None) is True
        fill(*[Ev(type=Cmp(), agent=Cmp(), turn=Cmp()) for _ in range(4)])
        attempt(lambda: tr.{op})
        """
        out = run_against_reference(body)
        # cost_summary books the Cmp agents, which CostSummary then refuses as keys.
        assert len(out) == 1 and out[0].startswith(("returned", "raised ValidationError")), out

    def test_event_freed_during_its_own_comparison(self):
        body = """
        import weakref
        class Dying:
            def __eq__(self, other):
                tr._events.clear()
                gc.collect()
                # The trace no longer holds the event being compared; the walk must.
                print("event alive:", alive())
                return True
        ev = Ev(type=Dying(), agent=Dying())
        alive = lambda r=weakref.ref(ev): r() is not None
        fill(ev, Ev())
        del ev
        attempt(tr.get_messages)
        ev = Ev(type=Dying(), agent=Dying())
        alive = lambda r=weakref.ref(ev): r() is not None
        fill(ev, Ev())
        del ev
        attempt(tr.get_events_for_agent, "a")
        """
        out = run_against_reference(body)
        assert out == ["event alive: True", "returned list of 1"] * 2

    def test_real_events_and_their_class_change_during_the_walk(self):
        # Real TraceEvent objects whose instance dicts, and whose class, change under the
        # walk; the reads must follow every change as ordinary attribute access does.
        body = """
        n = [0]
        saved = {k: TraceEvent.__dict__[k] for k in ("agent", "type") if k in TraceEvent.__dict__}
        class DictSub(dict):
            pass
        class StrSub(str):
            pass
        class Cmp:
            def __eq__(self, other):
                n[0] += 1
                step = n[0] % 7
                if step == 1:
                    TraceEvent.unrelated = n[0]
                elif step == 2:
                    TraceEvent.agent = property(lambda self: "a")
                elif step == 3:
                    d = tr._events[-1].__dict__
                    d["type"], d["agent"], d["turn"] = StrSub("message"), StrSub("a"), True
                elif step == 4:
                    tr._events[-2].__dict__["agent"] = Cmp()
                    tr._events[-2].__dict__["type"] = "message"
                elif step == 5:
                    for k in ("agent", "type"):
                        if k in TraceEvent.__dict__:
                            delattr(TraceEvent, k)
                elif step == 6:
                    tr._events[-3].__dict__ = DictSub(type="message", agent="a", turn=0)
                gc.collect()
                return n[0] % 2 == 0
            __hash__ = object.__hash__
            def __le__(self, other):
                return self.__eq__(other)
        for op in ("get_messages()", "get_events_for_agent('a')", "snapshot(3)",
                   "cost_summary()"):
            n[0] = 0
            events = [TraceEvent(type="message", turn=i, agent="a") for i in range(12)]
            for e in events[::3]:
                e.__dict__["agent"] = Cmp()
                e.__dict__["type"] = Cmp()
                e.__dict__["turn"] = Cmp()
            fill(*events)
            del events, e
            attempt(lambda: eval("tr." + op))
            for k in ("agent", "type", "unrelated"):
                if k in TraceEvent.__dict__:
                    delattr(TraceEvent, k)
            for k, v in saved.items():
                setattr(TraceEvent, k, v)
        """
        out = run_against_reference(body)
        assert len(out) == 4 and all(line.startswith("returned") for line in out), out

    def test_finaliser_mutates_trace_when_event_dies(self):
        body = """
        count = [0]
        class Phoenix(Ev):
            def __del__(self):
                count[0] += 1
                if count[0] < 50:
                    tr.add_event(Phoenix(type="message"))
                    tr._events.insert(0, Phoenix(type="state_change"))
        class Clearing(Ev):
            @property
            def type(self):
                tr._events.clear(); return "message"
            @type.setter
            def type(self, v): pass
        for op in ("get_messages", "cost_summary", "events"):
            count[0] = 0
            fill(Clearing(), *[Phoenix() for _ in range(5)])
            attempt(lambda: getattr(tr, op)() if op != "events" else tr.events)
        tr.__init__()
        """
        out = run_against_reference(body)
        assert [line.split()[0] for line in out] == ["returned"] * 3, out

    def test_events_not_a_list(self):
        body = """
        class Seq:
            def __iter__(self):
                tr._events = None
                yield Ev(); yield Ev(type="fault_injected"); yield Ev(agent="b")
        class ListSub(list):
            def __iter__(self):
                self.clear(); return iter([Ev()])
            def append(self, x):
                raise LookupError("no appends")
        for value in [(Ev(), Ev()), Seq(), ListSub([Ev(), Ev()]), None, 5, {Ev(): 1},
                      "message"]:
            for op in (tr.get_messages, lambda: tr.snapshot(9), tr.cost_summary,
                       lambda: tr.events, lambda: tr.add_event(Ev())):
                tr._events = value
                attempt(op)
        """
        out = run_against_reference(body)
        assert len(out) == 35
        # A tuple is walked like a list but cannot be appended to; an int is no sequence.
        assert out[4] == "raised AttributeError: 'tuple' object has no attribute 'append'"
        assert out[20] == "raised TypeError: 'int' object is not iterable"
        assert out[14] == "raised LookupError: no appends"

    def test_recursive_queries_hit_the_recursion_limit(self):
        body = """
        class Recurse:
            def __eq__(self, other):
                return tr.get_messages() == []
            __hash__ = object.__hash__
            def __le__(self, other):
                return tr.snapshot(0) is None
            def __bool__(self):
                return tr.cost_summary() is None
        fill(Ev(type=Recurse(), turn=Recurse(), agent=Recurse()))
        attempt(tr.get_messages)
        attempt(tr.snapshot, 1)
        attempt(tr.get_events_for_agent, "x")
        fill(Ev(type="message", agent=Recurse()))
        attempt(tr.cost_summary)
        """
        assert run_against_reference(body) == ["raised RecursionError"] * 4


class TestOddFieldValues:
    def test_cost_summary_with_hostile_numbers(self):
        body = """
        class Tokens(int):
            def __radd__(self, other):
                tr._events.clear(); gc.collect()
                return NotImplemented
        class Key(str):
            def __hash__(self):
                tr._events.append(Ev()) if len(tr._events) < 20 else None
                return str.__hash__(self)
            def __eq__(self, other):
                tr.__init__(); return str.__eq__(self, other)
        class Cost(float):
            def __radd__(self, other):
                raise FloatingPointError("no")
        class Weird:
            def __radd__(self, other):
                return self
            def __add__(self, other):
                tr._events.clear(); return 7
        cases = [
            [Ev(input_tokens=Tokens(3)), Ev()],
            [Ev(agent=Key("k")), Ev(agent=Key("k")), Ev(agent="k")],
            [Ev(cost_usd=Cost(1.0))],
            [Ev(input_tokens=2 ** 62), Ev(input_tokens=2 ** 62), Ev(input_tokens=-(2 ** 63))],
            [Ev(input_tokens=1.5), Ev(output_tokens=True), Ev(cost_usd=1)],
            [Ev(agent=float("nan")), Ev(agent=float("nan"))],
            [Ev(input_tokens=Weird()), Ev(), Ev()],
            [Ev(agent=[1])],
        ]
        for events in cases:
            fill(*events)
            attempt(tr.cost_summary)
        """
        out = run_against_reference(body)
        assert out[2] == "raised FloatingPointError: no"
        assert out[3].startswith(f"returned CostSummary({2 ** 62 + 2 ** 62 - 2 ** 63}, 3, 1.5,")
        assert out[4].startswith("raised ValidationError")  # 1.5 tokens: not an int
        assert out[7] == "raised TypeError: unhashable type: 'list'"

    def test_snapshot_bounds_with_hostile_conversions(self):
        body = """
        class Num:
            def __index__(self):
                tr._events.clear(); gc.collect(); return 3
        class BadInt:
            def __int__(self):
                return "three"
        class IntSub(int):
            def __int__(self):
                return 7
        for bound in (Num(), BadInt(), IntSub(2), 2 ** 100, -(2 ** 100), 1e300, -0.5,
                      float("nan"), 1j, "3", None, b"3"):
            fill(*[Ev(turn=i) for i in range(10)])
            attempt(tr.snapshot, bound)
        """
        out = run_against_reference(body)
        assert out[:7] == ["returned Trace of 0",
                           "raised TypeError: __int__ returned non-int (type str)",
                           "returned Trace of 8", "returned Trace of 10", "returned Trace of 0",
                           "returned Trace of 10", "returned Trace of 1"]


# ---------------------------------------------------------------------------------------
# Files: path objects whose open returns hostile files.

class TestHostileFiles:
    def test_files_that_fail_or_mutate(self):
        body = '''
        class File:
            def __init__(self, mode): self.mode = mode; self.lines = []
            def write(self, text):
                if self.mode == "write": raise OSError("write failed")
                if self.mode == "mutate":
                    tr._events.clear(); tr._events.extend([Ev()] * 3) if len(self.lines) < 5 else None
                    gc.collect()
                self.lines.append(text)
            def close(self):
                if self.mode == "close": raise OSError("close failed")
                if self.mode == "close-mutate": tr.__init__()
            def __iter__(self):
                if self.mode == "iter":
                    raise OSError("unreadable")
                yield '{"type": "message", "turn": 1}'
                if self.mode == "mutate":
                    yield b'{"type": "message", "turn": 1}'
                yield '   '
                yield '{"type": "message", "turn": 2}\\r\\n'
        class P:
            def __init__(self, mode): self.mode = mode
            parent = property(lambda self: self)
            def mkdir(self, parents, exist_ok):
                if self.mode == "mkdir": raise PermissionError("no")
            def open(self, *args):
                if self.mode == "open": return None
                return File(self.mode)
        for mode in ["ok", "write", "close", "mutate", "close-mutate", "mkdir", "open", "iter"]:
            fill(Ev(), Ev(), Ev())
            attempt(tr.to_jsonl, P(mode))
            attempt(Impl.from_jsonl, P(mode))
        '''
        out = run_against_reference(body)
        assert out == [
            "returned NoneType", "returned Trace of 2",
            "raised OSError: write failed", "returned Trace of 2",
            "raised OSError: close failed", "raised OSError: close failed",
            "returned NoneType", "returned Trace of 3",  # json.loads takes bytes too
            "returned NoneType", "returned Trace of 2",
            "raised PermissionError: no", "returned Trace of 2",
            # A failing close replaces the error in flight, as a `finally:` would.
            "raised AttributeError: 'NoneType' object has no attribute 'close'",
            "raised AttributeError: 'NoneType' object has no attribute 'close'",
            "returned NoneType", "raised OSError: unreadable",
        ]

    def test_from_jsonl_subclass_reenters(self, tmp_path):
        path = tmp_path / "t.jsonl"
        path.write_text('{"type":"message","turn":0}\n' * 3)
        body = f'''
        import pathlib
        path = pathlib.Path({str(path)!r})
        depth = [0]
        class Sub(Trace):
            def add_event(self, event):
                depth[0] += 1
                if depth[0] < 20:
                    Sub.from_jsonl(path)
                    self.__init__()
                Trace.add_event(self, event)
        t = attempt(Sub.from_jsonl, path)
        print(depth[0])
        class NoInit(Trace):
            def __init__(self, *a):
                raise LookupError("refused")
        attempt(NoInit.from_jsonl, path)
        '''
        out = run_child(body)
        # 19 nested reads, each adding 1 event before and 2 after its nested read, and the
        # innermost adding its 3; the outermost trace ends with 3 events.
        assert out == ["returned Sub of 3", "60", "raised LookupError: refused"]


# ---------------------------------------------------------------------------------------
# The native function type under garbage-collection pressure and odd bindings.

class TestFunctionType:
    def test_operations_with_collection_at_every_allocation(self, tmp_path):
        body = f'''
        import inspect, pathlib, weakref
        gc.set_threshold(1, 1, 1)
        target = pathlib.Path({str(tmp_path)!r}) / "gc.jsonl"
        calls = [0]
        def during_gc(phase, info):
            calls[0] += 1
            if phase == "start" and calls[0] % 97 == 0:
                t = Trace(); t.add_event(Ev()); t.get_messages()
        gc.callbacks.append(during_gc)
        for i in range(60):
            t = Trace()
            for j in range(5):
                ev = TraceEvent(type="message", turn=j, agent="ab"[j % 2], data={{"j": [j]}})
                weakref.finalize(ev, lambda: t.__dict__.get("_events") and t.get_messages())
                t.add_event(ev)
            t.get_messages(); t.get_events_for_agent(name="a"); t.snapshot(up_to_turn=2.5)
            t.cost_summary(); t.to_jsonl(target); Trace.from_jsonl(target)
            inspect.signature(Trace.snapshot); Trace.add_event.__get__(t)(ev)
            bound = t.get_messages
            del t
            gc.collect()
            bound()
        gc.callbacks.remove(during_gc)
        print("collections", calls[0] > 100)
        '''
        assert run_child(body) == ["collections True"]

    def test_functions_outlive_their_module(self):
        body = '''
        import importlib
        mod = sys.modules.pop("orrinth.trace")
        fns = [mod.Trace.add_event, mod.Trace.snapshot, mod.Trace.__dict__["from_jsonl"]]
        OldTrace, OldEvent = mod.Trace, mod.TraceEvent
        del mod, tr
        import orrinth
        del orrinth.trace
        gc.collect()
        t = OldTrace()
        fns[0](t, OldEvent(type="message", turn=1))
        attempt(fns[1], t, 1)
        attempt(t.cost_summary)
        del OldTrace, t
        gc.collect()
        attempt(fns[1], object(), 1)
        attempt(fns[0].__get__(5), 1)
        new = importlib.import_module("orrinth.trace")
        attempt(new.Trace().snapshot, 0)
        '''
        assert run_child(body) == [
            "returned Trace of 1", "returned CostSummary(0, 0, 0.0, {'__unknown__': "
            "{'input_tokens': 0, 'output_tokens': 0, 'cost_usd': 0.0, 'turns': 1}})",
            "raised AttributeError: 'object' object has no attribute '_events'",
            "raised AttributeError: 'int' object has no attribute '_events'",
            "returned Trace"]  # the new module's Trace: a class of its own

    def test_module_namespace_tampering(self):
        body = '''
        import orrinth.trace as mod
        fill(Ev(), Ev(type="property_check"))
        saved = dict(vars(mod))
        for name, value in [("Trace", None), ("Trace", list), ("Trace", lambda: 5),
                            ("CostSummary", dict), ("CostSummary", None), ("json", None),
                            ("TraceEvent", None)]:
            setattr(mod, name, value)
            attempt(tr.snapshot, 3)
            attempt(tr.cost_summary)
            vars(mod).update(saved)
        del mod.Trace
        import builtins
        builtins.Trace = lambda: Trace.__new__(type(tr))
        attempt(tr.snapshot, 3)
        vars(mod).update(saved)
        '''
        out = run_child(body)
        assert out[0] == "raised TypeError: 'NoneType' object is not callable"
        assert out[2] == "raised AttributeError: 'list' object has no attribute 'add_event'"
        assert out[7] == "returned dict"
        assert out[-1].startswith("raised AttributeError")  # no _events on the bare instance

    def test_keyword_names_that_compare_hostilely(self):
        body = '''
        class Name(str):
            def __eq__(self, other):
                tr.__init__(); gc.collect()
                return str.__eq__(self, other)
            __hash__ = str.__hash__
        fill(Ev())
        f = Trace.get_events_for_agent
        for kw in ["name", "self", "nope"]:
            attempt(lambda: f(tr, **{Name(kw): "a"}))
        '''
        out = run_child(body)
        # Binding compares the keyword with the parameter names, which empties the trace
        # before the body runs, as for a Python function.
        assert out == [
            "returned list of 0",
            "raised TypeError: Trace.get_events_for_agent() got multiple values for argument "
            "'self'",
            "raised TypeError: Trace.get_events_for_agent() got an unexpected keyword argument "
            "'nope'"]


# ---------------------------------------------------------------------------------------
# Trace, in this interpreter: queries whose callbacks (comparisons, attribute reads, dumps)
# mutate the trace or raise. Each native query runs on a trace built afresh and is
# compared with the same query written as a plain Python loop over `_events`: the results
# must be what Python's own list iteration gives, and nothing may crash.

class Hostile(Exception):
    pass


CALLBACK_ACTIONS = {
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
    fire = Fire(t, CALLBACK_ACTIONS[action])
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
            for action in CALLBACK_ACTIONS:
                yield pytest.param(native, python, action, via, id=f"{name}-{via}-{action}")


@pytest.mark.parametrize("native, python, action, via", list(query_cases()))
def test_query_as_python_iterates(native, python, action, via):
    ours = run_hostile(native, action, via)
    assert ours == run_hostile(python, action, via)
    if action == "raise":
        assert ours[0] == (Hostile, "callback")


@pytest.mark.parametrize("action", list(CALLBACK_ACTIONS))
def test_to_jsonl_in_place(action):
    native = written_through_sink(lambda t, sink: t.to_jsonl(sink))
    python = written_through_sink(ModelTrace.to_jsonl)
    assert run_hostile(native, action, "dump") == run_hostile(python, action, "dump")


@pytest.mark.parametrize("action", list(CALLBACK_ACTIONS))
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


# ---------------------------------------------------------------------------------------
# RawAgent: handlers that tamper with the agent, hostile results.

@pytest.fixture
def raw_available():
    pytest.importorskip("orrinth.adapters.raw")


@pytest.mark.usefixtures("raw_available")
class TestHostileHandlers:
    @pytest.mark.parametrize("tamper", [
        "agent._state = {'other': 1}",
        "agent._state = None",
        "agent._handler = None",
        "agent._handler = lambda m: 'replaced'",
        "agent._name = 5",
        "del agent._name",
        "agent._accepts_state = None",
        "agent.__dict__.clear()",
        "agent.setup()",
        "agent.__init__('again', lambda m: 'x')",
    ])
    def test_handler_tampers_with_agent(self, tamper):
        body = f'''
        def handler(message, state):
            {tamper}
            gc.collect()
            state["n"] = state.get("n", 0) + 1
            return {{"content": message["content"], "n": state["n"]}}
        agent = raw.RawAgent("a", handler, {{"n": 0}})
        for _ in range(3):
            attempt(agent.receive, msg)
        def bad(message, state):
            {tamper}
            return None
        agent = raw.RawAgent("b", bad)
        attempt(agent.receive, msg)
        '''
        out = run_child(body, RAW_PRELUDE)
        assert len(out) == 4
        assert all(line.startswith(("returned", "raised")) for line in out), out

    @pytest.mark.parametrize("tamper,undo", [
        ("RawAgent._state = property(lambda self: {'from': 'property'})", "del RawAgent._state"),
        ("RawAgent._handler = property(lambda self: lambda *a: 'from property')",
         "del RawAgent._handler"),
        ("RawAgent._accepts_state = property(lambda self: 0)", "del RawAgent._accepts_state"),
        ("RawAgent.__getattribute__ = lambda self, n: object.__getattribute__(self, n) "
         "if n != '_accepts_state' else 1", "del RawAgent.__getattribute__"),
        ("RawAgent.__getattr__ = lambda self, n: 'fallback'", "del RawAgent.__getattr__"),
        ("agent.__dict__['_handler'] = lambda m, s=None: {'swapped': 1}", "pass"),
        ("agent.__class__ = Sub", "pass"),
        ("agent.__dict__.pop('_state', None)", "pass"),
    ])
    def test_handler_tampers_with_the_class(self, tamper, undo):
        # The agent's own attributes are read as ordinary attribute access reads them,
        # whatever happens to the class between calls: compared with the same dispatch
        # written in Python.
        body = f"""
        RawAgent = raw.RawAgent
        class Sub(RawAgent):
            pass
        class RefAgent(RawAgent):
            receive = models.receive
        for Impl in (RawAgent, RefAgent):
            print("--")
            calls = [0]
            def handler(message, state):
                calls[0] += 1
                if calls[0] == 2:
                    {tamper}
                    gc.collect()
                return {{"content": str(calls[0]), "state": dict(state)}}
            agent = Impl("a", handler, {{"k": 1}})
            for _ in range(3):
                r = attempt(agent.receive, msg)
                if r is not None:
                    print(repr(r.content), r.metadata)
            {undo}
        """
        out = run_child(body, RAW_PRELUDE)
        cut = out.index("--", 1)
        assert out[1:cut] == [line.replace("RefAgent", "RawAgent") for line in out[cut + 1:]]
        assert len(out[1:cut]) >= 3

    def test_reentrant_receive(self):
        body = '''
        depth = [0]
        def handler(message, state):
            depth[0] += 1
            if depth[0] < 50:
                agent.receive(msg)
                agent.setup()
            state["x"] = depth[0]
            return "ok"
        agent = raw.RawAgent("a", handler)
        attempt(agent.receive, msg)
        print(agent.get_state())
        def forever(message):
            return agent2.receive(msg)
        agent2 = raw.RawAgent("b", forever)
        attempt(agent2.receive, msg)
        '''
        out = run_child(body, RAW_PRELUDE)
        assert out[0] == "returned Response"
        # Each nested call's setup() replaced the live state, so the outer calls wrote
        # into dicts the agent no longer holds; the last setup() left a fresh one.
        assert out[1] == "{}"
        assert out[2].startswith("raised RecursionError")

    @pytest.mark.parametrize("key_action,expected", [
        ("result.clear()", "raised RuntimeError: dictionary changed size during iteration"),
        ("result['zz' + str(len(result))] = 1",
         "raised RuntimeError: dictionary changed size during iteration"),
        ("result[k] = object()", None),
        ("result.update({k2: object() for k2 in list(result)})", None),
        ("result.pop(k, None); result[Key('again')] = 2", None),
        ("result.clear(); result.update(fresh())", None),
    ])
    def test_result_keys_mutate_result(self, key_action, expected):
        body = f'''
        class Key:
            def __init__(self, name): self.name = name
            def __hash__(self): return hash(self.name)
            def __eq__(self, other): return isinstance(other, Key) and other.name == self.name
            def __ne__(self, other):
                result = holder[0]
                k = self
                {key_action}
                gc.collect()
                return True
        def fresh():
            return {{Key(i): [i] for i in range(4)}}
        holder = [None]
        def handler(message):
            d = {{"content": "c", **fresh(), "tail": 1}}
            holder[0] = d
            return d
        agent = raw.RawAgent("a", handler)
        r = attempt(agent.receive, msg)
        holder[0] = None
        if r is not None:
            print(sorted(type(k).__name__ for k in r.metadata))
        '''
        out = run_child(body, RAW_PRELUDE)
        if expected:
            assert out == [expected]
        else:
            assert out[0].startswith(("returned Response", "raised RuntimeError")), out

    def test_dict_subclass_items_yields_odd_things(self):
        body = '''
        class D(dict):
            def __init__(self, items, get=None):
                super().__init__(content="c", x=1)
                self._items, self._get = items, get
            def items(self):
                return self._items() if callable(self._items) else self._items
            def get(self, key, default):
                if self._get: return self._get(self)
                return dict.get(self, key, default)
        def gen_mutating(d=None):
            yield ("a", 1)
            holder[0].clear(); gc.collect()
            yield ("b", 2)
        def gen_raising():
            yield ("a", 1)
            raise LookupError("items broke")
        holder = [None]
        def returns(result):
            return lambda message: result
        cases = [
            [("a", 1), ("content", 2), ("b", 3)],
            [("a", 1, 2)], [("a",)], ["ab"], ["abc"], [5], [None], 5, None,
            iter([("k", "v")]), gen_mutating, gen_raising,
            [[1, 2]], [b"xy"], {"p": 1, "q": 2}.items(), [(["unhashable"], 1)],
            [(float("nan"), 1), (float("nan"), 2)],
        ]
        for items in cases:
            d = D(items)
            holder[0] = d
            r = attempt(raw.RawAgent("a", returns(d)).receive, msg)
            if r is not None:
                print(r.content, list(r.metadata.items()))
        d = D([], get=lambda self: (self.clear(), self)[1])
        attempt(raw.RawAgent("a", lambda m: d).receive, msg)
        d = D([], get=lambda self: 1 / 0)
        attempt(raw.RawAgent("a", lambda m: d).receive, msg)
        '''
        out = run_child(body, RAW_PRELUDE)
        assert out[0] == "returned Response"
        assert out[1] == "c [('a', 1), ('b', 3)]"
        assert out[2] == "raised ValueError: too many values to unpack (expected 2)"
        assert out[3] == "raised ValueError: not enough values to unpack (expected 2, got 1)"
        assert out[4:6] == ["returned Response", "c [('a', 'b')]"]
        assert out[-1] == "raised ZeroDivisionError: division by zero"

    def test_messages_and_response_tampering(self):
        body = '''
        class Msg:
            @property
            def sender(self):
                agent._handler = lambda m: {"content": m}; gc.collect(); return "s"
            @property
            def content(self):
                agent.__dict__.clear(); return "c"
            turn = property(lambda self: raw.__dict__.pop("Response", None) or 3)
        saved = raw.Response
        agent = raw.RawAgent("a", lambda m: "x")
        attempt(agent.receive, Msg())
        raw.Response = saved
        agent = raw.RawAgent("a", lambda m: "x")
        raw.Response = lambda **kw: agent.receive(msg) if len(kw) > 5 else kw
        attempt(agent.receive, msg)
        raw.Response = None
        attempt(agent.receive, msg)
        del raw.Response
        attempt(agent.receive, msg)
        raw.Response = saved
        attempt(agent.receive, None)
        '''
        out = run_child(body, RAW_PRELUDE)
        assert out[0].startswith("raised AttributeError")
        assert out[1] == "returned dict"
        assert out[2] == "raised TypeError: 'NoneType' object is not callable"
        assert out[3] == "raised NameError: name 'Response' is not defined"
        assert out[4] == "raised AttributeError: 'NoneType' object has no attribute 'sender'"


# ---------------------------------------------------------------------------------------
# Threads: no synchronisation is promised, but nothing may crash.

class TestThreads:
    def test_trace_shared_between_threads(self, tmp_path):
        body = f'''
        import pathlib
        sys.setswitchinterval(1e-6)
        base = pathlib.Path({str(tmp_path)!r})
        errors = []
        def work(k):
            try:
                for i in range(300):
                    tr.add_event(TraceEvent(type="message", turn=i, agent="ab"[i % 2]))
                    tr.add_event(Ev(type="state_change", turn=i))
                    tr.get_messages(); tr.get_events_for_agent("a"); tr.events
                    if i % 10 == 0:
                        tr.snapshot(i); tr.cost_summary()
                    if i % 50 == 0:
                        p = base / ("t%d.jsonl" % k)
                        tr.to_jsonl(p); Trace.from_jsonl(p)
                    if k == 0 and i % 100 == 99:
                        tr.__init__()
            except Exception as e:  # an event of another thread may be a stand-in
                errors.append(type(e).__name__)
        threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(len(tr.events) <= 4 * 600, sorted(set(errors)))
        '''
        assert run_child(body) == ["True []"]

    @pytest.mark.usefixtures("raw_available")
    def test_agent_shared_between_threads(self):
        body = '''
        sys.setswitchinterval(1e-6)
        def handler(message, state):
            state["n"] = state.get("n", 0) + 1
            state.setdefault("log", []).append(message["turn"])
            return {"content": str(state["n"]), "turn": message["turn"]}
        agent = raw.RawAgent("a", handler, {"n": 0})
        errors = []
        def work(k):
            try:
                for i in range(500):
                    r = agent.receive(Message(sender=str(k), content="c", turn=i))
                    assert r.metadata == {"turn": i}
                    agent.get_state(); agent.name
                    if k == 0 and i % 50 == 0:
                        agent.setup()
            except Exception as e:
                errors.append(repr(e))
        threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(errors)
        '''
        assert run_child(body, RAW_PRELUDE) == ["[]"]
