// The pending orders of each code, in list order, so that a tick visits only
// the orders of its own code. Kept in step with pending_orders by the
// matcher's own changes; rebuilt whenever the list is not, item by item, the
// one last seen (the host replaced, resized, reordered or swapped orders).
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "exchange/matching_rules.h"

namespace orva::py::matcher {

namespace nb = nanobind;

// An order and the terms of it that never change after intake.
struct IndexedOrder {
  nb::object order;
  exchange::OrderKind kind;
  bool limit;
  bool buy;
};

class BookIndex {
 public:
  // Rebuilds from `book` unless it holds exactly the orders last seen, in order.
  void sync(nb::handle book);
  // After `order` was appended to `book`.
  void added(nb::handle book, nb::handle order);
  // Removes `order` from `book` and from the index.
  void remove(nb::handle book, nb::handle order);
  bool empty() const { return by_code_.empty(); }
  // Whether an order of `code` rests in the book as last synced.
  bool holds(const std::string& code) const {
    const auto found = by_code_.find(code);
    return found != by_code_.end() && !found->second.empty();
  }
  // Snapshot of the orders of `code`, oldest first.
  std::vector<IndexedOrder> orders_of(nb::handle code) const;

 private:
  void index(nb::handle order);

  bool unchanged(nb::handle book) const;

  nb::object list_;  // held, so its address cannot be reused by another list
  // Every item of the list as last seen, held for the same reason.
  std::vector<nb::object> seen_;
  std::unordered_map<std::string, std::vector<IndexedOrder>> by_code_;
};

}  // namespace orva::py::matcher
