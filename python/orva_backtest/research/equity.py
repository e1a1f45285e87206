"""A run's figures as data: its fills, its round trips, the account marked to market through
time, and the statistics of them (definitions in the README, "Statistics")."""
import math
from bisect import bisect_right
from datetime import datetime, time as Time, timedelta

import polars as pl

TRADING_DAYS_PER_YEAR = 252
# The keys of `statistics`, in the order tables show them.
STATS = ("net_profit", "return_pct", "cagr", "sharpe", "sortino", "max_drawdown", "max_drawdown_pct",
         "max_drawdown_days", "win_rate", "profit_factor", "expectancy", "round_trips", "exposure",
         "average_holding")
FUTURES_DAY_START = Time(15)  # a futures session that opens at 15:00 is the next trading day's


def _moment(value):
    """A local datetime from a record's time: seconds since the epoch or "%Y-%m-%d %H:%M:%S[.%f]"."""
    if isinstance(value, str):
        return datetime.fromisoformat(value)
    return datetime.fromtimestamp(value)


def trades(account):
    """Every fill and exchange cancel, with the trade-record columns (`dt` as a datetime)."""
    records = account.trade_records
    schema = {"trade_id": pl.String, "code": pl.String, "action": pl.String, "quantity": pl.Int64,
              "price": pl.Float64, "dt": pl.Datetime("us"), "trade_status": pl.String}
    return pl.DataFrame([{**r, "action": str(r["action"]), "trade_status": str(r["trade_status"]),
                          "dt": _moment(r["dt"])} for r in records], schema=schema)


def round_trips(rows):
    """The profit rows of every instrument, in the order they closed (times as datetimes)."""
    schema = {"code": pl.String, "entry_dt": pl.Datetime("us"), "entry_price": pl.Float64,
              "entry_origin_price": pl.Float64, "exit_dt": pl.Datetime("us"), "exit_price": pl.Float64,
              "exit_origin_price": pl.Float64, "qty": pl.Int64, "min_qty": pl.Float64,
              "trade_cost": pl.Float64, "cover_cost": pl.Float64, "profit": pl.Float64,
              "profit_ratio": pl.Float64}
    return pl.DataFrame([{**r, "entry_dt": _moment(r["entry_dt"]), "exit_dt": _moment(r["exit_dt"])}
                         for r in rows], schema=schema)


def trading_day(moment):
    """The trading day a local time belongs to: from 15:00 on, the next one (futures' night)."""
    from orva_backtest.market.trading_days import trading_day_from
    day = moment.date() + (timedelta(days=1) if moment.time() >= FUTURES_DAY_START else timedelta())
    return trading_day_from(day)


def _unit(account, code):
    if account.product_type_mapper.get(code) == "Future":
        return float(account._Positions__apply_future_contract_value(code))
    return 1000.0


def mark_to_market(account, quotes, codes, closed):
    """(equity curve, minutes with a position, trading minutes). The curve is the account marked
    to market: initial capital, plus the profit of the round trips `closed` by then, plus the open
    lots at their code's latest one-minute close (before costs); a point at every one-minute bar
    close while anything is held and at each trading day's last close, after a first point at the
    capital. The trading minutes are the one-minute bars of the instruments (virtual gap minutes
    included), each counted once."""
    capital = float(account.initial_capital)
    fills = trades(account).filter(pl.col("trade_status") == "Deal").sort("dt", maintain_order=True)
    closed = closed.sort("exit_dt", maintain_order=True)
    exits, profits = closed["exit_dt"].to_list(), list(_running(closed["profit"].to_list()))
    bars = []
    for code in codes:
        try:
            frame = quotes.get_kbar(code, "m", 1)
        except KeyError:  # no tick of it was replayed
            continue
        bars += [(dt + timedelta(minutes=1), code, close) for dt, close in zip(frame["dt"], frame["Close"])]
    bars.sort(key=lambda b: b[0])
    empty = pl.DataFrame({"dt": [], "equity": []}, schema={"dt": pl.Datetime("us"), "equity": pl.Float64})
    if not bars:
        return empty, 0, 0
    units = {code: _unit(account, code) for code in codes}
    lots = {code: [] for code in codes}  # [signed quantity, price], oldest first
    last, points, held_minutes, minutes = {}, [(bars[0][0] - timedelta(minutes=1), capital)], 0, 0
    fill_rows = fills.iter_rows(named=True)
    pending = next(fill_rows, None)
    for at, (moment, code, close) in enumerate(bars):
        while pending is not None and pending["dt"] <= moment:
            signed = pending["quantity"] if pending["action"] == "Buy" else -pending["quantity"]
            _book(lots[pending["code"]], signed, pending["price"])
            pending = next(fill_rows, None)
        last[code] = close
        if at + 1 < len(bars) and bars[at + 1][0] == moment:
            continue  # another instrument's bar closes at the same minute: one point for both
        held = any(lots.values())
        minutes += 1
        held_minutes += held
        if not held and at + 1 < len(bars) and trading_day(bars[at + 1][0]) == trading_day(moment):
            continue
        done = bisect_right(exits, moment)
        unrealised = sum((last.get(c, price) - price) * quantity * units[c]
                         for c, open_lots in lots.items() for quantity, price in open_lots)
        points.append((moment, capital + (profits[done - 1] if done else 0.0) + unrealised))
    curve = pl.DataFrame({"dt": [p[0] for p in points], "equity": [p[1] for p in points]},
                         schema={"dt": pl.Datetime("us"), "equity": pl.Float64})
    return curve, held_minutes, minutes


