"""OpenTelemetry export: the OTLP/JSON file read back through opentelemetry-proto's own
message classes and checked against the traces it came from (a property test on generated
runs: sums per agent and overall equal cost_summary()'s, every fault, state change and
check accounted for, children inside their parents), the time rule, and the errors."""

from __future__ import annotations

import base64
import json
import os
import socket
import subprocess
import sys
from collections import Counter, defaultdict
from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("opentelemetry.sdk.trace", reason="the OpenTelemetry SDK (the otel extra) is not installed")
pytest.importorskip("opentelemetry.proto.collector.trace.v1.trace_service_pb2",
                    reason="opentelemetry-proto (the test extra) is not installed")

from google.protobuf import json_format  # noqa: E402
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceRequest  # noqa: E402

from orrinth import otel  # noqa: E402
from orrinth.trace import Trace, TraceEvent  # noqa: E402
from support import child_env  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent


def parse_request(text: str) -> ExportTraceServiceRequest:
    """The file as the protocol's message, refusing any unknown field. OTLP/JSON differs from
    protobuf's JSON mapping only in writing trace and span ids as hex instead of base64."""
    def ids_to_base64(node: Any) -> Any:
        if isinstance(node, list):
            return [ids_to_base64(n) for n in node]
        if isinstance(node, dict):
            return {k: base64.b64encode(bytes.fromhex(v)).decode() if k in ("traceId", "spanId", "parentSpanId")
                    else ids_to_base64(v) for k, v in node.items()}
        return node

    assert text.endswith("}\n") and text.count("\n") == 1, "one request on one line"
    return json_format.ParseDict(ids_to_base64(json.loads(text)), ExportTraceServiceRequest())


def value(any_value: Any) -> Any:
    kind = any_value.WhichOneof("value")
    if kind == "array_value":
        return [value(v) for v in any_value.array_value.values]
    return getattr(any_value, kind)


def attributes(kvs: Any) -> dict[str, Any]:
    return {kv.key: value(kv.value) for kv in kvs}


def spans_of(request: ExportTraceServiceRequest) -> list[dict[str, Any]]:
    out = []
    for rs in request.resource_spans:
        assert attributes(rs.resource.attributes)["service.name"] == "orrinth"
        for ss in rs.scope_spans:
            assert ss.schema_url.endswith(otel.SEMCONV_VERSION)
            for s in ss.spans:
                assert len(s.trace_id) == 16 and len(s.span_id) == 8
                out.append({"trace": s.trace_id, "id": s.span_id, "parent": s.parent_span_id or None, "name": s.name,
                            "start": s.start_time_unix_nano, "end": s.end_time_unix_nano, "attrs": attributes(s.attributes),
                            "status": s.status.code, "events": [(e.name, e.time_unix_nano, attributes(e.attributes))
                                                               for e in s.events]})
    return out


def export_file(paths: list[Path], out: Path, **kw: Any) -> list[dict[str, Any]]:
    count = otel.export_otlp(paths, out, **kw)
    spans = spans_of(parse_request(out.read_text(encoding="utf-8")))
    assert count == len(spans)
    return spans


def check_export(spans: list[dict[str, Any]], traces: dict[str, Trace], include_content: bool = False) -> None:
    """One trace per run, each as check_run() expects it."""
    by_trace: dict[Any, list[dict[str, Any]]] = defaultdict(list)
    for s in spans:
        by_trace[s["trace"]].append(s)
    assert len(by_trace) == len(traces)
    for group in by_trace.values():
        (root,) = [s for s in group if s["parent"] is None]
        conversation = root["attrs"]["gen_ai.conversation.id"]
        check_run(traces.pop(conversation), group, include_content)


