// Differential fuzz target: a session driven through the public C API beside
// a plain in-memory reference.
//
// The input is decoded (FuzzedDataProvider) into a base file and a sequence
// of operations: inserts, deletes and overwrites (mostly at valid offsets,
// sometimes at raw 64-bit values that must be refused without any effect),
// segment reads, fixed and floating viewports, undo, redo, transactions,
// pausing, clearing, checkpoints and their destruction, transforms, searches
// (exact and masked, stepped forward and backward and counted; kept contexts
// included), profiles and saves (to new names, under free
// names, over earlier saves, over the session's own file, onto a checkpoint
// file).  The reference keeps the whole data as a string per checkpoint
// level with its own history; after every operation the sizes, the change
// counts, a window of the data and every viewport must agree, and at the end
// the whole data, every saved file and the session's own file.  A refused
// call must deliver no event.  Any disagreement aborts with a message.
//
// Files live under /dev/shm (a memory-backed directory) when it exists, in a
// directory of their own per process, emptied for each input.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <signal.h>
#include <unistd.h>

#include "vanto_edit.h"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const std::string &what) {
  std::fprintf(stderr, "fuzz_session: MISMATCH: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

#define FUZZ_CHECK(cond, msg)                                     \
  do {                                                            \
    if (!(cond)) {                                                \
      std::ostringstream fuzz_check_out;                          \
      fuzz_check_out << #cond << " | " << msg;                    \
      fail(fuzz_check_out.str());                                 \
    }                                                             \
  } while (0)

std::string read_whole(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail("cannot read " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_whole(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) fail("cannot write " + path);
}

// ---- the reference ---------------------------------------------------------

struct RefChange {
  int64_t serial;
  bool bit;
  int kind;
  int64_t offset;
  int64_t length;
  std::string bytes;
  std::string before;  // the whole data of the level before the change
};

struct Level {
  std::string data;
  std::vector<RefChange> applied, undone;
};

struct RefViewport {
  vanto_viewport_t *handle;
  int64_t base;
  int64_t adjustment;
  int64_t capacity;
  bool floating;
};

int64_t sat_add(int64_t a, int64_t b) {
  int64_t r = 0;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
  return r;
}

int64_t vp_offset(const RefViewport &v) { return sat_add(v.base, v.adjustment); }

struct RefSearch {
  vanto_search_context_t *handle;
  std::string pattern;  // folded when case-insensitive, then masked
  bool folded;
  int64_t start, length, match;
  std::string mask;  // one byte per pattern byte; empty for an exact search
  int64_t end() const { return start + length; }
};

unsigned char fold(unsigned char c) { return static_cast<unsigned char>(std::tolower(c)); }

class Reference {
 public:
  std::vector<Level> levels;
  std::string file_data;  // what the session's own file holds
  bool open = false, has_change = false, paused = false;
  std::vector<RefViewport> viewports;

  explicit Reference(std::string base) : file_data(base) { levels.push_back(Level{std::move(base), {}, {}}); }

  Level &top() { return levels.back(); }
  const std::string &data() const { return levels.back().data; }
  int64_t size() const { return static_cast<int64_t>(levels.back().data.size()); }

  int64_t num_changes() const {
    int64_t n = 0;
    for (const Level &l : levels) n += static_cast<int64_t>(l.applied.size());
    return n;
  }
  static int64_t runs(const std::vector<RefChange> &list) {
    int64_t n = 0;
    for (size_t i = 0; i < list.size(); ++i) {
      if (i == 0 || list[i].bit != list[i - 1].bit) ++n;
    }
    return n;
  }
  int64_t transactions() const {
    int64_t n = 0;
    for (const Level &l : levels) n += runs(l.applied);
    return n;
  }
  int64_t undone_transactions() const {
    int64_t n = 0;
    for (const Level &l : levels) n += runs(l.undone);
    return n;
  }

  // Floating viewports move with inserts and deletes at or before them,
  // never below offset 0; an undone change moves them as its inverse.
  void move_viewports(int kind, int64_t offset, int64_t length, bool inverse) {
    if (inverse) {
      if (kind == CHANGE_INSERT) {
        kind = CHANGE_DELETE;
      } else if (kind == CHANGE_DELETE) {
        kind = CHANGE_INSERT;
      } else {
        return;
      }
    }
    for (RefViewport &v : viewports) {
      if (!v.floating || offset > vp_offset(v)) continue;
      if (kind == CHANGE_DELETE) {
        v.adjustment = std::max(v.adjustment - length, -v.base);
      } else if (kind == CHANGE_INSERT) {
        v.adjustment += length;
      }
    }
  }

  void apply(const RefChange &c) {
    std::string &d = top().data;
    const auto off = static_cast<size_t>(c.offset);
    const auto len = static_cast<size_t>(c.length);
    switch (c.kind) {
      case CHANGE_DELETE:
        d.erase(off, len);
        break;
      case CHANGE_INSERT:
        d.insert(off, c.bytes);
        break;
      default:
        d.replace(off, std::min(len, d.size() - off), c.bytes);
        break;
    }
  }

  int64_t record(int kind, int64_t offset, int64_t length, std::string bytes) {
    const bool last = top().applied.empty() ? true : top().applied.back().bit;
    bool bit = !last;
    if (open) {
      if (has_change) bit = last;
      has_change = true;
    }
    // A new change clears the redo history of its own level only.
    top().undone.clear();
    RefChange change{num_changes() + 1, bit, kind, offset, length, std::move(bytes), data()};
    apply(change);
    top().applied.push_back(change);
    move_viewports(kind, offset, length, false);
    return change.serial;
  }

  int64_t insert(int64_t offset, const std::string &bytes) {
    if (paused || offset < 0 || offset > size()) return 0;
    return record(CHANGE_INSERT, offset, static_cast<int64_t>(bytes.size()), bytes);
  }
  int64_t overwrite(int64_t offset, const std::string &bytes) {
    if (paused || offset < 0 || offset > size()) return 0;
    return record(CHANGE_OVERWRITE, offset, static_cast<int64_t>(bytes.size()), bytes);
  }
  int64_t erase(int64_t offset, int64_t length) {
    if (paused || length <= 0 || offset < 0 || offset >= size()) return 0;
    return record(CHANGE_DELETE, offset, std::min(length, size() - offset), {});
  }

  int64_t undo() {
    if (paused || top().applied.empty()) return 0;
    RefChange change;
    do {
      change = top().applied.back();
      top().applied.pop_back();
      top().data = change.before;
      change.serial = -change.serial;
      top().undone.push_back(change);
      move_viewports(change.kind, change.offset, change.length, true);
    } while (!top().applied.empty() && top().applied.back().bit == change.bit);
    return change.serial;
  }

  int64_t redo() {
    if (paused || top().undone.empty()) return 0;
    RefChange change;
    do {
      change = top().undone.back();
      top().undone.pop_back();
      change.serial = -change.serial;
      change.before = data();
      apply(change);
      top().applied.push_back(change);
      move_viewports(change.kind, change.offset, change.length, false);
    } while (!top().undone.empty() && top().undone.back().bit == change.bit);
    return change.serial;
  }

  void clear() {
    levels.clear();
    levels.push_back(Level{file_data, {}, {}});
  }

  void rebase() {
    file_data = data();
    levels.clear();
    levels.push_back(Level{file_data, {}, {}});
  }

  void checkpoint() { levels.push_back(Level{data(), {}, {}}); }

  int destroy_checkpoint() {
    if (levels.size() < 2) return -1;
    levels.pop_back();
    return 0;
  }

  // Expected data of a viewport: empty data reads as an empty buffer; an
  // offset outside the data reads as nothing (-1).
  // Empty data reads as an empty buffer (but see check_state).
  bool viewport_data(const RefViewport &v, std::string &out) const {
    const int64_t offset = vp_offset(v);
    out.clear();
    if (size() == 0) return true;
    if (offset < 0 || offset > size()) return false;
    out = data().substr(static_cast<size_t>(offset),
                        static_cast<size_t>(std::min(v.capacity, size() - offset)));
    return true;
  }

  int search_next(RefSearch &s, int64_t advance) const {
    if (advance < 1) return 0;
    int64_t start = s.start;
    if (s.match != s.end()) {
      if (advance >= s.end() - s.match) {
        s.match = s.end();
        return 0;
      }
      start = s.match + advance;
    }
    const auto plen = static_cast<int64_t>(s.pattern.size());
    if (s.end() - start < plen) {
      s.match = s.end();
      return 0;
    }
    // Nothing lies before the data: the search begins where the range meets
    // it.  A start beyond the end finds nothing.
    start = std::max<int64_t>(start, 0);
    if (s.end() - start < plen || start > size()) {
      s.match = s.end();
      return 0;
    }
    const int64_t limit = std::min(s.end(), size());
    for (int64_t p = start; p + plen <= limit; ++p) {
      if (matches_at(s, p)) {
        s.match = p;
        return 1;
      }
    }
    s.match = s.end();
    return 0;
  }

  // Whether the search's pattern matches the data at p (p + length inside).
  bool matches_at(const RefSearch &s, int64_t p) const {
    for (size_t i = 0; i < s.pattern.size(); ++i) {
      auto c = static_cast<unsigned char>(data()[static_cast<size_t>(p) + i]);
      if (s.folded) c = fold(c);
      if (!s.mask.empty()) c &= static_cast<unsigned char>(s.mask[i]);
      if (c != static_cast<unsigned char>(s.pattern[i])) return false;
    }
    return true;
  }

  // The mirror of search_next: the last match at or before match - advance.
  int search_prev(RefSearch &s, int64_t advance) const {
    if (advance < 1) return 0;
    const auto plen = static_cast<int64_t>(s.pattern.size());
    int64_t last = s.end() - plen;
    if (s.match != s.end()) {
      if (advance > s.match - s.start) {
        s.match = s.end();
        return 0;
      }
      last = s.match - advance;
    }
    last = std::min(last, size() - plen);
    for (int64_t p = last; p >= std::max<int64_t>(s.start, 0); --p) {
      if (matches_at(s, p)) {
        s.match = p;
        return 1;
      }
    }
    s.match = s.end();
    return 0;
  }

  // The matches in the whole range, resuming at each plus advance.
  int64_t search_count(const RefSearch &s, int64_t advance) const {
    if (advance < 1) return -1;
    const auto plen = static_cast<int64_t>(s.pattern.size());
    const int64_t limit = std::min(s.end(), size());
    int64_t count = 0;
    for (int64_t p = std::max<int64_t>(s.start, 0); p + plen <= limit;) {
      if (matches_at(s, p)) {
        ++count;
        if (advance > limit - p) break;
        p += advance;
      } else {
        ++p;
      }
    }
    return count;
  }
};

// ---- the library side --------------------------------------------------------

int64_t g_events = 0;

void count_session_event(const vanto_session_t *, int32_t, const void *) { ++g_events; }
void count_viewport_event(const vanto_viewport_t *, int32_t, const void *) { ++g_events; }

struct TransformKey {
  unsigned char key;
  bool add;
};

unsigned char transform_byte(unsigned char byte, void *user_data) {
  const auto *k = static_cast<const TransformKey *>(user_data);
  return static_cast<unsigned char>(k->add ? byte + k->key : byte ^ k->key);
}

const fs::path &work_root() {
  static const fs::path root = [] {
    std::error_code ec;
    fs::path base = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
    // Directories of earlier processes that ended without cleaning up (a
    // crash, or libFuzzer's own exit) are removed first.
    for (const auto &entry : fs::directory_iterator(base, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("vanto-fuzz-", 0) != 0) continue;
      const long pid = std::strtol(name.c_str() + 11, nullptr, 10);
      if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
        std::error_code ignored;
        fs::remove_all(entry.path(), ignored);
      }
    }
    fs::path dir = base / ("vanto-fuzz-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::atexit([] {
      std::error_code e;
      fs::remove_all(work_root(), e);
    });
    return dir;
  }();
  return root;
}

