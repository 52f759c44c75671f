// Sequential and random reads of a session's edited data in blocks, through
// one segment of the library; shared by the commands that read whole ranges
// (diff, hash).
#ifndef VANTO_EDIT_TOOL_READER_H
#define VANTO_EDIT_TOOL_READER_H

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime.h"

namespace vtool {

class BlockReader {
 public:
  // Reads `session` in blocks of up to `capacity` bytes.  Throws Failure
  // when the memory for the block cannot be had.
  BlockReader(const Session &session, int64_t capacity);
  ~BlockReader();
  BlockReader(const BlockReader &) = delete;
  BlockReader &operator=(const BlockReader &) = delete;

  // The data from `offset` on, up to the capacity: at least one byte unless
  // `offset` is the end of the data.  A call for an offset inside the block
  // last read is answered from it.  Valid until the next call.  Throws
  // Failure when the data cannot be read (the file shrank, a read failed).
  std::string_view at(int64_t offset);
  // `length` bytes from `offset` (fewer at the end of the data), copied.
  std::string copy(int64_t offset, int64_t length);

  int64_t size() const { return size_; }
  int64_t capacity() const { return capacity_; }

 private:
  const Session &session_;
  vanto_segment_t *segment_ = nullptr;
  int64_t capacity_;
  int64_t size_;
  int64_t start_ = -1;  // offset of the block held, -1 before the first read
  int64_t length_ = 0;
};

}  // namespace vtool

#endif  // VANTO_EDIT_TOOL_READER_H
