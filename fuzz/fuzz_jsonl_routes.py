"""Differential fuzzing of the two JSONL routes of orrinth.trace.

Each input is written as a trace file and read back on the fast route and on the plain
one: both must give the same events (object for object) or the same exception. Whatever
was read is then altered as the input's last bytes say (values pydantic does not validate
on assignment) and saved on both routes: the files must hold the same bytes, or both
saves fail alike. A difference raises AssertionError; a crash is a finding too.

Run outside CI, for a bounded number of inputs. With atheris (coverage-guided):

    python3 -m venv /tmp/venv-fuzz && /tmp/venv-fuzz/bin/pip install atheris pydantic
    PYTHONPATH=src:tests /tmp/venv-fuzz/bin/python fuzz/fuzz_jsonl_routes.py -runs=1000000

Without atheris, `--random N` mutates the seeds with a seeded random generator instead:

    PYTHONPATH=src:tests python3 fuzz/fuzz_jsonl_routes.py --random 1000000 --seed 1
"""

import math
import pathlib
import random
import shutil
import sys
import tempfile

USE_ATHERIS = "--random" not in sys.argv
if USE_ATHERIS:
    import atheris
    from corpus import argv_with_seed_corpus

    # Coverage of the json module's Python layer (its error paths) guides the search.
    with atheris.instrument_imports(include=["json", "jsonl_differential"]):
        import json  # noqa: F401
        from jsonl_differential import read_both, write_both
else:
    from jsonl_differential import read_both, write_both
from orrinth import _jsonl_routes as routes

WORK = pathlib.Path(tempfile.mkdtemp(prefix="fuzz-routes-", dir="/dev/shm" if
                                     pathlib.Path("/dev/shm").is_dir() else None))
PATH = WORK / "in.jsonl"
FIELDS = ["type", "turn", "agent", "data", "timestamp", "input_tokens", "output_tokens", "cost_usd"]
ODD = ["3", True, 1, 2.5, None, "bogus", [1], (1,), {1: 2}, math.nan, -0.0, 10**30, "\ud800",
       b"x", object(), {"k": {2.5: [None]}}]
COUNTS = {"inputs": 0, "read alike": 0, "fast lines": 0, "saved alike": 0, "fast events": 0}


def check(data: bytes) -> None:
    COUNTS["inputs"] += 1
    PATH.write_bytes(data)
    counts, trace = read_both(PATH)
    COUNTS["read alike"] += 1
    if trace is None:
        return
    COUNTS["fast lines"] += counts[0]
    for i, event in enumerate(trace.events):
        selector = data[-1 - i] if i < len(data) else 0
        if selector % 4 == 0:
            object.__setattr__(event, FIELDS[selector // 4 % 8], ODD[selector // 32 % len(ODD)])
    counts = write_both(trace, WORK)
    COUNTS["saved alike"] += 1
    if counts:
        COUNTS["fast events"] += counts[0]


SEEDS = [
    b'{"type":"message","turn":0,"agent":"a","data":{},"timestamp":0.0,"input_tokens":1,'
    b'"output_tokens":2,"cost_usd":0.5}\n',
    b'  {"type": "property_check", "turn": -1}\r\n\n{"type":"state_change","turn":"3"}',
    b'{"type":"fault_injected","turn":1,"data":{"k":[1,2.5,null,true,"x",NaN,-Infinity]}}\r',
    b'{"type":"message","turn":1,"turn":2,"x":1e400,"data":{"s":"\\u00e9\\ud800\\n","b":-0}}',
    b'\xef\xbb\xbf{"type":"message","turn":0}\n',
    b'{"type":"message","turn":2.0,"timestamp":1,"cost_usd":"1e-7","data":{"d":[[[[{}]]]]}}',
]
TOKENS = [b"{", b"}", b"[", b"]", b",", b":", b'"', b"\\", b"\\u", b"d800", b"NaN", b"-",
          b"Infinity", b"1e999", b"0", b"9" * 30, b"null", b"true", b" ", b"\t", b"\r", b"\n",
          b"\x0b", b"\xc2\xa0", b"\xe2\x80\xa8", b"\xef\xbb\xbf", b"\xff", b"\x00", b"\x01",
          b'"turn":', b'"type":"message"', b'"data":', b"[" * 300, b"]" * 300]


def mutate(rng: random.Random, data: bytes) -> bytes:
    for _ in range(rng.choice([0, 0, 1, 1, 2, 3])):
        i = rng.randint(0, len(data))
        r = rng.random()
        if r < 0.4:
            data = data[:i] + rng.choice(TOKENS) + data[i:]
        elif r < 0.6:
            data = data[:i] + data[i + rng.randint(1, 8):]
        elif r < 0.8:
            data = data[:i] + bytes([rng.randrange(256)]) + data[i + 1:]
        else:
            data = data[:i] + b"\n" + rng.choice(SEEDS) + data[i:]
    return data


def run_random(n: int, seed: int) -> None:
    rng = random.Random(seed)
    for k in range(n):
        check(mutate(rng, rng.choice(SEEDS)))
        if k % 100_000 == 99_999:
            print(COUNTS, flush=True)


def main() -> None:
    assert routes.enabled, "the fast routes are off in this process: nothing to compare"
    try:
        if not USE_ATHERIS:
            args = sys.argv[1:]
            n = int(args[args.index("--random") + 1])
            seed = int(args[args.index("--seed") + 1]) if "--seed" in args else 0
            run_random(n, seed)
            return
        atheris.Setup(argv_with_seed_corpus(sys.argv, WORK, SEEDS), check)
        atheris.Fuzz()
    finally:
        print(COUNTS, flush=True)
        shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    main()
