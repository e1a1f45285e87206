"""The replay reads each instrument's days as it reaches them, from a columnar copy of the day
cache that is rebuilt when damaged or made from another CSV than the cached one."""
import os
import shutil
from datetime import date

import polars as pl
import pytest

from orva_backtest import Strategy
from orva_backtest.market import SyntheticMarket
from orva_backtest.modules.ticker.ticker import Ticker
from orva_backtest.runner import run_backtest
from orva_backtest.tick_import import import_tick_file

CODES = [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"},
         {"code": "0050", "market": "Stock"}]


def records(ticker, start="2024-03-04", end="2024-03-22", **kwargs):
    replay = ticker.iter_ticks(CODES, start, end, **kwargs)
    return replay, [(r["code"], r["timestamp"], r["close"], r["qty"]) for r in replay]


def test_a_long_replay_holds_one_day_per_instrument(taipei_data_dir):
    prepared = []
    replay, rows = records(Ticker(SyntheticMarket(mean_gap_seconds=30)),
                           progress=lambda done, all: prepared.append((done, all)))
    assert prepared[-1] == (57, 57) and len(prepared) == 57  # 3 instruments × 19 days, each told
    assert replay.days_total == 3 * 15 and replay.days_loaded == replay.days_total
    assert replay.most_days_held == 3
    assert len(rows) == len(set(rows)) > 0


def test_the_columnar_copy_is_read_rebuilt_when_damaged_and_when_older_than_its_csv(taipei_data_dir):
    ticker = Ticker(SyntheticMarket(mean_gap_seconds=30))
    _, first = records(ticker)
    columns = taipei_data_dir / "sino" / "columns"
    copy = columns / "2330 2024-03-05 - ticks.parquet"
    assert copy.exists() and len(list(columns.iterdir())) == 3 * 19
    copy.write_bytes(copy.read_bytes()[:100])  # truncated
    _, again = records(ticker)
    assert again == first and list(columns.glob("2330 2024-03-05 - ticks.parquet.corrupt-*"))
    assert pl.read_parquet(copy).height > 0  # rebuilt
    # A newer CSV (a new import) wins over its copy.
    csv = taipei_data_dir / "sino" / "ticks" / "2330 2024-03-05 - ticks.csv"
    day = pl.read_csv(csv).head(10)
    day.write_csv(csv)
    os.utime(copy, ns=(1, 1))
    _, changed = records(ticker)
    on_the_day = [r for r in changed if r[0] == "2330" and date.fromtimestamp(r[1]) == date(2024, 3, 5)]
    assert len(on_the_day) == 10 and pl.read_parquet(copy).height == 10


def counting(monkeypatch, names):
    """Counts the calls of polars' `names` from here on."""
    calls = dict.fromkeys(names, 0)
    for name in names:
        def counted(*args, _real=getattr(pl, name), _name=name, **kwargs):
            calls[_name] += 1
            return _real(*args, **kwargs)
        monkeypatch.setattr(pl, name, counted)
    return calls


def test_making_the_days_ready_reads_no_ticks_and_asks_polars_nothing(taipei_data_dir, monkeypatch):
    ticker = Ticker(SyntheticMarket(mean_gap_seconds=30))
    _, first = records(ticker)
    calls = counting(monkeypatch, ["read_parquet_metadata", "scan_parquet", "read_parquet", "read_csv"])
    replay = ticker.iter_ticks(CODES, "2024-03-04", "2024-03-22")
    # A row count was once a query of its own on each copy, then polars' footer read: the
    # footers' key values are read by the module itself.
    assert calls == {"read_parquet_metadata": 0, "scan_parquet": 0, "read_parquet": 0, "read_csv": 0}
    assert len(replay) == len(first)


def test_a_code_s_next_days_are_read_together_and_a_day_imported_meanwhile_anew(taipei_data_dir, monkeypatch):
    ticker = Ticker(SyntheticMarket(mean_gap_seconds=30))
    _, first = records(ticker)
    calls = counting(monkeypatch, ["read_parquet"])
    csv = taipei_data_dir / "sino" / "ticks" / "2330 2024-03-06 - ticks.csv"
    seen = []
    for r in ticker.iter_ticks(CODES, "2024-03-04", "2024-03-22"):
        if not seen:  # 2330's first days are read by now: its third is imported again
            pl.read_csv(csv).head(10).write_csv(csv)
        seen.append((r["code"], r["timestamp"], r["close"], r["qty"]))
    assert calls["read_parquet"] == 3 * 3  # 15 days a code, five a call; the new import from its CSV

    def replaced(row):
        return row[0] == "2330" and date.fromtimestamp(row[1]) == date(2024, 3, 6)
    assert len([r for r in seen if replaced(r)]) == 10
    assert [r for r in seen if not replaced(r)] == [r for r in first if not replaced(r)]


def test_days_are_read_together_only_while_they_are_small(taipei_data_dir, monkeypatch):
    ticker = Ticker(SyntheticMarket(mean_gap_seconds=0.5))  # about 30,000 ticks a day
    code = [{"code": "2330", "market": "Stock"}]
    first = [r["timestamp"] for r in ticker.iter_ticks(code, "2024-03-04", "2024-03-22")]
    reads, real = [], pl.read_parquet
    def read(source, **kwargs):
        table = real(source, **kwargs)
        reads.append((len(source) if isinstance(source, list) else 1, table.height))
        return table
    monkeypatch.setattr(pl, "read_parquet", read)
    assert [r["timestamp"] for r in ticker.iter_ticks(code, "2024-03-04", "2024-03-22")] == first
    assert sum(days for days, _ in reads) == 15 and len(reads) < 15
    assert all(rows <= 70_000 for days, rows in reads if days > 1)
    assert max(rows for _, rows in reads) > 70_000 / 3  # three such days would be too many


