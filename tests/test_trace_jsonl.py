"""Trace.to_jsonl / Trace.from_jsonl: the file format, reading, and the atomic save."""
import io
import json
import locale
import os
import pathlib
import shutil
import stat
import tempfile
import types

import pydantic
import pydantic_core
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import orrinth.trace as mod
from orrinth.trace import Trace, TraceEvent

ENCODING = locale.getpreferredencoding(False)
LINE1 = ('{"type":"message","turn":1,"agent":"a","data":{"k":[1,"é"]},"timestamp":1.5,'
         '"input_tokens":3,"output_tokens":4,"cost_usd":0.25}\n')
LINE2 = ('{"type":"property_check","turn":-1,"agent":null,"data":{},"timestamp":0.0,'
         '"input_tokens":0,"output_tokens":0,"cost_usd":0.0}\n')


def sample():
    t = Trace()
    t.add_event(TraceEvent(type="message", turn=1, agent="a", data={"k": [1, "é"]},
                           timestamp=1.5, input_tokens=3, output_tokens=4, cost_usd=0.25))
    t.add_event(TraceEvent(type="property_check", turn=-1))
    return t


def unserialisable():
    t = sample()
    bad = TraceEvent(type="message", turn=2)
    bad.data["x"] = object()
    t.add_event(bad)
    t.add_event(TraceEvent(type="message", turn=3))
    return t


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


class TestAtomicSave:
    def test_failed_save_keeps_old_file(self, tmp_path):
        path = tmp_path / "t.jsonl"
        sample().to_jsonl(path)
        os.chmod(path, 0o640)
        before = path.read_bytes()
        with pytest.raises(pydantic_core.PydanticSerializationError) as raised:
            unserialisable().to_jsonl(path)
        assert str(raised.value) == "Unable to serialize unknown type: <class 'object'>"
        assert path.read_bytes() == before and os.listdir(tmp_path) == ["t.jsonl"]
        assert stat.S_IMODE(path.stat().st_mode) == 0o640

    def test_failed_save_to_new_file_leaves_nothing(self, tmp_path):
        with pytest.raises(pydantic_core.PydanticSerializationError):
            unserialisable().to_jsonl(tmp_path / "d" / "t.jsonl")
        assert os.listdir(tmp_path / "d") == []

    def test_replaced_file_keeps_mode(self, tmp_path):
        path = tmp_path / "t.jsonl"
        path.write_text("old")
        os.chmod(path, 0o604)
        inode = path.stat().st_ino
        sample().to_jsonl(path)
        assert stat.S_IMODE(path.stat().st_mode) == 0o604 and path.stat().st_ino != inode
        assert path.read_text() == LINE1 + LINE2 and os.listdir(tmp_path) == ["t.jsonl"]

    @pytest.mark.parametrize("umask", [0o022, 0o027, 0o077])
    def test_new_file_mode_follows_umask(self, tmp_path, umask):
        old = os.umask(umask)
        try:
            sample().to_jsonl(tmp_path / "t.jsonl")
        finally:
            os.umask(old)
        assert stat.S_IMODE((tmp_path / "t.jsonl").stat().st_mode) == 0o666 & ~umask

    def test_symlink_target_replaced_through_link(self, tmp_path):
        (tmp_path / "real").mkdir()
        target, link = tmp_path / "real" / "t.jsonl", tmp_path / "link.jsonl"
        target.write_text("old")
        os.chmod(target, 0o640)
        link.symlink_to(target)
        sample().to_jsonl(link)
        assert link.is_symlink() and os.readlink(link) == str(target)
        assert target.read_text() == LINE1 + LINE2
        assert stat.S_IMODE(target.stat().st_mode) == 0o640
        assert sorted(os.listdir(tmp_path / "real")) == ["t.jsonl"]

    def test_dangling_symlink_creates_target(self, tmp_path):
        link = tmp_path / "link.jsonl"
        link.symlink_to(tmp_path / "made.jsonl")
        sample().to_jsonl(link)
        assert link.is_symlink() and (tmp_path / "made.jsonl").read_text() == LINE1 + LINE2

    def test_relative_path_and_path_subclass(self, tmp_path, monkeypatch):
        class MyPath(type(pathlib.Path())):
            pass

        monkeypatch.chdir(tmp_path)
        (tmp_path / "t.jsonl").write_text("old")
        with pytest.raises(pydantic_core.PydanticSerializationError):
            unserialisable().to_jsonl(MyPath("t.jsonl"))
        assert (tmp_path / "t.jsonl").read_text() == "old"
        sample().to_jsonl(pathlib.Path("t.jsonl"))
        assert (tmp_path / "t.jsonl").read_text() == LINE1 + LINE2
        assert os.listdir(tmp_path) == ["t.jsonl"]

    def test_special_file_written_in_place(self):
        sample().to_jsonl(pathlib.Path(os.devnull))
        assert stat.S_ISCHR(os.stat(os.devnull).st_mode)


