"""The standard report page in headless Chromium, opened from file:// with the network blocked:
reports of replays through the exchange and the account, and contexts altered by hand."""
import copy
import io
import itertools
import json
import os
from contextlib import contextmanager
from decimal import ROUND_HALF_UP, Decimal

import pytest
from PIL import Image

import report_page

UP, DOWN, BUY, SELL = (211, 47, 47), (46, 125, 50), (21, 101, 192), (239, 108, 0)
# (entry minute, exit minute, long, lots): fills land 15 s into their minute.
TRIPS = [(3, 10, True, 1), (15, 24, False, 2), (25, 31, True, 1), (33, 38, False, 1)]


@pytest.fixture(scope="module")
def browser():
    missing = report_page.missing_browser()
    if missing:
        # The README's test command asks for it: a missing browser fails there instead of skipping.
        if os.environ.get("CI") == "true" or os.environ.get("ORVA_BROWSER_TEST") == "required":
            pytest.fail(missing)
        pytest.skip(missing)
    with report_page.chromium() as opened:
        yield opened


pytestmark = pytest.mark.usefixtures("taipei_data_dir", "console")


@contextmanager
def opened(browser, url, tmp_path, name):
    """The page, loaded; it must have asked nothing of the network and logged no error."""
    report = report_page.OpenedReport(browser, url)
    try:
        yield report
        assert report.outside == []
        assert report.errors == []
        report_page.save_artefact(report.page.screenshot(full_page=True), f"{name}.png", tmp_path)
    finally:
        report.close()


def money(value, scale=1):
    """Two decimals the way Intl.NumberFormat rounds: the shortest decimal form of the double,
    ties away from zero."""
    return f"{(Decimal(repr(value)) * scale).quantize(Decimal('0.01'), rounding=ROUND_HALF_UP):,}"


def percent(value):
    return money(value, 100) + "%"


def headline(rows, capital=100000):
    """The headline figures as the page should print them, worked out from the rows."""
    profits = [row["profit"] for row in rows]
    wins, losses = [p for p in profits if p > 0], [p for p in profits if p < 0]
    equity = list(itertools.accumulate(profits))
    peaks = itertools.accumulate([0] + equity, max)
    drawdown = max(peak - value for peak, value in zip(peaks, [0] + equity))
    by_day = {}
    for row in rows:
        by_day[row["exit_dt"][:10]] = by_day.get(row["exit_dt"][:10], 0) + row["profit"]
    closes = list(itertools.accumulate([capital] + [by_day[d] for d in sorted(by_day)]))
    daily = min(value / peak - 1 for value, peak in zip(closes, itertools.accumulate(closes, max)))
    slippage = sum((abs(r["entry_price"] - r["entry_origin_price"]) + abs(r["exit_price"] - r["exit_origin_price"]))
                   * r["min_qty"] for r in rows)
    return [money(sum(profits)), str(len(rows)), percent(len(wins) / len(rows)),
            money(sum(wins) / len(wins)) if wins else "—", money(sum(losses) / len(losses)) if losses else "—",
            money(sum(wins) / -sum(losses)) if losses else "∞" if wins else "—",
            money(drawdown), percent(0 - daily), money(slippage)]  # drawdowns as depths, as on every page


def colours(png):
    """Which of the chart's colours cover at least 30 pixels of the image."""
    counts = Image.open(io.BytesIO(png)).convert("RGB").getcolors(maxcolors=1 << 20)
    seen = {colour for n, colour in counts if n >= 30}
    return {name for name, rgb in (("up", UP), ("down", DOWN), ("buy", BUY), ("sell", SELL)) if rgb in seen}


def glyph(chart, kind, marker=None):
    """The chart's renderer of that glyph (candle bodies and volume share one source)."""
    return next(g for g in chart if g["type"] == kind and g["marker"] == marker)


def number(value):
    """An account figure as the template prints it."""
    return f"{value:,}" if isinstance(value, int) else f"{value:,.2f}"


