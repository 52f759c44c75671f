// Reading the edited data, the model update and the text form of models.
#include "impl_/internal_fun.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "impl_/log.h"
#include "impl_/piece_reader.h"
#include "vanto_edit/change.h"
#include "vanto_edit/find.h"

namespace vanto::internal {

void abort_on_continuity_break_(const vanto_model_struct &model, const char *function,
                                const ContinuityBreak &brk) {
  print_model_segments_(&model, std::clog);
  VANTO_LOG_AS(function, "break in model continuity, expected: " << brk.expected
                                                                   << ", got: " << brk.got);
  std::abort();
}

std::shared_ptr<vanto_change_struct> make_change_(int64_t serial, int kind, bool transaction_bit,
                                                  int64_t offset, int64_t length,
                                                  const unsigned char *bytes) {
  auto change = std::make_shared<vanto_change_struct>();
  change->serial = serial;
  change->kind = static_cast<uint8_t>((kind & kChangeKindMask) | (transaction_bit ? kTransactionBit : 0));
  change->offset = offset;
  change->length = length;
  if (kind == CHANGE_INSERT || kind == CHANGE_OVERWRITE) {
    small_buffer_allocate(change->data, length);
    change->owns_bytes = true;
    if (length > 0 && bytes != nullptr) {
      std::memcpy(small_buffer_data(change->data, length), bytes, static_cast<size_t>(length));
    }
  }
  return change;
}

void reset_model_segments_(vanto_model_struct &model, int64_t length) {
  model.model_segments.clear();
  if (length > 0) {
    // The base change: serial 0, an insert without bytes over the whole file.
    // It is built directly: its bytes are the file's, so no buffer of the
    // file's size may be allocated for it.
    auto base = std::make_shared<vanto_change_struct>();
    base->kind = CHANGE_INSERT;
    base->length = length;
    model.model_segments.push_back(length, base->offset, base);
  }
}

void clear_model_changes_(vanto_model_struct &model) { model.changes.clear(); }

void clear_model_changes_undone_(vanto_model_struct &model) { model.changes_undone.clear(); }

int64_t backing_file_length_(const vanto_model_struct &model) {
  if (model.backing_file == nullptr) return 0;
  if (fseeko(model.backing_file, 0, SEEK_END) != 0) return -1;
  const off_t end = ftello(model.backing_file);
  return end < 0 ? -1 : static_cast<int64_t>(end);
}

int apply_change_to_model_(vanto_session_struct &session,
                           const std::shared_ptr<vanto_change_struct> &change) {
  vanto_model_struct &model = session.current_model();
  if (change->kind_value() == CHANGE_OVERWRITE) {
    // An overwrite replaces its range: remove the old bytes first.
    auto removal = make_change_(0, CHANGE_DELETE, false, change->offset, change->length, nullptr);
    const int rc = update_model_helper_(&model, removal);
    if (rc != 0) return rc;
  }
  return update_model_helper_(&model, change);
}

void notify_session_(const vanto_session_struct &session, int32_t event, const void *event_ptr) {
  if (session.event_cbk != nullptr && (session.event_interest & event) != 0) {
    session.event_cbk(&session, event, event_ptr);
  }
}

int notify_viewport_(const vanto_viewport_struct &viewport, int32_t event, const void *event_ptr) {
  if (viewport.event_cbk == nullptr || (viewport.event_interest & event) == 0) return 0;
  // A destroyed viewport hears nothing, even while a loop still holds it.
  const vanto_session_struct *session = viewport.session_ptr;
  if (session == nullptr || (session->flags & SESSION_FLAG_VIEWPORT_CALLBACKS_PAUSED) != 0) return 0;
  viewport.event_cbk(&viewport, event, event_ptr);
  return 1;
}

bool destroy_viewport_(vanto_session_struct &session, const vanto_viewport_struct *viewport) {
  auto &list = session.viewports;
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    if (it->get() == viewport) {
      std::shared_ptr<vanto_viewport_struct> held = *it;
      list.erase(std::next(it).base());
      // Loops that call the host may still hold the record: it is detached
      // from the session and left with an empty inline window, so that it
      // is skipped by them and holds no freed buffer.
      small_buffer_free(held->data_segment.data, held->data_segment.capacity);
      held->session_ptr = nullptr;
      held->data_segment.capacity = 0;
      held->data_segment.length = 0;
      return true;
    }
  }
  return false;
}

