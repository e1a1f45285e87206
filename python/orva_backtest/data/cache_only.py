"""A tick source for runs on cached or imported ticks only."""
from orva_backtest.data.synthetic import Contract


class _AnyContract:
    def __init__(self, kind):
        self._kind = kind

    def __getitem__(self, code):
        if not isinstance(code, str) or not code:
            raise KeyError(code)
        return Contract(code, self._kind, 0.0)


class _Contracts:
    def __init__(self):
        self.Stocks = _AnyContract("STK")
        self.Futures = _AnyContract("FUT")


class CacheOnlyMarket:
    """Stands in for the broker SDK when every tick should come from the day cache (for
    example after `orva-backtest import-ticks`): a day that is not cached has no ticks to
    download, so it is skipped (and never cached) instead of being filled from elsewhere."""

    cache_only = True  # the tick feed skips a day it lacks at once, without retries or a log entry

    def __init__(self):
        self.Contracts = _Contracts()

    def ticks(self, contract, date):
        raise LookupError(f"{contract.code} {date} 不在 Tick 快取中")
