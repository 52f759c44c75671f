#include "script.h"

#include "commands.h"
#include "dumpformat.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <new>
#include <sstream>

#include <fmt/format.h>

namespace vtool {

const char *const kScriptHelp = R"(Edit scripts hold one operation a line; '#' starts a comment, blank lines are
ignored.  OFFSET and LENGTH are decimal or 0x-hexadecimal, with an optional
K, M, G or T suffix (powers of 1024); LENGTH may be 'end' for the rest of the
data.  Offsets refer to the data as the lines before have left it.

  insert OFFSET DATA              insert DATA before the byte at OFFSET
  overwrite OFFSET DATA           overwrite bytes from OFFSET (may extend the data)
  delete OFFSET LENGTH            delete LENGTH bytes at OFFSET
  undo                            undo the last edit (or transaction)
  redo                            redo what the last undo took back
  begin                           start a transaction: the edits up to 'end'
  end                               are undone and redone as one
  checkpoint                      freeze the data in a checkpoint file
  rollback                        drop the last checkpoint and everything since
  upper OFFSET LENGTH             ASCII letters to upper case
  lower OFFSET LENGTH             ASCII letters to lower case
  and|or|xor OFFSET LENGTH BYTE   combine each byte with BYTE (0 to 255)

DATA is one of
  "text"          with the escapes \\ \" \' \0 \a \b \e \f \n \r \t \v \xHH
  b"text"         the same (a Python bytes literal on one line)
  hex:48656c6c6f  hexadecimal digit pairs; hex:"48 65 6c" with spaces between pairs
  bin:01001000    binary digits, 8 a byte; bin:"01001000 01100101" with spaces
  file:PATH       the bytes of a file (file:"PATH" for names with spaces);
                  a relative PATH starts in the script's directory
  dump:FORMAT:PATH
                  the bytes shown by a file that holds the output of
                  'vanto-edit dump --format FORMAT' (hex, plain, c, python or
                  binary; any --group-size; dump:FORMAT:"PATH" for spaces)

Each transform (upper, lower, and, or, xor) makes a checkpoint of its own:
'rollback' takes it back, 'undo' cannot.  Undo does not reach behind a
checkpoint.  Checkpoints, rollbacks, transforms, undo and redo are not
allowed inside a transaction.  The whole script is checked before anything
runs; a bad line is reported as SCRIPT:LINE and nothing is written.

Example:
  # fix the header, then blank a field
  overwrite 0 "VNT2"
  begin
  delete 0x40 16
  insert 0x40 hex:00000000000000000000000000000000
  end
  upper 0x100 32
)";

