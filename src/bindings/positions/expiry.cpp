// Futures expiry in a continuous front-month series: when the series' first
// trade of a new contract month arrives, the positions held in the expiring
// month are settled at its final price (a settlement price given, else its
// last trade), and with the roll reopened in the new month at this first
// trade. Without a schedule (Positions.set_expiries) nothing here runs.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "common/host.h"
#include "common/methods.h"
#include "positions/positions_internal.h"

namespace orva::py::positions {
namespace {

Positions& state_of(nb::handle self) { return *nb::inst_ptr<Positions>(self); }

CodeExpiries* find(Positions& state, const std::string& code) {
  for (CodeExpiries& entry : state.expiries)
    if (entry.code == code) return &entry;
  return nullptr;
}

// Books one side's open quantity of `code` as a fill of `action`: a trade record of
// `status`, then the account's own booking.
void book(nb::handle self, nb::handle code, nb::handle entry, const char* action, long long qty,
          nb::handle price, nb::handle when, const std::string& trade_id, const char* status,
          bool exact, nb::handle product_type) {
  const Keys& k = keys();
  nb::object fill = copy_record(entry);
  fill[k.trade_id] = nb::str(trade_id.c_str());
  fill[k.action] = nb::str(action);
  fill[k.quantity] = qty;
  fill[k.price] = price;
  fill[k.exchange_ts] = when;
  // A settlement is at exactly its price: no slippage (a limit at the price allows none).
  if (exact)
    fill[k.limit_price] = price;
  else if (PyDict_DelItem(fill.ptr(), k.limit_price.ptr()) < 0)
    PyErr_Clear();  // it had none
  self.attr("add_trade_record")(fill[k.trade_id], code, fill[k.action], qty, price, when,
                                nb::str(status));
  self.attr("set_positions")(fill, product_type);
}

}  // namespace

size_t book_expiry(nb::handle self, nb::handle code, nb::handle entry, bool long_side,
                   long long qty, nb::handle price, nb::handle when, const std::string& label,
                   nb::handle product_type) {
  const Keys& k = keys();
  nb::list rows = nb::borrow<nb::list>(item(nb::getattr(self, k._profit_report), k.rows));
  const size_t before = nb::len(rows);
  book(self, code, entry, long_side ? "Sell" : "Buy", qty, price, when, "expiry-" + label,
       "Expiry", true, product_type);
  for (size_t i = before; i < nb::len(rows); ++i) rows[i][k.expiry] = true;
  console_print("[yellow]" + text_of(code) + " " + label + " 到期結算 " + std::to_string(qty) +
                " 口 @ " + text_of(price) + "[/yellow]");
  return before;
}

namespace {

void settle(nb::handle self, nb::handle code, const Expiry& expiry, bool reopen, nb::handle tick) {
  const Keys& k = keys();
  nb::object last = item_or_none(nb::getattr(self, k.current_tick_infos), code);
  nb::object sides = item_or_none(nb::getattr(self, k.positions), code);
  if (last.is_none() || sides.is_none()) return;  // nothing traded, nothing held
  nb::object final_price = std::isnan(expiry.settlement) ? item(last, k.close)
                                                         : nb::object(nb::float_(expiry.settlement));
  nb::object final_time = item(last, k.timestamp);
  for (const char* side : {"buy", "sell"}) {
    nb::object entries = item(sides, nb::str(side));
    // Only what was opened in the expiring month: a fill at this tick (an order arriving with
    // it) is already the new month's. The oldest entries come first, as the cover takes them.
    long long qty = 0;
    const Py_ssize_t count = checked(PyObject_Length(entries.ptr()));
    for (Py_ssize_t i = 0; i < count; ++i) {
      nb::object opened = item_or_none(entries[i], k.exchange_ts);  // a host's entry may lack it
      if (!opened.is_none() && require_number(opened, "exchange_ts") >= expiry.at) break;
      qty += require_int(item(entries[i], k.quantity), "quantity");
    }
    if (qty <= 0) continue;
    nb::object first = entries[0];
    const bool long_side = std::string(side) == "buy";
    book_expiry(self, code, first, long_side, qty, final_price, final_time, expiry.label, k.future);
    if (!reopen) continue;
    book(self, code, first, long_side ? "Buy" : "Sell", qty, item(tick, k.close),
         item(tick, k.timestamp), "roll-" + expiry.label, "Roll", false, k.future);
    console_print("[yellow]" + text_of(code) + " 轉倉至下個月份 " + std::to_string(qty) +
                  " 口 @ " + text_of(item(tick, k.close)) + "[/yellow]");
  }
}

// Positions.set_expiries(code, expiries, reopen=False): `expiries` are (time, settlement
// price or None, label) of each roll: the first trade at or after `time` is the new month's.
void set_expiries(nb::handle self, nb::handle code, nb::handle expiries, nb::handle reopen) {
  const std::string text(require_str(code, "code"));
  const bool roll = require_bool(reopen, "reopen");
  if (!PyList_Check(expiries.ptr())) raise_type_error("expiries", "list", expiries);
  std::vector<Expiry> dates;
  const Py_ssize_t count = PyList_GET_SIZE(expiries.ptr());
  for (Py_ssize_t i = 0; i < count; ++i) {
    nb::handle one = PyList_GET_ITEM(expiries.ptr(), i);
    if (!PyTuple_Check(one.ptr()) || PyTuple_GET_SIZE(one.ptr()) != 3)
      raise_type_error("expiries", "(time, settlement 或 None, label) 的 list", one);
    const double when = require_amount(PyTuple_GET_ITEM(one.ptr(), 0), "time");
    nb::handle price = PyTuple_GET_ITEM(one.ptr(), 1);
    const double settlement = price.is_none() ? std::nan("") : require_amount(price, "settlement");
    if (!std::isfinite(when) || !(std::isnan(settlement) || (settlement > 0 && std::isfinite(settlement))))
      raise_value_error("到期設定不合法: " + text_of(nb::repr(one)));
    if (!dates.empty() && when <= dates.back().at)
      raise_value_error("到期設定必須依時間排序: " + text_of(nb::repr(one)));
    dates.push_back({when, settlement, std::string(require_str(PyTuple_GET_ITEM(one.ptr(), 2), "label"))});
  }
  // Months that ended before the code's latest tick are past: a schedule given again mid-run
  // must not settle what is held now as if one expired at the next tick.
  size_t past = 0;
  nb::object last = item_or_none(nb::getattr(self, keys().current_tick_infos), code);
  if (!last.is_none()) {
    const double seen = require_number(item(last, keys().timestamp), "timestamp");
    while (past < dates.size() && dates[past].at <= seen) ++past;
  }
  Positions& state = state_of(self);
  if (CodeExpiries* known = find(state, text)) {
    *known = {text, std::move(dates), past, roll, past};
    return;
  }
  state.expiries.push_back({text, std::move(dates), past, roll, past});
}

// Whether a tick at `when` begins a new contract month of the schedule `entry`.
bool due(const CodeExpiries* entry, double when) {
  return entry && entry->next < entry->dates.size() && when >= entry->dates[entry->next].at;
}

}  // namespace

bool direct_contract_month(PyObject* account, const std::string& code, double when,
                           direct::ContractMonth* out) {
  if (!PyObject_TypeCheck(account, positions_type)) return false;
  Positions& state = state_of(account);
  const CodeExpiries* entry = state.expiries.empty() ? nullptr : find(state, code);
  if (!entry || entry->dates.empty()) return false;
  constexpr double kInf = std::numeric_limits<double>::infinity();
  out->began = entry->next > entry->given_past ? entry->dates[entry->next - 1].at : -kInf;
  out->began_by = out->began;
  for (size_t i = entry->next; i < entry->dates.size() && entry->dates[i].at <= when; ++i)
    out->began_by = entry->dates[i].at;
  out->next = entry->next < entry->dates.size() ? entry->dates[entry->next].at : kInf;
  out->rolling = std::find(state.expired.begin(), state.expired.end(), code) != state.expired.end();
  return true;
}

double direct_expiry_from(PyObject* self, const std::string& code) {
  // Option series settle at the first tick after their expiry.
  const double options = std::nextafter(state_of(self).options.next_expiry,
                                        std::numeric_limits<double>::infinity());
  direct::ContractMonth month{};
  const double now = -std::numeric_limits<double>::infinity();  // only the next start is read
  return direct_contract_month(self, code, now, &month) ? std::min(options, month.next) : options;
}

void settle_expiries(nb::handle self, nb::handle tick) {
  Positions& state = state_of(self);
  if (state.expiries.empty()) return;
  nb::object code = item(tick, keys().code);
  if (!PyUnicode_Check(code.ptr())) return;
  CodeExpiries* entry = find(state, text_of(code));
  if (!entry || entry->next >= entry->dates.size()) return;
  const double when = require_number(item(tick, keys().timestamp), "timestamp");
  if (!due(entry, when)) return;
  // What is held expired with the first month passed: a gap of several months with no
  // trade settles it once, and any roll reopens at this tick, already in the latest month.
  const Expiry expiry = entry->dates[entry->next];
  while (entry->next < entry->dates.size() && when >= entry->dates[entry->next].at) ++entry->next;
  state.expired.push_back(entry->code);
  settle(self, code, expiry, entry->reopen, tick);
}

namespace {

// Positions.take_expired_codes(): the codes that expired since last asked, oldest first.
nb::list take_expired_codes(nb::handle self) {
  std::vector<std::string> codes;
  codes.swap(state_of(self).expired);
  nb::list out;
  for (const std::string& code : codes) out.append(nb::str(code.c_str()));
  return out;
}

}  // namespace

void bind_expiry(nb::class_<Positions>& cls) {
  def_method<&set_expiries>(cls, "set_expiries",
                            {param("code"), param("expiries"), param("reopen", nb::bool_(false))},
                            "設定連續近月期貨的到期: (新月份開始時間, 結算價或 None, 名稱) 的 list; "
                            "reopen 為 True 時在新月份第一筆成交轉倉");
  def_method<&take_expired_codes>(cls, "take_expired_codes", {},
                                  "取出上次取出後到期的商品代碼 (交易所據此取消其掛單)");
}

}  // namespace orva::py::positions
