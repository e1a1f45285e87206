"""Market data sources that stand in for the broker SDK."""
from orva_backtest.market.synthetic import SyntheticMarket

__all__ = ["SyntheticMarket"]
