"""The research commands of the command line: `sweep` (a grid of parameters on a Dask cluster)
and `walkforward` (the grid chosen on training days, tested on the days after them)."""
import click
from rich import box
from rich.console import Console
from rich.markup import escape
from rich.measure import Measurement
from rich.table import Table

from orva_backtest.cli.options import (CliError, SweepProgress, backtest_options, check_instruments,
                                       data_dir_of, margins_of, market_of, option_settings, out,
                                       parse_grid, use_console)


def _show_sweep(result, top):
    import polars as pl

    from orva_backtest.research.sweep_output import COLUMNS
    table = result.table
    names = [c for c in table.columns if c not in COLUMNS]
    best = table.filter(pl.col("status") == "ok").sort("net_profit", descending=True).head(top)
    shown = Table(title=f"淨損益最佳的 {len(best)} 組 (共 {len(table)} 組; 全部欄位見 CSV)", box=box.SIMPLE_HEAD)
    for column in ("任務", *names, "淨損益", "平倉", "勝率", "最大回撤", "成本", "秒", "執行"):
        shown.add_column(column, justify="right")
    for row in best.iter_rows(named=True):
        shown.add_row(str(row["task"]), *(escape(str(row[n])) for n in names), f"{row['net_profit']:,.0f}",
                      f"{row['round_trips']:,}", f"{row['win_rate']:.1%}", f"{row['max_drawdown']:,.0f}",
                      f"{row['costs']:,.0f}", f"{row['seconds']:.1f}", str(row["attempts"]))
    # At its natural width, past the terminal's if need be: a squeezed column would cut its numbers.
    width = Measurement.get(out, out.options.update_width(10_000), shown).maximum
    Console(highlight=False, width=max(width, out.width)).print(shown)
    for row in result.failed.iter_rows(named=True):
        params = escape(", ".join(f"{n}={row[n]}" for n in names))  # values and errors as written
        out.print(f"[red]任務 {row['task']} ({params}) 失敗: {escape(row['error'])}[/red]", soft_wrap=True)
    retried = [str(t) for t in table.filter(pl.col("attempts") > 1)["task"]]
    if retried:
        out.print(f"[yellow]重新執行過的任務 (worker 中斷或重試): {', '.join(retried)}[/yellow]")
    for path in result.files:
        out.print(f"輸出: {escape(path)}", soft_wrap=True)


def _cluster_options(command):
    """The Dask options `sweep` and `walkforward` share."""
    options = [
        click.option("--scheduler", default=None,
                     help="address of a running Dask scheduler, e.g. tcp://10.0.0.5:8786 (default: a local cluster)"),
        click.option("--workers", type=click.IntRange(min=1), default=None,
                     help="worker processes of the local cluster (default: the CPU count)"),
        click.option("--timeout", type=click.FloatRange(min=0, min_open=True), default=10.0, show_default=True,
                     help="seconds any wait on the scheduler may take: connecting, finding a worker, an "
                          "answer, a result, closing"),
        click.option("--retries", type=click.IntRange(0, 100), default=2, show_default=True,
                     help="reruns of a task that fails outside the backtest"),
    ]
    for option in reversed(options):
        command = option(command)
    return command


GRID = click.option("--grid", "grid_pairs", multiple=True,
                    help="name=v1,v2,...: the values of one strategy argument to sweep (repeatable); "
                         "fill_model and latency_ms sweep the run's own settings")


@click.command()
@click.argument("strategy_file", type=click.Path())
@GRID
@backtest_options
@_cluster_options
@click.option("--out", "out_dir", type=click.Path(file_okay=False), default=None,
              help="the sweep's folder (default: DATA_DIR/sweeps/<time>)")
@click.option("--heatmap", default=None,
              help="the grid parameters of the heat map, e.g. fast,slow (default: the first two)")
@click.option("--top", type=click.IntRange(min=1), default=10, show_default=True, help="best rows shown")
@click.pass_context
def sweep(ctx, strategy_file, grid_pairs, codes, start, end, backfill_start, backfill_end, capital,
          fee_pairs, slippage_ticks, data_dir, param_pairs, strategy_class, source, no_reports,
          fill_model, latency_ms, cash_check, margin_pairs, rules, scheduler, workers, timeout,
          retries, out_dir, heatmap, top):
    """Backtest every combination of the --grid values of STRATEGY_FILE's Strategy, each as one
    task on a Dask cluster; writes a table (CSV, Parquet) and a heat map of net profit."""
    from orva_backtest.research.sweep import run_sweep
    start, end, backfill, instruments, fees, params = option_settings(
        codes, start, end, backfill_start, backfill_end, fee_pairs, param_pairs)
    grid, market, instruments, data_dir = _settings(ctx, grid_pairs, source, instruments, data_dir)
    with SweepProgress() as progress:
        try:
            result = run_sweep(strategy_file, grid, instruments, start, end, strategy_class=strategy_class,
                               params=params, backfill_start=backfill[0], backfill_end=backfill[1],
                               capital=capital, fees=fees, slippage_ticks=slippage_ticks,
                               data_dir=data_dir, source=market, folder=out_dir, scheduler=scheduler,
                               workers=workers, retries=retries, timeout=timeout, heatmap=heatmap,
                               reports=not no_reports, fill_model=fill_model, latency_ms=latency_ms,
                               cash_check=cash_check, margins=margins_of(margin_pairs), rules=rules,
                               progress=progress)
        except (ValueError, OSError) as error:  # OSError: the cluster or the sweep's folder
            raise CliError(str(error)) from error
    _show_sweep(result, top)
    if len(result.failed) == len(result.table):
        raise CliError(f"全部 {len(result.table)} 個任務都失敗了, 詳見 {result.files[0]}")


