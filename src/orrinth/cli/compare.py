"""``orrinth compare BASE CANDIDATE``: did a change make the runs better or worse?

Each side is a batch of runs: a folder (searched for ``*.jsonl``), a glob, a file, or one
value of a metadata key (``--by KEY``). Runs are paired by run id where both sides carry the
same ids, else by their names relative to each side's own folder; a check is then compared
pair by pair (the exact McNemar test on the pairs whose verdicts differ), otherwise as two
independent samples (Fisher's exact test). A run's verdict on a check is its failure if any
occurrence failed, its pass if all passed; an invalid occurrence leaves the run out of that
check (and is counted as such).
"""

from __future__ import annotations

import csv
import glob
import json
import math
import os
from collections.abc import Callable, Sequence
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any, Literal, TextIO

from orrinth.cli import stats
from orrinth.cli._errors import CommandError, finite_or_none, terminal_safe
from orrinth.cli.batch import Run, value_text
from orrinth.cli.runs import find_traces

__all__ = ["Budget", "Comparison", "Side", "compare", "pair_runs", "parse_budget", "sides_from_paths",
           "sides_by_key", "write_csv", "write_json", "write_table"]

Verdict = Literal["pass", "fail", "invalid"]
GLOB_CHARS = frozenset("*?[")


@dataclass
class Side:
    """One batch: what the user named, and its runs, each under the name it pairs by."""

    label: str
    runs: dict[str, Run]  # relative name -> run


def _relative_names(files: list[Path]) -> list[str]:
    if not files:
        return []
    root = Path(os.path.commonpath([str(f.parent.resolve()) for f in files]))
    return [f.resolve().relative_to(root).as_posix() for f in files]


def expand(argument: str) -> list[Path]:
    """A folder, a file, or a glob (``**`` reaches into subfolders) as trace files."""
    path = Path(argument)
    if not path.exists() and GLOB_CHARS & set(argument):
        matches = sorted(Path(m) for m in glob.glob(argument, recursive=True))
        files = [m for m in matches if m.is_file()]
        if not files:
            raise CommandError(f"{terminal_safe(argument, keep_newlines=False)}: the pattern matches no file")
        return files
    return find_traces([path])


def side_of(label: str, runs: list[Run]) -> Side:
    return Side(label, dict(zip(_relative_names([r.path for r in runs]), runs)))


def sides_by_key(runs: list[Run], key: str, values: tuple[str, str] | None) -> tuple[Side, Side]:
    """Split one batch by ``metadata[key]``: into the two values given, or into the only two
    values there are (in sorted order)."""
    groups: dict[str, list[Run]] = {}
    for run in runs:
        if key in run.metadata:
            groups.setdefault(value_text(run.metadata[key]), []).append(run)
    if values is None:
        if len(groups) != 2:
            found = ", ".join(sorted(groups)) or "none"
            raise CommandError(f"--by {key}: two values are needed to compare, found {len(groups)} ({found}); "
                               f"name them with --by {key}=BASE,CANDIDATE")
        values = (sorted(groups)[0], sorted(groups)[1])
    for value in values:
        if value not in groups:
            raise CommandError(f"--by {key}: no run has {key}={value}")
    return tuple(side_of(f"{key}={v}", groups[v]) for v in values)  # type: ignore[return-value]


def pair_runs(base: Side, candidate: Side) -> tuple[str, list[tuple[str, Run, Run]]]:
    """How the sides pair ("run id", "name" or "none") and the pairs, each under its key."""
    def ids(side: Side) -> dict[str, Run] | None:
        found = {r.run_id: r for r in side.runs.values() if r.run_id is not None}
        return found if len(found) == len(side.runs) else None  # every run, each id once

    base_ids, cand_ids = ids(base), ids(candidate)
    if base_ids is not None and cand_ids is not None and base_ids.keys() & cand_ids.keys():
        return "run id", [(k, base_ids[k], cand_ids[k]) for k in sorted(base_ids.keys() & cand_ids.keys())]
    common = sorted(base.runs.keys() & candidate.runs.keys())
    if common:
        return "name", [(k, base.runs[k], candidate.runs[k]) for k in common]
    return "none", []


