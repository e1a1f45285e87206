import copy
import random
import time
from datetime import datetime

import pytest

from orva_backtest.modules.positions.positions import Positions

from account_helpers import fill


@pytest.fixture
def account(console):
    a = Positions()
    a.set_initial_capital(1000000)
    return a


def cost_line(colour, record, side, prefix=""):
    return f"[{colour}]{prefix}{record}, 沖銷部位方向: {side}[/{colour}]"


def test_long_open_then_cover(account, console):
    opening = fill("Buy", 1, 600.0, ts=1.0)
    before = copy.deepcopy(opening)
    account.set_positions(opening, "Stock")
    assert opening == before
    assert account.current_capital == 396130.725
    assert account._account_infos["2330"]["entry_times"] == 1
    (entry,) = account.positions["2330"]["buy"]
    assert entry == opening and entry is not opening
    assert console.lines == [
        "[bold pink1][做多進場]本金: 1000000, 應付金額: 603000.0, 進場成本: 869.275[/bold pink1]",
        "[bold red][回測] 進場 2330 1 張, 價格: 600.0, 手續費: 859.275, 交易稅: 0, 固定成本: 10[/bold red]",
    ]
    console.lines.clear()

    account.set_positions(fill("Sell", 1, 610.0, ts=2.0), "Stock")
    assert account.current_capital == 1000000 + 434.75  # flat: capital plus the profit
    assert account.positions["2330"] == {"buy": [], "sell": []}
    assert account._account_infos["2330"] == {
        "entry_times": 1, "cover_times": 1, "receive_amount": 607000.0, "payable_amount": 603000.0,
        "net_profit": 4000.0, "extra_fee": 3565.25, "profit": 434.75}
    assert account._profit_report["profit"] == 434.75
    (row,) = account._profit_report["rows"]
    assert row == {
        "code": "2330", "entry_dt": 1.0, "entry_price": 603.0, "entry_origin_price": 600.0,
        "exit_dt": 2.0, "exit_price": 607.0, "exit_origin_price": 610.0, "qty": 1, "min_qty": 1000,
        "trade_cost": 869.275, "cover_cost": 2695.975, "profit": 434.75,
        "profit_ratio": 434.75 / 603869.275}
    assert list(row) == ["code", "entry_dt", "entry_price", "entry_origin_price", "exit_dt",
                         "exit_price", "exit_origin_price", "qty", "min_qty", "trade_cost",
                         "cover_cost", "profit", "profit_ratio"]
    assert console.lines == [
        cost_line("blue", {"fee": 864.975, "tax": 1821.0, "fixed_cost": 10, "qty": 1,
                           "min_qty": 1000, "price": 607.0, "origin_price": 610.0}, "Sell"),
        cost_line("yellow", {"fee": 859.275, "tax": 0, "fixed_cost": 10, "qty": 1,
                             "min_qty": 1000, "price": 603.0, "origin_price": 600.0}, "Buy",
                  "被沖銷的成本資訊: "),
        "[bold yellow][做多沖銷]本金: 396130.725, 應收金額: 607000.0, 沖銷成本: 2695.975[/bold yellow]",
        "[bold red][回測] 沖銷 2330 1 張, 損益: 434.75 [/bold red]",
    ]


def test_short_open_then_partial_cover(account, console):
    account.set_positions(fill("Sell", 2, 600.0), "Stock")
    assert account.current_capital == 1000000 - (1194000.0 + 1701.45 + 10)  # priced as covered: 597
    assert console.lines[1].endswith("固定成本: 10 [/bold red]")
    balance = account.current_capital
    console.lines.clear()
    account.set_positions(fill("Buy", 1, 590.0), "Stock")
    assert account._profit_report["profit"] == 505.25
    # Half the entry's charge (its fixed cost kept back while 1 lot stays open) plus the profit.
    assert account.current_capital == pytest.approx(balance + 597000.0 + 850.725 + 505.25)
    assert [e["quantity"] for e in account.positions["2330"]["sell"]] == [1]
    assert console.lines[-2].startswith("[bold yellow][做空沖銷]本金: ")
    assert console.lines[-1] == "[bold red][回測] 沖銷 2330 1 張, 損益: 505.25[/bold red]"


