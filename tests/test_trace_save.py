"""Trace.to_jsonl: the atomic save and where it falls back to writing in place, saves that
fail midway, and saves where the file system gets in the way.

A failed save leaves the previous file whole and nothing beside it. Failures come from the
events themselves (data without a JSON form, a dump that raises or returns a non-str), from
the file object (write or close raising) and from the file system (a file size limit, a
full tmpfs, no free descriptors or inodes, a name too long for a temporary one, a target
that cannot be renamed over, a killed saver). Besides atomicity a save promises a temporary
file nobody else can read, data on disk before the rename, and the target's mode, group
and extended attributes kept.

Cases that need their own mounts run in a private mount namespace (`unshare -m`, as root)
and are skipped with the reason where that is not allowed; cases that act as another user
need root.
"""

import errno
import gc
import json
import os
import pathlib
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import textwrap
import types
import warnings

import pydantic_core
import pytest

from orrinth.trace import Trace, TraceEvent

from support import LINE1, LINE2, child_env, run_python, sample, unserialisable

PREVIOUS = '{"type":"message","turn":7,"agent":"before"}\n'
NOBODY = 65534
IS_ROOT = hasattr(os, "geteuid") and os.geteuid() == 0


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


# Mounts a tmpfs (options $2) on $1 and runs the rest of the arguments there; exits 77
# when mounting is not allowed. With a fourth argument, that file is bind-mounted over
# the target first.
IN_MOUNT = """
    set -e
    mount -t tmpfs -o "$2" tmpfs "$1" || exit 77
    printf '%s' "$PREVIOUS" > "$1/run.jsonl"
    if [ "$3" = bind ]; then
        printf '%s' "$PREVIOUS" > "$1/source.jsonl"
        mount --bind "$1/source.jsonl" "$1/run.jsonl" || exit 77
    fi
    shift 3
    exec "$@"
"""


def in_private_mount(directory, options, bind, *command):
    unshare = shutil.which("unshare")
    if unshare is None or not IS_ROOT:
        pytest.skip("needs root and unshare for a private mount")
    env = dict(child_env(), PREVIOUS=PREVIOUS)
    proc = subprocess.run([unshare, "-m", "--propagation", "private", "sh", "-c",
                           textwrap.dedent(IN_MOUNT), "sh", str(directory), options,
                           "bind" if bind else "-", *command],
                          capture_output=True, text=True, timeout=120, env=env)
    if proc.returncode == 77 or "unshare failed" in proc.stderr:
        pytest.skip("mounting is not allowed here: " + proc.stderr.strip())
    return proc


# --------------------------------------------------------------------------- the atomic save

