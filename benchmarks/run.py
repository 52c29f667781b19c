#!/usr/bin/env python3
"""Time orrinth's native modules against the plain-Python baseline (benchmarks/baseline.py).

Both sides run the same workload in the same process: a trace of N events (70% messages,
20 agents plus events without an agent, a small `data` dict per event) and N `receive`
calls. Each round times every operation on both sides, alternating which side goes
first, and the table shows per operation the median cost per event (or per call) of
each side with its min-max spread, the median of the per-round ratios native/baseline,
and whether the ratio meets its target. Before anything is timed, both sides are run on
the workload and their results compared (same events, same summaries, byte-identical
files, same responses and states); a difference aborts the run.

For the JSONL operations and for `receive`, a "floor" row times the calls that dominate
made directly in a plain loop (pydantic and json for the files; handler and `Response`
for `receive`), so the table shows what each side adds on top of them.

    PYTHONPATH=src python3 benchmarks/run.py              # 100k events, 7 rounds
    PYTHONPATH=src python3 benchmarks/run.py --quick      # 10k events, 3 rounds
    PYTHONPATH=src python3 benchmarks/run.py --events 1000000 --rounds 3
    PYTHONPATH=src python3 benchmarks/run.py --scaling    # 10k / 100k / 1M: flat ns/event
    PYTHONPATH=src python3 benchmarks/run.py --memory     # peak memory of from_jsonl
    PYTHONPATH=src python3 benchmarks/run.py --check      # equivalence checks only
    valgrind --tool=callgrind python3 benchmarks/run.py --profile cost_summary

Timed sections run with the garbage collector disabled (after a collection), the same
for every side. Calls are written the way a user writes them (`trace.add_event(e)`,
`agent.receive(m)`), so the interpreter's loop costs the same on both sides.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import pydantic  # noqa: E402

import baseline  # noqa: E402
import orrinth._jsonl_routes as jsonl_routes  # noqa: E402
import orrinth.trace as native_trace  # noqa: E402
from orrinth.agent import Message  # noqa: E402

try:
    import orrinth.adapters.raw as native_raw
except ModuleNotFoundError as exc:
    if exc.name != "orrinth.adapters.raw":
        raise
    native_raw = None

# --------------------------------------------------------------------------- workload

AGENTS = [f"agent-{i:02d}" for i in range(20)]
TOOLS = ["search", "calendar", "email", "calculator", "weather"]
INITIAL_STATE = {"turns": 0, "mood": "neutral", "history": [], "limits": {"max_turns": 12}}


def make_records(n: int, seed: int = 20240611) -> list[dict]:
    """Field dicts of `n` events: 70% messages, 12% state changes, 10% injected faults,
    8% property checks (turn -1); 8% without agent, 2% with the empty agent name."""
    rng = random.Random(seed)
    records = []
    for i in range(n):
        r = rng.random()
        turn = i // 10
        if r < 0.70:
            kind = "message"
        elif r < 0.82:
            kind = "state_change"
        elif r < 0.92:
            kind = "fault_injected"
        else:
            kind, turn = "property_check", -1
        a = rng.random()
        agent = None if a < 0.08 else "" if a < 0.10 else AGENTS[rng.randrange(len(AGENTS))]
        rec = {
            "type": kind,
            "turn": turn,
            "agent": agent,
            "data": {"seq": i, "tool": rng.choice(TOOLS), "ok": rng.random() < 0.9},
            "timestamp": 1.7e9 + i * 0.25,
        }
        if kind == "message":
            rec["input_tokens"] = rng.randrange(10, 2000)
            rec["output_tokens"] = rng.randrange(5, 800)
            rec["cost_usd"] = rng.randrange(1, 100_000) / 1e7
        records.append(rec)
    return records


def reply(message):
    """One-parameter handler: answers with the message's content, a str."""
    return message["content"]


def reply_with_state(message, state):
    """Two-parameter handler: counts turns in the state and answers with a dict."""
    state["turns"] += 1
    return {"content": message["content"], "turn": message["turn"], "seen": state["turns"]}


@dataclass
class Side:
    label: str
    trace_mod: object  # provides Trace, TraceEvent, CostSummary
    raw_mod: object | None  # provides RawAgent and the global Response
    events: list = field(default_factory=list)
    trace: object = None
    dir: Path | None = None


@dataclass
class Workload:
    n: int
    records: list
    native: Side
    base: Side
    messages: list  # orrinth.agent.Message objects, shared by both sides
    message_dicts: list  # the message dicts, prebuilt, for the receive floors
    mid_turn: int
    tmp: Path
    jsonl: Path  # a trace file of the workload, read by from_jsonl

    @property
    def sides(self) -> list[Side]:
        return [self.native, self.base]

    def close(self) -> None:
        shutil.rmtree(self.tmp, ignore_errors=True)


