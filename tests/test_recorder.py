"""The crash-safe recorder: the file it grows is what to_jsonl would write, a killed run
keeps every line written before the kill, and torn or failed writes lose nothing unsaid."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import warnings
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from orrinth.recorder import TornLineWarning, TraceRecorder, read_recording
from orrinth.runmeta import run_status
from orrinth.trace import Trace, TraceEvent
from support import child_env

texts = st.text(st.characters(blacklist_categories=("Cs",)), max_size=12)
events = st.builds(
    TraceEvent,
    type=st.sampled_from(["message", "state_change", "fault_injected", "property_check"]),
    turn=st.integers(-1, 50),
    agent=st.none() | texts,
    data=st.dictionaries(texts, st.integers() | texts | st.lists(st.booleans(), max_size=3), max_size=3),
    timestamp=st.floats(0, 2e9),
    input_tokens=st.integers(0, 10**6),
    cost_usd=st.floats(0, 10),
)


def child(source: str, *args: object) -> subprocess.Popen[str]:
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(source), *map(str, args)], env=child_env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def nth_event(i: int) -> TraceEvent:
    return TraceEvent(type="message", turn=i, agent=f"agent-{i % 3}", data={"i": i, "text": "é" * (i % 7)},
                      timestamp=1.5 * i, input_tokens=i, cost_usd=i / 1000)


@settings(max_examples=40, deadline=None)
@given(st.lists(events, max_size=8))
def test_file_grows_as_to_jsonl_writes_it(tmp_path_factory: pytest.TempPathFactory, recorded: list[TraceEvent]) -> None:
    work = tmp_path_factory.mktemp("rec")
    with TraceRecorder(work / "deep" / "run.jsonl") as rec:
        for n, event in enumerate(recorded, 1):
            rec.add_event(event)
            # Each line is in the file as soon as add_event returns.
            assert len((work / "deep" / "run.jsonl").read_bytes().splitlines()) == n
    plain = Trace()
    for event in recorded:
        plain.add_event(event)
    plain.to_jsonl(work / "plain.jsonl")
    assert (work / "deep" / "run.jsonl").read_bytes() == (work / "plain.jsonl").read_bytes()
    assert rec.events == recorded and rec.closed
    assert rec.cost_summary() == plain.cost_summary()
    assert Trace.from_jsonl(work / "deep" / "run.jsonl").events == recorded


@pytest.mark.parametrize("fsync", [False, True])
def test_a_killed_run_keeps_every_line_written_before_the_kill(tmp_path: Path, fsync: bool) -> None:
    path = tmp_path / "run.jsonl"
    proc = child(
        """
        import sys
        from pathlib import Path
        from test_recorder import nth_event
        from orrinth.recorder import TraceRecorder
        rec = TraceRecorder(Path(sys.argv[1]), fsync=sys.argv[2] == "True")
        i = 0
        while True:
            rec.add_event(nth_event(i))
            i += 1
        """,
        path, fsync,
    )
    try:
        deadline = time.monotonic() + 60
        while (not path.exists() or path.read_bytes().count(b"\n") < 200) and time.monotonic() < deadline:
            assert proc.poll() is None, proc.communicate()
            time.sleep(0.01)
        proc.send_signal(signal.SIGKILL)
    finally:
        proc.kill()
        proc.communicate()
    assert proc.returncode == -signal.SIGKILL
    loaded = Trace.from_jsonl(path).events
    assert len(loaded) >= 200 and path.read_bytes().endswith(b"\n")
    assert loaded == [nth_event(i) for i in range(len(loaded))]
    assert run_status(path) == "incomplete"  # its sidecar still says "running"


TORN = [
    pytest.param(b'{"type":"message","tu', id="cut-json"),
    pytest.param('{"type":"message","turn":1,"data":{"t":"é'.encode()[:-1], id="cut-utf8"),
    pytest.param(b'{"type":"message","turn":"x"}', id="complete-json-not-an-event"),
]


@pytest.mark.parametrize("tail", TORN)
def test_a_torn_last_line_is_left_out_with_a_warning_and_set_aside_on_resume(tmp_path: Path, tail: bytes) -> None:
    path = tmp_path / "run.jsonl"
    with TraceRecorder(path) as rec:
        for i in range(3):
            rec.add_event(nth_event(i))
    with open(path, "ab") as f:
        f.write(tail)
    with pytest.raises(ValueError):
        Trace.from_jsonl(path)
    with pytest.warns(TornLineWarning, match=rf"{path}: line 4 is incomplete \({len(tail)} bytes"):
        assert read_recording(path).events == rec.events
    assert path.read_bytes().endswith(tail)  # reading changes nothing

    with pytest.warns(TornLineWarning, match="moved to .*run.jsonl.torn"):
        resumed = TraceRecorder(path, mode="a")
    with resumed:
        assert resumed.events == rec.events
        resumed.add_event(nth_event(3))
    assert Trace.from_jsonl(path).events == [nth_event(i) for i in range(4)]
    assert (tmp_path / "run.jsonl.torn").read_bytes() == tail + b"\n"


@pytest.mark.parametrize("tail", [b"", b"\n\n", b"  \t", nth_event(9).model_dump_json().encode()])
def test_resume_keeps_a_complete_or_blank_last_line(tmp_path: Path, tail: bytes) -> None:
    path = tmp_path / "run.jsonl"
    path.write_bytes(nth_event(0).model_dump_json().encode() + b"\n" + tail)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        expected = read_recording(path).events
        with TraceRecorder(path, mode="a") as rec:
            rec.add_event(nth_event(1))
    assert Trace.from_jsonl(path).events == rec.events == [*expected, nth_event(1)]
    assert not (tmp_path / "run.jsonl.torn").exists()


def test_a_write_that_fails_midway_leaves_neither_a_partial_line_nor_the_event(tmp_path: Path) -> None:
    # A file size limit stands for a full disk: the line that crosses it is cut short.
    proc = child(
        """
        import resource, signal, sys
        from pathlib import Path
        from orrinth.recorder import TraceRecorder
        from orrinth.trace import Trace, TraceEvent
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1000, 1000))
        path = Path(sys.argv[1])
        rec = TraceRecorder(path)
        try:
            for i in range(100):
                rec.add_event(TraceEvent(type="message", turn=i, data={"pad": "x" * 40}))
        except OSError as exc:
            print(exc.errno, len(rec.events), len(path.read_bytes()))
        assert Trace.from_jsonl(path).events == rec.events
        """,
        tmp_path / "run.jsonl",
    )
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0, err
    errno_, kept, size = map(int, out.split())
    assert errno_ == 27 and 0 < kept < 100  # EFBIG
    assert size == len((tmp_path / "run.jsonl").read_bytes()) <= 1000


def test_misuse_is_refused_clearly(tmp_path: Path) -> None:
    path = tmp_path / "run.jsonl"
    rec = TraceRecorder(str(path))
    with pytest.raises(Exception, match="serializ"):
        rec.add_event(TraceEvent(type="message", turn=1, data={"x": object()}))
    assert rec.events == [] and path.read_bytes() == b""
    with pytest.raises(TypeError, match="Trace.from_jsonl"):
        TraceRecorder.from_jsonl(path)
    rec.close()
    rec.close()
    with pytest.raises(ValueError, match="closed"):
        rec.add_event(nth_event(0))
    with pytest.raises(FileExistsError):
        TraceRecorder(path, mode="x")
    with pytest.raises(ValueError, match="mode"):
        TraceRecorder(path, mode="r")  # type: ignore[arg-type]
    assert isinstance(rec.snapshot(3), Trace) and type(rec.snapshot(3)) is Trace


def test_threads_adding_at_once_leave_the_file_in_the_trace_order(tmp_path: Path) -> None:
    with TraceRecorder(tmp_path / "run.jsonl") as rec:
        threads = [threading.Thread(target=lambda k=k: [rec.add_event(nth_event(1000 * k + i)) for i in range(150)])
                   for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert len(rec.events) == 600 and Trace.from_jsonl(tmp_path / "run.jsonl").events == rec.events


def _record_syncs(monkeypatch: pytest.MonkeyPatch) -> list[str]:
    """The paths of everything os.fsync is called on from now on (it still syncs)."""
    synced: list[str] = []
    real = os.fsync

    def spy(fd: int) -> None:
        synced.append(os.readlink(f"/proc/self/fd/{fd}"))
        real(fd)

    monkeypatch.setattr(os, "fsync", spy)
    return synced


@pytest.mark.parametrize("fsync", [False, True])
def test_new_names_reach_the_device_with_their_lines(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                      fsync: bool) -> None:
    # A synced line in a file whose own name, or whose folder's, was never synced is lost
    # with the file on a power loss; the side file of a torn line too, once cut from the file.
    path = tmp_path / "new" / "deeper" / "run.jsonl"
    synced = _record_syncs(monkeypatch)
    with TraceRecorder(path, fsync=fsync, sidecar=False) as rec:  # the sidecar's syncs: test_runmeta
        rec.add_event(nth_event(0))
    folders = [str(path.parent), str(path.parent.parent), str(tmp_path)]
    assert [p for p in synced if p != str(path)] == (folders if fsync else [])
    with open(path, "ab") as f:
        f.write(b'{"type":"mess')
    synced.clear()
    with pytest.warns(TornLineWarning):
        TraceRecorder(path, mode="a", fsync=fsync, sidecar=False).close()
    side = str(path) + ".torn"
    assert synced[:2] == [side, str(path.parent)]
