"""Order payloads and small helpers shared by the matcher tests."""
from orva_backtest.modules.matcher.matcher import Matcher
from orva_backtest.modules.positions.positions import Positions

STOCK = {"code": "2330", "product_type": "Stock", "action": "Buy", "price": 600.0, "qty": 5,
         "price_type": "LMT", "order_type": "ROD"}
FUTURE = {"code": "TXFR1", "product_type": "Future", "action": "Sell", "price": 17000.0, "qty": 2,
          "price_type": "MKT", "order_type": "IOC"}


def drain(matcher):
    """Every report queued so far, oldest first."""
    reports = []
    while not matcher.response_queue.empty():
        reports.append(matcher.pop_response())
    return reports


def settle(matcher):
    """Waits until the intake thread has served every queued request."""
    matcher.pending_order_queue.join()


def add(matcher, **changes):
    """Adds a stock order directly and returns its record."""
    matcher.add_order(**{**STOCK, **changes})
    return matcher.pending_orders[-1]


T0 = 1709514000.0  # 2024-03-04 09:00 in Taipei


class Exchange:
    """A Matcher fed tick by tick, with what it filled."""

    def __init__(self, fill_model="queue", latency_ms=0, **settings):
        self.matcher = Matcher(Positions(), fill_model=fill_model, latency_ms=latency_ms, **settings)
        self.time = T0

    def tick(self, close, qty, bid=None, ask=None, step=1.0, code="2330"):
        """A trade of `qty` at `close`; bid and ask as (price, quantity)."""
        self.time += step
        record = {"market_type": "Stock", "timestamp": self.time, "code": code, "close": close,
                  "qty": qty, "tick_type": 1, "is_simulate": False, "is_backfilling": False}
        if bid is not None:
            record["quote"] = (bid[0], bid[1], ask[0], ask[1])
        self.matcher.set_current_tick(record)
        self.matcher.match_deal(code, close, qty, self.time)

    def order(self, action, qty, price=None, order_type="ROD", code="2330"):
        self.matcher.add_order(code, "Stock", action, 0.0 if price is None else price, qty,
                               "MKT" if price is None else "LMT", order_type)
        return self.matcher.last_order_id

    def fills(self):
        return [(str(r["action"]), r["quantity"], r["price"])
                for r in self.matcher.positions.trade_records if r["trade_status"] == "Deal"]

    def reports(self):
        out = []
        while not self.matcher.response_queue.empty():
            report = self.matcher.pop_response()
            out.append(str(report["operation_type"]) if "order" in report else "Deal")
        return out
