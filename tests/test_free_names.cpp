// Free names are claimed, not assumed: several processes save under one name
// in free-name mode (SAVE_FLAG_NONE) at the same time, many times each.
// Every save must end in a file of its own that holds exactly what was
// saved: no save may replace a file another process has just put there.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"
#include "vanto_edit.h"

namespace {

namespace fs = std::filesystem;
using vanto::test::read_file;
using vanto::test::ScratchDir;
using vanto::test::write_file;

constexpr int kProcesses = 6;
constexpr int kSavesEach = 20;

// The child's part: wait for the start signal, then save kSavesEach times,
// writing "path\tcontents" per successful save to its report.  Exit status:
// 0, or the number of the first failed save.
[[noreturn]] void child(int id, int start_fd, const std::string &base, const std::string &target,
                        const std::string &report_path) {
  vanto_session_t *s = vanto_edit_create_session(base.c_str(), nullptr, nullptr, 0);
  if (s == nullptr) ::_exit(200);
  char go = 0;
  if (::read(start_fd, &go, 1) != 1) ::_exit(201);
  std::ofstream report(report_path);
  for (int n = 1; n <= kSavesEach; ++n) {
    const std::string mark = "[p" + std::to_string(id) + "s" + std::to_string(n) + "]";
    if (vanto_edit_insert(s, 0, mark.c_str(), static_cast<int64_t>(mark.size())) <= 0) ::_exit(202);
    char saved[VANTO_PATH_BUFFER_SIZE];
    if (vanto_edit_save(s, target.c_str(), SAVE_FLAG_NONE, saved) != 0) ::_exit(n);
    report << saved << '\t'
           << vanto_session_get_segment_string(s, 0, vanto_session_get_computed_file_size(s)) << '\n';
  }
  report.close();
  vanto_edit_destroy_session(s);
  ::_exit(report ? 0 : 203);
}

void race(bool target_exists) {
  SCOPED_TRACE(target_exists ? "the name is taken before the race" : "the name is free before the race");
  ScratchDir dir;
  const std::string base = dir.file("base.txt");
  write_file(base, "shared base");
  const fs::path out = dir.path() / "out";
  fs::create_directory(out);
  const std::string target = (out / "report.txt").string();
  if (target_exists) write_file(target, "there first");

  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  std::vector<pid_t> children;
  for (int id = 0; id < kProcesses; ++id) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(start[1]);
      child(id, start[0], base, target, dir.file("report-" + std::to_string(id)));
    }
    children.push_back(pid);
  }
  ::close(start[0]);
  // Release every child at once.
  const std::string go(kProcesses, 'g');
  ASSERT_EQ(::write(start[1], go.data(), go.size()), static_cast<ssize_t>(go.size()));
  ::close(start[1]);
  for (int id = 0; id < kProcesses; ++id) {
    int status = 0;
    ASSERT_EQ(::waitpid(children[static_cast<size_t>(id)], &status, 0), children[static_cast<size_t>(id)]);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "process " << id << " (a number up to " << kSavesEach
                                      << " is the save that failed)";
  }

  // Every save has a file of its own, with exactly the saved contents.
  std::map<std::string, std::string> saved;
  for (int id = 0; id < kProcesses; ++id) {
    std::ifstream report(dir.file("report-" + std::to_string(id)));
    std::string line;
    int lines = 0;
    while (std::getline(report, line)) {
      const size_t tab = line.find('\t');
      ASSERT_NE(tab, std::string::npos);
      const std::string path = line.substr(0, tab);
      EXPECT_EQ(saved.count(path), 0u) << "two saves claimed " << path;
      saved[path] = line.substr(tab + 1);
      ++lines;
    }
    EXPECT_EQ(lines, kSavesEach) << "process " << id;
  }
  ASSERT_EQ(saved.size(), static_cast<size_t>(kProcesses * kSavesEach));
  for (const auto &[path, contents] : saved) EXPECT_EQ(read_file(path), contents) << path;
  if (target_exists) {
    EXPECT_EQ(read_file(target), "there first");
  }
  // Nothing else in the directory: no file lost, no temporary file left.
  size_t files = 0;
  for (const auto &entry : fs::directory_iterator(out)) {
    EXPECT_EQ(entry.path().filename().string().rfind(".VantoEdit", 0), std::string::npos) << entry.path();
    ++files;
  }
  EXPECT_EQ(files, saved.size() + (target_exists ? 1 : 0));
}

TEST(FreeNames, ProcessesRacingForATakenNameEachGetAFileOfTheirOwn) { race(true); }

TEST(FreeNames, ProcessesRacingForAFreeNameEachGetAFileOfTheirOwn) { race(false); }

}  // namespace
