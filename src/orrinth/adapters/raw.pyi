from collections.abc import Callable
from typing import Any

from orrinth.agent import AgentUnderTest, Message, Response

class RawAgent(AgentUnderTest):
    _name: str
    _handler: Callable[..., str | dict[str, Any]]
    _initial_state: dict[str, Any]
    _state: dict[str, Any]
    _accepts_state: bool
    def __init__(
        self,
        name: str,
        handler: Callable[..., str | dict[str, Any]],
        initial_state: dict[str, Any] | None = None,
    ) -> None: ...
    @staticmethod
    def _check_accepts_state(handler: Callable[..., Any]) -> bool: ...
    @property
    def name(self) -> str: ...
    def receive(self, message: Message) -> Response: ...
    def setup(self) -> None: ...
    def get_state(self) -> dict[str, Any]: ...
