"""Command line: `python -m orva_backtest` shows what a fill costs on the simulated account."""
import argparse

from rich.table import Table

from orva_backtest.modules.positions.positions import Positions
from orva_backtest.utils import console

# (code, product type, action, price, quantity, closing fill)
SAMPLE_FILLS = [
    ("2330", "Stock", "Buy", 600.0, 2, False),
    ("2330", "Stock", "Sell", 612.0, 2, True),
    ("2317", "Stock", "Sell", 10.02, 5, True),
    ("0050", "Stock", "Buy", 120.0, 1, False),
    ("TXFR1", "Future", "Buy", 17000.0, 1, False),
    ("MXFR1", "Future", "Sell", 17020.0, 1, True),
]


def cost_table(account):
    table = Table(title="模擬成交成本 (預設手續費、稅率與滑價)")
    for column in ("商品", "買賣", "開平", "原價", "成交價", "單位數", "手續費", "交易稅", "固定"):
        table.add_column(column, justify="right")
    for code, product_type, action, price, qty, is_cover in SAMPLE_FILLS:
        cost = account._Positions__calculate_trade_cost(
            code, action, price, qty, product_type, is_cover=is_cover)
        table.add_row(code, action, "平倉" if is_cover else "開倉",
                      f"{cost['origin_price']:g}", f"{cost['price']:g}", f"{cost['min_qty']:g}",
                      f"{cost['fee']:.2f}", f"{cost['tax']:.2f}", str(cost["fixed_cost"]))
    return table


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m orva_backtest", description=__doc__)
    parser.add_argument("--capital", type=int, default=100000, help="starting capital")
    args = parser.parse_args(argv)

    account = Positions()
    account.set_initial_capital(args.capital)
    console.print(f"[green]初始資金: {account.fetch_account_balance():,}[/green]")
    console.print(cost_table(account))


if __name__ == "__main__":
    main()
