"""Coverage-guided fuzzing of RawAgent.receive with arbitrary handler results (atheris).

The input bytes drive a small generator of handler results: strings and their subclass
instances, dicts and dict subclasses (with their own get and items) holding keys of
many types, some of which compare with "content" in odd ways or raise, and objects of
every other kind. receive must return the documented Response, or raise the documented
TypeError, or pass on an exception raised by the objects themselves; never anything
else, never a SystemError, never a crash.

Run outside CI, for a bounded time, e.g.:

    PYTHONPATH=src /tmp/venv-fuzz/bin/python fuzz/fuzz_receive.py -max_total_time=300
"""

import math
import sys

import atheris

from orrinth.adapters.raw import RawAgent


class Boom(Exception):
    """Raised by the objects that the generator makes hostile."""


class StrSub(str):
    pass


class Key:
    def __init__(self, mode, text):
        self.mode, self.text = mode, text

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        return isinstance(other, Key) and (self.mode, self.text) == (other.mode, other.text)

    def __ne__(self, other):
        if self.mode == 0:
            raise Boom("ne")
        if self.mode == 1:
            return False
        if self.mode == 2:
            return math.nan
        if self.mode == 3:
            return Truthless()
        return NotImplemented


class Truthless:
    def __bool__(self):
        raise Boom("bool")


class DictSub(dict):
    """A dict subclass whose get and items can be made to misbehave."""

    def __init__(self, entries, get_mode, items_mode):
        super().__init__(entries)
        self.get_mode, self.items_mode = get_mode, items_mode

    def get(self, key, default=None):
        if self.get_mode == 1:
            raise Boom("get")
        if self.get_mode == 2:
            return ["own", key, default]
        return dict.get(self, key, default)

    def items(self):
        m = self.items_mode
        if m == 1:
            return [(k, v, None) for k, v in dict.items(self)]
        if m == 2:
            return [k for k in dict.keys(self)]
        if m == 3:
            return iter_then_raise(dict.items(self))
        if m == 4:
            return 5
        return list(dict.items(self))


def iter_then_raise(items):
    yield from items
    raise Boom("items")


def make_key(fdp):
    kind = fdp.ConsumeIntInRange(0, 7)
    if kind == 0:
        return fdp.ConsumeUnicodeNoSurrogates(6)
    if kind == 1:
        return "content"
    if kind == 2:
        return StrSub(fdp.PickValueInList(["content", "x", ""]))
    if kind == 3:
        return fdp.ConsumeInt(2)
    if kind == 4:
        return None
    if kind == 5:
        return fdp.ConsumeBytes(3)
    if kind == 6:
        return fdp.ConsumeFloat()
    return Key(fdp.ConsumeIntInRange(0, 4), fdp.ConsumeUnicodeNoSurrogates(3))


def make_value(fdp):
    kind = fdp.ConsumeIntInRange(0, 4)
    if kind == 0:
        return fdp.ConsumeUnicodeNoSurrogates(4)
    if kind == 1:
        return fdp.ConsumeInt(4)
    if kind == 2:
        return [fdp.ConsumeInt(1)]
    if kind == 3:
        return None
    return object()


def make_result(fdp):
    kind = fdp.ConsumeIntInRange(0, 6)
    if kind == 0:
        return fdp.ConsumeUnicodeNoSurrogates(8)
    if kind == 1:
        return StrSub(fdp.ConsumeUnicodeNoSurrogates(4))
    if kind in (2, 3):
        entries = {}
        for _ in range(fdp.ConsumeIntInRange(0, 5)):
            try:
                entries[make_key(fdp)] = make_value(fdp)
            except Boom:
                pass
        if kind == 2:
            return entries
        return DictSub(entries, fdp.ConsumeIntInRange(0, 2), fdp.ConsumeIntInRange(0, 4))
    if kind == 4:
        return fdp.PickValueInList([None, 1, 1.5, b"x", (), [], set(), object(), len])
    if kind == 5:
        return [make_value(fdp)]
    return fdp.ConsumeBytes(4)


class Message:
    def __init__(self, sender, content, turn):
        self.sender, self.content, self.turn = sender, content, turn


def check(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    result = make_result(fdp)
    takes_state = fdp.ConsumeBool()
    if takes_state:
        agent = RawAgent("fuzz", lambda m, s: result)
    else:
        agent = RawAgent("fuzz", lambda m: result)
    try:
        response = agent.receive(Message(make_value(fdp), make_value(fdp), make_value(fdp)))
    except Boom:
        return
    except ValueError as e:
        # Unpacking an item that is not a pair, as `for k, v in items` would say.
        if "unpack" in str(e):
            return
        raise
    except TypeError as e:
        if isinstance(result, (str, dict)):
            # Only from the objects: items() that is not iterable, items that are not pairs.
            if "not iterable" in str(e) or "cannot unpack" in str(e):
                return
            raise
        expected = (f"Handler for agent 'fuzz' returned {type(result).__name__}; "
                    "expected str or dict with 'content' key.")
        assert e.args == (expected,), e.args
        return
    assert isinstance(result, (str, dict)), result
    if isinstance(result, str):
        assert response.content is result
    else:
        assert type(response.metadata) is dict


def main() -> None:
    atheris.Setup(sys.argv, check)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
