// Small utilities: unique temporary files, range copies between streams,
// file and in-memory byte transforms, masks, bit shifts and comparisons.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "vanto_edit/utility.h"

namespace fs = std::filesystem;
using vanto::test::random_bytes;
using vanto::test::read_file;
using vanto::test::ScratchDir;
using vanto::test::write_file;

namespace {

std::vector<unsigned char> hex_bytes(std::initializer_list<int> values) {
  std::vector<unsigned char> out;
  for (int v : values) out.push_back(static_cast<unsigned char>(v));
  return out;
}

// Opens a stdio stream and closes it with the object.
struct Stream {
  Stream(const std::string &path, const char *mode) : f(std::fopen(path.c_str(), mode)) {}
  ~Stream() {
    if (f != nullptr) std::fclose(f);
  }
  Stream(const Stream &) = delete;
  Stream &operator=(const Stream &) = delete;
  std::FILE *f;
};

// Transform that XORs with 0x5A and counts its calls.
unsigned char xor_and_count(unsigned char byte, void *user_data) {
  ++*static_cast<int64_t *>(user_data);
  return static_cast<unsigned char>(byte ^ 0x5A);
}

std::string xor_range(std::string data, std::size_t offset, std::size_t length) {
  for (std::size_t i = offset; i < offset + length; ++i) data[i] = static_cast<char>(data[i] ^ 0x5A);
  return data;
}

// ---- vanto_util_mkstemp ----------------------------------------------------

TEST(Mkstemp, RejectsTemplatesWithoutSixTrailingX) {
  const char *bad[] = {"", "XXXXX", "nameXXXXX", "nameXXXXXXa", "XXXXXX.tmp", "nameXXXXxX"};
  for (const char *t : bad) {
    SCOPED_TRACE(t);
    std::string tmpl = t;
    errno = 0;
    EXPECT_EQ(vanto_util_mkstemp(tmpl.data()), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(tmpl, t);
  }
  errno = 0;
  EXPECT_EQ(vanto_util_mkstemp(nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST(Mkstemp, CreatesPrivateEmptyFileAndKeepsErrno) {
  ScratchDir dir;
  std::string tmpl = dir.file("tmp.XXXXXXX");  // seven X: only the last six change
  const std::size_t stem = tmpl.size() - 6;
  errno = ERANGE;
  const int fd = vanto_util_mkstemp(tmpl.data());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(errno, ERANGE);
  EXPECT_EQ(tmpl.substr(0, stem), dir.file("tmp.X"));
  for (std::size_t i = stem; i < tmpl.size(); ++i) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(tmpl[i])));

  struct stat st {};
  ASSERT_EQ(::fstat(fd, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(::write(fd, "hi", 2), 2);  // opened for writing
  ::close(fd);
  EXPECT_EQ(read_file(tmpl), "hi");
}

TEST(Mkstemp, EqualTemplatesGiveDifferentFiles) {
  ScratchDir dir;
  std::string a = dir.file("f_XXXXXX");
  std::string b = a;
  const int fa = vanto_util_mkstemp(a.data());
  const int fb = vanto_util_mkstemp(b.data());
  ASSERT_GE(fa, 0);
  ASSERT_GE(fb, 0);
  EXPECT_NE(a, b);
  ::close(fa);
  ::close(fb);
}

TEST(Mkstemp, ThreadsNeverShareAName) {
  ScratchDir dir;
  constexpr int kThreads = 8;
  constexpr int kPerThread = 64;
  std::vector<std::vector<std::string>> names(kThreads);
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        std::string tmpl = dir.file(".VantoEdit_XXXXXX");
        const int fd = vanto_util_mkstemp(tmpl.data());
        if (fd < 0) {
          ++failures[t];
          continue;
        }
        ::close(fd);
        names[t].push_back(tmpl);
      }
    });
  }
  for (auto &th : threads) th.join();
  std::set<std::string> distinct;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(failures[t], 0);
    distinct.insert(names[t].begin(), names[t].end());
  }
  EXPECT_EQ(distinct.size(), std::size_t{kThreads * kPerThread});
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()),
            kThreads * kPerThread);
}

