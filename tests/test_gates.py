"""Every command reads checks and run status one way, and gates CI on them."""

from __future__ import annotations

import contextlib
import io
import json
import re
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pytest.importorskip("rich", reason="the command line's tables need rich (the cli extra)")

from orrinth.cli import main
from orrinth.recorder import TraceRecorder
from orrinth.runmeta import read_metadata, save_run, write_metadata
from orrinth.trace import Trace, TraceEvent

ODD_CHECKS = [  # (data, what orrinth.checks makes of it)
    ({"property": "a", "passed": True}, "pass"),
    ({"property": "b", "passed": False}, "fail"),
    ({"property": "c", "passed": 1}, "invalid"),
    ({"property": "d", "passed": "true"}, "invalid"),
    ({"property": "e", "passed": None}, "invalid"),
    ({"name": "f", "ok": True}, "invalid"),
    ({"name": "g", "passed": True, "score": 0.5}, "pass"),
    ({"property": "h", "passed": True, "score": "high"}, "invalid"),
]


def run_cli(*args: object) -> tuple[int, str, str]:
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main([str(a) for a in args])
    return status, out.getvalue(), err.getvalue()


def counted(command: str, path: Path, tmp_path: Path) -> dict[str, int]:
    """What one command says about the file's checks: how many passed, failed, were invalid."""
    if command == "show":
        _, out, _ = run_cli("show", path)
        lines = out.split("Run-level property checks (turn -1)")[1].splitlines()
        return {k: sum(ln.startswith(w + " ") for ln in lines) for k, w in
                (("pass", "PASS"), ("fail", "FAIL"), ("invalid", "INVALID"))}
    if command == "summary":
        row = json.loads(run_cli("summary", "-f", "json", path)[1])[0]
        return {"pass": row["checks_passed"], "fail": row["checks_failed"], "invalid": row["checks_invalid"]}
    if command == "report":
        run_cli("report", path, "-o", tmp_path / "r.html")
        page = (tmp_path / "r.html").read_text()
        table = page[page.index('id="checks"'):]
        cells = re.findall(r'<td class="(pass|fail|invalid)"', table[: table.index("</table>")])
        return {k: cells.count(k) for k in ("pass", "fail", "invalid")}
    result = json.loads(run_cli("compare", path.parent, path.parent, "-f", "json")[1])
    return {"pass": sum(c["base_passed"] for c in result["checks"]),
            "fail": sum(c["base_total"] - c["base_passed"] for c in result["checks"]),
            "invalid": sum(c["base_invalid"] for c in result["checks"])}


@pytest.mark.parametrize("command", ["show", "summary", "report", "compare"])
def test_every_command_reads_odd_verdicts_alike(tmp_path: Path, command: str) -> None:
    if command == "compare":
        pytest.importorskip("scipy", reason="orrinth compare needs scipy (the cli extra)")
    trace = Trace()
    trace.add_event(TraceEvent(type="message", turn=1, agent="a"))
    for data, _ in ODD_CHECKS:
        trace.add_event(TraceEvent(type="property_check", turn=-1, data=data))
    path = tmp_path / "runs" / "odd.jsonl"
    save_run(trace, path)
    expected = {k: sum(v == k for _, v in ODD_CHECKS) for k in ("pass", "fail", "invalid")}
    assert counted(command, path, tmp_path) == expected


def test_status_and_fail_on_check(tmp_path: Path) -> None:
    good, failing, killed, torn, failed = (tmp_path / f"{n}.jsonl" for n in ("good", "failing", "killed", "torn",
                                                                              "failed"))
    ok = TraceEvent(type="property_check", turn=-1, data={"property": "p", "passed": True})
    bad = TraceEvent(type="property_check", turn=-1, data={"property": "p", "passed": False})
    for path, event in ((good, ok), (failing, bad), (torn, ok)):
        with TraceRecorder(path, run_id=path.stem, metadata={"model": "m"}) as rec:
            rec.add_event(event)
    # A killed run: its recorder never closed (the sidecar still says "running").
    rec = TraceRecorder(killed)
    rec.add_event(ok)
    with open(torn, "ab") as f:
        f.write(b'{"type": "mess')
    with pytest.raises(RuntimeError):
        with TraceRecorder(failed) as r:
            r.add_event(ok)
            raise RuntimeError("the agent crashed")
    _, out, _ = run_cli("summary", "-f", "json", tmp_path)
    assert {Path(r["file"]).stem: r["status"] for r in json.loads(out)} == {
        "good": "completed", "failing": "completed", "killed": "incomplete", "torn": "incomplete", "failed": "failed"}

    assert run_cli("summary", "--fail-on-check", good)[0] == 0
    for path in (failing, killed, torn, failed):
        code, _, err = run_cli("summary", "--fail-on-check", good, path)
        assert code == 1 and "1 of 2 runs failed a check or did not complete" in err
        assert run_cli("show", "--fail-on-check", path)[0] == 1
    assert run_cli("show", "--fail-on-check", good)[0] == 0
    code, out, err = run_cli("show", failed)
    assert code == 0 and "status: failed; run" not in out and "RuntimeError: the agent crashed" in out
    rec.close()


