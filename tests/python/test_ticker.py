"""The ticker's day cache: downloads, retries, the files it keeps and refuses, and codes."""
import glob
import os
import threading
from datetime import date, timedelta

import polars as pl
import pytest

from orva_backtest.constant import BASIC_INFO
from orva_backtest.market import SyntheticMarket
from orva_backtest.modules.ticker.ticker import Ticker
from ticker_helpers import at, cache_dir, COLUMNS, DAY, drain_replay, row, SCHEMA, ScriptedMarket, taipei, three_ticks  # noqa: F401 (taipei: autouse)


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
