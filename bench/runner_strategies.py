"""Strategies of the runner benchmark (the demo strategy is the package's own example)."""
import collections

from orva_backtest import Strategy


class Idle(Strategy):
    """No callbacks: the replay's own cost."""


class BarMomentum(Strategy):
    """Trades every instrument on its one-minute bars: long after a rising bar, flat after a
    falling one."""

    def on_bar(self, ctx, bar):
        code = bar["code"]
        held = ctx.position(code)
        if bar["Close"] > bar["Open"] and held <= 0 and not ctx.pending_orders:
            ctx.buy(code, 1 - held)
        elif bar["Close"] < bar["Open"] and held > 0:
            ctx.sell(code, held)


class EmptyTick(Strategy):
    """An empty on_tick: what the engine spends per tick around a Python callback."""

    def on_tick(self, ctx, tick):
        pass


class Mean50(Strategy):
    """Long 2330 while its close is above the mean of its last 50 closes, flat below it."""

    def __init__(self):
        self.closes = collections.deque(maxlen=50)

    def on_tick(self, ctx, tick):
        if tick["code"] != "2330":
            return
        self.closes.append(tick["close"])
        if len(self.closes) < 50:
            return
        mean, held = sum(self.closes) / 50, ctx.position("2330")
        if tick["close"] > mean and held == 0:
            ctx.buy("2330", 1)
        elif tick["close"] < mean and held > 0:
            ctx.sell("2330", 1)
