#include "ticker/compiled_strategy.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "common/args.h"
#include "ticker/tick_rows.h"

namespace orva::py::ticker {
namespace {

// `obj`'s buffer as a writable 1-D C array of 8-byte items of `kind` ('f' or 'i').
void export_array(nb::handle obj, Py_buffer& view, char kind, const char* name) {
  if (PyObject_GetBuffer(obj.ptr(), &view, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0)
    throw nb::python_error();
  const char* format = view.format ? view.format : "B";
  if (*format == '<' || *format == '=' || *format == '@') ++format;
  const bool real = std::strcmp(format, "d") == 0;
  const bool integer = std::strcmp(format, "q") == 0 || std::strcmp(format, "l") == 0;
  if (view.ndim != 1 || view.itemsize != 8 || (kind == 'f' ? !real : !integer)) {
    PyBuffer_Release(&view);
    view = Py_buffer{};
    raise_type_error(std::string("參數 ") + name + " 必須是一維的 " +
                     (kind == 'f' ? "float64" : "int64") + " 陣列, 收到: " + nb::repr(obj).c_str());
  }
}

int64_t length(const Py_buffer& view) { return view.len / 8; }

std::vector<nb::object> texts(nb::handle list, const char* name) {
  std::vector<nb::object> out;
  for (nb::handle item : nb::borrow<nb::tuple>(checked(PySequence_Tuple(list.ptr())))) {
    require_str(item, name);
    out.push_back(nb::borrow(item));
  }
  return out;
}

// numba's C wrapper only prints what the function raised (through
// sys.unraisablehook) and returns as if it placed nothing. While a compiled
// function runs, our hook keeps that error instead, so the loop stops on it as
// on a callback's; everything else goes to the host's hook.
struct RaisedWatch {
  PyObject* hook = nullptr;      // ours, made once
  PyObject* sys = nullptr;       // sys.__dict__ and the hook's key in it, for a look per call
  PyObject* key = nullptr;
  PyObject* previous = nullptr;  // the host's
  int drives = 0;                // compiled runs alive, on any thread
  unsigned long thread = 0;      // the thread inside a compiled function, or 0
  PyObject* raised = nullptr;    // what the function raised
};
RaisedWatch watch;  // touched only under the GIL

PyObject* keep_raised(PyObject*, PyObject* unraisable) {
  if (watch.thread != 0 && watch.thread == PyThread_get_thread_ident() && !watch.raised) {
    PyObject* value = PyObject_GetAttrString(unraisable, "exc_value");
    if (!value) return nullptr;
    if (PyExceptionInstance_Check(value)) {
      watch.raised = value;
      Py_RETURN_NONE;
    }
    Py_DECREF(value);  // not an error the loop could raise: the host's hook shows it
  }
  PyObject* host = watch.previous ? watch.previous : PySys_GetObject("__unraisablehook__");
  if (!host) Py_RETURN_NONE;
  return PyObject_CallOneArg(host, unraisable);
}

PyMethodDef keep_raised_def{"keep_compiled_raised", keep_raised, METH_O, nullptr};

// Ours in place of what sys.unraisablehook holds now, which it passes the rest on to.
void install_watch() {
  PyObject* current = PyDict_GetItemWithError(watch.sys, watch.key);  // borrowed
  if (current == watch.hook) return;
  if (!current && PyErr_Occurred()) throw nb::python_error();
  Py_XINCREF(current);  // sys may hold the only reference
  if (PyDict_SetItem(watch.sys, watch.key, watch.hook) < 0) {
    Py_XDECREF(current);
    throw nb::python_error();
  }
  Py_XSETREF(watch.previous, current);
}

void watch_raised() {
  if (!watch.hook) {
    nb::object hook = checked(PyCFunction_New(&keep_raised_def, nullptr));
    nb::object sys = checked(PyImport_ImportModule("sys"));
    watch.sys = nb::borrow(PyModule_GetDict(sys.ptr())).release().ptr();
    watch.key = interned("unraisablehook").release().ptr();
    watch.hook = hook.release().ptr();
  }
  install_watch();
  ++watch.drives;
}

// The host's hook back once no compiled run is alive (unless it set another meanwhile).
void unwatch_raised() noexcept {
  if (--watch.drives > 0) return;
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  if (watch.previous && PySys_GetObject("unraisablehook") == watch.hook &&
      PySys_SetObject("unraisablehook", watch.previous) < 0)
    PyErr_Clear();
  Py_CLEAR(watch.previous);
  PyErr_Restore(type, value, trace);
}

// Raises what the compiled function raised, with its traceback, if it did.
void raise_if_raised() {
  if (!watch.raised) return;
  PyObject* raised = std::exchange(watch.raised, nullptr);
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(raised));
  Py_INCREF(type);
  PyErr_Restore(type, raised, PyException_GetTraceback(raised));
  throw nb::python_error();
}

}  // namespace

CompiledRun::CompiledRun(nb::handle setup)
    : buy_(interned("Buy")), sell_(interned("Sell")), market_(interned("MKT")),
      limit_(interned("LMT")), types_{interned("ROD"), interned("IOC"), interned("FOK")} {
  if (!PyTuple_Check(setup.ptr()) || PyTuple_GET_SIZE(setup.ptr()) != 8)
    raise_type_error("compiled", "8 個元素的 tuple", setup);
  nb::tuple parts = nb::borrow<nb::tuple>(setup);
  require_callable_or_none(parts[7], "refuse");
  refuse_ = nb::borrow(parts[7]);
  const unsigned long long address = PyLong_AsUnsignedLongLong(parts[0].ptr());
  if (address == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw nb::python_error();
  if (address == 0) raise_value_error("編譯策略的函式位址不可為 0");
  function_ = reinterpret_cast<strategy::TickFunction>(static_cast<uintptr_t>(address));
  try {
    export_array(parts[1], values_, 'f', "values");
    export_array(parts[2], counters_, 'i', "counters");
    export_array(parts[3], positions_, 'i', "positions");
    export_array(parts[4], orders_, 'f', "orders");
    codes_ = texts(parts[5], "codes");
    products_ = texts(parts[6], "product_types");
  } catch (...) {
    release_views();
    throw;
  }
  codes_count_ = static_cast<int64_t>(codes_.size());
  capacity_ = length(orders_) / strategy::kOrderFields;
  if (codes_count_ == 0 || products_.size() != codes_.size() || length(positions_) != codes_count_ ||
      capacity_ == 0 || length(orders_) % strategy::kOrderFields != 0) {
    const std::string message =
        "編譯策略的商品 (" + std::to_string(codes_.size()) + ")、商品類型 (" +
        std::to_string(products_.size()) + ")、部位 (" + std::to_string(length(positions_)) +
        ") 與委託緩衝 (" + std::to_string(length(orders_)) + " 個數值, 每筆 5 個) 不相符";
    release_views();
    raise_value_error(message);
  }
  rows_.emplace(capacity_);
  for (const nb::object& product : products_)
    options_.push_back(PyUnicode_CompareWithASCIIString(product.ptr(), "Option") == 0);
  last_close_.assign(codes_.size(), 0.0);
  try {
    watch_raised();
  } catch (...) {
    release_views();
    throw;
  }
}

CompiledRun::~CompiledRun() {
  release_views();
  unwatch_raised();
}

void CompiledRun::release_views() {
  for (Py_buffer* view : {&values_, &counters_, &positions_, &orders_})
    if (view->obj) PyBuffer_Release(view);
}

void CompiledRun::map_sources(const MergedDays& rows) {
  for (size_t i = 0; i < rows.source_count(); ++i) {
    PyObject* code = rows.source(i).code.ptr();
    for (int64_t j = 0; j < codes_count_; ++j)
      if (checked(PyObject_RichCompareBool(code, codes_[j].ptr(), Py_EQ)) == 1)
        sources_.emplace_back(code, j);
  }
}

void CompiledRun::follow_account(PyObject* matcher) {
  if (!records_.is_valid()) {  // the account's own list, which only grows: looked up once a drive
    account_ = checked(PyObject_GetAttr(matcher, interned("positions").ptr()));
    records_ = checked(PyObject_GetAttr(account_.ptr(), interned("trade_records").ptr()));
  }
  const Py_ssize_t size = PyList_Check(records_.ptr()) ? PyList_GET_SIZE(records_.ptr())
                                                       : PyObject_Length(records_.ptr());
  if (size < 0) throw nb::python_error();
  if (size == records_seen_) return;
  records_seen_ = size;
  auto* positions = static_cast<int64_t*>(positions_.buf);
  for (int64_t i = 0; i < codes_count_; ++i) {
    nb::object held = account_.attr("net_quantity")(codes_[i]);
    const long long net = PyLong_AsLongLong(held.ptr());
    if (net == -1 && PyErr_Occurred()) throw nb::python_error();
    positions[i] = net;
  }
}

bool CompiledRun::call(const direct::Tick& tick, double seconds, PyObject* matcher,
                       const direct::MatcherApi& exchange,
                       const std::function<void()>& before_orders) {
  int64_t code = -1;
  for (const auto& [object, index] : sources_)  // a handful of codes: a scan beats a hash
    if (object == tick.code) code = index;
  if (code < 0) return false;
  last_close_[code] = tick.close;
  follow_account(matcher);
  const double none = std::numeric_limits<double>::quiet_NaN();
  double* orders = rows_->rows();
  install_watch();  // a callback may have set a hook of its own since
  const unsigned long outer = std::exchange(watch.thread, PyThread_get_thread_ident());
  // A side without a size shows no quote (the exchange's daily futures files carry the close).
  const exchange::Quotes& quotes = tick.quotes;
  const bool bid = tick.has_quotes && quotes.bid > 0 && quotes.bid_volume > 0;
  const bool ask = tick.has_quotes && quotes.ask > 0 && quotes.ask_volume > 0;
  const int64_t filled = function_(
      seconds, code, tick.close, tick.qty, tick.tick_type, bid ? quotes.bid : none,
      ask ? quotes.ask : none, static_cast<double*>(values_.buf), length(values_),
      static_cast<int64_t*>(counters_.buf), length(counters_), static_cast<int64_t*>(positions_.buf),
      codes_count_, orders, capacity_);
  watch.thread = outer;
  raise_if_raised();
  if (rows_->overrun())
    raise_value_error("策略寫到委託緩衝之外: 只有 " + std::to_string(capacity_) +
                      " 筆委託的空間 (max_orders)");
  if (filled == 0) return false;
  const strategy::ReadOrders read = strategy::read_orders(orders, filled, capacity_, codes_count_);
  if (!read.error.empty()) raise_value_error(read.error);
  before_orders();
  // A settled option series is refused as the context refuses it, before any order is placed.
  if (!refuse_.is_none())
    for (const strategy::OrderRequest& request : read.orders)
      if (options_[request.code]) refuse_(codes_[request.code], seconds);
  for (const strategy::OrderRequest& request : read.orders) {
    const bool at_market = request.price == 0;
    const direct::Order order{codes_[request.code].ptr(),
                              products_[request.code].ptr(),
                              (request.buy ? buy_ : sell_).ptr(),
                              at_market ? last_close_[request.code] : request.price,
                              request.quantity,
                              (at_market ? market_ : limit_).ptr(),
                              types_[static_cast<int>(request.type)].ptr()};
    if (exchange.add_order(matcher, order) < 0) throw nb::python_error();
  }
  return true;
}

}  // namespace orva::py::ticker
