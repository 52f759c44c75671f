// Session queries, history counts, transactions and pausing.
#include "vanto_edit/session.h"

#include "impl_/internal_fun.h"
#include "vanto_edit/segment.h"

using namespace vanto::internal;

namespace {

// Number of runs of equal transaction bits in a list of changes, given as
// its length and its i-th change.
template <typename At>
int64_t count_runs(size_t size, At at) {
  int64_t runs = 0;
  for (size_t i = 0; i < size; ++i) {
    if (i == 0 || at(i)->transaction_bit() != at(i - 1)->transaction_bit()) ++runs;
  }
  return runs;
}

int64_t count_transactions(const ChangeStore &store) {
  return count_runs(store.size(), [&](size_t i) { return store[i]; });
}

int64_t count_undone_transactions(const ChangeStore &store) {
  return count_runs(store.undone_size(), [&](size_t i) { return store.undone(i); });
}

}  // namespace

const char *vanto_session_get_file_path(const vanto_session_t *session) {
  if (session == nullptr) return nullptr;
  const std::string &path = session->current_model().file_path;
  return path.empty() ? nullptr : path.c_str();
}

int32_t vanto_session_get_backing_file_changes(const vanto_session_t *session) {
  if (session == nullptr) return -1;
  const vanto_model_struct &own = *session->models.front();
  return backing_file_changes_in_place_(own) | backing_file_changes_by_name_(own, own.file_path);
}

void *vanto_session_get_user_data_ptr(const vanto_session_t *session) {
  return session != nullptr ? session->user_data_ptr : nullptr;
}

vanto_session_event_cbk_t vanto_session_get_event_cbk(const vanto_session_t *session) {
  return session != nullptr ? session->event_cbk : nullptr;
}

int32_t vanto_session_get_event_interest(const vanto_session_t *session) {
  return session != nullptr ? session->event_interest : 0;
}

int32_t vanto_session_set_event_interest(vanto_session_t *session, int32_t interest) {
  if (session == nullptr) return 0;
  session->event_interest = interest;
  return interest;
}

void vanto_session_notify(const vanto_session_t *session, int32_t event, const void *event_ptr) {
  if (session != nullptr) notify_session_(*session, event, event_ptr);
}

int64_t vanto_session_get_num_viewports(const vanto_session_t *session) {
  return session != nullptr ? static_cast<int64_t>(session->viewports.size()) : 0;
}

int64_t vanto_session_get_num_search_contexts(const vanto_session_t *session) {
  return session != nullptr ? static_cast<int64_t>(session->search_contexts.size()) : 0;
}

int64_t vanto_session_get_num_checkpoints(const vanto_session_t *session) {
  return session != nullptr ? static_cast<int64_t>(session->models.size()) - 1 : 0;
}

int64_t vanto_session_get_computed_file_size(const vanto_session_t *session) {
  return session != nullptr ? session->current_model().model_segments.total_length() : 0;
}

int vanto_session_get_segment(const vanto_session_t *session, vanto_segment_t *segment,
                              int64_t offset) {
  if (session == nullptr || segment == nullptr) return -1;
  segment->offset = offset;
  return populate_data_segment_(session, segment);
}

int64_t vanto_session_get_num_changes(const vanto_session_t *session) {
  if (session == nullptr) return 0;
  return static_cast<int64_t>(session->current_model().changes.size()) + session->prior_change_count;
}

int64_t vanto_session_get_num_undone_changes(const vanto_session_t *session) {
  return session != nullptr ? static_cast<int64_t>(session->current_model().changes.undone_size()) : 0;
}

int64_t vanto_session_get_num_change_transactions(const vanto_session_t *session) {
  if (session == nullptr) return 0;
  int64_t total = 0;
  for (const auto &model : session->models) total += count_transactions(model->changes);
  return total;
}

int64_t vanto_session_get_num_undone_change_transactions(const vanto_session_t *session) {
  if (session == nullptr) return 0;
  int64_t total = 0;
  for (const auto &model : session->models) total += count_undone_transactions(model->changes);
  return total;
}

const vanto_change_t *vanto_session_get_last_change(const vanto_session_t *session) {
  if (session == nullptr) return nullptr;
  const auto &changes = session->current_model().changes;
  return changes.empty() ? nullptr : changes.back();
}

