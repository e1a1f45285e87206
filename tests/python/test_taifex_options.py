import os
import signal
import zipfile

import polars as pl
import pytest

from orva_backtest.cli import run_cli
from orva_backtest.market import CacheOnlyMarket
from orva_backtest.market.option_contracts import contract_facts
from orva_backtest.market.taifex_options import import_taifex_option_files
from orva_backtest.runner import parse_instruments, run_backtest

from taifex_option_files import trades, write_files
from test_taifex import Recorder


def stored(data):
    """The chains and the series' cache days (their columnar copies record which write of a day
    they were made from)."""
    return {p.relative_to(data).as_posix(): p.read_bytes() for folder in ("chains", "ticks")
            for p in sorted((data / "sino" / folder).glob("*"))}


def import_options(paths, data, *extra):
    return run_cli(["import-taifex-options", *map(str, paths), "--product", "TXO", "--data-dir", str(data), *extra])


@pytest.mark.parametrize("name, chosen, mode", [
    ("TXO202601W2", lambda code: code.startswith("TXO202601W2"), "direct"),
    ("TXO202601W2", lambda code: code.startswith("TXO202601W2"), "paced"),
    ("TXO202602C23000-23200", lambda code: code.startswith("TXO202602C") and 23000 <= float(code[10:]) <= 23200,
     "direct"),
    ("TXO202601P22650", lambda code: code == "TXO202601P22650", "direct"),
    ("TXO", lambda code: True, "direct"),
])
def test_a_run_on_imported_files_replays_exactly_the_chosen_series(tmp_path, capsys, name, chosen, mode):
    paths, by_code = write_files(tmp_path)
    data = tmp_path / "data"
    assert import_options(reversed(paths), data) == 0
    first = stored(data)
    assert import_options(paths, data) == 0 and stored(data) == first  # importing again changes nothing
    out = capsys.readouterr().out
    assert "警告" not in out and "匯入完成: 2 天" in out
    chain = pl.read_parquet(data / "sino" / "chains" / "TXO 2026-01-14 - chain.parquet")
    assert len(chain) == sum(map(len, trades("2026-01-14")[1].values()))  # TEO left out
    assert chain.filter(pl.col("code") == "TXO202601C23550.5")["strike"].unique().to_list() == [23550.5]
    strategy = Recorder()
    run_backtest(strategy, [f"{name}:Option"], "2026-01-12", "2026-01-14", data_dir=str(data),
                 source=CacheOnlyMarket(), reports=False, mode=mode)
    expected = sorted(((code, ns / 10**9, price, contracts) for code, rows in by_code.items() if chosen(code)
                       for ns, price, contracts in rows), key=lambda row: (row[1], row[0]))
    assert expected and strategy.seen == expected


def test_filters_keep_only_the_chosen_series(tmp_path, capsys):
    paths, _ = write_files(tmp_path, zipped=())
    data = tmp_path / "data"
    assert import_options(paths, data, "--expiries", "202601W2,202602", "--strikes", "22600-22700") == 0
    codes = set(pl.read_parquet(data / "sino" / "chains" / "TXO 2026-01-13 - chain.parquet")["code"])
    assert codes == {f"TXO{e}{r}{k}" for e in ("202601W2", "202602") for r in "CP" for k in (22600, 22650, 22700)}
    cached = {p.name.split(" ")[0] for p in (data / "sino" / "ticks").iterdir()}
    assert cached == codes
    for bad, message in [(("--expiries", "202613"), "202613"), (("--strikes", "24000-22000"), "24000-22000"),
                         (("--strikes", "22900-"), "22900-"),
                         (("--product", "TEO"), "TEO")]:
        capsys.readouterr()
        assert import_options(paths, tmp_path / "other", *bad) == 1
        (err,) = capsys.readouterr().err.strip().splitlines()
        assert message in err


def first_row(lines):
    return next(i for i, line in enumerate(lines, 1) if line.startswith("2026") and ",TXO " in line)


