import random

import pytest

from orva_backtest.constant import OperationType
from orva_backtest.modules.matcher.matcher import Matcher
from orva_backtest.modules.positions.positions import Positions

from account_helpers import tick
from matcher_helpers import FUTURE, STOCK, drain, settle


@pytest.fixture
def matcher(console, logger):
    return Matcher()


def order(matcher, **changes):
    matcher.add_order(**{**STOCK, **changes})
    drain(matcher)
    return matcher.pending_orders[-1]


def play(matcher, close, qty, ts=100.0, code="2330"):
    """Records the tick, matches it, and returns the reports it produced."""
    matcher.set_current_tick(tick(code, close, ts=ts, qty=qty))
    matcher.match_deal(code, close, qty, ts)
    return drain(matcher)


def kinds(reports):
    return ["deal" if "seqno" in r and "order" not in r else r["operation_type"].value
            for r in reports]


@pytest.mark.parametrize("order_type, close, volume, deal, cancel, left", [
    ("ROD", 101.0, 9, None, None, 5),
    ("ROD", 99.0, 9, 5, None, None),
    ("ROD", 100.0, 3, 3, None, 2),
    ("IOC", 101.0, 9, None, 5, None),
    ("IOC", 99.0, 9, 5, None, None),
    ("IOC", 99.0, 3, 3, 2, None),
    ("FOK", 101.0, 9, None, 5, None),
    ("FOK", 99.0, 5, 5, None, None),
    ("FOK", 99.0, 4, None, 5, None),
])
def test_outcome_table(matcher, order_type, close, volume, deal, cancel, left):
    record = order(matcher, price=100.0, order_type=order_type)
    reports = play(matcher, close, volume)
    deals = [r for r in reports if "exchange_seqno" in r]
    cancels = [r for r in reports if r.get("operation_type") is OperationType.CANCEL]
    assert [d["quantity"] for d in deals] == ([deal] if deal else [])
    assert all(d["price"] == close for d in deals)
    assert [c["order"]["quantity"] for c in cancels] == ([cancel] if cancel else [])
    assert [o["quantity"] for o in matcher.pending_orders] == ([left] if left else [])
    statuses = [(t["trade_status"], t["quantity"]) for t in matcher.positions.trade_records]
    assert statuses == ([("Deal", deal)] if deal else []) + ([("Cancel", cancel)] if cancel else [])
    assert record["price"] == 100.0


@pytest.mark.parametrize("action, close, fills", [
    ("Buy", 100.0, True), ("Buy", 99.0, True), ("Buy", 101.0, False),
    ("Sell", 101.0, True), ("Sell", 100.0, True), ("Sell", 99.0, False),
])
def test_limit_price_boundaries(matcher, action, close, fills):
    order(matcher, action=action, price=100.0)
    deals = [r for r in play(matcher, close, 10) if "exchange_seqno" in r]
    assert bool(deals) == fills
    if fills:
        assert deals[0]["price"] == close


@pytest.mark.parametrize("price_type", ["MKT", "MKP"])
def test_non_limit_orders_fill_at_the_tick_price(matcher, price_type):
    order(matcher, price=1.0, price_type=price_type)
    (deal,) = play(matcher, 612.0, 10)
    assert deal["price"] == 612.0 and deal["quantity"] == 5


def test_rod_fills_across_ticks(matcher):
    record = order(matcher, price=100.0)
    play(matcher, 100.0, 3)
    assert record["quantity"] == 2 and matcher.pending_orders == [record]
    (deal,) = play(matcher, 99.0, 10, ts=101.0)
    assert deal["quantity"] == 2 and deal["exchange_ts"] == 101.0
    assert matcher.pending_orders == []
    assert [e["quantity"] for e in matcher.positions.positions["2330"]["buy"]] == [3, 2]


def test_orders_share_the_tick_volume_in_arrival_order(matcher):
    first = order(matcher, qty=3, price=100.0)
    second = order(matcher, qty=3, price=100.0)
    deals = play(matcher, 100.0, 4)
    assert [(d["id"], d["quantity"]) for d in deals] == [(first["trade_id"], 3), (second["trade_id"], 1)]
    assert matcher.pending_orders == [second] and second["quantity"] == 2


def test_one_pass_fills_every_order_it_removes(matcher):
    for _ in range(3):
        order(matcher, qty=1, price=100.0)
    assert len(play(matcher, 100.0, 10)) == 3 and matcher.pending_orders == []


@pytest.mark.parametrize("code, volume", [("2317", 10), ("2330", 0)])
def test_other_codes_and_empty_ticks_change_nothing(matcher, code, volume):
    record = order(matcher, order_type="IOC")
    assert play(matcher, 100.0, volume, code=code) == []
    assert matcher.pending_orders == [record] and matcher.positions.trade_records == []