TEST(Mkstemp, MissingDirectoryFailsWithItsError) {
  ScratchDir dir;
  std::string tmpl = dir.file("missing/f_XXXXXX");
  errno = 0;
  EXPECT_EQ(vanto_util_mkstemp(tmpl.data()), -1);
  EXPECT_EQ(errno, ENOENT);
}

// ---- vanto_util_write_segment_to_file --------------------------------------

TEST(WriteSegment, CopiesRangesAndCountsOnlyWholeChunks) {
  ScratchDir dir;
  const std::string data = random_bytes(20000, 7);
  write_file(dir.file("src"), data);
  struct Case {
    int64_t offset;
    int64_t length;
    int64_t result;
    std::string copied;
  };
  const Case cases[] = {
      {0, 0, 0, ""},
      {123, 0, 0, ""},
      {100, 10000, 10000, data.substr(100, 10000)},
      {0, 20000, 20000, data},
      {19999, 1, 1, data.substr(19999)},
      // 10000 bytes remain: the first 8192-byte chunk is copied, the short
      // second one is not.
      {10000, 20000, 8192, data.substr(10000, 8192)},
      {20000, 5, 0, ""},
      {-1, 5, -1, ""},
      {0, -1, -1, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.offset << "+" << c.length);
    Stream src(dir.file("src"), "rb");
    {
      Stream dst(dir.file("dst"), "wb");
      EXPECT_EQ(vanto_util_write_segment_to_file(src.f, c.offset, c.length, dst.f), c.result);
      if (c.result == 0) {
        EXPECT_EQ(ftello(src.f), c.offset);  // positioned even for length 0
      }
    }
    EXPECT_EQ(read_file(dir.file("dst")), c.copied);
  }
  Stream src(dir.file("src"), "rb");
  EXPECT_EQ(vanto_util_write_segment_to_file(src.f, 0, 1, nullptr), -1);
  EXPECT_EQ(vanto_util_write_segment_to_file(nullptr, 0, 1, src.f), -1);
}

TEST(WriteSegment, ReachesOffsetsBeyondFourGiB) {
  ScratchDir dir;
  const std::string path = dir.file("sparse");
  const int64_t far = (int64_t{5} << 30) + 3;  // 5 GiB + 3, a sparse file
  const std::string marker = "far away bytes";
  {
    Stream f(path, "wb");
    ASSERT_EQ(fseeko(f.f, far, SEEK_SET), 0);
    ASSERT_EQ(std::fwrite(marker.data(), 1, marker.size(), f.f), marker.size());
  }
  Stream src(path, "rb");
  {
    Stream dst(dir.file("dst"), "wb");
    EXPECT_EQ(vanto_util_write_segment_to_file(src.f, far, int64_t(marker.size()), dst.f),
              int64_t(marker.size()));
  }
  EXPECT_EQ(read_file(dir.file("dst")), marker);
}

// ---- vanto_util_apply_byte_transform_to_file -------------------------------

class TransformFile : public testing::Test {
 protected:
  void SetUp() override {
    data = random_bytes(20000, 3);
    input = dir.file("input");
    output = dir.file("output");
    write_file(input, data);
  }
  // Runs the transform and returns its result; the log goes to `log`.
  int run(int64_t offset, int64_t length, const std::string &out_path) {
    calls = 0;
    testing::internal::CaptureStderr();
    const int rc = vanto_util_apply_byte_transform_to_file(input.c_str(), out_path.c_str(),
                                                           xor_and_count, &calls, offset, length);
    log = testing::internal::GetCapturedStderr();
    return rc;
  }
  void expect_failure_log(const std::string &reason) {
    EXPECT_NE(log.find("::vanto_util_apply_byte_transform_to_file: " + reason + "\n"),
              std::string::npos)
        << log;
    const std::string last = "::vanto_util_apply_byte_transform_to_file: transform failed\n";
    ASSERT_GE(log.size(), last.size());
    EXPECT_EQ(log.substr(log.size() - last.size()), last) << log;
    EXPECT_EQ(log.rfind("utility.cpp@", 0), 0u) << log;
  }

