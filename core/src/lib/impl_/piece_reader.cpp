// Reading pieces into a buffer with one pread per run of the backing file,
// prefetching the change records and bytes the walk is about to need.
#include "impl_/piece_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "impl_/io.h"
#include "impl_/log.h"

namespace vanto::internal {

namespace {

// A run holds at most this many file pieces and as many change pieces; a
// longer one is read in several runs.
constexpr int kRunMax = 1024;

// Largest stretch of unwanted file bytes a run reads through.  Such a gap is
// left where an overwrite replaced file bytes (the overwrite's own bytes take
// its place in the buffer) or where a delete took bytes out.
constexpr int64_t kGapMax = 16 * 1024;

// A run whose gaps outweigh the change bytes between its pieces (deletes)
// cannot be read in place: it is read into a scratch buffer of this size,
// one per thread and kept for the thread's life, and its pieces copied out.
constexpr int64_t kScratchSize = 256 * 1024;

unsigned char *thread_scratch() {
  thread_local std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kScratchSize]);
  return buffer.get();
}

// How many pieces ahead of the one being copied the walk asks the processor
// for the change records, and (half as far) for their bytes: with many
// pieces these lie all over memory, and waiting for each in turn would cost
// a memory latency per piece.
constexpr int kPrefetchRecords = 16;
constexpr int kPrefetchBytes = 8;

struct FileRead {
  int64_t out;     // where the piece goes in the buffer
  int64_t file;    // where it starts in the backing file
  int64_t length;
};

struct ChangeCopy {
  int64_t out;
  const unsigned char *bytes;
  int64_t length;
};

class RunReader {
 public:
  RunReader(const vanto_model_struct &model, unsigned char *out) : model_(model), out_(out) {}

  // Adds a piece of the backing file; false when a pending run failed.
  bool add_file_piece(int64_t out, int64_t file, int64_t length) {
    if (!extends_run(file, length)) {
      if (!flush()) return false;
      run_start_ = file;
      in_place_ = true;
    }
    reads_[reads_count_++] = FileRead{out, file, length};
    run_end_ = file + length;
    change_bytes_ = 0;
    return true;
  }

  // Adds a piece of change bytes; false when a pending run failed.
  bool add_change_piece(int64_t out, const unsigned char *bytes, int64_t length) {
    if (copies_count_ == kRunMax && !flush()) return false;
    if (reads_count_ == 0) {
      // No run pending: nothing can overwrite these bytes any more.
      std::memcpy(out_ + out, bytes, static_cast<size_t>(length));
      return true;
    }
    copies_[copies_count_++] = ChangeCopy{out, bytes, length};
    change_bytes_ += length;
    return true;
  }

  // Adds a piece of another file (an inserted file's range): read at once,
  // after the pending run; false when either could not be read whole.
  bool add_source_piece(int64_t out, const FileBytes &file, int64_t from, int64_t length) {
    if (!flush()) return false;
    const int64_t got = io::pread_full(file.file->fd, out_ + out, length, file.offset + from);
    if (got == length) return true;
    VANTO_LOG_AS("populate_data_segment_", "an inserted file is shorter than its change: " << file.file->path);
    failed_at_ = out;
    return false;
  }

  // Reads the pending run and puts every pending piece in place.  False when
  // a file piece could not be read; failed_at() then tells where it went.
  bool flush() {
    if (reads_count_ == 0) return true;
    int valid = 0;  // file pieces read whole
    unsigned char *const into = in_place_ ? out_ + reads_[0].out : scratch_;
    if (model_.backing_file == nullptr) {
      VANTO_LOG_AS("populate_data_segment_", "attempt to read segment from null file pointer");
    } else {
      const int fd = ::fileno(model_.backing_file);
      const int64_t span = run_end_ - run_start_;
      const int64_t got = fd < 0 ? 0 : io::pread_full(fd, into, span, run_start_);
      const int64_t read_end = run_start_ + got;
      while (valid < reads_count_ && reads_[valid].file + reads_[valid].length <= read_end) ++valid;
    }
    if (in_place_) {
      // The run was read where its first piece goes: piece i sits at its
      // file distance from there and moves up by the change bytes between,
      // less the gaps.  Moving the last piece first never overwrites a piece
      // not yet moved, since the shifts grow along the run.
      const int64_t base_out = reads_[0].out;
      for (int i = valid - 1; i > 0; --i) {
        const FileRead &r = reads_[i];
        const int64_t from = base_out + (r.file - run_start_);
        if (from != r.out) std::memmove(out_ + r.out, out_ + from, static_cast<size_t>(r.length));
      }
    } else {
      for (int i = 0; i < valid; ++i) {
        const FileRead &r = reads_[i];
        std::memcpy(out_ + r.out, scratch_ + (r.file - run_start_), static_cast<size_t>(r.length));
      }
    }
    const bool ok = valid == reads_count_;
    failed_at_ = ok ? 0 : reads_[valid].out;
    for (int i = 0; i < copies_count_; ++i) {
      const ChangeCopy &c = copies_[i];
      if (!ok && c.out >= failed_at_) break;
      std::memcpy(out_ + c.out, c.bytes, static_cast<size_t>(c.length));
    }
    reads_count_ = 0;
    copies_count_ = 0;
    change_bytes_ = 0;
    return ok;
  }

