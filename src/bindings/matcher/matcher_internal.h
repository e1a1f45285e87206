// Shared by the sources of class Matcher; not part of any other binding.
#pragma once

#include <nanobind/nanobind.h>

#include <cmath>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/args.h"
#include "common/direct_api.h"
#include "common/enum_lookup.h"
#include "threads/worker_gate.h"
#include "exchange/price_limits.h"
#include "exchange/quotes_in_force.h"
#include "matcher/book_index.h"

namespace orva::py::matcher {

namespace nb = nanobind;

// The C++ side of a Matcher instance; the documented fields live in its __dict__.
enum class FillModel { Touch, Queue };

// An order, a change or a cancellation on its way to the exchange (latency).
struct InFlight {
  enum class Kind { New, Modify, Cancel };
  double sent, arrival;  // seconds since the epoch
  Kind kind;
  nb::object order;      // New: the order record
  nb::object data;       // New: the add_order call's arguments, for the log
  nb::object trade_id, qty, price;  // Modify and Cancel: the call's arguments
};

// One code's daily price limits (price_limits.cpp).
struct CodeLimits {
  std::string code;
  double fixed_tick;  // of its price grid; 0: the stock price bands
  exchange::DailyLimits limits;
  // An option series of the account: its band follows the index, not its own premium, and
  // is far wider than a day's moves, so it keeps none.
  bool exempt = false;
  nb::object seen;  // the str of its last tick, kept so that its identity stays this code's
};

struct Matcher {
  // Held for a whole intake step or matching pass, so each sees a stable book.
  // Recursive because host callbacks (console, account) may re-enter.
  std::recursive_mutex book;
  BookIndex index;  // guarded by `book`
  threads::WorkerGate gate;  // lets the process exit between requests