// Names in `dir` (recursively) that start with the library's temporary prefixes.
std::vector<std::string> leftovers(const fs::path &dir, const std::string &prefix) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(prefix, 0) == 0) out.push_back(it->path().string());
  }
  return out;
}

// The first "<stem>-N<ext>" beside an existing regular file that is free.
std::string expected_free_name(const std::string &target) {
  const fs::path p(target);
  if (!fs::is_regular_file(p)) return target;
  for (int n = 1; n <= 999; ++n) {
    fs::path c = p.parent_path() / (p.stem().string() + "-" + std::to_string(n) + p.extension().string());
    if (!fs::is_regular_file(c)) return c.string();
  }
  return {};
}

class Driver {
 public:
  Driver(FuzzedDataProvider &in, Reference &ref, vanto_session_t *session, const fs::path &dir,
         const std::string &base_path)
      : in_(in), ref_(ref), s_(session), dir_(dir), base_path_(base_path) {
    probe_ = vanto_segment_create(64);
  }
  ~Driver() { vanto_segment_destroy(probe_); }

  void run() {
    int ops = 0;
    while (in_.remaining_bytes() > 0 && ops < 200) {
      const int op = in_.ConsumeIntegralInRange<int>(0, 23);
      ++ops;
      std::ostringstream what;
      what << "op " << ops << " kind " << op;
      op_ = what.str();
      step(op);
      check_state();
    }
    finish();
  }

