// `vanto-edit demo`: a walk through what the library does, on a small sample
// file in a temporary directory that is removed at the end.  Every step is
// checked against a copy of the expected text kept here; a mismatch fails
// the demo.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <fmt/format.h>

#include "commands.h"
#include "text.h"

namespace vtool {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSample =
    "The quick brown fox jumps over the lazy dog.\n"
    "Pack my box with five dozen liquor jugs.\n"
    "How vexingly quick daft zebras jump!\n";
constexpr int64_t kViewportBytes = 48;
constexpr const char *kIndent = "               ";

// A fresh directory under the system's temporary directory, removed with
// everything in it when this goes.
class TempDir {
 public:
  TempDir() {
    std::string name = (fs::temp_directory_path() / "vanto-edit-demo-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) throw Failure(fmt::format("demo: cannot create a temporary directory: {}", std::strerror(errno)));
    path_ = name;
  }
  ~TempDir() { remove(); }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  bool remove() {
    std::error_code error;
    if (!path_.empty()) fs::remove_all(path_, error);
    return !error && !fs::exists(path_, error);
  }
  const fs::path &path() const { return path_; }

 private:
  fs::path path_;
};

struct ViewportEvents {
  int edits = 0;
  int undos = 0;
  int transforms = 0;
};

void on_viewport_event(const vanto_viewport_t *viewport, int32_t event, const void *) {
  auto *events = static_cast<ViewportEvents *>(vanto_viewport_get_user_data_ptr(viewport));
  if (event == VIEWPORT_EVENT_EDIT) ++events->edits;
  if (event == VIEWPORT_EVENT_UNDO) ++events->undos;
  if (event == VIEWPORT_EVENT_TRANSFORM) ++events->transforms;
}

void step(std::string_view name, const std::string &text) { fmt::print("{:<15}{}\n", name, text); }
void more(const std::string &text) { fmt::print("{}{}\n", kIndent, text); }

void check(bool ok, std::string_view what) {
  if (!ok) throw Failure(fmt::format("demo: {}", what));
}

void show_viewport(const vanto_viewport_t *viewport) {
  const unsigned char *data = vanto_viewport_get_data(viewport);
  const int64_t length = vanto_viewport_get_length(viewport);
  check(data != nullptr, "the viewport cannot be read");
  const int64_t offset = vanto_viewport_get_offset(viewport);
  for (int64_t i = 0; i < length; i += 16) {
    std::string line = dump_line(offset + i, 8, data + i, std::min<int64_t>(16, length - i));
    line.pop_back();
    more(line);
  }
}

std::string read_file(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string session_data(const vanto_session_t *session) {
  return vanto_session_get_segment_string(session, 0, vanto_session_get_computed_file_size(session));
}

}  // namespace

int run_demo(const CommonOptions &common) {
  fmt::print("vanto-edit demo: the library {}.{}.{} at work on a small file\n\n", vanto_version_major(),
             vanto_version_minor(), vanto_version_patch());
  TempDir dir;
  const fs::path sample = dir.path() / "sample.txt";
  {
    std::ofstream out(sample, std::ios::binary);
    out << kSample;
    check(static_cast<bool>(out.flush()), "cannot write the sample file");
  }
  step("sample", fmt::format("{} bytes written to {}", kSample.size(), shown_name(sample.string())));

  std::string expected(kSample);  // what the session's data must be
  Progress progress(common);
  {
    Session session(sample.string(), progress);
    vanto_session_t *const s = session.get();
    step("open", fmt::format("session on sample.txt, {} bytes; the file is only ever read", session.size()));

    ViewportEvents events;
    vanto_viewport_t *viewport = vanto_edit_create_viewport(s, 0, kViewportBytes, 0, &on_viewport_event, &events,
                                                            VIEWPORT_EVENT_ALL);
    check(viewport != nullptr, "cannot create a viewport");
    step("viewport", fmt::format("{} bytes at offset 0, before any edit:", kViewportBytes));
    show_viewport(viewport);

    // Three edits; `expected` follows along.
    const std::string hello = "Hello! ";
    check(vanto_edit_insert_string(s, 0, hello) > 0, "insert failed");
    expected.insert(0, hello);
    const int64_t fox = static_cast<int64_t>(expected.find("fox"));
    check(vanto_edit_overwrite_string(s, fox, "cat") > 0, "overwrite failed");
    expected.replace(static_cast<std::size_t>(fox), 3, "cat");
    const int64_t lazy = static_cast<int64_t>(expected.find("lazy "));
    check(vanto_edit_delete(s, lazy, 5) > 0, "delete failed");
    expected.erase(static_cast<std::size_t>(lazy), 5);
    check(session_data(s) == expected, "the edited data is not what the edits should give");
    check(read_file(sample) == kSample, "the sample file changed");
    step("edit", fmt::format("insert \"Hello! \" at 0, overwrite \"fox\" with \"cat\" at {}, delete \"lazy \" at {}", fox, lazy));
    more(fmt::format("{} changes recorded, {} bytes now; sample.txt on disk is unchanged",
                     vanto_session_get_num_changes(s), session.size()));

    step("viewport", fmt::format("heard of {} edits and is refilled when read:", events.edits));
    show_viewport(viewport);

    std::vector<int64_t> found;
    vanto_search_context_t *search = vanto_search_create_context(s, "QUICK", 5, 0, 0, 1);
    check(search != nullptr, "cannot create a search context");
    while (vanto_search_next_match(search, 5) == 1) found.push_back(vanto_search_context_get_offset(search));
    vanto_search_destroy_context(search);
    check(found.size() == 2 && found[0] == static_cast<int64_t>(expected.find("quick")), "the search found the wrong places");
    step("search", fmt::format("\"QUICK\", ignoring case: found at offsets {}", fmt::join(found, " and ")));

    const int64_t size_edited = session.size();
    check(vanto_edit_undo_last_change(s) != 0 && session.size() == size_edited + 5, "undo failed");
    step("undo", fmt::format("the delete is taken back: {} bytes, \"lazy \" is there again", session.size()));
    check(vanto_edit_redo_last_undo(s) > 0 && session_data(s) == expected, "redo failed");
    step("redo", fmt::format("and done again: {} bytes", session.size()));

    check(vanto_edit_create_checkpoint(s, dir.path().c_str()) == 0, "cannot create a checkpoint");
    check(vanto_edit_undo_last_change(s) == 0, "undo reached behind the checkpoint");
    step("checkpoint", fmt::format("the data is frozen in a checkpoint file in {}", shown_name(dir.path().string())));
    more("the edits before it can no longer be undone, only rolled back with it");

    const int64_t first_line = static_cast<int64_t>(expected.find('\n'));
    struct Upper {
      static unsigned char apply(unsigned char byte, void *) {
        return byte >= 'a' && byte <= 'z' ? static_cast<unsigned char>(byte - 'a' + 'A') : byte;
      }
    };
    check(vanto_edit_apply_transform(s, &Upper::apply, nullptr, 0, first_line, dir.path().c_str()) == 0,
          "the transform failed");
    for (int64_t i = 0; i < first_line; ++i) expected[i] = static_cast<char>(Upper::apply(static_cast<unsigned char>(expected[i]), nullptr));
    check(session_data(s) == expected && events.transforms == 1, "the transform gave the wrong data");
    step("transform", fmt::format("the first line ({} bytes) to upper case, through a checkpoint of its own ({} now):", first_line,
                                  vanto_session_get_num_checkpoints(s)));
    show_viewport(viewport);

    const fs::path edited = dir.path() / "edited.txt";
    char saved[VANTO_PATH_BUFFER_SIZE] = {};
    check(vanto_edit_save(s, edited.c_str(), SAVE_FLAG_NONE, saved) == 0, "the save failed");
    check(read_file(saved) == expected, "the saved file is not the edited data");
    check(read_file(sample) == kSample, "the sample file changed");
    step("save", fmt::format("{} bytes written to a new file and renamed to {}", expected.size(), shown_name(fs::path(saved).filename().string())));
    more(fmt::format("in one step; sample.txt still has its {} original bytes", kSample.size()));
  }
  check(dir.remove(), "the temporary directory cannot be removed");
  step("clean up", "session closed, its checkpoint files and the temporary directory removed");
  fmt::print("\nNext: vanto-edit --help, and vanto-edit COMMAND --help for dump, find, profile, apply, replace.\n");
  return kExitOk;
}

}  // namespace vtool
