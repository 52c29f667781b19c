"""The command line on files that load but are hostile, and on files that do not load for
any reason: one line naming the file and status 2, rows kept, JSON kept valid, terminals
kept safe, pipes and Ctrl-C ended quietly."""

from __future__ import annotations

import json
import subprocess
import sys
import unicodedata
from pathlib import Path
from typing import Any

import pytest
from hypothesis import given, settings, strategies as st

from orrinth.cli import main
from orrinth.cli import _errors
from orrinth.trace import Trace, TraceEvent
from support import child_env

pytest.importorskip("rich", reason="the command line's table needs rich (the cli extra)")

RECORD = {"type": "message", "turn": 1, "agent": "a", "timestamp": 1.0, "data": {"to": "b", "content": "x"},
          "input_tokens": 1, "output_tokens": 1, "cost_usd": 0.0}


def line(**changes: Any) -> str:
    return json.dumps({**RECORD, **changes})


HOSTILE = {
    # nesting that json.loads gives up on with RecursionError on every version (3.12 and
    # later bound C recursion apart from the interpreter's limit, and accept 990 levels)
    "deep": line(data={"content": "x"}).replace('"x"', "[" * 100_000 + "]" * 100_000),
    # content that no UTF-8 output can hold as it is
    "surrogate": line().replace('"content": "x"', '"content": "\\ud800"'),
    # token totals past the int-to-str digit limit: each line loads, the sum cannot be printed
    "huge_total": "\n".join([line().replace('"input_tokens": 1', '"input_tokens": ' + "9" * 4300)] * 2),
}


def run(capsys: pytest.CaptureFixture[str], *args: object) -> tuple[int, str, str]:
    status = main([str(a) for a in args])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def assert_one_error(err: str, command: str, name: str) -> None:
    first = err.splitlines()[0]
    assert first.startswith(f"orrinth {command}: error: ") and name in first, err
    assert "Traceback" not in err
    assert all(line.startswith("  ") for line in err.splitlines()[1:]), err  # only the location notes follow


@pytest.mark.parametrize("case", ["deep", "surrogate", "huge_total"])
@pytest.mark.parametrize("command", ["show", "summary", "diff", "report"])
def test_hostile_but_loadable_files(tmp_path: Path, capsys: pytest.CaptureFixture[str], command: str,
                                    case: str) -> None:
    bad = tmp_path / f"{case}.jsonl"
    bad.write_text(HOSTILE[case] + "\n", encoding="utf-8")
    good = tmp_path / "good.jsonl"
    good.write_text(line() + "\n")
    args: list[object] = {"show": ["show", bad], "summary": ["summary", "-f", "json", good, bad],
                          "diff": ["diff", good, bad], "report": ["report", bad, "-o", tmp_path / "r.html"]}[command]
    status, out, err = run(capsys, *args)
    if case == "surrogate":
        # Loads and prints: the lone surrogate is shown as an escape (diff: the runs differ).
        assert status == (_errors.EXIT_DIFFERENT if command == "diff" else 0) and not err, err
        written = (tmp_path / "r.html").read_text("utf-8") if command == "report" else out
        assert command == "summary" or "\\ud800" in written
        return
    if case == "huge_total" and command == "diff":
        assert status == _errors.EXIT_DIFFERENT, err  # no total is formed: each number prints
        return
    assert status == _errors.EXIT_ERROR, (out, err)
    assert_one_error(err, command, bad.name)
    if command == "summary":
        # The file that could be read keeps its row, before the error.
        assert [row["file"] for row in json.loads(out)] == [str(good)]


@pytest.mark.parametrize("exc", [MemoryError(), RecursionError("deep"), TypeError("odd"),
                                 UnicodeDecodeError("utf-8", b"\xff", 0, 1, "bad"), LookupError("x")])
@pytest.mark.parametrize("command", ["show", "summary", "diff", "report"])
def test_any_failure_to_load_is_one_line_and_status_2(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch, command: str,
    exc: Exception,
) -> None:
    path = tmp_path / "run.jsonl"
    path.write_text(line() + "\n")

    def fail(cls: type[Trace], p: Path) -> Trace:
        raise exc

    monkeypatch.setattr(Trace, "from_jsonl", classmethod(fail))
    status, _, err = run(capsys, *([command, path, path] if command == "diff" else [command, path]))
    assert status == _errors.EXIT_ERROR  # for diff: never 1, "the runs differ"
    assert_one_error(err, command, "run.jsonl")
    assert type(exc).__name__ in err


