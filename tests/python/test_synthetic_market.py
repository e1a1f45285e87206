from datetime import datetime, timedelta, timezone

import pytest

from orva_backtest.market import SyntheticMarket
from orva_backtest.modules.positions.positions import Positions, QuoteManager

TAIPEI = timezone(timedelta(hours=8))
COLUMNS = ["ts", "close", "volume", "bid_price", "bid_volume", "ask_price", "ask_volume", "tick_type"]


@pytest.fixture(scope="module")
def market():
    return SyntheticMarket()


def taipei(ns):
    return datetime.fromtimestamp(ns / 1e9, TAIPEI)


def test_contract_tables(market):
    assert market.Contracts.Stocks["2330"].security_type == "STK"
    assert market.Contracts.Futures["TXFR1"].security_type == "FUT"
    for table, code in [(market.Contracts.Stocks, "TXFR1"), (market.Contracts.Futures, "2330"),
                        (market.Contracts.Stocks, "../x"), (market.Contracts.Stocks, 2330)]:
        with pytest.raises(KeyError):
            table[code]


def test_ticks_are_deterministic_columns(market):
    contract = market.Contracts.Stocks["2330"]
    day = market.ticks(contract=contract, date="2024-03-04")
    assert list(day) == COLUMNS and len({len(v) for v in day.values()}) == 1
    assert day == SyntheticMarket().ticks(contract=contract, date="2024-03-04")
    assert day != market.ticks(contract=contract, date="2024-03-05")
    assert day["ts"] == sorted(day["ts"])


def test_stock_session_and_closing_trade(market):
    day = market.ticks(contract=market.Contracts.Stocks["2330"], date="2024-03-04")
    times = [taipei(ts) for ts in day["ts"]]
    assert all(t.date().isoformat() == "2024-03-04" for t in times)
    assert times[0].time() >= datetime(2024, 3, 4, 9).time()
    assert max(t.time() for t in times[:-1]) < datetime(2024, 3, 4, 13, 25).time()
    assert times[-1].strftime("%H:%M:%S") == "13:30:00"


def test_futures_night_session_belongs_to_the_next_trading_day(market):
    day = market.ticks(contract=market.Contracts.Futures["TXFR1"], date="2024-03-04")  # a Monday
    times = [taipei(ts) for ts in day["ts"]]
    night = [t for t in times if t.date().isoformat() != "2024-03-04"]
    assert night and {t.date().isoformat() for t in night} <= {"2024-03-01", "2024-03-02"}
    assert all(t.hour >= 15 or t.hour < 5 for t in night)
    assert all(8 * 60 + 45 <= t.hour * 60 + t.minute < 13 * 60 + 45 for t in times if t not in night)


@pytest.mark.parametrize("date", ["2024-03-02", "2024-03-03", "2024-02-28", "2024-10-10",
                                  "2024-10-31"])  # the last: typhoon Kong-rey
def test_market_and_calendar_agree_on_closed_days(market, date):
    assert market.ticks(contract=market.Contracts.Stocks["2330"], date=date)["ts"] == []
    assert date in QuoteManager().holiday_search_set


@pytest.mark.parametrize("code, kind", [("2330", "Stocks"), ("0050", "Stocks"), ("2002", "Stocks"),
                                        ("TXFR1", "Futures")])
def test_prices_lie_on_the_tick_grid_with_quotes_around_them(market, code, kind):
    grid = Positions()
    day = market.ticks(contract=getattr(market.Contracts, kind)[code], date="2024-03-05")
    for close, bid, ask in zip(day["close"], day["bid_price"], day["ask_price"]):
        assert grid._Positions__ceil_price_by_tick(code, close)[0] == close
        assert bid <= close <= ask and bid < ask
    assert all(v > 0 for v in day["volume"]) and set(day["tick_type"]) <= {1, 2}
