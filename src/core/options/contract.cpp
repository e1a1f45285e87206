#include "options/contract.h"

#include <algorithm>

#include "calendar/taipei.h"

namespace orva::options {

std::optional<Right> parse_right(std::string_view text) {
  if (text == "C") return Right::Call;
  if (text == "P") return Right::Put;
  return std::nullopt;
}

double intrinsic_value(Right right, double strike, double underlying) {
  return std::max(right == Right::Call ? underlying - strike : strike - underlying, 0.0);
}

double out_of_the_money(Right right, double strike, double underlying) {
  return std::max(right == Right::Call ? strike - underlying : underlying - strike, 0.0);
}

double written_margin(const Contract& contract, double premium, double underlying, double a,
                      double b) {
  const double out = out_of_the_money(contract.right, contract.strike, underlying);
  return premium * contract.multiplier + std::max(a - out * contract.multiplier, b);
}

double expiry_time(int64_t expiry_day) {
  return static_cast<double>(expiry_day) * 86400 + 13.5 * 3600 - calendar::kTaipeiOffsetSeconds;
}

bool expired_by(int64_t expiry_day, double now) { return now > expiry_time(expiry_day); }

}  // namespace orva::options
