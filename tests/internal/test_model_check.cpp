// The model check against models broken on purpose: each broken invariant
// is reported as -1, and the current model is written to the log stream in
// the library's text form.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "impl_/internal_fun.h"
#include "impl_/records.h"
#include "piece_table_access.h"
#include "test_support.h"
#include "vanto_edit.h"

namespace {

using vanto::internal::PieceTable;
using vanto::internal::PieceTableTestAccess;
using vanto::test::ScratchDir;
using vanto::test::write_file;

// Runs the check with the log stream captured.
struct CheckResult {
  int result;
  std::string log;
};

CheckResult check_capturing_log(const vanto_session_t *session) {
  std::ostringstream captured;
  std::streambuf *old = std::clog.rdbuf(captured.rdbuf());
  const int result = vanto_check_model(session);
  std::clog.rdbuf(old);
  return {result, captured.str()};
}

std::string text_of(const vanto_model_t &model) {
  std::ostringstream out;
  print_model_segments_(&model, out);
  return out.str();
}

class BrokenModelTest : public ::testing::Test {
 protected:
  // A 10-byte file with "abc" inserted at 4: read piece, insert piece, read piece.
  void SetUp() override {
    path_ = dir_.file("data.bin");
    write_file(path_, "0123456789");
    session_ = vanto_edit_create_session(path_.c_str(), nullptr, nullptr, 0);
    ASSERT_NE(session_, nullptr);
    ASSERT_EQ(vanto_edit_insert(session_, 4, "abc", 3), 1);
    ASSERT_EQ(session_->current_model().model_segments.count(), 3);
  }
  void TearDown() override { vanto_edit_destroy_session(session_); }

  PieceTable &pieces() { return session_->current_model().model_segments; }
  vanto::internal::Piece &piece(int index) { return PieceTableTestAccess::piece(pieces(), index); }

  ScratchDir dir_;
  std::string path_;
  vanto_session_t *session_ = nullptr;
};

TEST_F(BrokenModelTest, SoundModelPassesSilently) {
  const CheckResult r = check_capturing_log(session_);
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.log, "");
}

TEST_F(BrokenModelTest, EachBrokenInvariantFailsAndPrintsTheModel) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  using Piece = vanto::internal::Piece;
  // All three pieces sit in one leaf of the tree.
  struct Case {
    const char *what;
    std::function<void(PieceTable &)> do_break;
  };
  auto on_piece = [](int index, std::function<void(Piece &)> f) {
    return [index, f](PieceTable &table) { f(PieceTableTestAccess::piece(table, index)); };
  };
  const Case cases[] = {
      {"recorded total out of step with the pieces",
       [](PieceTable &table) { PieceTableTestAccess::total(table) += 1; }},
      {"insert piece beyond its change's bytes", on_piece(1, [](Piece &p) { p.change_offset = 1; })},
      {"read piece beyond the file", on_piece(2, [](Piece &p) { p.change_offset = 5; })},
      {"negative source offset", on_piece(1, [](Piece &p) { p.change_offset = -1; })},
      {"negative length", on_piece(2, [](Piece &p) { p.length = -2; })},
      {"source offset near the limit", on_piece(2, [](Piece &p) { p.change_offset = kMax; })},
      {"length near the limit", on_piece(2, [](Piece &p) { p.length = kMax; })},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    // Break the pieces, check, and put the sound pieces back.
    PieceTable &table = pieces();
    std::vector<Piece> sound;
    for (int i = 0; i < 3; ++i) sound.push_back(piece(i));
    const int64_t sound_total = PieceTableTestAccess::total(table);
    c.do_break(table);
    const std::string broken_text = text_of(session_->current_model());
    const CheckResult r = check_capturing_log(session_);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.log, broken_text);
    for (int i = 0; i < 3; ++i) piece(i) = sound[i];
    PieceTableTestAccess::total(table) = sound_total;
    EXPECT_EQ(vanto_check_model(session_), 0);
  }
}

// A tree of several levels: a subtree's recorded length out of step with
// its pieces is found, wherever it sits.
TEST_F(BrokenModelTest, InnerNodeOutOfStepFails) {
  for (int i = 0; i < 20000; ++i) {
    ASSERT_GT(vanto_edit_insert(session_, (i * 7919) % (10 + i), "q", 1), 0);
  }
  ASSERT_GE(pieces().height(), 2);
  ASSERT_EQ(vanto_check_model(session_), 0);
  PieceTableTestAccess::inner_length(pieces(), 1) += 1;
  const CheckResult r = check_capturing_log(session_);
  EXPECT_EQ(r.result, -1);
  EXPECT_NE(r.log, "");
  PieceTableTestAccess::inner_length(pieces(), 1) -= 1;
  EXPECT_EQ(vanto_check_model(session_), 0);
}

