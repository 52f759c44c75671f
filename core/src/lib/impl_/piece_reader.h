// Copying the edited data out of a model's pieces into a buffer.
//
// Pieces of the backing file that lie one after the other in the file are
// read with one pread: a model made by inserts alone keeps the file's bytes
// in file order, split by the inserted pieces, so a window of many small
// pieces costs one system call instead of one per piece.  The run is read
// into the buffer where its first piece goes, each later piece is moved up to
// its own place (last piece first, so nothing is overwritten before it has
// moved), and the change pieces between them are copied in last.  A run
// whose gaps in the file outweigh the change bytes between its pieces (what
// deletes leave) is read into a per-thread scratch buffer of 256 KiB and its
// pieces copied out from there.  A piece of a change made from another file
// (FileBytes) is read from that file with a pread of its own, straight into
// its place, after the pending run.
#ifndef VANTO_EDIT_IMPL_PIECE_READER_H
#define VANTO_EDIT_IMPL_PIECE_READER_H

#include <cstdint>

#include "impl_/records.h"

namespace vanto::internal {

// A place in the edited data: a piece and how many of its bytes lie before.
struct PieceCursor {
  PieceTable::Pos pos{};
  int64_t delta = 0;
};

struct PieceFill {
  int64_t filled = 0;  // bytes in the buffer
  bool ok = true;      // false: a piece of the backing file could not be read
};

// Copies up to `room` bytes of the model's data, from the cursor on, into
// `out` and moves the cursor past them.  It stops when the buffer is full or
// the pieces end.  A read piece is read whole or not at all: when one cannot
// be read (the file, or the inserted file, is shorter than the piece says, a
// read error, or no backing file), `filled` counts the bytes of the pieces before it and `ok`
// is false; the cursor is then undefined.
PieceFill read_pieces_(const vanto_model_struct &model, PieceCursor &cursor, unsigned char *out,
                       int64_t room);

}  // namespace vanto::internal

#endif  // VANTO_EDIT_IMPL_PIECE_READER_H
