"""A sweep's outputs: its table of one row a task and the heat map page of net profit."""
from html import escape

import polars as pl

from orva_backtest.utils import write_text

from orva_backtest.engine.equity import STATS

# A row's money figures beside the statistics: the open part of its net profit, every cost paid.
MONEY = ("unrealised_profit", "costs")
# Each task's figures, in table order: its statistics, money figures, ticks and wall time.
FIGURES = (*STATS, *MONEY, "ticks", "seconds")
COLUMNS = ("task", "status", *FIGURES, "attempts", "folder", "error", "traceback")
# Grid names that set the run rather than the strategy; every row says which were in force.
RUN_SETTINGS = {"fill_model": pl.String, "latency_ms": pl.Float64}


def table_row(index, params, **values):
    """A task's row: its number, its grid values, then `values` for the other columns (None if not given)."""
    return {"task": index, **params, **{c: None for c in COLUMNS[1:]}, **values}


def param_column(name, values):
    """A grid parameter's column of the table; its values label the heat map's axes too."""
    kinds = {type(v) for v in values}
    if kinds <= {int, float} and all(-2**63 <= v < 2**63 for v in values if type(v) is int):
        return pl.Series(name, values, dtype=pl.Int64 if kinds == {int} else pl.Float64)
    if kinds in ({str}, {bool}):
        return pl.Series(name, values)
    return pl.Series(name, [repr(v) for v in values])  # mixed or composite values: as written


def make_table(rows, grid):
    """The polars table of `rows` (grid order), a column per grid parameter after `task`."""
    types = {**{name: pl.Float64 for name in FIGURES}, "round_trips": pl.Int64, "ticks": pl.Int64,
             "task": pl.Int64, "status": pl.String, "attempts": pl.Int64, "folder": pl.String,
             "error": pl.String, "traceback": pl.String}
    columns = [pl.Series("task", [r["task"] for r in rows], dtype=pl.Int64)]
    columns += [param_column(name, [r[name] for r in rows]) for name in grid]
    columns += [pl.Series(name, [r.get(name) for r in rows], dtype=kind)
                for name, kind in RUN_SETTINGS.items() if name not in grid]
    columns += [pl.Series(c, [r[c] for r in rows], dtype=types[c]) for c in COLUMNS[1:]]
    return pl.DataFrame(columns)


def _better(row, best):
    return row["status"] == "ok" and (best["status"] != "ok" or row["net_profit"] > best["net_profit"])


def write_heatmap(table, axes, grid, path, title):
    """An HTML page with a heat map of the table's net profit over one or two grid parameters;
    with more parameters in the grid, a cell shows the best net profit over the others. BokehJS
    is inside the page, so it works offline."""
    from bokeh.embed import file_html
    from bokeh.layouts import column
    from bokeh.models import (ColorBar, ColumnDataSource, Div, HoverTool, LinearColorMapper,
                              NumeralTickFormatter)
    from bokeh.palettes import RdYlGn11
    from bokeh.plotting import figure
    from bokeh.resources import INLINE

    x_name, y_name = (list(axes) + [None])[:2]
    cells = {}
    for row in table.iter_rows(named=True):
        key = (str(row[x_name]), str(row[y_name]) if y_name else "—")
        if key not in cells or _better(row, cells[key]):
            cells[key] = row
    data = {k: [] for k in ("x", "y", "net_profit", "label", "round_trips", "win_rate",
                            "max_drawdown", "task", "status", "ink")}
    for (x, y), row in cells.items():
        ok = row["status"] == "ok"
        data["x"].append(x)
        data["y"].append(y)
        data["net_profit"].append(row["net_profit"] if ok else float("nan"))
        data["label"].append(f"{row['net_profit']:,.0f}" if ok else "失敗")
        data["round_trips"].append(row["round_trips"] if ok else 0)
        data["win_rate"].append(row["win_rate"] if ok else float("nan"))
        data["max_drawdown"].append(row["max_drawdown"] if ok else float("nan"))
        data["task"].append(row["task"])
        data["status"].append(row["status"] if ok else row["error"])
    reach = max([abs(v) for v in data["net_profit"] if v == v] + [1.0])
    data["ink"] = ["white" if abs(v) > 0.6 * reach else "black" for v in data["net_profit"]]  # NaN: black
    # Taiwan's convention: red is a gain, green a loss; zero sits in the middle.
    colours = LinearColorMapper(palette=RdYlGn11, low=-reach, high=reach, nan_color="#bbbbbb")
    xs = [str(v) for v in param_column(x_name, grid[x_name])]
    ys = [str(v) for v in param_column(y_name, grid[y_name])] if y_name else ["—"]
    plot = figure(x_range=xs, y_range=ys, x_axis_label=x_name, y_axis_label=y_name or "",
                  width=max(560, 100 * len(xs) + 260), height=max(300, 60 * len(ys) + 160),
                  tools="save,reset", toolbar_location="right")
    source = ColumnDataSource(data)
    plot.rect("x", "y", 1, 1, source=source, line_color="white",
              fill_color={"field": "net_profit", "transform": colours})
    plot.text("x", "y", text="label", source=source, text_align="center", text_baseline="middle",
              text_font_size="11px", text_color="ink")
    plot.add_tools(HoverTool(tooltips=[(x_name, "@x"), (y_name or "", "@y"), ("淨損益", "@net_profit{0,0.00}"),
                                       ("平倉次數", "@round_trips"), ("勝率", "@win_rate{0.0%}"),
                                       ("最大回撤", "@max_drawdown{0,0.00}"), ("任務", "@task"),
                                       ("狀態", "@status")]))
    plot.add_layout(ColorBar(color_mapper=colours, title="淨損益", formatter=NumeralTickFormatter(format="0,0")),
                    "right")
    plot.grid.grid_line_color = None
    heading = Div(text=f"<h2 style='font-family: sans-serif'>{escape(title)}</h2>")
    html = file_html(column(heading, plot), resources=INLINE, title=title)

    return write_text(path, html)
