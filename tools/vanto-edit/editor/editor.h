// The interactive editor's state and logic, without a terminal: keys go in
// (handle_key), a screen model comes out (screen()).  The terminal layer
// (terminal.cpp) only draws the model and reads keys, so that everything here
// can be driven and checked by tests.
#ifndef VANTO_EDIT_TOOL_EDITOR_EDITOR_H
#define VANTO_EDIT_TOOL_EDITOR_EDITOR_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <vanto_edit.h>

#include "clipboard.h"
#include "finder.h"
#include "marks.h"

namespace vtool::editor {

// Key codes: characters and control characters as themselves, the rest
// above the character range.
namespace key {
constexpr int Tab = '\t';
constexpr int Enter = '\n';
constexpr int Esc = 27;
constexpr int Backspace = 127;
constexpr int ctrl(char c) { return c & 0x1f; }
enum : int {
  Up = 0x110000,
  Down,
  Left,
  Right,
  PageUp,
  PageDown,
  Home,
  End,
  Insert,
  Delete,
  F1,
  F2,
  ShiftUp,
  ShiftDown,
  ShiftLeft,
  ShiftRight,
};
}  // namespace key

// What a cell shows, which picks its colour.
enum class Role : uint8_t { Blank, Offset, Null, Printable, Whitespace, Control, NonAscii };
// Attributes on top of the colour.
enum Attr : uint8_t {
  kChanged = 1,       // changed since the last save
  kCursor = 2,        // the cursor, in the pane that has it
  kCursorShadow = 4,  // the cursor's byte in the other pane
  kSelected = 8,
  kMatch = 16,        // the current search match
};

struct Cell {
  char ch = ' ';
  Role role = Role::Blank;
  uint8_t attrs = 0;
};

// The colour class of a byte value.
Role byte_role(unsigned char byte);

// Where things are on a row of the data area.
struct Layout {
  int offset_digits = 8;
  int bytes_per_row = 16;
  int hex_column(int index) const { return offset_digits + 2 + index * 3 + index / 8; }
  int text_column(int index) const { return hex_column(bytes_per_row) + index; }
  int row_width() const { return text_column(bytes_per_row); }
};

// `bytes_per_row`: as many groups of 8 as fit in `width` (at least one).
Layout layout_for(int width, int64_t data_size);

struct Screen {
  int width = 0;
  int height = 0;
  int data_rows = 0;
  Layout layout;
  std::vector<Cell> cells;           // data_rows x width
  std::vector<std::string> panel;    // the inspector's lines (below the data)
  std::vector<std::string> help;     // non-empty: the help screen is shown instead of everything
  std::string status;
  std::string message;
  bool message_is_error = false;
  int cursor_row = 0;  // where the terminal's cursor goes
  int cursor_col = 0;

  const Cell &at(int row, int col) const { return cells[static_cast<std::size_t>(row * width + col)]; }
  // The characters of a data row, for tests and the text capture.
  std::string row_text(int row) const;
};

// The target of a goto: decimal, 0x hex, K/M/G/T suffixes, +N and -N from
// `cursor`, or N% of `size`.  Empty with `error` set when malformed or
// outside [0, size].
std::optional<int64_t> parse_goto(std::string_view text, int64_t cursor, int64_t size, std::string &error);

struct EditorOptions {
  bool read_only = false;
  std::string read_only_reason;  // shown when an edit is refused
};

class Editor {
 public:
  // Opens a session on `path`; throws std::runtime_error with the reason when
  // the library refuses it.
  Editor(std::string path, EditorOptions options, int width = 80, int height = 24);
  ~Editor();
  Editor(const Editor &) = delete;
  Editor &operator=(const Editor &) = delete;

  void resize(int width, int height);
  void handle_key(int key);
  // Several keys, for tests and scripted use.
  void keys(std::string_view text);
  const Screen &screen();

  bool quit_requested() const { return quit_; }
  // A line of the library's log: shown on the message line.
  void log_line(std::string_view text);
  // Asks the session what changed about its file since opening (or the last
  // save over it) and warns once for each new difference.
  void check_disk();

  // While a long call runs: `redraw` shows the screen as it is now, `cancel`
  // polls the keyboard and says whether the user asked to stop.
  void set_host(std::function<void()> redraw, std::function<bool()> cancel) {
    redraw_ = std::move(redraw);
    cancel_ = std::move(cancel);
  }

