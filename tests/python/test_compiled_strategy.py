import importlib.util
import json
import os
import queue
import re
import sys
from pathlib import Path

import numpy as np
import pytest

if os.environ.get("CI") != "true":  # the test command installs numba: CI never skips
    pytest.importorskip("numba")

from orva_backtest import compiled
from orva_backtest.cli import run_cli
from orva_backtest.compiled import BUY, FOK, IOC, MARKET, ROD, SELL, CompiledStrategy
from orva_backtest.market import CacheOnlyMarket, SyntheticMarket
from orva_backtest.market.taifex import import_taifex_files
from orva_backtest.market_rules import market_rules
from orva_backtest.modules.matcher.matcher import Matcher
from orva_backtest.modules.positions.positions import Positions, QuoteManager
from orva_backtest.modules.ticker.ticker import Ticker
from orva_backtest.runner import StrategyError, run_backtest

from process_helpers import run_python
from taifex_files import write_files

BENCH = Path(__file__).resolve().parents[2] / "bench"
DAYS = ("2024-03-04", "2024-03-05")


def bench_module(name):
    found = importlib.util.spec_from_file_location(name, BENCH / f"{name}.py")
    module = sys.modules[name] = importlib.util.module_from_spec(found)  # numba looks it up by name
    found.loader.exec_module(module)
    return module


def fills(result):
    """Every fill as the trade records have them, ids aside (they are random)."""
    return result.trades.drop("trade_id").rows()


def held_at_the_end(result, code):
    open_ = result.instruments[code].open
    return open_.quantity if open_ else 0


def test_compiled_mean50_agrees_with_the_python_one_fill_for_fill(tmp_path):
    python = bench_module("runner_strategies").Mean50()
    compiled = bench_module("compiled_strategies").CompiledMean50()
    results = [run_backtest(s, ["2330:Stock"], *DAYS, data_dir=tmp_path, reports=False,
                            capital=10_000_000) for s in (python, compiled)]
    assert len(fills(results[0])) > 100  # the 50-tick mean crosses often
    assert fills(results[1]) == fills(results[0])
    assert results[1].profit_rows == results[0].profit_rows
    assert results[1].balance == results[0].balance
    assert results[1].compile_seconds > 0 and results[0].compile_seconds is None
    assert compiled.positions.tolist() == [held_at_the_end(results[0], "2330")]


def engine_queue_calls(strategy_class):
    """`strategy_class`, counting the Python calls into the queue module its run makes
    between on_start and on_finish."""

    class Counted(strategy_class):
        calls = 0

        def on_start(self, ctx):
            def count(frame, event, arg):
                if event == "call" and frame.f_code.co_filename == queue.__file__:
                    type(self).calls += 1
            sys.setprofile(count)

        def on_finish(self, ctx):
            sys.setprofile(None)

    return Counted


@pytest.mark.parametrize("module, name", [("runner_strategies", "Mean50"),
                                          ("compiled_strategies", "CompiledMean50")])
def test_orders_and_fills_reach_the_strategy_without_python_queue_calls(tmp_path, module, name):
    # Each report used to pass through queue.Queue's put and empty in Python on its way.
    strategy = engine_queue_calls(getattr(bench_module(module), name))()
    try:
        result = run_backtest(strategy, ["2330:Stock"], DAYS[0], DAYS[0], data_dir=tmp_path,
                              reports=False, capital=10_000_000)
    finally:
        sys.setprofile(None)
    assert len(fills(result)) > 50
    assert strategy.calls == 0


def helpers():
    import compiled_helpers
    return compiled_helpers


class OneRow(CompiledStrategy):
    """Places values[0:5] as one order row on tick `on` of 2330; `filled` is the count returned."""

    def __init__(self, row, filled=1, on=60, codes=("2330",), at=0):
        super().__init__(helpers().one_row, codes=codes, values=[*row, -1.0],
                         counters=[filled, on, 0, 0, at], max_orders=2)


def run_one(strategy, tmp_path, **kwargs):
    return run_backtest(strategy, ["2330:Stock", "TXFR1:Future"], DAYS[0], DAYS[0],
                        data_dir=tmp_path, reports=False, capital=10_000_000, **kwargs)


