#!/usr/bin/env python3
"""Time ``orrinth summary`` on a folder of many small runs: table output against CSV.

The folder is generated once per invocation (N runs of 12-20 events, each saved with its
sidecar, so that the summary reads the sidecars' figures; ``--no-sidecars`` saves the traces
alone, so that every trace is read). Each round runs ``python -m orrinth summary`` in a
fresh process for every format in turn, alternating which goes first, with its output sent
to a file, and the table shows the median wall time of each with its min-max spread and
the median of the per-round ratios table/CSV against the target (1.5).

    PYTHONPATH=src python3 benchmarks/summary_output.py                 # 10,000 runs, 5 rounds
    PYTHONPATH=src python3 benchmarks/summary_output.py --runs 2000 --rounds 3 --no-sidecars
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from orrinth.runmeta import save_run
from orrinth.trace import Trace, TraceEvent

TARGET = 1.5


def generate(folder: Path, runs: int, sidecars: bool) -> None:
    rng = random.Random(5)
    for i in range(runs):
        trace = Trace()
        for turn in range(1, rng.randint(12, 20)):
            trace.add_event(TraceEvent(type="message", turn=turn, agent=rng.choice(["a", "b", "c"]),
                                       data={"to": "a", "content": "x" * rng.randint(10, 200)},
                                       input_tokens=rng.randint(0, 900), output_tokens=rng.randint(0, 90),
                                       cost_usd=rng.random() / 1000))
        trace.add_event(TraceEvent(type="property_check", turn=-1, data={"property": "p", "passed": rng.random() < .8}))
        path = folder / f"run-{i:05d}.jsonl"
        if sidecars:
            save_run(trace, path, {"seed": i}, run_id=f"r{i}")
        else:
            trace.to_jsonl(path)


def timed(fmt: str, folder: Path, jobs: int, out: Path) -> float:
    args = [sys.executable, "-m", "orrinth", "summary", "-f", fmt, "-j", str(jobs), "--no-progress", str(folder)]
    with open(out, "w") as f:
        start = time.perf_counter()
        subprocess.run(args, stdout=f, check=True)
        return time.perf_counter() - start


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--runs", type=int, default=10_000)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("--no-sidecars", action="store_true", help="save the traces without sidecars")
    args = p.parse_args(argv)
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp) / "runs"
        folder.mkdir()
        generate(folder, args.runs, not args.no_sidecars)
        times: dict[str, list[float]] = {"csv": [], "table": []}
        ratios = []
        for r in range(args.rounds):
            order = ["csv", "table"] if r % 2 == 0 else ["table", "csv"]
            for fmt in order:
                times[fmt].append(timed(fmt, folder, args.jobs, Path(tmp) / f"out.{fmt}"))
            ratios.append(times["table"][-1] / times["csv"][-1])
        lines = sum(1 for _ in open(Path(tmp) / "out.table"))
    reading = "the traces" if args.no_sidecars else "the sidecars"
    print(f"orrinth summary of {args.runs:,} runs ({reading}), -j {args.jobs}, {args.rounds} rounds, "
          f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs; the table has {lines:,} lines")
    print(f"{'format':<8} {'median s':>9} {'min-max s':>14}")
    for fmt, values in times.items():
        print(f"{fmt:<8} {statistics.median(values):>9.2f} {min(values):>6.2f}-{max(values):<6.2f}")
    ratio = statistics.median(ratios)
    print(f"table/csv median ratio {ratio:.2f} (target <= {TARGET}): {'met' if ratio <= TARGET else 'NOT met'}")
    return 0 if ratio <= TARGET else 1


if __name__ == "__main__":
    sys.exit(main())
