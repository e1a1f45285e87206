"""A run's figures as data: its fills, its round trips, the account marked to market through
time, and the statistics of them (definitions in the README, "Statistics")."""
import math
from datetime import datetime, time as Time, timedelta

import numpy as np
import polars as pl

from orva_backtest.modules.positions.reporting import (MIN_DAYS_TO_ANNUALISE, RISK_FREE_RATE,  # noqa: F401
                                                       TRADING_DAYS_PER_YEAR, short_run_note)
from orva_backtest.trading_days import previous_trading_day, trading_day_from

ANNUALISED = ("cagr", "sharpe", "sortino")
DAYS_PER_YEAR = 365.25
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


def _frame(records, schema, convert):
    """The records' `schema` columns, one column at a time: a row-wise copy of every record
    would hold a second dict per record, and a decade's trades are tens of thousands."""
    return pl.DataFrame({name: [convert[name](r[name]) for r in records] if name in convert
                         else [r[name] for r in records] for name in schema}, schema=schema)


TRADE_SCHEMA = {"trade_id": pl.String, "code": pl.String, "action": pl.String, "quantity": pl.Int64,
                "price": pl.Float64, "dt": pl.Datetime("us"), "trade_status": pl.String}
TRADE_CONVERT = {"action": str, "trade_status": str, "dt": _moment}
ROUND_TRIP_SCHEMA = {"code": pl.String, "entry_dt": pl.Datetime("us"), "entry_price": pl.Float64,
                     "entry_origin_price": pl.Float64, "exit_dt": pl.Datetime("us"),
                     "exit_price": pl.Float64, "exit_origin_price": pl.Float64, "qty": pl.Int64,
                     "min_qty": pl.Float64, "trade_cost": pl.Float64, "cover_cost": pl.Float64,
                     "profit": pl.Float64, "profit_ratio": pl.Float64}
ROUND_TRIP_CONVERT = {"entry_dt": _moment, "exit_dt": _moment}


def trades(account):
    """Every fill and exchange cancel, with the trade-record columns (`dt` as a datetime)."""
    return _frame(account.trade_records, TRADE_SCHEMA, TRADE_CONVERT)


def round_trips(rows):
    """The profit rows of every instrument, in the order they closed (times as datetimes)."""
    return _frame(rows, ROUND_TRIP_SCHEMA, ROUND_TRIP_CONVERT)


def _unit(account, code):
    market = account.product_type_mapper.get(code)
    if market == "Future":
        return float(account._Positions__apply_future_contract_value(code))
    if market == "Option":
        return float(account._Positions__apply_option_multiplier(code))
    return 1000.0


def mark_to_market(account, quotes, codes, closed, first_day=None):
    """(equity curve, minutes with a position, trading minutes). The curve is the account marked
    to market: initial capital, plus the profit of the round trips `closed` by then, plus the open
    lots at their code's latest one-minute close (before costs); a point at every one-minute bar
    close while anything is held and at each trading day's last close, after a first point at the
    capital. The trading minutes are the one-minute bars of the instruments (virtual gap minutes
    included), each counted once. Bars of trading days before `first_day` (a backfill) count only
    from the first fill among them. Worked out a few weeks of bars at a time in numpy arrays, so
    that its memory does not grow with the range."""
    from orva_backtest.modules.positions.positions import _bar_span
    spans = {}
    for code in codes:
        try:
            spans[code] = _bar_span(quotes, code)
        except KeyError:  # no tick of it was replayed
            continue
    empty = pl.DataFrame({"dt": [], "equity": []}, schema={"dt": pl.Datetime("us"), "equity": pl.Float64})
    if not spans:
        return empty, 0, 0
    marks = _Marks(account, quotes, codes, spans, closed)
    since = None
    if first_day is not None:
        fills = trades(account).filter(pl.col("trade_status") == "Deal")["dt"]
        since = ((first_day - EPOCH.date()).days, None if fills.is_empty() else _micros(fills.min()))
    times, values, held, minutes = [], [], 0, 0
    first, last = min(s[0] for s in spans.values()), max(s[1] for s in spans.values())
    for stretch in _stretches(first, last):
        moments, holding, day, equity = marks.stretch(*stretch)
        if since is not None:
            keep = day >= since[0] if since[1] is None else (day >= since[0]) | (moments > since[1])
            moments, holding, day, equity = moments[keep], holding[keep], day[keep], equity[keep]
        if not len(moments):
            continue
        if not times:
            times.append(moments[:1] - MINUTE)
            values.append(np.array([marks.capital]))
        last_of_day = np.append(day[1:] != day[:-1], True)
        points = holding | last_of_day
        times.append(moments[points])
        values.append(equity[points])
        held += int(holding.sum())
        minutes += len(moments)
    if not times:
        return empty, 0, 0
    curve = pl.DataFrame({"dt": np.concatenate(times), "equity": np.concatenate(values)},
                         schema={"dt": pl.Int64, "equity": pl.Float64})
    return curve.with_columns(pl.col("dt").cast(pl.Datetime("us"))), held, minutes


