"""Market data sources that stand in for the broker SDK."""
from orva_backtest.market.cache_only import CacheOnlyMarket
from orva_backtest.market.synthetic import SyntheticMarket

__all__ = ["CacheOnlyMarket", "SyntheticMarket"]
