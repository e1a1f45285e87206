"""Research tools over a run's `BacktestResult`: statistics, the equity curve, the account
report and walk-forward tests."""
