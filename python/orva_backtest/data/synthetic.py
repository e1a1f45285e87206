"""A deterministic synthetic market offering the broker SDK calls the tick feed uses.

`SyntheticMarket().Contracts.Stocks[code]`, `.Contracts.Futures[code]` and
`.ticks(contract=..., date="YYYY-MM-DD")`. Ticks follow Taiwan trading hours
(stocks 09:00-13:25 plus the 13:30 closing trade; futures 15:00-05:00 night
session of the previous trading day, then 08:45-13:45), skip weekends and
exchange holidays, and lie on the account's tick grid. Time stamps are the
real instants in nanoseconds, so they read as Taiwan times when the process's
time zone is Asia/Taipei.
"""
import bisect
import math
import random
import re
from dataclasses import dataclass
from datetime import date as Date, time as Time

from orva_backtest.trading_days import (
                                        futures_night_session, holidays, is_trading_day, previous_trading_day, taipei_ns)
from orva_backtest.modules.positions.positions import Positions

STOCK_PRICES = {"2330": 600.0, "2317": 105.0, "2454": 900.0, "2412": 120.0, "2603": 150.0,
                "2881": 60.0, "2308": 330.0, "1301": 75.0, "2002": 28.0, "0050": 130.0,
                "0056": 35.0, "00878": 21.0}
FUTURE_PRICES = {"TXF": 17000.0, "MXF": 17000.0, "TMF": 17000.0, "EXF": 900.0, "FXF": 1800.0}
DAILY_LIMIT = 0.10  # the exchange's daily price limit around the previous close
DAILY_VOLATILITY = 0.012  # of the log price over a trading day
OPENING_GAP = 0.004  # of the open around the previous close
TRADING_DAY_ORIGIN = Date(2000, 1, 3)  # a Monday; trading days are counted from it
STOCK_CODE = re.compile(r"^\d{4,6}[A-Z]?$")
FUTURE_CODE = re.compile(r"^([A-Z]{3})(R[12]|\d{6})$")


@dataclass(frozen=True)
class Contract:
    code: str
    security_type: str  # "STK" or "FUT"
    reference: float


def _seeded_price(code, low, high):
    return round(random.Random(f"ref:{code}").uniform(low, high), 0)


class _ContractTable:
    def __init__(self, kind):
        self._kind = kind

    def __getitem__(self, code):
        if not isinstance(code, str):
            raise KeyError(code)
        if self._kind == "STK" and STOCK_CODE.match(code):
            return Contract(code, "STK", STOCK_PRICES.get(code) or _seeded_price(code, 20, 500))
        match = FUTURE_CODE.match(code)
        if self._kind == "FUT" and match:
            return Contract(code, "FUT", FUTURE_PRICES.get(match.group(1)) or
                            _seeded_price(code, 500, 20000))
        raise KeyError(f"no {self._kind} contract {code!r}")


class _Contracts:
    def __init__(self):
        self.Stocks = _ContractTable("STK")
        self.Futures = _ContractTable("FUT")


class SyntheticMarket:
    """Stands in for a logged-in broker SDK object: contract tables and history ticks."""

    def __init__(self, mean_gap_seconds=3.0):
        self.Contracts = _Contracts()
        self._gap = mean_gap_seconds
        self._closed_weekdays = sorted(d for d in holidays() if Date.fromisoformat(d).weekday() < 5)
        self._grid = Positions()

    def sessions(self, contract, day):
        """(start, end) nanosecond ranges traded on trading day `day`, and the closing call.
        A futures day opens with its night session, as the tick cache files it."""
        if contract.security_type == "STK":
            return [(taipei_ns(day, Time(9)), taipei_ns(day, Time(13, 25)))], taipei_ns(day, Time(13, 30))
        return [futures_night_session(day), (taipei_ns(day, Time(8, 45)), taipei_ns(day, Time(13, 45)))], None

    def ticks(self, contract, date):
        day = Date.fromisoformat(date)
        columns = {name: [] for name in ("ts", "close", "volume", "bid_price", "bid_volume",
                                         "ask_price", "ask_volume", "tick_type")}
        if not is_trading_day(day) or day > Date.today():
            return columns
        rng = random.Random(f"{contract.code}:{date}")
        code = contract.code
        previous = self.close(contract, previous_trading_day(day))
        low, high = self._limits(code, previous)
        close = self.close(contract, day)
        # A Brownian bridge in log price from an open near the previous close to the day's
        # close, across the sessions as one stretch of trading time, kept inside the limits.
        ranges, closing = self.sessions(contract, day)
        span = sum(end - start for start, end in ranges)
        level, target = math.log(previous) + rng.gauss(0, OPENING_GAP), math.log(close)
        times, elapsed = [], 0
        for start, end in ranges:
            ts = start + rng.randrange(10**9)
            while ts < end:
                times.append((ts, elapsed + ts - start))
                ts += int(rng.expovariate(1.0 / self._gap) * 1e9) + 1_000_000
            elapsed += end - start
        if closing is not None:
            times.append((closing, span))
        before = 0
        for ts, at in times[:-1]:
            gap, left = at - before, span - before
            level += (target - level) * gap / left + DAILY_VOLATILITY * math.sqrt(
                gap * (left - gap) / left / span) * rng.gauss(0, 1)
            price = min(max(self._on_grid(code, math.exp(level)), low), high)
            self._append(columns, contract, ts, price, rng)
            before = at
        if times:  # the last trade, or the closing call, sets the close
            self._append(columns, contract, times[-1][0], close, rng)
        return columns

    def close(self, contract, day):
        """The closing price of trading day `day`: a slow swing plus a seeded daily move,
        on the tick grid. Neighbouring trading days differ by far less than the limit."""
        n = self._trading_day_number(day)
        level = 0.12 * math.sin(n / 32.0) + 0.04 * math.sin(n / 5.0)
        level += random.Random(f"close:{contract.code}:{day.isoformat()}").uniform(-0.015, 0.015)
        return self._on_grid(contract.code, contract.reference * math.exp(level))

    def _trading_day_number(self, day):
        """Trading days between 2000-01-03 (a Monday) and `day`."""
        weeks, rest = divmod((day - TRADING_DAY_ORIGIN).days, 7)
        return weeks * 5 + min(rest, 5) - bisect.bisect_right(self._closed_weekdays, day.isoformat())

    def _limits(self, code, previous):
        """The lowest and highest prices the exchange allows after a close of `previous`."""
        high = self._on_grid(code, previous * (1 + DAILY_LIMIT))
        if high > previous * (1 + DAILY_LIMIT):
            high = self._move(code, high, "down")
        return self._on_grid(code, previous * (1 - DAILY_LIMIT)), high

    def _on_grid(self, code, price):
        return float(self._grid._Positions__ceil_price_by_tick(code, price)[0])

    def _move(self, code, price, direction):
        return self._grid._Positions__calculate_slippage_price(code, price, 1, direction)

    def _append(self, columns, contract, ts, price, rng):
        buyer = rng.random() < 0.5
        columns["ts"].append(ts)
        columns["close"].append(price)
        columns["volume"].append(max(1, int(rng.expovariate(0.3))))
        columns["bid_price"].append(self._move(contract.code, price, "down") if buyer else price)
        columns["bid_volume"].append(rng.randint(1, 120))
        columns["ask_price"].append(price if buyer else self._move(contract.code, price, "up"))
        columns["ask_volume"].append(rng.randint(1, 120))
        columns["tick_type"].append(1 if buyer else 2)
