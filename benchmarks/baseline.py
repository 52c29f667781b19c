"""A plain-Python model of the orrinth public API, used only as a benchmark baseline.

This is the code a user would write without a native core: pydantic models for the two
records, and `Trace` and `RawAgent` as ordinary classes whose methods are plain loops
and comprehensions that make the same calls, in the same order, as the native modules
(`model_dump_json() + "\n"` written per event, `json.loads` + `model_validate` +
`add_event` per stripped line, the handler called with a fresh message dict, and so on).
Argument type tests are kept, so that both sides do the same work and refuse the same
input. It is not part of the package and is never installed.
"""

import inspect
import json
from pathlib import Path
from typing import Callable, Literal

from pydantic import BaseModel, Field

from orrinth.agent import AgentUnderTest, Message, Response

__all__ = ["TraceEvent", "CostSummary", "Trace", "RawAgent", "Path", "Message", "Response"]

_SUBCLASS_NOTE = (
    "Instances of subclasses of built-in types are refused here. "
    "Convert the value to the exact built-in type first."
)


def _type_error(param: str, expected: type, value: object) -> TypeError:
    got = type(value)
    text = (
        f"Argument '{param[:200]}' has incorrect type "
        f"(expected {expected.__name__[:200]}, got {got.__name__[:200]})"
    )
    if isinstance(value, expected):
        text += ". " + _SUBCLASS_NOTE
    return TypeError(text)


class TraceEvent(BaseModel):
    """A single recorded event in a simulation trace."""

    type: Literal["message", "state_change", "fault_injected", "property_check"]
    turn: int
    agent: str | None = None
    data: dict = Field(default_factory=dict)
    timestamp: float = 0.0
    input_tokens: int = 0
    output_tokens: int = 0
    cost_usd: float = 0.0


class CostSummary(BaseModel):
    """Aggregate token and cost statistics for one trace."""

    total_input_tokens: int
    total_output_tokens: int
    total_cost_usd: float
    per_agent: dict[str, dict]


class Trace:
    """An ordered sequence of events recorded during one simulation run."""

    def __init__(self) -> None:
        self._events = []
        self.results = []

    def add_event(self, event: TraceEvent) -> None:
        """Append an event to the trace."""
        self._events.append(event)

    @property
    def events(self) -> list[TraceEvent]:
        """All events in insertion order."""
        return list(self._events)

    def get_messages(self) -> list[TraceEvent]:
        """Return only message-type events."""
        return [e for e in self._events if e.type == "message"]

    def get_events_for_agent(self, name: str) -> list[TraceEvent]:
        """Return all events attributed to the named agent."""
        if type(name) is not str:
            raise _type_error("name", str, name)
        return [e for e in self._events if e.agent == name]

    def cost_summary(self) -> CostSummary:
        """Aggregate token and cost data across all message events."""
        per_agent = {}
        total_in = 0
        total_out = 0
        total_cost = 0.0
        for e in self.get_messages():
            key = e.agent or "__unknown__"
            if key not in per_agent:
                per_agent[key] = {"input_tokens": 0, "output_tokens": 0, "cost_usd": 0.0, "turns": 0}
            entry = per_agent[key]
            entry["input_tokens"] += e.input_tokens
            entry["output_tokens"] += e.output_tokens
            entry["cost_usd"] += e.cost_usd
            entry["turns"] += 1
            total_in += e.input_tokens
            total_out += e.output_tokens
            total_cost += e.cost_usd
        return CostSummary(
            total_input_tokens=total_in,
            total_output_tokens=total_out,
            total_cost_usd=total_cost,
            per_agent=per_agent,
        )

    def snapshot(self, up_to_turn: int) -> "Trace":
        """Return a new Trace containing only events with turn <= up_to_turn.

        Property_check events (turn=-1) are excluded from snapshots since they
        are derived from the full trace, not recorded at a specific turn.

        Args:
            up_to_turn: Inclusive upper bound on turn numbers to include.
        """
        if type(up_to_turn) is not int:
            number = type(up_to_turn)
            if not (
                hasattr(number, "__int__")
                or hasattr(number, "__index__")
                or hasattr(number, "__float__")
                or isinstance(up_to_turn, complex)
            ):
                raise _type_error("up_to_turn", int, up_to_turn)
            up_to_turn = int(up_to_turn)
        snap = Trace()
        for e in self._events:
            if e.type == "property_check":
                continue
            if e.turn <= up_to_turn:
                snap.add_event(e)
        return snap

    def to_jsonl(self, path: Path) -> None:
        """Write each event as one JSON line to path."""
        path.parent.mkdir(parents=True, exist_ok=True)
        with path.open("w") as f:
            for e in self._events:
                f.write(e.model_dump_json() + "\n")

    @classmethod
    def from_jsonl(cls, path: Path) -> "Trace":
        """Read a trace back from a JSONL file."""
        trace = cls()
        with path.open() as f:
            for line in f:
                line = line.strip()
                if line:
                    trace.add_event(TraceEvent.model_validate(json.loads(line)))
        return trace


class RawAgent(AgentUnderTest):
    """Wraps a plain Python callable as an AgentUnderTest.

    The handler receives a dict with 'sender', 'content', and 'turn' keys
    and must return either a str or a dict with a 'content' key.

    If the handler accepts a second 'state' parameter, the current state dict
    is passed and any mutations persist across turns.
    """

    def __init__(self, name: str, handler: Callable, initial_state: dict | None = None) -> None:
        if type(name) is not str:
            raise _type_error("name", str, name)
        if initial_state is not None and type(initial_state) is not dict:
            raise _type_error("initial_state", dict, initial_state)
        self._name = name
        self._handler = handler
        self._initial_state = dict(initial_state) if initial_state else {}
        self._state = dict(self._initial_state)
        self._accepts_state = self._check_accepts_state(handler)

    @staticmethod
    def _check_accepts_state(handler: Callable) -> bool:
        try:
            return len(list(inspect.signature(handler).parameters)) > 1
        except (ValueError, TypeError):
            return False

    @property
    def name(self) -> str:
        name = self._name
        if type(name) is not str and name is not None:
            raise TypeError(f"Expected str, got {type(name).__name__[:200]}")
        return name

    def receive(self, message: Message) -> Response:
        """Call the handler with the message dict and return a Response."""
        msg = {"sender": message.sender, "content": message.content, "turn": message.turn}
        if self._accepts_state:
            result = self._handler(msg, self._state)
        else:
            result = self._handler(msg)
        if isinstance(result, str):
            return Response(content=result)
        if isinstance(result, dict):
            content = result.get("content", "")
            metadata = {k: v for k, v in result.items() if k != "content"}
            return Response(content=content, metadata=metadata)
        raise TypeError(
            f"Handler for agent '{self._name}' returned {type(result).__name__}; "
            "expected str or dict with 'content' key."
        )

    def setup(self) -> None:
        """Reset state to initial values before each run."""
        self._state = dict(self._initial_state)

    def get_state(self) -> dict:
        """Return a copy of the current state."""
        return dict(self._state)
