// What every binding says to the host: console messages and JSON log entries
// through orva_backtest.utils, looked up at each message so hosts can swap them.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <type_traits>

namespace orva::py {

namespace nb = nanobind;

// Must be called once at module load (imports utils, json and traceback).
void init_host();

// utils.console.print(text)
void console_print(const std::string& text);

// Whether utils.console is the one that prints nothing (utils.SilentConsole itself).
bool console_silent();

// utils.console.print(text()), text() not even formatted for the silent console: per fill
// and per order the formatting costs more than the step it reports.
template <class Text, class = std::enable_if_t<std::is_invocable_v<Text>>>
void console_print(Text&& text) {
  if (!console_silent()) console_print(std::string(text()));
}

// str() of the exception carried by `error`.
std::string error_message(const nb::python_error& error);

// utils.logger.error(<one JSON object>) with keys error, traceback and data.
// Values JSON cannot express are written as text, so logging never fails on them.
void log_error(const nb::python_error& error, nb::handle data);

// BASIC_INFO.data_dir joined with each of `sub_folders` (texts); nothing is created.
nb::object data_folder(nb::handle sub_folders);

// data_folder(sub_folders), made with utils.make_dir, joined with `file_name`
// unless it is None: where the feed and the reports put their files.
nb::object data_path(nb::handle file_name, nb::handle sub_folders);
// data_path as a bound method (the classes' private __generate_save_path).
nb::object data_path_method(nb::handle self, nb::handle file_name, nb::handle sub_folders);

// An independent copy of a record dict. A dict of immutable values (texts,
// numbers, enumeration members) is copied shallowly, which is as independent
// as a deep copy and much cheaper; anything else goes through copy.deepcopy.
nb::object copy_record(nb::handle record);

}  // namespace orva::py
