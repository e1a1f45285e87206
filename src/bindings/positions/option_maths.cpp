// Module functions over the core's option maths: Black-76 with its greeks, the
// implied volatility, and the margin of a written contract. The first two take
// numbers or array-likes (numpy broadcasting), so a whole chain is one call.
#include <cstring>
#include <string>
#include <vector>

#include "common/methods.h"
#include "options/black76.h"
#include "options/contract.h"
#include "positions/positions_internal.h"

namespace orva::py::positions {
namespace {

using options::Right;

bool plain_number(nb::handle obj) {
  return PyFloat_Check(obj.ptr()) || (PyLong_Check(obj.ptr()) && !PyBool_Check(obj.ptr()));
}

Right require_right(nb::handle right) {
  const auto parsed = PyUnicode_Check(right.ptr()) ? options::parse_right(text_of(right)) : std::nullopt;
  if (!parsed) raise_value_error("right 必須是 \"C\" 或 \"P\", 收到: " + text_of(nb::repr(right)));
  return *parsed;
}

// The rate given, or the package's setting read at each call (the host may change it).
nb::object rate_or_setting(nb::handle rate) {
  if (!rate.is_none()) return nb::borrow(rate);
  return nb::module_::import_("orva_backtest.constant").attr("OptionRiskFreeRate");
}

// The numeric arguments and rights of one call, as equal-length columns.
struct Columns {
  std::vector<std::vector<double>> numbers;
  std::vector<Right> rights;
  size_t size = 1;
  nb::object shape;  // None for a call on plain numbers
};

std::vector<double> read_doubles(nb::handle array, size_t size) {
  Py_buffer view;
  if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) throw nb::python_error();
  std::vector<double> out(size);
  const bool fits = view.format && std::string(view.format) == "d" &&
                    static_cast<size_t>(view.len) == size * sizeof(double);
  if (fits) std::memcpy(out.data(), view.buf, size * sizeof(double));
  PyBuffer_Release(&view);
  if (!fits) raise_value_error("無法讀取陣列的數值");
  return out;
}

Columns gather(std::initializer_list<std::pair<nb::handle, const char*>> numbers, nb::handle right) {
  Columns out;
  bool plain = PyUnicode_Check(right.ptr());
  for (const auto& [value, name] : numbers) plain = plain && plain_number(value);
  if (plain) {
    for (const auto& [value, name] : numbers) out.numbers.push_back({require_amount(value, name)});
    out.rights.push_back(require_right(right));
    out.shape = nb::none();
    return out;
  }
  nb::module_ np = nb::module_::import_("numpy");
  nb::list arrays;
  for (const auto& [value, name] : numbers) {
    // numpy would read "23000", True or a date as a number: a mistake, not a price. A masked
    // array would lose its mask on the way and price the values it hides.
    const std::string kind = text_of(np.attr("asarray")(value).attr("dtype").attr("kind"));
    const bool masked = checked(PyObject_IsInstance(value.ptr(), np.attr("ma").attr("MaskedArray").ptr())) == 1;
    if ((kind != "i" && kind != "u" && kind != "f" && kind != "O") || masked)
      raise_value_error(std::string(name) + " 必須是數字或數字陣列, 收到: " + text_of(nb::repr(value)));
    arrays.append(np.attr("asarray")(value, "float64"));
  }
  nb::object rights = PyUnicode_Check(right.ptr()) ? nb::borrow(right) : np.attr("asarray")(right);
  out.shape = np.attr("broadcast")(*arrays, rights).attr("shape");
  for (nb::handle extent : out.shape) out.size *= nb::cast<size_t>(extent);
  for (nb::handle array : arrays) {
    nb::object flat = np.attr("ascontiguousarray")(np.attr("broadcast_to")(array, out.shape), "float64");
    out.numbers.push_back(read_doubles(flat, out.size));
  }
  if (PyUnicode_Check(right.ptr())) {
    out.rights.assign(out.size, require_right(right));
  } else {
    nb::list texts = nb::borrow<nb::list>(np.attr("broadcast_to")(rights, out.shape).attr("ravel")().attr("tolist")());
    for (nb::handle text : texts) out.rights.push_back(require_right(text));
  }
  return out;
}

nb::object column(const Columns& in, const std::vector<double>& values) {
  if (in.shape.is_none()) return nb::float_(values[0]);
  nb::module_ np = nb::module_::import_("numpy");
  nb::object array = np.attr("empty")(in.size, "float64");
  Py_buffer view;
  if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0) throw nb::python_error();
  std::memcpy(view.buf, values.data(), values.size() * sizeof(double));
  PyBuffer_Release(&view);
  return array.attr("reshape")(in.shape);
}

