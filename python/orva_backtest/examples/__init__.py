"""Example strategies; `orva-backtest demo` runs the moving-average crossover."""
