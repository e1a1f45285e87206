import html
import itertools
import json
import os
import re
import signal
import socket
import subprocess
import sys
import time
from datetime import datetime, timezone

import dask
import polars as pl
import pytest
from rich.console import Console

import orva_backtest.cli_research as cli_research
import orva_backtest.examples.ma_crossover as ma_crossover
from orva_backtest.cli import run_cli
from orva_backtest.runner import run_backtest
from orva_backtest.strategy_file import load_strategy_class
from orva_backtest.sweep import SweepResult, run_sweep
from orva_backtest.sweep_output import make_table, table_row, write_heatmap

DAY = ("2024-03-04", "2024-03-04")

# Trades every `every` ticks; "odd" raises in on_start with every=300 and, with every=200,
# kills its worker process the first time it runs; "die" kills it every time; "quit" calls
# sys.exit; "stall" never ends.
TROUBLED = '''
import os
import sys
import time
from orva_backtest import Strategy

class Flip(Strategy):
    def __init__(self, every=300, mood="calm", marker=""):
        self.every, self.mood, self.marker, self.count = every, mood, marker, 0

    def on_start(self, ctx):
        if self.mood == "quit":
            sys.exit(5)
        if self.mood == "stall":
            time.sleep(600)
        if self.mood == "die":
            os._exit(3)
        if self.mood == "odd" and self.every == 300:
            raise RuntimeError("no trading on odd days")
        if self.mood == "odd" and not os.path.exists(self.marker):
            open(self.marker, "w").close()
            os._exit(3)

    def on_tick(self, ctx, tick):
        self.count += 1
        if self.count % self.every == 0:
            (ctx.sell if ctx.position(tick["code"]) > 0 else ctx.buy)(tick["code"])
'''


def _direct(tmp_path, strategy):
    result = run_backtest(strategy, ["2330:Stock"], *DAY, data_dir=str(tmp_path / "direct"), reports=False)
    return {**result.stats(), "costs": sum(r["trade_cost"] + r["cover_cost"] for r in result.profit_rows),
            "ticks": result.ticks}


@pytest.mark.parametrize("values", [[1, "1"], [True, "True"], [1, 1.5]])
def test_heat_map_cells_sit_on_distinct_axis_labels(tmp_path, values):
    rows = [table_row(i, {"x": v}, status="ok", net_profit=float(i), round_trips=1, win_rate=1.0, max_drawdown=0.0,
                 costs=0.0, ticks=1, seconds=0.0, attempts=1, folder="", error="", traceback="")
            for i, v in enumerate(values, 1)]
    path = write_heatmap(make_table(rows, {"x": values}), ["x"], {"x": values}, str(tmp_path / "heatmap.html"), "t")
    page = html.unescape(open(path, encoding="utf-8").read())
    factors = json.loads(re.search(r'"factors":(\[.*?\])', page).group(1))
    cells = json.loads(re.search(r'\["x",(\[.*?\])\]', page).group(1))
    assert len(set(factors)) == len(values) and sorted(cells) == sorted(factors)


def test_every_task_equals_a_direct_run(taipei_data_dir):
    grid = {"fast": [3, 5], "slow": [10, 20]}
    result = run_sweep(ma_crossover.__file__, grid, ["2330:Stock"], *DAY, data_dir=str(taipei_data_dir / "data"),
                       folder=str(taipei_data_dir / "sweep"), workers=2)
    table = result.table
    assert table["status"].to_list() == ["ok"] * 4 and table["attempts"].to_list() == [1] * 4
    folders = set()
    for row in table.iter_rows(named=True):
        expected = _direct(taipei_data_dir, ma_crossover.MovingAverageCrossover(fast=row["fast"], slow=row["slow"]))
        assert expected["round_trips"] > 0
        assert {k: row[k] for k in expected} == pytest.approx(expected, nan_ok=True), (row["fast"], row["slow"])
        data = row["folder"]
        folders.add(data)
        # Its own records and reports; ticks only through the link to the cache filled beforehand.
        assert os.path.realpath(os.path.join(data, "sino")) == str(taipei_data_dir / "data" / "sino")
        (run,) = os.listdir(os.path.join(data, "runs"))  # the task's run folder
        assert os.listdir(os.path.join(data, "runs", run, "trade_records"))
        assert os.path.exists(os.path.join(data, "runs", run, "report", "2330-report.html"))
        with open(os.path.join(os.path.dirname(data), "attempts"), encoding="utf-8") as f:
            assert int(f.read().split()[-1]) != os.getpid()  # ran in a worker process
    assert len(folders) == 4
    assert [(r["fast"], r["slow"]) for r in table.iter_rows(named=True)] == [(3, 10), (3, 20), (5, 10), (5, 20)]
    assert pl.read_csv(result.files[0]).drop("traceback", "error").equals(table.drop("traceback", "error"))
    assert pl.read_parquet(result.files[1]).equals(table)
    page = open(result.files[2], encoding="utf-8").read()
    assert "Bokeh" in page and not re.search(r"<script[^>]+src=", page)  # BokehJS inside: works offline


