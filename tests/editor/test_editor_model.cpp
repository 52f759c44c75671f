// The editor's model without a terminal: the screen it would draw, keys fed
// to it, and the session and marks it leaves.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "editor.h"
#include "finder.h"
#include "inspector.h"
#include "marks.h"

namespace {

using namespace vtool::editor;

std::string temp_path(const std::string &name) {
  const char *dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/vanto-editor-test-" +
         std::to_string(::getpid()) + "-" + name;
}

class EditorTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const std::string &path : files_) std::remove(path.c_str());
  }
  std::string make_file(const std::string &bytes, const std::string &name = "data") {
    const std::string path = temp_path(name);
    std::ofstream(path, std::ios::binary) << bytes;
    files_.push_back(path);
    return path;
  }
  static std::string data(const Editor &e) { return vanto_session_get_segment_string(e.session(), 0, e.size()); }
  // The hex cell (first digit) and text cell of byte `index` of the screen.
  static const Cell &hex_cell(const Screen &s, int64_t index) {
    const int bpr = s.layout.bytes_per_row;
    return s.at(static_cast<int>(index / bpr), s.layout.hex_column(static_cast<int>(index % bpr)));
  }
  static const Cell &text_cell(const Screen &s, int64_t index) {
    const int bpr = s.layout.bytes_per_row;
    return s.at(static_cast<int>(index / bpr), s.layout.text_column(static_cast<int>(index % bpr)));
  }
  std::vector<std::string> files_;
};

std::string counting(int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += static_cast<char>('a' + i % 26);
  return out;
}

TEST_F(EditorTest, LayoutFollowsWidthAndSize) {
  struct Case {
    int width;
    int64_t size;
    int bytes_per_row;
    int digits;
  } cases[] = {{80, 100, 16, 8}, {60, 100, 8, 8}, {30, 100, 8, 8}, {120, 100, 24, 8}, {200, 100, 40, 8},
               {80, int64_t{1} << 32, 16, 9}, {80, int64_t{1} << 40, 16, 11}};
  for (const Case &c : cases) {
    const Layout layout = layout_for(c.width, c.size);
    EXPECT_EQ(layout.bytes_per_row, c.bytes_per_row) << c.width;
    EXPECT_EQ(layout.offset_digits, c.digits) << c.size;
    if (c.width >= 43) {
      EXPECT_LE(layout.row_width(), c.width) << c.width;
    }
  }

  const std::string path = make_file("Hello, world!\n" + std::string(30, 'x'));
  for (const int width : {80, 60, 120}) {
    Editor e(path, {}, width, 10);
    const Screen &s = e.screen();
    const int bpr = s.layout.bytes_per_row;
    ASSERT_EQ(s.width, width);
    if (width == 80) {
      EXPECT_EQ(s.row_text(0), "00000000  48 65 6c 6c 6f 2c 20 77  6f 72 6c 64 21 0a 78 78  Hello, world!.xx");
      EXPECT_EQ(s.row_text(1).substr(0, 12), "00000010  78");
    }
    // Every byte shows once per pane, rows advance by the row's width.
    const int rows = (44 + bpr - 1) / bpr;
    for (int row = 0; row < rows; ++row) {
      EXPECT_EQ(s.row_text(row).substr(0, 8), fmt::format("{:08x}", row * bpr)) << width;
    }
    EXPECT_EQ(s.row_text(rows), "") << width;
  }
}

TEST_F(EditorTest, ByteClassesHaveTheirOwnRoles) {
  const std::string bytes("\x00" "A " "\t\n" "\x01\x1f\x7f" "\x80\xff", 10);
  const Role expected[] = {Role::Null,    Role::Printable, Role::Whitespace, Role::Whitespace, Role::Whitespace,
                           Role::Control, Role::Control,   Role::Control,    Role::NonAscii,   Role::NonAscii};
  Editor e(make_file(bytes), {});
  const Screen &s = e.screen();
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(hex_cell(s, i).role, expected[i]) << i;
    EXPECT_EQ(text_cell(s, i).role, expected[i]) << i;
    EXPECT_EQ(text_cell(s, i).ch, i == 1 ? 'A' : i == 2 ? ' ' : '.') << i;
  }
  EXPECT_EQ(hex_cell(s, 9).ch, 'f');
}

