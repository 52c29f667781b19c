"""The data-frame loader against a model that reads the same files as plain JSON, in pandas
and polars alike, and the cases a folder of real runs holds: the same file names in two
batches, a torn last line, a broken file, metadata of any JSON kind."""

from __future__ import annotations

import json
import math
import random
import sys
from pathlib import Path
from typing import Any

import pytest

from orrinth import frames
from orrinth.runmeta import RunMetadata, sidecar_path, write_metadata
from orrinth.trace import Trace, TraceEvent

VERDICTS = [True, True, False, 1, "true", None]


def write_batch(root: Path, seed: int) -> None:
    """Two batches whose files have the same names, random events and checks, metadata
    of every JSON kind (some runs without any), one torn run and one sidecar-less run."""
    rng = random.Random(seed)
    for batch in ("v1", "v2"):
        for n in range(rng.randint(1, 4)):
            trace = Trace()
            for turn in range(rng.randint(0, 6)):
                kind = rng.choice(["message", "message", "state_change", "fault_injected"])
                data: dict[str, Any] = {"to": rng.choice(["b", 7, None]), "content": rng.choice(["hi", "ünï", ["x"]])}
                trace.add_event(TraceEvent(type=kind, turn=turn, agent=rng.choice(["a", "b", None]), data=data,
                                           input_tokens=rng.randint(0, 50), cost_usd=rng.random() / 100))
            for i in range(rng.randint(0, 3)):
                check: dict[str, Any] = {"property" if rng.random() < 0.8 else "name": f"c{i}",
                                         "passed": rng.choice(VERDICTS)}
                if rng.random() < 0.5:
                    check["score"] = rng.choice([0.25, 1, "high"])
                trace.add_event(TraceEvent(type="property_check", turn=-1, data=check))
            path = root / batch / f"run-{n:03d}.jsonl"
            trace.to_jsonl(path)
            if rng.random() < 0.8:
                values = [rng.choice(["gpt", "claude"]), rng.randint(0, 9), ["t", batch], {"k": 1}, None, 0.5, True]
                write_metadata(path, RunMetadata(run_id=f"{batch}-{n}", status=rng.choice(["completed", "running"]),
                                                 metadata={"model": values[0], "seed": values[1], "tags": values[2],
                                                           "cfg": values[3], "mixed": rng.choice(values),
                                                           "status": batch}))
    torn = root / "v2" / "torn.jsonl"
    torn.write_text('{"type":"message","turn":1,"agent":"a","cost_usd":0.5}\n{"type":"mess', encoding="utf-8")


def model_runs(root: Path) -> list[dict[str, Any]]:
    """The run rows from the files' JSON, read the plain way."""
    rows = []
    for path in sorted(root.rglob("*.jsonl")):
        lines = path.read_text(encoding="utf-8").split("\n")
        torn = bool(lines[-1])
        records = [json.loads(line) for line in (lines[:-1] if torn else lines) if line.strip()]
        checks = []
        for r in (r for r in records if r["type"] == "property_check"):
            d = r.get("data", {})
            name = d["property"] if "property" in d else d.get("name")
            score = d.get("score")
            ok = (isinstance(name, str) and name and type(d.get("passed")) is bool
                  and (score is None or type(score) in (int, float)))
            checks.append(("pass" if d["passed"] else "fail") if ok else "invalid")
        side = sidecar_path(path)
        meta = json.loads(side.read_text()) if side.exists() else None
        turns = [r["turn"] for r in records if r["type"] != "property_check"]
        row = {
            "run": path.relative_to(root).as_posix(),
            "status": "incomplete" if torn or (meta and meta["status"] == "running") else "completed",
            "events": len(records), "messages": sum(r["type"] == "message" for r in records),
            "last_turn": max(turns) if turns else None,
            "input_tokens": sum(r.get("input_tokens", 0) for r in records if r["type"] == "message"),
            "cost_usd": sum(r.get("cost_usd", 0.0) for r in records if r["type"] == "message"),
            "faults": sum(r["type"] == "fault_injected" for r in records),
            "checks_passed": checks.count("pass"), "checks_failed": checks.count("fail"),
            "checks_invalid": checks.count("invalid"),
            "run_id": meta["run_id"] if meta else None,
        }
        for key, value in (meta or {}).get("metadata", {}).items():
            row[f"metadata.{key}" if key in frames.RUN_COLUMNS else key] = value
        rows.append(row)
    # Lists and objects are held as JSON text, and so is every value of a column whose runs
    # disagree on the kind of value.
    for key in {k for r in rows for k in r} - set(frames.RUN_COLUMNS):
        kinds = {"bool" if isinstance(v, bool) else "num" if isinstance(v, (int, float)) else
                 "str" if isinstance(v, str) else "json" for r in rows if (v := r.get(key)) is not None}
        for r in rows:
            if r.get(key) is not None and (len(kinds) > 1 or kinds == {"json"}):
                r[key] = json.dumps(r[key])
    return rows


