"""Posts at the bid: a limit buy one tick below the last trade, then a limit sell `target`
ticks above what it paid; an order that has waited five minutes is cancelled, and it goes flat
before the close. The kind of strategy whose results depend most on how fills are modelled
(a resting order is filled without slippage, so compare with --slippage-ticks 0):

    orva-backtest run examples/bid_maker.py --codes 2330:Stock --start 2024-03-04 --end 2024-03-15 \
        --slippage-ticks 0 [--fill-model queue] [--latency-ms 50]
"""
from datetime import time

from orva_backtest import Strategy

FLATTEN_AT = time(13, 20)


class BidMaker(Strategy):
    def __init__(self, code="2330", tick=1.0, target=6, wait_seconds=300):
        self.code, self.tick, self.target, self.wait = code, float(tick), int(target), float(wait_seconds)
        self.sent_at = None

    def on_tick(self, ctx, tick):
        if tick["code"] != self.code:
            return
        held = ctx.position(self.code)
        working = ctx.pending_orders
        if ctx.now.time() >= FLATTEN_AT:
            for order in working:
                ctx.cancel_order(order["trade_id"])
            if held and not working:
                ctx.sell(self.code, held)  # market: flat for the night
            return
        if working:
            if tick["timestamp"] - self.sent_at > self.wait:
                ctx.cancel_order(working[0]["trade_id"])
            return
        self.sent_at = tick["timestamp"]
        if held:
            ctx.sell(self.code, held, self.paid + self.target * self.tick)
        else:
            ctx.buy(self.code, 1, tick["close"] - self.tick)

    def on_deal_report(self, ctx, report):
        if report["action"] == "Buy":
            self.paid = report["price"]
