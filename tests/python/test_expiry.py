"""Futures expiry in a continuous front-month series: positions settle at the expiring
month's final price when the new month's first trade arrives, and the roll reopens them."""
import math

import pytest

from account_helpers import fill, tick
from orva_backtest import Strategy
from orva_backtest.market import CacheOnlyMarket
from orva_backtest.market.contract_months import monthly_expiry, rolls
from orva_backtest.market.taifex import import_taifex_files
from orva_backtest.market_rules import market_rules
from orva_backtest.modules.matcher.matcher import Matcher
from orva_backtest.modules.positions.positions import Positions
from orva_backtest.runner import run_backtest
from taifex_files import trades, write_files

EXPIRY_1330 = 1710912600.0  # 2024-03-20 13:30 Taipei, the third Wednesday
NEW_MONTH = EXPIRY_1330 + 1.5 * 3600  # 15:00: the night session trades April


def account(reopen, settlement=None):
    book = Positions()
    book.set_initial_capital(10_000_000)
    book.update_fee_settings("future", action="buy", tick_count=0)
    book.update_fee_settings("future", action="sell", tick_count=0)
    book.set_expiries("TXFR1", [(NEW_MONTH, settlement, "202403")], reopen=reopen)
    book.set_positions(fill("Buy", 2, 16900.0, EXPIRY_1330 - 3600, "TXFR1", "Future"), "Future")
    for when, close in [(EXPIRY_1330 - 60, 17000.0), (EXPIRY_1330, 17050.0),
                        (NEW_MONTH, 17120.0), (NEW_MONTH + 60, 17150.0)]:
        book.set_current_tick(tick("TXFR1", close, when, market_type="Future"))
    return book


def points(row):
    return (row["exit_origin_price"] - row["entry_origin_price"]) * row["qty"]


@pytest.mark.parametrize("settlement, final", [(None, 17050.0), (17061.0, 17061.0)])
def test_an_expiry_settles_at_the_expiring_month_s_final_price(console, settlement, final):
    book = account(reopen=False, settlement=settlement)
    (row,) = book._profit_report["rows"]
    assert row["exit_origin_price"] == final and row["expiry"] is True
    assert points(row) == (final - 16900.0) * 2
    assert book.positions["TXFR1"]["buy"] == []
    assert [r["trade_status"] for r in book.trade_records] == ["Expiry"]
    assert book.current_capital == pytest.approx(10_000_000 + row["profit"])


def test_the_roll_reopens_in_the_new_month_and_books_no_spread(console):
    book = account(reopen=True)
    (entry,) = book.positions["TXFR1"]["buy"]
    assert (entry["price"], entry["quantity"]) == (17120.0, 2)
    book.set_positions(fill("Sell", 2, 17150.0, NEW_MONTH + 60, "TXFR1", "Future"), "Future")
    settled, rolled = book._profit_report["rows"]
    # 150 points to the expiry, 30 after the roll: the 70-point calendar spread is nobody's
    assert points(settled) + points(rolled) == (150 + 30) * 2
    assert [r["trade_status"] for r in book.trade_records] == ["Expiry", "Roll"]


def test_expiries_are_checked(console):
    book = Positions()
    for bad in ([(NEW_MONTH, -1.0, "x")], [(NEW_MONTH, None, "a"), (NEW_MONTH - 1, None, "b")],
                [(float("nan"), None, "x")], [(NEW_MONTH, None)], [(NEW_MONTH, True, "x")],
                [(True, None, "x")]):
        with pytest.raises((TypeError, ValueError)):
            book.set_expiries("TXFR1", bad)


class HoldOne(Strategy):
    """Buys one contract on the first tick and holds it."""

    def __init__(self):
        self.bought = False

    def on_tick(self, ctx, tick):
        if not self.bought:
            self.bought = True
            ctx.buy(tick["code"], 1)


