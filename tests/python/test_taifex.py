import re
import zipfile

import polars as pl
import pytest

from orva_backtest import Strategy
from orva_backtest.cli import run_cli
from orva_backtest.market import CacheOnlyMarket, daily_files, taifex
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


@pytest.mark.parametrize("case", ["two files", "two copies in one zip", "its .csv and .rpt in one zip"])
def test_one_day_twice_is_refused_not_counted_twice(tmp_path, capsys, case):
    paths, _ = write_files(tmp_path)
    member = "Daily_2026_01_21.csv"
    data = zipfile.ZipFile(paths[0]).read(member)
    alone, twice = tmp_path / "alone", tmp_path / "twice"
    assert run_cli(["import-taifex", str(paths[0]), "--product", "TX", "--data-dir", str(alone)]) == 0
    bad = tmp_path / "bad.zip"
    second = {"two files": member, "two copies in one zip": "copy/" + member,
              "its .csv and .rpt in one zip": "Daily_2026_01_21.rpt"}[case]
    with zipfile.ZipFile(bad, "w") as archive:
        for name in [second] if case == "two files" else [member, second]:
            archive.writestr(name, data)
    files = [paths[0], bad] if case == "two files" else [bad]
    capsys.readouterr()
    assert run_cli(["import-taifex", *map(str, files), "--product", "TX", "--data-dir", str(twice)]) == 1
    (err,) = capsys.readouterr().err.strip().splitlines()
    first = f"{paths[0]}:{member}" if case == "two files" else f"{bad}:{member}"
    assert f"{first} 與 {bad}:{second} 都是 2026-01-21 的成交檔" in err
    assert cached(twice) == (cached(alone) if case == "two files" else {})  # the first file's day, once


def test_the_same_file_named_twice_is_imported_once(tmp_path, monkeypatch):
    paths, _ = write_files(tmp_path)
    once, twice = tmp_path / "once", tmp_path / "twice"
    assert run_cli(["import-taifex", str(paths[0]), "--product", "TX", "--data-dir", str(once)]) == 0
    monkeypatch.chdir(tmp_path)
    named = [str(paths[0]), paths[0].name, f"./{paths[0].name}", str(paths[0])]
    assert run_cli(["import-taifex", *named, "--product", "TX", "--data-dir", str(twice)]) == 0
    assert cached(twice) == cached(once)


def with_stray_trade(lines):
    """The lines with one more front-month trade, at 16:00 of the file's day: the next
    trading day's night session."""
    fields = lines[front_line(lines) - 1].split(",")
    fields[0], fields[3] = "20260121", "160000"
    return lines + [",".join(fields)]


def test_a_stray_trade_never_replaces_a_cached_day(tmp_path, capsys):
    paths, _ = write_files(tmp_path, zipped=())
    stray = tmp_path / "stray.csv"
    stray.write_bytes("\r\n".join(with_stray_trade(trades("2026-01-21")[0])).encode("cp950"))
    data, fresh = tmp_path / "data", tmp_path / "fresh"
    assert run_cli(["import-taifex", str(paths[1]), "--product", "TX", "--data-dir", str(data)]) == 0
    before = cached(data)
    whole = len(pl.read_csv(data / "sino" / "ticks" / DAY_FILES[1]))
    capsys.readouterr()
    assert run_cli(["import-taifex", str(stray), "--product", "TX", "--data-dir", str(data)]) == 1
    (err,) = capsys.readouterr().err.strip().splitlines()
    assert f"{stray} 是 2026-01-21 的成交檔, 其中 1 筆屬於交易日 2026-01-22, 而快取中的 2026-01-22 有 {whole:,} 筆" in err
    assert cached(data) == before
    # A day not cached yet takes the stray trade, until the day's own file replaces it whole.
    assert run_cli(["import-taifex", str(stray), str(paths[1]), "--product", "TX", "--data-dir", str(fresh)]) == 0
    assert cached(fresh)[DAY_FILES[1]] == before[DAY_FILES[1]]
    assert run_cli(["import-taifex", str(stray), "--product", "TX", "--data-dir", str(fresh)]) == 1


@pytest.mark.parametrize("spare", [-1, 0])
def test_a_file_the_memory_cannot_hold_is_refused_in_one_line(tmp_path, capsys, monkeypatch, spare):
    paths, _ = write_files(tmp_path)
    size = zipfile.ZipFile(paths[0]).getinfo("Daily_2026_01_21.csv").file_size
    monkeypatch.setattr(daily_files, "_memory_free", lambda: size * 10 + spare)
    data = tmp_path / "data"
    status = run_cli(["import-taifex", str(paths[0]), "--product", "TX", "--data-dir", str(data)])
    err = capsys.readouterr().err.strip().splitlines()
    if spare < 0:
        assert status == 1 and len(err) == 1 and f"{paths[0]}:Daily_2026_01_21.csv 過大 ({size:,} bytes)" in err[0]
        assert cached(data) == {}
    else:
        assert status == 0 and list(cached(data)) == DAY_FILES[:1]


def test_a_stray_quote_is_a_value_error_naming_the_file_and_line(tmp_path):
    lines = trades("2026-01-21")[0]
    n = front_line(lines)
    fields = lines[n - 1].split(",")
    fields[4] = '"' + fields[4]
    lines[n - 1] = ",".join(fields)
    lines += ["20260121,TE     ,202602     ,084500,1000,2,-,-,"] * 4000  # past the csv module's field limit
    path = tmp_path / "quoted.csv"
    path.write_bytes("\r\n".join(lines).encode("cp950"))
    with pytest.raises(ValueError, match=re.escape(f"{path} 第 {n} 行無法匯入: 成交價格 '\"{fields[4][1:]}'")):
        taifex.import_taifex_files([path], "TX", data_dir=str(tmp_path / "data"))
