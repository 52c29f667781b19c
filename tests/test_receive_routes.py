"""RawAgent.receive against its Python model for messages and Response classes of every
shape: the message's attributes are read where the interpreter would read them, and a
plain class is called without the interpreter's keyword dict, so both must stay
indistinguishable from `message.sender` and `Response(content=...)` whatever the classes do."""

import abc
import dataclasses
import gc
import itertools
import json
import sys
import sysconfig

import pytest
from hypothesis import given, settings, strategies as st

import orrinth.adapters.raw as raw
from orrinth.adapters.raw import RawAgent
from orrinth.agent import Message, Response

import models
from orrinth.adapters import _raw_routes
from support import outcome, run_python


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
        import test_receive_routes as t
        print(json.dumps([_raw_routes.direct_message_dicts, t.observations(t.PLAIN_ROWS)]))
    """)
    assert child.returncode == 0, child.stderr
    direct, seen = json.loads(child.stdout)
    assert direct is False
    assert seen == json.loads(json.dumps(observations(PLAIN_ROWS)))
