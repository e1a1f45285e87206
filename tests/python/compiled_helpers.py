"""Per-tick functions for the compiled-strategy tests (compiled on import; needs numba)."""
import numba

from orva_backtest.compiled import tick_function


@tick_function
def one_row(time, code, close, volume, tick_type, bid, ask, values, n_values, counters,
            n_counters, positions, n_codes, orders, capacity):
    """On the tick numbered counters[1]: values[0:5] as order row counters[4] (0 when not
    given; past the buffer's rows when asked), returning counters[0];
    counts its ticks and those without quotes (NaN bid and ask), and keeps in values[5] the
    positions it last saw (the first times 1000 plus the second)."""
    state = numba.carray(counters, n_counters)
    row = numba.carray(values, n_values)
    state[2] += 1
    if bid != bid and ask != ask:
        state[3] += 1
    seen = 0
    for i in range(n_codes):
        seen = seen * 1000 + positions[i]
    row[5] = seen
    if state[2] != state[1]:
        return 0
    at = state[4] * 5 if n_counters > 4 else 0
    for i in range(5):
        orders[at + i] = row[i]
    return state[0]


@tick_function
def raise_on(time, code, close, volume, tick_type, bid, ask, values, n_values, counters,
             n_counters, positions, n_codes, orders, capacity):
    """Counts its ticks in counters[0] and raises on the tick numbered counters[1]."""
    state = numba.carray(counters, n_counters)
    state[0] += 1
    if state[0] == state[1]:
        raise ZeroDivisionError("均價的分母為 0")
    return 0
