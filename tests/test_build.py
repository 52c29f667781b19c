"""Properties of the built modules themselves."""

import ctypes
import importlib
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import orrinth.trace

ROOT = Path(__file__).resolve().parent.parent


@pytest.mark.skipif(platform.machine() not in ("x86_64", "AMD64") or not shutil.which("objdump"),
                    reason="checks x86-64 machine code with objdump")
def test_event_walks_keep_their_prefetches():
    # The memory hints of the event walks are calls to a function of prefetches alone,
    # which an optimiser may judge free of effects and delete; the large-trace speed of
    # the queries depends on them surviving.
    code = subprocess.run(["objdump", "-d", orrinth.trace.__file__], capture_output=True,
                          text=True, check=True).stdout
    assert "prefetch" in code


@pytest.mark.skipif(not (3, 11) <= sys.version_info[:2] <= (3, 13)
                    or sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="the prefetcher reads an object layout only on 3.11-3.13 with the GIL")
def test_prefetcher_layout_is_this_interpreters():
    # The event walks' prefetcher reads an event's instance dict from the third word
    # before the object (3.12 tags a pointer to values kept outside a dict with its low
    # bit). It dereferences what it finds there, so check that on this interpreter the
    # word holds the dict of a materialised instance and never an untagged stale value.
    from orrinth.trace import TraceEvent

    def word_before(obj, words):
        return ctypes.c_size_t.from_address(id(obj) - words * ctypes.sizeof(ctypes.c_void_p)).value

    events = [TraceEvent(type="message", turn=i, data={"i": i}) for i in range(50)]
    assert all(word_before(e, 3) == id(vars(e)) for e in events)

    class Plain:  # instance values not (yet) in a dict: no dict pointer to follow
        def __init__(self):
            self.a = 1
    word = word_before(Plain(), 3)
    assert word == 0 or (sys.version_info[:2] == (3, 12) and word & 1)


@pytest.mark.skipif(platform.system() != "Linux" or not shutil.which("objdump"),
                    reason="reads the ELF symbol versions with objdump")
@pytest.mark.parametrize("module", ["orrinth.trace", "orrinth.adapters.raw"])
def test_needs_no_recent_glibc(module):
    # The wheels' manylinux tag is the newest glibc symbol version the modules use; none of
    # their calls needs one newer than 2.17 (the C library's own stat() would need 2.33).
    path = importlib.import_module(module).__file__
    table = subprocess.run(["objdump", "-T", path], capture_output=True, text=True,
                           check=True).stdout
    versions = {tuple(map(int, v.split("."))) for v in re.findall(r"\bGLIBC_([0-9.]+)\)?\s", table)}
    assert versions and max(versions) <= (2, 17), sorted(versions)


def _fast_path_rows_in_code():
    # Each row of kFastPaths: seven C string cells, each possibly several adjacent literals.
    source = (ROOT / "include" / "orrinth_native" / "fast_paths.hpp").read_text()
    table = source[source.index("kFastPaths[] = {"):]
    literal = r'"(?:[^"\\]|\\.)*"'
    rows = []
    for row in re.finditer(r"\{\s*((?:%s\s*,?\s*)+)\}" % literal, table):
        cells = re.split(r'"\s*,\s*"', row.group(1).strip()[1:-1])
        rows.append([re.sub(r'"\s+"', "", c) for c in cells])
    return rows


def _fast_path_rows_in_docs():
    text = (ROOT / "docs" / "python-versions.md").read_text()
    section = text[text.index("## Every fast path"):]
    section = section[:section.index("\n## ", 1)]
    lines = [ln for ln in section.splitlines() if ln.startswith("| ")][1:]  # after the header
    return [[c.strip() for c in ln.strip().strip("|").split(" | ")] for ln in lines]


def test_fast_path_table_matches_its_documentation():
    code = _fast_path_rows_in_code()
    assert len(code) >= 10 and all(len(r) == 7 for r in code), code
    assert _fast_path_rows_in_docs() == code
