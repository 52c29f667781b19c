"""RawAgent.receive: the message dict, the handler call, results turned into a Response,
the refusal, safety against callbacks that mutate what is being read, and the fast routes
against the Python model for messages and Response classes of every shape."""

import abc
import builtins
import dataclasses
import gc
import itertools
import json
import sys
import sysconfig
import warnings
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import orrinth.adapters.raw as raw
from orrinth.adapters import _raw_routes
from orrinth.adapters.raw import RawAgent
from orrinth.agent import Message, Response

import models
from support import outcome, run_python


class Recorder:
    """Stands in for Response: records how it is called and returns a marker."""

    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return ("response", len(self.calls))


@pytest.fixture
def rec(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(raw, "Response", recorder)
    return recorder


def returning(result, name="bot"):
    return RawAgent(name, lambda msg: result)


def receive(agent, message=None):
    return agent.receive(message if message is not None else Message("user", "hi", 1))


def refusal(name, type_name):
    return (f"Handler for agent '{name}' returned {type_name}; "
            "expected str or dict with 'content' key.")


class Key:
    """A hashable key whose `!=` runs `ne` (a callable, an exception, or a value)."""

    def __init__(self, ne, label="key"):
        self.ne, self.label = ne, label

    def __hash__(self):
        return hash(self.label)

    def __ne__(self, other):
        if isinstance(self.ne, BaseException):
            raise self.ne
        return self.ne() if callable(self.ne) else self.ne


def two_then_raise():
    yield 1
    yield 2
    raise ZeroDivisionError("third")


class Falsy:
    def __bool__(self):
        return False


class BoolRaises:
    def __bool__(self):
        raise ArithmeticError("no bool")


class TestMessageAndCall:
    def test_message_dict(self):
        sender, content, turn, seen = object(), [1], object(), []
        receive(RawAgent("a", lambda msg: seen.append(msg) or "x"), Message(sender, content, turn))
        (msg,) = seen
        assert type(msg) is dict and list(msg) == ["sender", "content", "turn"]
        assert (msg["sender"], msg["content"], msg["turn"]) == (sender, content, turn)
        assert msg["sender"] is sender and msg["content"] is content and msg["turn"] is turn

    @pytest.mark.parametrize("missing", ["sender", "turn"])
    def test_message_attributes_read_in_order(self, missing):
        reads, calls = [], []

        class Partial:
            def __getattr__(self, name):
                reads.append(name)
                if name == missing:
                    raise AttributeError(name)
                return name

        agent = RawAgent("a", lambda msg, state: calls.append(1) or "x", {"k": 1})
        assert outcome(lambda: agent.receive(Partial()))[0] is AttributeError
        assert reads == ["sender", "content", "turn"][: reads.index(missing) + 1]
        assert reads[-1] == missing and calls == [] and agent._state == {"k": 1}
        assert outcome(lambda: agent.receive(None)) == (
            AttributeError, "'NoneType' object has no attribute 'sender'")

    @pytest.mark.parametrize("takes_state", [False, True])
    def test_releases_as_python_does(self, monkeypatch, takes_state):
        """A handler that replaced itself is freed before Response is built; the message
        dict (and what the handler stored in it) lives until receive returns."""
        class Tracked:
            pass

        def run(receive_impl):
            refs, alive_at_response = {}, []

            def make_handler():
                def handler(msg, *state):
                    msg["kept"] = tracked = Tracked()
                    refs["stored"] = weakref.ref(tracked)
                    refs["handler"] = weakref.ref(agent._handler)
                    agent._handler = lambda m, *s: "next"
                    return "ok"
                return handler if takes_state else lambda msg: handler(msg)

            def response(**kwargs):
                alive_at_response.extend(r() is not None for r in refs.values())
                return "response"

            agent = RawAgent("a", make_handler())
            monkeypatch.setattr(raw, "Response", response)
            assert receive_impl(agent, Message("user", "hi", 1)) == "response"
            return alive_at_response

        assert run(RawAgent.receive) == run(models.receive) == [True, False]

    def test_counter_in_state(self):
        seen = []

        def count(msg, state):
            state["count"] += 1
            seen.append(state["count"])
            return str(state["count"])

        agent = RawAgent("counter", count, {"count": 0})
        assert [receive(agent).content for _ in range(3)] == ["1", "2", "3"]
        assert seen == [1, 2, 3] and agent.get_state() == {"count": 3}
        agent.setup()
        assert agent.get_state() == {"count": 0}
        receive(agent)
        assert seen[-1] == 1

    @pytest.mark.parametrize("accepts, nargs", [
        (True, 2), (False, 1), (None, 1), (1, 2), (0, 1), ([0], 2), ("", 1)])
    def test_accepts_state_by_truth(self, accepts, nargs):
        seen = []
        agent = RawAgent("a", lambda *args: seen.append(args) or "x")
        agent._accepts_state = accepts
        receive(agent)
        assert len(seen[0]) == nargs and (nargs == 1 or seen[0][1] is agent._state)

    def test_positional_only_handler_and_errors_pass_through(self):
        assert receive(RawAgent("a", lambda msg, /, state: "x")) == Response("x")
        exc = KeyError("inside")

        def handler(msg):
            raise exc

        with pytest.raises(KeyError) as info:
            receive(RawAgent("a", handler))
        assert info.value is exc
        agent = RawAgent("a", lambda msg: pytest.fail("handler called"))
        agent._accepts_state = BoolRaises()
        assert outcome(lambda: receive(agent)) == (ArithmeticError, "no bool")

    def test_agent_attributes_read_in_order_at_every_call(self):
        reads = []

        class Tracing(RawAgent):
            def __getattribute__(self, name):
                if name.startswith("_") and not name.startswith("__"):
                    reads.append(name)
                return super().__getattribute__(name)

        agent = Tracing("a", lambda msg, state: "x")
        reads.clear()
        receive(agent)
        assert reads == ["_accepts_state", "_handler", "_state"]
        agent._handler, agent._accepts_state = (lambda msg: None), False
        reads.clear()
        assert outcome(lambda: receive(agent))[0] is TypeError
        assert reads == ["_accepts_state", "_handler", "_name"]


    @pytest.mark.parametrize("missing", ["_accepts_state", "_handler", "_state"])
    def test_missing_agent_attribute(self, missing):
        agent = RawAgent("a", lambda msg, state: "x")
        delattr(agent, missing)
        assert outcome(lambda: receive(agent)) == (
            AttributeError, f"'RawAgent' object has no attribute '{missing}'")


class TestResults:
    def test_str(self, rec):
        text = type("Text", (str,), {})("hello")
        assert receive(returning("plain")) == ("response", 1)
        receive(returning(text))
        assert rec.calls == [((), {"content": "plain"}), ((), {"content": text})]
        assert rec.calls[1][1]["content"] is text

    @pytest.mark.parametrize("result, content, metadata", [
        ({"content": "hi", "mood": "ok"}, "hi", {"mood": "ok"}),
        ({"mood": "ok", "n": 1}, "", {"mood": "ok", "n": 1}),
        ({"content": 42}, 42, {}),
        ({"content": "x", "metadata": {"a": 1}, "b": 2}, "x", {"metadata": {"a": 1}, "b": 2}),
        ({"z": 1, "a": 2, "content": "c", "m": 3}, "c", {"z": 1, "a": 2, "m": 3}),
    ])
    def test_dict(self, rec, result, content, metadata):
        receive(returning(result))
        ((args, kwargs),) = rec.calls
        assert args == () and list(kwargs) == ["content", "metadata"]
        assert kwargs["content"] == content and type(kwargs["metadata"]) is dict
        assert list(kwargs["metadata"].items()) == list(metadata.items())

    def test_dict_objects_not_copied(self, rec):
        content, value, key = ["c"], {"nested": []}, ("k",)
        result = {"content": content, key: value}
        receive(returning(result))
        kwargs = rec.calls[0][1]
        assert kwargs["content"] is content and kwargs["metadata"][key] is value
        assert next(iter(kwargs["metadata"])) is key and len(result) == 2

    def test_dict_subclass_read_through_its_methods(self, rec):
        calls = []

        class Custom(dict):
            def get(self, *args):
                calls.append(("get",) + args)
                return "chosen"

            def items(self):
                calls.append(("items",))
                yield from [("x", 1), ("content", "dropped"), ("y", 2)]

        receive(returning(Custom(content="ignored", other=5)))
        assert calls == [("get", "content", ""), ("items",)]
        assert rec.calls == [((), {"content": "chosen", "metadata": {"x": 1, "y": 2}})]

    def test_real_response(self):
        assert receive(returning({"content": "c", "k": 1})) == Response("c", {"k": 1})
        assert receive(returning("c")) == Response("c", {})

    @pytest.mark.parametrize("key, passes", [
        ("content", False), ("Content", True), (type("S", (str,), {})("content"), False),
        (type("S", (str,), {})("other"), True), (None, True), (0, True), (b"content", True),
        (Key(False), False), (Key(True), True), (Key(Falsy()), False), (Key(1), True),
        (Key(NotImplemented), True),
    ])
    def test_key_test(self, rec, key, passes):
        receive(returning({key: "v"}))
        assert (key in rec.calls[0][1]["metadata"]) is passes

    @pytest.mark.parametrize("ne", [RuntimeError("ne"), BoolRaises()])
    def test_key_test_errors_pass_through(self, rec, ne):
        got = outcome(lambda: receive(returning({"a": 1, Key(ne): 2})))
        assert got == ((RuntimeError, "ne") if isinstance(ne, Exception)
                       else (ArithmeticError, "no bool"))
        assert rec.calls == []

    @pytest.mark.parametrize("make_items", [
        lambda: [1], lambda: [(1, 2, 3)], lambda: [(1,)], lambda: [()], lambda: ["abc"],
        lambda: ["ab"], lambda: [[1, 2]], lambda: [iter((1, 2))], lambda: [{"k": 1, "l": 2}],
        lambda: [two_then_raise()], lambda: 5, lambda: None,
    ])
    def test_subclass_items_unpack_as_the_interpreter_does(self, rec, make_items):
        class Custom(dict):
            def items(self):
                return make_items()

        expected = outcome(lambda: models.metadata(Custom()))
        got = outcome(lambda: receive(returning(Custom())))
        assert got == (expected if expected[0] != "ok" else ("ok", ("response", 1)))
        assert expected[0] != "ok" or rec.calls[0][1]["metadata"] == expected[1]

    def test_unpack_messages(self):
        msgs = [outcome(lambda: receive(returning(type("D", (dict,), {"items": lambda s: i})())))
                for i in ([1], [(1, 2, 3)], [(1,)])]
        assert msgs == [(TypeError, "cannot unpack non-iterable int object"),
                        (ValueError, "too many values to unpack (expected 2)"),
                        (ValueError, "not enough values to unpack (expected 2, got 1)")]


class TestRefusal:
    @pytest.mark.parametrize("result, type_name", [
        (None, "NoneType"), ([], "list"), ((), "tuple"), (b"x", "bytes"), (1.5, "float"),
        (Response("x"), "Response"), (dict, "type"),
    ])
    def test_message(self, rec, result, type_name):
        with pytest.raises(TypeError) as info:
            receive(returning(result, name="bot"))
        assert info.value.args == (refusal("bot", type_name),) and rec.calls == []

    def test_coroutine_not_awaited(self):
        async def handler(msg):
            return "never"

        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            got = outcome(lambda: receive(RawAgent("bot", handler)))
        assert got == (TypeError, refusal("bot", "coroutine"))

    class Named:
        def __format__(self, fmt):
            return f"formatted[{fmt}]"

    @pytest.mark.parametrize("name, text", [
        (5, "5"), (None, "None"), ("{x}", "{x}"), (Named(), "formatted[]")])
    def test_name_formatted(self, name, text):
        def handler(msg, state):
            state["touched"] = True
            return 7

        agent = RawAgent("a", handler)
        agent._name = name
        assert outcome(lambda: receive(agent)) == (TypeError, refusal(text, "int"))
        assert agent.get_state() == {"touched": True}


@pytest.fixture
def namespace_order():
    """Put the module's names back in their order after monkeypatch has re-added a deleted
    one at the end (other tests compare the namespace's order)."""
    order = list(vars(raw))
    yield
    ns = vars(raw)
    items = sorted(ns.items(), key=lambda kv: order.index(kv[0]) if kv[0] in order else len(order))
    ns.clear()
    ns.update(items)


class TestResponseLookup:
    def test_looked_up_at_every_call_then_builtins(self, namespace_order, monkeypatch):
        agent, first, second = returning({"content": "x"}), Recorder(), Recorder()
        monkeypatch.setattr(raw, "Response", first)
        receive(agent)
        monkeypatch.setattr(raw, "Response", second)
        receive(agent)
        assert len(first.calls) == len(second.calls) == 1
        monkeypatch.delattr(raw, "Response")
        assert outcome(lambda: receive(agent)) == (NameError, "name 'Response' is not defined")
        monkeypatch.setattr(builtins, "Response", first, raising=False)
        receive(agent)
        assert first.calls[-1] == ((), {"content": "x", "metadata": {}})

    def test_result_and_errors_pass_through(self, monkeypatch):
        marker, exc = object(), LookupError("from Response")
        monkeypatch.setattr(raw, "Response", lambda **kw: marker)
        assert receive(returning("x")) is marker
        monkeypatch.setattr(raw, "Response", lambda **kw: (_ for _ in ()).throw(exc))
        with pytest.raises(LookupError) as info:
            receive(returning("x"))
        assert info.value is exc


def added(d): d["z"] = 1
def swapped(d): d.pop("b"); d["z"] = 9  # noqa: E702
def refilled(d): d.clear(); d.update(x=1, y=2, w=3)  # noqa: E702
def shrunk(d): d.pop("a")
def earlier_swapped(d): d.pop("a"); d["z"] = 9  # noqa: E702
def cleared(d): d.clear()


class TestHostileCallbacks:
    """A key's comparison or hash mutates the result dict during the walk: the outcome
    must be the interpreter's own for the same comprehension, and never a crash."""

    @staticmethod
    def build(mutation):
        d, once = {}, [mutation]
        d["a"] = object()
        d[Key(lambda: (once and once.pop()(d)) or True)] = object()
        d["b"] = object()
        return d

    @staticmethod
    def shape(metadata):
        return [k if isinstance(k, str) else type(k).__name__ for k in metadata]

    @pytest.mark.parametrize("mutation", [added, swapped, refilled, shrunk, earlier_swapped,
                                          cleared])
    def test_exact_dict_mutated_by_key_comparison(self, rec, mutation):
        expected = outcome(lambda: models.metadata(self.build(mutation)))
        got = outcome(lambda: receive(returning(self.build(mutation))))
        if expected[0] == "ok":
            assert got[0] == "ok"
            assert self.shape(rec.calls[0][1]["metadata"]) == self.shape(expected[1])
        else:
            assert got == expected

    plain_keys = st.sampled_from(["a", "b", "content", 0, None])
    ops = st.lists(st.one_of(
        st.tuples(st.just("set"), plain_keys, st.integers(0, 9)),
        st.tuples(st.just("pop"), plain_keys),
        st.tuples(st.just("clear"))), max_size=4)

    @settings(max_examples=200, deadline=None)
    @given(entries=st.lists(st.tuples(plain_keys, st.integers(0, 9)), max_size=6),
           triggers=st.lists(st.tuples(st.integers(0, 6), ops), min_size=1, max_size=2))
    def test_random_mutations_match_the_interpreter(self, entries, triggers):
        def build():
            d, items = {}, list(entries)
            for n, (pos, actions) in enumerate(triggers):
                pending = [actions]

                def fire(pending=pending):
                    for op in pending.pop() if pending else ():
                        if op[0] == "set":
                            d[op[1]] = op[2]
                        elif op[0] == "pop":
                            d.pop(op[1], None)
                        else:
                            d.clear()
                    return True

                items.insert(pos, (Key(fire, f"trigger{n}"), -1))
            d.update(items)
            return d

        def shape(call):
            got = outcome(call)
            if got[0] != "ok":
                return got
            return [(getattr(k, "label", k), v) for k, v in got[1].items()]

        recorder = Recorder()
        raw.Response = recorder
        try:
            ours = shape(lambda: receive(returning(build())) and recorder.calls[-1][1]["metadata"])
        finally:
            raw.Response = Response
        assert ours == shape(lambda: models.metadata(build()))

    def test_mutation_by_hash_during_insertion(self, rec):
        class HashMutates:
            target = None

            def __hash__(self):
                if self.target is not None:
                    self.target["late"] = 1
                return 7

        def build():
            key = HashMutates()
            d = {"a": 1, key: 2, "b": 3}
            key.target = d
            return d

        expected = outcome(lambda: models.metadata(build()))
        assert expected == (RuntimeError, "dictionary changed size during iteration")
        assert outcome(lambda: receive(returning(build()))) == expected

    def test_removed_value_kept_alive_then_freed(self, rec):
        class Tracked:
            pass

        d = {}
        d[Key(lambda: d.clear() or True)] = Tracked()
        alive = weakref.ref(next(iter(d.values())))
        assert outcome(lambda: receive(returning(d))) == (
            RuntimeError, "dictionary changed size during iteration")
        gc.collect()
        assert alive() is None

    def test_agent_vandalised_and_reentered(self):
        depth = []

        def vandalise():
            agent.receive(Message("k", "k", 99))
            agent._handler = agent._state = agent._name = None
            return True

        def handler(msg, state):
            depth.append(msg["turn"])
            if msg["turn"] == 1:
                inner = agent.receive(Message("self", "again", 2))
                return {"content": inner.content + "<", Key(vandalise): state}
            return "leaf"

        agent = RawAgent("a", handler)
        response = agent.receive(Message("u", "go", 1))
        assert response.content == "leaf<" and depth == [1, 2, 99]
        assert list(response.metadata.values()) == [{}] and agent._handler is None

    def test_no_reference_leaks(self, rec):
        content, value, key, text = object(), object(), ("key",), "text-result"
        result = {"content": content, key: value}
        handlers = [lambda msg, state: result, lambda msg, state: text,
                    lambda msg, state: None]
        agent = RawAgent("a", handlers[0])
        message = Message(object(), object(), object())
        watched = [content, value, key, result, text, *handlers, message.sender,
                   message.content, message.turn, agent._state]
        before = [sys.getrefcount(o) for o in watched]
        for i in range(300):
            agent._handler = handlers[i % 3]
            outcome(lambda: receive(agent, message))
        agent._handler = handlers[0]
        rec.calls.clear()
        assert [sys.getrefcount(o) for o in watched] == before


# ---------------------------------------------------------------------------------------
# Against the Python model, for messages and Response classes of every shape: the
# message's attributes are read where the interpreter would read them, and a plain class
# is called without the interpreter's keyword dict, so both must stay indistinguishable
# from `message.sender` and `Response(content=...)` whatever the classes do.


def test_inline_reads_are_on_where_the_layout_is_known():
    # Otherwise the comparisons below would compare getattr with getattr.
    known = (3, 11) <= sys.version_info[:2] <= (3, 13) and not sysconfig.get_config_var(
        "Py_GIL_DISABLED")
    assert _raw_routes.inline_attrs is known
    assert _raw_routes.class_call is True
    assert _raw_routes.direct_message_dicts is known


# ---- messages: each factory makes a fresh message, so side effects start over


@dataclasses.dataclass(slots=True)
class SlotsMessage:
    sender: object
    content: object
    turn: object


class PlainMessage:
    def __init__(self, sender, content, turn):
        self.sender, self.content, self.turn = sender, content, turn


class SenderProperty(PlainMessage):
    """Reading `sender` changes `content`, which is read after it, through the instance
    dict, after a key that makes the dict give up the values it kept inline."""

    @property
    def sender(self):
        vars(self)[0] = "not a name"
        vars(self)["content"] = "changed by sender"
        return "prop"

    @sender.setter
    def sender(self, value):
        pass


class TurnFromClass(PlainMessage):
    turn = "class turn"

    def __init__(self, sender, content, turn):
        self.sender, self.content = sender, content


class Fallback(PlainMessage):
    def __getattr__(self, name):
        return f"fallback {name}"


def made_dict():
    m = Message("u", "hi", 1)
    m.__dict__["content"] = "via dict"
    return m


def deleted(name):
    def make():
        m = PlainMessage("u", "hi", 1)
        delattr(m, name)
        return m
    return make


def reassigned():
    m = PlainMessage("u", "hi", 1)
    m.__class__ = SenderProperty
    return m


MESSAGES = {
    "dataclass": lambda: Message("u", "hi", 1),
    "slots": lambda: SlotsMessage("u", "hi", 1),
    "plain": lambda: PlainMessage("u", ["x"], 2),
    "property": lambda: SenderProperty("u", "hi", 1),
    "class attribute": lambda: TurnFromClass("u", "hi", 1),
    "__getattr__": lambda: Fallback("u", "hi", 1),
    "dict made": made_dict,
    "content deleted": deleted("content"),
    "turn deleted": deleted("turn"),
    "__class__ reassigned": reassigned,
}


# ---- Response stand-ins


class Meta(type):
    def __call__(cls, *args, **kwargs):
        return ("meta", args, kwargs)


class WithMeta(metaclass=Meta):
    def __init__(self, content, metadata=None):
        self.content = content


class OwnNew:
    def __new__(cls, *args, **kwargs):
        obj = super().__new__(cls)
        obj.seen = kwargs
        return obj

    def __init__(self, content, metadata=None):
        self.content = content


class ReturnsValue:
    def __init__(self, content, metadata=None):
        return 1


class Raises:
    def __init__(self, content, metadata=None):
        raise LookupError(content)


class ContentOnly:
    def __init__(self, content):
        self.content = content


class Abstract(abc.ABC):
    @abc.abstractmethod
    def f(self): ...

    def __init__(self, content, metadata=None):
        self.content = content


class CallableInit:
    class Init:
        def __get__(self, obj, cls=None):
            return lambda **kw: setattr(obj, "kw", kw)

    __init__ = Init()


class SlotsResponse:
    __slots__ = ("content", "metadata")

    def __init__(self, content, metadata=None):
        self.content, self.metadata = content, metadata


RESPONSES = [Response, WithMeta, OwnNew, ReturnsValue, Raises, ContentOnly, Abstract,
             CallableInit, SlotsResponse, dict]


def shape(result):
    """What a receive gave, comparable across two calls that make different objects."""
    kind, value = result
    if kind != "ok" or isinstance(value, (tuple, dict)):
        return result
    state = getattr(value, "__dict__", None)
    if state is None:
        state = {k: getattr(value, k, None) for k in getattr(type(value), "__slots__", ())}
    return kind, type(value), state


@pytest.mark.parametrize("response", RESPONSES, ids=lambda r: r.__name__)
@pytest.mark.parametrize("message", MESSAGES, ids=str)
@pytest.mark.parametrize("result", ["text", {"content": "c", "k": 1}, {"k": 2}])
def test_receive_matches_the_model(monkeypatch, message, response, result):
    monkeypatch.setattr(raw, "Response", response)
    agent = RawAgent("a", lambda msg: (msg, result)[1])
    seen_native, seen_model = [], []
    for seen, call in [(seen_native, agent.receive), (seen_model, lambda m: models.receive(agent, m))]:
        agent._handler = lambda msg, seen=seen: seen.append(msg) or result
        # Twice: the second call finds what the first one remembered.
        seen.extend(shape(outcome(call, MESSAGES[message]())) for _ in range(2))
    assert seen_native == seen_model


def test_classes_changed_between_calls(monkeypatch):
    """A class modified after a call (its version tag changes) is read anew."""

    class Msg(PlainMessage):
        pass

    class Resp:
        def __init__(self, content):
            self.content = content

    monkeypatch.setattr(raw, "Response", Resp)
    agent = RawAgent("a", lambda msg: f"{msg['sender']}/{msg['content']}")
    results = []
    steps = [lambda: None,
             lambda: setattr(Msg, "sender", property(lambda self: "from class",
                                                     lambda self, value: None)),
             lambda: setattr(Resp, "__init__", lambda self, content: setattr(self, "content", 0)),
             lambda: delattr(Msg, "sender"),
             lambda: setattr(Resp, "__new__", lambda cls, **kw: "from __new__")]
    for step in steps:
        step()
        r = agent.receive(Msg("u", "hi", 1))
        results.append(r if isinstance(r, str) else r.content)
    assert results == ["u/hi", "from class/hi", 0, 0, "from __new__"]


def test_replacing_init_and_alternating_classes(monkeypatch):
    """An `__init__` that replaces itself, and classes that alternate from call to call,
    never mix what is remembered of each."""

    class Replacing:
        def __init__(self, content, metadata=None):
            self.content = ("first", content)
            type(self).__init__ = lambda self, content, metadata=None: setattr(
                self, "content", ("second", content))

    agent = RawAgent("a", lambda msg: msg["content"])
    seen = []
    for resp, make in zip([Replacing, Response] * 3,
                          itertools.cycle([MESSAGES["dataclass"],
                                           lambda: PlainMessage("u", "there", 2)])):
        monkeypatch.setattr(raw, "Response", resp)
        seen.append(agent.receive(make()).content)
    assert seen == [("first", "hi"), "there", ("second", "hi"), "there", ("second", "hi"), "there"]


# ---- the message dict a handler gets: the direct route against the display


def untracked_tuple():
    t = (1, "a")
    gc.collect()  # the collector stops tracking a tuple of atoms
    assert not gc.is_tracked(t)
    return t


class Obj:
    pass


FIELD_VALUES = st.one_of(
    st.none(), st.integers(), st.text(max_size=3), st.floats(allow_nan=False),
    st.lists(st.integers(), max_size=2), st.tuples(), st.tuples(st.integers()),
    st.dictionaries(st.text(max_size=2), st.integers(), max_size=2),
    st.builds(Obj), st.just(untracked_tuple), st.just(Obj))


def observe(msg, values):
    """What a handler can tell of its message dict: items (by identity), table size and
    whether the collector tracks it, then the same after it grows and shrinks."""
    seen = [list(msg), [a is b for a, b in zip(msg.values(), values)], sys.getsizeof(msg),
            gc.is_tracked(msg)]
    msg.update(a=1, b=[], c=3, d=4)
    del msg["sender"]
    msg["sender"] = 0
    return seen + [list(msg), sys.getsizeof(msg), gc.is_tracked(msg)]


def observations(rows):
    """observe() on the dict receive gives the handler, and on the display's (the model),
    for messages holding each row of values; with what the calls left of the values'
    reference counts."""
    out = []
    for row in rows:
        values = [v() if v is untracked_tuple else v for v in row]
        counts = [sys.getrefcount(values[i]) for i in range(3)]
        got = []
        agent = RawAgent("a", lambda msg: got.append(observe(msg, values)) or "r")
        agent.receive(PlainMessage(*values))
        models.receive(agent, PlainMessage(*values))
        # Only objects made for the row: None or a small int has references all over.
        out.append(got + [[sys.getrefcount(values[i]) - counts[i] for i in range(3)
                           if isinstance(values[i], (list, dict, Obj))]])
    return out


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(FIELD_VALUES, FIELD_VALUES, FIELD_VALUES), min_size=1, max_size=4))
def test_message_dict_is_the_displays(rows):
    for native, model, refs in observations(rows):
        assert native == model
        assert not any(refs)


