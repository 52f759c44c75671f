// Search contexts: a forward search for one pattern over a fixed range of a
// session's edited data, read window by window through the current model.
//
// Each window is read straight into the call's buffer, folded in bulk when
// the search ignores case, and scanned with memchr / memmem
// (impl_/byte_search.h), which give the leftmost occurrence, as the
// context's skip table would.  Case folding is the C locale's: only 'A' to
// 'Z' change, whatever locale the host has set.
#include "vanto_edit/search.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "impl_/byte_search.h"
#include "impl_/internal_fun.h"
#include "impl_/progress.h"
#include "impl_/search_window.h"
#include "vanto_edit/find.h"
#include "vanto_edit/session.h"
#include "vanto_edit/utility.h"

using namespace vanto::internal;

namespace {

// The lower-case function of case-insensitive contexts: the C locale's
// tolower, the same mapping as the bulk fold of the windows.
unsigned char lower_case_byte(unsigned char byte, void * /*user_data*/) { return fold_lower_(byte); }

// The window buffer of one call.  It grows with the windows (the old block
// is released before the new one is taken, so at most one window of memory
// is held) and is released on every way out of the call.
class Window {
 public:
  explicit Window(int64_t capacity) : allocated_(capacity) {
    small_buffer_allocate(segment_.data, capacity);
  }
  ~Window() { small_buffer_free(segment_.data, allocated_); }
  Window(const Window &) = delete;
  Window &operator=(const Window &) = delete;

  // Fills up to `wanted` bytes of the current data from `offset` and returns
  // how many bytes the window holds (0 when nothing could be read).  The
  // read's result code is not needed: whatever was filled is searched.
  int64_t fill(const vanto_session_struct &session, int64_t offset, int64_t wanted) {
    if (wanted > allocated_) {
      small_buffer_free(segment_.data, allocated_);
      allocated_ = wanted;
      small_buffer_allocate(segment_.data, allocated_);
    }
    // The reader finds the data area (inline or heap) from the capacity, so
    // a heap block keeps a capacity of at least the inline limit; bytes read
    // past `wanted` are not searched.
    segment_.capacity = is_inline_size(allocated_) ? wanted : std::max(wanted, kSmallBufferLimit);
    segment_.offset = offset;
    populate_data_segment_(&session, &segment_);
    return std::clamp<int64_t>(segment_.length, 0, wanted);
  }

  unsigned char *data() { return small_buffer_data(segment_.data, allocated_); }

 private:
  vanto_segment_struct segment_{};
  int64_t allocated_;
};

}  // namespace

