"""Index options in the account: premium ticks and costs, a bought and a written option's cash,
the written margin the cash check holds, cash settlement at expiry, and Black-76."""
import math

import numpy as np
import pytest

from account_helpers import fill, tick
from matcher_helpers import T0, drain
from orva_backtest.buying_power import BuyingPower
from orva_backtest.cli_shared import option_settings
from orva_backtest.engine.options import OptionChain
from orva_backtest.modules.matcher.matcher import Matcher
from orva_backtest.modules.positions.positions import Positions, black76, implied_vol
from orva_backtest.result import open_positions
from orva_backtest.runner import _configure_account

EXPIRY = 1768368600.0  # 2026-01-14 13:30 Taipei: the series' last moment
CALL, PUT = "TXO202601W2C23000", "TXO202601W2P22800"


def facts(strike, right, expiry="202601W2", day="2026-01-14"):
    return {"product": "TXO", "underlying": "TXF", "expiry": expiry, "expiry_date": day,
            "strike": strike, "right": right, "multiplier": 50}


def account():
    book = Positions()
    book.set_initial_capital(1_000_000)
    book.set_option_contracts({CALL: facts(23000.0, "C"), PUT: facts(22800.0, "P")})
    return book


@pytest.mark.parametrize("action, price, slipped", [
    ("Buy", 9.95, 10.5), ("Sell", 10.0, 9.5), ("Sell", 1000, 990)])
def test_option_costs_move_on_the_premium_grid(console, action, price, slipped):
    cost = account()._Positions__calculate_trade_cost(CALL, action, price, 3, "Option")
    assert cost["price"] == pytest.approx(slipped)
    assert cost["min_qty"] == 150 and cost["fee"] == 75  # NT$25 per contract
    assert cost["tax"] == pytest.approx(0.001 * 150 * slipped)  # 0.1 % of the premium value


def test_the_option_settings_take_a_fee_per_contract(console):
    book = account()
    book.update_fee_settings("option", fee=12.5, action="buy", tick_count=0)
    cost = book._Positions__calculate_trade_cost(CALL, "Buy", 48.5, 2, "Option")
    assert (cost["fee"], cost["price"]) == (25.0, 48.5)
    for bad in (-1, float("nan"), 2e6):
        with pytest.raises(ValueError, match="fee"):
            book.update_fee_settings("option", fee=bad)
    with pytest.raises(ValueError, match="fee"):  # a rate there still
        book.update_fee_settings("future", fee=12.5)
    assert book.fee_settings["option"]["fee"] == 12.5


def test_the_command_line_s_fee_and_slippage_reach_the_option_settings(console):
    *_, fees, _ = option_settings("2330", "2026-01-05", "2026-01-06", None, None,
                                  ("option=15", "future=0.00003"), ())
    book = account()
    _configure_account(book, 1_000_000, fees, 2)
    assert book.fee_settings["option"]["fee"] == 15
    assert book._Positions__calculate_trade_cost(CALL, "Buy", 9.8, 1, "Option")["price"] == 10.0


@pytest.mark.parametrize("code, premium, supplied, approximated, source, value", [
    (CALL, 120, {"2026-01-14": 23150.5}, {"2026-01-14": 23100.0}, "supplied", 150.5),
    (CALL, 120, None, {"2026-01-14": 23100.0}, "futures_last_trade", 100.0),
    (PUT, 35.5, {"2026-01-14": 23150.5}, None, "supplied", 0.0)])
def test_a_bought_option_held_to_expiry_settles_at_its_intrinsic_value(
        console, code, premium, supplied, approximated, source, value):
    book = account()
    book.set_option_settlements(supplied or {}, approximated)
    book.set_positions(fill("Buy", 2, premium, EXPIRY - 86400, code, "Option"), "Option")
    book.set_current_tick(tick(code, premium, EXPIRY, market_type="Option"))  # the closing auction
    assert book._profit_report["rows"] == []
    book.set_current_tick(tick("TXFR1", 23120.0, EXPIRY + 900, market_type="Future"))
    (row,) = book._profit_report["rows"]
    assert row["expiry"] is True and row["settlement_source"] == source
    assert row["exit_price"] == value and row["exit_dt"] == EXPIRY
    # Paid: one premium tick of slippage on the entry, NT$25 a contract on it and on an
    # exercise (none for a worthless expiry), and the tax of 0.1 % on the settlement's value;
    # received: the intrinsic value × 50.
    paid = (premium + (1 if premium >= 50 else 0.5)) * 50 * 2
    expected = value * 50 * 2 - paid - 50 - (50 if value else 0) - 0.001 * value * 100
    assert row["profit"] == pytest.approx(expected)
    assert book.current_capital == pytest.approx(1_000_000 + expected)
    assert book.positions[code] == {"buy": [], "sell": []}
    assert [r["trade_status"] for r in book.trade_records] == ["Expiry"]