@pytest.mark.parametrize("rows", [None, "many", "-3", "12 "], ids=["none", "text", "negative", "padded"])
def test_a_copy_whose_footer_does_not_tell_its_rows_is_rebuilt(taipei_data_dir, rows):
    ticker = Ticker(SyntheticMarket(mean_gap_seconds=30))
    _, first = records(ticker)
    copy = taipei_data_dir / "sino" / "columns" / "2330 2024-03-05 - ticks.parquet"
    metadata = pl.read_parquet_metadata(copy)
    day = pl.read_parquet(copy)
    written = {"orva_source_csv": metadata["orva_source_csv"], **({} if rows is None else {"orva_rows": rows})}
    day.write_parquet(copy, metadata=written)  # as a copy made before row counts were recorded
    replay = ticker.iter_ticks(CODES, "2024-03-04", "2024-03-22")
    assert len(replay) == len(first)  # counted before the first tick
    assert [(r["code"], r["timestamp"], r["close"], r["qty"]) for r in replay] == first
    assert pl.read_parquet_metadata(copy)["orva_rows"] == str(day.height)


def test_imports_write_the_columnar_copy_too(taipei_data_dir, tmp_path):
    market = SyntheticMarket(mean_gap_seconds=60)
    day = pl.DataFrame(market.ticks(contract=market.Contracts.Stocks["2330"], date="2024-03-05"))
    day.write_csv(tmp_path / "in.csv")
    import_tick_file(str(tmp_path / "in.csv"), "2330", "Stock", str(taipei_data_dir))
    copy = taipei_data_dir / "sino" / "columns" / "2330 2024-03-05 - ticks.parquet"
    assert pl.read_parquet(copy).equals(day.cast(pl.read_parquet(copy).schema))


def on_day(rows, code, day):
    return [r for r in rows if r[0] == code and date.fromtimestamp(r[1]) == day]


@pytest.mark.parametrize("case", ["put back with its old time", "given the copy's time",
                                  "a concurrent import's copy"])
def test_a_copy_made_from_another_csv_is_rebuilt_whatever_the_times(taipei_data_dir, tmp_path, case):
    ticker = Ticker(SyntheticMarket(mean_gap_seconds=30))
    records(ticker)
    name = "2330 2024-03-05 - ticks"
    csv, copy = (taipei_data_dir / "sino" / folder / f"{name}.{ext}"
                 for folder, ext in (("ticks", "csv"), ("columns", "parquet")))
    day = pl.read_csv(csv)
    shutil.copy2(copy, tmp_path / "first.parquet")
    fewer = tmp_path / "fewer.csv"
    day.head(10).write_csv(fewer)
    if case == "a concurrent import's copy":  # its CSV lost the race, its copy won it
        import_tick_file(str(fewer), "2330", "Stock", str(taipei_data_dir))
        shutil.copyfile(tmp_path / "first.parquet", copy)  # written last: newer than the CSV
        expected = 10
    else:  # a backup of the CSV restored over it, as cp -p or rsync -t do
        import_tick_file(str(fewer), "2330", "Stock", str(taipei_data_dir))
        day.write_csv(fewer)
        shutil.copyfile(fewer, csv)
        when = 1 if case == "put back with its old time" else copy.stat().st_mtime_ns
        os.utime(csv, ns=(when, when))
        expected = len(day)
    assert pl.read_parquet(copy).height != expected
    _, rows = records(ticker)
    assert len(on_day(rows, "2330", date(2024, 3, 5))) == expected == pl.read_parquet(copy).height


class ReimportsAtFirstTick(Strategy):
    """Re-imports a later day, with fewer ticks, while the run is under way."""

    def __init__(self, day_file, data_dir):
        self.day_file, self.data_dir, self.seen = day_file, data_dir, 0

    def on_tick(self, ctx, tick):
        if self.seen == 0:
            import_tick_file(self.day_file, "2330", "Stock", self.data_dir)
        self.seen += 1


def test_the_run_reports_the_ticks_it_replayed_when_a_day_changes_under_it(taipei_data_dir, tmp_path):
    market = SyntheticMarket(mean_gap_seconds=30)
    day = pl.DataFrame(market.ticks(contract=market.Contracts.Stocks["2330"], date="2024-03-06"))
    day.head(10).write_csv(tmp_path / "fewer.csv")
    strategy = ReimportsAtFirstTick(str(tmp_path / "fewer.csv"), str(taipei_data_dir))
    result = run_backtest(strategy, ["2330:Stock"], "2024-03-04", "2024-03-06", data_dir=str(taipei_data_dir),
                          source=market, reports=False)
    assert result.ticks == strategy.seen and len(day) > 10
    assert result.summary()["ticks"] == strategy.seen


def test_iterating_ends_cleanly_when_a_counted_day_was_emptied(taipei_data_dir):
    ticker = Ticker(SyntheticMarket(mean_gap_seconds=30))
    codes = [{"code": "2330", "market": "Stock"}]
    replay = ticker.iter_ticks(codes, "2024-03-04", "2024-03-05")
    first = next(replay)
    csv = taipei_data_dir / "sino" / "ticks" / "2330 2024-03-05 - ticks.csv"
    csv.write_text(csv.read_text().splitlines()[0] + "\n")  # the day now holds no tick
    rest = list(replay)
    assert {date.fromtimestamp(r["timestamp"]) for r in [first, *rest]} == {date(2024, 3, 4)}
    assert replay.replayed_by_code == {"2330": 1 + len(rest)}
