"""Futures expiry in a continuous front-month series: positions settle at the expiring
month's final price when the new month's first trade arrives, and the roll reopens them."""
import pytest

from account_helpers import fill, tick
from orva_backtest.modules.positions.positions import Positions

EXPIRY_1330 = 1710912600.0  # 2024-03-20 13:30 Taipei, the third Wednesday
NEW_MONTH = EXPIRY_1330 + 1.5 * 3600  # 15:00: the night session trades April


def account(reopen, settlement=None):
    book = Positions()
    book.set_initial_capital(10_000_000)
    book.update_fee_settings("future", action="buy", tick_count=0)
    book.update_fee_settings("future", action="sell", tick_count=0)
    book.set_expiries("TXFR1", [(NEW_MONTH, settlement, "202403")], reopen=reopen)
    book.set_positions(fill("Buy", 2, 16900.0, EXPIRY_1330 - 3600, "TXFR1", "Future"), "Future")
    for when, close in [(EXPIRY_1330 - 60, 17000.0), (EXPIRY_1330, 17050.0),
                        (NEW_MONTH, 17120.0), (NEW_MONTH + 60, 17150.0)]:
        book.set_current_tick(tick("TXFR1", close, when, market_type="Future"))
    return book


def points(row):
    return (row["exit_origin_price"] - row["entry_origin_price"]) * row["qty"]


@pytest.mark.parametrize("settlement, final", [(None, 17050.0), (17061.0, 17061.0)])
def test_an_expiry_settles_at_the_expiring_month_s_final_price(console, settlement, final):
    book = account(reopen=False, settlement=settlement)
    (row,) = book._profit_report["rows"]
    assert row["exit_origin_price"] == final and row["expiry"] is True
    assert points(row) == (final - 16900.0) * 2
    assert book.positions["TXFR1"]["buy"] == []
    assert [r["trade_status"] for r in book.trade_records] == ["Expiry"]
    assert book.current_capital == pytest.approx(10_000_000 + row["profit"])


def test_the_roll_reopens_in_the_new_month_and_books_no_spread(console):
    book = account(reopen=True)
    (entry,) = book.positions["TXFR1"]["buy"]
    assert (entry["price"], entry["quantity"]) == (17120.0, 2)
    book.set_positions(fill("Sell", 2, 17150.0, NEW_MONTH + 60, "TXFR1", "Future"), "Future")
    settled, rolled = book._profit_report["rows"]
    # 150 points to the expiry, 30 after the roll: the 70-point calendar spread is nobody's
    assert points(settled) + points(rolled) == (150 + 30) * 2
    assert [r["trade_status"] for r in book.trade_records] == ["Expiry", "Roll"]


def test_expiries_are_checked(console):
    book = Positions()
    for bad in ([(NEW_MONTH, -1.0, "x")], [(NEW_MONTH, None, "a"), (NEW_MONTH - 1, None, "b")],
                [(float("nan"), None, "x")], [(NEW_MONTH, None)]):
        with pytest.raises((TypeError, ValueError)):
            book.set_expiries("TXFR1", bad)