namespace {

struct Token {
  std::string prefix;  // text before an opening quote ("" or "file:")
  std::string text;    // the word, or the quoted text with its escapes decoded
  bool quoted = false;
};

// A descriptor closed when this goes.
struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

constexpr std::size_t kReadFailed = static_cast<std::size_t>(-1);

// Reads up to `count` bytes into `buffer`, fewer only at the end of the
// file; kReadFailed with errno set on an error.  A read that a signal broke
// off is taken up again unless it was Ctrl-C.
std::size_t read_up_to(int fd, char *buffer, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(fd, buffer + done, std::min<std::size_t>(count - done, std::size_t{1} << 30));
    if (n < 0 && errno == EINTR) {
      throw_if_interrupted();
      continue;
    }
    if (n < 0) return kReadFailed;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::vector<Token> tokenize(std::string_view line, std::string &error) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  for (;;) {
    while (i < line.size() && is_space(line[i])) ++i;
    if (i == line.size() || line[i] == '#') return tokens;
    Token token;
    const std::size_t start = i;
    while (i < line.size() && !is_space(line[i]) && line[i] != '"') ++i;
    if (i < line.size() && line[i] == '"') {
      token.prefix = std::string(line.substr(start, i - start));
      token.quoted = true;
      ++i;
      std::string raw;
      bool closed = false;
      while (i < line.size()) {
        if (line[i] == '\\' && i + 1 < line.size()) {
          raw += line.substr(i, 2);
          i += 2;
        } else if (line[i] == '"') {
          closed = true;
          ++i;
          break;
        } else {
          raw.push_back(line[i++]);
        }
      }
      if (!closed) {
        error = "the quoted text has no closing quote";
        return {};
      }
      std::optional<Bytes> decoded = decode_escapes(raw, error);
      if (!decoded) return {};
      token.text = std::move(*decoded);
      if (i < line.size() && !is_space(line[i]) && line[i] != '#') {
        error = "unexpected text after a closing quote";
        return {};
      }
    } else {
      token.text = std::string(line.substr(start, i - start));
    }
    tokens.push_back(std::move(token));
  }
}

struct Keyword {
  std::string_view name;
  OpKind kind;
  std::string_view arguments;  // for messages
};

constexpr std::array<Keyword, 14> kKeywords{{
    {"insert", OpKind::Insert, "OFFSET DATA"},
    {"overwrite", OpKind::Overwrite, "OFFSET DATA"},
    {"delete", OpKind::Delete, "OFFSET LENGTH"},
    {"undo", OpKind::Undo, ""},
    {"redo", OpKind::Redo, ""},
    {"begin", OpKind::Begin, ""},
    {"end", OpKind::End, ""},
    {"checkpoint", OpKind::Checkpoint, ""},
    {"rollback", OpKind::Rollback, ""},
    {"upper", OpKind::Upper, "OFFSET LENGTH"},
    {"lower", OpKind::Lower, "OFFSET LENGTH"},
    {"and", OpKind::And, "OFFSET LENGTH BYTE"},
    {"or", OpKind::Or, "OFFSET LENGTH BYTE"},
    {"xor", OpKind::Xor, "OFFSET LENGTH BYTE"},
}};

const Keyword &keyword_of(OpKind kind) {
  for (const Keyword &keyword : kKeywords) {
    if (keyword.kind == kind) return keyword;
  }
  return kKeywords[0];
}

std::size_t argument_count(std::string_view arguments) {
  if (arguments.empty()) return 0;
  return static_cast<std::size_t>(std::count(arguments.begin(), arguments.end(), ' ')) + 1;
}

bool is_transform(OpKind kind) {
  return kind == OpKind::Upper || kind == OpKind::Lower || kind == OpKind::And || kind == OpKind::Or ||
         kind == OpKind::Xor;
}

// Parsing one line; failures are plain messages, given a line number by the caller.
class LineParser {
 public:
  LineParser(const std::vector<Token> &tokens, const std::string &data_dir) : tokens_(tokens), data_dir_(data_dir) {}

