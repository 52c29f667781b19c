#!/usr/bin/env python3
"""Instruction profile of one operation under valgrind's callgrind, per side.

For each side (native, baseline and, where the operation has one, floor) this runs
`run.py --profile OP` under callgrind with a dump placed around exactly the operation's
runs (the markers in run.py), and prints the instructions per event (or call) and the
functions with the highest inclusive cost in that dump. With --cache-sim it adds the
simulated first-level and last-level data cache misses per event.

    PYTHONPATH=src python3 benchmarks/profile.py get_messages --events 20000
    PYTHONPATH=src python3 benchmarks/profile.py to_jsonl --events 5000 --top 25
    PYTHONPATH=src python3 benchmarks/profile.py cost_summary --cache-sim

Instruction counts are deterministic, so a single run per side suffices; they do not
show memory stalls, which --cache-sim estimates. Build with
-DCMAKE_BUILD_TYPE=RelWithDebInfo so that the native frames have names and lines.
"""

from __future__ import annotations

import argparse
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


def callgrind(args: list[str], out: Path, cache_sim: bool) -> Path:
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
           "--dump-before=os_getppid", "--dump-before=os_getpgrp", "--dump-instr=no"]
    if cache_sim:
        cmd.append("--cache-sim=yes")
    subprocess.run(cmd + [sys.executable, str(HERE / "run.py")] + args, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    # Dump 1 ends at the first marker (setup); dump 2 holds the operation's runs alone.
    dump = Path(f"{out}.2")
    if not dump.exists():
        raise SystemExit("callgrind produced no dump around the operation (markers not found)")
    return dump


def totals(dump: Path) -> dict[str, int]:
    events = summary = None
    for line in dump.read_text().splitlines():
        if line.startswith("events:"):
            events = line.split()[1:]
        elif line.startswith("summary:") or line.startswith("totals:"):
            summary = [int(x) for x in line.split()[1:]]
    return dict(zip(events or [], summary or []))


def top_functions(dump: Path, top: int) -> list[str]:
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", str(dump)],
                          check=True, capture_output=True, text=True).stdout
    rows = []
    for line in text.splitlines():
        # One "count (percent)" column per event (Ir first), then the function.
        m = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+(?:[\d,]+ \(\s*[\d.]+%\)\s+)*(\S.*)", line)
        if not m or "PROGRAM TOTALS" in line:
            continue
        name = m.group(2)
        # Drop the frames every dump shares (startup, the interpreter's entry points).
        if any(s in name for s in ("libc-start", "libc_start_call_main", "(below main)", "Programs/python.c",
                                   "Modules/main.c", "pythonrun.c", "pycore_ceval.h:PyEval_EvalCode",
                                   "ld-linux", "???:0x")):
            continue
        name = re.sub(r"\s*\[[^\]]*\]$", "", name)  # object file
        name = re.sub(r"^/tmp/python-build[^/]*/Python-[\d.]+/", "", name)
        name = re.sub(r"^/work/[^/]+/", "", name)
        rows.append((int(m.group(1).replace(",", "")), name))
        if len(rows) >= top:
            break
    return rows


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("op")
    p.add_argument("--events", type=int, default=20_000)
    p.add_argument("--repeat", type=int, default=1)
    p.add_argument("--sides", default="native,baseline,floor")
    p.add_argument("--top", type=int, default=15)
    p.add_argument("--cache-sim", action="store_true")
    p.add_argument("--keep", metavar="DIR", help="keep the callgrind dumps in DIR")
    args = p.parse_args()
    if not shutil.which("valgrind"):
        raise SystemExit("valgrind is not installed")

    import run  # noqa: E402  (imports orrinth; needs PYTHONPATH to find it)

    op = run.find_op(args.op)
    tmp = Path(args.keep or tempfile.mkdtemp(prefix="orrinth-cg-"))
    tmp.mkdir(parents=True, exist_ok=True)
    sides = [s for s in args.sides.split(",") if s != "floor" or op.floor]
    try:
        # The number of units per run, from a workload of the same size.
        wl = run.build_workload(args.events)
        units = op.units(wl) * args.repeat
        wl.close()
        del wl
        print(f"{op.name}: {args.events:,} events, {units:,} {op.unit}s per side")
        for side in sides:
            dump = callgrind(["--profile", op.name, "--side", side, "--events", str(args.events),
                              "--repeat", str(args.repeat)], tmp / f"{side}.out", args.cache_sim)
            t = totals(dump)
            line = f"\n== {side}: {t['Ir'] / units:,.0f} instructions per {op.unit}"
            if args.cache_sim and "D1mr" in t:
                d1 = (t["D1mr"] + t["D1mw"]) / units
                ll = (t["DLmr"] + t["DLmw"]) / units
                line += f", {d1:.2f} D1 misses, {ll:.2f} LL misses per {op.unit}"
            print(line)
            for ir, name in top_functions(dump, args.top):
                print(f"  {ir / units:10,.1f}  {name}")
    finally:
        if not args.keep:
            shutil.rmtree(tmp, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
