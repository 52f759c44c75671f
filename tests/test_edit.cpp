// Sessions, edits and reads through segments: creation and its refusals,
// serials and transaction bits, the refusal rules of each edit, the state a
// callback sees, the reading edge cases, files larger than 4 GiB, and null
// handles.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "event_recorder.h"
#include "test_support.h"
#include "vanto_edit.h"

namespace {

using vanto::test::Event;
using vanto::test::EventRecorder;
using vanto::test::ScratchDir;
using vanto::test::session_event;
using vanto::test::write_file;

std::string data_of(const vanto_session_t *session) {
  return vanto_session_get_segment_string(session, 0, vanto_session_get_computed_file_size(session));
}

// A session on a scratch file holding `content`; destroyed with the object.
class SessionOn {
 public:
  SessionOn(const ScratchDir &dir, const std::string &content, EventRecorder *rec = nullptr)
      : path_(dir.file("data.bin")) {
    write_file(path_, content);
    session_ = vanto_edit_create_session(path_.c_str(), rec ? EventRecorder::on_session : nullptr,
                                         rec, SESSION_EVENT_ALL);
  }
  ~SessionOn() { vanto_edit_destroy_session(session_); }
  SessionOn(const SessionOn &) = delete;
  SessionOn &operator=(const SessionOn &) = delete;

  vanto_session_t *get() const { return session_; }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
  vanto_session_t *session_ = nullptr;
};

TEST(Session, CreationOnFilesAndOnNothing) {
  ScratchDir dir;
  EventRecorder rec;
  write_file(dir.file("empty"), "");
  write_file(dir.file("ten"), "0123456789");
  struct Case {
    const char *name;
    std::string path;  // "<null>" for a null path
    bool created;
    int64_t size;
    bool has_path;
  } cases[] = {
      {"null path", "<null>", true, 0, false},
      {"empty path", "", true, 0, false},
      {"empty file", dir.file("empty"), true, 0, true},
      {"ten bytes", dir.file("ten"), true, 10, true},
      {"missing file", dir.file("missing"), false, 0, false},
      {"directory", dir.path().string(), false, 0, false},
      // Data that cannot be positioned is refused, and at once: a FIFO
      // without a writer must not block the call.
      {"FIFO without a writer", dir.file("fifo"), false, 0, false},
      {"socket", dir.file("socket"), false, 0, false},
      {"character device", "/dev/null", false, 0, false},
  };
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socket_path = dir.file("socket");
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
  // A call that blocks ends the test program instead of hanging it.
  ::alarm(20);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const char *path = c.path == "<null>" ? nullptr : c.path.c_str();
    vanto_session_t *s = vanto_edit_create_session(path, EventRecorder::on_session, &rec, SESSION_EVENT_ALL);
    EXPECT_EQ(s != nullptr, c.created);
    if (s == nullptr) {
      EXPECT_TRUE(rec.take().empty()) << "a refused creation sends no event";
      continue;
    }
    EXPECT_EQ(rec.take(), (std::vector<Event>{session_event(s, SESSION_EVENT_CREATE)}));
    EXPECT_EQ(vanto_session_get_computed_file_size(s), c.size);
    if (c.has_path) {
      ASSERT_NE(vanto_session_get_file_path(s), nullptr);
      EXPECT_EQ(std::string(vanto_session_get_file_path(s)), c.path);
    } else {
      EXPECT_EQ(vanto_session_get_file_path(s), nullptr);
    }
    EXPECT_EQ(vanto_session_get_num_checkpoints(s), 0);
    EXPECT_EQ(vanto_session_get_num_viewports(s), 0);
    EXPECT_EQ(vanto_session_get_num_changes(s), 0);
    EXPECT_EQ(vanto_check_model(s), 0);
    vanto_edit_destroy_session(s);
  }
  ::alarm(0);
  ::close(listener);
}

