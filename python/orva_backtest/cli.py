"""The `orva-backtest` command line: `demo`, `run`, `sweep`, `import-ticks` and `import-taifex`."""
import ast
import json
import math
import os
import sys
import time
import traceback
from datetime import datetime

import click
from rich import box
from rich.console import Console
from rich.markup import escape
from rich.measure import Measurement
from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeRemainingColumn
from rich.table import Table

from orva_backtest import utils
from orva_backtest.strategy_file import StrategyFileError, load_strategy_class

DEMO_INSTRUMENTS = ["2330:Stock"]
DEMO_RANGE = ("2024-03-04", "2024-03-08")


def _console(stderr=False):
    console = Console(stderr=stderr, highlight=False)
    if not console.is_terminal:  # a file or a pipe: lines are never wrapped
        console = Console(stderr=stderr, highlight=False, width=100_000, soft_wrap=True)
    return console


out = _console()
err = _console(stderr=True)


class CliError(click.ClickException):
    """An error shown as one line, without a traceback."""


def _day(value, name):
    try:
        day = datetime.strptime(value, "%Y-%m-%d")
    except (TypeError, ValueError):
        raise CliError(f"{name} 不是有效的 YYYY-MM-DD 日期: {value!r}") from None
    if not 1990 <= day.year <= 2099:  # the years the quote buffer takes ticks of
        raise CliError(f"{name} 超出 1990 至 2099 年: {value!r}")
    return day.strftime("%Y-%m-%d")


def _range(start, end, what="回測"):
    start, end = _day(start, f"{what}開始日期"), _day(end, f"{what}結束日期")
    if end < start:
        raise CliError(f"{what}結束日期 {end} 早於開始日期 {start}")
    return start, end


def _param_value(text, option):
    """A Python literal, or else the text; a literal Python cannot build is an error."""
    try:
        return ast.literal_eval(text)
    except (ValueError, SyntaxError):
        return text
    except (TypeError, MemoryError, RecursionError) as error:  # e.g. {[1]: 2}
        raise CliError(f"{option} 的值無法建立: {text!r} ({type(error).__name__}: {error})") from None


def _params(pairs):
    params = {}
    for pair in pairs:
        key, sep, value = pair.partition("=")
        if not sep or not key.isidentifier():
            raise CliError(f"--param 需要 key=value 形式: {pair!r}")
        params[key] = _param_value(value, f"--param {key}")
    return params


def _fees(pairs):
    fees = {}
    for pair in pairs:
        kind, sep, value = pair.partition("=")
        if not sep:
            kind, value = "stock", pair
        if kind not in ("stock", "future"):
            raise CliError(f"--fee 的商品類型必須是 stock 或 future: {pair!r}")
        try:
            rate = float(value)
        except ValueError:
            raise CliError(f"--fee 的費率不是數字: {pair!r}") from None
        fees[kind] = {"fee": rate}
    return fees


def _margins(pairs):
    margins = {}
    for pair in pairs:
        code, sep, value = pair.partition("=")
        try:
            amount = float(value)
        except ValueError:
            amount = float("nan")
        if not sep or not code.strip() or not math.isfinite(amount) or amount <= 0:
            raise CliError(f"--margin 需要 CODE=正數金額 形式: {pair!r}")
        margins[code.strip()] = amount
    return margins


def _check_instruments(instruments, source):
    """Refuses codes the tick source does not know before any download."""
    from orva_backtest.runner import parse_instruments
    try:
        parsed = parse_instruments(instruments)
    except ValueError as error:
        raise CliError(str(error)) from None
    for entry in parsed:
        table = source.Contracts.Stocks if entry["market"] == "Stock" else source.Contracts.Futures
        try:
            table[entry["code"]]
        except (KeyError, IndexError, TypeError):
            raise CliError(f"未知的商品代碼 {entry['code']!r} (市場 {entry['market']})") from None
    return parsed


def _market(source):
    """The tick source of --source: the synthetic market, or the cached days only."""
    from orva_backtest.market import CacheOnlyMarket, SyntheticMarket
    return SyntheticMarket() if source == "synthetic" else CacheOnlyMarket()


def _data_dir(path):
    if path is None:
        from orva_backtest.constant import BASIC_INFO
        path = BASIC_INFO.data_dir
    try:
        os.makedirs(path, exist_ok=True)
        probe = os.path.join(path, f".write-test-{os.getpid()}")
        with open(probe, "w"):
            pass
        os.remove(probe)
    except OSError as error:
        raise CliError(f"資料目錄無法寫入: {path} ({error.strerror or error})") from None
    return os.path.abspath(path)