extern "C" {

vanto_search_context_t *vanto_search_create_context_bytes(vanto_session_t *session,
                                                          const unsigned char *pattern,
                                                          int64_t pattern_length,
                                                          int64_t session_offset,
                                                          int64_t session_length,
                                                          int case_insensitive) {
  if (session == nullptr || pattern == nullptr || pattern_length < 0) return nullptr;
  if (pattern_length == 0) {
    pattern_length = static_cast<int64_t>(std::strlen(reinterpret_cast<const char *>(pattern)));
  }
  if (pattern_length == 0) return nullptr;

  int64_t range_length = session_length;
  if (range_length == 0 &&
      __builtin_sub_overflow(vanto_session_get_computed_file_size(session), session_offset,
                             &range_length)) {
    return nullptr;
  }
  int64_t range_end = 0;
  if (range_length < 0 || __builtin_add_overflow(session_offset, range_length, &range_end)) {
    return nullptr;
  }
  if (pattern_length >= VANTO_SEARCH_PATTERN_LIMIT || pattern_length > range_length) {
    return nullptr;
  }

  auto context = std::make_shared<vanto_search_context_struct>();
  context->session_ptr = session;
  context->pattern_length = pattern_length;
  context->session_offset = session_offset;
  context->session_length = range_length;
  context->match_offset = range_end;
  context->byte_transform = case_insensitive != 0 ? lower_case_byte : nullptr;

  small_buffer_allocate(context->pattern, pattern_length);
  unsigned char *stored = small_buffer_data(context->pattern, pattern_length);
  std::memcpy(stored, pattern, static_cast<size_t>(pattern_length));
  if (context->byte_transform != nullptr) {
    vanto_util_apply_byte_transform(stored, pattern_length, context->byte_transform, nullptr);
  }
  stored[pattern_length] = 0;

  context->skip_table_ptr =
      vanto_find_create_skip_table(stored, static_cast<uint64_t>(pattern_length));
  if (context->skip_table_ptr == nullptr) {
    small_buffer_free(context->pattern, pattern_length);
    return nullptr;
  }
  session->search_contexts.push_back(context);
  return context.get();
}

vanto_search_context_t *vanto_search_create_context(vanto_session_t *session, const char *pattern,
                                                    int64_t pattern_length,
                                                    int64_t session_offset,
                                                    int64_t session_length,
                                                    int case_insensitive) {
  return vanto_search_create_context_bytes(session, reinterpret_cast<const unsigned char *>(pattern),
                                           pattern_length, session_offset, session_length,
                                           case_insensitive);
}

int vanto_search_next_match(vanto_search_context_t *context, int64_t advance) {
  if (context == nullptr || advance < 1 || context->session_ptr == nullptr) return 0;
  const vanto_session_struct &session = *context->session_ptr;
  // The progress hook may destroy the context: a reference of our own keeps
  // the record readable until the call sees that it is gone.
  std::shared_ptr<vanto_search_context_struct> keep;
  for (const auto &held : session.search_contexts) {
    if (held.get() == context) keep = held;
  }
  if (!keep) return 0;
  const int64_t pattern_length = context->pattern_length;
  const int64_t range_end = context->session_offset + context->session_length;

  // Where this call starts: the range's start when there is no current match,
  // otherwise `advance` bytes after the match.  The bytes still to search are
  // counted from there, so no window reaches past the range.
  int64_t window_start = context->session_offset;
  if (context->match_offset != range_end) {
    if (advance >= range_end - context->match_offset) {
      context->match_offset = range_end;
      return 0;
    }
    window_start = context->match_offset + advance;
  }
  // Nothing lies before the start of the data: the search begins where the
  // range meets it.
  window_start = std::max<int64_t>(window_start, 0);
  int64_t remaining = range_end - window_start;
  if (remaining < pattern_length) {
    context->match_offset = range_end;
    return 0;
  }

  const unsigned char *pattern = small_buffer_data(context->pattern, pattern_length);
  const bool fold = context->byte_transform != nullptr;
  // Progress counts the bytes of this call's part of the range searched.
  const int64_t call_start = window_start;
  Progress progress(session, remaining);
  int64_t searched = 0;
  int found = 0;
  int64_t window_size = first_search_window_(pattern_length);
  Window window(std::min(remaining, window_size));
  for (;;) {
    const int64_t wanted = std::min(remaining, window_size);
    const int64_t filled = window.fill(session, window_start, wanted);
    unsigned char *bytes = window.data();
    if (fold) fold_lower_bulk_(bytes, static_cast<size_t>(filled));
    const unsigned char *hit = find_leftmost_(bytes, static_cast<size_t>(filled), pattern,
                                              static_cast<size_t>(pattern_length));
    if (hit != nullptr) {
      context->match_offset = window_start + (hit - bytes);
      found = 1;
      break;
    }
    // A window that was not full reached the end of the range or of the data.
    if (filled < window_size) break;
    searched = std::max(searched, window_start + filled - call_start);
    if (!progress.advance(searched) || context->session_ptr == nullptr) {
      context->match_offset = range_end;
      return 0;
    }
    const int64_t step = window_size - (pattern_length - 1);
    window_start += step;
    remaining -= step;
    if (remaining < pattern_length) break;
    window_size = next_search_window_(window_size);
  }
  if (!found) context->match_offset = range_end;
  if (!progress.finish()) {
    // Cancelled at the end: the call reports nothing, as if none was found.
    context->match_offset = range_end;
    return 0;
  }
  return found;
}

int64_t vanto_search_context_get_offset(const vanto_search_context_t *context) {
  return context != nullptr ? context->match_offset : 0;
}

int64_t vanto_search_context_get_length(const vanto_search_context_t *context) {
  return context != nullptr ? context->pattern_length : 0;
}

void vanto_search_destroy_context(vanto_search_context_t *context) {
  if (context == nullptr || context->session_ptr == nullptr) return;
  destroy_search_context_(*context->session_ptr, context);
}

}  // extern "C"

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
