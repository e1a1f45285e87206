"""The instruments a run names: "2330:Stock", (code, market) pairs or {"code", "market"} dicts,
checked once for every command and function that takes them."""
from orva_backtest.data.option_chains import check_option_name

MARKETS = ("Stock", "Future", "Option")


def parse_instruments(instruments):
    """[{"code", "market"}] from "2330:Stock" texts, (code, market) pairs or such dicts."""
    markets = {}  # a code listed twice is replayed once; listed in two markets it is refused
    for entry in instruments:
        if isinstance(entry, str):
            code, _, market = entry.partition(":")
            market = market.strip() or "Stock"
        elif isinstance(entry, dict):
            code, market = entry.get("code"), entry.get("market")
        else:
            code, market = entry
        if not isinstance(code, str) or not code.strip():
            raise ValueError(f"商品代碼不可為空: {entry!r}")
        market = {m.lower(): m for m in MARKETS}.get(market.strip().lower() if isinstance(market, str) else None)
        if market is None:
            raise ValueError(f"不支援的市場 {entry!r}, 請用 Stock、Future 或 Option")
        code = code.strip()
        if market == "Future" and not code[0].isalpha():  # stock codes are digits, futures letters
            raise ValueError(f"{code} 不是期貨代碼 (期貨代碼以英文字母開頭, 例如 TXFR1); 股票請寫 {code}:Stock")
        check_option_name(code, market)
        if markets.setdefault(code, market) != market:
            raise ValueError(f"商品 {code} 不可同時列在 {markets[code]} 與 {market}")
    if not markets:
        raise ValueError("至少需要一個商品")
    return [{"code": code, "market": market} for code, market in markets.items()]
