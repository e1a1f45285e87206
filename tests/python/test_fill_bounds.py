"""No fill better than the market offered: a quote from before a session break is no quote,
orders that take one displayed quantity share it, a limit order is booked within its limit;
and a seeded property over random order sequences."""
import random

import pytest

from matcher_helpers import T0, Exchange

HOUR = 3600.0
LAST_QUOTE = dict(bid=(527.0, 50), ask=(528.0, 50))
NEW_QUOTE = dict(bid=(501.0, 50), ask=(502.0, 50))


@pytest.mark.parametrize("gap, price", [
    (19.5 * HOUR + 0.66, 501.0),  # the next morning: the new session's bid
    (1.5 * HOUR, 501.0),          # 15:00, the night session
    (91.5 * HOUR, 501.0),         # after a weekend
    (0.5 * HOUR, 527.0),          # 14:00, still the day's session: the last quote stands
])
def test_an_order_arriving_after_a_session_break_meets_the_new_session(console, gap, price):
    exchange = Exchange(latency_ms=1)
    exchange.time = T0 + 4.5 * HOUR - 1
    exchange.tick(528.0, 1, **LAST_QUOTE)  # 13:30, the close
    exchange.order("Sell", 1)
    exchange.tick(502.0, 1, step=gap, **NEW_QUOTE)
    assert exchange.fills() == [("Sell", 1, price)]


@pytest.mark.parametrize("price, latency_ms", [(None, 0), (529.0, 0), (None, 50), (529.0, 50)])
def test_orders_share_the_quantity_a_quote_shows(console, price, latency_ms):
    exchange = Exchange(latency_ms=latency_ms)
    book = dict(bid=(528.0, 90), ask=(529.0, 88))
    exchange.tick(529.0, 4, **book)
    for _ in range(5):
        exchange.order("Buy", 88, price)
    exchange.tick(529.0, 4, step=0.1, **book)  # the same quote again, and a trade of 4
    filled = [quantity for _, quantity, fill_price in exchange.fills() if fill_price == 529.0]
    assert 88 <= sum(filled) <= 88 + 4  # what was shown, then at most what traded


def test_a_market_order_takes_only_what_its_own_side_shows(console):
    exchange = Exchange()
    exchange.tick(600.0, 1, bid=(600.0, 30), ask=(601.0, 5))
    exchange.order("Buy", 20)
    assert exchange.fills() == [("Buy", 5, 601.0)]  # the ask's 5, not the bid's 30


def test_without_quotes_one_trade_fills_ioc_and_resting_orders_once(console):
    exchange = Exchange()
    no_quotes = dict(bid=(600.0, 0), ask=(600.0, 0))  # as the exchange's trade files carry
    exchange.tick(600.0, 1, **no_quotes)
    exchange.order("Buy", 3, 601.0)
    exchange.order("Buy", 3, 601.0, order_type="IOC")
    exchange.tick(600.0, 4, **no_quotes)
    assert sum(quantity for _, quantity, _ in exchange.fills()) == 4


@pytest.mark.parametrize("fill_model", ["touch", "queue"])
def test_an_order_arriving_exactly_at_a_tick_meets_that_tick(console, fill_model):
    exchange = Exchange(fill_model=fill_model, latency_ms=1000)  # whole-second data
    book = dict(bid=(599.0, 50), ask=(600.0, 50))
    exchange.tick(600.0, 1, **book)
    exchange.order("Buy", 1, 600.0)
    exchange.tick(600.0, 1, step=1.0, **book)
    assert exchange.fills() == [("Buy", 1, 600.0)]


def _booked(side, action, limit, close):
    """The profit row of a round trip whose `side` ("entry" or "exit") is a limit `action` at
    `limit` filled on a trade at `close`; the other side is a market order."""
    exchange = Exchange(fill_model="touch")
    other = "Sell" if action == "Buy" else "Buy"
    steps = [(action, limit), (other, None)] if side == "entry" else [(other, None), (action, limit)]
    for order_action, price in steps:
        exchange.tick(close, 1, code="2317")
        exchange.order(order_action, 1, price, code="2317")
        exchange.tick(close, 1, code="2317")
    account = exchange.matcher.positions
    (row,) = account._profit_report["rows"]
    assert account.current_capital == pytest.approx(account.initial_capital + row["profit"])
    return row[f"{side}_price"]


@pytest.mark.parametrize("side", ["entry", "exit"])
@pytest.mark.parametrize("action, limit, close, booked", [
    ("Buy", 92.1, 92.1, 92.1),   # at its limit: no room to slip
    ("Buy", 92.1, 91.9, 92.1),   # below it: slips up to the limit, no further
    ("Buy", 92.1, 91.0, 91.3),   # far below: the full 3 ticks
    ("Sell", 92.4, 92.4, 92.4),
    ("Sell", 92.4, 92.6, 92.4),
])
def test_a_limit_order_is_never_booked_beyond_its_limit(console, side, action, limit, close, booked):
    assert _booked(side, action, limit, close) == pytest.approx(booked)


