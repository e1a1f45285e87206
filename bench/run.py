"""Per-call costs and throughputs through the Python face, as tables.

Run: ORVA_CONSOLE=off python bench/run.py [--repeat N] [--quick] [--only SUBSYSTEM]  (with orva_backtest
installed; the console is off because printing would dominate the figures)

Each subsystem adds a `<subsystem>_bench.py` beside this file with
- cases(): (name, fn) pairs timed per call, or (name, fn, setup) where setup
  runs untimed before every call;
- optionally throughputs(quick): (name, run) pairs; run() returns (items, unit)
  and is timed once.
"""
import argparse
import time
import timeit

from rich.console import Console
from rich.table import Table

import matcher_bench
import positions_bench
import quotes_bench
import reports_bench
import runner_bench
import ticker_bench

SUITES = [positions_bench, matcher_bench, ticker_bench, quotes_bench, reports_bench, runner_bench]


def time_case(case, repeat):
    name, fn, *setup = case
    if setup:
        best = float("inf")
        for _ in range(repeat * 20):
            setup[0]()
            start = time.perf_counter()
            fn()
            best = min(best, time.perf_counter() - start)
        return best
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=repeat, number=number)) / number


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5, help="timing rounds; the best is kept")
    parser.add_argument("--quick", action="store_true", help="shorter throughput loops")
    parser.add_argument("--only", choices=[suite.SUBSYSTEM for suite in SUITES],
                        help="one subsystem's figures")
    args = parser.parse_args()
    suites = [suite for suite in SUITES if args.only in (None, suite.SUBSYSTEM)]
    console = Console(width=120)

    per_call = Table(title="orva_backtest per-call cost (best of rounds)")
    for column in ("subsystem", "case", "µs per call", "calls per second"):
        per_call.add_column(column, justify="right" if "call" in column else "left")
    for suite in suites:
        for case in suite.cases():
            seconds = time_case(case, args.repeat)
            per_call.add_row(suite.SUBSYSTEM, case[0], f"{seconds * 1e6:.3f}", f"{1 / seconds:,.0f}")
    console.print(per_call)

    loops = Table(title="orva_backtest throughput (one timed run)")
    for column in ("subsystem", "loop", "items", "seconds", "items per second"):
        loops.add_column(column, justify="left" if column in ("subsystem", "loop") else "right")
    for suite in suites:
        for name, run in getattr(suite, "throughputs", lambda quick: [])(args.quick):
            start = time.perf_counter()
            items, unit = run()
            seconds = time.perf_counter() - start
            loops.add_row(suite.SUBSYSTEM, name, f"{items:,} {unit}", f"{seconds:.2f}",
                          f"{items / seconds:,.0f}")
    console.print(loops)


if __name__ == "__main__":
    main()