  ScratchDir dir;
  std::string data, input, output, log;
  int64_t calls = 0;
};

TEST_F(TransformFile, RewritesTheRangeAndCopiesTheRest) {
  struct Case {
    int64_t offset;
    int64_t length;
    std::size_t from;
    std::size_t count;
  };
  const Case cases[] = {
      {0, 0, 0, 20000},        // length 0: to the end
      {0, 20000, 0, 20000},    // whole input, nothing around it
      {100, 0, 100, 19900},
      {8000, 9000, 8000, 9000},  // crosses chunk boundaries on both sides
      {19999, 1, 19999, 1},
      {0, 1, 0, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.offset << "+" << c.length);
    write_file(output, std::string(30000, 'j'));  // an existing output is replaced
    ASSERT_EQ(run(c.offset, c.length, output), 0) << log;
    EXPECT_EQ(read_file(output), xor_range(data, c.from, c.count));
    EXPECT_EQ(calls, int64_t(c.count));
    EXPECT_EQ(read_file(input), data);
    EXPECT_EQ(log, "");
  }
}

TEST_F(TransformFile, RangeOutsideTheInputFailsWithoutOutput) {
  const int64_t size = int64_t(data.size());
  const std::pair<int64_t, int64_t> cases[] = {
      {-1, 5}, {size, 0}, {size, 1}, {size + 5, 1}, {10, size}, {0, -3}, {size - 1, 2},
  };
  for (const auto &[offset, length] : cases) {
    SCOPED_TRACE(testing::Message() << offset << "+" << length);
    EXPECT_EQ(run(offset, length, output), -1);
    EXPECT_FALSE(fs::exists(output));
    EXPECT_EQ(calls, 0);
    expect_failure_log("transform out of range");
  }
  write_file(input, "");
  EXPECT_EQ(run(0, 0, output), -1);
  EXPECT_FALSE(fs::exists(output));
  expect_failure_log("transform out of range");
}

TEST_F(TransformFile, UnopenableFilesFailWithoutOutput) {
  const std::string missing_input = dir.file("no-such-input");
  calls = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(vanto_util_apply_byte_transform_to_file(missing_input.c_str(), output.c_str(),
                                                    xor_and_count, &calls, 0, 0),
            -1);
  log = testing::internal::GetCapturedStderr();
  expect_failure_log("failed to open input file");
  EXPECT_FALSE(fs::exists(output));

  const std::string unreachable = dir.file("missing-dir/output");
  EXPECT_EQ(run(0, 0, unreachable), -1);
  expect_failure_log("failed to open output file");
  EXPECT_FALSE(fs::exists(unreachable));
  EXPECT_EQ(read_file(input), data);

  testing::internal::CaptureStderr();
  EXPECT_EQ(vanto_util_apply_byte_transform_to_file(input.c_str(), output.c_str(), nullptr,
                                                    nullptr, 0, 0),
            -1);
  log = testing::internal::GetCapturedStderr();
  expect_failure_log("null path or transform");
  EXPECT_FALSE(fs::exists(output));
}

TEST_F(TransformFile, OutputNamingTheInputIsRefusedAndInputKept) {
  fs::create_hard_link(input, dir.file("hard"));
  fs::create_symlink(input, dir.file("soft"));
  for (const std::string &same : {input, dir.file("hard"), dir.file("soft"), dir.file("./input")}) {
    SCOPED_TRACE(same);
    EXPECT_EQ(run(0, 0, same), -1);
    expect_failure_log("output is the input file");
    EXPECT_EQ(read_file(input), data);
  }
}

// A file-size limit makes writes fail with EFBIG (the signal is ignored).
// Run in a child process so the limit does not outlive the test.
void transform_under_size_limit(const std::string &input, const std::string &output,
                                rlim_t limit) {
  struct rlimit rl {limit, limit};
  ::setrlimit(RLIMIT_FSIZE, &rl);
  std::signal(SIGXFSZ, SIG_IGN);
  int64_t calls = 0;
  const int rc = vanto_util_apply_byte_transform_to_file(input.c_str(), output.c_str(),
                                                         xor_and_count, &calls, 0, 0);
  std::exit(rc == -1 && !fs::exists(output) ? 0 : 1);
}

