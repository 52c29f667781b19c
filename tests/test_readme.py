"""The README's usage snippets run as written and do what their comments say."""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"


def python_blocks() -> list[str]:
    return re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


@pytest.fixture
def usage(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> dict[str, Any]:
    monkeypatch.chdir(tmp_path)
    namespace: dict[str, Any] = {}
    blocks = [b for b in python_blocks() if "import pandas" not in b]
    exec(compile("\n".join(blocks), str(README), "exec"), namespace)
    return namespace


def test_the_guide_has_its_snippets() -> None:
    assert len(python_blocks()) >= 7


def test_usage_snippets_run_and_agree_with_their_comments(usage: dict[str, Any], tmp_path: Path) -> None:
    trace, again, early = usage["trace"], usage["again"], usage["early"]
    assert [e.type for e in trace.events] == ["message", "state_change", "fault_injected", "property_check"]
    assert [e.type for e in early.events] == ["message", "state_change", "fault_injected"]
    assert usage["summary"].per_agent["support"]["turns"] == 1
    assert again.events == trace.events
    assert (tmp_path / "runs" / "nightly" / "trace.jsonl").is_file()

    reply = usage["reply"]
    assert (reply.content, reply.metadata) == ("message #1", {"mood": "cheerful"})
    assert usage["counting"].get_state() == {"seen": 1}
    assert usage["echo_agent"]._accepts_state is False and usage["counting"]._accepts_state is True


def test_data_frame_snippet_reads_a_saved_trace(usage: dict[str, Any]) -> None:
    for name in ("pandas", "polars", "duckdb"):
        pytest.importorskip(name, reason="optional: only the README mentions it")
    usage["trace"].to_jsonl(Path("trace.jsonl"))
    block = next(b for b in python_blocks() if "import pandas" in b)
    namespace: dict[str, Any] = {}
    exec(compile(block, str(README), "exec"), namespace)
    assert namespace["df"]["timestamp"].dtype.kind in "fi"  # a number, not a datetime
    assert list(namespace["df"]["type"]) == ["message", "state_change", "fault_injected", "property_check"]