def test_report_shows_chart_markers_figures_and_tables(browser, tmp_path):
    account, quotes = report_page.replay("2330", 40, TRIPS)
    url = report_page.standard_report(account, quotes, "2330")
    rows, bars = account.get_profit_rows_by_code("2330"), quotes.get_kbar("2330", "m", 1)
    bar_of = {dt.strftime("%Y-%m-%d %H:%M:%S"): i for i, dt in enumerate(bars["dt"])}
    sides = [long for _, _, long, _ in TRIPS]

    def fills(buying):
        """(bar index, price) of the buys or the sells: a long opens with a buy."""
        return sorted((bar_of[row[f"{end}_dt"][:17] + "00"], row[f"{end}_price"])
                      for row, long in zip(rows, sides) for end in ("entry", "exit")
                      if (end == "entry") == (long == buying))

    with opened(browser, url, tmp_path, "report") as report:
        price_chart, equity_chart = report.glyphs()
        candles = glyph(price_chart, "VBar")["data"]
        assert [candles["x"], candles["high"], candles["low"]] == [
            list(range(bars.height)), bars["High"].to_list(), bars["Low"].to_list()]
        for marker, buying in (("triangle", True), ("inverted_triangle", False)):
            drawn = glyph(price_chart, "Scatter", marker)["data"]
            assert sorted(zip(drawn["x"], drawn["y"])) == fills(buying)
        assert colours(report.page.locator("#price-chart").screenshot()) == {"up", "down", "buy", "sell"}
        # The equity curve starts at zero on the first entry, steps at every exit and holds its
        # last level to the last bar.
        equity = [0] + list(itertools.accumulate(row["profit"] for row in rows))
        assert glyph(equity_chart, "Scatter", "circle")["data"]["equity"] == pytest.approx(equity)
        assert glyph(equity_chart, "Step")["data"]["equity"] == pytest.approx(equity + equity[-1:])

        assert report.texts("#stats dd") == headline(rows)
        assert report.texts("#title") == ["2330 回測報告"]
        cells = [[str(i + 1), "做多" if long else "做空", row["entry_dt"], money(row["entry_price"]),
                  money(row["entry_origin_price"]), row["exit_dt"], money(row["exit_price"]),
                  money(row["exit_origin_price"]), str(row["qty"]), money(row["trade_cost"]),
                  money(row["cover_cost"]), money(row["profit"]), percent(row["profit_ratio"])]
                 for i, (row, long) in enumerate(zip(rows, sides))]
        assert report.cells("#trades tbody tr") == cells
        by_profit = sorted(cells, key=lambda row_cells: rows[int(row_cells[0]) - 1]["profit"])
        for order in (by_profit, by_profit[::-1]):
            report.page.click("#trades th[data-key=profit]")
            assert report.texts("#trades tbody td:first-child") == [row_cells[0] for row_cells in order]

        # What the sells received less what the buys paid is the gross profit, shorts too.
        received = sum((r["exit_price"] if long else r["entry_price"]) * r["min_qty"] for r, long in zip(rows, sides))
        paid = sum((r["entry_price"] if long else r["exit_price"]) * r["min_qty"] for r, long in zip(rows, sides))
        costs = sum(r["trade_cost"] + r["cover_cost"] for r in rows)
        assert report.texts("#account td") == [
            number(account._account_infos["2330"]["entry_times"]), str(len(rows)), number(received),
            number(paid), number(received - paid), number(costs), number(sum(r["profit"] for r in rows)), "0"]
        assert report.cells("#fees tbody tr") == [["股票", "0.001425", "0.003", "10", "3 檔向上", "3 檔向下"],
                                                  ["期貨", "0.00002", "0.00002", "10", "3 檔向上", "3 檔向下"],
                                                  ["選擇權", "25 元/口", "0.001", "0", "1 檔向上", "1 檔向下"]]


HOSTILE = "</script><img src=x onerror=\"window.pwned=1\"><b>&amp;</b>'"


def test_hostile_codes_fees_and_numbers_render_as_text(browser, tmp_path):
    account, quotes = report_page.replay("2330", 30, TRIPS[:2])
    context = report_page.report_context(account, quotes, "2330")
    bars, markers = json.loads(context["kbar_df"]), json.loads(context["include_profit_rows"])
    rows = [dict(row, code=HOSTILE) for row in context["profit_rows"]]
    # json.dumps writes these as bare NaN and Infinity tokens, which JSON.parse refuses.
    rows[0]["profit_ratio"], rows[1]["profit_ratio"] = float("nan"), float("inf")
    rows[1]["profit"] = 0.0  # break-even: neither a win nor a loss in the figures
    for record in bars + markers:
        record["code"] = HOSTILE
    fees = copy.deepcopy(context["fee_settings"])
    fees["stock"]["fee"] = fees["stock"]["slippage"]["buy"]["direction"] = HOSTILE
    hostile = dict(context, kbar_df=json.dumps(bars), profit_rows=rows, profit_rows_json=json.dumps(rows),
                   include_profit_rows=json.dumps(markers), fee_settings=fees)
    with opened(browser, report_page.render(hostile, tmp_path / "hostile.html"), tmp_path, "hostile") as report:
        assert report.texts("#title") == [f"{HOSTILE} 回測報告"]
        assert report.texts("#stats dd") == headline(rows)
        assert report.page.evaluate("document.querySelectorAll('body img, body b').length") == 0
        assert report.page.evaluate("window.pwned") is None
        stock = report.cells("#fees tbody tr")[0]
        assert [stock[1], stock[4]] == [HOSTILE, f"3 檔{HOSTILE}"]
        assert report.texts("#trades tbody td:last-child") == ["—", "∞"]
        assert len(glyph(report.glyphs()[0], "Scatter", "triangle")["data"]["x"]) == 2


