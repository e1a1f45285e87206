"""The queue fill model and latency, on hand-made ticks with known answers."""
import numpy as np
import pytest

from matcher_helpers import Exchange
from orva_backtest.modules.matcher.matcher import Matcher
from orva_backtest.modules.positions.positions import Positions

BOOK = dict(bid=(600.0, 30), ask=(601.0, 20))


@pytest.fixture
def queue(console):
    return Exchange()


def test_at_the_bid_the_quantity_shown_trades_first(queue):
    queue.tick(600.0, 1, **BOOK)
    queue.order("Buy", 5, 600.0)
    queue.tick(600.0, 25, **BOOK)  # 30 ahead: all of it goes to the queue
    assert queue.fills() == []
    queue.tick(600.0, 8, **BOOK)   # 5 left ahead, then 3 for us: a partial fill
    assert queue.fills() == [("Buy", 3, 600.0)]
    queue.tick(600.0, 8, **BOOK)
    assert queue.fills() == [("Buy", 3, 600.0), ("Buy", 2, 600.0)]
    assert queue.matcher.pending_orders == []


def test_improving_the_bid_puts_the_order_first(queue):
    queue.tick(600.0, 1, bid=(599.0, 30), ask=(601.0, 20))
    queue.order("Buy", 2, 600.0)
    queue.tick(600.0, 1, bid=(600.0, 2), ask=(601.0, 20))
    assert queue.fills() == [("Buy", 1, 600.0)]


def test_behind_the_bid_only_a_trade_through_fills_until_shown_as_the_bid(queue):
    queue.tick(600.0, 1, **BOOK)
    through = queue.order("Buy", 5, 599.0)
    queue.tick(599.0, 50, **BOOK)  # at its price, but its place is not known
    assert queue.fills() == []
    queue.tick(598.0, 2, **BOOK)  # a trade through it: the level is gone, nothing left ahead
    queue.tick(599.0, 3, **BOOK)
    assert queue.fills() == [("Buy", 2, 598.0), ("Buy", 3, 599.0)]
    queue.matcher.cancel_order(through)
    shown = queue.order("Buy", 5, 598.0)
    queue.tick(600.0, 1, bid=(598.0, 10), ask=(599.0, 5))  # now the bid: 10 ahead of it
    queue.tick(598.0, 12, bid=(598.0, 10), ask=(599.0, 5))
    assert queue.fills()[-1] == ("Buy", 2, 598.0) and shown
def test_own_orders_at_one_price_queue_in_arrival_order(queue):
    queue.tick(600.0, 1, **BOOK)
    first, second = queue.order("Buy", 3, 600.0), queue.order("Buy", 3, 600.0)
    queue.tick(600.0, 34, **BOOK)  # 30 ahead, then 3 to the first, 1 to the second
    deals = [(r["trade_id"], r["quantity"]) for r in queue.matcher.positions.trade_records
             if r["trade_status"] == "Deal"]
    assert deals == [(first, 3), (second, 1)]


def test_marketable_and_market_orders_take_what_the_other_side_shows(queue):
    queue.tick(600.0, 1, **BOOK)
    queue.order("Buy", 50, 602.0)  # crosses the ask: 20 at 601 now, 30 rest at 602
    assert queue.fills() == [("Buy", 20, 601.0)]
    queue.order("Sell", 4)  # market: against the bid
    assert queue.fills()[-1] == ("Sell", 4, 600.0)
    queue.order("Sell", 5, 599.0, order_type="FOK")  # 26 of the bid's 30 left: all of it at once
    assert queue.fills()[-1] == ("Sell", 5, 600.0)
    queue.order("Buy", 5, 602.0, order_type="FOK")  # the ask's 20 are taken: nothing at once
    assert queue.fills()[-1] == ("Sell", 5, 600.0) and queue.reports()[-1] == "Cancel"


def test_unusable_quotes_let_market_orders_fall_back_to_the_trade(queue):
    queue.tick(600.0, 1, bid=(600.0, 0), ask=(600.0, 0))  # no quotes (as imported trades carry)
    queue.order("Buy", 2)
    assert queue.fills() == []
    queue.tick(600.5, 3, bid=(600.0, 0), ask=(600.0, 0))
    assert queue.fills() == [("Buy", 2, 600.5)]


def test_latency_holds_orders_and_cancels_on_their_way(console):
    slow = Exchange(fill_model="touch", latency_ms=50)
    slow.tick(600.0, 1)
    slow.reports()
    trade_id = slow.order("Buy", 1, 600.0)
    assert slow.matcher.pending_orders == [] and [o["trade_id"] for o in slow.matcher.orders_in_flight] == [trade_id]
    assert slow.reports() == []  # its report comes when it arrives
    slow.tick(600.0, 5, step=0.03)  # 30 ms later: not there yet, so it cannot fill
    assert slow.fills() == []
    slow.tick(600.0, 5, step=0.03)  # 60 ms: it arrived before this tick was matched
    assert slow.fills() == [("Buy", 1, 600.0)] and slow.reports() == ["New", "Deal"]
    resting = slow.order("Buy", 1, 590.0)
    slow.tick(599.0, 1, step=0.1)
    slow.matcher.cancel_order(resting)  # on its way when the next tick fills the order
    slow.tick(590.0, 1, step=0.01)
    assert slow.fills()[-1] == ("Buy", 1, 590.0) and slow.matcher.pending_orders == []
    slow.tick(590.0, 1, step=0.1)  # the cancel arrives to nothing
    assert "不存在" in console.lines[-1]


