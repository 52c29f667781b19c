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
memory. Recorders of one file, in any process, write and cut back under an advisory lock on
it, and a line is cut back only while the file still ends where its write left it, so
another writer's line is never cut off.
"""

from __future__ import annotations

import errno
import fcntl
import io
import json
import os
import stat
import threading
import time
import warnings
from collections.abc import Mapping
from pathlib import Path
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal, Self

from orrinth import _jsonl_routes
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


class _FileLock:
    """An exclusive advisory lock on an open file for the length of a ``with`` block, shared
    by every recorder of the file, in any process. Where the file system has no locks, the
    block runs unlocked."""

    def __init__(self, fd: int) -> None:
        self._fd = fd
        self._held = False

    def __enter__(self) -> None:
        try:
            fcntl.flock(self._fd, fcntl.LOCK_EX)
            self._held = True
        except OSError as e:
            if e.errno not in (errno.ENOLCK, errno.EOPNOTSUPP, errno.EINVAL, errno.EBADF):
                raise

    def __exit__(self, *exc: object) -> None:
        if self._held:
            fcntl.flock(self._fd, fcntl.LOCK_UN)


def _append_private(side: Path, data: bytes, like: os.stat_result) -> None:
    """Append ``data`` to ``side`` durably. A side file made here is created for its owner
    alone and given the group and permission bits of the file ``like`` describes before
    anything is written to it; an existing one is narrowed to those bits where it is wider."""
    bits = stat.S_IMODE(like.st_mode) & 0o777
    try:
        fd = os.open(side, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        created = True
    except FileExistsError:
        fd = os.open(side, os.O_WRONLY | os.O_APPEND | os.O_CLOEXEC)
        created = False
    try:
        if created:
            if like.st_gid != os.getegid():
                try:
                    os.fchown(fd, -1, like.st_gid)
                except OSError:
                    pass  # a group the saver may not give: the side file keeps the saver's
            os.fchmod(fd, bits)
        else:
            current = stat.S_IMODE(os.fstat(fd).st_mode)
            if current & ~bits & 0o777:
                try:
                    os.fchmod(fd, current & bits)
                except OSError:
                    pass
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
        os.fsync(fd)
    finally:
        os.close(fd)


def _missing_folders(folder: Path) -> list[Path]:
    """``folder`` and its parents that do not exist yet, innermost first."""
    missing: list[Path] = []
    while not folder.exists() and folder != folder.parent:
        missing.append(folder)
        folder = folder.parent
    return missing


def _read_lines(path: Path, data: bytes) -> Trace:
    """The trace in ``data``, bytes read from ``path``, read exactly as ``Trace.from_jsonl``
    reads a file: decoded and split into lines as ``path.open()`` does, with the same
    errors and the same note naming ``path`` and the line."""
    lines = io.TextIOWrapper(io.BytesIO(data), encoding=_text_encoding())
    return _jsonl_routes.read_lines(Trace, lines, path)


# What ends a line for the reader: "\n", "\r\n", or a lone "\r" (universal newlines).
_LINE_ENDS = (b"\n", b"\r")


def _torn_tail(data: bytes, encoding: str) -> int | None:
    """The offset where a torn last line starts, or None when every line is complete.

    A last line without its line end counts as complete when it holds a valid event (the
    reader accepts a missing final line end), and as blank when it holds only whitespace.
    """
    if not data or data.endswith(_LINE_ENDS):
        return None
    start = max(data.rfind(end) for end in _LINE_ENDS) + 1
    try:
        tail = data[start:].decode(encoding).strip()
        if tail:
            TraceEvent.model_validate(json.loads(tail))
    except ValueError:  # JSONDecodeError, UnicodeDecodeError and ValidationError alike
        return start
    return None


def _warn_torn(path: Path, data: bytes, start: int, action: str, stacklevel: int) -> None:
    # The line ends before it, a "\r\n" counting once.
    line = data.count(b"\n", 0, start) + data.count(b"\r", 0, start) - data.count(b"\r\n", 0, start) + 1
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
    # One read: what is checked for a torn line is what is read, even while a recorder
    # goes on appending to the file.
    data = path.read_bytes()
    start = _torn_tail(data, _text_encoding())
    if start is not None:
        _warn_torn(path, data, start, "left out", stacklevel=2)
        data = data[:start]
    return _read_lines(path, data)


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
    base.update(status="running", ended_at=None, error=None, metadata=values, figures=None)
    if run_id is not None:
        base["run_id"] = run_id
    if base.get("started_at") is None:
        base["started_at"] = time.time()
    return RunMetadata.model_validate(base)


def _closing_metadata(trace: TraceRecorder, meta: RunMetadata, error: BaseException | None) -> RunMetadata:
    from orrinth.runmeta import RunError, RunFigures, RunMetadata

    update: dict[str, Any] = {"ended_at": time.time(), "figures": RunFigures.of(trace).stamped(trace.path)}
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
        with _FileLock(fd):
            self._resume_locked(fd)

    def _resume_locked(self, fd: int) -> None:
        data = self._path.read_bytes()
        start = _torn_tail(data, self._encoding)
        if start is not None:
            side = self._path.with_name(self._path.name + ".torn")
            _append_private(side, data[start:] + b"\n", os.fstat(fd))
            _sync_directory(side.parent)  # the side file's name, before the bytes leave the file
            os.truncate(fd, start)
            _warn_torn(self._path, data, start, f"moved to {side}", stacklevel=4)
            data = data[:start]
        elif data and not data.endswith(b"\n"):
            os.write(fd, b"\n")  # a complete last line without its line end
        if data.strip():
            for event in _read_lines(self._path, data).events:
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
            with _FileLock(self._fd):
                self._write_line(line)
            super().add_event(event)

    def _write_line(self, line: bytes) -> None:
        # Under the file's lock, so that recorders in other processes do not write between
        # the parts of a long line, nor while a failed line is cut back.
        end = os.lseek(self._fd, 0, os.SEEK_END)
        done = 0
        try:
            view = memoryview(line)
            while view:
                written = os.write(self._fd, view)
                done += written
                view = view[written:]
            if self._fsync:
                os.fsync(self._fd)
        except BaseException:
            # Leave no partial line: cut the file back to where this line began, but only
            # while it still ends where this write left it; bytes another writer appended
            # since (one that does not take the lock) are never cut off.
            try:
                if os.fstat(self._fd).st_size == end + done:
                    os.truncate(self._fd, end)
            except OSError:
                pass
            raise

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

            self._meta = _closing_metadata(self, self._meta, error)
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
