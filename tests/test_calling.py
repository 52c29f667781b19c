"""The native function type behind Trace's members, held against equivalent Python code."""
import copy
import ctypes
import inspect
import pickle
import pydoc
import sys
import textwrap
import typing
import weakref

import pytest

import orrinth.trace as mod
from orrinth.trace import Trace, TraceEvent

from support import outcome, run_python

SNAPSHOT_DOC = (
    "Return a new Trace containing only events with turn <= up_to_turn.\n\n"
    "        Property_check events (turn=-1) are excluded from snapshots since they\n"
    "        are derived from the full trace, not recorded at a specific turn.\n\n"
    "        Args:\n"
    "            up_to_turn: Inclusive upper bound on turn numbers to include.\n"
    "        "
)

# The same class written in Python, compiled as if it were the module's own code.
REFERENCE_SOURCE = f'''
class Trace:
    """An ordered sequence of events recorded during one simulation run."""
    def __init__(self) -> "None":
        self._events = []
        self.results = []
    def add_event(self, event: "TraceEvent") -> "None":
        """Append an event to the trace."""
        self._events.append(event)
    @property
    def events(self) -> "list[TraceEvent]":
        """All events in insertion order."""
    def get_messages(self) -> "list[TraceEvent]":
        """Return only message-type events."""
    def get_events_for_agent(self, name: "str") -> "list[TraceEvent]":
        """Return all events attributed to the named agent."""
    def cost_summary(self) -> "CostSummary":
        """Aggregate token and cost data across all message events."""
    def snapshot(self, up_to_turn: "int") -> "Trace":
        {SNAPSHOT_DOC!r}
    def to_jsonl(self, path: "Path") -> "None":
        """Write each event as one JSON line to path."""
    @classmethod
    def from_jsonl(cls, path: "Path") -> "Trace":
        """Read a trace back from a JSONL file."""
'''
_ns = {"__name__": "orrinth.trace"}
exec(REFERENCE_SOURCE, _ns)
Reference = _ns["Trace"]

MEMBERS = ["__init__", "add_event", "events", "get_messages", "get_events_for_agent",
           "cost_summary", "snapshot", "to_jsonl", "from_jsonl"]


def raw(cls, name):
    """The plain function behind a class member (unwrapping property/classmethod)."""
    obj = vars(cls)[name]
    if isinstance(obj, property):
        return obj.fget
    if isinstance(obj, classmethod):
        return obj.__func__
    return obj


class TestSignature:
    @pytest.mark.parametrize("name, expected", [
        ("__init__", "(self) -> 'None'"),
        ("add_event", "(self, event: 'TraceEvent') -> 'None'"),
        ("events", "(self) -> 'list[TraceEvent]'"),
        ("get_messages", "(self) -> 'list[TraceEvent]'"),
        ("get_events_for_agent", "(self, name: 'str') -> 'list[TraceEvent]'"),
        ("cost_summary", "(self) -> 'CostSummary'"),
        ("snapshot", "(self, up_to_turn: 'int') -> 'Trace'"),
        ("to_jsonl", "(self, path: 'Path') -> 'None'"),
        ("from_jsonl", "(cls, path: 'Path') -> 'Trace'"),
    ])
    def test_plain_function(self, name, expected):
        assert str(inspect.signature(raw(Trace, name))) == expected
        assert inspect.signature(raw(Trace, name)) == inspect.signature(raw(Reference, name))

    @pytest.mark.parametrize("get", [
        lambda c: c().snapshot, lambda c: c.from_jsonl, lambda c: c().from_jsonl,
        lambda c: c.events.fget, lambda c: c().get_events_for_agent, lambda c: c().__init__,
    ])
    def test_through_binding(self, get):
        assert inspect.signature(get(Trace)) == inspect.signature(get(Reference))

    def test_type_hints_resolve_in_module_namespace(self):
        assert typing.get_type_hints(Trace.snapshot) == {"up_to_turn": int, "return": Trace}
        assert typing.get_type_hints(Trace.events.fget) == {"return": list[TraceEvent]}
        assert typing.get_type_hints(Trace.to_jsonl)["path"] is mod.Path