 private:
  // An offset: mostly inside or just around the data, sometimes any 64-bit value.
  int64_t offset() {
    const int64_t size = ref_.size();
    switch (in_.ConsumeIntegralInRange<int>(0, 9)) {
      case 0:
        return in_.ConsumeIntegral<int64_t>();
      case 1: {
        static constexpr int64_t edges[] = {-1, INT64_MIN, INT64_MAX, INT64_MAX - 1, INT64_MIN + 1};
        return edges[in_.ConsumeIntegralInRange<size_t>(0, 4)];
      }
      case 2:
        return size + in_.ConsumeIntegralInRange<int64_t>(0, 2);
      default:
        return in_.ConsumeIntegralInRange<int64_t>(0, size);
    }
  }
  int64_t length(int64_t max_valid) {
    switch (in_.ConsumeIntegralInRange<int>(0, 9)) {
      case 0:
        return in_.ConsumeIntegral<int64_t>();
      case 1:
        return 0;
      case 2: {
        static constexpr int64_t edges[] = {-1, INT64_MIN, INT64_MAX};
        return edges[in_.ConsumeIntegralInRange<size_t>(0, 2)];
      }
      default:
        return in_.ConsumeIntegralInRange<int64_t>(1, std::max<int64_t>(1, max_valid));
    }
  }
  std::string bytes() {
    const size_t n = in_.ConsumeBool() ? in_.ConsumeIntegralInRange<size_t>(0, 7)
                                       : in_.ConsumeIntegralInRange<size_t>(0, 300);
    std::string b = in_.ConsumeBytesAsString(n);
    // Short inputs leave few bytes; repeat what there is so that lengths vary.
    while (b.size() < n) b.push_back(static_cast<char>('a' + b.size() % 5));
    return b;
  }

  void expect_quiet(int64_t before, const char *what) {
    FUZZ_CHECK(g_events == before, op_ << ": refused " << what << " delivered an event");
  }

  void step(int op) {
    const int64_t events_before = g_events;
    switch (op) {
      case 0:
      case 1:
      case 2:
        edit_bytes(op == 2 ? CHANGE_OVERWRITE : CHANGE_INSERT, events_before);
        break;
      case 3: {
        const int64_t off = offset();
        const int64_t len = length(ref_.size());
        const int64_t got = vanto_edit_delete(s_, off, len);
        const int64_t want = ref_.erase(off, len);
        FUZZ_CHECK(got == want, op_ << ": delete " << off << " " << len);
        if (want == 0) expect_quiet(events_before, "delete");
        break;
      }
      case 4:
        read_segment();
        break;
      case 5:
        create_viewport(events_before);
        break;
      case 6:
        modify_or_destroy_viewport();
        break;
      case 7: {
        const int64_t got = vanto_edit_undo_last_change(s_);
        const int64_t want = ref_.undo();
        FUZZ_CHECK(got == want, op_ << ": undo");
        if (want == 0) expect_quiet(events_before, "undo");
        break;
      }
      case 8: {
        const int64_t got = vanto_edit_redo_last_undo(s_);
        const int64_t want = ref_.redo();
        FUZZ_CHECK(got == want, op_ << ": redo");
        if (want == 0) expect_quiet(events_before, "redo");
        break;
      }
      case 9: {
        const int got = vanto_session_begin_transaction(s_);
        const int want = ref_.open ? -1 : 0;
        ref_.open = true;
        FUZZ_CHECK(got == want, op_ << ": begin");
        expect_quiet(events_before, "begin");
        break;
      }
      case 10: {
        const int got = vanto_session_end_transaction(s_);
        const int want = ref_.open ? 0 : -1;
        ref_.open = ref_.has_change = false;
        FUZZ_CHECK(got == want, op_ << ": end");
        expect_quiet(events_before, "end");
        break;
      }
      case 11:
        if (in_.ConsumeBool()) {
          vanto_session_pause_changes(s_);
          ref_.paused = true;
        } else {
          vanto_session_resume_changes(s_);
          ref_.paused = false;
        }
        break;
      case 12:
        FUZZ_CHECK(vanto_edit_clear_changes(s_) == 0, op_ << ": clear");
        ref_.clear();
        break;
      case 13:
        FUZZ_CHECK(vanto_edit_create_checkpoint(s_, chk_dir().c_str()) == 0, op_ << ": checkpoint");
        ref_.checkpoint();
        break;
      case 14: {
        const int got = vanto_edit_destroy_last_checkpoint(s_);
        const int want = ref_.destroy_checkpoint();
        FUZZ_CHECK(got == want, op_ << ": destroy checkpoint");
        if (want != 0) expect_quiet(events_before, "destroy checkpoint");
        break;
      }
      case 15:
        transform(events_before);
        break;
      case 16:
      case 17:
        search(events_before);
        break;
      case 18:
        continue_search();
        break;
      case 19:
        profile();
        break;
      case 20:
        save();
        break;
      case 21:
        history_queries();
        break;
      case 22:
        edit_bytes(in_.ConsumeBool() ? CHANGE_OVERWRITE : CHANGE_INSERT, events_before);
        break;
      default: {
        // A delete near the end or of everything: keeps sizes moving both ways.
        const int64_t off = in_.ConsumeIntegralInRange<int64_t>(0, std::max<int64_t>(0, ref_.size() - 1));
        const int64_t len = in_.ConsumeBool() ? INT64_MAX : in_.ConsumeIntegralInRange<int64_t>(1, 4096);
        const int64_t got = vanto_edit_delete(s_, off, len);
        const int64_t want = ref_.erase(off, len);
        FUZZ_CHECK(got == want, op_ << ": delete tail " << off << " " << len);
        break;
      }
    }
  }

