// Replace-all: one reading pass that finds the matches, then one change per
// match, all in one transaction.
//
// Nothing is recorded before the reading pass is over, so a pass that fails
// or is cancelled leaves the session as it was.  The matches are kept as
// offsets into the data as it was (and, when case is ignored, with how much
// of each the replacement leaves alone); each change's offset is that plus
// what the replacements before it added or removed.
#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <vector>

#include "impl_/byte_search.h"
#include "impl_/internal_fun.h"
#include "impl_/piece_reader.h"
#include "impl_/progress.h"
#include "vanto_edit/edit.h"
#include "vanto_edit/session.h"

using namespace vanto::internal;

namespace {

constexpr int64_t kReadBlock = int64_t{1} << 20;

// How much of a match the replacement leaves alone: `head` bytes at the
// start and `tail` at the end that both read the same.
struct Kept {
  int64_t head = 0;
  int64_t tail = 0;
};

Kept kept_between(const unsigned char *match, int64_t match_length, const unsigned char *replacement,
                  int64_t replacement_length) {
  Kept k;
  const int64_t shorter = std::min(match_length, replacement_length);
  while (k.head < shorter && match[k.head] == replacement[k.head]) ++k.head;
  while (k.tail < shorter - k.head &&
         match[match_length - 1 - k.tail] == replacement[replacement_length - 1 - k.tail]) {
    ++k.tail;
  }
  return k;
}

// Kept in blocks that are freed as the changes are recorded, so that the
// list never needs one block of its whole size, nor twice that while it
// grows.
struct Matches {
  std::deque<int64_t> offsets;
  std::deque<Kept> kept;  // per match, only when case is ignored
};

enum class Scan { kDone, kFailed, kCancelled };

// Reads [offset, offset + length) once and collects up to `max` (< 0: any
// number of) non-overlapping matches, left to right.
Scan find_matches(const vanto_session_struct &session, const unsigned char *pattern, int64_t p,
                  const unsigned char *replacement, int64_t r, bool ignore_case, int64_t offset,
                  int64_t length, int64_t max, Matches &out) {
  const vanto_model_struct &model = session.current_model();
  Progress progress(session, length);
  if (length < p) return progress.finish() ? Scan::kDone : Scan::kCancelled;

  int64_t piece_start = 0;
  ContinuityBreak brk;
  const auto pos = model.model_segments.find_covering(offset, &piece_start, &brk);
  if (brk.broken) abort_on_continuity_break_(model, "vanto_edit_replace_all", brk);
  if (pos == model.model_segments.end_pos()) return Scan::kFailed;
  PieceCursor cursor{pos, offset - piece_start};

  std::vector<unsigned char> folded_pattern;
  if (ignore_case) {
    folded_pattern.assign(pattern, pattern + p);
    fold_lower_bulk_(folded_pattern.data(), folded_pattern.size());
  }
  const unsigned char *needle = ignore_case ? folded_pattern.data() : pattern;

  // The window holds the bytes at [window_start, window_start + filled); a
  // match may start in the last p - 1 bytes of one block and end in the
  // next, so those are carried over.
  const int64_t block = std::max(kReadBlock, p);
  const int64_t capacity = block + p - 1;
  std::unique_ptr<unsigned char[]> raw(new (std::nothrow) unsigned char[static_cast<size_t>(capacity)]);
  std::unique_ptr<unsigned char[]> folded;
  if (ignore_case) folded.reset(new (std::nothrow) unsigned char[static_cast<size_t>(capacity)]);
  if (!raw || (ignore_case && !folded)) return Scan::kFailed;
  unsigned char *hay = ignore_case ? folded.get() : raw.get();

  int64_t window_start = offset;
  int64_t filled = 0;
  int64_t next_search = offset;  // no match may start before this
  int64_t read_end = offset;
  const int64_t range_end = offset + length;
  while (read_end < range_end) {
    const int64_t want = std::min(block, range_end - read_end);
    const PieceFill fill = read_pieces_(model, cursor, raw.get() + filled, want);
    if (!fill.ok || fill.filled != want) return Scan::kFailed;
    if (ignore_case) {
      std::memcpy(folded.get() + filled, raw.get() + filled, static_cast<size_t>(want));
      fold_lower_bulk_(folded.get() + filled, static_cast<size_t>(want));
    }
    filled += want;
    read_end += want;

    int64_t from = next_search - window_start;
    while (from + p <= filled) {
      const unsigned char *found = find_leftmost_(hay + from, static_cast<size_t>(filled - from), needle,
                                                  static_cast<size_t>(p));
      if (found == nullptr) break;
      const int64_t at = found - hay;
      try {
        out.offsets.push_back(window_start + at);
        if (ignore_case) out.kept.push_back(kept_between(raw.get() + at, p, replacement, r));
      } catch (const std::bad_alloc &) {
        return Scan::kFailed;
      }
      from = at + p;
      if (max > 0 && static_cast<int64_t>(out.offsets.size()) >= max) {
        return progress.finish() ? Scan::kDone : Scan::kCancelled;
      }
    }
    next_search = window_start + std::max(from, filled - (p - 1));
    // Keep what a later match may still start in.
    const int64_t keep_from = std::max<int64_t>(next_search - window_start, 0);
    const int64_t kept = filled - keep_from;
    if (kept > 0 && keep_from > 0) {
      std::memmove(raw.get(), raw.get() + keep_from, static_cast<size_t>(kept));
      if (ignore_case) std::memmove(folded.get(), folded.get() + keep_from, static_cast<size_t>(kept));
    }
    window_start += keep_from;
    filled = kept;
    if (!progress.advance(read_end - offset)) return Scan::kCancelled;
  }
  return progress.finish() ? Scan::kDone : Scan::kCancelled;
}

// Records one change as the edit calls do; the serial, or -1.
int64_t record(vanto_session_struct &session, int kind, int64_t offset, int64_t length,
               const unsigned char *bytes) {
  const bool bit = determine_change_transaction_bit_(&session) != 0;
  const int64_t serial = vanto_session_get_num_changes(&session) + 1;
  vanto_change_struct *change = new_change_(session, serial, kind, bit, offset, length, bytes);
  if (change == nullptr) return -1;
  return apply_change_(session, change);
}

}  // namespace

