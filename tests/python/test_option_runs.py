"""Runs over imported options files: the chain a strategy sees, expiry settlement of a series
held to its expiry, and the example strangle with its account report."""
import math
import os
from datetime import datetime

import polars as pl
import pytest

from taifex_files import TAIPEI
from taifex_option_files import write_files

from orva_backtest import Strategy
from orva_backtest.market.taifex_options import import_taifex_option_files
from orva_backtest.market_rules import market_rules
from orva_backtest.modules.positions.positions import black76
from orva_backtest.option_chain import COLUMNS, by_delta
from orva_backtest.runner import run_backtest
from orva_backtest.tick_import import import_tick_file

WEEKLY = "202601W2"  # expires 2026-01-14


def _ns(text):
    return int(datetime.strptime(text, "%Y-%m-%d %H:%M").replace(tzinfo=TAIPEI).timestamp()) * 10**9


@pytest.fixture(scope="module")
def imported(tmp_path_factory):
    """Both days' options files imported, and TXFR1 ticks of the same days (its last trade by
    13:30 of the 14th is 23040; a later one must not count)."""
    times = ["2026-01-12 15:30", "2026-01-13 09:00", "2026-01-13 09:30", "2026-01-13 12:00",
             "2026-01-14 09:00", "2026-01-14 13:29", "2026-01-14 13:40"]
    return _import(tmp_path_factory.mktemp("options"), [_ns(t) for t in times],
                   [23000.0, 23010.0, 23020.0, 23000.0, 23030.0, 23040.0, 23100.0])


def _import(root, times, closes):
    """Both days' options files, and TXFR1 trades at `times` (epoch ns) for `closes`."""
    paths, by_code = write_files(root)
    data_dir = root / "data"
    import_taifex_option_files(paths, "TXO", data_dir=str(data_dir))
    n = len(times)
    futures = pl.DataFrame({"ts": times, "close": closes, "volume": [1] * n, "bid_price": [0.0] * n,
                            "bid_volume": [0] * n, "ask_price": [0.0] * n, "ask_volume": [0] * n,
                            "tick_type": [1] * n})
    futures.write_csv(root / "txf.csv")
    import_tick_file(str(root / "txf.csv"), "TXFR1", "Future", str(data_dir))
    return data_dir, by_code


class WritesAStrangle(Strategy):
    """At the first TXFR1 tick from 09:30 of the 13th: reads the weekly chain and writes its
    0.15-delta call and put."""

    def __init__(self):
        self.chain, self.now, self.legs, self.after_expiry = None, None, [], None

    def on_tick(self, ctx, tick):
        if self.legs and tick["timestamp"] > _ns("2026-01-14 13:30") / 1e9 and self.after_expiry is None:
            self.after_expiry = [ctx.position(code) for code in self.legs]
        if self.chain is not None or tick["code"] != "TXFR1" or tick["timestamp"] < _ns("2026-01-13 09:30") / 1e9:
            return
        self.now, self.expiries = tick["timestamp"], ctx.expiries()
        self.chain = ctx.chain(WEEKLY)
        for right in ("C", "P"):
            self.legs.append(by_delta(self.chain, right, 0.15))
            ctx.sell(self.legs[-1], 1)


def _run(data_dir, strategy, **options):
    return run_backtest(strategy, ["TXFR1:Future", f"TXO{WEEKLY}:Option"], "2026-01-13", "2026-01-14",
                        data_dir=str(data_dir), source=_cache(), capital=10_000_000,
                        **options)


def _cache():
    from orva_backtest.market import CacheOnlyMarket
    return CacheOnlyMarket()


def test_the_chain_holds_what_traded_before_now_priced_against_the_front_futures(imported):
    data_dir, by_code = imported
    strategy = WritesAStrangle()
    _run(data_dir, strategy, reports=False)
    chain, now_ns = strategy.chain, int(strategy.now * 1e9)
    assert chain.columns == COLUMNS and strategy.expiries[0] == WEEKLY
    traded = {code: rows for code, rows in by_code.items() if WEEKLY in code and rows[0][0] <= now_ns}
    assert sorted(chain["code"]) == sorted(traded)
    for row in chain.iter_rows(named=True):
        assert row["last"] == [p for ns, p, _ in traded[row["code"]] if ns <= now_ns][-1]
        assert row["underlying"] == 23020.0  # TXFR1 at 09:30: the weekly's futures is the front month
        if not math.isnan(row["iv"]):  # the implied volatility gives back the traded price
            years = (_ns("2026-01-14 13:30") / 1e9 - strategy.now) / (365 * 86400)
            priced = black76(23020.0, row["strike"], years, row["iv"], row["right"])["price"]
            assert priced == pytest.approx(row["last"], abs=1e-6)
            assert 0 < abs(row["delta"]) < 1 and (row["delta"] > 0) == (row["right"] == "C")
    assert chain["iv"].is_not_nan().sum() > len(chain) // 2


