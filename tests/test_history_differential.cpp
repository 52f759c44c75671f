// Randomized differential test of edits and their history.
//
// A fixed-seed stream of inserts, deletes, overwrites, undos, redos,
// transactions, pauses and clears is run against the library and against a
// plain reference that keeps the whole data as a string and its own history
// (each applied change remembers the data before it).  After every operation
// the results, the whole data, the history counts and the model check must
// agree.  Clearing every few hundred operations keeps the change lists, and
// with them the cost of each undo's rebuild, small.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"
#include "vanto_edit.h"

namespace {

using vanto::test::random_bytes;
using vanto::test::ScratchDir;
using vanto::test::write_file;

struct RefChange {
  int64_t serial;
  bool bit;
  int kind;
  int64_t offset;
  int64_t length;
  std::string bytes;
  std::string before;  // the whole data before the change
};

// The expected behaviour, written from the rules of the interface only.
class Reference {
 public:
  explicit Reference(std::string base) : base_(std::move(base)), data_(base_) {}

  const std::string &data() const { return data_; }
  int64_t num_changes() const { return static_cast<int64_t>(applied_.size()); }
  int64_t num_undone() const { return static_cast<int64_t>(undone_.size()); }
  int64_t transactions() const { return runs(applied_); }
  int64_t undone_transactions() const { return runs(undone_); }
  int64_t last_serial() const { return applied_.empty() ? 0 : applied_.back().serial; }
  int64_t last_undo_serial() const { return undone_.empty() ? 0 : -undone_.back().serial; }
  int transaction_state() const { return !open_ ? 0 : (has_change_ ? 2 : 1); }
  bool paused() const { return paused_; }

  int64_t insert(int64_t offset, const std::string &bytes) {
    if (paused_ || offset < 0 || offset > size()) return 0;
    return record(CHANGE_INSERT, offset, static_cast<int64_t>(bytes.size()), bytes);
  }
  int64_t erase(int64_t offset, int64_t length) {
    if (paused_ || length <= 0 || offset < 0 || offset >= size()) return 0;
    return record(CHANGE_DELETE, offset, std::min(length, size() - offset), {});
  }
  int64_t overwrite(int64_t offset, const std::string &bytes) {
    if (paused_ || offset < 0 || offset > size()) return 0;
    return record(CHANGE_OVERWRITE, offset, static_cast<int64_t>(bytes.size()), bytes);
  }

  int64_t undo() {
    if (paused_ || applied_.empty()) return 0;
    RefChange change;
    do {
      change = applied_.back();
      applied_.pop_back();
      data_ = change.before;
      undone_.push_back(change);
    } while (!applied_.empty() && applied_.back().bit == change.bit);
    return -change.serial;
  }

  int64_t redo() {
    if (paused_ || undone_.empty()) return 0;
    RefChange change;
    do {
      change = undone_.back();
      undone_.pop_back();
      apply(change);
      applied_.push_back(change);
    } while (!undone_.empty() && undone_.back().bit == change.bit);
    return change.serial;
  }

  void clear() {
    data_ = base_;
    applied_.clear();
    undone_.clear();
  }

  int begin() {
    if (open_) return -1;
    open_ = true;
    return 0;
  }
  int end() {
    if (!open_) return -1;
    open_ = has_change_ = false;
    return 0;
  }
  void pause() { paused_ = true; }
  void resume() { paused_ = false; }

  // The serials of the applied changes, oldest first.
  std::vector<int64_t> serials() const {
    std::vector<int64_t> out;
    for (const RefChange &c : applied_) out.push_back(c.serial);
    return out;
  }

 private:
  int64_t size() const { return static_cast<int64_t>(data_.size()); }

  static int64_t runs(const std::vector<RefChange> &list) {
    int64_t n = 0;
    for (size_t i = 0; i < list.size(); ++i) {
      if (i == 0 || list[i].bit != list[i - 1].bit) ++n;
    }
    return n;
  }