@pytest.mark.parametrize("roll", ["settle", "reopen"])
def test_a_series_imported_from_the_exchange_s_files_settles_at_its_expiry(tmp_path, roll):
    paths, _ = write_files(tmp_path)
    data = tmp_path / "data"
    import_taifex_files(paths, "TX", data_dir=str(data))
    final = trades("2026-01-21")[1][-1][1]       # January's last trade, 13:29 of its expiry
    february = trades("2026-01-22")[1][0][1]     # the night session that follows trades February
    result = run_backtest(HoldOne(), ["TXFR1:Future"], "2026-01-21", "2026-01-22", data_dir=data,
                          source=CacheOnlyMarket(), reports=False, rules=market_rules(roll=roll))
    settled = [row for row in result.profit_rows if row.get("expiry")]
    assert [row["exit_origin_price"] for row in settled] == [final]
    assert "Expiry" in [r["trade_status"] for r in result.account.trade_records]
    held = result.account.positions["TXFR1"]["buy"]
    if roll == "reopen":  # held through: its new entry is February's first trade, not the spread
        assert [(e["price"], e["quantity"]) for e in held] == [(february, 1)]
    else:  # the equity curve counts the settled contract once: in the profit rows, not as held too
        assert held == []
        assert result.equity["equity"][-1] == pytest.approx(
            result.account.initial_capital + sum(row["profit"] for row in result.profit_rows))
    assert result.market_rules["roll"] == roll


def test_the_synthetic_market_says_it_has_no_expiry(tmp_path):
    result = run_backtest(HoldOne(), ["TXFR1:Future"], "2024-03-04", "2024-03-05", data_dir=tmp_path,
                          reports=False)
    assert any("沒有到期" in note for note in result.market_rules["notes"])
    assert not [r for r in result.account.trade_records if r["trade_status"] == "Expiry"]


@pytest.mark.parametrize("text, error", [
    ("date,price\n2024-03-20,17061\n2024-03-20,17999\n", "已有結算價 17061"),  # not the last one silently
    ("", "沒有任何結算價"),
    ("date,price\n", "沒有任何結算價"),
    ("\ufeffdate,price\n2024-03-20,17061\n", None),
    ("日期,結算價\r\n2024-03-20,17061\r\n\r\n".encode("cp950"), None),  # Excel's Big5, a blank last line
    ("date,price\n2024-03-20,17061\n".encode("utf-16"), r"settlements.csv: 無法以 UTF-8 或 Big5"),
    ("date,price\n2024-03-20,abc\n", "第 2 行"),
])
def test_a_settlement_file_gives_one_price_per_expiry_or_says_why_not(tmp_path, text, error):
    path = tmp_path / "settlements.csv"
    path.write_bytes(text if isinstance(text, bytes) else text.encode("utf-8"))
    if error is None:
        assert market_rules(settlements=str(path)).settlements == {"2024-03-20": 17061.0}
    else:
        with pytest.raises(ValueError, match=error):
            market_rules(settlements=str(path))


@pytest.mark.parametrize("bad", [{"2024-03-20": -1}, {"2024-03-20": float("nan")},
                                 {"2024-03-20": "abc"}, {"20240320": 17000.0}, {"2024-03-20": True}])
def test_settlements_given_by_hand_are_checked_as_the_file_s_rows(bad):
    with pytest.raises(ValueError, match="結算價"):
        market_rules(settlements=bad)


