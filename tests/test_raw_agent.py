"""RawAgent: module namespace, class building, introspection, construction, the state
test, name, setup and get_state."""

import inspect
import os
import pydoc
import sys
import types
from typing import Callable

import pytest

import orrinth.adapters.raw as raw
from orrinth.adapters.raw import RawAgent
from orrinth.agent import AgentUnderTest, Message, Response

from support import outcome, run_python

NOTE = (". Instances of subclasses of built-in types are refused here. "
        "Convert the value to the exact built-in type first.")
CLASS_DOC = (
    "Wraps a plain Python callable as an AgentUnderTest.\n\n"
    "    The handler receives a dict with 'sender', 'content', and 'turn' keys\n"
    "    and must return either a str or a dict with a 'content' key.\n\n"
    "    If the handler accepts a second 'state' parameter, the current state dict\n"
    "    is passed and any mutations persist across turns.\n    ")

# The same class written in Python: the reference for argument errors and help().
REFERENCE_SOURCE = '''
class RawAgent(AgentUnderTest):
    __doc__ = DOC
    def __init__(self, name: "str", handler: "Callable",
                 initial_state: "dict | None" = None) -> "None": pass
    @staticmethod
    def _check_accepts_state(handler: "Callable") -> "bool": pass
    @property
    def name(self) -> "str": pass
    def receive(self, message: "Message") -> "Response":
        """Call the handler with the message dict and return a Response."""
    def setup(self) -> "None":
        """Reset state to initial values before each run."""
    def get_state(self) -> "dict":
        """Return a copy of the current state."""
'''


@pytest.fixture
def reference(monkeypatch):
    mod = types.ModuleType("raw_reference")
    mod.__dict__.update(AgentUnderTest=AgentUnderTest, Callable=Callable, DOC=CLASS_DOC)
    monkeypatch.setitem(sys.modules, "raw_reference", mod)
    exec(REFERENCE_SOURCE, mod.__dict__)
    return mod.RawAgent


def one(msg):
    return "ok"


def two(msg, state):
    return "ok"


def child_output(code):
    r = run_python(code, timeout=60)
    return r.stdout.splitlines() or [r.stderr]


class TestModule:
    def test_namespace(self):
        names = [n for n in vars(raw) if not n.startswith("__")]
        assert names == ["inspect", "Callable", "AgentUnderTest", "Message", "Response", "RawAgent"]
        assert (raw.inspect, raw.Callable, raw.AgentUnderTest, raw.Message, raw.Response) == (
            inspect, Callable, AgentUnderTest, Message, Response)
        assert raw.__doc__ is None

    def test_import_failures_are_the_interpreters(self):
        assert child_output("""
            import sys, types
            sys.modules["orrinth.agent"] = None
            try: import orrinth.adapters.raw
            except ImportError as e: print(type(e).__name__, e)
            sys.modules["orrinth.agent"] = fake = types.ModuleType("orrinth.agent")
            fake.AgentUnderTest = fake.Message = object
            for stmt in ["from orrinth.agent import Response", "import orrinth.adapters.raw"]:
                try: exec(stmt)
                except ImportError as e: print(e)
        """) == ["ModuleNotFoundError import of orrinth.agent halted; None in sys.modules"] + [
            "cannot import name 'Response' from 'orrinth.agent' (unknown location)"] * 2

    def test_metaclass_prepare_supplies_namespace(self):
        assert child_output("""
            import sys, types, orrinth.agent as real
            seen = []
            class Recording(dict):
                def __setitem__(self, key, value):
                    seen.append(key)
                    super().__setitem__(key, value)
            class Meta(type):
                @classmethod
                def __prepare__(mcls, name, bases):
                    return Recording()
                def __new__(mcls, name, bases, ns):
                    seen.append((name, [b.__name__ for b in bases], type(ns).__name__))
                    return super().__new__(mcls, name, bases, dict(ns))
            class Base(metaclass=Meta): pass
            seen.clear()
            sys.modules["orrinth.agent"] = fake = types.ModuleType("orrinth.agent")
            fake.AgentUnderTest, fake.Message, fake.Response = Base, real.Message, real.Response
            from orrinth.adapters.raw import RawAgent
            print(seen, type(RawAgent).__name__)
        """) == ["['__module__', '__qualname__', '__doc__', '__init__', '_check_accepts_state', "
                 "'name', 'receive', 'setup', 'get_state', ('RawAgent', ['Base'], 'Recording')] Meta"]


