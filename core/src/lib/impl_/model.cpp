// The model update, its exact undo, the records of changes, the reading of
// the data and the text form of models.
#include "impl_/model.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "impl_/io.h"
#include "impl_/log.h"
#include "impl_/piece_reader.h"

namespace vanto::internal {

void abort_on_continuity_break_(const vanto_model_struct &model, const char *function,
                                const ContinuityBreak &brk) {
  log_model_(&model, source_base_name(__FILE__), __LINE__, function);
  VANTO_LOG_AS(function, "break in model continuity, expected: " << brk.expected
                                                                   << ", got: " << brk.got);
  std::abort();
}

std::unique_ptr<vanto_change_struct> make_change_(int64_t serial, int kind, bool transaction_bit,
                                                  int64_t offset, int64_t length,
                                                  const unsigned char *bytes) {
  auto change = std::make_unique<vanto_change_struct>();
  change->serial = serial;
  change->kind = static_cast<uint8_t>((kind & kChangeKindMask) | (transaction_bit ? kTransactionBit : 0));
  change->offset = offset;
  change->length = length;
  if (kind == CHANGE_INSERT || kind == CHANGE_OVERWRITE) {
    small_buffer_allocate(change->data, length);
    change->owns_bytes = kBytesHeap;
    if (length > 0 && bytes != nullptr) {
      std::memcpy(small_buffer_data(change->data, length), bytes, static_cast<size_t>(length));
    }
  }
  return change;
}

vanto_change_struct *new_change_(vanto_session_struct &session, int64_t serial, int kind,
                                 bool transaction_bit, int64_t offset, int64_t length,
                                 const unsigned char *bytes) {
  // After a new change nothing at this level can be redone.  The undone
  // lists of the levels below stay: they are the history a rollback brings
  // back.
  clear_model_changes_undone_(session.current_model());
  ChangeStore &store = session.current_model().changes;
  vanto_change_struct *change = store.add();
  if (change == nullptr) return nullptr;
  change->serial = serial;
  change->kind = static_cast<uint8_t>((kind & kChangeKindMask) | (transaction_bit ? kTransactionBit : 0));
  change->offset = offset;
  change->length = length;
  if (kind == CHANGE_INSERT || kind == CHANGE_OVERWRITE) {
    if (!store.allocate_bytes(*change, length)) {
      store.drop_last();
      return nullptr;
    }
    if (length > 0 && bytes != nullptr) {
      std::memcpy(small_buffer_data(change->data, length), bytes, static_cast<size_t>(length));
    }
  }
  return change;
}

SourceFile::~SourceFile() {
  if (fd >= 0) ::close(fd);
}

std::shared_ptr<SourceFile> open_source_file_(vanto_session_struct &session, const char *path) {
  if (path == nullptr || path[0] == '\0') return nullptr;
  // Opened as the session's own file is (no blocking on a FIFO, not passed
  // to programs the host starts), but only a regular file will do: its
  // bytes must stay where they are for as long as a change refers to them.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return nullptr;
  const BackingFileState state = file_state_of_(fd);
  struct stat st {};
  const int flags = ::fcntl(fd, F_GETFL);
  if (!state.recorded || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
      ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return nullptr;
  }
  auto &known = session.source_files;
  known.erase(std::remove_if(known.begin(), known.end(), [](const auto &w) { return w.expired(); }),
              known.end());
  for (const auto &weak : known) {
    // The same file, unchanged since it was first opened: share its descriptor.
    std::shared_ptr<SourceFile> open = weak.lock();
    if (open && open->state.device == state.device && open->state.inode == state.inode &&
        file_changes_in_place_(open->fd, open->state) == FILE_CHANGE_NONE &&
        open->state.size == state.size && open->state.mtime.tv_sec == state.mtime.tv_sec &&
        open->state.mtime.tv_nsec == state.mtime.tv_nsec) {
      ::close(fd);
      return open;
    }
  }
  auto file = std::make_shared<SourceFile>();
  file->fd = fd;
  file->path = path;
  file->state = state;
  known.push_back(file);
  return file;
}

vanto_change_struct *new_file_change_(vanto_session_struct &session, int64_t serial, int kind,
                                      bool transaction_bit, int64_t offset, int64_t length,
                                      std::shared_ptr<SourceFile> file, int64_t file_offset) {
  auto *where = new (std::nothrow) FileBytes{std::move(file), file_offset};
  if (where == nullptr) return nullptr;
  clear_model_changes_undone_(session.current_model());
  vanto_change_struct *change = session.current_model().changes.add();
  if (change == nullptr) {
    delete where;
    return nullptr;
  }
  change->serial = serial;
  change->kind = static_cast<uint8_t>((kind & kChangeKindMask) | (transaction_bit ? kTransactionBit : 0));
  change->offset = offset;
  change->length = length;
  change->data.bytes_ptr = reinterpret_cast<unsigned char *>(where);
  change->owns_bytes = kBytesFile;
  return change;
}

int64_t copy_change_bytes_(const vanto_change_struct &change, int64_t offset, unsigned char *out,
                           int64_t length) {
  if (offset < 0 || length < 0 || (out == nullptr && length > 0)) return -1;
  if (change.kind_value() == CHANGE_DELETE || change.serial == 0) return offset == 0 ? 0 : -1;
  if (offset > change.length) return -1;
  const int64_t n = std::min(length, change.length - offset);
  if (n == 0) return 0;
  if (const FileBytes *file = change.file_bytes(); file != nullptr) {
    const int64_t got = io::pread_full(file->file->fd, out, n, file->offset + offset);
    return got == n ? n : -1;
  }
  const unsigned char *bytes = change.bytes();
  if (bytes == nullptr) return -1;
  std::memcpy(out, bytes + offset, static_cast<size_t>(n));
  return n;
}

int32_t source_files_changes_(const vanto_session_struct &session) {
  int32_t changes = FILE_CHANGE_NONE;
  for (const auto &weak : session.source_files) {
    if (const std::shared_ptr<SourceFile> file = weak.lock()) {
      changes |= file_changes_in_place_(file->fd, file->state);
    }
  }
  return changes;
}

const SourceFile *changed_source_in_data_(const vanto_model_struct &model) {
  const SourceFile *last_checked = nullptr;
  for (const PlacedPiece piece : model.model_segments) {
    const FileBytes *file = piece.change->file_bytes();
    if (file == nullptr || file->file.get() == last_checked) continue;
    if (file_changes_in_place_(file->file->fd, file->file->state) != FILE_CHANGE_NONE) {
      return file->file.get();
    }
    last_checked = file->file.get();
  }
  return nullptr;
}

void reset_model_segments_(vanto_model_struct &model, int64_t length) {
  model.model_segments.clear();
  // The base change: serial 0, an insert without bytes over the whole file.
  // Its bytes are the file's, so no buffer of the file's size is allocated
  // for it.
  model.base.serial = 0;
  model.base.kind = CHANGE_INSERT;
  model.base.offset = 0;
  model.base.length = length > 0 ? length : 0;
  if (length > 0) model.model_segments.push_back(Piece{length, 0, &model.base});
}

void clear_model_changes_(vanto_model_struct &model) { model.changes.clear(); }

void clear_model_changes_undone_(vanto_model_struct &model) { model.changes.clear_undone(); }

FILE *open_backing_file_(const char *path) {
  // Opened without blocking: a FIFO without a writer (or a device that waits
  // for a peer) must not hold the call.  Only data that can be positioned can
  // be edited, which is a regular file or a block device; anything else is
  // refused before a stream is made.  The session's descriptor is not meant
  // for programs the host starts.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return nullptr;
  struct stat st {};
  const int flags = ::fcntl(fd, F_GETFL);
  if (::fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) || flags < 0 ||
      ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return nullptr;
  }
  return backing_stream_(fd);
}