def test_a_gap_of_several_months_settles_the_held_month_once(console):
    book = Positions()
    book.set_initial_capital(10_000_000)
    book.update_fee_settings("future", action="buy", tick_count=0)
    book.update_fee_settings("future", action="sell", tick_count=0)
    later = NEW_MONTH + 28 * 86400
    book.set_expiries("TXFR1", [(NEW_MONTH, None, "202403"), (later, None, "202404")], reopen=True)
    book.set_positions(fill("Buy", 1, 16900.0, EXPIRY_1330 - 3600, "TXFR1", "Future"), "Future")
    book.set_current_tick(tick("TXFR1", 17000.0, EXPIRY_1330 - 60, market_type="Future"))
    book.set_current_tick(tick("TXFR1", 17500.0, later + 60, market_type="Future"))  # May's first
    # March settled at its last trade, reopened in May: no 500-point "loss" from settling the
    # reopened contract again at March's price
    (row,) = book._profit_report["rows"]
    assert (row["entry_origin_price"], row["exit_origin_price"]) == (16900.0, 17000.0)
    assert [(r["trade_status"], r["price"]) for r in book.trade_records] == [("Expiry", 17000.0),
                                                                            ("Roll", 17500.0)]
    assert [(e["price"], e["quantity"]) for e in book.positions["TXFR1"]["buy"]] == [(17500.0, 1)]


def trader(exchange):
    """Books a trade of 5 at a price and time, with a one-point quote around it."""
    def trade(code, close, when):
        exchange.set_current_tick({**tick(code, close, when, qty=5, market_type="Future"),
                                   "quote": (close - 1, 10, close, 10)})
        exchange.match_deal(code, close, 5, when)
    return trade


@pytest.mark.parametrize("reopen", [False, True])
def test_orders_resting_for_the_expired_month_are_cancelled_not_filled_in_the_next(console, reopen):
    book = Positions()
    book.set_initial_capital(10_000_000)
    book.set_expiries("TXFR1", [(NEW_MONTH, None, "202403")], reopen=reopen)
    exchange = Matcher(book, fill_model="touch")
    trade = trader(exchange)
    trade("TXFR1", 16900.0, EXPIRY_1330 - 3600)
    exchange.add_order("TXFR1", "Future", "Buy", 0.0, 1, "MKT", "IOC")
    trade("TXFR1", 16900.0, EXPIRY_1330 - 3500)
    exchange.add_order("TXFR1", "Future", "Sell", 17200.0, 1, "LMT", "ROD")  # March's take-profit
    trade("TXFR1", 17000.0, EXPIRY_1330 - 60)
    trade("TXFR1", 17120.0, NEW_MONTH)       # April's first trade: March is gone, and its order with it
    trade("TXFR1", 17250.0, NEW_MONTH + 60)  # April passes 17200: a March order must not sell it
    assert exchange.pending_orders == []
    statuses = [r["trade_status"] for r in book.trade_records]
    assert statuses == ["Deal", "Expiry"] + (["Roll"] if reopen else []) + ["Cancel"]
    assert book.positions["TXFR1"]["sell"] == []
    assert len(book.positions["TXFR1"]["buy"]) == (1 if reopen else 0)


# An order is void when sent before the month in force began, by the exchange's clock (the
# last tick it handled; before any tick, the first tick's time), whenever its code's next
# trade comes. April's order below bids 17200 (April trades at 17120); March's, sent an hour
# before, asks 17400 (March trades at 17300).
class RollsByHand(Positions):
    """Bids the new month as soon as the expiring month's lot is settled."""
    exchange = None

    def add_trade_record(self, *args, **record):
        super().add_trade_record(*args, **record)
        if self.trade_records[-1]["trade_status"] == "Expiry":
            self.bid()

    def bid(self):
        self.exchange.add_order("TXFR1", "Future", "Buy", 17200.0, 1, "LMT", "ROD")


class BidsOnTheExpiredCodes(RollsByHand):
    """Bids once the exchange has taken the expired codes, before it voids their orders (as
    another thread may)."""

    def add_trade_record(self, *args, **record):
        Positions.add_trade_record(self, *args, **record)

    def take_expired_codes(self):
        codes = super().take_expired_codes()
        if codes:
            self.bid()
        return codes


def new_month_opened(trade, exchange, book):  # the night session is April's
    trade("MXFR1", 17100.0, NEW_MONTH)
    exchange.add_order("TXFR1", "Future", "Buy", 17200.0, 1, "LMT", "ROD")
    trade("TXFR1", 17120.0, NEW_MONTH + 1)


