"""Finding and loading trace files for the commands, with errors a person can act on."""

from __future__ import annotations

from pathlib import Path

from orrinth.trace import Trace

__all__ = ["CommandError", "explain", "find_traces", "load"]


class CommandError(Exception):
    """A failure the command reports as one line on stderr, exiting with status 2."""


def explain(exc: BaseException) -> str:
    """The exception's type and message, then the notes that say where it happened."""
    text = f"{type(exc).__name__}: {exc}".strip()
    notes: list[str] = getattr(exc, "__notes__", None) or []
    return "\n  ".join([text, *notes])


def load(path: Path) -> Trace:
    """Read one trace file; a missing file, a folder or a bad line becomes a CommandError."""
    if not path.exists():
        raise CommandError(f"{path}: no such file")
    if path.is_dir():
        raise CommandError(f"{path}: is a folder, not a trace file")
    try:
        return Trace.from_jsonl(path)
    except (OSError, ValueError) as exc:  # ValueError covers JSON, decoding and validation errors
        raise CommandError(f"{path}: cannot be read: {explain(exc)}") from exc


def find_traces(paths: list[Path]) -> list[Path]:
    """The files named, and the ``*.jsonl`` files under the folders named, in order.

    Each folder is searched recursively and its files are sorted by path; a folder without
    any trace file and a path that does not exist are errors.
    """
    found: list[Path] = []
    for path in paths:
        if path.is_dir():
            inside = sorted(p for p in path.rglob("*.jsonl") if p.is_file())
            if not inside:
                raise CommandError(f"{path}: no trace files (*.jsonl) in this folder")
            found.extend(inside)
        elif path.exists():
            found.append(path)
        else:
            raise CommandError(f"{path}: no such file or folder")
    return found

