"""The Python half of the positions module's reports, which the engine's own reports share: a
round trip's side, an instrument's account summary, the average entry price of what is held,
the benchmark's daily returns and the finishing of a QuantStats tear sheet, with the rates
every page measures by."""
import itertools
import re

from orva_backtest.utils import write_text

BENCHMARK = "0050"  # replayed beside every run, for the tear sheets
TRADING_DAYS_PER_YEAR = 252
RISK_FREE_RATE = 0.0  # every page's Sharpe and Sortino: a backtest's cash earns nothing
# Fewer trading days than this make an annualised figure noise (one day's 3 % is 128 trillion
# per cent a year): such figures are NaN, shown as "—" with SHORT_RUN_NOTE.
MIN_DAYS_TO_ANNUALISE = 20
# QuantStats' rolling panels look back half a year: on a shorter run they are empty frames.
ROLLING_DAYS = TRADING_DAYS_PER_YEAR // 2


def is_long(row):
    """Whether a round trip bought first: its gross profit (profit plus both costs) is nearer
    the long move (exit − entry) × units than the short one; a trip out at its entry price
    made no gross profit either way and counts as long, as the standard report shows it."""
    gross = row["profit"] + row["trade_cost"] + row["cover_cost"]
    move = (row["exit_price"] - row["entry_price"]) * row["min_qty"]
    return abs(gross - move) <= abs(gross + move)


def account_summary(rows, entry_times):
    """The standard report's account summary of one instrument's round trips: what its sells
    received and its buys paid (short trips too, so that the two differ by the gross profit),
    the round trips as the console counts them, costs and profit."""
    received = paid = 0  # stays the integer 0 without a trip, as the account counters do
    for row in rows:
        entry, exit_ = row["entry_price"] * row["min_qty"], row["exit_price"] * row["min_qty"]
        sold, bought = (exit_, entry) if is_long(row) else (entry, exit_)
        received, paid = received + sold, paid + bought
    costs = sum(r["trade_cost"] + r["cover_cost"] for r in rows)
    return {"entry_times": entry_times, "round_trips": len(rows), "receive_amount": received,
            "payable_amount": paid, "gross_profit": received - paid, "extra_fee": costs,
            "profit": sum(r["profit"] for r in rows)}


def average_price(account, code):
    """The average entry price of the lots `code` holds (one side is held at a time)."""
    sides = account.positions.get(code) or {}
    lots = [*sides.get("buy", ()), *sides.get("sell", ())]
    held = sum(e["quantity"] for e in lots)
    return sum(e["price"] * e["quantity"] for e in lots) / held if held else float("nan")


def short_run_note(days):
    """Why the annualised figures are not shown, or None when they are."""
    if days >= MIN_DAYS_TO_ANNUALISE:
        return None
    return (f"只有 {days} 個交易日 (少於 {MIN_DAYS_TO_ANNUALISE} 日): 年化報酬、Sharpe 與 Sortino "
            "不具意義, 顯示為 —")


def benchmark_returns(quotes, index):
    """The benchmark's daily returns on `index`: close to close, its first traded day from that
    day's open, 0 on days it did not trade; None when it was not replayed."""
    import pandas as pd
    try:
        bars = quotes.get_kbar(BENCHMARK, "d", 1)
    except KeyError:
        return None
    days = pd.DatetimeIndex(bars["dt"].to_list()).normalize()
    closes = pd.Series(bars["Close"].to_list(), index=days, dtype="float64").reindex(index).ffill()
    opens = pd.Series(bars["Open"].to_list(), index=days, dtype="float64").reindex(index)
    return (closes / closes.shift(1).fillna(opens) - 1).fillna(0.0)


def finish_tear_sheet(path, returns, note):
    """Completes a tear sheet QuantStats wrote at `path` from `returns`: `note` (HTML) under its
    title with the rate and year it measures by, no rolling panels on a run too short to fill
    them, and a drawdown still open at the end not called recovered."""
    with open(path, encoding="utf-8") as f:
        page = f.read()
    rules = (f"<p style='margin:8px 0;color:#555'>無風險利率 {RISK_FREE_RATE:.0%}, 一年 "
             f"{TRADING_DAYS_PER_YEAR} 個交易日, 與主控台及帳戶頁相同; 回撤以負數表示.")
    days = len(returns) - 1  # the anchor is not a day of the run
    if days < ROLLING_DAYS:
        page = re.sub(r'<div id="rolling_\w+">.*?</div>', "", page, flags=re.S)
        rules += f" 回測只有 {days} 個交易日, 不足滾動指標的 {ROLLING_DAYS} 日, 不顯示滾動圖."
    if short_run_note(days):
        rules += " " + short_run_note(days).replace("顯示為 —", "本頁的年化數字請勿採信 (主控台與帳戶頁顯示 —)")
    values = list(itertools.accumulate((1 + r for r in returns.fillna(0.0).tolist()), lambda a, b: a * b))
    if values and values[-1] < max(values):
        last = returns.index[-1].strftime("%Y-%m-%d")
        start = page.find("Worst 10 Drawdowns")
        end = page.find("</table>", start)
        if start >= 0 and end >= 0:
            table = re.sub(rf"(<tr><td>[^<]*</td><td>){last}(</td>)", r"\1未回復 (回測結束時仍在回撤中)\2",
                           page[start:end])
            page = page[:start] + table + page[end:]
    return write_text(path, page.replace("</h4>", "</h4>" + note + rules + "</p>", 1))