@pytest.mark.parametrize("with_bars", [True, False])
def test_report_without_trades(browser, tmp_path, with_bars):
    account, quotes = report_page.replay("2330", 30)
    if with_bars:
        url = report_page.standard_report(account, quotes, "2330")
    else:
        context = dict(report_page.report_context(account, quotes, "2330"), kbar_df="[]")
        url = report_page.render(context, tmp_path / "no-bars.html")
    with opened(browser, url, tmp_path, "no-trades" if with_bars else "no-bars") as report:
        drawn = [sorted((g["type"], g["marker"] or "", g["rows"]) for g in chart) for chart in report.glyphs()]
        assert drawn == ([[("Scatter", "inverted_triangle", 0), ("Scatter", "triangle", 0), ("Segment", "", 30),
                           ("VBar", "", 30), ("VBar", "", 30)]] if with_bars else [])
        assert report.texts("#price-chart > p, #equity-chart > p") == (
            [] if with_bars else ["沒有 K 線資料"]) + ["沒有已平倉的交易"]
        assert report.texts("#stats dd") == ["—", "0", "—", "—", "—", "—", "—", "—", "—"]
        assert report.texts("#trades tbody td") == ["沒有已平倉的交易"]
        assert report.texts("#account td") == ["0"] * 8


def test_hundred_thousand_bars_stay_usable(browser, tmp_path):
    trips = report_page.spread_trips(100_000, 1000)
    account, quotes = report_page.replay("2330", 100_000, trips)
    bars = quotes.get_kbar("2330", "m", 1)
    with opened(browser, report_page.standard_report(account, quotes, "2330"), tmp_path, "report-100k") as report:
        print(f"\nload to chart with {bars.height:,} one-minute bars: {report.load_to_chart_ms} ms")
        chart = report.glyphs()[0]
        markers = glyph(chart, "Scatter", "triangle")["rows"] + glyph(chart, "Scatter", "inverted_triangle")["rows"]
        assert markers == 2 * len(trips)
        # Merged candles keep the whole run's high and low.
        candles = glyph(chart, "VBar")
        assert candles["rows"] < 1000
        assert (min(candles["data"]["low"]), max(candles["data"]["high"])) == (bars["Low"].min(), bars["High"].max())
        # The wheel zooms the time axis in and a drag pans it, on the merged candles.
        box = report.page.locator("#price-chart").bounding_box()
        report.page.mouse.move(box["x"] + box["width"] / 2, box["y"] + box["height"] / 3)
        ranges = [report.x_range()]
        for _ in range(3):
            report.page.mouse.wheel(0, -200)
            report.page.wait_for_timeout(300)
            ranges.append(report.x_range())
        report.page.mouse.down()
        report.page.mouse.move(box["x"] + box["width"] / 4, box["y"] + box["height"] / 3, steps=5)
        report.page.mouse.up()
        ranges.append(report.x_range())
        spans = [end - start for start, end in ranges]
        assert spans[0] > spans[1] > spans[2] > spans[3] == pytest.approx(spans[4])
        assert ranges[4][0] > ranges[3][0]


def test_account_report_draws_its_equity_and_tables(browser, tmp_path):
    from orva_backtest.examples.ma_crossover import MovingAverageCrossover
    from orva_backtest.runner import run_backtest
    result = run_backtest(MovingAverageCrossover(), ["2330:Stock"], "2024-03-04", "2024-03-05",
                          data_dir=tmp_path / "run")
    page = next(p for p in result.files if p.endswith("account-report.html"))
    assert any(p.endswith("account-profit_report.html") for p in result.files)
    with opened(browser, "file://" + page, tmp_path, "account") as report:
        drawn = report.page.evaluate("""() => Bokeh.documents.flatMap((doc) => [...doc.all_models]
            .filter((m) => m.glyph && m.data_source)
            .map((r) => [r.glyph.type, r.data_source.get_length()]))""")
        assert sorted(drawn) == [["Step", result.equity.height], ["VAreaStep", result.equity.height]]
        assert report.texts("#instruments tbody th") == ["2330"]
        assert len(report.texts("#stats dd")) == 13 and report.texts("#months tbody th") == ["2024-03"]
