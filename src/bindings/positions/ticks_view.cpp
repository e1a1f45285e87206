// The documented `ticks` entries of a QuoteManager, built from its compact
// columns only when the host reads the attribute.
#include <string>

#include "common/methods.h"
#include "positions/quote_manager.h"
#include "positions/tick_frames.h"

namespace orva::py::positions {
namespace {

nb::dict buffered_tick(const Entry& entry, size_t i) {
  const q::TickColumns& c = entry.instrument.columns();
  nb::dict tick;
  tick["dt"] = polars->epoch + polars->timedelta(nb::arg("microseconds") = c.dt[i]);
  tick["market_type"] = entry.market_texts[c.market[i]];
  tick["code"] = entry.code;
  tick["close"] = c.close[i];
  tick["qty"] = c.qty[i];
  tick["tick_type"] = c.tick_type[i];
  tick["is_simulate"] = nb::bool_(c.is_simulate[i] != 0);
  tick["is_virtual"] = nb::bool_(c.is_virtual[i] != 0);
  return tick;
}

// The documented instrument entries, built from the compact columns.
nb::dict ticks_view(nb::handle self) {
  auto lock = locked(self);
  QuoteManager& qm = state(self);
  nb::dict view;
  for (const std::string& code : qm.order) {
    const Entry& entry = *qm.entries.at(code);
    nb::list pending, old;
    nb::object last = nb::none();
    for (size_t i = 0; i < entry.instrument.columns().size(); ++i) {
      nb::dict tick = buffered_tick(entry, i);
      (i < entry.instrument.pending_from() ? old : pending).append(tick);
      if (static_cast<int64_t>(i) == entry.instrument.last_tick()) last = tick;
    }
    nb::dict cached;
    for (const auto& [key, cache] : entry.caches) cached[cache.key] = cache.table;
    nb::dict info;
    info["ticks"] = pending;
    info["old_ticks"] = old;
    info["last_tick"] = last;
    info["cached_kbars"] = cached;
    view[entry.code] = info;
  }
  return view;
}

nb::dict init_ticks_info(nb::handle) {
  nb::dict info;
  info["ticks"] = nb::list();
  info["old_ticks"] = nb::list();
  info["last_tick"] = nb::none();
  info["cached_kbars"] = nb::dict();
  return info;
}

}  // namespace

void bind_ticks_view(nb::class_<QuoteManager>& cls) {
  def_property<&ticks_view>(cls, "ticks", "各商品的 Tick 緩衝、已處理 Tick、最新 Tick 與 K 線快取");
  def_method<&init_ticks_info>(cls, "get_init_ticks_info", {}, "取得 ticks 的初始資訊");
}

}  // namespace orva::py::positions