class _Progress:
    """A bar on a terminal, plain lines otherwise: the ticks of a run."""
    label, unit = "回測中", " ticks"

    def __init__(self):
        self.bar = None
        self.last_line = 0.0

    def __enter__(self):
        if out.is_terminal:
            self.bar = Progress(TextColumn(self.label), BarColumn(), MofNCompleteColumn(),
                                TextColumn("{task.fields[note]}"), TimeRemainingColumn(), console=out)
            self.bar.start()
            self.task = self.bar.add_task(self.label, total=None, note="")
        self.started = time.perf_counter()
        return self

    def _show(self, done, total, note, plain_note, last):
        if self.bar is not None:
            self.bar.update(self.task, completed=done, total=total, note=note)
        elif time.perf_counter() - self.last_line >= 5 or last:
            self.last_line = time.perf_counter()
            shown = f"{done:,}/{total:,}" if total else f"{done:,}"
            out.print(f"{self.label}: {shown}{self.unit}, {plain_note}")

    def __call__(self, done, total=None, days=None, days_total=None):
        if total is None and days is not None:  # the days are being made ready
            note = f"準備資料 {days:,}/{days_total:,} 天"
            self._show(days, days_total, note, note, False)
            self.started = time.perf_counter()  # the replay's rate counts from its start
            return
        rate = f"{done / max(time.perf_counter() - self.started, 1e-9):,.0f} ticks/s"
        if days is not None:
            rate += f", 已讀入 {days:,}/{days_total:,} 天"
        self._show(done, total, rate, rate, bool(total and done == total))

    def __exit__(self, *exc):
        if self.bar is not None:
            self.bar.stop()


class _SweepProgress(_Progress):
    """The tasks of a sweep: done, failed, running and time left."""
    label, unit = "參數掃描", " 個任務"

    def __call__(self, done, failed, running, total):
        note = f"失敗 {failed}, 執行中 {running}"
        elapsed = time.perf_counter() - self.started
        left = f", 約剩 {elapsed / done * (total - done):,.0f} 秒" if 0 < done < total else ""
        self._show(done, total, note, note + left, done == total)


def _show(result):
    headers = ("商品", "平倉次數", "勝率", "淨損益 (扣成本)", "手續費與稅", "滑價成本", "未平倉", "未實現損益")
    rows = []
    for code, s in result.instruments.items():
        held = f"{s.open.quantity:+,} @ {s.open.last_price:,}" if s.open else "0"
        rows.append((escape(code), f"{s.round_trips:,}", f"{s.win_rate:.1%}", f"{s.net_profit:,.2f}",
                     f"{s.costs:,.2f}", f"{s.slippage:,.2f}", held,
                     f"{s.open.unrealised:,.2f}" if s.open else "—"))
    table = Table(title="各商品結果")
    for i, header in enumerate(headers):
        # Figures keep their full width on a narrow terminal: never cut.
        widest = max([len(row[i]) for row in rows] + [1])
        table.add_column(header, justify="left" if i == 0 else "right", overflow="fold",
                         min_width=None if i == 0 else widest, no_wrap=i > 0)
    for row in rows:
        table.add_row(*row)
    out.print(table)
    account = result.account
    realised = account._profit_report["profit"]
    out.print(f"初始資金 {account.initial_capital:,}  帳戶餘額 {result.balance:,.2f}  "
              f"已實現損益 {realised:,.2f}  未實現損益 {result.unrealised:,.2f}")
    held = [f"{code} {s.open.quantity:+,}" for code, s in result.instruments.items() if s.open]
    if held:
        out.print(f"[yellow]結束時仍有未平倉部位 ({', '.join(held)}): 帳戶餘額已扣除其進場價金與成本, "
                  "損益只計已平倉的部分; 未實現損益以最後成交價計算, 未扣平倉成本[/yellow]")
    else:
        out.print("帳戶餘額 = 初始資金 + 已實現損益 (全部平倉); 淨損益已扣手續費、稅與固定成本, 滑價已反映在成交價中")
    for warning in result.warnings:
        out.print(f"[yellow]警告: {escape(warning)}[/yellow]")
    if result.synthetic:
        out.print("[yellow]行情來源: 內建合成行情 — 快取中沒有的日子使用虛構的 Tick (任何代碼都會產生), "
                  "不是真實歷史; 真實資料請用 import-ticks / --source cache[/yellow]")
    out.print(f"成交模型 {result.fill_model}, 委託延遲 {result.latency_ms:g} 毫秒")
    out.print(f"回測商品 Tick 數 {result.ticks:,}; 回放共 {result.replayed:,} 筆 (含基準), "
              f"{result.seconds:.2f} 秒 ({result.ticks_per_second:,.0f} ticks/s)")
    if result.folder:
        out.print(f"輸出資料夾: {escape(result.folder)}")
    for path in result.files:
        out.print(f"輸出: {escape(path)}")