TEST_F(EditorTest, CursorShowsInBothPanes) {
  Editor e(make_file(counting(40)), {}, 80, 10);
  e.keys("lllj");  // offset 3 + 16
  const Screen &s = e.screen();
  EXPECT_EQ(e.cursor(), 19);
  EXPECT_TRUE(hex_cell(s, 19).attrs & kCursor);
  EXPECT_TRUE(text_cell(s, 19).attrs & kCursorShadow);
  EXPECT_FALSE(text_cell(s, 19).attrs & kCursor);
  EXPECT_FALSE(hex_cell(s, 18).attrs & (kCursor | kCursorShadow));
  EXPECT_EQ(s.cursor_row, 1);
  EXPECT_EQ(s.cursor_col, s.layout.hex_column(3));

  e.handle_key(key::Tab);
  const Screen &t = e.screen();
  EXPECT_TRUE(text_cell(t, 19).attrs & kCursor);
  EXPECT_TRUE(hex_cell(t, 19).attrs & kCursorShadow);
  EXPECT_EQ(t.cursor_col, t.layout.text_column(3));
}

TEST_F(EditorTest, MovesAndGoto) {
  Editor e(make_file(counting(1000)), {}, 80, 12);  // 10 rows of 16
  struct Step {
    std::vector<int> keys;
    int64_t cursor;
    bool refused = false;
  } steps[] = {
      {{'G'}, 999},
      {{'g', 'g'}, 0},
      {{key::PageDown}, 160},
      {{key::End}, 175},
      {{key::Home}, 160},
      {{'w'}, 168},
      {{'b'}, 160},
      {{'b'}, 152},
      {{key::PageUp}, 0},
      {{key::ctrl('G'), '0', 'x', '1', '0', '0', key::Enter}, 256},
      {{':', '+', '1', '0', key::Enter}, 266},
      {{':', '-', '2', '6', '6', key::Enter}, 0},
      {{':', '5', '0', '%', key::Enter}, 500},
      {{':', '1', '0', '0', '0', key::Enter}, 1000},
      {{':', '1', 'K', key::Enter}, 1000, true},  // beyond the end: the cursor stays
      {{key::Left, 'h', 'k'}, 982},
  };
  for (const Step &step : steps) {
    for (const int k : step.keys) e.handle_key(k);
    EXPECT_EQ(e.cursor(), step.cursor);
    EXPECT_EQ(e.screen().message.find("outside") != std::string::npos, step.refused) << e.screen().message;
  }
  // The cursor's row is on the screen.
  const Screen &s = e.screen();
  bool shown = false;
  for (int row = 0; row < s.data_rows; ++row) shown |= s.row_text(row).rfind(fmt::format("{:08x}", 976), 0) == 0;
  EXPECT_TRUE(shown);
}

TEST_F(EditorTest, GotoSyntax) {
  struct Case {
    const char *text;
    int64_t expect;  // -1: refused
  } cases[] = {{"100", 100}, {"0x10", 16}, {"1K", 1024}, {"+5", 505}, {"-500", 0}, {"-501", -1},
               {"50%", 1024}, {"100%", 2047}, {"0%", 0}, {"101%", -1}, {"2049", -1}, {"2048", 2048},
               {"abc", -1}, {"", -1}, {"+", -1}};
  for (const Case &c : cases) {
    std::string error;
    const auto target = parse_goto(c.text, 500, 2048, error);
    EXPECT_EQ(target.value_or(-1), c.expect) << c.text;
    EXPECT_EQ(target.has_value(), error.empty()) << c.text;
  }
}

