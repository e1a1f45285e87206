import os
import queue
import threading
from datetime import datetime, timedelta

import pytest

from orva_backtest import Strategy
from orva_backtest.runner import BacktestResult, StrategyError, parse_instruments, run_backtest

DAYS = ("2024-03-04", "2024-03-05")


class Trader(Strategy):
    """Alternates a buy and a sell every 400 ticks of each instrument, recording what it sees."""

    def __init__(self):
        self.seen, self.deals, self.orders, self.placed, self.bars = {}, [], [], {}, []

    def on_tick(self, ctx, tick):
        code = tick["code"]
        count = self.seen[code] = self.seen.get(code, 0) + 1
        if count % 400 == 0:
            held = ctx.position(code)
            trade_id = ctx.sell(code) if held > 0 else ctx.buy(code)
            assert trade_id in {o["trade_id"] for o in ctx.pending_orders}  # in the book now
            self.placed[trade_id] = tick["timestamp"]

    def on_bar(self, ctx, bar):  # one-minute bars of both instruments, none asked for
        self.bars.append((bar, ctx.tick["timestamp"]))

    def on_order_report(self, ctx, report):
        self.orders.append(report)

    def on_deal_report(self, ctx, report):
        self.deals.append(report)


def backtest(strategy, tmp_path, name, mode="direct", capital=10_000_000, **kwargs):
    return run_backtest(strategy, ["2330:Stock", "TXFR1:Future"], *DAYS, data_dir=tmp_path / name,
                        mode=mode, capital=capital, **kwargs)


def test_the_account_agrees_with_the_deal_reports(tmp_path, console):
    strategy = Trader()
    result = backtest(strategy, tmp_path, "run")
    assert result.ticks > 10_000 and strategy.deals
    deals = [r for r in result.account.trade_records if r["trade_status"] == "Deal"]
    assert [(d["code"], d["quantity"], d["price"]) for d in deals] == [
        (r["code"], r["quantity"], r["price"]) for r in strategy.deals]
    for deal in strategy.deals:  # filled on a later tick than the one that placed it
        assert deal["exchange_ts"] > strategy.placed[deal["id"]]
    assert "0050" not in strategy.seen  # the benchmark is replayed, never traded
    assert set(result.instruments) == {"2330", "TXFR1"}
    assert sum(s.round_trips for s in result.instruments.values()) == len(result.profit_rows)
    names = sorted(p.rsplit("/", 1)[-1] for p in result.files)
    assert names[1:] == [f"{code}-{kind}" for code in ("2330", "TXFR1", "account") for kind in (
        "profit_report.csv", "profit_report.html", "report.html") if (code, kind) != ("account", "profit_report.csv")]
    assert names[0].endswith("_trade_records.csv")
    assert result.folder.startswith(str(tmp_path / "run" / "runs")) and "Trader" in result.folder
    assert all(p.startswith(result.folder) and os.path.exists(p) for p in result.files)


def comparable(result):
    """Everything a run shows, order ids left out (they are random by design)."""
    def strip(record):
        return {k: v for k, v in record.items() if k not in ("trade_id", "id", "seqno", "ordno")}
    return ([strip(r) for r in result.account.trade_records], result.profit_rows,
            result.account.positions.keys(), result.balance, result.ticks,
            {c: vars(s) for c, s in result.instruments.items()},
            result.quotes.get_kbar("2330", "m", 1).to_dicts())


def test_runs_are_identical_across_modes_and_repeats(tmp_path):
    strategies = [Trader() for _ in range(3)]
    runs = [backtest(strategy, tmp_path, f"{mode}{i}", mode=mode, reports=False)
            for i, (strategy, mode) in enumerate(zip(strategies, ["direct", "direct", "paced"]))]
    first = comparable(runs[0])
    assert all(comparable(run) == first for run in runs[1:])
    assert strategies[0].bars and all(s.bars == strategies[0].bars for s in strategies[1:])


