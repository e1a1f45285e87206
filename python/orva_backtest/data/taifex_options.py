"""The futures exchange's daily options trade files as option chains and series ticks.

The exchange publishes each trading day's trades of every option series as
`OptionsDaily_YYYY_MM_DD.zip`: one CSV (cp950, CRLF, padded fields) with the columns of
`HEADER`, one trade per row, its contracts counted once (not buyer plus seller as in the
futures file). Weeklies carry their week in the expiry (`202601W2`). As in the futures files,
the file of trading day D holds the night session that opened at 15:00 of the trading day
before, then D's day session.

`import_taifex_option_files` stores each trading day's chain of a product in one columnar file
(`market.option_chains`) and each series' trades as that series' cache day, one tick per
trade, under its code (`market.option_contracts`), so a run replays a series like any other
instrument and reads the chain from one file.
"""
import math
import os

import polars as pl

from orva_backtest import utils
from orva_backtest.data.daily_files import (DATE, EXPIRY, PRICE, PRODUCT, TIME, plan_days,
                                            refuse_quoted_product, table, texts, trade_ticks,
                                            unique_paths)
from orva_backtest.data.option_chains import CHAIN_COLUMNS, chain_path, chains_folder, read_chain
from orva_backtest.data.option_contracts import (EXPIRY_PATTERN, MAX_STRIKE, PRODUCTS, RIGHTS, expiry_date,
                                                 strike_text)
from orva_backtest.data.tick_import import DayWriter, ImportResult, integers, reals, warn_closed_days, write_together

STRIKE, RIGHT, VOLUME = "履約價格", "買賣權別", "成交數量(B or S)"
HEADER = (DATE, PRODUCT, STRIKE, EXPIRY, RIGHT, TIME, PRICE, VOLUME, "開盤集合競價")


def parse_expiries(text):
    """The expiries of "202601,202601W2" (None: all)."""
    if text is None:
        return None
    expiries = [part.strip().upper() for part in str(text).split(",") if part.strip()]
    if not expiries:
        raise ValueError(f"--expiries 需為以逗號分隔的到期月份(週別), 例如 202601,202601W2: {text!r}")
    for expiry in expiries:
        expiry_date(expiry)
    return set(expiries)


def parse_strikes(text):
    """(low, high) of "22000-24000" or "23000" (None: all)."""
    if text is None:
        return None
    low, dash, high = str(text).partition("-")
    try:  # "22900-" names no upper bound: refused rather than read as 22900 alone
        bounds = (float(low), float(high if dash else low))
    except ValueError:
        bounds = (math.nan, math.nan)
    if not all(math.isfinite(b) and b > 0 for b in bounds) or bounds[0] > bounds[1]:
        raise ValueError(f"--strikes 需為 低-高 的履約價區間, 例如 22000-24000: {text!r}")
    return bounds


def _series_rows(name, trades, product, chosen):
    """The product's rows (with their line numbers) of the chosen expiries and strikes, with
    their expiry, right, strike and series code; a value that names no series is refused."""
    refuse_quoted_product(name, trades, product)
    rows = (trades.with_row_index("line", offset=2)
            .filter(pl.col(PRODUCT).str.strip_chars() == product)
            .with_columns(expiry=pl.col(EXPIRY).str.strip_chars(),
                          right=pl.col(RIGHT).str.strip_chars().str.to_uppercase(),
                          strike=reals(pl.col(STRIKE))))
    for column, valid in ((EXPIRY, pl.col("expiry").str.contains(f"^{EXPIRY_PATTERN}$")),
                          (RIGHT, pl.col("right").is_in(list(RIGHTS))),
                          (STRIKE, pl.col("strike").is_between(0, MAX_STRIKE, closed="right"))):
        bad = rows.filter(~valid.fill_null(False))
        if len(bad):
            raise ValueError(f"{name} 第 {bad['line'][0]} 行的{column}無法解讀: {bad[column][0]!r}")
    if chosen is not None:
        rows = rows.filter(chosen)
    expires = {}
    for expiry in rows["expiry"].unique().to_list():
        try:
            expires[expiry] = expiry_date(expiry).isoformat()
        except ValueError as error:  # no such month, or a fifth week the month does not have
            line = rows.filter(pl.col("expiry") == expiry)["line"][0]
            raise ValueError(f"{name} 第 {line} 行的{EXPIRY}無法解讀: {error}") from None
    _refuse_expired(name, rows, expires)
    strike = pl.col("strike").replace_strict({s: strike_text(s) for s in rows["strike"].unique().to_list()},
                                             return_dtype=pl.String)
    return rows.with_columns(code=pl.concat_str(pl.lit(product), "expiry", "right", strike))


def _refuse_expired(name, rows, expires):
    """A trade dated after its series' expiry day ({expiry: "YYYY-MM-DD"}) is a damaged file:
    the exchange lists no series past it."""
    if not expires:
        return
    day = pl.col(DATE).str.strip_chars()
    last = pl.col("expiry").replace_strict({e: d.replace("-", "") for e, d in expires.items()},
                                           return_dtype=pl.String)
    late = rows.filter(day.str.contains(r"^\d{8}$") & (day > last))
    if len(late):
        raise ValueError(f"{name} 第 {late['line'][0]} 行的{EXPIRY} {late['expiry'][0]} 已於 "
                         f"{expires[late['expiry'][0]]} 到期, 不會在{DATE} {late[DATE][0].strip()} 成交")


