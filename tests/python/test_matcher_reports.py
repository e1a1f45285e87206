import copy
import queue
import threading

import pytest

from orva_backtest.constant import (
    Action, OCType, OperationType, OrderCond, OrderLot, OrderType, PriceType, SuccessCode,
)
from orva_backtest.modules.matcher.matcher import Matcher

from matcher_helpers import FUTURE, STOCK, drain


@pytest.fixture
def matcher(console, logger):
    return Matcher()


def record(matcher, payload):
    matcher.add_order(**payload)
    drain(matcher)
    return matcher.pending_orders[-1]


def fill_of(order, qty=1, price=599.0, ts=1700000001.25):
    fill = copy.deepcopy(order)
    fill.update(quantity=qty, price=price, exchange_ts=ts)
    return fill


def test_stock_order_report(matcher):
    matcher.add_order(**STOCK)
    report = matcher.pop_response()
    tid = matcher.pending_orders[0]["trade_id"]
    assert list(report) == ["operation_type", "operation_status_code", "operation_message",
                            "order", "trade_status"]
    assert report["operation_type"] is OperationType.NEW
    assert report["operation_status_code"] == SuccessCode.CreateOrder.code
    assert report["operation_message"] == SuccessCode.CreateOrder.message
    assert report["order"] == {
        "id": tid, "seqno": tid, "ordno": tid, "account": "BT-00001", "code": "2330",
        "action": Action.BUY, "price": 600.0, "quantity": 5, "order_type": OrderType.ROD,
        "order_cond": OrderCond.CASH, "order_lot": OrderLot.COMMON, "price_type": PriceType.LMT}
    assert list(report["order"])[-4:] == ["order_type", "order_cond", "order_lot", "price_type"]
    assert report["trade_status"] == {"id": tid, "exchange": "ORVA Backtest Exchange",
                                      "exchange_ts": None}


def test_future_order_report(matcher):
    matcher.add_order(**FUTURE)
    order = matcher.pop_response()["order"]
    assert len(order) == 11
    assert list(order)[-3:] == ["order_type", "price_type", "oc_type"]
    assert order["oc_type"] is OCType.AUTO and order["price_type"] is PriceType.MKT


def test_order_report_takes_the_latest_tick_time(matcher):
    order = record(matcher, STOCK)
    matcher.current_tick_infos["2330"] = {"ts": 1700000009.0, "tick": None}
    report = matcher.build_order_response(order, OperationType.CANCEL, SuccessCode.OrderBeCancel)
    assert report["trade_status"]["exchange_ts"] == 1700000009.0
    assert order["exchange_ts"] is None
    matcher.current_tick_infos["2330"]["ts"] = None
    assert matcher.build_order_response(order, OperationType.CANCEL,
                                        SuccessCode.OrderBeCancel)["trade_status"]["exchange_ts"] is None


def test_stock_deal_report(matcher):
    order = record(matcher, STOCK)
    deal = matcher.build_deal_response(fill_of(order))
    tid = order["trade_id"]
    assert deal == {"id": tid, "seqno": tid, "ordno": tid, "exchange_seqno": tid,
                    "broker_id": "ORVA Backtest Exchange", "account": "BT-00001",
                    "action": Action.BUY, "code": "2330", "quantity": 1, "price": 599.0,
                    "order_cond": OrderCond.CASH, "order_lot": OrderLot.COMMON,
                    "exchange_ts": 1700000001.25, "trade_id": tid}
    assert list(deal)[9:] == ["price", "order_cond", "order_lot", "exchange_ts", "trade_id"]


def test_future_deal_report(matcher):
    order = record(matcher, FUTURE)
    deal = matcher.build_deal_response(fill_of(order, qty=2, price=16990.0))
    assert len(deal) == 12 and list(deal)[-3:] == ["price", "exchange_ts", "trade_id"]
    assert deal["trade_id"] == deal["id"] == order["trade_id"]
    assert deal["quantity"] == 2 and deal["price"] == 16990.0


@pytest.mark.parametrize("build", [
    lambda m, o: m.build_order_response(o, OperationType.NEW, SuccessCode.CreateOrder),
    lambda m, o: m.build_deal_response(o),
])
def test_builders_refuse_other_products(matcher, build):
    order = dict(record(matcher, STOCK), product_type="Bond")
    with pytest.raises(Exception) as err:
        build(matcher, order)
    assert str(err.value) == "不支援的商品類型: Bond"
    assert matcher.response_queue.empty()


