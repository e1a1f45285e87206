"""The run and what it leaves: the runner and its two replay modes, the strategy interface and
its loading, compiled strategies, buying power, the market rules in force, the options a
strategy reads, the result with its statistics and equity curve, and the files a run writes."""
