"""Imports a user's tick file into the tick feed's day cache, so runs need no broker SDK."""
import os

import polars as pl

# The tick table's columns and types, in cache-file order.
TICK_COLUMNS = {"ts": pl.Int64, "close": pl.Float64, "volume": pl.Int64, "bid_price": pl.Float64,
                "bid_volume": pl.Int64, "ask_price": pl.Float64, "ask_volume": pl.Int64,
                "tick_type": pl.Int64}
# Tick times the quote buffer takes (1990 to 2099); seconds or milliseconds given for `ts` fall outside.
EARLIEST_TS, LATEST_TS = 631_152_000 * 10**9, 4_102_444_800 * 10**9


def _read(path):
    if not os.path.isfile(path):
        raise ValueError(f"找不到 Tick 檔: {path}")
    try:
        if path.lower().endswith((".parquet", ".pq")):
            return pl.read_parquet(path)
        return pl.read_csv(path, infer_schema_length=0)  # all text: checked row by row below
    except Exception as error:  # polars' own errors name the problem; keep their first line
        first = next((line for line in str(error).splitlines() if line.strip()), type(error).__name__)
        raise ValueError(f"無法讀取 Tick 檔 {path}: {first}") from None


def _typed(table, path):
    """The tick columns in cache types; the first bad row is named by its line in the file."""
    missing = [c for c in TICK_COLUMNS if c not in table.columns]
    if missing:
        raise ValueError(f"Tick 檔 {path} 缺少欄位: {', '.join(missing)} (需要 {', '.join(TICK_COLUMNS)})")
    typed = table.select([pl.col(c).cast(t, strict=False).alias(c) for c, t in TICK_COLUMNS.items()])
    bad = typed.with_row_index("line").filter(
        pl.any_horizontal([pl.col(c).is_null() for c in TICK_COLUMNS])
        | ~pl.col("ts").is_between(EARLIEST_TS, LATEST_TS, closed="left")
        | ~pl.col("close").is_finite() | (pl.col("close") <= 0) | (pl.col("volume") < 0)
        | ~pl.col("bid_price").is_finite() | ~pl.col("ask_price").is_finite())
    if len(bad):
        index = bad["line"][0]
        line = index + 2 if not path.lower().endswith((".parquet", ".pq")) else index + 1
        row = table.row(index, named=True)
        raise ValueError(f"Tick 檔 {path} 第 {line} {'行' if line == index + 2 else '列'}資料不正確 (ts 為 1990 至 "
                         f"2099 年的奈秒, 價格為正的有限數, 數量不為負): {row}")
    return typed


def import_tick_file(path, code, market, data_dir):
    """Splits the ticks of `path` by local day into cache files; returns [(file, rows)].

    The file needs the tick table's columns: ts (nanoseconds since the epoch), close,
    volume, bid_price, bid_volume, ask_price, ask_volume, tick_type.
    """
    from orva_backtest.constant import BASIC_INFO
    from orva_backtest.modules.ticker.ticker import Ticker
    from orva_backtest.runner import parse_instruments
    code = parse_instruments([{"code": code, "market": market}])[0]["code"]
    ticks = _typed(_read(path), path).sort("ts", maintain_order=True)
    if ticks.is_empty():
        raise ValueError(f"Tick 檔 {path} 沒有資料")
    BASIC_INFO.data_dir = data_dir  # the feed's own cache folder and file names, as a run reads them
    ticker = Ticker(None)
    name_of = ticker._Ticker__tick_filename_formatter  # refuses codes unfit for file names
    folder = ticker._Ticker__generate_save_path(None, "sino", "ticks")
    zone = os.environ.get("TZ") or "Asia/Taipei"
    days = (pl.from_epoch(ticks["ts"], time_unit="ns").dt.replace_time_zone("UTC")
            .dt.convert_time_zone(zone).dt.strftime("%Y-%m-%d"))
    written = []
    for (day,), part in ticks.with_columns(days.alias("day")).group_by("day", maintain_order=True):
        target = os.path.join(folder, name_of(code, day))
        temporary = f"{target}.tmp-{os.getpid()}"
        try:
            part.drop("day").write_csv(temporary)
            os.replace(temporary, target)
        finally:
            if os.path.exists(temporary):
                os.remove(temporary)
        written.append((target, len(part)))
    return written