def test_show_on_a_torn_file_prints_what_is_complete_and_how_to_recover(tmp_path: Path) -> None:
    path = tmp_path / "run.jsonl"
    with TraceRecorder(path) as rec:
        for turn in (1, 2):
            rec.add_event(TraceEvent(type="message", turn=turn, agent="a", data={"content": f"said {turn}"}))
    with open(path, "ab") as f:
        f.write(b'{"type": "message", "turn": 3, "data": {"content": "cut sh')
    code, out, err = run_cli("show", path)
    assert code == 0 and "said 1" in out and "said 2" in out and "status: incomplete" in out
    assert "line 3 is incomplete" in err and "read_recording" in err and "mode='a'" in err
    assert err.count("\n") == 1


def test_summary_trusts_a_sidecar_only_for_the_file_it_describes(tmp_path: Path) -> None:
    trace = Trace()
    trace.add_event(TraceEvent(type="message", turn=1, agent="a", input_tokens=5))
    path = tmp_path / "run.jsonl"
    save_run(trace, path)
    meta = read_metadata(path)
    assert meta is not None and meta.figures is not None and meta.figures.matches(path)

    def row() -> dict[str, object]:
        return json.loads(run_cli("summary", "-f", "json", path)[1])[0]

    # Figures that no longer describe the file: changed in place, or another file in its place.
    write_metadata(path, meta.model_copy(update={"figures": meta.figures.model_copy(update={"input_tokens": 99})}))
    assert row()["input_tokens"] == 99  # the sidecar alone was read: same size, time and inode
    with open(path, "a") as f:
        f.write(TraceEvent(type="message", turn=2, agent="a", input_tokens=1).model_dump_json() + "\n")
    assert row()["input_tokens"] == 6 and row()["events"] == 2
    trace.to_jsonl(path)
    assert row()["input_tokens"] == 5


@pytest.mark.parametrize("target", ["folder", "under-a-file"])
def test_report_onto_a_place_it_cannot_write_is_one_line(tmp_path: Path, target: str) -> None:
    path = tmp_path / "run.jsonl"
    Trace().to_jsonl(path)
    (tmp_path / "folder").mkdir()
    output = tmp_path / "folder" if target == "folder" else path / "r.html"
    code, out, err = run_cli("report", path, "-o", output)
    assert code == 2 and out == "" and err.startswith("orrinth report: error: ") and err.count("\n") == 1, err
    assert "Traceback" not in err


class _Pipe(io.StringIO):
    def isatty(self) -> bool:
        return False


@settings(max_examples=80, deadline=None)
@given(st.lists(st.tuples(st.text(st.sampled_from("ab/[]é✓日\u0301 -\x1b"), min_size=1, max_size=30),
                          st.integers(0, 10**12), st.none() | st.integers(-1, 99), st.floats(0, 1e6),
                          st.sampled_from(["completed", "failed", "incomplete"])), max_size=6))
def test_the_summary_table_without_rich_is_the_table_rich_draws(rows: list[tuple[str, int, int | None, float, str]]) -> None:
    from orrinth.cli.summary import Row, write_table

    table = [Row(file=f, events=n, last_turn=t, messages=n // 2, input_tokens=n * 3, output_tokens=n, cost_usd=c,
                 faults=n % 3, checks_passed=n % 5, checks_failed=n % 2, checks_invalid=n % 7, status=s, run_id=None)
             for f, n, t, c, s in rows]
    fast, plain = _Pipe(), _Pipe()
    write_table(table, fast)
    write_table(table, plain, fast=False)
    assert fast.getvalue() == plain.getvalue()
