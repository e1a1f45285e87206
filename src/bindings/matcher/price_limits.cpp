// Daily price limits at the exchange (opt in: Matcher(price_limit=0.1)). Each
// code's band follows its own trades (exchange/price_limits); a limit order
// priced outside it is refused with an order report and never enters the
// book, and a trade outside it fills nothing.
#include <cstdio>
#include <string>

#include "common/args.h"
#include "common/host.h"
#include "common/price_grid.h"
#include "matcher/matcher_internal.h"

namespace orva::py::matcher {
namespace {

const Keys& k() { return globals->keys; }

CodeLimits* find(Matcher& matcher, const std::string& code) {
  for (CodeLimits& entry : matcher.limits)
    if (entry.code == code) return &entry;
  return nullptr;
}

std::string price_text(double price) {
  char text[64];
  std::snprintf(text, sizeof text, "%.10g", price);
  return text;
}

// The refusal, as a code object for the order report: RejectCode.PriceLimit with the band.
nb::object refusal(double price, const exchange::Band& band) {
  // Kept for good: module teardown order at exit is unspecified.
  static PyObject* reject =
      nb::object(nb::module_::import_("orva_backtest.constant").attr("RejectCode").attr("PriceLimit"))
          .release().ptr();
  static PyObject* make =
      nb::object(nb::module_::import_("types").attr("SimpleNamespace")).release().ptr();
  nb::handle code = nb::handle(reject);
  return nb::handle(make)(nb::arg("code") = code.attr("code"),
                          nb::arg("message") = nb::str((text_of(code.attr("message")) + ": " +
                                                        price_text(price) + " 不在 " +
                                                        price_text(band.low) + " ~ " +
                                                        price_text(band.high) + " 之間")
                                                           .c_str()));
}

}  // namespace

void note_price(nb::handle self, Matcher& matcher, nb::handle code, const std::string& text,
                double time, double close) {
  // A code's ticks from the feed share one str: found by identity, no text is compared.
  CodeLimits* entry = nullptr;
  for (CodeLimits& known : matcher.limits)
    if (known.seen.ptr() == code.ptr()) entry = &known;
  if (!entry) entry = find(matcher, text);
  if (!entry) {
    static PyObject* ticks =
        nb::object(nb::module_::import_("orva_backtest.constant").attr("FutureTickSize"))
            .release().ptr();
    const costs::PriceGrid grid = price_grid(code, nb::handle(ticks));
    // Asked once per code: an account without options (or a host's own) has no such series.
    nb::object series = nb::getattr(nb::getattr(self, k().positions), "option_contracts", nb::none());
    const bool option = !series.is_none() && checked(PySequence_Contains(series.ptr(), code.ptr())) == 1;
    matcher.limits.push_back({text, grid.fixed_tick, {}, option});
    entry = &matcher.limits.back();
  }
  if (entry->seen.ptr() != code.ptr()) entry->seen = nb::borrow(code);  // held: never reused
  if (entry->exempt) return;
  entry->limits.trade({entry->code, entry->fixed_tick}, matcher.price_limit, time, close);
}

std::optional<exchange::Band> band_of(Matcher& matcher, const std::string& code) {
  const CodeLimits* entry = find(matcher, code);
  return entry ? entry->limits.band() : std::nullopt;
}

bool within_limits(Matcher& matcher, const std::string& code, double price) {
  const CodeLimits* entry = find(matcher, code);
  return !entry || !entry->limits.band() || entry->limits.band()->contains(price);
}

bool refuse_outside_limits(nb::handle self, nb::handle order, nb::handle operation) {
  Matcher& matcher = state_of(self);
  if (matcher.price_limit <= 0 || !equals(item(order, k().price_type), globals->price_lmt))
    return false;
  const CodeLimits* entry = find(matcher, text_of(item(order, k().code)));
  const double price = require_number(item(order, k().price), "price");
  if (!entry || !entry->limits.band() || entry->limits.band()->contains(price)) return false;
  add_response_to_queue(self, build_order_response(self, order, operation,
                                                   refusal(price, *entry->limits.band())));
  console_print("[red]委託單 " + text_of(item(order, k().trade_id)) + " 被交易所拒絕: 價格 " +
                price_text(price) + " 超出當日漲跌幅限制[/red]");
  return true;
}

}  // namespace orva::py::matcher