  void edit_bytes(int kind, int64_t events_before) {
    const int64_t off = offset();
    const int form = in_.ConsumeIntegralInRange<int>(0, 9);
    const bool overwrite = kind == CHANGE_OVERWRITE;
    int64_t got = 0, want = 0;
    if (form == 0) {
      // A raw length with null bytes: refused unless negative-or-zero rules say otherwise.
      const int64_t len = in_.ConsumeBool() ? in_.ConsumeIntegral<int64_t>() : 0;
      got = overwrite ? vanto_edit_overwrite(s_, off, nullptr, len) : vanto_edit_insert(s_, off, nullptr, len);
      want = len != 0 ? 0 : (overwrite ? ref_.overwrite(off, {}) : ref_.insert(off, {}));
    } else if (form == 1) {
      // Length 0: the bytes are a zero-terminated text whose length is measured.
      const std::string b = bytes();
      got = overwrite ? vanto_edit_overwrite(s_, off, b.c_str(), 0) : vanto_edit_insert(s_, off, b.c_str(), 0);
      const std::string text(b.c_str());
      want = overwrite ? ref_.overwrite(off, text) : ref_.insert(off, text);
    } else if (form == 2) {
      const int64_t len = -in_.ConsumeIntegralInRange<int64_t>(1, INT64_MAX);
      const std::string b = bytes();
      got = overwrite ? vanto_edit_overwrite(s_, off, b.data(), len) : vanto_edit_insert(s_, off, b.data(), len);
      want = 0;
    } else if (form == 3) {
      const std::string b = bytes();
      got = overwrite ? vanto_edit_overwrite_string(s_, off, b) : vanto_edit_insert_string(s_, off, b);
      want = overwrite ? ref_.overwrite(off, b) : ref_.insert(off, b);
    } else if (form == 4) {
      // A range of another file, in range or not; sometimes the file's name
      // goes at once (the session keeps the file open).
      const std::string b = bytes();
      const std::string source = (dir_ / ("source" + std::to_string(++sources_))).string();
      write_whole(source, b);
      const auto n = static_cast<int64_t>(b.size());
      const int64_t from = in_.ConsumeIntegralInRange<int64_t>(-1, n + 1);
      const int64_t len = in_.ConsumeIntegralInRange<int64_t>(-1, n + 1);
      got = overwrite ? vanto_edit_overwrite_file(s_, off, source.c_str(), from, len)
                      : vanto_edit_insert_file(s_, off, source.c_str(), from, len);
      if (from < 0 || from > n || (len >= 0 && len > n - from)) {
        want = 0;
      } else {
        const std::string part = b.substr(static_cast<size_t>(from), len < 0 ? std::string::npos : static_cast<size_t>(len));
        want = overwrite ? ref_.overwrite(off, part) : ref_.insert(off, part);
      }
      if (in_.ConsumeBool()) fs::remove(source);
    } else {
      const std::string b = bytes();
      const auto *u = reinterpret_cast<const unsigned char *>(b.data());
      const auto n = static_cast<int64_t>(b.size());
      if (n == 0) {
        // Length 0 measures the text; an empty std::string is an empty text.
        got = overwrite ? vanto_edit_overwrite_bytes(s_, off, u, 0) : vanto_edit_insert_bytes(s_, off, u, 0);
      } else {
        got = overwrite ? vanto_edit_overwrite_bytes(s_, off, u, n) : vanto_edit_insert_bytes(s_, off, u, n);
      }
      want = overwrite ? ref_.overwrite(off, b) : ref_.insert(off, b);
    }
    FUZZ_CHECK(got == want, op_ << ": " << (overwrite ? "overwrite" : "insert") << " at " << off << " form "
                                << form << " got " << got << " want " << want);
    if (want == 0) expect_quiet(events_before, "edit");
  }

