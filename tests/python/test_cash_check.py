"""The cash check: each order is measured against the position the orders ahead of it leave,
each open contract holds its margin, and buying power never goes below 0; margins are taken
only where they are read."""
import random

import pytest

from matcher_helpers import Exchange
from orva_backtest.buying_power import BuyingPower, InsufficientFunds
from orva_backtest.cli import run_cli
from orva_backtest.runner import run_backtest
from orva_backtest.strategy import Context, Strategy

STOCK = ("2330", "Stock", 600.0, None)
FUTURE = ("TXFR1", "Future", 17000.0, {"TXFR1": 300_000})


class Desk:
    """A strategy's context over an exchange fed by hand at one flat price, so every fill is
    priced exactly as the check priced it."""

    def __init__(self, code, market, price, margins, capital):
        self.code, self.price = code, price
        self.exchange = Exchange(fill_model="touch")
        self.account = self.exchange.matcher.positions
        self.account.set_initial_capital(capital)
        self.power = BuyingPower(self.account, {code: market}, margins)
        self.ctx = Context(self.account, self.exchange.matcher, None, {code: market}, self.power)
        self.tick()

    def tick(self, volume=1000):
        self.exchange.tick(self.price, volume, code=self.code)

    def send(self, action, qty, limit=None):
        """True when the check let the order through."""
        try:
            self.ctx.place_order(self.code, action, qty, limit)
        except InsufficientFunds:
            return False
        return True


@pytest.mark.parametrize("code, market, price, margins, short", [(*STOCK, 0), (*FUTURE, -1)])
def test_sells_beyond_the_position_are_openings(console, code, market, price, margins, short):
    desk = Desk(code, market, price, margins, 700_000)
    assert desk.send("Buy", 1)
    desk.tick()
    sent = [desk.send("Sell", 1) for _ in range(5)]  # only the first one covers
    assert sent[0] and not sent[-1]
    desk.tick()
    assert desk.ctx.position(code) == short and desk.power.available() >= 0


def test_each_open_contract_holds_its_margin(console):
    desk = Desk(*FUTURE, 2_000_000)
    desk.send("Buy", 3)
    desk.tick()
    paid = desk.account.initial_capital - desk.account.current_capital - 3 * 200 * 17003.0
    assert 0 < paid < 1000  # fee and fixed cost
    assert desk.power.available() == pytest.approx(2_000_000 - paid - 3 * 300_000)


def test_an_exit_needs_nothing_and_an_addition_its_whole_opening(console):
    desk = Desk(*STOCK, 700_000)
    desk.send("Buy", 1)
    desk.tick()
    opening = desk.account._Positions__calculate_trade_cost("2330", "Buy", 600.0, 1, "Stock",
                                                            ignore_tax=True)
    assert desk.power.required("2330", "Buy", 1, 600.0) == pytest.approx(
        opening["price"] * 1000 + opening["fee"] + opening["fixed_cost"])
    assert desk.power.required("2330", "Sell", 1, 600.0) == 0
    assert not desk.send("Buy", 1)  # about 96,000 left: no second lot
    assert desk.send("Sell", 1)     # but the exit always goes


def test_resting_orders_are_counted(console):
    desk = Desk(*STOCK, 1_000_000)
    assert desk.send("Buy", 1, 590.0)      # rests below the market
    assert not desk.send("Buy", 1, 590.0)  # each alone fits, both do not


def test_a_new_price_is_measured_as_the_order_would_be_at_it(console):
    desk = Desk(*STOCK, 1_200_000)
    assert desk.send("Buy", 2, 590.0)  # 1,180,000 and the fee: fits
    trade_id = desk.ctx.pending_orders[0]["trade_id"]
    with pytest.raises(InsufficientFunds):
        desk.ctx.modify_order(trade_id, price=600.0)  # 1,200,000 and the fee does not
    desk.ctx.modify_order(trade_id, qty=1, price=600.0)  # one lot at 600 does
    desk.tick()
    assert desk.ctx.position("2330") == 1 and desk.power.available() >= 0


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("instrument", [STOCK, FUTURE], ids=["stock", "future"])
def test_buying_power_never_goes_below_zero(console, seed, instrument):
    rng = random.Random(seed)
    code, market, price, margins = instrument
    desk = Desk(code, market, price, margins, 1_500_000)
    sent = []
    for _ in range(200):
        for _ in range(rng.choice([0, 0, 1, 1, 3])):
            limit = rng.choice([None, price])
            sent.append(desk.send(rng.choice(["Buy", "Sell"]), rng.randint(1, 3), limit))
            assert desk.power.available() >= 0
        if rng.random() < 0.2 and desk.ctx.pending_orders:
            desk.ctx.cancel_order(rng.choice(desk.ctx.pending_orders)["trade_id"])
        desk.tick(rng.randint(0, 4))
        assert desk.power.available() >= 0
    assert any(sent) and not all(sent)


class OneContract(Strategy):
    def on_tick(self, ctx, tick):
        if not ctx.position(tick["code"]) and not ctx.pending_orders:
            ctx.buy(tick["code"], 1)


@pytest.mark.parametrize("margins, cash_check, message", [
    ({"TXFR1": 300_000}, False, "--cash-check"),
    ({"2330": 300_000}, True, "2330"),
])
def test_margins_that_would_be_ignored_are_refused(tmp_path, margins, cash_check, message):
    with pytest.raises(ValueError, match=message):
        run_backtest(OneContract(), ["TXFR1:Future"], "2024-03-04", "2024-03-04",
                     data_dir=tmp_path, reports=False, cash_check=cash_check, margins=margins)
    assert not (tmp_path / "runs").exists()


def test_the_command_line_s_margin_reaches_the_check(tmp_path, capsys):
    path = tmp_path / "one.py"
    path.write_text("from orva_backtest import Strategy\n\n"
                    "class One(Strategy):\n"
                    "    def on_tick(self, ctx, tick):\n"
                    "        if not ctx.position(tick['code']) and not ctx.pending_orders:\n"
                    "            ctx.buy(tick['code'], 1)\n", encoding="utf-8")
    argv = ["run", str(path), "--codes", "TXFR1:Future", "--start", "2024-03-04", "--end",
            "2024-03-04", "--data-dir", str(tmp_path / "data"), "--no-reports", "--cash-check"]
    assert run_cli(argv) == 0  # the default margin fits the capital
    assert run_cli([*argv, "--margin", "TXFR1=2000000"]) == 1
    assert "資金不足" in capsys.readouterr().err
    assert run_cli([*argv[:-1], "--margin", "TXFR1=2000000"]) == 1  # without --cash-check
    assert "--cash-check" in capsys.readouterr().err
