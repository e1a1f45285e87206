"""Walk-forward tests: the trading days of a range cut into test windows of `test_days`, each
after the `train_days` just before it. For each window every grid combination runs on the
training days as a sweep (on Dask), and the best by `metric` then runs on the test days,
starting flat with the initial capital; the test windows' equity curves are chained into one
out-of-sample curve."""
import os
from dataclasses import dataclass
from datetime import date, timedelta
from typing import List

import polars as pl

from orva_backtest import utils
from orva_backtest.engine.equity import ANNUALISED, MIN_DAYS_TO_ANNUALISE, STATS
from orva_backtest.research.sweep_output import MONEY
from orva_backtest.utils import write_atomically, write_text


@dataclass
class WalkForwardResult:
    """One row a window (`table`), the stitched out-of-sample equity, the folder and files."""
    table: pl.DataFrame
    equity: pl.DataFrame
    folder: str
    files: List[str]


def trading_days(start, end):
    """The trading days from `start` to `end` ("YYYY-MM-DD"), both included."""
    from orva_backtest.trading_days import is_trading_day
    first, last = date.fromisoformat(start), date.fromisoformat(end)
    return [first + timedelta(days=i) for i in range((last - first).days + 1)
            if is_trading_day(first + timedelta(days=i))]


def windows(days, train_days, test_days):
    """[(training days, test days)]: the first test window starts after the first full training
    window, and the windows roll by `test_days`; the last test window may be shorter."""
    if train_days < 1 or test_days < 1:
        raise ValueError(f"訓練與測試天數必須至少 1 天: {train_days}, {test_days}")
    out = []
    for begin in range(train_days, len(days), test_days):
        out.append((days[begin - train_days:begin], days[begin:begin + test_days]))
    if not out:
        raise ValueError(f"{len(days)} 個交易日不夠一個訓練窗 ({train_days} 天) 加一個測試窗")
    return out


# How a window whose test run failed begins its error.
TEST_FAILED = "測試窗失敗"
# The drawdown figures are sizes of a loss: the best has the least of them.
SMALLEST_BEST = {"max_drawdown", "max_drawdown_pct", "max_drawdown_days"}


def _best(table, metric, grid):
    """(the grid values of the best task by `metric` as they were given, as the table shows
    them, its score), ties going to the first in grid order; (None, why, None) when no task has
    a value to compare."""
    from orva_backtest.research.sweep import combinations
    ok = table.filter(pl.col("status") == "ok")
    if ok.is_empty():
        return None, "訓練窗的每個任務都失敗了", None
    ok = ok.filter(pl.col(metric).is_not_null() & pl.col(metric).cast(pl.Float64).is_not_nan())
    if ok.is_empty():  # annualised figures of under 20 days, profit_factor without round trips
        short = f" (年化指標需要至少 {MIN_DAYS_TO_ANNUALISE} 個交易日)" if metric in ANNUALISED else ""
        return None, f"訓練窗沒有任務算得出 {metric}{short}", None
    scores = ok[metric].cast(pl.Float64)
    best = ok.row((scores.arg_min() if metric in SMALLEST_BEST else scores.arg_max()), named=True)  # the first of equal ones
    # The run takes the values themselves: the table holds mixed ones as text, and ints beside floats as floats.
    return combinations(grid)[best["task"] - 1], {name: best[name] for name in grid}, best[metric]


def stitch(curves, capital):
    """The test windows' equity curves chained: each window's returns on its own capital applied
    to where the curve before it ended."""
    level, times, values = float(capital), [], []
    for curve in curves:
        if curve.is_empty():
            continue
        start = curve["equity"][0]
        for moment, value in zip(curve["dt"], curve["equity"]):
            times.append(moment)
            values.append(level * value / start if start else float("nan"))
        level = values[-1]
    return pl.DataFrame({"dt": times, "equity": values}, schema={"dt": pl.Datetime("us"), "equity": pl.Float64})