class TestAtomicSave:
    def test_failed_save_keeps_old_file(self, tmp_path):
        path = tmp_path / "t.jsonl"
        sample().to_jsonl(path)
        os.chmod(path, 0o640)
        before = path.read_bytes()
        with pytest.raises(pydantic_core.PydanticSerializationError) as raised:
            unserialisable().to_jsonl(path)
        assert str(raised.value) == "Unable to serialize unknown type: <class 'object'>"
        assert path.read_bytes() == before and os.listdir(tmp_path) == ["t.jsonl"]
        assert stat.S_IMODE(path.stat().st_mode) == 0o640

    def test_failed_save_to_new_file_leaves_nothing(self, tmp_path):
        with pytest.raises(pydantic_core.PydanticSerializationError):
            unserialisable().to_jsonl(tmp_path / "d" / "t.jsonl")
        assert os.listdir(tmp_path / "d") == []

    def test_replaced_file_keeps_mode(self, tmp_path):
        path = tmp_path / "t.jsonl"
        path.write_text("old")
        os.chmod(path, 0o604)
        inode = path.stat().st_ino
        sample().to_jsonl(path)
        assert stat.S_IMODE(path.stat().st_mode) == 0o604 and path.stat().st_ino != inode
        assert path.read_text() == LINE1 + LINE2 and os.listdir(tmp_path) == ["t.jsonl"]

    @pytest.mark.parametrize("umask", [0o022, 0o027, 0o077])
    def test_new_file_mode_follows_umask(self, tmp_path, umask):
        old = os.umask(umask)
        try:
            sample().to_jsonl(tmp_path / "t.jsonl")
        finally:
            os.umask(old)
        assert stat.S_IMODE((tmp_path / "t.jsonl").stat().st_mode) == 0o666 & ~umask

    def test_symlink_target_replaced_through_link(self, tmp_path):
        (tmp_path / "real").mkdir()
        target, link = tmp_path / "real" / "t.jsonl", tmp_path / "link.jsonl"
        target.write_text("old")
        os.chmod(target, 0o640)
        link.symlink_to(target)
        sample().to_jsonl(link)
        assert link.is_symlink() and os.readlink(link) == str(target)
        assert target.read_text() == LINE1 + LINE2
        assert stat.S_IMODE(target.stat().st_mode) == 0o640
        assert sorted(os.listdir(tmp_path / "real")) == ["t.jsonl"]

    def test_dangling_symlink_creates_target(self, tmp_path):
        link = tmp_path / "link.jsonl"
        link.symlink_to(tmp_path / "made.jsonl")
        sample().to_jsonl(link)
        assert link.is_symlink() and (tmp_path / "made.jsonl").read_text() == LINE1 + LINE2

    def test_relative_path_and_path_subclass(self, tmp_path, monkeypatch):
        class MyPath(type(pathlib.Path())):
            pass

        monkeypatch.chdir(tmp_path)
        (tmp_path / "t.jsonl").write_text("old")
        with pytest.raises(pydantic_core.PydanticSerializationError):
            unserialisable().to_jsonl(MyPath("t.jsonl"))
        assert (tmp_path / "t.jsonl").read_text() == "old"
        sample().to_jsonl(pathlib.Path("t.jsonl"))
        assert (tmp_path / "t.jsonl").read_text() == LINE1 + LINE2
        assert os.listdir(tmp_path) == ["t.jsonl"]

    def test_special_file_written_in_place(self):
        sample().to_jsonl(pathlib.Path(os.devnull))
        assert stat.S_ISCHR(os.stat(os.devnull).st_mode)


class Recorder:
    """A path-like object that is not a Path: offers parent.mkdir and open only."""

    def __init__(self, real, log):
        self.real, self.log = real, log
        self.parent = types.SimpleNamespace(
            mkdir=lambda **kw: log.append(("mkdir", kw)) or real.parent.mkdir(**kw))

    def open(self, *args):
        self.log.append(("open", args))
        f = open(self.real, *args)
        log = self.log

        class File:
            def write(self, text):
                log.append(("write", text))
                return f.write(text)

            def close(self):
                log.append(("close",))
                f.close()
        return File()


class TestInPlaceSave:
    def test_calls_as_documented(self, tmp_path):
        log = []
        sample().to_jsonl(Recorder(tmp_path / "d" / "t.jsonl", log))
        assert log == [("mkdir", {"parents": True, "exist_ok": True}), ("open", ("w",)),
                       ("write", LINE1), ("write", LINE2), ("close",)]

    def test_failure_leaves_truncated_file(self, tmp_path):
        path, log = tmp_path / "t.jsonl", []
        path.write_text("previous content\n" * 10)
        with pytest.raises(pydantic_core.PydanticSerializationError):
            unserialisable().to_jsonl(Recorder(path, log))
        assert path.read_text() == LINE1 + LINE2 and log[-1] == ("close",)

    def test_object_claiming_to_be_a_path(self, tmp_path):
        log = []

        class Impostor(Recorder):
            __class__ = pathlib.PosixPath

        assert isinstance(Impostor(None, log), pathlib.Path)
        sample().to_jsonl(Impostor(tmp_path / "t.jsonl", log))
        assert [entry[0] for entry in log] == ["mkdir", "open", "write", "write", "close"]


@pytest.fixture
def shared_dir():
    """A directory that an unprivileged user can reach (tmp_path is private to root)."""
    d = pathlib.Path(tempfile.mkdtemp(dir="/tmp"))
    os.chmod(d, 0o755)
    yield d
    for p in (d, *d.rglob("*")):
        if p.is_dir() and not p.is_symlink():
            os.chmod(p, 0o755)
    shutil.rmtree(d)