def may_began_too(trade, exchange, book):  # April's order, but TXFR1 trades next in May
    book.set_expiries("TXFR1", [(NEW_MONTH, None, "202403"), (NEW_MONTH + 86400, None, "202404")])
    new_month_opened(lambda code, close, when: trade(code, close, when + (code == "TXFR1") * 86400),
                     exchange, book)


def schedule_corrected(trade, exchange, book):  # the order is March's by the schedule in force
    trade("MXFR1", 17100.0, NEW_MONTH)
    exchange.add_order("TXFR1", "Future", "Buy", 17200.0, 1, "LMT", "ROD")
    book.set_expiries("TXFR1", [(NEW_MONTH + 600, None, "202403")])
    trade("TXFR1", 17120.0, NEW_MONTH + 601)


def on_its_way_over_the_roll(trade, exchange, book):  # sent at March's last trade, still March's
    trade("TXFR1", 17300.0, EXPIRY_1330 - 60)
    exchange.add_order("TXFR1", "Future", "Buy", 17200.0, 1, "LMT", "ROD")
    trade("TXFR1", 17120.0, NEW_MONTH + 1)


def repriced_over_the_roll(trade, exchange, book):  # March's, its new price on its way
    exchange.add_order("TXFR1", "Future", "Buy", 16000.0, 1, "LMT", "ROD")
    trade("TXFR1", 17300.0, EXPIRY_1330 - 60)
    exchange.modify_order(exchange.last_order_id, price=17200.0)
    trade("TXFR1", 17120.0, NEW_MONTH + 1)


def rolled_by_hand(trade, exchange, book):  # sent while April's first trade settles March
    book.exchange = exchange
    book.set_positions(fill("Buy", 1, 16900.0, EXPIRY_1330 - 3600, "TXFR1", "Future"), "Future")
    trade("TXFR1", 17120.0, NEW_MONTH + 1)
    trade("TXFR1", 17120.0, NEW_MONTH + 2)


@pytest.mark.parametrize("fill_model", ["touch", "queue"])
@pytest.mark.parametrize("latency_ms", [0, 50])
@pytest.mark.parametrize("scenario, account_class, april_bid", [
    (new_month_opened, Positions, "Deal"), (new_month_opened, type("Own", (Positions,), {}), "Deal"),
    (may_began_too, Positions, "Cancel"), (schedule_corrected, Positions, "Cancel"),
    (on_its_way_over_the_roll, Positions, "Cancel"), (repriced_over_the_roll, Positions, "Cancel"),
    (rolled_by_hand, RollsByHand, "Deal"), (rolled_by_hand, BidsOnTheExpiredCodes, "Deal")])
def test_an_order_is_the_month_s_in_force_when_it_was_sent(console, taipei_clock, fill_model, latency_ms,
                                                           scenario, account_class, april_bid):
    book = account_class()
    book.set_initial_capital(10_000_000)
    book.set_expiries("TXFR1", [(NEW_MONTH, None, "202403")])
    exchange = Matcher(book, fill_model=fill_model, latency_ms=latency_ms)
    trade = trader(exchange)
    trade("TXFR1", 17300.0, EXPIRY_1330 - 3600)
    exchange.add_order("TXFR1", "Future", "Sell", 17400.0, 1, "LMT", "ROD")
    scenario(trade, exchange, book)
    orders = [(r["trade_status"], r["action"]) for r in book.trade_records if r["trade_status"] != "Expiry"]
    assert sorted(orders) == sorted([("Cancel", "Sell"), (april_bid, "Buy")])  # a queue fills at arrival
    assert all(r["dt"] > "2024-03-20 15:00:00" for r in book.trade_records if r["trade_status"] == "Cancel")


