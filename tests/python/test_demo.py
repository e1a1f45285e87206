from process_helpers import run_python


def test_demo_backtest_runs_and_reports(tmp_path):
    done = run_python(None, "-m", "orva_backtest", "--start", "2024-03-04", "--end", "2024-03-04",
                      "--window", "200", timeout=300, cwd=str(tmp_path),
                      ORVA_DATA_DIR=str(tmp_path / "data"), ORVA_CONSOLE="", COLUMNS="120")
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    for label in ("回測結果", "Tick 數", "成交筆數", "帳戶餘額", "各商品"):
        assert label in done.stdout
    assert list((tmp_path / "data" / "sino" / "ticks").glob("2330 2024-03-04 - ticks.csv"))
