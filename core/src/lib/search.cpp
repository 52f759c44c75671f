// Search contexts: a search for one pattern over a fixed range of a
// session's edited data, read window by window through the current model,
// forward (next match, counting) or backward (previous match).
//
// Each window is read straight into the call's buffer, folded in bulk when
// the search ignores case, and scanned.  An exact pattern is found forward
// with memchr / memmem (impl_/byte_search.h), which give the leftmost
// occurrence, as the context's skip table would; masked patterns and every
// backward search use the probe scan of MaskedPattern.  Backward, windows
// are read from the end of the range towards its start and overlap by the
// pattern's length minus one, as forward.  Case folding is the C locale's:
// only 'A' to 'Z' change, whatever locale the host has set.
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

// Creates a context for a pattern of `pattern_length` bytes (> 0 once
// measured), exact when `mask` is null.  A mask of only 0xFF bytes makes an
// exact context too, so it is searched as fast as one.
vanto_search_context_t *create_context_(vanto_session_t *session, const unsigned char *pattern,
                                        const unsigned char *mask, int64_t pattern_length,
                                        int64_t session_offset, int64_t session_length,
                                        int case_insensitive) {
  if (pattern_length <= 0) return nullptr;
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
  const auto length = static_cast<size_t>(pattern_length);
  if (mask != nullptr && std::any_of(mask, mask + length, [](unsigned char m) { return m != 0xFF; })) {
    context->mask.assign(mask, mask + length);
  }

  small_buffer_allocate(context->pattern, pattern_length);
  unsigned char *stored = small_buffer_data(context->pattern, pattern_length);
  std::memcpy(stored, pattern, length);
  if (context->byte_transform != nullptr) {
    vanto_util_apply_byte_transform(stored, pattern_length, context->byte_transform, nullptr);
  }
  // Fold, then mask: the windows are folded the same way before the mask
  // is applied to them.
  for (size_t i = 0; i < context->mask.size(); ++i) stored[i] &= context->mask[i];
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

// The context's own reference while a call runs: the progress hook may
// destroy the context, and the record stays readable until the call sees
// that it is gone (its session pointer is then null).  Empty when the
// context is not one of its session's.
std::shared_ptr<vanto_search_context_struct> hold_(vanto_search_context_struct *context) {
  std::shared_ptr<vanto_search_context_struct> keep;
  if (context == nullptr || context->session_ptr == nullptr) return keep;
  for (const auto &held : context->session_ptr->search_contexts) {
    if (held.get() == context) keep = held;
  }
  return keep;
}

// The context's pattern prepared for the probe scan.
MaskedPattern plan_(const vanto_search_context_struct &context) {
  return MaskedPattern(small_buffer_data(context.pattern, context.pattern_length),
                       context.mask.empty() ? nullptr : context.mask.data(),
                       static_cast<size_t>(context.pattern_length));
}

// Index of the leftmost occurrence of an exact pattern in a window, or -1.
ptrdiff_t first_exact_(const unsigned char *bytes, int64_t filled, const unsigned char *pattern,
                       int64_t pattern_length) {
  const unsigned char *hit = find_leftmost_(bytes, static_cast<size_t>(filled), pattern,
                                            static_cast<size_t>(pattern_length));
  return hit != nullptr ? hit - bytes : -1;
}

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
  return create_context_(session, pattern, nullptr, pattern_length, session_offset, session_length,
                         case_insensitive);
}

