"""Run metadata beside the trace: the name rule, durable round trips, broken sidecars, status."""

from __future__ import annotations

import json
import os
import stat
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st
from pydantic import ValidationError

from orrinth.recorder import TraceRecorder
from orrinth.runmeta import MetadataError, RunError, RunMetadata, read_metadata, run_status, save_run, sidecar_path, write_metadata
from orrinth.trace import Trace, TraceEvent


@pytest.mark.parametrize(("trace", "sidecar"), [
    ("runs/run-001.jsonl", "runs/run-001.run.json"),
    ("run.log", "run.log.run.json"),
    (".jsonl", ".jsonl.run.json"),
    ("a.b.jsonl", "a.b.run.json"),
])
def test_the_sidecar_sits_beside_its_trace(trace: str, sidecar: str) -> None:
    assert sidecar_path(Path(trace)) == Path(sidecar)


@given(st.text(st.characters(blacklist_characters="/\0", blacklist_categories=("Cs",)), min_size=1, max_size=20))
def test_no_sidecar_is_found_as_a_trace_and_no_two_traces_share_one(stem: str) -> None:
    if stem in (".", ".."):
        return
    for name in (stem, stem + ".jsonl"):
        side = sidecar_path(Path("d") / name)
        assert side.parent == Path("d") and not side.match("*.jsonl") and side.name != name
    # The rule is one to one among *.jsonl names and the others.
    assert sidecar_path(Path(stem + ".jsonl")) != sidecar_path(Path(stem + ".json"))


json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=5), inner, max_size=3),
    max_leaves=8,
)


@given(st.dictionaries(st.text(max_size=8), json_values, max_size=4))
def test_metadata_comes_back_as_written(tmp_path_factory: pytest.TempPathFactory, values: dict) -> None:
    trace = tmp_path_factory.mktemp("rt") / "run.jsonl"
    meta = RunMetadata(run_id="r1", status="failed", started_at=1.5, ended_at=2.0,
                       error=RunError(type="KeyError", message="'x'"), metadata=values)
    write_metadata(trace, meta)
    assert read_metadata(trace) == meta
    assert sorted(p.name for p in trace.parent.iterdir()) == ["run.run.json"]  # no temporary file left


def test_the_sidecar_is_as_private_as_its_trace(tmp_path: Path) -> None:
    trace = tmp_path / "run.jsonl"
    trace.write_text("")
    trace.chmod(0o640)
    write_metadata(trace, RunMetadata())
    assert stat.S_IMODE(os.stat(sidecar_path(trace)).st_mode) == 0o640


@pytest.mark.parametrize(("content", "says"), [
    (b"{", "Expecting"),
    (b"\xff\xfe", "decode"),
    (b"[1, 2]", "a JSON object is expected, not list"),
    (b'{"status": "done"}', "status"),
    (b'{"metadata": {"seed": NaN}}', "metadata"),
    (b'{"started_at": "yesterday"}', "started_at"),
])
def test_a_broken_sidecar_is_an_error_naming_it(tmp_path: Path, content: bytes, says: str) -> None:
    trace = tmp_path / "run.jsonl"
    sidecar_path(trace).write_bytes(content)
    with pytest.raises(MetadataError, match=says) as info:
        read_metadata(trace)
    assert str(sidecar_path(trace)) in str(info.value)
    assert run_status(trace) == "unreadable"


def test_fields_from_a_later_version_are_ignored_but_typos_are_refused(tmp_path: Path) -> None:
    trace = tmp_path / "run.jsonl"
    sidecar_path(trace).write_text(json.dumps({"run_id": "x", "status": "completed", "future_field": 1}))
    assert read_metadata(trace) == RunMetadata(run_id="x", status="completed", orrinth_version=RunMetadata().orrinth_version)
    with pytest.raises(ValidationError):
        RunMetadata(modle="gpt")  # type: ignore[call-arg]
    with pytest.raises(ValidationError, match="JSON cannot hold"):
        RunMetadata(metadata={"x": [float("inf")]})


