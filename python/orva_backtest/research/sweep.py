"""Parameter sweeps: every combination of a strategy's parameters runs as an independent backtest
task on a Dask cluster, and the sweep ends with one table of their figures and a heat map.

The engine's classes own threads and the process-wide data directory, so a task is one backtest
in a worker process of its own (one thread per worker). The tick cache is filled once, in this
process, before any task starts; each task reads it through a link in its own data directory
under the sweep's folder, which also holds its trade records, reports, output, attempts and,
once it has finished, its row (final: a later start returns it untouched).
With a remote cluster, the data directory and the sweep folder must be reachable under the same
paths from every worker (a shared file system).
"""
import contextlib
import inspect
import itertools
import json
import os
import shutil
import socket
import threading
import time
import traceback
import uuid
from dataclasses import dataclass
from datetime import datetime
from typing import Callable, Dict, List, Optional

import polars as pl

from orva_backtest import utils
from orva_backtest.research.dask_cluster import cluster_client, within
from orva_backtest.engine.outputs import new_folder
from orva_backtest.engine.strategy_file import load_strategy_class
from orva_backtest.research.sweep_output import COLUMNS, RUN_SETTINGS, make_table, param_column, table_row, write_heatmap
from orva_backtest.utils import write_atomically, write_text

# What a finished start leaves in its task's folder: the row, final.
RESULT = "result.json"


@dataclass(frozen=True)
class _Job:
    """What every task of a sweep shares; sent to the workers with each task."""
    strategy_file: str
    strategy_class: Optional[str]
    fixed: dict
    instruments: list
    start: str
    end: str
    backfill: tuple
    capital: int
    fees: Optional[dict]
    slippage_ticks: Optional[int]
    reports: bool
    cache: str  # the data directory whose tick cache the tasks read
    folder: str  # the sweep's folder
    allowed_failures: int  # starts lost with their worker that a task is given, less one
    settings: dict  # run_backtest's fill_model, latency_ms, cash_check, margins and rules


@dataclass
class SweepResult:
    """The sweep's table (one row a combination, in grid order), its folder and files."""
    table: pl.DataFrame
    folder: str
    files: List[str]

    @property
    def failed(self):
        return self.table.filter(pl.col("status") != "ok")


def combinations(grid):
    """[{name: value}] for every combination of the grid's values, the last name varying fastest."""
    return [dict(zip(grid, values)) for values in itertools.product(*grid.values())]


def figures(result):
    """A table row's figures of one `BacktestResult`: its statistics, with the lots still held
    marked at the last price in the money figures (`unrealised_profit`, after the costs of opening
    them, is part of `net_profit` and `return_pct`), every cost paid, and the ticks."""
    stats = result.stats()
    unrealised, opening = _open_lots(result.account)
    net = stats["net_profit"] + unrealised
    return {**stats, "net_profit": net, "return_pct": net / float(result.account.initial_capital) * 100,
            "unrealised_profit": unrealised,
            "costs": sum(s.costs for s in result.instruments.values()) + opening, "ticks": result.ticks}


def _open_lots(account):
    """(what the lots still held would make at the last price, less what opening them cost; that
    cost). Priced as the account books a round trip: the entry with its slippage, its fees and
    fixed cost, no costs of closing."""
    unrealised = opening = 0.0
    for code, sides in account.positions.items():
        tick = account.current_tick_infos.get(code)
        for side, sign in (("buy", 1), ("sell", -1)):
            for entry in sides.get(side, []):
                if entry["quantity"] <= 0:
                    continue
                cost = account._Positions__calculate_trade_cost(
                    code, entry["action"], entry["price"], entry["quantity"],
                    account.product_type_mapper[code], True, True, entry.get("limit_price"))
                paid = cost["fee"] + cost["tax"] + cost["fixed_cost"]
                last = tick["close"] if tick else cost["price"]
                unrealised += sign * (last - cost["price"]) * cost["min_qty"] - paid
                opening += paid
    return unrealised, opening


def _run_settings(job, params):
    """run_backtest's settings of one task: the sweep's, with those the grid sets."""
    return {**job.settings, **{name: params[name] for name in RUN_SETTINGS if name in params}}


def strategy_params(params):
    return {name: value for name, value in params.items() if name not in RUN_SETTINGS}


def _row(job, index, params, **values):
    """A task's row, with the fill model and latency it ran with."""
    row = table_row(index, params, **values)
    settings = _run_settings(job, params)
    row.update({name: settings[name] for name in RUN_SETTINGS})
    return row


