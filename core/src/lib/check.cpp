// The model check: continuity and containment of every model's pieces.
#include "vanto_edit/check.h"

#include <iostream>

#include "impl_/internal_fun.h"

int vanto_check_model(const vanto_session_t *session) {
  if (session == nullptr) return -1;
  for (const auto &model : session->models) {
    int64_t expected = 0;
    for (const auto &piece : model->model_segments) {
      if (piece.computed_offset != expected ||
          piece.change_offset + piece.computed_length > piece.change->length) {
        print_model_segments_(&session->current_model(), std::clog);
        return -1;
      }
      expected += piece.computed_length;
    }
  }
  return 0;
}
