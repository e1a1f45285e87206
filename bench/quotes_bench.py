"""Quote buffer cases: add_tick, incremental K-bars over long histories beside the plain
polars steps of the same update, memory per tick."""
import os
import sys
from datetime import datetime

from orva_backtest.modules.positions.positions import QuoteManager

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from kbar_reference import ReferenceBars  # noqa: E402

SUBSYSTEM = "quotes"
START = datetime(2024, 3, 4, 9, 0).timestamp()  # a Monday morning, Taiwan time


def _tick(ts, close=600.0):
    return {"market_type": "Future", "timestamp": ts, "code": "TXFR1", "close": close, "qty": 1,
            "tick_type": 1, "is_simulate": False, "is_backfilling": False}


def _filled(count):
    """A quote manager holding `count` futures ticks, one a second."""
    qm = QuoteManager()
    for i in range(count):
        qm.add_tick(_tick(START + i, 600.0 + i % 7))
    return qm


def _kbar_cases(history, unit, freq):
    """get_kbar and the plain polars steps, each after 1 and after 100 new ticks."""
    ours = _filled(history)
    ours.get_kbar("TXFR1", unit, freq)
    plain = ReferenceBars(_filled(history), "TXFR1", unit, freq)
    plain.get()
    clock = {"t": START + history}

    def feeder(quotes, count):
        def feed():
            for _ in range(count):
                clock["t"] += 1.0
                quotes.add_tick(_tick(clock["t"], 600.0 + clock["t"] % 5))
        return feed

    out = []
    for count in (1, 100):
        label = f"{freq}{unit}, {count} new, history {history:,}"
        out.append((f"get_kbar {label}", lambda: ours.get_kbar("TXFR1", unit, freq), feeder(ours, count)))
        out.append((f"plain polars {label}", plain.get, feeder(plain.quotes, count)))
    return out


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
    for unit, freq in (("m", 1), ("m", 5), ("d", 1)):
        for history in (10_000, 100_000, 1_000_000):
            out.extend(_kbar_cases(history, unit, freq))
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
