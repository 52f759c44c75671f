// The progress hook of long calls: save, checkpoint creation, session
// transforms, search and profile.  For each call: the reports it makes (in
// order, within the total, the last one the total, no long silences), and a
// cancel at its first, a middle and its last report, after which the call
// returns its cancel code and leaves things as a failure would.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "persist_test_util.h"
#include "test_support.h"
#include "vanto_edit.h"

namespace fs = std::filesystem;
using vanto::test::files_with_prefix;
using vanto::test::open_session;
using vanto::test::read_file;
using vanto::test::ScratchDir;
using vanto::test::session_data;
using vanto::test::SessionPtr;
using vanto::test::temp_files;
using vanto::test::write_file;

namespace {

constexpr int64_t kMiB = int64_t{1} << 20;
// Longest stretch of data a call may process without a report ("every few
// MiB").
constexpr int64_t kLongestSilence = 8 * kMiB;

struct Report {
  int64_t done;
  int64_t total;
};

// Records every report; returns non-zero (cancel) at report number
// `cancel_at` (0-based), never when it is negative.
struct Recorder {
  std::vector<Report> reports;
  int cancel_at = -1;

  static int hook(const vanto_session_t *, int64_t done, int64_t total, void *user_data) {
    auto *self = static_cast<Recorder *>(user_data);
    self->reports.push_back({done, total});
    return static_cast<int>(self->reports.size()) - 1 == self->cancel_at ? 1 : 0;
  }
};

void expect_well_formed(const std::vector<Report> &reports, int64_t total) {
  ASSERT_FALSE(reports.empty());
  int64_t previous = 0;
  for (const Report &r : reports) {
    EXPECT_EQ(r.total, total);
    EXPECT_GE(r.done, previous);
    EXPECT_LE(r.done, r.total);
    EXPECT_LE(r.done - previous, kLongestSilence) << "from " << previous << " to " << r.done;
    previous = r.done;
  }
  EXPECT_EQ(reports.back().done, total);
}

int64_t sum(const std::array<int64_t, 256> &counts) {
  int64_t n = 0;
  for (int64_t c : counts) n += c;
  return n;
}

unsigned char invert(unsigned char byte, void *) { return static_cast<unsigned char>(~byte); }

// A session over 13 MiB of data (a file with an insert and an overwrite in
// it) with a recorder as its progress hook.  The pattern "NEEDLE" occurs
// once, near the end.
class ProgressTest : public ::testing::Test {
 protected:
  static constexpr int64_t kFileSize = 13 * kMiB - 4;
  static constexpr int64_t kNeedleAt = 13 * kMiB - 1000;

  void SetUp() override {
    std::string bytes = vanto::test::random_bytes(static_cast<size_t>(kFileSize), 11);
    for (char &c : bytes) c = static_cast<char>('a' + static_cast<unsigned char>(c) % 26);
    own_ = dir_.file("own.bin");
    write_file(own_, bytes);
    session_ = open_session(own_);
    ASSERT_NE(session_, nullptr);
    ASSERT_GT(vanto_edit_insert(session_.get(), 5 * kMiB, "INSERTED", 8), 0);
    ASSERT_GT(vanto_edit_overwrite(session_.get(), kNeedleAt, "NEEDLE", 6), 0);
    data_ = session_data(session_.get());
    ASSERT_EQ(static_cast<int64_t>(data_.size()), kFileSize + 8);
    ASSERT_EQ(vanto_session_set_progress_cbk(session_.get(), Recorder::hook, &recorder_), 0);
  }

  int64_t size() const { return static_cast<int64_t>(data_.size()); }
  std::string checkpoint_dir() const { return dir_.file("checkpoints"); }
  std::vector<std::string> checkpoint_files() const {
    return files_with_prefix(checkpoint_dir(), ".VantoEdit-chk.");
  }

