"""Recorded runs as OpenTelemetry traces, in the GenAI semantic conventions.

:func:`export_otlp` reads trace files (or folders of them) and either writes one OTLP/JSON
``ExportTraceServiceRequest`` to a file (the format of an OTLP file exporter and of the
collector's file receiver) or sends the same spans to an OTLP/HTTP endpoint. The spans are
made by the OpenTelemetry SDK and encoded by its OTLP exporters (the ``otel`` extra:
``pip install 'orrinth[otel]'``).

Attribute names follow OpenTelemetry semantic conventions 1.44.0 (the GenAI attributes as
``opentelemetry-semantic-conventions`` 0.66b2 ships them), with OpenInference's attributes
beside them so that OpenInference viewers show tokens and cost too. The README's
"Exporting to OpenTelemetry" section has the whole mapping as a table.
"""

from __future__ import annotations

import importlib
import json
import logging
import math
import os
import secrets
import urllib.parse
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

from orrinth import __version__
from orrinth.frames import trace_files
from orrinth.runmeta import read_metadata
from orrinth.trace import Trace, TraceEvent

if TYPE_CHECKING:
    from opentelemetry.sdk.trace import ReadableSpan
    from opentelemetry.trace import Span, Tracer

__all__ = ["RESOURCE", "SEMCONV_VERSION", "ExportError", "RunInput", "export_otlp", "load_run", "run_spans", "send", "traces_url",
           "write_json"]

#: The version of the OpenTelemetry semantic conventions whose names the spans use.
SEMCONV_VERSION = "1.44.0"
SCHEMA_URL = f"https://opentelemetry.io/schemas/{SEMCONV_VERSION}"

# Timestamps below this (2001-09-09) are read as seconds since the run's start, not as Unix
# time: a run stamped with time.monotonic() or a counter still lands at its real date.
_UNIX_TIME_FROM = 1e9
# Events that were never stamped (timestamp 0.0) are placed this far after the one before.
_UNSTAMPED_STEP_NS = 1_000_000
# Spans per OTLP/HTTP request (the SDK's batch processor sends this many at most).
_BATCH = 512


#: The resource every exported span carries (OpenInference viewers file it under the project).
RESOURCE = {"service.name": "orrinth", "service.version": __version__, "openinference.project.name": "orrinth"}


class ExportError(Exception):
    """The receiver did not accept the spans (or could not be reached)."""


@dataclass
class RunInput:
    """One run to export: its trace, the id it is known by, and what its sidecar says."""

    trace: Trace
    conversation_id: str
    #: Unix time in seconds that unstamped and relative timestamps count from.
    anchor: float
    started_at: float | None = None
    ended_at: float | None = None
    status: str | None = None
    error_type: str | None = None
    error_message: str | None = None
    metadata: dict[str, Any] = field(default_factory=dict[str, Any])
    source: str | None = None


def _require_sdk() -> None:
    try:
        importlib.import_module("opentelemetry.sdk.trace")
    except ModuleNotFoundError as exc:
        raise ModuleNotFoundError(
            "exporting to OpenTelemetry needs the OpenTelemetry SDK: pip install 'orrinth[otel]'", name=exc.name
        ) from exc


def load_run(path: Path, trace: Trace | None = None) -> RunInput:
    """A trace file as a run to export: the run id, start time and model from its sidecar
    where there is one, else the path as given and the file's modification time."""
    if trace is None:
        trace = Trace.from_jsonl(path)
    meta = read_metadata(path)
    run = RunInput(trace=trace, conversation_id=path.as_posix(), anchor=path.stat().st_mtime, source=path.as_posix())
    if meta is None:
        return run
    if meta.run_id:
        run.conversation_id = meta.run_id
    if meta.started_at is not None:
        run.anchor = run.started_at = meta.started_at
    run.ended_at = meta.ended_at
    run.status = meta.status
    if meta.error is not None:
        run.error_type, run.error_message = meta.error.type, meta.error.message
    run.metadata = dict(meta.metadata)
    return run


def _ns(seconds: float) -> int:
    # Through microseconds, which a float holds exactly at today's Unix times.
    return round(seconds * 1e6) * 1000


