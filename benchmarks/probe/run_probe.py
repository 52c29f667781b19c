"""Time the scan probe (scanprobe.c) against Trace.get_messages and the baseline.

Prints ns per event for: the native get_messages as built, the baseline's list
comprehension, and the probe reading `type` through the generic getattr, straight from
the instance dict, and from the instance dict with prefetching. See scanprobe.c.
"""

import gc
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import scanprobe  # noqa: E402

import baseline  # noqa: E402
import run  # noqa: E402
from orrinth.trace import Trace, TraceEvent  # noqa: E402


def measure(fn, units, rounds=7):
    samples = []
    for _ in range(rounds):
        gc.collect()
        gc.disable()
        t0 = time.perf_counter_ns()
        result = fn()
        samples.append((time.perf_counter_ns() - t0) / units)
        gc.enable()
        del result
    return statistics.median(samples), min(samples)


def main():
    for n in (10_000, 100_000):
        records = run.make_records(n)
        events = [TraceEvent(**r) for r in records]
        base_events = [baseline.TraceEvent(**r) for r in records]
        trace, base = Trace(), baseline.Trace()
        for e, b in zip(events, base_events):
            trace.add_event(e)
            base.add_event(b)
        reps = max(1, 1_000_000 // n)
        expected = trace.get_messages()
        modes = (0, 1, 2, 4, 3) if getattr(scanprobe, "HINT", False) else (0, 1, 2, 4)
        for mode in modes:
            assert scanprobe.filter(events, "type", "message", mode) == expected
        rows = [
            ("native get_messages (as built)", lambda: [trace.get_messages() for _ in range(reps)]),
            ("baseline get_messages", lambda: [base.get_messages() for _ in range(reps)]),
            ("probe: generic getattr", lambda: [scanprobe.filter(events, "type", "message", 0) for _ in range(reps)]),
            ("probe: instance dict", lambda: [scanprobe.filter(events, "type", "message", 1) for _ in range(reps)]),
            ("probe: instance dict + prefetch", lambda: [scanprobe.filter(events, "type", "message", 2) for _ in range(reps)]),
            ("probe: as above, holding each event", lambda: [scanprobe.filter(events, "type", "message", 4) for _ in range(reps)]),
        ]
        if 3 in modes:
            rows.append(("probe: dict entry hint + prefetch",
                         lambda: [scanprobe.filter(events, "type", "message", 3) for _ in range(reps)]))
        print(f"{n:,} events, {reps} scans per sample; ns per event: median (min)")
        base_med = None
        for label, fn in rows:
            med, low = measure(fn, n * reps)
            base_med = med if label.startswith("baseline") else base_med
            ratio = f"  ratio to baseline {med / base_med:.2f}" if base_med else ""
            print(f"  {label:34s} {med:7.1f} ({low:.1f}){ratio}")
        del events, base_events, trace, base, expected
        gc.collect()


if __name__ == "__main__":
    main()
