// The columnar copy of the day cache: each cached day also kept as Parquet
// ("sino/columns/<code> <day> - ticks.parquet"), which reads back in a
// fraction of the CSV's time and size and tells its row count without being
// read. The CSV stays the cache's reference: a copy older than its CSV is
// rebuilt, and so is a damaged one, which is set aside first.
#include <string>

#include "common/host.h"
#include "feed/tick_files.h"
#include "ticker/ticker_internal.h"

namespace orva::py::ticker {
namespace {

nb::object store_folder() { return data_folder(nb::make_tuple("sino", "columns")); }

nb::object store_path(nb::handle code, nb::handle date) {
  const std::string name =
      feed::columnar_file_name(require_safe_code(code, "code"), require_str(date, "date"));
  return globals->os_path_join(store_folder(), nb::str(name.data(), name.size()));
}

nb::object os() { return nb::module_::import_("os"); }

// Whether the copy exists and was written after its CSV (the CSV is rewritten
// by a new download or an import, which leaves the copy behind).
bool is_current(nb::handle copy, nb::handle csv) {
  if (!truth(globals->os_path_exists(copy)) || !truth(globals->os_path_exists(csv))) return false;
  nb::object stat = os().attr("stat");
  return nb::cast<long long>(stat(copy).attr("st_mtime_ns")) >=
         nb::cast<long long>(stat(csv).attr("st_mtime_ns"));
}

// From the file's footer: the columns are not read.
Py_ssize_t stored_rows(nb::handle copy) {
  nb::object pl = globals->pl;
  nb::object count = pl.attr("scan_parquet")(copy).attr("select")(pl.attr("len")()).attr("collect")();
  return nb::cast<Py_ssize_t>(count.attr("item")());
}

// Writes the copy under a temporary name and renames it into place; false
// (with a yellow line) when the folder cannot take it.
bool write_copy(nb::handle table, nb::handle code, nb::handle date) {
  nb::object folder = store_folder();
  nb::object path = store_path(code, date);
  const std::string temp = text_of(path) + ".tmp-" + text_of(globals->getpid()) + "-" +
                           text_of(globals->get_ident());
  nb::str temp_path(temp.data(), temp.size());
  try {
    globals->make_dir(folder);
    // lz4: reads back three times faster than zstd, for half again the size.
    table.attr("write_parquet")(temp_path, nb::arg("compression") = "lz4");
    globals->os_replace(temp_path, path);
  } catch (nb::python_error& error) {
    if (truth(globals->os_path_exists(temp_path))) globals->os_remove(temp_path);
    if (!error.matches(PyExc_OSError)) throw;
    console_print("[yellow]無法寫入欄式 Tick 快取 " + text_of(folder) + ": " + error_message(error) +
                  "[/yellow]");
    return false;
  }
  return true;
}

// A copy that does not read back is set aside, so the next run rebuilds it.
void set_aside(nb::handle copy, const nb::python_error& error) {
  console_print("[yellow]欄式 Tick 快取 " + text_of(copy) + " 無法讀回 (" + error_message(error) +
                "), " + move_aside(copy) + ", 由 CSV 重建[/yellow]");
}

}  // namespace

PreparedDay prepare_day(nb::handle self, const Instrument& entry, nb::handle date) {
  nb::object copy = store_path(entry.code, date);
  nb::object csv = cache_path(entry.code, date);
  if (is_current(copy, csv)) {
    try {
      return {nb::borrow<nb::str>(date), stored_rows(copy), nb::object()};
    } catch (nb::python_error& error) {
      if (!error.matches(PyExc_Exception)) throw;
      set_aside(copy, error);
    }
  }
  nb::object table = fetch_day(self, entry.code, entry.market, date);
  const Py_ssize_t rows = nb::len(table);
  // Only a day in the CSV cache gets a copy (today's ticks are never cached);
  // a day without one is held until its turn comes.
  if (truth(globals->os_path_exists(csv)) && write_copy(table, entry.code, date))
    return {nb::borrow<nb::str>(date), rows, nb::object()};
  return {nb::borrow<nb::str>(date), rows, table};
}

nb::object load_day(nb::handle self, const Instrument& entry, PreparedDay& day) {
  if (day.held.is_valid()) {
    nb::object table = std::move(day.held);  // handed over once
    return table;
  }
  nb::object copy = store_path(entry.code, day.date);
  try {
    // One small file: polars' thread pool would cost more than it saves.
    nb::object table = globals->pl.attr("read_parquet")(copy, nb::arg("parallel") = "none");
    check_day(table);
    return table;
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_Exception)) throw;
    set_aside(copy, error);
  }
  nb::object table = fetch_day(self, entry.code, entry.market, day.date);
  write_copy(table, entry.code, day.date);
  return table;
}

void store_columns(nb::handle, nb::handle code, nb::handle date, nb::handle table) {
  check_day(table);
  write_copy(table, code, date);
}

}  // namespace orva::py::ticker
