// Session byte transforms: ranges, events, out-of-range calls, refusals, and
// taking a transform back by destroying its checkpoint.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "persist_test_util.h"
#include "test_support.h"
#include "vanto_edit.h"

namespace fs = std::filesystem;
using vanto::test::EventLog;
using vanto::test::files_with_prefix;
using vanto::test::LoggedEvent;
using vanto::test::open_session;
using vanto::test::read_file;
using vanto::test::ScratchDir;
using vanto::test::session_data;
using vanto::test::session_event;
using vanto::test::SessionPtr;
using vanto::test::viewport_event;
using vanto::test::write_file;

namespace {

const std::string kOriginal = "abcdefghijklmnopqrstuvwxyz0123456789";

// Upper-cases letters and counts its calls.
unsigned char to_upper(unsigned char byte, void *calls) {
  ++*static_cast<int64_t *>(calls);
  return (byte >= 'a' && byte <= 'z') ? static_cast<unsigned char>(byte - 'a' + 'A') : byte;
}

std::string upper_range(std::string data, std::size_t offset, std::size_t length) {
  for (std::size_t i = offset; i < offset + length; ++i) {
    if (data[i] >= 'a' && data[i] <= 'z') data[i] = static_cast<char>(data[i] - 'a' + 'A');
  }
  return data;
}

// Anything the transform leaves in the checkpoint directory besides checkpoints.
std::vector<std::string> stray_files(const fs::path &dir) {
  std::vector<std::string> stray;
  for (const std::string &path : files_with_prefix(dir, "")) {
    if (fs::path(path).filename().string().find('_') != std::string::npos) stray.push_back(path);
  }
  return stray;
}

}  // namespace

TEST(Transform, RewritesARangeThroughACheckpoint) {
  ScratchDir dir;
  write_file(dir.file("own.txt"), kOriginal);
  // The transform works on the edited data: 2 bytes inserted at the front.
  const std::string edited = "##" + kOriginal;
  const int64_t size = static_cast<int64_t>(edited.size());

  struct Case {
    int64_t offset;
    int64_t length;        // as passed; 0 means to the end
    std::size_t expected;  // bytes actually transformed
  };
  const Case cases[] = {
      {0, 0, edited.size()},       // whole data
      {0, size, edited.size()},    // whole data, given explicitly
      {10, 5, 5},                  // inside
      {size - 3, 0, 3},            // to the end
      {size - 1, 1, 1},            // last byte
      {5, size - 5, edited.size() - 5},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.offset << "+" << c.length);
    SessionPtr session = open_session(dir.file("own.txt"));
    ASSERT_GT(vanto_edit_insert(session.get(), 0, "##", 2), 0);
    int64_t calls = 0;
    ASSERT_EQ(vanto_edit_apply_transform(session.get(), to_upper, &calls, c.offset, c.length,
                                         dir.file("chk").c_str()),
              0);
    const std::string expected = upper_range(edited, static_cast<std::size_t>(c.offset), c.expected);
    EXPECT_EQ(session_data(session.get()), expected);
    EXPECT_EQ(read_file(vanto_session_get_file_path(session.get())), expected);
    EXPECT_EQ(calls, static_cast<int64_t>(c.expected));
    EXPECT_EQ(vanto_session_get_num_checkpoints(session.get()), 1);
    EXPECT_EQ(vanto_session_get_num_changes(session.get()), 1);
    EXPECT_TRUE(stray_files(dir.file("chk")).empty());
    EXPECT_EQ(fs::status(vanto_session_get_file_path(session.get())).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);

    // Destroying the checkpoint takes the transform back.
    ASSERT_EQ(vanto_edit_destroy_last_checkpoint(session.get()), 0);
    EXPECT_EQ(session_data(session.get()), edited);
    EXPECT_EQ(read_file(dir.file("own.txt")), kOriginal);
  }
}

