"""The ticker's replays: paced by permits, backfill first, and one run feeding at a time."""
import queue
import random
import threading
import time

import pytest

from orva_backtest import utils
from orva_backtest.modules.ticker.ticker import Ticker
from ticker_helpers import at, DAY, drain_replay, EXIT, FINISH, pop, row, ScriptedMarket, taipei, three_ticks  # noqa: F401 (taipei: autouse)


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
