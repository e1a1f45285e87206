// The columnar copy of the day cache: each cached day also kept as Parquet
// ("sino/columns/<code> <day> - ticks.parquet"), which reads back in a
// fraction of the CSV's time and size. The CSV stays the cache's reference:
// the copy records which CSV it was made from (size, mtime in nanoseconds and
// inode) and its row count in its key-value metadata, so one read of its
// footer tells whether it is current and how many ticks it holds. It is
// rebuilt when the CSV is another (an import, a download, a file put back with
// its old time) or its footer does not tell its rows, and when it is damaged,
// set aside first.
#include <charconv>
#include <optional>
#include <string>

#include "common/host.h"
#include "feed/parquet_footer.h"
#include "feed/tick_files.h"
#include "ticker/ticker_internal.h"

namespace orva::py::ticker {
namespace {

// Much of a day's read is polars' fixed cost per call (about 1.5 ms even for a day of the
// front-month futures): the next days of a code are read together, up to a few days' rows, so
// memory stays bounded by days held (five days of a stock, three of the futures).
constexpr size_t kDaysReadTogether = 5;
constexpr Py_ssize_t kRowsReadTogether = 70'000;

constexpr const char* kSourceKey = "orva_source_csv";
constexpr const char* kRowsKey = "orva_rows";
constexpr int kReadAttempts = 3;

nb::object store_folder() { return data_folder(nb::make_tuple("sino", "columns")); }

nb::object store_path(nb::handle code, nb::handle date) {
  const std::string name =
      feed::columnar_file_name(require_safe_code(code, "code"), require_str(date, "date"));
  return globals->os_path_join(store_folder(), nb::str(name.data(), name.size()));
}

nb::object os() { return nb::module_::import_("os"); }

// Which file an os.stat result is: equal keys are the same write of a CSV
// (a rename keeps all three), so a copy made from it still holds its ticks.
std::string key_of(nb::handle stat) {
  return text_of(stat.attr("st_size")) + ":" + text_of(stat.attr("st_mtime_ns")) + ":" +
         text_of(stat.attr("st_ino"));
}

// The key of the CSV now at `csv`; empty when there is none.
std::string csv_key(nb::handle csv) {
  try {
    return key_of(os().attr("stat")(csv));
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_OSError)) throw;
    return {};
  }
}

// A row count as the footer records it; -1 when it is none.
Py_ssize_t rows_of(const std::string& text) {
  Py_ssize_t rows = -1;
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, rows);
  return error == std::errc() && at == end && rows >= 0 ? rows : -1;
}

// The rows of the copy when it was made from the CSV of `key`; -1 when it was
// not, there is no copy, or its footer does not tell (a copy made before row
// counts were recorded). A copy whose footer does not read raises.
Py_ssize_t rows_if_made_from(nb::handle copy, const std::string& key) {
  if (key.empty() || !truth(globals->os_path_exists(copy))) return -1;
  nb::object encoded = globals->fsencode(copy);
  const char* path = PyBytes_AsString(encoded.ptr());
  if (!path) throw nb::python_error();
  std::string error;
  const std::optional<feed::KeyValues> metadata = feed::read_footer_key_values(path, error);
  if (!metadata) raise_value_error("Parquet 檔尾無法讀取: " + error);
  std::string source, rows;
  for (const auto& [entry, value] : *metadata) {  // the last of a repeated key, as a dict keeps
    if (entry == kSourceKey) source = value;
    if (entry == kRowsKey) rows = value;
  }
  return source == key ? rows_of(rows) : -1;
}

// The same for the CSV now beside it.
Py_ssize_t current_rows(nb::handle copy, nb::handle csv) {
  return rows_if_made_from(copy, csv_key(csv));
}

// A day's table and the key of the CSV it was read from (empty when the day
// is not in the CSV cache, or its CSV kept changing while it was read).
struct KeyedDay {
  nb::object table;
  std::string key;
};

// The CSV is read between two looks at its key: the same key twice means the
// table is that CSV's. A day just downloaded (or a CSV replaced meanwhile) is
// read again from the cache, so a copy never pairs one import's ticks with
// another's CSV.
KeyedDay read_keyed(nb::handle self, const Instrument& entry, nb::handle date) {
  nb::object csv = cache_path(entry.code, date);
  KeyedDay day;
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    const std::string before = csv_key(csv);
    day.table = fetch_day(self, entry.code, entry.market, date);
    const std::string after = csv_key(csv);
    if (after.empty()) return day;  // not cached: today, or a folder that takes no file
    if (after == before) {
      day.key = after;
      return day;
    }
  }
  return day;
}

