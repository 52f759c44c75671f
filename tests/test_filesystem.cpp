// Path and file utilities: decomposition, free names, existence tests,
// create/remove/size/touch, and the static result buffers.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "vanto_edit/filesystem.h"

namespace fs = std::filesystem;
using vanto::test::ScratchDir;
using vanto::test::write_file;

namespace {

struct Decomposition {
  const char *path;
  const char *dirname;
  const char *basename;
  const char *stem;
  const char *extension;
};

// prefix + n + suffix (built by appending, which keeps GCC 12's -Wrestrict
// false positive on "literal" + std::string out of the way).
std::string numbered(const char *prefix, int n, const char *suffix) {
  std::string s(prefix);
  s.append(std::to_string(n)).append(suffix);
  return s;
}

// Changes the working directory for the life of the object.
class ChangeDir {
 public:
  explicit ChangeDir(const fs::path &to) : saved_(fs::current_path()) { fs::current_path(to); }
  ~ChangeDir() { fs::current_path(saved_); }

 private:
  fs::path saved_;
};

}  // namespace

TEST(PathDecomposition, SplitsPathsIntoParentNameStemAndExtension) {
  const Decomposition cases[] = {
      {"a/b/c.txt", "a/b", "c.txt", "c", ".txt"},
      {"a/b/", "a/b", "", "", ""},
      {"c.txt", "", "c.txt", "c", ".txt"},
      {"/c.txt", "/", "c.txt", "c", ".txt"},
      {"/", "/", "", "", ""},
      {"archive.tar.gz", "", "archive.tar.gz", "archive.tar", ".gz"},
      {"dir/.profile", "dir", ".profile", ".profile", ""},
      {"name.", "", "name.", "name", "."},
      {"x/.", "x", ".", ".", ""},
      {"x/..", "x", "..", "..", ""},
      {"noext", "", "noext", "noext", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.path);
    char buf[VANTO_PATH_BUFFER_SIZE];
    EXPECT_EQ(vanto_util_dirname(c.path, buf), buf);
    EXPECT_STREQ(buf, c.dirname);
    EXPECT_EQ(vanto_util_basename(c.path, buf, 0), buf);
    EXPECT_STREQ(buf, c.basename);
    EXPECT_EQ(vanto_util_basename(c.path, buf, 1), buf);
    EXPECT_STREQ(buf, c.stem);
    EXPECT_EQ(vanto_util_file_extension(c.path, buf), buf);
    EXPECT_STREQ(buf, c.extension);
  }
}

TEST(PathDecomposition, NullBufferUsesOneStaticBufferPerFunction) {
  char *first = vanto_util_dirname("a/b/c", nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(first, "a/b");
  char *second = vanto_util_dirname("x/y", nullptr);
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, "x");

  // Each function has a buffer of its own.
  char *base = vanto_util_basename("p/q.r", nullptr, 0);
  char *ext = vanto_util_file_extension("p/q.r", nullptr);
  EXPECT_NE(base, first);
  EXPECT_NE(ext, first);
  EXPECT_NE(ext, base);
  EXPECT_STREQ(first, "x");
  EXPECT_STREQ(base, "q.r");
  EXPECT_STREQ(ext, ".r");
}

TEST(PathDecomposition, LongResultsAreCutTo259Bytes) {
  const std::string parent(300, 'd');
  const std::string path = parent + "/file.txt";
  char buf[VANTO_PATH_BUFFER_SIZE + 8];
  std::memset(buf, 'Z', sizeof buf);
  vanto_util_dirname(path.c_str(), buf);
  EXPECT_EQ(std::string(buf), parent.substr(0, 259));
  EXPECT_EQ(buf[259], '\0');
  EXPECT_EQ(buf[260], 'Z');  // nothing written past the 260-byte buffer

  const std::string long_name = "dir/" + std::string(400, 'n') + ".e";
  vanto_util_basename(long_name.c_str(), buf, 0);
  EXPECT_EQ(std::strlen(buf), 259u);
}

