"""Work started in a forked process: polars' threads are not there once it has run in the
parent, and its first query would wait for them forever."""
import sys

import pytest

from process_helpers import run_python

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="no fork")

PROLOGUE = """
    import os
    from orva_backtest import Strategy, run_backtest

    def run():
        run_backtest(Strategy(), ["2330:Stock"], "2024-03-04", "2024-03-04", data_dir=DATA, reports=False)

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


FORKS = {
    "before any run": ("in_child(run)", "ran"),
    "after a run": ("run(); in_child(run)", "refused"),
    # the child's own scan finds no polars threads: what its parent saw is passed down
    "from a child of a run": ("run(); in_child(lambda: in_child(run))", "refused"),
}


@pytest.mark.parametrize("script, outcome", FORKS.values(), ids=list(FORKS))
def test_a_forked_child_runs_or_refuses_at_once(script, outcome, tmp_path):
    done = run_python(prologue(tmp_path) + "    " + script, timeout=240)
    assert done.returncode == 0, done.stderr
    first = done.stdout.splitlines()[0]
    assert first.split(":")[0] == outcome
    if outcome == "refused":
        assert "run_backtest" in first and '"spawn"' in first


def test_every_entry_point_refuses_in_a_child_forked_after_a_run(tmp_path):
    done = run_python(prologue(tmp_path) + """
    from orva_backtest import utils
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
