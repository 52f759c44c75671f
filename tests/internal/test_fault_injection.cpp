// Failures of every I/O step of save, checkpoint creation and session
// transforms, injected one at a time through the library's I/O seam, and
// real ones: a file-size limit, a full file system, a process killed in the
// middle of a save.
//
// For each call and each kind of I/O step (open, read, write, flush, fsync,
// close, rename, directory fsync) a dry run counts how often the call takes
// that step; then the call is repeated with the n-th such step failing, for
// every n.  After each failure:
//   - the call returns one of the codes documented for that step;
//   - the target is byte for byte the old file (or, where the call reported
//     success, the new one);
//   - no temporary or scratch file is left, except the complete temporary
//     file a save keeps at -9, which is named in the log;
//   - the session still reads its data and keeps its history;
//   - the same call, without faults, then succeeds.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "impl_/io.h"
#include "model_text.h"
#include "test_support.h"
#include "vanto_edit.h"

namespace {

namespace fs = std::filesystem;
namespace io = vanto::internal::io;
using vanto::test::data_of;
using vanto::test::LogCapture;
using vanto::test::random_bytes;
using vanto::test::read_file;
using vanto::test::write_file;

constexpr int kOps = 8;
const std::array<io::Op, kOps> kAllOps = {io::Op::kOpen,  io::Op::kRead,   io::Op::kWrite,  io::Op::kFlush,
                                          io::Op::kSync,  io::Op::kClose,  io::Op::kRename, io::Op::kSyncDir};

const char *op_name(io::Op op) {
  switch (op) {
    case io::Op::kOpen: return "open";
    case io::Op::kRead: return "read";
    case io::Op::kWrite: return "write";
    case io::Op::kFlush: return "flush";
    case io::Op::kSync: return "fsync";
    case io::Op::kClose: return "close";
    case io::Op::kRename: return "rename";
    case io::Op::kSyncDir: return "directory fsync";
  }
  return "?";
}

// The fault plan: the `fail_at`-th call (from 0) of `op` fails with `error`,
// or, with `kill`, kills the process just before that call.  Every call is
// counted.
struct FaultPlan {
  io::Op op = io::Op::kOpen;
  int fail_at = -1;
  int error = EIO;
  bool kill = false;
  std::array<int, kOps> counts{};

