// Undo when the backing file cannot even be measured: the undo fails and
// changes nothing, neither the history nor the model nor the events.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "impl_/internal_fun.h"
#include "impl_/records.h"
#include "test_support.h"
#include "vanto_edit.h"

namespace {

using vanto::test::ScratchDir;
using vanto::test::write_file;

std::string text_of(const vanto_model_t &model) {
  std::ostringstream out;
  print_model_segments_(&model, out);
  return out.str();
}

void count_event(const vanto_session_t *session, int32_t, const void *) {
  ++*static_cast<int *>(vanto_session_get_user_data_ptr(session));
}

TEST(HistoryFailures, UndoOnAnUnseekableFileChangesNothing) {
  ScratchDir dir;
  const std::string path = dir.file("data.bin");
  write_file(path, "0123456789");
  int events = 0;
  vanto_session_t *session = vanto_edit_create_session(path.c_str(), count_event, &events,
                                                       SESSION_EVENT_ALL);
  ASSERT_NE(session, nullptr);
  ASSERT_EQ(vanto_edit_insert(session, 2, "ab", 2), 1);
  ASSERT_EQ(vanto_edit_delete(session, 0, 1), 2);
  const std::string before = text_of(session->current_model());
  events = 0;

  // A pipe cannot be positioned to its end.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  FILE *pipe_stream = ::fdopen(fds[0], "rb");
  ASSERT_NE(pipe_stream, nullptr);
  FILE *file = session->current_model().backing_file;
  session->current_model().backing_file = pipe_stream;

  EXPECT_EQ(vanto_edit_undo_last_change(session), -1);
  EXPECT_EQ(events, 0);
  EXPECT_EQ(vanto_session_get_num_changes(session), 2);
  EXPECT_EQ(vanto_session_get_num_undone_changes(session), 0);
  EXPECT_EQ(vanto_change_get_serial(vanto_session_get_last_change(session)), 2);
  EXPECT_EQ(text_of(session->current_model()), before);

  session->current_model().backing_file = file;
  std::fclose(pipe_stream);
  ::close(fds[1]);

  EXPECT_EQ(vanto_edit_undo_last_change(session), -2);
  EXPECT_EQ(events, 1);
  EXPECT_EQ(vanto_session_get_segment_string(session, 0, 20), "01ab23456789");
  vanto_edit_destroy_session(session);
}

}  // namespace
