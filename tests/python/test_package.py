import importlib
import inspect
import os
import subprocess
from importlib.metadata import version
from pathlib import Path

import pytest

import orva_backtest
from orva_backtest.modules.matcher.matcher import Matcher
from orva_backtest.modules.positions.positions import Positions, QuoteManager
from orva_backtest.modules.ticker.ticker import DirectReplay, Ticker

from process_helpers import run_python

REPO = Path(__file__).resolve().parents[2]
CLASSES = [Positions, QuoteManager, Matcher, Ticker, DirectReplay]


def test_version_is_the_installed_distributions():
    assert orva_backtest.__version__ == version("orva_backtest")


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_public_classes_and_methods_are_documented(cls):
    assert (cls.__doc__ or "").strip()
    undocumented = [name for name, value in vars(cls).items()
                    if not name.startswith("_") and not (getattr(value, "__doc__", None) or "").strip()]
    assert undocumented == []


def test_methods_have_signatures():
    assert list(inspect.signature(QuoteManager.get_kbar).parameters) == [
        "self", "code", "unit", "freq", "exprs", "to_pandas_df"]
    assert str(inspect.signature(Positions._Positions__generate_save_path)) == "(self, /, file_name=None, *sub_folder)"


@pytest.mark.parametrize("module", ["positions", "matcher", "ticker"])
def test_typed_stubs_ship_with_the_modules(module):
    assert (Path(orva_backtest.__file__).parent / "py.typed").exists()
    extension = importlib.import_module(f"orva_backtest.modules.{module}.{module}")
    stub = Path(extension.__file__).parent / f"{module}.pyi"  # beside the module, wherever it is built
    text = stub.read_text(encoding="utf-8")
    expected = {"positions": "def get_kbar(self, /, code", "matcher": "def match_deal(self, /, code",
                "ticker": "def iter_ticks(self, /, codes"}[module]
    assert expected in text


@pytest.mark.parametrize("module", ["positions", "matcher", "ticker"])
def test_a_module_created_but_never_executed_is_freed_and_imports_afterwards(module):
    # What Ctrl-C leaves between an import's two steps: it used to crash the process.
    done = run_python(f"""
        import importlib, importlib.util
        name = "orva_backtest.modules.{module}.{module}"
        found = importlib.util.find_spec(name)  # the import's first step alone: the module made
        unexecuted = found.loader.create_module(found)
        del unexecuted
        print(getattr(importlib.import_module(name), "{module.title()}"))
    """)
    assert (done.returncode, done.stdout.strip()) == (
        0, f"<class 'orva_backtest.modules.{module}.{module}.{module.title()}'>"), done.stderr


def test_python_started_in_the_checkout_imports_the_installed_package():
    done = run_python("import orva_backtest.modules.positions.positions as p; print(p.__file__)",
                      cwd=str(REPO))
    assert done.returncode == 0, done.stderr
    assert os.path.exists(done.stdout.strip())


def test_the_engine_and_the_command_line_load_no_report_library():
    done = run_python("""
        import sys
        import orva_backtest.cli, orva_backtest.runner
        import orva_backtest.modules.positions.positions as positions
        import orva_backtest.modules.matcher.matcher, orva_backtest.modules.ticker.ticker
        heavy = ("quantstats_lumi", "matplotlib", "scipy", "pandas", "jinja2", "bokeh", "dask")
        print(sorted(m for m in heavy if m in sys.modules))
        positions.template  # the report template loads when first asked for
        print("jinja2" in sys.modules)
    """)
    assert (done.returncode, done.stdout.splitlines()) == (0, ["[]", "True"]), done.stderr


def test_a_run_without_reports_loads_only_the_libraries_it_uses(tmp_path):
    # What only reports, other commands or other sources need is not loaded, nor what a library
    # brings in only for ways of reading files the run does not take (remote file systems).
    import orva_backtest.examples.ma_crossover as example
    args = ["run", example.__file__, "--codes", "2330:Stock,TXFR1:Future", "--start", "2024-03-04",
            "--end", "2024-03-05", "--no-reports", "--data-dir", str(tmp_path), "--json", str(tmp_path / "out.json")]
    assert run_python(f"from orva_backtest.cli import run_cli; run_cli({args!r})").returncode == 0  # the cache filled
    unused = ("quantstats_lumi", "matplotlib", "scipy", "pandas", "jinja2", "bokeh", "dask",
              "fsspec", "asyncio", "importlib.metadata", "rich.progress")  # no terminal: no bar
    # What the libraries a run does use load of these themselves (polars 2 on 3.11: importlib.metadata).
    used = run_python(f"""
        import sys, click, numpy, polars, rich.console, rich.table
        print(sorted(m for m in {unused!r} if m in sys.modules))
    """)
    done = run_python(f"""
        import sys
        from orva_backtest.cli import run_cli
        status = run_cli({args!r})
        print(status, sorted(m for m in {unused!r} if m in sys.modules))
    """, timeout=300)
    assert (done.returncode, done.stdout.splitlines()[-1]) == (0, f"0 {used.stdout.strip()}"), done.stderr


def fake_tool(path, text=""):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(f"#!/bin/sh\n{text}exit 0\n")
    path.chmod(0o755)


@pytest.mark.parametrize("pythons, summary", [
    (None, ["Python 3.11: passed", "Python 3.9: NOT TESTED (no Python 3.9 found: install it or set "
                                   "ORVA_PYTHON39)"]),
    ("python3", ["Python 3.11: passed", "Python 3.9: NOT TESTED (ORVA_PYTHONS names no Python 3.9)"]),
    ("{py39} python3", ["Python 3.9: passed", "Python 3.11: passed"]),
], ids=["no 3.9 found", "3.9 left out", "both"])
def test_the_test_command_says_when_python_3_9_went_untested(tmp_path, pythons, summary):
    # The test command in a copy of the checkout whose interpreters, venvs and build tools are
    # stand-ins that succeed: only its choice of interpreters and its summary are real.
    for name in ("lib.sh", "run_tests.sh"):
        (tmp_path / "scripts").mkdir(exist_ok=True)
        (tmp_path / "scripts" / name).write_text((REPO / "scripts" / name).read_text())
    for folder in ("src", "python", "tests/python"):
        (tmp_path / folder).mkdir(parents=True)
    for name in ("CMakeLists.txt", "pyproject.toml"):
        (tmp_path / name).touch()
    bin_dir = tmp_path / "bin"
    fake_tool(bin_dir / "id", "echo 1000\n")  # not root: the script installs nothing
    py39 = tmp_path / "elsewhere" / "python3.9"  # off PATH: found only when named
    for version, python in (("3.9", py39), ("3.11", bin_dir / "python3")):
        fake_tool(python, f'[ "$1" = -c ] && echo {version}\n')
        for tool in ("python", "cmake", "ctest"):
            fake_tool(tmp_path / ".venv" / f"py{version}" / "bin" / tool)
    env = {"PATH": f"{bin_dir}:/usr/bin:/bin", "HOME": str(tmp_path)}
    stamp = subprocess.run(["bash", "-c", "source scripts/lib.sh; source_stamp"], cwd=tmp_path,
                           env=env, capture_output=True, text=True, check=True).stdout
    for version in ("3.9", "3.11"):
        (tmp_path / ".venv" / f"py{version}" / ".orva-source-stamp").write_text(stamp)
    if pythons:
        env["ORVA_PYTHONS"] = pythons.format(py39=py39)
    done = subprocess.run(["bash", "scripts/run_tests.sh"], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("summary")[-1].split("\n")[1:-1] == [
        "    C++ core: passed", *(f"    {line}" for line in summary)]
