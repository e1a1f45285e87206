"""Work started in a forked process: polars' threads are not there once it has run in the
parent, and its first query would wait for them forever."""
import sys

import pytest

from process_helpers import run_python

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="no fork")

PROLOGUE = """
    import os

    def run():  # the package is first loaded here
        from orva_backtest import Strategy, run_backtest
        return run_backtest(Strategy(), ["2330:Stock"], "2024-03-04", "2024-03-04", data_dir=DATA,
                            reports=False)

    def in_child(work):
        pid = os.fork()
        if pid == 0:
            try:
                work()
                print("ran", flush=True)
            except RuntimeError as error:
                print("refused:", error, flush=True)
            finally:
                os._exit(0)
        os.waitpid(pid, 0)
"""


def prologue(data_dir):
    return f"\n    DATA = {str(data_dir)!r}" + PROLOGUE


HOLD_RUN_LOCK = """
    import threading
    from orva_backtest.engine import runner
    held = threading.Event()
    def hold():
        runner._ONE_RUN_AT_A_TIME.acquire()
        held.set()
        threading.Event().wait()
    threading.Thread(target=hold, daemon=True).start()
    held.wait()
"""

FORKS = {
    "before any run": ("in_child(run)", "ran"),
    "after a run": ("run(); in_child(run)", "refused: run_backtest"),
    # the child finds the pool's threads missing whoever started them
    "from a child of a run": ("run(); in_child(lambda: in_child(run))", "refused: run_backtest"),
    "after a query of the parent's own": (
        "import polars as pl; pl.DataFrame({'a': [1, 2]}).sum(); in_child(run)",
        "refused: run_backtest"),
    "a result's figures": ("result = run(); in_child(result.stats)", "refused: BacktestResult"),
    # no polars yet in the parent, but a run of another thread held the lock runs take turns on
    "while another thread's run holds the run lock": (HOLD_RUN_LOCK + "    in_child(run)", "ran"),
}


@pytest.mark.parametrize("script, outcome", FORKS.values(), ids=list(FORKS))
def test_a_forked_child_runs_or_refuses_at_once(script, outcome, tmp_path):
    done = run_python(prologue(tmp_path) + "    " + script.strip(), timeout=240)
    assert done.returncode == 0, done.stderr
    first = done.stdout.splitlines()[0]
    assert first.startswith(outcome)
    if outcome != "ran":
        assert '"spawn"' in first


def test_every_entry_point_refuses_in_a_child_forked_after_a_run(tmp_path):
    done = run_python(prologue(tmp_path) + """
    from orva_backtest.data.taifex import import_taifex_files
    from orva_backtest.data.taifex_options import import_taifex_option_files
    from orva_backtest.data.tick_import import import_tick_file
    from orva_backtest.research.sweep import run_sweep
    from orva_backtest.research.walkforward import run_walkforward

    def every_entry():
        refused = []
        for call in (run, lambda: import_tick_file("x.csv", "2330", "Stock", DATA),
                     lambda: import_taifex_files(["x.zip"], "TX"),
                     lambda: import_taifex_option_files(["x.zip"], "TXO"),
                     lambda: run_sweep("s.py", {"n": [1]}, ["2330:Stock"], "2024-03-04", "2024-03-04"),
                     lambda: run_walkforward("s.py", {"n": [1]}, ["2330:Stock"], "2024-03-04",
                                             "2024-03-04", train_days=1, test_days=1)):
            try:
                call()
            except RuntimeError as error:
                refused.append(str(error).split()[0])
        print(" ".join(refused), flush=True)
        os._exit(0)

    run()
    in_child(every_entry)
    """, timeout=240)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["run_backtest", "import_tick_file", "import_taifex_files",
                                   "import_taifex_option_files", "run_sweep", "run_walkforward"]
