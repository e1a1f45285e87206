"""Statistics and the equity curve against hand-computed values, the account report in a
browser, and walk-forward windows against independent runs of the chosen parameters."""
import math
import os
import signal
import socket
import subprocess
import sys
import time
from datetime import date, datetime

import numpy as np
import polars as pl
import pytest

from orva_backtest.cli import run_cli
from orva_backtest.modules.positions.positions import Positions, QuoteManager, _bar_span
from orva_backtest.research import equity
from orva_backtest.research.walkforward import run_walkforward, stitch, trading_days, windows
from orva_backtest.runner import run_backtest

from account_helpers import fill, tick
from test_report_page import browser  # noqa: F401  the Chromium fixture, shared

pytestmark = pytest.mark.usefixtures("taipei_data_dir", "console")


def at(day, hour, minute, second=0):
    return datetime(2024, 3, day, hour, minute, second).timestamp()


@pytest.fixture
def two_days():
    """Bought at 600 and sold at 605 on the 4th, bought at 600 and sold at 590 on the 5th; no
    costs, no slippage; capital 1,000,000."""
    account, quotes = Positions(), QuoteManager()
    account.set_initial_capital(1_000_000)
    account.update_fee_settings("stock", fee=0.0, tax=0.0, per_trade_cost=0)
    for side in ("buy", "sell"):
        account.update_fee_settings("stock", action=side, tick_count=0)
    for day, hm, close in [(4, (9, 0, 30), 600.0), (4, (9, 1, 30), 610.0), (4, (9, 2, 30), 605.0),
                           (5, (9, 0, 30), 600.0), (5, (9, 1, 30), 590.0)]:
        quotes.add_tick(tick("2330", close, ts=at(day, *hm)))
    for action, price, moment in [("Buy", 600.0, at(4, 9, 0, 30)), ("Sell", 605.0, at(4, 9, 2, 30)),
                                  ("Buy", 600.0, at(5, 9, 0, 30)), ("Sell", 590.0, at(5, 9, 1, 30))]:
        account.add_trade_record(trade_id="T" * 16, code="2330", action=action, quantity=1, price=price,
                                 timestamp=moment, trade_status="Deal")
        account.set_positions(fill(action, 1, price, ts=moment), "Stock")
    return account, quotes


def test_the_equity_curve_is_marked_at_bar_closes_while_held_and_at_day_ends(two_days):
    account, quotes = two_days
    curve, held, minutes = equity.mark_to_market(account, quotes, ["2330"],
                                                 equity.round_trips(account._profit_report["rows"]))
    assert curve["equity"].to_list() == [1_000_000, 1_000_000, 1_010_000, 1_005_000, 1_005_000, 995_000]
    assert curve["dt"].to_list() == [datetime(2024, 3, 4, 9, 0), datetime(2024, 3, 4, 9, 1),
                                     datetime(2024, 3, 4, 9, 2), datetime(2024, 3, 4, 13, 30),
                                     datetime(2024, 3, 5, 9, 1), datetime(2024, 3, 5, 9, 2)]
    assert (held, minutes) == (3, 272)  # 09:00-13:29 of the 4th (gaps filled), 09:00-09:01 of the 5th


def test_statistics_match_hand_computed_values(two_days):
    account, quotes = two_days
    trips = equity.round_trips(account._profit_report["rows"])
    curve, held, minutes = equity.mark_to_market(account, quotes, ["2330"], trips)
    stats = equity.statistics(curve, trips, 1_000_000, held, minutes)
    # Two days are too few to annualise: no growth rate, Sharpe or Sortino (they used to be given).
    assert stats == pytest.approx({
        "net_profit": -5_000, "return_pct": -0.5, "cagr": math.nan, "sharpe": math.nan, "sortino": math.nan,
        "max_drawdown": 15_000, "max_drawdown_pct": 15_000 / 1_010_000 * 100,
        "max_drawdown_days": 1.0,  # from the peak at 09:02 of the 4th, never regained by 09:02 of the 5th
        "win_rate": 0.5, "profit_factor": 0.5, "expectancy": -2_500, "round_trips": 2,
        "exposure": 3 / 272, "average_holding": 1.5}, nan_ok=True)