  Operation parse(std::string &error) {
    Operation op;
    const Token &head = tokens_[0];
    std::string word = head.text;
    for (char &c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const Keyword *keyword = nullptr;
    for (const Keyword &candidate : kKeywords) {
      if (!head.quoted && candidate.name == word) keyword = &candidate;
    }
    if (keyword == nullptr) {
      error = fmt::format("unknown operation '{}'", printable(head.prefix + head.text));
      return op;
    }
    op.kind = keyword->kind;
    const std::size_t wanted = argument_count(keyword->arguments);
    if (tokens_.size() - 1 != wanted) {
      error = wanted == 0 ? fmt::format("'{}' takes no arguments", keyword->name)
                          : fmt::format("'{}' needs {}: {} {}", keyword->name,
                                        wanted == 1 ? "one argument" : fmt::format("{} arguments", wanted),
                                        keyword->name, keyword->arguments);
      return op;
    }
    if (wanted == 0) return op;
    if (!number(tokens_[1], "offset", op.offset, error)) return op;
    switch (op.kind) {
      case OpKind::Insert:
      case OpKind::Overwrite:
        data(tokens_[2], op.data, error, &op.file);
        break;
      default:
        // Each operand is read and checked on its own: 'end' as the length
        // must not skip the byte after it.
        if (!length(tokens_[2], op.length, error)) break;
        if (wanted == 3) byte(tokens_[3], op.mask, error);
    }
    return op;
  }

 private:
  static bool number(const Token &token, const char *what, int64_t &value, std::string &error) {
    std::optional<int64_t> parsed;
    if (!token.quoted) parsed = parse_number(token.text);
    if (!parsed) {
      error = fmt::format("the {} '{}' is not a number", what, printable(token.text));
      return false;
    }
    value = *parsed;
    return true;
  }

  // A LENGTH: 'end' (left empty: to the end of the data) or a number of at least 1.
  static bool length(const Token &token, std::optional<int64_t> &length, std::string &error) {
    if (!token.quoted && token.text == "end") return true;
    int64_t value = 0;
    if (!number(token, "length", value, error)) return false;
    if (value < 1) {
      error = "the length must be at least 1 (or 'end')";
      return false;
    }
    length = value;
    return true;
  }

  static bool byte(const Token &token, unsigned char &byte, std::string &error) {
    int64_t value = 0;
    if (!number(token, "byte", value, error)) return false;
    if (value > 255) {
      error = fmt::format("the byte {} is not between 0 and 255", value);
      return false;
    }
    byte = static_cast<unsigned char>(value);
    return true;
  }

  bool data(const Token &token, Bytes &bytes, std::string &error, std::optional<FileData> *file = nullptr) const {
    // With or without quotes, the text after a prefix: hex:..., hex:"...".
    auto after = [&](std::string_view prefix) -> std::optional<std::string_view> {
      if (token.quoted && token.prefix == prefix) return std::string_view(token.text);
      if (!token.quoted && std::string_view(token.text).substr(0, prefix.size()) == prefix) {
        return std::string_view(token.text).substr(prefix.size());
      }
      return std::nullopt;
    };
    auto take = [&](std::optional<Bytes> decoded) {
      if (decoded) bytes = std::move(*decoded);
      return decoded.has_value();
    };
    const std::string_view whole = token.quoted ? std::string_view(token.prefix) : std::string_view(token.text);
    if (token.quoted && (token.prefix.empty() || token.prefix == "b")) {
      bytes = token.text;
    } else if (const auto path = after("file:")) {
      if (!read_file(std::string(*path), bytes, error, file)) return false;
      if (file != nullptr && file->has_value()) return true;
    } else if (!token.quoted && token.text.rfind("hex:", 0) == 0) {
      if (!take(decode_hex(std::string_view(token.text).substr(4), error))) return false;
    } else if (const auto digits = after("hex:")) {
      if (!take(decode_spaced_hex(*digits, error))) return false;
    } else if (const auto bits = after("bin:")) {
      if (!take(decode_bits(*bits, error))) return false;
    } else if (whole.rfind("dump:", 0) == 0) {
      if (!dump_data(token, bytes, error)) return false;
    } else {
      error = fmt::format("'{}' is not data: write \"text\", hex:DIGITS, bin:DIGITS, file:PATH or dump:FORMAT:PATH",
                          printable(token.prefix + token.text));
      return false;
    }
    if (bytes.empty()) {
      error = "the data is empty";
      return false;
    }
    return true;
  }

  // dump:FORMAT:PATH: the bytes that a file with dump's output in FORMAT shows.
  bool dump_data(const Token &token, Bytes &bytes, std::string &error) const {
    const std::string form = token.quoted ? token.prefix : token.text;
    const std::size_t colon = form.find(':', 5);
    const std::optional<DumpFormat> format =
        colon == std::string::npos ? std::nullopt : dump_format_named(std::string_view(form).substr(5, colon - 5));
    if (!format) {
      error = fmt::format("'{}' is not data: write dump:FORMAT:PATH with FORMAT one of {}",
                          printable(token.prefix + token.text), dump_format_names());
      return false;
    }
    const std::string path = token.quoted ? token.text : form.substr(colon + 1);
    if (token.quoted && colon + 1 != form.size()) {
      error = fmt::format("'{}' is not data: write dump:FORMAT:\"PATH\"", printable(token.prefix + token.text));
      return false;
    }
    Bytes text;
    if (!read_file(path, text, error)) return false;
    std::string why;
    std::optional<Bytes> decoded = parse_dump(*format, text, why);
    if (!decoded) {
      error = fmt::format("{}: not a {} dump: {}", shown_name(resolved(path).string()), form.substr(5, colon - 5), why);
      return false;
    }
    bytes = std::move(*decoded);
    return true;
  }

  std::filesystem::path resolved(const std::string &name) const {
    std::filesystem::path path(name);
    if (path.is_relative()) path = std::filesystem::path(data_dir_) / path;
    return path;
  }

  // The bytes of file: data.  Only a regular file or a block device has a
  // size known beforehand; a pipe, a socket or a character device (a
  // terminal, /dev/zero) may block or never end and is refused.  The type is
  // checked before the open, which does not block either, in case the name
  // leads elsewhere meanwhile; the file is read up to its size and refused if
  // it holds more (a growing file, or one in /proc that reports 0 bytes).
  // Given `file`, a regular file that is not empty is not read: it is
  // checked and described there, and its bytes are inserted from it when
  // the line runs.
  bool read_file(const std::string &name, Bytes &bytes, std::string &error,
                 std::optional<FileData> *reference = nullptr) const {
    const std::filesystem::path path = resolved(name);
    const std::string shown = shown_name(path.string());
    auto failed = [&](const std::string &what) {
      error = fmt::format("{}: {}", shown, what);
      return false;
    };
    struct stat info {};
    auto usable = [&]() {
      if (S_ISDIR(info.st_mode)) return failed(std::strerror(EISDIR));
      if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) return failed("not a regular file");
      return true;
    };
    if (::stat(path.c_str(), &info) != 0) return failed(std::strerror(errno));
    if (!usable()) return false;
    const Descriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (file.fd < 0) return failed(std::strerror(errno));
    if (::fstat(file.fd, &info) != 0) return failed(std::strerror(errno));
    if (!usable()) return false;
    int64_t size = info.st_size;
    if (reference != nullptr && S_ISREG(info.st_mode) && size > 0) {
      *reference = FileData{path.string(), shown, size};
      return true;
    }
    if (S_ISBLK(info.st_mode)) {
      size = ::lseek(file.fd, 0, SEEK_END);
      if (size < 0 || ::lseek(file.fd, 0, SEEK_SET) != 0) return failed(std::strerror(errno));
    }
    // The data is held in memory until the line runs: more than the machine
    // has is refused before anything is allocated.
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    const bool too_large = pages > 0 && page_size > 0 && size / page_size >= pages;
    try {
      if (too_large || static_cast<uint64_t>(size) > bytes.max_size()) throw std::bad_alloc();
      bytes.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc &) {
      return failed(fmt::format("not enough memory for its {} bytes", size));
    }
    const std::size_t got = read_up_to(file.fd, bytes.data(), bytes.size());
    if (got == kReadFailed) return failed(std::strerror(errno));
    if (got < bytes.size()) return failed(fmt::format("holds fewer bytes than its size ({}): it changed", size));
    char more = 0;
    const std::size_t beyond = read_up_to(file.fd, &more, 1);
    if (beyond == kReadFailed) return failed(std::strerror(errno));
    if (beyond != 0) return failed(fmt::format("not a regular file: it holds more than the {} bytes its size says", size));
    return true;
  }

