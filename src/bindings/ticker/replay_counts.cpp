// What a replay tells of itself: the days it read and held, the ticks per code, and how
// often a drive made records or called the quotes and the exchange.
#include <algorithm>

#include "common/methods.h"
#include "ticker/direct_replay.h"
#include "ticker/ticker_internal.h"

namespace orva::py::ticker {
namespace {

const DirectReplay& of(nb::handle self) { return *nb::inst_ptr<DirectReplay>(self); }

// Days of both ranges: read so far, with ticks in all, and the most held at once.
template <class Count>
Py_ssize_t both(const DirectReplay& run, Count count) {
  return (run.backfill ? count(*run.backfill) : 0) + (run.main ? count(*run.main) : 0);
}
Py_ssize_t days_loaded(nb::handle self) {
  const DirectReplay& run = of(self);
  return run.dropped_loaded + both(run, [](const MergedDays& m) { return m.days_loaded(); });
}
Py_ssize_t days_total(nb::handle self) {
  const DirectReplay& run = of(self);
  return run.dropped_total + both(run, [](const MergedDays& m) { return m.day_count(); });
}
Py_ssize_t most_days_held(nb::handle self) {
  const DirectReplay& run = of(self);
  return std::max({run.dropped_most, run.backfill ? Py_ssize_t{run.backfill->most_days_held()} : 0,
                   run.main ? Py_ssize_t{run.main->most_days_held()} : 0});
}

// Replayed (not backfilled) ticks per code, of the rows not yet driven through.
nb::dict ticks_by_code(nb::handle self) {
  const DirectReplay& run = of(self);
  nb::dict counts;
  if (!run.main) return counts;
  for (size_t i = 0; i < run.main->source_count(); ++i) {
    const MergedDays::Source& source = run.main->source(i);
    nb::object before = item_or_none(counts, source.code);
    const Py_ssize_t earlier = before.is_none() ? 0 : nb::cast<Py_ssize_t>(before);
    counts[source.code] = earlier + source.remaining();
  }
  return counts;
}

nb::dict replayed_by_code(nb::handle self) { return of(self).replayed_by_code(); }
Py_ssize_t records_made(nb::handle self) { return of(self).latest.made(); }
Py_ssize_t quote_calls(nb::handle self) { return of(self).latest.quote_calls(); }
Py_ssize_t exchange_calls(nb::handle self) { return of(self).latest.exchange_calls(); }

}  // namespace

void bind_replay_counts(nb::class_<DirectReplay>& direct) {
  def_property<&days_loaded>(direct, "days_loaded", "已讀入的商品日數 (回補與回放)");
  def_property<&days_total>(direct, "days_total", "有 Tick 的商品日數 (回補與回放)");
  def_property<&most_days_held>(direct, "most_days_held", "回放中同時留在記憶體的商品日數的最大值");
  def_property<&ticks_by_code>(direct, "ticks_by_code",
                               "尚未回放的 Tick 數 (不含回補), 依商品代碼: {code: 筆數}");
  def_property<&replayed_by_code>(direct, "replayed_by_code",
                                  "已回放的 Tick 數 (不含回補), 依商品代碼: {code: 筆數}");
  def_property<&records_made>(direct, "records_made",
                              "drive 建立的 Tick 紀錄數: 只在 Python 看得到最新 Tick 時建立");
  def_property<&quote_calls>(direct, "quote_calls",
                             "drive 把 Tick 交給 quotes 的呼叫次數: Python 看不到的 Tick 累積成一批");
  def_property<&exchange_calls>(direct, "exchange_calls",
                                 "drive 為 Python 看不到的 Tick 呼叫交易所的次數: 每次 Python 能查看後各商品詢問一次, Tick 累積成一批");
}

}  // namespace orva::py::ticker
