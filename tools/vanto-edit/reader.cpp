#include "reader.h"

#include <algorithm>

#include <fmt/format.h>

#include "text.h"

namespace vtool {

BlockReader::BlockReader(const Session &session, int64_t capacity)
    : session_(session), capacity_(capacity), size_(session.size()) {
  segment_ = vanto_segment_create(capacity);
  if (segment_ == nullptr) {
    throw Failure(fmt::format("{}: not enough memory for a read buffer of {} bytes", shown_name(session.path()), capacity));
  }
}

BlockReader::~BlockReader() { vanto_segment_destroy(segment_); }

std::string_view BlockReader::at(int64_t offset) {
  if (offset >= size_) return {};
  if (start_ < 0 || offset < start_ || offset >= start_ + length_) {
    throw_if_interrupted();
    const int rc = vanto_session_get_segment(session_.get(), segment_, offset);
    start_ = offset;
    length_ = rc == 0 ? vanto_segment_get_length(segment_) : 0;
    if (length_ <= 0) {
      start_ = -1;
      length_ = 0;
      throw Failure(fmt::format("{}: cannot read the data at offset {} (the file may have changed)",
                                shown_name(session_.path()), offset));
    }
  }
  const auto *data = reinterpret_cast<const char *>(vanto_segment_get_data(segment_));
  return {data + (offset - start_), static_cast<std::size_t>(start_ + length_ - offset)};
}

std::string BlockReader::copy(int64_t offset, int64_t length) {
  std::string out;
  const int64_t end = std::min(size_, offset + length);
  out.reserve(static_cast<std::size_t>(std::max<int64_t>(0, end - offset)));
  while (offset < end) {
    const std::string_view block = at(offset);
    const auto take = std::min<int64_t>(static_cast<int64_t>(block.size()), end - offset);
    out.append(block.data(), static_cast<std::size_t>(take));
    offset += take;
  }
  return out;
}

}  // namespace vtool