def _running(values):
    total = 0.0
    for value in values:
        total += value
        yield total


def _book(open_lots, quantity, price):
    """A fill against the open lots of its code, oldest first, as the account covers them."""
    while quantity and open_lots and (open_lots[0][0] > 0) != (quantity > 0):
        lot = open_lots[0]
        covered = min(abs(quantity), abs(lot[0]))
        lot[0] += covered if lot[0] < 0 else -covered
        quantity += covered if quantity < 0 else -covered
        if lot[0] == 0:
            open_lots.pop(0)
    if quantity:
        open_lots.append([quantity, price])


def daily_equity(curve):
    """The equity at each trading day's last point."""
    if curve.is_empty():
        return curve
    days = [trading_day(moment) for moment in curve["dt"]]
    return curve.with_columns(pl.Series("day", days)).group_by("day", maintain_order=True).last().sort("day")


def statistics(curve, trips, capital, minutes_held, trading_minutes):
    """The figures of the README's "Statistics" from an equity curve and the round trips."""
    profits = trips["profit"].to_list()
    wins, losses = [p for p in profits if p > 0], [p for p in profits if p < 0]
    final = curve["equity"][-1] if not curve.is_empty() else capital
    daily = daily_equity(curve)
    closes = daily["equity"].to_list() if not curve.is_empty() else []
    returns = [b / a - 1 for a, b in zip([capital] + closes[:-1], closes) if a > 0]
    years = len(closes) / TRADING_DAYS_PER_YEAR
    drawdown, drawdown_pct, duration = _largest_drawdown(curve, capital)
    holding = [(e - s).total_seconds() / 60 for s, e in zip(trips["entry_dt"], trips["exit_dt"])]
    return {
        "net_profit": sum(profits),
        "return_pct": (final / capital - 1) * 100,
        "cagr": (final / capital) ** (1 / years) - 1 if years > 0 and final > 0 else float("nan"),
        "sharpe": _ratio(returns),
        "sortino": _ratio(returns, downside=True),
        "max_drawdown": drawdown,
        "max_drawdown_pct": drawdown_pct,
        "max_drawdown_days": duration,
        "win_rate": len(wins) / len(profits) if profits else 0.0,
        "profit_factor": (sum(wins) / -sum(losses) if losses else (math.inf if wins else float("nan"))),
        "expectancy": sum(profits) / len(profits) if profits else 0.0,
        "round_trips": len(profits),
        "exposure": minutes_held / trading_minutes if trading_minutes else 0.0,
        "average_holding": sum(holding) / len(holding) if holding else 0.0,
    }


def _ratio(returns, downside=False):
    """Mean daily return over its standard deviation (or downside deviation), annualised over
    252 trading days; risk-free rate 0. NaN with fewer than two days or no deviation."""
    if len(returns) < 2:
        return float("nan")
    mean = sum(returns) / len(returns)
    if downside:
        spread = math.sqrt(sum(min(r, 0.0) ** 2 for r in returns) / len(returns))
    else:
        spread = math.sqrt(sum((r - mean) ** 2 for r in returns) / (len(returns) - 1))
    return mean / spread * math.sqrt(TRADING_DAYS_PER_YEAR) if spread > 0 else float("nan")


def _largest_drawdown(curve, capital):
    """(money, percent of its peak, days from that peak until the equity is back at it, or until
    the end when it never is)."""
    points = list(zip(curve["dt"], curve["equity"]))
    if not points:
        return 0.0, 0.0, 0.0
    peak, peak_at, worst, worst_pct, worst_peak = capital, points[0][0], 0.0, 0.0, None
    for moment, value in points:
        if value >= peak:
            peak, peak_at = value, moment
        elif peak - value > worst:
            worst, worst_pct, worst_peak = peak - value, (peak - value) / peak * 100, (peak_at, peak)
    if worst_peak is None:
        return 0.0, 0.0, 0.0
    since, level = worst_peak
    back = next((moment for moment, value in points if moment > since and value >= level), points[-1][0])
    return worst, worst_pct, (back - since).total_seconds() / 86400