def run_walkforward(strategy_file, grid, instruments, start, end, *, train_days, test_days,
                    metric="net_profit", strategy_class=None, params=None, capital=1_000_000, fees=None,
                    slippage_ticks=None, data_dir=None, source=None, folder=None, scheduler=None,
                    workers=None, retries=2, timeout=10.0, fill_model="touch", latency_ms=0,
                    cash_check=False, margins=None, rules="taiwan", progress=None) -> WalkForwardResult:
    """Runs the walk-forward test; writes `walkforward.csv`/`.parquet` (a row a window),
    `equity.csv`/`.parquet` (the stitched out-of-sample curve) and `walkforward.html` into
    `folder` (by default `<data_dir>/walkforward/<time>[-n]`), each window's training sweep under
    `windows/NN/`. `metric`: any key of `BacktestResult.stats()`.
    `progress(window, windows)` is called as each window starts. The other arguments are
    `run_sweep`'s. Interrupted (KeyboardInterrupt, or a ConnectionError of the cluster), it
    writes the windows that finished, the others as failed, then raises."""
    from orva_backtest.engine.buying_power import check_margins
    from orva_backtest.constant import BASIC_INFO
    from orva_backtest.research.dask_cluster import cluster_client
    from orva_backtest.engine.market_rules import market_rules
    from orva_backtest.engine.outputs import new_folder
    from orva_backtest.data.instruments import parse_instruments
    from orva_backtest.engine.strategy_file import load_strategy_class
    from orva_backtest.research.sweep import checked_grid

    utils.check_not_forked_from_polars("run_walkforward")
    if metric not in STATS:
        raise ValueError(f"不支援的指標 {metric!r} (可用: {', '.join(STATS)})")
    params = dict(params or {})
    cls = load_strategy_class(strategy_file, strategy_class)
    grid = checked_grid(grid, cls, params)
    instruments = parse_instruments(instruments)
    check_margins(margins, cash_check, {i["code"]: i["market"] for i in instruments})
    rules = market_rules(rules)
    cut = windows(trading_days(start, end), train_days, test_days)
    data_dir = os.path.abspath(data_dir if data_dir is not None else BASIC_INFO.data_dir)
    if folder is not None:
        folder = os.path.abspath(folder)
        if os.path.isdir(folder) and os.listdir(folder):
            raise ValueError(f"walk-forward 輸出資料夾已存在且不是空的: {folder}")
    settings = dict(fill_model=fill_model, latency_ms=latency_ms, cash_check=cash_check, margins=margins,
                    rules=rules)
    shared = dict(strategy_class=strategy_class, params=params, capital=capital, fees=fees,
                  slippage_ticks=slippage_ticks, data_dir=data_dir, retries=retries, timeout=timeout,
                  reports=False, source=source, **settings)
    rows, curves, begun = [], [], False
    try:
        with cluster_client(scheduler, workers, timeout) as client:
            # Two walk-forwards started in the same second get a folder each.
            folder = folder or new_folder(os.path.join(data_dir, "walkforward"), what="walk-forward 輸出")
            for number, days in enumerate(cut, 1):
                begun = True
                if progress:
                    progress(number, len(cut))
                row, curve = _window(number, *days, strategy_file, grid, instruments, metric, cls, client,
                                     os.path.join(folder, "windows", f"{number:02d}"), shared)
                rows.append(row)
                curves.append(curve)
    except (KeyboardInterrupt, ConnectionError) as stop:  # the windows that finished still make the table
        if not begun:
            raise
        reason = (f"ConnectionError: {stop}" if isinstance(stop, ConnectionError)
                  else "KeyboardInterrupt: walk-forward 在這個窗口完成前被中斷")
        for number, days in enumerate(cut[len(rows):], len(rows) + 1):
            rows.append({**_dates(number, *days), "status": "failed", "error": reason})
        _write(rows, grid, metric, stitch(curves, capital), folder, cls.__name__, instruments)
        raise
    return _write(rows, grid, metric, stitch(curves, capital), folder, cls.__name__, instruments)


def _dates(number, train, test):
    return {"window": number, "train_start": train[0].isoformat(), "train_end": train[-1].isoformat(),
            "test_start": test[0].isoformat(), "test_end": test[-1].isoformat()}


