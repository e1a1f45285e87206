import random
import textwrap
import time
from datetime import datetime, timedelta

import pandas as pd
import polars as pl
import pytest

from orva_backtest.modules.positions.positions import QuoteManager, _bar_closes

from kbar_reference import ReferenceBars, aggregate, with_bar_columns
from process_helpers import run_python

TICK_SCHEMA = [pl.Datetime("us"), pl.String, pl.String, pl.Float64, pl.Int64, pl.Int64, pl.Boolean, pl.Boolean]
KBAR_COLUMNS = ["dt", "code", "Open", "High", "Low", "Close", "Volume"]


pytestmark = pytest.mark.usefixtures("taipei_clock")


@pytest.fixture
def qm():
    return QuoteManager()


def tick(when, close=100.0, qty=1, code="2330", market="Stock", simulate=False):
    return {"market_type": market, "timestamp": when.timestamp(), "code": code, "close": close,
            "qty": qty, "tick_type": 1, "is_simulate": simulate, "is_backfilling": False}


def at(h, m, s=0, us=0, day=4):
    return datetime(2024, 3, day, h, m, s, us)  # 2024-03-04 is a Monday


def test_construction_and_docstrings(qm):
    assert QuoteManager.__doc__ == "報價管理"
    assert "2024-02-28" in qm.holiday_search_set and "2024-03-09" in qm.holiday_search_set
    assert [[str(t) for t in w] for w in qm.not_trade_times["Future"]] == [
        ["13:45:00", "14:59:59"], ["05:00:00", "08:44:59"]]
    assert qm.ticks == {}
    assert qm.get_init_ticks_info() == {"ticks": [], "old_ticks": [], "last_tick": None, "cached_kbars": {}}
    empty = qm.get_empty_tick_df()
    assert empty.shape == (0, 8) and empty.dtypes == TICK_SCHEMA
    assert QuoteManager.get_kbar.__doc__.endswith("取得 K 線資料")


@pytest.mark.parametrize("first, second, virtual", [
    (at(9, 0, 10), at(9, 1, 50), []),
    (at(9, 0, 10), at(9, 2, 5), [at(9, 1), at(9, 2)]),
    (at(9, 0, 50), at(9, 3, 20), [at(9, 1), at(9, 2), at(9, 3)]),
    (at(9, 59, 50), at(10, 2, 10), [at(10, 0), at(10, 1)]),
    (at(9, 0, 10), at(9, 2, 40), [at(9, 1), at(9, 2), at(9, 3)]),
    (at(13, 20), at(9, 1, day=5), [at(13, m) for m in range(21, 30)] + [at(9, 0, day=5), at(9, 1, day=5)]),
])
def test_gap_filling(qm, first, second, virtual):
    qm.add_tick(tick(first))
    qm.add_tick(tick(second, close=101.0))
    entry = qm.ticks["2330"]
    filled = [t for t in entry["ticks"] if t["is_virtual"]]
    assert [t["dt"] for t in filled] == virtual
    assert all(t["close"] == 100.0 and t["qty"] == 0 and t["tick_type"] == 0 for t in filled)
    assert entry["last_tick"] == entry["ticks"][-1] and entry["last_tick"]["close"] == 101.0


@pytest.mark.parametrize("market, when, buffered", [
    ("Stock", at(13, 30, 0, 250000), at(13, 29, 59, 250000)),
    ("Future", at(13, 45), at(13, 44, 59)),
    ("Future", at(5, 0), at(4, 59, 59)),
    ("Future", at(14, 10), at(13, 44, 59)),
    ("Stock", at(8, 59, 30), datetime(2024, 3, 3, 23, 59, 59)),
    ("Future", at(13, 44, 59, 900000), at(13, 44, 59, 900000)),
    ("Option", at(13, 30), at(13, 30)),
])
def test_session_normalisation(qm, market, when, buffered):
    qm.add_tick(tick(when, market=market))
    assert qm.ticks["2330"]["last_tick"]["dt"] == buffered


