import glob
import os
import queue
import random
import threading
import time
from datetime import date, timedelta

import polars as pl
import pytest

from orva_backtest import utils
from orva_backtest.constant import BASIC_INFO, FLAG
from orva_backtest.market import SyntheticMarket
from orva_backtest.modules.ticker.ticker import Ticker

EXIT = {"orva_status": FLAG.exit_send_tick.value}
FINISH = {"orva_status": FLAG.finish_backfilling.value}
COLUMNS = ["ts", "close", "volume", "bid_price", "bid_volume", "ask_price", "ask_volume", "tick_type"]
SCHEMA = [pl.Int64, pl.Float64, pl.Int64, pl.Float64, pl.Int64, pl.Float64, pl.Int64, pl.Int64]


class ScriptedMarket:
    """Fixed ticks per (code, day); counts the SDK calls."""

    def __init__(self, days=None, fail=()):
        self.days = days or {}
        self.fail = set(fail)
        self.calls = []
        self.Contracts = type("Contracts", (), {})()
        self.Contracts.Stocks = {"2330": "STK:2330", "2317": "STK:2317", "../x": "STK:bad"}
        self.Contracts.Futures = {"TXFR1": "FUT:TXFR1"}

    def ticks(self, contract, date):
        self.calls.append((contract, date))
        if (contract, date) in self.fail:
            raise RuntimeError(f"boom {date}")
        rows = self.days.get((contract, date), [])
        return {name: [row[i] for row in rows] for i, name in enumerate(COLUMNS)}


T0 = 1_709_514_000_000_000_000  # 2024-03-04 09:00 Taipei


def at(n):
    """A tick time n nanoseconds after T0."""
    return T0 + n


def row(ts, close=600.0, volume=1, tick_type=1):
    return (ts, close, volume, close - 1, 5, close, 5, tick_type)


@pytest.fixture(autouse=True)
def taipei(monkeypatch, tmp_path, console, logger):
    monkeypatch.setenv("TZ", "Asia/Taipei")
    time.tzset()
    monkeypatch.setattr(BASIC_INFO, "data_dir", str(tmp_path / "data"))
    yield
    monkeypatch.undo()
    time.tzset()


def cache_dir():
    return os.path.join(BASIC_INFO.data_dir, "sino", "ticks")


def pop(ticker, timeout=10):
    return ticker.tick_queue.get(timeout=timeout)


def drain_replay(ticker, limit=100000):
    """Pops until the exit marker, granting a permit after each record."""
    out = []
    for _ in range(limit):
        record = pop(ticker)
        out.append(record)
        if record == EXIT:
            return out
        ticker.allow_next_tick()
    raise AssertionError("no exit marker")


DAY = "2024-03-04"  # a Monday, long past


def test_attributes_in_order(tmp_path):
    market = ScriptedMarket()
    ticker = Ticker(market)
    assert list(vars(ticker)) == [
        "api", "allow_next_tick_flag_queue", "backfilling_notify_finish_queue",
        "backfilling_finish_flag", "exit_send_thread_flag", "tick_file_save_path", "tick_queue",
        "code_market_map", "tick_df_schema", "current_send_ticks_params"]
    assert ticker.api is market
    assert list(ticker.allow_next_tick_flag_queue.queue) == [True]
    assert ticker.backfilling_finish_flag is False and ticker.exit_send_thread_flag is False
    assert ticker.tick_file_save_path == os.path.join(BASIC_INFO.data_dir, "ticks")
    assert os.path.isdir(ticker.tick_file_save_path)
    assert list(ticker.tick_df_schema) == COLUMNS and list(ticker.tick_df_schema.values()) == SCHEMA
    assert ticker.code_market_map == {} and ticker.current_send_ticks_params == {}


