// The store of a model's changes and their bytes.
#include <cstdlib>
#include <cstring>
#include <new>

#include "impl_/records.h"

namespace vanto::internal {

vanto_change_struct *ChangeStore::add() {
  if (total_ == blocks_.size() * kBlockRecords) {
    std::unique_ptr<vanto_change_struct[]> block(new (std::nothrow) vanto_change_struct[kBlockRecords]);
    if (!block) return nullptr;
    blocks_.push_back(std::move(block));
  }
  vanto_change_struct *change = at(total_);
  ++total_;
  applied_ = total_;
  return change;
}

bool ChangeStore::allocate_bytes(vanto_change_struct &change, int64_t length) {
  change.data.bytes_ptr = nullptr;
  for (auto &b : change.data.sm_bytes) b = 0;
  if (is_inline_size(length)) {
    change.owns_bytes = kBytesHeap;  // inline: nothing to free
    return true;
  }
  const size_t need = static_cast<size_t>(length) + 1;
  if (length > kArenaLimit) {
    change.data.bytes_ptr = static_cast<unsigned char *>(std::calloc(need, 1));
    if (change.data.bytes_ptr == nullptr) return false;
    change.owns_bytes = kBytesHeap;
    return true;
  }
  if (arena_.empty() || arena_[arena_block_].used + need > kArenaBlock) {
    if (!arena_.empty() && arena_block_ + 1 < arena_.size()) {
      ++arena_block_;
    } else {
      ArenaBlock block;
      block.bytes.reset(new (std::nothrow) unsigned char[kArenaBlock]);
      if (!block.bytes) return false;
      arena_.push_back(std::move(block));
      arena_block_ = arena_.size() - 1;
    }
  }
  ArenaBlock &block = arena_[arena_block_];
  change.data.bytes_ptr = block.bytes.get() + block.used;
  std::memset(change.data.bytes_ptr, 0, need);
  block.used += need;
  change.owns_bytes = kBytesArena;
  return true;
}

void ChangeStore::keep(vanto_change_struct &change, std::vector<Piece> &&pieces) {
  forget_undo(change);
  uint32_t slot = 0;
  if (!kept_free_.empty()) {
    slot = kept_free_.back();
    kept_free_.pop_back();
    kept_[slot] = std::move(pieces);
  } else {
    slot = static_cast<uint32_t>(kept_.size());
    kept_.push_back(std::move(pieces));
  }
  change.kept_pieces = slot + 1;
}

void ChangeStore::forget_undo(vanto_change_struct &change) {
  if (change.kept_pieces != 0) {
    const uint32_t slot = change.kept_pieces - 1;
    std::vector<Piece>().swap(kept_[slot]);
    kept_free_.push_back(slot);
    change.kept_pieces = 0;
  }
  change.undo = 0;
}

void ChangeStore::truncate(size_t keep) {
  if (keep >= total_) return;
  const unsigned char *rewind = nullptr;
  for (size_t i = total_; i-- > keep;) {
    vanto_change_struct *change = at(i);
    if (change->owns_bytes == kBytesArena) rewind = change->data.bytes_ptr;
    forget_undo(*change);
    change->~vanto_change_struct();
    new (change) vanto_change_struct();
  }
  if (rewind != nullptr) {
    // The oldest arena bytes dropped: everything from there on is free.
    for (size_t b = arena_block_ + 1; b-- > 0;) {
      const unsigned char *base = arena_[b].bytes.get();
      if (rewind >= base && rewind < base + kArenaBlock) {
        arena_[b].used = static_cast<size_t>(rewind - base);
        for (size_t later = b + 1; later < arena_.size(); ++later) arena_[later].used = 0;
        arena_block_ = b;
        break;
      }
    }
  }
  total_ = keep;
  if (applied_ > keep) applied_ = keep;
}

}  // namespace vanto::internal