class Recording(OneRow):
    """Keeps the orders the exchange reported."""

    def on_order_report(self, ctx, report):
        self.reported = [*getattr(self, "reported", []), report["order"]]


@pytest.mark.parametrize("row, price_type, order_type", [
    ((0, BUY, 3, MARKET, ROD), "MKT", "ROD"),
    ((0, BUY, 2, 10_000.0, IOC), "LMT", "IOC"),  # a limit far above the market fills at once
    ((1, SELL, 1, MARKET, FOK), "MKT", "FOK"),  # the second code: the future
])
def test_an_order_row_reaches_the_exchange_and_the_positions(tmp_path, row, price_type, order_type):
    strategy = Recording(row, codes=("2330", "TXFR1"))
    result = run_one(strategy, tmp_path)
    code, action = ("2330", "TXFR1")[int(row[0])], "Buy" if row[1] == BUY else "Sell"
    order = strategy.reported[0]
    assert (order["code"], str(order["action"]), order["quantity"]) == (code, action, row[2])
    assert (str(order["price_type"]), str(order["order_type"])) == (price_type, order_type)
    deals = [r for r in result.account.trade_records if r["trade_status"] == "Deal"]
    assert deals and {(d["code"], str(d["action"])) for d in deals} == {(code, action)}
    held = sum(d["quantity"] for d in deals) * (1 if row[1] == BUY else -1)
    assert strategy.positions[int(row[0])] == held == held_at_the_end(result, code)
    # What the function last read of the positions, and its count of ticks without quotes (NaN).
    assert strategy.values[5] == strategy.positions[0] * 1000 + strategy.positions[1]
    assert strategy.counters[2] > 100 and strategy.counters[3] == strategy.counters[2]


@pytest.mark.parametrize("row, filled, message", [
    ((2, BUY, 1, MARKET, ROD), 1, "商品索引必須是 0 到 0 的整數: 2"),
    ((0, 0, 1, MARKET, ROD), 1, "買賣別必須是 1 (買) 或 -1 (賣): 0"),
    ((0, BUY, 1.5, MARKET, ROD), 1, "數量必須是大於 0 的整數: 1.5"),
    ((0, BUY, 1, float("nan"), ROD), 1, "價格必須是 0 到 1000000000 的數值 (0 為市價): nan"),
    ((0, BUY, 1, 1e9 + 1, ROD), 1, "價格必須是 0 到 1000000000 的數值 (0 為市價): 1000000001"),
    ((0, 1.0000001, 1, MARKET, ROD), 1, "買賣別必須是 1 (買) 或 -1 (賣): 1.0000001"),
    ((0, BUY, 1, MARKET, 7), 1, "委託條件必須是 0 (ROD)、1 (IOC) 或 2 (FOK): 7"),
    ((0, BUY, 1, MARKET, ROD), 3, "委託筆數 3 超過委託緩衝的容量 2"),
    ((0, BUY, 1, MARKET, ROD), -4, "策略回傳錯誤碼 -4"),
])
def test_a_bad_order_stops_the_run_naming_the_tick_and_the_value(tmp_path, row, filled, message):
    with pytest.raises(StrategyError) as error:
        run_one(OneRow(row, filled), tmp_path)
    assert "策略的 on_tick (Tick 2330 2024-03-04" in str(error.value) and message in str(error.value)


@pytest.mark.parametrize("at", [2, 17])  # just past its 2 rows, and the last row that is caught
def test_a_function_writing_past_its_order_rows_is_stopped_at_that_tick(tmp_path, at):
    with pytest.raises(StrategyError, match="委託緩衝之外: 只有 2 筆"):
        run_one(OneRow((0, BUY, 1, MARKET, ROD), filled=0, at=at), tmp_path)


class HooksOnItsFirstBar(CompiledStrategy):
    """Sets a hook of its own for unraisable errors mid-run, as a logging set-up might."""

    def on_bar(self, ctx, bar):
        if not hasattr(self, "hook"):
            self.hook = lambda unraisable: self.logged.append(unraisable)
            self.logged = []
            sys.unraisablehook = self.hook


