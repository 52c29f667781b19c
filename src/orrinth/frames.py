"""Folders of runs as data frames: one row per run and one row per event, for pandas or polars.

::

    from orrinth import frames
    runs, events = frames.load("runs", root="runs")            # pandas
    runs_pl = frames.runs("runs", root="runs", library="polars")

Each run is named by its trace file's path relative to ``root`` (by default the current
folder; a file outside it keeps its absolute path), in POSIX form: ``v1/run-001.jsonl`` and
``v2/run-001.jsonl`` stay two runs. The ``run`` column holds that name in both frames, so
they join on it.

The run frame's columns are :data:`RUN_COLUMNS`, then one column per key of the runs'
metadata (from the file beside each trace; see :mod:`orrinth.runmeta`), named as the key,
or ``metadata.<key>`` when the key is also one of the fixed columns. A value that is a list
or an object (tags, a config) is held as its JSON text, and so is every value of a column
whose runs disagree on its kind (a number in one run, a string in another), so that each
column has one type. The event frame's columns are :data:`EVENT_COLUMNS`: the event's
fields, the message's ``to`` and ``content``, a check's name, outcome and score as
:mod:`orrinth.checks` reads them, and ``data`` as JSON text.

pandas and polars are optional (the ``analysis`` extra installs both) and imported only
when a frame is built; :func:`run_record` and :func:`event_records` give the same rows as
plain dicts, for a distributed engine that maps them over the files.
"""

from __future__ import annotations

import glob
import json
import os
import warnings
from collections.abc import Iterable
from pathlib import Path
from typing import Any, Literal, NamedTuple, TypeAlias

from orrinth.checks import count_checks, read_check, read_checks
from orrinth.recorder import TornLineWarning, read_recording
from orrinth.runmeta import last_line_torn, read_metadata, status_of
from orrinth.trace import Trace

__all__ = ["EVENT_COLUMNS", "RUN_COLUMNS", "Frames", "event_records", "events", "load", "run_record", "runs",
           "trace_files"]

PathsLike: TypeAlias = "str | os.PathLike[str] | Iterable[str | os.PathLike[str]]"
Library: TypeAlias = Literal["pandas", "polars"]

# Column -> kind ("str", "int", "float", "bool"): the fixed columns of each frame, in order.
RUN_COLUMNS: dict[str, str] = {
    "run": "str", "status": "str", "events": "int", "messages": "int", "last_turn": "int",
    "input_tokens": "int", "output_tokens": "int", "cost_usd": "float", "faults": "int",
    "checks_passed": "int", "checks_failed": "int", "checks_invalid": "int",
    "run_id": "str", "started_at": "float", "ended_at": "float", "error": "str", "orrinth_version": "str",
}
EVENT_COLUMNS: dict[str, str] = {
    "run": "str", "event": "int", "type": "str", "turn": "int", "agent": "str", "timestamp": "float",
    "input_tokens": "int", "output_tokens": "int", "cost_usd": "float", "to": "str", "content": "str",
    "check": "str", "check_outcome": "str", "check_score": "float", "data": "str",
}


class Frames(NamedTuple):
    runs: Any
    events: Any


def trace_files(paths: PathsLike) -> list[Path]:
    """The trace files that ``paths`` name: files as they are, the ``*.jsonl`` files under
    folders (recursively, sorted by path) and the files that a glob pattern matches (sorted).

    A path that does not exist and matches nothing raises FileNotFoundError; a folder or a
    pattern without any trace file raises it too, since a recipe that silently reads
    nothing gives wrong answers.
    """
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    found: list[Path] = []
    for item in paths:
        path = Path(item)
        if path.is_dir():
            inside = sorted(p for p in path.rglob("*.jsonl") if p.is_file())
            if not inside:
                raise FileNotFoundError(f"{path}: no trace files (*.jsonl) in this folder")
            found.extend(inside)
        elif path.exists():
            found.append(path)
        elif isinstance(item, str) and glob.has_magic(item):
            matched = sorted(Path(p) for p in glob.glob(item, recursive=True) if Path(p).is_file())
            if not matched:
                raise FileNotFoundError(f"{item}: no file matches this pattern")
            found.extend(matched)
        else:
            raise FileNotFoundError(f"{path}: no such file or folder")
    return found


