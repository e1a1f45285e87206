// The key-value metadata of a Parquet file's footer, read without a Parquet library: a day's
// columnar copy is asked whether it is current once a day, and the library's own footer read
// costs five times the file's reading.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orva::feed {

using KeyValues = std::vector<std::pair<std::string, std::string>>;

// The key-value metadata of a Thrift-compact FileMetaData (the footer's bytes without its
// length and magic); nullopt when the bytes are not one. Reads no byte past `footer`.
std::optional<KeyValues> footer_key_values(std::string_view footer);

// The key-value metadata of the Parquet file at `path`; nullopt, with the reason in `error`,
// when it cannot be read or is not a plain (unencrypted) Parquet file.
std::optional<KeyValues> read_footer_key_values(const std::string& path, std::string& error);

}  // namespace orva::feed
