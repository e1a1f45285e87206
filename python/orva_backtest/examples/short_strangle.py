"""Weekly short strangle on TAIEX options: in the day session, when flat, write the call and the
put of the nearest expiry (once per expiry) whose |delta| is closest to 0.15, buy a leg back when its price
reaches `stop` times what it was written for, and hold the rest to expiry, where it settles in
cash.

    orva-backtest run examples/short_strangle.py --codes TXO:Option --start 2026-01-12 --end 2026-01-16 --source cache

The chain is priced against TXFR1 when the run holds it (add `TXFR1:Future` to `--codes`),
otherwise against the forward that put-call parity reads from the chain.
"""
from datetime import time

from orva_backtest import Strategy
from orva_backtest.engine.options import by_delta

DAY_SESSION = (time(9, 0), time(13, 0))


class WeeklyShortStrangle(Strategy):
    def __init__(self, delta=0.15, stop=2.0, contracts=1):
        self.delta, self.stop, self.contracts = float(delta), float(stop), int(contracts)
        self.minute = None  # one look a minute, whichever series traded
        self.legs = {}  # code -> premium it was written for
        self.written = set()  # expiries written once already (a stopped-out week is not written again)

    def on_tick(self, ctx, tick):
        minute = int(tick["timestamp"]) // 60
        if minute == self.minute:
            return
        self.minute = minute
        working = {order["code"] for order in ctx.pending_orders}
        for code, premium in list(self.legs.items()):
            held, last = ctx.position(code), ctx.last_close(code)
            if held == 0:
                if code not in working:  # settled at expiry (an order still working is not filled yet)
                    del self.legs[code]
            elif last is not None and last >= premium * self.stop:
                ctx.buy(code, -held)
                self.legs[code] = float("inf")  # bought back: gone once the order fills
        if self.legs or not DAY_SESSION[0] <= ctx.now.time() < DAY_SESSION[1]:
            return
        expiries = ctx.expiries()
        if not expiries or expiries[0] in self.written:
            return
        self.written.add(expiries[0])
        chain = ctx.chain(expiries[0])
        for right in ("C", "P"):
            code = by_delta(chain, right, self.delta)
            if code is not None:
                ctx.sell(code, self.contracts)
                self.legs[code] = chain.filter(chain["code"] == code)["last"][0]
