"""Crash-safe recording: a trace that writes each event to its file as soon as it is added.

A :class:`TraceRecorder` is a :class:`~orrinth.trace.Trace` (queries, snapshots and cost
summaries work on it as on any trace) bound to a JSON Lines file. ``add_event`` writes the
event's line (the very bytes that ``Trace.to_jsonl`` writes for it) with a single system
call on a file opened for appending, then keeps the event in memory. A run that dies
therefore leaves a file holding every event recorded before it, which ``Trace.from_jsonl``
reads back. With ``fsync=True`` each line is also forced to the storage device before
``add_event`` returns, so that it survives a power loss too.

A process killed between two events leaves only complete lines, since nothing waits in a
buffer. A kill that lands during a long line's single ``write`` (the kernel may stop it
between memory pages), a power loss without ``fsync``, a failed write that could not be cut
back, or another writer can leave the last line incomplete; such a *torn* last line is
handled conservatively:

* :func:`read_recording` loads the complete lines and leaves the torn one out, with a
  :class:`TornLineWarning` that says where it is and how long it is; the file is not changed.
* Opening an existing file with ``mode="a"`` moves the torn bytes into a side file
  ``<name>.torn`` (appending to it, so nothing is lost), warns, and continues after the last
  complete line.
* ``Trace.from_jsonl`` still refuses the file, naming the path and the line.

A write that fails midway (a full disk) is undone: the file is cut back to the end of the
last complete line and ``add_event`` raises; the event is then neither in the file nor in
memory.
"""

from __future__ import annotations

import errno
import io
import json
import os
import threading
import time
import warnings
from collections.abc import Mapping
from pathlib import Path
from types import TracebackType
from typing import IO, TYPE_CHECKING, Any, Literal, Self

from orrinth.trace import Trace, TraceEvent

if TYPE_CHECKING:  # runmeta builds on the helpers here: imported where used
    from orrinth.runmeta import RunMetadata

__all__ = ["TornLineWarning", "TraceRecorder", "read_recording"]


class TornLineWarning(UserWarning):
    """The last line of a trace file is incomplete: a write was cut short."""


def _text_encoding() -> str:
    # The encoding that open(path, "w") uses here, and so to_jsonl and from_jsonl.
    return io.TextIOWrapper(io.BytesIO()).encoding


def _sync_directory(folder: Path) -> None:
    """Make the names in ``folder`` durable: a new file's name lives in its directory, which
    syncing the file does not reach. A file system that cannot sync a directory, or a
    directory that may be searched but not read, is no error; a failing sync is."""
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except PermissionError:
        return
    try:
        os.fsync(fd)
    except OSError as e:
        if e.errno not in (errno.EINVAL, errno.EROFS):
            raise
    finally:
        os.close(fd)


def _missing_folders(folder: Path) -> list[Path]:
    """``folder`` and its parents that do not exist yet, innermost first."""
    missing: list[Path] = []
    while not folder.exists() and folder != folder.parent:
        missing.append(folder)
        folder = folder.parent
    return missing


class _Prefix:
    """A stand-in path for ``Trace.from_jsonl`` that reads the first lines of a file only."""

    def __init__(self, path: Path, text: str) -> None:
        self._path = path
        self._text = text

    def open(self) -> IO[str]:
        return io.StringIO(self._text)

    def __fspath__(self) -> str:
        return os.fspath(self._path)

    def __str__(self) -> str:
        return str(self._path)

    def __repr__(self) -> str:
        return repr(self._path)


def _torn_tail(data: bytes, encoding: str) -> int | None:
    """The offset where a torn last line starts, or None when every line is complete.

    A last line without its line end counts as complete when it holds a valid event (the
    reader accepts a missing final line end), and as blank when it holds only whitespace.
    """
    if not data or data.endswith(b"\n"):
        return None
    start = data.rfind(b"\n") + 1
    try:
        tail = data[start:].decode(encoding).strip()
        if tail:
            TraceEvent.model_validate(json.loads(tail))
    except ValueError:  # JSONDecodeError, UnicodeDecodeError and ValidationError alike
        return start
    return None


