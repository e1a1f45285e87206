import zipfile

import polars as pl
import pytest

from orva_backtest import Strategy
from orva_backtest.cli import run_cli
from orva_backtest.market import CacheOnlyMarket
from orva_backtest.runner import run_backtest

from taifex_files import trades, write_files

DAY_FILES = ["TXFR1 2026-01-21 - ticks.csv", "TXFR1 2026-01-22 - ticks.csv"]


class Recorder(Strategy):
    def __init__(self):
        self.seen = []

    def on_tick(self, ctx, tick):
        self.seen.append((tick["code"], tick["timestamp"], tick["close"], tick["qty"]))


def cached(data):
    folder = data / "sino" / "ticks"
    return {p.name: p.read_bytes() for p in sorted(folder.iterdir())} if folder.exists() else {}


def test_a_run_over_imported_days_replays_exactly_the_front_month_trades(tmp_path, capsys, console):
    paths, front = write_files(tmp_path)
    data = tmp_path / "data"
    argv = ["import-taifex", *map(str, reversed(paths)), "--product", "tx", "--data-dir", str(data)]
    assert run_cli(argv) == 0
    first = cached(data)
    assert list(first) == DAY_FILES
    assert run_cli(argv) == 0 and cached(data) == first  # importing again changes nothing
    out = capsys.readouterr().out
    assert "警告" not in out and "匯入完成: 2 天" in out
    # No quotes in the files: bid and ask are the trade's price with no volume behind them.
    day = pl.read_csv(data / "sino" / "ticks" / DAY_FILES[0])
    assert day["bid_price"].to_list() == day["close"].to_list() == day["ask_price"].to_list()
    assert set(day["bid_volume"]) == set(day["ask_volume"]) == set(day["tick_type"]) == {0}
    strategy = Recorder()
    run_backtest(strategy, ["TXFR1:Future"], "2026-01-20", "2026-01-23", data_dir=str(data),
                 source=CacheOnlyMarket(), reports=False)
    assert strategy.seen == [("TXFR1", ns / 10**9, price, contracts) for ns, price, contracts in front]


def front_line(lines):
    """The line number of the first trade of the front month (TX 202601) in a file's lines."""
    return next(i for i, line in enumerate(lines, 1) if ",TX     ,202601     ," in line)


EDITS = {"no price": (4, "-"), "odd volume": (5, "3"), "short time": (3, "84500"), "bad expiry": (2, "2026")}


def damaged(kind, lines):
    lines, n = list(lines), front_line(lines) - 1
    if kind == "not a trade file":
        return b"\x89PNG\r\n\x1a\n\x00\x00"
    if kind == "missing column":
        lines = [",".join(f for i, f in enumerate(line.split(",")) if i != 4) for line in lines]
    elif kind == "ragged row":
        lines[n] += ",extra"
    elif kind in EDITS:
        fields = lines[n].split(",")
        fields[EDITS[kind][0]] = EDITS[kind][1]
        lines[n] = ",".join(fields)
    return "\r\n".join(lines).encode("cp950")


@pytest.mark.parametrize("kind, message", [
    ("not a trade file", "不是期交所逐筆成交檔"), ("missing column", "缺少欄位: 成交價格"),
    ("ragged row", "第 {line} 行的欄位數"), ("no price", "第 {line} 行無法匯入: 成交價格 '-'"),
    ("odd volume", "第 {line} 行無法匯入: 成交數量(B+S) '3'"), ("short time", "第 {line} 行無法匯入: 成交日期"),
    ("bad expiry", "第 {line} 行的到期月份(週別)無法解讀"), ("zip without a table", "沒有 .csv 或 .rpt"),
])
def test_bad_files_are_one_line_and_leave_the_cache_as_it_was(tmp_path, capsys, kind, message):
    paths, _ = write_files(tmp_path)
    data = tmp_path / "data"
    assert run_cli(["import-taifex", str(paths[1]), "--product", "TX", "--data-dir", str(data)]) == 0
    before = cached(data)
    lines = trades("2026-01-21")[0]
    bad = tmp_path / "bad.zip"
    with zipfile.ZipFile(bad, "w") as archive:
        archive.writestr("notes.txt" if kind == "zip without a table" else "Daily.rpt", damaged(kind, lines))
    capsys.readouterr()
    assert run_cli(["import-taifex", str(paths[1]), str(bad), "--product", "TX", "--data-dir", str(data)]) == 1
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and str(bad) in err[0] and message.format(line=front_line(lines)) in err[0]
    assert cached(data) == before


def test_a_file_without_the_product_is_a_warning_and_the_others_go_on(tmp_path, capsys):
    paths, _ = write_files(tmp_path, zipped=())
    lines = paths[1].read_bytes().decode("cp950").split("\r\n")
    paths[1].write_bytes("\r\n".join(line for line in lines if ",TX " not in line).encode("cp950"))
    paths[0].write_text(paths[0].read_bytes().decode("cp950"), encoding="utf-8")  # either encoding
    data = str(tmp_path / "data")
    assert run_cli(["import-taifex", *map(str, paths), "--product", "TX", "--code", "TXF202601",
                    "--data-dir", data]) == 0
    out = capsys.readouterr().out
    assert f"{paths[1]} 沒有商品 TX 的月契約成交" in out and "匯入完成: 1 天" in out
    assert "TXF202601 2026-01-21 - ticks.csv" in out
    assert run_cli(["import-taifex", str(paths[0]), "--product", "TE", "--data-dir", data]) == 1
    assert "TE 沒有預設代碼" in capsys.readouterr().err


def test_one_day_in_two_files_is_refused_not_counted_twice(tmp_path, capsys):
    paths, _ = write_files(tmp_path)
    copy = tmp_path / "copy.zip"
    copy.write_bytes(paths[0].read_bytes())
    alone, twice = tmp_path / "alone", tmp_path / "twice"
    assert run_cli(["import-taifex", str(paths[0]), "--product", "TX", "--data-dir", str(alone)]) == 0
    capsys.readouterr()
    assert run_cli(["import-taifex", str(paths[0]), str(copy), "--product", "TX", "--data-dir", str(twice)]) == 1
    (err,) = capsys.readouterr().err.strip().splitlines()
    assert f"{paths[0]} 與 {copy} 都是 2026-01-21 的成交檔" in err
    assert cached(twice) == cached(alone)  # the first file's day, once
