"""The crash-safe recorder: the file it grows is what to_jsonl would write, a killed run
keeps every line written before the kill, and torn or failed writes lose nothing unsaid."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import warnings
from pathlib import Path
from typing import Any

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


# Lines a file may hold, good and bad, and the last line a write may leave: (bytes, torn).
LINES = [nth_event(1).model_dump_json().encode(), b'{"type":"state_change","turn":2}', b"", b" \t",
         b'{"type":"message"}', b"[1]", b'{"type":"message","turn":1', b'{"type":"message","turn":1,"data":{"x":"\xff"}}']
TAILS = [(b"", False), (b"  ", False), (nth_event(2).model_dump_json().encode(), False), (b'{"type":"mess', True),
         (b'{"type":"message","turn":"x"}', True), ('{"type":"message","turn":3,"data":{"t":"é'.encode()[:-1], True)]


def read_outcome(read: Any, path: Path) -> tuple[tuple[Any, ...], list[tuple[type[Warning], str]]]:
    """The events read, or the failure as (type, message, notes); and the warnings given."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result: tuple[Any, ...] = ("ok", read(path).events)
        except ValueError as exc:  # decoding, JSON and validation errors alike
            result = (type(exc), str(exc), getattr(exc, "__notes__", None))
    return result, [(w.category, str(w.message)) for w in caught]


def resumed(path: Path) -> Trace:
    with TraceRecorder(path, mode="a") as rec:
        return rec


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(LINES), st.sampled_from([b"\n", b"\r\n", b"\r"])), max_size=6),
       st.sampled_from(TAILS))
def test_the_complete_lines_are_read_as_from_jsonl_reads_them(
    tmp_path_factory: pytest.TempPathFactory, rows: list[tuple[bytes, bytes]], tail: tuple[bytes, bool]
) -> None:
    # Whatever the line ends and the bad lines before it, reading a recording (or resuming
    # it) gives what from_jsonl gives for the file without its torn last line, errors and
    # notes included; the warning names the line that from_jsonl refuses in the whole file.
    path = tmp_path_factory.mktemp("lines") / "run.jsonl"
    complete = b"".join(line + end for line, end in rows)
    text, torn = tail
    written = complete + text
    path.write_bytes(written)
    whole = read_outcome(Trace.from_jsonl, path)[0]
    path.write_bytes(complete if torn else written)
    expected = read_outcome(Trace.from_jsonl, path)[0]
    for read in (read_recording, resumed):
        path.write_bytes(written)
        got, warned = read_outcome(read, path)
        assert got == expected
        assert [c for c, _ in warned] == ([TornLineWarning] if torn else [])
        if torn and expected[0] == "ok":
            assert f"line {whole[2][-1].rpartition(', line ')[2]} is incomplete" in warned[0][1]


# Two recorders of one file in two processes on a small tmpfs, both writing long and short
# lines past the point where the file system is full: every line either was acknowledged
# and is in the file whole, or raised and left nothing.
ONE_WRITER = """
    import json, os, pathlib, random, sys, time
    from orrinth.recorder import TraceRecorder
    from orrinth.trace import TraceEvent
    path, me = pathlib.Path(sys.argv[1]), sys.argv[2]
    rng, acked = random.Random(me), []
    rec = TraceRecorder(path, mode="a", sidecar=False)
    while not os.path.exists(str(path) + ".go"):
        time.sleep(0.0005)
    for seq in range(4000):
        pad = "x" * rng.choice([rng.randint(10, 300), rng.randint(3000, 60000)])
        try:
            rec.add_event(TraceEvent(type="message", turn=seq, agent=me, data={"pad": pad}))
            acked.append(seq)
        except OSError:
            pass
    rec.close()
    print(json.dumps(acked))
"""
TWO_WRITERS = """
    import json, os, pathlib, random, subprocess, sys, time
    path, writer = pathlib.Path(sys.argv[1]) / "run.jsonl", sys.argv[2]
    path = pathlib.Path(sys.argv[1]) / "run.jsonl"
    path.touch()
    procs = [subprocess.Popen([sys.executable, "-c", writer, str(path), w], stdout=subprocess.PIPE, text=True)
             for w in "AB"]
    time.sleep(1.0)
    (path.parent / "run.jsonl.go").touch()
    acked = {w: json.loads(p.communicate()[0]) for w, p in zip("AB", procs)}
    lines = [ln for ln in path.read_bytes().split(b"\\n") if ln.strip()]
    found = {"A": [], "B": []}
    bad = 0
    for ln in lines:
        try:
            record = json.loads(ln)
            found[record["agent"]].append(record["turn"])
        except ValueError:
            bad += 1
    print(json.dumps([bad, {w: found[w] == acked[w] for w in "AB"}, sum(map(len, acked.values()))]))
"""


@pytest.mark.parametrize("attempt", range(2))
def test_two_recorders_on_a_full_tmpfs_never_cut_off_each_others_lines(tmp_path: Path, attempt: int) -> None:
    import shutil
    unshare = shutil.which("unshare")
    if unshare is None or os.geteuid() != 0:
        pytest.skip("needs root and unshare to mount a small tmpfs")
    proc = subprocess.run([unshare, "-m", "--propagation", "private", "sh", "-c",
                           'mount -t tmpfs -o size=8m tmpfs "$1" || exit 77; shift; exec "$@"', "sh",
                           str(tmp_path), sys.executable, "-c", textwrap.dedent(TWO_WRITERS), str(tmp_path),
                           textwrap.dedent(ONE_WRITER)],
                          capture_output=True, text=True, timeout=300, env=child_env())
    if proc.returncode == 77 or "unshare failed" in proc.stderr:
        pytest.skip("mounting is not allowed here: " + proc.stderr.strip())
    assert proc.returncode == 0, proc.stderr
    bad, in_order_and_whole, acked = json.loads(proc.stdout)
    assert (bad, in_order_and_whole) == (0, {"A": True, "B": True}) and acked > 0


@pytest.mark.parametrize("bits", [0o600, 0o640, 0o604])
def test_the_torn_side_file_gets_the_recordings_bits(tmp_path: Path, bits: int) -> None:
    path = tmp_path / "run.jsonl"
    path.write_bytes(b'{"type":"message","turn":1}\n{"type":"mess')
    os.chmod(path, bits)
    if os.geteuid() == 0:
        os.chown(path, -1, 65534)
    old = os.umask(0)  # the widest a process could create it with
    try:
        with pytest.warns(TornLineWarning):
            TraceRecorder(path, mode="a", sidecar=False).close()
    finally:
        os.umask(old)
    side = os.stat(tmp_path / "run.jsonl.torn")
    assert side.st_mode & 0o777 == bits
    if os.geteuid() == 0:
        assert side.st_gid == 65534