@pytest.mark.skipif(not IS_ROOT, reason="needs root to act as another user")
class TestOtherOwners:
    def test_unwritable_directory_falls_back_to_in_place(self, shared_dir):
        path = shared_dir / "ro" / "t.jsonl"
        path.parent.mkdir()
        path.write_text("old")
        os.chown(path, NOBODY, NOBODY)
        os.chmod(path.parent, 0o555)
        inode, trace = path.stat().st_ino, sample()
        os.seteuid(NOBODY)
        try:
            with pytest.raises(PermissionError):  # the check is meaningful for this user
                (path.parent / "probe").touch()
            trace.to_jsonl(path)
        finally:
            os.seteuid(0)
        assert path.read_text() == LINE1 + LINE2 and path.stat().st_ino == inode
        assert os.listdir(path.parent) == ["t.jsonl"]

    def test_read_only_file_of_the_effective_user_is_refused(self, shared_dir):
        path = shared_dir / "t.jsonl"
        path.write_text("old")
        os.chown(path, NOBODY, NOBODY)
        os.chmod(path, 0o444)
        os.chmod(shared_dir, 0o777)
        inode, trace = path.stat().st_ino, sample()
        os.seteuid(NOBODY)
        try:
            with pytest.raises(PermissionError):
                trace.to_jsonl(path)
        finally:
            os.seteuid(0)
        assert path.read_text() == "old" and path.stat().st_ino == inode
        assert os.listdir(shared_dir) == ["t.jsonl"]

    def test_file_of_another_user_written_in_place(self, shared_dir):
        path = shared_dir / "t.jsonl"
        path.write_text("old")
        os.chown(path, NOBODY, NOBODY)
        inode = path.stat().st_ino
        sample().to_jsonl(path)
        st_ = path.stat()
        assert (st_.st_ino, st_.st_uid) == (inode, NOBODY)
        assert path.read_text() == LINE1 + LINE2


# --------------------------------------------------------------------------- saves that fail midway

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
        proc = in_private_mount(mnt, "size=128k", False, sys.executable, "-c", child, mnt,
                                PREVIOUS)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert proc.stdout.split("\n")[:2] == ["errno ENOSPC", "True ['run.jsonl']"]


# --------------------------------------------------------------------------- the file system in the way

# One save in a fresh interpreter, under a condition set up there: the outcome, whether
# the target still holds the previous contents, how many lines it holds, and the listing.
SAVE_CHILD = """
    import errno, json, os, pathlib, sys
    from orrinth.trace import Trace, TraceEvent

    target, how, kind = pathlib.Path(sys.argv[1]), sys.argv[2], sys.argv[3]
    previous = target.read_text()

    class NoJsonForm:  # an event whose dump fails once the save is under way
        def model_dump_json(self):
            raise RuntimeError("no JSON form")

    trace = Trace()
    count, blob = {"fails midway": (50, "x" * 100), "too big": (400, "x" * 2000),
                   "fits": (3, "y")}[kind]
    for i in range(count):
        trace.add_event(TraceEvent(type="message", turn=i, data={"blob": blob}))
    if kind == "fails midway":
        trace.add_event(NoJsonForm())

    held = []
    if how == "read-only directory":
        os.seteuid(65534)
    elif how == "no free descriptors":
        try:
            while True:
                held.append(os.open(os.devnull, os.O_RDONLY))
        except OSError:
            pass
    try:
        trace.to_jsonl(target)
        outcome = "saved"
    except OSError as e:
        outcome = errno.errorcode[e.errno]
    except RuntimeError as e:
        outcome = str(e)
    for fd in held:
        os.close(fd)
    text = target.read_text()
    print(json.dumps([outcome, text == previous, text.count("\\n"),
                      sorted(os.listdir(target.parent))]))
"""

def save_in_child(target, how, kind, mount=None):
    args = [sys.executable, "-c", textwrap.dedent(SAVE_CHILD), str(target), how, kind]
    if mount is None:
        proc = subprocess.run(args, capture_output=True, text=True, timeout=120,
                              env=child_env())
    else:
        options, bind = mount
        proc = in_private_mount(target.parent, options, bind, *args)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return json.loads(proc.stdout)


def prepare(tmp_path, how):
    """The target for `how` and the mount it needs (None: none)."""
    if how == "name of 250 bytes":
        target = tmp_path / ("r" * 244 + ".jsonl")
    elif how == "read-only directory":
        if not IS_ROOT:
            pytest.skip("needs root to act as another user")
        shared = pathlib.Path("/tmp") / f"orrinth-ro-{os.getpid()}-{tmp_path.name}"
        shared.mkdir()
        target = shared / "run.jsonl"
        target.write_text(PREVIOUS)
        os.chown(target, NOBODY, NOBODY)
        os.chmod(shared, 0o555)
        return target, None
    else:
        target = tmp_path / "run.jsonl"
    if how == "no free inodes":  # the root directory and the target take both
        return target, ("size=256k,nr_inodes=2", False)
    if how == "bind-mounted file":
        return target, ("size=4m", True)
    target.write_text(PREVIOUS)
    return target, None


