"""The account as a whole: `report/account-report.html` (the equity curve and its drawdown, the
statistics, a table per instrument, monthly returns) and a QuantStats tear sheet of the
account's daily returns against 0050 (`profit_report/account-profit_report.html`). Both work
offline."""
import itertools
import math
import os

from orva_backtest.engine.market_rules import rules_line
from orva_backtest.engine import equity
from orva_backtest.engine.summary import main_figures
from orva_backtest.modules.positions.reporting import BENCHMARK, benchmark_returns, finish_tear_sheet
from orva_backtest.utils import write_text

TEMPLATE = os.path.join(os.path.dirname(os.path.dirname(__file__)), "static", "templates")


def monthly_returns(curve, capital):
    """[(YYYY-MM, return)] from the equity at each month's last point."""
    daily = equity.daily_equity(curve)
    months, before = [], capital
    for day, value in zip(daily["day"], daily["equity"]):
        month = day.strftime("%Y-%m")
        if months and months[-1][0] == month:
            months[-1] = (month, months[-1][1], value)
        else:
            months.append((month, before, value))
        before = value
    return [(month, end / start - 1 if start > 0 else float("nan")) for month, start, end in months]


def daily_returns(curve, capital):
    """pandas daily returns of the account's equity (`equity.daily_returns`: from the previous
    trading day's anchor at the capital, as the console and the account page count them)."""
    import pandas as pd
    days, returns = equity.daily_returns(curve, capital)
    return pd.Series(returns, index=pd.DatetimeIndex([pd.Timestamp(d) for d in days]), dtype="float64")


def _charts(curve):
    """The equity curve over its drawdown, as Bokeh's script and div, and BokehJS inline."""
    from bokeh.embed import components
    from bokeh.layouts import column
    from bokeh.models import ColumnDataSource, HoverTool, NumeralTickFormatter
    from bokeh.plotting import figure
    from bokeh.resources import INLINE

    values = list(curve["equity"])
    peaks = list(itertools.accumulate(values, max))
    source = ColumnDataSource({"dt": list(curve["dt"]), "equity": values,
                               "drawdown": [v - p for v, p in zip(values, peaks)]})
    top = figure(x_axis_type="datetime", height=320, sizing_mode="stretch_width", title="帳戶權益 (按市價)",
                 tools="pan,wheel_zoom,box_zoom,reset,save")
    top.step("dt", "equity", source=source, mode="after", line_color="#1565c0", line_width=2)
    top.add_tools(HoverTool(tooltips=[("時間", "@dt{%Y-%m-%d %H:%M}"), ("權益", "@equity{0,0}")],
                            formatters={"@dt": "datetime"}, mode="vline"))
    under = figure(x_axis_type="datetime", height=160, sizing_mode="stretch_width", title="回撤",
                   x_range=top.x_range, tools="")
    under.varea_step("dt", y1="drawdown", y2=0, source=source, step_mode="after", fill_color="#ef9a9a")
    for plot in (top, under):
        plot.yaxis.formatter = NumeralTickFormatter(format="0,0")
    script, div = components(column(top, under, sizing_mode="stretch_width"))
    return INLINE.render_js(), script, div


def write_account_report(result, folder):
    """Writes the account page and its tear sheet into `folder`; returns their paths."""
    import jinja2
    curve = result.equity
    capital = float(result.account.initial_capital)
    stats = result.stats()
    js, script, div = _charts(curve)
    env = jinja2.Environment(loader=jinja2.FileSystemLoader(TEMPLATE), autoescape=True)
    page = env.get_template("account_report.html").render(
        title="帳戶回測報告", instruments=result.instruments, figures=main_figures(stats),
        months=monthly_returns(curve, capital), capital=capital, bokeh_js=js, chart_script=script,
        chart_div=div, fill_model=result.fill_model, latency_ms=result.latency_ms,
        market_rules=rules_line(result.market_rules, result.day_trades),
        period=(curve["dt"][0], curve["dt"][-1]), isfinite=math.isfinite, risk_free=equity.RISK_FREE_RATE,
        days_per_year=equity.TRADING_DAYS_PER_YEAR, short_run=result.short_run_note())
    os.makedirs(os.path.join(folder, "report"), exist_ok=True)
    paths = [write_text(os.path.join(folder, "report", "account-report.html"), page)]
    sheet = _tear_sheet(result, curve, capital, os.path.join(folder, "profit_report"))
    return paths + ([sheet] if sheet else [])


def _tear_sheet(result, curve, capital, folder):
    """QuantStats' tear sheet of the account's daily returns, or None when QuantStats fails (some
    releases do on runs of a few days); the account page stands either way."""
    import matplotlib
    matplotlib.use("Agg")  # charts drawn without a display, before QuantStats loads pyplot

    from orva_backtest import utils
    returns = daily_returns(curve, capital)
    benchmark = benchmark_returns(result.quotes, returns.index)
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "account-profit_report.html")
    options = dict(returns=returns, output=path, download_filename=path, rf=equity.RISK_FREE_RATE,
                   title="帳戶進階損益報告", periods_per_year=equity.TRADING_DAYS_PER_YEAR,
                   match_dates=False)
    if benchmark is not None:
        options.update(benchmark=benchmark, benchmark_title=BENCHMARK)
    try:
        utils.tear_sheet(**options)
    except Exception as error:
        utils.console.print(f"[red]QuantStats 無法產生帳戶的進階損益報告: {type(error).__name__}: {error}[/red]")
        return None
    note = ("<p style='margin:8px 0;color:#555'>帳戶的每日報酬: 每個交易日最後的按市價權益 (初始資金 + "
            "已實現損益 + 未平倉部位以最後一分 K 收盤價計, 未扣平倉成本) 對前一個交易日; 第一天是回測前一個交易日, "
            "權益為初始資金." + ("" if benchmark is not None else " 快取中沒有基準 0050 的 Tick, 本報告沒有基準.")
            + "</p>")
    return finish_tear_sheet(path, returns, note)