def _check_run_setting(name, values):
    for value in values:
        if name == "fill_model" and value not in ("touch", "queue"):
            raise ValueError(f"fill_model 只能是 touch 或 queue: {value!r}")
        if name == "latency_ms" and not (type(value) in (int, float) and 0 <= value <= 60_000):
            raise ValueError(f"latency_ms 必須是 0 至 60000 的毫秒數: {value!r}")


def checked_grid(grid, cls, fixed):
    if not grid:
        raise ValueError("參數網格是空的: 至少需要一個參數與它的值 (--grid name=v1,v2)")
    for name, values in grid.items():
        if isinstance(values, (str, bytes)) or not hasattr(values, "__iter__"):
            raise ValueError(f"參數 {name} 需要一串值, 收到 {values!r}")
    grid = {name: list(values) for name, values in grid.items()}
    for name, values in grid.items():
        if not values:
            raise ValueError(f"參數 {name} 沒有任何值")
        # As the table shows them: 3 and 3.0 share a float column.
        if len({repr(v) for v in param_column(name, values).to_list()}) != len(values):
            raise ValueError(f"參數 {name} 的值重複: {values!r}")
        if name in COLUMNS:
            raise ValueError(f"參數名稱 {name!r} 與結果表的欄位相同, 請換一個名稱")
        if name in fixed:
            raise ValueError(f"參數 {name} 同時列在網格與固定參數中")
        if name in RUN_SETTINGS:
            _check_run_setting(name, values)
    accepted = inspect.signature(cls).parameters
    if not any(p.kind is p.VAR_KEYWORD for p in accepted.values()):
        named = [n for n, p in accepted.items() if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)]
        for name in [*[n for n in grid if n not in RUN_SETTINGS], *fixed]:
            if name not in named:
                raise ValueError(f"策略 {cls.__name__} 沒有參數 {name!r} (有: {', '.join(named) or '無'})")
    return grid


def _heatmap_axes(heatmap, grid):
    """The one or two grid parameters of the heat map: the first two of the grid by default."""
    if heatmap is None:
        return list(grid)[:2]
    names = [n.strip() for n in (heatmap.split(",") if isinstance(heatmap, str) else heatmap)]
    if not 1 <= len(names) <= 2 or len(set(names)) != len(names):
        raise ValueError(f"熱圖需要一或兩個不同的網格參數, 例如 fast,slow: {heatmap!r}")
    for name in names:
        if name not in grid:
            raise ValueError(f"熱圖參數 {name!r} 不在網格中 (網格: {', '.join(grid)})")
    return names


def _sweep_folder(folder):
    """The sweep's folder as given, made later: one that already holds files is refused now.
    None: a new one of its own under the data directory, made later too."""
    if folder is None:
        return None
    folder = os.path.abspath(folder)
    if os.path.isdir(folder) and os.listdir(folder):
        raise ValueError(f"掃描輸出資料夾已存在且不是空的: {folder}")
    return folder


def _make_folder(folder, data_dir):
    try:
        if folder is None:  # two sweeps started in the same second get a folder each
            return new_folder(os.path.join(data_dir, "sweeps"), what="掃描輸出")
        os.makedirs(folder, exist_ok=True)
        return folder
    except OSError as error:
        raise ValueError(f"無法建立掃描輸出資料夾 {folder or os.path.join(data_dir, 'sweeps')}: "
                         f"{error.strerror or error}") from None


def fill_cache(instruments, start, end, backfill, data_dir, source):
    """Loads every day of the sweep into the tick cache of `data_dir` (the benchmark's too, as a
    run replays it) from `source`; returns the number of ticks."""
    from orva_backtest.constant import BASIC_INFO
    from orva_backtest.data.option_chains import expand_chains
    from orva_backtest.modules.ticker.ticker import Ticker
    from orva_backtest.data.instruments import parse_instruments
    from orva_backtest.engine.runner import BENCHMARK, use_taiwan_time
    use_taiwan_time()
    parsed = expand_chains(parse_instruments(instruments), start, end, data_dir)  # the series the tasks replay
    if BENCHMARK not in {i["code"] for i in parsed}:
        parsed.append({"code": BENCHMARK, "market": "Stock"})
    BASIC_INFO.data_dir = data_dir  # the feed's own cache folder, as the tasks' runs read it
    return len(Ticker(source).iter_ticks(parsed, start, end, *backfill))