bool destroy_search_context_(vanto_session_struct &session,
                             const vanto_search_context_struct *context) {
  auto &list = session.search_contexts;
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    if (it->get() == context) {
      std::shared_ptr<vanto_search_context_struct> held = *it;
      list.erase(std::next(it).base());
      small_buffer_free(held->pattern, held->pattern_length);
      vanto_find_destroy_skip_table(held->skip_table_ptr);
      held->skip_table_ptr = nullptr;
      // A search running on it (its progress hook destroyed it) sees the
      // context gone and stops.
      held->session_ptr = nullptr;
      held->pattern_length = 0;
      return true;
    }
  }
  return false;
}

}  // namespace vanto::internal

using namespace vanto::internal;

int populate_data_segment_(const vanto_session_t *session, vanto_segment_t *segment) {
  if (session == nullptr || segment == nullptr) return -1;
  const vanto_model_struct &model = session->current_model();
  segment->length = 0;
  if (model.model_segments.empty()) return 0;

  int64_t target = 0;
  if (__builtin_add_overflow(segment->offset, segment->offset_adjustment, &target)) return -1;
  const int64_t room = std::max<int64_t>(segment->capacity, 0);

  const SegmentSequence &pieces = model.model_segments;
  int64_t piece_start = 0;
  ContinuityBreak brk;
  auto pos = pieces.find_covering(target, &piece_start, &brk);
  if (brk.broken) abort_on_continuity_break_(model, "populate_data_segment_", brk);
  if (pos == pieces.end_pos()) return -1;

  // Runs of the backing file are read with one call each (impl_/piece_reader.h).
  unsigned char *out = small_buffer_data(segment->data, segment->capacity);
  PieceCursor cursor{pos, target - piece_start};
  const PieceFill fill = read_pieces_(model, cursor, out, room);
  segment->length = fill.filled;
  if (!fill.ok) return -1;
  out[segment->length] = 0;
  return 0;
}

int update_model_helper_(vanto_model_t *model, const std::shared_ptr<vanto_change_t> &change) {
  if (model == nullptr || !change) return -1;
  SegmentSequence &pieces = model->model_segments;
  const int kind = change->kind_value();
  if (kind != CHANGE_DELETE && kind != CHANGE_INSERT && kind != CHANGE_OVERWRITE) {
    VANTO_LOG("Unhandled change kind");
    std::abort();
  }

  if (pieces.empty()) {
    if (kind == CHANGE_DELETE) return 0;
    pieces.push_back(change->length, 0, change);
    return 0;
  }

  int64_t covering_start = 0;
  ContinuityBreak brk;
  const auto covering = pieces.find_covering(change->offset, &covering_start, &brk);
  if (brk.broken) abort_on_continuity_break_(*model, "update_model_helper_", brk);
  if (covering == pieces.end_pos()) return -1;

  // The point of change: in front of the covering piece, after it, or
  // between the two halves of it.
  const int64_t delta = change->offset - covering_start;
  SegmentSequence::Pos point;
  if (delta == 0) {
    point = covering;
  } else if (delta == pieces.piece(covering).length) {
    point = pieces.next(covering);
  } else {
    point = pieces.split(covering, delta);
  }

  if (kind == CHANGE_DELETE) {
    // Remove whole pieces from the point on; the last one touched may only
    // lose its front.  The pieces after it move down by themselves, since
    // their starts are derived.
    int64_t remaining = change->length;
    while (remaining != 0 && point != pieces.end_pos()) {
      const int64_t length = pieces.piece(point).length;
      if (length > remaining) {
        pieces.trim_front(point, remaining);
        break;
      }
      remaining -= length;
      point = pieces.erase(point);
    }
  } else {
    pieces.insert(point, SegmentSequence::Piece{change->length, 0, change});
  }
  return 0;
}

std::ostream &print_change_record_(const vanto_change_t *change, std::ostream &out) {
  if (change == nullptr) return out;
  out << "{\"serial\": " << change->serial << ", \"kind\": \""
      << vanto_change_get_kind_as_char(change) << "\", \"offset\": " << change->offset
      << ", \"length\": " << change->length;
  if (change->owns_bytes) {
    out << ", \"bytes\": \"";
    out.write(reinterpret_cast<const char *>(change->bytes()),
              static_cast<std::streamsize>(change->length));
    out << '"';
  }
  out << '}';
  return out;
}

void print_model_segments_(const vanto_model_t *model, std::ostream &out) {
  if (model == nullptr) return;
  for (const ModelSegment piece : model->model_segments) {
    out << "{\"kind\": \"" << (piece.change->serial == 0 ? 'R' : 'I')
        << "\", \"computed_offset\": " << piece.computed_offset
        << ", \"computed_length\": " << piece.computed_length
        << ", \"change_offset\": " << piece.change_offset << ", \"change\": ";
    print_change_record_(piece.change.get(), out);
    out << '}' << std::endl;
  }
}
