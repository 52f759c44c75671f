// Separate sessions used from separate threads at the same time, and the
// library's process-wide state.
//
// The threads edit, read, search, profile, checkpoint, transform and save
// into one shared directory, in both save modes (their free-name saves all
// aim at one name).  Every thread checks its own results and hands them to
// the main thread, which asserts: every saved file holds what its session
// held, no two saves or checkpoints got the same name, no temporary file is
// left.  The thread sanitizer build (scripts/test) runs these tests and
// fails on any race report.
//
// Process-wide state: the six static result buffers of the path utilities
// are never written by the library's own calls (checked with sentinels while
// sessions save, checkpoint and transform, and read concurrently so that the
// thread sanitizer would see a write), and the temporary-name generator
// never gives two threads the same name.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "vanto_edit.h"

namespace {

namespace fs = std::filesystem;
using vanto::test::random_bytes;
using vanto::test::read_file;
using vanto::test::ScratchDir;
using vanto::test::write_file;

constexpr int kThreads = 4;

unsigned char add_one(unsigned char b, void *) { return static_cast<unsigned char>(b + 1); }

std::string data_of(const vanto_session_t *s) {
  return vanto_session_get_segment_string(s, 0, vanto_session_get_computed_file_size(s));
}

// What one worker did, checked on the main thread.
struct WorkerResult {
  std::vector<std::string> problems;
  std::map<std::string, std::string> saved;  // canonical path -> expected contents
  std::vector<std::string> checkpoint_files;
};

void note(WorkerResult &r, bool ok, const std::string &what) {
  if (!ok) r.problems.push_back(what);
}

// One worker: its own session on its own file, many rounds of work.
void work(int id, const fs::path &shared_dir, const std::string &base_path, WorkerResult &r) {
  std::string expected = read_file(base_path);
  vanto_session_t *s = vanto_edit_create_session(base_path.c_str(), nullptr, nullptr, 0);
  if (s == nullptr) {
    r.problems.push_back("session");
    return;
  }
  const std::string chk_dir = (shared_dir / "checkpoints").string();
  const std::string tag = "<t" + std::to_string(id) + ">";
  vanto_viewport_t *viewport = vanto_edit_create_viewport(s, 0, 64, 0, nullptr, nullptr, 0);
  for (int round = 0; round < 12; ++round) {
    const std::string label = "thread " + std::to_string(id) + " round " + std::to_string(round) + ": ";
    const auto at = static_cast<int64_t>((round * 977 + id * 131) % (expected.size() + 1));
    note(r, vanto_edit_insert(s, at, tag.c_str(), static_cast<int64_t>(tag.size())) > 0, label + "insert");
    expected.insert(static_cast<size_t>(at), tag);
    note(r, vanto_edit_delete(s, 3, 2) > 0, label + "delete");
    expected.erase(3, 2);
    note(r, vanto_edit_overwrite(s, 10, "OVER", 4) > 0, label + "overwrite");
    expected.replace(10, 4, "OVER");

    // Reads, search and profile see exactly this thread's data.
    note(r, data_of(s) == expected, label + "data");
    const unsigned char *view = vanto_viewport_get_data(viewport);
    note(r, view != nullptr && std::memcmp(view, expected.data(), std::min<size_t>(64, expected.size())) == 0,
         label + "viewport");
    vanto_search_context_t *search = vanto_search_create_context(s, tag.c_str(), 0, 0, 0, 0);
    int64_t matches = 0;
    while (vanto_search_next_match(search, 1) == 1) ++matches;
    vanto_search_destroy_context(search);
    int64_t want_matches = 0;
    for (size_t p = expected.find(tag); p != std::string::npos; p = expected.find(tag, p + 1)) ++want_matches;
    note(r, matches == want_matches, label + "search");
    std::array<int64_t, 256> counts{};
    note(r, vanto_session_profile(s, counts.data(), 0, 0) == 0, label + "profile");
    note(r, counts['>'] == static_cast<int64_t>(std::count(expected.begin(), expected.end(), '>')),
         label + "profile counts");

    // Saves into the shared directory: a name of its own, overwritten, and
    // the one name every thread saves under in free-name mode.
    char saved[VANTO_PATH_BUFFER_SIZE];
    const std::string own = (shared_dir / ("own-" + std::to_string(id) + ".bin")).string();
    note(r, vanto_edit_save(s, own.c_str(), SAVE_FLAG_OVERWRITE, saved) == 0, label + "save overwrite");
    r.saved[saved] = expected;
    const std::string common = (shared_dir / "common.bin").string();
    if (vanto_edit_save(s, common.c_str(), SAVE_FLAG_NONE, saved) != 0) {
      r.problems.push_back(label + "save free name");
    } else {
      r.saved[saved] = expected;
    }

    // A checkpoint or a transform every few rounds, in the shared directory.
    if (round % 4 == 1) {
      note(r, vanto_edit_create_checkpoint(s, chk_dir.c_str()) == 0, label + "checkpoint");
      const char *path = vanto_session_get_file_path(s);
      if (path != nullptr) r.checkpoint_files.push_back(path);
    } else if (round % 4 == 3) {
      note(r, vanto_edit_apply_transform(s, add_one, nullptr, 0, 5, chk_dir.c_str()) == 0, label + "transform");
      const char *path = vanto_session_get_file_path(s);
      if (path != nullptr) r.checkpoint_files.push_back(path);
      for (size_t i = 0; i < 5; ++i) expected[i] = static_cast<char>(expected[i] + 1);
      note(r, data_of(s) == expected, label + "data after transform");
    }
  }
  note(r, vanto_check_model(s) == 0, "model check");
  vanto_edit_destroy_session(s);
}

TEST(Threads, SeparateSessionsWorkAtOnceAndEverySavedFileIsCorrect) {
  ScratchDir dir;
  std::vector<std::string> bases;
  for (int i = 0; i < kThreads; ++i) {
    bases.push_back(dir.file("base-" + std::to_string(i) + ".bin"));
    write_file(bases.back(), random_bytes(20000 + 1000 * static_cast<size_t>(i), 100 + static_cast<uint64_t>(i)));
  }
  const fs::path shared = dir.path() / "shared";
  fs::create_directory(shared);
  std::vector<WorkerResult> results(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back(work, i, shared, bases[static_cast<size_t>(i)], std::ref(results[static_cast<size_t>(i)]));
  }
  for (auto &t : threads) t.join();

  std::map<std::string, std::string> all_saved;
  std::set<std::string> checkpoints;
  size_t checkpoint_count = 0;
  for (const WorkerResult &r : results) {
    EXPECT_TRUE(r.problems.empty()) << r.problems.front();
    for (const auto &[path, contents] : r.saved) {
      // Overwrite saves repeat their own name; a free-name save must never
      // land on a name another thread saved under.
      if (path.find("common") != std::string::npos) {
        EXPECT_EQ(all_saved.count(path), 0u) << path;
      }
      all_saved[path] = contents;
    }
    checkpoints.insert(r.checkpoint_files.begin(), r.checkpoint_files.end());
    checkpoint_count += r.checkpoint_files.size();
  }
  EXPECT_EQ(checkpoints.size(), checkpoint_count) << "two checkpoints shared a file name";
  // Each thread saved under the common name 12 times, every time a new file.
  size_t common = 0;
  for (const auto &[path, contents] : all_saved) {
    EXPECT_EQ(read_file(path), contents) << path;
    if (path.find("common") != std::string::npos) ++common;
  }
  EXPECT_EQ(common, static_cast<size_t>(kThreads) * 12);
  // Nothing temporary is left, and the sessions took their checkpoints along.
  for (const auto &entry : fs::recursive_directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().filename().string().rfind(".VantoEdit", 0), std::string::npos) << entry.path();
  }
}

