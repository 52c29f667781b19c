"""``orrinth summary``: one row of figures per run, for many runs at once.

Files are read in worker processes when there are several; the rows keep the order of the
files. Errors do not stop the others: they are reported after the rows.
"""

from __future__ import annotations

import csv
import json
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any, TextIO, TypedDict

from orrinth.checks import count_checks
from orrinth.cli._errors import about, finite_or_none, terminal_safe
from orrinth.cli.batch import Run, map_files, read_run

__all__ = ["COLUMNS", "Row", "read_rows", "row_of", "summarise", "write_csv", "write_json", "write_table"]


class Row(TypedDict):
    file: str
    events: int
    last_turn: int | None
    messages: int
    input_tokens: int
    output_tokens: int
    cost_usd: float
    faults: int
    checks_passed: int
    checks_failed: int
    checks_invalid: int
    status: str
    run_id: str | None


COLUMNS = list(Row.__annotations__)


def row_of(run: Run) -> Row:
    """A run's row: its figures, its checks counted as orrinth.checks reads them, its status."""
    f = run.figures
    counts = count_checks(run.checks)
    row = Row(
        file=str(run.path),
        events=f.events,
        last_turn=f.last_turn,
        messages=f.messages,
        input_tokens=f.input_tokens,
        output_tokens=f.output_tokens,
        cost_usd=f.cost_usd,
        faults=f.faults,
        checks_passed=counts.passed,
        checks_failed=counts.failed,
        checks_invalid=counts.invalid,
        status=run.status,
        run_id=run.run_id,
    )
    for value in row.values():
        if isinstance(value, int):
            str(value)  # past the int-to-str digit limit this raises here, for this file, not when printing
    return row


def summarise(path: Path) -> Row:
    """The figures of one run: from its sidecar when that holds them for the file as it is,
    else from the trace (a torn last line left out, the run then incomplete)."""
    run = read_run(path)
    with about(path, "cannot be summarised"):
        return row_of(run)


def _summarise_or_explain(path: Path) -> Row | str:
    # Runs in a worker: an error travels back as its text, whatever it would pickle as.
    try:
        return summarise(path)
    except Exception as exc:  # summarise names the file in the CommandErrors it raises
        return str(exc)


def read_rows(
    files: list[Path], jobs: int, on_done: Callable[[], None] = lambda: None
) -> Iterator[Row | str]:
    """Each file's row, or the text of its error, in the order of ``files``."""
    return map_files(_summarise_or_explain, files, jobs, on_done)


def write_csv(rows: list[Row], out: TextIO) -> None:
    writer = csv.DictWriter(out, fieldnames=COLUMNS, lineterminator="\n")
    writer.writeheader()
    for row in rows:
        writer.writerow({**row, "last_turn": "" if row["last_turn"] is None else row["last_turn"]})


def write_json(rows: list[Row], out: TextIO) -> None:
    """The rows as a JSON array; a cost that is not a finite number is written as null."""
    json.dump([{k: finite_or_none(v) for k, v in row.items()} for row in rows], out, indent=2, allow_nan=False)
    out.write("\n")


HEADERS = ["file", "events", "last turn", "messages", "input tok", "output tok", "cost (USD)", "faults",
           "checks ok", "checks failed", "invalid", "status"]
TOTALLED = ("events", "messages", "input_tokens", "output_tokens", "faults", "checks_passed", "checks_failed",
            "checks_invalid")


def _cells(rows: list[Row]) -> tuple[list[list[str]], list[str]]:
    """The table's cells, row by row, and its footer (a totals row when there are several rows)."""
    cells = [
        [row["file"], f"{row['events']:,}", "" if row["last_turn"] is None else str(row["last_turn"]),
         f"{row['messages']:,}", f"{row['input_tokens']:,}", f"{row['output_tokens']:,}", f"{row['cost_usd']:.6f}",
         str(row["faults"]), str(row["checks_passed"]), str(row["checks_failed"]), str(row["checks_invalid"]),
         row["status"]]
        for row in rows
    ]
    totals = {column: f"{sum(r[column] for r in rows):,}" for column in TOTALLED}  # type: ignore[literal-required]
    completed = sum(1 for r in rows if r["status"] == "completed")
    totals.update(file=f"{len(rows)} runs", cost_usd=f"{sum(r['cost_usd'] for r in rows):.6f}",
                  status="all completed" if completed == len(rows) else f"{len(rows) - completed} not completed")
    columns = [c for c in COLUMNS if c != "run_id"]
    return cells, [totals.get(column, "") for column in columns]


def _rich_table(cells: list[list[str]], footer: list[str], console: Any) -> None:
    from rich import box
    from rich.markup import escape
    from rich.table import Table

    table = Table(show_footer=len(cells) > 1, box=box.SIMPLE_HEAD, show_edge=False)
    for i, (header, foot) in enumerate(zip(HEADERS, footer)):
        table.add_column(header, footer=escape(foot), justify="left" if i == 0 else "right", overflow="fold",
                         no_wrap=i != 0)
    for row in cells:
        table.add_row(*(escape(cell) for cell in row))
    console.print(table)


def _plain_table(cells: list[list[str]], footer: list[str], widths: list[int], out: TextIO) -> None:
    """The very text the rich table prints when it fits and nothing is styled, without
    measuring each cell as rich does (seconds for ten thousand rows)."""
    from rich.cells import cell_len

    def line(row: list[str]) -> str:
        parts = [cell + " " * (w - cell_len(cell)) if i == 0 else " " * (w - cell_len(cell)) + cell
                 for i, (cell, w) in enumerate(zip(row, widths))]
        return " " + "   ".join(parts) + " \n"

    total = sum(widths) + 3 * (len(widths) - 1) + 2
    out.write(line(HEADERS))
    out.write("\u2500" * total + "\n")
    out.writelines(line(row) for row in cells)
    if len(cells) > 1:
        out.write(" " * total + "\n")
        out.write(line(footer))


def write_table(rows: list[Row], out: TextIO, fast: bool = True) -> None:
    """A terminal table with a totals row. Piped output is not cut to a terminal's width:
    the table takes the width it needs. ``fast=False`` always lets rich lay it out."""
    from rich.cells import cell_len
    from rich.console import Console

    cells, footer = _cells(rows)
    cells = [[terminal_safe(row[0], keep_newlines=False), *row[1:]] for row in cells]
    console = Console(file=out, width=None if out.isatty() else 400, highlight=False, color_system="auto")
    shown = [HEADERS, *cells, footer] if len(cells) > 1 else [HEADERS, *cells]
    widths = [max(cell_len(row[i]) for row in shown) for i in range(len(HEADERS))]
    fits = sum(widths) + 3 * (len(widths) - 1) + 2 <= console.width
    if fast and fits and console.color_system is None and not console.is_terminal:
        _plain_table(cells, footer, widths, out)
    else:
        _rich_table(cells, footer, console)