def test_failures_stay_in_their_row(taipei_data_dir, tmp_path):
    strategy = tmp_path / "troubled.py"
    strategy.write_text(TROUBLED, encoding="utf-8")
    result = run_sweep(str(strategy), {"every": [200, 300], "mood": ["calm", "odd"]}, ["2330:Stock"], *DAY,
                       params={"marker": str(tmp_path / "died-once")}, data_dir=str(tmp_path / "data"),
                       folder=str(tmp_path / "sweep"), workers=2, reports=False)
    rows = {(r["every"], r["mood"]): r for r in result.table.iter_rows(named=True)}
    failed = rows.pop((300, "odd"))
    assert failed["status"] == "failed" and failed["net_profit"] is None
    assert "on_start" in failed["error"] and "RuntimeError: no trading on odd days" in failed["traceback"]
    assert all(r["status"] == "ok" and r["round_trips"] > 0 for r in rows.values())
    # The task whose worker died was run again by Dask, and the table says so.
    assert rows[(200, "odd")]["attempts"] == 2 and rows[(200, "calm")]["attempts"] == 1
    assert rows[(200, "odd")]["net_profit"] == rows[(200, "calm")]["net_profit"]


def test_worker_deaths_leave_finished_tasks_alone(tmp_path, taipei_data_dir):
    strategy = tmp_path / "troubled.py"
    strategy.write_text(TROUBLED, encoding="utf-8")
    for sweep in range(2):  # rows are taken while workers die and their results go with them
        result = run_sweep(str(strategy), {"every": [200, 300], "mood": ["calm", "die"]}, ["2330:Stock"],
                           *DAY, data_dir=str(tmp_path / "data"), folder=str(tmp_path / f"sweep{sweep}"),
                           workers=2, reports=False, timeout=120)
        limit = dask.config.get("distributed.scheduler.allowed-failures")  # known once distributed is loaded
        for row in result.table.iter_rows(named=True):
            with open(os.path.join(os.path.dirname(row["folder"]), "attempts"), encoding="utf-8") as f:
                starts = len(f.readlines())
            assert row["attempts"] == starts, row
            if row["mood"] == "calm":  # run once, never again for a dead worker's sake
                assert row["status"] == "ok" and starts == 1, row
            else:  # its own deaths, counted: as many as Dask allows a task
                assert row["status"] == "failed" and starts == limit + 1, row
                assert row["error"].startswith(f"KilledWorker: 這個任務開始了 {starts} 次都沒有完成"), row


@pytest.mark.parametrize("args, message", [
    (["--grid", "fast"], "'fast'"),
    (["--grid", "fast=5,"], "'fast=5,'"),
    (["--grid", "nope=1,2"], "'nope'"),
    ([], "參數網格是空的"),
    (["--grid", "fast=3,5", "--heatmap", "fast,lots"], "'lots'"),
    (["--grid", "fast=3,3.0"], "[3, 3.0]"),
    (["--grid", "fast=3", "--scheduler", "tcp://127.0.0.1:9", "--timeout", "1"], "tcp://127.0.0.1:9"),
])
def test_bad_arguments_are_one_line_errors(tmp_path, capsys, args, message):
    code = run_cli(["sweep", ma_crossover.__file__, "--codes", "2330:Stock", "--start", DAY[0], "--end", DAY[1],
                    "--data-dir", str(tmp_path / "data"), "--out", str(tmp_path / "sweep"), *args])
    error = capsys.readouterr().err
    assert code == 1 and message in error and len(error.strip().splitlines()) == 1, error
    assert not (tmp_path / "sweep").exists()