  void read_segment() {
    const int64_t capacity = in_.ConsumeIntegralInRange<int64_t>(0, 400);
    const int64_t off = offset();
    vanto_segment_t *seg = vanto_segment_create(capacity);
    FUZZ_CHECK(seg != nullptr, op_ << ": segment_create");
    const int rc = vanto_session_get_segment(s_, seg, off);
    const int64_t size = ref_.size();
    if (size == 0) {
      // Empty data: offset 0 reads nothing; elsewhere a model without pieces
      // also reads nothing, one holding only empty inserts refuses.
      FUZZ_CHECK((rc == 0 || (rc == -1 && off != 0)) && vanto_segment_get_length(seg) == 0,
                 op_ << ": read of empty data at " << off);
    } else if (off < 0 || off > size) {
      FUZZ_CHECK(rc == -1 && vanto_segment_get_length(seg) == 0, op_ << ": read outside at " << off);
    } else {
      const std::string want = ref_.data().substr(static_cast<size_t>(off),
                                                  static_cast<size_t>(std::min(capacity, size - off)));
      FUZZ_CHECK(rc == 0, op_ << ": read rc at " << off);
      FUZZ_CHECK(vanto_segment_get_length(seg) == static_cast<int64_t>(want.size()), op_ << ": read length");
      const unsigned char *d = vanto_segment_get_data(seg);
      FUZZ_CHECK(d != nullptr && std::memcmp(d, want.data(), want.size()) == 0 && d[want.size()] == 0,
                 op_ << ": read bytes at " << off);
      FUZZ_CHECK(vanto_segment_get_offset(seg) == off, op_ << ": read offset");
    }
    vanto_segment_destroy(seg);
  }

  void create_viewport(int64_t events_before) {
    int64_t capacity = in_.ConsumeIntegralInRange<int64_t>(1, 700);
    if (in_.ConsumeIntegralInRange<int>(0, 15) == 0) capacity = length(VANTO_VIEWPORT_CAPACITY_LIMIT);
    const int64_t off = offset();
    const bool floating = in_.ConsumeBool();
    vanto_viewport_t *v = vanto_edit_create_viewport(s_, off, capacity, floating ? 1 : 0, count_viewport_event,
                                                     nullptr, VIEWPORT_EVENT_ALL);
    const bool valid = capacity >= 1 && capacity <= VANTO_VIEWPORT_CAPACITY_LIMIT;
    FUZZ_CHECK((v != nullptr) == valid, op_ << ": viewport create capacity " << capacity);
    if (v == nullptr) {
      expect_quiet(events_before, "viewport create");
      return;
    }
    ref_.viewports.push_back(RefViewport{v, off, 0, capacity, floating});
  }

  void modify_or_destroy_viewport() {
    if (ref_.viewports.empty()) return;
    const size_t i = in_.ConsumeIntegralInRange<size_t>(0, ref_.viewports.size() - 1);
    RefViewport &v = ref_.viewports[i];
    if (in_.ConsumeIntegralInRange<int>(0, 3) == 0) {
      vanto_edit_destroy_viewport(v.handle);
      ref_.viewports.erase(ref_.viewports.begin() + static_cast<std::ptrdiff_t>(i));
      FUZZ_CHECK(vanto_session_get_num_viewports(s_) == static_cast<int64_t>(ref_.viewports.size()),
                 op_ << ": viewport count");
      return;
    }
    const bool same = in_.ConsumeIntegralInRange<int>(0, 3) == 0;
    const int64_t off = same ? v.base : offset();
    int64_t capacity = same ? v.capacity : in_.ConsumeIntegralInRange<int64_t>(1, 700);
    if (!same && in_.ConsumeIntegralInRange<int>(0, 7) == 0) capacity = length(VANTO_VIEWPORT_CAPACITY_LIMIT);
    const bool floating = same ? v.floating : in_.ConsumeBool();
    const int rc = vanto_viewport_modify(v.handle, off, capacity, floating ? 1 : 0);
    const bool valid = capacity >= 1 && capacity <= VANTO_VIEWPORT_CAPACITY_LIMIT;
    FUZZ_CHECK(rc == (valid ? 0 : -1), op_ << ": viewport modify");
    if (!valid) return;
    if (off == v.base && capacity == v.capacity && floating == v.floating) return;  // no effect
    v.base = off;
    v.adjustment = 0;
    v.capacity = capacity;
    v.floating = floating;
  }

  void transform(int64_t events_before) {
    TransformKey key{in_.ConsumeIntegral<unsigned char>(), in_.ConsumeBool()};
    const int64_t off = offset();
    const int64_t len = length(ref_.size());
    const int got = vanto_edit_apply_transform(s_, transform_byte, &key, off, len, chk_dir().c_str());
    if (ref_.paused) {
      FUZZ_CHECK(got == -1, op_ << ": transform while paused");
      expect_quiet(events_before, "transform");
      return;
    }
    ref_.checkpoint();
    const int64_t size = ref_.size();
    const int64_t effective = len == 0 && off >= 0 ? size - off : len;
    const bool valid = off >= 0 && effective >= 1 && off < size && effective <= size - off;
    FUZZ_CHECK(got == (valid ? 0 : -1), op_ << ": transform " << off << " " << len);
    if (!valid) return;
    std::string &d = ref_.top().data;
    for (int64_t i = off; i < off + effective; ++i) {
      auto &c = d[static_cast<size_t>(i)];
      c = static_cast<char>(transform_byte(static_cast<unsigned char>(c), &key));
    }
  }

