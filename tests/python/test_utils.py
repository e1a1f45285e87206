import json
from datetime import datetime, timedelta

import pytest

from orva_backtest import utils
from orva_backtest.constant import BASIC_INFO

from process_helpers import run_python


@pytest.mark.parametrize("text, expected", [
    ("2024-01-02", datetime(2024, 1, 2)),
    ("2024-01-02 09:05", datetime(2024, 1, 2, 9, 5)),
    ("2024-01-02 09:05:07", datetime(2024, 1, 2, 9, 5, 7)),
    ("2024-01-02T09:05:07", datetime(2024, 1, 2, 9, 5, 7)),
])
def test_format_to_dt_accepts_dates_and_times(text, expected):
    dt = utils.format_to_dt(text)
    assert dt == expected
    assert (dt + timedelta(days=1)).strftime("%Y-%m-%d") == (expected + timedelta(days=1)).strftime("%Y-%m-%d")
    assert dt.date() == expected.date() and dt.timestamp() == expected.timestamp()


@pytest.mark.parametrize("bad", ["2024/01/02", "yesterday", "2024-13-01", ""])
def test_format_to_dt_names_the_bad_text(bad):
    with pytest.raises(ValueError) as err:
        utils.format_to_dt(bad)
    assert repr(bad) in str(err.value)


def test_format_to_dt_refuses_non_text():
    with pytest.raises(TypeError):
        utils.format_to_dt(20240102)


@pytest.mark.parametrize("ns, expected", [
    (1_704_157_200_123_456_789, 1704157200.12345679),
    (0, 0.0),
    (1_500_000_000, 1.5),
])
def test_nano_ts_to_seconds(ns, expected):
    assert utils.format_nano_ts_to_second_ts(ns, 8) == expected
    datetime.fromtimestamp(utils.format_nano_ts_to_second_ts(ns, 8))


def test_nano_ts_refuses_non_integers():
    with pytest.raises(TypeError):
        utils.format_nano_ts_to_second_ts(1.5e9, 8)


def test_make_dir_creates_parents_and_tolerates_existing(tmp_path):
    target = tmp_path / "a" / "b" / "c"
    utils.make_dir(str(target))
    utils.make_dir(str(target))
    assert target.is_dir()


def test_logger_writes_one_json_entry_per_call_under_current_data_dir(monkeypatch, tmp_path):
    monkeypatch.setattr(BASIC_INFO, "data_dir", str(tmp_path))
    entry = json.dumps({"error": "boom", "traceback": "", "data": {"x": 1}})
    utils.logger.error(entry)
    lines = (tmp_path / "logs" / "orva_backtest.log").read_text(encoding="utf-8").splitlines()
    assert len(lines) == 1 and lines[0].endswith(entry)


# Silent unless asked for, as the command line is without --verbose (it used to print by default).
@pytest.mark.parametrize("setting, silent", [("off", True), ("OFF", True), ("", True), ("on", False)])
def test_console_can_be_switched_off(setting, silent):
    code = "from orva_backtest import utils; utils.console.print('[green]hello[/green]')"
    done = run_python(code, cwd="/", ORVA_CONSOLE=setting, TERM="dumb")
    assert (done.returncode, done.stdout) == (0, "" if silent else "hello\n")
