"""Trace.to_jsonl / Trace.from_jsonl: the file format, reading, and where loading and
saving failed: both raise exactly what a plain Python reader or writer raises (type,
message, cause) with one note added, which names the file and line, or the event, or says
that the method takes a pathlib.Path."""

from __future__ import annotations

import io
import json
import locale
import types
from pathlib import Path, PurePosixPath
from typing import Any

import pydantic
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import orrinth.trace as mod
from orrinth.trace import Trace, TraceEvent

from support import LINE1, LINE2, sample

ENCODING = locale.getpreferredencoding(False)
def dump(t):
    return [e.model_dump() for e in t._events]


class TestWrite:
    def test_file_format_byte_exact(self, tmp_path):
        path = tmp_path / "t.jsonl"
        assert sample().to_jsonl(path) is None
        assert path.read_bytes() == (LINE1 + LINE2).encode(ENCODING)

    def test_empty_trace_makes_parents_and_empty_file(self, tmp_path):
        path = tmp_path / "a" / "b" / "t.jsonl"
        Trace().to_jsonl(path)
        assert path.read_bytes() == b""

    def test_overwrite_replaces_whole_content(self, tmp_path):
        path = tmp_path / "t.jsonl"
        path.write_text("x" * 10000)
        t = Trace()
        t.add_event(TraceEvent(type="property_check", turn=-1))
        t.to_jsonl(path=path)
        assert path.read_text() == LINE2

    def test_trace_unchanged(self, tmp_path):
        t = sample()
        events, before = list(t._events), dump(t)
        t.to_jsonl(tmp_path / "t.jsonl")
        assert t._events == events and dump(t) == before

    def test_str_path_fails_and_creates_nothing(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        with pytest.raises(AttributeError) as raised:
            sample().to_jsonl("sub/t.jsonl")
        assert str(raised.value) == "'str' object has no attribute 'parent'"
        assert raised.value.__notes__ == [
            "Trace.to_jsonl takes a pathlib.Path, not str: pass pathlib.Path('sub/t.jsonl')"]
        with pytest.raises(AttributeError) as raised:
            Trace.from_jsonl("t.jsonl")
        assert str(raised.value) == "'str' object has no attribute 'open'"
        assert list(tmp_path.iterdir()) == []


class TestRead:
    def write(self, tmp_path, data):
        path = tmp_path / "t.jsonl"
        path.write_bytes(data)
        return path

    def test_round_trip_starts_with_empty_results(self, tmp_path):
        t = sample()
        t.results.append("r")
        t.to_jsonl(tmp_path / "t.jsonl")
        back = Trace.from_jsonl(tmp_path / "t.jsonl")
        assert type(back) is Trace and dump(back) == dump(t) and back.results == []
        assert list(vars(back)) == ["_events", "results"]

    @pytest.mark.parametrize("data", [
        b"", b"\n\n  \n\t\r\n", b"\r\n\r\n",
    ])
    def test_blank_files(self, tmp_path, data):
        assert Trace.from_jsonl(self.write(tmp_path, data))._events == []

    @pytest.mark.parametrize("data", [
        LINE1.encode() + LINE2.encode(),
        ("  " + LINE1[:-1] + " \t\r\n\r\n" + LINE2[:-1]).encode(),
        ("\n" + LINE1[:-1] + "\r" + LINE2[:-1] + "\r\n").encode(),
        (LINE1 + "   \n" + LINE2[:-1] + "   ").encode(),
    ])
    def test_lenient_lines(self, tmp_path, data):
        assert dump(Trace.from_jsonl(self.write(tmp_path, data))) == dump(sample())

    def test_minimal_object_and_unknown_keys(self, tmp_path):
        back = Trace.from_jsonl(self.write(tmp_path, b'{"turn": 2, "type": "message", "x": 1}'))
        assert dump(back) == [TraceEvent(type="message", turn=2).model_dump()]

    @pytest.mark.parametrize("text", [
        "\ufeff" + LINE1, LINE1[:-1] + " " + LINE2, LINE1 + "[1,\n2]\n", LINE1 + "nan-ish\n",
    ])
    def test_json_errors(self, tmp_path, text):
        bad = next(line.strip() for line in text.splitlines()
                   if line.strip() and line.strip() != LINE1.strip())
        with pytest.raises(json.JSONDecodeError) as expected:
            json.loads(bad)
        with pytest.raises(json.JSONDecodeError) as err:
            Trace.from_jsonl(self.write(tmp_path, text.encode()))
        assert str(err.value) == str(expected.value)

    @pytest.mark.parametrize("line", ['[1]', '{"type":"other","turn":1}', '{"type":"message"}',
                                      '{"type":"message","turn":1,"data":[]}'])
    def test_invalid_event(self, tmp_path, line):
        with pytest.raises(pydantic.ValidationError) as err:
            Trace.from_jsonl(self.write(tmp_path, (LINE1 + line).encode()))
        assert err.value.title == "TraceEvent"

    def test_undecodable_bytes(self, tmp_path):
        with pytest.raises(UnicodeDecodeError):
            Trace.from_jsonl(self.write(tmp_path, LINE1.encode() + b"\xff\xfe\n"))

    def test_missing_file(self, tmp_path):
        path = tmp_path / "none.jsonl"
        with pytest.raises(FileNotFoundError) as err:
            Trace.from_jsonl(path)
        assert err.value.filename == str(path)

    def test_subclass_and_its_add_event(self, tmp_path):
        class Sub(Trace):
            def add_event(self, event):
                super().add_event(event)
                self.results.append(event.turn)

        path = tmp_path / "t.jsonl"
        sample().to_jsonl(path)
        back = Sub().from_jsonl(path)
        assert type(back) is Sub and back.results == [1, -1]

    def test_only_open_needed_and_closed_on_failure(self):
        files = []

        class Source:
            def __init__(self, text):
                self.text = text

            def open(self):
                files.append(io.StringIO(self.text))
                return files[-1]

        assert dump(Trace.from_jsonl(Source(LINE1 + LINE2))) == dump(sample())
        with pytest.raises(json.JSONDecodeError):
            Trace.from_jsonl(Source(LINE1 + "{\n" + LINE2))
        assert [f.closed for f in files] == [True, True]

    def test_names_looked_up_at_call_time(self, tmp_path, monkeypatch):
        path = tmp_path / "t.jsonl"
        sample().to_jsonl(path)
        parsed = []

        def loads(text):
            parsed.append(text)
            return json.loads(text)

        class Event(TraceEvent):
            pass

        monkeypatch.setattr(mod, "json", types.SimpleNamespace(loads=loads))
        monkeypatch.setattr(mod, "TraceEvent", Event)
        back = Trace.from_jsonl(path)
        assert parsed == [LINE1.strip(), LINE2.strip()]
        assert [type(e) for e in back._events] == [Event, Event]

    @pytest.mark.parametrize("change", ["class", "base", "rebind"])
    def test_model_validate_looked_up_again_after_a_change(self, tmp_path, monkeypatch, change):
        # The reader may keep TraceEvent.model_validate from one line to the next, but a
        # class changed (or a name rebound) while reading must be seen on the next line.
        path = tmp_path / "t.jsonl"
        path.write_text(LINE1 + LINE2 + LINE1)
        seen = []

        class Event(TraceEvent):
            pass

        class Other(TraceEvent):
            @classmethod
            def model_validate(cls, obj):
                seen.append("other")
                return super().model_validate(obj)

        original = TraceEvent.model_validate.__func__

        @classmethod
        def counted(cls, obj):
            seen.append("patched")
            return original(cls, obj)

        def loads(text):
            if len(seen) == 0 and text == LINE2.strip():
                if change == "class":
                    Event.model_validate = counted
                elif change == "base":
                    monkeypatch.setattr(TraceEvent, "model_validate", counted)
                else:
                    monkeypatch.setattr(mod, "TraceEvent", Other)
            return json.loads(text)

        monkeypatch.setattr(mod, "json", types.SimpleNamespace(loads=loads))
        monkeypatch.setattr(mod, "TraceEvent", Event)
        back = Trace.from_jsonl(path)
        assert seen == (["other", "other"] if change == "rebind" else ["patched", "patched"])
        assert len(back._events) == 3


JSON = st.recursive(
    st.none() | st.booleans() | st.integers() | st.text()
    | st.floats(allow_nan=False, allow_infinity=False),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(), inner, max_size=4),
    max_leaves=12)
EVENTS = st.builds(
    TraceEvent, type=st.sampled_from(["message", "state_change", "fault_injected",
                                      "property_check"]),
    turn=st.integers(), agent=st.none() | st.text(),
    data=st.dictionaries(st.text(), JSON, max_size=4),
    timestamp=st.floats(allow_nan=False, allow_infinity=False), input_tokens=st.integers(),
    output_tokens=st.integers(), cost_usd=st.floats(allow_nan=False, allow_infinity=False))


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(EVENTS, max_size=8))
def test_round_trip_of_json_values(tmp_path, events):
    t = Trace()
    for e in events:
        t.add_event(e)
    path = tmp_path / "rt.jsonl"
    t.to_jsonl(path)
    assert path.read_text().count("\n") == len(events)
    assert Trace.from_jsonl(path)._events == events


# --------------------------------------------------------------------------- where it failed

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
