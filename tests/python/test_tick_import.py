import os
import re
import time

import polars as pl
import pytest

from orva_backtest.cli import run_cli
from orva_backtest.constant import BASIC_INFO
from orva_backtest.market import CacheOnlyMarket, SyntheticMarket
from orva_backtest.modules.ticker.ticker import Ticker
from orva_backtest.tick_import import import_tick_file

HEADER = "ts,close,volume,bid_price,bid_volume,ask_price,ask_volume,tick_type"
T0 = 1_709_514_000_000_000_000  # 2024-03-04 09:00 Taipei, a Monday
HOUR = 3600 * 10**9
GOOD = f"{T0},600.0,2,599.0,1,601.0,1,1"


def with_value(column, value):
    fields = GOOD.split(",")
    fields[HEADER.split(",").index(column)] = value
    return ",".join(fields)


def cache_accepts(data, line):
    """Whether the tick cache reads back a day file of GOOD and `line`."""
    folder = data / "cache-check" / "sino" / "ticks"
    folder.mkdir(parents=True)
    (folder / "2330 2024-03-04 - ticks.csv").write_text(f"{HEADER}\n{GOOD}\n{line}\n")
    BASIC_INFO.data_dir = str(data / "cache-check")
    return len(Ticker(CacheOnlyMarket()).get_ticks_df("2330", "Stock", "2024-03-04", "2024-03-04")) == 2


@pytest.mark.parametrize("column, value, accepted", [
    ("bid_price", "-1.0", False), ("bid_volume", "-1", False), ("ask_volume", "-2", False),
    ("close", "0.0", False), ("close", "NaN", False), ("ask_price", "inf", False), ("volume", "1.7", False),
    ("volume", "", False), ("ts", "1709514000", False),  # seconds, not nanoseconds
    ("bid_price", "0.0", True), ("ask_volume", "0", True), ("tick_type", "-1", True),  # no quote, any type
])
def test_import_refuses_exactly_what_the_cache_refuses(taipei_data_dir, console, column, value, accepted):
    line = with_value(column, value)
    path = taipei_data_dir / "ticks.csv"
    path.write_text(f"{HEADER}\n{GOOD}\n{line}\n")
    data = taipei_data_dir / "data"
    if accepted:
        import_tick_file(str(path), "2330", "Stock", str(data))
    else:
        with pytest.raises(ValueError, match=re.escape(f"第 3 行的 {column} 不合法: {value or None!r}")):
            import_tick_file(str(path), "2330", "Stock", str(data))
    assert os.path.exists(data / "sino" / "ticks" / "2330 2024-03-04 - ticks.csv") == accepted
    assert cache_accepts(taipei_data_dir, line) == accepted


def test_float_volumes_of_a_parquet_file_are_refused_not_cut(tmp_path):
    path = tmp_path / "ticks.parquet"
    pl.DataFrame({"ts": [T0, T0 + 1], "close": [600.0] * 2, "volume": [2.0, 1.7], "bid_price": [599.0] * 2,
                  "bid_volume": [1] * 2, "ask_price": [601.0] * 2, "ask_volume": [1] * 2,
                  "tick_type": [1] * 2}).write_parquet(path)
    with pytest.raises(ValueError, match="第 2 列的 volume 不合法: 1.7"):
        import_tick_file(str(path), "2330", "Stock", str(tmp_path / "data"))


def test_futures_split_by_trading_day_as_the_market_delivers_them(tmp_path, monkeypatch):
    """Re-importing the synthetic market's TXFR1 days gives back each day as it was: the night
    session from 15:00 (after a weekend, and across the 2024-02-28 holiday) included, whatever
    the process's time zone."""
    monkeypatch.setenv("TZ", "UTC")
    time.tzset()
    market, contract = SyntheticMarket(mean_gap_seconds=120), SyntheticMarket().Contracts.Futures["TXFR1"]
    days = ["2024-02-27", "2024-02-29", "2024-03-01", "2024-03-04", "2024-03-05"]
    delivered = {day: pl.DataFrame(market.ticks(contract=contract, date=day)) for day in days}
    path = tmp_path / "txf.csv"
    pl.concat(delivered.values()).write_csv(path)
    result = import_tick_file(str(path), "TXFR1", "Future", str(tmp_path / "data"))
    monkeypatch.undo()
    time.tzset()
    assert [os.path.basename(p) for p, _ in result.files] == [f"TXFR1 {day} - ticks.csv" for day in days]
    for (file, _), day in zip(result.files, days):
        assert pl.read_csv(file)["ts"].to_list() == delivered[day]["ts"].to_list()
    assert result.warnings == []
    holiday = T0 - (4 * 24 + 33) * HOUR  # 2024-02-28 00:00
    assert len(delivered["2024-02-29"].filter(pl.col("ts").is_between(holiday, holiday + 5 * HOUR)))


@pytest.mark.parametrize("market, hours, warned", [
    ("Stock", [5 * 24 + 1], "2024-03-09"),  # Saturday 10:00
    ("Future", [4 * 24 + 17], None),  # Saturday 02:00: Friday's night session
    ("Future", [5 * 24 + 1, 6 * 24 + 14], "2024-03-09, 2024-03-10"),  # Saturday 10:00, Sunday 23:00
])
def test_weekend_ticks_are_warned_about_in_one_line(tmp_path, capsys, market, hours, warned):
    lines = [with_value("ts", str(T0 + h * HOUR)) for h in [0] + hours]
    path = tmp_path / "ticks.csv"
    path.write_text("\n".join([HEADER] + lines) + "\n")
    code = "2330" if market == "Stock" else "TXFR1"
    assert run_cli(["import-ticks", str(path), "--code", code, "--market", market,
                    "--data-dir", str(tmp_path / "data")]) == 0
    out = capsys.readouterr().out
    warnings = [line for line in out.splitlines() if "休市日" in line]
    if warned is None:
        assert warnings == []
    else:
        assert len(warnings) == 1 and f"有 {len(hours)} 筆 Tick" in warnings[0] and warnings[0].endswith(warned)


def test_a_full_disk_leaves_the_cache_as_it_was(tmp_path, monkeypatch):
    path = tmp_path / "ticks.csv"
    path.write_text(f"{HEADER}\n{GOOD}\n{with_value('ts', str(T0 + 24 * HOUR))}\n")
    data = tmp_path / "data"
    import_tick_file(str(path), "2330", "Stock", str(data))
    folder = data / "sino" / "ticks"
    before = {p.name: p.read_bytes() for p in folder.iterdir()}
    writes = []

    def half_written(self, file):  # the second day's file runs out of room halfway
        writes.append(file)
        open(file, "w").write(HEADER if len(writes) > 1 else "")
        if len(writes) > 1:
            raise OSError(28, "No space left on device")
    monkeypatch.setattr(pl.DataFrame, "write_csv", half_written)
    with pytest.raises(OSError, match="No space"):
        import_tick_file(str(path), "2330", "Stock", str(data))
    assert len(writes) == 2 and {p.name: p.read_bytes() for p in folder.iterdir()} == before