  FillModel model = FillModel::Touch;
  double latency = 0;          // seconds from sending to reaching the exchange
  double latency_ms = 0;       // as given: seconds times 1000 would not read back as given
  double now = std::nan("");   // time of the tick being handled; NaN before the first
  std::deque<InFlight> in_flight;  // by arrival
  // Orders of a futures code whose month their send time decides; any other order of an
  // expired month is void.
  exchange::LateOrders late;
  int sweeping = 0;  // expiries being voided: every order sent meanwhile is noted
  nb::object last_order_id = nb::none();
  // The queue model's state: the quotes in force of each code, and where each
  // resting limit order (by trade id) stands at its price.
  std::vector<std::pair<std::string, exchange::QuotesInForce>> quotes;  // few codes: a scan beats a hash
  std::unordered_map<std::string, exchange::QueuePosition> queue;
  // Daily price limits: the band's fraction of the reference price (0: none), and each code's.
  double price_limit = 0;
  std::vector<CodeLimits> limits;
  // While a replay's strategy reads no reports, none is made: only counted.
  bool reports_muted = false;
  direct::UnreadReports unread;
};

// Interned keys of records and reports.
struct Keys {
  nb::str operation_type = interned("operation_type");
  nb::str operation_code = interned("operation_code");
  nb::str operation_message = interned("operation_message");
  nb::str operation_status_code = interned("operation_status_code");
  nb::str trade_id = interned("trade_id");
  nb::str account_id = interned("account_id");
  nb::str code = interned("code");
  nb::str product_type = interned("product_type");
  nb::str action = interned("action");
  nb::str price = interned("price");
  nb::str limit_price = interned("limit_price");
  nb::str quantity = interned("quantity");
  nb::str price_type = interned("price_type");
  nb::str order_type = interned("order_type");
  nb::str exchange_ts = interned("exchange_ts");
  nb::str order_cond = interned("order_cond");
  nb::str order_lot = interned("order_lot");
  nb::str oc_type = interned("oc_type");
  nb::str id = interned("id");
  nb::str seqno = interned("seqno");
  nb::str ordno = interned("ordno");
  nb::str exchange_seqno = interned("exchange_seqno");
  nb::str broker_id = interned("broker_id");
  nb::str account = interned("account");
  nb::str order = interned("order");
  nb::str trade_status = interned("trade_status");
  nb::str exchange = interned("exchange");
  nb::str name = interned("name");
  nb::str ts = interned("ts");
  nb::str tick = interned("tick");
  nb::str payload = interned("payload");
  nb::str qty = interned("qty");
  nb::str info = interned("info");
  nb::str timestamp = interned("timestamp");
  nb::str positions = interned("positions");
  nb::str stock = interned("Stock");
  nb::str future = interned("Future");
  nb::str deal = interned("Deal"), cancel = interned("Cancel");  // trade record statuses
  // Instance attributes read on every call.
  nb::str pending_orders = interned("pending_orders");
  nb::str response_queue = interned("response_queue");
  // Of a queue.Queue, and the _waiters of its not_empty condition.
  nb::str queue_items = interned("queue"), maxsize = interned("maxsize"), mutex = interned("mutex");
  nb::str unfinished_tasks = interned("unfinished_tasks"), not_empty = interned("not_empty");
  nb::str waiters = interned("_waiters");
  nb::str popleft = interned("popleft"), append = interned("append"), acquire = interned("acquire");
  nb::str release = interned("release"), notify = interned("notify");
  nb::str pending_order_queue = interned("pending_order_queue");
  nb::str current_tick_infos = interned("current_tick_infos");
  nb::str set_current_tick = interned("set_current_tick");
  nb::str take_expired_codes = interned("take_expired_codes");
  nb::str account_info = interned("account_info");
  nb::str exchange_info = interned("exchange_info");
  nb::str quote = interned("quote");
  nb::str close = interned("close");
};

// Objects of orva_backtest and the standard library taken at module load.
struct Globals {
  Keys keys;
  EnumLookup action, price_type, order_type, order_cond, order_lot, oc_type, operation_type;
  nb::object operation_new, operation_update_qty, operation_update_price, operation_cancel;
  nb::object create_order, modify_order, order_be_cancel;  // SuccessCode members
  nb::object order_rod, order_ioc, order_fok, price_lmt, action_buy;
  nb::object positions_class, queue_class;
  std::string id_alphabet;  // nanoid's
  nb::object urandom;
  const direct::QuotesApi* account_api;  // the positions module's per-tick steps
  // SuccessCode members with their code and message, read once: they are fixed, and each
  // is two Python properties per report.
  struct Texts { nb::object member, code, message; };
  std::vector<Texts> success_texts;
  nb::object operation_new_value;  // OperationType.NEW.value, a property read per order
};

// Never released: module teardown order at interpreter exit is unspecified.
extern Globals* globals;

Matcher& state_of(nb::handle self);

// Python's a == b.
inline bool equals(nb::handle a, nb::handle b) {
  return checked(PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ)) == 1;
}

// Exchange time of the latest tick of `code`, None before the first one.
nb::object latest_tick_ts(nb::handle self, nb::handle code);
// The cached texts of a SuccessCode member; null for any other code.
const Globals::Texts* known_texts(nb::handle code_obj);

// Reports (reports.cpp).
nb::dict build_order_response(nb::handle self, nb::handle trade, nb::handle operation_type,
                              nb::handle code_obj);
nb::dict build_deal_response(nb::handle self, nb::handle trade);
void add_response_to_queue(nb::handle self, nb::handle response);
// Whether a report (a deal's or an order's) is to be made; false, the report counted as
// unread, while reports are muted. Asked before a report that is made for every order or fill.
bool report_wanted(nb::handle self, bool deal);
void bind_reports(nb::class_<Matcher>& cls);

// Modification and cancellation (order_changes.cpp).
void bind_order_changes(nb::class_<Matcher>& cls);

