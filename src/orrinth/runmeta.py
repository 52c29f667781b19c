"""What a run is: its id, status, times and user metadata, kept in a small file beside its trace.

A trace file holds the events of one run; the *sidecar* beside it says what the run was
(the model, prompt version, seed, tags or code revision it ran with, any JSON values) and
how it ended. The name rule is :func:`sidecar_path`: ``run-001.jsonl`` has its metadata in
``run-001.run.json`` (a name that a search for ``*.jsonl`` does not find). A trace without
a sidecar is a valid run: every reader treats the sidecar as optional.

The sidecar is replaced atomically and durably, as a trace is saved: a private temporary
file beside it is written, synced, given the trace's permission bits and renamed over it,
and the folder is synced, so that a reader sees the old metadata or the new, never a mix.
"""

from __future__ import annotations

import json
import math
import os
import secrets
import time
from collections.abc import Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Annotated, Any, Literal, TypeAlias

from pydantic import BaseModel, ConfigDict, Field, FiniteFloat, JsonValue, ValidationError, field_validator

from orrinth import __version__
from orrinth.recorder import _read_lines, _sync_directory, _text_encoding, _torn_tail  # pyright: ignore[reportPrivateUsage]
from orrinth.trace import Trace

if TYPE_CHECKING:
    from orrinth.checks import Check

__all__ = [
    "SIDECAR_SUFFIX",
    "CheckRecord",
    "MetadataError",
    "RunError",
    "RunFigures",
    "RunMetadata",
    "RunStatus",
    "read_metadata",
    "last_line_torn",
    "run_status",
    "save_run",
    "sidecar_path",
    "status_of",
    "write_metadata",
]

SIDECAR_SUFFIX = ".run.json"

RunStatus: TypeAlias = Literal["completed", "failed", "incomplete", "unreadable"]


class MetadataError(ValueError):
    """A sidecar file that exists but does not hold valid run metadata."""


class RunError(BaseModel):
    """Why a run failed: the exception's type name and message."""

    model_config = ConfigDict(frozen=True, extra="forbid")

    type: str
    message: str

    @classmethod
    def from_exception(cls, exc: BaseException) -> RunError:
        return cls(type=type(exc).__qualname__, message=str(exc))


def _check_finite(value: Any, where: str) -> None:
    # NaN and infinity have no JSON form: written, they would come back as something else.
    stack = [(value, where)]
    while stack:
        item, at = stack.pop()
        if isinstance(item, float) and not math.isfinite(item):
            raise ValueError(f"{at} is {item!r}, which JSON cannot hold")
        if isinstance(item, dict):
            stack.extend((v, f"{at}[{k!r}]") for k, v in item.items())  # pyright: ignore[reportUnknownVariableType, reportUnknownArgumentType]
        elif isinstance(item, list):
            stack.extend((v, f"{at}[{i}]") for i, v in enumerate(item))  # pyright: ignore[reportUnknownVariableType, reportUnknownArgumentType]


class CheckRecord(BaseModel):
    """A property check as :mod:`orrinth.checks` read it, kept among a run's figures."""

    model_config = ConfigDict(frozen=True, extra="forbid")

    name: str
    passed: bool | None
    score: float | None = None
    turn: int = -1
    agent: str | None = None
    problem: str | None = None


class RunFigures(BaseModel):
    """A run's totals, kept in its sidecar so that a summary need not read the trace.

    They describe the trace file as it was when they were taken (its size, modification
    time and inode): :meth:`matches` says whether it is still that file.
    """

    model_config = ConfigDict(extra="forbid")

    events: int
    last_turn: int | None
    messages: int
    input_tokens: int
    output_tokens: int
    cost_usd: float
    faults: int
    checks: list[CheckRecord] = Field(default_factory=list[CheckRecord])
    trace_size: int | None = None
    trace_mtime_ns: int | None = None
    trace_inode: int | None = None

    @classmethod
    def of(cls, trace: Trace) -> RunFigures:
        from orrinth.checks import read_checks

        events = trace.events
        costs = trace.cost_summary()
        turns = [e.turn for e in events if e.type != "property_check"]
        return cls(
            events=len(events),
            last_turn=max(turns) if turns else None,
            messages=sum(1 for e in events if e.type == "message"),
            input_tokens=costs.total_input_tokens,
            output_tokens=costs.total_output_tokens,
            cost_usd=costs.total_cost_usd,
            faults=sum(1 for e in events if e.type == "fault_injected"),
            checks=[CheckRecord(name=c.name, passed=c.passed, score=c.score, turn=c.turn, agent=c.agent,
                                problem=c.problem) for c in read_checks(events)],
        )

    def stamped(self, trace_path: Path) -> RunFigures:
        """These figures, bound to the trace file as it is now."""
        st = os.stat(trace_path)
        return self.model_copy(update={"trace_size": st.st_size, "trace_mtime_ns": st.st_mtime_ns,
                                       "trace_inode": st.st_ino})

    def matches(self, trace_path: Path) -> bool:
        """Whether the trace file is still the one these figures were taken from."""
        if self.trace_size is None:
            return False
        try:
            st = os.stat(trace_path)
        except OSError:
            return False
        return (st.st_size, st.st_mtime_ns, st.st_ino) == (self.trace_size, self.trace_mtime_ns, self.trace_inode)

    def check_list(self) -> list[Check]:
        from orrinth.checks import Check

        return [Check(name=c.name, passed=c.passed, score=c.score, turn=c.turn, agent=c.agent, problem=c.problem)
                for c in self.checks]


