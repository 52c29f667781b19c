"""Finding and loading trace files for the commands, with errors a person can act on."""

from __future__ import annotations

from pathlib import Path

from orrinth.cli._errors import CommandError, explain, file_error, terminal_safe
from orrinth.trace import Trace

__all__ = ["CommandError", "explain", "find_traces", "load"]


def load(path: Path) -> Trace:
    """Read one trace file. A missing file, a folder, and any failure to read it (a bad line,
    nesting too deep, no memory left) becomes a CommandError naming the file."""
    name = terminal_safe(path, keep_newlines=False)
    if not path.exists():
        raise CommandError(f"{name}: no such file")
    if path.is_dir():
        raise CommandError(f"{name}: is a folder, not a trace file")
    try:
        return Trace.from_jsonl(path)
    except Exception as exc:  # whatever the file makes the reader raise: one line, not a traceback
        raise file_error(path, exc) from exc


def find_traces(paths: list[Path], errors: list[str] | None = None) -> list[Path]:
    """The files named, and the ``*.jsonl`` files under the folders named, in order.

    Each folder is searched recursively and its files are sorted by path; a folder without
    any trace file and a path that does not exist are errors: raised, or, given ``errors``,
    added to it while the other paths are still searched.
    """
    found: list[Path] = []
    for path in paths:
        name = terminal_safe(path, keep_newlines=False)
        problem: str | None = None
        if path.is_dir():
            inside = sorted(p for p in path.rglob("*.jsonl") if p.is_file())
            if not inside:
                problem = f"{name}: no trace files (*.jsonl) in this folder"
            found.extend(inside)
        elif path.exists():
            found.append(path)
        else:
            problem = f"{name}: no such file or folder"
        if problem is not None:
            if errors is None:
                raise CommandError(problem)
            errors.append(problem)
    return found

