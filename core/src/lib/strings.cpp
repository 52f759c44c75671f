// The C++ convenience overloads that take string views or return strings.
#include <algorithm>
#include <string>
#include <string_view>

#include "impl_/internal_fun.h"
#include "vanto_edit/change.h"
#include "vanto_edit/edit.h"
#include "vanto_edit/segment.h"
#include "vanto_edit/session.h"

using namespace vanto::internal;

std::string vanto_change_get_string(const vanto_change_t *change) {
  const unsigned char *bytes = vanto_change_get_bytes(change);
  if (bytes == nullptr) return {};
  return std::string(reinterpret_cast<const char *>(bytes), static_cast<size_t>(change->length));
}

int64_t vanto_edit_insert_string(vanto_session_t *session, int64_t offset, std::string_view bytes) {
  // An empty view records an empty change: its data is never measured as text.
  return record_bytes_change_(session, CHANGE_INSERT, offset,
                              reinterpret_cast<const unsigned char *>(bytes.data()),
                              static_cast<int64_t>(bytes.size()), false);
}

int64_t vanto_edit_overwrite_string(vanto_session_t *session, int64_t offset,
                                    std::string_view bytes) {
  return record_bytes_change_(session, CHANGE_OVERWRITE, offset,
                              reinterpret_cast<const unsigned char *>(bytes.data()),
                              static_cast<int64_t>(bytes.size()), false);
}

std::string vanto_session_get_segment_string(const vanto_session_t *session, int64_t offset,
                                             int64_t length) {
  if (session == nullptr || length <= 0) return {};
  // Never ask for more than the data holds after the offset.
  const int64_t size = vanto_session_get_computed_file_size(session);
  if (offset < 0 || offset >= size) return {};
  vanto_segment_t *segment = vanto_segment_create(std::min(length, size - offset));
  vanto_session_get_segment(session, segment, offset);
  std::string result;
  const unsigned char *data = vanto_segment_get_data(segment);
  const int64_t filled = vanto_segment_get_length(segment);
  if (data != nullptr && filled > 0) {
    result.assign(reinterpret_cast<const char *>(data), static_cast<size_t>(filled));
  }
  vanto_segment_destroy(segment);
  return result;
}


#include "vanto_edit/search.h"

vanto_search_context_t *vanto_search_create_context_string(vanto_session_t *session,
                                                           std::string_view pattern,
                                                           int64_t session_offset,
                                                           int64_t session_length,
                                                           int case_insensitive) {
  // A view is not zero-terminated: an empty one must not be measured as text.
  if (pattern.empty()) return nullptr;
  return vanto_search_create_context_bytes(
      session, reinterpret_cast<const unsigned char *>(pattern.data()),
      static_cast<int64_t>(pattern.size()), session_offset, session_length, case_insensitive);
}

#include "vanto_edit/viewport.h"

std::string vanto_viewport_get_string(const vanto_viewport_t *viewport) {
  // The data read refills a marked viewport; the length is then what it holds.
  const unsigned char *data = vanto_viewport_get_data(viewport);
  if (data == nullptr) return {};
  return std::string(reinterpret_cast<const char *>(data),
                     static_cast<size_t>(vanto_viewport_get_length(viewport)));
}