def test_weekends_and_holidays_for_futures(qm):
    qm.add_tick(tick(datetime(2024, 3, 8, 23, 59), market="Future"))  # Friday night
    qm.add_tick(tick(datetime(2024, 3, 11, 8, 46), market="Future"))
    filled = [t["dt"] for t in qm.ticks["2330"]["ticks"] if t["is_virtual"]]
    assert filled[0] == datetime(2024, 3, 9, 0, 0) and filled[299] == datetime(2024, 3, 9, 4, 59)
    assert filled[300:] == [datetime(2024, 3, 11, 8, 45), datetime(2024, 3, 11, 8, 46)]
    qm.clear_ticks()
    qm.add_tick(tick(datetime(2024, 2, 28, 12, 0)))  # a holiday
    qm.add_tick(tick(datetime(2024, 2, 28, 12, 5)))
    assert not any(t["is_virtual"] for t in qm.ticks["2330"]["ticks"])


def test_assigning_the_calendar_takes_effect(qm):
    qm.holiday_search_set = qm.holiday_search_set | {"2024-03-04"}
    qm.add_tick(tick(at(9, 0)))
    qm.add_tick(tick(at(9, 5)))
    assert not any(t["is_virtual"] for t in qm.ticks["2330"]["ticks"])
    qm.not_trade_times = {}
    qm.add_tick(tick(at(13, 30)))
    assert qm.ticks["2330"]["last_tick"]["dt"] == at(13, 30)


def test_pops_and_old_ticks(qm):
    qm.add_tick(tick(at(9, 0, 30), close=100))
    qm.add_tick(tick(at(9, 0, 10), close=99))  # older: sorted into place by a pop
    first = qm.poped_tick_to_df("2330")
    assert first.dtypes == TICK_SCHEMA and first["close"].to_list() == [99.0, 100.0]
    assert qm.poped_tick_to_df("2330").shape == (0, 8)
    qm.add_tick(tick(at(9, 0, 40)))
    assert len(qm.poped_old_ticks_to_df("2330")) == 2
    qm.poped_tick_to_df("2330")
    assert len(qm.poped_old_ticks_to_df("2330")) == 3
    assert qm.poped_tick_to_df("9999").shape == (0, 8)
    assert qm.poped_old_ticks_to_df("9999").shape == (0, 8)


def test_missing_keys_keep_the_buffer(qm):
    qm.add_tick(tick(at(9, 0)))
    broken = tick(at(9, 5))
    del broken["close"]
    with pytest.raises(KeyError):
        qm.add_tick(broken)
    assert len(qm.ticks["2330"]["ticks"]) == 1


@pytest.mark.parametrize("args, message", [
    (("2330", "x", 1), "'unit' must be one of ['m', 'h', 'd', 'w', 'mo', 'q', 'y']"),
    (("2330", "m", True), "freq"), (("2330", "m", 1.0), "freq"),
    ((None, "m", 1), "code"), (("2330", "m", 1, ()), "exprs"),
])
def test_get_kbar_argument_errors(qm, args, message):
    qm.add_tick(tick(at(9, 0)))
    with pytest.raises(TypeError) as err:
        qm.get_kbar(*args)
    assert message in str(err.value)
    assert len(qm.ticks["2330"]["ticks"]) == 1  # nothing handed over


def test_unknown_code_is_a_key_error(qm):
    with pytest.raises(KeyError):
        qm.get_kbar("2330", "m", 1)


def minute_bars(qm):
    for when, close, qty in [(at(9, 0), 100, 1), (at(9, 0, 20), 101, 2), (at(9, 0, 40), 99, 1),
                             (at(9, 0, 50), 100, 1), (at(9, 1, 10), 100, 1)]:
        qm.add_tick(tick(when, float(close), qty))
    return qm.get_kbar("2330", "m", 1)


def rows(table):
    return [tuple(r) for r in table.select(KBAR_COLUMNS).iter_rows()]


def test_incremental_update_of_the_last_bar(qm):
    bars = minute_bars(qm)
    assert bars.columns == KBAR_COLUMNS
    assert rows(bars) == [(at(9, 0), "2330", 100.0, 101.0, 99.0, 100.0, 5),
                          (at(9, 1), "2330", 100.0, 100.0, 100.0, 100.0, 1)]
    qm.add_tick(tick(at(9, 1, 30), 102.0, 2))
    qm.add_tick(tick(at(9, 2, 10), 98.0, 1))
    assert rows(qm.get_kbar("2330", "m", 1)) == [
        (at(9, 0), "2330", 100.0, 101.0, 99.0, 100.0, 5),
        (at(9, 1), "2330", 100.0, 102.0, 100.0, 102.0, 3),
        (at(9, 2), "2330", 98.0, 98.0, 98.0, 98.0, 1)]
    assert ("2330", "m", 1) in qm.ticks["2330"]["cached_kbars"]