  void reset() { *this = FaultPlan{}; }
};
FaultPlan g_plan;

int fault_hook(io::Op op) {
  const int index = g_plan.counts[static_cast<size_t>(op)]++;
  if (op != g_plan.op || index != g_plan.fail_at) return 0;
  if (g_plan.kill) ::kill(::getpid(), SIGKILL);
  return g_plan.error;
}

class HookScope {
 public:
  HookScope() {
    g_plan.reset();
    io::set_fault_hook(fault_hook);
  }
  ~HookScope() { io::set_fault_hook(nullptr); }
};

// A directory in memory where there is one (fsync is cheap there), removed
// with everything in it.
class WorkDir {
 public:
  WorkDir() {
    std::error_code ec;
    const fs::path base = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string tmpl = (base / "vanto-faults-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~WorkDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path &path() const { return path_; }
  std::string file(const std::string &name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

unsigned char invert(unsigned char b, void *) { return static_cast<unsigned char>(~b); }

// Names of the library's temporary, checkpoint and scratch files under a directory.
std::vector<std::string> library_files(const fs::path &dir) {
  std::vector<std::string> out;
  for (const auto &entry : fs::recursive_directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(".VantoEdit", 0) == 0) out.push_back(entry.path().string());
  }
  return out;
}

// A session of 2.5 MiB (three write blocks) on its own file, with an insert,
// a delete and an overwrite spread over it, and a target file with old
// contents beside it.
struct World {
  WorkDir dir;
  std::string base_path = dir.file("base.bin");
  std::string target = dir.file("target.bin");
  std::string chk_dir = dir.file("chk");
  std::string base = random_bytes(5 * 512 * 1024, 42);
  std::string expected;
  vanto_session_t *s = nullptr;
  int64_t checkpoints_before = 0;  // taken by each call below
  // A save over the own file replaced it but could not re-base (-10): the
  // session reads the old file on, and later saves over the name are saves
  // over another file.
  bool replaced_without_rebase = false;

  World() {
    write_file(base_path, base);
    write_file(target, "old target");
    s = vanto_edit_create_session(base_path.c_str(), nullptr, nullptr, 0);
    expected = base;
    vanto_edit_insert(s, 1000, "INSERT", 6);
    expected.insert(1000, "INSERT");
    vanto_edit_delete(s, 2 << 20, 100);
    expected.erase(2 << 20, 100);
    vanto_edit_overwrite(s, 1 << 20, "OVER", 4);
    expected.replace(1 << 20, 4, "OVER");
  }
  ~World() { vanto_edit_destroy_session(s); }
  World(const World &) = delete;
  World &operator=(const World &) = delete;
};

// One call under test and how to judge its outcome.
struct Scenario {
  const char *name;
  std::function<int(World &)> call;
  // Checks the state after the call returned `rc`; adds failures.
  std::function<void(World &, int rc)> check;
};

std::string transformed(const std::string &data) {
  std::string out = data;
  for (size_t i = 100; i < 200; ++i) out[i] = static_cast<char>(~out[i]);
  return out;
}

// The session's history is still the three changes it was given.
void expect_history_kept(World &w) {
  EXPECT_EQ(vanto_session_get_num_changes(w.s), 3);
  EXPECT_EQ(data_of(w.s), w.expected);
}

std::vector<Scenario> scenarios() {
  return {
      {"save over an existing file", [](World &w) { return vanto_edit_save(w.s, w.target.c_str(), SAVE_FLAG_OVERWRITE, nullptr); },
       [](World &w, int rc) {
         EXPECT_EQ(read_file(w.target), rc == 0 ? w.expected : "old target");
         expect_history_kept(w);
       }},
      {"save under a free name", [](World &w) { return vanto_edit_save(w.s, w.target.c_str(), SAVE_FLAG_NONE, nullptr); },
       [](World &w, int rc) {
         EXPECT_EQ(read_file(w.target), "old target");
         const std::string free_name = w.dir.file("target-1.bin");
         if (rc == 0) {
           EXPECT_EQ(read_file(free_name), w.expected);
         } else {
           EXPECT_FALSE(fs::exists(free_name));
         }
         expect_history_kept(w);
       }},
      {"save over the session's own file",
       [](World &w) { return vanto_edit_save(w.s, w.base_path.c_str(), SAVE_FLAG_OVERWRITE, nullptr); },
       [](World &w, int rc) {
         EXPECT_EQ(data_of(w.s), w.expected);
         if (rc == 0) {
           // Re-based on the saved file: no history left.
           EXPECT_EQ(read_file(w.base_path), w.expected);
           EXPECT_EQ(vanto_session_get_num_changes(w.s), w.replaced_without_rebase ? 3 : 0);
         } else if (rc == -10) {
           // Saved, but the session goes on with its previous history.
           EXPECT_EQ(read_file(w.base_path), w.expected);
           expect_history_kept(w);
           w.replaced_without_rebase = true;
         } else {
           EXPECT_EQ(read_file(w.base_path), w.base);
           expect_history_kept(w);
         }
       }},
      {"checkpoint",
       [](World &w) {
         w.checkpoints_before = vanto_session_get_num_checkpoints(w.s);
         return vanto_edit_create_checkpoint(w.s, w.chk_dir.c_str());
       },
       [](World &w, int rc) {
         EXPECT_EQ(vanto_session_get_num_checkpoints(w.s), w.checkpoints_before + (rc == 0 ? 1 : 0));
         EXPECT_EQ(data_of(w.s), w.expected);
         EXPECT_EQ(vanto_session_get_num_changes(w.s), 3);
         EXPECT_EQ(read_file(w.base_path), w.base);
       }},
      {"transform",
       [](World &w) {
         w.checkpoints_before = vanto_session_get_num_checkpoints(w.s);
         return vanto_edit_apply_transform(w.s, invert, nullptr, 100, 100, w.chk_dir.c_str());
       },
       [](World &w, int rc) {
         const int64_t added = vanto_session_get_num_checkpoints(w.s) - w.checkpoints_before;
         if (rc == 0) {
           EXPECT_EQ(added, 1);
           EXPECT_EQ(data_of(w.s), transformed(w.expected));
         } else {
           // Refused before the checkpoint, or failed after it with the
           // checkpoint left untransformed.
           EXPECT_TRUE(added == 0 || added == 1) << added;
           EXPECT_EQ(data_of(w.s), w.expected);
         }
         EXPECT_EQ(vanto_session_get_num_changes(w.s), 3);
         EXPECT_EQ(read_file(w.base_path), w.base);
       }},
  };
}

// Codes a call may return when a step of kind `op` fails.
std::set<int> allowed_codes(const std::string &scenario, io::Op op) {
  const bool save = scenario.rfind("save", 0) == 0;
  switch (op) {
    case io::Op::kSyncDir:
      return {0};  // the data is in place; the failure is only logged
    case io::Op::kOpen:
      // mkstemp (-3), the directory opened for its fsync (logged only), the
      // re-based session's reopen (-10); checkpoints and transforms: -1.
      return save ? std::set<int>{-3, 0, -10} : std::set<int>{-1, 0};
    case io::Op::kRead:
      return save ? std::set<int>{-5} : std::set<int>{-1};
    case io::Op::kRename:
      return save ? std::set<int>{-9} : std::set<int>{-1};
    default:
      return save ? std::set<int>{-6} : std::set<int>{-1};
  }
}

// After a failed call: no library file except a checkpoint the session now
// holds, and at -9 the complete temporary file named in the log.
void expect_no_leftovers(World &w, int rc, const std::string &log) {
  std::set<std::string> allowed;
  for (const auto &path : library_files(w.dir.path())) {
    const std::string name = fs::path(path).filename().string();
    if (vanto_session_get_num_checkpoints(w.s) > 0 && path == vanto_session_get_file_path(w.s)) continue;
    if (rc == -9 && name.rfind(".VantoEdit_", 0) == 0 && allowed.empty()) {
      EXPECT_EQ(read_file(path), w.expected) << "the kept temporary file is not complete";
      EXPECT_NE(log.find(path), std::string::npos) << "the kept temporary file is not named in the log";
      allowed.insert(path);
      fs::remove(path);
      continue;
    }
    ADD_FAILURE() << "left behind: " << path;
  }
}

TEST(FaultInjection, EveryFailingStepOfSaveCheckpointAndTransform) {
  HookScope hooks;
  int injected = 0;
  for (const Scenario &scenario : scenarios()) {
    for (io::Op op : kAllOps) {
      // Dry run: how often does the call take this step?
      int steps = 0;
      {
        World w;
        ASSERT_NE(w.s, nullptr);
        g_plan.reset();
        ASSERT_EQ(scenario.call(w), 0) << scenario.name;
        steps = g_plan.counts[static_cast<size_t>(op)];
      }
      // Writes go straight to descriptors (no stream to flush), and a
      // checkpoint writes the file it created, with no rename.
      const bool taken = op != io::Op::kFlush &&
                         !(op == io::Op::kRename && std::string(scenario.name) == "checkpoint");
      if (taken) {
        EXPECT_GT(steps, 0) << scenario.name << ": no " << op_name(op) << " step";
      }
      for (int n = 0; n < steps; ++n) {
        SCOPED_TRACE(std::string(scenario.name) + ", " + op_name(op) + " #" + std::to_string(n));
        World w;
        g_plan.reset();
        g_plan.op = op;
        g_plan.fail_at = n;
        g_plan.error = op == io::Op::kWrite ? ENOSPC : EIO;
        int rc = 0;
        std::string log;
        {
          LogCapture capture;
          rc = scenario.call(w);
          log = capture.text();
        }
        ++injected;
        EXPECT_EQ(g_plan.counts[static_cast<size_t>(op)] > n, true) << "the fault was not reached";
        g_plan.reset();
        EXPECT_EQ(allowed_codes(scenario.name, op).count(rc), 1u) << "code " << rc;
        scenario.check(w, rc);
        expect_no_leftovers(w, rc, log);
        // Without the fault the same call succeeds (for a save over the own
        // file that re-based already, this saves the re-based data again).
        if (rc != 0) {
          const int again = scenario.call(w);
          EXPECT_EQ(again, 0) << "retry";
          scenario.check(w, again);
        }
        EXPECT_EQ(vanto_check_model(w.s), 0);
      }
    }
  }
  EXPECT_GT(injected, 40);
}

// The public file transform: a failure at any of its steps (opening either
// file, a read, a write, the output's close) is -1, leaves no output and
// never touches the input.
TEST(FaultInjection, EveryFailingStepOfTheFileTransformLeavesNoOutput) {
  HookScope hooks;
  WorkDir dir;
  const std::string input = dir.file("in.bin");
  const std::string output = dir.file("out.bin");
  const std::string data = random_bytes(3 * 1024 * 1024 + 17, 7);
  write_file(input, data);
  auto run = [&] {
    return vanto_util_apply_byte_transform_to_file(input.c_str(), output.c_str(), invert, nullptr, 5, 0);
  };
  for (io::Op op : {io::Op::kOpen, io::Op::kRead, io::Op::kWrite, io::Op::kClose}) {
    g_plan.reset();
    ASSERT_EQ(run(), 0);
    const int steps = g_plan.counts[static_cast<size_t>(op)];
    EXPECT_GT(steps, 0) << op_name(op);
    fs::remove(output);
    for (int n = 0; n < steps; ++n) {
      SCOPED_TRACE(std::string(op_name(op)) + " #" + std::to_string(n));
      g_plan.reset();
      g_plan.op = op;
      g_plan.fail_at = n;
      g_plan.error = op == io::Op::kWrite ? ENOSPC : EIO;
      {
        LogCapture quiet;
        testing::internal::CaptureStderr();
        EXPECT_EQ(run(), -1);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("transform failed"), std::string::npos);
      }
      EXPECT_FALSE(fs::exists(output));
      EXPECT_EQ(read_file(input), data);
    }
  }
  g_plan.reset();
}

// ---- a killed save ---------------------------------------------------------------

// The child saves over the target and is killed just before the n-th step of
// one kind: afterwards the target is either the complete old or the complete
// new file.
TEST(FaultInjection, SaveKilledAtAnyStepLeavesTheOldOrTheNewFile) {
  HookScope hooks;
  const std::vector<io::Op> kill_ops = {io::Op::kRead,   io::Op::kWrite, io::Op::kSync,
                                        io::Op::kClose,  io::Op::kRename, io::Op::kSyncDir};
  int kills = 0;
  for (const bool own : {false, true}) {
    for (io::Op op : kill_ops) {
      int steps = 0;
      {
        World w;
        g_plan.reset();
        ASSERT_EQ(vanto_edit_save(w.s, own ? w.base_path.c_str() : w.target.c_str(), SAVE_FLAG_OVERWRITE, nullptr), 0);
        steps = g_plan.counts[static_cast<size_t>(op)];
      }
      for (int n = 0; n < steps; ++n) {
        SCOPED_TRACE(std::string(own ? "own file" : "other file") + ", killed before " + op_name(op) + " #" +
                     std::to_string(n));
        World w;
        const std::string &target = own ? w.base_path : w.target;
        const std::string old_contents = read_file(target);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
          g_plan.reset();
          g_plan.op = op;
          g_plan.fail_at = n;
          g_plan.kill = true;
          vanto_edit_save(w.s, target.c_str(), SAVE_FLAG_OVERWRITE, nullptr);
          ::_exit(3);  // the kill point was not reached
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
        ++kills;
        const std::string now = read_file(target);
        EXPECT_TRUE(now == old_contents || now == w.expected) << "target of " << now.size() << " bytes";
        // Killed before the rename: old; after it: new.
        const bool renamed = op == io::Op::kSyncDir;
        EXPECT_EQ(now, renamed ? w.expected : old_contents);
        // The parent's session is untouched by the child's death.
        EXPECT_EQ(data_of(w.s), w.expected);
      }
    }
  }
  EXPECT_GT(kills, 10);
}

// ---- real faults ------------------------------------------------------------------

// Runs `body` in a child process and returns its exit status: 0 when every
// check passed, else the number of the first failed check (77 = skip).
int in_child(const std::function<int()> &body) {
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    int rc = 99;
    {
      LogCapture quiet;
      rc = body();
    }
    ::_exit(rc);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -2;
  return WEXITSTATUS(status);
}

TEST(RealFaults, FileSizeLimitFailsTheSaveWithAShortWriteThenEfbig) {
  World w;
  const int status = in_child([&]() -> int {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit original {};
    ::getrlimit(RLIMIT_FSIZE, &original);
    struct rlimit limit = original;
    limit.rlim_cur = (1 << 20) + 12345;  // a short write inside the second block, then EFBIG
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 77;
    if (vanto_edit_save(w.s, w.target.c_str(), SAVE_FLAG_OVERWRITE, nullptr) != -6) return 1;
    if (read_file(w.target) != "old target") return 2;
    if (vanto_edit_save(w.s, w.dir.file("new.bin").c_str(), SAVE_FLAG_NONE, nullptr) != -6) return 3;
    if (fs::exists(w.dir.file("new.bin"))) return 4;
    if (vanto_edit_create_checkpoint(w.s, w.chk_dir.c_str()) != -1) return 5;
    if (vanto_edit_apply_transform(w.s, invert, nullptr, 0, 0, w.chk_dir.c_str()) != -1) return 6;
    if (vanto_session_get_num_checkpoints(w.s) != 0) return 7;
    if (!library_files(w.dir.path()).empty()) return 8;
    if (data_of(w.s) != w.expected) return 9;
    if (::setrlimit(RLIMIT_FSIZE, &original) != 0) return 10;
    if (vanto_edit_save(w.s, w.target.c_str(), SAVE_FLAG_OVERWRITE, nullptr) != 0) return 11;
    if (read_file(w.target) != w.expected) return 12;
    return 0;
  });
  if (status == 77) GTEST_SKIP() << "cannot lower the file-size limit";
  EXPECT_EQ(status, 0) << "first failed check in the child";
}

TEST(RealFaults, FullFileSystemFailsTheSaveAndFreesItsSpace) {
  World w;
  const std::string mount_point = w.dir.file("small");
  fs::create_directory(mount_point);
  const int status = in_child([&]() -> int {
    // A private mount namespace, so that the small file system is seen by
    // this process only and goes with it.
    if (::unshare(CLONE_NEWNS) != 0) return 77;
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
    if (::mount("vanto-small", mount_point.c_str(), "tmpfs", 0, "size=1m") != 0) return 77;
    const std::string target = mount_point + "/target.bin";
    write_file(target, "old target");
    if (vanto_edit_save(w.s, target.c_str(), SAVE_FLAG_OVERWRITE, nullptr) != -6) return 1;
    if (read_file(target) != "old target") return 2;
    if (vanto_edit_create_checkpoint(w.s, mount_point.c_str()) != -1) return 3;
    if (vanto_edit_apply_transform(w.s, invert, nullptr, 0, 0, mount_point.c_str()) != -1) return 4;
    if (vanto_session_get_num_checkpoints(w.s) != 0) return 5;
    if (!library_files(mount_point).empty()) return 6;
    if (data_of(w.s) != w.expected) return 7;
    // Small enough to fit: the space of the failed attempts was given back.
    if (vanto_edit_delete(w.s, 100000, INT64_MAX) <= 0) return 8;
    if (vanto_edit_save(w.s, target.c_str(), SAVE_FLAG_OVERWRITE, nullptr) != 0) return 9;
    if (read_file(target) != w.expected.substr(0, 100000)) return 10;
    if (vanto_edit_create_checkpoint(w.s, mount_point.c_str()) != 0) return 11;
    return 0;
  });
  if (status == 77) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare or mount refused)";
  EXPECT_EQ(status, 0) << "first failed check in the child";
}

}  // namespace
