"""The standard report page in headless Chromium: rendering a context, opening the page with the
network blocked and reading what it drew. Shared by the browser test and bench/report_page_bench.py."""
import json
import math
import os
import shutil
from contextlib import contextmanager
from datetime import datetime, timedelta

import bokeh.resources
import jinja2

from orva_backtest.modules.positions import positions

# Debian's chromium; Playwright's own browser downloads are never used.
CHROMIUM = "/usr/bin/chromium"
TIME_FORMAT = "%Y-%m-%d %H:%M:%S"
# The candle chart's time axis (the upper figure of the first layout).
PRICE_X_RANGE = "Bokeh.documents[0].roots()[0].children[0][0].x_range"
FEES = {kind: {"fee": fee, "tax": tax, "per_trade_cost": 10,
               "slippage": {"buy": {"tick_count": 3, "direction": "up"},
                            "sell": {"tick_count": 3, "direction": "down"}}}
        for kind, fee, tax in (("stock", 0.001425, 0.003), ("future", 0.00002, 0.00002))}
ZERO_ACCOUNT = dict.fromkeys(("entry_times", "cover_times", "receive_amount", "payable_amount",
                              "net_profit", "extra_fee", "profit"), 0)


def chart_library_js():
    js = bokeh.resources.Resources(mode="inline", components=["bokeh", "bokeh-gl", "bokeh-api"]).js_raw
    return "\n".join(js).replace("</script", "<\\/script")


def environment():
    env = jinja2.Environment(loader=jinja2.FileSystemLoader(os.path.join(positions.static_dir, "templates")))
    env.globals["chart_library_js"] = chart_library_js
    return env


def render(context, path):
    """Writes the page for `context` to `path` and returns its file:// address."""
    with open(path, "w", encoding="utf-8") as f:
        f.write(environment().get_template("profit_report.html").render(context))
    return "file://" + os.path.abspath(path)


def minute_bars(code, count, start=datetime(2024, 3, 4, 9, 0), price=600.0):
    """`count` one-minute bars on a day session (09:00-13:24), wandering around `price`."""
    bars, at = [], start
    for i in range(count):
        open_ = price + 4 * math.sin(i / 9)
        close = price + 4 * math.sin((i + 1) / 9) + (i % 3 - 1) * 0.5
        bars.append({"time": at.strftime(TIME_FORMAT), "code": code, "open": open_,
                     "high": max(open_, close) + 1, "low": min(open_, close) - 1,
                     "close": close, "volume": 5 + i % 11})
        at += timedelta(minutes=1)
        if at.hour * 60 + at.minute >= 13 * 60 + 25:
            at = (at + timedelta(days=1)).replace(hour=9, minute=0)
    return bars


def round_trip(code, entry_dt, entry, exit_dt, exit_, long, qty=1, tick=1.0, units=1000):
    """A profit row as the account books it: one tick of slippage against the trade on each
    side, fee on both sides, tax on the sell."""
    buy_at, sell_at = (entry, exit_) if long else (exit_, entry)
    buy_price, sell_price = buy_at + tick, sell_at - tick
    entry_price, exit_price = (buy_price, sell_price) if long else (sell_price, buy_price)
    value = units * qty

    def cost(price, sell):
        return price * value * (0.001425 + (0.003 if sell else 0)) + 10

    trade_cost, cover_cost = cost(entry_price, not long), cost(exit_price, long)
    profit = (sell_price - buy_price) * value - trade_cost - cover_cost
    return {"code": code, "entry_dt": entry_dt, "entry_price": entry_price, "entry_origin_price": entry,
            "exit_dt": exit_dt, "exit_price": exit_price, "exit_origin_price": exit_, "qty": qty,
            "min_qty": value, "trade_cost": trade_cost, "cover_cost": cover_cost, "profit": profit,
            "profit_ratio": profit / (entry_price * value + trade_cost)}


def markers(rows):
    """Entry and exit markers of the rows, on the minute of the bar that holds each fill."""
    out = []
    for row in rows:
        for kind, dt, price, origin in (("entry", row["entry_dt"], row["entry_price"], row["entry_origin_price"]),
                                        ("exit", row["exit_dt"], row["exit_price"], row["exit_origin_price"])):
            out.append({"code": row["code"], "type": kind, "dt": dt[:17] + "00", "qty": row["qty"],
                        "price": price, "origin_price": origin})
    return out


def context(bars, rows, fee_settings=FEES, account_info=ZERO_ACCOUNT):
    return {"kbar_df": json.dumps(bars), "profit_rows": rows, "profit_rows_json": json.dumps(rows),
            "include_profit_rows": json.dumps(markers(rows)), "fee_settings": fee_settings,
            "account_info": account_info}


def long_run(bar_count, trade_count):
    """Bars and rows of a long run: `trade_count` round trips of 30 minutes, evenly spread."""
    bars = minute_bars("2330", bar_count)
    every = (bar_count - 31) // trade_count
    rows = [round_trip("2330", bars[i]["time"], bars[i]["close"], bars[i + 30]["time"], bars[i + 30]["close"],
                       long=i // every % 2 == 0) for i in range(0, every * trade_count, every)]
    return bars, rows


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

    def __init__(self, browser, url, viewport=(1400, 900), timeout_ms=60_000):
        self.errors, self.outside = [], []
        self.page = browser.new_page(viewport={"width": viewport[0], "height": viewport[1]})
        self.page.route("**/*", self._route)
        self.page.on("console", lambda msg: msg.type == "error" and self.errors.append(msg.text))
        self.page.on("pageerror", lambda exc: self.errors.append(str(exc)))
        self.page.goto(url)
        try:
            self.page.wait_for_function("document.body.dataset.chart === 'drawn'", timeout=timeout_ms)
        except Exception as exc:
            self.page.close()
            raise AssertionError(f"the charts were not drawn ({exc}); page errors: {self.errors}") from None
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
