"""The futures exchange's daily trade files as ticks of a product's front month.

The exchange publishes each trading day's trades of every futures contract as
`Daily_YYYY_MM_DD.zip`: one CSV (sometimes named .rpt, cp950, CRLF) with the columns of
`HEADER`, one trade per row. The file of trading day D holds the night session that opened
at 15:00 of the trading day before, then D's day session.

`import_taifex_files` writes one product's front-month trades into the tick cache under a
futures code, one cache file per trading day (`market.trading_days`), each trade one tick.
"""
import csv
import io
import os
import zipfile
import zlib

import polars as pl

from orva_backtest.market.contract_months import record_months
from orva_backtest.tick_import import (DayWriter, ImportResult, check_ticks, integers, reals,
                                       split_days, warn_closed_days)

DATE, PRODUCT, EXPIRY, TIME = "成交日期", "商品代號", "到期月份(週別)", "成交時間"
PRICE, VOLUME = "成交價格", "成交數量(B+S)"
HEADER = (DATE, PRODUCT, EXPIRY, TIME, PRICE, VOLUME, "近月價格", "遠月價格", "開盤集合競價")
# The continuous near-month codes of the index futures, by the exchange's product code.
DEFAULT_CODES = {"TX": "TXFR1", "MTX": "MXFR1", "TMF": "TMFR1"}
MAX_MEMBER_BYTES = 2 * 1024**3  # a day's file is tens of MB; larger is not one
# Memory an import takes per byte of a file: its text, the decoded text, the table of texts.
MEMORY_PER_BYTE = 10
_TAIPEI_NS = 8 * 3600 * 10**9
# Where a bad value of a tick column came from in the file, and what it should be.
_SOURCE = {"ts": ((DATE, TIME), "須為 YYYYMMDD 與 HHMMSS, 1990 至 2099 年"),
           "close": ((PRICE,), "須為正數"), "bid_price": ((PRICE,), "須為正數"),
           "ask_price": ((PRICE,), "須為正數"),
           "volume": ((VOLUME,), "須為不為負的偶數 (買賣雙方合計, 成交口數為其一半)")}


def _decode(data, name):
    for encoding in ("utf-8-sig", "cp950"):
        try:
            return data.decode(encoding)
        except UnicodeDecodeError:
            pass
    raise ValueError(f"{name} 不是期交所逐筆成交檔: 無法以 UTF-8 或 Big5 (cp950) 解讀")


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


def _texts(path):
    """(name, text) of each trade table of a zip (its .csv and .rpt members) or of the file
    itself, one at a time."""
    if not os.path.isfile(path):
        raise ValueError(f"找不到檔案: {path}")
    if not zipfile.is_zipfile(path):
        _check_size(path, os.path.getsize(path))
        with open(path, "rb") as f:
            yield path, _decode(f.read(), path)
        return
    try:
        with zipfile.ZipFile(path) as archive:
            members = [m for m in archive.infolist() if m.filename.lower().endswith((".csv", ".rpt"))]
            if not members:
                raise ValueError(f"{path} 不是期交所逐筆成交檔: 壓縮檔內沒有 .csv 或 .rpt 檔")
            for member in members:
                name = f"{path}:{member.filename}"
                _check_size(name, member.file_size)  # the zip reads no more than this
                yield name, _decode(archive.read(member), name)
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


def _table(name, text):
    """The file's rows as text columns, with the header's names stripped of padding."""
    # The exchange quotes nothing: a stray quote is a character, not the start of a field that
    # would swallow the lines after it.
    header = [c.strip() for c in next(csv.reader(io.StringIO(text[:4096]), quoting=csv.QUOTE_NONE), [])]
    missing = [c for c in HEADER[:6] if c not in header]
    if len(missing) == 6:
        raise ValueError(f"{name} 不是期交所逐筆成交檔: 第 1 行不是其欄位 ({','.join(HEADER)})")
    if missing:
        raise ValueError(f"{name} 缺少欄位: {', '.join(missing)}")
    try:
        table = pl.read_csv(text.encode("utf-8"), infer_schema_length=0, quote_char=None)
    except Exception as error:  # polars says what, not where: find the line
        ragged = _ragged_line(text, len(header))
        where = f"第 {ragged[0]} 行{ragged[1]}" if ragged else str(error).splitlines()[0]
        raise ValueError(f"{name} 無法解讀: {where}") from None
    return table.rename({c: c.strip() for c in table.columns})


def _product_rows(name, table, product):
    """(The product's outright rows of its nearest monthly expiry, with their line numbers;
    that contract month), or None when the file has no monthly rows of the product."""
    expiry = pl.col(EXPIRY).str.strip_chars()
    rows = (table.with_row_index("line", offset=2)
            .filter(pl.col(PRODUCT).str.strip_chars() == product)
            .with_columns(expiry.alias("_expiry")))
    monthly = pl.col("_expiry").str.contains(r"^\d{6}$")
    other = pl.col("_expiry").str.contains(r"/|^\d{6}[A-Z]")  # spreads, weeklies
    odd = rows.filter(~(monthly | other).fill_null(False))
    if len(odd):
        raise ValueError(f"{name} 第 {odd['line'][0]} 行的{EXPIRY}無法解讀: {odd[EXPIRY][0]!r}")
    outright = rows.filter(monthly)
    if outright.is_empty():
        return None
    month = outright["_expiry"].min()
    return outright.filter(pl.col("_expiry") == month), month


