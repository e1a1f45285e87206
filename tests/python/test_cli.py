import json
import re
import sys
import textwrap
from pathlib import Path

import pytest

from orva_backtest.cli import run_cli

from process_helpers import run_python

STRATEGY = '''
from orva_backtest import Strategy

class Flip(Strategy):
    def __init__(self, every=300):
        self.every, self.count = every, 0

    def on_tick(self, ctx, tick):
        self.count += 1
        if self.count % self.every == 0:
            (ctx.sell if ctx.position(tick["code"]) > 0 else ctx.buy)(tick["code"])
'''


@pytest.fixture
def strategy_file(tmp_path):
    path = tmp_path / "flip.py"
    path.write_text(STRATEGY, encoding="utf-8")
    return str(path)


def test_demo_through_the_console_script(tmp_path):
    script = Path(sys.executable).parent / "orva-backtest"
    done = run_python(None, "-c", f"import subprocess, sys; sys.exit(subprocess.call([{str(script)!r}, 'demo', "
                      f"'--data-dir', {str(tmp_path / 'data')!r}]))", timeout=300, COLUMNS="120")
    assert done.returncode == 0, done.stderr
    for label in ("各商品結果", "帳戶餘額", "ticks/s"):
        assert label in done.stdout
    assert "準備資料: 1/" in done.stdout and " ticks, 準備資料" not in done.stdout  # days are not ticks
    (run,) = (tmp_path / "data" / "runs").iterdir()  # the run's own folder, printed
    assert f"輸出資料夾: {run}" in done.stdout and "MovingAverageCrossover" in run.name
    assert list((run / "trade_records").glob("*_trade_records.csv"))
    assert (run / "report" / "2330-report.html").exists()
    assert (run / "profit_report" / "2330-profit_report.html").exists()
    assert "HTML report saved" not in done.stdout and "Warning" not in done.stderr  # QuantStats kept quiet
    # Flat at the end: the balance is the capital plus the realised profit.
    balance, profit = (float(re.search(label + r" ([-\d,.]+)", done.stdout).group(1).replace(",", ""))
                       for label in ("帳戶餘額", "已實現損益"))
    assert balance == pytest.approx(10_000_000 + profit, abs=0.005)


def test_run_writes_its_json_summary(tmp_path, strategy_file, capsys):
    summary = tmp_path / "out.json"
    code = run_cli(["run", strategy_file, "--codes", "2330:Stock", "--start", "2024-03-04",
                    "--end", "2024-03-04", "--data-dir", str(tmp_path / "data"), "--param", "every=200",
                    "--no-reports", "--json", str(summary), "--slippage-ticks", "0", "--fee", "stock=0.001"])
    assert code == 0, capsys.readouterr().err
    figures = json.loads(summary.read_text(encoding="utf-8"))
    assert figures["ticks"] > 0 and figures["instruments"]["2330"]["round_trips"] > 0
    assert figures["files"] == [] and not (tmp_path / "data" / "report").exists()


@pytest.mark.parametrize("args, message", [
    (["--start", "2024-13-01"], "YYYY-MM-DD"),
    (["--start", "1900-01-01", "--end", "1900-01-01"], "1990 至 2099"),
    (["--start", "2024-03-08", "--end", "2024-03-04"], "早於"),
    (["--start", "2024-03-09", "--end", "2024-03-10"], "沒有任何 Tick"),
    (["--codes", "ZZZ:Stock"], "未知的商品代碼"),
    (["--codes", "2330:Bond"], "Bond"),
    (["--param", "every"], "key=value"),
    (["--param", "wrong=1"], "無法建立策略"),
    (["--backfill-start", "2024-03-01"], "回補"),
    (["--capital", "0"], "capital"),
    (["--mode", "fast"], "mode"),
    (["--latency-ms", "nan"], "latency-ms"),
    (["--json", "missing/out.json"], "missing"),
])
def test_bad_arguments_get_one_line_and_a_failing_status(tmp_path, strategy_file, capsys, args, message):
    base = {"--codes": "2330:Stock", "--start": "2024-03-04", "--end": "2024-03-04"}
    pairs = dict(zip(args[::2], args[1::2]))
    argv = ["run", strategy_file, "--data-dir", str(tmp_path / "data"), "--no-reports"]
    for key, value in {**base, **pairs}.items():
        argv += [key, str(tmp_path / value) if key == "--json" else value]
    assert run_cli(argv) != 0
    captured = capsys.readouterr()
    lines = captured.err.strip().splitlines()
    assert len(lines) == 1 and message in lines[0] and "Traceback" not in captured.err
    assert "各商品結果" not in captured.out  # refused before a run, not after one
    assert not list((tmp_path / "data").glob("report*"))


@pytest.mark.parametrize("content, message", [
    ("raise RuntimeError('boom')", "RuntimeError: boom"),
    (STRATEGY + "\n    def on_finish(self, ctx):\n        1 / 0\n", "策略的 on_finish 發生錯誤: ZeroDivisionError"),
    ("x = 1", "Strategy 子類別"),
    (STRATEGY + "\n    def __init__(self):\n        raise SystemExit(3)\n", "無法建立策略 Flip(): SystemExit: 3"),
    (STRATEGY + "\nclass Other(Flip):\n    pass\n", "--strategy-class"),
])
def test_failing_strategy_files_get_one_line(tmp_path, capsys, content, message):
    path = tmp_path / "bad.py"
    path.write_text(content, encoding="utf-8")
    assert run_cli(["run", str(path), "--codes", "2330:Stock", "--start", "2024-03-04",
                    "--end", "2024-03-04", "--data-dir", str(tmp_path / "data")]) == 1
    err = capsys.readouterr().err
    assert message in err and len(err.strip().splitlines()) == 1


