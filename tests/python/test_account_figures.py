"""The figures of a run agree with each other: balance and profit, the futures grid, the tear
sheet and the standard report, open positions, buying power, report times and synthetic prices."""
import json
import math
import random
from datetime import date, datetime

import pytest

from orva_backtest import Strategy
from orva_backtest.buying_power import BuyingPower, InsufficientFunds
from orva_backtest.market import SyntheticMarket
from orva_backtest.modules.positions.positions import Positions
from orva_backtest.runner import StrategyError, run_backtest

from account_helpers import fill


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("code, product", [("2330", "Stock"), ("TXFR1", "Future"), ("2881", "Stock")])
def test_a_flat_account_holds_capital_plus_its_profit(console, code, product, seed):
    rng = random.Random(seed)
    account = Positions()
    account.set_initial_capital(5_000_000)
    held, price, ts = 0, {"2330": 600.0, "TXFR1": 17000.0, "2881": 60.0}[code], 1.0
    for _ in range(rng.randint(1, 12)):  # fills that open, add, partly cover and reverse
        qty = rng.randint(1, 5)
        action = rng.choice(["Buy", "Sell"])
        held += qty if action == "Buy" else -qty
        price = account._Positions__ceil_price_by_tick(code, price * rng.uniform(0.97, 1.03))[0]
        account.set_positions(fill(action, qty, float(price), ts=ts, code=code, product_type=product), product)
        ts += 60
    if held:  # end flat
        account.set_positions(fill("Sell" if held > 0 else "Buy", abs(held), float(price), ts=ts,
                                   code=code, product_type=product), product)
    assert account.positions[code] == {"buy": [], "sell": []}
    profit = sum(r["profit"] for r in account._profit_report["rows"])
    assert account.current_capital == pytest.approx(5_000_000 + profit, abs=0.005)


@pytest.mark.parametrize("code, price, moved", [
    ("TXFR1", 17000.0, 17003), ("MXFR1", 20001.0, 20004), ("TMFR1", 999.0, 1002),
    ("EXFR1", 900.0, 900.15), ("FXFR1", 1800.0, 1800.6),
    ("CDFR1", 1000.0, 1015),  # a stock future keeps the stock bands
])
def test_futures_slip_on_their_own_tick(code, price, moved):
    account = Positions()
    cost = account._Positions__calculate_trade_cost(code, "Buy", price, 1, "Future")
    assert cost["price"] == pytest.approx(moved)
    assert account._Positions__ceil_price_by_tick(code, price + 0.01)[0] == pytest.approx(
        account._Positions__calculate_slippage_price(code, price, 1, "up"))


class BuyAndHold(Strategy):
    def __init__(self, qty=2, code="2330"):
        self.qty, self.code, self.ticks = qty, code, []

    def on_tick(self, ctx, tick):
        if tick["code"] == self.code and not ctx.position(self.code) and not ctx.pending_orders:
            ctx.buy(self.code, self.qty)


class Swing(Strategy):
    """Buys and sells every 3,000 ticks, so trades close on some days only, and records what
    the report callbacks see."""

    def __init__(self):
        self.count, self.seen = 0, []

    def on_tick(self, ctx, tick):
        self.count += 1
        if self.count % 3000 == 0:
            (ctx.sell if ctx.position("2330") else ctx.buy)("2330", 1)

    def on_deal_report(self, ctx, report):
        self.seen.append((ctx.tick["timestamp"], ctx.now, report["exchange_ts"]))


def test_open_positions_and_slippage_are_reported(tmp_path, console):
    result = run_backtest(BuyAndHold(), ["2330:Stock"], "2024-03-04", "2024-03-05",
                          data_dir=tmp_path, capital=10_000_000)
    held = result.instruments["2330"].open
    entries = result.account.positions["2330"]["buy"]  # partial fills make several
    last = result.account.current_tick_infos["2330"]["close"]
    assert held.quantity == 2 and held.last_price == last
    assert held.unrealised == pytest.approx(sum((last - e["price"]) * e["quantity"] * 1000 for e in entries))
    summary = result.summary()
    assert summary["instruments"]["2330"]["open_position"]["quantity"] == 2
    assert summary["unrealised_profit"] == held.unrealised and summary["synthetic_market"] is True
    page = open(f"{result.folder}/report/2330-report.html", encoding="utf-8").read()
    assert 'data-key="open_quantity">+2 @' in page


def test_slippage_is_its_own_cost(tmp_path):
    result = run_backtest(Swing(), ["2330:Stock"], "2024-03-04", "2024-03-05", data_dir=tmp_path,
                          reports=False)
    rows = result.profit_rows
    assert rows and result.instruments["2330"].slippage == pytest.approx(
        sum(3 * 2 * r["min_qty"] for r in rows))  # 3 ticks of 1 on each side of 2330 at ~600


