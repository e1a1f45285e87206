"""What the futures exchange's daily trade files share, futures and options alike: a zip of one
CSV (sometimes named .rpt) or the CSV itself, cp950 (or UTF-8), CRLF, padded fields; the size
a file may have, its table of text columns, and which trading day a file is.
"""
import csv
import io
import os
import zipfile
import zlib

import polars as pl

from orva_backtest.data.tick_import import check_ticks, reals, split_days

DATE, PRODUCT, EXPIRY, TIME, PRICE = "成交日期", "商品代號", "到期月份(週別)", "成交時間", "成交價格"
MAX_MEMBER_BYTES = 2 * 1024**3  # a day's file is tens of MB; larger is not one
# Memory an import takes per byte of a file: its text, the decoded text, the table of texts.
MEMORY_PER_BYTE = 10


def decode_text(data, failure):
    """The text of a file: UTF-8, or Big5 (cp950) as the exchange and Excel in Taiwan write
    it; neither is a ValueError saying `failure`, then which encodings were tried."""
    for encoding in ("utf-8-sig", "cp950"):
        try:
            return data.decode(encoding)
        except UnicodeDecodeError:
            pass
    raise ValueError(f"{failure}: 無法以 UTF-8 或 Big5 (cp950) 解讀")


def _memory_free():
    """Bytes this process may still take (the machine's available memory, less under an
    address-space or cgroup limit), None when unknown."""
    limits = []
    for read in (_available_memory, _address_space_left, _cgroup_left):
        try:
            left = read()
        except (OSError, ValueError, ImportError):
            continue
        if left is not None:
            limits.append(max(left, 0))
    return min(limits) if limits else None


def _available_memory():
    with open("/proc/meminfo") as f:
        return next((int(line.split()[1]) * 1024 for line in f if line.startswith("MemAvailable:")), None)


def _address_space_left():
    import resource
    limit = resource.getrlimit(resource.RLIMIT_AS)[0]
    if limit == resource.RLIM_INFINITY:
        return None
    with open("/proc/self/statm") as f:
        return limit - int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")


def _cgroup_left():
    with open("/sys/fs/cgroup/memory.max") as limit, open("/sys/fs/cgroup/memory.current") as used:
        cap = limit.read().strip()
        return None if cap == "max" else int(cap) - int(used.read())


def _check_size(name, size):
    """Refuses a file the import could not hold (a zip bomb stays small until it is read)."""
    if size > MAX_MEMBER_BYTES:
        raise ValueError(f"{name} 過大 ({size:,} bytes), 不是一天的逐筆成交檔")
    free = _memory_free()
    if free is not None and size * MEMORY_PER_BYTE > free:
        raise ValueError(f"{name} 過大 ({size:,} bytes): 匯入約需 {size * MEMORY_PER_BYTE:,} bytes 記憶體, "
                         f"本機只剩 {free:,} bytes (一天的逐筆成交檔約數十 MB)")


def texts(path):
    """(name, text) of each trade table of a zip (its .csv and .rpt members) or of the file
    itself, one at a time."""
    if not os.path.isfile(path):
        raise ValueError(f"找不到檔案: {path}")
    if not zipfile.is_zipfile(path):
        _check_size(path, os.path.getsize(path))
        with open(path, "rb") as f:
            data = f.read()
        if data.startswith(b"PK\x03\x04"):  # a zip's first member, without the zip's end
            raise ValueError(f"無法讀取壓縮檔 {path}: 檔案不完整 (下載或複製中斷?)")
        yield path, decode_text(data, f"{path} 不是期交所逐筆成交檔")
        return
    try:
        with zipfile.ZipFile(path) as archive:
            members = [m for m in archive.infolist() if m.filename.lower().endswith((".csv", ".rpt"))]
            if not members:
                raise ValueError(f"{path} 不是期交所逐筆成交檔: 壓縮檔內沒有 .csv 或 .rpt 檔")
            for member in members:
                name = f"{path}:{member.filename}"
                _check_size(name, member.file_size)  # the zip reads no more than this
                yield name, decode_text(archive.read(member), f"{name} 不是期交所逐筆成交檔")
    except (zipfile.BadZipFile, zlib.error, EOFError, NotImplementedError) as error:
        raise ValueError(f"無法讀取壓縮檔 {path}: {error}") from None


def _ragged_line(text, width):
    """(line, why) of the first line that is not a row like the header's, if any."""
    reader = csv.reader(io.StringIO(text), quoting=csv.QUOTE_NONE)
    try:
        for fields in reader:
            if fields and len(fields) != width:
                return reader.line_num, "的欄位數與第 1 行不同"
    except csv.Error as error:  # a line longer than any row
        return reader.line_num + 1, f"過長 ({error})"
    return None