TEST_F(TransformFile, FailedWriteIsAFailureAndLeavesNoOutput) {
  write_file(input, random_bytes(100000, 5));
  EXPECT_EXIT(transform_under_size_limit(input, output, 16384), testing::ExitedWithCode(0),
              "failed to write buffer.*there are remaining bytes.*transform failed");
  EXPECT_FALSE(fs::exists(output));
}


// ---- in-memory transforms and masks ----------------------------------------

struct Recorder {
  std::string seen;
};

unsigned char record_and_lower(unsigned char byte, void *user_data) {
  static_cast<Recorder *>(user_data)->seen.push_back(static_cast<char>(byte));
  return static_cast<unsigned char>(std::tolower(byte));
}

TEST(ByteTransform, TransformsEachByteInOrder) {
  unsigned char buf[] = {'A', 'b', '1'};
  Recorder r;
  vanto_util_apply_byte_transform(buf, 3, record_and_lower, &r);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 3), "ab1");
  EXPECT_EQ(r.seen, "Ab1");

  for (int64_t length : {int64_t{0}, int64_t{-1}, INT64_MIN}) {
    Recorder none;
    vanto_util_apply_byte_transform(buf, length, record_and_lower, &none);
    EXPECT_EQ(none.seen, "");
  }
  vanto_util_apply_byte_transform(buf, 3, nullptr, nullptr);  // refused, no crash
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 3), "ab1");
}

TEST(MaskByte, CombinesByKindAndKeepsByteForUnknownKind) {
  EXPECT_EQ(vanto_util_mask_byte(0xF0, 0x3C, MASK_AND), 0x30);
  EXPECT_EQ(vanto_util_mask_byte(0xF0, 0x3C, MASK_OR), 0xFC);
  EXPECT_EQ(vanto_util_mask_byte(0xF0, 0x3C, MASK_XOR), 0xCC);
  for (int32_t kind : {3, -1, 1000}) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(vanto_util_mask_byte(0xF0, 0x3C, kind), 0xF0);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.rfind("utility.cpp@", 0), 0u) << log;
    EXPECT_NE(log.find("::vanto_util_mask_byte: unhandled mask kind\n"), std::string::npos) << log;
  }
}

// ---- bit shifts --------------------------------------------------------------

TEST(BitShift, KnownCases) {
  using Shift = int (*)(unsigned char *, int64_t, uint8_t);
  struct Case {
    Shift shift;
    const char *name;
    std::vector<unsigned char> in;
    uint8_t count;
    std::vector<unsigned char> out;
  };
  const Case cases[] = {
      {vanto_util_left_shift_buffer, "left", hex_bytes({0x12, 0x34, 0x56}), 4, hex_bytes({0x23, 0x45, 0x60})},
      {vanto_util_right_shift_buffer, "right", hex_bytes({0x12, 0x34, 0x56}), 4, hex_bytes({0x41, 0x63, 0x05})},
      {vanto_util_left_shift_buffer, "left", hex_bytes({0xFF}), 7, hex_bytes({0x80})},
      {vanto_util_right_shift_buffer, "right", hex_bytes({0xFF}), 7, hex_bytes({0x01})},
      {vanto_util_left_shift_buffer, "left", hex_bytes({0x00, 0x80}), 1, hex_bytes({0x01, 0x00})},
      {vanto_util_right_shift_buffer, "right", hex_bytes({0x01, 0x00}), 1, hex_bytes({0x00, 0x00})},
      {vanto_util_right_shift_buffer, "right", hex_bytes({0x00, 0x01}), 1, hex_bytes({0x80, 0x00})},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << " " << int(c.count));
    std::vector<unsigned char> buf = c.in;
    EXPECT_EQ(c.shift(buf.data(), int64_t(buf.size()), c.count), 0);
    EXPECT_EQ(buf, c.out);
  }
}