def test_late_and_simulated_ticks_stay_out_of_updates(qm):
    minute_bars(qm)
    qm.add_tick(tick(at(9, 0, 55), 150.0, 9))  # a late tick of the 09:00 bar
    qm.add_tick(tick(at(9, 1, 20), 160.0, 9, simulate=True))
    assert rows(qm.get_kbar("2330", "m", 1))[-2:] == [(at(9, 0), "2330", 100.0, 101.0, 99.0, 100.0, 5),
                                                      (at(9, 1), "2330", 100.0, 100.0, 100.0, 100.0, 1)]


def test_two_keys_of_one_instrument_both_see_every_tick(qm):
    minute_bars(qm)
    qm.get_kbar("2330", "m", 5)
    qm.add_tick(tick(at(9, 3), 90.0, 4))
    qm.get_kbar("2330", "m", 1)  # hands the new tick over
    qm.add_tick(tick(at(9, 4), 110.0, 1))
    (five,) = rows(qm.get_kbar("2330", "m", 5))
    assert five == (at(9, 0), "2330", 100.0, 110.0, 90.0, 110.0, 11)
    assert rows(qm.get_kbar("2330", "m", 1))[-1][-1] == 1


@pytest.mark.parametrize("unit, freq, starts", [
    ("m", 5, [at(9, 0), at(9, 5)]), ("h", 1, [at(9, 0)]), ("d", 1, [at(0, 0)]),
    ("w", 1, [at(0, 0)]), ("mo", 1, [datetime(2024, 3, 1)]), ("q", 1, [datetime(2024, 1, 1)]),
    ("y", 1, [datetime(2024, 1, 1)]),
])
def test_bar_intervals(qm, unit, freq, starts):
    qm.add_tick(tick(at(9, 0)))
    qm.add_tick(tick(at(9, 1)))
    qm.add_tick(tick(at(9, 7)))
    assert qm.get_kbar("2330", unit, freq)["dt"].to_list() == starts


def test_exprs_and_pandas(qm):
    minute_bars(qm)
    qm.add_tick(tick(at(9, 2)))
    exprs = [(pl.col("Close") * 2).alias("double"), pl.lit(0).alias("Open")]
    with_columns = qm.get_kbar("2330", "m", 1, exprs)
    assert with_columns.columns == KBAR_COLUMNS + ["double"] and with_columns["Open"].to_list() == [0, 0, 0]
    cached = qm.get_kbar("2330", "m", 1, exprs)  # no new tick: the cached table as stored
    assert cached.columns == KBAR_COLUMNS
    frame = qm.get_kbar("2330", "m", 1, to_pandas_df=True)
    assert isinstance(frame, pd.DataFrame) and list(frame.columns) == KBAR_COLUMNS


def test_aggregate_kbar_and_clear(qm):
    minute_bars(qm)
    ticks = qm.poped_old_ticks_to_df("2330").with_columns(
        pl.col("dt").dt.truncate("1m").alias("kbar_time"))
    assert qm.aggregate_kbar(ticks).sort("dt")["Volume"].to_list() == [5, 1]
    qm.clear_ticks()
    assert qm.ticks == {}
    with pytest.raises(KeyError):
        qm.get_kbar("2330", "m", 1)


@pytest.mark.parametrize("change, name", [
    ({"timestamp": at(9, 0).timestamp() * 1000}, "時間戳"),        # milliseconds taken as seconds
    ({"timestamp": datetime(2100, 1, 2).timestamp()}, "時間戳"),
    ({"timestamp": datetime(1989, 12, 31).timestamp()}, "時間戳"),
    ({"timestamp": 1e300}, "時間戳"),
    ({"timestamp": float("nan")}, "時間戳"),
    ({"close": float("nan")}, "close"),
    ({"close": -1.0}, "close"),
    ({"qty": -5}, "qty"),
    ({"qty": 2**64}, "qty"),
])
def test_bad_ticks_are_refused_before_anything_is_stored(qm, change, name):
    qm.add_tick(tick(at(9, 0)))
    with pytest.raises(ValueError, match=name):
        qm.add_tick({**tick(at(9, 5)), **change})
    assert len(qm.ticks["2330"]["ticks"]) == 1