MARK_STRETCH_DAYS = 28
EPOCH = datetime(1970, 1, 1)
MINUTE = 60_000_000  # microseconds
DAY = 86_400_000_000


def _micros(moment):
    return (moment - EPOCH) // timedelta(microseconds=1)


def _stretches(first, last):
    """[since, until) windows of bar starts (local microseconds, None for no bound) covering
    `first` to `last`, each about MARK_STRETCH_DAYS long. Each ends a minute before 15:00 of a
    trading day, where the trading day of a bar's close changes, so no day is split."""
    stop, day, edges = EPOCH + timedelta(microseconds=last), (EPOCH + timedelta(microseconds=first)).date(), []
    while True:
        day = trading_day_from(day + timedelta(days=MARK_STRETCH_DAYS))
        edge = datetime.combine(day, FUTURES_DAY_START) - timedelta(minutes=1)
        if edge > stop:
            break
        edges.append(_micros(edge))
    bounds = [None, *edges, None]
    return list(zip(bounds[:-1], bounds[1:]))


def _latest(times, moments):
    """For each moment, the index of the last of `times` at or before it (-1 for none), as a
    backward as-of join finds it."""
    return np.searchsorted(times, moments, side="right") - 1


class _Marks:
    """The account marked at the bar-close minutes of one stretch after another; each stretch
    starts from every code's last close of the ones before."""

    def __init__(self, account, quotes, codes, spans, closed):
        self.capital = float(account.initial_capital)
        self.quotes, self.codes, self.spans = quotes, codes, spans
        self.units = {code: _unit(account, code) for code in codes}
        fills = {}
        for record in account.trade_records:
            if str(record["trade_status"]) in POSITION_CHANGES:
                fills.setdefault(record["code"], []).append(record)
        self.steps = {code: _position_steps(fills.get(code, ())) for code in codes}
        exits = closed.select(pl.col("exit_dt").cast(pl.Int64), pl.col("profit").cum_sum()).sort(
            "exit_dt", maintain_order=True)
        self.exits = (exits["exit_dt"].to_numpy(), exits["profit"].to_numpy())
        self.latest = {}  # code → (close minute, close) of its last bar so far
        self.days = {}  # date → its trading day, as days since 1970-01-01

    def stretch(self, since, until):
        """(moments, held, trading day, equity) as arrays, one per bar-close minute."""
        from orva_backtest.modules.positions.positions import _bar_closes
        closes = {}
        for code in self.codes:
            starts, prices = _bar_closes(self.quotes, code, "m", 1, since, until) if code in self.spans \
                else (np.empty(0, np.int64), np.empty(0))
            closes[code] = (starts + MINUTE, prices)
        moments = _distinct(np.concatenate([times for times, _ in closes.values()]))
        if until is None:  # a settlement after the last bar (an option's expiry at 13:30) is a moment too
            floor = moments[-1] if len(moments) else (since if since is not None else np.iinfo(np.int64).min)
            moments = np.union1d(moments, self.exits[0][self.exits[0] > floor])
        value = np.zeros(len(moments))
        held = np.zeros(len(moments), dtype=bool)
        for code in self.codes:
            times, prices = closes[code]
            if code in self.latest:
                times, prices = np.append(self.latest[code][0], times), np.append(self.latest[code][1], prices)
            if len(times):
                self.latest[code] = (times[-1], prices[-1])
            at = _latest(times, moments)
            close = np.where(at >= 0, prices[np.maximum(at, 0)] if len(prices) else 0.0, np.nan)
            step_times, quantities, costs = self.steps[code]
            step = _latest(step_times, moments)
            quantity = np.where(step >= 0, quantities[np.maximum(step, 0)] if len(quantities) else 0, 0)
            cost = np.where(step >= 0, costs[np.maximum(step, 0)] if len(costs) else 0.0, 0.0)
            held |= quantity != 0
            # Before the code's first bar its lots count at their own prices: nothing unrealised.
            value = value + np.where(np.isnan(close), 0.0, (close * quantity - cost) * self.units[code])
        exit_times, realised = self.exits
        done = _latest(exit_times, moments)
        banked = np.where(done >= 0, realised[np.maximum(done, 0)] if len(realised) else 0.0, 0.0)
        dates = _dates(moments)  # in order, as the moments are
        firsts = _firsts(dates)
        return (moments, held, _trading_days(dates[firsts], self.days)[np.cumsum(firsts) - 1],
                self.capital + banked + value)


