// Shared by the tick buffer (quote_manager.cpp) and its K-bar tables
// (kbar_tables.cpp): the polars objects their frames are made of.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstddef>
#include <vector>

#include "common/args.h"
#include "common/host.h"
#include "positions/quote_manager.h"

namespace orva::py::positions {

struct Polars {
  nb::object pl, np_frombuffer, time_parse, epoch, timedelta;
  nb::object series, datetime_us, int64, data_frame;
};
extern Polars* polars;  // set when the module binds QuoteManager

nb::object col(const char* name);

// values[from, to) as a numpy array of `dtype`, copied.
template <class T>
nb::object numpy_copy(const std::vector<T>& values, size_t from, size_t to, const char* dtype) {
  nb::object bytes = checked(PyBytes_FromStringAndSize(
      reinterpret_cast<const char*>(values.data() + from), (to - from) * sizeof(T)));
  return polars->np_frombuffer(bytes, nb::arg("dtype") = dtype);
}

// Buffered tick table of ticks [from, to) of `entry`, sorted by dt (stable).
nb::object tick_df(const Entry& entry, size_t from, size_t to);

// QuoteManager.get_kbar and QuoteManager.aggregate_kbar.
nb::object get_kbar(nb::handle self, nb::handle code, nb::handle unit, nb::handle freq,
                    nb::handle exprs, nb::handle to_pandas_df);
nb::object aggregate_kbar_method(nb::handle self, nb::handle tick_df);

}  // namespace orva::py::positions
