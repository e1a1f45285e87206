"""The Taiwan market's rules in the account, against worked examples by hand: the day-trade
tax, the broker's fee discount and minimum, and transaction tax on the side that owes it."""
import random

import pytest

from account_helpers import fill
from orva_backtest.modules.positions.positions import Positions

MONDAY = 1709514000.0  # 2024-03-04 09:00 Taipei
DAY = 86400.0
TAIWAN = {"fee_discount": 1.0, "min_fee": 0, "tax_where_owed": True,
          "day_trade_tax_rate": 0.0015, "day_trade_tax_until": "2027-12-31"}


def account(rules=TAIWAN, **settings):
    """An account without slippage (figures by hand), under `rules`."""
    book = Positions()
    book.set_initial_capital(10_000_000)
    for kind in ("stock", "future"):
        for action in ("buy", "sell"):
            book.update_fee_settings(kind, action=action, tick_count=0)
    if rules is not None:
        book.set_market_rules({**rules, **settings})
    return book


def round_trip(book, first, second, qty=1, code="2330", product="Stock", at=(600.0, 607.0),
               later=0.0):
    book.set_positions(fill(first, qty, at[0], MONDAY, code, product, trade_id="A" * 16), product)
    book.set_positions(fill(second, qty, at[1], MONDAY + later, code, product, trade_id="B" * 16),
                       product)
    (row,) = book._profit_report["rows"]
    return row


@pytest.mark.parametrize("later, rate", [(3600.0, 0.0015), (DAY, 0.003)])
def test_a_same_day_stock_round_trip_pays_half_the_tax(console, later, rate):
    book = account()
    row = round_trip(book, "Buy", "Sell", later=later)
    fees = 0.001425 * 600_000 + 0.001425 * 607_000 + 2 * 10
    assert row["profit"] == pytest.approx(7_000 - fees - rate * 607_000)
    assert (row["tax_rate"], row["day_trade"]) == (rate, later < DAY)


def test_the_reduced_rate_ends_with_its_last_day(console):
    row = round_trip(account(day_trade_tax_until="2024-03-03"), "Buy", "Sell", later=60.0)
    assert (row["tax_rate"], row["day_trade"]) == (0.003, False)


def test_a_short_pays_its_tax_on_the_sale_at_the_sale_s_price(console):
    row = round_trip(account(), "Sell", "Buy", at=(607.0, 600.0), later=DAY)
    fees = 0.001425 * 607_000 + 0.001425 * 600_000 + 2 * 10
    assert row["profit"] == pytest.approx(7_000 - fees - 0.003 * 607_000)  # not at 600


def test_futures_pay_tax_on_both_sides(console):
    row = round_trip(account(), "Buy", "Sell", code="TXFR1", product="Future",
                     at=(17000.0, 17010.0), later=60.0)
    values = 17000.0 * 200 + 17010.0 * 200
    assert row["profit"] == pytest.approx(10 * 200 - 0.00002 * values - 20 - 0.00002 * values)
    described = round_trip(account(None), "Buy", "Sell", code="TXFR1", product="Future",
                           at=(17000.0, 17010.0), later=60.0)
    assert described["profit"] - row["profit"] == pytest.approx(0.00002 * 17000.0 * 200)


def test_a_discounted_fee_is_billed_its_minimum_per_fill(console):
    book = account(fee_discount=0.28, min_fee=20)
    book.set_positions(fill("Buy", 1, 10.0, MONDAY, "1101"), "Stock")
    assert book.current_capital == pytest.approx(10_000_000 - 10_000 - 20 - 10)  # not 3.99
    book.set_positions(fill("Buy", 40, 600.0, MONDAY, "2330"), "Stock")
    spent = 10_000_000 - 10_030 - book.current_capital
    assert spent == pytest.approx(40 * 600_000 + 0.001425 * 0.28 * 24_000_000 + 10)


def test_slices_of_one_fill_share_its_minimum(console):
    book = account(fee_discount=0.28, min_fee=20, tax_where_owed=False)
    for price in (10.0, 10.5):  # two entries, one cover fill of both
        book.set_positions(fill("Buy", 1, price, MONDAY, "1101"), "Stock")
    book.set_positions(fill("Sell", 2, 11.0, MONDAY + DAY, "1101"), "Stock")
    rows = book._profit_report["rows"]
    assert [r["cover_cost"] for r in rows] == pytest.approx([10 + 33.0 + 10] * 2)  # 20 / 2 + tax


@pytest.mark.parametrize("seed", range(8))
def test_a_flat_account_holds_capital_plus_its_profit_under_the_rules(console, seed):
    rng = random.Random(seed)
    code, product = rng.choice([("2330", "Stock"), ("1101", "Stock"), ("TXFR1", "Future")])
    book = Positions()
    book.set_initial_capital(10_000_000)
    book.set_market_rules({**TAIWAN, "fee_discount": 0.6, "min_fee": 20})
    held, price, when = 0, 600.0 if product == "Stock" else 17000.0, MONDAY
    for i in range(30):
        when += rng.choice([60.0, 3600.0, DAY])
        price = round(price * rng.uniform(0.98, 1.02), 0)
        qty = rng.randint(1, 3)
        action = rng.choice(["Buy", "Sell"])
        book.set_positions(fill(action, qty, price, when, code, product, trade_id=f"{i:016d}"), product)
        held += qty if action == "Buy" else -qty
    if held:
        book.set_positions(fill("Sell" if held > 0 else "Buy", abs(held), price, when + DAY, code,
                                product, trade_id="E" * 16), product)
    profit = sum(row["profit"] for row in book._profit_report["rows"])
    assert book.current_capital == pytest.approx(10_000_000 + profit, abs=1e-6)