@pytest.mark.parametrize("cls", [CompiledStrategy, HooksOnItsFirstBar])
def test_what_the_compiled_function_raises_stops_the_run_at_that_tick(tmp_path, monkeypatch, cls):
    # numba's wrapper would only print it and carry on as if nothing was placed.
    monkeypatch.setattr(sys, "unraisablehook", sys.unraisablehook)  # put back after the test
    before = sys.unraisablehook
    strategy = cls(helpers().raise_on, codes=["2330"], counters=[0, 2000])
    with pytest.raises(StrategyError) as error:
        run_one(strategy, tmp_path)
    assert "策略的 on_tick (Tick 2330 2024-03-04" in str(error.value)
    assert "ZeroDivisionError: 均價的分母為 0" in str(error.value)
    assert strategy.counters[0] == 2000  # not one tick further
    if cls is HooksOnItsFirstBar:  # its own hook stays, and saw nothing of the function's
        assert sys.unraisablehook is strategy.hook and strategy.logged == []
    else:
        assert sys.unraisablehook is before


@pytest.mark.parametrize("make, kwargs, error, message", [
    (lambda: OneRow((0, BUY, 1, MARKET, ROD)), {"mode": "paced"}, ValueError, "direct"),
    (lambda: OneRow((0, BUY, 1, MARKET, ROD)), {"cash_check": True}, ValueError, "cash_check"),
    (lambda: OneRow((0, BUY, 1, MARKET, ROD), codes=("2330", "0050")), {}, ValueError, "0050"),
    (lambda: OneRow((0, BUY, 1, MARKET, ROD), codes=("2330", "2330")), {}, ValueError, "重複"),
    (lambda: CompiledStrategy(lambda *args: 0), {}, TypeError, "tick_function"),
    (lambda: CompiledStrategy(helpers().numba.cfunc(compiled.tick_signature())(helpers().one_row._pyfunc)), {},
     TypeError, "tick_function"),
    (lambda: type("AlsoOnTick", (OneRow,), {"on_tick": lambda self, ctx, tick: None})(
        (0, BUY, 1, MARKET, ROD)), {}, ValueError, "AlsoOnTick 不可再定義 on_tick"),
    (lambda: CompiledStrategy(helpers().one_row, max_orders=0), {}, ValueError, "max_orders"),
    (lambda: CompiledStrategy(helpers().one_row, values=None), {}, TypeError, "values 必須是 float64"),
    (lambda: CompiledStrategy(helpers().one_row, values=["1"]), {}, TypeError, "values 必須是 float64"),
    (lambda: CompiledStrategy(helpers().one_row, counters=[[1], [2, 3]]), {}, TypeError, "counters 必須是 int64"),
    (lambda: CompiledStrategy(helpers().one_row, counters=[0, 1.5]), {}, ValueError,
     "counters 的第 1 個數值無法存成 int64: 1.5"),
    (lambda: CompiledStrategy(helpers().one_row, counters=[float("nan")]), {}, ValueError, "int64: nan"),
    (lambda: CompiledStrategy(helpers().one_row, counters=[2.0**63]), {}, ValueError, "int64: 9.2"),
    # As many values as one_row reads and writes: were one taken, the run must not write past them.
    (lambda: CompiledStrategy(helpers().one_row, values=[0, 2**53 + 1, 1, 0, 0, -1], counters=[0] * 4), {},
     ValueError, "values 的第 1 個數值無法存成 float64: 9007199254740993"),
    (lambda: CompiledStrategy(helpers().one_row, values=[0] * 6, counters=np.array([2**64 - 1, 0, 0, 0], np.uint64)),
     {}, ValueError, "counters 的第 0 個數值無法存成 int64"),
])
def test_what_a_compiled_strategy_cannot_run_under_is_refused_up_front(tmp_path, make, kwargs, error,
                                                                       message):
    with pytest.raises(error, match=message):
        run_one(make(), tmp_path, **kwargs)
    assert not (tmp_path / "runs").exists()