def test_the_tear_sheet_keeps_the_first_day_s_return():
    from quantstats_lumi import stats as qs
    from orva_backtest.research.account_report import daily_returns
    curve = pl.DataFrame({"dt": [datetime(2024, 3, 4, 8, 59), datetime(2024, 3, 4, 13, 30),
                                 datetime(2024, 3, 5, 13, 30)], "equity": [1_000_000.0, 990_000.0, 1_000_000.0]})
    returns = daily_returns(curve, 1_000_000)
    assert [d.date().isoformat() for d in returns.index] == ["2024-03-01", "2024-03-04", "2024-03-05"]
    assert list(returns) == pytest.approx([0.0, -0.01, 1_000_000 / 990_000 - 1])
    assert qs.max_drawdown(returns) == pytest.approx(-0.01)


def test_a_partial_cover_leaves_the_later_lot_marked():
    # Bought at 600 then 620, sold one at 630: the 600 lot is the one covered, as the account does.
    account, quotes = Positions(), QuoteManager()
    account.update_fee_settings("stock", fee=0.0, tax=0.0, per_trade_cost=0)
    for side in ("buy", "sell"):
        account.update_fee_settings("stock", action=side, tick_count=0)
    for close, minute in ((600.0, 0), (620.0, 1), (630.0, 2), (640.0, 3)):
        quotes.add_tick(tick("2330", close, ts=at(4, 9, minute, 30)))
    for action, price, minute in (("Buy", 600.0, 0), ("Buy", 620.0, 1), ("Sell", 630.0, 2)):
        account.add_trade_record(trade_id="T" * 16, code="2330", action=action, quantity=1, price=price,
                                 timestamp=at(4, 9, minute, 30), trade_status="Deal")
        account.set_positions(fill(action, 1, price, ts=at(4, 9, minute, 30)), "Stock")
    assert [e["price"] for e in account.positions["2330"]["buy"]] == [620.0]
    trips = equity.round_trips(account._profit_report["rows"])
    curve, _, _ = equity.mark_to_market(account, quotes, ["2330"], trips)
    assert curve["equity"][-1] == pytest.approx(100_000 + 30_000 + (640 - 620) * 1000)


def test_a_run_gives_its_figures_as_frames_json_and_html(tmp_path):
    from orva_backtest.examples.ma_crossover import MovingAverageCrossover
    result = run_backtest(MovingAverageCrossover(), ["2330:Stock"], "2024-03-04", "2024-03-05",
                          data_dir=tmp_path, reports=False)
    trips, trades = result.round_trips, result.trades
    assert trips["profit"].sum() == pytest.approx(result.stats()["net_profit"]) and trips.height > 0
    assert trades.filter(pl.col("trade_status") == "Deal").height == 2 * trips.height
    assert result.equity["equity"][0] == 1_000_000
    assert result.equity["equity"][-1] == pytest.approx(1_000_000 + result.stats()["net_profit"])
    assert set(result.summary()["stats"]) == set(equity.STATS)
    assert "淨損益" in result._repr_html_()


def _reachable(root):
    """Every object `root` holds through containers and instance attributes."""
    seen, stack = {}, [root]
    while stack:
        obj = stack.pop()
        if id(obj) in seen or isinstance(obj, type):
            continue
        seen[id(obj)] = obj
        if isinstance(obj, dict):
            stack.extend([*obj.keys(), *obj.values()])
        elif isinstance(obj, (list, tuple, set, frozenset)):
            stack.extend(obj)
        elif hasattr(obj, "__dict__") and not callable(obj):
            stack.extend(vars(obj).values())
    return seen.values()


@pytest.mark.parametrize("key, records", [("exit_dt", lambda a: a._profit_report["rows"]),
                                          ("trade_status", lambda a: a.trade_records)])
