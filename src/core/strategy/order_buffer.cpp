#include "strategy/order_buffer.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

#include "costs/price_band.h"

namespace orva::strategy {
namespace {

// Quantities are whole numbers an int64 and a double both hold exactly.
constexpr double kMaxQuantity = 9007199254740992.0;  // 2^53

// The shortest text that reads back as `value`: 1.0000001 is not shown as 1.
std::string number(double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

// What is wrong with row `i`, or an empty text.
std::string check_row(const double* row, int64_t i, int64_t codes) {
  const std::string where = "第 " + std::to_string(i) + " 筆委託的";
  const double code = row[0], action = row[1], quantity = row[2], price = row[3], type = row[4];
  if (!(code >= 0 && code < static_cast<double>(codes)) || code != std::floor(code))
    return where + "商品索引必須是 0 到 " + std::to_string(codes - 1) + " 的整數: " + number(code);
  if (action != 1 && action != -1) return where + "買賣別必須是 1 (買) 或 -1 (賣): " + number(action);
  if (!(quantity >= 1 && quantity <= kMaxQuantity) || quantity != std::floor(quantity))
    return where + "數量必須是大於 0 的整數: " + number(quantity);
  // Past the grid's range no fill could be booked: refused here, at its own tick.
  if (!(price >= 0 && price <= costs::kMaxPrice))
    return where + "價格必須是 0 到 1000000000 的數值 (0 為市價): " + number(price);
  if (type != 0 && type != 1 && type != 2)
    return where + "委託條件必須是 0 (ROD)、1 (IOC) 或 2 (FOK): " + number(type);
  return {};
}

}  // namespace

ReadOrders read_orders(const double* rows, int64_t filled, int64_t capacity, int64_t codes) {
  ReadOrders out;
  if (filled < 0) {
    out.error = "策略回傳錯誤碼 " + std::to_string(filled);
    return out;
  }
  if (filled > capacity) {
    out.error = "策略回傳的委託筆數 " + std::to_string(filled) + " 超過委託緩衝的容量 " +
                std::to_string(capacity);
    return out;
  }
  for (int64_t i = 0; i < filled; ++i) {
    const double* row = rows + i * kOrderFields;
    if (std::string error = check_row(row, i, codes); !error.empty()) {
      out.orders.clear();
      out.error = std::move(error);
      return out;
    }
    out.orders.push_back({static_cast<int64_t>(row[0]), row[1] > 0,
                          static_cast<int64_t>(row[2]), row[3], static_cast<OrderType>(row[4])});
  }
  return out;
}

namespace {

// The guard's contents: a NaN no arithmetic makes, compared byte for byte (one memcmp a call).
using Guard = std::array<double, GuardedRows::kGuardRows * kOrderFields>;

const Guard& guard_marker() {
  static const Guard marker = [] {
    constexpr uint64_t kBits = 0x7ff80000'0badf00dULL;
    double value;
    std::memcpy(&value, &kBits, sizeof value);
    Guard cells;
    cells.fill(value);
    return cells;
  }();
  return marker;
}

}  // namespace

GuardedRows::GuardedRows(int64_t capacity)
    : capacity_(capacity), cells_(static_cast<size_t>((capacity + kGuardRows) * kOrderFields)) {
  std::memcpy(cells_.data() + capacity_ * kOrderFields, guard_marker().data(), sizeof(Guard));
}

bool GuardedRows::overrun() {
  double* guard = cells_.data() + capacity_ * kOrderFields;
  if (std::memcmp(guard, guard_marker().data(), sizeof(Guard)) == 0) return false;
  std::memcpy(guard, guard_marker().data(), sizeof(Guard));
  return true;
}

}  // namespace orva::strategy
