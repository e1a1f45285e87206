"""Runs a backtest: replays the instruments' ticks through the simulated exchange and account,
hands them to a strategy, and writes the trade records and reports at the end."""
import os
import threading
import time
from datetime import datetime
from queue import Queue
from typing import Callable, Optional

from orva_backtest import utils
from orva_backtest.constant import BASIC_INFO
from orva_backtest.data.instruments import parse_instruments
from orva_backtest.data.option_chains import expand_chains
from orva_backtest.engine.buying_power import BuyingPower, check_margins
from orva_backtest.engine.compiled import CompiledStrategy, check_run
from orva_backtest.engine.market_rules import apply_rules, market_rules, rules_line
from orva_backtest.engine.options import set_up_options, settle_expired
from orva_backtest.engine.outputs import library_step, new_run_folder, register_exit_wait, write_reports
from orva_backtest.engine.result import BacktestResult, instrument_summaries, margin_in_use
from orva_backtest.engine.strategy import Context, defined_callbacks
from orva_backtest.modules.positions.reporting import BENCHMARK

MODES = ("direct", "paced")
# Reports a single tick's callbacks may cause before the run is stopped as a report storm.
MAX_REPORTS_PER_TICK = 10_000
_ONE_RUN_AT_A_TIME = threading.RLock()  # reentrant: a run started from a callback must not hang


def _fresh_run_lock():
    global _ONE_RUN_AT_A_TIME
    _ONE_RUN_AT_A_TIME = threading.RLock()  # a thread that held it in the parent is not here


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_fresh_run_lock)


class StrategyError(Exception):
    """A strategy callback raised; the message names the callback and the tick it handled."""

    def __init__(self, callback, record, error):
        super().__init__(f"策略的 {callback}{_where(record)} 發生錯誤: {type(error).__name__}: {_text(error)}")
        self.callback, self.record = callback, record


def _text(error):
    """The error's message, even when its own __str__ fails."""
    try:
        return str(error)
    except Exception:
        return "(錯誤訊息無法顯示)"


class NoTicks(ValueError):
    """None of the run's instruments had a tick in its range."""


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


def check_capital(capital):
    """The statistics and reports divide by the initial capital: a whole amount above 0."""
    if type(capital) is not int or capital < 1:
        raise ValueError(f"初始資金必須是大於 0 的整數: {capital!r}")


def _configure_account(account, capital, fees, slippage_ticks):
    account.set_initial_capital(capital)
    for setting_type, values in (fees or {}).items():
        account.update_fee_settings(setting_type, **values)
    if slippage_ticks is not None:
        for setting_type in ("stock", "future", "option"):
            for action in ("buy", "sell"):
                account.update_fee_settings(setting_type, action=action, tick_count=slippage_ticks)


def _check_backfill(backfill_start, backfill_end, start):
    """A backfill is history before the run: a range that reaches into it would replay time
    backwards."""
    if backfill_start is None:
        return
    first, last, begins = (utils.format_to_dt(d) for d in (backfill_start, backfill_end, start))
    if last < first:
        raise ValueError(f"回補結束日期 {backfill_end} 早於開始日期 {backfill_start}")
    if last.date() >= begins.date():
        raise ValueError(f"回補區間 {backfill_start} 至 {backfill_end} 必須在回測開始日 {start} 之前")


