"""The `orva-backtest` command line: `demo`, `run`, `sweep`, `walkforward`, `import-ticks`,
`import-taifex` and `import-taifex-options`."""
import gc
import json
import os
import signal
import sys
import threading
import traceback

import click
from rich.markup import escape
from rich.table import Table

from orva_backtest.cli.options import (DATA_DIR, FILL_MODEL, LATENCY, MODE, CliError, RunProgress,
                                       backtest_options, check_instruments, data_dir_of, err,
                                       rules_options,
                                       margins_of, market_of, option_settings, out, use_console)
from orva_backtest.engine.market_rules import rules_line
from orva_backtest.engine.strategy_file import StrategyFileError, load_strategy_class

_owns_process = False  # run from entry_point: the process is the command's own
_interrupts_seen = 0  # Ctrl-Cs counted by _note_interrupt

DEMO_INSTRUMENTS = ["2330:Stock"]
DEMO_RANGE = ("2024-03-04", "2024-03-08")


def _show(result):
    headers = ("商品", "平倉次數", "勝率", "淨損益 (扣成本)", "手續費與稅", "滑價成本", "未平倉", "未實現損益")
    rows = []
    for code, s in result.instruments.items():
        if not s.shown:  # a chain's untraded series
            continue
        held = s.open.text() if s.open else "0"
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
    if any(market == "Future" for market in account.product_type_mapper.values()):
        out.print(f"權益 {result.account_equity:,.2f} (初始資金 + 已實現 + 未實現)  "
                  f"保證金占用 {result.margin_in_use:,.2f}  — 期貨對帳單的讀法; 帳戶餘額以整口契約價值扣除期貨進場")
    held = [f"{code} {s.open.quantity:+,}" for code, s in result.instruments.items() if s.open]
    if held:
        out.print(f"[yellow]結束時仍有未平倉部位 ({', '.join(held)}): 帳戶餘額已扣除其進場價金與成本, "
                  "損益只計已平倉的部分; 未實現損益以最後成交價計算, 未扣平倉成本[/yellow]")
    else:
        out.print("帳戶餘額 = 初始資金 + 已實現損益 (全部平倉); 淨損益已扣手續費、稅與固定成本, 滑價已反映在成交價中")
    from orva_backtest.engine.summary import main_figures
    figures = main_figures(result.stats())
    out.print("  ".join(f"{label} {text}" for label, text in figures[:8]))
    out.print("  ".join(f"{label} {text}" for label, text in figures[8:]))
    if result.short_run_note():
        out.print(result.short_run_note())
    for warning in result.warnings:
        out.print(f"[yellow]警告: {escape(warning)}[/yellow]")
    if result.synthetic:
        out.print("[yellow]行情來源: 內建合成行情 — 快取中沒有的日子使用虛構的 Tick (任何代碼都會產生), "
                  "不是真實歷史; 真實資料請用 import-ticks / --source cache[/yellow]")
    out.print(f"成交模型 {result.fill_model}, 委託延遲 {result.latency_ms:g} 毫秒")
    out.print(escape(rules_line(result.market_rules, result.day_trades)))
    out.print(f"回測商品 Tick 數 {result.ticks:,}; 回放共 {result.replayed:,} 筆 (含基準), "
              f"{result.seconds:.2f} 秒 ({result.ticks_per_second:,.0f} ticks/s)")
    if result.compile_seconds is not None:
        out.print(f"編譯策略: 編譯 (或自磁碟快取載入) {result.compile_seconds:.2f} 秒, 不計入回放時間")
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
              cash_check=False, margins=None, fill_model="touch", latency_ms=0, rules="taiwan"):
    from orva_backtest.engine.runner import StrategyError, run_backtest
    source = market_of(source)
    instruments = check_instruments(instruments, source)
    data_dir = data_dir_of(data_dir)
    if json_path:
        _json_folder(json_path)
    use_console(verbose)
    with RunProgress() as progress:
        try:
            result = run_backtest(strategy, instruments, start, end, backfill_start=backfill[0],
                                  backfill_end=backfill[1], capital=capital, fees=fees,
                                  slippage_ticks=slippage_ticks, data_dir=data_dir, source=source,
                                  mode=mode, reports=reports, cash_check=cash_check,
                                  margins=margins, fill_model=fill_model, latency_ms=latency_ms,
                                  rules=rules, progress=progress)
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
    from orva_backtest.engine.runner import use_taiwan_time
    use_taiwan_time()
    if _owns_process:
        # The libraries' objects (polars, numpy: about 100,000) live as long as the process:
        # set aside, neither the collector's later passes nor the interpreter's exit walk them.
        gc.freeze()
        gc.enable()
    ctx.obj = {"debug": debug, "verbose": verbose}


@main.command()
@DATA_DIR
@MODE
@FILL_MODEL
@LATENCY
@rules_options
@click.pass_context
def demo(ctx, data_dir, mode, fill_model, latency_ms, rules):
    """Backtest the moving-average example on the built-in synthetic market."""
    from orva_backtest.examples.ma_crossover import MovingAverageCrossover
    out.print(f"[green]示範回測: {', '.join(DEMO_INSTRUMENTS)} {DEMO_RANGE[0]} ~ {DEMO_RANGE[1]} "
              f"(合成行情), 均線交叉策略[/green]")
    _backtest(MovingAverageCrossover(), DEMO_INSTRUMENTS, *DEMO_RANGE, capital=10_000_000,
              fees=None, slippage_ticks=None, data_dir=data_dir, mode=mode, reports=True,
              json_path=None, verbose=ctx.obj["verbose"], fill_model=fill_model, latency_ms=latency_ms,
              rules=rules)


