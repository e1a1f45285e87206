#include "ticker/latest_ticks.h"

#include <utility>

#include "common/args.h"
#include "quotes/tick_buffer.h"

namespace orva::py::ticker {

std::vector<int> LatestTicks::slots_of(const MergedDays* rows) {
  std::vector<int> slots;
  if (!rows) return slots;
  for (size_t i = 0; i < rows->source_count(); ++i) {
    const std::string& code = rows->source(i).code_text;
    int slot = 0;
    while (slot < static_cast<int>(slots_.size()) && slots_[slot].code != code) ++slot;
    if (slot == static_cast<int>(slots_.size())) slots_.push_back({code});
    slots.push_back(slot);
  }
  return slots;
}

void LatestTicks::hold(int slot, const MergedDays& rows, const MergedDays::Source& source,
                       const direct::Tick& tick) {
  Slot& latest = slots_[slot];
  // A copy of the row, as the tick read it: the source may drop its day before the record
  // is made.
  latest.rows = &rows;
  latest.source = &source;
  latest.seconds = tick.seconds;
  const exchange::Quotes& quote = tick.quotes;
  latest.row = {tick.close, tick.qty, tick.tick_type,
                {quote.bid, quote.bid_volume, quote.ask, quote.ask_volume}};
  if (!latest.held) held_.push_back(slot);
  latest.held = true;
}

void LatestTicks::filed(int slot, nb::object record) {
  slots_[slot].held = false;  // a later filing must not put back an older tick
  slots_[slot].record = std::move(record);
}

void LatestTicks::flush(PyObject* matcher, const direct::MatcherApi& exchange, PyObject* quotes,
                        const direct::QuotesApi& quotes_api) {
  if (pending_.empty()) return;
  ++quote_calls_;
  ++exchange_calls_;
  int status = exchange.note_ticks(matcher, pending_.data(), pending_.size());
  // One tick (a callback or a bar feed on every tick) costs less without the batch's look-ups.
  if (status >= 0)
    status = pending_.size() == 1 ? quotes_api.add_tick(quotes, pending_[0])
                                  : quotes_api.add_ticks(quotes, pending_.data(), pending_.size());
  pending_.clear();
  checked(status);
}

void LatestTicks::file(PyObject* matcher, const direct::MatcherApi& exchange, PyObject* quotes,
                       const direct::QuotesApi& quotes_api) {
  flush(matcher, exchange, quotes, quotes_api);
  for (size_t i = 0; i < held_.size(); ++i) {
    Slot& latest = slots_[held_[i]];
    if (!latest.held) continue;
    nb::object timestamp = checked(PyFloat_FromDouble(latest.seconds));
    nb::object record = latest.rows->record(*latest.source, latest.row, timestamp);
    ++made_;
    if (exchange.record_tick(matcher, latest.source->code.ptr(), record.ptr(), timestamp.ptr()) < 0)
      throw nb::python_error();
    filed(held_[i], std::move(record));
  }
  held_.clear();
}

bool LatestTicks::quiet(PyObject* matcher, const direct::MatcherApi& exchange,
                        const direct::Tick& tick, int slot) {
  Slot& latest = slots_[slot];
  if (latest.quiet_epoch == epoch_ && tick.seconds < latest.quiet_until) return true;
  double until = 0;
  ++exchange_calls_;
  if (checked(exchange.quiet_until(matcher, tick, &until)) == 0) return false;
  latest.quiet_epoch = epoch_;
  latest.quiet_until = until;
  return true;
}

bool LatestTicks::step(PyObject* matcher, const direct::MatcherApi& exchange, PyObject* quotes,
                       const direct::QuotesApi& quotes_api, direct::Tick& tick, int slot,
                       const MergedDays& rows, const MergedDays::Source& source) {
  if (quiet(matcher, exchange, tick, slot)) {  // the record waits until Python can look
    hold(slot, rows, source, tick);
    if (orva::quotes::tick_time_in_range(tick.local)) {
      pending_.push_back(tick);
      return false;
    }
    // A time the quote buffer refuses is refused at its own tick, with the buffer's error.
    flush(matcher, exchange, quotes, quotes_api);
    ++quote_calls_;
    ++exchange_calls_;
    checked(exchange.note_ticks(matcher, &tick, 1));
    checked(quotes_api.add_tick(quotes, tick));
    return false;
  }
  file(matcher, exchange, quotes, quotes_api);  // the exchange sees the earlier ticks first
  unsettle();  // its matching pass may fill what other codes' quiet rests on
  timestamp_ = checked(PyFloat_FromDouble(tick.seconds));
  tick.timestamp = timestamp_.ptr();
  nb::object record = rows.record(source, tick.timestamp);
  ++made_;
  tick.record = record.ptr();
  filed(slot, std::move(record));
  checked(exchange.set_current_tick(matcher, tick));
  ++quote_calls_;
  checked(quotes_api.add_tick(quotes, tick));
  checked(exchange.match(matcher, tick));
  return true;
}

void LatestTicks::clear() {
  slots_.clear();
  held_.clear();
  pending_.clear();
  timestamp_.reset();
}

}  // namespace orva::py::ticker