TEST(PathDecomposition, NullPathIsRefused) {
  char buf[VANTO_PATH_BUFFER_SIZE];
  EXPECT_EQ(vanto_util_dirname(nullptr, buf), nullptr);
  EXPECT_EQ(vanto_util_basename(nullptr, buf, 1), nullptr);
  EXPECT_EQ(vanto_util_file_extension(nullptr, buf), nullptr);
  EXPECT_EQ(vanto_util_normalize_path(nullptr, buf), nullptr);
  EXPECT_EQ(vanto_util_available_filename(nullptr, buf), nullptr);
  EXPECT_EQ(vanto_util_file_exists(nullptr), 0);
  EXPECT_EQ(vanto_util_directory_exists(nullptr), 0);
  EXPECT_EQ(vanto_util_paths_equivalent(nullptr, "/"), 0);
  EXPECT_EQ(vanto_util_create_directory(nullptr), -1);
  EXPECT_EQ(vanto_util_remove_file(nullptr), -1);
  EXPECT_EQ(vanto_util_file_size(nullptr), 0);
  EXPECT_EQ(vanto_util_touch(nullptr, 1), -1);
}

TEST(AvailableFilename, FreePathComesBackUnchanged) {
  ScratchDir dir;
  char buf[VANTO_PATH_BUFFER_SIZE];
  const std::string missing = dir.file("missing.txt");
  EXPECT_EQ(vanto_util_available_filename(missing.c_str(), buf), buf);
  EXPECT_EQ(std::string(buf), missing);

  // A directory of that name does not make the name taken.
  const std::string sub = dir.file("sub.d");
  fs::create_directory(sub);
  EXPECT_EQ(vanto_util_available_filename(sub.c_str(), buf), buf);
  EXPECT_EQ(std::string(buf), sub);
}

TEST(AvailableFilename, NumbersTakenNamesUntilOneIsFree) {
  ScratchDir dir;
  char buf[VANTO_PATH_BUFFER_SIZE];
  write_file(dir.file("report.txt"), "r");
  EXPECT_EQ(std::string(vanto_util_available_filename(dir.file("report.txt").c_str(), buf)),
            dir.file("report-1.txt"));
  write_file(dir.file("report-1.txt"), "r");
  write_file(dir.file("report-2.txt"), "r");
  EXPECT_EQ(std::string(vanto_util_available_filename(dir.file("report.txt").c_str(), buf)),
            dir.file("report-3.txt"));

  // A directory bearing a candidate's name does not count as taken.
  write_file(dir.file("archive.tar.gz"), "a");
  fs::create_directory(dir.file("archive.tar-1.gz"));
  EXPECT_EQ(std::string(vanto_util_available_filename(dir.file("archive.tar.gz").c_str(), buf)),
            dir.file("archive.tar-1.gz"));

  write_file(dir.file(".profile"), "p");
  EXPECT_EQ(std::string(vanto_util_available_filename(dir.file(".profile").c_str(), buf)),
            dir.file(".profile-1"));
}

TEST(AvailableFilename, BareNameGivesCandidateWithoutDirectory) {
  ScratchDir dir;
  ChangeDir cd(dir.path());
  write_file("plain.bin", "x");
  EXPECT_STREQ(vanto_util_available_filename("plain.bin", nullptr), "plain-1.bin");
}

TEST(AvailableFilename, AllCandidatesTakenGivesNull) {
  ScratchDir dir;
  write_file(dir.file("report.txt"), "");
  for (int n = 1; n <= 999; ++n) write_file(dir.file(numbered("report-", n, ".txt")), "");
  char buf[VANTO_PATH_BUFFER_SIZE];
  EXPECT_EQ(vanto_util_available_filename(dir.file("report.txt").c_str(), buf), nullptr);
  fs::remove(dir.file("report-999.txt"));
  EXPECT_EQ(std::string(vanto_util_available_filename(dir.file("report.txt").c_str(), buf)),
            dir.file("report-999.txt"));
}

TEST(AvailableFilename, NameThatDoesNotFitGivesNullInsteadOfACutName) {
  ScratchDir dir;
  char buf[VANTO_PATH_BUFFER_SIZE];
  const std::size_t prefix = dir.path().string().size() + 1;  // directory and '/'

  // A taken name of 258 bytes: "-1" makes the candidate 260 bytes, too long.
  const std::string taken = dir.file(std::string(258 - prefix - 4, 't') + ".txt");
  ASSERT_EQ(taken.size(), 258u);
  write_file(taken, "x");
  // Cutting would give "...-1.tx", a free name that is not the one asked for.
  EXPECT_EQ(vanto_util_available_filename(taken.c_str(), buf), nullptr);

  // 257 bytes: the candidate is exactly 259 bytes and fits.
  const std::string fits = dir.file(std::string(257 - prefix - 4, 'f') + ".txt");
  write_file(fits, "x");
  ASSERT_NE(vanto_util_available_filename(fits.c_str(), buf), nullptr);
  EXPECT_EQ(std::strlen(buf), 259u);

  // A free path of 260 bytes cannot be handed back whole.
  const std::string free_long = dir.file(std::string(260 - prefix, 'l'));
  EXPECT_EQ(vanto_util_available_filename(free_long.c_str(), buf), nullptr);
  const std::string free_259 = dir.file(std::string(259 - prefix, 'l'));
  EXPECT_EQ(std::string(vanto_util_available_filename(free_259.c_str(), buf)), free_259);
}