const vanto_change_t *vanto_session_get_last_undo(const vanto_session_t *session) {
  if (session == nullptr) return nullptr;
  const auto &changes = session->current_model().changes;
  return changes.undone_empty() ? nullptr : changes.last_undone();
}

const vanto_change_t *vanto_session_get_change(const vanto_session_t *session, int64_t serial) {
  if (session == nullptr || serial == 0) return nullptr;
  if (serial < 0) {
    const auto &changes = session->current_model().changes;
    for (size_t j = changes.undone_size(); j-- > 0;) {
      if (changes.undone(j)->serial == serial) return changes.undone(j);
    }
    return nullptr;
  }
  if (serial > vanto_session_get_num_changes(session)) return nullptr;
  // Serials run on across checkpoint levels: each level's change list holds
  // the serials after those of the levels below it.
  int64_t below = 0;
  for (const auto &model : session->models) {
    const auto count = static_cast<int64_t>(model->changes.size());
    if (serial <= below + count) return model->changes[static_cast<size_t>(serial - below - 1)];
    below += count;
  }
  return nullptr;
}

int vanto_session_begin_transaction(vanto_session_t *session) {
  if (session == nullptr || (session->flags & SESSION_FLAG_TRANSACTION_OPEN) != 0) return -1;
  session->flags |= SESSION_FLAG_TRANSACTION_OPEN;
  return 0;
}

int vanto_session_end_transaction(vanto_session_t *session) {
  if (session == nullptr || (session->flags & SESSION_FLAG_TRANSACTION_OPEN) == 0) return -1;
  session->flags &= static_cast<uint8_t>(~(SESSION_FLAG_TRANSACTION_OPEN | SESSION_FLAG_TRANSACTION_HAS_CHANGE));
  return 0;
}

int vanto_session_get_transaction_state(const vanto_session_t *session) {
  if (session == nullptr || (session->flags & SESSION_FLAG_TRANSACTION_OPEN) == 0) return 0;
  return (session->flags & SESSION_FLAG_TRANSACTION_HAS_CHANGE) != 0 ? 2 : 1;
}

void vanto_session_pause_changes(vanto_session_t *session) {
  if (session == nullptr || (session->flags & SESSION_FLAG_CHANGES_PAUSED) != 0) return;
  session->flags |= SESSION_FLAG_CHANGES_PAUSED;
  notify_session_(*session, SESSION_EVENT_CHANGES_PAUSED, nullptr);
}

void vanto_session_resume_changes(vanto_session_t *session) {
  if (session == nullptr || (session->flags & SESSION_FLAG_CHANGES_PAUSED) == 0) return;
  session->flags &= static_cast<uint8_t>(~SESSION_FLAG_CHANGES_PAUSED);
  notify_session_(*session, SESSION_EVENT_CHANGES_RESUMED, nullptr);
}

int vanto_session_changes_paused(const vanto_session_t *session) {
  return session != nullptr && (session->flags & SESSION_FLAG_CHANGES_PAUSED) != 0 ? 1 : 0;
}

void vanto_session_pause_viewport_event_callbacks(vanto_session_t *session) {
  if (session != nullptr) session->flags |= SESSION_FLAG_VIEWPORT_CALLBACKS_PAUSED;
}

void vanto_session_resume_viewport_event_callbacks(vanto_session_t *session) {
  if (session != nullptr) session->flags &= static_cast<uint8_t>(~SESSION_FLAG_VIEWPORT_CALLBACKS_PAUSED);
}

int vanto_session_viewport_event_callbacks_paused(const vanto_session_t *session) {
  return session != nullptr && (session->flags & SESSION_FLAG_VIEWPORT_CALLBACKS_PAUSED) != 0 ? 1 : 0;
}

int vanto_session_notify_changed_viewports(const vanto_session_t *session) {
  if (session == nullptr) return 0;
  int called = 0;
  const auto viewports = session->viewports;
  for (const auto &viewport : viewports) {
    if (viewport->data_segment.capacity < 0) {
      called += notify_viewport_(*viewport, VIEWPORT_EVENT_CHANGES, nullptr);
    }
  }
  return called;
}

#include <algorithm>
#include <memory>

#include "impl_/piece_reader.h"
#include "impl_/progress.h"