TEST_F(BrokenModelTest, ExampleTextOfAContainmentFailure) {
  // "abc" has only 3 bytes; the tree's total is kept in step, so only
  // containment is broken.
  piece(1).length = 4;
  PieceTableTestAccess::total(pieces()) += 1;
  const CheckResult r = check_capturing_log(session_);
  EXPECT_EQ(r.result, -1);
  EXPECT_EQ(r.log,
            "{\"kind\": \"R\", \"computed_offset\": 0, \"computed_length\": 4, \"change_offset\": 0, "
            "\"change\": {\"serial\": 0, \"kind\": \"I\", \"offset\": 0, \"length\": 10}}\n"
            "{\"kind\": \"I\", \"computed_offset\": 4, \"computed_length\": 4, \"change_offset\": 0, "
            "\"change\": {\"serial\": 1, \"kind\": \"I\", \"offset\": 4, \"length\": 3, \"bytes\": "
            "\"abc\"}}\n"
            "{\"kind\": \"R\", \"computed_offset\": 8, \"computed_length\": 6, \"change_offset\": 4, "
            "\"change\": {\"serial\": 0, \"kind\": \"I\", \"offset\": 0, \"length\": 10}}\n");
}

// With a log sink set, the model's text reaches it one piece a call (a
// newline among a change's bytes does not split a piece's line), at the
// information level, and nothing reaches the log stream.
TEST_F(BrokenModelTest, TheModelGoesToTheLogSinkOnePieceACall) {
  ASSERT_EQ(vanto_edit_overwrite(session_, 5, "\n", 1), 2);
  PieceTableTestAccess::total(pieces()) += 1;
  std::vector<std::string> pieces_text;
  for (const vanto::internal::PlacedPiece piece : session_->current_model().model_segments) {
    std::ostringstream one;
    one << "{\"kind\": \"" << (piece.change->serial == 0 ? 'R' : 'I') << '"';
    pieces_text.push_back(one.str());
  }
  struct Heard {
    std::vector<std::string> lines;
    bool all_info = true;
    static void sink(int32_t level, const char *file, int32_t, const char *function, const char *message,
                     void *user_data) {
      auto *self = static_cast<Heard *>(user_data);
      self->all_info = self->all_info && level == LOG_LEVEL_INFO && std::string(file) == "check.cpp" &&
                       std::string(function) == "vanto_check_model";
      self->lines.emplace_back(message);
    }
  } heard;
  const std::string whole = text_of(session_->current_model());
  vanto_util_set_log_cbk(&Heard::sink, &heard);
  const CheckResult r = check_capturing_log(session_);
  vanto_util_set_log_cbk(nullptr, nullptr);
  EXPECT_EQ(r.result, -1);
  EXPECT_EQ(r.log, "");
  EXPECT_TRUE(heard.all_info);
  ASSERT_EQ(heard.lines.size(), pieces_text.size());
  std::string joined;
  for (std::size_t i = 0; i < heard.lines.size(); ++i) {
    EXPECT_EQ(heard.lines[i].rfind(pieces_text[i], 0), 0u) << heard.lines[i];
    joined += heard.lines[i] + "\n";
  }
  EXPECT_EQ(joined, whole);
  PieceTableTestAccess::total(pieces()) -= 1;
}

// Every model is checked from offset 0, and a failure in a lower model
// prints the current one.
TEST_F(BrokenModelTest, LowerModelsAreCheckedAndTheCurrentOneIsPrinted) {
  auto upper = std::make_unique<vanto_model_struct>();
  vanto::internal::reset_model_segments_(*upper, 13);
  session_->models.push_back(std::move(upper));
  const std::string current_text = text_of(session_->current_model());
  EXPECT_EQ(vanto_check_model(session_), 0);

  auto &lower = session_->models.front()->model_segments;
  PieceTableTestAccess::piece(lower, 1).change_offset = 5;
  const CheckResult r = check_capturing_log(session_);
  EXPECT_EQ(r.result, -1);
  EXPECT_EQ(r.log, current_text);
  // The upper model has no file of its own; take it off before the session goes.
  session_->models.pop_back();
}

}  // namespace