def _warn_torn(path: Path, data: bytes, start: int, action: str, stacklevel: int) -> None:
    line = data.count(b"\n", 0, start) + 1
    warnings.warn(
        f"{path}: line {line} is incomplete ({len(data) - start} bytes without a line end, "
        f"not a valid event): {action}",
        TornLineWarning,
        stacklevel=stacklevel + 1,
    )


def read_recording(path: str | os.PathLike[str]) -> Trace:
    """Read a recorded trace, leaving out a torn last line (with a :class:`TornLineWarning`).

    Any other bad line raises as ``Trace.from_jsonl`` does. The file is not changed.
    """
    path = Path(path)
    data = path.read_bytes()
    start = _torn_tail(data, _text_encoding())
    if start is None:
        return Trace.from_jsonl(path)
    _warn_torn(path, data, start, "left out", stacklevel=2)
    return Trace.from_jsonl(_Prefix(path, data[:start].decode(_text_encoding())))  # type: ignore[arg-type]


def _opening_metadata(
    path: Path, mode: str, metadata: Mapping[str, Any] | RunMetadata | None, run_id: str | None
) -> RunMetadata:
    """The sidecar of a run being opened: a new run, or (``mode="a"``) the run continued, with
    its id, start and values kept unless given anew."""
    from orrinth.runmeta import RunMetadata, read_metadata

    if isinstance(metadata, RunMetadata):
        base = metadata.model_dump()
        values: dict[str, Any] = base.pop("metadata")
    else:
        base, values = {}, dict(metadata or {})
    previous = read_metadata(path) if mode == "a" else None
    if previous is not None:
        base = {**previous.model_dump(), **{k: v for k, v in base.items() if v is not None}}
        values = {**previous.metadata, **values}
    base.update(status="running", ended_at=None, error=None, metadata=values)
    if run_id is not None:
        base["run_id"] = run_id
    if base.get("started_at") is None:
        base["started_at"] = time.time()
    return RunMetadata.model_validate(base)


def _closing_metadata(meta: RunMetadata, error: BaseException | None) -> RunMetadata:
    from orrinth.runmeta import RunError, RunMetadata

    update: dict[str, Any] = {"ended_at": time.time()}
    if error is None:
        update.update(status="completed", error=None)
    else:
        update.update(status="failed", error=RunError.from_exception(error))
    return RunMetadata.model_validate({**meta.model_dump(), **update})


