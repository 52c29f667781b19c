"""RawAgent: module namespace, class building, construction, the state test, name,
setup and get_state, and how all of it looks to introspection."""

import functools
import inspect
import os
import pydoc
import subprocess
import sys
import textwrap
import types
from typing import Callable

import pytest

import orrinth.adapters.raw as raw
from orrinth.adapters.raw import RawAgent
from orrinth.agent import AgentUnderTest, Message, Response

SUBCLASS_NOTE = (
    "Instances of subclasses of built-in types are refused here. "
    "Convert the value to the exact built-in type first."
)

CLASS_DOC = (
    "Wraps a plain Python callable as an AgentUnderTest.\n\n"
    "    The handler receives a dict with 'sender', 'content', and 'turn' keys\n"
    "    and must return either a str or a dict with a 'content' key.\n\n"
    "    If the handler accepts a second 'state' parameter, the current state dict\n"
    "    is passed and any mutations persist across turns.\n"
    "    "
)

# The same class written in Python: the reference for argument errors and help().
REFERENCE_SOURCE = '''
class RawAgent(AgentUnderTest):
    __doc__ = DOC

    def __init__(self, name: "str", handler: "Callable",
                 initial_state: "dict | None" = None) -> "None":
        pass

    @staticmethod
    def _check_accepts_state(handler: "Callable") -> "bool":
        pass

    @property
    def name(self) -> "str":
        pass

    def receive(self, message: "Message") -> "Response":
        """Call the handler with the message dict and return a Response."""

    def setup(self) -> "None":
        """Reset state to initial values before each run."""

    def get_state(self) -> "dict":
        """Return a copy of the current state."""
'''


@pytest.fixture
def reference(monkeypatch):
    """The Python-written RawAgent, in a module of its own registered in sys.modules."""
    mod = types.ModuleType("raw_reference")
    mod.__dict__.update(AgentUnderTest=AgentUnderTest, Callable=Callable, DOC=CLASS_DOC)
    monkeypatch.setitem(sys.modules, "raw_reference", mod)
    exec(REFERENCE_SOURCE, mod.__dict__)
    return mod.RawAgent


def one(msg):
    return "ok"


def two(msg, state):
    return "ok"


def outcome(call):
    """(exception type, message) of a call that must fail."""
    with pytest.raises(Exception) as info:
        call()
    return type(info.value), str(info.value)


def run_python(code):
    """Run `code` in a fresh interpreter with this process's import path."""
    env_path = ":".join(p for p in sys.path if p)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": env_path},
        timeout=60,
    )


class TestModule:
    def test_namespace_order(self):
        names = [n for n in vars(raw) if not (n.startswith("__") and n.endswith("__"))]
        assert names == ["inspect", "Callable", "AgentUnderTest", "Message", "Response", "RawAgent"]

    def test_bound_objects(self):
        assert raw.inspect is inspect
        assert raw.Callable is Callable
        assert (raw.AgentUnderTest, raw.Message, raw.Response) == (AgentUnderTest, Message, Response)

    def test_no_module_docstring(self):
        assert raw.__doc__ is None

    def test_reimport_keeps_identity(self):
        import importlib

        assert importlib.import_module("orrinth.adapters.raw").RawAgent is RawAgent

    def test_missing_agent_module_fails_import(self):
        r = run_python("""
            import sys
            sys.modules["orrinth.agent"] = None
            try:
                import orrinth.adapters.raw
            except ImportError as e:
                print(type(e).__name__, "|", e)
            print("raw" in sys.modules.get("orrinth.adapters").__dict__)
        """)
        assert r.stdout.splitlines() == [
            "ModuleNotFoundError | import of orrinth.agent halted; None in sys.modules",
            "False",
        ], r.stderr

    def test_missing_name_fails_import_with_interpreters_message(self):
        r = run_python("""
            import sys, types
            fake = types.ModuleType("orrinth.agent")
            fake.AgentUnderTest = object
            fake.Message = object
            sys.modules["orrinth.agent"] = fake
            try:
                from orrinth.agent import Response
            except ImportError as e:
                print(e)
            try:
                import orrinth.adapters.raw
            except ImportError as e:
                print(e)
        """)
        lines = r.stdout.splitlines()
        assert len(lines) == 2, r.stderr
        assert lines[0] == lines[1] == (
            "cannot import name 'Response' from 'orrinth.agent' (unknown location)"
        )

    def test_metaclass_prepare_supplies_namespace(self):
        r = run_python("""
            import sys, types
            import orrinth.agent as real

            seen, prepared, made = [], [], []

            class Recording(dict):
                def __setitem__(self, key, value):
                    seen.append(key)
                    super().__setitem__(key, value)

            class Meta(type):
                @classmethod
                def __prepare__(mcls, name, bases, **kw):
                    prepared.append((name, bases))
                    return Recording()

                def __new__(mcls, name, bases, ns, **kw):
                    made.append(type(ns).__name__)
                    return super().__new__(mcls, name, bases, dict(ns))

            class Base(metaclass=Meta):
                pass

            fake = types.ModuleType("orrinth.agent")
            seen.clear()
            fake.AgentUnderTest, fake.Message, fake.Response = Base, real.Message, real.Response
            sys.modules["orrinth.agent"] = fake
            from orrinth.adapters.raw import RawAgent
            print(seen)
            print(prepared[-1][0], prepared[-1][1] == (Base,), made[-1], type(RawAgent).__name__)
        """)
        lines = r.stdout.splitlines()
        assert lines == [
            "['__module__', '__qualname__', '__doc__', '__init__', '_check_accepts_state', "
            "'name', 'receive', 'setup', 'get_state']",
            "RawAgent True Recording Meta",
        ], r.stderr


