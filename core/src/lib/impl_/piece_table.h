// The ordered pieces of one model, behind one small interface.
//
// Everything that looks at a model's pieces (the model update, reads, undo,
// the save, the printers and the model check) goes through this class, so
// that the representation can change without touching them.
//
// Representation: a B+-tree.  Leaves hold up to kLeafMax pieces in order and
// are linked to their neighbours, so a walk from any piece to the next costs
// a step; inner nodes hold up to kInnerMax children together with the byte
// length and the piece count of each child's subtree.  A piece stores only
// its length and its source; where it starts in the edited data is the sum
// of the lengths before it, found on the way down from the root.  Finding
// the piece at an offset or at a rank, inserting, splitting, trimming and
// erasing one piece each touch one leaf and the path above it: O(log n), and
// no step depends on the total number of pieces.  Nodes other than the root
// never fall below a quarter of their capacity: a node that does borrows
// from a neighbour or merges with it.
//
// Ownership: a piece refers to its change by plain pointer.  The change must
// outlive every piece (and every undo record) that refers to it; the model's
// change store guarantees this (impl_/change_store.h).  Destroying a table
// frees its nodes in one walk, with no work per piece.
#ifndef VANTO_EDIT_IMPL_PIECE_TABLE_H
#define VANTO_EDIT_IMPL_PIECE_TABLE_H

#include <cstddef>
#include <cstdint>
#include <iterator>

struct vanto_change_struct;

// One piece of the edited data as the model's users see it: `computed_length`
// bytes at `computed_offset`, taken from the change's bytes (or, for a read
// piece, the backing file) starting at `change_offset`.
struct vanto_model_segment_struct {
  int64_t computed_offset = 0;
  int64_t computed_length = 0;
  int64_t change_offset = 0;
  vanto_change_struct *change = nullptr;
};

namespace vanto::internal {

// A piece with the offset the walk found it at: the record the model's
// iterator yields (its public name is the model segment record).
using PlacedPiece = vanto_model_segment_struct;

// Where the pieces were found out of step with what the tree records: the
// value recorded and the value found.  Filled by PieceTable::check() and by
// find_covering().
struct ContinuityBreak {
  bool broken = false;
  int64_t expected = 0;
  int64_t got = 0;
};

// A piece as stored: its start is derived, not kept.
struct Piece {
  int64_t length = 0;
  int64_t change_offset = 0;
  vanto_change_struct *change = nullptr;
};

class PieceTable {
 public:
  static constexpr int kLeafMax = 64;
  static constexpr int kInnerMax = 64;
  static constexpr int kLeafMin = kLeafMax / 4;
  static constexpr int kInnerMin = kInnerMax / 4;

  struct Inner;
  struct Node {
    Inner *parent = nullptr;
    uint16_t count = 0;  // pieces (leaf) or children (inner)
    uint16_t slot = 0;   // index in the parent's children
    bool leaf = true;
  };
  struct Leaf : Node {
    Leaf *prev = nullptr;
    Leaf *next = nullptr;
    Piece pieces[kLeafMax];
  };
  struct Inner : Node {
    Node *children[kInnerMax];
    int64_t lengths[kInnerMax];  // bytes under each child
    int64_t counts[kInnerMax];   // pieces under each child
  };

  // Position of one piece: its leaf and index there.  The end position has
  // no leaf.
  struct Pos {
    Leaf *leaf = nullptr;
    int index = 0;
    bool operator==(const Pos &) const = default;
  };

  // In-order walk that yields each piece with its derived offset.
  class ConstIterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = PlacedPiece;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = PlacedPiece;

    ConstIterator() = default;
    ConstIterator(Pos pos, int64_t offset) : pos_(pos), offset_(offset) {}
    PlacedPiece operator*() const {
      const Piece &p = pos_.leaf->pieces[pos_.index];
      return PlacedPiece{offset_, p.length, p.change_offset, p.change};
    }
    ConstIterator &operator++() {
      // Saturating: a walk over a broken tree (printed for diagnosis) must
      // not overflow.
      if (__builtin_add_overflow(offset_, pos_.leaf->pieces[pos_.index].length, &offset_)) {
        offset_ = INT64_MAX;
      }
      pos_ = PieceTable::next(pos_);
      return *this;
    }
    ConstIterator operator++(int) {
      ConstIterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const ConstIterator &other) const { return pos_ == other.pos_; }
    bool operator!=(const ConstIterator &other) const { return !(pos_ == other.pos_); }
    Pos pos() const { return pos_; }

   private:
    Pos pos_{};
    int64_t offset_ = 0;
  };

