// Tick times as the feed hands them to hosts: nanoseconds since the epoch
// turned into seconds kept to a number of decimal places, exactly as Python's
// round(ns / 10**9, digits) gives them, without a call into Python.
#pragma once

#include <cstdint>

namespace orva::calendar {

inline constexpr int kMaxSecondDigits = 9;

// round(nanos / 10**9, digits) of Python: the correctly rounded quotient,
// then rounded half to even at `digits` decimals and read back correctly
// rounded. `digits` must lie in 0..kMaxSecondDigits.
double seconds_from_nanos(int64_t nanos, int digits);

}  // namespace orva::calendar
