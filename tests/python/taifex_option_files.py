"""Writes daily options trade files in the futures exchange's layout, with the trades a run
should replay per series."""
import random
from datetime import datetime, timedelta

from taifex_files import TAIPEI, write_day_file

HEADER = "成交日期,商品代號,履約價格,到期月份(週別),買賣權別,成交時間,成交價格,成交數量(B or S),開盤集合競價"
# The weekly 202601W2 expires on Wednesday 2026-01-14 (its last trade at 13:30); the monthly
# 202601 on the 21st. Each file opens with the night session from 15:00 of the day before.
DAYS = {"2026-01-13": "2026-01-12", "2026-01-14": "2026-01-13"}
EXPIRIES = ("202601", "202601W2", "202602")
STRIKES = [22600 + 50 * k for k in range(19)] + [23550.5]  # one fractional strike
RIGHTS = ("C", "P")


def code_of(expiry, right, strike):
    return f"TXO{expiry}{right}{strike:g}" if strike % 1 else f"TXO{expiry}{right}{int(strike)}"


def _session_times(day):
    night = datetime.fromisoformat(DAYS[day]).replace(hour=15)
    morning = datetime.fromisoformat(day).replace(hour=8, minute=45)
    return ([night + timedelta(seconds=3600 * k) for k in range(14)]  # to 04:00, past midnight
            + [morning + timedelta(seconds=1800 * k) for k in range(10)])  # to 13:15


def _premium(level, strike, right, rng):
    intrinsic = max(level - strike, 0) if right == "C" else max(strike - level, 0)
    return round(intrinsic + 40 + rng.randint(0, 40) + rng.choice((0, 0.5)), 1)


def trades(day):
    """(rows in file order, {series code: [(ns, price, contracts)] in file order}) of trading
    day `day`'s file: TXO in two monthly expiries and a weekly, 20 strikes, calls and puts,
    trades sharing a second, opening auctions; and a TEO series the import leaves aside."""
    rng, level = random.Random(day), 23000
    series = {(e, r, s): [] for e in EXPIRIES for r in RIGHTS for s in STRIKES}
    other = []
    for k, when in enumerate(_session_times(day)):
        auction = k in (0, 14)  # each session opens with an auction
        level += rng.randint(-30, 30)
        for (expiry, right, strike), rows in series.items():
            if rng.random() < 0.4 and not auction:
                continue
            same_second = 2 if rng.random() < 0.1 else 1
            for _ in range(same_second):  # two prices in one second: file order must stay
                rows.append((when, _premium(level, strike, right, rng), rng.randint(1, 9), auction))
        other.append((when, rng.randint(10, 50), 1, auction))
    lines, by_code = [HEADER], {}
    for (expiry, right, strike), rows in series.items():
        code, shown = code_of(expiry, right, strike), f"{strike:g}" if strike % 1 else str(int(strike))
        for when, price, contracts, auction in rows:
            lines.append(f"{when:%Y%m%d},TXO    ,{shown.ljust(10)},{expiry.ljust(11)},{right.ljust(6)},"
                         f"{when:%H%M%S},{price:g},{contracts},{'*' if auction else ''}")
            ns = int(when.replace(tzinfo=TAIPEI).timestamp()) * 10**9
            by_code.setdefault(code, []).append((ns, float(price), contracts))
    for when, price, contracts, auction in other:
        lines.append(f"{when:%Y%m%d},TEO    ,1200      ,202601     ,C     ,{when:%H%M%S},{price},{contracts},")
    return lines, by_code


def write_files(folder, zipped=("2026-01-13",)):
    """Both days' files in `folder` (cp950, CRLF; the days in `zipped` as OptionsDaily_*.zip,
    the rest bare): (paths, {series code: trades of both days in time order})."""
    paths, by_code = [], {}
    for day in DAYS:
        lines, day_trades = trades(day)
        paths.append(write_day_file(folder, f"OptionsDaily_{day.replace('-', '_')}", lines, day in zipped))
        for code, rows in day_trades.items():
            by_code.setdefault(code, []).extend(rows)
    return paths, by_code