class Recorder:
    """A path-like object that is not a Path: offers parent.mkdir and open only."""

    def __init__(self, real, log):
        self.real, self.log = real, log
        self.parent = types.SimpleNamespace(
            mkdir=lambda **kw: log.append(("mkdir", kw)) or real.parent.mkdir(**kw))

    def open(self, *args):
        self.log.append(("open", args))
        f = open(self.real, *args)
        log = self.log

        class File:
            def write(self, text):
                log.append(("write", text))
                return f.write(text)

            def close(self):
                log.append(("close",))
                f.close()
        return File()


class TestInPlaceSave:
    def test_calls_as_documented(self, tmp_path):
        log = []
        sample().to_jsonl(Recorder(tmp_path / "d" / "t.jsonl", log))
        assert log == [("mkdir", {"parents": True, "exist_ok": True}), ("open", ("w",)),
                       ("write", LINE1), ("write", LINE2), ("close",)]

    def test_failure_leaves_truncated_file(self, tmp_path):
        path, log = tmp_path / "t.jsonl", []
        path.write_text("previous content\n" * 10)
        with pytest.raises(pydantic_core.PydanticSerializationError):
            unserialisable().to_jsonl(Recorder(path, log))
        assert path.read_text() == LINE1 + LINE2 and log[-1] == ("close",)

    def test_object_claiming_to_be_a_path(self, tmp_path):
        log = []

        class Impostor(Recorder):
            __class__ = pathlib.PosixPath

        assert isinstance(Impostor(None, log), pathlib.Path)
        sample().to_jsonl(Impostor(tmp_path / "t.jsonl", log))
        assert [entry[0] for entry in log] == ["mkdir", "open", "write", "write", "close"]


NOBODY = 65534


@pytest.fixture
def shared_dir():
    """A directory that an unprivileged user can reach (tmp_path is private to root)."""
    d = pathlib.Path(tempfile.mkdtemp(dir="/tmp"))
    os.chmod(d, 0o755)
    yield d
    for p in (d, *d.rglob("*")):
        if p.is_dir() and not p.is_symlink():
            os.chmod(p, 0o755)
    shutil.rmtree(d)


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0,
                    reason="needs root to act as another user")
class TestOtherOwners:
    def test_unwritable_directory_falls_back_to_in_place(self, shared_dir):
        path = shared_dir / "ro" / "t.jsonl"
        path.parent.mkdir()
        path.write_text("old")
        os.chown(path, NOBODY, NOBODY)
        os.chmod(path.parent, 0o555)
        inode, trace = path.stat().st_ino, sample()
        os.seteuid(NOBODY)
        try:
            with pytest.raises(PermissionError):  # the check is meaningful for this user
                (path.parent / "probe").touch()
            trace.to_jsonl(path)
        finally:
            os.seteuid(0)
        assert path.read_text() == LINE1 + LINE2 and path.stat().st_ino == inode
        assert os.listdir(path.parent) == ["t.jsonl"]

    def test_read_only_file_of_the_effective_user_is_refused(self, shared_dir):
        path = shared_dir / "t.jsonl"
        path.write_text("old")
        os.chown(path, NOBODY, NOBODY)
        os.chmod(path, 0o444)
        os.chmod(shared_dir, 0o777)
        inode, trace = path.stat().st_ino, sample()
        os.seteuid(NOBODY)
        try:
            with pytest.raises(PermissionError):
                trace.to_jsonl(path)
        finally:
            os.seteuid(0)
        assert path.read_text() == "old" and path.stat().st_ino == inode
        assert os.listdir(shared_dir) == ["t.jsonl"]

    def test_file_of_another_user_written_in_place(self, shared_dir):
        path = shared_dir / "t.jsonl"
        path.write_text("old")
        os.chown(path, NOBODY, NOBODY)
        inode = path.stat().st_ino
        sample().to_jsonl(path)
        st_ = path.stat()
        assert (st_.st_ino, st_.st_uid) == (inode, NOBODY)
        assert path.read_text() == LINE1 + LINE2
