"""The compact form of the quote buffer (one-minute bars plus the current trading day's ticks)
against the full one on the same ticks: the same K-bars of every unit, the same bar feed, the
same statistics' marks, and a buffer that holds about a day of ticks whatever the range."""
import random
from datetime import datetime, timedelta

import pytest

from orva_backtest.modules.positions.positions import BarFeed, QuoteManager, _bar_closes

KEYS = [("m", 1), ("m", 5), ("m", 7), ("h", 1), ("h", 5), ("d", 1), ("w", 1), ("mo", 1), ("q", 1), ("y", 1)]
# Monday 2024-02-26 to Wednesday 2024-03-06: the holiday 2024-02-28, a weekend, and no ticks at
# all on Friday 2024-03-01 (a gap the buffer fills with virtual minutes).
DAYS = [datetime(2024, 2, 26) + timedelta(days=n) for n in range(10)]
TRADED = [d for d in DAYS if d.weekday() < 5 and d.day not in (28, 1)]


pytestmark = pytest.mark.usefixtures("taipei_clock")


def record(when, code, market, close, qty):
    return {"market_type": market, "timestamp": when.timestamp(), "code": code, "close": close,
            "qty": qty, "tick_type": 1, "is_simulate": False, "is_backfilling": False}


def session(rng, code, market, start, end, close):
    """Ticks from `start` to `end` a few seconds apart (some in the same microsecond)."""
    when, ticks = start + timedelta(seconds=rng.randrange(5)), []
    while when < end:
        close = max(1.0, close + rng.choice([-1.0, 0.0, 0.5, 1.0]))
        ticks.append(record(when, code, market, close, rng.randint(0, 9)))
        when += timedelta(seconds=rng.choice([0, 7, 20, 45, 130]), microseconds=rng.randrange(3))
    return ticks, close


def market_ticks(seed):
    """Ticks of 2330 (day sessions, its 13:30 closing call) and TXFR1 (night and day sessions)
    in time order, with the trading day each begins."""
    rng, days = random.Random(seed), []
    stock, future = 600.0, 18000.0
    for day in TRADED:
        at = lambda h, m: day + timedelta(hours=h, minutes=m)  # noqa: E731
        ticks, stock = session(rng, "2330", "Stock", at(9, 0), at(13, 25), stock)
        ticks.append(record(at(13, 30), "2330", "Stock", stock, 50))
        day_future, future = session(rng, "TXFR1", "Future", at(8, 45), at(13, 45), future)
        night, future = session(rng, "TXFR1", "Future", at(15, 0), at(29, 0), future)
        days.append(sorted(ticks + day_future + night, key=lambda t: t["timestamp"]))
    return days


@pytest.mark.parametrize("seed, every", [(1, 97), (2, 1500), (3, None)])
def test_compact_and_full_forms_give_the_same_bars(seed, every):
    # `every`: how many ticks between K-bar calls; None asks only once, at the end, so every
    # key is first built from the one-minute bars; 1500 lets days be sealed between calls.
    full, compact = QuoteManager(), QuoteManager(compact=True)
    assert (full.compact, compact.compact) == (False, True)
    keys = [(code, unit, freq) for code in ("2330", "TXFR1") for unit, freq in KEYS]
    feeds = [BarFeed(full, keys), BarFeed(compact, keys)]
    fed = [[], []]
    count = 0
    for day in market_ticks(seed):
        for tick in day:
            for quotes, feed, out in zip((full, compact), feeds, fed):
                quotes.add_tick(tick)
                out.extend(feed.update(tick["code"]))
            count += 1
            if every and count % every == 0:
                for key in keys:
                    assert compact.get_kbar(*key).equals(full.get_kbar(*key)), key
    for key in keys:
        assert compact.get_kbar(*key).equals(full.get_kbar(*key)), key
        got, expected = _bar_closes(compact, *key), _bar_closes(full, *key)
        assert got[0].tolist() == expected[0].tolist() and got[1].tolist() == expected[1].tolist()
    assert len(fed[0]) > 1000 and fed[1] == fed[0]
    assert feeds[1].close() == feeds[0].close()


def test_a_bar_feed_that_falls_behind_catches_up_from_the_minutes():
    # Updated every other trading day, the feed finds a day it has not seen sealed into minutes.
    full, compact = QuoteManager(), QuoteManager(compact=True)
    keys = [("TXFR1", unit, freq) for unit, freq in KEYS]
    feeds, fed = [BarFeed(full, keys), BarFeed(compact, keys)], [[], []]
    for n, day in enumerate(market_ticks(4)):
        for tick in day:
            full.add_tick(tick)
            compact.add_tick(tick)
        if n % 2:
            for feed, out in zip(feeds, fed):
                out.extend(feed.update("TXFR1"))
    assert len(fed[0]) > 100 and fed[1] == fed[0]


def test_the_compact_buffer_holds_about_a_day_of_ticks():
    quotes, total, most = QuoteManager(compact=True), 0, 0
    for day in market_ticks(5):
        for tick in day:
            quotes.add_tick(tick)
            total += 1
        held = quotes.ticks["TXFR1"]
        most = max(most, len(held["ticks"]) + len(held["old_ticks"]))
        per_day = sum(t["code"] == "TXFR1" for t in day)
        # The futures trading day (its night session and the day after) and its virtual minutes.
        assert most <= per_day + 24 * 60
    assert total > 4 * most
    minutes = quotes.get_kbar("TXFR1", "m", 1)
    assert minutes["dt"].to_list()[0] == DAYS[0] + timedelta(hours=8, minutes=45)


def test_the_compact_option_is_checked():
    with pytest.raises(TypeError, match="compact"):
        QuoteManager(compact="yes")
