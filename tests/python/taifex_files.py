"""Writes daily trade files in the futures exchange's layout, with the trades a run should replay."""
import random
import zipfile
from datetime import datetime, timedelta, timezone

TAIPEI = timezone(timedelta(hours=8))
HEADER = "成交日期,商品代號,到期月份(週別),成交時間,成交價格,成交數量(B+S),近月價格,遠月價格,開盤集合競價"
# The January contract settles on 2026-01-21 (it trades until 13:30 that day); the file of the
# next trading day opens with the night session from 15:00 of the settlement day.
DAYS = {
    "2026-01-21": {"night": "2026-01-20", "front": "202601", "months": ["202601", "202602", "202603"],
                   "weekly": "202601W4", "spread": "202601/202602", "extra_digits": False},
    "2026-01-22": {"night": "2026-01-21", "front": "202602", "months": ["202602", "202603"],
                   "weekly": "202601W4", "spread": "202602/202603", "extra_digits": True},
}


def _session_times(day):
    night = datetime.fromisoformat(DAYS[day]["night"]).replace(hour=15)
    morning = datetime.fromisoformat(day).replace(hour=8, minute=45)
    return ([night + timedelta(seconds=1500 * k) for k in range(34)]  # to 04:45, past midnight
            + [morning + timedelta(seconds=600 * k) for k in range(30)])  # to 13:35


def trades(day):
    """(rows in file order, the front month's trades as [(ns, price, contracts)] in file order)
    of trading day `day`'s file: TX in three monthly expiries (the front one ending at 13:30 on
    its settlement day), a weekly, a spread and MTX; trades sharing a second; opening auctions."""
    layout, rng = DAYS[day], random.Random(day)
    contracts = {("TX", m): [] for m in layout["months"]}
    contracts.update({("TX", layout["weekly"]): [], ("TX", layout["spread"]): [], ("MTX", layout["front"]): []})
    level = 23000
    for k, when in enumerate(_session_times(day)):
        opening = k in (0, 34)  # each session opens with an auction
        level += rng.randint(-20, 20)
        for (product, expiry), rows in contracts.items():
            if expiry == "202601" and day == "2026-01-21" and when.hour == 13 and when.minute >= 30:
                continue  # settled
            if "/" in expiry:
                if k % 4 == 0:
                    rows.append((when, rng.randint(30, 90), 2 * rng.randint(1, 3), level, level + 60, opening))
                continue
            if "W" in expiry and k % 3:
                continue
            same_second = 3 if expiry == layout["front"] and product == "TX" and k % 5 == 0 else 1
            for j in range(same_second):  # prices of one second out of order: file order must stay
                price = level + (rng.randint(-5, 5) if same_second == 1 else (0, 3, -3)[j])
                rows.append((when, price, 2 * rng.randint(1, 6), None, None, opening))
    lines, front = [HEADER], []
    for (product, expiry), rows in sorted(contracts.items()):
        for when, price, both, near, far, opening in rows:
            clock = when.strftime("%H%M%S") + (f"{rng.randrange(100):02d}" if layout["extra_digits"] else "")
            lines.append(f"{when:%Y%m%d},{product.ljust(7)},{expiry.ljust(11)},{clock},{price},{both},"
                         f"{near if near is not None else '-'},{far if far is not None else '-'},"
                         f"{'*' if opening else ''}")
            if product == "TX" and expiry == layout["front"]:
                front.append((int(when.replace(tzinfo=TAIPEI).timestamp()) * 10**9, float(price), both // 2))
    return lines, front


def write_day_file(folder, name, lines, zipped):
    """`lines` as the exchange writes them (cp950, CRLF) into `folder`: `name`.zip holding
    `name`.csv when `zipped`, else `name`.csv itself; its path."""
    data = ("\r\n".join(lines) + "\r\n").encode("cp950")
    if zipped:
        path = folder / f"{name}.zip"
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
            archive.writestr(f"{name}.csv", data)
    else:
        path = folder / f"{name}.csv"
        path.write_bytes(data)
    return path


def write_files(folder, zipped=("2026-01-21",)):
    """Both days' files in `folder` (cp950, CRLF; the days in `zipped` as Daily_*.zip, the rest
    bare): (paths, the front-month trades of all of them in time order)."""
    paths, front = [], []
    for day in DAYS:
        lines, trades_of_day = trades(day)
        paths.append(write_day_file(folder, f"Daily_{day.replace('-', '_')}", lines, day in zipped))
        front += trades_of_day
    return paths, front