def test_an_expiry_without_a_settlement_price_is_named(console):
    book = account()
    book.set_positions(fill("Sell", 1, 40, EXPIRY - 86400, PUT, "Option"), "Option")
    with pytest.raises(ValueError, match=f"{PUT}.*2026-01-14.*--settlement"):  # what a command line user can do
        book.settle_options(EXPIRY + 1)
    assert book.positions[PUT]["sell"][0]["quantity"] == 1  # nothing half settled
    book.set_option_settlements({"2026-01-14": 22700.0})
    book.settle_options(EXPIRY + 1)
    assert book._profit_report["rows"][0]["exit_price"] == 100.0  # a written put pays K - S


@pytest.mark.parametrize("moment", [EXPIRY - 1, EXPIRY, EXPIRY + 1], ids=["before", "closing trade", "after"])
def test_orders_are_refused_on_a_series_once_the_account_has_settled_it(console, moment):
    book = account()
    book.set_option_settlements({"2026-01-14": 22700.0})
    book.settle_options(moment)
    last = {"code": CALL, "close": 12.0, "timestamp": EXPIRY - 60}
    chain = OptionChain({CALL: facts(23000.0, "C")}, lambda code: last, lambda code: 3, lambda f: 23010.0)
    assert chain.has_settled(CALL, moment) == (CALL in book.take_expired_codes()) == (moment > EXPIRY)
    # The board lists a series exactly as long as orders on it are taken.
    listed = moment <= EXPIRY
    assert (chain.expiries(moment), chain.frame(moment)["code"].to_list()) == (
        (["202601W2"], [CALL]) if listed else ([], []))


def test_a_written_put_receives_its_premium_and_holds_the_exchange_s_margin(console):
    book = account()
    power = BuyingPower(book, {PUT: "Option"})
    book.set_positions(fill("Sell", 2, 45, EXPIRY - 86400, PUT, "Option"), "Option")
    # Received 44.5 (45 less one 0.5 tick) × 50 × 2, less NT$25 a contract.
    assert book.current_capital == 1_000_000 + 4450 - 50
    book.set_current_tick(tick(PUT, 45, EXPIRY - 3600, market_type="Option"))
    book.set_current_tick(tick("TXF", 23000.0, EXPIRY - 3600, market_type="Future"))
    # By hand: 45 × 50 + max(46,000 - (23,000 - 22,800) × 50, 23,000) = 2,250 + 36,000.
    assert power.available() == 1_000_000 + 4400 - 2 * 38_250
    # One more written at 45 needs max(A - OTM, B) + its fee: the premium pays the rest.
    assert power.required(PUT, "Sell", 1, 45) == 36_000 + 25
    assert power.required(PUT, "Buy", 1, 45) == 0  # it covers
    book.set_positions(fill("Buy", 2, 30, EXPIRY - 1800, PUT, "Option"), "Option")
    (row,) = book._profit_report["rows"]
    assert row["profit"] == pytest.approx((44.5 - 30.5) * 100 - 100 - 0.001 * 30.5 * 100)
    assert book.current_capital == pytest.approx(1_000_000 + row["profit"])


def test_the_exchange_fills_option_orders_into_the_account(console):
    book = account()
    exchange = Matcher(book)
    exchange.set_current_tick(tick(CALL, 120, EXPIRY - 7200, market_type="Option"))
    exchange.add_order(CALL, "Option", "Buy", 0.0, 2, "MKT", "IOC")
    exchange.set_current_tick(tick(CALL, 121, EXPIRY - 7199, qty=5, market_type="Option"))
    exchange.match_deal(CALL, 121, 5, EXPIRY - 7199)
    (deal,) = [r for r in book.trade_records if r["trade_status"] == "Deal"]
    assert (deal["code"], deal["quantity"], deal["price"]) == (CALL, 2, 121)
    assert book.product_type_mapper[CALL] == "Option"
    assert book.current_capital == 1_000_000 - 122 * 100 - 50  # one tick up, NT$25 each


@pytest.mark.parametrize("code, product, price, lowest", [
    (CALL, "Option", 0.1, 0.1),  # the lowest premium, one tick down by default
    ("9999", "Stock", 0.02, 0.01),  # three ticks down by default
])
def test_a_sell_slips_no_lower_than_the_lowest_price(console, code, product, price, lowest):
    cost = account()._Positions__calculate_trade_cost(code, "Sell", price, 1, product)
    assert cost["price"] == pytest.approx(lowest) and cost["fee"] > 0


def test_an_option_written_at_the_lowest_premium_is_bought_back(console):
    # Its sell once slipped to 0, with no fee or tax, and the buy-back divided by 0.
    book = account()
    exchange = Matcher(book)
    for second, action in enumerate(("Sell", "Buy")):
        moment = EXPIRY - 7200 + second
        exchange.set_current_tick(tick(CALL, 0.1, moment, market_type="Option"))
        exchange.add_order(CALL, "Option", action, 0.0, 1, "MKT", "IOC")
        exchange.set_current_tick(tick(CALL, 0.1, moment + 0.5, market_type="Option"))
        exchange.match_deal(CALL, 0.1, 1, moment + 0.5)
    (row,) = book._profit_report["rows"]
    assert (row["entry_price"], row["exit_price"]) == (pytest.approx(0.1), pytest.approx(0.2))


