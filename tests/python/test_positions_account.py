import queue

import pytest

from orva_backtest.constant import Action, FutureIndexContractValue
from orva_backtest.modules.positions.positions import Positions


@pytest.fixture
def account():
    return Positions()


def cost(account, *args, **kwargs):
    return account._Positions__calculate_trade_cost(*args, **kwargs)


def slip(account, *args):
    return account._Positions__calculate_slippage_price(*args)


def ceil(account, *args):
    return account._Positions__ceil_price_by_tick(*args)


DEFAULT_BRANCH = {
    "per_trade_cost": 10,
    "slippage": {"buy": {"tick_count": 3, "direction": "up"},
                 "sell": {"tick_count": 3, "direction": "down"}},
}


def test_fresh_account_attributes_in_order(account):
    attrs = vars(account)
    assert list(attrs) == [
        "positions", "trade_records", "product_type_mapper", "current_tick_infos",
        "fetch_position_queue", "finish_fetch_position_queue",
        "wait_fetch_position_response_flag", "initial_capital", "current_capital",
        "_profit_report", "_fee_settings", "_account_infos",
    ]
    assert attrs["positions"] == {} and attrs["trade_records"] == []
    assert attrs["product_type_mapper"] == {} and attrs["current_tick_infos"] == {}
    assert type(attrs["fetch_position_queue"]) is queue.Queue
    assert type(attrs["finish_fetch_position_queue"]) is queue.Queue
    assert attrs["fetch_position_queue"] is not attrs["finish_fetch_position_queue"]
    assert attrs["wait_fetch_position_response_flag"] is False
    assert attrs["initial_capital"] == 100000 and type(attrs["initial_capital"]) is int
    assert attrs["current_capital"] == 100000
    assert attrs["_profit_report"] == {"profit": 0, "rows": []}
    assert attrs["_fee_settings"] == {
        "stock": {"fee": 0.001425, "tax": 0.003, **DEFAULT_BRANCH},
        "future": {"fee": 0.00002, "tax": 0.00002, **DEFAULT_BRANCH},
        # index options: a fee per contract, one premium tick of slippage
        "option": {"fee": 25, "tax": 0.001, "per_trade_cost": 0,
                   "slippage": {"buy": {"tick_count": 1, "direction": "up"},
                                "sell": {"tick_count": 1, "direction": "down"}}},
    }
    assert attrs["_account_infos"] == {}
    assert Positions.__bases__ == (object,)


def test_attributes_are_assignable(account):
    account.wait_fetch_position_response_flag = True
    account.positions = {"2330": {"buy": [], "sell": []}}
    assert account.wait_fetch_position_response_flag is True
    assert account.positions == {"2330": {"buy": [], "sell": []}}


def test_settings_trees_are_never_shared(account):
    other = Positions()
    account.fee_settings["stock"]["slippage"]["buy"]["tick_count"] = 9
    assert other.fee_settings["stock"]["slippage"]["buy"]["tick_count"] == 3
    assert account.fee_settings["future"]["slippage"]["buy"]["tick_count"] == 3
    before = account.fee_settings
    account.reset_fee_settings()
    assert account.fee_settings is not before
    assert account.fee_settings["stock"]["slippage"]["buy"]["tick_count"] == 3


def test_fee_settings_is_the_live_tree(account):
    assert account.fee_settings is account._fee_settings
    account.fee_settings["stock"]["slippage"]["buy"]["tick_count"] = 0
    assert cost(account, "2330", "Buy", 600, 1, "Stock")["price"] == 600.0
    with pytest.raises(AttributeError):
        account.fee_settings = {}


def test_capital_accessors(account):
    assert account.fetch_account_balance() == 100000 and account.fetch_margin() == 100000
    account.set_initial_capital(500000)
    assert (account.initial_capital, account.current_capital) == (500000, 500000)
    assert account.fetch_account_balance() == 500000 and account.fetch_margin() == 500000


@pytest.mark.parametrize("bad", [500000.0, "500000", True, None])
def test_set_initial_capital_refuses_non_integers(account, bad):
    with pytest.raises(TypeError, match="capital"):
        account.set_initial_capital(bad)
    assert account.initial_capital == 100000


