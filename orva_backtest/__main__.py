"""Command line: `python -m orva_backtest` runs a demonstration backtest on synthetic ticks.

Ticks of a stock and a futures contract are replayed from a deterministic synthetic
market; a moving-average strategy trades through the simulated exchange, and the
run ends with the account's results.
"""
import argparse
import os
import time
from collections import deque

from rich.console import Console
from rich.table import Table

from orva_backtest import utils
from orva_backtest.market import SyntheticMarket
from orva_backtest.modules.matcher.matcher import Matcher
from orva_backtest.modules.positions.positions import Positions
from orva_backtest.modules.ticker.ticker import Ticker

INSTRUMENTS = [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]


class CrossoverStrategy:
    """Long one unit once the price clears its moving average by a band, flat once it
    falls through the band below it."""

    def __init__(self, matcher, window, band=0.002):
        self.matcher = matcher
        self.window = window
        self.band = band
        self.prices = {}
        self.holding = {}

    def on_tick(self, tick):
        code, close = tick["code"], tick["close"]
        prices = self.prices.setdefault(code, deque(maxlen=self.window))
        prices.append(close)
        if len(prices) < self.window:
            return
        average = sum(prices) / len(prices)
        holding = self.holding.get(code, False)
        if holding:
            want = close >= average * (1 - self.band)
        else:
            want = close > average * (1 + self.band)
        if want != holding:
            self.holding[code] = want
            self.matcher.add_pending_order_queue("add", {
                "code": code, "product_type": tick["market_type"],
                "action": "Buy" if want else "Sell", "price": close, "qty": 1,
                "price_type": "MKT", "order_type": "ROD"})
            self.matcher.pending_order_queue.join()  # the order rests before the next tick


def run(start, end, window, out):
    account = Positions()
    account.set_initial_capital(10_000_000)
    matcher = Matcher(account)
    ticker = Ticker(SyntheticMarket())
    strategy = CrossoverStrategy(matcher, window)

    out.print(f"[green]載入 {start} ~ {end} 的合成 Tick 資料...[/green]")
    began = time.time()
    ticker.send_ticks(INSTRUMENTS, start, end)
    ticks = 0
    with out.status("回測中...") as status:
        while True:
            tick = ticker.pop_tick()
            if "orva_status" in tick:
                break
            matcher.set_current_tick(tick)
            matcher.match_deal(tick["code"], tick["close"], tick["qty"], tick["timestamp"])
            strategy.on_tick(tick)
            while not matcher.response_queue.empty():
                matcher.pop_response()
            ticks += 1
            if ticks % 5000 == 0:
                status.update(f"回測中... {ticks:,} 筆 Tick")
            ticker.allow_next_tick()
    return account, ticks, time.time() - began


def report(account, ticks, seconds, out):
    summary = Table(title="回測結果")
    summary.add_column("項目")
    summary.add_column("數值", justify="right")
    deals = [r for r in account.trade_records if r["trade_status"] == "Deal"]
    rows = account._profit_report["rows"]
    wins = sum(1 for r in rows if r["profit"] > 0)
    for name, value in [
        ("Tick 數", f"{ticks:,} ({ticks / max(seconds, 1e-9):,.0f} 筆/秒)"),
        ("成交筆數", f"{len(deals):,}"),
        ("平倉筆數 (獲利)", f"{len(rows):,} ({wins:,})"),
        ("已實現損益", f"{account._profit_report['profit']:,.2f}"),
        ("初始資金", f"{account.initial_capital:,}"),
        ("帳戶餘額", f"{account.fetch_account_balance():,.2f}"),
    ]:
        summary.add_row(name, value)
    out.print(summary)

    per_code = Table(title="各商品")
    for column in ("商品", "進場", "平倉", "損益", "手續費與稅"):
        per_code.add_column(column, justify="right")
    for code, info in account._account_infos.items():
        per_code.add_row(code, str(info["entry_times"]), str(info["cover_times"]),
                         f"{info['profit']:,.2f}", f"{info['extra_fee']:,.2f}")
    out.print(per_code)
    for product_type in ("Stock", "Future"):
        account.fetch_positions(product_type)
        for row in account.pop_positions():
            out.print(f"持倉 {row['code']}: {row['quantity']} @ {row['avg_price']}, 未實現損益 {row['pnl']:,.2f}")


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m orva_backtest", description=__doc__.splitlines()[0])
    parser.add_argument("--start", default="2024-03-04", help="first day (YYYY-MM-DD)")
    parser.add_argument("--end", default="2024-03-08", help="last day (YYYY-MM-DD)")
    parser.add_argument("--window", type=int, default=600, help="moving-average length in ticks")
    parser.add_argument("--verbose", action="store_true", help="print every booking and order message")
    args = parser.parse_args(argv)

    # Exchange times read as Taiwan times only in the Taiwan zone.
    os.environ["TZ"] = "Asia/Taipei"
    time.tzset()
    out = Console()
    if not args.verbose:
        utils.console = utils.SilentConsole()
    account, ticks, seconds = run(args.start, args.end, args.window, out)
    report(account, ticks, seconds, out)


if __name__ == "__main__":
    main()