@pytest.mark.parametrize("fill_model", ["touch", "queue"])
def test_a_schedule_given_again_voids_no_order_of_a_month_already_traded(console, fill_model):
    book = Positions()
    book.set_initial_capital(10_000_000)
    exchange = Matcher(book, fill_model=fill_model, latency_ms=20_000)
    trade = trader(exchange)
    trade("TXFR1", 17300.0, NEW_MONTH - 60)
    exchange.add_order("TXFR1", "Future", "Buy", 16000.0, 1, "LMT", "ROD")  # arrives, rests
    trade("TXFR1", 17300.0, NEW_MONTH - 5)
    exchange.add_order("TXFR1", "Future", "Buy", 16001.0, 1, "LMT", "ROD")  # arrives after 15:00
    trade("TXFR1", 17300.0, NEW_MONTH + 5)
    book.set_expiries("TXFR1", [(NEW_MONTH, None, "202403")])  # no roll was booked here for April
    trade("TXFR1", 17300.0, NEW_MONTH + 20)
    assert [o["price"] for o in exchange.pending_orders] == [16000.0, 16001.0]


def test_an_order_spoiled_on_its_way_over_a_roll_stays_there_and_says_why(console):
    book = Positions()
    book.set_initial_capital(10_000_000)
    book.set_expiries("TXFR1", [(NEW_MONTH, None, "202403")])
    exchange = Matcher(book, latency_ms=50)
    trade = trader(exchange)
    trade("TXFR1", 17300.0, EXPIRY_1330 - 60)
    exchange.add_order("TXFR1", "Future", "Buy", 17200.0, 1, "LMT", "ROD")
    exchange.orders_in_flight[0]["quantity"] = "1"
    with pytest.raises(TypeError, match="quantity"):
        trade("TXFR1", 17120.0, NEW_MONTH + 1)
    assert [o["trade_id"] for o in exchange.orders_in_flight] == [exchange.last_order_id]


def test_an_order_sent_before_the_first_tick_is_the_first_tick_s_month(console):
    book = Positions()
    book.set_initial_capital(10_000_000)
    book.set_expiries("TXFR1", [(NEW_MONTH, None, "202403")])  # a run reads every recorded roll
    exchange = Matcher(book)
    exchange.add_order("TXFR1", "Future", "Buy", 17200.0, 1, "LMT", "ROD")
    trader(exchange)("TXFR1", 17120.0, NEW_MONTH + 20 * 86400)
    assert [r["trade_status"] for r in book.trade_records] == ["Deal"]


class Rebids(Positions):
    """An account of the host's own that bids 17300 again whenever an order is cancelled."""
    exchange = None

    def add_trade_record(self, **record):
        super().add_trade_record(**record)
        if record["trade_status"] == "Cancel":
            self.exchange.add_order("TXFR1", "Future", "Buy", 17300.0, 1, "LMT", "ROD")


# A subclass goes through its own methods; the bid it places while the exchange cancels what
# expired is the new month's, resting or (with a latency) on its way.
@pytest.mark.parametrize("latency_ms, filled", [(0, 17120.0), (50, 17250.0)])  # at once, or on arrival
def test_a_subclassed_account_s_expired_orders_are_cancelled_and_its_new_ones_kept(console, latency_ms,
                                                                                  filled):
    book = Rebids()
    book.set_initial_capital(10_000_000)
    book.set_expiries("TXFR1", [(NEW_MONTH, None, "202403")])
    book.exchange = exchange = Matcher(book, fill_model="touch", latency_ms=latency_ms)
    for close, when in [(16900.0, EXPIRY_1330 - 3600), (17000.0, EXPIRY_1330 - 60),
                        (17120.0, NEW_MONTH), (17250.0, NEW_MONTH + 60)]:
        exchange.set_current_tick(tick("TXFR1", close, when, qty=5, market_type="Future"))
        exchange.match_deal("TXFR1", close, 5, when)
        if when == EXPIRY_1330 - 3600:
            exchange.add_order("TXFR1", "Future", "Sell", 17200.0, 1, "LMT", "ROD")  # March's
    assert [(r["trade_status"], r["price"]) for r in book.trade_records] == [("Cancel", 17200.0),
                                                                            ("Deal", filled)]