CASES = [
    # how, kind, expected outcome (None: saved with the new lines)
    ("name of 250 bytes", "fails midway", "no JSON form"),
    ("name of 250 bytes", "fits", None),
    ("read-only directory", "fails midway", "no JSON form"),
    ("read-only directory", "fits", None),
    ("no free descriptors", "fails midway", "EMFILE"),
    ("no free descriptors", "fits", "EMFILE"),
    ("no free inodes", "fails midway", "no JSON form"),
    ("no free inodes", "too big", "ENOSPC"),
    ("no free inodes", "fits", None),
    ("bind-mounted file", "fails midway", "no JSON form"),
    ("bind-mounted file", "fits", None),
]


@pytest.mark.parametrize("how, kind, expected", CASES)
def test_save_without_a_temporary_file_or_a_rename(tmp_path, how, kind, expected):
    # A failed save leaves the previous file whole and nothing beside it; a save that
    # can be done is done, in place where there is no other way.
    target, mount = prepare(tmp_path, how)
    try:
        outcome, unchanged, lines, listing = save_in_child(target, how, kind, mount)
    finally:
        if how == "read-only directory":
            os.chmod(target.parent, 0o755)
            shutil.rmtree(target.parent)
    names = [target.name, "source.jsonl"] if how == "bind-mounted file" else [target.name]
    assert listing == sorted(names)
    if expected is None:
        assert (outcome, unchanged, lines) == ("saved", False, 3)
    else:
        assert (outcome, unchanged) == (expected, True)


def tmpfile_supported(directory):
    try:
        os.close(os.open(directory, os.O_TMPFILE | os.O_WRONLY, 0o600))
    except (AttributeError, OSError):
        return False
    return True


def test_killed_save_leaves_nothing_behind(tmp_path):
    if not tmpfile_supported(tmp_path):
        pytest.skip("the file system has no unnamed temporary files")
    target = tmp_path / "run.jsonl"
    target.write_text(PREVIOUS)
    proc = run_python("""
        import os, pathlib, signal, sys
        from orrinth.trace import Trace, TraceEvent
        class Killer:
            def model_dump_json(self):
                os.kill(os.getpid(), signal.SIGKILL)
        trace = Trace()
        for i in range(1000):
            trace.add_event(TraceEvent(type="message", turn=i, data={"x": "y" * 100}))
        trace.add_event(Killer())
        trace.to_jsonl(pathlib.Path(sys.argv[1]))
    """, target)
    assert proc.returncode == -signal.SIGKILL
    assert os.listdir(tmp_path) == ["run.jsonl"] and target.read_text() == PREVIOUS


STRACE_CHILD = """
    import os, pathlib, sys
    from orrinth.trace import Trace, TraceEvent
    trace = Trace()
    trace.add_event(TraceEvent(type="message", turn=1, agent="a", data={"secret": "s3"}))
    target = pathlib.Path(sys.argv[1])
    trace.to_jsonl(target)          # a new file
    os.chmod(target, 0o640)
    if os.geteuid() == 0:
        os.chown(target, -1, 65534)  # a group the saver is not in
    print("private", flush=True)
    trace.to_jsonl(target)          # replacing one its group may read: the temporary
"""                                 # file is the owner's alone until it is complete

SYSCALL = re.compile(r"^(\w+)\((.*)\)\s+= (-?\d+)")


