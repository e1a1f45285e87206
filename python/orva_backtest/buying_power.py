"""Buying power of the simulated account, and the opt-in check of a strategy's orders.

The account charges the whole value of an opening fill to its balance, futures included. For
futures the exchange asks only a margin per contract, so buying power counts an open futures
entry at its margin instead of its value: buying power = balance + the value the open futures
entries were charged at − their margins. For an account that trades only stocks it is the balance.
"""
from orva_backtest.constant import FutureMarginPerContract


class InsufficientFunds(ValueError):
    """An order the account's buying power cannot pay for (with the cash check on)."""


class BuyingPower:
    """Buying power of `account`, and what an order needs of it: price × shares + costs for
    stocks, the margin per contract + costs for futures (`margins` overrides the table)."""

    def __init__(self, account, markets, margins=None):
        self.account, self.markets = account, markets
        self.margins = {**FutureMarginPerContract, **(margins or {})}
        self.futures = [code for code, market in markets.items() if market == "Future"]

    def margin(self, code, price):
        """Margin of one contract: the table's, or the contract's whole value when it has none."""
        per_contract = self.margins.get(code)
        if per_contract is None:
            return price * self.account._Positions__apply_future_contract_value(code)
        return per_contract

    def _opening(self, code, action, price, quantity):
        """(slipped price, quantity in value units, fee + fixed cost) of opening `quantity`,
        as the account will charge it."""
        record = self.account._Positions__calculate_trade_cost(
            code, action, float(price), quantity, self.markets[code], ignore_tax=True)
        return record["price"], record["min_qty"], record["fee"] + record["fixed_cost"]

    def available(self):
        power = self.account.fetch_account_balance()
        for code in self.futures:
            sides = self.account.positions.get(code) or {}
            for entry in [*sides.get("buy", ()), *sides.get("sell", ())]:
                price, units, _ = self._opening(code, entry["action"], entry["price"],
                                                entry["quantity"])
                # The value goes back, the fee and fixed cost stay paid.
                power += price * units - self.margin(code, price) * entry["quantity"]
        return power

    def required(self, code, action, quantity, price):
        """What an order of `quantity` needs: only the part that opens a position counts."""
        sides = self.account.positions.get(code)
        held = sum(e["quantity"] for e in sides["sell" if action == "Buy" else "buy"]) if sides else 0
        opening = quantity - held
        if opening <= 0:
            return 0.0
        price, units, costs = self._opening(code, action, price, opening)
        if self.markets[code] == "Stock":
            return price * units + costs
        return self.margin(code, price) * opening + costs

    def check(self, code, action, quantity, price, resting):
        """Raises InsufficientFunds when the order and the `resting` orders (their code,
        action, open quantity and price) together need more than the buying power."""
        need = self.required(code, action, quantity, price)
        if need == 0:
            return
        need += sum(self.required(*order) for order in resting)
        power = self.available()
        if need > power:
            unit = "張" if self.markets[code] == "Stock" else "口"
            raise InsufficientFunds(
                f"資金不足, 拒絕委託 {action} {code} {quantity} {unit} @ {price:,}: "
                f"需要 {need:,.0f} (含掛單中的委託), 可用 {power:,.0f}")