def _settings(ctx, grid_pairs, source, instruments, data_dir):
    """(grid, market, instruments, data dir) of a research command; its tasks' output kept quiet
    unless --verbose."""
    market = market_of(source)
    settings = parse_grid(grid_pairs), market, check_instruments(instruments, market), data_dir_of(data_dir)
    use_console(ctx.obj["verbose"])
    return settings


@click.command()
@click.argument("strategy_file", type=click.Path())
@GRID
@backtest_options
@_cluster_options
@click.option("--train-days", type=click.IntRange(min=1), required=True, help="trading days a grid is chosen on")
@click.option("--test-days", type=click.IntRange(min=1), required=True, help="trading days the choice is tested on")
@click.option("--metric", default="net_profit", show_default=True, help="the statistic the best combination has most of")
@click.option("--out", "out_dir", type=click.Path(file_okay=False), default=None,
              help="the walk-forward's folder (default: DATA_DIR/walkforward/<time>)")
@click.pass_context
def walkforward(ctx, strategy_file, grid_pairs, codes, start, end, backfill_start, backfill_end, capital,
                fee_pairs, slippage_ticks, data_dir, param_pairs, strategy_class, source, no_reports,
                fill_model, latency_ms, cash_check, margin_pairs, rules, scheduler, workers, timeout,
                retries, train_days, test_days, metric, out_dir):
    """Walk-forward test of STRATEGY_FILE's Strategy: the trading days from --start to --end cut
    into test windows of --test-days, each after the --train-days before it; on each, the --grid
    combination with the best --metric on the training days runs on the test days."""
    from orva_backtest.research.walkforward import run_walkforward
    start, end, backfill, instruments, fees, params = option_settings(
        codes, start, end, backfill_start, backfill_end, fee_pairs, param_pairs)
    if backfill != (None, None):
        raise CliError("walkforward 不支援回補 (--backfill-start/--backfill-end)")
    grid, market, instruments, data_dir = _settings(ctx, grid_pairs, source, instruments, data_dir)
    try:
        result = run_walkforward(
            strategy_file, grid, instruments, start, end, train_days=train_days, test_days=test_days,
            metric=metric, strategy_class=strategy_class, params=params, capital=capital, fees=fees,
            slippage_ticks=slippage_ticks, data_dir=data_dir, source=market, folder=out_dir,
            scheduler=scheduler, workers=workers, retries=retries, timeout=timeout, fill_model=fill_model,
            latency_ms=latency_ms, cash_check=cash_check, margins=margins_of(margin_pairs), rules=rules,
            progress=lambda done, total: out.print(f"walk-forward 窗口 {done}/{total}"))
    except (ValueError, OSError) as error:
        raise CliError(str(error)) from error
    table = result.table
    names = [c for c in table.columns if c in grid]
    shown = Table(title=f"walk-forward: {len(table)} 個窗口, 指標 {metric}", box=box.SIMPLE_HEAD)
    for column in ("窗口", "訓練", "測試", *names, f"訓練 {metric}", "測試淨損益", "狀態"):
        shown.add_column(column, justify="right", no_wrap=True)
    for row in table.iter_rows(named=True):
        score = row[f"train_{metric}"]
        shown.add_row(str(row["window"]), f"{row['train_start']}~{row['train_end']}",
                      f"{row['test_start']}~{row['test_end']}", *(escape(str(row[n])) for n in names),
                      "—" if score is None else f"{score:,.2f}",
                      "—" if row["test_net_profit"] is None else f"{row['test_net_profit']:,.0f}",
                      escape(row["status"]))
    out.print(shown)
    if not result.equity.is_empty():
        out.print(f"樣本外權益: {result.equity['equity'][0]:,.0f} → {result.equity['equity'][-1]:,.0f}")
    for path in result.files:
        out.print(f"輸出: {escape(path)}", soft_wrap=True)
    if (table["status"] != "ok").all():
        raise CliError(_all_failed(table, result.files[0]))


def _all_failed(table, path):
    """What failed in every window: the training, the test runs, or some of each."""
    from orva_backtest.research.walkforward import TEST_FAILED
    tests = sum(1 for error in table["error"] if error.startswith(TEST_FAILED))
    if tests == len(table):
        what = "每個窗口的測試都失敗了 (訓練正常)"
    elif tests == 0:
        what = "每個窗口的訓練都失敗了"
    else:
        what = f"每個窗口都失敗了: 訓練失敗 {len(table) - tests} 個, 測試失敗 {tests} 個"
    return f"{what}, 詳見 {path}"