TEST(Threads, TemporaryNamesAreNeverGivenTwice) {
  // Each thread draws names in a directory of its own, so the exclusive
  // create cannot hide a name drawn twice: every name must be new.
  ScratchDir dir;
  constexpr int kNamesPerThread = 400;
  std::vector<std::vector<std::string>> names(kThreads);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int i = 0; i < kThreads; ++i) {
    const fs::path own = dir.path() / std::to_string(i);
    fs::create_directory(own);
    threads.emplace_back([&, i, own] {
      for (int n = 0; n < kNamesPerThread; ++n) {
        std::string name = (own / "tmpXXXXXX").string();
        const int fd = vanto_util_mkstemp(name.data());
        if (fd < 0) {
          ++failures;
          continue;
        }
        ::close(fd);
        names[static_cast<size_t>(i)].push_back(name.substr(name.size() - 6));
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  std::set<std::string> unique;
  size_t total = 0;
  for (const auto &list : names) {
    unique.insert(list.begin(), list.end());
    total += list.size();
  }
  EXPECT_EQ(total, static_cast<size_t>(kThreads) * kNamesPerThread);
  EXPECT_EQ(unique.size(), total);
}

TEST(Threads, LibraryCallsNeverWriteThePathUtilitiesStaticBuffers) {
  ScratchDir dir;
  // The static buffers, found through null-buffer calls, then filled with
  // sentinels of the same lengths as the texts they hold.
  const std::string probe = dir.file("probe.name.txt");
  write_file(probe, "x");
  std::vector<char *> buffers = {
      vanto_util_get_current_dir(nullptr), vanto_util_dirname(probe.c_str(), nullptr),
      vanto_util_basename(probe.c_str(), nullptr, 0), vanto_util_file_extension(probe.c_str(), nullptr),
      vanto_util_normalize_path(probe.c_str(), nullptr), vanto_util_available_filename(probe.c_str(), nullptr)};
  std::vector<std::string> sentinels;
  for (size_t i = 0; i < buffers.size(); ++i) {
    ASSERT_NE(buffers[i], nullptr);
    std::string sentinel = "sentinel-" + std::to_string(i);
    std::strcpy(buffers[i], sentinel.c_str());
    sentinels.push_back(sentinel);
  }

  // Sessions save (both modes, onto their own file too), checkpoint and
  // transform on worker threads while this thread keeps reading the buffers:
  // a write by the library would be a race the thread sanitizer reports,
  // and is caught by the comparison either way.
  std::atomic<bool> done{false};
  std::vector<std::thread> workers;
  std::atomic<int> failures{0};
  for (int i = 0; i < 2; ++i) {
    workers.emplace_back([&, i] {
      const std::string base = dir.file("base" + std::to_string(i) + ".bin");
      write_file(base, "some data " + std::to_string(i));
      const std::string chk = dir.file("chk" + std::to_string(i));
      for (int round = 0; round < 5; ++round) {
        vanto_session_t *s = vanto_edit_create_session(base.c_str(), nullptr, nullptr, 0);
        char saved[VANTO_PATH_BUFFER_SIZE];
        bool ok = vanto_edit_insert(s, 0, "+", 1) > 0;
        ok = ok && vanto_edit_save(s, base.c_str(), SAVE_FLAG_NONE, saved) == 0;
        ok = ok && vanto_edit_save(s, dir.file("sub/dir/out.bin").c_str(), SAVE_FLAG_OVERWRITE, saved) == 0;
        ok = ok && vanto_edit_create_checkpoint(s, chk.c_str()) == 0;
        ok = ok && vanto_edit_apply_transform(s, add_one, nullptr, 0, 0, chk.c_str()) == 0;
        ok = ok && vanto_edit_destroy_last_checkpoint(s) == 0;
        ok = ok && vanto_edit_save(s, base.c_str(), SAVE_FLAG_OVERWRITE, saved) == 0;
        vanto_edit_destroy_session(s);
        if (!ok) ++failures;
      }
    });
  }
  std::thread reader([&] {
    while (!done.load()) {
      for (size_t i = 0; i < buffers.size(); ++i) {
        if (sentinels[i] != buffers[i]) ++failures;
      }
      std::this_thread::yield();
    }
  });
  for (auto &w : workers) w.join();
  done = true;
  reader.join();
  EXPECT_EQ(failures.load(), 0);
  for (size_t i = 0; i < buffers.size(); ++i) EXPECT_EQ(std::string(buffers[i]), sentinels[i]) << i;
}

}  // namespace
