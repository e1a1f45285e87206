"""A 16-task parameter sweep on a local Dask cluster of 1 and of 2 worker processes: wall time of
the whole sweep (cluster start, cache read, tasks, table and heat map) and the speed-up.

Run on an otherwise idle machine (the figure is only as good as the cores are free):

    ORVA_CONSOLE=off python bench/sweep_bench.py [--repeat 3] [--end 2024-03-08] [--reports]

The runs alternate between the two cluster sizes, so a passing load spreads over both; the best
run of each size counts. The tick cache is filled by an untimed first sweep.
"""
import argparse
import os
import shutil
import tempfile
import time

from rich.console import Console
from rich.table import Table

from orva_backtest.examples import ma_crossover
from orva_backtest.sweep import run_sweep

GRID = {"fast": [3, 5, 8, 13], "slow": [20, 30, 40, 60]}  # 16 tasks
START = "2024-03-04"


def sweep(workers, data_dir, end, reports):
    folder = tempfile.mkdtemp(prefix=f"sweep-{workers}-", dir=data_dir)
    try:
        began = time.perf_counter()
        result = run_sweep(ma_crossover.__file__, GRID, ["2330:Stock"], START, end, data_dir=data_dir,
                           folder=folder, workers=workers, reports=reports)
        wall = time.perf_counter() - began
        if len(result.failed):
            raise SystemExit(f"{len(result.failed)} tasks failed: {result.failed['error'].to_list()}")
        return wall, result.table["seconds"].sum(), result.table["ticks"][0]
    finally:
        shutil.rmtree(folder)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--end", default="2024-03-08", help="last day of the backtests")
    parser.add_argument("--reports", action="store_true", help="every task writes its reports too")
    args = parser.parse_args()
    data_dir = tempfile.mkdtemp(prefix="orva-sweep-bench-")
    try:
        sweep(2, data_dir, args.end, args.reports)  # fills the tick cache, untimed
        runs = {1: [], 2: []}
        loads = [os.getloadavg()[0]]
        for _ in range(args.repeat):
            for workers in (1, 2):
                runs[workers].append(sweep(workers, data_dir, args.end, args.reports))
                loads.append(os.getloadavg()[0])
    finally:
        shutil.rmtree(data_dir)
    table = Table(title=f"16-task sweep, MovingAverageCrossover on 2330 {START} ~ {args.end}, "
                        f"reports {'on' if args.reports else 'off'}")
    for column in ("workers", "best wall s", "all walls s", "task seconds (sum)", "ticks per task"):
        table.add_column(column, justify="right")
    for workers, done in runs.items():
        best = min(done)
        table.add_row(str(workers), f"{best[0]:.1f}", ", ".join(f"{w:.1f}" for w, _, _ in done),
                      f"{best[1]:.1f}", f"{best[2]:,}")
    console = Console()
    console.print(table)
    console.print(f"speed-up on 2 workers: {min(runs[1])[0] / min(runs[2])[0]:.2f}x "
                  f"(1-minute load average during the runs: {min(loads):.2f} to {max(loads):.2f}, "
                  f"{os.cpu_count()} cores)")


if __name__ == "__main__":
    main()
