// The model update seen from inside: the pieces each change leaves, read
// through the library's text form of the model (as whole lines, or as
// (kind, offset, length, source offset) taken from them), and the data read
// back through them.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "impl_/internal_fun.h"
#include "impl_/records.h"
#include "piece_table_access.h"
#include "test_support.h"
#include "vanto_edit.h"

namespace {

using vanto::internal::make_change_;
using vanto::test::ScratchDir;
using vanto::test::write_file;

std::string text_of(const vanto_model_t *model) {
  std::ostringstream out;
  print_model_segments_(model, out);
  return out.str();
}

// (kind 'R'/'I', computed_offset, computed_length, change_offset)
using Piece = std::tuple<char, int64_t, int64_t, int64_t>;

// The pieces of the current model, read back from its text form.
std::vector<Piece> pieces(const vanto_session_t *session) {
  std::vector<Piece> out;
  std::istringstream lines(text_of(&session->current_model()));
  std::string line;
  while (std::getline(lines, line)) {
    char kind = 0;
    long long offset = 0, length = 0, change_offset = 0;
    const int fields = std::sscanf(line.c_str(),
                                   "{\"kind\": \"%c\", \"computed_offset\": %lld, \"computed_length\": "
                                   "%lld, \"change_offset\": %lld, \"change\": {",
                                   &kind, &offset, &length, &change_offset);
    EXPECT_EQ(fields, 4) << line;
    out.emplace_back(kind, offset, length, change_offset);
  }
  return out;
}

std::string data_of(const vanto_session_t *session) {
  return vanto_session_get_segment_string(session, 0, vanto_session_get_computed_file_size(session));
}

// The sum of the piece lengths equals the computed size, and the pieces are
// contiguous and inside their sources.
void expect_invariants(const vanto_session_t *session) {
  int64_t sum = 0;
  for (const auto &p : session->current_model().model_segments) sum += p.computed_length;
  EXPECT_EQ(sum, vanto_session_get_computed_file_size(session));
  EXPECT_EQ(vanto_check_model(session), 0);
}

class ModelTest : public ::testing::Test {
 protected:
  void open(const std::string &content) {
    path_ = dir_.file("data.bin");
    write_file(path_, content);
    session_ = vanto_edit_create_session(path_.c_str(), nullptr, nullptr, 0);
    ASSERT_NE(session_, nullptr);
  }
  void TearDown() override { vanto_edit_destroy_session(session_); }