def table(name, text, header, required):
    """The file's rows as text columns, with the header's names stripped of padding; the
    columns `required` (of the layout's `header`) must all be there."""
    # The exchange quotes nothing: a stray quote is a character, not the start of a field that
    # would swallow the lines after it.
    found = [c.strip() for c in next(csv.reader(io.StringIO(text[:4096]), quoting=csv.QUOTE_NONE), [])]
    missing = [c for c in required if c not in found]
    if len(missing) == len(required):
        raise ValueError(f"{name} 不是期交所逐筆成交檔: 第 1 行不是其欄位 ({','.join(header)})")
    if missing:
        raise ValueError(f"{name} 缺少欄位: {', '.join(missing)}")
    try:
        rows = pl.read_csv(text.encode("utf-8"), infer_schema_length=0, quote_char=None)
    except Exception as error:  # polars says what, not where: find the line
        ragged = _ragged_line(text, len(found))
        where = f"第 {ragged[0]} 行{ragged[1]}" if ragged else str(error).splitlines()[0]
        raise ValueError(f"{name} 無法解讀: {where}") from None
    return rows.rename({c: c.strip() for c in rows.columns})


def refuse_quoted_product(name, trades, product):
    """A row of `product` written with quotes (a file saved again by a spreadsheet) would read
    as another product's and be left out unseen: refused, naming its line."""
    code = pl.col(PRODUCT)
    quoted = trades.with_row_index("line", offset=2).filter(
        code.str.contains('"', literal=True)
        & (code.str.replace_all('"', "", literal=True).str.strip_chars() == product))
    if len(quoted):
        raise ValueError(f"{name} 第 {quoted['line'][0]} 行的{PRODUCT}有引號: 期交所的檔案沒有引號, "
                         "請匯入原檔")


_TAIPEI_NS = 8 * 3600 * 10**9
# Where a bad value of a tick column came from in the file, and what it should be.
_SOURCE = {"ts": ((DATE, TIME), "須為 YYYYMMDD 與 HHMMSS, 1990 至 2099 年"),
           "close": ((PRICE,), "須為正數"), "bid_price": ((PRICE,), "須為正數"),
           "ask_price": ((PRICE,), "須為正數")}


def trade_ticks(name, rows, volume, volume_source):
    """One tick per trade of `rows` (text columns and their file `line`), in their order, with
    the contracts of each from the expression `volume`; checked as the cache checks a day, a
    bad value named by its line, column and (of the volume) `volume_source` (column, rule).
    No quotes are recorded: bid and ask are the traded price with zero volume, so nothing
    reads them as a resting order."""
    date, clock = pl.col(DATE).str.strip_chars(), pl.col(TIME).str.strip_chars()
    stamp = pl.when(date.str.contains(r"^\d{8}$") & clock.str.contains(r"^\d{6}\d*$")).then(
        pl.concat_str(date, clock.str.slice(0, 6)))
    instant = stamp.str.strptime(pl.Datetime("ns"), "%Y%m%d%H%M%S", strict=False)
    price, zero = reals(pl.col(PRICE)), pl.lit(0, dtype=pl.Int64)
    ticks = rows.select(
        ts=instant.cast(pl.Int64) - _TAIPEI_NS, close=price, volume=volume,
        bid_price=price, bid_volume=zero, ask_price=price, ask_volume=zero, tick_type=zero)
    sources = {**_SOURCE, "volume": ((volume_source[0],), volume_source[1])}

    def describe(row, column):
        columns, rule = sources[column]
        shown = ", ".join(f"{source} {rows[source][row]!r}" for source in columns)
        return f"{name} 第 {rows['line'][row]} 行無法匯入: {shown} ({rule})"

    check_ticks(ticks, describe)
    return ticks


def unique_paths(paths):
    """The paths in order, a file named twice (under any spelling) once; at least one."""
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    first = {}
    for path in map(os.fspath, paths):
        first.setdefault(os.path.realpath(path), path)
    if not first:
        raise ValueError("至少需要一個期交所逐筆成交檔")
    return list(first.values())


def _own_day(days):
    """A file's own trading day: the one that holds most of its trades."""
    return max(days, key=lambda entry: (len(entry[1]), entry[0]))[0]


def plan_days(name, ticks, planned, file_of_day, cached, warnings):
    """Adds the trading days of one trade table (sorted by time) to `planned` ({day: rows});
    returns the days it set. Its own day replaces what is stored; trades of other days (the
    holiday calendar and the file disagree) only fill a day not stored yet, never replace
    one, since only that day's own file holds all of it. `cached(day)` is what is stored for
    a day, None when nothing is."""
    days = split_days(ticks, "Future")
    own = _own_day(days)
    if own in file_of_day:  # a copy, or one day under two names: its trades would count twice
        raise ValueError(f"{file_of_day[own]} 與 {name} 都是 {own} 的成交檔, 同一天只能匯入一個")
    file_of_day[own] = name
    if len(days) > 1:
        warnings.append(f"{name} 的成交分屬 {len(days)} 個交易日: {', '.join(day for day, _ in days)}")
    changed = []
    for day, part in days:
        if day != own:
            stored = planned[day] if day in planned else cached(day)
            if stored is not None and not stored.is_empty():
                if not stored.equals(part):
                    raise ValueError(f"{name} 是 {own} 的成交檔, 其中 {len(part):,} 筆屬於交易日 {day}, "
                                     f"而快取中的 {day} 有 {len(stored):,} 筆: 只有 {day} 的成交檔能取代它")
                continue  # the same file again changes nothing
        planned[day] = part
        changed.append(day)
    return changed