  PieceTable() = default;
  PieceTable(const PieceTable &) = delete;
  PieceTable &operator=(const PieceTable &) = delete;
  PieceTable(PieceTable &&other) noexcept { take(other); }
  PieceTable &operator=(PieceTable &&other) noexcept {
    if (this != &other) {
      clear();
      take(other);
    }
    return *this;
  }
  ~PieceTable() { clear(); }

  bool empty() const { return count_ == 0; }
  int64_t count() const { return count_; }
  int64_t total_length() const { return total_; }

  ConstIterator begin() const { return ConstIterator(Pos{count_ > 0 ? first_ : nullptr, 0}, 0); }
  ConstIterator end() const { return ConstIterator(end_pos(), total_); }

  Pos begin_pos() const { return Pos{count_ > 0 ? first_ : nullptr, 0}; }
  static Pos end_pos() { return Pos{}; }
  static Pos next(Pos pos) {
    if (++pos.index < pos.leaf->count) return pos;
    return Pos{pos.leaf->next, 0};
  }
  const Piece &piece(Pos pos) const { return pos.leaf->pieces[pos.index]; }
  Piece &piece(Pos pos) { return pos.leaf->pieces[pos.index]; }

  // Where the piece at `pos` starts in the edited data, and its rank (the
  // number of pieces before it).  The end position gives the totals.
  int64_t offset_of(Pos pos) const;
  int64_t rank_of(Pos pos) const;
  // The piece of rank `rank`, or end_pos() for rank == count().
  Pos at_rank(int64_t rank) const;

  // Frees every node at once.
  void clear();

  void push_back(Piece piece) { insert(end_pos(), piece); }

  // The first piece whose closed range [start, start + length] holds
  // `target`; a target on the boundary between two pieces is held by the
  // earlier one.  Returns end_pos() when none does (target negative or
  // beyond the end).  `start_out` receives the piece's start.  When the
  // leaf the inner nodes lead to ends before the target (the tree lost its
  // continuity), the length recorded for the leaf and the length of its
  // pieces are reported through `brk`, with end_pos() as the result.
  Pos find_covering(int64_t target, int64_t *start_out, ContinuityBreak *brk) const;

  // Inserts a piece before `pos` and returns its position.
  Pos insert(Pos pos, Piece piece);

  // Splits the piece at `pos` after its first `delta` bytes (0 < delta <
  // length); both halves show the same source.  Returns the second half.
  Pos split(Pos pos, int64_t delta);

  // Removes the piece at `pos` and returns the position of the piece that
  // followed it.
  Pos erase(Pos pos);

  // Drops the first `bytes` bytes of the piece at `pos`.
  void trim_front(Pos pos, int64_t bytes);

  // Verifies the whole tree: every subtree's recorded length and count equal
  // to those of its pieces, parent links and slots right, every leaf at the
  // same depth, node fill within bounds, the leaf chain in order, no
  // negative length, totals right.  Reports the first mismatch.
  bool check(ContinuityBreak *brk) const;

  // Depth of the tree (1 for a single leaf, 0 when empty).
  int height() const;

 private:
  friend struct PieceTableTestAccess;  // white-box tests corrupt the tree on purpose

  void take(PieceTable &other) {
    root_ = other.root_;
    first_ = other.first_;
    last_ = other.last_;
    total_ = other.total_;
    count_ = other.count_;
    other.root_ = nullptr;
    other.first_ = other.last_ = nullptr;
    other.total_ = other.count_ = 0;
  }

  // Adds `length` bytes and `count` pieces to every subtree above `node`.
  void grow(Node *node, int64_t length, int64_t count);
  // Inserts `child` into `parent` at `slot`, splitting full nodes upwards.
  void grow_root();
  void insert_child(Inner *parent, int slot, Node *child, int64_t length, int64_t count);
  Leaf *split_leaf(Leaf *leaf, int half);
  Pos make_room(Pos pos);
  void rebalance(Node *node);
  void remove_child(Inner *parent, int slot);
  static void renumber(Inner *node, int from);
  static int64_t leaf_length(const Leaf *leaf);
  // Recorded length and count of `node` (from its parent, or the totals).
  int64_t recorded_length(const Node *node) const;
  bool check_node(const Node *node, int depth, int leaf_depth, int64_t *length, int64_t *count,
                  const Leaf **expected_leaf, int64_t offset, ContinuityBreak *brk) const;

  Node *root_ = nullptr;
  Leaf *first_ = nullptr;
  Leaf *last_ = nullptr;
  int64_t total_ = 0;
  int64_t count_ = 0;
};

}  // namespace vanto::internal

#endif  // VANTO_EDIT_IMPL_PIECE_TABLE_H
