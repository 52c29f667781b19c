"""``orrinth diff``: where two runs part, ignoring what always differs between runs.

Events are compared in order, field by field, without their timestamps (and, on request,
without their token counts and costs). The first event that differs is shown with a few
events of context on each side.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, TextIO

from orrinth.cli._errors import terminal_safe
from orrinth.cli.show import describe
from orrinth.trace import TraceEvent

__all__ = ["Difference", "first_difference", "print_difference"]

COST_FIELDS = ("input_tokens", "output_tokens", "cost_usd")


@dataclass(frozen=True)
class Difference:
    """The first event (0-based ``index``) where the runs differ, and how."""

    index: int
    fields: list[str]  # empty when one run ends before the other


def comparable(event: TraceEvent, ignore_costs: bool) -> dict[str, Any]:
    ignored = {"timestamp", *(COST_FIELDS if ignore_costs else ())}
    return {k: v for k, v in event.model_dump().items() if k not in ignored}


def differing_fields(a: dict[str, Any], b: dict[str, Any]) -> list[str]:
    """The fields that differ; for ``data`` of events of one kind, the keys that differ."""
    fields: list[str] = []
    for name in a:
        if a[name] == b[name]:
            continue
        if name == "data" and a["type"] == b["type"] and isinstance(a[name], dict) and isinstance(b[name], dict):
            da: dict[Any, Any] = a[name]
            db: dict[Any, Any] = b[name]
            keys = list(da) + [k for k in db if k not in da]
            fields.extend(f"data[{k!r}]" for k in keys if k not in da or k not in db or da[k] != db[k])
        else:
            fields.append(name)
    return fields


def first_difference(a: list[TraceEvent], b: list[TraceEvent], ignore_costs: bool = False) -> Difference | None:
    for index, (ea, eb) in enumerate(zip(a, b)):
        da, db = comparable(ea, ignore_costs), comparable(eb, ignore_costs)
        if da != db:
            return Difference(index, differing_fields(da, db))
    if len(a) != len(b):
        return Difference(min(len(a), len(b)), [])
    return None


def _value(event: TraceEvent, field: str) -> Any:
    if field.startswith("data["):
        key = field[5:-1]
        return next((v for k, v in event.data.items() if repr(k) == key), "<missing>")
    return getattr(event, field)


def print_difference(
    a: list[TraceEvent], b: list[TraceEvent], names: tuple[str, str], diff: Difference, context: int, out: TextIO
) -> None:
    i = diff.index
    name_a, name_b = (terminal_safe(name, keep_newlines=False) for name in names)
    if diff.fields:
        print(f"runs differ at event {i + 1} (turn {a[i].turn} in A, {b[i].turn} in B): "
              + terminal_safe(", ".join(diff.fields), keep_newlines=False), file=out)
    else:
        longer, shorter = (name_a, name_b) if len(a) > len(b) else (name_b, name_a)
        print(f"{shorter} ends after {i} events; {longer} goes on with {abs(len(a) - len(b))} more", file=out)
    print(f"--- A {name_a}\n+++ B {name_b}", file=out)
    for j in range(max(0, i - context), i):
        print(f"  {j + 1:>5}  {describe(a[j])}", file=out)
    for sign, events in (("-", a), ("+", b)):
        for j in range(i, min(len(events), i + context + 1)):
            print(f"{sign} {j + 1:>5}  {describe(events[j])}", file=out)
    for field in diff.fields:
        line = f"  {field}: {_value(a[i], field)!r} != {_value(b[i], field)!r}"
        print(terminal_safe(line, keep_newlines=False), file=out)