class BarRecorder(Strategy):
    KEYS = [(code, "m", freq) for code in ("2330", "TXFR1") for freq in (1, 5)]

    def __init__(self):
        self.bars = {key: [] for key in self.KEYS}

    def on_start(self, ctx):
        for key in self.KEYS:
            ctx.subscribe_bars(*key)

    def on_bar(self, ctx, bar):
        self.bars[bar["code"], bar["unit"], bar["freq"]].append((bar, ctx.now))


def test_bars_equal_the_kbar_rows_across_sessions_and_a_holiday(tmp_path):
    strategy = BarRecorder()
    result = run_backtest(strategy, ["2330:Stock", "TXFR1:Future"], "2024-04-03", "2024-04-08",
                          data_dir=tmp_path, reports=False)
    for key in BarRecorder.KEYS:
        bars = [bar for bar, _ in strategy.bars[key]]
        rows = result.quotes.get_kbar(*key).to_dicts()  # built from every tick at once
        assert [{name: bar[name] for name in rows[0]} for bar in bars] == rows
        assert all((bar["unit"], bar["freq"]) == key[1:] for bar in bars)
        # Handed over once a later tick came; the last bars when the data ended.
        assert all(now >= bar["dt"] + timedelta(minutes=key[2]) for bar, now in strategy.bars[key][:-1])
    minutes = [bar["dt"] for bar, _ in strategy.bars["2330", "m", 1]]
    # 2024-04-04 and 04-05 are holidays: after the 3rd's last bar comes the 8th's first.
    last_of_the_3rd = minutes.index(datetime(2024, 4, 3, 13, 29))
    assert minutes[last_of_the_3rd + 1] == datetime(2024, 4, 8, 9, 0)
    assert minutes[-1] == datetime(2024, 4, 8, 13, 29)


class Subscribes(Strategy):
    def __init__(self, key, when="on_start", on_bar=True):
        self.key, self.when = key, when
        if on_bar:
            self.on_bar = lambda ctx, bar: None

    def on_start(self, ctx):
        if self.when == "on_start":
            ctx.subscribe_bars(*self.key)

    def on_tick(self, ctx, tick):
        if self.when == "on_tick":
            ctx.subscribe_bars(*self.key)


@pytest.mark.parametrize("strategy, error, message", [
    (Subscribes(("2330", "s", 1)), TypeError, "'unit' must be one of"),
    (Subscribes(("2330", "m", 0)), ValueError, "freq"),
    (Subscribes(("2330", "m", 1.5)), TypeError, "freq"),
    (Subscribes(("0050", "m", 1)), StrategyError, "不在回測商品中"),
    (Subscribes(("2330", "m", 1), when="on_tick"), StrategyError, "on_start"),
    (Subscribes(("2330", "m", 1), on_bar=False), ValueError, "沒有定義 on_bar"),
])
def test_bad_bar_subscriptions_are_refused(tmp_path, strategy, error, message):
    with pytest.raises(error, match=message):
        backtest(strategy, tmp_path, "bars", reports=False)


class OnlyDeals(Strategy):
    def __init__(self):
        self.deals = 0

    def on_deal_report(self, ctx, report):
        self.deals += 1


def test_undefined_callbacks_are_never_called(tmp_path):
    strategy = OnlyDeals()
    result = backtest(strategy, tmp_path, "quiet", reports=False)
    assert result.ticks > 0 and strategy.deals == 0 and result.files == []


@pytest.mark.parametrize("kwargs, message", [
    ({"mode": "fast"}, "回放模式"),
    ({"backfill_start": "2024-03-01"}, "回補"),
    ({"capital": 0}, "初始資金.*0"), ({"capital": -5}, "初始資金.*-5"), ({"capital": 1e6}, "初始資金"),
])
def test_bad_run_requests(tmp_path, kwargs, message):
    with pytest.raises(ValueError, match=message):
        backtest(Trader(), tmp_path, "bad", **kwargs)
    assert not os.path.exists(tmp_path / "bad" / "runs")  # refused before anything is written


