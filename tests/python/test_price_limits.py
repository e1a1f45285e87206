"""Daily price limits at the exchange: ±10 % of the previous trading day's last trade,
rounded inward; a limit order outside them is refused with its report and nothing booked."""
import pytest

from matcher_helpers import T0, Exchange, drain
from orva_backtest.modules.matcher.matcher import Matcher
from orva_backtest.modules.positions.positions import Positions

DAY = 86400.0


def next_day(latency_ms=0):
    """An exchange on Tuesday 09:00 after Monday closed at 600: the band is 540 to 660."""
    exchange = Exchange(fill_model="touch", latency_ms=latency_ms, price_limit=0.1)
    exchange.tick(610.0, 1)
    exchange.tick(600.0, 1, step=4 * 3600)  # Monday's last trade
    exchange.time = T0 + DAY - 1
    exchange.tick(605.0, 1)
    drain(exchange.matcher)
    return exchange


@pytest.mark.parametrize("action, price, refused", [
    ("Buy", 666.0, True), ("Buy", 660.0, False), ("Sell", 539.0, True), ("Sell", 540.0, False)])
def test_a_limit_order_outside_the_day_s_band_is_refused(console, action, price, refused):
    exchange = next_day()
    trade_id = exchange.order(action, 1, price)
    (report,) = drain(exchange.matcher)
    assert report["operation_status_code"] == ("88" if refused else "00")
    assert (trade_id in [o["trade_id"] for o in exchange.matcher.pending_orders]) != refused
    if refused:
        assert "540 ~ 660" in report["operation_message"]
        assert exchange.matcher.positions.trade_records == []



@pytest.mark.parametrize("price, refused", [(670.0, True), (660.0, False)])
def test_a_price_change_outside_the_band_is_refused_and_the_order_keeps_its_price(console, price,
                                                                                 refused):
    exchange = next_day()
    trade_id = exchange.order("Buy", 1, 600.0)
    drain(exchange.matcher)
    exchange.matcher.modify_order(trade_id, price=price)
    (report,) = drain(exchange.matcher)
    assert report["operation_status_code"] == ("88" if refused else "00")
    (order,) = exchange.matcher.pending_orders
    assert order["price"] == (600.0 if refused else price)
    exchange.tick(620.0, 1)  # within the band: only the changed price reaches it
    assert exchange.fills() == ([] if refused else [("Buy", 1, 620.0)])

def test_an_order_arriving_on_a_new_day_meets_that_day_s_band(console):
    exchange = Exchange(fill_model="touch", latency_ms=50, price_limit=0.1)
    exchange.tick(600.0, 1)
    exchange.order("Buy", 1, 700.0)  # the first day has no band; it arrives the next day
    exchange.time = T0 + DAY - 1
    exchange.tick(605.0, 1)
    assert exchange.matcher.pending_orders == []


def test_no_trade_outside_the_band_fills_an_order(console):
    exchange = next_day()
    exchange.order("Buy", 1)
    exchange.tick(670.0, 5)  # outside the band: not a trade this exchange allows
    assert exchange.fills() == []
    exchange.tick(650.0, 5)
    assert exchange.fills() == [("Buy", 1, 650.0)]


@pytest.mark.parametrize("buy, sell, booked", [
    ((None, 660.0), (None, 540.0), (660, 540)),  # market orders at the limits: no slip past them
    ((659.0, 658.0), (541.0, 542.0), (659, 541)),  # limits inside the band: theirs is nearer
])
def test_slippage_stops_at_the_day_s_band(console, buy, sell, booked):
    exchange = next_day()
    exchange.matcher.positions.set_initial_capital(10_000_000)
    exchange.order("Buy", 1, buy[0])
    exchange.tick(buy[1], 5)
    exchange.order("Sell", 1, sell[0])
    exchange.tick(sell[1], 5)
    (row,) = exchange.matcher.positions._profit_report["rows"]
    assert (row["entry_price"], row["exit_price"]) == booked


def test_the_first_day_and_a_matcher_without_limits_accept_any_price(console):
    first_day = Exchange(fill_model="touch", price_limit=0.1)
    first_day.tick(600.0, 1)
    first_day.order("Buy", 1, 900.0)
    described = Exchange(fill_model="touch")  # built by hand, without limits
    described.tick(600.0, 1)
    described.time = T0 + DAY - 1
    described.tick(605.0, 1)
    described.order("Buy", 1, 900.0)
    assert len(first_day.matcher.pending_orders) == len(described.matcher.pending_orders) == 1


@pytest.mark.parametrize("value", [0, 1, -0.1, float("nan"), True, "0.1"])
def test_the_limit_is_checked(value):
    with pytest.raises((TypeError, ValueError), match="price_limit"):
        Matcher(Positions(), price_limit=value)
