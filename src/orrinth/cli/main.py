"""Argument parsing and the four commands. The exit statuses are named in
``orrinth.cli._errors``: 0 success (for ``diff``: the runs match), 1 the runs differ, 2 an
error (a missing file, a file that does not load, bad arguments), 130 Ctrl-C, 141 the
output's reader went away."""

from __future__ import annotations

import argparse
import io
import os
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import TextIO

from orrinth import __version__
from orrinth.cli._errors import (
    EXIT_BROKEN_PIPE,
    EXIT_DIFFERENT,
    EXIT_ERROR,
    EXIT_INTERRUPTED,
    EXIT_OK,
    CommandError,
    about,
    terminal_safe,
)
from orrinth.cli.runs import find_traces, load

__all__ = ["main"]


def cmd_show(args: argparse.Namespace, out: TextIO) -> int:
    from orrinth.cli.show import show

    trace = load(args.file)
    with about(args.file, "cannot be shown"):
        show(trace, str(args.file), out)
    return EXIT_OK


def cmd_summary(args: argparse.Namespace, out: TextIO) -> int:
    from orrinth.cli.summary import Row, read_rows, write_csv, write_json, write_table

    errors: list[str] = []
    files = find_traces(args.paths, errors)
    jobs = args.jobs or len(os.sched_getaffinity(0))
    show_progress = args.progress if args.progress is not None else (len(files) >= 20 and sys.stderr.isatty())
    rows: list[Row] = []

    def collect(on_done: Callable[[], None] = lambda: None) -> None:
        for result in read_rows(files, jobs, on_done):
            if isinstance(result, str):
                errors.append(result)
            else:
                rows.append(result)

    if show_progress:
        from rich.console import Console
        from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn

        # Redrawn from this thread as each file is done: no refresh thread may be running
        # when the worker processes are forked.
        with Progress(TextColumn("reading traces"), BarColumn(), MofNCompleteColumn(), TimeElapsedColumn(),
                      console=Console(stderr=True), auto_refresh=False) as progress:
            task = progress.add_task("read", total=len(files))

            drawn = [0.0]

            def advance() -> None:
                progress.advance(task)
                if time.monotonic() - drawn[0] >= 0.1:
                    progress.refresh()
                    drawn[0] = time.monotonic()

            collect(advance)
    else:
        collect()
    try:
        {"table": write_table, "csv": write_csv, "json": write_json}[args.format](rows, out)
    except ValueError as exc:  # totals past the int-to-str digit limit
        errors.append(f"the totals cannot be printed: {type(exc).__name__}: {exc}")
    out.flush()
    for error in errors:
        print(f"orrinth summary: error: {error}", file=sys.stderr)
    return EXIT_ERROR if errors else EXIT_OK


def cmd_diff(args: argparse.Namespace, out: TextIO) -> int:
    from orrinth.cli.diff import first_difference, print_difference

    a, b = load(args.a).events, load(args.b).events
    # Any failure from here on is an error (2), never "the runs differ" (1).
    with about(f"{args.a}, {args.b}", "cannot be compared"):
        diff = first_difference(a, b, ignore_costs=args.ignore_costs)
        ignored = "timestamps, tokens and costs" if args.ignore_costs else "timestamps"
        if diff is None:
            print(f"runs match: {len(a)} events ({ignored} ignored)", file=out)
            return EXIT_OK
        print_difference(a, b, (str(args.a), str(args.b)), diff, args.context, out)
    return EXIT_DIFFERENT


def cmd_report(args: argparse.Namespace, out: TextIO) -> int:
    from orrinth.cli.report import write_report

    trace = load(args.file)
    output: Path = args.output or args.file.with_suffix(".html")
    with about(args.file, "cannot be drawn"):
        write_report(trace, str(args.file), output)
    print(f"wrote {terminal_safe(output, keep_newlines=False)} ({len(trace.events)} events)", file=out)
    return EXIT_OK


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="orrinth", description="Show, summarise, compare and draw recorded runs "
                                "(trace files in JSON Lines, as Trace.to_jsonl writes them).")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    s = sub.add_parser("show", help="print a run's transcript, tokens and cost per agent, faults and checks")
    s.add_argument("file", type=Path, metavar="FILE")
    s.set_defaults(run=cmd_show)

    s = sub.add_parser("summary", help="one row of figures per run, for files and folders of trace files")
    s.add_argument("paths", type=Path, nargs="+", metavar="PATH", help="trace files, or folders searched for *.jsonl")
    s.add_argument("-f", "--format", choices=["table", "csv", "json"], default="table")
    s.add_argument("-j", "--jobs", type=int, default=0, help="worker processes (default: one per CPU)")
    s.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="progress bar on stderr (default: for 20 files or more, on a terminal)")
    s.set_defaults(run=cmd_summary)

    s = sub.add_parser("diff", help="the first event where two runs differ, ignoring timestamps "
                       "(exit 0: same, 1: different, 2: error)")
    s.add_argument("a", type=Path, metavar="A")
    s.add_argument("b", type=Path, metavar="B")
    s.add_argument("--ignore-costs", action="store_true", help="ignore token counts and costs too")
    s.add_argument("-C", "--context", type=int, default=3, metavar="N", help="events of context (default 3)")
    s.set_defaults(run=cmd_diff)

    s = sub.add_parser("report", help="draw a run as one self-contained HTML page")
    s.add_argument("file", type=Path, metavar="FILE")
    s.add_argument("-o", "--output", type=Path, help="the page to write (default: FILE with .html)")
    s.set_defaults(run=cmd_report)
    return p


def _quiet_stdout() -> None:
    # Whatever is still buffered has nowhere to go: the exit must not try to flush it.
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):  # stdout replaced by something without a descriptor
        pass
    finally:
        os.close(devnull)


def main(argv: list[str] | None = None) -> int:
    try:
        args = parser().parse_args(argv)
        for stream in (sys.stdout, sys.stderr):
            # Text that the terminal's encoding cannot hold is written as escapes, not raised.
            if isinstance(stream, io.TextIOWrapper):
                stream.reconfigure(errors="backslashreplace")
        try:
            status = int(args.run(args, sys.stdout))
            sys.stdout.flush()
            return status
        except CommandError as exc:
            sys.stdout.flush()
            print(f"orrinth {args.command}: error: {exc}", file=sys.stderr)
            return EXIT_ERROR
        except ModuleNotFoundError as exc:
            if exc.name != "rich":
                raise
            print(f"orrinth {args.command}: error: this command needs rich: pip install 'orrinth[cli]'",
                  file=sys.stderr)
            return EXIT_ERROR
    except BrokenPipeError:
        # The reader went away (`orrinth show run.jsonl | head`): stop quietly.
        _quiet_stdout()
        return EXIT_BROKEN_PIPE
    except KeyboardInterrupt:
        print(file=sys.stderr)  # end the line the ^C was echoed on
        return EXIT_INTERRUPTED
