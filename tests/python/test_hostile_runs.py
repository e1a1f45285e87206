"""Runs, imports of the runner and the command line used carelessly or with hostile input: each
case once lost data, crashed, hung or said nothing."""
import csv
import json
import os
import re
import string
import threading
from datetime import datetime

import pandas as pd
import polars as pl
import pytest

from orva_backtest import Strategy, outputs, utils
from orva_backtest.cli import run_cli
from orva_backtest.market import CacheOnlyMarket
from orva_backtest.modules.matcher.matcher import Matcher
from orva_backtest.modules.positions.positions import BarFeed, Positions, QuoteManager
from orva_backtest.runner import MAX_REPORTS_PER_TICK, NoTicks, StrategyError, run_backtest

from account_helpers import fill, tick
from process_helpers import run_python

DAY = "2024-03-04"
ID_ALPHABET = set(string.ascii_letters + string.digits + "_-")


class EveryN(Strategy):
    """Buys on the n-th tick of 2330 and sells on the 2n-th, over and over."""

    def __init__(self, n=500):
        self.n, self.count = n, 0

    def on_tick(self, ctx, tick):
        if tick["code"] == "2330":
            self.count += 1
            if self.count % self.n == 0:
                (ctx.sell if ctx.position("2330") else ctx.buy)("2330", 1)


def run(strategy, tmp_path, name="d", **kwargs):
    kwargs.setdefault("reports", False)
    return run_backtest(strategy, ["2330:Stock"], DAY, DAY, data_dir=tmp_path / name, **kwargs)


def test_runs_that_end_in_the_same_second_keep_their_own_records(tmp_path, monkeypatch):
    class Frozen(datetime):
        @classmethod
        def now(cls, tz=None):
            return datetime(2024, 5, 1, 12, 0, 0)
    monkeypatch.setattr(outputs, "datetime", Frozen)
    first = run(EveryN(400), tmp_path, "same", reports=True)
    second = run(EveryN(700), tmp_path, "same", reports=True)
    assert first.folder != second.folder and second.folder.endswith("-EveryN-2")
    for result in (first, second):
        (records,) = [p for p in result.files if p.endswith("_trade_records.csv")]
        with open(records, encoding="utf-8") as f:
            assert sum(1 for r in csv.DictReader(f) if r["trade_status"] == "Deal") == len(
                [r for r in result.account.trade_records if r["trade_status"] == "Deal"])


def test_trade_record_exports_never_overwrite(taipei_data_dir):
    account = Positions()
    account.add_trade_record(trade_id="T" * 16, code="2330", action="Buy", quantity=1, price=600.0,
                             timestamp=1.7e9, trade_status="Deal")
    before = datetime.now().replace(microsecond=0)
    account.export_trade_records()
    account.export_trade_records()
    names = sorted(os.listdir(taipei_data_dir / "trade_records"))
    assert len(names) == 2
    stamp = datetime.strptime(names[0][:17], "%Y-%m-%d_%H%M%S")  # to the second
    assert re.fullmatch(r"\d{4}-\d\d-\d\d_\d{6}_trade_records(-2)?\.csv", names[0]) and stamp >= before


def test_a_run_without_ticks_of_its_instruments_is_an_error(tmp_path, capsys):
    run(EveryN(), tmp_path, "cache")  # fills the cache: 2330 and the benchmark
    for path in (tmp_path / "cache" / "sino" / "ticks").glob("2330 *"):
        path.unlink()
    with pytest.raises(NoTicks, match="2330"):
        run(EveryN(), tmp_path, "cache", source=CacheOnlyMarket())


def test_a_benchmark_missing_from_the_cache_is_a_warning(tmp_path):
    run(EveryN(), tmp_path, "cache")
    for path in (tmp_path / "cache" / "sino" / "ticks").glob("0050 *"):
        path.unlink()
    result = run(EveryN(), tmp_path, "cache", source=CacheOnlyMarket(), reports=True)
    assert any("0050" in w for w in result.warnings) and result.ticks > 0
    assert any(p.endswith("2330-profit_report.html") for p in result.files)


class CountingCache(CacheOnlyMarket):
    def __init__(self):
        super().__init__()
        self.asked = []

    def ticks(self, contract, date):
        self.asked.append((contract.code, date))
        return super().ticks(contract, date)