def test_failing_truth_tests_change_nothing(qm):
    class Bad:
        def __bool__(self):
            raise RuntimeError("no truth")
    qm.add_tick(tick(at(9, 0)))
    with pytest.raises(RuntimeError, match="no truth"):
        qm.add_tick({**tick(at(9, 1)), "is_simulate": Bad()})
    with pytest.raises(RuntimeError, match="no truth"):
        qm.get_kbar("2330", "m", 1, to_pandas_df=Bad())
    assert len(qm.ticks["2330"]["ticks"]) == 1  # not handed over either


@pytest.mark.parametrize("freq", [0, -1, 2**63, 10**6])
def test_freq_out_of_range_names_the_argument(qm, freq):
    qm.add_tick(tick(at(9, 0)))
    with pytest.raises(ValueError, match="freq"):
        qm.get_kbar("2330", "m", freq)


def test_tick_type_keeps_its_full_width(qm):
    qm.add_tick({**tick(at(9, 0)), "tick_type": 300})
    assert qm.ticks["2330"]["last_tick"]["tick_type"] == 300
    assert qm.poped_tick_to_df("2330")["tick_type"].to_list() == [300]


def test_a_gap_beyond_the_bound_is_left_unfilled(qm, console):
    qm.add_tick(tick(at(9, 0)))
    qm.add_tick(tick(datetime(2025, 4, 9, 9, 0)))  # 401 days later
    assert [t["is_virtual"] for t in qm.ticks["2330"]["ticks"]] == [False, False]
    assert console.lines == ["[yellow]2330 的 Tick 間隔超過 400 天, 不補空白 K 棒[/yellow]"]


def test_more_market_types_than_the_bound_are_refused(qm):
    for i in range(256):
        qm.add_tick(tick(at(9, 0), market=f"M{i}"))
    with pytest.raises(ValueError, match="M256"):
        qm.add_tick(tick(at(9, 0), market="M256"))
    assert qm.poped_tick_to_df("2330")["market_type"].to_list()[-1] == "M255"


def test_calendar_edits_in_place_take_effect(qm):
    qm.holiday_search_set.add("2024-03-05")
    qm.add_tick(tick(at(13, 0)))
    qm.add_tick(tick(at(9, 2, day=6)))  # no filler for the Tuesday now closed
    virtual = [t["dt"] for t in qm.ticks["2330"]["ticks"] if t["is_virtual"]]
    assert virtual[0].day == 4 and virtual[-1] == datetime(2024, 3, 6, 9, 2)
    assert not any(t.day == 5 for t in virtual)
    qm.not_trade_times["Stock"][0][0] = datetime(2024, 1, 1, 13, 0).time()  # close earlier
    qm.add_tick(tick(at(13, 10, day=6)))
    assert qm.ticks["2330"]["last_tick"]["dt"] == datetime(2024, 3, 6, 12, 59, 59)


@pytest.mark.parametrize("name, value", [
    ("holiday_search_set", ["2024-03-05"]),
    ("holiday_search_set", {20240305}),
    ("not_trade_times", {"Stock": [["13:30", "23:59"]]}),
    ("not_trade_times", {"Stock": [[datetime(2024, 1, 1).time()]]}),
])
def test_refused_calendar_assignments_leave_the_old_value(qm, name, value):
    before = getattr(qm, name)
    with pytest.raises(TypeError, match=name):
        setattr(qm, name, value)
    assert getattr(qm, name) is before