  int64_t record(int kind, int64_t offset, int64_t length, std::string bytes) {
    const bool last = applied_.empty() ? true : applied_.back().bit;
    bool bit = !last;
    if (open_) {
      if (has_change_) bit = last;
      has_change_ = true;
    }
    undone_.clear();
    RefChange change{num_changes() + 1, bit, kind, offset, length, std::move(bytes), data_};
    apply(change);
    applied_.push_back(change);
    return change.serial;
  }

  void apply(const RefChange &c) {
    const auto off = static_cast<size_t>(c.offset);
    const auto len = static_cast<size_t>(c.length);
    switch (c.kind) {
      case CHANGE_DELETE:
        data_.erase(off, len);
        break;
      case CHANGE_INSERT:
        data_.insert(off, c.bytes);
        break;
      default:
        data_.replace(off, std::min(len, data_.size() - off), c.bytes);
        break;
    }
  }

  std::string base_;
  std::string data_;
  std::vector<RefChange> applied_, undone_;
  bool open_ = false, has_change_ = false, paused_ = false;
};

std::string data_of(const vanto_session_t *session) {
  return vanto_session_get_segment_string(session, 0, vanto_session_get_computed_file_size(session));
}

int collect_serial(const vanto_change_t *change, void *user_data) {
  static_cast<std::vector<int64_t> *>(user_data)->push_back(vanto_change_get_serial(change));
  return 0;
}

struct Config {
  const char *name;
  size_t file_size;  // 0: a session on nothing
  uint64_t seed;
  int operations;
  int clear_every;
};

void run_differential(const Config &config) {
  SCOPED_TRACE(config.name);
  ScratchDir dir;
  const std::string base = random_bytes(config.file_size, config.seed ^ 0x5EED);
  std::string path;
  if (config.file_size > 0) {
    path = dir.file("base.bin");
    write_file(path, base);
  }
  vanto_session_t *session =
      vanto_edit_create_session(path.empty() ? nullptr : path.c_str(), nullptr, nullptr, 0);
  ASSERT_NE(session, nullptr);
  Reference ref(base);
  std::mt19937_64 rng(config.seed);
  auto below = [&rng](int64_t n) { return n <= 0 ? int64_t{0} : static_cast<int64_t>(rng() % static_cast<uint64_t>(n)); };
  auto some_bytes = [&]() {
    // Mostly short runs (stored inline below 8 bytes), sometimes longer ones.
    const int64_t n = below(4) == 0 ? 8 + below(56) : 1 + below(12);
    return random_bytes(static_cast<size_t>(n), rng());
  };

  int counts[10] = {};
  for (int op = 0; op < config.operations; ++op) {
    const int64_t size = static_cast<int64_t>(ref.data().size());
    ASSERT_EQ(vanto_session_get_computed_file_size(session), size);
    const int64_t pick = below(100);
    std::string what;
    int64_t got = 0, want = 0;
    if (ref.paused() && below(5) == 0) {
      what = "resume";
      vanto_session_resume_changes(session);
      ref.resume();
      counts[9]++;
    } else if (config.clear_every > 0 && op % config.clear_every == config.clear_every - 1) {
      what = "clear";
      got = vanto_edit_clear_changes(session);
      ref.clear();
      counts[7]++;
    } else if (pick < 22) {
      const int64_t offset = below(size + 1);
      const std::string bytes = below(20) == 0 ? std::string() : some_bytes();
      what = "insert " + std::to_string(offset) + " +" + std::to_string(bytes.size());
      got = bytes.empty() ? vanto_edit_insert(session, offset, "", 0)
                          : vanto_edit_insert_bytes(session, offset,
                                                    reinterpret_cast<const unsigned char *>(bytes.data()),
                                                    static_cast<int64_t>(bytes.size()));
      want = ref.insert(offset, bytes);
      counts[0]++;
    } else if (pick < 40) {
      // Now and then at or past the end, which is refused.
      const int64_t offset = below(size + 2);
      const int64_t length = 1 + below(below(8) == 0 ? 200 : 24);
      what = "delete " + std::to_string(offset) + " -" + std::to_string(length);
      got = vanto_edit_delete(session, offset, length);
      want = ref.erase(offset, length);
      counts[1]++;
    } else if (pick < 55) {
      const int64_t offset = below(size + 1);
      const std::string bytes = some_bytes();
      what = "overwrite " + std::to_string(offset) + " =" + std::to_string(bytes.size());
      got = vanto_edit_overwrite_bytes(session, offset,
                                       reinterpret_cast<const unsigned char *>(bytes.data()),
                                       static_cast<int64_t>(bytes.size()));
      want = ref.overwrite(offset, bytes);
      counts[2]++;
    } else if (pick < 75) {
      what = "undo";
      got = vanto_edit_undo_last_change(session);
      want = ref.undo();
      counts[3]++;
    } else if (pick < 90) {
      what = "redo";
      got = vanto_edit_redo_last_undo(session);
      want = ref.redo();
      counts[4]++;
    } else if (pick < 95) {
      what = "begin";
      got = vanto_session_begin_transaction(session);
      want = ref.begin();
      counts[5]++;
    } else if (pick < 99) {
      what = "end";
      got = vanto_session_end_transaction(session);
      want = ref.end();
      counts[6]++;
    } else {
      what = "pause";
      vanto_session_pause_changes(session);
      ref.pause();
      counts[8]++;
    }
    SCOPED_TRACE("operation " + std::to_string(op) + ": " + what);
    ASSERT_EQ(got, want);
    ASSERT_EQ(data_of(session), ref.data());
    ASSERT_EQ(vanto_session_get_num_changes(session), ref.num_changes());
    ASSERT_EQ(vanto_session_get_num_undone_changes(session), ref.num_undone());
    ASSERT_EQ(vanto_session_get_num_change_transactions(session), ref.transactions());
    ASSERT_EQ(vanto_session_get_num_undone_change_transactions(session), ref.undone_transactions());
    ASSERT_EQ(vanto_change_get_serial(vanto_session_get_last_change(session)), ref.last_serial());
    ASSERT_EQ(vanto_change_get_serial(vanto_session_get_last_undo(session)), ref.last_undo_serial());
    ASSERT_EQ(vanto_session_get_transaction_state(session), ref.transaction_state());
    ASSERT_EQ(vanto_session_changes_paused(session), ref.paused() ? 1 : 0);
    ASSERT_EQ(vanto_check_model(session), 0);
    if (op % 16 == 0) {
      std::vector<int64_t> visited;
      ASSERT_EQ(vanto_visit_changes(session, collect_serial, &visited), 0);
      ASSERT_EQ(visited, ref.serials());
      for (int64_t serial = 1; serial <= ref.num_changes(); ++serial) {
        ASSERT_EQ(vanto_change_get_serial(vanto_session_get_change(session, serial)), serial);
      }
    }
  }
  // The stream must really have exercised every kind of operation.
  for (int i = 0; i < 10; ++i) {
    if (i == 7 && config.clear_every == 0) continue;
    EXPECT_GT(counts[i], 0) << "operation kind " << i;
  }
  vanto_edit_destroy_session(session);
}

TEST(HistoryDifferential, FileBackedSession) {
  run_differential({"file of 1000 bytes", 1000, 20240611, 4000, 300});
}

TEST(HistoryDifferential, SessionOnNothing) {
  run_differential({"no file", 0, 77, 3000, 250});
}

TEST(HistoryDifferential, LongHistoryWithoutClearing) {
  // Fewer operations, but the history grows to hundreds of changes, each
  // undo restoring what its change replaced.
  run_differential({"long history", 300, 4242, 3000, 0});
}

}  // namespace