def check_run(trace: Trace, spans: list[dict[str, Any]], include_content: bool = False) -> None:
    """Everything the mapping promises for one run, from its spans alone."""
    by_id = {s["id"]: s for s in spans}
    (root,) = [s for s in spans if s["parent"] is None]
    agents = {s["id"]: s for s in spans if s["parent"] == root["id"]}
    assert all(s["attrs"]["gen_ai.operation.name"] == "invoke_agent" for s in agents.values())
    chats = [s for s in spans if s["parent"] in agents]
    assert len(agents) + len(chats) + 1 == len(spans)

    # Every span inside its parent, and never ending before it starts.
    for s in spans:
        assert s["start"] <= s["end"]
        if s["parent"] is not None:
            parent = by_id[s["parent"]]
            assert parent["start"] <= s["start"] and s["end"] <= parent["end"]

    # One invoke_agent span per (turn, agent), one chat span per message, tokens and cost
    # per agent and overall as cost_summary() books them.
    events = trace.events
    expected_groups = {(e.turn, e.agent or None) for e in events
                       if e.type == "message" or (e.type != "property_check" and e.agent)}
    assert sorted(((s["attrs"]["orrinth.turn"], s["attrs"].get("gen_ai.agent.name")) for s in agents.values()),
                  key=repr) == sorted(expected_groups, key=repr)
    summary = trace.cost_summary()
    sums: dict[str, dict[str, Any]] = defaultdict(lambda: {"input_tokens": 0, "output_tokens": 0, "cost_usd": 0.0,
                                                           "turns": 0})
    for chat in sorted(chats, key=lambda s: s["attrs"]["orrinth.event.index"]):
        a = chat["attrs"]
        assert a["gen_ai.operation.name"] == "chat" and a["openinference.span.kind"] == "LLM"
        assert (a["llm.token_count.prompt"], a["llm.token_count.completion"], a["llm.cost.total"]) == (
            a["gen_ai.usage.input_tokens"], a["gen_ai.usage.output_tokens"], a["gen_ai.usage.cost.amount"])
        content = events[a["orrinth.event.index"]].data.get("content")
        assert a.get("output.value") == (content if include_content else None)
        row = sums[agents[chat["parent"]]["attrs"].get("gen_ai.agent.name") or "__unknown__"]
        row["input_tokens"] += a["gen_ai.usage.input_tokens"]
        row["output_tokens"] += a["gen_ai.usage.output_tokens"]
        row["cost_usd"] += a["gen_ai.usage.cost.amount"]
        row["turns"] += 1
    assert {k: pytest.approx(v, rel=1e-12, abs=1e-15) for k, v in summary.per_agent.items()} == dict(sums)
    assert sum(r["input_tokens"] for r in sums.values()) == summary.total_input_tokens
    assert sum(r["output_tokens"] for r in sums.values()) == summary.total_output_tokens
    assert sum(r["cost_usd"] for r in sums.values()) == pytest.approx(summary.total_cost_usd, rel=1e-12, abs=1e-15)

    # Faults and state changes as events on their agent's span (the run's without an agent);
    # a fault marks its span as failed.
    seen: Counter[tuple[str, int, str | None]] = Counter()
    for s in [root, *agents.values()]:
        names = [name for name, _, _ in s["events"]]
        if "orrinth.fault_injected" in names:
            assert s["status"] == 2 and s["attrs"]["error.type"]
        for name, _, a in s["events"]:
            if name.startswith("orrinth."):
                seen[(name.removeprefix("orrinth."), a["orrinth.turn"], a.get("orrinth.agent"))] += 1
    assert seen == Counter((e.type, e.turn, e.agent or None) for e in events
                           if e.type in ("state_change", "fault_injected"))

    checks = [e for e in events if e.type == "property_check"]
    results = [a for name, _, a in root["events"] if name == "gen_ai.evaluation.result"]
    assert [(r["gen_ai.evaluation.name"], r.get("gen_ai.evaluation.score.label")) for r in results] == [
        (e.data.get("property") or "property_check",
         {True: "pass", False: "fail"}.get(e.data["passed"]) if isinstance(e.data.get("passed"), bool) else None)
        for e in checks]