  const std::vector<Token> &tokens_;
  const std::string &data_dir_;
};

unsigned char transform_byte(unsigned char byte, void *user_data) {
  const Operation &op = *static_cast<const Operation *>(user_data);
  switch (op.kind) {
    case OpKind::Upper: return byte >= 'a' && byte <= 'z' ? static_cast<unsigned char>(byte - 'a' + 'A') : byte;
    case OpKind::Lower: return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
    case OpKind::And: return vanto_util_mask_byte(byte, op.mask, MASK_AND);
    case OpKind::Or: return vanto_util_mask_byte(byte, op.mask, MASK_OR);
    case OpKind::Xor: return vanto_util_mask_byte(byte, op.mask, MASK_XOR);
    default: return byte;
  }
}

}  // namespace

Script parse_script(std::string_view text, const std::string &name, const std::string &data_dir) {
  Script script;
  script.name = name;
  int line_number = 0;
  int transaction_line = 0;  // line of the open 'begin', 0 when none
  while (!text.empty()) {
    ++line_number;
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    auto fail = [&](const std::string &message) {
      return Failure(fmt::format("{}:{}: {}", shown_name(name), line_number, message));
    };

    std::string error;
    Operation op;
    try {
      const std::vector<Token> tokens = tokenize(line, error);
      if (!error.empty()) throw fail(error);
      if (tokens.empty()) continue;
      op = LineParser(tokens, data_dir).parse(error);
    } catch (const std::bad_alloc &) {
      throw fail("not enough memory for this line");
    }
    if (!error.empty()) throw fail(error);
    op.line = line_number;

    const OpKind kind = op.kind;
    if (kind == OpKind::Begin) {
      if (transaction_line != 0) throw fail(fmt::format("a transaction is already open (since line {})", transaction_line));
      transaction_line = line_number;
    } else if (kind == OpKind::End) {
      if (transaction_line == 0) throw fail("'end' without 'begin'");
      transaction_line = 0;
    } else if (transaction_line != 0 && (kind == OpKind::Undo || kind == OpKind::Redo || kind == OpKind::Checkpoint ||
                                         kind == OpKind::Rollback || is_transform(kind))) {
      throw fail(fmt::format("'{}' inside a transaction (opened on line {})", keyword_of(kind).name, transaction_line));
    }
    script.operations.push_back(std::move(op));
  }
  if (transaction_line != 0) {
    throw Failure(fmt::format("{}:{}: the transaction is never ended", shown_name(name), transaction_line));
  }
  return script;
}

