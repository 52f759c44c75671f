// Randomized differential test: thousands of random inserts, deletes and
// overwrites applied both to a session on a real file and to a plain string.
// After every operation the whole data, a random short segment, a set of
// fixed and floating viewports (capacities from 1 byte to 1 MiB) and the
// model check must all agree with the string.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"
#include "vanto_edit.h"

namespace {

struct TrackedViewport {
  vanto_viewport_t *handle;
  int64_t offset;  // where the viewport must be, by the movement rule
  int64_t capacity;
  bool floating;
};

// The movement rule for floating viewports: a change at or before the
// viewport's offset moves it by an insert's length forward or a delete's
// length back (never below 0); overwrites never move it.
void move_reference(TrackedViewport &v, char op, int64_t offset, int64_t length) {
  if (!v.floating || offset > v.offset) return;
  if (op == 'I') v.offset += length;
  if (op == 'D') v.offset = std::max<int64_t>(0, v.offset - length);
}

std::string window(const std::string &data, int64_t offset, int64_t capacity) {
  if (offset < 0 || offset > static_cast<int64_t>(data.size())) return {};
  return data.substr(static_cast<size_t>(offset), static_cast<size_t>(capacity));
}

TEST(EditDifferential, RandomEditsAgreeWithAPlainString) {
  constexpr int kOperations = 4000;
  std::mt19937_64 rng(0x5eed1234);
  auto uniform = [&](int64_t lo, int64_t hi) {  // inclusive
    return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
  };

  vanto::test::ScratchDir dir;
  const std::string path = dir.file("base.bin");
  std::string expected = vanto::test::random_bytes(3000, 7);
  vanto::test::write_file(path, expected);
  vanto_session_t *session = vanto_edit_create_session(path.c_str(), nullptr, nullptr, 0);
  ASSERT_NE(session, nullptr);

  std::vector<TrackedViewport> viewports;
  struct ViewportSetup {
    int64_t offset, capacity;
    bool floating;
  } setups[] = {{0, 1, false},    {5, 7, false},    {100, 8, false},   {1500, 64, false},
               {0, VANTO_VIEWPORT_CAPACITY_LIMIT, false},
               {10, 3, true},    {700, 7, true},   {1200, 256, true}, {2999, 1, true},
               {2000, VANTO_VIEWPORT_CAPACITY_LIMIT, true}};
  for (const ViewportSetup &s : setups) {
    vanto_viewport_t *v = vanto_edit_create_viewport(session, s.offset, s.capacity, s.floating ? 1 : 0,
                                                     nullptr, nullptr, 0);
    ASSERT_NE(v, nullptr);
    viewports.push_back({v, s.offset, s.capacity, s.floating});
  }

  int64_t serial = 0;
  for (int step = 0; step < kOperations; ++step) {
    const auto size = static_cast<int64_t>(expected.size());
    // Keep the data between a few hundred bytes and about 6 KiB.
    int choice = static_cast<int>(uniform(0, 99));
    if (size < 300) choice = 0;
    if (size > 6000) choice = 99;
    char op = choice < 40 ? 'I' : (choice < 70 ? 'O' : 'D');
    if (op == 'D' && size == 0) op = 'I';

    int64_t offset = 0;
    int64_t length = 0;
    int64_t result = 0;
    if (op == 'D') {
      offset = uniform(0, size - 1);
      // Mostly short deletes, sometimes one that runs past the end.
      length = uniform(0, 9) == 0 ? uniform(1, 2 * size) : uniform(1, 40);
      result = vanto_edit_delete(session, offset, length);
      length = std::min(length, size - offset);
      expected.erase(static_cast<size_t>(offset), static_cast<size_t>(length));
    } else {
      offset = uniform(0, 19) == 0 ? size : uniform(0, size);
      length = uniform(0, 15) == 0 ? uniform(100, 400) : uniform(0, 12);
      const std::string bytes = vanto::test::random_bytes(static_cast<size_t>(length), rng());
      const auto *ub = reinterpret_cast<const unsigned char *>(bytes.data());
      // The view form and the byte form (a length of 0 there measures the
      // empty text, which is empty as well).
      const bool through_view = uniform(0, 1) == 0;
      if (op == 'I') {
        result = through_view ? vanto_edit_insert_string(session, offset, bytes)
                              : vanto_edit_insert_bytes(session, offset, ub, length);
        expected.insert(static_cast<size_t>(offset), bytes);
      } else {
        result = through_view ? vanto_edit_overwrite_string(session, offset, bytes)
                              : vanto_edit_overwrite_bytes(session, offset, ub, length);
        expected.replace(static_cast<size_t>(offset),
                         std::min<size_t>(bytes.size(), expected.size() - static_cast<size_t>(offset)),
                         bytes);
      }
    }
    ASSERT_EQ(result, ++serial) << "step " << step << " op " << op << " at " << offset;
    for (TrackedViewport &v : viewports) move_reference(v, op, offset, length);

    SCOPED_TRACE(testing::Message() << "step " << step << ": " << op << " " << length << " bytes at "
                                    << offset);
    ASSERT_EQ(vanto_check_model(session), 0);
    const auto new_size = static_cast<int64_t>(expected.size());
    ASSERT_EQ(vanto_session_get_computed_file_size(session), new_size);
    ASSERT_EQ(vanto_session_get_segment_string(session, 0, new_size), expected);
    const int64_t probe = uniform(0, new_size);
    const int64_t probe_length = uniform(1, 16);
    ASSERT_EQ(vanto_session_get_segment_string(session, probe, probe_length),
              window(expected, probe, probe_length));
    // The same range read straight into a host buffer, which it fills exactly.
    std::string direct(static_cast<size_t>(probe_length) + 1, '\x55');
    const int64_t copied = vanto_session_read(session, probe, direct.data(), probe_length);
    ASSERT_EQ(direct.substr(0, static_cast<size_t>(std::max<int64_t>(copied, 0))),
              window(expected, probe, probe_length));
    ASSERT_EQ(direct.substr(static_cast<size_t>(copied)),
              std::string(static_cast<size_t>(probe_length - copied) + 1, '\x55'))
        << "bytes past the copied ones were written";
    for (const TrackedViewport &v : viewports) {
      ASSERT_EQ(vanto_viewport_get_offset(v.handle), v.offset) << "viewport of capacity " << v.capacity;
      const std::string want = window(expected, v.offset, v.capacity);
      ASSERT_EQ(vanto_viewport_get_length(v.handle), static_cast<int64_t>(want.size()));
      ASSERT_EQ(vanto_viewport_get_string(v.handle), want)
          << "viewport of capacity " << v.capacity << " at " << v.offset;
    }
  }
  vanto_edit_destroy_session(session);
}

// Byte edits mixed with edits that take ranges of other files (one of them
// the session's own file, read through a descriptor of its own), with undo
// and redo, against a string and its past states.  Many small pieces of the
// sources lie among the change bytes, so every read mixes the three.
TEST(EditDifferential, FileEditsWithUndoAgreeWithAPlainString) {
  constexpr int kOperations = 1500;
  std::mt19937_64 rng(0xf11e5eed);
  auto uniform = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); };

  vanto::test::ScratchDir dir;
  const std::string path = dir.file("base.bin");
  std::string expected = vanto::test::random_bytes(2000, 11);
  vanto::test::write_file(path, expected);
  const std::string other = dir.file("other.bin");
  const std::string other_bytes = vanto::test::random_bytes(70000, 12);
  vanto::test::write_file(other, other_bytes);
  const struct {
    const std::string *path;
    std::string bytes;
  } sources[] = {{&path, expected}, {&other, other_bytes}};
  vanto_session_t *session = vanto_edit_create_session(path.c_str(), nullptr, nullptr, 0);
  ASSERT_NE(session, nullptr);
  vanto_viewport_t *viewport = vanto_edit_create_viewport(session, 100, 300, 0, nullptr, nullptr, 0);

  std::vector<std::string> past;    // the data before each applied change
  std::vector<std::string> undone;  // the data each undone change made, the last undone last
  for (int step = 0; step < kOperations; ++step) {
    const auto size = static_cast<int64_t>(expected.size());
    int choice = static_cast<int>(uniform(0, 99));
    if (size < 300) choice = 0;
    if (size > 8000) choice = 40;
    SCOPED_TRACE(testing::Message() << "step " << step << " choice " << choice);
    if (choice >= 85) {
      // Undo (85-94) or redo (95-99).
      if (choice < 95 && !past.empty()) {
        ASSERT_LT(vanto_edit_undo_last_change(session), 0);
        undone.push_back(expected);
        expected = past.back();
        past.pop_back();
      } else if (choice >= 95 && !undone.empty()) {
        ASSERT_GT(vanto_edit_redo_last_undo(session), 0);
        past.push_back(expected);
        expected = undone.back();
        undone.pop_back();
      } else {
        continue;
      }
    } else {
      int64_t result = 0;
      const std::string before = expected;
      if (choice >= 70) {
        const int64_t offset = uniform(0, size - 1);
        const int64_t length = uniform(1, 60);
        result = vanto_edit_delete(session, offset, length);
        expected.erase(static_cast<size_t>(offset), static_cast<size_t>(std::min(length, size - offset)));
      } else {
        const bool insert = choice < 40;
        const int64_t offset = uniform(0, 19) == 0 ? size : uniform(0, size);
        std::string bytes;
        if (choice % 2 == 0) {
          const auto &source = sources[uniform(0, 1)];
          const auto source_size = static_cast<int64_t>(source.bytes.size());
          const int64_t from = uniform(0, 9) == 0 ? source_size - uniform(0, 50) : uniform(0, source_size);
          // Mostly short ranges, sometimes to the end of the source (-1).
          const int64_t length = uniform(0, 7) == 0 ? -1 : std::min(uniform(1, 200), source_size - from);
          bytes = length < 0 ? source.bytes.substr(static_cast<size_t>(from))
                             : source.bytes.substr(static_cast<size_t>(from), static_cast<size_t>(length));
          if (length < 0 && source_size - from > 400) continue;  // keep the data small
          result = insert ? vanto_edit_insert_file(session, offset, source.path->c_str(), from, length)
                          : vanto_edit_overwrite_file(session, offset, source.path->c_str(), from, length);
        } else {
          bytes = vanto::test::random_bytes(static_cast<size_t>(uniform(1, 12)), rng());
          result = insert ? vanto_edit_insert_string(session, offset, bytes)
                          : vanto_edit_overwrite_string(session, offset, bytes);
        }
        if (insert) {
          expected.insert(static_cast<size_t>(offset), bytes);
        } else {
          if (offset + bytes.size() > expected.size()) expected.resize(static_cast<size_t>(offset) + bytes.size());
          expected.replace(static_cast<size_t>(offset), bytes.size(), bytes);
        }
      }
      ASSERT_GT(result, 0);
      past.push_back(before);
      undone.clear();
    }
    ASSERT_EQ(vanto_check_model(session), 0);
    const auto new_size = static_cast<int64_t>(expected.size());
    ASSERT_EQ(vanto_session_get_computed_file_size(session), new_size);
    ASSERT_EQ(vanto_session_get_segment_string(session, 0, new_size), expected);
    const int64_t probe = uniform(0, new_size);
    ASSERT_EQ(vanto_session_get_segment_string(session, probe, 9), window(expected, probe, 9));
    ASSERT_EQ(vanto_viewport_get_string(viewport), window(expected, 100, 300));
  }
  // The last state saved elsewhere, and over the session's own file (the
  // source of many pieces).
  const std::string out = dir.file("out.bin");
  ASSERT_EQ(vanto_edit_save(session, out.c_str(), SAVE_FLAG_REFUSE_IF_CHANGED, nullptr), 0);
  EXPECT_EQ(vanto::test::read_file(out), expected);
  ASSERT_EQ(vanto_edit_save(session, path.c_str(), SAVE_FLAG_OVERWRITE, nullptr), 0);
  EXPECT_EQ(vanto::test::read_file(path), expected);
  vanto_edit_destroy_session(session);
}

}  // namespace