def test_clear_and_kbars_on_two_threads(tmp_path):
    # A clear must never free what a K-bar call on another thread is reading.
    code = textwrap.dedent("""
        import threading, time
        from orva_backtest.modules.positions.positions import QuoteManager
        qm = QuoteManager()
        stop = time.monotonic() + 2
        def feed():
            ts = 1709514000.0
            while time.monotonic() < stop:
                for _ in range(200):
                    ts += 13
                    qm.add_tick({"market_type": "Stock", "timestamp": ts, "code": "2330", "close": 600.0,
                                 "qty": 1, "tick_type": 1, "is_simulate": False})
                try:
                    bars = qm.get_kbar("2330", "m", 1)
                    assert bars.columns[:2] == ["dt", "code"]
                except KeyError:
                    pass  # cleared in between
        def clear():
            while time.monotonic() < stop:
                qm.clear_ticks()
        threads = [threading.Thread(target=feed), threading.Thread(target=clear)]
        for t in threads: t.start()
        for t in threads: t.join()
    """)
    done = run_python(code, cwd=str(tmp_path), TZ="Asia/Taipei")
    assert (done.returncode, done.stderr) == (0, "")


KEYS = [("m", 1), ("m", 5), ("m", 7), ("h", 1), ("d", 1), ("w", 2), ("mo", 1), ("q", 1), ("y", 1)]


@pytest.mark.parametrize("seed", range(6))
def test_kbars_match_the_documented_polars_steps(seed):
    # Random streams with late and simulated ticks, several keys queried in
    # turn; every table must equal the plain polars reading of the same steps.
    rng = random.Random(seed)
    quotes = QuoteManager()
    keys = rng.sample(KEYS, 4)
    references = {}
    for unit, freq in keys:
        references[unit, freq] = ReferenceBars(QuoteManager(), "2330", unit, freq)
    when = datetime(2024, 3, 1, 9, 0) if seed % 2 else datetime(2024, 2, 26, 22, 0)
    market = "Stock" if seed % 2 else "Future"
    for step in range(400):
        when += timedelta(seconds=rng.choice([-90, 0, 3, 20, 61, 400, 3600, 20 * 3600]))
        record = tick(when, close=round(rng.uniform(90, 110), 1), qty=rng.randint(1, 9), market=market,
                      simulate=rng.random() < 0.1)
        quotes.add_tick(record)
        for reference in references.values():
            reference.quotes.add_tick(record)
        if rng.random() < 0.3:
            unit, freq = rng.choice(keys)
            got = quotes.get_kbar("2330", unit, freq)
            expected = references[unit, freq].get()
            assert got.schema == expected.schema
            assert got.equals(expected), (step, unit, freq)
    unit, freq = keys[0]
    record = tick(when + timedelta(seconds=1), market=market)
    quotes.add_tick(record)  # a call without new ticks would leave the expressions out
    references[unit, freq].quotes.add_tick(record)
    shown = quotes.get_kbar("2330", unit, freq, [pl.col("Close").alias("Open")], True)
    assert shown.equals(references[unit, freq].get().with_columns(pl.col("Close").alias("Open")).to_pandas())


def test_long_buffers_give_the_bars_of_one_aggregation():
    # Past a few hundred thousand ticks the first build aggregates slices and joins the bars
    # they share; the statistics fold the same ticks without a frame (simulated ones left out).
    rng = random.Random(7)
    quotes, reference = QuoteManager(), ReferenceBars(QuoteManager(), "TXFR1", "m", 1)
    when = datetime(2024, 3, 4, 8, 45)
    for _ in range(140_000):
        when += timedelta(seconds=rng.choice([0, 1, 2, 3]), microseconds=rng.randrange(1000))
        record = tick(when, close=float(rng.randint(18000, 18100)), qty=rng.randint(1, 5), code="TXFR1",
                      market="Future", simulate=rng.random() < 0.05)
        quotes.add_tick(record)
        reference.quotes.add_tick(record)
    ticks = reference.quotes.poped_tick_to_df("TXFR1")
    got, expected = quotes.get_kbar("TXFR1", "m", 1), reference.get()
    assert len(expected) > 1000 and got.equals(expected)
    real = aggregate(with_bar_columns(ticks.filter(~pl.col("is_simulate")), "1m")).sort("dt")
    starts, closes = _bar_closes(quotes, "TXFR1", "m", 1)
    assert [datetime(1970, 1, 1) + timedelta(microseconds=s) for s in starts.tolist()] == real["dt"].to_list()
    assert closes.tolist() == real["Close"].to_list()
