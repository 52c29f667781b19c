"""RawAgent.receive: the message dict, the handler call, turning results into a
Response, the refusal, and safety against callbacks that mutate what is being read."""

import builtins
import gc
import sys
import warnings
import weakref

import pytest

import orrinth.adapters.raw as raw
from orrinth.adapters.raw import RawAgent
from orrinth.agent import Message, Response


class Recorder:
    """Stands in for Response: records how it is called and returns a marker."""

    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return ("response", len(self.calls))


@pytest.fixture
def recorder(monkeypatch):
    rec = Recorder()
    monkeypatch.setattr(raw, "Response", rec)
    return rec


def agent_returning(result, name="bot"):
    return RawAgent(name, lambda msg: result)


def receive(agent, message=None):
    return agent.receive(message if message is not None else Message("user", "hi", 1))


def python_metadata(result):
    """The metadata as the equivalent comprehension computes it."""
    return {k: v for k, v in result.items() if k != "content"}


def outcome(fn, *args):
    try:
        return "ok", fn(*args)
    except Exception as e:  # noqa: BLE001 - compared as (type, text)
        return type(e), str(e)


class TestMessageDict:
    def test_keys_order_and_identity(self):
        sender, content, turn = object(), [1, 2], object()
        seen = []
        agent = RawAgent("a", lambda msg: seen.append(msg) or "x")
        receive(agent, Message(sender, content, turn))
        (msg,) = seen
        assert type(msg) is dict and list(msg) == ["sender", "content", "turn"]
        assert msg["sender"] is sender and msg["content"] is content and msg["turn"] is turn

    def test_new_dict_every_call(self):
        seen = []
        agent = RawAgent("a", lambda msg: seen.append(msg) or msg.clear() or "x")
        message = Message("u", "c", 1)
        receive(agent, message)
        receive(agent, message)
        assert seen[0] is not seen[1]
        assert (message.sender, message.content, message.turn) == ("u", "c", 1)

    def test_any_object_with_the_attributes_serves(self):
        class Duck:
            sender, content, turn = "d", "quack", 3

        agent = RawAgent("a", lambda msg: msg["content"])
        assert agent.receive(Duck()) == Response("quack")

    def test_reads_each_attribute_once_in_order(self):
        reads = []

        class Tracing:
            def __getattr__(self, name):
                reads.append(name)
                return name

        receive(agent_returning("x"), Tracing())
        assert reads == ["sender", "content", "turn"]

    def test_missing_turn_stops_before_handler(self):
        reads, calls = [], []

        class NoTurn:
            def __getattr__(self, name):
                reads.append(name)
                if name == "turn":
                    raise AttributeError(name)
                return name

        agent = RawAgent("a", lambda msg, state: calls.append(1) or "x", {"k": 1})
        with pytest.raises(AttributeError):
            agent.receive(NoTurn())
        assert reads == ["sender", "content", "turn"] and calls == []
        assert agent._state == {"k": 1}

    def test_none_message(self):
        with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'sender'"):
            RawAgent("a", lambda msg: "x").receive(None)


