"""from_jsonl's native reader against json.loads + model_validate: same events object for
object, or the same exception with the same notes, on generated files of every kind."""
import decimal
import json
import pathlib
import random

import pydantic
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import native_lines
from jsonl_differential import read_both
from orrinth import _jsonl_routes as routes
from orrinth.trace import Trace, TraceEvent


@pytest.fixture(autouse=True, scope="module")
def native_reader_on():
    major_minor = tuple(int(p) for p in pydantic.VERSION.split(".")[:2])
    if major_minor not in routes.CHECKED_PYDANTIC:
        pytest.skip(f"pydantic {pydantic.VERSION} is not a checked release: plain routes only")
    assert routes.reads_natively, "the import-time probe turned the native parser off"


def read_alike(path, cls=Trace):
    """read_both(), then how many lines the default route parsed natively."""
    counts, trace = read_both(path, cls)
    try:
        cls.from_jsonl(path)
    except Exception:  # noqa: BLE001 - read_both has compared the failure
        return counts, trace, None
    assert routes.last_counts == counts
    return counts, trace, routes.last_native_reads


@pytest.fixture
def switches():
    yield routes
    routes.native_reads, routes.force_plain = True, False


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(seed=st.integers(0, 2**32), n_lines=st.sampled_from([1, 3, 40]), odd=st.sampled_from([0, 0.01, 0.2]))
def test_generated_files_read_alike(tmp_path, seed, n_lines, odd):
    path = tmp_path / "t.jsonl"
    path.write_bytes(native_lines.file_bytes(random.Random(seed), n_lines, odd))
    counts, trace, native = read_alike(path)
    if trace is not None:
        assert 0 <= native <= counts[0]


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(seed=st.integers(0, 2**32), end=st.sampled_from(["\n", "\r\n", "\r"]))
def test_saved_files_are_read_natively_line_for_line(tmp_path, seed, end):
    rng = random.Random(seed)
    trace = Trace()
    for fields in native_lines.writer_lines(rng, 30):
        trace.add_event(TraceEvent(**fields))
    path = tmp_path / "t.jsonl"
    trace.to_jsonl(path)
    path.write_bytes(path.read_bytes().replace(b"\n", end.encode()))
    counts, back, native = read_alike(path)
    assert routes.same(back._events, trace._events)
    assert native == counts[0] == len(trace.events)


def _file(tmp_path, text=b'{"type":"message","turn":1}\n' * 3):
    path = tmp_path / "t.jsonl"
    path.write_bytes(text)
    return path


class OwnOpen(type(pathlib.Path())):
    def open(self, *args, **kwargs):
        return super().open(*args, **kwargs)


@pytest.mark.parametrize("setup, reads_natively", [
    (lambda r, mp: None, True),
    (lambda r, mp: setattr(r, "native_reads", False), False),
    (lambda r, mp: setattr(r, "force_plain", True), False),
    (lambda r, mp: mp.setattr(json, "_default_decoder", json.JSONDecoder(parse_float=decimal.Decimal)), False),
    (lambda r, mp: mp.setattr(json._default_decoder, "scan_once", lambda s, i: ({}, i)), False),
    (lambda r, mp: mp.setattr(json.JSONDecoder, "decode", lambda self, s: {}), False),
])
def test_switches(tmp_path, switches, monkeypatch, setup, reads_natively):
    setup(switches, monkeypatch)
    try:
        trace = Trace.from_jsonl(_file(tmp_path))
    except (pydantic.ValidationError, json.JSONDecodeError):  # what a replaced decoder gave, refused
        assert not reads_natively
        return
    assert routes.last_native_reads == (3 if reads_natively else 0)
    assert len(trace.events) == 3 or not reads_natively


@pytest.mark.parametrize("make_path", [OwnOpen, lambda p: p], ids=["own open", "pathlib"])
def test_only_pathlib_opens_are_read_natively(tmp_path, make_path):
    path = make_path(_file(tmp_path))
    counts, trace, native = read_alike(path)
    assert len(trace.events) == 3
    assert native == (0 if type(path) is OwnOpen else 3)


def test_subclass_of_trace_takes_the_text_route(tmp_path):
    added = []

    class Recording(Trace):
        def add_event(self, event):
            added.append(event)
            super().add_event(event)

    counts, trace, native = read_alike(_file(tmp_path), cls=Recording)
    assert len(added) == 9 and native == 0  # three routes, three each


@pytest.mark.parametrize("tail", [
    b'{"type":"message","turn":1}\n\xff\n',        # undecodable after good lines
    b'{"type":"message","turn":"x"}\n' + b"\xc3",  # a bad line, and bytes cut short after it
    b'{"type":"message","turn":1,"data":{"k":' + b"[" * 3000 + b"]" * 3000 + b"}}\n",
    b'{"type":"message","turn":' + b"9" * 5000 + b"}\n",
])
def test_failures_are_the_text_routes(tmp_path, tail):
    path = _file(tmp_path, b'{"type":"message","turn":1}\r\n' * 2000 + tail)
    read_both(path)