@pytest.mark.parametrize("settlements, price, source", [
    (None, 23040.0, "futures_last_trade"),  # the futures' last trade by 13:30, not the 13:40 one
    ({"2026-01-14": 22950.0}, 22950.0, "supplied")])
def test_written_series_settle_at_their_intrinsic_value_at_expiry(imported, settlements, price, source):
    data_dir, _ = imported
    strategy = WritesAStrangle()
    result = _run(data_dir, strategy, reports=False, rules=market_rules(settlements=settlements))
    settled = [row for row in result.profit_rows if row.get("expiry")]
    assert sorted(row["code"] for row in settled) == sorted(strategy.legs)
    assert strategy.after_expiry == [0, 0]  # settled by the first tick after 13:30
    for row in settled:
        strike = float(row["code"].split(WEEKLY)[1][1:])
        call = row["code"].split(WEEKLY)[1][0] == "C"
        assert row["exit_origin_price"] == pytest.approx(max(price - strike, 0) if call else max(strike - price, 0))
        assert row["settlement_source"] == source
    assert all(not s.open for code, s in result.instruments.items() if code.startswith("TXO"))
    # settled at 13:30, after the series' last tick: the curve ends on the settlement
    assert result.equity["equity"][-1] == pytest.approx(10_000_000 + sum(r["profit"] for r in result.profit_rows))
    notes = " ".join(result.market_rules["notes"])
    assert ("23040" in notes) == (settlements is None)


def test_the_example_strangle_runs_and_its_account_page_lists_the_series_it_traded(imported):
    from orva_backtest.examples.short_strangle import WeeklyShortStrangle
    data_dir, _ = imported
    result = _run(data_dir, WeeklyShortStrangle(delta=0.15))
    traded = {r["code"] for r in result.account.trade_records if r["code"].startswith("TXO")}
    assert len(traded) == 2
    page = next(f for f in result.files if f.endswith("account-report.html"))
    text = open(page, encoding="utf-8").read()
    listed = {code for code in result.instruments if code.startswith("TXO") and f"<th>{code} " in text}
    assert listed == traded


class RestsABidOnTheWeekly(Strategy):
    """Bids far below the market (premiums here never fall under 40) on the first weekly series
    it sees, so the bid still rests when the series expires; at the end, reads the book and
    the chain."""

    def __init__(self):
        self.code, self.cancelled, self.pending, self.chain, self.expiries = None, [], None, None, None

    def on_tick(self, ctx, tick):
        if self.code is None and WEEKLY in tick["code"]:
            self.code = tick["code"]
            ctx.buy(self.code, 1, 10.0)

    def on_order_report(self, ctx, report):
        if "Cancel" in str(report["operation_type"]):
            self.cancelled.append(report["order"]["code"])

    def on_finish(self, ctx):
        self.pending, self.expiries, self.chain = ctx.pending_orders, ctx.expiries(), ctx.chain()


def _run_weekly(data_dir, strategy, futures, mode):
    # With the futures the series settles at their 13:40 tick; without, at the run's end.
    codes = (["TXFR1:Future"] if futures else []) + [f"TXO{WEEKLY}:Option"]
    return run_backtest(strategy, codes, "2026-01-13", "2026-01-14", data_dir=str(data_dir),
                        source=_cache(), capital=10_000_000, reports=False, mode=mode)


@pytest.mark.parametrize("mode", ["direct", "paced"])
@pytest.mark.parametrize("futures", [True, False])
def test_the_exchange_cancels_what_rests_on_a_series_when_it_expires(imported, futures, mode):
    data_dir, _ = imported
    strategy = RestsABidOnTheWeekly()
    result = _run_weekly(data_dir, strategy, futures, mode)
    assert strategy.code is not None and strategy.pending == []
    assert strategy.cancelled == [strategy.code]  # the report a user's cancel gets
    records = [(r["code"], r["trade_status"]) for r in result.account.trade_records]
    assert records == [(strategy.code, "Cancel")]


@pytest.mark.parametrize("futures", [True, False])
def test_the_chain_at_the_end_shows_no_expiry_the_run_settled(imported, futures):
    data_dir, _ = imported
    strategy = RestsABidOnTheWeekly()
    _run_weekly(data_dir, strategy, futures, "direct")
    assert strategy.expiries == [] and strategy.chain.height == 0
    assert strategy.chain.columns == COLUMNS


class OrdersASettledSeries(Strategy):
    """Bids on the weekly once it has settled: at the futures' 13:40 tick, and at the end."""

    def __init__(self, code):
        self.code, self.refusals = code, []

    def on_tick(self, ctx, tick):
        if tick["code"] == "TXFR1" and tick["timestamp"] > _ns("2026-01-14 13:30") / 1e9:
            self.bid(ctx)

    def on_finish(self, ctx):
        self.bid(ctx)

    def bid(self, ctx):
        with pytest.raises(ValueError, match=f"{self.code} 已到期結算"):
            ctx.buy(self.code, 1, 10.0)
        self.refusals.append(len(ctx.pending_orders))