class TestClass:
    def test_class_attributes(self):
        assert RawAgent.__bases__ == (AgentUnderTest,)
        assert RawAgent.__module__ == "orrinth.adapters.raw"
        assert RawAgent.__qualname__ == "RawAgent"
        assert RawAgent.__doc__ == CLASS_DOC
        assert not inspect.isabstract(RawAgent)

    def test_member_order_and_kinds(self):
        own = [n for n in vars(RawAgent) if n in {
            "__init__", "_check_accepts_state", "name", "receive", "setup", "get_state"}]
        assert own == ["__init__", "_check_accepts_state", "name", "receive", "setup", "get_state"]
        assert isinstance(vars(RawAgent)["_check_accepts_state"], staticmethod)
        prop = vars(RawAgent)["name"]
        assert isinstance(prop, property) and prop.fset is None and prop.fdel is None

    @pytest.mark.parametrize(
        "fn, qualname, doc, annotations",
        [
            (RawAgent.__init__, "RawAgent.__init__", None,
             {"name": "str", "handler": "Callable", "initial_state": "dict | None",
              "return": "None"}),
            (RawAgent._check_accepts_state, "RawAgent._check_accepts_state", None,
             {"handler": "Callable", "return": "bool"}),
            (RawAgent.name.fget, "RawAgent.name", None, {"return": "str"}),
            (RawAgent.receive, "RawAgent.receive",
             "Call the handler with the message dict and return a Response.",
             {"message": "Message", "return": "Response"}),
            (RawAgent.setup, "RawAgent.setup",
             "Reset state to initial values before each run.", {"return": "None"}),
            (RawAgent.get_state, "RawAgent.get_state", "Return a copy of the current state.",
             {"return": "dict"}),
        ],
    )
    def test_member_metadata(self, fn, qualname, doc, annotations):
        assert fn.__qualname__ == qualname
        assert fn.__name__ == qualname.rsplit(".", 1)[1]
        assert fn.__module__ == "orrinth.adapters.raw"
        assert fn.__doc__ == doc
        assert fn.__annotations__ == annotations
        assert list(fn.__annotations__) == list(annotations)

    def test_init_defaults(self):
        assert RawAgent.__init__.__defaults__ == (None,)

    def test_signatures_match_python(self, reference):
        for attr in ["__init__", "_check_accepts_state", "receive", "setup", "get_state"]:
            assert str(inspect.signature(getattr(RawAgent, attr))) == str(
                inspect.signature(getattr(reference, attr)))
        assert str(inspect.signature(RawAgent)) == str(inspect.signature(reference)) == (
            "(name: 'str', handler: 'Callable', initial_state: 'dict | None' = None) -> 'None'")

    def test_bound_method_signatures(self):
        agent = RawAgent("a", one)
        assert str(inspect.signature(agent.receive)) == "(message: 'Message') -> 'Response'"
        assert str(inspect.signature(agent.setup)) == "() -> 'None'"
        assert str(inspect.signature(agent._check_accepts_state)) == (
            "(handler: 'Callable') -> 'bool'")

    def test_help_reads_like_python(self, reference):
        ours = pydoc.render_doc(RawAgent, renderer=pydoc.plaintext)
        theirs = pydoc.render_doc(reference, renderer=pydoc.plaintext)
        assert ours == theirs.replace("raw_reference", "orrinth.adapters.raw")