  void search(int64_t events_before) {
    std::string pattern;
    const int64_t size = ref_.size();
    if (size > 0 && in_.ConsumeBool()) {
      const auto at = in_.ConsumeIntegralInRange<int64_t>(0, size - 1);
      const auto n = in_.ConsumeIntegralInRange<int64_t>(1, std::min<int64_t>(24, size - at));
      pattern = ref_.data().substr(static_cast<size_t>(at), static_cast<size_t>(n));
    } else {
      pattern = in_.ConsumeBytesAsString(in_.ConsumeIntegralInRange<size_t>(0, 6));
    }
    const bool ci = in_.ConsumeBool();
    const int64_t start = in_.ConsumeIntegralInRange<int>(0, 5) == 0 ? offset() : in_.ConsumeIntegralInRange<int64_t>(0, size);
    int64_t range = in_.ConsumeBool() ? 0 : length(size);
    // The pattern length: exact, or 0 (measured as text), or a raw negative value.
    int64_t plen = static_cast<int64_t>(pattern.size());
    const int form = in_.ConsumeIntegralInRange<int>(0, 9);
    if (form == 0) plen = 0;
    if (form == 1) plen = -in_.ConsumeIntegralInRange<int64_t>(1, INT64_MAX);
    // Forms 2 and 3 are masked: random mask bytes (2), or wildcards, nibbles
    // and fixed bytes (3); a masked pattern is never measured, so 0 is refused.
    std::string mask;
    if (form == 2 || form == 3) {
      for (size_t i = 0; i < pattern.size(); ++i) {
        static constexpr unsigned char kMasks[] = {0x00, 0xFF, 0xF0, 0x0F, 0xFF, 0xDF};
        mask.push_back(static_cast<char>(form == 2 ? in_.ConsumeIntegral<unsigned char>()
                                                   : kMasks[in_.ConsumeIntegralInRange<size_t>(0, 5)]));
      }
    }
    const bool masked = form == 2 || form == 3;
    vanto_search_context_t *ctx =
        masked ? vanto_search_create_context_masked(s_, reinterpret_cast<const unsigned char *>(pattern.data()),
                                                    reinterpret_cast<const unsigned char *>(mask.data()), plen,
                                                    start, range, ci ? 1 : 0)
               : vanto_search_create_context(s_, pattern.c_str(), plen, start, range, ci ? 1 : 0);

    // The reference's refusal rules.
    std::string used = plen == 0 && !masked ? std::string(pattern.c_str()) : pattern;
    bool refused = plen < 0 || used.empty();
    int64_t range_length = range;
    if (!refused && range_length == 0 && __builtin_sub_overflow(size, start, &range_length)) refused = true;
    int64_t range_end = 0;
    if (!refused && (range_length < 0 || __builtin_add_overflow(start, range_length, &range_end))) refused = true;
    if (!refused && (static_cast<int64_t>(used.size()) >= VANTO_SEARCH_PATTERN_LIMIT ||
                     static_cast<int64_t>(used.size()) > range_length)) {
      refused = true;
    }
    FUZZ_CHECK((ctx == nullptr) == refused,
               op_ << ": search create start " << start << " range " << range << " plen " << plen);
    expect_quiet(events_before, "search");
    if (ctx == nullptr) return;
    if (ci) {
      for (char &c : used) c = static_cast<char>(fold(static_cast<unsigned char>(c)));
    }
    for (size_t i = 0; i < mask.size(); ++i) used[i] = static_cast<char>(used[i] & mask[i]);
    RefSearch ref{ctx, used, ci, start, range_length, range_end, mask};
    FUZZ_CHECK(vanto_search_context_get_offset(ctx) == range_end, op_ << ": fresh search offset");
    FUZZ_CHECK(vanto_search_context_get_length(ctx) == static_cast<int64_t>(used.size()), op_ << ": search length");
    run_search(ref, in_.ConsumeIntegralInRange<int>(1, 12));
    if (in_.ConsumeIntegralInRange<int>(0, 3) == 0 && searches_.size() < 4) {
      searches_.push_back(ref);
    } else {
      vanto_search_destroy_context(ctx);
    }
    FUZZ_CHECK(vanto_session_get_num_search_contexts(s_) == static_cast<int64_t>(searches_.size()),
               op_ << ": search context count");
  }

  void run_search(RefSearch &ref, int steps) {
    for (int i = 0; i < steps; ++i) {
      int64_t advance = in_.ConsumeBool() ? 1 : static_cast<int64_t>(ref.pattern.size());
      if (in_.ConsumeIntegralInRange<int>(0, 15) == 0) advance = length(1 << 20);
      // Mostly forward; now and then backward, or a count (which leaves the
      // current match alone).
      const int way = in_.ConsumeIntegralInRange<int>(0, 5);
      if (way == 5) {
        const int64_t counted = vanto_search_count_matches(ref.handle, advance);
        FUZZ_CHECK(counted == ref_.search_count(ref, advance),
                   op_ << ": search count advance " << advance << " got " << counted);
      }
      const bool back = way == 3 || way == 4;
      const int got = back ? vanto_search_prev_match(ref.handle, advance) : way == 5 ? -1
                                                                                   : vanto_search_next_match(ref.handle, advance);
      const int want = back ? ref_.search_prev(ref, advance) : way == 5 ? -1 : ref_.search_next(ref, advance);
      FUZZ_CHECK(got == want, op_ << ": search step " << i << " advance " << advance << " got " << got
                                  << (back ? " backward" : ""));
      FUZZ_CHECK(vanto_search_context_get_offset(ref.handle) == ref.match,
                 op_ << ": search offset " << vanto_search_context_get_offset(ref.handle) << " want " << ref.match);
    }
  }