  ScratchDir dir_;
  std::string own_;
  SessionPtr session_;
  std::string data_;
  Recorder recorder_;
};

TEST_F(ProgressTest, SaveReportsBytesWrittenAndCancelsWithoutTraces) {
  const std::string target = dir_.file("target.bin");
  write_file(target, "old contents");
  ASSERT_EQ(vanto_edit_save(session_.get(), target.c_str(), SAVE_FLAG_OVERWRITE, nullptr), 0);
  expect_well_formed(recorder_.reports, size());
  EXPECT_EQ(read_file(target), data_);

  const int count = static_cast<int>(recorder_.reports.size());
  ASSERT_GE(count, 3);
  for (const int cancel_at : {0, count / 2, count - 1}) {
    SCOPED_TRACE("cancel at report " + std::to_string(cancel_at));
    write_file(target, "old contents");
    recorder_ = Recorder{{}, cancel_at};
    EXPECT_EQ(vanto_edit_save(session_.get(), target.c_str(), SAVE_FLAG_OVERWRITE, nullptr), -11);
    EXPECT_EQ(static_cast<int>(recorder_.reports.size()), cancel_at + 1);
    EXPECT_EQ(read_file(target), "old contents");
    EXPECT_TRUE(temp_files(dir_.path()).empty());
    EXPECT_EQ(vanto_session_get_num_changes(session_.get()), 2);
    EXPECT_EQ(session_data(session_.get()), data_);
  }
  // The session's own file is not replaced either: the session keeps its
  // file and history.
  recorder_ = Recorder{{}, 1};
  EXPECT_EQ(vanto_edit_save(session_.get(), own_.c_str(), SAVE_FLAG_OVERWRITE, nullptr), -11);
  EXPECT_EQ(vanto_session_get_num_changes(session_.get()), 2);
  EXPECT_EQ(session_data(session_.get()), data_);
  EXPECT_TRUE(temp_files(dir_.path()).empty());
}

TEST_F(ProgressTest, CheckpointReportsItsSaveAndCancelsAsAFailedOne) {
  ASSERT_EQ(vanto_edit_create_checkpoint(session_.get(), checkpoint_dir().c_str()), 0);
  expect_well_formed(recorder_.reports, size());
  ASSERT_EQ(vanto_edit_destroy_last_checkpoint(session_.get()), 0);

  const int count = static_cast<int>(recorder_.reports.size());
  ASSERT_GE(count, 3);
  for (const int cancel_at : {0, count / 2, count - 1}) {
    SCOPED_TRACE("cancel at report " + std::to_string(cancel_at));
    recorder_ = Recorder{{}, cancel_at};
    EXPECT_EQ(vanto_edit_create_checkpoint(session_.get(), checkpoint_dir().c_str()), -1);
    EXPECT_EQ(static_cast<int>(recorder_.reports.size()), cancel_at + 1);
    EXPECT_EQ(vanto_session_get_num_checkpoints(session_.get()), 0);
    EXPECT_TRUE(checkpoint_files().empty());
    EXPECT_TRUE(temp_files(checkpoint_dir()).empty());
    EXPECT_EQ(vanto_session_get_num_changes(session_.get()), 2);
    EXPECT_EQ(session_data(session_.get()), data_);
  }
}

TEST_F(ProgressTest, TransformReportsBothPassesAsOneCall) {
  ASSERT_EQ(vanto_edit_apply_transform(session_.get(), invert, nullptr, 0, 0, checkpoint_dir().c_str()),
            0);
  expect_well_formed(recorder_.reports, 2 * size());
  std::string inverted = data_;
  for (char &c : inverted) c = static_cast<char>(~c);
  EXPECT_EQ(session_data(session_.get()), inverted);
  ASSERT_EQ(vanto_edit_destroy_last_checkpoint(session_.get()), 0);

  // A cancel in the first half (the checkpoint's save) fails the checkpoint:
  // nothing changes.  A cancel in the second half (the rewrite) fails the
  // file work: the untransformed checkpoint stays, with no scratch file.
  const std::vector<Report> reports = recorder_.reports;
  const int count = static_cast<int>(reports.size());
  ASSERT_GE(count, 6);
  // The cancel points below fall in both halves.
  ASSERT_LE(reports.front().done, size());
  ASSERT_GT(reports.back().done, size());
  for (const int cancel_at : {0, count / 2, count - 1}) {
    const bool in_rewrite = reports[static_cast<size_t>(cancel_at)].done > size();
    SCOPED_TRACE("cancel at report " + std::to_string(cancel_at) + (in_rewrite ? " (rewrite)" : " (save)"));
    recorder_ = Recorder{{}, cancel_at};
    EXPECT_EQ(vanto_edit_apply_transform(session_.get(), invert, nullptr, 0, 0, checkpoint_dir().c_str()),
              -1);
    EXPECT_EQ(static_cast<int>(recorder_.reports.size()), cancel_at + 1);
    EXPECT_EQ(vanto_session_get_num_checkpoints(session_.get()), in_rewrite ? 1 : 0);
    EXPECT_EQ(checkpoint_files().size(), in_rewrite ? 1u : 0u);
    for (const std::string &file : checkpoint_files()) EXPECT_NE(file.back(), '_') << file;
    EXPECT_TRUE(temp_files(checkpoint_dir()).empty());
    EXPECT_EQ(session_data(session_.get()), data_);
    if (in_rewrite) {
      ASSERT_EQ(vanto_edit_destroy_last_checkpoint(session_.get()), 0);
    }
  }
}

TEST_F(ProgressTest, SearchReportsItsPartOfTheRangeAndCancelsWithNoMatch) {
  vanto_search_context_t *context = vanto_search_create_context(session_.get(), "NEEDLE", 0, 0, 0, 0);
  ASSERT_NE(context, nullptr);
  ASSERT_EQ(vanto_search_next_match(context, 1), 1);
  EXPECT_EQ(vanto_search_context_get_offset(context), kNeedleAt);
  expect_well_formed(recorder_.reports, size());
  // The next call covers the rest of the range only.
  recorder_ = Recorder{};
  EXPECT_EQ(vanto_search_next_match(context, 1), 0);
  expect_well_formed(recorder_.reports, size() - (kNeedleAt + 1));

  recorder_ = Recorder{};
  ASSERT_EQ(vanto_search_next_match(context, 1), 1);
  const int count = static_cast<int>(recorder_.reports.size());
  ASSERT_GE(count, 3);
  for (const int cancel_at : {0, count / 2, count - 1}) {
    SCOPED_TRACE("cancel at report " + std::to_string(cancel_at));
    recorder_ = Recorder{{}, cancel_at};
    EXPECT_EQ(vanto_search_next_match(context, 1), 0);
    EXPECT_EQ(static_cast<int>(recorder_.reports.size()), cancel_at + 1);
    // No current match: the next call starts at the beginning of the range.
    EXPECT_EQ(vanto_search_context_get_offset(context), size());
  }
  vanto_search_destroy_context(context);
}

TEST_F(ProgressTest, ProfileReportsBytesCountedAndCancelsWithThoseCounts) {
  std::array<int64_t, 256> counts{};
  ASSERT_EQ(vanto_session_profile(session_.get(), counts.data(), 0, 0), 0);
  expect_well_formed(recorder_.reports, size());
  EXPECT_EQ(sum(counts), size());
  // A range past the end counts, and reports, what exists.
  recorder_ = Recorder{};
  ASSERT_EQ(vanto_session_profile(session_.get(), counts.data(), size() - 10, 100), 0);
  expect_well_formed(recorder_.reports, 10);

  recorder_ = Recorder{};
  ASSERT_EQ(vanto_session_profile(session_.get(), counts.data(), 0, 0), 0);
  const int count = static_cast<int>(recorder_.reports.size());
  ASSERT_GE(count, 3);
  for (const int cancel_at : {0, count / 2, count - 1}) {
    SCOPED_TRACE("cancel at report " + std::to_string(cancel_at));
    recorder_ = Recorder{{}, cancel_at};
    EXPECT_EQ(vanto_session_profile(session_.get(), counts.data(), 0, 0), 1);
    ASSERT_EQ(static_cast<int>(recorder_.reports.size()), cancel_at + 1);
    // The counters hold exactly the bytes counted up to the cancel.
    EXPECT_EQ(sum(counts), recorder_.reports.back().done);
  }
}

TEST_F(ProgressTest, ARemovedHookIsNotCalled) {
  ASSERT_EQ(vanto_session_set_progress_cbk(session_.get(), nullptr, nullptr), 0);
  std::array<int64_t, 256> counts{};
  EXPECT_EQ(vanto_session_profile(session_.get(), counts.data(), 0, 0), 0);
  EXPECT_EQ(vanto_edit_save(session_.get(), dir_.file("saved.bin").c_str(), SAVE_FLAG_NONE, nullptr), 0);
  EXPECT_TRUE(recorder_.reports.empty());
  EXPECT_EQ(vanto_session_set_progress_cbk(nullptr, Recorder::hook, &recorder_), -1);
}

}  // namespace