ERROR_CALLS = {
    "no arguments": lambda C: C(),
    "name only": lambda C: C("a"),
    "too many": lambda C: C("a", one, {}, 1),
    "unknown keyword": lambda C: C("a", one, state={}),
    "doubled name": lambda C: C("a", one, name="b"),
    "doubled self": lambda C: C.__init__(C.__new__(C), "a", one, self=1),
    "non-str keyword": lambda C: C("a", one, **{1: 2}),
    "receive none": lambda C: C("a", one).receive(),
    "receive two": lambda C: C("a", one).receive(1, 2),
    "receive keyword typo": lambda C: C("a", one).receive(msg=1),
    "unbound receive": lambda C: C.receive(),
    "setup extra": lambda C: C("a", one).setup(1),
    "get_state keyword": lambda C: C("a", one).get_state(x=1),
    "state test none": lambda C: C._check_accepts_state(),
    "state test two": lambda C: C._check_accepts_state(one, two),
    "name setter": lambda C: setattr(C("a", one), "name", "b"),
    "name deleter": lambda C: delattr(C("a", one), "name"),
}


class TestArgumentErrors:
    @pytest.mark.parametrize("call", ERROR_CALLS.values(), ids=ERROR_CALLS.keys())
    def test_same_as_python(self, call, reference):
        assert outcome(lambda: call(RawAgent)) == outcome(lambda: call(reference))

    def test_all_keywords(self):
        agent = RawAgent(initial_state={"a": 1}, handler=two, name="n")
        assert (agent._name, agent._handler, agent._state, agent._accepts_state) == (
            "n", two, {"a": 1}, True)

    def test_positional_message_and_keyword(self):
        agent = RawAgent("a", one)
        assert agent.receive(message=Message("s", "c", 1)) == Response("ok")
        assert RawAgent.receive(agent, Message("s", "c", 1)) == Response("ok")


class LongNameStr(str):
    pass


LongNameStr.__name__ = "S" * 300


class TestArgumentTypes:
    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"name": b"bot"}, "Argument 'name' has incorrect type (expected str, got bytes)"),
            ({"name": None}, "Argument 'name' has incorrect type (expected str, got NoneType)"),
            ({"name": type("Name", (str,), {})("bot")},
             "Argument 'name' has incorrect type (expected str, got Name). " + SUBCLASS_NOTE),
            ({"name": LongNameStr("bot")},
             "Argument 'name' has incorrect type (expected str, got " + "S" * 200 + "). "
             + SUBCLASS_NOTE),
            ({"initial_state": [("a", 1)]},
             "Argument 'initial_state' has incorrect type (expected dict, got list)"),
            ({"initial_state": type("State", (dict,), {})()},
             "Argument 'initial_state' has incorrect type (expected dict, got State). "
             + SUBCLASS_NOTE),
            # name is tested first
            ({"name": 1, "initial_state": []},
             "Argument 'name' has incorrect type (expected str, got int)"),
        ],
    )
    def test_refused_before_anything_is_set(self, kwargs, message):
        agent = RawAgent.__new__(RawAgent)
        args = {"name": "bot", "handler": one, **kwargs}
        with pytest.raises(TypeError) as info:
            agent.__init__(**args)
        assert str(info.value) == message
        assert vars(agent) == {}

    @pytest.mark.parametrize("handler", [5, None, "not callable"])
    def test_handler_not_tested(self, handler):
        agent = RawAgent("bot", handler)
        assert agent._handler is handler
        assert agent._accepts_state is False