TEST(AvailableFilename, LeavesOtherStaticBuffersAlone) {
  ScratchDir dir;
  write_file(dir.file("taken.dat"), "x");
  char *d = vanto_util_dirname("keep/dir/name.keep", nullptr);
  char *b = vanto_util_basename("keep/dir/name.keep", nullptr, 1);
  char *e = vanto_util_file_extension("keep/dir/name.keep", nullptr);
  char *a = vanto_util_available_filename("keep-me", nullptr);
  ASSERT_STREQ(a, "keep-me");

  char buf[VANTO_PATH_BUFFER_SIZE];
  EXPECT_EQ(std::string(vanto_util_available_filename(dir.file("taken.dat").c_str(), buf)),
            dir.file("taken-1.dat"));
  EXPECT_STREQ(d, "keep/dir");
  EXPECT_STREQ(b, "name");
  EXPECT_STREQ(e, ".keep");
  EXPECT_STREQ(a, "keep-me");
}

TEST(AvailableFilename, CallsWithOwnBuffersRunOnSeveralThreads) {
  ScratchDir dir;
  std::vector<std::string> taken;
  for (int i = 0; i < 4; ++i) {
    taken.push_back(dir.file(numbered("t", i, ".x")));
    write_file(taken.back(), "x");
  }
  std::vector<std::thread> threads;
  std::vector<int> failures(taken.size(), 0);
  for (std::size_t i = 0; i < taken.size(); ++i) {
    threads.emplace_back([&, i] {
      char buf[VANTO_PATH_BUFFER_SIZE];
      const std::string want = dir.file(numbered("t", static_cast<int>(i), "-1.x"));
      for (int k = 0; k < 200; ++k) {
        const char *got = vanto_util_available_filename(taken[i].c_str(), buf);
        if (got == nullptr || want != got) ++failures[i];
      }
    });
  }
  for (auto &t : threads) t.join();
  for (int f : failures) EXPECT_EQ(f, 0);
}

TEST(FileQueries, ExistenceSizeAndEquivalence) {
  ScratchDir dir;
  const std::string file = dir.file("data.bin");
  write_file(file, std::string(1234, 'q'));
  fs::create_symlink(file, dir.file("link"));
  fs::create_symlink(dir.file("nowhere"), dir.file("dangling"));

  EXPECT_EQ(vanto_util_file_exists(file.c_str()), 1);
  EXPECT_EQ(vanto_util_file_exists(dir.file("link").c_str()), 1);
  EXPECT_EQ(vanto_util_file_exists(dir.file("dangling").c_str()), 0);
  EXPECT_EQ(vanto_util_file_exists(dir.path().c_str()), 0);
  EXPECT_EQ(vanto_util_file_exists(dir.file("missing/deeper").c_str()), 0);
  EXPECT_EQ(vanto_util_file_exists((file + "/under-a-file").c_str()), 0);
  EXPECT_EQ(vanto_util_directory_exists(dir.path().c_str()), 1);
  EXPECT_EQ(vanto_util_directory_exists(file.c_str()), 0);
  EXPECT_EQ(vanto_util_directory_exists(dir.file("missing").c_str()), 0);

  EXPECT_EQ(vanto_util_file_size(file.c_str()), 1234);
  EXPECT_EQ(vanto_util_file_size(dir.file("link").c_str()), 1234);
  EXPECT_THROW(vanto_util_file_size(dir.file("missing").c_str()), fs::filesystem_error);

  {
    ChangeDir cd(dir.path());
    EXPECT_EQ(vanto_util_paths_equivalent("data.bin", file.c_str()), 1);
    EXPECT_EQ(vanto_util_paths_equivalent("./link", "data.bin"), 1);
  }
  write_file(dir.file("other.bin"), "o");
  EXPECT_EQ(vanto_util_paths_equivalent(file.c_str(), dir.file("other.bin").c_str()), 0);
  EXPECT_EQ(vanto_util_paths_equivalent(file.c_str(), dir.file("missing").c_str()), 0);
  EXPECT_THROW(vanto_util_paths_equivalent(dir.file("m1").c_str(), dir.file("m2").c_str()),
               fs::filesystem_error);
}