def test_market_orders_still_slip(console):
    exchange = Exchange(fill_model="touch")
    for action in ("Buy", "Sell"):
        exchange.tick(600.0, 1)
        exchange.order(action, 1)
        exchange.tick(600.0, 1)
    (row,) = exchange.matcher.positions._profit_report["rows"]
    assert (row["entry_price"], row["exit_price"]) == (603.0, 597.0)


def _random_order(rng, exchange, orders, mid):
    action = rng.choice(["Buy", "Sell"])
    price = None if rng.random() < 0.3 else mid + rng.randint(-3, 3)
    order_type = rng.choice(["ROD", "ROD", "IOC", "FOK"])
    trade_id = exchange.order(action, rng.randint(1, 40), price, order_type)
    orders[trade_id] = (action, price)


def _check_window(deals, orders, allowed, most):
    for deal in deals:
        assert deal["price"] in allowed, (deal, allowed)
        action, limit = orders[deal["trade_id"]]
        if limit is not None:
            assert (deal["price"] <= limit) if action == "Buy" else (deal["price"] >= limit)
    assert sum(deal["quantity"] for deal in deals) <= most


@pytest.mark.parametrize("seed", range(5))
@pytest.mark.parametrize("fill_model, latency_ms", [("touch", 0), ("touch", 40), ("queue", 0),
                                                    ("queue", 40), ("queue", 1000)])
def test_no_fill_beyond_what_was_traded_or_quoted(console, seed, fill_model, latency_ms):
    rng = random.Random(seed)
    exchange = Exchange(fill_model=fill_model, latency_ms=latency_ms)
    records = exchange.matcher.positions.trade_records
    orders, mid, previous = {}, 600.0, None

    def deals_since(count):
        return [r for r in records[count:] if r["trade_status"] == "Deal"]

    for _ in range(150):
        broken = rng.random() < 0.04  # a close, a night or a holiday lies between
        step = 20 * HOUR if broken else rng.choice([0.02, 0.5, 1.0, 1.0, 2.0])
        mid = max(10.0, mid + rng.choice([-1.0, 0.0, 0.0, 1.0]))
        bid, ask = (mid - 1, rng.randint(1, 30)), (mid, rng.randint(1, 30))
        close, volume = rng.choice([bid[0], ask[0]]), rng.randint(0, 20)
        count = len(records)
        exchange.tick(close, volume, bid=bid, ask=ask, step=step)
        allowed, most = {close, bid[0], ask[0]}, volume + bid[1] + ask[1]
        if previous and not broken:  # orders arriving now met the quotes in force before
            allowed |= {previous[0][0], previous[1][0]}
            most += previous[0][1] + previous[1][1]
        _check_window(deals_since(count), orders, allowed, most)
        count = len(records)
        for _ in range(rng.randint(0, 4)):
            _random_order(rng, exchange, orders, mid)
        _check_window(deals_since(count), orders, {bid[0], ask[0]}, bid[1] + ask[1])
        previous = (bid, ask)
    assert any(r["trade_status"] == "Deal" for r in records)


@pytest.mark.parametrize("mode", ["direct", "paced"])
def test_records_carry_each_side_s_own_quote(taipei_data_dir, console, mode):
    from orva_backtest.market import CacheOnlyMarket
    from orva_backtest.modules.ticker.ticker import Ticker

    folder = taipei_data_dir / "sino" / "ticks"
    folder.mkdir(parents=True)
    rows = [(int(T0 * 1e9) + i * 10**9, 600.0 + i, 1, 599.0 + i, 7 + i, 601.0 + i, 3 + i) for i in range(3)]
    (folder / "2330 2024-03-04 - ticks.csv").write_text(
        "ts,close,volume,bid_price,bid_volume,ask_price,ask_volume,tick_type\n"
        + "".join(",".join(map(str, row)) + ",1\n" for row in rows))
    ticker, codes = Ticker(CacheOnlyMarket()), [{"code": "2330", "market": "Stock"}]
    if mode == "direct":
        records = list(ticker.iter_ticks(codes, "2024-03-04", "2024-03-04", with_quotes=True))
    else:
        ticker.send_ticks(codes, "2024-03-04", "2024-03-04", with_quotes=True)
        records = []
        for _ in range(len(rows) + 1):  # the ticks, then the exit marker
            record = ticker.pop_tick()
            if "orva_status" in record:
                break
            records.append(record)
            ticker.allow_next_tick()
    assert [r["quote"] for r in records] == [(bid, bid_qty, ask, ask_qty)
                                             for _, _, _, bid, bid_qty, ask, ask_qty in rows]
