"""Tick-replay backtesting simulator for the Taiwan stock and futures markets.

Floors, each importing only from its own and the ones below: `constant`, `utils`,
`trading_days` and the compiled `modules`; `data` (what feeds a run); `engine` (the run and
what it leaves); `research` (many runs); `cli` (the command line)."""
from importlib import import_module

from orva_backtest import _moved
from orva_backtest.engine.strategy import Context, Strategy

# The public names, each loaded when first asked for: `import orva_backtest` stays light.
_PUBLIC = {
    "run_backtest": "engine.runner", "BacktestResult": "engine.result", "CompiledStrategy": "engine.compiled",
    "SyntheticMarket": "data", "CacheOnlyMarket": "data", "import_tick_file": "data.tick_import",
    "import_taifex_files": "data.taifex", "import_taifex_option_files": "data.taifex_options",
    "run_sweep": "research.sweep", "run_walkforward": "research.walkforward",
}
__all__ = ["Context", "Strategy", "__version__", *_PUBLIC]

_moved.install()


def _installed_version():
    # Asked for when read: the distribution's metadata brings a dozen modules a run does not use.
    from importlib.metadata import PackageNotFoundError, version
    try:
        return version("orva_backtest")
    except PackageNotFoundError:  # a source tree that was never installed
        return "0.0.0"


def __getattr__(name):
    if name in _PUBLIC:
        value = getattr(import_module(f"orva_backtest.{_PUBLIC[name]}"), name)
    elif name == "__version__":
        value = _installed_version()
    else:
        raise AttributeError(f"module 'orva_backtest' has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__():
    return sorted({*globals(), *__all__})
