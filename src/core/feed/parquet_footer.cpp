#include "feed/parquet_footer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <tuple>

namespace orva::feed {
namespace {

// Thrift compact protocol types.
enum Type : int {
  kTrue = 1, kFalse = 2, kByte = 3, kI16 = 4, kI32 = 5, kI64 = 6, kDouble = 7,
  kBinary = 8, kList = 9, kSet = 10, kMap = 11, kStruct = 12,
};
constexpr int kKeyValueMetadata = 5;  // FileMetaData's field
constexpr int kMaxDepth = 32;         // far past Parquet's own nesting, short of the stack's
constexpr uint32_t kMaxFooter = 64u << 20;
constexpr char kMagic[] = "PAR1";

// Reads forward through a footer; any read past its end, or a shape no footer has, fails it
// for good, and every later read then yields nothing.
class Reader {
 public:
  explicit Reader(std::string_view bytes)
      : at_(reinterpret_cast<const uint8_t*>(bytes.data())), end_(at_ + bytes.size()) {}

  bool ok() const { return ok_; }

  uint8_t byte() {
    if (!ok_ || at_ == end_) return fail();
    return *at_++;
  }

  uint64_t varint() {
    uint64_t value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      const uint8_t b = byte();
      if (!ok_) return 0;
      value |= uint64_t{b & 0x7fu} << shift;
      if (!(b & 0x80)) return value;
    }
    return fail();
  }

  std::string_view binary() {
    const uint64_t size = varint();
    if (!ok_ || size > left()) return fail(), std::string_view();
    std::string_view text(reinterpret_cast<const char*>(at_), size);
    at_ += size;
    return text;
  }

  // A list's (or set's) element type and size; fails on more elements than bytes left, as
  // every element takes one at least.
  std::pair<int, uint64_t> list_header() {
    const uint8_t header = byte();
    uint64_t size = header >> 4;
    if (size == 15) size = varint();
    if (!ok_ || size > left()) return fail(), std::pair<int, uint64_t>{0, 0};
    return {header & 0x0f, size};
  }

  // The next field of a struct as (id, type); type 0 at its end.
  std::pair<int, int> field(int last_id) {
    const uint8_t header = byte();
    if (!ok_ || header == 0) return {0, 0};
    const int delta = header >> 4;
    if (delta != 0) return {last_id + delta, header & 0x0f};
    const uint64_t zigzag = varint();
    return {static_cast<int>(static_cast<int64_t>(zigzag >> 1) ^ -static_cast<int64_t>(zigzag & 1)),
            header & 0x0f};
  }

  void skip(int type, bool in_collection, int depth) {
    if (depth > kMaxDepth) return void(fail());
    switch (type) {
      case kTrue:
      case kFalse:
        if (in_collection) byte();  // a field's bool lives in its header
        return;
      case kByte: byte(); return;
      case kI16:
      case kI32:
      case kI64: varint(); return;
      case kDouble: advance(8); return;
      case kBinary: binary(); return;
      case kList:
      case kSet: {
        const auto [element, size] = list_header();
        for (uint64_t i = 0; i < size && ok_; ++i) skip(element, true, depth + 1);
        return;
      }
      case kMap: {
        const uint64_t size = varint();
        if (!ok_ || size == 0) return;
        if (size > left()) return void(fail());
        const uint8_t types = byte();
        for (uint64_t i = 0; i < size && ok_; ++i) {
          skip(types >> 4, true, depth + 1);
          skip(types & 0x0f, true, depth + 1);
        }
        return;
      }
      case kStruct:
        for (auto [id, field_type] = field(0); ok_ && field_type != 0; std::tie(id, field_type) = field(id))
          skip(field_type, false, depth + 1);
        return;
      default: fail();
    }
  }

 private:
  size_t left() const { return static_cast<size_t>(end_ - at_); }
  void advance(size_t n) {
    if (!ok_ || n > left()) return void(fail());
    at_ += n;
  }
  uint8_t fail() {
    ok_ = false;
    at_ = end_;
    return 0;
  }

  const uint8_t* at_;
  const uint8_t* end_;
  bool ok_ = true;
};

// One KeyValue struct: key (1) and value (2), both binary; a key without a value reads as "".
std::optional<std::pair<std::string, std::string>> key_value(Reader& in) {
  std::pair<std::string, std::string> entry;
  bool has_key = false;
  for (auto [id, type] = in.field(0); in.ok() && type != 0; std::tie(id, type) = in.field(id)) {
    if ((id == 1 || id == 2) && type == kBinary) {
      (id == 1 ? entry.first : entry.second) = std::string(in.binary());
      has_key |= id == 1;
    } else {
      in.skip(type, false, 1);
    }
  }
  if (!in.ok() || !has_key) return std::nullopt;
  return entry;
}

struct File {
  int fd;
  ~File() { close(fd); }
};

bool read_at(int fd, char* into, size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t got = pread(fd, into, size, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    into += got;
    size -= static_cast<size_t>(got);
    offset += got;
  }
  return true;
}

}  // namespace

std::optional<KeyValues> footer_key_values(std::string_view footer) {
  Reader in(footer);
  KeyValues found;
  for (auto [id, type] = in.field(0); in.ok() && type != 0; std::tie(id, type) = in.field(id)) {
    if (id != kKeyValueMetadata || type != kList) {
      in.skip(type, false, 1);
      continue;
    }
    const auto [element, size] = in.list_header();
    if (in.ok() && size > 0 && element != kStruct) return std::nullopt;
    for (uint64_t i = 0; i < size && in.ok(); ++i) {
      auto entry = key_value(in);
      if (!entry) return std::nullopt;
      found.push_back(std::move(*entry));
    }
  }
  if (!in.ok()) return std::nullopt;
  return found;
}

std::optional<KeyValues> read_footer_key_values(const std::string& path, std::string& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return std::nullopt;
  }
  File file{fd};
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    error = "not a regular file";
    return std::nullopt;
  }
  char tail[8];
  const off_t size = info.st_size;
  if (size < 12 || !read_at(fd, tail, sizeof tail, size - 8) || std::memcmp(tail + 4, kMagic, 4) != 0) {
    error = "not a Parquet file (no PAR1 at its end)";
    return std::nullopt;
  }
  const uint32_t length = uint32_t{uint8_t(tail[0])} | uint32_t{uint8_t(tail[1])} << 8 |
                          uint32_t{uint8_t(tail[2])} << 16 | uint32_t{uint8_t(tail[3])} << 24;
  if (length > kMaxFooter || length > static_cast<uint64_t>(size) - 12) {
    error = "footer length " + std::to_string(length) + " does not fit the file";
    return std::nullopt;
  }
  std::string footer(length, '\0');
  if (!read_at(fd, footer.data(), length, size - 8 - static_cast<off_t>(length))) {
    error = "footer could not be read";
    return std::nullopt;
  }
  auto found = footer_key_values(footer);
  if (!found) error = "footer is not a Parquet FileMetaData";
  return found;
}

}  // namespace orva::feed
