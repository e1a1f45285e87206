"""Moving-average crossover on one stock: long one lot while the fast average of one-minute
closes is above the slow one, flat otherwise, and flat from 13:20 to the day's close, so every
position is closed by the end of a run. It works on completed bars only, so it asks for them
(`on_bar`) instead of looking at every tick.

    orva-backtest run examples/ma_crossover.py --codes 2330:Stock --start 2024-03-04 --end 2024-03-08
"""
from collections import deque
from datetime import time

from orva_backtest import Strategy


class MovingAverageCrossover(Strategy):
    def __init__(self, code="2330", fast=5, slow=20, lots=1, flat_from="13:20"):
        self.code, self.fast, self.slow, self.lots = code, int(fast), int(slow), int(lots)
        self.flat_from = time.fromisoformat(flat_from)
        if not 0 < self.fast < self.slow:
            raise ValueError(f"fast ({fast}) must be positive and below slow ({slow})")
        self.closes = deque(maxlen=self.slow)

    def on_start(self, ctx):
        ctx.subscribe_bars(self.code, "m", 1)

    def on_bar(self, ctx, bar):
        self.closes.append(bar["Close"])
        # A burst of bars (a gap filled at the next session's first tick) must not stack
        # orders: decide again once the last one has filled.
        if len(self.closes) < self.slow or ctx.pending_orders:
            return
        held = ctx.position(self.code)
        if bar["dt"].time() >= self.flat_from:
            if held > 0:
                ctx.sell(self.code, held)
            return
        closes = list(self.closes)
        fast, slow = sum(closes[-self.fast:]) / self.fast, sum(closes) / self.slow
        if fast > slow and held <= 0:
            ctx.buy(self.code, self.lots - held)
        elif fast < slow and held > 0:
            ctx.sell(self.code, held)
