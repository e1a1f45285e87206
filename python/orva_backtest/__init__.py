"""Tick-replay backtesting simulator for the Taiwan stock and futures markets."""
from importlib.metadata import PackageNotFoundError, version

from orva_backtest.strategy import Context, Strategy

__all__ = ["Context", "Strategy", "__version__"]

try:
    __version__ = version("orva_backtest")
except PackageNotFoundError:  # a source tree that was never installed
    __version__ = "0.0.0"