TEST(FileQueries, NormalizeAndCurrentDirectory) {
  ScratchDir dir;
  fs::create_directories(dir.path() / "real" / "sub");
  write_file(dir.file("real/sub/f.txt"), "f");
  fs::create_directory_symlink(dir.path() / "real", dir.path() / "alias");
  const std::string canonical_dir = fs::canonical(dir.path()).string();

  ChangeDir cd(dir.path());
  char buf[VANTO_PATH_BUFFER_SIZE];
  EXPECT_EQ(vanto_util_normalize_path("alias/./sub/../sub/f.txt", buf), buf);
  EXPECT_EQ(std::string(buf), canonical_dir + "/real/sub/f.txt");
  EXPECT_THROW(vanto_util_normalize_path("alias/missing", buf), fs::filesystem_error);

  EXPECT_EQ(std::string(vanto_util_get_current_dir(buf)), fs::current_path().string());
  char *s = vanto_util_get_current_dir(nullptr);
  EXPECT_EQ(s, vanto_util_get_current_dir(nullptr));
  EXPECT_EQ(std::string(s), fs::current_path().string());
}

TEST(FileActions, CreateAndRemoveDirectoriesAndFiles) {
  ScratchDir dir;
  const std::string deep = dir.file("a/b/c");
  EXPECT_EQ(vanto_util_create_directory(deep.c_str()), 0);
  EXPECT_TRUE(fs::is_directory(deep));
  EXPECT_EQ(vanto_util_create_directory(deep.c_str()), 1);
  EXPECT_THROW(vanto_util_create_directory(""), fs::filesystem_error);
  write_file(dir.file("plain"), "p");
  EXPECT_THROW(vanto_util_create_directory(dir.file("plain/x").c_str()), fs::filesystem_error);

  EXPECT_EQ(vanto_util_remove_file(dir.file("nothing").c_str()), 1);
  EXPECT_EQ(vanto_util_remove_file(dir.file("plain").c_str()), 0);
  EXPECT_FALSE(fs::exists(dir.file("plain")));
  EXPECT_THROW(vanto_util_remove_directory(dir.file("a").c_str()), fs::filesystem_error);
  EXPECT_TRUE(fs::exists(deep));
  EXPECT_EQ(vanto_util_remove_directory(deep.c_str()), 0);
  EXPECT_FALSE(fs::exists(deep));
  EXPECT_EQ(vanto_util_remove_directory(deep.c_str()), 1);
}

TEST(FileActions, TouchCreatesOnlyWhenAskedAndKeepsContents) {
  ScratchDir dir;
  const std::string missing = dir.file("missing");
  EXPECT_EQ(vanto_util_touch(missing.c_str(), 0), 0);
  EXPECT_FALSE(fs::exists(missing));

  const mode_t old_mask = ::umask(022);
  EXPECT_EQ(vanto_util_touch(missing.c_str(), 1), 0);
  ::umask(old_mask);
  struct stat st {};
  ASSERT_EQ(::stat(missing.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  const std::string existing = dir.file("existing");
  write_file(existing, "contents");
  const auto old_time = fs::file_time_type::clock::now() - std::chrono::hours(24);
  fs::last_write_time(existing, old_time);
  EXPECT_EQ(vanto_util_touch(existing.c_str(), 0), 0);
  EXPECT_EQ(vanto::test::read_file(existing), "contents");
  EXPECT_GT(fs::last_write_time(existing), old_time + std::chrono::hours(23));

  // A directory cannot be opened for writing: reported, not raised.
  testing::internal::CaptureStderr();
  EXPECT_EQ(vanto_util_touch(dir.path().c_str(), 1), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("vanto_util_touch: "), std::string::npos);
}

TEST(FileActions, SeparatorIsAPathSeparator) {
  EXPECT_EQ(vanto_util_directory_separator(), '/');
  EXPECT_EQ(fs::path(std::string("d") + vanto_util_directory_separator() + "f").filename(), "f");
}
