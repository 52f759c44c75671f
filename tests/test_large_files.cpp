// Files beyond the 2 GiB and 4 GiB boundaries, made as sparse files of
// 5 GiB: zeros with a few planted markers, so that the expected byte at any
// offset is known without holding the file.
//
// Edits, reads, searches and profiles over windows around 2 GiB and 4 GiB
// are checked against the expected bytes; a checkpoint, a transform and a
// save read the backing file beyond 4 GiB on a session from which all but
// the last 4 MiB were deleted, so that the files they write stay small.
// Saving a whole 5 GiB session writes 5 GiB and runs only when
// VANTO_LARGE_TESTS=1 is set.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"
#include "vanto_edit.h"

namespace {

namespace fs = std::filesystem;
using vanto::test::read_file;
using vanto::test::ScratchDir;

constexpr int64_t kGiB = int64_t{1} << 30;
constexpr int64_t kMiB = int64_t{1} << 20;
constexpr int64_t kFileSize = 5 * kGiB;

struct Marker {
  int64_t offset;
  std::string bytes;
};
// Markers straddling 2 GiB and 4 GiB, and one near the end.
const std::vector<Marker> kMarkers = {
    {2 * kGiB - 3, "NEEDLE"}, {4 * kGiB - 2, "NEEDLE"}, {kFileSize - 100, "NEEDLE"}, {4 * kGiB + 500, "tail4g"}};

char base_byte(int64_t offset) {
  for (const Marker &m : kMarkers) {
    if (offset >= m.offset && offset < m.offset + static_cast<int64_t>(m.bytes.size())) {
      return m.bytes[static_cast<size_t>(offset - m.offset)];
    }
  }
  return 0;
}

// A sparse file of kFileSize bytes with the markers written into it.
void make_sparse_file(const std::string &path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, kFileSize), 0);
  for (const Marker &m : kMarkers) {
    ASSERT_EQ(::pwrite(fd, m.bytes.data(), m.bytes.size(), m.offset), static_cast<ssize_t>(m.bytes.size()));
  }
  ASSERT_EQ(::close(fd), 0);
}

// The edits every session below makes, in final coordinates.
constexpr int64_t kOverwriteAt = 2 * kGiB + 1000;  // "OVER"
constexpr int64_t kDeleteAt = 3 * kGiB;            // 100 bytes
constexpr int64_t kDeleteLength = 100;
constexpr int64_t kInsertAt = 4 * kGiB + 10;       // "INSERTED", after the delete
const std::string kOver = "OVER";
const std::string kInserted = "INSERTED";

char expected_byte(int64_t p) {
  if (p >= kInsertAt && p < kInsertAt + static_cast<int64_t>(kInserted.size())) {
    return kInserted[static_cast<size_t>(p - kInsertAt)];
  }
  int64_t q = p >= kInsertAt ? p - static_cast<int64_t>(kInserted.size()) : p;
  if (q >= kDeleteAt) q += kDeleteLength;
  if (q >= kOverwriteAt && q < kOverwriteAt + static_cast<int64_t>(kOver.size())) {
    return kOver[static_cast<size_t>(q - kOverwriteAt)];
  }
  return base_byte(q);
}

std::string expected_range(int64_t offset, int64_t length) {
  std::string out(static_cast<size_t>(length), '\0');
  for (int64_t i = 0; i < length; ++i) out[static_cast<size_t>(i)] = expected_byte(offset + i);
  return out;
}

class LargeFile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new ScratchDir();
    path_ = new std::string(dir_->file("sparse.bin"));
    make_sparse_file(*path_);
  }
  static void TearDownTestSuite() {
    delete path_;
    delete dir_;
  }

  void SetUp() override {
    session_ = vanto_edit_create_session(path_->c_str(), nullptr, nullptr, 0);
    ASSERT_NE(session_, nullptr);
    ASSERT_EQ(vanto_session_get_computed_file_size(session_), kFileSize);
  }
  void TearDown() override { vanto_edit_destroy_session(session_); }

  void make_edits() {
    ASSERT_GT(vanto_edit_overwrite(session_, kOverwriteAt, kOver.data(), 4), 0);
    ASSERT_GT(vanto_edit_delete(session_, kDeleteAt, kDeleteLength), 0);
    ASSERT_GT(vanto_edit_insert(session_, kInsertAt, kInserted.data(), 8), 0);
    ASSERT_EQ(vanto_session_get_computed_file_size(session_), kFileSize - kDeleteLength + 8);
  }

  static ScratchDir *dir_;
  static std::string *path_;
  vanto_session_t *session_ = nullptr;
};

