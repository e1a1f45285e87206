// One-minute bars kept in place of the ticks they were folded from: every
// K-bar unit starts on a minute, so any of them can be built from these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "calendar/local_time.h"

namespace orva::quotes {

using calendar::LocalMicros;

struct Bar {
  LocalMicros dt;
  double open, high, low, close;
  int64_t volume;
};

// Whole hundredths of a price, exact for every tick size of the exchanges.
struct Hundredths {
  static bool encode(double value, int32_t& out);
  static double decode(int32_t value) { return value / 100.0; }
};

struct WholeNumber {
  static bool encode(int64_t value, int32_t& out);
  static int64_t decode(int32_t value) { return value; }
};

// A column kept in 4 bytes a value while every value fits them exactly, and
// wide from the first that does not: a decade of minutes is millions of rows.
template <class Wide, class Codec>
class NarrowColumn {
 public:
  size_t size() const { return wide_ ? wide_values_.size() : narrow_.size(); }
  Wide operator[](size_t i) const { return wide_ ? wide_values_[i] : Codec::decode(narrow_[i]); }
  void push_back(Wide value);
  void set_back(Wide value);

 private:
  void widen();

  bool wide_ = false;
  std::vector<int32_t> narrow_;
  std::vector<Wide> wide_values_;
};

// One-minute bars in time order, as columns: 24 bytes a minute while prices
// are whole hundredths and volumes fit 31 bits, where the ticks of a busy
// minute take 34 bytes each.
class MinuteBars {
 public:
  size_t size() const { return minute_.size(); }
  Bar at(size_t i) const;
  // Index of the first bar starting at or after `dt`.
  size_t first_from(LocalMicros dt) const;
  // Appends `bar`, which starts on a minute. A bar of the last minute widens it
  // and sets its close (its open stays); one of an earlier minute is left out,
  // as a late tick is by the bars' updates.
  void add(const Bar& bar);

 private:
  std::vector<int32_t> minute_;  // minutes since 1970-01-01 00:00, local
  NarrowColumn<double, Hundredths> open_, high_, low_, close_;
  NarrowColumn<int64_t, WholeNumber> volume_;
};

}  // namespace orva::quotes