def test_a_day_missing_from_the_cache_is_asked_for_once(tmp_path):
    run(EveryN(), tmp_path, "cache")
    missing = sorted((tmp_path / "cache" / "sino" / "ticks").glob("0050 *"))[:2]
    for path in missing:
        path.unlink()
    source = CountingCache()
    run(EveryN(), tmp_path, "cache", source=source)
    assert sorted(source.asked) == sorted(("0050", p.name.split()[1]) for p in missing)


class Exits(Strategy):
    def on_tick(self, ctx, tick):
        raise SystemExit(0)


class Storm(Strategy):
    def on_tick(self, ctx, tick):
        if not ctx.pending_orders:
            ctx.buy("2330", 1, 1.0)

    def on_order_report(self, ctx, report):
        ctx.buy("2330", 1, 1.0)  # every report places another order


class Mute(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class Unspeakable(Strategy):
    def on_tick(self, ctx, tick):
        raise Mute()


@pytest.mark.parametrize("mode", ["direct", "paced"])
@pytest.mark.parametrize("strategy, message", [
    (Exits, "SystemExit"), (Storm, f"超過 {MAX_REPORTS_PER_TICK:,} 筆"), (Unspeakable, "Mute: (錯誤訊息無法顯示)")])
def test_a_strategy_that_exits_storms_or_cannot_say_why_fails_its_run(tmp_path, mode, strategy, message):
    with pytest.raises(StrategyError, match=re.escape(message)):
        run(strategy(), tmp_path, mode=mode)


class LateBurst(Strategy):
    """Sets its callbacks in on_start; its first tick places a burst of orders, and `reader`
    adds a report callback that places none."""

    def __init__(self, reader):
        self.reader, self.seen = reader, {"tick": 0, "bar": 0, "report": 0}

    def on_start(self, ctx):
        self.on_tick = self.tick
        self.on_bar = lambda ctx, bar: self.count("bar")
        if self.reader:
            self.on_order_report = lambda ctx, report: self.count("report")

    def count(self, name):
        self.seen[name] += 1

    def tick(self, ctx, tick):
        self.count("tick")
        for _ in range(12 if self.seen["tick"] == 1 else 0):
            ctx.buy("2330", 1)


@pytest.mark.parametrize("mode", ["direct", "paced"])
@pytest.mark.parametrize("reader", [False, True], ids=["unread", "read"])
def test_callbacks_set_in_on_start_are_called_and_a_burst_of_orders_is_no_storm(tmp_path, monkeypatch, mode, reader):
    import orva_backtest.engine.runner as runner
    monkeypatch.setattr(runner, "MAX_REPORTS_PER_TICK", 5)
    strategy = LateBurst(reader)
    result = run(strategy, tmp_path, mode=mode)
    assert sum(r["trade_status"] == "Deal" for r in result.account.trade_records) == 12
    assert strategy.seen == {"tick": result.ticks, "bar": len(result.quotes.get_kbar("2330", "m", 1)),
                             "report": 12 if reader else 0}  # each order's acceptance


def test_a_folder_named_like_a_pattern_is_read_as_a_name(tmp_path, console):
    from orva_backtest.tick_import import import_tick_file
    first = run(EveryN(400), tmp_path, "runs[1]")
    again = run(EveryN(400), tmp_path, "runs[1]", source=CacheOnlyMarket())  # from its copies
    assert not [line for line in console.lines if "無法讀回" in line]
    assert [r["price"] for r in again.account.trade_records] == [r["price"] for r in first.account.trade_records]
    day = pl.read_csv((tmp_path / "runs[1]" / "sino" / "ticks" / f"2330 {DAY} - ticks.csv").read_bytes())
    for n, (name, rows) in enumerate([("in[1].csv", 20), ("in[1].parquet", day.height)]):
        path, folder = tmp_path / name, f"imported[{n}]"
        (day.head(rows).write_csv if name.endswith("csv") else day.write_parquet)(path)
        import_tick_file(str(path), "2330", "Stock", str(tmp_path / folder))
        assert run(EveryN(5), tmp_path, folder, source=CacheOnlyMarket()).ticks == rows


def test_failed_paced_runs_leave_no_replay_thread(tmp_path):
    def replays():
        return [t for t in threading.enumerate() if t.name == "orva-ticker-replay"]
    before = set(replays())
    for i in range(3):
        with pytest.raises(StrategyError):
            run(Unspeakable(), tmp_path, f"p{i}", mode="paced")
    for thread in set(replays()) - before:
        thread.join(timeout=30)
    assert set(replays()) <= before


@pytest.mark.parametrize("backfill", [("2024-03-01", "2024-03-04"), ("2024-03-05", "2024-03-06"),
                                      ("2024-03-01", "2024-02-28")])
def test_a_backfill_must_come_before_the_run(tmp_path, backfill):
    with pytest.raises(ValueError, match="回補"):
        run(EveryN(), tmp_path, backfill_start=backfill[0], backfill_end=backfill[1])


def test_no_csv_cell_runs_as_a_spreadsheet_formula(taipei_data_dir):
    account = Positions()
    for action, price, ts in (("Buy", 10.0, 1.7e9), ("Sell", 9.0, 1.7e9 + 60)):
        account.add_trade_record(trade_id="=HYPERLINK(1)", code="-2+3", action=action, quantity=1,
                                 price=price, timestamp=ts, trade_status="Deal")
        account.set_positions(fill(action, 1, price, ts=ts, code="@SUM"), "Stock")
    account.export_trade_records()
    (exported,) = (taipei_data_dir / "trade_records").iterdir()
    row = next(csv.DictReader(open(exported, encoding="utf-8")))
    assert (row["trade_id"], row["code"], row["price"]) == ("'=HYPERLINK(1)", "'-2+3", "10.0")
    quotes = QuoteManager()
    quotes.add_tick(tick("@SUM", 9.0, ts=1.7e9 + 60))
    account.generate_qs_profit_report("@SUM", quotes)
    profit = pd.read_csv(taipei_data_dir / "profit_report" / "@SUM-profit_report.csv", encoding="utf-8-sig")
    assert profit["code"].tolist() == ["'@SUM"] and profit["profit"].iloc[0] < 0  # numbers stay numbers
    table = utils.spreadsheet_safe(pl.DataFrame({"a": ["+1+1", "ok", "\t=x"], "n": [-1, 2, 3]}))
    assert table.to_dict(as_series=False) == {"a": ["'+1+1", "ok", "'\t=x"], "n": [-1, 2, 3]}


TEXTS = ["=HYPERLINK(1)", "-2+3", "@SUM", "\t=x", "-1.5", "+7", "1e-3", "ok", None]
GUARDED = ["'=HYPERLINK(1)", "'-2+3", "'@SUM", "'\t=x", "-1.5", "+7", "1e-3", "ok", None]


@pytest.mark.parametrize("kind", ["polars", "pandas object", "pandas string"])
def test_the_csv_guard_quotes_formulas_in_every_text_column_and_never_a_number(kind):
    if kind == "polars":
        guarded = utils.spreadsheet_safe(pl.DataFrame({"text": TEXTS, "n": range(len(TEXTS))}))
        texts, numbers = guarded["text"].to_list(), guarded["n"].to_list()
    else:  # object: texts among other values (on every pandas); string: pandas' own text dtype
        column = pd.Series(TEXTS + [-4], dtype=object) if kind == "pandas object" else pd.Series(TEXTS, dtype="string")
        guarded = utils.spreadsheet_safe(pd.DataFrame({"text": column, "n": range(len(column))}))
        texts = [None if value is pd.NA else value for value in guarded["text"]]
        numbers = guarded["n"].tolist()
    assert texts == GUARDED + ([-4] if kind == "pandas object" else [])
    assert numbers == list(range(len(texts)))


def test_trade_ids_reach_the_csv_as_the_account_has_them(console):
    matcher = Matcher()
    ids = [matcher._Matcher__get_random_uuid() for _ in range(3000)]  # one in 64 drew a leading "-"
    assert all(len(i) == 16 and set(i) <= ID_ALPHABET for i in ids) and len(set(i[0] for i in ids)) > 32
    assert not [i for i in ids if i[0] in "=+-@"]
    assert utils.spreadsheet_safe(pl.DataFrame({"trade_id": ids}))["trade_id"].to_list() == ids


def test_interrupted_start_up_is_an_interruption(monkeypatch, capsys):
    import orva_backtest.cli as cli

    def interrupted(*args, **kwargs):
        try:
            raise KeyboardInterrupt
        except KeyboardInterrupt as error:
            raise ImportError("Encountered an error while initializing the extension.") from error
    monkeypatch.setattr(cli, "_backtest", interrupted)
    assert run_cli(["demo"]) == 130 and "已中止" in capsys.readouterr().err


# A Ctrl-C inside a library may surface as its own error with no KeyboardInterrupt in the
# chain: polars' panic (a BaseException), or nanobind's failed module start. The command's
# own process counts the Ctrl-C itself.
@pytest.mark.parametrize("raised, pressed, status", [
    ("Panic", True, 130), ("ImportError", True, 130), ("Panic", False, 1), ("ImportError", False, 1),
    ("None", True, 130), ("None", False, 0)])  # None: the library swallows it and goes on
def test_a_ctrl_c_a_library_reports_as_its_own_error_is_still_an_interruption(raised, pressed, status):
    done = run_python(f"""
        import os, signal, sys, time
        import orva_backtest.cli as cli

        class Panic(BaseException):
            pass

        def start(*args, **kwargs):
            if {pressed}:
                try:
                    os.kill(os.getpid(), signal.SIGINT)
                    time.sleep(30)
                except KeyboardInterrupt:
                    pass  # the library swallows it
            failure = {raised}
            if failure is not None:
                raise failure("the library failed")

        cli._backtest = start
        sys.argv = ["orva-backtest", "demo"]
        cli.entry_point()
    """)
    assert done.returncode == status, done.stderr
    assert ("已中止" in done.stderr) == pressed


def test_a_ctrl_c_counts_for_the_command_it_stopped_only():
    # A host that runs the command again after one was stopped, as a library, and on a thread.
    done = run_python("""
        import json, os, signal, sys, threading, time
        import orva_backtest.cli as cli

        def pressed(*args, **kwargs):
            try:
                os.kill(os.getpid(), signal.SIGINT)
                time.sleep(30)
            except KeyboardInterrupt:
                raise RuntimeError("the library failed") from None

        def failing(*args, **kwargs):
            raise RuntimeError("a real error")

        statuses = []
        def entry(*argv):
            sys.argv = ["orva-backtest", *argv]
            try:
                cli.entry_point()
            except SystemExit as done:
                statuses.append(done.code)

        cli._backtest = pressed
        entry("demo")
        cli._backtest = failing
        entry("demo")
        statuses.append(cli.run_cli(["demo"]))
        worker = threading.Thread(target=entry, args=("--version",))
        worker.start()
        worker.join()
        print(json.dumps(statuses))
    """)
    assert json.loads(done.stdout.strip().splitlines()[-1]) == [130, 1, 1, 0], done.stderr
    assert done.stderr.count("錯誤: RuntimeError: a real error") == 2


class LastBar(Strategy):
    def __init__(self):
        self.ends = []

    def on_tick(self, ctx, tick):
        ctx.tick = None  # the strategy clears what it was handed

    def on_bar(self, ctx, bar):
        self.ends.append((bar["dt"], ctx.now))


def in_both_modes(make, tmp_path, seen):
    """{mode: seen(strategy)} of a fresh strategy run in the direct and in the paced mode."""
    found = {}
    for mode in ("direct", "paced"):
        strategy = make()
        run(strategy, tmp_path, mode, mode=mode)
        found[mode] = seen(strategy)
    return found


def test_the_last_bars_see_the_same_tick_in_both_modes(tmp_path):
    seen = in_both_modes(LastBar, tmp_path, lambda s: s.ends)
    assert seen["direct"] and seen["direct"] == seen["paced"]


class Sequence(Strategy):
    """Orders from bars; records the order of callbacks per tick."""

    def __init__(self):
        self.events = []

    def on_bar(self, ctx, bar):
        self.events.append(("bar", ctx.tick["timestamp"]))
        if not ctx.pending_orders:
            (ctx.sell if ctx.position("2330") else ctx.buy)("2330", 1)

    def on_tick(self, ctx, tick):
        if tick["code"] == "2330":
            self.events.append(("tick", tick["timestamp"]))

    def on_order_report(self, ctx, report):
        self.events.append(("order", ctx.tick["timestamp"]))


def test_reports_of_orders_placed_on_a_bar_come_before_that_tick_in_both_modes(tmp_path):
    events = in_both_modes(Sequence, tmp_path, lambda s: s.events)
    assert events["direct"] == events["paced"]
    at = events["direct"].index(next(e for e in events["direct"] if e[0] == "order"))
    assert events["direct"][at - 1][0] == "bar" and events["direct"][at + 1][0] == "tick"


def test_a_bar_feed_sees_every_tick_after_a_clear():
    quotes = QuoteManager()
    feed = BarFeed(quotes, [("2330", "m", 1)])
    base = datetime(2024, 3, 4, 9, 0).timestamp()
    for minute in range(3):
        quotes.add_tick(tick("2330", 600.0 + minute, ts=base + 60 * minute + 5))
        feed.update("2330")
    quotes.clear_ticks()
    bars = []
    for minute in range(10, 14):
        quotes.add_tick(tick("2330", 700.0 + minute, ts=base + 60 * minute + 5))
        bars += feed.update("2330")
    bars += feed.close()
    expected = quotes.get_kbar("2330", "m", 1)
    assert [(b["dt"], b["Close"]) for b in bars] == list(zip(expected["dt"], expected["Close"]))
    assert bars[0]["Close"] == 710.0


def test_context_positions_and_order_ids_with_shorts_and_two_resting_orders(console):
    from orva_backtest.modules.matcher.matcher import Matcher
    from orva_backtest.strategy import Context
    account = Positions()
    matcher = Matcher(account)
    ctx = Context(account, matcher, QuoteManager(), {"2330": "Stock"})
    matcher.set_current_tick(tick("2330", 600.0))
    low, high = ctx.buy("2330", 1, 590.0), ctx.buy("2330", 2, 595.0)
    assert low != high
    assert {o["trade_id"]: (o["price"], o["quantity"]) for o in ctx.pending_orders} == {
        low: (590.0, 1), high: (595.0, 2)}
    ctx.cancel_order(low)
    assert [o["trade_id"] for o in ctx.pending_orders] == [high]
    account.set_positions(fill("Sell", 1, 600.0), "Stock")
    assert ctx.position("2330") == -1


def test_a_break_even_round_trip_is_not_a_win(console):
    from orva_backtest.result import instrument_summaries
    account = Positions()
    account.update_fee_settings("stock", fee=0.0, tax=0.0, per_trade_cost=0)
    for action in ("buy", "sell"):
        account.update_fee_settings("stock", action=action, tick_count=0)
    account.set_positions(fill("Buy", 1, 600.0), "Stock")
    account.set_positions(fill("Sell", 1, 600.0), "Stock")
    summary = instrument_summaries(account, ["2330"])["2330"]
    assert (summary.round_trips, summary.wins, summary.net_profit) == (1, 0, 0.0)


def test_fee_option_sets_the_fee_rate(tmp_path, capsys):
    strategy = tmp_path / "show.py"
    strategy.write_text("from orva_backtest import Strategy\n"
                        "class Show(Strategy):\n"
                        "    def on_start(self, ctx):\n"
                        "        s = ctx.account.fee_settings['stock']\n"
                        "        print('RATES', s['fee'], s['tax'])\n")
    assert run_cli(["run", str(strategy), "--codes", "2330:stock", "--start", DAY, "--end", DAY,
                    "--data-dir", str(tmp_path / "d"), "--no-reports", "--fee", "stock=0.01"]) == 0
    assert "RATES 0.01 0.003" in capsys.readouterr().out


@pytest.mark.parametrize("codes, message", [("2330:Future", "不是期貨代碼"), ("2330:Bond", "不支援的市場")])
def test_codes_that_cannot_be_their_market_are_refused(tmp_path, capsys, codes, message):
    strategy = tmp_path / "hold.py"
    strategy.write_text("from orva_backtest import Strategy\nclass Hold(Strategy):\n    pass\n")
    assert run_cli(["run", str(strategy), "--codes", codes, "--start", DAY, "--end", DAY,
                    "--data-dir", str(tmp_path / "d")]) == 1
    assert message in capsys.readouterr().err


@pytest.mark.parametrize("args, message", [
    (["--param", "x={[1]: 2}"], "--param x"), (["--grid", "a=(1,2"], "未配對")])
def test_unbuildable_values_name_their_option(tmp_path, capsys, args, message):
    strategy = tmp_path / "hold.py"
    strategy.write_text("from orva_backtest import Strategy\nclass Hold(Strategy):\n"
                        "    def __init__(self, x=0, a=0):\n        pass\n")
    command = "sweep" if args[0] == "--grid" else "run"
    assert run_cli([command, str(strategy), "--codes", "2330", "--start", DAY, "--end", DAY,
                    "--data-dir", str(tmp_path / "d"), *args]) == 1
    err = capsys.readouterr().err
    assert message in err and len(err.strip().splitlines()) == 1
