"""The HTML report of long runs, as a person sees it in a real browser (headless Chromium
driven over its debugging pipe: layout read from the page, pixels from its screenshot,
clicks as mouse events), and the page's structure for any text a trace can hold."""

from __future__ import annotations

import base64
import io
import json
import os
import random
import shutil
import subprocess
import time
from collections.abc import Iterator
from html.parser import HTMLParser
from pathlib import Path
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from orrinth.checks import read_checks
from orrinth.cli import main
from orrinth.cli.report import FAIL_BAND, render
from orrinth.runmeta import RunMetadata
from orrinth.trace import Trace, TraceEvent

AGENTS = ["coder", "reviewer", "tool", "planner"]
VIEW_W, VIEW_H = 1240, 900


def long_run(turns: int, failing: bool, seed: int = 3) -> Trace:
    """One message a turn between four agents, state changes and faults now and then, and
    four checks at the end: one of them failing when ``failing``, listed last."""
    rng = random.Random(seed)
    trace = Trace()
    for turn in range(1, turns + 1):
        sender, to = rng.sample(AGENTS, 2)
        trace.add_event(TraceEvent(type="message", turn=turn, agent=sender, timestamp=1.8e9 + turn,
                                   data={"to": to, "content": f"turn {turn}: " + "words " * rng.randint(1, 30)},
                                   input_tokens=rng.randint(0, 900), output_tokens=40, cost_usd=1e-4))
        if rng.random() < 0.3:
            trace.add_event(TraceEvent(type="state_change", turn=turn, agent=to, data={"stage": turn}))
        if turn % 20 == 7:
            trace.add_event(TraceEvent(type="fault_injected", turn=turn, agent="tool", data={"fault": "timeout"}))
    for name in ("budget", "tone", "no_leak", "goal_reached"):
        passed = not (failing and name == "goal_reached")
        trace.add_event(TraceEvent(type="property_check", turn=-1,
                                   data={"property": name, "passed": passed, "detail": f"{name} checked"}))
    return trace


def chromium() -> str:
    for name in ("chromium", "chromium-browser", "google-chrome"):
        found = shutil.which(name)
        if found:
            return found
    pytest.skip("no Chromium here: `.ci/run` installs Debian's chromium package, which this machine could not get")


