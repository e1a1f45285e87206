// The per-tick steps of the exchange and the quote manager, offered to the
// tick feed's direct replay as tables of C functions in capsules. The three
// extension modules share no symbols; this way a tick crosses them without a
// Python call. Every function returns -1 with a Python error set on failure.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "calendar/local_time.h"
#include "exchange/contract_rolls.h"
#include "exchange/queue_fill.h"

namespace orva::py::direct {

inline constexpr unsigned kApiVersion = 6;

// One tick as the replay has it: the feed's record and its checked values.
struct Tick {
  PyObject* record;              // the tick record handed to the host (a dict); null when
                                 // none is made yet (see MatcherApi::quiet_until)
  PyObject* code;                // str
  const std::string* code_text;
  PyObject* market_type;         // str
  const std::string* market_text;
  PyObject* timestamp;           // float seconds, the record's own object; null while no
                                 // record is made (the loop makes it only when needed)
  double seconds;                // its value
  calendar::LocalMicros local;   // the timestamp on the local clock
  double close;
  int64_t qty;
  int64_t tick_type;
  bool is_simulate;
  bool has_quotes;  // the replay carries quotes (a fill model asked for them)
  exchange::Quotes quotes;
};

// An order as the loop places it on a strategy's behalf; the texts are the
// values `Matcher.add_order` takes.
struct Order {
  PyObject* code;          // str
  PyObject* product_type;  // "Stock" or "Future"
  PyObject* action;        // "Buy" or "Sell"
  double price;            // a market order's: the code's latest close
  long long quantity;
  PyObject* price_type;  // "MKT" or "LMT"
  PyObject* order_type;  // "ROD", "IOC" or "FOK"
};

// The reports an exchange left unmade since they were last taken (see MatcherApi::mute_reports).
struct UnreadReports {
  long long orders = 0, deals = 0;
};

struct MatcherApi {
  unsigned version;
  // 1 when `obj` is a Matcher itself (a subclass may override the steps), else 0.
  int (*is_matcher)(PyObject* obj);
  // set_current_tick(record), and match_deal(code, close, qty, timestamp).
  int (*set_current_tick)(PyObject* matcher, const Tick& tick);
  int (*match)(PyObject* matcher, const Tick& tick);
  // Whether the code's ticks may go without records for now: 0 when something Python can
  // see needs the record of `tick` (orders of its code rest or are on their way, the account
  // is a subclass: then set_current_tick and match follow); else 1, and `until` is when time
  // alone ends that (a contract month or option series of it ends). Only an order, Python
  // code or a fill changes the answer before then.
  int (*quiet_until)(PyObject* matcher, const Tick& tick, double* until);
  // What the exchange takes from quiet ticks, in order: their time, price band and quotes.
  // Their records are left to record_tick once Python can look.
  int (*note_ticks)(PyObject* matcher, const Tick* ticks, size_t count);
  // current_tick_infos[code] = {ts: timestamp, tick: record}, the record handed to the account.
  int (*record_tick)(PyObject* matcher, PyObject* code, PyObject* record, PyObject* timestamp);
  // add_order(...) with the order's values and the defaults of the rest.
  int (*add_order)(PyObject* matcher, const Order& order);
  // While muted (on = 1) the exchange makes and queues no report, as none would be read:
  // it counts them instead. take_unread hands over those counts since the last take, and
  // clears them; unmuting clears them too.
  int (*mute_reports)(PyObject* matcher, int on);
  int (*take_unread)(PyObject* matcher, UnreadReports* out);
};

using ContractMonth = exchange::ContractMonth;

struct QuotesApi {
  unsigned version;
  int (*is_quote_manager)(PyObject* obj);  // as is_matcher
  int (*is_bar_feed)(PyObject* obj);
  // QuoteManager.add_tick(record), from its values.
  int (*add_tick)(PyObject* quotes, const Tick& tick);
  // add_tick of each of `count` ticks in order, their times already in range, under one
  // lock: each code's entry and each product type's windows are looked up once per call.
  int (*add_ticks)(PyObject* quotes, const Tick* ticks, size_t count);
  // BarFeed.update(code) and BarFeed.close(): the bar records are appended to `out`.
  int (*update_bars)(PyObject* feed, PyObject* code, PyObject* out);
  int (*close_bars)(PyObject* feed, PyObject* out);
  // The account's side of the same module: Positions.set_current_tick(record),
  // for a Positions itself (as is_matcher); 1 when the tick began a new contract
  // month of its code, whose expired month's orders are void.
  int (*is_positions)(PyObject* obj);
  int (*set_account_tick)(PyObject* positions, PyObject* record);
  // The first time at which the account's tick of `code` would settle an expiry; inf for none.
  double (*expiry_from)(PyObject* positions, const std::string& code);
  // The contract months of `code` in any account's schedule, as of `when`; false for no
  // schedule, or for an account that is no Positions (a subclass is one).
  bool (*contract_month)(PyObject* account, const std::string& code, double when, ContractMonth* out);
  // The exchange's booking of a fill into a Positions itself (as is_positions), with no
  // method call: add_trade_record(trade_id, code, action, quantity, price, timestamp,
  // trade_status) and set_positions(trade, product_type).
  int (*add_trade_record)(PyObject* positions, PyObject* trade_id, PyObject* code,
                          PyObject* action, PyObject* quantity, PyObject* price,
                          PyObject* timestamp, PyObject* trade_status);
  int (*set_positions)(PyObject* positions, PyObject* trade, PyObject* product_type);
};

inline constexpr const char* kMatcherApi = "orva_backtest.modules.matcher.matcher._direct_api";
inline constexpr const char* kQuotesApi = "orva_backtest.modules.positions.positions._direct_api";

// The table a module published under `name`; null with an error set when it
// is missing or of another version.
template <class Api>
const Api* import_api(const char* name) {
  auto* api = static_cast<const Api*>(PyCapsule_Import(name, 0));
  if (api && api->version != kApiVersion) {
    PyErr_Format(PyExc_ImportError, "%s: version %u, expected %u", name, api->version, kApiVersion);
    return nullptr;
  }
  return api;
}

// Publishes `api` (static storage) as the module attribute "_direct_api".
inline int publish_api(PyObject* module, const char* name, const void* api) {
  PyObject* capsule = PyCapsule_New(const_cast<void*>(api), name, nullptr);
  if (!capsule) return -1;
  const int status = PyObject_SetAttrString(module, "_direct_api", capsule);
  Py_DECREF(capsule);
  return status;
}

}  // namespace orva::py::direct