def test_past_days_are_cached_once(console):
    market = ScriptedMarket({("STK:2330", DAY): [row(at(1)), row(at(2))]})
    ticker = Ticker(market)
    first = ticker.get_ticks_df("2330", "Stock", "2024-03-02", DAY)
    assert first.shape == (2, 9) and first["code"].to_list() == ["2330", "2330"]
    assert len(market.calls) == 3
    weekend = os.path.join(cache_dir(), "2330 2024-03-02 - ticks.csv")
    assert open(weekend).read() == ",".join(COLUMNS) + "\n"
    again = ticker.get_ticks_df("2330", "Stock", "2024-03-02", DAY)
    assert len(market.calls) == 3 and again.equals(first)
    assert any("已存在" in line for line in console.lines)
    assert glob.glob(os.path.join(cache_dir(), "*.tmp*")) == []


def test_today_is_never_cached():
    today = date.today().isoformat()
    yesterday = (date.today() - timedelta(days=1)).isoformat()
    market = ScriptedMarket({("STK:2330", today): [row(at(1))]})
    ticker = Ticker(market)
    ticker.get_ticks_df("2330", "Stock", yesterday, today)
    ticker.get_ticks_df("2330", "Stock", yesterday, today)
    assert [c[1] for c in market.calls] == [yesterday, today, today]
    assert os.listdir(cache_dir()) == [f"2330 {yesterday} - ticks.csv"]


def test_fetch_history_downloads_again_and_reversed_range_asks_nothing():
    market = ScriptedMarket({("FUT:TXFR1", DAY): [row(at(5), 17000.0)]})
    ticker = Ticker(market)
    for _ in range(2):
        table = ticker.fetch_sino_history_ticks("TXFR1", "Future", DAY, f"{DAY} 13:45")
        assert table.columns == COLUMNS and table.dtypes == SCHEMA and len(table) == 1
    assert market.calls == [("FUT:TXFR1", DAY)] * 2
    empty = ticker.fetch_sino_history_ticks("TXFR1", "Future", "2024-03-05", DAY)
    assert empty.shape == (0, 8) and empty.dtypes == SCHEMA and len(market.calls) == 2


def test_merged_table_order_ties_and_empty_schema():
    market = ScriptedMarket({("STK:2330", DAY): [row(at(7)), row(at(9))],
                             ("STK:2317", DAY): [row(at(7), 100.0), row(at(8), 100.0)]})
    ticker = Ticker(market)
    codes = [{"code": "2330", "market": "Stock"}, {"code": "2317", "market": "Stock"}]
    table = ticker._Ticker__process_and_combine_ticks(codes, DAY, DAY)
    assert table.columns == COLUMNS + ["code"] and table.dtypes == SCHEMA + [pl.String]
    assert list(zip(table["ts"], table["code"])) == [(at(7), "2317"), (at(7), "2330"), (at(8), "2317"),
                                                     (at(9), "2330")]
    empty = ticker._Ticker__process_and_combine_ticks(codes, "2024-03-09", "2024-03-10")
    assert empty.shape == (0, 9) and empty.dtypes == SCHEMA + [pl.String]


def test_first_market_of_a_code_wins():
    ticker = Ticker(ScriptedMarket())
    ticker.get_ticks_df("2330", "Stock", DAY, DAY)
    ticker._Ticker__process_and_combine_ticks([{"code": "2330", "market": "Future"}], DAY, DAY)
    assert ticker.code_market_map == {"2330": "Stock"}


def test_a_failing_day_is_retried_three_times_then_skipped(console, logger):
    market = ScriptedMarket({("STK:2330", "2024-03-05"): [row(at(1))]}, fail={("STK:2330", DAY)})
    ticker = Ticker(market)
    table = ticker.get_ticks_df("2330", "Stock", DAY, "2024-03-05")
    assert len(table) == 1
    assert market.calls.count(("STK:2330", DAY)) == 3
    failures = [line for line in console.lines if "的 Tick 資料失敗" in line]
    assert failures == [f"[red]下載 2330 {DAY} 的 Tick 資料失敗, 錯誤訊息: boom {DAY}[/red]"] * 3
    assert any(line.startswith("[red]略過 2330 2024-03-04") for line in console.lines)
    assert len(logger.entries) == 3 and logger.entries[0]["data"]["code"] == "2330"