def variadic(*args):
    pass


def with_varargs(a, *args):
    pass


def with_kwargs(a, **kw):
    pass


def with_kwonly(a, *, b):
    pass


def with_default(a, b=1):
    pass


def posonly(a, b, /):
    pass


class Handlers:
    def one(self, msg):
        pass

    def two(self, msg, state):
        pass


class RaisesOnSignature:
    def __init__(self, exc):
        self.exc = exc

    @property
    def __signature__(self):
        raise self.exc

    def __call__(self, msg, state):
        pass


class SignatureValueError(ValueError):
    pass


class TestStateTest:
    @pytest.mark.parametrize(
        "handler, expected",
        [
            (one, False),
            (two, True),
            (lambda: None, False),
            (variadic, False),
            (with_varargs, True),
            (with_kwargs, True),
            (with_kwonly, True),
            (with_default, True),
            (posonly, True),
            (Handlers().one, False),
            (Handlers().two, True),
            (functools.partial(two, {}), False),
            (5, False),
            (min, False),  # no signature: ValueError
            (RaisesOnSignature(SignatureValueError("x")), False),
            (RaisesOnSignature(TypeError("x")), False),
        ],
    )
    def test_counts_parameters(self, handler, expected):
        assert RawAgent._check_accepts_state(handler) is expected
        assert RawAgent._check_accepts_state(handler=handler) is expected
        assert RawAgent("a", handler)._accepts_state is expected

    def test_other_exceptions_propagate(self):
        exc = LookupError("boom")
        with pytest.raises(LookupError) as info:
            RawAgent("a", RaisesOnSignature(exc))
        assert info.value is exc

    def test_inspect_resolved_at_call_time(self, monkeypatch):
        calls = []

        class FakeSignature:
            parameters = {"x": 1, "y": 2, "z": 3}

        fake = types.SimpleNamespace(signature=lambda h: calls.append(h) or FakeSignature())
        monkeypatch.setattr(raw, "inspect", fake)
        assert RawAgent._check_accepts_state(one) is True
        assert calls == [one]

    def test_missing_inspect_is_a_name_error(self, monkeypatch):
        monkeypatch.delattr(raw, "inspect")
        with pytest.raises(NameError, match="^name 'inspect' is not defined$"):
            RawAgent._check_accepts_state(one)

    def test_constructor_uses_instance_lookup(self):
        seen = []

        class Custom(RawAgent):
            def _check_accepts_state(self, handler):
                seen.append((self, handler))
                return "yes"

        agent = Custom("a", one)
        assert seen == [(agent, one)]
        assert agent._accepts_state == "yes"

    def test_not_recomputed_when_handler_replaced(self):
        agent = RawAgent("a", one)
        agent._handler = two
        assert agent._accepts_state is False


class TestConstruction:
    def test_attribute_order_and_values(self):
        order = []

        class Recording(RawAgent):
            def __setattr__(self, key, value):
                order.append(key)
                super().__setattr__(key, value)

        initial = {"k": [1]}
        agent = Recording("bot", two, initial)
        assert order == ["_name", "_handler", "_initial_state", "_state", "_accepts_state"]
        assert vars(agent) == {"_name": "bot", "_handler": two, "_initial_state": {"k": [1]},
                               "_state": {"k": [1]}, "_accepts_state": True}

    def test_state_built_from_stored_initial_state(self):
        class Rewriting(RawAgent):
            def __setattr__(self, key, value):
                if key == "_initial_state":
                    value = {"rewritten": True}
                super().__setattr__(key, value)

        assert Rewriting("a", one, {"x": 1})._state == {"rewritten": True}

    def test_failed_assignment_keeps_earlier_attributes(self):
        class Refusing(RawAgent):
            def __setattr__(self, key, value):
                if key == "_state":
                    raise AttributeError("no state here")
                super().__setattr__(key, value)

        agent = Refusing.__new__(Refusing)
        with pytest.raises(AttributeError, match="^no state here$"):
            agent.__init__("a", one)
        assert set(vars(agent)) == {"_name", "_handler", "_initial_state"}

    def test_base_constructor_not_called(self, monkeypatch):
        def boom(self, *a, **k):
            raise AssertionError("base constructor called")

        monkeypatch.setattr(AgentUnderTest, "__init__", boom, raising=False)
        assert RawAgent("a", one)._name == "a"

    @pytest.mark.parametrize("initial", [None, {}])
    def test_empty_initial_state(self, initial):
        agent = RawAgent("a", one, initial)
        assert agent._initial_state == {} and agent._state == {}
        assert agent._initial_state is not initial
        assert agent._state is not agent._initial_state

    def test_copies_are_private_and_shallow(self):
        shared = []
        initial = {"b": 1, "a": shared}
        agent = RawAgent("a", one, initial)
        initial["c"] = 3
        del initial["b"]
        assert list(agent._initial_state.items()) == [("b", 1), ("a", shared)]
        assert agent._state == agent._initial_state
        assert agent._state is not agent._initial_state
        assert agent._state["a"] is shared and agent._initial_state["a"] is shared

    def test_returns_none(self):
        agent = RawAgent.__new__(RawAgent)
        assert agent.__init__("a", one) is None


