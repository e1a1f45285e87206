{%- raw %}
(function () {
  "use strict";
  const UP = "#d32f2f", DOWN = "#2e7d32", BUY = "#1565c0", SELL = "#ef6c00";
  const money = new Intl.NumberFormat("en-US", {minimumFractionDigits: 2, maximumFractionDigits: 2});
  const count = new Intl.NumberFormat("en-US", {maximumFractionDigits: 0});
  const percent = new Intl.NumberFormat("en-US", {style: "percent", minimumFractionDigits: 2, maximumFractionDigits: 2});
  const plain = {format: String};

  // json.dumps writes NaN and ±Infinity as bare tokens, which JSON.parse refuses: turn them into
  // marked strings (leaving string values alone) and back into numbers while parsing.
  const BARE = /"(?:[^"\\]|\\.)*"|-?Infinity|NaN/g;
  const MARK = "\u0000";
  function readJson(id) {
    const text = document.getElementById(id).textContent;
    try {
      return JSON.parse(text);
    } catch (err) {
      const marked = text.replace(BARE, (token) => token[0] === '"' ? token : `"\\u0000${token}"`);
      return JSON.parse(marked, (key, value) =>
        typeof value === "string" && value[0] === MARK ? Number(value.slice(1)) : value);
    }
  }

  function show(value, format) {
    if (typeof value === "number") {
      if (Number.isFinite(value)) return format.format(value);
      return Number.isNaN(value) ? "—" : (value > 0 ? "∞" : "−∞");
    }
    return value == null ? "—" : String(value);
  }

  function tone(el, value) {
    el.classList.toggle("gain", value > 0);
    el.classList.toggle("loss", value < 0);
  }

  // "YYYY-MM-DD HH:MM:SS" as milliseconds on a UTC clock, so the datetime axis prints the
  // wall-clock time written in the report whatever the viewer's time zone.
  function wallClock(text) {
    const m = /^(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})$/.exec(String(text));
    return m ? Date.UTC(+m[1], m[2] - 1, +m[3], +m[4], +m[5], +m[6]) : NaN;
  }

  // Whether the i-th round trip bought first: decided by the report's writer (result.is_long).
  const LONGS = readJson("sides-data");
  function isLong(i) {
    return LONGS[i] !== false;
  }

  function tradeStats(rows) {
    let net = 0, winSum = 0, lossSum = 0, wins = 0, losses = 0, peak = 0, maxDrawdown = 0;
    const curve = {time: [], equity: [], drawdown: []};
    if (rows.length > 0) {
      const start = wallClock(rows[0].entry_dt);
      if (!Number.isNaN(start)) {
        curve.time.push(start); curve.equity.push(0); curve.drawdown.push(0);
      }
    }
    for (const row of rows) {
      const profit = row.profit;
      net += profit;
      if (profit > 0) { wins += 1; winSum += profit; }
      if (profit < 0) { losses += 1; lossSum += profit; }
      peak = Math.max(peak, net);
      maxDrawdown = Math.max(maxDrawdown, peak - net);
      const time = wallClock(row.exit_dt);
      if (!Number.isNaN(time)) {
        curve.time.push(time); curve.equity.push(net); curve.drawdown.push(net - peak);
      }
    }
    const trips = rows.length;
    // Closed-trade equity at each day's end, from the initial capital.
    const capital = readJson("capital-data");
    let equity = capital, dayPeak = capital, dailyDrawdown = 0, slippage = 0;
    const days = new Map();
    for (const row of rows) {
      const day = String(row.exit_dt).slice(0, 10);
      days.set(day, (days.get(day) || 0) + row.profit);
      slippage += (Math.abs(row.entry_price - row.entry_origin_price) +
                   Math.abs(row.exit_price - row.exit_origin_price)) * row.min_qty;
    }
    for (const day of [...days.keys()].sort()) {
      equity += days.get(day);
      dayPeak = Math.max(dayPeak, equity);
      dailyDrawdown = Math.min(dailyDrawdown, equity / dayPeak - 1);
    }
    return {
      values: {
        net_profit: [trips ? net : NaN, money],
        round_trips: [trips, count],
        win_rate: [trips ? wins / trips : NaN, percent],
        average_win: [wins ? winSum / wins : NaN, money],
        average_loss: [losses ? lossSum / losses : NaN, money],
        profit_factor: [lossSum < 0 ? winSum / -lossSum : (winSum > 0 ? Infinity : NaN), money],
        // Drawdowns are depths, positive as on the console and the account page.
        max_drawdown: [trips ? maxDrawdown : NaN, money],
        daily_drawdown: [trips ? 0 - dailyDrawdown : NaN, percent],  // 0 − 0 is +0, which prints without a sign
        slippage: [trips ? slippage : NaN, money],
      },
      curve,
    };
  }

  function fillStats(values) {
    for (const el of document.querySelectorAll("[data-stat]")) {
      const [value, format] = values[el.dataset.stat];
      el.textContent = show(value, format);
      if (format === money && !["profit_factor", "slippage"].includes(el.dataset.stat)) tone(el, value);
    }
  }

  const COLUMNS = [
    ["seq", count], ["side", plain], ["entry_dt", plain], ["entry_price", money],
    ["entry_origin_price", money], ["exit_dt", plain], ["exit_price", money], ["exit_origin_price", money],
    ["qty", count], ["trade_cost", money], ["cover_cost", money], ["profit", money], ["profit_ratio", percent],
  ];

  function tradeTable(rows) {
    const table = document.getElementById("trades");
    const body = table.tBodies[0];
    const items = rows.map((row, i) => Object.assign({}, row, {seq: i + 1, side: isLong(i) ? "做多" : "做空"}));
    function render(list) {
      const fragment = document.createDocumentFragment();
      for (const item of list) {
        const tr = document.createElement("tr");
        for (const [key, format] of COLUMNS) {
          const td = document.createElement("td");
          td.textContent = show(item[key], format);
          if (format !== plain) td.className = "num";
          if (key === "profit" || key === "profit_ratio") tone(td, item[key]);
          tr.appendChild(td);
        }
        fragment.appendChild(tr);
      }
      body.replaceChildren(fragment);
    }
    if (items.length === 0) {
      const td = document.createElement("td");
      td.colSpan = COLUMNS.length;
      td.className = "empty";
      td.textContent = "沒有已平倉的交易";
      const tr = document.createElement("tr");
      tr.appendChild(td);
      body.replaceChildren(tr);
      return;
    }
    render(items);
    for (const th of table.tHead.rows[0].cells) {
      th.addEventListener("click", () => {
        const key = th.dataset.key;
        const order = th.getAttribute("aria-sort") === "ascending" ? "descending" : "ascending";
        for (const other of table.tHead.rows[0].cells) other.removeAttribute("aria-sort");
        th.setAttribute("aria-sort", order);
        const sign = order === "ascending" ? 1 : -1;
        const sorted = items.slice().sort((a, b) => {
          const x = a[key], y = b[key];
          if (typeof x === "number" && typeof y === "number") {
            if (Number.isNaN(x) || Number.isNaN(y)) return Number.isNaN(x) - Number.isNaN(y);
            return sign * (x - y) || a.seq - b.seq;
          }
          return sign * String(x).localeCompare(String(y)) || a.seq - b.seq;
        });
        render(sorted);
      });
    }
  }

  function emptyNote(target, text) {
    const p = document.createElement("p");
    p.className = "empty";
    p.textContent = text;
    document.getElementById(target).replaceChildren(p);
  }

  // Bars sit at their index, so nights, weekends and holidays leave no gaps on the time axis.
  function barColumns(bars) {
    const n = bars.length;
    const cols = {open: new Float64Array(n), high: new Float64Array(n), low: new Float64Array(n),
                  close: new Float64Array(n), volume: new Float64Array(n), time: new Array(n)};
    for (let i = 0; i < n; i++) {
      const bar = bars[i];
      cols.open[i] = bar.open; cols.high[i] = bar.high; cols.low[i] = bar.low;
      cols.close[i] = bar.close; cols.volume[i] = bar.volume; cols.time[i] = bar.time;
    }
    return cols;
  }

  // Bokeh 3.4 draws every vbar and segment of a source on each frame, on screen or not (100,000
  // bars cost most of a second per frame on canvas), so the chart gets only the visible stretch
  // and one screen either side, with runs of `step` bars merged into one candle so that about
  // `most` candles are on screen. Runs start at multiples of `step`, so panning keeps them.
  // candles(start, end) gives the new columns, or null while the shown ones still cover the range.
  const STEPS = [1, 2, 3, 5, 10, 15, 30, 60, 120, 240, 480, 960];
  function candleWindow(cols, most) {
    const n = cols.time.length;
    let shown = {from: 0, to: -1};
    function candles(start, end) {
      const span = end - start;
      const step = STEPS.find((k) => span / k <= most) || Math.ceil(span / most);
      const lo = Math.max(0, Math.floor(start)), hi = Math.min(n - 1, Math.ceil(end));
      if (step === candles.step && lo >= shown.from && hi <= shown.to) return null;
      const from = Math.max(0, Math.floor((lo - span) / step) * step);
      const to = Math.min(n - 1, (Math.floor((hi + span) / step) + 1) * step - 1);
      shown = {from, to};
      candles.step = step;
      const data = {x: [], width: [], open: [], high: [], low: [], close: [], volume: [], top: [],
                    bottom: [], color: [], time: []};
      for (let first = from; first <= to; first += step) {
        const last = Math.min(first + step - 1, n - 1);
        let high = -Infinity, low = Infinity, volume = 0;
        for (let i = first; i <= last; i++) {
          if (cols.high[i] > high) high = cols.high[i];
          if (cols.low[i] < low) low = cols.low[i];
          volume += cols.volume[i];
        }
        const open = cols.open[first], close = cols.close[last];
        data.x.push((first + last) / 2); data.width.push(0.7 * (last - first + 1));
        data.open.push(open); data.high.push(high); data.low.push(low); data.close.push(close);
        data.volume.push(volume); data.top.push(Math.max(open, close)); data.bottom.push(Math.min(open, close));
        data.color.push(close >= open ? UP : DOWN);
        const end = cols.time[last].slice(0, 10) === cols.time[first].slice(0, 10) ? cols.time[last].slice(11) : cols.time[last];
        data.time.push(first === last ? cols.time[first] : `${cols.time[first]} ~ ${end}`);
      }
      return data;
    }
    return candles;
  }

  // Index of the last bar starting at or before `time` (times are sortable texts), or -1.
  function barAt(times, time) {
    let lo = 0, hi = times.length;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      if (times[mid] <= time) lo = mid + 1; else hi = mid;
    }
    return lo - 1;
  }

  function markerSources(markers, rows, times) {
    const side = {buy: {x: [], y: [], time: [], kind: [], trade: [], qty: [], price: [], origin_price: []}};
    side.sell = JSON.parse(JSON.stringify(side.buy));
    markers.forEach((marker, i) => {
      const row = rows[i >> 1];
      const at = barAt(times, String(marker.dt));
      if (row === undefined || at < 0) return;
      const entry = marker.type === "entry";
      const buys = isLong(i >> 1) === entry;
      const target = side[buys ? "buy" : "sell"];
      target.x.push(at); target.y.push(marker.price); target.time.push(String(marker.dt));
      target.kind.push((entry ? "進場" : "出場") + (buys ? "買進" : "賣出"));
      target.trade.push((i >> 1) + 1); target.qty.push(marker.qty);
      target.price.push(marker.price); target.origin_price.push(marker.origin_price);
    });
    return {buy: new Bokeh.ColumnDataSource({data: side.buy}), sell: new Bokeh.ColumnDataSource({data: side.sell})};
  }

  function extent(values, from, to) {
    let lo = Infinity, hi = -Infinity;
    for (let i = from; i <= to; i++) {
      if (values[i] < lo) lo = values[i];
      if (values[i] > hi) hi = values[i];
    }
    return [lo, hi];
  }

  function priceChart(bars, markers, rows) {
    const cols = barColumns(bars);
    const n = bars.length;
    const candles = candleWindow(cols, Math.max(100, Math.round(document.getElementById("price-chart").clientWidth / 4)));
    const source = new Bokeh.ColumnDataSource({data: candles(-1, n)});
    const xRange = new Bokeh.Range1d({start: -1, end: n, bounds: [-1, n], min_interval: 10});
    const yRange = new Bokeh.Range1d({start: 0, end: 1});
    const volumeRange = new Bokeh.Range1d({start: 0, end: 1});
    const labels = new Bokeh.CustomJSTickFormatter({
      args: {times: cols.time},
      code: "const t = times[Math.round(tick)]; return t === undefined ? '' : t.slice(5, 16);",
    });
    // Canvas: with a few hundred candles handed over, headless Chromium paints a pan within one
    // frame on canvas, while WebGL (software GL there) took two to three frames.
    const common = {x_range: xRange, sizing_mode: "stretch_width", output_backend: "canvas",
                    tools: "xpan,xwheel_zoom,box_zoom,reset,save", toolbar_location: "right"};
    const price = Bokeh.Plotting.figure(Object.assign({}, common, {height: 430, y_range: yRange, y_axis_label: "價格"}));
    const volume = Bokeh.Plotting.figure(Object.assign({}, common, {height: 150, y_range: volumeRange, y_axis_label: "成交量"}));
    price.segment({x0: {field: "x"}, y0: {field: "low"}, x1: {field: "x"}, y1: {field: "high"},
                   line_color: {field: "color"}, source});
    const bodies = price.vbar({x: {field: "x"}, top: {field: "top"}, bottom: {field: "bottom"}, width: {field: "width"},
                               fill_color: {field: "color"}, line_color: {field: "color"}, source});
    volume.vbar({x: {field: "x"}, top: {field: "volume"}, bottom: 0, width: {field: "width"},
                 fill_color: {field: "color"}, line_color: null, fill_alpha: 0.6, source});
    const sources = markerSources(markers, rows, cols.time);
    const buys = price.scatter({x: {field: "x"}, y: {field: "y"}, marker: "triangle", size: 12,
                                fill_color: BUY, line_color: "white", source: sources.buy});
    const sells = price.scatter({x: {field: "x"}, y: {field: "y"}, marker: "inverted_triangle", size: 12,
                                 fill_color: SELL, line_color: "white", source: sources.sell});
    for (const fig of [price, volume]) {
      fig.xaxis.formatter = labels;
      fig.yaxis.formatter = new Bokeh.NumeralTickFormatter({format: "0,0.[00]"});
      fig.add_tools(new Bokeh.CrosshairTool({dimensions: "height"}));
    }
    price.xaxis.visible = false;
    price.add_tools(new Bokeh.HoverTool({
      renderers: [bodies], mode: "vline",
      tooltips: [["時間", "@time"], ["開", "@open{0,0.00}"], ["高", "@high{0,0.00}"],
                 ["低", "@low{0,0.00}"], ["收", "@close{0,0.00}"], ["量", "@volume{0,0}"]],
    }));
    price.add_tools(new Bokeh.HoverTool({
      renderers: [buys, sells],
      tooltips: [["交易", "#@trade @kind"], ["時間", "@time"], ["數量", "@qty"],
                 ["成交價（含滑價）", "@price{0,0.00}"], ["原始價", "@origin_price{0,0.00}"]],
    }));
    const markerAt = sources.buy.data.x.concat(sources.sell.data.x);
    const markerPrice = sources.buy.data.y.concat(sources.sell.data.y);
    const period = document.getElementById("bar-period");
    function follow() {
      const data = candles(xRange.start, xRange.end);
      if (data !== null) source.data = data;
      period.textContent = candles.step === 1 ? "目前每根 K 線 1 分鐘。" : `目前每根 K 線合併 ${candles.step} 根一分 K。`;
      const from = Math.max(0, Math.floor(xRange.start)), to = Math.min(n - 1, Math.ceil(xRange.end));
      let [lo] = extent(cols.low, from, to);
      let [, hi] = extent(cols.high, from, to);
      // Slipped fill prices can lie outside the bar: keep the markers in view.
      markerAt.forEach((x, i) => {
        if (x >= from && x <= to) { lo = Math.min(lo, markerPrice[i]); hi = Math.max(hi, markerPrice[i]); }
      });
      const pad = (hi - lo) * 0.05 || Math.abs(hi) * 0.01 || 1;
      yRange.setv({start: lo - pad, end: hi + pad});
      volumeRange.setv({start: 0, end: (extent(cols.volume, from, to)[1] || 1) * 1.05});
    }
    follow();
    xRange.change.connect(follow);
    return stack(price, volume);
  }

  // `until`: the end of the run; the last level holds until then (a step needs a point to end on).
  function equityChart(curve, until) {
    const points = new Bokeh.ColumnDataSource({data: curve});
    const last = curve.time.length - 1;
    const source = until > curve.time[last] ? new Bokeh.ColumnDataSource({data: {
      time: curve.time.concat(until), equity: curve.equity.concat(curve.equity[last]),
      drawdown: curve.drawdown.concat(curve.drawdown[last])}}) : points;
    const common = {x_axis_type: "datetime", sizing_mode: "stretch_width", tools: "xpan,xwheel_zoom,box_zoom,reset,save"};
    const equity = Bokeh.Plotting.figure(Object.assign({}, common, {height: 260, y_axis_label: "累計損益"}));
    const drawdown = Bokeh.Plotting.figure(Object.assign({}, common, {height: 150, x_range: equity.x_range, y_axis_label: "回撤"}));
    equity.step({x: {field: "time"}, y: {field: "equity"}, mode: "after", line_color: BUY, line_width: 2, source});
    // Dots on the exits carry the tooltip: Bokeh cannot hit-test a step line.
    const exits = equity.scatter({x: {field: "time"}, y: {field: "equity"}, size: 6, fill_color: BUY,
                                  line_color: null, source: points});
    drawdown.varea_step({x: {field: "time"}, y1: {field: "drawdown"}, y2: 0, step_mode: "after",
                         fill_color: DOWN, fill_alpha: 0.35, source});
    const labels = new Bokeh.DatetimeTickFormatter({minutes: "%H:%M", hours: "%m-%d %H:%M", days: "%Y-%m-%d",
                                                    months: "%Y-%m", years: "%Y"});
    for (const fig of [equity, drawdown]) {
      fig.xaxis.formatter = labels;
      fig.yaxis.formatter = new Bokeh.NumeralTickFormatter({format: "0,0.[00]"});
    }
    equity.xaxis.visible = false;
    equity.add_tools(new Bokeh.HoverTool({renderers: [exits], mode: "vline", formatters: {"@time": "datetime"},
      tooltips: [["出場時間", "@time{%Y-%m-%d %H:%M:%S}"], ["累計損益", "@equity{0,0.00}"], ["回撤", "@drawdown{0,0.00}"]]}));
    return stack(equity, drawdown);
  }

  // Two figures on one x range under one toolbar, the wheel zooming the time axis. The wheel is
  // switched on in the merged toolbar: each figure's own active_scroll would name a different tool.
  function stack(upper, lower) {
    const grid = Bokeh.Plotting.gridplot([[upper], [lower]], {merge_tools: true, toolbar_location: "right",
                                                             sizing_mode: "stretch_width"});
    grid.toolbar.tools.find((tool) => (tool.tools || [tool])[0] instanceof Bokeh.WheelZoomTool).active = true;
    return grid;
  }

  // Resolves once BokehJS has painted the layout for the first time.
  function draw(layout, target) {
    return Bokeh.Plotting.show(layout, document.getElementById(target)).then(() => new Promise((resolve) => {
      const doc = layout.document;
      if (doc.is_idle) resolve(); else doc.idle.connect(() => resolve());
    }));
  }

  Bokeh.set_log_level("warn");
  const bars = readJson("bars-data");
  const rows = readJson("rows-data");
  const markers = readJson("markers-data");
  const code = (bars[0] || rows[0] || {}).code;
  if (code !== undefined) {
    document.getElementById("title").textContent = `${code} 回測報告`;
    document.title = `${code} 回測報告`;
  }
  if (bars.length > 0) {
    document.getElementById("period").textContent =
      `${bars[0].time} 至 ${bars[bars.length - 1].time}，共 ${count.format(bars.length)} 根一分 K`;
  }
  const stats = tradeStats(rows);
  fillStats(stats.values);
  tradeTable(rows);

  const drawn = [];
  if (bars.length > 0) drawn.push(draw(priceChart(bars, markers, rows), "price-chart"));
  else emptyNote("price-chart", "沒有 K 線資料");
  if (stats.curve.time.length > 0) {
    const until = bars.length > 0 ? wallClock(bars[bars.length - 1].time) : NaN;
    drawn.push(draw(equityChart(stats.curve, until), "equity-chart"));
  }
  else emptyNote("equity-chart", "沒有已平倉的交易");
  Promise.all(drawn).then(() => {
    // Load-to-chart time, read by the browser test and the benchmark.
    document.body.dataset.chartMs = performance.now().toFixed(0);
    document.body.dataset.chart = "drawn";
  });
})();
{%- endraw %}
