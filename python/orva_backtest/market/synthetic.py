"""A deterministic synthetic market offering the broker SDK calls the tick feed uses.

`SyntheticMarket().Contracts.Stocks[code]`, `.Contracts.Futures[code]` and
`.ticks(contract=..., date="YYYY-MM-DD")`. Ticks follow Taiwan trading hours
(stocks 09:00-13:25 plus the 13:30 closing trade; futures 15:00-05:00 night
session of the previous trading day, then 08:45-13:45), skip weekends and
exchange holidays, and lie on the account's tick grid. Time stamps are the
real instants in nanoseconds, so they read as Taiwan times when the process's
time zone is Asia/Taipei.
"""
import calendar
import csv
import math
import os
import random
import re
from dataclasses import dataclass
from datetime import date as Date, datetime, time as Time, timedelta

from orva_backtest.modules.positions.positions import Positions

TAIPEI_OFFSET = timedelta(hours=8)
HOLIDAY_FILE = os.path.join(os.path.dirname(os.path.dirname(__file__)), "static",
                            "holidays_search_from_2017.csv")

STOCK_PRICES = {"2330": 600.0, "2317": 105.0, "2454": 900.0, "2412": 120.0, "2603": 150.0,
                "2881": 60.0, "2308": 330.0, "1301": 75.0, "2002": 28.0, "0050": 130.0,
                "0056": 35.0, "00878": 21.0}
FUTURE_PRICES = {"TXF": 17000.0, "MXF": 17000.0, "TMF": 17000.0, "EXF": 900.0, "FXF": 1800.0}
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


def _load_holidays():
    with open(HOLIDAY_FILE, newline="", encoding="utf-8") as f:
        return {row["Date"] for row in csv.DictReader(f)}


def _ns(day, clock):
    """Nanoseconds since the epoch of a Taiwan wall-clock time."""
    utc = datetime.combine(day, clock) - TAIPEI_OFFSET
    return calendar.timegm(utc.timetuple()) * 10**9


class SyntheticMarket:
    """Stands in for a logged-in broker SDK object: contract tables and history ticks."""

    def __init__(self, mean_gap_seconds=3.0):
        self.Contracts = _Contracts()
        self._gap = mean_gap_seconds
        self._holidays = _load_holidays()
        self._grid = Positions()

    def is_trading_day(self, day):
        return day.weekday() < 5 and day.isoformat() not in self._holidays

    def previous_trading_day(self, day):
        day -= timedelta(days=1)
        while not self.is_trading_day(day):
            day -= timedelta(days=1)
        return day

    def sessions(self, contract, day):
        """(start, end) nanosecond ranges traded on trading day `day`, and the closing call."""
        if contract.security_type == "STK":
            return [(_ns(day, Time(9)), _ns(day, Time(13, 25)))], _ns(day, Time(13, 30))
        night = self.previous_trading_day(day)
        return [(_ns(night, Time(15)), _ns(night + timedelta(days=1), Time(5))),
                (_ns(day, Time(8, 45)), _ns(day, Time(13, 45)))], None

    def ticks(self, contract, date):
        day = Date.fromisoformat(date)
        columns = {name: [] for name in ("ts", "close", "volume", "bid_price", "bid_volume",
                                         "ask_price", "ask_volume", "tick_type")}
        if not self.is_trading_day(day) or day > Date.today():
            return columns
        rng = random.Random(f"{contract.code}:{date}")
        days = day.toordinal()
        price = contract.reference * math.exp(0.15 * math.sin(days / 45.0) + 0.05 * math.sin(days / 7.0))
        price = self._on_grid(contract.code, price)
        ranges, closing = self.sessions(contract, day)
        for start, end in ranges:
            ts = start + rng.randrange(10**9)
            while ts < end:
                price = self._step(contract.code, price, rng)
                self._append(columns, contract, ts, price, rng)
                ts += int(rng.expovariate(1.0 / self._gap) * 1e9) + 1_000_000
        if closing is not None:
            self._append(columns, contract, closing, price, rng)
        return columns

    def _on_grid(self, code, price):
        return float(self._grid._Positions__ceil_price_by_tick(code, price)[0])

    def _move(self, code, price, direction):
        return self._grid._Positions__calculate_slippage_price(code, price, 1, direction)

    def _step(self, code, price, rng):
        roll = rng.random()
        if roll < 0.2:
            return self._move(code, price, "up")
        if roll < 0.4:
            return self._move(code, price, "down")
        return price

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