def test_unknown_contract_is_a_failing_day(console):
    ticker = Ticker(ScriptedMarket())
    assert len(ticker.get_ticks_df("9999", "Stock", DAY, DAY)) == 0
    assert sum("的 Tick 資料失敗" in line for line in console.lines) == 3


def bad_row(column, value):
    values = list(row(at(2)))
    values[COLUMNS.index(column)] = value
    return tuple(values)


@pytest.mark.parametrize("column, value", [
    ("ts", None), ("close", None), ("tick_type", None), ("close", float("nan")),
    ("ask_price", float("inf")), ("bid_price", -1.0), ("volume", -1), ("ask_volume", -3)])
def test_a_day_that_cannot_be_replayed_is_a_failed_load_never_cached(column, value, console):
    market = ScriptedMarket({("STK:2330", DAY): [row(at(1)), bad_row(column, value)],
                             ("STK:2330", "2024-03-05"): [row(at(3), 601.0)]})
    ticker = Ticker(market)
    ticker.send_ticks([{"code": "2330", "market": "Stock"}], DAY, "2024-03-05")
    assert [r.get("close") for r in drain_replay(ticker)] == [601.0, None]
    assert market.calls.count(("STK:2330", DAY)) == 3
    failures = [line for line in console.lines if "的 Tick 資料失敗" in line]
    assert len(failures) == 3 and f" {column} " in failures[0]
    assert os.listdir(cache_dir()) == ["2330 2024-03-05 - ticks.csv"]


HEADER = ",".join(COLUMNS) + "\n"


@pytest.mark.parametrize("content", [
    "", "ts,clo", HEADER + f"{at(1)},600.0,1,599.0,5,600.0,5,1\n{at(2)},601.0,1,6",
    f"a,b,c,d,e,f,g,h\n{at(1)},600.0,1,599.0,5,600.0,5,1\n", HEADER + "x,600.0,1,599.0,5,600.0,5,1\n",
    HEADER + f"{at(1)},NaN,1,599.0,5,600.0,5,1\n", HEADER + f"{at(1)},0.0,1,0.0,0,0.0,0,1\n",
    HEADER + "1709514000,600.0,1,599.0,5,600.0,5,1\n", HEADER + f"{at(1)},600.0,1.5,599.0,5,600.0,5,1\n",
], ids=["empty", "cut header", "cut last row", "other header", "text", "nan price", "zero close",
        "ts in seconds", "float volume"])
def test_a_cache_file_that_does_not_read_back_is_moved_aside_and_downloaded_again(content, console):
    market = ScriptedMarket({("STK:2330", DAY): [row(at(1)), row(at(2))]})
    ticker = Ticker(market)
    os.makedirs(cache_dir())
    path = os.path.join(cache_dir(), f"2330 {DAY} - ticks.csv")
    with open(path, "w") as f:
        f.write(content)
    assert len(ticker.get_ticks_df("2330", "Stock", DAY, DAY)) == 2
    (aside,) = glob.glob(glob.escape(path) + ".corrupt-*")
    assert open(aside).read() == content
    assert any(line.startswith("[yellow]") and path in line and aside in line for line in console.lines)
    assert len(ticker.get_ticks_df("2330", "Stock", DAY, DAY)) == 2 and len(market.calls) == 1


def test_cache_file_name():
    assert Ticker(ScriptedMarket())._Ticker__tick_filename_formatter("2330", "2024-01-02") == \
        "2330 2024-01-02 - ticks.csv"


@pytest.mark.parametrize("call", [
    lambda t: t.get_ticks_df("../x", "Stock", DAY, DAY),
    lambda t: t.fetch_sino_history_ticks("../x", "Stock", DAY, DAY),
    lambda t: t.send_ticks([{"code": "a/b", "market": "Stock"}], DAY, DAY),
    lambda t: t._Ticker__tick_filename_formatter("..", DAY),
])
def test_codes_that_would_leave_the_cache_are_refused(call):
    market = ScriptedMarket()
    ticker = Ticker(market)
    with pytest.raises(ValueError, match="不合法的商品代碼"):
        call(ticker)
    assert market.calls == [] and not os.path.exists(cache_dir())