def verdicts(run: Run) -> dict[str, Verdict]:
    """Each check's verdict in one run: invalid if any occurrence is, else fail if any failed."""
    out: dict[str, Verdict] = {}
    for check in run.checks:
        before = out.get(check.name)
        if before == "invalid" or check.outcome == "invalid":
            out[check.name] = "invalid"
        elif before == "fail" or check.outcome == "fail":
            out[check.name] = "fail"
        else:
            out[check.name] = "pass"
    return out


def scores(run: Run) -> dict[str, float]:
    """Each scored check's mean score in one run."""
    sums: dict[str, list[float]] = {}
    for check in run.checks:
        if check.score is not None:
            sums.setdefault(check.name, []).append(check.score)
    return {name: sum(v) / len(v) for name, v in sums.items()}


@dataclass
class CheckRow:
    name: str
    base_passed: int
    base_total: int
    candidate_passed: int
    candidate_total: int
    base_rate: float | None
    base_interval: tuple[float, float] | None
    candidate_rate: float | None
    candidate_interval: tuple[float, float] | None
    change: float | None
    test: str
    p_value: float | None
    worse: int = 0  # pairs: passed before, fails now
    better: int = 0  # pairs: failed before, passes now
    base_invalid: int = 0
    candidate_invalid: int = 0
    regressed: bool = False


@dataclass
class MeanRow:
    name: str
    base_n: int
    candidate_n: int
    base_mean: float | None
    base_interval: tuple[float, float] | None
    candidate_mean: float | None
    candidate_interval: tuple[float, float] | None
    change: float | None
    change_interval: tuple[float, float] | None


@dataclass
class Changed:
    key: str
    check: str
    base: str
    candidate: str
    base_file: str
    candidate_file: str


@dataclass
class Budget:
    limit: float
    relative: bool

    def exceeded(self, base_mean: float | None, change: float | None) -> bool:
        if change is None or base_mean is None:
            return False
        if not self.relative:
            return change > self.limit
        return change > self.limit * base_mean if base_mean > 0 else change > 0

    def __str__(self) -> str:
        return f"{self.limit:.0%}" if self.relative else f"${self.limit:g} per run"


def parse_budget(text: str) -> Budget:
    """``10%`` (of the base's mean cost per run) or ``0.002`` (US dollars per run)."""
    try:
        relative = text.endswith("%")
        limit = float(text[:-1]) / 100 if relative else float(text)
    except ValueError:
        raise CommandError(f"--max-cost-increase: {text!r} is neither a percentage (10%) nor dollars (0.002)") from None
    if not math.isfinite(limit) or limit < 0:
        raise CommandError(f"--max-cost-increase: {text!r} must be a finite amount, zero or more")
    return Budget(limit, relative)


@dataclass
class Comparison:
    base: str
    candidate: str
    base_status: dict[str, int]
    candidate_status: dict[str, int]
    pairing: str
    pairs: int
    alpha: float
    checks: list[CheckRow] = field(default_factory=list[CheckRow])
    scores: list[MeanRow] = field(default_factory=list[MeanRow])
    per_run: list[MeanRow] = field(default_factory=list[MeanRow])
    changed: list[Changed] = field(default_factory=list[Changed])
    budget: str | None = None
    budget_exceeded: bool = False

    @property
    def regressed(self) -> bool:
        return any(c.regressed for c in self.checks) or self.budget_exceeded


def _rate(k: int, n: int) -> float | None:
    return k / n if n else None


def _mean(values: Sequence[float]) -> float | None:
    return sum(values) / len(values) if values else None


def _mean_row(name: str, base: list[float], candidate: list[float], paired: bool) -> MeanRow:
    b, c = _mean(base), _mean(candidate)
    return MeanRow(name, len(base), len(candidate), b, stats.mean_interval(base), c, stats.mean_interval(candidate),
                   None if b is None or c is None else c - b, stats.difference_interval(base, candidate, paired))


