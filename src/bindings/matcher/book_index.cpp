#include "matcher/book_index.h"

#include "common/args.h"
#include "matcher/matcher_internal.h"

namespace orva::py::matcher {
namespace {

bool equals(nb::handle a, nb::handle b) {
  const int same = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (same < 0) throw nb::python_error();
  return same == 1;
}

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

void BookIndex::sync(nb::handle book) {
  const Py_ssize_t size = nb::len(book);
  if (book.ptr() == list_.ptr() && size == size_) return;
  by_code_.clear();
  for (nb::handle order : book) index(order);
  list_ = nb::borrow(book);
  size_ = size;
}

void BookIndex::added(nb::handle book, nb::handle order) {
  if (book.ptr() == list_.ptr() && nb::len(book) == size_ + 1) {
    index(order);
    ++size_;
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
  if (book.ptr() != list_.ptr() || nb::len(book) != size_ - 1) return sync(book);
  --size_;
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