class Browser:
    """Headless Chromium over ``--remote-debugging-pipe``: commands go in on its fd 3 and
    answers come back on its fd 4, NUL-terminated JSON, so no port is opened."""

    def __init__(self, profile: Path) -> None:
        to_browser, self._send = os.pipe()
        self._receive, from_browser = os.pipe()
        flags = ["--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", f"--user-data-dir={profile}",
                 f"--window-size={VIEW_W},{VIEW_H}", "--remote-debugging-pipe", "about:blank"]
        # bash, not sh: dash redirects only single-digit descriptors. The browser runs
        # without the sanitizer runtime that the sanitizer stage preloads.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        self._proc = subprocess.Popen(["bash", "-c", f'exec "$0" "$@" 3<&{to_browser} 4>&{from_browser}',
                                       chromium(), *flags], pass_fds=(to_browser, from_browser), env=env,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser)
        os.close(from_browser)
        self._pending = b""
        self._id = 0
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self._session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        self.call("Emulation.setDeviceMetricsOverride", self._session, width=VIEW_W, height=VIEW_H,
                  deviceScaleFactor=1, mobile=False)

    def call(self, method: str, session: str | None = None, **params: Any) -> dict[str, Any]:
        self._id += 1
        message: dict[str, Any] = {"id": self._id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self._send, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + 60
        while True:
            while b"\0" not in self._pending:
                assert time.monotonic() < deadline, f"no answer to {method}"
                chunk = os.read(self._receive, 1 << 20)
                assert chunk, "the browser closed its pipe"
                self._pending += chunk
            line, self._pending = self._pending.split(b"\0", 1)
            reply = json.loads(line)
            if reply.get("id") == self._id:
                assert "error" not in reply, reply["error"]
                return reply["result"]

    def js(self, expression: str) -> Any:
        result = self.call("Runtime.evaluate", self._session, expression=expression, returnByValue=True)
        assert "exceptionDetails" not in result, result["exceptionDetails"]
        return result["result"].get("value")

    def open(self, page: Path) -> None:
        url = page.as_uri()
        self.call("Page.navigate", self._session, url=url)
        for _ in range(400):
            if self.js("location.href + ' ' + document.readyState") == f"{url} complete":
                return
            time.sleep(0.025)
        raise AssertionError(f"{url} did not load")

    def click(self, selector: str) -> None:
        """A click on the element, as the page receives one from the mouse."""
        self.js(f"document.querySelector({json.dumps(selector)})"
                ".dispatchEvent(new MouseEvent('click', {bubbles: true, cancelable: true}))")

    def screenshot(self) -> Any:
        from PIL import Image

        data = base64.b64decode(self.call("Page.captureScreenshot", self._session, format="png")["data"])
        return Image.open(io.BytesIO(data)).convert("RGB")

    def close(self) -> None:
        try:
            self.call("Browser.close")
            self._proc.wait(30)
        finally:
            if self._proc.poll() is None:
                self._proc.kill()
                self._proc.wait()
            os.close(self._send)
            os.close(self._receive)


@pytest.fixture(scope="module")
def browser(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Browser]:
    pytest.importorskip("PIL", reason="Pillow reads the screenshots (the test extra)")
    chromium()
    b = Browser(tmp_path_factory.mktemp("profile"))
    yield b
    b.close()


def report_of(trace: Trace, folder: Path) -> Path:
    trace.to_jsonl(folder / "run.jsonl")
    assert main(["report", str(folder / "run.jsonl"), "-o", str(folder / "report.html")]) == 0
    return folder / "report.html"


def band_rows(image: Any, colour: str, min_run: int = 1000) -> list[int]:
    """The rows of the screenshot crossed by at least ``min_run`` pixels of ``colour`` in a row
    (found as the colour's RGB bytes repeated, at a pixel boundary)."""
    run = bytes(int(colour[i:i + 2], 16) for i in (1, 3, 5)) * min_run
    width, height = image.size
    data = image.tobytes()
    rows = []
    for y in range(height):
        row = data[3 * width * y:3 * width * (y + 1)]
        at = row.find(run)
        while at >= 0 and at % 3:
            at = row.find(run, at + 1)
        if at >= 0:
            rows.append(y)
    return rows


LAYOUT = """JSON.stringify((() => {
  const box = s => { const r = document.querySelector(s).getBoundingClientRect();
                     return {top: r.top, bottom: r.bottom, left: r.left, right: r.right}; };
  const first = document.querySelector('#checks tbody tr');
  const scroller = document.querySelector('.scroller');
  return {page_w: document.documentElement.scrollWidth, page_h: document.documentElement.scrollHeight,
          band: box('#verdict'), band_text: document.querySelector('#verdict').textContent,
          first_row: first.textContent, first_box: box('#checks tbody tr'),
          overview: box('.overview svg'), scrolls: scroller.scrollWidth > scroller.clientWidth,
          scripts: document.scripts.length};
})())"""


@pytest.mark.parametrize("failing", [True, False], ids=["a check failed", "all checks passed"])
def test_long_run_shows_its_verdict_first(browser: Browser, tmp_path: Path, failing: bool) -> None:
    browser.open(report_of(long_run(300, failing), tmp_path))
    layout = json.loads(browser.js(LAYOUT))
    # The page itself never scrolls sideways: the overview fits the window and the detailed
    # timeline scrolls inside its panel; the transcript scrolls in its own box.
    assert layout["page_w"] == VIEW_W
    assert layout["overview"]["right"] <= VIEW_W and layout["overview"]["right"] - layout["overview"]["left"] > 900
    assert layout["scrolls"]
    assert layout["page_h"] < 3 * VIEW_H
    assert layout["scripts"] == 0
    # The verdict, and the failing check above the passing ones, inside the first screenful.
    assert layout["band"]["bottom"] < VIEW_H and layout["first_box"]["bottom"] < VIEW_H
    if failing:
        assert layout["band_text"] == "1 of 4 checks failed"
        assert layout["first_row"].startswith("FAIL") and "goal_reached" in layout["first_row"]
    else:
        assert layout["band_text"] == "all 4 checks passed" and layout["first_row"].startswith("PASS")

    shot = browser.screenshot()
    shot.save(tmp_path / "shot.png")
    assert shot.size == (VIEW_W, VIEW_H)
    rows = band_rows(shot, FAIL_BAND)
    if failing:  # the red band is drawn where the layout says it is
        assert rows and layout["band"]["top"] - 1 <= rows[0] and rows[-1] <= layout["band"]["bottom"] + 1
        assert rows[-1] - rows[0] >= 20
    else:
        assert rows == []


VISIBLE = "[...document.querySelectorAll('[data-{}=\"{}\"]')].filter(e => e.getClientRects().length).length"


def test_filters_hide_and_links_open_the_transcript(browser: Browser, tmp_path: Path) -> None:
    trace = long_run(300, True)
    browser.open(report_of(trace, tmp_path))
    first = browser.js("document.querySelector('label[for=\"fa0\"]').textContent")
    owned = sum(1 for e in trace.events if e.agent == first)
    faults = sum(1 for e in trace.events if e.type == "fault_injected")
    # Each event is drawn three times: in the overview, the detailed timeline and the transcript.
    assert browser.js(VISIBLE.format("a", 0)) == 3 * owned
    assert browser.js(VISIBLE.format("k", "fault_injected")) == 3 * faults
    others = browser.js(VISIBLE.format("a", 1))
    browser.click('label[for="fa0"]')
    assert browser.js(VISIBLE.format("a", 0)) == 0
    assert browser.js(VISIBLE.format("a", 1)) == others
    browser.click('label[for="fk-fault_injected"]')
    assert browser.js(VISIBLE.format("k", "fault_injected")) == 0
    browser.click('label[for="fa0"]')
    assert browser.js(VISIBLE.format("a", 0)) == 3 * owned - 3 * sum(
        1 for e in trace.events if e.agent == first and e.type == "fault_injected")

    # A click on turn 150 in the overview scrolls the transcript's box to that turn's rows.
    browser.click('a[href="#turn-150"] rect')
    assert browser.js("location.hash") == "#turn-150"
    inside = browser.js("""(() => { const box = document.querySelector('.transcript').getBoundingClientRect();
        const row = document.querySelector('#turn-150 tr').getBoundingClientRect();
        return document.querySelector('.transcript').scrollTop > 0 && row.top >= box.top && row.bottom <= box.bottom;
        })()""")
    assert inside


class _Page(HTMLParser):
    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.tags: set[str] = set()
        self.attrs: list[tuple[str, str | None]] = []
        self.text: list[str] = []
        self.style: list[str] = []
        self._in_style = False

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        self.tags.add(tag)
        self.attrs.extend(attrs)
        self._in_style = tag == "style"

    def handle_endtag(self, tag: str) -> None:
        self._in_style = False

    def handle_data(self, data: str) -> None:
        (self.style if self._in_style else self.text).append(data)


ALLOWED_TAGS = {"html", "head", "meta", "title", "style", "body", "main", "header", "nav", "section", "h1", "h2", "p",
                "b", "span", "div", "a", "input", "label", "table", "thead", "tbody", "tr", "th", "td", "svg", "defs",
                "marker", "path", "rect", "text", "line", "circle", "g", "polyline"}
# Every generated text holds a character that the page's own markup and CSS never use.
hostile = st.text(min_size=0, max_size=12, alphabet=st.characters(blacklist_categories=["Cs"])).map(
    lambda s: s + "\u2603")
PROBES = ['<script>alert(1)</script>', '"><img src=x onerror=alert(1)>', "</style><script>", "&amp;", "]]>",
          "{} * { display: none }", "' onload='x"]


@settings(max_examples=40, deadline=None)
@given(agents=st.lists(st.one_of(hostile, st.sampled_from(PROBES).map(lambda s: s + "\u2603")),
                       min_size=1, max_size=4, unique=True),
       texts=st.lists(hostile, min_size=3, max_size=3),
       verdicts=st.lists(st.sampled_from([True, False, 1, "true", None]), min_size=0, max_size=5))
def test_page_holds_every_text_as_text_and_nothing_active(agents: list[str], texts: list[str],
                                                          verdicts: list[Any]) -> None:
    trace = Trace()
    for turn, agent in enumerate(agents, 1):
        trace.add_event(TraceEvent(type="message", turn=turn, agent=agent, data={"to": agents[0], "content": texts[0]}))
        trace.add_event(TraceEvent(type="fault_injected", turn=turn, agent=agent, data={"fault": texts[1]}))
    for i, passed in enumerate(verdicts):
        trace.add_event(TraceEvent(type="property_check", turn=-1,
                                   data={"property": f"{texts[2]}{i}", "passed": passed, "detail": texts[1]}))
    meta = RunMetadata(run_id=texts[2], status="failed", metadata={texts[0]: texts[1], "tags": [texts[2]]},
                       error={"type": "RuntimeError", "message": texts[1]})
    page = _Page()
    page.feed(render(trace, texts[1], meta, "failed"))
    page.close()

    assert page.tags <= ALLOWED_TAGS
    for name, value in page.attrs:
        assert not name.startswith("on") and name not in ("src", "srcset", "action", "formaction")
        assert "\u2603" not in (value or "")  # no trace text in any attribute
        if name == "href":
            assert value is not None and value.startswith("#")
    assert "\u2603" not in "".join(page.style)
    text = "".join(page.text)
    for shown in [*agents, *texts]:
        assert shown in text
    # The verdicts: failures first, then invalid checks, then passes, one row each.
    outcomes = [c.outcome for c in read_checks(trace.events)]
    words = [w for w in page.text if w in ("FAIL", "INVALID", "PASS")]
    assert words == sorted((o.upper() for o in outcomes), key=["FAIL", "INVALID", "PASS"].index)