ScratchDir *LargeFile::dir_ = nullptr;
std::string *LargeFile::path_ = nullptr;

TEST_F(LargeFile, ReadsAroundTheBoundariesMatchTheExpectedBytes) {
  make_edits();
  vanto_segment_t *segment = vanto_segment_create(64 * 1024);
  for (int64_t centre : {2 * kGiB, 2 * kGiB + 1000, kDeleteAt, 4 * kGiB, kInsertAt, 4 * kGiB - 102,
                         kFileSize - kDeleteLength + 8 - 1000}) {
    SCOPED_TRACE(centre);
    const int64_t start = centre - 30000;
    ASSERT_EQ(vanto_session_get_segment(session_, segment, start), 0);
    const int64_t length = vanto_segment_get_length(segment);
    const int64_t size = vanto_session_get_computed_file_size(session_);
    ASSERT_EQ(length, std::min<int64_t>(64 * 1024, size - start));
    const std::string want = expected_range(start, length);
    EXPECT_EQ(std::memcmp(vanto_segment_get_data(segment), want.data(), want.size()), 0);
  }
  vanto_segment_destroy(segment);
  // A viewport straddling 4 GiB.
  vanto_viewport_t *viewport = vanto_edit_create_viewport(session_, 4 * kGiB - 200, 4096, 0, nullptr, nullptr, 0);
  const unsigned char *data = vanto_viewport_get_data(viewport);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(data), 4096), expected_range(4 * kGiB - 200, 4096));
  EXPECT_EQ(vanto_check_model(session_), 0);
}