@pytest.mark.parametrize("call, name", [
    (lambda t: t.send_ticks({"code": "2330"}, DAY, DAY), "codes"),
    (lambda t: t.send_ticks([], 20240304, DAY), "start_from"),
    (lambda t: t.get_ticks_df("2330", "Stock", DAY, None), "end_to"),
    (lambda t: t.send_ticks([], DAY, DAY, backfilling_start_from=1), "backfilling_start_from"),
    (lambda t: t.get_ticks_df("2330", 5, DAY, DAY), "market_type"),
])
def test_type_errors(call, name):
    with pytest.raises(TypeError, match=name):
        call(Ticker(ScriptedMarket()))


@pytest.mark.parametrize("args, error, match", [
    (([{"code": ["2330"], "market": "Stock"}], DAY, DAY), TypeError, "code"),
    ((["2330"], DAY, DAY), TypeError, r"codes\[0\]"),
    (([{"code": "2330", "market": 1}], DAY, DAY), TypeError, "market"),
    (([{"code": "2330"}], DAY, DAY), KeyError, "market"),
    (([{"code": "2330", "market": "Stock"}], "2024-13-45", DAY), ValueError, "2024-13-45"),
    (([{"code": "2330", "market": "Stock"}], DAY, DAY, "someday", DAY), ValueError, "someday"),
], ids=["unhashable code", "entry not a dict", "market not text", "no market", "bad date",
        "bad backfill date"])
def test_a_bad_replay_request_is_refused_before_any_change(args, error, match):
    market = three_ticks()
    ticker = Ticker(market)
    ticker.tick_queue.put("kept")
    with pytest.raises(error, match=match):
        ticker.send_ticks(*args)
    assert ticker.current_send_ticks_params == {} and list(ticker.tick_queue.queue) == ["kept"]
    assert ticker.code_market_map == {} and market.calls == []


def three_ticks():
    return ScriptedMarket({("STK:2330", DAY): [row(1_709_514_000_123_456_789, 600.0, 3, 1),
                                              row(1_709_514_001_000_000_000, 601.0, 1, 2),
                                              row(1_709_514_002_000_000_000, 602.0, 2, 1)]})


def test_replay_of_three_ticks():
    ticker = Ticker(three_ticks())
    ticker.send_ticks([{"code": "2330", "market": "Stock"}], DAY, DAY)
    records = drain_replay(ticker)
    assert records[-1] == EXIT and len(records) == 4
    first = records[0]
    assert list(first.items()) == [
        ("market_type", "Stock"), ("timestamp", utils.format_nano_ts_to_second_ts(1_709_514_000_123_456_789, 8)),
        ("code", "2330"), ("close", 600.0), ("qty", 3), ("tick_type", 1), ("is_simulate", False),
        ("is_backfilling", False)]
    assert [r["close"] for r in records[:3]] == [600.0, 601.0, 602.0]
    assert ticker.exit_send_thread_flag is True
    assert ticker.current_send_ticks_params == {"codes": [{"code": "2330", "market": "Stock"}],
                                                "start_from": DAY, "end_to": DAY}


def test_permits_pace_the_replay_and_carry_over():
    ticker = Ticker(three_ticks())
    ticker.allow_next_tick()  # two permits now: two ticks pass without waiting
    ticker.send_ticks([{"code": "2330", "market": "Stock"}], DAY, DAY)
    assert [pop(ticker)["close"] for _ in range(2)] == [600.0, 601.0]
    with pytest.raises(queue.Empty):
        ticker.tick_queue.get(timeout=0.2)
    for _ in range(4):
        ticker.allow_next_tick()
    assert pop(ticker)["close"] == 602.0 and pop(ticker) == EXIT
    time.sleep(0.1)
    assert ticker.allow_next_tick_flag_queue.qsize() == 2  # left for the next replay
    ticker.send_ticks([{"code": "2330", "market": "Stock"}], DAY, DAY)
    assert [pop(ticker)["close"] for _ in range(2)] == [600.0, 601.0]
    with pytest.raises(queue.Empty):
        ticker.tick_queue.get(timeout=0.2)


