"""`python -m orva_backtest`: the same command line as `orva-backtest`."""
from orva_backtest.cli import entry_point

if __name__ == "__main__":
    entry_point()
