"""Exchange cases: direct order intake and the intake thread's round trip."""
from orva_backtest.modules.matcher.matcher import Matcher

SUBSYSTEM = "matcher"

ORDER = {"code": "2330", "product_type": "Stock", "action": "Buy", "price": 600.0, "qty": 1,
         "price_type": "LMT", "order_type": "ROD"}


def fresh_matcher():
    matcher = Matcher()
    # Keep the book small so every call measures the same work.
    matcher.pending_orders = []
    return matcher


def cases():
    direct = fresh_matcher()

    def add_direct():
        direct.add_order(**ORDER)
        direct.response_queue.get_nowait()
        direct.pending_orders.clear()

    queued = fresh_matcher()

    def round_trip():
        queued.add_pending_order_queue("add", dict(ORDER))
        queued.pop_response()
        queued.pending_orders.clear()

    return [
        ("add_order direct (with report)", add_direct),
        ("intake round trip: queue to report", round_trip),
    ]
