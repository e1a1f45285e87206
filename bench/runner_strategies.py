"""Strategies of the runner benchmark (the demo strategy is the package's own example)."""
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
