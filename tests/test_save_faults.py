"""Saving a trace that fails midway: the previous file survives and nothing is left behind.

Failures come from the events themselves (data without a JSON form, a dump that raises or
returns a non-str), from the file object (write or close raising) and from the file system
(a file size limit, a full tmpfs), the last two in child processes.
"""

import errno
import gc
import os
import pathlib
import shutil
import stat
import subprocess
import sys
import textwrap
import warnings

import pydantic_core
import pytest

from orrinth.trace import Trace, TraceEvent

from support import child_env, run_python

PREVIOUS = '{"type":"message","turn":7,"agent":"before"}\n'


def listing(directory):
    return sorted(os.listdir(directory))


def make_trace(n=5, bad_at=None, bad=None):
    trace = Trace()
    for i in range(n):
        trace.add_event(bad if i == bad_at else
                        TraceEvent(type="message", turn=i, agent="a", data={"i": i}))
    return trace


class DumpRaises:
    """A stand-in event whose dump fails with a given exception."""

    def __init__(self, exc):
        self.exc = exc

    def model_dump_json(self):
        raise self.exc


class DumpReturns:
    def __init__(self, value):
        self.value = value

    def model_dump_json(self):
        return self.value


@pytest.fixture
def target(tmp_path):
    path = tmp_path / "run.jsonl"
    path.write_text(PREVIOUS)
    return path


class TestFailedSaveKeepsPreviousFile:
    @pytest.mark.parametrize("bad_at", [0, 2, 4])
    def test_unserialisable_data(self, target, bad_at):
        bad = TraceEvent(type="message", turn=0, data={"x": object()})
        with pytest.raises(pydantic_core.PydanticSerializationError):
            make_trace(bad_at=bad_at, bad=bad).to_jsonl(target)
        assert target.read_text() == PREVIOUS
        assert listing(target.parent) == ["run.jsonl"]

    @pytest.mark.parametrize("exc", [OSError(errno.EIO, "disk on fire"), KeyboardInterrupt(),
                                     RuntimeError("boom")], ids=type)
    def test_dump_raises_same_exception(self, target, exc):
        with pytest.raises(type(exc)) as info:
            make_trace(bad_at=3, bad=DumpRaises(exc)).to_jsonl(target)
        assert info.value is exc
        assert target.read_text() == PREVIOUS
        assert listing(target.parent) == ["run.jsonl"]

    def test_dump_returns_non_str(self, target):
        with pytest.raises(TypeError):
            make_trace(bad_at=1, bad=DumpReturns(5)).to_jsonl(target)
        assert target.read_text() == PREVIOUS
        assert listing(target.parent) == ["run.jsonl"]

    def test_unencodable_text(self, target):
        # A lone surrogate has no UTF-8 form, whoever produced it.
        with pytest.raises(UnicodeEncodeError):
            make_trace(bad_at=2, bad=DumpReturns('{"x":"\ud800"}')).to_jsonl(target)
        assert target.read_text() == PREVIOUS
        assert listing(target.parent) == ["run.jsonl"]

    def test_failed_first_save_leaves_nothing(self, tmp_path):
        path = tmp_path / "deep" / "run.jsonl"
        with pytest.raises(RuntimeError):
            make_trace(bad_at=4, bad=DumpRaises(RuntimeError())).to_jsonl(path)
        assert not path.exists()
        # The parent directory is made before anything is written, and stays.
        assert listing(path.parent) == []

    def test_failed_save_through_symlink_keeps_both(self, tmp_path, target):
        link = tmp_path / "link.jsonl"
        link.symlink_to(target)
        with pytest.raises(RuntimeError):
            make_trace(bad_at=0, bad=DumpRaises(RuntimeError())).to_jsonl(link)
        assert link.is_symlink() and target.read_text() == PREVIOUS
        assert listing(tmp_path) == ["link.jsonl", "run.jsonl"]

    def test_directory_in_the_way(self, tmp_path):
        (tmp_path / "run.jsonl").mkdir()
        with pytest.raises(IsADirectoryError):
            make_trace().to_jsonl(tmp_path / "run.jsonl")
        assert listing(tmp_path) == ["run.jsonl"] and listing(tmp_path / "run.jsonl") == []

    def test_failed_save_closes_its_file(self, target):
        # A file dropped unclosed warns when collected, from inside its finaliser.
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", ResourceWarning)
            for _ in range(20):
                with pytest.raises(RuntimeError):
                    make_trace(bad_at=2, bad=DumpRaises(RuntimeError())).to_jsonl(target)
            gc.collect()
        assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []
        assert listing(target.parent) == ["run.jsonl"]

    @pytest.mark.parametrize("content", [b"not json\n", b'{"type":"x","turn":0}\n', b"\xff\n"])
    def test_failed_read_closes_its_file(self, tmp_path, content):
        path = tmp_path / "bad.jsonl"
        path.write_bytes(content)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", ResourceWarning)
            for _ in range(20):
                with pytest.raises(ValueError):  # each of the three read errors is one
                    Trace.from_jsonl(path)
            gc.collect()
        assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []


class TestSuccessfulSaveReplaces:
    def test_content_replaced_and_no_leftovers(self, target):
        make_trace(3).to_jsonl(target)
        assert [e.turn for e in Trace.from_jsonl(target).events] == [0, 1, 2]
        assert listing(target.parent) == ["run.jsonl"]

    def test_permission_bits_kept(self, target):
        target.chmod(0o640)
        make_trace(2).to_jsonl(target)
        assert stat.S_IMODE(target.stat().st_mode) == 0o640

    def test_symlink_kept_and_its_target_written(self, tmp_path, target):
        link = tmp_path / "link.jsonl"
        link.symlink_to(target)
        make_trace(2).to_jsonl(link)
        assert link.is_symlink()
        assert len(target.read_text().splitlines()) == 2


