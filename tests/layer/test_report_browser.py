"""The demo's report pages opened in headless Chromium, with every host name unresolvable.

Driven through the DevTools protocol over a pipe (standard library only): every request the
page makes is logged and must stay on the machine (a file: or data: address), the console
must hold no error and no script may throw, every section must be there, the trades table
must sort and filter, and on the interactive page a chart must change under a hovering mouse.

Skipped, saying so in the summary, when no Chromium is installed (``apt-get install chromium``).
"""

from __future__ import annotations

import base64
import json
import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from zelvor import demo

BROWSER = next((p for p in map(shutil.which, ("chromium", "chromium-browser", "google-chrome")) if p), None)
pytestmark = [
    pytest.mark.skipif(
        BROWSER is None,
        reason="NO CHROMIUM: the report pages were NOT checked in a browser (apt-get install chromium)",
    ),
    pytest.mark.slow,
]
SECTIONS = ["statistics", "benchmark", "excursions", "monthly", "drawdowns", "rolling", "distribution",
            "trades-section", "next-period"]  # fmt: skip


class Browser:
    """Chromium with the DevTools protocol on file descriptors 3 (commands) and 4 (replies)."""

    def __init__(self, profile: Path):
        command_read, command_write = os.pipe()  # it reads our commands on its fd 3
        reply_read, reply_write = os.pipe()  # and writes its replies on its fd 4
        argv = [BROWSER, "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
                f"--user-data-dir={profile}", "--no-first-run", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--disable-default-apps",
                "--host-resolver-rules=MAP * ~NOTFOUND", "--window-size=1200,900", "about:blank"]  # fmt: skip

        def wire() -> None:  # in the child: move both ends out of the way, then onto 3 and 4
            high_in, high_out = os.dup(command_read) + 100, os.dup(reply_write) + 100
            os.dup2(command_read, high_in)
            os.dup2(reply_write, high_out)
            os.dup2(high_in, 3)
            os.dup2(high_out, 4)

        # The browser is not ours to instrument: a sanitized run's preloaded runtimes stay out of it.
        env = {k: v for k, v in os.environ.items() if k not in {"LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS"}}
        self.proc = subprocess.Popen(argv, preexec_fn=wire, pass_fds=(3, 4), stdin=subprocess.DEVNULL, env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)  # fmt: skip
        os.close(command_read)
        os.close(reply_write)
        self.write = os.fdopen(command_write, "wb", buffering=0)
        self.read = os.fdopen(reply_read, "rb", buffering=0)
        self.buffer, self.events, self.next_id, self.session = b"", [], 0, None

    def _message(self) -> dict:
        while b"\0" not in self.buffer:
            chunk = self.read.read(1 << 16)
            if not chunk:
                raise RuntimeError("Chromium closed the pipe")
            self.buffer += chunk
        raw, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(raw)

    def send(self, method: str, session: bool = True, **params) -> dict:
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session and self.session:
            message["sessionId"] = self.session
        self.write.write(json.dumps(message).encode() + b"\0")
        while True:
            reply = self._message()
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            self.events.append(reply)

    def wait_for(self, method: str, seconds: float = 30.0) -> None:
        end = time.monotonic() + seconds
        while not any(e.get("method") == method for e in self.events):
            if time.monotonic() > end:
                raise TimeoutError(method)
            self.events.append(self._message())

    def open(self, url: str) -> None:
        target = self.send("Target.createTarget", session=False, url="about:blank")["targetId"]
        self.session = self.send("Target.attachToTarget", session=False, targetId=target, flatten=True)["sessionId"]
        for domain in ("Page", "Network", "Runtime", "Log"):
            self.send(f"{domain}.enable")
        self.events.clear()
        self.send("Page.navigate", url=url)
        self.wait_for("Page.loadEventFired")

    def js(self, expression: str):
        result = self.send("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        assert "exceptionDetails" not in result, result
        return result["result"].get("value")

    def screenshot(self, clip: dict | None = None) -> bytes:
        params = {"format": "png"} | ({"clip": {**clip, "scale": 1}} if clip else {})
        return base64.b64decode(self.send("Page.captureScreenshot", **params)["data"])

    def close(self) -> None:
        try:
            self.send("Browser.close", session=False)
        except Exception:
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture
def browser(tmp_path):
    b = Browser(tmp_path / "profile")
    yield b
    b.close()


def problems(browser: Browser) -> tuple[list[str], list[str]]:
    """(requests that would leave the machine, console errors and uncaught exceptions)."""
    away, errors = [], []
    for event in browser.events:
        method, params = event.get("method"), event.get("params", {})
        if method == "Network.requestWillBeSent":
            url = params["request"]["url"]
            if not url.startswith(("file:", "data:", "blob:", "about:")):
                away.append(url)
        elif method == "Runtime.exceptionThrown":
            errors.append(json.dumps(params["exceptionDetails"])[:300])
        elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            errors.append(json.dumps(params.get("args"))[:300])
        elif method == "Log.entryAdded" and params["entry"]["level"] == "error":
            errors.append(params["entry"].get("text", "")[:300])
    return away, errors


@pytest.fixture(scope="module")
def pages(tmp_path_factory):
    folder = tmp_path_factory.mktemp("pages")
    static, interactive = folder / "report.html", folder / "interactive.html"
    common = ["--stocks", "80", "--years", "3", "--top", "10"]
    assert demo.main([*common, "--html", str(static)]) == 0
    if _has("bokeh"):
        assert demo.main([*common, "--html", str(interactive), "--interactive"]) == 0
    return static, interactive


def _has(module: str) -> bool:
    import importlib.util

    return importlib.util.find_spec(module) is not None


def test_static_page_in_a_browser(browser, pages):
    pytest.importorskip("matplotlib")
    browser.open(pages[0].as_uri())
    away, errors = problems(browser)
    assert not away and not errors, (away, errors)
    ids = browser.js("Array.from(document.querySelectorAll('h2[id]')).map(e => e.id)")
    assert [s for s in SECTIONS if s not in ids] == [] and "equity" in ids
    assert browser.js("Array.from(document.images).every(i => i.complete && i.naturalWidth > 0)")
    # Sorting: two clicks on the pnl heading put the largest pnl first.
    pnl = browser.js("""(() => { const t = document.getElementById('trades');
        const col = Array.from(t.tHead.rows[0].cells).findIndex(c => c.textContent === 'pnl');
        const th = t.tHead.rows[0].cells[col]; th.click(); th.click();
        return Array.from(t.tBodies[0].rows).map(r => Number(r.cells[col].getAttribute('data-v'))); })()""")
    assert pnl == sorted(pnl, reverse=True) and len(pnl) > 10
    # Filtering by exit reason hides every other row and says how many are shown.
    shown = browser.js("""(() => { const s = document.getElementById('trade-reason');
        s.value = 'stop_loss'; s.dispatchEvent(new Event('change'));
        const t = document.getElementById('trades');
        const col = Array.from(t.tHead.rows[0].cells).findIndex(c => c.textContent === 'exit_reason');
        const visible = Array.from(t.tBodies[0].rows).filter(r => r.style.display !== 'none');
        return [visible.length, visible.every(r => r.cells[col].textContent === 'stop_loss'),
                document.getElementById('trade-count').textContent]; })()""")
    assert shown[0] > 0 and shown[1] and shown[2] == f"{shown[0]} shown"
    assert not problems(browser)[1]


def test_interactive_page_answers_a_hover(browser, pages):
    pytest.importorskip("bokeh")
    browser.open(pages[1].as_uri())
    end = time.monotonic() + 30
    while not browser.js("typeof Bokeh !== 'undefined' && Bokeh.documents.length > 0"):
        assert time.monotonic() < end, "the bokeh charts never rendered"
        time.sleep(0.2)
    time.sleep(1.0)
    box = browser.js("""(() => { const e = document.querySelector('.bk-root-box'); e.scrollIntoView();
        const r = e.getBoundingClientRect();
        return {x: r.left, y: r.top, top: r.top + window.scrollY, width: r.width, height: r.height}; })()""")
    assert box["height"] > 500, box  # three charts drawn
    region = {"x": box["x"], "y": box["top"], "width": box["width"], "height": 360}  # page coordinates
    before = browser.screenshot(region)
    for dx in (0.3, 0.5):  # a tooltip follows the mouse over the equity chart
        browser.send("Input.dispatchMouseEvent", type="mouseMoved", x=box["x"] + box["width"] * dx, y=box["y"] + 180)
    time.sleep(0.5)
    after = browser.screenshot(region)
    if os.environ.get("ZELVOR_SCREENSHOTS"):  # where to leave the pictures, to look at them
        Path(os.environ["ZELVOR_SCREENSHOTS"], "hover.png").write_bytes(after)
    assert before != after, "the equity chart did not react to the mouse"
    tooltip = browser.js("""(() => { const seen = [];
        const walk = n => { if (n.shadowRoot) walk(n.shadowRoot);
            for (const c of n.children || []) { if ((c.className || '').toString().includes('tooltip')
                && c.offsetParent !== null) seen.push(c.textContent); walk(c); } };
        walk(document.body); return seen.join(' | '); })()""")
    assert "equity" in tooltip and "date" in tooltip, tooltip
    away, errors = problems(browser)
    assert not away and not errors, (away, errors)