@pytest.mark.parametrize("source, message", [
    ("import sys\nsys.exit(3)\n", "SystemExit: 3"), ("def f(:\n", "SyntaxError"),
])
def test_a_strategy_file_that_will_not_load_is_a_one_line_error(tmp_path, capsys, source, message):
    strategy = tmp_path / "broken.py"
    strategy.write_text(source, encoding="utf-8")
    code = run_cli(["sweep", str(strategy), "--grid", "fast=3,5", "--codes", "2330:Stock", "--start", DAY[0],
                    "--end", DAY[1], "--data-dir", str(tmp_path / "data"), "--out", str(tmp_path / "sweep")])
    error = capsys.readouterr().err
    assert code == 1 and message in error and str(strategy) in error, error
    assert not (tmp_path / "sweep").exists()


def test_odd_values_and_exits_reach_table_and_screen(tmp_path, capsys, taipei_data_dir):
    strategy = tmp_path / "troubled.py"
    strategy.write_text(TROUBLED, encoding="utf-8")
    huge = 12345678901234567890  # beyond a 64-bit integer
    code = run_cli(["sweep", str(strategy), "--grid", f"every={huge}", "--grid", "mood=[/x],quit",
                    "--grid", "marker=('a', 'b,c')",
                    "--codes", "2330:Stock", "--start", DAY[0], "--end", DAY[1], "--no-reports", "--workers", "1",
                    "--data-dir", str(tmp_path / "data"), "--out", str(tmp_path / "sweep")])
    shown = capsys.readouterr()
    assert code == 0, shown.err
    assert "[/x]" in shown.out and "SystemExit: 5" in shown.out
    rows = {r["mood"]: r for r in pl.read_parquet(tmp_path / "sweep" / "sweep.parquet").iter_rows(named=True)}
    assert rows["[/x]"]["every"] == str(huge) and rows["[/x]"]["status"] == "ok"
    assert rows["[/x]"]["marker"] == "('a', 'b,c')"  # commas inside a value stay in it
    # A strategy's exit is its task's failure, not its worker's death.
    assert rows["quit"]["status"] == "failed" and rows["quit"]["attempts"] == 1
    assert "SystemExit: 5" in rows["quit"]["error"]


@pytest.mark.parametrize("silent", [True, False])  # False: an address without a port or protocol
def test_a_scheduler_that_never_answers_is_a_timely_error(tmp_path, silent):
    with socket.create_server(("127.0.0.1", 0)) as server:  # the kernel accepts; nobody answers
        address = "tcp://127.0.0.1:%d" % server.getsockname()[1] if silent else "127.0.0.1"
        done = subprocess.run([sys.executable, "-m", "orva_backtest", "sweep", ma_crossover.__file__, "--grid",
                               "fast=3,5", "--codes", "2330:Stock", "--start", DAY[0], "--end", DAY[1],
                               "--data-dir", str(tmp_path / "data"), "--out", str(tmp_path / "sweep"),
                               "--scheduler", address, "--timeout", "2"],
                              capture_output=True, text=True, timeout=300, env={**os.environ, "ORVA_CONSOLE": "off"})
    assert done.returncode == 1, done.stderr
    assert len(done.stderr.strip().splitlines()) == 1 and address in done.stderr and "2 秒" in done.stderr, done.stderr
    assert not (tmp_path / "sweep").exists()


def _ok_row(index, net_profit, **params):
    return table_row(index, params, status="ok", net_profit=net_profit, round_trips=12_345, win_rate=0.5,
                     max_drawdown=9_876_543.0, costs=123_456.0, ticks=52_850, seconds=1.5, attempts=1,
                     folder="", error="", traceback="")