def _json_folder(path):
    """Refuses a JSON path whose folder cannot take the file, before the run rather than after."""
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder) or not os.access(folder, os.W_OK | os.X_OK):
        raise CliError(f"無法寫入 JSON 檔 {path}: 資料夾 {folder} 不存在或無法寫入")


def _write_json(path, result):
    temporary = f"{path}.tmp-{os.getpid()}"
    try:
        with open(temporary, "w", encoding="utf-8") as f:
            json.dump(result.summary(), f, ensure_ascii=False, indent=2)
        os.replace(temporary, path)
    except OSError as error:
        if os.path.exists(temporary):
            os.remove(temporary)
        raise CliError(f"無法寫入 JSON 檔 {path}: {error.strerror or error}") from None


def _backtest(strategy, instruments, start, end, *, backfill=(None, None), capital, fees,
              slippage_ticks, data_dir, mode, reports, json_path, verbose, source="synthetic",
              cash_check=False, margins=None, fill_model="touch", latency_ms=0):
    from orva_backtest.runner import StrategyError, run_backtest
    source = _market(source)
    instruments = _check_instruments(instruments, source)
    data_dir = _data_dir(data_dir)
    if json_path:
        _json_folder(json_path)
    if not verbose:
        utils.console = utils.SilentConsole()
    with _Progress() as progress:
        try:
            result = run_backtest(strategy, instruments, start, end, backfill_start=backfill[0],
                                  backfill_end=backfill[1], capital=capital, fees=fees,
                                  slippage_ticks=slippage_ticks, data_dir=data_dir, source=source,
                                  mode=mode, reports=reports, cash_check=cash_check,
                                  margins=margins, fill_model=fill_model, latency_ms=latency_ms,
                                  progress=progress)
        except StrategyError as error:  # --debug shows the strategy's own traceback
            raise CliError(str(error)) from error.__cause__
        except ValueError as error:  # the run's data or settings, named in the message
            raise CliError(str(error)) from error
    _show(result)
    if json_path:
        _write_json(json_path, result)
        out.print(f"輸出: {json_path}")
    return result


@click.group(context_settings={"help_option_names": ["-h", "--help"]})
@click.option("--debug", is_flag=True, help="show the traceback of an error")
@click.option("--verbose", is_flag=True, help="print every order, fill and booking")
@click.version_option(package_name="orva_backtest")
@click.pass_context
def main(ctx, debug, verbose):
    """Tick-replay backtests of Taiwan stocks and futures."""
    from orva_backtest.runner import use_taiwan_time
    use_taiwan_time()
    ctx.obj = {"debug": debug, "verbose": verbose}


FILL_MODEL = click.option("--fill-model", type=click.Choice(["touch", "queue"], case_sensitive=False),
                          default="touch", show_default=True,
                          help="touch: a limit order fills on the first trade at its price; queue: only "
                               "once the quantity shown ahead of it has traded")
LATENCY = click.option("--latency-ms", type=click.FloatRange(0, 60_000), default=0, show_default=True,
                       help="milliseconds an order, change or cancel takes to reach the exchange")
MODE = click.option("--mode", type=click.Choice(["direct", "paced"]), default="direct",
                    show_default=True, help="direct: replay on this thread; paced: the feed's replay thread")
DATA_DIR = click.option("--data-dir", type=click.Path(file_okay=False), default=None,
                        help="tick cache and report folder (default: ORVA_DATA_DIR or ./data)")


