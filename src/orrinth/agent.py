"""The agent interface: what a simulation harness needs from an agent under test.

An agent has a name, is set up before each run, receives the messages of a run one by
one and answers each with a :class:`Response`, and can report its state.
"""

from __future__ import annotations

from abc import ABC, abstractmethod
from dataclasses import dataclass, field
from typing import Any

__all__ = ["AgentUnderTest", "Message", "Response"]


@dataclass
class Message:
    """One message of a run, as delivered to an agent."""

    sender: str
    content: Any
    turn: int


@dataclass
class Response:
    """An agent's answer to a message: its content and free-form metadata.

    Both are kept exactly as given; a handler's content may be any object.
    """

    content: Any
    metadata: dict[str, Any] = field(default_factory=dict)


class AgentUnderTest(ABC):
    """Base class of every agent that a simulation harness can drive.

    Subclasses provide the four operations below; the base class has no constructor
    logic and no state of its own.
    """

    @property
    @abstractmethod
    def name(self) -> str:
        """The agent's name."""

    @abstractmethod
    def setup(self) -> None:
        """Prepare the agent for a new run."""

    @abstractmethod
    def receive(self, message: Message) -> Response:
        """Answer one message of the run."""

    @abstractmethod
    def get_state(self) -> dict[str, Any]:
        """Return the agent's current state."""