def test_covers_oldest_entries_first(account):
    for qty in (1, 2, 3):
        account.set_positions(fill("Buy", qty, 100.0), "Stock")
    account.set_positions(fill("Sell", 4, 101.0), "Stock")
    assert [r["qty"] for r in account._profit_report["rows"]] == [1, 2, 1]
    assert [e["quantity"] for e in account.positions["2330"]["buy"]] == [2]
    info = account._account_infos["2330"]
    assert (info["entry_times"], info["cover_times"]) == (3, 1)


def test_calculate_profit_reports_the_uncovered_rest(account):
    account.set_positions(fill("Buy", 2, 100.0), "Stock")
    result = account._Positions__calculate_profit(fill("Sell", 5, 101.0), "Stock")
    assert list(result) == ["receivable_total", "payable_total", "origin_profit", "cover_cost_total",
                            "trade_cost_total", "cost", "profit", "is_covered", "un_cover_qty"]
    assert result["is_covered"] is False and result["un_cover_qty"] == 3
    assert account.positions["2330"]["buy"] == []
    assert result["cost"] == result["cover_cost_total"] + result["trade_cost_total"]


def test_fill_larger_than_the_opposite_side_opens_the_rest(account, console):
    account.set_positions(fill("Buy", 2, 100.0), "Stock")
    console.lines.clear()
    account.set_positions(fill("Sell", 5, 101.0, ts=5.0), "Stock")
    (short,) = account.positions["2330"]["sell"]
    assert short["quantity"] == 3 and short["price"] == 101.0 and short["exchange_ts"] == 5.0
    assert account.positions["2330"]["buy"] == []
    info = account._account_infos["2330"]
    assert (info["entry_times"], info["cover_times"]) == (2, 1)
    assert sum(r["qty"] for r in account._profit_report["rows"]) == 2
    assert [line.split("]")[1] for line in console.lines[-4:]] == [
        "[做多沖銷", "[回測", "[做空進場", "[回測"]
    assert " 沖銷 2330 2 張" in console.lines[-3] and " 進場 2330 3 張" in console.lines[-1]
    # The rest is charged exactly like an opening sell of 3 after the cover.
    reference = Positions()
    reference.set_initial_capital(1000000)
    reference.set_positions(fill("Buy", 2, 100.0), "Stock")
    reference.set_positions(fill("Sell", 2, 101.0, ts=5.0), "Stock")
    reference.set_positions(fill("Sell", 3, 101.0, ts=5.0), "Stock")
    assert account.current_capital == reference.current_capital


def test_futures_unit_word_and_first_product_type_wins(account, console):
    account.set_positions(fill("Buy", 1, 17000.0, code="TXFR1", product_type="Future"), "Future")
    assert " 1 口, " in console.lines[-1]
    account.set_positions(fill("Buy", 1, 17000.0, code="TXFR1", product_type="Future"), "Stock")
    assert " 1 張, " in console.lines[-1]
    assert account.product_type_mapper == {"TXFR1": "Future"}


def test_unsupported_product_type_changes_no_money(account):
    with pytest.raises(Exception, match="^不支援的商品類型: Bond$"):
        account.set_positions(fill("Buy", 1, 100.0), "Bond")
    assert account.positions == {"2330": {"buy": [], "sell": []}}
    assert account._account_infos["2330"]["entry_times"] == 1
    assert account.current_capital == 1000000


@pytest.mark.parametrize("missing", ["code", "action", "price", "quantity"])
def test_missing_fill_keys(account, missing):
    trade = fill("Buy", 1, 100.0)
    del trade[missing]
    with pytest.raises(KeyError):
        account.set_positions(trade, "Stock")


def test_set_positions_refuses_non_dicts(account):
    with pytest.raises(TypeError, match="trade"):
        account.set_positions([("code", "2330")], "Stock")
    with pytest.raises(TypeError, match="cover_position"):
        account._Positions__calculate_profit(None, "Stock")