def _count_attempt(folder):
    """Counts a start of the task in its folder: a worker lost mid-task leaves its line behind."""
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "attempts"), "a", encoding="utf-8") as f:
        f.write(f"{datetime.now().isoformat(timespec='seconds')} {socket.gethostname()} {os.getpid()}\n")
    return _attempts(folder)


def _attempts(folder):
    try:
        with open(os.path.join(folder, "attempts"), encoding="utf-8") as f:
            return sum(1 for _ in f)
    except OSError:
        return 0


def _task_folder(job, index):
    return os.path.join(job.folder, "tasks", f"{index:04d}")


def _fresh_data_dir(folder, cache):
    """The task's data directory, emptied of what a lost attempt left, with the shared cache linked in."""
    data_dir = os.path.join(folder, "data")
    shutil.rmtree(data_dir, ignore_errors=True)  # a link inside is removed, never followed
    os.makedirs(data_dir)
    os.symlink(os.path.join(cache, "sino"), os.path.join(data_dir, "sino"), target_is_directory=True)
    return data_dir


def _final_row(job, index, params):
    """The row a finished start of the task left in its folder, or None if none finished."""
    try:
        with open(os.path.join(_task_folder(job, index), RESULT), encoding="utf-8") as f:
            return _row(job, index, params, **json.load(f))
    except (OSError, ValueError):
        return None


_ONE_TASK_AT_A_TIME = threading.Lock()


def run_task(job, index, params):
    """Runs one combination in a worker process and returns its table row. An error of the
    backtest (strategy file, constructor, callbacks, data) is in the row, not raised: it would
    fail the same way again, so only what Dask itself retries is retried. A start after the task
    has finished returns the row it left; one after too many starts lost with their worker
    process ends the task as failed."""
    # A worker with several threads runs its tasks one after another: the data directory and
    # the redirected output streams are the process's own.
    with _ONE_TASK_AT_A_TIME:
        return _run_task(job, index, params)


def _run_task(job, index, params):
    finished = _final_row(job, index, params)
    if finished is not None:  # Dask reruns a task whose result was lost with its worker
        return finished
    folder = _task_folder(job, index)
    lost = _attempts(folder)  # no start has finished: each ended with its worker process
    if lost > job.allowed_failures:
        return _final(folder, _lost_row(job, index, params, f"KilledWorker: 這個任務開始了 {lost} 次都沒有完成, "
                                                            "worker 行程在執行中結束 (例如 os._exit、記憶體不足)"))
    began = time.perf_counter()
    from orva_backtest.data import CacheOnlyMarket
    from orva_backtest.engine.runner import run_backtest
    attempts = _count_attempt(folder)
    data_dir = _fresh_data_dir(folder, job.cache)
    row = _row(job, index, params, status="ok", attempts=attempts, folder=data_dir, error="", traceback="")
    utils.console = utils.SilentConsole()
    # The worker's own streams are shared by its tasks; the strategy's prints stay with the task.
    with open(os.path.join(folder, "output.log"), "a", encoding="utf-8") as output, \
            contextlib.redirect_stdout(output), contextlib.redirect_stderr(output):
        try:
            cls = load_strategy_class(job.strategy_file, job.strategy_class)
            result = run_backtest(cls(**job.fixed, **strategy_params(params)), job.instruments,
                                  job.start, job.end,
                                  backfill_start=job.backfill[0] if job.backfill else None,
                                  backfill_end=job.backfill[1] if job.backfill else None,
                                  capital=job.capital, fees=job.fees, slippage_ticks=job.slippage_ticks,
                                  data_dir=data_dir, source=CacheOnlyMarket(), reports=job.reports,
                                  **_run_settings(job, params))
            row.update(figures(result))
        except (Exception, SystemExit) as error:  # sys.exit would end the worker, then its reruns
            row.update(status="failed", error=f"{type(error).__name__}: {error}",
                       traceback=traceback.format_exc())
    row["seconds"] = time.perf_counter() - began
    return _final(folder, row)


def _final(folder, row):
    """Leaves the task's row in its folder, final: no later start of the task runs it again."""
    write_text(os.path.join(folder, RESULT), json.dumps({c: row[c] for c in COLUMNS[1:]}, ensure_ascii=False))
    return row


# What `_outcome` returns for a task that has not ended, and for one to submit again.
_WAITING, _AGAIN = "waiting", "again"