@pytest.mark.parametrize("width", [None, 40])  # a file or pipe; a narrow terminal
def test_the_screen_shows_the_best_tasks_and_whole_numbers(monkeypatch, capsys, width):
    if width:
        monkeypatch.setattr(cli_research, "out", Console(width=width, highlight=False))
    band = "('a long value', 'that needs room')"
    rows = [_ok_row(1, -113_245_678.0, band=band), _ok_row(2, 250_000_123.0, band=band),
            _ok_row(3, 99_000_000.0, band=band),
            table_row(4, {"band": band}, status="failed", attempts=1, folder="", error="RuntimeError: x",
                      traceback="")]
    path = "/a/folder/" * 12 + "sweep.csv"
    cli_research._show_sweep(SweepResult(make_table(rows, {"band": [band] * 4}), "", [path]), 1)
    shown = capsys.readouterr().out
    assert "淨損益最佳的 1 組" in shown and "…" not in shown
    best = next(line for line in shown.splitlines() if "250,000,123" in line)  # the best, on one line
    assert band in best and "9,876,543" in best and "123,456" in best and "12,345" in best
    assert "-113,245,678" not in shown and "99,000,000" not in shown
    assert f"輸出: {path}" in shown.splitlines()


def _heatmap_cells(path):
    """{(x, y): (task, label)} of the heat map page's cells."""
    page = html.unescape(open(path, encoding="utf-8").read())
    column = {name: json.loads(re.search(r'\["%s",(\[[^\]]*\])\]' % name, page).group(1))
              for name in ("x", "y", "task", "label")}
    return {(x, y): (task, label) for x, y, task, label in zip(*(column[n] for n in ("x", "y", "task", "label")))}


def test_a_heat_map_cell_shows_the_best_of_the_other_parameters(tmp_path):
    grid = {"x": [1, 2], "y": ["a", "b"], "z": [10, 20, 30]}
    profits = {(1, "a"): [5.0, 9.0, -3.0], (1, "b"): [-7.0, -2.0, -4.0], (2, "a"): [1.0, None, 8.0],
               (2, "b"): [None, None, None]}  # None: a failed task
    rows = []
    for index, ((x, y), z) in enumerate(itertools.product(profits, range(3)), 1):
        params = {"x": x, "y": y, "z": grid["z"][z]}
        rows.append(_ok_row(index, profits[(x, y)][z], **params) if profits[(x, y)][z] is not None else
                    table_row(index, params, status="failed", attempts=1, folder="", error="E: x", traceback=""))
    cells = _heatmap_cells(write_heatmap(make_table(rows, grid), ["x", "y"], grid, str(tmp_path / "h.html"), "t"))
    assert {key: cells[key] for key in [("1", "a"), ("1", "b"), ("2", "a")]} == \
        {("1", "a"): (2, "9"), ("1", "b"): (5, "-2"), ("2", "a"): (9, "8")}
    assert cells[("2", "b")][1] == "失敗"


def test_an_interrupted_sweep_keeps_the_finished_rows(tmp_path):
    strategy, folder = tmp_path / "troubled.py", tmp_path / "sweep"
    strategy.write_text(TROUBLED, encoding="utf-8")
    with open(tmp_path / "sweep.log", "w") as log:
        sweep = _start(log, "orva_backtest", "sweep", str(strategy), "--grid", "mood=calm,stall", "--codes",
                       "2330:Stock", "--start", DAY[0], "--end", DAY[1], "--no-reports", "--workers", "1",
                       "--data-dir", str(tmp_path / "data"), "--out", str(folder))
    try:
        deadline = time.monotonic() + 120  # a safety net against a hang, not a bound on speed
        while not (folder / "tasks" / "0002" / "attempts").exists():  # one worker: the first is done
            assert sweep.poll() is None and time.monotonic() < deadline, (tmp_path / "sweep.log").read_text()
            time.sleep(0.2)
        sweep.send_signal(signal.SIGINT)
        assert sweep.wait(timeout=60) == 130
    finally:
        if sweep.poll() is None:
            sweep.kill()
            sweep.wait(timeout=10)
    table = pl.read_parquet(folder / "sweep.parquet")
    assert table["status"].to_list() == ["ok", "failed"] and table["round_trips"][0] > 0
    assert table["error"][1].startswith("KeyboardInterrupt")


