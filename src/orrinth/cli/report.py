"""``orrinth report``: one run drawn as a single self-contained HTML page.

The page holds everything it shows (inline CSS and SVG, no script, no fonts or images from
elsewhere, links only within the page), so it opens from a file or a CI artifact store
without a network. It stays usable for runs of thousands of turns:

* the verdicts first: the property checks with the failing and invalid ones at the top,
  and the run's status when its metadata file says it did not complete;
* links to every section, and filters by agent and by kind of event (checkboxes styled by
  CSS, so the page needs no script);
* the timeline: an overview of the whole run that always fits the window (a click on it
  opens that turn in the transcript) above the detailed drawing, which scrolls sideways
  with the lane names kept in view. One lane per agent: each message an arrow from its
  sender's lane to its recipient's (``data["to"]``), state changes as squares and faults as
  red triangles on the lane of their agent, turns marked along the top;
* tokens and cost per agent, as a table and as bars, and the cost accumulating over the
  turns;
* the transcript, every message in full, in a box of its own that scrolls.

Everything taken from the trace or its metadata is escaped; attribute values and class
names come from numbers and fixed words, never from the trace's text.
"""

from __future__ import annotations

import json
from html import escape
from itertools import accumulate
from pathlib import Path

from orrinth.checks import Check, count_checks, read_checks
from orrinth.cli.show import describe
from orrinth.runmeta import RunMetadata
from orrinth.trace import Trace, TraceEvent

__all__ = ["render", "write_report"]

PALETTE = ["#2f6fb0", "#d9822b", "#3a9b5c", "#8e5bb5", "#c24d6b", "#4b9aa8", "#8a7a2e", "#5d6b7a"]
LANE_H = 54
LEFT = 120
TOP = 44
OVERVIEW_LANE = 12
# The inner width of a panel at the page's widest: a timeline wider than this gets an overview.
PANEL_W = 1150
# The kinds of event a reader can hide, with the labels of their filters.
KINDS = {"message": "messages", "state_change": "state changes", "fault_injected": "faults"}
# The band across the top of the verdicts when a check failed or the run did not complete:
# a colour used nowhere else on the page.
FAIL_BAND = "#b3261e"
PASS_BAND = "#1e7d3b"

CSS = """
body { font: 14px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; color: #1d2430;
       margin: 0; background: #f6f7f9; }
main { max-width: 1180px; margin: 0 auto; padding: 24px 28px 48px; position: relative; }
h1 { font-size: 22px; margin: 0 0 4px; } h2 { font-size: 17px; margin: 26px 0 10px; }
.sub { color: #5b6573; margin: 0 0 12px; word-break: break-all; }
.meta { color: #5b6573; margin: 0 0 12px; font-size: 13px; word-break: break-word; }
.meta b { color: #1d2430; font-weight: 600; }
.cards { display: flex; flex-wrap: wrap; gap: 10px; margin-top: 12px; }
.card { background: #fff; border: 1px solid #dde1e7; border-radius: 8px; padding: 8px 14px; min-width: 110px; }
.card b { display: block; font-size: 19px; } .card span { color: #5b6573; font-size: 12px; }
.panel { background: #fff; border: 1px solid #dde1e7; border-radius: 8px; padding: 12px; overflow-x: auto; }
nav.toc { margin: 14px 0 0; font-size: 13px; } nav.toc a { margin-right: 14px; color: #2f6fb0; }
.band { color: #fff; font-weight: 600; padding: 8px 12px; border-radius: 6px; margin: 0 0 10px; }
.band.bad { background: #b3261e; } .band.good { background: #1e7d3b; } .band.none { background: #5d6b7a; }
table { border-collapse: collapse; width: 100%; background: #fff; }
th, td { text-align: left; padding: 5px 8px; border-bottom: 1px solid #e8ebef; vertical-align: top; }
th { background: #eef1f5; font-weight: 600; } td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; }
td { overflow-wrap: anywhere; }
tr.state td { color: #5b6573; font-size: 13px; } tr.fault td { color: #b3261e; }
tr.v-fail td, tr.v-invalid td { background: #fdf0ef; }
.who { font-weight: 600; } .pass { color: #1e7d3b; font-weight: 600; } .fail { color: #b3261e; font-weight: 600; }
.invalid { color: #8a4b00; font-weight: 600; }
.legend span { margin-right: 16px; color: #5b6573; font-size: 13px; }
svg text { font: 12px system-ui, sans-serif; fill: #1d2430; }
.filters { display: flex; flex-wrap: wrap; gap: 6px 8px; align-items: center; font-size: 13px;
           max-height: 96px; overflow-y: auto; }
.filters > span { color: #5b6573; margin-right: 4px; }
.filters label { border: 1px solid #c9d0d9; border-radius: 12px; padding: 1px 10px; cursor: pointer;
                 color: #9aa4b1; text-decoration: line-through; background: #fff; user-select: none; }
input.toggle { position: absolute; top: 0; left: 0; width: 1px; height: 1px; margin: 0; opacity: 0; }
.overview { display: flex; align-items: stretch; margin-bottom: 10px; }
.overview .names { flex: none; width: 110px; font-size: 11px; line-height: 12px; color: #5b6573; }
.overview .names div { height: 12px; overflow: hidden; white-space: nowrap; text-overflow: ellipsis; }
.overview svg { flex: 1; display: block; min-width: 0; }
.overview a rect { fill: transparent; } .overview a:hover rect { fill: rgba(47, 111, 176, .18); }
.scroller { overflow-x: auto; } .strip { display: flex; width: max-content; }
.strip svg.names { position: sticky; left: 0; flex: none; z-index: 1; }
.checks { max-height: 45vh; overflow: auto; } .checks th { position: sticky; top: 0; }
.transcript { max-height: 78vh; overflow: auto; padding: 0; }
.transcript th { position: sticky; top: 0; z-index: 1; }
.transcript tbody:target td { background: #fff6d6; }
"""


