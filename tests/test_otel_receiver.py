"""The example's 200 runs exported end to end: to one OTLP/JSON file, read back through
opentelemetry-proto, and over OTLP/HTTP to a real Phoenix server started here on
127.0.0.1, whose REST API must give back every span, the token and cost sums and the
evaluation events.

Phoenix is heavy and pins its own dependencies, so it lives in a virtual environment of its
own: ORRINTH_PHOENIX names its ``phoenix`` program (.ci/run makes one in
``.venv-phoenix``, which is also looked for when the variable is unset; set empty, it turns
the test off)."""

from __future__ import annotations

import calendar
import json
import os
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
from collections.abc import Iterator
from datetime import datetime
from pathlib import Path
from typing import Any

import pytest

from support import child_env
from test_otel import check_export, cli, parse_request, spans_of

from orrinth.runmeta import read_metadata
from orrinth.trace import Trace

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def batch(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, dict[str, Trace]]:
    folder = tmp_path_factory.mktemp("batch")
    subprocess.run([sys.executable, str(ROOT / "examples" / "simulated_run.py"), "--runs", "200", "--run-dir",
                    str(folder)], env=child_env(), check=True, capture_output=True, timeout=300)
    # Known by the run id in each sidecar, or else by the path.
    traces = {getattr(read_metadata(p), "run_id", None) or p.as_posix(): Trace.from_jsonl(p)
              for p in sorted(folder.glob("*.jsonl"))}
    assert len(traces) == 200
    return folder, traces


def test_200_runs_to_one_otlp_json_file(batch: tuple[Path, dict[str, Trace]], tmp_path: Path) -> None:
    folder, traces = batch
    out = tmp_path / "runs.otlp.json"
    result = cli("export", "otlp", folder, "-o", out)
    assert result.returncode == 0, result.stderr
    spans = spans_of(parse_request(out.read_text(encoding="utf-8")))
    assert result.stdout == f"wrote {len(spans)} spans of 200 runs to {out}\n"
    check_export(spans, dict(traces))


def phoenix_program() -> str:
    program = os.environ.get("ORRINTH_PHOENIX", str(ROOT / ".venv-phoenix" / "bin" / "phoenix"))
    if not program:
        pytest.skip("ORRINTH_PHOENIX is empty: the Phoenix test runs in another stage of this run")
    if not os.access(program, os.X_OK):
        pytest.skip(f"no Phoenix server to send to: {program} is not there (set ORRINTH_PHOENIX to a phoenix "
                    "program, or let .ci/run install arize-phoenix into .venv-phoenix)")
    return program


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def get(url: str) -> Any:
    with urllib.request.urlopen(url, timeout=30) as response:
        return json.load(response)


@pytest.fixture
def phoenix(tmp_path: Path) -> Iterator[str]:
    """A Phoenix server on 127.0.0.1 with a fresh database; stopped however the test ends."""
    program = phoenix_program()
    port = free_port()
    env = {**os.environ, "PHOENIX_HOST": "127.0.0.1", "PHOENIX_PORT": str(port), "PHOENIX_GRPC_PORT": str(free_port()),
           "PHOENIX_WORKING_DIR": str(tmp_path / "phoenix"), "PHOENIX_TELEMETRY_ENABLED": "false", "DO_NOT_TRACK": "1"}
    log = open(tmp_path / "phoenix.log", "wb")
    server = subprocess.Popen([program, "serve"], env=env, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
    url = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + 240
        while True:
            if server.poll() is not None:
                pytest.fail(f"Phoenix exited with {server.returncode}:\n{(tmp_path / 'phoenix.log').read_text()[-3000:]}")
            try:
                with urllib.request.urlopen(f"{url}/healthz", timeout=5) as response:
                    if response.status == 200:
                        break
            except OSError:
                pass
            if time.monotonic() > deadline:
                pytest.fail("Phoenix did not answer within 240 s")
            time.sleep(0.5)
        yield url
    finally:
        os.killpg(server.pid, signal.SIGTERM)
        try:
            server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            os.killpg(server.pid, signal.SIGKILL)
            server.wait(timeout=30)
        log.close()


def read_spans(url: str, expected: int) -> list[dict[str, Any]]:
    """Every span of the orrinth project, once the server has stored as many as were sent.

    Phoenix stores what it received in the background, at a pace that depends on the
    machine's load: wait while the count grows, up to 90 s without progress, 15 min in all."""
    deadline = time.monotonic() + 900
    progress_at, count = time.monotonic(), -1
    while True:
        spans: list[dict[str, Any]] = []
        cursor = ""
        try:
            while True:
                page = get(f"{url}/v1/projects/orrinth/spans?limit=1000{cursor}")
                spans += page["data"]
                if not page["next_cursor"]:
                    break
                cursor = f"&cursor={page['next_cursor']}"
        except urllib.error.HTTPError as exc:  # the project appears with its first span
            if exc.code != 404:
                raise
        now = time.monotonic()
        if len(spans) > count:
            progress_at, count = now, len(spans)
        if len(spans) >= expected or now > deadline or now - progress_at > 90:
            return spans
        time.sleep(2)


def ns(iso: str) -> int:
    stamp = datetime.fromisoformat(iso)
    return (calendar.timegm(stamp.utctimetuple()) * 10**6 + stamp.microsecond) * 1000


def test_200_runs_over_otlp_http_to_phoenix(batch: tuple[Path, dict[str, Trace]], phoenix: str) -> None:
    """Every run read back from Phoenix's REST API passes the same checks as the file
    (Phoenix gives the span kind as a field of its own, not among the attributes)."""
    folder, traces = batch
    result = cli("export", "otlp", folder, "--endpoint", phoenix)
    assert result.returncode == 0, result.stderr
    sent = int(result.stdout.split()[1])
    assert result.stdout == f"sent {sent} spans of 200 runs to {phoenix}/v1/traces\n"
    stored = read_spans(phoenix, sent)
    assert len(stored) == sent
    check_export([{"trace": s["context"]["trace_id"], "id": s["context"]["span_id"], "parent": s["parent_id"],
                   "name": s["name"], "start": ns(s["start_time"]), "end": ns(s["end_time"]), "attrs": {**s["attributes"], "openinference.span.kind": s["span_kind"]},
                   "status": {"UNSET": 0, "OK": 1, "ERROR": 2}[s["status_code"]],
                   "events": [(e["name"], ns(e["timestamp"]), e["attributes"]) for e in s["events"]]} for s in stored],
                 dict(traces))
