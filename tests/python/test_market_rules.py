"""The Taiwan market's rules in the account, against worked examples by hand: the day-trade
tax, the broker's fee discount and minimum, and transaction tax on the side that owes it."""
import json
import random
from datetime import time

import pytest

from account_helpers import fill
from orva_backtest import Strategy
from orva_backtest.cli import run_cli
from orva_backtest.market_rules import market_rules
from orva_backtest.modules.positions.positions import Positions
from orva_backtest.runner import run_backtest

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



def test_the_day_trade_rate_never_raises_a_lower_configured_tax(console):
    book = account()
    book.update_fee_settings("stock", tax=0.001)  # an ETF's rate: no day-trade reduction to take
    row = round_trip(book, "Buy", "Sell", code="0050", at=(150.0, 151.0), later=60.0)
    fees = 0.001425 * 150_000 + 0.001425 * 151_000 + 2 * 10
    assert row["profit"] == pytest.approx(1_000 - fees - 0.001 * 151_000)  # not 0.15 %
    assert row["tax_rate"] == 0.001

@pytest.mark.parametrize("code, later, rate", [
    ("0050", 60.0, 0.001), ("0050", DAY, 0.001), ("00878", DAY, 0.001),  # ETFs, day trade or not
    ("2330", DAY, 0.003),
])
def test_an_etf_s_sale_pays_its_own_rate(console, code, later, rate):
    book = account(etf_tax_rate=0.001)
    row = round_trip(book, "Buy", "Sell", code=code, at=(150.0, 151.0), later=later)
    fees = 0.001425 * 150_000 + 0.001425 * 151_000 + 2 * 10
    assert row["profit"] == pytest.approx(1_000 - fees - rate * 151_000)
    assert row["tax_rate"] == rate


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



@pytest.mark.parametrize("before, after", [
    (None, {**TAIWAN, "fee_discount": 0.28, "min_fee": 20}),   # rules given with a position open
    ({**TAIWAN, "fee_discount": 0.28, "min_fee": 20}, {**TAIWAN, "fee_discount": 0.6, "min_fee": 500}),
    ({**TAIWAN, "fee_discount": 0.28, "min_fee": 20}, None),   # and taken away
])
def test_rules_changed_between_fills_leave_the_cash_and_the_profit_in_step(console, before, after):
    book = account(before)
    book.set_positions(fill("Sell", 2, 10.0, MONDAY, "1101"), "Stock")
    book.set_market_rules(after)
    for i in range(2):  # a partial cover, then the rest
        book.set_positions(fill("Buy", 1, 10.5, MONDAY + DAY, "1101", trade_id=f"{i:016d}"), "Stock")
    profit = sum(row["profit"] for row in book._profit_report["rows"])
    assert book.current_capital == pytest.approx(10_000_000 + profit, abs=1e-6)


@pytest.mark.parametrize("key", ["fee_discount", "min_fee", "day_trade_tax_rate", "etf_tax_rate"])
def test_a_flag_is_not_an_amount(console, key):
    with pytest.raises(TypeError, match=key):
        account(**{key: True})


def test_rules_past_the_account_s_bounds_are_refused_when_chosen_not_in_each_run():
    with pytest.raises(ValueError, match="min_fee"):  # a sweep would fail every task instead
        market_rules(min_fee=2e9)

class Flipper(Strategy):
    """Buys and sells 2330 every 500 ticks, and from 13:00 holds a lot into the next morning:
    day trades and round trips of two days."""

    def __init__(self):
        self.count, self.day = 0, None

    def on_tick(self, ctx, tick):
        if tick["code"] != "2330" or ctx.pending_orders:
            return
        self.count += 1
        held = ctx.position("2330") > 0
        if ctx.now.date() != self.day:  # the first tick of a day closes what was held overnight
            self.day = ctx.now.date()
            if held:
                ctx.sell("2330", 1)
        elif ctx.now.time() >= time(13):
            if not held:
                ctx.buy("2330", 1)
        elif self.count % 500 == 0:
            (ctx.sell if held else ctx.buy)("2330", 1)


def test_runs_apply_the_taiwan_rules_unless_told_plain(tmp_path):
    taiwan = run_backtest(Flipper(), ["2330:Stock"], "2024-03-04", "2024-03-05",
                          data_dir=tmp_path / "taiwan", reports=False)
    plain = run_backtest(Flipper(), ["2330:Stock"], "2024-03-04", "2024-03-05",
                         data_dir=tmp_path / "plain", reports=False, rules="plain")
    assert taiwan.market_rules["name"] == "taiwan" and plain.market_rules["name"] == "plain"
    assert 0 < taiwan.day_trades < len(taiwan.profit_rows) and plain.day_trades == 0
    assert {row["tax_rate"] for row in taiwan.profit_rows} == {0.0015, 0.003}
    assert taiwan.summary()["market_rules"]["day_trade_tax_rate"] == 0.0015
    # the same fills, less tax on the day trades
    assert [r["exit_origin_price"] for r in taiwan.profit_rows] == [r["exit_origin_price"] for r in plain.profit_rows]
    assert taiwan.account._profit_report["profit"] > plain.account._profit_report["profit"]


def test_direct_and_paced_agree_under_the_rules(tmp_path):
    runs = [run_backtest(Flipper(), ["2330:Stock", "TXFR1:Future"], "2024-03-04", "2024-03-05",
                         data_dir=tmp_path / mode, reports=False, mode=mode,
                         rules=market_rules(fee_discount=0.28))
            for mode in ("direct", "paced")]
    assert runs[0].profit_rows == runs[1].profit_rows
    assert [dict(r, trade_id=None) for r in runs[0].account.trade_records] == \
        [dict(r, trade_id=None) for r in runs[1].account.trade_records]  # ids are random


@pytest.mark.parametrize("argv, message", [
    (["--rules", "plain", "--fee-discount", "0.5"], "plain"),
    (["--fee-discount", "1.5"], "fee_discount"),
    (["--min-fee", "-1"], "min_fee"),
    (["--settlement", "missing.csv"], "missing.csv"),
])
def test_the_command_line_s_rules_are_checked(tmp_path, capsys, argv, message):
    assert run_cli(["demo", "--data-dir", str(tmp_path), *argv]) != 0
    error = capsys.readouterr().err
    assert message in error and len(error.strip().splitlines()) == 1


def test_the_command_line_s_rules_reach_the_run(tmp_path, capsys):
    path = tmp_path / "flip.py"
    path.write_text("from orva_backtest import Strategy\n"
                    "class Flip(Strategy):\n"
                    "    def on_tick(self, ctx, tick):\n"
                    "        if not ctx.pending_orders:\n"
                    "            (ctx.sell if ctx.position('1101') else ctx.buy)('1101', 1)\n",
                    encoding="utf-8")
    out = tmp_path / "run.json"
    assert run_cli(["run", str(path), "--codes", "1101:Stock", "--start", "2024-03-04", "--end",
                    "2024-03-04", "--data-dir", str(tmp_path / "data"), "--no-reports",
                    "--fee-discount", "0.28", "--min-fee", "20", "--json", str(out)]) == 0
    summary = json.loads(out.read_text(encoding="utf-8"))
    assert summary["market_rules"]["fee_discount"] == 0.28 and summary["day_trades"] > 0
    assert "當沖交易稅 0.15%" in capsys.readouterr().out