def _event_times(run: RunInput) -> list[int]:
    """Each event's time in Unix nanoseconds, by the rule the README states."""
    events = run.trace.events
    stamped = [e.timestamp for e in events if isinstance(e.timestamp, float) and math.isfinite(e.timestamp)
               and e.timestamp != 0.0]
    relative = bool(stamped) and min(stamped) < _UNIX_TIME_FROM
    anchor_ns = _ns(run.anchor)
    times: list[int] = []
    previous = anchor_ns
    for event in events:
        stamp = event.timestamp
        if not math.isfinite(stamp) or stamp == 0.0:
            previous = previous + (_UNSTAMPED_STEP_NS if times else 0)
        else:
            previous = anchor_ns + _ns(stamp) if relative else _ns(stamp)
        times.append(previous)
    return times


def _text(value: Any) -> str | None:
    return value if isinstance(value, str) and value else None


def _json(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, default=repr, sort_keys=False)


def _state_keys(data: dict[str, Any]) -> list[str]:
    changes: object = data.get("changes")
    if isinstance(changes, dict):
        return [str(k) for k in cast("dict[object, object]", changes)]
    return list(data)


class _SpanBuilder:
    """Makes the spans of one run with an SDK tracer; the tracer's processor collects them."""

    def __init__(self, tracer: Tracer, run: RunInput, include_content: bool) -> None:
        self.tracer = tracer
        self.run = run
        self.include_content = include_content
        self.model = _text(run.metadata.get("model"))
        self.provider = _text(run.metadata.get("provider"))

    def build(self) -> None:
        from opentelemetry import trace as trace_api
        from opentelemetry.trace import Status, StatusCode

        run = self.run
        events = run.trace.events
        times = _event_times(run)
        # A span lasts from its event's time to the next event's (never backwards).
        ends = [max(t, times[i + 1]) if i + 1 < len(times) else t for i, t in enumerate(times)]
        firsts = [*times, *([_ns(run.started_at)] if run.started_at is not None else [])]
        start: int = min(firsts) if firsts else _ns(run.anchor)
        end: int = max([start, *ends, *([_ns(run.ended_at)] if run.ended_at is not None else [])])

        root_attrs: dict[str, Any] = {
            "gen_ai.conversation.id": run.conversation_id,
            "session.id": run.conversation_id,
            "openinference.span.kind": "CHAIN",
            "orrinth.events": len(events),
        }
        if run.source is not None:
            root_attrs["orrinth.file"] = run.source
        if run.status is not None:
            root_attrs["orrinth.run.status"] = run.status
        for key, value in run.metadata.items():
            if isinstance(value, (str, bool, int, float)) and not (isinstance(value, float) and not math.isfinite(value)):
                root_attrs[f"orrinth.metadata.{key}"] = value
        root = self.tracer.start_span("orrinth.run", attributes=root_attrs, start_time=start)
        if run.status == "failed" or run.error_type is not None:
            root.set_attribute("error.type", run.error_type or "run_failed")
            root.set_status(Status(StatusCode.ERROR, run.error_message or "the run failed"))
        root_ctx = trace_api.set_span_in_context(root)

        # One invoke_agent span per (turn, agent), in the order of their first event.
        groups: dict[tuple[int, str | None], list[int]] = {}
        checks: list[int] = []
        for i, event in enumerate(events):
            if event.type == "property_check":
                checks.append(i)
            elif event.type == "message" or event.agent:
                groups.setdefault((event.turn, event.agent or None), []).append(i)
            else:  # a state change or fault outside any agent belongs to the run
                self._add_event(root, event, times[i])

        for (turn, agent), members in groups.items():
            attrs: dict[str, Any] = {"gen_ai.operation.name": "invoke_agent", "openinference.span.kind": "AGENT",
                                     "orrinth.turn": turn}
            if agent is not None:
                attrs["gen_ai.agent.name"] = agent
            if self.provider:
                attrs["gen_ai.provider.name"] = self.provider
            span = self.tracer.start_span(f"invoke_agent {agent}" if agent else "invoke_agent", context=root_ctx,
                                          attributes=attrs, start_time=min(times[i] for i in members))
            ctx = trace_api.set_span_in_context(span)
            for i in members:
                event = events[i]
                if event.type == "message":
                    self._chat_span(event, i, ctx, times[i], ends[i])
                else:
                    self._add_event(span, event, times[i])
            span.end(end_time=max(ends[i] for i in members))

        for i in checks:
            self._evaluation(root, events[i], times[i])
        root.end(end_time=end)

    def _chat_span(self, event: TraceEvent, index: int, ctx: Any, start: int, end: int) -> None:
        data = event.data
        model = _text(data.get("model")) or self.model
        provider = _text(data.get("provider")) or self.provider
        attrs: dict[str, Any] = {
            "gen_ai.operation.name": "chat",
            "gen_ai.usage.input_tokens": event.input_tokens,
            "gen_ai.usage.output_tokens": event.output_tokens,
            "gen_ai.usage.cost.amount": event.cost_usd,
            "gen_ai.usage.cost.currency": "USD",
            "openinference.span.kind": "LLM",
            "llm.token_count.prompt": event.input_tokens,
            "llm.token_count.completion": event.output_tokens,
            "llm.token_count.total": event.input_tokens + event.output_tokens,
            "llm.cost.total": event.cost_usd,
            "orrinth.turn": event.turn,
            "orrinth.event.index": index,
        }
        if model:
            attrs["gen_ai.request.model"] = attrs["llm.model_name"] = model
        if provider:
            attrs["gen_ai.provider.name"] = attrs["llm.provider"] = provider
        to = _text(data.get("to"))
        if to:
            attrs["orrinth.message.to"] = to
        if self.include_content:
            content = data.get("content", "")
            text = content if isinstance(content, str) else _json(content)
            attrs["gen_ai.output.messages"] = _json(
                [{"role": "assistant", "parts": [{"type": "text", "content": text}]}])
            attrs["output.value"] = text
            attrs["output.mime_type"] = "text/plain"
            attrs["orrinth.data"] = _json(data)
        span = self.tracer.start_span(f"chat {model}" if model else "chat", context=ctx, attributes=attrs,
                                      start_time=start)
        span.end(end_time=end)

    def _add_event(self, span: Span, event: TraceEvent, time_ns: int) -> None:
        from opentelemetry.trace import Status, StatusCode

        data = event.data
        attrs: dict[str, Any] = {"orrinth.turn": event.turn}
        if event.agent:
            attrs["orrinth.agent"] = event.agent
        if event.type == "state_change":
            attrs["orrinth.state.keys"] = _state_keys(data)
        if self.include_content:
            attrs["orrinth.data"] = _json(data)
        if event.type == "fault_injected":
            fault = _text(data.get("fault")) or "fault_injected"
            attrs["error.type"] = fault
            span.set_attribute("error.type", fault)
            span.set_status(Status(StatusCode.ERROR, f"fault injected: {fault}"))
        span.add_event(f"orrinth.{event.type}", attributes=attrs, timestamp=time_ns)

    def _evaluation(self, root: Span, event: TraceEvent, time_ns: int) -> None:
        data = event.data
        attrs: dict[str, Any] = {"gen_ai.evaluation.name": _text(data.get("property")) or "property_check"}
        passed = data.get("passed")
        if isinstance(passed, bool):
            attrs["gen_ai.evaluation.score.label"] = "pass" if passed else "fail"
            attrs["gen_ai.evaluation.score.value"] = 1.0 if passed else 0.0
        detail = _text(data.get("detail"))
        if detail:
            attrs["gen_ai.evaluation.explanation"] = detail
        root.add_event("gen_ai.evaluation.result", attributes=attrs, timestamp=time_ns)