def test_lines_longer_than_a_read(tmp_path):
    big = {"s": "x" * 700_000, "t": ["\u00e9" * 300_000]}
    trace = Trace()
    trace.add_event(TraceEvent(type="message", turn=1, data=big))
    trace.add_event(TraceEvent(type="message", turn=2))
    path = tmp_path / "t.jsonl"
    trace.to_jsonl(path)
    counts, back, native = read_alike(path)
    assert routes.same([e.__dict__ for e in back._events], [e.__dict__ for e in trace._events])
    assert native == 2


def _patched_loads(loads):
    def patched(s, *args, **kwargs):
        obj = loads(s, *args, **kwargs)
        obj["data"] = {"patched": True}
        return obj
    return patched


def _patched_scanner(scan_once):
    def patched(s, i):
        obj, end = scan_once(s, i)
        obj["data"] = {"patched": True}
        return obj, end
    return patched


def _read_while_collecting(tmp_path, on_collect):
    """Trace.from_jsonl() of 3,000 lines, every 50th for the plain route, with the collector
    run often and a cycle whose finalizer calls on_collect() in the middle of the read."""
    import gc

    plain = b'{"type":"message","turn":1,"data":{"n":' + b"7" * 700 + b"}}\n"
    path = _file(tmp_path, (b'{"type":"message","turn":1}\n' * 49 + plain) * 60)

    class Finalizer:
        def __del__(self):
            on_collect()

    threshold = gc.get_threshold()
    gc.collect()
    try:
        gc.set_threshold(20)
        cycle = Finalizer()
        cycle.me = cycle
        del cycle
        return Trace.from_jsonl(path)
    finally:
        gc.set_threshold(*threshold)


@pytest.mark.parametrize("where, name, wrap", [
    (lambda: json, "loads", _patched_loads),
    (lambda: json._default_decoder, "scan_once", _patched_scanner),
    (lambda: json._default_decoder, "decode", _patched_loads),
], ids=["json.loads", "decoder.scan_once", "decoder.decode"])
def test_a_change_during_the_read_holds_from_the_next_line(tmp_path, where, name, wrap):
    """A finalizer that the collector runs in the middle of the read replaces a call the
    plain route makes: the lines after it are read with the replacement, as plainly.
    (From 3.12 on the collector runs only where bytecode runs: in the plain route's lines,
    here every 50th, whose integer has more digits than the other routes take.)"""
    target = where()
    original = getattr(target, name)
    had_own = name in vars(target)
    try:
        trace = _read_while_collecting(tmp_path, lambda: setattr(target, name, wrap(original)))
    finally:
        if had_own:
            setattr(target, name, original)
        elif name in vars(target):
            delattr(target, name)
    patched = [e.data == {"patched": True} for e in trace.events]
    assert routes.last_native_reads > 0
    first = patched.index(True)  # the finalizer ran during the read ...
    assert 0 < first and all(patched[first:])  # ... and every line after it saw the change


@pytest.mark.parametrize("setattr_slots", [False, True], ids=["stored", "setattr"])
def test_event_slots_either_way(tmp_path, setattr_slots):
    """The events' dict and pydantic attributes stored into the new object, or (the plain
    way) the object made by __new__ and its attributes set through setattr: the same events
    either way, as the validator's, down to what the interpreter itself sees of them."""
    from support import run_python

    child = run_python("""
        import copy, gc, pickle, random, sys
        from orrinth import _jsonl_routes as routes
        routes.setattr_event_slots = sys.argv[2] == "True"
        import native_lines
        from jsonl_differential import read_both
        from orrinth.trace import Trace
        assert routes.reads_natively and routes.direct_event_slots is not routes.setattr_event_slots

        def seen(e, all_native):
            d = e.__dict__
            # (Lines the native parser leaves go to pydantic's JSON parser, whose lists are
            # not over-allocated as json.loads's are.)
            seen = (sys.getsizeof(e), gc.is_tracked(e), vars(e) is d is e.__dict__,
                    list(e.model_fields_set), sys.getsizeof(e.model_fields_set),
                    native_lines.containers(d) if all_native else None,
                    sorted(type(r).__name__ for r in gc.get_referents(e)),
                    pickle.loads(pickle.dumps(e)) == e == copy.deepcopy(e))
            e.__dict__ = dict(d)  # a dict set again replaces it, as on any instance
            assert e.__dict__ is not d and e.__dict__ == d
            return seen

        path = __import__("pathlib").Path(sys.argv[1])
        for seed in range(20):
            path.write_bytes(native_lines.file_bytes(random.Random(seed), 40, 0.01))
            read_both(path)
            try:
                trace = Trace.from_jsonl(path)
            except Exception:
                continue
            assert routes.last_native_reads > 0
            all_native = routes.last_native_reads == len(trace.events)
            routes.force_plain = True
            plain = Trace.from_jsonl(path).events
            routes.force_plain = False
            assert len(plain) == len(trace.events)
            for event, theirs in zip(trace.events, plain):
                assert seen(event, all_native) == seen(theirs, all_native)
    """, tmp_path / "t.jsonl", setattr_slots)
    assert child.returncode == 0, child.stderr


