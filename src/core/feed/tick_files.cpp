#include "feed/tick_files.h"

namespace orva::feed {

namespace {

std::string day_file_name(std::string_view code, std::string_view day, const char* suffix) {
  std::string name(code);
  name += ' ';
  name += day;
  name += suffix;
  return name;
}

}  // namespace

std::string tick_file_name(std::string_view code, std::string_view day) {
  return day_file_name(code, day, " - ticks.csv");
}

std::string columnar_file_name(std::string_view code, std::string_view day) {
  return day_file_name(code, day, " - ticks.parquet");
}

bool is_safe_code(std::string_view code) {
  if (code.empty() || code.find("..") != std::string_view::npos) return false;
  for (const char c : code) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

}  // namespace orva::feed