TEST_F(EditorTest, TypingInBothPanesAndInsertMode) {
  Editor e(make_file("abcdefgh"), {});
  std::string reference = "abcdefgh";
  e.keys("41");  // hex pane, overwrite: byte 0 becomes 'A'
  reference[0] = 'A';
  e.handle_key('i');  // insert mode
  e.keys("5");  // high nibble only so far: a new byte 0x50
  EXPECT_EQ(data(e).substr(0, 3), std::string("A\x50" "b", 3));
  e.keys("a");
  reference.insert(1, "Z");
  EXPECT_EQ(data(e), reference);
  e.handle_key(key::Tab);  // text pane, still insert
  e.keys("xy");
  reference.insert(2, "xy");
  e.handle_key(key::Insert);  // overwrite
  e.keys("!");
  reference[4] = '!';
  EXPECT_EQ(data(e), reference);
  e.handle_key(key::Backspace);  // deletes the byte before the cursor
  reference.erase(4, 1);
  e.handle_key(key::Delete);  // and at it
  reference.erase(4, 1);
  EXPECT_EQ(data(e), reference);
  EXPECT_EQ(e.cursor(), 4);

  // Each typed run is one undo step; undo and redo go back and forth.
  const std::vector<std::string> states = {"abcdefgh", "Abcdefgh", "AZbcdefgh", "AZxybcdefgh", "AZxy!cdefgh",
                                           "AZxycdefgh", reference};
  e.handle_key(key::Esc);  // back to the hex pane, where u undoes
  for (int i = static_cast<int>(states.size()) - 2; i >= 0; --i) {
    e.handle_key('u');
    EXPECT_EQ(data(e), states[static_cast<std::size_t>(i)]) << i;
  }
  e.handle_key('u');
  EXPECT_EQ(data(e), "abcdefgh");
  for (std::size_t i = 1; i < states.size(); ++i) {
    e.handle_key(key::ctrl('R'));
    EXPECT_EQ(data(e), states[i]) << i;
  }
}

TEST_F(EditorTest, EmptyFileGrowsByTyping) {
  Editor e(make_file(""), {});
  EXPECT_EQ(e.screen().row_text(0), "00000000");
  e.keys("41");  // overwrite at the end appends
  e.handle_key(key::Tab);
  e.keys("b\xc3\xa9");  // a character and the two bytes of a UTF-8 one
  EXPECT_EQ(data(e), "Ab\xc3\xa9");
  const Screen &s = e.screen();
  EXPECT_EQ(s.row_text(0), "00000000  41 62 c3 a9" + std::string(s.layout.text_column(0) - 21, ' ') + "Ab..");
  EXPECT_TRUE(text_cell(s, 4).attrs & kCursor);  // the position after the end
  e.handle_key(key::Esc);
  e.keys("uu");
  EXPECT_EQ(data(e), "");
  EXPECT_EQ(e.cursor(), 0);
}