namespace {

// The profile reads the data in blocks of this size, walking the pieces from
// one block to the next.  The buffer is the only memory that grows with the
// range, and it stops growing here.
constexpr int64_t kProfileBlockSize = int64_t{1} << 20;

// When a block cannot be read whole, it is read again in pieces of this size,
// so that the counts left behind are those of every whole piece before the
// one that failed.  The block size is a multiple of it, so the pieces line up
// from the start of the range.
constexpr int64_t kProfilePieceSize = 8192;
static_assert(kProfileBlockSize % kProfilePieceSize == 0);

// Four interleaved sets of counters, summed at the end, so that runs of equal
// bytes do not wait on one counter's previous increment.
struct ProfileTally {
  int64_t lanes[4][256] = {};

  void add(const unsigned char *bytes, int64_t n) {
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
      ++lanes[0][bytes[i]];
      ++lanes[1][bytes[i + 1]];
      ++lanes[2][bytes[i + 2]];
      ++lanes[3][bytes[i + 3]];
    }
    for (; i < n; ++i) ++lanes[0][bytes[i]];
  }

  void store(int64_t profile[256]) const {
    for (int b = 0; b < 256; ++b) {
      profile[b] = lanes[0][b] + lanes[1][b] + lanes[2][b] + lanes[3][b];
    }
  }
};

// Counts `remaining` bytes from `offset` in pieces of kProfilePieceSize until
// the data ends (0) or a piece cannot be read (1).
int count_in_pieces(const vanto_session_t *session, int64_t offset, int64_t remaining,
                    ProfileTally &tally) {
  vanto_segment_struct piece{};
  piece.capacity = std::min(remaining, kProfilePieceSize);
  small_buffer_allocate(piece.data, piece.capacity);
  const unsigned char *bytes = small_buffer_data(piece.data, piece.capacity);
  int result = 0;
  while (remaining > 0) {
    piece.offset = offset;
    if (populate_data_segment_(session, &piece) != 0) {
      result = 1;
      break;
    }
    const int64_t n = std::min(piece.length, remaining);
    if (n <= 0) break;
    tally.add(bytes, n);
    offset += n;
    remaining -= n;
  }
  small_buffer_free(piece.data, piece.capacity);
  return result;
}

}  // namespace

int vanto_session_set_progress_cbk(vanto_session_t *session, vanto_progress_cbk_t cbk,
                                   void *user_data) {
  if (session == nullptr) return -1;
  session->progress_cbk = cbk;
  session->progress_user_data = user_data;
  return 0;
}

int vanto_session_profile(const vanto_session_t *session, int64_t profile[256], int64_t offset,
                          int64_t length) {
  if (session == nullptr || profile == nullptr) return -1;
  for (int b = 0; b < 256; ++b) profile[b] = 0;

  const int64_t size = vanto_session_get_computed_file_size(session);
  if (offset < 0 || offset > size) return 1;
  if (length == 0) length = size - offset;
  if (length < 0) return 1;

  // A range reaching past the end of the data stops at the end: what exists
  // is counted, and that is what progress counts too.
  const int64_t total = std::min(length, size - offset);
  Progress progress(*session, total);
  if (total == 0) return progress.finish() ? 0 : 1;

  const vanto_model_struct &model = session->current_model();
  int64_t piece_start = 0;
  ContinuityBreak brk;
  const auto pos = model.model_segments.find_covering(offset, &piece_start, &brk);
  if (brk.broken) abort_on_continuity_break_(model, "vanto_session_profile", brk);
  if (pos == model.model_segments.end_pos()) return 1;
  PieceCursor cursor{pos, offset - piece_start};

  const int64_t block = std::min(total, kProfileBlockSize);
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[static_cast<size_t>(block)]);
  auto tally = std::make_unique<ProfileTally>();
  int result = 0;
  int64_t remaining = total;
  while (remaining > 0) {
    const PieceFill fill = read_pieces_(model, cursor, buffer.get(), std::min(remaining, block));
    if (!fill.ok) {
      result = count_in_pieces(session, offset, remaining, *tally);
      break;
    }
    if (fill.filled <= 0) break;
    tally->add(buffer.get(), fill.filled);
    offset += fill.filled;
    remaining -= fill.filled;
    if (!progress.advance(total - remaining)) {
      result = 1;
      break;
    }
  }
  if (result == 0 && !progress.finish()) result = 1;
  tally->store(profile);
  return result;
}