class TestHandlerCall:
    def test_counter_in_state(self):
        seen = []

        def count(msg, state):
            state["count"] += 1
            seen.append(state["count"])
            return str(state["count"])

        agent = RawAgent("counter", count, {"count": 0})
        replies = [receive(agent).content for _ in range(3)]
        assert seen == [1, 2, 3] and replies == ["1", "2", "3"]
        assert agent.get_state() == {"count": 3}
        agent.setup()
        assert agent.get_state() == {"count": 0}
        receive(agent)
        assert seen[-1] == 1

    def test_state_is_the_live_dict(self):
        seen = []
        agent = RawAgent("a", lambda msg, state: seen.append(state) or "x")
        receive(agent)
        receive(agent)
        assert seen[0] is seen[1] is agent._state

    @pytest.mark.parametrize(
        "accepts, nargs", [(True, 2), (False, 1), (None, 1), (1, 2), (0, 1), ([0], 2), ("", 1)]
    )
    def test_accepts_state_by_truth(self, accepts, nargs):
        seen = []
        agent = RawAgent("a", lambda *args: seen.append(args) or "x")
        agent._accepts_state = accepts
        receive(agent)
        assert len(seen[0]) == nargs
        if nargs == 2:
            assert seen[0][1] is agent._state

    def test_truth_test_error_passes_through(self):
        class Bad:
            def __bool__(self):
                raise ZeroDivisionError("no truth")

        calls = []
        agent = RawAgent("a", lambda msg: calls.append(1) or "x")
        agent._accepts_state = Bad()
        with pytest.raises(ZeroDivisionError, match="no truth"):
            receive(agent)
        assert calls == []

    def test_positional_arguments_only(self):
        agent = RawAgent("a", lambda msg, /, state: "x")
        assert receive(agent) == Response("x")

    def test_attributes_read_at_every_call(self):
        agent = RawAgent("a", lambda msg: "first")
        assert receive(agent).content == "first"
        agent._handler = lambda msg, state: "second"
        agent._accepts_state = True
        assert receive(agent).content == "second"

    def test_attribute_read_order(self):
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
        agent._handler = lambda msg, state: None
        reads.clear()
        with pytest.raises(TypeError):
            receive(agent)
        assert reads == ["_accepts_state", "_handler", "_state", "_name"]

    @pytest.mark.parametrize("missing", ["_accepts_state", "_handler", "_state"])
    def test_missing_attribute(self, missing):
        agent = RawAgent("a", lambda msg, state: "x")
        delattr(agent, missing)
        with pytest.raises(AttributeError, match=f"'RawAgent' object has no attribute '{missing}'"):
            receive(agent)

    def test_handler_exception_is_same_object(self):
        exc = KeyError("inside")

        def handler(msg):
            raise exc

        with pytest.raises(KeyError) as info:
            receive(RawAgent("a", handler))
        assert info.value is exc

    def test_bound_method_handler(self):
        class Bot:
            def reply(self, msg, state):
                state["me"] = self
                return "x"

        bot = Bot()
        agent = RawAgent("a", bot.reply)
        receive(agent)
        assert agent._state["me"] is bot


class TestStrResult:
    def test_content_only(self, recorder):
        assert receive(agent_returning("hello")) == ("response", 1)
        assert recorder.calls == [((), {"content": "hello"})]

    def test_subclass_instance_unchanged(self, recorder):
        value = type("Text", (str,), {})("hello")
        receive(agent_returning(value))
        (args, kwargs), = recorder.calls
        assert kwargs["content"] is value and list(kwargs) == ["content"]

    def test_real_response(self):
        response = receive(agent_returning("hello"))
        assert type(response) is Response and response.metadata == {}


class TestDictResult:
    @pytest.mark.parametrize(
        "result, content, metadata",
        [
            ({"content": "hi", "mood": "ok"}, "hi", {"mood": "ok"}),
            ({"mood": "ok", "n": 1}, "", {"mood": "ok", "n": 1}),
            ({}, "", {}),
            ({"content": 42}, 42, {}),
            ({"content": "x", "metadata": {"a": 1}, "b": 2}, "x", {"metadata": {"a": 1}, "b": 2}),
            ({None: 1, 1: 2, b"content": 3, "content": "c"}, "c", {None: 1, 1: 2, b"content": 3}),
        ],
    )
    def test_content_and_metadata(self, recorder, result, content, metadata):
        receive(agent_returning(result))
        (args, kwargs), = recorder.calls
        assert args == () and list(kwargs) == ["content", "metadata"]
        assert kwargs["content"] == content and type(kwargs["metadata"]) is dict
        assert kwargs["metadata"] == metadata

    def test_order_kept_wherever_content_stood(self, recorder):
        receive(agent_returning({"z": 1, "a": 2, "content": "c", "m": 3, "b": 4}))
        assert list(recorder.calls[0][1]["metadata"]) == ["z", "a", "m", "b"]

    def test_objects_not_copied(self, recorder):
        content, value, key = ["c"], {"nested": []}, ("k",)
        result = {"content": content, key: value}
        receive(agent_returning(result))
        kwargs = recorder.calls[0][1]
        assert kwargs["content"] is content and kwargs["metadata"][key] is value
        assert next(iter(kwargs["metadata"])) is key
        assert kwargs["metadata"] is not result and result == {"content": content, key: value}

    def test_subclass_read_through_its_methods(self, recorder):
        calls = []

        class Custom(dict):
            def get(self, key, default=None):
                calls.append(("get", key, default))
                return "chosen"

            def items(self):
                calls.append(("items",))
                return [("x", 1), ("content", "dropped"), ("y", 2)]

        receive(agent_returning(Custom(content="ignored", other=5)))
        assert calls == [("get", "content", ""), ("items",)]
        assert recorder.calls == [((), {"content": "chosen", "metadata": {"x": 1, "y": 2}})]

    def test_subclass_items_default(self, recorder):
        receive(agent_returning(type("D", (dict,), {})(content="c", k=1)))
        assert recorder.calls == [((), {"content": "c", "metadata": {"k": 1}})]

    def test_real_response(self):
        response = receive(agent_returning({"content": "c", "k": 1}))
        assert response == Response("c", {"k": 1})


