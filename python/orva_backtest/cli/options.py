"""What the command line's commands share: the consoles, one-line errors, option parsing, the
options of a backtest and the progress displays."""
import ast
import functools
import math
import os
import time
from datetime import datetime

import click

from orva_backtest import utils
from orva_backtest.utils import unwrapped_console

out = unwrapped_console()
err = unwrapped_console(stderr=True)


def use_console(verbose):
    """Every booking on the screen with --verbose (unwrapped off a terminal), none without."""
    if not verbose:
        utils.console = utils.SilentConsole()
    elif isinstance(utils.console, utils.SilentConsole):
        utils.console = unwrapped_console()


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
        if kind not in ("stock", "future", "option"):  # option: money per contract
            raise CliError(f"--fee 的商品類型必須是 stock、future 或 option: {pair!r}")
        try:
            rate = float(value)
        except ValueError:
            raise CliError(f"--fee 的費率不是數字: {pair!r}") from None
        fees[kind] = {"fee": rate}
    return fees


def margins_of(pairs):
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


def check_instruments(instruments, source):
    """Refuses codes the tick source does not know before any download."""
    from orva_backtest.data.instruments import parse_instruments
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


def market_of(source):
    """The tick source of --source: the synthetic market, or the cached days only."""
    from orva_backtest.data import CacheOnlyMarket, SyntheticMarket
    return SyntheticMarket() if source == "synthetic" else CacheOnlyMarket()


def data_dir_of(path):
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


class RunProgress:
    """A bar on a terminal, plain lines otherwise: the ticks of a run."""
    label, unit = "回測中", " ticks"

    def __init__(self):
        self.bar = None
        self.last_line = 0.0

    def __enter__(self):
        if out.is_terminal:
            # Loaded only for a terminal: a run writing to a file or pipe prints plain lines.
            from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeRemainingColumn
            self.bar = Progress(TextColumn(self.label), BarColumn(), MofNCompleteColumn(),
                                TextColumn("{task.fields[note]}"), TimeRemainingColumn(), console=out)
            self.bar.start()
            self.task = self.bar.add_task(self.label, total=None, note="")
        self.started = time.perf_counter()
        return self

    def _due(self, last):
        """Whether a call shows anything: a bar always, plain lines every five seconds."""
        return self.bar is not None or last or time.perf_counter() - self.last_line >= 5

    def _show(self, done, total, note, plain_note, last, label=None, unit=None):
        if self.bar is not None:
            self.bar.update(self.task, completed=done, total=total, note=note)
        elif self._due(last):
            self.last_line = time.perf_counter()
            shown = f"{done:,}/{total:,}" if total else f"{done:,}"
            out.print(f"{label or self.label}: {shown}{unit or self.unit}{plain_note}")

    def __call__(self, done, total=None, days=None, days_total=None):
        preparing = total is None and days is not None  # the days are being made ready
        if preparing:
            self.started = time.perf_counter()  # the replay's rate counts from its start
        # Called thousands of times a run: nothing is formatted for a line not yet due.
        if not self._due(bool(total and done == total)):
            return
        if preparing:
            note = f"準備資料 {days:,}/{days_total:,} 天"
            self._show(days, days_total, note, "", False, label="準備資料", unit=" 天")
            return
        rate = f"{done / max(time.perf_counter() - self.started, 1e-9):,.0f} ticks/s"
        if days is not None:
            rate += f", 已讀入 {days:,}/{days_total:,} 天"
        self._show(done, total, rate, ", " + rate, bool(total and done == total))

    def __exit__(self, *exc):
        if self.bar is not None:
            self.bar.stop()


class SweepProgress(RunProgress):
    """The tasks of a sweep: done, failed, running and time left."""
    label, unit = "參數掃描", " 個任務"

    def __call__(self, done, failed, running, total):
        note = f"失敗 {failed}, 執行中 {running}"
        elapsed = time.perf_counter() - self.started
        left = f", 約剩 {elapsed / done * (total - done):,.0f} 秒" if 0 < done < total else ""
        self._show(done, total, note, note + left, done == total)


