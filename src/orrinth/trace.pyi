# The module binds these names besides its three classes; they are re-exported as it does.
import json as json
from pathlib import Path as Path
from typing import Any, Self, TypedDict
from typing import Literal as Literal

from pydantic import BaseModel as BaseModel
from pydantic import Field as Field

class TraceEvent(BaseModel):
    type: Literal["message", "state_change", "fault_injected", "property_check"]
    turn: int
    agent: str | None = None
    data: dict[Any, Any] = Field(default_factory=dict)
    timestamp: float = 0.0
    input_tokens: int = 0
    output_tokens: int = 0
    cost_usd: float = 0.0

class _AgentCosts(TypedDict):
    # One agent's row of CostSummary.per_agent, as cost_summary() builds it.
    input_tokens: int
    output_tokens: int
    cost_usd: float
    turns: int

class CostSummary(BaseModel):
    total_input_tokens: int
    total_output_tokens: int
    total_cost_usd: float
    per_agent: dict[str, _AgentCosts]

class Trace:
    _events: list[TraceEvent]
    results: list[Any]
    def __init__(self) -> None: ...
    def add_event(self, event: TraceEvent) -> None: ...
    @property
    def events(self) -> list[TraceEvent]: ...
    def get_messages(self) -> list[TraceEvent]: ...
    def get_events_for_agent(self, name: str) -> list[TraceEvent]: ...
    def cost_summary(self) -> CostSummary: ...
    def snapshot(self, up_to_turn: int) -> Trace: ...
    def to_jsonl(self, path: Path) -> None: ...
    @classmethod
    def from_jsonl(cls, path: Path) -> Self: ...