def test_debug_shows_the_traceback(tmp_path, capsys):
    path = tmp_path / "bad.py"
    path.write_text("raise RuntimeError('boom')", encoding="utf-8")
    run_cli(["--debug", "run", str(path), "--codes", "2330:Stock", "--start", "2024-03-04",
             "--end", "2024-03-04"])
    assert "Traceback" in capsys.readouterr().err


def test_an_unwritable_data_dir_is_named(tmp_path, strategy_file, capsys):
    blocked = tmp_path / "file"
    blocked.write_text("not a folder")
    assert run_cli(["run", strategy_file, "--codes", "2330:Stock", "--start", "2024-03-04",
                    "--end", "2024-03-04", "--data-dir", str(blocked / "data")]) == 1
    assert str(blocked / "data") in capsys.readouterr().err


def test_import_ticks_fills_the_cache_and_names_bad_rows(tmp_path, strategy_file, capsys):
    header = "ts,close,volume,bid_price,bid_volume,ask_price,ask_volume,tick_type\n"
    day1, day2 = 1709514000_000000000, 1709600400_000000000  # 2024-03-04 and 03-05, 09:00 Taipei
    good = tmp_path / "ticks.csv"
    good.write_text(header + f"{day1},600.0,2,599.0,1,601.0,1,1\n{day2},601.0,3,600.0,1,602.0,1,2\n")
    data = tmp_path / "data"
    assert run_cli(["import-ticks", str(good), "--code", " 2330 ", "--market", "Stock",  # cached as 2330
                    "--data-dir", str(data)]) == 0
    cached = sorted(p.name for p in (data / "sino" / "ticks").iterdir())
    assert cached == ["2330 2024-03-04 - ticks.csv", "2330 2024-03-05 - ticks.csv"]
    assert (data / "sino" / "ticks" / cached[0]).read_text().splitlines()[0] == header.strip()
    summary = tmp_path / "run.json"
    assert run_cli(["run", strategy_file, "--codes", "2330:Stock", "--start", "2024-03-04", "--end",
                    "2024-03-06", "--data-dir", str(data), "--source", "cache", "--no-reports",
                    "--json", str(summary)]) == 0
    assert json.loads(summary.read_text())["ticks"] == 2  # the imported ones, nothing made up
    bad = tmp_path / "bad.csv"
    bad.write_text(header + f"{day1},600.0,2,599.0,1,601.0,1,1\n{day2},-1,3,600.0,1,602.0,1,2\n")
    assert run_cli(["import-ticks", str(bad), "--code", "2317", "--market", "Stock",
                    "--data-dir", str(data)]) == 1
    assert "第 3 行" in capsys.readouterr().err
    assert not list((data / "sino" / "ticks").glob("2317*"))


@pytest.mark.parametrize("rows, message", [
    ("1709514000000000000,600.0,2,599.0,1,601.0,1,1,9\n", "more fields"),  # a ragged line
    ("1709514000,600.0,2,599.0,1,601.0,1,1\n", "第 2 行"),  # ts in seconds
])
def test_import_ticks_refuses_damaged_files_in_one_line(tmp_path, capsys, rows, message):
    path = tmp_path / "ticks.csv"
    path.write_text("ts,close,volume,bid_price,bid_volume,ask_price,ask_volume,tick_type\n" + rows)
    assert run_cli(["import-ticks", str(path), "--code", "2330", "--market", "Stock",
                    "--data-dir", str(tmp_path / "data")]) == 1
    lines = capsys.readouterr().err.strip().splitlines()
    assert len(lines) == 1 and message in lines[0]
    assert not list((tmp_path / "data" / "sino" / "ticks").glob("*"))


def test_the_command_sets_its_imports_aside_in_its_own_process(tmp_path):
    # The libraries' objects leave the collector's passes; the collector runs for the strategy.
    strategy = tmp_path / "notes.py"
    strategy.write_text(textwrap.dedent("""
        import gc
        from orva_backtest import Strategy
        class Notes(Strategy):
            def on_start(self, ctx):
                print("collector", gc.isenabled(), gc.get_freeze_count() > 10_000)
    """))
    done = run_python(None, "-m", "orva_backtest", "run", str(strategy), "--codes", "2330:Stock",
                      "--start", "2024-03-04", "--end", "2024-03-04", "--data-dir",
                      str(tmp_path / "data"), "--no-reports", timeout=300)
    assert "collector True True" in done.stdout, done.stderr


def test_a_host_that_calls_the_entry_point_gets_its_collector_back():
    done = run_python("""
        import gc, sys
        from orva_backtest.cli import entry_point, run_cli
        for argv in (["--help"], ["nosuch"], ["run", "--help"]):
            sys.argv = ["orva-backtest", *argv]
            try:
                entry_point()
            except SystemExit:
                print("gc", gc.isenabled())
        frozen = gc.get_freeze_count()
        gc.disable()
        run_cli(["run", "--help"])  # a library call after it: left alone
        print("gc", gc.isenabled(), gc.get_freeze_count() == frozen)
    """)
    assert [line for line in done.stdout.splitlines() if line.startswith("gc ")] == [
        "gc True", "gc True", "gc True", "gc False True"], done.stderr