nb::dict black76(nb::handle, nb::handle forward, nb::handle strike, nb::handle years,
                 nb::handle vol, nb::handle right, nb::handle rate) {
  nb::object r = rate_or_setting(rate);
  const Columns in = gather({{forward, "forward"}, {strike, "strike"}, {years, "years"},
                             {vol, "vol"}, {r, "rate"}}, right);
  std::vector<double> price(in.size), delta(in.size), gamma(in.size), vega(in.size), theta(in.size);
  const size_t scalar = in.shape.is_none() ? 0 : 1;
  for (size_t i = 0; i < in.size; ++i) {
    const size_t at = i * scalar;
    const options::Greeks g = options::black76(in.numbers[0][at], in.numbers[1][at], in.numbers[2][at],
                                               in.numbers[4][at], in.numbers[3][at], in.rights[at]);
    price[i] = g.price, delta[i] = g.delta, gamma[i] = g.gamma, vega[i] = g.vega, theta[i] = g.theta;
  }
  nb::dict out;
  out["price"] = column(in, price);
  out["delta"] = column(in, delta);
  out["gamma"] = column(in, gamma);
  out["vega"] = column(in, vega);
  out["theta"] = column(in, theta);
  return out;
}

nb::object implied_vol(nb::handle, nb::handle price, nb::handle forward, nb::handle strike,
                       nb::handle years, nb::handle right, nb::handle rate) {
  nb::object r = rate_or_setting(rate);
  const Columns in = gather({{price, "price"}, {forward, "forward"}, {strike, "strike"},
                             {years, "years"}, {r, "rate"}}, right);
  std::vector<double> vols(in.size);
  const size_t scalar = in.shape.is_none() ? 0 : 1;
  for (size_t i = 0; i < in.size; ++i) {
    const size_t at = i * scalar;
    vols[i] = options::implied_vol(in.numbers[0][at], in.numbers[1][at], in.numbers[2][at],
                                   in.numbers[3][at], in.numbers[4][at], in.rights[at]);
  }
  return column(in, vols);
}

double require_at_least(nb::handle value, const char* name, double low) {
  const double x = require_amount(value, name);
  require_range(x, name, low, 1e12);
  return x;
}

double option_margin(nb::handle, nb::handle premium, nb::handle strike, nb::handle right,
                     nb::handle underlying, nb::handle multiplier, nb::handle a, nb::handle b) {
  const options::Contract contract{require_right(right), require_at_least(strike, "strike", 1e-9),
                                   require_at_least(multiplier, "multiplier", 1e-9), 0};
  const double paid = require_at_least(premium, "premium", 0);
  const double margin_a = require_at_least(a, "a", 0), margin_b = require_at_least(b, "b", 0);
  // Without the underlying's price nothing is taken off A (at the strike): the larger margin.
  const double level =
      underlying.is_none() ? contract.strike : require_at_least(underlying, "underlying", 1e-9);
  return options::written_margin(contract, paid, level, margin_a, margin_b);
}

}  // namespace

void bind_option_maths(nb::module_& m) {
  m.attr("black76") = function<&black76>(
      "black76",
      {param("forward"), param("strike"), param("years"), param("vol"), param("right"),
       param("rate", nb::none())},
      "Black-76 價格與 greeks (delta, gamma, vega 每 1.00 波動率, theta 每年): 數值或陣列 "
      "(numpy 廣播); rate 省略時用 constant.OptionRiskFreeRate; 定義域外為 NaN");
  m.attr("implied_vol") = function<&implied_vol>(
      "implied_vol",
      {param("price"), param("forward"), param("strike"), param("years"), param("right"),
       param("rate", nb::none())},
      "由權利金反推 Black-76 隱含波動率: 數值或陣列; 無解 (如低於內含價值) 為 NaN");
  m.attr("option_margin") = function<&option_margin>(
      "option_margin",
      {param("premium"), param("strike"), param("right"), param("underlying"), param("multiplier"),
       param("a"), param("b")},
      "賣出一口選擇權的保證金: 權利金市值 + max(A - 價外值, B); underlying 為 None 時不扣價外值");
}

}  // namespace orva::py::positions