def test_entries_with_mutable_values_are_deep_copied(account):
    trade = dict(fill("Buy", 1, 100.0), tags=["a"])
    account.set_positions(trade, "Stock")
    trade["tags"].append("b")
    assert account.positions["2330"]["buy"][0]["tags"] == ["a"]


@pytest.fixture
def zone(monkeypatch):
    def set_zone(name):
        monkeypatch.setenv("TZ", name)
        time.tzset()
    yield set_zone
    monkeypatch.undo()
    time.tzset()


@pytest.mark.parametrize("name", ["UTC", "Asia/Taipei", "America/New_York"])
@pytest.mark.parametrize("ts", [0.5, 1700000000.123456, 1699999999.9999996, -1.25, 1e9 + 0.0000005])
def test_trade_record_time_follows_the_local_zone(account, zone, name, ts):
    zone(name)
    account.add_trade_record(trade_id="x" * 16, code="2330", action="Buy", quantity=1, price=600,
                             timestamp=ts, trade_status="Deal")
    (record,) = account.trade_records
    assert record == {"trade_id": "x" * 16, "code": "2330", "action": "Buy", "quantity": 1,
                      "price": 600.0, "dt": datetime.fromtimestamp(ts).strftime("%Y-%m-%d %H:%M:%S.%f"),
                      "trade_status": "Deal"}
    assert type(record["price"]) is float


def test_trade_record_at_half_a_second_in_utc(account, zone):
    zone("UTC")
    record = account._Positions__make_trade_record("x", "2330", "Sell", 2, 1.5, 0.5, "Cancel")
    assert record["dt"] == "1970-01-01 00:00:00.500000"
    assert account.trade_records == []


@pytest.mark.parametrize("changes, error, name", [
    ({"trade_id": 1}, TypeError, "trade_id"), ({"code": None}, TypeError, "code"),
    ({"quantity": 1.0}, TypeError, "quantity"), ({"price": "600"}, TypeError, "price"),
    ({"timestamp": None}, TypeError, "timestamp"), ({"timestamp": float("nan")}, ValueError, "時間戳"),
    ({"timestamp": 1.7e12}, ValueError, "時間戳"), ({"timestamp": -1e17}, ValueError, "時間戳"),
])
def test_trade_record_checks(account, changes, error, name):
    kwargs = dict(trade_id="x", code="2330", action="Buy", quantity=1, price=600.0, timestamp=1.0,
                  trade_status="Deal")
    with pytest.raises(error, match=name):
        account.add_trade_record(**{**kwargs, **changes})
    assert account.trade_records == []


@pytest.mark.parametrize("seed", range(8))
def test_random_fills_keep_quantities_consistent(seed, console):
    rng = random.Random(seed)
    account = Positions()
    signed = {}
    covered = 0
    for _ in range(120):
        code = rng.choice(["2330", "2317", "TXFR1"])
        product = "Future" if code == "TXFR1" else "Stock"
        action = rng.choice(["Buy", "Sell"])
        qty = rng.randint(1, 6)
        held = signed.get(code, 0)
        opposite = -held if action == "Buy" else held
        covered += min(qty, max(opposite, 0))
        signed[code] = held + (qty if action == "Buy" else -qty)
        account.set_positions(fill(action, qty, rng.uniform(50, 700), code=code,
                                   product_type=product), product)
    for code, book in account.positions.items():
        assert book["buy"] == [] or book["sell"] == []
        assert sum(e["quantity"] for e in book["buy"]) - sum(e["quantity"] for e in book["sell"]) == signed[code]
        assert all(e["quantity"] > 0 for e in book["buy"] + book["sell"])
    rows = account._profit_report["rows"]
    assert sum(r["qty"] for r in rows) == covered
    assert sum(r["profit"] for r in rows) == pytest.approx(account._profit_report["profit"])
    assert sum(i["profit"] for i in account._account_infos.values()) == pytest.approx(
        account._profit_report["profit"])
