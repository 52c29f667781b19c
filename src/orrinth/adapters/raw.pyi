# Type information for the compiled orrinth.adapters.raw module.
import inspect as inspect
from typing import Callable as Callable

from orrinth.agent import AgentUnderTest as AgentUnderTest
from orrinth.agent import Message as Message
from orrinth.agent import Response as Response

class RawAgent(AgentUnderTest):
    """Wraps a plain Python callable as an AgentUnderTest."""

    def __init__(
        self, name: str, handler: Callable, initial_state: dict | None = None
    ) -> None: ...
    @staticmethod
    def _check_accepts_state(handler: Callable) -> bool: ...
    @property
    def name(self) -> str: ...
    def receive(self, message: Message) -> Response: ...
    def setup(self) -> None: ...
    def get_state(self) -> dict: ...
