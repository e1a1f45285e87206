"""A process must exit cleanly whatever our methods are doing on daemon threads."""
import os
import subprocess
import sys
import textwrap

import pytest

from process_helpers import run_python

LOOP_PREAMBLE = """
import threading, time
from orva_backtest.modules.matcher.matcher import Matcher
from orva_backtest.modules.positions.positions import Positions, QuoteManager
"""

# Each body runs for ever on a daemon thread; the main thread exits under it.
LOOPS = {
    "set_positions": """
        account = Positions()
        i = 0
        while True:
            i += 1
            account.set_positions({"code": "2330", "action": "Buy" if i % 2 else "Sell", "price": 600.0,
                                   "quantity": 1, "exchange_ts": 1.7e9, "trade_id": "x" * 16,
                                   "product_type": "Stock"}, "Stock")
    """,
    "strategy loop": """
        matcher, quotes = Matcher(), QuoteManager()
        ts = 1709514000.0
        while True:
            ts += 7.0
            tick = {"market_type": "Stock", "timestamp": ts, "code": "2330", "close": 600.0 + ts % 3,
                    "qty": 2, "tick_type": 1, "is_simulate": False, "is_backfilling": False}
            matcher.set_current_tick(tick)
            quotes.add_tick(tick)
            matcher.match_deal("2330", tick["close"], tick["qty"], ts)
            matcher.add_order("2330", "Stock", "Buy" if int(ts) % 2 else "Sell", 601.0, 1, "LMT", "ROD")
            while not matcher.response_queue.empty():
                matcher.pop_response()
            if int(ts) % 5 == 0:
                quotes.get_kbar("2330", "m", 1)
    """,
}


@pytest.mark.parametrize("body", LOOPS.values(), ids=list(LOOPS))
def test_exit_while_a_daemon_thread_is_inside_our_methods(body, tmp_path):
    code = (LOOP_PREAMBLE + "def loop():\n" + textwrap.indent(textwrap.dedent(body), "    ")
            + "threading.Thread(target=loop, daemon=True).start()\ntime.sleep(0.3)\n")
    for _ in range(6):  # the crash this guards against was racy
        done = run_python(code)
        assert (done.returncode, done.stderr) == (0, "")


def test_exit_waits_for_a_fill_under_way_and_parks_the_thread_after_it():
    # The fill's booking is in a slow console call when the main thread leaves. Exit lets that
    # call finish ("done"), and the thread's next console call parks it for good, so the
    # interpreter never stops it with the exchange's and the account's frames on its stack.
    code = """
        import os, threading, time
        from orva_backtest import utils
        from orva_backtest.modules.matcher.matcher import Matcher
        started = threading.Event()
        class Slow:
            def print(self, text):
                if "進場" in text or "沖銷" in text:
                    os.write(1, b"start\\n")
                    started.set()
                    time.sleep(0.5)
                    os.write(1, b"done\\n")
        utils.console = Slow()
        def loop():
            matcher, ts = Matcher(), 1709514000.0
            while True:
                ts += 7.0
                tick = {"market_type": "Stock", "timestamp": ts, "code": "2330", "close": 600.0,
                        "qty": 5, "tick_type": 1, "is_simulate": False, "is_backfilling": False}
                matcher.set_current_tick(tick)
                matcher.add_order("2330", "Stock", "Buy", 601.0, 1, "LMT", "ROD")
                matcher.match_deal("2330", 600.0, 5, ts)
        threading.Thread(target=loop, daemon=True).start()
        started.wait(60)
    """
    for _ in range(3):
        done = run_python(code, timeout=120, ORVA_CONSOLE="on")
        assert (done.returncode, done.stderr, done.stdout) == (0, "", "start\ndone\n")


# Each construction runs host code that calls `hold()`: the intake thread's start, the
# holiday calendar's read, the iteration of the bar keys.
CONSTRUCTIONS = {
    "Matcher": """
        class Held(threading.Thread):
            def start(self):
                hold()
                super().start()
        threading.Thread = Held
        build = Matcher
    """,
    "QuoteManager": """
        import orva_backtest.trading_days as days
        holidays = days.holidays
        days.holidays = lambda: (hold(), holidays())[1]
        build = QuoteManager
    """,
    "BarFeed": """
        class Keys(list):
            def __iter__(self):
                hold()
                return super().__iter__()
        quotes = QuoteManager()
        build = lambda: BarFeed(quotes, Keys([("2330", "m", 1)]))
    """,
}


@pytest.mark.parametrize("construction", CONSTRUCTIONS.values(), ids=list(CONSTRUCTIONS))
def test_exit_waits_for_a_construction_under_way_on_a_daemon_thread(construction):
    # The main thread leaves while a constructor is in host code. Exit lets the construction
    # finish ("done") rather than let the interpreter stop the thread inside it (that unwind
    # crashed the process).
    done = run_python(f"""
        import os, threading, time
        from orva_backtest.modules.matcher.matcher import Matcher
        from orva_backtest.modules.positions.positions import BarFeed, QuoteManager
        held = threading.Event()
        def hold():
            if threading.current_thread() is not threading.main_thread():
                os.write(1, b"start\\n")
                held.set()
                time.sleep(0.5)
                os.write(1, b"done\\n")
        {textwrap.indent(textwrap.dedent(construction), " " * 8).strip()}
        threading.Thread(target=build, daemon=True).start()
        held.wait(60)
    """, timeout=120)
    assert (done.returncode, done.stderr, done.stdout) == (0, "", "start\ndone\n")


