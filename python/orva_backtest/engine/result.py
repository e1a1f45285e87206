"""What a backtest leaves: the account, per-instrument figures, open positions and files."""
import math
from dataclasses import dataclass, field
from datetime import date
from typing import Dict, List, Optional

from orva_backtest import utils
from orva_backtest.modules.positions.reporting import average_price


@dataclass
class OpenPosition:
    """What an instrument still holds when the run ends, valued at its last price."""
    quantity: int  # net: long positive, short negative
    last_price: float
    unrealised: float  # at the last price, before the costs of closing
    average_price: float = float("nan")  # the held lots' entry prices, weighted by quantity

    def text(self):
        """"+1 @ 522.0 (最後價 519.0)": the entry price where a trader reads it, the last apart."""
        return f"{self.quantity:+,} @ {self.average_price:,.2f} (最後價 {self.last_price:,})"


@dataclass
class InstrumentSummary:
    """Closed round trips of one instrument, and what it still holds."""
    code: str
    round_trips: int
    wins: int
    net_profit: float  # after fees, tax and fixed costs
    costs: float  # fees, tax and fixed costs of the round trips
    slippage: float = 0.0  # what the slippage setting moved the round trips' prices by, in money
    open: OpenPosition = None  # None when nothing is held
    market: str = "Stock"
    settlements: int = 0  # round trips closed by an expiry's settlement

    @property
    def shown(self):
        """Whether the account page lists it: an option series of a chain only once traded."""
        return self.market != "Option" or bool(self.round_trips or self.open)

    @property
    def win_rate(self):
        return self.wins / self.round_trips if self.round_trips else 0.0


@dataclass
class BacktestResult:
    """What a run leaves: the account, its profit rows, per-instrument figures and files."""
    account: object
    quotes: object
    profit_rows: List[dict]
    instruments: Dict[str, InstrumentSummary]
    balance: float
    ticks: int  # replayed ticks of the run's instruments (the benchmark's and backfill aside)
    seconds: float
    files: List[str] = field(default_factory=list)
    folder: Optional[str] = None  # where the run wrote its trade records and reports
    replayed: int = 0  # every record the replay went through, the benchmark's too
    synthetic: bool = False  # days not in the tick cache were made up by the built-in market
    fill_model: str = "touch"
    latency_ms: float = 0
    market_rules: dict = field(default_factory=lambda: {"name": "plain"})  # the rules in force
    # The run's first trading day after a backfill: the figures leave the history before it out.
    first_day: Optional[date] = None
    _marked: tuple = field(default=None, repr=False, compare=False)  # (curve, held, minutes), made once
    # The round trips as the run ended, as one frame made once (the standard report rewrites the
    # account's times as text): a copy of every row would hold a second dict per round trip.
    _trips: object = field(default=None, repr=False, compare=False)
    warnings: List[str] = field(default_factory=list)
    margin_in_use: float = 0.0  # the margins of the open futures contracts
    compile_seconds: Optional[float] = None  # a compiled strategy's compile (or cache load), apart

    @property
    def day_trades(self):
        """Round trips opened and closed on one trading day at the day-trade tax rate."""
        return sum(1 for row in self.profit_rows if row.get("day_trade"))

    @property
    def ticks_per_second(self):
        """Replay speed: every record the loop went through, per second."""
        return self.replayed / self.seconds if self.seconds > 0 else 0.0

    @property
    def trades(self):
        """Every fill and exchange cancel (polars), with the trade-record columns."""
        from orva_backtest.engine import equity
        utils.check_not_forked_from_polars("BacktestResult.trades")
        return equity.trades(self.account)

    @property
    def round_trips(self):
        """The profit rows of every instrument (polars), in the order they closed."""
        if self._trips is None:
            from orva_backtest.engine import equity
            utils.check_not_forked_from_polars("BacktestResult.round_trips")
            self._trips = equity.round_trips(self.account._profit_report["rows"])
        return self._trips.clone()  # the caller's own: changing it leaves the figures alone

    @property
    def equity(self):
        """The account marked to market (polars `dt`, `equity`): see the README's "Statistics"."""
        return self._mark()[0]

    def _mark(self):
        utils.check_not_forked_from_polars("BacktestResult")  # the figures are polars' work
        if self._marked is None:
            from orva_backtest.engine import equity
            self._marked = equity.mark_to_market(self.account, self.quotes, list(self.instruments),
                                                 self.round_trips, self.first_day)
        return self._marked

    def stats(self):
        """The run's statistics as a dict (definitions in the README, "Statistics")."""
        from orva_backtest.engine import equity
        curve, held, minutes = self._mark()
        return equity.statistics(curve, self.round_trips, float(self.account.initial_capital), held, minutes)

    def _repr_html_(self):
        """A short summary for notebooks."""
        from orva_backtest.engine.summary import html_summary
        return html_summary(self)

    @property
    def unrealised(self):
        return sum(s.open.unrealised for s in self.instruments.values() if s.open)

    @property
    def account_equity(self):
        """As a futures statement reads it: initial capital + realised + unrealised profit (the
        balance charges an opening at the contract's whole value)."""
        return self.account.initial_capital + self.account._profit_report["profit"] + self.unrealised

    def short_run_note(self):
        """Why the annualised figures show "—", or None."""
        from orva_backtest.engine import equity
        return equity.short_run_note(len(equity.daily_equity(self.equity)))

    def summary(self):
        """The figures of the run as plain data (for JSON)."""
        return {
            "ticks": self.ticks, "replayed": self.replayed, "seconds": round(self.seconds, 3),
            "ticks_per_second": round(self.ticks_per_second, 1),
            "compile_seconds": self.compile_seconds,
            "initial_capital": self.account.initial_capital, "balance": self.balance,
            "realised_profit": self.account._profit_report["profit"],
            "unrealised_profit": self.unrealised,
            "equity": self.account_equity, "margin_in_use": self.margin_in_use,
            "synthetic_market": self.synthetic,
            "fill_model": self.fill_model, "latency_ms": self.latency_ms,
            "market_rules": self.market_rules, "day_trades": self.day_trades,
            "instruments": {code: {"round_trips": s.round_trips, "win_rate": s.win_rate,
                                   "net_profit": s.net_profit, "costs": s.costs,
                                   "slippage": s.slippage,
                                   "open_position": None if s.open is None else vars(s.open)}
                            for code, s in self.instruments.items()},
            "stats": {k: (v if isinstance(v, int) or math.isfinite(v) else None)
                      for k, v in self.stats().items()},  # JSON has no NaN or infinity
            "stats_note": self.short_run_note(),
            "warnings": list(self.warnings),
            "folder": self.folder,
            "files": list(self.files),
        }