def _status_counts(side: Side) -> dict[str, int]:
    counts: dict[str, int] = {}
    for run in side.runs.values():
        counts[run.status] = counts.get(run.status, 0) + 1
    return counts


PER_RUN: dict[str, Callable[[Run], float | None]] = {
    "cost (USD)": lambda r: r.figures.cost_usd,
    "tokens": lambda r: float(r.figures.input_tokens + r.figures.output_tokens),
    "turns": lambda r: None if r.figures.last_turn is None else float(r.figures.last_turn),
}


def compare(base: Side, candidate: Side, alpha: float = 0.05, budget: Budget | None = None) -> Comparison:
    """Compare the checks, scores and per-run figures of two batches."""
    pairing, pairs = pair_runs(base, candidate)
    paired = bool(pairs)
    result = Comparison(base.label, candidate.label, _status_counts(base), _status_counts(candidate), pairing,
                        len(pairs), alpha)
    base_runs, cand_runs = list(base.runs.values()), list(candidate.runs.values())
    base_v, cand_v = [verdicts(r) for r in base_runs], [verdicts(r) for r in cand_runs]
    names = sorted({n for v in base_v + cand_v for n in v})
    pair_v = [(key, b, c, verdicts(b), verdicts(c)) for key, b, c in pairs]
    for name in names:
        def tally(side: list[dict[str, Verdict]]) -> tuple[int, int, int]:
            found = [v[name] for v in side if name in v]
            return found.count("pass"), found.count("pass") + found.count("fail"), found.count("invalid")

        (bk, bn, bi), (ck, cn, ci) = tally(base_v), tally(cand_v)
        row = CheckRow(name, bk, bn, ck, cn, _rate(bk, bn), stats.rate_interval(bk, bn), _rate(ck, cn),
                       stats.rate_interval(ck, cn), None, "", None, base_invalid=bi, candidate_invalid=ci)
        if row.base_rate is not None and row.candidate_rate is not None:
            row.change = row.candidate_rate - row.base_rate
        if paired:
            decided = [(bv[name], cv[name]) for _, _, _, bv, cv in pair_v
                       if bv.get(name) in ("pass", "fail") and cv.get(name) in ("pass", "fail")]
            row.worse = sum(1 for b, c in decided if (b, c) == ("pass", "fail"))
            row.better = sum(1 for b, c in decided if (b, c) == ("fail", "pass"))
            row.test, row.p_value = f"McNemar exact, {len(decided)} pairs", stats.paired_p(row.worse, row.better)
            fell = row.worse > row.better
        else:
            row.test, row.p_value = "Fisher exact", stats.unpaired_p(bk, bn, ck, cn)
            fell = row.change is not None and row.change < 0
        row.regressed = fell and row.p_value is not None and row.p_value < alpha
        result.checks.append(row)
    for key, b, c, bv, cv in pair_v:
        for name in sorted(bv.keys() | cv.keys()):
            if bv.get(name, "missing") != cv.get(name, "missing"):
                result.changed.append(Changed(key, name, bv.get(name, "missing"), cv.get(name, "missing"),
                                              str(b.path), str(c.path)))
    scored = sorted({n for r in base_runs + cand_runs for n in scores(r)})
    for name in scored:
        if paired:
            graded = [(scores(b)[name], scores(c)[name]) for _, b, c in pairs if name in scores(b) and name in scores(c)]
            result.scores.append(_mean_row(name, [x for x, _ in graded], [y for _, y in graded], True))
        else:
            result.scores.append(_mean_row(name, [s[name] for s in map(scores, base_runs) if name in s],
                                           [s[name] for s in map(scores, cand_runs) if name in s], False))
    for name, figure in PER_RUN.items():
        if paired:
            kept = [(x, y) for x, y in ((figure(b), figure(c)) for _, b, c in pairs) if x is not None and y is not None]
            result.per_run.append(_mean_row(name, [x for x, _ in kept], [y for _, y in kept], True))
        else:
            values = [[v for v in map(figure, runs) if v is not None] for runs in (base_runs, cand_runs)]
            result.per_run.append(_mean_row(name, values[0], values[1], False))
    if budget is not None:
        cost = result.per_run[0]
        result.budget = str(budget)
        result.budget_exceeded = budget.exceeded(cost.base_mean, cost.change)
    return result


