"""orrinth compare on generated batches: the exit status a CI gate relies on, pairing, and
invariants of the statistics over random batches."""

from __future__ import annotations

import contextlib
import io
import json
import random
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pytest.importorskip("scipy", reason="orrinth compare needs scipy (the cli extra)")

from orrinth.checks import Check
from orrinth.cli import main
from orrinth.cli.batch import Run
from orrinth.cli.compare import Side, compare, parse_budget
from orrinth.runmeta import RunFigures, save_run
from orrinth.trace import Trace, TraceEvent


def make_batch(folder: Path, runs: int, rate: float, seed: int, *, ids: bool = True, prefix: str = "run",
               meta: dict[str, str] | None = None, cost: float = 0.01) -> None:
    """Runs whose "goal" check passes with probability ``rate``, drawn per run from ``seed``
    (the same draw at every rate, as a prompt change would affect the same conversations)."""
    for i in range(runs):
        draw = random.Random(f"{seed}-{i}").random()
        trace = Trace()
        turns = 3 if draw < rate else 5
        for turn in range(1, turns + 1):
            trace.add_event(TraceEvent(type="message", turn=turn, agent="a", input_tokens=100, output_tokens=10,
                                       cost_usd=cost * (1 + draw / 10) / turns))
        for name, passed in (("goal", draw < rate), ("polite", True)):
            trace.add_event(TraceEvent(type="property_check", turn=-1,
                                       data={"property": name, "passed": passed, "score": float(passed)}))
        save_run(trace, folder / f"{prefix}-{i:03d}.jsonl", meta or {}, run_id=f"r{i}" if ids else None)


def run_cli(*args: object) -> tuple[int, str, str]:
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main([str(a) for a in args])
    return status, out.getvalue(), err.getvalue()


@pytest.mark.parametrize(("ids", "prefix", "pairing"), [(True, "run", "run id"), (False, "run", "name"),
                                                        (False, "other", "none")])
@pytest.mark.parametrize(("rate", "status"), [(0.9, 0), (0.4, 1)])
def test_the_gate_passes_the_same_batch_and_stops_a_fall(tmp_path: Path, ids: bool, prefix: str, pairing: str,
                                                         rate: float, status: int) -> None:
    make_batch(tmp_path / "base", 60, 0.9, seed=7, ids=ids)
    make_batch(tmp_path / "cand" / "deeper", 60, rate, seed=7, ids=ids, prefix=prefix)
    code, out, err = run_cli("compare", tmp_path / "base", tmp_path / "cand", "-f", "json", "-j", "1")
    assert code == status, err
    result = json.loads(out)
    assert result["pairing"] == pairing and result["regressed"] == bool(status)
    goal = next(c for c in result["checks"] if c["name"] == "goal")
    assert goal["regressed"] == bool(status) and goal["test"].startswith("McNemar" if pairing != "none" else "Fisher")
    if pairing != "none":  # every run that now fails "goal" is listed, by its key
        assert len([c for c in result["changed"] if c["check"] == "goal"]) == goal["worse"] + goal["better"]
    if status:
        assert goal["base_rate"] > 0.8 and goal["candidate_rate"] < 0.5 and "REGRESSED: goal fell" in result["verdict"]
        assert next(m for m in result["per_run"] if m["name"] == "turns")["change"] > 0


def test_one_folder_split_by_a_metadata_key_and_patterns(tmp_path: Path) -> None:
    make_batch(tmp_path / "all", 50, 0.9, seed=3, meta={"prompt_version": "v1"}, prefix="v1")
    make_batch(tmp_path / "all", 50, 0.4, seed=3, meta={"prompt_version": "v2"}, prefix="v2")
    assert run_cli("compare", tmp_path / "all", "--by", "prompt_version", "-j", "1")[0] == 1
    make_batch(tmp_path / "all", 2, 0.4, seed=3, prefix="untagged")
    code, _, err = run_cli("compare", tmp_path / "all", "--by", "prompt_version", "-j", "1")
    assert code == 1 and "2 of 102 runs have another prompt_version or none, and are left out" in err
    # Named the other way round, the change is an improvement: no gate fails.
    code, out, _ = run_cli("compare", tmp_path / "all", "--by", "prompt_version=v2,v1", "-j", "1")
    assert code == 0 and "paired by run id: 50 pairs" in out and "no regression" in out
    code, out, _ = run_cli("compare", f"{tmp_path}/all/v1-*.jsonl", f"{tmp_path}/all/v2-*.jsonl", "-f", "csv")
    assert code == 1 and out.startswith("section,name,") and "check,goal," in out and ",regressed\n" in out


