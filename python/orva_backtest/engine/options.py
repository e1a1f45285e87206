"""The option chain a strategy sees: every series of the run's option chains as one polars
frame (last trade, the day's volume, implied volatility and greeks against the underlying
futures), the expiries in the run, and helpers that pick a series by delta or moneyness."""
import math
from datetime import datetime, time, timezone

import polars as pl

from orva_backtest.data.contract_months import monthly_expiry
from orva_backtest.trading_days import FUTURES_DAY_END, taipei_ns, trading_day_from
from orva_backtest.utils import format_to_dt

SECONDS_PER_YEAR = 365 * 86400
SETTLES_AT = time(13, 30)  # the final settlement price is the index average up to 13:30
COLUMNS = ["code", "expiry", "strike", "right", "last", "volume", "last_trade_time", "iv",
           "delta", "gamma", "vega", "theta", "underlying"]


class OptionChain:
    """The series of a run's option chains, read from the exchange's and the quotes' state at
    the moment a strategy asks (nothing is kept per tick).

    `facts`: {code: contract facts} of the run's series; `last_tick(code)` the latest tick
    record of a code (None before its first); `day_volume(code)` the quantity traded in the
    code's current trading day; `futures_price(facts)` the price of the futures that the
    series is written on, or None when the run holds none (the forward is then read from the
    chain itself by put-call parity); `rate` the yearly rate of Black-76, continuous.
    """

    def __init__(self, facts, last_tick, day_volume, futures_price, rate=0.0):
        if not isinstance(rate, (int, float)) or isinstance(rate, bool) or not math.isfinite(rate):
            raise ValueError(f"利率必須是有限的數字: {rate!r}")
        self._facts = dict(facts)
        self._last_tick, self._day_volume = last_tick, day_volume
        self._futures_price, self._rate = futures_price, float(rate)
        order = sorted(self._facts.values(), key=lambda f: (f["expiry_date"], f["expiry"]))
        self._expiries = list(dict.fromkeys(f["expiry"] for f in order))
        self._expiry_dates = {f["expiry"]: f["expiry_date"] for f in order}
        self._settled = -math.inf  # what the run settled without a tick: at its end

    def settled_until(self, until):
        """The run settled every expiry before `until` (epoch seconds) though no tick came."""
        self._settled = max(self._settled, until)

    def expiries(self, now=None):
        """The run's expiries ("202601", "202601W2"), nearest first; with `now` (epoch seconds)
        only those not yet settled."""
        now = self._at(now)
        return [e for e in self._expiries if not _past(self._expiry_dates[e], now)]

    def has_settled(self, code, now):
        """Whether `code`, one of the run's series, had settled at `now` (epoch seconds)."""
        facts = self._facts.get(code)
        return facts is not None and _past(facts["expiry_date"], self._at(now))

    def _at(self, now):
        """The moment the chain is read at: past a settlement the run made without a tick."""
        return self._settled if now is None else max(now, self._settled)

    def frame(self, now, expiry=None):
        """The chain at `now` (epoch seconds): one row per series that has traded and not yet
        settled, by expiry, right and strike; only `expiry`'s series when given."""
        if expiry is not None and expiry not in self._expiry_dates:
            raise ValueError(f"回測中沒有到期 {expiry!r} 的選擇權, 可用: {', '.join(self._expiries)}")
        now, rows = self._at(now), []
        for code, facts in self._facts.items():
            if expiry is not None and facts["expiry"] != expiry:
                continue
            if _past(facts["expiry_date"], now):  # settled: it left the board
                continue
            tick = self._last_tick(code)
            if tick is None:
                continue
            rows.append((code, facts["expiry"], facts["strike"], facts["right"], tick["close"],
                         self._day_volume(code), datetime.fromtimestamp(tick["timestamp"])))
        table = pl.DataFrame(rows, schema={"code": pl.Utf8, "expiry": pl.Utf8, "strike": pl.Float64,
                                           "right": pl.Utf8, "last": pl.Float64, "volume": pl.Int64,
                                           "last_trade_time": pl.Datetime("us")}, orient="row")
        table = table.sort(["expiry", "right", "strike"])
        return self._with_greeks(table, now)

    def _with_greeks(self, table, now):
        forwards, years = [], []
        by_expiry = {}
        for expiry, facts_of in _first_facts(self._facts, table["code"]).items():
            price = self._futures_price(facts_of)
            if price is None:
                price = parity_forward(table.filter(pl.col("expiry") == expiry),
                                       _years_left(facts_of["expiry_date"], now), self._rate)
            by_expiry[expiry] = (price, _years_left(facts_of["expiry_date"], now))
        for expiry in table["expiry"]:
            forward, left = by_expiry[expiry]
            forwards.append(math.nan if forward is None else forward)
            years.append(left)
        greeks = black76_table(table["right"].to_list(), forwards, table["strike"].to_list(), years,
                               self._rate, table["last"].to_list())
        return table.with_columns(**{name: pl.Series(values, dtype=pl.Float64)
                                     for name, values in greeks.items()},
                                  underlying=pl.Series(forwards, dtype=pl.Float64)).select(COLUMNS)