def sides_from_paths(base: list[Run], candidate: list[Run], labels: tuple[str, str]) -> tuple[Side, Side]:
    return side_of(labels[0], base), side_of(labels[1], candidate)


# --- output ---------------------------------------------------------------------------


FORMATS = {"cost (USD)": ".6f", "tokens": ",.1f", "turns": ".2f"}


def _pct(x: float | None) -> str:
    return "-" if x is None else f"{x:.1%}"


def _ci(ci: tuple[float, float] | None, fmt: str) -> str:
    return "" if ci is None else f"[{ci[0]:{fmt}}, {ci[1]:{fmt}}]"


def _p(p: float | None) -> str:
    return "-" if p is None else ("<0.001" if p < 0.001 else f"{p:.3f}")


def _num(x: float | None, fmt: str) -> str:
    return "-" if x is None else f"{x:{fmt}}"


def _status_text(counts: dict[str, int]) -> str:
    total = sum(counts.values())
    return f"{total} runs: " + ", ".join(f"{n} {s}" for s, n in sorted(counts.items()))


def verdict_line(c: Comparison) -> str:
    fallen = [r for r in c.checks if r.regressed]
    parts = [f"{r.name} fell from {_pct(r.base_rate)} to {_pct(r.candidate_rate)} (p {_p(r.p_value)})" for r in fallen]
    if c.budget_exceeded:
        cost = c.per_run[0]
        parts.append(f"cost per run rose by {_num(cost.change, '.6f')} USD, over the budget of {c.budget}")
    if parts:
        return "REGRESSED: " + "; ".join(parts)
    return f"no regression at alpha {c.alpha:g}" + (f" (cost within {c.budget})" if c.budget else "")


def write_table(c: Comparison, out: TextIO, changed_limit: int = 20) -> None:
    from rich import box
    from rich.console import Console
    from rich.markup import escape
    from rich.table import Table

    def safe(text: str) -> str:
        return escape(terminal_safe(text, keep_newlines=False))

    console = Console(file=out, width=None if out.isatty() else 200, highlight=False, color_system="auto")
    console.print(f"base       {safe(c.base)} ({_status_text(c.base_status)})")
    console.print(f"candidate  {safe(c.candidate)} ({_status_text(c.candidate_status)})")
    console.print(f"paired by {c.pairing}: {c.pairs} pairs" if c.pairs else "not paired: runs compared as two samples")
    if c.checks:
        t = Table(box=box.SIMPLE_HEAD, show_edge=False, title="Checks: pass rate [95% interval]", title_justify="left")
        for header in ("check", "base", "candidate", "change", "p", "test", ""):
            t.add_column(header, justify="left" if header in ("check", "test", "") else "right")
        for r in c.checks:
            invalid = r.base_invalid + r.candidate_invalid
            flag = "REGRESSED" if r.regressed else ""
            if invalid:
                flag = f"{flag} {invalid} invalid".strip()
            t.add_row(safe(r.name), f"{_pct(r.base_rate)} {_ci(r.base_interval, '.1%')} n={r.base_total}",
                      f"{_pct(r.candidate_rate)} {_ci(r.candidate_interval, '.1%')} n={r.candidate_total}",
                      "-" if r.change is None else f"{r.change * 100:+.1f} pp", _p(r.p_value), r.test, flag)
        console.print(t)
    for title, rows in (("Scores: mean [95% interval]", c.scores), ("Per run: mean [95% interval]", c.per_run)):
        if not rows:
            continue
        t = Table(box=box.SIMPLE_HEAD, show_edge=False, title=title, title_justify="left")
        for header in ("", "base", "candidate", "change [95% interval]"):
            t.add_column(header, justify="left" if not header else "right")
        for m in rows:
            fmt = FORMATS.get(m.name, ".3f") if rows is c.per_run else ".3f"
            t.add_row(safe(m.name), f"{_num(m.base_mean, fmt)} {_ci(m.base_interval, fmt)}",
                      f"{_num(m.candidate_mean, fmt)} {_ci(m.candidate_interval, fmt)}",
                      f"{_num(m.change, '+' + fmt)} {_ci(m.change_interval, fmt)}")
        console.print(t)
    if c.changed:
        t = Table(box=box.SIMPLE_HEAD, show_edge=False, title_justify="left",
                  title=f"Runs whose verdict changed: {len(c.changed)}")
        for header in ("run", "check", "base", "candidate", "candidate file"):
            t.add_column(header)
        shown = sorted(c.changed, key=lambda x: (x.candidate != "fail", x.key, x.check))[:changed_limit]
        for ch in shown:
            t.add_row(safe(ch.key), safe(ch.check), ch.base, ch.candidate, safe(ch.candidate_file))
        console.print(t)
        if len(c.changed) > len(shown):
            console.print(f"... and {len(c.changed) - len(shown)} more (all of them with -f csv or -f json)")
    console.print(verdict_line(c))


