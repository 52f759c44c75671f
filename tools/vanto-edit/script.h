// Edit scripts of `vanto-edit apply`: one operation a line, parsed whole
// before anything is done, then run against a session.
#ifndef VANTO_EDIT_TOOL_SCRIPT_H
#define VANTO_EDIT_TOOL_SCRIPT_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime.h"
#include "text.h"

namespace vtool {

enum class OpKind { Insert, Delete, Overwrite, Undo, Redo, Begin, End, Checkpoint, Rollback, Upper, Lower, And, Or, Xor };

// file: data of a regular file: inserted from the file by the library,
// never loaded.
struct FileData {
  std::string path;  // the path as resolved against the script's directory
  std::string shown; // its name in messages
  int64_t size = 0;  // its size when the script was read (more than 0)
};

struct Operation {
  OpKind kind = OpKind::Undo;
  int line = 0;
  int64_t offset = 0;
  std::optional<int64_t> length;  // empty: to the end of the data
  Bytes data;                     // insert, overwrite
  std::optional<FileData> file;   // insert, overwrite of a regular file's bytes (data is then empty)
  unsigned char mask = 0;         // and, or, xor
};

struct Script {
  std::string name;  // for messages: the script's path, or "<stdin>" for standard input
  std::vector<Operation> operations;
};

// Parses a script's text.  `data_dir` is where relative file: paths start.
// Throws Failure "<name>:<line>: <problem>" for the first bad line.
Script parse_script(std::string_view text, const std::string &name, const std::string &data_dir);

// Reads and parses the script at `path`: a regular file or a named pipe, or
// "-" for standard input; at most 1 GiB.
Script load_script(const std::string &path);

// Runs the operations in order.  Checkpoints and transforms go to
// `checkpoints`.  Throws Failure "<name>:<line>: <problem>" when an operation
// cannot be done, or Interrupted.
void run_script(const Script &script, Session &session, CheckpointDir &checkpoints, Progress &progress);

}  // namespace vtool

#endif  // VANTO_EDIT_TOOL_SCRIPT_H