def _outcome(job, index, params, future, timeout):
    """The task's row once its future has ended; _WAITING before; _AGAIN when Dask gave up on it
    for the deaths of workers it was on (queued there, it may never have started: the task itself
    counts the deaths while it ran)."""
    status = future.status  # read once: a worker's death turns a finished future back to pending
    if status == "finished":
        try:
            return future.result(timeout=timeout)
        except Exception as error:
            if future.status != "finished":  # lost with its worker since: Dask reruns it
                return _WAITING
            raise ConnectionError(f"{timeout:g} 秒內無法取回任務 {index} 的結果: {type(error).__name__}: {error}") from None
    if status not in ("error", "cancelled"):
        return _WAITING
    finished = _final_row(job, index, params)  # a finished task's row stands, whatever Dask says since
    if finished is not None:
        return finished
    if status == "cancelled":
        return _lost_row(job, index, params, "CancelledError: 叢集取消了這個任務 (排程器關閉或連線中斷)")
    from distributed import KilledWorker
    error = future.exception(timeout=timeout)
    if isinstance(error, KilledWorker):
        return _AGAIN
    return _lost_row(job, index, params, f"{type(error).__name__}: {error}",
                     "".join(traceback.format_exception(type(error), error, future.traceback(timeout=timeout))))


def _lost_row(job, index, params, error, text=""):
    """The row of a task that did not finish."""
    folder = _task_folder(job, index)
    return _row(job, index, params, status="failed", attempts=_attempts(folder),
                     folder=os.path.join(folder, "data"), error=error, traceback=text)


def _cluster(client, keys):
    """The scheduler's number of workers, and how many of the tasks `keys` they are executing
    (one a thread at the most)."""
    threads = client.nthreads()
    running = sum(min(threads.get(worker, 1), len(keys.intersection(held)))
                  for worker, held in client.processing().items())
    return len(threads), running


def _run_all(client, job, combos, retries, timeout, progress):
    """The rows of all tasks in grid order, and what stopped the sweep before all had ended (an
    interrupt, a scheduler that stopped answering, a cluster left without workers) or None."""
    sweep, submissions = uuid.uuid4().hex[:8], itertools.count(1)

    def submit(index, params):
        return client.submit(run_task, job, index, params, key=f"orva-sweep-{sweep}-{next(submissions)}",
                             retries=retries, pure=False)
    pending = {submit(index, params): (index, params) for index, params in enumerate(combos, 1)}
    rows, stop, idle_since = {}, None, None
    try:
        while pending:
            for future, (index, params) in list(pending.items()):
                row = _outcome(job, index, params, future, timeout)
                if row == _WAITING:
                    continue
                if row == _AGAIN:
                    pending[submit(index, params)] = (index, params)
                else:
                    rows[index] = row
                del pending[future]
                future.release()  # done with: the scheduler must not rerun it when its worker dies
            try:
                workers, running = within(timeout, _cluster, client, {f.key for f in pending})
            except OSError as error:
                raise ConnectionError(f"Dask 排程器在 {timeout:g} 秒內沒有回應 ({type(error).__name__})") from None
            idle_since = None if workers else idle_since or time.monotonic()
            if idle_since is not None and time.monotonic() - idle_since > timeout:
                raise ConnectionError(f"叢集已有 {timeout:g} 秒沒有任何 worker")
            if progress:
                progress(len(rows), sum(1 for row in rows.values() if row["status"] != "ok"), running, len(combos))
            if pending:
                time.sleep(0.25)
    except (KeyboardInterrupt, ConnectionError) as error:  # the finished tasks still make the table
        stop = error
    reason = (f"ConnectionError: {stop}" if isinstance(stop, ConnectionError)
              else "KeyboardInterrupt: 掃描在這個任務完成前被中斷")
    for index, params in pending.values():
        if index not in rows:
            rows[index] = _final_row(job, index, params) or _lost_row(job, index, params, reason)
    return [rows[index] for index in sorted(rows)], stop


