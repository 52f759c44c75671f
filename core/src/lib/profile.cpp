// The byte profile of a range of the edited data (declared in session.h).
#include "vanto_edit/session.h"

#include <algorithm>
#include <memory>

#include "impl_/internal_fun.h"
#include "impl_/piece_reader.h"
#include "impl_/progress.h"

using namespace vanto::internal;

namespace {

// The profile reads the data in blocks of this size, walking the pieces from
// one block to the next.  The buffer is the only memory that grows with the
// range, and it stops growing here.
constexpr int64_t kProfileBlockSize = int64_t{1} << 20;

// When a block cannot be read whole, it is read again in pieces of this size,
// so that the counts left behind are those of every whole piece before the
// one that failed.  The block size is a multiple of it, so the pieces line up
// from the start of the range.
constexpr int64_t kProfilePieceSize = 8192;
static_assert(kProfileBlockSize % kProfilePieceSize == 0);

// Four interleaved sets of counters, summed at the end, so that runs of equal
// bytes do not wait on one counter's previous increment.
struct ProfileTally {
  int64_t lanes[4][256] = {};

  void add(const unsigned char *bytes, int64_t n) {
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
      ++lanes[0][bytes[i]];
      ++lanes[1][bytes[i + 1]];
      ++lanes[2][bytes[i + 2]];
      ++lanes[3][bytes[i + 3]];
    }
    for (; i < n; ++i) ++lanes[0][bytes[i]];
  }

  void store(int64_t profile[256]) const {
    for (int b = 0; b < 256; ++b) {
      profile[b] = lanes[0][b] + lanes[1][b] + lanes[2][b] + lanes[3][b];
    }
  }
};

// Counts `remaining` bytes from `offset` in pieces of kProfilePieceSize until
// the data ends (0) or a piece cannot be read (1).
int count_in_pieces(const vanto_session_t *session, int64_t offset, int64_t remaining,
                    ProfileTally &tally) {
  vanto_segment_struct piece{};
  piece.capacity = std::min(remaining, kProfilePieceSize);
  small_buffer_allocate(piece.data, piece.capacity);
  const unsigned char *bytes = small_buffer_data(piece.data, piece.capacity);
  int result = 0;
  while (remaining > 0) {
    piece.offset = offset;
    if (populate_data_segment_(session, &piece) != 0) {
      result = 1;
      break;
    }
    const int64_t n = std::min(piece.length, remaining);
    if (n <= 0) break;
    tally.add(bytes, n);
    offset += n;
    remaining -= n;
  }
  small_buffer_free(piece.data, piece.capacity);
  return result;
}

}  // namespace

int vanto_session_profile(const vanto_session_t *session, int64_t profile[256], int64_t offset,
                          int64_t length) {
  if (session == nullptr || profile == nullptr) return -1;
  for (int b = 0; b < 256; ++b) profile[b] = 0;

  const int64_t size = vanto_session_get_computed_file_size(session);
  if (offset < 0 || offset > size) return 1;
  if (length == 0) length = size - offset;
  if (length < 0) return 1;

  // A range reaching past the end of the data stops at the end: what exists
  // is counted, and that is what progress counts too.
  const int64_t total = std::min(length, size - offset);
  Progress progress(*session, total);
  if (total == 0) return progress.finish() ? 0 : 1;

  const vanto_model_struct &model = session->current_model();
  int64_t piece_start = 0;
  ContinuityBreak brk;
  const auto pos = model.model_segments.find_covering(offset, &piece_start, &brk);
  if (brk.broken) abort_on_continuity_break_(model, "vanto_session_profile", brk);
  if (pos == model.model_segments.end_pos()) return 1;
  PieceCursor cursor{pos, offset - piece_start};

  const int64_t block = std::min(total, kProfileBlockSize);
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[static_cast<size_t>(block)]);
  auto tally = std::make_unique<ProfileTally>();
  int result = 0;
  int64_t remaining = total;
  while (remaining > 0) {
    const PieceFill fill = read_pieces_(model, cursor, buffer.get(), std::min(remaining, block));
    if (!fill.ok) {
      result = count_in_pieces(session, offset, remaining, *tally);
      break;
    }
    if (fill.filled <= 0) break;
    tally->add(buffer.get(), fill.filled);
    offset += fill.filled;
    remaining -= fill.filled;
    if (!progress.advance(total - remaining)) {
      result = 1;
      break;
    }
  }
  if (result == 0 && !progress.finish()) result = 1;
  tally->store(profile);
  return result;
}
