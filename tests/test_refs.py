"""Reference counts and memory: every public operation, on success and on each error path,
repeated thousands of times, leaves no live objects, references or memory behind; and a
trace shares the very event objects it is given, as its snapshots do.
"""

import gc
import json
import math
import os
import pathlib
import sys
import tracemalloc
import weakref

import pydantic
import pytest

from orrinth.trace import CostSummary, Trace, TraceEvent

LOOPS = 4000
WARMUP = 200
# A leak of one object, or of one reference, per call grows the counts by LOOPS; a
# single leaked object costs at least 16 bytes. The tolerances sit well below that and
# well above the noise of caches that fill once.
MAX_OBJECTS = LOOPS // 8
MAX_BYTES = LOOPS * 4
MAX_REFS = LOOPS // 8
# Under the sanitizer runtime (the CI's second stage) CPython's own text file objects
# keep growing traced memory, plain open()/close() included; the memory check is left
# out there for operations that open files, the object and reference checks stay.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def no_growth(op, *watched, loops=LOOPS, opens_files=False):
    """Run `op` `loops` times after a warm-up; fail on growth of live objects, traced
    memory or the reference counts of the watched objects (and of None)."""
    for _ in range(WARMUP):
        op()
    # None's count measures our releases only where None is mortal (before 3.12): from 3.12
    # a release of an immortal object changes nothing, and once something in the process
    # moves its count off the immortal value, the count drifts with the interpreter's own
    # reference-less returns of None.
    watched = (None, *watched) if sys.version_info < (3, 12) else watched
    gc.collect()
    refs_before = [sys.getrefcount(o) for o in watched]
    objects_before = len(gc.get_objects())
    tracemalloc.start()
    try:
        # A leak grows the traced memory in every batch; what the interpreter keeps
        # (3.12 and later hold on to more between calls, by amounts that come and go)
        # does not, so up to three batches are run and the smallest growth counts.
        mem_growth = None
        for _ in range(3):
            gc.collect()
            mem_before = tracemalloc.get_traced_memory()[0]
            for _ in range(loops):
                op()
            gc.collect()
            growth = tracemalloc.get_traced_memory()[0] - mem_before
            mem_growth = growth if mem_growth is None else min(mem_growth, growth)
            if mem_growth < MAX_BYTES:
                break
    finally:
        tracemalloc.stop()
    gc.collect()
    object_growth = len(gc.get_objects()) - objects_before
    ref_growth = [sys.getrefcount(o) - r for o, r in zip(watched, refs_before)]
    assert object_growth < MAX_OBJECTS, f"{object_growth} more live objects"
    if not (opens_files and SANITIZED):
        assert mem_growth < MAX_BYTES, f"{mem_growth} more bytes traced"
    assert all(-MAX_REFS < g < MAX_REFS for g in ref_growth), ref_growth


def raises(exc_type, fn, *args, **kwargs):
    """An operation that must fail with `exc_type` each time."""
    def op():
        try:
            fn(*args, **kwargs)
        except exc_type:
            return
        raise AssertionError(f"{fn} did not raise {exc_type.__name__}")
    return op


class Stand:
    """A weak-referenceable stand-in event with settable fields."""

    def __init__(self, type="message", turn=0, agent="a", input_tokens=1, output_tokens=2,
                 cost_usd=0.5):
        self.type, self.turn, self.agent = type, turn, agent
        self.input_tokens, self.output_tokens, self.cost_usd = (
            input_tokens, output_tokens, cost_usd)


class RaisingEq:
    def __eq__(self, other):
        raise ArithmeticError("eq")

    __hash__ = object.__hash__

    def __le__(self, other):
        raise ArithmeticError("le")


class FalseBool:
    def __eq__(self, other):
        return self

    def __bool__(self):
        raise LookupError("bool")


class StrSub(str):
    pass


def sample_trace():
    t = Trace()
    t.add_event(TraceEvent(type="message", turn=0, agent="a", input_tokens=3, cost_usd=0.1))
    t.add_event(TraceEvent(type="state_change", turn=1, agent="b", data={"k": [1, 2]}))
    t.add_event(TraceEvent(type="message", turn=1, agent=None, output_tokens=5))
    t.add_event(TraceEvent(type="property_check", turn=-1))
    t.add_event(TraceEvent(type="message", turn=2, agent="b", input_tokens=2 ** 70))
    return t


@pytest.fixture
def trace():
    return sample_trace()