def _run_name(path: Path, root: Path) -> str:
    full = Path(os.path.abspath(path))
    try:
        return full.relative_to(root).as_posix()
    except ValueError:
        return full.as_posix()


def _root(root: str | os.PathLike[str] | None) -> Path:
    return Path(os.path.abspath(root if root is not None else os.curdir))


def _json_text(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False)


def _read(path: Path) -> tuple[Trace, bool]:
    """The trace and whether its last line was torn (then left out, as the recorder's reader does)."""
    try:
        return Trace.from_jsonl(path), False
    except ValueError:
        if not last_line_torn(path):
            raise
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", TornLineWarning)  # the run's status says it
        return read_recording(path), True


def _load_one(path: Path, root: Path, skip_unreadable: bool) -> tuple[dict[str, Any], Trace | None]:
    name = _run_name(path, root)
    try:
        meta = read_metadata(path)
        trace, torn = _read(path)
    except (OSError, ValueError) as exc:
        if not skip_unreadable:
            exc.add_note(f"while loading the run {name!r} ({path})")
            raise
        row: dict[str, Any] = dict.fromkeys(RUN_COLUMNS)
        row.update(run=name, status="unreadable")
        return row, None
    events = trace.events
    summary = trace.cost_summary()
    counts = count_checks(read_checks(events))
    turns = [e.turn for e in events if e.type != "property_check"]
    row = {
        "run": name,
        "status": status_of(meta, torn),
        "events": len(events),
        "messages": sum(1 for e in events if e.type == "message"),
        "last_turn": max(turns) if turns else None,
        "input_tokens": summary.total_input_tokens,
        "output_tokens": summary.total_output_tokens,
        "cost_usd": summary.total_cost_usd,
        "faults": sum(1 for e in events if e.type == "fault_injected"),
        "checks_passed": counts.passed,
        "checks_failed": counts.failed,
        "checks_invalid": counts.invalid,
        "run_id": None, "started_at": None, "ended_at": None, "error": None, "orrinth_version": None,
    }
    if meta is not None:
        row.update(run_id=meta.run_id, started_at=meta.started_at, ended_at=meta.ended_at,
                   error=f"{meta.error.type}: {meta.error.message}" if meta.error is not None else None,
                   orrinth_version=meta.orrinth_version)
        for key, value in meta.metadata.items():  # as they are: the frame decides on JSON text
            row[f"metadata.{key}" if key in RUN_COLUMNS else key] = value
    return row, trace


def run_record(path: str | os.PathLike[str], root: str | os.PathLike[str] | None = None,
               skip_unreadable: bool = False) -> dict[str, Any]:
    """The run frame's row for one trace file, as a plain dict (lists and objects in the
    metadata as JSON text; a column's disagreeing kinds are for the caller to reconcile)."""
    row = _load_one(Path(path), _root(root), skip_unreadable)[0]
    return {k: _json_text(v) if isinstance(v, (list, dict)) else v for k, v in row.items()}


def _event_rows(name: str, trace: Trace) -> list[dict[str, Any]]:
    rows: list[dict[str, Any]] = []
    for i, event in enumerate(trace.events):
        data = event.data
        check = read_check(event) if event.type == "property_check" else None
        message = event.type == "message"
        to, content = data.get("to"), data.get("content")
        rows.append({
            "run": name, "event": i, "type": event.type, "turn": event.turn, "agent": event.agent,
            "timestamp": event.timestamp, "input_tokens": event.input_tokens, "output_tokens": event.output_tokens,
            "cost_usd": event.cost_usd,
            "to": (to if isinstance(to, str) else _json_text(to)) if message and to is not None else None,
            "content": ((content if isinstance(content, str) else _json_text(content))
                        if message and content is not None else None),
            "check": check.name if check is not None else None,
            "check_outcome": check.outcome if check is not None else None,
            "check_score": check.score if check is not None else None,
            "data": _json_text(data),
        })
    return rows


def event_records(path: str | os.PathLike[str], root: str | os.PathLike[str] | None = None,
                  skip_unreadable: bool = False) -> list[dict[str, Any]]:
    """The event frame's rows for one trace file, as plain dicts (none for an unreadable
    file when ``skip_unreadable``)."""
    row, trace = _load_one(Path(path), _root(root), skip_unreadable)
    return _event_rows(row["run"], trace) if trace is not None else []


