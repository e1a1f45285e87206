"""Fill and tick records as the exchange and the tick feed hand them to the account."""
from orva_backtest.constant import Action, OrderCond, OrderLot, OrderType, PriceType


def fill(action, qty, price, ts=1700000000.0, code="2330", product_type="Stock", trade_id="T" * 16):
    """A fill record: the order record with the fill's quantity, price and time."""
    record = {
        "operation_type": "New", "operation_code": "00", "operation_message": "ok",
        "trade_id": trade_id, "account_id": "BT-00001", "code": code,
        "product_type": product_type, "action": Action.from_value(action), "price": price,
        "quantity": qty, "price_type": PriceType.LMT, "order_type": OrderType.ROD,
        "exchange_ts": ts,
    }
    if product_type == "Stock":
        record.update(order_cond=OrderCond.CASH, order_lot=OrderLot.COMMON)
    return record


def tick(code, close, ts=1700000000.0, qty=1, market_type="Stock"):
    """A replayed tick record."""
    return {"market_type": market_type, "timestamp": ts, "code": code, "close": close,
            "qty": qty, "tick_type": 1, "is_simulate": False, "is_backfilling": False}
