"""``orrinth report``: one run drawn as a single self-contained HTML page.

The page holds everything it shows (inline CSS and SVG, no script, no fonts or images from
elsewhere), so it opens from a file or a CI artifact store without a network:

* a timeline with one lane per agent: each message an arrow from its sender's lane to its
  recipient's (``data["to"]``), state changes as squares and faults as red triangles on the
  lane of their agent, turns marked along the top, run-level checks at the end;
* tokens and cost per agent, as a table and as bars;
* the cost accumulating over the turns;
* the transcript, every message in full, and the property checks.
"""

from __future__ import annotations

from html import escape
from itertools import accumulate
from pathlib import Path

from orrinth.cli.show import describe
from orrinth.trace import Trace, TraceEvent

__all__ = ["render"]

PALETTE = ["#2f6fb0", "#d9822b", "#3a9b5c", "#8e5bb5", "#c24d6b", "#4b9aa8", "#8a7a2e", "#5d6b7a"]
LANE_H = 54
LEFT = 120
TOP = 44

CSS = """
body { font: 14px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; color: #1d2430;
       margin: 0; background: #f6f7f9; }
main { max-width: 1180px; margin: 0 auto; padding: 24px 28px 48px; }
h1 { font-size: 22px; margin: 0 0 4px; } h2 { font-size: 17px; margin: 30px 0 10px; }
.sub { color: #5b6573; margin: 0 0 18px; word-break: break-all; }
.cards { display: flex; flex-wrap: wrap; gap: 10px; }
.card { background: #fff; border: 1px solid #dde1e7; border-radius: 8px; padding: 8px 14px; min-width: 110px; }
.card b { display: block; font-size: 19px; } .card span { color: #5b6573; font-size: 12px; }
.panel { background: #fff; border: 1px solid #dde1e7; border-radius: 8px; padding: 12px; overflow-x: auto; }
table { border-collapse: collapse; width: 100%; background: #fff; }
th, td { text-align: left; padding: 5px 8px; border-bottom: 1px solid #e8ebef; vertical-align: top; }
th { background: #eef1f5; font-weight: 600; } td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; }
tr.state td { color: #5b6573; font-size: 13px; } tr.fault td { color: #b3261e; }
.who { font-weight: 600; } .pass { color: #1e7d3b; font-weight: 600; } .fail { color: #b3261e; font-weight: 600; }
.legend span { margin-right: 16px; color: #5b6573; font-size: 13px; }
svg text { font: 12px system-ui, sans-serif; fill: #1d2430; }
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


def _timeline(events: list[TraceEvent]) -> str:
    lanes = _lanes(events)
    colour = {name: PALETTE[i % len(PALETTE)] for i, name in enumerate(lanes)}
    drawn = [e for e in events if e.type != "property_check"]
    checks = [e for e in events if e.type == "property_check"]
    step = max(14, min(46, 1000 // max(1, len(drawn))))
    width = LEFT + step * len(drawn) + 16 + (max(60, 22 * len(checks)) + 16 if checks else 0)
    lane_y = {name: TOP + LANE_H * i + LANE_H // 2 for i, name in enumerate(lanes)}
    height = TOP + LANE_H * max(1, len(lanes)) + 16
    out = [f'<svg width="{width}" height="{height}" role="img" '
           f'aria-label="timeline">',
           "<defs>" + "".join(f'<marker id="arrow{i}" viewBox="0 0 10 10" refX="9" refY="5" markerWidth="7" '
                              f'markerHeight="7" orient="auto-start-reverse"><path d="M0,0 L10,5 L0,10 z" '
                              f'fill="{c}"/></marker>' for i, c in enumerate(PALETTE)) + "</defs>"]
    for i, name in enumerate(lanes):
        band = TOP + LANE_H * i
        out.append(f'<rect x="0" y="{band}" width="{width}" height="{LANE_H}" fill="{"#fbfcfd" if i % 2 else "#f1f4f8"}"/>')
        out.append(f'<text x="10" y="{lane_y[name] + 4}" class="who" fill="{colour[name]}" '
                   f'style="font-weight:600;fill:{colour[name]}">{escape(name)}</text>')
    # Turn bands: a faint line where each turn begins, numbered where there is room.
    out.append(f'<text x="10" y="{TOP - 18}" style="fill:#5b6573">turn</text>')
    previous: int | None = None
    labelled = -1000
    for i, event in enumerate(drawn):
        x = LEFT + step * i
        if event.turn != previous:
            out.append(f'<line x1="{x}" y1="{TOP - 14}" x2="{x}" y2="{height - 16}" '
                       'stroke="#c9d0d9" stroke-dasharray="2,3"/>')
            if x - labelled >= 8 * len(str(event.turn)) + 8:
                out.append(f'<text x="{x + 3}" y="{TOP - 18}">{event.turn}</text>')
                labelled = x
            previous = event.turn
    for i, event in enumerate(drawn):
        x = LEFT + step * i + step // 2
        tip = f"<title>{escape(describe(event))}</title>"
        y = lane_y.get(event.agent or "")
        if event.type == "message":
            to = event.data.get("to")
            y_to = lane_y.get(to) if isinstance(to, str) else None
            c = colour.get(event.agent or "", PALETTE[-1])
            if y is None:
                y = TOP - 6
            if y_to is not None and y_to != y:
                end = y_to - 6 if y_to > y else y_to + 6
                out.append(f'<g class="msg"><line x1="{x}" y1="{y}" x2="{x}" y2="{end}" stroke="{c}" '
                           f'stroke-width="2" marker-end="url(#arrow{PALETTE.index(c)})"/>{tip}'
                           f'<circle cx="{x}" cy="{y}" r="4" fill="{c}"/></g>')
            else:
                out.append(f'<g class="msg"><circle cx="{x}" cy="{y}" r="5" fill="{c}">{tip}</circle></g>')
        elif y is not None or event.type == "fault_injected":
            y = y if y is not None else TOP - 6
            if event.type == "state_change":
                out.append(f'<rect class="state" x="{x - 5}" y="{y - 5}" width="10" height="10" fill="#fff" '
                           f'stroke="{colour.get(event.agent or "", "#5d6b7a")}" stroke-width="2">{tip}</rect>')
            else:
                out.append(f'<path class="fault" d="M{x},{y - 8} L{x + 8},{y + 6} L{x - 8},{y + 6} z" '
                           f'fill="#d93025">{tip}</path>')
    if checks:
        x0 = LEFT + step * len(drawn) + 24
        out.append(f'<text x="{x0}" y="{TOP - 18}">checks</text>')
        for i, event in enumerate(checks):
            ok = event.data.get("passed") is True
            out.append(f'<text x="{x0 + 22 * i}" y="{TOP + 12}" style="font-size:16px;font-weight:700;'
                       f'fill:{"#1e7d3b" if ok else "#b3261e"}">{"✓" if ok else "✗"}'
                       f"<title>{escape(describe(event))}</title></text>")
    out.append("</svg>")
    return "".join(out)


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


def _transcript(events: list[TraceEvent]) -> str:
    rows = ['<tr><th class="n">turn</th><th>from</th><th>to</th><th>message</th><th class="n">in tok</th>'
            '<th class="n">out tok</th><th class="n">cost (USD)</th></tr>']
    for event in events:
        if event.type == "message":
            rows.append(f'<tr class="message"><td class="n">{event.turn}</td><td class="who">{escape(event.agent or "")}'
                        f'</td><td>{escape(str(event.data.get("to", "")))}</td>'
                        f'<td class="content">{escape(str(event.data.get("content", "")))}</td>'
                        f'<td class="n">{event.input_tokens:,}</td><td class="n">{event.output_tokens:,}</td>'
                        f'<td class="n">{event.cost_usd:.6f}</td></tr>')
        elif event.type in ("state_change", "fault_injected"):
            kind = "state" if event.type == "state_change" else "fault"
            rows.append(f'<tr class="{kind}"><td class="n">{event.turn}</td><td>{escape(event.agent or "")}</td>'
                        f'<td>{"state" if kind == "state" else "fault"}</td>'
                        f'<td colspan="4">{escape(describe(event).split(": ", 1)[-1])}</td></tr>')
    return "<table>" + "".join(rows) + "</table>"


def render(trace: Trace, title: str) -> str:
    """The whole page for one run."""
    events = trace.events
    summary = trace.cost_summary()
    checks = [e for e in events if e.type == "property_check"]
    failed = sum(1 for e in checks if e.data.get("passed") is not True)
    turns = [e.turn for e in events if e.type != "property_check"]
    cards = [
        (f"{len(events):,}", "events"),
        (f"{len(trace.get_messages()):,}", "messages"),
        (str(max(turns)) if turns else "-", "last turn"),
        (f"{summary.total_input_tokens + summary.total_output_tokens:,}", "tokens"),
        (f"${summary.total_cost_usd:.4f}", "cost"),
        (str(sum(1 for e in events if e.type == "fault_injected")), "faults"),
        (f"{len(checks) - failed}/{len(checks)}", "checks passed"),
    ]
    agent_rows = "".join(
        f'<tr><td class="who">{escape(name)}</td><td class="n">{f["turns"]}</td><td class="n">{f["input_tokens"]:,}</td>'
        f'<td class="n">{f["output_tokens"]:,}</td><td class="n">{f["cost_usd"]:.6f}</td></tr>'
        for name, f in summary.per_agent.items()
    )
    check_rows = "".join(
        f'<tr><td class="{"pass" if e.data.get("passed") is True else "fail"}">'
        f'{"PASS" if e.data.get("passed") is True else "FAIL"}</td><td>{escape(str(e.data.get("property", "")))}</td>'
        f'<td>{escape(str(e.data.get("detail", "")))}</td></tr>'
        for e in checks
    )
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><meta name="viewport" content="width=device-width, initial-scale=1">
<title>orrinth run: {escape(title)}</title><style>{CSS}</style></head>
<body><main>
<h1>orrinth run report</h1><p class="sub">{escape(title)}</p>
<div class="cards">{"".join(f'<div class="card"><b>{v}</b><span>{k}</span></div>' for v, k in cards)}</div>
<h2>Timeline</h2>
<p class="legend"><span>● → message, sender to recipient</span><span>□ state change</span>
<span style="color:#d93025">▲ fault</span><span>✓ ✗ property checks</span></p>
<div class="panel" id="timeline">{_timeline(events)}</div>
<h2>Tokens and cost per agent</h2>
<div class="panel"><table id="agents"><tr><th>agent</th><th class="n">messages</th><th class="n">input tokens</th>
<th class="n">output tokens</th><th class="n">cost (USD)</th></tr>{agent_rows}
<tr><th>total</th><th class="n">{len(trace.get_messages())}</th><th class="n">{summary.total_input_tokens:,}</th>
<th class="n">{summary.total_output_tokens:,}</th><th class="n">{summary.total_cost_usd:.6f}</th></tr></table>
{_cost_bars(trace)}</div>
<h2>Cost over the turns</h2>
<div class="panel" id="cumulative">{_cumulative_cost(events)}</div>
<h2>Transcript</h2>
<div class="panel" id="transcript">{_transcript(events)}</div>
<h2>Property checks</h2>
<div class="panel"><table id="checks">{check_rows or "<tr><td>No property checks recorded.</td></tr>"}</table></div>
</main></body></html>
"""


def write_report(trace: Trace, title: str, output: Path) -> None:
    output.parent.mkdir(parents=True, exist_ok=True)
    # A lone surrogate (legal in a JSON string, not in UTF-8) is written as its escape.
    output.write_text(render(trace, title), encoding="utf-8", errors="backslashreplace")