@main.command()
@DATA_DIR
@MODE
@FILL_MODEL
@LATENCY
@click.pass_context
def demo(ctx, data_dir, mode, fill_model, latency_ms):
    """Backtest the moving-average example on the built-in synthetic market."""
    from orva_backtest.examples.ma_crossover import MovingAverageCrossover
    out.print(f"[green]示範回測: {', '.join(DEMO_INSTRUMENTS)} {DEMO_RANGE[0]} ~ {DEMO_RANGE[1]} "
              f"(合成行情), 均線交叉策略[/green]")
    _backtest(MovingAverageCrossover(), DEMO_INSTRUMENTS, *DEMO_RANGE, capital=10_000_000,
              fees=None, slippage_ticks=None, data_dir=data_dir, mode=mode, reports=True,
              json_path=None, verbose=ctx.obj["verbose"], fill_model=fill_model, latency_ms=latency_ms)


def _backtest_options(command):
    """The options `run` and `sweep` share: instruments, dates, account, data and strategy."""
    options = [
        click.option("--codes", required=True, help="instruments, e.g. 2330:Stock,TXFR1:Future"),
        click.option("--start", required=True, help="first day, YYYY-MM-DD"),
        click.option("--end", required=True, help="last day, YYYY-MM-DD"),
        click.option("--backfill-start", default=None, help="first day replayed before the run as backfill"),
        click.option("--backfill-end", default=None, help="last backfill day"),
        click.option("--capital", type=click.IntRange(min=1), default=1_000_000, show_default=True),
        click.option("--fee", "fee_pairs", multiple=True,
                     help="fee rate: stock=0.0005 or future=0.00002 (repeatable)"),
        click.option("--slippage-ticks", type=click.IntRange(0, 10_000), default=None,
                     help="ticks of slippage on every fill"),
        DATA_DIR,
        click.option("--param", "param_pairs", multiple=True, help="strategy argument key=value (repeatable)"),
        click.option("--strategy-class", default=None, help="which Strategy subclass of the file to run"),
        click.option("--source", type=click.Choice(["synthetic", "cache"]), default="synthetic",
                     show_default=True,
                     help="synthetic: the built-in market for days not cached; cache: cached/imported days only"),
        click.option("--no-reports", is_flag=True, help="skip the trade CSV and the HTML reports"),
        FILL_MODEL,
        LATENCY,
        click.option("--cash-check", is_flag=True,
                     help="refuse orders the buying power cannot pay for (stocks: price × shares + "
                          "costs; futures: a margin per contract)"),
        click.option("--margin", "margin_pairs", multiple=True,
                     help="futures margin per contract for --cash-check, CODE=AMOUNT (repeatable)"),
    ]
    for option in reversed(options):
        command = option(command)
    return command


def _settings(codes, start, end, backfill_start, backfill_end, fee_pairs, param_pairs):
    """The checked dates, backfill, instruments, fees and strategy arguments of the options."""
    start, end = _range(start, end)
    backfill = (None, None)
    if backfill_start is not None or backfill_end is not None:
        if backfill_start is None or backfill_end is None:
            raise CliError("回補需要同時給 --backfill-start 與 --backfill-end")
        backfill = _range(backfill_start, backfill_end, "回補")
    instruments = [c for c in codes.split(",") if c.strip()]
    return start, end, backfill, instruments, _fees(fee_pairs), _params(param_pairs)


@main.command()
@click.argument("strategy_file", type=click.Path())
@_backtest_options
@MODE
@click.option("--json", "json_path", type=click.Path(dir_okay=False), default=None,
              help="write the result summary as JSON")
@click.pass_context
def run(ctx, strategy_file, codes, start, end, backfill_start, backfill_end, capital, fee_pairs,
        slippage_ticks, data_dir, param_pairs, strategy_class, source, no_reports, fill_model,
        latency_ms, cash_check, margin_pairs, mode, json_path):
    """Backtest the Strategy subclass defined in STRATEGY_FILE."""
    start, end, backfill, instruments, fees, params = _settings(
        codes, start, end, backfill_start, backfill_end, fee_pairs, param_pairs)
    try:
        cls = load_strategy_class(strategy_file, strategy_class)
    except StrategyFileError as error:
        raise CliError(str(error)) from error
    try:
        strategy = cls(**params)
    except Exception as error:  # the user's constructor
        raise CliError(f"無法建立策略 {cls.__name__}({', '.join(f'{k}={v!r}' for k, v in params.items())}): "
                       f"{type(error).__name__}: {error}") from error
    _backtest(strategy, instruments, start, end, backfill=backfill, capital=capital, fees=fees,
              slippage_ticks=slippage_ticks, data_dir=data_dir, mode=mode, reports=not no_reports,
              json_path=json_path, verbose=ctx.obj["verbose"], source=source,
              cash_check=cash_check, margins=_margins(margin_pairs), fill_model=fill_model,
              latency_ms=latency_ms)


