"""The direct replay's loop around Python strategies: 2330 (with the benchmark 0050), synthetic
ticks over four weeks, the tick cache warm, through `run_backtest` without reports: no
callbacks, an empty `on_tick`, the 50-tick mean strategy, the demo, and the 50-tick mean
compiled (needs numba; its compile, or load from numba's disk cache, is printed apart), in ticks
per second of the loop.

    ORVA_CONSOLE=off python bench/callbacks_bench.py [--repeat 3] [--data-dir DIR]

Each run is its own process; each figure is the median of the repeats, with the load average
printed beside it.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
RANGE = ("2024-03-04", "2024-03-29")
STRATEGIES = {"no callbacks": "Idle", "empty on_tick": "EmptyTick", "50-tick mean": "Mean50",
              "demo (moving-average crossover)": None, "50-tick mean, compiled": "CompiledMean50"}
FILES = {"CompiledMean50": "compiled_strategies.py"}  # the rest are in runner_strategies.py

RUN = """
import json, sys
from importlib.machinery import SourceFileLoader
from orva_backtest.engine.runner import run_backtest, use_taiwan_time
name, path, start, end, data_dir = sys.argv[1:6]
if name == "None":
    from orva_backtest.examples.ma_crossover import MovingAverageCrossover as cls
else:
    sys.path.insert(0, {here!r})
    cls = getattr(SourceFileLoader("bench_strategies", path).load_module(), name)
use_taiwan_time()
result = run_backtest(cls(), ["2330:Stock"], start, end, data_dir=data_dir, reports=False,
                      capital=10_000_000)
print(json.dumps({{"ticks": result.replayed, "seconds": result.seconds,
                  "compile": result.compile_seconds}}))
"""


def loop_rate(name, data_dir):
    """Ticks, ticks per second of one run's replay loop and its compile seconds (None unless
    compiled), in a fresh process."""
    path = os.path.join(HERE, FILES.get(name, "runner_strategies.py"))
    command = [sys.executable, "-c", RUN.format(here=HERE), str(name), path, *RANGE, data_dir]
    done = subprocess.run(command, check=True, capture_output=True, text=True,
                          env={**os.environ, "ORVA_CONSOLE": "off"})
    figures = json.loads(done.stdout.strip().splitlines()[-1])
    return figures["ticks"], figures["ticks"] / figures["seconds"], figures["compile"]


def load():
    return "load average " + ", ".join(f"{v:.2f}" for v in os.getloadavg())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--data-dir", default=os.path.join(tempfile.gettempdir(), "orva-callbacks-bench"))
    args = parser.parse_args()
    print(f"Python {sys.version.split()[0]}, {load()}")
    loop_rate("Idle", args.data_dir)  # fills the tick cache, untimed
    for label, name in STRATEGIES.items():
        rates = [loop_rate(name, args.data_dir) for _ in range(args.repeat)]
        ticks = rates[0][0]
        compiled = "" if rates[0][2] is None else (
            "; compile (first run, else the cache's load) " + ", ".join(f"{c:.2f}" for *_, c in rates) + " s")
        print(f"{label}: {ticks:,} ticks, {statistics.median(r for _, r, _ in rates):,.0f} ticks/s "
              f"(runs: {', '.join(f'{r:,.0f}' for _, r, _ in rates)}){compiled}; {load()}")


if __name__ == "__main__":
    main()
