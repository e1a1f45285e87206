import pytest

from orva_backtest.constant import OrderCond
from orva_backtest.modules.positions.positions import Positions

from account_helpers import fill, tick

NO_TICK = "[red]尚未訂閱回測 Tick, 無法計算回測時的即時庫存損益[/red]"


@pytest.fixture
def account(console):
    return Positions()


def view(account, product_type, detail=False):
    assert account.fetch_positions(product_type, detail) is None
    return account.pop_positions()


@pytest.mark.parametrize("product_type", ["Stock", "Future", "Option"])
@pytest.mark.parametrize("detail", [False, True])
def test_empty_views(account, product_type, detail):
    assert view(account, product_type, detail) == []


@pytest.mark.parametrize("account_type", ["stock", "Options", None])
def test_unknown_account_type(account, account_type):
    with pytest.raises(Exception, match="^不支援的帳戶類型: " + str(account_type) + "$"):
        account.fetch_positions(account_type)
    assert account.fetch_position_queue.empty()


def test_long_stock_views(account):
    account.set_positions(fill("Buy", 2, 600.0, ts=3.0), "Stock")
    account.set_current_tick(tick("2330", 610.0))
    (summary,) = view(account, "Stock")
    assert list(summary.items()) == [
        ("code", "2330"), ("quantity", 2), ("avg_price", 600.0), ("pnl", 20000.0),
        ("cond", OrderCond.CASH), ("margin_purchase_amount", 0), ("collateral", 0),
        ("short_sale_margin", 0), ("interest", 0)]
    assert summary["cond"] is OrderCond.CASH
    (detail,) = view(account, "Stock", detail=True)
    assert list(detail.items()) == [
        ("date", 3.0), ("code", "2330"), ("quantity", 2), ("cost", 600.0), ("pnl", 20000.0),
        ("fee", 0), ("trade_id", "T" * 16), ("margin_purchase_amount", 0), ("collateral", 0)]
    assert view(account, "Future") == []


def test_average_price_is_quantity_weighted(account):
    account.set_positions(fill("Buy", 1, 600.0), "Stock")
    account.set_positions(fill("Buy", 3, 620.0), "Stock")
    account.set_current_tick(tick("2330", 600.0))
    (summary,) = view(account, "Stock")
    assert summary["avg_price"] == 615.0 and summary["quantity"] == 4
    assert summary["pnl"] == -60000.0


@pytest.mark.parametrize("prices", [(100.125,), (10.005, 10.0), (1.0, 2.0, 2.0), (333.333, 100.0)])
def test_average_price_rounds_like_python(account, prices):
    for price in prices:
        account.set_positions(fill("Buy", 1, price), "Stock")
    account.set_current_tick(tick("2330", 1.0))
    (summary,) = view(account, "Stock")
    assert summary["avg_price"] == round(sum(prices) / len(prices), 2)


def test_short_future_views(account):
    account.set_positions(fill("Sell", 1, 17000.0, code="TXFR1", product_type="Future"), "Future")
    account.set_current_tick(tick("TXFR1", 16990.0, market_type="Future"))
    (summary,) = view(account, "Future")
    assert summary == {"code": "TXFR1", "quantity": 1, "avg_price": 17000.0, "pnl": 2000.0}
    (detail,) = view(account, "Future", detail=True)
    assert len(detail) == 7 and detail["pnl"] == 2000.0
    assert view(account, "Stock") == []


def test_views_before_any_tick(account, console):
    account.set_positions(fill("Buy", 1, 600.0), "Stock")
    account.set_positions(fill("Buy", 2, 601.0), "Stock")
    console.lines.clear()
    (summary,) = view(account, "Stock")
    assert summary["pnl"] == 0 and type(summary["pnl"]) is int
    assert console.lines == [NO_TICK, NO_TICK]
    assert account.current_tick_infos == {"2330": None}
    details = view(account, "Stock", detail=True)
    assert [d["pnl"] for d in details] == [0, 0] and len(console.lines) == 4
    latest = tick("2330", 602.0)
    account.set_current_tick(latest)
    assert account.current_tick_infos["2330"] is latest
    assert view(account, "Stock")[0]["pnl"] == 2000.0 + 2000.0


def test_zero_quantity_entries_are_skipped(account):
    account.set_positions(fill("Buy", 1, 600.0), "Stock")
    account.positions["2330"]["buy"][0]["quantity"] = 0
    account.set_current_tick(tick("2330", 610.0))
    assert view(account, "Stock") == [] and view(account, "Stock", detail=True) == []


def test_entries_of_unknown_product_type_fail(account):
    account.set_positions(fill("Buy", 1, 600.0), "Stock")
    account.positions["2330"]["buy"][0]["product_type"] = "Bond"
    with pytest.raises(Exception, match="^不支援的商品類型: Bond$"):
        account.fetch_positions("Stock", True)
    account.set_current_tick(tick("2330", 610.0))
    with pytest.raises(Exception, match="^不支援的商品類型: Bond$"):
        account.fetch_positions("Stock")
    assert account.fetch_position_queue.empty()


def test_set_current_tick_checks_its_argument(account):
    with pytest.raises(TypeError, match="tick"):
        account.set_current_tick(["2330"])
    with pytest.raises(KeyError):
        account.set_current_tick({"close": 1.0})


def test_position_queue_hand_over(account):
    class Rows(list):
        pass

    rows = Rows([1])
    account.add_positions_to_queue(rows)
    account.add_positions_to_queue({})
    assert account.pop_positions() is rows and account.pop_positions() == {}
    with pytest.raises(Exception, match="^不支援的持有部位格式: <class 'int'>$"):
        account.add_positions_to_queue(5)
    with pytest.raises(Exception, match="^不支援的持有部位格式: <class 'tuple'>$"):
        account.add_positions_to_queue((1,))


def test_finish_notice_clears_the_flag(account):
    account.wait_fetch_position_response_flag = True
    account.add_finish_notify_to_queue()
    assert account.pop_finish_notify() is True
    assert account.wait_fetch_position_response_flag is False


@pytest.mark.parametrize("name", ["_Positions__format_position_summary", "_Positions__format_position_detail"])
def test_private_views_check_the_product_type(account, name):
    with pytest.raises(TypeError, match="product_type"):
        getattr(account, name)(None)
