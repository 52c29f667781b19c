"""Saving where the file system gets in the way: no temporary file can be made, the target
cannot be renamed over, the saver is killed; and what a save promises besides atomicity:
a temporary file nobody else can read, data on disk before the rename, and the target's
group and extended attributes kept.

Cases that need their own mounts run in a private mount namespace (`unshare -m`, as root)
and are skipped with the reason where that is not allowed.
"""

import json
import os
import pathlib
import re
import shutil
import signal
import stat
import subprocess
import sys
import textwrap

import pytest
from support import child_env, run_python

from orrinth.trace import Trace, TraceEvent

PREVIOUS = '{"type":"message","turn":7,"agent":"before"}\n'
NOBODY = 65534
IS_ROOT = hasattr(os, "geteuid") and os.geteuid() == 0

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
    os.chmod(target, 0o600)
    print("private", flush=True)
    trace.to_jsonl(target)          # replacing a private one
"""

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
        # Created no wider than the target ends up: 0666 less the umask for a new file,
        # the target's own 0600 for the private one.
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
