"""The contract month each trading day of a continuous futures series traded, as the exchange
files' importer recorded it, and the rolls between months that a run settles.

A series such as TXFR1 switches contract at each expiry, so its price jumps by the calendar
spread there. The importer writes `sino/contracts/<code> - contract months.csv` (date,
contract_month) beside the tick cache; a run reads it to settle what is held in the expiring
month when the new month's first trade arrives (`Positions.set_expiries`).
"""
import csv
import math
import os
from datetime import date, timedelta

from orva_backtest.trading_days import (FUTURES_DAY_END, previous_trading_day, taipei_ns,
                                        trading_day_from)

HEADER = ["date", "contract_month"]


def months_path(data_dir, code):
    return os.path.join(data_dir, "sino", "contracts", f"{code} - contract months.csv")


def read_months(data_dir, code):
    """{trading day "YYYY-MM-DD": contract month "YYYYMM"} recorded for `code` ({} when none)."""
    path = months_path(data_dir, code)
    try:
        with open(path, newline="", encoding="utf-8") as f:
            rows = list(csv.reader(f))
    except FileNotFoundError:
        return {}
    if not rows or rows[0] != HEADER:
        raise ValueError(f"{path} 不是合約月份檔 (第 1 行應為 {','.join(HEADER)})")
    months = {}
    for line, row in enumerate(rows[1:], start=2):
        if len(row) != 2 or not _is_day(row[0]) or not (row[1].isdigit() and len(row[1]) == 6):
            raise ValueError(f"{path} 第 {line} 行無法解讀: {','.join(row)!r}")
        months[row[0]] = row[1]
    return months


def record_months(data_dir, code, months):
    """Adds {day: month} to what is recorded for `code` (a day recorded again is replaced),
    written under a temporary name and renamed, so a failure leaves the file as it was."""
    if not months:
        return
    path = months_path(data_dir, code)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    merged = {**read_months(data_dir, code), **months}
    temporary = f"{path}.tmp-{os.getpid()}"
    try:
        with open(temporary, "w", newline="", encoding="utf-8") as f:
            writer = csv.writer(f)
            writer.writerow(HEADER)
            writer.writerows(sorted(merged.items()))
        os.replace(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)


def read_settlements(path):
    """{expiry day "YYYY-MM-DD": final settlement price} of a user's CSV (date,price): at least
    one price, each day once."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        raise ValueError(f"無法讀取結算價檔 {path}: {error.strerror or error}") from None
    from orva_backtest.data.daily_files import decode_text
    rows = list(csv.reader(decode_text(data, f"結算價檔 {path}").splitlines()))
    prices = {}
    for line, row in enumerate(rows, start=1):
        if not "".join(row).strip() or (line == 1 and not _is_day(row[0].strip())):
            continue  # a blank line (an editor's last one), or a header
        where = f"結算價檔 {path} 第 {line} 行"
        day, price = _settlement(row[0].strip() if len(row) == 2 else "", row[1] if len(row) == 2 else "",
                                 f"{where}需為 YYYY-MM-DD,價格: {','.join(row)!r}")
        if day in prices:  # two prices for one expiry: which one is meant is not ours to guess
            raise ValueError(f"{where}: {day} 已有結算價 {prices[day]:g}")
        prices[day] = price
    if not prices:
        raise ValueError(f"結算價檔 {path} 沒有任何結算價 (每行 YYYY-MM-DD,價格)")
    return prices


def checked_settlements(prices):
    """A dict of {expiry day: price} given by hand, checked as the CSV's rows are."""
    return dict(_settlement(day, price, f"結算價需為 YYYY-MM-DD: 價格, 收到: {day!r}: {price!r}")
                for day, price in prices.items())


def _settlement(day, price, message):
    try:
        number = math.nan if isinstance(price, bool) else float(price)
    except (TypeError, ValueError):
        number = math.nan
    if not (isinstance(day, str) and _is_day(day) and math.isfinite(number) and number > 0):
        raise ValueError(message)
    return day, number


def monthly_expiry(month):
    """The expiry day of contract month "YYYYMM": its third Wednesday, or the next trading day
    when that is a holiday, as the exchange moves it."""
    first = date(int(month[:4]), int(month[4:]), 1)
    return trading_day_from(first + timedelta(days=(2 - first.weekday()) % 7 + 14))


def rolls(months, settlements=None):
    """([(time the new month's first trading day opens, in seconds; the expiring month's
    settlement price or None; the expiring month)] of each change of month, in time order;
    notes on changes that do not fall on the expiring month's expiry day, a gap in the data)."""
    days = sorted(months)
    out, notes = [], []
    for before, after in zip(days, days[1:]):
        if months[before] == months[after]:
            continue
        opens = taipei_ns(previous_trading_day(date.fromisoformat(after)), FUTURES_DAY_END) / 1e9
        out.append((opens, (settlements or {}).get(before), months[before]))
        expiry = monthly_expiry(months[before]).isoformat()
        if expiry != before:
            notes.append(f"合約 {months[before]} 在資料中的最後一天是 {before}, 到期日是 {expiry}: "
                         f"以 {before} 的最後一筆成交結算")
    # A settlement given for a traded day that ends no month settles nothing: said, not dropped.
    ends = {before for before, after in zip(days, days[1:]) if months[before] != months[after]}
    for day in sorted(set(settlements or {}) & set(days[:-1]) - ends):
        notes.append(f"結算價 {day} 不是合約 {months[day]} 在資料中的最後一天, 未使用")
    return out, notes


def _is_day(text):
    try:
        return date.fromisoformat(text).isoformat() == text
    except ValueError:
        return False
