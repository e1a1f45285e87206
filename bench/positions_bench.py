"""Account cases: trade cost and settings updates."""
from orva_backtest.modules.positions.positions import Positions

SUBSYSTEM = "positions"


def cases():
    return cost_cases() + book_cases()


def cost_cases():
    account = Positions()
    cost = account._Positions__calculate_trade_cost
    return [
        ("calculate_trade_cost stock, 3 ticks", lambda: cost("2330", "Buy", 600.0, 2, "Stock")),
        ("calculate_trade_cost future, opening",
         lambda: cost("TXFR1", "Sell", 17000.0, 1, "Future", is_cover=False)),
        ("update_fee_settings fee only", lambda: account.update_fee_settings("stock", fee=0.001425)),
        ("update_fee_settings all fields",
         lambda: account.update_fee_settings("future", action="buy", fee=0.00002, tax=0.00002,
                                              per_trade_cost=10, tick_count=3, direction="up")),
    ]


def _fill(action, qty, price):
    return {"trade_id": "T" * 16, "code": "2330", "product_type": "Stock", "action": action,
            "price": price, "quantity": qty, "exchange_ts": 1700000000.0}


def book_cases():
    account = Positions()
    buy, sell = _fill("Buy", 1, 600.0), _fill("Sell", 1, 610.0)

    def round_trip():
        account.set_positions(buy, "Stock")
        account.set_positions(sell, "Stock")
        # Keep the history from growing across timing rounds.
        account._profit_report["rows"].clear()

    viewed = Positions()
    for i in range(100):
        viewed.set_positions(_fill("Buy", 1 + i % 3, 600.0 + i), "Stock")
    viewed.set_current_tick({"code": "2330", "close": 650.0})

    def view(detail):
        viewed.fetch_positions("Stock", detail)
        viewed.pop_positions()

    return [
        ("set_positions open + cover round trip", round_trip),
        ("fetch_positions summary, 100 entries", lambda: view(False)),
        ("fetch_positions detail, 100 entries", lambda: view(True)),
    ]
