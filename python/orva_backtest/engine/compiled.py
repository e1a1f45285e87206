"""Compiled strategies: a strategy whose per-tick logic is a numba function compiled to a C
callable, which the direct replay's C++ loop calls through its pointer with no interpreter in
between. Its orders reach the same exchange, account and reports as any strategy's.

numba is an optional dependency: ``pip install "orva_backtest[compiled]"``.

The per-tick function has the signature `TICK_ARGUMENTS` names, in order::

    time (float64, epoch seconds), code (int64, index into the strategy's `codes`),
    close (float64), volume (int64), tick_type (int64), bid, ask (float64; NaN unless the
    replay carries quotes and that side has a size), values, n_values (float64 state),
    counters, n_counters (int64 state), positions, n_codes (int64 net quantity per code
    index), orders, capacity

and returns how many order rows it wrote into `orders` (a float64 buffer of `capacity` rows of
`ORDER_FIELDS` numbers: code index, `BUY` or `SELL`, quantity, price or `MARKET`, `ROD`, `IOC`
or `FOK`), from row 0 on each call; a negative value stops the run with an error. The state
arrays are the strategy's own and persist across ticks; `positions` is kept current by the run
after every fill and every settlement at expiry. Reach them as arrays with ``numba.carray(values, n_values)``.
"""
import functools
import os
import reprlib
import time
import types

import numpy as np

from orva_backtest import utils
from orva_backtest.engine.strategy import Strategy

ORDER_FIELDS = 5
BUY, SELL = 1.0, -1.0
MARKET = 0.0
ROD, IOC, FOK = 0.0, 1.0, 2.0
TICK_ARGUMENTS = ("time", "code", "close", "volume", "tick_type", "bid", "ask", "values",
                  "n_values", "counters", "n_counters", "positions", "n_codes", "orders", "capacity")


def _numba():
    try:
        import numba
    except ImportError as error:
        raise ImportError('編譯策略需要 numba: pip install "orva_backtest[compiled]"') from error
    return numba


def tick_signature():
    """The numba signature of a per-tick function (see the module's doc)."""
    types = _numba().types
    f64, i64 = types.float64, types.int64
    return i64(f64, i64, f64, i64, i64, f64, f64, types.CPointer(f64), i64, types.CPointer(i64),
               i64, types.CPointer(i64), i64, types.CPointer(f64), i64)


def tick_function(function):
    """Compiles `function` (defined at the top level of a file) as a compiled strategy's
    per-tick function. The machine code is cached on disk beside the file, so a later run
    loads it instead of compiling; `compile_seconds` and `from_cache` tell which happened."""
    numba = _numba()
    began = time.perf_counter()
    try:
        compiled = numba.cfunc(tick_signature(), cache=True)(function)
    except Exception as error:
        compiled = numba.cfunc(tick_signature())(function)  # a fault of the function raises here again
        source = function.__code__.co_filename
        if os.path.isfile(source):  # else typed at a prompt: nowhere to cache
            # numba keeps its cache in NUMBA_CACHE_DIR when that is set, else beside the file
            folder = numba.config.CACHE_DIR or os.path.join(os.path.dirname(os.path.abspath(source)),
                                                            "__pycache__")
            utils.console.print(f"[yellow]{function.__name__} 的 numba 磁碟快取無法使用, 改為不經快取編譯 "
                                f"(可清除 {folder} 中 {os.path.basename(source)} 的快取): "
                                f"{type(error).__name__}: {error}[/yellow]")
    compiled.compile_seconds = time.perf_counter() - began
    compiled.from_cache = compiled.cache_hits > 0
    return compiled


class _StateArray:
    """One of the function's state arrays, converted whenever it is given. While a run holds it
    (the loop reads the array it was given at the start), new contents are copied into it."""

    def __init__(self, dtype, doc):
        self.dtype, self.__doc__ = dtype, doc

    def __set_name__(self, owner, name):
        self.name, self.slot = name, "_" + name

    def __get__(self, strategy, owner=None):
        return self if strategy is None else getattr(strategy, self.slot)

    def __set__(self, strategy, given):
        state = _state(given, self.dtype, self.name)
        if not strategy._driving:
            setattr(strategy, self.slot, state)
            return
        held = getattr(strategy, self.slot)
        if state.size != held.size:
            raise ValueError(f"回測進行中 {self.name} 只能換內容, 不能改長度: {held.size} → {state.size}")
        held[:] = state