def build_workload(n: int) -> Workload:
    records = make_records(n)
    tmp = Path(tempfile.mkdtemp(prefix="orrinth-bench-"))
    sides = []
    for label, tmod, rmod in (("native", native_trace, native_raw), ("baseline", baseline, baseline)):
        side = Side(label, tmod, rmod, dir=tmp / label)
        te = tmod.TraceEvent
        side.events = [te(**rec) for rec in records]
        side.trace = tmod.Trace()
        for e in side.events:
            side.trace.add_event(e)
        sides.append(side)
    rng = random.Random(7)
    messages = [
        Message(sender=rng.choice(AGENTS), content=f"message {i}: {rng.choice(TOOLS)} please", turn=i // 2)
        for i in range(n)
    ]
    message_dicts = [{"sender": m.sender, "content": m.content, "turn": m.turn} for m in messages]
    jsonl = tmp / "workload.jsonl"
    sides[1].trace.to_jsonl(jsonl)
    return Workload(n, records, sides[0], sides[1], messages, message_dicts,
                    mid_turn=max(0, n // 20), tmp=tmp, jsonl=jsonl)


class Patched:
    """Bind the name `Response` of the given modules to the built-in dict for a while."""

    def __init__(self, *modules):
        self.modules = [m for m in modules if m is not None]
        self.saved = []

    def __enter__(self):
        self.saved = [m.Response for m in self.modules]
        for m in self.modules:
            m.Response = dict
        return self

    def __exit__(self, *exc):
        for m, r in zip(self.modules, self.saved):
            m.Response = r


# --------------------------------------------------------------------------- operations

# Each operation has `prepare(side, wl) -> thunk`: untimed setup that returns the timed
# callable. The thunk returns what it produced so that freeing it is not timed.


def reps_for(budget: int, n: int) -> int:
    return max(1, round(budget / n))


def op_add_event(side, wl):
    trace = side.trace_mod.Trace()
    events = side.events

    def run():
        for e in events:
            trace.add_event(e)
        return trace

    return run


def op_events(side, wl):
    trace, reps = side.trace, reps_for(5_000_000, wl.n)
    return lambda: [trace.events for _ in range(reps)]


def op_get_messages(side, wl):
    trace, reps = side.trace, reps_for(1_000_000, wl.n)
    return lambda: [trace.get_messages() for _ in range(reps)]


def op_get_events_for_agent(side, wl):
    trace, reps = side.trace, reps_for(2_000_000, wl.n * len(AGENTS))
    return lambda: [trace.get_events_for_agent(name) for _ in range(reps) for name in AGENTS]


def op_snapshot(side, wl):
    trace, reps, bound = side.trace, reps_for(1_000_000, wl.n), wl.mid_turn
    return lambda: [trace.snapshot(bound) for _ in range(reps)]


def op_cost_summary(side, wl):
    trace, reps = side.trace, reps_for(1_000_000, wl.n)
    return lambda: [trace.cost_summary() for _ in range(reps)]


def op_to_jsonl(side, wl):
    trace, path = side.trace, side.dir / "out" / "trace.jsonl"
    return lambda: trace.to_jsonl(path)


def held(prepare, **switches):
    """The operation with the native side's JSONL route switches of orrinth._jsonl_routes
    held as given (force_plain=True: the plain route; native_reads=False: no native
    reader)."""
    def prepare_held(side, wl):
        thunk = prepare(side, wl)
        if side.label != "native":
            return thunk

        def run():
            saved = {name: getattr(jsonl_routes, name) for name in switches}
            for name, value in switches.items():
                setattr(jsonl_routes, name, value)
            try:
                return thunk()
            finally:
                for name, value in saved.items():
                    setattr(jsonl_routes, name, value)

        return run

    return prepare_held


def plain_route(prepare):
    """The operation with the native side held to its plain JSONL route."""
    return held(prepare, force_plain=True)


SUMMARY_FILES = 1000


def summary_files(wl) -> list[Path]:
    """The workload's events saved as SUMMARY_FILES trace files (written once per run)."""
    folder = wl.tmp / "summary"
    if not folder.exists():
        folder.mkdir()
        events = wl.native.events
        per = max(1, len(events) // SUMMARY_FILES)
        for i in range(SUMMARY_FILES):
            trace = native_trace.Trace()
            for e in events[i * per:(i + 1) * per]:
                trace.add_event(e)
            trace.to_jsonl(folder / f"run-{i:04d}.jsonl")
    return sorted(folder.glob("*.jsonl"))


def op_summary(side, wl):
    """`orrinth summary` over the files (its rows, in this process), reading them with the
    side's Trace."""
    from orrinth.cli import runs, summary

    files, trace_cls = summary_files(wl), side.trace_mod.Trace

    def run():
        saved, runs.Trace = runs.Trace, trace_cls
        try:
            return list(summary.read_rows(files, 1))
        finally:
            runs.Trace = saved

    return run


def floor_to_jsonl(wl):
    events, path = wl.native.events, wl.tmp / "floor.jsonl"

    def run():
        with open(path, "w") as f:
            write = f.write
            for e in events:
                write(e.model_dump_json() + "\n")

    return run


def durable_save(path, lines):
    """A save as durable as the native one, in plain Python: temporary file, data synced,
    renamed over the target, directory synced."""
    tmp = path.with_name(f".{path.name}.floor.tmp")
    with open(tmp, "w") as f:
        write = f.write
        for line in lines:
            write(line)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)
    fd = os.open(path.parent, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def floor_to_jsonl_synced(wl):
    events, path = wl.native.events, wl.tmp / "floor-synced.jsonl"
    return lambda: durable_save(path, (e.model_dump_json() + "\n" for e in events))


SMALL_SAVES = 200


def op_small_save(side, wl):
    trace = side.trace_mod.Trace()
    trace.add_event(side.events[0])
    path = side.dir / "small" / "trace.jsonl"
    return lambda: [trace.to_jsonl(path) for _ in range(SMALL_SAVES)]


def floor_small_save(wl):
    event, path = wl.native.events[0], wl.tmp / "floor-small.jsonl"
    return lambda: [durable_save(path, [event.model_dump_json() + "\n"])
                    for _ in range(SMALL_SAVES)]


def op_from_jsonl(side, wl):
    cls, path = side.trace_mod.Trace, wl.jsonl
    return lambda: cls.from_jsonl(path)


def floor_from_jsonl(wl):
    validate, loads, path = native_trace.TraceEvent.model_validate, json.loads, wl.jsonl

    def run():
        out = []
        append = out.append
        with open(path) as f:
            for line in f:
                line = line.strip()
                if line:
                    append(validate(loads(line)))
        return out

    return run


def op_receive_str(side, wl):
    agent, messages = side.raw_mod.RawAgent("bench", reply), wl.messages

    def run():
        for m in messages:
            agent.receive(m)
        return agent

    return run


def floor_receive_str(wl):
    dicts, handler = wl.message_dicts, reply

    def run():
        response = dict
        for d in dicts:
            response(content=handler(d))

    return run


def op_receive_dict(side, wl):
    agent, messages = side.raw_mod.RawAgent("bench", reply_with_state, INITIAL_STATE), wl.messages
    agent.setup()

    def run():
        for m in messages:
            agent.receive(m)
        return agent

    return run


def floor_receive_dict(wl):
    # The handler's call and a Response call of the same shape (two keywords); the
    # adapter's own work (message dict, content lookup, metadata copy) is not in it.
    dicts, handler = wl.message_dicts, reply_with_state

    def run():
        response, state = dict, dict(INITIAL_STATE)
        for d in dicts:
            r = handler(d, state)
            response(content=r, metadata=r)

    return run


def ctor_calls(n: int) -> int:
    return min(n, 20_000)


def op_raw_agent(side, wl):
    cls, count = side.raw_mod.RawAgent, ctor_calls(wl.n)
    return lambda: [cls("bench", reply_with_state, INITIAL_STATE) for _ in range(count)]


def op_setup_get_state(side, wl):
    agent, count = side.raw_mod.RawAgent("bench", reply_with_state, INITIAL_STATE), wl.n

    def run():
        for _ in range(count):
            agent.setup()
            agent.get_state()
        return agent

    return run


@dataclass
class Op:
    name: str
    unit: str
    units: Callable[[Workload], int]  # events (or calls) handled by one thunk run
    target: float | None  # None: measured, with no target (a cost, not a speed-up)
    prepare: Callable
    floor: Callable | None = None
    synced_floor: Callable | None = None  # the floor, plus the syncs of a durable save
    needs_raw: bool = False
    patch_response: bool = False


OPS = [
    Op("add_event", "event", lambda wl: wl.n, 0.85, op_add_event),
    Op("events", "event", lambda wl: wl.n * reps_for(5_000_000, wl.n), 1.0, op_events),
    Op("get_messages", "event", lambda wl: wl.n * reps_for(1_000_000, wl.n), 0.25, op_get_messages),
    Op("get_events_for_agent", "event",
       lambda wl: wl.n * len(AGENTS) * reps_for(2_000_000, wl.n * len(AGENTS)), 0.25,
       op_get_events_for_agent),
    Op("snapshot", "event", lambda wl: wl.n * reps_for(1_000_000, wl.n), 0.25, op_snapshot),
    Op("cost_summary", "event", lambda wl: wl.n * reps_for(1_000_000, wl.n), 0.15, op_cost_summary),
    Op("to_jsonl", "event", lambda wl: wl.n, 0.6, op_to_jsonl, floor_to_jsonl,
       synced_floor=floor_to_jsonl_synced),
    Op("to_jsonl, plain route", "event", lambda wl: wl.n, 1.05, plain_route(op_to_jsonl)),
    Op("to_jsonl, 1 event", "save", lambda wl: SMALL_SAVES, None, op_small_save,
       synced_floor=floor_small_save),
    Op("from_jsonl", "event", lambda wl: wl.n, 0.25, op_from_jsonl, floor_from_jsonl),
    Op("from_jsonl, no native reader", "event", lambda wl: wl.n, 0.5,
       held(op_from_jsonl, native_reads=False)),
    Op("from_jsonl, plain route", "event", lambda wl: wl.n, 1.05, plain_route(op_from_jsonl)),
    Op("orrinth summary, 1,000 files", "file", lambda wl: SUMMARY_FILES, None, op_summary),
    Op("receive (str)", "call", lambda wl: wl.n, 0.8, op_receive_str, floor_receive_str,
       needs_raw=True, patch_response=True),
    Op("receive (dict+state)", "call", lambda wl: wl.n, 0.7, op_receive_dict, floor_receive_dict,
       needs_raw=True, patch_response=True),
    # As a user's run makes it, with orrinth.agent's Response dataclass: no target.
    Op("receive (str), Response", "call", lambda wl: wl.n, None, op_receive_str, needs_raw=True),
    Op("RawAgent(...)", "call", lambda wl: ctor_calls(wl.n), 1.0, op_raw_agent, needs_raw=True),
    Op("setup()+get_state()", "call", lambda wl: wl.n, 0.5, op_setup_get_state, needs_raw=True),
]
OPS_BY_NAME = {op.name: op for op in OPS}
ALIASES = {
    "receive_str": "receive (str)",
    "receive_dict": "receive (dict+state)",
    "receive_response": "receive (str), Response",
    "raw_agent": "RawAgent(...)",
    "setup_get_state": "setup()+get_state()",
    "small_save": "to_jsonl, 1 event",
    "to_jsonl_plain": "to_jsonl, plain route",
    "from_jsonl_plain": "from_jsonl, plain route",
    "from_jsonl_no_native": "from_jsonl, no native reader",
    "summary": "orrinth summary, 1,000 files",
}


def find_op(name: str) -> Op:
    name = ALIASES.get(name, name)
    if name not in OPS_BY_NAME:
        known = ", ".join(sorted(set(OPS_BY_NAME) | set(ALIASES)))
        raise SystemExit(f"unknown operation {name!r}; known: {known}")
    return OPS_BY_NAME[name]


# --------------------------------------------------------------------------- equivalence


class Mismatch(AssertionError):
    pass


def expect(cond: bool, what: str) -> None:
    if not cond:
        raise Mismatch(f"native and baseline differ: {what}")


def dumps(events) -> list[str]:
    return [e.model_dump_json() for e in events]


def check_equivalence(wl: Workload) -> list[str]:
    """Run every operation once on both sides and compare the results."""
    nat, base = wl.native.trace, wl.base.trace
    ref = dumps(wl.base.events)
    expect(dumps(wl.native.events) == ref, "events built from the same records")

    got = nat.events
    expect(len(got) == wl.n and all(a is b for a, b in zip(got, wl.native.events)),
           "native events are the very objects added")
    expect(dumps(got) == dumps(base.events), "events")
    expect(dumps(nat.get_messages()) == dumps(base.get_messages()), "get_messages")
    for name in AGENTS + ["", "nobody"]:
        expect(dumps(nat.get_events_for_agent(name)) == dumps(base.get_events_for_agent(name)),
               f"get_events_for_agent({name!r})")
    for bound in (-2, -1, 0, wl.mid_turn, wl.n):
        snap_n, snap_b = nat.snapshot(bound), base.snapshot(bound)
        expect(type(snap_n) is native_trace.Trace and snap_n.results == [], "snapshot type")
        expect(dumps(snap_n.events) == dumps(snap_b.events), f"snapshot({bound})")

    cs_n, cs_b = nat.cost_summary(), base.cost_summary()
    expect(type(cs_n) is native_trace.CostSummary, "cost_summary type")
    expect(cs_n.model_dump() == cs_b.model_dump(), "cost_summary values")
    expect(repr(cs_n.total_cost_usd) == repr(cs_b.total_cost_usd), "cost total, to the last bit")
    expect(list(cs_n.per_agent) == list(cs_b.per_agent), "per_agent order")
    expect(all(repr(cs_n.per_agent[k]) == repr(cs_b.per_agent[k]) for k in cs_b.per_agent),
           "per_agent figures, to the last bit")

    out_n, out_b = wl.tmp / "check" / "native.jsonl", wl.tmp / "check" / "baseline.jsonl"
    nat.to_jsonl(out_n)
    expect(jsonl_routes.last_native_writes == wl.n, "to_jsonl lines written natively")
    base.to_jsonl(out_b)
    expect(out_n.read_bytes() == out_b.read_bytes(), "to_jsonl file bytes")
    back_n = native_trace.Trace.from_jsonl(out_n)
    back_b = baseline.Trace.from_jsonl(out_b)
    expect(type(back_n) is native_trace.Trace, "from_jsonl type")
    expect(dumps(back_n.events) == ref and dumps(back_b.events) == ref, "from_jsonl events")
    expect(jsonl_routes.enabled and jsonl_routes.last_counts == (wl.n, 0), "fast JSONL route taken")
    expect(jsonl_routes.last_native_reads == wl.n, "from_jsonl lines parsed natively")
    jsonl_routes.native_reads = False
    try:
        back_f = native_trace.Trace.from_jsonl(out_n)
        expect(jsonl_routes.same(back_f._events, back_n._events), "from_jsonl without the native reader")
        expect(jsonl_routes.last_native_reads == 0, "native reader off")
    finally:
        jsonl_routes.native_reads = True
    rows_n, rows_b = (op_summary(side, wl)() for side in wl.sides)
    expect(rows_n == rows_b and len(rows_n) == SUMMARY_FILES, "orrinth summary rows")
    jsonl_routes.force_plain = True
    try:
        out_p = wl.tmp / "check" / "plain.jsonl"
        nat.to_jsonl(out_p)
        expect(out_p.read_bytes() == out_b.read_bytes(), "to_jsonl file bytes, plain route")
        expect(dumps(native_trace.Trace.from_jsonl(out_p).events) == ref, "from_jsonl, plain route")
        expect(jsonl_routes.last_counts == (0, wl.n), "plain JSONL route taken")
    finally:
        jsonl_routes.force_plain = False
    # The floors make the same calls: the same file, the same events.
    floor_to_jsonl(wl)()
    expect((wl.tmp / "floor.jsonl").read_bytes() == out_n.read_bytes(), "to_jsonl floor file bytes")
    floor_to_jsonl_synced(wl)()
    expect((wl.tmp / "floor-synced.jsonl").read_bytes() == out_n.read_bytes(),
           "to_jsonl synced floor file bytes")
    expect(dumps(floor_from_jsonl(wl)()) == dumps(wl.native.events), "from_jsonl floor events")
    checked = ["events", "get_messages", "get_events_for_agent", "snapshot", "cost_summary",
               "to_jsonl (bytes)", "from_jsonl", "both JSONL routes", "native reader", "summary rows",
               "JSONL floors"]

    if native_raw is None:
        return checked
    for responses in ("Response", "dict"):
        with Patched(native_raw, baseline) if responses == "dict" else Patched():
            for handler in (reply, reply_with_state):
                agents = [side.raw_mod.RawAgent("bench", handler, INITIAL_STATE) for side in wl.sides]
                expect(agents[0]._accepts_state == agents[1]._accepts_state, "_accepts_state")
                results = []
                for agent in agents:
                    agent.setup()
                    results.append([agent.receive(m) for m in wl.messages])
                if responses == "Response":
                    results = [[(r.content, r.metadata) for r in rs] for rs in results]
                expect(results[0] == results[1], f"receive with {handler.__name__} ({responses})")
                expect(agents[0].get_state() == agents[1].get_state(), "state after receive")
                for agent in agents:
                    agent.setup()
                expect(agents[0].get_state() == agents[1].get_state() == INITIAL_STATE, "setup")
                expect(agents[0].name == agents[1].name == "bench", "name")
    return checked + ["receive", "RawAgent(...)", "setup()+get_state()"]


# --------------------------------------------------------------------------- timing


def time_once(thunk) -> int:
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter_ns()
        result = thunk()
        elapsed = time.perf_counter_ns() - t0
    finally:
        gc.enable()
    del result
    return elapsed


@dataclass
class Samples:
    native: list = field(default_factory=list)  # ns per unit, one per round
    base: list = field(default_factory=list)
    floor: list = field(default_factory=list)
    synced_floor: list = field(default_factory=list)
    skipped: str = ""


def run_rounds(wl: Workload, ops: list[Op], rounds: int, progress: bool = True) -> dict[str, Samples]:
    results = {op.name: Samples() for op in ops}
    for op in ops:
        if op.needs_raw and native_raw is None:
            results[op.name].skipped = "orrinth.adapters.raw is not built"
    for r in range(rounds):
        if progress:
            print(f"  round {r + 1}/{rounds} ...", file=sys.stderr, flush=True)
        for op in ops:
            s = results[op.name]
            if s.skipped:
                continue
            units = op.units(wl)
            runs = [("native", lambda: op.prepare(wl.native, wl)), ("base", lambda: op.prepare(wl.base, wl))]
            if op.floor:
                runs.append(("floor", lambda: op.floor(wl)))
            if op.synced_floor:
                runs.append(("synced_floor", lambda: op.synced_floor(wl)))
            shift = r % len(runs)  # alternate which side goes first
            for key, prepare in runs[shift:] + runs[:shift]:
                with Patched(native_raw, baseline) if op.patch_response else Patched():
                    thunk = prepare()
                    elapsed = time_once(thunk)
                del thunk
                getattr(s, key).append(elapsed / units)
    return results


def fmt_ns(v: float) -> str:
    if v >= 1000:
        return f"{v:,.0f}"
    if v >= 100:
        return f"{v:.0f}"
    return f"{v:.1f}"


def spread(values: list[float], fmt=fmt_ns) -> str:
    return f"{fmt(statistics.median(values))} [{fmt(min(values))}-{fmt(max(values))}]"


def ratio_fmt(v: float) -> str:
    return f"{v:.2f}"


def table_rows(ops: list[Op], results: dict[str, Samples]) -> list[list[str]]:
    rows = []
    for op in ops:
        s = results[op.name]
        label = f"{op.name} (ns/{op.unit})"
        target = "-" if op.target is None else f"<= {op.target:.2f}"
        if s.skipped:
            rows.append([label, "-", "-", "-", target, f"skipped: {s.skipped}"])
            continue
        ratios = [a / b for a, b in zip(s.native, s.base)]
        med = statistics.median(ratios)
        verdict = "-" if op.target is None else "met" if med <= op.target else "NOT MET"
        rows.append([label, spread(s.native), spread(s.base), spread(ratios, ratio_fmt),
                     target, verdict])
        for name, floor in (("floor", s.floor), ("floor + sync", s.synced_floor)):
            if not floor:
                continue
            nf = [a / b for a, b in zip(s.native, floor)]
            bf = [a / b for a, b in zip(s.base, floor)]
            rows.append([f"  {name}: {op.name}", spread(floor), "", "", "",
                         f"native/floor {spread(nf, ratio_fmt)}, baseline/floor {spread(bf, ratio_fmt)}"])
    return rows


HEADERS = ["operation", "native [min-max]", "baseline [min-max]", "ratio [min-max]", "target", "result"]


def print_table(rows: list[list[str]], markdown: bool, headers: list[str] = HEADERS) -> None:
    if markdown:
        print("| " + " | ".join(headers) + " |")
        print("|" + "|".join("---" for _ in headers) + "|")
        for row in rows:
            print("| " + " | ".join(c.replace("|", "\\|") for c in row) + " |")
        return
    widths = [max(len(r[i]) for r in rows + [headers]) for i in range(len(headers))]
    for row in [headers] + rows:
        print("  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip())


def environment() -> str:
    cpu = platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = ", load average {:.1f}/{:.1f}/{:.1f}".format(*os.getloadavg()) if hasattr(os, "getloadavg") else ""
    return (f"CPython {platform.python_version()}, pydantic {pydantic.VERSION}, {cpu}, "
            f"{os.cpu_count()} cpus{load}; native: {Path(native_trace.__file__).name}"
            + ("" if native_raw else "; orrinth.adapters.raw: not built"))


def describe(wl: Workload, rounds: int) -> str:
    kinds = {}
    for rec in wl.records:
        kinds[rec["type"]] = kinds.get(rec["type"], 0) + 1
    share = ", ".join(f"{k} {100 * v / wl.n:.0f}%" for k, v in kinds.items())
    no_agent = sum(1 for rec in wl.records if not rec["agent"])
    return (f"{wl.n:,} events ({share}; {len(AGENTS)} agents, {100 * no_agent / wl.n:.0f}% without), "
            f"{wl.n:,} receive calls, {ctor_calls(wl.n):,} RawAgent(...) calls, {rounds} rounds")


# --------------------------------------------------------------------------- modes


def main_table(n: int, rounds: int, ops: list[Op], markdown: bool) -> int:
    print(f"building workload of {n:,} events ...", file=sys.stderr, flush=True)
    wl = build_workload(n)
    try:
        checked = check_equivalence(wl)
        print(f"equivalence checked: {', '.join(checked)}", file=sys.stderr)
        results = run_rounds(wl, ops, rounds)
        print(f"orrinth native vs plain-Python baseline: {describe(wl, rounds)}")
        print(environment())
        print("cells: median ns per event (or call) [min-max over rounds]; ratio = native/baseline per round")
        print_table(table_rows(ops, results), markdown)
    finally:
        wl.close()
    return 0


def main_scaling(sizes: list[int], rounds: int, ops: list[Op], markdown: bool) -> int:
    medians = {}  # (op, size) -> (native, baseline)
    for n in sizes:
        print(f"building workload of {n:,} events ...", file=sys.stderr, flush=True)
        wl = build_workload(n)
        try:
            check_equivalence(wl)
            results = run_rounds(wl, ops, rounds)
        finally:
            wl.close()
            del wl
            gc.collect()
        for op in ops:
            s = results[op.name]
            if not s.skipped:
                medians[op.name, n] = (statistics.median(s.native), statistics.median(s.base))
    print(f"scaling: median ns per event (or call) at {', '.join(f'{n:,}' for n in sizes)} events, {rounds} rounds")
    print(environment())
    print(f"+ns = cost per unit at {sizes[-1]:,} minus at {sizes[0]:,}. Once a trace outgrows the caches every")
    print("event read misses, which both sides pay alike (they touch the same objects), so the test is")
    print("that the native cost grows by less than half, or by no more than 1.25x what the baseline's grows.")
    headers = ["operation"] + [f"native {n:,}" for n in sizes] + \
        [f"baseline {n:,}" for n in sizes] + ["native +ns", "baseline +ns", "flat"]
    rows = []
    for op in ops:
        if (op.name, sizes[0]) not in medians:
            rows.append([op.name] + ["-"] * (2 * len(sizes) + 2) + ["skipped"])
            continue
        nat = [medians[op.name, n][0] for n in sizes]
        base = [medians[op.name, n][1] for n in sizes]
        d_n, d_b = nat[-1] - nat[0], base[-1] - base[0]
        flat = d_n <= max(0.5 * nat[0], 1.25 * d_b)
        rows.append([f"{op.name} (ns/{op.unit})"] + [fmt_ns(v) for v in nat] + [fmt_ns(v) for v in base]
                    + [f"{d_n:+.1f}", f"{d_b:+.1f}", "flat" if flat else "GROWS"])
    print_table(rows, markdown, headers)
    return 0


def memory_child(side: str, path: str, tracing: bool) -> None:
    """Read `path` once with from_jsonl (or, for "text", as one string) and print the
    peak memory of that call as JSON. The trace is a subclass that counts and drops the
    events, so what remains is the memory the reading itself needs."""
    import resource
    import tracemalloc

    kept = None  # what the read keeps (side "reader"), held until measured
    if side == "text":
        def read(p):
            return len(p.read_text())
    elif side == "reader":
        # Exactly Trace, as the native reader requires: the events are kept, and what is
        # measured is the peak above them.
        def read(p):
            nonlocal kept
            kept = native_trace.Trace.from_jsonl(p)
            assert jsonl_routes.last_native_reads == len(kept.events), "native reader not taken"
            return len(kept.events)
    else:
        mod = native_trace if side == "native" else baseline

        class Dropping(mod.Trace):
            count = 0

            def add_event(self, event):
                self.count += 1

        def read(p):
            return Dropping.from_jsonl(p).count

    target = Path(path)
    read(target.parent / "warmup.jsonl")
    gc.collect()
    if tracing:
        tracemalloc.start()
        base_cur = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        count = read(target)
        current, peak = tracemalloc.get_traced_memory()
        peak -= current if kept is not None else base_cur
        tracemalloc.stop()
        print(json.dumps({"count": count, "peak": peak}))
        return
    try:  # reset the kernel's high-water mark, so that VmHWM is this call's peak
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        reset = True
    except OSError:
        reset = False

    def status(key):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) * 1024
        return 0

    before = status("VmRSS")
    count = read(target)
    after = status("VmHWM") if reset else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    if kept is not None:
        before = status("VmRSS")  # the peak above what the events keep
    print(json.dumps({"count": count, "peak": after - before}))


def mib(v: float) -> str:
    return f"{v / 2**20:.2f} MiB" if abs(v) >= 2**20 else f"{v / 2**10:.1f} KiB"


def write_jsonl(path: Path, n: int) -> None:
    chunk = 10_000
    with open(path, "w") as f:
        for start in range(0, n, chunk):
            recs = make_records(min(chunk, n - start), seed=start)
            for rec in recs:
                f.write(native_trace.TraceEvent(**rec).model_dump_json() + "\n")


def main_memory(n: int) -> int:
    sizes = [max(1, n // 5), n, 4 * n]
    tmp = Path(tempfile.mkdtemp(prefix="orrinth-mem-"))
    try:
        write_jsonl(tmp / "warmup.jsonl", 100)
        files = []
        for size in sizes:
            p = tmp / f"trace-{size}.jsonl"
            print(f"writing {p.name} ...", file=sys.stderr, flush=True)
            write_jsonl(p, size)
            files.append(p)
        rows = []
        figures = {}
        for side in ("native", "reader", "baseline", "text"):
            for tracing in (True, False):
                cells = []
                for size, p in zip(sizes, files):
                    out = subprocess.run([sys.executable, str(Path(__file__).resolve()), "--memory-child",
                                          side, str(p), "--tracemalloc" if tracing else "--rss"],
                                         check=True, capture_output=True, text=True)
                    data = json.loads(out.stdout)
                    if side != "text" and data["count"] != size:
                        raise Mismatch(f"{side} read {data['count']} events of {size}")
                    cells.append(data["peak"])
                figures[side, tracing] = cells
                what = "tracemalloc peak" if tracing else "peak RSS growth"
                label = {"native": "Trace.from_jsonl (native)", "baseline": "Trace.from_jsonl (baseline)",
                         "reader": "Trace.from_jsonl (native reader, events kept), above the events",
                         "text": "control: path.read_text()"}[side]
                rows.append([f"{label}, {what}"] + [mib(v) for v in cells])
        sizes_row = ["file size"] + [mib(p.stat().st_size) for p in files]
        headers = ["measure"] + [f"{s:,} events" for s in sizes]
        print("peak memory of one from_jsonl call, in a fresh child process per cell; the trace is a")
        print("subclass whose add_event drops each event, so only the reading's own memory remains.")
        print("The control reads the whole file as one string: what a non-streaming reader costs.")
        print("The native reader takes exactly Trace only: its rows keep the events and show the peak")
        print("above what they keep at the end (the reader's own blocks and buffers).")
        print(environment())
        widths = [max(len(r[i]) for r in rows + [headers, sizes_row]) for i in range(len(headers))]
        for row in [headers, sizes_row] + rows:
            print("  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip())
        nat = figures["native", True]
        largest = files[-1].stat().st_size
        streams = nat[-1] < 0.05 * largest and nat[-1] <= 2 * nat[0] + 2**20
        reader = figures["reader", False]
        streams = streams and reader[-1] < 0.05 * largest and reader[-1] <= 2 * reader[0] + 2**21
        print(f"native from_jsonl streams: {'yes' if streams else 'NO'} (tracemalloc peak "
              f"{mib(nat[0])} -> {mib(nat[-1])}, the native reader's peak RSS above its events "
              f"{mib(reader[0])} -> {mib(reader[-1])}, while the file grows "
              f"{mib(files[0].stat().st_size)} -> {mib(largest)})")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return 0


def main_profile(name: str, n: int, side: str, repeat: int) -> int:
    """Run one operation on one side, untimed, for a profiler (perf, callgrind)."""
    op = find_op(name)
    if op.needs_raw and native_raw is None:
        raise SystemExit("orrinth.adapters.raw is not built")
    if side == "floor" and not op.floor:
        raise SystemExit(f"{op.name} has no floor")
    wl = build_workload(n)
    try:
        with Patched(native_raw, baseline) if op.patch_response else Patched():
            if side == "floor":
                thunks = [op.floor(wl) for _ in range(repeat)]
            else:
                thunks = [op.prepare(wl.native if side == "native" else wl.base, wl) for _ in range(repeat)]
            gc.collect()
            gc.disable()
            # Markers for a profiler: callgrind --dump-before=os_getppid_impl
            # --dump-before=os_getpgrp_impl puts exactly the runs below in a dump of their own.
            os.getppid()
            results = [thunk() for thunk in thunks]
            os.getpgrp()
            gc.enable()
        units = op.units(wl) * repeat
        print(f"{op.name} on {side}: {repeat} run(s), {units:,} {op.unit}s", file=sys.stderr)
        del results
    finally:
        wl.close()
    return 0


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--events", type=int, help="events in the workload (default 100000; 10000 with --quick)")
    p.add_argument("--rounds", type=int, help="timed rounds (default 7; 3 with --quick or --scaling)")
    p.add_argument("--quick", action="store_true", help="10k events, 3 rounds")
    p.add_argument("--scaling", action="store_true", help="run at 10k, 100k and 1M events")
    p.add_argument("--memory", action="store_true", help="peak memory of from_jsonl against file size")
    p.add_argument("--check", action="store_true", help="only compare native and baseline results")
    p.add_argument("--only", help="comma-separated operations to time")
    p.add_argument("--markdown", action="store_true", help="print tables in Markdown")
    p.add_argument("--profile", metavar="OP", help="run OP untimed, for a profiler")
    p.add_argument("--side", choices=["native", "baseline", "floor"], default="native",
                   help="side that --profile runs")
    p.add_argument("--repeat", type=int, default=1, help="runs of the operation under --profile")
    p.add_argument("--memory-child", nargs=2, metavar=("SIDE", "PATH"), help=argparse.SUPPRESS)
    p.add_argument("--tracemalloc", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--rss", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args(argv)

    if args.memory_child:
        memory_child(args.memory_child[0], args.memory_child[1], args.tracemalloc)
        return 0
    n = args.events or (10_000 if args.quick else 100_000)
    if n < 100:
        p.error("--events must be at least 100")
    ops = [find_op(x.strip()) for x in args.only.split(",")] if args.only else OPS
    if args.profile:
        return main_profile(args.profile, n, args.side, args.repeat)
    if args.check:
        wl = build_workload(n)
        try:
            checked = check_equivalence(wl)
        finally:
            wl.close()
        print(f"native and baseline agree on {n:,} events: {', '.join(checked)}")
        if native_raw is None:
            print("orrinth.adapters.raw is not built: RawAgent not checked")
        return 0
    if args.memory:
        return main_memory(n)
    if args.scaling:
        sizes = [10_000, 100_000, 1_000_000] if not args.quick else [2_000, 10_000, 50_000]
        return main_scaling(sizes, args.rounds or 3, ops, args.markdown)
    return main_table(n, args.rounds or (3 if args.quick else 7), ops, args.markdown)


if __name__ == "__main__":
    sys.exit(main())