@pytest.mark.parametrize("until", [math.nan, math.inf, True, "0"])
def test_cancelling_what_expired_refuses_a_time_that_is_not_one(until):
    with pytest.raises((TypeError, ValueError), match="until"):
        Matcher(Positions()).cancel_expired(until)


def test_a_schedule_given_again_mid_run_leaves_what_is_held_now(console):
    book = Positions()
    book.set_initial_capital(10_000_000)
    schedule = [(NEW_MONTH, None, "202403"), (NEW_MONTH + 28 * 86400, None, "202404")]
    book.set_expiries("TXFR1", schedule)
    book.set_current_tick(tick("TXFR1", 17000.0, EXPIRY_1330 - 60, market_type="Future"))
    book.set_current_tick(tick("TXFR1", 17100.0, NEW_MONTH + 60, market_type="Future"))
    book.set_positions(fill("Buy", 1, 17100.0, NEW_MONTH + 100, "TXFR1", "Future"), "Future")
    book.set_expiries("TXFR1", schedule, reopen=True)  # the roll changed: March is still past
    book.set_current_tick(tick("TXFR1", 17150.0, NEW_MONTH + 300, market_type="Future"))
    assert [r["trade_status"] for r in book.trade_records] == []
    assert [e["price"] for e in book.positions["TXFR1"]["buy"]] == [17100.0]


@pytest.mark.parametrize("month, expiry", [
    ("202403", "2024-03-20"),   # the third Wednesday
    ("202601", "2026-01-21"),
    ("202402", "2024-02-21"),
    ("202310", "2023-10-18"),
    ("202602", "2026-02-23"),   # 02-18 falls in the New Year holidays: the next trading day
])
def test_a_month_expires_on_its_third_wednesday(month, expiry):
    assert monthly_expiry(month).isoformat() == expiry


def test_a_roll_off_the_expiry_day_is_noted():
    months = {"2024-03-18": "202403", "2024-03-19": "202403", "2024-03-21": "202404"}
    (roll,), notes = rolls(months, {"2024-03-19": 17000.0})
    assert roll[1:] == (17000.0, "202403") and len(notes) == 1 and "2024-03-20" in notes[0]
    (roll,), notes = rolls({**months, "2024-03-20": "202403"})
    assert roll[1] is None and notes == []
    # given for the day before the expiry: unused, and said so
    (roll,), notes = rolls({**months, "2024-03-20": "202403"}, {"2024-03-19": 17000.0})
    assert roll[1] is None and notes == ["結算價 2024-03-19 不是合約 202403 在資料中的最後一天, 未使用"]


def test_a_lot_bought_at_the_new_month_s_first_trade_is_not_settled_at_the_old_month_s_price(console):
    book = Positions()
    book.set_initial_capital(10_000_000)
    book.set_expiries("TXFR1", [(NEW_MONTH, None, "202403")])
    exchange = Matcher(book, fill_model="queue", latency_ms=50)
    trade = trader(exchange)
    book.set_positions(fill("Buy", 1, 16900.0, EXPIRY_1330 - 3600, "TXFR1", "Future"), "Future")
    trade("TXFR1", 17000.0, EXPIRY_1330 - 60)
    trade("MXFR1", 17100.0, NEW_MONTH)  # the night session is April's
    exchange.add_order("TXFR1", "Future", "Buy", 0.0, 1, "MKT", "IOC")  # April's, on its way
    trade("TXFR1", 17120.0, NEW_MONTH + 1)  # it arrives with April's first trade and buys April
    assert [(r["trade_status"], r["price"]) for r in book.trade_records] == [("Deal", 17120.0),
                                                                            ("Expiry", 17000.0)]
    (row,) = book._profit_report["rows"]  # March's lot alone, at March's price
    assert (row["entry_origin_price"], row["exit_origin_price"], row["qty"]) == (16900.0, 17000.0, 1)
    assert [(e["price"], e["quantity"]) for e in book.positions["TXFR1"]["buy"]] == [(17120.0, 1)]
