"""The futures exchange's daily trade files as ticks of a product's front month.

The exchange publishes each trading day's trades of every futures contract as
`Daily_YYYY_MM_DD.zip`: one CSV (sometimes named .rpt, cp950, CRLF) with the columns of
`HEADER`, one trade per row. The file of trading day D holds the night session that opened
at 15:00 of the trading day before, then D's day session.

`import_taifex_files` writes one product's front-month trades into the tick cache under a
futures code, one cache file per trading day (`market.trading_days`), each trade one tick.
"""
import polars as pl

from orva_backtest import utils
from orva_backtest.data.contract_months import record_months
from orva_backtest.data.daily_files import (DATE, EXPIRY, PRICE, PRODUCT, TIME, plan_days,
                                            refuse_quoted_product, table, texts, trade_ticks,
                                            unique_paths)
from orva_backtest.data.tick_import import DayWriter, ImportResult, integers, warn_closed_days

VOLUME = "成交數量(B+S)"
HEADER = (DATE, PRODUCT, EXPIRY, TIME, PRICE, VOLUME, "近月價格", "遠月價格", "開盤集合競價")
# The continuous near-month codes of the index futures, by the exchange's product code.
DEFAULT_CODES = {"TX": "TXFR1", "MTX": "MXFR1", "TMF": "TMFR1"}


def _product_rows(name, trades, product):
    """(The product's outright rows of its nearest monthly expiry, with their line numbers;
    that contract month), or None when the file has no monthly rows of the product."""
    refuse_quoted_product(name, trades, product)
    expiry = pl.col(EXPIRY).str.strip_chars()
    rows = (trades.with_row_index("line", offset=2)
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


def read_front_month(path, product, warnings):
    """([(name, ticks, contract month)] of the trade tables in the file at `path` (a zip's
    members) holding the product's nearest monthly expiry, each sorted by time with the file's
    order kept within a second; rows read)."""
    tables, rows_read = [], 0
    for name, text in texts(path):
        rows = table(name, text, HEADER, HEADER[:6])
        del text  # only the table is needed from here: the text is as large again
        rows_read += len(rows)
        front = _product_rows(name, rows, product)
        if front is None:
            warnings.append(f"{name} 沒有商品 {product} 的月契約成交, 已略過")
            continue
        rows, month = front
        both_sides = integers(pl.col(VOLUME))
        ticks = trade_ticks(name, rows, pl.when(both_sides % 2 == 0).then(both_sides // 2),  # counted on both sides
                            (VOLUME, "須為不為負的偶數 (買賣雙方合計, 成交口數為其一半)"))
        tables.append((name, ticks.sort("ts", maintain_order=True), month))
    return tables, rows_read


def import_taifex_files(paths, product, code=None, data_dir=None, progress=None):
    """Writes `product`'s front-month trades of the exchange's daily files (zip or CSV, cp950 or
    UTF-8, any order) into the tick cache under `code` (default: DEFAULT_CODES); returns an
    ImportResult. A file that fails stops the import with a ValueError naming it and its line,
    leaving the days of the files before it imported and the rest of the cache as it was.
    `progress(files_done, files, rows_read, ticks)` follows the work."""
    from orva_backtest.constant import BASIC_INFO
    from orva_backtest.data.instruments import parse_instruments
    utils.check_not_forked_from_polars("import_taifex_files")
    product = str(product).strip().upper()
    if not product:
        raise ValueError("--product 不可為空 (例如 TX, MTX, TMF)")
    if code is None:
        code = DEFAULT_CODES.get(product)
        if code is None:
            defaults = ", ".join(f"{p} → {c}" for p, c in DEFAULT_CODES.items())
            raise ValueError(f"商品 {product} 沒有預設代碼, 請用 --code 指定 (預設: {defaults})")
    code = parse_instruments([{"code": code, "market": "Future"}])[0]["code"]
    paths = unique_paths(paths)
    writer = DayWriter(code, data_dir if data_dir is not None else BASIC_INFO.data_dir)
    result, rows_read, ticks_written, file_of_day = ImportResult(), 0, 0, {}
    for done, path in enumerate(paths):
        tables, rows = read_front_month(path, product, result.warnings)
        rows_read += rows
        planned, months = {}, {}
        for name, ticks, month in tables:
            warn_closed_days(ticks, "Future", name, result.warnings)
            for day in plan_days(name, ticks, planned, file_of_day, writer.cached, result.warnings):
                months[day] = month  # the rolls a run settles
        writer.write(sorted(planned.items()))
        record_months(writer.data_dir, code, months)
        ticks_written += sum(len(ticks) for ticks in planned.values())
        if progress is not None:
            progress(done + 1, len(paths), rows_read, ticks_written)
    result.files = writer.files()
    return result
