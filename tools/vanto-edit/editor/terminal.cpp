// The editor on a terminal, through ncurses: draws the editor's screen model,
// reads keys, and always gives the terminal back as it found it (at the end,
// on SIGTERM, SIGHUP or SIGINT, on a fatal signal, and around Ctrl-Z).
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <curses.h>
#include <term.h>

#include <fmt/format.h>

#include "../commands.h"
#include "../text.h"
#include "editor.h"
#include "log_route.h"

namespace vtool {

namespace {

using namespace vtool::editor;

volatile std::sig_atomic_t g_stop = 0;
struct termios g_saved_termios;
bool g_have_termios = false;
// What puts the terminal back, ready before a fatal signal can need it.
char g_restore[256];
std::size_t g_restore_length = 0;

void on_stop_signal(int) { g_stop = 1; }

void on_fatal_signal(int signal) {
  if (g_have_termios) ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_termios);
  if (g_restore_length > 0) {
    [[maybe_unused]] ssize_t ignored = ::write(STDOUT_FILENO, g_restore, g_restore_length);
  }
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void add_capability(const char *name) {
  char *value = tigetstr(const_cast<char *>(name));
  if (value == nullptr || value == reinterpret_cast<char *>(-1)) return;
  const std::size_t length = std::strlen(value);
  if (g_restore_length + length >= sizeof g_restore) return;
  std::memcpy(g_restore + g_restore_length, value, length);
  g_restore_length += length;
}

enum Pair : short { kOffsetPair = 1, kNullPair, kPrintablePair, kWhitespacePair, kControlPair, kNonAsciiPair,
                    kErrorPair, kMatchPair, kSelectionPair };

class Terminal {
 public:
  Terminal() {
    g_have_termios = ::tcgetattr(STDIN_FILENO, &g_saved_termios) == 0;
    screen_ = newterm(nullptr, stdout, stdin);
    if (screen_ == nullptr) throw Failure("open: the terminal could not be set up (is TERM right?)");
    set_term(screen_);
    g_restore_length = 0;
    add_capability("sgr0");
    add_capability("cnorm");
    add_capability("rmcup");
    raw();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    set_escdelay(25);
    const char *no_color = std::getenv("NO_COLOR");
    colour_ = has_colors() && (no_color == nullptr || *no_color == '\0');
    if (colour_) {
      start_color();
      use_default_colors();
      init_pair(kOffsetPair, COLOR_CYAN, -1);
      init_pair(kNullPair, COLOR_BLUE, -1);
      init_pair(kPrintablePair, -1, -1);
      init_pair(kWhitespacePair, COLOR_GREEN, -1);
      init_pair(kControlPair, COLOR_RED, -1);
      init_pair(kNonAsciiPair, COLOR_YELLOW, -1);
      init_pair(kErrorPair, COLOR_RED, -1);
      init_pair(kMatchPair, COLOR_BLACK, COLOR_YELLOW);
      init_pair(kSelectionPair, COLOR_BLACK, COLOR_CYAN);
    }
  }
  ~Terminal() {
    endwin();
    delscreen(screen_);
  }
  Terminal(const Terminal &) = delete;
  Terminal &operator=(const Terminal &) = delete;

  void draw(const Screen &s) {
    erase();
    if (!s.help.empty()) {
      for (int row = 0; row < static_cast<int>(s.help.size()) && row < LINES - 2; ++row) {
        mvaddnstr(row, 0, s.help[static_cast<std::size_t>(row)].c_str(), COLS);
      }
    } else {
      for (int row = 0; row < s.data_rows && row < LINES; ++row) {
        for (int col = 0; col < s.width && col < COLS; ++col) {
          const Cell &cell = s.at(row, col);
          if (cell.role == Role::Blank && cell.attrs == 0) continue;
          mvaddch(row, col, static_cast<chtype>(static_cast<unsigned char>(cell.ch)) | attributes(cell));
        }
      }
      for (int i = 0; i < static_cast<int>(s.panel.size()); ++i) {
        const int row = s.data_rows + i;
        if (row >= LINES - 2) break;
        mvaddnstr(row, 0, s.panel[static_cast<std::size_t>(i)].c_str(), COLS);
      }
    }
    attron(A_REVERSE);
    mvhline(LINES - 2, 0, ' ', COLS);
    mvaddnstr(LINES - 2, 0, s.status.c_str(), COLS);
    attroff(A_REVERSE);
    const attr_t message_attrs = s.message_is_error ? (colour_ ? COLOR_PAIR(kErrorPair) : A_BOLD) : A_NORMAL;
    attron(message_attrs);
    mvaddnstr(LINES - 1, 0, s.message.c_str(), COLS);
    attroff(message_attrs);
    if (s.cursor_row >= 0 && s.cursor_row < LINES && s.cursor_col >= 0 && s.cursor_col < COLS) {
      move(s.cursor_row, s.cursor_col);
    }
    refresh();
  }

  // Ctrl-Z: the shell gets the terminal back until the job is resumed.
  void suspend() {
    endwin();
    std::signal(SIGTSTP, SIG_DFL);
    ::kill(::getpid(), SIGTSTP);
    // Resumed.
    refresh();
  }

