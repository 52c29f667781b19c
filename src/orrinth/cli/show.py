"""A run as text: the transcript, tokens and cost per agent, and the property checks.

``orrinth show FILE`` prints these sections; the example prints them for the run it has
just recorded. Only the public trace API is used, and nothing beyond the standard library.
"""

from __future__ import annotations

import sys
import textwrap
from typing import Any, TextIO

from orrinth.checks import read_check, read_checks
from orrinth.cli._errors import terminal_safe
from orrinth.trace import Trace, TraceEvent

__all__ = ["describe", "heading", "print_costs", "print_properties", "print_transcript", "show"]

WIDTH = 92
OUTCOME = {"pass": "PASS", "fail": "FAIL", "invalid": "INVALID"}
INDENT = " " * 36


def _t(value: object) -> str:
    """Text from a trace file as one line that a terminal shows but does not act on."""
    return terminal_safe(value, keep_newlines=False)


def heading(title: str, out: TextIO | None = None) -> None:
    """A section title, underlined, after a blank line."""
    out = out or sys.stdout
    print(file=out)
    print(title, file=out)
    print("-" * len(title), file=out)


def _fault_text(data: dict[Any, Any]) -> str:
    """`timeout after 5.0 s; dropped 'lookup A-1'`, with any other entries as key=value."""
    text = str(data.get("fault", "fault"))
    if "after_s" in data:
        text += f" after {data['after_s']} s"
    if "dropped" in data:
        text += f"; dropped {data['dropped']!r}"
    rest = [f"{key}={value!r}" for key, value in data.items() if key not in ("fault", "after_s", "dropped")]
    return "; ".join([text, *rest])


def _changes_text(data: dict[Any, Any]) -> str:
    """A state change as `key: before -> after, ...`, or its entries when not in that form."""
    changes = data.get("changes")
    if isinstance(changes, dict) and all(
        isinstance(c, dict) and "from" in c and "to" in c for c in changes.values()  # pyright: ignore[reportUnknownVariableType]
    ):
        items: dict[Any, Any] = changes  # pyright: ignore[reportUnknownVariableType]
        return ", ".join(f"{key}: {change['from']!r} -> {change['to']!r}" for key, change in items.items())
    return ", ".join(f"{key}: {value!r}" for key, value in data.items())


def describe(event: TraceEvent) -> str:
    """One line for any event: its turn, kind, agent and what it carries (control
    characters, bidi overrides and line breaks from the file written as escapes)."""
    return _t(_describe(event))


def _describe(event: TraceEvent) -> str:
    who = event.agent if event.agent is not None else "-"
    if event.type == "message":
        to = event.data.get("to")
        target = f"{who} -> {to}" if to is not None else who
        return f"turn {event.turn} message {target}: {str(event.data.get('content', event.data))!r}"
    if event.type == "state_change":
        return f"turn {event.turn} state_change {who}: {_changes_text(event.data)}"
    if event.type == "fault_injected":
        return f"turn {event.turn} fault_injected {who}: {_fault_text(event.data)}"
    check = read_check(event)
    text = f"turn {event.turn} property_check {OUTCOME[check.outcome]} {check.label}: {check.detail}"
    return text if check.valid else f"{text} ({check.problem})"


def print_transcript(trace: Trace, started: float | None = None, out: TextIO | None = None) -> None:
    """Messages, state changes and faults in order, times relative to ``started``
    (by default the first event's timestamp)."""
    out = out or sys.stdout
    events = trace.events
    if started is None:
        started = events[0].timestamp if events else 0.0
    heading("Transcript", out)
    print(f"{'turn':>4}  {'time':>6}  {'from':<8}  {'to':<8}  message", file=out)
    for event in events:
        elapsed = f"{event.timestamp - started:5.1f}s"
        if event.type == "message":
            content = event.data.get("content", "")
            lines = textwrap.wrap(_t(content), WIDTH - len(INDENT)) or [""]
            to = _t(event.data.get("to", ""))
            print(f"{event.turn:>4}  {elapsed:>6}  {_t(event.agent or ''):<8}  {to:<8}  {lines[0]}", file=out)
            for line in lines[1:]:
                print(INDENT + line, file=out)
        elif event.type == "state_change":
            lines = textwrap.wrap(_t(_changes_text(event.data)), WIDTH - len(INDENT)) or [""]
            print(f"{event.turn:>4}  {elapsed:>6}  {_t(event.agent or ''):<8}   (state)  {lines[0]}", file=out)
            for line in lines[1:]:
                print(INDENT + line, file=out)
        elif event.type == "fault_injected":
            print(
                f"{event.turn:>4}  {elapsed:>6}  {'!! fault':<8}  {_t(event.agent or ''):<8}  "
                f"{_t(_fault_text(event.data))}",
                file=out,
            )


def print_costs(trace: Trace, out: TextIO | None = None) -> None:
    """Messages, tokens and dollars per agent, with the totals."""
    out = out or sys.stdout
    summary = trace.cost_summary()
    heading("Tokens and cost per agent", out)
    print(f"{'agent':<10} {'messages':>8} {'input tok':>10} {'output tok':>11} {'cost (USD)':>12}", file=out)
    for name, figures in summary.per_agent.items():
        print(
            f"{_t(name):<10} {figures['turns']:>8} {figures['input_tokens']:>10,} "
            f"{figures['output_tokens']:>11,} {figures['cost_usd']:>12.6f}",
            file=out,
        )
    messages = sum(f["turns"] for f in summary.per_agent.values())
    print(f"{'':-<10} {'':->8} {'':->10} {'':->11} {'':->12}", file=out)
    print(
        f"{'total':<10} {messages:>8} {summary.total_input_tokens:>10,} "
        f"{summary.total_output_tokens:>11,} {summary.total_cost_usd:>12.6f}",
        file=out,
    )


def print_properties(trace: Trace, out: TextIO | None = None) -> bool:
    """The property checks as PASS, FAIL or INVALID lines (read as orrinth.checks reads
    them); True when every check passed."""
    out = out or sys.stdout
    heading("Run-level property checks (turn -1)", out)
    all_passed = True
    for check in read_checks(trace.events):
        all_passed = all_passed and check.outcome == "pass"
        score = "" if check.score is None else f" (score {check.score:g})"
        problem = "" if check.valid else f" [invalid: {check.problem}]"
        print(f"{OUTCOME[check.outcome]:<4}  {_t(check.label):<28} {_t(check.detail)}{score}{_t(problem)}", file=out)
    return all_passed


def show(trace: Trace, title: str, out: TextIO | None = None, about: str | None = None) -> bool:
    """Every section for one run, with the line ``about`` it (its status and metadata) under
    the title; True when every property check passed."""
    out = out or sys.stdout
    events = trace.events
    kinds = {kind: sum(1 for e in events if e.type == kind) for kind in
             ("message", "state_change", "fault_injected", "property_check")}
    title = _t(title)
    print(title, file=out)
    print("=" * len(title), file=out)
    if about is not None:
        print(_t(about), file=out)
    print(f"{len(events)} events: " + ", ".join(f"{n} {kind}" for kind, n in kinds.items()), file=out)
    print_transcript(trace, out=out)
    print_costs(trace, out=out)
    return print_properties(trace, out=out)
