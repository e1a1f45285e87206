#include "exchange/contract_rolls.h"

#include <algorithm>
#include <cmath>

namespace orva::exchange {

bool worth_noting(double sent, const ContractMonth& month, bool sweeping) {
  return std::isnan(sent) || sent >= month.next || month.rolling || sweeping;
}

bool void_on_arrival(double sent, const ContractMonth& month) { return sent < month.began_by; }

void LateOrders::note(std::string code, std::string trade_id, double sent) {
  sent_.push_back({std::move(code), std::move(trade_id), sent});
}

void LateOrders::start(double first_tick) {
  for (Sent& sent : sent_)
    if (std::isnan(sent.at)) sent.at = first_tick;
}

std::vector<std::string> LateOrders::roll(const std::vector<std::pair<std::string, double>>& rolled) {
  std::vector<std::string> kept;
  auto rolls = [&](const Sent& sent) {
    for (const auto& [code, began] : rolled)
      if (code == sent.code) {
        if (sent.at >= began) kept.push_back(sent.trade_id);
        return true;
      }
    return false;
  };
  sent_.erase(std::remove_if(sent_.begin(), sent_.end(), rolls), sent_.end());
  return kept;
}

bool LateOrders::awaits_void(const std::string& trade_id, const ContractMonth& month) const {
  if (!(month.began_by > month.began)) return false;
  return std::none_of(sent_.begin(), sent_.end(), [&](const Sent& sent) {
    return sent.trade_id == trade_id && sent.at >= month.began_by;
  });
}

}  // namespace orva::exchange
