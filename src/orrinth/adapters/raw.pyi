# The module binds these names besides RawAgent; they are re-exported as it does.
import inspect as inspect
from typing import Any
from typing import Callable as Callable
from typing import TypeAlias

from orrinth.agent import AgentUnderTest as AgentUnderTest
from orrinth.agent import Message as Message
from orrinth.agent import Response as Response

# A handler takes the message dict, or the message dict and the live state dict, and
# answers with a str or a dict. Naming both shapes lets a checker infer a lambda's parameter.
_Reply: TypeAlias = str | dict[str, Any]
_Handler: TypeAlias = Callable[[dict[str, Any]], _Reply] | Callable[[dict[str, Any], dict[str, Any]], _Reply]

class RawAgent(AgentUnderTest):
    _name: str
    _handler: _Handler
    _initial_state: dict[str, Any]
    _state: dict[str, Any]
    _accepts_state: bool
    def __init__(
        self,
        name: str,
        handler: _Handler,
        initial_state: dict[str, Any] | None = None,
    ) -> None: ...
    @staticmethod
    def _check_accepts_state(handler: Callable[..., Any]) -> bool: ...
    @property
    def name(self) -> str: ...
    def receive(self, message: Message) -> Response: ...
    def setup(self) -> None: ...
    def get_state(self) -> dict[str, Any]: ...
