"""Trading days of the Taiwan exchanges, and the day the tick cache files a tick under.

Days are Taipei dates (UTC+8 all year, no daylight saving) whatever the process's time zone:
the exchanges' own. A futures trading day runs from 15:00 of the trading day before it to 15:00
of that day: its night session (15:00 to 05:00) and its day session (08:45 to 13:45). The
synthetic market delivers a futures day by these bounds, and the importers file ticks by them,
so a run over a range of days sees every tick once.
"""
import calendar
import csv
import os
from datetime import datetime, time as Time, timedelta
from functools import lru_cache

import polars as pl

TAIPEI_OFFSET = timedelta(hours=8)
FUTURES_DAY_END = Time(15)  # the night session that opens then is the next trading day's
NIGHT_SESSION_END = Time(5)
HOLIDAY_FILE = os.path.join(os.path.dirname(__file__), "static",
                            "holidays_search_from_2017.csv")
_HOUR_NS = 3600 * 10**9


@lru_cache(maxsize=1)
def holidays():
    """The exchanges' closed days ("YYYY-MM-DD"), weekends included, from the package's calendar."""
    with open(HOLIDAY_FILE, newline="", encoding="utf-8") as f:
        return frozenset(row["Date"] for row in csv.DictReader(f))


def is_trading_day(day):
    return day.weekday() < 5 and day.isoformat() not in holidays()


def previous_trading_day(day):
    """The last trading day before `day`."""
    day -= timedelta(days=1)
    while not is_trading_day(day):
        day -= timedelta(days=1)
    return day


def trading_day_from(day):
    """`day` when it is a trading day, else the first one after it."""
    while not is_trading_day(day):
        day += timedelta(days=1)
    return day


def taipei_ns(day, clock):
    """Nanoseconds since the epoch of a Taipei wall-clock time."""
    utc = datetime.combine(day, clock) - TAIPEI_OFFSET
    return calendar.timegm(utc.timetuple()) * 10**9


def futures_night_session(day):
    """(start, end) nanoseconds of the night session of futures trading day `day`: from 15:00 of
    the trading day before it, when `day` begins, to 05:00 of the next morning."""
    night = previous_trading_day(day)
    return taipei_ns(night, FUTURES_DAY_END), taipei_ns(night + timedelta(days=1), NIGHT_SESSION_END)


def _taipei_dates(ts, shift_hours):
    return (ts + (8 + shift_hours) * _HOUR_NS).cast(pl.Datetime("ns")).dt.date()


def cache_days(ts, market):
    """The cache day ("YYYY-MM-DD") of each tick time of `ts` (a polars Series of nanoseconds):
    a stock's Taipei date; for futures the first trading day whose 15:00 is later than the tick,
    so 15:00 to 05:00 belongs to the next trading day (after a weekend or holiday too)."""
    if market != "Future":
        return _taipei_dates(ts, 0).dt.strftime("%Y-%m-%d")
    dates = _taipei_dates(ts, 24 - FUTURES_DAY_END.hour)  # from 15:00 on: the next date
    days = {d: trading_day_from(d).isoformat() for d in dates.unique().to_list()}
    return dates.replace_strict(days, return_dtype=pl.String)


def closed_days(ts, market):
    """(count, days): the ticks of `ts` traded on days the exchange was closed, and those days.
    A futures tick counts towards the day its session opened on (05:00 to 05:00), so a night
    session after a trading day's close is not on a closed day."""
    shift = -NIGHT_SESSION_END.hour if market == "Future" else 0
    counts = _taipei_dates(ts, shift).value_counts()
    closed = sorted((d, n) for d, n in counts.rows() if not is_trading_day(d))
    return sum(n for _, n in closed), [d.isoformat() for d, _ in closed]