class TestAttributes:
    @pytest.mark.parametrize("name", MEMBERS)
    def test_same_as_python_function(self, name):
        fn, ref = raw(Trace, name), raw(Reference, name)
        for attr in ("__name__", "__qualname__", "__module__", "__doc__", "__annotations__",
                     "__defaults__", "__kwdefaults__"):
            assert getattr(fn, attr) == getattr(ref, attr), attr
        code, ref_code = fn.__code__, ref.__code__
        for attr in ("co_argcount", "co_posonlyargcount", "co_kwonlyargcount", "co_name",
                     "co_qualname"):
            assert getattr(code, attr) == getattr(ref_code, attr), attr
        assert code.co_varnames[:code.co_argcount] == ref_code.co_varnames[:code.co_argcount]
        assert code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS) == 0

    def test_snapshot_doc_byte_for_byte(self):
        assert Trace.snapshot.__doc__ == SNAPSHOT_DOC
        assert Trace.__init__.__doc__ is None

    def test_repr_like_a_function(self):
        fn = Trace.add_event
        assert repr(fn) == f"<function Trace.add_event at {id(fn):#x}>"
        assert repr(Trace().add_event).startswith("<bound method Trace.add_event of <orrinth")

    def test_attribute_dict_and_setters(self):
        fn = Trace.get_messages
        try:
            fn.marker = 1
            assert vars(fn) == {"marker": 1} and fn.__dict__ is vars(fn)
        finally:
            del fn.marker

        def ref():
            pass
        for attr, value in (("__name__", 1), ("__qualname__", None), ("__dict__", 1)):
            with pytest.raises(TypeError) as ours:
                setattr(fn, attr, value)
            with pytest.raises(TypeError) as theirs:
                setattr(ref, attr, value)
            assert str(ours.value) == str(theirs.value)

    def test_type_cannot_be_instantiated(self):
        with pytest.raises(TypeError, match=r"^cannot create 'orrinth.trace.native_function'"):
            type(Trace.add_event)()


class TestHelp:
    def test_help_reads_like_the_python_class(self):
        ours = pydoc.render_doc(Trace, renderer=pydoc.plaintext)
        theirs = pydoc.render_doc(Reference, renderer=pydoc.plaintext)
        assert ours == theirs
        assert " |  snapshot(self, up_to_turn: 'int') -> 'Trace'\n" in ours
        assert " |  from_jsonl(path: 'Path') -> 'Trace' from builtins.type\n" in ours


class Holder(Trace):
    stat = staticmethod(Trace.add_event)
    klass = classmethod(raw(Trace, "from_jsonl"))
    messages = property(Trace.get_messages)


class TestBinding:
    def test_instance_binding(self):
        t = Trace()
        bound = t.add_event
        assert bound.__self__ is t and bound.__func__ is Trace.add_event
        assert Trace.add_event.__get__(None, Trace) is Trace.add_event
        assert Trace.from_jsonl.__self__ is Trace and Trace().from_jsonl.__self__ is Trace

    def test_staticmethod_classmethod_property(self, tmp_path):
        h = Holder()
        ev = TraceEvent(type="message", turn=1)
        Holder.stat(h, ev)
        h.stat(h, event=ev)
        assert h._events == [ev, ev]
        assert h.messages == [ev, ev]
        (tmp_path / "t.jsonl").write_text(ev.model_dump_json() + "\n")
        back = Holder.klass(tmp_path / "t.jsonl")
        assert type(back) is Holder and back.events == [ev]
        assert str(inspect.signature(Holder.klass)) == "(path: 'Path') -> 'Trace'"
        assert str(inspect.signature(Holder.stat)) == "(self, event: 'TraceEvent') -> 'None'"


class BadKey(str):
    def __eq__(self, other):
        raise LookupError("compared")
    __hash__ = str.__hash__


class AnyKey(str):
    def __eq__(self, other):
        return True
    __hash__ = str.__hash__


ARGUMENT_CALLS = [
    lambda C, t: C.add_event(),
    lambda C, t: C.add_event(t),
    lambda C, t: t.add_event(),
    lambda C, t: t.add_event(1, 2),
    lambda C, t: t.add_event(1, bogus=2),
    lambda C, t: t.add_event(1, event=2),
    lambda C, t: t.add_event(self=t, event=1),
    lambda C, t: C.add_event(t, **{"event": 1, "self": 2}),
    lambda C, t: t.add_event(**{1: 2}),
    lambda C, t: t.add_event(1, *[2], **{"x": 3}),
    lambda C, t: t.add_event(**{AnyKey("zzz"): 1}),
    lambda C, t: t.add_event(**{BadKey("zzz"): 1}),
    lambda C, t: t.snapshot(1, up_to_turn=2),
    lambda C, t: t.snapshot(1, 2),
    lambda C, t: C.snapshot(),
    lambda C, t: t.get_messages(None),
    lambda C, t: t.get_events_for_agent(nam="a"),
    lambda C, t: t.cost_summary(t),
    lambda C, t: t.to_jsonl(path=1, **{"path": 2}),
    lambda C, t: C.from_jsonl(),
    lambda C, t: t.from_jsonl(1, 2),
    lambda C, t: C.from_jsonl(cls=C, path=1),
    lambda C, t: C(1),
    lambda C, t: C.events.fget(),
    lambda C, t: C.events.fget(t, t),
]