TEST(Transform, SendsItsEventsInOrder) {
  ScratchDir dir;
  write_file(dir.file("own.txt"), kOriginal);
  EventLog log;
  SessionPtr session = open_session(dir.file("own.txt"), &log);
  vanto_viewport_t *first = vanto_edit_create_viewport(session.get(), 0, 4, 0, EventLog::on_viewport,
                                                       &log, VIEWPORT_EVENT_ALL);
  vanto_viewport_t *second = vanto_edit_create_viewport(session.get(), 30, 10, 0,
                                                        EventLog::on_viewport, &log, VIEWPORT_EVENT_ALL);
  ASSERT_EQ(vanto_viewport_get_string(first), "abcd");
  ASSERT_EQ(vanto_viewport_get_string(second), "456789");
  log.take();

  int64_t calls = 0;
  ASSERT_EQ(vanto_edit_apply_transform(session.get(), to_upper, &calls, 0, 0, dir.file("chk").c_str()), 0);
  const std::vector<LoggedEvent> expected = {
      session_event(session.get(), SESSION_EVENT_SAVE),
      session_event(session.get(), SESSION_EVENT_CREATE_CHECKPOINT),
      viewport_event(first, VIEWPORT_EVENT_TRANSFORM),
      viewport_event(second, VIEWPORT_EVENT_TRANSFORM),
      session_event(session.get(), SESSION_EVENT_TRANSFORM)};
  EXPECT_EQ(log.take(), expected);
  EXPECT_EQ(vanto_viewport_has_changes(first), 1);
  EXPECT_EQ(vanto_viewport_get_string(first), "ABCD");
  EXPECT_EQ(vanto_viewport_get_string(second), "456789");

  // Transforms stack: each has its checkpoint, each destroy takes one back.
  ASSERT_EQ(vanto_edit_apply_transform(
                session.get(), [](unsigned char b, void *) { return static_cast<unsigned char>(b == 'A' ? '@' : b); },
                nullptr, 0, 1, dir.file("chk").c_str()),
            0);
  EXPECT_EQ(vanto_viewport_get_string(first), "@BCD");
  ASSERT_EQ(vanto_edit_destroy_last_checkpoint(session.get()), 0);
  EXPECT_EQ(vanto_viewport_get_string(first), "ABCD");
  ASSERT_EQ(vanto_edit_destroy_last_checkpoint(session.get()), 0);
  EXPECT_EQ(vanto_viewport_get_string(first), "abcd");
}

TEST(Transform, OutOfRangeFailsAndLeavesTheCheckpoint) {
  ScratchDir dir;
  write_file(dir.file("own.txt"), kOriginal);
  const int64_t size = static_cast<int64_t>(kOriginal.size());
  const struct {
    int64_t offset;
    int64_t length;
  } cases[] = {{-1, 1}, {0, -1}, {size, 0}, {size, 1}, {size + 5, 1}, {size - 2, 3}, {0, size + 1}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.offset << "+" << c.length);
    EventLog log;
    SessionPtr session = open_session(dir.file("own.txt"), &log);
    log.take();
    int64_t calls = 0;
    EXPECT_EQ(vanto_edit_apply_transform(session.get(), to_upper, &calls, c.offset, c.length,
                                         dir.file("chk").c_str()),
              -1);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(vanto_session_get_num_checkpoints(session.get()), 1);
    EXPECT_EQ(session_data(session.get()), kOriginal);
    EXPECT_EQ(log.take(), (std::vector<LoggedEvent>{session_event(session.get(), SESSION_EVENT_SAVE),
                                                    session_event(session.get(), SESSION_EVENT_CREATE_CHECKPOINT)}));
    EXPECT_TRUE(stray_files(dir.file("chk")).empty());
  }

  // A session without data has no range at all.
  SessionPtr empty = open_session("");
  int64_t calls = 0;
  EXPECT_EQ(vanto_edit_apply_transform(empty.get(), to_upper, &calls, 0, 0, dir.file("chk").c_str()), -1);
  EXPECT_EQ(vanto_session_get_num_checkpoints(empty.get()), 1);
}

