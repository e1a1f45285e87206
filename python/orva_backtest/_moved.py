"""The modules' paths before the packages, kept for one release: `orva_backtest.runner` is
`orva_backtest.engine.runner` itself (the same module object), so code written, and patches
made, against an old path keep working."""
import importlib
import importlib.abc
import importlib.util
import sys

PACKAGE = "orva_backtest."
MOVED = {
    "runner": "engine.runner",
    "strategy": "engine.strategy",
    "strategy_file": "engine.strategy_file",
    "result": "engine.result",
    "outputs": "engine.outputs",
    "buying_power": "engine.buying_power",
    "compiled": "engine.compiled",
    "market_rules": "engine.market_rules",
    "option_chain": "engine.options",
    "research.equity": "engine.equity",
    "research.summary": "engine.summary",
    "research.account_report": "engine.account_report",
    "sweep": "research.sweep",
    "sweep_output": "research.sweep_output",
    "dask_cluster": "research.dask_cluster",
    "cli_shared": "cli.options",
    "cli_research": "cli.research",
    "tick_import": "data.tick_import",
    "market": "data",
    "market.synthetic": "data.synthetic",
    "market.cache_only": "data.cache_only",
    "market.contract_months": "data.contract_months",
    "market.daily_files": "data.daily_files",
    "market.taifex": "data.taifex",
    "market.taifex_options": "data.taifex_options",
    "market.option_contracts": "data.option_contracts",
    "market.option_chains": "data.option_chains",
    "market.trading_days": "trading_days",
}


class MovedModules(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    """Answers an old path with the module now at its new one."""

    def find_spec(self, name, path=None, target=None):
        if name.startswith(PACKAGE) and name[len(PACKAGE):] in MOVED:
            return importlib.util.spec_from_loader(name, self)
        return None

    def create_module(self, wanted):
        return importlib.import_module(PACKAGE + MOVED[wanted.name[len(PACKAGE):]])

    def exec_module(self, module):
        pass  # already run under its new name


def install():
    # First in line: the path finder would load `market.taifex` a second time from the
    # folder of `data`, which the old package's name stands for.
    if not any(isinstance(finder, MovedModules) for finder in sys.meta_path):
        sys.meta_path.insert(0, MovedModules())
