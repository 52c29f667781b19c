"""The command line on a folder of 200 generated runs: summary rows against a plain-JSON
model of the same figures, diff against known edits, show and report on whole runs, the
errors a person meets first, and the report drawn by a real headless browser."""

from __future__ import annotations

import csv
import html
import io
import json
import os
import random
import re
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

import orrinth
from orrinth.cli import main
from orrinth.trace import Trace, TraceEvent
from support import child_env

pytest.importorskip("rich", reason="the command line's table and progress bar need rich (the cli extra)")

AGENTS = ["planner", "coder", "reviewer", "tool"]


def cli(*args: object, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    """`python -m orrinth ARGS` in a fresh interpreter that imports this orrinth."""
    return subprocess.run([sys.executable, "-m", "orrinth", *map(str, args)], cwd=cwd, env=child_env(),
                          capture_output=True, text=True, timeout=300)


def generate_run(rng: random.Random, run: int) -> Trace:
    """A four-agent run of random length, with state changes, the odd fault and two checks."""
    trace = Trace()
    clock = 1.8e9 + run * 100
    for turn in range(1, rng.randint(2, 40)):
        sender, to = rng.sample(AGENTS, 2)
        clock += rng.random()
        tokens = rng.randint(0, 900)
        trace.add_event(TraceEvent(type="message", turn=turn, agent=sender, timestamp=clock,
                                   data={"to": to, "content": f"run {run} turn {turn}: {'<b>&amp;' if turn == 3 else ''}"
                                         f"{rng.choice(['ok', 'retry', 'done', 'ünïcode ✓'])}"},
                                   input_tokens=tokens, output_tokens=tokens // 9,
                                   cost_usd=round(tokens * 3e-6, 9) if sender != "tool" else 0.0))
        if rng.random() < 0.3:
            trace.add_event(TraceEvent(type="state_change", turn=turn, agent=to, timestamp=clock,
                                       data={"changes": {"stage": {"from": turn - 1, "to": turn}}}))
        if rng.random() < 0.05:
            trace.add_event(TraceEvent(type="fault_injected", turn=turn, agent="tool", timestamp=clock,
                                       data={"fault": "timeout", "after_s": 2.0}))
    for name in ("budget", "goal"):
        trace.add_event(TraceEvent(type="property_check", turn=-1, timestamp=clock,
                                   data={"property": name, "passed": rng.random() < 0.8, "detail": "checked"}))
    return trace


@pytest.fixture(scope="module")
def runs(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """200 runs: most in the folder itself, some one and two levels down."""
    root = tmp_path_factory.mktemp("runs")
    rng = random.Random(13)
    for run in range(200):
        sub = ["", "nightly/", "nightly/a/"][run % 3 if run % 7 == 0 else 0]
        generate_run(rng, run).to_jsonl(root / f"{sub}run-{run:03d}.jsonl")
    return root


def model_row(path: Path) -> dict[str, Any]:
    """The summary row from the file's JSON alone, computed the plain way."""
    records = [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines() if line.strip()]
    messages = [r for r in records if r["type"] == "message"]
    checks = [r for r in records if r["type"] == "property_check"]
    turns = [r["turn"] for r in records if r["type"] != "property_check"]
    return {
        "events": len(records),
        "last_turn": max(turns) if turns else None,
        "messages": len(messages),
        "input_tokens": sum(r["input_tokens"] for r in messages),
        "output_tokens": sum(r["output_tokens"] for r in messages),
        "cost_usd": sum(r["cost_usd"] for r in messages),
        "faults": sum(r["type"] == "fault_injected" for r in records),
        "checks_passed": sum(r["data"]["passed"] is True for r in checks),
        "checks_failed": sum(r["data"]["passed"] is False for r in checks),
        "checks_invalid": sum(not isinstance(r["data"]["passed"], bool) for r in checks),
        "status": "completed",
        "run_id": None,
    }


def test_summary_of_200_runs_in_worker_processes_agrees_with_a_plain_model(runs: Path) -> None:
    proc = cli("summary", "--format", "json", "--jobs", "2", "--progress", runs)
    assert proc.returncode == 0, proc.stderr
    rows = json.loads(proc.stdout)
    files = sorted(runs.rglob("*.jsonl"))
    assert [Path(r["file"]) for r in rows] == files and len(rows) == 200
    for row, path in zip(rows, files):
        expected = model_row(path)
        cost = row.pop("cost_usd"), expected.pop("cost_usd")
        assert {k: v for k, v in row.items() if k != "file"} == expected
        assert cost[0] == pytest.approx(cost[1], rel=1e-12, abs=1e-15)
    assert "200/200" in proc.stderr  # the progress bar went to stderr, not into the JSON


def test_summary_formats_agree_with_each_other(runs: Path, capsys: pytest.CaptureFixture[str]) -> None:
    picked = [str(runs / "run-001.jsonl"), str(runs / "nightly")]
    outputs = []
    for fmt in ("json", "csv", "table"):
        assert main(["summary", "-f", fmt, "-j", "1", *picked]) == 0
        outputs.append(capsys.readouterr().out)
    rows = json.loads(outputs[0])
    assert list(csv.DictReader(io.StringIO(outputs[1]))) == [
        {k: "" if v is None else str(v) for k, v in r.items()} for r in rows]
    assert all(r["file"] in outputs[2] for r in rows)
    assert re.search(rf"{len(rows)} runs\s.*\s{sum(r['input_tokens'] for r in rows):,}\s", outputs[2])


def test_show_prints_every_section_and_message(runs: Path, capsys: pytest.CaptureFixture[str]) -> None:
    path = runs / "run-002.jsonl"
    assert main(["show", str(path)]) == 0
    out = capsys.readouterr().out
    trace = Trace.from_jsonl(path)
    for title in ("Transcript", "Tokens and cost per agent", "Run-level property checks (turn -1)"):
        assert f"\n{title}\n" in out
    flat = " ".join(out.split())
    for event in trace.get_messages():
        assert str(event.data["content"]) in flat
    assert f"{trace.cost_summary().total_cost_usd:.6f}" in out


EDITS = [
    pytest.param("turn", lambda e: e.turn + 1, 1, id="turn"),
    pytest.param("agent", lambda e: "someone-else", 1, id="agent"),
    pytest.param("data", lambda e: {**e.data, "content": "changed"}, 1, id="content"),
    pytest.param("timestamp", lambda e: e.timestamp + 99, 0, id="timestamp-only"),
    pytest.param("cost_usd", lambda e: e.cost_usd + 1, 1, id="cost"),
]


@pytest.mark.parametrize("field, change, status", EDITS)
@pytest.mark.parametrize("where", [0, 5, -1])
def test_diff_finds_the_edited_event(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], field: str, change: Any, status: int, where: int
) -> None:
    events = generate_run(random.Random(where), 7).events
    events = events[:20] if len(events) > 20 else events
    index = where % len(events)
    edited = [e.model_copy(update={"timestamp": e.timestamp + 0.5}) for e in events]
    edited[index] = edited[index].model_copy(update={field: change(edited[index])})
    a, b = Trace(), Trace()
    for e, f in zip(events, edited):
        a.add_event(e)
        b.add_event(f)
    a.to_jsonl(tmp_path / "a.jsonl")
    b.to_jsonl(tmp_path / "b.jsonl")
    assert main(["diff", str(tmp_path / "a.jsonl"), str(tmp_path / "b.jsonl")]) == status
    out = capsys.readouterr().out
    if status == 0:
        assert out == f"runs match: {len(events)} events (timestamps ignored)\n"
        return
    assert out.startswith(f"runs differ at event {index + 1} ")
    context = [line for line in out.splitlines() if re.match(r"  \s*\d+  turn", line)]
    assert len(context) == min(index, 3)  # events before the difference
    if field == "cost_usd":
        assert main(["diff", "--ignore-costs", str(tmp_path / "a.jsonl"), str(tmp_path / "b.jsonl")]) == 0


def test_diff_of_a_run_and_its_prefix(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    whole = generate_run(random.Random(3), 3)
    whole.to_jsonl(tmp_path / "whole.jsonl")
    whole.snapshot(1).to_jsonl(tmp_path / "part.jsonl")
    assert main(["diff", str(tmp_path / "part.jsonl"), str(tmp_path / "whole.jsonl")]) == 1
    out = capsys.readouterr().out
    assert out.startswith(f"{tmp_path / 'part.jsonl'} ends after {len(whole.snapshot(1).events)} events; ")


def corrupt(tmp_path: Path) -> Path:
    path = tmp_path / "corrupt.jsonl"
    good = TraceEvent(type="message", turn=1).model_dump_json()
    path.write_text(f"{good}\n\n{good}\n" + '{"type":"message","turn":4,"data":{"to":"x\n')
    return path


@pytest.mark.parametrize("command", ["show", "summary", "diff", "report"])
@pytest.mark.parametrize(
    "case, expected",
    [
        ("missing", r"missing\.jsonl: no such file"),
        ("corrupt", r"corrupt\.jsonl.*JSONDecodeError: Unterminated string.*\n.*corrupt\.jsonl, line 4"),
        ("empty-folder", r"empty: (no trace files \(\*\.jsonl\) in this folder|is a folder)"),
    ],
)
def test_errors_say_what_and_where(tmp_path: Path, command: str, case: str, expected: str) -> None:
    target = {"missing": tmp_path / "missing.jsonl", "corrupt": corrupt(tmp_path), "empty-folder": tmp_path / "empty"}
    (tmp_path / "empty").mkdir()
    path = target[case]
    args = [command, path] if command != "diff" else [command, path, path]
    proc = cli(*args, cwd=tmp_path)
    assert proc.returncode == 2
    assert re.search(expected, proc.stderr), proc.stderr
    assert proc.stdout == "" or command == "summary"
    assert "Traceback" not in proc.stderr


def test_report_is_one_self_contained_page_with_every_message(tmp_path: Path) -> None:
    trace = generate_run(random.Random(5), 5)
    trace.to_jsonl(tmp_path / "run.jsonl")
    proc = cli("report", tmp_path / "run.jsonl", "-o", tmp_path / "out" / "report.html")
    assert proc.returncode == 0, proc.stderr
    page = (tmp_path / "out" / "report.html").read_text(encoding="utf-8")
    # Links only within the page (its sections, the transcript's turns), nothing fetched.
    assert not re.search(r"""src\s*=|href\s*=\s*"(?!#)|@import|url\((?!#)|<script|<link""", page, re.I)
    assert re.search(r'href="#transcript"', page)
    assert "<b>&amp;" not in page  # a message holding markup shows it as text
    for event in trace.get_messages():
        assert html.escape(str(event.data["content"])) in page


def chromium() -> str:
    for name in ("chromium", "chromium-browser", "google-chrome"):
        found = shutil.which(name)
        if found:
            return found
    pytest.skip("no Chromium here: `.ci/run` installs Debian's chromium package, which this machine could not get")


def test_report_renders_in_headless_chromium(tmp_path: Path) -> None:
    from PIL import Image

    browser = chromium()
    trace = generate_run(random.Random(11), 11)
    trace.to_jsonl(tmp_path / "run.jsonl")
    assert main(["report", str(tmp_path / "run.jsonl"), "-o", str(tmp_path / "report.html")]) == 0
    url = (tmp_path / "report.html").as_uri()
    flags = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
             f"--user-data-dir={tmp_path / 'profile'}", "--window-size=1240,900"]
    # The browser runs without the sanitizer runtime that the sanitizer stage preloads.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    dom = subprocess.run([*flags, "--dump-dom", url], capture_output=True, text=True, timeout=120, env=env)
    assert dom.returncode == 0, dom.stderr[-2000:]
    # The rendered document holds the transcript: one row per message, each with its text.
    rows = re.findall(r'<tr class="message"[^>]*>.*?<td class="content">(.*?)</td>', dom.stdout, re.S)
    expected = [str(e.data["content"]) for e in trace.get_messages()]
    assert [html.unescape(r) for r in rows] == expected
    assert dom.stdout.count('class="msg"') == len(expected)

    shot = subprocess.run([*flags, f"--screenshot={tmp_path / 'shot.png'}", url], capture_output=True, text=True,
                          timeout=120, env=env)
    assert shot.returncode == 0, shot.stderr[-2000:]
    with Image.open(tmp_path / "shot.png") as image:
        assert image.size == (1240, 900)
        colours = image.convert("RGB").getcolors(maxcolors=1 << 20)
    assert colours is not None and len(colours) > 50  # text, lanes and arrows, not a blank page
    background = max(colours)[0] / (1240 * 900)
    assert background < 0.9


def test_console_script_and_module_run_the_same_command(tmp_path: Path) -> None:
    proc = cli("--version")
    assert proc.returncode == 0 and proc.stdout.strip() == f"orrinth {orrinth.__version__}"
    script = Path(sys.executable).with_name("orrinth")
    if "site-packages" not in orrinth.__file__:
        pytest.skip("orrinth runs from a source tree here: no console script is installed")
    assert script.is_file()
    installed = subprocess.run([str(script), "--version"], capture_output=True, text=True, timeout=60)
    assert installed.stdout == proc.stdout