// Writes the copy under a temporary name and renames it into place; false
// (with a yellow line) when the folder cannot take it.
bool write_copy(nb::handle table, nb::handle code, nb::handle date, const std::string& key) {
  nb::object folder = store_folder();
  nb::object path = store_path(code, date);
  const std::string temp = text_of(path) + ".tmp-" + text_of(globals->getpid()) + "-" +
                           text_of(globals->get_ident());
  nb::str temp_path(temp.data(), temp.size());
  try {
    globals->make_dir(folder);
    // lz4: reads back three times faster than zstd, for half again the size.
    nb::dict metadata;
    metadata[kSourceKey] = nb::str(key.data(), key.size());
    metadata[kRowsKey] = nb::str(std::to_string(nb::len(table)).c_str());
    table.attr("write_parquet")(temp_path, nb::arg("compression") = "lz4",
                                nb::arg("metadata") = metadata);
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
  try {
    const Py_ssize_t rows = current_rows(copy, cache_path(entry.code, date));
    if (rows >= 0) return {nb::borrow<nb::str>(date), rows, nb::object()};
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_Exception)) throw;
    set_aside(copy, error);
  }
  KeyedDay day = read_keyed(self, entry, date);
  const Py_ssize_t rows = nb::len(day.table);
  // Only a day in the CSV cache gets a copy (today's ticks are never cached);
  // a day without one is held until its turn comes.
  if (!day.key.empty() && write_copy(day.table, entry.code, date, day.key))
    return {nb::borrow<nb::str>(date), rows, nb::object()};
  return {nb::borrow<nb::str>(date), rows, day.table};
}

nb::object load_day(nb::handle self, const Instrument& entry, PreparedDay& day) {
  if (day.held.is_valid()) {
    nb::object table = std::move(day.held);  // handed over once
    return table;
  }
  nb::object copy = store_path(entry.code, day.date);
  try {
    if (day.ahead.is_valid()) {
      nb::object table = std::move(day.ahead);
      // Read from a copy of the CSV that had this key: served while the CSV still has it.
      if (csv_key(cache_path(entry.code, day.date)) == day.ahead_key) return table;
    }
    // Asked again: an import may have rewritten the day since it was counted.
    if (current_rows(copy, cache_path(entry.code, day.date)) >= 0) {
      // One small file: polars' thread pool would cost more than it saves.
      nb::object table = globals->pl.attr("read_parquet")(copy, nb::arg("parallel") = "none",
                                                               nb::arg("glob") = false);
      check_day(table);
      return table;
    }
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_Exception)) throw;
    set_aside(copy, error);
  }
  KeyedDay fresh = read_keyed(self, entry, day.date);
  if (!fresh.key.empty()) write_copy(fresh.table, entry.code, day.date, fresh.key);
  return fresh.table;
}

void read_ahead(const Instrument& entry, std::vector<PreparedDay>& days, size_t from) {
  std::vector<size_t> batch;
  std::vector<std::string> keys;
  nb::list paths;
  // The days that fit, told by their counts alone: a day read alone costs no look here.
  size_t end = from;
  for (Py_ssize_t rows = 0; end < days.size() && end - from < kDaysReadTogether; ++end) {
    const PreparedDay& day = days[end];
    if (day.held.is_valid() || day.ahead.is_valid() || rows + day.rows > kRowsReadTogether) break;
    rows += day.rows;
  }
  if (end - from < 2) return;
  Py_ssize_t total = 0;
  try {
    for (size_t i = from; i < end; ++i) {
      const PreparedDay& day = days[i];
      nb::object copy = store_path(entry.code, day.date);
      const std::string key = csv_key(cache_path(entry.code, day.date));
      if (rows_if_made_from(copy, key) != day.rows) break;
      batch.push_back(i);
      keys.push_back(key);
      paths.append(copy);
      total += day.rows;
    }
    if (batch.size() < 2) return;
    nb::object table = globals->pl.attr("read_parquet")(paths, nb::arg("parallel") = "none",
                                                             nb::arg("glob") = false);
    if (nb::len(table) != total) return;
    check_day(table);
    Py_ssize_t offset = 0;
    for (size_t j = 0; j < batch.size(); ++j) {
      PreparedDay& day = days[batch[j]];
      day.ahead = table.attr("slice")(offset, day.rows);
      day.ahead_key = keys[j];
      offset += day.rows;
    }
  } catch (nb::python_error& error) {
    if (!error.matches(PyExc_Exception)) throw;
    // Each day is then read alone, and a damaged copy set aside there.
    for (size_t i : batch) days[i].ahead = nb::object();
  }
}

void store_columns(nb::handle, nb::handle code, nb::handle date, nb::handle table,
                   nb::handle csv_stat) {
  check_day(table);
  write_copy(table, code, date, key_of(csv_stat));
}

}  // namespace orva::py::ticker
