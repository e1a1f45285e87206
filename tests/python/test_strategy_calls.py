"""What a Python strategy is handed on every tick, and what the engine does around its calls."""
import sys

import pytest

from orva_backtest import Strategy, utils
from orva_backtest.runner import run_backtest

DAYS = ("2024-03-04", "2024-03-05")


class ReadsEverything(Strategy):
    """Reads every key of every tick, keeps the ticks, and trades on its own count of deals."""

    def __init__(self):
        self.kept, self.copies, self.deals, self.held = [], [], [], {}

    def on_tick(self, ctx, tick):
        assert ctx.tick is tick
        view = (dict(tick), list(tick), [tick[key] for key in tick], {key: tick.get(key) for key in tick})
        assert view[0] == dict(zip(view[1], view[2])) == view[3] and all(key in tick for key in tick)
        self.kept.append(tick)
        self.copies.append(dict(tick))
        code = tick["code"]
        assert ctx.position(code) == self.held.get(code, 0)  # long minus short, as the deals left it
        if len(self.kept) % 300 == 0 and not ctx.pending_orders:
            ctx.sell(code, 2) if self.held.get(code, 0) > 0 else ctx.buy(code, 3)

    def on_deal_report(self, ctx, report):
        sign = 1 if str(report["action"]) == "Buy" else -1
        self.held[report["code"]] = self.held.get(report["code"], 0) + sign * report["quantity"]
        self.deals.append((report["code"], str(report["action"]), report["quantity"], report["price"],
                           report["exchange_ts"]))


def test_both_modes_hand_the_same_ticks_and_fill_the_same_orders(tmp_path):
    runs = {mode: ReadsEverything() for mode in ("direct", "paced")}
    for mode, strategy in runs.items():
        run_backtest(strategy, ["2330:Stock", "TXFR1:Future"], *DAYS, data_dir=tmp_path / mode,
                     reports=False, mode=mode, capital=10_000_000)
        # A tick kept past its callback still reads as it was handed over.
        assert [dict(tick) for tick in strategy.kept] == strategy.copies
    direct, paced = runs["direct"], runs["paced"]
    assert len(direct.copies) > 10_000 and direct.copies == paced.copies
    assert direct.deals and direct.deals == paced.deals
    assert {code for code, *_ in direct.deals} == {"2330", "TXFR1"}


class Cash(float):
    """A balance that counts how often it is formatted as text."""
    formatted = 0

    def __str__(self):
        Cash.formatted += 1
        return float.__repr__(self)

    def __sub__(self, other):
        return Cash(float(self) - other)

    def __add__(self, other):
        return Cash(float(self) + other)


class RoundTrips(Strategy):
    def __init__(self):
        self.ticks = 0

    def on_start(self, ctx):
        ctx.account.current_capital = Cash(ctx.account.current_capital)

    def on_tick(self, ctx, tick):
        self.ticks += 1
        if self.ticks % 500 == 0:
            ctx.sell("2330") if ctx.position("2330") else ctx.buy("2330")


@pytest.mark.parametrize("silent", [True, False])
def test_the_booking_formats_its_messages_only_for_a_console_that_prints(tmp_path, console, silent):
    if silent:
        utils.console = utils.SilentConsole()
    Cash.formatted = 0
    result = run_backtest(RoundTrips(), ["2330:Stock"], DAYS[0], DAYS[0], data_dir=tmp_path,
                          reports=False)
    assert len(result.profit_rows) >= 2
    if silent:
        assert Cash.formatted == 0
    else:  # every entry and exit tells the balance
        assert Cash.formatted >= 2 * len(result.profit_rows)
        assert any("[回測] 進場 2330" in line for line in console.lines)


def latest(ctx):
    """Every code's latest tick as the account and the exchange keep them, copied."""
    return ({code: tick and dict(tick) for code, tick in ctx.account.current_tick_infos.items()},
            {code: (info["ts"], dict(info["tick"])) for code, info in ctx.matcher.current_tick_infos.items()})


class Observer(Strategy):
    """Trades 2330 and TXFR1 now and then; keeps what it is handed and what current_tick_infos
    holds at its callbacks (the codes it is not handed included)."""

    def __init__(self, ticks):
        self.seen, self.kept, self.copies, self.count = [], [], [], 0
        if not ticks:
            self.on_tick = None  # bars only: most ticks reach no callback

    def on_start(self, ctx):
        self.ctx = ctx
        ctx.subscribe_bars("2330")

    def on_tick(self, ctx, tick):
        assert ctx.account.current_tick_infos[tick["code"]] is tick
        assert ctx.matcher.current_tick_infos[tick["code"]]["tick"] is tick
        self.count += 1
        if self.count % 97 == 0:
            self.seen.append(("tick", latest(ctx)))
        if self.count % 400 == 0:
            ctx.sell(tick["code"]) if ctx.position(tick["code"]) > 0 else ctx.buy(tick["code"])

    def on_bar(self, ctx, bar):
        self.kept.append(ctx.tick)
        self.copies.append(dict(ctx.tick))
        self.seen.append(("bar", bar["dt"], latest(ctx)))
        if len(self.kept) % 7 == 0:
            ctx.sell("TXFR1") if ctx.position("TXFR1") > 0 else ctx.buy("TXFR1")

    def on_order_report(self, ctx, report):
        self.seen.append(("order", latest(ctx)))

    def on_deal_report(self, ctx, report):
        self.seen.append(("deal", latest(ctx)))


@pytest.mark.parametrize("ticks", [True, False])
def test_current_tick_infos_read_as_tick_by_tick_in_both_modes(tmp_path, ticks):
    runs = {}
    for mode in ("direct", "paced"):
        strategy = Observer(ticks)
        run_backtest(strategy, ["2330:Stock", "TXFR1:Future"], *DAYS, data_dir=tmp_path / mode,
                              reports=False, mode=mode, capital=10_000_000)
        assert [dict(tick) for tick in strategy.kept] == strategy.copies  # kept ticks never change
        runs[mode] = (strategy.seen, latest(strategy.ctx))
    direct, paced = runs["direct"], runs["paced"]
    assert sum(kind == "deal" for kind, *_ in direct[0]) > 3 and direct == paced
    assert set(direct[1][0]) == set(direct[1][1]) == {"2330", "TXFR1", "0050"}  # read after the run



class Asks(Strategy):
    """Asks for its position on every tick and trades now and then."""

    def __init__(self):
        self.asked, self.engine_calls, self.answers = 0, 0, []

    def on_tick(self, ctx, tick):
        self.asked += 1
        sys.setprofile(self.count)
        held = ctx.position(tick["code"])
        sys.setprofile(None)
        self.answers.append(held)
        if self.asked % 500 == 0:
            ctx.sell(tick["code"], held) if held > 0 else ctx.buy(tick["code"], 2)

    def count(self, frame, event, arg):
        if event == "call" and "orva_backtest" in frame.f_code.co_filename:
            self.engine_calls += 1


def test_a_position_asked_on_every_tick_runs_one_python_call_of_the_engine(tmp_path):
    strategy = Asks()
    result = run_backtest(strategy, ["2330:Stock"], DAYS[0], DAYS[0], data_dir=tmp_path, reports=False)
    assert strategy.engine_calls == strategy.asked > 1_000  # Context.position and nothing under it
    assert (min(strategy.answers), max(strategy.answers)) == (0, 2)  # filled in part at times
    assert result.account.net_quantity("2330") == strategy.answers[-1]