def _lanes(events: list[TraceEvent]) -> list[str]:
    """Agents in order of first appearance, as senders, recipients or owners of an event."""
    lanes: dict[str, None] = {}
    for event in events:
        if event.agent:
            lanes.setdefault(event.agent, None)
        to = event.data.get("to") if event.type == "message" else None
        if isinstance(to, str) and to:
            lanes.setdefault(to, None)
    return list(lanes)


class _Filters:
    """The checkboxes that hide events by agent and by kind, and the CSS that does it.

    An event carries ``data-a`` (the index of its agent, or ``n`` for none) and ``data-k``
    (its kind); each unticked box hides the marks and rows that carry its value. The boxes
    come first in the page so that the rules can reach every later section.
    """

    def __init__(self, lanes: list[str], events: list[TraceEvent]) -> None:
        self.index = {name: str(i) for i, name in enumerate(lanes)}
        owners = {e.agent or "" for e in events if e.type != "property_check"}
        self.agents = [(self.index[name], name) for name in lanes if name in owners]
        if "" in owners:
            self.agents.append(("n", "(no agent)"))
        present = {e.type for e in events}
        self.kinds = [(kind, label) for kind, label in KINDS.items() if kind in present]

    def attrs(self, event: TraceEvent) -> str:
        return f' data-a="{self.index.get(event.agent or "", "n")}" data-k="{event.type}"'

    def inputs(self) -> str:
        boxes = [f"fa{a}" for a, _ in self.agents] + [f"fk-{k}" for k, _ in self.kinds]
        return "".join(f'<input type="checkbox" class="toggle" id="{box}" checked>' for box in boxes)

    def css(self) -> str:
        rules: list[str] = []
        for box, attr in [(f"fa{a}", f'data-a="{a}"') for a, _ in self.agents] + [
                (f"fk-{k}", f'data-k="{k}"') for k, _ in self.kinds]:
            rules.append(f'#{box}:not(:checked) ~ * [{attr}] {{ display: none; }}'
                         f'#{box}:checked ~ * label[for="{box}"] {{ color: #1d2430; text-decoration: none; '
                         f'border-color: #6b7684; }}'
                         f'#{box}:focus-visible ~ * label[for="{box}"] {{ outline: 2px solid #2f6fb0; }}')
        return "\n".join(rules)

    def bar(self) -> str:
        agents = "".join(f'<label for="fa{a}">{escape(name)}</label>' for a, name in self.agents)
        kinds = "".join(f'<label for="fk-{k}">{label}</label>' for k, label in self.kinds)
        return (f'<div class="filters" id="filters"><span>show agents</span>{agents}'
                f'<span style="margin-left:12px">kinds</span>{kinds}</div>')


def _colours(lanes: list[str]) -> dict[str, str]:
    return {name: PALETTE[i % len(PALETTE)] for i, name in enumerate(lanes)}