def slippage_of(row):
    """Money the slippage setting moved a round trip's two prices by (against the trader
    under the default settings)."""
    return (abs(row["entry_price"] - row["entry_origin_price"])
            + abs(row["exit_price"] - row["exit_origin_price"])) * row["min_qty"]


def open_positions(account):
    """code → OpenPosition of every instrument the account still holds, at its last price."""
    unrealised = {}
    for product_type in ("Stock", "Future", "Option"):
        for row in account._Positions__format_position_detail(product_type):
            unrealised[row["code"]] = unrealised.get(row["code"], 0.0) + row["pnl"]
    out = {}
    for code, pnl in unrealised.items():
        tick = account.current_tick_infos.get(code)
        out[code] = OpenPosition(account.net_quantity(code), tick["close"] if tick else float("nan"), pnl,
                                 average_price(account, code))
    return out


def margin_in_use(account, power):
    """The margins the open futures contracts hold, by `power`'s (a BuyingPower) rates."""
    return sum(power.margin(code, e["price"]) * e["quantity"] for code in power.futures
               for side in ("buy", "sell") for e in (account.positions.get(code) or {}).get(side, ()))


def instrument_summaries(account, codes):
    """{code: InstrumentSummary} of `codes` (a list, or {code: market})."""
    held = open_positions(account)
    markets = codes if isinstance(codes, dict) else {}
    out = {}
    for code in codes:
        rows = account.get_profit_rows_by_code(code)
        out[code] = InstrumentSummary(
            code=code, round_trips=len(rows), wins=sum(1 for r in rows if r["profit"] > 0),
            net_profit=sum(r["profit"] for r in rows),
            costs=sum(r["trade_cost"] + r["cover_cost"] for r in rows),
            slippage=sum(slippage_of(r) for r in rows), open=held.get(code),
            market=markets.get(code, "Stock"), settlements=sum(1 for r in rows if r.get("expiry")))
    return out
