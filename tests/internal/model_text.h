// A session's model and data as text, for white-box tests that compare
// models after edits, undos and replaces.
#ifndef VANTO_TEST_MODEL_TEXT_H
#define VANTO_TEST_MODEL_TEXT_H

#include <sstream>
#include <string>

#include "impl_/internal_fun.h"
#include "impl_/records.h"
#include "vanto_edit.h"

namespace vanto::test {

// The text form of the session's current model.
inline std::string text_of(const vanto_session_t *session) {
  std::ostringstream out;
  print_model_segments_(&session->current_model(), out);
  return out.str();
}

// The session's whole edited data.
inline std::string data_of(const vanto_session_t *session) {
  return vanto_session_get_segment_string(session, 0, vanto_session_get_computed_file_size(session));
}

}  // namespace vanto::test

#endif  // VANTO_TEST_MODEL_TEXT_H