@pytest.mark.parametrize(("budget", "status"), [("1%", 1), ("0.0001", 1), ("50%", 0), ("0.5", 0)])
def test_cost_budget(tmp_path: Path, budget: str, status: int) -> None:
    make_batch(tmp_path / "a", 20, 1.0, seed=1, cost=0.01)
    make_batch(tmp_path / "b", 20, 1.0, seed=1, cost=0.0105)  # 5% dearer, same verdicts
    code, out, _ = run_cli("compare", tmp_path / "a", tmp_path / "b", "--max-cost-increase", budget)
    assert code == status and (("over the budget" in out) == bool(status))


@pytest.mark.parametrize("args", [
    ["{a}"],
    ["{a}", "{b}", "--by", "k"],
    ["{a}", "--by", "k"],
    ["{a}", "--by", "k=v1"],
    ["{a}", "{b}", "--alpha", "0"],
    ["{a}", "{b}", "--max-cost-increase", "lots"],
    ["{a}", "{missing}"],
    ["{a}", "{bad}"],
])
def test_errors_exit_2_with_one_line(tmp_path: Path, args: list[str]) -> None:
    make_batch(tmp_path / "a", 3, 1.0, seed=1, meta={"k": "v1"})
    make_batch(tmp_path / "b", 3, 1.0, seed=1)
    (tmp_path / "bad").mkdir()
    (tmp_path / "bad" / "x.jsonl").write_text('{"type": "message"}\n')
    paths = {k: tmp_path / k for k in ("a", "b", "missing", "bad")}
    code, out, err = run_cli("compare", *(a.format(**paths) for a in args))
    first, *notes = err.splitlines()
    assert code == 2 and out == "" and first.startswith("orrinth compare: error: "), err
    assert all(n.startswith("  ") for n in notes)  # where in the file, as for every command


# --- the statistics, over random batches --------------------------------------------------

verdict = st.sampled_from([True, False, None])  # None: the check is invalid in that run


def side(label: str, verdicts: list[bool | None], costs: list[float]) -> Side:
    runs = {}
    for i, (v, cost) in enumerate(zip(verdicts, costs)):
        check = Check("goal", v, score=None if v is None else float(v),
                      problem="odd verdict" if v is None else None)
        figures = RunFigures(events=1, last_turn=1 + i % 3, messages=1, input_tokens=1, output_tokens=1,
                             cost_usd=cost, faults=0)
        runs[f"run-{i}"] = Run(Path(f"{label}/run-{i}.jsonl"), "completed", None, figures, None, [check])
    return Side(label, runs)


@settings(max_examples=60, deadline=None)
@given(st.integers(2, 30).flatmap(lambda n: st.tuples(
    st.lists(verdict, min_size=n, max_size=n), st.lists(verdict, min_size=n, max_size=n),
    st.lists(st.floats(0, 1), min_size=n, max_size=n), st.lists(st.floats(0, 1), min_size=n, max_size=n))),
    st.booleans())
def test_statistics_invariants(batches: tuple[list[bool | None], ...], paired: bool) -> None:
    va, vb, ca, cb = batches
    a, b = side("a", va, ca), side("b", vb, cb)
    if not paired:  # no common names: two independent samples
        b = Side("b", {f"other-{k}": r for k, r in b.runs.items()})
    ab, ba, aa = compare(a, b), compare(b, a), compare(a, a)
    assert ab.pairing == ("name" if paired else "none")
    for one, other in zip(ab.checks, ba.checks):  # swapping the sides flips the change, keeps the test
        assert one.change == (None if other.change is None else -other.change)
        assert one.p_value == pytest.approx(other.p_value) if one.p_value is not None else other.p_value is None
        assert (one.worse, one.better) == (other.better, other.worse)
        assert not (one.regressed and other.regressed)
    for row in ab.checks:
        assert row.p_value is None or 0 <= row.p_value <= 1
        assert row.base_invalid == va.count(None) and row.candidate_invalid == vb.count(None)
        for rate, ci in ((row.base_rate, row.base_interval), (row.candidate_rate, row.candidate_interval)):
            assert (rate is None) == (ci is None)
            assert rate is None or ci is not None and ci[0] - 1e-12 <= rate <= ci[1] + 1e-12
        if row.regressed:
            assert row.p_value is not None and row.p_value < 0.05
            assert row.worse > row.better if paired else (row.change or 0) < 0
    for m in ab.per_run + ab.scores:
        if m.change_interval is not None and m.change is not None:
            assert m.change_interval[0] - 1e-9 <= m.change <= m.change_interval[1] + 1e-9
    # A batch compared with itself never regresses, and changes nothing.
    assert not aa.regressed and not aa.changed
    assert all(r.change in (0, None) and r.p_value in (1.0, None) for r in aa.checks)
    assert not compare(a, a, budget=parse_budget("0%")).budget_exceeded