TEST(Transform, RefusedCallsCreateNoCheckpoint) {
  ScratchDir dir;
  write_file(dir.file("own.txt"), kOriginal);
  EventLog log;
  SessionPtr session = open_session(dir.file("own.txt"), &log);
  int64_t calls = 0;
  vanto_session_pause_changes(session.get());
  log.take();
  EXPECT_EQ(vanto_edit_apply_transform(session.get(), to_upper, &calls, 0, 0, dir.file("chk").c_str()), -1);
  vanto_session_resume_changes(session.get());
  log.take();
  EXPECT_EQ(vanto_edit_apply_transform(session.get(), nullptr, nullptr, 0, 0, dir.file("chk").c_str()), -1);
  EXPECT_EQ(vanto_edit_apply_transform(session.get(), to_upper, &calls, 0, 0, nullptr), -1);
  EXPECT_EQ(vanto_edit_apply_transform(nullptr, to_upper, &calls, 0, 0, dir.file("chk").c_str()), -1);
  write_file(dir.file("plain.txt"), "x");
  int rc = 0;
  EXPECT_NO_THROW(rc = vanto_edit_apply_transform(session.get(), to_upper, &calls, 0, 0,
                                                  dir.file("plain.txt").c_str()));
  EXPECT_EQ(rc, -1);
  EXPECT_TRUE(log.take().empty());
  EXPECT_EQ(vanto_session_get_num_checkpoints(session.get()), 0);
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(fs::exists(dir.file("chk")));
}

// Whatever the host's callbacks try while the transform's checkpoint is being
// made (dropping it, clearing, saving over the session's own file), the
// transform rewrites only the checkpoint it made: the own file and a file
// named like it with "_" added stay as they are.
TEST(Transform, RewritesOnlyItsOwnCheckpointWhateverTheCallbacksTry) {
  struct Host {
    vanto_session_t *session = nullptr;
    std::string own;
    std::vector<int> results;
  };
  auto on_session = [](const vanto_session_t *cs, int32_t event, const void *) {
    auto *host = static_cast<Host *>(vanto_session_get_user_data_ptr(cs));
    if (event != SESSION_EVENT_SAVE && event != SESSION_EVENT_CREATE_CHECKPOINT) return;
    host->results.push_back(vanto_edit_destroy_last_checkpoint(host->session));
    host->results.push_back(vanto_edit_clear_changes(host->session));
    host->results.push_back(vanto_edit_save(host->session, host->own.c_str(), SAVE_FLAG_OVERWRITE, nullptr));
  };
  ScratchDir dir;
  Host host;
  host.own = dir.file("own.txt");
  write_file(host.own, kOriginal);
  write_file(host.own + "_", "not the library's");
  host.session = vanto_edit_create_session(host.own.c_str(), on_session, &host, SESSION_EVENT_ALL);
  ASSERT_NE(host.session, nullptr);
  SessionPtr owner(host.session);
  ASSERT_GT(vanto_edit_insert(host.session, 0, "ab", 2), 0);
  int64_t calls = 0;
  ASSERT_EQ(vanto_edit_apply_transform(host.session, to_upper, &calls, 0, 0, dir.file("chk").c_str()), 0);
  EXPECT_EQ(host.results, std::vector<int>(6, -1));
  EXPECT_EQ(read_file(host.own), kOriginal);
  EXPECT_EQ(read_file(host.own + "_"), "not the library's");
  EXPECT_EQ(session_data(host.session), upper_range("ab" + kOriginal, 0, kOriginal.size() + 2));
  EXPECT_EQ(vanto_session_get_num_checkpoints(host.session), 1);
  EXPECT_TRUE(stray_files(dir.file("chk")).empty());
}