def test_busy_workers_share_one_short_exit():
    # Three intake threads each stuck in a slow console call: exit waits for
    # them together for a short grace, not for their calls nor one grace each.
    code = textwrap.dedent("""
        import time
        from orva_backtest import utils
        from orva_backtest.modules.matcher.matcher import Matcher
        class Slow:
            def print(self, text):
                time.sleep(30)
        utils.console = Slow()
        matchers = [Matcher() for _ in range(3)]
        for m in matchers:
            m.add_pending_order_queue("cancel", {"trade_id": "missing"})
        time.sleep(0.5)
    """)
    done = run_python(code, timeout=120)  # a wide safety net: the calls would take 30 s
    assert (done.returncode, done.stderr) == (0, "")


# Runs on a daemon thread; the main thread leaves `delay` seconds after `reached` is set.
DAEMON_RUNS = {
    # ...in the report phase of a run
    "writing reports": """
        class Run(Strategy):
            def on_tick(self, ctx, tick):
                if int(tick["timestamp"]) % 97 == 0:
                    (ctx.sell if ctx.position(tick["code"]) > 0 else ctx.buy)(tick["code"])
            def on_finish(self, ctx):
                reached.set()
        def run(data_dir):
            run_backtest(Run(), ["2330:Stock", "TXFR1:Future"], "2024-03-04", "2024-03-04", data_dir=data_dir)
    """,
    # ...in the direct replay's C++ loop, which calls back into Python with our frames below
    "in the replay loop": """
        class Run(Strategy):
            def on_tick(self, ctx, tick):
                reached.set()
                if int(tick["timestamp"]) % 13 == 0 and not ctx.pending_orders:
                    ctx.buy(tick["code"])
            def on_bar(self, ctx, bar):
                ctx.kbars(bar["code"])
        def run(data_dir):
            while True:
                run_backtest(Run(), ["2330:Stock"], "2024-03-04", "2024-03-06", data_dir=data_dir,
                             reports=False)
    """,
}


@pytest.mark.parametrize("delay", [0.0, 0.05, 0.5])
@pytest.mark.parametrize("run", DAEMON_RUNS.values(), ids=list(DAEMON_RUNS))
def test_exit_while_a_daemon_thread_runs_a_backtest(tmp_path, run, delay):
    done = run_python(f"""
        import threading, time
        from orva_backtest import Strategy
        from orva_backtest.runner import run_backtest
        reached = threading.Event()
        {textwrap.indent(textwrap.dedent(run), " " * 8).strip()}
        threading.Thread(target=run, args=({str(tmp_path)!r},), daemon=True).start()
        reached.wait(120)
        time.sleep({delay})
    """, timeout=180, PYTHONWARNINGS="ignore")  # the report libraries warn on short runs
    assert (done.returncode, done.stderr) == (0, "")
    assert not list(tmp_path.rglob("*.tmp-*"))


EXIT_SCRIPTS = {
    "replay waits for a permit": (4, """
        from orva_backtest.market import SyntheticMarket
        from orva_backtest.modules.ticker.ticker import Ticker
        t = Ticker(SyntheticMarket(mean_gap_seconds=120))
        t.send_ticks([{"code": "2330", "market": "Stock"}], "2024-03-04", "2024-03-04")
        t.pop_tick()
    """),
    "replay and backfill busy": (10, """
        from orva_backtest.market import SyntheticMarket
        from orva_backtest.modules.ticker.ticker import Ticker
        t = Ticker(SyntheticMarket(mean_gap_seconds=120))
        t.send_ticks([{"code": "2330", "market": "Stock"}], "2024-03-04", "2024-03-04",
                     "2024-03-01", "2024-03-01")
        for _ in range(50):
            t.allow_next_tick()
    """),
    # Workers that wake from a wait while the interpreter shuts down are stopped
    # there: their frames must free nothing (the crash hit about one run in ten).
    "workers woken at shutdown": (40, """
        import atexit

        def wake_workers():  # registered first, so it runs after the module's own exit hook
            for t in tickers:
                for _ in range(5):
                    t.allow_next_tick()
            sum(range(20_000_000))  # holds the GIL: the workers get it back only at shutdown

        atexit.register(wake_workers)
        from orva_backtest.market import SyntheticMarket
        from orva_backtest.modules.ticker.ticker import Ticker
        tickers = [Ticker(SyntheticMarket(mean_gap_seconds=120)) for _ in range(8)]
        for t in tickers:
            t.send_ticks([{"code": "2330", "market": "Stock"}], "2024-03-04", "2024-03-04",
                         "2024-03-01", "2024-03-01")
        for t in tickers:
            t.pop_tick()  # its backfill now waits for a permit
    """),
}


@pytest.mark.parametrize("runs, script", EXIT_SCRIPTS.values(), ids=list(EXIT_SCRIPTS))
def test_process_exits_cleanly_while_replay_threads_wait(runs, script, tmp_path):
    # The caller's environment too, so an editable install's rebuild finds its tools.
    env = {**os.environ, "ORVA_CONSOLE": "off", "ORVA_DATA_DIR": str(tmp_path), "TZ": "Asia/Taipei"}
    command = [sys.executable, "-c", textwrap.dedent(script)]
    for _ in range(0, runs, 2):  # two at a time: one per core
        procs = [subprocess.Popen(command, cwd=str(tmp_path), env=env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, text=True) for _ in range(2)]
        for proc in procs:
            try:  # a wide safety net against a hang, not a bound on speed
                _, stderr = proc.communicate(timeout=300)
            except subprocess.TimeoutExpired:
                for p in procs:
                    p.kill()
                raise
            assert (proc.returncode, stderr) == (0, "")