def _firsts(ordered):
    """Whether each value of the sorted array `ordered` is the first of its run of equal values."""
    return np.concatenate([[True], ordered[1:] != ordered[:-1]]) if len(ordered) else np.zeros(0, bool)


def _distinct(runs):
    """The distinct values of `runs` (sorted runs one after another, a code's bar closes each),
    in order, as np.unique gives them: a stable sort merges sorted runs in linear time where
    np.unique sorts from scratch."""
    ordered = np.sort(runs, kind="stable")
    return ordered[_firsts(ordered)]


def _dates(moments):
    """The date of each moment (local microseconds) as days since 1970-01-01, 15:00 on counted
    as the next day (futures' night belongs to the next trading day)."""
    return (moments + (24 - FUTURES_DAY_START.hour) * 3_600_000_000) // DAY


def _trading_days(dates, known):
    """The trading day of each of `dates` (days since 1970-01-01) in the same numbers; `known`:
    date → trading day, filled as dates are met."""
    for date in dates.tolist():
        if date not in known:
            known[date] = (trading_day_from(EPOCH.date() + timedelta(days=date)) - EPOCH.date()).days
    return np.array([known[date] for date in dates.tolist()], dtype=np.int64)


# The trade records that move a position: fills, and the settlements and reopenings of expiries.
POSITION_CHANGES = ("Deal", "Expiry", "Roll")