def _start(log, *args):
    return subprocess.Popen([sys.executable, "-m", *args], stdout=log, stderr=subprocess.STDOUT,
                            env={**os.environ, "ORVA_CONSOLE": "off"})


def _address(path, scheduler, log, within=60):
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        assert scheduler.poll() is None, log.read_text()
        try:
            return json.loads(path.read_text())["address"]
        except (OSError, ValueError, KeyError):  # not written yet, or half written
            time.sleep(0.2)
    raise AssertionError(f"no scheduler address within {within} s: {log.read_text()}")


def test_a_cluster_started_on_its_own(tmp_path, capsys, taipei_data_dir):
    address_file, log = tmp_path / "scheduler.json", tmp_path / "cluster.log"
    with open(log, "w") as output:
        processes = [_start(output, "distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", "0",
                            "--no-dashboard", "--scheduler-file", str(address_file))]
    try:
        with open(log, "a") as output:
            processes.append(_start(output, "distributed.cli.dask_worker", "--scheduler-file", str(address_file),
                                    "--host", "127.0.0.1", "--nthreads", "1", "--nworkers", "2",
                                    "--no-dashboard"))
        address = _address(address_file, processes[0], log)
        code = run_cli(["sweep", ma_crossover.__file__, "--grid", "fast=3,5", "--param", "slow=10",
                        "--codes", "2330:Stock", "--start", DAY[0], "--end", DAY[1], "--no-reports",
                        "--data-dir", str(tmp_path / "data"), "--out", str(tmp_path / "sweep"),
                        "--scheduler", address, "--timeout", "60"])
        shown = capsys.readouterr()
        assert code == 0, shown.err
        table = pl.read_csv(tmp_path / "sweep" / "sweep.csv")
        assert table["status"].to_list() == ["ok", "ok"] and table["round_trips"].min() > 0
        assert "淨損益最佳的 2 組" in shown.out and "heatmap.html" in shown.out
    finally:
        for process in reversed(processes):
            process.terminate()
        for process in reversed(processes):
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=10)


def test_fill_model_and_latency_sweep_as_run_settings(tmp_path, taipei_data_dir):
    import orva_backtest.examples.bid_maker as bid_maker
    result = run_sweep(bid_maker.__file__, {"fill_model": ["touch", "queue"], "latency_ms": [0, 50]},
                       ["2330:Stock"], *DAY, data_dir=str(tmp_path / "data"), folder=str(tmp_path / "out"),
                       workers=2, reports=False)
    table = result.table
    assert table.columns[:3] == ["task", "fill_model", "latency_ms"] and table["status"].to_list() == ["ok"] * 4
    for row in table.iter_rows(named=True):  # each as a run with the same settings gives it
        alone = run_backtest(bid_maker.BidMaker(), ["2330:Stock"], *DAY, data_dir=str(tmp_path / "direct"),
                             reports=False, fill_model=row["fill_model"], latency_ms=row["latency_ms"])
        assert row["net_profit"] == pytest.approx(sum(r["profit"] for r in alone.profit_rows))
    plain = run_sweep(bid_maker.__file__, {"tick": [1.0]}, ["2330:Stock"], *DAY, data_dir=str(tmp_path / "data"),
                      folder=str(tmp_path / "plain"), workers=1, reports=False, fill_model="queue")
    assert plain.table.select("fill_model", "latency_ms").row(0) == ("queue", 0.0)


class _Frozen(datetime):
    """The clock at 2024-03-04 01:02:03 UTC (09:02:03 in Taipei), in any zone asked for."""
    @classmethod
    def now(cls, tz=None):
        moment = datetime(2024, 3, 4, 1, 2, 3, tzinfo=timezone.utc)
        return moment.astimezone(tz) if tz else moment.astimezone().replace(tzinfo=None)


