// Misuse of every public call: null handles, negative and overflowing
// offsets and lengths (offset + length past the int64 range), empty
// patterns, zero and out-of-range capacities, null passed to every destroy
// call.  Each row makes one call (or a few of one function) and checks the
// refusal value its header documents; around every row the session of a
// fixture must stay exactly as it was: data, counts, viewports, search
// contexts, checkpoints, flags, delivered events and the files of its
// directory.
//
// The rows are compared against the list of functions the headers export
// (written at build time by tests/checks/export_names.py), so an export
// without a row fails the test.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "vanto_edit.h"
#include "vanto_edit/internal.h"

namespace {

using vanto::test::read_file;
using vanto::test::ScratchDir;
using vanto::test::write_file;

constexpr int64_t kMin = INT64_MIN;
constexpr int64_t kMax = INT64_MAX;

const char *const kExportNames[] = {
#include "misuse_export_names.inc"
};

unsigned char invert(unsigned char b, void *) { return static_cast<unsigned char>(~b); }
int visit_nothing(const vanto_change_t *, void *) { return 0; }
int keep_going(const vanto_session_t *, int64_t, int64_t, void *) { return 0; }

// A session with data, a history (three changes, the last undone), a read
// viewport and a search context, whose every event is counted.
struct Fixture {
  ScratchDir dir;
  std::string base_path = dir.file("base.bin");
  std::string base = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ+/";
  vanto_session_t *s = nullptr;
  vanto_viewport_t *v = nullptr;
  vanto_search_context_t *sc = nullptr;
  vanto_segment_t *seg = nullptr;
  int64_t events = 0;

  static void on_session(const vanto_session_t *session, int32_t, const void *) {
    ++static_cast<Fixture *>(vanto_session_get_user_data_ptr(session))->events;
  }
  static void on_viewport(const vanto_viewport_t *viewport, int32_t, const void *) {
    ++static_cast<Fixture *>(vanto_viewport_get_user_data_ptr(viewport))->events;
  }

  Fixture() {
    write_file(base_path, base);
    s = vanto_edit_create_session(base_path.c_str(), on_session, this, SESSION_EVENT_ALL);
    vanto_edit_insert(s, 0, "XY", 2);
    vanto_edit_overwrite(s, 10, "zz", 2);
    vanto_edit_delete(s, 20, 3);
    vanto_edit_undo_last_change(s);
    v = vanto_edit_create_viewport(s, 8, 16, 1, on_viewport, this, VIEWPORT_EVENT_ALL);
    vanto_viewport_get_data(v);
    sc = vanto_search_create_context(s, "ab", 2, 0, 0, 0);
    seg = vanto_segment_create(32);
  }
  ~Fixture() {
    vanto_segment_destroy(seg);
    vanto_edit_destroy_session(s);
  }
  Fixture(const Fixture &) = delete;
  Fixture &operator=(const Fixture &) = delete;

  int64_t size() const { return vanto_session_get_computed_file_size(s); }

  // Everything a refused call must leave alone, as text.
  std::string snapshot() const {
    std::ostringstream out;
    out << "data=" << vanto_session_get_segment_string(s, 0, size()) << " size=" << size()
        << " changes=" << vanto_session_get_num_changes(s)
        << " undone=" << vanto_session_get_num_undone_changes(s)
        << " tx=" << vanto_session_get_num_change_transactions(s)
        << " undone_tx=" << vanto_session_get_num_undone_change_transactions(s)
        << " last=" << vanto_change_get_serial(vanto_session_get_last_change(s))
        << " last_undo=" << vanto_change_get_serial(vanto_session_get_last_undo(s))
        << " viewports=" << vanto_session_get_num_viewports(s)
        << " searches=" << vanto_session_get_num_search_contexts(s)
        << " checkpoints=" << vanto_session_get_num_checkpoints(s)
        << " tx_state=" << vanto_session_get_transaction_state(s)
        << " paused=" << vanto_session_changes_paused(s)
        << " vp_paused=" << vanto_session_viewport_event_callbacks_paused(s)
        << " interest=" << vanto_session_get_event_interest(s)
        << " path=" << vanto_session_get_file_path(s) << " vp_offset=" << vanto_viewport_get_offset(v)
        << " vp_capacity=" << vanto_viewport_get_capacity(v)
        << " vp_floating=" << vanto_viewport_is_floating(v)
        << " vp_marked=" << vanto_viewport_has_changes(v)
        << " vp_interest=" << vanto_viewport_get_event_interest(v)
        << " search=" << vanto_search_context_get_offset(sc) << "/" << vanto_search_context_get_length(sc)
        << " events=" << events << " files=";
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(dir.path())) {
      names.insert(entry.path().lexically_relative(dir.path()).string());
    }
    for (const auto &name : names) out << name << ',';
    out << " base_file=" << read_file(base_path);
    return out.str();
  }
};

struct Row {
  const char *name;  // the export the row calls
  std::function<void(Fixture &)> run;
};

// Rows for the four insert/overwrite calls that take a char or byte pointer.
template <typename Byte>
std::vector<std::function<void(Fixture &)>> bytes_edit_rows(int64_t (*edit)(vanto_session_t *, int64_t,
                                                                            const Byte *, int64_t)) {
  const auto *ab = reinterpret_cast<const Byte *>("ab");
  return {
      [=](Fixture &) { EXPECT_EQ(edit(nullptr, 0, ab, 2), 0); },
      [=](Fixture &f) { EXPECT_EQ(edit(f.s, -1, ab, 2), 0); },
      [=](Fixture &f) { EXPECT_EQ(edit(f.s, kMin, ab, 2), 0); },
      [=](Fixture &f) { EXPECT_EQ(edit(f.s, kMax, ab, 2), 0); },
      [=](Fixture &f) { EXPECT_EQ(edit(f.s, f.size() + 1, ab, 2), 0); },
      [=](Fixture &f) { EXPECT_EQ(edit(f.s, 0, ab, -1), 0); },
      [=](Fixture &f) { EXPECT_EQ(edit(f.s, 0, ab, kMin), 0); },
      [=](Fixture &f) { EXPECT_EQ(edit(f.s, 0, nullptr, 5), 0); },
      [=](Fixture &f) { EXPECT_EQ(edit(f.s, 0, nullptr, kMax), 0); },
      [=](Fixture &f) { EXPECT_EQ(edit(f.s, kMax, nullptr, kMax), 0); },
  };
}

