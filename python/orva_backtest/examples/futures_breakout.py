"""Intraday breakout on a futures contract: after the first 15 minutes of the day session,
go long above that range's high or short below its low, and go flat before the close.

    orva-backtest run examples/futures_breakout.py --codes TXFR1:Future --start 2024-03-04 --end 2024-03-08
"""
from datetime import time

from orva_backtest import Strategy

OPENING = time(8, 45)
RANGE_END = time(9, 0)
FLATTEN_AT = time(13, 35)  # the day session ends at 13:45


class OpeningRangeBreakout(Strategy):
    def __init__(self, code="TXFR1", contracts=1):
        self.code, self.contracts = code, int(contracts)
        self.day, self.high, self.low, self.done = None, None, None, False

    def on_tick(self, ctx, tick):
        if tick["code"] != self.code:
            return
        now, price = ctx.now, tick["close"]
        if not OPENING <= now.time() < time(13, 45):
            return  # night session: not traded
        if now.date() != self.day:
            self.day, self.high, self.low, self.done = now.date(), price, price, False
        held = ctx.position(self.code)
        if now.time() >= FLATTEN_AT:
            if held:
                ctx.place_order(self.code, "Sell" if held > 0 else "Buy", abs(held))
            self.done = True
            return
        if now.time() < RANGE_END:
            self.high, self.low = max(self.high, price), min(self.low, price)
        elif not self.done and held == 0:
            if price > self.high:
                ctx.buy(self.code, self.contracts)
                self.done = True
            elif price < self.low:
                ctx.sell(self.code, self.contracts)
                self.done = True