def plain(value: Any) -> Any:
    """A frame's cell as a Python value: missing values as None."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return None
    if type(value).__name__ in ("NAType", "NaTType"):
        return None
    return value.item() if hasattr(value, "item") else value


def rows_of(frame: Any) -> list[dict[str, Any]]:
    records = frame.to_dicts() if hasattr(frame, "to_dicts") else frame.to_dict("records")
    return [{k: plain(v) for k, v in r.items()} for r in records]


@pytest.mark.parametrize("library", ["pandas", "polars"])
@pytest.mark.parametrize("seed", range(6))
def test_run_and_event_frames_match_the_plain_reading(tmp_path: Path, library: str, seed: int) -> None:
    pytest.importorskip(library, reason="optional: the analysis extra installs it")
    write_batch(tmp_path, seed)
    got = frames.load(tmp_path, root=tmp_path, library=library)
    runs, events = rows_of(got.runs), rows_of(got.events)
    expected = model_runs(tmp_path)
    assert [r["run"] for r in runs] == [r["run"] for r in expected]
    for row, want in zip(runs, expected):
        assert {k: row[k] for k in want if k != "cost_usd"} == {k: v for k, v in want.items() if k != "cost_usd"}
        assert row["cost_usd"] == pytest.approx(want["cost_usd"])
        assert set(row) - set(frames.RUN_COLUMNS) <= {k for r in expected for k in r}  # no invented column
    # The event frame: every event of every run in order, joined to the runs by name.
    assert [(e["run"], e["event"]) for e in events] == [
        (r["run"], i) for r in expected for i in range(r["events"])]
    outcomes = {r["run"]: [e["check_outcome"] for e in events if e["run"] == r["run"] and e["check_outcome"]]
                for r in expected}
    for r in expected:
        assert sorted(outcomes[r["run"]]) == sorted(
            ["pass"] * r["checks_passed"] + ["fail"] * r["checks_failed"] + ["invalid"] * r["checks_invalid"])
    for e in events:
        assert json.loads(e["data"]) is not None


def test_pandas_and_polars_give_the_same_rows(tmp_path: Path) -> None:
    pytest.importorskip("pandas", reason="optional: the analysis extra installs it")
    pytest.importorskip("polars", reason="optional: the analysis extra installs it")
    write_batch(tmp_path, 11)
    pd_frames = frames.load(tmp_path, root=tmp_path)
    pl_frames = frames.load(tmp_path, root=tmp_path, library="polars")
    assert list(pd_frames.runs.columns) == pl_frames.runs.columns
    assert rows_of(pd_frames.runs) == rows_of(pl_frames.runs)
    assert rows_of(pd_frames.events) == rows_of(pl_frames.events)
    # The one-file functions that a distributed engine maps over the files give the same rows.
    files = frames.trace_files(tmp_path)
    assert [frames.run_record(f, tmp_path)["run"] for f in files] == list(pd_frames.runs["run"])
    assert sum(len(frames.event_records(f, tmp_path)) for f in files) == len(pd_frames.events)


def test_unreadable_files_raise_naming_the_run_or_are_kept_as_such(tmp_path: Path) -> None:
    pytest.importorskip("pandas", reason="optional: the analysis extra installs it")
    write_batch(tmp_path, 2)
    (tmp_path / "v1" / "bad.jsonl").write_text('{"type":"message"}\n{oops}\n{"type":"message"}\n', encoding="utf-8")
    with pytest.raises(ValueError) as caught:
        frames.runs(tmp_path, root=tmp_path)
    assert any("'v1/bad.jsonl'" in note for note in getattr(caught.value, "__notes__", []))
    kept = frames.load(tmp_path, root=tmp_path, skip_unreadable=True)
    bad = kept.runs[kept.runs["run"] == "v1/bad.jsonl"].iloc[0]
    assert bad["status"] == "unreadable" and plain(bad["events"]) is None
    assert "v1/bad.jsonl" not in set(kept.events["run"])


def test_paths_name_each_run_once_and_naming_nothing_is_an_error(tmp_path: Path,
                                                                 monkeypatch: pytest.MonkeyPatch) -> None:
    pytest.importorskip("pandas", reason="optional: the analysis extra installs it")
    write_batch(tmp_path, 4)
    monkeypatch.chdir(tmp_path)
    every = [f.as_posix() for f in frames.trace_files(".")]
    # A folder and a file in it, a glob: each run once, in order, named from the current folder.
    assert list(frames.runs(["v1", "v1/run-000.jsonl", "v2/*.jsonl"])["run"]) == every
    assert frames.run_record(tmp_path / "v1" / "run-000.jsonl", root=tmp_path / "v2")["run"] == \
        (tmp_path / "v1" / "run-000.jsonl").as_posix()  # outside root: the absolute path
    (tmp_path / "empty").mkdir()
    for paths, error in ("missing", "missing: no such file"), ("empty", "empty: no trace files"), \
            ("*.nothing", r"\*\.nothing: no file matches"):
        with pytest.raises(FileNotFoundError, match=error):
            frames.trace_files([paths])


@pytest.mark.parametrize("library", ["pandas", "polars"])
def test_a_missing_library_names_the_extra(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, library: str) -> None:
    write_batch(tmp_path, 1)
    monkeypatch.setitem(sys.modules, library, None)
    with pytest.raises(ImportError, match=rf"needs {library} .*pip install 'orrinth\[analysis\]'"):
        frames.runs(tmp_path, library=library)  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="library must be 'pandas' or 'polars', not 'arrow'"):
        frames.runs(tmp_path, library="arrow")  # type: ignore[arg-type]