@pytest.mark.parametrize("kwargs, part, expected", [
    ({"codes": "2330"}, "codes", ["2330"]),  # one code, not four characters
    ({"counters": [1.0, -2.0]}, "counters", [1, -2]),  # whole numbers kept as such
    ({"values": np.array([0.5, float("nan")], np.float32)}, "values", [0.5, "nan"]),
])
def test_what_a_user_may_give_a_compiled_strategy_is_taken_as_meant(kwargs, part, expected):
    strategy = CompiledStrategy(helpers().one_row, **kwargs)
    setup = strategy.drive_setup({"2330": "Stock", "TXFR1": "Future"})
    got = setup[5] if part == "codes" else getattr(strategy, part).tolist()
    assert [("nan" if value != value else value) for value in got] == expected


class ForgetsSuper(OneRow):
    """Its own on_deal_report, without calling the base class's."""

    def on_deal_report(self, ctx, report):
        self.seen = [*getattr(self, "seen", []), (int(self.positions[0]), ctx.position("2330"))]


def test_a_subclass_s_own_deal_callback_still_finds_the_positions_kept(tmp_path):
    strategy = ForgetsSuper((0, BUY, 3, MARKET, ROD))
    result = run_one(strategy, tmp_path)
    assert strategy.positions.tolist() == [held_at_the_end(result, "2330")] == [3]
    assert strategy.seen and all(kept == held for kept, held in strategy.seen)


@pytest.mark.parametrize("roll, held", [("settle", 0), ("reopen", 2)])
def test_a_settlement_at_expiry_reaches_the_positions_the_function_reads(tmp_path, taipei_clock,
                                                                         roll, held):
    # A settlement sends no deal report: the positions follow the account's trade records.
    paths, _ = write_files(tmp_path)
    import_taifex_files(paths, "TX", data_dir=str(tmp_path / "data"))
    strategy = OneRow((0, BUY, 2, MARKET, ROD), on=2, codes=("TXFR1",))
    result = run_backtest(strategy, ["TXFR1:Future"], "2026-01-21", "2026-01-22",
                          data_dir=tmp_path / "data", source=CacheOnlyMarket(), reports=False,
                          rules=market_rules(roll=roll))
    assert [row["expiry"] for row in result.profit_rows if row.get("expiry")] == [True]
    assert result.account.net_quantity("TXFR1") == held
    assert strategy.values[5] == held  # what the function saw on its last tick


def test_a_quote_side_without_size_reaches_the_function_as_nan(tmp_path, taipei_clock):
    # The exchange's daily futures files carry trades alone: their quote is the close, size 0.
    paths, _ = write_files(tmp_path)
    import_taifex_files(paths, "TX", data_dir=str(tmp_path / "data"))
    imported = OneRow((0, BUY, 1, MARKET, ROD), filled=0, codes=("TXFR1",))
    run_backtest(imported, ["TXFR1:Future"], "2026-01-21", "2026-01-21", data_dir=tmp_path / "data",
                 source=CacheOnlyMarket(), reports=False, fill_model="queue")
    quoted = OneRow((0, BUY, 1, MARKET, ROD), filled=0)
    run_one(quoted, tmp_path / "synthetic", fill_model="queue")
    assert imported.counters[2] > 0 and imported.counters[3] == imported.counters[2]
    assert quoted.counters[2] > 100 and quoted.counters[3] == 0


class GivesStateAgain(OneRow):
    """Gives its counters as a list before the run, and again after its first fill: buy once
    more on tick 120."""

    def __init__(self, again):
        super().__init__((0, BUY, 1, MARKET, ROD))
        self.again = again

    def on_start(self, ctx):
        self.counters = [1, 60, 0, 0]

    def on_deal_report(self, ctx, report):
        if self.counters[1] == 60:
            self.counters = self.again(list(self.counters))


def test_state_given_again_mid_run_reaches_the_function_or_is_refused(tmp_path):
    followed = GivesStateAgain(lambda held: [1, 120, *held[2:]])
    result = run_one(followed, tmp_path)
    assert [r["trade_status"] for r in result.account.trade_records].count("Deal") == 2
    with pytest.raises(StrategyError, match="counters 只能換內容, 不能改長度: 4 → 5"):
        run_one(GivesStateAgain(lambda held: [1, 120, *held[2:], 0]), tmp_path)
    followed.counters = [0]  # the run over, any length is taken again
    assert list(followed.counters) == [0]