def test_an_option_series_keeps_no_band_of_its_own_premium(console):
    """TXO's daily limits follow the index (±10 % of it, in premium points): a premium that
    doubles in a day is an ordinary trade, not one outside the exchange's band."""
    book = account()
    exchange = Matcher(book, fill_model="touch", price_limit=0.1)
    for code, when, close in [(CALL, T0, 100.0), ("2330", T0, 600.0),
                              (CALL, T0 + 86400, 210.0), ("2330", T0 + 86400, 605.0)]:
        exchange.set_current_tick(tick(code, close, when, market_type="Option"))
        exchange.match_deal(code, close, 1, when)
    exchange.add_order(CALL, "Option", "Buy", 210.0, 1, "LMT", "ROD")
    exchange.add_order("2330", "Stock", "Buy", 700.0, 1, "LMT", "ROD")
    codes = {r["order"]["code"]: r["operation_status_code"] for r in drain(exchange)}
    assert codes == {CALL: "00", "2330": "88"}  # the stock's band still holds


def test_open_options_are_marked_at_their_last_trade(console):
    book = account()
    book.set_positions(fill("Buy", 3, 120, EXPIRY - 86400, CALL, "Option"), "Option")
    book.set_current_tick(tick(CALL, 131, EXPIRY - 3600, market_type="Option"))
    (row,) = book._Positions__format_position_detail("Option")
    assert row["pnl"] == (131 - 120) * 3 * 50
    assert open_positions(book)[CALL].unrealised == row["pnl"]


@pytest.mark.parametrize("code, change, message", [
    (CALL, {"right": "c"}, "right"), (CALL, {"strike": float("nan")}, "strike"),
    (CALL, {"multiplier": True}, "multiplier"), (CALL, {"expiry_date": "2026-02-30"}, "expiry_date"),
    (CALL, {"expiry": "2026W2"}, "expiry"), (PUT, {"tick": 0.1}, "tick")])
def test_contract_facts_are_checked_before_any_is_kept(console, code, change, message):
    book = Positions()
    given = {"TXO202601C22000": facts(22000.0, "C"), code: {**facts(23000.0, "C"), **change}}
    with pytest.raises((TypeError, ValueError), match=f"{code}.*{message}|{message}.*{code}"):
        book.set_option_contracts(given)
    assert book.option_contracts == {}
    missing = {k: v for k, v in facts(23000.0, "C").items() if k != "right"}
    with pytest.raises(ValueError, match=f"{code}.*right"):
        book.set_option_contracts({code: missing})


def test_implied_volatility_recovers_the_volatility_of_a_chain():
    strikes = np.arange(21000.0, 25001.0, 250.0)
    rights = np.where(strikes < 23000, "P", "C")
    vols = 0.15 + 0.00002 * np.abs(strikes - 23000)  # a smile
    years = 9 / 365
    greeks = black76(23000.0, strikes, years, vols, rights, rate=0.017)
    assert np.allclose(implied_vol(greeks["price"], 23000.0, strikes, years, rights, rate=0.017),
                       vols, atol=1e-8)
    # Put-call parity: C - P = e^(-rT) (F - K), and one scalar call gives floats.
    calls = black76(23000.0, strikes, years, vols, "C", rate=0.017)["price"]
    puts = black76(23000.0, strikes, years, vols, "P", rate=0.017)["price"]
    assert np.allclose(calls - puts, math.exp(-0.017 * years) * (23000.0 - strikes), atol=1e-8)
    one = black76(23000.0, 22800.0, 14 / 365, 0.18, "C", rate=0.015)
    assert isinstance(one["price"], float) and one["price"] == pytest.approx(431.6259272329269)
    # Below the intrinsic value no volatility fits.
    assert math.isnan(implied_vol(150.0, 23000.0, 22800.0, years, "C", rate=0.017))
    with pytest.raises(ValueError, match="right"):
        black76(23000.0, strikes, years, 0.2, ["C", "X"] * 8 + ["C"])


@pytest.mark.parametrize("call, name", [
    (lambda: black76("23000", 22800.0, 0.1, 0.2, "C"), "forward"),
    (lambda: black76(23000.0, ["22800", "23000"], 0.1, 0.2, "C"), "strike"),
    (lambda: black76(23000.0, 22800.0, True, 0.2, "C"), "years"),
    (lambda: implied_vol(np.array([True, False]), 23000.0, 22800.0, 0.1, "P"), "price"),
    (lambda: implied_vol(300.0, 23000.0, 22800.0, 0.1, "P", rate="0.01"), "rate"),
    (lambda: black76(23000.0, np.array(["2026-01-14"], "datetime64[D]"), 0.1, 0.2, "C"), "strike"),
    (lambda: black76(np.ma.masked_array([23000.0, 0.0], [False, True]), 22800.0, 0.1, 0.2, "C"),
     "forward"),
])
def test_text_or_a_truth_value_is_no_number_to_price(call, name):
    with pytest.raises(ValueError, match=f"^{name} 必須是數字"):
        call()