def test_save_run_writes_the_trace_then_a_completed_sidecar(tmp_path: Path) -> None:
    trace = Trace()
    trace.add_event(TraceEvent(type="message", turn=1, agent="a", timestamp=100.0))
    path = tmp_path / "sub" / "run.jsonl"
    meta = save_run(trace, path, {"model": "m", "seed": 3}, run_id="run-1")
    assert Trace.from_jsonl(path).events == trace.events
    assert read_metadata(path) == meta
    assert (meta.status, meta.run_id, meta.metadata, meta.started_at) == ("completed", "run-1", {"model": "m", "seed": 3}, 100.0)
    assert meta.ended_at is not None and meta.ended_at >= 100.0
    # A trace that cannot be saved leaves no sidecar.
    bad = Trace()
    bad.add_event(TraceEvent(type="message", turn=1, data={"x": object()}))
    with pytest.raises(Exception):
        save_run(bad, tmp_path / "bad.jsonl", {"model": "m"})
    assert not sidecar_path(tmp_path / "bad.jsonl").exists()


GOOD = b'{"type":"message","turn":1}\n'


@pytest.mark.parametrize(("sidecar", "body", "expected"), [
    (None, GOOD, "completed"),
    (None, b"", "completed"),
    ("completed", GOOD, "completed"),
    ("running", GOOD, "incomplete"),
    (None, GOOD + b'{"type":"mess', "incomplete"),
    ("completed", GOOD + b'{"type":"mess', "incomplete"),
    ("failed", GOOD + b'{"type":"mess', "failed"),
    ("failed", GOOD, "failed"),
    (None, b'{"type":"mess\n' + GOOD, "unreadable"),
    (None, GOOD + b'{"type":"nope","turn":1}\n', "unreadable"),
    ("completed", None, "unreadable"),
])
def test_run_status(tmp_path: Path, sidecar: str | None, body: bytes | None, expected: str) -> None:
    trace = tmp_path / "run.jsonl"
    if body is not None:
        trace.write_bytes(body)
    if sidecar is not None:
        write_metadata(trace, RunMetadata(status=sidecar))  # type: ignore[arg-type]
    assert run_status(trace) == expected


def test_a_recorder_keeps_its_sidecar_through_the_run(tmp_path: Path) -> None:
    path = tmp_path / "run.jsonl"
    with TraceRecorder(path, metadata={"model": "m", "seed": 1}, run_id="r-1") as rec:
        rec.add_event(TraceEvent(type="message", turn=1))
        running = read_metadata(path)
        assert running is not None and running.status == "running" and run_status(path) == "incomplete"
    done = read_metadata(path)
    assert done == rec.metadata and done is not None
    assert (done.status, done.run_id, done.metadata, done.error) == ("completed", "r-1", {"model": "m", "seed": 1}, None)
    assert done.ended_at is not None and running.started_at is not None and done.ended_at >= running.started_at

    # Continuing keeps the id, the start and the values, adds new values, and records a failure.
    with pytest.raises(KeyError):
        with TraceRecorder(path, mode="a", metadata={"seed": 2, "tags": ["retry"]}) as rec:
            raise KeyError("lookup")
    failed = read_metadata(path)
    assert failed is not None and run_status(path) == "failed"
    assert (failed.run_id, failed.started_at, failed.metadata) == ("r-1", done.started_at, {"model": "m", "seed": 2, "tags": ["retry"]})
    assert failed.error == RunError(type="KeyError", message="'lookup'")


def test_recorder_metadata_is_checked_before_the_file_is_touched(tmp_path: Path) -> None:
    path = tmp_path / "run.jsonl"
    path.write_bytes(GOOD)
    with pytest.raises(ValidationError):
        TraceRecorder(path, metadata={"x": float("nan")})
    with pytest.raises(FileExistsError):
        TraceRecorder(path, mode="x", run_id="other")
    assert path.read_bytes() == GOOD and not sidecar_path(path).exists()
    with pytest.raises(ValueError, match="need sidecar=True"):
        TraceRecorder(path, run_id="r", sidecar=False)
    TraceRecorder(path, sidecar=False).close()
    assert not sidecar_path(path).exists() and run_status(path) == "completed"


@pytest.mark.parametrize("fsync", [False, True])
def test_the_sidecar_is_as_durable_as_the_recording(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, fsync: bool) -> None:
    synced: list[str] = []
    real = os.fsync
    monkeypatch.setattr(os, "fsync", lambda fd: (synced.append(os.readlink(f"/proc/self/fd/{fd}")), real(fd))[1])
    TraceRecorder(tmp_path / "run.jsonl", fsync=fsync).close()
    # Each sidecar write (on open, on close) syncs its temporary file and then the folder.
    temps = [p for p in synced if p.endswith(".tmp")]
    assert len(temps) == (2 if fsync else 0) and synced.count(str(tmp_path)) == (3 if fsync else 0)
