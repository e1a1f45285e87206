import math
from datetime import datetime, timedelta, timezone

import polars as pl
import pytest

from orva_backtest.option_chain import by_delta, by_moneyness, front_month, parity_forward

TAIPEI = timezone(timedelta(hours=8))


def _at(text):
    return datetime.strptime(text, "%Y-%m-%d %H:%M").replace(tzinfo=TAIPEI).timestamp()


@pytest.mark.parametrize("moment, month", [
    ("2026-01-21 10:00", "202601"),  # January's expiry day still trades January
    ("2026-01-21 15:00", "202602"),  # its night session belongs to the next trading day
    ("2026-01-22 09:00", "202602"),
    ("2026-12-17 09:00", "202701"),  # after December's expiry (the 16th): the next year's January
    ("2026-01-03 09:00", "202601"),  # a Saturday: the next trading day's month
])
def test_front_month_turns_after_the_expiry_day(moment, month):
    assert front_month(_at(moment)) == month


def _chain(rows):
    return pl.DataFrame(rows, schema=["code", "strike", "right", "last", "delta", "underlying"], orient="row")


def test_parity_forward_reads_the_strike_where_call_and_put_trade_closest():
    chain = _chain([("C1", 22000.0, "C", 520.0, 0.6, None), ("P1", 22000.0, "P", 380.0, -0.4, None),
                    ("C2", 22200.0, "C", 400.0, 0.5, None), ("P2", 22200.0, "P", 420.0, -0.5, None),
                    ("C3", 22400.0, "C", 300.0, 0.4, None)])  # no put at 22400: not a pair
    assert parity_forward(chain, 0.0, 0.01) == pytest.approx(22180.0)
    assert parity_forward(chain, 0.5, 0.02) == pytest.approx(22200.0 - 20.0 * math.exp(0.01))
    assert parity_forward(chain.filter(pl.col("right") == "C"), 0.5, 0.0) is None


@pytest.mark.parametrize("right, target, code", [
    ("C", 0.15, "C3"), ("P", 0.15, "P1"), ("C", 0.5, "C1"), ("P", 0.9, "P3")])
def test_by_delta_takes_the_nearest_absolute_delta_of_the_side(right, target, code):
    chain = _chain([("C1", 22000.0, "C", 500.0, 0.55, 22100.0), ("C2", 22500.0, "C", 200.0, 0.3, 22100.0),
                    ("C3", 23000.0, "C", 50.0, 0.12, 22100.0), ("C4", 23500.0, "C", 1.0, math.nan, 22100.0),
                    ("P1", 21000.0, "P", 40.0, -0.16, 22100.0), ("P2", 21500.0, "P", 150.0, -0.3, 22100.0),
                    ("P3", 22500.0, "P", 480.0, -0.7, 22100.0)])
    assert by_delta(chain, right, target) == code


def test_by_moneyness_and_the_refusals():
    chain = _chain([("C1", 22000.0, "C", 500.0, 0.55, 22000.0), ("C2", 23100.0, "C", 60.0, 0.2, 22000.0),
                    ("P1", 20900.0, "P", 50.0, -0.2, 22000.0)])
    assert by_moneyness(chain, "C", 1.05) == "C2"
    assert by_moneyness(chain, "P", 0.95) == "P1"
    assert by_delta(chain.filter(pl.col("right") == "C"), "P", 0.2) is None
    for call in (lambda: by_delta(chain, "C", 1.5), lambda: by_delta(chain, "X", 0.2),
                 lambda: by_delta(chain, "C", "0.15"),  # not a TypeError from comparing text
                 lambda: by_moneyness(chain, "C", math.nan)):
        with pytest.raises(ValueError):
            call()