def test_only_a_process_s_first_run_of_a_function_reports_its_compile(tmp_path):
    namespace = {}
    exec("def fresh(" + ", ".join(compiled.TICK_ARGUMENTS) + "):\n    return 0\n", namespace)
    function = compiled.tick_function(namespace["fresh"])
    runs = [run_one(CompiledStrategy(function, codes="2330"), tmp_path).compile_seconds for _ in range(2)]
    assert runs == [function.compile_seconds, 0.0] and function.compile_seconds > 0


def test_a_function_with_no_file_to_cache_beside_is_compiled_uncached():
    namespace = {}  # as typed at a prompt: numba finds no file for its cache
    exec("def typed(" + ", ".join(compiled.TICK_ARGUMENTS) + "):\n    return 0\n", namespace)
    function = compiled.tick_function(namespace["typed"])
    assert function.from_cache is False and function.address
    assert CompiledStrategy(function, codes="2330").function is function


def test_a_second_process_loads_the_function_from_the_disk_cache(tmp_path):
    code = "import compiled_helpers as h; print(h.one_row.from_cache, h.one_row.compile_seconds > 0)"
    runs = [run_python(code, cwd=str(Path(__file__).parent), timeout=300, NUMBA_CACHE_DIR=str(tmp_path))
            for _ in range(2)]
    assert [run.stdout.split() for run in runs] == [["False", "True"], ["True", "True"]], runs[0].stderr


def test_ctrl_c_pending_at_a_process_s_first_order_stops_the_run(tmp_path):
    # That order looks up the order defaults, which runs Python: the KeyboardInterrupt is raised
    # there, and once aborted the process.
    done = run_python(f"""
        import ctypes, numba
        from orva_backtest.compiled import BUY, MARKET, ROD, CompiledStrategy, tick_function
        from orva_backtest.runner import run_backtest
        raise_signal = getattr(ctypes.CDLL(None), "raise")
        raise_signal.argtypes, raise_signal.restype = [ctypes.c_int], ctypes.c_int

        @tick_function
        def interrupt_and_buy({", ".join(compiled.TICK_ARGUMENTS)}):
            state = numba.carray(counters, n_counters)
            if state[0] == 1:
                return 0
            state[0] = 1
            raise_signal(2)  # pending until Python next runs
            out = numba.carray(orders, capacity * 5)
            out[0], out[1], out[2], out[3], out[4] = code, BUY, 1, MARKET, ROD
            return 1

        try:
            run_backtest(CompiledStrategy(interrupt_and_buy, codes="2330", counters=[0]),
                         ["2330:Stock"], "2024-03-04", "2024-03-04", data_dir={str(tmp_path)!r},
                         reports=False)
        except KeyboardInterrupt:
            print("interrupted")
    """, timeout=300)
    assert (done.returncode, done.stdout.strip()) == (0, "interrupted"), done.stderr[-2000:]


@pytest.mark.parametrize("cache_dir", ["", "numba-cache"])  # beside the file, or NUMBA_CACHE_DIR
def test_a_damaged_disk_cache_is_compiled_past_and_named(tmp_path, cache_dir):
    source = "from orva_backtest.compiled import tick_function\n\n@tick_function\ndef keep(" + \
        ", ".join(compiled.TICK_ARGUMENTS) + "):\n    return 0\n"
    (tmp_path / "kept.py").write_text(source, encoding="utf-8")
    folder = tmp_path / (cache_dir or "__pycache__")
    env = {"NUMBA_CACHE_DIR": str(tmp_path / cache_dir) if cache_dir else ""}
    code = "import kept; print(kept.keep.from_cache, bool(kept.keep.address))"
    first = run_python(code, cwd=str(tmp_path), timeout=300, **env)
    assert first.stdout.split() == ["False", "True"], first.stderr
    damaged = list(folder.rglob("kept.keep-*.nb*"))
    for written in damaged:
        written.write_bytes(b"\x00 not a pickle")  # a write cut short, a disk that filled up
    again = run_python(code, cwd=str(tmp_path), timeout=300, ORVA_CONSOLE="on", **env)
    assert again.returncode == 0 and damaged, again.stderr
    said = " ".join((again.stdout + again.stderr).split())
    assert again.stdout.split()[-2:] == ["False", "True"] and "磁碟快取無法使用" in said
    assert f"可清除 {folder} 中 kept.py 的快取" in said