def _position_steps(fills):
    """The open position of one code after each of its `fills` (its trade records that change
    it), as arrays: local microseconds, signed quantity and cost (the sum of price × signed
    quantity over its open lots, booked as the account covers them); of fills at one moment,
    the last. Worked out in plain Python: a long run's fills would make a frame library's
    scratch memory larger than the records themselves."""
    lots, times, quantities, costs = [], [], [], []
    moments = [_micros(_moment(r["dt"])) for r in fills]
    for at in sorted(range(len(fills)), key=moments.__getitem__):  # stable: recorded order in ties
        record = fills[at]
        quantity = int(record["quantity"])
        _book(lots, quantity if str(record["action"]) == "Buy" else -quantity, float(record["price"]))
        if times and times[-1] == moments[at]:
            times.pop(), quantities.pop(), costs.pop()
        times.append(moments[at])
        quantities.append(sum(q for q, _ in lots))
        costs.append(sum(q * p for q, p in lots))
    return (np.array(times, dtype=np.int64), np.array(quantities, dtype=np.int64),
            np.array(costs, dtype=np.float64))


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
    """The equity at each trading day's last point (`day` first, then the curve's columns). In
    arrays, one date at a time: a long run's curve has a point per minute held."""
    if curve.is_empty():
        return curve
    dates, from_end = np.unique(_dates(curve["dt"].dt.timestamp("us").to_numpy())[::-1],
                                return_index=True)  # each date's last point
    days = _trading_days(dates, {})  # in order, as the dates are
    firsts = np.flatnonzero(np.diff(days, prepend=days[0] - 1))
    last = np.maximum.reduceat(len(curve) - 1 - from_end, firsts)
    return curve[last].insert_column(0, pl.Series("day", days[firsts]).cast(pl.Int32).cast(pl.Date))


def daily_returns(curve, capital):
    """([day], [return]) of the account: each trading day's last equity against the day before,
    from an anchor on the previous trading day at the capital (return 0), so that the first
    day's return is counted and a drawdown from the start is seen. Every page's daily figures
    are of these days."""
    daily = daily_equity(curve)
    if daily.is_empty():
        return [], []
    days, closes = daily["day"].to_list(), daily["equity"].to_list()
    values = [capital] + closes
    returns = [0.0] + [b / a - 1 if a > 0 else float("nan") for a, b in zip(values, closes)]
    return [previous_trading_day(days[0])] + days, returns


def statistics(curve, trips, capital, minutes_held, trading_minutes):
    """The figures of the README's "Statistics" from an equity curve and the round trips."""
    profits = trips["profit"].to_list()
    wins, losses = [p for p in profits if p > 0], [p for p in profits if p < 0]
    final = curve["equity"][-1] if not curve.is_empty() else capital
    days, returns = daily_returns(curve, capital)
    traded_days = max(len(days) - 1, 0)  # the anchor is not a day of the run
    returns = [r if r == r else 0.0 for r in returns]  # after the equity is gone, as QuantStats reads it
    # Calendar years from the anchor to the last day, as QuantStats annualises growth.
    years = (days[-1] - days[0]).days / DAYS_PER_YEAR if days else 0.0
    drawdown, drawdown_pct, duration = _largest_drawdown(curve, capital)
    holding = [(e - s).total_seconds() / 60 for s, e in zip(trips["entry_dt"], trips["exit_dt"])]
    figures = {
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
    if short_run_note(traded_days):
        figures.update(dict.fromkeys(ANNUALISED, float("nan")))
    return figures


def _ratio(returns, downside=False):
    """Mean daily return over its standard deviation (or downside deviation), annualised over
    252 trading days, less the risk-free rate (0), as QuantStats measures them. NaN with fewer
    than two days or no deviation."""
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
    the end when it never is). In arrays: a long run's curve has a point per minute held."""
    if curve.is_empty():
        return 0.0, 0.0, 0.0
    moments, values = curve["dt"].cast(pl.Int64).to_numpy(), curve["equity"].to_numpy()
    before = np.maximum.accumulate(np.concatenate([[capital], values[:-1]]))  # the peak each point meets
    peaks = np.maximum(before, values)
    drops = peaks - values
    worst_at = int(np.argmax(drops))  # the first of the largest
    if not drops[worst_at] > 0:
        return 0.0, 0.0, 0.0
    level, worst = float(peaks[worst_at]), float(drops[worst_at])
    # The peak was set by the last point at or above the peak before it (ties: the later one).
    set_by = np.flatnonzero(values[:worst_at] >= before[:worst_at])
    since = int(moments[set_by[-1]] if len(set_by) else moments[0])
    back = np.flatnonzero((moments > since) & (values >= level))
    until = int(moments[back[0]] if len(back) else moments[-1])
    return worst, worst / level * 100, (until - since) / 10**6 / 86400
