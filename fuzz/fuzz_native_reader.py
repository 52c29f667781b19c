"""Differential fuzzing of from_jsonl's native reader.

Each round writes a generated trace file (tests/native_lines.py: lines as the writer writes
them, the same values spelled every other way JSON allows, near-valid and hostile lines,
every line end, padding, undecodable bytes, a torn last line), sometimes with raw bytes
changed on top, and reads it on the default route (the native reader first) and on the
plain one (json.loads + model_validate per line): both must give the same events object
for object, or the same exception with the same notes. A difference raises AssertionError;
a crash is a finding too.

Run outside CI, for a bounded number of files:

    PYTHONPATH=src:tests nice python3 fuzz/fuzz_native_reader.py --files 20000 --lines 100 --seed 1
"""

import argparse
import collections
import pathlib
import random
import shutil
import tempfile

import native_lines
from jsonl_differential import read_both
from orrinth import _jsonl_routes as routes
from orrinth.trace import Trace


def mutate(rng: random.Random, data: bytes) -> bytes:
    for _ in range(rng.randint(1, 4)):
        i = rng.randrange(len(data) + 1)
        r = rng.random()
        if r < 0.4:
            data = data[:i] + bytes([rng.randrange(256)]) + data[i + 1:]
        elif r < 0.7:
            data = data[:i] + rng.choice([b"\r", b"\n", b"\r\n", b"\\", b'"', b"\xc3", b"\xe2\x80", b" "]) + data[i:]
        else:
            data = data[:i] + data[i + rng.randint(1, 16):]
    return data


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--lines", type=int, default=100, help="lines per file")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    assert routes.reads_natively, "the native parser is off in this process: nothing to compare"
    rng = random.Random(args.seed)
    work = pathlib.Path(tempfile.mkdtemp(prefix="fuzz-native-", dir="/dev/shm" if
                                         pathlib.Path("/dev/shm").is_dir() else None))
    path = work / "in.jsonl"
    counts = collections.Counter()
    try:
        for k in range(args.files):
            odd = rng.choice([0, 0, 0, 0, 0, 0.002, 0.01, 0.05, 0.3])
            data = native_lines.file_bytes(rng, rng.randint(1, 2 * args.lines), odd)
            if rng.random() < 0.1:
                data = mutate(rng, data)
            path.write_bytes(data)
            fast, trace = read_both(path)
            counts["files"] += 1
            counts["lines"] += data.count(b"\n") + data.count(b"\r") - data.count(b"\r\n")
            if trace is None:
                counts["failed alike"] += 1
                continue
            counts["read alike"] += 1
            counts["events"] += len(trace.events)
            Trace.from_jsonl(path)  # read_both ran the plain route last: count the native lines
            counts["events parsed natively"] += routes.last_native_reads
            if k % 2000 == 1999:
                print(dict(counts), flush=True)
    finally:
        print(dict(counts), flush=True)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
