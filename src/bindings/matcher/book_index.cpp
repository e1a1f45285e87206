#include "matcher/book_index.h"

#include <algorithm>

#include "common/args.h"
#include "matcher/matcher_internal.h"

namespace orva::py::matcher {
namespace {

exchange::OrderKind kind_of(nb::handle order_type) {
  if (equals(order_type, globals->order_rod)) return exchange::OrderKind::ROD;
  if (equals(order_type, globals->order_ioc)) return exchange::OrderKind::IOC;
  if (equals(order_type, globals->order_fok)) return exchange::OrderKind::FOK;
  return exchange::OrderKind::Other;
}

}  // namespace

void BookIndex::index(nb::handle order) {
  const Keys& k = globals->keys;
  if (!PyDict_Check(order.ptr())) return;
  nb::object code = item_or_none(order, k.code);
  if (!PyUnicode_Check(code.ptr())) return;  // never matches a tick's code
  by_code_[text_of(code)].push_back(
      {nb::borrow(order), kind_of(item(order, k.order_type)),
       equals(item(order, k.price_type), globals->price_lmt),
       equals(item(order, k.action), globals->action_buy)});
}

// A pointer walk over the list: cheap next to matching, and it catches every
// in-place edit a host can make without changing the length.
bool BookIndex::unchanged(nb::handle book) const {
  if (book.ptr() != list_.ptr() || !PyList_CheckExact(book.ptr())) return false;
  const Py_ssize_t size = PyList_GET_SIZE(book.ptr());
  if (static_cast<size_t>(size) != seen_.size()) return false;
  for (Py_ssize_t i = 0; i < size; ++i)
    if (PyList_GET_ITEM(book.ptr(), i) != seen_[i].ptr()) return false;
  return true;
}

void BookIndex::sync(nb::handle book) {
  if (unchanged(book)) return;
  by_code_.clear();
  seen_.clear();
  list_ = nb::object();
  nb::object items = nb::steal(PySequence_List(book.ptr()));  // a snapshot of any sequence
  if (!items.is_valid()) throw nb::python_error();
  for (nb::handle order : items) {
    index(order);
    seen_.push_back(nb::borrow(order));
  }
  list_ = nb::borrow(book);
}

void BookIndex::added(nb::handle book, nb::handle order) {
  if (book.ptr() == list_.ptr() && PyList_CheckExact(book.ptr()) &&
      static_cast<size_t>(PyList_GET_SIZE(book.ptr())) == seen_.size() + 1 &&
      PyList_GET_ITEM(book.ptr(), seen_.size()) == order.ptr()) {
    index(order);
    seen_.push_back(nb::borrow(order));
  } else {
    sync(book);
  }
}

void BookIndex::remove(nb::handle book, nb::handle order) {
  const Py_ssize_t size = nb::len(book);
  for (Py_ssize_t i = 0; i < size; ++i) {
    nb::object candidate = nb::steal(PySequence_GetItem(book.ptr(), i));
    if (!candidate.is_valid()) throw nb::python_error();
    if (candidate.ptr() != order.ptr()) continue;  // by identity: equal records may differ
    if (PySequence_DelItem(book.ptr(), i) < 0) throw nb::python_error();
    break;
  }
  auto at = std::find_if(seen_.begin(), seen_.end(),
                         [&](const nb::object& seen) { return seen.ptr() == order.ptr(); });
  if (at != seen_.end()) seen_.erase(at);
  if (!unchanged(book)) return sync(book);
  nb::object code = item_or_none(order, globals->keys.code);
  if (!PyUnicode_Check(code.ptr())) return;
  auto found = by_code_.find(text_of(code));
  if (found == by_code_.end()) return;
  auto& orders = found->second;
  for (auto it = orders.begin(); it != orders.end(); ++it) {
    if (it->order.ptr() == order.ptr()) {
      orders.erase(it);
      break;
    }
  }
}

std::vector<IndexedOrder> BookIndex::orders_of(nb::handle code) const {
  auto found = by_code_.find(text_of(code));
  if (found == by_code_.end()) return {};
  return found->second;
}

}  // namespace orva::py::matcher