@pytest.mark.parametrize("kwargs, message", [
    ({"fill_model": "fifo"}, "fill_model"), ({"latency_ms": -1}, "latency_ms"),
    ({"latency_ms": float("nan")}, "latency_ms"), ({"latency_ms": True}, "latency_ms"),
    ({"latency_ms": None}, "latency_ms"), ({"fill_model": None}, "fill_model"),
    ({"latency_ms": 10 ** 400}, "latency_ms"), ({"latency_ms": 1j}, "latency_ms")])
def test_settings_are_checked(kwargs, message):
    with pytest.raises((ValueError, TypeError), match=message) as raised:
        Matcher(Positions(), **kwargs)
    assert "\n" not in str(raised.value)


@pytest.mark.parametrize("latency_ms", [1001, 63.7, np.int64(250)])
def test_settings_read_back_as_given(latency_ms):
    matcher = Matcher(Positions(), fill_model="queue", latency_ms=latency_ms)
    assert matcher.latency_ms == latency_ms and type(matcher.latency_ms) in (int, float)
    assert matcher.positions.fill_rules == {"fill_model": "queue", "latency_ms": matcher.latency_ms}
    assert type(matcher.positions.fill_rules["latency_ms"]) is type(matcher.latency_ms)


@pytest.mark.parametrize("fill_model, latency_ms", [("touch", 0), ("queue", 0), ("queue", 50)])
def test_an_order_changed_down_to_nothing_leaves_on_the_tick_that_reaches_it(console, fill_model, latency_ms):
    exchange = Exchange(fill_model=fill_model, latency_ms=latency_ms)
    exchange.tick(600.0, 1, **BOOK)
    trade_id = exchange.order("Buy", 2, 600.0)
    exchange.tick(601.0, 1, **BOOK)
    exchange.matcher.modify_order(trade_id, 2)
    exchange.tick(601.0, 1, **BOOK)  # the change has arrived; the price is not reached
    assert [o["quantity"] for o in exchange.matcher.pending_orders] == [0]
    exchange.tick(600.0, 100, **BOOK)
    assert exchange.matcher.pending_orders == [] and exchange.fills() == []


class BidPoster:
    """Posts a limit buy just below the last trade, then a limit sell just above, on 2330;
    cancels an order that waited 200 ticks. Records what it sees."""

    def __init__(self):
        self.count, self.placed, self.seen = 0, None, []

    def on_tick(self, ctx, tick):
        if tick["code"] != "2330":
            return
        self.count += 1
        self.seen.append((tick["timestamp"], tick.get("quote")))
        if ctx.pending_orders:
            if self.count - self.placed > 200:
                ctx.cancel_order(ctx.pending_orders[0]["trade_id"])
            return
        held = ctx.position("2330")
        self.placed = self.count
        if held:
            ctx.sell("2330", held, tick["close"] + 1)
        else:
            ctx.buy("2330", 1, tick["close"] - 1)

    def on_deal_report(self, ctx, report):
        self.seen.append(("deal", report["exchange_ts"]))


@pytest.mark.parametrize("fill_model, latency_ms", [("queue", 0), ("queue", 50), ("touch", 50)])
def test_direct_and_paced_replays_agree_under_every_setting(tmp_path, fill_model, latency_ms):
    from orva_backtest import Strategy
    from orva_backtest.runner import run_backtest

    class Poster(BidPoster, Strategy):
        pass
    runs = {}
    for mode in ("direct", "paced"):
        strategy = Poster()
        result = run_backtest(strategy, ["2330:Stock"], "2024-03-04", "2024-03-05", mode=mode,
                              data_dir=tmp_path / mode, reports=False, fill_model=fill_model,
                              latency_ms=latency_ms)
        deals = [(r["action"], r["quantity"], r["price"], r["dt"]) for r in result.account.trade_records]
        runs[mode] = (deals, result.profit_rows, strategy.seen, result.summary()["fill_model"])
    assert runs["direct"] == runs["paced"]
    deals, _, seen, shown = runs["direct"]
    assert deals and shown == fill_model
    quoted = [s[1] for s in seen if s[0] != "deal"]
    assert all(q is not None for q in quoted) == (fill_model == "queue")
    if fill_model == "queue":  # (bid_price, bid_volume, ask_price, ask_volume)
        bid, bid_volume, ask, ask_volume = quoted[0]
        assert bid < ask and bid_volume > 0 and ask_volume > 0


def test_the_queue_model_fills_less_than_touch(tmp_path):
    from orva_backtest import Strategy
    from orva_backtest.runner import run_backtest

    class Poster(BidPoster, Strategy):
        pass
    fills = {}
    for model in ("touch", "queue"):
        result = run_backtest(Poster(), ["2330:Stock"], "2024-03-04", "2024-03-05",
                              data_dir=tmp_path / model, reports=False, fill_model=model)
        fills[model] = sum(r["trade_status"] == "Deal" for r in result.account.trade_records)
    assert 0 < fills["queue"] < fills["touch"]