class FaultyFile:
    """A file object for path stand-ins: records what happens and fails where told."""

    def __init__(self, fail_write_at=None, fail_close=False):
        self.fail_write_at = fail_write_at
        self.fail_close = fail_close
        self.lines = []
        self.closed = 0

    def write(self, text):
        if len(self.lines) == self.fail_write_at:
            raise OSError(errno.ENOSPC, "No space left on device")
        self.lines.append(text)
        return len(text)

    def close(self):
        self.closed += 1
        if self.fail_close:
            raise ValueError("close failed")

    def __iter__(self):
        return iter(self.lines)


class FakePath:
    def __init__(self, file):
        self.file = file
        self.opened = []

    @property
    def parent(self):
        return self

    def mkdir(self, parents, exist_ok):
        pass

    def open(self, *args):
        self.opened.append(args)
        return self.file


class TestFileObjectFaults:
    def test_write_fails(self):
        f = FaultyFile(fail_write_at=2)
        with pytest.raises(OSError) as info:
            make_trace().to_jsonl(FakePath(f))
        assert info.value.errno == errno.ENOSPC
        assert len(f.lines) == 2 and f.closed == 1

    def test_close_fails_after_success(self):
        f = FaultyFile(fail_close=True)
        with pytest.raises(ValueError, match="close failed"):
            make_trace(3).to_jsonl(FakePath(f))
        assert len(f.lines) == 3 and f.closed == 1

    def test_close_fails_after_write_failed(self):
        # As a `finally:` that fails: the close error wins and carries the write error.
        f = FaultyFile(fail_write_at=1, fail_close=True)
        with pytest.raises(ValueError) as info:
            make_trace().to_jsonl(FakePath(f))
        assert isinstance(info.value.__context__, OSError)
        assert f.closed == 1

    @pytest.mark.parametrize("line", ["not json", '{"type":"nope","turn":0}', "[1]"])
    def test_read_closes_on_bad_line(self, line):
        f = FaultyFile()
        f.lines = ['{"type":"message","turn":0}\n', line]
        with pytest.raises(ValueError):  # JSONDecodeError and ValidationError both are
            Trace.from_jsonl(FakePath(f))
        assert f.closed == 1

    def test_path_subclass_open_is_honoured(self, tmp_path):
        f = FaultyFile(fail_write_at=0)

        class OwnOpen(type(pathlib.Path())):
            def open(self, *args, **kwargs):
                calls.append(args)
                return f

        calls = []
        with pytest.raises(OSError):
            make_trace().to_jsonl(OwnOpen(tmp_path / "x.jsonl"))
        assert calls == [("w",)] and f.closed == 1
        assert listing(tmp_path) == []


FSIZE_CHILD = """
    import errno, pathlib, resource, signal, sys
    from orrinth.trace import Trace, TraceEvent
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    target = pathlib.Path(sys.argv[1])
    limit = int(sys.argv[2])
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    trace = Trace()
    for i in range(200):
        trace.add_event(TraceEvent(type="message", turn=i, data={"blob": "x" * 2000}))
    try:
        trace.to_jsonl(target)
    except OSError as e:
        print("errno", errno.errorcode.get(e.errno))
    else:
        print("saved")
"""


class TestFileSystemFull:
    @pytest.mark.parametrize("limit", [1, 4096, 100_000])
    def test_file_size_limit(self, target, limit):
        proc = run_python(FSIZE_CHILD, target, limit)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert proc.stdout.strip() == "errno EFBIG"
        assert target.read_text() == PREVIOUS
        assert listing(target.parent) == ["run.jsonl"]

    def test_file_size_limit_without_previous_file(self, tmp_path):
        proc = run_python(FSIZE_CHILD, tmp_path / "new.jsonl", 4096)
        assert proc.stdout.strip() == "errno EFBIG", proc.stdout + proc.stderr
        assert listing(tmp_path) == []

    def test_full_tmpfs(self, tmp_path):
        unshare = shutil.which("unshare")
        if unshare is None or os.geteuid() != 0:
            pytest.skip("needs root and unshare to mount a private tmpfs")
        mnt = tmp_path / "mnt"
        mnt.mkdir()
        child = textwrap.dedent("""
            import errno, pathlib, sys
            from orrinth.trace import Trace, TraceEvent
            target = pathlib.Path(sys.argv[1]) / "run.jsonl"
            target.write_text(sys.argv[2])
            trace = Trace()
            for i in range(200):
                trace.add_event(TraceEvent(type="message", turn=i, data={"blob": "x" * 2000}))
            try:
                trace.to_jsonl(target)
            except OSError as e:
                print("errno", errno.errorcode.get(e.errno))
            print(target.read_text() == sys.argv[2], sorted(p.name for p in target.parent.iterdir()))
        """)
        env = child_env()
        script = 'mount -t tmpfs -o size=128k tmpfs "$1" || exit 77; exec "$2" -c "$3" "$1" "$4"'
        proc = subprocess.run([unshare, "-m", "--propagation", "private", "sh", "-c", script,
                               "sh", str(mnt), sys.executable, child, PREVIOUS],
                              capture_output=True, text=True, timeout=120, env=env)
        if proc.returncode == 77 or "unshare failed" in proc.stderr:
            pytest.skip("cannot mount a tmpfs here: " + proc.stderr.strip())
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert proc.stdout.split("\n")[:2] == ["errno ENOSPC", "True ['run.jsonl']"]
