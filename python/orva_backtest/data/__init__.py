"""What feeds a run: market sources that stand in for the broker SDK (made-up ticks, the tick
cache), the imports of one's own files and of the futures exchange's daily files, and the facts
of futures months and option series."""
from orva_backtest.data.cache_only import CacheOnlyMarket
from orva_backtest.data.synthetic import SyntheticMarket

__all__ = ["CacheOnlyMarket", "SyntheticMarket"]
