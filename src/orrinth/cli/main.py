"""Argument parsing and the commands. The exit statuses are named in
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
from typing import TYPE_CHECKING, TextIO

from orrinth import __version__
from orrinth.cli._errors import (
    EXIT_BROKEN_PIPE,
    EXIT_DIFFERENT,
    EXIT_ERROR,
    EXIT_FAILED,
    EXIT_INTERRUPTED,
    EXIT_OK,
    CommandError,
    about,
    terminal_safe,
)
from orrinth.cli.runs import find_traces, load

if TYPE_CHECKING:
    from orrinth.cli.batch import Run

__all__ = ["main"]


def cmd_show(args: argparse.Namespace, out: TextIO) -> int:
    from orrinth.checks import count_checks, read_checks
    from orrinth.cli.batch import describe_run, read_trace
    from orrinth.cli.show import show
    from orrinth.runmeta import MetadataError, read_metadata, status_of

    problems: list[str] = []
    try:
        meta = read_metadata(args.file)
    except (MetadataError, OSError) as exc:
        meta = None
        problems.append(f"the run's metadata cannot be read: {exc}")
    trace, torn = read_trace(args.file)
    status = "unreadable" if problems else status_of(meta, torn is not None)
    with about(args.file, "cannot be shown"):
        show(trace, str(args.file), out, about=describe_run(status, meta))
        counts = count_checks(read_checks(trace.events))
    if torn is not None:
        problems.append(
            f"{torn}; the {len(trace.events)} complete events are shown. Read them with "
            f"orrinth.recorder.read_recording(path), or continue the run with TraceRecorder(path, mode='a'), "
            f"which moves the torn line to {args.file.name}.torn"
        )
    out.flush()
    for problem in problems:
        print(f"orrinth show: warning: {terminal_safe(problem, keep_newlines=False)}", file=sys.stderr)
    if args.fail_on_check and (counts.failed or counts.invalid or status != "completed"):
        return EXIT_FAILED
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
    if errors:
        return EXIT_ERROR
    if args.fail_on_check:
        failing = [r for r in rows if r["checks_failed"] or r["checks_invalid"] or r["status"] != "completed"]
        if failing:
            checks = sum(r["checks_failed"] + r["checks_invalid"] for r in rows)
            print(f"orrinth summary: {len(failing)} of {len(rows)} runs failed a check or did not complete "
                  f"({checks} checks failed or invalid)", file=sys.stderr)
            return EXIT_FAILED
    return EXIT_OK


def _read_batch(files: list[Path], jobs: int) -> list[Run]:
    from orrinth.cli.batch import read_runs

    runs: list[Run] = []
    errors: list[str] = []
    for result in read_runs(files, jobs):
        (errors if isinstance(result, str) else runs).append(result)  # type: ignore[arg-type]
    if errors:
        more = f"\n  and {len(errors) - 1} more files that cannot be read" if len(errors) > 1 else ""
        raise CommandError(f"a comparison needs every run: {errors[0]}{more}")
    return runs


def cmd_compare(args: argparse.Namespace, out: TextIO) -> int:
    from orrinth.cli import compare as cmp

    if not 0 < args.alpha < 1:
        raise CommandError(f"--alpha must lie between 0 and 1, not {args.alpha}")
    budget = cmp.parse_budget(args.max_cost_increase) if args.max_cost_increase is not None else None
    jobs = args.jobs or len(os.sched_getaffinity(0))
    if args.by is not None:
        if len(args.paths) != 1:
            raise CommandError("--by KEY splits one batch: give one folder or pattern, not two")
        key, _, named = args.by.partition("=")
        first, _, second = named.partition(",")
        if not key or (named and not (first and second)):
            raise CommandError(f"--by {args.by!r}: expected KEY or KEY=BASE,CANDIDATE")
        values = (first, second) if named else None
        runs = _read_batch(cmp.expand(args.paths[0]), jobs)
        base, candidate = cmp.sides_by_key(runs, key, values)
        left_out = len(runs) - len(base.runs) - len(candidate.runs)
        if left_out:
            print(f"orrinth compare: note: {left_out} of {len(runs)} runs have another {key} or none, "
                  f"and are left out", file=sys.stderr)
    else:
        if len(args.paths) != 2:
            raise CommandError("give BASE and CANDIDATE (two folders, files or quoted patterns), "
                               "or one of them with --by KEY")
        base, candidate = (cmp.side_of(p, _read_batch(cmp.expand(p), jobs)) for p in args.paths)
    result = cmp.compare(base, candidate, alpha=args.alpha, budget=budget)
    if args.format == "table":
        cmp.write_table(result, out, changed_limit=args.changed)
    else:
        {"csv": cmp.write_csv, "json": cmp.write_json}[args.format](result, out)
    return EXIT_FAILED if result.regressed else EXIT_OK


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
    from orrinth.runmeta import read_metadata, run_status

    trace = load(args.file)
    output: Path = args.output or args.file.with_suffix(".html")
    try:
        meta = read_metadata(args.file)
    except (OSError, ValueError):  # a broken sidecar: the status below says "unreadable"
        meta = None
    with about(args.file, "cannot be drawn"):
        write_report(trace, str(args.file), output, meta, run_status(args.file))
    print(f"wrote {terminal_safe(output, keep_newlines=False)} ({len(trace.events)} events)", file=out)
    return EXIT_OK


def cmd_export_otlp(args: argparse.Namespace, out: TextIO) -> int:
    from orrinth import otel

    runs: list[otel.RunInput] = []
    for path in find_traces(args.paths):
        trace = load(path)
        with about(path, "its run metadata cannot be read"):
            runs.append(otel.load_run(path, trace))
    spans = otel.run_spans(runs, include_content=args.include_content)
    where = str(args.output) if args.output is not None else otel.traces_url(args.endpoint)
    with about(where, "cannot be written" if args.output is not None else "cannot take the spans"):
        if args.output is not None:
            otel.write_json(spans, args.output)
        else:
            otel.send(spans, where, args.timeout)
    print(f"{'wrote' if args.output is not None else 'sent'} {len(spans)} spans of {len(runs)} "
          f"run{'s' if len(runs) != 1 else ''} to {terminal_safe(where, keep_newlines=False)}", file=out)
    return EXIT_OK


def _endpoint(value: str) -> str:
    from orrinth.otel import traces_url

    try:
        traces_url(value)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from exc
    return value


def _seconds(value: str) -> float:
    seconds = float(value)
    if not seconds > 0 or seconds == float("inf"):
        raise argparse.ArgumentTypeError(f"{value!r} is not a positive number of seconds")
    return seconds


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="orrinth", description="Show, summarise, compare, draw and export recorded runs "
                                "(trace files in JSON Lines, as Trace.to_jsonl writes them).")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    s = sub.add_parser("show", help="print a run's transcript, tokens and cost per agent, faults and checks")
    s.add_argument("file", type=Path, metavar="FILE")
    s.add_argument("--fail-on-check", action="store_true",
                   help="exit 1 when a check failed or is invalid, or the run did not complete")
    s.set_defaults(run=cmd_show)

    s = sub.add_parser("summary", help="one row of figures per run, for files and folders of trace files")
    s.add_argument("paths", type=Path, nargs="+", metavar="PATH", help="trace files, or folders searched for *.jsonl")
    s.add_argument("-f", "--format", choices=["table", "csv", "json"], default="table")
    s.add_argument("-j", "--jobs", type=int, default=0, help="worker processes (default: one per CPU)")
    s.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="progress bar on stderr (default: for 20 files or more, on a terminal)")
    s.add_argument("--fail-on-check", action="store_true",
                   help="exit 1 when any check failed or is invalid, or any run did not complete")
    s.set_defaults(run=cmd_summary)

    s = sub.add_parser("compare", help="compare two batches of runs: checks, scores, cost, tokens and turns "
                       "(exit 0: no regression, 1: regression or over budget, 2: error)",
                       description="Compare a candidate batch of runs with a base batch. Runs are paired by run "
                       "id, else by their names relative to each batch's folder; each check's pass rate is "
                       "compared with the exact McNemar test on the pairs (Fisher's exact test when nothing "
                       "pairs). Exit status 1 when a check's pass rate fell significantly or the cost budget "
                       "is exceeded.")
    s.add_argument("paths", nargs="+", metavar="BATCH",
                   help="BASE and CANDIDATE: folders (searched for *.jsonl), files or quoted glob patterns; "
                   "one of them with --by")
    s.add_argument("--by", metavar="KEY[=BASE,CANDIDATE]",
                   help="split one batch by a metadata key; without values it must have exactly two")
    s.add_argument("--alpha", type=float, default=0.05, help="significance level of a fall (default 0.05)")
    s.add_argument("--max-cost-increase", metavar="LIMIT",
                   help="exit 1 when the mean cost per run rises by more: 10%% of the base's, or 0.002 (USD)")
    s.add_argument("-f", "--format", choices=["table", "csv", "json"], default="table")
    s.add_argument("--changed", type=int, default=20, metavar="N",
                   help="runs with a changed verdict listed in the table (default 20)")
    s.add_argument("-j", "--jobs", type=int, default=0, help="worker processes (default: one per CPU)")
    s.set_defaults(run=cmd_compare)

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
    s.add_argument("--timeout", type=_seconds, default=10.0, metavar="SECONDS",
                   help="how long each request to the endpoint may take (default 10)")
    s.set_defaults(run=cmd_export_otlp, command="export otlp")
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
            if exc.name in ("rich", "scipy"):
                need = f"{exc.name}: pip install 'orrinth[cli]'"
            elif (exc.name or "").startswith("opentelemetry"):
                need = "the OpenTelemetry SDK: pip install 'orrinth[otel]'"
            else:
                raise
            print(f"orrinth {args.command}: error: this command needs {need}", file=sys.stderr)
            return EXIT_ERROR
    except BrokenPipeError:
        # The reader went away (`orrinth show run.jsonl | head`): stop quietly.
        _quiet_stdout()
        return EXIT_BROKEN_PIPE
    except KeyboardInterrupt:
        print(file=sys.stderr)  # end the line the ^C was echoed on
        return EXIT_INTERRUPTED
