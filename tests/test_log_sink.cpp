// The host's log sink: every form of log line reaches it in pieces and
// nothing reaches the standard streams meanwhile; a null sink gives the
// standard streams back, byte for byte; a sink may call the library.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "vanto_edit.h"

namespace {

using vanto::test::ScratchDir;
using vanto::test::write_file;

struct Line {
  int32_t level;
  std::string file;
  int32_t line;
  std::string function;
  std::string message;
};

struct Recorder {
  std::vector<Line> lines;
  static void sink(int32_t level, const char *file, int32_t line, const char *function, const char *message,
                   void *user_data) {
    static_cast<Recorder *>(user_data)->lines.push_back({level, file, line, function, message});
  }
};

// Sets a sink for the scope and puts the default back afterwards.
class SinkScope {
 public:
  SinkScope(vanto_log_cbk_t cbk, void *user_data) { vanto_util_set_log_cbk(cbk, user_data); }
  ~SinkScope() { vanto_util_set_log_cbk(nullptr, nullptr); }
  SinkScope(const SinkScope &) = delete;
  SinkScope &operator=(const SinkScope &) = delete;
};

// What the library writes to std::clog and to standard error during `run`.
struct Streams {
  std::string clog;
  std::string err;
};

template <class Run>
Streams capture_streams(Run run) {
  std::ostringstream clog_text;
  std::streambuf *old = std::clog.rdbuf(clog_text.rdbuf());
  testing::internal::CaptureStderr();
  run();
  Streams out;
  out.err = testing::internal::GetCapturedStderr();
  std::clog.rdbuf(old);
  out.clog = clog_text.str();
  return out;
}

// One call for each form of line the library writes; `expected` is what the
// sink must hear from each, in order.
struct Form {
  const char *what;
  std::function<void(const ScratchDir &)> run;
  std::vector<Line> expected;  // line numbers are not compared
};

std::vector<Form> forms() {
  return {
      {"stream form (a save whose temporary name does not fit)",
       [](const ScratchDir &dir) {
         vanto_session_t *s = vanto_edit_create_session(nullptr, nullptr, nullptr, 0);
         const std::string target = dir.file(std::string(250, 'd') + "/out.bin");
         EXPECT_EQ(vanto_edit_save(s, target.c_str(), SAVE_FLAG_NONE, nullptr), SAVE_ERROR_NAME_TOO_LONG);
         vanto_edit_destroy_session(s);
       },
       {{LOG_LEVEL_ERROR, "edit_persist.cpp", 0, "vanto_edit_save", "snprintf failed"}}},
      {"stream form, a warning (a checkpoint file gone before its checkpoint)",
       [](const ScratchDir &dir) {
         vanto_session_t *s = vanto_edit_create_session(nullptr, nullptr, nullptr, 0);
         EXPECT_EQ(vanto_edit_create_checkpoint(s, dir.file("chk").c_str()), 0);
         std::filesystem::remove(vanto_session_get_file_path(s));
         EXPECT_EQ(vanto_edit_destroy_last_checkpoint(s), 0);
         vanto_edit_destroy_session(s);
       },
       {{LOG_LEVEL_WARNING, "internal_fun.cpp", 0, "destroy_last_checkpoint_", std::strerror(ENOENT)}}},
      {"standard-error form (an unknown mask kind)",
       [](const ScratchDir &) { EXPECT_EQ(vanto_util_mask_byte(0x5A, 0x0F, 9), 0x5A); },
       {{LOG_LEVEL_ERROR, "utility.cpp", 0, "vanto_util_mask_byte", "unhandled mask kind"}}},
      {"standard-error form on behalf of the file transform",
       [](const ScratchDir &dir) {
         EXPECT_EQ(vanto_util_apply_byte_transform_to_file(dir.file("none").c_str(), dir.file("out").c_str(),
                                                           [](unsigned char b, void *) { return b; }, nullptr,
                                                           0, 0),
                   -1);
       },
       {{LOG_LEVEL_ERROR, "utility.cpp", 0, "vanto_util_apply_byte_transform_to_file",
         "failed to open input file"},
        {LOG_LEVEL_ERROR, "utility.cpp", 0, "vanto_util_apply_byte_transform_to_file", "transform failed"}}},
      {"error line of the touch (a directory cannot be opened for writing)",
       [](const ScratchDir &dir) { EXPECT_EQ(vanto_util_touch(dir.path().c_str(), 1), -1); },
       {{LOG_LEVEL_ERROR, "filesystem.cpp", 0, "vanto_util_touch", std::strerror(EISDIR)}}},
  };
}

TEST(LogSink, EveryFormReachesTheSinkAndNothingTheStreams) {
  ScratchDir dir;
  for (const Form &form : forms()) {
    SCOPED_TRACE(form.what);
    Recorder recorder;
    SinkScope scope(&Recorder::sink, &recorder);
    const Streams streams = capture_streams([&] { form.run(dir); });
    EXPECT_EQ(streams.clog, "");
    EXPECT_EQ(streams.err, "");
    ASSERT_EQ(recorder.lines.size(), form.expected.size());
    for (std::size_t i = 0; i < form.expected.size(); ++i) {
      const Line &got = recorder.lines[i];
      const Line &want = form.expected[i];
      EXPECT_EQ(got.level, want.level);
      EXPECT_EQ(got.file, want.file);
      EXPECT_GT(got.line, 0);
      EXPECT_EQ(got.function, want.function);
      // The message alone: no prefix, no newline.
      EXPECT_EQ(got.message.rfind(want.message, 0), 0u) << got.message;
      EXPECT_EQ(got.message.find('\n'), std::string::npos);
    }
  }
}

// After a null sink the lines are again those of the standard streams: the
// same pieces the sink heard, put together in each stream's form.
TEST(LogSink, NullSinkRestoresTheStandardStreamsByteForByte) {
  ScratchDir dir;
  for (const Form &form : forms()) {
    SCOPED_TRACE(form.what);
    Recorder recorder;
    vanto_util_set_log_cbk(&Recorder::sink, &recorder);
    form.run(dir);
    vanto_util_set_log_cbk(nullptr, &recorder);  // the user data goes with the sink
    const Streams streams = capture_streams([&] { form.run(dir); });
    EXPECT_TRUE(recorder.lines.size() == form.expected.size());

    std::string expected;
    for (const Line &line : recorder.lines) {
      if (line.function == "vanto_util_touch") {
        expected += line.function + ": " + line.message + "\n";  // as perror writes it
      } else {
        expected += line.file + "@" + std::to_string(line.line) + "::" + line.function + ": " + line.message + "\n";
      }
    }
    const std::string &file = form.expected.front().file;
    const bool stream_form = file != "utility.cpp" && file != "filesystem.cpp";
    EXPECT_EQ(stream_form ? streams.clog : streams.err, expected);
    EXPECT_EQ(stream_form ? streams.err : streams.clog, "");
  }
}

// A sink set while no session exists hears the sessions made afterwards;
// it may call the library from inside, log through it and change the sink,
// without a deadlock.
TEST(LogSink, SinkSetBeforeSessionsMayCallTheLibrary) {
  struct Reentrant {
    std::vector<std::string> messages;
    int depth = 0;
    static void sink(int32_t, const char *, int32_t, const char *, const char *message, void *user_data) {
      auto *self = static_cast<Reentrant *>(user_data);
      self->messages.emplace_back(message);
      if (self->depth++ == 0) {
        vanto_util_mask_byte(1, 1, -7);                   // logs again, into this sink
        vanto_util_set_log_cbk(&Reentrant::sink, self);   // sets the sink it runs in
      }
      --self->depth;
    }
  };
  ScratchDir dir;
  Reentrant reentrant;
  SinkScope scope(&Reentrant::sink, &reentrant);

  write_file(dir.file("in.bin"), "data");
  vanto_session_t *s = vanto_edit_create_session(dir.file("in.bin").c_str(), nullptr, nullptr, 0);
  ASSERT_NE(s, nullptr);
  const Streams streams = capture_streams([&] {
    EXPECT_EQ(vanto_edit_save(s, dir.file(std::string(250, 'd') + "/x").c_str(), SAVE_FLAG_NONE, nullptr),
              SAVE_ERROR_NAME_TOO_LONG);
  });
  vanto_edit_destroy_session(s);
  EXPECT_EQ(streams.clog + streams.err, "");
  EXPECT_EQ(reentrant.messages, (std::vector<std::string>{"snprintf failed", "unhandled mask kind"}));
}

// Lines logged on several threads at once all arrive, each whole.
TEST(LogSink, LinesFromSeveralThreadsAllArrive) {
  struct Counter {
    std::atomic<int> whole{0};
    std::atomic<int> other{0};
    static void sink(int32_t, const char *, int32_t, const char *, const char *message, void *user_data) {
      auto *self = static_cast<Counter *>(user_data);
      (std::strcmp(message, "unhandled mask kind") == 0 ? self->whole : self->other)++;
    }
  };
  Counter counter;
  SinkScope scope(&Counter::sink, &counter);
  constexpr int kThreads = 4;
  constexpr int kLines = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < kLines; ++i) vanto_util_mask_byte(0, 0, 3);
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(counter.whole.load(), kThreads * kLines);
  EXPECT_EQ(counter.other.load(), 0);
}

}  // namespace
