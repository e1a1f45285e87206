"""Reports: both reports of one instrument over a month of one-minute bars and 1,000 round trips."""
import os
import tempfile
import time
from datetime import datetime, timedelta

from orva_backtest.constant import BASIC_INFO
from orva_backtest.modules.positions.positions import Positions, QuoteManager

SUBSYSTEM = "reports"


def _month():
    """A quote manager with ~6,000 one-minute bars of 2330 and 0050, and 1,000 round trips."""
    quotes, account = QuoteManager(), Positions()
    day, trips = datetime(2024, 3, 1), 0
    while len(quotes.ticks.get("2330", {"ticks": []})["ticks"]) < 6000:
        day += timedelta(days=1)
        if day.weekday() >= 5:
            continue
        for minute in range(270):
            ts = (day + timedelta(hours=9, minutes=minute, seconds=5)).timestamp()
            for code, close in (("2330", 600.0 + minute % 13), ("0050", 150.0 + minute % 7 / 10)):
                quotes.add_tick({"market_type": "Stock", "timestamp": ts, "code": code, "close": close,
                                 "qty": 1, "tick_type": 1, "is_simulate": False})
            if minute % 5 == 0 and trips < 1000:
                for action, price in (("Buy", 600.0), ("Sell", 605.0)):
                    account.set_positions({"trade_id": "T" * 16, "code": "2330", "product_type": "Stock",
                                           "action": action, "price": price, "quantity": 1,
                                           "exchange_ts": ts + 60 * (action == "Sell")}, "Stock")
                trips += 1
    return quotes, account


def both_reports():
    previous = BASIC_INFO.data_dir
    with tempfile.TemporaryDirectory() as folder:
        BASIC_INFO.data_dir = folder
        try:
            quotes, account = _month()
            start = time.perf_counter()
            account.generate_standard_report("2330", quotes)
            account.generate_qs_profit_report("2330", quotes)
            seconds = time.perf_counter() - start
            bars = len(quotes.get_kbar("2330", "m", 1))
            size = os.path.getsize(os.path.join(folder, "report", "2330-report.html"))
        finally:
            BASIC_INFO.data_dir = previous
    return bars, f"bars, 1,000 round trips: both reports in {seconds:.2f} s, page {size / 1e6:.1f} MB"


def cases():
    return []


def throughputs(quick):
    return [("standard + QuantStats report, one instrument", both_reports)]