def _ticks(name, rows):
    """One tick per trade, checked as the cache checks a day. No quotes are recorded: bid and
    ask are the traded price with zero volume, so nothing reads them as a resting order."""
    date, clock = pl.col(DATE).str.strip_chars(), pl.col(TIME).str.strip_chars()
    stamp = pl.when(date.str.contains(r"^\d{8}$") & clock.str.contains(r"^\d{6}\d*$")).then(
        pl.concat_str(date, clock.str.slice(0, 6)))
    instant = stamp.str.strptime(pl.Datetime("ns"), "%Y%m%d%H%M%S", strict=False)
    price, both_sides = reals(pl.col(PRICE)), integers(pl.col(VOLUME))
    zero = pl.lit(0, dtype=pl.Int64)
    ticks = rows.select(
        ts=instant.cast(pl.Int64) - _TAIPEI_NS, close=price,
        volume=pl.when(both_sides % 2 == 0).then(both_sides // 2),  # counted on both sides
        bid_price=price, bid_volume=zero, ask_price=price, ask_volume=zero, tick_type=zero)

    def describe(row, column):
        sources, rule = _SOURCE[column]
        shown = ", ".join(f"{source} {rows[source][row]!r}" for source in sources)
        return f"{name} 第 {rows['line'][row]} 行無法匯入: {shown} ({rule})"

    check_ticks(ticks, describe)
    return ticks


def read_front_month(path, product, warnings):
    """([(name, ticks, contract month)] of the trade tables in the file at `path` (a zip's
    members) holding the product's nearest monthly expiry, each sorted by time with the file's
    order kept within a second; rows read)."""
    tables, rows_read = [], 0
    for name, text in _texts(path):
        table = _table(name, text)
        del text  # only the table is needed from here: the text is as large again
        rows_read += len(table)
        front = _product_rows(name, table, product)
        if front is None:
            warnings.append(f"{name} 沒有商品 {product} 的月契約成交, 已略過")
            continue
        rows, month = front
        tables.append((name, _ticks(name, rows).sort("ts", maintain_order=True), month))
    return tables, rows_read


def _own_day(days):
    """A file's own trading day: the one that holds most of its trades."""
    return max(days, key=lambda entry: (len(entry[1]), entry[0]))[0]


def _plan(name, ticks, month, planned, months, file_of_day, writer, warnings):
    """Adds the cache days of one trade table to `planned` ({day: ticks}). Its own day replaces
    the cached one; trades of other days (the holiday calendar and the file disagree) only fill
    a day not cached yet, never replace one, since only that day's own file holds all of it.
    `months` ({day: contract month}) records the month of each day planned."""
    days = split_days(ticks, "Future")
    own = _own_day(days)
    if own in file_of_day:  # a copy, or one day under two names: its trades would count twice
        raise ValueError(f"{file_of_day[own]} 與 {name} 都是 {own} 的成交檔, 同一天只能匯入一個")
    file_of_day[own] = name
    if len(days) > 1:
        warnings.append(f"{name} 的成交分屬 {len(days)} 個交易日: {', '.join(day for day, _ in days)}")
    for day, part in days:
        if day == own:
            planned[day], months[day] = part, month
            continue
        cached = planned[day] if day in planned else writer.cached(day)
        if cached is None or cached.is_empty():  # nothing to lose
            planned[day], months[day] = part, month
        elif not cached.equals(part):  # the same file again changes nothing
            raise ValueError(f"{name} 是 {own} 的成交檔, 其中 {len(part):,} 筆屬於交易日 {day}, "
                             f"而快取中的 {day} 有 {len(cached):,} 筆: 只有 {day} 的成交檔能取代它")


def import_taifex_files(paths, product, code=None, data_dir=None, progress=None):
    """Writes `product`'s front-month trades of the exchange's daily files (zip or CSV, cp950 or
    UTF-8, any order) into the tick cache under `code` (default: DEFAULT_CODES); returns an
    ImportResult. A file that fails stops the import with a ValueError naming it and its line,
    leaving the days of the files before it imported and the rest of the cache as it was.
    `progress(files_done, files, rows_read, ticks)` follows the work."""
    from orva_backtest.constant import BASIC_INFO
    from orva_backtest.runner import parse_instruments
    product = str(product).strip().upper()
    if not product:
        raise ValueError("--product 不可為空 (例如 TX, MTX, TMF)")
    if code is None:
        code = DEFAULT_CODES.get(product)
        if code is None:
            defaults = ", ".join(f"{p} → {c}" for p, c in DEFAULT_CODES.items())
            raise ValueError(f"商品 {product} 沒有預設代碼, 請用 --code 指定 (預設: {defaults})")
    code = parse_instruments([{"code": code, "market": "Future"}])[0]["code"]
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    first = {}  # a file named twice, under any spelling, is read once
    for path in map(os.fspath, paths):
        first.setdefault(os.path.realpath(path), path)
    paths = list(first.values())
    if not paths:
        raise ValueError("至少需要一個期交所逐筆成交檔")
    writer = DayWriter(code, data_dir if data_dir is not None else BASIC_INFO.data_dir)
    result, rows_read, ticks_written, file_of_day = ImportResult(), 0, 0, {}
    for done, path in enumerate(paths):
        tables, rows = read_front_month(path, product, result.warnings)
        rows_read += rows
        planned, months = {}, {}
        for name, ticks, month in tables:
            warn_closed_days(ticks, "Future", name, result.warnings)
            _plan(name, ticks, month, planned, months, file_of_day, writer, result.warnings)
        writer.write(sorted(planned.items()))
        record_months(writer.data_dir, code, months)  # the rolls a run settles
        ticks_written += sum(len(ticks) for ticks in planned.values())
        if progress is not None:
            progress(done + 1, len(paths), rows_read, ticks_written)
    result.files = writer.files()
    return result
