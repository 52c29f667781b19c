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

from support import child_env

README = Path(__file__).resolve().parent.parent / "README.md"
# Blocks that need the analysis extra; the usage test runs the others.
OPTIONAL = ("import pandas", "import dask", "import duckdb", "from orrinth import frames")
HAVE_OTEL = importlib.util.find_spec("opentelemetry") is not None and importlib.util.find_spec("opentelemetry.sdk") is not None


def python_blocks() -> list[str]:
    return re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


@pytest.fixture
def usage(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> dict[str, Any]:
    monkeypatch.chdir(tmp_path)
    namespace: dict[str, Any] = {}
    blocks = [b for b in python_blocks() if not any(lib in b for lib in OPTIONAL)
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
        pytest.importorskip(name, reason="optional: the analysis extra installs it")
    usage["trace"].to_jsonl(Path("trace.jsonl"))
    block = next(b for b in python_blocks() if "import pandas" in b)
    namespace: dict[str, Any] = {}
    exec(compile(block, str(README), "exec"), namespace)
    assert namespace["df"]["timestamp"].dtype.kind in "fi"  # a number, not a datetime
    assert list(namespace["df"]["type"]) == ["message", "state_change", "fault_injected", "property_check"]


def block(*needles: str) -> str:
    return next(b for b in python_blocks() if all(n in b for n in needles))


@pytest.fixture
def batch(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> dict[str, Any]:
    """Two batches under runs/ whose files have the same names, with metadata: what each
    recipe should find, worked out from the traces as written."""
    from orrinth.runmeta import save_run
    from orrinth.trace import Trace, TraceEvent

    monkeypatch.chdir(tmp_path)
    costs: dict[str, float] = {}
    failed: dict[str, list[int]] = {"v1": [], "v2": []}
    for version in ("v1", "v2"):
        for run in range(1, 6):
            trace = Trace()
            for turn in range(run + 1):
                trace.add_event(TraceEvent(type="message", turn=turn, agent="a", data={"to": "b", "content": "x"},
                                           cost_usd=0.001 * run * (turn + 1), timestamp=1.8e9 + turn))
                trace.add_event(TraceEvent(type="state_change", turn=turn, agent="b", data={"stage": turn}))
            ok = run % 2 == 1 or version == "v1"
            trace.add_event(TraceEvent(type="property_check", turn=-1, data={"property": "goal", "passed": ok}))
            save_run(trace, Path(f"runs/{version}/run-{run:03d}.jsonl"), {"prompt_version": version, "seed": run})
            costs[f"{version}/run-{run:03d}.jsonl"] = trace.cost_summary().total_cost_usd
            failed[version].append(0 if ok else 1)
    return {"costs": costs, "failed": failed}


def test_folder_recipes_name_runs_by_relative_path(batch: dict[str, Any]) -> None:
    for name in ("pandas", "polars", "duckdb"):
        pytest.importorskip(name, reason="optional: the analysis extra installs it")
    namespace: dict[str, Any] = {}
    exec(compile(block("frames.load") + block("import duckdb", "FROM runs"), str(README), "exec"), namespace)
    costs, failed = batch["costs"], batch["failed"]
    for result in (namespace["cost_per_run"].to_dict(), dict(namespace["cost_per_run_db"].fetchall())):
        assert result.keys() == costs.keys()
        assert all(result[run] == pytest.approx(cost) for run, cost in costs.items())
    by_prompt = namespace["by_prompt"]
    for version, flags in failed.items():
        assert by_prompt.loc[version, "checks_failed"] == pytest.approx(sum(flags) / len(flags))
    assert dict(namespace["pass_rate_pl"].sort("prompt_version").iter_rows()) == {
        v: pytest.approx(flags.count(0) / len(flags)) for v, flags in failed.items()}
    assert namespace["failures"].to_dict() == {("goal", f"v2/run-{r:03d}.jsonl"): 1 for r in (2, 4)}
    assert [row[:2] for row in namespace["by_prompt_db"].fetchall()] == [("v1", 5), ("v2", 5)]


def test_dask_recipe_runs_as_a_script(batch: dict[str, Any], tmp_path: Path) -> None:
    pytest.importorskip("dask.dataframe", reason="optional: the analysis extra installs Dask")
    script = tmp_path / "recipe.py"
    script.write_text(block("import dask") + "    print(by_prompt.to_json())\n")
    env = {k: v for k, v in child_env().items() if k != "LD_PRELOAD"}
    proc = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout)
    mean_cost = {v: sum(c for run, c in batch["costs"].items() if run.startswith(v)) / 5 for v in ("v1", "v2")}
    assert result["cost_usd"] == pytest.approx(mean_cost)
    assert result["checks_failed"] == pytest.approx({v: sum(f) / 5 for v, f in batch["failed"].items()})
