"""The strategy interface: subclass `Strategy`, define the callbacks you need, and hand an
instance to `orva_backtest.engine.runner.run_backtest` (or `orva-backtest run STRATEGY.py`)."""
from datetime import datetime


class Strategy:
    """Base class of a backtested strategy.

    Define any of these methods; one that is not defined is never called:

    - ``on_start(ctx)``: once, before the first tick.
    - ``on_tick(ctx, tick)``: for every replayed tick of the run's instruments (the tick
      feed's record: ``code``, ``market_type``, ``timestamp``, ``close``, ``qty``,
      ``tick_type``, ``is_simulate``, ``is_backfilling``), after the exchange matched it.
    - ``on_bar(ctx, bar)``: once per completed K-bar of the keys subscribed with
      ``ctx.subscribe_bars`` in ``on_start`` (one-minute bars of every instrument when none
      are), in time order: ``dt``, ``code``, ``Open``, ``High``, ``Low``, ``Close``,
      ``Volume`` equal to that bar's row of ``ctx.kbars``, then the key's ``unit`` and
      ``freq``. A bar is complete when a tick of a later bar arrives (before that tick's
      ``on_tick``), and the last bars when the replay ends.
    - ``on_order_report(ctx, report)``: an order was accepted, changed or cancelled.
    - ``on_deal_report(ctx, report)``: an order (partly) filled.
    - ``on_finish(ctx)``: once, after the last tick.

    ``ctx`` is the run's `Context`: it places, modifies and cancels orders and reads
    positions, K-bars, the balance and the latest tick. Keyword arguments given to the
    command line's ``--param key=value`` reach the subclass's constructor.
    """


CALLBACKS = ("on_start", "on_tick", "on_bar", "on_order_report", "on_deal_report", "on_finish")


def defined_callbacks(strategy):
    """The callbacks `strategy` defines, by name, as bound methods."""
    found = {}
    for name in CALLBACKS:
        callback = getattr(strategy, name, None)
        if callable(callback):
            found[name] = callback
    return found