def _paced_records(ticker, codes, start, end, backfill, quotes):
    ticker.send_ticks(codes, start, end, *(backfill or (None, None)), with_quotes=quotes)
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
        self.strategy = strategy
        self.callbacks = defined_callbacks(strategy)
        self.compiled = strategy if isinstance(strategy, CompiledStrategy) else None  # its on_tick is C
        self.matcher, self.quotes = matcher, quotes
        self.markets = markets
        self.ctx = Context(account, matcher, quotes, markets,
                           buying_power=buying_power if cash_check else None)
        self.bar_feed = None
        self.buying_power = buying_power
        self.warnings = []
        self.below_zero = False
        self.handed = None  # the record last handed to the strategy: the final bars come with it
        self.replayed_ticks = {}  # code → ticks replayed (backfill aside)

    def call(self, name, record, *args):
        """Calls the strategy's `name`; its error (sys.exit included) leaves as a StrategyError
        naming both."""
        try:
            self.callbacks[name](self.ctx, *args)
        except (Exception, SystemExit) as error:
            raise StrategyError(name, record, error) from error

    def start(self):
        """on_start, then the bar subscriptions it made (one-minute bars of every instrument
        when it made none and the strategy has on_bar)."""
        from orva_backtest.modules.positions.positions import BarFeed
        if "on_start" in self.callbacks:
            self.call("on_start", None)
            self.callbacks = defined_callbacks(self.strategy)  # it may have set some
        keys = self.ctx._close_subscriptions()
        if "on_bar" not in self.callbacks:
            if keys:
                raise ValueError("策略訂閱了 K 棒, 但沒有定義 on_bar")
            return
        self.bar_feed = BarFeed(self.quotes, keys or [(code, "m", 1) for code in self.markets])

    def dispatch_reports(self, record):
        queue = self.matcher.response_queue
        # A plain queue's deque is looked into without empty()'s lock, as pop_response does:
        # this runs after every step that may have made reports.
        items = queue.queue if type(queue) is Queue else None
        if not (items if items is not None else not queue.empty()):
            return
        # Report callbacks see the tick whose matching made the reports.
        self.handed = self.ctx.tick = record
        pop, callbacks, dealt = self.matcher.pop_response, self.callbacks, False
        # A callback may place orders whose reports arrive here too: past those already made,
        # bounded per tick. Asked once per report: after it, as the first is known to be there.
        for _ in range((len(items) if items is not None else queue.qsize()) + MAX_REPORTS_PER_TICK):
            report = pop()
            if "order" in report:
                name = "on_order_report"
            else:
                name, dealt = "on_deal_report", True
            if name in callbacks:
                self.call(name, record, report)
            if not (items if items is not None else not queue.empty()):
                break
        else:
            raise StrategyError(name, record, RuntimeError(
                f"同一個 Tick 的回報超過 {MAX_REPORTS_PER_TICK:,} 筆: 回報回呼每次都下新單或改單?"))
        if dealt and not self.below_zero:
            self.warn_below_zero(record)

    def reads_reports(self):
        """Whether the strategy reads reports; when not, the direct replay has none made. A
        compiled strategy's own on_deal_report only keeps the positions the loop keeps then."""
        if "on_order_report" in self.callbacks:
            return True
        deal = self.callbacks.get("on_deal_report")
        return deal is not None and getattr(deal, "__func__", None) is not CompiledStrategy.on_deal_report

    def after_fills(self, record):
        """What dispatch_reports does after a tick's fills when no report was made."""
        if not self.below_zero:
            self.warn_below_zero(record)

    def warn(self, text):
        self.warnings.append(text)
        utils.console.print(f"[yellow]{text}[/yellow]")

    def warn_below_zero(self, record):
        """Once, the first time a fill leaves the account without buying power."""
        power = self.buying_power.available()
        if power < 0:
            when = _where(record).strip() or "回測中"
            self.warn(f"帳戶可用資金首次低於 0: {power:,.0f} {when}; 可用 --cash-check 拒絕資金不足的委託")
            self.below_zero = True

    def hand_over_bars(self, bars, record):
        for bar in bars:
            self.handed = self.ctx.tick = record
            self.call("on_bar", record, bar)
            self.dispatch_reports(record)

    def direct(self, records, progress):
        """The direct mode: the whole per-tick path runs in the tick feed's C++ loop."""
        days = records.days_total
        tell = None if progress is None else (
            lambda done, total: progress(done, total, records.days_loaded, days))
        try:
            ticks = records.drive(self.matcher, self.quotes, self.ctx, set(self.markets),
                                  on_tick=self.callbacks.get("on_tick"), bar_feed=self.bar_feed,
                                  on_bar=self.callbacks.get("on_bar"),
                                  on_reports=self.dispatch_reports, progress=tell,
                                  compiled=self.compiled and self.compiled.drive_setup(
                                      self.markets, self.ctx._refuse_settled),
                                  on_fills=None if self.reads_reports() else self.after_fills)
        except (Exception, SystemExit) as error:
            failed = records.failed_callback
            if failed is None:
                raise
            raise StrategyError(failed[0], failed[1], error) from error
        finally:
            if self.compiled:
                self.compiled._drive_ended()
        # Counted as replayed: a day re-imported during the run has other ticks than counted.
        self.replayed_ticks = dict(records.replayed_by_code)
        return ticks

    def paced(self, records, progress):
        """The paced mode: the same steps, in Python, on records from the replay thread."""
        ticks, counts = 0, self.replayed_ticks
        # The per-tick path, with everything it touches bound to locals.
        set_current_tick, add_tick = self.matcher.set_current_tick, self.quotes.add_tick
        match_deal, feed, ctx, markets = self.matcher.match_deal, self.bar_feed, self.ctx, self.markets
        on_tick = self.callbacks.get("on_tick")
        for record in records:
            if "orva_status" in record:
                continue
            if not record["is_backfilling"]:  # counted before the strategy can change it
                counts[record["code"]] = counts.get(record["code"], 0) + 1
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
                except (Exception, SystemExit) as error:
                    raise StrategyError("on_tick", record, error) from error
                self.dispatch_reports(record)
            ticks += 1
            if progress and ticks % 5000 == 0:
                progress(ticks, None, None, None)
        if feed is not None:
            self.hand_over_bars(feed.close(), self.handed)
        return ticks