class TraceRecorder(Trace):
    """A trace that appends each added event to ``path`` as one complete JSON line.

    ``mode`` is ``"w"`` (start a new file, replacing an existing one), ``"x"`` (start a new
    file, refusing an existing one) or ``"a"`` (continue an existing file: its events are
    read into the recorder first, and a torn last line is moved to ``<name>.torn``).
    ``fsync=True`` forces every line to the storage device before ``add_event`` returns,
    and the file's name (with those of any folders made for it) when the recorder opens it.
    Missing parent folders are created. Use it as a context manager, or call ``close()``.

    Beside the file, the run's sidecar (see :mod:`orrinth.runmeta`) says "running" from the
    moment the recorder opens, and "completed" or "failed" (with the exception's type and
    message) once it closes, so that a run whose process died shows as incomplete.
    ``metadata`` (the user's values, or a whole ``RunMetadata``) and ``run_id`` go into it;
    ``mode="a"`` keeps the continued run's id, start and values unless given anew.
    ``sidecar=False`` writes none.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        *,
        mode: Literal["w", "x", "a"] = "w",
        fsync: bool = False,
        metadata: Mapping[str, Any] | RunMetadata | None = None,
        run_id: str | None = None,
        sidecar: bool = True,
    ) -> None:
        super().__init__()
        if mode not in ("w", "x", "a"):
            raise ValueError(f"mode must be 'w', 'x' or 'a', not {mode!r}")
        self._path = Path(path)
        self._meta: RunMetadata | None = None
        meta: RunMetadata | None = None
        if sidecar:
            # Checked before the file is touched: bad metadata truncates nothing.
            meta = _opening_metadata(self._path, mode, metadata, run_id)
        elif metadata is not None or run_id is not None:
            raise ValueError("metadata and run_id are kept in the sidecar: they need sidecar=True")
        self._fsync = bool(fsync)
        self._encoding = _text_encoding()
        self._lock = threading.Lock()
        self._fd = -1
        made = _missing_folders(self._path.parent)
        self._path.parent.mkdir(parents=True, exist_ok=True)
        flags = os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC
        flags |= {"w": os.O_TRUNC, "x": os.O_EXCL, "a": 0}[mode]
        fd = os.open(self._path, flags, 0o666)
        try:
            if mode == "a":
                self._resume(fd)
            if self._fsync:
                os.fsync(fd)
                # The file's name, and the names of the folders made for it.
                for folder in [self._path.parent, *(f.parent for f in made)]:
                    _sync_directory(folder)
            if meta is not None:
                from orrinth.runmeta import write_metadata

                write_metadata(self._path, meta, fsync=self._fsync)
                self._meta = meta
        except BaseException:
            os.close(fd)
            raise
        self._fd = fd

    def _resume(self, fd: int) -> None:
        """Load the events already in the file; set a torn last line aside first."""
        data = self._path.read_bytes()
        start = _torn_tail(data, self._encoding)
        if start is not None:
            side = self._path.with_name(self._path.name + ".torn")
            with open(side, "ab") as f:
                f.write(data[start:] + b"\n")
                f.flush()
                os.fsync(f.fileno())
            _sync_directory(side.parent)  # the side file's name, before the bytes leave the file
            os.truncate(fd, start)
            _warn_torn(self._path, data, start, f"moved to {side}", stacklevel=4)
            data = data[:start]
        elif data and not data.endswith(b"\n"):
            os.write(fd, b"\n")  # a complete last line without its line end
        if data.strip():
            for event in Trace.from_jsonl(_Prefix(self._path, data.decode(self._encoding))).events:  # type: ignore[arg-type]
                Trace.add_event(self, event)

    @property
    def path(self) -> Path:
        """The file the events are written to."""
        return self._path

    @property
    def fsync(self) -> bool:
        """Whether each line is forced to the storage device."""
        return self._fsync

    @property
    def closed(self) -> bool:
        return self._fd < 0

    def add_event(self, event: TraceEvent) -> None:
        """Write the event's line to the file, then append the event to the trace."""
        line = (event.model_dump_json() + "\n").encode(self._encoding)
        with self._lock:
            if self._fd < 0:
                raise ValueError(f"the recorder for {self._path} is closed")
            end = os.lseek(self._fd, 0, os.SEEK_END)
            try:
                view = memoryview(line)
                while view:
                    written = os.write(self._fd, view)
                    view = view[written:]
                if self._fsync:
                    os.fsync(self._fd)
            except BaseException:
                # Leave no partial line: cut the file back to where this line began.
                try:
                    os.truncate(self._fd, end)
                except OSError:
                    pass
                raise
            super().add_event(event)

    @property
    def metadata(self) -> RunMetadata | None:
        """A copy of what the sidecar says about the run (None with ``sidecar=False``)."""
        return None if self._meta is None else self._meta.model_copy(deep=True)

    def close(self, error: BaseException | None = None) -> None:
        """Close the file; the events stay readable in memory. Closing twice is harmless.

        The sidecar then records the run as "completed", or as "failed" with ``error``'s
        type and message when one is given (leaving a ``with`` block by an exception does
        that)."""
        with self._lock:
            fd, self._fd = self._fd, -1
        if fd < 0:
            return
        os.close(fd)
        if self._meta is not None:
            from orrinth.runmeta import write_metadata

            self._meta = _closing_metadata(self._meta, error)
            write_metadata(self._path, self._meta, fsync=self._fsync)

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close(exc)

    def __del__(self) -> None:
        if getattr(self, "_fd", -1) >= 0:
            os.close(self._fd)

    @classmethod
    def from_jsonl(cls, path: Path) -> Self:
        """Not available on a recorder: read a file with ``Trace.from_jsonl(path)`` or
        :func:`read_recording`, or continue it with ``TraceRecorder(path, mode="a")``."""
        raise TypeError(
            "TraceRecorder.from_jsonl would write every event it reads; read the file with "
            "Trace.from_jsonl(path) or orrinth.recorder.read_recording(path), or continue it "
            "with TraceRecorder(path, mode='a')"
        )

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<TraceRecorder {str(self._path)!r} {state}, {len(self._events)} events>"

    def __reduce__(self) -> Any:
        raise TypeError("a TraceRecorder holds an open file and cannot be pickled")
