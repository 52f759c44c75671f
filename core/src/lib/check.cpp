// The model check: continuity and containment of every model's pieces.
#include "vanto_edit/check.h"

#include <iostream>

#include "impl_/internal_fun.h"
#include "impl_/log.h"

using vanto::internal::log_model_;
using vanto::internal::source_base_name;

namespace {

// A piece lies inside its source: its range [change_offset, change_offset +
// computed_length) is within the change's bytes (or, for a read piece, within
// the file the base change covers).  Written without the sum, so that a
// broken piece with huge fields cannot overflow the test.
bool piece_contained(const vanto_model_segment_struct &piece) {
  const int64_t source_length = piece.change->length;
  return piece.change_offset >= 0 && piece.computed_length >= 0 &&
         piece.change_offset <= source_length &&
         piece.computed_length <= source_length - piece.change_offset;
}

}  // namespace

int vanto_check_model(const vanto_session_t *session) {
  if (session == nullptr) return -1;
  for (const auto &model : session->models) {
    // The piece tree first (recorded lengths and counts agree with the pieces),
    // then each piece: contiguous from 0 and inside its source.  Each
    // checkpoint level is a model of its own, starting at offset 0.
    if (!model->model_segments.check(nullptr)) {
      log_model_(&session->current_model(), source_base_name(__FILE__), __LINE__, "vanto_check_model");
      return -1;
    }
    int64_t expected = 0;
    for (const auto &piece : model->model_segments) {
      if (piece.computed_offset != expected || !piece_contained(piece) ||
          __builtin_add_overflow(expected, piece.computed_length, &expected)) {
        // Whichever model fails, the one printed is the current one.
        log_model_(&session->current_model(), source_base_name(__FILE__), __LINE__, "vanto_check_model");
        return -1;
      }
    }
  }
  return 0;
}