@pytest.mark.parametrize("change", ["events list", "add_event"])
def test_the_trace_changed_during_the_read(tmp_path, change):
    """A finalizer run in the middle of the read finds the trace being filled and gives it
    another events list, or an add_event of its own: every event after that goes where
    the trace's add_event would put it. (Collected in the plain route's lines, as above.)"""
    import gc

    before = [o for o in gc.get_objects() if type(o) is Trace]
    earlier, later = [], []

    def change_it():
        for t in gc.get_objects():
            if type(t) is Trace and all(t is not b for b in before):
                earlier.append(t._events)
                if change == "events list":
                    t._events = later
                else:
                    t.add_event = later.append

    trace = _read_while_collecting(tmp_path, change_it)
    assert routes.last_native_reads > 0 and len(earlier) == 1
    assert trace._events is (later if change == "events list" else earlier[0])
    assert 0 < len(earlier[0]) and len(earlier[0]) + len(later) == 3000
    assert any(e.data == {} for e in later)  # natively parsed lines among them, not only plain ones


def _spelled(keys, values):
    """A JSON object of the pairs in order, duplicates kept (json.dumps would merge them)."""
    return "{" + ",".join(json.dumps(k) + ":" + json.dumps(v) for k, v in zip(keys, values)) + "}"


_shape_values = st.recursive(st.none() | st.booleans() | st.integers(-10**6, 10**6) | st.text(max_size=5),
                             lambda inner: st.lists(inner, max_size=3)
                             | st.dictionaries(st.sampled_from("abc"), inner, max_size=3),
                             max_leaves=6)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(shapes=st.lists(st.lists(st.sampled_from(["seq", "tool", "ok", "k", "a-much-longer-key-name-here", ""]),
                                max_size=12), min_size=1, max_size=4),
       lines=st.lists(st.tuples(st.integers(0, 3), st.lists(_shape_values, min_size=12, max_size=12)),
                      min_size=1, max_size=30))
def test_objects_of_repeated_shapes_read_alike(tmp_path, shapes, lines):
    """data objects whose keys come in a few orders, line after line (so that their tables
    are reused), some with repeated keys or more keys than a table is kept for: the same
    events as json.loads + model_validate, down to each dict's and list's size and whether
    the collector tracks it."""
    text = "".join('{"type":"message","turn":%d,"data":%s}\n' % (i, _spelled(shapes[s % len(shapes)], values))
                   for i, (s, values) in enumerate(lines))
    path = tmp_path / "t.jsonl"
    path.write_text(text, encoding="utf-8")
    counts, trace, native = read_alike(path)
    assert native == len(lines)
    theirs = [TraceEvent.model_validate(json.loads(line)) for line in text.splitlines()]
    assert routes.same(trace._events, theirs)
    assert [native_lines.containers(e.data) for e in trace.events] == [native_lines.containers(e.data) for e in theirs]


_number_tokens = st.builds(
    lambda sign, whole, zeros, digits, exp: sign + whole + ("." + "0" * zeros + digits if digits else "") + exp,
    st.sampled_from(["", "-"]),
    st.sampled_from(["0", "1", "7"]) | st.integers(1, 10**25).map(str),
    st.integers(0, 30),
    st.sampled_from(["", "0", "5", "25"]) | st.integers(0, 10**20).map(str),
    st.sampled_from(["", "e5", "E-7", "e+22", "e-23", "e308", "e-330", "e0400"]))


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(tokens=st.lists(_number_tokens, min_size=2, max_size=40))
def test_numbers_read_alike(tmp_path, tokens):
    """Number tokens of every spelling (leading zeros in the fraction, long mantissas,
    exponents near and past the exactly rounded range): json.loads's ints and floats."""
    floats = [t for t in tokens if any(c in t for c in ".eE")] or ["0.5"]
    lines = ['{"type":"message","turn":1,"data":{"x":[%s]},"cost_usd":%s,"timestamp":%s}\n'
             % (",".join(tokens), floats[i % len(floats)], floats[-1 - i % len(floats)]) for i in range(len(tokens))]
    path = tmp_path / "t.jsonl"
    path.write_text("".join(lines), encoding="utf-8")
    counts, trace, native = read_alike(path)
    assert trace is not None and native == len(lines)