def test_report_callbacks_see_the_tick_being_matched(tmp_path):
    for mode in ("direct", "paced"):
        strategy = Swing()
        run_backtest(strategy, ["2330:Stock"], "2024-03-04", "2024-03-04", data_dir=tmp_path / mode,
                     mode=mode, reports=False)
        assert strategy.seen
        for tick_time, now, filled in strategy.seen:
            assert tick_time == filled and now == datetime.fromtimestamp(filled)


def test_a_negative_balance_is_warned_once_and_the_cash_check_refuses_it(tmp_path):
    result = run_backtest(BuyAndHold(qty=50), ["2330:Stock"], "2024-03-04", "2024-03-04",
                          data_dir=tmp_path / "plain", reports=False)
    assert result.balance < 0 and len(result.warnings) == 1 and "低於 0" in result.warnings[0]
    with pytest.raises(StrategyError) as raised:
        run_backtest(BuyAndHold(qty=50), ["2330:Stock"], "2024-03-04", "2024-03-04",
                     data_dir=tmp_path / "checked", reports=False, cash_check=True)
    assert isinstance(raised.value.__cause__, InsufficientFunds)
    assert "2330" in str(raised.value) and "可用 1,000,000" in str(raised.value)
    ok = run_backtest(BuyAndHold(qty=1), ["2330:Stock"], "2024-03-04", "2024-03-04",
                      data_dir=tmp_path / "one", reports=False, cash_check=True)
    assert ok.instruments["2330"].open.quantity == 1 and not ok.warnings


@pytest.mark.parametrize("margin, refused", [(None, False), ({"TXFR1": 2_000_000}, True)])
def test_futures_need_their_margin(tmp_path, margin, refused):
    def run():
        return run_backtest(BuyAndHold(qty=1, code="TXFR1"), ["TXFR1:Future"], "2024-03-04",
                            "2024-03-04", data_dir=tmp_path / str(refused), reports=False,
                            cash_check=True, margins=margin)
    if refused:
        with pytest.raises(StrategyError, match="資金不足"):
            run()
        return
    result = run()  # 1 contract's value is far above the capital, its margin is not
    (entry,) = result.account.positions["TXFR1"]["buy"]
    paid = result.account.initial_capital - result.balance - (entry["price"] + 3) * 200  # 3 ticks of 1 point
    assert 0 < paid < 100  # fee and fixed cost: they stay spent
    power = BuyingPower(result.account, {"TXFR1": "Future"})
    assert power.available() == pytest.approx(1_000_000 - paid - power.margin("TXFR1", entry["price"]))


def test_the_tear_sheet_has_every_trading_day_and_the_account_s_figures(tmp_path, monkeypatch):
    import quantstats_lumi
    calls = []
    monkeypatch.setattr(quantstats_lumi.reports, "html", lambda **kw: calls.append(kw) or open(
        kw["output"], "w").write("<h4>x</h4>"))
    days = ("2024-03-04", "2024-03-08")
    result = run_backtest(Swing(), ["2330:Stock"], *days, data_dir=tmp_path)
    (call,) = [c for c in calls if c["output"].endswith("2330-profit_report.html")]
    returns, benchmark = call["returns"], call["benchmark"]
    assert [d.date().isoformat() for d in returns.index] == [
        "2024-03-01", "2024-03-04", "2024-03-05", "2024-03-06", "2024-03-07", "2024-03-08"]
    assert list(benchmark.index) == list(returns.index) and not benchmark.isna().any()
    assert call["match_dates"] is False
    total = math.prod(1 + r for r in returns) - 1
    assert total == pytest.approx(result.instruments["2330"].net_profit / 1_000_000)
    page = open(f"{result.folder}/profit_report/2330-profit_report.html", encoding="utf-8").read()
    assert "報酬基礎" in page  # the page says on which basis it measures
    # QuantStats measures the same drawdown as the standard report's daily one.
    from quantstats_lumi import stats
    equity, peak, worst = 1_000_000, 1_000_000, 0.0
    for day in sorted({r["exit_dt"][:10] for r in result.profit_rows}):
        equity += sum(r["profit"] for r in result.profit_rows if r["exit_dt"].startswith(day))
        peak, worst = max(peak, equity), min(worst, equity / max(peak, equity) - 1)
    assert stats.max_drawdown(returns) == pytest.approx(worst)
    assert len(stats.drawdown_details(stats.to_drawdown_series(returns))) >= (worst < 0)


def test_synthetic_prices_keep_the_daily_limit():
    market = SyntheticMarket(mean_gap_seconds=60)  # fewer ticks; the closes do not depend on it
    for code, table in (("2330", market.Contracts.Stocks), ("TXFR1", market.Contracts.Futures),
                        ("9999", market.Contracts.Stocks)):
        contract, previous = table[code], None
        for day in range(date(2024, 1, 2).toordinal(), date(2024, 4, 1).toordinal()):
            ticks = market.ticks(contract=contract, date=date.fromordinal(day).isoformat())
            if not ticks["close"]:
                continue
            if previous is not None:
                assert previous * 0.9 <= min(ticks["close"]) <= max(ticks["close"]) <= previous * 1.1
                assert abs(ticks["close"][0] / previous - 1) < 0.02  # opens near the last close
            previous = ticks["close"][-1]