class TestArgumentErrors:
    @pytest.mark.parametrize("call", ARGUMENT_CALLS)
    def test_same_error_as_python(self, call):
        theirs = outcome(lambda: call(Reference, Reference()))
        assert theirs[0] != "ok"
        t = Trace()
        assert outcome(lambda: call(Trace, t)) == theirs
        assert t._events == [] and t.results == []

    def test_unbound_self_by_keyword_is_ordinary(self):
        t = Trace()
        ev = TraceEvent(type="message", turn=1)
        Trace.add_event(self=t, event=ev)
        assert t._events == [ev]
        assert Trace.snapshot(self=t, up_to_turn=3)._events == [ev]

    def test_non_str_keyword_from_c(self):
        vectorcall = ctypes.pythonapi.PyObject_Vectorcall
        vectorcall.restype = ctypes.py_object
        vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t,
                               ctypes.py_object]
        t = Trace()
        args = (ctypes.py_object * 2)(t, 1)
        for fn in (Trace.add_event, raw(Reference, "add_event")):
            with pytest.raises(TypeError, match=r"^Trace\.add_event\(\) keywords must be strings$"):
                vectorcall(fn, ctypes.cast(args, ctypes.c_void_p), 1, (5,))
        assert t._events == []

    def test_nothing_happens_before_the_error(self, tmp_path, monkeypatch):
        made = []
        monkeypatch.setattr(mod, "Trace", lambda: made.append(1))
        t = Trace()
        with pytest.raises(TypeError):
            t.snapshot(1, bogus=2)
        with pytest.raises(TypeError):
            t.to_jsonl(tmp_path / "x" / "t.jsonl", 2)
        assert made == [] and list(tmp_path.iterdir()) == []


class TestPickleAndCopy:
    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    @pytest.mark.parametrize("name", ["__init__", "add_event", "snapshot", "to_jsonl"])
    def test_functions_pickle_by_reference(self, protocol, name):
        fn = getattr(Trace, name)
        assert pickle.loads(pickle.dumps(fn, protocol)) is fn

    def test_copies_are_the_function(self):
        assert copy.copy(Trace.snapshot) is Trace.snapshot
        assert copy.deepcopy(Trace.snapshot) is Trace.snapshot

    def test_property_getter_fails_like_python(self):
        with pytest.raises(pickle.PicklingError) as ours:
            pickle.dumps(Trace.events.fget)
        with pytest.raises(pickle.PicklingError) as theirs:
            pickle.dumps(Reference.events.fget)
        assert str(ours.value).split(":")[1] == str(theirs.value).split(":")[1]

    def test_bound_method_round_trip(self):
        t = Trace()
        t.add_event(TraceEvent(type="message", turn=1))
        again = pickle.loads(pickle.dumps(t.add_event))
        again(TraceEvent(type="message", turn=2))
        assert [e.turn for e in again.__self__.events] == [1, 2]


class TestLifetime:
    def test_weakref(self):
        r = weakref.ref(Trace.add_event)
        assert r() is Trace.add_event

    def test_functions_of_a_discarded_module_are_collected(self):
        # A fresh import runs the module body again; the first copy's classes and
        # functions form cycles with its namespace that the collector must break.
        script = textwrap.dedent("""
            import gc, sys, weakref
            import orrinth.trace as m
            refs = [weakref.ref(m.Trace.add_event), weakref.ref(m.Trace.events.fget),
                    weakref.ref(m.Trace), weakref.ref(m)]
            del m, sys.modules["orrinth.trace"], sys.modules["orrinth"].trace
            import orrinth.trace as m2
            gc.collect()
            print([r() is None for r in refs], m2.Trace.add_event is not None)
        """)
        out = run_python(script)
        assert out.returncode == 0, out.stderr
        assert out.stdout.strip() == "[True, True, True, True] True"

    def test_calls_do_not_leak(self, tmp_path):
        t = Trace()
        ev = TraceEvent(type="message", turn=1, agent="agent")
        name, path = "".join(["a", "gent"]), tmp_path / "t.jsonl"  # a str of its own
        before = [sys.getrefcount(o) for o in (ev, name, path)]
        for _ in range(50):
            t.add_event(ev)
            t.get_events_for_agent(name)
            t.snapshot(1)
            t.cost_summary()
            t.to_jsonl(path)
            with pytest.raises(TypeError):
                t.add_event(ev, event=ev)
            with pytest.raises(TypeError):
                t.get_events_for_agent(name, bogus=name)
        Trace.__init__(t)
        assert [sys.getrefcount(o) for o in (ev, name, path)] == before


class TestLayout:
    def test_class_dict_order(self):
        # copyreg caches __slotnames__ on a class once an instance has been pickled.
        names = [n for n in vars(Trace) if n != "__slotnames__"]
        assert names == list(vars(Reference))
        assert list(vars(Trace))[:4] == ["__module__", "__doc__", "__init__", "add_event"]
        assert type(Trace) is type and Trace.__bases__ == (object,)
        events = vars(Trace)["events"]
        assert isinstance(events, property) and events.fset is None and events.fdel is None
        assert isinstance(vars(Trace)["from_jsonl"], classmethod)

    def test_module_namespace_order(self):
        names = [n for n in vars(mod) if not (n.startswith("__") and n.endswith("__"))]
        assert names == ["json", "Path", "Literal", "BaseModel", "Field", "TraceEvent",
                         "CostSummary", "Trace"]
        assert mod.__doc__ is None
        assert sys.modules["orrinth.trace"] is mod