def test_ctrl_c_ends_quietly(tmp_path: Path, capsys: pytest.CaptureFixture[str],
                             monkeypatch: pytest.MonkeyPatch) -> None:
    path = tmp_path / "run.jsonl"
    path.write_text(line() + "\n")

    def fail(cls: type[Trace], p: Path) -> Trace:
        raise KeyboardInterrupt

    monkeypatch.setattr(Trace, "from_jsonl", classmethod(fail))
    got, _, err = run(capsys, "show", path)
    assert got == _errors.EXIT_INTERRUPTED and "Traceback" not in err and "error" not in err


def test_broken_pipe_from_a_real_pipe(tmp_path: Path) -> None:
    trace = Trace()
    for turn in range(20_000):
        trace.add_event(TraceEvent(type="message", turn=turn, agent="a", data={"content": "y" * 50}))
    trace.to_jsonl(tmp_path / "long.jsonl")
    proc = subprocess.Popen([sys.executable, "-m", "orrinth", "show", str(tmp_path / "long.jsonl")],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env())
    assert proc.stdout is not None and proc.stderr is not None
    proc.stdout.readline()
    proc.stdout.close()  # the reader goes away, as `| head -1` does
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=120) == 141 and err == ""


def test_summary_json_stays_json_with_non_finite_costs(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    for name, cost in (("nan", "NaN"), ("inf", "1e400"), ("fine", "0.5")):
        (tmp_path / f"{name}.jsonl").write_text(line().replace('"cost_usd": 0.0', f'"cost_usd": {cost}') + "\n")
    status, out, err = run(capsys, "summary", "-f", "json", tmp_path)
    assert status == 0, err

    def refuse(constant: str) -> None:
        raise AssertionError(f"{constant} is not JSON")

    rows = json.loads(out, parse_constant=refuse)
    assert {Path(r["file"]).stem: r["cost_usd"] for r in rows} == {"nan": None, "inf": None, "fine": 0.5}


def test_summary_lists_missing_paths_after_the_rows(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    (tmp_path / "good.jsonl").write_text(line() + "\n")
    status, out, err = run(capsys, "summary", "-f", "csv", tmp_path / "good.jsonl", tmp_path / "gone.jsonl")
    assert status == _errors.EXIT_ERROR
    assert "good.jsonl" in out and "gone.jsonl: no such file" in err


# What a terminal acts on, or what hides and reorders text: none of it may reach the output.
def unsafe(ch: str) -> bool:
    return (ch != "\n" and unicodedata.category(ch) == "Cc") or unicodedata.bidirectional(ch) in (
        "LRE", "RLE", "LRO", "RLO", "PDF", "LRI", "RLI", "FSI", "PDI") or "\ud800" <= ch <= "\udfff"


HOSTILE_TEXT = st.text(st.sampled_from("\x1b\r\n\t\x07\x00\x7f\x85\x9b\u202e\u2066\u2069\ud800ab[]P"), max_size=12)


@settings(max_examples=60, deadline=None)
@given(content=HOSTILE_TEXT, agent=HOSTILE_TEXT, detail=HOSTILE_TEXT, prop=HOSTILE_TEXT, fault=HOSTILE_TEXT)
def test_show_and_diff_print_nothing_a_terminal_acts_on(
    tmp_path_factory: pytest.TempPathFactory, content: str, agent: str, detail: str, prop: str, fault: str,
) -> None:
    import contextlib
    import io

    folder = tmp_path_factory.mktemp("esc")

    def save(name: str, *events: dict[str, Any]) -> None:  # json.dumps: lone surrogates as escapes
        (folder / name).write_text("".join(line(**e) + "\n" for e in events), encoding="ascii")

    save("a.jsonl", dict(agent=agent, data={"to": agent, "content": content}),
         dict(type="state_change", agent=agent, data={content: {"from": 1, "to": prop}}),
         dict(type="fault_injected", agent=agent, data={"fault": fault, content: 1}),
         dict(type="property_check", turn=-1, agent=None, data={"property": prop, "passed": False, "detail": detail}))
    save("b.jsonl", dict(agent=prop, data={"to": detail, "content": fault}))
    for args in (["show", folder / "a.jsonl"], ["diff", folder / "a.jsonl", folder / "b.jsonl"]):
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            status = main([str(a) for a in args])
        assert status in (0, 1), err.getvalue()
        text = out.getvalue()
        assert not [ch for ch in text if unsafe(ch)], text
        # every check is on a line of its own: a forged "PASS" line cannot appear
        assert sum(ln.startswith(("PASS", "FAIL", "INVALID")) for ln in text.splitlines()) == (args[0] == "show")


def test_a_forged_pass_line_is_shown_as_what_it_is() -> None:
    assert _errors.terminal_safe("\r\x1b[2KPASS  no_leak") == "\\x0d\\x1b[2KPASS  no_leak"
