"""Writes python/orva_backtest/static/holidays_search_from_2017.csv: every day the Taiwan Stock
Exchange does not trade, weekends included, from 2017 through LAST_YEAR.

Sources: exchange_calendars' XTAI sessions (the file's truth), cross-checked on weekdays against
the `holidays` package's TWSE financial calendar. A day they disagree on is decided by XTAI
unless listed in OVERRIDES; an override also decides a day they agree on (a closure neither
lists). Every such day is printed with its decision. Both libraries need Python 3.10 or later:

    python3 -m venv /tmp/cal && /tmp/cal/bin/pip install exchange_calendars holidays
    /tmp/cal/bin/python scripts/generate_holidays.py

To refresh: upgrade both packages, raise LAST_YEAR when both cover the next year, run the
script, review the printed decisions, and commit the regenerated file.
"""
import csv
import os
from datetime import date, timedelta

import exchange_calendars
import holidays

FIRST_YEAR, LAST_YEAR = 2017, 2026
OUT = os.path.join(os.path.dirname(__file__), "..", "python", "orva_backtest", "static",
                   "holidays_search_from_2017.csv")
# Days decided against XTAI after review: date -> (closed, reason).
OVERRIDES = {
    # Lunar New Year closures that XTAI lists as sessions.
    date(2022, 2, 4): (True, "review: substituted day off of the 2022 Lunar New Year closure"),
    date(2023, 1, 18): (True, "review: no trading, clearing and settlement only"),
    # Typhoon closures that neither source lists.
    date(2024, 10, 31): (True, "review: typhoon Kong-rey, the exchanges closed for the day"),
}


def main():
    xtai = exchange_calendars.get_calendar("XTAI")
    first, last = date(FIRST_YEAR, 1, 1), date(LAST_YEAR, 12, 31)
    sessions = {d.date() for d in xtai.sessions_in_range(first.isoformat(), last.isoformat())}
    named = holidays.financial_holidays("XTAI", years=range(FIRST_YEAR, LAST_YEAR + 1))
    rows, decisions = [], []
    day = first
    while day <= last:
        closed_xtai = day not in sessions
        weekend = day.weekday() >= 5
        closed_named = weekend or day in named
        closed, reason = closed_xtai, None
        if day in OVERRIDES or (not weekend and closed_xtai != closed_named):
            closed, reason = OVERRIDES.get(day, (closed_xtai, "XTAI"))
            decisions.append((day, closed_xtai, closed_named, named.get(day, ""), closed, reason))
        if closed:
            rows.append((day.isoformat(), "Weekend" if weekend else (named.get(day) or "Exchange closed")))
        day += timedelta(days=1)
    with open(OUT, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(["Date", "Name"])
        writer.writerows(rows)
    print(f"wrote {len(rows)} closed days to {os.path.normpath(OUT)}")
    for day, by_xtai, by_named, name, closed, reason in decisions:
        print(f"{day} XTAI {'closed' if by_xtai else 'open'}, holidays {'closed' if by_named else 'open'}"
              f" ({name or '-'}) -> {'closed' if closed else 'open'} by {reason}")


if __name__ == "__main__":
    main()
