"""A failure raised by an event's own code ends the save at once; the fast read route is left
for any change to how json.loads decodes; the message-dict template stays out of reach."""

import decimal
import gc
import json

import pytest
from support import run_python

import orrinth._jsonl_routes as routes
import orrinth.adapters.raw as raw
from orrinth.trace import Trace, TraceEvent

# An event that saves its own trace again whenever it is dumped and whenever its turn or
# type is read, without bound: plain Python code doing the same raises RecursionError after
# one descent. Counting the dumps shows whether anything started the descent over.
REENTRANT_SAVE = """
    import json, os, pathlib, sys
    from orrinth.trace import Trace, TraceEvent

    target, how = pathlib.Path(sys.argv[1]), sys.argv[2]
    calls = [0]

    class FakePath:  # saved through its own open: the in-place route
        parent = target.parent
        def open(self, mode="r"):
            return open(target, mode)

    where = target if how == "path" else FakePath()

    class Reentrant(TraceEvent):
        def model_dump_json(self, **kw):
            calls[0] += 1
            trace.to_jsonl(where)
            return super().model_dump_json(**kw)

        def __getattribute__(self, name):
            if name in ("turn", "type") and calls[0]:
                trace.to_jsonl(where)
            return super().__getattribute__(name)

    trace = Trace()
    trace.add_event(Reentrant(type="message", turn=1))
    try:
        trace.to_jsonl(where)
        outcome = "saved"
    except RecursionError:
        outcome = "RecursionError"
    print(json.dumps([outcome, calls[0], sys.getrecursionlimit(), sorted(os.listdir(target.parent))]))
"""


@pytest.mark.parametrize("how", ["path", "own open"])
def test_a_reentrant_save_raises_after_one_descent(tmp_path, how):
    proc = run_python(REENTRANT_SAVE, tmp_path / "run.jsonl", how, timeout=120)
    assert proc.returncode == 0, proc.stderr
    outcome, calls, limit, listing = json.loads(proc.stdout)
    assert outcome == "RecursionError"
    assert calls <= limit  # one dump per level of the one descent, none repeated
    # the atomic route leaves nothing; the in-place one leaves the file its open created
    assert listing == ([] if how == "path" else ["run.jsonl"])


@pytest.fixture
def saved(tmp_path):
    trace = Trace()
    for turn in range(3):
        trace.add_event(TraceEvent(type="message", turn=turn, timestamp=1.5, data={"x": [1.25, {"y": None}]}))
    path = tmp_path / "run.jsonl"
    trace.to_jsonl(path)
    return path, trace


PATCHES = {
    "default decoder": lambda mp: mp.setattr(json, "_default_decoder", json.JSONDecoder(parse_float=decimal.Decimal)),
    "class decode": lambda mp: mp.setattr(json.JSONDecoder, "decode", _wrap(json.JSONDecoder.decode)),
    "class raw_decode": lambda mp: mp.setattr(json.JSONDecoder, "raw_decode", _wrap(json.JSONDecoder.raw_decode)),
    "class scan_once": lambda mp: mp.setattr(json.JSONDecoder, "scan_once", property(lambda self: _scan),
                                             raising=False),
    "instance scan_once": lambda mp: mp.setattr(json._default_decoder, "scan_once", _wrap(_scan)),
    "instance decode": lambda mp: mp.setattr(json._default_decoder, "decode",
                                             _wrap(json._default_decoder.decode), raising=False),
}
_scan = json._default_decoder.scan_once


def _wrap(fn):
    def wrapper(*args, **kwargs):
        return fn(*args, **kwargs)
    return wrapper


@pytest.mark.parametrize("patch", list(PATCHES))
def test_any_change_to_the_default_decoder_takes_the_plain_route(saved, monkeypatch, patch):
    path, trace = saved
    assert Trace.from_jsonl(path).events == trace.events
    fast_before = routes.last_counts[0]
    assert fast_before == (3 if routes.enabled and routes.builds_events else fast_before)
    with monkeypatch.context() as mp:
        PATCHES[patch](mp)
        assert Trace.from_jsonl(path).events == trace.events
        assert routes.last_counts == (0, 3)
    # undone, the fast route is taken again (where it is on at all)
    assert Trace.from_jsonl(path).events == trace.events
    assert routes.last_counts == (fast_before, 3 - fast_before)


def test_the_message_dict_template_is_out_of_reach():
    def is_template(obj):
        return type(obj) is dict and set(obj) == {"sender", "content", "turn"} and \
            all(v is None for v in obj.values())

    seen, frontier = set(), [raw, raw.RawAgent, vars(raw)]
    for _ in range(5):  # what code walking the module's state through the collector finds
        nxt = []
        for obj in frontier:
            for ref in gc.get_referents(obj):
                if id(ref) not in seen:
                    seen.add(id(ref))
                    nxt.append(ref)
                    assert not is_template(ref)
        frontier = nxt
    assert not [obj for obj in gc.get_objects() if is_template(obj)]
    # and every message is still a fresh dict of the three keys
    got = []
    agent = raw.RawAgent("a", lambda m: got.append(m) or "ok")
    from orrinth.agent import Message
    agent.receive(Message("u", "hi", 1))
    agent.receive(Message("u", "again", 2))
    assert got == [{"sender": "u", "content": "hi", "turn": 1}, {"sender": "u", "content": "again", "turn": 2}]
    assert got[0] is not got[1]

