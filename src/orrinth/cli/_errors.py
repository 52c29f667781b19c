"""What every command shares: its exit statuses, how a failure becomes one line, and how
text from a trace file is made safe for a terminal.

Exit statuses (the same for every command):

* ``EXIT_OK`` (0): done; for ``diff``, the runs match.
* ``EXIT_DIFFERENT`` (1): ``diff`` only, the runs differ. Never used for an error.
* ``EXIT_FAILED`` (1): a gate did not pass: ``--fail-on-check`` found a failed or invalid
  check or a run that did not complete; ``compare`` found a regression. Never an error.
* ``EXIT_ERROR`` (2): an error: bad arguments, a missing file, a file that does not load
  (whatever the reason), output that could not be written.
* ``EXIT_INTERRUPTED`` (130, 128 + SIGINT): Ctrl-C; nothing is printed but one short line.
* ``EXIT_BROKEN_PIPE`` (141, 128 + SIGPIPE): the reader of the output went away
  (``orrinth show run.jsonl | head``); nothing is printed.
"""

from __future__ import annotations

import math
import re
from pathlib import Path
from typing import Any, cast

__all__ = [
    "EXIT_BROKEN_PIPE",
    "EXIT_DIFFERENT",
    "EXIT_ERROR",
    "EXIT_FAILED",
    "EXIT_INTERRUPTED",
    "EXIT_OK",
    "CommandError",
    "about",
    "explain",
    "file_error",
    "finite_or_none",
    "terminal_safe",
]

EXIT_OK = 0
EXIT_DIFFERENT = 1
EXIT_FAILED = 1
EXIT_ERROR = 2
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141


class CommandError(Exception):
    """A failure the command reports as one line on stderr, exiting with ``EXIT_ERROR``."""


# C0 controls but tab and newline, DEL, C1 controls, and the characters that reorder or
# hide text (bidi embeddings, overrides and isolates, marks, zero-width joiners). Newlines
# are kept: callers that need one line per record pass ``keep_newlines=False``.
_UNSAFE = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\u061c\u200b-\u200f\u2028\u2029\u202a-\u202e\u2066-\u2069\ufeff]")
_UNSAFE_WITH_NEWLINES = re.compile(
    "[\x00-\x1f\x7f-\x9f\u061c\u200b-\u200f\u2028\u2029\u202a-\u202e\u2066-\u2069\ufeff]"
)
# A surrogate code point cannot be written in UTF-8 at all.
_SURROGATE = re.compile("[\ud800-\udfff]")


def _escape_char(match: re.Match[str]) -> str:
    code = ord(match.group())
    if code <= 0xFF:
        return f"\\x{code:02x}"
    return f"\\u{code:04x}"


def terminal_safe(text: object, keep_newlines: bool = True) -> str:
    """``text`` (``str()`` of it when it is not a str) with every character that a terminal
    would act on, or that would hide or reorder what is shown, written as a visible escape
    (``\\x1b``, ``\\u202e``); lone surrogates become ``\\ud800`` too, so the result can always
    be encoded."""
    s = text if isinstance(text, str) else str(text)
    s = (_UNSAFE if keep_newlines else _UNSAFE_WITH_NEWLINES).sub(_escape_char, s)
    return _SURROGATE.sub(_escape_char, s)


def explain(exc: BaseException) -> str:
    """The exception's type and message, then the notes that say where it happened."""
    try:
        message = str(exc)
    except Exception:  # a message that cannot be formatted (huge ints, a hostile __str__)
        message = "(the message could not be formatted)"
    text = f"{type(exc).__name__}: {message}".strip() if message else type(exc).__name__
    notes: object = getattr(exc, "__notes__", None)
    lines = [text, *(str(n) for n in cast("list[object]", notes))] if isinstance(notes, list) else [text]
    return "\n  ".join(terminal_safe(line, keep_newlines=False) for line in lines)


def file_error(path: Path | str, exc: BaseException, doing: str = "cannot be read") -> CommandError:
    """The failure to read (or show) ``path``, whatever it was, as one CommandError naming
    the file; the exception's notes, which say where in the file, follow it."""
    if isinstance(exc, CommandError):
        return exc
    return CommandError(f"{terminal_safe(path, keep_newlines=False)}: {doing}: {explain(exc)}")


def finite_or_none(value: Any) -> Any:
    """A float that JSON cannot hold (NaN, an infinity) as None; anything else unchanged."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


class about:  # noqa: N801 - used as a ``with`` statement, like a function
    """``with about(path):`` turns any failure inside (short of ``KeyboardInterrupt``,
    ``SystemExit`` and a broken pipe on the output) into a CommandError naming ``path``."""

    def __init__(self, path: Path | str, doing: str = "cannot be read") -> None:
        self.path = path
        self.doing = doing

    def __enter__(self) -> None:
        return None

    def __exit__(self, kind: type[BaseException] | None, exc: BaseException | None, tb: object) -> None:
        if exc is None or not isinstance(exc, Exception) or isinstance(exc, (CommandError, BrokenPipeError)):
            return None
        raise file_error(self.path, exc, self.doing) from exc
