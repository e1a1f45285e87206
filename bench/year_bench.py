"""A year of ticks through the command line: 2330 and TXFR1 (with the benchmark 0050) from
2023-07-01 to 2024-06-30, direct mode, the tick cache warm, without callbacks and with the
demo strategy. Reports the whole command's wall time and peak memory beside its replay loop's
own seconds, and the start-up of `orva-backtest --help` and of importing the engine.
`--decade` runs the same codes over ten years of the synthetic market instead (about 80M
records; the first run fills about 5.5 GB of tick cache).

    python bench/year_bench.py [--repeat 3] [--data-dir DIR] [--decade] [--only LABEL]

Each figure is the median of the repeats; the load average is printed around them.
"""
import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CLI = os.path.join(os.path.dirname(sys.executable), "orva-backtest")
CODES = "2330:Stock,TXFR1:Future"
RANGES = {"year": ("2023-07-01", "2024-06-30"), "decade": ("2016-12-01", "2026-11-30")}
STRATEGIES = {"no callbacks": (os.path.join(HERE, "runner_strategies.py"), "Idle"),
              "demo (moving-average crossover)": (None, None)}


def timed(command, env):
    """(wall seconds, peak RSS in MB) of one child process."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    began = time.perf_counter()
    subprocess.run(command, check=True, env=env, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - began
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    return wall, max(peak, before) / 1024


def fill_cache(span, data_dir, env):
    """Makes every instrument-day of the range ready in the tick cache, without a replay."""
    script = ("import sys; from orva_backtest.constant import BASIC_INFO; "
              "from orva_backtest.data import SyntheticMarket; "
              "from orva_backtest.modules.ticker.ticker import Ticker; "
              "from orva_backtest.engine.runner import use_taiwan_time; use_taiwan_time(); "
              "BASIC_INFO.data_dir = sys.argv[1]; "
              "codes = [{'code': c, 'market': m} for c, m in "
              "(('2330', 'Stock'), ('TXFR1', 'Future'), ('0050', 'Stock'))]; "
              "Ticker(SyntheticMarket()).iter_ticks(codes, sys.argv[2], sys.argv[3])")
    subprocess.run([sys.executable, "-c", script, data_dir, *span], check=True, env=env,
                   stdout=subprocess.DEVNULL)


def run_command(strategy, span, data_dir, out):
    path, name = strategy
    if path is None:
        path = os.path.join(os.path.dirname(HERE), "examples", "ma_crossover.py")
    command = [CLI, "run", path, "--codes", CODES, "--start", span[0], "--end", span[1],
               "--data-dir", data_dir, "--no-reports", "--json", out, "--capital", "100000000"]
    return command + (["--strategy-class", name] if name else [])


def load():
    return "load average " + ", ".join(f"{v:.2f}" for v in os.getloadavg())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--data-dir")
    parser.add_argument("--decade", action="store_true", help="ten years of the synthetic market")
    parser.add_argument("--only", choices=list(STRATEGIES), help="one strategy instead of both")
    args = parser.parse_args()
    scale = "decade" if args.decade else "year"
    span = RANGES[scale]
    data_dir = args.data_dir or os.path.join(tempfile.gettempdir(), f"orva-{scale}-bench")
    env = {**os.environ, "ORVA_CONSOLE": "off"}
    out = os.path.join(data_dir, "summary.json")
    print(f"Python {sys.version.split()[0]}, {scale} {span[0]} to {span[1]}, {load()}")
    began = time.perf_counter()
    fill_cache(span, data_dir, env)
    print(f"cache filled or checked in {time.perf_counter() - began:.1f} s")
    for label, strategy in STRATEGIES.items():
        if args.only and label != args.only:
            continue
        rows = []
        for _ in range(args.repeat):
            # Every run in a fresh child, so its peak memory is its own.
            command = run_command(strategy, span, data_dir, out)
            probe = subprocess.run(["/usr/bin/time", "-f", "%e %M", *command], env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, check=True)
            wall, peak_kb = probe.stderr.strip().splitlines()[-1].split()
            with open(out, encoding="utf-8") as f:
                summary = json.load(f)
            rows.append((float(wall), int(peak_kb) / 1024, summary["seconds"], summary["replayed"]))
        wall, peak, loop, records = (statistics.median(r[i] for r in rows) for i in range(4))
        print(f"{label}: {records:,.0f} records; loop {loop:.2f} s ({records / loop:,.0f} ticks/s); "
              f"whole command {wall:.2f} s ({wall / loop:.2f}x the loop); peak memory {peak:.0f} MB; {load()}")
    for label, command in (("orva-backtest --help", [CLI, "--help"]),
                           ("import the positions module", [sys.executable, "-c",
                                                            "import orva_backtest.modules.positions.positions"])):
        times = sorted(timed(command, env)[0] for _ in range(args.repeat))
        print(f"{label}: {statistics.median(times):.2f} s")
    if os.environ.get("ORVA_BENCH_CLEAN"):
        shutil.rmtree(data_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
