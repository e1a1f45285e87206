import json
import signal
import time

import pytest

from orva_backtest import utils
from orva_backtest.constant import BASIC_INFO


class Recorder:
    """Stands in for utils.console or utils.logger and keeps what they were given."""

    def __init__(self):
        self.lines = []

    def print(self, text):
        self.lines.append(text)

    def error(self, text):
        self.lines.append(text)

    @property
    def entries(self):
        return [json.loads(line) for line in self.lines]


@pytest.fixture(autouse=True)
def python_ctrl_c():
    """Every test starts with Python's own Ctrl-C handler: one left ignored or replaced by an
    earlier test (a cluster's worker started in this process) would swallow the next test's."""
    before = signal.getsignal(signal.SIGINT)
    signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, before)


@pytest.fixture
def console(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(utils, "console", recorder)
    return recorder


@pytest.fixture
def logger(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(utils, "logger", recorder)
    return recorder


@pytest.fixture
def taipei_clock(monkeypatch):
    """Taiwan time for the test, the process's own zone again after it."""
    monkeypatch.setenv("TZ", "Asia/Taipei")
    time.tzset()
    yield
    monkeypatch.undo()
    time.tzset()


@pytest.fixture
def taipei_data_dir(taipei_clock, monkeypatch, tmp_path):
    """Taiwan time and a data directory of the test's own."""
    monkeypatch.setattr(BASIC_INFO, "data_dir", str(tmp_path))
    return tmp_path