def read_chains(path, product, chosen, warnings):
    """([(name, chain)] of the trade tables in the file at `path` (a zip's members) holding the
    series of `product` that `chosen` picks (None: all): series columns and ticks, sorted by
    time with the file's order kept within a second; rows read)."""
    tables, rows_read = [], 0
    for name, text in texts(path):
        trades = table(name, text, HEADER, HEADER[:8])
        del text  # only the table is needed from here: the text is as large again
        rows_read += len(trades)
        rows = _series_rows(name, trades, product, chosen)
        if rows.is_empty():
            warnings.append(f"{name} 沒有商品 {product} 所選序列的成交, 已略過")
            continue
        contracts = integers(pl.col(VOLUME))
        ticks = trade_ticks(name, rows, pl.when(contracts > 0).then(contracts), (VOLUME, "須為正整數"))
        chain = pl.concat([rows.select(CHAIN_COLUMNS), ticks], how="horizontal")
        tables.append((name, chain.sort("ts", maintain_order=True)))
    return tables, rows_read


class _Chains:
    """The chains of one product and their series' cache days, written together per file."""

    def __init__(self, product, data_dir):
        self.product, self.data_dir, self.writers = product, data_dir, {}

    def cached(self, day):
        try:
            return read_chain(self.data_dir, self.product, day)
        except ValueError:  # a damaged chain holds nothing to keep: the day's file replaces it
            return None

    def writer(self, code):
        if code not in self.writers:
            self.writers[code] = DayWriter(code, self.data_dir)
        return self.writers[code]

    def write(self, planned, chosen=None):
        """Stores {day: chain}: each day's chain file and the cache days of its series. An
        import of some series (`chosen`, an expression on the chain) keeps the stored series
        it left out, so a day imported piece by piece holds every piece."""
        batches, others = [], []
        for day, chain in sorted(planned.items()):
            for series in chain.partition_by("code", maintain_order=True):
                batches.append((self.writer(series["code"][0]), [(day, series.drop(CHAIN_COLUMNS))]))
            stored = None if chosen is None else self.cached(day)
            if stored is not None:
                chain = pl.concat([stored.filter(~chosen), chain]).sort("ts", maintain_order=True)
            others.append((chain_path(self.data_dir, self.product, day),
                           lambda path, chain=chain: chain.write_parquet(path, compression="lz4")))
        os.makedirs(chains_folder(self.data_dir), exist_ok=True)
        write_together(batches, others)


def _chosen(expiries, strikes):
    """The series of a chain that an import with these filters replaces (None: all)."""
    if expiries is None and strikes is None:
        return None
    chosen = pl.lit(True)
    if expiries is not None:
        chosen &= pl.col("expiry").is_in(sorted(expiries))
    if strikes is not None:
        chosen &= pl.col("strike").is_between(*strikes)
    return chosen


def import_taifex_option_files(paths, product, expiries=None, strikes=None, data_dir=None, progress=None):
    """Stores `product`'s option trades of the exchange's daily options files (zip or CSV,
    cp950 or UTF-8, any order): each trading day's chain and its series' cache days;
    `expiries` ("202601,202601W2") and `strikes` ("22000-24000") keep only those series.
    Returns an ImportResult whose files are the chain files. A file that fails stops the
    import with a ValueError naming it and its line, leaving the days of the files before it
    imported and the rest of the cache as it was. `progress(files_done, files, rows_read,
    ticks)` follows the work."""
    from orva_backtest.constant import BASIC_INFO
    utils.check_not_forked_from_polars("import_taifex_option_files")
    product = str(product).strip().upper()
    if product not in PRODUCTS:
        raise ValueError(f"不支援的選擇權商品 {product!r} (支援: {', '.join(PRODUCTS)})")
    chosen = _chosen(parse_expiries(expiries), parse_strikes(strikes))
    paths = unique_paths(paths)
    chains = _Chains(product, data_dir if data_dir is not None else BASIC_INFO.data_dir)
    result, rows_read, ticks_written, file_of_day, written = ImportResult(), 0, 0, {}, {}
    for done, path in enumerate(paths):
        tables, rows = read_chains(path, product, chosen, result.warnings)
        rows_read += rows
        planned = {}
        for name, chain in tables:
            warn_closed_days(chain, "Future", name, result.warnings)
            plan_days(name, chain, planned, file_of_day, chains.cached, result.warnings)
        chains.write(planned, chosen)
        written.update((chain_path(chains.data_dir, product, day), len(chain)) for day, chain in planned.items())
        ticks_written += sum(len(chain) for chain in planned.values())
        if progress is not None:
            progress(done + 1, len(paths), rows_read, ticks_written)
    result.files = sorted(written.items())
    return result