def _library(library: str) -> Any:
    if library not in ("pandas", "polars"):
        raise ValueError(f"library must be 'pandas' or 'polars', not {library!r}")
    try:
        return __import__(library)
    except ImportError as exc:
        raise ImportError(f"orrinth.frames needs {library} to build a {library} frame: "
                          "pip install 'orrinth[analysis]' installs it") from exc


def _kind(value: Any) -> str:
    if isinstance(value, bool):
        return "bool"
    if isinstance(value, (int, float)):
        return "float" if isinstance(value, float) else "int"
    return "str" if isinstance(value, str) else "json"


def _columns(rows: list[dict[str, Any]], fixed: dict[str, str]) -> tuple[dict[str, list[Any]], dict[str, str]]:
    """The rows as columns, with each column's kind: the fixed ones first, then the others in
    order of first appearance. Lists and objects become JSON text, and so does every value of
    a column whose values disagree on their kind (ints and floats together are floats)."""
    names = dict.fromkeys(fixed)
    for row in rows:
        names.update(dict.fromkeys(row))
    columns = {name: [row.get(name) for row in rows] for name in names}
    kinds = dict(fixed)
    for name in names:
        if name in fixed:
            continue
        seen = {_kind(v) for v in columns[name] if v is not None}
        if seen == {"int", "float"}:
            seen = {"float"}
        if len(seen) > 1 or seen == {"json"}:
            columns[name] = [None if v is None else _json_text(v) for v in columns[name]]
            seen = {"str"}
        kinds[name] = seen.pop() if seen else "str"
    return columns, kinds


def _frame(rows: list[dict[str, Any]], fixed: dict[str, str], library: str) -> Any:
    lib = _library(library)
    columns, kinds = _columns(rows, fixed)
    if library == "polars":
        types = {"str": lib.String, "int": lib.Int64, "float": lib.Float64, "bool": lib.Boolean}
        return lib.DataFrame(columns, schema={name: types[kind] for name, kind in kinds.items()})
    # pandas: nullable integers and booleans, so that a missing value does not turn a
    # column of counts into floats.
    types = {"str": "string", "int": "Int64", "float": "float64", "bool": "boolean"}
    return lib.DataFrame({name: lib.Series(values, dtype=types[kinds[name]]) for name, values in columns.items()},
                         columns=list(columns))


def load(paths: PathsLike, *, root: str | os.PathLike[str] | None = None, library: Library = "pandas",
         skip_unreadable: bool = False) -> Frames:
    """Both frames for the runs under ``paths`` (files, folders or glob patterns), reading each
    file once. A trace whose last line is torn loads without it, its status "incomplete".

    A file that cannot be read raises (the exception notes which run), unless
    ``skip_unreadable``: then it has a row in the run frame with status "unreadable" and no
    figures, and no events.
    """
    run_rows, event_rows = _collect(paths, root, skip_unreadable, True)
    return Frames(_frame(run_rows, RUN_COLUMNS, library), _frame(event_rows, EVENT_COLUMNS, library))


def _collect(paths: PathsLike, root: str | os.PathLike[str] | None, skip_unreadable: bool,
             with_events: bool) -> tuple[list[dict[str, Any]], list[dict[str, Any]]]:
    base = _root(root)
    run_rows: list[dict[str, Any]] = []
    event_rows: list[dict[str, Any]] = []
    seen: set[Path] = set()
    for path in trace_files(paths):
        real = path.resolve()
        if real in seen:  # named twice (a folder and a file in it): one run, once
            continue
        seen.add(real)
        row, trace = _load_one(path, base, skip_unreadable)
        run_rows.append(row)
        if with_events and trace is not None:
            event_rows.extend(_event_rows(row["run"], trace))
    return run_rows, event_rows


def runs(paths: PathsLike, *, root: str | os.PathLike[str] | None = None, library: Library = "pandas",
         skip_unreadable: bool = False) -> Any:
    """One row per run: see :func:`load`."""
    return _frame(_collect(paths, root, skip_unreadable, False)[0], RUN_COLUMNS, library)


def events(paths: PathsLike, *, root: str | os.PathLike[str] | None = None, library: Library = "pandas",
           skip_unreadable: bool = False) -> Any:
    """One row per event: see :func:`load`."""
    return _frame(_collect(paths, root, skip_unreadable, True)[1], EVENT_COLUMNS, library)