std::vector<Row> rows() {
  std::vector<Row> r;
  auto add = [&r](const char *name, std::function<void(Fixture &)> run) { r.push_back({name, std::move(run)}); };

  // ---- sessions and edits --------------------------------------------------------
  add("vanto_edit_create_session", [](Fixture &f) {
    EXPECT_EQ(vanto_edit_create_session(f.dir.path().c_str(), nullptr, nullptr, 0), nullptr);  // a directory
    EXPECT_EQ(vanto_edit_create_session(f.dir.file("missing").c_str(), nullptr, nullptr, 0), nullptr);
  });
  add("vanto_edit_destroy_session", [](Fixture &) { vanto_edit_destroy_session(nullptr); });
  for (auto &row : bytes_edit_rows<char>(vanto_edit_insert)) add("vanto_edit_insert", row);
  for (auto &row : bytes_edit_rows<unsigned char>(vanto_edit_insert_bytes)) add("vanto_edit_insert_bytes", row);
  for (auto &row : bytes_edit_rows<char>(vanto_edit_overwrite)) add("vanto_edit_overwrite", row);
  for (auto &row : bytes_edit_rows<unsigned char>(vanto_edit_overwrite_bytes)) add("vanto_edit_overwrite_bytes", row);
  // Inserts and overwrites from a file: the fixture's own file (64 bytes) as
  // the source where the row is not about the path.
  for (auto *edit : {vanto_edit_insert_file, vanto_edit_overwrite_file}) {
    const char *name = edit == vanto_edit_insert_file ? "vanto_edit_insert_file" : "vanto_edit_overwrite_file";
    const std::vector<std::function<void(Fixture &)>> file_rows = {
        [=](Fixture &f) { EXPECT_EQ(edit(nullptr, 0, f.base_path.c_str(), 0, 2), 0); },
        [=](Fixture &f) { EXPECT_EQ(edit(f.s, -1, f.base_path.c_str(), 0, 2), 0); },
        [=](Fixture &f) { EXPECT_EQ(edit(f.s, kMin, f.base_path.c_str(), 0, -1), 0); },
        [=](Fixture &f) { EXPECT_EQ(edit(f.s, f.size() + 1, f.base_path.c_str(), 0, 2), 0); },
        [=](Fixture &f) { EXPECT_EQ(edit(f.s, 0, nullptr, 0, 2), 0); },
        [=](Fixture &f) { EXPECT_EQ(edit(f.s, 0, "", 0, -1), 0); },
        [=](Fixture &f) { EXPECT_EQ(edit(f.s, 0, f.dir.file("missing").c_str(), 0, -1), 0); },
        [=](Fixture &f) { EXPECT_EQ(edit(f.s, 0, f.dir.path().c_str(), 0, -1), 0); },  // a directory
        [=](Fixture &f) { EXPECT_EQ(edit(f.s, 0, f.base_path.c_str(), -1, 2), 0); },
        [=](Fixture &f) { EXPECT_EQ(edit(f.s, 0, f.base_path.c_str(), kMin, kMin), 0); },
        [=](Fixture &f) { EXPECT_EQ(edit(f.s, 0, f.base_path.c_str(), 65, -1), 0); },
        [=](Fixture &f) { EXPECT_EQ(edit(f.s, 0, f.base_path.c_str(), 60, 5), 0); },
        [=](Fixture &f) { EXPECT_EQ(edit(f.s, 0, f.base_path.c_str(), 1, kMax), 0); },
        [=](Fixture &f) { EXPECT_EQ(edit(f.s, 0, f.base_path.c_str(), kMax, kMax), 0); },
    };
    for (const auto &row : file_rows) add(name, row);
  }
  add("vanto_edit_insert_string", [](Fixture &f) {
    EXPECT_EQ(vanto_edit_insert_string(nullptr, 0, "ab"), 0);
    EXPECT_EQ(vanto_edit_insert_string(f.s, -1, "ab"), 0);
    EXPECT_EQ(vanto_edit_insert_string(f.s, kMin, "ab"), 0);
    EXPECT_EQ(vanto_edit_insert_string(f.s, f.size() + 1, "ab"), 0);
    EXPECT_EQ(vanto_edit_insert_string(f.s, kMax, ""), 0);
  });
  add("vanto_edit_overwrite_string", [](Fixture &f) {
    EXPECT_EQ(vanto_edit_overwrite_string(nullptr, 0, "ab"), 0);
    EXPECT_EQ(vanto_edit_overwrite_string(f.s, -1, "ab"), 0);
    EXPECT_EQ(vanto_edit_overwrite_string(f.s, kMax, "ab"), 0);
    EXPECT_EQ(vanto_edit_overwrite_string(f.s, f.size() + 1, ""), 0);
  });
  for (const auto &[offset, length] : std::vector<std::pair<int64_t, int64_t>>{
           {-1, 1}, {kMin, 1}, {kMin, kMax}, {kMax, 1}, {kMax, kMax}, {0, 0}, {0, -1}, {0, kMin}, {5, kMin}}) {
    add("vanto_edit_delete", [offset = offset, length = length](Fixture &f) {
      EXPECT_EQ(vanto_edit_delete(f.s, offset, length), 0) << offset << " " << length;
    });
  }
  add("vanto_edit_delete", [](Fixture &f) {
    EXPECT_EQ(vanto_edit_delete(nullptr, 0, 1), 0);
    EXPECT_EQ(vanto_edit_delete(f.s, f.size(), 1), 0);
  });
  add("vanto_edit_replace_all", [](Fixture &f) {
    int64_t count = 7;
    const int64_t all = 0;
    EXPECT_EQ(vanto_edit_replace_all(nullptr, "a", 1, "b", 1, 0, 0, all, -1, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(vanto_edit_replace_all(f.s, nullptr, 1, "b", 1, 0, 0, all, -1, &count), 0);
    EXPECT_EQ(vanto_edit_replace_all(f.s, "a", 0, "b", 1, 0, 0, all, -1, &count), 0);
    EXPECT_EQ(vanto_edit_replace_all(f.s, "a", kMin, "b", 1, 0, 0, all, -1, &count), 0);
    EXPECT_EQ(vanto_edit_replace_all(f.s, "a", 1, nullptr, 1, 0, 0, all, -1, &count), 0);
    EXPECT_EQ(vanto_edit_replace_all(f.s, "a", 1, "b", -1, 0, 0, all, -1, &count), 0);
    EXPECT_EQ(vanto_edit_replace_all(f.s, "a", 1, "b", 1, 0x100, 0, all, -1, &count), 0);
    EXPECT_EQ(vanto_edit_replace_all(f.s, "a", 1, "b", 1, 0, -1, all, -1, &count), 0);
    EXPECT_EQ(vanto_edit_replace_all(f.s, "a", 1, "b", 1, 0, kMin, all, -1, &count), 0);
    EXPECT_EQ(vanto_edit_replace_all(f.s, "a", 1, "b", 1, 0, kMax, all, -1, &count), 0);
    EXPECT_EQ(vanto_edit_replace_all(f.s, "a", 1, "b", 1, 0, f.size() + 1, all, -1, &count), 0);
    EXPECT_EQ(vanto_edit_replace_all(f.s, "a", 1, "b", 1, 0, 0, -1, -1, &count), 0);
    EXPECT_EQ(vanto_edit_replace_all(f.s, "a", 1, "b", 1, 0, 0, kMin, -1, nullptr), 0);
    EXPECT_EQ(count, 0);
  });
  add("vanto_edit_undo_last_change", [](Fixture &) { EXPECT_EQ(vanto_edit_undo_last_change(nullptr), 0); });
  add("vanto_edit_redo_last_undo", [](Fixture &) { EXPECT_EQ(vanto_edit_redo_last_undo(nullptr), 0); });
  add("vanto_edit_clear_changes", [](Fixture &) { EXPECT_EQ(vanto_edit_clear_changes(nullptr), -1); });

  // ---- viewports ---------------------------------------------------------------------
  for (int64_t capacity : {int64_t{0}, int64_t{-1}, kMin, kMax, int64_t{VANTO_VIEWPORT_CAPACITY_LIMIT} + 1}) {
    add("vanto_edit_create_viewport", [capacity](Fixture &f) {
      EXPECT_EQ(vanto_edit_create_viewport(f.s, 0, capacity, 0, Fixture::on_viewport, &f, VIEWPORT_EVENT_ALL),
                nullptr)
          << capacity;
    });
  }
  add("vanto_edit_create_viewport", [](Fixture &f) {
    EXPECT_EQ(vanto_edit_create_viewport(nullptr, 0, 16, 0, Fixture::on_viewport, &f, VIEWPORT_EVENT_ALL), nullptr);
  });
  add("vanto_edit_destroy_viewport", [](Fixture &) { vanto_edit_destroy_viewport(nullptr); });
  for (int64_t capacity : {int64_t{0}, int64_t{-1}, kMin, kMax, int64_t{VANTO_VIEWPORT_CAPACITY_LIMIT} + 1}) {
    add("vanto_viewport_modify", [capacity](Fixture &f) {
      EXPECT_EQ(vanto_viewport_modify(f.v, 0, capacity, 0), -1) << capacity;
      EXPECT_EQ(vanto_viewport_modify(f.v, kMin, capacity, 1), -1) << capacity;
    });
  }
  add("vanto_viewport_modify", [](Fixture &) { EXPECT_EQ(vanto_viewport_modify(nullptr, 0, 16, 0), -1); });
  add("vanto_viewport_get_data", [](Fixture &) { EXPECT_EQ(vanto_viewport_get_data(nullptr), nullptr); });
  add("vanto_viewport_get_string", [](Fixture &) { EXPECT_EQ(vanto_viewport_get_string(nullptr), ""); });
  add("vanto_viewport_get_length", [](Fixture &) { EXPECT_EQ(vanto_viewport_get_length(nullptr), 0); });
  add("vanto_viewport_get_capacity", [](Fixture &) { EXPECT_EQ(vanto_viewport_get_capacity(nullptr), 0); });
  add("vanto_viewport_get_offset", [](Fixture &) { EXPECT_EQ(vanto_viewport_get_offset(nullptr), 0); });
  add("vanto_viewport_get_following_byte_count",
      [](Fixture &) { EXPECT_EQ(vanto_viewport_get_following_byte_count(nullptr), 0); });
  add("vanto_viewport_has_changes", [](Fixture &) { EXPECT_EQ(vanto_viewport_has_changes(nullptr), 0); });
  add("vanto_viewport_in_segment", [](Fixture &f) {
    EXPECT_EQ(vanto_viewport_in_segment(nullptr, 0, 100), 0);
    // Sums past the int64 range saturate instead of wrapping into the window.
    EXPECT_EQ(vanto_viewport_in_segment(f.v, kMax, kMax), 0);
    EXPECT_EQ(vanto_viewport_in_segment(f.v, kMin, kMin), 0);
    EXPECT_EQ(vanto_viewport_in_segment(f.v, kMin, kMax), 0);
    EXPECT_EQ(vanto_viewport_in_segment(f.v, 0, kMax), 1);
  });
  add("vanto_viewport_is_floating", [](Fixture &) { EXPECT_EQ(vanto_viewport_is_floating(nullptr), 0); });
  add("vanto_viewport_get_session", [](Fixture &) { EXPECT_EQ(vanto_viewport_get_session(nullptr), nullptr); });
  add("vanto_viewport_get_user_data_ptr",
      [](Fixture &) { EXPECT_EQ(vanto_viewport_get_user_data_ptr(nullptr), nullptr); });
  add("vanto_viewport_get_event_cbk", [](Fixture &) { EXPECT_EQ(vanto_viewport_get_event_cbk(nullptr), nullptr); });
  add("vanto_viewport_get_event_interest",
      [](Fixture &) { EXPECT_EQ(vanto_viewport_get_event_interest(nullptr), 0); });
  add("vanto_viewport_set_event_interest",
      [](Fixture &) { EXPECT_EQ(vanto_viewport_set_event_interest(nullptr, VIEWPORT_EVENT_ALL), 0); });
  add("vanto_viewport_notify",
      [](Fixture &) { EXPECT_EQ(vanto_viewport_notify(nullptr, VIEWPORT_EVENT_EDIT, nullptr), 0); });

  // ---- save, checkpoints, transforms ---------------------------------------------------
  add("vanto_edit_save", [](Fixture &f) {
    char saved[VANTO_PATH_BUFFER_SIZE];
    for (const char *path : {static_cast<const char *>(nullptr), ""}) {
      std::strcpy(saved, "stale");
      EXPECT_EQ(vanto_edit_save(f.s, path, SAVE_FLAG_OVERWRITE, saved), -1);
      EXPECT_STREQ(saved, "");
    }
    std::strcpy(saved, "stale");
    EXPECT_EQ(vanto_edit_save(nullptr, f.dir.file("out.bin").c_str(), SAVE_FLAG_OVERWRITE, saved), -1);
    EXPECT_STREQ(saved, "");
    // A directory so long that the temporary file's name cannot fit in a
    // path buffer: refused before anything is created.
    const std::string long_name = f.dir.file(std::string(120, 'd') + "/" + std::string(120, 'e') + "/out.bin");
    EXPECT_EQ(vanto_edit_save(f.s, long_name.c_str(), SAVE_FLAG_OVERWRITE, nullptr), -2);
  });
  add("vanto_edit_create_checkpoint", [](Fixture &f) {
    EXPECT_EQ(vanto_edit_create_checkpoint(nullptr, f.dir.path().c_str()), -1);
    EXPECT_EQ(vanto_edit_create_checkpoint(f.s, nullptr), -1);
    EXPECT_EQ(vanto_edit_create_checkpoint(f.s, ""), -1);
  });
  add("vanto_edit_destroy_last_checkpoint", [](Fixture &f) {
    EXPECT_EQ(vanto_edit_destroy_last_checkpoint(nullptr), -1);
    EXPECT_EQ(vanto_edit_destroy_last_checkpoint(f.s), -1);  // it has none
  });
  add("vanto_edit_apply_transform", [](Fixture &f) {
    const char *dir = f.dir.path().c_str();
    EXPECT_EQ(vanto_edit_apply_transform(nullptr, invert, nullptr, 0, 0, dir), -1);
    EXPECT_EQ(vanto_edit_apply_transform(f.s, nullptr, nullptr, 0, 0, dir), -1);
    EXPECT_EQ(vanto_edit_apply_transform(f.s, invert, nullptr, 0, 0, nullptr), -1);
  });

  // ---- session queries and state ----------------------------------------------------
  add("vanto_session_get_file_path", [](Fixture &) { EXPECT_EQ(vanto_session_get_file_path(nullptr), nullptr); });
  add("vanto_session_get_user_data_ptr",
      [](Fixture &) { EXPECT_EQ(vanto_session_get_user_data_ptr(nullptr), nullptr); });
  add("vanto_session_get_event_cbk", [](Fixture &) { EXPECT_EQ(vanto_session_get_event_cbk(nullptr), nullptr); });
  add("vanto_session_get_event_interest", [](Fixture &) { EXPECT_EQ(vanto_session_get_event_interest(nullptr), 0); });
  add("vanto_session_set_event_interest",
      [](Fixture &) { EXPECT_EQ(vanto_session_set_event_interest(nullptr, SESSION_EVENT_ALL), 0); });
  add("vanto_session_notify", [](Fixture &) { vanto_session_notify(nullptr, SESSION_EVENT_EDIT, nullptr); });
  add("vanto_session_get_num_viewports", [](Fixture &) { EXPECT_EQ(vanto_session_get_num_viewports(nullptr), 0); });
  add("vanto_session_get_num_search_contexts",
      [](Fixture &) { EXPECT_EQ(vanto_session_get_num_search_contexts(nullptr), 0); });
  add("vanto_session_get_num_checkpoints",
      [](Fixture &) { EXPECT_EQ(vanto_session_get_num_checkpoints(nullptr), 0); });
  add("vanto_session_get_computed_file_size",
      [](Fixture &) { EXPECT_EQ(vanto_session_get_computed_file_size(nullptr), 0); });
  for (int64_t offset : {int64_t{-1}, kMin, kMax, int64_t{1000}}) {
    add("vanto_session_get_segment", [offset](Fixture &f) {
      EXPECT_EQ(vanto_session_get_segment(f.s, f.seg, offset), -1) << offset;
      EXPECT_EQ(vanto_segment_get_length(f.seg), 0);
    });
  }
  add("vanto_session_get_segment", [](Fixture &f) {
    EXPECT_EQ(vanto_session_get_segment(nullptr, f.seg, 0), -1);
    EXPECT_EQ(vanto_session_get_segment(f.s, nullptr, 0), -1);
    // A zero capacity reads nothing, successfully, and keeps its zero byte.
    vanto_segment_t *empty = vanto_segment_create(0);
    EXPECT_EQ(vanto_session_get_segment(f.s, empty, 3), 0);
    EXPECT_EQ(vanto_segment_get_length(empty), 0);
    EXPECT_EQ(vanto_segment_get_data(empty)[0], 0);
    vanto_segment_destroy(empty);
  });
  add("vanto_session_read", [](Fixture &f) {
    unsigned char buffer[4] = {7, 7, 7, 7};
    EXPECT_EQ(vanto_session_read(nullptr, 0, buffer, 4), -1);
    EXPECT_EQ(vanto_session_read(f.s, 0, nullptr, 4), -1);
    EXPECT_EQ(vanto_session_read(f.s, 0, nullptr, 0), 0);
    for (int64_t length : {int64_t{-1}, kMin}) EXPECT_EQ(vanto_session_read(f.s, 0, buffer, length), -1);
    for (int64_t offset : {int64_t{-1}, kMin, kMax, int64_t{1000}}) {
      EXPECT_EQ(vanto_session_read(f.s, offset, buffer, 4), -1) << offset;
    }
    const int64_t size = vanto_session_get_computed_file_size(f.s);
    EXPECT_EQ(vanto_session_read(f.s, size, buffer, 4), 0);
    unsigned char whole[128];
    EXPECT_EQ(vanto_session_read(f.s, 0, whole, sizeof whole), size);  // fewer at the end
  });
  add("vanto_session_get_segment_string", [](Fixture &f) {
    EXPECT_EQ(vanto_session_get_segment_string(nullptr, 0, 5), "");
    EXPECT_EQ(vanto_session_get_segment_string(f.s, -1, 5), "");
    EXPECT_EQ(vanto_session_get_segment_string(f.s, kMin, kMax), "");
    EXPECT_EQ(vanto_session_get_segment_string(f.s, kMax, kMax), "");
    EXPECT_EQ(vanto_session_get_segment_string(f.s, 0, -1), "");
    EXPECT_EQ(vanto_session_get_segment_string(f.s, 0, kMin), "");
    // Past the end of the int64 range: the rest of the data.
    EXPECT_EQ(vanto_session_get_segment_string(f.s, f.size() - 3, kMax), "Z+/");
  });
  add("vanto_session_get_num_changes", [](Fixture &) { EXPECT_EQ(vanto_session_get_num_changes(nullptr), 0); });
  add("vanto_session_get_num_undone_changes",
      [](Fixture &) { EXPECT_EQ(vanto_session_get_num_undone_changes(nullptr), 0); });
  add("vanto_session_get_num_change_transactions",
      [](Fixture &) { EXPECT_EQ(vanto_session_get_num_change_transactions(nullptr), 0); });
  add("vanto_session_get_num_undone_change_transactions",
      [](Fixture &) { EXPECT_EQ(vanto_session_get_num_undone_change_transactions(nullptr), 0); });
  add("vanto_session_get_last_change", [](Fixture &) { EXPECT_EQ(vanto_session_get_last_change(nullptr), nullptr); });
  add("vanto_session_get_last_undo", [](Fixture &) { EXPECT_EQ(vanto_session_get_last_undo(nullptr), nullptr); });
  add("vanto_session_get_change", [](Fixture &f) {
    EXPECT_EQ(vanto_session_get_change(nullptr, 1), nullptr);
    for (int64_t serial : {int64_t{0}, int64_t{3}, int64_t{-1}, int64_t{-2}, kMin, kMax}) {
      EXPECT_EQ(vanto_session_get_change(f.s, serial), nullptr) << serial;
    }
  });
  add("vanto_session_begin_transaction",
      [](Fixture &) { EXPECT_EQ(vanto_session_begin_transaction(nullptr), -1); });
  add("vanto_session_end_transaction", [](Fixture &f) {
    EXPECT_EQ(vanto_session_end_transaction(nullptr), -1);
    EXPECT_EQ(vanto_session_end_transaction(f.s), -1);  // none open
  });
  add("vanto_session_get_transaction_state",
      [](Fixture &) { EXPECT_EQ(vanto_session_get_transaction_state(nullptr), 0); });
  add("vanto_session_pause_changes", [](Fixture &) { vanto_session_pause_changes(nullptr); });
  add("vanto_session_resume_changes", [](Fixture &f) {
    vanto_session_resume_changes(nullptr);
    vanto_session_resume_changes(f.s);  // not paused: no transition, no event
  });
  add("vanto_session_changes_paused", [](Fixture &) { EXPECT_EQ(vanto_session_changes_paused(nullptr), 0); });
  add("vanto_session_pause_viewport_event_callbacks",
      [](Fixture &) { vanto_session_pause_viewport_event_callbacks(nullptr); });
  add("vanto_session_resume_viewport_event_callbacks",
      [](Fixture &) { vanto_session_resume_viewport_event_callbacks(nullptr); });
  add("vanto_session_viewport_event_callbacks_paused",
      [](Fixture &) { EXPECT_EQ(vanto_session_viewport_event_callbacks_paused(nullptr), 0); });
  add("vanto_session_notify_changed_viewports", [](Fixture &f) {
    EXPECT_EQ(vanto_session_notify_changed_viewports(nullptr), 0);
    EXPECT_EQ(vanto_session_notify_changed_viewports(f.s), 0);  // nothing marked
  });
  add("vanto_session_get_backing_file_changes", [](Fixture &f) {
    EXPECT_EQ(vanto_session_get_backing_file_changes(nullptr), -1);
    EXPECT_EQ(vanto_session_get_backing_file_changes(f.s), FILE_CHANGE_NONE);
  });
  add("vanto_session_set_progress_cbk",
      [](Fixture &) { EXPECT_EQ(vanto_session_set_progress_cbk(nullptr, keep_going, nullptr), -1); });
  for (const auto &[offset, length] : std::vector<std::pair<int64_t, int64_t>>{
           {-1, 0}, {kMin, 0}, {kMin, kMax}, {1000, 0}, {kMax, kMax}, {0, -1}, {0, kMin}}) {
    add("vanto_session_profile", [offset = offset, length = length](Fixture &f) {
      std::array<int64_t, 256> counts;
      counts.fill(9);
      EXPECT_EQ(vanto_session_profile(f.s, counts.data(), offset, length), 1) << offset << " " << length;
      EXPECT_EQ(counts, (std::array<int64_t, 256>{})) << offset << " " << length;
    });
  }
  add("vanto_session_profile", [](Fixture &f) {
    std::array<int64_t, 256> counts{};
    EXPECT_EQ(vanto_session_profile(nullptr, counts.data(), 0, 0), -1);
    EXPECT_EQ(vanto_session_profile(f.s, nullptr, 0, 0), -1);
    // A length past the int64 range counts up to the end of the data.
    EXPECT_EQ(vanto_session_profile(f.s, counts.data(), f.size() - 2, kMax), 0);
    EXPECT_EQ(counts['+'] + counts['/'], 2);
  });

  // ---- changes --------------------------------------------------------------------------
  add("vanto_change_get_serial", [](Fixture &) { EXPECT_EQ(vanto_change_get_serial(nullptr), 0); });
  add("vanto_change_get_kind_as_char", [](Fixture &) { EXPECT_EQ(vanto_change_get_kind_as_char(nullptr), 0); });
  add("vanto_change_get_offset", [](Fixture &) { EXPECT_EQ(vanto_change_get_offset(nullptr), 0); });
  add("vanto_change_get_length", [](Fixture &) { EXPECT_EQ(vanto_change_get_length(nullptr), 0); });
  add("vanto_change_get_bytes", [](Fixture &) { EXPECT_EQ(vanto_change_get_bytes(nullptr), nullptr); });
  add("vanto_change_get_transaction_bit",
      [](Fixture &) { EXPECT_EQ(vanto_change_get_transaction_bit(nullptr), 0); });
  add("vanto_change_is_undone", [](Fixture &) { EXPECT_EQ(vanto_change_is_undone(nullptr), 0); });
  add("vanto_change_get_string", [](Fixture &) { EXPECT_EQ(vanto_change_get_string(nullptr), ""); });
  add("vanto_change_copy_bytes", [](Fixture &f) {
    char buffer[8] = {};
    EXPECT_EQ(vanto_change_copy_bytes(nullptr, 0, buffer, 2), -1);
    const vanto_change_t *insert = vanto_session_get_change(f.s, 1);  // "XY"
    ASSERT_NE(insert, nullptr);
    EXPECT_EQ(vanto_change_copy_bytes(insert, -1, buffer, 2), -1);
    EXPECT_EQ(vanto_change_copy_bytes(insert, kMin, buffer, 2), -1);
    EXPECT_EQ(vanto_change_copy_bytes(insert, 3, buffer, 1), -1);
    EXPECT_EQ(vanto_change_copy_bytes(insert, kMax, buffer, 1), -1);
    EXPECT_EQ(vanto_change_copy_bytes(insert, 0, buffer, -1), -1);
    EXPECT_EQ(vanto_change_copy_bytes(insert, 0, nullptr, 2), -1);
    EXPECT_EQ(vanto_change_copy_bytes(insert, 0, nullptr, 0), 0);
    EXPECT_EQ(vanto_change_copy_bytes(insert, 1, buffer, kMax), 1);
    EXPECT_EQ(buffer[0], 'Y');
  });

  // ---- segments ----------------------------------------------------------------------------
  add("vanto_segment_create", [](Fixture &) {
    EXPECT_EQ(vanto_segment_create(-1), nullptr);
    EXPECT_EQ(vanto_segment_create(kMin), nullptr);
#ifndef __SANITIZE_ADDRESS__
    // A buffer no machine can give is refused (AddressSanitizer stops the
    // process on such a request by design, so only plain builds ask).
    EXPECT_EQ(vanto_segment_create(kMax), nullptr);
    EXPECT_EQ(vanto_segment_create(kMax / 2), nullptr);
#endif
  });
  add("vanto_segment_destroy", [](Fixture &) { vanto_segment_destroy(nullptr); });
  add("vanto_segment_get_offset", [](Fixture &) { EXPECT_EQ(vanto_segment_get_offset(nullptr), 0); });
  add("vanto_segment_get_length", [](Fixture &) { EXPECT_EQ(vanto_segment_get_length(nullptr), 0); });
  add("vanto_segment_get_capacity", [](Fixture &) { EXPECT_EQ(vanto_segment_get_capacity(nullptr), 0); });
  add("vanto_segment_get_offset_adjustment",
      [](Fixture &) { EXPECT_EQ(vanto_segment_get_offset_adjustment(nullptr), 0); });
  add("vanto_segment_get_data", [](Fixture &) { EXPECT_EQ(vanto_segment_get_data(nullptr), nullptr); });

  // ---- search -------------------------------------------------------------------------------
  // {pattern, pattern length, range offset, range length}: every one is refused.
  struct SearchCase {
    const char *pattern;
    int64_t pattern_length, offset, length;
  };
  for (const SearchCase &c : std::vector<SearchCase>{
           {"", 0, 0, 0},            // empty pattern
           {"ab", -1, 0, 0},         // negative pattern length
           {"ab", kMin, 0, 0},
           {"ab", 2, 0, -1},         // negative range
           {"ab", 2, 0, kMin},
           {"ab", 2, kMax, 2},       // range end past the int64 range
           {"ab", 2, 1, kMax},
           {"ab", 2, kMin, 0},       // "to the end" from kMin overflows
           {"abc", 3, 0, 2},         // pattern longer than the range
           {"ab", 2, kMax, 0},       // "to the end" from beyond it: negative
       }) {
    add("vanto_search_create_context", [c](Fixture &f) {
      EXPECT_EQ(vanto_search_create_context(f.s, c.pattern, c.pattern_length, c.offset, c.length, 0), nullptr)
          << c.pattern << " " << c.pattern_length << " " << c.offset << " " << c.length;
    });
    add("vanto_search_create_context_bytes", [c](Fixture &f) {
      EXPECT_EQ(vanto_search_create_context_bytes(f.s, reinterpret_cast<const unsigned char *>(c.pattern),
                                                  c.pattern_length, c.offset, c.length, 1),
                nullptr)
          << c.pattern << " " << c.pattern_length << " " << c.offset << " " << c.length;
    });    add("vanto_search_create_context_masked", [c](Fixture &f) {
      const unsigned char mask[] = {0xFF, 0x00, 0xF0};
      EXPECT_EQ(vanto_search_create_context_masked(f.s, reinterpret_cast<const unsigned char *>(c.pattern), mask,
                                                   c.pattern_length, c.offset, c.length, 1),
                nullptr)
          << c.pattern << " " << c.pattern_length << " " << c.offset << " " << c.length;
    });
  }
  add("vanto_search_create_context_masked", [](Fixture &f) {
    const auto *ab = reinterpret_cast<const unsigned char *>("ab");
    const unsigned char mask[] = {0x00, 0x00};
    EXPECT_EQ(vanto_search_create_context_masked(nullptr, ab, mask, 2, 0, 0, 0), nullptr);
    EXPECT_EQ(vanto_search_create_context_masked(f.s, nullptr, mask, 2, 0, 0, 0), nullptr);
    // A masked pattern is never measured as text: length 0 is refused.
    EXPECT_EQ(vanto_search_create_context_masked(f.s, ab, mask, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(vanto_search_create_context_masked(f.s, ab, nullptr, 0, 0, 0, 0), nullptr);
  });
  add("vanto_search_create_context", [](Fixture &f) {
    EXPECT_EQ(vanto_search_create_context(nullptr, "ab", 2, 0, 0, 0), nullptr);
    EXPECT_EQ(vanto_search_create_context(f.s, nullptr, 2, 0, 0, 0), nullptr);
    const std::string too_long(VANTO_SEARCH_PATTERN_LIMIT, 'a');
    EXPECT_EQ(vanto_search_create_context(f.s, too_long.c_str(), static_cast<int64_t>(too_long.size()), 0, kMax - 1,
                                          0),
              nullptr);
  });
  add("vanto_search_create_context_bytes", [](Fixture &f) {
    EXPECT_EQ(vanto_search_create_context_bytes(nullptr, reinterpret_cast<const unsigned char *>("ab"), 2, 0, 0, 0),
              nullptr);
    EXPECT_EQ(vanto_search_create_context_bytes(f.s, nullptr, 2, 0, 0, 0), nullptr);
  });
  add("vanto_search_create_context_string", [](Fixture &f) {
    EXPECT_EQ(vanto_search_create_context_string(nullptr, "ab", 0, 0, 0), nullptr);
    EXPECT_EQ(vanto_search_create_context_string(f.s, "", 0, 0, 0), nullptr);
    EXPECT_EQ(vanto_search_create_context_string(f.s, "ab", kMax, 2, 0), nullptr);
  });
  add("vanto_search_next_match", [](Fixture &f) {
    EXPECT_EQ(vanto_search_next_match(nullptr, 1), 0);
    for (int64_t advance : {int64_t{0}, int64_t{-1}, kMin}) EXPECT_EQ(vanto_search_next_match(f.sc, advance), 0);
  });
  add("vanto_search_prev_match", [](Fixture &f) {
    EXPECT_EQ(vanto_search_prev_match(nullptr, 1), 0);
    for (int64_t advance : {int64_t{0}, int64_t{-1}, kMin}) EXPECT_EQ(vanto_search_prev_match(f.sc, advance), 0);
  });
  add("vanto_search_count_matches", [](Fixture &f) {
    EXPECT_EQ(vanto_search_count_matches(nullptr, 1), -1);
    for (int64_t advance : {int64_t{0}, int64_t{-1}, kMin}) EXPECT_EQ(vanto_search_count_matches(f.sc, advance), -1);
  });
  add("vanto_search_context_get_offset", [](Fixture &) { EXPECT_EQ(vanto_search_context_get_offset(nullptr), 0); });
  add("vanto_search_context_get_length", [](Fixture &) { EXPECT_EQ(vanto_search_context_get_length(nullptr), 0); });
  add("vanto_search_destroy_context", [](Fixture &) { vanto_search_destroy_context(nullptr); });

  // ---- finder --------------------------------------------------------------------------------
  add("vanto_find_create_skip_table", [](Fixture &) {
    EXPECT_EQ(vanto_find_create_skip_table(nullptr, 3), nullptr);
    EXPECT_EQ(vanto_find_create_skip_table(nullptr, UINT64_MAX), nullptr);
  });
  add("vanto_find", [](Fixture &) {
    const auto *hay = reinterpret_cast<const unsigned char *>("abcabc");
    const auto *needle = reinterpret_cast<const unsigned char *>("bc");
    vanto_find_skip_table_t *table = vanto_find_create_skip_table(needle, 2);
    EXPECT_EQ(vanto_find(nullptr, 6, table, needle, 2), nullptr);
    EXPECT_EQ(vanto_find(hay, 6, table, nullptr, 2), nullptr);
    EXPECT_EQ(vanto_find(hay, 6, table, needle, 0), nullptr);       // empty needle
    EXPECT_EQ(vanto_find(hay, 1, table, needle, 2), nullptr);       // needle longer than haystack
    EXPECT_EQ(vanto_find(hay, 6, nullptr, needle, 2), nullptr);     // no table for a long needle
    EXPECT_EQ(vanto_find(hay, 0, table, needle, 2), nullptr);
    vanto_find_destroy_skip_table(table);
  });
  add("vanto_find_destroy_skip_table", [](Fixture &) { vanto_find_destroy_skip_table(nullptr); });

  // ---- visitors --------------------------------------------------------------------------------
  add("vanto_visit_changes", [](Fixture &f) {
    EXPECT_EQ(vanto_visit_changes(nullptr, visit_nothing, nullptr), -1);
    EXPECT_EQ(vanto_visit_changes(f.s, nullptr, nullptr), -1);
  });
  add("vanto_visit_changes_reverse", [](Fixture &f) {
    EXPECT_EQ(vanto_visit_changes_reverse(nullptr, visit_nothing, nullptr), -1);
    EXPECT_EQ(vanto_visit_changes_reverse(f.s, nullptr, nullptr), -1);
  });
  add("vanto_visit_change_create_context",
      [](Fixture &) { EXPECT_EQ(vanto_visit_change_create_context(nullptr, 0), nullptr); });
  add("vanto_visit_change_begin", [](Fixture &) { EXPECT_EQ(vanto_visit_change_begin(nullptr), -1); });
  add("vanto_visit_change_next", [](Fixture &) { EXPECT_EQ(vanto_visit_change_next(nullptr), 1); });
  add("vanto_visit_change_at_end", [](Fixture &) { EXPECT_EQ(vanto_visit_change_at_end(nullptr), 1); });
  add("vanto_visit_change_context_get_change",
      [](Fixture &) { EXPECT_EQ(vanto_visit_change_context_get_change(nullptr), nullptr); });
  add("vanto_visit_change_destroy_context", [](Fixture &) { vanto_visit_change_destroy_context(nullptr); });

  // ---- model check and internal entry points ---------------------------------------------------
  add("vanto_check_model", [](Fixture &) { EXPECT_EQ(vanto_check_model(nullptr), -1); });
  add("populate_data_segment_", [](Fixture &f) {
    EXPECT_EQ(populate_data_segment_(nullptr, f.seg), -1);
    EXPECT_EQ(populate_data_segment_(f.s, nullptr), -1);
    vanto_segment_t *fresh = vanto_segment_create(8);  // offset -1 until filled
    EXPECT_EQ(populate_data_segment_(f.s, fresh), -1);
    vanto_segment_destroy(fresh);
  });
  add("vanto_session_get_transaction_bit_",
      [](Fixture &) { EXPECT_EQ(vanto_session_get_transaction_bit_(nullptr), 1); });
  add("determine_change_transaction_bit_",
      [](Fixture &) { EXPECT_EQ(determine_change_transaction_bit_(nullptr), 0); });
  add("print_model_segments_", [](Fixture &) {
    std::ostringstream out;
    print_model_segments_(nullptr, out);
    EXPECT_EQ(out.str(), "");
  });
  add("print_change_record_", [](Fixture &) {
    std::ostringstream out;
    print_change_record_(nullptr, out);
    EXPECT_EQ(out.str(), "");
  });
  add("update_model_helper_", [](Fixture &) { EXPECT_EQ(update_model_helper_(nullptr, nullptr), -1); });

  // ---- utilities ---------------------------------------------------------------------------------
  add("vanto_util_mkstemp", [](Fixture &f) {
    errno = 0;
    EXPECT_EQ(vanto_util_mkstemp(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    for (std::string name : {std::string("XXXXX"), std::string("nameXXXXXY"), f.dir.file("XXXXX")}) {
      const std::string before = name;
      errno = 0;
      EXPECT_EQ(vanto_util_mkstemp(name.data()), -1) << before;
      EXPECT_EQ(errno, EINVAL);
      EXPECT_EQ(name, before);
    }
  });
  add("vanto_util_write_segment_to_file", [](Fixture &f) {
    std::FILE *in = std::fopen(f.base_path.c_str(), "rb");
    std::FILE *out = std::tmpfile();
    EXPECT_EQ(vanto_util_write_segment_to_file(nullptr, 0, 1, out), -1);
    EXPECT_EQ(vanto_util_write_segment_to_file(in, 0, 1, nullptr), -1);
    EXPECT_EQ(vanto_util_write_segment_to_file(in, 0, -1, out), -1);
    EXPECT_EQ(vanto_util_write_segment_to_file(in, 0, kMin, out), -1);
    EXPECT_EQ(vanto_util_write_segment_to_file(in, -1, 1, out), -1);
    EXPECT_EQ(vanto_util_write_segment_to_file(in, kMin, 1, out), -1);
    EXPECT_EQ(std::ftell(out), 0);
    std::fclose(out);
    std::fclose(in);
  });
  // Ranges that do not lie inside the input, sums past the int64 range
  // included: refused, with no output file and the input untouched.
  for (const auto &[offset, length] : std::vector<std::pair<int64_t, int64_t>>{
           {kMin, 0}, {-1, 0}, {-1, 1}, {kMin, kMax}, {kMax, kMax}, {kMax, 0}, {1, kMax}, {0, -1}, {0, kMin}, {64, 0}}) {
    add("vanto_util_apply_byte_transform_to_file", [offset = offset, length = length](Fixture &f) {
      const std::string out = f.dir.file("transformed.bin");
      EXPECT_EQ(vanto_util_apply_byte_transform_to_file(f.base_path.c_str(), out.c_str(), invert, nullptr, offset,
                                                        length),
                -1)
          << offset << " " << length;
      EXPECT_FALSE(std::filesystem::exists(out)) << offset << " " << length;
    });
  }
  add("vanto_util_apply_byte_transform_to_file", [](Fixture &f) {
    const std::string out = f.dir.file("transformed.bin");
    const char *in = f.base_path.c_str();
    EXPECT_EQ(vanto_util_apply_byte_transform_to_file(nullptr, out.c_str(), invert, nullptr, 0, 0), -1);
    EXPECT_EQ(vanto_util_apply_byte_transform_to_file(in, nullptr, invert, nullptr, 0, 0), -1);
    EXPECT_EQ(vanto_util_apply_byte_transform_to_file(in, out.c_str(), nullptr, nullptr, 0, 0), -1);
    EXPECT_EQ(vanto_util_apply_byte_transform_to_file(in, in, invert, nullptr, 0, 0), -1);  // itself
    EXPECT_FALSE(std::filesystem::exists(out));
  });
  add("vanto_util_apply_byte_transform", [](Fixture &) {
    unsigned char buffer[4] = {1, 2, 3, 4};
    vanto_util_apply_byte_transform(nullptr, 4, invert, nullptr);
    for (int64_t length : {int64_t{0}, int64_t{-1}, kMin}) vanto_util_apply_byte_transform(buffer, length, invert, nullptr);
    vanto_util_apply_byte_transform(buffer, 4, nullptr, nullptr);
    EXPECT_EQ(buffer[0] + buffer[1] + buffer[2] + buffer[3], 10);
  });
  add("vanto_util_translate_byte", [](Fixture &) {
    EXPECT_EQ(vanto_util_translate_byte(0x5A, nullptr), 0x5A);
    unsigned char table[256];
    for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(255 - i);
    EXPECT_EQ(vanto_util_translate_byte(0x00, table), 0xFF);
    EXPECT_EQ(vanto_util_translate_byte(0xFF, table), 0x00);
  });
  add("vanto_util_mask_byte", [](Fixture &) {
    EXPECT_EQ(vanto_util_mask_byte(0x5A, 0x0F, 3), 0x5A);
    EXPECT_EQ(vanto_util_mask_byte(0x5A, 0x0F, -1), 0x5A);
    EXPECT_EQ(vanto_util_mask_byte(0x5A, 0x0F, INT32_MIN), 0x5A);
  });
  for (auto shift_fn : {vanto_util_left_shift_buffer, vanto_util_right_shift_buffer}) {
    const char *name = shift_fn == vanto_util_left_shift_buffer ? "vanto_util_left_shift_buffer"
                                                                  : "vanto_util_right_shift_buffer";
    add(name, [shift_fn](Fixture &) {
      unsigned char buffer[3] = {0x81, 0x42, 0x24};
      for (uint8_t shift : {uint8_t{0}, uint8_t{8}, uint8_t{255}}) EXPECT_EQ(shift_fn(buffer, 3, shift), -1);
      EXPECT_EQ(shift_fn(nullptr, 3, 1), 0);
      EXPECT_EQ(shift_fn(buffer, -1, 1), 0);
      EXPECT_EQ(shift_fn(buffer, kMin, 1), 0);
      EXPECT_EQ(buffer[0], 0x81);
      EXPECT_EQ(buffer[1], 0x42);
      EXPECT_EQ(buffer[2], 0x24);
    });
  }
  for (auto cmp : {vanto_util_strncmp, vanto_util_strnicmp}) {
    add(cmp == vanto_util_strncmp ? "vanto_util_strncmp" : "vanto_util_strnicmp", [cmp](Fixture &) {
      EXPECT_EQ(cmp(nullptr, "a", 1), 0);
      EXPECT_EQ(cmp("a", nullptr, 1), 0);
      EXPECT_EQ(cmp(nullptr, nullptr, UINT64_MAX), 0);
      EXPECT_EQ(cmp("a", "b", 0), 0);
    });
  }
  add("vanto_encode_bin2hex", [](Fixture &) {
    char out[8] = "keep";
    EXPECT_EQ(vanto_encode_bin2hex(nullptr, out, 2), 0u);
    EXPECT_STREQ(out, "keep");
    EXPECT_EQ(vanto_encode_bin2hex(reinterpret_cast<const unsigned char *>("a"), nullptr, 1), 0u);
    EXPECT_EQ(vanto_encode_bin2hex(reinterpret_cast<const unsigned char *>("a"), out, 0), 0u);
    EXPECT_EQ(out[0], 0);
  });
  add("vanto_encode_hex2bin", [](Fixture &) {
    unsigned char out[8] = {'k', 'e', 'e', 'p', 0};
    EXPECT_EQ(vanto_encode_hex2bin(nullptr, out, 2), 0u);
    EXPECT_EQ(out[0], 'k');
    EXPECT_EQ(vanto_encode_hex2bin("00", nullptr, 2), 0u);
    EXPECT_EQ(vanto_encode_hex2bin("zz", out, 2), 0u);  // not hexadecimal
    EXPECT_EQ(vanto_encode_hex2bin("a", out, 1), 0u);   // below two digits
    EXPECT_EQ(out[0], 0);
  });

  // ---- path and file utilities -------------------------------------------------------------------
  add("vanto_util_get_current_dir", [](Fixture &) {
    char buffer[VANTO_PATH_BUFFER_SIZE];
    EXPECT_EQ(vanto_util_get_current_dir(buffer), buffer);
    EXPECT_EQ(std::string(buffer), std::filesystem::current_path().string().substr(0, VANTO_PATH_BUFFER_SIZE - 1));
  });
  add("vanto_util_dirname", [](Fixture &) {
    char buffer[VANTO_PATH_BUFFER_SIZE];
    EXPECT_EQ(vanto_util_dirname(nullptr, buffer), nullptr);
  });
  add("vanto_util_basename", [](Fixture &) {
    char buffer[VANTO_PATH_BUFFER_SIZE];
    EXPECT_EQ(vanto_util_basename(nullptr, buffer, 0), nullptr);
    EXPECT_EQ(vanto_util_basename(nullptr, buffer, 1), nullptr);
  });
  add("vanto_util_file_extension", [](Fixture &) {
    char buffer[VANTO_PATH_BUFFER_SIZE];
    EXPECT_EQ(vanto_util_file_extension(nullptr, buffer), nullptr);
  });
  add("vanto_util_normalize_path", [](Fixture &) {
    char buffer[VANTO_PATH_BUFFER_SIZE];
    EXPECT_EQ(vanto_util_normalize_path(nullptr, buffer), nullptr);
  });
  add("vanto_util_available_filename", [](Fixture &f) {
    char buffer[VANTO_PATH_BUFFER_SIZE];
    EXPECT_EQ(vanto_util_available_filename(nullptr, buffer), nullptr);
    // A free name that would not fit the buffer is never cut and returned.
    const std::string long_name =
        f.dir.file(std::string(100, 'q') + "/" + std::string(100, 'r') + "/" + std::string(100, 's'));
    EXPECT_EQ(vanto_util_available_filename(long_name.c_str(), buffer), nullptr);
  });
  add("vanto_util_file_exists", [](Fixture &) { EXPECT_EQ(vanto_util_file_exists(nullptr), 0); });
  add("vanto_util_directory_exists", [](Fixture &) { EXPECT_EQ(vanto_util_directory_exists(nullptr), 0); });
  add("vanto_util_paths_equivalent", [](Fixture &f) {
    EXPECT_EQ(vanto_util_paths_equivalent(nullptr, f.base_path.c_str()), 0);
    EXPECT_EQ(vanto_util_paths_equivalent(f.base_path.c_str(), nullptr), 0);
    EXPECT_EQ(vanto_util_paths_equivalent(nullptr, nullptr), 0);
  });
  add("vanto_util_create_directory", [](Fixture &) { EXPECT_EQ(vanto_util_create_directory(nullptr), -1); });
  add("vanto_util_remove_file", [](Fixture &) { EXPECT_EQ(vanto_util_remove_file(nullptr), -1); });
  add("vanto_util_remove_directory", [](Fixture &) { EXPECT_EQ(vanto_util_remove_directory(nullptr), -1); });
  add("vanto_util_file_size", [](Fixture &) { EXPECT_EQ(vanto_util_file_size(nullptr), 0); });
  add("vanto_util_touch", [](Fixture &f) {
    EXPECT_EQ(vanto_util_touch(nullptr, 1), -1);
    EXPECT_EQ(vanto_util_touch(nullptr, 0), -1);
    EXPECT_EQ(vanto_util_touch(f.dir.file("missing").c_str(), 0), 0);  // left missing
  });
  add("vanto_util_directory_separator", [](Fixture &) { EXPECT_EQ(vanto_util_directory_separator(), '/'); });
  add("vanto_util_set_log_cbk", [](Fixture &f) {
    // A null sink is the default: setting it again, with user data or
    // without, changes nothing, and the user data is never used.
    vanto_util_set_log_cbk(nullptr, nullptr);
    vanto_util_set_log_cbk(nullptr, &f);
  });

  // ---- identity: calls without arguments ------------------------------------------------------------
  add("vanto_version", [](Fixture &) {
    EXPECT_EQ(vanto_version(), vanto_version_major() << 24 | vanto_version_minor() << 16 | vanto_version_patch());
  });
  add("vanto_version_major", [](Fixture &) { EXPECT_GE(vanto_version_major(), 0); });
  add("vanto_version_minor", [](Fixture &) { EXPECT_GE(vanto_version_minor(), 0); });
  add("vanto_version_patch", [](Fixture &) { EXPECT_GE(vanto_version_patch(), 0); });
  add("vanto_libtype", [](Fixture &) { EXPECT_STREQ(vanto_libtype(), "shared"); });
  add("vanto_license_get", [](Fixture &) { EXPECT_EQ(vanto_license_get(), vanto_license_get()); });
  return r;
}

TEST(Misuse, EveryRowIsRefusedAndLeavesTheSessionAlone) {
  const std::vector<Row> table = rows();
  for (size_t i = 0; i < table.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i) + ": " + table[i].name);
    Fixture f;
    ASSERT_NE(f.s, nullptr);
    ASSERT_NE(f.v, nullptr);
    ASSERT_NE(f.sc, nullptr);
    const std::string before = f.snapshot();
    table[i].run(f);
    EXPECT_EQ(f.snapshot(), before);
  }
}

TEST(Misuse, EveryExportHasARow) {
  std::set<std::string> covered;
  for (const Row &row : rows()) covered.insert(row.name);
  std::set<std::string> exported(std::begin(kExportNames), std::end(kExportNames));
  ASSERT_GT(exported.size(), 100u);  // the list was really generated
  for (const std::string &name : exported) EXPECT_TRUE(covered.count(name)) << "no misuse row for " << name;
  for (const std::string &name : covered) EXPECT_TRUE(exported.count(name)) << "row for an unknown export " << name;
}

// A transform over a range that is not inside the data still leaves the
// checkpoint it made (with the untransformed data) and nothing else; sums
// past the int64 range must not wrap into a valid range.
TEST(Misuse, TransformOutsideTheDataLeavesOneUntransformedCheckpoint) {
  const std::vector<std::pair<int64_t, int64_t>> ranges = {
      {kMin, 0}, {kMin, kMax}, {-1, 1}, {kMax, kMax}, {kMax, 0}, {1, kMax}, {0, -1}, {0, kMin}, {66, 0}, {62, 5}};
  for (const auto &[offset, length] : ranges) {
    SCOPED_TRACE(std::to_string(offset) + " " + std::to_string(length));
    Fixture f;
    ASSERT_EQ(f.size(), 66);
    const std::string data = vanto_session_get_segment_string(f.s, 0, f.size());
    EXPECT_EQ(vanto_edit_apply_transform(f.s, invert, nullptr, offset, length, f.dir.path().c_str()), -1);
    EXPECT_EQ(vanto_session_get_num_checkpoints(f.s), 1);
    EXPECT_EQ(vanto_session_get_segment_string(f.s, 0, f.size()), data);
    ASSERT_EQ(vanto_edit_destroy_last_checkpoint(f.s), 0);
    EXPECT_EQ(vanto_session_get_segment_string(f.s, 0, f.size()), data);
    // No scratch file of the transform is left beside the checkpoint.
    for (const auto &entry : std::filesystem::directory_iterator(f.dir.path())) {
      EXPECT_EQ(entry.path().filename().string().find(".VantoEdit"), std::string::npos) << entry.path();
    }
  }
}

}  // namespace
