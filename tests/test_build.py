"""Properties of the built modules themselves."""

import platform
import shutil
import subprocess

import pytest

import orrinth.trace


@pytest.mark.skipif(platform.machine() not in ("x86_64", "AMD64") or not shutil.which("objdump"),
                    reason="checks x86-64 machine code with objdump")
def test_event_walks_keep_their_prefetches():
    # The memory hints of the event walks are calls to a function of prefetches alone,
    # which an optimiser may judge free of effects and delete; the large-trace speed of
    # the queries depends on them surviving.
    code = subprocess.run(["objdump", "-d", orrinth.trace.__file__], capture_output=True,
                          text=True, check=True).stdout
    assert "prefetch" in code
