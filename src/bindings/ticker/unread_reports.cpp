#include "ticker/unread_reports.h"

#include "common/args.h"
#include "ticker/compiled_strategy.h"

namespace orva::py::ticker {

MutedReports::MutedReports(nb::handle matcher, const direct::MatcherApi& exchange,
                           nb::handle on_fills)
    : matcher_(nb::borrow(matcher)), on_fills_(nb::borrow(on_fills)), tick_(interned("tick")),
      exchange_(exchange) {
  if (exchange_.mute_reports(matcher_.ptr(), 1) < 0) throw nb::python_error();
}

MutedReports::~MutedReports() {
  PyObject *type, *value, *trace;  // an error on its way out stays the one raised
  PyErr_Fetch(&type, &value, &trace);
  if (exchange_.mute_reports(matcher_.ptr(), 0) < 0) PyErr_Clear();
  PyErr_Restore(type, value, trace);
}

bool MutedReports::take() {
  if (exchange_.take_unread(matcher_.ptr(), &unread_) < 0) throw nb::python_error();
  return unread_.orders + unread_.deals > 0;
}

void MutedReports::hand_over(PyObject* ctx, PyObject* record, CompiledRun* compiled) {
  if (PyObject_SetAttr(ctx, tick_.ptr(), record) < 0) throw nb::python_error();
  if (unread_.deals == 0) return;
  if (compiled) compiled->follow_account(matcher_.ptr());
  checked(PyObject_CallOneArg(on_fills_.ptr(), record));
}

}  // namespace orva::py::ticker
