"""Where loading and saving failed: from_jsonl and to_jsonl raise exactly what a plain
Python reader or writer raises (type, message, cause) with one note added, which names the
file and line, or the event, or says that the method takes a pathlib.Path."""

from __future__ import annotations

import json
from pathlib import Path, PurePosixPath
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from orrinth.trace import Trace, TraceEvent

GOOD = [
    TraceEvent(type="message", turn=1, agent="a", data={"content": "é" * 30}).model_dump_json(),
    '{"type": "state_change", "turn": 2}',
    "",
    "   ",
]
BAD = {
    "json": '{"type": "message", "turn": 1',
    "validation": '{"type": "message"}',
    "wrong-kind": '{"type": "chat", "turn": 1}',
    "not-an-object": "[1, 2]",
    "undecodable": '{"type": "message", "turn": 1, "data": {"x": "\udcff"}}',
}


def encode(lines: list[str]) -> bytes:
    # surrogateescape turns the lone \udcff into the byte 0xff, which UTF-8 cannot decode.
    return "\n".join(lines).encode("utf-8", "surrogateescape") + b"\n"


def plain_error(path: Path) -> BaseException:
    """What the straightforward Python reader raises on this file."""
    try:
        with path.open() as f:
            for line in f:
                if line.strip():
                    TraceEvent.model_validate(json.loads(line.strip()))
    except Exception as exc:
        return exc
    raise AssertionError("the file was expected to be bad")


def same_error(native: BaseException, plain: BaseException) -> None:
    assert type(native) is type(plain)
    assert str(native) == str(plain)
    assert type(native.__cause__) is type(plain.__cause__) and str(native.__cause__) == str(plain.__cause__)


@settings(max_examples=60, deadline=None)
@given(
    before=st.lists(st.sampled_from(GOOD), max_size=400),
    after=st.lists(st.sampled_from(GOOD), max_size=5),
    kind=st.sampled_from(sorted(BAD)),
)
def test_a_bad_line_is_located_in_the_file(
    tmp_path_factory: pytest.TempPathFactory, before: list[str], after: list[str], kind: str
) -> None:
    # Up to 400 lines before the bad one: an undecodable byte well past the reader's first
    # block must still be placed on its own line.
    path = tmp_path_factory.mktemp("loc") / "run.jsonl"
    path.write_bytes(encode([*before, BAD[kind], *after]))
    with pytest.raises(Exception) as raised:
        Trace.from_jsonl(path)
    same_error(raised.value, plain_error(path))
    assert raised.value.__notes__ == [f"while reading {path}, line {len(before) + 1}"]


@pytest.mark.parametrize("index", [0, 3])
@pytest.mark.parametrize("via", ["path", "path-like"])
def test_the_event_that_cannot_be_written_is_named(tmp_path: Path, index: int, via: str) -> None:
    trace = Trace()
    events = [TraceEvent(type="message", turn=10 + i) for i in range(5)]
    events[index].data["x"] = object()
    for event in events:
        trace.add_event(event)
    target: Any = tmp_path / "run.jsonl" if via == "path" else PathLike(tmp_path / "run.jsonl")
    with pytest.raises(Exception) as raised:
        trace.to_jsonl(target)
    with pytest.raises(Exception) as plain:
        events[index].model_dump_json()
    same_error(raised.value, plain.value)
    assert raised.value.__notes__ == [f"while writing trace.events[{index}] (turn {10 + index}) to {target}"]


class PathLike:
    """Behaves like a path for saving; not a pathlib.Path."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.parent = path.parent

    def open(self, mode: str = "r") -> Any:
        return self.path.open(mode)

    def __str__(self) -> str:
        return f"PathLike({self.path})"


@pytest.mark.parametrize(
    "path, advice",
    [
        ("runs/a.jsonl", "not str: pass pathlib.Path('runs/a.jsonl')"),
        (b"runs/a.jsonl", "not bytes: pass pathlib.Path(os.fsdecode(b'runs/a.jsonl'))"),
        (PurePosixPath("runs/a.jsonl"), "not PurePosixPath: pass pathlib.Path(PurePosixPath('runs/a.jsonl'))"),
        (None, "not NoneType: make one with pathlib.Path('runs/trace.jsonl')"),
    ],
)
@pytest.mark.parametrize("method", ["from_jsonl", "to_jsonl"])
def test_a_path_of_the_wrong_type_gets_advice(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, path: object, advice: str, method: str
) -> None:
    monkeypatch.chdir(tmp_path)
    call = getattr(Trace if method == "from_jsonl" else Trace(), method)
    with pytest.raises(AttributeError) as raised:
        call(path)
    attr = "open" if method == "from_jsonl" else ("mkdir" if isinstance(path, PurePosixPath) else "parent")
    owner = "PurePosixPath" if isinstance(path, PurePosixPath) else type(path).__name__
    assert str(raised.value) == f"'{owner}' object has no attribute '{attr}'"
    assert raised.value.__notes__ == [f"Trace.{method} takes a pathlib.Path, {advice}"]
    assert list(tmp_path.iterdir()) == []


def test_a_path_like_object_keeps_its_own_errors(tmp_path: Path) -> None:
    with pytest.raises(FileNotFoundError) as raised:
        Trace.from_jsonl(PathLike(tmp_path / "missing.jsonl"))
    assert not hasattr(raised.value, "__notes__")
