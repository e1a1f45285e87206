"""A strategy that reads no reports: the direct replay has none made, and the run is the same
as one whose strategy reads every report."""
import importlib.util
import os
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest

from orva_backtest.engine import runner
from orva_backtest.market import SyntheticMarket
from orva_backtest.modules.matcher.matcher import Matcher
from orva_backtest.modules.positions.positions import Positions, QuoteManager
from orva_backtest.modules.ticker.ticker import Ticker
from orva_backtest.runner import run_backtest

from matcher_helpers import STOCK, drain

BENCH = Path(__file__).resolve().parents[2] / "bench"
DAY = "2024-03-04"


def bench_class(module, name):
    found = importlib.util.spec_from_file_location(module, BENCH / f"{module}.py")
    loaded = sys.modules[module] = importlib.util.module_from_spec(found)  # numba looks it up by name
    found.loader.exec_module(loaded)
    return getattr(loaded, name)


def watched(base, reads):
    """`base` noting, at each bar and at the end, what a callback can see of the run; when
    `reads`, it also takes every order and deal report."""

    class Watched(base):
        def on_bar(self, ctx, bar):
            self.seen = [*getattr(self, "seen", []),
                         (bar["dt"], ctx.position("2330"), list(getattr(self, "positions", [])))]

        def on_finish(self, ctx):
            self.last_tick = ctx.tick

    if not reads:
        return Watched

    class Reading(Watched):
        def on_order_report(self, ctx, report):
            self.order_reports = getattr(self, "order_reports", 0) + 1

        def on_deal_report(self, ctx, report):  # a compiled one's base still keeps its positions
            self.deal_reports = getattr(self, "deal_reports", 0) + 1

    return Reading


def run(strategy, tmp_path, capital, monkeypatch):
    """The run's result and how many times the host's dispatcher found reports waiting."""
    dispatched = []
    original = runner._Loop.dispatch_reports

    def counted(loop, record):
        dispatched.append(loop.matcher.response_queue.qsize())
        return original(loop, record)

    monkeypatch.setattr(runner._Loop, "dispatch_reports", counted)
    result = run_backtest(strategy, ["2330:Stock"], DAY, DAY, data_dir=tmp_path, reports=False,
                          capital=capital)
    return result, sum(1 for waiting in dispatched if waiting)


def compiled_available():
    return os.environ.get("CI") == "true" or importlib.util.find_spec("numba") is not None


@pytest.mark.parametrize("module, name", [
    ("runner_strategies", "Mean50"),
    pytest.param("compiled_strategies", "CompiledMean50", marks=pytest.mark.skipif(
        not compiled_available(), reason="numba")),
])
@pytest.mark.parametrize("capital", [10_000_000, 100_000])  # the second goes below 0 at once
def test_reports_nobody_reads_are_not_made_and_change_nothing(tmp_path, monkeypatch, module, name,
                                                              capital):
    base = bench_class(module, name)
    quiet, reading = watched(base, reads=False)(), watched(base, reads=True)()
    quiet_result, quiet_reports = run(quiet, tmp_path, capital, monkeypatch)
    reading_result, reading_reports = run(reading, tmp_path, capital, monkeypatch)
    deals = [r for r in reading_result.account.trade_records if r["trade_status"] == "Deal"]
    assert len(deals) > 20 and reading.order_reports == reading.deal_reports == len(deals)  # one lot each
    assert reading_reports >= len(deals) and quiet_reports == 0
    assert quiet_result.trades.drop("trade_id").rows() == reading_result.trades.drop("trade_id").rows()
    assert quiet_result.profit_rows == reading_result.profit_rows
    assert quiet_result.balance == reading_result.balance
    assert quiet_result.warnings == reading_result.warnings
    assert (capital < 1_000_000) == any("低於 0" in text for text in quiet_result.warnings)
    assert quiet.seen == reading.seen and len(quiet.seen) > 200
    assert quiet.last_tick == reading.last_tick and quiet.last_tick is not None


@pytest.mark.parametrize("on_fills, error", [(None, None), ("not callable", TypeError)])
def test_a_drive_mutes_its_exchange_only_while_it_runs(taipei_data_dir, on_fills, error):
    replay = Ticker(SyntheticMarket()).iter_ticks([{"code": "2330", "market": "Stock"}], DAY, DAY)
    matcher, ctx, fills = Matcher(Positions()), SimpleNamespace(tick=None), []
    placed = []

    def on_tick(ctx, tick):  # one market order on the first tick, filled on the next
        if not placed:
            placed.append(matcher.add_order(**{**STOCK, "price": 0.0, "price_type": "MKT"}))

    if error:
        with pytest.raises(error, match="on_fills"):
            replay.drive(matcher, QuoteManager(), ctx, {"2330"}, on_tick=on_tick, on_fills=on_fills)
    else:
        replay.drive(matcher, QuoteManager(), ctx, {"2330"}, on_tick=on_tick,
                     on_fills=lambda tick: fills.append((tick, ctx.tick)))
        deals = [r for r in matcher.positions.trade_records if r["trade_status"] == "Deal"]
        assert sum(d["quantity"] for d in deals) == STOCK["qty"]  # over a tick or more
        assert [tick["close"] for tick, _ in fills] == [d["price"] for d in deals]  # one per fill tick
        assert all(tick is seen for tick, seen in fills)  # ctx.tick is the fill's tick
    assert drain(matcher) == []  # nothing made while muted, and nothing half-muted after a refusal
    matcher.add_order(**STOCK)
    assert [sorted(report) for report in drain(matcher)] == [
        ["operation_message", "operation_status_code", "operation_type", "order", "trade_status"]]