EDITS = {"no price": (6, "-"), "no contracts": (7, "0"), "bad right": (4, "X"), "bad strike": (2, "abc"),
         "bad expiry": (3, "2026"), "no such month": (3, "202613"), "no fifth Wednesday": (3, "202601W5"),
         "short time": (5, "8450"), "absurd strike": (2, "1e300"),
         "expired series": (3, "202512"), "quoted product": (1, '"TXO"')}


@pytest.mark.parametrize("kind, message", [
    ("not a trade file", "不是期交所逐筆成交檔"), ("missing column", "缺少欄位: 買賣權別"),
    ("ragged row", "第 {line} 行的欄位數"), ("no price", "第 {line} 行無法匯入: 成交價格 '-'"),
    ("no contracts", "第 {line} 行無法匯入: 成交數量(B or S) '0'"), ("bad right", "第 {line} 行的買賣權別無法解讀"),
    ("bad strike", "第 {line} 行的履約價格無法解讀"), ("absurd strike", "第 {line} 行的履約價格無法解讀: '1e300'"),
    ("expired series", "第 {line} 行的到期月份(週別) 202512 已於 2025-12-17 到期"), ("bad expiry", "第 {line} 行的到期月份(週別)無法解讀"),
    ("no such month", "第 {line} 行的到期月份(週別)無法解讀"),
    ("no fifth Wednesday", "第 {line} 行的到期月份(週別)無法解讀: 2026 年 1 月沒有第 5 個星期三"),
    ("short time", "第 {line} 行無法匯入: 成交日期"), ("quoted product", "第 {line} 行的商品代號有引號"),
    ("zip cut short", "檔案不完整"),
])
def test_bad_files_are_one_line_and_leave_the_cache_as_it_was(tmp_path, capsys, kind, message):
    paths, _ = write_files(tmp_path)
    data = tmp_path / "data"
    assert import_options(paths[1:], data) == 0
    before = stored(data)
    lines = list(trades("2026-01-13")[0])
    n = first_row(lines)
    if kind == "missing column":
        lines = [",".join(f for i, f in enumerate(line.split(",")) if i != 4) for line in lines]
    elif kind == "ragged row":
        lines[n - 1] += ",extra"
    elif kind in EDITS:
        fields = lines[n - 1].split(",")
        fields[EDITS[kind][0]] = EDITS[kind][1]
        lines[n - 1] = ",".join(fields)
    bad = tmp_path / "bad.zip"
    with zipfile.ZipFile(bad, "w") as archive:
        archive.writestr("OptionsDaily.csv", b"\x89PNG\r\n\x1a\n" if kind == "not a trade file"
                         else "\r\n".join(lines).encode("cp950"))
    if kind == "zip cut short":
        bad.write_bytes(bad.read_bytes()[:bad.stat().st_size // 2])
    capsys.readouterr()
    assert import_options([paths[1], bad], data) == 1  # the good file first: nothing of it is lost
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and str(bad) in err[0] and message.format(line=n) in err[0]
    assert stored(data) == before
    assert not [p for p in data.rglob("*.tmp-*")]


@pytest.mark.parametrize("code, expiry, expiry_date, strike, right", [
    ("TXO202601C23000", "202601", "2026-01-21", 23000.0, "C"),  # the third Wednesday
    ("TXO202601W2P22800", "202601W2", "2026-01-14", 22800.0, "P"),  # the second Wednesday
    ("TXO202211W5C14000", "202211W5", "2022-11-30", 14000.0, "C"),  # the fifth Wednesday
    ("TXO202202W1P17500.5", "202202W1", "2022-02-07", 17500.5, "P"),  # the 2nd: Lunar New Year, moved on
    ("TXO202507F1C22000", "202507F1", "2025-07-04", 22000.0, "C"),  # a Friday weekly
])
def test_contract_facts_of_a_series_code(code, expiry, expiry_date, strike, right):
    assert contract_facts(code) == {"product": "TXO", "underlying": "TXF", "expiry": expiry, "multiplier": 50,
                                    "expiry_date": expiry_date, "strike": strike, "right": right}


@pytest.mark.parametrize("code", ["TXO202601C23000.0", "TXO202613C23000", "TXO202601W5C23000", "TXO202601W3C23000",
                                  "TEO202601C900",
                                  "TXO202601C0", "TXO000001C23000"])
def test_a_code_that_names_no_series_is_refused(code):
    with pytest.raises(ValueError, match=code.replace(".", r"\.")):
        contract_facts(code)


def test_chain_names_are_checked_and_an_empty_chain_is_named(tmp_path):
    for name in ("ABC:Option", "TXO2026:Option", "txo:Option"):
        with pytest.raises(ValueError, match="不是選擇權序列或選擇權鏈"):
            parse_instruments([name])
    with pytest.raises(ValueError, match="TXO202601P23000-22000: 履約價區間需由低到高, 例如 TXO202601P22000-23000"):
        parse_instruments(["TXO202601P23000-22000:Option"])
    for name in ("TXO202601W2C23000:Future", "TXO202601W2C23000"):  # booked as a future or a stock
        with pytest.raises(ValueError, match="TXO202601W2C23000 是選擇權序列, .*請寫 TXO202601W2C23000:Option"):
            parse_instruments([name])
    paths, _ = write_files(tmp_path)
    assert import_options(paths, tmp_path / "data") == 0
    data = tmp_path / "data"
    with pytest.raises(ValueError, match="選擇權鏈 TXO202603 在 2026-01-12 至 2026-01-14 沒有任何序列"):
        run_backtest(Recorder(), ["TXO202603:Option"], "2026-01-12", "2026-01-14", data_dir=str(data),
                     source=CacheOnlyMarket(), reports=False)
    damaged = data / "sino" / "chains" / "TXO 2026-01-13 - chain.parquet"
    damaged.write_bytes(b"PAR1 cut short")
    with pytest.raises(ValueError, match=f"選擇權鏈檔 {damaged} 無法讀取"):
        run_backtest(Recorder(), ["TXO202601W2:Option"], "2026-01-12", "2026-01-14", data_dir=str(data),
                     source=CacheOnlyMarket(), reports=False)
    assert import_options(paths[:1], data) == 0 and len(pl.read_parquet(damaged)) > 0  # its file mends it


def test_a_write_that_fails_leaves_no_series_of_the_day_behind(tmp_path, capsys, monkeypatch):
    paths, _ = write_files(tmp_path)
    data = tmp_path / "data"

    def full_disk(frame, path, **options):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(pl.DataFrame, "write_parquet", full_disk)
    assert import_options(paths[:1], data) == 1
    assert "No space left on device" in capsys.readouterr().err
    assert not [p for p in data.rglob("*") if p.is_file() and "sino" in p.parts]


def test_a_day_imported_piece_by_piece_keeps_every_piece_in_its_chain(tmp_path):
    paths, _ = write_files(tmp_path)
    data = tmp_path / "data"
    pieces = {"22600-22700": (22600, 22700), "23000-23100": (23000, 23100)}
    for strikes in [*pieces, "22600-22700"]:  # the first piece again replaces itself, not doubled
        assert import_options(paths[:1], data, "--strikes", strikes) == 0
    chain = pl.read_parquet(data / "sino" / "chains" / "TXO 2026-01-13 - chain.parquet")
    wanted = {code: len(rows) for code, rows in trades("2026-01-13")[1].items()
              if any(low <= contract_facts(code)["strike"] <= high for low, high in pieces.values())}
    assert dict(chain.group_by("code").len().iter_rows()) == wanted
    assert chain["ts"].is_sorted()


def test_ctrl_c_while_a_day_is_renamed_into_place_waits_for_the_whole_day(tmp_path, monkeypatch):
    paths, _ = write_files(tmp_path)
    assert import_options(paths[:1], tmp_path / "whole") == 0
    renames = []

    def replace(source, target, replace=os.replace):
        if not renames:
            signal.raise_signal(signal.SIGINT)  # Ctrl-C as the first file goes into place
        renames.append(target)
        replace(source, target)

    monkeypatch.setattr(os, "replace", replace)
    with pytest.raises(KeyboardInterrupt):
        import_taifex_option_files(paths[:1], "TXO", data_dir=str(tmp_path / "cut"))
    assert len(renames) > 1
    assert stored(tmp_path / "cut") == stored(tmp_path / "whole")