Script load_script(const std::string &path) {
  // The script is read whole before anything runs.  It may come through a
  // pipe (standard input, a named pipe) whose end is not known beforehand:
  // it is read up to a bound.
  constexpr std::size_t kLimit = std::size_t{1} << 30;
  const bool from_stdin = path == "-";
  const std::string name = from_stdin ? std::string("<stdin>") : path;
  auto failure = [&](const std::string &what) { return Failure(fmt::format("{}: {}", shown_name(name), what)); };
  Descriptor file;
  if (!from_stdin) {
    // A named pipe is opened as any reader opens it: when a writer comes.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) throw failure(std::strerror(errno));
    if (S_ISDIR(info.st_mode)) throw failure(std::strerror(EISDIR));
    if (!S_ISREG(info.st_mode) && !S_ISFIFO(info.st_mode)) throw failure("not a regular file or a pipe");
    file.fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (file.fd < 0 && errno == EINTR) throw_if_interrupted();
    if (file.fd < 0) throw failure(std::strerror(errno));
  }
  std::string text;
  try {
    constexpr std::size_t kStep = std::size_t{1} << 16;
    for (;;) {
      const std::size_t used = text.size();
      text.resize(used + kStep);
      const std::size_t got = read_up_to(from_stdin ? STDIN_FILENO : file.fd, text.data() + used, kStep);
      if (got == kReadFailed) throw failure(std::strerror(errno));
      text.resize(used + got);
      if (got < kStep) break;
      if (text.size() > kLimit) throw failure("longer than 1 GiB; give large data as file:PATH");
    }
  } catch (const std::bad_alloc &) {
    throw failure("not enough memory to read the script");
  }
  std::string dir = std::filesystem::path(path).parent_path().string();
  return parse_script(text, name, from_stdin || dir.empty() ? "." : dir);
}

