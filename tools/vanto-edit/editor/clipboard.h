// The editor's clipboard: bytes of any number.  Up to kInMemory bytes are
// kept in memory; more go to a scratch file made exclusively with mode 0600
// in $TMPDIR (or /tmp) and unlinked at once, so that nothing is left behind
// and no other user can read it.
#ifndef VANTO_EDIT_TOOL_EDITOR_CLIPBOARD_H
#define VANTO_EDIT_TOOL_EDITOR_CLIPBOARD_H

#include <cstdint>
#include <functional>
#include <string>

#include <vanto_edit.h>

namespace vtool::editor {

class Clipboard {
 public:
  static constexpr int64_t kInMemory = int64_t{1} << 20;
  static constexpr int64_t kChunk = int64_t{1} << 20;

  Clipboard() = default;
  ~Clipboard();
  Clipboard(const Clipboard &) = delete;
  Clipboard &operator=(const Clipboard &) = delete;

  // Copies `length` bytes of the session's data at `offset`.  `cancel` is
  // asked between chunks (with the bytes done); on false return (a failure
  // or a cancel) the clipboard keeps what it held before.  `error` says why.
  bool copy_from(vanto_session_t *session, int64_t offset, int64_t length,
                 const std::function<bool(int64_t)> &cancel, std::string &error);
  // Up to `length` bytes from `offset` of the clipboard's bytes.
  bool read(int64_t offset, int64_t length, std::string &out) const;

  int64_t size() const { return size_; }
  bool in_file() const { return fd_ >= 0; }

 private:
  void drop_file();

  int64_t size_ = 0;
  std::string memory_;
  int fd_ = -1;
};

}  // namespace vtool::editor

#endif  // VANTO_EDIT_TOOL_EDITOR_CLIPBOARD_H
