"""The package's floors: every import, at the top of a module or inside a function, points to
its own package or a floor below; the compiled modules reach only the floor beneath everything;
the old module paths are the new modules themselves."""
import ast
import importlib
import re
from pathlib import Path

import pytest

import orva_backtest

PACKAGE = Path(orva_backtest.__file__).parent
SOURCES = Path(__file__).resolve().parents[2] / "src"
FLOORS = {"data": 1, "engine": 2, "research": 3, "cli": 4}  # the rest: 0, under them all


def floor(module):
    """(floor, package) of a dotted module name inside the package."""
    parts = module.split(".")
    if len(parts) > 1 and parts[1] in FLOORS:
        return FLOORS[parts[1]], parts[1]
    return 0, "base"


def imports(path):
    """(line, module) of every orva_backtest module `path` imports."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    found = []
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            found += [(node.lineno, a.name) for a in node.names if a.name.startswith("orva_backtest")]
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and (node.module or "").startswith("orva_backtest"):
            if node.module == "orva_backtest":  # the root's names: the strategy interface, or a module
                found += [(node.lineno, f"orva_backtest.{a.name}") if a.name in ("constant", "utils")
                          else (node.lineno, "orva_backtest.engine.strategy") for a in node.names]
            else:
                found.append((node.lineno, node.module))
    return found


def modules():
    for path in sorted(PACKAGE.rglob("*.py")):
        name = ".".join(("orva_backtest", *path.relative_to(PACKAGE).with_suffix("").parts))
        if name.endswith(".__init__"):
            name = name[: -len(".__init__")]
        if name not in ("orva_backtest", "orva_backtest.__main__", "orva_backtest._moved") \
                and not name.startswith("orva_backtest.examples"):
            yield name, path


def test_no_import_runs_back_up():
    upward = []
    for name, path in modules():
        here, package = floor(name)
        for line, target in imports(path):
            there, other = floor(target)
            if there > here or (there == here and other != package):
                upward.append(f"{path.relative_to(PACKAGE)}:{line} imports {target}")
    assert upward == []
    assert len(list(modules())) >= 35  # the walk found the package's files


def test_the_compiled_modules_import_only_from_the_lowest_floor():
    named = set()
    for path in SOURCES.rglob("*.cpp"):
        named |= set(re.findall(r'import_\("(orva_backtest[\w.]*)"\)', path.read_text(encoding="utf-8")))
    assert "orva_backtest.modules.positions.reporting" in named
    assert [m for m in sorted(named) if floor(m)[0] != 0] == []
    for module in named:
        importlib.import_module(module)


@pytest.mark.parametrize("old, new", [
    ("orva_backtest.runner", "orva_backtest.engine.runner"),
    ("orva_backtest.option_chain", "orva_backtest.engine.options"),
    ("orva_backtest.research.equity", "orva_backtest.engine.equity"),
    ("orva_backtest.market", "orva_backtest.data"),
    ("orva_backtest.market.taifex", "orva_backtest.data.taifex"),
    ("orva_backtest.market.trading_days", "orva_backtest.trading_days"),
    ("orva_backtest.cli_shared", "orva_backtest.cli.options"),
])
def test_an_old_path_is_the_moved_module_itself(old, new):
    assert importlib.import_module(old) is importlib.import_module(new)


def test_the_public_names_come_from_the_root():
    from orva_backtest import SyntheticMarket, run_backtest, run_sweep
    from orva_backtest.data.synthetic import SyntheticMarket as synthetic
    from orva_backtest.engine.runner import run_backtest as runner
    from orva_backtest.research.sweep import run_sweep as sweep
    assert (SyntheticMarket, run_backtest, run_sweep) == (synthetic, runner, sweep)
    with pytest.raises(AttributeError, match="no_such_name"):
        orva_backtest.no_such_name
