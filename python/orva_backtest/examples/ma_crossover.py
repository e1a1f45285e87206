"""Moving-average crossover on one stock: long one lot while the fast average of one-minute
closes is above the slow one, flat otherwise.

    orva-backtest run examples/ma_crossover.py --codes 2330:Stock --start 2024-03-04 --end 2024-03-08
"""
from orva_backtest import Strategy


class MovingAverageCrossover(Strategy):
    def __init__(self, code="2330", fast=5, slow=20, lots=1):
        self.code, self.fast, self.slow, self.lots = code, int(fast), int(slow), int(lots)
        if not 0 < self.fast < self.slow:
            raise ValueError(f"fast ({fast}) must be positive and below slow ({slow})")
        self.last_bar = None

    def on_tick(self, ctx, tick):
        if tick["code"] != self.code:
            return
        bars = ctx.kbars(self.code, "m", 1)
        if len(bars) <= self.slow or bars["dt"][-1] == self.last_bar:
            return  # decide once per minute, on the first tick of a new bar
        self.last_bar = bars["dt"][-1]
        closes = bars["Close"][-self.slow - 1:-1]  # completed bars only
        fast, slow = closes[-self.fast:].mean(), closes.mean()
        held = ctx.position(self.code)
        if fast > slow and held <= 0:
            ctx.buy(self.code, self.lots - held)
        elif fast < slow and held > 0:
            ctx.sell(self.code, held)
