"""Differential fuzzing of the two JSONL routes of orrinth.trace.

Each input is written as a trace file and read back on the fast route and on the plain
one: both must give the same events (object for object) or the same exception. Whatever
was read is then altered as the input's last bytes say (values pydantic does not validate
on assignment) and saved on both routes: the files must hold the same bytes, or both
saves fail alike. The input also describes an event of its own (floats from raw bits,
short decimals, strings with any code point, nesting, values the native writer leaves to
the serializer), saved on both routes the same way; the fast route must write natively
exactly the events of plain JSON data. A difference raises AssertionError; a crash is a
finding too.

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
import struct
import sys
import tempfile

USE_ATHERIS = "--random" not in sys.argv
if USE_ATHERIS:
    import atheris
    from corpus import argv_with_seed_corpus

    # Coverage of the json module's Python layer (its error paths) guides the search.
    with atheris.instrument_imports(include=["json", "jsonl_differential"]):
        import json  # noqa: F401
        from jsonl_differential import natively_writable, read_both, write_both
else:
    from jsonl_differential import natively_writable, read_both, write_both
from orrinth import _jsonl_routes as routes
from orrinth.trace import Trace, TraceEvent

WORK = pathlib.Path(tempfile.mkdtemp(prefix="fuzz-routes-", dir="/dev/shm" if
                                     pathlib.Path("/dev/shm").is_dir() else None))
PATH = WORK / "in.jsonl"
FIELDS = ["type", "turn", "agent", "data", "timestamp", "input_tokens", "output_tokens", "cost_usd"]
ODD = ["3", True, 1, 2.5, None, "bogus", [1], (1,), {1: 2}, math.nan, -0.0, 10**30, "\ud800",
       b"x", object(), {"k": {2.5: [None]}}]
COUNTS = {"inputs": 0, "read alike": 0, "fast lines": 0, "saved alike": 0, "fast events": 0,
          "described events": 0, "described saved alike": 0, "described written natively": 0}


def check_both(data: bytes) -> None:
    check_described(data)
    check(data)


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
        assert counts[2] == sum(map(natively_writable, trace.events))


class Bytes:
    """The input read front to back as the description of values; zeros once it ends."""

    def __init__(self, data: bytes):
        self.data, self.pos = data, 0

    def take(self, n: int) -> bytes:
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk.ljust(n, b"\0")

    def byte(self) -> int:
        return self.take(1)[0]

    def int(self, n: int) -> int:
        return int.from_bytes(self.take(n), "little", signed=True)


class Str(str):
    pass


def described_value(b: Bytes, depth: int = 0):
    tag = b.byte()
    kind = tag % 16 if depth < 40 else tag % 8
    if kind == 0:
        return None if tag & 16 else bool(tag & 32)
    if kind == 1:
        return struct.unpack("<d", b.take(8))[0]
    if kind == 2:  # a short decimal
        return b.int(4) / 10 ** (b.byte() % 25)
    if kind == 3:  # next to a power of ten
        x = 10.0 ** (b.byte() % 80 - 40)
        return [math.nextafter(x, -math.inf), x, math.nextafter(x, math.inf)][b.byte() % 3]
    if kind == 4:
        return b.int(1 + b.byte() % 10)  # some beyond 64 bits
    if kind == 5:  # any code point but the lone surrogates' pairs
        return b.take(2 * (b.byte() % 8)).decode("utf-16-le", "surrogatepass")
    if kind == 6:
        return b.take(b.byte() % 12).decode("latin-1")
    if kind == 7:  # lone surrogates from undecodable bytes
        return b.take(b.byte() % 6).decode("utf-8", "surrogateescape")
    if kind == 8:
        return [described_value(b, depth + 1) for _ in range(b.byte() % 4)]
    if kind == 9:
        return {described_key(b): described_value(b, depth + 1) for _ in range(b.byte() % 4)}
    if kind == 10:
        return tuple(described_value(b, depth + 1) for _ in range(b.byte() % 3))
    if kind == 11:  # one long chain of nesting
        v = described_value(b, 40)
        for i in range(b.byte() % 40):
            v = [v] if i % 3 else {"k": v}
        return v
    if kind == 12:
        return Str(described_key(b))
    if kind == 13:
        return {b.int(2): described_value(b, depth + 1)}
    if kind == 14:
        return b.take(b.byte() % 4)
    return float(b.int(2))


def described_float(b: Bytes) -> float:
    kind = b.byte() % 4
    if kind == 3:
        return described_value(b)  # anything, which validation may refuse
    return described_value(Bytes(bytes([kind + 1]) + b.take(9)))


def described_key(b: Bytes) -> str:
    return b.take(2 * (b.byte() % 4)).decode("utf-16-le", "surrogatepass")


def check_described(data: bytes) -> None:
    b = Bytes(data)
    fields = dict(type=["message", "state_change", "fault_injected", "property_check"][b.byte() % 4],
                  turn=b.int(8), agent=None if b.byte() % 3 == 0 else described_key(b),
                  data={described_key(b): described_value(b) for _ in range(b.byte() % 6)},
                  timestamp=described_float(b), cost_usd=described_float(b))
    try:
        event = TraceEvent(**fields)
    except ValueError:  # a field's value that validation refuses
        return
    trace = Trace()
    trace.add_event(event)
    COUNTS["described events"] += 1
    counts = write_both(trace, WORK)
    COUNTS["described saved alike"] += 1
    if counts:
        assert counts[2] == natively_writable(event)
        COUNTS["described written natively"] += counts[2]


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
        check_described(rng.randbytes(rng.randrange(96)))
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
        atheris.Setup(argv_with_seed_corpus(sys.argv, WORK, SEEDS), check_both)
        atheris.Fuzz()
    finally:
        print(COUNTS, flush=True)
        shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    main()