def test_a_run_and_its_figures_hold_each_record_once(tmp_path, key, records):
    # Ten years of round trips are tens of thousands of records: the result keeps the account's
    # own and no copy of them, after its figures and summary were asked for too.
    from orva_backtest.examples.ma_crossover import MovingAverageCrossover
    result = run_backtest(MovingAverageCrossover(), ["2330:Stock"], "2024-03-04", "2024-03-05",
                          data_dir=tmp_path, reports=False)
    result.summary()
    assert result.round_trips.height == len(result.profit_rows) > 5
    held = [obj for obj in _reachable(result) if isinstance(obj, dict) and key in obj]
    assert sorted(map(id, held)) == sorted(map(id, records(result.account)))


def test_each_trading_day_ends_at_its_last_point():
    # From 15:00 on a point belongs to the next trading day: Friday night's to Monday.
    moments = [datetime(2024, 3, 7, 10), datetime(2024, 3, 7, 13, 30), datetime(2024, 3, 8, 13, 30),
               datetime(2024, 3, 8, 15), datetime(2024, 3, 9, 4), datetime(2024, 3, 11, 9)]
    curve = pl.DataFrame({"dt": moments, "equity": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]})
    assert equity.daily_equity(curve).rows() == [(date(2024, 3, 7), moments[1], 2.0),
                                                 (date(2024, 3, 8), moments[2], 3.0),
                                                 (date(2024, 3, 11), moments[5], 6.0)]


@pytest.mark.parametrize("mode", ["direct", "paced"])
def test_a_backfill_is_history_the_figures_leave_out(tmp_path, mode):
    from orva_backtest import Strategy

    class BuyOnce(Strategy):
        def on_tick(self, ctx, tick):
            if not tick["is_backfilling"] and not ctx.pending_orders and not ctx.position("2330"):
                ctx.buy("2330", 1)
    runs = [run_backtest(BuyOnce(), ["2330:Stock"], "2024-03-04", "2024-03-05", data_dir=tmp_path / str(i),
                         reports=False, mode=mode, **backfill)
            for i, backfill in enumerate([{}, {"backfill_start": "2024-02-26", "backfill_end": "2024-03-01"}])]
    assert runs[0].stats() == pytest.approx(runs[1].stats(), nan_ok=True) and runs[0].stats()["exposure"] == 1.0
    assert runs[0].equity.equals(runs[1].equity)


def test_marks_worked_out_a_stretch_at_a_time_equal_one_stretch(tmp_path, monkeypatch):
    # Positions held across stretch edges, and flat for a day: each stretch starts from the last closes
    # and the trips realised before it, and no trading day is split between two stretches.
    from orva_backtest import Strategy

    class HoldBoth(Strategy):
        def on_tick(self, ctx, tick):
            code, day = tick["code"], datetime.fromtimestamp(tick["timestamp"]).day
            if ctx.pending_orders:
                return
            held = ctx.position(code)
            if not held and day in (4, 12):
                ctx.buy(code, 1)
            elif held and day == 11:
                ctx.sell(code, 1)
    result = run_backtest(HoldBoth(), ["2330:Stock", "TXFR1:Future"], "2024-03-04", "2024-03-15",
                          data_dir=tmp_path, reports=False, capital=10_000_000)
    args = (result.account, result.quotes, ["2330", "TXFR1"], result.round_trips)
    whole = equity.mark_to_market(*args)
    monkeypatch.setattr(equity, "MARK_STRETCH_DAYS", 1)
    assert len(equity._stretches(*_bar_span(result.quotes, "TXFR1"))) >= 8
    daily = equity.mark_to_market(*args)
    assert result.round_trips.height >= 1 and whole[1] > 0 and whole[2] > whole[1]
    assert daily[0].equals(whole[0]) and daily[1:] == whole[1:]


@pytest.mark.parametrize("runs", [[], [[1, 3, 5], [2, 3, 6]], [[0, 2, 2, 9], [1, 1, 2], []], [[9, 8], [8, 1]]],
                         ids=["none", "shared minutes", "repeats and an empty code", "out of order"])
