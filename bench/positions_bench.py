"""Account cases: trade cost and settings updates."""
from orva_backtest.modules.positions.positions import Positions

SUBSYSTEM = "positions"


def cases():
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