TEST_F(EditorTest, ChangedBytesAreMarkedUntilSaved) {
  const std::string path = make_file(counting(64));
  Editor e(path, {});
  e.keys("ll41");  // overwrite byte 2
  auto marked = [&]() {
    std::vector<int> out;
    const Screen &s = e.screen();
    for (int i = 0; i < 64; ++i) {
      const bool hex = hex_cell(s, i).attrs & kChanged;
      const bool text = text_cell(s, i).attrs & kChanged;
      EXPECT_EQ(hex, text) << i;
      if (hex) out.push_back(i);
    }
    return out;
  };
  EXPECT_EQ(marked(), std::vector<int>{2});
  e.handle_key(key::Home);
  e.handle_key('i');
  e.keys("3031");  // two bytes inserted at 0: the mark moves with its byte
  EXPECT_EQ(marked(), (std::vector<int>{0, 1, 4}));
  e.handle_key('i');
  e.keys("llx");  // delete byte 4 (the overwritten one)
  EXPECT_EQ(marked(), (std::vector<int>{0, 1}));
  e.handle_key('u');
  EXPECT_EQ(marked(), (std::vector<int>{0, 1, 4}));
  e.handle_key('u');
  EXPECT_EQ(marked(), std::vector<int>{2});
  e.handle_key(key::ctrl('R'));
  EXPECT_EQ(marked(), (std::vector<int>{0, 1, 4}));
  EXPECT_NE(e.screen().status.find("modified"), std::string::npos);

  e.handle_key(key::ctrl('S'));
  EXPECT_EQ(marked(), std::vector<int>{});
  EXPECT_EQ(e.screen().status.find("modified"), std::string::npos);
  std::ifstream saved(path, std::ios::binary);
  const std::string content((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
  std::string reference = counting(64);
  reference[2] = 'A';
  reference.insert(0, "01");
  EXPECT_EQ(content, reference);
}

TEST_F(EditorTest, StatusLine) {
  const std::string path = make_file(counting(200));
  Editor e(path, {});
  e.keys("jj");
  std::string status = e.screen().status;
  for (const char *part : {"vanto-editor-test-", "200 bytes", "0x20 (32)", "16.0%", "OVR", "hex", " 0 changes"}) {
    EXPECT_NE(status.find(part), std::string::npos) << part << " in " << status;
  }
  EXPECT_EQ(status.find("modified"), std::string::npos);
  e.handle_key('i');
  e.handle_key(key::Tab);
  e.keys("ab");
  status = e.screen().status;
  for (const char *part : {"0x22 (34)", "INS", "text", "modified", " 2 changes"}) {
    EXPECT_NE(status.find(part), std::string::npos) << part << " in " << status;
  }
  Editor ro(path, {true, ""});
  ro.keys("41");
  EXPECT_EQ(data(ro), counting(200));
  EXPECT_NE(ro.screen().message.find("read-only"), std::string::npos);
  EXPECT_NE(ro.screen().status.find("read-only"), std::string::npos);
}

TEST_F(EditorTest, InspectorValues) {
  const unsigned char b[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x88};
  EXPECT_EQ(unsigned_value(b, 8, 2, false), "513");
  EXPECT_EQ(unsigned_value(b, 8, 2, true), "258");
  EXPECT_EQ(unsigned_value(b, 8, 4, false), "67305985");
  EXPECT_EQ(unsigned_value(b, 8, 8, true), "72623859790382984");
  EXPECT_EQ(signed_value(b, 8, 8, false), "-8644934341102468607");
  EXPECT_EQ(unsigned_value(b, 8, 8, false), "9801809732607083009");
  EXPECT_EQ(signed_value(b + 7, 1, 1, false), "-120");
  EXPECT_EQ(unsigned_value(b + 7, 1, 1, false), "136");
  EXPECT_EQ(unsigned_value(b, 3, 4, false), "-");
  const unsigned char one_f[] = {0x3f, 0x80, 0x00, 0x00};
  EXPECT_EQ(float_value(one_f, 4, 4, true), "1");
  EXPECT_EQ(float_value(one_f, 4, 4, false), "4.60060299e-41");
  const unsigned char minus_two_d[] = {0, 0, 0, 0, 0, 0, 0x00, 0xc0};
  EXPECT_EQ(float_value(minus_two_d, 8, 8, false), "-2");
  const unsigned char a5[] = {0xa5, 0x0f};
  EXPECT_EQ(binary_value(a5, 2, 4), "10100101 00001111");
  EXPECT_EQ(signed_value(a5 + 1, 1, 2, true), "-");

  // The panel shows the bytes at the cursor, and takes rows from the data.
  Editor e(make_file(std::string("\x00\x01\x02\x03\x04\x05\x06\x07\x88\xff", 10)), {}, 120, 24);
  const int rows = e.screen().data_rows;
  e.keys("I");
  e.keys("l");
  const Screen &s = e.screen();
  ASSERT_FALSE(s.panel.empty());
  EXPECT_LT(s.data_rows, rows);
  std::string panel;
  for (const std::string &line : s.panel) panel += line + "\n";
  EXPECT_NE(panel.find("00000001"), std::string::npos) << panel;
  EXPECT_NE(panel.find(unsigned_value(reinterpret_cast<const unsigned char *>("\x01\x02\x03\x04\x05\x06\x07\x88"),
                                      8, 8, false)),
            std::string::npos)
      << panel;
}

TEST_F(EditorTest, SelectCopyPasteAndDelete) {
  Editor e(make_file("0123456789"), {});
  std::string reference = "0123456789";
  e.keys("lvlly");  // copy "123"
  EXPECT_EQ(e.clipboard().size(), 3);
  e.handle_key('G');
  e.keys("p");  // insert before the last byte
  reference.insert(9, "123");
  EXPECT_EQ(data(e), reference);
  e.handle_key('g');
  e.handle_key('g');
  e.keys("P");  // overwrite at 0
  reference.replace(0, 3, "123");
  EXPECT_EQ(data(e), reference);
  e.handle_key(key::ShiftRight);
  e.handle_key(key::ShiftRight);
  const Screen &s = e.screen();
  EXPECT_TRUE(hex_cell(s, 3).attrs & kSelected);
  EXPECT_TRUE(hex_cell(s, 5).attrs & kSelected);
  EXPECT_FALSE(hex_cell(s, 6).attrs & kSelected);
  e.handle_key('x');
  reference.erase(3, 3);
  EXPECT_EQ(data(e), reference);
  e.handle_key('u');
  reference = "1233456789";
  reference.insert(9, "123");
  EXPECT_EQ(data(e), reference);
  // A paste at the end overwrites what exists and appends the rest.
  e.handle_key('G');
  e.handle_key(key::Right);
  e.keys("P");
  EXPECT_EQ(data(e), reference + "123");
}

TEST_F(EditorTest, LargeCopiesGoToAScratchFile) {
  const std::string path = temp_path("sparse");
  files_.push_back(path);
  {
    std::ofstream out(path, std::ios::binary);
    out << "head";
  }
  ASSERT_EQ(::truncate(path.c_str(), 3 << 20), 0);
  Editor e(path, {});
  e.handle_key('v');
  e.handle_key(key::ctrl('G'));
  e.keys("2M");
  e.handle_key(key::Enter);
  e.handle_key('y');
  ASSERT_EQ(e.clipboard().size(), (2 << 20) + 1) << e.screen().message;
  EXPECT_TRUE(e.clipboard().in_file());
  std::string got;
  ASSERT_TRUE(e.clipboard().read(0, 8, got));
  EXPECT_EQ(got, std::string("head\0\0\0\0", 8));
  ASSERT_TRUE(e.clipboard().read((2 << 20) - 4, 100, got));
  EXPECT_EQ(got, std::string(5, '\0'));
}

TEST_F(EditorTest, QuitIsRefusedWithUnsavedChanges) {
  const std::string path = make_file("abc");
  Editor e(path, {});
  e.keys("41:q\n");
  EXPECT_FALSE(e.quit_requested());
  EXPECT_NE(e.screen().message.find("unsaved"), std::string::npos);
  e.keys(":q!\n");
  EXPECT_TRUE(e.quit_requested());

  Editor saving(path, {});
  saving.keys("42ZZ");
  EXPECT_TRUE(saving.quit_requested());
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), "Bbc");
}