PLAIN_ROWS = [(None, 1, "x"), ([1], (), untracked_tuple), ("u", (2,), Obj()), ({}, 2.5, Obj)]


def test_plain_route_gives_the_same_dicts():
    child = run_python("""
        import json
        from orrinth.adapters import _raw_routes
        _raw_routes.plain_message_dicts = True
        import test_raw_receive as t
        print(json.dumps([_raw_routes.direct_message_dicts, t.observations(t.PLAIN_ROWS)]))
    """)
    assert child.returncode == 0, child.stderr
    direct, seen = json.loads(child.stdout)
    assert direct is False
    assert seen == json.loads(json.dumps(observations(PLAIN_ROWS)))


# ---- the message dict kept from one call for the next
#
# A handler that lets go of its dict (or leaves it in a state a fresh one could have) may
# be given the same object at the next call, its values dropped when receive returns. No
# handler may tell: each call's dict is observed against the display's, what a handler
# kept must keep its values, what the dict held must be freed when receive returns, and
# every call's dict must carry a version no dict had before (the memo trusts it).

from test_dict_reads import version as dict_version  # noqa: E402

ACTS = ["read", "keep", "store", "store tracked", "refill", "grow", "nested"]


def run_acts(receive, rows, acts):
    """One receive per row, the handler doing acts[i]; what it saw, and what is left."""
    seen, kept, versions, freed = [], [], [], []
    agent = RawAgent("a", None)
    inner_values = ["inner", Obj(), 9]

    def handler(msg):
        act, values = handler.act, handler.values
        v = dict_version(msg)
        seen.append([list(msg), [a is b for a, b in zip(msg.values(), values)],
                     sys.getsizeof(msg), gc.is_tracked(msg),
                     v is None or (v not in versions and all(v > w for w in versions))])
        versions.append(v)
        if act == "keep":
            kept.append((msg, list(msg.values())))
        elif act.startswith("store"):
            stored = Obj() if act == "store" else [Obj()]
            handler.stored = weakref.ref(stored if act == "store" else stored[0])
            msg["content"] = stored
        elif act == "refill":
            items = list(msg.items())
            msg.clear()
            msg.update(items)
        elif act == "grow":
            msg["extra"] = Obj()
        elif act == "nested":
            handler.act, handler.values = "keep", inner_values
            receive(agent, PlainMessage(*inner_values))
            seen.append([msg is not kept[-1][0]])
        seen[-1].append([gc.is_tracked(msg), sys.getsizeof(msg)])
        return "r"

    agent._handler = handler
    for row, act in zip(rows, acts):
        values = [v() if v is untracked_tuple else v for v in row]
        counts = [sys.getrefcount(v) for v in values]
        handler.act, handler.values, handler.stored = act, values, None
        receive(agent, PlainMessage(*values))
        # What the call's dict held is freed when receive returns.
        freed.append(handler.stored is None or handler.stored() is None)
        after = [sys.getrefcount(v) for v in values]
        seen.append([a - c for a, c, v in zip(after, counts, values)
                     if isinstance(v, (list, dict, Obj))])
    agent._handler = handler.values = None  # no cycle left for the collector to free later
    # What a handler kept still holds what it held.
    alive = [[a is b for a, b in zip(d.values(), vals)] + [len(d)] for d, vals in kept]
    return seen, alive, freed


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(st.tuples(FIELD_VALUES, FIELD_VALUES, FIELD_VALUES),
                          st.sampled_from(ACTS)), min_size=1, max_size=8))
def test_kept_message_dict_cannot_be_told_apart(calls):
    rows, acts = [c[0] for c in calls], [c[1] for c in calls]
    # The collector untracks tuples of atoms when it runs: both runs start from one
    # collection and see none in between.
    gc.collect()
    gc.disable()
    try:
        native = run_acts(RawAgent.receive, rows, acts)
        model = run_acts(models.receive, rows, acts)
    finally:
        gc.enable()
    assert native == model
    seen, alive, freed = native
    assert all(freed) and all(all(a) for a in alive)
