"""Tick-replay backtesting simulator for the Taiwan stock and futures markets."""
