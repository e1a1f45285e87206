"""Futures expiry in a continuous front-month series: positions settle at the expiring
month's final price when the new month's first trade arrives, and the roll reopens them."""
import pytest

from account_helpers import fill, tick
from orva_backtest import Strategy
from orva_backtest.market import CacheOnlyMarket
from orva_backtest.market.contract_months import monthly_expiry, rolls
from orva_backtest.market.taifex import import_taifex_files
from orva_backtest.market_rules import market_rules
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
                [(float("nan"), None, "x")], [(NEW_MONTH, None)]):
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
    else:
        assert held == []
    assert result.market_rules["roll"] == roll


def test_the_synthetic_market_says_it_has_no_expiry(tmp_path):
    result = run_backtest(HoldOne(), ["TXFR1:Future"], "2024-03-04", "2024-03-05", data_dir=tmp_path,
                          reports=False)
    assert any("沒有到期" in note for note in result.market_rules["notes"])
    assert not [r for r in result.account.trade_records if r["trade_status"] == "Expiry"]


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
