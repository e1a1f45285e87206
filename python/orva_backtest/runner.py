"""Runs a backtest: replays the instruments' ticks through the simulated exchange and account,
hands them to a strategy, and writes the trade records and reports at the end."""
import atexit
import os
import threading
import time
from datetime import datetime
from typing import Callable, Optional

from orva_backtest import utils
from orva_backtest.buying_power import BuyingPower
from orva_backtest.constant import BASIC_INFO
from orva_backtest.result import BacktestResult, instrument_summaries
from orva_backtest.strategy import Context, defined_callbacks

BENCHMARK = "0050"
MODES = ("direct", "paced")
MARKETS = ("Stock", "Future")
_ONE_RUN_AT_A_TIME = threading.RLock()  # reentrant: a run started from a callback must not hang


class StrategyError(Exception):
    """A strategy callback raised; the message names the callback and the tick it handled."""

    def __init__(self, callback, record, error):
        super().__init__(f"策略的 {callback}{_where(record)} 發生錯誤: {type(error).__name__}: {error}")
        self.callback, self.record = callback, record


def _where(record):
    """The record's " (Tick code time)" for the message; nothing when there is none or the
    strategy has changed it past reading, so that the message still carries the error."""
    if record is None:
        return ""
    try:
        moment = datetime.fromtimestamp(record["timestamp"]).strftime("%Y-%m-%d %H:%M:%S.%f")
        return f" (Tick {record['code']} {moment})"
    except Exception:
        return ""


def use_taiwan_time():
    """Reads exchange times on the exchange's clock unless the user chose a zone."""
    if "TZ" not in os.environ:
        os.environ["TZ"] = "Asia/Taipei"
        time.tzset()


def parse_instruments(instruments):
    """[{"code", "market"}] from "2330:Stock" texts, (code, market) pairs or such dicts."""
    markets = {}  # a code listed twice is replayed once; listed in two markets it is refused
    for entry in instruments:
        if isinstance(entry, str):
            code, _, market = entry.partition(":")
            market = market.strip() or "Stock"
        elif isinstance(entry, dict):
            code, market = entry.get("code"), entry.get("market")
        else:
            code, market = entry
        if not isinstance(code, str) or not code.strip():
            raise ValueError(f"商品代碼不可為空: {entry!r}")
        if market not in MARKETS:
            raise ValueError(f"不支援的市場 {market!r} ({code}), 請用 Stock 或 Future")
        code = code.strip()
        if markets.setdefault(code, market) != market:
            raise ValueError(f"商品 {code} 不可同時列在 {markets[code]} 與 {market}")
    if not markets:
        raise ValueError("至少需要一個商品")
    return [{"code": code, "market": market} for code, market in markets.items()]


def _configure_account(account, capital, fees, slippage_ticks):
    account.set_initial_capital(capital)
    for setting_type, values in (fees or {}).items():
        account.update_fee_settings(setting_type, **values)
    if slippage_ticks is not None:
        for setting_type in ("stock", "future"):
            for action in ("buy", "sell"):
                account.update_fee_settings(setting_type, action=action, tick_count=slippage_ticks)


def _paced_records(ticker, codes, start, end, backfill):
    ticker.send_ticks(codes, start, end, *backfill)
    try:
        while True:
            record = ticker.pop_tick()
            yield record
            if "orva_status" not in record:
                ticker.allow_next_tick()
            elif record["orva_status"] == _exit_flag():
                return
    finally:
        ticker.stop_send_ticks()


def _exit_flag():
    from orva_backtest.constant import FLAG
    return FLAG.exit_send_tick.value


