#include "common/host.h"

#include "common/threads.h"

#include "common/args.h"

namespace orva::py {
namespace {

struct HostObjects {
  nb::object utils;
  nb::object dumps;
  nb::object format_exception;
  nb::object str_type;
  nb::object enum_class;
  nb::object deepcopy;
  nb::object basic_info, os_path_join;
  nb::object console, silent_console;
};
HostObjects* host = nullptr;  // never released: module teardown order is unspecified

nb::object dumps(nb::handle entry) {
  return host->dumps(entry, nb::arg("ensure_ascii") = true,
                     nb::arg("separators") = nb::make_tuple(", ", ": "),
                     nb::arg("default") = host->str_type);
}

// The exception object of `error`. Before Python 3.12 an error set from C
// may still be unnormalised, its value a bare message or argument tuple.
nb::object exception_of(const nb::python_error& error) {
  nb::handle value = error.value();
  if (value.is_valid() && PyExceptionInstance_Check(value.ptr())) return nb::borrow(value);
  PyObject* type = error.type().inc_ref().ptr();
  PyObject* raw = value.is_valid() ? value.inc_ref().ptr() : nullptr;
  PyObject* traceback = nullptr;
  PyErr_NormalizeException(&type, &raw, &traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  if (!raw) throw nb::python_error();
  return nb::steal(raw);
}

}  // namespace

void init_host() {
  if (host) return;
  host = new HostObjects{
      nb::module_::import_("orva_backtest.utils"),
      nb::module_::import_("json").attr("dumps"),
      nb::module_::import_("traceback").attr("format_exception"),
      nb::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type)),
      nb::module_::import_("enum").attr("Enum"),
      nb::module_::import_("copy").attr("deepcopy"),
      nb::module_::import_("orva_backtest.constant").attr("BASIC_INFO"),
      nb::module_::import_("os").attr("path").attr("join"),
      nb::str("console"),
      nb::module_::import_("orva_backtest.utils").attr("SilentConsole"),
  };
}

void console_print(const std::string& text) {
  park_if_exiting();  // a console may be slow: the exit must not wait on a second call
  host->utils.attr("console").attr("print")(nb::str(text.data(), text.size()));
}

bool console_silent() {
  PyObject* console = PyObject_GetAttr(host->utils.ptr(), host->console.ptr());
  if (!console) throw nb::python_error();
  const bool silent =
      Py_TYPE(console) == reinterpret_cast<PyTypeObject*>(host->silent_console.ptr());
  Py_DECREF(console);
  return silent;
}

std::string error_message(const nb::python_error& error) {
  return nb::str(exception_of(error)).c_str();
}

void log_error(const nb::python_error& error, nb::handle data) {
  park_if_exiting();
  // Errors raised in C++ that met no Python frame carry no traceback.
  nb::object exception = exception_of(error);
  nb::handle traceback = error.traceback();
  nb::object lines = host->format_exception(error.type(), exception,
                                            traceback.is_valid() ? traceback : nb::none());
  nb::dict entry;
  entry["error"] = nb::str(exception);
  entry["traceback"] = nb::str("").attr("join")(lines);
  entry["data"] = data;
  nb::object text;
  try {
    text = dumps(entry);
  } catch (nb::python_error&) {
    // Circular data or keys JSON refuses: keep the entry, with the data as text.
    entry["data"] = nb::repr(data);
    text = dumps(entry);
  }
  host->utils.attr("logger").attr("error")(text);
}

nb::object data_folder(nb::handle sub_folders) {
  nb::object folder = host->basic_info.attr("data_dir");
  for (nb::handle part : sub_folders) {
    require_str(part, "sub_folder");
    folder = host->os_path_join(folder, part);
  }
  return folder;
}

nb::object data_path(nb::handle file_name, nb::handle sub_folders) {
  if (!file_name.is_none()) require_str(file_name, "file_name");
  nb::object folder = data_folder(sub_folders);
  host->utils.attr("make_dir")(folder);
  if (file_name.is_none()) return folder;
  return host->os_path_join(folder, file_name);
}

nb::object data_path_method(nb::handle, nb::handle file_name, nb::handle sub_folders) {
  return data_path(file_name, sub_folders);
}

nb::object copy_record(nb::handle record) {
  PyObject* key;
  PyObject* value;
  Py_ssize_t pos = 0;
  bool flat = PyDict_Check(record.ptr());
  while (flat && PyDict_Next(record.ptr(), &pos, &key, &value)) {
    flat = PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
           PyBool_Check(value) || value == Py_None ||
           // A member by its type alone: isinstance's general path costs more than the copy,
           // and an object that only claims the class is deep-copied, which is always sound.
           PyType_IsSubtype(Py_TYPE(value), reinterpret_cast<PyTypeObject*>(host->enum_class.ptr()));
  }
  if (flat) return checked(PyDict_Copy(record.ptr()));
  return host->deepcopy(record);
}

}  // namespace orva::py
