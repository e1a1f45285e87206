"""Per-call costs through the Python face, as one table.

Run: ORVA_CONSOLE=off python bench/run.py [--repeat N]  (with orva_backtest installed;
the console is off because printing would dominate the figures)
Each subsystem adds its cases in a `<subsystem>_bench.py` beside this file.
"""
import argparse
import timeit

from rich.console import Console
from rich.table import Table

import matcher_bench
import positions_bench

SUITES = [positions_bench, matcher_bench]


def time_case(fn, repeat):
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    best = min(timer.repeat(repeat=repeat, number=number))
    return best / number


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5, help="timing rounds; the best is kept")
    args = parser.parse_args()
    table = Table(title="orva_backtest per-call cost (best of rounds)")
    for column in ("subsystem", "case", "µs per call", "calls per second"):
        table.add_column(column, justify="right" if "call" in column else "left")
    for suite in SUITES:
        for name, fn in suite.cases():
            seconds = time_case(fn, args.repeat)
            table.add_row(suite.SUBSYSTEM, name, f"{seconds * 1e6:.3f}", f"{1 / seconds:,.0f}")
    Console(width=110).print(table)


if __name__ == "__main__":
    main()