def _overview(drawn: list[TraceEvent], lanes: list[str], filters: _Filters) -> str:
    """The whole run in the window's width: one slot per event, a tick on its agent's lane
    (faults across every lane), and one link per turn to that turn in the transcript."""
    if LEFT + _step(drawn) * len(drawn) + 16 <= PANEL_W:
        return ""  # the detailed timeline fits as it is
    colour = _colours(lanes)
    row = {name: i for i, name in enumerate(lanes)}
    height = OVERVIEW_LANE * max(1, len(lanes))
    out = [f'<svg viewBox="0 0 {len(drawn)} {height}" preserveAspectRatio="none" height="{height}" '
           f'role="img" aria-label="overview of the whole run">']
    for i, event in enumerate(drawn):
        if event.type == "fault_injected":
            out.append(f'<rect x="{i}" y="0" width="1" height="{height}" fill="#d93025"{filters.attrs(event)}/>')
        else:
            lane = row.get(event.agent or "")
            if lane is None:
                continue
            out.append(f'<rect x="{i}" y="{OVERVIEW_LANE * lane + 2}" width="1" height="{OVERVIEW_LANE - 4}" '
                       f'fill="{colour[event.agent or ""]}"{filters.attrs(event)}/>')
    start = 0
    for i in range(1, len(drawn) + 1):
        if i == len(drawn) or drawn[i].turn != drawn[start].turn:
            turn = drawn[start].turn
            out.append(f'<a href="#turn-{turn}"><rect x="{start}" y="0" width="{i - start}" height="{height}">'
                       f"<title>turn {turn}</title></rect></a>")
            start = i
    out.append("</svg>")
    names = "".join(f"<div>{escape(name)}</div>" for name in lanes)
    return f'<div class="overview"><div class="names">{names}</div>{"".join(out)}</div>'