def run_spans(runs: Iterable[RunInput], *, include_content: bool = False) -> list[ReadableSpan]:
    """The finished SDK spans of the runs: one trace per run, in the order given."""
    _require_sdk()
    from opentelemetry.sdk.resources import Resource
    from opentelemetry.sdk.trace import SpanLimits, TracerProvider
    from opentelemetry.sdk.trace.export import SimpleSpanProcessor
    from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

    collected = InMemorySpanExporter()
    # No limits: a run with more than 128 checks or a long message keeps every one of them.
    unlimited = SpanLimits(max_events=SpanLimits.UNSET, max_span_attributes=SpanLimits.UNSET,
                           max_event_attributes=SpanLimits.UNSET, max_attribute_length=SpanLimits.UNSET,
                           max_span_attribute_length=SpanLimits.UNSET)
    provider = TracerProvider(resource=Resource.create(RESOURCE),
                              span_limits=unlimited)
    provider.add_span_processor(SimpleSpanProcessor(collected))
    tracer = provider.get_tracer("orrinth.otel", __version__, schema_url=SCHEMA_URL)
    for run in runs:
        _SpanBuilder(tracer, run, include_content).build()
    spans = list(collected.get_finished_spans())
    provider.shutdown()
    return spans


def write_json(spans: Sequence[ReadableSpan], output: Path) -> None:
    """Write the spans to ``output`` as one OTLP/JSON ExportTraceServiceRequest on one line."""
    from opentelemetry.exporter.otlp.json.common.trace_encoder import encode_spans

    text = json.dumps(encode_spans(spans).to_dict(), ensure_ascii=False, separators=(",", ":"),
                      allow_nan=False) + "\n"
    output.parent.mkdir(parents=True, exist_ok=True)
    # Written beside the target and renamed over it: a failed export leaves no half file.
    # Created as open(output, "w") would create it (the umask applies), under a fresh name.
    tmp = output.with_name(f".{output.name}.{secrets.token_hex(6)}.tmp")
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
        os.replace(tmp, output)
    except BaseException:
        os.unlink(tmp)
        raise