int64_t vanto_edit_replace_all(vanto_session_t *session, const void *pattern, int64_t pattern_length,
                               const void *replacement, int64_t replacement_length, int32_t flags,
                               int64_t offset, int64_t length, int64_t max, int64_t *count) {
  if (count != nullptr) *count = 0;
  if (session == nullptr || (session->flags & SESSION_FLAG_CHANGES_PAUSED) != 0) return 0;
  if (changes_locked_(*session)) return 0;
  if (pattern == nullptr || pattern_length < 1 || replacement_length < 0) return 0;
  if (replacement == nullptr && replacement_length > 0) return 0;
  if ((flags & ~REPLACE_FLAG_IGNORE_CASE) != 0) return 0;
  const int64_t size = vanto_session_get_computed_file_size(session);
  if (offset < 0 || offset > size || length < 0) return 0;
  if (length == 0 || length > size - offset) length = size - offset;
  if (max == 0) return 0;

  const auto *p = static_cast<const unsigned char *>(pattern);
  const auto *r = replacement_length > 0 ? static_cast<const unsigned char *>(replacement)
                                         : reinterpret_cast<const unsigned char *>("");
  const bool ignore_case = (flags & REPLACE_FLAG_IGNORE_CASE) != 0;
  Matches matches;
  switch (find_matches(*session, p, pattern_length, r, replacement_length, ignore_case, offset, length,
                       max, matches)) {
    case Scan::kDone:
      break;
    case Scan::kFailed:
      return -1;
    case Scan::kCancelled:
      return -2;
  }
  if (matches.offsets.empty()) return 0;

  // Without case folding every match reads as the pattern: what the
  // replacement leaves alone is the same for all of them.
  const Kept same = ignore_case ? Kept{} : kept_between(p, pattern_length, r, replacement_length);

  // One transaction: opened here unless the host has one open, in which
  // case the changes join it.
  const bool own_transaction = vanto_session_get_transaction_state(session) == 0;
  if (own_transaction) vanto_session_begin_transaction(session);
  int64_t result = 0;
  int64_t shift = 0;  // what the replacements so far added (or removed)
  int64_t expected_size = size;
  int64_t expected_changes = vanto_session_get_num_changes(session);
  int64_t replaced = 0;
  while (!matches.offsets.empty()) {
    const Kept k = ignore_case ? matches.kept.front() : same;
    const int64_t at = matches.offsets.front() + shift + k.head;
    matches.offsets.pop_front();
    if (ignore_case) matches.kept.pop_front();
    const int64_t removed = pattern_length - k.head - k.tail;
    const int64_t added = replacement_length - k.head - k.tail;
    const unsigned char *bytes = r + k.head;
    shift += replacement_length - pattern_length;
    ++replaced;
    if (removed == 0 && added == 0) continue;
    // A callback that pauses or edits the session ends the call.
    if ((session->flags & SESSION_FLAG_CHANGES_PAUSED) != 0) {
      result = -1;
      break;
    }
    int64_t serial = 0;
    if (removed == added) {
      serial = record(*session, CHANGE_OVERWRITE, at, added, bytes);
      expected_changes += 1;
    } else {
      if (removed > 0) {
        serial = record(*session, CHANGE_DELETE, at, removed, nullptr);
        expected_changes += 1;
      }
      if (serial >= 0 && added > 0) {
        serial = record(*session, CHANGE_INSERT, at, added, bytes);
        expected_changes += 1;
      }
    }
    expected_size += added - removed;
    if (serial <= 0 || vanto_session_get_computed_file_size(session) != expected_size ||
        vanto_session_get_num_changes(session) != expected_changes) {
      result = -1;
      break;
    }
    result = serial;
  }
  if (own_transaction) vanto_session_end_transaction(session);
  if (count != nullptr) *count = replaced;
  return result;
}
