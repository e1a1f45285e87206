"""Whole backtests through the runner, both replay modes, beside the paced replay's floor.

Each run is its own process, so its peak memory is its own."""
import json
import os
import subprocess
import sys
import tempfile

SUBSYSTEM = "runner"
INSTRUMENTS = ["2330:Stock", "2317:Stock", "TXFR1:Future"]
RUN = """
import json, os, resource, sys, time
from orva_backtest import Strategy
from orva_backtest.examples.ma_crossover import MovingAverageCrossover
from orva_backtest.runner import run_backtest

class Idle(Strategy):
    pass

strategy = MovingAverageCrossover() if sys.argv[1] == "demo" else Idle()
result = run_backtest(strategy, {instruments!r}, "2024-03-04", sys.argv[3], data_dir=sys.argv[4],
                      mode=sys.argv[2], reports=False, capital=10_000_000)
print(json.dumps({{"ticks": result.ticks, "seconds": result.seconds,
                   "peak_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}}))
"""


def _run(strategy, mode, end, data_dir):
    env = {**os.environ, "ORVA_CONSOLE": "off"}
    done = subprocess.run([sys.executable, "-c", RUN.format(instruments=INSTRUMENTS), strategy, mode, end,
                           data_dir], capture_output=True, text=True, env=env, check=True)
    figures = json.loads(done.stdout.strip().splitlines()[-1])
    return figures["ticks"], (f"ticks ({figures['ticks'] / figures['seconds']:,.0f}/s in the loop, "
                              f"peak {figures['peak_mb']:,.0f} MB)")


def throughputs(quick):
    end = "2024-03-15" if quick else "2024-04-12"  # about 400,000 or 1,000,000 ticks
    data_dir = os.path.join(tempfile.gettempdir(), "orva-runner-bench")
    _run("idle", "direct", end, data_dir)  # fills the tick cache, untimed
    return [(f"runner {strategy} strategy, {mode} mode, 3 instruments",
             lambda strategy=strategy, mode=mode: _run(strategy, mode, end, data_dir))
            for strategy in ("idle", "demo") for mode in ("direct", "paced")]


def cases():
    return []
