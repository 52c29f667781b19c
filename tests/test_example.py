"""The example simulated run: it runs on its own, prints what it promises and writes a
trace file that agrees with what it printed."""

from __future__ import annotations

import importlib.util
import json
import os
import re
import subprocess
import sys
from pathlib import Path
from types import ModuleType

import pytest

import orrinth
from orrinth.trace import Trace, TraceEvent

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "simulated_run.py"
FIELDS = ["type", "turn", "agent", "data", "timestamp", "input_tokens", "output_tokens", "cost_usd"]


def run_example(cwd: Path, *args: str) -> subprocess.CompletedProcess[str]:
    # The subprocess must import the same orrinth as this test, wherever it lives.
    env = dict(os.environ)
    package_root = str(Path(orrinth.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (package_root, env.get("PYTHONPATH")) if p)
    return subprocess.run(
        [sys.executable, str(EXAMPLE), *args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )


@pytest.fixture(scope="module")
def finished_run(tmp_path_factory: pytest.TempPathFactory) -> tuple[str, Path]:
    work = tmp_path_factory.mktemp("example")
    proc = run_example(work, "--run-dir", str(work / "out" / "run-a"))
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    return proc.stdout, work / "out" / "run-a" / "trace.jsonl"


def section(output: str, title: str) -> list[str]:
    """The lines under a heading, up to the next blank line."""
    lines = output.splitlines()
    start = lines.index(title) + 2  # skip the underline
    end = lines.index("", start)
    return lines[start:end]


def file_records(path: Path) -> list[dict[str, object]]:
    return [json.loads(line) for line in path.read_text().splitlines()]


class TestOutput:
    def test_has_every_section(self, finished_run: tuple[str, Path]) -> None:
        output, _ = finished_run
        for title in (
            "Transcript",
            "Tokens and cost per agent",
            "Snapshot at turn 6",
            "Run-level property checks (turn -1)",
            "Saved trace",
        ):
            assert title in output.splitlines()

    def test_transcript_lists_a_dozen_turns_and_the_fault(self, finished_run: tuple[str, Path]) -> None:
        output, _ = finished_run
        rows = section(output, "Transcript")
        turns = [int(m.group(1)) for m in (re.match(r"\s*(\d+)\s+\S+s\s+(customer|support|billing)\s+(?![\s(])", r) for r in rows) if m]
        assert turns == list(range(1, 13))
        assert any("!! fault  billing   timeout after 5.0 s" in r for r in rows)
        assert any(re.match(r"\s+1\s+\S+s\s+support\s+\(state\)  stage: 'new' -> 'lookup'", r) for r in rows)

    def test_cost_table_agrees_with_the_file(self, finished_run: tuple[str, Path]) -> None:
        output, path = finished_run
        rows = section(output, "Tokens and cost per agent")
        printed = {r.split()[0]: r.split()[1:] for r in rows[1:] if not r.startswith("-")}
        expected: dict[str, list[float]] = {}
        for rec in file_records(path):
            if rec["type"] == "message":
                figures = expected.setdefault(str(rec["agent"]), [0, 0, 0, 0.0])
                figures[0] += 1
                figures[1] += rec["input_tokens"]  # type: ignore[operator]
                figures[2] += rec["output_tokens"]  # type: ignore[operator]
                figures[3] += rec["cost_usd"]  # type: ignore[operator]
        assert list(printed) == ["customer", "support", "billing", "total"]
        for name, (messages, tin, tout, cost) in expected.items():
            assert printed[name] == [str(messages), f"{tin:,}", f"{tout:,}", f"{cost:.6f}"]
        totals = [sum(f[i] for f in expected.values()) for i in range(4)]
        assert printed["total"][:3] == [str(totals[0]), f"{totals[1]:,}", f"{totals[2]:,}"]
        assert totals[0] == 12 and totals[3] > 0

    def test_snapshot_section_counts_what_the_file_holds_up_to_turn_6(
        self, finished_run: tuple[str, Path]
    ) -> None:
        output, path = finished_run
        kept = [r for r in file_records(path) if r["type"] != "property_check" and r["turn"] <= 6]  # type: ignore[operator]
        rows = section(output, "Snapshot at turn 6")
        assert rows[0].startswith(f"events       {len(kept)} (")
        assert f"{len(file_records(path)) - len(kept)} later or run-level events left out" in rows[0]
        last = [r for r in kept if r["type"] == "message"][-1]
        assert rows[1] == f"last message turn 6, {last['agent']} -> {last['data']['to']}: {last['data']['content']!r}"  # type: ignore[index]

    def test_properties_pass_and_the_read_back_matches(self, finished_run: tuple[str, Path]) -> None:
        output, path = finished_run
        rows = section(output, "Run-level property checks (turn -1)")
        assert [r.split()[:2] for r in rows] == [
            ["PASS", "refund_issued_and_confirmed"],
            ["PASS", "within_budget"],
        ]
        saved = section(output, "Saved trace")
        assert saved[0].startswith(f"wrote        {path} (")
        assert saved[-1] == f"read back    {len(file_records(path))} events, identical to the recorded run"


class TestTraceFile:
    def test_lines_are_compact_objects_in_field_order(self, finished_run: tuple[str, Path]) -> None:
        _, path = finished_run
        text = path.read_text()
        assert text.endswith("\n")
        for line in text.splitlines():
            assert list(json.loads(line)) == FIELDS
            assert line == TraceEvent.model_validate_json(line).model_dump_json()

    def test_holds_every_kind_of_event(self, finished_run: tuple[str, Path]) -> None:
        _, path = finished_run
        records = file_records(path)
        kinds = [r["type"] for r in records]
        assert kinds.count("message") == 12
        assert kinds.count("fault_injected") == 1
        assert kinds.count("state_change") >= 1
        checks = [r for r in records if r["type"] == "property_check"]
        assert len(checks) == 2 and all(r["turn"] == -1 for r in checks)

    def test_default_run_folder_is_under_runs(self, tmp_path: Path) -> None:
        proc = run_example(tmp_path)
        assert proc.returncode == 0, proc.stderr
        written = list((tmp_path / "runs").glob("*/trace.jsonl"))
        assert len(written) == 1
        assert len(Trace.from_jsonl(written[0]).get_messages()) == 12


def test_many_runs_are_recorded_one_file_each(tmp_path: Path) -> None:
    proc = run_example(tmp_path, "--runs", "15", "--run-dir", str(tmp_path / "batch"))
    assert proc.returncode == 0, proc.stderr
    files = sorted((tmp_path / "batch").glob("*.jsonl"))
    assert [f.name for f in files] == [f"run-{i:03d}.jsonl" for i in range(1, 16)]
    traces = [Trace.from_jsonl(f).events for f in files]
    faults = sum(any(e.type == "fault_injected" for e in t) for t in traces)
    failed = sum(any(e.type == "property_check" and not e.data["passed"] for e in t) for t in traces)
    assert proc.stdout == f"recorded 15 runs in {tmp_path / 'batch'}: {faults} with a fault, {failed} with a failed check\n"
    assert 0 < faults < 15 and failed == 3  # the fault turn and the budget vary


def load_example(monkeypatch: pytest.MonkeyPatch) -> ModuleType:
    found = importlib.util.spec_from_file_location("simulated_run", EXAMPLE)
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    monkeypatch.setitem(sys.modules, found.name, module)  # dataclasses look their module up
    found.loader.exec_module(module)
    return module


def test_read_back_check_notices_a_difference(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    # A tuple in `data` is written as a JSON array and comes back as a list: not the same.
    example = load_example(monkeypatch)
    trace = Trace()
    trace.add_event(TraceEvent(type="message", turn=1, agent="a", data={"pair": (1, 2)}))
    assert example.save_and_verify(trace, tmp_path / "t.jsonl") is False
    assert "DIFFERENT from the recorded run" in capsys.readouterr().err
