"""Exchange cases: order intake, the intake thread's round trip, and matching."""
import random

from orva_backtest.modules.matcher.matcher import Matcher

SUBSYSTEM = "matcher"

ORDER = {"code": "2330", "product_type": "Stock", "action": "Buy", "price": 600.0, "qty": 1,
         "price_type": "LMT", "order_type": "ROD"}
CODES = [f"{2300 + i}" for i in range(10)]


def intake_cases():
    direct = Matcher()

    def add_direct():
        direct.add_order(**ORDER)
        direct.response_queue.get_nowait()
        direct.pending_orders.clear()

    queued = Matcher()

    def round_trip():
        queued.add_pending_order_queue("add", dict(ORDER))
        queued.pop_response()
        queued.pending_orders.clear()

    return [
        ("add_order direct (with report)", add_direct),
        ("intake round trip: queue to report", round_trip),
    ]


def book_of(total, codes):
    """A matcher with `total` buy limits at 600, spread evenly over `codes`."""
    matcher = Matcher()
    for i in range(total):
        matcher.add_order(**{**ORDER, "code": codes[i % len(codes)]})
    matcher.response_queue = type(matcher.response_queue)()
    return matcher


def matching_cases():
    cases = []
    for total in (10, 100, 1000):
        idle = book_of(total, CODES)
        cases.append((f"match_deal, {total} orders over 10 codes, none match",
                      lambda m=idle: m.match_deal("2300", 601.0, 10**9, 1.0)))
    for total in (10, 100, 1000):
        other = book_of(total, CODES)
        cases.append((f"match_deal, code without orders, {total} others",
                      lambda m=other: m.match_deal("9999", 600.0, 10, 1.0)))
    same = book_of(1000, ["2330"])
    cases.append(("match_deal, 1000 orders of the tick's code, none match",
                  lambda: same.match_deal("2330", 601.0, 10**9, 1.0)))
    for total in (10, 100):
        holder = {}

        def refill(total=total):
            holder["m"] = book_of(total, CODES)

        cases.append((f"match_deal, {total} orders over 10 codes, all of a code fill",
                      lambda: holder["m"].match_deal("2300", 599.0, 10**9, 1.0), refill))
    return cases


def cases():
    return intake_cases() + matching_cases()


def replay_loop(ticks):
    """The host loop over `ticks` ticks of 10 random-walking codes; a strategy keeps
    about 20 limit orders pending at the last price, so fills keep happening."""
    rng = random.Random(1)
    matcher = Matcher()
    matcher.positions.set_initial_capital(10**12)
    last = dict.fromkeys(CODES, 600.0)
    placed = 0
    for n in range(ticks):
        code = CODES[n % 10]
        if len(matcher.pending_orders) < 20:
            placed += 1
            matcher.add_order(**{**ORDER, "code": code, "price": last[code],
                                 "action": "Buy" if placed % 2 else "Sell"})
        last[code] = close = last[code] + rng.choice((-1.0, 0.0, 1.0))
        tick = {"market_type": "Stock", "timestamp": 1.7e9 + n, "code": code, "close": close,
                "qty": rng.randint(1, 5), "tick_type": 1, "is_simulate": False,
                "is_backfilling": False}
        matcher.set_current_tick(tick)
        matcher.match_deal(code, close, tick["qty"], tick["timestamp"])
        while not matcher.response_queue.empty():
            matcher.response_queue.get_nowait()
    deals = sum(1 for r in matcher.positions.trade_records if r["trade_status"] == "Deal")
    return ticks, f"ticks ({deals:,} fills)"


def throughputs(quick):
    ticks = 100_000 if quick else 1_000_000
    return [("set_current_tick + match_deal, ~20 pending", lambda: replay_loop(ticks))]