@pytest.mark.parametrize("mode", ["direct", "paced"])
def test_an_order_on_a_settled_series_is_refused(imported, mode):
    data_dir, by_code = imported
    code = min(c for c in by_code if WEEKLY in c)
    strategy = OrdersASettledSeries(code)
    result = _run_weekly(data_dir, strategy, True, mode)
    assert strategy.refusals == [0, 0] and result.account.trade_records == []


class BidsAtTheClose(RestsABidOnTheWeekly):
    """Bids on `series` at the futures' 13:30:00 trade: the last moment its orders are taken."""

    def __init__(self, series):
        super().__init__()
        self.series = series

    def on_tick(self, ctx, tick):
        close = _ns("2026-01-14 13:30") / 1e9
        if self.code is None and tick["code"] == "TXFR1" and close <= tick["timestamp"] < close + 0.25:
            self.code = self.series
            ctx.buy(self.code, 1, 10.0)


# Sent at 13:30:00, the order reaches the exchange before the trade at 13:30:00.5 that settles
# the series, or (a second on its way) after it.
@pytest.mark.parametrize("latency_ms", [0, 1000])
@pytest.mark.parametrize("mode", ["direct", "paced"])
def test_an_order_on_its_way_when_its_series_expires_is_cancelled_too(tmp_path, latency_ms, mode):
    close = _ns("2026-01-14 13:30")
    data_dir, by_code = _import(tmp_path, [_ns("2026-01-13 09:30"), close, close + 500_000_000,
                                           _ns("2026-01-14 13:40")], [23000.0, 23040.0, 23050.0, 23100.0])
    strategy = BidsAtTheClose(min(c for c in by_code if WEEKLY in c))
    result = run_backtest(strategy, ["TXFR1:Future", f"TXO{WEEKLY}:Option"], "2026-01-13", "2026-01-14",
                          data_dir=str(data_dir), source=_cache(), capital=10_000_000, reports=False,
                          mode=mode, latency_ms=latency_ms)
    assert strategy.code is not None and strategy.pending == []
    assert strategy.cancelled == [strategy.code]
    assert [(r["code"], r["trade_status"]) for r in result.account.trade_records] == [(strategy.code, "Cancel")]


def test_a_compiled_strategy_s_order_on_a_settled_series_stops_the_run(imported):
    if os.environ.get("CI") != "true":  # the test command installs numba: CI never skips
        pytest.importorskip("numba")
    import compiled_helpers
    from orva_backtest.compiled import BUY, ROD, CompiledStrategy
    from orva_backtest.runner import StrategyError

    data_dir, by_code = imported
    code = min(c for c in by_code if WEEKLY in c)

    def bidding_on(tick):  # a bid on the series on the strategy's tick numbered `tick`
        return CompiledStrategy(compiled_helpers.one_row, codes=["TXFR1", code],
                                values=[1, BUY, 1, 10.0, ROD, -1.0], counters=[1, tick, 0, 0])

    counting = bidding_on(0)  # never: it only counts its ticks, the last the futures' 13:40
    _run_weekly(data_dir, counting, True, "direct")
    placed = _run_weekly(data_dir, bidding_on(1), True, "direct")  # taken before the expiry
    assert [r["code"] for r in placed.account.trade_records][:1] == [code]
    with pytest.raises(StrategyError, match=f"{code} 已到期結算"):
        _run_weekly(data_dir, bidding_on(int(counting.counters[2])), True, "direct")


# The settlement comes at a futures trade the strategy does not trade, or at the run's end:
# no tick of its own, and no deal report.
@pytest.mark.parametrize("futures", [True, False])
def test_a_compiled_strategy_s_positions_follow_a_settlement_at_no_tick_of_its_own(imported, futures):
    if os.environ.get("CI") != "true":  # the test command installs numba: CI never skips
        pytest.importorskip("numba")
    import compiled_helpers
    from orva_backtest.compiled import BUY, ROD, CompiledStrategy

    class Holds(CompiledStrategy):
        def on_start(self, ctx):
            self.seen = []
            if futures:
                ctx.subscribe_bars("TXFR1")

        def on_bar(self, ctx, bar):  # the last bar closes past the settling trade
            self.seen.append((int(self.positions[0]), ctx.position(self.codes[0])))

        def on_finish(self, ctx):
            self.at_finish = (self.positions.tolist(), ctx.position(self.codes[0]))

    data_dir, by_code = imported
    code = min(c for c in by_code if WEEKLY in c)
    strategy = Holds(compiled_helpers.one_row, codes=[code], values=[0, BUY, 2, 1000.0, ROD, -1.0],
                     counters=[1, 1, 0, 0])  # buys 2 on its first tick
    result = _run_weekly(data_dir, strategy, futures, "direct")
    assert [r["trade_status"] for r in result.account.trade_records][-1] == "Expiry"
    assert strategy.at_finish == ([0], 0) and strategy.positions.tolist() == [0]
    assert strategy.seen and all(kept == held for kept, held in strategy.seen)