AGENTS = st.sampled_from(["planner", "coder", "tool", None, ""])
EVENT = st.one_of(
    st.builds(lambda turn, agent, tin, tout, cost, marker: TraceEvent(
        type="message", turn=turn, agent=agent, data={"to": "coder", "content": f"secret-{marker}"},
        input_tokens=tin, output_tokens=tout, cost_usd=cost),
        st.integers(0, 6), AGENTS, st.integers(0, 10**6), st.integers(0, 10**5),
        st.floats(0, 5, allow_nan=False), st.integers(0, 10**6)),
    st.builds(lambda turn, agent: TraceEvent(type="state_change", turn=turn, agent=agent,
                                             data={"changes": {"stage": {"from": 1, "to": 2}}}),
              st.integers(0, 6), AGENTS),
    st.builds(lambda turn, agent: TraceEvent(type="fault_injected", turn=turn, agent=agent,
                                             data={"fault": "timeout", "dropped": "secret-dropped"}),
              st.integers(0, 6), AGENTS),
    st.builds(lambda passed: TraceEvent(type="property_check", turn=-1,
                                        data={"property": "goal", "passed": passed, "detail": "checked"}),
              st.one_of(st.booleans(), st.none())),
)
# Never stamped, seconds since the start, or Unix time; in order or not.
STAMPS = st.sampled_from(["none", "relative", "unix"])


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(runs=st.lists(st.tuples(st.lists(EVENT, max_size=25), STAMPS, st.randoms()), min_size=1, max_size=3),
       include_content=st.booleans())
def test_generated_runs_read_back_through_the_protocol(tmp_path: Path, runs: list[Any], include_content: bool) -> None:
    folder = tmp_path / f"runs-{os.urandom(4).hex()}"
    traces: dict[str, Trace] = {}
    for n, (events, stamps, rng) in enumerate(runs):
        trace = Trace()
        for i, event in enumerate(events):
            if stamps != "none":
                event.timestamp = (1.8e9 if stamps == "unix" else 0.0) + i * rng.choice([0.5, 1.0, -0.25])
            trace.add_event(event)
        trace.to_jsonl(folder / f"run-{n}.jsonl")
        traces[(folder / f"run-{n}.jsonl").as_posix()] = trace
    leaks = include_content and any(e.type in ("message", "fault_injected") for t in traces.values()
                                       for e in t.events)
    check_export(export_file([folder], folder / "otlp.json", include_content=include_content), dict(traces),
                 include_content)
    assert ("secret-" in (folder / "otlp.json").read_text(encoding="utf-8")) == leaks


def test_times_follow_the_stated_rule(tmp_path: Path) -> None:
    """Unix stamps as they are; stamps before 2001 from the file's time; unstamped events
    1 ms after the one before; a span lasts until the next event, never backwards."""
    rows = [(0.0, 0), (0.0, 1_000_000), (2.5, 2_500_000_000), (1.0, 1_000_000_000), (0.0, 1_001_000_000)]
    trace = Trace()
    for stamp, _ in rows:
        trace.add_event(TraceEvent(type="message", turn=1, agent="a", timestamp=stamp))
    path = tmp_path / "run.jsonl"
    trace.to_jsonl(path)
    os.utime(path, (1_800_000_000, 1_800_000_000))
    spans = export_file([path], tmp_path / "out.json")
    chats = sorted((s for s in spans if s["name"] == "chat"), key=lambda s: s["attrs"]["orrinth.event.index"])
    base = 1_800_000_000 * 10**9
    assert [s["start"] - base for s in chats] == [offset for _, offset in rows]
    assert [s["end"] - base for s in chats] == [1_000_000, 2_500_000_000, 2_500_000_000, 1_001_000_000, 1_001_000_000]

    unix = Trace()
    unix.add_event(TraceEvent(type="message", turn=1, agent="a", timestamp=1796710519.491))
    unix.to_jsonl(path)
    (chat,) = [s for s in export_file([path], tmp_path / "out.json") if s["name"] == "chat"]
    assert chat["start"] == 1796710519_491_000_000


def test_nothing_is_capped(tmp_path: Path) -> None:
    """The SDK's default limits (128 events, 128 attributes) would drop checks silently."""
    trace = Trace()
    for i in range(300):
        trace.add_event(TraceEvent(type="property_check", turn=-1, data={"property": f"p{i}", "passed": True}))
    trace.to_jsonl(tmp_path / "run.jsonl")
    check_export(export_file([tmp_path / "run.jsonl"], tmp_path / "out.json"), {(tmp_path / "run.jsonl").as_posix(): trace})