def test_json_summary_says_the_market_is_synthetic(tmp_path, console):
    from orva_backtest.cli import run_cli
    strategy = tmp_path / "hold.py"
    strategy.write_text("from orva_backtest import Strategy\nclass Hold(Strategy):\n    pass\n")
    assert run_cli(["run", str(strategy), "--codes", "9999:Stock", "--start", "2024-03-04",
                    "--end", "2024-03-04", "--data-dir", str(tmp_path / "d"), "--no-reports",
                    "--json", str(tmp_path / "out.json")]) == 0
    assert json.loads((tmp_path / "out.json").read_text(encoding="utf-8"))["synthetic_market"] is True


def test_every_page_measures_the_account_s_days_alike(tmp_path, monkeypatch):
    import pandas as pd
    import quantstats_lumi
    from quantstats_lumi import stats as qs
    from orva_backtest.examples.ma_crossover import MovingAverageCrossover
    calls = []
    monkeypatch.setattr(quantstats_lumi.reports, "html", lambda **kw: calls.append(kw) or open(
        kw["output"], "w").write("<h4>x</h4>"))
    result = run_backtest(MovingAverageCrossover(), ["2330:Stock"], "2024-03-04", "2024-03-29",
                          data_dir=tmp_path, capital=10_000_000)  # 20 trading days
    sheets = {c["output"].rsplit("/", 1)[1]: c for c in calls}
    for call in sheets.values():  # anchored on the trading day before (a Friday), at rate 0
        assert call["returns"].index[0] == pd.Timestamp("2024-03-01") and call["rf"] == 0
    call = sheets["account-profit_report.html"]
    stats, returns, rate, year = result.stats(), call["returns"], call["rf"], call["periods_per_year"]
    assert stats["sharpe"] == pytest.approx(qs.sharpe(returns, rf=rate, periods=year))
    assert stats["sortino"] == pytest.approx(qs.sortino(returns, rf=rate, periods=year))
    assert stats["cagr"] == pytest.approx(qs.cagr(returns, rf=rate, periods=year))
    assert result.summary()["stats"]["sharpe"] == stats["sharpe"] and result.summary()["stats_note"] is None
    page = open(f"{result.folder}/report/account-report.html", encoding="utf-8").read()
    assert f"<dd>{stats['sharpe']:.2f}</dd>" in page and 'id="risk-free">0%' in page
    sheet = open(f"{result.folder}/profit_report/account-profit_report.html", encoding="utf-8").read()
    assert "無風險利率 0%" in sheet


def test_a_one_day_run_shows_no_annualised_figures(tmp_path, capsys):
    from orva_backtest.cli import _show
    from orva_backtest.research.summary import main_figures
    result = run_backtest(Swing(), ["2330:Stock"], "2024-03-04", "2024-03-04", data_dir=tmp_path,
                          reports=False)
    assert result.stats()["return_pct"] != 0
    shown = dict(main_figures(result.stats()))
    assert [shown["年化報酬"], shown["Sharpe"], shown["Sortino"]] == ["—"] * 3
    summary = result.summary()
    assert summary["stats"]["cagr"] is None and "1 個交易日" in summary["stats_note"]
    _show(result)
    assert "只有 1 個交易日 (少於 20 日)" in capsys.readouterr().out


def test_open_futures_read_as_a_futures_statement(tmp_path, capsys):
    from orva_backtest.cli import _show
    result = run_backtest(BuyAndHold(qty=5, code="TXFR1"), ["TXFR1:Future"], "2024-03-04", "2024-03-04",
                          data_dir=tmp_path, reports=False, cash_check=True, margins={"TXFR1": 184_000})
    held = result.instruments["TXFR1"].open
    entries = result.account.positions["TXFR1"]["buy"]
    average = sum(e["price"] * e["quantity"] for e in entries) / 5
    assert held.quantity == 5 and held.average_price == pytest.approx(average)
    assert result.balance < 0 < result.account_equity  # the balance charged 5 contracts' whole value
    assert result.account_equity == pytest.approx(1_000_000 + held.unrealised)
    assert result.margin_in_use == 5 * 184_000
    summary = result.summary()
    assert (summary["equity"], summary["margin_in_use"]) == (result.account_equity, 920_000)
    # Marked at the contract's 200 a point, not a stock's 1,000 shares.
    last = result.account.current_tick_infos["TXFR1"]["close"]
    assert result.equity["equity"][-1] == pytest.approx(1_000_000 + (last - average) * 5 * 200)
    _show(result)
    out = capsys.readouterr().out
    assert f"+5 @ {average:,.2f} (最後價 {last:,})" in out
    assert f"權益 {result.account_equity:,.2f}" in out and "保證金占用 920,000.00" in out
