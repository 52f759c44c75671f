// Reading the edited data through populate_data_segment_, which reads runs
// of backing-file pieces with one call, against a reference that reads every
// piece on its own: same result code, same length, same bytes, also when the
// backing file has shrunk behind the session's back (a piece is read whole
// or not at all) and when every read fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "impl_/internal_fun.h"
#include "impl_/io.h"
#include "impl_/records.h"
#include "test_support.h"
#include "vanto_edit.h"

namespace {

using vanto::internal::PlacedPiece;
using vanto::test::ScratchDir;

struct Fill {
  int rc;
  std::string bytes;
  bool operator==(const Fill &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Fill &f) {
  return out << "rc " << f.rc << ", " << f.bytes.size() << " bytes";
}

// Piece by piece: a file piece needs all its bytes in `file` (the file as it
// is now), else the fill stops in front of it with -1.
Fill reference_fill(const vanto_session_t *session, const std::string &file, int64_t target,
                    int64_t room, bool reads_fail) {
  const vanto_model_struct &model = session->current_model();
  if (model.model_segments.empty()) return {0, ""};
  if (target < 0 || target > model.model_segments.total_length()) return {-1, ""};
  Fill fill{0, ""};
  for (const PlacedPiece piece : model.model_segments) {
    const int64_t end = piece.computed_offset + piece.computed_length;
    if (end < target) continue;
    if (static_cast<int64_t>(fill.bytes.size()) >= room) break;
    const int64_t from = std::max(target, piece.computed_offset) - piece.computed_offset;
    const int64_t n = std::min(piece.computed_length - from, room - static_cast<int64_t>(fill.bytes.size()));
    if (n <= 0) continue;
    const int64_t source = piece.change_offset + from;
    if (piece.change->serial == 0) {
      if (reads_fail || source + n > static_cast<int64_t>(file.size())) return {-1, fill.bytes};
      fill.bytes.append(file, static_cast<size_t>(source), static_cast<size_t>(n));
    } else {
      fill.bytes.append(reinterpret_cast<const char *>(piece.change->bytes()) + source, static_cast<size_t>(n));
    }
  }
  return fill;
}

Fill library_fill(const vanto_session_t *session, int64_t target, int64_t room) {
  vanto_segment_struct segment{};
  segment.capacity = room;
  vanto::internal::small_buffer_allocate(segment.data, room);
  segment.offset = target;
  const int rc = populate_data_segment_(session, &segment);
  const unsigned char *data = vanto::internal::small_buffer_data(segment.data, room);
  Fill fill{rc, std::string(reinterpret_cast<const char *>(data), static_cast<size_t>(segment.length))};
  if (rc == 0 && data[segment.length] != 0) fill.rc = 99;  // the terminating zero is missing
  vanto::internal::small_buffer_free(segment.data, room);
  return fill;
}

int fail_every_read(vanto::internal::io::Op op) {
  return op == vanto::internal::io::Op::kRead ? EIO : 0;
}

TEST(PieceReader, AgreesWithPieceByPieceReads) {
  ScratchDir dir;
  const std::string path = dir.file("data");
  const int64_t file_size = 300 * 1024;
  std::string file = vanto::test::random_bytes(static_cast<size_t>(file_size), 5);
  vanto::test::write_file(path, file);
  vanto_session_t *session = vanto_edit_create_session(path.c_str(), nullptr, nullptr, 0);
  ASSERT_NE(session, nullptr);

  // Mostly small inserts (long runs of file pieces in file order), some
  // overwrites (short gaps in the file, one of them longer than a run reads
  // through) and deletes (gaps without bytes in their place).
  std::mt19937_64 rng(3);
  for (int i = 0; i < 3000; ++i) {
    const int64_t size = vanto_session_get_computed_file_size(session);
    const int64_t at = static_cast<int64_t>(rng() % static_cast<uint64_t>(size));
    const int64_t n = 1 + static_cast<int64_t>(rng() % 16);
    const std::string bytes(static_cast<size_t>(n), static_cast<char>('A' + i % 26));
    const int kind = static_cast<int>(rng() % 10);
    if (kind < 7) {
      ASSERT_GT(vanto_edit_insert(session, at, bytes.data(), n), 0);
    } else if (kind < 9) {
      ASSERT_GT(vanto_edit_overwrite(session, std::min(at, size - n), bytes.data(), n), 0);
    } else {
      ASSERT_GT(vanto_edit_delete(session, at, std::min(n, size - at)), 0);
    }
  }
  const std::string wide(20 * 1024, 'W');
  ASSERT_GT(vanto_edit_overwrite(session, 100'000, wide.data(), static_cast<int64_t>(wide.size())), 0);

  const int64_t rooms[] = {1, 7, 8, 100, 4096, 65536, 1 << 20};
  auto compare_reads = [&](const std::string &now, bool reads_fail) {
    const int64_t size = vanto_session_get_computed_file_size(session);
    std::mt19937_64 pick(7);
    for (int i = 0; i < 300; ++i) {
      const int64_t room = rooms[i % std::size(rooms)];
      const int64_t target = static_cast<int64_t>(pick() % static_cast<uint64_t>(size + 2));
      SCOPED_TRACE(testing::Message() << "offset " << target << ", room " << room);
      ASSERT_EQ(library_fill(session, target, room), reference_fill(session, now, target, room, reads_fail));
    }
  };
  compare_reads(file, false);

  // The file shrinks behind the session's back: reads stop in front of the
  // first piece that reaches past its new end.
  for (const int64_t shrunk : {int64_t{250'000}, int64_t{100'001}, int64_t{1}, int64_t{0}}) {
    SCOPED_TRACE(testing::Message() << "file cut to " << shrunk);
    std::filesystem::resize_file(path, static_cast<uintmax_t>(shrunk));
    file.resize(static_cast<size_t>(shrunk));
    compare_reads(file, false);
  }

  vanto::test::write_file(path, vanto::test::random_bytes(static_cast<size_t>(file_size), 5));
  vanto::internal::io::set_fault_hook(fail_every_read);
  compare_reads("", true);
  vanto::internal::io::set_fault_hook(nullptr);
  vanto_edit_destroy_session(session);
}

int g_reads = 0;
int count_reads(vanto::internal::io::Op op) {
  if (op == vanto::internal::io::Op::kRead) ++g_reads;
  return 0;
}

// A line-ending conversion leaves the file's bytes in file order with one
// deleted byte between every two pieces and no change bytes at all: the gaps
// are read through (in a scratch buffer), so a 1 MiB read takes a handful of
// preads instead of one per piece, with the same bytes as piece by piece,
// also when the file has shrunk.
TEST(PieceReader, RunsReadThroughTheGapsThatDeletesLeave) {
  ScratchDir dir;
  const std::string path = dir.file("lines");
  std::string file = vanto::test::random_bytes(2 << 20, 9);
  vanto::test::write_file(path, file);
  vanto_session_t *session = vanto_edit_create_session(path.c_str(), nullptr, nullptr, 0);
  ASSERT_NE(session, nullptr);
  // From the end backwards, so earlier offsets stay put: a byte out of every
  // 64, and now and then an insert.
  for (int64_t at = (2 << 20) - 1; at > 0; at -= 64) {
    ASSERT_GT(vanto_edit_delete(session, at, 1), 0);
    if (at % 4096 == 63) {
      ASSERT_GT(vanto_edit_insert(session, at, "ins", 3), 0);
    }
  }
  g_reads = 0;
  vanto::internal::io::set_fault_hook(count_reads);
  const Fill whole = library_fill(session, 0, 1 << 20);
  vanto::internal::io::set_fault_hook(nullptr);
  ASSERT_EQ(whole, reference_fill(session, file, 0, 1 << 20, false));
  EXPECT_LE(g_reads, 64) << "pieces in the window: about " << (1 << 20) / 63;

  std::mt19937_64 pick(11);
  for (const int64_t shrunk : {int64_t{-1}, int64_t{1'500'000}, int64_t{70'001}}) {
    if (shrunk >= 0) {
      std::filesystem::resize_file(path, static_cast<uintmax_t>(shrunk));
      file.resize(static_cast<size_t>(shrunk));
    }
    const int64_t size = vanto_session_get_computed_file_size(session);
    for (int i = 0; i < 60; ++i) {
      const int64_t room = int64_t{1} << (pick() % 21);
      const int64_t target = static_cast<int64_t>(pick() % static_cast<uint64_t>(size + 2));
      SCOPED_TRACE(testing::Message() << "file " << file.size() << ", offset " << target << ", room " << room);
      ASSERT_EQ(library_fill(session, target, room), reference_fill(session, file, target, room, false));
    }
  }
  vanto_edit_destroy_session(session);
}

}  // namespace