@main.command()
@click.argument("strategy_file", type=click.Path())
@backtest_options
@MODE
@click.option("--json", "json_path", type=click.Path(dir_okay=False), default=None,
              help="write the result summary as JSON")
@click.pass_context
def run(ctx, strategy_file, codes, start, end, backfill_start, backfill_end, capital, fee_pairs,
        slippage_ticks, data_dir, param_pairs, strategy_class, source, no_reports, fill_model,
        latency_ms, cash_check, margin_pairs, rules, mode, json_path):
    """Backtest the Strategy subclass defined in STRATEGY_FILE."""
    start, end, backfill, instruments, fees, params = option_settings(
        codes, start, end, backfill_start, backfill_end, fee_pairs, param_pairs)
    try:
        cls = load_strategy_class(strategy_file, strategy_class)
    except StrategyFileError as error:
        raise CliError(str(error)) from error
    try:
        strategy = cls(**params)
    except (Exception, SystemExit) as error:  # the user's constructor: one line, as in its callbacks
        raise CliError(f"無法建立策略 {cls.__name__}({', '.join(f'{k}={v!r}' for k, v in params.items())}): "
                       f"{type(error).__name__}: {error}") from error
    _backtest(strategy, instruments, start, end, backfill=backfill, capital=capital, fees=fees,
              slippage_ticks=slippage_ticks, data_dir=data_dir, mode=mode, reports=not no_reports,
              json_path=json_path, verbose=ctx.obj["verbose"], source=source,
              cash_check=cash_check, margins=margins_of(margin_pairs), fill_model=fill_model,
              latency_ms=latency_ms, rules=rules)


class _ImportProgress(RunProgress):
    """The files of an import and the rows read."""
    label, unit = "匯入中", " 個檔案"

    def __call__(self, done, total, rows, ticks):
        note = f"已讀 {rows:,} 列, {ticks:,} ticks"
        self._show(done, total, note, ", " + note, done == total)


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
    from orva_backtest.data.tick_import import import_tick_file
    data_dir = data_dir_of(data_dir)
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
    from orva_backtest.data.taifex import import_taifex_files
    _import_exchange_files(import_taifex_files, files, product, code=code, data_dir=data_dir_of(data_dir))


@main.command("import-taifex-options")
@click.argument("files", nargs=-1, required=True, type=click.Path())
@click.option("--product", required=True, help="the exchange's option product in the files: TXO")
@click.option("--expiries", default=None, help="only these expiries, e.g. 202601,202601W2 (default: all)")
@click.option("--strikes", default=None, help="only strikes in this range, e.g. 22000-24000 (default: all)")
@DATA_DIR
def import_taifex_options(files, product, expiries, strikes, data_dir):
    """Store a product's option trades of the futures exchange's daily options files
    (OptionsDaily_YYYY_MM_DD.zip or their CSV): each trading day's chain in one file, each
    series' trades as its cache day (codes such as TXO202601C23000)."""
    from orva_backtest.data.taifex_options import import_taifex_option_files
    _import_exchange_files(import_taifex_option_files, files, product, expiries=expiries, strikes=strikes,
                           data_dir=data_dir_of(data_dir))


def _import_exchange_files(importer, *args, **kwargs):
    """An import of the exchange's daily files under a progress bar; its errors are one line."""
    with _ImportProgress() as progress:
        try:
            result = importer(*args, progress=progress, **kwargs)
        except (OSError, ValueError) as error:
            raise CliError(str(error)) from None
    _show_import(result)


def _register_research_commands():
    from orva_backtest.cli import research as cli_research
    main.add_command(cli_research.sweep)
    main.add_command(cli_research.walkforward)


_register_research_commands()


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
    except BaseException as error:  # a library's panic (polars') where a Ctrl-C landed
        if isinstance(error, (SystemExit, KeyboardInterrupt)) or not _ctrl_c_seen():
            raise
        err.print("已中止")
        return 130
    if _ctrl_c_seen():  # one a library swallowed: what it was making is missing
        err.print("已中止")
        return 130
    return 0


def _ctrl_c_seen():
    return _owns_process and _interrupts_seen > 0


def _note_interrupt(signum, frame):
    """The command's own SIGINT handler: Python's, counting. A library that a Ctrl-C
    interrupted may fail with its own error, without the KeyboardInterrupt in its chain."""
    global _interrupts_seen
    _interrupts_seen += 1
    raise KeyboardInterrupt


def _interrupted(error):
    if _ctrl_c_seen():
        return True
    seen = set()
    while error is not None and id(error) not in seen:
        if isinstance(error, KeyboardInterrupt):
            return True
        seen.add(id(error))
        error = error.__cause__ or error.__context__
    return False


def entry_point():
    global _owns_process, _interrupts_seen
    collecting = gc.isenabled()
    _owns_process, _interrupts_seen = True, 0
    gc.disable()  # the imports make no garbage worth a pass; enabled once they are done
    # A host's own handler, or SIGINT ignored, stays; only the main thread may set one.
    counting = (threading.current_thread() is threading.main_thread()
                and signal.getsignal(signal.SIGINT) is signal.default_int_handler)
    if counting:
        signal.signal(signal.SIGINT, _note_interrupt)
    try:
        status = run_cli()
    finally:  # a host that called it (a notebook, runpy) gets its collector back as it was
        _owns_process = False
        if counting:
            signal.signal(signal.SIGINT, signal.default_int_handler)
        if collecting:
            gc.enable()
    sys.exit(status)