CLI_STRATEGY = """
import numba
from orva_backtest.compiled import BUY, MARKET, ROD, SELL, CompiledStrategy, tick_function

@tick_function  # defined in the strategy file itself: cached beside it
def flip_tick(time, code, close, volume, tick_type, bid, ask, values, n_values, counters,
              n_counters, positions, n_codes, orders, capacity):
    seen = numba.carray(counters, n_counters)
    seen[0] += 1
    if seen[0] % 300:
        return 0
    out = numba.carray(orders, capacity * 5)
    out[0], out[1], out[2], out[3], out[4] = code, SELL if positions[code] else BUY, 1, MARKET, ROD
    return 1

class Flip(CompiledStrategy):
    def __init__(self):
        super().__init__(flip_tick, counters=[0])
"""


def test_the_command_line_runs_a_compiled_strategy_file_and_refuses_it_paced(tmp_path, capsys):
    path = tmp_path / "mean50.py"
    path.write_text(CLI_STRATEGY, encoding="utf-8")
    base = ["run", str(path), "--codes", "2330:Stock", "--start", DAYS[0], "--end", DAYS[0],
            "--data-dir", str(tmp_path / "data"), "--no-reports"]
    summary = tmp_path / "out.json"
    for _ in range(2):  # compiled, then loaded from the cache beside the file by a new process
        done = run_python(None, "-m", "orva_backtest", *base, "--json", str(summary), timeout=300)
        assert done.returncode == 0, done.stderr
        figures = json.loads(summary.read_text(encoding="utf-8"))
        assert figures["compile_seconds"] > 0 and figures["instruments"]["2330"]["round_trips"] > 0
        assert "編譯策略: 編譯 (或自磁碟快取載入)" in done.stdout
    assert list((tmp_path / "__pycache__").glob("mean50.flip_tick-*.nbi"))
    assert run_cli([*base, "--mode", "paced"]) == 1
    error = capsys.readouterr().err.strip()
    assert "編譯策略只能在 direct 模式回放" in error and "\n" not in error


def drive_setup(**changes):
    """A sound `compiled` argument of the drive for 2330, with `changes` (by part name)."""
    parts = {"address": helpers().one_row.address, "values": np.zeros(6),
             "counters": np.zeros(4, np.int64), "positions": np.zeros(1, np.int64),
             "orders": np.zeros(10), "codes": ["2330"], "product_types": ["Stock"], "refuse": None,
             **changes}
    return tuple(parts.values())


@pytest.mark.parametrize("compiled, on_tick, error, message", [
    ([0] * 8, None, TypeError, "compiled"),
    (drive_setup(refuse=1), None, TypeError, "refuse 必須可呼叫"),
    (drive_setup(address=0), None, ValueError, "位址不可為 0"),
    (drive_setup(values=np.zeros(6, np.int64)), None, TypeError, "values 必須是一維的 float64"),
    (drive_setup(orders=np.zeros((2, 5))), None, TypeError, "orders 必須是一維的 float64"),
    (drive_setup(orders=np.zeros(7)), None, ValueError, "委託緩衝 (7 個數值, 每筆 5 個) 不相符"),
    (drive_setup(positions=np.zeros(2, np.int64)), None, ValueError, "部位 (2)"),
    (drive_setup(codes=[2330]), None, TypeError, "codes"),
    (drive_setup(), lambda ctx, tick: None, ValueError, "只能提供其一"),
])
def test_the_drive_checks_its_compiled_argument_before_any_tick(taipei_data_dir, compiled, on_tick,
                                                                 error, message):
    replay = Ticker(SyntheticMarket()).iter_ticks([{"code": "2330", "market": "Stock"}], *DAYS)
    matcher, quotes, size = Matcher(Positions()), QuoteManager(), len(replay)
    with pytest.raises(error, match=re.escape(message)):
        replay.drive(matcher, quotes, None, {"2330"}, on_tick=on_tick, compiled=compiled)
    assert replay.drive(matcher, quotes, None, set()) == size  # left whole
