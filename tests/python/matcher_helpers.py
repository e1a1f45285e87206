"""Order payloads and small helpers shared by the matcher tests."""

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
