"""Calls that mypy --strict must refuse. Each faulty line ends with `# E: <error code>`;
the test compares mypy's findings with these marks, line by line."""

from __future__ import annotations

from pathlib import Path
from typing import Any

from orrinth.adapters.raw import RawAgent
from orrinth.agent import Message
from orrinth.trace import CostSummary, Trace, TraceEvent


class LabelledTrace(Trace):
    pass


def answers_with_a_number(message: dict[str, Any]) -> int:
    return 42


def misuse_trace(path: Path, name: str | None) -> None:
    trace = Trace()
    trace.add_event({"type": "message", "turn": 1})  # E: arg-type
    trace.get_events_for_agent(name)  # E: arg-type
    trace.snapshot("3")  # E: arg-type
    trace.to_jsonl("runs/trace.jsonl")  # E: arg-type
    trace.events = []  # E: misc
    copy: LabelledTrace = LabelledTrace().snapshot(1)  # E: assignment
    Trace(trace.events)  # E: call-arg
    Trace.from_jsonl()  # E: call-arg
    TraceEvent(type="chat", turn=1)  # E: arg-type
    TraceEvent(type="message")  # E: call-arg
    TraceEvent(type="message", turn=1, agent=7)  # E: arg-type
    CostSummary()  # E: call-arg
    trace.cost_summary().total_cost_usd.upper()  # E: attr-defined


def misuse_agent() -> None:
    RawAgent(b"bot", lambda m: "hi")  # E: arg-type
    RawAgent("bot", 42)  # E: arg-type
    RawAgent("bot", answers_with_a_number)  # E: arg-type
    RawAgent("bot", lambda m: "hi", initial_state=[("count", 0)])  # E: arg-type
    agent = RawAgent("bot", lambda m: "hi", {}, True)  # E: call-arg
    agent = RawAgent("bot", lambda m: "hi")
    agent.receive("hello")  # E: arg-type
    agent.receive(Message("user", "hello", 1)).metadata = "none"  # E: assignment
    agent.name = "other"  # E: misc
    agent.get_state().append(1)  # E: attr-defined
