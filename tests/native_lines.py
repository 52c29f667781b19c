"""Trace files for the native reader, made from a seeded random generator: lines as our
writer writes them, the same values spelled every other way JSON allows (escapes, number
forms, whitespace, key order, duplicate keys), near-valid and hostile lines, and whole
files with every line end, blank and padded lines, undecodable bytes and a torn last line.
Shared by the tests and the fuzz target, which read each file on both routes."""
from __future__ import annotations

import gc
import json
import math
import re
import random
import struct
import sys

FIELDS = ["type", "turn", "agent", "data", "timestamp", "input_tokens", "output_tokens", "cost_usd"]
KINDS = ["message", "state_change", "fault_injected", "property_check"]
SPACES = [" ", "\t", "\x0b", "\x0c", "\x1c", "\x1f", "\x85", "\xa0", "\u2028", "\u3000", "\ufeff"]
TOKENS = ["{", "}", "[", "]", ",", ":", '"', "\\", "\\u", "\\ud800", "NaN", "-", "Infinity", "1e999",
          "0", "9" * 30, "9" * 700, "null", "true", " ", "\x00", "\x01", '"turn":', '"extra":1,',
          '"data":', "[" * 250 + "]" * 250, "01", "1.", ".5", "1e", "+1", "-0", "\u00e9", "\U0001f600"]


def _float(rng: random.Random) -> float:
    kind = rng.randrange(6)
    if kind == 0:
        return struct.unpack("<d", rng.randbytes(8))[0]
    if kind == 1:
        return rng.randint(-10**9, 10**9) / 10 ** rng.randrange(12)
    if kind == 2:
        x = 10.0 ** rng.randint(-323, 308)
        return rng.choice([math.nextafter(x, 0), x, math.nextafter(x, math.inf)])
    if kind == 3:
        return rng.choice([0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, 1.7976931348623157e308])
    if kind == 4:
        return 1700000000.0 + rng.randrange(10**6) / 4
    return rng.random() * 10 ** rng.randint(-25, 25)


def _str(rng: random.Random, size: int = 8) -> str:
    pools = [range(0x20, 0x7f), range(0, 0x20), range(0x80, 0x800), range(0xD800, 0xE000),
             range(0xE000, 0x10000), range(0x10000, 0x110000)]
    weights = [20, 2, 3, 2, 2, 2]
    return "".join(chr(rng.choice(rng.choices(pools, weights)[0])) for _ in range(rng.randrange(size)))


def value(rng: random.Random, depth: int = 0):
    """A JSON value as json.loads would give it."""
    kind = rng.randrange(9 if depth < 6 else 6)
    if kind == 0:
        return rng.choice([None, True, False])
    if kind == 1:
        return _float(rng)
    if kind == 2:
        return rng.choice([rng.randint(-300, 300), rng.randint(-2**63, 2**63), rng.randint(-10**40, 10**40)])
    if kind in (3, 4, 5):
        return _str(rng)
    if kind == 6:
        return [value(rng, depth + 1) for _ in range(rng.randrange(4))]
    if kind == 7 and depth == 0 and rng.random() < 0.05:  # a long chain of nesting
        v = value(rng, 6)
        for i in range(rng.randrange(1, 150)):
            v = [v] if i % 2 else {"k": v}
        return v
    return {_str(rng, 4): value(rng, depth + 1) for _ in range(rng.randrange(5))}


def _spell_str(s: str, rng: random.Random) -> str:
    out = ['"']
    style = rng.randrange(4)  # 0: as json.dumps(ensure_ascii=False), 1: all escaped, 2-3: mixed
    for ch in s:
        c = ord(ch)
        must = c < 0x20 or 0xD800 <= c < 0xE000 or ch in '"\\'
        if not must and (style == 0 or (style >= 2 and rng.random() < 0.7)):
            out.append(ch)
        elif ch in "\"\\/\b\f\n\r\t" and rng.random() < 0.7:
            out.append("\\" + {"\b": "b", "\f": "f", "\n": "n", "\r": "r", "\t": "t"}.get(ch, ch))
        elif c >= 0x10000:
            c -= 0x10000
            hi, lo = 0xD800 + (c >> 10), 0xDC00 + (c & 0x3FF)
            out.append(_hex(hi, rng) + _hex(lo, rng))
        else:
            out.append(_hex(c, rng))
    return "".join(out) + '"'


def _hex(c: int, rng: random.Random) -> str:
    h = f"\\u{c:04x}"
    return h.upper().replace("\\U", "\\u") if rng.random() < 0.3 else h


def _spell_float(f: float, rng: random.Random) -> str:
    if math.isnan(f):
        return "NaN"
    if math.isinf(f):
        return "Infinity" if f > 0 else "-Infinity"
    text = rng.choice([repr(f), f"{f:.17g}", f"{f:e}", f"{f:.3E}", f"{f:.25e}", f"{f:.{rng.randrange(30)}f}",
                       re.sub(r"e(\d)", r"E+\1", repr(f)), re.sub(r"e([-+])0*", r"e\g<1>000", repr(f))])
    if "." not in text and "e" not in text.lower():
        text += ".0"
    return text


def spell(v, rng: random.Random, ws: str = "") -> str:
    """`v` written as JSON text in one of the ways JSON allows."""
    if v is None or v is True or v is False:
        return json.dumps(v)
    if isinstance(v, float):
        return _spell_float(v, rng)
    if isinstance(v, int):
        return str(v)
    if isinstance(v, str):
        return _spell_str(v, rng)
    pad = (lambda: rng.choice(["", "", " ", "\t", "  "])) if ws else (lambda: "")
    if isinstance(v, list):
        return "[" + pad() + ("," + pad()).join(spell(x, rng, ws) for x in v) + pad() + "]"
    items = [pad() + spell(k, rng) + pad() + ":" + pad() + spell(x, rng, ws) + pad() for k, x in v.items()]
    if items and rng.random() < 0.1:  # a duplicate key whose first value is dropped
        k = next(iter(v))
        items.insert(0, spell(k, rng) + ":" + spell(value(rng), rng))
    return "{" + ",".join(items) + "}"


