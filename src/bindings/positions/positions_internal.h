// Shared by the sources of class Positions; not part of any other binding.
#pragma once

#include <nanobind/nanobind.h>

#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/args.h"
#include "common/direct_api.h"
#include "costs/market_rules.h"
#include "costs/price_band.h"
#include "options/contract.h"

namespace orva::py::positions {

namespace nb = nanobind;

// A roll of a continuous futures series (expiry.cpp): from `at` on, its trades are the
// new month's; the expiring month settles at `settlement` (NaN: its last trade).
struct Expiry {
  double at;
  double settlement;
  std::string label;
};
struct CodeExpiries {
  std::string code;
  std::vector<Expiry> dates;
  size_t next;  // the first not yet settled
  bool reopen;
  size_t given_past = 0;  // months already begun when the schedule was given: none began here
};

// An option series as the runner described it (options.cpp): the core's facts and the texts
// handed back by option_contracts.
struct OptionSeries {
  options::Contract contract;
  std::string product, underlying, expiry, expiry_date;
};
// The account's option series and the final settlement prices of their expiry days.
struct OptionBook {
  std::unordered_map<std::string, OptionSeries> series;
  std::map<int64_t, double> supplied, approximated;  // expiry day → settlement price
  double next_expiry = std::numeric_limits<double>::infinity();  // the first not yet settled
};

// The C++ side of a Positions instance; the documented state lives in its __dict__.
struct Positions {
  std::vector<CodeExpiries> expiries;  // set only through set_expiries
  OptionBook options;                  // set only through set_option_contracts
  // Codes that expired since the exchange last asked (take_expired_codes): their resting
  // orders can never fill, so it cancels them.
  std::vector<std::string> expired;
};

#define ORVA_POSITIONS_KEYS(X)                                                                 \
  X(buy) X(sell) X(code) X(action) X(price) X(quantity) X(exchange_ts) X(product_type)         \
  X(trade_id) X(limit_price) X(entry_times) X(cover_times) X(receive_amount) X(payable_amount) X(net_profit)  \
  X(extra_fee) X(profit) X(rows) X(entry_dt) X(entry_price) X(entry_origin_price) X(exit_dt)   \
  X(exit_price) X(exit_origin_price) X(qty) X(min_qty) X(trade_cost) X(cover_cost)             \
  X(profit_ratio) X(receivable_total) X(payable_total) X(origin_profit) X(cover_cost_total)    \
  X(trade_cost_total) X(cost) X(is_covered) X(un_cover_qty) X(dt) X(trade_status) X(close)     \
  X(avg_price) X(pnl) X(cond) X(margin_purchase_amount) X(collateral) X(short_sale_margin)     \
  X(interest) X(date) X(fee) X(tax) X(fixed_cost) X(origin_price) X(slippage) X(tick_count)    \
  X(direction) X(per_trade_cost) X(positions) X(product_type_mapper) X(_account_infos)         \
  X(_profit_report) X(_fee_settings) X(current_capital) X(trade_records) X(current_tick_infos) \
  X(fetch_position_queue) X(finish_fetch_position_queue) X(wait_fetch_position_response_flag) \
  X(timestamp) X(market_type) X(tick_type) X(is_simulate) X(market_rules) X(fill_quantity)      \
  X(tax_rate) X(day_trade) X(expiry) X(fee_discount) X(min_fee) X(settlement_source)

// Interned keys of records, views and instance attributes.
struct Keys {
#define ORVA_KEY(name) nb::str name = interned(#name);
  ORVA_POSITIONS_KEYS(ORVA_KEY)
#undef ORVA_KEY
  nb::str stock = interned("Stock");
  nb::str future = interned("Future");
  nb::str option = interned("Option");
  nb::str stock_branch = interned("stock");
  nb::str future_branch = interned("future");
  nb::str option_branch = interned("option");
};

// Objects taken at module load; never released, because module teardown
// order at interpreter exit is unspecified.
struct Globals {
  Keys keys;
  nb::object queue_class;
  nb::object contract_values;  // constant.FutureIndexContractValue
  nb::object tick_sizes;       // constant.FutureTickSize
  nb::object cash;             // constant.OrderCond.CASH
};
extern Globals* globals;

inline const Keys& keys() { return globals->keys; }

// A cost record and the numbers in it.
struct CostRecord {
  nb::dict record;
  double fee, tax, fixed_cost, price, min_qty;
  double tax_rate;  // the rate the tax was taken at, 0 when ignored
};

// What the market rules make of one side of a fill.
struct SideTerms {
  double tax_rate = std::nan("");  // the side's own rate (a day trade's), else the setting's
  // A stock broker's terms (1 and 0: the described fee); `min_fee` is the side's share of
  // the minimum its fill bears once.
  double fee_discount = 1, min_fee = 0;
};

// `limit`: the limit price of a limit order's fill, which slippage never passes (None or
// absent for a market order).
CostRecord trade_cost(nb::handle self, nb::handle code, nb::handle action, nb::handle price,
                      nb::handle quantity, nb::handle product_type, bool ignore_tax,
                      bool is_cover, nb::handle limit = nb::handle(), const SideTerms& terms = {});

// Refuses a key of `dict` outside `names` with a ValueError: `message` and the key's repr.
void refuse_unknown_keys(nb::handle dict, const char* const* names, size_t count,
                         const std::string& message);

// The account's market rules (market_rules.cpp), none when it was given none.
std::optional<costs::MarketRules> market_rules_of(nb::handle self);
void bind_market_rules(nb::class_<Positions>& cls);

// Settles and rolls what a tick's arrival ends of a futures series (expiry.cpp); a tick that
// began a new contract month of its code adds the code to `expired`.
void settle_expiries(nb::handle self, nb::handle tick);
void bind_expiry(nb::class_<Positions>& cls);
// Books `qty` of one side of `code` (`entry` its oldest) as expired at exactly `price`, through
// add_trade_record and set_positions; its profit rows are marked. The index of the first row.
size_t book_expiry(nb::handle self, nb::handle code, nb::handle entry, bool long_side,
                   long long qty, nb::handle price, nb::handle when, const std::string& label,
                   nb::handle product_type);

// Settles the option series whose expiry a tick at `tick` (its record) has passed, and adds
// every series that expired to `expired` (options.cpp).
void settle_option_expiries(nb::handle self, nb::handle tick);
// The account's series of `code`, or null.
const OptionSeries* option_series(nb::handle self, nb::handle code);
// Money per index point of an option series: its multiplier, TXO's for a series not described.
double option_multiplier(nb::handle self, nb::handle code);
void bind_options(nb::class_<Positions>& cls);
void bind_option_maths(nb::module_& m);

// A price: finite, not negative and below the grid's limit, else ValueError.
double require_price(nb::handle price, const char* name);
// A slippage tick count: at most the bound, so no price walk runs long.
long long require_tick_count(nb::handle tick_count, const char* name);

// The price grid of a code: the premium bands of an option series (a described series, or any
// code traded as "Option"), its own tick when the futures tick table lists it.
costs::PriceGrid price_grid(nb::handle self, nb::handle code, bool option = false);

// A contract's unit as a number the host would write: 50, not 50.0, so quantities stay ints.
nb::object unit_number(double unit);

// Value of one price point of a futures contract.
nb::object contract_value(nb::handle code);

nb::dict new_account_info();

void bind_book(nb::class_<Positions>& cls);
void bind_reports(nb::class_<Positions>& cls);
// Chart back end, warnings, QuantStats and the report template; needs static_dir.
void set_up_reports(nb::module_& m);
void bind_quote_manager(nb::module_& m);
void bind_views(nb::class_<Positions>& cls);
// Net open quantity of `code`: long entries minus short ones; 0 when nothing is held.
long long net_quantity(nb::handle self, nb::handle code);
// Positions.set_current_tick for the exchange's per-tick step (0, or -1 with an error set).
int direct_set_account_tick(PyObject* self, PyObject* tick);
// The first time at which a tick of `code` settles an expiry (a new contract month of it, or
// any option series held); inf when none is to come.
double direct_expiry_from(PyObject* self, const std::string& code);
// Where `code` stands in its schedule of contract months (false for none, or for an account
// that is no Positions).
bool direct_contract_month(PyObject* account, const std::string& code, double when,
                           direct::ContractMonth* out);
// add_trade_record and set_positions for the exchange's booking of a fill (0, or -1 with an
// error set).
int direct_add_trade_record(PyObject* self, PyObject* trade_id, PyObject* code, PyObject* action,
                            PyObject* quantity, PyObject* price, PyObject* timestamp,
                            PyObject* trade_status);
int direct_set_positions(PyObject* self, PyObject* trade, PyObject* product_type);
// Whether `obj` is a Positions itself, not a subclass.
int is_positions(PyObject* obj);
extern PyTypeObject* positions_type;

}  // namespace orva::py::positions
