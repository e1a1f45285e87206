"""The 50-tick mean strategy of runner_strategies.py, compiled (needs numba): the same
decisions from the same arithmetic, so both place the same orders on the same ticks."""
import numba
import numpy as np

from orva_backtest.engine.compiled import BUY, MARKET, ROD, SELL, CompiledStrategy, tick_function

WINDOW = 50


@tick_function
def mean50_tick(time, code, close, volume, tick_type, bid, ask, values, n_values, counters,
                n_counters, positions, n_codes, orders, capacity):
    closes = numba.carray(values, n_values)  # the last 50 closes, a ring
    state = numba.carray(counters, n_counters)  # closes seen, next slot
    seen, slot = state[0], state[1]
    closes[slot] = close
    state[0], state[1] = seen + 1, (slot + 1) % WINDOW
    if seen + 1 < WINDOW:
        return 0
    total = 0.0  # oldest first, as Python's sum() of the deque adds them
    for i in range(slot + 1, WINDOW):
        total += closes[i]
    for i in range(slot + 1):
        total += closes[i]
    mean = total / WINDOW
    held = positions[code]
    if close > mean and held == 0:
        action = BUY
    elif close < mean and held > 0:
        action = SELL
    else:
        return 0
    buffer = numba.carray(orders, capacity * 5)
    buffer[0], buffer[1], buffer[2], buffer[3], buffer[4] = code, action, 1.0, MARKET, ROD
    return 1


class CompiledMean50(CompiledStrategy):
    """Long 2330 while its close is above the mean of its last 50 closes, flat below it."""

    def __init__(self):
        super().__init__(mean50_tick, codes=["2330"], values=np.zeros(WINDOW), counters=[0, 0])