def _split_values(text):
    """The comma-separated values of --grid; a comma inside brackets or quotes is part of its value."""
    values, depth, quote, start = [], 0, None, 0
    for at, char in enumerate(text):
        if quote:
            quote = None if char == quote else quote
        elif char in "'\"":
            quote = char
        elif char in "([{":
            depth += 1
        elif char in ")]}":
            depth -= 1
            if depth < 0:
                raise CliError(f"--grid 的值有未配對的括號: {text!r}")
        elif char == "," and depth == 0:
            values.append(text[start:at].strip())
            start = at + 1
    if depth or quote:
        raise CliError(f"--grid 的值有未配對的括號或引號: {text!r}")
    return [*values, text[start:].strip()]


def _grid(pairs):
    grid = {}
    for pair in pairs:
        name, sep, values = pair.partition("=")
        name = name.strip()
        if not sep or not name.isidentifier() or not values.strip():
            raise CliError(f"--grid 需要 name=v1,v2,... 形式: {pair!r}")
        if name in grid:
            raise CliError(f"--grid 的參數 {name} 重複: {pair!r}")
        texts = _split_values(values)
        if "" in texts:
            raise CliError(f"--grid {name} 有空的值: {pair!r}")
        grid[name] = [_param_value(text, f"--grid {name}") for text in texts]
    return grid


def _show_sweep(result, top):
    import polars as pl

    from orva_backtest.sweep_output import COLUMNS
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


@main.command()
@click.argument("strategy_file", type=click.Path())
@click.option("--grid", "grid_pairs", multiple=True,
              help="name=v1,v2,...: the values of one strategy argument to sweep (repeatable); "
                   "fill_model and latency_ms sweep the run's own settings")
@_backtest_options
@click.option("--scheduler", default=None,
              help="address of a running Dask scheduler, e.g. tcp://10.0.0.5:8786 (default: a local cluster)")
@click.option("--workers", type=click.IntRange(min=1), default=None,
              help="worker processes of the local cluster (default: the CPU count)")
@click.option("--timeout", type=click.FloatRange(min=0, min_open=True), default=10.0, show_default=True,
              help="seconds any wait on the scheduler may take: connecting, finding a worker, an answer, "
                   "a result, closing")
@click.option("--retries", type=click.IntRange(0, 100), default=2, show_default=True,
              help="reruns of a task that fails outside the backtest")
@click.option("--out", "out_dir", type=click.Path(file_okay=False), default=None,
              help="the sweep's folder (default: DATA_DIR/sweeps/<time>)")
@click.option("--heatmap", default=None,
              help="the grid parameters of the heat map, e.g. fast,slow (default: the first two)")
@click.option("--top", type=click.IntRange(min=1), default=10, show_default=True, help="best rows shown")
@click.pass_context
def sweep(ctx, strategy_file, grid_pairs, codes, start, end, backfill_start, backfill_end, capital,
          fee_pairs, slippage_ticks, data_dir, param_pairs, strategy_class, source, no_reports,
          fill_model, latency_ms, cash_check, margin_pairs, scheduler, workers, timeout, retries,
          out_dir, heatmap, top):
    """Backtest every combination of the --grid values of STRATEGY_FILE's Strategy, each as one
    task on a Dask cluster; writes a table (CSV, Parquet) and a heat map of net profit."""
    from orva_backtest.sweep import run_sweep
    start, end, backfill, instruments, fees, params = _settings(
        codes, start, end, backfill_start, backfill_end, fee_pairs, param_pairs)
    grid = _grid(grid_pairs)
    market = _market(source)
    instruments = _check_instruments(instruments, market)
    data_dir = _data_dir(data_dir)
    if not ctx.obj["verbose"]:
        utils.console = utils.SilentConsole()
    with _SweepProgress() as progress:
        try:
            result = run_sweep(strategy_file, grid, instruments, start, end, strategy_class=strategy_class,
                               params=params, backfill_start=backfill[0], backfill_end=backfill[1],
                               capital=capital, fees=fees, slippage_ticks=slippage_ticks,
                               data_dir=data_dir, source=market, folder=out_dir, scheduler=scheduler,
                               workers=workers, retries=retries, timeout=timeout, heatmap=heatmap,
                               reports=not no_reports, fill_model=fill_model, latency_ms=latency_ms,
                               cash_check=cash_check, margins=_margins(margin_pairs), progress=progress)
        except (ValueError, OSError) as error:  # OSError: the cluster or the sweep's folder
            raise CliError(str(error)) from error
    _show_sweep(result, top)
    if len(result.failed) == len(result.table):
        raise CliError(f"全部 {len(result.table)} 個任務都失敗了, 詳見 {result.files[0]}")