  ScratchDir dir_;
  std::string path_;
  vanto_session_t *session_ = nullptr;
};

TEST_F(ModelTest, WorkedExampleInsertThenDelete) {
  open("0123456789");
  EXPECT_EQ(pieces(session_), (std::vector<Piece>{{'R', 0, 10, 0}}));

  ASSERT_EQ(vanto_edit_insert(session_, 4, "abc", 3), 1);
  EXPECT_EQ(text_of(&session_->current_model()),
            "{\"kind\": \"R\", \"computed_offset\": 0, \"computed_length\": 4, \"change_offset\": 0, "
            "\"change\": {\"serial\": 0, \"kind\": \"I\", \"offset\": 0, \"length\": 10}}\n"
            "{\"kind\": \"I\", \"computed_offset\": 4, \"computed_length\": 3, \"change_offset\": 0, "
            "\"change\": {\"serial\": 1, \"kind\": \"I\", \"offset\": 4, \"length\": 3, \"bytes\": \"abc\"}}\n"
            "{\"kind\": \"R\", \"computed_offset\": 7, \"computed_length\": 6, \"change_offset\": 4, "
            "\"change\": {\"serial\": 0, \"kind\": \"I\", \"offset\": 0, \"length\": 10}}\n");
  EXPECT_EQ(data_of(session_), "0123abc456789");

  ASSERT_EQ(vanto_edit_delete(session_, 2, 5), 2);
  EXPECT_EQ(pieces(session_), (std::vector<Piece>{{'R', 0, 2, 0}, {'R', 2, 6, 4}}));
  EXPECT_EQ(text_of(&session_->current_model()),
            "{\"kind\": \"R\", \"computed_offset\": 0, \"computed_length\": 2, \"change_offset\": 0, "
            "\"change\": {\"serial\": 0, \"kind\": \"I\", \"offset\": 0, \"length\": 10}}\n"
            "{\"kind\": \"R\", \"computed_offset\": 2, \"computed_length\": 6, \"change_offset\": 4, "
            "\"change\": {\"serial\": 0, \"kind\": \"I\", \"offset\": 0, \"length\": 10}}\n");
  EXPECT_EQ(data_of(session_), "01456789");
  expect_invariants(session_);
}

// Starting from the pieces "0123" "abc" "456789" (the example's first step),
// each case applies one more edit.
TEST_F(ModelTest, BoundaryCasesOfTheUpdate) {
  struct Case {
    const char *name;
    char op;  // 'I' insert, 'D' delete, 'O' overwrite
    int64_t offset;
    int64_t length;
    std::vector<Piece> after;
    std::string data;
  } cases[] = {
      {"insert at 0 goes in front", 'I', 0, 2,
       {{'I', 0, 2, 0}, {'R', 2, 4, 0}, {'I', 6, 3, 0}, {'R', 9, 6, 4}}, "zz0123abc456789"},
      {"insert at the size goes after the last", 'I', 13, 2,
       {{'R', 0, 4, 0}, {'I', 4, 3, 0}, {'R', 7, 6, 4}, {'I', 13, 2, 0}}, "0123abc456789zz"},
      {"insert at a boundary goes between without a split", 'I', 7, 2,
       {{'R', 0, 4, 0}, {'I', 4, 3, 0}, {'I', 7, 2, 0}, {'R', 9, 6, 4}}, "0123abczz456789"},
      {"delete of exactly one piece", 'D', 4, 3, {{'R', 0, 4, 0}, {'R', 4, 6, 4}}, "0123456789"},
      {"delete from inside one piece into another", 'D', 2, 7,
       {{'R', 0, 2, 0}, {'R', 2, 4, 6}}, "016789"},
      {"delete from inside a piece to its end", 'D', 5, 2, {{'R', 0, 4, 0}, {'I', 4, 1, 0}, {'R', 5, 6, 4}},
       "0123a456789"},
      {"delete running past the end", 'D', 9, 100,
       {{'R', 0, 4, 0}, {'I', 4, 3, 0}, {'R', 7, 2, 4}}, "0123abc45"},
      {"delete of everything", 'D', 0, 13, {}, ""},
      {"overwrite inside the insert", 'O', 5, 1,
       {{'R', 0, 4, 0}, {'I', 4, 1, 0}, {'I', 5, 1, 0}, {'I', 6, 1, 2}, {'R', 7, 6, 4}}, "0123azc456789"},
      {"overwrite across a boundary", 'O', 6, 2,
       {{'R', 0, 4, 0}, {'I', 4, 2, 0}, {'I', 6, 2, 0}, {'R', 8, 5, 5}}, "0123abzz56789"},
      {"overwrite past the end extends", 'O', 12, 3,
       {{'R', 0, 4, 0}, {'I', 4, 3, 0}, {'R', 7, 5, 4}, {'I', 12, 3, 0}}, "0123abc45678zzz"},
      {"zero-length insert leaves a zero-length piece", 'I', 2, 0,
       {{'R', 0, 2, 0}, {'I', 2, 0, 0}, {'R', 2, 2, 2}, {'I', 4, 3, 0}, {'R', 7, 6, 4}}, "0123abc456789"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    open("0123456789");
    ASSERT_EQ(vanto_edit_insert(session_, 4, "abc", 3), 1);
    const std::string bytes(static_cast<size_t>(c.length), 'z');
    int64_t serial = 0;
    if (c.op == 'I') serial = vanto_edit_insert_string(session_, c.offset, bytes);
    if (c.op == 'D') serial = vanto_edit_delete(session_, c.offset, c.length);
    if (c.op == 'O') serial = vanto_edit_overwrite_string(session_, c.offset, bytes);
    ASSERT_EQ(serial, 2);
    EXPECT_EQ(pieces(session_), c.after);
    EXPECT_EQ(data_of(session_), c.data);
    expect_invariants(session_);
    vanto_edit_destroy_session(session_);
    session_ = nullptr;
  }
}

TEST_F(ModelTest, OverwriteInTheMiddleOfAReadPieceLeavesThreePieces) {
  open("0123456789");
  ASSERT_EQ(vanto_edit_overwrite(session_, 4, "ab", 2), 1);
  EXPECT_EQ(pieces(session_), (std::vector<Piece>{{'R', 0, 4, 0}, {'I', 4, 2, 0}, {'R', 6, 4, 6}}));
  EXPECT_EQ(data_of(session_), "0123ab6789");
}

TEST_F(ModelTest, ZeroLengthPieceGoesWithADeleteOverItsPosition) {
  open("0123456789");
  ASSERT_EQ(vanto_edit_insert(session_, 5, nullptr, 0), 1);
  ASSERT_EQ(pieces(session_).size(), 3u);
  ASSERT_EQ(vanto_edit_delete(session_, 4, 2), 2);
  EXPECT_EQ(pieces(session_), (std::vector<Piece>{{'R', 0, 4, 0}, {'R', 4, 4, 6}}));
  EXPECT_EQ(data_of(session_), "01236789");
}

TEST_F(ModelTest, ModelWithoutPiecesTakesInsertsAndIgnoresDeletes) {
  session_ = vanto_edit_create_session(nullptr, nullptr, nullptr, 0);
  vanto_model_t *model = &session_->current_model();
  EXPECT_EQ(text_of(model), "") << "a model without pieces prints nothing";
  auto removal = make_change_(1, CHANGE_DELETE, false, 0, 4, nullptr);
  EXPECT_EQ(update_model_helper_(model, removal.get()), 0);
  EXPECT_TRUE(model->model_segments.empty());
  ASSERT_EQ(vanto_edit_insert(session_, 0, "hey", 3), 1);
  EXPECT_EQ(pieces(session_), (std::vector<Piece>{{'I', 0, 3, 0}}));
}

TEST_F(ModelTest, UncoveredOffsetFailsAndLeavesTheModelAlone) {
  open("0123456789");
  ASSERT_EQ(vanto_edit_insert(session_, 3, "abc", 3), 1);
  vanto_model_t *model = &session_->current_model();
  const std::string before = text_of(model);
  for (int64_t offset : {int64_t{14}, int64_t{-1}}) {
    for (int kind : {CHANGE_DELETE, CHANGE_INSERT}) {
      auto change = make_change_(2, kind, false, offset, 2, reinterpret_cast<const unsigned char *>("zz"));
      EXPECT_EQ(update_model_helper_(model, change.get()), -1) << "offset " << offset << " kind " << kind;
      EXPECT_EQ(text_of(model), before);
    }
  }
}

TEST(ChangeText, RecordsPrintTheirKindAndOnlyCarriedBytes) {
  struct Case {
    int kind;
    const char *bytes;
    int64_t length;
    std::string text;
  } cases[] = {
      {CHANGE_DELETE, nullptr, 5, "{\"serial\": 7, \"kind\": \"D\", \"offset\": 2, \"length\": 5}"},
      {CHANGE_INSERT, "xyz", 3,
       "{\"serial\": 7, \"kind\": \"I\", \"offset\": 2, \"length\": 3, \"bytes\": \"xyz\"}"},
      {CHANGE_OVERWRITE, "q\"r", 3,
       "{\"serial\": 7, \"kind\": \"O\", \"offset\": 2, \"length\": 3, \"bytes\": \"q\"r\"}"},
      {CHANGE_INSERT, "", 0, "{\"serial\": 7, \"kind\": \"I\", \"offset\": 2, \"length\": 0, \"bytes\": \"\"}"},
  };
  for (const Case &c : cases) {
    auto change = make_change_(7, c.kind, true, 2, c.length, reinterpret_cast<const unsigned char *>(c.bytes));
    std::ostringstream out;
    EXPECT_EQ(&print_change_record_(change.get(), out), &out);
    EXPECT_EQ(out.str(), c.text);
  }
  std::ostringstream out;
  print_change_record_(nullptr, out);
  print_model_segments_(nullptr, out);
  EXPECT_EQ(out.str(), "");
}

TEST(ModelDeath, BrokenContinuityIsPrintedAndAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ScratchDir dir;
  write_file(dir.file("f"), "0123456789");
  vanto_session_t *s = vanto_edit_create_session(dir.file("f").c_str(), nullptr, nullptr, 0);
  ASSERT_EQ(vanto_edit_insert(s, 4, "abc", 3), 1);
  // Corrupt the piece tree: it records one byte more than its pieces hold,
  // so the data seems to reach offset 14, where no piece is.
  auto &pieces = s->current_model().model_segments;
  int64_t &total = vanto::internal::PieceTableTestAccess::total(pieces);
  total += 1;
  EXPECT_DEATH(vanto_edit_insert(s, 14, "x", 1),
               "\"computed_offset\": 7.*\n.*update_model_helper_: break in model continuity, "
               "expected: 14, got: 13");
  vanto_segment_t *seg = vanto_segment_create(4);
  EXPECT_DEATH(vanto_session_get_segment(s, seg, 14),
               "populate_data_segment_: break in model continuity, expected: 14, got: 13");
  total -= 1;
  vanto_segment_destroy(seg);
  vanto_edit_destroy_session(s);
}

}  // namespace
