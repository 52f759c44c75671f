#include "editor.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "../text.h"
#include "inspector.h"

namespace vtool::editor {

namespace {

constexpr int kInspectorRows = 7;
// A paste puts its bytes into the session's memory: beyond this it is refused.
constexpr int64_t kPasteLimit = int64_t{1} << 30;

bool is_hex_key(int key) { return key != 'b' && hex_digit_value(key) >= 0; }

std::string trim(std::string_view text) {
  const auto begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  const auto end = text.find_last_not_of(" \t");
  return std::string(text.substr(begin, end - begin + 1));
}

int64_t clamp_offset(int64_t value, int64_t size) { return std::clamp<int64_t>(value, 0, size); }

}  // namespace

Role byte_role(unsigned char b) {
  if (b == 0) return Role::Null;
  if (b == ' ' || (b >= '\t' && b <= '\r')) return Role::Whitespace;
  if (b < 0x20 || b == 0x7f) return Role::Control;
  if (b >= 0x80) return Role::NonAscii;
  return Role::Printable;
}

Layout layout_for(int width, int64_t data_size) {
  Layout layout;
  int digits = 8;
  while (digits < 16 && (data_size >> (digits * 4)) != 0) ++digits;
  layout.offset_digits = digits;
  // Per group of 8 bytes: 8 * 3 hex columns, a gap, 8 text columns.
  const int groups = std::max(1, (width - digits - 2) / 33);
  layout.bytes_per_row = groups * 8;
  return layout;
}

std::string Screen::row_text(int row) const {
  std::string out;
  for (int col = 0; col < width; ++col) out += at(row, col).ch;
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::optional<int64_t> parse_goto(std::string_view input, int64_t cursor, int64_t size, std::string &error) {
  std::string text = trim(input);
  if (text.empty()) {
    error = "no offset given";
    return std::nullopt;
  }
  int64_t target = 0;
  if (text.back() == '%') {
    text.pop_back();
    char *end = nullptr;
    errno = 0;
    const double percent = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || errno != 0 || !(percent >= 0 && percent <= 100)) {
      error = fmt::format("not a percentage from 0 to 100: {}%", printable(text));
      return std::nullopt;
    }
    target = static_cast<int64_t>(std::floor(static_cast<long double>(size) * percent / 100.0L));
    if (target >= size && size > 0) target = size - 1;
    return target;
  }
  int sign = 0;
  if (text[0] == '+' || text[0] == '-') {
    sign = text[0] == '+' ? 1 : -1;
    text = trim(std::string_view(text).substr(1));
  }
  const std::optional<int64_t> number = parse_number(text);
  if (!number) {
    error = fmt::format("not an offset: {} (decimal, 0x hex, K/M/G/T, +N, -N or N%)", printable(input));
    return std::nullopt;
  }
  if (sign == 0) {
    target = *number;
  } else if (sign > 0) {
    target = *number > size - cursor ? size + 1 : cursor + *number;
  } else {
    target = *number > cursor ? -1 : cursor - *number;
  }
  if (target < 0 || target > size) {
    error = fmt::format("offset {} lies outside the data (0 to {})", sign != 0 ? printable(input) : text, size);
    return std::nullopt;
  }
  return target;
}

// ---- life --------------------------------------------------------------------

Editor::Editor(std::string path, EditorOptions options, int width, int height)
    : path_(std::move(path)), options_(std::move(options)) {
  session_ = vanto_edit_create_session(path_.c_str(), nullptr, nullptr, 0);
  if (session_ == nullptr) throw std::runtime_error(path_ + ": the library could not open it");
  marks_.reset(size());
  viewport_ = vanto_edit_create_viewport(session_, 0, 1, 0, nullptr, nullptr, 0);
  if (viewport_ == nullptr) {
    vanto_edit_destroy_session(session_);
    throw std::runtime_error("no viewport");
  }
  if (options_.read_only) say("read-only" + (options_.read_only_reason.empty() ? "" : ": " + options_.read_only_reason));
  resize(width, height);
}

Editor::~Editor() { vanto_edit_destroy_session(session_); }

void Editor::resize(int width, int height) {
  width_ = std::max(width, 1);
  height_ = std::max(height, 1);
  layout_rows();
  scroll_to_cursor();
}

void Editor::layout_rows() {
  layout_ = layout_for(width_, size());
  rows_ = std::max(1, height_ - 2 - (inspector_ ? kInspectorRows : 0));
}

void Editor::keys(std::string_view text) {
  for (const char c : text) handle_key(static_cast<unsigned char>(c));
}

void Editor::say(std::string text, bool error) {
  message_ = std::move(text);
  message_error_ = error;
}

void Editor::log_line(std::string_view text) {
  // After the editor's own message, which the line explains.
  const std::string line = "library: " + without_controls(text);
  say(message_.empty() ? line : message_ + " | " + line, true);
}

void Editor::check_disk() {
  const int32_t changes = vanto_session_get_backing_file_changes(session_);
  if (changes <= 0 || changes == disk_warned_) return;
  disk_warned_ = changes;
  std::vector<std::string> what;
  if (changes & FILE_CHANGE_REMOVED) what.emplace_back("removed");
  if (changes & FILE_CHANGE_REPLACED) what.emplace_back("replaced");
  if (changes & FILE_CHANGE_SIZE) what.emplace_back("size");
  if (changes & FILE_CHANGE_MTIME) what.emplace_back("time");
  say(fmt::format("warning: {} changed on disk since it was opened or saved ({})", shown_name(path_),
                  fmt::join(what, ", ")),
      true);
}

std::optional<std::pair<int64_t, int64_t>> Editor::selection() const {
  if (!anchor_) return std::nullopt;
  const int64_t begin = std::min(*anchor_, cursor_);
  const int64_t end = std::min(std::max(*anchor_, cursor_) + 1, size());
  if (end <= begin) return std::nullopt;
  return std::make_pair(begin, end - begin);
}

// ---- keys --------------------------------------------------------------------------

void Editor::handle_key(int key) {
  if (help_) {
    help_ = false;
    return;
  }
  if (prompt_ != Prompt::None) {
    prompt_key(key);
    return;
  }
  if (!typing_key(key)) finish_typing();
  message_.clear();
  normal_key(key);
}

bool Editor::typing_key(int key) const {
  if (key >= 0x80 && key < 0x100) return text_pane_;  // the bytes of a UTF-8 character
  if (key >= key::Up || key < 0x20 || key >= 0x7f) return false;
  // The hex pane types hex digits; `b` moves back a group there (the digit is
  // typed as `B`).  The text pane types every printable character.
  return text_pane_ || is_hex_key(key);
}

void Editor::normal_key(int key) {
  const int pending = pending_;
  pending_ = 0;
  if (pending == 'g' && key == 'g') return set_cursor(0);
  if (pending == 'Z' && key == 'Z') {
    if (modified()) return save(path_, false, true);
    quit_ = true;
    return;
  }

  // The text pane takes printable characters as bytes; commands there go
  // through the keys below 0x20, the function keys, or Esc to the hex pane.
  if (text_pane_ && key >= 0x20 && key < 0x100 && key != 0x7f) return typed(key);
  if (!text_pane_ && is_hex_key(key)) return typed(key);

  switch (key) {
    case key::Left:
    case 'h': return move(-1);
    case key::Right:
    case 'l': return move(1);
    case key::Up:
    case 'k': return move(-layout_.bytes_per_row);
    case key::Down:
    case 'j': return move(layout_.bytes_per_row);
    case key::ShiftLeft: return move(-1, true);
    case key::ShiftRight: return move(1, true);
    case key::ShiftUp: return move(-layout_.bytes_per_row, true);
    case key::ShiftDown: return move(layout_.bytes_per_row, true);
    case key::PageUp:
    case key::ctrl('B'): {
      const int64_t page = page_bytes();
      top_ = std::max<int64_t>(0, top_ - page);
      return move(-page, anchor_.has_value());
    }
    case key::PageDown:
    case key::ctrl('F'): {
      const int64_t page = page_bytes();
      const int64_t last_top = size() / layout_.bytes_per_row * layout_.bytes_per_row;
      top_ = std::min(top_ + page, last_top);
      return move(page, anchor_.has_value());
    }
    case key::Home:
    case '^': return set_cursor(cursor_ - cursor_ % layout_.bytes_per_row, anchor_.has_value());
    case key::End:
    case '$': {
      const int64_t row_end = cursor_ - cursor_ % layout_.bytes_per_row + layout_.bytes_per_row - 1;
      return set_cursor(std::min(row_end, std::max<int64_t>(size() - 1, 0)), anchor_.has_value());
    }
    case 'w': return set_cursor(std::min(size(), (cursor_ / 8 + 1) * 8), anchor_.has_value());
    case 'b': return set_cursor(cursor_ % 8 != 0 ? cursor_ - cursor_ % 8 : std::max<int64_t>(0, cursor_ - 8),
                                anchor_.has_value());
    case 'g':
    case 'Z': pending_ = key; return;
    case 'G': return set_cursor(std::max<int64_t>(size() - 1, 0), anchor_.has_value());
    case key::Tab:
      text_pane_ = !text_pane_;
      high_nibble_done_ = false;
      return;
    case 'i':
    case key::Insert:
      insert_ = !insert_;
      high_nibble_done_ = false;
      return say(insert_ ? "insert mode" : "overwrite mode");
    case 'x':
    case key::Delete: return selection() ? delete_selection() : delete_at_cursor();
    case key::Backspace:
    case key::ctrl('H'): return selection() ? delete_selection() : backspace();
    case 'v':
      if (anchor_) {
        anchor_.reset();
      } else {
        anchor_ = cursor_;
      }
      return;
    case key::Esc:
      anchor_.reset();
      match_.reset();
      high_nibble_done_ = false;
      if (text_pane_) text_pane_ = false;
      return;
    case 'y': return copy_selection();
    case 'p': return paste(false);
    case 'P': return paste(true);
    case 'u': return undo();
    case key::ctrl('R'): return redo();
    case ':': return open_prompt(Prompt::Command, ":");
    case key::ctrl('G'): return open_prompt(Prompt::Goto, "goto: ");
    case '/': return open_prompt(Prompt::SearchForward, "/");
    case '?': return open_prompt(Prompt::SearchBackward, "?");
    case 'n': return search(last_backward_, true);
    case 'N': return search(!last_backward_, true);
    case key::ctrl('S'):
    case key::F2: return save(path_, false, false);
    case key::F1: help_ = true; return;
    case 'I':
    case key::ctrl('T'):
      inspector_ = !inspector_;
      layout_rows();
      scroll_to_cursor();
      return;
    case 'q':
    case key::ctrl('C'): return say("type :q to quit, :q! to quit without saving, :wq or ZZ to save and quit");
    default: return;
  }
}

void Editor::typed(int key) {
  if (refuse_if_read_only()) return;
  if (!typing_) {
    anchor_.reset();
    begin_action();
    typing_ = true;
  }
  const int64_t size = this->size();
  if (text_pane_) {
    const char byte = static_cast<char>(key);
    const bool ok = insert_ || cursor_ >= size ? do_insert(cursor_, &byte, 1) : do_overwrite(cursor_, &byte, 1);
    if (ok) set_cursor(cursor_ + 1);
    return;
  }
  const int digit = hex_digit_value(key);
  if (!high_nibble_done_) {
    // The first digit: the byte's high half, the low half kept (overwrite)
    // or zero (a new byte).
    unsigned char byte = 0;
    bool ok = false;
    if (insert_ || cursor_ >= size) {
      byte = static_cast<unsigned char>(digit << 4);
      ok = do_insert(cursor_, reinterpret_cast<const char *>(&byte), 1);
    } else {
      std::string old = vanto_session_get_segment_string(session_, cursor_, 1);
      byte = static_cast<unsigned char>((digit << 4) | (old.empty() ? 0 : static_cast<unsigned char>(old[0]) & 0x0f));
      ok = do_overwrite(cursor_, reinterpret_cast<const char *>(&byte), 1);
    }
    if (ok) high_nibble_done_ = true;
    return;
  }
  std::string old = vanto_session_get_segment_string(session_, cursor_, 1);
  const auto byte =
      static_cast<unsigned char>((old.empty() ? 0 : static_cast<unsigned char>(old[0]) & 0xf0) | digit);
  if (do_overwrite(cursor_, reinterpret_cast<const char *>(&byte), 1)) {
    high_nibble_done_ = false;
    set_cursor(cursor_ + 1);
  }
}

void Editor::prompt_key(int key) {
  switch (key) {
    case key::Esc:
    case key::ctrl('C'):
      prompt_ = Prompt::None;
      on_yes_ = nullptr;
      return say("");
    case key::Backspace:
    case key::ctrl('H'):
      if (prompt_text_.empty()) {
        prompt_ = Prompt::None;
      } else {
        prompt_text_.pop_back();
      }
      return;
    case key::Tab:
      if (prompt_ == Prompt::SearchForward || prompt_ == Prompt::SearchBackward) prompt_hex_ = !prompt_hex_;
      return;
    case key::ctrl('T'):
      if (prompt_ == Prompt::SearchForward || prompt_ == Prompt::SearchBackward) ignore_case_ = !ignore_case_;
      return;
    case key::Enter:
    case '\r': {
      const Prompt prompt = prompt_;
      prompt_ = Prompt::None;
      const std::string text = prompt_text_;
      switch (prompt) {
        case Prompt::Command: return run_command(text);
        case Prompt::Goto: return run_goto(text);
        case Prompt::SearchForward:
        case Prompt::SearchBackward: {
          std::string error;
          if (text.empty()) {
            if (!have_pattern_) return say("no pattern", true);
          } else if (prompt_hex_) {
            std::optional<Pattern> parsed = hex_pattern(text, error);
            if (!parsed) return say("pattern: " + error, true);
            pattern_ = *parsed;
          } else {
            std::optional<Bytes> bytes = decode_escapes(text, error);
            if (!bytes) return say("pattern: " + error, true);
            pattern_ = Pattern{{*bytes, {}}, false};
          }
          have_pattern_ = true;
          return search(prompt == Prompt::SearchBackward, false);
        }
        case Prompt::Confirm: {
          return;
        }
        case Prompt::None: return;
      }
      return;
    }
    default: break;
  }
  if (prompt_ == Prompt::Confirm) {
    std::function<void()> on_yes = std::move(on_yes_);
    on_yes_ = nullptr;
    prompt_ = Prompt::None;
    if (key == 'y' || key == 'Y') {
      say("");
      on_yes();
    } else {
      say("not done");
    }
    return;
  }
  if (prompt_ == Prompt::Command && key == '?' && prompt_text_.empty()) {
    prompt_ = Prompt::None;
    help_ = true;
    return;
  }
  if (key >= 0x20 && key < 0x7f && prompt_text_.size() < 4096) prompt_text_ += static_cast<char>(key);
}

void Editor::open_prompt(Prompt prompt, std::string label) {
  prompt_ = prompt;
  prompt_label_ = std::move(label);
  prompt_text_.clear();
  prompt_hex_ = !text_pane_;
}

void Editor::ask(std::string question, std::function<void()> on_yes) {
  prompt_ = Prompt::Confirm;
  prompt_label_ = std::move(question) + " (y/n) ";
  prompt_text_.clear();
  on_yes_ = std::move(on_yes);
}

// ---- moving -----------------------------------------------------------------------

void Editor::move(int64_t delta, bool extend) {
  const int64_t target = delta < 0 ? (cursor_ < -delta ? 0 : cursor_ + delta)
                                   : (delta > size() - cursor_ ? size() : cursor_ + delta);
  set_cursor(target, extend);
}

void Editor::set_cursor(int64_t offset, bool extend) {
  // A selection (from `v` or Shift) goes on with plain moves until Esc, an
  // edit or a copy ends it.
  if (extend && !anchor_) anchor_ = cursor_;
  cursor_ = clamp_offset(offset, size());
  high_nibble_done_ = false;
  scroll_to_cursor();
}

void Editor::move_to(int64_t offset) { set_cursor(offset); }

void Editor::scroll_to_cursor() {
  const int64_t bpr = layout_.bytes_per_row;
  const int64_t row_start = cursor_ - cursor_ % bpr;
  top_ -= top_ % bpr;
  if (cursor_ < top_) top_ = row_start;
  if (cursor_ >= top_ + page_bytes()) top_ = row_start - (rows_ - 1) * bpr;
  top_ = std::max<int64_t>(top_, 0);
}

// ---- editing -----------------------------------------------------------------------

bool Editor::refuse_if_read_only() {
  if (!options_.read_only) return false;
  say("read-only: no edits" + (options_.read_only_reason.empty() ? "" : " (" + options_.read_only_reason + ")"), true);
  return true;
}

void Editor::begin_action() {
  if (in_action_) return;
  vanto_session_begin_transaction(session_);
  in_action_ = true;
  action_.clear();
}

void Editor::end_action() {
  if (!in_action_) return;
  vanto_session_end_transaction(session_);
  in_action_ = false;
  typing_ = false;
  if (!action_.empty()) {
    undo_.push_back(std::move(action_));
    redo_.clear();
  }
  action_.clear();
}

void Editor::finish_typing() {
  if (typing_) end_action();
  high_nibble_done_ = false;
}

bool Editor::do_insert(int64_t offset, const char *bytes, int64_t length) {
  if (length <= 0) return true;
  if (vanto_edit_insert(session_, offset, bytes, length) <= 0) {
    say("the insert was refused", true);
    return false;
  }
  action_.push_back(marks_.inserted(offset, length));
  return true;
}

bool Editor::do_overwrite(int64_t offset, const char *bytes, int64_t length) {
  if (length <= 0) return true;
  if (vanto_edit_overwrite(session_, offset, bytes, length) <= 0) {
    say("the overwrite was refused", true);
    return false;
  }
  action_.push_back(marks_.overwritten(offset, length));
  return true;
}

bool Editor::do_delete(int64_t offset, int64_t length) {
  if (length <= 0) return true;
  if (vanto_edit_delete(session_, offset, length) <= 0) {
    say("the delete was refused", true);
    return false;
  }
  action_.push_back(marks_.erased(offset, length));
  return true;
}

bool Editor::overwrite_action(int64_t offset, std::string_view bytes) {
  begin_action();
  const bool ok = do_overwrite(offset, bytes.data(), static_cast<int64_t>(bytes.size()));
  end_action();
  return ok;
}

bool Editor::insert_action(int64_t offset, std::string_view bytes) {
  begin_action();
  const bool ok = do_insert(offset, bytes.data(), static_cast<int64_t>(bytes.size()));
  end_action();
  return ok;
}

bool Editor::delete_action(int64_t offset, int64_t length) {
  begin_action();
  const bool ok = do_delete(offset, length);
  end_action();
  return ok;
}

void Editor::delete_at_cursor() {
  if (refuse_if_read_only()) return;
  if (cursor_ >= size()) return say("nothing to delete at the end");
  delete_action(cursor_, 1);
  set_cursor(cursor_);
}

void Editor::backspace() {
  if (refuse_if_read_only()) return;
  if (cursor_ == 0) return;
  if (delete_action(cursor_ - 1, 1)) set_cursor(cursor_ - 1);
}

void Editor::delete_selection() {
  if (refuse_if_read_only()) return;
  const auto range = selection();
  if (!range) return;
  if (delete_action(range->first, range->second)) {
    anchor_.reset();
    set_cursor(range->first);
    say(fmt::format("deleted {} bytes", range->second));
  }
}

void Editor::copy_selection() {
  const auto range = selection();
  if (!range) return say("no selection: v or Shift+arrows select", true);
  std::string error;
  const bool ok = clipboard_.copy_from(session_, range->first, range->second,
                                       [&](int64_t done) { return progress("copying", done, range->second); }, error);
  progress_text_.clear();
  if (!ok) return say("copy: " + error, true);
  anchor_.reset();
  say(fmt::format("copied {} bytes{}", range->second, clipboard_.in_file() ? " (in a scratch file)" : ""));
}

void Editor::paste(bool overwrite) {
  if (refuse_if_read_only()) return;
  const int64_t length = clipboard_.size();
  if (length == 0) return say("the clipboard is empty", true);
  if (length > kPasteLimit) {
    return say(fmt::format("a paste of {} is refused: the session would hold all of it in memory",
                           human_size(static_cast<double>(length))),
               true);
  }
  begin_action();
  std::string chunk;
  int64_t done = 0;
  bool ok = true;
  while (ok && done < length) {
    if (!clipboard_.read(done, Clipboard::kChunk, chunk) || chunk.empty()) {
      say("paste: the clipboard could not be read", true);
      ok = false;
      break;
    }
    const int64_t at = cursor_ + done;
    const auto n = static_cast<int64_t>(chunk.size());
    if (overwrite) {
      const int64_t over = std::clamp<int64_t>(size() - at, 0, n);
      ok = do_overwrite(at, chunk.data(), over) && do_insert(at + over, chunk.data() + over, n - over);
    } else {
      ok = do_insert(at, chunk.data(), n);
    }
    done += n;
  }
  end_action();
  if (ok) {
    anchor_.reset();
    set_cursor(cursor_ + length);
    say(fmt::format("{} {} bytes", overwrite ? "pasted over" : "pasted", length));
  }
}

void Editor::undo() {
  if (undo_.empty()) return say("nothing to undo");
  // The result is a negated serial, so -1 is also the undo of change 1:
  // success shows in the undone count.
  const int64_t undone = vanto_session_get_num_undone_changes(session_);
  vanto_edit_undo_last_change(session_);
  if (vanto_session_get_num_undone_changes(session_) <= undone) return say("undo failed", true);
  std::vector<MarkOp> steps = std::move(undo_.back());
  undo_.pop_back();
  std::vector<MarkOp> again;
  for (auto it = steps.rbegin(); it != steps.rend(); ++it) again.push_back(marks_.apply(*it));
  std::reverse(again.begin(), again.end());
  const int64_t at = steps.front().offset;
  redo_.push_back(std::move(again));
  anchor_.reset();
  set_cursor(at);
  say(fmt::format("undone; {} more to undo", undo_.size()));
}

void Editor::redo() {
  if (redo_.empty()) return say("nothing to redo");
  const int64_t changes = vanto_session_get_num_changes(session_);
  vanto_edit_redo_last_undo(session_);
  if (vanto_session_get_num_changes(session_) <= changes) return say("redo failed", true);
  std::vector<MarkOp> steps = std::move(redo_.back());
  redo_.pop_back();
  std::vector<MarkOp> inverse;
  for (const MarkOp &step : steps) inverse.push_back(marks_.apply(step));
  const int64_t at = steps.front().offset;
  undo_.push_back(std::move(inverse));
  anchor_.reset();
  set_cursor(at);
  say(fmt::format("redone; {} more to redo", redo_.size()));
}

// ---- commands -------------------------------------------------------------------

void Editor::run_goto(const std::string &text) {
  std::string error;
  const std::optional<int64_t> target = parse_goto(text, cursor_, size(), error);
  if (!target) return say(error, true);
  set_cursor(*target, anchor_.has_value());
}

void Editor::run_command(const std::string &input) {
  const std::string text = trim(input);
  const std::string::size_type space = text.find(' ');
  const std::string word = text.substr(0, space);
  const std::string argument = space == std::string::npos ? "" : trim(std::string_view(text).substr(space + 1));
  if (text.empty()) return;
  if (word == "q") {
    if (modified()) return say("unsaved changes: :w saves, :q! quits without saving, :wq does both", true);
    quit_ = true;
    return;
  }
  if (word == "q!") {
    quit_ = true;
    return;
  }
  if (word == "w" || word == "w!") return save(argument.empty() ? path_ : argument, word == "w!", false);
  if (word == "wq" || word == "x") {
    if (word == "x" && !modified()) {
      quit_ = true;
      return;
    }
    return save(argument.empty() ? path_ : argument, false, true);
  }
  if (word == "r") {
    // :r PATH inserts a file at the cursor.  The session takes its bytes
    // from the file when they are read, so a file of any size costs no
    // memory; the insert is one action, undone by one u.
    if (argument.empty()) return say(":r needs a file: :r PATH", true);
    if (refuse_if_read_only()) return;
    struct stat info {};
    if (::stat(argument.c_str(), &info) != 0) return say(shown_name(argument) + ": " + std::strerror(errno), true);
    if (S_ISDIR(info.st_mode)) return say(shown_name(argument) + ": " + std::strerror(EISDIR), true);
    if (!S_ISREG(info.st_mode)) return say(shown_name(argument) + ": not a regular file", true);
    if (info.st_size == 0) return say(shown_name(argument) + ": the file is empty, nothing inserted");
    finish_typing();
    begin_action();
    const int64_t at = cursor_;
    const int64_t serial = vanto_edit_insert_file(session_, at, argument.c_str(), 0, -1);
    const vanto_change_t *change = serial > 0 ? vanto_session_get_change(session_, serial) : nullptr;
    const int64_t length = vanto_change_get_length(change);
    if (change != nullptr) action_.push_back(marks_.inserted(at, length));
    end_action();
    if (change == nullptr) return say(shown_name(argument) + ": cannot be read", true);
    anchor_.reset();
    set_cursor(at + length);
    return say(fmt::format("inserted {} bytes of {}", length, shown_name(argument)));
  }
  if (text == "set ic" || text == "set ignorecase") {
    ignore_case_ = true;
    return say("searches ignore case");
  }
  if (text == "set noic" || text == "set noignorecase") {
    ignore_case_ = false;
    return say("searches match case");
  }
  if (word == "help" || word == "h") {
    help_ = true;
    return;
  }
  if ((text[0] >= '0' && text[0] <= '9') || text[0] == '+' || text[0] == '-') return run_goto(text);
  say("unknown command: " + printable(text) + " (F1 lists the keys)", true);
}

bool Editor::progress(const char *what, int64_t done, int64_t total) {
  using clock = std::chrono::steady_clock;
  static thread_local clock::time_point last;
  const auto now = clock::now();
  const bool cancel = cancel_ && cancel_();
  if (redraw_ && now - last > std::chrono::milliseconds(100)) {
    last = now;
    const int percent = total > 0 ? static_cast<int>(std::min<int64_t>(100, done * 100 / total)) : 100;
    progress_text_ = fmt::format("{}... {}%  (Esc cancels)", what, percent);
    redraw_();
  }
  return cancel;
}

void Editor::search(bool backward, bool repeat) {
  if (!have_pattern_) return say("no pattern: / searches forward, ? backward", true);
  last_backward_ = repeat ? last_backward_ : backward;
  pattern_.ignore_case = ignore_case_;
  const int64_t size = this->size();
  int64_t found = -1;
  bool wrapped = false;
  const auto hook = [this](int64_t done, int64_t total) { return progress("searching", done, total); };
  FindResult result = FindResult::NotFound;
  if (!backward) {
    result = find_next(session_, pattern_, cursor_ + 1, size, found, hook);
    if (result == FindResult::NotFound) {
      wrapped = true;
      result = find_next(session_, pattern_, 0, std::min(size, cursor_ + static_cast<int64_t>(pattern_.bytes.size())),
                         found, hook);
    }
  } else {
    result = find_prev(session_, pattern_, cursor_ - 1, 0, found, hook);
    if (result == FindResult::NotFound) {
      wrapped = true;
      result = find_prev(session_, pattern_, size, cursor_, found, hook);
    }
  }
  progress_text_.clear();
  switch (result) {
    case FindResult::Cancelled: return say("search cancelled", true);
    case FindResult::Failed:
      return say("search failed: the library refused it (a pattern of 512 KiB or more, or no memory)", true);
    case FindResult::NotFound: match_.reset(); return say("not found: " + printable(pattern_.bytes), true);
    case FindResult::Found: break;
  }
  match_ = std::make_pair(found, static_cast<int64_t>(pattern_.bytes.size()));
  set_cursor(found);
  if (wrapped) {
    say(backward ? "search wrapped to the end" : "search wrapped to the start");
  } else {
    say(fmt::format("match at 0x{:x}", found));
  }
}

void Editor::save(const std::string &path, bool force, bool quit_after) {
  finish_typing();
  if (options_.read_only && path == path_) return say("read-only: :w PATH saves a copy elsewhere", true);
  if (path != path_) {
    struct stat info {};
    if (!force && ::stat(path.c_str(), &info) == 0) {
      return ask(fmt::format("{} exists: replace it?", shown_name(path)),
                 [this, path, quit_after] { save_now(path, quit_after, false); });
    }
    return save_now(path, quit_after, false);
  }
  const int32_t changes = vanto_session_get_backing_file_changes(session_);
  if (changes != 0 && !force) {
    return ask(fmt::format("{} changed on disk since it was opened or saved: save over it?", shown_name(path_)),
               [this, quit_after] { save_now(path_, quit_after, true); });
  }
  save_now(path_, quit_after, force);
}

void Editor::save_now(const std::string &path, bool quit_after, bool confirmed) {
  struct Bridge {
    Editor *editor;
    static int hook(const vanto_session_t *, int64_t done, int64_t total, void *user) {
      return static_cast<Bridge *>(user)->editor->progress("saving", done, total) ? 1 : 0;
    }
  } bridge{this};
  const bool own = path == path_;
  vanto_session_set_progress_cbk(session_, &Bridge::hook, &bridge);
  char saved[260] = {0};
  const int result = vanto_edit_save(session_, path.c_str(),
                                     SAVE_FLAG_OVERWRITE | (confirmed ? 0 : SAVE_FLAG_REFUSE_IF_CHANGED), saved);
  vanto_session_set_progress_cbk(session_, nullptr, nullptr);
  progress_text_.clear();
  if (result == SAVE_ERROR_CANCELLED) return say("save cancelled: nothing was written", true);
  if (result == SAVE_ERROR_FILE_CHANGED) {
    // Changed in place, after the check or during the save: the data read
    // from it may mix old and new bytes.
    return ask(fmt::format("{} changed on disk: nothing was written; save anyway?", shown_name(path_)),
               [this, path, quit_after] { save_now(path, quit_after, true); });
  }
  if (result == SAVE_ERROR_REBASE) {
    return say(fmt::format("saved to {}, but it could not be reopened: the editor goes on with the data and history "
                           "it had", shown_name(path)),
               true);
  }
  if (result != 0) {
    return say(fmt::format("save to {} failed ({}): the file is as it was", shown_name(path), result), true);
  }
  if (own) {
    // The session now reads the saved file, with no history, and watches it
    // for changes from now on.
    marks_.reset(size());
    undo_.clear();
    redo_.clear();
    disk_warned_ = 0;
  }
  say(fmt::format("saved {} bytes to {}", size(), shown_name(path)));
  if (quit_after) quit_ = true;
}

// ---- the screen ------------------------------------------------------------------

void Editor::refresh_viewport() {
  const int64_t capacity = std::clamp<int64_t>(page_bytes(), 1, VANTO_VIEWPORT_CAPACITY_LIMIT);
  if (vanto_viewport_get_offset(viewport_) != top_ || vanto_viewport_get_capacity(viewport_) != capacity) {
    vanto_viewport_modify(viewport_, top_, capacity, 0);
  }
}

std::string Editor::status_line() const {
  const int64_t size = this->size();
  const double percent = size > 0 ? 100.0 * static_cast<double>(cursor_) / static_cast<double>(size) : 0.0;
  // The cursor and the modes first: on a narrow terminal the name is cut.
  std::string line = fmt::format(" 0x{:x} ({}) {:.1f}%  {} {}  {}{} changes", cursor_, cursor_, percent,
                                 insert_ ? "INS" : "OVR", text_pane_ ? "text" : "hex", modified() ? "modified  " : "",
                                 vanto_session_get_num_changes(session_));
  if (const auto range = selection()) line += fmt::format("  sel {}", range->second);
  if (ignore_case_) line += "  ic";
  if (options_.read_only) line += "  read-only";
  line += fmt::format("  {} bytes  {}", size, shown_name(path_));
  if (!progress_text_.empty()) line = " " + progress_text_ + "  |" + line;
  return line;
}

const Screen &Editor::screen() {
  build_screen();
  return screen_;
}

void Editor::build_screen() {
  if (layout_for(width_, size()).offset_digits != layout_.offset_digits) layout_rows();
  Screen &s = screen_;
  s.width = width_;
  s.height = height_;
  s.data_rows = std::min(rows_, height_);
  s.layout = layout_;
  s.cells.assign(static_cast<std::size_t>(s.data_rows) * static_cast<std::size_t>(width_), Cell{});
  s.panel.clear();
  s.help.clear();
  if (help_) {
    s.help = help_lines();
    s.status = status_line();
    s.message = "any key closes the help";
    return;
  }

  refresh_viewport();
  const unsigned char *data = vanto_viewport_get_data(viewport_);
  const int64_t length = data != nullptr ? vanto_viewport_get_length(viewport_) : 0;
  const int64_t size = this->size();
  const int bpr = layout_.bytes_per_row;

  // The changed ranges in the window, as a flag per byte.
  std::vector<uint8_t> changed(static_cast<std::size_t>(std::max<int64_t>(length, 0)), 0);
  {
    int64_t at = 0;
    for (const Run &run : marks_.runs(top_, length)) {
      if (run.changed) std::fill_n(changed.begin() + at, run.length, 1);
      at += run.length;
    }
  }
  const auto range = selection();
  auto put = [&](int row, int col, char ch, Role role, uint8_t attrs) {
    if (col < 0 || col >= width_) return;
    Cell &cell = s.cells[static_cast<std::size_t>(row * width_ + col)];
    cell.ch = ch;
    cell.role = role;
    cell.attrs = attrs;
  };
  static constexpr char kHex[] = "0123456789abcdef";
  for (int row = 0; row < s.data_rows; ++row) {
    const int64_t row_offset = top_ + int64_t{row} * bpr;
    if (row_offset > size || (row_offset == size && cursor_ != size)) break;
    const std::string offset = fmt::format("{:0{}x}", row_offset, layout_.offset_digits);
    for (int i = 0; i < static_cast<int>(offset.size()); ++i) put(row, i, offset[static_cast<std::size_t>(i)], Role::Offset, 0);
    for (int i = 0; i < bpr; ++i) {
      const int64_t at = row_offset + i;
      uint8_t attrs = 0;
      if (at == cursor_) attrs |= text_pane_ ? 0 : kCursor;
      if (range && at >= range->first && at < range->first + range->second) attrs |= kSelected;
      if (match_ && at >= match_->first && at < match_->first + match_->second) attrs |= kMatch;
      const int64_t index = at - top_;
      if (index >= length) {
        // The position after the last byte: where typing appends.
        if (at == cursor_) {
          put(row, layout_.hex_column(i), ' ', Role::Blank, text_pane_ ? kCursorShadow : kCursor);
          put(row, layout_.hex_column(i) + 1, ' ', Role::Blank, text_pane_ ? kCursorShadow : kCursor);
          put(row, layout_.text_column(i), ' ', Role::Blank, text_pane_ ? kCursor : kCursorShadow);
        }
        continue;
      }
      const unsigned char byte = data[index];
      const Role role = byte_role(byte);
      if (changed[static_cast<std::size_t>(index)]) attrs |= kChanged;
      uint8_t hex_attrs = attrs;
      uint8_t text_attrs = static_cast<uint8_t>(attrs & ~kCursor);
      if (at == cursor_) {
        if (text_pane_) {
          hex_attrs |= kCursorShadow;
          text_attrs |= kCursor;
        } else {
          text_attrs |= kCursorShadow;
        }
      }
      put(row, layout_.hex_column(i), kHex[byte >> 4], role, hex_attrs);
      put(row, layout_.hex_column(i) + 1, kHex[byte & 15], role, hex_attrs);
      put(row, layout_.text_column(i), byte >= 0x20 && byte < 0x7f ? static_cast<char>(byte) : '.', role, text_attrs);
    }
  }

  // The terminal's cursor: on the cursor's cell in the active pane (the
  // second digit once the first was typed).
  const int64_t cursor_index = cursor_ - top_;
  s.cursor_row = static_cast<int>(cursor_index / bpr);
  const int cursor_byte = static_cast<int>(cursor_index % bpr);
  s.cursor_col = text_pane_ ? layout_.text_column(cursor_byte)
                            : layout_.hex_column(cursor_byte) + (high_nibble_done_ ? 1 : 0);

  if (inspector_) {
    std::string bytes = vanto_session_get_segment_string(session_, cursor_, 8);
    s.panel = inspector_lines(reinterpret_cast<const unsigned char *>(bytes.data()), static_cast<int>(bytes.size()));
  }
  s.status = status_line();
  s.message_is_error = false;
  if (prompt_ != Prompt::None) {
    std::string label = prompt_label_;
    if (prompt_ == Prompt::SearchForward || prompt_ == Prompt::SearchBackward) {
      label = fmt::format("{} ({}{}) ", prompt_ == Prompt::SearchForward ? "/" : "?", prompt_hex_ ? "hex" : "text",
                          ignore_case_ ? ", ignore case" : "");
    }
    s.message = label + prompt_text_;
    s.cursor_row = height_ - 1;
    s.cursor_col = static_cast<int>(std::min<std::size_t>(s.message.size(), static_cast<std::size_t>(width_ - 1)));
  } else {
    s.message = message_;
    s.message_is_error = message_error_;
  }
}

const std::vector<std::string> &help_lines() {
  static const std::vector<std::string> lines = {
      "vanto-edit: keys",
      "",
      " Moving     arrows h j k l   PgUp PgDn (Ctrl-B Ctrl-F)   Home End (^ $)   w b: 8-byte groups",
      "            gg start   G end   : or Ctrl-G goto: 1234 0x4d2 4K +N -N 50%   Tab: hex/text pane",
      " Editing    hex pane: digits 0-9 a-f (b moves: type B), two a byte; text pane: any character",
      "            overwrite; i or Insert: insert mode   Esc: back to the hex pane, where letters are keys",
      "            x/Delete deletes at the cursor, Backspace before it   u undo   Ctrl-R redo",
      " Selecting  v starts/ends, Shift+arrows extend   y copies   p inserts   P overwrites   x deletes",
      " Finding    / forward   ? backward   (Tab: text/hex, Ctrl-T: ignore case; hex: ?? 4?)   n N again",
      " Inspector  I or Ctrl-T shows the values at the cursor",
      " Saving     :w  Ctrl-S  F2 save   :w PATH save as   :wq ZZ save and quit   :q quit   :q! discard",
      "            Ctrl-Z suspends   Esc/Ctrl-C cancels a prompt or a long search or save",
      " Other      :r PATH inserts a file at the cursor   :set ic / :set noic   F1 or :? this help",
      "",
      "Press any key.",
  };
  return lines;
}

}  // namespace vtool::editor