FILL_MODEL = click.option("--fill-model", type=click.Choice(["touch", "queue"], case_sensitive=False),
                          default="touch", show_default=True,
                          help="touch: a limit order fills on the first trade at its price; queue: only "
                               "once the quantity shown ahead of it has traded")
def _a_number(ctx, param, value):
    if value != value:  # NaN passes every range check
        raise click.BadParameter(f"{value} is not a number", ctx=ctx, param=param)
    return value


LATENCY = click.option("--latency-ms", type=click.FloatRange(0, 60_000), default=0, show_default=True,
                       callback=_a_number,
                       help="milliseconds an order, change or cancel takes to reach the exchange")
MODE = click.option("--mode", type=click.Choice(["direct", "paced"]), default="direct",
                    show_default=True, help="direct: replay on this thread; paced: the feed's replay thread")
DATA_DIR = click.option("--data-dir", type=click.Path(file_okay=False), default=None,
                        help="tick cache and report folder (default: ORVA_DATA_DIR or ./data)")



def rules_options(command):
    """--rules and the Taiwan rules' settings, handed to `command` as one checked `rules`
    argument (a `MarketRules`)."""
    from orva_backtest.engine.market_rules import market_rules

    @functools.wraps(command)
    def with_rules(*args, rules, fee_discount, min_fee, roll, settlement, **kwargs):
        try:
            chosen = market_rules(rules, fee_discount=fee_discount, min_fee=min_fee, roll=roll,
                                  settlements=settlement)
        except ValueError as error:
            raise CliError(str(error)) from None
        return command(*args, rules=chosen, **kwargs)

    options = [
        click.option("--rules", type=click.Choice(["taiwan", "plain"], case_sensitive=False),
                     default="taiwan", show_default=True,
                     help="taiwan: day-trade tax, tax on the side that owes it, fee minimum, daily "
                          "price limits, futures expiry; plain: the fee and tax settings alone"),
        click.option("--fee-discount", type=float, default=None,
                     help="the broker's discount on the stock fee rate, e.g. 0.28 (default 1)"),
        click.option("--min-fee", type=float, default=None,
                     help="the broker's minimum fee per stock fill (default 20)"),
        click.option("--roll", type=click.Choice(["settle", "reopen"]), default=None,
                     help="futures at expiry: settle (default), or settle and reopen in the next month"),
        click.option("--settlement", type=click.Path(dir_okay=False), default=None,
                     help="CSV of final settlement prices (date,price); default: the last trade"),
    ]
    for option in reversed(options):
        with_rules = option(with_rules)
    return with_rules


def backtest_options(command):
    """The options `run` and `sweep` share: instruments, dates, account, data and strategy."""
    options = [
        click.option("--codes", required=True, help="instruments, e.g. 2330:Stock,TXFR1:Future,TXO202601W2:Option (an option chain)"),
        click.option("--start", required=True, help="first day, YYYY-MM-DD"),
        click.option("--end", required=True, help="last day, YYYY-MM-DD"),
        click.option("--backfill-start", default=None, help="first day replayed before the run as backfill"),
        click.option("--backfill-end", default=None, help="last backfill day"),
        click.option("--capital", type=click.IntRange(min=1), default=1_000_000, show_default=True),
        click.option("--fee", "fee_pairs", multiple=True,
                     help="fee rate: stock=0.0005 or future=0.00002; option=15 per contract (repeatable)"),
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
    command = rules_options(command)
    for option in reversed(options):
        command = option(command)
    return command


def option_settings(codes, start, end, backfill_start, backfill_end, fee_pairs, param_pairs):
    """The checked dates, backfill, instruments, fees and strategy arguments of the options."""
    start, end = _range(start, end)
    backfill = (None, None)
    if backfill_start is not None or backfill_end is not None:
        if backfill_start is None or backfill_end is None:
            raise CliError("回補需要同時給 --backfill-start 與 --backfill-end")
        backfill = _range(backfill_start, backfill_end, "回補")
    instruments = [c for c in codes.split(",") if c.strip()]
    return start, end, backfill, instruments, _fees(fee_pairs), _params(param_pairs)


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


def parse_grid(pairs):
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