class RunMetadata(BaseModel):
    """One run's identity and outcome, as stored in the sidecar beside its trace.

    ``metadata`` holds the user's own values (model, provider, prompt_version, seed, tags,
    code_revision, anything JSON can hold). ``figures`` holds the run's totals and checks
    once it is complete, for readers that need nothing more. Unknown fields are refused when
    a model is built, and ignored when a sidecar written by a later version is read.
    """

    model_config = ConfigDict(extra="forbid", validate_assignment=True)

    run_id: Annotated[str, Field(min_length=1)] | None = None
    status: Literal["running", "completed", "failed"] = "running"
    started_at: FiniteFloat | None = None
    ended_at: FiniteFloat | None = None
    error: RunError | None = None
    metadata: dict[str, JsonValue] = Field(default_factory=dict)
    orrinth_version: str = __version__
    figures: RunFigures | None = None

    @field_validator("metadata")
    @classmethod
    def _finite(cls, value: dict[str, JsonValue]) -> dict[str, JsonValue]:
        _check_finite(value, "metadata")
        return value


_FIELDS = frozenset(RunMetadata.model_fields)


def sidecar_path(trace_path: str | os.PathLike[str]) -> Path:
    """The sidecar of a trace file: ``run-001.jsonl`` -> ``run-001.run.json``, in the same
    folder. A name without the ``.jsonl`` suffix gets ``.run.json`` appended."""
    path = Path(trace_path)
    if not path.name or path.name in (".", ".."):
        raise ValueError(f"{str(path)!r} names no file")
    if path.suffix == ".jsonl" and path.stem:
        return path.with_name(path.stem + SIDECAR_SUFFIX)
    return path.with_name(path.name + SIDECAR_SUFFIX)


def _parse(path: Path, raw: bytes) -> RunMetadata:
    try:
        data = json.loads(raw.decode("utf-8"))
    except ValueError as exc:  # JSONDecodeError and UnicodeDecodeError alike
        raise MetadataError(f"{path}: not valid run metadata: {exc}") from exc
    if not isinstance(data, dict):
        raise MetadataError(f"{path}: not valid run metadata: a JSON object is expected, not {type(data).__name__}")
    known = {k: v for k, v in data.items() if k in _FIELDS}  # pyright: ignore[reportUnknownVariableType]
    try:
        return RunMetadata.model_validate(known)
    except ValidationError as exc:
        problems = "; ".join(
            f"{'.'.join(str(p) for p in e['loc']) or 'value'}: {e['msg']}" for e in exc.errors(include_url=False)
        )
        raise MetadataError(f"{path}: not valid run metadata: {problems}") from exc


def read_metadata(trace_path: str | os.PathLike[str]) -> RunMetadata | None:
    """The metadata of the run recorded in ``trace_path``, or None when it has no sidecar.

    A sidecar that is not valid JSON or not valid metadata raises :class:`MetadataError`
    naming the file; one that cannot be read raises the ``OSError``.
    """
    path = sidecar_path(trace_path)
    try:
        raw = path.read_bytes()
    except FileNotFoundError:
        return None
    return _parse(path, raw)


def _umask() -> int:
    # Read without changing it: os.umask() sets it, which races with other threads.
    try:
        with open("/proc/self/status", encoding="ascii") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    return 0o022


def _mode_for(target: Path, trace: Path) -> int:
    """The permission bits for a new sidecar: those of the one it replaces, else the trace's,
    else what ``open(path, "w")`` would give."""
    for path in (target, trace):
        try:
            return os.stat(path).st_mode & 0o7777
        except OSError:
            continue
    return 0o666 & ~_umask()