def test_update_changes_only_what_is_given(account):
    account.update_fee_settings("stock", action="sell", fee=0.001, tax=0.0, per_trade_cost=20,
                                tick_count=1, direction="up")
    stock = account.fee_settings["stock"]
    assert (stock["fee"], stock["tax"], stock["per_trade_cost"]) == (0.001, 0.0, 20)
    assert stock["slippage"]["sell"] == {"tick_count": 1, "direction": "up"}
    assert stock["slippage"]["buy"] == {"tick_count": 3, "direction": "up"}
    assert account.fee_settings["future"] == Positions().fee_settings["future"]
    assert account.update_fee_settings("stock") is None
    assert stock["fee"] == 0.001


def test_update_needs_exact_lower_case_action(account):
    account.update_fee_settings("stock", action="Buy", fee=0.002, tick_count=1)
    assert account.fee_settings["stock"]["fee"] == 0.002
    assert account.fee_settings["stock"]["slippage"]["buy"]["tick_count"] == 3


@pytest.mark.parametrize("direction", ["sideways", "UP", None, 1])
def test_update_ignores_unknown_directions(account, direction):
    account.update_fee_settings("future", action="sell", direction=direction)
    assert account.fee_settings["future"]["slippage"]["sell"]["direction"] == "down"


@pytest.mark.parametrize("setting_type", ["Stock", "futures", 3])
def test_update_refuses_unknown_setting_type(account, setting_type):
    with pytest.raises(ValueError) as err:
        account.update_fee_settings(setting_type, fee=0.5)
    assert str(err.value) == "不支援的商品類型: " + str(setting_type)
    assert account.fee_settings == Positions().fee_settings


@pytest.mark.parametrize("kwargs, name", [
    ({"fee": 0}, "fee"), ({"tax": 1}, "tax"), ({"fee": "0.1"}, "fee"),
    ({"per_trade_cost": 10.0}, "per_trade_cost"), ({"tick_count": 2.0}, "tick_count"),
    ({"tick_count": True}, "tick_count"),
])
def test_update_type_errors_name_the_argument_and_change_nothing(account, kwargs, name):
    with pytest.raises(TypeError, match=name):
        account.update_fee_settings("stock", action="buy", direction="down", **kwargs)
    assert account.fee_settings == Positions().fee_settings


def test_account_info_is_fresh_zeroed_record(account):
    first = account._Positions__init_account_info()
    assert list(first.items()) == [
        ("entry_times", 0), ("cover_times", 0), ("receive_amount", 0), ("payable_amount", 0),
        ("net_profit", 0), ("extra_fee", 0), ("profit", 0)]
    assert first is not account._Positions__init_account_info()


def test_stock_buy_cost_record(account):
    record = cost(account, "2330", "Buy", 600, 2, "Stock")
    assert list(record) == ["fee", "tax", "fixed_cost", "qty", "min_qty", "price", "origin_price"]
    assert record == {"fee": 1718.55, "tax": 3618.0, "fixed_cost": 10, "qty": 2,
                      "min_qty": 2000, "price": 603.0, "origin_price": 600.0}
    assert type(record["price"]) is float and type(record["origin_price"]) is float
    assert type(record["min_qty"]) is int


@pytest.mark.parametrize("action, price, is_cover, expected", [
    ("Buy", 600, True, 603.0),
    ("Buy", 600, False, 597.0),
    ("Sell", 10.02, True, 9.94),
    ("Sell", 10.02, False, 10.2),
    (Action.SELL, 600, True, 597.0),
    ("BUY", 600, True, 603.0),   # looked up in lower case
])
def test_slipped_price_by_side_and_opening(account, action, price, is_cover, expected):
    assert cost(account, "2330", action, price, 1, "Stock", is_cover=is_cover)["price"] == expected


def test_future_cost_uses_contract_value(account):
    record = cost(account, "NOTINTABLE", "Buy", 17000, 1, "Future")
    assert record["price"] == 17015.0 and record["min_qty"] == 2000
    assert record["fee"] == pytest.approx(680.6, rel=1e-15)
    code, value = next(iter(FutureIndexContractValue.items()))
    assert cost(account, code, "Buy", 17000, 2, "Future")["min_qty"] == 2 * value


def test_contract_value_lookup_sees_table_changes(account, monkeypatch):
    assert account._Positions__apply_future_contract_value("NOTINTABLE") == 2000
    monkeypatch.setitem(FutureIndexContractValue, "NOTINTABLE", 50)
    assert account._Positions__apply_future_contract_value("NOTINTABLE") == 50


def test_ignore_tax_gives_integer_zero(account):
    record = cost(account, "2330", "Buy", 600, 2, "Stock", ignore_tax=True)
    assert record["tax"] == 0 and type(record["tax"]) is int