FILE *backing_stream_(int fd) {
  FILE *stream = ::fdopen(fd, "rb");
  if (stream == nullptr) ::close(fd);
  return stream;
}

int64_t stream_length_(FILE *stream) {
  if (stream == nullptr || fseeko(stream, 0, SEEK_END) != 0) return -1;
  const off_t end = ftello(stream);
  return end < 0 ? -1 : static_cast<int64_t>(end);
}

int64_t backing_file_length_(const vanto_model_struct &model) {
  return model.backing_file == nullptr ? 0 : stream_length_(model.backing_file);
}

bool backing_file_unchanged_(const vanto_model_struct &model) {
  if (model.backing_file == nullptr) return model.base.length == 0;
  struct stat st {};
  if (::fstat(::fileno(model.backing_file), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return static_cast<int64_t>(st.st_size) == model.base.length;
}

namespace {

// What one step of the model update replaced, before it goes into the
// change's undo flags.
struct Replaced {
  bool split = false;
  bool trimmed = false;  // the step ended by trimming the front of a piece
  int fresh = 0;         // pieces the step left in place of the replaced ones
  std::vector<Piece> old;
};

// Finds the point of change for `offset` in a table that is not empty: in
// front of the covering piece, after it, or between the two halves of it
// (the piece is split, kept in `r.old`, and `r.split` set).  0, -1 when no
// piece covers the offset, -2 when the tree lost its continuity.
int point_of_change(PieceTable &pieces, int64_t offset, Replaced &r, PieceTable::Pos &point) {
  int64_t covering_start = 0;
  ContinuityBreak brk;
  const auto covering = pieces.find_covering(offset, &covering_start, &brk);
  if (brk.broken) return -2;
  if (covering == pieces.end_pos()) return -1;
  const int64_t delta = offset - covering_start;
  if (delta == 0) {
    point = covering;
  } else if (delta == pieces.piece(covering).length) {
    point = PieceTable::next(covering);
  } else {
    r.old.push_back(pieces.piece(covering));
    r.split = true;
    point = pieces.split(covering, delta);
  }
  return 0;
}

// Inserts `change`'s bytes at its offset.  -1 when no piece covers it.
int insert_step(PieceTable &pieces, vanto_change_struct *change, Replaced &r) {
  r.fresh = 1;
  if (pieces.empty()) {
    pieces.push_back(Piece{change->length, 0, change});
    return 0;
  }
  PieceTable::Pos point;
  if (const int rc = point_of_change(pieces, change->offset, r, point); rc != 0) return rc;
  if (r.split) {
    // The new piece sits between the two halves of the split one.
    r.trimmed = true;
    r.fresh = 3;
  }
  pieces.insert(point, Piece{change->length, 0, change});
  return 0;
}

// Removes `length` bytes at `offset`.  -1 when no piece covers the offset.
int delete_step(PieceTable &pieces, int64_t offset, int64_t length, Replaced &r) {
  if (pieces.empty()) return 0;
  PieceTable::Pos point;
  if (const int rc = point_of_change(pieces, offset, r, point); rc != 0) return rc;
  if (r.split) r.fresh = 1;  // the first half stays in front of the point
  // Remove whole pieces from the point on; the last one touched may only
  // lose its front.  The pieces after it move down by themselves, since
  // their starts are derived.
  int64_t remaining = length;
  bool first = true;
  while (remaining != 0 && point != pieces.end_pos()) {
    const Piece piece = pieces.piece(point);
    // The second half of a split is part of the piece already kept.
    if (!(first && r.split)) r.old.push_back(piece);
    first = false;
    if (piece.length > remaining) {
      pieces.trim_front(point, remaining);
      r.trimmed = true;
      ++r.fresh;
      break;
    }
    remaining -= piece.length;
    point = pieces.erase(point);
  }
  if (first && r.split) {
    // Nothing removed (an overwrite of no bytes): both halves stay.
    r.trimmed = true;
    ++r.fresh;
  }
  return 0;
}

// Writes what was replaced into the change's undo flags.
void record_replaced(vanto_model_struct &model, vanto_change_struct &change, Replaced &r) {
  model.changes.forget_undo(change);
  uint8_t flags = kUndoRecorded;
  if (r.split) flags |= kUndoSplit;
  flags |= static_cast<uint8_t>(r.fresh << kUndoNewShift);
  if (r.old.size() == 1 && r.trimmed) {
    flags |= kUndoDerived;
  } else if (!r.old.empty()) {
    model.changes.keep(change, std::move(r.old));
  }
  change.undo = flags;
}

}  // namespace

int apply_change_to_model_(vanto_session_struct &session, vanto_change_struct *change) {
  return update_model_helper_(&session.current_model(), change);
}

int restore_replaced_pieces_(vanto_model_struct &model, vanto_change_struct &change) {
  if ((change.undo & kUndoRecorded) == 0) return -1;
  PieceTable &pieces = model.model_segments;
  const bool split = (change.undo & kUndoSplit) != 0;
  const int fresh = (change.undo & kUndoNewMask) >> kUndoNewShift;
  PieceTable::Pos pos = pieces.begin_pos();
  if (change.offset != 0) {
    int64_t start = 0;
    ContinuityBreak brk;
    pos = pieces.find_covering(change.offset, &start, &brk);
    if (brk.broken) abort_on_continuity_break_(model, "vanto_edit_undo_last_change", brk);
    if (pos == pieces.end_pos()) return -1;
    if (!split) pos = PieceTable::next(pos);
  }
  // Take out the change's own pieces, keeping those that show parts of the
  // replaced ones (the change's inserted piece is not one of them).
  Piece parts[3];
  int n = 0;
  for (int i = 0; i < fresh; ++i) {
    if (pos == pieces.end_pos()) return -1;
    const Piece piece = pieces.piece(pos);
    if (piece.change != &change) parts[n++] = piece;
    pos = pieces.erase(pos);
  }
  const auto put = [&](const Piece &piece) { pos = PieceTable::next(pieces.insert(pos, piece)); };
  if ((change.undo & kUndoDerived) != 0) {
    const int64_t removed = change.kind_value() == CHANGE_INSERT ? 0 : change.length;
    if (split) {
      const int64_t rest = n > 1 ? parts[1].length : 0;
      put(Piece{parts[0].length + removed + rest, parts[0].change_offset, parts[0].change});
    } else {
      put(Piece{removed + parts[0].length, parts[0].change_offset - removed, parts[0].change});
    }
  } else if (change.kept_pieces != 0) {
    for (const Piece &piece : model.changes.kept(change)) put(piece);
  }
  model.changes.forget_undo(change);
  return 0;
}

char change_kind_char_(const vanto_change_struct &change) {
  switch (change.kind_value()) {
    case CHANGE_DELETE: return 'D';
    case CHANGE_INSERT: return 'I';
    case CHANGE_OVERWRITE: return 'O';
    default:
      VANTO_LOG_AS("vanto_change_get_kind_as_char", "Unhandled change kind");
      std::abort();
  }
}

}  // namespace vanto::internal

using namespace vanto::internal;

int populate_data_segment_(const vanto_session_t *session, vanto_segment_t *segment) {
  if (session == nullptr || segment == nullptr) return -1;
  segment->length = 0;
  int64_t target = 0;
  if (__builtin_add_overflow(segment->offset, segment->offset_adjustment, &target)) return -1;
  unsigned char *out = small_buffer_data(segment->data, segment->capacity);
  const int rc = vanto::internal::read_data_(session->current_model(), target, out,
                                             std::max<int64_t>(segment->capacity, 0), &segment->length);
  if (rc == 1) return 0;  // no pieces: nothing to read, no terminator written
  if (rc != 0) return -1;
  out[segment->length] = 0;
  return 0;
}

namespace vanto::internal {

int read_data_(const vanto_model_struct &model, int64_t offset, unsigned char *out, int64_t room,
               int64_t *filled) {
  *filled = 0;
  if (model.model_segments.empty()) return 1;
  const PieceTable &pieces = model.model_segments;
  int64_t piece_start = 0;
  ContinuityBreak brk;
  auto pos = pieces.find_covering(offset, &piece_start, &brk);
  if (brk.broken) abort_on_continuity_break_(model, "populate_data_segment_", brk);
  if (pos == pieces.end_pos()) return -1;

  // Runs of the backing file are read with one call each (impl_/piece_reader.h).
  PieceCursor cursor{pos, offset - piece_start};
  const PieceFill fill = read_pieces_(model, cursor, out, room);
  *filled = fill.filled;
  return fill.ok ? 0 : -1;
}

}  // namespace vanto::internal

namespace vanto::internal {

namespace {

// The model update on a bare table: 0, -1 for an uncovered offset (nothing
// touched), -2 when the table lost its continuity (nothing touched).
int update_pieces_(PieceTable &pieces, vanto_change_struct *change, Replaced &replaced) {
  const int kind = change->kind_value();
  if (kind != CHANGE_DELETE && kind != CHANGE_INSERT && kind != CHANGE_OVERWRITE) {
    VANTO_LOG_AS("update_model_helper_", "Unhandled change kind");
    std::abort();
  }
  // Refuse an uncovered offset before touching anything.
  if (!pieces.empty() && (change->offset < 0 || change->offset > pieces.total_length())) return -1;
  int rc = 0;
  if (kind != CHANGE_INSERT) {
    // A delete, or an overwrite removing the bytes it replaces.
    rc = delete_step(pieces, change->offset, change->length, replaced);
  }
  if (rc == 0 && kind != CHANGE_DELETE) {
    // After the removal at the same offset, the insert never splits a piece:
    // a piece ends at the offset (or the offset is 0).
    Replaced inserted;
    rc = insert_step(pieces, change, inserted);
    if (kind == CHANGE_INSERT) {
      replaced = std::move(inserted);
    } else {
      replaced.fresh += 1;
    }
  }
  return rc;
}

}  // namespace

bool replay_applies_(const vanto_model_struct &model, size_t count, int64_t length) {
  // The replay itself, on a scratch table whose read pieces show a scratch
  // base change: no record of the model is touched.
  vanto_change_struct base;
  base.kind = CHANGE_INSERT;
  base.length = length > 0 ? length : 0;
  PieceTable scratch;
  if (length > 0) scratch.push_back(Piece{length, 0, &base});
  for (size_t i = 0; i < count; ++i) {
    Replaced replaced;
    if (update_pieces_(scratch, model.changes[i], replaced) != 0) return false;
  }
  return true;
}

}  // namespace vanto::internal

int update_model_helper_(vanto_model_t *model, vanto_change_t *change) {
  if (model == nullptr || change == nullptr) return -1;
  PieceTable &pieces = model->model_segments;
  Replaced replaced;
  const int rc = update_pieces_(pieces, change, replaced);
  if (rc == -2) {
    ContinuityBreak brk;
    int64_t start = 0;
    pieces.find_covering(change->offset, &start, &brk);
    abort_on_continuity_break_(*model, "update_model_helper_", brk);
  }
  if (rc != 0) return rc;
  record_replaced(*model, *change, replaced);
  return 0;
}

std::ostream &print_change_record_(const vanto_change_t *change, std::ostream &out) {
  if (change == nullptr) return out;
  out << "{\"serial\": " << change->serial << ", \"kind\": \""
      << change_kind_char_(*change) << "\", \"offset\": " << change->offset
      << ", \"length\": " << change->length;
  if (const FileBytes *file = change->file_bytes(); file != nullptr) {
    out << ", \"file\": \"" << file->file->path << "\", \"file_offset\": " << file->offset;
  } else if (change->owns_bytes != kBytesNone) {
    out << ", \"bytes\": \"";
    out.write(reinterpret_cast<const char *>(change->bytes()),
              static_cast<std::streamsize>(change->length));
    out << '"';
  }
  out << '}';
  return out;
}

void print_model_segments_(const vanto_model_t *model, std::ostream &out) {
  if (model == nullptr) return;
  for (const PlacedPiece piece : model->model_segments) {
    out << "{\"kind\": \"" << (piece.change->serial == 0 ? 'R' : 'I')
        << "\", \"computed_offset\": " << piece.computed_offset
        << ", \"computed_length\": " << piece.computed_length
        << ", \"change_offset\": " << piece.change_offset << ", \"change\": ";
    print_change_record_(piece.change, out);
    out << '}' << std::endl;
  }
}