class TestIntrospection:
    def test_class(self):
        assert (RawAgent.__bases__, RawAgent.__module__, RawAgent.__qualname__, RawAgent.__doc__) == (
            (AgentUnderTest,), "orrinth.adapters.raw", "RawAgent", CLASS_DOC)
        assert [n for n in vars(RawAgent) if not n.startswith("__") or n == "__init__"][:6] == [
            "__init__", "_check_accepts_state", "name", "receive", "setup", "get_state"]
        assert isinstance(vars(RawAgent)["_check_accepts_state"], staticmethod)
        assert RawAgent.name.fset is None and RawAgent.name.fdel is None
        assert RawAgent.__init__.__defaults__ == (None,)

    @pytest.mark.parametrize("fn, doc, annotations", [
        (RawAgent.__init__, None, {"name": "str", "handler": "Callable",
                                   "initial_state": "dict | None", "return": "None"}),
        (RawAgent._check_accepts_state, None, {"handler": "Callable", "return": "bool"}),
        (RawAgent.name.fget, None, {"return": "str"}),
        (RawAgent.receive, "Call the handler with the message dict and return a Response.",
         {"message": "Message", "return": "Response"}),
        (RawAgent.setup, "Reset state to initial values before each run.", {"return": "None"}),
        (RawAgent.get_state, "Return a copy of the current state.", {"return": "dict"}),
    ], ids=lambda v: getattr(v, "__name__", ""))
    def test_members(self, fn, doc, annotations):
        assert fn.__qualname__ == "RawAgent." + fn.__name__
        assert (fn.__module__, fn.__doc__) == ("orrinth.adapters.raw", doc)
        assert list(fn.__annotations__.items()) == list(annotations.items())

    def test_signatures_and_help_match_python(self, reference):
        for attr in ["__init__", "_check_accepts_state", "receive", "setup", "get_state"]:
            assert inspect.signature(getattr(RawAgent, attr)) == inspect.signature(
                getattr(reference, attr))
        assert str(inspect.signature(RawAgent)) == str(inspect.signature(reference)) == (
            "(name: 'str', handler: 'Callable', initial_state: 'dict | None' = None) -> 'None'")
        assert str(inspect.signature(RawAgent("a", one).receive)) == (
            "(message: 'Message') -> 'Response'")
        ours = pydoc.render_doc(RawAgent, renderer=pydoc.plaintext)
        theirs = pydoc.render_doc(reference, renderer=pydoc.plaintext)
        assert ours == theirs.replace("raw_reference", "orrinth.adapters.raw")


    def test_type_stub_matches(self):
        stub = os.path.join(os.path.dirname(raw.__file__), "raw.pyi")
        ns = {}
        with open(stub) as f:
            exec("from __future__ import annotations\n" + f.read(), ns)
        # The stub's annotations are precise types for type checkers ("Callable[..., ...]"
        # where the module holds "Callable"), so only names, kinds and defaults are compared;
        # `Any`, `TypeAlias` and the handler's type aliases are the stub's own helpers.
        helpers = ("annotations", "Any", "TypeAlias", "_Reply", "_Handler")
        assert [n for n in ns if not n.startswith("__") and n not in helpers] == [
            n for n in vars(raw) if not n.startswith("__")]

        def shape(fn):
            sig = inspect.signature(fn)
            return [(p.name, p.kind, p.default) for p in sig.parameters.values()]

        for attr in ["__init__", "_check_accepts_state", "receive", "setup", "get_state"]:
            assert shape(getattr(ns["RawAgent"], attr)) == shape(getattr(RawAgent, attr))
        assert shape(ns["RawAgent"].name.fget) == shape(RawAgent.name.fget)


