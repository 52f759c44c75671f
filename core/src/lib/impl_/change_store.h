// The changes of one model: its change list and its undone list in one
// store.  Included by impl_/records.h after the change record.
//
// Undo takes the newest applied change and redo the most recently undone
// one, and a new change empties the undone list first, so the changes in
// serial order are always: the applied ones, then the undone ones with the
// most recently undone first.  The store keeps them in that order in blocks
// of records that never move (hosts hold plain pointers to changes), and
// only a count tells the two lists apart: undo and redo move that boundary
// by one and touch no record.
//
// Change bytes of 8 bytes or more (fewer live inside the record) go to a
// byte arena that grows and shrinks like the store: changes are added at
// its end and dropped from its end, so dropping rewinds the arena.  Large
// changes get a heap block of their own.
#ifndef VANTO_EDIT_IMPL_CHANGE_STORE_H
#define VANTO_EDIT_IMPL_CHANGE_STORE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vanto::internal {

class ChangeStore {
 public:
  ChangeStore() = default;
  ChangeStore(const ChangeStore &) = delete;
  ChangeStore &operator=(const ChangeStore &) = delete;
  ~ChangeStore() { clear(); }

  // The change list: applied changes, oldest first.
  size_t size() const { return applied_; }
  bool empty() const { return applied_ == 0; }
  vanto_change_struct *operator[](size_t i) const { return at(i); }
  vanto_change_struct *back() const { return at(applied_ - 1); }

  // The undone list, the most recently undone last: index 0 is the oldest
  // undone change.
  size_t undone_size() const { return total_ - applied_; }
  bool undone_empty() const { return undone_size() == 0; }
  vanto_change_struct *undone(size_t j) const { return at(total_ - 1 - j); }
  vanto_change_struct *last_undone() const { return at(applied_); }

  // A new applied change at the end, with an empty record; the undone list
  // must be empty.  Null when memory runs out.
  vanto_change_struct *add();
  // Bytes for `change` (length bytes plus a terminating zero, zeroed), from
  // the arena or a heap block of their own.  False when memory runs out.
  bool allocate_bytes(vanto_change_struct &change, int64_t length);

  // Pieces a change replaced, kept for its undo: `keep` stores them and
  // notes their number in the change (any pieces kept before are dropped);
  // `kept` reads them; `forget_undo` drops them with the change's undo
  // flags.  Throws std::bad_alloc when memory runs out.
  void keep(vanto_change_struct &change, std::vector<Piece> &&pieces);
  const std::vector<Piece> &kept(const vanto_change_struct &change) const {
    return kept_[change.kept_pieces - 1];
  }
  void forget_undo(vanto_change_struct &change);

  // Drops the newest change (a new change that could not be applied).
  void drop_last() { truncate(total_ - 1); }
  // Undo: the newest applied change becomes the most recently undone one.
  void undo_last() { --applied_; }
  // Redo: the most recently undone change is applied again.
  void redo_last() { ++applied_; }
  // Back to undone after a redo that could not be applied.
  void unredo_last() { --applied_; }

  // Empties the undone list / both lists.
  void clear_undone() { truncate(applied_); }
  // Frees everything at once: each record frees only what it owns (heap
  // bytes, kept pieces), and the blocks and the arena go whole.
  void clear() {
    kept_.clear();
    kept_free_.clear();
    blocks_.clear();
    arena_.clear();
    arena_block_ = 0;
    applied_ = total_ = 0;
  }

 private:
  static constexpr size_t kBlockShift = 12;
  static constexpr size_t kBlockRecords = size_t{1} << kBlockShift;  // records per block
  static constexpr size_t kArenaBlock = size_t{256} << 10;            // bytes per arena block
  static constexpr int64_t kArenaLimit = 16 << 10;                    // larger changes go to the heap

  struct ArenaBlock {
    std::unique_ptr<unsigned char[]> bytes;
    size_t used = 0;
  };

  vanto_change_struct *at(size_t i) const {
    return &blocks_[i >> kBlockShift][i & (kBlockRecords - 1)];
  }
  // Drops every change from index `keep` on, newest first.
  void truncate(size_t keep);

  std::vector<std::unique_ptr<vanto_change_struct[]>> blocks_;
  std::vector<std::vector<Piece>> kept_;
  std::vector<uint32_t> kept_free_;  // unused entries of kept_
  std::vector<ArenaBlock> arena_;
  size_t arena_block_ = 0;  // the block new bytes go to
  size_t applied_ = 0;
  size_t total_ = 0;
};

}  // namespace vanto::internal

#endif  // VANTO_EDIT_IMPL_CHANGE_STORE_H