TEST(BitShift, RefusesBadCountsAndIgnoresEmptyBuffers) {
  for (auto shift : {vanto_util_left_shift_buffer, vanto_util_right_shift_buffer}) {
    std::vector<unsigned char> buf = hex_bytes({0x12, 0x34});
    for (uint8_t bad : {uint8_t{0}, uint8_t{8}, uint8_t{255}}) {
      EXPECT_EQ(shift(buf.data(), 2, bad), -1);
      EXPECT_EQ(buf, hex_bytes({0x12, 0x34}));
    }
    for (uint8_t good = 1; good <= 7; ++good) {
      EXPECT_EQ(shift(buf.data(), 0, good), 0);
      EXPECT_EQ(shift(buf.data(), -4, good), 0);
      EXPECT_EQ(buf, hex_bytes({0x12, 0x34}));
    }
  }
}

// Reference: the buffer as a bit string, byte 0 first, most significant bit of
// each byte first (left shift) or as a little-endian number (right shift).
std::vector<unsigned char> reference_left(const std::vector<unsigned char> &in, int s) {
  const std::size_t bits = in.size() * 8;
  std::vector<unsigned char> out(in.size(), 0);
  for (std::size_t i = 0; i + s < bits; ++i) {  // output bit i = input bit i + s
    const std::size_t j = i + s;
    if (in[j / 8] & (0x80 >> (j % 8))) out[i / 8] |= static_cast<unsigned char>(0x80 >> (i % 8));
  }
  return out;
}

std::vector<unsigned char> reference_right(const std::vector<unsigned char> &in, int s) {
  const std::size_t bits = in.size() * 8;
  std::vector<unsigned char> out(in.size(), 0);
  for (std::size_t i = 0; i + s < bits; ++i) {  // bit i counted from the least significant
    const std::size_t j = i + s;
    if (in[j / 8] & (1 << (j % 8))) out[i / 8] |= static_cast<unsigned char>(1 << (i % 8));
  }
  return out;
}

TEST(BitShift, MatchesWholeNumberShiftsOnRandomBuffers) {
  for (uint64_t seed = 1; seed <= 20; ++seed) {
    const std::string r = random_bytes(1 + seed * 3, seed);
    const std::vector<unsigned char> in(r.begin(), r.end());
    for (int s = 1; s <= 7; ++s) {
      std::vector<unsigned char> left = in;
      std::vector<unsigned char> right = in;
      ASSERT_EQ(vanto_util_left_shift_buffer(left.data(), int64_t(left.size()), uint8_t(s)), 0);
      ASSERT_EQ(vanto_util_right_shift_buffer(right.data(), int64_t(right.size()), uint8_t(s)), 0);
      EXPECT_EQ(left, reference_left(in, s)) << "seed " << seed << " shift " << s;
      EXPECT_EQ(right, reference_right(in, s)) << "seed " << seed << " shift " << s;
    }
  }
}

// ---- comparisons -------------------------------------------------------------

TEST(Compare, ExactAndCaseFoldedDifferences) {
  struct Case {
    std::string a;
    std::string b;
    uint64_t count;
    int exact;
    int folded;
  };
  const Case cases[] = {
      {std::string("abc\0x", 5), std::string("abc\0y", 5), 5, -1, -1},  // zero byte does not stop
      {"\x80", "\x01", 1, -129, -129},                                    // 0x80 is -128
      {"\xff", "\x01", 1, -2, -2},
      {"ABC", "abd", 3, 'A' - 'a', -1},
      {"ABC", "abd", 2, 'A' - 'a', 0},
      {"Z", "a", 1, 'Z' - 'a', 'z' - 'a'},
      {"[", "a", 1, '[' - 'a', '[' - 'a'},
      {"\xc4", "\xe4", 1, -32, -32},  // bytes from 0x80 up are not folded
      {"same", "same", 4, 0, 0},
      {"abc", "xyz", 0, 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.a + " / " + c.b);
    EXPECT_EQ(vanto_util_strncmp(c.a.data(), c.b.data(), c.count), c.exact);
    EXPECT_EQ(vanto_util_strnicmp(c.a.data(), c.b.data(), c.count), c.folded);
  }
}

}  // namespace