def futures_prices(markets, last_tick):
    """`futures_price(facts)` for `OptionChain`: the last trade of the run's continuous futures
    of the series' underlying (TXFR1 for TXO) when it trades the series' month: always for a
    weekly, and for a monthly series of the front month; None otherwise."""
    series = [code for code, market in markets.items() if market == "Future"]

    def price(facts):
        for code in series:
            tick = last_tick(code) if code.startswith(facts["underlying"]) else None
            if tick is not None and ("W" in facts["expiry"] or facts["expiry"] == front_month(tick["timestamp"])):
                return tick["close"]
        return None
    return price


def front_month(now):
    """The front contract month ("YYYYMM") at `now` (epoch seconds): the trading day's own month
    until its expiry day, then the next."""
    day = trading_day_from(datetime.fromtimestamp(now + (32 - FUTURES_DAY_END.hour) * 3600, timezone.utc).date())
    month = f"{day.year}{day.month:02d}"
    if day <= monthly_expiry(month):
        return month
    return f"{day.year + day.month // 12}{day.month % 12 + 1:02d}"


def black76_table(rights, forwards, strikes, years, rate, prices):
    """{iv, delta, gamma, vega, theta: [..]} of each row, from the core's Black-76 (NaN where no
    volatility gives the price); theta per year."""
    if not rights:
        return {name: [] for name in ("iv", "delta", "gamma", "vega", "theta")}
    from orva_backtest.modules.positions.positions import black76, implied_vol
    vols = implied_vol(prices, forwards, strikes, years, rights, rate)
    figures = black76(forwards, strikes, years, vols, rights, rate)
    return {"iv": vols, **{name: figures[name] for name in ("delta", "gamma", "vega", "theta")}}


def parity_forward(series, years, rate):
    """The forward that put-call parity reads from an expiry's chain: at the strike where the
    call and the put trade closest, F = K + (C - P) e^(rT); None without such a pair."""
    calls, puts = ({k: p for k, r, p in zip(series["strike"], series["right"], series["last"]) if r == side}
                   for side in ("C", "P"))
    pairs = [(abs(calls[k] - p), k, calls[k] - p) for k, p in puts.items() if k in calls]
    if not pairs:
        return None
    _, strike, difference = min(pairs)
    return strike + difference * math.exp(rate * years)


def by_delta(chain, right, delta):
    """The code of the `right` ("C" or "P") series whose |delta| is nearest `delta` (0 to 1),
    or None when none has a delta."""
    if not (isinstance(delta, (int, float)) and not isinstance(delta, bool) and 0 < delta < 1):
        raise ValueError(f"delta 必須介於 0 與 1 之間: {delta!r}")
    return _nearest(chain, right, pl.col("delta").abs(), delta)


def by_moneyness(chain, right, moneyness):
    """The code of the `right` series whose strike / underlying is nearest `moneyness` (1 is
    at the money), or None when the underlying is unknown."""
    if not (isinstance(moneyness, (int, float)) and math.isfinite(moneyness) and moneyness > 0):
        raise ValueError(f"價性必須是大於 0 的數字 (履約價 / 標的價): {moneyness!r}")
    return _nearest(chain, right, pl.col("strike") / pl.col("underlying"), moneyness)


def _nearest(chain, right, measure, target):
    if right not in ("C", "P"):
        raise ValueError(f"買賣權別必須是 C 或 P: {right!r}")
    found = (chain.filter(pl.col("right") == right).with_columns(gap=(measure - target).abs())
             .filter(pl.col("gap").is_not_nan() & pl.col("gap").is_not_null()).sort(["gap", "strike"]))
    return found["code"][0] if found.height else None


