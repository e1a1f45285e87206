#include "calendar/epoch_seconds.h"

#include <cmath>
#include <optional>
#include <stdexcept>

namespace orva::calendar {
namespace {

using u128 = unsigned __int128;

int bit_length(u128 value) {
  const auto high = static_cast<uint64_t>(value >> 64), low = static_cast<uint64_t>(value);
  if (high) return 128 - __builtin_clzll(high);
  return low ? 64 - __builtin_clzll(low) : 0;
}

// value / 2^shift rounded half to even (shift may be 0).
u128 shift_right_even(u128 value, int shift) {
  if (shift == 0) return value;
  const u128 quotient = value >> shift;
  const u128 rest = value & ((u128{1} << shift) - 1);
  const u128 half = u128{1} << (shift - 1);
  return quotient + ((rest > half || (rest == half && (quotient & 1))) ? 1 : 0);
}

// The double nearest to p / q (ties to even), for p >= 0, 0 < q < 2^64, p < 2^100.
double nearest_quotient(u128 p, u128 q) {
  if (p == 0) return 0.0;
  // Scale so the integer quotient has 54 or 55 bits: 53 kept, the rest rounded.
  int scale = 55 - (bit_length(p) - bit_length(q));
  u128 quotient, rest;
  if (scale >= 0) {
    quotient = (p << scale) / q;
    rest = (p << scale) % q;
  } else {
    quotient = p / (q << -scale);
    rest = p % (q << -scale);
  }
  // Drop bits beyond 53, folding a non-zero remainder into a sticky bit.
  const int extra = bit_length(quotient) - 53;
  const u128 sticky = rest != 0 ? 1 : 0;
  quotient = (quotient << 1) | sticky;  // one more bit keeps ties and stickiness apart
  const u128 mantissa = shift_right_even(quotient, extra + 1);
  return std::ldexp(static_cast<double>(mantissa), extra - scale);
}

constexpr int64_t kPowersOfTen[] = {1,         10,         100,         1000,     10000,
                                    100000,    1000000,    10000000,    100000000, 1000000000};

// Tick times' own case, in 64-bit steps: nanos / 10^9 of at least 2^26
// seconds (1972 on). Empty when the quotient needs 54 bits before rounding.
std::optional<double> nearest_seconds(uint64_t nanos) {
  constexpr uint64_t kBillion = 1000000000;
  const uint64_t whole = nanos / kBillion, rest = nanos % kBillion;
  const int scale = 53 - (64 - __builtin_clzll(whole));  // whole << scale has 53 bits
  const uint64_t part = rest << scale;                   // below 2^57
  uint64_t mantissa = (whole << scale) + part / kBillion;
  if (mantissa >> 53) return std::nullopt;
  const uint64_t left = part % kBillion;
  if (2 * left > kBillion || (2 * left == kBillion && (mantissa & 1))) ++mantissa;
  // Both are exact doubles (scale is at most 26), so the quotient is too: no ldexp call.
  return static_cast<double>(mantissa) / static_cast<double>(uint64_t{1} << scale);
}

double positive_seconds(u128 nanos, int digits) {
  // From 2^26 seconds on a double's step exceeds 10^-8, so rounding to 8 or
  // more decimals gives the quotient back.
  constexpr u128 kFastFrom = u128{1000000000} << 26;
  if (digits >= 8 && nanos >= kFastFrom)
    if (const auto seconds = nearest_seconds(static_cast<uint64_t>(nanos))) return *seconds;
  const double seconds = nearest_quotient(nanos, 1000000000);
  // Exact decimal value of `seconds` times 10^digits, rounded half to even:
  // seconds = m * 2^e with an integer m of at most 53 bits.
  int exponent = 0;
  const double fraction = std::frexp(seconds, &exponent);
  const u128 m = static_cast<u128>(std::ldexp(fraction, 53));
  exponent -= 53;
  const u128 scaled = m * static_cast<u128>(kPowersOfTen[digits]);
  const u128 units = exponent >= 0 ? scaled << exponent : shift_right_even(scaled, -exponent);
  return nearest_quotient(units, static_cast<u128>(kPowersOfTen[digits]));
}

}  // namespace

double seconds_from_nanos(int64_t nanos, int digits) {
  if (digits < 0 || digits > kMaxSecondDigits)
    throw std::invalid_argument("seconds_from_nanos: digits must lie in 0..9");
  // Both roundings are symmetric about zero.
  if (nanos >= 0) return positive_seconds(static_cast<u128>(nanos), digits);
  return -positive_seconds(static_cast<u128>(-(nanos + 1)) + 1, digits);
}

}  // namespace orva::calendar
