"""Typical use of the typed API: mypy --strict must accept all of it, and every
assert_type must hold."""

from __future__ import annotations

from pathlib import Path
from typing import Any, Literal, assert_type

from orrinth.adapters.raw import RawAgent
from orrinth.agent import AgentUnderTest, Message, Response
from orrinth.trace import CostSummary, Trace, TraceEvent


class LabelledTrace(Trace):
    label = "nightly"


def echo(message: dict[str, Any]) -> str:
    return str(message["content"])


def counter(message: dict[str, Any], state: dict[str, Any]) -> dict[str, Any]:
    state["count"] = state.get("count", 0) + 1
    return {"content": message["content"], "count": state["count"]}


def record(path: Path) -> None:
    event = TraceEvent(type="message", turn=1, agent="bot", input_tokens=10, cost_usd=0.001)
    check = TraceEvent(type="property_check", turn=-1, data={"passed": True})
    assert_type(event.type, Literal["message", "state_change", "fault_injected", "property_check"])
    assert_type(event.agent, str | None)
    assert_type(event.data, dict[Any, Any])
    assert_type(event.timestamp, float)

    trace = Trace()
    trace.add_event(event)
    trace.add_event(check)
    trace.results.append({"anything": "goes"})
    assert_type(trace.events, list[TraceEvent])
    assert_type(trace.get_messages(), list[TraceEvent])
    assert_type(trace.get_events_for_agent("bot"), list[TraceEvent])

    summary = trace.cost_summary()
    assert_type(summary, CostSummary)
    assert_type(summary.total_input_tokens, int)
    assert_type(summary.total_cost_usd, float)
    row = summary.per_agent["bot"]
    assert_type(row["input_tokens"], int)
    assert_type(row["cost_usd"], float)
    assert_type(row["turns"], int)
    rebuilt = CostSummary(total_input_tokens=1, total_output_tokens=2, total_cost_usd=0.5, per_agent={})
    assert_type(rebuilt.model_dump_json(), str)

    assert_type(trace.snapshot(3), Trace)
    assert_type(LabelledTrace().snapshot(3), Trace)
    trace.to_jsonl(path)
    assert_type(Trace.from_jsonl(path), Trace)
    assert_type(LabelledTrace.from_jsonl(path), LabelledTrace)
    assert_type(LabelledTrace().from_jsonl(path).label, str)


def drive() -> None:
    plain = RawAgent("echo", echo)
    stateful = RawAgent(name="counter", handler=counter, initial_state={"count": 0})
    lambda_agent = RawAgent("shout", lambda m: str(m["content"]).upper(), None)
    agents: list[AgentUnderTest] = [plain, stateful, lambda_agent]
    for agent in agents:
        agent.setup()
    assert_type(stateful.name, str)
    assert_type(stateful.receive(Message("user", "hi", 1)), Response)
    assert_type(stateful.get_state(), dict[str, Any])
    assert_type(RawAgent._check_accepts_state(counter), bool)