class TestName:
    def test_returns_name(self):
        assert RawAgent("bot", one).name == "bot"

    @pytest.mark.parametrize(
        "value, message",
        [
            (5, "Expected str, got int"),
            (b"x", "Expected str, got bytes"),
            (LongNameStr("x"), "Expected str, got " + "S" * 200),
        ],
    )
    def test_refuses_other_types(self, value, message):
        agent = RawAgent("bot", one)
        agent._name = value
        with pytest.raises(TypeError) as info:
            agent.name
        assert str(info.value) == message

    def test_none_passes(self):
        agent = RawAgent("bot", one)
        agent._name = None
        assert agent.name is None

    def test_missing(self):
        agent = RawAgent("bot", one)
        del agent._name
        with pytest.raises(AttributeError, match="'RawAgent' object has no attribute '_name'"):
            agent.name


class TestSetupAndGetState:
    def test_get_state_returns_new_copies(self):
        agent = RawAgent("a", one, {"x": 1})
        first, second = agent.get_state(), agent.get_state()
        assert first == second == agent._state
        assert first is not second and first is not agent._state
        first["y"] = 2
        assert agent._state == {"x": 1}

    def test_setup_resets_but_copies_are_shallow(self):
        items = []
        agent = RawAgent("a", one, {"items": items, "n": 0})
        old_state = agent._state
        agent._state["n"] = 5
        agent._state["extra"] = True
        agent._state["items"].append("kept")
        assert agent.setup() is None
        assert agent._state is not old_state
        assert agent.get_state() == {"items": ["kept"], "n": 0}
        assert agent._initial_state == {"items": ["kept"], "n": 0}

    @pytest.mark.parametrize(
        "replacement, expected",
        [([("k", "v")], {"k": "v"}), (type("M", (dict,), {})(a=1), {"a": 1})],
    )
    def test_copy_uses_dict_constructor(self, replacement, expected):
        agent = RawAgent("a", one)
        agent._initial_state = replacement
        agent.setup()
        assert type(agent._state) is dict and agent._state == expected
        agent._state = replacement
        assert agent.get_state() == expected

    @pytest.mark.parametrize("value", [5, [1, 2], None])
    def test_dict_constructor_errors_pass_through(self, value):
        expected = outcome(lambda: dict(value))
        agent = RawAgent("a", one)
        agent._initial_state = value
        assert outcome(agent.setup) == expected
        agent._state = value
        assert outcome(agent.get_state) == expected


class TestReferences:
    def test_no_leaks_on_construction_and_copies(self):
        handler, name, initial = two, "leak-check", {"k": object()}
        value = initial["k"]
        before = [sys.getrefcount(o) for o in (handler, name, initial, value)]
        for _ in range(200):
            agent = RawAgent(name, handler, initial)
            agent.setup()
            agent.get_state()
            try:
                RawAgent(name, handler, [])
            except TypeError:
                pass
        del agent
        after = [sys.getrefcount(o) for o in (handler, name, initial, value)]
        assert after == before
