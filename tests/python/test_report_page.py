"""The standard report page in headless Chromium, opened from file:// with the network blocked."""
import io
import itertools
import os
from contextlib import contextmanager
from decimal import ROUND_HALF_UP, Decimal

import pytest
from PIL import Image

import report_page
from report_page import FEES

UP, DOWN, BUY, SELL = (211, 47, 47), (46, 125, 50), (21, 101, 192), (239, 108, 0)


@pytest.fixture(scope="module")
def browser():
    missing = report_page.missing_browser()
    if missing:
        if os.environ.get("CI") == "true":
            pytest.fail(missing)
        pytest.skip(missing)
    with report_page.chromium() as opened:
        yield opened


@contextmanager
def opened(browser, context, tmp_path, name):
    """The rendered page, loaded; it must have asked nothing of the network and logged no error."""
    report = report_page.OpenedReport(browser, report_page.render(context, tmp_path / f"{name}.html"))
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


def headline(rows):
    """The headline figures as the page should print them, worked out from the rows."""
    profits = [row["profit"] for row in rows]
    wins, losses = [p for p in profits if p > 0], [p for p in profits if p < 0]
    equity = list(itertools.accumulate(profits))
    peaks = itertools.accumulate([0] + equity, max)
    drawdown = max(peak - value for peak, value in zip(peaks, [0] + equity))
    return [money(sum(profits)), str(len(rows)), percent(len(wins) / len(rows)),
            money(sum(wins) / len(wins)) if wins else "—", money(sum(losses) / len(losses)) if losses else "—",
            money(sum(wins) / -sum(losses)) if losses else "∞" if wins else "—",
            money(-drawdown if drawdown else 0)]


def colours(png):
    """Which of the chart's colours cover at least 30 pixels of the image."""
    counts = Image.open(io.BytesIO(png)).convert("RGB").getcolors(maxcolors=1 << 20)
    seen = {colour for n, colour in counts if n >= 30}
    return {name for name, rgb in (("up", UP), ("down", DOWN), ("buy", BUY), ("sell", SELL)) if rgb in seen}


def glyph(chart, kind, marker=None):
    """The chart's renderer of that glyph (candle bodies and volume share one source)."""
    return next(g for g in chart if g["type"] == kind and g["marker"] == marker)


def known_rows(code):
    trade = report_page.round_trip
    return [trade(code, "2024-03-04 09:03:12", 600.0, "2024-03-04 09:10:42", 606.0, long=True),
            trade(code, "2024-03-04 09:15:42", 605.0, "2024-03-04 09:20:05", 599.0, long=False, qty=2),
            trade(code, "2024-03-04 09:25:30", 603.0, "2024-03-04 09:31:59", 598.0, long=True),
            trade(code, "2024-03-04 09:33:00", 598.0, "2024-03-04 09:36:10", 601.0, long=False)]


def test_report_shows_chart_markers_figures_and_tables(browser, tmp_path):
    bars, rows = report_page.minute_bars("2330", 40), known_rows("2330")
    account = {"entry_times": 4, "cover_times": 4, "receive_amount": 3617000.0, "payable_amount": 3609000.0,
               "net_profit": 8000.0, "extra_fee": 7000.5, "profit": sum(row["profit"] for row in rows)}
    with opened(browser, report_page.context(bars, rows, FEES, account), tmp_path, "report") as report:
        price_chart, equity_chart = report.glyphs()
        candles = glyph(price_chart, "VBar")["data"]
        assert [candles["x"], candles["high"], candles["low"]] == [
            list(range(40)), [bar["high"] for bar in bars], [bar["low"] for bar in bars]]
        # Fills sit on the bar of their minute (09:03:12 on 09:03); a long opens with a buy.
        buys = glyph(price_chart, "Scatter", "triangle")["data"]
        sells = glyph(price_chart, "Scatter", "inverted_triangle")["data"]
        assert sorted(zip(buys["x"], buys["y"])) == [
            (3, rows[0]["entry_price"]), (20, rows[1]["exit_price"]), (25, rows[2]["entry_price"]),
            (36, rows[3]["exit_price"])]
        assert sorted(zip(sells["x"], sells["y"])) == [
            (10, rows[0]["exit_price"]), (15, rows[1]["entry_price"]), (31, rows[2]["exit_price"]),
            (33, rows[3]["entry_price"])]
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
                 for i, (row, long) in enumerate(zip(rows, (True, False, True, False)))]
        assert report.cells("#trades tbody tr") == cells
        by_profit = sorted(cells, key=lambda row_cells: rows[int(row_cells[0]) - 1]["profit"])
        for order in (by_profit, by_profit[::-1]):
            report.page.click("#trades th[data-key=profit]")
            assert report.texts("#trades tbody td:first-child") == [row_cells[0] for row_cells in order]

        assert report.texts("#account td") == [
            "4", "4", "3,617,000.00", "3,609,000.00", "8,000.00", "7,000.50", money(account["profit"])]
        assert report.cells("#fees tbody tr") == [["股票", "0.001425", "0.003", "10", "3 檔向上", "3 檔向下"],
                                                  ["期貨", "2e-05", "2e-05", "10", "3 檔向上", "3 檔向下"]]