class Key:
    """A hashable key whose `!=` against "content" is programmable."""

    def __init__(self, ne, label="key"):
        self.ne, self.label = ne, label

    def __hash__(self):
        return hash(self.label)

    def __ne__(self, other):
        if isinstance(self.ne, BaseException):
            raise self.ne
        return self.ne() if callable(self.ne) else self.ne


class Falsy:
    def __bool__(self):
        return False


class BoolRaises:
    def __bool__(self):
        raise ArithmeticError("no bool")


class TestKeyTest:
    @pytest.mark.parametrize(
        "key, passes",
        [
            ("content", False),
            ("Content", True),
            ("content ", True),
            (type("S", (str,), {})("content"), False),
            (type("S", (str,), {})("other"), True),
            (None, True),
            (0, True),
            (b"content", True),
            (Key(False), False),
            (Key(True), True),
            (Key(Falsy()), False),
            (Key(NotImplemented), True),  # falls back to identity: not the same object
            (Key(1), True),
        ],
    )
    def test_passes(self, recorder, key, passes):
        receive(agent_returning({key: "v"}))
        assert (key in recorder.calls[0][1]["metadata"]) is passes

    def test_exact_str_not_compared_by_operator(self, recorder):
        class Loud(str):
            def __ne__(self, other):
                raise AssertionError("called")

        # A str subclass goes through its own operator; an exact str never does.
        with pytest.raises(AssertionError):
            receive(agent_returning({Loud("x"): 1}))
        receive(agent_returning({"x": 1}))

    @pytest.mark.parametrize("exc", [RuntimeError("ne"), ArithmeticError("no bool")])
    def test_errors_pass_through(self, recorder, exc):
        key = Key(exc) if isinstance(exc, RuntimeError) else Key(BoolRaises())
        with pytest.raises(type(exc), match=str(exc)):
            receive(agent_returning({"a": 1, key: 2}))
        assert recorder.calls == []


class TestUnpacking:
    @pytest.mark.parametrize(
        "make_items",
        [
            lambda: [1],
            lambda: [(1, 2, 3)],
            lambda: [(1,)],
            lambda: [()],
            lambda: ["abc"],
            lambda: ["ab"],
            lambda: [[1, 2]],
            lambda: [iter((1, 2))],
            lambda: [{"k": 1, "l": 2}],
            lambda: (pair for pair in [("a", 1), (2, "b")]),
            lambda: 5,
            lambda: None,
        ],
    )
    def test_same_as_interpreter(self, recorder, make_items):
        class Custom(dict):
            def items(self):
                return make_items()

        expected = outcome(python_metadata, Custom())
        got = outcome(lambda: receive(agent_returning(Custom())))
        if expected[0] == "ok":
            assert got == ("ok", ("response", 1))
            assert recorder.calls[0][1]["metadata"] == expected[1]
        else:
            assert got == expected

    def test_messages(self, recorder):
        def run(items):
            class Custom(dict):
                def items(self):
                    return items

            with pytest.raises((TypeError, ValueError)) as info:
                receive(agent_returning(Custom()))
            return str(info.value)

        assert run([1]) == "cannot unpack non-iterable int object"
        assert run([(1, 2, 3)]) == "too many values to unpack (expected 2)"
        assert run([(1,)]) == "not enough values to unpack (expected 2, got 1)"

    def test_generator_items(self, recorder):
        class Lazy(dict):
            def items(self):
                yield "a", 1
                yield "content", 2
                yield "b", 3

        receive(agent_returning(Lazy()))
        assert recorder.calls[0][1]["metadata"] == {"a": 1, "b": 3}


