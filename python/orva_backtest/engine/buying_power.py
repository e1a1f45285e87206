"""Buying power of the simulated account, and the opt-in check of a strategy's orders.

The account charges the whole value of an opening fill to its balance, futures included. For
futures the exchange asks only a margin per contract, so buying power counts an open futures
entry at its margin instead of its value: buying power = balance + the value the open futures
entries were charged at − their margins. A bought option has paid its premium; a written one
received it and holds the exchange's margin (premium value + max(A − out-of-the-money value, B),
at its last trade and the underlying's last price when the account has one, else without the
out-of-the-money part). For an account that trades only stocks it is the balance.
"""
from orva_backtest.constant import FutureMarginPerContract, OptionMargin
from orva_backtest.modules.positions.positions import option_margin


class InsufficientFunds(ValueError):
    """An order the account's buying power cannot pay for (with the cash check on)."""


def check_margins(margins, cash_check, markets):
    """Margins are read only by the cash check, and only for the run's futures: a margin
    given otherwise would be silently ignored, so it is refused (ValueError)."""
    if not margins:
        return
    if not cash_check:
        raise ValueError("保證金設定 (--margin) 只在資金檢查時使用, 請同時加上 --cash-check "
                         "(run_backtest: cash_check=True)")
    strays = sorted(code for code in margins if markets.get(code) != "Future")
    if strays:
        raise ValueError(f"保證金設定的商品不是本次回測的期貨: {', '.join(strays)}")


class BuyingPower:
    """Buying power of `account`, and what an order needs of it: price × shares + costs for
    stocks, the margin per contract + costs for futures (`margins` overrides the table), the
    premium + costs to buy an option and its margin less the premium + costs to write one
    (`option_margins`, {product: {"A": ..., "B": ...}}, overrides constant.OptionMargin)."""

    def __init__(self, account, markets, margins=None, option_margins=None):
        self.account, self.markets = account, markets
        self.margins = {**FutureMarginPerContract, **(margins or {})}
        self.option_margins = {**OptionMargin, **(option_margins or {})}
        self.futures = [code for code, market in markets.items() if market == "Future"]

    def margin(self, code, price):
        """Margin of one contract: the table's, or the contract's whole value when it has none."""
        per_contract = self.margins.get(code)
        if per_contract is None:
            return price * self.account._Positions__apply_future_contract_value(code)
        return per_contract

    def written_margin(self, code, premium):
        """Margin of one written contract of option series `code` at `premium`."""
        facts = self.account.option_contracts.get(code)
        if facts is None:
            raise ValueError(f"選擇權 {code} 沒有契約資料 (set_option_contracts)")
        terms = self.option_margins.get(facts["product"])
        if terms is None:
            raise ValueError(f"選擇權 {facts['product']} 沒有保證金設定 (A, B)")
        last = self.account.current_tick_infos.get(facts["underlying"])
        return option_margin(premium, facts["strike"], facts["right"], last["close"] if last else None,
                             facts["multiplier"], terms["A"], terms["B"])

    def _market(self, code):
        return "Option" if code in self.account.option_contracts else self.markets[code]

    def _opening(self, code, action, price, quantity, limit=None):
        """(slipped price, quantity in value units, fee + fixed cost) of opening `quantity`,
        as the account will charge it (a limit order's fill never slips past `limit`)."""
        record = self.account._Positions__calculate_trade_cost(
            code, action, float(price), quantity, self._market(code), ignore_tax=True,
            limit_price=limit)
        return record["price"], record["min_qty"], record["fee"] + record["fixed_cost"]

    def available(self):
        power = self.account.fetch_account_balance()
        for code in self.futures:
            sides = self.account.positions.get(code) or {}
            for entry in [*sides.get("buy", ()), *sides.get("sell", ())]:
                price, units, _ = self._opening(code, entry["action"], entry["price"],
                                                entry["quantity"], entry.get("limit_price"))
                # The value goes back, the fee and fixed cost stay paid.
                power += price * units - self.margin(code, price) * entry["quantity"]
        options = self.account.option_contracts  # built at every read: skipped when empty
        for code in (options.keys() & self.account.positions.keys() if options else ()):
            written = sum(e["quantity"] for e in self.account.positions[code].get("sell", ()))
            if written:
                last = self.account.current_tick_infos.get(code)
                premium = last["close"] if last else self.account.positions[code]["sell"][0]["price"]
                power -= self.written_margin(code, premium) * written
        return power

    def _held(self, code, action):
        """The open quantity of `code` that an `action` order covers (the opposite side)."""
        sides = self.account.positions.get(code)
        return sum(e["quantity"] for e in sides["sell" if action == "Buy" else "buy"]) if sides else 0

    def required(self, code, action, quantity, price, limited=False, covered=0):
        """What an order of `quantity` needs when `covered` of the position it would cover is
        already taken by orders before it: only the part that opens a position counts."""
        opening = quantity - max(0, self._held(code, action) - covered)
        if opening <= 0:
            return 0.0
        price, units, costs = self._opening(code, action, price, opening,
                                            price if limited else None)
        market = self._market(code)
        if market == "Stock" or (market == "Option" and action == "Buy"):
            return price * units + costs
        if market == "Option":  # the premium received goes toward the margin
            return (self.written_margin(code, price) * opening - price * units) + costs
        return self.margin(code, price) * opening + costs

    def check(self, code, action, quantity, price, resting, limited=False):
        """Raises InsufficientFunds when the order and the `resting` orders (their code,
        action, open quantity, price and whether it is a limit, in book order) together need
        more than the buying power. Orders ahead of it cover the position first, so each
        order is measured against the position those ahead leave; an order that only
        covers is never refused."""
        covered, need, own = {}, 0.0, 0.0
        for order in [*resting, (code, action, quantity, price, limited)]:
            o_code, o_action, o_quantity = order[:3]
            key = (o_code, o_action)
            own = self.required(*order, covered=covered.get(key, 0))
            covered[key] = covered.get(key, 0) + o_quantity
            need += own
        if own == 0:
            return
        power = self.available()
        if need > power:
            unit = "張" if self._market(code) == "Stock" else "口"
            raise InsufficientFunds(
                f"資金不足, 拒絕委託 {action} {code} {quantity} {unit} @ {price:,}: "
                f"需要 {need:,.0f} (含掛單中的委託), 可用 {power:,.0f}")
