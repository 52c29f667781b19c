"""The remembered dict reads: a dict's version (dict_memo.hpp) and an entry's position
(dict_hint.hpp). The first relies on the running interpreter giving a dict a new version
at every change, checked here on the dicts it is used for; the second must read exactly
what a lookup reads, whatever is done to the dicts between the walks."""
import ctypes
import sys
import sysconfig

import pytest
from hypothesis import given, settings, strategies as st

from orrinth.trace import Trace, TraceEvent

from models import ModelTrace

VERSIONED = (3, 11) <= sys.version_info[:2] <= (3, 13) and not sysconfig.get_config_var(
    "Py_GIL_DISABLED")
WORD = ctypes.sizeof(ctypes.c_void_p)
# Bits of the tag that are not the version: watchers (3.12), and a count of changes to
# watched dicts (3.13).
LOW_BITS = {(3, 12): 8, (3, 13): 12}.get(sys.version_info[:2], 0)


def version(d):
    """The version the memo compares, or None where it would not use one (dict_memo.hpp:
    3.13 counts only combined tables, whose values pointer is NULL)."""
    ma_version_tag = ctypes.c_uint64.from_address(id(d) + 3 * WORD).value
    ma_values = ctypes.c_void_p.from_address(id(d) + 5 * WORD).value
    if sys.version_info[:2] == (3, 13) and ma_values:
        return None
    return ma_version_tag >> LOW_BITS


class Obj:
    def __init__(self):
        self.a, self.b = 1, 2


def as_combined(o):
    o.__dict__ = dict(vars(o))  # a dict of its own, no longer the values kept in the object
    return o


# Each change, made with a fresh value `n` times in a row (once for those that remove).
CHANGES = {
    "setitem new": lambda d, o, n: d.__setitem__(f"k{n}", n),
    "setitem other value": lambda d, o, n: d.__setitem__("a", object()),
    "delitem": lambda d, o, n: d.__delitem__("a"),
    "pop": lambda d, o, n: d.pop("b"),
    "popitem": lambda d, o, n: d.popitem(),
    "setdefault new": lambda d, o, n: d.setdefault(f"s{n}", n),
    "update": lambda d, o, n: d.update(a=object()),
    "ior": lambda d, o, n: d.__ior__({"z": object()}),
    "clear": lambda d, o, n: d.clear(),
    "setattr": lambda d, o, n: setattr(o, "a", object()),
    "setattr new": lambda d, o, n: setattr(o, f"q{n}", n),
    "delattr": lambda d, o, n: delattr(o, "b"),
}
REMOVALS = ("delitem", "pop", "popitem", "clear", "delattr")


@pytest.mark.skipif(not VERSIONED, reason="the memo is used on 3.11-3.13 with the GIL only")
@pytest.mark.parametrize("make", [lambda: (None, {"a": 1, "b": 2}),
                                  lambda: (lambda o: (o, vars(o)))(as_combined(Obj())),
                                  lambda: (lambda o: (o, vars(o)))(Obj())],
                         ids=["dict", "combined instance dict", "instance dict"])
@pytest.mark.parametrize("change", CHANGES)
def test_every_change_gives_a_new_version(make, change):
    obj, d = make()
    if obj is None and change.startswith(("setattr", "delattr")):
        obj = type("NS", (), {})()
        obj.__dict__ = d
    before = version(d)
    if before is None:
        return  # not a dict the memo trusts on this version
    for n in range(1 if change in REMOVALS else 3):  # later stores may be specialised
        CHANGES[change](d, obj, n)
        after = version(d)
        assert after is not None and after != before
        before = after


@pytest.mark.skipif(not VERSIONED, reason="the memo is used on 3.11-3.13 with the GIL only")
def test_new_dicts_get_versions_never_seen():
    seen = set()
    for i in range(3000):  # freed dicts' memory is reused: their successors must differ
        d = [{}, {"a": i}, vars(as_combined(Obj()))][i % 3]
        v = version(d)
        assert v not in seen
        seen.add(v)


# The differential: a trace whose events' dicts are changed between the walks in every way
# that moves, hides or replaces the fields the walks read, against the model reading them
# with getattr.

def new_event(i):
    return TraceEvent(type=["message", "state_change", "property_check"][i % 3], turn=i % 4,
                      agent=["a", "b", None][i % 3], input_tokens=i, output_tokens=2 * i,
                      cost_usd=i / 4)


def reinserted(e, name):  # the field moves to the end of the entry table
    d = vars(e)
    if name in d:
        d[name] = d.pop(name)


def reordered(e, name):  # a new dict, fields in reverse order
    e.__dict__ = dict(reversed(list(vars(e).items())))


def general_keys(e, name):  # a key that is not a str: the table is no longer str-only
    vars(e)[1] = "one"


def split_copy(e, name):  # the dict of a plain instance, copied: maybe a split table
    o = Obj()
    o.__dict__.update(vars(e))
    e.__dict__ = vars(o)


def equal_key(e, name):  # the same field under an equal str that is another object
    d = vars(e)
    if name in d:
        value = d.pop(name)
        d["".join(list(name))] = value


def renamed(e, name):
    setattr(e, name, {"type": "message", "agent": "b", "turn": 0}.get(name, 3))


def deleted(e, name):  # gone from the dict: the generic lookup's error
    vars(e).pop(name, None)


EDITS = [reinserted, reordered, general_keys, split_copy, equal_key, renamed, deleted]
FIELDS = ["type", "agent", "turn", "input_tokens", "cost_usd"]


def walks(trace, cls):
    """Every walk over `trace`, by `cls`'s methods (Trace's own, or the model's)."""
    try:
        return (cls.get_messages(trace), cls.get_events_for_agent(trace, "a"),
                cls.get_events_for_agent(trace, "b"), cls.snapshot(trace, 2)._events,
                dict(cls.cost_summary(trace)))
    except Exception as exc:  # noqa: BLE001 - the same failure on both sides
        return type(exc), str(exc)


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(EDITS), st.integers(0, 11), st.sampled_from(FIELDS)),
                max_size=12))
def test_walks_read_what_getattr_reads(edits):
    # TraceEvent itself stays untouched: a changed class would turn other fast routes off
    # for the rest of the process.
    events = [new_event(i) for i in range(12)]
    trace = Trace()
    for e in events:
        trace.add_event(e)
    assert walks(trace, Trace) == walks(trace, ModelTrace)
    for edit, i, name in edits:
        edit(events[i], name)
        assert walks(trace, Trace) == walks(trace, ModelTrace)