class TestTraceSuccessPaths:
    def test_construct_and_add(self):
        ev = TraceEvent(type="message", turn=0)

        def op():
            t = Trace()
            t.add_event(ev)
            t.add_event(event=ev)
            t.__init__()
        no_growth(op, ev)

    @pytest.mark.parametrize("query", [
        lambda t: t.events,
        lambda t: t.get_messages(),
        lambda t: t.get_events_for_agent("b"),
        lambda t: t.get_events_for_agent(name=""),
        lambda t: t.snapshot(1),
        lambda t: t.snapshot(up_to_turn=2.9),
        lambda t: t.snapshot(True),
        lambda t: t.cost_summary(),
    ], ids=["events", "get_messages", "for_agent", "for_agent_kw", "snapshot", "snapshot_float",
            "snapshot_bool", "cost_summary"])
    def test_queries(self, trace, query):
        events = trace._events
        no_growth(lambda: query(trace), trace, *events)

    def test_queries_over_stand_ins(self):
        t = Trace()
        stands = [Stand(agent=None), Stand(agent=""), Stand(agent="x", cost_usd=1),
                  Stand(type="state_change")]
        for s in stands:
            t.add_event(s)

        def op():
            t.get_messages()
            t.get_events_for_agent("x")
            t.snapshot(0)
            t.cost_summary()
        no_growth(op, t, *stands)

    def test_save_and_load(self, trace, tmp_path):
        path = tmp_path / "sub" / "run.jsonl"

        def op():
            trace.to_jsonl(path)
            Trace.from_jsonl(path)
            trace.from_jsonl(path=path)
        no_growth(op, trace, path, *trace._events, loops=LOOPS // 4, opens_files=True)

    def test_introspection(self):
        import inspect

        def op():
            for fn in (Trace.add_event, Trace.snapshot, Trace.get_events_for_agent):
                fn.__annotations__, fn.__code__, fn.__defaults__, fn.__qualname__
            inspect.signature(Trace.snapshot)
            Trace().add_event.__func__
        no_growth(op, Trace.add_event, loops=LOOPS // 4)


class TestTraceErrorPaths:
    @pytest.mark.parametrize("call", [
        lambda t, e: t.add_event(),
        lambda t, e: t.add_event(e, e),
        lambda t, e: t.add_event(e, event=e),
        lambda t, e: t.add_event(evnt=e),
        lambda t, e: Trace.add_event(),
        lambda t, e: t.snapshot(),
        lambda t, e: t.get_events_for_agent(name=e, other=e),
        lambda t, e: Trace(e),
    ], ids=["missing", "surplus", "doubled", "unknown_kw", "unbound", "snapshot_missing",
            "unknown_kw2", "init_surplus"])
    def test_argument_binding(self, trace, call):
        ev = TraceEvent(type="message", turn=0)
        no_growth(raises(TypeError, call, trace, ev), trace, ev)

    @pytest.mark.parametrize("name", [None, StrSub("a"), b"a", 5])
    def test_agent_name_type(self, trace, name):
        no_growth(raises(TypeError, trace.get_events_for_agent, name), trace, name)

    @pytest.mark.parametrize("bound,exc", [("3", TypeError), (None, TypeError), ([1], TypeError),
                                           (math.nan, ValueError), (math.inf, OverflowError),
                                           (1j, TypeError)])
    def test_snapshot_bound(self, trace, bound, exc):
        no_growth(raises(exc, trace.snapshot, bound), trace, bound)

    @pytest.mark.parametrize("bad,op,exc", [
        (object(), "get_messages", AttributeError),
        (Stand(type=RaisingEq()), "get_messages", ArithmeticError),
        (Stand(type=FalseBool()), "get_messages", LookupError),
        (Stand(agent=RaisingEq()), "for_agent", ArithmeticError),
        (Stand(turn=RaisingEq()), "snapshot", ArithmeticError),
        (Stand(input_tokens="1"), "cost_summary", TypeError),
        (Stand(agent=5), "cost_summary", pydantic.ValidationError),
        (Stand(agent=[1]), "cost_summary", TypeError),  # unhashable key
    ], ids=["no_type", "type_eq_raises", "type_bool_raises", "agent_eq_raises",
            "turn_le_raises", "str_tokens", "int_agent", "list_agent"])
    def test_event_faults(self, bad, op, exc):
        t = sample_trace()
        t.add_event(bad)
        call = {"get_messages": t.get_messages,
                "for_agent": lambda: t.get_events_for_agent("a"),
                "snapshot": lambda: t.snapshot(5),
                "cost_summary": t.cost_summary}[op]
        no_growth(raises(exc, call), t, bad)

    def test_save_failures(self, trace, tmp_path):
        path = tmp_path / "run.jsonl"
        bad = Trace()
        bad.add_event(TraceEvent(type="message", turn=0))
        bad.add_event(TraceEvent(type="message", turn=1, data={"x": object()}))

        class FailingFile:
            def write(self, text):
                raise OSError("write failed")

            def close(self):
                raise ValueError("close failed")

        class FakePath:
            parent = property(lambda self: self)

            def mkdir(self, **kw):
                pass

            def open(self, mode):
                return FailingFile()

        fake = FakePath()

        def op():
            raises(pydantic_core_error(), bad.to_jsonl, path)()
            raises(ValueError, trace.to_jsonl, fake)()
            raises(AttributeError, trace.to_jsonl, "not a path")()
            raises(IsADirectoryError, trace.to_jsonl, tmp_path)()
        no_growth(op, trace, bad, path, fake, loops=LOOPS // 4, opens_files=True)

    @pytest.mark.parametrize("content,exc", [
        (b'{"type":"message","turn":0}\nnot json\n', json.JSONDecodeError),
        (b'{"type":"message","turn":0}\n{"type":"other","turn":0}\n', pydantic.ValidationError),
        (b'{"type":"message","turn":0}{"type":"message","turn":0}\n', json.JSONDecodeError),
        (b'\xff\xfe{}\n', UnicodeDecodeError),
        (b"[1, 2]\n", pydantic.ValidationError),
    ], ids=["json", "validation", "two_values", "decode", "not_object"])
    def test_load_failures(self, tmp_path, content, exc):
        path = tmp_path / "bad.jsonl"
        path.write_bytes(content)
        no_growth(raises(exc, Trace.from_jsonl, path), path, loops=LOOPS // 4,
                  opens_files=True)

    def test_load_missing_file(self, tmp_path):
        path = tmp_path / "missing.jsonl"
        no_growth(raises(FileNotFoundError, Trace.from_jsonl, path), path, loops=LOOPS // 4)


def pydantic_core_error():
    import pydantic_core
    return pydantic_core.PydanticSerializationError


class TestOwnership:
    def test_trace_holds_events_without_copying(self):
        ev = Stand()
        base = sys.getrefcount(ev)
        t = Trace()
        for _ in range(100):
            t.add_event(ev)
        assert sys.getrefcount(ev) == base + 100
        assert all(e is ev for e in t.events)

    def test_snapshot_shares_and_dropping_both_frees(self):
        events = [Stand(turn=i) for i in range(10)]
        refs = [weakref.ref(e) for e in events]
        t = Trace()
        for e in events:
            t.add_event(e)
        snap = t.snapshot(4)
        assert [id(e) for e in snap.events] == [id(e) for e in events[:5]]
        del events, e
        assert all(r() is not None for r in refs)
        del t
        assert [r() is None for r in refs] == [False] * 5 + [True] * 5
        del snap
        assert all(r() is None for r in refs)  # no cycle: freed without a collection

    def test_queries_keep_nothing(self, trace):
        counts = [sys.getrefcount(e) for e in trace._events]
        results = [trace.events, trace.get_messages(), trace.get_events_for_agent("b"),
                   trace.snapshot(10)]
        assert [sys.getrefcount(e) for e in trace._events] != counts
        trace.cost_summary()
        del results
        assert [sys.getrefcount(e) for e in trace._events] == counts

    def test_loaded_events_are_owned_by_the_trace_alone(self, trace, tmp_path):
        trace.to_jsonl(tmp_path / "run.jsonl")
        loaded = Trace.from_jsonl(tmp_path / "run.jsonl")
        # As for a fresh event in a list: nothing but the trace's list holds them.
        fresh = [TraceEvent(type="message", turn=0)]
        expected = [sys.getrefcount(e) for e in fresh] * len(trace._events)
        assert [sys.getrefcount(e) for e in loaded._events] == expected

    def test_cost_summary_holds_no_event_values(self):
        tokens = 10 ** 30  # a fresh, uncached int
        ev = Stand(input_tokens=tokens, agent="solo")
        t = Trace()
        t.add_event(ev)
        before = sys.getrefcount(tokens)
        summary = t.cost_summary()
        assert summary.total_input_tokens == tokens
        del summary
        assert sys.getrefcount(tokens) == before


class TestModuleObjects:
    def test_classes_survive_module_removal(self):
        """The functions keep their module (and its state) alive after it leaves
        sys.modules; a fresh import makes new classes that work side by side."""
        import importlib
        old = sys.modules.pop("orrinth.trace")
        try:
            OldTrace, OldEvent = old.Trace, old.TraceEvent
            del old
            gc.collect()
            fresh = importlib.import_module("orrinth.trace")
            assert fresh.Trace is not OldTrace
            t = OldTrace()
            t.add_event(OldEvent(type="message", turn=0, agent="x"))
            assert t.cost_summary().per_agent["x"]["turns"] == 1
            assert t.snapshot(0).events == t.events
            gc.collect()
            assert fresh.Trace().get_messages() == []
        finally:
            sys.modules["orrinth.trace"] = sys.modules.get("orrinth.trace", fresh)
            import orrinth
            orrinth.trace = sys.modules["orrinth.trace"]

    def test_cost_summary_record_constructs(self):
        def op():
            CostSummary(total_input_tokens=1, total_output_tokens=2, total_cost_usd=0.1,
                        per_agent={"a": {}})
        no_growth(op, loops=LOOPS // 4)


@pytest.fixture
def raw():
    return pytest.importorskip("orrinth.adapters.raw")


class Msg:
    def __init__(self, sender="user", content="hi", turn=1):
        self.sender, self.content, self.turn = sender, content, turn


class TestRawAgent:
    def test_construct(self, raw):
        handler = lambda m, s: "x"  # noqa: E731
        state = {"k": [1]}
        name = "agent"

        def op():
            raw.RawAgent(name, handler, state)
            raw.RawAgent(name=name, handler=handler)
            raw.RawAgent(name, handler, None)
        no_growth(op, handler, state, name, state["k"])

    @pytest.mark.parametrize("args,kwargs", [
        (("n",), {}),
        (("n", None, None, None), {}),
        ((StrSub("n"), None), {}),
        ((b"n", None), {}),
        (("n", None, []), {}),
        (("n", None), {"initial_state": type("D", (dict,), {})()}),
        (("n", None), {"handler": None}),
        (("n", None), {"state": None}),
    ], ids=["missing", "surplus", "str_sub", "bytes", "list_state", "dict_sub", "doubled",
            "unknown_kw"])
    def test_construct_errors(self, raw, args, kwargs):
        no_growth(raises(TypeError, raw.RawAgent, *args, **kwargs), *args)

    @pytest.mark.parametrize("result", [
        "text", StrSub("sub"), {"content": "c", "k": 1, "metadata": {}}, {"k": 1},
        type("D", (dict,), {})(content=1, x=2),
    ], ids=["str", "str_sub", "dict", "dict_no_content", "dict_sub"])
    def test_receive(self, raw, result):
        msg = Msg()
        one = raw.RawAgent("a", lambda m: result)
        two = raw.RawAgent("b", lambda m, s: result, {"n": 0})

        def op():
            one.receive(msg)
            two.receive(message=msg)
        no_growth(op, result, msg, msg.content, msg.sender, one, two)

    @pytest.mark.parametrize("handler,msg,exc", [
        (lambda m: None, Msg(), TypeError),
        (lambda m: [1], Msg(), TypeError),
        (lambda m: 1 / 0, Msg(), ZeroDivisionError),
        (lambda m: "x", object(), AttributeError),
        (lambda m: {RaisingEq(): 1}, Msg(), ArithmeticError),
        (5, Msg(), TypeError),
    ], ids=["none", "list", "raises", "bad_message", "key_ne_raises", "not_callable"])
    def test_receive_errors(self, raw, handler, msg, exc):
        agent = raw.RawAgent("a", handler)
        no_growth(raises(exc, agent.receive, msg), agent, msg, handler)

    def test_state_operations(self, raw):
        value = [1, 2]
        agent = raw.RawAgent("a", lambda m, s: s.setdefault("n", "x"), {"v": value})

        def op():
            agent.setup()
            agent.get_state()
            agent.name
            agent.receive(Msg())
            raw.RawAgent._check_accepts_state(len)
        no_growth(op, agent, value)

    def test_handler_gets_live_state_and_no_extra_refs(self, raw):
        seen = []
        agent = raw.RawAgent("a", lambda m, s: seen.append((m, s)) or "ok")
        agent.receive(Msg())
        (message_dict, state), = seen
        assert state is agent._state
        # Held by `seen` only (and getrefcount's argument): receive kept nothing.
        del seen[:]
        assert sys.getrefcount(message_dict) == 2
