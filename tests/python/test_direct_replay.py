"""The direct replay's drive when its host reaches back into it or leaves it nothing to do, and
what it holds back from the exchange while no one can look."""
import random
from types import SimpleNamespace

import pytest

from orva_backtest import Strategy
from orva_backtest.engine.runner import run_backtest
from orva_backtest.market import SyntheticMarket
from orva_backtest.modules.matcher.matcher import Matcher
from orva_backtest.modules.positions.positions import BarFeed, Positions, QuoteManager
from orva_backtest.modules.ticker.ticker import Ticker
from process_helpers import run_python

pytestmark = pytest.mark.usefixtures("taipei_data_dir", "console")

CODES = [{"code": "2330", "market": "Stock"}]
DAY = "2024-03-04"


@pytest.mark.parametrize("reach", ["replay.drive(matcher, quotes, None, set())", "next(replay)"])
def test_a_replay_reached_from_its_own_tradable_is_refused_and_left_whole(reach, tmp_path):
    # `tradable` is asked before the loop starts: a drive there used to free the rows under it.
    done = run_python(f"""
        from orva_backtest.constant import BASIC_INFO
        from orva_backtest.market import SyntheticMarket
        from orva_backtest.modules.matcher.matcher import Matcher
        from orva_backtest.modules.positions.positions import QuoteManager
        from orva_backtest.modules.ticker.ticker import Ticker
        BASIC_INFO.data_dir = {str(tmp_path)!r}
        matcher, quotes = Matcher(), QuoteManager()
        replay = Ticker(SyntheticMarket()).iter_ticks({CODES!r}, {DAY!r}, {DAY!r})
        size = len(replay)
        class Reaches:
            def __contains__(self, code):
                {reach}
        try:
            replay.drive(matcher, quotes, None, Reaches())
        except Exception as error:
            print(error)
        print(len(replay) == size, replay.drive(matcher, quotes, None, set()) == size)
    """)
    assert (done.returncode, done.stdout.splitlines()) == (0, ["回放正在 drive 中, 不可再取用", "True True"])


def test_last_bars_of_a_drive_that_handed_no_tick_keep_the_strategy_tick():
    ticker, quotes = Ticker(SyntheticMarket()), QuoteManager()
    replay = ticker.iter_ticks(CODES, DAY, DAY)
    for record in replay:  # every tick taken by iteration: the drive has none left
        quotes.add_tick(record)
    feed = BarFeed(quotes, [("2330", "m", 1)])
    assert feed.update("2330")
    ctx, seen = SimpleNamespace(tick=None), []
    assert replay.drive(Matcher(Positions()), quotes, ctx, set(), bar_feed=feed,
                        on_bar=lambda ctx, bar: seen.append((bar["dt"], ctx.tick))) == 0
    assert seen == [(quotes.get_kbar("2330", "m", 1)["dt"][-1], None)]


class CountingAccount(Positions):
    """An account whose own tick step counts the ticks it is handed."""

    def __init__(self):
        super().__init__()
        self.handed = 0

    def set_current_tick(self, tick):
        self.handed += 1
        super().set_current_tick(tick)


