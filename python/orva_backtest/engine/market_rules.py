"""The Taiwan market's rules that a run applies by default, beyond the account and exchange
as described: the day-trade tax, the broker's fee discount and minimum, daily price limits,
futures expiry and the roll, and transaction tax on the side that owes it. `rules="plain"`
runs the described account and exchange alone.

Sources: the securities transaction tax act (0.3 % on a sale; 0.15 % on a same-day round
trip's sale through 2027-12-31; 0.1 % on an ETF's sale), the exchanges' ±10 % daily price limits, the futures
transaction tax (0.002 % of the contract value on each side), brokers' fee schedules (0.1425 %
times their discount, at least 20 a fill of board lots).
"""
import math
from dataclasses import dataclass, field
from typing import Dict, Optional

NAMES = ("taiwan", "plain")
ROLLS = ("settle", "reopen")
DAY_TRADE_TAX_RATE = 0.0015
DAY_TRADE_TAX_UNTIL = "2027-12-31"
ETF_TAX_RATE = 0.001  # an ETF's sale (codes beginning "00"), a day trade's too
PRICE_LIMIT = 0.10
MIN_FEE = 20.0


@dataclass(frozen=True)
class MarketRules:
    """The rules of a run. `fee_discount` times the stock fee rate, `min_fee` per stock fill;
    `roll`: "settle" closes a futures position at its month's expiry, "reopen" also reopens it
    in the next month; `settlements`: {expiry day "YYYY-MM-DD": final settlement price}, else
    the expiring month's last trade."""
    name: str = "taiwan"
    fee_discount: float = 1.0
    min_fee: float = MIN_FEE
    roll: str = "settle"
    settlements: Dict[str, float] = field(default_factory=dict)

    @property
    def taiwan(self):
        return self.name == "taiwan"

    def account_rules(self) -> Optional[dict]:
        """What `Positions.set_market_rules` takes; None under the plain rules."""
        if not self.taiwan:
            return None
        return {"fee_discount": self.fee_discount, "min_fee": self.min_fee, "tax_where_owed": True,
                "day_trade_tax_rate": DAY_TRADE_TAX_RATE, "day_trade_tax_until": DAY_TRADE_TAX_UNTIL,
                "etf_tax_rate": ETF_TAX_RATE}

    def price_limit(self) -> Optional[float]:
        return PRICE_LIMIT if self.taiwan else None

    def describe(self) -> dict:
        """The rules in force, as the summary, the JSON and the reports name them."""
        if not self.taiwan:
            return {"name": "plain"}
        return {"name": "taiwan", "day_trade_tax_rate": DAY_TRADE_TAX_RATE,
                "day_trade_tax_until": DAY_TRADE_TAX_UNTIL, "etf_tax_rate": ETF_TAX_RATE,
                "fee_discount": self.fee_discount,
                "min_fee": self.min_fee, "price_limit": PRICE_LIMIT, "tax_where_owed": True,
                "roll": self.roll, "settlements": len(self.settlements)}


def market_rules(rules="taiwan", *, fee_discount=None, min_fee=None, roll=None, settlements=None):
    """Checked `MarketRules`: `rules` is "taiwan", "plain" or a `MarketRules`; the other
    arguments change the Taiwan rules' defaults (`settlements`: a dict or a CSV path of
    date,price rows) and are refused under the plain rules, which have none of them."""
    if isinstance(rules, MarketRules):
        chosen = rules
    else:
        name = str(rules).strip().lower()
        if name not in NAMES:
            raise ValueError(f"不支援的市場規則 {rules!r}, 請用 taiwan 或 plain")
        chosen = MarketRules(name=name)
    given = {"fee_discount": fee_discount, "min_fee": min_fee, "roll": roll,
             "settlements": settlements}
    given = {key: value for key, value in given.items() if value is not None}
    if given and not chosen.taiwan:
        raise ValueError(f"市場規則 plain 沒有這些設定: {', '.join(given)} (請用 --rules taiwan)")
    if "fee_discount" in given:
        value = _number(given["fee_discount"], "fee_discount")
        if not 0 < value <= 1:
            raise ValueError(f"fee_discount 必須大於 0 且不大於 1 (例如 0.28), 收到: {fee_discount!r}")
        given["fee_discount"] = value
    if "min_fee" in given:
        value = _number(given["min_fee"], "min_fee")
        if value < 0:
            raise ValueError(f"min_fee 不可為負數, 收到: {min_fee!r}")
        given["min_fee"] = value
    if "roll" in given and given["roll"] not in ROLLS:
        raise ValueError(f"roll 只能是 settle 或 reopen, 收到: {roll!r}")
    if "settlements" in given:
        from orva_backtest.data.contract_months import checked_settlements, read_settlements
        settlements = given["settlements"]
        given["settlements"] = (checked_settlements(settlements) if isinstance(settlements, dict)
                                else read_settlements(settlements))
    chosen = MarketRules(**{**chosen.__dict__, **given})
    if chosen.taiwan:  # the account's own bounds, before a sweep hands them to every task
        from orva_backtest.modules.positions.positions import Positions
        Positions().set_market_rules(chosen.account_rules())
    return chosen


def _number(value, name):
    try:
        number = float(value)
    except (TypeError, ValueError):
        number = math.nan
    if isinstance(value, bool) or not math.isfinite(number):
        raise ValueError(f"{name} 必須是有限數值, 收到: {value!r}")
    return number


def apply_rules(rules, account, markets, data_dir, synthetic, notes):
    """Gives the account its rules and, for each futures series with recorded contract months,
    the expiries it settles; `notes` gets what the run should say of them."""
    from orva_backtest.data.contract_months import read_months, rolls
    account_rules = rules.account_rules()
    if account_rules is None:
        return
    account.set_market_rules(account_rules)
    notes.append("首個交易日沒有前一日收盤價, 當日不設漲跌幅限制")
    futures = [code for code, market in markets.items() if market == "Future"]
    if futures and synthetic:
        notes.append("合成行情的期貨沒有到期與轉倉")
        return
    for code in futures:
        months = read_months(data_dir, code)
        if not months:
            notes.append(f"{code} 沒有合約月份紀錄 (由 import-taifex 寫入), 不做到期結算")
        expiries, gaps = rolls(months, rules.settlements)
        notes.extend(f"{code} {gap}" for gap in gaps)
        account.set_expiries(code, expiries, reopen=rules.roll == "reopen")


def rules_line(described, day_trades=0):
    """One line naming the rules in force (`MarketRules.describe()` and its notes)."""
    if described.get("name") != "taiwan":
        return "市場規則 plain: 只依手續費、稅與滑價設定計算 (交易稅於平倉時收取, 無漲跌幅限制與到期結算)"
    roll = {"settle": "到期結算", "reopen": "到期結算並轉倉"}[described["roll"]]
    notes = "".join(f"; {note}" for note in described.get("notes", ()))
    return (f"市場規則 taiwan: 當沖交易稅 {described['day_trade_tax_rate']:.2%} "
            f"(至 {described['day_trade_tax_until']}, 本次 {day_trades:,} 筆當沖), "
            f"ETF 證交稅 {described['etf_tax_rate']:.1%}, "
            f"證交稅於賣出、期交稅雙邊, 股票手續費折扣 {described['fee_discount']:g} "
            f"每筆最低 {described['min_fee']:g} 元, 漲跌幅 ±{described['price_limit']:.0%}, "
            f"期貨{roll}{notes}")
