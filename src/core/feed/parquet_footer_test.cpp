#include "feed/parquet_footer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

namespace orva::feed {
namespace {

// Writes Thrift compact bytes as a Parquet writer lays out a FileMetaData.
struct Compact {
  std::string out;
  void varint(uint64_t v) {
    for (; v >= 0x80; v >>= 7) out += char((v & 0x7f) | 0x80);
    out += char(v);
  }
  void field(int delta, int type) { out += char(delta << 4 | type); }
  void binary(std::string_view text) {
    varint(text.size());
    out += text;
  }
  void stop() { out += '\0'; }
};

// version, a schema of two elements, num_rows, no row groups, then the key values, then
// created_by: the fields around the key values are skipped.
std::string file_metadata(const KeyValues& entries, bool long_list = false) {
  Compact c;
  c.field(1, 5), c.varint(2 << 1);           // version: i32 2
  c.field(1, 9), c.out += char(2 << 4 | 12);  // schema: list of 2 structs
  for (const char* name : {"schema", "ts"}) {
    c.field(4, 8), c.binary(name);            // name (id 4)
    c.field(1, 5), c.varint(3);               // num_children (id 5)
    c.field(15, 2);                           // a bool field (id 20), its value in its header
    c.stop();
  }
  c.field(1, 6), c.varint(5203 << 1);        // num_rows: i64
  c.field(1, 9), c.out += char(0 << 4 | 12);  // row_groups: empty list
  c.field(1, 9);                             // key_value_metadata
  if (long_list || entries.size() >= 15) {
    c.out += char(15 << 4 | 12), c.varint(entries.size());
  } else {
    c.out += char(entries.size() << 4 | 12);
  }
  for (const auto& [key, value] : entries) {
    c.field(1, 8), c.binary(key);
    c.field(1, 8), c.binary(value);
    c.stop();
  }
  c.field(1, 8), c.binary("Polars");         // created_by
  c.field(0, 11), c.varint(7 << 1);          // a map field given by its explicit id (7)
  c.varint(1), c.out += char(8 << 4 | 4), c.binary("k"), c.varint(9);
  c.stop();
  return c.out;
}

const KeyValues kEntries = {{"ARROW:schema", std::string(300, 'x')},
                            {"orva_source_csv", "5:17:9"},
                            {"orva_rows", "5203"}};

TEST(ParquetFooter, KeyValuesAreReadPastTheFieldsAroundThem) {
  EXPECT_EQ(footer_key_values(file_metadata(kEntries)), kEntries);
  EXPECT_EQ(footer_key_values(file_metadata(kEntries, true)), kEntries);  // a long list's header
  EXPECT_EQ(footer_key_values(file_metadata({})), KeyValues{});
}

TEST(ParquetFooter, EveryTruncationAndRandomDamageFailsWithinTheBytes) {
  const std::string whole = file_metadata(kEntries);
  for (size_t n = 0; n < whole.size(); ++n)
    EXPECT_FALSE(footer_key_values(whole.substr(0, n)).has_value()) << n;
  std::mt19937 random(7);
  for (int i = 0; i < 2000; ++i) {
    std::string damaged = whole;
    for (int j = 0; j < 3; ++j) damaged[random() % damaged.size()] = char(random());
    // It may still parse, but only into texts its own bytes hold.
    for (const auto& [key, value] : footer_key_values(damaged).value_or(KeyValues{})) {
      EXPECT_NE(damaged.find(key), std::string::npos);
      EXPECT_NE(damaged.find(value), std::string::npos);
    }
  }
}

TEST(ParquetFooter, NestingAndSizesNoFooterHasAreRefused) {
  std::string deep;
  for (int i = 0; i < 1000; ++i) deep += char(1 << 4 | 12);  // structs within structs
  EXPECT_FALSE(footer_key_values(deep).has_value());
  Compact huge;  // a list claiming more elements than there are bytes
  huge.field(1, 9), huge.out += char(15 << 4 | 5), huge.varint(uint64_t{1} << 40);
  EXPECT_FALSE(footer_key_values(huge.out).has_value());
  Compact wrong;  // key values that are not structs
  wrong.field(5, 9), wrong.out += char(1 << 4 | 5), wrong.varint(2), wrong.stop();
  EXPECT_FALSE(footer_key_values(wrong.out).has_value());
}

TEST(ParquetFooter, AFileIsReadFromItsTail) {
  const std::string path = testing::TempDir() + "footer_test.parquet";
  const std::string footer = file_metadata(kEntries);
  const uint32_t n = static_cast<uint32_t>(footer.size());
  {
    std::ofstream file(path, std::ios::binary);
    file << "PAR1" << std::string(100, '\0') << footer;
    for (int shift = 0; shift < 32; shift += 8) file << char(n >> shift & 0xff);
    file << "PAR1";
  }
  std::string error;
  EXPECT_EQ(read_footer_key_values(path, error), kEntries) << error;
  {
    std::ofstream file(path, std::ios::binary | std::ios::app);
    file << "x";  // no magic at the end any more
  }
  EXPECT_FALSE(read_footer_key_values(path, error).has_value());
  EXPECT_NE(error.find("PAR1"), std::string::npos);
  std::remove(path.c_str());
  EXPECT_FALSE(read_footer_key_values(path, error).has_value());
  EXPECT_FALSE(read_footer_key_values(testing::TempDir(), error).has_value());  // a folder
}

}  // namespace
}  // namespace orva::feed