class _ImportProgress(_Progress):
    """The files of an import and the rows read."""
    label, unit = "匯入中", " 個檔案"

    def __call__(self, done, total, rows, ticks):
        note = f"已讀 {rows:,} 列, {ticks:,} ticks"
        self._show(done, total, note, note, done == total)


def _show_import(result):
    for path, rows in result.files:
        out.print(f"{rows:,} ticks → {escape(path)}", soft_wrap=True)
    for warning in result.warnings:
        out.print(f"[yellow]警告: {escape(warning)}[/yellow]", soft_wrap=True)
    if not result.files:
        raise CliError("沒有匯入任何 Tick")
    out.print(f"[green]匯入完成: {len(result.files)} 天[/green]")


@main.command("import-ticks")
@click.argument("file", type=click.Path())
@click.option("--code", required=True, help="instrument code of the file's ticks")
@click.option("--market", type=click.Choice(["Stock", "Future"], case_sensitive=False), required=True)
@DATA_DIR
def import_ticks(file, code, market, data_dir):
    """Split a CSV or Parquet file of ticks into the day cache (futures by trading day), so runs
    need no SDK."""
    from orva_backtest.tick_import import import_tick_file
    data_dir = _data_dir(data_dir)
    try:
        result = import_tick_file(file, code, market, data_dir)
    except (OSError, ValueError) as error:
        raise CliError(str(error)) from None
    _show_import(result)


@main.command("import-taifex")
@click.argument("files", nargs=-1, required=True, type=click.Path())
@click.option("--product", required=True, help="the exchange's product code in the files: TX, MTX, TMF, ...")
@click.option("--code", default=None, help="cache code of the ticks (default: TXFR1, MXFR1, TMFR1 for TX, MTX, TMF)")
@DATA_DIR
def import_taifex(files, product, code, data_dir):
    """Write a product's front-month trades of the futures exchange's daily files
    (Daily_YYYY_MM_DD.zip or their CSV) into the day cache, one file per trading day."""
    from orva_backtest.market.taifex import import_taifex_files
    data_dir = _data_dir(data_dir)
    with _ImportProgress() as progress:
        try:
            result = import_taifex_files(files, product, code=code, data_dir=data_dir, progress=progress)
        except (OSError, ValueError) as error:
            raise CliError(str(error)) from None
    _show_import(result)


def run_cli(argv=None):
    """Runs the command line; returns the exit status. Errors are one line unless --debug."""
    args = list(sys.argv[1:] if argv is None else argv)
    debug = "--debug" in args
    try:
        main.main(args=args, prog_name="orva-backtest", standalone_mode=False)
    except click.exceptions.Exit as done:
        return done.exit_code
    except click.Abort:
        err.print("已中止")
        return 130
    except click.ClickException as error:
        if debug and error.__cause__ is not None:
            traceback.print_exception(type(error.__cause__), error.__cause__, error.__cause__.__traceback__)
        err.print(f"錯誤: {error.format_message()}", markup=False, soft_wrap=True)
        return error.exit_code if isinstance(error, click.UsageError) else 1
    except Exception as error:
        if _interrupted(error):  # Ctrl-C while a module loads arrives wrapped in an ImportError
            err.print("已中止")
            return 130
        if debug:
            raise
        err.print(f"錯誤: {type(error).__name__}: {error}", markup=False, soft_wrap=True)
        return 1
    return 0


def _interrupted(error):
    seen = set()
    while error is not None and id(error) not in seen:
        if isinstance(error, KeyboardInterrupt):
            return True
        seen.add(id(error))
        error = error.__cause__ or error.__context__
    return False


def entry_point():
    sys.exit(run_cli())