def event_fields(rng: random.Random, odd: float = 0.1) -> dict:
    """Field values of an event, of the exact shape but for a share of about `odd`."""
    fields = {"type": rng.choice(KINDS), "turn": rng.choice([0, 3, rng.randint(-2**70, 2**70)]),
              "agent": rng.choice([None, "agent-03", _str(rng)]),
              "data": {_str(rng, 4): value(rng) for _ in range(rng.randrange(5))},
              "timestamp": _float(rng), "input_tokens": rng.randrange(5000),
              "output_tokens": rng.randrange(5000), "cost_usd": _float(rng)}
    for name in FIELDS[2:]:
        if rng.random() < 0.15:
            del fields[name]
    if rng.random() < odd:  # a value of another type: coerced, or refused
        name = rng.choice(FIELDS)
        fields[name] = rng.choice(["3", 2.0, 1, True, None, "bogus", [1], {}, 10**30, "1e-7", "message"])
    if rng.random() < odd / 3:
        fields[rng.choice(["extra", "Type", "turn ", ""])] = value(rng)
    if rng.random() < odd / 3:
        del fields[rng.choice(["type", "turn"])]
    return fields


def line(rng: random.Random, odd: float = 0.1) -> str:
    """One line: as the writer writes it, spelled otherwise, or (a share of about `odd`)
    altered."""
    fields = event_fields(rng, odd)
    names = list(fields)
    if rng.random() < 0.5:
        rng.shuffle(names)
    ws = rng.random() < 0.3
    pad = (lambda: rng.choice(["", " ", "\t"])) if ws else (lambda: "")
    items = [pad() + spell(n, rng) + pad() + ":" + pad() + spell(fields[n], rng, "x" if ws else "") + pad()
             for n in names]
    if rng.random() < 0.1:
        n = rng.choice(names)
        items.insert(0, spell(n, rng) + ":" + spell(value(rng), rng))
    text = "{" + ",".join(items) + "}"
    if rng.random() < odd:  # near-valid or hostile
        for _ in range(rng.randint(1, 3)):
            i = rng.randrange(len(text) + 1)
            r = rng.random()
            if r < 0.5:
                text = text[:i] + rng.choice(TOKENS) + text[i:]
            elif r < 0.8:
                text = text[:i] + text[i + rng.randint(1, 6):]
            else:
                text = text[:i]
    return text


def file_bytes(rng: random.Random, n_lines: int, odd: float = 0.1) -> bytes:
    """A whole file of about `n_lines` lines, a share of about `odd` of them altered."""
    ends = rng.choice([["\n"], ["\r\n"], ["\r"], ["\n", "\r\n", "\r"]])
    parts = []
    for _ in range(n_lines):
        text = line(rng, odd)
        if rng.random() < 0.05:
            spaces = SPACES if rng.random() < odd else SPACES[:-1]  # U+FEFF is not stripped
            text = rng.choice(spaces) + text + rng.choice(spaces)
        if rng.random() < 0.03:
            parts.append(rng.choice(["", " ", "\t \x0c", "\u2028"]) + rng.choice(ends))
        data = text.encode("utf-8", "surrogatepass" if rng.random() < odd else "replace")
        parts.append(data.decode("utf-8", "surrogateescape") + rng.choice(ends))
    if parts and rng.random() < 0.3:  # a torn last line
        parts[-1] = parts[-1][:rng.randrange(len(parts[-1]) + 1)]
    raw = "".join(parts).encode("utf-8", "surrogateescape")
    r = rng.random() / max(odd, 1e-9) / 10
    if r < 0.03:  # undecodable bytes somewhere
        i = rng.randrange(len(raw) + 1)
        raw = raw[:i] + rng.choice([b"\xff", b"\xc3", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xc0\xaf"]) + raw[i:]
    elif r < 0.05:
        raw = b"\xef\xbb\xbf" + raw
    elif r < 0.06:
        raw = raw.decode("utf-8", "replace").encode("utf-16")
    return raw


def writer_lines(rng: random.Random, n: int) -> list[dict]:
    """Event fields of the exact shape, all eight given (what our own saves hold)."""
    out = []
    while len(out) < n:
        f = {"type": rng.choice(KINDS), "turn": rng.randint(-10, 10**6), "agent": rng.choice([None, "agent-03", _str(rng)]),
             "data": {_str(rng, 4): value(rng, 3) for _ in range(rng.randrange(4))}, "timestamp": _float(rng),
             "input_tokens": rng.randrange(5000), "output_tokens": rng.randrange(5000), "cost_usd": _float(rng)}
        try:  # saves write NaN and the infinities as null: none of those here
            text = json.dumps(f, ensure_ascii=False, allow_nan=False)
        except ValueError:
            continue
        # Lone surrogates made '?': what a save can write.
        out.append(json.loads(text.encode("utf-8", "replace").decode()))
    return out


def containers(v) -> list:
    """Each dict and list inside `v` (itself included): its size and whether the collector
    tracks it, which equal values built differently need not share."""
    out, todo = [], [v]
    while todo:
        v = todo.pop()
        if isinstance(v, (dict, list)):
            out.append((sys.getsizeof(v), gc.is_tracked(v)))
            todo += v.values() if isinstance(v, dict) else v
    return out