def _jsonable(value: Any) -> Any:
    if isinstance(value, dict):
        return {k: _jsonable(v) for k, v in value.items()}  # pyright: ignore[reportUnknownVariableType]
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]  # pyright: ignore[reportUnknownVariableType]
    return finite_or_none(value)


def write_json(c: Comparison, out: TextIO) -> None:
    data = {**asdict(c), "regressed": c.regressed, "verdict": verdict_line(c)}
    json.dump(_jsonable(data), out, indent=2, allow_nan=False, ensure_ascii=False)
    out.write("\n")


CSV_FIELDS = ["section", "name", "run", "base", "base_low", "base_high", "candidate", "candidate_low",
              "candidate_high", "change", "change_low", "change_high", "p_value", "test", "base_n", "candidate_n",
              "flag"]


def write_csv(c: Comparison, out: TextIO) -> None:
    """One row per check, score, per-run figure and changed verdict (``section`` says which)."""
    w = csv.DictWriter(out, fieldnames=CSV_FIELDS, lineterminator="\n", restval="")
    w.writeheader()

    def ends(ci: tuple[float, float] | None) -> tuple[Any, Any]:
        return ("", "") if ci is None else ci

    for r in c.checks:
        (bl, bh), (cl, chh) = ends(r.base_interval), ends(r.candidate_interval)
        w.writerow(dict(section="check", name=r.name, base=r.base_rate, base_low=bl, base_high=bh,
                        candidate=r.candidate_rate, candidate_low=cl, candidate_high=chh, change=r.change,
                        p_value=r.p_value, test=r.test, base_n=r.base_total, candidate_n=r.candidate_total,
                        flag="regressed" if r.regressed else ""))
    for section, rows in (("score", c.scores), ("per_run", c.per_run)):
        for m in rows:
            (bl, bh), (cl, chh), (dl, dh) = ends(m.base_interval), ends(m.candidate_interval), ends(m.change_interval)
            w.writerow(dict(section=section, name=m.name, base=m.base_mean, base_low=bl, base_high=bh,
                            candidate=m.candidate_mean, candidate_low=cl, candidate_high=chh, change=m.change,
                            change_low=dl, change_high=dh, base_n=m.base_n, candidate_n=m.candidate_n))
    for ch in c.changed:
        w.writerow(dict(section="changed", name=ch.check, run=ch.key, base=ch.base, candidate=ch.candidate))
    if c.budget is not None:
        w.writerow(dict(section="budget", name="cost (USD)", test=c.budget,
                        flag="exceeded" if c.budget_exceeded else ""))