def _step(drawn: list[TraceEvent]) -> int:
    """The detailed timeline's width per event."""
    return max(14, min(46, 1000 // max(1, len(drawn))))


def _timeline(drawn: list[TraceEvent], lanes: list[str], filters: _Filters) -> str:
    colour = _colours(lanes)
    step = _step(drawn)
    width = step * len(drawn) + 16
    lane_y = {name: TOP + LANE_H * i + LANE_H // 2 for i, name in enumerate(lanes)}
    height = TOP + LANE_H * max(1, len(lanes)) + 16

    def bands(w: int) -> str:
        return "".join(f'<rect x="0" y="{TOP + LANE_H * i}" width="{w}" height="{LANE_H}" '
                       f'fill="{"#fbfcfd" if i % 2 else "#f1f4f8"}"/>' for i in range(len(lanes)))

    names = [f'<svg class="names" width="{LEFT}" height="{height}" aria-hidden="true">'
             f'<rect x="0" y="0" width="{LEFT}" height="{height}" fill="#fff"/>{bands(LEFT)}'
             f'<text x="10" y="{TOP - 18}" style="fill:#5b6573">turn</text>']
    for name in lanes:
        names.append(f'<text x="10" y="{lane_y[name] + 4}" style="font-weight:600;fill:{colour[name]}">'
                     f"{escape(name)}</text>")
    names.append("</svg>")
    out = [f'<svg width="{width}" height="{height}" role="img" aria-label="timeline">',
           "<defs>" + "".join(f'<marker id="arrow{i}" viewBox="0 0 10 10" refX="9" refY="5" markerWidth="7" '
                              f'markerHeight="7" orient="auto-start-reverse"><path d="M0,0 L10,5 L0,10 z" '
                              f'fill="{c}"/></marker>' for i, c in enumerate(PALETTE)) + "</defs>", bands(width)]
    # Turn bands: a faint line where each turn begins, numbered where there is room.
    previous: int | None = None
    labelled = -1000
    for i, event in enumerate(drawn):
        x = step * i
        if event.turn != previous:
            out.append(f'<line x1="{x}" y1="{TOP - 14}" x2="{x}" y2="{height - 16}" '
                       'stroke="#c9d0d9" stroke-dasharray="2,3"/>')
            if x - labelled >= 8 * len(str(event.turn)) + 8:
                out.append(f'<text x="{x + 3}" y="{TOP - 18}">{event.turn}</text>')
                labelled = x
            previous = event.turn
    for i, event in enumerate(drawn):
        x = step * i + step // 2
        tip = f"<title>{escape(describe(event))}</title>"
        y = lane_y.get(event.agent or "")
        tag = filters.attrs(event)
        if event.type == "message":
            to = event.data.get("to")
            y_to = lane_y.get(to) if isinstance(to, str) else None
            c = colour.get(event.agent or "", PALETTE[-1])
            if y is None:
                y = TOP - 6
            if y_to is not None and y_to != y:
                end = y_to - 6 if y_to > y else y_to + 6
                out.append(f'<g class="msg"{tag}><line x1="{x}" y1="{y}" x2="{x}" y2="{end}" stroke="{c}" '
                           f'stroke-width="2" marker-end="url(#arrow{PALETTE.index(c)})"/>{tip}'
                           f'<circle cx="{x}" cy="{y}" r="4" fill="{c}"/></g>')
            else:
                out.append(f'<g class="msg"{tag}><circle cx="{x}" cy="{y}" r="5" fill="{c}">{tip}</circle></g>')
        elif y is not None or event.type == "fault_injected":
            y = y if y is not None else TOP - 6
            if event.type == "state_change":
                out.append(f'<rect class="state"{tag} x="{x - 5}" y="{y - 5}" width="10" height="10" fill="#fff" '
                           f'stroke="{colour.get(event.agent or "", "#5d6b7a")}" stroke-width="2">{tip}</rect>')
            else:
                out.append(f'<path class="fault"{tag} d="M{x},{y - 8} L{x + 8},{y + 6} L{x - 8},{y + 6} z" '
                           f'fill="#d93025">{tip}</path>')
    out.append("</svg>")
    return f'<div class="scroller"><div class="strip">{"".join(names)}{"".join(out)}</div></div>'


def _cost_bars(trace: Trace) -> str:
    per_agent = trace.cost_summary().per_agent
    top = max((f["cost_usd"] for f in per_agent.values()), default=0.0) or 1.0
    rows: list[str] = []
    for i, (name, figures) in enumerate(per_agent.items()):
        w = max(1.0, 420 * figures["cost_usd"] / top)
        y = 8 + 28 * i
        rows.append(f'<text x="0" y="{y + 14}">{escape(name)}</text>'
                    f'<rect x="120" y="{y}" width="{w:.1f}" height="18" rx="3" fill="{PALETTE[i % len(PALETTE)]}"/>'
                    f'<text x="{126 + w:.1f}" y="{y + 14}">${figures["cost_usd"]:.6f}</text>')
    return (f'<svg width="680" height="{16 + 28 * len(per_agent)}" role="img" '
            f'aria-label="cost per agent">{"".join(rows)}</svg>')


def _cumulative_cost(events: list[TraceEvent]) -> str:
    """A step line of the dollars spent by the end of each turn."""
    by_turn: dict[int, float] = {}
    for event in events:
        if event.type == "message":
            by_turn[event.turn] = by_turn.get(event.turn, 0.0) + event.cost_usd
    turns = sorted(by_turn)
    if not turns:
        return "<p>No messages: nothing was spent.</p>"
    totals = list(accumulate(by_turn[t] for t in turns))
    w, h, left, bottom = 760, 240, 70, 30
    span = max(1, turns[-1] - turns[0])
    top = totals[-1] or 1.0

    def xy(turn: int, total: float) -> tuple[float, float]:
        return left + (w - left - 20) * (turn - turns[0]) / span, 12 + (h - bottom - 12) * (1 - total / top)

    points: list[str] = []
    previous = 0.0
    for turn, total in zip(turns, totals):
        points.append("%.1f,%.1f" % xy(turn, previous))
        points.append("%.1f,%.1f" % xy(turn, total))
        previous = total
    x_last, y_last = xy(turns[-1], totals[-1])
    x0, y0 = xy(turns[0], 0.0)
    return (f'<svg width="{w}" height="{h}" role="img" aria-label="cumulative cost">'
            f'<line x1="{left}" y1="{y0}" x2="{w - 20}" y2="{y0}" stroke="#9aa4b1"/>'
            f'<line x1="{left}" y1="12" x2="{left}" y2="{y0}" stroke="#9aa4b1"/>'
            f'<text x="4" y="{y0}">$0</text><text x="4" y="{y_last + 4:.1f}">${totals[-1]:.4f}</text>'
            f'<text x="{x0}" y="{h - 8}">turn {turns[0]}</text>'
            f'<text x="{x_last - 40:.1f}" y="{h - 8}">turn {turns[-1]}</text>'
            f'<polyline fill="none" stroke="#2f6fb0" stroke-width="2.5" points="{" ".join(points)}"/>'
            + "".join(f'<circle cx="{xy(t, c)[0]:.1f}" cy="{xy(t, c)[1]:.1f}" r="3" fill="#2f6fb0">'
                      f"<title>after turn {t}: ${c:.6f}</title></circle>" for t, c in zip(turns, totals))
            + "</svg>")


def _transcript(drawn: list[TraceEvent], filters: _Filters) -> str:
    """Every message, state change and fault; the rows of each turn in a group that the
    overview's links open (``#turn-N``), so a link still lands when filters hide its rows."""
    out = ['<table><thead><tr><th class="n">turn</th><th>from</th><th>to</th><th>message</th>'
           '<th class="n">in tok</th><th class="n">out tok</th><th class="n">cost (USD)</th></tr></thead>']
    opened: set[int] = set()
    previous: int | None = None
    for event in drawn:
        if event.turn != previous:
            # A turn that comes back after others (out of order) joins no group twice.
            out.append("</tbody>" if previous is not None else "")
            out.append(f'<tbody id="turn-{event.turn}">' if event.turn not in opened else "<tbody>")
            opened.add(event.turn)
            previous = event.turn
        tag = filters.attrs(event)
        if event.type == "message":
            out.append(f'<tr class="message"{tag}><td class="n">{event.turn}</td>'
                       f'<td class="who">{escape(event.agent or "")}</td>'
                       f'<td>{escape(str(event.data.get("to", "")))}</td>'
                       f'<td class="content">{escape(str(event.data.get("content", "")))}</td>'
                       f'<td class="n">{event.input_tokens:,}</td><td class="n">{event.output_tokens:,}</td>'
                       f'<td class="n">{event.cost_usd:.6f}</td></tr>')
        else:
            kind = "state" if event.type == "state_change" else "fault"
            out.append(f'<tr class="{kind}"{tag}><td class="n">{event.turn}</td><td>{escape(event.agent or "")}</td>'
                       f'<td>{kind}</td><td colspan="4">{escape(describe(event).split(": ", 1)[-1])}</td></tr>')
    if previous is not None:
        out.append("</tbody>")
    return "".join(out) + "</table>"


_ORDER = {"fail": 0, "invalid": 1, "pass": 2}
_VERDICT = {"fail": ("FAIL", "fail"), "invalid": ("INVALID", "invalid"), "pass": ("PASS", "pass")}


def _verdicts(checks: list[Check], status: str | None, meta: RunMetadata | None) -> str:
    """The band that says at once whether the run is good, then every check, failures first."""
    counts = count_checks(checks)
    said: list[str] = []
    if counts.failed:
        said.append(f"{counts.failed} of {counts.total} checks failed")
    if counts.invalid:
        said.append(f"{counts.invalid} invalid (neither pass nor fail)")
    if status not in (None, "completed"):
        error = f": {meta.error.type}: {meta.error.message}" if meta is not None and meta.error is not None else ""
        said.append(f"run {status}{error}")
    if said:
        band = f'<p class="band bad" id="verdict">{escape("; ".join(said))}</p>'
    elif checks:
        band = f'<p class="band good" id="verdict">all {counts.total} checks passed</p>'
    else:
        band = '<p class="band none" id="verdict">no property checks recorded</p>'
    rows: list[str] = []
    for check in sorted(checks, key=lambda c: _ORDER[c.outcome]):
        word, css = _VERDICT[check.outcome]
        detail = check.detail if check.problem is None else f"{check.problem}" + (
            f" ({check.detail})" if check.detail else "")
        score = "" if check.score is None else f"{check.score:g}"
        rows.append(f'<tr class="v-{check.outcome}"><td class="{css}">{word}</td><td>{escape(check.label)}</td>'
                    f'<td class="n">{score}</td><td>{escape(detail)}</td></tr>')
    # Many checks scroll in a box of their own, so that the rest of the page stays near.
    table = ('<div class="checks"><table id="checks"><thead><tr><th>verdict</th><th>check</th><th class="n">score</th>'
             f'<th>detail</th></tr></thead>{"".join(rows)}</table></div>') if rows else ""
    return band + table


def _meta_line(meta: RunMetadata | None) -> str:
    if meta is None:
        return ""
    items: list[tuple[str, object]] = [("run id", meta.run_id)] if meta.run_id else []
    items += list(meta.metadata.items())
    items.append(("orrinth", meta.orrinth_version))
    shown = " · ".join(f"<b>{escape(str(key))}</b> "
                       f"{escape(value if isinstance(value, str) else json.dumps(value, ensure_ascii=False))}"
                       for key, value in items)
    return f'<p class="meta">{shown}</p>'


def render(trace: Trace, title: str, meta: RunMetadata | None = None, status: str | None = None) -> str:
    """The whole page for one run; ``meta`` and ``status`` from its metadata file, if any."""
    events = trace.events
    summary = trace.cost_summary()
    checks = read_checks(events)
    drawn = [e for e in events if e.type != "property_check"]
    lanes = _lanes(events)
    filters = _Filters(lanes, events)
    turns = [e.turn for e in drawn]
    overview = _overview(drawn, lanes, filters)
    cards = [
        (f"{len(events):,}", "events"),
        (f"{len(trace.get_messages()):,}", "messages"),
        (f"{max(turns):,}" if turns else "-", "last turn"),
        (f"{summary.total_input_tokens + summary.total_output_tokens:,}", "tokens"),
        (f"${summary.total_cost_usd:.4f}", "cost"),
        (str(sum(1 for e in events if e.type == "fault_injected")), "faults"),
        (f"{count_checks(checks).passed}/{len(checks)}", "checks passed"),
    ]
    if status is not None and (meta is not None or status != "completed"):  # a plain trace file says nothing
        cards.insert(0, (escape(status), "status"))
    agent_rows = "".join(
        f'<tr><td class="who">{escape(name)}</td><td class="n">{f["turns"]}</td><td class="n">{f["input_tokens"]:,}</td>'
        f'<td class="n">{f["output_tokens"]:,}</td><td class="n">{f["cost_usd"]:.6f}</td></tr>'
        for name, f in summary.per_agent.items()
    )
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><meta name="viewport" content="width=device-width, initial-scale=1">
<title>orrinth run: {escape(title)}</title><style>{CSS}{filters.css()}</style></head>
<body><main>{filters.inputs()}
<header><h1>orrinth run report</h1><p class="sub">{escape(title)}</p>{_meta_line(meta)}
<nav class="toc"><a href="#verdicts">Verdicts</a><a href="#timeline">Timeline</a><a href="#costs">Tokens and cost</a>
<a href="#cost-over-turns">Cost over the turns</a><a href="#transcript">Transcript</a></nav></header>
<section id="verdicts"><h2>Verdicts</h2>{_verdicts(checks, status, meta)}
<div class="cards">{"".join(f'<div class="card"><b>{v}</b><span>{k}</span></div>' for v, k in cards)}</div></section>
<section id="timeline"><h2>Timeline</h2>
{filters.bar()}
<p class="legend"><span>● → message, sender to recipient</span><span>□ state change</span>
<span style="color:#d93025">▲ fault</span>{'<span>the overview above the timeline spans the whole run: click a turn '
'to open it in the transcript</span>' if overview else ""}</p>
<div class="panel">{overview}{_timeline(drawn, lanes, filters)}</div></section>
<section id="costs"><h2>Tokens and cost per agent</h2>
<div class="panel"><table id="agents"><tr><th>agent</th><th class="n">messages</th><th class="n">input tokens</th>
<th class="n">output tokens</th><th class="n">cost (USD)</th></tr>{agent_rows}
<tr><th>total</th><th class="n">{len(trace.get_messages())}</th><th class="n">{summary.total_input_tokens:,}</th>
<th class="n">{summary.total_output_tokens:,}</th><th class="n">{summary.total_cost_usd:.6f}</th></tr></table>
{_cost_bars(trace)}</div></section>
<section id="cost-over-turns"><h2>Cost over the turns</h2>
<div class="panel" id="cumulative">{_cumulative_cost(events)}</div></section>
<section id="transcript"><h2>Transcript</h2>
<div class="panel transcript">{_transcript(drawn, filters)}</div></section>
</main></body></html>
"""


def write_report(trace: Trace, title: str, output: Path, meta: RunMetadata | None = None,
                 status: str | None = None) -> None:
    """Write the page to ``output``; text that UTF-8 cannot hold (a lone surrogate escape
    in a message) is written as its ``\\uXXXX`` escape rather than failing the report."""
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_text(render(trace, title, meta, status), encoding="utf-8", errors="backslashreplace")