class CompiledStrategy(Strategy):
    """A strategy whose ``on_tick`` is the compiled `function` (see `tick_function`), called
    for every tick of `codes` (a subset of the run's instruments; all of them by default,
    in the order given to the run). `values` and `counters` are its float64 and int64 state,
    given as initial contents; `max_orders` is how many orders it may place on one tick.

    Subclasses may define the other callbacks (``on_start``, ``on_bar``, ``on_finish``, the
    reports) as any strategy; `positions` is made current before a subclass's own
    ``on_deal_report`` runs. Runs in the direct mode only, without the cash check.
    """

    values = _StateArray(np.float64, "The function's float64 state.")
    counters = _StateArray(np.int64, "The function's int64 state.")

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        own = cls.__dict__.get("on_deal_report")
        if isinstance(own, types.FunctionType):  # one that forgets super() still keeps positions
            @functools.wraps(own)
            def on_deal_report(self, ctx, report):
                CompiledStrategy.on_deal_report(self, ctx, report)
                return own(self, ctx, report)
            cls.on_deal_report = on_deal_report

    def __init__(self, function, codes=None, values=(), counters=(), max_orders=8):
        if (getattr(function, "_sig", None) != tick_signature() or not hasattr(function, "address")
                or not hasattr(function, "compile_seconds")):  # a plain numba.cfunc reports no compile
            raise TypeError(f"編譯策略的函式必須是 tick_function 編譯的 C 函式, 收到: {function!r}")
        if type(max_orders) is not int or max_orders < 1:
            raise ValueError(f"max_orders 必須是大於 0 的整數: {max_orders!r}")
        self.function = function
        if isinstance(codes, str):
            codes = [codes]  # one code, not its characters
        self.codes = None if codes is None else [str(code) for code in codes]
        self._driving = False  # between drive_setup and the run's end the loop holds the state
        self.values, self.counters = values, counters
        self.orders = np.zeros(max_orders * ORDER_FIELDS, dtype=np.float64)
        self.positions = np.zeros(0, dtype=np.int64)
        self._ctx_codes = {}  # code → index into `positions`

    @property
    def compile_seconds(self):
        """Seconds the function took to compile, or to load from the disk cache."""
        return self.function.compile_seconds

    def _compile_seconds_of_run(self):
        """What the run paid to compile the function: its compile for the process's first run
        of it, 0.0 for later ones."""
        paid = getattr(self.function, "_run_paid_compile", False)
        self.function._run_paid_compile = True
        return 0.0 if paid else self.function.compile_seconds

    def drive_setup(self, markets, refuse=None):
        """What the direct replay's loop takes as `compiled`, for a run of `markets`
        ({code: "Stock", "Future" or "Option"}); the positions start flat. `refuse(code,
        seconds)`, when given, is asked before an option series' orders are placed and raises
        to stop the run (the context's check of a settled series)."""
        codes = list(markets) if self.codes is None else self.codes
        missing = [code for code in codes if code not in markets]
        if missing or not codes:
            raise ValueError(f"編譯策略的商品不在回測商品中: {', '.join(missing) or '(無)'}")
        if len(set(codes)) != len(codes):
            raise ValueError(f"編譯策略的商品重複: {', '.join(codes)}")
        self.positions = np.zeros(len(codes), dtype=np.int64)
        self._ctx_codes = {code: i for i, code in enumerate(codes)}
        self._driving = True
        return (self.function.address, self.values, self.counters, self.positions, self.orders,
                codes, [markets[code] for code in codes], refuse)

    def on_deal_report(self, ctx, report):
        """Keeps `positions` current: the compiled function reads it, never the account."""
        index = self._ctx_codes.get(report.get("code"))
        if index is not None:
            self.positions[index] = ctx.account.net_quantity(report["code"])  # ctx.position's

    def _drive_ended(self):
        self._driving = False

    def _keep_positions(self, account):
        """`positions` read again from `account`, after what the run's end settled."""
        for code, index in self._ctx_codes.items():
            self.positions[index] = account.net_quantity(code)


def _state(given, dtype, name):
    """`given` as a flat state array of `dtype`, refused (naming `name`) when it is not numbers
    or a value would change on the way (as int64: a fraction, NaN, past its range)."""
    try:
        raw = np.asarray(given)
        numbers = raw.dtype.kind in "biuf"
    except ValueError:  # rows of different lengths
        numbers = False
    if not numbers:
        raise TypeError(f"{name} 必須是 {np.dtype(dtype).name} 能存的數值, "
                        f"收到 {type(given).__name__}: {reprlib.repr(given)}")
    raw = raw.ravel()
    with np.errstate(invalid="ignore", over="ignore"):
        state = raw.astype(dtype)
        back = state.astype(raw.dtype)  # compared in the given type: 2**53 + 1 is not 2.0**53
    changed = (back != raw) | ((state < 0) != (raw < 0))  # the sign: uint64's top wraps to -1
    if raw.dtype.kind == "f":
        changed &= ~(np.isnan(back) & np.isnan(raw))
    changed = np.flatnonzero(changed)
    if changed.size:
        at = changed[0]
        raise ValueError(f"{name} 的第 {at} 個數值無法存成 {np.dtype(dtype).name}: {raw[at].item()!r}")
    return state


def check_run(strategy, mode, cash_check):
    """Refuses what a compiled strategy cannot run under, before the run starts."""
    if not isinstance(strategy, CompiledStrategy):
        return
    if mode != "direct":
        raise ValueError(f"編譯策略只能在 direct 模式回放, 不支援 {mode}")
    if cash_check:
        raise ValueError("編譯策略不支援資金檢查 (cash_check)")
    if callable(getattr(strategy, "on_tick", None)):
        raise ValueError(f"編譯策略的 on_tick 是編譯的函式, {type(strategy).__name__} 不可再定義 on_tick")
