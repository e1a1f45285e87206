"""What the ticker's suites share: a scripted stand-in market, tick rows, Taiwan time and a data
directory per test, and the replay queue's helpers."""
import os
import time

import polars as pl
import pytest

from orva_backtest.constant import BASIC_INFO, FLAG

EXIT = {"orva_status": FLAG.exit_send_tick.value}
FINISH = {"orva_status": FLAG.finish_backfilling.value}
COLUMNS = ["ts", "close", "volume", "bid_price", "bid_volume", "ask_price", "ask_volume", "tick_type"]
SCHEMA = [pl.Int64, pl.Float64, pl.Int64, pl.Float64, pl.Int64, pl.Float64, pl.Int64, pl.Int64]


class ScriptedMarket:
    """Fixed ticks per (code, day); counts the SDK calls."""

    def __init__(self, days=None, fail=()):
        self.days = days or {}
        self.fail = set(fail)
        self.calls = []
        self.Contracts = type("Contracts", (), {})()
        self.Contracts.Stocks = {"2330": "STK:2330", "2317": "STK:2317", "../x": "STK:bad"}
        self.Contracts.Futures = {"TXFR1": "FUT:TXFR1"}

    def ticks(self, contract, date):
        self.calls.append((contract, date))
        if (contract, date) in self.fail:
            raise RuntimeError(f"boom {date}")
        rows = self.days.get((contract, date), [])
        return {name: [row[i] for row in rows] for i, name in enumerate(COLUMNS)}


T0 = 1_709_514_000_000_000_000  # 2024-03-04 09:00 Taipei


def at(n):
    """A tick time n nanoseconds after T0."""
    return T0 + n


def row(ts, close=600.0, volume=1, tick_type=1):
    return (ts, close, volume, close - 1, 5, close, 5, tick_type)


@pytest.fixture(autouse=True)
def taipei(monkeypatch, tmp_path, console, logger):
    monkeypatch.setenv("TZ", "Asia/Taipei")
    time.tzset()
    monkeypatch.setattr(BASIC_INFO, "data_dir", str(tmp_path / "data"))
    yield
    monkeypatch.undo()
    time.tzset()


def cache_dir():
    return os.path.join(BASIC_INFO.data_dir, "sino", "ticks")


def pop(ticker, timeout=10):
    return ticker.tick_queue.get(timeout=timeout)


def drain_replay(ticker, limit=100000):
    """Pops until the exit marker, granting a permit after each record."""
    out = []
    for _ in range(limit):
        record = pop(ticker)
        out.append(record)
        if record == EXIT:
            return out
        ticker.allow_next_tick()
    raise AssertionError("no exit marker")


DAY = "2024-03-04"  # a Monday, long past


def three_ticks():
    return ScriptedMarket({("STK:2330", DAY): [row(1_709_514_000_123_456_789, 600.0, 3, 1),
                                              row(1_709_514_001_000_000_000, 601.0, 1, 2),
                                              row(1_709_514_002_000_000_000, 602.0, 2, 1)]})