def cli(*args: object) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "orrinth", *map(str, args)], env=child_env(), capture_output=True,
                          text=True, timeout=120)


def closed_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


@pytest.mark.parametrize("case", ["bad line", "refused", "both", "neither", "scheme", "timeout"])
def test_failures_exit_2_and_leave_nothing(tmp_path: Path, case: str) -> None:
    good = tmp_path / "good.jsonl"
    Trace().to_jsonl(good)
    bad = tmp_path / "bad.jsonl"
    bad.write_text('{"type":"message","turn":1}\n{"type":\n', encoding="utf-8")
    out = tmp_path / "out.json"
    args: dict[str, list[object]] = {
        "bad line": [good, bad, "-o", out],
        "refused": [good, "--endpoint", f"http://127.0.0.1:{closed_port()}", "--timeout", "2"],
        "both": [good, "-o", out, "--endpoint", "http://127.0.0.1:1"],
        "neither": [good],
        "scheme": [good, "--endpoint", "127.0.0.1:4318"],
        "timeout": [good, "--endpoint", "http://127.0.0.1:1", "--timeout", "0"],
    }
    result = cli("export", "otlp", *args[case])
    assert result.returncode == 2, result.stderr
    assert result.stderr.startswith("orrinth export otlp: error:") or "usage:" in result.stderr
    assert {"bad line": "bad.jsonl, line 2", "refused": "were not accepted (0 of 1 had been sent): "}.get(case, "") in result.stderr
    assert set(tmp_path.iterdir()) == {good, bad}


def test_api_refuses_two_destinations(tmp_path: Path) -> None:
    with pytest.raises(TypeError, match="exactly one of output and endpoint"):
        otel.export_otlp([tmp_path], tmp_path / "o.json", endpoint="http://127.0.0.1:1")
    assert otel.traces_url("http://127.0.0.1:6006") == "http://127.0.0.1:6006/v1/traces"
    assert otel.traces_url("http://h:1/custom/path") == "http://h:1/custom/path"


def test_sidecar_names_the_run_and_anchors_it(tmp_path: Path) -> None:
    from orrinth.runmeta import RunError, RunMetadata, write_metadata

    path = tmp_path / "run-007.jsonl"
    trace = Trace()
    trace.add_event(TraceEvent(type="message", turn=1, agent="support", input_tokens=3))
    trace.add_event(TraceEvent(type="message", turn=1, agent="support", data={"model": "other-model"}))
    trace.to_jsonl(path)
    write_metadata(path, RunMetadata(run_id="nightly-7", status="failed", started_at=1_800_000_000.25,
                                     ended_at=1_800_000_009.0, error=RunError(type="TimeoutError", message="slow"),
                                     metadata={"model": "m-1", "provider": "acme", "seed": 7}))
    spans = export_file([path], tmp_path / "out.json")
    (root,) = [s for s in spans if s["parent"] is None]
    assert (root["attrs"]["gen_ai.conversation.id"], root["attrs"]["orrinth.metadata.seed"]) == ("nightly-7", 7)
    assert (root["status"], root["attrs"]["error.type"]) == (2, "TimeoutError")
    assert (root["start"], root["end"]) == (1_800_000_000_250_000_000, 1_800_000_009 * 10**9)
    chats = sorted((s for s in spans if s["name"].startswith("chat")), key=lambda s: s["attrs"]["orrinth.event.index"])
    assert [(c["name"], c["attrs"]["gen_ai.request.model"], c["attrs"]["gen_ai.provider.name"], c["start"])
            for c in chats] == [("chat m-1", "m-1", "acme", 1_800_000_000_250_000_000),
                                ("chat other-model", "other-model", "acme", 1_800_000_000_251_000_000)]
    check_export(spans, {"nightly-7": trace})

    path.with_name("run-007.run.json").write_text("{", encoding="utf-8")
    result = cli("export", "otlp", path, "-o", tmp_path / "again.json")
    assert result.returncode == 2 and "run-007.run.json: not valid run metadata" in result.stderr, result.stderr
    assert not (tmp_path / "again.json").exists()
