"""Research over many runs of a strategy: parameter sweeps on a local cluster and their table
and heatmap, and walk-forward tests."""