class _Loop:
    """One run's host loop: tick → exchange, quotes, strategy; reports and bars → strategy."""

    def __init__(self, strategy, account, matcher, quotes, markets, buying_power, cash_check):
        self.callbacks = defined_callbacks(strategy)
        self.matcher, self.quotes = matcher, quotes
        self.markets = markets
        self.ctx = Context(account, matcher, quotes, markets,
                           buying_power=buying_power if cash_check else None)
        self.bar_feed = None
        self.buying_power = buying_power
        self.warnings = []
        self.handed = None  # the record last handed to the strategy: the final bars come with it

    def call(self, name, record, *args):
        """Calls the strategy's `name`; its error leaves as a StrategyError naming both."""
        try:
            self.callbacks[name](self.ctx, *args)
        except Exception as error:
            raise StrategyError(name, record, error) from error

    def start(self):
        """on_start, then the bar subscriptions it made (one-minute bars of every instrument
        when it made none and the strategy has on_bar)."""
        from orva_backtest.modules.positions.positions import BarFeed
        if "on_start" in self.callbacks:
            self.call("on_start", None)
        keys = self.ctx._close_subscriptions()
        if "on_bar" not in self.callbacks:
            if keys:
                raise ValueError("策略訂閱了 K 棒, 但沒有定義 on_bar")
            return
        self.bar_feed = BarFeed(self.quotes, keys or [(code, "m", 1) for code in self.markets])

    def dispatch_reports(self, record):
        queue = self.matcher.response_queue
        if queue.empty():
            return
        # Report callbacks see the tick whose matching made the reports.
        self.handed = self.ctx.tick = record
        dealt = False
        # A callback may place orders whose reports arrive here too; bounded per tick.
        for _ in range(100_000):
            if queue.empty():
                break
            report = self.matcher.pop_response()
            name = "on_order_report" if "order" in report else "on_deal_report"
            dealt = dealt or name == "on_deal_report"
            if name in self.callbacks:
                self.call(name, record, report)
        if dealt and not self.warnings:
            self.warn_below_zero(record)

    def warn_below_zero(self, record):
        """Once, the first time a fill leaves the account without buying power."""
        power = self.buying_power.available()
        if power < 0:
            when = _where(record).strip() or "回測中"
            self.warnings.append(f"帳戶可用資金首次低於 0: {power:,.0f} {when}; "
                                 "可用 --cash-check 拒絕資金不足的委託")
            utils.console.print(f"[yellow]{self.warnings[-1]}[/yellow]")

    def hand_over_bars(self, bars, record):
        for bar in bars:
            self.handed = self.ctx.tick = record
            self.call("on_bar", record, bar)
            self.dispatch_reports(record)

    def direct(self, records, progress):
        """The direct mode: the whole per-tick path runs in the tick feed's C++ loop."""
        try:
            return records.drive(self.matcher, self.quotes, self.ctx, set(self.markets),
                                 on_tick=self.callbacks.get("on_tick"), bar_feed=self.bar_feed,
                                 on_bar=self.callbacks.get("on_bar"),
                                 on_reports=self.dispatch_reports, progress=progress)
        except Exception as error:
            failed = records.failed_callback
            if failed is None:
                raise
            raise StrategyError(failed[0], failed[1], error) from error

    def paced(self, records, progress):
        """The paced mode: the same steps, in Python, on records from the replay thread."""
        ticks = 0
        # The per-tick path, with everything it touches bound to locals.
        set_current_tick, add_tick = self.matcher.set_current_tick, self.quotes.add_tick
        match_deal, feed, ctx, markets = self.matcher.match_deal, self.bar_feed, self.ctx, self.markets
        on_tick = self.callbacks.get("on_tick")
        for record in records:
            if "orva_status" in record:
                continue
            set_current_tick(record)
            add_tick(record)
            match_deal(record["code"], record["close"], record["qty"], record["timestamp"])
            self.dispatch_reports(record)
            if feed is not None:
                self.hand_over_bars(feed.update(record["code"]), record)
            if on_tick is not None and record["code"] in markets:
                self.handed = ctx.tick = record
                try:
                    on_tick(ctx, record)
                except Exception as error:
                    raise StrategyError("on_tick", record, error) from error
                self.dispatch_reports(record)
            ticks += 1
            if progress and ticks % 5000 == 0:
                progress(ticks, None)
        if feed is not None:
            self.hand_over_bars(feed.close(), self.handed)
        return ticks


# Held while a run is inside the data and report libraries (polars, pandas, matplotlib):
# loading the days, writing one output file. A daemon thread stopped by interpreter exit in
# there aborts the process or leaves a temporary file, so exit waits for the step under way,
# and a run on a daemon thread starts no other.
_IN_LIBRARIES = threading.Lock()
_EXITING = threading.Event()


@atexit.register
def _wait_for_the_step_under_way():
    _EXITING.set()
    _IN_LIBRARIES.acquire(timeout=60)


def _library_step(step, *args):
    if _EXITING.is_set() and threading.current_thread() is not threading.main_thread():
        threading.Event().wait()  # parks this daemon thread until exit ends it
    with _IN_LIBRARIES:
        return step(*args)


def _write_reports(account, quotes, codes, data_dir):
    """Exports the trade records and writes both reports of every traded instrument."""
    files = []
    records_dir = os.path.join(data_dir, "trade_records")
    before = set(os.listdir(records_dir)) if os.path.isdir(records_dir) else set()
    _library_step(account.export_trade_records)
    written = sorted(set(os.listdir(records_dir)) - before) or sorted(
        os.listdir(records_dir), key=lambda n: os.path.getmtime(os.path.join(records_dir, n)))[-1:]
    files += [os.path.join(records_dir, name) for name in written]
    traded = [c for c in codes if any(r["code"] == c for r in account.trade_records)]
    for code in traded:
        _library_step(account.generate_standard_report, code, quotes)
        files.append(os.path.join(data_dir, "report", f"{code}-report.html"))
        _library_step(account.generate_qs_profit_report, code, quotes)
        for suffix in ("-profit_report.csv", "-profit_report.html"):
            path = os.path.join(data_dir, "profit_report", code + suffix)
            if os.path.exists(path):
                files.append(path)
    return files


