"""One run as the batch commands see it: its status, its figures and its checks.

``summary`` and ``compare`` read runs through :func:`read_run`. A run's sidecar is read
first; when it holds the run's figures for the trace file as it is now (same size,
modification time and inode), the trace itself is not read. Otherwise the trace is read,
leaving out a torn last line (the run is then incomplete). A trace that does not load, or
a broken sidecar, is a :class:`CommandError`.
"""

from __future__ import annotations

import json
import signal
import warnings
from collections.abc import Callable, Iterator
from concurrent.futures import ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, TypeVar

from orrinth.checks import Check, read_checks
from orrinth.cli._errors import CommandError, file_error, terminal_safe
from orrinth.cli.runs import load
from orrinth.recorder import TornLineWarning, read_recording
from orrinth.runmeta import MetadataError, RunFigures, RunMetadata, RunStatus, last_line_torn, read_metadata, status_of
from orrinth.trace import Trace

__all__ = ["Run", "describe_run", "map_files", "read_run", "read_runs", "read_trace", "value_text"]

T = TypeVar("T")


@dataclass
class Run:
    """What the commands know of one run."""

    path: Path
    status: RunStatus
    meta: RunMetadata | None
    figures: RunFigures
    note: str | None = None  # why the run is incomplete, when the trace says so
    checks: list[Check] = field(default_factory=list[Check])

    @property
    def run_id(self) -> str | None:
        return None if self.meta is None else self.meta.run_id

    @property
    def metadata(self) -> dict[str, Any]:
        return {} if self.meta is None else dict(self.meta.metadata)


def read_trace(path: Path) -> tuple[Trace, str | None]:
    """The trace, with a torn last line left out: then also the warning that says where."""
    try:
        torn = path.is_file() and last_line_torn(path)
    except OSError:
        torn = False  # load() says why the file cannot be read
    if not torn:
        return load(path), None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", TornLineWarning)
        try:
            trace = read_recording(path)
        except Exception as exc:
            raise file_error(path, exc) from exc
    note = next((str(w.message) for w in caught if issubclass(w.category, TornLineWarning)), None)
    return trace, note


def read_run(path: Path) -> Run:
    """Read one run, from its sidecar alone where that holds everything."""
    try:
        meta = read_metadata(path)
    except MetadataError as exc:
        raise CommandError(terminal_safe(str(exc), keep_newlines=False)) from exc
    except OSError as exc:
        raise file_error(path, exc, "its run metadata cannot be read") from exc
    if meta is not None and meta.figures is not None and meta.figures.matches(path):
        figures = meta.figures
        return Run(path, status_of(meta, False), meta, figures, None, figures.check_list())
    trace, note = read_trace(path)
    figures = RunFigures.of(trace)
    return Run(path, status_of(meta, note is not None), meta, figures, note, read_checks(trace.events))


def _read_or_explain(path: Path) -> Run | str:
    # Runs in a worker: an error travels back as its text, whatever it would pickle as.
    try:
        return read_run(path)
    except Exception as exc:  # read_run names the file in the CommandErrors it raises
        return str(file_error(path, exc))


def _worker_start() -> None:
    # Ctrl-C is the parent's to handle: workers must not print a traceback each.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def map_files(
    read: Callable[[Path], T | str], files: list[Path], jobs: int, on_done: Callable[[], None] = lambda: None
) -> Iterator[T | str]:
    """``read`` applied to each file, in the order of ``files``: by ``jobs`` worker processes
    when there are several files. ``read`` returns an error as its text; a worker that dies
    leaves that text for each file it had not answered for."""
    if jobs <= 1 or len(files) < 4:
        for path in files:
            yield read(path)
            on_done()
        return
    workers = min(jobs, len(files))
    done = 0
    with ProcessPoolExecutor(max_workers=workers, initializer=_worker_start) as pool:
        chunk = max(1, min(16, len(files) // (workers * 4)))
        try:
            for result in pool.map(read, files, chunksize=chunk):
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


def read_runs(files: list[Path], jobs: int, on_done: Callable[[], None] = lambda: None) -> Iterator[Run | str]:
    """Each file's run, or the text of its error, in the order of ``files``."""
    return map_files(_read_or_explain, files, jobs, on_done)


def value_text(value: Any) -> str:
    """A metadata value as a person types it: a string as itself, anything else as JSON."""
    return value if isinstance(value, str) else json.dumps(value, ensure_ascii=False)


def describe_run(status: RunStatus, meta: RunMetadata | None) -> str:
    """One line about a run: its status, id, times and user values."""
    parts = [f"status: {status}"]
    if meta is not None:
        if meta.run_id is not None:
            parts.append(f"run {meta.run_id}")
        if meta.error is not None:
            parts.append(f"{meta.error.type}: {meta.error.message}")
        if meta.started_at is not None and meta.ended_at is not None:
            parts.append(f"took {meta.ended_at - meta.started_at:.1f} s")
        parts.extend(f"{k}={value_text(v)}" for k, v in meta.metadata.items())
    return "; ".join(parts)