  void continue_search() {
    if (searches_.empty()) return;
    const size_t i = in_.ConsumeIntegralInRange<size_t>(0, searches_.size() - 1);
    run_search(searches_[i], in_.ConsumeIntegralInRange<int>(1, 6));
    if (in_.ConsumeBool()) {
      vanto_search_destroy_context(searches_[i].handle);
      searches_.erase(searches_.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }

  void profile() {
    const int64_t off = in_.ConsumeIntegralInRange<int>(0, 4) == 0 ? offset() : in_.ConsumeIntegralInRange<int64_t>(0, ref_.size());
    const int64_t len = in_.ConsumeBool() ? 0 : length(ref_.size());
    std::array<int64_t, 256> counts;
    counts.fill(-7);
    const int rc = vanto_session_profile(s_, counts.data(), off, len);
    std::array<int64_t, 256> want{};
    const int64_t size = ref_.size();
    int want_rc = 0;
    const int64_t n = off < 0 || off > size ? -1 : (len == 0 ? size - off : len);
    if (n < 0) {
      want_rc = 1;
    } else {
      const int64_t counted = std::min(n, size - off);
      for (int64_t i = off; i < off + counted; ++i) {
        ++want[static_cast<unsigned char>(ref_.data()[static_cast<size_t>(i)])];
      }
    }
    FUZZ_CHECK(rc == want_rc, op_ << ": profile rc " << rc << " at " << off << " " << len);
    FUZZ_CHECK(counts == want, op_ << ": profile counts at " << off << " " << len);
  }

  std::string chk_dir() const { return (dir_ / "chk").string(); }

  void save() {
    const fs::path out_dir = dir_ / "out";
    std::string target;
    int32_t flags = SAVE_FLAG_OVERWRITE;
    bool own = false;
    const int pick = in_.ConsumeIntegralInRange<int>(0, 9);
    if (pick <= 1 && !base_path_.empty()) {
      target = base_path_;
      own = pick == 0;  // overwrite: re-bases; otherwise a free name beside it
      flags = own ? SAVE_FLAG_OVERWRITE : SAVE_FLAG_NONE;
    } else if (pick == 2 && ref_.levels.size() > 1) {
      // A checkpoint file of the session is never a valid target.
      const char *chk = vanto_session_get_file_path(s_);
      FUZZ_CHECK(chk != nullptr, op_ << ": checkpoint path");
      const std::string chk_path = chk;
      const std::string before = read_whole(chk_path);
      char saved[VANTO_PATH_BUFFER_SIZE] = "x";
      const int64_t events_before = g_events;
      FUZZ_CHECK(vanto_edit_save(s_, chk_path.c_str(), SAVE_FLAG_OVERWRITE, saved) == -9, op_ << ": save onto checkpoint");
      FUZZ_CHECK(saved[0] == '\0', op_ << ": saved path after failure");
      FUZZ_CHECK(read_whole(chk_path) == before, op_ << ": checkpoint file changed");
      expect_quiet(events_before, "save onto checkpoint");
      return;
    } else if (pick <= 5 && !saved_.empty()) {
      auto it = saved_.begin();
      std::advance(it, in_.ConsumeIntegralInRange<size_t>(0, saved_.size() - 1));
      target = it->first;
      flags = in_.ConsumeBool() ? SAVE_FLAG_NONE : SAVE_FLAG_OVERWRITE;
    } else {
      target = (out_dir / ("file" + std::to_string(next_name_++) + ".bin")).string();
      flags = in_.ConsumeBool() ? SAVE_FLAG_NONE : SAVE_FLAG_OVERWRITE;
    }
    const std::string expected = flags == SAVE_FLAG_NONE ? expected_free_name(target) : target;
    char saved[VANTO_PATH_BUFFER_SIZE];
    const int rc = vanto_edit_save(s_, target.c_str(), flags, saved);
    FUZZ_CHECK(rc == 0, op_ << ": save to " << target << " flags " << flags << " rc " << rc);
    std::error_code ec;
    FUZZ_CHECK(std::string(saved) == fs::canonical(expected, ec).string(),
               op_ << ": saved path " << saved << " want " << expected);
    if (own) {
      ref_.rebase();
      FUZZ_CHECK(read_whole(base_path_) == ref_.file_data, op_ << ": own file after save");
    } else if (expected != base_path_) {
      saved_[expected] = ref_.data();
    }
    FUZZ_CHECK(leftovers(dir_, ".VantoEdit_").empty(), op_ << ": temporary file left after a save");
  }

  void history_queries() {
    // Every applied change is found by its serial, at any level; an undone one
    // by its negated serial at the current level.
    int64_t serial = 0;
    for (const Level &level : ref_.levels) {
      for (const RefChange &c : level.applied) {
        ++serial;
        const vanto_change_t *got = vanto_session_get_change(s_, serial);
        FUZZ_CHECK(got != nullptr && vanto_change_get_serial(got) == c.serial, op_ << ": get_change " << serial);
        FUZZ_CHECK(vanto_change_get_offset(got) == c.offset && vanto_change_get_length(got) == c.length,
                   op_ << ": change record " << serial);
        if (c.kind != CHANGE_DELETE) {
          FUZZ_CHECK(vanto_change_get_string(got) == c.bytes, op_ << ": change bytes " << serial);
        }
      }
    }
    FUZZ_CHECK(vanto_session_get_change(s_, serial + 1) == nullptr, op_ << ": get_change past the end");
    for (const RefChange &c : ref_.top().undone) {
      const vanto_change_t *got = vanto_session_get_change(s_, c.serial);
      FUZZ_CHECK(got != nullptr && vanto_change_is_undone(got) == 1, op_ << ": undone change " << c.serial);
    }
    std::vector<int64_t> visited;
    FUZZ_CHECK(vanto_visit_changes(s_,
                                   [](const vanto_change_t *c, void *u) {
                                     static_cast<std::vector<int64_t> *>(u)->push_back(vanto_change_get_serial(c));
                                     return 0;
                                   },
                                   &visited) == 0,
               op_ << ": visit");
    std::vector<int64_t> want;
    for (const RefChange &c : ref_.top().applied) want.push_back(c.serial);
    FUZZ_CHECK(visited == want, op_ << ": visited serials");
  }

  void check_state() {
    const int64_t size = ref_.size();
    FUZZ_CHECK(vanto_session_get_computed_file_size(s_) == size,
               op_ << ": size " << vanto_session_get_computed_file_size(s_) << " want " << size);
    FUZZ_CHECK(vanto_session_get_num_changes(s_) == ref_.num_changes(), op_ << ": num changes");
    FUZZ_CHECK(vanto_session_get_num_undone_changes(s_) == static_cast<int64_t>(ref_.top().undone.size()),
               op_ << ": num undone");
    FUZZ_CHECK(vanto_session_get_num_change_transactions(s_) == ref_.transactions(), op_ << ": transactions");
    FUZZ_CHECK(vanto_session_get_num_undone_change_transactions(s_) == ref_.undone_transactions(),
               op_ << ": undone transactions");
    FUZZ_CHECK(vanto_session_get_num_checkpoints(s_) == static_cast<int64_t>(ref_.levels.size()) - 1,
               op_ << ": checkpoints");
    const int64_t last = ref_.top().applied.empty() ? 0 : ref_.top().applied.back().serial;
    FUZZ_CHECK(vanto_change_get_serial(vanto_session_get_last_change(s_)) == last, op_ << ": last change");
    const int64_t last_undo = ref_.top().undone.empty() ? 0 : ref_.top().undone.back().serial;
    FUZZ_CHECK(vanto_change_get_serial(vanto_session_get_last_undo(s_)) == last_undo, op_ << ": last undo");
    FUZZ_CHECK(vanto_session_get_transaction_state(s_) == (!ref_.open ? 0 : (ref_.has_change ? 2 : 1)),
               op_ << ": transaction state");
    FUZZ_CHECK(vanto_session_changes_paused(s_) == (ref_.paused ? 1 : 0), op_ << ": paused");
    FUZZ_CHECK(vanto_check_model(s_) == 0, op_ << ": model check");

    // A window of the data, at a place that moves from step to step.
    window_ = (window_ * 31 + 17) % (size + 1);
    const int rc = vanto_session_get_segment(s_, probe_, window_);
    const std::string want = ref_.data().substr(static_cast<size_t>(window_), 64);
    FUZZ_CHECK(rc == 0 && vanto_segment_get_length(probe_) == static_cast<int64_t>(want.size()) &&
                   std::memcmp(vanto_segment_get_data(probe_), want.data(), want.size()) == 0,
               op_ << ": data window at " << window_);

    for (const RefViewport &v : ref_.viewports) {
      FUZZ_CHECK(vanto_viewport_get_offset(v.handle) == vp_offset(v),
                 op_ << ": viewport offset " << vanto_viewport_get_offset(v.handle) << " want " << vp_offset(v));
      FUZZ_CHECK(vanto_viewport_get_capacity(v.handle) == v.capacity, op_ << ": viewport capacity");
      std::string expect;
      const bool readable = ref_.viewport_data(v, expect);
      const unsigned char *d = vanto_viewport_get_data(v.handle);
      // Outside the data a viewport shows no bytes: null, or an empty buffer
      // when it was last filled while the data was empty (such a fill
      // succeeds at any offset) and no change has touched it since.
      if (!readable) {
        FUZZ_CHECK(d == nullptr || vanto_viewport_get_length(v.handle) == 0,
                   op_ << ": viewport outside the data shows bytes at " << vp_offset(v));
        continue;
      }
      FUZZ_CHECK(d != nullptr || (ref_.size() == 0 && vp_offset(v) != 0),
                 op_ << ": viewport unreadable at " << vp_offset(v) << " size " << ref_.size());
      FUZZ_CHECK(vanto_viewport_get_length(v.handle) == static_cast<int64_t>(expect.size()),
                 op_ << ": viewport length " << vanto_viewport_get_length(v.handle) << " want " << expect.size());
      if (d != nullptr) {
        FUZZ_CHECK(std::memcmp(d, expect.data(), expect.size()) == 0 && d[expect.size()] == 0,
                   op_ << ": viewport bytes at " << vp_offset(v));
      }
      FUZZ_CHECK(vanto_viewport_has_changes(v.handle) == 0, op_ << ": viewport still marked after a read");
    }
  }

  void finish() {
    op_ = "end";
    const int64_t size = ref_.size();
    FUZZ_CHECK(vanto_session_get_segment_string(s_, 0, size + 1) == ref_.data(), "end: whole data");
    for (const auto &[path, bytes] : saved_) {
      FUZZ_CHECK(read_whole(path) == bytes, "end: saved file " << path);
    }
    if (!base_path_.empty()) FUZZ_CHECK(read_whole(base_path_) == ref_.file_data, "end: own file");
  }

  FuzzedDataProvider &in_;
  Reference &ref_;
  vanto_session_t *s_;
  fs::path dir_;
  std::string base_path_;
  int sources_ = 0;  // files written for file edits
  vanto_segment_t *probe_ = nullptr;
  std::vector<RefSearch> searches_;
  std::map<std::string, std::string> saved_;
  int next_name_ = 0;
  int64_t window_ = 0;
  std::string op_;
};

// The base data: mostly a few letters, so that searches find something.
std::string base_data(FuzzedDataProvider &in) {
  const int form = in.ConsumeIntegralInRange<int>(0, 7);
  size_t n = in.ConsumeIntegralInRange<size_t>(0, 600);
  if (form == 0) n = in.ConsumeIntegralInRange<size_t>(8000, 20000);  // spans several search windows
  if (form == 1) return in.ConsumeBytesAsString(n);
  const auto seed = in.ConsumeIntegral<uint32_t>();
  static constexpr char kAlphabet[] = "abcABC\0\xff";
  std::string out(n, '\0');
  uint32_t x = seed | 1;
  for (char &c : out) {
    x = x * 1103515245u + 12345u;
    c = kAlphabet[(x >> 16) % 8];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  const fs::path dir = work_root() / "case";
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir / "out");

  const bool on_nothing = in.ConsumeIntegralInRange<int>(0, 9) == 0;
  const std::string base = on_nothing ? std::string() : base_data(in);
  std::string base_path;
  if (!on_nothing) {
    base_path = (dir / "base.bin").string();
    write_whole(base_path, base);
  }
  g_events = 0;
  vanto_session_t *session =
      vanto_edit_create_session(on_nothing ? nullptr : base_path.c_str(), count_session_event, nullptr, SESSION_EVENT_ALL);
  if (session == nullptr) fail("session not created");
  Reference ref(base);
  {
    Driver driver(in, ref, session, dir, base_path);
    driver.run();
  }
  vanto_edit_destroy_session(session);
  if (!leftovers(dir, ".VantoEdit-chk.").empty()) fail("checkpoint file left after the session");
  if (!leftovers(dir, ".VantoEdit_").empty()) fail("temporary file left after the session");
  fs::remove_all(dir, ec);
  return 0;
}