def test_empty_replay_sends_one_exit_marker(console):
    ticker = Ticker(ScriptedMarket())
    ticker.send_ticks([{"code": "2330", "market": "Stock"}], "2024-03-09", "2024-03-10")
    assert pop(ticker) == EXIT
    with pytest.raises(queue.Empty):
        ticker.tick_queue.get(timeout=0.2)
    deadline = time.time() + 5
    while "[red]傳送 Tick 資料結束, 資料共 0 筆, 耗時 0 秒[/red]" not in console.lines and time.time() < deadline:
        time.sleep(0.01)
    assert "[red]傳送 Tick 資料結束, 資料共 0 筆, 耗時 0 秒[/red]" in console.lines


def test_stop_while_waiting_lets_no_tick_follow_the_exit_marker():
    ticker = Ticker(three_ticks())
    ticker.send_ticks([{"code": "2330", "market": "Stock"}], DAY, DAY)
    assert pop(ticker)["close"] == 600.0
    time.sleep(0.1)  # the replay now waits for a permit
    ticker.stop_send_ticks()
    assert pop(ticker) == EXIT
    ticker.allow_next_tick()
    with pytest.raises(queue.Empty):
        ticker.tick_queue.get(timeout=0.3)
    assert ticker.allow_next_tick_flag_queue.qsize() == 1  # the unused permit is handed back


def replay_threads():
    return [t for t in threading.enumerate() if t.name == "orva-ticker-replay"]


def test_a_new_replay_retires_the_earlier_one():
    ticker = Ticker(three_ticks())
    codes = [{"code": "2330", "market": "Stock"}]
    before = set(replay_threads())
    ticker.send_ticks(codes, DAY, DAY)
    (earlier,) = set(replay_threads()) - before
    assert pop(ticker)["close"] == 600.0
    time.sleep(0.1)  # the first replay now waits for a permit
    ticker.send_ticks(codes, DAY, DAY)
    ticker.allow_next_tick()  # the host's permit for the tick it just took
    records = drain_replay(ticker)
    assert [r.get("close") for r in records] == [600.0, 601.0, 602.0, None]
    earlier.join(timeout=5)
    assert not earlier.is_alive()


def test_a_failed_send_ticks_leaves_nothing_to_wait_for():
    ticker = Ticker(three_ticks())
    with pytest.raises(KeyError):
        ticker.send_ticks([{"code": "2330"}], DAY, DAY)
    ticker.send_ticks([{"code": "2330", "market": "Stock"}], DAY, DAY)
    assert [r.get("close") for r in drain_replay(ticker)] == [600.0, 601.0, 602.0, None]


def test_a_new_replay_stops_the_earlier_runs_backfill():
    ticker = Ticker(ScriptedMarket({("STK:2330", DAY): [row(at(10), 600.0), row(at(11), 601.0)],
                                    ("STK:2330", "2024-03-01"): [row(at(i), 500.0) for i in range(1, 30)]}))
    codes = [{"code": "2330", "market": "Stock"}]
    ticker.send_ticks(codes, DAY, DAY, "2024-03-01", "2024-03-01")
    assert pop(ticker)["is_backfilling"] is True  # the backfill now waits for a permit
    ticker.send_ticks(codes, DAY, DAY)
    ticker.allow_next_tick()
    records = drain_replay(ticker)
    assert [(r.get("close"), r.get("is_backfilling")) for r in records] == [
        (600.0, False), (601.0, False), (None, None)]
    with pytest.raises(queue.Empty):
        ticker.tick_queue.get(timeout=0.3)


