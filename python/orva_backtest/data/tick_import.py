"""Imports ticks into the tick feed's day cache, so runs need no broker SDK.

`import_tick_file` takes a user's file of tick-table columns; the parts every importer shares
are here too: typed columns, the cache's own check of a day (`find_bad_tick` of the ticker
module), the cache day of each tick (`market.trading_days`) and the writing of cache days.
"""
import os
import signal
import threading
from contextlib import contextmanager
from dataclasses import dataclass, field

import polars as pl

from orva_backtest import utils
from orva_backtest.trading_days import cache_days, closed_days
from orva_backtest.modules.ticker.ticker import TICK_SCHEMA, find_bad_tick

RULES = ("ts 為 1990 至 2099 年的奈秒, close 為正的有限數, 買賣價為不為負的有限數, "
         "數量與 tick_type 為整數且數量不為負")
_WHOLE_LIMIT = 2.0**53  # floats beyond it are not exact whole numbers


@dataclass
class ImportResult:
    """The cache files written, [(path, ticks)] in day order, and the warnings of the import."""
    files: list = field(default_factory=list)
    warnings: list = field(default_factory=list)


def integers(values):
    """Int64 of an expression: null where a value is missing or not a whole number, so 1.7 is
    refused rather than cut to 1."""
    text = values.cast(pl.String).str.strip_chars()
    real = text.cast(pl.Float64, strict=False)
    whole = pl.when(real.is_finite() & (real == real.floor()) & (real.abs() < _WHOLE_LIMIT))
    return text.cast(pl.Int64, strict=False).fill_null(whole.then(real).cast(pl.Int64))


def reals(values):
    """Float64 of an expression: null where a value is missing or not a number."""
    return values.cast(pl.String).str.strip_chars().cast(pl.Float64, strict=False)


def check_ticks(ticks, describe):
    """Refuses what the tick cache would refuse: a ValueError of `describe(row, column)` of the
    first bad value (where it stands in the file, what it was and what it should be)."""
    bad = find_bad_tick(ticks)
    if bad is not None:
        raise ValueError(describe(*bad))


def warn_closed_days(ticks, market, where, warnings):
    count, days = closed_days(ticks["ts"], market)
    if count:
        shown = ", ".join(days[:10]) + (f" 等 {len(days)} 天" if len(days) > 10 else "")
        warnings.append(f"{where} 有 {count:,} 筆 Tick 在休市日 (週末或假日) 成交: {shown}")


def split_days(ticks, market):
    """[(day, ticks of that cache day)] in day order; `ticks` sorted by time."""
    days = ticks.with_columns(cache_days(ticks["ts"], market).alias("_day"))
    return [(part["_day"][0], part.drop("_day"))
            for part in days.partition_by("_day", maintain_order=True)]


def stage_file(target, write):
    """Writes a file beside its place with `write(temporary)`: (temporary, target, the
    temporary's os.stat), to rename into place; the stat, which the rename keeps, ties the
    columnar copy of a cache day to it."""
    temporary = f"{target}.tmp-{os.getpid()}"
    try:
        write(temporary)
        return temporary, target, os.stat(temporary)
    except BaseException:  # a half-written file (a full disk) is not left beside the cache
        if os.path.exists(temporary):
            os.remove(temporary)
        raise


class DayWriter:
    """Writes cache days of one code; each day written replaces the cached one."""

    def __init__(self, code, data_dir):
        from orva_backtest.constant import BASIC_INFO
        from orva_backtest.modules.ticker.ticker import Ticker
        previous, BASIC_INFO.data_dir = BASIC_INFO._data_dir, data_dir
        try:  # the feed's own cache folder and file names, as a run reads them
            self.ticker = Ticker(None)
            self.folder = self.ticker._Ticker__generate_save_path(None, "sino", "ticks")
            self.name_of = self.ticker._Ticker__tick_filename_formatter
            self.name_of(code, "2000-01-01")  # refuses codes unfit for file names
        finally:
            BASIC_INFO.data_dir = previous
        self.code, self.data_dir, self.written = code, data_dir, {}

    def cached(self, day):
        """The cached ticks of `day`, None when the day is not cached (or its file does not read
        back: the feed would set it aside and fetch the day again)."""
        path = os.path.join(self.folder, self.name_of(self.code, day))
        try:
            return pl.read_csv(path, schema=TICK_SCHEMA, glob=False)
        except (OSError, pl.exceptions.PolarsError):
            return None

    def write(self, days):
        """Stores [(day, ticks)]; see `write_together`."""
        return write_together([(self, days)])

    def files(self):
        return sorted(self.written.items())