 private:
  chtype attributes(const Cell &cell) const {
    chtype a = 0;
    if (colour_) {
      switch (cell.role) {
        case Role::Offset: a |= COLOR_PAIR(kOffsetPair); break;
        case Role::Null: a |= COLOR_PAIR(kNullPair); break;
        case Role::Printable: a |= COLOR_PAIR(kPrintablePair); break;
        case Role::Whitespace: a |= COLOR_PAIR(kWhitespacePair); break;
        case Role::Control: a |= COLOR_PAIR(kControlPair); break;
        case Role::NonAscii: a |= COLOR_PAIR(kNonAsciiPair); break;
        case Role::Blank: break;
      }
      if (cell.attrs & kMatch) a = (a & ~A_COLOR) | COLOR_PAIR(kMatchPair);
      if (cell.attrs & kSelected) a = (a & ~A_COLOR) | COLOR_PAIR(kSelectionPair);
    } else {
      if (cell.attrs & kMatch) a |= A_STANDOUT;
      if (cell.attrs & kSelected) a |= A_DIM | A_UNDERLINE;
    }
    if (cell.attrs & kChanged) a |= A_BOLD | A_UNDERLINE;
    if (cell.attrs & kCursor) a |= A_REVERSE;
    if (cell.attrs & kCursorShadow) a |= A_REVERSE | A_DIM;
    return a;
  }

  SCREEN *screen_ = nullptr;
  bool colour_ = false;
};

int map_key(int ch) {
  switch (ch) {
    case KEY_UP: return key::Up;
    case KEY_DOWN: return key::Down;
    case KEY_LEFT: return key::Left;
    case KEY_RIGHT: return key::Right;
    case KEY_SR: return key::ShiftUp;
    case KEY_SF: return key::ShiftDown;
    case KEY_SLEFT: return key::ShiftLeft;
    case KEY_SRIGHT: return key::ShiftRight;
    case KEY_PPAGE: return key::PageUp;
    case KEY_NPAGE: return key::PageDown;
    case KEY_HOME: return key::Home;
    case KEY_END: return key::End;
    case KEY_IC: return key::Insert;
    case KEY_DC: return key::Delete;
    case KEY_BACKSPACE: return key::Backspace;
    case KEY_ENTER:
    case '\r': return key::Enter;
    case 8: return key::Backspace;
    default: break;
  }
  if (ch == KEY_F(1)) return key::F1;
  if (ch == KEY_F(2)) return key::F2;
  if (ch >= 0 && ch < 256) return ch;
  return -1;
}

void install_signal_handlers() {
  struct sigaction stop {};
  stop.sa_handler = on_stop_signal;
  sigemptyset(&stop.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &stop, nullptr);
  struct sigaction fatal {};
  fatal.sa_handler = on_fatal_signal;
  sigemptyset(&fatal.sa_mask);
  fatal.sa_flags = SA_RESETHAND;
  for (const int signal : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL}) ::sigaction(signal, &fatal, nullptr);
}

}  // namespace

int run_open(const CommonOptions &, const OpenOptions &options) {
  check_input_file(options.file);
  if (::isatty(STDIN_FILENO) != 1 || ::isatty(STDOUT_FILENO) != 1) {
    throw Failure("open: the editor needs a terminal (standard input and output)");
  }
  std::setlocale(LC_ALL, "");
  EditorOptions editor_options;
  editor_options.read_only = options.read_only;
  if (!options.read_only && ::access(options.file.c_str(), W_OK) != 0) {
    editor_options.read_only = true;
    editor_options.read_only_reason = "no write permission";
  }

  LogRoute log;
  install_signal_handlers();
  std::unique_ptr<Editor> editor;
  try {
    editor = std::make_unique<Editor>(options.file, editor_options);
  } catch (const std::runtime_error &error) {
    throw Failure(fmt::format("{}: cannot be opened", shown_name(options.file)));
  }
  Terminal terminal;
  editor->resize(COLS, LINES);
  const auto show = [&] {
    for (const std::string &line : log.take_lines()) editor->log_line(line);
    terminal.draw(editor->screen());
  };
  editor->set_host(show, [&] {
    if (g_stop) return true;
    nodelay(stdscr, TRUE);
    bool cancel = false;
    std::vector<int> kept;  // other keys typed meanwhile are read after the call
    for (int ch; (ch = getch()) != ERR;) {
      if (ch == 27 || ch == 3) {
        cancel = true;
      } else if (kept.size() < 16) {
        kept.push_back(ch);
      }
    }
    for (auto it = kept.rbegin(); it != kept.rend(); ++it) ungetch(*it);
    timeout(500);
    return cancel;
  });

  timeout(500);
  int idle = 0;
  while (!editor->quit_requested() && g_stop == 0) {
    show();
    const int ch = getch();
    if (ch == ERR) {
      if (++idle % 2 == 0) editor->check_disk();
      continue;
    }
    if (ch == KEY_RESIZE) {
      editor->resize(COLS, LINES);
      continue;
    }
    if (ch == key::ctrl('Z')) {
      terminal.suspend();
      install_signal_handlers();
      editor->resize(COLS, LINES);
      continue;
    }
    const int key = map_key(ch);
    if (key >= 0) editor->handle_key(key);
  }
  return g_stop != 0 ? kExitInterrupted : kExitOk;
}

}  // namespace vtool
