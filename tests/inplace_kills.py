"""Kill a process again and again while it rewrites a bind-mounted trace file in place, and
sort what each kill left behind.

Run by hand for a long loop (as root, with unshare): ``python tests/inplace_kills.py 200``.
It prints the count of each outcome as JSON; ``mixed`` (old and new lines together, or
anything else that is neither file's first bytes followed by blank space) must be 0;
``files left`` counts the files the kills left beside the target.
"""

from __future__ import annotations

import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

# Saves two traces in turn, for ever, to the target; the bytes each save should give are
# written beside it first (by an ordinary save to another file).
SAVER = """
    import pathlib, sys
    from orrinth.trace import Trace, TraceEvent
    folder = pathlib.Path(sys.argv[1])
    traces = {}
    for name, count in (("long", 2_000), ("short", 1_500)):
        trace = Trace()
        for turn in range(count):
            trace.add_event(TraceEvent(type="message", turn=turn, agent=name, data={"content": f"{name} {turn} " + "x" * 2_000}))
        trace.to_jsonl(folder / f"{name}.expected")
        traces[name] = trace
    target = folder / "run.jsonl"
    traces["long"].to_jsonl(target)
    print("ready", flush=True)
    while True:
        traces["short"].to_jsonl(target)
        traces["long"].to_jsonl(target)
"""


def left_behind(folder: Path) -> int:
    """Remove and count the files a killed save left beside the target."""
    extra = [p for p in folder.iterdir() if p.name != "run.jsonl" and p.suffix != ".expected"]
    for path in extra:
        path.unlink()
    return len(extra)


def classify(found: bytes, versions: list[bytes]) -> str:
    """``whole``, ``first lines`` (a version's first complete lines, then blank space),
    ``cut-off line`` (the same with one incomplete line before the blank space), or
    ``mixed``."""
    if found in versions:
        return "whole"
    head = found.rstrip(b" ")
    for version in versions:
        if version.startswith(head):
            return "first lines" if head == b"" or head.endswith(b"\n") else "cut-off line"
    return "mixed"


def kill_loop(folder: Path, kills: int, seed: int = 1) -> dict[str, int]:
    """Inside a mount namespace where ``folder/run.jsonl`` is a file bind-mounted on
    itself (so that it cannot be replaced by rename): the outcome counts."""
    rng = random.Random(seed)
    counts = {"whole": 0, "first lines": 0, "cut-off line": 0, "mixed": 0, "files left": 0}
    env = dict(os.environ)
    for _ in range(kills):
        proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(SAVER), str(folder)],
                                stdout=subprocess.PIPE, text=True, env=env)
        assert proc.stdout is not None
        assert proc.stdout.readline() == "ready\n"
        time.sleep(rng.uniform(0, 0.3))
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        proc.stdout.close()
        versions = [(folder / f"{n}.expected").read_bytes() for n in ("long", "short")]
        outcome = classify((folder / "run.jsonl").read_bytes(), versions)
        counts[outcome] += 1
        counts["files left"] += left_behind(folder)
    return counts


# One save of the named trace over the other, for a kill injected at a chosen system call.
ONE_SAVE = """
    import pathlib, sys
    from orrinth.trace import Trace, TraceEvent
    folder, name = pathlib.Path(sys.argv[1]), sys.argv[2]
    trace = Trace()
    for turn in range({"long": 2_000, "short": 1_500}[name]):
        trace.add_event(TraceEvent(type="message", turn=turn, agent=name, data={"content": f"{name} {turn} " + "x" * 2_000}))
    trace.to_jsonl(folder / "run.jsonl")
"""

# Where in the rewrite the kill lands: before the n-th pwrite, or before the cut to length.
INJECTED = [("pwrite64", 1), ("pwrite64", 2), ("pwrite64", 500), ("pwrite64", 1000), ("pwrite64", 1200),
            ("ftruncate", 1)]


def injected_kills(folder: Path) -> dict[str, int]:
    """Each save (long over short, short over long) killed by strace just before each of
    the system calls in INJECTED: the outcome counts, as kill_loop gives them."""
    counts = {"whole": 0, "first lines": 0, "cut-off line": 0, "mixed": 0, "files left": 0}
    strace = shutil.which("strace")
    assert strace is not None
    versions = []
    for name in ("long", "short"):
        subprocess.run([sys.executable, "-c", textwrap.dedent(ONE_SAVE), str(folder), name], check=True)
        versions.append((folder / "run.jsonl").read_bytes())
    for old, new in (("long", "short"), ("short", "long")):
        for call, when in INJECTED:
            (folder / "run.jsonl").write_bytes(versions[old == "short"])  # through the bind mount
            traced = subprocess.run([strace, "-f", "-qq", "-o", "/dev/null", "-e", f"trace={call}", "-e",
                                     f"inject={call}:signal=KILL:when={when}", sys.executable, "-c",
                                     textwrap.dedent(ONE_SAVE), str(folder), new], capture_output=True, text=True)
            if "ptrace" in traced.stderr.lower():
                return "tracing is not allowed here: " + traced.stderr.strip()  # type: ignore[return-value]
            counts[classify((folder / "run.jsonl").read_bytes(), versions)] += 1
            counts["files left"] += left_behind(folder)
    return counts


MOUNT = """
    set -e
    mount -t tmpfs -o size=256m tmpfs "$1" || exit 77
    mkdir "$1/run"
    : > "$1/run/run.jsonl"
    mount --bind "$1/run/run.jsonl" "$1/run/run.jsonl" || exit 77
    shift
    exec "$@"
"""


def run_in_namespace(kills: int, env: dict[str, str] | None = None, timeout: float = 1800) -> dict[str, int] | str:
    """Kill loop of ``kills`` random SIGKILLs (0: the injected kills instead)."""
    # The counts from a private mount namespace, or the reason it cannot be made.
    unshare = shutil.which("unshare")
    if unshare is None or os.geteuid() != 0:
        return "needs root and unshare for a bind-mounted file"
    with tempfile.TemporaryDirectory() as scratch:
        proc = subprocess.run([unshare, "-m", "--propagation", "private", "sh", "-c", textwrap.dedent(MOUNT), "sh",
                               scratch, sys.executable, str(Path(__file__).resolve()), "--inside",
                               f"{scratch}/run", str(kills)],
                              capture_output=True, text=True, timeout=timeout, env=env)
    if proc.returncode == 77 or "unshare failed" in proc.stderr:
        return "mounting is not allowed here: " + proc.stderr.strip()
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr)
    return json.loads(proc.stdout)


if __name__ == "__main__":
    if sys.argv[1] == "--inside":
        kills = int(sys.argv[3])
        folder = Path(sys.argv[2])
        print(json.dumps(kill_loop(folder, kills) if kills else injected_kills(folder)))
    else:
        sys.path.insert(0, str(HERE))
        from support import child_env

        print(json.dumps(run_in_namespace(int(sys.argv[1]), env=child_env())))
