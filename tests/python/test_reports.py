import csv
import json
import re
from datetime import datetime

import pandas as pd
import pytest
import quantstats_lumi

from orva_backtest.modules.positions import positions as module
from orva_backtest.modules.positions.positions import Positions, QuoteManager

from account_helpers import fill, tick


pytestmark = pytest.mark.usefixtures("taipei_data_dir")


def ts(day, hour, minute, second=0):
    return datetime(2024, 3, day, hour, minute, second).timestamp()


def trade(account, opened, closed, code="2330", price=600.0, exit_price=610.0):
    account.set_positions(fill("Buy", 1, price, ts=opened, code=code), "Stock")
    account.set_positions(fill("Sell", 1, exit_price, ts=closed, code=code), "Stock")


@pytest.fixture
def quotes():
    qm = QuoteManager()
    for day in (4, 5, 6, 7):
        for minute in range(0, 60, 5):
            for code, close in (("2330", 600.0 + minute), ("0050", 150.0 + day + minute / 100)):
                qm.add_tick({**tick(code, close, ts=ts(day, 9, minute, 30)), "market_type": "Stock"})
    return qm


class Recorder:
    def __init__(self):
        self.contexts = []

    def render(self, context):
        self.contexts.append(context)
        return "<html>page</html>"


@pytest.fixture
def page(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(module, "template", recorder)  # looked up at every report
    return recorder


def test_save_paths_and_folders(tmp_path):
    account = Positions()
    save = account._Positions__generate_save_path
    assert save(None, "report") == str(tmp_path / "report") and (tmp_path / "report").is_dir()
    assert save("x.csv") == str(tmp_path / "x.csv")
    assert save("y.csv", "a", "b") == str(tmp_path / "a" / "b" / "y.csv") and (tmp_path / "a" / "b").is_dir()
    assert save() == str(tmp_path)
    with pytest.raises(TypeError, match="sub_folder"):
        save(None, 3)
    with pytest.raises(TypeError, match="file_name"):
        save(b"x")


@pytest.mark.parametrize("with_records", [True, False])
def test_export_trade_records(tmp_path, console, with_records):
    account = Positions()
    if with_records:
        account.add_trade_record("T1", "2330", "Buy", 1, 600.0, ts(4, 9, 0), "Deal")
    account.export_trade_records()
    (path,) = (tmp_path / "trade_records").iterdir()
    assert path.name.endswith("_trade_records.csv") and console.lines == [
        f"[bold green]交易紀錄已匯出至: {path}[/bold green]"]
    if with_records:
        rows = list(csv.reader(path.open(encoding="utf-8")))
        assert rows == [["trade_id", "code", "action", "quantity", "price", "dt", "trade_status"],
                        ["T1", "2330", "Buy", "1", "600.0", "2024-03-04 09:00:00.000000", "Deal"]]
    else:
        assert path.read_text(encoding="utf-8").strip() == ""


def test_profit_rows_by_code_are_the_stored_rows_in_closing_order():
    account = Positions()
    trade(account, ts(4, 9, 0), ts(4, 9, 30))
    trade(account, ts(4, 9, 5), ts(4, 9, 35), code="2317", price=100.0, exit_price=101.0)
    trade(account, ts(5, 9, 0), ts(5, 10, 0), exit_price=590.0)
    rows = account.get_profit_rows_by_code("2330")
    stored = account._profit_report["rows"]
    assert [r is s for r, s in zip(rows, [stored[0], stored[2]])] == [True, True]
    assert account.get_profit_rows_by_code("9999") == []
    with pytest.raises(TypeError, match="code"):
        account.get_profit_rows_by_code(None)


def test_standard_report_context(tmp_path, quotes, page, console):
    account = Positions()
    trade(account, ts(4, 9, 10, 42), ts(4, 9, 31, 5))
    console.lines.clear()
    account.generate_standard_report("2330", quotes)
    (context,) = page.contexts
    assert list(context) == ["kbar_df", "profit_rows", "profit_rows_json", "include_profit_rows",
                             "fee_settings", "account_info", "initial_capital", "open_position",
                             "account_summary", "sides_json", "fill_rules"]
    assert context["initial_capital"] == 100000 and context["open_position"] is None
    bars = json.loads(context["kbar_df"])
    assert bars[0] == {"time": "2024-03-04 09:00:00", "code": "2330", "open": 600.0, "high": 600.0,
                       "low": 600.0, "close": 600.0, "volume": 1}
    (row,) = context["profit_rows"]
    assert (row["entry_dt"], row["exit_dt"]) == ("2024-03-04 09:10:42", "2024-03-04 09:31:05")
    assert account.get_profit_rows_by_code("2330")[0] is row
    assert json.loads(context["profit_rows_json"]) == [row]
    entry, exit_ = json.loads(context["include_profit_rows"])
    assert entry == {"code": "2330", "type": "entry", "dt": "2024-03-04 09:10:00", "qty": 1,
                     "price": row["entry_price"], "origin_price": 600.0}
    assert exit_["type"] == "exit" and exit_["dt"] == "2024-03-04 09:31:00"
    assert context["fee_settings"] is account._fee_settings
    assert context["account_info"] is account._account_infos["2330"]
    path = tmp_path / "report" / "2330-report.html"
    assert path.read_text(encoding="utf-8") == "<html>page</html>"
    assert console.lines == ["[bold green]產生 2330 的回測報告...[/bold green]",
                             f"[bold green]回測基本報告已產生: {path}[/bold green]"]
    account.generate_standard_report("2330", quotes)  # repeatable: the rows already hold text
    assert page.contexts[1]["include_profit_rows"] == context["include_profit_rows"]


def test_standard_report_without_trades(quotes, page):
    Positions().generate_standard_report("0050", quotes)
    (context,) = page.contexts
    assert context["profit_rows"] == [] and context["profit_rows_json"] == "[]"
    assert context["include_profit_rows"] == "[]"
    assert context["account_info"] == Positions()._Positions__init_account_info()


@pytest.mark.parametrize("code", ["../x", "a/b", "a\\b", "x\n", ""])
def test_report_codes_that_cannot_be_file_names_are_refused_first(tmp_path, quotes, page, code):
    for report in (Positions().generate_standard_report, Positions().generate_qs_profit_report):
        with pytest.raises(ValueError, match="不合法的商品代碼"):
            report(code, quotes)
    assert list(tmp_path.iterdir()) == []


@pytest.fixture
def tear_sheet(monkeypatch):
    calls = []
    def html(**kwargs):
        calls.append(kwargs)
        with open(kwargs["output"], "w", encoding="utf-8") as f:
            f.write("<h4>tear sheet</h4>")
    monkeypatch.setattr(quantstats_lumi.reports, "html", html)
    return calls


def qs_report(account, quotes, tmp_path):
    account.generate_qs_profit_report("2330", quotes)
    path = tmp_path / "profit_report" / "2330-profit_report.csv"
    return path


def test_qs_report_has_a_return_for_every_trading_day(tmp_path, quotes, tear_sheet, console):
    account = Positions()
    trade(account, ts(4, 9, 0), ts(4, 9, 30))
    trade(account, ts(4, 9, 40), ts(4, 9, 50), exit_price=590.0)
    trade(account, ts(6, 9, 0), ts(6, 9, 20), exit_price=620.0)
    csv_path = qs_report(account, quotes, tmp_path)
    (kwargs,) = tear_sheet
    html = str(tmp_path / "profit_report" / "2330-profit_report.html")
    assert {k: v for k, v in kwargs.items() if k not in ("returns", "benchmark")} == {
        "download_filename": html, "output": html, "rf": 0.0, "title": "進階損益報告",
        "benchmark_title": "0050", "periods_per_year": 252, "match_dates": False}
    profits = [r["profit"] for r in account.get_profit_rows_by_code("2330")]
    returns = kwargs["returns"]
    # The start (the trading day before, a Friday, at the initial capital), then every trading day.
    assert list(returns.index) == [pd.Timestamp(f"2024-03-0{d}") for d in (1, 4, 5, 6, 7)]
    first = (profits[0] + profits[1]) / 100000
    assert list(returns) == pytest.approx([0.0, first, 0.0, profits[2] / (100000 + profits[0] + profits[1]), 0.0])
    benchmark = kwargs["benchmark"]  # 0050 closes 150 + day + 0.55; the first day from its open
    assert list(benchmark.index) == list(returns.index)
    assert list(benchmark) == pytest.approx([0.0, 154.55 / 154 - 1, 155.55 / 154.55 - 1,
                                             156.55 / 155.55 - 1, 157.55 / 156.55 - 1])
    assert "報酬基礎" in open(html, encoding="utf-8").read()
    raw = csv_path.read_bytes()
    assert raw.startswith(b"\xef\xbb\xbf")
    table = pd.read_csv(csv_path, encoding="utf-8-sig")
    assert list(table.columns) == [*account.get_profit_rows_by_code("2330")[0], "side"]
    assert console.lines[-2:] == [f"[bold green]進階損益報告已產生: {html}[/bold green]",
                                  f"[bold green]損益報告 CSV 已產生: {csv_path}[/bold green]"]


def test_qs_report_reads_raw_and_rewritten_times_alike(tmp_path, quotes, tear_sheet, page):
    # Made before the standard report (times in seconds) or after it (times as text).
    runs = []
    for standard_first in (False, True):
        account = Positions()
        trade(account, ts(4, 9, 0), ts(4, 13, 0))
        trade(account, ts(5, 9, 0), ts(6, 9, 30, 15), exit_price=580.0)
        if standard_first:
            account.generate_standard_report("2330", quotes)
        csv_path = qs_report(account, quotes, tmp_path)
        runs.append((tear_sheet[-1]["returns"], pd.read_csv(csv_path, encoding="utf-8-sig")))
    (first, first_csv), (second, second_csv) = runs
    assert first.equals(second) and list(first.index) == [pd.Timestamp(f"2024-03-0{d}") for d in (1, 4, 5, 6, 7)]
    assert list(first)[2] == list(first)[4] == 0.0
    assert list(first_csv["exit_dt"]) == list(second_csv["exit_dt"]) == ["2024-03-04 13:00:00", "2024-03-06 09:30:15"]
    assert first_csv.drop(columns=["entry_dt"]).equals(second_csv.drop(columns=["entry_dt"]))


@pytest.mark.parametrize("raised", [RuntimeError("a release that fails on short runs"), KeyboardInterrupt()])
def test_a_failing_tear_sheet_is_told_but_a_ctrl_c_in_it_stops_the_run(tmp_path, quotes, monkeypatch,
                                                                       console, raised):
    def html(**kwargs):
        raise raised
    monkeypatch.setattr(quantstats_lumi.reports, "html", html)
    account = Positions()
    trade(account, ts(4, 9, 0), ts(4, 9, 30))
    if isinstance(raised, KeyboardInterrupt):
        with pytest.raises(KeyboardInterrupt):
            qs_report(account, quotes, tmp_path)
    else:
        csv_path = qs_report(account, quotes, tmp_path)
        assert "QuantStats 無法產生 2330" in console.lines[-1] and csv_path.exists()


def test_qs_report_skips_unreadable_exit_times(tmp_path, quotes, tear_sheet, console):
    account = Positions()
    trade(account, ts(4, 9, 0), ts(4, 9, 30))
    trade(account, ts(5, 9, 0), ts(5, 9, 30))
    account.get_profit_rows_by_code("2330")[1]["exit_dt"] = "not a time"
    csv_path = qs_report(account, quotes, tmp_path)
    returns = tear_sheet[0]["returns"]  # the unreadable exit is in no day
    assert len(returns) == 5 and list(returns)[2:] == [0.0, 0.0, 0.0]
    assert pd.read_csv(csv_path, encoding="utf-8-sig")["exit_dt"].isna().tolist() == [False, True]
    for row in account.get_profit_rows_by_code("2330"):
        row["exit_dt"] = None
    console.lines.clear()
    qs_report(account, quotes, tmp_path)
    assert len(tear_sheet) == 1 and csv_path.exists()
    assert console.lines[-1].startswith("[red]") and "出場時間" in console.lines[-1]


def test_qs_report_without_rows_or_benchmark(tmp_path, tear_sheet, console):
    account = Positions()
    account.generate_qs_profit_report("2330", QuoteManager())
    assert console.lines == ["[red]尚未有損益報告資料, 無法產生進階績效報告[/red]"]
    assert list(tmp_path.iterdir()) == []
    trade(account, ts(4, 9, 0), ts(4, 9, 30))
    quotes = QuoteManager()
    quotes.add_tick({**tick("2330", 600.0, ts=ts(4, 9, 0)), "market_type": "Stock"})
    account.generate_qs_profit_report("2330", quotes)  # a benchmark never replayed: left out
    (kwargs,) = tear_sheet
    assert "benchmark" not in kwargs and "0050" in console.lines[-3]
    assert [d.day for d in kwargs["returns"].index] == [1, 4] and kwargs["returns"].iloc[0] == 0.0
    assert "沒有基準" in (tmp_path / "profit_report" / "2330-profit_report.html").read_text(encoding="utf-8")


@pytest.mark.parametrize("days", [1, 2])
def test_short_runs_get_their_tear_sheet(tmp_path, quotes, days):
    account = Positions()
    for day in range(4, 4 + days):
        trade(account, ts(day, 9, 0), ts(day, 9, 30), exit_price=600.0 + day)
    account.generate_qs_profit_report("2330", quotes)
    sheet = tmp_path / "profit_report" / "2330-profit_report.html"
    page = sheet.read_text(encoding="utf-8")
    assert "進階損益報告" in page and "無風險利率 0%" in page
    assert '<div id="rolling_' not in page  # half-year windows: empty frames on a short run
    # Every trip lost to the slippage: the run ended at its low, nothing recovered.
    assert f"<td>2024-03-0{3 + days}</td><td>-" not in page and "未回復" in page


def test_short_trips_add_up_in_the_report_s_summary_and_csv(tmp_path, quotes, tear_sheet):
    # Two shorts covered by one buy of 2 (two round trips from one fill), then a long trip.
    account = Positions()
    for action, qty, price, minute in (("Sell", 1, 600.0, 0), ("Sell", 1, 610.0, 5), ("Buy", 2, 590.0, 10)):
        account.set_positions(fill(action, qty, price, ts=ts(4, 9, minute)), "Stock")
    trade(account, ts(4, 9, 20), ts(4, 9, 30))
    account.generate_standard_report("2330", quotes)
    page = (tmp_path / "report" / "2330-report.html").read_text(encoding="utf-8")
    shown = {key: float(text.replace(",", "")) for key, text in re.findall(r'data-key="(\w+)">([-\d,.]+)<', page)}
    rows = account.get_profit_rows_by_code("2330")
    gross = sum(r["profit"] + r["trade_cost"] + r["cover_cost"] for r in rows)
    assert shown["round_trips"] == len(rows) == 3  # as the console counts them, not the 2 cover fills
    assert shown["receive_amount"] - shown["payable_amount"] == pytest.approx(gross, abs=0.02)
    assert shown["gross_profit"] == pytest.approx(gross, abs=0.01) and gross == pytest.approx(22_000)  # 3 ticks of slippage a side
    assert shown["profit"] == pytest.approx(sum(r["profit"] for r in rows), abs=0.01)
    # Rates in plain decimals: the futures fee is 0.00002, not 2e-05.
    assert "<td class=\"num\">0.00002</td>" in page and "2e-05" not in page
    account.generate_qs_profit_report("2330", quotes)
    table = pd.read_csv(tmp_path / "profit_report" / "2330-profit_report.csv", encoding="utf-8-sig")
    assert list(table["side"]) == ["short", "short", "long"]