@pytest.mark.parametrize("missing", ["trade_id", "code", "order_lot", "price_type"])
def test_builders_raise_key_error_for_missing_keys(matcher, missing):
    order = record(matcher, STOCK)
    del order[missing]
    with pytest.raises(KeyError):
        matcher.build_order_response(order, OperationType.NEW, SuccessCode.CreateOrder)


@pytest.mark.parametrize("name", [
    "get_simulation_stock_order_response", "get_simulation_future_order_response",
    "get_simulation_stock_deal_response", "get_simulation_future_deal_response",
])
def test_formatters_refuse_non_dicts(matcher, name):
    with pytest.raises(TypeError, match="data"):
        getattr(matcher, name)([("code", "2330")])


def test_formatter_converts_texts_with_from_value(matcher):
    data = {"operation_type": "UpdatePrice", "operation_code": "00", "operation_message": "ok",
            "trade_id": "x" * 16, "account_id": "BT-00001", "code": "2330", "action": "Buy",
            "price": 1.0, "quantity": 1, "price_type": "LMT", "order_type": "IOC",
            "exchange_ts": None, "order_cond": "Cash", "order_lot": "Odd"}
    report = matcher.get_simulation_stock_order_response(data)
    assert report["operation_type"] is OperationType.UPDATE_PRICE
    assert report["order"]["order_type"] is OrderType.IOC and report["order"]["order_lot"] is OrderLot.ODD
    with pytest.raises(ValueError):
        matcher.get_simulation_stock_order_response(dict(data, order_cond="Loan"))


def test_queue_is_first_in_first_out(matcher):
    for n in range(5):
        matcher.add_response_to_queue({"n": n})
    assert [matcher.pop_response()["n"] for _ in range(5)] == list(range(5))


@pytest.mark.parametrize("maxsize, takes", [(0, 0), (5, 3)])
def test_waiting_reports_leave_an_unbounded_queue_without_its_locks(matcher, monkeypatch, maxsize, takes):
    # get() locks twice and wakes producers; only a bounded queue's producers ever wait.
    matcher.response_queue = queue.Queue(maxsize)
    calls = []
    get = queue.Queue.get
    monkeypatch.setattr(queue.Queue, "get", lambda q, *a, **kw: calls.append(1) or get(q, *a, **kw))
    for n in range(3):
        matcher.add_response_to_queue({"n": n})
    assert [matcher.pop_response()["n"] for _ in range(3)] == [0, 1, 2]
    assert len(calls) == takes and matcher.response_queue.empty()


class CountingQueue(queue.Queue):
    """A queue of the host's own: its put() is its own code, so it is always asked."""


@pytest.mark.parametrize("make, puts", [(queue.Queue, 0), (lambda: queue.Queue(5), 3),
                                        (CountingQueue, 3)])
def test_reports_enter_an_unbounded_queue_without_its_put(matcher, monkeypatch, make, puts):
    # put() takes a condition, counts the task and notifies in Python: more than the report.
    matcher.response_queue = make()
    calls = []
    put = queue.Queue.put
    monkeypatch.setattr(queue.Queue, "put", lambda q, *a, **kw: calls.append(1) or put(q, *a, **kw))
    matcher.add_order(**STOCK)
    for n in range(2):
        matcher.add_response_to_queue({"n": n})
    assert len(calls) == puts
    assert matcher.response_queue.unfinished_tasks == 3  # join() waits for all of them
    assert [r.get("n") for r in drain(matcher)] == [None, 0, 1]


def test_a_report_wakes_a_get_waiting_on_another_thread(matcher):
    reports = matcher.response_queue
    got = []
    waiter = threading.Thread(target=lambda: got.append(reports.get(timeout=60)))
    waiter.start()
    for _ in range(60_000):  # until it sleeps on the queue; a wide safety net
        if reports.not_empty._waiters:
            break
        threading.Event().wait(0.001)
    assert reports.not_empty._waiters
    matcher.add_response_to_queue({"late": True})
    waiter.join(60)
    assert got == [{"late": True}] and reports.empty()


def test_pop_response_waits_for_a_report(matcher):
    timer = threading.Timer(0.05, matcher.add_response_to_queue, args=({"late": True},))
    timer.start()
    assert matcher.pop_response() == {"late": True}


def test_queue_refuses_non_dicts(matcher):
    with pytest.raises(TypeError, match="response"):
        matcher.add_response_to_queue(["x"])
    matcher.response_queue.put("stray")
    with pytest.raises(TypeError, match="response"):
        matcher.pop_response()


def test_private_tick_info(matcher):
    assert matcher._Matcher__init_current_tick_info("2330") == {"ts": None, "tick": None}
    with pytest.raises(TypeError, match="code"):
        matcher._Matcher__init_current_tick_info(2330)