def test_temporary_file_is_private_and_synced_before_it_takes_the_place(tmp_path):
    strace = shutil.which("strace")
    if strace is None:
        pytest.skip("strace is not installed")
    log = tmp_path / "strace.log"
    target = tmp_path / "out" / "run.jsonl"
    target.parent.mkdir()
    env = dict(child_env(), PYTHONDONTWRITEBYTECODE="1")
    proc = subprocess.run([strace, "-qq", "-o", str(log), "-e",
                           "trace=openat,open,write,fsync,fdatasync,rename,renameat,"
                           "renameat2,linkat,fchmod,chmod", sys.executable, "-c",
                           textwrap.dedent(STRACE_CHILD), str(target)],
                          capture_output=True, text=True, timeout=120, env=env)
    if proc.returncode != 0 and "ptrace" in proc.stderr:
        pytest.skip("tracing is not allowed here: " + proc.stderr.strip())
    assert proc.returncode == 0, proc.stderr
    calls = [m.groups() for m in map(SYSCALL.match, log.read_text().splitlines()) if m]
    marker = next(i for i, (name, args, _) in enumerate(calls)
                  if name == "write" and '"private"' in args)
    for save, widest in ((calls[:marker], 0o666), (calls[marker:], 0o600)):
        directory_fds = {rc for name, args, rc in save if name in ("open", "openat")
                         and "O_DIRECTORY" in args and os.path.realpath(target.parent) in args}
        created = [(args, rc) for name, args, rc in save if name in ("open", "openat")
                   and ("O_CREAT" in args or "O_TMPFILE" in args) and int(rc) >= 0]
        assert len(created) == 1, created
        args, fd = created[0]
        # Created no wider than the target ends up for a new file (0666 less the umask),
        # for the owner alone when replacing one its group may read.
        mode = int(args.rsplit(",", 1)[1], 8)
        assert mode & ~widest == 0, args
        names = [(name, args.split(",")[0]) for name, args, _ in save]
        last_write = max(i for i, (name, first) in enumerate(names)
                         if name == "write" and first == fd)
        placed = [i for i, (name, _) in enumerate(names) if name.startswith(("rename", "link"))]
        synced = [i for i, (name, first) in enumerate(names)
                  if name in ("fsync", "fdatasync") and first == fd]
        dir_synced = [i for i, (name, first) in enumerate(names)
                      if name == "fsync" and first in directory_fds]
        assert placed and synced and dir_synced, names
        assert last_write < synced[0] < placed[0] and dir_synced[-1] > placed[-1]
        if widest == 0o600:  # the target's bits come once the contents are complete
            chmods = [i for i, (name, first) in enumerate(names) if name == "fchmod" and first == fd]
            assert chmods and chmods[0] > last_write, names
    assert stat.S_IMODE(target.stat().st_mode) == 0o640


@pytest.mark.skipif(not IS_ROOT, reason="needs root to give a file another group")
def test_group_and_extended_attributes_are_kept(tmp_path):
    target = tmp_path / "run.jsonl"
    target.write_text(PREVIOUS)
    os.chown(target, os.geteuid(), NOBODY)
    os.chmod(target, 0o640)
    try:
        os.setxattr(target, "user.origin", b"nightly")
        xattrs = True
    except OSError:
        xattrs = False  # the file system has none
    trace = Trace()
    trace.add_event(TraceEvent(type="message", turn=1))
    trace.to_jsonl(target)
    st = target.stat()
    assert (st.st_gid, stat.S_IMODE(st.st_mode)) == (NOBODY, 0o640)
    assert target.read_text().count("\n") == 1 and os.listdir(tmp_path) == ["run.jsonl"]
    if xattrs:
        assert os.getxattr(target, "user.origin") == b"nightly"


@pytest.mark.parametrize("kills", [0, 24], ids=["killed before each step", "killed at random"])
def test_a_killed_in_place_rewrite_never_mixes_old_and_new_lines(kills):
    # A bind-mounted file is rewritten in place; a kill before any of its writes or its
    # final cut, or in the middle of one, leaves one of the two files, or the first lines
    # of one (with at most one cut-off line) and blank space. The long loop:
    # `python tests/inplace_kills.py 200`.
    import inplace_kills

    if not kills and shutil.which("strace") is None:
        pytest.skip("strace is not installed: it injects the kills before each step")
    counts = inplace_kills.run_in_namespace(kills, env=child_env(), timeout=900)
    if isinstance(counts, str):
        pytest.skip(counts)
    assert counts.pop("mixed") == 0, counts
    left = counts.pop("files left")
    assert sum(counts.values()) == (kills or 2 * len(inplace_kills.INJECTED))
    if not kills:
        assert counts["cut-off line"] and counts["first lines"]  # the kills did land mid-rewrite
    assert left == 0  # a bind-mounted file is rewritten without any temporary file