def test_concurrent_send_ticks_leave_one_run_feeding():
    market = ScriptedMarket({("STK:2330", DAY): [row(at(1), 600.0), row(at(2), 601.0)],
                             ("STK:2317", DAY): [row(at(1), 100.0), row(at(2), 101.0)]})
    for _ in range(5):
        ticker = Ticker(market)
        callers = [threading.Thread(target=ticker.send_ticks,
                                    args=([{"code": code, "market": "Stock"}], DAY, DAY))
                   for code in ("2330", "2317")]
        for caller in callers:
            caller.start()
        for caller in callers:
            caller.join(timeout=10)
        ticker.allow_next_tick()  # the earlier run may have spent the first on a record emptied away
        records = drain_replay(ticker)
        assert len(records) == 3 and len({r["code"] for r in records[:2]}) == 1
        with pytest.raises(queue.Empty):
            ticker.tick_queue.get(timeout=0.2)


class ForgetfulMap:
    """A code-market map that claims every code, then cannot give its market."""

    def __contains__(self, code):
        return True

    def __getitem__(self, code):
        raise LookupError(f"no market for {code}")


def test_a_failing_replay_thread_still_ends_the_stream(console, logger):
    ticker = Ticker(three_ticks())
    ticker.code_market_map = ForgetfulMap()
    ticker.send_ticks([{"code": "2330", "market": "Stock"}], DAY, DAY)
    assert pop(ticker) == EXIT
    assert any(line.startswith("[red]") and "no market for 2330" in line for line in console.lines)
    assert logger.entries[-1]["error"] == "no market for 2330" and logger.entries[-1]["data"]["codes"] == ["2330"]


def backfill_market():
    return ScriptedMarket({("STK:2330", DAY): [row(at(10), 600.0), row(at(11), 601.0)],
                           ("STK:2330", "2024-03-01"): [row(at(1), 500.0), row(at(2), 501.0)]})


def test_backfill_comes_first_with_one_finish_marker():
    ticker = Ticker(backfill_market())
    ticker.send_ticks([{"code": "2330", "market": "Stock"}], DAY, DAY, "2024-03-01", "2024-03-01")
    records = drain_replay(ticker)
    assert [(r.get("close"), r.get("is_backfilling")) for r in records if "close" in r] == [
        (500.0, True), (501.0, True), (600.0, False), (601.0, False)]
    assert records[2] == FINISH and records.count(FINISH) == 1 and records[-1] == EXIT
    assert ticker.current_send_ticks_params["backfilling_start_from"] == "2024-03-01"
    assert ticker.backfilling_finish_flag is True


@pytest.mark.parametrize("main_day, backfill_day", [(DAY, "2024-03-02"), ("2024-03-09", "2024-03-01")])
def test_finish_marker_arrives_even_when_the_backfill_ended_early(main_day, backfill_day):
    ticker = Ticker(backfill_market())
    ticker.send_ticks([{"code": "2330", "market": "Stock"}], main_day, main_day, backfill_day, backfill_day)
    records = drain_replay(ticker)
    assert records.count(FINISH) == 1 and records[-1] == EXIT
    index = records.index(FINISH)
    assert all(r.get("is_backfilling") for r in records[:index])
    assert not any(r.get("is_backfilling") for r in records[index + 1:])


def test_backfill_with_one_bound_fails_and_the_replay_runs(monkeypatch):
    errors = []
    monkeypatch.setattr(threading, "excepthook", lambda args: errors.append(args.exc_value))
    ticker = Ticker(backfill_market())
    ticker.send_ticks([{"code": "2330", "market": "Stock"}], DAY, DAY, "2024-03-01")
    records = drain_replay(ticker)
    assert [r.get("close") for r in records if "close" in r] == [600.0, 601.0]
    assert records.count(FINISH) == 1
    assert [str(e) for e in errors] == ["回補資料的開始時間與結束時間不能為空"]