// A block device can be positioned: a session on one sees the device's size.
// Only runs where some block device is readable.
TEST(Session, CreationOnABlockDevice) {
  std::error_code ec;
  for (const auto &entry : std::filesystem::directory_iterator("/dev", ec)) {
    struct stat st {};
    if (::stat(entry.path().c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) continue;
    const int fd = ::open(entry.path().c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) continue;
    const off_t size = ::lseek(fd, 0, SEEK_END);
    ::close(fd);
    if (size < 0) continue;
    SCOPED_TRACE(entry.path().string());
    vanto_session_t *s = vanto_edit_create_session(entry.path().c_str(), nullptr, nullptr, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(vanto_session_get_computed_file_size(s), static_cast<int64_t>(size));
    vanto_edit_destroy_session(s);
    return;
  }
  GTEST_SKIP() << "no readable block device";
}

TEST(Edit, SerialsAndTransactionBits) {
  ScratchDir dir;
  SessionOn s(dir, "0123456789");
  struct Step {
    bool in_transaction;
    int64_t serial;
    int bit;
  } steps[] = {{false, 1, 0}, {false, 2, 1}, {false, 3, 0},
               // three changes in one transaction share the bit opposite to
               // the change before them
               {true, 4, 1},  {true, 5, 1},  {true, 6, 1},
               {false, 7, 0}};
  bool open = false;
  for (const Step &st : steps) {
    if (st.in_transaction && !open) {
      ASSERT_EQ(vanto_session_begin_transaction(s.get()), 0);
    }
    if (!st.in_transaction && open) {
      ASSERT_EQ(vanto_session_end_transaction(s.get()), 0);
    }
    open = st.in_transaction;
    ASSERT_EQ(vanto_edit_insert(s.get(), 0, "ab", 2), st.serial);
    const vanto_change_t *change = vanto_session_get_last_change(s.get());
    EXPECT_EQ(vanto_change_get_serial(change), st.serial);
    EXPECT_EQ(vanto_change_get_transaction_bit(change), st.bit) << "serial " << st.serial;
    EXPECT_EQ(vanto_session_get_change(s.get(), st.serial), change);
  }
  EXPECT_EQ(vanto_session_get_num_changes(s.get()), 7);
  EXPECT_EQ(vanto_session_get_num_change_transactions(s.get()), 5);
}

// Each edit on a fresh 10-byte file: its result, the change it records and
// the data afterwards.  Refused edits record nothing and send nothing.
TEST(Edit, ResultsRefusalsAndRecordedChanges) {
  enum Kind { kDelete, kInsert, kOverwrite, kInsertView, kOverwriteView };
  struct Case {
    const char *name;
    Kind kind;
    int64_t offset;
    const char *bytes;
    int64_t length;  // passed as given; for views, the view's size
    bool accepted;
    int64_t change_length;
    std::string data;
  } cases[] = {
      {"delete clamped at the end", kDelete, 4, nullptr, 100, true, 6, "0123"},
      {"delete of one byte", kDelete, 9, nullptr, 1, true, 1, "012345678"},
      {"delete at the size", kDelete, 10, nullptr, 1, false, 0, "0123456789"},
      {"delete of length 0", kDelete, 2, nullptr, 0, false, 0, "0123456789"},
      {"delete of negative length", kDelete, 2, nullptr, -3, false, 0, "0123456789"},
      {"delete at a negative offset", kDelete, -1, nullptr, 3, false, 0, "0123456789"},
      {"insert at the size appends", kInsert, 10, "ab", 2, true, 2, "0123456789ab"},
      {"insert at 0", kInsert, 0, "ab", 2, true, 2, "ab0123456789"},
      {"insert of negative length", kInsert, 3, "ab", -1, false, 0, "0123456789"},
      {"insert beyond the size", kInsert, 11, "ab", 2, false, 0, "0123456789"},
      {"insert at a negative offset", kInsert, -1, "ab", 2, false, 0, "0123456789"},
      {"insert of null bytes", kInsert, 3, nullptr, 2, false, 0, "0123456789"},
      {"insert of null bytes and length 0", kInsert, 3, nullptr, 0, true, 0, "0123456789"},
      {"insert of a text, length 0", kInsert, 3, "hello", 0, true, 5, "012hello3456789"},
      {"insert of the empty text", kInsert, 3, "", 0, true, 0, "0123456789"},
      {"insert holding a zero byte", kInsert, 1, "a\0b", 3, true, 3, std::string("0a\0b123456789", 13)},
      {"overwrite extends the data", kOverwrite, 8, "vwxyz", 5, true, 5, "01234567vwxyz"},
      {"overwrite in the middle", kOverwrite, 3, "ab", 2, true, 2, "012ab56789"},
      {"overwrite at the size", kOverwrite, 10, "ab", 2, true, 2, "0123456789ab"},
      {"overwrite beyond the size", kOverwrite, 11, "ab", 2, false, 0, "0123456789"},
      {"overwrite of a text, length 0", kOverwrite, 0, "xy", 0, true, 2, "xy23456789"},
      {"insert of a view", kInsertView, 5, "pq", 2, true, 2, "01234pq56789"},
      {"insert of an empty view", kInsertView, 5, "", 0, true, 0, "0123456789"},
      {"overwrite of a view", kOverwriteView, 9, "pq", 2, true, 2, "012345678pq"},
      {"overwrite of an empty view", kOverwriteView, 9, "", 0, true, 0, "0123456789"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    EventRecorder rec;
    SessionOn s(dir, "0123456789", &rec);
    ASSERT_NE(s.get(), nullptr);
    rec.take();
    const auto *ub = reinterpret_cast<const unsigned char *>(c.bytes);
    int64_t result = 0;
    switch (c.kind) {
      case kDelete: result = vanto_edit_delete(s.get(), c.offset, c.length); break;
      case kInsert: result = vanto_edit_insert(s.get(), c.offset, c.bytes, c.length); break;
      case kOverwrite: result = vanto_edit_overwrite(s.get(), c.offset, c.bytes, c.length); break;
      case kInsertView:
        result = vanto_edit_insert_string(s.get(), c.offset,
                                          std::string_view(c.bytes, static_cast<size_t>(c.length)));
        break;
      case kOverwriteView:
        result = vanto_edit_overwrite_string(s.get(), c.offset,
                                             std::string_view(c.bytes, static_cast<size_t>(c.length)));
        break;
    }
    EXPECT_EQ(data_of(s.get()), c.data);
    EXPECT_EQ(vanto_check_model(s.get()), 0);
    if (!c.accepted) {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(vanto_session_get_num_changes(s.get()), 0);
      EXPECT_TRUE(rec.take().empty());
      continue;
    }
    EXPECT_EQ(result, 1);
    const vanto_change_t *change = vanto_session_get_last_change(s.get());
    ASSERT_NE(change, nullptr);
    EXPECT_EQ(vanto_change_get_offset(change), c.offset);
    EXPECT_EQ(vanto_change_get_length(change), c.change_length);
    EXPECT_EQ(rec.take(), (std::vector<Event>{session_event(s.get(), SESSION_EVENT_EDIT, change)}));

    // The byte-taking twins behave exactly like the plain calls.
    if (c.kind == kInsert || c.kind == kOverwrite) {
      ScratchDir dir2;
      SessionOn twin(dir2, "0123456789");
      const int64_t r = c.kind == kInsert ? vanto_edit_insert_bytes(twin.get(), c.offset, ub, c.length)
                                          : vanto_edit_overwrite_bytes(twin.get(), c.offset, ub, c.length);
      EXPECT_EQ(r, 1);
      EXPECT_EQ(data_of(twin.get()), c.data);
    }
  }
}

TEST(Edit, PausedChangesRefuseEveryEdit) {
  ScratchDir dir;
  SessionOn s(dir, "0123456789");
  vanto_session_pause_changes(s.get());
  EXPECT_EQ(vanto_session_changes_paused(s.get()), 1);
  const unsigned char b[] = {'x'};
  EXPECT_EQ(vanto_edit_delete(s.get(), 0, 1), 0);
  EXPECT_EQ(vanto_edit_insert(s.get(), 0, "x", 1), 0);
  EXPECT_EQ(vanto_edit_insert_bytes(s.get(), 0, b, 1), 0);
  EXPECT_EQ(vanto_edit_overwrite(s.get(), 0, "x", 1), 0);
  EXPECT_EQ(vanto_edit_overwrite_bytes(s.get(), 0, b, 1), 0);
  EXPECT_EQ(vanto_edit_insert_string(s.get(), 0, "x"), 0);
  EXPECT_EQ(vanto_edit_overwrite_string(s.get(), 0, "x"), 0);
  EXPECT_EQ(vanto_session_get_num_changes(s.get()), 0);
  vanto_session_resume_changes(s.get());
  EXPECT_EQ(vanto_edit_insert(s.get(), 0, "x", 1), 1);
}

TEST(Edit, RefusedEditLeavesTheTransactionStateAlone) {
  ScratchDir dir;
  SessionOn s(dir, "0123456789");
  ASSERT_EQ(vanto_session_begin_transaction(s.get()), 0);
  EXPECT_EQ(vanto_edit_delete(s.get(), 10, 1), 0);
  EXPECT_EQ(vanto_session_get_transaction_state(s.get()), 1);
  EXPECT_EQ(vanto_edit_delete(s.get(), 0, 1), 1);
  EXPECT_EQ(vanto_session_get_transaction_state(s.get()), 2);
}

// When SESSION_EVENT_EDIT arrives, the change is in the list, counted, and
// the model and the viewports already show it.
TEST(Edit, CallbacksSeeTheStateAfterTheChange) {
  ScratchDir dir;
  struct Seen {
    int64_t num_changes = -1;
    const void *last_change = nullptr;
    int64_t size = -1;
    std::string data;
    std::string viewport;
    vanto_viewport_t *v = nullptr;
  } seen;
  auto cbk = [](const vanto_session_t *s, int32_t event, const void *) {
    if (event != SESSION_EVENT_EDIT) return;
    auto *out = static_cast<Seen *>(vanto_session_get_user_data_ptr(s));
    out->num_changes = vanto_session_get_num_changes(s);
    out->last_change = vanto_session_get_last_change(s);
    out->size = vanto_session_get_computed_file_size(s);
    out->data = data_of(s);
    out->viewport = vanto_viewport_get_string(out->v);
  };
  write_file(dir.file("f"), "0123456789");
  vanto_session_t *s = vanto_edit_create_session(dir.file("f").c_str(), cbk, &seen, SESSION_EVENT_ALL);
  seen.v = vanto_edit_create_viewport(s, 2, 4, 0, nullptr, nullptr, 0);
  ASSERT_EQ(vanto_edit_overwrite(s, 3, "XY", 2), 1);
  EXPECT_EQ(seen.num_changes, 1);
  EXPECT_EQ(seen.last_change, vanto_session_get_last_change(s));
  EXPECT_EQ(seen.size, 10);
  EXPECT_EQ(seen.data, "012XY56789");
  EXPECT_EQ(seen.viewport, "2XY5");
  vanto_edit_destroy_session(s);
}

// Reading through segments: the edge cases of filling at and around the
// ends of the data and of its pieces.
TEST(Read, SegmentFillsAtTheEdges) {
  ScratchDir dir;
  SessionOn s(dir, "0123456789");
  // Pieces: file[0,4) "abc" file[4,10) "XYZ" appended.
  ASSERT_EQ(vanto_edit_insert(s.get(), 4, "abc", 3), 1);
  ASSERT_EQ(vanto_edit_insert(s.get(), 13, "XYZ", 3), 2);
  ASSERT_EQ(data_of(s.get()), "0123abc456789XYZ");
  struct Case {
    const char *name;
    int64_t capacity;
    int64_t offset;
    int rc;
    std::string bytes;
  } cases[] = {
      {"capacity 0", 0, 5, 0, ""},
      {"at the computed size", 8, 16, 0, ""},
      {"from the old end of the file", 8, 13, 0, "XYZ"},
      {"across pieces", 6, 2, 0, "23abc4"},
      {"from a piece boundary", 3, 4, 0, "abc"},
      {"larger than the rest", 100, 10, 0, "789XYZ"},
      {"inline capacity 7", 7, 1, 0, "123abc4"},
      {"heap capacity 8", 8, 1, 0, "123abc45"},
      {"beyond the end", 4, 17, -1, ""},
      {"negative offset", 4, -1, -1, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    vanto_segment_t *seg = vanto_segment_create(c.capacity);
    ASSERT_NE(seg, nullptr);
    EXPECT_EQ(vanto_session_get_segment(s.get(), seg, c.offset), c.rc);
    EXPECT_EQ(vanto_segment_get_offset(seg), c.offset);
    EXPECT_EQ(vanto_segment_get_length(seg), static_cast<int64_t>(c.bytes.size()));
    const unsigned char *data = vanto_segment_get_data(seg);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(data), c.bytes.size()), c.bytes);
    if (c.rc == 0) {
      EXPECT_EQ(data[c.bytes.size()], 0);
    }
    vanto_segment_destroy(seg);
  }
  EXPECT_EQ(vanto_session_get_segment_string(s.get(), 17, 4), "");
  EXPECT_EQ(vanto_session_get_segment_string(s.get(), 14, 100), "YZ");
}

TEST(Read, SessionsWithoutDataFillNothing) {
  ScratchDir dir;
  write_file(dir.file("empty"), "");
  for (const char *path : {static_cast<const char *>(nullptr), "", "empty"}) {
    const std::string full = path != nullptr && *path != '\0' ? dir.file(path) : "";
    vanto_session_t *s = vanto_edit_create_session(path == nullptr ? nullptr : full.c_str(), nullptr,
                                                   nullptr, 0);
    ASSERT_NE(s, nullptr);
    vanto_segment_t *seg = vanto_segment_create(8);
    EXPECT_EQ(vanto_session_get_segment(s, seg, 0), 0);
    EXPECT_EQ(vanto_segment_get_length(seg), 0);
    EXPECT_EQ(vanto_session_get_computed_file_size(s), 0);
    EXPECT_EQ(vanto_edit_delete(s, 0, 1), 0) << "nothing to delete";
    EXPECT_EQ(vanto_edit_insert(s, 0, "abc", 3), 1);
    EXPECT_EQ(data_of(s), "abc");
    vanto_segment_destroy(seg);
    vanto_edit_destroy_session(s);
  }
}

TEST(Read, TruncatedBackingFileFailsTheFill) {
  ScratchDir dir;
  SessionOn s(dir, std::string(100, 'q'));
  ASSERT_EQ(vanto_edit_insert(s.get(), 10, "abc", 3), 1);
  ASSERT_EQ(::truncate(s.path().c_str(), 50), 0);
  vanto_segment_t *seg = vanto_segment_create(20);
  EXPECT_EQ(vanto_session_get_segment(s.get(), seg, 5), 0) << "these bytes are still in the file";
  EXPECT_EQ(vanto_session_get_segment(s.get(), seg, 45), -1);
  EXPECT_EQ(vanto_session_get_segment(s.get(), seg, 80), -1);
  vanto_segment_destroy(seg);
  EXPECT_EQ(vanto_session_get_computed_file_size(s.get()), 103) << "the model is left as it was";
}

// A sparse file of 5 GiB: its size, reads and edits beyond 4 GiB.
TEST(LargeFile, FiveGibibyteFileIsReadAndEditedBeyondFourGibibytes) {
  constexpr int64_t kGiB = int64_t{1} << 30;
  constexpr int64_t kSize = 5 * kGiB;
  constexpr int64_t kHigh = 4 * kGiB + kGiB / 2;  // 4.5 GiB
  ScratchDir dir;
  const std::string path = dir.file("big.bin");
  {
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, kSize), 0);
    ASSERT_EQ(::pwrite(fd, "EDGE", 4, 4 * kGiB - 2), 4);
    ASSERT_EQ(::pwrite(fd, "HIGH", 4, kHigh), 4);
    ASSERT_EQ(::pwrite(fd, "TAIL", 4, kSize - 4), 4);
    ::close(fd);
  }
  vanto_session_t *s = vanto_edit_create_session(path.c_str(), nullptr, nullptr, 0);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(vanto_session_get_computed_file_size(s), kSize);
  EXPECT_EQ(vanto_session_get_segment_string(s, 4 * kGiB - 2, 4), "EDGE");
  EXPECT_EQ(vanto_session_get_segment_string(s, kHigh - 1, 6), std::string("\0HIGH\0", 6));
  EXPECT_EQ(vanto_session_get_segment_string(s, kSize - 4, 10), "TAIL");

  vanto_viewport_t *v = vanto_edit_create_viewport(s, kHigh, 8, 1, nullptr, nullptr, 0);
  ASSERT_EQ(vanto_viewport_get_string(v), std::string("HIGH\0\0\0\0", 8));

  ASSERT_EQ(vanto_edit_insert(s, kHigh + 2, "xyz", 3), 1);
  EXPECT_EQ(vanto_session_get_segment_string(s, kHigh, 7), "HIxyzGH");
  ASSERT_EQ(vanto_edit_delete(s, 4 * kGiB, 2), 2);  // the "GE" of EDGE
  EXPECT_EQ(vanto_session_get_segment_string(s, 4 * kGiB - 2, 4), std::string("ED\0\0", 4));
  EXPECT_EQ(vanto_viewport_get_offset(v), kHigh - 2) << "the floating viewport moved back";
  EXPECT_EQ(vanto_viewport_get_string(v), std::string("HIxyzGH\0", 8));
  ASSERT_EQ(vanto_edit_overwrite(s, kSize + 1 - 4, "tail!", 5), 3);
  EXPECT_EQ(vanto_session_get_computed_file_size(s), kSize + 1 + 1);
  EXPECT_EQ(vanto_session_get_segment_string(s, kSize - 4, 10), std::string("\0tail!", 6));
  EXPECT_EQ(vanto_check_model(s), 0);
  vanto_edit_destroy_session(s);
}