  // The state, for the terminal layer and for tests.
  vanto_session_t *session() const { return session_; }
  int64_t cursor() const { return cursor_; }
  int64_t size() const { return vanto_session_get_computed_file_size(session_); }
  bool insert_mode() const { return insert_; }
  bool text_pane() const { return text_pane_; }
  bool modified() const { return vanto_session_get_num_changes(session_) > 0; }
  const ChangeMarks &marks() const { return marks_; }
  const Clipboard &clipboard() const { return clipboard_; }
  const std::string &message() const { return message_; }
  std::optional<std::pair<int64_t, int64_t>> selection() const;

  // Edits at an offset as the keys make them (each one user action), for the
  // benchmark and tests that need many changes quickly.
  bool overwrite_action(int64_t offset, std::string_view bytes);
  bool insert_action(int64_t offset, std::string_view bytes);
  bool delete_action(int64_t offset, int64_t length);
  void move_to(int64_t offset);

 private:
  enum class Prompt { None, Command, Goto, SearchForward, SearchBackward, Confirm };

  // ---- keys by mode
  void normal_key(int key);
  void prompt_key(int key);
  void typed(int key);
  bool typing_key(int key) const;

  // ---- moving
  void move(int64_t delta, bool extend = false);
  void set_cursor(int64_t offset, bool extend = false);
  void scroll_to_cursor();
  int64_t page_bytes() const { return int64_t{rows_} * layout_.bytes_per_row; }

  // ---- editing (each records the inverse of its marks)
  bool refuse_if_read_only();
  bool do_insert(int64_t offset, const char *bytes, int64_t length);
  bool do_overwrite(int64_t offset, const char *bytes, int64_t length);
  bool do_delete(int64_t offset, int64_t length);
  void begin_action();
  void end_action();
  void finish_typing();
  void delete_at_cursor();
  void backspace();
  void delete_selection();
  void copy_selection();
  void paste(bool overwrite);
  void undo();
  void redo();

  // ---- commands
  void open_prompt(Prompt prompt, std::string label);
  void run_command(const std::string &text);
  void run_goto(const std::string &text);
  void search(bool backward, bool repeat);
  void save(const std::string &path, bool force, bool quit_after);
  // Without `confirmed` the save refuses data read from a file changed in
  // place (SAVE_FLAG_REFUSE_IF_CHANGED) and asks first.
  void save_now(const std::string &path, bool quit_after, bool confirmed);
  void ask(std::string question, std::function<void()> on_yes);

  // ---- long calls
  bool progress(const char *what, int64_t done, int64_t total);

  // ---- drawing
  void build_screen();
  std::string status_line() const;
  void layout_rows();
  void refresh_viewport();
  void say(std::string text, bool error = false);

  std::string path_;
  EditorOptions options_;
  vanto_session_t *session_ = nullptr;
  vanto_viewport_t *viewport_ = nullptr;
  int32_t disk_warned_ = 0;

  int width_ = 80;
  int height_ = 24;
  int rows_ = 1;
  Layout layout_;
  Screen screen_;

  int64_t cursor_ = 0;
  int64_t top_ = 0;
  bool high_nibble_done_ = false;  // hex pane: the first digit of the byte was typed
  bool text_pane_ = false;
  bool insert_ = false;
  std::optional<int64_t> anchor_;  // selection start
  int pending_ = 0;                // 'g' or 'Z' waiting for its second key
  bool inspector_ = false;
  bool help_ = false;
  bool quit_ = false;

  Prompt prompt_ = Prompt::None;
  std::string prompt_label_;
  std::string prompt_text_;
  bool prompt_hex_ = false;
  std::function<void()> on_yes_;

  Pattern pattern_;
  bool have_pattern_ = false;
  bool last_backward_ = false;
  bool ignore_case_ = false;
  std::optional<std::pair<int64_t, int64_t>> match_;

  std::string message_;
  bool message_error_ = false;
  std::string progress_text_;

  ChangeMarks marks_;
  // Per user action, the inverses of its steps on the marks, in the order made.
  std::vector<std::vector<MarkOp>> undo_;
  std::vector<std::vector<MarkOp>> redo_;
  std::vector<MarkOp> action_;
  bool in_action_ = false;
  bool typing_ = false;

  Clipboard clipboard_;

  std::function<void()> redraw_;
  std::function<bool()> cancel_;
};

// The lines of the help screen.
const std::vector<std::string> &help_lines();

}  // namespace vtool::editor

#endif  // VANTO_EDIT_TOOL_EDITOR_EDITOR_H