// Ticks and matching (matching.cpp); the direct replay's step (see common/direct_api.h).
void bind_matching(nb::class_<Matcher>& cls);
const direct::MatcherApi& direct_matching_api();
// The loop's add_order (matcher.cpp), for the table.
int direct_add_order(PyObject* self, const direct::Order& order);
// Books one fill of `quantity` of `order` at `price`: trade record, deal report, account.
void fill_order(nb::handle self, nb::handle account, nb::handle order, long long quantity,
                nb::handle price, nb::handle tick_ts);
// Where `code` stands in `account`'s schedule of contract months as of `when`; none for a code
// that is no str, or one `account` keeps no schedule of.
std::optional<direct::ContractMonth> contract_month_of(nb::handle account, nb::handle code, double when);
// Whether a resting `order` was sent before a contract month of its code that began by `when`,
// though no trade of the code has begun it yet: the expiry that trade brings voids the order.
bool awaits_void(nb::handle self, nb::handle order, double when);
// Notes when an order was sent if the expiry its code's next trade may bring could otherwise
// void it wrongly (matching.cpp).
void note_sent(nb::handle self, nb::handle code, nb::handle trade_id);
// The exchange cancels `quantity` of `order`: order report and trade record, dated as its
// code's last trade unless `at_tick_ts` (a cancel at another code's tick).
void exchange_cancel(nb::handle self, nb::handle account, nb::handle order, long long quantity,
                     nb::handle tick_ts, bool at_tick_ts = false);
// Today's rules for one order on one tick (the touch model); returns the quantity dealt.
long long touch_order(nb::handle self, nb::handle account, nb::handle book,
                      const IndexedOrder& entry, double close, long long volume, nb::handle tick_ts);
// Appends `order` to the book and queues its order report; `data` goes to the log should the
// report fail.
void enter_book(nb::handle self, nb::handle order, nb::handle data);
// The change and cancellation themselves, when they reach the exchange (order_changes.cpp).
void apply_modify(nb::handle self, nb::handle trade_id, nb::handle qty, nb::handle price);
void apply_cancel(nb::handle self, nb::handle trade_id);

// Fill models and latency (fill_model.cpp).
// Sends a new order, a change or a cancellation: at once without latency
// (true), else on its way (false).
bool send_now(nb::handle self, InFlight::Kind kind, nb::handle order, nb::handle data,
              nb::handle trade_id, nb::handle qty, nb::handle price);
// Before the tick at `time` is matched: what has reached the exchange by then.
void deliver(nb::handle self, double time);
// The queue model's arrival of a resting order: its place, or an immediate fill.
void arrive(nb::handle self, nb::handle order, nb::handle tick_ts);
// The queue model's part of a matching pass: fills of the code's resting orders.
void queue_pass(nb::handle self, nb::handle book, const std::vector<IndexedOrder>& orders,
                nb::handle code, double close, long long volume, nb::handle tick_ts);
// The quotes in force of `code` (made on its first tick). The caller holds the book guard.
exchange::QuotesInForce& quotes_board(Matcher& matcher, const std::string& code);
bool quotes_of(nb::handle record, exchange::Quotes& out);
// The properties fill_model and latency_ms, as the account's reports show them too.
nb::str fill_model_of(nb::handle self);
nb::object latency_ms_of(nb::handle self);
void bind_fill_model(nb::class_<Matcher>& cls);

// Daily price limits (price_limits.cpp). A trade of `code` at `close`, before the orders
// arriving at `time` meet it (`self` the matcher, whose account says which codes are options):
void note_price(nb::handle self, Matcher& matcher, nb::handle code, const std::string& text,
                double time, double close);
// The code's band today, if it has one.
std::optional<exchange::Band> band_of(Matcher& matcher, const std::string& code);
// Whether `price` lies within the code's band (true while it has none).
bool within_limits(Matcher& matcher, const std::string& code, double price);
// Refuses a limit order (a new one, or a price change as `operation`) priced outside its
// code's band: its order report, nothing booked.
bool refuse_outside_limits(nb::handle self, nb::handle order, nb::handle operation);

}  // namespace orva::py::matcher
