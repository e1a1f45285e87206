"""The standard report page in headless Chromium: reports made by a replay through the exchange
and the account, opened with the network blocked, and what the page drew. Shared by the browser
test and bench/report_page_bench.py."""
import math
import os
import shutil
import time
from contextlib import contextmanager
from datetime import datetime, timedelta

from orva_backtest.constant import BASIC_INFO
from orva_backtest.modules.matcher.matcher import Matcher
from orva_backtest.modules.positions import positions
from orva_backtest.modules.positions.positions import Positions, QuoteManager

# Debian's chromium; Playwright's own browser downloads are never used.
CHROMIUM = "/usr/bin/chromium"
# The candle chart's time axis (the upper figure of the first layout).
PRICE_X_RANGE = "Bokeh.documents[0].roots()[0].children[0][0].x_range"


def replay(code, minutes, trips=(), start=datetime(2024, 3, 4, 9, 0)):
    """Replays `minutes` minutes of a stock's ticks (open, high, low and close of each minute, 15 s
    apart, on the day session 09:00-13:24, whole prices wandering around 600) through a Matcher and
    a QuoteManager. Each trip (entry minute, exit minute, long, lots) opens with a market order
    before the minute's second tick and closes the same way. Returns the account and the quotes."""
    account, quotes = Positions(), QuoteManager()
    matcher = Matcher(account)
    orders = {}
    for entry, exit_, long, lots in trips:
        orders[entry] = ("Buy" if long else "Sell", lots)
        orders[exit_] = ("Sell" if long else "Buy", lots)
    at = start
    for minute in range(minutes):
        open_, close = (round(600 + 20 * math.sin((minute + k) / 9)) for k in (0, 1))
        for k, price in enumerate((open_, max(open_, close) + 1, min(open_, close) - 1, close)):
            if k == 1 and minute in orders:
                action, lots = orders[minute]
                matcher.add_order(code=code, product_type="Stock", action=action, price=float(price),
                                  qty=lots, price_type="MKT", order_type="IOC")
            tick = {"market_type": "Stock", "timestamp": (at + timedelta(seconds=15 * k)).timestamp(),
                    "code": code, "close": float(price), "qty": 5 + minute % 5, "tick_type": 1,
                    "is_simulate": False, "is_backfilling": False}
            matcher.set_current_tick(tick)
            quotes.add_tick(tick)
            matcher.match_deal(code, tick["close"], tick["qty"], tick["timestamp"])
        at += timedelta(minutes=1)
        if at.hour * 60 + at.minute >= 13 * 60 + 25:
            at = (at + timedelta(days=1)).replace(hour=9, minute=0)
    return account, quotes


def spread_trips(minutes, count):
    """`count` round trips of one lot held 30 minutes, evenly spread over `minutes`, long and
    short in turn."""
    every = (minutes - 31) // count
    return [(i * every, i * every + 30, i % 2 == 0, 1) for i in range(count)]


def standard_report(account, quotes, code):
    """Writes the account's standard report of `code` and returns the page's file:// address."""
    account.generate_standard_report(code, quotes)
    return "file://" + os.path.join(os.path.abspath(BASIC_INFO.data_dir), "report", f"{code}-report.html")


def report_context(account, quotes, code):
    """The context the standard report hands the template (the module looks the template up at
    every report, so a wrapper sees it)."""
    template, seen = positions.template, []

    class Recording:
        def render(self, context):
            seen.append(context)
            return template.render(context)

    positions.template = Recording()
    try:
        account.generate_standard_report(code, quotes)
    finally:
        positions.template = template
    return seen[0]


def render(context, path):
    """Writes the page for a context made by hand to `path` and returns its file:// address."""
    with open(path, "w", encoding="utf-8") as f:
        f.write(positions.template.render(context))
    return "file://" + os.path.abspath(path)


def missing_browser():
    """Why the browser test cannot run here, or None."""
    if not os.access(CHROMIUM, os.X_OK):
        return f"{CHROMIUM} is missing: apt-get install chromium"
    try:
        import playwright.sync_api  # noqa: F401
    except ImportError:
        return "playwright is missing: pip install playwright"
    return None


@contextmanager
def chromium():
    from playwright.sync_api import sync_playwright

    with sync_playwright() as p:
        browser = p.chromium.launch(executable_path=CHROMIUM)
        try:
            yield browser
        finally:
            browser.close()


class OpenedReport:
    """A report page loaded offline; `errors` holds console errors and uncaught exceptions,
    `outside` every request that tried to leave the machine."""

    def __init__(self, browser, url, viewport=(1400, 900), timeout_s=60):
        self.errors, self.outside = [], []
        self.page = browser.new_page(viewport={"width": viewport[0], "height": viewport[1]})
        self.page.route("**/*", self._route)
        self.page.on("console", lambda msg: msg.type == "error" and self.errors.append(msg.text))
        self.page.on("pageerror", lambda exc: self.errors.append(str(exc)))
        self.page.goto(url)
        # Polled rather than awaited, so that a page error ends the wait at once.
        deadline = time.monotonic() + timeout_s
        while not self.page.evaluate("document.body.dataset.chart === 'drawn'"):
            if self.errors or time.monotonic() > deadline:
                self.page.close()
                raise AssertionError(f"the charts were not drawn; page errors: {self.errors}")
            self.page.wait_for_timeout(20)
        # performance.now() when the charts were first painted, counted from navigation start.
        self.load_to_chart_ms = int(self.page.evaluate("document.body.dataset.chartMs"))

    def _route(self, route):
        if route.request.url.startswith("file://"):
            route.continue_()
        else:
            self.outside.append(route.request.url)
            route.abort()

    def glyphs(self):
        """Per chart, each glyph renderer's glyph type, marker and number of data rows."""
        return self.page.evaluate("""() => Bokeh.documents.map((doc) => [...doc.all_models]
            .filter((m) => m instanceof Bokeh.GlyphRenderer)
            .map((r) => ({type: r.glyph.type, marker: r.glyph.marker ? r.glyph.marker.value : null,
                          rows: r.data_source.get_length(), data: r.data_source.data})))""")

    def x_range(self):
        return self.page.evaluate(f"() => [{PRICE_X_RANGE}.start, {PRICE_X_RANGE}.end]")

    def texts(self, selector):
        return [text.strip() for text in self.page.locator(selector).all_text_contents()]

    def cells(self, selector):
        """The trimmed text of each cell, row by row, of the table rows `selector` finds."""
        return self.page.evaluate("""(selector) => [...document.querySelectorAll(selector)]
            .map((row) => [...row.cells].map((cell) => cell.textContent.trim()))""", selector)

    def close(self):
        self.page.close()


def save_artefact(png, name, tmp_path):
    """Keeps a screenshot under pytest's tmp path and, where writable, build/artifacts/."""
    (tmp_path / name).write_bytes(png)
    folder = os.path.join(os.path.dirname(__file__), "..", "..", "build", "artifacts")
    try:
        os.makedirs(folder, exist_ok=True)
        shutil.copyfile(tmp_path / name, os.path.join(folder, name))
    except OSError:
        pass