def test_folders_made_in_one_second_are_apart_and_named_on_one_clock(tmp_path, monkeypatch):
    import orva_backtest.outputs as outputs
    import orva_backtest.sweep as sweep
    from orva_backtest.dask_cluster import cluster_client
    monkeypatch.setenv("TZ", "UTC")  # the machine's zone is not the exchange's
    time.tzset()
    monkeypatch.setattr(outputs, "datetime", _Frozen)
    monkeypatch.setattr(sweep, "datetime", _Frozen)
    data = tmp_path / "data"
    try:
        with cluster_client(None, 1, 30) as client:
            folders = [run_sweep(ma_crossover.__file__, {"fast": [3]}, ["2330:Stock"], *DAY, data_dir=str(data),
                                 client=client, reports=False).folder for _ in range(2)]
        run = run_backtest(ma_crossover.MovingAverageCrossover(), ["2330:Stock"], *DAY, data_dir=str(data))
    finally:
        monkeypatch.undo()
        time.tzset()
    assert folders == [str(data / "sweeps" / "20240304-090203"), str(data / "sweeps" / "20240304-090203-2")]
    assert os.path.basename(run.folder) == "20240304-090203-MovingAverageCrossover"
    assert all(pl.read_csv(os.path.join(f, "sweep.csv"))["status"].to_list() == ["ok"] for f in folders)


HOLDS = '''from orva_backtest import Strategy

class Holds(Strategy):
    """Buys `lots` at the first tick and keeps them."""
    def __init__(self, lots=1):
        self.lots, self.done = lots, False

    def on_tick(self, ctx, tick):
        if tick["code"] == "2330" and not self.done:
            self.done = ctx.buy("2330", self.lots)
'''


def test_a_row_marks_what_is_still_held_at_the_last_price(tmp_path, taipei_data_dir):
    strategy = tmp_path / "holds.py"
    strategy.write_text(HOLDS, encoding="utf-8")
    fee = 0.001  # the opening fee, on the price after 2 ticks of slippage
    result = run_sweep(str(strategy), {"lots": [1, 2]}, ["2330:Stock"], *DAY, data_dir=str(tmp_path / "data"),
                       folder=str(tmp_path / "sweep"), workers=1, reports=False, capital=10_000_000,
                       fees={"stock": {"fee": fee}}, slippage_ticks=2)
    for row in result.table.iter_rows(named=True):  # against a run of its own, by hand
        alone = run_backtest(load_strategy_class(str(strategy))(row["lots"]), ["2330:Stock"], *DAY,
                             data_dir=str(tmp_path / "direct"), reports=False, fees={"stock": {"fee": fee}},
                             slippage_ticks=2)
        fixed, last = alone.account._fee_settings["stock"]["per_trade_cost"], alone.instruments["2330"].open.last_price
        fills = [(r["price"] + 2 * 1.0, r["quantity"] * 1000)  # 1.0 a tick between 500 and 1000
                 for r in alone.trades.filter(pl.col("trade_status") == "Deal").iter_rows(named=True)]
        costs = sum(fee * price * shares + fixed for price, shares in fills)
        assert row["round_trips"] == 0 and row["costs"] == pytest.approx(costs)
        assert row["unrealised_profit"] == pytest.approx(sum((last - price) * shares for price, shares in fills) - costs)
        assert row["net_profit"] == row["unrealised_profit"] < 0
        assert row["return_pct"] == pytest.approx(row["net_profit"] / 10_000_000 * 100)



def _ctrl_c_ignored_after_a_query():
    import polars
    polars.DataFrame({"a": [1]}).lazy().collect()
    with open("/proc/self/status") as status:
        ignored = next(int(line.split()[1], 16) for line in status if line.startswith("SigIgn:"))
    return bool(ignored & 1 << (signal.SIGINT - 1))


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="reads the signal mask from /proc")
def test_a_local_worker_ignores_ctrl_c_even_inside_a_query():
    # A terminal's Ctrl-C reaches the workers too; only the sweep's own process may answer it.
    from orva_backtest.research.dask_cluster import cluster_client
    with cluster_client(None, 1, 30) as client:
        assert list(client.run(_ctrl_c_ignored_after_a_query).values()) == [True]