def run_sweep(strategy_file, grid: Dict[str, list], instruments, start, end, *, strategy_class=None,
              params=None, backfill_start=None, backfill_end=None, capital=1_000_000, fees=None,
              slippage_ticks=None, data_dir=None, source=None, folder=None, scheduler=None,
              workers=None, retries=2, timeout=10.0, heatmap=None, reports=True,
              fill_model="touch", latency_ms=0, cash_check=False, margins=None, rules="taiwan",
              client=None, progress: Optional[Callable[[int, int, int, int], None]] = None) -> SweepResult:
    """Backtests the Strategy subclass of `strategy_file` with every combination of `grid`
    ({name: [values]}) plus the fixed `params`, each as one task on a Dask cluster.

    `scheduler`: address of a running scheduler; by default a local cluster of `workers`
    processes (the CPU count). `source`: the tick source that fills the cache of `data_dir`
    before the tasks start (the synthetic market by default; a logged-in SDK object works).
    `fill_model` and `latency_ms` may also be grid names: they then vary by task (every row
    says which it ran with).
    `client`: a Dask client to run on instead (`scheduler` and `workers` are then unused).
    `retries`: how often Dask reruns a task that raised outside the backtest (a task whose worker
    dies while running it starts up to allowed-failures + 1 times). `timeout`: the longest wait on
    the scheduler (a silent one, or a cluster without workers that long, raises ConnectionError
    after the table is written). `progress(done, failed, running, total)` is called several times
    a second. The other arguments are `run_backtest`'s.
    Writes `sweep.csv`, `sweep.parquet` and `heatmap.html` into `folder` (by default
    `<data_dir>/sweeps/<time>[-n]`) and returns the table.
    """
    from orva_backtest.constant import BASIC_INFO
    from orva_backtest.data import SyntheticMarket
    from orva_backtest.engine.buying_power import check_margins
    from orva_backtest.engine.market_rules import market_rules
    from orva_backtest.data.instruments import parse_instruments
    from orva_backtest.engine.runner import check_capital

    utils.check_not_forked_from_polars("run_sweep")
    params = dict(params or {})
    check_capital(capital)
    rules = market_rules(rules)
    _check_run_setting("fill_model", [fill_model])
    _check_run_setting("latency_ms", [latency_ms])
    cls = load_strategy_class(strategy_file, strategy_class)
    grid = checked_grid(grid, cls, params)
    axes = _heatmap_axes(heatmap, grid)
    if (backfill_start is None) != (backfill_end is None):
        raise ValueError("回補需要同時給開始與結束日期")
    if scheduler is not None and workers is not None:
        raise ValueError("workers 只用於本機叢集; 連線到排程器時由該叢集的 worker 執行")
    instruments = parse_instruments(instruments)
    check_margins(margins, cash_check, {i["code"]: i["market"] for i in instruments})
    data_dir = os.path.abspath(data_dir if data_dir is not None else BASIC_INFO.data_dir)
    folder = _sweep_folder(folder)
    backfill = () if backfill_start is None else (backfill_start, backfill_end)
    with (contextlib.nullcontext(client) if client is not None else cluster_client(scheduler, workers, timeout)) as client:
        from dask import config
        ticks = fill_cache(instruments, start, end, backfill, data_dir,
                           source if source is not None else SyntheticMarket())
        if ticks == 0:
            raise ValueError(f"{start} 至 {end} 之間沒有任何 Tick, 請檢查日期與商品")
        folder = _make_folder(folder, data_dir)
        snapshot = os.path.join(folder, os.path.basename(strategy_file))
        shutil.copyfile(strategy_file, snapshot)  # the tasks run the file as it was at the start
        job = _Job(snapshot, strategy_class, params, instruments, start, end, backfill, capital, fees,
                   slippage_ticks, reports, data_dir, folder, config.get("distributed.scheduler.allowed-failures"),
                   {"fill_model": fill_model, "latency_ms": latency_ms, "cash_check": cash_check,
                    "margins": margins, "rules": rules})
        rows, stop = _run_all(client, job, combinations(grid), retries, timeout, progress)
    table = make_table(rows, grid)
    files = [write_atomically(os.path.join(folder, "sweep.csv"), utils.spreadsheet_safe(table).write_csv),
             write_atomically(os.path.join(folder, "sweep.parquet"), table.write_parquet)]
    title = (f"{cls.__name__} {', '.join(i['code'] for i in instruments)} {start} ~ {end}: 淨損益"
             + (" (每格為其他參數下的最佳結果)" if len(grid) > len(axes) else ""))
    files.append(write_heatmap(table, axes, grid, os.path.join(folder, "heatmap.html"), title))
    if isinstance(stop, KeyboardInterrupt):
        raise stop
    if stop is not None:
        raise ConnectionError(f"{stop}; 掃描中止, 已結束的任務見 {files[0]}")
    return SweepResult(table, folder, files)