TEST_F(EditorTest, ChangeOnDiskIsWarnedAndASaveOverItConfirmed) {
  const std::string path = make_file("original");
  auto content = [&] {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  Editor e(path, {});
  e.keys("41");
  e.check_disk();
  EXPECT_EQ(e.screen().message, "");
  std::ofstream(path, std::ios::binary | std::ios::app) << "+more";
  e.check_disk();
  EXPECT_NE(e.screen().message.find("changed on disk"), std::string::npos) << e.screen().message;
  EXPECT_NE(e.screen().message.find("size"), std::string::npos) << e.screen().message;

  e.handle_key(key::ctrl('S'));
  EXPECT_NE(e.screen().message.find("save over it? (y/n)"), std::string::npos) << e.screen().message;
  e.handle_key('n');
  EXPECT_EQ(content(), "original+more");
  EXPECT_TRUE(e.modified());
  e.handle_key(key::ctrl('S'));
  e.handle_key('y');
  EXPECT_EQ(content(), "Ariginal");
  EXPECT_FALSE(e.modified());
  // Saved: the file is the session's own again, nothing to warn about,
  // until it changes once more.
  e.check_disk();
  EXPECT_EQ(e.screen().message.find("changed on disk"), std::string::npos) << e.screen().message;
  std::ofstream(path, std::ios::binary | std::ios::app) << "!";
  e.check_disk();
  EXPECT_NE(e.screen().message.find("changed on disk"), std::string::npos) << e.screen().message;

  // Removed from under the editor.
  const std::string other = make_file("x", "other");
  Editor gone(other, {});
  std::remove(other.c_str());
  gone.check_disk();
  EXPECT_NE(gone.screen().message.find("changed on disk since it was opened or saved (removed)"), std::string::npos)
      << gone.screen().message;
}

// A file changed in place while it is saved (here from the progress hook,
// after the check before the save) makes the save refuse, write nothing and
// ask; confirmed, it saves.  Saving a copy reads the changed file too.
TEST_F(EditorTest, SaveRefusesAFileChangedDuringItUntilConfirmed) {
  auto read = [](const std::string &p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  for (const bool own : {true, false}) {
    SCOPED_TRACE(own ? "own file" : "a copy");
    const std::string path = make_file("original");
    const std::string copy = temp_path("copy");
    files_.push_back(copy);
    std::remove(copy.c_str());
    Editor e(path, {});
    e.keys("41");
    bool changed = false;
    e.set_host([] {}, [&] {
      if (!changed) std::ofstream(path, std::ios::binary | std::ios::app) << "+more";
      changed = true;
      return false;
    });
    if (own) {
      e.handle_key(key::ctrl('S'));
    } else {
      e.keys(":w " + copy + "\n");
    }
    ASSERT_TRUE(changed);
    EXPECT_NE(e.screen().message.find("changed on disk: nothing was written; save anyway? (y/n)"), std::string::npos)
        << e.screen().message;
    EXPECT_EQ(read(path), "original+more");
    EXPECT_FALSE(std::ifstream(copy).good());
    EXPECT_TRUE(e.modified());
    e.handle_key('y');
    EXPECT_EQ(read(own ? path : copy), "Ariginal") << e.screen().message;
    EXPECT_EQ(e.modified(), !own);
  }
}

TEST_F(EditorTest, SaveAsLeavesTheOwnFileAndAsksBeforeReplacing) {
  const std::string path = make_file("abc");
  const std::string copy = temp_path("copy");
  files_.push_back(copy);
  Editor e(path, {});
  e.keys("58:w " + copy + "\n");
  auto read = [](const std::string &p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  EXPECT_EQ(read(copy), "Xbc");
  EXPECT_EQ(read(path), "abc");
  e.keys("59:w " + copy + "\n");
  EXPECT_NE(e.screen().message.find("exists: replace it?"), std::string::npos) << e.screen().message;
  e.handle_key('y');
  EXPECT_EQ(read(copy), "XYc");
  e.keys(":w! " + copy + "\n");
  EXPECT_EQ(read(copy), "XYc");
  EXPECT_EQ(read(path), "abc");
}

TEST_F(EditorTest, ReadCommandInsertsAFileAtTheCursor) {
  const std::string path = make_file("abcdef");
  const std::string other = make_file("XYZ", "other");
  const std::string empty = make_file("", "empty");
  Editor e(path, {});
  e.keys("ll:r " + other + "\n");
  EXPECT_EQ(data(e), "abXYZcdef");
  EXPECT_EQ(e.cursor(), 5);
  EXPECT_NE(e.message().find("inserted 3 bytes"), std::string::npos) << e.message();
  // Refusals change nothing and say why.
  const struct {
    std::string command, says;
  } refusals[] = {{":r\n", "needs a file"},
                  {":r " + temp_path("missing") + "\n", "No such file"},
                  {":r /tmp\n", "Is a directory"},
                  {":r /dev/null\n", "not a regular file"},
                  {":r " + empty + "\n", "empty"}};
  for (const auto &r : refusals) {
    e.keys(r.command);
    EXPECT_NE(e.message().find(r.says), std::string::npos) << r.command << ": " << e.message();
    EXPECT_EQ(data(e), "abXYZcdef") << r.command;
  }
  // One undo takes the whole file out, and the save writes the file's bytes.
  e.keys("u");
  EXPECT_EQ(data(e), "abcdef");
  e.handle_key(key::ctrl('R'));
  EXPECT_EQ(data(e), "abXYZcdef");
  std::remove(other.c_str());  // the session keeps the file open
  const std::string copy = temp_path("copy");
  files_.push_back(copy);
  e.keys(":w! " + copy + "\n");
  std::ifstream in(copy, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), "abXYZcdef");
}

TEST_F(EditorTest, SearchesBothWaysAndWraps) {
  Editor e(make_file("xxabcxxABCxxabcxx"), {});
  e.handle_key(key::Tab);
  e.handle_key(key::ctrl('G'));
  e.keys("0");
  e.handle_key(key::Enter);
  e.handle_key(key::Esc);  // hex pane: commands
  e.keys("/");
  e.handle_key(key::Tab);  // text pattern
  e.keys("abc\n");
  EXPECT_EQ(e.cursor(), 2);
  const Screen &s = e.screen();
  EXPECT_TRUE(hex_cell(s, 2).attrs & kMatch);
  EXPECT_TRUE(hex_cell(s, 4).attrs & kMatch);
  EXPECT_FALSE(hex_cell(s, 5).attrs & kMatch);
  e.keys("n");
  EXPECT_EQ(e.cursor(), 12);
  e.keys("n");
  EXPECT_EQ(e.cursor(), 2);
  EXPECT_NE(e.screen().message.find("wrapped"), std::string::npos);
  e.keys("N");
  EXPECT_EQ(e.cursor(), 12);
  e.keys(":set ic\nN");
  EXPECT_EQ(e.cursor(), 7);
  e.keys("?");  // backward, hex with a wildcard
  e.keys("61 ?? 63\n");
  EXPECT_EQ(e.cursor(), 2);
  e.keys("/7a\n");
  EXPECT_EQ(e.cursor(), 2);
  EXPECT_NE(e.screen().message.find("not found"), std::string::npos);
}

// The marks against a flag per byte, through random edits, undos and redos.
TEST(ChangeMarks, MatchesAFlagPerByte) {
  std::mt19937 random(7);
  ChangeMarks marks(500);
  std::vector<bool> flags(500, false);
  std::vector<std::pair<MarkOp, std::vector<bool>>> history;
  for (int step = 0; step < 3000; ++step) {
    const int64_t size = static_cast<int64_t>(flags.size());
    const int kind = static_cast<int>(random() % 4);
    const int64_t offset = size > 0 ? static_cast<int64_t>(random() % (size + 1)) : 0;
    const int64_t length = 1 + static_cast<int64_t>(random() % 20);
    const std::vector<bool> before = flags;
    MarkOp inverse;
    if (kind == 0) {
      inverse = marks.inserted(offset, length);
      flags.insert(flags.begin() + offset, static_cast<std::size_t>(length), true);
    } else if (kind == 1) {
      const int64_t n = std::min(length, size - offset);
      inverse = marks.erased(offset, n);
      flags.erase(flags.begin() + offset, flags.begin() + offset + n);
    } else if (kind == 2) {
      const int64_t n = std::min(length, size - offset);
      inverse = marks.overwritten(offset, n);
      std::fill_n(flags.begin() + offset, n, true);
    } else if (!history.empty()) {
      marks.apply(history.back().first);
      flags = history.back().second;
      history.pop_back();
      continue;
    } else {
      continue;
    }
    history.emplace_back(std::move(inverse), before);
    ASSERT_EQ(marks.size(), static_cast<int64_t>(flags.size()));
    if (step % 50 == 0 || step > 2900) {
      const int64_t from = static_cast<int64_t>(random() % (flags.size() + 1));
      const int64_t count = static_cast<int64_t>(flags.size()) - from;
      std::vector<bool> got;
      bool previous = false;
      bool first = true;
      for (const vtool::editor::Run &run : marks.runs(from, count)) {
        ASSERT_GT(run.length, 0);
        if (!first) {
          EXPECT_NE(run.changed, previous);  // neighbours are joined
        }
        first = false;
        previous = run.changed;
        got.insert(got.end(), static_cast<std::size_t>(run.length), run.changed);
      }
      ASSERT_EQ(got, std::vector<bool>(flags.begin() + from, flags.end())) << step;
    }
  }
}

std::vector<int64_t> naive_matches(const std::string &data, const Pattern &p) {
  std::vector<int64_t> out;
  auto fold = [&](unsigned char c) { return p.ignore_case && c >= 'A' && c <= 'Z' ? c + 32 : c; };
  for (std::size_t at = 0; at + p.bytes.size() <= data.size(); ++at) {
    bool ok = true;
    for (std::size_t i = 0; ok && i < p.bytes.size(); ++i) {
      const unsigned m = p.mask.empty() ? 0xff : static_cast<unsigned char>(p.mask[i]);
      // Folded first, then masked.
      const unsigned d = fold(static_cast<unsigned char>(data[at + i]));
      const unsigned b = fold(static_cast<unsigned char>(p.bytes[i]));
      ok = (d & m) == (b & m);
    }
    if (ok) out.push_back(static_cast<int64_t>(at));
  }
  return out;
}

// find_next and find_prev against a scan of every position, on data long
// enough that the backward search crosses several of its windows.
TEST_F(EditorTest, FinderMatchesANaiveScan) {
  std::mt19937 random(11);
  std::string content(300000, 'z');
  for (int i = 0; i < 400; ++i) content[random() % content.size()] = "aAbB\x01"[random() % 5];
  Editor e(make_file(content), {});
  // Some edits, so that the search reads changes as well as the file.
  e.insert_action(1000, "abBA");
  e.overwrite_action(150000, "AbAb");
  e.delete_action(20, 7);
  const std::string data = vanto_session_get_segment_string(e.session(), 0, e.size());

  std::vector<Pattern> patterns;
  for (int i = 0; i < 30; ++i) {
    Pattern p;
    const int length = 1 + static_cast<int>(random() % 3);
    for (int k = 0; k < length; ++k) p.bytes += "aAbBz"[random() % 5];
    p.ignore_case = random() % 2 == 0;
    if (random() % 3 == 0) {
      p.mask = std::string(p.bytes.size(), '\xff');
      p.mask[random() % p.mask.size()] = static_cast<char>("\x00\xf0\x0f"[random() % 3]);
    }
    patterns.push_back(p);
  }
  std::string error;
  patterns.push_back(*hex_pattern("?? ??", error));  // nothing fixed to look for
  patterns.push_back(*hex_pattern("6? 4?", error));

  for (const Pattern &p : patterns) {
    const std::vector<int64_t> all = naive_matches(data, p);
    for (int probe = 0; probe < 6; ++probe) {
      const int64_t from = static_cast<int64_t>(random() % data.size());
      int64_t got = -1;
      const auto next = std::lower_bound(all.begin(), all.end(), from);
      const FindResult forward = find_next(e.session(), p, from, e.size(), got);
      ASSERT_EQ(forward == FindResult::Found, next != all.end()) << p.bytes << " from " << from;
      if (next != all.end()) {
        EXPECT_EQ(got, *next) << p.bytes;
      }
      const auto prev = std::upper_bound(all.begin(), all.end(), from);
      const FindResult backward = find_prev(e.session(), p, from, 0, got);
      ASSERT_EQ(backward == FindResult::Found, prev != all.begin()) << p.bytes << " from " << from;
      if (prev != all.begin()) {
        EXPECT_EQ(got, *(prev - 1)) << p.bytes << " from " << from;
      }
    }
  }
  // A cancel from the progress hook stops the search.
  Pattern absent{{"qqq", {}}, false};
  int64_t got = -1;
  EXPECT_EQ(find_prev(e.session(), absent, e.size(), 0, got, [](int64_t, int64_t) { return true; }),
            FindResult::Cancelled);
}

TEST(HexPattern, Syntax) {
  struct Case {
    const char *text;
    const char *bytes;
    const char *mask;  // null: exact
    std::size_t length;
  } cases[] = {{"de ad", "\xde\xad", nullptr, 2},
               {"?? 4?", "\x00\x40", "\x00\xf0", 2},
               {"?F", "\x0f", "\x0f", 1},
               {"\tDEADbeef ", "\xde\xad\xbe\xef", nullptr, 4}};
  for (const Case &c : cases) {
    std::string error;
    const auto p = hex_pattern(c.text, error);
    ASSERT_TRUE(p) << c.text << ": " << error;
    EXPECT_EQ(p->bytes, std::string(c.bytes, c.length)) << c.text;
    EXPECT_EQ(p->mask, c.mask != nullptr ? std::string(c.mask, c.length) : std::string(c.length, '\xff')) << c.text;
    EXPECT_FALSE(p->ignore_case);
  }
  std::string too_long;
  for (int i = 0; i < VANTO_SEARCH_PATTERN_LIMIT; ++i) too_long += "00";
  // A blank splits no pair; blanks alone are no pattern.
  for (const std::string &bad : {std::string(), std::string(" \t "), std::string("abc"), std::string("xy"),
                                 std::string("4g"), std::string("d e"), std::string("4 ?"), too_long}) {
    std::string error;
    EXPECT_FALSE(hex_pattern(bad, error)) << bad.substr(0, 20);
    EXPECT_FALSE(error.empty()) << bad.substr(0, 20);
  }
}

}  // namespace