  int64_t failed_at() const { return failed_at_; }

 private:
  // Whether a file piece of `length` bytes at `file` can join the pending
  // run: it follows the run in the file, any gap before it is short, and
  // there is room in the lists.  A run stays readable in place while every
  // gap is no longer than the change bytes before it (the pieces then only
  // ever move up); past that, it goes through the scratch buffer and must
  // fit there whole.
  bool extends_run(int64_t file, int64_t length) {
    if (reads_count_ == 0 || reads_count_ == kRunMax || file < run_end_) return false;
    const int64_t gap = file - run_end_;
    if (gap > kGapMax) return false;
    if (in_place_ && gap <= change_bytes_) return true;
    if (scratch_ == nullptr || file + length - run_start_ > kScratchSize) return false;
    in_place_ = false;
    return true;
  }

  const vanto_model_struct &model_;
  unsigned char *out_;
  FileRead reads_[kRunMax];
  ChangeCopy copies_[kRunMax];
  int reads_count_ = 0;
  int copies_count_ = 0;
  int64_t run_start_ = 0;
  int64_t run_end_ = 0;
  int64_t change_bytes_ = 0;  // change bytes since the run's last file piece
  int64_t failed_at_ = 0;
  bool in_place_ = true;
  unsigned char *scratch_ = thread_scratch();
};

}  // namespace

PieceFill read_pieces_(const vanto_model_struct &model, PieceCursor &cursor, unsigned char *out,
                       int64_t room) {
  const PieceTable &pieces = model.model_segments;
  const PieceTable::Pos end = pieces.end_pos();
  RunReader reader(model, out);
  int64_t filled = 0;
  // Two cursors run ahead of the walk to prefetch records and bytes.
  PieceTable::Pos records_ahead = cursor.pos;
  PieceTable::Pos bytes_ahead = cursor.pos;
  for (int i = 0; i < kPrefetchRecords && records_ahead != end; ++i) {
    __builtin_prefetch(pieces.piece(records_ahead).change);
    records_ahead = PieceTable::next(records_ahead);
    if (i < kPrefetchBytes && bytes_ahead != end) bytes_ahead = PieceTable::next(bytes_ahead);
  }
  while (filled < room && cursor.pos != end) {
    if (records_ahead != end) {
      __builtin_prefetch(pieces.piece(records_ahead).change);
      records_ahead = PieceTable::next(records_ahead);
    }
    if (bytes_ahead != end) {
      const vanto_change_struct *ahead = pieces.piece(bytes_ahead).change;
      if (ahead->serial != 0 && ahead->bytes() != nullptr) {
        __builtin_prefetch(ahead->bytes() + pieces.piece(bytes_ahead).change_offset);
      }
      bytes_ahead = PieceTable::next(bytes_ahead);
    }
    const Piece &piece = pieces.piece(cursor.pos);
    const int64_t n = std::min(piece.length - cursor.delta, room - filled);
    if (n > 0) {
      const vanto_change_struct &change = *piece.change;
      const int64_t from = piece.change_offset + cursor.delta;
      const FileBytes *file = change.file_bytes();
      const bool added = change.serial == 0  ? reader.add_file_piece(filled, from, n)
                         : file != nullptr ? reader.add_source_piece(filled, *file, from, n)
                                           : reader.add_change_piece(filled, change.bytes() + from, n);
      if (!added) return PieceFill{reader.failed_at(), false};
      filled += n;
      cursor.delta += n;
    }
    if (cursor.delta < piece.length) break;  // the buffer is full
    cursor.pos = pieces.next(cursor.pos);
    cursor.delta = 0;
  }
  if (!reader.flush()) return PieceFill{reader.failed_at(), false};
  return PieceFill{filled, true};
}

}  // namespace vanto::internal