void run_script(const Script &script, Session &session, CheckpointDir &checkpoints, Progress &progress) {
  vanto_session_t *const s = session.get();
  for (const Operation &op : script.operations) {
    throw_if_interrupted();
    const std::string_view name = keyword_of(op.kind).name;
    auto fail = [&](const std::string &message) {
      return Failure(fmt::format("{}:{}: {}", shown_name(script.name), op.line, message));
    };
    auto failed_with_reason = [&](const std::string &what) {
      throw_if_interrupted();
      const std::string reason = diagnostics::last_reason();
      return fail(reason.empty() ? what : fmt::format("{}: {}", what, reason));
    };
    // The checkpoint directory is made on first use; a failure to make it
    // is this line's failure.
    auto checkpoint_dir = [&]() -> const std::string & {
      try {
        return checkpoints.path();
      } catch (const Failure &failure) {
        throw fail(failure.what());
      }
    };
    try {
      const int64_t size = session.size();
      // The range [offset, offset + length) of a delete or transform, inside the data.
      auto checked_length = [&]() {
        if (op.offset >= size) {
          throw fail(fmt::format("{} at offset {}: at or beyond the end of the data ({} bytes)", name, op.offset, size));
        }
        const int64_t length = op.length.value_or(size - op.offset);
        if (length > size - op.offset) {
          throw fail(fmt::format("{} of {} bytes at offset {}: runs past the end of the data ({} bytes)", name, length,
                                 op.offset, size));
        }
        return length;
      };
      diagnostics::forget_reason();

      switch (op.kind) {
        case OpKind::Insert:
        case OpKind::Overwrite: {
          if (op.offset > size) {
            throw fail(fmt::format("{} at offset {}: beyond the end of the data ({} bytes)", name, op.offset, size));
          }
          if (op.file) {
            const FileData &file = *op.file;
            const int64_t serial =
                op.kind == OpKind::Insert ? vanto_edit_insert_file(s, op.offset, file.path.c_str(), 0, file.size)
                                          : vanto_edit_overwrite_file(s, op.offset, file.path.c_str(), 0, file.size);
            if (serial < 0) throw failed_with_reason(fmt::format("{} failed", name));
            if (serial == 0) {
              // The file was fine when the script was read: say what became of it.
              struct stat info {};
              if (::stat(file.path.c_str(), &info) != 0) throw fail(fmt::format("{}: {}", file.shown, std::strerror(errno)));
              if (info.st_size < file.size) {
                throw fail(fmt::format("{}: holds fewer bytes than its size ({}): it changed", file.shown, file.size));
              }
              throw fail(fmt::format("{}: cannot be read", file.shown));
            }
            break;
          }
          const auto *bytes = reinterpret_cast<const unsigned char *>(op.data.data());
          const auto length = static_cast<int64_t>(op.data.size());
          const int64_t serial = op.kind == OpKind::Insert ? vanto_edit_insert_bytes(s, op.offset, bytes, length)
                                                           : vanto_edit_overwrite_bytes(s, op.offset, bytes, length);
          if (serial <= 0) throw failed_with_reason(fmt::format("{} failed", name));
          break;
        }
        case OpKind::Delete: {
          if (vanto_edit_delete(s, op.offset, checked_length()) <= 0) throw failed_with_reason("delete failed");
          break;
        }
        case OpKind::Undo: {
          const int64_t undone_before = vanto_session_get_num_undone_changes(s);
          const int64_t rc = vanto_edit_undo_last_change(s);
          if (rc == 0) {
            throw fail(vanto_session_get_num_checkpoints(s) > 0 ? "nothing to undo since the last checkpoint"
                                                                : "nothing to undo");
          }
          if (vanto_session_get_num_undone_changes(s) <= undone_before) throw failed_with_reason("undo failed");
          break;
        }
        case OpKind::Redo: {
          const int64_t rc = vanto_edit_redo_last_undo(s);
          if (rc == 0) throw fail("nothing to redo");
          if (rc < 0) throw failed_with_reason("redo failed");
          break;
        }
        case OpKind::Begin:
          if (vanto_session_begin_transaction(s) != 0) throw fail("cannot open a transaction");
          break;
        case OpKind::End:
          if (vanto_session_end_transaction(s) != 0) throw fail("no transaction is open");
          break;
        case OpKind::Checkpoint: {
          const std::string &dir = checkpoint_dir();
          progress.phase("checkpoint");
          const int rc = vanto_edit_create_checkpoint(s, dir.c_str());
          progress.clear();
          throw_if_interrupted();
          if (rc != 0) throw failed_with_reason(fmt::format("cannot create a checkpoint in {}", shown_name(dir)));
          break;
        }
        case OpKind::Rollback:
          if (vanto_session_get_num_checkpoints(s) == 0) throw fail("no checkpoint to roll back");
          if (vanto_edit_destroy_last_checkpoint(s) != 0) {
            throw failed_with_reason("rollback failed");
          }
          break;
        case OpKind::Upper:
        case OpKind::Lower:
        case OpKind::And:
        case OpKind::Or:
        case OpKind::Xor: {
          const int64_t length = checked_length();
          const std::string &dir = checkpoint_dir();
          progress.phase(std::string(name));
          auto *user_data = const_cast<Operation *>(&op);
          const int rc = vanto_edit_apply_transform(s, &transform_byte, user_data, op.offset, length, dir.c_str());
          progress.clear();
          throw_if_interrupted();
          if (rc != 0) throw failed_with_reason(fmt::format("{} failed", name));
          break;
        }
      }
    } catch (const std::bad_alloc &) {
      throw fail("not enough memory");
    }
  }
}

}  // namespace vtool
