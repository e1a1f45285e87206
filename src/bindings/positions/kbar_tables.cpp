// QuoteManager's cached K-bars: a key's first call aggregates its buffered
// ticks with polars; later calls fold only the new ticks in C++ and restack.
#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/args.h"
#include "common/host.h"
#include "positions/quote_manager.h"
#include "positions/tick_frames.h"
#include "quotes/kbars.h"
#include "quotes/tick_buffer.h"

namespace orva::py::positions {
namespace {

// Rechunking the completed bars now and then keeps the handed-over frames
// few-chunked at an amortised cost that does not grow with every call.
constexpr int kMaxAppendedFrames = 32;

nb::object with_bar_columns(nb::handle ticks, const std::string& interval) {
  nb::object pl = polars->pl;
  return ticks.attr("with_columns")(
      col("dt").attr("cast")(pl.attr("Datetime")),
      col("dt").attr("dt").attr("truncate")(interval.c_str()).attr("alias")("kbar_time"));
}

nb::object kbar_columns(nb::handle frame) {
  return frame.attr("select")(nb::make_tuple("dt", "code", "Open", "High", "Low", "Close", "Volume"));
}

nb::object aggregate_kbar(nb::handle tick_df) {
  nb::object grouped = tick_df.attr("group_by")(nb::make_tuple("kbar_time", "code"));
  nb::object bars = grouped.attr("agg")(
      col("close").attr("first")().attr("alias")("Open"), col("close").attr("max")().attr("alias")("High"),
      col("close").attr("min")().attr("alias")("Low"), col("close").attr("last")().attr("alias")("Close"),
      col("qty").attr("sum")().attr("alias")("Volume"));
  nb::dict rename;
  rename["kbar_time"] = "dt";
  return kbar_columns(bars.attr("rename")(rename));
}

// Ticks [from, to) with only what a bar needs.
nb::object bar_ticks(const Entry& entry, size_t from, size_t to) {
  const q::TickColumns& c = entry.instrument.columns();
  nb::object pl = polars->pl;
  nb::dict columns;
  columns["dt"] = pl.attr("Series")("dt", numpy_copy(c.dt, from, to, "<i8")).attr("cast")(polars->datetime_us);
  columns["code"] = pl.attr("repeat")(entry.code, to - from, nb::arg("eager") = true,
                                      nb::arg("dtype") = pl.attr("Utf8"));
  columns["close"] = pl.attr("Series")("close", numpy_copy(c.close, from, to, "<f8"));
  columns["qty"] = pl.attr("Series")("qty", numpy_copy(c.qty, from, to, "<i8"));
  return pl.attr("DataFrame")(columns);
}

// A key's first bars from every buffered tick. Ticks in time order are aggregated a slice at a
// time, so a year of them never stands as one frame (gigabytes); a bar that two slices share is
// put back together in slice order, which gives the values of one aggregation.
nb::object first_kbars(const Entry& entry, const std::string& interval) {
  constexpr size_t kSlice = 1 << 17;
  const std::vector<int64_t>& dt = entry.instrument.columns().dt;
  if (dt.size() <= kSlice || !std::is_sorted(dt.begin(), dt.end()))
    return aggregate_kbar(with_bar_columns(tick_df(entry, 0, dt.size()), interval));
  nb::list parts;
  for (size_t from = 0; from < dt.size(); from += kSlice)
    parts.append(aggregate_kbar(
        with_bar_columns(bar_ticks(entry, from, std::min(dt.size(), from + kSlice)), interval)));
  nb::object stacked = polars->pl.attr("concat")(parts);
  nb::object bars = stacked.attr("group_by")(nb::make_tuple("dt", "code"), nb::arg("maintain_order") = true)
                        .attr("agg")(col("Open").attr("first")(), col("High").attr("max")(),
                                     col("Low").attr("min")(), col("Close").attr("last")(),
                                     col("Volume").attr("sum")());
  return kbar_columns(bars);
}

template <class T>
nb::object series_of(const char* name, const std::vector<q::Bar>& bars, T q::Bar::*field,
                     const char* dtype) {
  std::vector<T> values;
  values.reserve(bars.size());
  for (const q::Bar& bar : bars) values.push_back(bar.*field);
  return polars->series(name, numpy_copy(values, 0, values.size(), dtype));
}

// A K-bar table of `bars`, straight from their values: a few small series,
// far cheaper than aggregating ticks again.
nb::object code_column(Entry& entry, size_t rows) {
  constexpr size_t kKept = 8;  // an update rarely completes more bars than this
  if (rows == 0 || rows > kKept)
    return polars->pl.attr("repeat")(entry.code, rows, nb::arg("eager") = true,
                                     nb::arg("dtype") = polars->pl.attr("Utf8"))
        .attr("alias")("code");
  if (entry.code_columns.size() >= rows) return entry.code_columns[rows - 1];
  nb::list codes;
  for (size_t i = 0; i < rows; ++i) codes.append(entry.code);
  nb::object column = polars->series("code", codes);
  if (entry.code_columns.size() == rows - 1) entry.code_columns.push_back(column);
  return column;
}

nb::object bars_frame(Entry& entry, const std::vector<q::Bar>& bars) {
  nb::list columns;
  columns.append(series_of("dt", bars, &q::Bar::dt, "<i8").attr("cast")(polars->datetime_us));
  columns.append(code_column(entry, bars.size()));
  columns.append(series_of("Open", bars, &q::Bar::open, "<f8"));
  columns.append(series_of("High", bars, &q::Bar::high, "<f8"));
  columns.append(series_of("Low", bars, &q::Bar::low, "<f8"));
  columns.append(series_of("Close", bars, &q::Bar::close, "<f8"));
  columns.append(series_of("Volume", bars, &q::Bar::volume, "<i8"));
  return polars->data_frame(columns);
}

// Values of the last row of a full build, where the updates take over.
q::Bar last_bar_of(nb::handle table) {
  const size_t last = nb::len(table) - 1;
  auto value = [&](const char* column) { return table.attr("get_column")(column).attr("item")(last); };
  return {nb::cast<int64_t>(table.attr("get_column")("dt").attr("cast")(polars->int64).attr("item")(last)),
          nb::cast<double>(value("Open")), nb::cast<double>(value("High")),
          nb::cast<double>(value("Low")), nb::cast<double>(value("Close")),
          nb::cast<int64_t>(value("Volume"))};
}

bool same_bar(const q::Bar& a, const q::Bar& b) {
  return a.dt == b.dt && a.open == b.open && a.high == b.high && a.low == b.low &&
         a.close == b.close && a.volume == b.volume;
}

// The first call of a key aggregates every tick with polars.
void build_cache(KbarCache& cache, const Entry& entry, nb::handle table) {
  cache.table = nb::borrow(table);
  cache.completed = table.attr("slice")(0, nb::len(table) - 1);
  cache.appended = 0;
  cache.last = last_bar_of(table);
  cache.aggregated = entry.instrument.total();
}

// A compact instrument's first bars of a key: its one-minute bars, then its
// held ticks, folded in C++ (the ticks folded into minutes are gone).
nb::object compact_kbars(Entry& entry, q::BarUnit unit, long long freq) {
  std::vector<q::Bar> bars;
  q::BarFold fold(unit, freq);
  fold.catch_up(entry.instrument, bars);
  if (std::optional<q::Bar> last = fold.close()) bars.push_back(*last);
  return bars_frame(entry, bars);
}

// Later calls fold the key's new ticks in C++ and restack the frames. Ticks of
// a compact instrument sealed into minutes since the last call are folded
// from the minutes, with the key's last bar built again from them.
void update_cache(KbarCache& cache, Entry& entry, q::BarUnit unit, long long freq) {
  const q::Instrument& instrument = entry.instrument;
  const size_t total = instrument.total();
  q::Bar last = cache.last;
  std::vector<q::Bar> bars;  // the bars this update completes, then the new last one
  if (cache.aggregated >= instrument.dropped()) {
    q::update_bars(instrument.columns(), cache.aggregated - instrument.dropped(),
                   instrument.columns().size(), unit, freq, last, bars);
  } else {
    q::BarFold fold(unit, freq, last);
    fold.catch_up(instrument, bars);
    if (std::optional<q::Bar> open = fold.close()) last = *open;
  }
  if (bars.empty() && same_bar(last, cache.last)) {
    cache.aggregated = total;
    return;
  }
  bars.push_back(last);
  nb::object fresh = bars_frame(entry, bars);  // one small frame for all of them
  nb::object done = cache.completed;
  int appended = cache.appended;
  if (bars.size() > 1) {
    done = done.attr("vstack")(fresh.attr("slice")(0, bars.size() - 1));
    if (++appended > kMaxAppendedFrames) {
      done = done.attr("rechunk")();
      appended = 0;
    }
  }
  nb::object table = cache.completed.attr("vstack")(fresh);
  // Stored only once everything above has succeeded.
  cache.table = table;
  cache.completed = done;
  cache.appended = appended;
  cache.last = last;
  cache.aggregated = total;
}

}  // namespace

nb::object get_kbar(nb::handle self, nb::handle code, nb::handle unit, nb::handle freq,
                    nb::handle exprs, nb::handle to_pandas_df) {
  if (!PyUnicode_CheckExact(code.ptr())) raise_type_error("code", "str", code);
  const auto [bar_unit, frequency] = bar_key_of(unit, freq);
  if (!PyList_CheckExact(exprs.ptr())) raise_type_error("exprs", "list", exprs);
  const bool as_pandas = truth(to_pandas_df);
  const auto finish = [&](nb::object table) -> nb::object {
    return as_pandas ? table.attr("to_pandas")() : table;
  };

  auto lock = locked(self);
  std::shared_ptr<Entry> entry = find_entry(self, code);
  if (!entry) {
    PyErr_SetObject(PyExc_KeyError, code.ptr());
    throw nb::python_error();
  }
  entry->instrument.hand_over();  // the pending ticks are handed over whatever follows
  auto key = std::make_pair(text_of(unit), frequency);
  auto cached = entry->caches.find(key);
  if (cached != entry->caches.end()) {
    // Every key sees every tick: it updates from where it last left off,
    // whichever key's call handed the ticks over.
    if (cached->second.aggregated == entry->instrument.total())
      return finish(cached->second.table);
    update_cache(cached->second, *entry, bar_unit, frequency);
  } else {
    nb::object kbars;
    if (state(self).compact) {
      kbars = compact_kbars(*entry, bar_unit, frequency);
    } else {
      const std::string interval = std::to_string(frequency) + text_of(unit);
      kbars = first_kbars(*entry, interval);
    }
    if (nb::len(kbars) == 0) return finish(kbars);
    kbars = kbars.attr("sort")("dt");
    KbarCache fresh;
    fresh.key = nb::make_tuple(code, unit, freq);
    build_cache(fresh, *entry, kbars);
    cached = entry->caches.emplace(key, std::move(fresh)).first;
  }
  nb::object kbars = cached->second.table;
  if (nb::len(exprs) > 0) kbars = kbars.attr("with_columns")(exprs);
  return finish(kbars);
}

nb::object aggregate_kbar_method(nb::handle, nb::handle tick_df) { return aggregate_kbar(tick_df); }

}  // namespace orva::py::positions
