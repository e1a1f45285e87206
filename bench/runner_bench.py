"""Whole backtests through the command line and the runner's Python API, direct mode, over
about 1,000,000 synthetic ticks of three instruments (the tick cache warm), beside the
paced replay's floor: two thread hand-offs per tick.

Each run is its own process, so its peak memory is its own; memory is reported against the
merged tick table of the same days (as the paced mode builds it).
"""
import json
import os
import subprocess
import sys
import tempfile

import ticker_bench

SUBSYSTEM = "runner"
HERE = os.path.dirname(os.path.abspath(__file__))
INSTRUMENTS = ["2330:Stock", "2317:Stock", "TXFR1:Future"]
START = "2024-03-04"
STRATEGIES = {  # name -> (file, class)
    "no per-tick callback": (os.path.join(HERE, "runner_strategies.py"), "Idle"),
    "demo (moving-average crossover)": (None, "MovingAverageCrossover"),
    "on_bar, 1-minute bars of all three": (os.path.join(HERE, "runner_strategies.py"), "BarMomentum"),
}

API_RUN = """
import json, resource, sys
from orva_backtest.engine.runner import run_backtest, use_taiwan_time
from orva_backtest.engine.strategy import Strategy

def rss_mb():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("VmRSS")) / 1024

path, name, end, data_dir = sys.argv[1:5]
if path == "None":
    from orva_backtest.examples.ma_crossover import MovingAverageCrossover as cls
else:
    from importlib.machinery import SourceFileLoader
    cls = getattr(SourceFileLoader("bench_strategies", path).load_module(), name)
use_taiwan_time()
import orva_backtest.modules.matcher.matcher, orva_backtest.modules.positions.positions  # noqa
import orva_backtest.modules.ticker.ticker, orva_backtest.data  # noqa
before = rss_mb()
result = run_backtest(cls(), {instruments!r}, {start!r}, end, data_dir=data_dir, reports=False,
                      capital=10_000_000)
print(json.dumps({{"ticks": result.replayed, "seconds": result.seconds, "before_mb": before,
                   "peak_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}}))
"""

TABLE_SIZE = """
import sys
from orva_backtest.constant import BASIC_INFO
from orva_backtest.data import SyntheticMarket
from orva_backtest.modules.ticker.ticker import Ticker
from orva_backtest.engine.runner import BENCHMARK, parse_instruments, use_taiwan_time
use_taiwan_time()
BASIC_INFO.data_dir = sys.argv[2]
codes = parse_instruments({instruments!r} + [BENCHMARK + ":Stock"])
table = Ticker(SyntheticMarket())._Ticker__process_and_combine_ticks(codes, {start!r}, sys.argv[1])
print(table.estimated_size() / 2**20)
"""


def _python(script, *args):
    env = {**os.environ, "ORVA_CONSOLE": "off"}
    done = subprocess.run([sys.executable, "-c", script, *map(str, args)], capture_output=True,
                          text=True, env=env, check=True)
    return done.stdout.strip().splitlines()[-1]


def _cli(strategy, end, data_dir):
    path, name = STRATEGIES[strategy]
    if path is None:
        import orva_backtest.examples.ma_crossover as demo
        path = demo.__file__
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "run.json")
        subprocess.run([sys.executable, "-m", "orva_backtest", "run", path, "--strategy-class", name,
                        "--codes", ",".join(INSTRUMENTS), "--start", START, "--end", end,
                        "--capital", "10000000", "--mode", "direct", "--no-reports", "--json", out,
                        "--data-dir", data_dir], check=True, capture_output=True,
                       env={**os.environ, "ORVA_CONSOLE": "off"})
        with open(out, encoding="utf-8") as f:
            figures = json.load(f)
    return figures["ticks"], f"ticks ({figures['ticks_per_second']:,.0f}/s in the loop)"


def _api(strategy, end, data_dir, table_mb):
    path, name = STRATEGIES[strategy]
    figures = json.loads(_python(API_RUN.format(instruments=INSTRUMENTS, start=START), path, name,
                                 end, data_dir))
    grown = figures["peak_mb"] - figures["before_mb"]
    return figures["ticks"], (f"ticks ({figures['ticks'] / figures['seconds']:,.0f}/s in the loop; "
                              f"peak {figures['peak_mb']:,.0f} MB, {grown:,.0f} MB above the "
                              f"imports = {grown / table_mb:.2f}x the {table_mb:.0f} MB merged table)")


def throughputs(quick):
    end = "2024-03-15" if quick else "2024-04-12"  # about 400,000 or 1,000,000 ticks
    data_dir = os.path.join(tempfile.gettempdir(), "orva-runner-bench")
    _api("no per-tick callback", end, data_dir, 1.0)  # fills the tick cache, untimed
    table_mb = float(_python(TABLE_SIZE.format(instruments=INSTRUMENTS, start=START), end, data_dir))
    runs = [(f"orva-backtest run --mode direct: {strategy}",
             lambda strategy=strategy: _cli(strategy, end, data_dir)) for strategy in STRATEGIES]
    runs += [(f"run_backtest, direct: {strategy}",
              lambda strategy=strategy: _api(strategy, end, data_dir, table_mb)) for strategy in STRATEGIES]
    items = 100_000 if quick else 300_000
    runs.append(("paced floor: two queue hand-offs per tick, 2 threads",
                 lambda: ticker_bench.floor(items)))
    return runs


def cases():
    return []