class TestRefusal:
    @staticmethod
    def message(name, type_name):
        return (f"Handler for agent '{name}' returned {type_name}; "
                "expected str or dict with 'content' key.")

    @pytest.mark.parametrize(
        "result, type_name",
        [
            (None, "NoneType"),
            ([], "list"),
            ((), "tuple"),
            (b"bytes", "bytes"),
            (1.5, "float"),
            (Response("x"), "Response"),
            (type("Mapping", (), {"get": dict.get, "items": dict.items}), "type"),
        ],
    )
    def test_message(self, recorder, result, type_name):
        with pytest.raises(TypeError) as info:
            receive(agent_returning(result, name="bot"))
        assert info.value.args == (self.message("bot", type_name),)
        assert recorder.calls == []

    def test_coroutine_not_awaited(self):
        async def handler(msg):
            return "never"

        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            with pytest.raises(TypeError) as info:
                receive(RawAgent("bot", handler))
        assert str(info.value) == self.message("bot", "coroutine")

    @pytest.mark.parametrize("name, text", [(5, "5"), (None, "None"), ("{x}", "{x}")])
    def test_name_formatted(self, name, text):
        agent = agent_returning(None)
        agent._name = name
        with pytest.raises(TypeError) as info:
            receive(agent)
        assert str(info.value) == self.message(text, "NoneType")

    def test_name_uses_format(self):
        class Named:
            def __format__(self, spec):
                assert spec == ""
                return "formatted"

        agent = agent_returning([])
        agent._name = Named()
        with pytest.raises(TypeError, match="agent 'formatted' returned list"):
            receive(agent)

    def test_missing_name(self):
        agent = agent_returning(None)
        del agent._name
        with pytest.raises(AttributeError, match="no attribute '_name'"):
            receive(agent)

    def test_state_changes_stay(self):
        def handler(msg, state):
            state["touched"] = True
            return 7

        agent = RawAgent("a", handler)
        with pytest.raises(TypeError):
            receive(agent)
        assert agent.get_state() == {"touched": True}


class TestResponseLookup:
    def test_looked_up_at_every_call(self, monkeypatch):
        agent = agent_returning("x")
        first, second = Recorder(), Recorder()
        monkeypatch.setattr(raw, "Response", first)
        receive(agent)
        monkeypatch.setattr(raw, "Response", second)
        receive(agent)
        assert len(first.calls) == len(second.calls) == 1

    def test_builtins_fallback_then_name_error(self, monkeypatch):
        agent = agent_returning({"content": "x"})
        monkeypatch.delattr(raw, "Response")
        with pytest.raises(NameError) as info:
            receive(agent)
        assert str(info.value) == "name 'Response' is not defined"
        rec = Recorder()
        monkeypatch.setattr(builtins, "Response", rec, raising=False)
        receive(agent)
        assert rec.calls == [((), {"content": "x", "metadata": {}})]

    def test_result_and_errors_pass_through(self, monkeypatch):
        marker, exc = object(), LookupError("from Response")
        monkeypatch.setattr(raw, "Response", lambda **kw: marker)
        assert receive(agent_returning("x")) is marker

        def failing(**kw):
            raise exc

        monkeypatch.setattr(raw, "Response", failing)
        with pytest.raises(LookupError) as info:
            receive(agent_returning("x"))
        assert info.value is exc