def traces_url(endpoint: str) -> str:
    """The OTLP/HTTP traces URL for ``endpoint``: a URL without a path gets ``/v1/traces``."""
    parts = urllib.parse.urlsplit(endpoint)
    if parts.scheme not in ("http", "https") or not parts.netloc:
        raise ValueError(f"{endpoint!r} is not an http:// or https:// URL")
    if parts.path in ("", "/"):
        parts = parts._replace(path="/v1/traces")
    return urllib.parse.urlunsplit(parts)


class _Remember(logging.Handler):
    """Keeps what the exporter logs while sending, to say why a request failed."""

    def __init__(self) -> None:
        super().__init__(logging.WARNING)
        self.messages: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.messages.append(record.getMessage())


def send(spans: Sequence[ReadableSpan], endpoint: str, timeout: float) -> None:
    """Send the spans over OTLP/HTTP to ``endpoint``, raising ExportError if they are refused.

    What the exporter logs on the way goes into the exception instead of onto stderr."""
    from opentelemetry.exporter.otlp.proto.http.trace_exporter import OTLPSpanExporter
    from opentelemetry.sdk.trace.export import SpanExportResult

    exporter = OTLPSpanExporter(endpoint=traces_url(endpoint), timeout=timeout)
    log = logging.getLogger("opentelemetry.exporter")
    remember, propagate = _Remember(), log.propagate
    log.addHandler(remember)
    log.propagate = False
    try:
        for start in range(0, len(spans), _BATCH):
            if exporter.export(spans[start:start + _BATCH]) is not SpanExportResult.SUCCESS:
                seen = remember.messages
                why = "".join(f": {m}" for m in dict.fromkeys(seen[:1] + seen[-1:]))
                raise ExportError(f"the spans were not accepted ({start} of {len(spans)} had been sent){why}")
    finally:
        log.removeHandler(remember)
        log.propagate = propagate
        exporter.shutdown()  # type: ignore[no-untyped-call, unused-ignore]


def export_otlp(
    paths: Iterable[str | os.PathLike[str]],
    output: str | os.PathLike[str] | None = None,
    *,
    endpoint: str | None = None,
    include_content: bool = False,
    timeout: float = 10.0,
) -> int:
    """Export the runs in ``paths`` (trace files, or folders searched for ``*.jsonl``) as
    OpenTelemetry spans, one trace per run; return the number of spans.

    With ``output``, write one OTLP/JSON ``ExportTraceServiceRequest`` there (replacing the
    file only once it is complete); with ``endpoint``, send the spans over OTLP/HTTP (a URL
    without a path gets ``/v1/traces``), each request waiting at most ``timeout`` seconds,
    and raise :class:`ExportError` if the receiver does not take them. Message text is left
    out unless ``include_content`` is true. Every file is read before anything is written
    or sent, so a file that does not load (its exception is raised) exports nothing.
    """
    if (output is None) == (endpoint is None):
        raise TypeError("export_otlp() takes exactly one of output and endpoint")
    url = traces_url(endpoint) if endpoint is not None else None  # a bad URL fails before any reading
    if not 0 < timeout < math.inf:
        raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")
    _require_sdk()
    runs = [load_run(path) for path in trace_files(list(paths))]
    spans = run_spans(runs, include_content=include_content)
    if output is not None:
        write_json(spans, Path(output))
    elif url is not None:
        send(spans, url, timeout)
    return len(spans)