def write_metadata(trace_path: str | os.PathLike[str], meta: RunMetadata, *, fsync: bool = True) -> Path:
    """Write ``meta`` as the sidecar of ``trace_path``, replacing any previous one atomically
    and, with ``fsync`` (the default), durably: synced before the rename and its folder after.
    Returns the sidecar's path. Missing folders are created."""
    if not isinstance(meta, RunMetadata):  # pyright: ignore[reportUnnecessaryIsInstance]
        raise TypeError(f"meta must be a RunMetadata, not {type(meta).__name__}")
    trace = Path(trace_path)
    target = sidecar_path(trace)
    data = (meta.model_dump_json(indent=2) + "\n").encode("utf-8")
    folder = target.parent
    folder.mkdir(parents=True, exist_ok=True)
    mode = _mode_for(target, trace)
    temp = folder / f".{target.name}.{secrets.token_hex(4)}.tmp"
    fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    try:
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            os.fchmod(fd, mode)
            if fsync:
                os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(temp, target)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise
    if fsync:
        _sync_directory(folder)
    return target


def _first_timestamp(trace: Trace) -> float | None:
    stamps = [e.timestamp for e in trace.events if e.timestamp]
    return min(stamps) if stamps else None


def save_run(
    trace: Trace,
    path: Path,
    metadata: Mapping[str, JsonValue] | RunMetadata | None = None,
    *,
    run_id: str | None = None,
) -> RunMetadata:
    """Save ``trace`` with ``to_jsonl`` and write its sidecar as a completed run.

    ``metadata`` is either the user's values (model, seed, tags, ...) or a whole
    :class:`RunMetadata`; ``run_id`` names the run (it replaces the one in a given
    RunMetadata). Without times of its own the run starts at its earliest event timestamp
    and ends now. The metadata is checked before anything is written; the trace is saved
    first, so that a sidecar never describes a trace that failed to save. Returns what was
    written.
    """
    if isinstance(metadata, RunMetadata):
        update: dict[str, Any] = {"status": "completed"} if metadata.status == "running" else {}
        if run_id is not None:
            update["run_id"] = run_id
        meta = RunMetadata.model_validate({**metadata.model_dump(), **update})
    else:
        meta = RunMetadata(run_id=run_id, status="completed", metadata=dict(metadata or {}))
    if meta.started_at is None:
        meta.started_at = _first_timestamp(trace)
    if meta.ended_at is None:
        meta.ended_at = time.time()
    trace.to_jsonl(path)
    meta.figures = RunFigures.of(trace).stamped(path)
    write_metadata(path, meta)
    return meta


def last_line_torn(path: Path) -> bool:
    """Whether the file's last line was cut short (read from the end, not the whole file)."""
    with open(path, "rb") as f:
        size = f.seek(0, os.SEEK_END)
        if size == 0:
            return False
        f.seek(size - 1)
        if f.read(1) in (b"\n", b"\r"):
            return False
        tail = b""
        pos = size
        while pos > 0 and b"\n" not in tail and b"\r" not in tail:
            step = min(pos, 1 << 16)
            pos -= step
            f.seek(pos)
            tail = f.read(step) + tail
    return _torn_tail(tail, _text_encoding()) is not None


def status_of(meta: RunMetadata | None, torn: bool) -> RunStatus:
    """A run's status from its sidecar (None: none) and whether its last line is torn."""
    if meta is not None and meta.status == "failed":
        return "failed"
    if torn or (meta is not None and meta.status == "running"):
        return "incomplete"
    return "completed"


def run_status(trace_path: str | os.PathLike[str]) -> RunStatus:
    """How the run recorded in ``trace_path`` ended.

    ``"failed"``: its sidecar says so. ``"incomplete"``: its sidecar still says "running"
    (the process died or never closed its recorder) or its last line is torn.
    ``"unreadable"``: the trace is missing or has a bad line before its last, or the
    sidecar is broken. ``"completed"`` otherwise, including a trace without a sidecar.
    """
    path = Path(trace_path)
    try:
        meta = read_metadata(path)
        data = path.read_bytes()
    except (OSError, ValueError):
        return "unreadable"
    start = _torn_tail(data, _text_encoding())
    try:
        _read_lines(path, data[: len(data) if start is None else start])
    except ValueError:
        return "unreadable"
    return status_of(meta, start is not None)