HOSTILE = "</script><img src=x onerror=\"window.pwned=1\"><b>&amp;</b>'"


def test_hostile_codes_fees_and_numbers_render_as_text(browser, tmp_path):
    fees = {"stock": dict(FEES["stock"], fee=HOSTILE,
                          slippage={"buy": {"tick_count": 3, "direction": HOSTILE},
                                    "sell": {"tick_count": 3, "direction": "down"}}),
            "future": FEES["future"]}
    rows = known_rows(HOSTILE)[:2]
    # json.dumps writes these as bare NaN and Infinity tokens, which JSON.parse refuses.
    rows[0]["profit_ratio"], rows[1]["profit_ratio"] = float("nan"), float("inf")
    context = report_page.context(report_page.minute_bars(HOSTILE, 30), rows, fees)
    with opened(browser, context, tmp_path, "hostile") as report:
        assert report.texts("#title") == [f"{HOSTILE} 回測報告"]
        assert report.texts("#stats dd") == headline(rows)
        assert report.page.evaluate("document.querySelectorAll('body img, body b').length") == 0
        assert report.page.evaluate("window.pwned") is None
        stock = report.cells("#fees tbody tr")[0]
        assert [stock[1], stock[4]] == [HOSTILE, f"3 檔{HOSTILE}"]
        assert report.texts("#trades tbody td:last-child") == ["—", "∞"]
        assert len(glyph(report.glyphs()[0], "Scatter", "triangle")["data"]["x"]) == 2


def test_report_without_bars_or_trades(browser, tmp_path):
    context = report_page.context([], [])
    with opened(browser, context, tmp_path, "empty") as report:
        assert report.glyphs() == []
        assert report.texts("#price-chart, #equity-chart") == ["沒有 K 線資料", "沒有已平倉的交易"]
        assert report.texts("#stats dd") == ["—", "0", "—", "—", "—", "—", "—"]
        assert report.texts("#trades tbody td") == ["沒有已平倉的交易"]
        assert report.texts("#account td") == ["0"] * 7


def test_hundred_thousand_bars_stay_usable(browser, tmp_path):
    bars, rows = report_page.long_run(100_000, 1000)
    with opened(browser, report_page.context(bars, rows), tmp_path, "report-100k") as report:
        print(f"\nload to chart with {len(bars):,} one-minute bars: {report.load_to_chart_ms} ms")
        chart = report.glyphs()[0]
        markers = glyph(chart, "Scatter", "triangle")["rows"] + glyph(chart, "Scatter", "inverted_triangle")["rows"]
        assert markers == 2 * len(rows)
        # Merged candles keep the whole run's high and low.
        candles = glyph(chart, "VBar")["data"]
        assert glyph(chart, "VBar")["rows"] < 1000
        assert (min(candles["low"]), max(candles["high"])) == (
            min(bar["low"] for bar in bars), max(bar["high"] for bar in bars))
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
