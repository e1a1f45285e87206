"""The option chains in the tick cache, and the chains a run names.

The options importer keeps each trading day's chain of a product in one columnar file,
`sino/chains/<product> <day> - chain.parquet`: every trade of every series that day (the
series code, expiry, right and strike beside the tick columns), in time order. Each series
also gets the day files the tick feed replays, so a run replays a series like any instrument.

A run names series one by one (`TXO202601C23000:Option`) or as a chain: the product
(`TXO`), an expiry (`TXO202601`, `TXO202601W2`), a right (`TXO202601C`) and a strike range
(`TXO202601P22000-23000`); a chain stands for the series of the cached chains of the run's
days that match it.
"""
import os
import re
from datetime import timedelta

import polars as pl

from orva_backtest.data.option_contracts import EXPIRY_PATTERN, PRODUCTS, SERIES, STRIKE_PATTERN
from orva_backtest.utils import format_to_dt

CHAIN = re.compile(rf"(?P<product>[A-Z]+)(?P<expiry>{EXPIRY_PATTERN})?"
                   rf"(?:(?P<right>[CP])(?:(?P<low>{STRIKE_PATTERN})(?:-(?P<high>{STRIKE_PATTERN}))?)?)?")
CHAIN_COLUMNS = ("code", "expiry", "right", "strike")  # before the tick columns


def chains_folder(data_dir):
    return os.path.join(data_dir, "sino", "chains")


def chain_path(data_dir, product, day):
    return os.path.join(chains_folder(data_dir), f"{product} {day} - chain.parquet")


def read_chain(data_dir, product, day, columns=None):
    """The stored chain of `product` on trading day `day` ("YYYY-MM-DD"), of `columns` (None:
    all); None when there is none. One that does not read back is a ValueError naming it."""
    path = chain_path(data_dir, product, day)
    if not os.path.exists(path):
        return None
    try:
        return pl.read_parquet(path, columns=columns, glob=False)
    except (OSError, pl.exceptions.PolarsError) as error:
        first = next((line for line in str(error).splitlines() if line.strip()), type(error).__name__)
        raise ValueError(f"選擇權鏈檔 {path} 無法讀取 ({first}): 請重新匯入 {day} 的選擇權成交檔") from None


def check_option_name(code, market="Option"):
    """Refuses, for the market "Option", what is neither a series code nor a chain name of a
    known product; for another market, a series code (it would be booked as that market's)."""
    if market != "Option":
        series = SERIES.fullmatch(code)
        if series is not None and series["product"] in PRODUCTS:
            raise ValueError(f"{code} 是選擇權序列, 不是{market}: 請寫 {code}:Option")
        return
    match = CHAIN.fullmatch(code)
    if match is None or match["product"] not in PRODUCTS:
        raise ValueError(f"{code} 不是選擇權序列或選擇權鏈 (例如 TXO202601C23000, TXO202601W2, TXO; "
                         f"商品: {', '.join(PRODUCTS)})")
    if match["high"] and float(match["low"]) > float(match["high"]):  # else it names nothing, silently
        turned = f"{code[:match.start('low')]}{match['high']}-{match['low']}"
        raise ValueError(f"{code}: 履約價區間需由低到高, 例如 {turned}")


def _matching(chain, match):
    wanted = pl.lit(True)
    if match["expiry"]:
        wanted &= pl.col("expiry") == match["expiry"]
    if match["right"]:
        wanted &= pl.col("right") == match["right"]
    if match["low"]:
        wanted &= pl.col("strike").is_between(float(match["low"]), float(match["high"] or match["low"]))
    return chain.filter(wanted)["code"].unique(maintain_order=True).to_list()


def chain_series(name, start, end, data_dir):
    """The series codes of chain `name` traded in the cached chains of the days from `start`
    to `end` ("YYYY-MM-DD"), ordered by expiry, right and strike."""
    match, found = CHAIN.fullmatch(name), {}
    day, last = format_to_dt(start).date(), format_to_dt(end).date()
    while day <= last:
        chain = read_chain(data_dir, match["product"], day.isoformat(), list(CHAIN_COLUMNS))
        if chain is not None:
            for code in _matching(chain, match):
                found.setdefault(code, SERIES.fullmatch(code))
        day += timedelta(days=1)
    if not found:
        raise ValueError(f"選擇權鏈 {name} 在 {start} 至 {end} 沒有任何序列: {chains_folder(data_dir)} "
                         f"中沒有相符的成交 (先以 import-taifex-options 匯入)")
    return sorted(found, key=lambda code: (found[code]["expiry"], found[code]["right"],
                                           float(found[code]["strike"])))


def expand_chains(instruments, start, end, data_dir):
    """The parsed instruments with each option chain replaced by its series (a series named
    twice is replayed once)."""
    out, seen = [], set()
    for entry in instruments:
        code = entry["code"]
        single = entry["market"] != "Option" or SERIES.fullmatch(code) is not None
        for series in [code] if single else chain_series(code, start, end, data_dir):
            if series not in seen:
                seen.add(series)
                out.append({"code": series, "market": entry["market"]})
    return out