ERROR_CALLS = {
    "no arguments": lambda C: C(),
    "name only": lambda C: C("a"),
    "too many": lambda C: C("a", one, {}, 1),
    "unknown keyword": lambda C: C("a", one, state={}),
    "doubled": lambda C: C("a", one, name="b"),
    "doubled self": lambda C: C.__init__(C.__new__(C), "a", one, self=1),
    "non-str keyword": lambda C: C("a", one, **{1: 2}),
    "receive none": lambda C: C("a", one).receive(),
    "receive two": lambda C: C("a", one).receive(1, 2),
    "receive typo": lambda C: C("a", one).receive(msg=1),
    "unbound receive": lambda C: C.receive(),
    "setup extra": lambda C: C("a", one).setup(1),
    "get_state keyword": lambda C: C("a", one).get_state(x=1),
    "state test none": lambda C: C._check_accepts_state(),
    "state test two": lambda C: C("a", one)._check_accepts_state(one, two),
    "name setter": lambda C: setattr(C("a", one), "name", "b"),
    "name deleter": lambda C: delattr(C("a", one), "name"),
}

LongStr = type("S" * 300, (str,), {})


class TestArguments:
    @pytest.mark.parametrize("call", ERROR_CALLS.values(), ids=ERROR_CALLS.keys())
    def test_errors_same_as_python(self, call, reference):
        assert outcome(lambda: call(RawAgent)) == outcome(lambda: call(reference))

    def test_keywords(self):
        agent = RawAgent(initial_state={"a": 1}, handler=two, name="n")
        assert vars(agent) == {"_name": "n", "_handler": two, "_initial_state": {"a": 1},
                               "_state": {"a": 1}, "_accepts_state": True}
        assert agent.receive(message=Message("s", "c", 1)) == Response("ok")

    @pytest.mark.parametrize("kwargs, message", [
        ({"name": b"bot"}, "Argument 'name' has incorrect type (expected str, got bytes)"),
        ({"name": None}, "Argument 'name' has incorrect type (expected str, got NoneType)"),
        ({"name": type("Name", (str,), {})("b")},
         "Argument 'name' has incorrect type (expected str, got Name)" + NOTE),
        ({"name": LongStr("b")},
         "Argument 'name' has incorrect type (expected str, got " + "S" * 200 + ")" + NOTE),
        ({"initial_state": [("a", 1)]},
         "Argument 'initial_state' has incorrect type (expected dict, got list)"),
        ({"initial_state": type("State", (dict,), {})()},
         "Argument 'initial_state' has incorrect type (expected dict, got State)" + NOTE),
        ({"name": 1, "initial_state": []},
         "Argument 'name' has incorrect type (expected str, got int)"),
    ])
    def test_types_refused_before_anything_is_set(self, kwargs, message):
        agent = RawAgent.__new__(RawAgent)
        with pytest.raises(TypeError) as info:
            agent.__init__(**{"name": "bot", "handler": one, **kwargs})
        assert info.value.args == (message,)
        assert vars(agent) == {}


def variadic(*args): pass
def with_varargs(a, *args): pass
def with_kwargs(a, **kw): pass
def with_kwonly(a, *, b): pass
def with_default(a, b=1): pass
def posonly(a, b, /): pass


class Bot:
    def one(self, msg): pass
    def two(self, msg, state): pass


class SignatureRaises:
    def __init__(self, exc):
        self.exc = exc

    @property
    def __signature__(self):
        raise self.exc

    def __call__(self, msg, state): pass


class TestStateTest:
    @pytest.mark.parametrize("handler, expected", [
        (one, False), (two, True), (variadic, False), (with_varargs, True), (with_kwargs, True),
        (with_kwonly, True), (with_default, True), (posonly, True), (Bot().one, False),
        (Bot().two, True), (5, False), (min, False),
        (SignatureRaises(type("VE", (ValueError,), {})()), False),
        (SignatureRaises(TypeError()), False),
    ])
    def test_counts_parameters(self, handler, expected):
        assert RawAgent._check_accepts_state(handler=handler) is expected
        agent = RawAgent("a", handler)
        assert agent._accepts_state is expected and agent._handler is handler

    def test_other_exceptions_propagate(self):
        exc = LookupError("boom")
        with pytest.raises(LookupError) as info:
            RawAgent("a", SignatureRaises(exc))
        assert info.value is exc

    def test_inspect_resolved_at_call_time(self, monkeypatch):
        calls = []
        fake_sig = types.SimpleNamespace(parameters={"x": 1, "y": 2})
        monkeypatch.setattr(raw, "inspect", types.SimpleNamespace(
            signature=lambda h: calls.append(h) or fake_sig))
        assert RawAgent._check_accepts_state(one) is True and calls == [one]
        monkeypatch.delattr(raw, "inspect")
        assert outcome(lambda: RawAgent("a", one)) == (NameError, "name 'inspect' is not defined")

    def test_constructor_looks_it_up_on_the_instance(self):
        class Custom(RawAgent):
            def _check_accepts_state(self, handler):
                return (self, handler)

        agent = Custom("a", one)
        assert agent._accepts_state == (agent, one)


