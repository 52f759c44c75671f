// Host-owned segments.
#include "vanto_edit/segment.h"

#include <cstdlib>
#include <new>

#include "impl_/records.h"

using namespace vanto::internal;

vanto_segment_t *vanto_segment_create(int64_t capacity) {
  if (capacity < 0) return nullptr;
  auto *segment = new (std::nothrow) vanto_segment_struct();
  if (segment == nullptr) return nullptr;
  segment->capacity = capacity;
  if (is_inline_size(capacity)) {
    small_buffer_allocate(segment->data, capacity);
    return segment;
  }
  // The capacity comes from the host unchecked: a buffer that cannot be had
  // is a refusal, not the end of the process.
  void *block = std::calloc(static_cast<size_t>(capacity) + 1, 1);
  if (block == nullptr) {
    delete segment;
    return nullptr;
  }
  segment->data.bytes_ptr = static_cast<unsigned char *>(block);
  return segment;
}

void vanto_segment_destroy(vanto_segment_t *segment) {
  if (segment == nullptr) return;
  small_buffer_free(segment->data, segment->capacity);
  delete segment;
}

int64_t vanto_segment_get_offset(const vanto_segment_t *segment) {
  return segment != nullptr ? segment->offset : 0;
}

int64_t vanto_segment_get_length(const vanto_segment_t *segment) {
  return segment != nullptr ? segment->length : 0;
}

int64_t vanto_segment_get_capacity(const vanto_segment_t *segment) {
  return segment != nullptr ? segment->capacity : 0;
}

int64_t vanto_segment_get_offset_adjustment(const vanto_segment_t *segment) {
  return segment != nullptr ? segment->offset_adjustment : 0;
}

const unsigned char *vanto_segment_get_data(const vanto_segment_t *segment) {
  if (segment == nullptr || segment->length < 0) return nullptr;
  return small_buffer_data(segment->data, segment->capacity);
}