class TestHostileCallbacks:
    """Callbacks that mutate the result dict while it is walked: the outcome must be
    the interpreter's own for the same comprehension, and never a crash."""

    @staticmethod
    def scenarios():
        def added(d):
            d["z"] = 1

        def swapped(d):
            d.pop("b")
            d["z"] = 9

        def refilled(d):
            d.clear()
            d.update(x=1, y=2, w=3)

        def shrunk(d):
            d.pop("a")

        def earlier_swapped(d):
            d.pop("a")
            d["z"] = 9

        def cleared(d):
            d.clear()

        return [added, swapped, refilled, shrunk, earlier_swapped, cleared]

    @staticmethod
    def build(mutation):
        d = {}
        once = [mutation]

        def ne():
            if once:
                once.pop()(d)
            return True

        d["a"] = object()
        d[Key(ne)] = object()
        d["b"] = object()
        return d

    @pytest.mark.parametrize("mutation", scenarios.__func__(), ids=lambda f: f.__name__)
    def test_exact_dict_mutated_by_key_comparison(self, recorder, mutation):
        expected = outcome(python_metadata, self.build(mutation))
        got = outcome(lambda: receive(agent_returning(self.build(mutation))))
        if expected[0] == "ok":
            assert got[0] == "ok"
            assert self.shape(recorder.calls[0][1]["metadata"]) == self.shape(expected[1])
        else:
            assert got == expected

    @staticmethod
    def shape(metadata):
        return [k if isinstance(k, str) else type(k).__name__ for k in metadata]

    def test_size_change_message(self, recorder):
        d = {"a": 1}
        d[Key(lambda: d.update(more=1) or True)] = 2
        d["b"] = 3
        with pytest.raises(RuntimeError) as info:
            receive(agent_returning(d))
        assert str(info.value) == "dictionary changed size during iteration"

    def test_value_kept_alive_when_removed(self, recorder):
        class Tracked:
            pass

        d = {}
        d[Key(lambda: d.clear() or True)] = Tracked()
        alive = weakref.ref(next(iter(d.values())))
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            receive(agent_returning(d))
        gc.collect()
        assert alive() is None

    def test_mutation_during_metadata_insertion(self, recorder):
        class HashMutates:
            armed = False

            def __init__(self, d):
                self.d = d

            def __hash__(self):
                if self.armed:
                    self.d["late"] = 1
                return 7

            def __ne__(self, other):
                return True

        def build():
            d = {"a": 1}
            k = HashMutates(d)
            d[k] = 2
            d["b"] = 3
            k.armed = True
            return d

        expected = outcome(python_metadata, build())
        assert expected == (RuntimeError, "dictionary changed size during iteration")
        assert outcome(lambda: receive(agent_returning(build()))) == expected

    def test_get_mutates_before_walk(self, recorder):
        class Growing(dict):
            def get(self, key, default=None):
                self["added"] = True
                return super().get(key, default)

        receive(agent_returning(Growing(content="c")))
        assert recorder.calls == [((), {"content": "c", "metadata": {"added": True}})]

    def test_subclass_items_mutating_itself(self, recorder):
        class Shifty(dict):
            def items(self):
                self.clear()
                return super().items()

        receive(agent_returning(Shifty(content="c", k=1)))
        assert recorder.calls == [((), {"content": "c", "metadata": {}})]

    def test_attributes_replaced_during_walk(self, recorder):
        agent = RawAgent("a", lambda msg, state: None)

        def vandalise():
            agent._handler = None
            agent._state = None
            agent._name = None
            return True

        result = {"content": "c", Key(vandalise): 1}
        agent._handler = lambda msg, state: result
        agent._accepts_state = True
        receive(agent)
        assert recorder.calls[0][1]["content"] == "c"
        assert agent._handler is None

    def test_reentrant_receive(self):
        depth = []

        def handler(msg, state):
            depth.append(msg["turn"])
            if msg["turn"] < 3:
                inner = agent.receive(Message("self", "again", msg["turn"] + 1))
                return {"content": inner.content + "<", Key(lambda: agent.receive(
                    Message("k", "k", 99)) is not None): state.setdefault("n", len(depth))}
            return "leaf"

        agent = RawAgent("a", handler)
        response = agent.receive(Message("u", "go", 1))
        assert response.content == "leaf<<"
        assert depth[:3] == [1, 2, 3]

    def test_handler_replaces_its_own_agent_state(self):
        def handler(msg, state):
            agent._state = {"replaced": True}
            state["old"] = True
            return "x"

        agent = RawAgent("a", handler)
        old = agent._state
        receive(agent)
        assert old == {"old": True} and agent.get_state() == {"replaced": True}

    def test_no_reference_leaks(self, recorder):
        content, value, key = object(), object(), ("key",)
        result = {"content": content, key: value}
        str_result = "text-result"
        handler = lambda msg, state: result  # noqa: E731
        agent = RawAgent("a", handler)
        message = Message(object(), object(), object())
        watched = [content, value, key, result, str_result, handler, message.sender,
                   message.content, message.turn, agent._state]
        receive(agent, message)
        recorder.calls.clear()
        before = [sys.getrefcount(o) for o in watched]
        for i in range(300):
            receive(agent, message)
            if i % 3 == 0:
                agent._handler = lambda msg, state: str_result
            else:
                agent._handler = handler
        agent._handler = lambda msg, state: None
        for _ in range(100):
            with pytest.raises(TypeError):
                receive(agent, message)
        agent._handler = handler
        recorder.calls.clear()
        after = [sys.getrefcount(o) for o in watched]
        assert after == before