def test_ioc_deal_is_reported_before_its_rest_is_cancelled(matcher):
    record = order(matcher, order_type="IOC", price=100.0)
    reports = play(matcher, 100.0, 3, ts=7.0)
    assert kinds(reports) == ["deal", "Cancel"]
    cancel = reports[1]
    assert cancel["order"]["quantity"] == 2 and cancel["order"]["price"] == 100.0
    assert cancel["trade_status"]["exchange_ts"] == 7.0
    assert [t["trade_status"] for t in matcher.positions.trade_records] == ["Deal", "Cancel"]
    assert record["quantity"] == 5  # the record itself is not lowered


def test_fok_lowers_the_tick_volume_for_later_orders(matcher):
    order(matcher, order_type="FOK", qty=5, price=100.0)
    later = order(matcher, qty=5, price=100.0)
    reports = play(matcher, 100.0, 7)
    assert [r["quantity"] for r in reports] == [5, 2] and later["quantity"] == 3


def test_fill_record_is_a_copy_with_the_fills_numbers(matcher):
    record = order(matcher, price=100.0)
    play(matcher, 99.0, 2, ts=55.5)
    (entry,) = matcher.positions.positions["2330"]["buy"]
    assert entry["quantity"] == 2 and entry["price"] == 99.0 and entry["exchange_ts"] == 55.5
    assert entry["trade_id"] == record["trade_id"] and entry is not record
    assert record["price"] == 100.0 and record["quantity"] == 3


def test_orders_modified_to_nothing_never_fill(matcher):
    record = order(matcher, price=100.0)
    matcher.modify_order(record["trade_id"], 5)
    drain(matcher)
    assert play(matcher, 101.0, 10) == [] and matcher.pending_orders == [record]
    assert play(matcher, 100.0, 10) == [] and matcher.pending_orders == []
    assert matcher.positions.trade_records == [] and matcher.positions.positions == {}
    assert matcher.positions.current_capital == 100000


def test_exchange_cancel_of_an_unrecorded_tick_takes_the_tick_time(matcher):
    order(matcher, order_type="IOC", price=100.0)
    matcher.match_deal("2330", 101.0, 5, 42.0)  # no set_current_tick first
    (cancel,) = drain(matcher)
    assert cancel["trade_status"]["exchange_ts"] is None
    (record,) = matcher.positions.trade_records
    assert record["trade_status"] == "Cancel" and record["quantity"] == 5
    assert record["dt"].endswith(":42.000000")


def test_cancel_of_an_unknown_product_ends_the_pass(matcher):
    record = order(matcher, order_type="IOC", price=100.0)
    record["product_type"] = "Bond"
    with pytest.raises(Exception, match="^不支援的商品類型$"):
        play(matcher, 101.0, 5)
    assert matcher.pending_orders == [record]


@pytest.mark.parametrize("args, name", [
    ((2330, 1.0, 1, 1.0), "code"), (("2330", "1", 1, 1.0), "tick_close"),
    (("2330", 1.0, 1.0, 1.0), "tick_qty"), (("2330", 1.0, None, 1.0), "tick_qty"),
])
def test_match_deal_checks_types_first(matcher, args, name):
    record = order(matcher, order_type="IOC")
    with pytest.raises(TypeError, match=name):
        matcher.match_deal(*args)
    assert matcher.pending_orders == [record]


def test_current_tick_infos_and_the_account(matcher):
    first = tick("2330", 600.0, ts=1.0)
    matcher.set_current_tick(first)
    assert matcher.current_tick_infos == {"2330": {"ts": 1.0, "tick": first}}
    assert matcher.positions.current_tick_infos["2330"] is first
    later = tick("2330", 601.0, ts=2.0)
    matcher.set_current_tick(later)
    assert matcher.current_tick_infos["2330"] == {"ts": 2.0, "tick": later}
    matcher.add_order(**STOCK)
    assert matcher.pending_orders[-1]["exchange_ts"] == 2.0
    matcher.reset_tick_infos()
    assert matcher.current_tick_infos == {} and matcher.positions.current_tick_infos["2330"] is later
    with pytest.raises(KeyError):
        matcher.set_current_tick({"code": "2330"})
    assert matcher.current_tick_infos["2330"]["tick"] == {"code": "2330"}
    with pytest.raises(TypeError, match="tick"):
        matcher.set_current_tick(None)


def test_host_changes_to_the_book_are_followed(matcher):
    kept = order(matcher, price=100.0)
    dropped = order(matcher, price=100.0)
    matcher.pending_orders.remove(dropped)
    (deal,) = play(matcher, 100.0, 10)
    assert deal["id"] == kept["trade_id"]
    replacement = dict(dropped)
    matcher.pending_orders = [replacement]
    (deal,) = play(matcher, 100.0, 10)
    assert deal["id"] == replacement["trade_id"] and matcher.pending_orders == []