def test_iterated_records_are_the_merged_tables_rows():
    """The direct replay reads each instrument's days apart and merges them itself: same order
    (time, ties by code, then recorded order, a day's rows out of order included), same values,
    times as the utility rounds them."""
    rng = random.Random(5)
    base = 1_709_514_000_000_000_000
    def rows(n):
        return [row(base + rng.randrange(0, 3) * 10**9 + rng.randrange(10**9), 600.0 + i, i % 7, i % 3)
                for i in range(n)]
    days = {("STK:2330", DAY): rows(40) + [row(base + 10**9, 1.0)], ("STK:2317", DAY): rows(30) + [row(base + 10**9)] * 3,
            ("STK:2330", "2024-03-05"): [row(base + 86400 * 10**9)], ("FUT:TXFR1", DAY): rows(20)}
    ticker = Ticker(ScriptedMarket(days))
    codes = [{"code": c, "market": m} for c, m in (("2330", "Stock"), ("TXFR1", "Future"), ("2317", "Stock"))]
    table = ticker._Ticker__process_and_combine_ticks(codes, DAY, "2024-03-05")
    expected = [{"market_type": "Future" if code == "TXFR1" else "Stock",
                 "timestamp": utils.format_nano_ts_to_second_ts(ts, 8), "code": code, "close": close,
                 "qty": qty, "tick_type": tick_type, "is_simulate": False, "is_backfilling": False}
                for ts, close, qty, tick_type, code in table.select("ts", "close", "volume", "tick_type", "code").rows()]
    replay = ticker.iter_ticks(codes, DAY, "2024-03-05")
    assert len(replay) == len(expected) == 95
    assert [list(r.items()) for r in replay] == [list(r.items()) for r in expected]
    assert len(replay) == 0


def test_direct_backfill_with_missing_bounds():
    ticker = Ticker(backfill_market())
    with pytest.raises(ValueError, match="^回補資料的開始時間與結束時間不能為空$"):
        ticker.backfilling([{"code": "2330", "market": "Stock"}], "2024-03-01", "")
    assert ticker.backfilling_finish_flag is True
    assert ticker.backfilling_notify_finish_queue.get(timeout=1) == FINISH


def test_direct_backfill_takes_one_permit_per_tick():
    ticker = Ticker(backfill_market())
    ticker.allow_next_tick()
    caller = threading.Thread(target=ticker.backfilling,
                              args=([{"code": "2330", "market": "Stock"}], "2024-03-01", "2024-03-01"))
    caller.start()
    caller.join(timeout=10)
    assert not caller.is_alive()
    assert [pop(ticker)["is_backfilling"] for _ in range(2)] == [True, True]
    assert ticker.allow_next_tick_flag_queue.empty()


def sino_is_a_file(monkeypatch):
    open(os.path.join(BASIC_INFO.data_dir, "sino"), "w").close()


def write_dies_half_way(monkeypatch):
    def dies_half_way(frame, path):
        with open(path, "w") as f:
            f.write("ts,close\n1,")
        raise OSError("disk full")

    monkeypatch.setattr(pl.DataFrame, "write_csv", dies_half_way)


@pytest.mark.parametrize("break_cache", [sino_is_a_file, write_dies_half_way])
def test_a_day_that_cannot_be_cached_is_served_uncached(break_cache, monkeypatch, console):
    market = ScriptedMarket({("STK:2330", DAY): [row(at(1)), row(at(2), 601.0)]})
    ticker = Ticker(market)
    break_cache(monkeypatch)
    ticker.send_ticks([{"code": "2330", "market": "Stock"}], DAY, DAY)
    assert [r.get("close") for r in drain_replay(ticker)] == [600.0, 601.0, None]
    assert any(line.startswith("[yellow]") and cache_dir() in line for line in console.lines)
    assert glob.glob(os.path.join(cache_dir(), "*")) == []
    assert len(ticker.get_ticks_df("2330", "Stock", DAY, DAY)) == 2  # downloaded again
    assert len(market.calls) == 2


def test_concurrent_loads_of_the_same_days_leave_whole_files():
    market = SyntheticMarket(mean_gap_seconds=30)
    tickers = [Ticker(market) for _ in range(3)]
    threads = [threading.Thread(target=t.get_ticks_df, args=("2330", "Stock", "2024-03-04", "2024-03-08"))
               for t in tickers]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    tables = [t.get_ticks_df("2330", "Stock", "2024-03-04", "2024-03-08") for t in tickers]
    assert all(t.equals(tables[0]) for t in tables) and len(tables[0]) > 1000
    assert glob.glob(os.path.join(cache_dir(), "*.tmp*")) == []

