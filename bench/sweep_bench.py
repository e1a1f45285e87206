"""A 16-task parameter sweep on a local Dask cluster of 1 and of 2 worker processes: wall time of
the whole sweep (cluster start, cache read, tasks, table and heat map) and the speed-up.

Run on an otherwise idle machine (the figure is only as good as the cores are free):

    ORVA_CONSOLE=off python bench/sweep_bench.py [--repeat 3] [--end 2024-03-08] [--no-reports]

Every task writes its trade records and reports, as a sweep does by default. Without them a
task of a week's ticks takes a fraction of a second in the direct replay, and the sweep's fixed
costs (starting the cluster, filling the cache, the table) cap the speed-up instead.

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
from orva_backtest.research.sweep import run_sweep

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
    parser.add_argument("--no-reports", dest="reports", action="store_false",
                        help="tasks write no trade records or reports")
    args = parser.parse_args()
    data_dir = tempfile.mkdtemp(prefix="orva-sweep-bench-")
    runs = []  # (workers, wall, task seconds, ticks, load before, load after)
    try:
        sweep(2, data_dir, args.end, args.reports)  # fills the tick cache, untimed
        for _ in range(args.repeat):
            for workers in (1, 2):
                before = os.getloadavg()[0]
                runs.append((workers, *sweep(workers, data_dir, args.end, args.reports), before,
                             os.getloadavg()[0]))
    finally:
        shutil.rmtree(data_dir)
    table = Table(title=f"16-task sweep, MovingAverageCrossover on 2330 {START} ~ {args.end}, "
                        f"reports {'on' if args.reports else 'off'}, {os.cpu_count()} cores")
    for column in ("workers", "wall s", "task seconds (sum)", "ticks per task", "load before → after"):
        table.add_column(column, justify="right")
    for workers, wall, seconds, ticks, before, after in runs:
        table.add_row(str(workers), f"{wall:.1f}", f"{seconds:.1f}", f"{ticks:,}", f"{before:.2f} → {after:.2f}")
    console = Console()
    console.print(table)
    best = {workers: min(run[1] for run in runs if run[0] == workers) for workers in (1, 2)}
    console.print(f"speed-up on 2 workers (best of each): {best[1] / best[2]:.2f}x "
                  f"({best[1]:.1f} s → {best[2]:.1f} s)")


if __name__ == "__main__":
    main()