class TestConstruction:
    def test_attribute_order_and_read_back(self):
        order = []

        class Recording(RawAgent):
            def __setattr__(self, key, value):
                order.append(key)
                if key == "_initial_state":
                    value = {"rewritten": True}
                super().__setattr__(key, value)

        assert Recording("a", one, {"x": 1})._state == {"rewritten": True}
        assert order == ["_name", "_handler", "_initial_state", "_state", "_accepts_state"]

    def test_failed_assignment_keeps_earlier_attributes(self):
        class Refusing(RawAgent):
            def __setattr__(self, key, value):
                if key == "_state":
                    raise AttributeError("no state here")
                super().__setattr__(key, value)

        agent = Refusing.__new__(Refusing)
        assert outcome(lambda: agent.__init__("a", one)) == (AttributeError, "no state here")
        assert list(vars(agent)) == ["_name", "_handler", "_initial_state"]

    @pytest.mark.parametrize("initial", [None, {}, {"b": 1, "a": []}])
    def test_private_shallow_copies(self, initial):
        agent = RawAgent("a", one, initial)
        expected = dict(initial or {})
        if initial is not None:
            initial["c"] = 3
        assert list(agent._initial_state.items()) == list(expected.items())
        assert agent._state == expected
        assert len({id(initial), id(agent._initial_state), id(agent._state)}) == 3
        if expected:
            assert agent._state["a"] is agent._initial_state["a"] is initial["a"]


class TestNameSetupGetState:
    @pytest.mark.parametrize("value, expected", [
        ("bot", ("ok", "bot")), (None, ("ok", None)), (5, (TypeError, "Expected str, got int")),
        (type("T", (str,), {})("x"), (TypeError, "Expected str, got T")),
        (LongStr("x"), (TypeError, "Expected str, got " + "S" * 200)),
    ])
    def test_name(self, value, expected):
        agent = RawAgent("bot", one)
        agent._name = value
        assert outcome(lambda: agent.name) == expected
        del agent._name
        assert outcome(lambda: agent.name) == (
            AttributeError, "'RawAgent' object has no attribute '_name'")

    def test_get_state_and_setup(self):
        items = []
        agent = RawAgent("a", one, {"items": items, "n": 0})
        first, second = agent.get_state(), agent.get_state()
        assert first == second == agent._state and len({id(first), id(second), id(agent._state)}) == 3
        first["x"] = 1
        agent._state.update(n=5, extra=True)
        agent._state["items"].append("kept")
        old = agent._state
        assert agent.setup() is None
        assert agent._state is not old and agent.get_state() == {"items": ["kept"], "n": 0}

    @pytest.mark.parametrize("value", [[("k", "v")], type("M", (dict,), {})(a=1), 5, None])
    def test_copies_use_the_dict_constructor(self, value):
        expected = outcome(lambda: dict(value))
        agent = RawAgent("a", one)
        agent._initial_state = value
        assert outcome(lambda: agent.setup() or agent._state) == expected
        agent._state = value
        assert outcome(agent.get_state) == expected
        assert expected[0] != "ok" or type(agent.get_state()) is dict

    def test_no_reference_leaks(self):
        handler, name, initial = two, "leak-check", {"k": object()}
        watched = [handler, name, initial, initial["k"]]
        before = [sys.getrefcount(o) for o in watched]
        for _ in range(200):
            agent = RawAgent(name, handler, initial)
            agent.setup(), agent.get_state(), agent.name
            with pytest.raises(TypeError):
                RawAgent(name, handler, [])
        del agent
        assert [sys.getrefcount(o) for o in watched] == before
