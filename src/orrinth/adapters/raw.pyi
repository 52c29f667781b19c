# The module binds these names besides RawAgent; they are re-exported as it does.
import inspect as inspect
from typing import Any
from typing import Callable as Callable

from orrinth.agent import AgentUnderTest as AgentUnderTest
from orrinth.agent import Message as Message
from orrinth.agent import Response as Response

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
