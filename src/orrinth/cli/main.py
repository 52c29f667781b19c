"""Argument parsing and the commands. Exit status: 0 success (for ``diff``: the runs
match), 1 the runs differ, 2 an error (a missing file, a bad line, bad arguments)."""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import TextIO

from orrinth import __version__
from orrinth.cli.runs import CommandError, find_traces, load

__all__ = ["main"]


def cmd_show(args: argparse.Namespace, out: TextIO) -> int:
    from orrinth.cli.show import show

    show(load(args.file), str(args.file), out)
    return 0


def cmd_summary(args: argparse.Namespace, out: TextIO) -> int:
    from orrinth.cli.summary import Row, read_rows, write_csv, write_json, write_table

    files = find_traces(args.paths)
    jobs = args.jobs or len(os.sched_getaffinity(0))
    show_progress = args.progress if args.progress is not None else (len(files) >= 20 and sys.stderr.isatty())
    rows: list[Row] = []
    errors: list[str] = []

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
    {"table": write_table, "csv": write_csv, "json": write_json}[args.format](rows, out)
    for error in errors:
        print(f"orrinth summary: error: {error}", file=sys.stderr)
    return 2 if errors else 0


def cmd_diff(args: argparse.Namespace, out: TextIO) -> int:
    from orrinth.cli.diff import first_difference, print_difference

    a, b = load(args.a).events, load(args.b).events
    diff = first_difference(a, b, ignore_costs=args.ignore_costs)
    ignored = "timestamps, tokens and costs" if args.ignore_costs else "timestamps"
    if diff is None:
        print(f"runs match: {len(a)} events ({ignored} ignored)", file=out)
        return 0
    print_difference(a, b, (str(args.a), str(args.b)), diff, args.context, out)
    return 1


def cmd_report(args: argparse.Namespace, out: TextIO) -> int:
    from orrinth.cli.report import write_report

    trace = load(args.file)
    output: Path = args.output or args.file.with_suffix(".html")
    write_report(trace, str(args.file), output)
    print(f"wrote {output} ({len(trace.events)} events)", file=out)
    return 0


def cmd_export_otlp(args: argparse.Namespace, out: TextIO) -> int:
    from orrinth import otel

    runs = [otel.load_run(path, load(path)) for path in find_traces(args.paths)]
    spans = otel.run_spans(runs, include_content=args.include_content)
    where = args.output
    try:
        if args.output is not None:
            otel.write_json(spans, args.output)
        else:
            where = otel.traces_url(args.endpoint)
            otel.send(spans, where, args.timeout)
    except (OSError, otel.ExportError) as exc:
        raise CommandError(f"{where}: {exc}") from exc
    print(f"{'wrote' if args.output is not None else 'sent'} {len(spans)} spans of {len(runs)} "
          f"run{'s' if len(runs) != 1 else ''} to {where}", file=out)
    return 0


def _endpoint(value: str) -> str:
    from orrinth.otel import traces_url

    try:
        traces_url(value)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from exc
    return value


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

    s = sub.add_parser("export", help="runs in another format (otlp: OpenTelemetry traces)")
    formats = s.add_subparsers(dest="format", required=True, metavar="FORMAT")
    s = formats.add_parser("otlp", help="OpenTelemetry traces, one per run, in the GenAI semantic conventions: "
                           "an OTLP/JSON file, or sent over OTLP/HTTP",
                           description="Export runs as OpenTelemetry traces (needs the otel extra).")
    s.add_argument("paths", type=Path, nargs="+", metavar="FILE", help="trace files, or folders searched for *.jsonl")
    to = s.add_mutually_exclusive_group(required=True)
    to.add_argument("-o", "--output", type=Path, metavar="OUT.json",
                    help="write one OTLP/JSON ExportTraceServiceRequest to this file")
    to.add_argument("--endpoint", type=_endpoint, metavar="URL",
                    help="send over OTLP/HTTP to this URL (a URL without a path gets /v1/traces)")
    s.add_argument("--include-content", action="store_true",
                   help="include message text and event payloads (left out by default)")
    s.add_argument("--timeout", type=float, default=10.0, metavar="SECONDS",
                   help="how long each request to the endpoint may take (default 10)")
    s.set_defaults(run=cmd_export_otlp, command="export otlp")
    return p


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        return int(args.run(args, sys.stdout))
    except CommandError as exc:
        print(f"orrinth {args.command}: error: {exc}", file=sys.stderr)
        return 2
    except ModuleNotFoundError as exc:
        if exc.name == "rich":
            print(f"orrinth {args.command}: error: this command needs rich: pip install 'orrinth[cli]'",
                  file=sys.stderr)
            return 2
        if (exc.name or "").startswith("opentelemetry"):
            print(f"orrinth {args.command}: error: this command needs the OpenTelemetry SDK: "
                  "pip install 'orrinth[otel]'", file=sys.stderr)
            return 2
        raise
    except BrokenPipeError:
        # The reader went away (`orrinth show run.jsonl | head`): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
