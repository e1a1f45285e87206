// The day cache's CSV files: their names, writing one whole or not at all,
// reading one back, the check every replayed day passes, and setting a damaged
// file aside.
#include <array>
#include <fstream>
#include <optional>
#include <string>

#include "common/host.h"
#include "feed/tick_files.h"
#include "feed/tick_table.h"
#include "ticker/ticker_internal.h"

namespace orva::py::ticker {
namespace {

nb::object cache_folder() { return data_folder(nb::make_tuple("sino", "ticks")); }

// Writes beside the target and renames it into place, so a crash or a second
// writer never leaves a truncated cache file behind.
void write_cache_file(nb::handle day, nb::handle path) {
  const std::string temp = text_of(path) + ".tmp-" + text_of(globals->getpid()) + "-" +
                           text_of(globals->get_ident());
  nb::str temp_path(temp.data(), temp.size());
  try {
    day.attr("write_csv")(temp_path);
    globals->os_replace(temp_path, path);
  } catch (nb::python_error&) {
    if (nb::cast<bool>(globals->os_path_exists(temp_path))) globals->os_remove(temp_path);
    throw;
  }
}

bool equal(nb::handle a, nb::handle b) {
  const int same = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (same < 0) throw nb::python_error();
  return same == 1;
}

void require_tick_table(nb::handle day) {
  nb::object frame_class = globals->pl.attr("DataFrame");
  const int is_frame = PyObject_IsInstance(day.ptr(), frame_class.ptr());
  if (is_frame < 0) throw nb::python_error();
  if (!is_frame) raise_type_error("table", "polars.DataFrame", day);
  nb::object columns = day.attr("columns"), types = day.attr("dtypes");
  if (!equal(columns, globals->column_names) || !equal(types, globals->column_types)) {
    raise_value_error("Tick 資料的欄位或型別不符: " + text_of(nb::repr(columns)) +
                                      " " + text_of(nb::repr(types)));
  }
}

// The first row of a tick table holding an empty value (named first) or a
// value feed::find_bad_value refuses, and that value's column.
std::optional<feed::BadValue> first_bad_tick(nb::handle day) {
  std::optional<feed::BadValue> first;
  nb::object nulls = day.attr("null_count")().attr("row")(0);
  for (size_t c = 0; c < feed::kTickColumns.size(); ++c) {
    nb::object count = nulls[c];
    if (!nb::cast<bool>(nb::bool_(count))) continue;
    nb::object is_null = day.attr("get_column")(feed::kTickColumns[c].name).attr("is_null")();
    const size_t row = nb::cast<size_t>(is_null.attr("arg_max")());
    if (!first || row < first->row) first = feed::BadValue{c, row};
  }
  // The rows before the first empty value hold none, so they have buffers.
  const size_t rows = first ? first->row : nb::len(day);
  nb::object checked = first ? day.attr("head")(rows) : nb::borrow(day);
  std::array<std::optional<Column>, 8> views;
  std::array<feed::ColumnValues, 8> values;
  for (size_t c = 0; c < feed::kTickColumns.size(); ++c) {
    const feed::TickColumn& column = feed::kTickColumns[c];
    views[c].emplace(checked, column.name, column.real);
    if (column.real) values[c].real = views[c]->reals();
    else values[c].integer = views[c]->integers();
  }
  if (auto bad = feed::find_bad_value(values, rows)) return bad;
  return first;
}

// The first line of a file, read no further than a tick header could reach.
std::string first_line(nb::handle path) {
  nb::object name = globals->fsencode(path);
  const char* bytes = PyBytes_AsString(name.ptr());
  if (!bytes) throw nb::python_error();
  std::ifstream file(bytes, std::ios::binary);
  std::string head(128, '\0');
  file.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<size_t>(file.gcount()));
  return head.substr(0, head.find('\n'));
}

}  // namespace

nb::str tick_filename(nb::handle code, nb::handle date) {
  // Codes become file names: one that could leave the cache folder is refused.
  const std::string name =
      feed::tick_file_name(require_safe_code(code, "code"), require_str(date, "date"));
  return nb::str(name.data(), name.size());
}

nb::object cache_path(nb::handle code, nb::handle date) {
  return globals->os_path_join(cache_folder(), tick_filename(code, date));
}

// A day the cache cannot take (a folder that cannot be made or written, a full
// disk) is still served, just not cached.
void cache_day(nb::handle day, nb::handle code, const std::string& date) {
  nb::object folder = cache_folder();
  nb::object path = globals->os_path_join(folder, tick_filename(code, nb::str(date.c_str())));
  try {
    globals->make_dir(folder);
    write_cache_file(day, path);
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_OSError)) throw;
    console_print("[yellow]無法寫入快取目錄 " + text_of(folder) + ", " + text_of(code) + " " + date +
                  " 的 Tick 資料未快取: " + error_message(error) + "[/yellow]");
    return;
  }
  console_print("[green]下載 " + text_of(code) + " " + date + " 的 Tick 資料成功, 儲存於 " +
                text_of(path) + "[/green]");
}

// Refuses a day the replay could not send: other columns or types than the
// tick table's, empty values, or values no tick can have.
void check_day(nb::handle day) {
  require_tick_table(day);
  if (auto bad = first_bad_tick(day)) {
    const char* name = feed::kTickColumns[bad->column].name;
    nb::object value = day.attr("get_column")(name)[nb::int_(bad->row)];
    raise_value_error("第 " + std::to_string(bad->row + 1) + " 筆 Tick 的 " + name +
                                      " 不合法: " + text_of(nb::repr(value)));
  }
}

// The check of check_day for importers: None, or (row, column) of the first
// bad value of a table with the tick table's columns and types.
nb::object find_bad_tick(nb::handle, nb::handle table) {
  require_tick_table(table);
  const std::optional<feed::BadValue> bad = first_bad_tick(table);
  if (!bad) return nb::none();
  return nb::make_tuple(bad->row, feed::kTickColumns[bad->column].name);
}

nb::object read_cache_file(nb::handle path) {
  if (!feed::is_tick_header(first_line(path)))
    raise_value_error("檔頭不是 Tick 資料的欄位");
  // A path is a name, not a pattern: a folder such as "data[1]" must not be read as one.
  nb::object table = globals->pl.attr("read_csv")(path, nb::arg("schema") = globals->schema,
                                                  nb::arg("glob") = false);
  check_day(table);
  return table;
}

// Keeps a cache file that cannot be replayed for inspection, out of the way of
// a new download.
std::string move_aside(nb::handle path) {
  const std::string aside = text_of(path) + ".corrupt-" + text_of(globals->time_ns());
  try {
    globals->os_replace(path, nb::str(aside.data(), aside.size()));
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_OSError)) throw;
    return "無法移開 (" + error_message(error) + ")";
  }
  return "已移至 " + aside;
}

}  // namespace orva::py::ticker