class Context:
    """What a strategy sees of the run: orders, positions, K-bars, balance and ticks.

    Orders go straight into the simulated exchange's book, so an order placed on a tick
    is matched from the next tick on.
    """

    def __init__(self, account, matcher, quotes, markets, buying_power=None):
        self.account = account
        self.matcher = matcher
        self.quotes = quotes
        self._markets = markets  # code -> "Stock" or "Future", the tradable instruments
        self._bar_keys = []  # None once the replay has started
        self._buying_power = buying_power  # checks every order when the cash check is on
        self.tick = None

    def subscribe_bars(self, code, unit="m", freq=1):
        """Asks for ``on_bar`` once per completed `freq`-`unit` K-bar of `code` (units as
        for `kbars`: "m", "h", "d", "w", "mo", "q", "y"). Only in ``on_start``."""
        if self._bar_keys is None:
            raise RuntimeError("K 棒只能在 on_start 中訂閱")
        if code not in self._markets:
            raise ValueError(f"不在回測商品中, 無法訂閱 K 棒: {code!r}")
        self._bar_keys.append((code, unit, freq))

    def _close_subscriptions(self):
        keys, self._bar_keys = self._bar_keys, None
        return keys

    # --- orders -------------------------------------------------------------------------

    def place_order(self, code, action, qty, price=None, *, order_type="ROD"):
        """Places an order and returns its id. Without `price` it is a market order
        (`MKT`), with one a limit order (`LMT`); `order_type` is "ROD", "IOC" or "FOK"."""
        market = self._markets.get(code)
        if market is None:
            raise ValueError(f"不在回測商品中, 無法下單: {code!r}")
        if market == "Option":
            self._refuse_settled(code, None if self.tick is None else self.tick["timestamp"])
        if price is None:
            price_type, price = "MKT", float(self.last_close(code) or 0.0)
        else:
            price_type, price = "LMT", float(price)
        if self._buying_power is not None and type(qty) is int and qty > 0:  # else the exchange refuses it
            self._buying_power.check(code, str(action), qty, price, self._resting(),
                                     price_type == "LMT")
        self.matcher.add_order(code, market, action, price, qty, price_type, order_type)
        return self.matcher.last_order_id

    def _refuse_settled(self, code, now):
        """Refuses an order on option series `code` once it had settled at `now` (epoch
        seconds; None for the run's end): it would rest, never to fill."""
        if self._options is not None and self._options.has_settled(code, now):
            raise ValueError(f"選擇權 {code} 已到期結算, 無法下單")

    def _resting(self, orders=None):
        """(code, action, open quantity, price, is a limit) of the working orders (or of
        `orders`), in book order."""
        return [(o["code"], str(o["action"]), o["quantity"],
                 o["price"] if o["price_type"] == "LMT" else float(self.last_close(o["code"]) or 0.0),
                 o["price_type"] == "LMT")
                for o in (self.pending_orders if orders is None else orders)]

    def buy(self, code, qty=1, price=None, *, order_type="ROD"):
        """Places a buy order; see `place_order`."""
        return self.place_order(code, "Buy", qty, price, order_type=order_type)

    def sell(self, code, qty=1, price=None, *, order_type="ROD"):
        """Places a sell order; see `place_order`."""
        return self.place_order(code, "Sell", qty, price, order_type=order_type)

    def modify_order(self, trade_id, qty=None, price=None):
        """Takes `qty` off an order and/or gives it a new limit `price`."""
        if self._buying_power is not None and type(price) in (int, float) and price > 0:
            self._check_new_price(trade_id, qty, float(price))
        self.matcher.modify_order(trade_id, qty, price)

    def _check_new_price(self, trade_id, qty, price):
        """A limit order given a new price needs what it would need placed at that price (it
        is measured after the other working orders, as a new order would be)."""
        orders = self.pending_orders
        for i, order in enumerate(orders):
            if order["trade_id"] == trade_id and order["price_type"] == "LMT":
                left = order["quantity"] - (qty if type(qty) is int and qty > 0 else 0)
                if left > 0:
                    self._buying_power.check(order["code"], str(order["action"]), left, price,
                                             self._resting(orders[:i] + orders[i + 1:]), True)
                return

    def cancel_order(self, trade_id):
        """Cancels a pending order."""
        self.matcher.cancel_order(trade_id)

    @property
    def pending_orders(self):
        """The orders still working: on their way to the exchange (with latency), then resting
        in its book (the exchange's own records)."""
        return [*self.matcher.orders_in_flight, *self.matcher.pending_orders]

    # --- account ------------------------------------------------------------------------

    @property
    def balance(self):
        """The account's cash balance."""
        return self.account.fetch_account_balance()

    def position(self, code):
        """Net open quantity of `code`: long entries minus short ones."""
        return self.account.net_quantity(code)

    def positions(self, product_type="Stock", detail=False):
        """The account's position view ("Stock" or "Future"), at the latest prices."""
        self.account.fetch_positions(product_type, detail)
        return self.account.pop_positions()

    # --- quotes -------------------------------------------------------------------------

    def kbars(self, code, unit="m", freq=1, exprs=None, to_pandas=False):
        """K-bars of `code` from every tick so far (a polars frame, or pandas)."""
        return self.quotes.get_kbar(code, unit, freq, list(exprs or []), to_pandas)

    def last_close(self, code):
        """The latest close of `code`, or None before its first tick."""
        info = self.matcher.current_tick_infos.get(code)
        return info["tick"]["close"] if info and info["tick"] else None

    @property
    def now(self):
        """Local time of the current tick."""
        return datetime.fromtimestamp(self.tick["timestamp"]) if self.tick else None

    # --- options ------------------------------------------------------------------------

    _options = None  # the run's OptionChain when it holds option series

    def chain(self, expiry=None):
        """The option chain now (a polars frame: code, expiry, strike, right, last, volume,
        last_trade_time, iv, delta, gamma, vega, theta, underlying), one row per series that
        has traded; only `expiry`'s series when given. See `orva_backtest.engine.options`."""
        return self._option_chain().frame(self.tick["timestamp"] if self.tick else 0.0, expiry)

    def expiries(self):
        """The expiries of the run's option series not yet settled, nearest first."""
        return self._option_chain().expiries(self.tick["timestamp"] if self.tick else None)

    def _option_chain(self):
        if self._options is None:
            raise ValueError("回測商品中沒有選擇權 (例如 --codes TXO202601:Option)")
        return self._options
