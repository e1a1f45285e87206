"""Tick feed loops: reading cached days, and the replay's host loop beside its floor."""
import os
import queue
import tempfile
import threading
from datetime import date, timedelta

import polars as pl

from orva_backtest.constant import BASIC_INFO
from orva_backtest.modules.ticker.ticker import Ticker

SUBSYSTEM = "ticker"
FIRST_DAY = date(2024, 1, 1)


def cases():
    return []


class NoMarket:
    """Every day is cached, so the SDK is never asked."""
    Contracts = None

    def ticks(self, contract, date):
        raise AssertionError("a cached day reached the SDK")


def write_cache(days, per_day):
    BASIC_INFO.data_dir = tempfile.mkdtemp(prefix="orva-bench-")
    folder = os.path.join(BASIC_INFO.data_dir, "sino", "ticks")
    os.makedirs(folder)
    ts0 = 1_704_070_800 * 10**9
    for d in range(days):
        day = FIRST_DAY + timedelta(days=d)
        ts = [ts0 + (d * per_day + i) * 10**8 for i in range(per_day)]
        pl.DataFrame({
            "ts": ts, "close": [600.0 + (i % 7) for i in range(per_day)], "volume": [1] * per_day,
            "bid_price": [599.0] * per_day, "bid_volume": [5] * per_day,
            "ask_price": [600.0] * per_day, "ask_volume": [5] * per_day, "tick_type": [1] * per_day,
        }).write_csv(os.path.join(folder, f"2330 {day.isoformat()} - ticks.csv"))
    return (FIRST_DAY.isoformat(), (FIRST_DAY + timedelta(days=days - 1)).isoformat())


def read_cached(span, days, per_day):
    ticker = Ticker(NoMarket())
    table = ticker.get_ticks_df("2330", "Stock", *span)
    assert len(table) == days * per_day
    return len(table), "rows"


def replay(span, days, per_day):
    ticker = Ticker(NoMarket())
    ticker.send_ticks([{"code": "2330", "market": "Stock"}], *span)
    count = 0
    while "orva_status" not in ticker.pop_tick():
        count += 1
        ticker.allow_next_tick()
    assert count == days * per_day
    return count, "ticks"


def floor(items):
    """Two queue hand-offs per item between two threads, with pre-built dicts."""
    records = [{"market_type": "Stock", "timestamp": 1.7e9 + i, "code": "2330", "close": 600.0,
                "qty": 1, "tick_type": 1, "is_simulate": False, "is_backfilling": False}
               for i in range(items)]
    ticks, permits = queue.Queue(), queue.Queue()
    permits.put(True)

    def produce():
        for record in records:
            permits.get()
            ticks.put(record)
        permits.get()
        ticks.put({"orva_status": "exit"})

    threading.Thread(target=produce, daemon=True).start()
    count = 0
    while "orva_status" not in ticks.get():
        count += 1
        permits.put(True)
    return count, "items"


def throughputs(quick):
    days, per_day = (5, 20_000) if quick else (20, 50_000)
    span = write_cache(days, per_day)
    return [
        (f"get_ticks_df, {days} cached days x {per_day:,}", lambda: read_cached(span, days, per_day)),
        ("replay host loop: pop_tick + allow_next_tick", lambda: replay(span, days, per_day)),
        ("floor: two queue hand-offs per item, 2 threads", lambda: floor(days * per_day)),
    ]
