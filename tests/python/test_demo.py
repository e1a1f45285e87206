import subprocess
import sys


def test_demo_backtest_runs_and_reports(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "orva_backtest", "--start", "2024-03-04", "--end", "2024-03-04",
         "--window", "200"],
        capture_output=True, text=True, timeout=300, cwd=str(tmp_path),
        env={"ORVA_DATA_DIR": str(tmp_path / "data"), "PATH": "/usr/bin:/bin", "COLUMNS": "120"})
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    for label in ("回測結果", "Tick 數", "成交筆數", "帳戶餘額", "各商品"):
        assert label in done.stdout
    assert list((tmp_path / "data" / "sino" / "ticks").glob("2330 2024-03-04 - ticks.csv"))
