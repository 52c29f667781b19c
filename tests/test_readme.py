"""The README's usage snippets run as written and do what their comments say."""

from __future__ import annotations

import importlib.util
import json
import os
import re
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
HAVE_OTEL = importlib.util.find_spec("opentelemetry.sdk") is not None


def python_blocks() -> list[str]:
    return re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


@pytest.fixture
def usage(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> dict[str, Any]:
    monkeypatch.chdir(tmp_path)
    namespace: dict[str, Any] = {}
    blocks = [b for b in python_blocks() if "import pandas" not in b and "import dask" not in b
              and ("orrinth.otel" not in b or HAVE_OTEL)]
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
    assert usage["read_metadata"](tmp_path / "runs" / "v1" / "run-001.jsonl").metadata["prompt_version"] == "v1"
    assert usage["run_status"](tmp_path / "runs" / "v1" / "run-001.jsonl") == "completed"
    if HAVE_OTEL:  # the run: its root, support's turn 1 with one chat span, billing's turn 2
        assert usage["count"] == 4 and (tmp_path / "nightly.otlp.json").is_file()

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


@pytest.fixture
def batch(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> dict[str, float]:
    """A few runs in runs/batch, as the example's --runs writes them; their cost per run."""
    from orrinth.trace import Trace, TraceEvent

    monkeypatch.chdir(tmp_path)
    costs = {}
    for run in range(1, 6):
        trace = Trace()
        for turn in range(run + 1):
            trace.add_event(TraceEvent(type="message", turn=turn, agent="a", data={"to": "b", "content": "x"},
                                       cost_usd=0.001 * run * (turn + 1), timestamp=1.8e9 + turn))
            trace.add_event(TraceEvent(type="state_change", turn=turn, agent="b", data={"stage": turn}))
        trace.to_jsonl(Path(f"runs/batch/run-{run:03d}.jsonl"))
        costs[f"run-{run:03d}"] = trace.cost_summary().total_cost_usd
    return costs


def test_folder_recipes_take_the_run_from_the_file_name(batch: dict[str, float]) -> None:
    for name in ("pandas", "polars", "duckdb"):
        pytest.importorskip(name, reason="optional: only the README mentions it")
    block = [b for b in python_blocks() if "import pandas" in b][1]
    namespace: dict[str, Any] = {}
    exec(compile(block, str(README), "exec"), namespace)
    results = [
        namespace["cost_per_run"].to_dict(),
        dict(namespace["cost_per_run_pl"].iter_rows()),
        dict(namespace["cost_per_run_db"].fetchall()),
    ]
    for result in results:
        assert result.keys() == batch.keys()
        assert all(result[run] == pytest.approx(cost) for run, cost in batch.items())


def test_dask_recipe_runs_as_a_script(batch: dict[str, float], tmp_path: Path) -> None:
    pytest.importorskip("dask.bag", reason="optional: only the README mentions Dask")
    block = next(b for b in python_blocks() if "import dask" in b)
    script = tmp_path / "recipe.py"
    script.write_text(block + "    print(json.dumps(cost_per_run))\n")
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    proc = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout)
    assert result.keys() == batch.keys()
    assert all(result[run] == pytest.approx(cost) for run, cost in batch.items())
