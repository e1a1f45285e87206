"""The standard report page in headless Chromium: load-to-chart time and how long a pan or zoom
takes to reach the screen, for the report of a long replay of one-minute bars.

Run: ORVA_CONSOLE=off python bench/report_page_bench.py [--minutes 100000] [--trades 1000] [--repeat 3]
(with orva_backtest installed, Debian's chromium and playwright; the report is written to a
temporary data directory and opened from file://). Load-to-chart is the page's own clock from
navigation start to the first paint of both charts; a frame is the time from setting the time axis
to the next animation frame.
"""
import argparse
import os
import statistics
import sys
import tempfile

from rich.console import Console
from rich.table import Table

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
import report_page  # noqa: E402
from orva_backtest.constant import BASIC_INFO  # noqa: E402

# At each visible span, moves the window by 1% and alternately narrows it by 2% (so the whole run
# can move too), timing each change to the next animation frame.
FRAMES_JS = f"""async (spans) => {{
  const range = {report_page.PRICE_X_RANGE};
  const n = range.bounds[1];
  const frame = () => new Promise((resolve) => requestAnimationFrame(resolve));
  const out = [];
  for (const span of spans) {{
    const times = [];
    for (let k = 0; k < 12; k++) {{
      const width = span * (k % 2 ? 0.98 : 1);
      const start = Math.max(-1, n - width - k * span / 100);
      await frame();
      const t0 = performance.now();
      range.setv({{start, end: start + width}});
      await frame();
      times.push(performance.now() - t0);
    }}
    out.push(times);
  }}
  return out;
}}"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=int, default=100_000, help="minutes of ticks replayed")
    parser.add_argument("--trades", type=int, default=1000, help="round trips of 30 minutes")
    parser.add_argument("--repeat", type=int, default=3, help="page loads; the median is kept")
    args = parser.parse_args()
    missing = report_page.missing_browser()
    if missing:
        sys.exit(missing)

    account, quotes = report_page.replay("2330", args.minutes, report_page.spread_trips(args.minutes, args.trades))
    bars = quotes.get_kbar("2330", "m", 1).height
    with tempfile.TemporaryDirectory() as folder, report_page.chromium() as browser:
        BASIC_INFO.data_dir = folder
        url = report_page.standard_report(account, quotes, "2330")
        size = os.path.getsize(url[len("file://"):])
        loads, frames = [], None
        for _ in range(args.repeat):
            report = report_page.OpenedReport(browser, url)
            loads.append(report.load_to_chart_ms)
            if frames is None:
                spans = [bars + 1, 30_000, 2_000, 150]
                frames = dict(zip(spans, report.page.evaluate(FRAMES_JS, spans)))
            report.close()

    console = Console(width=100)
    console.print(f"{bars:,} one-minute bars, {args.trades:,} round trips, page {size / 1e6:.1f} MB")
    console.print(f"load to chart: median {statistics.median(loads):,.0f} ms "
                  f"(runs: {', '.join(f'{ms:,}' for ms in loads)})")
    table = Table(title="pan and zoom: setting the time axis to the next frame")
    for column in ("bars on screen", "median ms", "worst ms"):
        table.add_column(column, justify="right")
    for span, times in frames.items():
        table.add_row(f"{min(span, bars):,}", f"{statistics.median(times):.1f}", f"{max(times):.1f}")
    console.print(table)


if __name__ == "__main__":
    main()