@contextmanager
def _ctrl_c_held_back():
    """Ctrl-C takes effect when the block ends: renames stopped halfway would leave a day's
    chain and series half old, half new. Only the main thread receives signals."""
    if threading.current_thread() is not threading.main_thread() or signal.getsignal(signal.SIGINT) is None:
        yield  # no handler of Python's to put back
        return
    pressed = []
    previous = signal.signal(signal.SIGINT, lambda *frame: pressed.append(frame))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if pressed and callable(previous):
            previous(*pressed[0])


def write_together(batches, others=()):
    """Stores the days of [(DayWriter, [(day, ticks)])] and the files of [(target,
    write(path))]: everything is written under a temporary name before anything is renamed
    into place, so a failure leaves the cache as it was. Returns [(cache file, ticks)]."""
    from orva_backtest.constant import BASIC_INFO
    staged, files = [], []
    try:
        for writer, days in batches:
            for day, ticks in days:
                target = os.path.join(writer.folder, writer.name_of(writer.code, day))
                staged.append((writer, day, ticks, *stage_file(target, ticks.write_csv)))
        for target, write in others:
            files.append(stage_file(target, write))
        with _ctrl_c_held_back():
            for temporary, target, _ in [entry[3:] for entry in staged] + files:
                os.replace(temporary, target)
    finally:
        for temporary, _, _ in [entry[3:] for entry in staged] + files:
            if os.path.exists(temporary):
                os.remove(temporary)
    done = []
    for writer, _, ticks, _, target, _ in staged:
        writer.written[target] = len(ticks)
        done.append((target, len(ticks)))
    # Then the columnar copies that runs read, each tied to its CSV: one that fails, or that
    # another import's CSV has replaced meanwhile, is rebuilt by the next run.
    for writer, day, ticks, _, _, stat in staged:
        previous, BASIC_INFO.data_dir = BASIC_INFO._data_dir, writer.data_dir
        try:
            writer.ticker._Ticker__store_columns(writer.code, day, ticks, stat)
        finally:
            BASIC_INFO.data_dir = previous
    return done


def _read(path):
    if not os.path.isfile(path):
        raise ValueError(f"找不到 Tick 檔: {path}")
    try:
        if path.lower().endswith((".parquet", ".pq")):
            return pl.read_parquet(path, glob=False)
        return pl.read_csv(path, infer_schema_length=0, glob=False)  # all text: checked row by row below
    except Exception as error:  # polars' own errors name the problem; keep their first line
        first = next((line for line in str(error).splitlines() if line.strip()), type(error).__name__)
        raise ValueError(f"無法讀取 Tick 檔 {path}: {first}") from None


def _typed(table, path):
    """The tick columns in cache types, checked as the cache checks a day."""
    missing = [c for c in TICK_SCHEMA if c not in table.columns]
    if missing:
        raise ValueError(f"Tick 檔 {path} 缺少欄位: {', '.join(missing)} (需要 {', '.join(TICK_SCHEMA)})")
    typed = table.select([pl.col(c) if table.schema[c] == t else
                          (reals if t == pl.Float64 else integers)(pl.col(c)).alias(c)
                          for c, t in TICK_SCHEMA.items()])
    parquet = path.lower().endswith((".parquet", ".pq"))

    def describe(row, column):
        where = f"第 {row + 1} 列" if parquet else f"第 {row + 2} 行"
        return f"Tick 檔 {path} {where}的 {column} 不合法: {table[column][row]!r} ({RULES})"

    check_ticks(typed, describe)
    return typed


def import_tick_file(path, code, market, data_dir):
    """Splits the ticks of `path` into cache days (stocks by Taipei date, futures by trading
    day); returns an ImportResult. The file needs the tick table's columns: ts (nanoseconds
    since the epoch), close, volume, bid_price, bid_volume, ask_price, ask_volume, tick_type.
    """
    from orva_backtest.data.instruments import parse_instruments
    utils.check_not_forked_from_polars("import_tick_file")
    entry = parse_instruments([{"code": code, "market": market}])[0]
    code, market = entry["code"], entry["market"]
    writer = DayWriter(code, data_dir)
    ticks = _typed(_read(path), path).sort("ts", maintain_order=True)
    if ticks.is_empty():
        raise ValueError(f"Tick 檔 {path} 沒有資料")
    result = ImportResult()
    warn_closed_days(ticks, market, f"Tick 檔 {path}", result.warnings)
    writer.write(split_days(ticks, market))
    result.files = writer.files()
    return result