@pytest.mark.parametrize("given, expected", [
    (["2330:Stock", " 2330 : Stock ", ("2330", "Stock")], [("2330", "Stock")]),
    ([{"code": "TXFR1", "market": "Future"}, "2330", "TXFR1:Future"], [("TXFR1", "Future"), ("2330", "Stock")]),
    (["TXFR1:Stock", "TXFR1:Future"], "同時列在 Stock 與 Future"),
])
def test_instruments_are_listed_once(given, expected):
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            parse_instruments(given)
    else:
        assert [(i["code"], i["market"]) for i in parse_instruments(given)] == expected


def test_backfill_comes_first_and_is_marked(tmp_path):
    class Watch(Strategy):
        def __init__(self):
            self.flags = []

        def on_tick(self, ctx, tick):
            if not self.flags or self.flags[-1] != tick["is_backfilling"]:
                self.flags.append(tick["is_backfilling"])

    runs = {}
    for mode in ("direct", "paced"):
        strategy = Watch()
        runs[mode] = backtest(strategy, tmp_path, mode, mode=mode, reports=False,
                              backfill_start="2024-03-01", backfill_end="2024-03-01").ticks
        assert strategy.flags == [True, False]
    assert runs["direct"] == runs["paced"]


class Raises(Strategy):
    """Trades like `Trader` and raises in the callback named `where`."""

    def __init__(self, where):
        self.where, self.inner = where, Trader()

    def on_start(self, ctx):
        self.fail("on_start")

    def on_tick(self, ctx, tick):
        self.inner.on_tick(ctx, tick)
        if self.inner.seen[tick["code"]] == 900:
            self.fail("on_tick")

    def on_bar(self, ctx, bar):
        self.fail("on_bar")

    def on_order_report(self, ctx, report):
        self.fail("on_order_report")

    def on_deal_report(self, ctx, report):
        self.fail("on_deal_report")

    def on_finish(self, ctx):
        self.fail("on_finish")

    def fail(self, name):
        if name == self.where:
            raise KeyError("boom")


@pytest.mark.parametrize("where, tick", [("on_start", False), ("on_tick", True), ("on_bar", True),
                                         ("on_order_report", True),
                                         ("on_deal_report", True), ("on_finish", False)])
def test_a_failing_callback_is_named_with_its_tick(tmp_path, where, tick):
    with pytest.raises(StrategyError, match=f"策略的 {where}.*KeyError: 'boom'") as raised:
        backtest(Raises(where), tmp_path, "fail")
    assert isinstance(raised.value.__cause__, KeyError)
    assert (raised.value.record is not None) == tick
    if tick:
        assert f"Tick {raised.value.record['code']} 2024-03-0" in str(raised.value)
    assert not (tmp_path / "fail" / "trade_records").exists()