def _first_facts(facts, codes):
    """{expiry: the facts of one of its series} of the expiries among `codes`."""
    out = {}
    for code in codes:
        out.setdefault(facts[code]["expiry"], facts[code])
    return out


def _years_left(expiry_date, now):
    """Years from `now` (epoch seconds) to the expiry's settlement, 0 once it has passed."""
    return max(_settles(expiry_date) - now, 0.0) / SECONDS_PER_YEAR


def _past(expiry_date, now):
    """Whether an expiry day's series had settled at `now` (epoch seconds). The closing
    auction's trade at 13:30:00 is still the series' own: settled only past it."""
    return now > _settles(expiry_date)


def _settles(expiry_date):
    """The moment (epoch seconds) an expiry day's series settle."""
    return taipei_ns(datetime.strptime(expiry_date, "%Y-%m-%d").date(), SETTLES_AT) / 1e9


def set_up_options(account, ctx, markets, data_dir, settlements, end, notes):
    """Tells the account the run's option series and their final settlement prices, and gives
    `ctx` their chain. A price the user supplied for an expiry day is used as it is; otherwise
    the expiring futures' last trade by 13:30 of that day in the tick cache, and `notes` says
    which it was, or that an expiry by the run's `end` day has neither (a series held then stops
    the run, naming it)."""
    from orva_backtest.data.option_contracts import option_facts
    facts = option_facts([code for code, market in markets.items() if market == "Option"])
    if not facts:
        return
    # The account reads the underlying's price by code: the continuous series the cache holds.
    account.set_option_contracts({code: {**f, "underlying": FUTURES_SERIES.get(f["underlying"], f["underlying"])}
                                  for code, f in facts.items()})
    last_day = format_to_dt(end).date().isoformat()
    supplied, approximated = {}, {}
    for day, underlying in sorted({(f["expiry_date"], f["underlying"]) for f in facts.values()}):
        if day in settlements:
            supplied[day] = settlements[day]
            continue
        price = _futures_last_trade(data_dir, underlying, day)
        if price is not None:
            approximated[day] = price
            notes.append(f"選擇權 {day} 到期的最後結算價以 {FUTURES_SERIES.get(underlying, underlying)} "
                         f"當天 13:30 前的最後成交 {price:g} 估計 (可用 --settlement 指定)")
        elif day <= last_day:  # a strategy holding nothing then needs none
            notes.append(f"選擇權 {day} 到期沒有最後結算價: 屆時仍持有將停止回測; 請用 --settlement 檔案 (日期,價格) "
                         f"指定, 或先以 import-taifex 匯入當天的期貨檔 ({FUTURES_SERIES.get(underlying, underlying)})")
    account.set_option_settlements(supplied, approximated)
    ctx._options = _chain_of(ctx, markets, facts)


def settle_expired(account, ctx, end):
    """Settles the series that expired by the end of the run's `end` day ("YYYY-MM-DD") when no
    later tick did; the exchange cancels what rests on them, and the chain moves past them."""
    if ctx._options is not None:
        until = taipei_ns(format_to_dt(end).date(), time(23, 59, 59)) / 1e9
        account.settle_options(until)
        ctx.matcher.cancel_expired(until)
        ctx._options.settled_until(until)


FUTURES_SERIES = {"TXF": "TXFR1"}  # the continuous series import-taifex files an underlying under


def _futures_last_trade(data_dir, underlying, day):
    """The last trade by 13:30 of `day` of the underlying's continuous futures in the cache (the
    expiring month's on its expiry day), or None when that day is not cached."""
    from orva_backtest.data.tick_import import DayWriter
    ticks = DayWriter(FUTURES_SERIES.get(underlying, underlying), data_dir).cached(day)
    if ticks is None:
        return None
    until = taipei_ns(datetime.strptime(day, "%Y-%m-%d").date(), SETTLES_AT)
    before = ticks.filter(pl.col("ts") <= until)
    return float(before["close"][-1]) if before.height else None


def _chain_of(ctx, markets, facts):
    def last_tick(code):
        info = ctx.matcher.current_tick_infos.get(code)
        return info["tick"] if info else None

    def day_volume(code):
        bars = ctx.quotes.get_kbar(code, "d", 1)
        return int(bars["Volume"][-1]) if bars.height else 0
    from orva_backtest.constant import OptionRiskFreeRate
    return OptionChain(facts, last_tick, day_volume, futures_prices(markets, last_tick), OptionRiskFreeRate)