def test_end_to_end_through_the_intake_queue(console, logger):
    rng = random.Random(7)
    matcher = Matcher()
    account = matcher.positions
    account.set_initial_capital(10_000_000)
    # Without costs or slippage the cash must equal capital + realised profit − open entries' cost.
    for setting_type in ("stock", "future"):
        account.update_fee_settings(setting_type, fee=0.0, tax=0.0, per_trade_cost=0)
        for side in ("buy", "sell"):
            account.update_fee_settings(setting_type, action=side, tick_count=0)
    deals, price = [], {"2330": 600.0, "TXFR1": 17000.0}
    for i in range(400):
        code = "2330" if i % 2 else "TXFR1"
        price[code] += rng.choice([-1, 0, 1]) * (1.0 if code == "2330" else 5.0)
        if i % 7 == 0:
            base = STOCK if code == "2330" else FUTURE
            matcher.add_pending_order_queue("add", {
                **base, "action": rng.choice(["Buy", "Sell"]), "price": price[code],
                "qty": rng.randint(1, 4), "order_type": rng.choice(["ROD", "IOC", "FOK"]),
                "price_type": "LMT"})
            settle(matcher)
        t = tick(code, price[code], ts=1700000000.0 + i, qty=rng.randint(0, 5))
        matcher.set_current_tick(t)
        matcher.match_deal(t["code"], t["close"], t["qty"], t["timestamp"])
        deals += [r for r in drain(matcher) if "exchange_seqno" in r]
    assert deals
    signed = {}
    for d in deals:
        signed[d["code"]] = signed.get(d["code"], 0) + (d["quantity"] if d["action"] == "Buy" else -d["quantity"])
    for code, book in account.positions.items():
        held = sum(e["quantity"] for e in book["buy"]) - sum(e["quantity"] for e in book["sell"])
        assert held == signed.get(code, 0)
    deal_records = [t for t in account.trade_records if t["trade_status"] == "Deal"]
    assert [(t["trade_id"], t["quantity"], t["price"]) for t in deal_records] == \
        [(d["id"], d["quantity"], d["price"]) for d in deals]
    rows = account._profit_report["rows"]
    assert sum(r["profit"] for r in rows) == pytest.approx(account._profit_report["profit"])
    units = {"2330": 1000, "TXFR1": 200}
    tied_up = sum(e["price"] * e["quantity"] * units[code]
                  for code, book in account.positions.items() for e in book["buy"] + book["sell"])
    assert account.current_capital == pytest.approx(
        10_000_000 + account._profit_report["profit"] - tied_up, abs=1e-6)


@pytest.mark.parametrize("close, qty, ts, name", [
    (99.0, 9, float("nan"), "tick_ts"),
    (99.0, 9, 1.7e18, "tick_ts"),
    (float("nan"), 9, 100.0, "tick_close"),
    (float("inf"), 9, 100.0, "tick_close"),
    (-99.0, 9, 100.0, "tick_close"),
    (99.0, -5, 100.0, "tick_qty"),
])
def test_bad_ticks_leave_the_book_untouched(matcher, close, qty, ts, name):
    placed = [order(matcher, order_type=kind, price=100.0) for kind in ("ROD", "IOC")]
    with pytest.raises(ValueError, match=name):
        matcher.match_deal("2330", close, qty, ts)
    assert matcher.pending_orders == placed and [o["quantity"] for o in placed] == [5, 5]
    assert drain(matcher) == [] and matcher.positions.trade_records == []


def test_the_book_follows_host_edits_of_the_same_length(matcher):
    first, second = order(matcher, price=100.0), order(matcher, price=100.0)
    play(matcher, 101.0, 1)  # the index has seen both
    matcher.pending_orders.pop(0)  # withdraw the first and put another in its place
    third = dict(first, trade_id="Z" * 16)
    matcher.pending_orders.append(third)
    reports = play(matcher, 99.0, 5)
    assert [r["id"] for r in reports if "seqno" in r] == [second["trade_id"]]
    assert matcher.pending_orders == [third] and first["quantity"] == 5
    newest = order(matcher, price=100.0)
    matcher.pending_orders.reverse()  # list order is fill order
    reports = play(matcher, 99.0, 5)
    assert [r["id"] for r in reports if "seqno" in r] == [newest["trade_id"]]


class BookingAccount(Positions):
    """An account whose own booking notes each call before doing it."""

    def __init__(self):
        super().__init__()
        self.calls = []

    def add_trade_record(self, *args, **kwargs):
        self.calls.append(("add_trade_record", kwargs["trade_status"]))
        super().add_trade_record(*args, **kwargs)

    def set_positions(self, trade, product_type):
        self.calls.append(("set_positions", trade["quantity"]))
        super().set_positions(trade, product_type)


@pytest.mark.parametrize("account", [Positions, BookingAccount])
def test_a_fill_and_a_cancel_are_booked_alike_into_an_account_and_a_subclass(console, logger, account):
    matcher = Matcher(account())
    order(matcher, order_type="IOC", qty=5)
    reports = play(matcher, 99.0, 3)
    assert kinds(reports) == ["deal", "Cancel"]
    book = matcher.positions
    assert [(r["action"], r["quantity"], r["trade_status"]) for r in book.trade_records] == [
        ("Buy", 3, "Deal"), ("Buy", 2, "Cancel")]
    assert book.net_quantity("2330") == 3 and book.positions["2330"]["buy"][0]["price"] == 99.0
    if account is BookingAccount:  # a subclass's methods are its own
        assert book.calls == [("add_trade_record", "Deal"), ("set_positions", 3),
                              ("add_trade_record", "Cancel")]
