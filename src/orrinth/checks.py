"""What a ``property_check`` event means: the one reading shared by every command and loader.

A check's ``data`` holds:

* ``property`` (or, failing that, ``name``): the check's name, a non-empty string;
* ``passed``: the verdict, exactly ``true`` or ``false``;
* ``score`` (optional): a number, such as a judge's grade from 0.0 to 1.0;
* ``detail`` (optional): text for a person.

A check whose name or verdict is missing or of another kind (``"passed": 1``, ``"true"``,
``null``), or whose score is not a number, is *invalid*: it counts neither as a pass nor as
a failure, and every reader reports it as invalid with the reason, so that a mistyped check
never passes, nor fails, unnoticed.
"""

from __future__ import annotations

import json
import math
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any, Literal

from orrinth.trace import TraceEvent

__all__ = ["Check", "CheckCounts", "Outcome", "check_from_data", "count_checks", "read_check", "read_checks"]

Outcome = Literal["pass", "fail", "invalid"]


@dataclass(frozen=True, slots=True)
class Check:
    """One property check as read from its event.

    ``passed`` is True or False for a valid check and None for an invalid one, whose
    ``problem`` says what is wrong. ``name`` is "" when the event names none.
    """

    name: str
    passed: bool | None
    score: float | None = None
    detail: str = ""
    turn: int = -1
    agent: str | None = None
    problem: str | None = None

    @property
    def valid(self) -> bool:
        return self.problem is None

    @property
    def outcome(self) -> Outcome:
        """"pass", "fail" or "invalid"."""
        if self.problem is not None:
            return "invalid"
        return "pass" if self.passed else "fail"

    @property
    def label(self) -> str:
        """The name for display: "(unnamed)" when there is none."""
        return self.name or "(unnamed)"


def _text(value: Any) -> str:
    if isinstance(value, str):
        return value
    try:
        return json.dumps(value, ensure_ascii=False)
    except (TypeError, ValueError):
        return repr(value)


def check_from_data(data: Mapping[Any, Any], turn: int = -1, agent: str | None = None) -> Check:
    """Read a check from the ``data`` of a ``property_check`` event."""
    problems: list[str] = []
    key = "property" if "property" in data else "name"
    raw_name = data.get(key)
    if key not in data:
        problems.append("no name (neither 'property' nor 'name')")
        name = ""
    elif not isinstance(raw_name, str) or not raw_name:
        problems.append(f"{key!r} is {raw_name!r}, not a non-empty string")
        name = "" if raw_name is None else _text(raw_name)
    else:
        name = raw_name
    verdict = data.get("passed")
    if "passed" not in data:
        problems.append("no 'passed' verdict")
    elif type(verdict) is not bool:
        problems.append(f"'passed' is {verdict!r}, not true or false")
    raw_score = data.get("score")
    score: float | None = None
    if raw_score is not None:
        try:
            score = float(raw_score) if type(raw_score) in (int, float) else None
        except OverflowError:  # an integer beyond any float
            score = None
        if score is None or not math.isfinite(score):
            score = None
            problems.append(f"'score' is {raw_score!r}, not a finite number")
    detail = data.get("detail")
    return Check(
        name=name,
        passed=verdict if not problems else None,
        score=score,
        detail="" if detail is None else _text(detail),
        turn=turn,
        agent=agent,
        problem="; ".join(problems) or None,
    )


def read_check(event: TraceEvent) -> Check:
    """Read a ``property_check`` event; any other kind of event raises ValueError."""
    if event.type != "property_check":
        raise ValueError(f"a {event.type} event is not a property check")
    return check_from_data(event.data, event.turn, event.agent)


def read_checks(events: Iterable[TraceEvent]) -> list[Check]:
    """The checks among ``events``, in order."""
    return [read_check(e) for e in events if e.type == "property_check"]


@dataclass(frozen=True, slots=True)
class CheckCounts:
    passed: int = 0
    failed: int = 0
    invalid: int = 0

    @property
    def total(self) -> int:
        return self.passed + self.failed + self.invalid


def count_checks(checks: Iterable[Check]) -> CheckCounts:
    """How many checks passed, failed and were invalid."""
    counts = {"pass": 0, "fail": 0, "invalid": 0}
    for check in checks:
        counts[check.outcome] += 1
    return CheckCounts(counts["pass"], counts["fail"], counts["invalid"])