def test_fixed_cost_follows_settings(account):
    account.update_fee_settings("future", per_trade_cost=55)
    assert cost(account, "MXFR1", "Sell", 17000, 1, "Future")["fixed_cost"] == 55


@pytest.mark.parametrize("product_type", ["stock", "Options", None])
def test_cost_refuses_unknown_product_type(account, product_type):
    with pytest.raises(Exception) as err:
        cost(account, "2330", "Buy", 600, 1, product_type)
    assert type(err.value) is Exception
    assert str(err.value) == "不支援的商品類型: " + str(product_type)


def test_cost_with_unknown_action_is_a_missing_key(account):
    with pytest.raises(KeyError):
        cost(account, "2330", "Hold", 600, 1, "Stock")


@pytest.mark.parametrize("args, name", [
    ((2330, "Buy", 600, 1, "Stock"), "code"),
    (("2330", "Buy", 600, 1.0, "Stock"), "quantity"),
    (("2330", "Buy", 600, True, "Stock"), "quantity"),
    (("2330", "Buy", "600", 1, "Stock"), "price"),
    (("2330", None, 600, 1, "Stock"), "action"),
])
def test_cost_type_errors_name_the_argument(account, args, name):
    with pytest.raises(TypeError, match=name):
        cost(account, *args)


@pytest.mark.parametrize("code, price, expected", [
    ("0050", 120.0, (120.0, 0.05)),
    ("2330", 120.0, (120.0, 0.5)),
    ("0050", 1000.0, (1000, 5)),
    ("2330", 700.2, (701, 1)),
    ("2330", 49.99, (50.0, 0.05)),
    ("2330", 9.991, (10.0, 0.01)),
])
def test_ceil_price_by_tick(account, code, price, expected):
    result = ceil(account, code, price)
    assert result == expected
    assert [type(x) for x in result] == [type(x) for x in expected]


@pytest.mark.parametrize("code, price, count, direction, expected", [
    ("0050", 120.0, 1, "up", 120.05),
    ("2330", 120.0, 1, "up", 120.5),
    ("2330", 50.0, 1, "down", 49.9),
    ("2330", 10.013, 0, "up", 10.013),
    ("2330", 10.013, -1, "down", 10.013),
    ("2330", 600, 2, "sideways", 598.0),
    ("2330", 10.05, 1, "up", 10.1),   # no tick skipped although 10.05 + 0.05 > 10.1 in binary
    ("2330", 0.07, 1, "down", 0.06),  # nor stalled below
])
def test_slippage_price(account, code, price, count, direction, expected):
    result = slip(account, code, price, count, direction)
    assert result == expected and type(result) is float


@pytest.mark.parametrize("call, name", [
    (lambda a: slip(a, 2330, 10.0, 1, "up"), "code"),
    (lambda a: slip(a, "2330", 10.0, 1.0, "up"), "tick_count"),
    (lambda a: ceil(a, None, 10.0), "code"),
    (lambda a: a._Positions__apply_future_contract_value(1), "code"),
])
def test_private_helpers_check_types(account, call, name):
    with pytest.raises(TypeError, match=name):
        call(account)


@pytest.mark.parametrize("kwargs, name", [
    ({"action": "buy", "tick_count": 10**15}, "tick_count"),
    ({"fee": float("nan")}, "fee"),
    ({"tax": float("inf")}, "tax"),
    ({"fee": -0.001}, "fee"),
    ({"per_trade_cost": -10}, "per_trade_cost"),
])
def test_update_refuses_values_out_of_range_and_changes_nothing(account, kwargs, name):
    before = repr(account.fee_settings)
    with pytest.raises(ValueError, match=name):
        account.update_fee_settings("stock", **kwargs)
    assert repr(account.fee_settings) == before


@pytest.mark.parametrize("key, value, name", [
    ("tick_count", 10**15, "tick_count"), ("fee", float("nan"), "fee"),
])
def test_cost_refuses_settings_edited_out_of_range(account, key, value, name):
    branch = account.fee_settings["stock"]
    (branch["slippage"]["buy"] if key == "tick_count" else branch)[key] = value
    with pytest.raises(ValueError, match=name):
        cost(account, "2330", "Buy", 600.0, 1, "Stock")


@pytest.mark.parametrize("price", [float("nan"), float("inf"), -1.0])
def test_grid_helpers_refuse_prices_off_the_grid(account, price):
    with pytest.raises(ValueError, match="price"):
        ceil(account, "2330", price)
    with pytest.raises(ValueError, match="price"):
        slip(account, "2330", price, 1, "up")
