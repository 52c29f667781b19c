"""The one reading of a property_check event: odd verdicts are invalid, never a silent outcome."""

from __future__ import annotations

import pytest

from orrinth.checks import count_checks, read_check, read_checks
from orrinth.trace import TraceEvent


@pytest.mark.parametrize(("data", "outcome", "name", "problem"), [
    ({"property": "refund", "passed": True}, "pass", "refund", None),
    ({"property": "refund", "passed": False, "name": "other"}, "fail", "refund", None),
    ({"name": "tone", "passed": False}, "fail", "tone", None),
    ({"name": "tone", "ok": True}, "invalid", "tone", "no 'passed' verdict"),
    ({"property": "p", "passed": 1}, "invalid", "p", "'passed' is 1, not true or false"),
    ({"property": "p", "passed": "true"}, "invalid", "p", "'passed' is 'true'"),
    ({"property": "p", "passed": None}, "invalid", "p", "'passed' is None"),
    ({"property": "p", "passed": 1.0}, "invalid", "p", "'passed' is 1.0"),
    ({"passed": True}, "invalid", "", "no name"),
    ({"property": "", "passed": True}, "invalid", "", "'property' is ''"),
    ({"property": 7, "passed": True}, "invalid", "7", "'property' is 7"),
    ({"property": "p", "passed": True, "score": "0.8"}, "invalid", "p", "'score' is '0.8'"),
    ({"property": "p", "passed": True, "score": True}, "invalid", "p", "'score' is True"),
    ({"property": "p", "passed": True, "score": float("nan")}, "invalid", "p", "'score' is nan"),
    ({"property": "p", "passed": True, "score": 10**400}, "invalid", "p", "not a finite number"),
])
def test_reading_a_check(data: dict, outcome: str, name: str, problem: str | None) -> None:
    check = read_check(TraceEvent(type="property_check", turn=-1, data=data))
    assert (check.outcome, check.name, check.valid) == (outcome, name, problem is None)
    assert check.passed is ({"pass": True, "fail": False}.get(outcome))
    if problem is None:
        assert check.problem is None
    else:
        assert check.problem is not None and problem in check.problem


def test_score_detail_and_counts() -> None:
    events = [
        TraceEvent(type="message", turn=1),
        TraceEvent(type="property_check", turn=-1, agent="judge",
                   data={"property": "a", "passed": True, "score": 1, "detail": {"why": "ok"}}),
        TraceEvent(type="property_check", turn=-1, data={"property": "b", "passed": False, "score": 0.25}),
        TraceEvent(type="property_check", turn=-1, data={"property": "c", "passed": "yes"}),
    ]
    checks = read_checks(events)
    assert [(c.score, c.detail, c.agent) for c in checks] == [(1.0, '{"why": "ok"}', "judge"), (0.25, "", None), (None, "", None)]
    counts = count_checks(checks)
    assert (counts.passed, counts.failed, counts.invalid, counts.total) == (1, 1, 1, 3)
    with pytest.raises(ValueError, match="a message event is not a property check"):
        read_check(events[0])