def test_runs_on_two_threads_keep_to_their_own_folders(tmp_path):
    results = {}

    def run(name, days):
        try:
            results[name] = run_backtest(Trader(), ["2330:Stock"], *days, data_dir=tmp_path / name)
        except Exception as error:
            results[name] = error

    threads = [threading.Thread(target=run, args=("long", DAYS)),
               threading.Thread(target=run, args=("short", DAYS[:1] * 2))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for name, result in results.items():
        assert isinstance(result, BacktestResult), result
        assert result.files and all(p.startswith(str(tmp_path / name)) for p in result.files)
        assert len(list((tmp_path / name / "sino" / "ticks").glob("2330 *"))) == (2 if name == "long" else 1)


def test_bar_only_strategies_see_the_same_ticks_in_both_modes(tmp_path):
    # No on_tick: the last bars, completed by the end of the data, come with the tick that
    # completed the bars before them, never with a later tick the strategy was not handed.
    strategies = {mode: BarRecorder() for mode in ("direct", "paced")}
    for mode, strategy in strategies.items():
        run_backtest(strategy, ["2330:Stock", "TXFR1:Future"], *DAYS, data_dir=tmp_path / mode,
                     reports=False, mode=mode)
    assert strategies["direct"].bars == strategies["paced"].bars


class OwnQueue(Trader):
    def on_start(self, ctx):
        ctx.matcher.response_queue = queue.SimpleQueue()


def test_a_report_queue_the_host_replaced_is_read_in_both_modes(tmp_path):
    strategies = {mode: OwnQueue() for mode in ("direct", "paced")}
    for mode, strategy in strategies.items():
        backtest(strategy, tmp_path, mode, mode=mode, reports=False)
    deals = {mode: [(d["code"], d["quantity"], d["price"], d["exchange_ts"]) for d in s.deals]
             for mode, s in strategies.items()}
    assert deals["direct"] and deals["direct"] == deals["paced"]


class Spoils(Strategy):
    """Changes the tick records it is handed, then fails on a report."""

    def __init__(self, spoil):
        self.spoil = spoil

    def on_tick(self, ctx, tick):
        if not ctx.pending_orders and not ctx.position("2330") and tick["code"] == "2330":
            ctx.buy("2330")
        self.spoil(tick)

    def on_order_report(self, ctx, report):  # handed the record the order was placed on
        raise KeyError("boom")


@pytest.mark.parametrize("mode", ["direct", "paced"])
@pytest.mark.parametrize("spoil", [dict.clear, lambda tick: tick.update(timestamp="x"),
                                   lambda tick: tick.update(timestamp=float("nan"))])
def test_a_failing_callback_is_named_whatever_the_strategy_did_to_its_tick(tmp_path, mode, spoil):
    with pytest.raises(StrategyError, match="策略的 on_order_report.*KeyError: 'boom'") as raised:
        backtest(Spoils(spoil), tmp_path, "fail", mode=mode)
    assert isinstance(raised.value.__cause__, KeyError)


class StartsAnother(Strategy):
    def __init__(self, folder):
        self.folder = folder

    def on_start(self, ctx):
        run_backtest(Strategy(), ["2330:Stock"], DAYS[0], DAYS[0], data_dir=self.folder, reports=False)


def test_a_run_started_from_a_callback_leaves_the_outer_run_its_folder(tmp_path):
    result = run_backtest(StartsAnother(tmp_path / "inner"), ["2330:Stock"], DAYS[0], DAYS[0],
                          data_dir=tmp_path / "outer")
    assert result.files and all(p.startswith(str(tmp_path / "outer")) for p in result.files)
    assert not (tmp_path / "inner" / "trade_records").exists()


def test_the_python_api_prints_as_the_command_line_does(tmp_path):
    from process_helpers import run_python
    folder = tmp_path / ("a_long_folder_name_" * 5)  # past 80 columns in every printed path
    code = f"""
        from orva_backtest.examples.ma_crossover import MovingAverageCrossover
        from orva_backtest.runner import run_backtest
        run_backtest(MovingAverageCrossover(), ["2330:Stock"], "2024-03-04", "2024-03-04", data_dir={str(folder)!r})
        """
    quiet = run_python(code, timeout=300, ORVA_CONSOLE="", COLUMNS="80")  # no bookings unless asked
    assert (quiet.returncode, quiet.stdout) == (0, ""), quiet.stderr
    verbose = run_python(code, timeout=300, ORVA_CONSOLE="on", COLUMNS="80")
    lines = verbose.stdout.splitlines()
    assert verbose.returncode == 0 and any("[回測] 進場 2330" in line for line in lines)
    # A pipe is never wrapped: each path is whole on its line.
    assert any(line.startswith("交易紀錄已匯出至: " + str(folder)) and line.endswith(".csv") for line in lines)
