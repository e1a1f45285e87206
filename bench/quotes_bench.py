"""Quote buffer cases: add_tick, incremental K-bars over long histories, memory per tick."""
import os
import time
from datetime import datetime

from orva_backtest.modules.positions.positions import QuoteManager

SUBSYSTEM = "quotes"
START = datetime(2024, 3, 4, 9, 0).timestamp()  # a Monday morning, Taiwan time


def _tick(ts, close=600.0):
    return {"market_type": "Future", "timestamp": ts, "code": "TXFR1", "close": close, "qty": 1,
            "tick_type": 1, "is_simulate": False, "is_backfilling": False}


def _filled(count):
    """A quote manager holding `count` futures ticks, one a second, all handed over."""
    qm = QuoteManager()
    for i in range(count):
        qm.add_tick(_tick(START + i, 600.0 + i % 7))
    qm.get_kbar("TXFR1", "m", 1)
    return qm


def cases():
    steady = QuoteManager()
    clock = [START]

    def add_steady():
        clock[0] += 1.0
        steady.add_tick(_tick(clock[0]))

    weekend = QuoteManager()
    friday = datetime(2024, 3, 8, 13, 0).timestamp()
    monday = datetime(2024, 3, 11, 8, 50).timestamp()

    def add_across_weekend():
        weekend.clear_ticks()
        weekend.add_tick(_tick(friday))
        weekend.add_tick(_tick(monday))

    out = [("add_tick, next second (no gap)", add_steady),
           ("add_tick pair across a weekend gap", add_across_weekend)]
    for history in (10_000, 100_000, 1_000_000):
        holder = {"qm": _filled(history), "t": START + history}

        def add_hundred(holder=holder):
            for _ in range(100):
                holder["t"] += 1.0
                holder["qm"].add_tick(_tick(holder["t"]))

        out.append((f"get_kbar m1 update, 100 new ticks, history {history:,}",
                    lambda holder=holder: holder["qm"].get_kbar("TXFR1", "m", 1), add_hundred))
    return out


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory(ticks):
    qm = QuoteManager()
    qm.add_tick(_tick(START))
    before = _rss_bytes()
    for i in range(1, ticks):
        qm.add_tick(_tick(START + i * 0.5))
    grown = _rss_bytes() - before
    return ticks, f"ticks ({grown / ticks:.1f} bytes RSS per tick)"


def throughputs(quick):
    ticks = 500_000 if quick else 5_000_000
    return [("add_tick into one buffer (memory growth)", lambda: memory(ticks))]
