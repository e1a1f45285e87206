"""Index option series: their codes, contract facts and expiry days.

A series code reads as product, expiry, right and strike: `TXO202601C23000` (the monthly
January 2026 call at 23000), `TXO202601W2P22800` (the put of the weekly that expires on the
second Wednesday of January 2026). A strike is written without a trailing ".0"; a fractional
one keeps its decimals (`TXO202601C22800.5`).

Expiry days, as the futures exchange sets them: a monthly contract expires on the third
Wednesday of its month; a weekly `YYYYMMWn` on the n-th Wednesday of that month (W1, W2, W4,
W5: the third is the monthly's), a Friday weekly `YYYYMMFn` on the n-th Friday. One that falls
on a holiday expires on the next trading day (2022's W1 of February, due on the 2nd in the
Lunar New Year, expired on the 7th).
"""
import re
from datetime import date, timedelta

from orva_backtest.data.contract_months import monthly_expiry
from orva_backtest.trading_days import trading_day_from

# The exchange's option products this system knows: the futures product of the same index
# (the price their expiry settles against) and the money one index point is worth.
PRODUCTS = {"TXO": {"underlying": "TXF", "multiplier": 50}}
RIGHTS = ("C", "P")
EXPIRY_PATTERN = r"\d{6}(?:[WF][1-5])?"
STRIKE_PATTERN = r"\d+(?:\.\d+)?"
MAX_STRIKE = 1e9  # the account's bound on a price; a larger strike makes a code no file name can hold
SERIES = re.compile(rf"(?P<product>[A-Z]+)(?P<expiry>{EXPIRY_PATTERN})(?P<right>[CP])(?P<strike>{STRIKE_PATTERN})")
_EXPIRY_TEXT = re.compile(EXPIRY_PATTERN)
_WEEKDAY = {"W": 2, "F": 4}  # Wednesday, Friday


def expiry_date(expiry):
    """The expiry day of "YYYYMM", "YYYYMMWn" or "YYYYMMFn"."""
    if (not isinstance(expiry, str) or not _EXPIRY_TEXT.fullmatch(expiry) or not 1 <= int(expiry[4:6]) <= 12
            or not 1990 <= int(expiry[:4]) <= 2099):  # the years a tick can have
        raise ValueError(f"到期月份(週別)需為 YYYYMM、YYYYMMWn 或 YYYYMMFn: {expiry!r}")
    if len(expiry) == 6:
        return monthly_expiry(expiry)
    if expiry[6:] == "W3":  # a second name for the monthly's day would make two series of one
        raise ValueError(f"第 3 個星期三是月契約的到期日, 請寫 {expiry[:6]}: {expiry!r}")
    first = date(int(expiry[:4]), int(expiry[4:6]), 1)
    day = first + timedelta(days=(_WEEKDAY[expiry[6]] - first.weekday()) % 7 + 7 * (int(expiry[7]) - 1))
    if day.month != first.month:
        raise ValueError(f"{expiry[:4]} 年 {int(expiry[4:6])} 月沒有第 {expiry[7]} 個"
                         f"{'星期三' if expiry[6] == 'W' else '星期五'}: {expiry!r}")
    return trading_day_from(day)


def strike_text(strike):
    """A strike as codes write it: 23000.0 → "23000", 22800.5 → "22800.5"."""
    return f"{strike:.10f}".rstrip("0").rstrip(".")


def series_code(product, expiry, right, strike):
    return f"{product}{expiry}{right}{strike_text(strike)}"


def contract_facts(code):
    """The contract facts of a series code: product, underlying, expiry, expiry_date
    ("YYYY-MM-DD"), strike, right ("C"/"P") and multiplier."""
    match = SERIES.fullmatch(code) if isinstance(code, str) else None
    if match is None:
        raise ValueError(f"{code!r} 不是選擇權序列代碼 (例如 TXO202601C23000, TXO202601W2P22800)")
    product, expiry, right, strike = match["product"], match["expiry"], match["right"], float(match["strike"])
    if product not in PRODUCTS:
        raise ValueError(f"{code}: 不支援的選擇權商品 {product} (支援: {', '.join(PRODUCTS)})")
    if not 0 < strike <= MAX_STRIKE or series_code(product, expiry, right, strike) != code:
        raise ValueError(f"{code}: 履約價需為不超過 {MAX_STRIKE:g} 的正數且不帶多餘的 0, "
                         f"例如 {series_code(product, expiry, right, min(max(strike, 1), MAX_STRIKE))}")
    try:
        expires = expiry_date(expiry)
    except ValueError as error:
        raise ValueError(f"{code}: {error}") from None
    return {"product": product, **PRODUCTS[product], "expiry": expiry, "expiry_date": expires.isoformat(),
            "strike": strike, "right": right}


def option_facts(codes):
    """{code: contract facts} of series codes, for the account."""
    return {code: contract_facts(code) for code in codes}