def test_the_marked_minutes_are_the_distinct_bar_closes_in_order(runs):
    joined = np.concatenate([np.array(run, dtype=np.int64) for run in runs] or [np.empty(0, np.int64)])
    distinct = equity._distinct(joined)
    days, at = np.unique(distinct // 2, return_inverse=True)  # the runs of equal values, found in order
    firsts = equity._firsts(distinct // 2)
    assert (distinct.tolist(), (distinct // 2)[firsts].tolist(), (np.cumsum(firsts) - 1).tolist()) == (
        np.unique(joined).tolist(), days.tolist(), at.tolist())


@pytest.mark.parametrize("count, train, test, expected", [
    (10, 4, 3, [(0, 4, 4, 7), (3, 7, 7, 10)]),  # the last window is shorter: 7-9
    (10, 5, 5, [(0, 5, 5, 10)]),
    (12, 3, 4, [(0, 3, 3, 7), (4, 7, 7, 11), (8, 11, 11, 12)]),
])
def test_windows_roll_by_the_test_days(count, train, test, expected):
    days = list(range(count))
    cut = windows(days, train, test)
    assert [(t[0], t[-1] + 1, s[0], s[-1] + 1) for t, s in cut] == expected
    with pytest.raises(ValueError):
        windows(days, count, 1)


def test_stitching_chains_the_windows_returns():
    frame = lambda *values: pl.DataFrame({"dt": [datetime(2024, 3, i + 1) for i in range(len(values))],
                                          "equity": list(values)})
    out = stitch([frame(100.0, 110.0), frame(100.0, 90.0)], 1000)
    assert out["equity"].to_list() == pytest.approx([1000, 1100, 1100, 990])
    assert [d.isoformat() for d in trading_days("2024-03-01", "2024-03-05")] == [
        "2024-03-01", "2024-03-04", "2024-03-05"]


def test_walkforward_windows_equal_independent_runs_of_their_choice(tmp_path):
    from orva_backtest.examples import ma_crossover
    grid = {"fast": [3, 5], "slow": [10, 20]}
    result = run_walkforward(ma_crossover.__file__, grid, ["2330:Stock"], "2024-03-04", "2024-03-13",
                             train_days=3, test_days=2, workers=2, data_dir=str(tmp_path / "data"),
                             folder=str(tmp_path / "wf"))
    table = result.table
    assert table["window"].to_list() == [1, 2, 3] and table["status"].to_list() == ["ok"] * 3
    assert table["test_end"].to_list() == ["2024-03-08", "2024-03-12", "2024-03-13"]

    def run(params, first, last):
        return run_backtest(ma_crossover.MovingAverageCrossover(**params), ["2330:Stock"], first, last,
                            data_dir=str(tmp_path / "direct"), reports=False).stats()["net_profit"]
    for row in table.iter_rows(named=True):
        scores = [(run({"fast": f, "slow": s}, row["train_start"], row["train_end"]), (f, s))
                  for f in grid["fast"] for s in grid["slow"]]
        best = max(scores, key=lambda x: x[0])  # the first of equal ones, in grid order
        assert (row["fast"], row["slow"]) == best[1] and row["train_net_profit"] == pytest.approx(best[0])
        assert row["test_net_profit"] == pytest.approx(
            run({"fast": row["fast"], "slow": row["slow"]}, row["test_start"], row["test_end"]))
    assert result.equity["equity"][0] == 1_000_000
    assert sorted(os.listdir(tmp_path / "wf"))[:3] == ["equity.csv", "equity.parquet", "walkforward.csv"]


FLAKY = '''from orva_backtest import Strategy

class Flaky(Strategy):
    def __init__(self, qty=1, fails_from="9999"):
        self.qty, self.fails_from, self.bought = qty, fails_from, False

    def on_tick(self, ctx, tick):
        if str(ctx.now.date()) >= self.fails_from:
            raise RuntimeError("no data for this day")
        if tick["code"] == "2330" and not self.bought:
            self.bought = ctx.buy("2330", self.qty)  # a float quantity is refused
'''


@pytest.mark.parametrize("metric, train_days, statuses, errors", [
    # 1: qty=1 chosen (its column is a float beside 2.5); 2: its test day fails; 3: every training task fails
    ("net_profit", 2, ["ok", "failed", "failed"], ["", "測試窗失敗: StrategyError", "每個任務都失敗了"]),
    ("sharpe", 1, ["failed"] * 4, ["沒有任務算得出 sharpe"] * 3 + ["每個任務都失敗了"]),  # one day: no sharpe
])
def test_walkforward_windows_fail_alone_and_say_why(tmp_path, metric, train_days, statuses, errors):
    strategy = tmp_path / "flaky.py"
    strategy.write_text(FLAKY)
    result = run_walkforward(str(strategy), {"qty": [1, 2.5]}, ["2330:Stock"], "2024-03-04", "2024-03-08",
                             train_days=train_days, test_days=1, metric=metric, params={"fails_from": "2024-03-07"},
                             workers=1, data_dir=str(tmp_path / "data"), folder=str(tmp_path / "wf"))
    table = pl.read_csv(tmp_path / "wf" / "walkforward.csv")
    assert table["status"].to_list() == statuses == result.table["status"].to_list()
    assert all(want in (got or "") for want, got in zip(errors, table["error"].to_list()))
    if metric == "net_profit":
        assert table["qty"][0] == 1 and table["test_round_trips"][0] == 0 and result.equity.height > 0


@pytest.mark.parametrize("metric, chosen", [("net_profit", 2), ("max_drawdown", 1), ("max_drawdown_days", 1)])
def test_walkforward_chooses_the_most_profit_and_the_least_drawdown(metric, chosen):
    from orva_backtest.research.walkforward import _best
    table = pl.DataFrame({"task": [1, 2, 3], "status": ["ok"] * 3, "fast": [3, 5, 7],
                          "net_profit": [10.0, 30.0, 30.0], "max_drawdown": [5.0, 9.0, 5.0],
                          "max_drawdown_days": [1.0, 2.0, 1.0]})
    values, shown, score = _best(table, metric, {"fast": [3, 5, 7]})
    assert values == {"fast": [3, 5, 7][chosen - 1]} and score == table[metric][chosen - 1]  # ties: the first


# Trains on the Dask workers; "raise" fails every test run (this process's), "stall" never ends
# a training task from 2024-03-05 on.
OUTSIDE = '''import time
from distributed import get_worker
from orva_backtest import Strategy

class Outside(Strategy):
    def __init__(self, mood="raise", qty=1):
        self.mood = mood

    def on_tick(self, ctx, tick):
        try:
            get_worker()
        except ValueError:
            if self.mood == "raise":
                raise RuntimeError("no test run")
            return
        if self.mood == "stall" and str(ctx.now.date()) >= "2024-03-05":
            time.sleep(600)
'''


def test_a_walkforward_whose_every_test_run_fails_says_so(tmp_path, capsys):
    strategy = tmp_path / "outside.py"
    strategy.write_text(OUTSIDE)
    code = run_cli(["walkforward", str(strategy), "--grid", "qty=1,2", "--codes", "2330:Stock", "--start", "2024-03-04",
                    "--end", "2024-03-06", "--train-days", "1", "--test-days", "1", "--workers", "1", "--no-reports",
                    "--data-dir", str(tmp_path / "data"), "--out", str(tmp_path / "wf")])
    error = capsys.readouterr().err
    assert code == 1 and "每個窗口的測試都失敗了" in error and "訓練都失敗" not in error, error
    assert pl.read_csv(tmp_path / "wf" / "walkforward.csv")["status"].to_list() == ["failed"] * 2


def test_ctrl_c_in_a_walkforward_keeps_the_finished_windows_and_one_line(tmp_path):
    strategy, folder = tmp_path / "outside.py", tmp_path / "wf"
    strategy.write_text(OUTSIDE)
    try:  # Dask's default port taken, as by another walk-forward
        taken = socket.create_server(("", 8787))
    except OSError:  # taken already
        taken = None
    with open(tmp_path / "out.log", "w") as out, open(tmp_path / "err.log", "w") as err:
        walk = subprocess.Popen([sys.executable, "-m", "orva_backtest", "walkforward", str(strategy), "--grid",
                                 "qty=1", "--param", "mood='stall'", "--codes", "2330:Stock", "--start", "2024-03-04",
                                 "--end", "2024-03-07", "--train-days", "1", "--test-days", "1", "--workers", "2",
                                 "--data-dir", str(tmp_path / "data"), "--out", str(folder)],
                                stdout=out, stderr=err, start_new_session=True,  # a terminal's group of its own
                                env={**os.environ, "ORVA_CONSOLE": "off"})
    try:
        deadline = time.monotonic() + 180  # a safety net against a hang, not a bound on speed
        while not (folder / "windows" / "02" / "train" / "tasks" / "0001" / "attempts").exists():
            assert walk.poll() is None and time.monotonic() < deadline, (tmp_path / "err.log").read_text()
            time.sleep(0.2)
        os.killpg(walk.pid, signal.SIGINT)  # as a terminal's Ctrl-C: the workers get it too
        assert walk.wait(timeout=60) == 130
    finally:
        if walk.poll() is None:
            os.killpg(walk.pid, signal.SIGKILL)
            walk.wait(timeout=10)
        if taken:
            taken.close()
    table = pl.read_csv(folder / "walkforward.csv")
    assert table["status"].to_list() == ["ok", "failed", "failed"]
    assert all(e.startswith("KeyboardInterrupt") for e in table["error"][1:])
    assert pl.read_csv(folder / "equity.csv").height > 0 and (folder / "walkforward.html").exists()
    shown = (tmp_path / "err.log").read_text()
    assert shown.strip().splitlines() == ["已中止"] and "Traceback" not in (tmp_path / "out.log").read_text()


def test_a_walkforward_tests_with_the_fill_model_and_latency_it_chose(tmp_path):
    from orva_backtest.examples import bid_maker
    from orva_backtest.sweep import figures
    result = run_walkforward(bid_maker.__file__, {"fill_model": ["queue"], "latency_ms": [500]}, ["2330:Stock"],
                             "2024-03-04", "2024-03-05", train_days=1, test_days=1, workers=1,
                             data_dir=str(tmp_path / "data"), folder=str(tmp_path / "wf"))
    (row,) = result.table.iter_rows(named=True)

    def run(**settings):
        return figures(run_backtest(bid_maker.BidMaker(), ["2330:Stock"], "2024-03-05", "2024-03-05",
                                    data_dir=str(tmp_path / "direct"), reports=False, **settings))["net_profit"]
    chosen = run(fill_model="queue", latency_ms=500)
    assert chosen != run()  # the defaults would give another figure
    assert row["status"] == "ok" and row["test_net_profit"] == pytest.approx(chosen)


def test_the_walkforward_page_keeps_its_table_within_the_page(browser, tmp_path):
    from orva_backtest.research.walkforward import STATS, _page
    table = pl.DataFrame({"window": [1, 2], "fast": [3, 5], "status": ["ok", "failed"],
                          **{f"test_{k}": [1234567.5, None] for k in STATS},
                          "error": ["", "測試窗失敗: RuntimeError: " + "why " * 40]})
    curve = pl.DataFrame({"dt": [datetime(2024, 3, 7, 9), datetime(2024, 3, 8, 13)], "equity": [1e6, 1.01e6]})
    path = tmp_path / "walkforward.html"
    path.write_text(_page(table, curve, "t"), encoding="utf-8")
    page = browser.new_page(viewport={"width": 900, "height": 700})
    try:
        page.goto(path.as_uri())
        page.locator("td").first.wait_for()
        assert page.evaluate("document.documentElement.scrollWidth") <= 900  # scrolls in its own box
        head = page.locator("th").first.evaluate("e => getComputedStyle(e).backgroundColor")
        assert head not in ("rgba(0, 0, 0, 0)", "transparent")
    finally:
        page.close()
