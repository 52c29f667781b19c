"""Coverage-guided fuzzing of Trace.from_jsonl (atheris).

Each input is written as a trace file and read back. Reading may fail only with the
documented exceptions (the decoding error, the JSON parser's error, the record's
validation error) or the JSON parser's own limits; anything else, a SystemError
included, is a finding, and so is a crash.

Run outside CI, for a bounded time, e.g.:

    python3 -m venv /tmp/venv-fuzz && /tmp/venv-fuzz/bin/pip install atheris pydantic
    PYTHONPATH=src /tmp/venv-fuzz/bin/python fuzz/fuzz_from_jsonl.py -max_total_time=300

With the modules built with clang and -fsanitize=address,fuzzer-no-link, preload the
runtime that atheris ships (LD_PRELOAD=<site-packages>/asan_with_fuzzer.so) to fuzz with
coverage of the native code as well.
"""

import os
import pathlib
import shutil
import sys
import tempfile

import atheris
from corpus import argv_with_seed_corpus

with atheris.instrument_imports(include=["json"]):
    import json

import pydantic

from orrinth.trace import Trace, TraceEvent

ALLOWED = (UnicodeDecodeError, json.JSONDecodeError, pydantic.ValidationError, RecursionError)
WORK = pathlib.Path(tempfile.mkdtemp(prefix="fuzz-jsonl-"))
PATH = WORK / "t.jsonl"


def check(data: bytes) -> None:
    with open(PATH, "wb") as f:
        f.write(data)
    try:
        trace = Trace.from_jsonl(PATH)
    except ALLOWED:
        return
    except ValueError as e:
        # json's limit on the digits of an integer literal.
        if "integer string conversion" in str(e):
            return
        raise
    for event in trace.events:
        assert type(event) is TraceEvent, event
    # What was read can be written back and read again unchanged, unless a value has
    # no JSON form (a lone surrogate) or is not finite (written as null, refused on read).
    try:
        trace.to_jsonl(PATH)
    except (pydantic.PydanticSerializationError, UnicodeEncodeError):
        return
    try:
        again = Trace.from_jsonl(PATH)
    except pydantic.ValidationError:
        return
    assert len(again.events) == len(trace.events)


SEEDS = [
    b'{"type":"message","turn":0,"agent":"a","data":{},"timestamp":0.0,"input_tokens":1,'
    b'"output_tokens":2,"cost_usd":0.5}\n',
    b'  {"type": "property_check", "turn": -1}\r\n\n{"type":"state_change","turn":3}',
    b'{"type":"fault_injected","turn":1,"data":{"k":[1,2.5,null,true,"x"]}}\r',
    b'\xef\xbb\xbf{"type":"message","turn":0}\n',
]


def main() -> None:
    argv = argv_with_seed_corpus(sys.argv, WORK, SEEDS)
    try:
        atheris.Setup(argv, check)
        atheris.Fuzz()
    finally:
        shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    main()
