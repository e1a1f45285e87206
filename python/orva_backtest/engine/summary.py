"""The main statistics of a run in words and numbers: for the console and for notebooks."""
from html import escape

from orva_backtest.engine.market_rules import rules_line

# (key, label, format) of the figures shown; every key is one of `BacktestResult.stats()`.
MAIN_FIGURES = (
    ("net_profit", "淨損益", "{:,.0f}"), ("return_pct", "報酬率", "{:.2f}%"), ("cagr", "年化報酬", "{:.2%}"),
    ("sharpe", "Sharpe", "{:.2f}"), ("sortino", "Sortino", "{:.2f}"), ("max_drawdown", "最大回撤", "{:,.0f}"),
    ("max_drawdown_days", "回撤天數", "{:.1f}"), ("win_rate", "勝率", "{:.1%}"),
    ("profit_factor", "獲利因子", "{:.2f}"), ("expectancy", "每筆期望值", "{:,.0f}"),
    ("round_trips", "平倉次數", "{:,}"), ("exposure", "持倉時間比", "{:.1%}"),
    ("average_holding", "平均持有 (分)", "{:,.1f}"),
)


def shown(value, form):
    try:
        return form.format(value) if value == value else "—"  # NaN shows as a dash
    except (TypeError, ValueError):
        return str(value)


def main_figures(stats):
    """[(label, text)] of the main figures."""
    return [(label, shown(stats[key], form)) for key, label, form in MAIN_FIGURES]


def html_summary(result):
    rows = "".join(f"<tr><th>{escape(label)}</th><td style='text-align:right'>{escape(text)}</td></tr>"
                   for label, text in main_figures(result.stats()))
    instruments = ", ".join(escape(code) for code, s in result.instruments.items() if s.shown)
    note = result.short_run_note()
    rules = rules_line(result.market_rules, result.day_trades)
    return (f"<div><b>回測結果</b> ({instruments}; 成交模型 {escape(result.fill_model)}, "
            f"{result.ticks:,} ticks)<table>{rows}</table><p>{escape(rules)}</p>"
            f"{f'<p>{escape(note)}</p>' if note else ''}</div>")