TEST_F(LargeFile, SearchesAroundTheBoundariesFindWhatIsThere) {
  make_edits();
  struct Case {
    int64_t offset, length;
    std::string pattern;
    std::vector<int64_t> matches;
  };
  const std::vector<Case> cases = {
      {2 * kGiB - kMiB, 2 * kMiB, "NEEDLE", {2 * kGiB - 3}},
      {4 * kGiB - kMiB, 2 * kMiB, "NEEDLE", {4 * kGiB - 2 - kDeleteLength}},
      {4 * kGiB - kMiB, 2 * kMiB, "INSERTED", {kInsertAt}},
      {2 * kGiB, kMiB, "over", {kOverwriteAt}},  // case-insensitive below
      {4 * kGiB, 3 * kMiB, "tail4g", {4 * kGiB + 500 - kDeleteLength + 8}},
      // A range that ends one byte before the match holds none.
      {2 * kGiB - kMiB, kMiB + 2, "NEEDLE", {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.pattern + " at " + std::to_string(c.offset));
    vanto_search_context_t *search = vanto_search_create_context(
        session_, c.pattern.c_str(), static_cast<int64_t>(c.pattern.size()), c.offset, c.length, c.pattern == "over");
    ASSERT_NE(search, nullptr);
    std::vector<int64_t> found;
    while (vanto_search_next_match(search, 1) == 1) found.push_back(vanto_search_context_get_offset(search));
    EXPECT_EQ(found, c.matches);
    vanto_search_destroy_context(search);
  }
}

TEST_F(LargeFile, ProfilesAroundTheBoundariesCountTheExpectedBytes) {
  make_edits();
  for (int64_t centre : {2 * kGiB, 4 * kGiB, kInsertAt}) {
    SCOPED_TRACE(centre);
    const int64_t offset = centre - 3 * kMiB;
    const int64_t length = 6 * kMiB;
    std::array<int64_t, 256> counts{};
    ASSERT_EQ(vanto_session_profile(session_, counts.data(), offset, length), 0);
    std::array<int64_t, 256> want{};
    want[0] = length;
    // Only the few non-zero bytes need looking at: the markers and edits.
    for (int64_t p = offset; p < offset + length; ++p) {
      const auto b = static_cast<unsigned char>(expected_byte(p));
      if (b != 0) {
        ++want[b];
        --want[0];
      }
    }
    EXPECT_EQ(counts, want);
  }
}

TEST_F(LargeFile, CheckpointTransformAndSaveReadTheFileBeyondFourGiB) {
  // All but the last 4 MiB deleted: everything written comes from offsets
  // beyond 4 GiB of the backing file.
  ASSERT_GT(vanto_edit_delete(session_, 0, kFileSize - 4 * kMiB), 0);
  std::string want(static_cast<size_t>(4 * kMiB), '\0');
  for (int64_t i = 0; i < 4 * kMiB; ++i) want[static_cast<size_t>(i)] = base_byte(kFileSize - 4 * kMiB + i);
  ASSERT_EQ(vanto_session_get_segment_string(session_, 0, 4 * kMiB), want);

  const std::string chk = dir_->file("chk");
  ASSERT_EQ(vanto_edit_create_checkpoint(session_, chk.c_str()), 0);
  EXPECT_EQ(vanto_util_file_size(vanto_session_get_file_path(session_)), 4 * kMiB);
  EXPECT_EQ(read_file(vanto_session_get_file_path(session_)), want);

  ASSERT_EQ(vanto_edit_apply_transform(
                session_, [](unsigned char b, void *) { return static_cast<unsigned char>(b ^ 0x5A); }, nullptr,
                kMiB, kMiB, chk.c_str()),
            0);
  for (int64_t i = kMiB; i < 2 * kMiB; ++i) want[static_cast<size_t>(i)] ^= 0x5A;
  EXPECT_EQ(vanto_session_get_segment_string(session_, 0, 4 * kMiB), want);

  const std::string out = dir_->file("tail.bin");
  ASSERT_EQ(vanto_edit_save(session_, out.c_str(), SAVE_FLAG_OVERWRITE, nullptr), 0);
  EXPECT_EQ(read_file(out), want);
  fs::remove(out);
  // Destroying both checkpoints goes back to the 4 MiB read from the big file.
  ASSERT_EQ(vanto_edit_destroy_last_checkpoint(session_), 0);
  ASSERT_EQ(vanto_edit_destroy_last_checkpoint(session_), 0);
  EXPECT_EQ(vanto_session_get_segment_string(session_, kMiB, 16), std::string(16, '\0'));
  EXPECT_EQ(vanto_session_get_segment_string(session_, 4 * kMiB - 100, 6), "NEEDLE");
}

TEST_F(LargeFile, UndoAcrossTheBoundariesRestoresTheFile) {
  make_edits();
  EXPECT_LT(vanto_edit_undo_last_change(session_), 0);
  EXPECT_LT(vanto_edit_undo_last_change(session_), 0);
  EXPECT_LT(vanto_edit_undo_last_change(session_), 0);
  ASSERT_EQ(vanto_session_get_computed_file_size(session_), kFileSize);
  EXPECT_EQ(vanto_session_get_segment_string(session_, 4 * kGiB - 2, 6), "NEEDLE");
  EXPECT_EQ(vanto_session_get_segment_string(session_, 2 * kGiB - 3, 6), "NEEDLE");
  EXPECT_EQ(vanto_session_get_segment_string(session_, kOverwriteAt, 4), std::string(4, '\0'));
}

// Writes a whole 5 GiB file: opt-in.
TEST_F(LargeFile, WholeSaveOfFiveGiB) {
  const char *opt_in = std::getenv("VANTO_LARGE_TESTS");
  if (opt_in == nullptr || std::string(opt_in) != "1") {
    GTEST_SKIP() << "writes 5 GiB; set VANTO_LARGE_TESTS=1 to run it";
  }
  make_edits();
  const std::string out = dir_->file("whole.bin");
  ASSERT_EQ(vanto_edit_save(session_, out.c_str(), SAVE_FLAG_OVERWRITE, nullptr), 0);
  const int64_t size = vanto_session_get_computed_file_size(session_);
  EXPECT_EQ(vanto_util_file_size(out.c_str()), size);
  vanto_session_t *saved = vanto_edit_create_session(out.c_str(), nullptr, nullptr, 0);
  ASSERT_NE(saved, nullptr);
  for (int64_t centre : {int64_t{0}, 2 * kGiB, kOverwriteAt, kDeleteAt, 4 * kGiB, kInsertAt, size - 1000}) {
    const int64_t start = std::max<int64_t>(0, centre - 5000);
    const int64_t length = std::min<int64_t>(10000, size - start);
    EXPECT_EQ(vanto_session_get_segment_string(saved, start, length), expected_range(start, length)) << centre;
  }
  vanto_edit_destroy_session(saved);
  fs::remove(out);
}

}  // namespace
