"""``orrinth summary``: one row of figures per run, for many runs at once.

Files are read in worker processes when there are several; the rows keep the order of the
files. Errors do not stop the others: they are reported after the rows.
"""

from __future__ import annotations

import csv
import json
import signal
from collections.abc import Callable, Iterator
from concurrent.futures import ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from pathlib import Path
from typing import TextIO, TypedDict

from orrinth.cli._errors import about, finite_or_none, terminal_safe
from orrinth.cli.runs import load
from orrinth.trace import Trace

__all__ = ["COLUMNS", "Row", "read_rows", "summarise", "write_csv", "write_json", "write_table"]


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


COLUMNS = list(Row.__annotations__)


def summarise(path: Path) -> Row:
    """The figures of one run, from the public trace API."""
    trace = load(path)
    with about(path, "cannot be summarised"):
        return _figures(path, trace)


def _figures(path: Path, trace: Trace) -> Row:
    events = trace.events
    costs = trace.cost_summary()
    checks = [e for e in events if e.type == "property_check"]
    passed = sum(1 for e in checks if e.data.get("passed") is True)
    turns = [e.turn for e in events if e.type != "property_check"]
    row = Row(
        file=str(path),
        events=len(events),
        last_turn=max(turns) if turns else None,
        messages=len(trace.get_messages()),
        input_tokens=costs.total_input_tokens,
        output_tokens=costs.total_output_tokens,
        cost_usd=costs.total_cost_usd,
        faults=sum(1 for e in events if e.type == "fault_injected"),
        checks_passed=passed,
        checks_failed=len(checks) - passed,
    )
    for value in row.values():
        if isinstance(value, int):
            str(value)  # past the int-to-str digit limit this raises here, for this file, not when printing
    return row


def _summarise_or_explain(path: Path) -> Row | str:
    # Runs in a worker: an error travels back as its text, whatever it would pickle as.
    try:
        return summarise(path)
    except Exception as exc:  # summarise names the file in the CommandErrors it raises
        return str(exc)


def _worker_start() -> None:
    # Ctrl-C is the parent's to handle: workers must not print a traceback each.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def read_rows(
    files: list[Path], jobs: int, on_done: Callable[[], None] = lambda: None
) -> Iterator[Row | str]:
    """Each file's row, or the text of its error, in the order of ``files``."""
    if jobs <= 1 or len(files) < 4:
        for path in files:
            yield _summarise_or_explain(path)
            on_done()
        return
    workers = min(jobs, len(files))
    done = 0
    with ProcessPoolExecutor(max_workers=workers, initializer=_worker_start) as pool:
        chunk = max(1, min(16, len(files) // (workers * 4)))
        try:
            for result in pool.map(_summarise_or_explain, files, chunksize=chunk):
                yield result
                done += 1
                on_done()
        except BrokenProcessPool:
            # A worker was killed (out of memory, a signal): the files it had not
            # answered for are reported, not lost silently.
            for path in files[done:]:
                yield f"{terminal_safe(path, keep_newlines=False)}: not read: the worker process reading it died"
                on_done()
        except BaseException:
            pool.shutdown(wait=False, cancel_futures=True)
            raise


def write_csv(rows: list[Row], out: TextIO) -> None:
    writer = csv.DictWriter(out, fieldnames=COLUMNS, lineterminator="\n")
    writer.writeheader()
    for row in rows:
        writer.writerow({**row, "last_turn": "" if row["last_turn"] is None else row["last_turn"]})


def write_json(rows: list[Row], out: TextIO) -> None:
    """The rows as a JSON array; a cost that is not a finite number is written as null."""
    json.dump([{k: finite_or_none(v) for k, v in row.items()} for row in rows], out, indent=2, allow_nan=False)
    out.write("\n")


def write_table(rows: list[Row], out: TextIO) -> None:
    """A terminal table with a totals row."""
    from rich.console import Console
    from rich import box
    from rich.markup import escape
    from rich.table import Table

    table = Table(show_footer=len(rows) > 1, box=box.SIMPLE_HEAD, show_edge=False)
    headers = ["file", "events", "last turn", "messages", "input tok", "output tok", "cost (USD)", "faults",
               "checks ok", "checks failed"]
    footers = {column: f"{sum(r[column] for r in rows):,}"
               for column in ("events", "messages", "input_tokens", "output_tokens", "faults", "checks_passed",
                              "checks_failed")}
    footers.update(file=f"{len(rows)} runs", cost_usd=f"{sum(r['cost_usd'] for r in rows):.6f}")
    for column, header in zip(COLUMNS, headers):
        table.add_column(header, footer=footers.get(column, ""), justify="left" if column == "file" else "right",
                         overflow="fold", no_wrap=column != "file")
    for row in rows:
        table.add_row(
            escape(terminal_safe(row["file"], keep_newlines=False)), f"{row['events']:,}", "" if row["last_turn"] is None else str(row["last_turn"]),
            f"{row['messages']:,}", f"{row['input_tokens']:,}", f"{row['output_tokens']:,}", f"{row['cost_usd']:.6f}",
            str(row["faults"]), str(row["checks_passed"]), str(row["checks_failed"]),
        )
    # Piped output is not cut to a terminal's width: the table takes the width it needs.
    console = Console(file=out, width=None if out.isatty() else 400, highlight=False, color_system="auto")
    console.print(table)

