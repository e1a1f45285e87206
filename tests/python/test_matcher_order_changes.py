import pytest

from orva_backtest.constant import OperationType
from orva_backtest.modules.matcher.matcher import Matcher

from matcher_helpers import add, drain


@pytest.fixture
def matcher(console, logger):
    return Matcher()


@pytest.fixture
def order(matcher, console):
    record = add(matcher)  # 5 units at 600.0
    drain(matcher)
    console.lines.clear()
    return record


def test_lowering_the_quantity(matcher, order, console):
    tid = order["trade_id"]
    matcher.modify_order(tid, 2)
    assert order["quantity"] == 3
    (report,) = drain(matcher)
    assert report["operation_type"] is OperationType.UPDATE_QTY and report["order"]["quantity"] == 3
    assert console.lines == [f"[green]修改委託單 {tid} 數量成功, 修改數量 2[/green]"]
    with pytest.raises(Exception, match="^修改的數量 4 大於原本的數量 3$"):
        matcher.modify_order(tid, 4)
    assert order["quantity"] == 3 and matcher.response_queue.empty()


def test_taking_off_everything_leaves_the_order_at_zero(matcher, order):
    matcher.modify_order(order["trade_id"], qty=5)
    assert matcher.pending_orders == [order] and order["quantity"] == 0


def test_quantity_and_price_in_one_call(matcher, order, console):
    tid = order["trade_id"]
    matcher.modify_order(tid, 1, 101.0)
    first, second = drain(matcher)
    assert first["operation_type"] is OperationType.UPDATE_QTY and first["order"]["quantity"] == 4
    assert second["operation_type"] is OperationType.UPDATE_PRICE and second["order"]["price"] == 101.0
    assert console.lines == [f"[green]修改委託單 {tid} 數量成功, 修改數量 1[/green]",
                             f"[green]修改委託單 {tid} 價格成功, 修改價格 101.0[/green]"]
    assert order["price"] == 101.0


@pytest.mark.parametrize("qty, price", [(None, None), (0, None), (None, 0.0), (0, 0.0)])
def test_nothing_to_change(matcher, order, qty, price):
    with pytest.raises(Exception) as err:
        matcher.modify_order(order["trade_id"], qty, price)
    assert str(err.value) == "請至少提供數量或價格來修改委託單 " + order["trade_id"]
    assert order["quantity"] == 5 and order["price"] == 600.0


@pytest.mark.parametrize("price", [-1.0, float("nan"), float("inf")])
def test_bad_price_fails_before_the_quantity_change(matcher, order, price):
    with pytest.raises(Exception, match=rf"^修改的價格 {price} 必須大於 0$"):
        matcher.modify_order(order["trade_id"], 1, price)
    assert order["quantity"] == 5 and order["price"] == 600.0 and matcher.response_queue.empty()


def test_oversized_quantity_names_the_argument(matcher, order):
    with pytest.raises(ValueError, match="qty"):
        matcher.modify_order(order["trade_id"], 2**70)
    assert order["quantity"] == 5


def test_negative_quantity_is_refused(matcher, order):
    with pytest.raises(Exception, match="^修改的數量 -2 必須大於 0$"):
        matcher.modify_order(order["trade_id"], -2, 610.0)
    assert order["quantity"] == 5 and order["price"] == 600.0 and matcher.response_queue.empty()


@pytest.mark.parametrize("args, name", [
    ((1,), "trade_id"), (("x", 1.0), "qty"), (("x", True), "qty"), (("x", None, 101), "price"),
])
def test_modify_checks_types(matcher, order, args, name):
    with pytest.raises(TypeError, match=name):
        matcher.modify_order(*args)
    assert order["quantity"] == 5


def test_unknown_ids_print_not_found(matcher, order, console):
    matcher.modify_order("nope", 1)
    matcher.cancel_order("nope")
    assert console.lines == ["[red]委託單 nope 不存在[/red]"] * 2
    assert order["quantity"] == 5 and matcher.response_queue.empty()


def test_cancel_reports_the_open_quantity_once(matcher, order, console):
    tid = order["trade_id"]
    matcher.modify_order(tid, 2)
    drain(matcher)
    console.lines.clear()
    matcher.cancel_order(tid)
    (report,) = drain(matcher)
    assert report["operation_type"] is OperationType.CANCEL and report["order"]["quantity"] == 3
    assert matcher.pending_orders == []
    matcher.cancel_order(tid)
    assert console.lines == [f"[green]取消委託單 {tid} 成功[/green]", f"[red]委託單 {tid} 不存在[/red]"]


def test_cancel_finds_the_first_match_only(matcher, order):
    twin = add(matcher, qty=1)
    twin["trade_id"] = order["trade_id"]
    matcher.cancel_order(order["trade_id"])
    assert matcher.pending_orders == [twin]


def test_cancel_whose_report_fails_still_removes(matcher, order, console):
    del order["order_lot"]
    matcher.cancel_order(order["trade_id"])
    assert matcher.pending_orders == [] and console.lines == ["[red]'order_lot'[/red]"]
    with pytest.raises(TypeError, match="trade_id"):
        matcher.cancel_order(None)