vanto_search_context_t *vanto_search_create_context_masked(vanto_session_t *session,
                                                           const unsigned char *pattern,
                                                           const unsigned char *mask,
                                                           int64_t pattern_length,
                                                           int64_t session_offset,
                                                           int64_t session_length,
                                                           int case_insensitive) {
  if (session == nullptr || pattern == nullptr || pattern_length <= 0) return nullptr;
  return create_context_(session, pattern, mask, pattern_length, session_offset, session_length,
                         case_insensitive);
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
  if (advance < 1) return 0;
  const std::shared_ptr<vanto_search_context_struct> keep = hold_(context);
  if (!keep) return 0;
  const vanto_session_struct &session = *context->session_ptr;
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
  const bool masked = !context->mask.empty();
  const MaskedPattern plan = plan_(*context);
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
    const ptrdiff_t index = masked ? plan.find_first(bytes, static_cast<size_t>(filled))
                                   : first_exact_(bytes, filled, pattern, pattern_length);
    if (index >= 0) {
      context->match_offset = window_start + index;
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

int vanto_search_prev_match(vanto_search_context_t *context, int64_t advance) {
  if (advance < 1) return 0;
  const std::shared_ptr<vanto_search_context_struct> keep = hold_(context);
  if (!keep) return 0;
  vanto_session_struct &session = *context->session_ptr;
  const int64_t pattern_length = context->pattern_length;
  const int64_t range_start = context->session_offset;
  const int64_t range_end = range_start + context->session_length;

  // The last start this call may report: the last one in the range when
  // there is no current match, otherwise `advance` bytes before the match.
  int64_t last_start = range_end - pattern_length;
  if (context->match_offset != range_end) {
    if (advance > context->match_offset - range_start) {
      context->match_offset = range_end;
      return 0;
    }
    last_start = context->match_offset - advance;
  }
  // Nothing lies outside the data: the search covers the part of the range
  // inside it as it is now.
  last_start = std::min(last_start, vanto_session_get_computed_file_size(&session) - pattern_length);
  const int64_t first_start = std::max<int64_t>(range_start, 0);
  if (last_start < first_start) {
    context->match_offset = range_end;
    return 0;
  }

  const bool fold = context->byte_transform != nullptr;
  const MaskedPattern plan = plan_(*context);
  // The bytes still to search end at window_end and begin at first_start.
  int64_t window_end = last_start + pattern_length;
  int64_t remaining = window_end - first_start;
  const int64_t call_end = window_end;
  Progress progress(session, remaining);
  int found = 0;
  int64_t window_size = first_search_window_(pattern_length);
  Window window(std::min(remaining, window_size));
  for (;;) {
    const int64_t wanted = std::min(remaining, window_size);
    const int64_t window_start = window_end - wanted;
    const int64_t filled = window.fill(session, window_start, wanted);
    unsigned char *bytes = window.data();
    if (fold) fold_lower_bulk_(bytes, static_cast<size_t>(filled));
    // A window that could not be read whole holds only what was filled.
    const ptrdiff_t index = plan.find_last(bytes, static_cast<size_t>(filled));
    if (index >= 0) {
      context->match_offset = window_start + index;
      found = 1;
      break;
    }
    if (wanted == remaining) break;  // the window reached the first start
    if (!progress.advance(call_end - window_start) || context->session_ptr == nullptr) {
      context->match_offset = range_end;
      return 0;
    }
    const int64_t step = wanted - (pattern_length - 1);
    window_end -= step;
    remaining -= step;
    window_size = next_search_window_(window_size);
  }
  if (!found) context->match_offset = range_end;
  if (!progress.finish()) {
    context->match_offset = range_end;
    return 0;
  }
  return found;
}

int64_t vanto_search_count_matches(vanto_search_context_t *context, int64_t advance) {
  if (advance < 1) return -1;
  const std::shared_ptr<vanto_search_context_struct> keep = hold_(context);
  if (!keep) return -1;
  const vanto_session_struct &session = *context->session_ptr;
  const int64_t pattern_length = context->pattern_length;
  const int64_t range_end = context->session_offset + context->session_length;
  int64_t window_start = std::max<int64_t>(context->session_offset, 0);
  int64_t remaining = range_end - window_start;
  if (remaining < pattern_length) return 0;

  const unsigned char *pattern = small_buffer_data(context->pattern, pattern_length);
  const bool fold = context->byte_transform != nullptr;
  const bool masked = !context->mask.empty();
  const MaskedPattern plan = plan_(*context);
  const int64_t call_start = window_start;
  Progress progress(session, remaining);
  int64_t count = 0;
  // The earliest start the next match may have.  Consecutive windows share
  // their last pattern_length - 1 bytes but no start, so no match is seen
  // twice.
  int64_t next_start = window_start;
  bool done = false;
  int64_t window_size = first_search_window_(pattern_length);
  Window window(std::min(remaining, window_size));
  while (!done) {
    const int64_t wanted = std::min(remaining, window_size);
    const int64_t filled = window.fill(session, window_start, wanted);
    unsigned char *bytes = window.data();
    if (fold) fold_lower_bulk_(bytes, static_cast<size_t>(filled));
    for (;;) {
      const int64_t from = next_start - window_start;
      if (filled - from < pattern_length) break;
      const ptrdiff_t index = masked ? plan.find_first(bytes + from, static_cast<size_t>(filled - from))
                                     : first_exact_(bytes + from, filled - from, pattern, pattern_length);
      if (index < 0) break;
      ++count;
      const int64_t match = window_start + from + index;
      if (advance > range_end - match - pattern_length) {
        done = true;
        break;
      }
      next_start = match + advance;
    }
    // A window that was not full reached the end of the range or of the data.
    if (done || filled < window_size) break;
    if (!progress.advance(window_start + filled - call_start) || context->session_ptr == nullptr) return -2;
    const int64_t step = std::max(window_size - (pattern_length - 1), next_start - window_start);
    window_start += step;
    remaining -= step;
    next_start = std::max(next_start, window_start);
    if (remaining < pattern_length) break;
    window_size = next_search_window_(window_size);
  }
  if (!progress.finish()) return -2;
  return count;
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