@pytest.mark.parametrize("account", [Positions, CountingAccount])
def test_tick_records_are_made_only_where_python_can_see_them(account):
    codes = [*CODES, {"code": "TXFR1", "market": "Future"}]
    last = {record["code"]: record for record in Ticker(SyntheticMarket()).iter_ticks(codes, DAY, DAY)}
    replay = Ticker(SyntheticMarket()).iter_ticks(codes, DAY, DAY)
    matcher = Matcher(account())
    ticks = replay.drive(matcher, QuoteManager(), None, set())
    assert ticks > 20_000 and matcher.current_tick_infos.keys() == last.keys()
    for code, record in last.items():  # the latest ticks are there after the run, as tick by tick
        assert matcher.positions.current_tick_infos[code] is matcher.current_tick_infos[code]["tick"]
        assert matcher.current_tick_infos[code] == {"ts": record["timestamp"], "tick": record}
    if account is Positions:  # no callback: a record only at the signal checks and the end
        assert replay.records_made <= len(last) * (ticks // 1024 + 1)
    else:  # its own step sees every tick
        assert matcher.positions.handed == replay.records_made == ticks


@pytest.mark.parametrize("account", [Positions, CountingAccount])
def test_ticks_python_cannot_see_reach_the_quote_buffer_in_batches(account):
    codes = [*CODES, {"code": "0050", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]
    by_tick = QuoteManager(compact=True)
    for record in Ticker(SyntheticMarket()).iter_ticks(codes, DAY, "2024-03-05"):
        by_tick.add_tick(record)
    replay = Ticker(SyntheticMarket()).iter_ticks(codes, DAY, "2024-03-05")
    quotes = QuoteManager(compact=True)
    ticks = replay.drive(Matcher(account()), quotes, None, set())
    if account is Positions:  # no callback: one call per signal check and one at the end
        assert 0 < replay.quote_calls <= ticks // 1024 + 1
    else:  # its own step sees every tick, so each is in the buffer before it
        assert replay.quote_calls == ticks
    assert list(quotes.ticks) == list(by_tick.ticks) and len(quotes.ticks) == 3
    for code in ("2330", "0050", "TXFR1"):
        for unit, freq in [("m", 1), ("m", 5), ("d", 1)]:
            assert quotes.get_kbar(code, unit, freq).equals(by_tick.get_kbar(code, unit, freq))


class CountingQueue:
    """A report queue of the host's own that counts how often it is looked into."""

    def __init__(self):
        self.looks = 0

    def empty(self):
        self.looks += 1
        return True


def test_without_callbacks_the_exchange_and_the_report_queue_are_asked_once_per_look():
    # Codes without orders were stepped through the exchange, and its queue looked into,
    # at every tick, though nothing could change between the moments Python can look.
    codes = [*CODES, {"code": "TXFR1", "market": "Future"}]
    replay = Ticker(SyntheticMarket()).iter_ticks(codes, DAY, DAY)
    matcher = Matcher(Positions(), price_limit=0.1)
    matcher.response_queue = CountingQueue()
    ticks = replay.drive(matcher, QuoteManager(), None, set(), on_reports=lambda record: None)
    looks = ticks // 1024 + 1  # each signal check, and the end
    assert ticks > 20_000 and 0 < matcher.response_queue.looks <= looks
    # After each look, and the queue's own (its code may run), each code is asked about once
    # and the ticks held are noted in one call.
    assert 0 < replay.exchange_calls <= 2 * (len(codes) + 1) * looks


IDS = {"id", "seqno", "ordno"}  # drawn at random in each run


class RandomOrders(Strategy):
    """Seeded random orders on one-minute bars (limit and market, ROD, IOC and FOK, some
    cancelled), so they rest while ticks of every code pass that no callback is handed."""

    def __init__(self, seed):
        self.rng, self.reports = random.Random(seed), []

    def on_bar(self, ctx, bar):
        rng, code = self.rng, bar["code"]
        working = ctx.pending_orders
        if working and rng.random() < 0.3:
            ctx.cancel_order(rng.choice(working)["trade_id"])
        if rng.random() < 0.4:
            price = None if rng.random() < 0.2 else ctx.last_close(code) + rng.randint(-3, 3)
            place = ctx.buy if rng.random() < 0.5 else ctx.sell
            place(code, rng.randint(1, 3), price, order_type=rng.choice(["ROD", "ROD", "IOC", "FOK"]))

    def on_order_report(self, ctx, report):
        order = {key: value for key, value in report["order"].items() if key not in IDS}
        self.reports.append(("order", str(report["operation_type"]), report["operation_status_code"],
                             order, report["trade_status"]["exchange_ts"], ctx.tick))

    def on_deal_report(self, ctx, report):
        self.reports.append(("deal", report["code"], str(report["action"]), report["quantity"],
                             report["price"], report["exchange_ts"], ctx.tick))


@pytest.mark.parametrize("fill_model, latency_ms", [("touch", 0), ("queue", 40)])
@pytest.mark.parametrize("seed", [1, 2])
def test_orders_resting_while_unseen_ticks_pass_fill_as_tick_by_tick(tmp_path, seed, fill_model,
                                                                    latency_ms):
    runs = {mode: RandomOrders(seed) for mode in ("direct", "paced")}
    for mode, strategy in runs.items():
        run_backtest(strategy, ["2330:Stock", "TXFR1:Future"], DAY, "2024-03-05",
                     data_dir=tmp_path / mode, reports=False, mode=mode, capital=100_000_000,
                     fill_model=fill_model, latency_ms=latency_ms)
    direct, paced = runs["direct"].reports, runs["paced"].reports
    assert sum(kind == "deal" for kind, *_ in direct) > 20 and direct == paced