def run_backtest(strategy, instruments, start, end, *, backfill_start=None, backfill_end=None,
                 capital=1_000_000, fees=None, slippage_ticks=None, data_dir=None, source=None,
                 mode="direct", reports=True, cash_check=False, margins=None,
                 progress: Optional[Callable[[int, Optional[int]], None]] = None) -> BacktestResult:
    """Backtests `strategy` on `instruments` from `start` to `end` (YYYY-MM-DD texts).

    `instruments`: "2330:Stock" texts, (code, market) pairs or {"code", "market"} dicts.
    `fees`: {"stock": {"fee": .., "tax": .., "per_trade_cost": ..}, "future": {..}}; omitted
    keys keep the account's defaults. `slippage_ticks`: ticks of slippage on every fill.
    `source`: a logged-in broker SDK object; the built-in synthetic market by default.
    `mode`: "direct" replays on this thread; "paced" through the tick feed's replay thread.
    `progress(ticks_done, total)` is called every few thousand ticks (total is the number of
    records to come in the direct mode, None in the paced one).
    `cash_check`: refuse the strategy's orders that the buying power cannot pay for (an
    `InsufficientFunds` error from `ctx.buy`/`ctx.sell`); `margins` ({code: margin per
    contract}) overrides the futures margins it counts (see `orva_backtest.buying_power`).
    """
    from orva_backtest.market import SyntheticMarket
    from orva_backtest.modules.matcher.matcher import Matcher
    from orva_backtest.modules.positions.positions import Positions, QuoteManager
    from orva_backtest.modules.ticker.ticker import Ticker

    if mode not in MODES:
        raise ValueError(f"不支援的回放模式 {mode!r}, 請用 direct 或 paced")
    if (backfill_start is None) != (backfill_end is None):
        raise ValueError("回補需要同時給開始與結束日期")
    parsed = parse_instruments(instruments)
    use_taiwan_time()
    # The data directory is process-wide (the account and the tick feed read it at each use),
    # so runs on several threads take turns rather than write into each other's folders.
    with _ONE_RUN_AT_A_TIME:
        if data_dir is not None:
            BASIC_INFO.data_dir = str(data_dir)
        data_dir = BASIC_INFO.data_dir
        utils.make_dir(data_dir)
        if not os.access(data_dir, os.W_OK):
            raise PermissionError(f"資料目錄無法寫入: {data_dir}")

        account = _library_step(Positions)
        _configure_account(account, capital, fees, slippage_ticks)
        quotes, matcher = _library_step(QuoteManager), Matcher(account)
        source = source if source is not None else SyntheticMarket()
        ticker = Ticker(source)
        markets = {i["code"]: i["market"] for i in parsed}
        replayed = parsed + ([{"code": BENCHMARK, "market": "Stock"}] if BENCHMARK not in markets else [])
        backfill = () if backfill_start is None else (backfill_start, backfill_end)

        loop = _Loop(strategy, account, matcher, quotes, markets,
                     BuyingPower(account, markets, margins), cash_check)
        loop.start()
        if mode == "direct":
            records = _library_step(ticker.iter_ticks, replayed, start, end, *backfill)  # every day
            began = time.perf_counter()
            ticks = loop.direct(records, progress)
        else:
            began = time.perf_counter()
            ticks = loop.paced(_paced_records(ticker, replayed, start, end, backfill), progress)
        seconds = time.perf_counter() - began
        if progress:
            progress(ticks, ticks)
        if "on_finish" in loop.callbacks:
            loop.call("on_finish", None)

        if BASIC_INFO.data_dir != data_dir:  # a run started from a callback pointed it elsewhere
            BASIC_INFO.data_dir = data_dir
        files = _write_reports(account, quotes, list(markets), data_dir) if reports else []
        return BacktestResult(account=account, quotes=quotes,
                              profit_rows=list(account._profit_report["rows"]),
                              instruments=instrument_summaries(account, list(markets)),
                              balance=account.fetch_account_balance(), ticks=ticks,
                              seconds=seconds, files=files,
                              synthetic=isinstance(source, SyntheticMarket), warnings=loop.warnings)