def run_backtest(strategy, instruments, start, end, *, backfill_start=None, backfill_end=None,
                 capital=1_000_000, fees=None, slippage_ticks=None, data_dir=None, source=None,
                 mode="direct", reports=True, cash_check=False, margins=None,
                 fill_model="touch", latency_ms=0, rules="taiwan",
                 progress: Optional[Callable[..., None]] = None) -> BacktestResult:
    """Backtests `strategy` on `instruments` from `start` to `end` (YYYY-MM-DD texts).

    `instruments`: "2330:Stock" texts, (code, market) pairs or {"code", "market"} dicts.
    `fees`: {"stock": {"fee": .., "tax": .., "per_trade_cost": ..}, "future": {..}}; omitted
    keys keep the account's defaults. `slippage_ticks`: ticks of slippage on every fill.
    `source`: a logged-in broker SDK object; the built-in synthetic market by default.
    `mode`: "direct" replays on this thread; "paced" through the tick feed's replay thread.
    `progress(ticks_done, ticks_total, days_done, days_total)`: in the direct mode, first once per
    instrument-day made ready (cached, counted; ticks_total None), then every few thousand
    ticks with the records in all and the days read so far; in the paced mode every few
    thousand ticks, with None for the totals and the days.
    `fill_model`: "touch" (a resting limit order fills on the first trade at its price) or
    "queue" (only once the quantity shown ahead of it at its price has traded; records then
    carry the best bid and ask); `latency_ms`: how long an order, a change or a cancellation
    takes to reach the exchange (see README, "Fill models").
    `cash_check`: refuse the strategy's orders that the buying power cannot pay for (an
    `InsufficientFunds` error from `ctx.buy`/`ctx.sell`); `margins` ({code: margin per
    contract}) overrides the futures margins it counts (see `orva_backtest.engine.buying_power`).
    `rules`: "taiwan" (the default: day-trade tax, tax on the side that owes it, fee minimum,
    daily price limits, futures expiry), "plain" (the account and exchange alone) or a
    `market_rules.MarketRules` with settings of its own (see `market_rules.market_rules`).
    """
    from orva_backtest.data import SyntheticMarket
    from orva_backtest.modules.matcher.matcher import Matcher
    from orva_backtest.modules.positions.positions import Positions, QuoteManager
    from orva_backtest.modules.ticker.ticker import Ticker
    from orva_backtest.engine.equity import round_trips

    utils.check_not_forked_from_polars("run_backtest")
    if mode not in MODES:
        raise ValueError(f"不支援的回放模式 {mode!r}, 請用 direct 或 paced")
    if (backfill_start is None) != (backfill_end is None):
        raise ValueError("回補需要同時給開始與結束日期")
    parsed = parse_instruments(instruments)
    rules = market_rules(rules)
    check_capital(capital)
    check_run(strategy, mode, cash_check)
    check_margins(margins, cash_check, {i["code"]: i["market"] for i in parsed})
    _check_backfill(backfill_start, backfill_end, start)
    use_taiwan_time()
    register_exit_wait()
    # The data directory is process-wide (the account and the tick feed read it at each use),
    # so runs on several threads take turns rather than write into each other's folders.
    with _ONE_RUN_AT_A_TIME:
        if data_dir is not None:
            BASIC_INFO.data_dir = str(data_dir)
        data_dir = BASIC_INFO.data_dir
        utils.make_dir(data_dir)
        if not os.access(data_dir, os.W_OK):
            raise PermissionError(f"資料目錄無法寫入: {data_dir}")
        parsed = expand_chains(parsed, start, end, data_dir)  # option chains by their series

        account = library_step(Positions)
        _configure_account(account, capital, fees, slippage_ticks)
        # The direct replay keeps one-minute bars and the current day's ticks, not the range's.
        quotes = library_step(lambda: QuoteManager(compact=mode == "direct"))
        matcher = Matcher(account, fill_model=fill_model, latency_ms=latency_ms,
                          price_limit=rules.price_limit())
        with_quotes = fill_model == "queue"  # the records carry the best bid and ask
        source = source if source is not None else SyntheticMarket()
        ticker = Ticker(source)
        markets = {i["code"]: i["market"] for i in parsed}
        notes = []
        apply_rules(rules, account, markets, data_dir, isinstance(source, SyntheticMarket), notes)
        replayed = parsed + ([{"code": BENCHMARK, "market": "Stock"}] if BENCHMARK not in markets else [])
        backfill = () if backfill_start is None else (backfill_start, backfill_end)

        loop = _Loop(strategy, account, matcher, quotes, markets,
                     BuyingPower(account, markets, margins), cash_check)
        set_up_options(account, loop.ctx, markets, data_dir, rules.settlements, end, notes)
        loop.start()
        if mode == "direct":
            preparing = None if progress is None else (lambda done, all: progress(0, None, done, all))
            # Every day made ready, none held: the replay reads each as it reaches it.
            records = library_step(lambda: ticker.iter_ticks(
                replayed, start, end, *(backfill or (None, None)), progress=preparing,
                with_quotes=with_quotes))
            began = time.perf_counter()
            ticks = loop.direct(records, progress)
        else:
            began = time.perf_counter()
            records = _paced_records(ticker, replayed, start, end, backfill, with_quotes)
            try:
                ticks = loop.paced(records, progress)
            finally:  # a failed run stops its replay thread now, not when its error is freed
                records.close()
        seconds = time.perf_counter() - began
        if progress:
            days = (records.days_loaded, records.days_total) if mode == "direct" else (None, None)
            progress(ticks, ticks, *days)
        counts = loop.replayed_ticks
        missing = [code for code in markets if not counts.get(code)]
        if len(missing) == len(markets):
            raise NoTicks(f"回測商品在 {start} 至 {end} 沒有任何 Tick: {', '.join(missing)} "
                          "(用 --source cache 時, 這些日子不在 Tick 快取中?)")
        if missing:
            loop.warn(f"{', '.join(missing)} 在 {start} 至 {end} 沒有任何 Tick")
        if BENCHMARK not in markets and not counts.get(BENCHMARK):
            loop.warn(f"基準 {BENCHMARK} 在 {start} 至 {end} 沒有任何 Tick: 進階損益報告不含基準")
        settle_expired(account, loop.ctx, end)
        if loop.compiled:  # a settlement books no deal report
            loop.compiled._keep_positions(account)
        loop.dispatch_reports(loop.handed)  # the cancels of what rested on a series it settled
        if "on_finish" in loop.callbacks:
            loop.call("on_finish", None)

        if BASIC_INFO.data_dir != data_dir:  # a run started from a callback pointed it elsewhere
            BASIC_INFO.data_dir = data_dir
        result = BacktestResult(account=account, quotes=quotes,
                                profit_rows=list(account._profit_report["rows"]),
                                instruments=instrument_summaries(account, markets),
                                balance=account.fetch_account_balance(),
                                ticks=sum(counts.get(code, 0) for code in markets), replayed=ticks,
                                seconds=seconds, synthetic=isinstance(source, SyntheticMarket),
                                warnings=loop.warnings, fill_model=matcher.fill_model,
                                latency_ms=matcher.latency_ms,
                                market_rules={**rules.describe(), "notes": notes},
                                first_day=utils.format_to_dt(start).date() if backfill else None,
                                margin_in_use=margin_in_use(account, loop.buying_power),
                                compile_seconds=loop.compiled and loop.compiled._compile_seconds_of_run(),
                                # polars at work when the interpreter exits must finish first
                                _trips=library_step(round_trips, account._profit_report["rows"]))
        account.fill_rules["market_rules"] = rules_line(result.market_rules, result.day_trades)
        if reports:
            result.folder = new_run_folder(data_dir, strategy)
            result.files = write_reports(result, result.folder)
        return result