TEST(NullHandles, SessionAndEditCallsRefuseNull) {
  EXPECT_EQ(vanto_edit_delete(nullptr, 0, 1), 0);
  EXPECT_EQ(vanto_edit_insert(nullptr, 0, "a", 1), 0);
  EXPECT_EQ(vanto_edit_insert_bytes(nullptr, 0, nullptr, 0), 0);
  EXPECT_EQ(vanto_edit_overwrite(nullptr, 0, "a", 1), 0);
  EXPECT_EQ(vanto_edit_overwrite_bytes(nullptr, 0, nullptr, 0), 0);
  EXPECT_EQ(vanto_edit_insert_string(nullptr, 0, "a"), 0);
  EXPECT_EQ(vanto_edit_overwrite_string(nullptr, 0, "a"), 0);
  EXPECT_EQ(vanto_edit_clear_changes(nullptr), -1);
  vanto_edit_destroy_session(nullptr);
  EXPECT_EQ(vanto_session_get_computed_file_size(nullptr), 0);
  EXPECT_EQ(vanto_session_get_file_path(nullptr), nullptr);
  EXPECT_EQ(vanto_session_get_num_changes(nullptr), 0);
  EXPECT_EQ(vanto_session_get_last_change(nullptr), nullptr);
  EXPECT_EQ(vanto_session_get_num_viewports(nullptr), 0);
  EXPECT_EQ(vanto_session_notify_changed_viewports(nullptr), 0);
  EXPECT_EQ(vanto_session_get_segment_string(nullptr, 0, 4), "");
  vanto_segment_t *seg = vanto_segment_create(4);
  EXPECT_EQ(vanto_session_get_segment(nullptr, seg, 0), -1);
  vanto_segment_destroy(seg);
  EXPECT_EQ(vanto_check_model(nullptr), -1);
}

}  // namespace