def _window(number, train, test, strategy_file, grid, instruments, metric, cls, client, folder, shared):
    """(the window's row, its test run's equity curve, empty when the window failed)."""
    from orva_backtest.data import SyntheticMarket
    from orva_backtest.engine.runner import run_backtest
    from orva_backtest.research.sweep import figures, run_sweep, strategy_params

    row = _dates(number, train, test)
    source = shared["source"] if shared["source"] is not None else SyntheticMarket()
    sweep = run_sweep(strategy_file, grid, instruments, row["train_start"], row["train_end"],
                      folder=os.path.join(folder, "train"), client=client, **{**shared, "source": source})
    chosen, shown, score = _best(sweep.table, metric, grid)
    none = stitch([], 0)
    if chosen is None:
        return {**row, "status": "failed", "error": f"{shown}, 見 " + os.path.join(folder, "train", "sweep.csv")}, none
    # Each test window starts flat, with the initial capital, under the settings its choice ran with.
    settings = {k: shared[k] for k in ("fill_model", "latency_ms", "cash_check", "margins", "rules")}
    settings.update((k, v) for k, v in chosen.items() if k in settings)
    try:
        test_run = run_backtest(cls(**shared["params"], **strategy_params(chosen)), instruments,
                                row["test_start"], row["test_end"], capital=shared["capital"],
                                fees=shared["fees"], slippage_ticks=shared["slippage_ticks"],
                                data_dir=shared["data_dir"], reports=False, source=source, **settings)
    except (Exception, SystemExit) as error:  # the windows before and after it still count
        return {**row, **shown, "status": "failed", f"train_{metric}": score,
                "error": f"{TEST_FAILED}: {type(error).__name__}: {error}"}, none
    return {**row, **shown, "status": "ok", "error": "", f"train_{metric}": score,
            **{f"test_{k}": v for k, v in figures(test_run).items() if k in (*STATS, *MONEY)}}, test_run.equity


def _write(rows, grid, metric, equity, folder, name, instruments):
    """The table (CSV, Parquet), the stitched curve (CSV, Parquet) and the page."""
    columns = ["window", "train_start", "train_end", "test_start", "test_end", *grid, "status",
               f"train_{metric}", *[f"test_{k}" for k in (*STATS, *MONEY)], "error"]
    table = pl.DataFrame([{c: row.get(c) for c in columns} for row in rows], infer_schema_length=None)
    os.makedirs(folder, exist_ok=True)
    files = []
    for stem, frame in (("walkforward", table), ("equity", equity)):
        files.append(write_atomically(os.path.join(folder, f"{stem}.csv"), utils.spreadsheet_safe(frame).write_csv))
        files.append(write_atomically(os.path.join(folder, f"{stem}.parquet"), frame.write_parquet))
    title = f"{name} {', '.join(i['code'] for i in instruments)} walk-forward ({metric})"
    files.append(write_text(os.path.join(folder, "walkforward.html"), _page(table, equity, title)))
    return WalkForwardResult(table, equity, folder, files)


# The table of windows scrolls sideways inside the page rather than running off it; numbers
# line up on the right, long errors wrap, a failed window is tinted. Inline: the page's Div
# draws its text apart from any style sheet.
_BOX = "overflow-x:auto;max-width:calc(100vw - 32px);font-family:sans-serif;font-size:13px"
_CELL = "padding:4px 8px;border-bottom:1px solid #cfd8dc;white-space:nowrap;text-align:right"
_HEAD = _CELL + ";background:#eceff1"
_ERROR = "padding:4px 8px;border-bottom:1px solid #cfd8dc;text-align:left;min-width:24em"
_FAILED = ";background:#fff3e0"


def _page(table, equity, title):
    """The stitched out-of-sample equity over the table of windows; BokehJS inline."""
    from html import escape

    from bokeh.embed import file_html
    from bokeh.layouts import column
    from bokeh.models import ColumnDataSource, Div, NumeralTickFormatter
    from bokeh.plotting import figure
    from bokeh.resources import INLINE

    plot = figure(x_axis_type="datetime", height=320, sizing_mode="stretch_width",
                  title="樣本外權益 (各測試窗的報酬串接)", tools="pan,wheel_zoom,box_zoom,reset,save")
    plot.step("dt", "equity", source=ColumnDataSource(equity.to_dict(as_series=False)), mode="after",
              line_color="#1565c0", line_width=2)
    plot.yaxis.formatter = NumeralTickFormatter(format="0,0")
    head = "".join(f"<th style='{_HEAD}'>{escape(c)}</th>" for c in table.columns)
    body = "".join("<tr>" + "".join(
        f"<td style='{(_ERROR if name == 'error' else _CELL) + ('' if row['status'] == 'ok' else _FAILED)}'>"
        f"{escape(_cell(value))}</td>" for name, value in row.items()) + "</tr>"
        for row in table.iter_rows(named=True))
    heading = Div(text=f"<h2 style='font-family:sans-serif'>{escape(title)}</h2>", sizing_mode="stretch_width")
    rows = Div(text=f"<div style='{_BOX}'><table style='border-collapse:collapse'><tr>{head}</tr>{body}</table></div>",
               sizing_mode="stretch_width")
    return file_html(column(heading, plot, rows, sizing_mode="stretch_width"), resources=INLINE, title=title)


def _cell(value):
    if isinstance(value, float):
        return f"{value:,.4g}" if abs(value) < 1000 else f"{value:,.0f}"
    return "" if value is None else str(value)
